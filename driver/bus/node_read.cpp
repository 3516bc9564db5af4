// Synchronous quadlet reads of remote configuration ROMs and unit registers on the asynchronous
// engine: one read request, its ack and its response, waited for on the calling thread.
#include "async/async_packet.h"
#include "bus_device.h"
#include "core/controller.h"
#include "ohci/bus_order.h"

namespace {

constexpr ULONG kBusyRetries = 8;        // a node that answers ack_busy this often is busy
constexpr LONGLONG kBusyDelay = -10000;  // 1 ms between attempts
constexpr LONG kBusyOutcome = -16;

constexpr LONGLONG kResponseWait = -50000000LL;  // 5 s; the split time-out ends a pending request before

// The engine hands a request whose response arrived (or that ended pending) to its sink.
bool SignalKernelWaiter(AsyncPacket* packet) {
    KeSetEvent(static_cast<PKEVENT>(packet->SinkContext), IO_NO_INCREMENT, FALSE);
    return true;
}

// One attempt: the ReadResult, or kReadBusy for an ack_busy.
ULONG ReadOnce(OhciController* controller, ULONG generation, UCHAR node, ULONGLONG address, PULONG quadlet) {
    AsyncPacket* packet = AllocatePacket(controller, 0);
    if (packet == nullptr) return kReadFailed;
    USHORT destination = USHORT(async::kLocalBusSource | (node & 0x3F));
    packet->Destination = destination;
    if (!AllocateLabel(packet)) {
        ReleasePacket(packet);
        return kReadFailed;
    }
    async::BuiltPacket built;
    async::BuildReadRequest(&built, destination, packet->Label, UCHAR(controller->LocalNodeNumber & 0x3F),
                            address & 0xFFFFFFFFFFFFull, 4);
    SetPacketHeader(packet, built, destination);
    packet->Length = 4;
    packet->Generation = generation;
    LONG submitted = bus::SubmitAndAwaitResponse(packet);
    ULONG result = kReadFailed;
    if (submitted == 0 && packet->PacketStatus == kPacketOk) {
        LONG outcome = ClassifyOutcome(packet);
        if (outcome == 0) {
            ULONG raw = 0;
            RtlCopyMemory(&raw, &packet->Header.Q[3], 4);
            *quadlet = raw;
            result = kReadOk;
        } else if (outcome == kBusyOutcome) {
            result = kReadBusy;
        }
    }
    if (result != kReadOk && (packet->PacketStatus == kPacketBusReset || CurrentGeneration(controller) != generation))
        result = kReadBusReset;
    Withdraw(packet);
    ReleaseLabel(packet);
    DisposePacket(packet);
    return result;
}

}  // namespace

namespace bus {

LONG SubmitAndAwaitResponse(AsyncPacket* packet) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    packet->Sink = SignalKernelWaiter;
    packet->SinkContext = &done;
    LONG submitted = SubmitAndWait(packet, false);
    if (submitted != 0) return submitted;
    // Marked as awaited: a bus reset then ends the request through the sink as well. A reset that
    // came before the mark has already ended it.
    KIRQL irql;
    KeAcquireSpinLock(&packet->Lock, &irql);
    packet->DeliveryBits |= kDeliveryCallerTold;
    bool pending = packet->PacketStatus == kPacketOk && packet->AckCode == async::kAckPending &&
                   !PacketHas(packet, kPacketDelivered);
    KeReleaseSpinLock(&packet->Lock, irql);
    if (!pending) return 0;
    LARGE_INTEGER timeout;
    timeout.QuadPart = kResponseWait;
    if (KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
        Withdraw(packet);
        return -2;
    }
    return 0;
}

ULONG ReadNodeQuadlet(OhciController* controller, ULONG generation, UCHAR node, ULONGLONG address, PULONG quadlet,
                      bool swap) {
    for (ULONG attempt = 0;; ++attempt) {
        ULONG raw = 0;
        ULONG result = ReadOnce(controller, generation, node, address, &raw);
        if (result == kReadOk) {
            *quadlet = swap ? BusToHost32(raw) : raw;
            return kReadOk;
        }
        if (result != kReadBusy) return result;
        if (attempt + 1 >= kBusyRetries) return kReadBusy;
        LARGE_INTEGER delay;
        delay.QuadPart = kBusyDelay;
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
    }
}

ULONG ReadNodeQuadlets(OhciController* controller, ULONG generation, UCHAR node, ULONGLONG address, ULONG count,
                       PULONG quadlets) {
    for (ULONG i = 0; i < count; ++i) {
        ULONG result = ReadNodeQuadlet(controller, generation, node, address + 4ull * i, &quadlets[i], false);
        if (result != kReadOk) return result;
    }
    return kReadOk;
}

}  // namespace bus
