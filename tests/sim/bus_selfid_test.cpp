// Bus reset on trees of 1, 2, 3, 16 and 63 nodes: the self-ID packets and physical IDs that IEEE
// 1394-1995 4.4.2 (tree identification, self-identification) and IEEE 1394a 4.3.4.1 (self-ID packet
// layout) prescribe. Small trees are checked against quadlets worked out by hand from the packet
// layout; large trees against the rules every self-ID stream obeys, read back with a decoder
// written here from the layout.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "bus_test_node.h"

namespace sim::bus_test {
namespace {

// Self-ID packet #0 (IEEE 1394a 4.3.4.1), bit by bit:
//   31:30 10 | 29:24 phy_ID | 23 0 | 22 L | 21:16 gap_cnt | 15:14 sp | 13:12 del | 11 c | 10:8 pwr |
//   7:6 p0 | 5:4 p1 | 3:2 p2 | 1 i | 0 m
// Port codes: 11 child, 10 parent, 01 not connected, 00 not present.

TEST(BusSelfId, SingleNodeOfEachSpeed) {
    struct Case {
        Speed speed;
        uint32_t expected;
    };
    // One 3-port node alone, link on, gap 63, not a contender; its power-on reset was its own (i = 1).
    // 10 000000 0 1 111111 sp 00 0 000 01 01 01 1 0 -> 0x807F0056 | sp << 14.
    const Case cases[] = {
        {kS100, 0x807F0056},
        {kS200, 0x807F4056},
        {kS400, 0x807F8056},
        {kS800, 0x807FC056},   // 1394b PHYs report sp = 3
        {kS3200, 0x807FC056},
    };
    for (const Case& c : cases) {
        TestBus t;
        TestNode* node = t.Add(3, c.speed);
        t.Settle();
        EXPECT_EQ(t.bus.SelfIds(), std::vector<uint32_t>{c.expected}) << "speed " << int(c.speed);
        EXPECT_EQ(node->lastSelfIds, std::vector<uint32_t>{c.expected});
        EXPECT_EQ(t.bus.NodeCount(), 1);
        EXPECT_EQ(t.bus.Root(), node);
        EXPECT_EQ(t.bus.Generation(), 1u);
        EXPECT_EQ(node->phy().Read(0), 0x03) << "Physical_ID 0, R 1, PS 1";
    }
}

TEST(BusSelfId, TwoNodesRootContentionGoesToTheFirstAdded) {
    TestBus t;
    TestNode* a = t.Add();
    TestNode* b = t.Add();
    ASSERT_TRUE(t.bus.Connect(a, 0, b, 0));
    t.Settle();
    // b: phy 0, L, gap 63, S400, p0 parent, p1 p2 not connected: 10 000000 0 1 111111 10 00 0 000 10 01 01 0 0.
    // a: phy 1 (root), p0 child, and a noticed the connection (i = 1).
    std::vector<uint32_t> expected{0x807F8094, 0x817F80D6};
    EXPECT_EQ(t.bus.SelfIds(), expected);
    EXPECT_EQ(a->lastSelfIds, expected);
    EXPECT_EQ(b->lastSelfIds, expected);
    EXPECT_EQ(t.bus.Root(), a);
    EXPECT_EQ(t.bus.NodeByPhyId(0), b);
    EXPECT_EQ(t.bus.NodeByPhyId(1), a);
    EXPECT_EQ(a->phy().Read(0), (1 << 2) | 0x3);
    EXPECT_EQ(b->phy().Read(0), (0 << 2) | 0x1);
}

TEST(BusSelfId, ThreeNodeChainMixedFields) {
    TestBus t;
    // a: 2 ports, S200, contender, power class 4. b: 3 ports, S100, link off. c: 1 port, S400.
    TestNode* a = t.Add(2, kS200);
    TestNode* b = t.Add(3, kS100);
    TestNode* c = t.Add(1, kS400);
    a->phy().contender = true;
    a->phy().powerClass = 4;
    b->phy().linkOn = false;
    ASSERT_TRUE(t.bus.Connect(a, 1, b, 0));
    ASSERT_TRUE(t.bus.Connect(b, 2, c, 0));
    t.Settle();
    // The middle node is root (leaves a and c notify it in the first round). Its child ports in
    // order: port 0 (a) -> phy 0, port 2 (c) -> phy 1, then b itself -> phy 2.
    //   a: 10 000000 0 1 111111 01 00 1 100 01 10 00 0 0 = 0x807F4C60 (p1 parent, no p2)
    //   c: 10 000001 0 1 111111 10 00 0 000 10 00 00 0 0 = 0x817F8080 (one port)
    //   b: 10 000010 0 0 111111 00 00 0 000 11 01 11 1 0 = 0x823F00DE (L = 0, initiated)
    EXPECT_EQ(t.bus.SelfIds(), (std::vector<uint32_t>{0x807F4C60, 0x817F8080, 0x823F00DE}));
    EXPECT_EQ(t.bus.Root(), b);
    EXPECT_EQ(c->phy().phyId, 1);
}

TEST(BusSelfId, ThreeLeafStar) {
    TestBus t;
    TestNode* hub = t.Add();
    TestNode* leaf[3];
    for (auto*& l : leaf) l = t.Add();
    for (int p = 0; p < 3; ++p) ASSERT_TRUE(t.bus.Connect(hub, p, leaf[p], 0));
    t.Settle();
    // Leaves phy 0..2 in the hub's port order, each: p0 parent; the hub last: p0..p2 child, i = 1.
    EXPECT_EQ(t.bus.SelfIds(), (std::vector<uint32_t>{0x807F8094, 0x817F8094, 0x827F8094, 0x837F80FE}));
    for (int p = 0; p < 3; ++p) EXPECT_EQ(t.bus.NodeByPhyId(p), leaf[p]);
}

TEST(BusSelfId, ChildPortOrderNotAddOrderDecidesIds) {
    TestBus t;
    // A 3-port tree: root r with children on ports 2 and 0; the child on port 0 has its own child.
    TestNode* r = t.Add();
    TestNode* x = t.Add();  // on r's port 2
    TestNode* y = t.Add();  // on r's port 0
    TestNode* z = t.Add();  // on y's port 1
    ASSERT_TRUE(t.bus.Connect(r, 2, x, 0));
    ASSERT_TRUE(t.bus.Connect(r, 0, y, 2));
    ASSERT_TRUE(t.bus.Connect(y, 1, z, 0));
    r->phy().rootHoldoff = true;  // make r root whatever the stripping would say
    t.bus.RequestReset(false);
    t.Settle();
    // Self-ID order: r's port 0 subtree (z, then y), then port 2 (x), then r.
    //   z: phy 0, p0 parent                                      0x807F8094
    //   y: phy 1, p0 not connected, p1 child, p2 parent          0x817F8078 (01 11 10)
    //   x: phy 2, p0 parent                                      0x827F8094
    //   r: phy 3, p0 child, p1 not connected, p2 child, RHB does not show in the packet 0x837F80DC
    EXPECT_EQ(t.bus.SelfIds(), (std::vector<uint32_t>{0x807F8094, 0x817F8078, 0x827F8094, 0x837F80DC}));
    EXPECT_EQ(t.bus.NodeByPhyId(0), z);
    EXPECT_EQ(t.bus.NodeByPhyId(1), y);
    EXPECT_EQ(t.bus.NodeByPhyId(2), x);
    EXPECT_EQ(t.bus.Root(), r);
}

TEST(BusSelfId, SixteenPortNodeSendsExtendedPackets) {
    TestBus t;
    TestNode* hub = t.Add(16, kS400);
    const int ports[] = {0, 3, 10, 11, 15};
    for (int p : ports) ASSERT_TRUE(t.bus.Connect(hub, p, t.Add(1, kS400), 0));
    t.Settle();
    std::vector<uint32_t> expected;
    // Five one-port leaves, phy 0..4: p0 parent, p1 p2 not present: 10 00000k 0 1 111111 10 00 0 000 10 00 00 0 0.
    for (uint32_t k = 0; k < 5; ++k) expected.push_back(0x807F8080 | k << 24);
    // The hub, phy 5. #0: p0 child, p1 p2 not connected, i = 1 (it noticed the last cable), m = 1.
    expected.push_back(0x857F80D7);
    // #1 (n = 0): ports 3..10 at 17:16..3:2 = 11 01 01 01 01 01 01 11, r 0, m 1.
    expected.push_back(0x8583555D);
    // #2 (n = 1): ports 11..15 at 17:16..9:8 = 11 01 01 01 11, 7:2 reserved, m 0.
    expected.push_back(0x85935700);
    EXPECT_EQ(t.bus.SelfIds(), expected);
}

TEST(BusSelfId, FourAndTwelvePortNodesSendOneAndTwoExtendedPackets) {
    struct Case {
        int ports;
        std::vector<uint32_t> expected;
    };
    // Alone on its bus: every port not connected. #0 = 0x807F8057 (m = 1); #1 holds ports 3..10 (01 for
    // a port present, 00 beyond the last one); #2 ports 11..15.
    const Case cases[] = {
        {4, {0x807F8057, 0x80810000}},              // #1: p3 01 at 17:16, the rest not present, m 0
        {11, {0x807F8057, 0x80815554}},             // #1: p3..p10 01, the last packet: m 0
        {12, {0x807F8057, 0x80815555, 0x80910000}}, // #2: p11 01 at 17:16, m 0
    };
    for (const Case& c : cases) {
        TestBus t;
        t.Add(c.ports, kS400);
        t.Settle();
        EXPECT_EQ(t.bus.SelfIds(), c.expected) << c.ports << " ports";
    }
}

// ---- Large trees: the rules of a self-ID stream ----

struct DecodedNode {
    int phyId = -1;
    std::vector<uint8_t> ports;  // codes for ports 0..15
    bool linkActive = false;
    uint8_t gap = 0;
};

// Splits a self-ID stream into nodes, checking the packet framing (IEEE 1394a 4.3.4.1): ascending
// phy_IDs from 0, packet #0 first, extended packets with n = 0, 1 while m = 1.
std::vector<DecodedNode> Decode(const std::vector<uint32_t>& stream) {
    std::vector<DecodedNode> nodes;
    for (size_t i = 0; i < stream.size();) {
        uint32_t q = stream[i];
        EXPECT_EQ(q >> 30, 2u) << "self-ID identifier at " << i;
        EXPECT_EQ(q & (1u << 23), 0u) << "packet #0 expected at " << i;
        DecodedNode node;
        node.phyId = int((q >> 24) & 0x3F);
        node.linkActive = (q >> 22) & 1;
        node.gap = uint8_t((q >> 16) & 0x3F);
        node.ports.assign(16, 0);
        for (int p = 0; p < 3; ++p) node.ports[size_t(p)] = uint8_t((q >> (6 - 2 * p)) & 3);
        bool more = q & 1;
        ++i;
        for (uint32_t n = 0; more; ++n, ++i) {
            EXPECT_LT(i, stream.size());
            if (i >= stream.size()) return nodes;
            uint32_t e = stream[i];
            EXPECT_EQ(e >> 30, 2u);
            EXPECT_EQ(int((e >> 24) & 0x3F), node.phyId);
            EXPECT_NE(e & (1u << 23), 0u) << "extended packet expected";
            EXPECT_EQ((e >> 20) & 7, n) << "sequence number";
            for (int k = 0; k < 8; ++k) {
                int port = 3 + 8 * int(n) + k;
                if (port < 16) node.ports[size_t(port)] = uint8_t((e >> (16 - 2 * k)) & 3);
            }
            more = e & 1;
        }
        EXPECT_EQ(node.phyId, int(nodes.size())) << "phy_IDs ascend from 0";
        nodes.push_back(node);
    }
    return nodes;
}

// Checks a settled bus of `count` nodes against the self-ID rules and the actual cables: IDs
// 0..n-1, the root last, one parent port per non-root node, children (taken from a stack as in
// IEEE 1394-1995 4.4.2.2: lowest child port gets the lowest-ID child) joined to the ports named.
void CheckStream(const TestBus& t, int count) {
    ASSERT_EQ(t.bus.NodeCount(), count);
    std::vector<DecodedNode> decoded = Decode(t.bus.SelfIds());
    ASSERT_EQ(int(decoded.size()), count);
    std::vector<int> stack;
    for (const DecodedNode& d : decoded) {
        Node* node = t.bus.NodeByPhyId(d.phyId);
        ASSERT_NE(node, nullptr);
        EXPECT_EQ(node->phy().phyId, d.phyId);
        EXPECT_EQ(node->phy().Read(0) >> 2, d.phyId);
        int parents = 0;
        std::vector<int> childPorts;
        for (int p = 0; p < 16; ++p) {
            uint8_t code = d.ports[size_t(p)];
            EXPECT_EQ(code == 0, p >= node->phy().ports()) << "port presence, phy " << d.phyId << " port " << p;
            if (code == 2) ++parents;
            if (code == 3) childPorts.push_back(p);
            if (p < node->phy().ports()) {
                // PHY register 8 of the port agrees: Child with Connected for a child, Connected for a parent.
                uint8_t r8 = node->phy().ReadPaged(0, uint8_t(p), 8);
                EXPECT_EQ((r8 & 0x0F) == 0x0E, code == 3);
                EXPECT_EQ((r8 & 0x0F) == 0x06, code == 2);
            }
        }
        bool isRoot = d.phyId == count - 1;
        EXPECT_EQ(parents, isRoot ? 0 : 1) << "phy " << d.phyId;
        EXPECT_EQ((node->phy().Read(0) & 0x02) != 0, isRoot);
        ASSERT_LE(childPorts.size(), stack.size()) << "stack underflow at phy " << d.phyId;
        size_t first = stack.size() - childPorts.size();
        for (size_t k = 0; k < childPorts.size(); ++k) {
            Node* child = t.bus.NodeByPhyId(stack[first + k]);
            int peerPort = -1;
            EXPECT_EQ(t.bus.Peer(node, childPorts[k], &peerPort), child);
            if (child && peerPort >= 0) {
                std::vector<DecodedNode>::const_reference c = decoded[size_t(child->phy().phyId)];
                EXPECT_EQ(c.ports[size_t(peerPort)], 2) << "the child names the same cable its parent port";
            }
        }
        stack.resize(first);
        stack.push_back(d.phyId);
    }
    EXPECT_EQ(stack.size(), 1u);
    EXPECT_EQ(t.bus.Root(), t.bus.NodeByPhyId(count - 1));
}

TEST(BusSelfId, ChainOfSixtyThreeHasItsMiddleNodeAsRoot) {
    TestBus t;
    std::vector<TestNode*> chain;
    for (int i = 0; i < 63; ++i) chain.push_back(t.Add(2, kS400));
    for (int i = 0; i + 1 < 63; ++i) ASSERT_TRUE(t.bus.Connect(chain[size_t(i)], 1, chain[size_t(i + 1)], 0));
    t.Settle();
    CheckStream(t, 63);
    // Parent notifies travel in from both ends and meet in the middle: node 31 of 0..62 is root.
    EXPECT_EQ(t.bus.Root(), chain[31]);
    // Its port 0 leads to nodes 30..0, sent first: node 0 is phy 0; port 1 leads to 32..62.
    EXPECT_EQ(t.bus.NodeByPhyId(0), chain[0]);
    EXPECT_EQ(t.bus.NodeByPhyId(30), chain[30]);
    EXPECT_EQ(t.bus.NodeByPhyId(31), chain[62]);
    EXPECT_EQ(t.bus.NodeByPhyId(61), chain[32]);
    EXPECT_EQ(t.bus.Generation(), 1u);
}

TEST(BusSelfId, ChainOfSixteenEndsInRootContention) {
    TestBus t;
    std::vector<TestNode*> chain;
    for (int i = 0; i < 16; ++i) chain.push_back(t.Add(2, kS400));
    for (int i = 0; i + 1 < 16; ++i) ASSERT_TRUE(t.bus.Connect(chain[size_t(i)], 1, chain[size_t(i + 1)], 0));
    t.Settle();
    CheckStream(t, 16);
    // Nodes 7 and 8 are left naming each other; the bus gives the contention to the one added first.
    EXPECT_EQ(t.bus.Root(), chain[7]);
}

// A tree built by a fixed pseudo-random sequence: every new node is cabled to a free port of an
// earlier node, on a random port of its own.
void BuildRandomTree(TestBus& t, int count, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<TestNode*> nodes;
    for (int i = 0; i < count; ++i) {
        int ports = 1 + int(random() % 6);  // 1..6 ports: extended packets for some
        if (i % 7 == 3) ports = 16;
        nodes.push_back(t.Add(ports, Speed(random() % 3)));
    }
    for (int i = 1; i < count; ++i) {
        TestNode* node = nodes[size_t(i)];
        int ownPort = int(random() % unsigned(node->phy().ports()));
        for (int tries = 0;; ++tries) {
            ASSERT_LT(tries, 10000);
            TestNode* parent = nodes[random() % unsigned(i)];
            int port = int(random() % unsigned(parent->phy().ports()));
            if (t.bus.Peer(parent, port)) continue;
            ASSERT_TRUE(t.bus.Connect(parent, port, node, ownPort));
            break;
        }
    }
}

TEST(BusSelfId, RandomTreesOfSixteenAndSixtyThree) {
    for (int count : {16, 63})
        for (unsigned seed : {1u, 2u, 3u}) {
            SCOPED_TRACE("count " + std::to_string(count) + " seed " + std::to_string(seed));
            TestBus t;
            BuildRandomTree(t, count, seed);
            t.Settle();
            CheckStream(t, count);
            // Every link saw the same stream.
            for (const auto& node : t.bus.nodes())
                EXPECT_EQ(static_cast<TestNode*>(node.get())->lastSelfIds, t.bus.SelfIds());
        }
}

TEST(BusSelfId, SixtyFourthNodeAndLoopsAreRefused) {
    TestBus t;
    std::vector<TestNode*> nodes;
    for (int i = 0; i < 63; ++i) nodes.push_back(t.Add(3, kS400));
    EXPECT_EQ(t.Add(), nullptr) << "a 64th node";
    ASSERT_TRUE(t.bus.Connect(nodes[0], 0, nodes[1], 0));
    ASSERT_TRUE(t.bus.Connect(nodes[1], 1, nodes[2], 0));
    EXPECT_FALSE(t.bus.Connect(nodes[2], 1, nodes[0], 1)) << "the cable would close a loop";
    EXPECT_FALSE(t.bus.Connect(nodes[2], 0, nodes[3], 0)) << "port in use";
    EXPECT_FALSE(t.bus.Connect(nodes[3], 3, nodes[4], 0)) << "no port 3";
    EXPECT_FALSE(t.bus.Connect(nodes[3], 0, nodes[3], 1)) << "a node to itself";
    EXPECT_EQ(t.bus.Peer(nodes[2], 1), nullptr);
    t.Settle();
    EXPECT_EQ(t.bus.NodeCount(), 3);
}

}  // namespace
}  // namespace sim::bus_test
