// Host kernel mm: guarded memory and the fault handler that turns a stray access into a report.
//
// Every pool block and every IRP the I/O manager allocates sits on pages of its own, as in Driver
// Verifier's special pool: a block smaller than a page ends (16-byte aligned) at the end of its
// page and a PROT_NONE guard page follows, so reading or writing past the end faults at once; the
// few bytes between the block's end and the guard page, and the bytes before its start, hold a
// pattern checked when the block is freed. A freed block is not given back: its pages become
// PROT_NONE and stay in a bounded quarantine, so a later read or write of freed memory faults too.
// Blocks smaller than a page take a slot of two pages in an arena reserved PROT_NONE at boot: a
// slot costs one mprotect to hand out and one to take back, and a slot leaving the quarantine is
// used again without a system call; larger blocks are mappings of their own.
// With Options::poisonFreedMemory (and AddressSanitizer) freed blocks and cached lookaside entries
// are poisoned instead of closed: closing a page the processor has used costs a TLB flush.
// Paged pool that no MDL locks is made PROT_NONE while the IRQL is DISPATCH_LEVEL or above, and
// user memory that no MDL locks while the running context may not touch it (hk_mm_user.cpp). Both
// are paged in on demand: when the IRQL drops (or the context may touch user memory again) nothing
// is opened; the first touch faults and the handler opens that block or buffer without a report,
// so a rise closes only what was touched since, not every block and buffer there is.
//
// The SIGSEGV handler finds the guarded range of the faulting address and reports the rule. A test
// that expects the rule gets the page made accessible again and the access completes (harmlessly:
// the memory is still quarantined or still the driver's); any other fault goes to the handler
// that was installed before (AddressSanitizer's, or the default crash).
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <ucontext.h>

#include <deque>

