// A plain node for the bus's own tests: it records every packet, PHY packet, reset start and
// self-ID set its link sees, and answers asynchronous packets with a chosen ack.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bus.h"
#include "node.h"
#include "testing/standalone_host.h"

namespace sim::bus_test {

class TestNode : public Node {
public:
    TestNode(std::string name, int ports, Speed speed) : Node(std::move(name), ports, speed) {}

    Ack ReceivePacket(const Packet& packet) override {
        packets.push_back(packet);
        return ack;
    }
    void ReceivePhyPacket(uint32_t quadlet) override { phyPackets.push_back(quadlet); }
    void OnBusResetStart() override { ++resetStarts; }
    void OnSelfIdComplete(const std::vector<uint32_t>& selfIds) override {
        ++selfIdCompletes;
        lastSelfIds = selfIds;
    }
    void OnLinkOn() override { ++linkOns; }

    Ack ack = kAckComplete;
    std::vector<Packet> packets;
    std::vector<uint32_t> phyPackets;
    int resetStarts = 0;
    int selfIdCompletes = 0;
    int linkOns = 0;
    std::vector<uint32_t> lastSelfIds;
};

// A bus with its host and TestNodes.
struct TestBus {
    StandaloneHost host;
    Bus bus{host};

    TestNode* Add(int ports = 3, Speed speed = kS400, std::string name = "") {
        if (name.empty()) name = "n" + std::to_string(bus.nodes().size());
        return static_cast<TestNode*>(bus.Add(std::make_unique<TestNode>(name, ports, speed)));
    }
    // Runs the clock until every reset has completed.
    void Settle() { host.RunFor(10 * kTicksPerMillisecond); }
};

}  // namespace sim::bus_test
