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
// Types the headers do not declare

typedef PVOID* PPVOID;

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
// Status codes missing from mingw-w64's ntstatus.h (values as the Windows SDK defines them)

#define KX_NTSTATUS(v) ((NTSTATUS)(ULONG)(v))
#ifndef STATUS_INVALID_GENERATION
#define STATUS_INVALID_GENERATION KX_NTSTATUS(0xC0000262u)
#endif

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
