#include "iso_rx.h"

#include "core/controller.h"
#include "core/hooks.h"
#include "ohci/ohci_registers.h"
#include "ohci/pool_tags.h"

namespace isorx {

namespace {

// IR ContextControl mode bits (OHCI 1.1, 10.3.1).
constexpr ULONG kBufferFill = 0x80000000u;
constexpr ULONG kIsochHeader = 0x40000000u;
constexpr ULONG kDualBufferMode = 0x08000000u;
// DUALBUFFER descriptor (OHCI 1.1, 10.1.3): 32 bytes, control s = 1, b = 3 over firstSize.
constexpr ULONG kDualBuffer = 0x080C0000u;
constexpr ULONG kDualDescriptorBytes = 32;
constexpr ULONG kDualZ = 2;
// Descriptor control values: INPUT_MORE and INPUT_LAST with s = 1, b = 3, i = 3, w = 3.
constexpr ULONG kInputMore = 0x28000000u;
constexpr ULONG kInputLast = 0x38000000u;
constexpr ULONG kBranchAlways = 0x000C0000u;
constexpr ULONG kInterruptAlways = 0x00300000u;
constexpr ULONG kWaitForSync = 0x00030000u;
constexpr ULONG kCycleMatchEnable = 0x20000000u;
constexpr ULONG kCycleMatchShift = 12;
constexpr ULONG kCycleMatchMask = 0x7FFFu;
constexpr ULONG kMarker = 0x0011u;        // xferStatus preset on the status quadlet: nothing stored yet
constexpr ULONG kTrailerBytes = 4;
constexpr ULONG kDescriptorBytes = 16;
constexpr ULONG kStopRetries = 10000;
constexpr ULONG kStopStallUs = 125;
constexpr LONGLONG kRetryRelative = -10000;     // 1 ms
constexpr LONGLONG kOneMs100ns = 10000;
constexpr ULONG kContextStatusUnknownError = 14;

ULONG Base(ULONG n) { return ohci::IsoRecvContextBase(n); }

PUCHAR UserPointer(ULONGLONG address) { return reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(address)); }

// --- Context registers ---------------------------------------------------------------------------

void StopIrContext(OhciController* controller, ULONG n) {
    constexpr ULONG kRunWake = ohci::kContextRun | ohci::kContextWake;
    const ULONG clear = Base(n) + ohci::kContextControlClear;
    WriteRegister(controller, clear, kRunWake);
    for (ULONG retry = 0; retry < kStopRetries; ++retry) {
        if (controller->Registers.RegisterBase == nullptr) return;
        if (!(ReadRegisterValue(controller, clear) & ohci::kContextActive)) return;
        WriteRegister(controller, clear, kRunWake);
        KeStallExecutionProcessor(kStopStallUs);
    }
}

void QuiesceContext(OhciController* controller, ULONG n) {
    WriteRegister(controller, ohci::kIsoRecvIntMaskClear, 1u << n);
    StopIrContext(controller, n);
    WriteRegister(controller, Base(n) + ohci::kContextCommandPtr, 0);
}

void SelectChannel(OhciController* controller, ULONG channel, bool on) {
    ULONG bit = 1u << (channel % 32);
    if (on) {
        ULONG set = channel < 32 ? ohci::kIRMultiChanMaskLoSet : ohci::kIRMultiChanMaskHiSet;
        WriteRegister(controller, set, ReadRegisterValue(controller, set) | bit);
    } else {
        WriteRegister(controller, channel < 32 ? ohci::kIRMultiChanMaskLoClear : ohci::kIRMultiChanMaskHiClear, bit);
    }
    (void)ReadRegisterValue(controller, ohci::kIsochronousCycleTimer);
}

// --- Descriptor areas ----------------------------------------------------------------------------

void FreeArea(DescriptorArea* area) {
    if (area->Pages == nullptr) return;
    for (ULONG i = 0; i < area->PageCount; ++i) FreeCommonBuffer(&area->Pages[i]);
    FreeTaggedPool(area->Pages, kTagIsoAreaPages);
    area->Pages = nullptr;
    area->PageCount = 0;
}

bool AllocateArea(PDMA_ADAPTER adapter, ULONG pages, DescriptorArea* area) {
    area->Pages = static_cast<CommonBuffer*>(AllocateZeroedPool(sizeof(CommonBuffer) * pages, kTagIsoAreaPages));
    if (area->Pages == nullptr) return false;
    area->PageCount = pages;
    for (ULONG i = 0; i < pages; ++i)
        if (!AllocateCommonBuffer(adapter, kPageBytes, &area->Pages[i])) return false;
    return true;
}

// Descriptor `slot` of packet block `block` of an area: its host address and bus address.
PULONG Slot(const Stream* stream, const DescriptorArea* area, ULONG block, ULONG slot, ULONG* bus) {
    const StreamShape& shape = stream->Shape;
    ULONG page = block / shape.PacketsPerPage;
    ULONG offset = (block % shape.PacketsPerPage) * shape.BlockSlots * kDescriptorBytes + slot * kDescriptorBytes;
    *bus = area->Pages[page].Logical + offset;
    return reinterpret_cast<PULONG>(static_cast<PUCHAR>(area->Pages[page].Virtual) + offset);
}

LONG LendArea(Stream* stream) {
    for (ULONG i = 0; i < stream->AreaCount; ++i)
        if (!(stream->AreaMask & (1u << i))) {
            stream->AreaMask |= 1u << i;
            return LONG(i);
        }
    return -1;
}

void ReturnArea(Stream* stream, LONG area) {
    if (area >= 0) stream->AreaMask &= ~(1u << ULONG(area));
}

// --- Mappings of caller buffers ------------------------------------------------------------------

struct MapCursor {
    PMDL* Mdls;
    PSCATTER_GATHER_LIST* Lists;
    ULONG* Mapped;
    ULONG Chunks;
    PKEVENT Done;
};

// Gives a kept mapping's scatter/gather lists back to the adapter (dispatch level).
void PutKeptLists(PDMA_ADAPTER adapter, MappedBuffer* m) {
    PSCATTER_GATHER_LIST* arrays[2] = {m->DataLists, m->HeaderLists};
    const ULONG counts[2] = {m->DataChunks, m->HeaderChunks};
    for (ULONG a = 0; a < 2; ++a) {
        for (ULONG i = 0; i < counts[a]; ++i) {
            if (arrays[a][i] != nullptr) adapter->DmaOperations->PutScatterGatherList(adapter, arrays[a][i], FALSE);
            arrays[a][i] = nullptr;
        }
    }
}

// The request's buffer arrays go back to its kept mapping, which stays locked for the next attach.
// Its scatter/gather lists are given back now (dispatch level): where the adapter bounces a
// transfer through buffers of its own (a 32-bit adapter, memory above 4 GB), that is when the
// data reaches the buffer's pages. The next attach asks for the lists again.
void ReturnMapping(Request* request) {
    PutKeptLists(request->Owner->Adapter, request->Mapping);
    InterlockedExchange(&request->Mapping->InUse, 0);
    request->Mapping = nullptr;
    request->DataMdls = nullptr;
    request->DataLists = nullptr;
    request->DataChunks = 0;
    request->HeaderMdls = nullptr;
    request->HeaderLists = nullptr;
    request->HeaderChunks = 0;
    request->DataViews = nullptr;
    request->HeaderViews = nullptr;
}

void ReleaseMappingsLocked(Request* request) {
    if (request->Ring) return;   // the driver's own pages stay with the ring entry
    if (request->Mapping != nullptr) {
        ReturnMapping(request);
        return;
    }
    PDMA_ADAPTER adapter = request->Owner->Adapter;
    for (ULONG i = 0; i < request->DataChunks; ++i) {
        if (request->DataLists[i] != nullptr) adapter->DmaOperations->PutScatterGatherList(adapter, request->DataLists[i], FALSE);
        request->DataLists[i] = nullptr;
        if (request->DataMdls[i] != nullptr && request->CallerMdl == nullptr) {
            MmUnlockPages(request->DataMdls[i]);
            IoFreeMdl(request->DataMdls[i]);
        }
        request->DataMdls[i] = nullptr;
    }
    for (ULONG i = 0; i < request->HeaderChunks; ++i) {
        if (request->HeaderLists[i] != nullptr)
            adapter->DmaOperations->PutScatterGatherList(adapter, request->HeaderLists[i], FALSE);
        request->HeaderLists[i] = nullptr;
        if (request->HeaderMdls[i] != nullptr) {
            MmUnlockPages(request->HeaderMdls[i]);
            IoFreeMdl(request->HeaderMdls[i]);
            request->HeaderMdls[i] = nullptr;
        }
    }
}

// Gives back every list and unlocks every page of the request's buffers; idempotent.
void ReleaseMappings(Request* request) {
    KIRQL irql;
    KeAcquireSpinLock(&request->BuildLock, &irql);
    ReleaseMappingsLocked(request);
    KeReleaseSpinLock(&request->BuildLock, irql);
}

void FreeRingPages(Request* request) {
    if (request->RingPages != nullptr) {
        for (ULONG i = 0; i < request->RingDataPages + request->RingHeaderPages; ++i) FreeCommonBuffer(&request->RingPages[i]);
        FreeTaggedPool(request->RingPages, kTagIsoRing);
    }
    for (PSCATTER_GATHER_LIST list : request->RingLists) FreeTaggedPool(list, kTagIsoRing);
}

void FreeRequest(Request* request) {
    if (request->Ring) FreeRingPages(request);
    ReleaseMappings(request);
    FreeTaggedPool(request->DataViews, kTagIsoMappings);
    if (request->DataMdls != nullptr) FreeTaggedPool(request->DataMdls, kTagIsoMappings);
    if (request->HeaderMdls != nullptr) FreeTaggedPool(request->HeaderMdls, kTagIsoMappings);
    if (request->StatusMdl != nullptr) {
        MmUnlockPages(request->StatusMdl);
        IoFreeMdl(request->StatusMdl);
    }
    FreeToLookaside(&request->Owner->Controller->IsoRxRequests, request);
}

// The caller's event still holds an earlier completion: the next one waits (user streams only).
bool CallerBusy(const Stream* stream) { return stream->Event != nullptr && KeReadStateEvent(stream->Event) != 0; }

// Scatter/gather completion: stores the list of the chunk asked for and wakes the attach.
void ListReady(PDEVICE_OBJECT DeviceObject, PIRP Irp, PSCATTER_GATHER_LIST ScatterGather, PVOID Context);

NTSTATUS RequestList(Request* request, bool header) {
    Stream* stream = request->Owner;
    ULONG index = header ? request->HeaderMapped : request->DataMapped;
    PMDL mdl = header ? request->HeaderMdls[index] : request->DataMdls[index];
    PUCHAR va = static_cast<PUCHAR>(MmGetMdlVirtualAddress(mdl));
    ULONG length = MmGetMdlByteCount(mdl);
    if (request->CallerMdl != nullptr) {
        // Every chunk is a piece of the caller's one MDL.
        ULONG offset = index * request->DataChunkBytes;
        va += offset;
        length = stream->Shape.DataTotal - offset < request->DataChunkBytes ? stream->Shape.DataTotal - offset
                                                                             : request->DataChunkBytes;
    }
    // The context of the completion is the request; the kind of buffer is told by which of the two
    // list arrays still has room (data lists are asked for first, headers after, one at a time).
    return stream->Adapter->DmaOperations->GetScatterGatherList(stream->Adapter, stream->Controller->PhysicalDeviceObject,
                                                                mdl, va, length, ListReady, request, FALSE);
}

void ListReady(PDEVICE_OBJECT DeviceObject, PIRP Irp, PSCATTER_GATHER_LIST ScatterGather, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    auto* request = static_cast<Request*>(Context);
    if (request->DataMapped < request->DataChunks) request->DataLists[request->DataMapped++] = ScatterGather;
    else request->HeaderLists[request->HeaderMapped++] = ScatterGather;
    KeSetEvent(&request->MapEvent, IO_NO_INCREMENT, FALSE);
}

// Locks `total` bytes at `address` in chunks of `chunk` bytes for the device to write.
NTSTATUS LockChunks(ULONGLONG address, ULONG total, ULONG chunk, PMDL* mdls, ULONG chunks) {
    for (ULONG i = 0; i < chunks; ++i) {
        ULONG offset = i * chunk;
        ULONG length = total - offset < chunk ? total - offset : chunk;
        PMDL mdl = IoAllocateMdl(UserPointer(address + offset), length, FALSE, FALSE, nullptr);
        if (mdl == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        NTSTATUS status = KxProbeAndLockPages(mdl, UserMode, IoWriteAccess);
        if (!NT_SUCCESS(status)) {
            IoFreeMdl(mdl);
            return status;
        }
        mdls[i] = mdl;
    }
    return STATUS_SUCCESS;
}

// Two arrays of `chunks` pointers in one block: the MDLs, then the lists.
bool AllocatePieceArrays(ULONG chunks, PMDL** mdls, PSCATTER_GATHER_LIST** lists) {
    if (chunks == 0) return true;
    auto* block = static_cast<PVOID*>(AllocateZeroedPool(sizeof(PVOID) * 2 * chunks, kTagIsoMappings));
    if (block == nullptr) return false;
    *mdls = reinterpret_cast<PMDL*>(block);
    *lists = reinterpret_cast<PSCATTER_GATHER_LIST*>(block + chunks);
    return true;
}

// Bytes of one mapped piece of a caller's data or header buffer. Copy mode maps a buffer for the
// processor alone: one piece, no map registers involved.
ULONG DataChunkOf(const Stream* stream) { return stream->CopyMode ? stream->Shape.DataTotal : stream->Shape.DataChunk; }
ULONG HeaderChunkOf(const Stream* stream) {
    return stream->CopyMode ? stream->Shape.HeaderTotal : stream->Shape.HeaderChunk;
}

// The arrays of the request's data (and header) chunks.
bool PrepareChunks(Request* request, bool header) {
    const Stream* stream = request->Owner;
    const StreamShape& shape = stream->Shape;
    const ULONG dataChunk = DataChunkOf(stream);
    const ULONG headerChunk = HeaderChunkOf(stream);
    ULONG dataChunks = (shape.DataTotal + dataChunk - 1) / dataChunk;
    ULONG headerChunks = header ? (shape.HeaderTotal + headerChunk - 1) / headerChunk : 0;
    if (!AllocatePieceArrays(dataChunks, &request->DataMdls, &request->DataLists) ||
        !AllocatePieceArrays(headerChunks, &request->HeaderMdls, &request->HeaderLists))
        return false;
    request->DataChunks = dataChunks;
    request->HeaderChunks = headerChunks;
    request->DataChunkBytes = dataChunk;
    request->HeaderChunkBytes = headerChunk;
    return true;
}

// The system address of a chunk: of its own locked MDL, or of its piece of the caller's MDL.
PUCHAR ChunkView(Request* request, ULONG i) {
    if (request->CallerMdl == nullptr) {
        PMDL mdl = i < request->DataChunks ? request->DataMdls[i] : request->HeaderMdls[i - request->DataChunks];
        return static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
    }
    auto* base = static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(request->CallerMdl, NormalPagePriority));
    return base != nullptr ? base + SIZE_T(i) * request->DataChunkBytes : nullptr;
}

// Copy mode: system mappings of the chunks; direct mode: a scatter/gather list per chunk.
NTSTATUS MapChunks(Request* request) {
    const ULONG dataChunks = request->DataChunks;
    const ULONG headerChunks = request->HeaderChunks;
    if (request->Owner->CopyMode) {
        // Frames are copied into the buffer at dispatch level, in whatever process runs then:
        // through system mappings of the locked pages, never through the program's addresses.
        request->DataViews = static_cast<PUCHAR*>(AllocateZeroedPool(sizeof(PUCHAR) * (dataChunks + headerChunks),
                                                                     kTagIsoMappings));
        if (request->DataViews == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        request->HeaderViews = request->DataViews + dataChunks;
        for (ULONG i = 0; i < dataChunks + headerChunks; ++i) {
            request->DataViews[i] = ChunkView(request, i);
            if (request->DataViews[i] == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        }
        return STATUS_SUCCESS;
    }
    // One chunk at a time: the adapter calls ListReady inline when map registers are free (else
    // later, from its DPC). Asking for the next chunk from ListReady itself would nest a HAL call
    // and a callback per chunk on the kernel stack, which a buffer of many chunks overflows.
    KeInitializeEvent(&request->MapEvent, SynchronizationEvent, FALSE);
    for (ULONG i = 0; i < dataChunks + headerChunks; ++i) {
        KIRQL irql;
        KeRaiseIrql(DISPATCH_LEVEL, &irql);
        NTSTATUS status = RequestList(request, i >= dataChunks);
        KeLowerIrql(irql);
        if (!NT_SUCCESS(status)) return status;
        KeWaitForSingleObject(&request->MapEvent, Executive, KernelMode, FALSE, nullptr);
    }
    return STATUS_SUCCESS;
}

// --- Kept mappings ---------------------------------------------------------------------------------

ULONGLONG HeaderKey(const Stream* stream, const Request* request) {
    return stream->Shape.HeaderTotal != 0 ? request->Buffer.HeaderBuffer : 0;
}

// Gives the request the idle kept mapping of its buffer, if there is one.
bool AdoptMapping(Stream* stream, Request* request) {
    if (PsGetCurrentProcess() != stream->Owner) return false;
    const ULONGLONG header = HeaderKey(stream, request);
    MappedBuffer* found = nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&stream->Lock, &irql);
    for (LIST_ENTRY* e = stream->Mappings.Flink; e != &stream->Mappings && found == nullptr; e = e->Flink) {
        auto* m = CONTAINING_RECORD(e, MappedBuffer, Link);
        if (m->InUse == 0 && m->Data == request->Buffer.DataBuffer && m->Header == header) found = m;
    }
    if (found != nullptr) {
        found->InUse = 1;
        RemoveEntryList(&found->Link);
        InsertTailList(&stream->Mappings, &found->Link);
    }
    KeReleaseSpinLock(&stream->Lock, irql);
    if (found == nullptr) return false;
    request->Mapping = found;
    request->DataMdls = found->DataMdls;
    request->DataLists = found->DataLists;
    request->DataChunks = request->DataMapped = found->DataChunks;
    request->HeaderMdls = found->HeaderMdls;
    request->HeaderLists = found->HeaderLists;
    request->HeaderChunks = request->HeaderMapped = found->HeaderChunks;
    request->DataChunkBytes = DataChunkOf(stream);
    request->HeaderChunkBytes = HeaderChunkOf(stream);
    request->DataViews = found->Views;
    request->HeaderViews = found->Views != nullptr ? found->Views + found->DataChunks : nullptr;
    return true;
}

// A secure handle is the owner's: released in its context, attached to it when the stream ends
// elsewhere (the client's watch thread after the program unregistered, another program closing
// the stream). A process that has ended took its secured ranges with its address space.
void UnsecureKept(Stream* stream, MappedBuffer* m) {
    if (m->Secured[0] == nullptr && m->Secured[1] == nullptr) return;
    PEPROCESS owner = stream->Owner;
    const bool inOwner = PsGetCurrentProcess() == owner;
    if (!inOwner && PsGetProcessExitStatus(owner) != STATUS_PENDING) return;
    KAPC_STATE attached;
    if (!inOwner) KeStackAttachProcess(owner, &attached);
    for (HANDLE secured : m->Secured)
        if (secured != nullptr) MmUnsecureVirtualMemory(secured);
    if (!inOwner) KeUnstackDetachProcess(&attached);
}

// Unlocks a kept mapping no request holds, unsecures it and frees it. Passive level.
void ReleaseKept(Stream* stream, MappedBuffer* m) {
    PDMA_ADAPTER adapter = stream->Adapter;
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    PutKeptLists(adapter, m);
    KeLowerIrql(irql);
    for (ULONG i = 0; i < m->DataChunks; ++i) {
        MmUnlockPages(m->DataMdls[i]);
        IoFreeMdl(m->DataMdls[i]);
    }
    for (ULONG i = 0; i < m->HeaderChunks; ++i) {
        MmUnlockPages(m->HeaderMdls[i]);
        IoFreeMdl(m->HeaderMdls[i]);
    }
    UnsecureKept(stream, m);
    FreeTaggedPool(m->Views, kTagIsoMappings);
    FreeTaggedPool(m->DataMdls, kTagIsoMappings);
    FreeTaggedPool(m->HeaderMdls, kTagIsoMappings);
    FreeTaggedPool(m, kTagIsoMappings);
}

// Releases the kept mappings no request holds, all of them or the oldest beyond `keep`. Passive.
void DropMappings(Stream* stream, ULONG keep) {
    LIST_ENTRY dropped;
    InitializeListHead(&dropped);
    KIRQL irql;
    KeAcquireSpinLock(&stream->Lock, &irql);
    ULONG idle = 0;
    for (LIST_ENTRY* e = stream->Mappings.Flink; e != &stream->Mappings; e = e->Flink)
        if (CONTAINING_RECORD(e, MappedBuffer, Link)->InUse == 0) ++idle;
    for (LIST_ENTRY* e = stream->Mappings.Flink; e != &stream->Mappings && idle > keep;) {
        auto* m = CONTAINING_RECORD(e, MappedBuffer, Link);
        e = e->Flink;
        if (m->InUse != 0) continue;
        RemoveEntryList(&m->Link);
        InsertTailList(&dropped, &m->Link);
        --idle;
    }
    KeReleaseSpinLock(&stream->Lock, irql);
    while (!IsListEmpty(&dropped)) ReleaseKept(stream, CONTAINING_RECORD(RemoveHeadList(&dropped), MappedBuffer, Link));
}

// Keeps the request's fresh mapping for the buffer's next attach: secures the buffer (so the
// program cannot free it while it stays locked) and hands the arrays to a MappedBuffer. Best
// effort: without a record or a secure handle the mapping simply goes with the request.
void KeepMapping(Stream* stream, Request* request) {
    if (PsGetCurrentProcess() != stream->Owner) return;
    const StreamShape& shape = stream->Shape;
    auto* m = static_cast<MappedBuffer*>(AllocateZeroedPool(sizeof(MappedBuffer), kTagIsoMappings));
    if (m == nullptr) return;
    m->Data = request->Buffer.DataBuffer;
    m->Header = request->HeaderChunks != 0 ? request->Buffer.HeaderBuffer : 0;
    m->Secured[0] = MmSecureVirtualMemory(UserPointer(m->Data), shape.DataTotal, PAGE_READWRITE);
    if (m->Header != 0 && m->Secured[0] != nullptr)
        m->Secured[1] = MmSecureVirtualMemory(UserPointer(m->Header), shape.HeaderTotal, PAGE_READWRITE);
    if (m->Secured[0] == nullptr || (m->Header != 0 && m->Secured[1] == nullptr)) {
        if (m->Secured[0] != nullptr) MmUnsecureVirtualMemory(m->Secured[0]);
        FreeTaggedPool(m, kTagIsoMappings);
        return;
    }
    m->DataMdls = request->DataMdls;
    m->DataLists = request->DataLists;
    m->DataChunks = request->DataChunks;
    m->HeaderMdls = request->HeaderMdls;
    m->HeaderLists = request->HeaderLists;
    m->HeaderChunks = request->HeaderChunks;
    m->Views = request->DataViews;
    m->InUse = 1;
    request->Mapping = m;
    KIRQL irql;
    KeAcquireSpinLock(&stream->Lock, &irql);
    InsertTailList(&stream->Mappings, &m->Link);
    KeReleaseSpinLock(&stream->Lock, irql);
    DropMappings(stream, kMaxIdleMappings);
}

// A user buffer: locked chunk by chunk in the caller's context, then mapped.
NTSTATUS LockAndMap(Request* request) {
    const StreamShape& shape = request->Owner->Shape;
    bool header = shape.HeaderTotal != 0 && request->Buffer.HeaderBuffer != 0;
    if (!PrepareChunks(request, header)) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = LockChunks(request->Buffer.DataBuffer, shape.DataTotal, request->DataChunkBytes,
                                 request->DataMdls, request->DataChunks);
    if (NT_SUCCESS(status) && header)
        status = LockChunks(request->Buffer.HeaderBuffer, shape.HeaderTotal, request->HeaderChunkBytes,
                            request->HeaderMdls, request->HeaderChunks);
    if (!NT_SUCCESS(status)) return status;
    return MapChunks(request);
}

// A user buffer: the kept mapping of an earlier attach, or locked and mapped afresh (and kept).
NTSTATUS MapRequest(Request* request) {
    Stream* stream = request->Owner;
    if (request->Buffer.DataBuffer == 0) return STATUS_INVALID_PARAMETER;
    if (AdoptMapping(stream, request)) {
        if (stream->CopyMode) return STATUS_SUCCESS;   // its system views stay
        request->DataMapped = 0;
        request->HeaderMapped = 0;
        return MapChunks(request);
    }
    NTSTATUS status = LockAndMap(request);
    if (NT_SUCCESS(status)) KeepMapping(stream, request);
    return status;
}

// A kernel caller's buffer: its MDL describes pages already locked (or non-paged). It is mapped
// for each attach and never kept: the caller owns the MDL and its pages.
NTSTATUS MapKernelRequest(Request* request) {
    if (!PrepareChunks(request, false)) return STATUS_INSUFFICIENT_RESOURCES;
    for (ULONG i = 0; i < request->DataChunks; ++i) request->DataMdls[i] = request->CallerMdl;
    return MapChunks(request);
}

// --- Input programs ------------------------------------------------------------------------------

// Walks the scatter/gather lists of a buffer mapped in chunks of whole packets.
struct PieceWalk {
    PSCATTER_GATHER_LIST* Lists;
    ULONG Chunks;
    ULONG Chunk;         // current chunk
    ULONG Element;
    ULONG Offset;        // within the element
    ULONG ChunkLeft;     // bytes of the current chunk not yet used
    ULONG ChunkBytes;
    ULONG Total;
    ULONG Used;          // bytes of the buffer before the current chunk

    void Start(PSCATTER_GATHER_LIST* lists, ULONG chunks, ULONG chunkBytes, ULONG total) {
        Lists = lists;
        Chunks = chunks;
        Chunk = 0;
        Element = 0;
        Offset = 0;
        ChunkBytes = chunkBytes;
        Total = total;
        Used = 0;
        ChunkLeft = total < chunkBytes ? total : chunkBytes;
    }
    // Moves to the next chunk when the current one cannot hold `bytes` more; false when none is left.
    bool Reserve(ULONG bytes) {
        if (ChunkLeft >= bytes) return true;
        Used += ChunkBytes;
        ++Chunk;
        Element = 0;
        Offset = 0;
        if (Chunk >= Chunks || Lists[Chunk] == nullptr) return false;
        ChunkLeft = Total - Used < ChunkBytes ? Total - Used : ChunkBytes;
        return ChunkLeft >= bytes;
    }
    // The next piece of at most `want` bytes of the current chunk.
    bool Take(ULONG want, ULONG* address, ULONG* length) {
        PSCATTER_GATHER_LIST list = Lists[Chunk];
        if (list == nullptr || Element >= list->NumberOfElements) return false;
        const SCATTER_GATHER_ELEMENT& element = list->Elements[Element];
        ULONG left = element.Length - Offset;
        *length = want < left ? want : left;
        *address = ULONG(element.Address.QuadPart) + Offset;
        Offset += *length;
        ChunkLeft -= *length;
        if (Offset == element.Length) {
            ++Element;
            Offset = 0;
        }
        return true;
    }
};

struct BlockWriter {
    PULONG Descriptors[kMaxBlockDescriptors];
    ULONG Bus[kMaxBlockDescriptors];
    ULONG Count;
};

void Put(PULONG d, ULONG control, ULONG address, ULONG branch, ULONG status) {
    d[0] = control;
    d[1] = address;
    d[2] = branch;
    d[3] = status;
}

// Adds the pieces of `bytes` bytes from a walk; false when the buffer has no room for them.
bool AddPieces(Stream* stream, const DescriptorArea* area, ULONG block, PieceWalk* walk, ULONG bytes, ULONG control,
               BlockWriter* writer) {
    if (!walk->Reserve(bytes)) return false;
    while (bytes != 0) {
        ULONG address = 0, length = 0;
        if (writer->Count + 1 >= kMaxBlockDescriptors || !walk->Take(bytes, &address, &length)) return false;
        ULONG slot = writer->Count++;
        writer->Descriptors[slot] = Slot(stream, area, block, slot, &writer->Bus[slot]);
        Put(writer->Descriptors[slot], control | length, address, 0, length);
        bytes -= length;
    }
    return true;
}

void AddScratch(Stream* stream, const DescriptorArea* area, ULONG block, ULONG control, ULONG bytes,
                BlockWriter* writer) {
    ULONG slot = writer->Count++;
    writer->Descriptors[slot] = Slot(stream, area, block, slot, &writer->Bus[slot]);
    Put(writer->Descriptors[slot], control | bytes, stream->Scratch.Logical, 0, bytes);
}

// A dual-buffer program over a ring entry's pages: one DUALBUFFER descriptor per range of the
// data area its layout gives, each packet's first part into the header pages, its payload into
// the data pages. The program is done when its last descriptor's counts say so.
bool BuildDualProgram(Stream* stream, Request* entry) {
    const StreamShape& shape = stream->Shape;
    const DescriptorArea* area = &stream->Areas[entry->Area];
    constexpr ULONG kPerPage = kPageBytes / kDualDescriptorBytes;
    const bool sync = entry->Buffer.Sync != kNoSync;
    DualWalk walk(shape);
    DualSegment segment;
    PULONG previousBranch = nullptr;
    PULONG last = nullptr;
    for (ULONG k = 0; walk.Next(&segment); ++k) {
        if (k / kPerPage >= area->PageCount) return false;
        const CommonBuffer& page = area->Pages[k / kPerPage];
        const ULONG offset = k % kPerPage * kDualDescriptorBytes;
        auto* d = reinterpret_cast<PULONG>(static_cast<PUCHAR>(page.Virtual) + offset);
        const ULONG bus = page.Logical + offset;
        const CommonBuffer& data = entry->RingPages[segment.DataOffset / kPageBytes];
        const CommonBuffer& header = entry->RingPages[entry->RingDataPages + segment.HeaderOffset / kPageBytes];
        const ULONG counts = (segment.FirstBytes << 16) | segment.DataBytes;
        d[0] = kDualBuffer | shape.FirstBytes;
        if (sync && (k == 0 || entry->Buffer.SyncKind == 2)) d[0] |= kWaitForSync;
        d[1] = counts;
        d[2] = 0;
        d[3] = counts;
        d[4] = 0;
        d[5] = header.Logical + segment.HeaderOffset % kPageBytes;
        d[6] = data.Logical + segment.DataOffset % kPageBytes;
        d[7] = 0;
        if (previousBranch != nullptr) *previousBranch = bus | kDualZ;
        else entry->FirstCommand = bus | kDualZ;
        previousBranch = &d[2];
        last = d;
    }
    if (last == nullptr) return false;
    last[0] |= kInterruptAlways;
    entry->StatusQuadlet = &last[3];
    entry->StatusPreset = last[1];
    entry->TailBranch = previousBranch;
    KeMemoryBarrier();
    return true;
}

// Builds the program of one request in its area: one block per packet (packet-per-buffer) or one
// descriptor per piece (buffer-fill). False when the buffer's mappings cannot carry the packets.
bool BuildProgram(Stream* stream, Request* request) {
    const StreamShape& shape = stream->Shape;
    if (shape.DualBuffer) return BuildDualProgram(stream, request);
    const DescriptorArea* area = &stream->Areas[request->Area];
    const bool ppb = shape.PacketPerBuffer != 0;
    const ULONG piece = ppb ? kInputMore : (kInputMore | kBranchAlways);
    const bool header = shape.Mode == 3;
    const bool headerMapped = request->HeaderChunks != 0;
    PieceWalk data;
    data.Start(request->DataLists, request->DataChunks, request->DataChunkBytes, shape.DataTotal);
    PieceWalk headers;
    headers.Start(request->HeaderLists, request->HeaderChunks, request->HeaderChunkBytes, shape.HeaderTotal);
    PULONG previousBranch = nullptr;   // the branch quadlet that must reach the next block
    PULONG statusQuadlet = nullptr;
    ULONG statusPreset = 0;
    bool sync = request->Buffer.Sync != kNoSync;
    for (ULONG k = 0; k < shape.Packets; ++k) {
        const bool last = k + 1 == shape.Packets;
        BlockWriter w;
        w.Count = 0;
        if (ppb) AddScratch(stream, area, k, kInputMore, shape.DiscardBytes, &w);
        else if (shape.DiscardBytes > 4) AddScratch(stream, area, k, piece, shape.DiscardBytes - 4, &w);
        if (header) {
            if (headerMapped) {
                if (!AddPieces(stream, area, k, &headers, shape.HeaderBytes, piece, &w)) return false;
            } else {
                AddScratch(stream, area, k, piece, shape.HeaderBytes, &w);
            }
        }
        if (!AddPieces(stream, area, k, &data, shape.PacketBytes, piece, &w)) return false;
        PULONG lastData = w.Descriptors[w.Count - 1];
        ULONG closing = w.Count++;
        w.Descriptors[closing] = Slot(stream, area, k, closing, &w.Bus[closing]);
        if (ppb) {
            Put(w.Descriptors[closing], kInputLast | kBranchAlways | (last ? kInterruptAlways : 0), 0, 0, 0);
            for (ULONG i = 0; i + 1 < w.Count; ++i) w.Descriptors[i][2] = w.Bus[i + 1];
            if (last) {
                statusQuadlet = &lastData[3];
                statusPreset = (kMarker << 16) | (lastData[3] & 0xFFFF);
            }
        } else {
            Put(w.Descriptors[closing], kInputMore | kBranchAlways | (last ? kInterruptAlways : 0) | kTrailerBytes,
                stream->Scratch.Logical, 0, kTrailerBytes);
            for (ULONG i = 0; i + 1 < w.Count; ++i) w.Descriptors[i][2] = w.Bus[i + 1] | 1;
            if (last) {
                statusQuadlet = &w.Descriptors[closing][3];
                statusPreset = (kMarker << 16) | kTrailerBytes;
            }
        }
        if (sync && (k == 0 || request->Buffer.SyncKind == 2)) w.Descriptors[0][0] |= kWaitForSync;
        ULONG z = ppb ? w.Count : 1;
        if (previousBranch != nullptr) *previousBranch = w.Bus[0] | z;
        else request->FirstCommand = w.Bus[0] | z;
        previousBranch = &w.Descriptors[closing][2];
    }
    *statusQuadlet = statusPreset;
    request->StatusQuadlet = statusQuadlet;
    request->TailBranch = previousBranch;
    KeMemoryBarrier();
    return true;
}

// Whether the program of a queued record has ended, and with which status.
bool ProgramEnded(const Stream* stream, const Request* request, ULONG* status) {
    const ULONG quadlet = *reinterpret_cast<volatile ULONG*>(request->StatusQuadlet);
    if (!stream->Shape.DualBuffer) return ProgramDone(quadlet, status);
    *status = kStatusDone;
    return DualProgramDone(quadlet, request->StatusPreset, stream->Shape.FirstBytes);
}

// Puts a built program on the context: starts an idle context, or appends behind its tail.
void LinkProgram(Stream* stream, Request* request) {
    OhciController* controller = stream->Controller;
    const ULONG base = Base(stream->Context);
    request->PreviousArea = stream->TailArea;
    if (stream->TailArea < 0) {
        ULONG mode = kIsochHeader;
        if (stream->Shape.DualBuffer) mode |= kDualBufferMode;
        else if (!stream->Shape.PacketPerBuffer) mode |= kBufferFill;
        ULONG match = (request->Buffer.TagMask << 28) | stream->Open.Channel;
        if (request->Buffer.Sync != kNoSync) match |= request->Buffer.Sync << 8;
        // A start cycle (the buffer's own, else the one the listen asked for) is matched once.
        ULONG cycle = request->CycleMatch != kNoCycleMatch ? request->CycleMatch : stream->StartCycle;
        stream->StartCycle = kNoCycleMatch;
        if (cycle != kNoCycleMatch) {
            mode |= kCycleMatchEnable;
            match |= (cycle & kCycleMatchMask) << kCycleMatchShift;
        }
        WriteRegister(controller, base + ohci::kContextControlClear, 0xFFFFFFFFu);
        WriteRegister(controller, base + ohci::kContextControlSet, mode);
        WriteRegister(controller, base + ohci::kContextMatch, match);
        WriteRegister(controller, base + ohci::kContextCommandPtr, request->FirstCommand);
        if (stream->Autorun) WriteRegister(controller, base + ohci::kContextControlSet, ohci::kContextRun);
    } else {
        *stream->TailBranch = request->FirstCommand;
        KeMemoryBarrier();
        ULONG control = ReadRegisterValue(controller, base + ohci::kContextControlSet);
        if (!(control & ohci::kContextRun) && stream->Autorun)
            WriteRegister(controller, base + ohci::kContextControlSet, ohci::kContextRun);
        WriteRegister(controller, base + ohci::kContextControlSet, ohci::kContextWake);
    }
    (void)ReadRegisterValue(controller, ohci::kIsochronousCycleTimer);
    stream->TailArea = request->Area;
    stream->TailBranch = request->TailBranch;
}

void ArmTimeout(Stream* stream) {
    if (IsListEmpty(&stream->Queued)) {
        KeCancelTimer(&stream->TimeoutTimer);
        return;
    }
    auto* head = CONTAINING_RECORD(stream->Queued.Flink, Request, Link);
    if (head->Buffer.TimeoutMs == 0) {
        KeCancelTimer(&stream->TimeoutTimer);
        return;
    }
    LARGE_INTEGER due;
    due.QuadPart = -LONGLONG(head->Buffer.TimeoutMs) * kOneMs100ns;
    KeSetTimer(&stream->TimeoutTimer, due, &stream->TimeoutDpc);
}

void Wake(Stream* stream) {
    InterlockedOr(&stream->Controller->IsoRxWorkMask, LONG(1u << stream->Context));
    stream->Wake(stream->WakeContext);
}

// The context is quiesced: no program is on it any more and the next one starts it afresh.
void ForgetPrograms(Stream* stream) {
    stream->QueuedCount = 0;
    stream->AreaMask = 0;
    stream->TailArea = -1;
    stream->TailBranch = nullptr;
    KeCancelTimer(&stream->TimeoutTimer);
    WriteRegister(stream->Controller, ohci::kIsoRecvIntMaskSet, 1u << stream->Context);
}

// Stops the context and completes every queued, then every attached buffer with `status`; the
// context starts afresh with the next program. Stream lock held.
void HaltLocked(Stream* stream, ULONG status) {
    OhciController* controller = stream->Controller;
    QuiesceContext(controller, stream->Context);
    LIST_ENTRY* lists[2] = {&stream->Queued, &stream->Attached};
    for (LIST_ENTRY* list : lists) {
        while (!IsListEmpty(list)) {
            auto* request = CONTAINING_RECORD(RemoveHeadList(list), Request, Link);
            if (request->Ring) continue;   // the ring is re-armed, never completed
            ReleaseMappings(request);
            request->Status = status;
            InsertTailList(&stream->Completed, &request->Link);
        }
    }
    ForgetPrograms(stream);
}

// --- Copy mode: the ring and the frame queue -------------------------------------------------------

// A ring entry: a request whose buffers are the driver's own pages, described by lists of its own
// so that the program builders walk them as they walk a caller's mapped chunks.
PSCATTER_GATHER_LIST PageList(const CommonBuffer* pages, ULONG count, ULONG bytes) {
    SIZE_T size = sizeof(SCATTER_GATHER_LIST) + sizeof(SCATTER_GATHER_ELEMENT) * (count > 0 ? count - 1 : 0);
    auto* list = static_cast<PSCATTER_GATHER_LIST>(AllocateZeroedPool(size, kTagIsoRing));
    if (list == nullptr) return nullptr;
    list->NumberOfElements = count;
    for (ULONG i = 0; i < count; ++i) {
        list->Elements[i].Address.QuadPart = pages[i].Logical;
        list->Elements[i].Length = bytes - i * kPageBytes < kPageBytes ? bytes - i * kPageBytes : kPageBytes;
    }
    return list;
}

Request* CreateRingEntry(Stream* stream) {
    const StreamShape& shape = stream->Shape;
    auto* entry = static_cast<Request*>(AllocateFromLookaside(&stream->Controller->IsoRxRequests));
    if (entry == nullptr) return nullptr;
    entry->Owner = stream;
    entry->Ring = TRUE;
    entry->CycleMatch = kNoCycleMatch;
    entry->Area = -1;
    entry->PreviousArea = -1;
    KeInitializeSpinLock(&entry->BuildLock);
    entry->RingDataPages = (shape.DataTotal + kPageBytes - 1) / kPageBytes;
    entry->RingHeaderPages = shape.DualBuffer ? shape.HeaderPages : (shape.HeaderTotal + kPageBytes - 1) / kPageBytes;
    ULONG pages = entry->RingDataPages + entry->RingHeaderPages;
    entry->RingPages = static_cast<CommonBuffer*>(AllocateZeroedPool(sizeof(CommonBuffer) * pages, kTagIsoRing));
    bool ok = entry->RingPages != nullptr;
    for (ULONG i = 0; ok && i < pages; ++i) ok = AllocateCommonBuffer(stream->Adapter, kPageBytes, &entry->RingPages[i]);
    if (ok) {
        entry->RingLists[0] = PageList(entry->RingPages, entry->RingDataPages, shape.DataTotal);
        ok = entry->RingLists[0] != nullptr;
    }
    if (ok && entry->RingHeaderPages != 0 && !shape.DualBuffer) {
        entry->RingLists[1] = PageList(entry->RingPages + entry->RingDataPages, entry->RingHeaderPages, shape.HeaderTotal);
        ok = entry->RingLists[1] != nullptr;
    }
    if (!ok) {
        FreeRingPages(entry);
        FreeToLookaside(&stream->Controller->IsoRxRequests, entry);
        return nullptr;
    }
    entry->DataLists = &entry->RingLists[0];
    entry->DataChunks = 1;
    entry->DataChunkBytes = shape.DataTotal;
    entry->HeaderLists = &entry->RingLists[1];
    entry->HeaderChunks = entry->RingHeaderPages != 0 ? 1 : 0;
    entry->HeaderChunkBytes = shape.HeaderTotal;
    return entry;
}

void FreeRing(Stream* stream) {
    for (ULONG i = 0; i < kMaxAreas; ++i) {
        if (stream->Ring[i] != nullptr) {
            FreeRingPages(stream->Ring[i]);
            FreeToLookaside(&stream->Controller->IsoRxRequests, stream->Ring[i]);
            stream->Ring[i] = nullptr;
        }
        FreeTaggedPool(stream->Slots[i].Data, kTagIsoCopySlot);
        stream->Slots[i].Data = nullptr;
    }
}

bool AllocateRing(Stream* stream) {
    InitializeListHead(&stream->FrameQueue);
    for (ULONG i = 0; i < stream->NumOfBuf; ++i) {
        stream->Ring[i] = CreateRingEntry(stream);
        stream->Slots[i].Data = static_cast<PUCHAR>(
            AllocateZeroedPool(SIZE_T(stream->Shape.DataTotal) + stream->Shape.HeaderTotal, kTagIsoCopySlot));
        if (stream->Ring[i] == nullptr || stream->Slots[i].Data == nullptr) return false;
    }
    return true;
}

// Builds and links a ring entry's program again; false when no area is free yet. Lock held.
bool ArmRingEntry(Stream* stream, Request* entry) {
    LONG area = LendArea(stream);
    if (area < 0) return false;
    entry->Area = area;
    KeAcquireSpinLockAtDpcLevel(&entry->BuildLock);
    bool built = BuildProgram(stream, entry);
    KeReleaseSpinLockFromDpcLevel(&entry->BuildLock);
    if (!built) {
        ReturnArea(stream, area);
        return false;
    }
    LinkProgram(stream, entry);
    InsertTailList(&stream->Queued, &entry->Link);
    ++stream->QueuedCount;
    return true;
}

// Puts every ring entry that is not on the context back on it. Lock held.
void ArmIdleRing(Stream* stream) {
    for (ULONG i = 0; i < stream->NumOfBuf && !stream->Halting; ++i) {
        Request* entry = stream->Ring[i];
        bool queued = false;
        for (LIST_ENTRY* e = stream->Queued.Flink; e != &stream->Queued; e = e->Flink)
            if (e == &entry->Link) queued = true;
        if (!queued && !ArmRingEntry(stream, entry)) break;
    }
}

// Copy mode: the caller's buffers end with `status`; the ring keeps running. Lock held.
void CompleteAttachedLocked(Stream* stream, ULONG status) {
    while (!IsListEmpty(&stream->Attached)) {
        auto* request = CONTAINING_RECORD(RemoveHeadList(&stream->Attached), Request, Link);
        ReleaseMappings(request);
        request->Status = status;
        InsertTailList(&stream->Completed, &request->Link);
    }
    KeCancelTimer(&stream->TimeoutTimer);
}

// Copy mode: the time-out runs for the oldest attached buffer.
void ArmCopyTimeout(Stream* stream) {
    if (IsListEmpty(&stream->Attached)) {
        KeCancelTimer(&stream->TimeoutTimer);
        return;
    }
    auto* head = CONTAINING_RECORD(stream->Attached.Flink, Request, Link);
    if (head->Buffer.TimeoutMs == 0) {
        // The time-out of the buffer before it must not end this one.
        KeCancelTimer(&stream->TimeoutTimer);
        return;
    }
    LARGE_INTEGER due;
    due.QuadPart = -LONGLONG(head->Buffer.TimeoutMs) * kOneMs100ns;
    KeSetTimer(&stream->TimeoutTimer, due, &stream->TimeoutDpc);
}

// The frame of a completed ring entry into `data` (DataTotal bytes) and, when not null, `headers`
// (HeaderTotal bytes): the data pages in order; the header pages, or for a dual-buffer program
// each packet's header bytes without the time stamp quadlet stored before them.
void CopyRingFrame(Stream* stream, const Request* entry, PUCHAR data, PUCHAR headers) {
    const StreamShape& shape = stream->Shape;
    for (ULONG i = 0; i < entry->RingDataPages; ++i) {
        const ULONG offset = i * kPageBytes;
        const ULONG bytes = shape.DataTotal - offset < kPageBytes ? shape.DataTotal - offset : kPageBytes;
        RtlCopyMemory(data + offset, entry->RingPages[i].Virtual, bytes);
    }
    if (headers == nullptr || shape.HeaderTotal == 0) return;
    const CommonBuffer* headerPages = entry->RingPages + entry->RingDataPages;
    if (shape.DualBuffer) {
        constexpr ULONG kTimeStampBytes = 4;
        for (ULONG k = 0; k < shape.Packets; ++k) {
            const ULONG at = DualHeaderOffset(shape, k);
            RtlCopyMemory(headers + k * shape.HeaderBytes,
                          static_cast<PUCHAR>(headerPages[at / kPageBytes].Virtual) + at % kPageBytes + kTimeStampBytes,
                          shape.HeaderBytes);
        }
        return;
    }
    for (ULONG i = 0; i < entry->RingHeaderPages; ++i) {
        const ULONG offset = i * kPageBytes;
        const ULONG bytes = shape.HeaderTotal - offset < kPageBytes ? shape.HeaderTotal - offset : kPageBytes;
        RtlCopyMemory(headers + offset, headerPages[i].Virtual, bytes);
    }
}

// A caller's buffer is mapped in one piece in copy mode: its data, and its headers when it has any.
PUCHAR CallerData(const Request* request) { return request->DataViews[0]; }
PUCHAR CallerHeaders(const Request* request) { return request->HeaderChunks != 0 ? request->HeaderViews[0] : nullptr; }

// Completes the oldest attached buffer with `status`. A user caller's status word is written and
// its event signalled (the event must read clear), and the record goes on `done` to be freed once
// the lock is released; a kernel caller's buffer joins the completed ones its routine is handed
// next (DeliverKernel). Lock held.
void DeliverAttachedLocked(Stream* stream, ULONG status, LIST_ENTRY* done) {
    auto* request = CONTAINING_RECORD(RemoveHeadList(&stream->Attached), Request, Link);
    ArmCopyTimeout(stream);
    if (status == kStatusDone)
        stream->BytesCopied += stream->Shape.DataTotal + (request->HeaderChunks != 0 ? stream->Shape.HeaderTotal : 0);
    if (stream->Kernel.Done != nullptr) {
        request->Status = status;
        if (request->TimeStamp) request->CycleTime = ReadRegisterValue(stream->Controller, ohci::kIsochronousCycleTimer);
        InsertTailList(&stream->Completed, &request->Link);
        return;
    }
    *request->StatusWord = status;
    InsertTailList(done, &request->Link);
    KeSetEvent(stream->Event, IO_NO_INCREMENT, FALSE);
}

// Whether a frame can go to a caller now: a buffer waits, no older frame does, and the caller
// has taken the previous completion (one per signal of its event). Lock held.
bool CallerReady(const Stream* stream) {
    return !IsListEmpty(&stream->Attached) && IsListEmpty(&stream->FrameQueue) && !CallerBusy(stream);
}

// Dispatch level, lock held: the frame of a completed ring entry goes straight into the oldest
// attached buffer when the caller is ready for it (one copy), else into a free slot of the frame
// queue, or over the oldest frame nobody has taken yet.
void TakeRingFrame(Stream* stream, Request* entry, LIST_ENTRY* done) {
    if (entry->Status == kStatusDone && CallerReady(stream)) {
        auto* request = CONTAINING_RECORD(stream->Attached.Flink, Request, Link);
        CopyRingFrame(stream, entry, CallerData(request), CallerHeaders(request));
        DeliverAttachedLocked(stream, kStatusDone, done);
        return;
    }
    CopySlot* slot = nullptr;
    for (ULONG i = 0; i < stream->NumOfBuf && slot == nullptr; ++i)
        if (!(stream->SlotMask & (1u << i))) {
            stream->SlotMask |= 1u << i;
            slot = &stream->Slots[i];
        }
    if (slot == nullptr && !IsListEmpty(&stream->FrameQueue)) {
        slot = CONTAINING_RECORD(RemoveHeadList(&stream->FrameQueue), CopySlot, Link);
        ++stream->FramesLost;
    }
    if (slot == nullptr) {
        ++stream->FramesLost;
        return;
    }
    if (entry->Status == kStatusDone) CopyRingFrame(stream, entry, slot->Data, slot->Data + stream->Shape.DataTotal);
    slot->Status = entry->Status;
    InsertTailList(&stream->FrameQueue, &slot->Link);
}

// Queued frames into attached buffers, oldest first, while the caller is ready for them. Lock held.
void DeliverQueuedFramesLocked(Stream* stream, LIST_ENTRY* done) {
    while (!IsListEmpty(&stream->Attached) && !IsListEmpty(&stream->FrameQueue) && !CallerBusy(stream)) {
        auto* slot = CONTAINING_RECORD(RemoveHeadList(&stream->FrameQueue), CopySlot, Link);
        auto* request = CONTAINING_RECORD(stream->Attached.Flink, Request, Link);
        const StreamShape& shape = stream->Shape;
        if (slot->Status == kStatusDone) {
            RtlCopyMemory(CallerData(request), slot->Data, shape.DataTotal);
            if (CallerHeaders(request) != nullptr) RtlCopyMemory(CallerHeaders(request), slot->Data + shape.DataTotal, shape.HeaderTotal);
        }
        stream->SlotMask &= ~(1u << ULONG(slot - stream->Slots));
        DeliverAttachedLocked(stream, slot->Status, done);
    }
}

// --- Delivery and programming ----------------------------------------------------------------------

// Program waiting buffers (direct mode) while areas and room on the context allow. Lock held.
void ProgramAttachedLocked(Stream* stream) {
    while (!stream->Halting && stream->QueuedCount < stream->NumOfBuf && !IsListEmpty(&stream->Attached)) {
        LONG area = LendArea(stream);
        if (area < 0) break;
        auto* request = CONTAINING_RECORD(RemoveHeadList(&stream->Attached), Request, Link);
        request->Area = area;
        KeAcquireSpinLockAtDpcLevel(&request->BuildLock);
        bool built = BuildProgram(stream, request);
        KeReleaseSpinLockFromDpcLevel(&request->BuildLock);
        if (!built) {
            ReturnArea(stream, area);
            ReleaseMappings(request);
            request->Status = kContextStatusUnknownError;
            InsertTailList(&stream->Completed, &request->Link);
            continue;
        }
        bool wasEmpty = IsListEmpty(&stream->Queued);
        LinkProgram(stream, request);
        InsertTailList(&stream->Queued, &request->Link);
        ++stream->QueuedCount;
        if (wasEmpty) ArmTimeout(stream);
    }
}

// What the stream owes its caller and the context, done wherever it is asked for (the receive
// deferred call, the attaching thread, the driver client's worker), all at dispatch level with
// the lock held: a user caller's completed buffers and queued frames are delivered oldest first,
// one per signal of its event (while the caller has not taken the previous one, a 1 ms timer asks
// again); a kernel caller's queued frames go into its buffers, which wait among the completed ones
// for DeliverKernel. Then waiting buffers are programmed (direct mode) or the ring is armed (copy
// mode; it starts with the first attached buffer's tag and sync values). Records delivered to a
// user caller go on `done`.
void ServiceLocked(Stream* stream, LIST_ENTRY* done) {
    const bool user = stream->Kernel.Done == nullptr;
    while (user && !IsListEmpty(&stream->Completed) && !CallerBusy(stream)) {
        auto* request = CONTAINING_RECORD(RemoveHeadList(&stream->Completed), Request, Link);
        *request->StatusWord = request->Status;
        InsertTailList(done, &request->Link);
        if (stream->Event != nullptr) KeSetEvent(stream->Event, IO_NO_INCREMENT, FALSE);
    }
    if (stream->CopyMode) DeliverQueuedFramesLocked(stream, done);
    if (stream->CopyMode && !stream->RingStarted && !stream->Halting && !IsListEmpty(&stream->Attached)) {
        auto* first = CONTAINING_RECORD(stream->Attached.Flink, Request, Link);
        for (ULONG i = 0; i < stream->NumOfBuf; ++i) stream->Ring[i]->Buffer = first->Buffer;
        stream->RingStarted = TRUE;
    }
    if (stream->CopyMode && stream->RingStarted) ArmIdleRing(stream);
    if (!stream->CopyMode) ProgramAttachedLocked(stream);
    bool waiting = user && (!IsListEmpty(&stream->Completed) ||
                            (stream->CopyMode && !IsListEmpty(&stream->Attached) && !IsListEmpty(&stream->FrameQueue)));
    if (waiting && !stream->Halting) {
        LARGE_INTEGER due;
        due.QuadPart = kRetryRelative;
        KeSetTimer(&stream->RetryTimer, due, &stream->RetryDpc);
    }
}

// Hands a kernel caller's completed buffers to its routine, oldest first, at dispatch level and
// without the stream lock (the routine may detach other buffers). One caller at a time delivers:
// whoever finds another at it leaves the buffers to it, so the routine sees them in order. When a
// stop waits for the delivery, the last deliverer tells it once nothing is left.
void DeliverKernel(Stream* stream) {
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    KeAcquireSpinLockAtDpcLevel(&stream->Lock);
    if (stream->Delivering) {
        KeReleaseSpinLockFromDpcLevel(&stream->Lock);
        KeLowerIrql(irql);
        return;
    }
    stream->Delivering = TRUE;
    while (!IsListEmpty(&stream->Completed)) {
        auto* request = CONTAINING_RECORD(RemoveHeadList(&stream->Completed), Request, Link);
        KeReleaseSpinLockFromDpcLevel(&stream->Lock);
        stream->Kernel.Done(stream->Kernel.Context, request->KernelBuffer, request->Status, request->CycleTime);
        FreeRequest(request);
        KeAcquireSpinLockAtDpcLevel(&stream->Lock);
    }
    stream->Delivering = FALSE;
    const bool drained = stream->DrainWanted != FALSE;
    stream->DrainWanted = FALSE;
    KeReleaseSpinLockFromDpcLevel(&stream->Lock);
    if (drained) KeSetEvent(&stream->Drained, IO_NO_INCREMENT, FALSE);
    KeLowerIrql(irql);
}

// After ServiceLocked, the lock released: the records delivered to a user caller are freed, and
// a kernel caller's completed buffers go to its routine.
void FreeDelivered(LIST_ENTRY* done) {
    while (!IsListEmpty(done)) FreeRequest(CONTAINING_RECORD(RemoveHeadList(done), Request, Link));
}

void EndService(Stream* stream, LIST_ENTRY* done) {
    FreeDelivered(done);
    if (stream->Kernel.Done != nullptr) DeliverKernel(stream);
}

// --- Deferred calls ------------------------------------------------------------------------------

// Takes the finished programs off the context, oldest first.
void ReceiveDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    auto* stream = static_cast<Stream*>(DeferredContext);
    if (stream == nullptr) {
        ReportMissingContext("DpcForIsoRx");
        return;
    }
    bool completed = false;
    LIST_ENTRY done;
    InitializeListHead(&done);
    KeAcquireSpinLockAtDpcLevel(&stream->Lock);
    if (!stream->Halting) {
        if (stream->PendingError != 0) {
            HaltLocked(stream, stream->PendingError);
            stream->PendingError = 0;
            completed = true;
            if (stream->CopyMode && stream->RingStarted) ArmIdleRing(stream);
        }
        while (!IsListEmpty(&stream->Queued)) {
            auto* request = CONTAINING_RECORD(stream->Queued.Flink, Request, Link);
            ULONG status = kStatusDone;
            if (!ProgramEnded(stream, request, &status)) break;
            RemoveEntryList(&request->Link);
            --stream->QueuedCount;
            ReturnArea(stream, request->PreviousArea);
            request->Status = status;
            completed = true;
            if (request->Ring) {
                TakeRingFrame(stream, request, &done);
                ArmIdleRing(stream);
                if (status == kStatusDone) InterlockedIncrement(reinterpret_cast<volatile LONG*>(&stream->Frames));
                continue;
            }
            ReleaseMappings(request);
            if (request->TimeStamp) request->CycleTime = ReadRegisterValue(stream->Controller, ohci::kIsochronousCycleTimer);
            InsertTailList(&stream->Completed, &request->Link);
            if (status != kStatusDone) {
                HaltLocked(stream, status);
                break;
            }
            InterlockedIncrement(reinterpret_cast<volatile LONG*>(&stream->Frames));
        }
        if (completed && !stream->CopyMode) ArmTimeout(stream);
        if (completed) ServiceLocked(stream, &done);
    }
    KeReleaseSpinLockFromDpcLevel(&stream->Lock);
    EndService(stream, &done);
}

void TimeoutDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    auto* stream = static_cast<Stream*>(DeferredContext);
    if (stream == nullptr) {
        ReportMissingContext("DpcForIsoRxTimeout_Direct");
        return;
    }
    bool completed = false;
    KeAcquireSpinLockAtDpcLevel(&stream->Lock);
    if (stream->CopyMode) {
        if (!stream->Halting && !IsListEmpty(&stream->Attached)) {
            auto* head = CONTAINING_RECORD(RemoveHeadList(&stream->Attached), Request, Link);
            ReleaseMappings(head);
            head->Status = kStatusTimeout;
            InsertTailList(&stream->Completed, &head->Link);
            ArmCopyTimeout(stream);
            completed = true;
        }
    } else if (!stream->Halting && !(IsListEmpty(&stream->Queued) && IsListEmpty(&stream->Attached))) {
        HaltLocked(stream, kStatusTimeout);
        completed = true;
    }
    KeReleaseSpinLockFromDpcLevel(&stream->Lock);
    if (completed) Wake(stream);
}

void RetryDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    auto* stream = static_cast<Stream*>(DeferredContext);
    if (stream == nullptr) {
        ReportMissingContext("Vex_OhciIsoRxDelayedCompleteSysWorker");
        return;
    }
    if (!stream->Halting) Wake(stream);
}

// --- Stream records ------------------------------------------------------------------------------

LONG AcquireContext(OhciController* controller) {
    KIRQL irql;
    LONG found = -1;
    KeAcquireSpinLock(&controller->IsoRxContextLock, &irql);
    for (ULONG n = 0; n < kHandedOutContexts; ++n) {
        ULONG bit = 1u << n;
        if ((controller->ImplementedIsoRecvMask & bit) && !(controller->IsoRxInUse & bit)) {
            controller->IsoRxInUse |= bit;
            found = LONG(n);
            break;
        }
    }
    KeReleaseSpinLock(&controller->IsoRxContextLock, irql);
    return found;
}

void ReleaseContext(OhciController* controller, ULONG n) {
    KIRQL irql;
    KeAcquireSpinLock(&controller->IsoRxContextLock, &irql);
    controller->IsoRxInUse &= ~(1u << n);
    KeReleaseSpinLock(&controller->IsoRxContextLock, irql);
}

void FreeStreamMemory(Stream* stream) {
    FreeRing(stream);
    for (ULONG i = 0; i < kMaxAreas; ++i) FreeArea(&stream->Areas[i]);
    FreeCommonBuffer(&stream->Scratch);
    if (stream->Event != nullptr) ObDereferenceObject(stream->Event);
    if (stream->Owner != nullptr) ObDereferenceObject(stream->Owner);
    FreeTaggedPool(stream, kTagIsoRxRecord);
}

}  // namespace

