// The hooks of the engines that build on bring-up. Until those engines exist each keeps the
// ownership rules and otherwise does nothing.
#include "hooks.h"

#include "controller.h"
#include "ohci/pool_tags.h"

namespace {

constexpr ULONG kScratchStreamBytes = 256;

}  // namespace

void ReportMissingContext(const char* routine) { DbgPrint("%s: fatal error. Parameter is NULL\n", routine); }


void IsoXmitEventDispatch(OhciController* controller, ULONG contextBits) {
    UNREFERENCED_PARAMETER(controller);
    UNREFERENCED_PARAMETER(contextBits);
}

void IsoTxHandleBusReset(OhciController* controller) { UNREFERENCED_PARAMETER(controller); }

void CloseIsoTxStream(OhciController* controller, ULONG slot) {
    UNREFERENCED_PARAMETER(controller);
    UNREFERENCED_PARAMETER(slot);
}

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

// No user address range exists yet: every request that reaches them is an address error.
LONG ServeUserRanges(OhciController* controller, IncomingRequest* request) {
    UNREFERENCED_PARAMETER(controller);
    UNREFERENCED_PARAMETER(request);
    return 7;
}

void ServeIsoTxWork(ClientRecord* client, bool* stop) {
    UNREFERENCED_PARAMETER(client);
    *stop = false;
}

void DeliverRangeRequests(ClientRecord* client) { UNREFERENCED_PARAMETER(client); }

void ReleaseProcessRanges(OhciController* controller, PEPROCESS process) {
    UNREFERENCED_PARAMETER(controller);
    UNREFERENCED_PARAMETER(process);
}
