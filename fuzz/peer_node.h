// A node of the fuzz targets on the model's bus: a plain IEEE 1212 node (a configuration ROM that
// names no unit, sixteen quadlet registers at kRegisterBase answering reads, writes and locks)
// whose transaction layer an input can take over. While `hold` is set it acks every request
// ack_pending and answers none: the input sends whatever responses it likes (any tcode, label,
// rcode and length) from this node's ID. It also talks on isochronous channels: the packets
// queued are sent, up to `perCycle` of them, from the next cycles on.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "bus.h"
#include "csr_node.h"

namespace kxfuzz {

class PeerNode : public sim::CsrNode {
public:
    static constexpr uint64_t kRegisterBase = 0xFFFFF0010000ull;
    static constexpr uint32_t kRegisterCount = 16;

    explicit PeerNode(std::string name = "peer", uint64_t guid = 0x00ACDE48000000F0ull)
        : CsrNode(std::move(name), 3, sim::kS400, PlainRom(guid)) {
        for (uint32_t i = 0; i < kRegisterCount; ++i) DefineRegister(kRegisterBase + 4 * i, 0);
        Reset();
    }

    static sim::ConfigRom PlainRom(uint64_t guid) {
        sim::BusOptions options;
        options.maxRec = 8;
        options.maxRom = 2;
        sim::RomDirectory root;
        root.Add(sim::rom::kKeyVendor, 0x00ACDE).AddText("Fuzz Peer").Add(sim::rom::kKeyNodeCapabilities, 0x0083C0);
        return sim::ConfigRom::Build(options, guid, root);
    }

    sim::Ack ReceivePacket(const sim::Packet& packet) override {
        if (packet.IsRequest()) {
            if (requests.size() >= 64) requests.pop_front();
            requests.push_back(packet);
        }
        if (hold && packet.IsRequest()) return sim::kAckPending;
        return CsrNode::ReceivePacket(packet);
    }

    // A packet from this node to `destination` in the current generation.
    sim::Ack Send(sim::Packet packet, uint16_t destination) {
        if (bus() == nullptr) return sim::kAckMissing;
        packet.SetDestinationId(destination);
        packet.SetSourceId(NodeId());
        packet.speed = sim::kS400;
        return bus()->SendAsync(this, packet);
    }

    // A quadlet write request from this node (its response, if any, is taken and dropped).
    sim::Ack SendQuadletWrite(const sim::Node* target, uint64_t offset, uint32_t value) {
        sim::Packet write;
        write.SetTcode(sim::kTcodeWriteQuadletRequest);
        write.SetTlabel(0x3F);
        write.SetRetry(1);
        write.SetOffset(offset);
        write.header[3] = value;
        return Send(write, target->NodeId());
    }

    void OnCycleStart(uint32_t cycleTime) override {
        (void)cycleTime;
        for (int i = 0; i < perCycle && !talk.empty(); ++i) {
            bus()->SendIsochronous(this, talk.front());
            talk.pop_front();
        }
    }
    bool WantsCycleStarts() const override { return !talk.empty(); }
    void Talk(sim::IsoPacket packet) {
        talk.push_back(std::move(packet));
        if (bus() != nullptr) bus()->CycleDemandChanged();
    }
    // Back to the node's first state: registers, faults, nothing held or queued.
    void Reset() {
        for (uint32_t i = 0; i < kRegisterCount; ++i) SetRegisterValue(kRegisterBase + 4 * i, 0x01020304u * (i + 1));
        hold = false;
        requests.clear();
        talk.clear();
        faults = Faults();
    }

    bool hold = false;
    std::deque<sim::Packet> requests;  // the last requests received, oldest first
    std::deque<sim::IsoPacket> talk;
    int perCycle = 1;
};

}  // namespace kxfuzz
