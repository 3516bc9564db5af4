// A small class driver of the kind a camera driver is, for tests: it loads on a child device of
// the bus driver through the Plug and Play manager and talks to the bus through the 1394 class
// interface only (IRBs in internal device-control requests). At start it reads its unit's
// configuration and a register of the unit, registers for bus-reset notification and allocates
// bandwidth and a channel; at removal it gives everything back.
#pragma once

#include "bus/irb.h"
#include "hk_io_test.h"
#include "kxplatform.h"

namespace testclass {

// What the driver saw, for the test to check (one driver instance per test).
struct Results {
    NTSTATUS generationStatus = STATUS_PENDING;
    ULONG generation = 0;
    NTSTATUS configStatus = STATUS_PENDING;
    ULONG unitDirectorySize = 0;
    ULONG unitDirectory[64] = {};
    char vendor[64] = {};
    NTSTATUS readStatus = STATUS_PENDING;
    ULONG registerValue = 0;       // bus order, as read
    ULONGLONG registerOffset = 0;  // what to read at start (0: nothing)
    NTSTATUS notifyStatus = STATUS_PENDING;
    NTSTATUS bandwidthStatus = STATUS_PENDING;
    HANDLE bandwidth = nullptr;
    NTSTATUS channelStatus = STATUS_PENDING;
    ULONG channel = 0xFFFFFFFF;
    volatile LONG resets = 0;
    int started = 0;
    int removed = 0;
    PDEVICE_OBJECT fdo = nullptr;
    PDEVICE_OBJECT lower = nullptr;
};
inline Results* g_results = nullptr;

struct Extension {
    PDEVICE_OBJECT Lower;
};

// Sends one IRB down the stack and waits for it.
inline NTSTATUS SendIrb(PDEVICE_OBJECT lower, IRB* irb, ULONG code = IOCTL_1394_CLASS, ULONG_PTR* information = nullptr) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, lower, nullptr, 0, nullptr, 0, TRUE, &event, &ioStatus);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = irb;
    NTSTATUS status = IoCallDriver(lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    if (information != nullptr) *information = ioStatus.Information;
    return status;
}

inline void OnBusReset(PVOID context) { InterlockedIncrement(&static_cast<Results*>(context)->resets); }

