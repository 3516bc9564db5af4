#include "user_isoch.h"

#include "client.h"
#include "core/controller.h"
#include "core/hooks.h"
#include "isoch/iso_records.h"
#include "isoch/iso_rx.h"
#include "kx1394.h"

namespace {

constexpr NTSTATUS kStatusInternalError = NTSTATUS(0xC00000E5u);  // STATUS_INTERNAL_ERROR
constexpr ULONG kNoContext = 0xFFFFFFFFu;
constexpr ULONG kBandwidthTotal = 4915;

}  // namespace

// --- Local channel and bandwidth bookkeeping (the local CSR images, reset at every bus reset) ---

bool ReplaceBandwidth(OhciController* controller, ULONG releasedUnits, ULONG wantedUnits, ULONG* generation) {
    KIRQL irql;
    KeAcquireSpinLock(&controller->TopologyLock, &irql);
    LocalCsrValues* books = &controller->LocalCsr;
    // Units taken before the last bus reset are not in these books: the reset renewed them.
    ULONG available = books->BandwidthAvailable;
    if (*generation == books->BooksGeneration) {
        ULONG sum = available + releasedUnits;
        available = sum <= kBandwidthTotal ? sum : kBandwidthTotal;
    }
    bool ok = wantedUnits <= available;
    if (ok) {
        books->BandwidthAvailable = available - wantedUnits;
        *generation = books->BooksGeneration;
    }
    KeReleaseSpinLock(&controller->TopologyLock, irql);
    return ok;
}

bool AllocateBandwidth(OhciController* controller, ULONG units, ULONG* generation) {
    *generation = ~0u;  // nothing to give back
    return ReplaceBandwidth(controller, 0, units, generation);
}

void ReleaseBandwidth(OhciController* controller, ULONG units, ULONG generation) {
    (void)ReplaceBandwidth(controller, units, 0, &generation);
}

namespace {

// Channel c is bit (31 - c mod 32) of CHANNELS_AVAILABLE_HI (c < 32) or _LO; 1 = free.
PULONG ChannelImage(OhciController* controller, ULONG channel) {
    return channel < 32 ? &controller->LocalCsr.ChannelsAvailableHi : &controller->LocalCsr.ChannelsAvailableLo;
}
ULONG ChannelBit(ULONG channel) { return 1u << (31 - channel % 32); }

}  // namespace

bool UpdateChannel(OhciController* controller, ULONG channel, bool allocate) {
    if (channel > isorx::kMaxChannel) return false;
    KIRQL irql;
    KeAcquireSpinLock(&controller->TopologyLock, &irql);
    PULONG image = ChannelImage(controller, channel);
    ULONG bit = ChannelBit(channel);
    bool ok = allocate ? (*image & bit) != 0 : (*image & bit) == 0;
    if (ok) *image = allocate ? (*image & ~bit) : (*image | bit);
    KeReleaseSpinLock(&controller->TopologyLock, irql);
    return ok;
}

bool BookStreamResources(OhciController* controller, ULONG channel, ULONG units, PULONG generation) {
    if (channel > isorx::kMaxChannel) return false;
    KIRQL irql;
    KeAcquireSpinLock(&controller->TopologyLock, &irql);
    LocalCsrValues* books = &controller->LocalCsr;
    bool ok = units <= books->BandwidthAvailable && (*ChannelImage(controller, channel) & ChannelBit(channel)) != 0;
    if (ok) {
        books->BandwidthAvailable -= units;
        *ChannelImage(controller, channel) &= ~ChannelBit(channel);
        *generation = books->BooksGeneration;
    }
    KeReleaseSpinLock(&controller->TopologyLock, irql);
    return ok;
}

void ReturnStreamResources(OhciController* controller, ULONG channel, ULONG units, ULONG generation) {
    KIRQL irql;
    KeAcquireSpinLock(&controller->TopologyLock, &irql);
    LocalCsrValues* books = &controller->LocalCsr;
    if (generation == books->BooksGeneration && channel <= isorx::kMaxChannel) {
        ULONG sum = books->BandwidthAvailable + units;
        books->BandwidthAvailable = sum <= kBandwidthTotal ? sum : kBandwidthTotal;
        *ChannelImage(controller, channel) |= ChannelBit(channel);
    }
    KeReleaseSpinLock(&controller->TopologyLock, irql);
}

ULONG AvailableBandwidth(OhciController* controller, ULONGLONG* channels) {
    KIRQL irql;
    KeAcquireSpinLock(&controller->TopologyLock, &irql);
    ULONG units = controller->LocalCsr.BandwidthAvailable;
    if (channels != nullptr)
        *channels = (ULONGLONG(controller->LocalCsr.ChannelsAvailableHi) << 32) | controller->LocalCsr.ChannelsAvailableLo;
    KeReleaseSpinLock(&controller->TopologyLock, irql);
    return units;
}

