// The driver's answers, one control code each, decoded from the bytes of the output record.
#pragma once

#include <cstdint>

#include "report.h"
#include "session.h"

namespace kx1394 {

Value QueryInterfaceVersion(Session& session);
Value QueryOhciVersion(Session& session);
Value QueryGuid(Session& session);
// Status-byte answers: a bus reset in progress is waited out (a few short tries in virtual time).
Value QueryLocalNode(Session& session);
Value QueryNodeCount(Session& session);
Value QueryIrmNode(Session& session);
Value QueryBusResetCount(Session& session);
// The link-active mask (number) and its count (second value).
Value QueryLinkActiveNodes(Session& session, Value* count);
// Speed from the local node to the node of this physical ID on the local bus.
Value QueryNodeSpeed(Session& session, unsigned phyId);

// "S400" for speed code 2, and so on.
std::string SpeedName(unsigned code);

// IOCTL_BUS_RESET: *initiated tells whether the driver started the reset.
NTSTATUS RequestBusReset(Session& session, bool shortReset, bool* initiated);

// IOCTL_SET_BUS_RESET_EVENT / IOCTL_SET_BUS_READY_EVENT with an event handle of the process (0
// removes the registration); IOCTL_REGISTER_CLIENT with the program's termination event.
NTSTATUS SetBusResetEvent(Session& session, HANDLE event);
NTSTATUS SetBusReadyEvent(Session& session, HANDLE event);
NTSTATUS RegisterClient(Session& session, HANDLE terminationEvent);

}  // namespace kx1394
