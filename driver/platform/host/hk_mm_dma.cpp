// Host kernel mm: DMA adapters, common buffers, scatter/gather lists and the bus address space.
//
// The device sees a simulated 32-bit bus address space, distinct from host addresses. Bus pages
// are handed out from [16 MiB, 1 GiB) and are reachable by the device only while mapped: a common
// buffer maps contiguous pages for its lifetime; a scatter/gather list maps each page of the
// transfer to its own bus page, with an unmapped page between two of them, until it is put back.
// Freed bus ranges are reused only after the allocator has gone round the whole space, so a stale
// device access meets an unmapped page and is reported (rule DMA_FAULT).
//
// Map registers: each adapter has the number IoGetDmaAdapter reports (hk::mm::SetMapRegisters,
// default 17). A transfer spanning more pages fails with STATUS_INSUFFICIENT_RESOURCES; Windows
// would hold such a request until registers free up, but one that needs more than the adapter
// has could never run, so the host reports it at once. Lists outstanding at the same time are not
// limited together.
//
// The execution routine runs inline; one that asks for the next list from within itself nests the
// HAL's frames and its own once more per list, and a transfer of many lists overflows the 24 KB
// x64 kernel stack. Nesting deeper than kMaxListNesting is reported (rule KERNEL_STACK).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "hk_mm_internal.h"

