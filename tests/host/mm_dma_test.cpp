// Host kernel mm: DMA adapters, common buffers, scatter/gather lists on the 32-bit bus address
// space, and register windows.
#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "hk_ke_test.h"
#include "hk_mm_test.h"
#include "kxplatform.h"

namespace {

bool Contains(const char* text, const char* part) { return std::string(text).find(part) != std::string::npos; }

struct Dma {
    DEVICE_OBJECT pdo{};
    PDMA_ADAPTER adapter = nullptr;
    ULONG mapRegisters = 0;
    Dma() {
        DEVICE_DESCRIPTION d{};
        d.Version = DEVICE_DESCRIPTION_VERSION;
        d.Master = TRUE;
        d.ScatterGather = TRUE;
        d.Dma32BitAddresses = TRUE;
        d.InterfaceType = PCIBus;
        d.MaximumLength = 0x7FFFFFFF;
        adapter = IoGetDmaAdapter(&pdo, &d, &mapRegisters);
    }
    ~Dma() {
        if (adapter != nullptr) adapter->DmaOperations->PutDmaAdapter(adapter);
    }
};

TEST(MmDma, CommonBufferLivesOnTheBusUntilFreed) {
    hk::Kernel kernel;
    Dma dma;
    ASSERT_NE(nullptr, dma.adapter);
    EXPECT_EQ(17u, dma.mapRegisters);
    EXPECT_EQ(1u, dma.adapter->DmaOperations->GetDmaAlignment(dma.adapter));
    PHYSICAL_ADDRESS logical;
    auto* host = static_cast<UCHAR*>(dma.adapter->DmaOperations->AllocateCommonBuffer(dma.adapter, 5000, &logical, FALSE));
    ASSERT_NE(nullptr, host);
    const ULONG bus = logical.LowPart;
    EXPECT_EQ(0, logical.HighPart) << "bus addresses are below 4 GiB";
    EXPECT_EQ(0u, bus % PAGE_SIZE);
    EXPECT_NE(reinterpret_cast<ULONG_PTR>(host), static_cast<ULONG_PTR>(logical.QuadPart)) << "not identity-mapped";
    const char text[] = "written by the device across a page boundary";
    ASSERT_TRUE(hk::BusWrite(bus + PAGE_SIZE - 10, text, sizeof text));
    EXPECT_EQ(0, memcmp(host + PAGE_SIZE - 10, text, sizeof text));
    dma.adapter->DmaOperations->FreeCommonBuffer(dma.adapter, 5000, logical, host, FALSE);
    hk::ExpectViolation v(hk::rule::kDmaFault);
    char back[8];
    EXPECT_FALSE(hk::BusRead(bus + 16, back, sizeof back));
    EXPECT_EQ(1, v.Count());
    ASSERT_EQ(1u, hk::mm::BusFaults().size());
    EXPECT_EQ(bus + 16, hk::mm::BusFaults()[0].address);
    EXPECT_FALSE(hk::mm::BusFaults()[0].write);
    char address[16];
    snprintf(address, sizeof address, "0x%08X", bus + 16);
    EXPECT_TRUE(Contains(v.LastMessage(), address)) << v.LastMessage();
}

struct Captured {
    NTSTATUS status = STATUS_PENDING;
    std::vector<SCATTER_GATHER_ELEMENT> elements;
    PSCATTER_GATHER_LIST list = nullptr;
    KIRQL irql = 0;
};

void OnList(PDEVICE_OBJECT, PIRP, PSCATTER_GATHER_LIST list, PVOID context) {
    auto* c = static_cast<Captured*>(context);
    c->list = list;
    c->irql = KeGetCurrentIrql();
    c->elements.assign(list->Elements, list->Elements + list->NumberOfElements);
}

// Locks [va, va + length) of the current process and asks for its scatter/gather list.
Captured Map(Dma& dma, PMDL mdl, char* va, ULONG length) {
    Captured c;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    c.status = dma.adapter->DmaOperations->GetScatterGatherList(dma.adapter, &dma.pdo, mdl, va, length, OnList, &c,
                                                                 TRUE);
    KeLowerIrql(old);
    return c;
}

TEST(MmDma, ScatterGatherSplitsAnUnalignedBufferAtPagesAndOptionallySmaller) {
    hk::Kernel kernel;
    Dma dma;
    char* buffer = static_cast<char*>(hk::user::Alloc(hk::CurrentProcess(), 5 * PAGE_SIZE));
    for (ULONG i = 0; i < 5 * PAGE_SIZE; ++i) buffer[i] = static_cast<char>(i * 7);
    char* va = static_cast<char*>(PAGE_ALIGN(buffer)) + PAGE_SIZE + 0x123;  // 3 pages' worth over 4 pages
    const ULONG length = 3 * PAGE_SIZE;
    PMDL mdl = IoAllocateMdl(va, length, FALSE, FALSE, nullptr);
    ASSERT_EQ(STATUS_SUCCESS, KxProbeAndLockPages(mdl, UserMode, IoReadAccess));
    struct Case {
        ULONG split;
        std::vector<ULONG> lengths;
    };
    const Case cases[] = {
        {0, {PAGE_SIZE - 0x123, PAGE_SIZE, PAGE_SIZE, 0x123}},
        {0x800, {0x800, 0x6DD, 0x800, 0x800, 0x800, 0x800, 0x123}},
    };
    for (const Case& k : cases) {
        hk::mm::SetSgSplit(k.split);
        Captured c = Map(dma, mdl, va, length);
        ASSERT_EQ(STATUS_SUCCESS, c.status);
        EXPECT_EQ(DISPATCH_LEVEL, c.irql) << "the list is handed over at DISPATCH_LEVEL";
        ASSERT_EQ(k.lengths.size(), c.elements.size()) << "split " << k.split;
        const char* expected = va;
        for (size_t i = 0; i < c.elements.size(); ++i) {
            const SCATTER_GATHER_ELEMENT& e = c.elements[i];
            EXPECT_EQ(k.lengths[i], e.Length) << "element " << i;
            EXPECT_EQ(0, e.Address.HighPart);
            EXPECT_EQ(BYTE_OFFSET(expected), BYTE_OFFSET(e.Address.LowPart)) << "element " << i;
            std::vector<char> seen(e.Length);
            ASSERT_TRUE(hk::BusRead(e.Address.LowPart, seen.data(), e.Length));
            EXPECT_EQ(0, memcmp(seen.data(), expected, e.Length)) << "element " << i;
            expected += e.Length;
        }
        // Pages are not contiguous on the bus: the page after each mapped one is a hole.
        const ULONG first = c.elements[0].Address.LowPart;
        {
            hk::ExpectViolation v(hk::rule::kDmaFault);
            EXPECT_FALSE(hk::BusWrite(first, "x", 1)) << "pages locked for IoReadAccess are read-only to the device";
            EXPECT_TRUE(Contains(v.LastMessage(), "locked for reading only")) << v.LastMessage();
        }
        EXPECT_FALSE(hk::mm::IsBusMapped((first & ~(PAGE_SIZE - 1)) + PAGE_SIZE));
        dma.adapter->DmaOperations->PutScatterGatherList(dma.adapter, c.list, TRUE);
        EXPECT_FALSE(hk::mm::IsBusMapped(first)) << "put back: unmapped";
    }
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
}

// Bounce buffers: the device writes pages of the adapter's own; the buffer gets the bytes when the
// list is put back, and a list built for a write to the device carries the buffer's bytes.
TEST(MmDma, BounceBuffersReachTheBufferWhenTheListIsPutBack) {
    hk::Kernel kernel;
    hk::mm::SetBounceBuffers(true);
    Dma dma;
    char* buffer = static_cast<char*>(hk::user::Alloc(hk::CurrentProcess(), 3 * PAGE_SIZE));
    memset(buffer, 'b', 3 * PAGE_SIZE);
    char* va = static_cast<char*>(PAGE_ALIGN(buffer)) + PAGE_SIZE + 100;
    PMDL mdl = IoAllocateMdl(va, 200, FALSE, FALSE, nullptr);
    ASSERT_EQ(KxProbeAndLockPages(mdl, UserMode, IoModifyAccess), STATUS_SUCCESS);
    Captured in = Map(dma, mdl, va, 200);
    ASSERT_EQ(in.status, STATUS_SUCCESS);
    ASSERT_EQ(in.elements.size(), 1u);
    const ULONG bus = in.elements[0].Address.LowPart;
    char back[4] = {};
    ASSERT_TRUE(hk::BusRead(bus, back, 4));
    EXPECT_EQ(memcmp(back, "bbbb", 4), 0) << "a list maps the buffer's bytes for the device to read";
    ASSERT_TRUE(hk::BusWrite(bus, "data", 4));
    EXPECT_EQ(memcmp(va, "bbbb", 4), 0) << "the device wrote a bounce page, not the buffer";
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    dma.adapter->DmaOperations->PutScatterGatherList(dma.adapter, in.list, FALSE);
    KeLowerIrql(old);
    EXPECT_EQ(memcmp(va, "data", 4), 0) << "put back: the buffer has what the device wrote";
    EXPECT_EQ(va[4], 'b');
    EXPECT_EQ(va[-1], 'b') << "nothing outside the list's bytes";
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
}

// A driver that maps page after page, each from the execution routine of the one before.
struct Chain {
    Dma* dma;
    PMDL mdl;
    char* va;
    ULONG pages;
    std::vector<PSCATTER_GATHER_LIST> lists;
};

void NextOfChain(PDEVICE_OBJECT, PIRP, PSCATTER_GATHER_LIST list, PVOID context) {
    auto* c = static_cast<Chain*>(context);
    c->lists.push_back(list);
    if (c->lists.size() == c->pages) return;
    char* next = c->va + c->lists.size() * PAGE_SIZE;
    (void)c->dma->adapter->DmaOperations->GetScatterGatherList(c->dma->adapter, &c->dma->pdo, c->mdl, next, PAGE_SIZE,
                                                                NextOfChain, c, FALSE);
}

TEST(MmDma, ListsAskedForFromTheirOwnExecutionRoutinesNestOnTheKernelStack) {
    hk::Kernel kernel;
    Dma dma;
    char* buffer = static_cast<char*>(hk::user::Alloc(hk::CurrentProcess(), 9 * PAGE_SIZE));
    char* va = static_cast<char*>(PAGE_ALIGN(buffer)) + PAGE_SIZE;
    PMDL mdl = IoAllocateMdl(va, 8 * PAGE_SIZE, FALSE, FALSE, nullptr);
    ASSERT_EQ(STATUS_SUCCESS, KxProbeAndLockPages(mdl, UserMode, IoWriteAccess));
    for (ULONG pages : {4u, 8u}) {
        Chain chain{&dma, mdl, va, pages, {}};
        hk::ExpectViolation v(hk::rule::kKernelStack);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        EXPECT_EQ(STATUS_SUCCESS, dma.adapter->DmaOperations->GetScatterGatherList(dma.adapter, &dma.pdo, mdl, va, PAGE_SIZE,
                                                                                  NextOfChain, &chain, FALSE));
        for (PSCATTER_GATHER_LIST list : chain.lists) dma.adapter->DmaOperations->PutScatterGatherList(dma.adapter, list, FALSE);
        KeLowerIrql(old);
        EXPECT_EQ(pages, chain.lists.size());
        // Four routines one inside the other are bounded; a chain as long as the transfer is not.
        EXPECT_EQ(pages > 4 ? 1 : 0, v.Count()) << pages << " pages";
        if (pages > 4) {
            EXPECT_TRUE(Contains(v.LastMessage(), "5 levels deep")) << v.LastMessage();
        }
    }
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
}

TEST(MmDma, MapRegistersBoundATransfer) {
    hk::Kernel kernel;
    hk::mm::SetMapRegisters(4);
    Dma dma;
    EXPECT_EQ(4u, dma.mapRegisters);
    char* buffer = static_cast<char*>(hk::user::Alloc(hk::CurrentProcess(), 6 * PAGE_SIZE));
    char* va = static_cast<char*>(PAGE_ALIGN(buffer)) + PAGE_SIZE;
    PMDL mdl = IoAllocateMdl(va, 5 * PAGE_SIZE, FALSE, FALSE, nullptr);
    ASSERT_EQ(STATUS_SUCCESS, KxProbeAndLockPages(mdl, UserMode, IoWriteAccess));
    Captured four = Map(dma, mdl, va, 4 * PAGE_SIZE);
    EXPECT_EQ(STATUS_SUCCESS, four.status);
    EXPECT_EQ(4u, four.elements.size());
    dma.adapter->DmaOperations->PutScatterGatherList(dma.adapter, four.list, TRUE);
    Captured five = Map(dma, mdl, va, 4 * PAGE_SIZE + 1);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, five.status);
    EXPECT_EQ(nullptr, five.list) << "no callback when the transfer cannot be mapped";
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
}

