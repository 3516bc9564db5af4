// Host kernel mm: module life, pool, lookaside lists, S-lists, failure injection, leak report.
//
// Pool blocks are guarded blocks on pages of their own (hk_mm_guard.cpp: overruns fault, freed
// blocks stay unreachable in a quarantine); their bookkeeping lives beside them. A fresh block is
// filled with 0xA5 so that a driver relying on zeroed pool fails, a freed block is overwritten with
// 0xDE. Blocks of a page or more are page-aligned, as Windows allocates them. Should no mapping be
// had, a block comes from the heap unguarded.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "hk_mm_internal.h"
#include "kx_services.h"

namespace hk {
namespace mm {
namespace detail {

namespace {
State* g_state = nullptr;
constexpr UCHAR kFreshPattern = 0xA5;
constexpr UCHAR kFreedPattern = 0xDE;
constexpr size_t kLookasideDepth = 4;  // entries a list keeps for reuse
constexpr ULONG kTagNone = KX_TAG('N', 'o', 'n', 'e');
}  // namespace

State& S() {
    if (g_state == nullptr) {
        fprintf(stderr, "KX HOST: memory service called with no hk::Kernel alive\n");
        abort();
    }
    return *g_state;
}

bool Booted() { return g_state != nullptr; }

ULONGLONG NextSerial() { return ++S().serial; }

std::string TagText(ULONG tag) {
    char text[5];
    for (int i = 0; i < 4; ++i) {
        const unsigned char c = static_cast<unsigned char>(tag >> (8 * i));
        text[i] = (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
    }
    text[4] = 0;
    char out[40];
    snprintf(out, sizeof out, "'%s' (0x%08X)", text, tag);
    return out;
}

PoolBlock* FindBlock(const void* address, SIZE_T length, ULONG_PTR* blockStart) {
    State& s = S();
    const ULONG_PTR a = reinterpret_cast<ULONG_PTR>(address);
    auto it = s.blocks.upper_bound(a);
    if (it == s.blocks.begin()) return nullptr;
    --it;
    const SIZE_T size = std::max<SIZE_T>(it->second.size, 1);
    if (a < it->first || a - it->first > size || length > size - (a - it->first)) return nullptr;
    if (blockStart != nullptr) *blockStart = it->first;
    return &it->second;
}

namespace {

bool IsPagedType(POOL_TYPE type) {
    const int base = static_cast<int>(type) & 7;
    return base == PagedPool || base == PagedPoolCacheAligned;
}

bool IsValidType(POOL_TYPE type) {
    const int t = static_cast<int>(type) & ~(512 | 32);
    return t >= 0 && t < MaxPoolType && t != DontUseThisType;
}

// Consumes the injection counters for one allocation with this tag; true if it must fail.
bool InjectFailure(State& s, ULONG tag) {
    bool fail = false;
    if (s.failAllocationIn != 0 && --s.failAllocationIn == 0) fail = true;
    auto it = s.tagFailures.find(tag);
    if (it != s.tagFailures.end()) {
        TagFailure& f = it->second;
        if (f.skip != 0) {
            --f.skip;
        } else {
            fail = true;
            if (f.count != kForever && --f.count == 0) s.tagFailures.erase(it);
        }
    }
    return fail;
}

void CheckAllocIrql(const char* routine, bool paged) {
    const KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL)
        Violation(rule::kIrql, "%s at IRQL %u (pool allocations need IRQL <= DISPATCH_LEVEL)", routine, irql);
    else if (paged && irql > APC_LEVEL)
        Violation(rule::kIrql, "%s of paged pool at IRQL %u (paged pool needs IRQL <= APC_LEVEL)", routine, irql);
}

// A new heap block recorded as a live pool block (no IRQL check, no failure injection).
void* NewBlock(State& s, SIZE_T size, ULONG tag, bool paged, bool lookaside) {
    const size_t bytes = size == 0 ? 1 : size;
    void* p = GuardAlloc(size, GuardKind::Pool, tag, paged);
    if (p == nullptr) {
        if (bytes >= PAGE_SIZE) {
            if (posix_memalign(&p, PAGE_SIZE, bytes) != 0) p = nullptr;
        } else {
            p = malloc(bytes);
        }
    }
    if (p == nullptr) return nullptr;
    memset(p, kFreshPattern, bytes);
    PoolBlock b;
    b.size = size;
    b.tag = tag;
    b.paged = paged;
    b.lookaside = lookaside;
    b.serial = NextSerial();
    s.blocks[reinterpret_cast<ULONG_PTR>(p)] = b;
    TagStats& t = s.tags[tag];
    t.count += 1;
    t.bytes += size;
    return p;
}

void Unaccount(State& s, const PoolBlock& b) {
    TagStats& t = s.tags[b.tag];
    t.count -= 1;
    t.bytes -= b.size;
}

void Account(State& s, const PoolBlock& b) {
    TagStats& t = s.tags[b.tag];
    t.count += 1;
    t.bytes += b.size;
}

// Releases a live block to the heap.
void DeleteBlock(State& s, ULONG_PTR address) {
    auto it = s.blocks.find(address);
    PoolBlock& b = it->second;
    if (!b.cached) Unaccount(s, b);
    void* p = reinterpret_cast<void*>(address);
    const SIZE_T size = b.size;
    s.blocks.erase(it);
    Guarded* g = GuardOf(p);
    if (g != nullptr) GuardMakeAccessible(*g);
    memset(p, kFreedPattern, size == 0 ? 1 : size);
    if (g != nullptr)
        GuardFree(*g, "ExFreePool");
    else
        free(p);
}

void* Allocate(const char* routine, POOL_TYPE type, SIZE_T size, ULONG tag) {
    if (!IsValidType(type)) {
        Violation(rule::kPoolMisuse, "%s with invalid pool type %d", routine, static_cast<int>(type));
        return nullptr;
    }
    const bool paged = IsPagedType(type);
    CheckAllocIrql(routine, paged);
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    if (s.quietAllocations == 0) {
        ++s.allocations;
        if (InjectFailure(s, tag)) return nullptr;
    }
    return NewBlock(s, size, tag, paged, false);
}

void Free(const char* routine, PVOID p, const ULONG* tag) {
    if (p == nullptr) {
        Violation(rule::kPoolMisuse, "%s(NULL)", routine);
        return;
    }
    const KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL) Violation(rule::kIrql, "%s at IRQL %u (needs IRQL <= DISPATCH_LEVEL)", routine, irql);
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    auto it = s.blocks.find(reinterpret_cast<ULONG_PTR>(p));
    if (it == s.blocks.end()) {
        Violation(rule::kPoolMisuse, "%s(%p): not an allocated pool block (double free or bad pointer)", routine, p);
        return;
    }
    PoolBlock& b = it->second;
    if (b.cached) {
        Violation(rule::kPoolMisuse, "%s(%p): the block was freed to a lookaside list, which still holds it", routine,
                  p);
        return;
    }
    if (tag != nullptr && (b.tag & 0x7FFFFFFFu) != (*tag & 0x7FFFFFFFu)) {
        Violation(rule::kPoolMisuse, "%s(%p, %s): the block was allocated with tag %s", routine, p,
                  TagText(*tag).c_str(), TagText(b.tag).c_str());
        // freed all the same: the caller is done with it
    }
    if (b.paged && irql > APC_LEVEL)
        Violation(rule::kIrql, "%s(%p) of paged pool at IRQL %u (needs IRQL <= APC_LEVEL)", routine, p, irql);
    if (b.list != nullptr) {
        auto list = s.lists.find(b.list);
        if (list != s.lists.end() && list->second.outstanding > 0) list->second.outstanding--;
        b.list = nullptr;
    }
    ForgetLocksIn(p, b.size);
    DeleteBlock(s, it->first);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Leak report and teardown of the pool

int ReportPoolLeaks() {
    State& s = S();
    struct Item {
        ULONGLONG serial;
        std::string text;
    };
    std::vector<Item> items;
    for (auto& [address, b] : s.blocks) {
        if (b.cached || b.reported) continue;
        b.reported = true;
        char text[200];
        snprintf(text, sizeof text, "%s leaked: tag %s, %zu bytes at %p", b.lookaside ? "lookaside entry" : "pool block",
                 TagText(b.tag).c_str(), static_cast<size_t>(b.size), reinterpret_cast<void*>(address));
        items.push_back({b.serial, text});
    }
    for (auto& [list, l] : s.lists) {
        if (l.reported) continue;
        l.reported = true;
        char text[200];
        snprintf(text, sizeof text, "lookaside list leaked (never deleted): tag %s, %zu-byte entries, %zu cached, at %p",
                 TagText(l.tag).c_str(), static_cast<size_t>(l.size), l.cache.size(), static_cast<void*>(list));
        items.push_back({l.serial, text});
    }
    std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) { return a.serial < b.serial; });
    for (const Item& i : items) Violation(rule::kPoolLeak, "%s", i.text.c_str());
    return static_cast<int>(items.size());
}

void ShutdownPool() {
    State& s = S();
    // Cached entries of a driver's own allocator stay with the driver: no driver code runs here.
    // Guarded blocks go with their mappings (ShutdownGuarded), unchecked: they were reported.
    s.lists.clear();
    for (auto& [address, b] : s.blocks)
        if (GuardOf(reinterpret_cast<void*>(address)) == nullptr) free(reinterpret_cast<void*>(address));
    s.blocks.clear();
    s.tags.clear();
}

}  // namespace detail

// ---------------------------------------------------------------------------------------------
// Test interface

using namespace detail;

ULONG TagCount(ULONG tag) {
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    auto it = s.tags.find(tag);
    return it == s.tags.end() ? 0 : it->second.count;
}

SIZE_T TagBytes(ULONG tag) {
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    auto it = s.tags.find(tag);
    return it == s.tags.end() ? 0 : it->second.bytes;
}

ULONGLONG AllocationCount() {
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    return s.allocations;
}

void FailTag(ULONG tag, ULONG skip, ULONG count) {
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    if (count == 0)
        s.tagFailures.erase(tag);
    else
        s.tagFailures[tag] = TagFailure{skip, count};
}

void FailAllocation(ULONG n) {
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    s.failAllocationIn = n;
}

void FailCommonBuffer(ULONG n) {
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    s.failCommonBufferIn = n;
}

void FailScatterGather(ULONG n) {
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    s.failScatterGatherIn = n;
}

void ClearFailures() {
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    s.tagFailures.clear();
    s.failAllocationIn = 0;
    s.failCommonBufferIn = 0;
    s.failScatterGatherIn = 0;
}

// ---------------------------------------------------------------------------------------------
// Module life

void Boot(const Options& options) {
    if (g_state != nullptr) Shutdown();
    g_state = new State();
    g_state->guards = options.memoryGuards;
    g_state->poisonFreed = options.memoryGuards && options.poisonFreedMemory && PoisonAvailable();
    if (options.memoryGuards) InstallFaultHandler();
}

void Shutdown() {
    if (g_state == nullptr) return;
    ShutdownDma();
    ShutdownIoSpace();
    ShutdownUser();
    ShutdownPool();
    ShutdownGuarded();
    delete g_state;
    g_state = nullptr;
}

}  // namespace mm

