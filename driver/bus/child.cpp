// Child device objects: one physical device object per served unit, its Plug and Play identity
// built from the configuration ROM, its Plug and Play answers, the controller's bus relations and
// the deletion of children.
#include "bus_device.h"
#include "class_isoch.h"
#include "frame/bus_hooks.h"
#include "ohci/pool_tags.h"

namespace {

constexpr ULONG kTag(char a, char b) { return KX_TAG('Z', 'B', a, b); }
constexpr ULONG kTagDeviceId = kTag('u', 's');  // ZBus
constexpr ULONG kTagCompatible = kTag('1', '3');
constexpr ULONG kTagRelations = kTag('1', '2');
constexpr ULONG kTagTargetRelation = kTag('0', '2');
constexpr ULONG kTagText = kTag('0', '4');
constexpr ULONG kTagCompatibleCopy = kTag('0', '5');
constexpr ULONG kTagHardwareCopy = kTag('0', '6');
constexpr ULONG kTagInstance = kTag('0', '7');
constexpr ULONG kTagDeviceIdCopy = kTag('0', '8');
constexpr LONGLONG kIdlePollRelative = -10000;  // 1 ms: a deletion looks at the request count again

// A wide text under construction in a buffer of known size (WCHARs, NUL included).
struct WideText {
    PWCHAR Buffer;
    ULONG Capacity;
    ULONG Length;
    void Char(WCHAR c) {
        if (Length + 1 < Capacity) Buffer[Length++] = c;
    }
    void Narrow(const CHAR* text) {
        for (; *text != 0; ++text) Char(WCHAR(UCHAR(*text)));
    }
    void Hex(ULONG value, ULONG digits) {  // upper case; digits 0: no leading zeros
        WCHAR out[8];
        ULONG n = 0;
        do {
            ULONG d = value & 0xF;
            out[n++] = WCHAR(d < 10 ? '0' + d : 'A' + d - 10);
            value >>= 4;
        } while ((value != 0 || n < digits) && n < 8);
        while (n > 0) Char(out[--n]);
    }
    void End() { Char(0); }  // a multi-string entry ends; the zeroed buffer gives the final NUL
};

ULONG NarrowLength(const CHAR* text) {
    ULONG n = 0;
    while (text[n] != 0) ++n;
    return n;
}

PWCHAR AllocateWide(ULONG bytes, ULONG tag) { return static_cast<PWCHAR>(AllocateZeroedPool(bytes, tag)); }

// 1394\Vendor&Model
PWCHAR BuildDeviceId(const DeviceRecord* record) {
    ULONG bytes = 2 * (5 + NarrowLength(record->VendorText) + 1 + NarrowLength(record->ModelText)) + 8;
    PWCHAR id = AllocateWide(bytes, kTagDeviceId);
    if (id == nullptr) return nullptr;
    WideText w{id, bytes / 2, 0};
    w.Narrow("1394\\");
    w.Narrow(record->VendorText);
    w.Char('&');
    w.Narrow(record->ModelText);
    return id;
}

PWCHAR BuildCompatibleIds(const DeviceRecord* record, PULONG size) {
    ULONG bytes = 160 + 2;
    if (record->UnitKind != kUnitSbp2) bytes = 2 * (5 + 6 + 1 + 6) + 52 + 2;
    PWCHAR ids = AllocateWide(bytes, kTagCompatible);
    if (ids == nullptr) return nullptr;
    WideText w{ids, bytes / 2, 0};
    if (record->UnitKind == kUnitSbp2) {
        w.Narrow("1394\\609E&10483");
        w.End();
        w.Narrow("1394\\609E&1");
        w.End();
        w.Narrow("1394\\609E");
        w.End();
    } else {
        w.Narrow("1394\\");
        w.Hex(record->UnitSpecId, 0);
        w.Char('&');
        w.Hex(record->UnitSwVersion, 0);
        w.End();
        if (record->UnitKind == kUnitIidc14000) {
            w.Narrow("1394\\A02D&1");
            w.End();
            w.Narrow("1394\\A02D");
            w.End();
        }
    }
    *size = 2 * (w.Length + 1);
    return ids;
}

PWCHAR CopyWide(const WCHAR* text, ULONG bytes, ULONG tag) {
    PWCHAR copy = AllocateWide(bytes + 2, tag);
    if (copy != nullptr) RtlCopyMemory(copy, text, bytes);
    return copy;
}

void SetChildState(ChildDeviceExtension* child, ULONG state) {
    child->PreviousChildPnpState = child->ChildPnpState;
    child->ChildPnpState = state;
}

DeviceRecord* TakeRecordOf(OhciController* controller, ChildDeviceExtension* child, bool unlink) {
    DeviceRecord* found = nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&controller->DeviceListLock, &irql);
    for (PLIST_ENTRY e = controller->DeviceList.Flink; e != &controller->DeviceList; e = e->Flink) {
        DeviceRecord* record = CONTAINING_RECORD(e, DeviceRecord, Links);
        if (record->ChildDevice != child->Self) continue;
        found = record;
        if (unlink) {
            RemoveEntryList(e);
            --controller->DeviceCount;
        }
        break;
    }
    KeReleaseSpinLock(&controller->DeviceListLock, irql);
    return found;
}

