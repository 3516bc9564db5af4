#include "bus_reset.h"

#include "async/async_packet.h"
#include "config_rom.h"
#include "controller.h"
#include "hooks.h"
#include "ohci/ohci_registers.h"
#include "ohci/register_access.h"
#include "ohci/self_id.h"
#include "topology.h"

namespace {

constexpr LONGLONG kTwoSecondsRelative = -2LL * 10000000LL;
constexpr ULONG kSelfIdCopyQuadlets = kSelfIdCopyBytes / 4;

void StartTimer(PKTIMER timer, PKDPC dpc) {
    LARGE_INTEGER due;
    due.QuadPart = kTwoSecondsRelative;
    KeSetTimer(timer, due, dpc);
}

void AcquireResetLocks(OhciController* controller, PKIRQL irql) {
    KeAcquireSpinLock(&controller->AsyncLock, irql);
    KeAcquireSpinLockAtDpcLevel(&controller->AtRequest.DpcLock);
    KeAcquireSpinLockAtDpcLevel(&controller->AtResponse.DpcLock);
    KeAcquireSpinLockAtDpcLevel(&controller->ArRequest.DpcLock);
    KeAcquireSpinLockAtDpcLevel(&controller->ArResponse.DpcLock);
}

void ReleaseResetLocks(OhciController* controller, KIRQL irql) {
    KeReleaseSpinLockFromDpcLevel(&controller->ArResponse.DpcLock);
    KeReleaseSpinLockFromDpcLevel(&controller->ArRequest.DpcLock);
    KeReleaseSpinLockFromDpcLevel(&controller->AtResponse.DpcLock);
    KeReleaseSpinLockFromDpcLevel(&controller->AtRequest.DpcLock);
    KeReleaseSpinLock(&controller->AsyncLock, irql);
}

// Every registered program learns that the bus is resetting (notification lock held by caller).
void SignalBusResetEvents(OhciController* controller) {
    for (PLIST_ENTRY entry = controller->NotificationList.Flink; entry != &controller->NotificationList;
         entry = entry->Flink) {
        auto* record = CONTAINING_RECORD(entry, BusNotificationRecord, Link);
        if (record->ResetEvent != nullptr) KeSetEvent(record->ResetEvent, IO_NO_INCREMENT, FALSE);
    }
}

void RestartBusResetWatch(OhciController* controller) {
    if (controller->BusResetRecent == 0)
        controller->BusResetRecent = 1;
    else
        KeCancelTimer(&controller->BusResetWatchTimer);
    StartTimer(&controller->BusResetWatchTimer, &controller->BusResetWatchDpc);
}

// Halts and flushes the asynchronous engine (the reset locks held).
void FlushAsyncEngine(OhciController* controller) {
    StopAsyncContexts(controller);
    // A receive walk already running has finished once its context lock has been free.
    KeAcquireSpinLockAtDpcLevel(&controller->ArRequest.Lock);
    KeReleaseSpinLockFromDpcLevel(&controller->ArRequest.Lock);
    KeAcquireSpinLockAtDpcLevel(&controller->ArResponse.Lock);
    KeReleaseSpinLockFromDpcLevel(&controller->ArResponse.Lock);

    DiscardQueuedBusEvents(controller);
    FlushKernelWaiters(controller, 1);
    FlushPendingRequests(controller, 1, 0);
    RearmArContext(&controller->ArRequest);
    RearmArContext(&controller->ArResponse);
    ResetAtContext(&controller->AtRequest);
    ResetAtContext(&controller->AtResponse);
}

// The self-ID round is over: events re-enabled, the reset no longer active.
void EndSelfIdRound(OhciController* controller) {
    controller->PendingEvents = 0;
    WriteRegister(controller, ohci::kIntMaskSet, ohci::kIntEnabledEvents);
    controller->BusResetActive = 0;
}

void AcceptRequestsFromTheBus(OhciController* controller) {
    WriteRegister(controller, ohci::kAsynchronousRequestFilterHiSet, 0xFFFFFFFF);
    WriteRegister(controller, ohci::kAsynchronousRequestFilterLoSet, 0xFFFFFFFF);
    WriteRegister(controller, ohci::kPhysicalRequestFilterHiClear, 0xFFFFFFFF);
    WriteRegister(controller, ohci::kPhysicalRequestFilterLoClear, 0xFFFFFFFF);
    WriteRegister(controller, ohci::kPhysicalUpperBound, 0x00010000);
}

bool Reject(OhciController* controller) {
    InitiateBusReset(controller);
    return false;
}

// Copies the self-ID buffer while the controller is kept from writing it: LinkControl.rcvSelfID
// is clear meanwhile, so a self-ID phase that ends during the copy stores nothing (its
// SelfIDCount says so, and the next round rejects it). The buffer's address stays valid.
void CopySelfIdBuffer(OhciController* controller) {
    WriteRegister(controller, ohci::kLinkControlClear, ohci::kLinkControlRcvSelfID);
    RtlCopyMemory(controller->SelfIdCopy, controller->SelfIdBuffer.Virtual, kSelfIdCopyBytes);
    WriteRegister(controller, ohci::kLinkControlSet, ohci::kLinkControlRcvSelfID);
}

bool LearnTopology(OhciController* controller, ULONG nodeId, bool* gapMismatch) {
    controller->LocalNodeNumber = UCHAR(nodeId & ohci::kNodeIdNumberMask);
    controller->IsRoot = (nodeId & ohci::kNodeIdRoot) ? 1 : 0;
    selfid::Summary summary;
    KIRQL irql;
    KeAcquireSpinLock(&controller->TopologyLock, &irql);
    bool ok = selfid::CheckSequence(controller->SelfIdCopy, controller->SelfIdPacketCount, &summary);
    controller->ActiveLinkCount = ok ? summary.ActiveLinkCount : 0;
    controller->ActiveLinkMask = ok ? summary.ActiveLinkMask : 0;
    KeReleaseSpinLock(&controller->TopologyLock, irql);
    if (!ok) return false;
    controller->NodeCount = summary.NodeCount;
    controller->IrmNodeNumber = summary.IrmNodeNumber;
    controller->RootNodeNumber = controller->IsRoot ? controller->LocalNodeNumber : UCHAR(summary.NodeCount - 1);
    controller->IsIrm = summary.IrmNodeNumber == controller->LocalNodeNumber ? 1 : 0;
    controller->TopologyGeneration = UCHAR(controller->TopologyGeneration + 1);
    *gapMismatch = summary.GapCountMismatch;
    return true;
}

// The IRM contends for bus manager through the link's compare-swap of BUS_MANAGER_ID.
void ContendForBusManager(OhciController* controller) {
    controller->IsBusManager = 0;
    controller->BusManagerNodeNumber = kNoNode;
    if (!controller->IsIrm) return;
    ULONG selectorOld = kCsrBusManagerId;
    if (!NT_SUCCESS(CsrCompareSwap(controller, &selectorOld, controller->LocalNodeNumber, 0x3F))) return;
    if (selectorOld == 0x3F) {
        controller->IsBusManager = 1;
        controller->BusManagerNodeNumber = controller->LocalNodeNumber;
    } else {
        controller->BusManagerNodeNumber = UCHAR(selectorOld & 0x3F);
    }
}

void TakeLocalRoles(OhciController* controller, bool gapMismatch) {
    if (controller->NodeCount <= 1) {
        WritePhyRegister(controller, ohci::kPhyRegister1,
                         UCHAR(ReadPhyRegister(controller, ohci::kPhyRegister1) & ~ohci::kPhyRhb));
        WritePhyRegister(controller, ohci::kPhyRegister4,
                         UCHAR(ReadPhyRegister(controller, ohci::kPhyRegister4) | ohci::kPhyLinkActive |
                               ohci::kPhyContender));
    }
    ContendForBusManager(controller);
    if (gapMismatch && controller->IsBusManager) {
        KIRQL irql;
        KeAcquireSpinLock(&controller->GapLock, &irql);
        controller->GapCountFixNeeded = 1;
        KeReleaseSpinLock(&controller->GapLock, irql);
    }
    if (controller->IsRoot) {
        controller->IsCycleMaster = 1;
        WriteRegister(controller, ohci::kLinkControlSet,
                      ohci::kLinkControlCycleMaster | ohci::kLinkControlCycleTimerEnable);
    } else {
        controller->IsCycleMaster = 0;
        WriteRegister(controller, ohci::kLinkControlClear, ohci::kLinkControlCycleMaster);
    }
}

bool RemoteReplyMatches(const AsyncPacket* packet, ULONG quadlet) {
    constexpr ULONG kFieldsMask = (0x7u << 15) | (0xFu << 11) | (0x7u << 8);  // page, port, register
    ULONG type = (quadlet >> 18) & 0xF;
    return packet->PacketStatus == 0xFF && ((quadlet >> 24) & 0x3F) == packet->DestinationPhy &&
           (quadlet >> 30) == 0 && ((quadlet >> 22) & 3) == 0 && (type == 3 || type == 7) &&
           (quadlet & kFieldsMask) == (packet->RemoteAccessQuadlet & kFieldsMask);
}

}  // namespace

