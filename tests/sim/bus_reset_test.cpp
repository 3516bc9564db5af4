// Bus resets: timing, reset storms, the i bit, plug and unplug, root holdoff (IEEE 1394-1995 4.4.2,
// IEEE 1394a 4.3.4.1).
#include <gtest/gtest.h>

#include "bus_test_node.h"

namespace sim::bus_test {
namespace {

// Chain a - b - c, settled.
struct Chain : TestBus {
    TestNode* a = Add();
    TestNode* b = Add();
    TestNode* c = Add();
    Chain() {
        EXPECT_TRUE(bus.Connect(a, 0, b, 0));
        EXPECT_TRUE(bus.Connect(b, 1, c, 0));
        Settle();
    }
    std::vector<TestNode*> All() const { return {a, b, c}; }
};

TEST(BusReset, LongAndShortResetTakeTheirTime) {
    struct Case {
        bool shortReset;
        Ticks duration;
    };
    Chain t;
    const Case cases[] = {{false, t.bus.longResetTime}, {true, t.bus.shortResetTime}};
    for (const Case& c : cases) {
        uint32_t generation = t.bus.Generation();
        std::vector<int> starts, completes;
        for (TestNode* n : t.All()) {
            starts.push_back(n->resetStarts);
            completes.push_back(n->selfIdCompletes);
        }
        t.bus.RequestReset(c.shortReset);
        // The reset starts at once on every link; self-ID completes after the reset time.
        EXPECT_TRUE(t.bus.InReset());
        for (size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(t.All()[i]->resetStarts, starts[i] + 1);
            EXPECT_EQ(t.All()[i]->selfIdCompletes, completes[i]);
        }
        t.host.RunFor(c.duration - 1);
        EXPECT_TRUE(t.bus.InReset());
        EXPECT_EQ(t.bus.Generation(), generation);
        t.host.RunFor(1);
        EXPECT_FALSE(t.bus.InReset());
        EXPECT_EQ(t.bus.Generation(), generation + 1);
        for (size_t i = 0; i < 3; ++i) EXPECT_EQ(t.All()[i]->selfIdCompletes, completes[i] + 1);
    }
}

TEST(BusReset, StormEndsInOneSelfIdAndOneGeneration) {
    Chain t;
    uint32_t generation = t.bus.Generation();
    std::vector<int> starts, completes;
    for (TestNode* n : t.All()) {
        starts.push_back(n->resetStarts);
        completes.push_back(n->selfIdCompletes);
    }
    // Five resets, each asked for before the one before it finished; one of them short.
    for (int i = 0; i < 5; ++i) {
        t.bus.RequestReset(i == 2, i == 4 ? t.c : t.a);
        t.host.RunFor(t.bus.longResetTime / 2);
    }
    EXPECT_TRUE(t.bus.InReset());
    EXPECT_EQ(t.bus.Generation(), generation);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(t.All()[i]->selfIdCompletes, completes[i]);
    t.Settle();
    EXPECT_EQ(t.bus.Generation(), generation + 1);
    for (size_t i = 0; i < 3; ++i) {
        TestNode* n = t.All()[i];
        EXPECT_EQ(n->resetStarts, starts[i] + 5);
        EXPECT_EQ(n->selfIdCompletes, completes[i] + 1);
        EXPECT_EQ(n->lastSelfIds, t.bus.SelfIds());
    }
    // The i bit names the PHY that asked for the reset that completed (c, phy 1), nobody else.
    // a: phy 0 p0 parent 0x807F8094; c: phy 1 p0 parent, i 0x817F8096; b: phy 2 p0 p1 child 0x827F80F4.
    EXPECT_EQ(t.bus.SelfIds(), (std::vector<uint32_t>{0x807F8094, 0x817F8096, 0x827F80F4}));
}

TEST(BusReset, ShortResetAskedDuringALongOneLastsAsLongOne) {
    Chain t;
    t.bus.RequestReset(false);
    t.host.RunFor(10);
    t.bus.RequestReset(true);
    t.host.RunFor(t.bus.shortResetTime);
    EXPECT_TRUE(t.bus.InReset());
    t.host.RunFor(t.bus.longResetTime - t.bus.shortResetTime);
    EXPECT_FALSE(t.bus.InReset());
}

// A link that asks for a reset from inside its reset callback restarts the reset.
struct ResettingNode : TestNode {
    using TestNode::TestNode;
    int resetsToAsk = 0;
    void OnBusResetStart() override {
        TestNode::OnBusResetStart();
        if (resetsToAsk > 0) {
            --resetsToAsk;
            bus()->RequestReset(false, this);
        }
    }
};

TEST(BusReset, ResetFromAResetCallbackRestartsIt) {
    TestBus t;
    TestNode* a = t.Add();
    auto* r = static_cast<ResettingNode*>(t.bus.Add(std::make_unique<ResettingNode>("r", 3, kS400)));
    ASSERT_TRUE(t.bus.Connect(a, 0, r, 0));
    t.Settle();
    uint32_t generation = t.bus.Generation();
    int starts = a->resetStarts;
    r->resetsToAsk = 2;
    t.bus.RequestReset(false);
    t.Settle();
    EXPECT_EQ(t.bus.Generation(), generation + 1);
    EXPECT_EQ(a->resetStarts, starts + 3);
    EXPECT_EQ(a->lastSelfIds, t.bus.SelfIds());
}

TEST(BusReset, UnplugSubtreeMakesTwoBuses) {
    TestBus t;
    // root - m - {x, y}: unplugging m's cable to the root takes x and y with it.
    TestNode* root = t.Add();
    TestNode* m = t.Add();
    TestNode* x = t.Add();
    TestNode* y = t.Add();
    ASSERT_TRUE(t.bus.Connect(root, 0, m, 0));
    ASSERT_TRUE(t.bus.Connect(m, 1, x, 0));
    ASSERT_TRUE(t.bus.Connect(m, 2, y, 0));
    t.Settle();
    EXPECT_EQ(t.bus.NodeCount(), 4);
    uint32_t generation = t.bus.Generation();
    t.bus.Disconnect(m, 0);
    EXPECT_TRUE(t.bus.InReset());
    t.Settle();
    EXPECT_EQ(t.bus.Generation(), generation + 1);
    // The first node's bus is that node alone: 3-port, not connected, m noticed the change so no i bit here.
    EXPECT_EQ(t.bus.NodeCount(), 1);
    EXPECT_EQ(t.bus.SelfIds(), std::vector<uint32_t>{0x807F8054});
    EXPECT_EQ(root->lastSelfIds, t.bus.SelfIds());
    // The subtree is a bus of its own: m is its root (x, y stripped first), m's i bit set.
    EXPECT_EQ(t.bus.NodeCount(m), 3);
    EXPECT_EQ(t.bus.Root(m), m);
    EXPECT_EQ(t.bus.SelfIds(m), (std::vector<uint32_t>{0x807F8094, 0x817F8094, 0x827F807E}));
    EXPECT_EQ(x->lastSelfIds, t.bus.SelfIds(m));
    // Packets stay on their own bus.
    Packet p;
    p.SetTcode(kTcodeWriteQuadletRequest);
    p.SetDestinationId(0xFFC0 | 1);
    EXPECT_EQ(t.bus.SendAsync(root, p), kAckMissing);
    EXPECT_EQ(t.bus.SendAsync(x, p), kAckComplete);
    EXPECT_EQ(y->packets.size(), 1u);

    // Plugging back joins them again.
    ASSERT_TRUE(t.bus.Connect(root, 0, m, 0));
    t.Settle();
    EXPECT_EQ(t.bus.NodeCount(), 4);
}

TEST(BusReset, UnplugNodeLeavesItAlone) {
    TestBus t;
    TestNode* a = t.Add();
    TestNode* b = t.Add();
    TestNode* c = t.Add();
    ASSERT_TRUE(t.bus.Connect(a, 0, b, 0));
    ASSERT_TRUE(t.bus.Connect(b, 1, c, 0));
    t.Settle();
    t.bus.Unplug(b);
    t.Settle();
    EXPECT_EQ(t.bus.NodeCount(), 1);
    EXPECT_EQ(t.bus.NodeCount(b), 1);
    EXPECT_EQ(t.bus.NodeCount(c), 1);
    EXPECT_EQ(t.bus.Peer(a, 0), nullptr);
    EXPECT_EQ(t.bus.Peer(c, 0), nullptr);
    // a noticed first (the unplugged node's first peer): a's i bit.
    EXPECT_EQ(t.bus.SelfIds(), std::vector<uint32_t>{0x807F8056});
}

TEST(BusReset, RootHoldoffMakesRoot) {
    struct Case {
        std::vector<int> rhb;  // which nodes of the chain 0-1-2-3-4 have RHB
        int root;
    };
    // Without RHB the middle node is root. One RHB node waits for every other: it ends root. Several:
    // the others still go first; among themselves the stripping decides (ends, then contention to the
    // first added).
    const Case cases[] = {{{}, 2}, {{0}, 0}, {{4}, 4}, {{1}, 1}, {{0, 4}, 2}, {{3, 4}, 3}, {{0, 1, 2, 3, 4}, 2}};
    for (const Case& c : cases) {
        TestBus t;
        std::vector<TestNode*> chain;
        for (int i = 0; i < 5; ++i) chain.push_back(t.Add(2, kS400));
        for (int i = 0; i < 4; ++i) ASSERT_TRUE(t.bus.Connect(chain[size_t(i)], 1, chain[size_t(i + 1)], 0));
        for (int i : c.rhb) chain[size_t(i)]->phy().rootHoldoff = true;
        t.Settle();
        EXPECT_EQ(t.bus.Root(), chain[size_t(c.root)]) << "case root " << c.root;
        EXPECT_EQ(t.bus.Root()->phy().phyId, 4);
    }
}

TEST(BusReset, DisabledPortSplitsTheBus) {
    Chain t;
    // b disables its port 1 (to c) through PHY registers 7 and 8: a connection change, a long reset.
    t.bus.WritePhyRegister(t.b, 7, 0x01);  // page 0, port 1
    t.bus.WritePhyRegister(t.b, 8, 0x01);  // Disabled
    EXPECT_TRUE(t.bus.InReset());
    t.Settle();
    EXPECT_EQ(t.bus.NodeCount(), 2);
    EXPECT_EQ(t.bus.NodeCount(t.c), 1);
    EXPECT_EQ(t.b->phy().Read(8) & 0x07, 0x05) << "Connected, no Bias, Disabled";
    // a and b contend; a was added first and is root. b's disabled port 1 reports "not connected":
    //   b: phy 0, p0 parent, p1 p2 01, i (it disabled the port) 0x807F8096; a: phy 1, p0 child 0x817F80D4.
    EXPECT_EQ(t.bus.SelfIds(), (std::vector<uint32_t>{0x807F8096, 0x817F80D4}));
    t.bus.WritePhyRegister(t.b, 8, 0x00);
    t.Settle();
    EXPECT_EQ(t.bus.NodeCount(), 3);
}

}  // namespace
}  // namespace sim::bus_test