namespace {

// --- Stream key table ---------------------------------------------------------------------------

bool AddKey(OhciController* controller, ULONGLONG key, ULONG n) {
    if (key == 0) return false;
    KIRQL irql;
    KeAcquireSpinLock(&controller->IsoRxKeyLock, &irql);
    LONG empty = -1;
    bool duplicate = false;
    for (ULONG i = 0; i < kIsoContextSlots; ++i) {
        if (controller->IsoRxKeys[i] == key) duplicate = true;
        if (controller->IsoRxKeys[i] == 0 && empty < 0) empty = LONG(i);
    }
    bool ok = !duplicate && empty >= 0;
    if (ok) {
        controller->IsoRxKeys[empty] = key;
        controller->IsoRxKeyContext[empty] = n;
    }
    KeReleaseSpinLock(&controller->IsoRxKeyLock, irql);
    return ok;
}

// The context of a key reserved with kNoContext, once its stream is open (unless a close took
// the key meanwhile).
void BindKey(OhciController* controller, ULONGLONG key, ULONG n) {
    KIRQL irql;
    KeAcquireSpinLock(&controller->IsoRxKeyLock, &irql);
    for (ULONG i = 0; i < kIsoContextSlots; ++i)
        if (controller->IsoRxKeys[i] == key) controller->IsoRxKeyContext[i] = n;
    KeReleaseSpinLock(&controller->IsoRxKeyLock, irql);
}

ULONG FindKey(OhciController* controller, ULONGLONG key) {
    if (key == 0) return kNoContext;
    KIRQL irql;
    ULONG n = kNoContext;
    KeAcquireSpinLock(&controller->IsoRxKeyLock, &irql);
    for (ULONG i = 0; i < kIsoContextSlots; ++i)
        if (controller->IsoRxKeys[i] == key) n = controller->IsoRxKeyContext[i];
    KeReleaseSpinLock(&controller->IsoRxKeyLock, irql);
    return n;
}

bool KeyInUse(OhciController* controller, ULONGLONG key) { return FindKey(controller, key) != kNoContext; }

void RemoveKey(OhciController* controller, ULONGLONG key) {
    KIRQL irql;
    KeAcquireSpinLock(&controller->IsoRxKeyLock, &irql);
    for (ULONG i = 0; i < kIsoContextSlots; ++i)
        if (controller->IsoRxKeys[i] == key) controller->IsoRxKeys[i] = 0;
    KeReleaseSpinLock(&controller->IsoRxKeyLock, irql);
}

// The driver client's worker runs the finish routines.
void WakeDriverClient(PVOID context) {
    auto* client = static_cast<ClientRecord*>(context);
    KeSetEvent(&client->WorkEvent1, IO_NO_INCREMENT, FALSE);
    KeSetEvent(&client->WorkEvent2, IO_NO_INCREMENT, FALSE);
}

// The bandwidth units a user stream books: none unless the driver keeps the bandwidth books.
ULONG StreamUnits(OhciController* controller, const isorx::OpenRecord& open) {
    return controller->BandwidthForDriver == 1 ? isorx::BandwidthUnits(open.PayloadQuadlets * 4, open.Speed) : 0;
}

// Which stream of a context a close means: any, or the one with this key, owner or handle. A
// context is looked at again under its mutex: the stream found before may have been closed
// meanwhile and another opened on the context.
struct StreamMatch {
    ULONGLONG Key;       // 0: any key
    PEPROCESS Owner;     // null: any owner (a program's streams only, when set)
    PVOID OpenedThrough; // null: any handle (a program's streams only, when set)
    bool Matches(const isorx::Stream* stream) const {
        if (Key != 0 && stream->Key != Key) return false;
        const bool program = stream->Kernel.Done == nullptr;
        if (Owner != nullptr && !(program && stream->Owner == Owner)) return false;
        if (OpenedThrough != nullptr && !(program && stream->OpenedThrough == OpenedThrough)) return false;
        return true;
    }
};

// Closes the stream of IR context n (when it is the one meant) and returns its key, channel and
// bandwidth. A kernel caller's stream has no key and booked its channel and bandwidth through its
// own requests: it only closes. False when the context holds no such stream.
bool CloseContext(OhciController* controller, ULONG n, const StreamMatch& match = StreamMatch{0, nullptr, nullptr}) {
    // The context's mutex is held from the lookup through the close: a kernel caller's stream can
    // be closed meanwhile by its own free-resources request, which takes the same mutex.
    KeWaitForSingleObject(&controller->IsoRx[n].Mutex, Executive, KernelMode, FALSE, nullptr);
    isorx::Stream* stream = isorx::StreamOfContext(controller, n);
    if (stream == nullptr || !match.Matches(stream)) {
        KeReleaseMutex(&controller->IsoRx[n].Mutex, FALSE);
        return false;
    }
    isorx::OpenRecord open = stream->Open;
    bool kernel = stream->Kernel.Done != nullptr;
    ULONG generation = stream->BooksGeneration;
    isorx::CloseStream(stream);
    KeReleaseMutex(&controller->IsoRx[n].Mutex, FALSE);
    if (kernel) return true;
    RemoveKey(controller, open.Key);
    ReturnStreamResources(controller, open.Channel, StreamUnits(controller, open), generation);
    return true;
}

// Closes every program stream a match means (a process's, a handle's).
void CloseMatching(OhciController* controller, const StreamMatch& match) {
    for (ULONG n = 0; n < isorx::kHandedOutContexts; ++n) (void)CloseContext(controller, n, match);
}

}  // namespace

