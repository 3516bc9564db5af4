// Host kernel mm: the interface tests, tools and the other host modules use beyond hk_core.h —
// pool accounting and failure injection, DMA settings and faults, user address spaces.
// Driver code never includes this header.
#pragma once

#include <vector>

#include "hk_core.h"

namespace hk {

namespace rule {
// MmProbeAndLockPages (or another raising routine) failed outside an exception frame: Windows
// would crash the system.
inline constexpr const char* kUnhandledException = "UNHANDLED_EXCEPTION";
}  // namespace rule

namespace mm {

// ---- Pool accounting (live blocks; lookaside entries cached by a list are not counted as live)
ULONG TagCount(ULONG tag);
SIZE_T TagBytes(ULONG tag);
// Every pool allocation attempted since boot (ExAllocatePool*, lookaside allocations, MDLs), also
// the failed ones: run a scenario once, take the difference, then fail allocation k = 1..N.
ULONGLONG AllocationCount();

// ---- Failure injection (all reset by ClearFailures and at boot)
inline constexpr ULONG kForever = 0xFFFFFFFFu;
// After `skip` more successful allocations with this tag, the next `count` ones fail. Every
// ExAllocateFromNPagedLookasideList counts as an allocation with the list's tag, whether or not
// the list has a cached entry, so "the lookaside list is empty" can be injected deterministically.
void FailTag(ULONG tag, ULONG skip = 0, ULONG count = kForever);
// The n-th pool allocation from now (n >= 1) fails, whatever its tag.
void FailAllocation(ULONG n);
// The n-th AllocateCommonBuffer / GetScatterGatherList from now (n >= 1) fails.
void FailCommonBuffer(ULONG n);
void FailScatterGather(ULONG n);
void ClearFailures();

// ---- DMA settings (apply to adapters obtained afterwards / to lists built afterwards)
// Map registers of each adapter (what IoGetDmaAdapter reports); default 17. A scatter/gather
// transfer that spans more pages fails with STATUS_INSUFFICIENT_RESOURCES (Windows would queue it
// until registers free up; on the host a transfer that could never fit is an error at once).
void SetMapRegisters(ULONG count);
// Split scatter/gather elements further, to at most `bytes` each (0: split at pages only).
void SetSgSplit(ULONG bytes);
// Scatter/gather lists through bounce buffers, as Windows builds them for a 32-bit adapter on a
// machine with memory above 4 GB: the device reads and writes pages of the adapter's own; the
// buffer's pages get what the device wrote only when the list is put back (a write to the device
// is copied to the bounce pages when the list is built).
void SetBounceBuffers(bool on);

// ---- The device's view of the bus
struct BusFault {
    ULONG address;  // first unmapped byte touched
    ULONG length;   // length of the whole access
    bool write;
};
const std::vector<BusFault>& BusFaults();
// Whether a bus page is currently mapped for DMA (tests and the model's self-checks).
bool IsBusMapped(ULONG busAddress);

// ---- Register windows
// Mappings made by MmMapIoSpace and not yet unmapped.
ULONG MappedIoSpaceCount();

}  // namespace mm

// ---- User address spaces (per process; io calls Owns for METHOD_BUFFERED/NEITHER probing)
namespace user {
// Real host memory owned by the process, zero-filled, with a PROT_NONE guard page before and after
// it; the buffer ends within 16 bytes of the trailing guard page (16-byte aligned start). A 32-bit
// process gets addresses below 2 GiB. Null when the space is exhausted.
void* Alloc(PEPROCESS process, SIZE_T size, bool readOnly = false);
// For a large-address-aware 32-bit process: an address between 2 and 4 GiB. Null where the host
// cannot place memory there (AddressSanitizer keeps its shadow memory in that range).
void* AllocHigh(PEPROCESS process, SIZE_T size, bool readOnly = false);
// False (and the buffer stays) while a driver holds part of it secured (MmSecureVirtualMemory),
// as VirtualFree fails.
bool Free(PEPROCESS process, void* address);
// Change the protection of a buffer (fill it, then make it read-only).
void SetReadOnly(PEPROCESS process, void* address, bool readOnly);
// Whether [address, address + length) lies inside one buffer of the process (writable if write).
bool Owns(PEPROCESS process, const void* address, SIZE_T length, bool write);
}  // namespace user

}  // namespace hk
