// Host kernel: WDM declarations of the mm domain (see hk_core.h for the split): pool, lookaside
// lists, S-lists, MDLs, DMA adapters with common buffers and scatter/gather lists, mapped I/O space
// and the register access routines. Layouts and member names follow the Windows x64 headers.
#pragma once

#include "wdm_base.h"

// ---------------------------------------------------------------------------------------------
// Pages

#define PAGE_SIZE 0x1000u
#define PAGE_SHIFT 12
#define BYTE_OFFSET(va) ((ULONG)((ULONG_PTR)(va) & (PAGE_SIZE - 1)))
#define PAGE_ALIGN(va) ((PVOID)((ULONG_PTR)(va) & ~(ULONG_PTR)(PAGE_SIZE - 1)))
#define ROUND_TO_PAGES(size) (((ULONG_PTR)(size) + PAGE_SIZE - 1) & ~(ULONG_PTR)(PAGE_SIZE - 1))
#define BYTES_TO_PAGES(size) ((ULONG)(((ULONG_PTR)(size) >> PAGE_SHIFT) + (((ULONG_PTR)(size) & (PAGE_SIZE - 1)) != 0)))
#define ADDRESS_AND_SIZE_TO_SPAN_PAGES(va, size) \
    ((ULONG)((((ULONG_PTR)(size)) >> PAGE_SHIFT) + ((BYTE_OFFSET(va) + (((ULONG_PTR)(size)) & (PAGE_SIZE - 1)) + PAGE_SIZE - 1) >> PAGE_SHIFT)))

typedef ULONG_PTR PFN_NUMBER, *PPFN_NUMBER;
typedef SHORT CSHORT;

// ---------------------------------------------------------------------------------------------
// Pool

typedef enum _POOL_TYPE {
    NonPagedPool,
    NonPagedPoolExecute = NonPagedPool,
    PagedPool,
    NonPagedPoolMustSucceed,
    DontUseThisType,
    NonPagedPoolCacheAligned,
    PagedPoolCacheAligned,
    NonPagedPoolCacheAlignedMustS,
    MaxPoolType,
    NonPagedPoolBase = 0,
    NonPagedPoolBaseMustSucceed = 2,
    NonPagedPoolBaseCacheAligned = 4,
    NonPagedPoolBaseCacheAlignedMustS = 6,
    NonPagedPoolSession = 32,
    PagedPoolSession,
    NonPagedPoolMustSucceedSession,
    DontUseThisTypeSession,
    NonPagedPoolCacheAlignedSession,
    PagedPoolCacheAlignedSession,
    NonPagedPoolCacheAlignedMustSSession,
    NonPagedPoolNx = 512,
    NonPagedPoolNxCacheAligned = 516,
    NonPagedPoolSessionNx = 544,
} POOL_TYPE;

extern "C" {
PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);  // tag 'None'
void ExFreePoolWithTag(PVOID P, ULONG Tag);
void ExFreePool(PVOID P);
}

// ---------------------------------------------------------------------------------------------
// S-lists (x64 layout: 16-byte aligned entries and header). On x64 the spin lock argument of the
// ExInterlocked*SList forms is ignored, as on Windows; the operations are atomic.

typedef struct DECLSPEC_ALIGN(16) _SLIST_ENTRY {
    struct _SLIST_ENTRY* Next;
} SLIST_ENTRY, *PSLIST_ENTRY;

typedef union DECLSPEC_ALIGN(16) _SLIST_HEADER {
    struct {
        ULONGLONG Alignment;
        ULONGLONG Region;
    };
    struct {
        PSLIST_ENTRY Next;  // first entry
        USHORT Depth;
        USHORT Sequence;
        ULONG Reserved;
    } HeaderHost;
} SLIST_HEADER, *PSLIST_HEADER;

