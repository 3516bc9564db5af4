// Host kernel: the hardware model's seam (sim::Host) on the host kernel's virtual processor — the
// virtual clock and its clock events, the 32-bit bus address space, a device's interrupt line —
// and a register window over a simulated OHCI controller, with what a test needs to plug that
// controller on the fake PCI bus. Driver code never includes this header.
#pragma once

#include <cstdint>
#include <functional>
#include <map>

#include "bus.h"
#include "hk_core.h"
#include "hk_io_test.h"
#include "hk_node_cache.h"
#include "ohci_controller.h"
#include "sim_host.h"

namespace hk {

// Clock events run on the virtual processor (hk::ScheduleClockEvent) at the time asked for; DMA
// goes through hk::BusRead/BusWrite (an unmapped page is a DMA_FAULT and the access fails); the
// interrupt line is the one of `vector`. Events still pending are cancelled when it goes.
class SimHost : public sim::Host {
public:
    explicit SimHost(ULONG vector) : vector_(vector) {}
    ~SimHost() override;
    SimHost(const SimHost&) = delete;
    SimHost& operator=(const SimHost&) = delete;

    sim::Ticks Now() override;
    uint64_t Schedule(sim::Ticks when, std::function<void()> event) override;
    bool Cancel(uint64_t id) override;
    bool DmaRead(uint32_t busAddress, void* destination, uint32_t length) override;
    bool DmaWrite(uint32_t busAddress, const void* source, uint32_t length) override;
    void SetInterruptLine(bool asserted) override;

    ULONG vector() const { return vector_; }
    size_t PendingEvents() const { return events_.size(); }

private:
    // One scheduled event; its address is the context the clock callback gets (map nodes stay put).
    struct Event {
        SimHost* host = nullptr;
        uint64_t id = 0;            // ours, returned by Schedule
        ULONGLONG clockEvent = 0;   // the host kernel's
        std::function<void()> run;
    };
    static void Fire(void* context);

    ULONG vector_;
    uint64_t nextId_ = 1;
    std::map<uint64_t, Event> events_;
    NodeCache<std::map<uint64_t, Event>> eventNodes_;
};

// BAR0 of the simulated controller: each 32-bit access reaches the controller's register file.
class SimRegisterWindow : public RegisterWindow {
public:
    explicit SimRegisterWindow(sim::OhciController* controller) : controller_(controller) {}
    ULONG Read32(ULONG offset) override { return controller_->ReadRegister(offset); }
    void Write32(ULONG offset, ULONG value) override { controller_->WriteRegister(offset, value); }

private:
    sim::OhciController* controller_;
};

// A simulated OHCI controller on its own bus, ready to plug on the fake PCI bus:
//   hk::SimulatedController sim;
//   hk::pci::PlugDevice(driver, sim.PciConfig());
// Make it inside a Kernel scope and let it go before the Kernel (its clock events live there).
struct SimulatedController {
    explicit SimulatedController(const sim::OhciController::Config& config = sim::OhciController::Config(),
                                 ULONG vector = pci::DeviceConfig().vector);
    SimulatedController(const SimulatedController&) = delete;
    SimulatedController& operator=(const SimulatedController&) = delete;

    // The fake PCI function: BAR0 is this window, the interrupt this vector.
    pci::DeviceConfig PciConfig() const;

    SimHost host;
    sim::Bus bus;
    sim::OhciController* controller;  // owned by the bus
    SimRegisterWindow window;
};

}  // namespace hk
