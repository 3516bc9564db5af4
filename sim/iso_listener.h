// A node that listens to the isochronous traffic of its bus and records every packet its link
// sees, on every channel, with the cycle it came in: the receiving end of transmit tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "node.h"

namespace sim {

class IsoListener : public Node {
public:
    IsoListener(std::string name = "listener", int ports = 3, Speed speed = kS400);

    struct Heard {
        IsoPacket packet;
        uint32_t cycleTime = 0;  // CYCLE_TIME of the cycle start before it
    };
    const std::vector<Heard>& heard() const { return heard_; }
    void Clear() { heard_.clear(); }
    // The packets heard on one channel.
    std::vector<IsoPacket> OnChannel(uint8_t channel) const;
    uint64_t CycleStarts() const { return cycleStarts_; }

    // A listener has no per-cycle work: it hears what talkers send and needs no cycle of its own.
    bool WantsCycleStarts() const override { return false; }
    void ReceiveCycleStart(uint32_t cycleTime) override;
    void ReceiveIsochronous(const IsoPacket& packet) override;
    // Asynchronous packets are acked complete and dropped.
    Ack ReceivePacket(const Packet& packet) override;

private:
    std::vector<Heard> heard_;
    uint32_t cycleTime_ = 0;
    uint64_t cycleStarts_ = 0;
};

}  // namespace sim
