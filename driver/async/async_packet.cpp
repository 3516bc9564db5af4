#include "async_packet.h"

#include "ar_context.h"
#include "at_context.h"
#include "core/controller.h"
#include "core/hooks.h"
#include "incoming.h"
#include "lock_operation.h"

namespace {

constexpr ULONG kNoGeneration = 0xFFFFFFFF;
constexpr LONGLONG kWatchdogRelative = -100LL * 10000LL;      // 100 ms
constexpr LONGLONG kSubmitWaitRelative = -3000LL * 10000LL;   // 3 s
constexpr ULONG kMinSplitTimeoutMs = 100;
constexpr LONG kLocalAnswerLater = -10;

AsyncPacket* FromLink(PLIST_ENTRY entry, PacketListKind kind) {
    return kind == kQueueList ? CONTAINING_RECORD(entry, AsyncPacket, QueueLink)
                              : CONTAINING_RECORD(entry, AsyncPacket, PendingLink);
}

ULONGLONG TickNow() {
    LARGE_INTEGER now;
    KeQueryTickCount(&now);
    return ULONGLONG(now.QuadPart);
}

void FreePacket(AsyncPacket* packet) {
    OhciController* controller = packet->Controller;
    if (packet->Slot != nullptr) ReturnPayloadSlot(packet);
    ReleaseLabel(packet);
    ReleaseCallerResources(packet);
    if (packet->UserEvent != nullptr) ObDereferenceObject(packet->UserEvent);
    // A holder of the packet lock has left it before the block goes back.
    KIRQL irql;
    KeAcquireSpinLock(&packet->Lock, &irql);
    KeReleaseSpinLock(&packet->Lock, irql);
    FreeToLookaside(&controller->PacketList, packet);
}

// Unlinks the packet from the PendingList (PendingLock held); true when it was there (the caller
// then drops the list's reference).
bool LeavePending(AsyncPacket* packet) {
    if (!PacketHas(packet, kPacketOnPendingList)) return false;
    RemoveEntryList(&packet->PendingLink);
    InitializeListHead(&packet->PendingLink);
    PacketClear(packet, kPacketOnPendingList);
    return true;
}

void ArmWatchdog(OhciController* controller) {
    if (InterlockedExchange(&controller->SplitTimerArmed, 1) != 0) return;
    LARGE_INTEGER due;
    due.QuadPart = kWatchdogRelative;
    KeSetTimer(&controller->SplitTimeoutTimer, due, &controller->SplitTimeoutDpc);
}

bool IsUnansweredLocal(const AsyncPacket* packet) {
    return PacketHas(packet, kPacketLocal) && !PacketHas(packet, kPacketAnsweredLater);
}

// Hands a finished packet to its submitter's delivery (PendingLock may be held).
void CompletePacket(AsyncPacket* packet) {
    if (PacketHas(packet, kPacketUntracked)) {
        if (DisposePacket(packet)) return;
        return;
    }
    PacketClear(packet, kPacketInFlush);
    if (packet->Sink == nullptr || PacketHas(packet, kPacketDelivered)) return;
    PacketSet(packet, kPacketDelivered);
    UCHAR ack = packet->AckCode;
    bool deliverable = ack == async::kAckPending || ack == kAckTimedOut ||
                       (PacketHas(packet, kPacketResponseExpected) && ack == 0);
    if (!deliverable) return;
    if (!packet->Sink(packet)) packet->PacketStatus = kPacketCancelled;
}

// A bus reset (1), a cancellation (12) or teardown (0) ends the packet (PendingLock and both AT
// queue locks held).
void EndForFlush(AsyncPacket* packet, ULONG status) {
    KIRQL irql;
    KeAcquireSpinLock(&packet->Lock, &irql);
    if (status == 0) {
        packet->PacketStatus = kPacketCancelled;
        packet->CompletionBits = kTxDone | kRxDone;
        bool told = (packet->DeliveryBits & kDeliveryCallerTold) != 0;
        KeReleaseSpinLock(&packet->Lock, irql);
        KeSetEvent(&packet->DoneEvent, IO_NO_INCREMENT, FALSE);
        // Nobody delivers it any more: a caller already told it is pending gets nothing; one still
        // in its call sees the cancellation and ends the packet itself. An untracked packet (a
        // response, a posted write) has nobody waiting: the flush gives up its owner's reference.
        if (told || PacketHas(packet, kPacketUntracked)) DisposePacket(packet);
        return;
    }
    packet->PacketStatus = status;
    if (!((packet->DeliveryBits & kDeliveryCallerTold) && packet->AckCode == async::kAckPending)) packet->AckCode = 1;
    KeReleaseSpinLock(&packet->Lock, irql);
    KeSetEvent(&packet->DoneEvent, IO_NO_INCREMENT, FALSE);
    PacketSet(packet, kPacketInFlush);
    if (packet->CompletionBits != (kTxDone | kRxDone)) {
        packet->CompletionBits = kTxDone | kRxDone;
        packet->PacketState = kPacketFinished;
        CompletePacket(packet);
    }
}

}  // namespace

