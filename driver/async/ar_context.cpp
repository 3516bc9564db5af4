#include "ar_context.h"

#include "core/controller.h"
#include "core/hooks.h"
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
