// Address ranges of the class interface. A range is a window of this node's 48-bit address space
// that a driver on a child device answers: with its own memory (an MDL, with or without
// notification after each request), with a FIFO of its buffers, each taken by one request, or
// with a routine that makes each response itself over memory of the bus driver's.
//
// Life of a record: the list holds one reference and every notification still to run after a
// response holds one more; the last reference frees it. Records are found, linked and unlinked
// only under ClassRangeLock, and incoming requests walk the list holding it, so a range freed
// while a request is served goes only after that request's notification has run.
//
// Notifications after a response run in a deferred call of their own (ClassRangeNotifyDpc), in
// the order the requests arrived, never where the receive path holds the AsyncLock: a routine may
// send requests of its own from there. Each carries its own copy of the request, as several may
// wait for one range.
#include "address_range.h"

#include "async/incoming.h"
#include "async/lock_operation.h"
#include "async/packet_format.h"
#include "bus_device.h"
#include "core/controller.h"
#include "core/hooks.h"
#include "irb.h"
#include "ohci/bus_order.h"
#include "ohci/list_utilities.h"
#include "ohci/pool_tags.h"

namespace {

constexpr ULONG kTagRangeRecord = BusListTag(18 - 17);  // ZB18
constexpr ULONG kTagBacking = KX_TAG('M', 'A', 'R', '0');
constexpr ULONG kTagPendingNotification = KX_TAG('M', 'A', 'R', '1');
constexpr ULONGLONG kLastAddress = 0xFFFFFFFFFFFFull;
constexpr ULONGLONG kLastFreeStart = 0xFFFEFFFFFFFFull;  // a range placed by the driver ends at or below this
constexpr ULONG kMaxPieceLength = 0xFFFF;                // AR_Length is 16 bits
// The copy of a request handed to notification routines: its header, its data and the trailer.
constexpr ULONG kRequestCopyBytes = 16 + async::kMaxPayload + 4;
// "NotI": a FIFO range's own buffer holds no memory to answer from.
constexpr ULONG kNoBackingMark = 0x49746F4E;
constexpr UCHAR kNoBackingBytes[4] = {'N', 'o', 't', 'I'};
// An rcode the bus never carries: the FIFO had no element for the request.
constexpr LONG kFifoEmpty = 15;
// A free waiting for a notification in progress on another processor looks again this often.
constexpr LONGLONG kNotificationPollRelative = -10000;  // 1 ms
constexpr ULONG kNotificationPollUs = 10;

enum RangeMode : ULONG { kModeCallerBuffer = 1, kModeNotify = 2, kModeFifo = 3, kModeDriverBuffer = 4 };

struct AddressRangeRecord {
    LIST_ENTRY Links;
    ULONG Mode;
    ChildDeviceExtension* Owner;
    OhciController* Controller;
    ULONG Length;
    PUCHAR Backing;                 // Length bytes (at least 4), zero-filled
    ULONG BackingLow;
    PMDL Mdl;                       // the caller's (modes 1, 2), the driver's over Backing (mode 4)
    BOOLEAN OwnsMdl;
    PUCHAR Data;                    // the range's memory in system space
    PVOID Callback;
    PVOID CallbackContext;
    ULONG AccessType;
    ULONG NotificationOptions;
    ULONG Flags;
    PSLIST_HEADER FifoList;
    PKSPIN_LOCK FifoLock;
    ULONGLONG Start;
    ULONGLONG End;
    // Incoming-request state of a routine that makes its own responses: the record it gets, the
    // answers it leaves through its pointers and its copy of the request.
    NOTIFICATION_INFO Notification;
    PVOID ResponsePacket;
    ULONG ResponseLength;
    PKEVENT ResponseEvent;
    PUCHAR Work;                    // the request copy (kRequestCopyBytes, ZOPP)
    PSCATTER_GATHER_LIST ScatterGather;  // no path of this driver leaves one on a range
    IRB* Irb;
    volatile LONG References;
    BOOLEAN Listed;
    HANDLE NotifyingThread;         // the id of the thread running the range's routine, if any
};

// A notification waiting for ClassRangeNotifyDpc: what the routine gets and its copy of the
// request. It holds a reference on its range.
struct PendingNotification {
    LIST_ENTRY Links;               // ClassNotifyQueue
    AddressRangeRecord* Range;
    NOTIFICATION_INFO Info;
    UCHAR Request[kRequestCopyBytes];
};

AddressRangeRecord* RangeOf(PLIST_ENTRY entry) { return CONTAINING_RECORD(entry, AddressRangeRecord, Links); }
OhciController* ControllerOf(ChildDeviceExtension* child) { return &ParentOf(child)->Controller; }

void FreeRecord(AddressRangeRecord* range) {
    if (range->OwnsMdl && range->Mdl != nullptr) IoFreeMdl(range->Mdl);
    if (range->Backing != nullptr) FreeTaggedPool(range->Backing, kTagBacking);
    if (range->Work != nullptr) FreeTaggedPool(range->Work, kTagAsyncPacket);
    FreeTaggedPool(range, kTagRangeRecord);
}

void ReleaseRange(AddressRangeRecord* range) {
    if (InterlockedDecrement(&range->References) == 0) FreeRecord(range);
}

// --- Allocation ---------------------------------------------------------------------------------

bool Overlaps(ULONGLONG start, ULONGLONG end, const AddressRangeRecord* other) {
    auto inside = [](ULONGLONG a, ULONGLONG from, ULONGLONG to) { return a >= from && a <= to; };
    return inside(start, other->Start, other->End) || inside(end, other->Start, other->End) ||
           inside(other->Start, start, end) || inside(other->End, start, end);
}

bool Free(OhciController* controller, ULONGLONG start, ULONGLONG end) {
    for (PLIST_ENTRY e = controller->ClassRangeList.Flink; e != &controller->ClassRangeList; e = e->Flink)
        if (Overlaps(start, end, RangeOf(e))) return false;
    return true;
}

// Places the range and lists it in one hold of the list lock, so two allocations never take the
// same place. Without a required offset the range starts at Off_Low = the low half of its own
// buffer's address (kept clear of a 4 GB boundary, so that every piece has the same Off_High),
// in the first Off_High from 1 on where it overlaps no other range.
bool PlaceAndList(OhciController* controller, AddressRangeRecord* range, ULONGLONG required) {
    bool placed = false;
    KIRQL irql;
    KeAcquireSpinLock(&controller->ClassRangeLock, &irql);
    if (required != 0) {
        range->Start = required;
        range->End = required + range->Length - 1;
        placed = true;
    } else {
        ULONG low = range->BackingLow & ~7u;
        if (ULONGLONG(low) + range->Length > 0x100000000ull) low = ULONG((0x100000000ull - range->Length) & ~7ull);
        for (ULONGLONG high = 1;; ++high) {
            ULONGLONG start = (high << 32) | low;
            ULONGLONG end = start + range->Length - 1;
            if (end > kLastFreeStart) break;
            if (Free(controller, start, end)) {
                range->Start = start;
                range->End = end;
                placed = true;
                break;
            }
        }
    }
    if (placed) {
        range->Listed = TRUE;
        range->References = 1;
        InsertTailList(&controller->ClassRangeList, &range->Links);
    }
    KeReleaseSpinLock(&controller->ClassRangeLock, irql);
    return placed;
}

// The mode from what the caller gave: its MDL, notification options and FIFO parts.
ULONG ModeOf(const IRB_REQ_ALLOCATE_ADDRESS_RANGE& r) {
    bool fifo = r.FifoSListHead != nullptr, fifoLock = r.FifoSpinLock != nullptr;
    if (r.Mdl != nullptr) {
        if ((r.fulNotificationOptions & 7) == 0) return kModeCallerBuffer;
        return fifo || fifoLock ? 0 : ULONG(kModeNotify);
    }
    if (fifo && fifoLock) return kModeFifo;
    return !fifo && !fifoLock ? ULONG(kModeDriverBuffer) : 0;
}

// Memory, MDL and mode of a new record; STATUS_SUCCESS or why not (the caller frees the record).
NTSTATUS FillRecord(AddressRangeRecord* range, const IRB_REQ_ALLOCATE_ADDRESS_RANGE& r) {
    range->Work = static_cast<PUCHAR>(AllocateZeroedPool(kRequestCopyBytes, kTagAsyncPacket));
    // A FIFO range marks its buffer with four bytes, whatever its length.
    ULONG backingBytes = r.nLength < 4 ? 4 : r.nLength;
    range->Backing = static_cast<PUCHAR>(AllocateZeroedPool(backingBytes, kTagBacking));
    if (range->Work == nullptr || range->Backing == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    range->BackingLow = ULONG(reinterpret_cast<ULONG_PTR>(range->Backing));
    switch (range->Mode) {
    case kModeFifo: {
        range->FifoList = r.FifoSListHead;
        range->FifoLock = r.FifoSpinLock;
        KIRQL irql;
        KeAcquireSpinLock(range->FifoLock, &irql);
        RtlCopyMemory(range->Backing, kNoBackingBytes, 4);
        KeReleaseSpinLock(range->FifoLock, irql);
        return STATUS_SUCCESS;
    }
    case kModeDriverBuffer:
        range->Mdl = IoAllocateMdl(range->Backing, r.nLength, FALSE, FALSE, nullptr);
        if (range->Mdl == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        MmBuildMdlForNonPagedPool(range->Mdl);
        range->OwnsMdl = TRUE;
        range->Data = range->Backing;
        return STATUS_SUCCESS;
    default:
        // The caller's MDL must describe the whole range: requests reach every byte of it.
        if (MmGetMdlByteCount(r.Mdl) < r.nLength) return STATUS_INVALID_PARAMETER;
        range->Mdl = r.Mdl;
        range->Data = static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(r.Mdl, NormalPagePriority));
        return range->Data != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    }
}

// The pieces of the range as the caller sees them: MaxSegmentSize bytes each (the last one the
// rest), each at its own 48-bit address.
void ReportPieces(IRB_REQ_ALLOCATE_ADDRESS_RANGE& r, const AddressRangeRecord* range, ULONG piece) {
    ULONG count = (r.nLength + piece - 1) / piece;
    for (ULONG i = 0; i < count; ++i) {
        ULONGLONG at = range->Start + ULONGLONG(i) * piece;
        ULONG length = i + 1 == count ? r.nLength - i * piece : piece;
        r.p1394AddressRange[i].AR_Off_High = USHORT(at >> 32);
        r.p1394AddressRange[i].AR_Length = USHORT(length);
        r.p1394AddressRange[i].AR_Off_Low = ULONG(at);
    }
    r.AddressesReturned = count;
}

// --- Incoming requests ---------------------------------------------------------------------------

constexpr ULONG kOperationRead = NOTIFY_FLAGS_AFTER_READ;
constexpr ULONG kOperationWrite = NOTIFY_FLAGS_AFTER_WRITE;
constexpr ULONG kOperationLock = NOTIFY_FLAGS_AFTER_LOCK;

ULONG OperationOf(UCHAR tcode) {
    switch (tcode) {
    case async::kTcodeWriteQuadlet:
    case async::kTcodeWriteBlock: return kOperationWrite;
    case async::kTcodeReadQuadlet:
    case async::kTcodeReadBlock: return kOperationRead;
    default: return kOperationLock;
    }
}

// The operation on `memory` (the range's bytes at the request's offset).
LONG Apply(PUCHAR memory, const IncomingRequest* request, ULONG operation) {
    switch (operation) {
    case kOperationWrite: RtlCopyMemory(memory, request->RequestData, request->Length); return 0;
    case kOperationRead:
        if (request->Length > request->ResponseDataBytes) return async::kRcodeTypeError;
        RtlCopyMemory(request->ResponseData, memory, request->Length);
        return 0;
    default:
        return async::LockOperation(USHORT(request->Kind), request->RequestData, request->Length, memory,
                                    request->ResponseData);
    }
}

// The request as the notification routine sees it: header, data and trailer, as much as arrived.
PVOID CopyRequest(PUCHAR copy, const IncomingRequest* request) {
    ULONG bytes = 20;
    if (request->Tcode == async::kTcodeReadQuadlet) bytes = 16;
    if (request->Tcode == async::kTcodeWriteBlock || request->Tcode == async::kTcodeLockRequest)
        bytes = request->Length + 20;
    if (bytes > kRequestCopyBytes) bytes = kRequestCopyBytes;
    ULONG present = request->PacketLength < bytes ? request->PacketLength : bytes;
    RtlCopyMemory(copy, request->Packet, present);
    RtlZeroMemory(copy + present, bytes - present);
    return copy;
}

void FillNotification(NOTIFICATION_INFO& n, PUCHAR copy, AddressRangeRecord* range, const IncomingRequest* request,
                      PMDL mdl, ULONG offset, ULONG length, ULONG operation, ADDRESS_FIFO* element) {
    n.Mdl = mdl;
    n.ulOffset = offset;
    n.nLength = length;
    n.fulNotificationOptions = operation;
    n.Context = range->CallbackContext;
    n.Fifo = element;
    n.RequestPacket = CopyRequest(copy, request);
    n.ResponseMdl = nullptr;
    n.ResponsePacket = nullptr;
    n.ResponseLength = nullptr;
    n.ResponseEvent = nullptr;
}

// A notification given up, or for a range freed meanwhile: a FIFO element goes back on its list.
void EndNotification(PendingNotification* pending, bool run) {
    AddressRangeRecord* range = pending->Range;
    OhciController* controller = range->Controller;
    KIRQL irql;
    KeAcquireSpinLock(&controller->ClassRangeLock, &irql);
    bool listed = range->Listed != FALSE;
    KeReleaseSpinLock(&controller->ClassRangeLock, irql);
    ADDRESS_FIFO* element = pending->Info.Fifo;
    if (run && listed) {
        // One routine runs at a time (the notification deferred call runs on one processor at a
        // time), so one field tells a free from inside the routine.
        range->NotifyingThread = PsGetCurrentThreadId();
        reinterpret_cast<PNOTIFICATION_ROUTINE>(range->Callback)(&pending->Info);
        range->NotifyingThread = nullptr;
    } else if (element != nullptr) {
        InterlockedPushEntrySList(range->FifoList, &element->FifoList);
    }
    ReleaseRange(range);
    FreeTaggedPool(pending, kTagPendingNotification);
}

// After the response: the notification joins the queue of the notification deferred call, or is
// given up. Runs where the receive path holds the AsyncLock.
void QueueNotification(PVOID context, bool run) {
    auto* pending = static_cast<PendingNotification*>(context);
    if (!run) {
        EndNotification(pending, false);
        return;
    }
    OhciController* controller = pending->Range->Controller;
    KIRQL irql;
    KeAcquireSpinLock(&controller->ClassNotifyLock, &irql);
    InsertTailList(&controller->ClassNotifyQueue, &pending->Links);
    KeReleaseSpinLock(&controller->ClassNotifyLock, irql);
    KeInsertQueueDpc(&controller->ClassNotifyDpc, nullptr, nullptr);
}

// A range leaves the list: its notifications still queued are given up before its owner hears
// back, so a FIFO element is on the owner's list again by then and no routine of the range runs
// later.
void GiveUpQueuedNotifications(OhciController* controller, AddressRangeRecord* range) {
    if (controller->ClassNotifyQueue.Flink == nullptr) return;
    LIST_ENTRY given;
    KIRQL irql;
    KeAcquireSpinLock(&controller->ClassNotifyLock, &irql);
    TakeMatchingEntries(&controller->ClassNotifyQueue, &given,
                        [range](PLIST_ENTRY e) { return CONTAINING_RECORD(e, PendingNotification, Links)->Range == range; });
    KeReleaseSpinLock(&controller->ClassNotifyLock, irql);
    while (!IsListEmpty(&given))
        EndNotification(CONTAINING_RECORD(RemoveHeadList(&given), PendingNotification, Links), false);
}

// A range that left the list: its notifications still in progress end before its owner hears
// back. Each holds a reference: one the notification deferred call took off the queue just before
// the free looked, or one the receive path made before the range left the list and queues after
// its response (given up here once queued). The range's own routine freeing it from inside its
// notification is not waited for.
void WaitForNotifications(OhciController* controller, AddressRangeRecord* range) {
    const LONG own = range->NotifyingThread != nullptr && range->NotifyingThread == PsGetCurrentThreadId() ? 2 : 1;
    while (InterlockedCompareExchange(&range->References, 0, 0) > own) {
        GiveUpQueuedNotifications(controller, range);
        if (InterlockedCompareExchange(&range->References, 0, 0) <= own) break;
        if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
            LARGE_INTEGER pause;
            pause.QuadPart = kNotificationPollRelative;
            KeDelayExecutionThread(KernelMode, FALSE, &pause);
        } else {
            KeStallExecutionProcessor(kNotificationPollUs);
        }
    }
}

// A record for a notification after the response, taken before the request changes anything:
// without one the request is refused (resp_conflict_error, the requester may try again).
PendingNotification* NewNotification() {
    return static_cast<PendingNotification*>(AllocateZeroedPool(sizeof(PendingNotification), kTagPendingNotification));
}

// Names the range's notification to run after the response (list lock held).
void NotifyAfterResponse(AddressRangeRecord* range, IncomingRequest* request, PendingNotification* pending) {
    InterlockedIncrement(&range->References);
    pending->Range = range;
    request->AfterResponse = QueueNotification;
    request->AfterResponseContext = pending;
}

// A FIFO range: each notified operation takes one of the caller's buffers; others use the range's
// own buffer, unless it is marked as having none.
LONG ServeFifo(AddressRangeRecord* range, IncomingRequest* request, ULONG offset, ULONG touched, ULONG operation) {
    OhciController* controller = range->Controller;
    if ((range->NotificationOptions & operation) == 0) {
        LONG result = kFifoEmpty;
        KeAcquireSpinLockAtDpcLevel(range->FifoLock);
        ULONG mark = 0;
        RtlCopyMemory(&mark, range->Backing, 4);
        if (mark != kNoBackingMark) result = Apply(range->Backing + offset, request, operation);
        KeReleaseSpinLockFromDpcLevel(range->FifoLock);
        return result;
    }
    PendingNotification* pending = nullptr;
    if (range->Callback != nullptr) {
        pending = NewNotification();
        if (pending == nullptr) return async::kRcodeConflictError;
    }
    PSLIST_ENTRY entry = InterlockedPopEntrySList(range->FifoList);
    if (entry == nullptr) {
        if (pending != nullptr) FreeTaggedPool(pending, kTagPendingNotification);
        return kFifoEmpty;
    }
    auto* element = CONTAINING_RECORD(entry, ADDRESS_FIFO, FifoList);
    PMDL mdl = element->FifoMdl;
    PUCHAR memory = mdl != nullptr ? static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority))
                                   : nullptr;
    if (memory == nullptr) CountStatistic(controller, kStatFifoUnmapped);
    // An element that cannot hold the request stays the caller's.
    if (memory == nullptr || MmGetMdlByteCount(mdl) < ULONGLONG(offset) + touched) {
        InterlockedPushEntrySList(range->FifoList, entry);
        if (pending != nullptr) FreeTaggedPool(pending, kTagPendingNotification);
        return kFifoEmpty;
    }
    LONG result = Apply(memory + offset, request, operation);
    if (pending == nullptr) {
        InterlockedPushEntrySList(range->FifoList, entry);
        return result;
    }
    FillNotification(pending->Info, pending->Request, range, request, mdl, offset, request->Length, operation,
                     element);
    NotifyAfterResponse(range, request, pending);
    return result;
}

