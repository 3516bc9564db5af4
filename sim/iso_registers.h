// The isochronous side of the register file: the IT and IR contexts of a configurable number
// (4..32 of each, OHCI 1.1 chapters 9 and 10), their register blocks, and the isochronous
// interrupt event and mask registers (OHCI 1.1 chapter 6); the routing of the cycle and of
// received packets to the contexts.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "ir_context.h"
#include "it_context.h"
#include "packet.h"

namespace sim {

class OhciController;

class IsoContextRegisters {
public:
    IsoContextRegisters(OhciController& controller, int itContexts, int irContexts);

    int itCount() const { return int(it_.size()); }
    int irCount() const { return int(ir_.size()); }
    IsoXmitContext& it(int n) { return *it_[size_t(n)]; }
    IsoRecvContext& ir(int n) { return *ir_[size_t(n)]; }
    // Bit n set for every implemented context n.
    uint32_t ItImplemented() const { return Implemented(itCount()); }
    uint32_t IrImplemented() const { return Implemented(irCount()); }

    // Register access for offsets 0x090..0x0AF and the context blocks from 0x200; false when the
    // offset is none of these (the controller handles it).
    bool Read(uint32_t offset, uint32_t* value) const;
    bool Write(uint32_t offset, uint32_t value);

    // IntEvent.isochTx / isochRx: any masked event pending.
    bool XmitInterrupt() const { return (xmitEvent_ & xmitMask_) != 0; }
    bool RecvInterrupt() const { return (recvEvent_ & recvMask_) != 0; }
    // For the isochronous engines: context n completed a descriptor with an interrupt.
    void RaiseXmit(int n) {
        if (n >= 0 && n < itCount()) xmitEvent_ |= 1u << n;
    }
    void RaiseRecv(int n) {
        if (n >= 0 && n < irCount()) recvEvent_ |= 1u << n;
    }

    // Soft reset: every context stopped, events and masks cleared.
    void Reset();

    // Whether any context runs (the link then wants every cycle).
    bool AnyRunning() const;
    // A cycle start received: IR contexts check their cycle match; then the IT contexts send.
    void ReceiveCycleStart(uint32_t cycleTime);
    void OnCycleStart(uint32_t cycleTime);
    // A packet the link received: to the lowest-numbered IR context that matches it.
    void Receive(const IsoPacket& packet, uint64_t multiChanMask);

private:
    static uint32_t Implemented(int n) { return n >= 32 ? 0xFFFFFFFFu : (1u << n) - 1; }
    bool WriteEventMask(uint32_t offset, uint32_t value);
    bool ReadContext(uint32_t offset, uint32_t* value) const;
    bool WriteContext(uint32_t offset, uint32_t value);
    static void WriteIrControlSet(IsoRecvContext& context, uint32_t value);

    std::vector<std::unique_ptr<IsoXmitContext>> it_;
    std::vector<std::unique_ptr<IsoRecvContext>> ir_;
    uint32_t xmitEvent_ = 0, xmitMask_ = 0, recvEvent_ = 0, recvMask_ = 0;
};

}  // namespace sim
