// topology and speed: the bus as the local node's TOPOLOGY_MAP describes it, read by the program
// with its own asynchronous reads of the local node (which the driver answers itself, through
// loopback), and the speed between every pair of nodes.
#pragma once

#include "options.h"
#include "session.h"

namespace kx1394 {

int TopologyCommand(Session& session, const Options& options);
int SpeedCommand(Session& session, const Options& options);

}  // namespace kx1394