// A range without memory of the caller's: its routine answers now, under the list lock. What it
// leaves is read only within the length it gives and the room of the response.
LONG AnswerByCallback(AddressRangeRecord* range, IncomingRequest* request, ULONG operation) {
    ULONG length = request->Length;
    NOTIFICATION_INFO& n = range->Notification;
    FillNotification(n, range->Work, range, request, nullptr, 0, length, operation, nullptr);
    range->ResponsePacket = nullptr;
    range->ResponseLength = 0;
    range->ResponseEvent = nullptr;
    n.ResponsePacket = &range->ResponsePacket;
    n.ResponseLength = &range->ResponseLength;
    n.ResponseEvent = &range->ResponseEvent;
    reinterpret_cast<PNOTIFICATION_ROUTINE>(range->Callback)(&n);
    request->ResponseEvent = range->ResponseEvent;
    if (range->ResponseLength == 0) return kNoResponse;
    const UCHAR* packet = static_cast<const UCHAR*>(range->ResponsePacket);
    ULONG available = range->ResponseLength;
    if (n.ResponseMdl != nullptr && MmGetMdlByteCount(n.ResponseMdl) != 0) {
        packet = static_cast<const UCHAR*>(MmGetSystemAddressForMdlSafe(n.ResponseMdl, NormalPagePriority));
        available = MmGetMdlByteCount(n.ResponseMdl);
    }
    // Without a response header there is nothing to answer with.
    if (packet == nullptr || available < 8) return kNoResponse;
    LONG rcode = LONG((async::LoadLe32(packet + 4) >> 12) & 0xF);
    ULONG data = available > 16 ? available - 16 : 0;
    ULONG copy = 0;
    const UCHAR* from = packet + 16;
    if (request->Tcode == async::kTcodeReadQuadlet) {
        from = packet + 12;
        copy = available >= 16 ? 4 : 0;
    } else if (request->Tcode == async::kTcodeReadBlock) {
        copy = length < data ? length : data;
    } else if (request->Tcode == async::kTcodeLockRequest && rcode == 0) {
        copy = available > 14 ? packet[14] : 0;
        if (copy > data) copy = data;
    }
    if (copy > request->ResponseDataBytes) copy = request->ResponseDataBytes;
    RtlCopyMemory(request->ResponseData, from, copy);
    return rcode;
}

