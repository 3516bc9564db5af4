// Device-control entry points. Requests pass the request gate; the control codes are served by
// the user control interface.
#include "device.h"

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (!IsControllerDevice(DeviceObject)) return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST);
    RequestGate* gate = &ControllerExtension(DeviceObject)->Gate;
    NTSTATUS status = GateEnter(gate, Irp);
    if (status != STATUS_SUCCESS) return status;
    status = CompleteRequest(Irp, STATUS_NOT_IMPLEMENTED);
    GateLeave(gate);
    return status;
}

NTSTATUS DispatchInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    return CompleteRequest(Irp, STATUS_NOT_IMPLEMENTED);
}
