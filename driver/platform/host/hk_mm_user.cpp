// Host kernel mm: user address spaces, MDLs, probe-and-lock and the checked user copies.
//
// A process's user memory is real host memory (mmap) surrounded by PROT_NONE guard pages, so a
// driver overrunning a caller's buffer crashes at once. Ownership is exact: a probe of a range not
// wholly inside one buffer of the current process fails as Windows raises STATUS_ACCESS_VIOLATION.
// Locked pages stay mapped until they are unlocked, even if the buffer is freed or the process
// exits (both reported), as locked physical pages stay resident on Windows. Buffers no MDL locks
// are PROT_NONE while the running context may not touch user memory (a DPC, a system thread, the
// dispatch of a request, DISPATCH_LEVEL and above: see SetUserMemoryReachable); the checked copies
// open them for the copy only. Where the context may touch them they are opened on demand (the
// first touch faults and HandleUserFault opens the buffer unreported), so a change of context
// closes only the buffers touched since the last one.
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>

#include <algorithm>

#include "hk_mm_internal.h"
#include "kx_services.h"

namespace hk {
namespace mm {
namespace detail {

namespace {
constexpr ULONG kTagMdl = KX_TAG('M', 'd', 'l', ' ');
constexpr ULONG_PTR k2GiB = 0x80000000ull;
constexpr ULONG_PTR k4GiB = 0x100000000ull;

int Protection(const Region* r) { return r->readOnly ? PROT_READ : PROT_READ | PROT_WRITE; }

void SetClosed(Region* r, bool closed) {
    if (closed) S().openRegions.erase(r);
    else S().openRegions.insert(r);
    if (r->closed == closed) return;
    mprotect(r->mapBase + PAGE_SIZE, r->mapLength - 2 * PAGE_SIZE, closed ? PROT_NONE : Protection(r));
    r->closed = closed;
}

// The live region holding [address, address + length) in any address space, or null.
Region* FindAnyRegion(const void* address, SIZE_T length) {
    for (AddressSpace* space : S().spaces)
        if (Region* r = FindRegion(space, address, length)) return r;
    return nullptr;
}

// memcpy with the user buffers involved opened for the copy.
void OpenCopy(void* destination, const void* source, SIZE_T length) {
    Region* regions[2] = {FindAnyRegion(destination, length), FindAnyRegion(source, length)};
    bool reopen[2] = {false, false};
    for (int i = 0; i < 2; ++i) {
        if (regions[i] != nullptr && regions[i]->closed) {
            SetClosed(regions[i], false);
            reopen[i] = true;
        }
    }
    memcpy(destination, source, length);
    // Where the context may touch user memory the buffer stays open, as a touch would open it.
    for (int i = 0; i < 2; ++i)
        if (reopen[i] && !(S().userReachable && regions[i]->space != nullptr && regions[i]->locks == 0))
            SetClosed(regions[i], true);
}

// A user address of some program, reached from the system process (a system thread, a DPC or a
// work item): the wrong context, since a user address means something only in its own process.
// From another program's thread the same address is only a pointer that program does not own (a
// bad input the driver must refuse), so the access fails there as Windows fails it, unreported.
void CheckForeign(const char* routine, const void* address, SIZE_T length) {
    Region* r = FindAnyRegion(address, length);
    if (r == nullptr || CurrentProcess() != SystemProcess()) return;
    Violation(rule::kUserAddress,
              "%s: %p (%zu bytes) is user memory of another process, used from the system process (a system "
              "thread, a DPC or a work item): a user address means something only in its own process's context",
              routine, address, static_cast<size_t>(length));
}

void Unmap(Region* r) {
    munmap(r->mapBase, r->mapLength);
    S().regions.erase(r->mapBase);
    S().openRegions.erase(r);
    delete r;
}

// Reserves guard + pages + guard at a placement that suits the process; null when impossible.
char* Reserve(const AddressSpace& space, SIZE_T length, bool high) {
    if (high) {
        // Large-address-aware 32-bit process: between 2 and 4 GiB, placed by hint.
        static ULONG_PTR cursor = k2GiB;
        for (int tries = 0; tries < 256; ++tries) {
            if (cursor + length > k4GiB) cursor = k2GiB;
            void* hint = reinterpret_cast<void*>(cursor);
            void* p = mmap(hint, length, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED_NOREPLACE,
                           -1, 0);
            cursor += (length + 0xFFFFF) & ~static_cast<ULONG_PTR>(0xFFFFF);
            if (p == MAP_FAILED) continue;
            if (p != hint) {  // a kernel that only took the hint
                munmap(p, length);
                continue;
            }
            return static_cast<char*>(p);
        }
        return nullptr;
    }
    int flags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE;
    if (space.is32Bit) flags |= MAP_32BIT;
    void* p = mmap(nullptr, length, PROT_NONE, flags, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    if (space.is32Bit && reinterpret_cast<ULONG_PTR>(p) + length > k2GiB) {
        munmap(p, length);
        return nullptr;
    }
    return static_cast<char*>(p);
}

AddressSpace* SpaceOf(PEPROCESS process) {
    if (process == nullptr) return nullptr;
    return static_cast<AddressSpace*>(ProcessAddressSpace(process));
}

void* UserAlloc(PEPROCESS process, SIZE_T size, bool readOnly, bool high) {
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    AddressSpace* space = SpaceOf(process);
    if (space == nullptr) {
        Violation(rule::kPoolMisuse, "hk::user::Alloc: process %p has no user address space",
                  static_cast<void*>(process));
        return nullptr;
    }
    if (high && !(space->is32Bit && space->largeAddressAware)) {
        Violation(rule::kPoolMisuse, "hk::user::AllocHigh: process %p is not a large-address-aware 32-bit process",
                  static_cast<void*>(process));
        return nullptr;
    }
    const SIZE_T bytes = size == 0 ? 1 : size;
    const SIZE_T pages = (bytes + PAGE_SIZE - 1) / PAGE_SIZE;
    const SIZE_T mapLength = (pages + 2) * PAGE_SIZE;
    char* base = Reserve(*space, mapLength, high);
    if (base == nullptr) return nullptr;
    if (mprotect(base + PAGE_SIZE, pages * PAGE_SIZE, readOnly ? PROT_READ : PROT_READ | PROT_WRITE) != 0) {
        munmap(base, mapLength);
        return nullptr;
    }
    Region* r = new Region();
    r->mapBase = base;
    r->mapLength = mapLength;
    char* end = base + PAGE_SIZE + pages * PAGE_SIZE;
    r->user = reinterpret_cast<char*>(reinterpret_cast<ULONG_PTR>(end - bytes) & ~static_cast<ULONG_PTR>(15));
    r->size = size;
    r->readOnly = readOnly;
    r->space = space;
    SetClosed(r, !s.userReachable);
    s.regions[base] = r;
    space->regions[reinterpret_cast<ULONG_PTR>(r->user)] = r;
    return r->user;
}

}  // namespace

AddressSpace* CurrentSpace() { return SpaceOf(CurrentProcess()); }

bool HandleUserFault(char* address, bool write) {
    State& s = S();
    // The mapping holding the address: the one with the last base at or below it (mappings do not
    // overlap).
    auto at = s.regions.upper_bound(address);
    if (at != s.regions.begin()) {
        Region* r = std::prev(at)->second;
        if (!r->closed || address < r->mapBase + PAGE_SIZE || address >= r->mapBase + r->mapLength - PAGE_SIZE)
            return false;
        SetClosed(r, false);
        // Closed only because it was not touched since the context last changed: a context that may
        // touch user memory pages it in.
        if (s.userReachable && r->space != nullptr && !r->retired) return true;
        if (r->retired) {
            Violation(rule::kUserAddress,
                      "%s of user memory at %p (a %zu-byte buffer at %p) of a process that has exited",
                      write ? "write" : "read", static_cast<void*>(address), static_cast<size_t>(r->size),
                      static_cast<void*>(r->user));
            return true;
        }
        Violation(s.userRule, "%s of user memory at %p (a %zu-byte buffer at %p) %s", write ? "write" : "read",
                  static_cast<void*>(address), static_cast<size_t>(r->size), static_cast<void*>(r->user),
                  s.userWhy);
        return true;
    }
    return false;
}

Region* FindRegion(AddressSpace* space, const void* address, SIZE_T length) {
    if (space == nullptr) return nullptr;
    const ULONG_PTR a = reinterpret_cast<ULONG_PTR>(address);
    auto it = space->regions.upper_bound(a);
    if (it == space->regions.begin()) return nullptr;
    --it;
    Region* r = it->second;
    const ULONG_PTR start = reinterpret_cast<ULONG_PTR>(r->user);
    if (a < start || a - start > r->size || length > r->size - (a - start)) return nullptr;
    return r;
}

int ReportUserLeaks() {
    State& s = S();
    std::vector<std::pair<ULONGLONG, PMDL>> leaked;
    for (auto& [mdl, l] : s.lockedMdls)
        if (!l.reported) leaked.push_back({l.serial, mdl});
    std::sort(leaked.begin(), leaked.end());
    for (auto& [serial, mdl] : leaked) {
        s.lockedMdls[mdl].reported = true;
        Violation(rule::kPoolLeak, "locked MDL leaked: MDL %p, %u bytes at %p (pages still locked)",
                  static_cast<void*>(mdl), mdl->ByteCount, MmGetMdlVirtualAddress(mdl));
    }
    return static_cast<int>(leaked.size());
}

void ShutdownUser() {
    State& s = S();
    s.lockedMdls.clear();
    while (!s.regions.empty()) Unmap(s.regions.begin()->second);
    for (AddressSpace* space : s.spaces) delete space;
    s.spaces.clear();
    for (AddressSpace* space : s.retired) delete space;
    s.retired.clear();
}

}  // namespace detail

using namespace mm::detail;

}  // namespace mm

// ---------------------------------------------------------------------------------------------
// Address spaces (io creates one per process and destroys it at process exit)

void* CreateAddressSpace(bool is32Bit, bool largeAddressAware) {
    using namespace mm::detail;
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    AddressSpace* space = new AddressSpace();
    space->is32Bit = is32Bit;
    space->largeAddressAware = is32Bit && largeAddressAware;
    s.spaces.insert(space);
    return space;
}

void RetireAddressSpace(void* opaque) {
    using namespace mm::detail;
    // A space outlived by its process object was already released when its Kernel shut down.
    if (opaque == nullptr || !Booted()) return;
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    AddressSpace* space = static_cast<AddressSpace*>(opaque);
    if (s.spaces.erase(space) == 0) return;
    s.retired.insert(space);
    // Secured ranges go with the address space.
    for (auto& [handle, record] : s.secured)
        if (record.first != nullptr && record.first->space == space) record.first = nullptr;
    for (auto it = space->regions.begin(); it != space->regions.end();) {
        Region* r = it->second;
        r->secured = 0;
        r->space = nullptr;
        if (r->locks == 0) {
            SetClosed(r, true);
            r->retired = true;
            ++it;
            continue;
        }
        // Locked pages stay resident until their last unlock, which releases them. A thread of the
        // process may still be in a driver and unlock them before it leaves: the space's
        // destruction, once no thread is in the kernel, reports what is still locked.
        r->retiredFrom = space;
        it = space->regions.erase(it);
    }
}

void DestroyAddressSpace(void* opaque) {
    using namespace mm::detail;
    if (opaque == nullptr || !Booted()) return;
    RetireAddressSpace(opaque);
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    AddressSpace* space = static_cast<AddressSpace*>(opaque);
    if (s.retired.erase(space) == 0) return;
    for (auto& [mdl, l] : s.lockedMdls) {
        if (l.region == nullptr || l.region->retiredFrom != space || l.reported) continue;
        l.reported = true;
        Violation(rule::kPoolLeak, "process exits with locked pages: MDL %p, %u bytes at %p", static_cast<void*>(mdl),
                  mdl->ByteCount, MmGetMdlVirtualAddress(mdl));
    }
    for (auto& [mdl, l] : s.lockedMdls)
        if (l.region != nullptr && l.region->retiredFrom == space) l.region->retiredFrom = nullptr;
    for (auto& [start, r] : space->regions) Unmap(r);
    delete space;
}

// ---------------------------------------------------------------------------------------------
// User memory for tests and tools

namespace user {

using namespace mm::detail;

void* Alloc(PEPROCESS process, SIZE_T size, bool readOnly) { return UserAlloc(process, size, readOnly, false); }

void* AllocHigh(PEPROCESS process, SIZE_T size, bool readOnly) { return UserAlloc(process, size, readOnly, true); }

bool Free(PEPROCESS process, void* address) {
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    AddressSpace* space = SpaceOf(process);
    Region* r = nullptr;
    if (space != nullptr) {
        auto it = space->regions.find(reinterpret_cast<ULONG_PTR>(address));
        if (it != space->regions.end()) {
            if (it->second->secured != 0) return false;
            r = it->second;
            space->regions.erase(it);
        }
    }
    if (r == nullptr) {
        Violation(rule::kPoolMisuse, "hk::user::Free(%p): not a buffer of process %p", address,
                  static_cast<void*>(process));
        return false;
    }
    r->space = nullptr;
    if (r->locks == 0) Unmap(r);
    return true;
}

void SetReadOnly(PEPROCESS process, void* address, bool readOnly) {
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    Region* r = FindRegion(SpaceOf(process), address, 0);
    if (r == nullptr || r->user != address) {
        Violation(rule::kPoolMisuse, "hk::user::SetReadOnly(%p): not a buffer of process %p", address,
                  static_cast<void*>(process));
        return;
    }
    r->readOnly = readOnly;
    if (!r->closed) mprotect(r->mapBase + PAGE_SIZE, r->mapLength - 2 * PAGE_SIZE, Protection(r));
}

bool Owns(PEPROCESS process, const void* address, SIZE_T length, bool write) {
    if (length == 0) return true;
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    Region* r = FindRegion(SpaceOf(process), address, length);
    return r != nullptr && !(write && r->readOnly);
}

}  // namespace user
}  // namespace hk

// ---------------------------------------------------------------------------------------------
// MDLs

using namespace hk::mm::detail;

namespace {

void CheckIrql(const char* routine, KIRQL maximum) {
    const KIRQL irql = KeGetCurrentIrql();
    if (irql > maximum) hk::Violation(hk::rule::kIrql, "%s at IRQL %u (needs IRQL <= %u)", routine, irql, maximum);
}

void FillPfns(PMDL mdl) {
    const ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(mdl), mdl->ByteCount);
    PPFN_NUMBER pfn = MmGetMdlPfnArray(mdl);
    const ULONG_PTR start = reinterpret_cast<ULONG_PTR>(mdl->StartVa);
    for (ULONG i = 0; i < pages; ++i) pfn[i] = (start >> PAGE_SHIFT) + i;
}

bool MdlLargeEnough(const char* routine, PMDL mdl) {
    const ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(mdl), mdl->ByteCount);
    const SIZE_T needed = sizeof(MDL) + pages * sizeof(PFN_NUMBER);
    // The pool block of an MDL from IoAllocateMdl tells its true size (Size is 16 bits wide).
    ULONG_PTR start = 0;
    const PoolBlock* block = FindBlock(mdl, sizeof(MDL), &start);
    if (block != nullptr && start == reinterpret_cast<ULONG_PTR>(mdl)) {
        if (block->size >= needed) return true;
    } else if (static_cast<SIZE_T>(static_cast<USHORT>(mdl->Size)) >= needed) {
        return true;
    }
    hk::Violation(hk::rule::kPoolMisuse, "%s(%p): the MDL is too small for the %u pages it describes", routine,
                  static_cast<void*>(mdl), pages);
    return false;
}

