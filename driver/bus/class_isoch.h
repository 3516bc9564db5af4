// The isochronous functions of the 1394 class interface: bandwidth and channels from the local
// books, and isochronous resources, each a receive stream of the receive engine opened for the
// child's class driver, with the buffers its ISOCH_DESCRIPTORs describe. The dispatcher
// (class_request.cpp) calls them at passive level, REQUEST_ISOCH_DETACH_BUFFERS at any level up to
// DISPATCH_LEVEL; each returns the request's final status.
#pragma once

#include "bus_device.h"
#include "irb.h"

[[nodiscard]] NTSTATUS ClassAllocateBandwidth(ChildDeviceExtension* child, IRB* irb);
[[nodiscard]] NTSTATUS ClassFreeBandwidth(ChildDeviceExtension* child, IRB* irb);
[[nodiscard]] NTSTATUS ClassSetChannelBandwidth(ChildDeviceExtension* child, IRB* irb);
[[nodiscard]] NTSTATUS ClassAllocateChannel(ChildDeviceExtension* child, IRB* irb);
[[nodiscard]] NTSTATUS ClassFreeChannel(ChildDeviceExtension* child, IRB* irb);
[[nodiscard]] NTSTATUS ClassQueryResources(ChildDeviceExtension* child, IRB* irb);
[[nodiscard]] NTSTATUS ClassAllocateResources(ChildDeviceExtension* child, IRB* irb);
[[nodiscard]] NTSTATUS ClassFreeResources(ChildDeviceExtension* child, IRB* irb);
[[nodiscard]] NTSTATUS ClassAttachBuffers(ChildDeviceExtension* child, IRB* irb);
[[nodiscard]] NTSTATUS ClassDetachBuffers(ChildDeviceExtension* child, IRB* irb);
[[nodiscard]] NTSTATUS ClassListen(ChildDeviceExtension* child, IRB* irb);
[[nodiscard]] NTSTATUS ClassStop(ChildDeviceExtension* child, IRB* irb);

namespace bus {

// The child goes: its isochronous resource is closed (its buffers detached, no callback runs) and
// every bandwidth allocation it holds goes back to the books. Passive level.
void ReleaseChildIsochRecords(ControllerDeviceExtension* controller, PDEVICE_OBJECT child);

}  // namespace bus