// A quadlet read of the unit through the class interface; the value stays in bus order.
inline NTSTATUS ReadQuadlet(PDEVICE_OBJECT lower, ULONGLONG offset, ULONG generation, PULONG value) {
    auto* buffer = static_cast<PULONG>(ExAllocatePoolWithTag(NonPagedPool, 4, KX_TAG('T', 'C', 't', 's')));
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    PMDL mdl = IoAllocateMdl(buffer, 4, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    IRB irb{};
    irb.FunctionNumber = REQUEST_ASYNC_READ;
    irb.u.AsyncRead.DestinationAddress.IA_Destination_Offset.Off_High = USHORT(offset >> 32);
    irb.u.AsyncRead.DestinationAddress.IA_Destination_Offset.Off_Low = ULONG(offset);
    irb.u.AsyncRead.nNumberOfBytesToRead = 4;
    irb.u.AsyncRead.Mdl = mdl;
    irb.u.AsyncRead.ulGeneration = generation;
    NTSTATUS status = SendIrb(lower, &irb);
    *value = *buffer;
    IoFreeMdl(mdl);
    ExFreePoolWithTag(buffer, KX_TAG('T', 'C', 't', 's'));
    return status;
}

inline void StartWork(PDEVICE_OBJECT lower, Results* r) {
    IRB irb{};
    irb.FunctionNumber = REQUEST_GET_GENERATION_COUNT;
    r->generationStatus = SendIrb(lower, &irb);
    r->generation = irb.u.GetGenerationCount.GenerationCount;

    // Configuration: the sizes first, then the unit directory and the vendor leaf.
    irb = IRB{};
    irb.FunctionNumber = REQUEST_GET_CONFIGURATION_INFO;
    r->configStatus = SendIrb(lower, &irb);
    ULONG unitSize = irb.u.GetConfigurationInformation.UnitDirectoryBufferSize;
    ULONG vendorSize = irb.u.GetConfigurationInformation.VendorLeafBufferSize;
    if (NT_SUCCESS(r->configStatus) && unitSize <= sizeof(r->unitDirectory) && vendorSize <= 256) {
        UCHAR leaf[256] = {};
        ULONG rom[6] = {};
        irb = IRB{};
        irb.FunctionNumber = REQUEST_GET_CONFIGURATION_INFO;
        irb.u.GetConfigurationInformation.ConfigRom = rom;
        irb.u.GetConfigurationInformation.UnitDirectoryBufferSize = unitSize;
        irb.u.GetConfigurationInformation.UnitDirectory = r->unitDirectory;
        irb.u.GetConfigurationInformation.VendorLeafBufferSize = vendorSize;
        irb.u.GetConfigurationInformation.VendorLeaf = reinterpret_cast<TEXTUAL_LEAF*>(leaf);
        r->configStatus = SendIrb(lower, &irb);
        r->unitDirectorySize = unitSize;
        for (ULONG i = 0; i + 1 < sizeof(r->vendor) && 12 + i < vendorSize && leaf[12 + i] != 0; ++i)
            r->vendor[i] = char(leaf[12 + i]);
    }
    if (r->registerOffset != 0) r->readStatus = ReadQuadlet(lower, r->registerOffset, r->generation, &r->registerValue);

    irb = IRB{};
    irb.FunctionNumber = REQUEST_BUS_RESET_NOTIFICATION;
    irb.u.BusResetNotification.fulFlags = REGISTER_NOTIFICATION_ROUTINE;
    irb.u.BusResetNotification.ResetRoutine = OnBusReset;
    irb.u.BusResetNotification.ResetContext = r;
    r->notifyStatus = SendIrb(lower, &irb);

    irb = IRB{};
    irb.FunctionNumber = REQUEST_ISOCH_ALLOCATE_BANDWIDTH;
    irb.u.IsochAllocateBandwidth.nMaxBytesPerFrameRequested = 640;
    irb.u.IsochAllocateBandwidth.fulSpeed = SPEED_FLAGS_400;
    r->bandwidthStatus = SendIrb(lower, &irb);
    r->bandwidth = irb.u.IsochAllocateBandwidth.hBandwidth;

    irb = IRB{};
    irb.FunctionNumber = REQUEST_ISOCH_ALLOCATE_CHANNEL;
    irb.u.IsochAllocateChannel.nRequestedChannel = ISOCH_ANY_CHANNEL;
    r->channelStatus = SendIrb(lower, &irb);
    r->channel = irb.u.IsochAllocateChannel.Channel;
}

inline void StopWork(PDEVICE_OBJECT lower, Results* r) {
    IRB irb{};
    irb.FunctionNumber = REQUEST_BUS_RESET_NOTIFICATION;
    irb.u.BusResetNotification.fulFlags = DEREGISTER_NOTIFICATION_ROUTINE;
    irb.u.BusResetNotification.ResetRoutine = OnBusReset;
    irb.u.BusResetNotification.ResetContext = r;
    (void)SendIrb(lower, &irb);
    if (NT_SUCCESS(r->channelStatus)) {
        irb = IRB{};
        irb.FunctionNumber = REQUEST_ISOCH_FREE_CHANNEL;
        irb.u.IsochFreeChannel.nChannel = r->channel;
        (void)SendIrb(lower, &irb);
    }
    if (NT_SUCCESS(r->bandwidthStatus)) {
        irb = IRB{};
        irb.FunctionNumber = REQUEST_ISOCH_FREE_BANDWIDTH;
        irb.u.IsochFreeBandwidth.hBandwidth = r->bandwidth;
        (void)SendIrb(lower, &irb);
    }
}

inline NTSTATUS Forwarded(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
    if (Irp->PendingReturned) KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

inline NTSTATUS ForwardAndWaitDown(PDEVICE_OBJECT lower, PIRP Irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, Forwarded, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(lower, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = Irp->IoStatus.Status;
    }
    return status;
}

inline NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    auto* extension = static_cast<Extension*>(DeviceObject->DeviceExtension);
    PDEVICE_OBJECT lower = extension->Lower;
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS status = ForwardAndWaitDown(lower, Irp);
        if (NT_SUCCESS(status) && g_results != nullptr) {
            ++g_results->started;
            StartWork(lower, g_results);
        }
        Irp->IoStatus.Status = status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    case IRP_MN_REMOVE_DEVICE: {
        if (g_results != nullptr) {
            ++g_results->removed;
            StopWork(lower, g_results);
            g_results->fdo = nullptr;
        }
        IoSkipCurrentIrpStackLocation(Irp);
        NTSTATUS status = IoCallDriver(lower, Irp);
        IoDetachDevice(lower);
        IoDeleteDevice(DeviceObject);
        return status;
    }
    default:
        IoSkipCurrentIrpStackLocation(Irp);
        return IoCallDriver(lower, Irp);
    }
}

inline NTSTATUS DispatchPassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(static_cast<Extension*>(DeviceObject->DeviceExtension)->Lower, Irp);
}

inline NTSTATUS DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(static_cast<Extension*>(DeviceObject->DeviceExtension)->Lower, Irp);
}

inline NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo) {
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    auto* extension = static_cast<Extension*>(fdo->DeviceExtension);
    extension->Lower = IoAttachDeviceToDeviceStack(fdo, Pdo);
    fdo->Flags |= DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    if (g_results != nullptr) {
        g_results->fdo = fdo;
        g_results->lower = extension->Lower;
    }
    return STATUS_SUCCESS;
}

inline void Unload(PDRIVER_OBJECT) {}

inline NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING) {
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) DriverObject->MajorFunction[i] = DispatchPassDown;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->DriverUnload = Unload;
    return STATUS_SUCCESS;
}

}  // namespace testclass
