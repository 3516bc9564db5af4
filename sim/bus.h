// The cable bus: nodes joined port to port in a tree, bus resets with tree identification and
// self-identification (IEEE 1394-1995 4.4, IEEE 1394a), and the delivery of asynchronous and PHY
// packets between nodes in one generation.
//
// Rules of this bus, where the standard leaves a choice to the hardware or to chance:
// - Cables: Connect refuses a cable that would close a loop (checked over every cable, disabled
//   ports included) or join more than 63 nodes; Add refuses a 64th node on the bus.
// - One reset machine serves the whole cable plant: every reset (requested, or from a connection
//   change) runs on every node, and each set of nodes joined by active ports (a cable whose two
//   ports are enabled) is a bus of its own with its own physical IDs and self-ID packets. A node
//   alone is a bus of one. The calls without a node argument (NodeCount, NodeByPhyId, Root,
//   SelfIds) describe the bus of the first node added (usually the local node).
// - Add, Connect, Disconnect, Unplug and a port's Disabled change start a long reset at once, as
//   the PHYs would on noticing the connection change; the PHY that noticed first (Connect's `a`, the
//   unplugged node's first peer) sets the i bit.
// - A reset requested while one runs restarts it (reset storm); the restarted reset is long if
//   either is long. Only the last one completes, with one generation step.
// - Tree identification is modelled as leaf stripping (IEEE 1394-1995 4.4.2.2): in each round every
//   node with at most one neighbour left names that neighbour its parent. A node with RHB set holds
//   back (the force-root delay of 1394a) while any node without RHB can still go; when only RHB
//   nodes could go, they all go. The last node standing is root. When the last two nodes would
//   name each other (root contention), the one added to the bus first becomes root (or, with
//   rootContentionFirstAddedWins cleared, the one added last); this stands for the random back-off
//   of root contention in 4.4.2.2, which picks either.
// - The gap count falls back to 63 at a reset unless a configuration packet with T = 1 or a
//   register write set it since the reset before (IEEE 1394a gap_count_reset_disable; see phy.h).
//   The rule runs once per completed reset; with gapRuleAtEveryResetStart it runs at every reset
//   start instead, so that a reset restarted before it completes counts again.
// - Every connection change notes each PHY's port changes (Port_event, see phy.h) before the
//   reset starts. A 1394-1995 PHY answers no extended PHY packet.
// - A link does not receive the packets it sends itself (asynchronous or PHY), as a PHY does not
//   repeat its link's transmission back to it; an asynchronous packet to the sender's own physical
//   ID gets no ack. Only a link that is on and powered (Node::LinkActive) receives packets.
// - Self-ID sp: S100 0, S200 1, S400 2, and 3 for the 1394b PHYs (S800..S3200), whose exact speed
//   1394b leaves to their registers (the Max_speed of r3 carries it here).
// - The isochronous cycle (IEEE 1394-1995 8.4.2): on each bus whose root is cycle master
//   (Node::CycleMasterEnabled, link active) a cycle starts whenever the root's cycle timer passes a
//   cycle boundary; the cycle start packet carries the root's CYCLE_TIME: every active link
//   receives it (ReceiveCycleStart), then every active link sees OnCycleStart in physical ID
//   order, talkers sending from there. One clock event per cycle per bus, and none while no active
//   link on the bus wants cycles: those cycles are skipped. A link wants cycles while it says so
//   (Node::WantsCycleStarts), for a second after it last sent an isochronous packet (a talker
//   between frames), and for two cycles after an asynchronous packet reached it (a register
//   write may have made it a talker: it then sends in the next cycle). No cycle runs during a
//   reset; a reset takes the cycle master away until self-identification has made a root again.
// - Cycle too long: the isochronous packets of one cycle are counted in bandwidth units (one
//   quadlet at S1600; a packet costs its data quadlets plus header, header CRC and data CRC, times
//   16 >> speed). A cycle whose packets need more than the 6144 units of 125 us ran too long: the
//   cycle master is told (Node::OnCycleTooLong) after the cycle.
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
    static constexpr int kMaxNodes = 63;

    explicit Bus(Host& clock);
    ~Bus();
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    Host& clock() { return clock_; }

    // Topology. Nodes are owned by the bus. Joining or parting ports starts a bus reset, as the
    // PHYs notice the connection change. Add returns null (and drops the node) when 63 nodes are
    // on the bus already; Connect returns false (and changes nothing) for a port in use or out of
    // range, a cable that would close a loop, or a bus of more than 63 nodes.
    Node* Add(std::unique_ptr<Node> node);
    bool Connect(Node* a, int portA, Node* b, int portB);
    void Disconnect(Node* a, int portA);
    // Unplugs a node (every port parted); plug it back with Connect.
    void Unplug(Node* node);
    const std::vector<std::unique_ptr<Node>>& nodes() const { return nodes_; }
    // The node and port at the other end of a port's cable (null when none).
    Node* Peer(const Node* node, int port, int* peerPort = nullptr) const;

    // Bus reset: long (IBR, connection change) or short arbitrated (ISBR). The reset starts at once
    // (every link's OnBusResetStart); self-identification completes after the reset time (and
    // OnSelfIdComplete runs for every node). A reset requested while one runs restarts it.
    void RequestReset(bool shortReset, Node* initiator = nullptr);
    bool InReset() const { return inReset_; }
    // Fault: a reset storm. `resets` resets, the first at once and then one every `interval`; an
    // interval shorter than the reset time restarts each reset before it completes.
    void ResetStorm(int resets, Ticks interval, bool shortResets = false);
    // Incremented at every reset that completes; packets carry the generation they were sent in.
    uint32_t Generation() const { return generation_; }

    // A PHY register write from a node's link (OHCI PhyControl): applies the write and starts the
    // reset it asks for (IBR, ISBR, a port's Disabled).
    void WritePhyRegister(Node* node, uint8_t reg, uint8_t value);

    // After self-identification: the nodes in physical ID order, their count, the root, and every
    // self-ID packet sent (as the links saw them, after tamperSelfIds). Without a node argument:
    // the bus of the first node added; with one: the bus that node is on. During a reset they still
    // describe the last completed one (a node added since is on no bus yet).
    int NodeCount() const;
    Node* NodeByPhyId(int phyId) const;
    Node* Root() const;
    const std::vector<uint32_t>& SelfIds() const;
    int NodeCount(const Node* on) const;
    Node* NodeByPhyId(const Node* on, int phyId) const;
    Node* Root(const Node* on) const;
    const std::vector<uint32_t>& SelfIds(const Node* on) const;

    // The speed of the path between two nodes: the slowest PHY on it (both ends included), as of
    // the last self-identification. S100 when they are not on one bus.
    Speed PathSpeed(const Node* a, const Node* b) const;

    // Sends an asynchronous packet from a node in the current generation. The destination's link
    // answers at once with its ack; broadcast (phy ID 63) reaches every other link and returns
    // kAckComplete. A packet to a physical ID that no node has (or whose link is off), to another
    // bus_ID than 0x3FF or busId, to the sender itself, a packet faster than the path, or any packet
    // during a reset returns kAckMissing. The form with a generation also returns kAckMissing when
    // the bus has moved on from that generation. A PHY packet (isPhy) goes to SendPhyPacket and is
    // reported kAckComplete (PHY packets have no ack).
    Ack SendAsync(Node* from, const Packet& packet);
    Ack SendAsync(Node* from, const Packet& packet, uint32_t generation);
    // Sends an isochronous packet from a node in the current cycle: every other node on the
    // sender's bus whose link is active and whose path from the sender carries the packet's speed
    // sees it (ReceiveIsochronous). Nothing is sent during a reset.
    void SendIsochronous(Node* from, const IsoPacket& packet);
    // Sends an asynchronous stream packet (IEEE 1394a): delivered as an isochronous packet is, to
    // every listening link the speed reaches, but in the asynchronous period, so it takes no
    // isochronous bandwidth and needs no cycle. Nothing is sent during a reset.
    void SendAsyncStream(Node* from, const IsoPacket& packet);

    // The isochronous cycle. The node sending cycle starts on that node's bus (null: none, or
    // during a reset), and the cycles run so far on all buses.
    Node* CycleMaster(const Node* on) const;
    uint64_t CyclesRun() const { return cyclesRun_; }
    // A node's WantsCycleStarts or CycleMasterEnabled (or its cycle timer, as master) may have
    // changed: the bus starts, moves or stops its cycles.
    void CycleDemandChanged();
    // Bandwidth units in one cycle (125 us at S1600 quadlets) and what one packet costs.
    static constexpr uint32_t kUnitsPerCycle = 6144;
    static uint32_t PacketUnits(const IsoPacket& packet);

    // Sends a PHY packet: configuration packets change the gap count and the root holdoff of
    // every PHY (force root: only the named PHY keeps RHB), the sender's own PHY included; a
    // link-on packet sets the named PHY's LCtrl (Node::OnLinkOn); a remote access packet (types 1
    // and 5) is answered by the named PHY with a remote reply packet after remoteReplyDelay; a
    // ping (type 0) by the named PHY's self-ID packets. Every other link with link-on on the
    // sender's bus sees every PHY packet. False (nothing sent) during a reset.
    bool SendPhyPacket(Node* from, uint32_t quadlet);

    // Reset timing (ticks): from the start of a reset to self-ID complete.
    Ticks longResetTime = 2 * kTicksPerMillisecond / 10;  // 200 us
    Ticks shortResetTime = kTicksPerMillisecond / 10;     // 100 us
    // From a remote access or ping packet to the answer.
    Ticks remoteReplyDelay = 2 * kTicksPerMicrosecond;
    // The bus number this bus answers to besides 0x3FF (the local node's NodeID.busNumber).
    uint16_t busId = kLocalBus;
    // Readings the standards leave to chance or to the PHY's state machine (see the rules above).
    bool rootContentionFirstAddedWins = true;
    bool gapRuleAtEveryResetStart = false;

    // Faults a test can switch on: a hook that may rewrite the self-ID packets of the next resets
    // before links see them (bad inverse and junk are the controller's affair: see OhciController).
    // It runs once per bus (set of joined nodes) at every reset.
    std::function<void(std::vector<uint32_t>& selfIds)> tamperSelfIds;