// Probes the MDL's range for the current process and locks it; STATUS_ACCESS_VIOLATION (nothing
// locked) when a user-mode range is not owned.
NTSTATUS ProbeAndLock(const char* routine, PMDL mdl, KPROCESSOR_MODE mode, LOCK_OPERATION operation) {
    CheckIrql(routine, mode == UserMode ? APC_LEVEL : DISPATCH_LEVEL);
    if (mdl == nullptr) {
        hk::Violation(hk::rule::kPoolMisuse, "%s(NULL)", routine);
        return STATUS_INVALID_PARAMETER;
    }
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    if ((mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL)) != 0 || s.lockedMdls.count(mdl) != 0) {
        hk::Violation(hk::rule::kPoolMisuse, "%s(%p): the MDL already describes locked or non-paged pages", routine,
                      static_cast<void*>(mdl));
        return STATUS_INVALID_PARAMETER;
    }
    if (!MdlLargeEnough(routine, mdl)) return STATUS_INVALID_PARAMETER;
    void* va = MmGetMdlVirtualAddress(mdl);
    const bool write = operation != IoReadAccess;
    Region* r = FindRegion(CurrentSpace(), va, mdl->ByteCount);
    if (mode == UserMode && mdl->ByteCount != 0 && (r == nullptr || (write && r->readOnly))) {
        if (r == nullptr) CheckForeign(routine, va, mdl->ByteCount);
        return STATUS_ACCESS_VIOLATION;
    }
    ULONG_PTR guardedBase = 0;
    if (r != nullptr) {
        r->locks += 1;
        SetClosed(r, false);  // locked pages are resident and mapped for the kernel
    } else {
        // Locked pool pages are never trimmed at DISPATCH_LEVEL.
        ULONG_PTR start = 0;
        if (FindBlock(va, mdl->ByteCount, &start) != nullptr) {
            if (Guarded* g = GuardOf(reinterpret_cast<void*>(start))) {
                GuardLock(*g, 1);
                guardedBase = start;
            }
        }
    }
    LockedMdl l;
    l.region = r;
    l.guarded = guardedBase;
    l.process = hk::CurrentProcess();
    l.serial = NextSerial();
    s.lockedMdls[mdl] = l;
    mdl->MdlFlags = static_cast<CSHORT>(mdl->MdlFlags | MDL_PAGES_LOCKED | (write ? MDL_WRITE_OPERATION : 0));
    mdl->Process = r != nullptr ? hk::CurrentProcess() : nullptr;
    FillPfns(mdl);
    return STATUS_SUCCESS;
}

