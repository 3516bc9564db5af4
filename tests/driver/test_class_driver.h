// A small class driver of the kind a camera driver is, for tests: it loads on a child device of
// the bus driver through the Plug and Play manager and talks to the bus through the 1394 class
// interface only (IRBs in internal device-control requests). At start it reads its unit's
// configuration (with the IIDC command_regs_base of its unit-dependent directory) and a register of
// the unit, registers for bus-reset notification and allocates bandwidth and a channel. When its
// program asks for pictures (StartStream) it allocates an isochronous resource, attaches frame
// buffers of its own as ISOCH_DESCRIPTORs, listens and sets the IIDC camera streaming with
// asynchronous writes; each descriptor callback checks the frame against the camera's test pattern.
// At removal it stops and gives everything back (unless told to be careless).
#pragma once

#include "bus/irb.h"
#include "hk_io_test.h"
#include "iidc_camera.h"
#include "kxplatform.h"

namespace testclass {

constexpr ULONG kTagFrames = KX_TAG('T', 'C', 'f', 'r');
constexpr ULONG kMaxBuffers = 8;
constexpr ULONG kMaxCompletions = 256;
constexpr ULONGLONG kIidcCsrBase = 0xFFFFF0000000ull;
constexpr ULONG kKeyCommandRegsBase = 0x40;

// One frame buffer of the driver's own (non-paged pool) and the descriptor that hands it over.
struct FrameBuffer {
    PUCHAR data = nullptr;
    PMDL mdl = nullptr;
    ISOCH_DESCRIPTOR descriptor{};
    IRB irb{};                     // the attach sent again from the callback
};

// One descriptor callback as the driver saw it.
struct Completion {
    ULONG buffer;
    NTSTATUS status;
    ULONG frame;                   // the frame counter in bytes 0..3 (successful buffers)
    ULONG badBytes;                // bytes that differ from the camera's pattern
    ULONG cycleTime;               // the descriptor's CycleTime (a time stamp when asked for)
};

// How the driver streams: IIDC format 0, `mode` and `rate`, `packetBytes` per packet.
struct StreamConfig {
    ULONG buffers = 3;
    ULONG mode = 5;                // 640x480 Mono 8
    ULONG rate = sim::iidc::k30;
    ULONG packetBytes = 1280;
    ULONG packets = 240;
    ULONG lineBytes = 640;
    bool reattachInCallback = false;  // attach again from the callback (DISPATCH_LEVEL), else the test does
    ULONG resourceFlags = 0;       // besides listening and stripping the isochronous header
    ULONG descriptorFlags = 0;     // besides synchronising on sy
    ULONG startTime = 0;           // the listen's StartTime (a CYCLE_TIME)
};

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
    ULONGLONG commandBase = 0;     // from the unit-dependent directory

