// An isochronous receive DMA context (OHCI 1.1 chapter 10): its registers (ContextControl with the
// IR mode bits, CommandPtr, ContextMatch) and the engine that stores the packets it matches in
// packet-per-buffer, buffer-fill or dual-buffer mode.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "dma_context.h"
#include "packet.h"

namespace sim {

class OhciController;

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
inline bool TagAccepted(uint32_t m, uint8_t tag) { return (m >> (28 + (tag & 3))) & 1; }
inline bool Tag1SyncFilter(uint32_t m) { return (m >> 6) & 1; }
}  // namespace ir_match

class IsoRecvContext : public DmaContext {
public:
    IsoRecvContext(OhciController& controller, int index);
    ~IsoRecvContext() override;

    int index() const { return index_; }
    uint32_t ContextMatch() const { return contextMatch_; }
    void WriteContextMatch(uint32_t value) { contextMatch_ = value & ir_match::kWritable; }
    void Reset() override;
    bool IsRunning() const { return Running() && (control_ & context_control::kDead) == 0; }

    // Whether the context takes this packet: running, and the packet's channel (IRMultiChanMask in
    // multi-channel mode) and tag are the context's.
    bool Matches(const IsoPacket& packet, uint64_t multiChanMask) const;
    // A packet the controller routed here (after Matches): stored as the mode says.
    void Receive(const IsoPacket& packet);
    // Every cycle start while running: cycle match.
    void OnCycleStart(uint32_t cycleTime);

protected:
    uint32_t ModeBits() const override;
    void OnRun() override;
    void OnStop() override;
    void OnWake() override;

private:
    // One descriptor of the program as fetched (dual-buffer descriptors carry two buffers).
    struct Descriptor {
        uint32_t address = 0;
        uint32_t q0 = 0, q1 = 0, q2 = 0;
        uint32_t firstBuffer = 0, secondBuffer = 0;
    };

    bool CycleMatched(uint32_t cycleTime);
    bool Load(uint32_t commandPtr);
    bool Fetch(uint32_t address, int slots, Descriptor* out, int count);
    void ReceivePacketPerBuffer(const IsoPacket& packet);
    void ReceiveBufferFill(const IsoPacket& packet);
    void ReceiveDualBuffer(const IsoPacket& packet);
    void Format(const IsoPacket& packet, bool timeStampFirst);
    bool WaitingForSync(const IsoPacket& packet);
    bool BufferFillRoom(size_t bytes);
    bool DualBufferRoom(size_t first, size_t rest);
    bool WriteBytes(uint32_t address, const uint8_t* bytes, size_t length);
    bool WriteQuadlet(uint32_t address, uint32_t value);
    bool CompleteBufferFill();
    bool CompleteDual();
    bool Advance(uint32_t branch);
    void GoIdle();
    void Fatal(uint8_t event);
    void Interrupt(uint32_t q0);
    uint16_t XferStatus() const { return uint16_t(control_ & 0xFFFF); }
    bool Dead() const { return (control_ & context_control::kDead) != 0; }
    bool StatusAlways() const;

    OhciController& controller_;
    int index_;
    uint32_t contextMatch_ = 0;
    bool loaded_ = false;    // the descriptors at CommandPtr are in hand
    bool idleAtEnd_ = false;  // stopped at a branch with Z = 0: waiting for wake
    uint32_t lastBranchAddress_ = 0;  // where the branch that ended the program lies (re-read on wake)
    bool synced_ = false;     // the wait (w = 3) of the descriptor in hand is satisfied
    // Packet-per-buffer: the block; buffer-fill: current_ and its room; dual-buffer: both rooms.
    std::vector<Descriptor> block_;
    Descriptor current_;
    uint16_t resCount_ = 0;
    uint16_t firstResCount_ = 0, secondResCount_ = 0;
    std::vector<uint8_t> bytes_;
};

}  // namespace sim