// Serves the request with the range whose bytes [offset, offset + touched) it lies in.
LONG Serve(AddressRangeRecord* range, IncomingRequest* request, ULONG touched) {
    ULONG operation = OperationOf(request->Tcode);
    if ((range->AccessType & operation) == 0) return async::kRcodeTypeError;
    ULONG offset = ULONG(request->Offset - range->Start);
    bool notify = (range->NotificationOptions & operation) != 0;
    LONG result;
    switch (range->Mode) {
    case kModeCallerBuffer: return Apply(range->Data + offset, request, operation);
    case kModeNotify: {
        PendingNotification* pending = nullptr;
        if (notify && range->Callback != nullptr) {
            pending = NewNotification();
            if (pending == nullptr) return async::kRcodeConflictError;
        }
        result = Apply(range->Data + offset, request, operation);
        if (pending != nullptr && (operation != kOperationLock || result == 0)) {
            FillNotification(pending->Info, pending->Request, range, request, range->Mdl, offset, request->Length,
                             operation, nullptr);
            NotifyAfterResponse(range, request, pending);
        } else if (pending != nullptr) {
            FreeTaggedPool(pending, kTagPendingNotification);
        }
        return result;
    }
    case kModeFifo: return ServeFifo(range, request, offset, touched, operation);
    default:
        if (range->Callback == nullptr) return Apply(range->Data + offset, request, operation);
        if (operation == kOperationWrite) RtlCopyMemory(range->Data + offset, request->RequestData, request->Length);
        return AnswerByCallback(range, request, operation);
    }
}

