#include "at_context.h"

#include "async_packet.h"
#include "core/controller.h"
#include "core/interrupt.h"
#include "core/hooks.h"
#include "ohci/ohci_registers.h"
#include "ohci/pool_tags.h"
#include "ohci/register_access.h"

namespace {

constexpr ULONG kStopRetries = 10000;
constexpr ULONG kStopStallUs = 125;
constexpr ULONG kBlockAreaBytes = 4096;
constexpr ULONG kOutputLastImmediate = 0x123C0000;  // cmd 1, key 2, i 3, b 3
constexpr ULONG kOutputMoreImmediate = 0x02000000;  // cmd 0, key 2
constexpr ULONG kOutputLast = 0x103C0000;           // cmd 1, key 0, i 3, b 3
constexpr LONGLONG kResponseFallbackMs = 2000;
constexpr ULONG kResponseCounterBusReset = 0x08 / 4;
constexpr ULONG kResponseSentCounter[] = {0x3C / 4, 0x44 / 4, 0x3C / 4};    // by source 0, 1, 2
constexpr ULONG kResponseFailedCounter[] = {0x40 / 4, 0x48 / 4, 0x40 / 4};

AsyncPacket* QueuePacket(PLIST_ENTRY entry) { return CONTAINING_RECORD(entry, AsyncPacket, QueueLink); }

// Every slot of the response context is in flight: the completion walk frees one when the
// controller reports a response sent, or, for the oldest, when the fallback says it never will.
// The walk runs then, not at once: queued again at once it would go on running at dispatch level,
// keeping the controller from the processor, until the fallback passed (queue lock held).
void ArmFallbackCheck(AtContext* context) {
    AsyncPacket* oldest = QueuePacket(context->InFlight.Flink);
    if (oldest->PayloadLength == 0) return;   // no fallback: its completion or a bus reset ends it
    LONGLONG dueMs = oldest->ResponseTime + kResponseFallbackMs + 1 - ResponseTimeNow();
    if (dueMs < 1) dueMs = 1;
    LARGE_INTEGER due;
    due.QuadPart = -dueMs * 10000;
    KeSetTimer(&context->FallbackTimer, due, &context->Dpc);
}

PayloadSlot* TakeSlot(AtContext* context) {
    PayloadSlot* found = nullptr;
    KeAcquireSpinLockAtDpcLevel(&context->SlotLock);
    for (ULONG i = 0; i < kAtSlotCount; ++i) {
        if (context->Slots[i].InUse) continue;
        context->Slots[i].InUse = TRUE;
        found = &context->Slots[i];
        break;
    }
    KeReleaseSpinLockFromDpcLevel(&context->SlotLock);
    return found;
}

void GiveSlotBack(AtContext* context, PayloadSlot* slot) {
    KIRQL irql;
    KeAcquireSpinLock(&context->SlotLock, &irql);
    slot->InUse = FALSE;
    KeReleaseSpinLock(&context->SlotLock, irql);
}

bool IsBusyOrErrorAck(ULONG ack) {
    return ack == 0x4 || ack == 0x5 || ack == 0x6 || ack == 0xB || ack == 0xD || ack == 0xE;
}

// The transmission status of a completed block, classified for the packet (its lock held by the
// caller): PacketStatus, AckCode and the outcome TransmitDone gets.
LONG Classify(AsyncPacket* packet, ULONG code) {
    packet->AckCode = 1;
    packet->PacketStatus = kPacketOk;
    if (code & async::kEventAckReceived) {
        ULONG ack = code & 0xF;
        if (ack == 0) {
            packet->PacketStatus = kPacketError;
            packet->AckCode = 0;
            return 0;
        }
        packet->AckCode = UCHAR(ack);
        return LONG(ack);
    }
    switch (code) {
    case async::kEvtMissingAck: packet->AckCode = kAckNone; return -1;
    case async::kEvtBusReset: packet->PacketStatus = kPacketBusReset; return -12;
    case async::kEvtTimeout: packet->AckCode = kAckTimedOut; return -2;
    default: packet->PacketStatus = kPacketError; return -12;
    }
}

// Events of either context, and busy or error acks of responses, go to the interrupt log; the
// response context counts its packets per source.
void CountOutcome(OhciController* controller, AtContext* context, AsyncPacket* packet, ULONG code) {
    bool isEvent = !(code & async::kEventAckReceived);
    bool response = context->Kind == kAtResponse;
    if (isEvent || (response && IsBusyOrErrorAck(code & 0xF))) LogInterruptEvent(controller, code);
    if (!response) return;
    ULONG source = packet->ResponseSource < 3 ? packet->ResponseSource : 0;
    if (code == async::kEvtBusReset)
        InterlockedIncrement(reinterpret_cast<volatile LONG*>(&controller->Statistics.Counters[kResponseCounterBusReset]));
    else if (isEvent || IsBusyOrErrorAck(code & 0xF))
        InterlockedIncrement(reinterpret_cast<volatile LONG*>(&controller->Statistics.Counters[kResponseFailedCounter[source]]));
    else
        InterlockedIncrement(reinterpret_cast<volatile LONG*>(&controller->Statistics.Counters[kResponseSentCounter[source]]));
}

}  // namespace

