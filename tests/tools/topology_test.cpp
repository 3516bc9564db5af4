// The TOPOLOGY_MAP decoder of kx1394 (pure logic) over maps whose self-ID packets come from
// elsewhere: a stream worked out by hand from the IEEE 1394a self-ID layout (the model's own
// bus tests use the same quadlets), and streams the model's bus sends for trees built here, whose
// wiring and path speeds the decoded tree must give back. Broken maps are reported, never overrun.
#include <gtest/gtest.h>

#include <memory>

#include "bus.h"
#include "node.h"
#include "rom_decoder.h"
#include "testing/standalone_host.h"
#include "topology.h"

namespace kx1394 {
namespace {

// A map as the local node serves it: length and CRC, generation, node and self-ID counts, packets.
std::vector<uint32_t> MapOf(const std::vector<uint32_t>& selfIds, uint32_t nodes, uint32_t generation = 7) {
    std::vector<uint32_t> q = {0, generation, (nodes << 16) | uint32_t(selfIds.size())};
    q.insert(q.end(), selfIds.begin(), selfIds.end());
    uint32_t length = uint32_t(q.size()) - 1;
    q[0] = (length << 16) | rom::Crc16(&q[1], length);
    return q;
}

TEST(TopologyMapTest, TwoNodesByHand) {
    // Node 0: L, gap 63, S400, p0 parent; node 1 (root): p0 child, contender clear, i set.
    TopologyMap map = DecodeTopologyMap(MapOf({0x807F8094, 0x817F80D6}, 2));
    ASSERT_TRUE(map.valid) << map.problem;
    EXPECT_TRUE(map.crcGood);
    EXPECT_EQ(map.generation, 7u);
    EXPECT_EQ(map.root, 1);
    EXPECT_EQ(map.GapCount(), 63);
    EXPECT_EQ(map.nodes[0].parent, 1);
    EXPECT_EQ(map.nodes[0].parentPort, 0);
    EXPECT_EQ(map.nodes[1].parent, -1);
    EXPECT_EQ(map.nodes[1].ports[0].state, PortState::Child);
    EXPECT_EQ(map.nodes[1].ports[0].peer, 0);
    EXPECT_EQ(map.nodes[1].ports[1].state, PortState::NotConnected);
    EXPECT_TRUE(map.nodes[0].linkActive);
    EXPECT_EQ(map.nodes[0].speedCode, 2);
    EXPECT_EQ(PathSpeeds(map), (std::vector<std::vector<int>>{{2, 2}, {2, 2}}));
    std::string dot = TopologyDot(map, 0);
    EXPECT_NE(dot.find("n1 -- n0 [label=\"p0 - p0\"]"), std::string::npos) << dot;
    EXPECT_NE(dot.find("node 1 (root)"), std::string::npos) << dot;
    EXPECT_NE(dot.find("node 0 (local)"), std::string::npos) << dot;
}

class Plain : public sim::Node {
public:
    Plain(int ports, sim::Speed speed) : Node("plain", ports, speed) {}
    sim::Ack ReceivePacket(const sim::Packet&) override { return sim::kAckComplete; }
};

// Trees built on the model's bus: the decoded parents and ports are the cables, the path speeds
// what the bus says.
TEST(TopologyMapTest, TreesOfTheModelsBus) {
    sim::StandaloneHost host;
    sim::Bus bus(host);
    // A five-port hub (extended self-ID packets) at S200 with an S400 and an S100 branch, and a
    // chain of three behind the S400 node.
    std::vector<sim::Node*> n;
    n.push_back(bus.Add(std::make_unique<Plain>(5, sim::kS200)));
    n.push_back(bus.Add(std::make_unique<Plain>(3, sim::kS400)));
    n.push_back(bus.Add(std::make_unique<Plain>(3, sim::kS100)));
    n.push_back(bus.Add(std::make_unique<Plain>(3, sim::kS400)));
    n.push_back(bus.Add(std::make_unique<Plain>(1, sim::kS400)));
    ASSERT_TRUE(bus.Connect(n[0], 4, n[1], 0));
    ASSERT_TRUE(bus.Connect(n[0], 1, n[2], 0));
    ASSERT_TRUE(bus.Connect(n[1], 2, n[3], 0));
    ASSERT_TRUE(bus.Connect(n[3], 1, n[4], 0));
    host.RunFor(10 * sim::kTicksPerMillisecond);
    ASSERT_EQ(bus.NodeCount(), 5);
    TopologyMap map = DecodeTopologyMap(MapOf(bus.SelfIds(), 5));
    ASSERT_TRUE(map.valid) << map.problem;
    EXPECT_EQ(map.root, bus.Root()->phy().phyId);
    for (const TopologyNodeInfo& node : map.nodes) {
        sim::Node* model = bus.NodeByPhyId(node.phyId);
        for (const TopologyPort& port : node.ports) {
            int peerPort = -1;
            sim::Node* peer = bus.Peer(model, port.number, &peerPort);
            if (port.state == PortState::NotPresent) continue;
            if (peer == nullptr) {
                EXPECT_EQ(port.state, PortState::NotConnected) << node.phyId << "." << port.number;
                continue;
            }
            EXPECT_EQ(port.peer, peer->phy().phyId) << node.phyId << "." << port.number;
        }
    }
    EXPECT_EQ(map.nodes[size_t(n[0]->phy().phyId)].ports.size(), 11u);  // 3 + one extended packet of 8
    std::vector<std::vector<int>> speeds = PathSpeeds(map);
    for (int a = 0; a < 5; ++a)
        for (int b = 0; b < 5; ++b)
            EXPECT_EQ(speeds[size_t(a)][size_t(b)], int(bus.PathSpeed(bus.NodeByPhyId(a), bus.NodeByPhyId(b))))
                << a << " to " << b;
}

// Maps that break the rules: each is reported with its problem and read no further than it is.
TEST(TopologyMapTest, BrokenMapsAreReported) {
    struct Case {
        const char* name;
        std::vector<uint32_t> quadlets;
    };
    std::vector<uint32_t> good = MapOf({0x807F8094, 0x817F80D6}, 2);
    std::vector<uint32_t> shortened = good;
    shortened.pop_back();
    std::vector<uint32_t> twoRoots = MapOf({0x807F8054, 0x817F80D6}, 2);  // node 0 without a parent port
    std::vector<uint32_t> lostExtended = MapOf({0x807F8095, 0x817F80D6}, 2);  // m set, no extended packet
    std::vector<uint32_t> wrongCount = MapOf({0x807F8094, 0x817F80D6}, 3);
    std::vector<uint32_t> orphanChild = MapOf({0x807F80D4}, 1);  // a child port and nobody before it
    const Case cases[] = {
        {"header only", {good[0], good[1]}},
        {"fewer quadlets than its length", shortened},
        {"a second node without a parent", twoRoots},
        {"extended packet missing", lostExtended},
        {"node_count does not match", wrongCount},
        {"child port without a child", orphanChild},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TopologyMap map = DecodeTopologyMap(c.quadlets);
        EXPECT_FALSE(map.valid);
        EXPECT_FALSE(map.problem.empty());
        EXPECT_TRUE(PathSpeeds(map).empty());
    }
    good[4] ^= 1u << 22;  // a link bit changed after the CRC: decoded, flagged
    TopologyMap map = DecodeTopologyMap(good);
    EXPECT_TRUE(map.valid);
    EXPECT_FALSE(map.crcGood);
}

}  // namespace
}  // namespace kx1394
