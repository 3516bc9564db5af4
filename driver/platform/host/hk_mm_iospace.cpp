// Host kernel mm: mapped I/O space and register access.
//
// MmMapIoSpace reserves PROT_NONE host pages, so dereferencing a register address directly crashes
// at once; READ_REGISTER_ULONG / WRITE_REGISTER_ULONG resolve the address to the register window
// attached at that physical address and call it synchronously. Each access costs 100 ns of
// virtual time and is a scheduling point.
//
// Refused (rule REGISTER): an address outside every mapping, an unaligned access, an 8- or 16-bit
// access (OHCI register windows take quadlets only), and an access beyond the window attached
// there. A mapping whose window has been detached (the device is gone) reads all ones and drops
// writes, as a PCI read of a removed device does.
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>

#include <algorithm>

#include "hk_mm_internal.h"

namespace hk {
namespace mm {
namespace detail {

namespace {

// GCC 12 at -O3 reports a dangling pointer to the Target below once Resolve and the window's
// virtual call are inlined together; the object lives until the access ends.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic ignored "-Wdangling-pointer"
#endif

struct Target {
    RegisterWindow* window = nullptr;  // null: the device is gone
    ULONG offset = 0;
};

// Resolves a register address for a `width`-byte access; false when refused (already reported).
bool Resolve(const char* routine, volatile void* address, ULONG width, Target* target) {
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    const ULONG_PTR a = reinterpret_cast<ULONG_PTR>(address);
    auto m = s.ioMappings.upper_bound(a);
    if (m != s.ioMappings.begin()) --m;
    if (m == s.ioMappings.end() || a < m->first || a - m->first >= m->second.length) {
        Violation(rule::kRegister, "%s(%p): not inside any register range mapped with MmMapIoSpace", routine,
                  const_cast<void*>(address));
        return false;
    }
    if (width != 4) {
        Violation(rule::kRegister, "%s(%p): %u-bit access; the register window takes 32-bit accesses only", routine,
                  const_cast<void*>(address), width * 8);
        return false;
    }
    if ((a & 3) != 0) {
        Violation(rule::kRegister, "%s(%p): unaligned register access", routine, const_cast<void*>(address));
        return false;
    }
    const ULONGLONG physical = m->second.physical + (a - m->first);
    auto w = s.windows.upper_bound(physical);
    if (w != s.windows.begin()) {
        --w;
        if (physical >= w->first && physical + width <= w->first + w->second.length) {
            target->window = w->second.window;
            target->offset = static_cast<ULONG>(physical - w->first);
            return true;
        }
    }
    for (const auto& [start, length] : s.detachedWindows) {
        if (physical >= start && physical + width <= start + length) {
            target->window = nullptr;
            return true;
        }
    }
    Violation(rule::kRegister, "%s(%p): physical address 0x%llX is outside the device's register window", routine,
              const_cast<void*>(address), static_cast<unsigned long long>(physical));
    return false;
}

void AfterAccess() {
    ConsumeTime(1);
    SchedulePoint();
}

ULONG Read(const char* routine, volatile void* address, ULONG width) {
    Target t;
    if (!Resolve(routine, address, width, &t)) return 0xFFFFFFFFu;
    const ULONG value = t.window != nullptr ? t.window->Read32(t.offset) : 0xFFFFFFFFu;
    AfterAccess();
    return value;
}

void Write(const char* routine, volatile void* address, ULONG width, ULONG value) {
    Target t;
    if (!Resolve(routine, address, width, &t)) return;
    if (t.window != nullptr) t.window->Write32(t.offset, value);
    AfterAccess();
}

}  // namespace

int ReportIoSpaceLeaks() {
    State& s = S();
    int count = 0;
    std::vector<std::pair<ULONGLONG, ULONG_PTR>> leaked;
    for (auto& [host, m] : s.ioMappings)
        if (!m.reported) leaked.push_back({m.serial, host});
    std::sort(leaked.begin(), leaked.end());
    for (auto& [serial, host] : leaked) {
        IoMapping& m = s.ioMappings[host];
        m.reported = true;
        Violation(rule::kPoolLeak, "mapped I/O space leaked (MmUnmapIoSpace never called): %zu bytes of physical 0x%llX at %p",
                  static_cast<size_t>(m.length), static_cast<unsigned long long>(m.physical),
                  reinterpret_cast<void*>(host));
        ++count;
    }
    return count;
}

void ShutdownIoSpace() {
    State& s = S();
    for (auto& [host, m] : s.ioMappings) munmap(reinterpret_cast<char*>(host) - BYTE_OFFSET(m.physical), m.mapLength);
    s.ioMappings.clear();
    s.windows.clear();
    s.detachedWindows.clear();
}

}  // namespace detail

ULONG MappedIoSpaceCount() {
    detail::State& s = detail::S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    return static_cast<ULONG>(s.ioMappings.size());
}

}  // namespace mm

void AttachRegisterWindow(ULONGLONG physicalAddress, ULONG length, RegisterWindow* window) {
    using namespace mm::detail;
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    for (const auto& [start, w] : s.windows) {
        if (physicalAddress < start + w.length && start < physicalAddress + length) {
            Violation(rule::kRegister, "AttachRegisterWindow(0x%llX, %u): overlaps the window at 0x%llX",
                      static_cast<unsigned long long>(physicalAddress), length, static_cast<unsigned long long>(start));
            return;
        }
    }
    s.detachedWindows.erase(physicalAddress);
    s.windows[physicalAddress] = Window{length, window};
}

void DetachRegisterWindow(ULONGLONG physicalAddress) {
    using namespace mm::detail;
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    auto it = s.windows.find(physicalAddress);
    if (it == s.windows.end()) {
        Violation(rule::kRegister, "DetachRegisterWindow(0x%llX): no window attached there",
                  static_cast<unsigned long long>(physicalAddress));
        return;
    }
    s.detachedWindows[physicalAddress] = it->second.length;
    s.windows.erase(it);
}

}  // namespace hk

