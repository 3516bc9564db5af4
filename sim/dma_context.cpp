// The ContextControl and CommandPtr rules every OHCI DMA context shares (OHCI 1.1 3.1).
#include "dma_context.h"

namespace sim {

namespace cc = context_control;

namespace {
// Bits software may change through ContextControlSet/Clear: run and wake, plus the mode bits of the
// context kind. dead, active, spd and the event code belong to the hardware.
constexpr uint32_t kSoftwareBits = cc::kRun | cc::kWake;
}  // namespace

void DmaContext::WriteControlSet(uint32_t bits) {
    const bool wasRunning = Running();
    // Mode bits only change while the context is stopped (OHCI 1.1 chapter 10): a write that sets run
    // may carry them, they are latched before the context starts.
    uint32_t writable = kSoftwareBits;
    if (!wasRunning && (control_ & cc::kActive) == 0) writable |= ModeBits();
    control_ |= bits & writable;
    if (!wasRunning && Running()) {
        OnRun();
    } else if (wasRunning && (bits & cc::kWake) != 0) {
        OnWake();
    }
}

void DmaContext::WriteControlClear(uint32_t bits) {
    const bool wasRunning = Running();
    uint32_t writable = kSoftwareBits;
    if (!wasRunning && (control_ & cc::kActive) == 0) writable |= ModeBits();
    control_ &= ~(bits & writable);
    if (wasRunning && !Running()) {
        // Clearing run stops the context: it finishes nothing further, active drops, and dead is
        // cleared with it (OHCI 1.1 3.1).
        OnStop();
        control_ &= ~(cc::kActive | cc::kDead);
    }
}

void DmaContext::WriteCommandPtr(uint32_t value) {
    // Software may write CommandPtr only while run and active are both clear (OHCI 1.1 3.1);
    // a write at another time is ignored.
    if ((control_ & (cc::kRun | cc::kActive)) != 0) return;
    commandPtr_ = value;
}

void DmaContext::Reset() {
    control_ = 0;
    commandPtr_ = 0;
}

void DmaContext::SetActive(bool active) {
    if (active) {
        control_ |= cc::kActive;
    } else {
        control_ &= ~cc::kActive;
    }
}

void DmaContext::Die(uint8_t eventCode) {
    control_ |= cc::kDead;
    control_ &= ~cc::kActive;
    SetEvent(eventCode);
}

void DmaContext::SetEvent(uint8_t eventCode) {
    control_ = (control_ & ~cc::kEventMask) | (eventCode & cc::kEventMask);
}

}  // namespace sim
