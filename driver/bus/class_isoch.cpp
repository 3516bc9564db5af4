// The isochronous functions of the 1394 class interface. Bandwidth and channels are the local books
// the user streams share (no isochronous resource manager is asked). An isochronous resource is a
// receive stream of the receive engine opened for a kernel caller; this file keeps, per resource,
// the caller's attached ISOCH_DESCRIPTORs and turns the end of each of the engine's buffers into the
// descriptor's status and callback.
//
// Ownership of a descriptor record: it is on its resource's attached list from attach until the
// engine ends its buffer (CompleteClassFrame) or a detach takes it off. Each engine buffer ends
// exactly once; the record goes with it: in CompleteClassFrame, or in the detach that found the
// buffer still in the engine. A record taken off by a detach while its buffer is already ending is
// marked Detached and freed by CompleteClassFrame without a callback.
//
// Locks: ClassIsochLock guards the bandwidth list and each child's resource pointer (the books'
// TopologyLock may be taken inside it); a resource's spin lock guards its stream pointer and its
// attached list and is taken outside the engine's stream lock. Attach, listen, stop and free hold
// the IR context's mutex, which the engine's close and finish routine take as well, so the stream
// cannot go under them.
#include "class_isoch.h"

#include "async/class_async.h"
#include "core/controller.h"
#include "frame/user_isoch.h"
#include "isoch/iso_records.h"
#include "isoch/iso_rx.h"
#include "ohci/list_utilities.h"
#include "ohci/pool_tags.h"