// Bytes of the range a request touches: its data, or for a lock the target its operands act on.
ULONG TouchedBytes(const IncomingRequest* request, bool* known) {
    *known = true;
    switch (request->Tcode) {
    case async::kTcodeWriteQuadlet:
    case async::kTcodeReadQuadlet: return 4;
    case async::kTcodeWriteBlock:
    case async::kTcodeReadBlock: return request->Length;
    case async::kTcodeLockRequest: return async::LockOldValueBytes(USHORT(request->Kind), request->Length);
    default: *known = false; return 0;
    }
}

void CountCallbackAnswer(OhciController* controller, LONG rcode) {
    constexpr ULONG kCallbackRcodeCounters[] = {0x24, 0x28, 0x2C, 0x30, 0x34, 0x38};  // 0, 4, 5, 6, 7, other
    ULONG index = rcode == 0 ? 0 : rcode == 4 ? 1 : rcode == 5 ? 2 : rcode == 6 ? 3 : rcode == 7 ? 4 : 5;
    CountStatistic(controller, kStatCallbackRanges);
    CountStatistic(controller, kCallbackRcodeCounters[index]);
}

}  // namespace

// Runs the queued notifications, oldest first, at dispatch level. One caller at a time runs
// them: whoever finds another at it leaves the queue to that one, so the routines see the requests
// in the order they arrived.
void ClassRangeNotifyDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    auto* controller = static_cast<OhciController*>(DeferredContext);
    if (controller == nullptr) {
        ReportMissingContext("ClassRangeNotifyDpc");
        return;
    }
    KeAcquireSpinLockAtDpcLevel(&controller->ClassNotifyLock);
    if (controller->ClassNotifyRunning) {
        KeReleaseSpinLockFromDpcLevel(&controller->ClassNotifyLock);
        return;
    }
    controller->ClassNotifyRunning = TRUE;
    while (!IsListEmpty(&controller->ClassNotifyQueue)) {
        auto* pending = CONTAINING_RECORD(RemoveHeadList(&controller->ClassNotifyQueue), PendingNotification, Links);
        KeReleaseSpinLockFromDpcLevel(&controller->ClassNotifyLock);
        EndNotification(pending, true);
        KeAcquireSpinLockAtDpcLevel(&controller->ClassNotifyLock);
    }
    controller->ClassNotifyRunning = FALSE;
    KeReleaseSpinLockFromDpcLevel(&controller->ClassNotifyLock);
}

