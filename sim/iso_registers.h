// The isochronous side of the register file: the IT and IR context register blocks of a
// configurable number of contexts (4..32 of each, OHCI 1.1 chapters 9 and 10) and the isochronous
// interrupt event and mask registers (OHCI 1.1 chapter 6). Registers only: the isochronous DMA
// engines attach through the context hooks (OnRun/OnStop/OnWake) later.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "dma_context.h"

namespace sim {

// IT ContextControl mode bits: cycleMatchEnable 31, cycleMatch 30:16.
namespace it_control {
inline constexpr uint32_t kCycleMatchEnable = 1u << 31;
inline constexpr uint32_t kCycleMatchMask = 0x7FFFu << 16;
}  // namespace it_control

// IR ContextControl mode bits and ContextMatch fields.
namespace ir_control {
inline constexpr uint32_t kBufferFill = 1u << 31;
inline constexpr uint32_t kIsochHeader = 1u << 30;
inline constexpr uint32_t kCycleMatchEnable = 1u << 29;
inline constexpr uint32_t kMultiChanMode = 1u << 28;
inline constexpr uint32_t kDualBufferMode = 1u << 27;
inline constexpr uint32_t kModeBits = kBufferFill | kIsochHeader | kCycleMatchEnable | kMultiChanMode | kDualBufferMode;
}  // namespace ir_control
namespace ir_match {
// tag3..tag0 31:28, cycleMatch 26:12, sync 11:8, tag1SyncFilter 6, channelNumber 5:0.
inline constexpr uint32_t kWritable = 0xF0000000 | (0x7FFFu << 12) | (0xFu << 8) | (1u << 6) | 0x3F;
inline uint8_t Channel(uint32_t m) { return uint8_t(m & 0x3F); }
inline uint8_t Sync(uint32_t m) { return uint8_t((m >> 8) & 0xF); }
inline uint32_t CycleMatch(uint32_t m) { return (m >> 12) & 0x7FFF; }
inline uint8_t TagMask(uint32_t m) { return uint8_t(m >> 28); }
}  // namespace ir_match

// An isochronous transmit context's registers. The IT engine (later) derives from it and takes the
// hooks; until then run only latches the bit and the context never becomes active.
class IsoXmitContext : public DmaContext {
public:
    int index() const { return index_; }
    explicit IsoXmitContext(int index) : index_(index) {}

protected:
    uint32_t ModeBits() const override { return it_control::kCycleMatchEnable | it_control::kCycleMatchMask; }
    void OnRun() override {}
    void OnStop() override {}
    void OnWake() override { ClearWake(); }

private:
    int index_;
};

// An isochronous receive context's registers, with ContextMatch.
class IsoRecvContext : public DmaContext {
public:
    explicit IsoRecvContext(int index) : index_(index) {}
    int index() const { return index_; }
    uint32_t ContextMatch() const { return contextMatch_; }
    void WriteContextMatch(uint32_t value) { contextMatch_ = value & ir_match::kWritable; }
    void Reset() override {
        DmaContext::Reset();
        contextMatch_ = 0;
    }

protected:
    uint32_t ModeBits() const override { return ir_control::kModeBits; }
    void OnRun() override {}
    void OnStop() override {}
    void OnWake() override { ClearWake(); }

private:
    int index_;
    uint32_t contextMatch_ = 0;
};

class IsoContextRegisters {
public:
    IsoContextRegisters(int itContexts, int irContexts);

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