void Unlock(PMDL mdl) {
    State& s = S();
    if (UnmapScatterGatherOf(mdl) != 0)
        hk::Violation(hk::rule::kPoolMisuse,
                      "MDL %p: pages unlocked while a scatter/gather list still maps them (PutScatterGatherList first)",
                      static_cast<void*>(mdl));
    auto it = s.lockedMdls.find(mdl);
    Region* r = it->second.region;
    if (it->second.guarded != 0)
        if (Guarded* g = GuardOf(reinterpret_cast<void*>(it->second.guarded))) GuardLock(*g, -1);
    s.lockedMdls.erase(it);
    if (r != nullptr && --r->locks == 0 && r->space == nullptr) {
        Unmap(r);
    } else if (r != nullptr && r->locks == 0 && !s.userReachable) {
        SetClosed(r, true);
    }
    mdl->MdlFlags = static_cast<CSHORT>(mdl->MdlFlags & ~(MDL_PAGES_LOCKED | MDL_WRITE_OPERATION | MDL_MAPPED_TO_SYSTEM_VA));
    mdl->MappedSystemVa = nullptr;
}

}  // namespace

extern "C" {

void MmInitializeMdl(PMDL MemoryDescriptorList, PVOID BaseVa, SIZE_T Length) {
    PMDL mdl = MemoryDescriptorList;
    mdl->Next = nullptr;
    mdl->Size = static_cast<CSHORT>(MmSizeOfMdl(BaseVa, Length));
    mdl->MdlFlags = 0;
    mdl->Process = nullptr;
    mdl->MappedSystemVa = nullptr;
    mdl->StartVa = PAGE_ALIGN(BaseVa);
    mdl->ByteOffset = BYTE_OFFSET(BaseVa);
    mdl->ByteCount = static_cast<ULONG>(Length);
}

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp) {
    CheckIrql("IoAllocateMdl", DISPATCH_LEVEL);
    const SIZE_T size = MmSizeOfMdl(VirtualAddress, Length);
    if (Length > MAXULONG - PAGE_SIZE) return nullptr;
    PMDL mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPool, size, kTagMdl));
    if (mdl == nullptr) return nullptr;
    MmInitializeMdl(mdl, VirtualAddress, Length);
    mdl->MdlFlags = MDL_ALLOCATED_FIXED_SIZE;
    if (Irp != nullptr) {
        if (!SecondaryBuffer) {
            Irp->MdlAddress = mdl;
        } else {
            PMDL last = Irp->MdlAddress;
            if (last == nullptr) {
                Irp->MdlAddress = mdl;
            } else {
                while (last->Next != nullptr) last = last->Next;
                last->Next = mdl;
            }
        }
    }
    (void)ChargeQuota;
    return mdl;
}

