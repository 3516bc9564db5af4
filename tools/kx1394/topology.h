// The TOPOLOGY_MAP of IEEE 1394-1995 8.3.2.4.1 as a user program reads it from the local node
// (quadlets in bus order, converted to numbers by the caller): its header and the self-ID packets
// of the last bus reset, decoded into the tree of nodes, and the speed between every pair of nodes
// by the path rule (the slowest PHY on the path, both ends included). Pure logic.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kx1394 {

// Port states of a self-ID packet.
enum class PortState { NotPresent = 0, NotConnected = 1, Parent = 2, Child = 3 };

struct TopologyPort {
    int number = 0;
    PortState state = PortState::NotPresent;
    int peer = -1;  // the node at the other end (parent or child), -1 when none
};

struct TopologyNodeInfo {
    int phyId = 0;
    bool linkActive = false;
    int gapCount = 0;
    int speedCode = 0;       // self-ID sp: 0 S100, 1 S200, 2 S400, 3 S800 or faster (1394b)
    bool contender = false;
    int powerClass = 0;
    bool initiatedReset = false;
    int parent = -1;         // -1 for the root
    int parentPort = -1;     // this node's port towards its parent
    std::vector<TopologyPort> ports;
};

struct TopologyMap {
    bool valid = false;
    std::string problem;     // why it is not valid
    uint32_t length = 0;     // quadlets after the first
    uint16_t crc = 0;
    bool crcGood = false;
    uint32_t generation = 0;
    uint32_t nodeCount = 0;
    uint32_t selfIdCount = 0;
    int root = -1;
    std::vector<TopologyNodeInfo> nodes;

    // The gap count all nodes report, or -1 when they disagree (or there is no node).
    int GapCount() const;
};

// Decodes the map from its quadlets (as many as were read: at least the three header quadlets and
// `length` after the first). Never reads beyond `quadlets`; a map that breaks the self-ID rules is
// reported with its problem and whatever could be decoded.
TopologyMap DecodeTopologyMap(const std::vector<uint32_t>& quadlets);

// Speed codes between every pair of nodes: [a][b] is the slowest sp of the nodes on the path from
// a to b (both ends included). Empty for a map that is not valid.
std::vector<std::vector<int>> PathSpeeds(const TopologyMap& map);

// "S100" .. "S800+" for a self-ID speed code.
std::string SelfIdSpeedName(int code);

// A Graphviz picture of the tree: one box per node (its speed, link and contender bits), one edge
// per cable labelled with the two port numbers; the root and `localNode` are marked.
std::string TopologyDot(const TopologyMap& map, int localNode);

}  // namespace kx1394