extern "C" {
void InitializeSListHead(PSLIST_HEADER SListHead);
PSLIST_ENTRY InterlockedPushEntrySList(PSLIST_HEADER ListHead, PSLIST_ENTRY ListEntry);
PSLIST_ENTRY InterlockedPopEntrySList(PSLIST_HEADER ListHead);
PSLIST_ENTRY InterlockedFlushSList(PSLIST_HEADER ListHead);
USHORT ExQueryDepthSList(PSLIST_HEADER ListHead);
}
#define ExInitializeSListHead InitializeSListHead
#define ExInterlockedPushEntrySList(Head, Entry, Lock) ((void)(Lock), InterlockedPushEntrySList((Head), (Entry)))
#define ExInterlockedPopEntrySList(Head, Lock) ((void)(Lock), InterlockedPopEntrySList((Head)))
#define ExInterlockedFlushSList(Head) InterlockedFlushSList((Head))

// ---------------------------------------------------------------------------------------------
// Non-paged lookaside lists

typedef PVOID (*PALLOCATE_FUNCTION)(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
typedef void (*PFREE_FUNCTION)(PVOID Buffer);

typedef struct DECLSPEC_ALIGN(64) _GENERAL_LOOKASIDE {
    union {
        SLIST_HEADER ListHead;
        SINGLE_LIST_ENTRY SingleListHead;
    };
    USHORT Depth;
    USHORT MaximumDepth;
    ULONG TotalAllocates;
    union {
        ULONG AllocateMisses;
        ULONG AllocateHits;
    };
    ULONG TotalFrees;
    union {
        ULONG FreeMisses;
        ULONG FreeHits;
    };
    POOL_TYPE Type;
    ULONG Tag;
    ULONG Size;
    PALLOCATE_FUNCTION Allocate;
    PFREE_FUNCTION Free;
    LIST_ENTRY ListEntry;
    ULONG LastTotalAllocates;
    union {
        ULONG LastAllocateMisses;
        ULONG LastAllocateHits;
    };
    ULONG Future[2];
} GENERAL_LOOKASIDE, *PGENERAL_LOOKASIDE;

struct DECLSPEC_ALIGN(64) _NPAGED_LOOKASIDE_LIST {
    GENERAL_LOOKASIDE L;
};

extern "C" {
void ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                     PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag, USHORT Depth);
void ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside);
PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside);
void ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry);
}

// ---------------------------------------------------------------------------------------------
// Memory descriptor lists

struct _MDL {
    struct _MDL* Next;
    CSHORT Size;
    CSHORT MdlFlags;
    PEPROCESS Process;
    PVOID MappedSystemVa;
    PVOID StartVa;
    ULONG ByteCount;
    ULONG ByteOffset;
    // followed by the PFN_NUMBER array of the pages described
};

#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_PAGES_LOCKED 0x0002
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004
#define MDL_ALLOCATED_FIXED_SIZE 0x0008
#define MDL_PARTIAL 0x0010
#define MDL_PARTIAL_HAS_BEEN_MAPPED 0x0020
#define MDL_IO_PAGE_READ 0x0040
#define MDL_WRITE_OPERATION 0x0080
#define MDL_PARENT_MAPPED_SYSTEM_VA 0x0100
#define MDL_FREE_EXTRA_PTES 0x0200
#define MDL_DESCRIBES_AWE 0x0400
#define MDL_IO_SPACE 0x0800
#define MDL_NETWORK_HEADER 0x1000
#define MDL_MAPPING_CAN_FAIL 0x2000
#define MDL_ALLOCATED_MUST_SUCCEED 0x4000
#define MDL_INTERNAL 0x8000
#define MDL_MAPPING_FLAGS \
    (MDL_MAPPED_TO_SYSTEM_VA | MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL | MDL_PARTIAL_HAS_BEEN_MAPPED | \
     MDL_PARENT_MAPPED_SYSTEM_VA | MDL_IO_SPACE)

typedef enum _MEMORY_CACHING_TYPE {
    MmNonCached = FALSE,
    MmCached = TRUE,
    MmWriteCombined = 2,
    MmHardwareCoherentCached,
    MmNonCachedUnordered,
    MmUSWCCached,
    MmMaximumCacheType,
    MmNotMapped = -1
} MEMORY_CACHING_TYPE;

typedef enum _MM_PAGE_PRIORITY {
    LowPagePriority,
    NormalPagePriority = 16,
    HighPagePriority = 32
} MM_PAGE_PRIORITY;

