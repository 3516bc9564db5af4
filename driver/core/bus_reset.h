// Bus reset and self-ID: the two deferred calls the interrupt queues, the validation of the
// self-ID packets, the two-second reset watch and the receiver of remote PHY register replies.
#pragma once

#include "kxplatform.h"

struct OhciController;

KDEFERRED_ROUTINE DpcForBusReset;
KDEFERRED_ROUTINE DpcForSelfID;
KDEFERRED_ROUTINE Vex_OhciBRWatch2sec;

// Checks the self-ID buffer and learns the node's place on the bus (AsyncLock held). On false a
// long bus reset has been initiated.
[[nodiscard]] bool ValidateSelfId(OhciController* controller);

// A received PHY packet (its first quadlet), from the AR request context's walk.
void ReceivePhyPacket(OhciController* controller, ULONG quadlet);

// Opens AsyncGate, then EnumerationDone.
void SetTopologyGates(OhciController* controller);

// Sets the bus-ready or the bus-reset events of every registration (notification lock taken here).
void SignalBusReadyEvents(OhciController* controller);
