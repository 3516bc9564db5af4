#include "class_async.h"

#include "async_packet.h"
#include "core/controller.h"
#include "kernel_requests.h"
#include "ohci/bus_order.h"
#include "senders.h"

namespace {

constexpr ULONG kPostAttempts = 5;
constexpr ULONGLONG kNanosecondsPerSecond = 1000000000ull;

PUCHAR MappedBuffer(PMDL mdl) {
    if (mdl == nullptr) return nullptr;
    return static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
}

// The largest payload towards a node at the speed the speed table gives (node numbers masked:
// the local number is 0xFF while a reset runs).
ULONG PayloadLimit(OhciController* controller, ULONG node) {
    ULONG local = controller->LocalNodeNumber & 0x3F;
    if (local >= kMaxNodes || controller->SpeedTable == nullptr) return MaxPayloadForSpeed(0);
    UCHAR code = node >= kMaxNodes ? controller->SpeedMapImage[kSpeedMapHeaderBytes + local * 64 + 63]
                                   : controller->SpeedTable[local * 64 + node];
    return MaxPayloadForSpeed(code <= 5 ? code : 0);
}

struct Blocks {
    ULONG Size;
    ULONG Count;
    ULONG Last;  // bytes of the last block
};

// Block = BlockSize when it is non-zero and below the total, else the total.
Blocks SplitIntoBlocks(ULONG total, ULONG blockSize) {
    Blocks b;
    b.Size = blockSize != 0 && blockSize < total ? blockSize : total;
    b.Count = (total + b.Size - 1) / b.Size;
    b.Last = total % b.Size != 0 ? total % b.Size : b.Size;
    return b;
}

ULONGLONG BlockOffset(const ClassBlockRequest* r, const Blocks& b, ULONG i) {
    return r->Flags & kClassAsyncFlagsSameOffset ? r->Offset : r->Offset + ULONGLONG(b.Size) * i;
}

USHORT Destination(ULONG node) { return USHORT(0xFFC0 | (node & 0x3F)); }

// Whether a transaction ended well: an answered ack_pending with rcode 0, or ack_complete for a
// write. IEEE 1394 lets a node complete only a write in its ack: a read or lock acked complete got
// no response and so no data.
bool Succeeded(const KernelTransaction& t) {
    if (t.Status != kPacketOk || t.Rcode != 0) return false;
    return t.Ack == async::kAckPending || (t.Ack == async::kAckComplete && t.Kind == kKernelWrite);
}

// One block waited for: the transaction's NTSTATUS, or STATUS_UNSUCCESSFUL when it did not end
// well (above).
NTSTATUS Transact(OhciController* controller, ULONG kind, USHORT destination, ULONGLONG offset, PUCHAR data,
                  ULONG length) {
    if (length > PayloadLimit(controller, destination & 0x3F)) return STATUS_UNSUCCESSFUL;
    KernelTransaction t = {};
    t.Kind = kind;
    t.Destination = destination;
    t.Offset = offset;
    t.Length = length;
    t.Data = data;
    NTSTATUS status = KernelAsyncTransaction(controller, &t);
    if (!NT_SUCCESS(status)) return status;
    return Succeeded(t) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

// Raised level: the block goes out untracked; nobody waits for it.
NTSTATUS PostWrite(OhciController* controller, USHORT destination, ULONGLONG offset, const UCHAR* data,
                   ULONG length) {
    if (length > PayloadLimit(controller, destination & 0x3F)) return STATUS_UNSUCCESSFUL;
    for (ULONG attempt = 0; attempt < kPostAttempts; ++attempt) {
        AsyncPacket* packet = AllocatePacket(controller, length == 4 ? 0 : length);
        if (packet == nullptr) continue;
        packet->Destination = destination;
        if (!AllocateLabel(packet)) {
            ReleasePacket(packet);
            continue;
        }
        ULONG quadlet = 0;
        if (length == 4)
            RtlCopyMemory(&quadlet, data, 4);
        else if (length != 0)
            RtlCopyMemory(packet->Payload, data, length);
        async::BuiltPacket built;
        async::BuildWriteRequest(&built, destination, packet->Label, UCHAR(controller->LocalNodeNumber & 0x3F), offset,
                                 length, quadlet);
        // Nobody waits, but a node that acks it pending still answers: the packet (and its label)
        // stays on the pending list until then, as a waited-for request's does.
        SetPacketHeader(packet, built, destination);
        PacketSet(packet, kPacketUntracked);
        packet->Generation = CurrentGeneration(controller);
        KIRQL irql;
        KeAcquireSpinLock(&controller->AsyncLock, &irql);
        LONG result = SubmitPacket(packet);
        KeReleaseSpinLock(&controller->AsyncLock, irql);
        // Submitted, the packet is the engine's: its transmission gives up the owner's reference.
        if (result >= 0) return STATUS_SUCCESS;
        ReleasePacket(packet);
    }
    return STATUS_UNSUCCESSFUL;
}

}  // namespace

UCHAR SpeedCodeOfFlag(ULONG speedFlag) {
    switch (speedFlag) {
    case 0x1: return 0;
    case 0x2: return 1;
    case 0x4: return 2;
    case 0x8: return 3;
    case 0x10: return 4;
    case 0x20: return 5;
    default: return 0;
    }
}

NTSTATUS ClassAsyncRead(OhciController* controller, ClassBlockRequest* r) {
    r->ElapsedTime = 0;
    // Nothing to read has no block size to split by.
    if (r->Bytes == 0) return STATUS_INVALID_PARAMETER;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) return STATUS_INVALID_DEVICE_STATE;
    PUCHAR buffer = MappedBuffer(r->Mdl);
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    LARGE_INTEGER frequency = {};
    LARGE_INTEGER start = {};
    if (r->Flags & kClassAsyncFlagsElapsedTime) start = KeQueryPerformanceCounter(&frequency);
    Blocks b = SplitIntoBlocks(r->Bytes, r->BlockSize);
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = 0; i < b.Count && NT_SUCCESS(status); ++i) {
        ULONG length = i + 1 == b.Count ? b.Last : b.Size;
        status = Transact(controller, kKernelRead, Destination(r->Node), BlockOffset(r, b, i),
                          buffer + ULONGLONG(b.Size) * i, length);
    }
    if ((r->Flags & kClassAsyncFlagsElapsedTime) && frequency.QuadPart > 0) {
        LARGE_INTEGER end = KeQueryPerformanceCounter(nullptr);
        r->ElapsedTime =
            ULONGLONG(end.QuadPart - start.QuadPart) * kNanosecondsPerSecond / ULONGLONG(frequency.QuadPart);
    }
    return status;
}