#define MdlMappingNoWrite 0x80000000
#define MdlMappingNoExecute 0x40000000

// Through an integer: a user address in the first page has a StartVa of 0.
#define MmGetMdlVirtualAddress(Mdl) ((PVOID)(reinterpret_cast<ULONG_PTR>((Mdl)->StartVa) + (Mdl)->ByteOffset))
#define MmGetMdlByteCount(Mdl) ((Mdl)->ByteCount)
#define MmGetMdlByteOffset(Mdl) ((Mdl)->ByteOffset)
#define MmGetMdlBaseVa(Mdl) ((Mdl)->StartVa)
#define MmGetMdlPfnArray(Mdl) ((PPFN_NUMBER)((Mdl) + 1))
#define MmSizeOfMdl(Base, Length) \
    ((SIZE_T)(sizeof(MDL) + sizeof(PFN_NUMBER) * ADDRESS_AND_SIZE_TO_SPAN_PAGES((Base), (Length))))

extern "C" {
PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp);
void IoFreeMdl(PMDL Mdl);
// On the host, MmProbeAndLockPages cannot raise: a range the current process does not own is
// reported as an unhandled exception (rule UNHANDLED_EXCEPTION), as an unguarded call would crash
// Windows. Drivers call KxProbeAndLockPages (kx_services.h), which returns the status instead.
void MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation);
void MmUnlockPages(PMDL MemoryDescriptorList);
void MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList);
PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                   MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                   ULONG BugCheckOnFailure, ULONG Priority);
void MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList);
void MmInitializeMdl(PMDL MemoryDescriptorList, PVOID BaseVa, SIZE_T Length);
// While secured, a range of the current process cannot be freed (hk::user::Free fails, as
// VirtualFree does) nor made read-only when secured for writing. Unsecure in the same process.
HANDLE MmSecureVirtualMemory(PVOID Address, SIZE_T Size, ULONG ProbeMode);
void MmUnsecureVirtualMemory(HANDLE SecureHandle);
}

#define PAGE_READONLY 0x02
#define PAGE_READWRITE 0x04

static inline PVOID MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG Priority) {
    if (Mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) return Mdl->MappedSystemVa;
    return MmMapLockedPagesSpecifyCache(Mdl, KernelMode, MmCached, nullptr, FALSE, Priority);
}

// ---------------------------------------------------------------------------------------------
// Mapped I/O space and register access. MmMapIoSpace returns an address that faults if it is
// dereferenced: registers are reached only through READ_REGISTER_* / WRITE_REGISTER_*, which the
// host routes synchronously to the device's register window, one 32-bit word at a time. The 8- and
// 16-bit forms are refused (rule REGISTER): OHCI register windows take quadlet accesses only.

extern "C" {
PVOID MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, MEMORY_CACHING_TYPE CacheType);
void MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes);

ULONG READ_REGISTER_ULONG(volatile ULONG* Register);
void WRITE_REGISTER_ULONG(volatile ULONG* Register, ULONG Value);
USHORT READ_REGISTER_USHORT(volatile USHORT* Register);
void WRITE_REGISTER_USHORT(volatile USHORT* Register, USHORT Value);
UCHAR READ_REGISTER_UCHAR(volatile UCHAR* Register);
void WRITE_REGISTER_UCHAR(volatile UCHAR* Register, UCHAR Value);
// The buffer forms access Count consecutive registers (as the x64 string instructions do).
void READ_REGISTER_BUFFER_ULONG(volatile ULONG* Register, PULONG Buffer, ULONG Count);
void WRITE_REGISTER_BUFFER_ULONG(volatile ULONG* Register, PULONG Buffer, ULONG Count);
}

// ---------------------------------------------------------------------------------------------
// DMA

typedef enum _INTERFACE_TYPE {
    InterfaceTypeUndefined = -1,
    Internal,
    Isa,
    Eisa,
    MicroChannel,
    TurboChannel,
    PCIBus,
    VMEBus,
    NuBus,
    PCMCIABus,
    CBus,
    MPIBus,
    MPSABus,
    ProcessorInternal,
    InternalPowerBus,
    PNPISABus,
    PNPBus,
    Vmcs,
    ACPIBus,
    MaximumInterfaceType
} INTERFACE_TYPE, *PINTERFACE_TYPE;

