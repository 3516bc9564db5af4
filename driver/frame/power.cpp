// Power requests: passed to the bus driver. Device power policy comes with power management.
#include "device.h"

NTSTATUS DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PoStartNextPowerIrp(Irp);
    if (!IsControllerDevice(DeviceObject)) {
        NTSTATUS status = Irp->IoStatus.Status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    ControllerDeviceExtension* extension = ControllerExtension(DeviceObject);
    AcquireIo(extension);
    if (extension->PnpState == Removed) {
        ReleaseIo(extension);
        return CompleteRequest(Irp, STATUS_NO_SUCH_DEVICE);
    }
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = PoCallDriver(extension->LowerDeviceObject, Irp);
    ReleaseIo(extension);
    return status;
}