void Withdraw(AsyncPacket* packet) {
    OhciController* controller = packet->Controller;
    ULONG drops = 0;
    KIRQL irql;
    KeAcquireSpinLock(&controller->PendingLock, &irql);
    AtContext* context = packet->Context;
    if (context != nullptr) KeAcquireSpinLockAtDpcLevel(&context->QueueLock);
    if (LeavePending(packet)) ++drops;
    if (context != nullptr && PacketHas(packet, kPacketOnQueue) && !PacketHas(packet, kPacketInRing)) {
        RemoveEntryList(&packet->QueueLink);
        InitializeListHead(&packet->QueueLink);
        PacketClear(packet, kPacketOnQueue);
        ++drops;
    }
    packet->CompletionBits = kTxDone | kRxDone;
    PacketSet(packet, kPacketWithdrawn);
    if (context != nullptr) KeReleaseSpinLockFromDpcLevel(&context->QueueLock);
    KeReleaseSpinLock(&controller->PendingLock, irql);
    while (drops-- > 0) ReleasePacket(packet);
}

namespace {

// Loopback: the packet is processed as if received, never reaching a ring (AsyncLock held).
LONG SubmitLocal(AsyncPacket* packet) {
    OhciController* controller = packet->Controller;
    auto* copy = static_cast<PUCHAR>(AllocateFromLookaside(&controller->PacketList));
    if (copy == nullptr) {
        KIRQL irql;
        KeAcquireSpinLock(&controller->PendingLock, &irql);
        bool drop = LeavePending(packet);
        KeReleaseSpinLock(&controller->PendingLock, irql);
        if (drop) ReleasePacket(packet);
        return -12;
    }
    // This call's own reference: an untracked packet (a response) gives up its owner's reference
    // as soon as its transmission is done, before the answer below has been made.
    InterlockedIncrement(&packet->References);
    ULONG headerBytes = packet->HeaderLength;
    RtlCopyMemory(copy, packet->Header.Q, sizeof(packet->Header.Q));
    RtlCopyMemory(copy + headerBytes, packet->Payload, packet->PayloadLength);
    bool expectsResponse = PacketHas(packet, kPacketResponseExpected);
    if (async::IsResponseTcode(packet->Tcode)) CountLocalResponse(controller, packet);
    TransmitDone(controller, packet, expectsResponse ? async::kAckPending : async::kAckComplete);
    LONG answer = ReceiveDispatch(controller, copy, headerBytes + packet->PayloadLength, false, true);
    FreeToLookaside(&controller->PacketList, copy);
    KeSetEvent(&packet->DoneEvent, IO_NO_INCREMENT, FALSE);
    KIRQL irql;
    KeAcquireSpinLock(&controller->PendingLock, &irql);
    if (packet->AckCode != kAckTimedOut) {
        packet->AckCode = async::kAckPending;
        if (answer == kLocalAnswerLater) {
            PacketSet(packet, kPacketAnsweredLater);
        } else if (packet->CompletionBits == (kTxDone | kRxDone) || !expectsResponse) {
            CompletePacket(packet);
        }
        // A request that nobody on this node answered yet stays pending under the split time-out.
    }
    KeReleaseSpinLock(&controller->PendingLock, irql);
    ReleasePacket(packet);
    return 0;
}

}  // namespace

AsyncPacket* AllocatePacket(OhciController* controller, ULONG payloadLength) {
    if (!controller->Initialized || controller->Registers.RegisterBase == nullptr) return nullptr;
    if (payloadLength > async::kMaxPayload) return nullptr;
    auto* packet = static_cast<AsyncPacket*>(AllocateFromLookaside(&controller->PacketList));
    if (packet == nullptr) return nullptr;
    ULONG capacity = async::RoundUp4(payloadLength);
    RtlZeroMemory(packet, sizeof(*packet) + capacity);
    packet->Controller = controller;
    packet->References = 1;
    packet->Generation = kNoGeneration;
    packet->Payload = reinterpret_cast<PUCHAR>(packet + 1);
    packet->PayloadCapacity = capacity;
    InitializeListHead(&packet->QueueLink);
    InitializeListHead(&packet->PendingLink);
    InitializeListHead(&packet->WaiterLink);
    InitializeListHead(&packet->ClientLink);
    KeInitializeEvent(&packet->DoneEvent, NotificationEvent, FALSE);
    KeInitializeSpinLock(&packet->Lock);
    return packet;
}