bool CreateEngine(OhciController* controller) {
    KeInitializeSpinLock(&controller->IsoRxContextLock);
    KeInitializeSpinLock(&controller->IsoRxKeyLock);
    controller->IsoRxInUse = 0;
    controller->IsoRxWorkMask = 0;
    for (ULONG n = 0; n < kIsoContextSlots; ++n) {
        controller->IsoRxKeys[n] = 0;
    }
    CreateLookasideList(&controller->IsoRxRequests, sizeof(Request), kTagIsoRxRecord);
    DEVICE_DESCRIPTION description;
    RtlZeroMemory(&description, sizeof(description));
    description.Version = DEVICE_DESCRIPTION_VERSION;
    description.Master = TRUE;
    description.ScatterGather = TRUE;
    description.Dma32BitAddresses = TRUE;
    description.InterfaceType = PCIBus;
    description.MaximumLength = 0x7FFFFFFF;
    ULONG mapRegisters = 0;
    controller->IsoRxAdapter = IoGetDmaAdapter(controller->PhysicalDeviceObject, &description, &mapRegisters);
    controller->IsoRxMapRegisters = mapRegisters;
    return controller->IsoRxAdapter != nullptr;
}

void DeleteEngine(OhciController* controller) {
    DeleteLookasideList(&controller->IsoRxRequests);
    if (controller->IsoRxAdapter != nullptr) controller->IsoRxAdapter->DmaOperations->PutDmaAdapter(controller->IsoRxAdapter);
    controller->IsoRxAdapter = nullptr;
}

