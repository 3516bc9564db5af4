// The cable bus: topology, bus reset with tree identification and self-identification, and the
// delivery of asynchronous and PHY packets. The rules this bus follows where the standard leaves a
// choice are listed in bus.h.
#include "bus.h"

#include <algorithm>
#include <utility>

#include "cycle_time.h"

namespace sim {

Bus::Bus(Host& clock) : clock_(clock) {}

Bus::~Bus() {
    if (resetScheduled_) clock_.Cancel(resetEvent_);
    for (Component& component : components_)
        if (component.cycleScheduled) clock_.Cancel(component.cycleEvent);
}

// ---- Topology ----

Node* Bus::Add(std::unique_ptr<Node> node) {
    if (!node || node->bus_ || int(nodes_.size()) >= kMaxNodes) return nullptr;
    Node* added = node.get();
    added->bus_ = this;
    added->index_ = int(nodes_.size());
    nodes_.push_back(std::move(node));
    places_.emplace_back();
    places_.back().ports.resize(size_t(added->phy().ports()));
    ConnectionChanged(added);  // the new PHY's power-on reset
    return added;
}

bool Bus::Connect(Node* a, int portA, Node* b, int portB) {
    if (!OnThisBus(a) || !OnThisBus(b) || a == b) return false;
    if (portA < 0 || portA >= a->phy().ports() || portB < 0 || portB >= b->phy().ports()) return false;
    if (PlaceOf(a).ports[size_t(portA)].peer || PlaceOf(b).ports[size_t(portB)].peer) return false;
    if (Joined(a, b)) return false;  // the cable would close a loop
    if (CableComponentSize(a) + CableComponentSize(b) > kMaxNodes) return false;
    PlaceOf(a).ports[size_t(portA)] = {b, portB};
    PlaceOf(b).ports[size_t(portB)] = {a, portA};
    a->phy().portState()[size_t(portA)].connected = true;
    b->phy().portState()[size_t(portB)].connected = true;
    ConnectionChanged(a);
    return true;
}

void Bus::Disconnect(Node* a, int portA) {
    if (!OnThisBus(a) || portA < 0 || portA >= a->phy().ports() || !PlaceOf(a).ports[size_t(portA)].peer) return;
    Part(a, portA);
    ConnectionChanged(a);
}

void Bus::Unplug(Node* node) {
    if (!OnThisBus(node)) return;
    Node* noticedBy = nullptr;
    for (int port = 0; port < node->phy().ports(); ++port) {
        Node* peer = PlaceOf(node).ports[size_t(port)].peer;
        if (!peer) continue;
        if (!noticedBy) noticedBy = peer;
        Part(node, port);
    }
    if (noticedBy) ConnectionChanged(noticedBy);
}

Node* Bus::Peer(const Node* node, int port, int* peerPort) const {
    if (!OnThisBus(node) || port < 0 || port >= node->phy().ports()) return nullptr;
    const Attachment& at = PlaceOf(node).ports[size_t(port)];
    if (peerPort) *peerPort = at.port;
    return at.peer;
}

void Bus::Part(Node* node, int port) {
    Attachment at = PlaceOf(node).ports[size_t(port)];
    PlaceOf(node).ports[size_t(port)] = {};
    PlaceOf(at.peer).ports[size_t(at.port)] = {};
    node->phy().portState()[size_t(port)].connected = false;
    at.peer->phy().portState()[size_t(at.port)].connected = false;
}

// The peer across a port whose cable carries the bus: both ends connected and enabled.
Node* Bus::ActivePeer(const Node* node, int port, int* peerPort) const {
    const Attachment& at = PlaceOf(node).ports[size_t(port)];
    if (!at.peer || node->phy().portState()[size_t(port)].disabled ||
        at.peer->phy().portState()[size_t(at.port)].disabled)
        return nullptr;
    if (peerPort) *peerPort = at.port;
    return at.peer;
}

// Every node reached from `node` over cables, disabled ports included.
static std::vector<const Node*> CableReach(const Node* start, const std::function<Node*(const Node*, int)>& peer) {
    std::vector<const Node*> seen{start};
    for (size_t i = 0; i < seen.size(); ++i)
        for (int port = 0; port < seen[i]->phy().ports(); ++port) {
            const Node* next = peer(seen[i], port);
            if (next && std::find(seen.begin(), seen.end(), next) == seen.end()) seen.push_back(next);
        }
    return seen;
}

bool Bus::Joined(const Node* a, const Node* b) const {
    auto reach = CableReach(a, [this](const Node* n, int port) { return Peer(n, port); });
    return std::find(reach.begin(), reach.end(), b) != reach.end();
}

int Bus::CableComponentSize(const Node* node) const {
    return int(CableReach(node, [this](const Node* n, int port) { return Peer(n, port); }).size());
}

void Bus::ConnectionChanged(Node* noticedBy) {
    for (auto& node : nodes_) node->phy().NotePortChanges();
    RequestReset(false, noticedBy);
}

void Bus::WritePhyRegister(Node* node, uint8_t reg, uint8_t value) {
    if (!OnThisBus(node)) return;
    switch (node->phy().Write(reg, value)) {
    case Phy::WriteEffect::kLongReset:
        RequestReset(false, node);
        break;
    case Phy::WriteEffect::kShortReset:
        RequestReset(true, node);
        break;
    case Phy::WriteEffect::kNone:
        break;
    }
}

// ---- Bus reset ----

void Bus::RequestReset(bool shortReset, Node* initiator) {
    // The i bit goes to the PHY that asked for the reset that will complete: the last one.
    for (auto& node : nodes_) node->phy().initiatedReset = false;
    if (OnThisBus(initiator)) initiator->phy().initiatedReset = true;
    StartReset(shortReset);
}

void Bus::ResetStorm(int resets, Ticks interval, bool shortResets) {
    std::weak_ptr<int> alive = alive_;
    for (int i = 1; i < resets; ++i)
        clock_.Schedule(clock_.Now() + Ticks(i) * interval, [this, alive, shortResets] {
            if (alive.lock()) RequestReset(shortResets);
        });
    if (resets > 0) RequestReset(shortResets);
}

void Bus::StartReset(bool shortReset) {
    if (gapRuleAtEveryResetStart)
        for (auto& node : nodes_) node->phy().ApplyGapCountRule();
    longReset_ = !shortReset || (inReset_ && longReset_);
    inReset_ = true;
    if (resetScheduled_) clock_.Cancel(resetEvent_);
    std::weak_ptr<int> alive = alive_;
    resetEvent_ = clock_.Schedule(clock_.Now() + (longReset_ ? longResetTime : shortResetTime), [this, alive] {
        if (alive.lock()) CompleteReset();
    });
    resetScheduled_ = true;
    uint64_t serial = ++resetSerial_;
    StopCycles();
    // A link that starts another reset from its callback restarts this one; the new round tells
    // every link again.
    for (size_t i = 0; i < nodes_.size() && serial == resetSerial_; ++i) nodes_[i]->OnBusResetStart();
}

void Bus::CompleteReset() {
    resetScheduled_ = false;
    if (!gapRuleAtEveryResetStart)
        for (auto& node : nodes_) node->phy().ApplyGapCountRule();
    IdentifyTree();
    ++generation_;
    inReset_ = false;
    if (tamperSelfIds)
        for (Component& component : components_) tamperSelfIds(component.selfIds);
    uint64_t serial = resetSerial_;
    for (size_t i = 0; i < nodes_.size() && serial == resetSerial_; ++i) {
        Node* node = nodes_[i].get();
        if (const Component* component = ComponentOf(node)) node->OnSelfIdComplete(component->selfIds);
    }
    for (size_t i = 0; i < components_.size() && serial == resetSerial_; ++i) UpdateCycles(i);
}

// Every set of nodes joined by active ports is a bus: tree identification, then self-identification.
void Bus::IdentifyTree() {
    std::vector<Component> components;
    for (Place& place : places_) place.component = -1;
    for (auto& owned : nodes_) {
        Node* node = owned.get();
        if (PlaceOf(node).component >= 0) continue;
        std::vector<Node*> members = FindBus(node);
        for (Node* member : members) PlaceOf(member).component = int(components.size());
        Node* root = StripLeaves(members);
        OrientPorts(root);
        components.emplace_back();
        IdentifySelf(root, components.back());
    }
    components_ = std::move(components);
}

std::vector<Node*> Bus::FindBus(Node* start) {
    std::vector<Node*> members{start};
    std::vector<bool> seen(nodes_.size(), false);
    seen[size_t(start->index_)] = true;
    for (size_t i = 0; i < members.size(); ++i)
        for (int port = 0; port < members[i]->phy().ports(); ++port) {
            Node* peer = ActivePeer(members[i], port);
            if (peer && !seen[size_t(peer->index_)]) {
                seen[size_t(peer->index_)] = true;
                members.push_back(peer);
            }
        }
    return members;
}

// Tree identification as leaf stripping (IEEE 1394-1995 4.4.2.2): each round, every node with at
// most one neighbour left sends its parent notify. Nodes with RHB hold back while others can go.
// Returns the root.
Node* Bus::StripLeaves(const std::vector<Node*>& members) {
    std::vector<int> degree(nodes_.size(), 0);
    std::vector<bool> gone(nodes_.size(), false);
    for (Node* member : members)
        for (int port = 0; port < member->phy().ports(); ++port)
            if (ActivePeer(member, port)) ++degree[size_t(member->index_)];
    size_t remaining = members.size();
    std::vector<Node*> leaves;
    while (remaining > 1) {
        for (bool holdoffExpired : {false, true}) {
            leaves.clear();
            for (Node* member : members) {
                size_t i = size_t(member->index_);
                if (!gone[i] && degree[i] <= 1 && (holdoffExpired || !member->phy().rootHoldoff))
                    leaves.push_back(member);
            }
            if (!leaves.empty()) break;
        }
        if (leaves.size() == remaining) {
            // Root contention between the last two: the node added first wins (or last, by option).
            const bool firstWins = rootContentionFirstAddedWins;
            return std::min(leaves[0], leaves[1], [firstWins](const Node* x, const Node* y) {
                return firstWins ? x->index_ < y->index_ : x->index_ > y->index_;
            });
        }
        for (Node* leaf : leaves) {
            gone[size_t(leaf->index_)] = true;
            --remaining;
            for (int port = 0; port < leaf->phy().ports(); ++port)
                if (Node* peer = ActivePeer(leaf, port)) --degree[size_t(peer->index_)];
        }
    }
    for (Node* member : members)
        if (!gone[size_t(member->index_)]) return member;
    return members.front();
}

// Walks the tree from the root: parent and child ports, depth, negotiated port speeds.
void Bus::OrientPorts(Node* root) {
    struct Step {
        Node* node;
        Node* parent;
        int parentPort;
        int depth;
    };
    std::vector<Step> stack{{root, nullptr, -1, 0}};
    while (!stack.empty()) {
        Step step = stack.back();
        stack.pop_back();
        Place& place = PlaceOf(step.node);
        place.parent = step.parent;
        place.depth = step.depth;
        step.node->phy().isRoot = step.parent == nullptr;
        auto& ports = step.node->phy().portState();
        for (int port = 0; port < int(ports.size()); ++port) {
            int peerPort = -1;
            Node* peer = ActivePeer(step.node, port, &peerPort);
            Phy::Port& state = ports[size_t(port)];
            if (!peer) {
                state.state = kPortNotConnected;
                continue;
            }
            state.negotiated = std::min(step.node->phy().speed(), peer->phy().speed());
            if (port == step.parentPort) {
                state.state = kPortParent;
            } else {
                state.state = kPortChild;
                stack.push_back({peer, step.node, peerPort, step.depth + 1});
            }
        }
    }
}

// Self-identification: the root's subtree is walked child ports in ascending order; every node
// sends after all the nodes of its children's subtrees, and takes the next physical ID.
void Bus::IdentifySelf(Node* root, Component& component) { SendSelfIds(root, component); }

void Bus::SendSelfIds(Node* node, Component& component) {
    for (int port = 0; port < node->phy().ports(); ++port)
        if (node->phy().portState()[size_t(port)].state == kPortChild) SendSelfIds(ActivePeer(node, port), component);
    node->phy().phyId = uint8_t(component.byPhyId.size());
    component.byPhyId.push_back(node);
    node->phy().AppendSelfIdPackets(component.selfIds, node->LinkActive());
}

// ---- Queries ----

const Bus::Component* Bus::ComponentOf(const Node* node) const {
    if (!OnThisBus(node)) return nullptr;
    int index = PlaceOf(node).component;
    if (index < 0 || index >= int(components_.size())) return nullptr;
    return &components_[size_t(index)];
}

int Bus::NodeCount() const { return nodes_.empty() ? 0 : NodeCount(nodes_.front().get()); }
Node* Bus::NodeByPhyId(int phyId) const { return nodes_.empty() ? nullptr : NodeByPhyId(nodes_.front().get(), phyId); }
Node* Bus::Root() const { return nodes_.empty() ? nullptr : Root(nodes_.front().get()); }

const std::vector<uint32_t>& Bus::SelfIds() const {
    static const std::vector<uint32_t> kNone;
    return nodes_.empty() ? kNone : SelfIds(nodes_.front().get());
}

int Bus::NodeCount(const Node* on) const {
    const Component* component = ComponentOf(on);
    return component ? int(component->byPhyId.size()) : 0;
}

Node* Bus::NodeByPhyId(const Node* on, int phyId) const {
    const Component* component = ComponentOf(on);
    if (!component || phyId < 0 || phyId >= int(component->byPhyId.size())) return nullptr;
    return component->byPhyId[size_t(phyId)];
}

Node* Bus::Root(const Node* on) const {
    const Component* component = ComponentOf(on);
    return component && !component->byPhyId.empty() ? component->byPhyId.back() : nullptr;
}

const std::vector<uint32_t>& Bus::SelfIds(const Node* on) const {
    static const std::vector<uint32_t> kNone;
    const Component* component = ComponentOf(on);
    return component ? component->selfIds : kNone;
}

Speed Bus::PathSpeed(const Node* a, const Node* b) const {
    const Component* component = ComponentOf(a);
    if (!component || component != ComponentOf(b)) return kS100;
    Speed slowest = std::min(a->phy().speed(), b->phy().speed());
    // Climb from the deeper end towards the common ancestor.
    while (a != b) {
        const Node*& deeper = PlaceOf(a).depth >= PlaceOf(b).depth ? a : b;
        deeper = PlaceOf(deeper).parent;
        if (!deeper) return kS100;  // not one tree: cannot happen after tree identification
        slowest = std::min(slowest, deeper->phy().speed());
    }
    return slowest;
}

// ---- Asynchronous packets ----

Ack Bus::SendAsync(Node* from, const Packet& packet, uint32_t generation) {
    if (generation != generation_) return kAckMissing;
    return SendAsync(from, packet);
}

Ack Bus::SendAsync(Node* from, const Packet& packet) {
    if (!OnThisBus(from)) return kAckMissing;
    if (packet.isPhy) return SendPhyPacket(from, packet.header[0]) ? kAckComplete : kAckMissing;
    const Component* component = ComponentOf(from);
    if (inReset_ || !component) return kAckMissing;
    uint16_t busNumber = uint16_t(packet.DestinationId() >> 6);
    int phyId = packet.DestinationId() & 0x3F;
    if (busNumber != kLocalBus && busNumber != busId) return kAckMissing;
    if (phyId == kBroadcastPhyId) {
        for (Node* to : component->byPhyId) {
            if (inReset_) break;  // a receiver started a reset: the rest of the bus hears no more
            if (to != from && to->LinkActive() && packet.speed <= PathSpeed(from, to)) to->ReceivePacket(packet);
        }
        return kAckComplete;
    }
    if (phyId >= int(component->byPhyId.size())) return kAckMissing;
    Node* to = component->byPhyId[size_t(phyId)];
    if (to == from || !to->LinkActive() || packet.speed > PathSpeed(from, to)) return kAckMissing;
    const Ack ack = to->ReceivePacket(packet);
    // A register write may have made the receiver a talker: it gets the next cycles to show it.
    if (!inReset_ && ComponentOf(from) == component) {
        Ticks& until = PlaceOf(to).wantsCyclesUntil;
        until = std::max(until, clock_.Now() + 2 * cycle_time::kTicksPerCycle + 1);
        UpdateCycles(size_t(PlaceOf(from).component));
    }
    return ack;
}

// ---- Isochronous packets ----

void Bus::SendIsochronous(Node* from, const IsoPacket& packet) {
    if (!OnThisBus(from)) return;
    const Component* component = ComponentOf(from);
    if (inReset_ || !component) return;
    components_[size_t(PlaceOf(from).component)].unitsThisCycle += PacketUnits(packet);
    PlaceOf(from).wantsCyclesUntil = clock_.Now() + kTicksPerSecond;
    DeliverStream(from, packet);
}

void Bus::SendAsyncStream(Node* from, const IsoPacket& packet) {
    if (!OnThisBus(from) || inReset_ || !ComponentOf(from)) return;
    DeliverStream(from, packet);
}

void Bus::DeliverStream(Node* from, const IsoPacket& packet) {
    const Component* component = ComponentOf(from);
    for (Node* to : component->byPhyId) {
        if (inReset_) break;
        if (to != from && to->LinkActive() && packet.speed <= PathSpeed(from, to)) to->ReceiveIsochronous(packet);
    }
}

uint32_t Bus::PacketUnits(const IsoPacket& packet) {
    // Data quadlets, header quadlet, header CRC and data CRC, each 16 units at S100 down to 1 at
    // S1600 (and half a unit at S3200).
    const uint32_t quadlets = uint32_t((packet.data.size() + 3) / 4) + 3;
    if (packet.speed >= kS3200) return (quadlets + 1) / 2;
    return quadlets * (16u >> packet.speed);
}

// ---- The isochronous cycle ----

Node* Bus::CycleMaster(const Node* on) const {
    const Component* component = ComponentOf(on);
    return inReset_ || !component ? nullptr : component->cycleMaster;
}

void Bus::CycleDemandChanged() {
    if (updatingCycles_ || inReset_) return;
    for (size_t i = 0; i < components_.size() && !inReset_; ++i) UpdateCycles(i);
}

// Finds the bus's cycle master, tells the links when it changed, and keeps the next cycle
// scheduled at the master's next cycle boundary while some active link wants cycles.
void Bus::UpdateCycles(size_t index) {
    if (inReset_ || index >= components_.size()) return;
    Component& c = components_[index];
    Node* root = c.byPhyId.empty() ? nullptr : c.byPhyId.back();
    Node* master = root && root->LinkActive() && root->CycleMasterEnabled() ? root : nullptr;
    if (master != c.cycleMaster) {
        c.cycleMaster = master;
        if (c.cycleScheduled) clock_.Cancel(c.cycleEvent);
        c.cycleScheduled = false;
        const uint64_t serial = resetSerial_;
        updatingCycles_ = true;
        for (size_t i = 0; i < c.byPhyId.size() && serial == resetSerial_; ++i) c.byPhyId[i]->OnCycleMasterChange();
        updatingCycles_ = false;
        if (serial != resetSerial_) return;
        master = c.cycleMaster;
    }
    bool wanted = false;
    if (master)
        for (Node* node : c.byPhyId)
            if (WantsCycles(node)) {
                wanted = true;
                break;
            }
    if (!wanted) {
        if (c.cycleScheduled) clock_.Cancel(c.cycleEvent);
        c.cycleScheduled = false;
        return;
    }
    if (c.cycleScheduled) return;
    const uint32_t offset = master->CycleTime() & 0xFFF;
    const uint64_t toBoundary = cycle_time::kOffsetsPerCycle - std::min<uint32_t>(offset, cycle_time::kOffsetsPerCycle - 1);
    c.cycleScheduled = true;
    c.cycleEvent = clock_.Schedule(clock_.Now() + cycle_time::TicksForOffsets(toBoundary), [this, index] { RunCycle(index); });
}

bool Bus::WantsCycles(const Node* node) const {
    return node->LinkActive() && (PlaceOf(node).wantsCyclesUntil > clock_.Now() || node->WantsCycleStarts());
}

// One cycle: the cycle start (the master's CYCLE_TIME), every active link's OnCycleStart, then
// the check for a cycle too long.
void Bus::RunCycle(size_t index) {
    Component& c = components_[index];
    c.cycleScheduled = false;
    Node* master = c.cycleMaster;
    if (inReset_ || !master) return;
    if (!master->LinkActive() || !master->CycleMasterEnabled()) return UpdateCycles(index);
    const uint32_t cycleTime = master->CycleTime();
    const uint32_t offset = cycleTime & 0xFFF;
    if (offset > 8 && offset < cycle_time::kOffsetsPerCycle - 8) return UpdateCycles(index);  // its timer moved
    ++cyclesRun_;
    c.unitsThisCycle = 0;
    const uint64_t serial = resetSerial_;
    for (size_t i = 0; i < c.byPhyId.size() && serial == resetSerial_; ++i)
        if (c.byPhyId[i]->LinkActive()) c.byPhyId[i]->ReceiveCycleStart(cycleTime);
    for (size_t i = 0; i < c.byPhyId.size() && serial == resetSerial_; ++i)
        if (c.byPhyId[i]->LinkActive()) c.byPhyId[i]->OnCycleStart(cycleTime);
    if (serial != resetSerial_) return;
    if (c.unitsThisCycle > kUnitsPerCycle && c.cycleMaster == master) master->OnCycleTooLong();
    if (serial == resetSerial_) UpdateCycles(index);
}

// A reset: no cycles until a root is found again.
void Bus::StopCycles() {
    for (Component& c : components_) {
        if (c.cycleScheduled) clock_.Cancel(c.cycleEvent);
        c.cycleScheduled = false;
        if (!c.cycleMaster) continue;
        c.cycleMaster = nullptr;
        for (Node* node : c.byPhyId) node->OnCycleMasterChange();
    }
}

// ---- PHY packets ----

bool Bus::SendPhyPacket(Node* from, uint32_t quadlet) {
    if (!OnThisBus(from) || inReset_ || !ComponentOf(from)) return false;
    uint32_t kind = quadlet & phy_packet::kTypeMask;
    if (kind == phy_packet::kConfiguration && !phy_packet::IsExtended(quadlet)) ApplyConfiguration(from, quadlet);
    DeliverPhyPacket(from, quadlet);
    if (inReset_) return true;
    Node* target = NodeByPhyId(from, phy_packet::PhyId(quadlet));
    if (!target) return true;
    if (kind == phy_packet::kLinkOn) {
        target->phy().linkOn = true;
        target->OnLinkOn();
    } else if (phy_packet::IsExtended(quadlet)) {
        AnswerPhyPacket(target, quadlet);
    }
    return true;
}

// Configuration packet (IEEE 1394a 4.3.4): every PHY on the bus applies it, the sender's too.
void Bus::ApplyConfiguration(Node* from, uint32_t quadlet) {
    for (Node* node : ComponentOf(from)->byPhyId) {
        Phy& phy = node->phy();
        if (phy_packet::ForceRoot(quadlet)) phy.rootHoldoff = phy.phyId == phy_packet::PhyId(quadlet);
        if (phy_packet::GapValid(quadlet)) phy.SetGapCount(phy_packet::GapCount(quadlet));
    }
}

void Bus::DeliverPhyPacket(Node* from, uint32_t quadlet) {
    const Component* component = ComponentOf(from);
    if (!component) return;
    for (Node* to : component->byPhyId) {
        if (inReset_) break;
        if (to != from && to->LinkActive()) to->ReceivePhyPacket(quadlet);
    }
}

// Extended PHY packets the named PHY answers (IEEE 1394a 4.3.4): ping with its self-ID
// packets, remote access with a remote reply, remote command with a remote confirmation. The
// answer goes out after remoteReplyDelay, unless a reset came first.
void Bus::AnswerPhyPacket(Node* target, uint32_t quadlet) {
    using namespace phy_packet;
    uint8_t type = ExtendedType(quadlet);
    if (!target->phy().Is1394a()) return;  // a 1394-1995 PHY knows no extended PHY packet
    if (type != kExtendedPing && type != kRemoteAccessBase && type != kRemoteAccessPaged && type != kRemoteCommand)
        return;
    std::weak_ptr<int> alive = alive_;
    uint32_t generation = generation_;
    clock_.Schedule(clock_.Now() + remoteReplyDelay, [this, alive, generation, target, quadlet] {
        if (!alive.lock() || inReset_ || generation != generation_) return;
        uint8_t type = ExtendedType(quadlet);
        Phy& phy = target->phy();
        uint8_t page = Page(quadlet), port = Port(quadlet), reg = Register(quadlet);
        if (type == kExtendedPing) {
            std::vector<uint32_t> packets;
            phy.AppendSelfIdPackets(packets, target->LinkActive());
            for (uint32_t packet : packets) SendPhyPacket(target, packet);
        } else if (type == kRemoteAccessBase) {
            SendPhyPacket(target, MakeExtended(phy.phyId, kRemoteReplyBase, page, port, reg, phy.Read(reg)));
        } else if (type == kRemoteAccessPaged) {
            SendPhyPacket(target, MakeExtended(phy.phyId, kRemoteReplyPaged, page, port, reg,
                                               phy.ReadPaged(page, port, uint8_t(8 + reg))));
        } else {
            RemoteCommand(target, port, uint8_t(quadlet & 0x7));
        }
    });
}

// Remote command (type 8): disable or enable a port, answered by a remote confirmation (type A):
// port 14:11, connected 6, bias 5, disabled 4, ok 3, command 2:0. A port that joins or leaves the
// bus then starts a reset.
void Bus::RemoteCommand(Node* target, uint8_t port, uint8_t command) {
    using namespace phy_packet;
    Phy& phy = target->phy();
    bool ok = port < phy.ports() && (command == kCommandNop || command == kCommandDisablePort ||
                                     command == kCommandEnablePort);
    bool changed = false;
    if (ok && command != kCommandNop) {
        Phy::Port& state = phy.portState()[port];
        bool disable = command == kCommandDisablePort;
        changed = state.connected && state.disabled != disable;
        state.disabled = disable;
    }
    uint32_t confirmation = MakeExtended(phy.phyId, kRemoteConfirmation, 0, port, 0, 0) | command;
    if (port < phy.ports()) {
        const Phy::Port& state = phy.portState()[port];
        confirmation |= (state.connected ? kConfirmConnected : 0) | (state.Active() ? kConfirmBias : 0) |
                        (state.disabled ? kConfirmDisabled : 0);
    }
    if (ok) confirmation |= kConfirmOk;
    SendPhyPacket(target, confirmation);
    phy.NotePortChanges();
    if (changed) ConnectionChanged(target);
}

}  // namespace sim