NTSTATUS AnswerQueryId(ChildDeviceExtension* child, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PWCHAR answer = nullptr;
    switch (stack->Parameters.QueryId.IdType) {
    case BusQueryDeviceID:
    case BusQueryHardwareIDs: {
        ULONG bytes = 0;
        while (child->DeviceId[bytes / 2] != 0) bytes += 2;
        answer = CopyWide(child->DeviceId, bytes + 2,
                          stack->Parameters.QueryId.IdType == BusQueryDeviceID ? kTagDeviceIdCopy : kTagHardwareCopy);
        break;
    }
    case BusQueryCompatibleIDs:
        answer = CopyWide(child->CompatibleIds, child->CompatibleIdsSize, kTagCompatibleCopy);
        break;
    case BusQueryInstanceID: {
        answer = AllocateWide(2 * 17 + 2, kTagInstance);
        if (answer != nullptr && child->Record != nullptr) {
            WideText w{answer, 17, 0};
            w.Hex(child->Record->EuiHigh, 8);
            w.Hex(child->Record->EuiLow, 8);
        }
        break;
    }
    default:
        return Irp->IoStatus.Status;
    }
    if (answer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(answer);
    return STATUS_SUCCESS;
}

NTSTATUS AnswerDeviceText(ChildDeviceExtension* child, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->Parameters.QueryDeviceText.DeviceTextType != DeviceTextDescription || child->Record == nullptr)
        return Irp->IoStatus.Status;
    if (Irp->IoStatus.Information != 0) return Irp->IoStatus.Status;
    const DeviceRecord* record = child->Record;
    ULONG bytes = 2 * (NarrowLength(record->VendorText) + 1 + NarrowLength(record->ModelText)) + 2;
    PWCHAR text = AllocateWide(bytes, kTagText);
    if (text == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    WideText w{text, bytes / 2, 0};
    w.Narrow(record->VendorText);
    w.Char(' ');
    w.Narrow(record->ModelText);
    Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(text);
    return STATUS_SUCCESS;
}

// The parent's capabilities, asked of the top of the controller's stack.
NTSTATUS QueryParentCapabilities(ChildDeviceExtension* child, PDEVICE_CAPABILITIES caps) {
    RtlZeroMemory(caps, sizeof(*caps));
    caps->Size = sizeof(*caps);
    caps->Version = 1;
    caps->Address = 0xFFFFFFFF;
    caps->UINumber = 0xFFFFFFFF;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(ParentOf(child)->LowerDeviceObject);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus;
    PIRP Irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, top, nullptr, 0, nullptr, &event, &ioStatus);
    if (Irp == nullptr) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    RtlZeroMemory(next, sizeof(*next));
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    next->Parameters.DeviceCapabilities.Capabilities = caps;
    NTSTATUS status = IoCallDriver(top, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    ObDereferenceObject(top);
    return status;
}

NTSTATUS AnswerCapabilities(ChildDeviceExtension* child, PIRP Irp) {
    PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
    if (caps->Version != 1 || caps->Size < 64) return STATUS_UNSUCCESSFUL;
    DEVICE_CAPABILITIES parent;
    NTSTATUS status = QueryParentCapabilities(child, &parent);
    if (!NT_SUCCESS(status)) return status;
    for (ULONG s = 0; s < PowerSystemMaximum; ++s) caps->DeviceState[s] = parent.DeviceState[s];
    caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    if (caps->DeviceState[PowerSystemSleeping1] != PowerDeviceD0) caps->DeviceState[PowerSystemSleeping1] = PowerDeviceD1;
    if (caps->DeviceState[PowerSystemSleeping2] != PowerDeviceD0) caps->DeviceState[PowerSystemSleeping2] = PowerDeviceD3;
    if (caps->DeviceState[PowerSystemSleeping3] != PowerDeviceD0) caps->DeviceState[PowerSystemSleeping3] = PowerDeviceD3;
    caps->DeviceWake = PowerDeviceD1;
    caps->D1Latency = caps->D2Latency = caps->D3Latency = 0;
    caps->DeviceD1 = 1;
    caps->DeviceD2 = 0;
    caps->WakeFromD0 = 0;
    caps->WakeFromD1 = 1;
    caps->WakeFromD2 = 0;
    caps->WakeFromD3 = 0;
    caps->EjectSupported = child->Record != nullptr && child->Record->UnitKind == kUnitSbp2 ? 1 : 0;
    caps->SilentInstall = 0;
    caps->HardwareDisabled = 0;
    caps->Removable = 1;
    caps->UniqueID = 1;
    caps->SurpriseRemovalOK = 1;
    return STATUS_SUCCESS;
}

NTSTATUS RemoveChild(ChildDeviceExtension* child) {
    OhciController* controller = &ParentOf(child)->Controller;
    if (!child->ReportedMissing) {
        if (child->Present) {
            SetChildState(child, kChildNotStarted);
        } else if (TakeRecordOf(controller, child, false) != nullptr) {
            IoInvalidateDeviceRelations(ParentOf(child)->PhysicalDeviceObject, BusRelations);
        }
        return STATUS_SUCCESS;
    }
    SetChildState(child, kChildDeleted);
    DeviceRecord* record = TakeRecordOf(controller, child, true);
    if (record != nullptr) bus::DeleteChildDevice(record);
    return STATUS_SUCCESS;
}

}  // namespace