LONGLONG ResponseTimeNow() {
    LARGE_INTEGER frequency;
    LARGE_INTEGER now = KeQueryPerformanceCounter(&frequency);
    return frequency.QuadPart != 0 ? now.QuadPart * 1000 / frequency.QuadPart : 0;
}

void CountLocalResponse(OhciController* controller, const AsyncPacket* packet) {
    ULONG source = packet->ResponseSource < 3 ? packet->ResponseSource : 0;
    InterlockedIncrement(reinterpret_cast<volatile LONG*>(&controller->Statistics.Counters[kResponseSentCounter[source]]));
}

namespace {

// Starts the context on the first block built, or wakes it.
void StartOrWake(OhciController* controller, AtContext* context, ULONG firstBlock, ULONG firstZ) {
    ULONG control = ReadRegisterValue(controller, context->RegisterBase + ohci::kContextControlSet);
    if (control & ohci::kContextRun) {
        (void)ReadRegisterValue(controller, context->RegisterBase + ohci::kContextControlSet);
        WriteRegister(controller, context->RegisterBase + ohci::kContextControlSet, ohci::kContextWake);
        return;
    }
    ULONG nodeId = ReadRegisterValue(controller, ohci::kNodeID);
    WriteRegister(controller, context->RegisterBase + ohci::kContextCommandPtr,
                  context->BlockLogical[firstBlock] | firstZ);
    if ((nodeId & ohci::kNodeIdValid) && (nodeId & ohci::kNodeIdNumberMask) != 63)
        WriteRegister(controller, context->RegisterBase + ohci::kContextControlSet, ohci::kContextRun);
}

// Puts one waiting packet into the ring at the tail (queue lock held); false when no slot or no
// block is free.
bool BuildNext(OhciController* controller, AtContext* context, AsyncPacket* packet, ULONG* z) {
    PayloadSlot* slot = TakeSlot(context);
    if (slot == nullptr) {
        if (context->Kind == kAtResponse && !IsListEmpty(&context->InFlight)) ArmFallbackCheck(context);
        return false;
    }
    if (context->FreeBlocks == 0) {
        GiveSlotBack(context, slot);
        return false;
    }
    RemoveEntryList(&packet->QueueLink);
    packet->Slot = slot;
    USHORT expiry = 0;
    if (context->Kind == kAtResponse)
        expiry = async::ResponseExpiry(ReadRegisterValue(controller, ohci::kIsochronousCycleTimer));
    ULONG tail = context->Tail;
    auto* block = static_cast<PULONG>(context->BlockVirtual[tail]);
    if (packet->PayloadLength != 0) RtlCopyMemory(slot->Buffer.Virtual, packet->Payload, packet->PayloadLength);
    *z = BuildAtBlock(block, packet, slot->Buffer.Logical, expiry);
    KeMemoryBarrier();
    if (context->NewestBranch != nullptr) *context->NewestBranch = context->BlockLogical[tail] | *z;
    context->NewestBranch = block + AtBranchWord(*z);
    context->BlockZ[tail] = *z;
    --context->FreeBlocks;
    InsertTailList(&context->InFlight, &packet->QueueLink);
    PacketSet(packet, kPacketInRing);
    context->Tail = (tail + 1) % kAtBlockCount;
    ++context->Counters.Queued;
    return true;
}

template <typename T>
T* AllocateTable(ULONG count) {
    return static_cast<T*>(AllocateZeroedPool(sizeof(T) * count, kTagAtTables));
}

void FreeTable(PVOID table) { FreeTaggedPool(table, kTagAtTables); }

bool AllocateDmaMemory(AtContext* context) {
    context->Adapter = GetControllerDmaAdapter(context->Controller->PhysicalDeviceObject);
    if (!AllocateCommonBuffer(context->Adapter, kBlockAreaBytes, &context->Blocks)) return false;
    for (ULONG i = 0; i < kAtBlockCount; ++i) {
        context->BlockVirtual[i] = static_cast<PUCHAR>(context->Blocks.Virtual) + i * kAtBlockSize;
        context->BlockLogical[i] = context->Blocks.Logical + i * kAtBlockSize;
    }
    for (ULONG i = 0; i < kAtSlotCount; ++i)
        if (!AllocateCommonBuffer(context->Adapter, kAtSlotSize, &context->Slots[i].Buffer)) return false;
    return true;
}

void EmptyRing(AtContext* context) {
    context->Tail = 0;
    context->Head = 0;
    context->FreeBlocks = kAtBlockCount;
    context->NewestBranch = nullptr;
    InitializeListHead(&context->InFlight);
    InitializeListHead(&context->Waiting);
    for (ULONG i = 0; i < kAtSlotCount; ++i) context->Slots[i].InUse = FALSE;
}

}  // namespace

