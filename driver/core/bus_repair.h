// Bus repair and the speed table: the port status of a PHY (local, or remote through IEEE 1394a
// remote access packets), the force-root reset, and the bus management thread's BuildSpeedTable
// and RootCheck (declared with the other hooks).
#pragma once

#include "kxplatform.h"

struct OhciController;

// Status values of a port status query besides the packet statuses.
constexpr UCHAR kPortStatusNotPossible = 0xFF;

// Reads PHY register 9 (page 0) of port `port` of node `nodeId` (its physical ID in the low six
// bits): status 0 with *value set, 1 when a bus reset intervened, 11 without a reply within
// 300 ms, 0xFF when it cannot be asked (above passive level, no interrupt, no packet), else the
// PHY packet's own status.
[[nodiscard]] UCHAR ReadPortStatus(OhciController* controller, ULONG nodeId, ULONG port, PUCHAR value);

// Makes the local node root: a PHY configuration packet with R = 1 naming it, then a long bus
// reset through IBR. `forClient`: the caller's process is given a client record for the time.
void ForceRootReset(OhciController* controller, bool forClient);
