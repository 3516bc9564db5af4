// The class interface's 1394 address ranges: allocated and freed by drivers on child devices
// (REQUEST_ALLOCATE_ADDRESS_RANGE, REQUEST_FREE_ADDRESS_RANGE, or the physical-mapping routine of
// REQUEST_GET_LOCAL_HOST_INFO level 4), and the first stage that answers incoming requests
// (ServeKernelRanges, a hook of core/hooks.h).
#pragma once

#include "kxplatform.h"

struct ChildDeviceExtension;
struct ControllerDeviceExtension;
struct IRB;

namespace bus {

// REQUEST_ALLOCATE_ADDRESS_RANGE; `mappingRoutine`: reached through the physical-mapping routine.
[[nodiscard]] NTSTATUS AllocateAddressRange(ChildDeviceExtension* child, IRB* irb, bool mappingRoutine);
// REQUEST_FREE_ADDRESS_RANGE: every handle of the child's that is listed is freed; always success.
[[nodiscard]] NTSTATUS FreeAddressRange(ChildDeviceExtension* child, IRB* irb);
// The routine REQUEST_GET_LOCAL_HOST_INFO level 4 hands out, with the child's extension as context.
NTSTATUS PhysicalMappingRoutine(PVOID context, IRB* irb);
// The child goes: every range it still holds goes with it.
void ReleaseChildRanges(ControllerDeviceExtension* controller, ChildDeviceExtension* child);

}  // namespace bus
