// An isochronous transmit DMA context (OHCI 1.1 chapter 9): its registers (ContextControl with
// cycleMatchEnable and cycleMatch, CommandPtr) and the engine that sends one packet per cycle
// from its descriptor program.
#pragma once

#include <cstdint>
#include <vector>

#include "dma_context.h"
#include "packet.h"

namespace sim {

class OhciController;

// IT ContextControl mode bits: cycleMatchEnable 31, cycleMatch 30:16.
namespace it_control {
inline constexpr uint32_t kCycleMatchEnable = 1u << 31;
inline constexpr uint32_t kCycleMatchMask = 0x7FFFu << 16;
inline uint32_t CycleMatch(uint32_t control) { return (control >> 16) & 0x7FFF; }
}  // namespace it_control

class IsoXmitContext : public DmaContext {
public:
    IsoXmitContext(OhciController& controller, int index);
    ~IsoXmitContext() override;

    int index() const { return index_; }
    bool IsRunning() const { return Running() && (control_ & context_control::kDead) == 0; }
    void Reset() override;

    // Every cycle start while the link is enabled: the context sends the packet of the block at
    // CommandPtr (cycle match and lost cycles permitting).
    void OnCycleStart(uint32_t cycleTime);

    // A fault a test switches on: the next packet the context sends underruns its FIFO.
    void InjectUnderrun() { underrunNext_ = true; }

protected:
    uint32_t ModeBits() const override { return it_control::kCycleMatchEnable | it_control::kCycleMatchMask; }
    void OnRun() override;
    void OnStop() override;
    void OnWake() override;

private:
    struct Block {
        uint32_t lastAddress = 0;  // the OUTPUT_LAST(-Immediate) descriptor: status and branch
        uint32_t lastQ0 = 0;
        uint32_t skip = 0;         // skipAddress | Z of the first descriptor
        bool empty = false;        // a lone OUTPUT_LAST with reqCount 0: nothing sent this cycle
        uint32_t header[2] = {};
    };

    bool FetchBlock(Block* block);
    bool Gather(uint32_t address, uint16_t length);
    void Send(const Block& block, uint32_t cycleTime);
    bool Complete(const Block& block, uint8_t event, uint32_t cycleTime);
    void Follow(uint32_t branchAddress);
    void Fatal(uint8_t event);
    bool Dead() const { return (control_ & context_control::kDead) != 0; }

    OhciController& controller_;
    int index_;
    bool idleAtEnd_ = false;
    uint32_t lastBranchAddress_ = 0;
    bool haveLastCycle_ = false;
    uint64_t lastCycle_ = 0;  // the cycle (seconds * 8000 + count) of the last cycle start seen
    bool underrunNext_ = false;
    std::vector<uint8_t> data_;
    IsoPacket packet_;
};

}  // namespace sim