void ReleaseCallerResources(AsyncPacket* packet) {
    for (ULONG i = 0; i < kResultCount; ++i) {
        PMDL mdl = packet->ResultMdl[i];
        if (mdl == nullptr) continue;
        MmUnlockPages(mdl);
        IoFreeMdl(mdl);
        packet->ResultMdl[i] = nullptr;
        packet->ResultVa[i] = nullptr;
    }
    PVOID client = InterlockedExchangePointer(&packet->CallerClient, nullptr);
    if (client != nullptr && packet->ReleaseCaller != nullptr) packet->ReleaseCaller(client);
}

void ReleasePacket(AsyncPacket* packet) {
    if (InterlockedDecrement(&packet->References) != 0) return;
    FreePacket(packet);
}

bool DisposePacket(AsyncPacket* packet) {
    LONG before = InterlockedOr(&packet->Flags, LONG(kPacketDisposed));
    if (before & LONG(kPacketDisposed)) return false;
    ReleasePacket(packet);
    return true;
}

namespace {

// Frees a node's lingering labels once their hold has passed (LabelLock held).
void ExpireLingering(OhciController* controller, ULONG node) {
    ULONG* lingering = controller->LingeringLabels[node];
    if ((lingering[0] | lingering[1]) == 0) return;
    if (controller->LingerGeneration[node] == CurrentGeneration(controller) && TickNow() < controller->LingerUntil[node])
        return;
    controller->LabelPool[node][0] &= ~lingering[0];
    controller->LabelPool[node][1] &= ~lingering[1];
    lingering[0] = lingering[1] = 0;
}

// True when a response to the packet may still come: it expects one, went to the controller in
// this generation, and neither an answer, a definite ack nor the split time-out ended it.
bool MayStillBeAnswered(OhciController* controller, const AsyncPacket* packet) {
    if (!PacketHas(packet, kPacketResponseExpected) || PacketHas(packet, kPacketResponseReceived)) return false;
    if (packet->PacketState == kPacketNew || packet->Generation != CurrentGeneration(controller)) return false;
    if (packet->AckCode == kAckTimedOut || packet->PacketStatus == kPacketBusReset ||
        packet->PacketStatus == kPacketTimedOut)
        return false;
    // No outcome yet (withdrawn while in the ring), ack_pending, or no ack seen at all.
    return packet->OutcomeCode == 0 || packet->OutcomeCode == async::kAckPending || packet->OutcomeCode == -1;
}

}  // namespace

bool AllocateLabel(AsyncPacket* packet) {
    OhciController* controller = packet->Controller;
    if (PacketHas(packet, kPacketLabelHeld)) return true;
    ULONG node = packet->Destination & 0x3F;
    bool found = false;
    KIRQL irql;
    KeAcquireSpinLock(&controller->LabelLock, &irql);
    ExpireLingering(controller, node);
    for (ULONG label = 0; label < 64; ++label) {
        ULONG& word = controller->LabelPool[node][label / 32];
        ULONG bit = 1u << (label % 32);
        if (word & bit) continue;
        word |= bit;
        packet->Label = UCHAR(label);
        found = true;
        break;
    }
    KeReleaseSpinLock(&controller->LabelLock, irql);
    if (!found) {
        packet->Label = 0xFF;
        return false;
    }
    PacketSet(packet, kPacketLabelHeld);
    return true;
}

void ReleaseLabel(AsyncPacket* packet) {
    LONG before = InterlockedAnd(&packet->Flags, ~LONG(kPacketLabelHeld));
    if (!(before & LONG(kPacketLabelHeld))) return;
    OhciController* controller = packet->Controller;
    ULONG node = packet->Destination & 0x3F;
    ULONG label = packet->Label & 0x3F;
    ULONG bit = 1u << (label % 32);
    bool linger = MayStillBeAnswered(controller, packet);
    ULONGLONG until = 0;
    if (linger)
        until = TickNow() + ULONGLONG(controller->LabelHoldMs) * 10000ull / KeQueryTimeIncrement() + 1;
    KIRQL irql;
    KeAcquireSpinLock(&controller->LabelLock, &irql);
    if (linger) {
        ExpireLingering(controller, node);
        controller->LingeringLabels[node][label / 32] |= bit;
        if (controller->LingerUntil[node] < until) controller->LingerUntil[node] = until;
        controller->LingerGeneration[node] = packet->Generation;
    } else {
        controller->LabelPool[node][label / 32] &= ~bit;
    }
    KeReleaseSpinLock(&controller->LabelLock, irql);
}