bool InitAtContext(OhciController* controller, AtContext* context, AtContextKind kind, ULONG number, ULONG base) {
    RtlZeroMemory(context, sizeof(*context));
    context->Controller = controller;
    context->Kind = kind;
    context->Number = number;
    context->RegisterBase = base;
    KeInitializeSpinLock(&context->QueueLock);
    KeInitializeSpinLock(&context->SlotLock);
    KeInitializeSpinLock(&context->DpcLock);
    KeInitializeDpc(&context->Dpc, AtCompletionDpc, context);
    KeInitializeTimer(&context->FallbackTimer);
    EmptyRing(context);
    context->Ready = TRUE;
    context->BlockVirtual = AllocateTable<PVOID>(kAtBlockCount);
    context->BlockLogical = AllocateTable<ULONG>(kAtBlockCount);
    bool ok = context->BlockVirtual != nullptr && context->BlockLogical != nullptr && AllocateDmaMemory(context);
    if (!ok) FreeAtContext(context);
    return ok;
}

void ResetAtContext(AtContext* context) {
    if (!context->Ready) return;
    StopContext(context->Controller, context->RegisterBase + ohci::kContextControlClear);
    EmptyRing(context);
}

void FreeAtContext(AtContext* context) {
    if (!context->Ready) return;
    for (ULONG i = 0; i < kAtSlotCount; ++i) FreeCommonBuffer(&context->Slots[i].Buffer);
    FreeCommonBuffer(&context->Blocks);
    PutControllerDmaAdapter(context->Adapter);
    context->Adapter = nullptr;
    FreeTable(context->BlockVirtual);
    FreeTable(context->BlockLogical);
    context->BlockVirtual = nullptr;
    context->BlockLogical = nullptr;
    context->Ready = FALSE;
}

bool StopContext(OhciController* controller, ULONG clearOffset) {
    constexpr ULONG kRunWake = ohci::kContextRun | ohci::kContextWake;
    WriteRegister(controller, clearOffset, kRunWake);
    for (ULONG retry = 0; retry < kStopRetries; ++retry) {
        if (controller->Registers.RegisterBase == nullptr) return false;
        ULONG control = 0;
        ReadRegister(controller, clearOffset, &control);
        if (!(control & ohci::kContextActive)) return false;
        WriteRegister(controller, clearOffset, kRunWake);
        KeStallExecutionProcessor(kStopStallUs);
    }
    return true;
}

void StopAsyncContexts(OhciController* controller) {
    StopContext(controller, ohci::kAsyncRequestTransmitContext + ohci::kContextControlClear);
    StopContext(controller, ohci::kAsyncResponseTransmitContext + ohci::kContextControlClear);
    StopContext(controller, ohci::kAsyncRequestReceiveContext + ohci::kContextControlClear);
    StopContext(controller, ohci::kAsyncResponseReceiveContext + ohci::kContextControlClear);
}

ULONG BuildAtBlock(PULONG block, const AsyncPacket* packet, ULONG slotAddress, USHORT expiry) {
    for (ULONG i = 0; i < kAtBlockSize / sizeof(ULONG); ++i) block[i] = 0;
    ULONG immediate[async::kHeaderQuadlets];
    async::AtImmediateQuadlets(packet->Header, packet->Tcode, packet->Speed, immediate);
    for (ULONG i = 0; i < async::kHeaderQuadlets; ++i) block[4 + i] = immediate[i];
    block[3] = expiry;
    if (packet->PayloadLength == 0) {
        block[0] = kOutputLastImmediate | async::AtImmediateCount(packet->Tcode, packet->HeaderLength);
        return 2;
    }
    block[0] = kOutputMoreImmediate | (packet->Tcode == async::kTcodeStream ? 8 : 16);
    block[8] = kOutputLast | packet->PayloadLength;
    block[9] = slotAddress;
    return 3;
}

void ReturnPayloadSlot(AsyncPacket* packet) {
    PayloadSlot* slot = packet->Slot;
    if (slot == nullptr || packet->Context == nullptr) return;
    packet->Slot = nullptr;
    GiveSlotBack(packet->Context, slot);
}

