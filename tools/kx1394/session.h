// The driver on a simulated bus, and a user process that talks to it.
//
// A Session boots the host kernel, builds a simulated OHCI controller with the bus of a
// description, loads the driver, plugs the controller on the fake PCI bus and lets the first bus
// reset settle in virtual time. From then on everything goes through what a user program has: a
// process of its own, the device interface, DeviceIoControl with buffers in the process's memory,
// and events the process creates. The model is touched only to change the bus (plug and unplug
// nodes on a schedule), as a person with a cable would.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bus_description.h"
#include "hk_core.h"
#include "hk_sim_host.h"

namespace kx1394 {

inline constexpr ULONGLONG kTicksPerMs = 10000;
inline constexpr ULONGLONG kTicksPerSecond = 10000000;

// One DeviceIoControl and what came back.
struct Answer {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    ULONG returned = 0;
    std::vector<uint8_t> out;  // the whole output buffer after the call
};

class Session {
public:
    // Boots the kernel with room for `virtualSeconds` of work beyond the start.
    explicit Session(double virtualSeconds);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Builds the bus of a parsed description; ROM files are looked up in `romDirectory`.
    bool BuildBus(const sim::BusDescription& description, const std::string& romDirectory, std::string* error);
    // Loads the driver, plugs the controller, settles for `settle` ticks, creates the user process
    // and opens the device interface.
    bool Start(ULONGLONG settle, bool process32, std::string* error);

    // DeviceIoControl from the user process: the input is copied into a buffer of the process, the
    // output buffer (outLength bytes, zero-filled) is the process's too.
    Answer Control(ULONG code, const void* in, ULONG inLength, ULONG outLength);

    // Lets virtual time pass on the calling thread (the driver and the model run meanwhile).
    void Run(ULONGLONG ticks);
    ULONGLONG Now() const;

    PEPROCESS process() const { return process_; }
    PDEVICE_OBJECT pdo() const { return pdo_; }
    bool is32Bit() const { return process32_; }
    hk::SimulatedController& simulation() { return *sim_; }
    // Nodes of the bus by their name in the description.
    const std::map<std::string, sim::Node*>& nodes() const { return nodes_; }

private:
    std::unique_ptr<hk::Kernel> kernel_;
    std::unique_ptr<hk::SimulatedController> sim_;
    std::map<std::string, sim::Node*> nodes_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
    PEPROCESS process_ = nullptr;
    HANDLE device_ = nullptr;
    bool process32_ = false;
};

// "STATUS_NOT_IMPLEMENTED", or the value in hex for a status without a name here.
std::string StatusName(NTSTATUS status);

}  // namespace kx1394