namespace {

constexpr ULONG kTagBandwidth = BusListTag(20 - 17);            // ZB20
constexpr ULONG kTagAttached = KX_TAG('Z', 'B', '1', '9');      // AttachedDescriptor
constexpr ULONG kTagResource = KX_TAG('Z', 'B', '2', '7');      // ClassResource
constexpr NTSTATUS kStatusBusReset = NTSTATUS(0x8000001Du);     // STATUS_BUS_RESET
constexpr ULONG kMaxFrameBytes = 65536;      // more than any isochronous packet carries
constexpr ULONG kMaxStripQuadlets = 2048;
constexpr ULONG kMaxResourceHandle = 0x7FFFFFFF;
constexpr ULONG kPacketOverheadUnits = 3;
constexpr ULONG kPacketOverheadBytes = 15;
constexpr ULONG kS1600 = 4;

struct BandwidthRecord {
    LIST_ENTRY Links;
    UCHAR Speed;
    ULONG BytesPerFrame;
    PDEVICE_OBJECT Owner;
    ULONG Generation;  // of the books its units were taken from
};

struct ClassResource {
    KSPIN_LOCK Lock;              // Stream, Attached, the Detached marks of its records
    volatile LONG References;     // the child's link, and one per request using it
    ULONG Handle;                 // 0 while the stream is being opened
    ULONG Flags;                  // fulFlags of the allocation
    ULONG Context;                // the IR context of the stream
    OhciController* Controller;
    isorx::Stream* Stream;        // none until it is opened and once it was closed
    BOOLEAN StreamGone;           // the engine closed the stream (controller teardown or free)
    ULONG FrameBytes;             // bytes one buffer receives
    LIST_ENTRY Attached;          // AttachedDescriptor.Links
};

struct AttachedDescriptor {
    LIST_ENTRY Links;
    ClassResource* Resource;
    ISOCH_DESCRIPTOR* Caller;
    BOOLEAN Detached;
    ISOCH_DESCRIPTOR Copy;        // the caller's descriptor as it was attached
};

OhciController* ControllerOf(ChildDeviceExtension* child) { return &ParentOf(child)->Controller; }

// --- Bandwidth and channels ------------------------------------------------------------------------

// Bytes per frame a new allocation could still get at a speed code: the units left less a packet's
// overhead, in quadlets of that speed, less the header and CRC bytes; 0 when nothing is left.
ULONG BytesAvailable(OhciController* controller, ULONG code, ULONGLONG* channels) {
    ULONG units = AvailableBandwidth(controller, channels);
    if (units <= kPacketOverheadUnits) return 0;
    units -= kPacketOverheadUnits;
    ULONG quadlets = code > kS1600 ? units * 2 : units >> (kS1600 - code);
    return quadlets * 4 > kPacketOverheadBytes ? quadlets * 4 - kPacketOverheadBytes : 0;
}

// The child's record on the bandwidth list (list lock held), or none.
BandwidthRecord* FindBandwidth(OhciController* controller, ChildDeviceExtension* child, HANDLE handle) {
    for (PLIST_ENTRY e = controller->ClassBandwidthList.Flink; e != &controller->ClassBandwidthList; e = e->Flink) {
        auto* record = CONTAINING_RECORD(e, BandwidthRecord, Links);
        if (record == handle && record->Owner == child->Self) return record;
    }
    return nullptr;
}

ULONG UnitsOf(const BandwidthRecord* record) { return isorx::BandwidthUnits(record->BytesPerFrame, record->Speed); }

// --- Resources ---------------------------------------------------------------------------------------

NTSTATUS DescriptorStatus(ULONG status) {
    switch (status) {
    case isorx::kStatusDone: return STATUS_SUCCESS;
    case isorx::kStatusBusReset: return kStatusBusReset;
    case isorx::kStatusTimeout: return STATUS_IO_TIMEOUT;
    case isorx::kStatusFlushed: return STATUS_CANCELLED;
    default: return STATUS_IO_DEVICE_ERROR;
    }
}

ULONG NextResourceHandle(OhciController* controller) {
    for (;;) {
        LONG old = controller->ClassResourceCounter;
        LONG next = ULONG(old) >= kMaxResourceHandle ? 1 : old + 1;
        if (InterlockedCompareExchange(&controller->ClassResourceCounter, next, old) == old) return ULONG(next);
    }
}

void DropResource(ClassResource* resource) {
    if (InterlockedDecrement(&resource->References) == 0) FreeTaggedPool(resource, kTagResource);
}

// The child's own resource named by `handle`, referenced; none for another child's handle.
ClassResource* FindIsochResource(ChildDeviceExtension* child, HANDLE handle) {
    OhciController* controller = ControllerOf(child);
    KIRQL irql;
    KeAcquireSpinLock(&controller->ClassIsochLock, &irql);
    auto* resource = static_cast<ClassResource*>(child->IsochResource);
    if (resource != nullptr && resource->Handle != 0 && resource->Handle == ULONG_PTR(handle))
        InterlockedIncrement(&resource->References);
    else
        resource = nullptr;
    KeReleaseSpinLock(&controller->ClassIsochLock, irql);
    return resource;
}

// Takes the child's resource named by `handle` (any when `handle` is null) from the child.
ClassResource* UnlinkResource(ChildDeviceExtension* child, HANDLE handle, bool any) {
    OhciController* controller = ControllerOf(child);
    KIRQL irql;
    KeAcquireSpinLock(&controller->ClassIsochLock, &irql);
    auto* resource = static_cast<ClassResource*>(child->IsochResource);
    if (resource != nullptr && (any || (resource->Handle != 0 && resource->Handle == ULONG_PTR(handle))))
        child->IsochResource = nullptr;
    else
        resource = nullptr;
    KeReleaseSpinLock(&controller->ClassIsochLock, irql);
    return resource;
}

isorx::Stream* StreamOf(ClassResource* resource) {
    KIRQL irql;
    KeAcquireSpinLock(&resource->Lock, &irql);
    isorx::Stream* stream = resource->Stream;
    KeReleaseSpinLock(&resource->Lock, irql);
    return stream;
}

PRKMUTEX ContextMutex(ClassResource* resource) { return &resource->Controller->IsoRx[resource->Context].Mutex; }

// The engine has ended one of the resource's buffers (dispatch level).
void CompleteClassFrame(PVOID context, PVOID buffer, ULONG status, ULONG cycleTime) {
    auto* resource = static_cast<ClassResource*>(context);
    auto* attached = static_cast<AttachedDescriptor*>(buffer);
    KeAcquireSpinLockAtDpcLevel(&resource->Lock);
    bool detached = attached->Detached != FALSE;
    if (!detached) RemoveEntryList(&attached->Links);
    KeReleaseSpinLockFromDpcLevel(&resource->Lock);
    if (!detached) {
        const ISOCH_DESCRIPTOR& copy = attached->Copy;
        ISOCH_DESCRIPTOR* caller = attached->Caller;
        if ((copy.fulFlags & DESCRIPTOR_TIME_STAMP_ON_COMPLETION) != 0 ||
            (resource->Flags & RESOURCE_TIME_STAMP_ON_COMPLETION) != 0)
            caller->CycleTime = cycleTime;
        caller->status = DescriptorStatus(status);
        if (copy.Callback != nullptr) copy.Callback(copy.Context1, copy.Context2);
    }
    FreeTaggedPool(attached, kTagAttached);
}

// The engine closes the resource's stream (its buffers end next, through CompleteClassFrame).
void ClassStreamClosed(PVOID context) {
    auto* resource = static_cast<ClassResource*>(context);
    KIRQL irql;
    KeAcquireSpinLock(&resource->Lock, &irql);
    resource->Stream = nullptr;
    resource->StreamGone = TRUE;
    KeReleaseSpinLock(&resource->Lock, irql);
}

AttachedDescriptor* AttachDescriptorCopy(ClassResource* resource, ISOCH_DESCRIPTOR* descriptor) {
    auto* attached = static_cast<AttachedDescriptor*>(AllocateZeroedPool(sizeof(AttachedDescriptor), kTagAttached));
    if (attached == nullptr) return nullptr;
    attached->Resource = resource;
    attached->Caller = descriptor;
    attached->Copy = *descriptor;
    KIRQL irql;
    KeAcquireSpinLock(&resource->Lock, &irql);
    InsertTailList(&resource->Attached, &attached->Links);
    KeReleaseSpinLock(&resource->Lock, irql);
    return attached;
}

// Takes the first attached descriptor over `mdl` off the resource; when its buffer is still the
// engine's, the engine lets it go (no longer a DMA target) and no callback runs for it.
void DetachDescriptor(ClassResource* resource, PMDL mdl) {
    AttachedDescriptor* found = nullptr;
    bool ended = false;
    KIRQL irql;
    KeAcquireSpinLock(&resource->Lock, &irql);
    for (PLIST_ENTRY e = resource->Attached.Flink; e != &resource->Attached; e = e->Flink) {
        auto* attached = CONTAINING_RECORD(e, AttachedDescriptor, Links);
        if (attached->Copy.Mdl != mdl) continue;
        found = attached;
        RemoveEntryList(e);
        found->Detached = TRUE;
        // Without a stream its buffer is ending in the close: CompleteClassFrame frees the record.
        ended = resource->Stream != nullptr && isorx::DetachKernelBuffer(resource->Stream, found);
        break;
    }
    KeReleaseSpinLock(&resource->Lock, irql);
    if (ended) FreeTaggedPool(found, kTagAttached);
}

void DetachDescriptors(ClassResource* resource, const ISOCH_DESCRIPTOR* descriptors, ULONG count) {
    for (ULONG i = 0; i < count; ++i) DetachDescriptor(resource, descriptors[i].Mdl);
}

// Every attached descriptor is detached: its buffer then ends in the stream's close without a
// callback.
void DetachAllDescriptors(ClassResource* resource) {
    KIRQL irql;
    KeAcquireSpinLock(&resource->Lock, &irql);
    while (!IsListEmpty(&resource->Attached))
        CONTAINING_RECORD(RemoveHeadList(&resource->Attached), AttachedDescriptor, Links)->Detached = TRUE;
    KeReleaseSpinLock(&resource->Lock, irql);
}

// Detaches every descriptor and closes the stream (when the controller's teardown has not already).
// The mutex is taken even when the stream looks gone: a teardown that closes it holds the mutex
// until the stream's last buffer was delivered to this resource, which must outlive that.
void CloseResource(ClassResource* resource) {
    KeWaitForSingleObject(ContextMutex(resource), Executive, KernelMode, FALSE, nullptr);
    isorx::Stream* stream = StreamOf(resource);
    if (stream != nullptr) {
        DetachAllDescriptors(resource);
        isorx::CloseStream(stream);
    }
    KeReleaseMutex(ContextMutex(resource), FALSE);
}

// The receive stream a resource request asks for; `packetBased` tells the program layout.
NTSTATUS ReadResourceRequest(const IRB_REQ_ISOCH_ALLOCATE_RESOURCES& r, isorx::OpenRecord* open, bool* packetBased) {
    const ULONG flags = r.fulFlags;
    if ((flags & RESOURCE_USED_IN_LISTENING) == 0) {
        // A talking resource is valid but not served: this bus driver has no transmit path for
        // class drivers.
        bool talking = (flags & RESOURCE_USED_IN_TALKING) != 0 && (flags & RESOURCE_VARIABLE_ISOCH_PAYLOAD) == 0;
        return talking ? STATUS_NOT_SUPPORTED : STATUS_INVALID_PARAMETER;
    }
    *packetBased = (flags & RESOURCE_USE_PACKET_BASED) != 0;
    if ((flags & RESOURCE_USE_MULTICHANNEL) != 0) return *packetBased ? STATUS_INVALID_PARAMETER : STATUS_NOT_SUPPORTED;
    const bool strip = (flags & RESOURCE_STRIP_ADDITIONAL_QUADLETS) != 0;
    if (r.nMaxBytesPerFrame / 4 == 0 || r.nMaxBytesPerFrame / 4 > isorx::kMaxPayloadBytes / 4 ||
        r.nChannel > isorx::kMaxChannel || (strip && r.nQuadletsToStrip > kMaxStripQuadlets))
        return STATUS_INVALID_PARAMETER;
    RtlZeroMemory(open, sizeof(*open));
    open->Mode = strip ? 1 : 2;
    open->StripBytes = strip ? 4 * r.nQuadletsToStrip : 0;
    open->Channel = r.nChannel;
    open->Speed = SpeedCodeOfFlag(r.fulSpeed);
    open->PayloadQuadlets = r.nMaxBytesPerFrame / 4;
    return STATUS_SUCCESS;
}

// Shapes the stream: as many packets per buffer as the bytes each delivers fit in nMaxBufferSize.
NTSTATUS ShapeResource(OhciController* controller, isorx::OpenRecord* open, bool packetBased, ULONG maxBufferSize,
                       isorx::StreamShape* shape) {
    const ULONG streamBase = packetBased ? 0 : 1;
    open->Packets = 1;
    NTSTATUS status = isorx::ShapeStream(*open, streamBase, controller->IsoRxMapRegisters, shape);
    if (!NT_SUCCESS(status)) return status;
    open->Packets = maxBufferSize / shape->PacketBytes;
    if (open->Packets == 0 || open->Packets > isorx::kMaxPackets) return STATUS_INVALID_PARAMETER;
    return isorx::ShapeStream(*open, streamBase, controller->IsoRxMapRegisters, shape);
}

// The engine's view of a descriptor: sy on the first packet, the tag accepted, where to start.
isorx::BufferRecord BufferOf(const ISOCH_DESCRIPTOR& d) {
    isorx::BufferRecord buffer;
    RtlZeroMemory(&buffer, sizeof(buffer));
    buffer.SyncKind = 1;
    buffer.Sync = (d.fulFlags & DESCRIPTOR_SYNCH_ON_SY) != 0 ? d.ulSynch & 0xF : isorx::kNoSync;
    buffer.TagMask = (d.fulFlags & DESCRIPTOR_SYNCH_ON_TAG) != 0 ? 1u << (d.ulTag & 3) : 0xF;
    return buffer;
}

// Attaches `count` descriptors, all or none.
NTSTATUS AttachDescriptors(ClassResource* resource, ISOCH_DESCRIPTOR* descriptors, ULONG count) {
    // A buffer (and its MDL) must hold what one buffer of the stream receives: the controller
    // writes that much, whatever the caller says.
    for (ULONG i = 0; i < count; ++i) {
        const ISOCH_DESCRIPTOR& d = descriptors[i];
        if (d.Mdl == nullptr || d.ulLength < resource->FrameBytes || MmGetMdlByteCount(d.Mdl) < d.ulLength)
            return STATUS_INVALID_PARAMETER;
    }
    KeWaitForSingleObject(ContextMutex(resource), Executive, KernelMode, FALSE, nullptr);
    isorx::Stream* stream = StreamOf(resource);
    NTSTATUS status = stream != nullptr ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
    ULONG attachedCount = 0;
    while (NT_SUCCESS(status) && attachedCount < count) {
        ISOCH_DESCRIPTOR* d = &descriptors[attachedCount];
        AttachedDescriptor* attached = AttachDescriptorCopy(resource, d);
        if (attached == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        bool stamp = (d->fulFlags & DESCRIPTOR_TIME_STAMP_ON_COMPLETION) != 0 ||
                     (resource->Flags & RESOURCE_TIME_STAMP_ON_COMPLETION) != 0;
        ULONG cycle = (d->fulFlags & DESCRIPTOR_SYNCH_ON_TIME) != 0 ? CycleTimeMatchField(d->CycleTime)
                                                                   : isorx::kNoCycleMatch;
        status = isorx::AttachKernelBuffer(stream, d->Mdl, BufferOf(*d), cycle, stamp, attached);
        if (!NT_SUCCESS(status)) {
            KIRQL irql;
            KeAcquireSpinLock(&resource->Lock, &irql);
            RemoveEntryList(&attached->Links);
            KeReleaseSpinLock(&resource->Lock, irql);
            FreeTaggedPool(attached, kTagAttached);
            break;
        }
        ++attachedCount;
    }
    if (NT_SUCCESS(status))
        isorx::RequestFinish(stream);
    else
        DetachDescriptors(resource, descriptors, attachedCount);
    KeReleaseMutex(ContextMutex(resource), FALSE);
    return status;
}

}  // namespace

NTSTATUS ClassAllocateBandwidth(ChildDeviceExtension* child, IRB* irb) {
    OhciController* controller = ControllerOf(child);
    IRB_REQ_ISOCH_ALLOCATE_BANDWIDTH& r = irb->u.IsochAllocateBandwidth;
    ULONG bytes = r.nMaxBytesPerFrameRequested;
    if (bytes == 0 || bytes > kMaxFrameBytes) return STATUS_INVALID_PARAMETER;
    auto* record = static_cast<BandwidthRecord*>(AllocateZeroedPool(sizeof(BandwidthRecord), kTagBandwidth));
    if (record == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    record->Speed = UCHAR(SpeedCodeOfFlag(r.fulSpeed));
    record->BytesPerFrame = bytes;
    record->Owner = child->Self;
    ULONG units = UnitsOf(record);
    if (!AllocateBandwidth(controller, units, &record->Generation)) {
        FreeTaggedPool(record, kTagBandwidth);
        return STATUS_UNSUCCESSFUL;
    }
    KIRQL irql;
    KeAcquireSpinLock(&controller->ClassIsochLock, &irql);
    InsertTailList(&controller->ClassBandwidthList, &record->Links);
    KeReleaseSpinLock(&controller->ClassIsochLock, irql);
    child->BandwidthHandle = record;
    r.hBandwidth = record;
    r.SpeedSelected = SpeedFlagFromCode(record->Speed);
    r.BytesPerFrameAvailable = BytesAvailable(controller, record->Speed, nullptr);
    r.nBandwidthUnitsRequired = units;
    return STATUS_SUCCESS;
}

NTSTATUS ClassFreeBandwidth(ChildDeviceExtension* child, IRB* irb) {
    OhciController* controller = ControllerOf(child);
    KIRQL irql;
    KeAcquireSpinLock(&controller->ClassIsochLock, &irql);
    BandwidthRecord* found = FindBandwidth(controller, child, irb->u.IsochFreeBandwidth.hBandwidth);
    if (found != nullptr) {
        RemoveEntryList(&found->Links);
        ReleaseBandwidth(controller, UnitsOf(found), found->Generation);
        if (child->BandwidthHandle == found) child->BandwidthHandle = nullptr;
    }
    KeReleaseSpinLock(&controller->ClassIsochLock, irql);
    FreeTaggedPool(found, kTagBandwidth);
    return STATUS_SUCCESS;   // a handle not (or no longer) on the list changes nothing
}

NTSTATUS ClassSetChannelBandwidth(ChildDeviceExtension* child, IRB* irb) {
    OhciController* controller = ControllerOf(child);
    IRB_REQ_ISOCH_SET_CHANNEL_BANDWIDTH& r = irb->u.IsochSetChannelBandwidth;
    if (r.nMaxBytesPerFrame == 0 || r.nMaxBytesPerFrame > kMaxFrameBytes) return STATUS_INVALID_PARAMETER;
    KIRQL irql;
    KeAcquireSpinLock(&controller->ClassIsochLock, &irql);
    BandwidthRecord* found = FindBandwidth(controller, child, r.hBandwidth);
    NTSTATUS status = STATUS_INVALID_HANDLE;
    if (found != nullptr) {
        ULONG units = isorx::BandwidthUnits(r.nMaxBytesPerFrame, found->Speed);
        r.nBandwidthUnitsRequired = units;
        // Refused: the allocation keeps its old size and its units.
        status = ReplaceBandwidth(controller, UnitsOf(found), units, &found->Generation) ? STATUS_SUCCESS
                                                                                          : STATUS_INVALID_PARAMETER;
        if (NT_SUCCESS(status)) found->BytesPerFrame = r.nMaxBytesPerFrame;
    }
    KeReleaseSpinLock(&controller->ClassIsochLock, irql);
    return status;
}

NTSTATUS ClassAllocateChannel(ChildDeviceExtension* child, IRB* irb) {
    OhciController* controller = ControllerOf(child);
    IRB_REQ_ISOCH_ALLOCATE_CHANNEL& r = irb->u.IsochAllocateChannel;
    ULONG requested = r.nRequestedChannel;
    if (requested != ISOCH_ANY_CHANNEL && requested > isorx::kMaxChannel) return STATUS_INVALID_PARAMETER;
    // A specific channel that is taken gives way to the lowest free one.
    ULONG chosen = ISOCH_ANY_CHANNEL;
    if (requested != ISOCH_ANY_CHANNEL && UpdateChannel(controller, requested, true)) chosen = requested;
    for (ULONG c = 0; chosen == ISOCH_ANY_CHANNEL && c <= isorx::kMaxChannel; ++c)
        if (UpdateChannel(controller, c, true)) chosen = c;
    ULONGLONG channels = 0;
    (void)AvailableBandwidth(controller, &channels);
    r.ChannelsAvailable.QuadPart = LONGLONG(channels);
    r.Channel = chosen;
    // No channel free is a failure; the channel number is then meaningless.
    return chosen == ISOCH_ANY_CHANNEL ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS;
}

NTSTATUS ClassFreeChannel(ChildDeviceExtension* child, IRB* irb) {
    ULONG channel = irb->u.IsochFreeChannel.nChannel;
    if (channel > isorx::kMaxChannel) return STATUS_INVALID_PARAMETER;
    // A channel already free (a bus reset renews the books) stays free.
    (void)UpdateChannel(ControllerOf(child), channel, false);
    return STATUS_SUCCESS;
}

NTSTATUS ClassQueryResources(ChildDeviceExtension* child, IRB* irb) {
    IRB_REQ_ISOCH_QUERY_RESOURCES& r = irb->u.IsochQueryResources;
    ULONGLONG channels = 0;
    r.BytesPerFrameAvailable = BytesAvailable(ControllerOf(child), SpeedCodeOfFlag(r.fulSpeed), &channels);
    r.ChannelsAvailable.QuadPart = LONGLONG(channels);
    return STATUS_SUCCESS;
}

NTSTATUS ClassAllocateResources(ChildDeviceExtension* child, IRB* irb) {
    OhciController* controller = ControllerOf(child);
    IRB_REQ_ISOCH_ALLOCATE_RESOURCES& r = irb->u.IsochAllocateResources;
    r.hResource = nullptr;
    isorx::OpenRecord open;
    isorx::StreamShape shape;
    bool packetBased = false;
    NTSTATUS status = ReadResourceRequest(r, &open, &packetBased);
    if (NT_SUCCESS(status)) status = ShapeResource(controller, &open, packetBased, r.nMaxBufferSize, &shape);
    if (!NT_SUCCESS(status)) return status;
    auto* resource = static_cast<ClassResource*>(AllocateZeroedPool(sizeof(ClassResource), kTagResource));
    if (resource == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    KeInitializeSpinLock(&resource->Lock);
    InitializeListHead(&resource->Attached);
    resource->References = 1;
    resource->Flags = r.fulFlags;
    resource->Controller = controller;
    resource->FrameBytes = shape.DataTotal;
    // One resource per child: the record is the child's before its stream is opened.
    KIRQL irql;
    KeAcquireSpinLock(&controller->ClassIsochLock, &irql);
    bool busy = child->IsochResource != nullptr;
    if (!busy) child->IsochResource = resource;
    KeReleaseSpinLock(&controller->ClassIsochLock, irql);
    if (busy) {
        FreeTaggedPool(resource, kTagResource);
        return STATUS_UNSUCCESSFUL;
    }
    isorx::KernelCaller caller = {CompleteClassFrame, ClassStreamClosed, resource};
    isorx::Stream* stream = nullptr;
    status = OpenKernelStream(controller, open, shape, caller, &stream);
    if (!NT_SUCCESS(status)) {
        (void)UnlinkResource(child, nullptr, true);
        DropResource(resource);
        return status;
    }
    // A teardown of the controller (surprise removal) may have closed the stream already.
    KeAcquireSpinLock(&resource->Lock, &irql);
    bool gone = resource->StreamGone != FALSE;
    if (!gone) {
        resource->Stream = stream;
        resource->Context = stream->Context;
    }
    KeReleaseSpinLock(&resource->Lock, irql);
    if (gone) {
        (void)UnlinkResource(child, nullptr, true);
        DropResource(resource);
        return STATUS_NO_SUCH_DEVICE;
    }
    ULONG handle = NextResourceHandle(controller);
    KeAcquireSpinLock(&controller->ClassIsochLock, &irql);
    resource->Handle = handle;
    KeReleaseSpinLock(&controller->ClassIsochLock, irql);
    child->ResourceHandle = handle;
    r.hResource = reinterpret_cast<HANDLE>(ULONG_PTR(handle));
    return STATUS_SUCCESS;
}

NTSTATUS ClassFreeResources(ChildDeviceExtension* child, IRB* irb) {
    ClassResource* resource = UnlinkResource(child, irb->u.IsochFreeResources.hResource, false);
    if (resource == nullptr) return STATUS_INVALID_HANDLE;
    CloseResource(resource);
    child->Listening = 0;
    child->ResourceHandle = 0;
    DropResource(resource);
    return STATUS_SUCCESS;
}

namespace {

// Attach and detach: at least one descriptor, and the child's own resource (referenced).
NTSTATUS BufferRequestResource(ChildDeviceExtension* child, const IRB_REQ_ISOCH_ATTACH_BUFFERS& r,
                               ClassResource** resource) {
    if (r.nNumberOfDescriptors == 0 || r.pIsochDescriptor == nullptr) return STATUS_INVALID_PARAMETER;
    *resource = FindIsochResource(child, r.hResource);
    return *resource != nullptr ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}

}  // namespace

NTSTATUS ClassAttachBuffers(ChildDeviceExtension* child, IRB* irb) {
    IRB_REQ_ISOCH_ATTACH_BUFFERS& r = irb->u.IsochAttachBuffers;
    ClassResource* resource = nullptr;
    NTSTATUS status = BufferRequestResource(child, r, &resource);
    if (!NT_SUCCESS(status)) return status;
    status = AttachDescriptors(resource, r.pIsochDescriptor, r.nNumberOfDescriptors);
    DropResource(resource);
    return status;
}

NTSTATUS ClassDetachBuffers(ChildDeviceExtension* child, IRB* irb) {
    IRB_REQ_ISOCH_DETACH_BUFFERS& r = irb->u.IsochDetachBuffers;
    ClassResource* resource = nullptr;
    NTSTATUS status = BufferRequestResource(child, r, &resource);
    if (!NT_SUCCESS(status)) return status;
    // A descriptor that is not attached changes nothing.
    DetachDescriptors(resource, r.pIsochDescriptor, r.nNumberOfDescriptors);
    DropResource(resource);
    return STATUS_SUCCESS;
}

NTSTATUS ClassListen(ChildDeviceExtension* child, IRB* irb) {
    IRB_REQ_ISOCH_LISTEN& r = irb->u.IsochListen;
    ClassResource* resource = FindIsochResource(child, r.hResource);
    if (resource == nullptr) return STATUS_INVALID_HANDLE;
    KeWaitForSingleObject(ContextMutex(resource), Executive, KernelMode, FALSE, nullptr);
    isorx::Stream* stream = StreamOf(resource);
    NTSTATUS status = STATUS_INVALID_HANDLE;
    if (stream != nullptr) {
        // A resource that synchronises on time starts at the cycle of StartTime.
        ULONG cycle = (resource->Flags & RESOURCE_SYNCH_ON_TIME) != 0 ? CycleTimeMatchField(r.StartTime)
                                                                       : isorx::kNoCycleMatch;
        status = isorx::ListenStream(stream, cycle);
        if (NT_SUCCESS(status)) child->Listening = 1;
    }
    KeReleaseMutex(ContextMutex(resource), FALSE);
    DropResource(resource);
    return status;
}

NTSTATUS ClassStop(ChildDeviceExtension* child, IRB* irb) {
    ClassResource* resource = FindIsochResource(child, irb->u.IsochStop.hResource);
    if (resource == nullptr) return STATUS_INVALID_HANDLE;
    // Every attached buffer ends with STATUS_CANCELLED (its callback runs) before the stop completes.
    KeWaitForSingleObject(ContextMutex(resource), Executive, KernelMode, FALSE, nullptr);
    isorx::Stream* stream = StreamOf(resource);
    if (stream != nullptr) isorx::StopKernelStream(stream);
    child->Listening = 0;
    KeReleaseMutex(ContextMutex(resource), FALSE);
    DropResource(resource);
    return STATUS_SUCCESS;
}

namespace bus {

void ReleaseChildIsochRecords(ControllerDeviceExtension* extension, PDEVICE_OBJECT device) {
    OhciController* controller = &extension->Controller;
    ChildDeviceExtension* child = ChildExtension(device);
    ClassResource* resource = UnlinkResource(child, nullptr, true);
    if (resource != nullptr) {
        CloseResource(resource);
        DropResource(resource);
    }
    child->ResourceHandle = 0;
    child->Listening = 0;
    // Every bandwidth allocation of the child goes back to the books.
    LIST_ENTRY released;
    KIRQL irql;
    KeAcquireSpinLock(&controller->ClassIsochLock, &irql);
    TakeMatchingEntries(&controller->ClassBandwidthList, &released, [controller, device](PLIST_ENTRY e) {
        auto* record = CONTAINING_RECORD(e, BandwidthRecord, Links);
        if (record->Owner != device) return false;
        ReleaseBandwidth(controller, UnitsOf(record), record->Generation);
        return true;
    });
    KeReleaseSpinLock(&controller->ClassIsochLock, irql);
    child->BandwidthHandle = nullptr;
    while (!IsListEmpty(&released))
        FreeTaggedPool(CONTAINING_RECORD(RemoveHeadList(&released), BandwidthRecord, Links), kTagBandwidth);
}

}  // namespace bus
