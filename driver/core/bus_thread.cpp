#include "bus_thread.h"

#include "async/async_packet.h"
#include "frame/client.h"
#include "bus_reset.h"
#include "controller.h"
#include "hooks.h"
#include "ohci/register_access.h"
#include "topology.h"

namespace {

constexpr KPRIORITY kBusThreadPriority = 16;
constexpr LONGLONG kOneSecondRelative = -10000000LL;
constexpr ULONG kTerminateReports = 10;
constexpr ULONG kGapRepairPacket = 0x007F0000;  // PHY configuration: T = 1, gap_cnt 63

bool TakeGapRepair(OhciController* controller) {
    KIRQL irql;
    KeAcquireSpinLock(&controller->GapLock, &irql);
    bool needed = controller->GapCountFixNeeded != 0;
    controller->GapCountFixNeeded = 0;
    KeReleaseSpinLock(&controller->GapLock, irql);
    return needed;
}

// Takes the newest queued BusEvent and discards the older ones.
BusEvent* TakeNewestEvent(OhciController* controller) {
    LIST_ENTRY older;
    InitializeListHead(&older);
    BusEvent* newest = nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&controller->BusEventLock, &irql);
    if (!IsListEmpty(&controller->BusEventQueue))
        newest = CONTAINING_RECORD(RemoveTailList(&controller->BusEventQueue), BusEvent, Link);
    while (!IsListEmpty(&controller->BusEventQueue)) {
        InsertTailList(&older, RemoveHeadList(&controller->BusEventQueue));
        InterlockedDecrement(&controller->BusEventCount);
    }
    KeReleaseSpinLock(&controller->BusEventLock, irql);
    while (!IsListEmpty(&older)) FreeBusEvent(controller, CONTAINING_RECORD(RemoveHeadList(&older), BusEvent, Link));
    return newest;
}

void RunPass(OhciController* controller) {
    // The reset that applies a new gap count follows only a configuration packet that went out:
    // a reset without it would find the same disagreement and start again, for ever.
    if (TakeGapRepair(controller) && SendPhyConfigurationPacket(controller, kGapRepairPacket)) {
        InitiateBusReset(controller);
        return;
    }
    BusEvent* event = TakeNewestEvent(controller);
    if (event != nullptr) {
        InterlockedIncrement(&controller->BusPassCount);
        BuildSpeedTable(controller, event);
        InterlockedDecrement(&controller->BusEventCount);
        FreeBusEvent(controller, event);
    }
    SetTopologyGates(controller);
    if (controller->RootCheckPending) RootCheck(controller);
    if (event == nullptr) return;
    if (controller->DesktopCameraEnable == 1) Vex_OhciEnumDCam(controller);
    SignalBusReadyEvents(controller);
    NotifyBusReset(controller);
}

void BusThread(PVOID context) {
    auto* controller = static_cast<OhciController*>(context);
    controller->DriverProcess = PsGetCurrentProcess();
    // Without its driver client the thread still runs the bus; completions to user programs then
    // have no deliverer, which the engines that need one report.
    bool haveClient = NT_SUCCESS(AcquireWorkerClient(controller));
    for (;;) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = kOneSecondRelative;
        NTSTATUS status = KeWaitForSingleObject(&controller->WakeEvent, Executive, KernelMode, TRUE, &timeout);
        if (controller->TerminateRequested || status == STATUS_ALERTED) break;
        if (status == STATUS_TIMEOUT) continue;
        RunPass(controller);
    }
    if (haveClient) ReleaseWorkerClient(controller);
    controller->Terminated = 1;
    KeSetEvent(&controller->TerminatedEvent, IO_NO_INCREMENT, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

void AskToTerminate(OhciController* controller) {
    controller->TerminateRequested = 1;
    KeMemoryBarrier();
    KeSetEvent(&controller->WakeEvent, IO_NO_INCREMENT, FALSE);
}

// Waits for the thread's end. After each of the first ten seconds without it the wait is
// reported, the bus reset and the gates opened; the wait then goes on, because the thread still
// uses the controller object until it ends.
void WaitForThreadEnd(OhciController* controller, PVOID thread) {
    for (ULONG attempt = 0; attempt < kTerminateReports; ++attempt) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = kOneSecondRelative;
        if (KeWaitForSingleObject(&controller->TerminatedEvent, Executive, KernelMode, FALSE, &timeout) ==
            STATUS_SUCCESS)
            break;
        DbgPrint("%s: Wait timeout(bThreadTerminateComplete:%d)(Cnt:%d)\n", "MSM_TerminateThread",
                 int(controller->Terminated), int(attempt));
        InitiateBusReset(controller);
        SetTopologyGates(controller);
        if (controller->Terminated) break;
        AskToTerminate(controller);
    }
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
}

}  // namespace

bool LaunchBusThread(OhciController* controller) {
    controller->TerminateRequested = 0;
    controller->Terminated = 0;
    KeInitializeEvent(&controller->WakeEvent, SynchronizationEvent, FALSE);
    KeInitializeEvent(&controller->TerminatedEvent, NotificationEvent, FALSE);
    PVOID thread = nullptr;
    if (!NT_SUCCESS(StartSystemThread(BusThread, controller, &thread))) return false;
    // Raised through its object by the creator, which holds the reference anyway.
    KeSetPriorityThread(static_cast<PKTHREAD>(thread), kBusThreadPriority);
    KIRQL irql;
    KeAcquireSpinLock(&controller->ThreadLock, &irql);
    controller->ThreadObject = thread;
    KeReleaseSpinLock(&controller->ThreadLock, irql);
    return true;
}

void MSM_TerminateThread(OhciController* controller) {
    KIRQL irql;
    KeAcquireSpinLock(&controller->ThreadLock, &irql);
    PVOID thread = controller->ThreadObject;
    controller->ThreadObject = nullptr;
    KeReleaseSpinLock(&controller->ThreadLock, irql);
    if (thread != nullptr) {
        DiscardQueuedBusEvents(controller);
        AskToTerminate(controller);
        WaitForThreadEnd(controller, thread);
        ObDereferenceObject(thread);
        // A reset that slipped in before the thread's end left its event behind.
        DiscardQueuedBusEvents(controller);
    }
    FlushKernelWaiters(controller, 12);
}
