// What the hardware model needs of its host, and nothing more: the clock with its event queue,
// DMA memory by bus address, and an interrupt line per controller. The host kernel implements it
// (driver/platform/host/hk_sim_host.cpp); the model's own tests use a small standalone host.
//
// The model has no threads: it runs when a register is accessed or when the clock reaches one of
// its events.
#pragma once

#include <cstdint>
#include <functional>

namespace sim {

// Time in 100 ns units, the host's clock.
using Ticks = uint64_t;
inline constexpr Ticks kTicksPerMicrosecond = 10;
inline constexpr Ticks kTicksPerMillisecond = 10000;
inline constexpr Ticks kTicksPerSecond = 10000000;

class Host {
public:
    virtual ~Host() = default;

    virtual Ticks Now() = 0;
    // Runs `event` when the clock reaches `when` (at once at the next opportunity if `when` has
    // passed). Returns an id for Cancel.
    virtual uint64_t Schedule(Ticks when, std::function<void()> event) = 0;
    virtual bool Cancel(uint64_t id) = 0;

    // Device access to memory by 32-bit bus address. False when any byte of the range is not
    // mapped for DMA (the host records the fault); the model then behaves as the hardware does on
    // a bus error (the context dies with evt_unknown / the access is dropped).
    virtual bool DmaRead(uint32_t busAddress, void* destination, uint32_t length) = 0;
    virtual bool DmaWrite(uint32_t busAddress, const void* source, uint32_t length) = 0;

    // The controller's level-sensitive interrupt line.
    virtual void SetInterruptLine(bool asserted) = 0;
};

}  // namespace sim
