// The user isochronous receive requests: IOCTL_ISOCH_OPEN, IOCTL_ISOCH_ATTACH_BUFFERS,
// IOCTL_ISOCH_FLUSH and IOCTL_ISOCH_CLOSE, with the stream key table and the local channel and
// bandwidth bookkeeping. The receive engine is isoch/iso_rx.h.
#pragma once

#include "user_control.h"

[[nodiscard]] NTSTATUS IsochOpenRequest(ControlRequest* request);
[[nodiscard]] NTSTATUS IsochCloseRequest(ControlRequest* request);
[[nodiscard]] NTSTATUS IsochAttachRequest(ControlRequest* request);
[[nodiscard]] NTSTATUS IsochFlushRequest(ControlRequest* request);

// The handle `fileObject` closes: the streams opened through it are closed, so a program that ends
// leaves no pages locked for its buffers.
void CloseFileStreams(OhciController* controller, PVOID fileObject);
