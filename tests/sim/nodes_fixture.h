// A requester for the device-node tests: a bare link that sends requests on the simulated bus and
// records every packet it receives (responses acked ack_complete), on a standalone host.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "bus.h"
#include "node.h"
#include "packet.h"
#include "testing/standalone_host.h"

namespace nodes_test {

class Requester : public sim::Node {
public:
    Requester() : Node("requester", 1, sim::kS400) {}
    sim::Ack ReceivePacket(const sim::Packet& packet) override {
        received.push_back(packet);
        receivedAt.push_back(bus()->clock().Now());
        return sim::kAckComplete;
    }
    std::vector<sim::Packet> received;
    std::vector<sim::Ticks> receivedAt;
};

// Request builders (IEEE 1394-1995 6.2.2 header layouts).
inline sim::Packet Request(uint8_t tcode, uint16_t destination, uint16_t source, uint64_t offset, uint8_t tlabel = 5) {
    sim::Packet p;
    p.speed = sim::kS400;
    p.SetDestinationId(destination);
    p.SetTlabel(tlabel);
    p.SetTcode(tcode);
    p.SetSourceId(source);
    p.SetOffset(offset);
    return p;
}
inline sim::Packet ReadQuadlet(uint16_t to, uint16_t from, uint64_t offset) {
    return Request(sim::kTcodeReadQuadletRequest, to, from, offset);
}
inline sim::Packet ReadBlock(uint16_t to, uint16_t from, uint64_t offset, uint16_t length) {
    sim::Packet p = Request(sim::kTcodeReadBlockRequest, to, from, offset);
    p.SetDataLengthAndExtendedTcode(length, 0);
    return p;
}
inline sim::Packet WriteQuadlet(uint16_t to, uint16_t from, uint64_t offset, uint32_t value) {
    sim::Packet p = Request(sim::kTcodeWriteQuadletRequest, to, from, offset);
    p.header[3] = value;
    return p;
}
inline void PutBigEndian(std::vector<uint8_t>* bytes, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes->push_back(uint8_t(value >> shift));
}
inline sim::Packet WriteBlock(uint16_t to, uint16_t from, uint64_t offset, const std::vector<uint32_t>& quadlets) {
    sim::Packet p = Request(sim::kTcodeWriteBlockRequest, to, from, offset);
    for (uint32_t q : quadlets) PutBigEndian(&p.data, q);
    p.SetDataLengthAndExtendedTcode(uint16_t(p.data.size()), 0);
    return p;
}
inline sim::Packet Lock(uint16_t to, uint16_t from, uint64_t offset, uint16_t extended, const std::vector<uint32_t>& operands) {
    sim::Packet p = Request(sim::kTcodeLockRequest, to, from, offset);
    for (uint32_t q : operands) PutBigEndian(&p.data, q);
    p.SetDataLengthAndExtendedTcode(uint16_t(p.data.size()), extended);
    return p;
}
inline uint32_t DataQuadlet(const sim::Packet& p, size_t index) {
    const uint8_t* b = &p.data.at(index * 4);
    return (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3];
}

// A requester and one device joined by a cable, after the bus reset has completed.
template <typename Device>
struct TwoNodeBus {
    sim::StandaloneHost host;
    sim::Bus bus{host};
    Requester* requester = nullptr;
    Device* device = nullptr;

    explicit TwoNodeBus(std::unique_ptr<Device> d) {
        requester = static_cast<Requester*>(bus.Add(std::make_unique<Requester>()));
        device = static_cast<Device*>(bus.Add(std::move(d)));
        EXPECT_TRUE(bus.Connect(requester, 0, device, 0));
        host.RunFor(5 * sim::kTicksPerMillisecond);
        EXPECT_FALSE(bus.InReset());
    }
    uint16_t From() const { return requester->NodeId(); }
    uint16_t To() const { return device->NodeId(); }
    sim::Ack Send(const sim::Packet& p) { return bus.SendAsync(requester, p); }
    // Sends a request, lets the response come, and returns it (fails the test if none came).
    sim::Packet Transact(const sim::Packet& p, sim::Ack* ack = nullptr) {
        size_t before = requester->received.size();
        sim::Ack a = Send(p);
        if (ack) *ack = a;
        host.RunFor(sim::kTicksPerMillisecond);
        EXPECT_EQ(before + 1, requester->received.size()) << "one response";
        return requester->received.size() > before ? requester->received.back() : sim::Packet{};
    }
    uint32_t Read(uint64_t offset, uint8_t* rcode = nullptr) {
        sim::Packet r = Transact(ReadQuadlet(To(), From(), offset));
        if (rcode) *rcode = r.Rcode();
        return r.QuadletData();
    }
    uint8_t Write(uint64_t offset, uint32_t value) { return Transact(WriteQuadlet(To(), From(), offset, value)).Rcode(); }
};

}  // namespace nodes_test
