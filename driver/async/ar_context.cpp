#include "ar_context.h"

#include "ar_walk.h"
#include "async_packet.h"
#include "core/bus_reset.h"
#include "core/controller.h"
#include "core/hooks.h"
#include "incoming.h"
#include "ohci/ohci_registers.h"
#include "ohci/pool_tags.h"
#include "ohci/register_access.h"

namespace {

// INPUT_MORE in buffer-fill mode: cmd 2, s (status update) set, b = 3 (branch always).
constexpr ULONG kInputMore = 2u << 28;
constexpr ULONG kDescriptorStatus = 1u << 27;
constexpr ULONG kBranchAlways = 3u << 18;
constexpr ULONG kArControl = kInputMore | kDescriptorStatus | kBranchAlways | kArBufferSize;
constexpr ULONG kDescriptorBytes = 16;
constexpr ULONG kDescriptorAreaBytes = 4096;

struct InputMore {
    ULONG Control;
    ULONG DataAddress;
    ULONG BranchAddress;  // 31:4 address, 3:0 Z
    ULONG Status;         // 31:16 xferStatus, 15:0 resCount
};
static_assert(sizeof(InputMore) == kDescriptorBytes, "descriptors are 16 bytes");

InputMore* Descriptor(ArContext* context, ULONG i) { return static_cast<InputMore*>(context->DescriptorVirtual[i]); }

constexpr ULONG kResCountMask = 0xFFFF;
constexpr ULONG kBranchZMask = 0xF;
constexpr UCHAR kEvtAckComplete = 0x11;

// Gives buffer i back to the controller: the program now ends after it, and the buffer before it
// continues into it.
void Recycle(ArContext* context, ULONG i) {
    OhciController* controller = context->Controller;
    InputMore* descriptor = Descriptor(context, i);
    descriptor->Status = kArBufferSize;
    descriptor->BranchAddress &= ~kBranchZMask;
    InputMore* previous = Descriptor(context, (i + kArBufferCount - 1) % kArBufferCount);
    previous->BranchAddress = (previous->BranchAddress & ~kBranchZMask) | 1;
    KeMemoryBarrier();
    (void)ReadRegisterValue(controller, context->RegisterBase + ohci::kContextControlSet);
    WriteRegister(controller, context->RegisterBase + ohci::kContextControlSet, ohci::kContextWake);
}

void LoadRing(ArContext* context, async::ArRing* ring) {
    ring->Count = kArBufferCount;
    ring->BufferSize = kArBufferSize;
    for (ULONG i = 0; i < kArBufferCount; ++i) {
        ring->Buffers[i] = static_cast<const UCHAR*>(context->BufferVirtual[i]);
        volatile ULONG* status = &Descriptor(context, i)->Status;
        ULONG resCount = *status & kResCountMask;
        ring->Filled[i] = resCount > kArBufferSize ? 0 : kArBufferSize - resCount;
    }
}

// Hands one packet of the walk on (both locks held).
void Dispatch(ArContext* context, const UCHAR* packet, ULONG length) {
    OhciController* controller = context->Controller;
    ULONG tcode = packet[0] >> 4;
    ULONG trailer = async::LoadLe32(packet + length - 4);
    UCHAR event = UCHAR((trailer >> 16) & async::kEventCodeMask);
    ++context->PacketsReceived;
    if (tcode == async::kTcodePhy) {
        // The bus-reset marker packet has the same tcode; it carries evt_bus_reset.
        if (event != async::kEvtBusReset) ReceivePhyPacket(controller, async::LoadLe32(packet + 4));
        return;
    }
    (void)ReceiveDispatch(controller, packet, length - 4, event == kEvtAckComplete, false);
}

template <typename T>
T* AllocateTable(ULONG count) {
    return static_cast<T*>(AllocateZeroedPool(sizeof(T) * count, kTagArTables));
}

void FreeTable(PVOID table) { FreeTaggedPool(table, kTagArTables); }

bool AllocateDmaMemory(ArContext* context) {
    context->Adapter = GetControllerDmaAdapter(context->Controller->PhysicalDeviceObject);
    if (!AllocateCommonBuffer(context->Adapter, kDescriptorAreaBytes, &context->Descriptors)) return false;
    for (ULONG i = 0; i < kArBufferCount; ++i) {
        context->DescriptorVirtual[i] = static_cast<PUCHAR>(context->Descriptors.Virtual) + i * kDescriptorBytes;
        context->DescriptorLogical[i] = context->Descriptors.Logical + i * kDescriptorBytes;
        if (!AllocateCommonBuffer(context->Adapter, kArBufferSize, &context->Buffers[i])) return false;
        context->BufferVirtual[i] = context->Buffers[i].Virtual;
        context->BufferLogical[i] = context->Buffers[i].Logical;
    }
    return true;
}

}  // namespace

