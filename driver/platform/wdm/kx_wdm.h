// Windows kernel backend of the platform header: the WDM vocabulary of driver code mapped onto the
// kernel headers of mingw-w64 (ntddk.h and wdm.h from the ddk directory, which the build puts on the
// system include path). Included only through driver/platform/kxplatform.h.
//
// Driver code sees exactly the names the host backend declares (driver/platform/host/wdm_*.h);
// tests/windows/check_vocabulary.py proves that every one of them exists here with the same value.
// What the headers lack or get wrong is filled in below, each gap with its reason.
//
// The image targets Windows 7 x64 and later. This header is valid C as well as C++: the one
// structured-exception file of this backend (kx_services_seh.c) is C, built with clang.
#pragma once

#if !defined(__x86_64__) || !defined(_WIN64)
#error "the Windows backend builds the x64 driver image only"
#endif

#ifndef _AMD64_
#define _AMD64_ 1
#endif
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#endif
#ifndef WINVER
#define WINVER 0x0601
#endif
#ifndef NTDDI_VERSION
#define NTDDI_VERSION 0x06010000
#endif

// wdm.h defines InterlockedBitTestAndSet/Reset as inline functions of its own, and mingw-w64's
// intrin.h (which wdm.h includes first) defines them too; the second definition is an error in
// C++. Mark the intrinsic versions as already defined so that only wdm.h's remain.
#ifndef __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#endif
#ifndef __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#endif

#include <ntddk.h>

// ---------------------------------------------------------------------------------------------
// Names the headers do not declare (values and layouts as the Windows kernel defines them)

typedef PVOID* PPVOID;
typedef unsigned int UINT;

// Record type names: mingw-w64 declares only the pointer types of records the kernel keeps opaque,
// and only some of the PR* ("pointer to a referenced record") spellings.
typedef struct _KTHREAD KTHREAD;
typedef struct _KPROCESS KPROCESS, *PRKPROCESS;
typedef struct _KINTERRUPT KINTERRUPT, *PRKINTERRUPT;
typedef struct _OBJECT_TYPE OBJECT_TYPE, *PROBJECT_TYPE;
typedef struct _IO_WORKITEM IO_WORKITEM, *PRIO_WORKITEM;
typedef struct _DEVICE_OBJECT* PRDEVICE_OBJECT;
typedef struct _DRIVER_OBJECT* PRDRIVER_OBJECT;
typedef struct _FILE_OBJECT* PRFILE_OBJECT;
typedef struct _IRP* PRIRP;
typedef struct _IO_STACK_LOCATION* PRIO_STACK_LOCATION;
typedef struct _IO_STATUS_BLOCK* PRIO_STATUS_BLOCK;
typedef struct _OBJECT_ATTRIBUTES* PROBJECT_ATTRIBUTES;
typedef struct _MDL* PRMDL;
typedef struct _DMA_ADAPTER* PRDMA_ADAPTER;
typedef struct _NPAGED_LOOKASIDE_LIST* PRNPAGED_LOOKASIDE_LIST;
typedef struct _SCATTER_GATHER_LIST* PRSCATTER_GATHER_LIST;

typedef VOID NTAPI IO_APC_ROUTINE(PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, ULONG Reserved);

// Dispatcher object kinds (DISPATCHER_HEADER.Type).
typedef enum _KOBJECTS {
    EventNotificationObject = 0,
    EventSynchronizationObject = 1,
    MutantObject = 2,
    ProcessObject = 3,
    QueueObject = 4,
    SemaphoreObject = 5,
    ThreadObject = 6,
    GateObject = 7,
    TimerNotificationObject = 8,
    TimerSynchronizationObject = 9,
    DpcObject = 19,
    InterruptObject = 22,
} KOBJECTS;

// WAIT_TYPE members after WaitAny, which mingw-w64's enumeration stops at.
#ifndef WaitNotification
#define WaitNotification ((WAIT_TYPE)2)
#endif
#ifndef WaitDequeue
#define WaitDequeue ((WAIT_TYPE)3)
#endif

#ifndef MUTANT_INCREMENT
#define MUTANT_INCREMENT 1
#endif
#ifndef FILE_DEVICE_1394
#define FILE_DEVICE_1394 0x0000002F
#endif

// Page priority flags of MmGetSystemAddressForMdlSafe (honoured from Windows 8 on).
#ifndef MdlMappingNoWrite
#define MdlMappingNoWrite 0x80000000
#endif
#ifndef MdlMappingNoExecute
#define MdlMappingNoExecute 0x40000000
#endif

