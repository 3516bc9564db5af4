#include "kernel_requests.h"

#include "async_packet.h"
#include "core/controller.h"
#include "ohci/bus_order.h"
#include "senders.h"

namespace {

constexpr ULONG kReadAttempts = 5;
constexpr LONGLONG kBusyPauseRelative = -10000LL;  // 1 ms
constexpr ULONG kCompleteWithoutDataStallUs = 125;
constexpr UCHAR kAckBusyX = 4;
constexpr UCHAR kAckBusyB = 6;

// Finished packets of kernel callers wake their caller through the packet's own done event (the
// PendingLock may be held: only the event is touched).
bool WakeKernelCaller(AsyncPacket* packet) {
    KeSetEvent(&packet->DoneEvent, IO_NO_INCREMENT, FALSE);
    return true;
}

bool Finished(AsyncPacket* packet) {
    OhciController* controller = packet->Controller;
    KIRQL irql;
    KeAcquireSpinLock(&controller->PendingLock, &irql);
    bool finished = packet->CompletionBits == (kTxDone | kRxDone) || packet->PacketStatus != kPacketOk ||
                    PacketHas(packet, kPacketWithdrawn);
    KeReleaseSpinLock(&controller->PendingLock, irql);
    return finished;
}

// After ack_pending: waits for the response, the split time-out or a flush, each of which sets
// the done event once the packet is finished.
void AwaitResponse(AsyncPacket* packet) {
    for (;;) {
        KeClearEvent(&packet->DoneEvent);
        if (Finished(packet)) return;
        (void)KeWaitForSingleObject(&packet->DoneEvent, Executive, KernelMode, FALSE, nullptr);
    }
}

AsyncPacket* BuildRequest(OhciController* controller, const KernelTransaction* t, NTSTATUS* status) {
    *status = STATUS_INVALID_PARAMETER;
    ULONG payload = 0;
    if (t->Kind == kKernelLock) {
        if (t->Length != (t->Operand64 ? 8u : 4u)) return nullptr;
        payload = 16;
    } else if (t->Kind == kKernelRead || t->Kind == kKernelWrite) {
        if (t->Length > async::kMaxPayload || (t->Length != 0 && t->Data == nullptr)) return nullptr;
        payload = t->Length == 4 ? 0 : t->Length;
    } else {
        return nullptr;
    }
    *status = STATUS_INSUFFICIENT_RESOURCES;
    AsyncPacket* packet = AllocatePacket(controller, payload);
    if (packet == nullptr) return nullptr;
    packet->Destination = t->Destination;
    if (!AllocateLabel(packet)) {
        ReleasePacket(packet);
        return nullptr;
    }
    UCHAR local = UCHAR(controller->LocalNodeNumber & 0x3F);
    async::BuiltPacket built;
    if (t->Kind == kKernelRead) {
        async::BuildReadRequest(&built, t->Destination, packet->Label, local, t->Offset, t->Length);
    } else if (t->Kind == kKernelWrite) {
        ULONG quadlet = 0;
        if (t->Length == 4)
            RtlCopyMemory(&quadlet, t->Data, 4);
        else if (t->Length != 0)
            RtlCopyMemory(packet->Payload, t->Data, t->Length);
        async::BuildWriteRequest(&built, t->Destination, packet->Label, local, t->Offset, t->Length, quadlet);
    } else if (!async::BuildLockRequest(&built, packet->Payload, t->Destination, packet->Label, local, t->Offset,
                                        t->ExtendedTcode, t->ArgValue, t->DataValue, t->Operand64)) {
        ReleasePacket(packet);
        *status = STATUS_INVALID_PARAMETER;
        return nullptr;
    }
    SetPacketHeader(packet, built, t->Destination);
    packet->Length = t->Length;
    *status = STATUS_SUCCESS;
    return packet;
}

void TakeResults(AsyncPacket* packet, KernelTransaction* t) {
    KIRQL irql;
    KeAcquireSpinLock(&packet->Lock, &irql);
    bool answered = PacketHas(packet, kPacketResponseReceived);
    ULONG status = packet->PacketStatus;
    if (status == kPacketOk && packet->AckCode == kAckTimedOut) status = kPacketTimedOut;
    if (status == kPacketOk && packet->AckCode == 0) status = kPacketError;
    t->Status = status;
    t->Ack = packet->AckCode;
    t->Rcode = answered ? async::Rcode(packet->Header) : 0;
    bool dataGood = status == kPacketOk && answered && t->Rcode == 0;
    KeReleaseSpinLock(&packet->Lock, irql);
    if (!dataGood || t->Data == nullptr) return;
    if (t->Kind == kKernelRead) {
        if (packet->Tcode == async::kTcodeReadQuadlet)
            RtlCopyMemory(t->Data, &packet->Header.Q[3], 4);
        else
            RtlCopyMemory(t->Data, packet->Payload,
                          packet->PayloadLength < t->Length ? packet->PayloadLength : t->Length);
    } else if (t->Kind == kKernelLock) {
        // The old value as host-order quadlets, the most significant one first.
        RtlCopyMemory(t->Data, packet->Payload, t->Length);
    }
}

}  // namespace

