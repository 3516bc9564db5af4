// The small dispatch routines: create, close, cleanup, read/write, system control; and the
// request helpers the frame shares.
#include "device.h"
#include "user_isoch.h"
#include "user_async.h"
#include "user_control.h"

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS status) {
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PassDown(ControllerDeviceExtension* extension, PIRP Irp) {
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(extension->LowerDeviceObject, Irp);
}

namespace {

NTSTATUS ForwardCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    if (Irp->PendingReturned) KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

NTSTATUS ForwardAndWait(PDEVICE_OBJECT lowerDevice, PIRP Irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, ForwardCompletion, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(lowerDevice, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = Irp->IoStatus.Status;
    }
    return status;
}

NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (!IsControllerDevice(DeviceObject)) return CompleteRequest(Irp, STATUS_SUCCESS);
    ControllerDeviceExtension* extension = ControllerExtension(DeviceObject);
    AcquireIo(extension);
    NTSTATUS status = extension->PnpState == Removed ? STATUS_NO_SUCH_DEVICE : STATUS_SUCCESS;
    CompleteRequest(Irp, status);
    ReleaseIo(extension);
    return status;
}

NTSTATUS DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    return CompleteRequest(Irp, STATUS_SUCCESS);
}

NTSTATUS DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (IsControllerDevice(DeviceObject)) {
        ControllerDeviceExtension* extension = ControllerExtension(DeviceObject);
        GateCancelHeld(&extension->Gate, IoGetCurrentIrpStackLocation(Irp)->FileObject);
        // A handle closes: a program that ended with bus events registered (and no client
        // registration to release them) loses them here at the latest.
        AcquireIo(extension);
        if (extension->Controller.Initialized) {
            CancelFilePackets(&extension->Controller, IoGetCurrentIrpStackLocation(Irp)->FileObject);
            CloseFileStreams(&extension->Controller, IoGetCurrentIrpStackLocation(Irp)->FileObject);
            RemoveEndedProcessNotifications(&extension->Controller);
        }
        ReleaseIo(extension);
    }
    return CompleteRequest(Irp, STATUS_SUCCESS);
}

NTSTATUS DispatchReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (!IsControllerDevice(DeviceObject)) return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST);
    RequestGate* gate = &ControllerExtension(DeviceObject)->Gate;
    NTSTATUS status = GateEnter(gate, Irp);
    if (status != STATUS_SUCCESS) return status;
    // The driver moves no data through read and write; a zero-length request succeeds.
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG length = stack->MajorFunction == IRP_MJ_READ ? stack->Parameters.Read.Length : stack->Parameters.Write.Length;
    status = CompleteRequest(Irp, length != 0 ? STATUS_NOT_IMPLEMENTED : STATUS_SUCCESS);
    GateLeave(gate);
    return status;
}

NTSTATUS DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (!IsControllerDevice(DeviceObject)) return CompleteRequest(Irp, STATUS_NOT_SUPPORTED);
    ControllerDeviceExtension* extension = ControllerExtension(DeviceObject);
    AcquireIo(extension);
    if (extension->PnpState == Removed) {
        ReleaseIo(extension);
        return CompleteRequest(Irp, STATUS_DELETE_PENDING);
    }
    NTSTATUS status = PassDown(extension, Irp);
    ReleaseIo(extension);
    return status;
}
