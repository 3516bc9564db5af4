// Host kernel io: power routines of drivers (PoCallDriver, PoStartNextPowerIrp, PoSetPowerState,
// PoRequestPowerIrp).
#include "hk_io_internal.h"

extern "C" {

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    if (next->MajorFunction != IRP_MJ_POWER)
        hk::Violation(hk::rule::kIrpState, "PoCallDriver(%p) with an IRP_MJ_%u request (not a power IRP)",
                      static_cast<void*>(Irp), next->MajorFunction);
    return IofCallDriver(DeviceObject, Irp);
}

void PoStartNextPowerIrp(PIRP Irp) {
    hk::io::IrpHeader* info = hk::io::IrpInfo(Irp);
    if (info == nullptr || info->state == hk::io::IrpState::Freed)
        hk::Violation(hk::rule::kIrpState, "PoStartNextPowerIrp(%p): not a live IRP", static_cast<void*>(Irp));
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
    _DEVOBJ_EXTENSION* ext = hk::io::Ext(DeviceObject);
    POWER_STATE previous;
    if (Type == SystemPowerState) {
        previous.SystemState = ext->SystemState;
        ext->SystemState = State.SystemState;
    } else {
        previous.DeviceState = ext->DeviceState;
        ext->DeviceState = State.DeviceState;
    }
    return previous;
}

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL) hk::Violation(hk::rule::kIrql, "PoRequestPowerIrp called at IRQL %u", irql);
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER && MinorFunction != IRP_MN_WAIT_WAKE)
        return STATUS_INVALID_PARAMETER_2;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(DeviceObject);
    PIRP irp = hk::io::AllocateIrp(top->StackSize, hk::io::IrpKind::PowerRequest);
    if (irp == nullptr) {
        ObfDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    hk::io::IrpHeader* info = hk::io::IrpInfo(irp);
    info->powerCallback = CompletionFunction;
    info->powerContext = Context;
    info->powerTarget = DeviceObject;
    info->powerMinor = MinorFunction;
    info->powerState = PowerState;
    ObfReferenceObject(DeviceObject);  // until the callback has run
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_POWER;
    stack->MinorFunction = MinorFunction;
    if (MinorFunction == IRP_MN_WAIT_WAKE) {
        stack->Parameters.WaitWake.PowerState = PowerState.SystemState;
    } else {
        stack->Parameters.Power.Type = DevicePowerState;
        stack->Parameters.Power.State = PowerState;
        stack->Parameters.Power.ShutdownType = PowerActionNone;
    }
    if (Irp != nullptr) *Irp = irp;
    PoCallDriver(top, irp);
    ObfDereferenceObject(top);
    return STATUS_PENDING;
}

}  // extern "C"