void IoFreeMdl(PMDL Mdl) {
    CheckIrql("IoFreeMdl", DISPATCH_LEVEL);
    if (Mdl == nullptr) {
        hk::Violation(hk::rule::kPoolMisuse, "IoFreeMdl(NULL)");
        return;
    }
    {
        State& s = S();
        std::lock_guard<std::recursive_mutex> guard(s.lock);
        if (s.lockedMdls.count(Mdl) != 0) {
            hk::Violation(hk::rule::kPoolMisuse, "IoFreeMdl(%p): its pages are still locked (MmUnlockPages first)",
                          static_cast<void*>(Mdl));
            Unlock(Mdl);
        }
    }
    ExFreePoolWithTag(Mdl, kTagMdl);
}

void MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation) {
    const NTSTATUS status = ProbeAndLock("MmProbeAndLockPages", MemoryDescriptorList, AccessMode, Operation);
    if (status == STATUS_ACCESS_VIOLATION)
        hk::Violation(hk::rule::kUnhandledException,
                      "MmProbeAndLockPages raised STATUS_ACCESS_VIOLATION outside an exception frame: %p, %u bytes "
                      "is not %s memory of the current process (use KxProbeAndLockPages)",
                      MmGetMdlVirtualAddress(MemoryDescriptorList), MemoryDescriptorList->ByteCount,
                      Operation == IoReadAccess ? "readable" : "writable");
}

