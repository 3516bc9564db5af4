// The hooks of the engines that build on bring-up. Until those engines exist each keeps the
// ownership rules and otherwise does nothing.
#include "hooks.h"

#include "controller.h"
#include "ohci/pool_tags.h"

namespace {

constexpr ULONG kScratchStreamBytes = 256;

}  // namespace

void ReportMissingContext(const char* routine) { DbgPrint("%s: fatal error. Parameter is NULL\n", routine); }

void BuildSpeedTable(OhciController* controller, BusEvent* event) {
    UNREFERENCED_PARAMETER(controller);
    UNREFERENCED_PARAMETER(event);
}

void RootCheck(OhciController* controller) { controller->RootCheckPending = FALSE; }

void IsoRecvEventDispatch(OhciController* controller, ULONG contextBits) {
    UNREFERENCED_PARAMETER(controller);
    UNREFERENCED_PARAMETER(contextBits);
}

void IsoXmitEventDispatch(OhciController* controller, ULONG contextBits) {
    UNREFERENCED_PARAMETER(controller);
    UNREFERENCED_PARAMETER(contextBits);
}

void RecordIsoContextDeath(OhciController* controller, bool transmit, ULONG slot, ULONG eventCode, ULONG status) {
    UNREFERENCED_PARAMETER(controller);
    UNREFERENCED_PARAMETER(transmit);
    UNREFERENCED_PARAMETER(slot);
    UNREFERENCED_PARAMETER(eventCode);
    UNREFERENCED_PARAMETER(status);
}

void IsoRxHandleBusReset(OhciController* controller) { UNREFERENCED_PARAMETER(controller); }
void IsoTxHandleBusReset(OhciController* controller) { UNREFERENCED_PARAMETER(controller); }

void CloseIsoRxStream(OhciController* controller, ULONG slot) {
    UNREFERENCED_PARAMETER(controller);
    UNREFERENCED_PARAMETER(slot);
}

void CloseIsoTxStream(OhciController* controller, ULONG slot) {
    UNREFERENCED_PARAMETER(controller);
    UNREFERENCED_PARAMETER(slot);
}

bool CreateIsochLookasideLists(OhciController* controller) {
    UNREFERENCED_PARAMETER(controller);
    return true;
}

void DeleteIsochLookasideLists(OhciController* controller) { UNREFERENCED_PARAMETER(controller); }

void SelectIsoReceiveRoutines(OhciController* controller) {
    controller->IsoReceiveCompletionHandler = nullptr;
    controller->IsoReceiveFinishRoutine = nullptr;
}

PVOID AcquireScratchStream(OhciController* controller) {
    UNREFERENCED_PARAMETER(controller);
    return AllocateZeroedPool(kScratchStreamBytes, kTagControllerPlain);
}

void ReturnScratchStream(OhciController* controller, PVOID stream) {
    UNREFERENCED_PARAMETER(controller);
    FreeTaggedPool(stream, kTagControllerPlain);
}

LONG DispatchIncomingRequest(OhciController* controller, const UCHAR* packet, ULONG length, bool ackedComplete,
                             bool local) {
    UNREFERENCED_PARAMETER(controller);
    UNREFERENCED_PARAMETER(packet);
    UNREFERENCED_PARAMETER(length);
    UNREFERENCED_PARAMETER(ackedComplete);
    UNREFERENCED_PARAMETER(local);
    return 0;
}

void ServeIsoRxWork(ClientRecord* client, bool* stop) {
    UNREFERENCED_PARAMETER(client);
    *stop = false;
}

void ServeIsoTxWork(ClientRecord* client, bool* stop) {
    UNREFERENCED_PARAMETER(client);
    *stop = false;
}

void DeliverRangeRequests(ClientRecord* client) { UNREFERENCED_PARAMETER(client); }

void CloseProcessStreams(OhciController* controller, PEPROCESS process) {
    UNREFERENCED_PARAMETER(controller);
    UNREFERENCED_PARAMETER(process);
}

void ReleaseProcessRanges(OhciController* controller, PEPROCESS process) {
    UNREFERENCED_PARAMETER(controller);
    UNREFERENCED_PARAMETER(process);
}

void DpcForDelayedExecutionRootSanityCheck(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                           PVOID SystemArgument2) {
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    if (DeferredContext == nullptr) ReportMissingContext("DpcForDelayedExecutionRootSanityCheck");
}

void Ruk_IsochStopUrgentDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    if (DeferredContext == nullptr) ReportMissingContext("Ruk_IsochStopUrgentDpc");
}

