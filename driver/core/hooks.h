// Where the bus reset, the bus management thread, the interrupt service and teardown hand work to
// the engines of the speed table and bus repair, the asynchronous transaction layer, the
// isochronous engines, enumeration and the class interface. Each hook keeps the ownership rules of
// its caller even where it has no work to do yet.
#pragma once

#include "kxplatform.h"

struct OhciController;
struct BusEvent;
struct ClientRecord;
struct IncomingRequest;

// Bus management thread.
void BuildSpeedTable(OhciController* controller, BusEvent* event);  // the event stays the caller's
// True when the PHY packet went out (through the AT request context).
[[nodiscard]] bool SendPhyConfigurationPacket(OhciController* controller, ULONG quadlet);
void RootCheck(OhciController* controller);
void Vex_OhciEnumDCam(OhciController* controller);
void NotifyBusReset(OhciController* controller);

// Isochronous engines.
void IsoRecvEventDispatch(OhciController* controller, ULONG contextBits);   // interrupt level
void IsoXmitEventDispatch(OhciController* controller, ULONG contextBits);   // interrupt level
void RecordIsoContextDeath(OhciController* controller, bool transmit, ULONG slot, ULONG eventCode,
                           ULONG status);                                    // interrupt level
void IsoRxHandleBusReset(OhciController* controller);
void IsoTxHandleBusReset(OhciController* controller);
void CloseIsoRxStream(OhciController* controller, ULONG slot);
void CloseIsoTxStream(OhciController* controller, ULONG slot);
[[nodiscard]] bool CreateIsochLookasideLists(OhciController* controller);
void DeleteIsochLookasideLists(OhciController* controller);
void SelectIsoReceiveRoutines(OhciController* controller);
// A stream record for a client worker's own use; null when none can be had.
[[nodiscard]] PVOID AcquireScratchStream(OhciController* controller);
void ReturnScratchStream(OhciController* controller, PVOID stream);

// The answering stages of incoming requests beside the local CSR space (async/incoming.h): each
// gives an rcode, -1 for no response, or 7 when no range of its own holds the request. The kernel
// address ranges of the class interface (bus/address_range.cpp) run under the AsyncLock; the user
// address ranges answer -10 when a program answers later.
LONG ServeKernelRanges(OhciController* controller, IncomingRequest* request);
// Runs the class ranges' notifications still queued (teardown, once no deferred call is left).
void RunClassRangeNotifications(OhciController* controller);
LONG ServeUserRanges(OhciController* controller, IncomingRequest* request);

// Client worker deliveries and client clean-up.
void DeliverCompletions(ClientRecord* client);
void ServeIsoRxWork(ClientRecord* client, bool* stop);
void ServeIsoTxWork(ClientRecord* client, bool* stop);
void DeliverRangeRequests(ClientRecord* client);
void CancelProcessPackets(OhciController* controller, PEPROCESS process);
void CancelClientCompletions(ClientRecord* client);
void RemoveProcessNotifications(OhciController* controller, PEPROCESS process);  // frame/notification.cpp
void CloseProcessStreams(OhciController* controller, PEPROCESS process);
void ReleaseProcessRanges(OhciController* controller, PEPROCESS process);

// Deferred procedure calls owned by the engines; each checks its context first.
KDEFERRED_ROUTINE DpcForDelayedExecutionRootSanityCheck;
KDEFERRED_ROUTINE DpcForSplitTimeoutWatchDog;
KDEFERRED_ROUTINE Ruk_IsochStopUrgentDpc;
KDEFERRED_ROUTINE ArReceiveDpc;
KDEFERRED_ROUTINE ClassRangeNotifyDpc;
KDEFERRED_ROUTINE AtCompletionDpc;

// The message of a deferred call, timer or work routine started without its context.
void ReportMissingContext(const char* routine);