NTSTATUS ClassAsyncWrite(OhciController* controller, ClassBlockRequest* r) {
    bool ignore = (r->Flags & kClassAsyncFlagsIgnoreResult) != 0;
    if (r->Bytes == 0) return ignore ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    PUCHAR buffer = MappedBuffer(r->Mdl);
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    USHORT destination = r->Flags & kClassAsyncFlagsBroadcast ? USHORT(0xFFFF) : Destination(r->Node);
    Blocks b = SplitIntoBlocks(r->Bytes, r->BlockSize);
    bool passive = KeGetCurrentIrql() == PASSIVE_LEVEL;
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = 0; i < b.Count; ++i) {
        ULONG length = i + 1 == b.Count ? b.Last : b.Size;
        PUCHAR data = buffer + ULONGLONG(b.Size) * i;
        if (passive) {
            status = Transact(controller, kKernelWrite, destination, BlockOffset(r, b, i), data, length);
            if (!NT_SUCCESS(status)) break;
        } else {
            status = PostWrite(controller, destination, BlockOffset(r, b, i), data, length);
            if (!NT_SUCCESS(status)) break;  // a later block's success must not hide it
        }
    }
    if (ignore) return STATUS_SUCCESS;
    if (passive && !NT_SUCCESS(status)) return STATUS_UNSUCCESSFUL;
    return status;
}

NTSTATUS ClassAsyncLock(OhciController* controller, ClassLockRequest* r) {
    ULONG type = r->TransactionType;
    if (type == 0 || type > 6) return STATUS_INVALID_PARAMETER;
    bool noArgument = type == async::kFetchAdd || type == async::kLittleAdd;
    if (noArgument ? r->ArgBytes != 0 : r->ArgBytes != r->DataBytes) return STATUS_INVALID_PARAMETER;
    if ((r->DataBytes != 4 && r->DataBytes != 8) || r->Buffer == nullptr) return STATUS_INVALID_PARAMETER;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) return STATUS_INVALID_DEVICE_STATE;
    bool wide = r->DataBytes == 8;
    KernelTransaction t = {};
    t.Kind = kKernelLock;
    t.Destination = Destination(r->Node);
    t.Offset = r->Offset;
    t.Length = r->DataBytes;
    t.ExtendedTcode = USHORT(type & 0xFF);
    t.Operand64 = wide;
    t.ArgValue = wide ? (ULONGLONG(BusToHost32(r->Arguments[0])) << 32) | BusToHost32(r->Arguments[1])
                      : BusToHost32(r->Arguments[0]);
    t.DataValue = wide ? (ULONGLONG(BusToHost32(r->DataValues[0])) << 32) | BusToHost32(r->DataValues[1])
                       : BusToHost32(r->DataValues[0]);
    if (noArgument) t.ArgValue = 0;
    ULONG old[2] = {};
    t.Data = reinterpret_cast<PUCHAR>(old);
    NTSTATUS status = KernelAsyncTransaction(controller, &t);
    if (!NT_SUCCESS(status)) return status;
    if (!Succeeded(t)) return STATUS_UNSUCCESSFUL;
    // The old value back in bus order, its most significant quadlet first.
    ULONG bus[2] = {HostToBus32(old[0]), HostToBus32(old[1])};
    RtlCopyMemory(r->Buffer, bus, r->DataBytes);
    return STATUS_SUCCESS;
}

NTSTATUS ClassAsyncStream(OhciController* controller, ClassStreamRequest* r) {
    PUCHAR data = r->Bytes != 0 ? MappedBuffer(r->Mdl) : nullptr;
    if (r->Bytes != 0 && data == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    if (r->Channel > 63) return STATUS_INVALID_PARAMETER;
    UCHAR speed = SpeedCodeOfFlag(r->SpeedFlags);
    if (r->Bytes > MaxPayloadForSpeed(speed)) return STATUS_UNSUCCESSFUL;
    UCHAR result = UCHAR(kPacketError);
    NTSTATUS status = SendStreamPacket(controller, UCHAR(r->Channel), UCHAR(r->Tag & 3), UCHAR(r->Sy & 0xF), speed,
                                       data, r->Bytes, &result);
    return NT_SUCCESS(status) && result == kPacketOk ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}