void MmUnlockPages(PMDL MemoryDescriptorList) {
    CheckIrql("MmUnlockPages", DISPATCH_LEVEL);
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    if (MemoryDescriptorList == nullptr || s.lockedMdls.count(MemoryDescriptorList) == 0) {
        hk::Violation(hk::rule::kPoolMisuse, "MmUnlockPages(%p): the MDL's pages are not locked",
                      static_cast<void*>(MemoryDescriptorList));
        return;
    }
    Unlock(MemoryDescriptorList);
}

void MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
    CheckIrql("MmBuildMdlForNonPagedPool", DISPATCH_LEVEL);
    PMDL mdl = MemoryDescriptorList;
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    void* va = MmGetMdlVirtualAddress(mdl);
    if ((mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL)) != 0) {
        hk::Violation(hk::rule::kPoolMisuse, "MmBuildMdlForNonPagedPool(%p): the MDL already describes locked pages",
                      static_cast<void*>(mdl));
        return;
    }
    const PoolBlock* block = FindBlock(va, mdl->ByteCount, nullptr);
    if (block != nullptr && block->paged) {
        hk::Violation(hk::rule::kPoolMisuse, "MmBuildMdlForNonPagedPool(%p): %p is paged pool", static_cast<void*>(mdl),
                      va);
        return;
    }
    if (FindRegion(CurrentSpace(), va, 0) != nullptr) {
        hk::Violation(hk::rule::kPoolMisuse, "MmBuildMdlForNonPagedPool(%p): %p is user memory", static_cast<void*>(mdl),
                      va);
        return;
    }
    if (!MdlLargeEnough("MmBuildMdlForNonPagedPool", mdl)) return;
    mdl->MdlFlags = static_cast<CSHORT>(mdl->MdlFlags | MDL_SOURCE_IS_NONPAGED_POOL);
    mdl->MappedSystemVa = va;
    mdl->Process = nullptr;
    FillPfns(mdl);
}

PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                   MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress, ULONG BugCheckOnFailure,
                                   ULONG Priority) {
    PMDL mdl = MemoryDescriptorList;
    CheckIrql("MmMapLockedPagesSpecifyCache", AccessMode == UserMode ? APC_LEVEL : DISPATCH_LEVEL);
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    if (s.lockedMdls.count(mdl) == 0) {
        hk::Violation(hk::rule::kPoolMisuse, "MmMapLockedPagesSpecifyCache(%p): the MDL's pages are not locked",
                      static_cast<void*>(mdl));
        return nullptr;
    }
    void* va = MmGetMdlVirtualAddress(mdl);
    if (AccessMode == UserMode) {
        // Into the current process: the pages are already visible there when they are its own.
        return FindRegion(CurrentSpace(), va, mdl->ByteCount) != nullptr ? va : nullptr;
    }
    if (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) {
        hk::Violation(hk::rule::kPoolMisuse, "MmMapLockedPagesSpecifyCache(%p): already mapped to a system address",
                      static_cast<void*>(mdl));
        return mdl->MappedSystemVa;
    }
    // The host's kernel address of locked pages is the host address itself.
    mdl->MappedSystemVa = va;
    mdl->MdlFlags = static_cast<CSHORT>(mdl->MdlFlags | MDL_MAPPED_TO_SYSTEM_VA);
    (void)CacheType;
    (void)RequestedAddress;
    (void)BugCheckOnFailure;
    (void)Priority;
    return va;
}

void MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) {
    PMDL mdl = MemoryDescriptorList;
    CheckIrql("MmUnmapLockedPages", DISPATCH_LEVEL);
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    if ((mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) && BaseAddress == mdl->MappedSystemVa) {
        mdl->MdlFlags = static_cast<CSHORT>(mdl->MdlFlags & ~MDL_MAPPED_TO_SYSTEM_VA);
        mdl->MappedSystemVa = nullptr;
        return;
    }
    if (s.lockedMdls.count(mdl) != 0 && BaseAddress == MmGetMdlVirtualAddress(mdl)) return;  // a user mapping
    hk::Violation(hk::rule::kPoolMisuse, "MmUnmapLockedPages(%p, %p): not a mapping of this MDL", BaseAddress,
                  static_cast<void*>(mdl));
}

HANDLE MmSecureVirtualMemory(PVOID Address, SIZE_T Size, ULONG ProbeMode) {
    CheckIrql("MmSecureVirtualMemory", APC_LEVEL);
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    Region* r = FindRegion(CurrentSpace(), Address, Size);
    if (r == nullptr || Size == 0 || (ProbeMode == PAGE_READWRITE && r->readOnly)) return nullptr;
    ++r->secured;
    static ULONG_PTR serial = 0;
    void* handle = reinterpret_cast<void*>(++serial << 4);
    s.secured[handle] = {r, hk::CurrentProcess()};
    return handle;
}