LONG QueueToContext(OhciController* controller, AsyncPacket* packet) {
    bool response = async::IsResponseTcode(packet->Tcode) && packet->Tcode != async::kTcodeStream &&
                    !PacketHas(packet, kPacketPhy);
    // Once queued, an untracked packet is the engine's (it may end and free it at once).
    const bool untracked = PacketHas(packet, kPacketUntracked);
    AtContext* context = response ? &controller->AtResponse : &controller->AtRequest;
    if (controller->BusResetActive || PacketHas(packet, kPacketAborted)) {
        PacketSet(packet, kPacketAborted);
        packet->PacketStatus = kPacketBusReset;
        return -11;
    }
    packet->Context = context;
    KIRQL irql;
    KeAcquireSpinLock(&context->QueueLock, &irql);
    InterlockedIncrement(&packet->References);
    InsertTailList(&context->Waiting, &packet->QueueLink);
    PacketSet(packet, kPacketOnQueue);
    RefillProgram(controller, context);
    KeReleaseSpinLock(&context->QueueLock, irql);
    // A reset that began meanwhile ends the packet in the queue: an untracked one with its owner's
    // reference, so its submitter must not give that up again; a tracked one's caller withdraws it.
    return controller->BusResetActive && !untracked ? -11 : 0;
}

void RefillProgram(OhciController* controller, AtContext* context) {
    if (!context->Ready) return;
    bool built = false;
    ULONG firstBlock = 0, firstZ = 0;
    while (!IsListEmpty(&context->Waiting)) {
        AsyncPacket* packet = QueuePacket(context->Waiting.Flink);
        if (controller->BusResetActive) {
            RemoveEntryList(&packet->QueueLink);
            InitializeListHead(&packet->QueueLink);
            PacketClear(packet, kPacketOnQueue);
            PacketSet(packet, kPacketAborted);
            packet->PacketStatus = kPacketBusReset;
            KeSetEvent(&packet->DoneEvent, IO_NO_INCREMENT, FALSE);
            // Nobody waits for an untracked packet: its owner's reference goes with the queue's.
            if (PacketHas(packet, kPacketUntracked)) DisposePacket(packet);
            ReleasePacket(packet);
            continue;
        }
        ULONG tail = context->Tail;
        ULONG z = 0;
        if (!BuildNext(controller, context, packet, &z)) break;
        if (!built) {
            built = true;
            firstBlock = tail;
            firstZ = z;
        }
    }
    if (built) StartOrWake(controller, context, firstBlock, firstZ);
}

void AtCompletionDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    auto* context = static_cast<AtContext*>(DeferredContext);
    if (context == nullptr) {
        ReportMissingContext("AtCompletionDpc");
        return;
    }
    OhciController* controller = context->Controller;
    KIRQL irql;
    KeAcquireSpinLock(&context->DpcLock, &irql);
    KeAcquireSpinLockAtDpcLevel(&context->QueueLock);
    while (context->Ready && !IsListEmpty(&context->InFlight)) {
        AsyncPacket* packet = QueuePacket(context->InFlight.Flink);
        ULONG head = context->Head;
        auto* block = static_cast<volatile ULONG*>(context->BlockVirtual[head]);
        ULONG code = (block[AtStatusWord(context->BlockZ[head])] >> 16) & async::kEventCodeMask;
        if (code == 0) {
            if (context->Kind != kAtResponse || packet->PayloadLength == 0 ||
                ResponseTimeNow() - packet->ResponseTime <= kResponseFallbackMs)
                break;
            code = async::kEvtTimeout;
        }
        RemoveEntryList(&packet->QueueLink);
        InitializeListHead(&packet->QueueLink);
        PacketClear(packet, kPacketOnQueue | kPacketInRing);
        KeReleaseSpinLockFromDpcLevel(&context->QueueLock);
        if (controller->BusResetActive || PacketHas(packet, kPacketAborted)) code = async::kEvtBusReset;
        // A packet its caller withdrew keeps the results the caller gave it (cancelled, timed out).
        KeAcquireSpinLockAtDpcLevel(&packet->Lock);
        LONG outcome = PacketHas(packet, kPacketWithdrawn) ? 0 : Classify(packet, code);
        KeReleaseSpinLockFromDpcLevel(&packet->Lock);
        CountOutcome(controller, context, packet, code);
        ReturnPayloadSlot(packet);
        ++context->Counters.Completed;
        TransmitDone(controller, packet, outcome);
        ReleasePacket(packet);
        KeAcquireSpinLockAtDpcLevel(&context->QueueLock);
        ++context->FreeBlocks;
        context->Head = (head + 1) % kAtBlockCount;
    }
    RefillProgram(controller, context);
    KeReleaseSpinLockFromDpcLevel(&context->QueueLock);
    KeReleaseSpinLock(&context->DpcLock, irql);
}
