// Host kernel: the hardware model's seam on the virtual processor.
#include "hk_sim_host.h"

#include <memory>

namespace hk {

SimHost::~SimHost() {
    for (auto& entry : events_) CancelClockEvent(entry.second.clockEvent);
}

sim::Ticks SimHost::Now() { return hk::Now(); }

uint64_t SimHost::Schedule(sim::Ticks when, std::function<void()> event) {
    uint64_t id = nextId_++;
    Event& e = eventNodes_.Insert(events_, id, Event{})->second;
    e.host = this;
    e.id = id;
    e.run = std::move(event);
    e.clockEvent = ScheduleClockEvent(when, &SimHost::Fire, &e);
    return id;
}

bool SimHost::Cancel(uint64_t id) {
    auto it = events_.find(id);
    if (it == events_.end()) return false;
    CancelClockEvent(it->second.clockEvent);
    it->second.run = nullptr;  // what the event holds goes now, not when its node is reused
    eventNodes_.Erase(events_, it);
    return true;
}

// The entry leaves the table before the event runs: the event may schedule or cancel others.
void SimHost::Fire(void* context) {
    Event* e = static_cast<Event*>(context);
    SimHost* host = e->host;
    std::function<void()> run = std::move(e->run);
    host->eventNodes_.Erase(host->events_, e->id);
    run();
}

bool SimHost::DmaRead(uint32_t busAddress, void* destination, uint32_t length) {
    return BusRead(busAddress, destination, length);
}

bool SimHost::DmaWrite(uint32_t busAddress, const void* source, uint32_t length) {
    return BusWrite(busAddress, source, length);
}

void SimHost::SetInterruptLine(bool asserted) { hk::SetInterruptLine(vector_, asserted); }

SimulatedController::SimulatedController(const sim::OhciController::Config& config, ULONG vector)
    : host(vector),
      bus(host),
      controller(static_cast<sim::OhciController*>(bus.Add(std::make_unique<sim::OhciController>(host, config)))),
      window(controller) {}

pci::DeviceConfig SimulatedController::PciConfig() const {
    pci::DeviceConfig c;
    c.window = const_cast<SimRegisterWindow*>(&window);
    c.vector = host.vector();
    return c;
}

}  // namespace hk