void EndLingeringLabel(OhciController* controller, ULONG node, ULONG label) {
    node &= 0x3F;
    label &= 0x3F;
    ULONG bit = 1u << (label % 32);
    KIRQL irql;
    KeAcquireSpinLock(&controller->LabelLock, &irql);
    if (controller->LingeringLabels[node][label / 32] & bit) {
        controller->LingeringLabels[node][label / 32] &= ~bit;
        controller->LabelPool[node][label / 32] &= ~bit;
    }
    KeReleaseSpinLock(&controller->LabelLock, irql);
}

void SetPacketHeader(AsyncPacket* packet, const async::BuiltPacket& built, USHORT destination) {
    packet->Header = built.Header;
    packet->HeaderLength = built.HeaderLength;
    packet->PayloadLength = built.PayloadLength;
    packet->Tcode = built.Tcode;
    packet->Destination = destination;
    if (built.ResponseExpected) PacketSet(packet, kPacketResponseExpected);
    if (built.Tcode == async::kTcodePhy) PacketSet(packet, kPacketPhy);
}

ULONG CurrentGeneration(OhciController* controller) { return controller->BusResetCount; }

LONG SubmitPacket(AsyncPacket* packet) {
    OhciController* controller = packet->Controller;
    bool response = async::IsResponseTcode(packet->Tcode);
    bool phy = PacketHas(packet, kPacketPhy);
    if (!phy && packet->Destination == USHORT(async::kLocalBusSource | (controller->LocalNodeNumber & 0x3F)))
        PacketSet(packet, kPacketLocal);
    if (controller->BusResetActive || PacketHas(packet, kPacketAborted) ||
        packet->Generation != CurrentGeneration(controller)) {
        packet->PacketStatus = kPacketBusReset;
        if (response) CompletePacket(packet);
        return response ? 0 : -11;
    }
    packet->PacketState = kPacketSubmitted;
    if (!(PacketHas(packet, kPacketUntracked) && !PacketHas(packet, kPacketResponseExpected))) {
        KIRQL irql;
        KeAcquireSpinLock(&controller->PendingLock, &irql);
        packet->Tick = TickNow();
        InterlockedIncrement(&packet->References);
        InsertTailList(&controller->PendingList, &packet->PendingLink);
        PacketSet(packet, kPacketOnPendingList);
        KeReleaseSpinLock(&controller->PendingLock, irql);
    }
    // The bus does not bring a broadcast back to its sender: the node's own ranges get it here.
    if (packet->Destination == async::kBroadcastNode) DispatchOwnBroadcast(controller, packet);
    if (PacketHas(packet, kPacketLocal)) return SubmitLocal(packet);
    if (!phy && packet->Tcode != async::kTcodeStream && packet->Destination != 0x003F &&
        controller->SpeedTable != nullptr) {
        ULONG local = controller->LocalNodeNumber & 0x3F;
        ULONG node = packet->Destination & 0x3F;
        UCHAR code = controller->SpeedTable[local * 64 + node];
        packet->Speed = code <= 5 ? code : 0;  // a code the table does not know goes at S100
    }
    LONG result = QueueToContext(controller, packet);
    // Not queued (a reset began since the check above): a response ends here as it would there.
    if (response && result < 0) CompletePacket(packet);
    return response ? 0 : result;
}

void SendResponse(AsyncPacket* packet) {
    if (SubmitPacket(packet) < 0) ReleasePacket(packet);
}