Stream* StreamOfContext(OhciController* controller, ULONG n) {
    return n < kIsoContextSlots ? static_cast<Stream*>(controller->IsoRx[n].Context) : nullptr;
}

NTSTATUS OpenStream(OhciController* controller, const OpenRecord& open, const StreamShape& shape, PKEVENT event,
                    PEPROCESS owner, const KernelCaller* kernel, StreamOrigin* origin, WakeRoutine wake,
                    PVOID wakeContext, Stream** out, bool* noContext) {
    *out = nullptr;
    *noContext = false;
    LONG n = AcquireContext(controller);
    if (n < 0) {
        *noContext = true;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto* stream = static_cast<Stream*>(AllocateZeroedPool(sizeof(Stream), kTagIsoRxRecord));
    if (stream == nullptr) {
        ReleaseContext(controller, ULONG(n));
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    stream->Controller = controller;
    stream->Context = ULONG(n);
    stream->Key = open.Key;
    stream->Owner = owner;
    if (owner != nullptr) ObReferenceObject(owner);  // kept mappings are unsecured in its context
    stream->Open = open;
    stream->Shape = shape;
    stream->NumOfBuf = controller->IsoRxNumOfBuf;
    stream->Wake = wake;
    stream->WakeContext = wakeContext;
    stream->Adapter = controller->IsoRxAdapter;
    stream->AreaCount = stream->NumOfBuf + 1 > kMaxAreas ? kMaxAreas : stream->NumOfBuf + 1;
    stream->TailArea = -1;
    stream->StartCycle = kNoCycleMatch;
    if (kernel != nullptr) stream->Kernel = *kernel;
    stream->Autorun = kernel == nullptr ? 1 : 0;
    KeInitializeEvent(&stream->Drained, NotificationEvent, FALSE);
    KeInitializeSpinLock(&stream->Lock);
    InitializeListHead(&stream->Attached);
    InitializeListHead(&stream->Queued);
    InitializeListHead(&stream->Completed);
    InitializeListHead(&stream->Mappings);
    KeInitializeDpc(&stream->ReceiveDpc, ReceiveDpc, stream);
    KeInitializeTimer(&stream->TimeoutTimer);
    KeInitializeDpc(&stream->TimeoutDpc, TimeoutDpc, stream);
    KeInitializeTimer(&stream->RetryTimer);
    KeInitializeDpc(&stream->RetryDpc, RetryDpc, stream);
    bool built = AllocateCommonBuffer(stream->Adapter, kPageBytes, &stream->Scratch);
    for (ULONG i = 0; built && i < stream->AreaCount; ++i)
        built = AllocateArea(stream->Adapter, shape.AreaPages, &stream->Areas[i]);
    stream->CopyMode = controller->IsoDirectDMA == 0;
    if (built && stream->CopyMode) built = AllocateRing(stream);
    if (!built) {
        FreeStreamMemory(stream);
        ReleaseContext(controller, ULONG(n));
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    stream->Event = event;   // the stream owns the reference from here on
    if (origin != nullptr) {
        stream->OpenedThrough = origin->OpenedThrough;
        stream->BooksGeneration = origin->BooksGeneration;
        origin->Context = ULONG(n);
    }
    KeWaitForSingleObject(&controller->IsoRx[n].Mutex, Executive, KernelMode, FALSE, nullptr);
    controller->IsoRx[n].Context = stream;
    KeReleaseMutex(&controller->IsoRx[n].Mutex, FALSE);
    WriteRegister(controller, ohci::kIsoRecvIntMaskSet, 1u << ULONG(n));
    SelectChannel(controller, open.Channel, true);
    *out = stream;
    return STATUS_SUCCESS;
}

namespace {

Request* NewRequest(Stream* stream, const BufferRecord& buffer) {
    auto* request = static_cast<Request*>(AllocateFromLookaside(&stream->Controller->IsoRxRequests));
    if (request == nullptr) return nullptr;
    request->Owner = stream;
    request->Buffer = buffer;
    request->CycleMatch = kNoCycleMatch;
    request->Area = -1;
    request->PreviousArea = -1;
    KeInitializeSpinLock(&request->BuildLock);
    return request;
}

void QueueAttached(Stream* stream, Request* request) {
    KIRQL irql;
    KeAcquireSpinLock(&stream->Lock, &irql);
    bool first = IsListEmpty(&stream->Attached);
    InsertTailList(&stream->Attached, &request->Link);
    if (stream->CopyMode && first) ArmCopyTimeout(stream);
    KeReleaseSpinLock(&stream->Lock, irql);
}

}  // namespace

NTSTATUS AttachBuffer(Stream* stream, const BufferRecord& buffer, ULONGLONG statusAddress) {
    Request* request = NewRequest(stream, buffer);
    if (request == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    PMDL mdl = IoAllocateMdl(UserPointer(statusAddress), sizeof(ULONG), FALSE, FALSE, nullptr);
    NTSTATUS status = mdl != nullptr ? KxProbeAndLockPages(mdl, UserMode, IoWriteAccess) : STATUS_INSUFFICIENT_RESOURCES;
    if (!NT_SUCCESS(status)) {
        if (mdl != nullptr) IoFreeMdl(mdl);
        FreeRequest(request);
        return status;
    }
    request->StatusMdl = mdl;
    request->StatusWord = static_cast<PULONG>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
    status = request->StatusWord != nullptr ? MapRequest(request) : STATUS_INSUFFICIENT_RESOURCES;
    if (!NT_SUCCESS(status)) {
        FreeRequest(request);
        return status;
    }
    QueueAttached(stream, request);
    return STATUS_SUCCESS;
}

NTSTATUS AttachKernelBuffer(Stream* stream, PMDL mdl, const BufferRecord& buffer, ULONG cycleMatch, bool timeStamp,
                            PVOID kernelBuffer) {
    if (mdl == nullptr || MmGetMdlByteCount(mdl) < stream->Shape.DataTotal) return STATUS_INVALID_PARAMETER;
    Request* request = NewRequest(stream, buffer);
    if (request == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    request->CallerMdl = mdl;
    request->KernelBuffer = kernelBuffer;
    request->CycleMatch = cycleMatch;
    request->TimeStamp = timeStamp ? TRUE : FALSE;
    NTSTATUS status = MapKernelRequest(request);
    if (!NT_SUCCESS(status)) {
        FreeRequest(request);
        return status;
    }
    QueueAttached(stream, request);
    return STATUS_SUCCESS;
}

void FlushStream(Stream* stream) {
    KIRQL irql;
    KeAcquireSpinLock(&stream->Lock, &irql);
    if (stream->CopyMode) CompleteAttachedLocked(stream, kStatusFlushed);
    else HaltLocked(stream, kStatusFlushed);
    KeReleaseSpinLock(&stream->Lock, irql);
    // The program gets its buffers back: none stays locked.
    DropMappings(stream, 0);
    Wake(stream);
}

namespace {

// Services the stream now. A kernel caller's completed buffers go to its routine in this thread
// only when `handOver`; otherwise the receive deferred call, asked for here in any case (a
// program may have finished before it was seen), hands them over.
void ServiceNow(Stream* stream, bool handOver) {
    LIST_ENTRY done;
    InitializeListHead(&done);
    KIRQL irql;
    KeAcquireSpinLock(&stream->Lock, &irql);
    ServiceLocked(stream, &done);
    KeReleaseSpinLock(&stream->Lock, irql);
    if (handOver) EndService(stream, &done);
    else FreeDelivered(&done);
    KeInsertQueueDpc(&stream->ReceiveDpc, nullptr, nullptr);
}

}  // namespace

void FinishStream(Stream* stream) { ServiceNow(stream, true); }

void RequestFinish(Stream* stream) { ServiceNow(stream, false); }

void CloseStream(Stream* stream) {
    OhciController* controller = stream->Controller;
    ULONG n = stream->Context;
    KeWaitForSingleObject(&controller->IsoRx[n].Mutex, Executive, KernelMode, FALSE, nullptr);
    if (stream->Kernel.Closed != nullptr) stream->Kernel.Closed(stream->Kernel.Context);
    KIRQL irql;
    KeAcquireSpinLock(&stream->Lock, &irql);
    stream->Halting = 1;
    HaltLocked(stream, kStatusFlushed);
    KeReleaseSpinLock(&stream->Lock, irql);
    WriteRegister(controller, ohci::kIsoRecvIntMaskClear, 1u << n);
    SelectChannel(controller, stream->Open.Channel, false);
    controller->IsoRx[n].Context = nullptr;
    KeCancelTimer(&stream->TimeoutTimer);
    KeCancelTimer(&stream->RetryTimer);
    KeRemoveQueueDpc(&stream->ReceiveDpc);
    KeRemoveQueueDpc(&stream->TimeoutDpc);
    KeRemoveQueueDpc(&stream->RetryDpc);
    KeFlushQueuedDpcs();
    // Every buffer still held learns its status (12 for those the flush ended); one signal for all.
    bool any = false;
    if (stream->Kernel.Done != nullptr) DeliverKernel(stream);
    while (!IsListEmpty(&stream->Completed)) {
        auto* request = CONTAINING_RECORD(RemoveHeadList(&stream->Completed), Request, Link);
        *request->StatusWord = request->Status;
        FreeRequest(request);
        any = true;
    }
    if (any && stream->Event != nullptr) KeSetEvent(stream->Event, IO_NO_INCREMENT, FALSE);
    DropMappings(stream, 0);
    ReleaseContext(controller, n);
    KeReleaseMutex(&controller->IsoRx[n].Mutex, FALSE);
    FreeStreamMemory(stream);
}

namespace {

Request* TakeKernelBuffer(LIST_ENTRY* list, PVOID kernelBuffer) {
    for (LIST_ENTRY* e = list->Flink; e != list; e = e->Flink) {
        auto* request = CONTAINING_RECORD(e, Request, Link);
        if (request->KernelBuffer != kernelBuffer) continue;
        RemoveEntryList(e);
        return request;
    }
    return nullptr;
}

// Takes a programmed buffer off the context (stream lock held): the context stops, programs that
// have ended are completed, and the others go back to the head of the attached list, in order, to
// be built and linked again.
Request* UnprogramKernelBuffer(Stream* stream, PVOID kernelBuffer) {
    QuiesceContext(stream->Controller, stream->Context);
    Request* found = nullptr;
    LIST_ENTRY again;
    InitializeListHead(&again);
    while (!IsListEmpty(&stream->Queued)) {
        auto* request = CONTAINING_RECORD(RemoveHeadList(&stream->Queued), Request, Link);
        ULONG status = kStatusDone;
        if (found == nullptr && request->KernelBuffer == kernelBuffer) {
            found = request;
        } else if (ProgramEnded(stream, request, &status)) {
            ReleaseMappings(request);
            request->Status = status;
            if (request->TimeStamp) request->CycleTime = ReadRegisterValue(stream->Controller, ohci::kIsochronousCycleTimer);
            InsertTailList(&stream->Completed, &request->Link);
        } else {
            InsertTailList(&again, &request->Link);
        }
    }
    while (!IsListEmpty(&again)) InsertHeadList(&stream->Attached, RemoveTailList(&again));
    ForgetPrograms(stream);
    return found;
}

}  // namespace

NTSTATUS ListenStream(Stream* stream, ULONG startCycle) {
    OhciController* controller = stream->Controller;
    const ULONG base = Base(stream->Context);
    NTSTATUS status = STATUS_SUCCESS;
    KIRQL irql;
    KeAcquireSpinLock(&stream->Lock, &irql);
    InterlockedExchange(&stream->Autorun, 1);
    if (stream->TailArea < 0) {
        // Idle: the next program starts the context, at the cycle asked for.
        if (startCycle != kNoCycleMatch) stream->StartCycle = startCycle;
    } else {
        ULONG control = ReadRegisterValue(controller, base + ohci::kContextControlSet);
        if (startCycle != kNoCycleMatch && !(control & ohci::kContextRun)) {
            WriteRegister(controller, base + ohci::kContextControlSet, kCycleMatchEnable);
            ULONG match = ReadRegisterValue(controller, base + ohci::kContextMatch);
            match &= ~(kCycleMatchMask << kCycleMatchShift);
            WriteRegister(controller, base + ohci::kContextMatch, match | ((startCycle & kCycleMatchMask) << kCycleMatchShift));
        }
        WriteRegister(controller, base + ohci::kContextControlSet, ohci::kContextRun);
        (void)ReadRegisterValue(controller, ohci::kIsochronousCycleTimer);
        if (!(ReadRegisterValue(controller, base + ohci::kContextControlSet) & ohci::kContextRun))
            status = STATUS_UNSUCCESSFUL;
    }
    KeReleaseSpinLock(&stream->Lock, irql);
    Wake(stream);
    return status;
}

void StopKernelStream(Stream* stream) {
    constexpr LONGLONG kRetry = -100 * kOneMs100ns;
    OhciController* controller = stream->Controller;
    const LONG bit = LONG(1u << stream->Context);
    KIRQL irql;
    KeAcquireSpinLock(&stream->Lock, &irql);
    InterlockedExchange(&stream->Autorun, 0);
    stream->StartCycle = kNoCycleMatch;
    HaltLocked(stream, kStatusFlushed);
    if (stream->CopyMode) {
        // Frames received before the stop are not handed out after it.
        InitializeListHead(&stream->FrameQueue);
        stream->SlotMask = 0;
    }
    KeClearEvent(&stream->Drained);
    stream->DrainWanted = TRUE;
    KeReleaseSpinLock(&stream->Lock, irql);
    InterlockedOr(&controller->IsoRxUrgentStop, bit);
    KeInsertQueueDpc(&controller->IsochStopUrgentDpc, stream, nullptr);
    LARGE_INTEGER timeout;
    timeout.QuadPart = kRetry;
    while (KeWaitForSingleObject(&stream->Drained, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
        // The call was withdrawn before it ran (the controller's calls are quieted at teardown).
        if (InterlockedOr(&controller->IsoRxUrgentStop, 0) & bit)
            KeInsertQueueDpc(&controller->IsochStopUrgentDpc, stream, nullptr);
    }
}

bool DetachKernelBuffer(Stream* stream, PVOID kernelBuffer) {
    KIRQL irql;
    KeAcquireSpinLock(&stream->Lock, &irql);
    Request* found = TakeKernelBuffer(&stream->Attached, kernelBuffer);
    if (found == nullptr) found = TakeKernelBuffer(&stream->Completed, kernelBuffer);
    bool programmed = false;
    if (found == nullptr) {
        for (LIST_ENTRY* e = stream->Queued.Flink; e != &stream->Queued && !programmed; e = e->Flink)
            programmed = CONTAINING_RECORD(e, Request, Link)->KernelBuffer == kernelBuffer;
        if (programmed) found = UnprogramKernelBuffer(stream, kernelBuffer);
    }
    KeReleaseSpinLock(&stream->Lock, irql);
    if (found == nullptr) return false;
    FreeRequest(found);
    if (programmed) Wake(stream);
    return true;
}

}  // namespace isorx

// Dispatch level: the finished buffers of each kernel stream a stop has flushed go to their caller,
// oldest first (or to the delivery already under way, which then tells the stop); the stop, which
// holds the context's mutex meanwhile, then goes on.
void Ruk_IsochStopUrgentDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument2);
    auto* controller = static_cast<OhciController*>(DeferredContext);
    if (controller == nullptr || SystemArgument1 == nullptr) {
        ReportMissingContext("Ruk_IsochStopUrgentDpc");
        return;
    }
    ULONG bits = ULONG(InterlockedExchange(&controller->IsoRxUrgentStop, 0));
    for (ULONG n = 0; bits != 0 && n < kIsoContextSlots; ++n) {
        if (!(bits & (1u << n))) continue;
        bits &= ~(1u << n);
        auto* stream = isorx::StreamOfContext(controller, n);
        if (stream == nullptr) continue;
        isorx::DeliverKernel(stream);
    }
}

// --- Hooks of the interrupt service, the bus reset and the controller's life ----------------------

// Interrupt level: the contexts whose programs raised their interrupt.
void IsoRecvEventDispatch(OhciController* controller, ULONG contextBits) {
    for (ULONG n = 0; n < kIsoContextSlots; ++n) {
        if (!(contextBits & (1u << n))) continue;
        auto* stream = isorx::StreamOfContext(controller, n);
        if (stream != nullptr && !stream->Halting) KeInsertQueueDpc(&stream->ReceiveDpc, nullptr, nullptr);
    }
}

// Interrupt level, after an unrecoverable error: a receive context the controller marked dead
// ends its stream's buffers with the status of its event code.
void RecordIsoContextDeath(OhciController* controller, bool transmit, ULONG slot, ULONG eventCode, ULONG status) {
    if (transmit || slot >= kIsoContextSlots) return;
    auto* stream = isorx::StreamOfContext(controller, slot);
    if (stream == nullptr) return;
    ULONG control = ReadRegisterValue(controller, ohci::IsoRecvContextBase(slot) + ohci::kContextControlSet);
    if (!(control & ohci::kContextDead)) return;
    stream->PendingError = status != 0 ? status : isorx::EventStatus(eventCode);
    if (stream->PendingError == 0) stream->PendingError = 14;
    KeInsertQueueDpc(&stream->ReceiveDpc, nullptr, nullptr);
}

// Dispatch level, in the bus-reset call: every buffer of every receive stream ends with status 1;
// the streams stay open and their contexts start afresh with the next buffer.
void IsoRxHandleBusReset(OhciController* controller) {
    for (ULONG n = 0; n < kIsoContextSlots; ++n) {
        auto* stream = isorx::StreamOfContext(controller, n);
        if (stream == nullptr) continue;
        KeAcquireSpinLockAtDpcLevel(&stream->Lock);
        bool halt = !stream->Halting;
        // Copy mode: the ring keeps running; only the caller's buffers learn of the reset.
        if (halt && stream->CopyMode) isorx::CompleteAttachedLocked(stream, isorx::kStatusBusReset);
        else if (halt) isorx::HaltLocked(stream, isorx::kStatusBusReset);
        KeReleaseSpinLockFromDpcLevel(&stream->Lock);
        if (halt) isorx::Wake(stream);
    }
}

bool CreateIsochLookasideLists(OhciController* controller) { return isorx::CreateEngine(controller); }

void DeleteIsochLookasideLists(OhciController* controller) { isorx::DeleteEngine(controller); }