namespace sim::bus_test {
namespace {

TEST(BusReset, ResetStormFault) {
    Chain t;
    uint32_t generation = t.bus.Generation();
    int starts = t.a->resetStarts;
    // Ten resets 50 us apart, each shorter than the 200 us reset time: one completion at the end.
    t.bus.ResetStorm(10, 50 * kTicksPerMicrosecond);
    t.host.RunFor(9 * 50 * kTicksPerMicrosecond + t.bus.longResetTime - 1);
    EXPECT_TRUE(t.bus.InReset());
    EXPECT_EQ(t.bus.Generation(), generation);
    t.host.RunFor(1);
    EXPECT_FALSE(t.bus.InReset());
    EXPECT_EQ(t.bus.Generation(), generation + 1);
    EXPECT_EQ(t.a->resetStarts, starts + 10);
    // Resets spaced wider than the reset time each complete.
    t.bus.ResetStorm(3, t.bus.shortResetTime + 1, true);
    t.Settle();
    EXPECT_EQ(t.bus.Generation(), generation + 4);
}

TEST(BusReset, TamperedSelfIdsAreWhatLinksSee) {
    Chain t;
    t.bus.tamperSelfIds = [](std::vector<uint32_t>& ids) {
        ids[1] ^= 0x00010000;  // a gap count that disagrees
        ids.push_back(0xDEADBEEF);
    };
    t.bus.RequestReset(false);
    t.Settle();
    std::vector<uint32_t> expected{0x807F8094, 0x817E8094, 0x827F80F4, 0xDEADBEEF};
    for (TestNode* n : t.All()) EXPECT_EQ(n->lastSelfIds, expected);
    // The bus itself is as it was: IDs and PHY registers follow the real tree.
    EXPECT_EQ(t.bus.NodeCount(), 3);
    EXPECT_EQ(t.c->phy().Read(1) & 0x3F, 0x3F);
}

// A link whose power is off (OHCI LPS = 0): L = 0 in its self-ID even with LCtrl set, and no packets.
struct UnpoweredNode : TestNode {
    using TestNode::TestNode;
    bool LinkPowered() const override { return false; }
};

TEST(BusReset, UnpoweredLinkShowsLZeroAndHearsNothing) {
    TestBus t;
    TestNode* a = t.Add();
    auto* u = static_cast<UnpoweredNode*>(t.bus.Add(std::make_unique<UnpoweredNode>("u", 3, kS400)));
    ASSERT_TRUE(t.bus.Connect(a, 0, u, 0));
    t.Settle();
    // u: phy 0, L = 0, p0 parent: 10 000000 0 0 111111 10 00 0 000 10 01 01 0 0.
    EXPECT_EQ(t.bus.SelfIds()[0], 0x803F8094u);
    EXPECT_EQ(u->phy().Read(4) & 0x80, 0x80) << "LCtrl itself is still set";
    Packet p;
    p.SetDestinationId(0xFFC0);
    EXPECT_EQ(t.bus.SendAsync(a, p), kAckMissing);
    EXPECT_TRUE(t.bus.SendPhyPacket(a, 0x00C50000));
    EXPECT_TRUE(u->phyPackets.empty());
    EXPECT_TRUE(u->packets.empty());
}

}  // namespace
}  // namespace sim::bus_test