LONG SubmitAndWait(AsyncPacket* packet, bool waitForGate) {
    OhciController* controller = packet->Controller;
    KPROCESSOR_MODE waitMode = waitForGate ? UserMode : KernelMode;
    if (waitForGate && !PacketHas(packet, kPacketPhy) && packet->Tcode != async::kTcodeStream)
        (void)KeWaitForSingleObject(&controller->AsyncGate, Executive, UserMode, TRUE, nullptr);
    KIRQL irql;
    KeAcquireSpinLock(&controller->AsyncLock, &irql);
    LONG result = SubmitPacket(packet);
    KeReleaseSpinLock(&controller->AsyncLock, irql);
    if (result == -11) PacketSet(packet, kPacketAborted);
    if (result != 0 || PacketHas(packet, kPacketAborted)) {
        Withdraw(packet);
        return result != 0 ? result : -11;
    }
    LARGE_INTEGER timeout;
    timeout.QuadPart = kSubmitWaitRelative;
    NTSTATUS wait = KeWaitForSingleObject(&packet->DoneEvent, Executive, waitMode, TRUE, &timeout);
    bool alerted = wait == STATUS_ALERTED || wait == STATUS_USER_APC;
    if (alerted && PacketHas(packet, kPacketInRing)) {
        Withdraw(packet);
        KeAcquireSpinLock(&packet->Lock, &irql);
        packet->PacketStatus = kPacketCancelled;
        packet->OutcomeCode = 0;
        packet->AckCode = 0;
        KeReleaseSpinLock(&packet->Lock, irql);
        return -3;
    }
    if ((wait == STATUS_SUCCESS || alerted) && packet->PacketStatus == kPacketOk) return 0;
    Withdraw(packet);
    if (wait == STATUS_TIMEOUT) {
        KeAcquireSpinLock(&packet->Lock, &irql);
        packet->OutcomeCode = -2;
        packet->AckCode = kAckTimedOut;
        KeReleaseSpinLock(&packet->Lock, irql);
    }
    packet->PacketState = kPacketFinished;
    return -1;
}

void TransmitDone(OhciController* controller, AsyncPacket* packet, LONG outcome) {
    ULONG drops = 0;
    KIRQL irql;
    KeAcquireSpinLock(&controller->PendingLock, &irql);
    if (packet->CompletionBits == (kTxDone | kRxDone)) {
        KeReleaseSpinLock(&controller->PendingLock, irql);
        return;
    }
    bool responseFirst = (packet->CompletionBits & kRxDone) != 0;
    packet->CompletionBits |= kTxDone;
    if (responseFirst) {
        // No response came: the watchdog ended the wait while the request was still being sent.
        // The ack tells the rest: ack_pending means the response never came in time.
        if (!PacketHas(packet, kPacketResponseReceived)) {
            KeAcquireSpinLockAtDpcLevel(&packet->Lock);
            packet->OutcomeCode = CHAR(outcome);
            if (outcome == async::kAckPending) {
                packet->OutcomeCode = -2;
                packet->AckCode = kAckTimedOut;
            }
            KeReleaseSpinLockFromDpcLevel(&packet->Lock);
        }
        if (LeavePending(packet)) ++drops;
        packet->PacketState = kPacketFinished;
        if (!IsUnansweredLocal(packet)) CompletePacket(packet);
        KeSetEvent(&packet->DoneEvent, IO_NO_INCREMENT, FALSE);
    } else {
        packet->OutcomeCode = CHAR(outcome);
        if (PacketHas(packet, kPacketUntracked) && !PacketHas(packet, kPacketResponseExpected)) {
            CompletePacket(packet);
        } else if (outcome == async::kAckPending && PacketHas(packet, kPacketResponseExpected)) {
            packet->PacketState = kPacketAwaitingResponse;
            packet->Tick = TickNow();
            KeSetEvent(&packet->DoneEvent, IO_NO_INCREMENT, FALSE);
            ArmWatchdog(controller);
        } else {
            if (LeavePending(packet)) ++drops;
            packet->PacketState = kPacketFinished;
            packet->CompletionBits = kTxDone | kRxDone;
            KeSetEvent(&packet->DoneEvent, IO_NO_INCREMENT, FALSE);
            // An untracked request (a posted write) ends here unless a response is on its way.
            if (PacketHas(packet, kPacketUntracked)) CompletePacket(packet);
        }
    }
    KeReleaseSpinLock(&controller->PendingLock, irql);
    while (drops-- > 0) ReleasePacket(packet);
}