NTSTATUS IsochOpenRequest(ControlRequest* request) {
    OhciController* controller = request->Controller;
    isorx::OpenRecord open;
    bool transmit = false;
    NTSTATUS status = isorx::ReadOpenRecord(request->Input, request->InputLength, request->Is32bit, &open, &transmit);
    if (transmit) return STATUS_NOT_IMPLEMENTED;
    if (!NT_SUCCESS(status)) return status;
    isorx::StreamShape shape;
    status = isorx::ShapeStream(open, controller->IsoRxStreamBase, controller->IsoRxMapRegisters, &shape);
    // Copy mode takes mode 3 in the buffer-fill layouts with dual-buffer programs.
    if (NT_SUCCESS(status) && controller->IsoDirectDMA == 0 && controller->IsoRxStreamBase == 1 && open.Mode == 3)
        status = isorx::ShapeDualBuffer(&shape);
    if (!NT_SUCCESS(status)) return status;
    if (KeyInUse(controller, open.Key)) return kStatusInternalError;
    ClientRecord* client = FindDriverClient(controller);
    if (client == nullptr) return kStatusInternalError;
    PVOID event = nullptr;
    status = ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(open.EventHandle)),
                                       kUserEventAccess, *ExEventObjectType, UserMode, &event, nullptr);
    if (!NT_SUCCESS(status) || event == nullptr) return kStatusInternalError;

    const ULONG units = StreamUnits(controller, open);
    ULONG generation = 0;
    if (!BookStreamResources(controller, open.Channel, units, &generation)) {
        ObDereferenceObject(event);
        request->Output[0] = KX1394_ISOCH_NO_RESOURCES;
        return STATUS_SUCCESS;
    }
    // The key is taken before the stream is published, and the stream is not touched after: from
    // then on another thread of the program (its cleanup, its client's end) may close it.
    if (!AddKey(controller, open.Key, kNoContext)) {
        ObDereferenceObject(event);
        ReturnStreamResources(controller, open.Channel, units, generation);
        return kStatusInternalError;
    }
    isorx::Stream* stream = nullptr;
    bool noContext = false;
    isorx::StreamOrigin origin = {IoGetCurrentIrpStackLocation(request->Irp)->FileObject, generation, kNoContext};
    status = isorx::OpenStream(controller, open, shape, static_cast<PKEVENT>(event), PsGetCurrentProcess(), nullptr,
                               &origin, WakeDriverClient, client, &stream, &noContext);
    if (NT_SUCCESS(status)) {
        BindKey(controller, open.Key, origin.Context);
        request->Output[0] = KX1394_ISOCH_OPENED;
        return STATUS_SUCCESS;
    }
    RemoveKey(controller, open.Key);
    ObDereferenceObject(event);
    ReturnStreamResources(controller, open.Channel, units, generation);
    if (noContext) request->Output[0] = KX1394_ISOCH_NO_RESOURCES;
    return status;
}

