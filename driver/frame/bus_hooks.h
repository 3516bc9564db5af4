// Where the frame's dispatch routines hand child devices and the controller's bus relations to
// the bus driver, which implements these routines.
#pragma once

#include "device.h"

// Plug and Play requests to a child device: each is completed there.
NTSTATUS ChildDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// The controller's bus relations (the request is passed down afterwards whatever this returns).
NTSTATUS AnswerBusRelations(ControllerDeviceExtension* extension, PIRP Irp);
// The controller goes: its children go with it.
void DeleteAllChildren(ControllerDeviceExtension* extension);
// Internal device-control requests (the 1394 class interface) to a child device.
NTSTATUS ChildDispatchInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