namespace hk {
namespace mm {
namespace detail {

// Execution routines of GetScatterGatherList running on this thread, one inside the other.
constexpr ULONG kMaxListNesting = 4;
thread_local ULONG t_listNesting = 0;

struct Adapter {
    DMA_ADAPTER adapter;  // what the driver sees
    PDEVICE_OBJECT pdo = nullptr;
    ULONG mapRegisters = 0;
    ULONGLONG serial = 0;
    bool reported = false;
};

namespace {

constexpr ULONG kBusFirstPage = 0x01000;  // 16 MiB
constexpr ULONG kBusLimitPage = 0x40000;  // 1 GiB
constexpr UCHAR kFreshPattern = 0xA5;
constexpr UCHAR kFreedPattern = 0xDE;

void CheckIrql(const char* routine, KIRQL maximum) {
    const KIRQL irql = KeGetCurrentIrql();
    if (irql > maximum) Violation(rule::kIrql, "%s at IRQL %u (needs IRQL <= %u)", routine, irql, maximum);
}

// Reserves `pages` bus pages plus one unmapped page after them; the first page, or 0.
ULONG ReserveBus(State& s, ULONG pages) {
    const ULONG need = pages + 1;
    for (int pass = 0; pass < 2; ++pass) {
        ULONG start = pass == 0 ? std::max(s.busCursor, kBusFirstPage) : kBusFirstPage;
        auto it = s.busReserved.upper_bound(start);
        if (it != s.busReserved.begin()) {
            auto prev = std::prev(it);
            start = std::max(start, prev->first + prev->second);
        }
        for (;;) {
            const ULONG limit = it == s.busReserved.end() ? kBusLimitPage : it->first;
            if (start + need <= limit) {
                s.busReserved[start] = need;
                s.busCursor = start + need;
                return start;
            }
            if (it == s.busReserved.end()) break;
            start = it->first + it->second;
            ++it;
        }
    }
    return 0;
}

void ReleaseBus(State& s, ULONG first) {
    auto it = s.busReserved.find(first);
    if (it == s.busReserved.end()) return;
    for (ULONG p = first; p < first + it->second; ++p) s.busPages.erase(p);
    s.busReserved.erase(it);
}

Adapter* LiveAdapter(State& s, PDMA_ADAPTER dma, const char* routine) {
    Adapter* a = reinterpret_cast<Adapter*>(dma);
    if (dma != nullptr && s.adapters.count(a) != 0) return a;
    Violation(rule::kPoolMisuse, "%s: %p is not a live DMA adapter", routine, static_cast<void*>(dma));
    return nullptr;
}

// Shape of a transfer: its elements as (host address, length), split at pages and at sgSplit.
std::vector<std::pair<char*, ULONG>> Pieces(const State& s, char* va, ULONG length) {
    std::vector<std::pair<char*, ULONG>> pieces;
    ULONG left = length;
    char* p = va;
    while (left != 0) {
        ULONG piece = std::min<ULONG>(left, PAGE_SIZE - BYTE_OFFSET(p));
        if (s.sgSplit != 0) piece = std::min(piece, s.sgSplit);
        pieces.push_back({p, piece});
        p += piece;
        left -= piece;
    }
    return pieces;
}

// Checks the MDL and range of a scatter/gather request; STATUS_SUCCESS when usable.
NTSTATUS CheckTransfer(State& s, const char* routine, PMDL mdl, PVOID currentVa, ULONG length, bool needLocked) {
    if (mdl == nullptr) {
        Violation(rule::kPoolMisuse, "%s: no MDL", routine);
        return STATUS_INVALID_PARAMETER;
    }
    if (needLocked && s.lockedMdls.count(mdl) == 0 && (mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL) == 0) {
        Violation(rule::kPoolMisuse, "%s: MDL %p describes pages that are neither locked nor non-paged", routine,
                  static_cast<void*>(mdl));
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG_PTR first = reinterpret_cast<ULONG_PTR>(MmGetMdlVirtualAddress(mdl));
    const ULONG_PTR va = reinterpret_cast<ULONG_PTR>(currentVa);
    if (length == 0 || va < first || va - first > mdl->ByteCount || length > mdl->ByteCount - (va - first)) {
        Violation(rule::kPoolMisuse, "%s: %p, %u bytes is not inside MDL %p (%p, %u bytes)", routine, currentVa, length,
                  static_cast<void*>(mdl), reinterpret_cast<void*>(first), mdl->ByteCount);
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

// ---- DMA_OPERATIONS

void PutDmaAdapter(PDMA_ADAPTER DmaAdapter) {
    CheckIrql("PutDmaAdapter", DISPATCH_LEVEL);
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    Adapter* a = LiveAdapter(s, DmaAdapter, "PutDmaAdapter");
    if (a == nullptr) return;
    for (auto& [host, c] : s.commonBuffers) {
        if (c.adapter != a || c.reported) continue;
        c.reported = true;
        Violation(rule::kPoolLeak, "PutDmaAdapter(%p) with a common buffer still allocated: %u bytes at %p, bus 0x%08X",
                  static_cast<void*>(DmaAdapter), c.length, host, c.bus);
    }
    for (auto& [list, g] : s.sgLists) {
        if (g.adapter != a || g.reported) continue;
        g.reported = true;
        Violation(rule::kPoolLeak, "PutDmaAdapter(%p) with a scatter/gather list not put: %u bytes, %u elements",
                  static_cast<void*>(DmaAdapter), g.length, list->NumberOfElements);
    }
    s.adapters.erase(a);
    delete a;
}

PVOID AllocateCommonBuffer(PDMA_ADAPTER DmaAdapter, ULONG Length, PPHYSICAL_ADDRESS LogicalAddress,
                           BOOLEAN CacheEnabled) {
    CheckIrql("AllocateCommonBuffer", PASSIVE_LEVEL);
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    Adapter* a = LiveAdapter(s, DmaAdapter, "AllocateCommonBuffer");
    if (a == nullptr || Length == 0 || LogicalAddress == nullptr) return nullptr;
    if (s.failCommonBufferIn != 0 && --s.failCommonBufferIn == 0) return nullptr;
    const ULONG pages = BYTES_TO_PAGES(Length);
    const ULONG bus = ReserveBus(s, pages);
    if (bus == 0) return nullptr;
    void* host = nullptr;
    if (posix_memalign(&host, PAGE_SIZE, static_cast<size_t>(pages) * PAGE_SIZE) != 0) {
        ReleaseBus(s, bus);
        return nullptr;
    }
    memset(host, kFreshPattern, static_cast<size_t>(pages) * PAGE_SIZE);
    for (ULONG i = 0; i < pages; ++i) s.busPages[bus + i] = BusPage{static_cast<char*>(host) + i * PAGE_SIZE, "common buffer", true};
    CommonBuffer c;
    c.adapter = a;
    c.host = host;
    c.length = Length;
    c.bus = bus << PAGE_SHIFT;
    c.pages = pages;
    c.serial = NextSerial();
    s.commonBuffers[host] = c;
    LogicalAddress->QuadPart = static_cast<LONGLONG>(c.bus);
    (void)CacheEnabled;
    return host;
}

void FreeCommonBuffer(PDMA_ADAPTER DmaAdapter, ULONG Length, PHYSICAL_ADDRESS LogicalAddress, PVOID VirtualAddress,
                      BOOLEAN CacheEnabled) {
    CheckIrql("FreeCommonBuffer", PASSIVE_LEVEL);
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    auto it = s.commonBuffers.find(VirtualAddress);
    if (it == s.commonBuffers.end()) {
        Violation(rule::kPoolMisuse, "FreeCommonBuffer(%p): not an allocated common buffer", VirtualAddress);
        return;
    }
    CommonBuffer& c = it->second;
    if (s.adapters.count(reinterpret_cast<Adapter*>(DmaAdapter)) == 0 || c.adapter != reinterpret_cast<Adapter*>(DmaAdapter))
        Violation(rule::kPoolMisuse, "FreeCommonBuffer(%p): adapter %p is not the live adapter that allocated it",
                  VirtualAddress, static_cast<void*>(DmaAdapter));
    if (c.length != Length || static_cast<ULONGLONG>(LogicalAddress.QuadPart) != c.bus)
        Violation(rule::kPoolMisuse,
                  "FreeCommonBuffer(%p): length %u / logical 0x%llX do not match the allocation (%u bytes at 0x%08X)",
                  VirtualAddress, Length, static_cast<unsigned long long>(LogicalAddress.QuadPart), c.length, c.bus);
    ReleaseBus(s, c.bus >> PAGE_SHIFT);
    memset(c.host, kFreedPattern, static_cast<size_t>(c.pages) * PAGE_SIZE);
    free(c.host);
    s.commonBuffers.erase(it);
    (void)CacheEnabled;
}

NTSTATUS AllocateAdapterChannel(PDMA_ADAPTER, PDEVICE_OBJECT, ULONG, PDRIVER_CONTROL, PVOID) {
    return STATUS_NOT_SUPPORTED;  // packet-based DMA: not offered by this bus
}

BOOLEAN FlushAdapterBuffers(PDMA_ADAPTER, PMDL, PVOID, PVOID, ULONG, BOOLEAN) { return TRUE; }

void FreeAdapterChannel(PDMA_ADAPTER) {}

void FreeMapRegisters(PDMA_ADAPTER, PVOID, ULONG) {}

PHYSICAL_ADDRESS MapTransfer(PDMA_ADAPTER DmaAdapter, PMDL, PVOID, PVOID, PULONG Length, BOOLEAN) {
    Violation(rule::kPoolMisuse, "MapTransfer(%p): packet-based DMA is not offered; use GetScatterGatherList",
              static_cast<void*>(DmaAdapter));
    if (Length != nullptr) *Length = 0;
    PHYSICAL_ADDRESS none;
    none.QuadPart = 0;
    return none;
}

ULONG GetDmaAlignment(PDMA_ADAPTER) { return 1; }

ULONG ReadDmaCounter(PDMA_ADAPTER) { return 0; }

NTSTATUS GetScatterGatherList(PDMA_ADAPTER DmaAdapter, PDEVICE_OBJECT DeviceObject, PMDL Mdl, PVOID CurrentVa,
                              ULONG Length, PDRIVER_LIST_CONTROL ExecutionRoutine, PVOID Context,
                              BOOLEAN WriteToDevice) {
    const KIRQL irql = KeGetCurrentIrql();
    if (irql != DISPATCH_LEVEL) {
        Violation(rule::kIrql, "GetScatterGatherList at IRQL %u (must be called at DISPATCH_LEVEL)", irql);
        return STATUS_UNSUCCESSFUL;
    }
    State& s = S();
    std::unique_lock<std::recursive_mutex> guard(s.lock);
    Adapter* a = LiveAdapter(s, DmaAdapter, "GetScatterGatherList");
    if (a == nullptr) return STATUS_INVALID_PARAMETER;
    const NTSTATUS check = CheckTransfer(s, "GetScatterGatherList", Mdl, CurrentVa, Length, true);
    if (!NT_SUCCESS(check)) return check;
    if (ExecutionRoutine == nullptr) {
        Violation(rule::kPoolMisuse, "GetScatterGatherList: no execution routine");
        return STATUS_INVALID_PARAMETER;
    }
    if (s.failScatterGatherIn != 0 && --s.failScatterGatherIn == 0) return STATUS_INSUFFICIENT_RESOURCES;
    const ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(CurrentVa, Length);
    if (pages > a->mapRegisters) return STATUS_INSUFFICIENT_RESOURCES;
    const std::vector<std::pair<char*, ULONG>> pieces = Pieces(s, static_cast<char*>(CurrentVa), Length);
    const ULONG busPages = 2 * pages - 1;  // mapped pages with a hole between two of them
    const ULONG bus = ReserveBus(s, busPages);
    if (bus == 0) return STATUS_INSUFFICIENT_RESOURCES;
    const size_t bytes = sizeof(SCATTER_GATHER_LIST) + (pieces.size() - 1) * sizeof(SCATTER_GATHER_ELEMENT);
    auto* list = static_cast<PSCATTER_GATHER_LIST>(calloc(1, bytes));
    if (list == nullptr) {
        ReleaseBus(s, bus);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    char* firstPage = static_cast<char*>(PAGE_ALIGN(CurrentVa));
    // The device may write only pages locked for writing (or non-paged memory).
    const bool writable = (Mdl->MdlFlags & (MDL_WRITE_OPERATION | MDL_SOURCE_IS_NONPAGED_POOL)) != 0;
    SgRecord g;
    for (ULONG i = 0; i < pages; ++i) {
        char* page = firstPage + i * PAGE_SIZE;
        if (s.bounce) {
            char* shadow = static_cast<char*>(aligned_alloc(PAGE_SIZE, PAGE_SIZE));
            memset(shadow, 0xB5, PAGE_SIZE);
            g.bounce.push_back(shadow);
            page = shadow;
        }
        s.busPages[bus + 2 * i] = BusPage{page, s.bounce ? "scatter/gather bounce page" : "scatter/gather page", writable};
    }
    if (s.bounce) {
        g.pieces = pieces;
        if (WriteToDevice)
            for (const auto& [p, n] : pieces) {
                const size_t index = static_cast<size_t>((p - firstPage) >> PAGE_SHIFT);
                KernelCopy(g.bounce[index] + BYTE_OFFSET(p), p, n);
            }
    }
    list->NumberOfElements = static_cast<ULONG>(pieces.size());
    for (size_t i = 0; i < pieces.size(); ++i) {
        char* p = pieces[i].first;
        const ULONG page = static_cast<ULONG>((reinterpret_cast<ULONG_PTR>(p) - reinterpret_cast<ULONG_PTR>(firstPage)) >> PAGE_SHIFT);
        list->Elements[i].Address.QuadPart = static_cast<LONGLONG>(((bus + 2 * page) << PAGE_SHIFT) | BYTE_OFFSET(p));
        list->Elements[i].Length = pieces[i].second;
    }
    g.adapter = a;
    g.mdl = Mdl;
    g.busBase = bus;
    g.busPages = busPages;
    g.mapped = pages;
    g.length = Length;
    g.serial = NextSerial();
    s.sgLists[list] = g;
    guard.unlock();
    // Inline, at DISPATCH_LEVEL, with the device's current IRP as Windows passes it.
    if (t_listNesting == kMaxListNesting)
        Violation(rule::kKernelStack,
                  "GetScatterGatherList from within the execution routine of an earlier list, %u levels deep: each "
                  "level nests the HAL's frames and the routine's on the kernel stack (24 KB on x64), so a transfer "
                  "of enough lists overflows it; ask for the next list after the routine has returned",
                  t_listNesting + 1);
    ++t_listNesting;
    ExecutionRoutine(DeviceObject, DeviceObject != nullptr ? DeviceObject->CurrentIrp : nullptr, list, Context);
    --t_listNesting;
    return STATUS_SUCCESS;
}

void PutScatterGatherList(PDMA_ADAPTER DmaAdapter, PSCATTER_GATHER_LIST ScatterGather, BOOLEAN WriteToDevice) {
    CheckIrql("PutScatterGatherList", DISPATCH_LEVEL);
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    auto it = s.sgLists.find(ScatterGather);
    if (it == s.sgLists.end()) {
        Violation(rule::kPoolMisuse, "PutScatterGatherList(%p): not an outstanding scatter/gather list",
                  static_cast<void*>(ScatterGather));
        return;
    }
    if (it->second.adapter != reinterpret_cast<Adapter*>(DmaAdapter) ||
        s.adapters.count(reinterpret_cast<Adapter*>(DmaAdapter)) == 0)
        Violation(rule::kPoolMisuse, "PutScatterGatherList(%p): adapter %p is not the live adapter that built it",
                  static_cast<void*>(ScatterGather), static_cast<void*>(DmaAdapter));
    SgRecord& g = it->second;
    if (!g.bounce.empty()) {
        // What the device wrote reaches the buffer now.
        char* firstPage = g.pieces.empty() ? nullptr : static_cast<char*>(PAGE_ALIGN(g.pieces.front().first));
        if (!WriteToDevice)
            for (const auto& [p, n] : g.pieces) {
                const size_t index = static_cast<size_t>((p - firstPage) >> PAGE_SHIFT);
                KernelCopy(p, g.bounce[index] + BYTE_OFFSET(p), n);
            }
        for (char* shadow : g.bounce) free(shadow);
    }
    ReleaseBus(s, g.busBase);
    s.sgLists.erase(it);
    free(ScatterGather);
    (void)WriteToDevice;
}

NTSTATUS CalculateScatterGatherList(PDMA_ADAPTER DmaAdapter, PMDL Mdl, PVOID CurrentVa, ULONG Length,
                                    PULONG ScatterGatherListSize, PULONG pNumberOfMapRegisters) {
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    if (LiveAdapter(s, DmaAdapter, "CalculateScatterGatherList") == nullptr) return STATUS_INVALID_PARAMETER;
    if (Mdl != nullptr) {
        const NTSTATUS check = CheckTransfer(s, "CalculateScatterGatherList", Mdl, CurrentVa, Length, false);
        if (!NT_SUCCESS(check)) return check;
    }
    const size_t elements = Pieces(s, static_cast<char*>(CurrentVa), Length).size();
    if (ScatterGatherListSize != nullptr)
        *ScatterGatherListSize = static_cast<ULONG>(sizeof(SCATTER_GATHER_LIST) +
                                                    (elements == 0 ? 0 : elements - 1) * sizeof(SCATTER_GATHER_ELEMENT));
    if (pNumberOfMapRegisters != nullptr) *pNumberOfMapRegisters = ADDRESS_AND_SIZE_TO_SPAN_PAGES(CurrentVa, Length);
    return STATUS_SUCCESS;
}

NTSTATUS BuildScatterGatherList(PDMA_ADAPTER, PDEVICE_OBJECT, PMDL, PVOID, ULONG, PDRIVER_LIST_CONTROL, PVOID, BOOLEAN,
                                PVOID, ULONG) {
    return STATUS_NOT_SUPPORTED;
}

NTSTATUS BuildMdlFromScatterGatherList(PDMA_ADAPTER, PSCATTER_GATHER_LIST, PMDL, PMDL* TargetMdl) {
    if (TargetMdl != nullptr) *TargetMdl = nullptr;
    return STATUS_NOT_SUPPORTED;
}

DMA_OPERATIONS g_operations = {
    sizeof(DMA_OPERATIONS), PutDmaAdapter,  AllocateCommonBuffer, FreeCommonBuffer,     AllocateAdapterChannel,
    FlushAdapterBuffers,    FreeAdapterChannel, FreeMapRegisters, MapTransfer,          GetDmaAlignment,
    ReadDmaCounter,         GetScatterGatherList, PutScatterGatherList, CalculateScatterGatherList,
    BuildScatterGatherList, BuildMdlFromScatterGatherList,
};

// Checks that every page of [bus, bus + length) is mapped; reports the first that is not.
bool CheckBus(State& s, ULONG bus, ULONG length, bool write) {
    const ULONGLONG end = static_cast<ULONGLONG>(bus) + length;
    for (ULONGLONG a = bus; a < end; a = (a & ~static_cast<ULONGLONG>(PAGE_SIZE - 1)) + PAGE_SIZE) {
        const BusPage* page = nullptr;
        if (a < 0x100000000ull) {
            auto it = s.busPages.find(static_cast<ULONG>(a >> PAGE_SHIFT));
            if (it != s.busPages.end()) page = &it->second;
        }
        if (page != nullptr && (!write || page->writable)) continue;
        s.busFaults.push_back(BusFault{static_cast<ULONG>(a), length, write});
        Violation(rule::kDmaFault, "device %s of %u bytes at bus address 0x%08X: bus page 0x%08X %s",
                  write ? "write" : "read", length, bus, static_cast<ULONG>(a & ~static_cast<ULONGLONG>(PAGE_SIZE - 1)),
                  page == nullptr ? "is not mapped for DMA" : "maps pages locked for reading only");
        return false;
    }
    return true;
}

}  // namespace

int UnmapScatterGatherOf(PMDL mdl) {
    State& s = S();
    int lists = 0;
    for (auto& [list, g] : s.sgLists) {
        if (g.mdl != mdl || g.mapped == 0) continue;
        for (ULONG p = g.busBase; p < g.busBase + g.busPages; ++p) s.busPages.erase(p);
        g.mapped = 0;
        ++lists;
    }
    return lists;
}

int ReportDmaLeaks() {
    State& s = S();
    struct Item {
        ULONGLONG serial;
        std::string text;
    };
    std::vector<Item> items;
    char text[200];
    for (Adapter* a : s.adapters) {
        if (a->reported) continue;
        a->reported = true;
        snprintf(text, sizeof text, "DMA adapter leaked (PutDmaAdapter never called): %p, %u map registers",
                 static_cast<void*>(a), a->mapRegisters);
        items.push_back({a->serial, text});
    }
    for (auto& [host, c] : s.commonBuffers) {
        if (c.reported) continue;
        c.reported = true;
        snprintf(text, sizeof text, "common buffer leaked (FreeCommonBuffer never called): %u bytes at %p, bus 0x%08X",
                 c.length, host, c.bus);
        items.push_back({c.serial, text});
    }
    for (auto& [list, g] : s.sgLists) {
        if (g.reported) continue;
        g.reported = true;
        snprintf(text, sizeof text,
                 "scatter/gather list leaked (PutScatterGatherList never called): %u bytes, %u elements at %p",
                 g.length, list->NumberOfElements, static_cast<void*>(list));
        items.push_back({g.serial, text});
    }
    std::sort(items.begin(), items.end(), [](const Item& x, const Item& y) { return x.serial < y.serial; });
    for (const Item& i : items) Violation(rule::kPoolLeak, "%s", i.text.c_str());
    return static_cast<int>(items.size());
}

void ShutdownDma() {
    State& s = S();
    for (auto& [list, g] : s.sgLists) free(list);
    s.sgLists.clear();
    for (auto& [host, c] : s.commonBuffers) free(c.host);
    s.commonBuffers.clear();
    for (Adapter* a : s.adapters) delete a;
    s.adapters.clear();
    s.busPages.clear();
    s.busReserved.clear();
}

}  // namespace detail

using namespace detail;

void SetBounceBuffers(bool on) {
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    s.bounce = on;
}

void SetMapRegisters(ULONG count) {
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    s.mapRegisters = count;
}

void SetSgSplit(ULONG bytes) {
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    s.sgSplit = bytes;
}

const std::vector<BusFault>& BusFaults() { return S().busFaults; }

bool IsBusMapped(ULONG busAddress) {
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    return s.busPages.count(busAddress >> PAGE_SHIFT) != 0;
}

}  // namespace mm

// ---------------------------------------------------------------------------------------------
// The device's accesses

bool BusRead(ULONG busAddress, void* destination, ULONG length) {
    using namespace mm::detail;
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    if (!CheckBus(s, busAddress, length, false)) return false;
    char* out = static_cast<char*>(destination);
    ULONG a = busAddress;
    ULONG left = length;
    while (left != 0) {
        const ULONG piece = std::min<ULONG>(left, PAGE_SIZE - BYTE_OFFSET(a));
        memcpy(out, s.busPages[a >> PAGE_SHIFT].host + BYTE_OFFSET(a), piece);
        out += piece;
        a += piece;
        left -= piece;
    }
    return true;
}

bool BusWrite(ULONG busAddress, const void* source, ULONG length) {
    using namespace mm::detail;
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    if (!CheckBus(s, busAddress, length, true)) return false;
    const char* in = static_cast<const char*>(source);
    ULONG a = busAddress;
    ULONG left = length;
    while (left != 0) {
        const ULONG piece = std::min<ULONG>(left, PAGE_SIZE - BYTE_OFFSET(a));
        memcpy(s.busPages[a >> PAGE_SHIFT].host + BYTE_OFFSET(a), in, piece);
        in += piece;
        a += piece;
        left -= piece;
    }
    return true;
}

}  // namespace hk

// ---------------------------------------------------------------------------------------------

extern "C" PDMA_ADAPTER IoGetDmaAdapter(PDEVICE_OBJECT PhysicalDeviceObject, PDEVICE_DESCRIPTION DeviceDescription,
                                        PULONG NumberOfMapRegisters) {
    using namespace hk::mm::detail;
    CheckIrql("IoGetDmaAdapter", PASSIVE_LEVEL);
    if (PhysicalDeviceObject == nullptr || DeviceDescription == nullptr || NumberOfMapRegisters == nullptr) {
        hk::Violation(hk::rule::kPoolMisuse, "IoGetDmaAdapter: missing device object, description or register count");
        return nullptr;
    }
    const DEVICE_DESCRIPTION& d = *DeviceDescription;
    // Bus-master devices only (PCI); slave DMA through a system controller does not exist here.
    if (d.Version > DEVICE_DESCRIPTION_VERSION2 || !d.Master) return nullptr;
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    Adapter* a = new Adapter();
    a->adapter.Version = 1;
    a->adapter.Size = sizeof(DMA_ADAPTER);
    a->adapter.DmaOperations = &g_operations;
    a->pdo = PhysicalDeviceObject;
    const ULONG needed = BYTES_TO_PAGES(d.MaximumLength) + 1;
    a->mapRegisters = std::min(s.mapRegisters, needed);
    a->serial = NextSerial();
    s.adapters.insert(a);
    *NumberOfMapRegisters = a->mapRegisters;
    return &a->adapter;
}