typedef enum _DMA_WIDTH { Width8Bits, Width16Bits, Width32Bits, Width64Bits, WidthNoWrap, MaximumDmaWidth } DMA_WIDTH,
    *PDMA_WIDTH;

typedef enum _DMA_SPEED { Compatible, TypeA, TypeB, TypeC, TypeF, MaximumDmaSpeed } DMA_SPEED, *PDMA_SPEED;

#define DEVICE_DESCRIPTION_VERSION 0x0000
#define DEVICE_DESCRIPTION_VERSION1 0x0001
#define DEVICE_DESCRIPTION_VERSION2 0x0002

typedef struct _DEVICE_DESCRIPTION {
    ULONG Version;
    BOOLEAN Master;
    BOOLEAN ScatterGather;
    BOOLEAN DemandMode;
    BOOLEAN AutoInitialize;
    BOOLEAN Dma32BitAddresses;
    BOOLEAN IgnoreCount;
    BOOLEAN Reserved1;
    BOOLEAN Dma64BitAddresses;
    ULONG BusNumber;
    ULONG DmaChannel;
    INTERFACE_TYPE InterfaceType;
    DMA_WIDTH DmaWidth;
    DMA_SPEED DmaSpeed;
    ULONG MaximumLength;
    ULONG DmaPort;
} DEVICE_DESCRIPTION, *PDEVICE_DESCRIPTION;

typedef struct _SCATTER_GATHER_ELEMENT {
    PHYSICAL_ADDRESS Address;
    ULONG Length;
    ULONG_PTR Reserved;
} SCATTER_GATHER_ELEMENT, *PSCATTER_GATHER_ELEMENT;

struct _SCATTER_GATHER_LIST {
    ULONG NumberOfElements;
    ULONG_PTR Reserved;
    SCATTER_GATHER_ELEMENT Elements[1];  // NumberOfElements of them
};

typedef enum _IO_ALLOCATION_ACTION {
    KeepObject = 1,
    DeallocateObject,
    DeallocateObjectKeepRegisters
} IO_ALLOCATION_ACTION, *PIO_ALLOCATION_ACTION;

typedef IO_ALLOCATION_ACTION DRIVER_CONTROL(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID MapRegisterBase,
                                            PVOID Context);
typedef DRIVER_CONTROL* PDRIVER_CONTROL;

typedef void DRIVER_LIST_CONTROL(PDEVICE_OBJECT DeviceObject, PIRP Irp, PSCATTER_GATHER_LIST ScatterGather,
                                 PVOID Context);
typedef DRIVER_LIST_CONTROL* PDRIVER_LIST_CONTROL;

typedef void (*PPUT_DMA_ADAPTER)(PDMA_ADAPTER DmaAdapter);
typedef PVOID (*PALLOCATE_COMMON_BUFFER)(PDMA_ADAPTER DmaAdapter, ULONG Length, PPHYSICAL_ADDRESS LogicalAddress,
                                         BOOLEAN CacheEnabled);
typedef void (*PFREE_COMMON_BUFFER)(PDMA_ADAPTER DmaAdapter, ULONG Length, PHYSICAL_ADDRESS LogicalAddress,
                                    PVOID VirtualAddress, BOOLEAN CacheEnabled);
typedef NTSTATUS (*PALLOCATE_ADAPTER_CHANNEL)(PDMA_ADAPTER DmaAdapter, PDEVICE_OBJECT DeviceObject,
                                              ULONG NumberOfMapRegisters, PDRIVER_CONTROL ExecutionRoutine,
                                              PVOID Context);
typedef BOOLEAN (*PFLUSH_ADAPTER_BUFFERS)(PDMA_ADAPTER DmaAdapter, PMDL Mdl, PVOID MapRegisterBase, PVOID CurrentVa,
                                          ULONG Length, BOOLEAN WriteToDevice);
