#include "at_context.h"

#include "core/controller.h"
#include "core/hooks.h"
#include "ohci/ohci_registers.h"
#include "ohci/pool_tags.h"
#include "ohci/register_access.h"

namespace {

constexpr ULONG kStopRetries = 10000;
constexpr ULONG kStopStallUs = 125;
constexpr ULONG kBlockAreaBytes = 4096;

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
