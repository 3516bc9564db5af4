// The driver started on a simulated controller, booted once per fuzzing process and reused by
// every input: the host kernel, a bus (by default the model's default bus: two IIDC cameras and
// an SBP-2 unit behind a three-port plain node), the driver loaded and the controller plugged on
// the fake PCI bus, the first reset settled. The scheduler seed is 0 (a run replays exactly)
// unless KX_FUZZ_SEED names another.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "frame/device.h"
#include "fuzz_input.h"
#include "hk_core.h"
#include "hk_sim_host.h"
#include "core/controller.h"

namespace kxfuzz {

inline constexpr ULONGLONG kMs = 10000;  // 100 ns units

struct DriverOnBus;

// How a target wants its driver and bus; the first call of DriverOnBus::Get decides.
struct BusSetup {
    std::string description;   // a bus description (sim/bus_description.h); empty: the default bus
    bool enumerate = true;     // DesktopCameraEnable: the bus thread reads the nodes' ROMs after a reset
    // Nodes of the target's own, added and joined after the described bus is built and before the
    // driver starts (they are then in `nodes` under their names).
    std::function<void(DriverOnBus&)> addNodes;
};

struct DriverOnBus {
    static DriverOnBus& Get(const BusSetup& setup = BusSetup());

    OhciController* Controller() { return &ControllerExtension(fdo)->Controller; }
    // The driver's view agrees with the model's last self-identification, and no gate or bus
    // event stays behind.
    void CheckConsistent();
    // Adds a node of the target's own (in BusSetup::addNodes), joins its port 0 to the controller's
    // `port` and lists it under its name.
    template <typename T>
    T* Join(std::unique_ptr<T> node, int port) {
        T* added = node.get();
        KXF_CHECK(sim->bus.Add(std::move(node)) != nullptr);
        KXF_CHECK(sim->bus.Connect(sim->controller, port, added, 0));
        nodes[added->name()] = added;
        return added;
    }
    // Runs the clock in steps of `step` until `done` holds (checked after each step) or `limit`
    // has passed; returns whether it held.
    static bool RunUntil(const std::function<bool()>& done, ULONGLONG limit, ULONGLONG step = 2 * kMs);
    // No reset runs or waits for the bus thread, and its gates are open.
    bool Settled();
    // A clean bus reset, and the clock run (at most `limit`) until the bus thread's pass over it
    // has ended, enumeration included: a program's bus-ready event (IOCTL_SET_BUS_READY_EVENT)
    // tells, as it tells camera software.
    void SettleReset(ULONGLONG limit = 3000 * kMs);
    // A node (the local one too, through a request of the driver's own) may write the controller's
    // SPLIT_TIMEOUT, up to 256 seconds; it stays, as it stays across bus resets. The value the
    // driver started with, back before a target waits for held requests to time out (put in
    // place directly: bytes an input stored by hand may have stopped the request context).
    void RestoreSplitTimeout();
    // Once every request has ended, a label still taken is one that lingers for a transaction
    // that may yet be answered; the clock then runs past the split time-out (at most a second) so
    // that the next input finds those labels free at its first request to the node.
    void CheckLabelsLinger();

    hk::Kernel* kernel = nullptr;
    hk::SimulatedController* sim = nullptr;
    std::map<std::string, sim::Node*> nodes;
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    PEPROCESS watcher = nullptr;   // the program whose bus-ready event SettleReset waits for
    ULONG splitTimeoutHi = 0;      // SPLIT_TIMEOUT as the driver started
    ULONG splitTimeoutLo = 0;
    HANDLE busReady = nullptr;
};

}  // namespace kxfuzz