void MmUnsecureVirtualMemory(HANDLE SecureHandle) {
    CheckIrql("MmUnsecureVirtualMemory", APC_LEVEL);
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    auto it = s.secured.find(SecureHandle);
    if (it == s.secured.end()) {
        hk::Violation(hk::rule::kPoolMisuse, "MmUnsecureVirtualMemory(%p): not a handle of MmSecureVirtualMemory",
                      SecureHandle);
        return;
    }
    if (it->second.first == nullptr) {
        s.secured.erase(it);   // its process has ended, and the secured range with it
        return;
    }
    if (it->second.second != hk::CurrentProcess()) {
        hk::Violation(hk::rule::kPoolMisuse, "MmUnsecureVirtualMemory(%p): not in the process that secured the range",
                      SecureHandle);
        return;
    }
    --it->second.first->secured;
    s.secured.erase(it);
}

// ---------------------------------------------------------------------------------------------
// Services for code that must not raise

NTSTATUS KxProbeAndLockPages(PMDL Mdl, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation) {
    return ProbeAndLock("KxProbeAndLockPages", Mdl, AccessMode, Operation);
}

NTSTATUS KxCopyFromUser(PVOID Destination, const void* UserSource, SIZE_T Length) {
    CheckIrql("KxCopyFromUser", APC_LEVEL);
    if (Length == 0) return STATUS_SUCCESS;
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    if (FindRegion(CurrentSpace(), UserSource, Length) == nullptr) {
        CheckForeign("KxCopyFromUser", UserSource, Length);
        return STATUS_ACCESS_VIOLATION;
    }
    OpenCopy(Destination, UserSource, Length);
    return STATUS_SUCCESS;
}

NTSTATUS KxCopyToUser(PVOID UserDestination, const void* Source, SIZE_T Length) {
    CheckIrql("KxCopyToUser", APC_LEVEL);
    if (Length == 0) return STATUS_SUCCESS;
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    Region* r = FindRegion(CurrentSpace(), UserDestination, Length);
    if (r == nullptr || r->readOnly) {
        if (r == nullptr) CheckForeign("KxCopyToUser", UserDestination, Length);
        return STATUS_ACCESS_VIOLATION;
    }
    OpenCopy(UserDestination, Source, Length);
    return STATUS_SUCCESS;
}

}  // extern "C"

// ---------------------------------------------------------------------------------------------
// The running context's reach into user memory (ke calls this as the context changes)

namespace hk {

void SetUserMemoryReachable(bool reachable, const char* rule, const char* why) {
    using namespace mm::detail;
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    s.userRule = rule;
    s.userWhy = why != nullptr ? why : "";
    if (s.userReachable == reachable) return;
    s.userReachable = reachable;
    // Opened on demand: a buffer stays closed until it is touched (HandleUserFault opens it then,
    // unreported), so only the buffers opened since the last change are closed again.
    if (reachable) return;
    std::vector<Region*> open(s.openRegions.begin(), s.openRegions.end());
    for (Region* r : open)
        if (r->space != nullptr && r->locks == 0) SetClosed(r, true);
}

void KernelCopy(void* destination, const void* source, SIZE_T length) {
    using namespace mm::detail;
    if (length == 0) return;
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    // The I/O manager copies in the requester's context on Windows, where paged pool is
    // reachable: page a trimmed block in for it.
    GuardResidentFor(destination);
    GuardResidentFor(source);
    OpenCopy(destination, source, length);
}

}  // namespace hk
