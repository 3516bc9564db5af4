// DMA memory of the controller: common buffers from a bus-master adapter of the controller's PCI
// function, and non-paged lookaside lists, each carrying a mark that says whether it exists so
// that the teardown of a partly built controller frees only what was obtained.
#pragma once

#include "kxplatform.h"

// A DMA common buffer: host address, 32-bit bus address and the adapter it came from.
struct CommonBuffer {
    PDMA_ADAPTER Adapter;
    PVOID Virtual;
    ULONG Logical;
    ULONG Length;
    BOOLEAN Ready;
};

// A non-paged lookaside list. The system's list record wants more alignment than a device
// extension gives, so it is placed at a 64-byte boundary inside Storage.
struct LookasideList {
    UCHAR Storage[sizeof(NPAGED_LOOKASIDE_LIST) + 64];
    ULONG Tag;
    ULONG BlockSize;
    BOOLEAN Ready;
};

// A bus-master, scatter/gather, 32-bit adapter for the physical device object; null on failure.
[[nodiscard]] PDMA_ADAPTER GetControllerDmaAdapter(PDEVICE_OBJECT physicalDeviceObject);
void PutControllerDmaAdapter(PDMA_ADAPTER adapter);

// Allocates a zeroed, non-cached common buffer from `adapter`; false when none can be had.
[[nodiscard]] bool AllocateCommonBuffer(PDMA_ADAPTER adapter, ULONG length, CommonBuffer* buffer);
// Frees the buffer if it exists (the adapter stays with its owner).
void FreeCommonBuffer(CommonBuffer* buffer);

// A zeroed block of non-paged pool with its tag, or null; and its release (null is ignored).
[[nodiscard]] PVOID AllocateZeroedPool(SIZE_T bytes, ULONG tag);
void FreeTaggedPool(PVOID block, ULONG tag);

void CreateLookasideList(LookasideList* list, ULONG blockSize, ULONG tag);
void DeleteLookasideList(LookasideList* list);
// A zeroed block from the list, or null (no list or no memory).
[[nodiscard]] PVOID AllocateFromLookaside(LookasideList* list);
void FreeToLookaside(LookasideList* list, PVOID block);
