#include "topology.h"

#include <algorithm>

#include "rom_decoder.h"

namespace kx1394 {

namespace {

constexpr uint32_t kPacketIdentifier = 2;  // bits 31:30 of every self-ID packet
constexpr int kPortsInFirst = 3;
constexpr int kPortsInExtended = 8;
constexpr int kMaxExtended = 3;

bool IsFirstPacket(uint32_t q) { return (q >> 30) == kPacketIdentifier && ((q >> 23) & 1) == 0; }
int PhyIdOf(uint32_t q) { return int((q >> 24) & 0x3F); }

// Collects the ports of one node from its first packet and its extended packets.
bool DecodeNode(const std::vector<uint32_t>& packets, size_t* at, TopologyNodeInfo* node, std::string* problem) {
    uint32_t q = packets[*at];
    node->phyId = PhyIdOf(q);
    node->linkActive = (q >> 22) & 1;
    node->gapCount = int((q >> 16) & 0x3F);
    node->speedCode = int((q >> 14) & 3);
    node->contender = (q >> 11) & 1;
    node->powerClass = int((q >> 8) & 7);
    node->initiatedReset = (q >> 1) & 1;
    for (int p = 0; p < kPortsInFirst; ++p)
        node->ports.push_back({p, PortState((q >> (6 - 2 * p)) & 3), -1});
    bool more = q & 1;
    ++*at;
    for (int n = 0; more; ++n) {
        if (n == kMaxExtended || *at >= packets.size()) {
            *problem = "node " + std::to_string(node->phyId) + ": its extended self-ID packets end early";
            return false;
        }
        uint32_t e = packets[*at];
        if ((e >> 30) != kPacketIdentifier || ((e >> 23) & 1) == 0 || PhyIdOf(e) != node->phyId ||
            int((e >> 20) & 7) != n) {
            *problem = "node " + std::to_string(node->phyId) + ": extended self-ID packet " + std::to_string(n) +
                       " is out of sequence";
            return false;
        }
        for (int p = 0; p < kPortsInExtended; ++p)
            node->ports.push_back({kPortsInFirst + kPortsInExtended * n + p, PortState((e >> (16 - 2 * p)) & 3), -1});
        more = e & 1;
        ++*at;
    }
    return true;
}

// Self-ID order is the post-order of the tree, children on lower ports first: a stack of the
// nodes whose parent is not known yet gives each node its children, highest port from the top.
bool BuildTree(std::vector<TopologyNodeInfo>& nodes, std::string* problem) {
    std::vector<int> waiting;
    for (size_t i = 0; i < nodes.size(); ++i) {
        TopologyNodeInfo& node = nodes[i];
        for (auto port = node.ports.rbegin(); port != node.ports.rend(); ++port) {
            if (port->state != PortState::Child) continue;
            if (waiting.empty()) {
                *problem = "node " + std::to_string(node.phyId) + " has more child ports than children";
                return false;
            }
            int child = waiting.back();
            waiting.pop_back();
            port->peer = child;
            nodes[size_t(child)].parent = int(i);
            for (TopologyPort& up : nodes[size_t(child)].ports)
                if (up.state == PortState::Parent) {
                    up.peer = int(i);
                    nodes[size_t(child)].parentPort = up.number;
                }
        }
        int parentPorts = int(std::count_if(node.ports.begin(), node.ports.end(),
                                            [](const TopologyPort& p) { return p.state == PortState::Parent; }));
        bool last = i + 1 == nodes.size();
        if (parentPorts != (last ? 0 : 1)) {
            *problem = "node " + std::to_string(node.phyId) +
                       (last ? " is the root but has a parent port" : " has not exactly one parent port");
            return false;
        }
        waiting.push_back(int(i));
    }
    if (waiting.size() != 1) {
        *problem = "the self-ID packets do not form one tree";
        return false;
    }
    return true;
}

}  // namespace

int TopologyMap::GapCount() const {
    if (nodes.empty()) return -1;
    for (const TopologyNodeInfo& n : nodes)
        if (n.gapCount != nodes[0].gapCount) return -1;
    return nodes[0].gapCount;
}

TopologyMap DecodeTopologyMap(const std::vector<uint32_t>& quadlets) {
    TopologyMap map;
    if (quadlets.size() < 3) {
        map.problem = "the map is shorter than its header";
        return map;
    }
    map.length = quadlets[0] >> 16;
    map.crc = uint16_t(quadlets[0]);
    map.generation = quadlets[1];
    map.nodeCount = quadlets[2] >> 16;
    map.selfIdCount = quadlets[2] & 0xFFFF;
    if (map.length + 1 > quadlets.size() || map.length != map.selfIdCount + 2) {
        map.problem = "its length (" + std::to_string(map.length) + " quadlets) does not fit its " +
                      std::to_string(map.selfIdCount) + " self-ID packets";
        return map;
    }
    map.crcGood = rom::Crc16(&quadlets[1], map.length) == map.crc;
    std::vector<uint32_t> packets(quadlets.begin() + 3, quadlets.begin() + 3 + map.selfIdCount);
    for (size_t at = 0; at < packets.size();) {
        if (!IsFirstPacket(packets[at]) || PhyIdOf(packets[at]) != int(map.nodes.size())) {
            map.problem = "self-ID packet " + std::to_string(at) + " is not the first packet of node " +
                          std::to_string(map.nodes.size());
            return map;
        }
        TopologyNodeInfo node;
        if (!DecodeNode(packets, &at, &node, &map.problem)) return map;
        map.nodes.push_back(node);
    }
    if (map.nodes.size() != map.nodeCount) {
        map.problem = "node_count " + std::to_string(map.nodeCount) + " but " + std::to_string(map.nodes.size()) +
                      " nodes sent self-ID packets";
        return map;
    }
    if (map.nodes.empty()) {
        map.problem = "no node";
        return map;
    }
    if (!BuildTree(map.nodes, &map.problem)) return map;
    map.root = int(map.nodes.size()) - 1;
    map.valid = true;
    return map;
}

std::vector<std::vector<int>> PathSpeeds(const TopologyMap& map) {
    std::vector<std::vector<int>> table;
    if (!map.valid) return table;
    size_t n = map.nodes.size();
    table.assign(n, std::vector<int>(n, 0));
    for (size_t a = 0; a < n; ++a) {
        // The slowest node from a to each ancestor of a, and from b to its ancestors, meet at their
        // nearest common ancestor.
        std::vector<int> slowestUp(n, -1);
        int slowest = map.nodes[a].speedCode;
        for (int x = int(a); x >= 0; x = map.nodes[size_t(x)].parent) {
            slowest = std::min(slowest, map.nodes[size_t(x)].speedCode);
            slowestUp[size_t(x)] = slowest;
        }
        for (size_t b = 0; b < n; ++b) {
            int fromB = map.nodes[b].speedCode;
            int x = int(b);
            while (slowestUp[size_t(x)] < 0) {
                fromB = std::min(fromB, map.nodes[size_t(x)].speedCode);
                x = map.nodes[size_t(x)].parent;
            }
            table[a][b] = std::min(fromB, slowestUp[size_t(x)]);
        }
    }
    return table;
}

std::string SelfIdSpeedName(int code) {
    switch (code) {
    case 0: return "S100";
    case 1: return "S200";
    case 2: return "S400";
    default: return "S800+";
    }
}

std::string TopologyDot(const TopologyMap& map, int localNode) {
    std::string out = "graph bus {\n  node [shape=box, fontname=\"Helvetica\"];\n";
    out += "  label=\"TOPOLOGY_MAP generation " + std::to_string(map.generation) + ", " +
           std::to_string(map.nodes.size()) + " nodes, gap count " +
           (map.GapCount() >= 0 ? std::to_string(map.GapCount()) : std::string("mixed")) + "\";\n";
    for (const TopologyNodeInfo& n : map.nodes) {
        std::string label = "node " + std::to_string(n.phyId);
        if (n.phyId == map.root) label += " (root)";
        if (n.phyId == localNode) label += " (local)";
        label += "\\n" + SelfIdSpeedName(n.speedCode) + (n.linkActive ? ", link on" : ", link off");
        if (n.contender) label += ", contender";
        out += "  n" + std::to_string(n.phyId) + " [label=\"" + label + "\"";
        if (n.phyId == localNode) out += ", style=bold";
        if (!n.linkActive) out += ", style=dashed";
        out += "];\n";
    }
    for (const TopologyNodeInfo& n : map.nodes) {
        if (n.parent < 0) continue;
        int parentPort = -1;
        for (const TopologyPort& p : map.nodes[size_t(n.parent)].ports)
            if (p.peer == n.phyId) parentPort = p.number;
        out += "  n" + std::to_string(n.parent) + " -- n" + std::to_string(n.phyId) + " [label=\"p" +
               std::to_string(parentPort) + " - p" + std::to_string(n.parentPort) + "\"];\n";
    }
    out += "}\n";
    return out;
}

}  // namespace kx1394
