// CPU cost of one bus reset on a 63-node bus: the model's reset with the driver's interrupt, both
// deferred calls and the bus management thread's pass, next to the same resets on the same host
// with no driver on the controller. Disabled by default; run with
//   kx_driver_tests --gtest_also_run_disabled_tests --gtest_filter='*BusResetCost*'
#include <time.h>

#include <memory>

#include "sim_fixture.h"

namespace {

constexpr int kResets = 300;
constexpr ULONGLONG kResetSpacing = 20 * kMs100ns;

double CpuSeconds() {
    timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

void Build63(hk::SimulatedController* sim) {
    sim::Node* previous = sim->controller;
    int port = 0;
    for (int i = 0; i < 62; ++i) {
        sim::Node* node = sim->bus.Add(std::make_unique<sim::CsrNode>("node", 3, sim::kS400, sim::ConfigRom()));
        sim->bus.Connect(previous, port, node, 0);
        previous = node;
        port = 1;
    }
    hk::RunFor(10 * kMs100ns);
}

// Microseconds of CPU per reset.
double ResetCost(hk::SimulatedController* sim) {
    double start = CpuSeconds();
    for (int i = 0; i < kResets; ++i) {
        sim->bus.RequestReset(false);
        hk::RunFor(kResetSpacing);
    }
    return (CpuSeconds() - start) * 1e6 / kResets;
}

class BusResetCostTest : public SimBusTest {
protected:
    BusResetCostTest() : SimBusTest(Unpreempted()) {}
    static hk::Options Unpreempted() {
        hk::Options options;
        options.seed = 0;
        return options;
    }
};

TEST_F(BusResetCostTest, DISABLED_CpuPerResetOn63NodeBus) {
    auto alone = std::make_unique<hk::SimulatedController>(sim::OhciController::Config(), 0x51);
    Build63(alone.get());
    double modelAlone = ResetCost(alone.get());
    alone.reset();

    sim_ = std::make_unique<hk::SimulatedController>();
    Build63(sim_.get());
    Start(500 * kMs100ns);
    ASSERT_EQ(start_, STATUS_SUCCESS);
    ASSERT_EQ(Controller()->NodeCount, 63u);
    LONG passes = Controller()->BusPassCount;
    double withDriver = ResetCost(sim_.get());
    EXPECT_EQ(Controller()->BusPassCount, passes + kResets);
    printf("bus reset, 63 nodes: model and host alone %.1f us CPU, model with the driver %.1f us CPU, "
           "driver's share %.1f us\n",
           modelAlone, withDriver, withDriver - modelAlone);
}

}  // namespace