void MatchResponse(OhciController* controller, ULONG tcode, const UCHAR* bytes, ULONG length) {
    if (length < 12) return;
    ULONG q0 = async::LoadLe32(bytes);
    ULONG q1 = async::LoadLe32(bytes + 4);
    UCHAR label = UCHAR((q0 >> 10) & 0x3F);
    USHORT source = USHORT(q1 >> 16);
    bool drop = false;
    AsyncPacket* request = nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&controller->PendingLock, &irql);
    for (PLIST_ENTRY entry = controller->PendingList.Flink; entry != &controller->PendingList; entry = entry->Flink) {
        AsyncPacket* packet = CONTAINING_RECORD(entry, AsyncPacket, PendingLink);
        if (PacketHas(packet, kPacketLabelHeld) && packet->Label == label && packet->Destination == source) {
            request = packet;
            break;
        }
    }
    bool accepted = false;
    if (request != nullptr && request->CompletionBits != (kTxDone | kRxDone)) {
        ULONG rt = request->Tcode;
        bool lock = rt == async::kTcodeLockRequest && tcode == async::kTcodeLockResponse;
        bool readBlock = rt == async::kTcodeReadBlock && tcode == async::kTcodeReadBlockResponse;
        bool withQuadlet3 = (rt == async::kTcodeReadQuadlet && tcode == async::kTcodeReadQuadletResponse) || readBlock || lock;
        bool write = (rt == async::kTcodeWriteQuadlet || rt == async::kTcodeWriteBlock) && tcode == async::kTcodeWriteResponse;
        if ((write || withQuadlet3) && (!withQuadlet3 || length >= 16)) {
            accepted = true;
            ULONG asked = async::DataLength(request->Header);
            // A lock's old value is its operand's size: the data length, or half of it for the
            // functions that send an argument beside the data.
            ULONG oldValue = async::LockSendsDataOnly(async::ExtendedTcodeOf(request->Header)) ? asked : asked / 2;
            request->Header.Q[0] = q0;
            request->Header.Q[1] = q1;
            request->Header.Q[2] = async::LoadLe32(bytes + 8);
            if (withQuadlet3) RtlCopyMemory(&request->Header.Q[3], bytes + 12, 4);
            ULONG data = withQuadlet3 ? length - 16 : 0;
            if (readBlock) {
                // Data beyond what was asked for is cut: the payload area holds the asked length.
                if (data > async::DataLength(request->Header)) data = async::DataLength(request->Header);
                if (data > asked) data = asked;
                if (data > request->PayloadCapacity) data = request->PayloadCapacity;
                RtlCopyMemory(request->Payload, bytes + 16, data);
                request->PayloadLength = data;
                // A complete response that carries less than was asked has no data for the rest
                // (the payload area past it holds whatever the packet held before): the answer is
                // a data error, never a success with bytes that were not read.
                if (data < asked && async::Rcode(request->Header) == async::kRcodeComplete)
                    request->Header.Q[1] = (request->Header.Q[1] & ~0xF000u) | (ULONG(async::kRcodeDataError) << 12);
            } else if (lock) {
                ULONG n = data < 8 ? data & ~3u : 8;
                if (n > request->PayloadCapacity) n = request->PayloadCapacity & ~3u;
                for (ULONG i = 0; i < n; i += 4) {
                    ULONG value = async::LoadBus32(bytes + 16 + i);
                    RtlCopyMemory(request->Payload + i, &value, 4);
                }
                request->Length = n;
                // A complete response short of the old value would return the request's own
                // operands for the rest: a data error, as for a short read.
                if (n < oldValue && async::Rcode(request->Header) == async::kRcodeComplete)
                    request->Header.Q[1] = (request->Header.Q[1] & ~0xF000u) | (ULONG(async::kRcodeDataError) << 12);
            }
        }
    }
    if (accepted) {
        PacketSet(request, kPacketResponseReceived);
        request->CompletionBits |= kRxDone;
        if (request->CompletionBits & kTxDone) drop = LeavePending(request);
        if (request->PacketState == kPacketSubmitted) {
            request->OutcomeCode = async::kAckPending;
            request->Tick = TickNow();
        }
        if (request->CompletionBits == (kTxDone | kRxDone)) {
            request->PacketState = kPacketFinished;
            if (!IsUnansweredLocal(request)) CompletePacket(request);
        }
    }
    KeReleaseSpinLock(&controller->PendingLock, irql);
    if (drop) ReleasePacket(request);
    if (request == nullptr) EndLingeringLabel(controller, source & 0x3F, label);
}

LONG ClassifyOutcome(const AsyncPacket* packet) {
    switch (packet->OutcomeCode) {
    case 2:
        switch (async::Rcode(packet->Header)) {
        case 0: return 0;
        case 4: return -11;
        case 5: return -121;
        case 6: return -13;
        case 7: return -22;
        default: return -11;
        }
    case 1:
        return (packet->Tcode == async::kTcodeWriteQuadlet || packet->Tcode == async::kTcodeWriteBlock ||
                packet->Tcode == async::kTcodeStream)
                   ? 0
                   : -11;
    case 4:
    case 5:
    case 6: return -16;
    case 14: return -13;
    case 15: return -22;
    default: return -11;
    }
}