namespace bus {

NTSTATUS CreateChildDevice(DeviceRecord* record, ULONG node) {
    ControllerDeviceExtension* parent = record->Controller;
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(parent->Self->DriverObject, sizeof(ChildDeviceExtension), nullptr,
                                     record->DeviceType, FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN,
                                     FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    record->ChildDevice = device;
    ChildDeviceExtension* child = ChildExtension(device);
    PWCHAR compatible = nullptr;
    ULONG compatibleSize = 0;
    PWCHAR id = BuildDeviceId(record);
    if (id != nullptr) compatible = BuildCompatibleIds(record, &compatibleSize);
    if (id == nullptr || compatible == nullptr) {
        if (id != nullptr) FreeTaggedPool(id, kTagDeviceId);
        record->ChildDevice = nullptr;
        IoDeleteDevice(device);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    child->DeviceId = id;
    child->CompatibleIds = compatible;
    child->CompatibleIdsSize = compatibleSize;
    child->Node = node;
    child->Record = record;
    child->Self = device;
    child->IsController = FALSE;
    child->ParentDevice = parent->Self;
    child->Present = TRUE;
    child->ReportedMissing = FALSE;
    child->ChildPnpState = child->PreviousChildPnpState = kChildNotStarted;
    child->DevicePowerState = PowerDeviceD3;
    child->SystemPowerState = PowerSystemWorking;
    POWER_STATE state;
    state.DeviceState = PowerDeviceD3;
    PoSetPowerState(device, DevicePowerState, state);
    KeInitializeMutex(&child->RequestMutex, 0);
    KeInitializeEvent(&child->Idle, NotificationEvent, TRUE);
    device->Flags |= DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    IoInvalidateDeviceRelations(parent->PhysicalDeviceObject, BusRelations);
    return STATUS_SUCCESS;
}

void DeleteChildDevice(DeviceRecord* record) {
    PDEVICE_OBJECT device = record->ChildDevice;
    if (device != nullptr) {
        ChildDeviceExtension* child = ChildExtension(device);
        // Class requests still in the dispatcher finish before the object goes; one that counts
        // itself in from now on sees Deleting and leaves at once. Idle can be set a moment while
        // a request is counted in (a leave and an enter crossing): the count decides.
        InterlockedExchange(&child->Deleting, 1);
        while (InterlockedCompareExchange(&child->Outstanding, 0, 0) != 0) {
            LARGE_INTEGER pause;
            pause.QuadPart = kIdlePollRelative;
            KeWaitForSingleObject(&child->Idle, Executive, KernelMode, FALSE, &pause);
        }
        ReleaseChildClassRecords(record->Controller, device);
        ReleaseChildIsochRecords(record->Controller, device);
        FreeTaggedPool(child->DeviceId, kTagDeviceId);
        FreeTaggedPool(child->CompatibleIds, kTagCompatible);
        child->DeviceId = nullptr;
        child->CompatibleIds = nullptr;
        child->Record = nullptr;
        IoDeleteDevice(device);
    }
    FreeDeviceRecord(record);
}

}  // namespace bus

NTSTATUS ChildDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    ChildDeviceExtension* child = ChildExtension(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status = Irp->IoStatus.Status;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        child->DevicePowerState = PowerDeviceD0;
        POWER_STATE state;
        state.DeviceState = PowerDeviceD0;
        PoSetPowerState(DeviceObject, DevicePowerState, state);
        SetChildState(child, kChildStarted);
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
        SetChildState(child, kChildRemoveQueried);
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE:
        // The child may be deleted here: complete first with what the removal decided.
        status = RemoveChild(child);
        Irp->IoStatus.Status = status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        if (child->ChildPnpState == kChildRemoveQueried) child->ChildPnpState = child->PreviousChildPnpState;
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_STOP_DEVICE:
        SetChildState(child, kChildHalted);
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_STOP_DEVICE:
        SetChildState(child, kChildStopQueried);
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_CANCEL_STOP_DEVICE:
        if (child->ChildPnpState == kChildStopQueried) child->ChildPnpState = child->PreviousChildPnpState;
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            auto* relations = static_cast<PDEVICE_RELATIONS>(AllocateZeroedPool(sizeof(DEVICE_RELATIONS),
                                                                                  kTagTargetRelation));
            if (relations == nullptr) {
                status = STATUS_INSUFFICIENT_RESOURCES;
                break;
            }
            relations->Count = 1;
            relations->Objects[0] = DeviceObject;
            ObReferenceObject(DeviceObject);
            Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
            status = STATUS_SUCCESS;
        }
        break;
    case IRP_MN_QUERY_CAPABILITIES:
        status = AnswerCapabilities(child, Irp);
        break;
    case IRP_MN_QUERY_DEVICE_TEXT:
        status = AnswerDeviceText(child, Irp);
        break;
    case IRP_MN_EJECT:
        child->Present = FALSE;
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_ID:
        status = AnswerQueryId(child, Irp);
        break;
    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
        status = STATUS_UNSUCCESSFUL;
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        SetChildState(child, kChildSurpriseRemoved);
        status = STATUS_SUCCESS;
        break;
    default:
        break;
    }
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS AnswerBusRelations(ControllerDeviceExtension* extension, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->Parameters.QueryDeviceRelations.Type != BusRelations) return STATUS_NOT_SUPPORTED;
    OhciController* controller = &extension->Controller;
    auto* old = reinterpret_cast<PDEVICE_RELATIONS>(Irp->IoStatus.Information);
    KIRQL irql;
    KeAcquireSpinLock(&controller->DeviceListLock, &irql);
    if (old != nullptr && controller->DeviceCount == 0) {
        KeReleaseSpinLock(&controller->DeviceListLock, irql);
        return STATUS_NOT_FOUND;
    }
    ULONG present = 0;
    for (PLIST_ENTRY e = controller->DeviceList.Flink; e != &controller->DeviceList; e = e->Flink) {
        DeviceRecord* record = CONTAINING_RECORD(e, DeviceRecord, Links);
        if (record->ChildDevice != nullptr && ChildExtension(record->ChildDevice)->Present) ++present;
    }
    ULONG oldCount = old != nullptr ? old->Count : 0;
    ULONG count = oldCount + present;
    SIZE_T bytes = sizeof(DEVICE_RELATIONS) + (count > 0 ? count - 1 : 0) * sizeof(PDEVICE_OBJECT);
    auto* relations = static_cast<PDEVICE_RELATIONS>(AllocateZeroedPool(bytes, kTagRelations));
    if (relations == nullptr) {
        KeReleaseSpinLock(&controller->DeviceListLock, irql);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    for (ULONG i = 0; i < oldCount; ++i) relations->Objects[i] = old->Objects[i];
    relations->Count = oldCount;
    for (PLIST_ENTRY e = controller->DeviceList.Flink; e != &controller->DeviceList; e = e->Flink) {
        DeviceRecord* record = CONTAINING_RECORD(e, DeviceRecord, Links);
        if (record->ChildDevice == nullptr) continue;
        ChildDeviceExtension* child = ChildExtension(record->ChildDevice);
        if (child->Present) {
            relations->Objects[relations->Count++] = record->ChildDevice;
            ObReferenceObject(record->ChildDevice);
        } else {
            child->ReportedMissing = TRUE;
        }
    }
    KeReleaseSpinLock(&controller->DeviceListLock, irql);
    if (old != nullptr) ExFreePool(old);
    Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return STATUS_SUCCESS;
}

void DeleteAllChildren(ControllerDeviceExtension* extension) {
    OhciController* controller = &extension->Controller;
    if (controller->DeviceList.Flink == nullptr) return;
    LIST_ENTRY local;
    InitializeListHead(&local);
    KIRQL irql;
    KeAcquireSpinLock(&controller->DeviceListLock, &irql);
    while (!IsListEmpty(&controller->DeviceList)) {
        InsertTailList(&local, RemoveHeadList(&controller->DeviceList));
        --controller->DeviceCount;
    }
    KeReleaseSpinLock(&controller->DeviceListLock, irql);
    while (!IsListEmpty(&local)) bus::DeleteChildDevice(CONTAINING_RECORD(RemoveHeadList(&local), DeviceRecord, Links));
}