// mingw-w64's MDL_MAPPING_FLAGS names an MDL_SYSTEM_VA it never defines; these are its defined flags.
#undef MDL_MAPPING_FLAGS
#define MDL_MAPPING_FLAGS                                                                                 \
    (MDL_MAPPED_TO_SYSTEM_VA | MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL | MDL_PARTIAL_HAS_BEEN_MAPPED | \
     MDL_PARENT_MAPPED_SYSTEM_VA | MDL_IO_SPACE)

#ifdef __cplusplus
extern "C" {
#endif
// Exported by ntoskrnl.exe; declared by the installable-file-system headers, not by wdm.h/ntddk.h.
NTKERNELAPI PDEVICE_OBJECT NTAPI IoGetLowerDeviceObject(PDEVICE_OBJECT DeviceObject);
NTKERNELAPI PEPROCESS NTAPI IoGetRequestorProcess(PIRP Irp);
typedef struct _KAPC_STATE {
    LIST_ENTRY ApcListHead[MaximumMode];
    PKPROCESS Process;
    BOOLEAN KernelApcInProgress;
    BOOLEAN KernelApcPending;
    BOOLEAN UserApcPending;
} KAPC_STATE, *PKAPC_STATE, *PRKAPC_STATE;
// The kernel takes the process object itself (WDK: PRKPROCESS, the same pointer as PEPROCESS).
NTKERNELAPI VOID NTAPI KeStackAttachProcess(PEPROCESS Process, PRKAPC_STATE ApcState);
NTKERNELAPI VOID NTAPI KeUnstackDetachProcess(PRKAPC_STATE ApcState);
NTKERNELAPI NTSTATUS NTAPI PsGetProcessExitStatus(PEPROCESS Process);
extern NTKERNELAPI POBJECT_TYPE* IoDeviceObjectType;
extern NTKERNELAPI POBJECT_TYPE* IoDriverObjectType;
#ifdef __cplusplus
}
#endif

// ---------------------------------------------------------------------------------------------
// Barriers: wdm.h only has the x86 KeMemoryBarrier (an xchg through a stack variable). On x64 the
// kernel headers define it as a full fence, which also orders uncached register accesses.

#ifndef KeMemoryBarrier
#define KeMemoryBarrier() __asm__ __volatile__("mfence" ::: "memory")
#endif
#ifndef MemoryBarrier
#define MemoryBarrier() KeMemoryBarrier()
#endif
#ifndef KeMemoryBarrierWithoutFence
#define KeMemoryBarrierWithoutFence() __asm__ __volatile__("" ::: "memory")
#endif

// ---------------------------------------------------------------------------------------------
// Byte swaps: wdm.h maps them to _byteswap_ushort/_ulong/_uint64, which mingw-w64 implements in
// its user-mode runtime library, not inline. The compiler's builtins need no library.

static __inline__ __attribute__((always_inline)) USHORT KxUshortByteSwap(USHORT v) { return __builtin_bswap16(v); }
static __inline__ __attribute__((always_inline)) ULONG KxUlongByteSwap(ULONG v) { return __builtin_bswap32(v); }
static __inline__ __attribute__((always_inline)) ULONGLONG KxUlonglongByteSwap(ULONGLONG v) {
    return __builtin_bswap64(v);
}
#undef RtlUshortByteSwap
#undef RtlUlongByteSwap
#undef RtlUlonglongByteSwap
#define RtlUshortByteSwap(x) KxUshortByteSwap((USHORT)(x))
#define RtlUlongByteSwap(x) KxUlongByteSwap((ULONG)(x))
#define RtlUlonglongByteSwap(x) KxUlonglongByteSwap((ULONGLONG)(x))

// ---------------------------------------------------------------------------------------------
// Status codes spelled as the host backend spells them

#define KX_NTSTATUS(v) ((NTSTATUS)(ULONG)(v))

// ---------------------------------------------------------------------------------------------
// Assertions: the kernel's RtlAssert in checked builds (DBG=1). In free builds the expression is
// not evaluated but stays referenced, so a variable used only by assertions raises no warning
// (the host backend always evaluates assertions; driver code keeps them free of side effects).

#undef ASSERT
#undef NT_ASSERT
#if DBG
#define ASSERT(e) ((e) ? (void)0 : RtlAssert((PVOID) #e, (PVOID)__FILE__, __LINE__, NULL))
#else
#define ASSERT(e) ((void)sizeof((e) ? 1 : 0))
#endif
#define NT_ASSERT(e) ASSERT(e)
