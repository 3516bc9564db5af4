// kx1394 stream (without CHANNEL HEXDATA): frames of an IIDC camera, received the way camera
// software receives them through the public header. The camera is checked against its inquiry
// registers and programmed with asynchronous writes (CUR_V_FORMAT, CUR_V_MODE, CUR_V_FRM_RATE,
// ISO_CHANNEL/ISO_SPEED, ISO_EN); the driver gets IOCTL_ISOCH_OPEN on a free channel, the
// program's own buffers (one frame each) with IOCTL_ISOCH_ATTACH_BUFFERS, and IOCTL_ISOCH_FLUSH
// and IOCTL_ISOCH_CLOSE at the end.
#pragma once

#include "options.h"
#include "session.h"

namespace kx1394 {

// Runs the command; 0 when every frame asked for arrived, 1 when the driver or the camera failed.
int StreamCommand(Session& session, const Options& options);

// Virtual seconds the command may take: its frames at the rate asked for, with room to spare.
double StreamVirtualSeconds(const Options& options);

}  // namespace kx1394
