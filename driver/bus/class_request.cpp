// The 1394 class request interface on child devices: internal device-control requests carrying
// an IRB, run at once or from a work item at passive level, dispatched on the function number and
// completed; bus-reset notification registrations; the asynchronous statistics. The isochronous
// functions are class_isoch.cpp's, the address ranges address_range.cpp's.
#include "address_range.h"
#include "async/async_packet.h"
#include "async/class_async.h"
#include "async/kernel_requests.h"
#include "async/senders.h"
#include "bus_device.h"
#include "class_isoch.h"
#include "core/hooks.h"
#include "frame/bus_hooks.h"
#include "irb.h"
#include "ohci/bus_order.h"
#include "ohci/list_utilities.h"
#include "ohci/ohci_registers.h"
#include "ohci/pool_tags.h"

namespace {

constexpr ULONG kTagContext = BusListTag(21 - 17);        // ZB21
constexpr ULONG kTagNotification = BusListTag(23 - 17);   // ZB23
constexpr ULONG kTagDirectory = KX_TAG('Z', 'B', '1', '1');
constexpr ULONG kSpeedTableRow = 64;
constexpr ULONG kNoSpeedKnown = 0x0F;

struct ClassRequestContext {
    PIO_WORKITEM WorkItem;
    PDEVICE_OBJECT Device;
    PIRP Request;
    BOOLEAN ViaWorkItem;
};

struct NotificationEntry {
    LIST_ENTRY Links;
    PBUS_BUS_RESET_NOTIFICATION Routine;
    PVOID Context;
    BOOLEAN Extended;
    PDEVICE_OBJECT Owner;
};

OhciController* ControllerOf(ChildDeviceExtension* child) { return &ParentOf(child)->Controller; }

ULONG SpeedBetween(OhciController* controller, ULONG from, ULONG to) {
    if (controller->SpeedTable == nullptr || from >= kMaxNodes || to >= kMaxNodes) return kNoSpeedKnown;
    return controller->SpeedTable[from * kSpeedTableRow + to];
}

// --- Asynchronous requests on the child's node ------------------------------------------------

ULONGLONG OffsetOf(const IO_ADDRESS& address) {
    return (ULONGLONG(address.IA_Destination_Offset.Off_High) << 32) | address.IA_Destination_Offset.Off_Low;
}

// Reads and writes of the child's node: the IRB's record taken apart for the asynchronous engine.
// The MDL must hold what is read or written.
NTSTATUS AsyncReadWrite(ChildDeviceExtension* child, IRB* irb, bool write) {
    OhciController* controller = ControllerOf(child);
    // The two records share their layout.
    IRB_REQ_ASYNC_READ& r = irb->u.AsyncRead;
    if (r.Mdl != nullptr && MmGetMdlByteCount(r.Mdl) < r.nNumberOfBytesToRead) return STATUS_INVALID_PARAMETER;
    ClassBlockRequest request = {};
    request.Node = child->Node;
    request.Offset = OffsetOf(r.DestinationAddress);
    request.Mdl = r.Mdl;
    request.Bytes = r.nNumberOfBytesToRead;
    request.BlockSize = r.nBlockSize;
    request.Flags = r.fulFlags;
    NTSTATUS status = write ? ClassAsyncWrite(controller, &request) : ClassAsyncRead(controller, &request);
    r.ElapsedTime = ULONG(request.ElapsedTime);
    return status;
}

// An asynchronous stream packet on a channel; it names no node.
NTSTATUS AsyncStream(ChildDeviceExtension* child, IRB* irb) {
    const IRB_REQ_ASYNC_STREAM& r = irb->u.AsyncStream;
    ClassStreamRequest request = {};
    request.Channel = r.nChannel;
    request.SpeedFlags = r.nSpeed;
    request.Sy = r.ulSynch;
    request.Tag = r.ulTag;
    request.Bytes = r.nNumberOfBytesToStream;
    request.Mdl = r.Mdl;
    if (request.Bytes != 0 && (request.Mdl == nullptr || MmGetMdlByteCount(request.Mdl) < request.Bytes))
        return STATUS_INVALID_PARAMETER;
    return ClassAsyncStream(ControllerOf(child), &request);
}

// A lock on the child's node. The operands arrive in bus order and the old value goes back so.
NTSTATUS AsyncLock(ChildDeviceExtension* child, IRB* irb) {
    const IRB_REQ_ASYNC_LOCK& r = irb->u.AsyncLock;
    ClassLockRequest request = {};
    request.Node = child->Node;
    request.Offset = OffsetOf(r.DestinationAddress);
    request.TransactionType = r.fulTransactionType;
    request.ArgBytes = r.nNumberOfArgBytes;
    request.DataBytes = r.nNumberOfDataBytes;
    RtlCopyMemory(request.Arguments, r.Arguments, sizeof(request.Arguments));
    RtlCopyMemory(request.DataValues, r.DataValues, sizeof(request.DataValues));
    request.Buffer = static_cast<PUCHAR>(r.pBuffer);
    return ClassAsyncLock(ControllerOf(child), &request);
}

// --- Information --------------------------------------------------------------------------------

NTSTATUS GetLocalHostInfo(ChildDeviceExtension* child, IRB* irb) {
    OhciController* controller = ControllerOf(child);
    PVOID info = irb->u.GetLocalHostInformation.Information;
    ULONG level = irb->u.GetLocalHostInformation.nLevel;
    if (info == nullptr && level != GET_POWER_SUPPLIED) return STATUS_INVALID_PARAMETER;
    switch (level) {
    case GET_HOST_UNIQUE_ID:
        static_cast<GET_LOCAL_HOST_INFO1*>(info)->UniqueId.QuadPart =
            LONGLONG((ULONGLONG(controller->GuidHi) << 32) | controller->GuidLo);
        return STATUS_SUCCESS;
    case GET_HOST_CAPABILITIES: {
        auto* caps = static_cast<GET_LOCAL_HOST_INFO2*>(info);
        ULONG busOptions = BusToHost32(static_cast<PULONG>(controller->ConfigRom.Virtual)[2]);
        ULONG maxRec = (busOptions >> 12) & 0xF;
        caps->HostCapabilities = 0x0000000D;
        caps->MaxAsyncReadRequest = caps->MaxAsyncWriteRequest = 1u << (maxRec + 1);
        return STATUS_SUCCESS;
    }
    case GET_POWER_SUPPLIED: return STATUS_NOT_SUPPORTED;
    case GET_PHYS_ADDR_ROUTINE: {
        auto* routine = static_cast<GET_LOCAL_HOST_INFO4*>(info);
        routine->PhysAddrMappingRoutine = bus::PhysicalMappingRoutine;
        routine->Context = child;
        return STATUS_SUCCESS;
    }
    case GET_HOST_CONFIG_ROM: {
        auto* rom = static_cast<GET_LOCAL_HOST_INFO5*>(info);
        // crc_length counts quadlets after the header: the ROM covered by the CRC, header included.
        ULONG header = BusToHost32(static_cast<PULONG>(controller->ConfigRom.Virtual)[0]);
        ULONG length = 4 * (((header >> 16) & 0xFF) + 1);
        if (rom->ConfigRomLength < length || rom->ConfigRom == nullptr) {
            rom->ConfigRomLength = length;
            return STATUS_INVALID_BUFFER_SIZE;
        }
        RtlCopyMemory(rom->ConfigRom, controller->ConfigRom.Virtual, length);
        rom->ConfigRomLength = length;
        return STATUS_SUCCESS;
    }
    case GET_HOST_CSR_CONTENTS: {
        auto* csr = static_cast<GET_LOCAL_HOST_INFO6*>(info);
        if (csr->CsrBaseAddress.Off_High != 0xFFFF ||
            (csr->CsrBaseAddress.Off_Low != 0xF0001000 && csr->CsrBaseAddress.Off_Low != 0xF0002000))
            return STATUS_INVALID_PARAMETER;
        if (csr->CsrBaseAddress.Off_Low == 0xF0002000) return STATUS_NOT_IMPLEMENTED;  // SPEED_MAP
        if (csr->CsrDataLength < kTopologyMapImageBytes || csr->CsrDataBuffer == nullptr) {
            csr->CsrDataLength = kTopologyMapImageBytes;
            return STATUS_INVALID_BUFFER_SIZE;
        }
        // The TOPOLOGY_MAP as the bus reads it: every quadlet in bus order.
        auto* out = reinterpret_cast<PULONG>(csr->CsrDataBuffer);
        for (ULONG i = 0; i < kTopologyMapImageBytes / 4; ++i)
            out[i] = HostToBus32(i < kTopologyMapQuadlets ? controller->TopologyMap[i] : 0);
        return STATUS_SUCCESS;
    }
    case GET_HOST_DMA_CAPABILITIES: {
        auto* dma = static_cast<GET_LOCAL_HOST_INFO7*>(info);
        dma->HostDmaCapabilities = 0x0000000D;
        dma->MaxDmaBufferSize.QuadPart = 0x7FFFFFFF;
        return STATUS_SUCCESS;
    }
    case GET_HOST_DDI_VERSION: {
        auto* version = static_cast<GET_LOCAL_HOST_INFO8*>(info);
        version->MajorVersion = 3;
        version->MinorVersion = 0;
        return STATUS_SUCCESS;
    }
    default: return STATUS_NOT_IMPLEMENTED;
    }
}

NTSTATUS GetSpeedBetweenDevices(ChildDeviceExtension* child, IRB* irb) {
    OhciController* controller = ControllerOf(child);
    IRB_REQ_GET_SPEED_BETWEEN_DEVICES& r = irb->u.GetMaxSpeedBetweenDevices;
    ULONG code;
    if ((r.fulFlags & USE_LOCAL_NODE) != 0) {
        code = SpeedBetween(controller, controller->LocalNodeNumber, child->Node);
    } else {
        code = SpeedBetween(controller, child->Node, child->Node);
        ULONG count = r.ulNumberOfDestinations < 64 ? r.ulNumberOfDestinations : 64;
        for (ULONG i = 0; i < count; ++i) {
            PDEVICE_OBJECT other = r.hDestinationDeviceObjects[i];
            // Only a device of this controller's bus: another driver's device object has none of
            // a child's extension.
            if (other == nullptr || other->DriverObject != child->Self->DriverObject || IsControllerDevice(other) ||
                ChildExtension(other)->ParentDevice != child->ParentDevice)
                return STATUS_INVALID_PARAMETER;
            ULONG step = SpeedBetween(controller, child->Node, ChildExtension(other)->Node);
            if (step < code || code == kNoSpeedKnown) code = step;
        }
    }
    r.fulSpeed = SpeedFlagFromCode(code);
    return STATUS_SUCCESS;
}

// A copy of a textual leaf: its header, zero descriptor quadlets, then the text, cut to fit.
void CopyLeaf(TEXTUAL_LEAF* leaf, ULONG size, ULONG header, const CHAR* text) {
    auto* bytes = reinterpret_cast<PUCHAR>(leaf);
    ULONG busHeader = HostToBus32(header);
    RtlCopyMemory(bytes, &busHeader, 4);
    RtlZeroMemory(bytes + 4, 8);
    ULONG room = size - 12;
    ULONG n = 0;
    while (n + 1 < room && text[n] != 0) {
        bytes[12 + n] = UCHAR(text[n]);
        ++n;
    }
    bytes[12 + n] = 0;
}

NTSTATUS ReadDirectory(OhciController* controller, ChildDeviceExtension* child, ULONGLONG address, ULONG size,
                       PVOID buffer, ULONG bufferSize) {
    ULONG quadlets = size / 4;
    auto* temporary = static_cast<PULONG>(AllocateZeroedPool(size + 4, kTagDirectory));
    if (temporary == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    bool read = ReadNodeQuadlets(controller, child->Node, address, temporary, quadlets);
    if (read) RtlCopyMemory(buffer, temporary, bufferSize < size ? bufferSize : size);
    FreeTaggedPool(temporary, kTagDirectory);
    return read ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

void SetLocation(IO_ADDRESS* location, ULONG node, ULONGLONG address) {
    location->IA_Destination_ID = USHORT(0xFFC0 | (node & 0x3F));
    location->IA_Destination_Offset.Off_High = USHORT(address >> 32);
    location->IA_Destination_Offset.Off_Low = ULONG(address);
}

NTSTATUS GetConfigurationInfo(ChildDeviceExtension* child, IRB* irb) {
    OhciController* controller = ControllerOf(child);
    const DeviceRecord* record = child->Record;
    if (record == nullptr) return STATUS_NO_SUCH_DEVICE;
    IRB_REQ_GET_CONFIGURATION_INFORMATION& r = irb->u.GetConfigurationInformation;
    ULONG vendorSize = 4 * (record->VendorLeafHeader >> 16) + 20;
    ULONG modelSize = 4 * (record->ModelLeafHeader >> 16) + 20;
    if (r.UnitDirectoryBufferSize == 0 && r.UnitDependentDirectoryBufferSize == 0 && r.VendorLeafBufferSize == 0 &&
        r.ModelLeafBufferSize == 0) {
        r.UnitDirectoryBufferSize = record->UnitDirectorySize;
        r.UnitDependentDirectoryBufferSize = record->LogicalUnitDirectorySize;
        r.VendorLeafBufferSize = vendorSize;
        r.ModelLeafBufferSize = modelSize;
        return STATUS_SUCCESS;
    }
    if (r.ConfigRom != nullptr &&
        !ReadNodeQuadlets(controller, child->Node, 0xFFFFF0000400ull, static_cast<PULONG>(r.ConfigRom), 6))
        return STATUS_UNSUCCESSFUL;
    NTSTATUS status = STATUS_SUCCESS;
    if (r.UnitDirectoryBufferSize != 0 && r.UnitDirectory != nullptr)
        status = ReadDirectory(controller, child, record->UnitDirectoryAddress, record->UnitDirectorySize,
                               r.UnitDirectory, r.UnitDirectoryBufferSize);
    else
        r.UnitDirectoryBufferSize = record->UnitDirectorySize;
    if (!NT_SUCCESS(status)) return status;
    SetLocation(&r.UnitDirectoryLocation, child->Node, record->UnitDirectoryAddress);
    if (r.UnitDependentDirectoryBufferSize != 0 && r.UnitDependentDirectory != nullptr &&
        record->LogicalUnitDirectorySize != 0)
        status = ReadDirectory(controller, child, record->LogicalUnitDirectoryAddress,
                               record->LogicalUnitDirectorySize, r.UnitDependentDirectory,
                               r.UnitDependentDirectoryBufferSize);
    else
        r.UnitDependentDirectoryBufferSize = record->LogicalUnitDirectorySize;
    if (!NT_SUCCESS(status)) return status;
    SetLocation(&r.UnitDependentDirectoryLocation, child->Node, record->LogicalUnitDirectoryAddress);
    // A leaf buffer needs its 12 header bytes and a NUL; a smaller one gets the size it needs.
    if (r.VendorLeafBufferSize > 12 && r.VendorLeaf != nullptr)
        CopyLeaf(r.VendorLeaf, r.VendorLeafBufferSize, record->VendorLeafHeader, record->VendorText);
    else
        r.VendorLeafBufferSize = 4 * (record->VendorLeafHeader >> 16) + 4;
    if (r.ModelLeafBufferSize > 12 && r.ModelLeaf != nullptr)
        CopyLeaf(r.ModelLeaf, r.ModelLeafBufferSize, record->ModelLeafHeader, record->ModelText);
    else
        r.ModelLeafBufferSize = 4 * (record->ModelLeafHeader >> 16) + 4;
    return STATUS_SUCCESS;
}

// --- Bus control ----------------------------------------------------------------------------------

NTSTATUS SendPhyConfiguration(OhciController* controller, ULONG quadlet) {
    UCHAR result = 0xFF;
    NTSTATUS status = SendPhyPacket(controller, quadlet, &result);
    return NT_SUCCESS(status) && result == 0 ? STATUS_SUCCESS : STATUS_IO_DEVICE_ERROR;
}

NTSTATUS BusReset(ChildDeviceExtension* child, IRB* irb) {
    OhciController* controller = ControllerOf(child);
    if ((irb->u.BusReset.fulFlags & BUS_RESET_FLAGS_FORCE_ROOT) != 0) {
        // The local node asks to be root (R = 1, root_ID = the local node), then resets the bus.
        (void)SendPhyConfiguration(controller, (ULONG(controller->LocalNodeNumber & 0x3F) << 24) | 0x00800000);
        LARGE_INTEGER delay;
        delay.QuadPart = -1000;
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
    }
    InitiateBusReset(controller);
    return STATUS_SUCCESS;
}

NTSTATUS ResetNotification(ChildDeviceExtension* child, IRB* irb) {
    OhciController* controller = ControllerOf(child);
    IRB_REQ_BUS_RESET_NOTIFICATION& r = irb->u.BusResetNotification;
    KIRQL irql;
    if ((r.fulFlags & REGISTER_NOTIFICATION_ROUTINE) != 0) {
        if (r.ResetRoutine == nullptr) return STATUS_INVALID_PARAMETER;
        auto* entry = static_cast<NotificationEntry*>(AllocateZeroedPool(sizeof(NotificationEntry), kTagNotification));
        if (entry == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        entry->Routine = r.ResetRoutine;
        entry->Context = r.ResetContext;
        entry->Extended = (r.fulFlags & EXTENDED_NOTIFICATION_ROUTINE) != 0;
        entry->Owner = child->Self;
        KeAcquireSpinLock(&controller->ClassNotificationLock, &irql);
        InsertTailList(&controller->ClassNotificationList, &entry->Links);
        KeReleaseSpinLock(&controller->ClassNotificationLock, irql);
        return STATUS_SUCCESS;
    }
    if ((r.fulFlags & DEREGISTER_NOTIFICATION_ROUTINE) == 0) return STATUS_INVALID_PARAMETER;
    NotificationEntry* found = nullptr;
    KeAcquireSpinLock(&controller->ClassNotificationLock, &irql);
    for (PLIST_ENTRY e = controller->ClassNotificationList.Flink; e != &controller->ClassNotificationList;
         e = e->Flink) {
        auto* entry = CONTAINING_RECORD(e, NotificationEntry, Links);
        if (entry->Routine == r.ResetRoutine && entry->Context == r.ResetContext && entry->Owner == child->Self) {
            RemoveEntryList(e);
            found = entry;
            break;
        }
    }
    KeReleaseSpinLock(&controller->ClassNotificationLock, irql);
    if (found != nullptr) FreeTaggedPool(found, kTagNotification);
    return STATUS_SUCCESS;
}

NTSTATUS SetLocalHostProperties(ChildDeviceExtension* child, IRB* irb) {
    if (irb->u.SetLocalHostProperties.nLevel != 2) return STATUS_NOT_SUPPORTED;
    auto* gap = static_cast<PULONG>(irb->u.SetLocalHostProperties.Information);
    if (gap == nullptr || *gap > 0x3F) return STATUS_INVALID_PARAMETER;
    return SendPhyConfiguration(ControllerOf(child), (*gap | 0x40) << 16);
}

NTSTATUS RunFunction(ChildDeviceExtension* child, IRB* irb) {
    OhciController* controller = ControllerOf(child);
    switch (irb->FunctionNumber) {
    case REQUEST_ASYNC_READ: return AsyncReadWrite(child, irb, false);
    case REQUEST_ASYNC_WRITE: return AsyncReadWrite(child, irb, true);
    case REQUEST_ASYNC_LOCK: return AsyncLock(child, irb);
    case REQUEST_ASYNC_STREAM: return AsyncStream(child, irb);
    case REQUEST_ISOCH_ALLOCATE_BANDWIDTH: return ClassAllocateBandwidth(child, irb);
    case REQUEST_ISOCH_ALLOCATE_CHANNEL: return ClassAllocateChannel(child, irb);
    case REQUEST_ISOCH_ALLOCATE_RESOURCES: return ClassAllocateResources(child, irb);
    case REQUEST_ISOCH_ATTACH_BUFFERS: return ClassAttachBuffers(child, irb);
    case REQUEST_ISOCH_DETACH_BUFFERS: return ClassDetachBuffers(child, irb);
    case REQUEST_ISOCH_FREE_BANDWIDTH: return ClassFreeBandwidth(child, irb);
    case REQUEST_ISOCH_FREE_CHANNEL: return ClassFreeChannel(child, irb);
    case REQUEST_ISOCH_FREE_RESOURCES: return ClassFreeResources(child, irb);
    case REQUEST_ISOCH_LISTEN: return ClassListen(child, irb);
    case REQUEST_ISOCH_STOP: return ClassStop(child, irb);
    case REQUEST_ISOCH_QUERY_CYCLE_TIME:
        irb->u.IsochQueryCycleTime.CycleTime = ReadRegisterValue(controller, ohci::kIsochronousCycleTimer);
        return STATUS_SUCCESS;
    case REQUEST_ISOCH_QUERY_RESOURCES: return ClassQueryResources(child, irb);
    case REQUEST_ISOCH_SET_CHANNEL_BANDWIDTH: return ClassSetChannelBandwidth(child, irb);
    case REQUEST_GET_LOCAL_HOST_INFO: return GetLocalHostInfo(child, irb);
    case REQUEST_ALLOCATE_ADDRESS_RANGE: return bus::AllocateAddressRange(child, irb, false);
    case REQUEST_FREE_ADDRESS_RANGE: return bus::FreeAddressRange(child, irb);
    case REQUEST_GET_ADDR_FROM_DEVICE_OBJECT: {
        ULONG node = (irb->u.Get1394AddressFromDeviceObject.fulFlags & USE_LOCAL_NODE) != 0
                         ? controller->LocalNodeNumber
                         : child->Node;
        irb->u.Get1394AddressFromDeviceObject.NodeAddress = USHORT(0xFFC0 | (node & 0x3F));
        return STATUS_SUCCESS;
    }
    case REQUEST_GET_SPEED_BETWEEN_DEVICES: return GetSpeedBetweenDevices(child, irb);
    case REQUEST_SET_DEVICE_XMIT_PROPERTIES: {
        // The link speed field of BusOptions (bits 2:0).
        ULONG code = SpeedCodeOfFlag(irb->u.SetDeviceXmitProperties.fulSpeed);
        ULONG options = ReadRegisterValue(controller, ohci::kBusOptions);
        WriteRegister(controller, ohci::kBusOptions, (options & ~7u) | code);
        (void)ReadRegisterValue(controller, ohci::kIsochronousCycleTimer);
        KeMemoryBarrier();
        return STATUS_SUCCESS;
    }
    case REQUEST_GET_CONFIGURATION_INFO: return GetConfigurationInfo(child, irb);
    case REQUEST_BUS_RESET: return BusReset(child, irb);
    case REQUEST_GET_GENERATION_COUNT:
        irb->u.GetGenerationCount.GenerationCount = CurrentGeneration(controller);
        return STATUS_SUCCESS;
    case REQUEST_SEND_PHY_CONFIGURATION_PACKET:
        return SendPhyConfiguration(controller, irb->u.SendPhyConfigurationPacket.PhyConfigurationPacket);
    case REQUEST_BUS_RESET_NOTIFICATION: return ResetNotification(child, irb);
    case REQUEST_SET_LOCAL_HOST_PROPERTIES: return SetLocalHostProperties(child, irb);
    default: return STATUS_NOT_IMPLEMENTED;
    }
}

bool SerialisedPerChild(ULONG function) {
    return function == REQUEST_ISOCH_ATTACH_BUFFERS || function == REQUEST_ISOCH_FREE_RESOURCES ||
           function == REQUEST_ISOCH_LISTEN || function == REQUEST_ISOCH_STOP;
}

bool RunsAtAnyLevel(ULONG function) {
    return function == REQUEST_ASYNC_WRITE || function == REQUEST_ISOCH_DETACH_BUFFERS ||
           function == REQUEST_ALLOCATE_ADDRESS_RANGE || function == REQUEST_FREE_ADDRESS_RANGE ||
           function == REQUEST_GET_LOCAL_HOST_INFO ||
           function == REQUEST_GET_ADDR_FROM_DEVICE_OBJECT || function == REQUEST_GET_SPEED_BETWEEN_DEVICES ||
           function == REQUEST_GET_GENERATION_COUNT;
}

void LeaveChild(ChildDeviceExtension* child) {
    if (InterlockedDecrement(&child->Outstanding) == 0) KeSetEvent(&child->Idle, IO_NO_INCREMENT, FALSE);
}

NTSTATUS DispatchIrb(ClassRequestContext* context) {
    ChildDeviceExtension* child = ChildExtension(context->Device);
    ControllerDeviceExtension* parent = ParentOf(child);
    PIRP Irp = context->Request;
    auto* irb = static_cast<IRB*>(IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1);
    AcquireIo(parent);
    NTSTATUS status;
    // Only a controller in a started state (a stop or removal only queried still serves): the
    // PnP requests that end it wait for the requests admitted here before its hardware goes.
    const ULONG state = parent->PnpState;
    if ((state != Started && state != StopQueried && state != RemoveQueried) || !parent->Controller.Initialized) {
        status = STATUS_NO_SUCH_DEVICE;
    } else {
        // The isochronous requests of one child wait for each other here, at passive level.
        bool serialised = SerialisedPerChild(irb->FunctionNumber) && KeGetCurrentIrql() == PASSIVE_LEVEL;
        if (serialised) KeWaitForSingleObject(&child->RequestMutex, Executive, KernelMode, FALSE, nullptr);
        status = RunFunction(child, irb);
        if (serialised) KeReleaseMutex(&child->RequestMutex, FALSE);
    }
    Irp->IoStatus.Status = status;
    if (!context->ViaWorkItem) Irp->IoStatus.Information = NT_SUCCESS(status) ? 4 : 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    if (context->WorkItem != nullptr) IoFreeWorkItem(context->WorkItem);
    FreeTaggedPool(context, kTagContext);
    LeaveChild(child);
    ReleaseIo(parent);
    return status;
}

void DispatchIrbWorker(PDEVICE_OBJECT DeviceObject, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    if (Context == nullptr) {
        ReportMissingContext("DispatchIrb");
        return;
    }
    (void)DispatchIrb(static_cast<ClassRequestContext*>(Context));
}

NTSTATUS Statistics(OhciController* controller, PIRP Irp) {
    auto* block = static_cast<PUCHAR>(IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1);
    if (block == nullptr) return CompleteRequest(Irp, STATUS_INVALID_PARAMETER);
    ULONG code = 0;
    RtlCopyMemory(&code, block, 4);
    if (code != kStatisticsRead && code != kStatisticsClear) return CompleteRequest(Irp, STATUS_NOT_IMPLEMENTED);
    KIRQL irql;
    KeAcquireSpinLock(&controller->InterruptLogLock, &irql);
    if (code == kStatisticsRead) {
        RtlCopyMemory(block + 4, &controller->Statistics, sizeof(AsyncStatistics));
    } else {
        auto* counters = reinterpret_cast<volatile LONG*>(&controller->Statistics);
        for (ULONG i = 0; i < sizeof(AsyncStatistics) / 4; ++i) InterlockedExchange(&counters[i], 0);
    }
    KeReleaseSpinLock(&controller->InterruptLogLock, irql);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 4 + sizeof(AsyncStatistics);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// Ends a request refused before it reached the dispatcher.
NTSTATUS RefuseForChild(ChildDeviceExtension* child, PIRP Irp, NTSTATUS status) {
    NTSTATUS completed = CompleteRequest(Irp, status);
    LeaveChild(child);
    return completed;
}

}  // namespace

NTSTATUS ChildDispatchInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    ChildDeviceExtension* child = ChildExtension(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    // Counted in before anything of the child is looked at: its deletion sets Deleting, then waits
    // for the count, so a request either sees Deleting or is waited for.
    if (InterlockedIncrement(&child->Outstanding) == 1) KeClearEvent(&child->Idle);
    const DeviceRecord* record = child->Record;
    if (InterlockedCompareExchange(&child->Deleting, 0, 0) != 0 || record == nullptr ||
        (!child->Present && record->UnitKind == kUnitSbp2))
        return RefuseForChild(child, Irp, STATUS_NO_SUCH_DEVICE);
    if (code == IOCTL_CLASS_STATISTICS) {
        NTSTATUS status = Statistics(&ParentOf(child)->Controller, Irp);
        LeaveChild(child);
        return status;
    }
    if (code != IOCTL_1394_CLASS) return RefuseForChild(child, Irp, STATUS_NOT_IMPLEMENTED);
    auto* irb = static_cast<IRB*>(stack->Parameters.Others.Argument1);
    if (irb == nullptr) return RefuseForChild(child, Irp, STATUS_INVALID_PARAMETER);
    auto* context = static_cast<ClassRequestContext*>(AllocateZeroedPool(sizeof(ClassRequestContext), kTagContext));
    if (context == nullptr) return RefuseForChild(child, Irp, STATUS_INSUFFICIENT_RESOURCES);
    context->Device = DeviceObject;
    context->Request = Irp;
    if (KeGetCurrentIrql() == PASSIVE_LEVEL || RunsAtAnyLevel(irb->FunctionNumber)) return DispatchIrb(context);
    context->WorkItem = IoAllocateWorkItem(ParentOf(child)->Self);
    if (context->WorkItem == nullptr) {
        FreeTaggedPool(context, kTagContext);
        LeaveChild(child);
        return CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    context->ViaWorkItem = TRUE;
    IoMarkIrpPending(Irp);
    IoQueueWorkItem(context->WorkItem, DispatchIrbWorker, DelayedWorkQueue, context);
    return STATUS_PENDING;
}

void NotifyBusReset(OhciController* controller) {
    if (controller->ClassNotificationList.Flink == nullptr) return;
    KIRQL irql;
    KeAcquireSpinLock(&controller->ClassNotificationLock, &irql);
    for (PLIST_ENTRY e = controller->ClassNotificationList.Flink; e != &controller->ClassNotificationList;
         e = e->Flink) {
        auto* entry = CONTAINING_RECORD(e, NotificationEntry, Links);
        if (!entry->Extended) {
            entry->Routine(entry->Context);
            continue;
        }
        ChildDeviceExtension* child = ChildExtension(entry->Owner);
        BUS_RESET_NOTIFICATION_INFO info;
        RtlZeroMemory(&info, sizeof(info));
        info.ResetContext = entry->Context;
        info.GenerationCount = CurrentGeneration(controller);
        info.DeviceNodeId = USHORT(0xFFC0 | (child->Node & 0x3F));
        info.LocalNodeId = USHORT(0xFFC0 | (controller->LocalNodeNumber & 0x3F));
        info.SpeedCode = UCHAR(SpeedBetween(controller, child->Node, controller->LocalNodeNumber));
        entry->Routine(&info);
    }
    KeReleaseSpinLock(&controller->ClassNotificationLock, irql);
}

namespace bus {

void ReleaseChildClassRecords(ControllerDeviceExtension* extension, PDEVICE_OBJECT device) {
    OhciController* controller = &extension->Controller;
    ReleaseChildRanges(extension, ChildExtension(device));
    LIST_ENTRY released;
    KIRQL irql;
    KeAcquireSpinLock(&controller->ClassNotificationLock, &irql);
    TakeMatchingEntries(&controller->ClassNotificationList, &released, [device](PLIST_ENTRY e) {
        return CONTAINING_RECORD(e, NotificationEntry, Links)->Owner == device;
    });
    KeReleaseSpinLock(&controller->ClassNotificationLock, irql);
    while (!IsListEmpty(&released))
        FreeTaggedPool(CONTAINING_RECORD(RemoveHeadList(&released), NotificationEntry, Links), kTagNotification);
}

}  // namespace bus
