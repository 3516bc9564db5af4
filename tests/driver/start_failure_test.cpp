// A start whose allocations fail one at a time (pool and lookaside blocks, then DMA common
// buffers): it fails or succeeds, and either way nothing is left behind once the controller is
// unplugged and the driver unloaded (the host kernel's leak report).
#include <memory>

#include "sim_fixture.h"

namespace {

class StartFailureTest : public ::testing::Test {
protected:
    hk::Kernel kernel_;

    // One plug of a fresh controller with a failure armed by `arm`; returns the start status.
    NTSTATUS PlugOnce(const std::function<void()>& arm) {
        auto sim = std::make_unique<hk::SimulatedController>();
        sim::Node* node = sim->bus.Add(std::make_unique<sim::CsrNode>("node", 3, sim::kS400, sim::ConfigRom()));
        sim->bus.Connect(sim->controller, 0, node, 0);
        hk::RunFor(10 * kMs100ns);
        PDRIVER_OBJECT driver = nullptr;
        EXPECT_EQ(hk::LoadDriver(DriverEntry, kServiceName, &driver), STATUS_SUCCESS);
        arm();
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        PDEVICE_OBJECT pdo = hk::pci::PlugDevice(driver, sim->PciConfig(), &status);
        hk::mm::ClearFailures();
        hk::RunFor(100 * kMs100ns);
        if (status != STATUS_SUCCESS) {
            for (ULONG tag : {KX_TAG('Z', 'O', 'S', 'P'), KX_TAG('Z', 'O', 'A', 'R'), KX_TAG('Z', 'O', 'A', 'T'),
                              KX_TAG('Z', 'O', 'P', 'I'), KX_TAG('Z', 's', 'p', 'N'), KX_TAG('Z', 's', 'p', 'M')})
                EXPECT_EQ(hk::mm::TagCount(tag), 0u);
            EXPECT_EQ(hk::mm::MappedIoSpaceCount(), 0u);
        }
        if (pdo != nullptr) hk::pnp::Unplug(pdo);
        hk::UnloadDriver(driver);
        EXPECT_TRUE(hk::mm::BusFaults().empty());
        return status;
    }
};

TEST_F(StartFailureTest, EachAllocationOfTheStartFailsInTurn) {
    ULONGLONG before = hk::mm::AllocationCount();
    ASSERT_EQ(PlugOnce([] {}), STATUS_SUCCESS);
    ULONGLONG total = hk::mm::AllocationCount() - before;
    ASSERT_GT(total, 10u);
    ULONG failedStarts = 0;
    for (ULONG k = 1; k <= ULONG(total); ++k) {
        NTSTATUS status = PlugOnce([k] { hk::mm::FailAllocation(k); });
        if (status != STATUS_SUCCESS) ++failedStarts;
        if (HasFailure()) {
            ADD_FAILURE() << "allocation " << k << " of " << total;
            return;
        }
    }
    EXPECT_GT(failedStarts, 10u);
}

TEST_F(StartFailureTest, EachCommonBufferFailsInTurn) {
    ULONG k = 1;
    for (; k < 200; ++k) {
        NTSTATUS status = PlugOnce([k] { hk::mm::FailCommonBuffer(k); });
        if (HasFailure()) {
            ADD_FAILURE() << "common buffer " << k;
            return;
        }
        if (status == STATUS_SUCCESS) break;
        EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    }
    // The ROM, the self-ID buffer, 2 x (descriptors + 16 receive buffers), 2 x (blocks + 8 slots).
    EXPECT_EQ(k, 55u);
}

}  // namespace
