// A bare link on the model's bus that sends requests to the local node as any other node would
// (quadlet and block reads and writes, locks, with any header a test wants) and keeps every
// response it receives, acknowledging each ack_complete.
#pragma once

#include <cstring>
#include <vector>

#include "bus.h"
#include "node.h"
#include "packet.h"
#include "sim_fixture.h"

class RequesterNode : public sim::Node {
public:
    RequesterNode() : Node("requester", 1, sim::kS400) {}
    sim::Ack ReceivePacket(const sim::Packet& packet) override {
        received.push_back(packet);
        return sim::kAckComplete;
    }

    // A request from this node with the next label: `to` is the destination node ID.
    sim::Packet Request(uint16_t to, uint8_t tcode, uint64_t offset) {
        sim::Packet p;
        p.speed = sim::kS400;
        p.SetDestinationId(to);
        p.SetTlabel(label_++ & 0x3F);
        p.SetTcode(tcode);
        p.SetSourceId(NodeId());
        p.SetOffset(offset);
        return p;
    }
    sim::Packet WriteQuadlet(uint16_t to, uint64_t offset, uint32_t value) {
        sim::Packet p = Request(to, sim::kTcodeWriteQuadletRequest, offset);
        p.header[3] = value;
        return p;
    }
    sim::Packet WriteBlock(uint16_t to, uint64_t offset, const std::vector<uint8_t>& data) {
        sim::Packet p = Request(to, sim::kTcodeWriteBlockRequest, offset);
        p.SetDataLengthAndExtendedTcode(uint16_t(data.size()), 0);
        p.data = data;
        return p;
    }
    sim::Packet ReadQuadlet(uint16_t to, uint64_t offset) { return Request(to, sim::kTcodeReadQuadletRequest, offset); }
    sim::Packet ReadBlock(uint16_t to, uint64_t offset, uint16_t length) {
        sim::Packet p = Request(to, sim::kTcodeReadBlockRequest, offset);
        p.SetDataLengthAndExtendedTcode(length, 0);
        return p;
    }
    sim::Packet Lock(uint16_t to, uint64_t offset, uint16_t extendedTcode, const std::vector<uint8_t>& operands) {
        sim::Packet p = Request(to, sim::kTcodeLockRequest, offset);
        p.SetDataLengthAndExtendedTcode(uint16_t(operands.size()), extendedTcode);
        p.data = operands;
        return p;
    }

    // Sends the request, lets the model and the driver run, and returns the response that carries
    // its label (null when none came).
    const sim::Packet* Transact(const sim::Packet& request, sim::Ack* ack = nullptr) {
        size_t before = received.size();
        sim::Ack got = bus()->SendAsync(this, request);
        if (ack != nullptr) *ack = got;
        hk::RunFor(5 * kMs100ns);
        for (size_t i = before; i < received.size(); ++i)
            if (received[i].Tlabel() == request.Tlabel() && received[i].IsResponse()) return &received[i];
        return nullptr;
    }

    std::vector<sim::Packet> received;

private:
    uint8_t label_ = 0;
};

// Big-endian bytes of quadlets, as operands and block data travel.
inline std::vector<uint8_t> BusBytes(std::initializer_list<uint32_t> quadlets) {
    std::vector<uint8_t> out;
    for (uint32_t q : quadlets)
        for (int shift = 24; shift >= 0; shift -= 8) out.push_back(uint8_t(q >> shift));
    return out;
}
inline uint32_t BusQuadlet(const std::vector<uint8_t>& bytes, size_t at) {
    return (uint32_t(bytes[at]) << 24) | (uint32_t(bytes[at + 1]) << 16) | (uint32_t(bytes[at + 2]) << 8) |
           bytes[at + 3];
}