TEST(MmDma, ScatterGatherBelowDispatchLevelViolatesIrql) {
    hk::Kernel kernel;
    Dma dma;
    void* block = ExAllocatePoolWithTag(NonPagedPool, 256, KX_TAG('S', 'g', 'I', 'r'));
    PMDL mdl = IoAllocateMdl(block, 256, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    Captured c;
    {
        hk::ExpectViolation v(hk::rule::kIrql);
        c.status = dma.adapter->DmaOperations->GetScatterGatherList(dma.adapter, &dma.pdo, mdl, block, 256, OnList,
                                                                     &c, TRUE);
        EXPECT_EQ(1, v.Count());
        EXPECT_TRUE(Contains(v.LastMessage(), "GetScatterGatherList at IRQL 0")) << v.LastMessage();
    }
    EXPECT_FALSE(NT_SUCCESS(c.status));
    EXPECT_EQ(nullptr, c.list);
    IoFreeMdl(mdl);
    ExFreePool(block);
}

TEST(MmDma, InjectedFailuresAndLeaksOfDmaResources) {
    hk::Kernel kernel;
    Dma kept;
    PHYSICAL_ADDRESS logical;
    hk::mm::FailCommonBuffer(2);
    void* first = kept.adapter->DmaOperations->AllocateCommonBuffer(kept.adapter, PAGE_SIZE, &logical, TRUE);
    EXPECT_NE(nullptr, first);
    EXPECT_EQ(nullptr, kept.adapter->DmaOperations->AllocateCommonBuffer(kept.adapter, PAGE_SIZE, &logical, TRUE));
    void* block = ExAllocatePoolWithTag(NonPagedPool, 64, KX_TAG('S', 'g', 'L', 'k'));
    PMDL mdl = IoAllocateMdl(block, 64, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    hk::mm::FailScatterGather(1);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, Map(kept, mdl, static_cast<char*>(block), 64).status);
    Captured c = Map(kept, mdl, static_cast<char*>(block), 64);
    ASSERT_EQ(STATUS_SUCCESS, c.status);

    // Left behind: a common buffer, a scatter/gather list and a second adapter never put.
    Dma forgotten;
    PDMA_ADAPTER lost = forgotten.adapter;
    forgotten.adapter = nullptr;
    hk::ExpectViolation v(hk::rule::kPoolLeak);
    // Also named: the adapter still in use (not put yet), the pool block and the MDL.
    EXPECT_EQ(6, hk::ReportLeaks());
    EXPECT_TRUE(Contains(v.LastMessage(), "DMA adapter leaked")) << v.LastMessage();
    (void)lost;
    kept.adapter->DmaOperations->PutScatterGatherList(kept.adapter, c.list, TRUE);
    kept.adapter->DmaOperations->FreeCommonBuffer(kept.adapter, PAGE_SIZE, logical, first, TRUE);
    IoFreeMdl(mdl);
    ExFreePool(block);
}

// ---- Register windows

class ScriptedWindow : public hk::RegisterWindow {
public:
    ULONG Read32(ULONG offset) override {
        reads.push_back(offset);
        return 0xC0DE0000u | offset;
    }
    void Write32(ULONG offset, ULONG value) override { writes.push_back({offset, value}); }
    std::vector<ULONG> reads;
    std::vector<std::pair<ULONG, ULONG>> writes;
};

bool Readable(const void* address) {
    int fds[2];
    if (pipe(fds) != 0) return true;
    const ssize_t n = write(fds[1], address, 1);  // the kernel copies the byte, or answers EFAULT
    const int error = errno;
    close(fds[0]);
    close(fds[1]);
    return n == 1 || error != EFAULT;
}

TEST(MmRegisters, AccessesReachTheWindowAndCostVirtualTime) {
    hk::Kernel kernel;
    ScriptedWindow window;
    constexpr ULONGLONG kBar = 0xFE000000ull;
    hk::AttachRegisterWindow(kBar, 0x800, &window);
    PHYSICAL_ADDRESS physical;
    physical.QuadPart = kBar;
    auto* regs = static_cast<volatile ULONG*>(MmMapIoSpace(physical, 0x800, MmNonCached));
    ASSERT_NE(nullptr, regs);
    EXPECT_FALSE(Readable(const_cast<ULONG*>(regs))) << "a register address cannot be dereferenced";
    const ULONGLONG start = hk::Now();
    WRITE_REGISTER_ULONG(regs + 0x84 / 4, 0x12345678);
    EXPECT_EQ(0xC0DE0010u, READ_REGISTER_ULONG(regs + 0x10 / 4));
    ULONG block[3];
    READ_REGISTER_BUFFER_ULONG(regs + 0x20 / 4, block, 3);
    EXPECT_EQ(0xC0DE0028u, block[2]);
    EXPECT_EQ(5u, hk::Now() - start) << "100 ns per access";
    ASSERT_EQ(1u, window.writes.size());
    EXPECT_EQ(0x84u, window.writes[0].first);
    EXPECT_EQ(0x12345678u, window.writes[0].second);
    EXPECT_EQ((std::vector<ULONG>{0x10, 0x20, 0x24, 0x28}), window.reads);

    struct Case {
        const char* name;
        void (*run)(volatile ULONG* regs);
        const char* says;
    };
    const Case cases[] = {
        {"past the mapping", [](volatile ULONG* r) { READ_REGISTER_ULONG(r + 0x800 / 4); }, "not inside any"},
        {"unaligned", [](volatile ULONG* r) {
             WRITE_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(reinterpret_cast<volatile UCHAR*>(r) + 2), 1);
         }, "unaligned"},
        {"byte access", [](volatile ULONG* r) { READ_REGISTER_UCHAR(reinterpret_cast<volatile UCHAR*>(r)); },
         "8-bit access"},
        {"random address", [](volatile ULONG*) {
             static ULONG plain;
             READ_REGISTER_ULONG(&plain);
         }, "not inside any"},
    };
    for (const Case& c : cases) {
        hk::ExpectViolation v(hk::rule::kRegister);
        c.run(regs);
        EXPECT_EQ(1, v.Count()) << c.name;
        EXPECT_TRUE(Contains(v.LastMessage(), c.says)) << c.name << ": " << v.LastMessage();
    }
    EXPECT_EQ(4u, window.reads.size()) << "refused accesses never reach the window";

    // The device is gone: reads return all ones, writes are dropped, nothing is reported.
    hk::DetachRegisterWindow(kBar);
    EXPECT_EQ(0xFFFFFFFFu, READ_REGISTER_ULONG(regs));
    WRITE_REGISTER_ULONG(regs, 1);
    EXPECT_EQ(1u, window.writes.size());
    {
        hk::ExpectViolation v(hk::rule::kPoolLeak);
        EXPECT_EQ(1, hk::ReportLeaks());
        EXPECT_TRUE(Contains(v.LastMessage(), "mapped I/O space leaked")) << v.LastMessage();
    }
    MmUnmapIoSpace(const_cast<ULONG*>(regs), 0x800);
    EXPECT_EQ(0u, hk::mm::MappedIoSpaceCount());
    hk::ExpectViolation v(hk::rule::kRegister);
    READ_REGISTER_ULONG(regs);  // after MmUnmapIoSpace
    EXPECT_EQ(1, v.Count());
    EXPECT_TRUE(Contains(v.LastMessage(), "not inside any")) << v.LastMessage();
}

}  // namespace
