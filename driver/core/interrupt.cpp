#include "interrupt.h"

#include "controller.h"
#include "frame/device.h"
#include "hooks.h"
#include "ohci/ohci_registers.h"
#include "ohci/register_access.h"

namespace {

// Removes the bit from the events still waiting for a deferred call.
void Handled(OhciController* controller, ULONG bit) { controller->PendingEvents &= ~bit; }

bool IsDead(OhciController* controller, ULONG base) {
    return (ReadRegisterValue(controller, base + ohci::kContextControlSet) & ohci::kContextDead) != 0;
}

void ReportDeadAsyncContext(OhciController* controller, ULONG base, const char* format) {
    if (!IsDead(controller, base)) return;
    ULONG control = ReadRegisterValue(controller, base + ohci::kContextControlSet);
    ULONG commandPtr = ReadRegisterValue(controller, base + ohci::kContextCommandPtr);
    DbgPrint(format, control, commandPtr);
}

void ReportDeadIsoContexts(OhciController* controller) {
    for (ULONG n = 0; n < kIsoContextSlots; ++n) {
        ULONG base = ohci::IsoXmitContextBase(n);
        ULONG control = ReadRegisterValue(controller, base + ohci::kContextControlSet);
        if (control & ohci::kContextDead)
            DbgPrint("Iso Xmit %d Context died: ctrl[%08x] cmdptr[%08x]\n", int(n), control,
                     ReadRegisterValue(controller, base + ohci::kContextCommandPtr));
        ULONG code = control & ohci::kContextEventCodeMask;
        if (controller->IsoTx[n].Context != nullptr) RecordIsoContextDeath(controller, true, n, code, IsoEventStatus(code));
    }
    for (ULONG n = 0; n < kIsoContextSlots; ++n) {
        ULONG base = ohci::IsoRecvContextBase(n);
        ULONG control = ReadRegisterValue(controller, base + ohci::kContextControlSet);
        if (control & ohci::kContextDead)
            DbgPrint("Iso Recv %d Context died: ctrl[%08x] cmdptr[%08x] match[%08x]\n", int(n), control,
                     ReadRegisterValue(controller, base + ohci::kContextCommandPtr), ReadRegisterValue(controller, base + ohci::kContextMatch));
        ULONG code = control & ohci::kContextEventCodeMask;
        if (controller->IsoRx[n].Context != nullptr)
            RecordIsoContextDeath(controller, false, n, code, IsoEventStatus(code));
    }
}

void ReportDeadContexts(OhciController* controller) {
    DbgPrint("[OHCI INT] OHCI1394_unrecoverableError\n");
    ReportDeadAsyncContext(controller, ohci::kAsyncRequestTransmitContext,
                           "Async Req Tx Context died: ctrl[%08x] cmdptr[%08x]\n");
    ReportDeadAsyncContext(controller, ohci::kAsyncResponseTransmitContext,
                           "Async Rsp Tx Context died: ctrl[%08x] cmdptr[%08x]\n");
    ReportDeadAsyncContext(controller, ohci::kAsyncRequestReceiveContext,
                           "Async Req Rcv Context died: ctrl[%08x] cmdptr[%08x]\n");
    ReportDeadAsyncContext(controller, ohci::kAsyncResponseReceiveContext,
                           "Async Rsp Rcv Context died: ctrl[%08x] cmdptr[%08x]\n");
    ReportDeadIsoContexts(controller);
}

// A bus reset that begins: the node's identity is gone until the self-ID has been processed.
void BeginBusReset(OhciController* controller) {
    KeRemoveQueueDpc(&controller->SelfIdDpc);
    ++controller->BusResetCount;
    controller->SelfIdPacketCount = 0;
    controller->NodeCount = 0;
    controller->IsRoot = 0;
    controller->IsIrm = 0;
    controller->IsBusManager = 0;
    controller->IsCycleMaster = 0;
    controller->BusResetActive = 1;
    controller->LocalNodeNumber = kNoNode;
    controller->RootNodeNumber = kNoNode;
    controller->IrmNodeNumber = kNoNode;
    controller->BusManagerNodeNumber = kNoNode;
    KeRemoveQueueDpc(&controller->BusResetDpc);
    KeInsertQueueDpc(&controller->BusResetDpc, nullptr, nullptr);
}

// An asynchronous context's completion: a dead context is stopped and logged, a live one's
// deferred call is queued.
void DispatchAsyncContext(OhciController* controller, ULONG base, PKDPC dpc, ULONG bit, ULONG logCode) {
    if (IsDead(controller, base)) {
        StopContext(controller, base + ohci::kContextControlClear);
        Handled(controller, bit);
        LogInterruptEvent(controller, logCode);
    } else {
        KeInsertQueueDpc(dpc, nullptr, nullptr);
    }
}

struct LoggedEvent {
    ULONG Bit;
    ULONG Code;
};

// Events that are only acknowledged and logged, in the order they are handled.
constexpr LoggedEvent kLoggedFirst[] = {
    {ohci::kIntPostedWriteErr, kLogPostedWriteErr},
    {ohci::kIntLockRespErr, kLogLockRespErr},
    {ohci::kIntRegAccessFail, kLogRegAccessFail},
    {ohci::kIntCycleLost, kLogCycleLost},
    {ohci::kIntAckTardy, kLogAckTardy},
};

void HandleErrorEvents(OhciController* controller, ULONG events) {
    for (const LoggedEvent& logged : kLoggedFirst) {
        if (!(events & logged.Bit)) continue;
        Handled(controller, logged.Bit);
        if (logged.Bit == ohci::kIntPostedWriteErr) {
            (void)ReadRegisterValue(controller, ohci::kPostedWriteAddressLo);
            (void)ReadRegisterValue(controller, ohci::kPostedWriteAddressHi);
        }
        LogInterruptEvent(controller, logged.Code);
    }
    if (events & ohci::kIntCycleTooLong) {
        WriteRegister(controller, ohci::kLinkControlClear, ohci::kLinkControlCycleMaster);
        Handled(controller, ohci::kIntCycleTooLong);
        LogInterruptEvent(controller, kLogCycleTooLong);
    }
    if (events & ohci::kIntUnrecoverableError) {
        Handled(controller, ohci::kIntUnrecoverableError);
        ReportDeadContexts(controller);
        LogInterruptEvent(controller, kLogUnrecoverableError);
    }
    if (events & ohci::kIntCycleInconsistent) {
        Handled(controller, ohci::kIntCycleInconsistent);
        LogInterruptEvent(controller, kLogCycleInconsistent);
    }
}

void HandleBusReset(OhciController* controller) {
    if (controller->BusResetActive)
        Handled(controller, ohci::kIntBusReset);  // a reset during a reset starts nothing new
    else
        BeginBusReset(controller);
    LogInterruptEvent(controller, kLogBusReset);
}

void HandleAsyncEvents(OhciController* controller, ULONG events) {
    if (events & ohci::kIntReqTxComplete)
        DispatchAsyncContext(controller, ohci::kAsyncRequestTransmitContext, &controller->AtRequest.Dpc,
                             ohci::kIntReqTxComplete, kLogAtRequestDead);
    if (events & ohci::kIntRespTxComplete)
        DispatchAsyncContext(controller, ohci::kAsyncResponseTransmitContext, &controller->AtResponse.Dpc,
                             ohci::kIntRespTxComplete, kLogAtResponseDead);
    if (events & (ohci::kIntRQPkt | ohci::kIntPhyRegRcvd))
        DispatchAsyncContext(controller, ohci::kAsyncRequestReceiveContext, &controller->ArRequest.Dpc,
                             ohci::kIntRQPkt, kLogArRequestDead);
    if (events & ohci::kIntRSPkt)
        DispatchAsyncContext(controller, ohci::kAsyncResponseReceiveContext, &controller->ArResponse.Dpc,
                             ohci::kIntRSPkt, kLogArResponseDead);
}

void HandleIsoEvents(OhciController* controller, ULONG events) {
    if (events & ohci::kIntIsochRx) {
        ULONG bits = ReadRegisterValue(controller, ohci::kIsoRecvIntEventSet);
        WriteRegister(controller, ohci::kIsoRecvIntEventClear, bits);
        controller->LastIsoRecvEvents = bits;
        IsoRecvEventDispatch(controller, bits);
    }
    if (events & ohci::kIntIsochTx) {
        ULONG bits = ReadRegisterValue(controller, ohci::kIsoXmitIntEventSet);
        WriteRegister(controller, ohci::kIsoXmitIntEventClear, bits);
        IsoXmitEventDispatch(controller, bits);
    }
}

}  // namespace

