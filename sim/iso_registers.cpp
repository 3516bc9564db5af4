#include "iso_registers.h"

#include <algorithm>

#include "ohci_regs.h"

namespace sim {

namespace {
constexpr int kMinContexts = 4;
constexpr int kMaxContexts = 32;
int Clamp(int n) { return std::min(std::max(n, kMinContexts), kMaxContexts); }
}  // namespace

IsoContextRegisters::IsoContextRegisters(OhciController& controller, int itContexts, int irContexts) {
    for (int n = 0; n < Clamp(itContexts); ++n) it_.push_back(std::make_unique<IsoXmitContext>(controller, n));
    for (int n = 0; n < Clamp(irContexts); ++n) ir_.push_back(std::make_unique<IsoRecvContext>(controller, n));
}

bool IsoContextRegisters::AnyRunning() const {
    for (const auto& c : it_)
        if (c->IsRunning()) return true;
    for (const auto& c : ir_)
        if (c->IsRunning()) return true;
    return false;
}

void IsoContextRegisters::ReceiveCycleStart(uint32_t cycleTime) {
    for (auto& c : ir_) c->OnCycleStart(cycleTime);
}

void IsoContextRegisters::OnCycleStart(uint32_t cycleTime) {
    for (auto& c : it_) c->OnCycleStart(cycleTime);
}

void IsoContextRegisters::Receive(const IsoPacket& packet, uint64_t multiChanMask) {
    for (auto& c : ir_) {
        if (!c->Matches(packet, multiChanMask)) continue;
        c->Receive(packet);
        return;
    }
}

void IsoContextRegisters::Reset() {
    for (auto& c : it_) c->Reset();
    for (auto& c : ir_) c->Reset();
    xmitEvent_ = xmitMask_ = recvEvent_ = recvMask_ = 0;
}

bool IsoContextRegisters::Read(uint32_t offset, uint32_t* value) const {
    switch (offset) {
    // Either address of a Set/Clear pair reads the register.
    case ohci::kIsoXmitIntEventSet:
    case ohci::kIsoXmitIntEventClear:
        *value = xmitEvent_;
        return true;
    case ohci::kIsoXmitIntMaskSet:
    case ohci::kIsoXmitIntMaskClear:
        *value = xmitMask_;
        return true;
    case ohci::kIsoRecvIntEventSet:
    case ohci::kIsoRecvIntEventClear:
        *value = recvEvent_;
        return true;
    case ohci::kIsoRecvIntMaskSet:
    case ohci::kIsoRecvIntMaskClear:
        *value = recvMask_;
        return true;
    default:
        return ReadContext(offset, value);
    }
}

bool IsoContextRegisters::Write(uint32_t offset, uint32_t value) {
    if (WriteEventMask(offset, value)) return true;
    return WriteContext(offset, value);
}

// Event and mask registers keep only the bits of implemented contexts: software finds how many
// contexts there are by setting every mask bit and reading back (OHCI 1.1 chapter 6).
bool IsoContextRegisters::WriteEventMask(uint32_t offset, uint32_t value) {
    const uint32_t it = value & ItImplemented();
    const uint32_t ir = value & IrImplemented();
    switch (offset) {
    case ohci::kIsoXmitIntEventSet: xmitEvent_ |= it; return true;
    case ohci::kIsoXmitIntEventClear: xmitEvent_ &= ~it; return true;
    case ohci::kIsoXmitIntMaskSet: xmitMask_ |= it; return true;
    case ohci::kIsoXmitIntMaskClear: xmitMask_ &= ~it; return true;
    case ohci::kIsoRecvIntEventSet: recvEvent_ |= ir; return true;
    case ohci::kIsoRecvIntEventClear: recvEvent_ &= ~ir; return true;
    case ohci::kIsoRecvIntMaskSet: recvMask_ |= ir; return true;
    case ohci::kIsoRecvIntMaskClear: recvMask_ &= ~ir; return true;
    default: return false;
    }
}

bool IsoContextRegisters::ReadContext(uint32_t offset, uint32_t* value) const {
    if (offset >= ohci::kIsoXmitContextBase && offset < ohci::kIsoRecvContextBase) {
        const uint32_t n = (offset - ohci::kIsoXmitContextBase) / ohci::kIsoXmitContextStride;
        const uint32_t reg = (offset - ohci::kIsoXmitContextBase) % ohci::kIsoXmitContextStride;
        *value = 0;  // unimplemented contexts and reserved offsets read 0
        if (n >= it_.size()) return true;
        const IsoXmitContext& c = *it_[n];
        if (reg == ohci::kContextControlSet || reg == ohci::kContextControlClear) *value = c.Control();
        if (reg == ohci::kCommandPtr) *value = c.CommandPtr();
        return true;
    }
    if (offset >= ohci::kIsoRecvContextBase && offset < ohci::kWindowSize) {
        const uint32_t n = (offset - ohci::kIsoRecvContextBase) / ohci::kIsoRecvContextStride;
        const uint32_t reg = (offset - ohci::kIsoRecvContextBase) % ohci::kIsoRecvContextStride;
        *value = 0;
        if (n >= ir_.size()) return true;
        const IsoRecvContext& c = *ir_[n];
        if (reg == ohci::kContextControlSet || reg == ohci::kContextControlClear) *value = c.Control();
        if (reg == ohci::kCommandPtr) *value = c.CommandPtr();
        if (reg == ohci::kContextMatch) *value = c.ContextMatch();
        return true;
    }
    return false;
}

bool IsoContextRegisters::WriteContext(uint32_t offset, uint32_t value) {
    if (offset >= ohci::kIsoXmitContextBase && offset < ohci::kIsoRecvContextBase) {
        const uint32_t n = (offset - ohci::kIsoXmitContextBase) / ohci::kIsoXmitContextStride;
        const uint32_t reg = (offset - ohci::kIsoXmitContextBase) % ohci::kIsoXmitContextStride;
        if (n >= it_.size()) return true;
        IsoXmitContext& c = *it_[n];
        if (reg == ohci::kContextControlSet) c.WriteControlSet(value);
        if (reg == ohci::kContextControlClear) c.WriteControlClear(value);
        if (reg == ohci::kCommandPtr) c.WriteCommandPtr(value);
        return true;
    }
    if (offset >= ohci::kIsoRecvContextBase && offset < ohci::kWindowSize) {
        const uint32_t n = (offset - ohci::kIsoRecvContextBase) / ohci::kIsoRecvContextStride;
        const uint32_t reg = (offset - ohci::kIsoRecvContextBase) % ohci::kIsoRecvContextStride;
        if (n >= ir_.size()) return true;
        IsoRecvContext& c = *ir_[n];
        if (reg == ohci::kContextControlSet) WriteIrControlSet(c, value);
        if (reg == ohci::kContextControlClear) c.WriteControlClear(value);
        if (reg == ohci::kCommandPtr) c.WriteCommandPtr(value);
        if (reg == ohci::kContextMatch) c.WriteContextMatch(value);
        return true;
    }
    return false;
}

// Setting dualBufferMode clears bufferFill and multiChanMode (OHCI 1.1 chapter 10): the three modes
// exclude each other.
void IsoContextRegisters::WriteIrControlSet(IsoRecvContext& context, uint32_t value) {
    if ((value & ir_control::kDualBufferMode) != 0) {
        context.WriteControlClear(ir_control::kBufferFill | ir_control::kMultiChanMode);
        value &= ~(ir_control::kBufferFill | ir_control::kMultiChanMode);
    }
    context.WriteControlSet(value);
}

}  // namespace sim
