#include "iso_listener.h"

#include <utility>

namespace sim {

IsoListener::IsoListener(std::string name, int ports, Speed speed) : Node(std::move(name), ports, speed) {}

std::vector<IsoPacket> IsoListener::OnChannel(uint8_t channel) const {
    std::vector<IsoPacket> packets;
    for (const Heard& h : heard_)
        if (h.packet.channel == channel) packets.push_back(h.packet);
    return packets;
}

void IsoListener::ReceiveCycleStart(uint32_t cycleTime) {
    cycleTime_ = cycleTime;
    ++cycleStarts_;
}

void IsoListener::ReceiveIsochronous(const IsoPacket& packet) { heard_.push_back({packet, cycleTime_}); }

Ack IsoListener::ReceivePacket(const Packet& packet) {
    (void)packet;
    return kAckComplete;
}

}  // namespace sim
