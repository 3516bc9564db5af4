// A bare link on the model's bus that reads other nodes' configuration ROMs: it sends quadlet and
// block read requests and keeps every response it receives (acked ack_complete).
#pragma once

#include <memory>
#include <vector>

#include "bus.h"
#include "node.h"
#include "packet.h"

namespace kxfuzz {

class RomRequester : public sim::Node {
public:
    RomRequester() : Node("requester", 1, sim::kS400) {}
    sim::Ack ReceivePacket(const sim::Packet& packet) override {
        received.push_back(packet);
        return sim::kAckComplete;
    }

    // A read of the ROM at `byteOffset` (0xFFFFF0000400 + offset): a quadlet read when
    // `blockLength` is 0, else a block read of that many bytes.
    sim::Ack Read(sim::Node* target, uint32_t byteOffset, uint16_t blockLength, uint8_t tlabel) {
        sim::Packet p;
        p.speed = sim::kS100;
        p.SetDestinationId(target->NodeId());
        p.SetTlabel(tlabel & 0x3F);
        p.SetTcode(blockLength == 0 ? sim::kTcodeReadQuadletRequest : sim::kTcodeReadBlockRequest);
        p.SetSourceId(NodeId());
        p.SetOffset(0xFFFFF0000400ull + byteOffset);
        if (blockLength != 0) p.SetDataLengthAndExtendedTcode(blockLength, 0);
        return bus()->SendAsync(this, p);
    }

    std::vector<sim::Packet> received;
};

}  // namespace kxfuzz