private:
    // Per node (by Node::index_): what its ports are joined to, and its place in the last tree.
    struct Attachment {
        Node* peer = nullptr;
        int port = -1;
    };
    struct Place {
        std::vector<Attachment> ports;
        Ticks wantsCyclesUntil = 0;  // a talker lately, or a node a request just reached
        Node* parent = nullptr;
        int depth = 0;
        int component = -1;
    };
    // A bus: the nodes joined by active ports, as of the last self-identification.
    struct Component {
        std::vector<Node*> byPhyId;
        std::vector<uint32_t> selfIds;
        Node* cycleMaster = nullptr;  // the root while it sends cycle starts
        bool cycleScheduled = false;
        uint64_t cycleEvent = 0;
        uint32_t unitsThisCycle = 0;  // isochronous bandwidth used in the running cycle
    };

    bool OnThisBus(const Node* node) const { return node && node->bus_ == this; }
    Place& PlaceOf(const Node* node) { return places_[size_t(node->index_)]; }
    const Place& PlaceOf(const Node* node) const { return places_[size_t(node->index_)]; }
    const Component* ComponentOf(const Node* node) const;
    Node* ActivePeer(const Node* node, int port, int* peerPort = nullptr) const;
    bool Joined(const Node* a, const Node* b) const;
    int CableComponentSize(const Node* node) const;
    void Part(Node* node, int port);
    void ConnectionChanged(Node* noticedBy);

    void StartReset(bool shortReset);
    void CompleteReset();
    void IdentifyTree();
    std::vector<Node*> FindBus(Node* start);
    Node* StripLeaves(const std::vector<Node*>& members);
    void OrientPorts(Node* root);
    void IdentifySelf(Node* root, Component& component);
    void SendSelfIds(Node* node, Component& component);
    void DeliverStream(Node* from, const IsoPacket& packet);
    void DeliverPhyPacket(Node* from, uint32_t quadlet);
    void AnswerPhyPacket(Node* target, uint32_t quadlet);
    void ApplyConfiguration(Node* from, uint32_t quadlet);
    void RemoteCommand(Node* target, uint8_t port, uint8_t command);
    void UpdateCycles(size_t component);
    bool WantsCycles(const Node* node) const;
    void RunCycle(size_t component);
    void StopCycles();

    Host& clock_;
    std::vector<std::unique_ptr<Node>> nodes_;
    std::vector<Place> places_;
    std::vector<Component> components_;
    uint32_t generation_ = 0;
    bool inReset_ = false;
    bool longReset_ = false;
    uint64_t resetEvent_ = 0;
    bool resetScheduled_ = false;
    uint64_t resetSerial_ = 0;  // counts reset starts: a callback that starts a reset ends the round
    uint64_t cyclesRun_ = 0;
    bool updatingCycles_ = false;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);  // events scheduled by the bus check it
};

}  // namespace sim