#include "hk_mm_internal.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer) && !defined(__SANITIZE_ADDRESS__)
#define __SANITIZE_ADDRESS__ 1  // clang's name for it
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define KX_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define KX_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#define KX_CAN_POISON 1
#else
#define KX_CAN_POISON 0
#define KX_POISON(p, n) ((void)(p), (void)(n))
#define KX_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace hk {
namespace mm {
namespace detail {

namespace {

constexpr UCHAR kSlackPattern = 0xBD;
constexpr size_t kQuarantineEntries = 4096;
constexpr size_t kQuarantineBytes = 64u << 20;
constexpr size_t kArenaSlots = 32768;  // 256 MiB of address space, reserved, never committed whole

struct sigaction g_previous;
bool g_installed = false;

SIZE_T RoundUp(SIZE_T value, SIZE_T to) { return (value + to - 1) & ~(to - 1); }

// Bytes of the mapping that hold data (all but the trailing guard page).
SIZE_T DataLength(const Guarded& g) { return g.mapLength - PAGE_SIZE; }

void SetAccess(Guarded& g, bool accessible) {
    mprotect(g.mapBase, DataLength(g), accessible ? PROT_READ | PROT_WRITE : PROT_NONE);
}

// The slack around a block: before its start and after its end, inside the data pages.
void SlackOf(const Guarded& g, char** before, SIZE_T* beforeLength, char** after, SIZE_T* afterLength) {
    const SIZE_T size = g.size == 0 ? 1 : g.size;
    *before = g.mapBase;
    *beforeLength = static_cast<SIZE_T>(g.block - g.mapBase);
    *after = g.block + size;
    *afterLength = static_cast<SIZE_T>(g.mapBase + DataLength(g) - *after);
}

void PoisonSlack(const Guarded& g) {
    char *before, *after;
    SIZE_T beforeLength, afterLength;
    SlackOf(g, &before, &beforeLength, &after, &afterLength);
    KX_POISON(before, beforeLength);
    KX_POISON(after, afterLength);
}

// First byte of the slack that no longer holds the pattern, or null.
const char* DamagedSlack(const Guarded& g, bool* beforeStart) {
    char *before, *after;
    SIZE_T beforeLength, afterLength;
    SlackOf(g, &before, &beforeLength, &after, &afterLength);
    KX_UNPOISON(before, beforeLength);
    KX_UNPOISON(after, afterLength);
    static UCHAR pattern[PAGE_SIZE];
    if (pattern[0] != kSlackPattern) memset(pattern, kSlackPattern, sizeof pattern);
    // The slack is less than a page on each side: one comparison each while it is intact.
    if (memcmp(after, pattern, afterLength) == 0 && memcmp(before, pattern, beforeLength) == 0) return nullptr;
    for (SIZE_T i = 0; i < afterLength; ++i)
        if (static_cast<UCHAR>(after[i]) != kSlackPattern) {
            *beforeStart = false;
            return after + i;
        }
    for (SIZE_T i = 0; i < beforeLength; ++i)
        if (static_cast<UCHAR>(before[i]) != kSlackPattern) {
            *beforeStart = true;
            return before + i;
        }
    return nullptr;
}

bool InArena(const State& s, const char* p) { return p >= s.arena && p < s.arena + s.arenaLength; }

// Gives the mapping back: an arena slot closed again for reuse, or the mapping itself.
void Unmap(Guarded& g) {
    State& s = S();
    KX_UNPOISON(g.mapBase, g.mapLength);
    if (InArena(s, g.mapBase)) {
        if (g.poisoned) {  // its data page still open
            if (g.guardOpen) mprotect(g.mapBase + PAGE_SIZE, PAGE_SIZE, PROT_NONE);
            s.openSlots.push_back(g.mapBase);
            return;
        }
        if (g.guardOpen || !g.freed || g.opened) mprotect(g.mapBase, g.mapLength, PROT_NONE);
        s.freeSlots.push_back(g.mapBase);
        return;
    }
    munmap(g.mapBase, g.mapLength);
}

std::string Describe(const Guarded& g) {
    char text[160];
    if (g.kind == GuardKind::Irp)
        snprintf(text, sizeof text, "IRP %p (%zu bytes)", static_cast<void*>(g.block), static_cast<size_t>(g.size));
    else
        snprintf(text, sizeof text, "%zu-byte %spool block %p with tag %s", static_cast<size_t>(g.size),
                 g.paged ? "paged " : "", static_cast<void*>(g.block), TagText(g.tag).c_str());
    return text;
}

// The guarded mapping holding `address`, or null.
Guarded* FindGuarded(const void* address) {
    State& s = S();
    const ULONG_PTR a = reinterpret_cast<ULONG_PTR>(address);
    auto it = s.guarded.upper_bound(a);
    if (it == s.guarded.begin()) return nullptr;
    --it;
    Guarded& g = it->second;
    if (a >= reinterpret_cast<ULONG_PTR>(g.mapBase) + g.mapLength) return nullptr;
    return &g;
}

bool HandleGuardedFault(char* address, bool write) {
    Guarded* g = FindGuarded(address);
    if (g == nullptr) return false;
    const char* access = write ? "write" : "read";
    const std::string what = Describe(*g);
    if (address >= g->mapBase + DataLength(*g) && !g->freed) {
        const SIZE_T past = static_cast<SIZE_T>(address - (g->block + g->size));
        mprotect(g->mapBase + DataLength(*g), PAGE_SIZE, PROT_READ | PROT_WRITE);
        g->guardOpen = true;
        Violation(rule::kPoolOverrun, "%s %zu byte(s) past the end of the %s", access, static_cast<size_t>(past),
                  what.c_str());
        return true;
    }
    if (g->freed) {
        const SIZE_T offset = address >= g->block ? static_cast<SIZE_T>(address - g->block) : 0;
        // Opened whole, guard page too: one report for the one late touch.
        mprotect(g->mapBase, g->mapLength, PROT_READ | PROT_WRITE);
        g->guardOpen = true;
        g->opened = true;
        if (g->kind == GuardKind::Irp)
            Violation(rule::kIrpState, "%s of %s at offset %zu after it was completed or freed", access, what.c_str(),
                      static_cast<size_t>(offset));
        else
            Violation(rule::kUseAfterFree, "%s of freed pool at offset %zu of the %s", access,
                      static_cast<size_t>(offset), what.c_str());
        return true;
    }
    if (g->cachedClosed) {
        SetAccess(*g, true);
        g->cachedClosed = false;
        Violation(rule::kUseAfterFree, "%s of a lookaside entry freed to its list: the %s", access, what.c_str());
        return true;
    }
    if (g->trimmed) {
        SetAccess(*g, true);
        g->trimmed = false;
        S().pagedOpen.insert(reinterpret_cast<ULONG_PTR>(g->mapBase));
        // Trimmed only because it was not touched since the IRQL last dropped: paged in.
        if (S().pagedResident) return true;
        Violation(rule::kIrql, "%s of the %s at IRQL %u: paged pool may be paged out at DISPATCH_LEVEL and above",
                  access, what.c_str(), KeGetCurrentIrql());
        return true;
    }
    return false;
}

void OnFault(int signal, siginfo_t* info, void* context) {
    char* address = static_cast<char*>(info->si_addr);
    bool write = false;
#if defined(__x86_64__)
    write = (static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_ERR] & 2) != 0;
#else
    (void)context;
#endif
    bool handled = false;
    if (Booted()) {
        State& s = S();
        std::lock_guard<std::recursive_mutex> guard(s.lock);
        handled = HandleGuardedFault(address, write) || HandleUserFault(address, write);
    }
    if (handled) return;  // the access is retried and now succeeds
    // Not ours: the handler installed before takes the same fault again.
    sigaction(signal, &g_previous, nullptr);
    g_installed = false;
}

}  // namespace

bool PoisonAvailable() { return KX_CAN_POISON != 0; }

void InstallFaultHandler() {
    if (g_installed) return;
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_sigaction = OnFault;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGSEGV, &action, &g_previous) == 0) g_installed = true;
}