void RunClassRangeNotifications(OhciController* controller) {
    if (controller->ClassNotifyQueue.Flink == nullptr) return;
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    ClassRangeNotifyDpc(nullptr, controller, nullptr, nullptr);
    KeLowerIrql(irql);
}

LONG ServeKernelRanges(OhciController* controller, IncomingRequest* request) {
    bool known = false;
    ULONG length = TouchedBytes(request, &known);
    if (!known) {
        CountRcode(controller, async::kRcodeTypeError);
        return async::kRcodeTypeError;
    }
    ULONGLONG first = request->Offset;
    ULONGLONG last = length == 0 ? first : first + length - 1;
    AddressRangeRecord* used = nullptr;
    LONG result = async::kRcodeAddressError;
    KIRQL irql;
    KeAcquireSpinLock(&controller->ClassRangeLock, &irql);
    InterlockedExchange(&controller->ClassRangeWalk, 1);
    for (PLIST_ENTRY e = controller->ClassRangeList.Flink; e != &controller->ClassRangeList; e = e->Flink) {
        AddressRangeRecord* range = RangeOf(e);
        bool anySource = (range->AccessType & ACCESS_FLAGS_TYPE_BROADCAST) != 0;
        if (!anySource && request->SourceId != USHORT(async::kLocalBusSource | (range->Owner->Node & 0x3F)))
            continue;
        if (first < range->Start || last > range->End || last < first) continue;
        used = range;
        result = Serve(range, request, length);
        break;
    }
    InterlockedExchange(&controller->ClassRangeWalk, 0);
    ULONG mode = used != nullptr ? used->Mode : 0;
    KeReleaseSpinLock(&controller->ClassRangeLock, irql);
    if (mode == kModeDriverBuffer) CountCallbackAnswer(controller, result);
    else if (used != nullptr) CountRcode(controller, result);
    return result;
}

