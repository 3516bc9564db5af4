// CPU cost of one bus reset on a 63-node bus: the model's reset on the host kernel with no driver
// on the controller, and the same with the driver started (its interrupt, both deferred calls and
// the bus management thread's pass). The difference is the driver's share; kx_sim_bench gives the
// model's cost on its own standalone host.
#include <benchmark/benchmark.h>

#include <memory>

#include "csr_node.h"
#include "frame/device.h"
#include "frame/driver.h"
#include "hk_core.h"
#include "hk_io_test.h"
#include "hk_ke_test.h"
#include "hk_sim_host.h"

namespace {

constexpr ULONGLONG kMs = 10000;  // 100 ns units
constexpr ULONGLONG kResetSpacing = 20 * kMs;

hk::Options Unpreempted() {
    hk::Options options;
    options.seed = 0;
    options.timeBudget100ns = ~0ull;
    options.memoryGuards = false;  // the driver's own cost, without the guarded pages' system calls
    return options;
}

// The controller and 62 three-port S400 nodes in a daisy chain.
std::unique_ptr<hk::SimulatedController> Build63(ULONG vector) {
    auto sim = std::make_unique<hk::SimulatedController>(sim::OhciController::Config(), vector);
    sim::Node* previous = sim->controller;
    int port = 0;
    for (int i = 0; i < 62; ++i) {
        sim::Node* node = sim->bus.Add(std::make_unique<sim::CsrNode>("node", 3, sim::kS400, sim::ConfigRom()));
        sim->bus.Connect(previous, port, node, 0);
        previous = node;
        port = 1;
    }
    hk::RunFor(10 * kMs);
    return sim;
}

void BM_BusReset63NodesModelOnHost(benchmark::State& state) {
    hk::Kernel kernel(Unpreempted());
    auto sim = Build63(0x51);
    for (auto _ : state) {
        sim->bus.RequestReset(false);
        hk::RunFor(kResetSpacing);
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_BusReset63NodesModelOnHost);

void BM_BusReset63NodesWithDriver(benchmark::State& state) {
    hk::Kernel kernel(Unpreempted());
    auto sim = Build63(hk::pci::DeviceConfig().vector);
    PDRIVER_OBJECT driver = nullptr;
    if (!NT_SUCCESS(hk::LoadDriver(DriverEntry, "KX1394DRV64", &driver))) {
        state.SkipWithError("driver did not load");
        return;
    }
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDEVICE_OBJECT pdo = hk::pci::PlugDevice(driver, sim->PciConfig(), &status);
    hk::RunFor(500 * kMs);
    OhciController* controller = &ControllerExtension(pdo->AttachedDevice)->Controller;
    if (!NT_SUCCESS(status) || controller->NodeCount != 63) {
        state.SkipWithError("controller did not start on the 63-node bus");
    } else {
        LONG passes = controller->BusPassCount;
        for (auto _ : state) {
            sim->bus.RequestReset(false);
            hk::RunFor(kResetSpacing);
        }
        if (controller->BusPassCount - passes != LONG(state.iterations()))
            state.SkipWithError("a reset was not handled by its own thread pass");
        state.SetItemsProcessed(int64_t(state.iterations()));
    }
    hk::pnp::Unplug(pdo);
    hk::UnloadDriver(driver);
}
BENCHMARK(BM_BusReset63NodesWithDriver);

}  // namespace

BENCHMARK_MAIN();