NTSTATUS IsochCloseRequest(ControlRequest* request) {
    OhciController* controller = request->Controller;
    const ULONGLONG key = LoadU64(request->Input);
    ULONG n = FindKey(controller, key);
    if (n == kNoContext) return STATUS_INVALID_PARAMETER;
    // Only the stream of this key, if it is still there.
    if (!CloseContext(controller, n, StreamMatch{key, nullptr, nullptr})) return STATUS_INVALID_PARAMETER;
    request->Output[0] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS IsochFlushRequest(ControlRequest* request) {
    OhciController* controller = request->Controller;
    const ULONGLONG key = LoadU64(request->Input);
    ULONG n = FindKey(controller, key);
    if (n == kNoContext) return STATUS_INVALID_PARAMETER;
    KeWaitForSingleObject(&controller->IsoRx[n].Mutex, Executive, KernelMode, FALSE, nullptr);
    isorx::Stream* stream = isorx::StreamOfContext(controller, n);
    const bool found = stream != nullptr && stream->Key == key;
    if (found) isorx::FlushStream(stream);
    KeReleaseMutex(&controller->IsoRx[n].Mutex, FALSE);
    if (!found) return STATUS_INVALID_PARAMETER;
    request->Output[0] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS IsochAttachRequest(ControlRequest* request) {
    OhciController* controller = request->Controller;
    const bool is32 = request->Is32bit;
    isorx::AttachRecord attach;
    NTSTATUS status = isorx::ReadAttachRecord(request->Input, request->InputLength, is32, &attach);
    if (!NT_SUCCESS(status)) return status;
    ULONG n = FindKey(controller, attach.Key);
    if (n == kNoContext) return STATUS_INVALID_PARAMETER;
    // The context mutex keeps the stream from being closed while its buffers are attached.
    KeWaitForSingleObject(&controller->IsoRx[n].Mutex, Executive, KernelMode, FALSE, nullptr);
    isorx::Stream* stream = isorx::StreamOfContext(controller, n);
    if (stream == nullptr || stream->Key != attach.Key) {
        KeReleaseMutex(&controller->IsoRx[n].Mutex, FALSE);
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG pointerBytes = is32 ? 4 : 8;
    const ULONG recordBytes = is32 ? isorx::kBuffer32Bytes : isorx::kBuffer64Bytes;
    for (ULONG i = 0; i < attach.Count && NT_SUCCESS(status); ++i) {
        ULONGLONG pointer = 0;
        UCHAR raw[isorx::kBuffer64Bytes] = {};
        isorx::BufferRecord buffer;
        status = KxCopyFromUser(&pointer, reinterpret_cast<const void*>(static_cast<ULONG_PTR>(attach.Descriptors +
                                                                                                 ULONGLONG(i) * pointerBytes)),
                                pointerBytes);
        if (NT_SUCCESS(status))
            status = KxCopyFromUser(raw, reinterpret_cast<const void*>(static_cast<ULONG_PTR>(pointer)), recordBytes);
        if (NT_SUCCESS(status)) status = isorx::ReadBufferRecord(raw, recordBytes, is32, &buffer);
        if (NT_SUCCESS(status)) status = isorx::AttachBuffer(stream, buffer, pointer);
    }
    // The buffers are programmed (or frames delivered) here, in the attaching thread.
    if (NT_SUCCESS(status)) isorx::FinishStream(stream);
    else isorx::FlushStream(stream);
    KeReleaseMutex(&controller->IsoRx[n].Mutex, FALSE);
    return status;
}

// --- Hooks of the client worker, client clean-up and teardown -------------------------------------

void ServeIsoRxWork(ClientRecord* client, bool* stop) {
    *stop = false;
    OhciController* controller = client->Controller;
    ULONG bits = ULONG(InterlockedExchange(&controller->IsoRxWorkMask, 0));
    for (ULONG n = 0; bits != 0 && n < kIsoContextSlots; ++n) {
        if (!(bits & (1u << n))) continue;
        bits &= ~(1u << n);
        KeWaitForSingleObject(&controller->IsoRx[n].Mutex, Executive, KernelMode, FALSE, nullptr);
        isorx::Stream* stream = isorx::StreamOfContext(controller, n);
        if (stream != nullptr) isorx::FinishStream(stream);
        KeReleaseMutex(&controller->IsoRx[n].Mutex, FALSE);
    }
}

void CloseProcessStreams(OhciController* controller, PEPROCESS process) {
    if (process != nullptr) CloseMatching(controller, StreamMatch{0, process, nullptr});
}

void CloseFileStreams(OhciController* controller, PVOID fileObject) {
    if (fileObject != nullptr) CloseMatching(controller, StreamMatch{0, nullptr, fileObject});
}

NTSTATUS OpenKernelStream(OhciController* controller, const isorx::OpenRecord& open, const isorx::StreamShape& shape,
                          const isorx::KernelCaller& caller, isorx::Stream** stream) {
    *stream = nullptr;
    ClientRecord* client = FindDriverClient(controller);
    if (client == nullptr) return STATUS_DEVICE_NOT_READY;
    bool noContext = false;
    return isorx::OpenStream(controller, open, shape, nullptr, nullptr, &caller, nullptr, WakeDriverClient, client,
                             stream, &noContext);
}

void CloseIsoRxStream(OhciController* controller, ULONG slot) {
    if (slot < kIsoContextSlots) (void)CloseContext(controller, slot);
}