bool InitArContext(OhciController* controller, ArContext* context, ArContextKind kind, ULONG base) {
    RtlZeroMemory(context, sizeof(*context));
    context->Controller = controller;
    context->Kind = kind;
    context->RegisterBase = base;
    KeInitializeSpinLock(&context->Lock);
    KeInitializeSpinLock(&context->DpcLock);
    KeInitializeDpc(&context->Dpc, ArReceiveDpc, context);
    context->Ready = TRUE;
    context->DescriptorVirtual = AllocateTable<PVOID>(kArBufferCount);
    context->DescriptorLogical = AllocateTable<ULONG>(kArBufferCount);
    context->BufferVirtual = AllocateTable<PVOID>(kArBufferCount);
    context->BufferLogical = AllocateTable<ULONG>(kArBufferCount);
    context->ReassemblyBuffer = AllocateTable<UCHAR>(kArBufferSize);
    bool ok = context->DescriptorVirtual != nullptr && context->DescriptorLogical != nullptr &&
              context->BufferVirtual != nullptr && context->BufferLogical != nullptr &&
              context->ReassemblyBuffer != nullptr && AllocateDmaMemory(context);
    if (!ok) FreeArContext(context);
    return ok;
}

void RearmArContext(ArContext* context) {
    if (!context->Ready) return;
    OhciController* controller = context->Controller;
    StopContext(controller, context->RegisterBase + ohci::kContextControlClear);
    for (ULONG i = 0; i < kArBufferCount; ++i) {
        InputMore* descriptor = Descriptor(context, i);
        bool last = i + 1 == kArBufferCount;
        descriptor->Control = kArControl;
        descriptor->DataAddress = context->BufferLogical[i];
        descriptor->BranchAddress = last ? context->DescriptorLogical[0] : (context->DescriptorLogical[i + 1] | 1);
        descriptor->Status = kArBufferSize;
    }
    context->CurrentBuffer = 0;
    context->CurrentOffset = 0;
    KeMemoryBarrier();
    WriteRegister(controller, context->RegisterBase + ohci::kContextCommandPtr, context->DescriptorLogical[0] | 1);
    WriteRegister(controller, context->RegisterBase + ohci::kContextControlSet, ohci::kContextRun);
}

void FreeArContext(ArContext* context) {
    if (!context->Ready) return;
    for (ULONG i = 0; i < kArBufferCount; ++i) FreeCommonBuffer(&context->Buffers[i]);
    FreeCommonBuffer(&context->Descriptors);
    PutControllerDmaAdapter(context->Adapter);
    context->Adapter = nullptr;
    FreeTable(context->DescriptorVirtual);
    FreeTable(context->DescriptorLogical);
    FreeTable(context->BufferVirtual);
    FreeTable(context->BufferLogical);
    FreeTable(context->ReassemblyBuffer);
    context->DescriptorVirtual = nullptr;
    context->DescriptorLogical = nullptr;
    context->BufferVirtual = nullptr;
    context->BufferLogical = nullptr;
    context->ReassemblyBuffer = nullptr;
    context->Ready = FALSE;
}

LONG ReceiveDispatch(OhciController* controller, const UCHAR* packet, ULONG length, bool ackedComplete, bool local) {
    if (length < 4) return 0;
    ULONG tcode = packet[0] >> 4;
    switch (tcode) {
    case async::kTcodeWriteResponse:
    case async::kTcodeReadQuadletResponse:
    case async::kTcodeReadBlockResponse:
    case async::kTcodeLockResponse: MatchResponse(controller, tcode, packet, length); return 0;
    case async::kTcodeWriteQuadlet:
    case async::kTcodeWriteBlock:
    case async::kTcodeReadQuadlet:
    case async::kTcodeReadBlock:
    case async::kTcodeLockRequest: return HandleIncomingRequest(controller, tcode, packet, length, ackedComplete, local);
    default: return 0;
    }
}

void ArReceiveDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    auto* context = static_cast<ArContext*>(DeferredContext);
    if (context == nullptr) {
        ReportMissingContext("ArReceiveDpc");
        return;
    }
    OhciController* controller = context->Controller;
    KIRQL irql;
    KeAcquireSpinLock(&controller->AsyncLock, &irql);
    if (controller->BusResetActive || !context->Ready) {
        KeReleaseSpinLock(&controller->AsyncLock, irql);
        return;
    }
    KeAcquireSpinLockAtDpcLevel(&context->Lock);
    async::ArPosition position = {context->CurrentBuffer, context->CurrentOffset};
    for (;;) {
        async::ArRing ring;
        LoadRing(context, &ring);
        ULONG length = 0, finished = 0;
        ULONG first = position.Buffer;
        async::ArWalkResult result =
            async::ArNextPacket(ring, &position, context->ReassemblyBuffer, kArBufferSize, &length, &finished);
        if (result == async::kArInvalid) {
            StopContext(controller, context->RegisterBase + ohci::kContextControlClear);
            break;
        }
        if (result != async::kArPacket) break;
        for (ULONG i = 0; i < finished; ++i) Recycle(context, (first + i) % kArBufferCount);
        Dispatch(context, context->ReassemblyBuffer, length);
    }
    context->CurrentBuffer = position.Buffer;
    context->CurrentOffset = position.Offset;
    KeReleaseSpinLockFromDpcLevel(&context->Lock);
    KeReleaseSpinLock(&controller->AsyncLock, irql);
}