ULONG IsoEventStatus(ULONG eventCode) {
    if (eventCode == 0x11) return 0;   // ack_complete
    if (eventCode == 0x1D) return 13;  // ack_data_error
    if (eventCode >= 0x10) return 14;
    if (eventCode == 0x04) return 16;  // evt_underrun
    if (eventCode == 0x05) return 15;  // evt_overrun
    return 14;
}

void LogInterruptEvent(OhciController* controller, ULONG code) {
    KeInsertQueueDpc(&controller->InterruptLogDpc, reinterpret_cast<PVOID>(ULONG_PTR(code)), nullptr);
}

void InterruptLogDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument2);
    auto* controller = static_cast<OhciController*>(DeferredContext);
    if (controller == nullptr) {
        ReportMissingContext("InterruptLogDpc");
        return;
    }
    ULONG code = ULONG(reinterpret_cast<ULONG_PTR>(SystemArgument1));
    AsyncStatistics* statistics = &controller->Statistics;
    KIRQL irql;
    KeAcquireSpinLock(&controller->InterruptLogLock, &irql);
    ULONG count = ULONG(statistics->InterruptLogCount);
    if (count < kInterruptLogEntries) {
        statistics->InterruptLog[count] = code;
    } else {
        for (ULONG i = 1; i < kInterruptLogEntries; ++i) statistics->InterruptLog[i - 1] = statistics->InterruptLog[i];
        statistics->InterruptLog[kInterruptLogEntries - 1] = code;
    }
    InterlockedIncrement(&statistics->InterruptLogCount);
    KeReleaseSpinLock(&controller->InterruptLogLock, irql);
}