typedef void (*PFREE_ADAPTER_CHANNEL)(PDMA_ADAPTER DmaAdapter);
typedef void (*PFREE_MAP_REGISTERS)(PDMA_ADAPTER DmaAdapter, PVOID MapRegisterBase, ULONG NumberOfMapRegisters);
typedef PHYSICAL_ADDRESS (*PMAP_TRANSFER)(PDMA_ADAPTER DmaAdapter, PMDL Mdl, PVOID MapRegisterBase, PVOID CurrentVa,
                                          PULONG Length, BOOLEAN WriteToDevice);
typedef ULONG (*PGET_DMA_ALIGNMENT)(PDMA_ADAPTER DmaAdapter);
typedef ULONG (*PREAD_DMA_COUNTER)(PDMA_ADAPTER DmaAdapter);
typedef NTSTATUS (*PGET_SCATTER_GATHER_LIST)(PDMA_ADAPTER DmaAdapter, PDEVICE_OBJECT DeviceObject, PMDL Mdl,
                                             PVOID CurrentVa, ULONG Length, PDRIVER_LIST_CONTROL ExecutionRoutine,
                                             PVOID Context, BOOLEAN WriteToDevice);
typedef void (*PPUT_SCATTER_GATHER_LIST)(PDMA_ADAPTER DmaAdapter, PSCATTER_GATHER_LIST ScatterGather,
                                         BOOLEAN WriteToDevice);
typedef NTSTATUS (*PCALCULATE_SCATTER_GATHER_LIST_SIZE)(PDMA_ADAPTER DmaAdapter, PMDL Mdl, PVOID CurrentVa,
                                                        ULONG Length, PULONG ScatterGatherListSize,
                                                        PULONG pNumberOfMapRegisters);
typedef NTSTATUS (*PBUILD_SCATTER_GATHER_LIST)(PDMA_ADAPTER DmaAdapter, PDEVICE_OBJECT DeviceObject, PMDL Mdl,
                                               PVOID CurrentVa, ULONG Length, PDRIVER_LIST_CONTROL ExecutionRoutine,
                                               PVOID Context, BOOLEAN WriteToDevice, PVOID ScatterGatherBuffer,
                                               ULONG ScatterGatherLength);
typedef NTSTATUS (*PBUILD_MDL_FROM_SCATTER_GATHER_LIST)(PDMA_ADAPTER DmaAdapter, PSCATTER_GATHER_LIST ScatterGather,
                                                        PMDL OriginalMdl, PMDL* TargetMdl);

typedef struct _DMA_OPERATIONS {
    ULONG Size;
    PPUT_DMA_ADAPTER PutDmaAdapter;
    PALLOCATE_COMMON_BUFFER AllocateCommonBuffer;
    PFREE_COMMON_BUFFER FreeCommonBuffer;
    PALLOCATE_ADAPTER_CHANNEL AllocateAdapterChannel;
    PFLUSH_ADAPTER_BUFFERS FlushAdapterBuffers;
    PFREE_ADAPTER_CHANNEL FreeAdapterChannel;
    PFREE_MAP_REGISTERS FreeMapRegisters;
    PMAP_TRANSFER MapTransfer;
    PGET_DMA_ALIGNMENT GetDmaAlignment;
    PREAD_DMA_COUNTER ReadDmaCounter;
    PGET_SCATTER_GATHER_LIST GetScatterGatherList;
    PPUT_SCATTER_GATHER_LIST PutScatterGatherList;
    PCALCULATE_SCATTER_GATHER_LIST_SIZE CalculateScatterGatherList;
    PBUILD_SCATTER_GATHER_LIST BuildScatterGatherList;
    PBUILD_MDL_FROM_SCATTER_GATHER_LIST BuildMdlFromScatterGatherList;
} DMA_OPERATIONS, *PDMA_OPERATIONS;

struct _DMA_ADAPTER {
    USHORT Version;
    USHORT Size;
    PDMA_OPERATIONS DmaOperations;
};

extern "C" {
PDMA_ADAPTER IoGetDmaAdapter(PDEVICE_OBJECT PhysicalDeviceObject, PDEVICE_DESCRIPTION DeviceDescription,
                             PULONG NumberOfMapRegisters);
}
