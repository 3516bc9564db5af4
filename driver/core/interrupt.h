// The controller's interrupt: acknowledgement of the OHCI events, their dispatch in a fixed order,
// the interrupt log of error events and the report of dead DMA contexts.
#pragma once

#include "kxplatform.h"

struct OhciController;

// The interrupt service routine; the context is the ControllerDeviceExtension.
KSERVICE_ROUTINE ControllerInterruptService;

// The interrupt log's deferred call: SystemArgument1 carries the event code.
KDEFERRED_ROUTINE InterruptLogDpc;

// Queues an event code for the interrupt log (a code queued while the call is pending is lost).
void LogInterruptEvent(OhciController* controller, ULONG code);

// The completion status an isochronous context's event code stands for.
[[nodiscard]] ULONG IsoEventStatus(ULONG eventCode);

// Interrupt log codes.
enum InterruptLogCode : ULONG {
    kLogAtRequestDead = 33,
    kLogAtResponseDead = 34,
    kLogArRequestDead = 35,
    kLogArResponseDead = 36,
    kLogPostedWriteErr = 37,
    kLogLockRespErr = 38,
    kLogRegAccessFail = 39,
    kLogCycleLost = 40,
    kLogCycleInconsistent = 41,
    kLogUnrecoverableError = 42,
    kLogCycleTooLong = 43,
    kLogAckTardy = 44,
    kLogBusReset = 45,
};
