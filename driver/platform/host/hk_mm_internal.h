// Host kernel mm: state shared by the mm sources (pool, user memory and MDLs, DMA, I/O space).
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "hk_mm_test.h"

namespace hk {
namespace mm {
namespace detail {

// ---- Pool
struct PoolBlock {
    SIZE_T size = 0;
    ULONG tag = 0;
    bool paged = false;
    bool cached = false;              // held in a lookaside list's cache
    bool lookaside = false;           // handed out by ExAllocateFromNPagedLookasideList
    bool reported = false;            // already named by a leak report
    ULONGLONG serial = 0;             // allocation order, for deterministic reports
    PNPAGED_LOOKASIDE_LIST list = nullptr;  // the lookaside list it was allocated from
};

struct TagStats {
    ULONG count = 0;
    SIZE_T bytes = 0;
};

struct LookasideState {
    ULONG tag = 0;
    SIZE_T size = 0;
    POOL_TYPE type = NonPagedPool;
    PALLOCATE_FUNCTION allocate = nullptr;
    PFREE_FUNCTION free = nullptr;
    std::vector<void*> cache;
    ULONG outstanding = 0;  // entries allocated from the list and not yet freed
    ULONGLONG serial = 0;
    bool reported = false;
};

struct TagFailure {
    ULONG skip = 0;
    ULONG count = 0;
};

// ---- Guarded memory (hk_mm_guard.cpp): pool blocks and IRPs on pages of their own
enum class GuardKind : UCHAR { Pool, Irp };
struct Guarded {
    char* mapBase = nullptr;   // data pages, then one guard page
    SIZE_T mapLength = 0;
    char* block = nullptr;     // what the caller got
    SIZE_T size = 0;
    GuardKind kind = GuardKind::Pool;
    ULONG tag = 0;
    bool paged = false;
    bool freed = false;        // in the quarantine
    bool opened = false;       // freed, but opened again after a reported touch
    bool trimmed = false;      // paged pool made unreachable at DISPATCH_LEVEL
    bool cachedClosed = false; // held in a lookaside list's cache, unreachable
    bool guardOpen = false;    // the guard page was opened after a reported overrun
    bool poisoned = false;     // freed or cached, poisoned for AddressSanitizer instead of closed
    int locks = 0;             // MDLs locking it (locked pages are never trimmed)
};

// ---- User memory
struct AddressSpace;

struct Region {
    char* mapBase = nullptr;   // first guard page
    SIZE_T mapLength = 0;      // guard + pages + guard
    char* user = nullptr;      // start of the caller's buffer
    SIZE_T size = 0;
    bool readOnly = false;
    int locks = 0;             // MDLs currently locking it
    int secured = 0;           // MmSecureVirtualMemory handles on it: it cannot be freed
    AddressSpace* space = nullptr;  // null once freed or its process exited (kept while locked)
    bool closed = false;       // PROT_NONE while the running context may not touch user memory
    bool retired = false;      // its process exited: PROT_NONE until the space is destroyed
    AddressSpace* retiredFrom = nullptr;  // locked when its space was retired, until destroyed
};

struct AddressSpace {
    bool is32Bit = false;
    bool largeAddressAware = false;
    std::map<ULONG_PTR, Region*> regions;  // by user start
};

struct LockedMdl {
    Region* region = nullptr;  // null when the pages are kernel memory
    ULONG_PTR guarded = 0;     // the guarded pool mapping it locks (kernel memory), or 0
    PEPROCESS process = nullptr;
    ULONGLONG serial = 0;
    bool reported = false;
};

// ---- DMA
struct Adapter;

struct BusPage {
    char* host = nullptr;  // the host page (may start before the described bytes)
    const char* owner = "";
    bool writable = true;  // false: pages locked for IoReadAccess only
};

struct CommonBuffer {
    Adapter* adapter = nullptr;
    void* host = nullptr;
    ULONG length = 0;
    ULONG bus = 0;
    ULONG pages = 0;
    ULONGLONG serial = 0;
    bool reported = false;
};

struct SgRecord {
    Adapter* adapter = nullptr;
    PMDL mdl = nullptr;
    // Bounce buffers: the device reaches these pages instead of the buffer's; what it wrote goes
    // to the buffer when the list is put back (pieces: where each element's bytes belong).
    std::vector<char*> bounce;
    std::vector<std::pair<char*, ULONG>> pieces;
    ULONG busBase = 0;     // first page of the bus region reserved for the list
    ULONG busPages = 0;    // pages reserved (mapped pages are every other one)
    ULONG mapped = 0;      // pages mapped
    ULONG length = 0;
    ULONGLONG serial = 0;
    bool reported = false;
};

// ---- I/O space
struct IoMapping {
    char* host = nullptr;
    SIZE_T length = 0;     // bytes asked for
    SIZE_T mapLength = 0;  // bytes reserved
    ULONGLONG physical = 0;
    ULONGLONG serial = 0;
    bool reported = false;
};

struct Window {
    ULONG length = 0;
    RegisterWindow* window = nullptr;
};

struct State {
    std::recursive_mutex lock;
    ULONGLONG serial = 0;

