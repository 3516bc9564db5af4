// CPU cost of one bus reset on a 63-node bus: the model's reset on the host kernel with no driver
// on the controller, and the same with the driver started (its interrupt, both deferred calls and
// the bus management thread's pass). The difference is the driver's share; kx_sim_bench gives the
// model's cost on its own standalone host.
//
// Asynchronous transactions from a user program, process CPU per transaction: a quadlet read round
// trip (control code, AT program, model, AR walk, the driver client's worker, the program's event)
// and a 2048-byte block write. Beside them the floor of the host kernel itself: a user call the
// driver answers at once. The driver's share is the round
// trip less the model's quadlet read through the controller (kx_sim_bench) and less that floor.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>

#include "csr_node.h"
#include "frame/device.h"
#include "frame/driver.h"
#include "hk_core.h"
#include "hk_io_test.h"
#include "hk_ke_test.h"
#include "hk_mm_test.h"
#include "hk_sim_host.h"
#include "kx1394.h"
#include "bench_program.h"

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

// The driver started on a bus of the controller and one plain node with registers, and a 64-bit
// program registered with it.
struct AsyncBench : bench::Program {
    static constexpr ULONGLONG kRegisters = 0xFFFFF0010000ull;
    std::unique_ptr<hk::SimulatedController> sim;
    sim::CsrNode* node = nullptr;
    HANDLE done = nullptr;
    bool ok = false;

    AsyncBench() {
        sim = std::make_unique<hk::SimulatedController>(sim::OhciController::Config(), hk::pci::DeviceConfig().vector);
        node = static_cast<sim::CsrNode*>(
            sim->bus.Add(std::make_unique<sim::CsrNode>("node", 3, sim::kS400, sim::ConfigRom())));
        sim->bus.Connect(sim->controller, 0, node, 0);
        node->responseDelay = sim::kTicksPerMicrosecond;
        for (ULONG i = 0; i < 1024; ++i) node->DefineRegister(kRegisters + 4 * i, i);
        ok = bench::StartDriverAndProgram(*sim, this);
        if (ok) done = hk::user::CreateEvent(process, false, false);
    }
    ~AsyncBench() {
        if (pdo != nullptr) hk::pnp::Unplug(pdo);
        if (driver != nullptr) hk::UnloadDriver(driver);
    }

    // One request in the 64-bit layout; waits for its event when it is pending. False on failure.
    bool Transact(ULONG code, ULONG length) {
        Kx1394AsyncIo64 record = {};
        record.DestinationNode = node->NodeId();
        record.Offset = kRegisters;
        record.Length = length;
        record.Event = reinterpret_cast<ULONG_PTR>(done);
        record.Data = reinterpret_cast<ULONG_PTR>(memory + 4096);
        record.StatusOut = reinterpret_cast<ULONG_PTR>(memory + 128);
        record.AckOut = reinterpret_cast<ULONG_PTR>(memory + 132);
        record.RcodeOut = reinterpret_cast<ULONG_PTR>(memory + 133);
        memcpy(memory, &record, sizeof(record));
        if (hk::user::DeviceIoControl(process, device, code, memory, 96, nullptr, 0, nullptr) != STATUS_SUCCESS)
            return false;
        if (memory[132] == 2 && hk::user::WaitEvent(process, done) != STATUS_SUCCESS) return false;
        ULONG status = 1;
        memcpy(&status, memory + 128, 4);
        return status == 0;
    }
};

void RunTransactions(benchmark::State& state, ULONG code, ULONG length) {
    hk::Kernel kernel(Unpreempted());
    AsyncBench bench;
    if (!bench.ok) {
        state.SkipWithError("driver did not start");
        return;
    }
    for (auto _ : state) {
        if (!bench.Transact(code, length)) {
            state.SkipWithError("a transaction failed");
            break;
        }
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
    state.SetBytesProcessed(int64_t(state.iterations()) * length);
}

void BM_UserQuadletReadRoundTrip(benchmark::State& state) { RunTransactions(state, IOCTL_ASYNC_READ, 4); }
BENCHMARK(BM_UserQuadletReadRoundTrip)->MeasureProcessCPUTime();

void BM_UserBlockWrite2048(benchmark::State& state) { RunTransactions(state, IOCTL_ASYNC_WRITE, 2048); }
BENCHMARK(BM_UserBlockWrite2048)->MeasureProcessCPUTime();

// The host kernel's floor, what a round trip costs the emulation itself: a user call the driver
// answers at once (IRP built, dispatched, completed and copied back by the emulated I/O manager),
// and two hand-overs of the processor to another emulated thread and back (the round trip wakes
// the program once when the ack arrives and once from the worker; each wake is a switch between
// real host threads).
void BM_UserCallFloor(benchmark::State& state) {
    hk::Kernel kernel(Unpreempted());
    AsyncBench bench;
    if (!bench.ok) {
        state.SkipWithError("driver did not start");
        return;
    }
    HANDLE ping = hk::user::CreateEvent(bench.process, false, false);
    HANDLE pong = hk::user::CreateEvent(bench.process, false, false);
    bool stop = false;
    PKTHREAD echo = hk::StartThread("echo", bench.process, [&] {
        for (;;) {
            hk::user::WaitEvent(bench.process, ping);
            if (stop) break;
            hk::user::SetEvent(bench.process, pong);
        }
    });
    for (auto _ : state) {
        hk::user::DeviceIoControl(bench.process, bench.device, IOCTL_GET_INTERFACE_VERSION, nullptr, 0,
                                  bench.memory, 12, nullptr);
        for (int i = 0; i < 2; ++i) {
            hk::user::SetEvent(bench.process, ping);
            hk::user::WaitEvent(bench.process, pong);
        }
    }
    stop = true;
    hk::user::SetEvent(bench.process, ping);
    hk::JoinThread(echo);
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_UserCallFloor)->MeasureProcessCPUTime();

}  // namespace

BENCHMARK_MAIN();