using namespace hk::mm::detail;

extern "C" {

PVOID MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, MEMORY_CACHING_TYPE CacheType) {
    const KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL) hk::Violation(hk::rule::kIrql, "MmMapIoSpace at IRQL %u (needs <= DISPATCH_LEVEL)", irql);
    if (NumberOfBytes == 0) return nullptr;
    const ULONGLONG physical = static_cast<ULONGLONG>(PhysicalAddress.QuadPart);
    const SIZE_T mapLength = ROUND_TO_PAGES(BYTE_OFFSET(physical) + NumberOfBytes);
    void* base = mmap(nullptr, mapLength, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base == MAP_FAILED) return nullptr;
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    IoMapping m;
    m.length = NumberOfBytes;
    m.mapLength = mapLength;
    m.physical = physical;
    m.serial = NextSerial();
    char* host = static_cast<char*>(base) + BYTE_OFFSET(physical);
    m.host = host;
    s.ioMappings[reinterpret_cast<ULONG_PTR>(host)] = m;
    (void)CacheType;
    return host;
}

void MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes) {
    const KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL) hk::Violation(hk::rule::kIrql, "MmUnmapIoSpace at IRQL %u (needs <= DISPATCH_LEVEL)", irql);
    State& s = S();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    auto it = s.ioMappings.find(reinterpret_cast<ULONG_PTR>(BaseAddress));
    if (it == s.ioMappings.end()) {
        hk::Violation(hk::rule::kPoolMisuse, "MmUnmapIoSpace(%p): not an address returned by MmMapIoSpace", BaseAddress);
        return;
    }
    if (it->second.length != NumberOfBytes)
        hk::Violation(hk::rule::kPoolMisuse, "MmUnmapIoSpace(%p, %zu): mapped with %zu bytes", BaseAddress,
                      static_cast<size_t>(NumberOfBytes), static_cast<size_t>(it->second.length));
    munmap(static_cast<char*>(BaseAddress) - BYTE_OFFSET(it->second.physical), it->second.mapLength);
    s.ioMappings.erase(it);
}

ULONG READ_REGISTER_ULONG(volatile ULONG* Register) { return Read("READ_REGISTER_ULONG", Register, 4); }

void WRITE_REGISTER_ULONG(volatile ULONG* Register, ULONG Value) { Write("WRITE_REGISTER_ULONG", Register, 4, Value); }

USHORT READ_REGISTER_USHORT(volatile USHORT* Register) {
    return static_cast<USHORT>(Read("READ_REGISTER_USHORT", Register, 2));
}

void WRITE_REGISTER_USHORT(volatile USHORT* Register, USHORT Value) {
    Write("WRITE_REGISTER_USHORT", Register, 2, Value);
}

UCHAR READ_REGISTER_UCHAR(volatile UCHAR* Register) { return static_cast<UCHAR>(Read("READ_REGISTER_UCHAR", Register, 1)); }

void WRITE_REGISTER_UCHAR(volatile UCHAR* Register, UCHAR Value) { Write("WRITE_REGISTER_UCHAR", Register, 1, Value); }

void READ_REGISTER_BUFFER_ULONG(volatile ULONG* Register, PULONG Buffer, ULONG Count) {
    for (ULONG i = 0; i < Count; ++i) Buffer[i] = Read("READ_REGISTER_BUFFER_ULONG", Register + i, 4);
}

void WRITE_REGISTER_BUFFER_ULONG(volatile ULONG* Register, PULONG Buffer, ULONG Count) {
    for (ULONG i = 0; i < Count; ++i) Write("WRITE_REGISTER_BUFFER_ULONG", Register + i, 4, Buffer[i]);
}

}  // extern "C"