void FlushPacketList(OhciController* controller, PLIST_ENTRY list, PacketListKind kind, ULONG status) {
    UNREFERENCED_PARAMETER(controller);
    if (status != 0 && status != 1 && status != 12) return;
    while (!IsListEmpty(list)) {
        PLIST_ENTRY entry = RemoveHeadList(list);
        InitializeListHead(entry);
        AsyncPacket* packet = FromLink(entry, kind);
        if (kind == kQueueList) {
            PacketClear(packet, kPacketOnQueue | kPacketInRing);
            if (packet->Slot != nullptr) ReturnPayloadSlot(packet);
        } else {
            PacketClear(packet, kPacketOnPendingList);
        }
        if (!PacketHas(packet, kPacketDelivered)) EndForFlush(packet, status);
        ReleasePacket(packet);
    }
}

void FlushPendingRequests(OhciController* controller, ULONG requestStatus, ULONG responseStatus) {
    KIRQL irql;
    KeAcquireSpinLock(&controller->PendingLock, &irql);
    KeAcquireSpinLockAtDpcLevel(&controller->AtRequest.QueueLock);
    KeAcquireSpinLockAtDpcLevel(&controller->AtResponse.QueueLock);
    FlushPacketList(controller, &controller->PendingList, kPendingList, requestStatus);
    FlushPacketList(controller, &controller->AtRequest.InFlight, kQueueList, requestStatus);
    FlushPacketList(controller, &controller->AtRequest.Waiting, kQueueList, requestStatus);
    FlushPacketList(controller, &controller->AtResponse.InFlight, kQueueList, responseStatus);
    FlushPacketList(controller, &controller->AtResponse.Waiting, kQueueList, responseStatus);
    KeReleaseSpinLockFromDpcLevel(&controller->AtResponse.QueueLock);
    KeReleaseSpinLockFromDpcLevel(&controller->AtRequest.QueueLock);
    KeReleaseSpinLock(&controller->PendingLock, irql);
}

void FlushKernelWaiters(OhciController* controller, ULONG status) {
    KIRQL irql;
    KeAcquireSpinLock(&controller->KernelWaiterLock, &irql);
    while (!IsListEmpty(&controller->KernelWaiterList)) {
        PLIST_ENTRY entry = RemoveHeadList(&controller->KernelWaiterList);
        InitializeListHead(entry);
        AsyncPacket* packet = CONTAINING_RECORD(entry, AsyncPacket, WaiterLink);
        PacketClear(packet, kPacketOnWaiterList);
        packet->PacketStatus = status;
        if (packet->KernelEvent != nullptr) KeSetEvent(packet->KernelEvent, IO_NO_INCREMENT, FALSE);
        ReleasePacket(packet);
    }
    KeReleaseSpinLock(&controller->KernelWaiterLock, irql);
}

void WithdrawProcessPackets(OhciController* controller, PEPROCESS process, PVOID fileObject, PLIST_ENTRY removed) {
    KIRQL irql;
    KeAcquireSpinLock(&controller->PendingLock, &irql);
    KeAcquireSpinLockAtDpcLevel(&controller->AtRequest.QueueLock);
    KeAcquireSpinLockAtDpcLevel(&controller->AtResponse.QueueLock);
    PLIST_ENTRY lists[] = {&controller->PendingList, &controller->AtRequest.Waiting, &controller->AtResponse.Waiting,
                           &controller->AtRequest.InFlight, &controller->AtResponse.InFlight};
    for (ULONG i = 0; i < sizeof(lists) / sizeof(lists[0]); ++i) {
        PacketListKind kind = i == 0 ? kPendingList : kQueueList;
        bool inRing = i >= 3;
        for (PLIST_ENTRY entry = lists[i]->Flink; entry != lists[i];) {
            AsyncPacket* packet = FromLink(entry, kind);
            entry = entry->Flink;
            if (packet->Sink == nullptr || (process != nullptr && packet->Process != process) ||
                (fileObject != nullptr && packet->FileObject != fileObject))
                continue;
            if (!inRing) {
                RemoveEntryList(kind == kPendingList ? &packet->PendingLink : &packet->QueueLink);
                InitializeListHead(kind == kPendingList ? &packet->PendingLink : &packet->QueueLink);
                PacketClear(packet, kind == kPendingList ? ULONG(kPacketOnPendingList) : ULONG(kPacketOnQueue));
                ReleasePacket(packet);  // the list's reference; the owner's keeps the packet
            }
            KeAcquireSpinLockAtDpcLevel(&packet->Lock);
            packet->PacketStatus = kPacketCancelled;
            packet->CompletionBits = kTxDone | kRxDone;
            KeReleaseSpinLockFromDpcLevel(&packet->Lock);
            PacketSet(packet, kPacketWithdrawn);
            KeSetEvent(&packet->DoneEvent, IO_NO_INCREMENT, FALSE);
            if (!PacketHas(packet, kPacketOnClientList) && IsListEmpty(&packet->ClientLink) &&
                !PacketHas(packet, kPacketDisposed)) {
                InterlockedIncrement(&packet->References);
                InsertTailList(removed, &packet->ClientLink);
            }
        }
    }
    KeReleaseSpinLockFromDpcLevel(&controller->AtResponse.QueueLock);
    KeReleaseSpinLockFromDpcLevel(&controller->AtRequest.QueueLock);
    KeReleaseSpinLock(&controller->PendingLock, irql);
}