void SetTopologyGates(OhciController* controller) {
    KeSetEvent(&controller->AsyncGate, IO_NO_INCREMENT, FALSE);
    KeSetEvent(&controller->EnumerationDone, IO_NO_INCREMENT, FALSE);
}

void SignalBusReadyEvents(OhciController* controller) {
    KIRQL irql;
    KeAcquireSpinLock(&controller->NotificationLock, &irql);
    for (PLIST_ENTRY entry = controller->NotificationList.Flink; entry != &controller->NotificationList;
         entry = entry->Flink) {
        auto* record = CONTAINING_RECORD(entry, BusNotificationRecord, Link);
        if (record->ReadyEvent != nullptr) KeSetEvent(record->ReadyEvent, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&controller->NotificationLock, irql);
}

void DpcForBusReset(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    auto* controller = static_cast<OhciController*>(DeferredContext);
    if (controller == nullptr) {
        ReportMissingContext("DpcForBusReset");
        return;
    }
    KIRQL irql;
    AcquireResetLocks(controller, &irql);
    KeAcquireSpinLockAtDpcLevel(&controller->NotificationLock);
    SignalBusResetEvents(controller);
    KeReleaseSpinLockFromDpcLevel(&controller->NotificationLock);
    SetTopologyGates(controller);
    KeCancelTimer(&controller->RootCheckTimer);
    KeRemoveQueueDpc(&controller->RootCheckDpc);
    RestartBusResetWatch(controller);
    FlushAsyncEngine(controller);
    IsoRxHandleBusReset(controller);
    IsoTxHandleBusReset(controller);
    controller->PendingEvents = 0;
    // The transmit contexts are stopped: the link may transmit again once busReset is cleared.
    WriteRegister(controller, ohci::kIntEventClear, ohci::kIntBusReset);
    WriteRegister(controller, ohci::kIntMaskSet, ohci::kIntEnabledEvents);
    KeCancelTimer(&controller->SplitTimeoutTimer);
    KeRemoveQueueDpc(&controller->SplitTimeoutDpc);
    controller->SplitTimerArmed = 0;
    ReleaseResetLocks(controller, irql);
}

void Vex_OhciBRWatch2sec(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    auto* controller = static_cast<OhciController*>(DeferredContext);
    if (controller == nullptr) {
        ReportMissingContext("Vex_OhciBRWatch2sec");
        return;
    }
    KeCancelTimer(&controller->BusResetWatchTimer);
    controller->BusResetRecent = 0;
}

bool ValidateSelfId(OhciController* controller) {
    CopySelfIdBuffer(controller);
    ULONG selfIdCount = ReadRegisterValue(controller, ohci::kSelfIDCount);
    ULONG packetCount = 0;
    controller->SelfIdPacketCount = 0;
    // The packets are gathered at the start of the copy itself (each lands before the pair it
    // came from), so the topology map changes only once the whole set is found good.
    if (!selfid::ExtractPackets(controller->SelfIdCopy, kSelfIdCopyQuadlets, selfIdCount, controller->SelfIdCopy,
                                kMaxSelfIdPackets, &packetCount))
        return Reject(controller);
    controller->SelfIdPacketCount = packetCount;
    ULONG nodeId = ReadRegisterValue(controller, ohci::kNodeID);
    bool gapMismatch = false;
    if (!LearnTopology(controller, nodeId, &gapMismatch)) return Reject(controller);
    TakeLocalRoles(controller, gapMismatch);
    RtlCopyMemory(&controller->TopologyMap[3], controller->SelfIdCopy, packetCount * sizeof(ULONG));
    return true;
}

void DpcForSelfID(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    auto* controller = static_cast<OhciController*>(DeferredContext);
    if (controller == nullptr) {
        ReportMissingContext("DpcForSelfID");
        return;
    }
    KIRQL irql;
    KeAcquireSpinLock(&controller->AsyncLock, &irql);
    KeClearEvent(&controller->AsyncGate);
    KeClearEvent(&controller->EnumerationDone);
    if (!(ReadRegisterValue(controller, ohci::kNodeID) & ohci::kNodeIdValid)) {
        // No node ID: nothing to learn from this round. The gates open again so that nobody waits
        // for a topology pass that this round will not queue.
        controller->PendingEvents &= ~ohci::kIntSelfIDComplete;
        WriteRegister(controller, ohci::kIntMaskSet, ohci::kIntEnabledEvents);
        controller->BusResetActive = 0;
        SetTopologyGates(controller);
        KeReleaseSpinLock(&controller->AsyncLock, irql);
        return;
    }
    LIST_ENTRY nodes;
    InitializeListHead(&nodes);
    if (ValidateSelfId(controller)) {
        BuildTopology(controller, &nodes);
        UpdateCsrImages(controller);
        AcceptRequestsFromTheBus(controller);
        PublishTopologyMapImage(controller);
    }
    LoadBusInfoBlockRegisters(controller);
    EndSelfIdRound(controller);
    KeReleaseSpinLock(&controller->AsyncLock, irql);
    QueueBusEvent(controller, &nodes);
    StartTimer(&controller->RootCheckTimer, &controller->RootCheckDpc);
}

void ReceivePhyPacket(OhciController* controller, ULONG quadlet) {
    KIRQL irql;
    KeAcquireSpinLock(&controller->KernelWaiterLock, &irql);
    for (PLIST_ENTRY entry = controller->KernelWaiterList.Flink; entry != &controller->KernelWaiterList;
         entry = entry->Flink) {
        AsyncPacket* packet = CONTAINING_RECORD(entry, AsyncPacket, WaiterLink);
        if (!RemoteReplyMatches(packet, quadlet)) continue;
        RemoveEntryList(entry);
        InitializeListHead(entry);
        packet->ReplyQuadlet = quadlet;
        packet->PacketStatus = 0;
        if (packet->KernelEvent != nullptr) KeSetEvent(packet->KernelEvent, IO_NO_INCREMENT, FALSE);
        ReleasePacket(packet);
        break;
    }
    KeReleaseSpinLock(&controller->KernelWaiterLock, irql);
}
