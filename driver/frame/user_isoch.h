// The user isochronous receive requests: IOCTL_ISOCH_OPEN, IOCTL_ISOCH_ATTACH_BUFFERS,
// IOCTL_ISOCH_FLUSH and IOCTL_ISOCH_CLOSE, with the stream key table and the local channel and
// bandwidth bookkeeping. The receive engine is isoch/iso_rx.h.
#pragma once

#include "isoch/iso_rx.h"
#include "user_control.h"

[[nodiscard]] NTSTATUS IsochOpenRequest(ControlRequest* request);
[[nodiscard]] NTSTATUS IsochCloseRequest(ControlRequest* request);
[[nodiscard]] NTSTATUS IsochAttachRequest(ControlRequest* request);
[[nodiscard]] NTSTATUS IsochFlushRequest(ControlRequest* request);

// The handle `fileObject` closes: the streams opened through it are closed, so a program that ends
// leaves no pages locked for its buffers.
void CloseFileStreams(OhciController* controller, PVOID fileObject);

// The local books of isochronous resources (the CSR images that every bus reset renews): bandwidth
// units and channels 0 to 63, shared by user streams and the class interface.
// Units are taken from the books of the current generation (*generation gets it) and go back only
// to the books of the generation they were taken from: a bus reset since has renewed the books.
[[nodiscard]] bool AllocateBandwidth(OhciController* controller, ULONG units, ULONG* generation);
void ReleaseBandwidth(OhciController* controller, ULONG units, ULONG generation);
// Gives back `releasedUnits` (taken in `*generation`) and takes `wantedUnits` at once (*generation
// then gets the current one); when the wanted units do not fit, nothing changes and the answer is
// false.
[[nodiscard]] bool ReplaceBandwidth(OhciController* controller, ULONG releasedUnits, ULONG wantedUnits,
                                    ULONG* generation);
// Allocates (a free channel) or releases (a taken one); false otherwise and for channels above 63.
[[nodiscard]] bool UpdateChannel(OhciController* controller, ULONG channel, bool allocate);
// The units left, and the channel images (channels 0 to 31 in the high word, 1 = free).
ULONG AvailableBandwidth(OhciController* controller, ULONGLONG* channels);

// A user stream's channel and bandwidth (when `units` is not 0) booked together; *generation
// receives the books' generation. ReturnStreamResources gives them back only while the books are
// of that generation: a bus reset since has renewed them, and the channel or units may belong to
// a stream booked after it.
[[nodiscard]] bool BookStreamResources(OhciController* controller, ULONG channel, ULONG units, PULONG generation);
void ReturnStreamResources(OhciController* controller, ULONG channel, ULONG units, ULONG generation);

// A kernel caller's receive stream, finished by the driver client's worker. No key, channel or
// bandwidth is booked for it, and no process owns it.
[[nodiscard]] NTSTATUS OpenKernelStream(OhciController* controller, const isorx::OpenRecord& open,
                                        const isorx::StreamShape& shape, const isorx::KernelCaller& caller,
                                        isorx::Stream** stream);
