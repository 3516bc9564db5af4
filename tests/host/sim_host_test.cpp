// The hardware model's seam on the host kernel: clock events on the virtual clock, DMA through
// the bus address space, the interrupt line, and the register window of a simulated controller.
#include <gtest/gtest.h>
#include <string.h>

#include <vector>

#include "hk_ke_test.h"
#include "hk_mm_test.h"
#include "hk_sim_host.h"
#include "kxplatform.h"

namespace {

TEST(SimHost, ClockEventsRunInTimeOrderOnTheVirtualClock) {
    hk::Kernel kernel;
    hk::SimHost host(0x50);
    std::vector<std::pair<int, sim::Ticks>> ran;
    const sim::Ticks start = host.Now();
    EXPECT_EQ(hk::Now(), start);
    host.Schedule(start + 300, [&] { ran.push_back({3, host.Now()}); });
    host.Schedule(start + 100, [&] {
        ran.push_back({1, host.Now()});
        // An event may schedule another.
        host.Schedule(host.Now() + 50, [&] { ran.push_back({2, host.Now()}); });
    });
    uint64_t cancelled = host.Schedule(start + 200, [&] { ran.push_back({99, host.Now()}); });
    EXPECT_TRUE(host.Cancel(cancelled));
    EXPECT_FALSE(host.Cancel(cancelled));
    EXPECT_EQ(2u, host.PendingEvents());
    hk::RunFor(1000);
    std::vector<std::pair<int, sim::Ticks>> expected{{1, start + 100}, {2, start + 150}, {3, start + 300}};
    EXPECT_EQ(expected, ran);
    EXPECT_EQ(0u, host.PendingEvents());
}

TEST(SimHost, PendingEventsGoWithTheHost) {
    hk::Kernel kernel;
    bool ran = false;
    {
        hk::SimHost host(0x50);
        host.Schedule(host.Now() + 100, [&] { ran = true; });
    }
    hk::RunFor(1000);
    EXPECT_FALSE(ran);
    EXPECT_EQ(~0ull, hk::NextDeadline());
}

TEST(SimHost, DmaReachesTheBusAddressSpace) {
    hk::Kernel kernel;
    DEVICE_OBJECT pdo{};
    DEVICE_DESCRIPTION d{};
    d.Version = DEVICE_DESCRIPTION_VERSION;
    d.Master = TRUE;
    d.ScatterGather = TRUE;
    d.Dma32BitAddresses = TRUE;
    d.InterfaceType = PCIBus;
    d.MaximumLength = 0x7FFFFFFF;
    ULONG mapRegisters = 0;
    PDMA_ADAPTER adapter = IoGetDmaAdapter(&pdo, &d, &mapRegisters);
    ASSERT_NE(nullptr, adapter);
    PHYSICAL_ADDRESS logical;
    auto* memory = static_cast<UCHAR*>(adapter->DmaOperations->AllocateCommonBuffer(adapter, PAGE_SIZE, &logical, FALSE));
    ASSERT_NE(nullptr, memory);
    hk::SimHost host(0x50);
    const uint32_t bus = logical.LowPart;
    const char text[] = "written by the model";
    EXPECT_TRUE(host.DmaWrite(bus + 16, text, sizeof text));
    EXPECT_EQ(0, memcmp(memory + 16, text, sizeof text));
    memcpy(memory + 64, "read", 4);
    char back[4] = {};
    EXPECT_TRUE(host.DmaRead(bus + 64, back, 4));
    EXPECT_EQ(0, memcmp(back, "read", 4));
    {
        // Past the buffer: the host kernel records a DMA fault and the access fails.
        hk::ExpectViolation v(hk::rule::kDmaFault);
        EXPECT_FALSE(host.DmaRead(bus + PAGE_SIZE, back, 4));
        EXPECT_EQ(1, v.Count());
    }
    adapter->DmaOperations->FreeCommonBuffer(adapter, PAGE_SIZE, logical, memory, FALSE);
    adapter->DmaOperations->PutDmaAdapter(adapter);
}

TEST(SimHost, InterruptLineOfItsVector) {
    hk::Kernel kernel;
    hk::SimHost host(0x61);
    host.SetInterruptLine(true);
    EXPECT_TRUE(hk::IsInterruptLineAsserted(0x61));
    EXPECT_FALSE(hk::IsInterruptLineAsserted(0x50));
    host.SetInterruptLine(false);
    EXPECT_FALSE(hk::IsInterruptLineAsserted(0x61));
}

TEST(SimHost, SimulatedControllerBehindItsWindow) {
    hk::Kernel kernel;
    sim::OhciController::Config config;
    config.guid = 0x0123456789ABCDEFull;
    hk::SimulatedController sim(config, 0x52);
    hk::pci::DeviceConfig pci = sim.PciConfig();
    EXPECT_EQ(&sim.window, pci.window);
    EXPECT_EQ(0x52u, pci.vector);
    EXPECT_EQ(sim.controller, sim.bus.nodes().front().get());
    // OHCI 1.1 5.2: Version at 0x000; GUIDHi/GUIDLo at 0x024/0x028.
    EXPECT_EQ(config.version, pci.window->Read32(0x000));
    EXPECT_EQ(0x01234567u, pci.window->Read32(0x024));
    EXPECT_EQ(0x89ABCDEFu, pci.window->Read32(0x028));
    // IntMaskSet (0x088) then a read of IntMask through the Clear address (0x08C).
    pci.window->Write32(0x088, 0x00000001);
    EXPECT_EQ(0x00000001u, pci.window->Read32(0x08C) & 0x00000001);
}

}  // namespace
