// Plug and Play of the controller device: start, the stop and remove protocol with the request
// gate and OutstandingIo, surprise removal.
#include "bus_hooks.h"
#include "device.h"
#include "driver.h"
#include "core/bring_up.h"
#include "core/config_rom.h"
#include "core/interrupt.h"
#include "ohci/register_access.h"

namespace {

void SetPnpState(ControllerDeviceExtension* extension, PnpDeviceState state) {
    extension->PreviousPnpState = extension->PnpState;
    extension->PnpState = state;
}

NTSTATUS QueryCapabilities(ControllerDeviceExtension* extension) {
    DEVICE_CAPABILITIES* caps = &extension->Capabilities;
    RtlZeroMemory(caps, sizeof(*caps));
    caps->Size = sizeof(DEVICE_CAPABILITIES);
    caps->Version = 1;
    caps->Address = 0xFFFFFFFF;
    caps->UINumber = 0xFFFFFFFF;

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(extension->DeviceObject);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, top, nullptr, 0, nullptr, &event, &ioStatus);
    if (irp == nullptr) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_PNP;
    stack->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    stack->Parameters.DeviceCapabilities.Capabilities = caps;
    NTSTATUS status = IoCallDriver(top, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    ObDereferenceObject(top);
    return status;
}

// A memory window is mapped non-cached. One the system translated to port space is mapped only
// when it is memory-mapped I/O; an I/O port range is used at its translated address.
void MapWindow(ResourceWindow* window, const CM_PARTIAL_RESOURCE_DESCRIPTOR& translated) {
    bool ioPort = translated.Type == CmResourceTypePort && (translated.Flags & CM_RESOURCE_PORT_IO) != 0;
    PHYSICAL_ADDRESS start = translated.Type == CmResourceTypeMemory ? translated.u.Memory.Start : translated.u.Port.Start;
    window->Length = translated.Type == CmResourceTypeMemory ? translated.u.Memory.Length : translated.u.Port.Length;
    window->IsPort = ioPort;
    if (ioPort) {
        window->Address = reinterpret_cast<PVOID>(ULONG_PTR(start.QuadPart));
        window->Mapped = FALSE;
    } else {
        window->Address = MmMapIoSpace(start, window->Length, MmNonCached);
        window->Mapped = window->Address != nullptr;
    }
}

// Bring-up of the controller on a started device: the controller object, the programmed
// hardware with its configuration ROM, the interrupt, and a first bus reset. The register layer
// works on the first memory window; an I/O port window cannot carry OHCI registers.
NTSTATUS StartControllerHardware(ControllerDeviceExtension* extension) {
    if (extension->RegisterWindow.IsPort) return STATUS_DEVICE_CONFIGURATION_ERROR;
    if (!InitializeController(extension)) return STATUS_INSUFFICIENT_RESOURCES;
    ProgramController(extension);
    BuildConfigRom(&extension->Controller);
    NTSTATUS status = IoConnectInterrupt(&extension->InterruptObject, ControllerInterruptService, extension, nullptr,
                                         extension->InterruptVector, extension->InterruptLevel,
                                         extension->InterruptLevel, extension->InterruptMode,
                                         extension->InterruptShared, extension->InterruptAffinity, FALSE);
    if (!NT_SUCCESS(status)) {
        extension->InterruptObject = nullptr;
        return status;
    }
    InitiateBusReset(&extension->Controller);
    return STATUS_SUCCESS;
}

// The interrupt goes first, then the controller: a controller object built by a start that failed
// before its interrupt was connected is shut down as well.
void StopControllerHardware(ControllerDeviceExtension* extension) {
    if (extension->InterruptObject != nullptr) {
        MaskControllerInterrupt(extension);
        IoDisconnectInterrupt(extension->InterruptObject);
        extension->InterruptObject = nullptr;
        ShutdownController(extension);
    } else if (extension->Controller.Initialized) {
        MaskControllerInterrupt(extension);
        ShutdownController(extension);
    }
    extension->Controller.Registers.RegisterBase = nullptr;
}

// Walks the raw and translated resource lists in step.
NTSTATUS MapResources(ControllerDeviceExtension* extension, PIO_STACK_LOCATION stack) {
    PCM_RESOURCE_LIST raw = stack->Parameters.StartDevice.AllocatedResources;
    PCM_RESOURCE_LIST translated = stack->Parameters.StartDevice.AllocatedResourcesTranslated;
    ULONG memoryWindows = 0;
    bool haveInterrupt = false;
    if (raw != nullptr && translated != nullptr && raw->Count > 0 && translated->Count > 0) {
        const CM_PARTIAL_RESOURCE_LIST& rawList = raw->List[0].PartialResourceList;
        const CM_PARTIAL_RESOURCE_LIST& translatedList = translated->List[0].PartialResourceList;
        ULONG count = rawList.Count < translatedList.Count ? rawList.Count : translatedList.Count;
        for (ULONG i = 0; i < count; ++i) {
            const CM_PARTIAL_RESOURCE_DESCRIPTOR& rawDescriptor = rawList.PartialDescriptors[i];
            const CM_PARTIAL_RESOURCE_DESCRIPTOR& descriptor = translatedList.PartialDescriptors[i];
            if (rawDescriptor.Type == CmResourceTypeInterrupt) {
                extension->InterruptVector = descriptor.u.Interrupt.Vector;
                extension->InterruptLevel = KIRQL(descriptor.u.Interrupt.Level);
                extension->InterruptAffinity = descriptor.u.Interrupt.Affinity;
                extension->InterruptMode =
                    descriptor.Flags == CM_RESOURCE_INTERRUPT_LATCHED ? Latched : LevelSensitive;
                extension->InterruptShared = descriptor.ShareDisposition == CmResourceShareShared;
                haveInterrupt = true;
            } else if (rawDescriptor.Type == CmResourceTypeMemory) {
                if (memoryWindows == 0)
                    MapWindow(&extension->RegisterWindow, descriptor);
                else if (memoryWindows == 1)
                    MapWindow(&extension->SecondWindow, descriptor);
                ++memoryWindows;
            }
        }
    }
    if (extension->RegisterWindow.Address == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    if (!haveInterrupt || extension->InterruptVector == 0) return STATUS_DEVICE_CONFIGURATION_ERROR;
    return STATUS_SUCCESS;
}

void UnmapWindow(ResourceWindow* window) {
    if (window->Mapped) MmUnmapIoSpace(window->Address, window->Length);
    RtlZeroMemory(window, sizeof(*window));
}

// The controller leaves the started states (`state`), then the requests in progress end before
// its hardware goes: a child's class request holds the I/O count while it runs, and one that
// comes after sees the state and fails without touching the controller. The PnP request's own
// count is given up for the wait and taken again.
void LeaveStartedState(ControllerDeviceExtension* extension, PnpDeviceState state) {
    SetPnpState(extension, state);
    ReleaseIo(extension);
    KeWaitForSingleObject(&extension->StopEvent, Executive, KernelMode, FALSE, nullptr);
    AcquireIo(extension);
}

void ReleaseHardware(ControllerDeviceExtension* extension) {
    StopControllerHardware(extension);
    UnmapWindow(&extension->RegisterWindow);
    UnmapWindow(&extension->SecondWindow);
}

NTSTATUS StartDevice(ControllerDeviceExtension* extension, PIRP Irp) {
    NTSTATUS status = ForwardAndWait(extension->LowerDeviceObject, Irp);
    if (!NT_SUCCESS(status)) return status;

    extension->DevicePowerState = PowerDeviceD0;
    POWER_STATE state;
    state.DeviceState = PowerDeviceD0;
    PoSetPowerState(extension->DeviceObject, DevicePowerState, state);

    status = QueryCapabilities(extension);
    if (NT_SUCCESS(status)) status = MapResources(extension, IoGetCurrentIrpStackLocation(Irp));
    if (NT_SUCCESS(status)) status = StartControllerHardware(extension);
    if (NT_SUCCESS(status)) status = IoSetDeviceInterfaceState(&extension->InterfaceName, TRUE);
    if (!NT_SUCCESS(status)) {
        ReleaseHardware(extension);
        return status;
    }
    SetPnpState(extension, Started);
    GateRelease(extension);
    return STATUS_SUCCESS;
}

// Holds new requests and waits until those in progress have left.
NTSTATUS QueryHalt(ControllerDeviceExtension* extension, PIRP Irp, PnpDeviceState state) {
    GateStall(extension);
    SetPnpState(extension, state);
    ReleaseIo(extension);
    KeWaitForSingleObject(&extension->StopEvent, Executive, KernelMode, FALSE, nullptr);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(extension, Irp);
}

NTSTATUS CancelHalt(ControllerDeviceExtension* extension, PIRP Irp) {
    NTSTATUS status = ForwardAndWait(extension->LowerDeviceObject, Irp);
    if (NT_SUCCESS(status)) {
        extension->PnpState = extension->PreviousPnpState;
        GateRelease(extension);
    }
    return CompleteRequest(Irp, status);
}

bool CancelRemoveGoesDown() {
    return g_WdmVersion == 0x120 || g_WdmVersion == 0x130 || g_WdmVersion >= 0x600;
}

NTSTATUS CancelRemove(ControllerDeviceExtension* extension, PIRP Irp) {
    if (extension->PnpState == RemoveQueried) return CancelHalt(extension, Irp);
    if (extension->PnpState == Started && CancelRemoveGoesDown()) {
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(extension, Irp);
    }
    return CompleteRequest(Irp, STATUS_SUCCESS);
}

NTSTATUS SurpriseRemoval(ControllerDeviceExtension* extension, PIRP Irp) {
    GateStall(extension);
    GateClose(&extension->Gate, STATUS_NO_SUCH_DEVICE);
    LeaveStartedState(extension, SurpriseRemoved);
    IoSetDeviceInterfaceState(&extension->InterfaceName, FALSE);
    ReleaseHardware(extension);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(extension, Irp);
}

NTSTATUS RemoveDevice(ControllerDeviceExtension* extension, PIRP Irp) {
    if (extension->PnpState != SurpriseRemoved) {
        GateClose(&extension->Gate, STATUS_NO_SUCH_DEVICE);
        LeaveStartedState(extension, Removed);
        IoSetDeviceInterfaceState(&extension->InterfaceName, FALSE);
        ReleaseHardware(extension);
    }
    SetPnpState(extension, Removed);
    ReleaseIo(extension);
    ReleaseIo(extension);
    KeWaitForSingleObject(&extension->RemoveEvent, Executive, KernelMode, FALSE, nullptr);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    PDEVICE_OBJECT lower = extension->LowerDeviceObject;
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = IoCallDriver(lower, Irp);
    IoDetachDevice(lower);
    DeleteAllChildren(extension);
    RtlFreeUnicodeString(&extension->InterfaceName);
    IoFreeWorkItem(extension->PowerWorkItem);
    IoDeleteDevice(extension->DeviceObject);
    return status;
}

}  // namespace

NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (!IsControllerDevice(DeviceObject)) return ChildDispatchPnp(DeviceObject, Irp);
    ControllerDeviceExtension* extension = ControllerExtension(DeviceObject);
    AcquireIo(extension);
    if (extension->PnpState == Removed) {
        ReleaseIo(extension);
        return CompleteRequest(Irp, STATUS_NO_SUCH_DEVICE);
    }
    NTSTATUS status;
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = CompleteRequest(Irp, StartDevice(extension, Irp));
        break;
    case IRP_MN_QUERY_STOP_DEVICE:
        return QueryHalt(extension, Irp, StopQueried);
    case IRP_MN_QUERY_REMOVE_DEVICE:
        return QueryHalt(extension, Irp, RemoveQueried);
    case IRP_MN_STOP_DEVICE:
        LeaveStartedState(extension, Halted);
        ReleaseHardware(extension);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        status = PassDown(extension, Irp);
        break;
    case IRP_MN_CANCEL_STOP_DEVICE:
        status = CancelHalt(extension, Irp);
        break;
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        status = CancelRemove(extension, Irp);
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        status = SurpriseRemoval(extension, Irp);
        break;
    case IRP_MN_REMOVE_DEVICE:
        return RemoveDevice(extension, Irp);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        (void)AnswerBusRelations(extension, Irp);
        status = PassDown(extension, Irp);
        break;
    default:
        status = PassDown(extension, Irp);
        break;
    }
    ReleaseIo(extension);
    return status;
}