NTSTATUS KernelAsyncTransaction(OhciController* controller, KernelTransaction* t) {
    t->Status = kPacketError;
    t->Ack = 0;
    t->Rcode = 0;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) return STATUS_INVALID_DEVICE_STATE;
    NTSTATUS status;
    AsyncPacket* packet = BuildRequest(controller, t, &status);
    if (packet == nullptr) return status;
    packet->Sink = WakeKernelCaller;
    // Nobody tells this caller later: a flush leaves an answered-later ack as it is and ends the
    // packet through its sink.
    packet->DeliveryBits = kDeliveryCallerTold;
    // The call's own reference: a flush at teardown may give up the owner's.
    InterlockedIncrement(&packet->References);
    packet->Generation = t->InGeneration ? t->Generation : CurrentGeneration(controller);
    LONG outcome = SubmitAndWait(packet, false);
    if (outcome == 0 && packet->AckCode == async::kAckPending) AwaitResponse(packet);
    Withdraw(packet);
    if (outcome == -11) packet->PacketStatus = kPacketBusReset;
    TakeResults(packet, t);
    ReleaseLabel(packet);
    ReleasePacket(packet);
    DisposePacket(packet);
    return STATUS_SUCCESS;
}

namespace {

ReadResult ReadQuadlet(OhciController* controller, ULONG node, ULONGLONG offset, PULONG quadlet, bool swap,
                       bool inGeneration, ULONG generation) {
    ReadResult result = kReadFailed;
    bool busReset = false;
    ULONG attempts = 0;
    for (;;) {
        ULONG data = 0;
        KernelTransaction t = {};
        t.Kind = kKernelRead;
        t.Destination = USHORT(async::kLocalBusSource | (node & 0x3F));
        t.Offset = offset;
        t.Length = 4;
        t.Data = reinterpret_cast<PUCHAR>(&data);
        t.InGeneration = inGeneration;
        t.Generation = generation;
        if (!NT_SUCCESS(KernelAsyncTransaction(controller, &t))) break;
        if (t.Status == kPacketBusReset) {
            busReset = true;
            break;
        }
        if (t.Ack == async::kAckComplete) {
            // A read answered in its ack carries no data: try again shortly.
            if (++attempts == kReadAttempts) break;
            KeStallExecutionProcessor(kCompleteWithoutDataStallUs);
            continue;
        }
        if (t.Ack == async::kAckPending) {
            if (t.Status == kPacketOk && t.Rcode == 0) {
                *quadlet = swap ? BusToHost32(data) : data;
                result = kReadDone;
            }
            break;
        }
        if (t.Ack < kAckBusyX || t.Ack > kAckBusyB) break;
        if (++attempts == kReadAttempts) {
            result = kReadBusy;
            break;
        }
        LARGE_INTEGER pause;
        pause.QuadPart = kBusyPauseRelative;
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
    }
    if (result != kReadDone && inGeneration && CurrentGeneration(controller) != generation) busReset = true;
    return busReset ? kReadBusReset : result;
}

}  // namespace

ReadResult ReadNodeQuadlet(OhciController* controller, ULONG node, ULONGLONG offset, PULONG quadlet, bool swap) {
    return ReadQuadlet(controller, node, offset, quadlet, swap, false, 0);
}

ReadResult ReadNodeQuadlet(OhciController* controller, ULONG node, ULONGLONG offset, PULONG quadlet, bool swap,
                           ULONG generation) {
    return ReadQuadlet(controller, node, offset, quadlet, swap, true, generation);
}

bool ReadNodeQuadlets(OhciController* controller, ULONG node, ULONGLONG offset, PULONG buffer, ULONG count) {
    for (ULONG i = 0; i < count; ++i) {
        KernelTransaction t = {};
        t.Kind = kKernelRead;
        t.Destination = USHORT(async::kLocalBusSource | (node & 0x3F));
        t.Offset = offset + 4ull * i;
        t.Length = 4;
        t.Data = reinterpret_cast<PUCHAR>(&buffer[i]);
        if (!NT_SUCCESS(KernelAsyncTransaction(controller, &t))) return false;
        // Only a response carries the quadlet: an ack of any other kind leaves the buffer unread.
        if (t.Status != kPacketOk || t.Rcode != 0 || t.Ack != async::kAckPending) return false;
    }
    return true;
}