BOOLEAN ControllerInterruptService(PKINTERRUPT Interrupt, PVOID ServiceContext) {
    UNREFERENCED_PARAMETER(Interrupt);
    auto* extension = static_cast<ControllerDeviceExtension*>(ServiceContext);
    if (extension->DevicePowerState != PowerDeviceD0) return FALSE;
    OhciController* controller = &extension->Controller;
    // Ours only if an event the mask lets through is pending (reading IntEventClear gives
    // IntEvent & IntMask): an event that interrupts nobody, like cycleSynch latching every cycle
    // on a cycle master, says nothing about who asserted a shared line. All ones: the controller
    // is gone from the bus (surprise removal), and nothing of it may be touched.
    const ULONG interrupting = ReadRegisterValue(controller, ohci::kIntEventClear);
    if (interrupting == 0xFFFFFFFFu) return FALSE;
    if (!(interrupting & ohci::kIntControllerEvents)) {
        WriteRegister(controller, ohci::kIntMaskSet, ohci::kIntEnabledEvents);
        return FALSE;
    }
    ULONG events = ReadRegisterValue(controller, ohci::kIntEvent);
    // A new reset's busReset stays set, masked, until its deferred call has stopped the transmit
    // contexts: while it is set the link sends nothing, so no packet queued for the old generation
    // reaches nodes the reset renumbered. (A reset during a reset's handling is cleared at once.)
    const ULONG held = (events & ohci::kIntBusReset) != 0 && !controller->BusResetActive ? ohci::kIntBusReset : 0;
    WriteRegister(controller, ohci::kIntEventClear, events & ~held);
    if (held != 0) WriteRegister(controller, ohci::kIntMaskClear, held);
    controller->PendingEvents = events;
    controller->LastEvents = events;
    HandleErrorEvents(controller, events);
    if (events & ohci::kIntBusReset) HandleBusReset(controller);
    HandleAsyncEvents(controller, events);
    HandleIsoEvents(controller, events);
    if (events & ohci::kIntSelfIDComplete) {
        KeRemoveQueueDpc(&controller->SelfIdDpc);
        KeInsertQueueDpc(&controller->SelfIdDpc, nullptr, nullptr);
    }
    WriteRegister(controller, ohci::kIntMaskSet, ohci::kIntEnabledEvents & ~held);
    return TRUE;
}
