// The asynchronous transmit DMA contexts, request and response (OHCI 1.1 chapter 7): descriptor
// programs of OUTPUT_MORE, OUTPUT_MORE-Immediate, OUTPUT_LAST and OUTPUT_LAST-Immediate blocks
// fetched from CommandPtr, one packet per block sent on the bus from a clock event, busy acks
// retried per ATRetries, xferStatus and timeStamp written back into the block's last descriptor.
#pragma once

#include <cstdint>
#include <vector>

#include "dma_context.h"
#include "packet.h"
#include "sim_host.h"

namespace sim {

class OhciController;

class AtContext : public DmaContext {
public:
    enum class Kind { kRequest, kResponse };

    AtContext(OhciController& controller, Kind kind);
    ~AtContext() override;

    Kind kind() const { return kind_; }

    // The start of a bus reset: a packet waiting for a busy retry is completed with evt_flushed,
    // and as long as IntEvent.busReset stays set every block the context reaches is completed with
    // evt_flushed instead of being sent (OHCI 1.1 7.2.3).
    void BusReset();
    // Soft reset: run, active, dead and the event are cleared, nothing is pending.
    void Reset() override;

    // Time the link needs per packet on the bus besides its bits (arbitration, ack, gaps).
    static constexpr Ticks kPacketOverheadTicks = 5;

protected:
    void OnRun() override;
    void OnStop() override;
    void OnWake() override;

private:
    struct Block;  // one fetched descriptor block (at_context.cpp)

    void ScheduleStep(Ticks delay);
    void CancelStep();
    void Step();
    bool FetchBlock(Block& block);
    bool Gather(uint32_t dataAddress, uint16_t reqCount, std::vector<uint8_t>& data);
    void StartPacket(const Block& block);
    void CopyData(bool swapData);
    void BuildPacket(const Block& block);
    bool Expired(uint16_t expiry);
    void Transmit();
    void Complete(uint8_t event);
    void FollowBranch();
    bool ReadBranch(uint32_t* branch);
    void Fatal(uint8_t event);
    bool Dead() const;
    bool BusResetPending() const;

    OhciController& controller_;
    Kind kind_;
    uint64_t stepEvent_ = 0;
    bool stepScheduled_ = false;
    // The last descriptor of the block in hand: its branch is followed after the packet, or
    // re-read on wake when the context stopped at a branch with Z = 0.
    uint32_t lastDescriptor_ = 0;
    bool haveLastDescriptor_ = false;
    bool idleAtEnd_ = false;
    uint8_t interrupt_ = 0;        // i of that descriptor
    // The packet being sent, kept across busy retries.
    bool havePacket_ = false;
    Packet packet_;
    enum class Form { kAsync, kStream, kPhy } form_ = Form::kAsync;
    bool phyInverseOk_ = true;
    bool lengthMismatch_ = false;
    int retriesLeft_ = 0;
    Ticks wireTime_ = 0;
    std::vector<uint8_t> data_;
};

}  // namespace sim
