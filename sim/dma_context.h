// The register block every OHCI DMA context has (ContextControl Set/Clear, CommandPtr) and the
// run/wake/dead/active rules common to all of them (OHCI 1.1 3.1).
#pragma once

#include <cstdint>

namespace sim {

namespace context_control {
inline constexpr uint32_t kRun = 1u << 15;
inline constexpr uint32_t kWake = 1u << 12;
inline constexpr uint32_t kDead = 1u << 11;
inline constexpr uint32_t kActive = 1u << 10;
inline constexpr uint32_t kSpeedMask = 0x7u << 5;  // read-only
inline constexpr uint32_t kEventMask = 0x1Fu;      // read-only
}  // namespace context_control

class DmaContext {
public:
    virtual ~DmaContext() = default;

    uint32_t Control() const { return control_; }
    uint32_t CommandPtr() const { return commandPtr_; }
    // Register writes. Set/Clear change only the bits software may change (run, wake, and the
    // mode bits a context kind allows); dead, active, speed and event are the hardware's.
    void WriteControlSet(uint32_t bits);
    void WriteControlClear(uint32_t bits);
    // CommandPtr is writable only while run and active are both clear.
    void WriteCommandPtr(uint32_t value);
    // Hardware reset of the context (soft reset, or bus reset where the standard says so).
    virtual void Reset();
    // A fault a test switches on: the context dies now with the given event code.
    void InjectDeath(uint8_t eventCode) { Die(eventCode); }

protected:
    // Software-writable mode bits beyond run and wake (IR contexts: bufferFill, isochHeader, ...).
    virtual uint32_t ModeBits() const { return 0; }
    // Hooks: run set while clear (start at CommandPtr), run cleared (stop: active clears at once),
    // wake set (re-read the branch address where the program stopped).
    virtual void OnRun() = 0;
    virtual void OnStop() = 0;
    virtual void OnWake() = 0;

    // For the engines.
    bool Running() const { return (control_ & context_control::kRun) != 0; }
    void SetActive(bool active);
    // The context dies as the hardware does: dead set, active cleared, the event code recorded.
    void Die(uint8_t eventCode);
    void SetEvent(uint8_t eventCode);
    void ClearWake() { control_ &= ~context_control::kWake; }

    uint32_t control_ = 0;
    uint32_t commandPtr_ = 0;
};

}  // namespace sim
