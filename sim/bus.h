// The cable bus: nodes joined port to port in a tree, bus resets with tree identification and
// self-identification (IEEE 1394-1995 4.4, IEEE 1394a), and the delivery of asynchronous and PHY
// packets between nodes in one generation.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "node.h"
#include "sim_host.h"

namespace sim {

class Bus {
public:
    explicit Bus(Host& clock);
    ~Bus();
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    Host& clock() { return clock_; }

    // Topology. Nodes are owned by the bus. Joining or parting ports starts a bus reset, as the
    // PHYs notice the connection change.
    Node* Add(std::unique_ptr<Node> node);
    void Connect(Node* a, int portA, Node* b, int portB);
    void Disconnect(Node* a, int portA);
    // Unplugs a node (every port parted) or plugs it back (to a given port of a given node).
    void Unplug(Node* node);
    const std::vector<std::unique_ptr<Node>>& nodes() const { return nodes_; }

    // Bus reset: long (IBR, connection change) or short arbitrated (ISBR). The reset starts at once
    // (every link's OnBusResetStart); self-identification completes after the reset time (and
    // OnSelfIdComplete runs for every node). A reset requested while one runs restarts it.
    void RequestReset(bool shortReset, Node* initiator = nullptr);
    bool InReset() const { return inReset_; }
    // Incremented at every reset that completes; packets carry the generation they were sent in.
    uint32_t Generation() const { return generation_; }

    // After self-identification: the nodes in physical ID order, their count, the root, and every
    // self-ID packet sent.
    int NodeCount() const { return int(byPhyId_.size()); }
    Node* NodeByPhyId(int phyId) const;
    Node* Root() const;
    const std::vector<uint32_t>& SelfIds() const { return selfIds_; }

    // The speed of the path between two nodes: the slowest PHY on it.
    Speed PathSpeed(const Node* a, const Node* b) const;

    // Sends an asynchronous packet from a node in the current generation. The destination's link
    // answers at once with its ack; broadcast (phy ID 63) reaches every other link and returns
    // kAckComplete. A packet to a physical ID that no node has, a packet faster than the path, or
    // any packet during a reset returns kAckMissing.
    Ack SendAsync(Node* from, const Packet& packet);
    // Sends a PHY packet: configuration packets change the gap count and the root holdoff of
    // every PHY (force root: only the named PHY keeps RHB); remote access packets are answered by
    // the named PHY with a remote reply packet; every link with link-on sees every PHY packet.
    void SendPhyPacket(Node* from, uint32_t quadlet);

    // Reset timing (ticks): from the start of a reset to self-ID complete.
    Ticks longResetTime = 2 * kTicksPerMillisecond / 10;  // 200 us
    Ticks shortResetTime = kTicksPerMillisecond / 10;     // 100 us

    // Faults a test can switch on: a hook that may rewrite the self-ID packets of the next resets
    // before links see them (bad inverse and junk are the controller's affair: see OhciController).
    std::function<void(std::vector<uint32_t>& selfIds)> tamperSelfIds;

private:
    void StartReset(bool shortReset);
    void CompleteReset();
    void IdentifyTree();
    void IdentifySelf();

    Host& clock_;
    std::vector<std::unique_ptr<Node>> nodes_;
    std::vector<Node*> byPhyId_;
    std::vector<uint32_t> selfIds_;
    uint32_t generation_ = 0;
    bool inReset_ = false;
    uint64_t resetEvent_ = 0;
    bool resetScheduled_ = false;
    struct Link {
        Node* a;
        int portA;
        Node* b;
        int portB;
    };
    std::vector<Link> links_;
};

}  // namespace sim