ULONG SplitTimeoutMsOf(ULONG hi, ULONG lo) {
    ULONG ms = hi * 1000 + (lo >> 22);
    return ms < kMinSplitTimeoutMs ? kMinSplitTimeoutMs : ms;
}

void NoteSplitTimeout(OhciController* controller, ULONG hi, ULONG lo) {
    InterlockedExchange(&controller->LabelHoldMs, LONG(SplitTimeoutMsOf(hi, lo)));
}

ULONG SplitTimeoutMs(OhciController* controller) {
    KIRQL irql;
    KeAcquireSpinLock(&controller->TopologyLock, &irql);
    ULONG hi = controller->LocalCsr.SplitTimeoutHi;
    ULONG lo = controller->LocalCsr.SplitTimeoutLo;
    KeReleaseSpinLock(&controller->TopologyLock, irql);
    return SplitTimeoutMsOf(hi, lo);
}

void DpcForSplitTimeoutWatchDog(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    auto* controller = static_cast<OhciController*>(DeferredContext);
    if (controller == nullptr) {
        ReportMissingContext("DpcForSplitTimeoutWatchDog");
        return;
    }
    InterlockedExchange(&controller->SplitTimerArmed, 0);
    ULONGLONG limit = ULONGLONG(SplitTimeoutMs(controller)) * 10000ull / KeQueryTimeIncrement();
    ULONGLONG now = TickNow();

    KIRQL irql;
    KeAcquireSpinLock(&controller->KernelWaiterLock, &irql);
    for (PLIST_ENTRY entry = controller->KernelWaiterList.Flink; entry != &controller->KernelWaiterList;) {
        AsyncPacket* packet = CONTAINING_RECORD(entry, AsyncPacket, WaiterLink);
        entry = entry->Flink;
        if (packet->Tick + limit >= now) continue;
        RemoveEntryList(&packet->WaiterLink);
        InitializeListHead(&packet->WaiterLink);
        PacketClear(packet, kPacketOnWaiterList);
        packet->PacketStatus = kPacketTimedOut;
        if (packet->KernelEvent != nullptr) KeSetEvent(packet->KernelEvent, IO_NO_INCREMENT, FALSE);
        ReleasePacket(packet);
    }
    bool waiters = !IsListEmpty(&controller->KernelWaiterList);
    KeReleaseSpinLock(&controller->KernelWaiterLock, irql);

    LIST_ENTRY expired;
    InitializeListHead(&expired);
    KeAcquireSpinLock(&controller->PendingLock, &irql);
    for (PLIST_ENTRY entry = controller->PendingList.Flink; entry != &controller->PendingList;) {
        AsyncPacket* packet = CONTAINING_RECORD(entry, AsyncPacket, PendingLink);
        entry = entry->Flink;
        if (IsUnansweredLocal(packet) && !PacketHas(packet, kPacketResponseExpected)) continue;
        if (packet->CompletionBits == (kTxDone | kRxDone)) continue;
        if (packet->Tick + limit >= now) break;
        packet->CompletionBits |= kRxDone;
        if (packet->CompletionBits != (kTxDone | kRxDone)) continue;
        LeavePending(packet);
        InsertTailList(&expired, &packet->PendingLink);  // the list's reference goes below
        packet->PacketState = kPacketFinished;
        KeAcquireSpinLockAtDpcLevel(&packet->Lock);
        packet->OutcomeCode = -2;
        packet->AckCode = kAckTimedOut;
        KeReleaseSpinLockFromDpcLevel(&packet->Lock);
        CompletePacket(packet);
    }
    bool pending = !IsListEmpty(&controller->PendingList);
    KeReleaseSpinLock(&controller->PendingLock, irql);
    while (!IsListEmpty(&expired)) {
        PLIST_ENTRY entry = RemoveHeadList(&expired);
        InitializeListHead(entry);
        ReleasePacket(CONTAINING_RECORD(entry, AsyncPacket, PendingLink));
    }
    if (pending || waiters) ArmWatchdog(controller);
}
