// What the driver benchmarks share: the driver loaded on a simulated controller that is already
// plugged with its bus, and a user program that opened the device and registered as a client.
#pragma once

#include <cstring>

#include "frame/driver.h"
#include "hk_core.h"
#include "hk_io_test.h"
#include "hk_ke_test.h"
#include "hk_mm_test.h"
#include "hk_sim_host.h"
#include "kx1394.h"

namespace bench {

struct Program {
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    PEPROCESS process = nullptr;
    HANDLE device = nullptr;
    UCHAR* memory = nullptr;  // 8192 bytes of the program's own memory
};

// Lets the bus settle, loads the driver, starts the controller and registers a program as a client.
// False when any step fails.
inline bool StartDriverAndProgram(hk::SimulatedController& sim, Program* program) {
    constexpr ULONGLONG kMs = 10000;  // 100 ns units
    hk::RunFor(10 * kMs);
    if (!NT_SUCCESS(hk::LoadDriver(DriverEntry, "KX1394DRV64", &program->driver))) return false;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    program->pdo = hk::pci::PlugDevice(program->driver, sim.PciConfig(), &status);
    hk::RunFor(500 * kMs);
    if (!NT_SUCCESS(status)) return false;
    program->process = hk::CreateProcess("bench", false);
    hk::user::OpenDeviceInterface(program->process, GUID_KX1394_CONTROLLER_INTERFACE, 0, &program->device);
    program->memory = static_cast<UCHAR*>(hk::user::Alloc(program->process, 8192));
    HANDLE terminate = hk::user::CreateEvent(program->process, true, false);
    ULONGLONG handle = reinterpret_cast<ULONG_PTR>(terminate);
    memcpy(program->memory, &handle, 8);
    return hk::user::DeviceIoControl(program->process, program->device, IOCTL_REGISTER_CLIENT, program->memory, 8,
                                     nullptr, 0, nullptr) == STATUS_SUCCESS;
}

}  // namespace bench
