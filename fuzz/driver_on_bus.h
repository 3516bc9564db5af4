// The driver started on a simulated controller, booted once per fuzzing process and reused by
// every input: the host kernel, the model's default bus (two IIDC cameras and an SBP-2 unit
// behind a three-port plain node), the driver loaded and the controller plugged on the fake PCI
// bus, the first reset settled. The scheduler seed is 0 (a run replays exactly) unless
// KX_FUZZ_SEED names another.
#pragma once

#include <map>
#include <string>

#include "frame/device.h"
#include "hk_core.h"
#include "hk_sim_host.h"
#include "core/controller.h"

namespace kxfuzz {

inline constexpr ULONGLONG kMs = 10000;  // 100 ns units

struct DriverOnBus {
    static DriverOnBus& Get();

    OhciController* Controller() { return &ControllerExtension(fdo)->Controller; }
    // The driver's view agrees with the model's last self-identification, and no gate or bus
    // event stays behind.
    void CheckConsistent();

    hk::Kernel* kernel = nullptr;
    hk::SimulatedController* sim = nullptr;
    std::map<std::string, sim::Node*> nodes;
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
};

}  // namespace kxfuzz
