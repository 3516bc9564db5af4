// OutstandingIo and the request gate.
#include "device.h"

namespace {

// Cancel routine of a held request: unlink it under the gate's lock and complete it.
void GateCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    auto* gate = static_cast<RequestGate*>(Irp->Tail.Overlay.DriverContext[0]);
    KIRQL irql;
    KeAcquireSpinLock(&gate->Lock, &irql);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&gate->Lock, irql);
    CompleteRequest(Irp, STATUS_CANCELLED);
}

PIRP HeldIrp(PLIST_ENTRY entry) { return CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry); }

void WakeDevice(RequestGate* gate) {
    ControllerDeviceExtension* extension = ControllerExtension(gate->Device);
    if (extension->DevicePowerState > PowerDeviceD0) {
        POWER_STATE state;
        state.DeviceState = PowerDeviceD0;
        PoRequestPowerIrp(extension->PhysicalDeviceObject, IRP_MN_SET_POWER, state, nullptr, nullptr, nullptr);
    }
}

}  // namespace

void AcquireIo(ControllerDeviceExtension* extension) {
    // Clearing StopEvent when the first request arrives keeps a later stop or remove query waiting
    // for it; an event left set would let the query pass with requests still running.
    if (InterlockedIncrement(&extension->OutstandingIo) == 2) KeClearEvent(&extension->StopEvent);
}

void ReleaseIo(ControllerDeviceExtension* extension) {
    LONG count = InterlockedDecrement(&extension->OutstandingIo);
    if (count == 1) KeSetEvent(&extension->StopEvent, IO_NO_INCREMENT, FALSE);
    if (count == 0) KeSetEvent(&extension->RemoveEvent, IO_NO_INCREMENT, FALSE);
}

void GateInitialize(RequestGate* gate, PDEVICE_OBJECT device) {
    gate->Device = device;
    KeInitializeEvent(&gate->IdleEvent, NotificationEvent, FALSE);
    InitializeListHead(&gate->Held);
    KeInitializeSpinLock(&gate->Lock);
    gate->HoldCount = 1;
    gate->Active = 0;
    gate->GateStatus = STATUS_SUCCESS;
    gate->Replaying = nullptr;
}

NTSTATUS GateEnter(RequestGate* gate, PIRP Irp) {
    KIRQL irql;
    KeAcquireSpinLock(&gate->Lock, &irql);
    NTSTATUS gateStatus = gate->GateStatus;
    if (!NT_SUCCESS(gateStatus)) {
        KeReleaseSpinLock(&gate->Lock, irql);
        return CompleteRequest(Irp, gateStatus);
    }
    if (gate->HoldCount > 0 && gate->Replaying != Irp) {
        InsertTailList(&gate->Held, &Irp->Tail.Overlay.ListEntry);
        Irp->Tail.Overlay.DriverContext[0] = gate;
        IoSetCancelRoutine(Irp, GateCancelRoutine);
        if (Irp->Cancel && IoSetCancelRoutine(Irp, nullptr) != nullptr) {
            RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
            KeReleaseSpinLock(&gate->Lock, irql);
            return CompleteRequest(Irp, STATUS_CANCELLED);
        }
        IoMarkIrpPending(Irp);
        KeReleaseSpinLock(&gate->Lock, irql);
        WakeDevice(gate);
        return STATUS_PENDING;
    }
    if (gate->Replaying == Irp) gate->Replaying = nullptr;
    ++gate->Active;
    KeReleaseSpinLock(&gate->Lock, irql);
    return STATUS_SUCCESS;
}

void GateLeave(RequestGate* gate) {
    KIRQL irql;
    KeAcquireSpinLock(&gate->Lock, &irql);
    if (--gate->Active == 0) KeSetEvent(&gate->IdleEvent, IO_NO_INCREMENT, FALSE);
    KeReleaseSpinLock(&gate->Lock, irql);
}

void GateStall(ControllerDeviceExtension* extension) {
    RequestGate* gate = &extension->Gate;
    KIRQL irql;
    KeAcquireSpinLock(&gate->Lock, &irql);
    ++gate->HoldCount;
    KeClearEvent(&gate->IdleEvent);
    bool busy = gate->Active != 0;
    KeReleaseSpinLock(&gate->Lock, irql);
    if (busy) KeWaitForSingleObject(&gate->IdleEvent, Executive, KernelMode, FALSE, nullptr);
}

void GateRelease(ControllerDeviceExtension* extension) {
    RequestGate* gate = &extension->Gate;
    PDRIVER_OBJECT driver = gate->Device->DriverObject;
    KIRQL irql;
    KeAcquireSpinLock(&gate->Lock, &irql);
    while (gate->HoldCount == 1 && !IsListEmpty(&gate->Held)) {
        PLIST_ENTRY entry = RemoveHeadList(&gate->Held);
        PIRP irp = HeldIrp(entry);
        if (IoSetCancelRoutine(irp, nullptr) == nullptr) {
            // Its cancel routine is running and will unlink the entry: make that harmless.
            InitializeListHead(entry);
            continue;
        }
        UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
        if (major == IRP_MJ_DEVICE_CONTROL) {
            // A control request held across a halt is not replayed: the state it was issued
            // against is gone.
            KeReleaseSpinLock(&gate->Lock, irql);
            CompleteRequest(irp, STATUS_UNSUCCESSFUL);
        } else {
            gate->Replaying = irp;
            KeReleaseSpinLock(&gate->Lock, irql);
            driver->MajorFunction[major](gate->Device, irp);
        }
        KeAcquireSpinLock(&gate->Lock, &irql);
    }
    if (gate->HoldCount > 0) --gate->HoldCount;
    KeReleaseSpinLock(&gate->Lock, irql);
}

void GateCancelHeld(RequestGate* gate, PFILE_OBJECT fileObject) {
    LIST_ENTRY cancelled;
    InitializeListHead(&cancelled);
    KIRQL irql;
    KeAcquireSpinLock(&gate->Lock, &irql);
    PLIST_ENTRY entry = gate->Held.Flink;
    while (entry != &gate->Held) {
        PLIST_ENTRY next = entry->Flink;
        PIRP irp = HeldIrp(entry);
        if ((fileObject == nullptr || IoGetCurrentIrpStackLocation(irp)->FileObject == fileObject) &&
            IoSetCancelRoutine(irp, nullptr) != nullptr) {
            RemoveEntryList(entry);
            InsertTailList(&cancelled, entry);
        }
        entry = next;
    }
    KeReleaseSpinLock(&gate->Lock, irql);
    while (!IsListEmpty(&cancelled)) CompleteRequest(HeldIrp(RemoveHeadList(&cancelled)), STATUS_CANCELLED);
}

void GateClose(RequestGate* gate, NTSTATUS status) {
    KIRQL irql;
    KeAcquireSpinLock(&gate->Lock, &irql);
    gate->GateStatus = status;
    KeReleaseSpinLock(&gate->Lock, irql);
    GateCancelHeld(gate, nullptr);
}
