#include "dma_memory.h"

namespace {

PNPAGED_LOOKASIDE_LIST SystemList(LookasideList* list) {
    ULONG_PTR address = (reinterpret_cast<ULONG_PTR>(list->Storage) + 63) & ~ULONG_PTR(63);
    return reinterpret_cast<PNPAGED_LOOKASIDE_LIST>(address);
}

INTERFACE_TYPE LegacyBusType(PDEVICE_OBJECT physicalDeviceObject) {
    INTERFACE_TYPE busType = PCIBus;
    ULONG length = 0;
    if (!NT_SUCCESS(IoGetDeviceProperty(physicalDeviceObject, DevicePropertyLegacyBusType, sizeof(busType), &busType,
                                        &length)))
        busType = PCIBus;
    return busType;
}

}  // namespace

PDMA_ADAPTER GetControllerDmaAdapter(PDEVICE_OBJECT physicalDeviceObject) {
    DEVICE_DESCRIPTION description;
    RtlZeroMemory(&description, sizeof(description));
    description.Version = DEVICE_DESCRIPTION_VERSION;
    description.Master = TRUE;
    description.ScatterGather = TRUE;
    description.Dma32BitAddresses = TRUE;
    description.InterfaceType = LegacyBusType(physicalDeviceObject);
    description.MaximumLength = 0x7FFFFFFF;
    ULONG mapRegisters = 0;
    return IoGetDmaAdapter(physicalDeviceObject, &description, &mapRegisters);
}

void PutControllerDmaAdapter(PDMA_ADAPTER adapter) {
    if (adapter != nullptr) adapter->DmaOperations->PutDmaAdapter(adapter);
}

bool AllocateCommonBuffer(PDMA_ADAPTER adapter, ULONG length, CommonBuffer* buffer) {
    RtlZeroMemory(buffer, sizeof(*buffer));
    if (adapter == nullptr) return false;
    PHYSICAL_ADDRESS logical;
    logical.QuadPart = 0;
    PVOID virtualAddress = adapter->DmaOperations->AllocateCommonBuffer(adapter, length, &logical, FALSE);
    if (virtualAddress == nullptr) return false;
    RtlZeroMemory(virtualAddress, length);
    buffer->Adapter = adapter;
    buffer->Virtual = virtualAddress;
    buffer->Logical = ULONG(logical.QuadPart);
    buffer->Length = length;
    buffer->Ready = TRUE;
    return true;
}

void FreeCommonBuffer(CommonBuffer* buffer) {
    if (!buffer->Ready) return;
    PHYSICAL_ADDRESS logical;
    logical.QuadPart = buffer->Logical;
    buffer->Adapter->DmaOperations->FreeCommonBuffer(buffer->Adapter, buffer->Length, logical, buffer->Virtual, FALSE);
    RtlZeroMemory(buffer, sizeof(*buffer));
}

PVOID AllocateZeroedPool(SIZE_T bytes, ULONG tag) {
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, bytes, tag);
    if (block != nullptr) RtlZeroMemory(block, bytes);
    return block;
}

void FreeTaggedPool(PVOID block, ULONG tag) {
    if (block != nullptr) ExFreePoolWithTag(block, tag);
}

void CreateLookasideList(LookasideList* list, ULONG blockSize, ULONG tag) {
    ExInitializeNPagedLookasideList(SystemList(list), nullptr, nullptr, 0, blockSize, tag, 0);
    list->Tag = tag;
    list->BlockSize = blockSize;
    list->Ready = TRUE;
}

void DeleteLookasideList(LookasideList* list) {
    if (!list->Ready) return;
    ExDeleteNPagedLookasideList(SystemList(list));
    list->Ready = FALSE;
}

PVOID AllocateFromLookaside(LookasideList* list) {
    if (!list->Ready) return nullptr;
    PVOID block = ExAllocateFromNPagedLookasideList(SystemList(list));
    if (block != nullptr) RtlZeroMemory(block, list->BlockSize);
    return block;
}

void FreeToLookaside(LookasideList* list, PVOID block) {
    if (block != nullptr) ExFreeToNPagedLookasideList(SystemList(list), block);
}