int ReportLeaks() {
    using namespace mm::detail;
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    return ReportPoolLeaks() + ReportDmaLeaks() + ReportIoSpaceLeaks() + ReportUserLeaks();
}

}  // namespace hk

// ---------------------------------------------------------------------------------------------
// WDM pool routines

using namespace hk::mm::detail;

extern "C" {

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    return Allocate("ExAllocatePoolWithTag", PoolType, NumberOfBytes, Tag);
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return Allocate("ExAllocatePool", PoolType, NumberOfBytes, kTagNone);
}

void ExFreePoolWithTag(PVOID P, ULONG Tag) { Free("ExFreePoolWithTag", P, &Tag); }

void ExFreePool(PVOID P) { Free("ExFreePool", P, nullptr); }

// ---------------------------------------------------------------------------------------------
// Lookaside lists

void ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION AllocateRoutine,
                                     PFREE_FUNCTION FreeRoutine, ULONG Flags, SIZE_T Size, ULONG Tag,
                                     USHORT Depth) {
    const KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL)
        hk::Violation(hk::rule::kIrql, "ExInitializeNPagedLookasideList at IRQL %u (needs <= DISPATCH_LEVEL)", irql);
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    if (s.lists.count(Lookaside) != 0) {
        hk::Violation(hk::rule::kPoolMisuse, "ExInitializeNPagedLookasideList(%p): the list is live (not deleted)",
                      static_cast<void*>(Lookaside));
        return;
    }
    if (Size < sizeof(SLIST_ENTRY)) Size = sizeof(SLIST_ENTRY);
    if (s.deletedLists.erase(Lookaside) != 0) {
        for (auto& [address, b] : s.blocks)
            if (b.list == Lookaside) b.list = nullptr;  // entries of the list that lived here before
    }
    memset(Lookaside, 0, sizeof *Lookaside);
    InitializeSListHead(&Lookaside->L.ListHead);
    Lookaside->L.Depth = static_cast<USHORT>(kLookasideDepth);
    Lookaside->L.MaximumDepth = 256;
    Lookaside->L.Type = NonPagedPool;
    Lookaside->L.Tag = Tag;
    Lookaside->L.Size = static_cast<ULONG>(Size);
    Lookaside->L.Allocate = AllocateRoutine;
    Lookaside->L.Free = FreeRoutine;
    InitializeListHead(&Lookaside->L.ListEntry);
    LookasideState l;
    l.tag = Tag;
    l.size = Size;
    l.allocate = AllocateRoutine;
    l.free = FreeRoutine;
    l.serial = NextSerial();
    s.lists[Lookaside] = l;
    (void)Flags;
    (void)Depth;  // reserved on Windows too: the system sizes the cache
}

PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside) {
    const KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL)
        hk::Violation(hk::rule::kIrql, "ExAllocateFromNPagedLookasideList at IRQL %u (needs <= DISPATCH_LEVEL)",
                      irql);
    State& s = S();
    std::unique_lock<std::recursive_mutex> guard(s.lock);
    auto it = s.lists.find(Lookaside);
    if (it == s.lists.end()) {
        hk::Violation(hk::rule::kPoolMisuse, "ExAllocateFromNPagedLookasideList(%p): not an initialized list",
                      static_cast<void*>(Lookaside));
        return nullptr;
    }
    LookasideState& l = it->second;
    Lookaside->L.TotalAllocates += 1;
    ++s.allocations;
    if (InjectFailure(s, l.tag)) {
        Lookaside->L.AllocateMisses += 1;
        return nullptr;
    }
    if (!l.cache.empty()) {
        void* entry = l.cache.back();
        l.cache.pop_back();
        auto b = s.blocks.find(reinterpret_cast<ULONG_PTR>(entry));
        if (b != s.blocks.end()) {
            b->second.cached = false;
            b->second.lookaside = true;
            b->second.list = Lookaside;
            b->second.serial = NextSerial();
            Account(s, b->second);
        }
        l.outstanding++;
        if (Guarded* g = GuardOf(entry)) GuardCache(*g, false);
        memset(entry, kFreshPattern, l.size);
        return entry;
    }
    Lookaside->L.AllocateMisses += 1;
    if (l.allocate == nullptr) {
        void* entry = NewBlock(s, l.size, l.tag, false, true);
        if (entry != nullptr) {
            s.blocks[reinterpret_cast<ULONG_PTR>(entry)].list = Lookaside;
            l.outstanding++;
        }
        return entry;
    }
    // The driver's own allocate routine (normally ExAllocatePoolWithTag): its pool allocation is
    // part of this one and neither counted nor injected again.
    const PALLOCATE_FUNCTION allocate = l.allocate;
    const SIZE_T size = l.size;
    const ULONG tag = l.tag;
    ++s.quietAllocations;
    guard.unlock();
    void* entry = allocate(NonPagedPool, size, tag);
    guard.lock();
    --s.quietAllocations;
    if (entry != nullptr) {
        auto b = s.blocks.find(reinterpret_cast<ULONG_PTR>(entry));
        if (b != s.blocks.end()) {
            b->second.lookaside = true;
            b->second.list = Lookaside;
        }
        auto list = s.lists.find(Lookaside);
        if (list != s.lists.end()) list->second.outstanding++;
    }
    return entry;
}

void ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry) {
    const KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL)
        hk::Violation(hk::rule::kIrql, "ExFreeToNPagedLookasideList at IRQL %u (needs <= DISPATCH_LEVEL)", irql);
    State& s = S();
    std::unique_lock<std::recursive_mutex> guard(s.lock);
    auto it = s.lists.find(Lookaside);
    if (it == s.lists.end()) {
        auto b = s.blocks.find(reinterpret_cast<ULONG_PTR>(Entry));
        if (b != s.blocks.end() && b->second.list == Lookaside && s.deletedLists.count(Lookaside) != 0) {
            hk::Violation(hk::rule::kPoolMisuse,
                          "ExFreeToNPagedLookasideList(%p, %p): the list was deleted while this entry was "
                          "outstanding (ExDeleteNPagedLookasideList with entries still allocated from it)",
                          static_cast<void*>(Lookaside), Entry);
            return;
        }
        hk::Violation(hk::rule::kPoolMisuse, "ExFreeToNPagedLookasideList(%p, %p): not an initialized list",
                      static_cast<void*>(Lookaside), Entry);
        return;
    }
    LookasideState& l = it->second;
    if (Entry == nullptr) {
        hk::Violation(hk::rule::kPoolMisuse, "ExFreeToNPagedLookasideList(%p, NULL)", static_cast<void*>(Lookaside));
        return;
    }
    auto b = s.blocks.find(reinterpret_cast<ULONG_PTR>(Entry));
    if (b == s.blocks.end() && l.free == nullptr) {
        hk::Violation(hk::rule::kPoolMisuse,
                      "ExFreeToNPagedLookasideList(%p, %p): not an allocated pool block (double free or bad pointer)",
                      static_cast<void*>(Lookaside), Entry);
        return;
    }
    if (b != s.blocks.end() && b->second.cached) {
        hk::Violation(hk::rule::kPoolMisuse, "ExFreeToNPagedLookasideList(%p, %p): entry freed twice",
                      static_cast<void*>(Lookaside), Entry);
        return;
    }
    if (std::find(l.cache.begin(), l.cache.end(), Entry) != l.cache.end()) {
        hk::Violation(hk::rule::kPoolMisuse, "ExFreeToNPagedLookasideList(%p, %p): entry freed twice",
                      static_cast<void*>(Lookaside), Entry);
        return;
    }
    Lookaside->L.TotalFrees += 1;
    if (b != s.blocks.end()) b->second.list = nullptr;
    if (l.outstanding > 0) l.outstanding--;
    if (l.cache.size() < kLookasideDepth) {
        if (b != s.blocks.end()) {
            Unaccount(s, b->second);
            b->second.cached = true;
        }
        memset(Entry, kFreedPattern, l.size);
        if (Guarded* g = GuardOf(Entry)) GuardCache(*g, true);  // a touch of a freed entry faults
        l.cache.push_back(Entry);
        return;
    }
    Lookaside->L.FreeMisses += 1;
    if (l.free == nullptr) {
        DeleteBlock(s, b->first);
        return;
    }
    const PFREE_FUNCTION freeRoutine = l.free;
    guard.unlock();
    freeRoutine(Entry);
}

void ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside) {
    const KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL)
        hk::Violation(hk::rule::kIrql, "ExDeleteNPagedLookasideList at IRQL %u (needs <= DISPATCH_LEVEL)", irql);
    State& s = S();
    std::unique_lock<std::recursive_mutex> guard(s.lock);
    auto it = s.lists.find(Lookaside);
    if (it == s.lists.end()) {
        hk::Violation(hk::rule::kPoolMisuse, "ExDeleteNPagedLookasideList(%p): not an initialized list",
                      static_cast<void*>(Lookaside));
        return;
    }
    // Entries still allocated from the list stay plain pool (ExFreePool may free them), but one
    // freed to the deleted list is the teardown fault it is: remember the list.
    if (it->second.outstanding != 0) s.deletedLists.insert(Lookaside);
    const std::vector<void*> cache = it->second.cache;
    const PFREE_FUNCTION freeRoutine = it->second.free;
    s.lists.erase(it);
    for (void* entry : cache) {
        if (Guarded* g = GuardOf(entry)) GuardCache(*g, false);
        auto b = s.blocks.find(reinterpret_cast<ULONG_PTR>(entry));
        if (b != s.blocks.end()) {
            b->second.cached = false;
            Account(s, b->second);
        }
        if (freeRoutine == nullptr) {
            if (b != s.blocks.end()) DeleteBlock(s, b->first);
        } else {
            guard.unlock();
            freeRoutine(entry);
            guard.lock();
        }
    }
}

// ---------------------------------------------------------------------------------------------
// S-lists (the lock also covers lists used with no Kernel alive)

namespace {
std::mutex g_slistLock;
}

void InitializeSListHead(PSLIST_HEADER SListHead) { memset(SListHead, 0, sizeof *SListHead); }

PSLIST_ENTRY InterlockedPushEntrySList(PSLIST_HEADER ListHead, PSLIST_ENTRY ListEntry) {
    std::lock_guard<std::mutex> guard(g_slistLock);
    PSLIST_ENTRY first = ListHead->HeaderHost.Next;
    ListEntry->Next = first;
    ListHead->HeaderHost.Next = ListEntry;
    ListHead->HeaderHost.Depth += 1;
    ListHead->HeaderHost.Sequence += 1;
    return first;
}

PSLIST_ENTRY InterlockedPopEntrySList(PSLIST_HEADER ListHead) {
    std::lock_guard<std::mutex> guard(g_slistLock);
    PSLIST_ENTRY first = ListHead->HeaderHost.Next;
    if (first != nullptr) {
        ListHead->HeaderHost.Next = first->Next;
        ListHead->HeaderHost.Depth -= 1;
        ListHead->HeaderHost.Sequence += 1;
    }
    return first;
}

PSLIST_ENTRY InterlockedFlushSList(PSLIST_HEADER ListHead) {
    std::lock_guard<std::mutex> guard(g_slistLock);
    PSLIST_ENTRY first = ListHead->HeaderHost.Next;
    ListHead->HeaderHost.Next = nullptr;
    ListHead->HeaderHost.Depth = 0;
    return first;
}

USHORT ExQueryDepthSList(PSLIST_HEADER ListHead) {
    std::lock_guard<std::mutex> guard(g_slistLock);
    return ListHead->HeaderHost.Depth;
}

}  // extern "C"