void* GuardAlloc(SIZE_T size, GuardKind kind, ULONG tag, bool paged) {
    State& s = S();
    if (!s.guards) return nullptr;
    const SIZE_T bytes = size == 0 ? 1 : size;
    const SIZE_T dataLength = RoundUp(bytes, PAGE_SIZE);
    const SIZE_T mapLength = dataLength + PAGE_SIZE;
    char* base = nullptr;
    if (dataLength == PAGE_SIZE && s.arena == nullptr && !s.arenaFailed) {
        void* arena = mmap(nullptr, kArenaSlots * 2 * PAGE_SIZE, PROT_NONE,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (arena == MAP_FAILED) {
            s.arenaFailed = true;
        } else {
            s.arena = static_cast<char*>(arena);
            s.arenaLength = kArenaSlots * 2 * PAGE_SIZE;
        }
    }
    if (dataLength == PAGE_SIZE && s.arena != nullptr && !s.openSlots.empty()) {
        base = s.openSlots.back();
        s.openSlots.pop_back();
    } else if (dataLength == PAGE_SIZE && s.arena != nullptr) {
        if (!s.freeSlots.empty()) {
            base = s.freeSlots.back();
            s.freeSlots.pop_back();
        } else if (s.arenaUsed < s.arenaLength) {
            base = s.arena + s.arenaUsed;
            s.arenaUsed += 2 * PAGE_SIZE;
        }
        if (base != nullptr && mprotect(base, PAGE_SIZE, PROT_READ | PROT_WRITE) != 0) {
            s.freeSlots.push_back(base);
            base = nullptr;
        }
    }
    if (base == nullptr) {
        void* p = mmap(nullptr, mapLength, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p == MAP_FAILED) return nullptr;
        base = static_cast<char*>(p);
        if (mprotect(base + dataLength, PAGE_SIZE, PROT_NONE) != 0) {
            munmap(p, mapLength);
            return nullptr;
        }
    }
    Guarded g;
    g.mapBase = base;
    g.mapLength = mapLength;
    // A page or more starts on its page, as Windows hands out large blocks; smaller blocks end at
    // the guard page, keeping the 16-byte alignment pool blocks have.
    g.block = bytes >= PAGE_SIZE ? base : base + PAGE_SIZE - RoundUp(bytes, 16);
    g.size = size;
    g.kind = kind;
    g.tag = tag;
    g.paged = paged;
    char *before, *after;
    SIZE_T beforeLength, afterLength;
    SlackOf(g, &before, &beforeLength, &after, &afterLength);
    memset(before, kSlackPattern, beforeLength);
    memset(after, kSlackPattern, afterLength);
    PoisonSlack(g);
    s.guarded[reinterpret_cast<ULONG_PTR>(base)] = g;
    if (paged) {
        s.pagedBlocks.insert(reinterpret_cast<ULONG_PTR>(base));
        s.pagedOpen.insert(reinterpret_cast<ULONG_PTR>(base));
    }
    return g.block;
}

Guarded* GuardOf(const void* block) {
    State& s = S();
    auto it = s.guarded.find(reinterpret_cast<ULONG_PTR>(PAGE_ALIGN(block)));
    if (it == s.guarded.end() || it->second.block != block) return nullptr;
    return &it->second;
}

void GuardMakeAccessible(Guarded& g) {
    if (g.trimmed || g.cachedClosed) SetAccess(g, true);
    if (g.trimmed) S().pagedOpen.insert(reinterpret_cast<ULONG_PTR>(g.mapBase));
    g.trimmed = false;
    g.cachedClosed = false;
    if (g.poisoned) {
        KX_UNPOISON(g.mapBase, DataLength(g));
        PoisonSlack(g);
        g.poisoned = false;
    }
}

void GuardCache(Guarded& g, bool cached) {
    GuardMakeAccessible(g);
    if (!cached) return;
    if (S().poisonFreed) {
        KX_POISON(g.mapBase, DataLength(g));
        g.poisoned = true;
    } else {
        SetAccess(g, false);
        g.cachedClosed = true;
    }
}

void GuardLock(Guarded& g, int delta) {
    g.locks += delta;
    if (g.locks > 0) GuardMakeAccessible(g);
}

void GuardFree(Guarded& g, const char* routine) {
    State& s = S();
    GuardMakeAccessible(g);
    bool beforeStart = false;
    if (const char* damaged = DamagedSlack(g, &beforeStart)) {
        const std::string what = Describe(g);
        if (beforeStart)
            Violation(rule::kPoolOverrun, "%s: the %s was written %zu byte(s) before its start", routine,
                      what.c_str(), static_cast<size_t>(g.block - damaged));
        else
            Violation(rule::kPoolOverrun, "%s: the %s was written past its end (at byte %zu after it)", routine,
                      what.c_str(), static_cast<size_t>(damaged - (g.block + (g.size == 0 ? 1 : g.size))));
    }
    if (g.guardOpen) mprotect(g.mapBase + DataLength(g), PAGE_SIZE, PROT_NONE);
    g.guardOpen = false;
    const ULONG_PTR key = reinterpret_cast<ULONG_PTR>(g.mapBase);
    if (g.paged) {
        s.pagedBlocks.erase(key);
        s.pagedOpen.erase(key);
    }
    KX_UNPOISON(g.mapBase, DataLength(g));
    if (s.poisonFreed) {
        KX_POISON(g.mapBase, DataLength(g));
        g.poisoned = true;
    } else {
        SetAccess(g, false);
    }
    g.freed = true;
    s.quarantine.push_back(key);
    s.quarantineBytes += g.mapLength;
    while (s.quarantine.size() > kQuarantineEntries || s.quarantineBytes > kQuarantineBytes) {
        auto it = s.guarded.find(s.quarantine.front());
        s.quarantine.pop_front();
        if (it == s.guarded.end()) continue;
        s.quarantineBytes -= it->second.mapLength;
        Unmap(it->second);
        s.guarded.erase(it);
    }
}

void GuardResidentFor(const void* address) {
    if (Guarded* g = FindGuarded(address))
        if (g->trimmed) GuardMakeAccessible(*g);
}

void ShutdownGuarded() {
    State& s = S();
    for (auto& [base, g] : s.guarded) {
        KX_UNPOISON(g.mapBase, g.mapLength);
        if (!InArena(s, g.mapBase)) munmap(g.mapBase, g.mapLength);
    }
    s.guarded.clear();
    if (s.arena != nullptr) munmap(s.arena, s.arenaLength);
    s.arena = nullptr;
    s.arenaLength = s.arenaUsed = 0;
    s.freeSlots.clear();
    s.openSlots.clear();
    s.pagedBlocks.clear();
    s.pagedOpen.clear();
    s.quarantine.clear();
    s.quarantineBytes = 0;
}

}  // namespace detail
}  // namespace mm

using namespace mm::detail;

void SetPagedPoolResident(bool resident) {
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    s.pagedResident = resident;
    // Paged in on demand: a trimmed block stays closed until it is touched (HandleGuardedFault
    // opens it then, unreported), so only the blocks opened since the IRQL last rose are trimmed
    // again.
    if (resident) return;
    for (auto it = s.pagedOpen.begin(); it != s.pagedOpen.end();) {
        Guarded& g = s.guarded[*it];
        if (g.locks == 0 && !g.cachedClosed) {
            SetAccess(g, false);
            g.trimmed = true;
            it = s.pagedOpen.erase(it);
        } else {
            ++it;
        }
    }
}

void* AllocateGuarded(SIZE_T size) {
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    if (void* p = GuardAlloc(size, GuardKind::Irp, 0, false)) return p;
    return aligned_alloc(16, RoundUp(size == 0 ? 1 : size, 16));
}

bool ReleaseGuarded(void* p) {
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    Guarded* g = GuardOf(p);
    if (g == nullptr || g->freed) return false;
    GuardFree(*g, "IRP release");
    return true;
}

}  // namespace hk