namespace bus {

NTSTATUS AllocateAddressRange(ChildDeviceExtension* child, IRB* irb, bool mappingRoutine) {
    OhciController* controller = ControllerOf(child);
    IRB_REQ_ALLOCATE_ADDRESS_RANGE& r = irb->u.AllocateAddressRange;
    ULONG mode = ModeOf(r);
    ULONGLONG required = (ULONGLONG(r.Required1394Offset.Off_High) << 32) | r.Required1394Offset.Off_Low;
    ULONG piece = r.MaxSegmentSize != 0 && r.MaxSegmentSize < r.nLength ? r.MaxSegmentSize : r.nLength;
    // A range of nothing, one past the 48-bit address space, or pieces a 16-bit length cannot
    // report, is refused before anything is taken.
    if (mode == 0 || r.nLength == 0 || r.p1394AddressRange == nullptr || piece > kMaxPieceLength ||
        (required != 0 && required + r.nLength - 1 > kLastAddress))
        return STATUS_INVALID_PARAMETER;
    auto* range = static_cast<AddressRangeRecord*>(AllocateZeroedPool(sizeof(AddressRangeRecord), kTagRangeRecord));
    if (range == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    range->Mode = mode;
    range->Owner = child;
    range->Controller = controller;
    range->Length = r.nLength;
    range->Callback = r.Callback;
    range->CallbackContext = r.Context;
    range->AccessType = r.fulAccessType;
    range->NotificationOptions = r.fulNotificationOptions;
    range->Flags = r.fulFlags & ~BIG_ENDIAN_ADDRESS_RANGE;
    range->Irb = irb;
    NTSTATUS status = FillRecord(range, r);
    if (NT_SUCCESS(status) && !PlaceAndList(controller, range, required)) status = STATUS_INSUFFICIENT_RESOURCES;
    if (!NT_SUCCESS(status)) {
        FreeRecord(range);
        return status;
    }
    if (range->OwnsMdl) r.Mdl = range->Mdl;
    ReportPieces(r, range, piece);
    r.hAddressRange = range;
    if (mappingRoutine && mode == kModeCallerBuffer && r.Callback != nullptr && KeGetCurrentIrql() > PASSIVE_LEVEL) {
        // Both 32-bit halves of every piece in bus order, then the caller hears it is done.
        for (ULONG i = 0; i < r.AddressesReturned; ++i) {
            ULONG halves[2];
            RtlCopyMemory(halves, &r.p1394AddressRange[i], sizeof(halves));
            halves[0] = HostToBus32(halves[0]);
            halves[1] = HostToBus32(halves[1]);
            RtlCopyMemory(&r.p1394AddressRange[i], halves, sizeof(halves));
        }
        reinterpret_cast<PALLOCATION_COMPLETION_ROUTINE>(r.Callback)(r.Context);
    }
    return STATUS_SUCCESS;
}

NTSTATUS FreeAddressRange(ChildDeviceExtension* child, IRB* irb) {
    OhciController* controller = ControllerOf(child);
    IRB_REQ_FREE_ADDRESS_RANGE& r = irb->u.FreeAddressRange;
    if (r.pAddressRange == nullptr) return STATUS_SUCCESS;
    for (ULONG i = 0; i < r.nAddressesToFree; ++i) {
        AddressRangeRecord* found = nullptr;
        KIRQL irql;
        KeAcquireSpinLock(&controller->ClassRangeLock, &irql);
        for (PLIST_ENTRY e = controller->ClassRangeList.Flink; e != &controller->ClassRangeList; e = e->Flink) {
            // Only the child's own ranges: a stray handle never frees another child's.
            if (RangeOf(e) != r.pAddressRange[i] || RangeOf(e)->Owner != child) continue;
            found = RangeOf(e);
            RemoveEntryList(e);
            found->Listed = FALSE;
            break;
        }
        KeReleaseSpinLock(&controller->ClassRangeLock, irql);
        if (found == nullptr) continue;
        GiveUpQueuedNotifications(controller, found);
        WaitForNotifications(controller, found);
        ReleaseRange(found);
    }
    return STATUS_SUCCESS;
}

NTSTATUS PhysicalMappingRoutine(PVOID context, IRB* irb) {
    auto* child = static_cast<ChildDeviceExtension*>(context);
    if (child == nullptr || irb == nullptr || !ControllerOf(child)->Initialized) return STATUS_UNSUCCESSFUL;
    switch (irb->FunctionNumber) {
    case REQUEST_ALLOCATE_ADDRESS_RANGE: return AllocateAddressRange(child, irb, true);
    case REQUEST_FREE_ADDRESS_RANGE: return FreeAddressRange(child, irb);
    default: return STATUS_UNSUCCESSFUL;
    }
}

void ReleaseChildRanges(ControllerDeviceExtension* extension, ChildDeviceExtension* child) {
    OhciController* controller = &extension->Controller;
    if (controller->ClassRangeList.Flink == nullptr) return;
    LIST_ENTRY released;
    KIRQL irql;
    KeAcquireSpinLock(&controller->ClassRangeLock, &irql);
    TakeMatchingEntries(&controller->ClassRangeList, &released, [child](PLIST_ENTRY e) {
        if (RangeOf(e)->Owner != child) return false;
        RangeOf(e)->Listed = FALSE;
        return true;
    });
    KeReleaseSpinLock(&controller->ClassRangeLock, irql);
    while (!IsListEmpty(&released)) {
        AddressRangeRecord* range = RangeOf(RemoveHeadList(&released));
        GiveUpQueuedNotifications(controller, range);
        WaitForNotifications(controller, range);
        ReleaseRange(range);
    }
}

}  // namespace bus