    // Streaming.
    StreamConfig stream;
    bool careless = false;         // leaves its resource and buffers at removal
    bool streaming = false;
    HANDLE resource = nullptr;
    FrameBuffer buffers[kMaxBuffers];
    KSPIN_LOCK lock;               // completions
    KEVENT completed;              // set at each completion
    Completion completions[kMaxCompletions];
    volatile LONG completionCount = 0;
    volatile LONG attaches = 0;    // buffers handed over (each ends once: completion or detach)
    volatile LONG reattachFailures = 0;
    volatile LONG reattachesInFlight = 0;
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

// One quadlet of the unit through the class interface, read or written, in bus order.
inline NTSTATUS Quadlet(PDEVICE_OBJECT lower, ULONGLONG offset, ULONG generation, PULONG value, bool write) {
    auto* buffer = static_cast<PULONG>(ExAllocatePoolWithTag(NonPagedPool, 4, KX_TAG('T', 'C', 't', 's')));
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    *buffer = *value;
    PMDL mdl = IoAllocateMdl(buffer, 4, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    IRB irb{};
    irb.FunctionNumber = write ? REQUEST_ASYNC_WRITE : REQUEST_ASYNC_READ;
    // The read and write records share their layout.
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

// A quadlet read of the unit through the class interface; the value stays in bus order.
inline NTSTATUS ReadQuadlet(PDEVICE_OBJECT lower, ULONGLONG offset, ULONG generation, PULONG value) {
    return Quadlet(lower, offset, generation, value, false);
}

// A quadlet write to the unit (the value in host order).
inline NTSTATUS WriteQuadlet(PDEVICE_OBJECT lower, ULONGLONG offset, ULONG value) {
    ULONG bus = __builtin_bswap32(value);
    return Quadlet(lower, offset, 0, &bus, true);
}

// Sends `irb` from DISPATCH_LEVEL in an IRP of its own; `done` runs when it completes.
inline NTSTATUS SendIrbRaised(PDEVICE_OBJECT lower, IRB* irb, PIO_COMPLETION_ROUTINE done, PVOID context) {
    PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_1394_CLASS;
    next->Parameters.Others.Argument1 = irb;
    IoSetCompletionRoutine(irp, done, context, TRUE, TRUE, TRUE);
    return IoCallDriver(lower, irp);
}

inline NTSTATUS ReattachDone(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
    auto* r = static_cast<Results*>(Context);
    if (!NT_SUCCESS(Irp->IoStatus.Status)) InterlockedIncrement(&r->reattachFailures);
    else InterlockedIncrement(&r->attaches);
    IoFreeIrp(Irp);
    InterlockedDecrement(&r->reattachesInFlight);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

inline IRB AttachIrb(Results* r, ULONG i) {
    IRB irb{};
    irb.FunctionNumber = REQUEST_ISOCH_ATTACH_BUFFERS;
    irb.u.IsochAttachBuffers.hResource = r->resource;
    irb.u.IsochAttachBuffers.nNumberOfDescriptors = 1;
    irb.u.IsochAttachBuffers.pIsochDescriptor = &r->buffers[i].descriptor;
    return irb;
}

// The descriptor callback (DISPATCH_LEVEL): checks the frame pixel for pixel, notes it, and when
// the driver streams that way hands the buffer back at once.
inline void OnFrame(PVOID Context1, PVOID Context2) {
    auto* r = static_cast<Results*>(Context1);
    ULONG i = ULONG(ULONG_PTR(Context2));
    FrameBuffer& b = r->buffers[i];
    Completion c{i, b.descriptor.status, 0, 0, b.descriptor.CycleTime};
    if (NT_SUCCESS(c.status)) {
        const StreamConfig& k = r->stream;
        c.frame = (ULONG(b.data[0]) << 24) | (ULONG(b.data[1]) << 16) | (ULONG(b.data[2]) << 8) | b.data[3];
        for (ULONG o = 0; o < k.packets * k.packetBytes; ++o)
            if (b.data[o] != sim::IidcCamera::PatternByte(c.frame, o, k.lineBytes)) ++c.badBytes;
    }
    KIRQL irql;
    KeAcquireSpinLock(&r->lock, &irql);
    LONG n = r->completionCount;
    if (n < LONG(kMaxCompletions)) r->completions[n] = c;
    r->completionCount = n + 1;
    KeReleaseSpinLock(&r->lock, irql);
    if (r->streaming && r->stream.reattachInCallback && c.status != STATUS_CANCELLED) {
        b.data[0] = b.data[1] = b.data[2] = b.data[3] = 0xEE;
        b.irb = AttachIrb(r, i);
        InterlockedIncrement(&r->reattachesInFlight);
        (void)SendIrbRaised(r->lower, &b.irb, ReattachDone, r);
    }
    KeSetEvent(&r->completed, IO_NO_INCREMENT, FALSE);
}

// Waits (virtual time) until `count` completions have been seen; false on time-out.
inline bool WaitCompletions(Results* r, LONG count, ULONGLONG timeout100ns = 20000000) {
    LARGE_INTEGER step;
    step.QuadPart = -100000;  // 10 ms
    for (ULONGLONG waited = 0; r->completionCount < count; waited += 100000) {
        if (waited >= timeout100ns) return false;
        KeWaitForSingleObject(&r->completed, Executive, KernelMode, FALSE, &step);
        KeClearEvent(&r->completed);
    }
    return true;
}

// Attaches buffers [first, first + count) again, one request each (passive level).
inline NTSTATUS Reattach(Results* r, ULONG first, ULONG count) {
    for (ULONG i = first; i < first + count; ++i) {
        FrameBuffer& b = r->buffers[i];
        b.data[0] = b.data[1] = b.data[2] = b.data[3] = 0xEE;
        b.descriptor.status = STATUS_PENDING;
        IRB irb = AttachIrb(r, i);
        NTSTATUS status = SendIrb(r->lower, &irb);
        if (!NT_SUCCESS(status)) return status;
        InterlockedIncrement(&r->attaches);
    }
    return STATUS_SUCCESS;
}

// The driver stops handing buffers back and waits for the attaches it sent from callbacks.
inline void StopReattaching(Results* r) {
    r->streaming = false;
    LARGE_INTEGER step;
    step.QuadPart = -10000;  // 1 ms
    while (r->reattachesInFlight != 0) KeDelayExecutionThread(KernelMode, FALSE, &step);
}

inline NTSTATUS Camera(Results* r, ULONG reg, ULONG value) { return WriteQuadlet(r->lower, r->commandBase + reg, value); }

inline void FreeBuffers(Results* r) {
    for (FrameBuffer& b : r->buffers) {
        if (b.mdl != nullptr) IoFreeMdl(b.mdl);
        if (b.data != nullptr) ExFreePoolWithTag(b.data, kTagFrames);
        b = FrameBuffer{};
    }
}

// What camera software does to get pictures: the resource, the buffers, listen, then the camera.
inline NTSTATUS StartStream(Results* r, const StreamConfig& config) {
    r->stream = config;
    KeInitializeSpinLock(&r->lock);
    KeInitializeEvent(&r->completed, NotificationEvent, FALSE);
    const ULONG frameBytes = config.packets * config.packetBytes;
    IRB irb{};
    irb.FunctionNumber = REQUEST_ISOCH_SET_CHANNEL_BANDWIDTH;
    irb.u.IsochSetChannelBandwidth.hBandwidth = r->bandwidth;
    irb.u.IsochSetChannelBandwidth.nMaxBytesPerFrame = config.packetBytes;
    NTSTATUS status = SendIrb(r->lower, &irb);
    if (!NT_SUCCESS(status)) return status;
    irb = IRB{};
    irb.FunctionNumber = REQUEST_ISOCH_ALLOCATE_RESOURCES;
    irb.u.IsochAllocateResources.fulSpeed = SPEED_FLAGS_400;
    irb.u.IsochAllocateResources.fulFlags =
        RESOURCE_USED_IN_LISTENING | RESOURCE_STRIP_ADDITIONAL_QUADLETS | config.resourceFlags;
    irb.u.IsochAllocateResources.nChannel = r->channel;
    irb.u.IsochAllocateResources.nMaxBytesPerFrame = config.packetBytes;
    irb.u.IsochAllocateResources.nNumberOfBuffers = config.buffers;
    irb.u.IsochAllocateResources.nMaxBufferSize = frameBytes;
    irb.u.IsochAllocateResources.nQuadletsToStrip = 1;  // the isochronous header
    status = SendIrb(r->lower, &irb);
    if (!NT_SUCCESS(status)) return status;
    r->resource = irb.u.IsochAllocateResources.hResource;
    for (ULONG i = 0; i < config.buffers; ++i) {
        FrameBuffer& b = r->buffers[i];
        b.data = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, frameBytes, kTagFrames));
        if (b.data == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        b.mdl = IoAllocateMdl(b.data, frameBytes, FALSE, FALSE, nullptr);
        MmBuildMdlForNonPagedPool(b.mdl);
        ISOCH_DESCRIPTOR& d = b.descriptor;
        d.fulFlags = DESCRIPTOR_SYNCH_ON_SY | config.descriptorFlags;
        d.Mdl = b.mdl;
        d.ulLength = frameBytes;
        d.nMaxBytesPerFrame = config.packetBytes;
        d.ulSynch = 1;  // IIDC: sy = 1 on a frame's first packet
        d.Callback = OnFrame;
        d.Context1 = r;
        d.Context2 = reinterpret_cast<PVOID>(ULONG_PTR(i));
    }
    r->streaming = true;
    status = Reattach(r, 0, config.buffers);
    if (!NT_SUCCESS(status)) return status;
    irb = IRB{};
    irb.FunctionNumber = REQUEST_ISOCH_LISTEN;
    irb.u.IsochListen.hResource = r->resource;
    irb.u.IsochListen.StartTime = config.startTime;
    status = SendIrb(r->lower, &irb);
    if (!NT_SUCCESS(status)) return status;
    // The camera: format 0, the mode and rate, the channel at S400, then ISO_EN.
    const ULONG writes[][2] = {
        {sim::iidc::kCurVFormat, sim::iidc::IndexField(0)},
        {sim::iidc::kCurVMode, sim::iidc::IndexField(config.mode)},
        {sim::iidc::kCurVFrmRate, sim::iidc::IndexField(config.rate)},
        {sim::iidc::kIsoChannel, sim::iidc::MakeLegacyIso(r->channel, 2)},
        {sim::iidc::kIsoEn, sim::iidc::kBit31},
    };
    for (const auto& w : writes) {
        status = Camera(r, w[0], w[1]);
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}

// The camera stops sending, the resource stops (every attached buffer comes back cancelled) and
// goes; only then the buffers are freed. The statuses of the stop and the free.
inline NTSTATUS StopStream(Results* r, NTSTATUS* freed = nullptr) {
    StopReattaching(r);
    (void)Camera(r, sim::iidc::kIsoEn, 0);
    IRB irb{};
    irb.FunctionNumber = REQUEST_ISOCH_STOP;
    irb.u.IsochStop.hResource = r->resource;
    NTSTATUS stopped = SendIrb(r->lower, &irb);
    irb = IRB{};
    irb.FunctionNumber = REQUEST_ISOCH_FREE_RESOURCES;
    irb.u.IsochFreeResources.hResource = r->resource;
    NTSTATUS status = SendIrb(r->lower, &irb);
    if (freed != nullptr) *freed = status;
    r->resource = nullptr;
    FreeBuffers(r);
    return stopped;
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
    ULONG dependentSize = irb.u.GetConfigurationInformation.UnitDependentDirectoryBufferSize;
    ULONG vendorSize = irb.u.GetConfigurationInformation.VendorLeafBufferSize;
    ULONG dependent[64] = {};
    if (NT_SUCCESS(r->configStatus) && unitSize <= sizeof(r->unitDirectory) && dependentSize <= sizeof(dependent) &&
        vendorSize <= 256) {
        UCHAR leaf[256] = {};
        ULONG rom[6] = {};
        irb = IRB{};
        irb.FunctionNumber = REQUEST_GET_CONFIGURATION_INFO;
        irb.u.GetConfigurationInformation.ConfigRom = rom;
        irb.u.GetConfigurationInformation.UnitDirectoryBufferSize = unitSize;
        irb.u.GetConfigurationInformation.UnitDirectory = r->unitDirectory;
        irb.u.GetConfigurationInformation.UnitDependentDirectoryBufferSize = dependentSize;
        irb.u.GetConfigurationInformation.UnitDependentDirectory = dependentSize != 0 ? dependent : nullptr;
        irb.u.GetConfigurationInformation.VendorLeafBufferSize = vendorSize;
        irb.u.GetConfigurationInformation.VendorLeaf = reinterpret_cast<TEXTUAL_LEAF*>(leaf);
        r->configStatus = SendIrb(lower, &irb);
        r->unitDirectorySize = unitSize;
        for (ULONG i = 0; i + 1 < sizeof(r->vendor) && 12 + i < vendorSize && leaf[12 + i] != 0; ++i)
            r->vendor[i] = char(leaf[12 + i]);
        // IIDC: command_regs_base (key 0x40) counts quadlets from the start of CSR space.
        for (ULONG i = 1; i < dependentSize / 4; ++i) {
            ULONG entry = __builtin_bswap32(dependent[i]);
            if ((entry >> 24) == kKeyCommandRegsBase) r->commandBase = kIidcCsrBase + 4ull * (entry & 0xFFFFFF);
        }
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
            if (g_results->resource != nullptr && !g_results->careless) (void)StopStream(g_results);
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
