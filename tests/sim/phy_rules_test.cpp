// PHY rules of IEEE 1394a beyond the register map: the gap count fall-back to 63 at a reset not
// preceded by a configuration packet or register write, Port_event with the ports' Int_enable, and
// a 1394-1995 PHY on the same bus (its register map, no short reset, no extended PHY packets).
#include <gtest/gtest.h>

#include "bus_test_node.h"

namespace sim::bus_test {
namespace {

// Chain a - b - c, settled.
struct Chain : TestBus {
    TestNode* a = Add(3, kS400, "a");
    TestNode* b = Add(3, kS400, "b");
    TestNode* c = Add(3, kS400, "c");
    Chain() {
        EXPECT_TRUE(bus.Connect(a, 0, b, 0));
        EXPECT_TRUE(bus.Connect(b, 1, c, 0));
        Settle();
    }
    // The gap counts the self-ID packets of the last reset carry, in physical ID order.
    std::vector<int> Gaps() {
        std::vector<int> gaps;
        for (uint32_t q : bus.SelfIds()) gaps.push_back(int(self_id::GapCount(q)));
        return gaps;
    }
    void Reset() {
        bus.RequestReset(false);
        Settle();
    }
};

TEST(PhyGapCount, FallsBackTo63AtTheSecondResetUnlessSetAgain) {
    const uint32_t gap5 = phy_packet::MakeConfiguration(0, false, true, 5);
    const uint32_t rootOnly = phy_packet::MakeConfiguration(0, true, false, 0);
    struct Step {
        const char* what;
        uint32_t packet;  // 0: none
        int resets;
        int gap;          // in every self-ID packet after the resets
    } steps[] = {
        {"configuration T = 1, one reset", gap5, 1, 5},
        {"a second reset", 0, 1, 63},
        {"set, reset, set again, reset", gap5, 1, 5},
        {"", gap5, 1, 5},
        {"R alone does not hold it", rootOnly, 1, 63},
        {"set, then two resets", gap5, 2, 63},
    };
    Chain t;
    EXPECT_EQ(t.Gaps(), std::vector<int>(3, 63));
    for (const Step& s : steps) {
        if (s.packet) {
            ASSERT_TRUE(t.bus.SendPhyPacket(t.a, s.packet));
        }
        for (int i = 0; i < s.resets; ++i) t.Reset();
        EXPECT_EQ(t.Gaps(), std::vector<int>(3, s.gap)) << s.what;
    }
}

TEST(PhyGapCount, RegisterWriteHoldsLikeAPacketAndAStormCountsOnce) {
    Chain t;
    // b's link writes r1: gap 7 with IBR. Only b's PHY takes it.
    t.bus.WritePhyRegister(t.b, 1, 0x40 | 7);
    t.Settle();
    std::vector<int> gaps = t.Gaps();
    EXPECT_EQ(7, gaps[t.b->phy().phyId]);
    EXPECT_EQ(63, gaps[t.a->phy().phyId]);
    t.Reset();
    EXPECT_EQ(t.Gaps(), std::vector<int>(3, 63));
}

TEST(PhyGapCount, AResetStormCountsOnceOrAtEveryStart) {
    for (bool everyStart : {false, true}) {
        Chain t;
        t.bus.gapRuleAtEveryResetStart = everyStart;
        // Four resets, each restarted before it completes, after a configuration packet.
        ASSERT_TRUE(t.bus.SendPhyPacket(t.c, phy_packet::MakeConfiguration(0, false, true, 9)));
        t.bus.ResetStorm(4, t.bus.longResetTime / 4);
        t.Settle();
        EXPECT_EQ(t.Gaps(), std::vector<int>(3, everyStart ? 63 : 9)) << everyStart;
        // One reset after a packet holds the gap count either way.
        ASSERT_TRUE(t.bus.SendPhyPacket(t.c, phy_packet::MakeConfiguration(0, false, true, 9)));
        t.Reset();
        EXPECT_EQ(t.Gaps(), std::vector<int>(3, 9)) << everyStart;
    }
}

TEST(BusReadings, RootContentionGoesToTheFirstOrTheLastAdded) {
    for (bool firstWins : {true, false}) {
        TestBus t;
        t.bus.rootContentionFirstAddedWins = firstWins;
        TestNode* a = t.Add(1, kS400, "a");
        TestNode* b = t.Add(1, kS400, "b");
        ASSERT_TRUE(t.bus.Connect(a, 0, b, 0));
        t.Settle();
        EXPECT_EQ(firstWins ? a : b, t.bus.Root()) << firstWins;
    }
}

uint8_t PortRegister(TestBus& t, Node* n, int port, uint8_t reg) {
    t.bus.WritePhyRegister(n, 7, uint8_t(port));  // page 0, port
    return n->phy().Read(reg);
}

TEST(PhyPortEvent, SetOnConnectionAndDisableChangesOfEnabledPorts) {
    Chain t;
    // Int_enable on b's port 2 (free) only.
    t.bus.WritePhyRegister(t.b, 7, 2);
    t.bus.WritePhyRegister(t.b, 9, 0x10);
    EXPECT_EQ(0x10, PortRegister(t, t.b, 2, 9) & 0x10);
    EXPECT_FALSE(t.b->phy().PortEvent());
    struct Step {
        const char* what;
        std::function<void()> change;
        bool event;
    } steps[] = {
        {"cable on port 2", [&] { t.bus.Connect(t.b, 2, t.Add(1, kS400, "d"), 0); }, true},
        {"port 0 unplugged (no Int_enable)", [&] { t.bus.Disconnect(t.b, 0); }, false},
        {"port 2 disabled by the link", [&] { t.bus.WritePhyRegister(t.b, 7, 2), t.bus.WritePhyRegister(t.b, 8, 0x01); }, true},
        {"port 2 enabled by a remote command",
         [&] { t.bus.SendPhyPacket(t.c, phy_packet::MakeExtended(t.b->phy().phyId, phy_packet::kRemoteCommand, 0, 2, 0, phy_packet::kCommandEnablePort)); }, true},
        {"a reset changes no port", [&] { t.bus.RequestReset(false); }, false},
        {"cable off port 2", [&] { t.bus.Disconnect(t.b, 2); }, true},
    };
    for (const Step& s : steps) {
        s.change();
        t.Settle();
        EXPECT_EQ(s.event, t.b->phy().PortEvent()) << s.what;
        EXPECT_EQ(s.event, (t.b->phy().Read(5) & 0x04) != 0) << s.what;
        t.bus.WritePhyRegister(t.b, 5, 0x04);  // write 1 to clear
        EXPECT_FALSE(t.b->phy().PortEvent()) << s.what;
    }
}

TEST(Phy1995, RegisterMapAndNo1394aFeatures) {
    TestBus t;
    TestNode* a = t.Add(3, kS400, "a");
    auto old = std::make_unique<TestNode>("old", 2, kS200);
    old->phy().standard = PhyStandard::k1394_1995;
    TestNode* o = static_cast<TestNode*>(t.bus.Add(std::move(old)));
    ASSERT_TRUE(t.bus.Connect(a, 0, o, 1));
    t.Settle();
    // r2: SPD 7:6 = S200, NP 3:0 = 2; r3, r4: ports 0 and 1 (AStat, BStat, Ch, Con).
    EXPECT_EQ(0x42, o->phy().Read(2));
    EXPECT_EQ(0x00, o->phy().Read(3)) << "port 0: no cable";
    const bool aIsChild = o->phy().isRoot;
    EXPECT_EQ(0xF4 | (aIsChild ? 0x08 : 0), o->phy().Read(4)) << "port 1: connected, lines Z";
    EXPECT_EQ(0x00, o->phy().Read(5));
    // r1 writable with IBR; ISBR (r5) and LCtrl (r4) are not registers of this PHY.
    const uint32_t generation = t.bus.Generation();
    t.bus.WritePhyRegister(o, 5, 0x40);
    t.bus.WritePhyRegister(o, 4, 0x00);
    EXPECT_FALSE(t.bus.InReset());
    EXPECT_TRUE(o->phy().linkOn);
    t.bus.WritePhyRegister(o, 1, 0x40 | 0x3F);
    EXPECT_TRUE(t.bus.InReset());
    t.Settle();
    EXPECT_EQ(generation + 1, t.bus.Generation());
    // Ping and remote access go unanswered; a configuration packet is taken.
    a->phyPackets.clear();
    ASSERT_TRUE(t.bus.SendPhyPacket(a, phy_packet::MakeExtended(o->phy().phyId, phy_packet::kExtendedPing, 0, 0, 0, 0)));
    ASSERT_TRUE(t.bus.SendPhyPacket(a, phy_packet::MakeExtended(o->phy().phyId, phy_packet::kRemoteAccessBase, 0, 0, 2, 0)));
    t.host.RunFor(kTicksPerMillisecond);
    EXPECT_TRUE(a->phyPackets.empty());
    ASSERT_TRUE(t.bus.SendPhyPacket(a, phy_packet::MakeConfiguration(0, false, true, 12)));
    EXPECT_EQ(12, o->phy().Read(1) & 0x3F);
    // Its self-ID packet is the same format: sp S200.
    t.bus.RequestReset(false);
    t.Settle();
    EXPECT_EQ(1u, self_id::SpeedCode(t.bus.SelfIds()[o->phy().phyId]));
}

}  // namespace
}  // namespace sim::bus_test