    // guarded memory
    std::map<ULONG_PTR, Guarded> guarded;   // by mapping base
    std::set<ULONG_PTR> pagedBlocks;        // live paged pool mappings
    std::set<ULONG_PTR> pagedOpen;          // the live paged mappings not trimmed
    std::deque<ULONG_PTR> quarantine;       // freed mappings, oldest first
    SIZE_T quarantineBytes = 0;
    bool pagedResident = true;
    bool guards = true;                     // Options::memoryGuards
    char* arena = nullptr;                  // slots of two pages for blocks under a page
    SIZE_T arenaLength = 0;
    SIZE_T arenaUsed = 0;                   // slots handed out at least once
    bool arenaFailed = false;
    std::vector<char*> freeSlots;           // slots back from the quarantine, all PROT_NONE
    std::vector<char*> openSlots;           // the same with the data page open (poisonFreed)
    bool poisonFreed = false;               // Options::poisonFreedMemory, where it can be had

    // user memory's reachability from the running context
    bool userReachable = true;
    const char* userRule = "";
    const char* userWhy = "";

    // pool
    std::map<ULONG_PTR, PoolBlock> blocks;  // by address
    std::map<ULONG, TagStats> tags;
    std::unordered_map<PNPAGED_LOOKASIDE_LIST, LookasideState> lists;
    std::set<PNPAGED_LOOKASIDE_LIST> deletedLists;  // deleted with entries still allocated from them
    ULONGLONG allocations = 0;
    int quietAllocations = 0;  // inside a lookaside list's own allocate routine
    std::map<ULONG, TagFailure> tagFailures;
    ULONG failAllocationIn = 0;
    ULONG failCommonBufferIn = 0;
    ULONG failScatterGatherIn = 0;

    // user memory and MDLs
    std::set<AddressSpace*> spaces;
    std::set<AddressSpace*> retired;  // of exited processes, waiting for their last thread to leave
    std::map<char*, Region*> regions;  // every live region by its mapping's base, owned here
    std::set<Region*> openRegions;  // the regions not closed
    std::unordered_map<PMDL, LockedMdl> lockedMdls;
    std::map<void*, std::pair<Region*, PEPROCESS>> secured;  // MmSecureVirtualMemory handles

    // DMA
    ULONG mapRegisters = 17;
    ULONG sgSplit = 0;
    bool bounce = false;  // scatter/gather lists go through bounce buffers (hk::mm::SetBounceBuffers)
    std::set<Adapter*> adapters;
    std::map<ULONG, BusPage> busPages;         // bus page number -> mapping
    std::map<ULONG, ULONG> busReserved;        // first page -> page count (allocator)
    ULONG busCursor = 0;
    std::unordered_map<void*, CommonBuffer> commonBuffers;  // by host address
    std::unordered_map<PSCATTER_GATHER_LIST, SgRecord> sgLists;
    std::vector<BusFault> busFaults;

    // I/O space
    std::map<ULONG_PTR, IoMapping> ioMappings;  // by host address
    std::map<ULONGLONG, Window> windows;        // by physical address
    std::map<ULONGLONG, ULONG> detachedWindows; // device gone: reads all ones
};

// The state of the running Kernel; Violation reports a call made with no Kernel.
State& S();
bool Booted();

// Helpers shared between the sources.
std::string TagText(ULONG tag);
ULONGLONG NextSerial();
// The address space of the current process (null for the system process).
AddressSpace* CurrentSpace();
// The region of `space` holding [address, address + length), or null.
Region* FindRegion(AddressSpace* space, const void* address, SIZE_T length);
// The pool block containing [address, address + length), or null.
PoolBlock* FindBlock(const void* address, SIZE_T length, ULONG_PTR* blockStart);

// Guarded memory. GuardAlloc returns the block (null when no mapping could be had); GuardOf finds
// the live or quarantined record of a block; GuardFree checks the slack and quarantines it.
void InstallFaultHandler();
bool PoisonAvailable();  // built with AddressSanitizer
void* GuardAlloc(SIZE_T size, GuardKind kind, ULONG tag, bool paged);
Guarded* GuardOf(const void* block);
void GuardFree(Guarded& guarded, const char* routine);
void GuardMakeAccessible(Guarded& guarded);
void GuardCache(Guarded& guarded, bool cached);  // a lookaside entry entering / leaving the cache
void GuardLock(Guarded& guarded, int delta);     // MDL locks of kernel memory
void GuardResidentFor(const void* address);      // pages paged pool in for the kernel's own access
void ShutdownGuarded();
// A fault on user memory closed to the running context: reported and opened; false if not one.
bool HandleUserFault(char* address, bool write);

// Takes the pages of an MDL off the bus (its pages are being unlocked while a scatter/gather list
// still maps them); returns the number of lists affected.
int UnmapScatterGatherOf(PMDL mdl);

// Leak reports of each part; each returns the number of items reported.
int ReportPoolLeaks();
int ReportUserLeaks();
int ReportDmaLeaks();
int ReportIoSpaceLeaks();

// Teardown of each part at Shutdown (frees everything without reporting).
void ShutdownPool();
void ShutdownUser();
void ShutdownDma();
void ShutdownIoSpace();

}  // namespace detail
}  // namespace mm
}  // namespace hk
