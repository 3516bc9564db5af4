// The IEEE 1394a PHY: its register map (IEEE 1394a-2000 5B.1), PHY configuration packets (4.3.4:
// gap count and force root), link-on packets, and the extended PHY packets of 1394a (ping, remote
// access and reply, remote command and confirmation).
#include <gtest/gtest.h>

#include "bus_test_node.h"

namespace sim::bus_test {
namespace {

// Chain a - b - c of 3-port S400 PHYs (b root; a phy 0, c phy 1, b phy 2), settled.
struct Chain : TestBus {
    TestNode* a = Add(3, kS400, "a");
    TestNode* b = Add(3, kS400, "b");
    TestNode* c = Add(3, kS200, "c");
    Chain() {
        EXPECT_TRUE(bus.Connect(a, 0, b, 0));
        EXPECT_TRUE(bus.Connect(b, 1, c, 0));
        Settle();
    }
};

TEST(PhyRegisters, BaseRegistersOfAFreshPhy) {
    struct Case {
        int ports;
        Speed speed;
        uint8_t r2;
        uint8_t r3;
    };
    // r2: Extended 7:5 = 111, Total_ports 4:0. r3: Max_speed 7:5 (000 S100, 001 S200, 010 S400, 1394b
    // codes beyond), Delay 3:0 = 0.
    const Case cases[] = {
        {1, kS100, 0xE1, 0x00}, {3, kS200, 0xE3, 0x20}, {3, kS400, 0xE3, 0x40},
        {16, kS800, 0xF0, 0x60}, {2, kS1600, 0xE2, 0x80}, {2, kS3200, 0xE2, 0xA0},
    };
    for (const Case& c : cases) {
        Phy phy(c.ports, c.speed);
        EXPECT_EQ(phy.Read(2), c.r2);
        EXPECT_EQ(phy.Read(3), c.r3);
        EXPECT_EQ(phy.Read(1), 0x3F) << "gap count 63, no RHB";
        EXPECT_EQ(phy.Read(4), 0x80) << "LCtrl on, not a contender, Pwr_class 0";
        EXPECT_EQ(phy.Read(6), 0x00);
        EXPECT_EQ(phy.Read(7), 0x00);
    }
}

TEST(PhyRegisters, WritableFieldsAndReadOnlyOnes) {
    Phy phy(3, kS400);
    EXPECT_EQ(phy.Write(0, 0xFF), Phy::WriteEffect::kNone);
    EXPECT_EQ(phy.Read(0), 0x01) << "Physical_ID and R are the PHY's";
    EXPECT_EQ(phy.Write(2, 0x00), Phy::WriteEffect::kNone);
    EXPECT_EQ(phy.Read(2), 0xE3);
    EXPECT_EQ(phy.Write(1, 0x80 | 0x05), Phy::WriteEffect::kNone);
    EXPECT_EQ(phy.Read(1), 0x85);
    EXPECT_EQ(phy.Write(4, 0xC3 | 0x38), Phy::WriteEffect::kNone);
    EXPECT_EQ(phy.Read(4), 0xC3) << "LCtrl, C, Pwr_class 3; Jitter stays 0";
    EXPECT_EQ(phy.Write(5, 0x83), Phy::WriteEffect::kNone);
    EXPECT_EQ(phy.Read(5), 0x83) << "Watchdog, Enab_accel, Enab_multi";
    EXPECT_EQ(phy.Write(7, 0x22), Phy::WriteEffect::kNone);
    EXPECT_EQ(phy.Read(7), 0x22) << "page 1, port 2";
    EXPECT_EQ(phy.Read(8), 0x01) << "page 1 register 8: Compliance_level 1 (1394a)";
    EXPECT_EQ(phy.Read(10), 0x00) << "vendor ID reads 0";
    phy.Write(7, 0x05);
    EXPECT_EQ(phy.Read(8), 0x00) << "port 5 of a 3-port PHY";
    // IBR and ISBR ask for resets and read back 0.
    EXPECT_EQ(phy.Write(1, 0x40 | 0x3F), Phy::WriteEffect::kLongReset);
    EXPECT_EQ(phy.Read(1), 0x3F);
    EXPECT_EQ(phy.Write(5, 0x40), Phy::WriteEffect::kShortReset);
    EXPECT_EQ(phy.Read(5), 0x00);
}

TEST(PhyRegisters, IbrAndIsbrResetTheBus) {
    struct Case {
        uint8_t reg;
        uint8_t value;
        Ticks duration;
    };
    Chain t;
    const Case cases[] = {{1, 0x40 | 0x3F, t.bus.longResetTime}, {5, 0x40, t.bus.shortResetTime}};
    for (const Case& c : cases) {
        uint32_t generation = t.bus.Generation();
        t.bus.WritePhyRegister(t.c, c.reg, c.value);
        EXPECT_TRUE(t.bus.InReset());
        EXPECT_EQ(t.c->phy().Read(1) & 0x40, 0) << "IBR reads 0 once the reset started";
        t.host.RunFor(c.duration);
        EXPECT_EQ(t.bus.Generation(), generation + 1);
        // c (phy 1) initiated: 10 000001 0 1 111111 01 00 0 000 10 01 01 1 0.
        EXPECT_EQ(t.bus.SelfIds()[1], 0x817F4096u);
    }
}

TEST(PhyRegisters, PortStatusPages) {
    Chain t;
    struct Case {
        TestNode* node;
        uint8_t port;
        uint8_t r8;
        uint8_t r9;
    };
    // r8: AStat BStat (11 11 idle Z on a connected port), Child, Connected, Bias, Disabled.
    // r9: Negotiated_speed 7:5: the slower of the two PHYs.
    const Case cases[] = {
        {t.b, 0, 0xFE, 0x40},  // child a, S400
        {t.b, 1, 0xFE, 0x20},  // child c, S200
        {t.b, 2, 0x00, 0x00},  // nothing there
        {t.a, 0, 0xF6, 0x40},  // parent b
        {t.c, 0, 0xF6, 0x20},
    };
    for (const Case& c : cases) {
        t.bus.WritePhyRegister(c.node, 7, c.port);
        EXPECT_EQ(c.node->phy().Read(8), c.r8) << c.node->name() << " port " << int(c.port);
        EXPECT_EQ(c.node->phy().Read(9), c.r9) << c.node->name() << " port " << int(c.port);
        EXPECT_EQ(c.node->phy().ReadPaged(0, c.port, 8), c.r8);
    }
    t.bus.WritePhyRegister(t.b, 7, 0x02);
    t.bus.WritePhyRegister(t.b, 9, 0x10);
    EXPECT_EQ(t.b->phy().Read(9), 0x10) << "Int_enable";
    EXPECT_FALSE(t.bus.InReset());
    t.bus.WritePhyRegister(t.b, 8, 0x01);
    EXPECT_FALSE(t.bus.InReset()) << "disabling a port with no cable changes no connection";
    EXPECT_EQ(t.b->phy().Read(8), 0x01);
}

TEST(PhyPackets, ConfigurationSetsGapCountAndNextRoot) {
    Chain t;
    // Configuration packet: 00 | root_ID 29:24 | R 23 | T 22 | gap_cnt 21:16: root a (phy 0), gap 5.
    const uint32_t config = 0x00C50000;
    ASSERT_TRUE(t.bus.SendPhyPacket(t.b, config));
    // Every PHY takes the gap count at once (the sender's too); only a keeps RHB.
    for (TestNode* n : {t.a, t.b, t.c}) {
        EXPECT_EQ(n->phy().Read(1) & 0x3F, 5) << n->name();
        EXPECT_EQ((n->phy().Read(1) & 0x80) != 0, n == t.a) << n->name();
    }
    // Every other link with link-on sees the packet; the sender does not.
    EXPECT_EQ(t.a->phyPackets, std::vector<uint32_t>{config});
    EXPECT_EQ(t.c->phyPackets, std::vector<uint32_t>{config});
    EXPECT_TRUE(t.b->phyPackets.empty());
    EXPECT_EQ(t.bus.Root(), t.b) << "the root changes at the next reset";
    t.bus.RequestReset(false, t.b);
    t.Settle();
    EXPECT_EQ(t.bus.Root(), t.a);
    // a root: b's subtree first (c phy 0, b phy 1), then a phy 2. Gap 5 everywhere.
    //   c: 10 000000 0 1 000101 01 00 0 000 10 01 01 0 0 = 0x80454094
    //   b: 10 000001 0 1 000101 10 00 0 000 10 11 01 1 0 = 0x814580B6 (p0 parent, p1 child, i)
    //   a: 10 000010 0 1 000101 10 00 0 000 11 01 01 0 0 = 0x824580D4
    EXPECT_EQ(t.bus.SelfIds(), (std::vector<uint32_t>{0x80454094, 0x814580B6, 0x824580D4}));
    EXPECT_EQ(t.a->phy().Read(0), (2 << 2) | 0x03);

    // R alone moves the root without touching the gap count; the gap count, not set again since
    // the last reset, falls back to 63 at this one (1394a gap_count_reset_disable).
    ASSERT_TRUE(t.bus.SendPhyPacket(t.a, 0x00800000));  // force root c (now phy 0), T = 0
    for (TestNode* n : {t.a, t.b, t.c}) EXPECT_EQ(n->phy().Read(1) & 0x3F, 5);
    t.bus.RequestReset(true);
    t.Settle();
    EXPECT_EQ(t.bus.Root(), t.c);
    for (uint32_t q : t.bus.SelfIds()) EXPECT_EQ((q >> 16) & 0x3F, 63u);
}

TEST(PhyPackets, NothingIsSentDuringAReset) {
    Chain t;
    t.bus.RequestReset(false);
    EXPECT_FALSE(t.bus.SendPhyPacket(t.b, 0x00C50000));
    EXPECT_EQ(t.a->phy().Read(1) & 0x3F, 0x3F);
    EXPECT_TRUE(t.a->phyPackets.empty());
}

TEST(PhyPackets, LinkOnWakesTheNamedLink) {
    Chain t;
    t.c->phy().linkOn = false;
    t.bus.RequestReset(false);
    t.Settle();
    // Link-on: 01 | phy_ID 29:24 | zero. c is phy 1.
    const uint32_t linkOn = 0x41000000;
    ASSERT_TRUE(t.bus.SendPhyPacket(t.a, linkOn));
    EXPECT_EQ(t.c->linkOns, 1);
    EXPECT_EQ(t.b->linkOns, 0);
    EXPECT_TRUE(t.c->phyPackets.empty()) << "its link was still off when the packet passed";
    EXPECT_EQ(t.b->phyPackets, std::vector<uint32_t>{linkOn});
    EXPECT_EQ(t.c->phy().Read(4) & 0x80, 0x80) << "LCtrl";
    t.bus.RequestReset(false);
    t.Settle();
    EXPECT_NE(t.bus.SelfIds()[1] & (1u << 22), 0u) << "L in c's self-ID";
}

TEST(PhyPackets, RemoteAccessIsAnsweredWithARemoteReply) {
    Chain t;
    t.c->phy().contender = true;
    t.c->phy().powerClass = 4;
    struct Case {
        uint32_t access;  // 00 | phy_ID | 0 0 | type 21:18 | page 17:15 | port 14:11 | reg 10:8
        uint32_t reply;   // same fields, type 3 or 7, data 7:0
    };
    const Case cases[] = {
        // Base register 4 of c (phy 1): LCtrl, C, Pwr_class 4 = 0xC4.
        {0x01040400, 0x010C04C4},
        // Base register 2 of b (phy 2): 0xE3.
        {0x02040200, 0x020C02E3},
        // Paged: page 0, port 1, register 8 + 1 = r9 of b: Negotiated_speed S200 = 0x20.
        {0x02140900, 0x021C0920},
        // Paged: page 0, port 0, register 8 of b: child a, 0xFE.
        {0x02140000, 0x021C00FE},
        // Paged: page 1, register 8 of c: Compliance_level 1.
        {0x01148000, 0x011C8001},
    };
    for (const Case& c : cases) {
        for (TestNode* n : {t.a, t.b, t.c}) n->phyPackets.clear();
        ASSERT_TRUE(t.bus.SendPhyPacket(t.a, c.access));
        EXPECT_EQ(t.b->phyPackets, std::vector<uint32_t>{c.access});
        t.host.RunFor(t.bus.remoteReplyDelay);
        // The requester sees the reply; the answering PHY's own link does not.
        Node* target = t.bus.NodeByPhyId(int(c.access >> 24));
        EXPECT_EQ(t.a->phyPackets, std::vector<uint32_t>{c.reply}) << std::hex << c.access;
        for (TestNode* n : {t.b, t.c}) {
            size_t expected = n == target ? 1 : 2;
            ASSERT_EQ(n->phyPackets.size(), expected) << n->name();
            if (n != target) {
                EXPECT_EQ(n->phyPackets[1], c.reply);
            }
        }
    }
}

TEST(PhyPackets, NoRemoteReplyAfterAReset) {
    Chain t;
    ASSERT_TRUE(t.bus.SendPhyPacket(t.a, 0x01040400));
    t.bus.RequestReset(true);
    t.Settle();
    EXPECT_TRUE(t.a->phyPackets.empty());
}

TEST(PhyPackets, PingIsAnsweredWithSelfIds) {
    Chain t;
    // Ping: extended type 0 to phy 2 (b).
    ASSERT_TRUE(t.bus.SendPhyPacket(t.a, 0x02000000));
    t.host.RunFor(t.bus.remoteReplyDelay);
    EXPECT_EQ(t.a->phyPackets, std::vector<uint32_t>{t.bus.SelfIds()[2]});
}

TEST(PhyPackets, RemoteCommandDisablesAPortAndConfirms) {
    Chain t;
    // Remote command, type 8, to b (phy 2): port 1 (14:11), command 1 = disable port.
    ASSERT_TRUE(t.bus.SendPhyPacket(t.a, 0x02200801));
    t.host.RunFor(t.bus.remoteReplyDelay);
    // Confirmation, type A: port 1, connected (6), disabled (4), ok (3), command 1:
    //   00 000010 0 0 1010 000 0001 000 0 1 0 1 1 001 = 0x02280859.
    EXPECT_EQ(t.a->phyPackets, std::vector<uint32_t>{0x02280859});
    EXPECT_TRUE(t.bus.InReset()) << "the port left the bus";
    t.Settle();
    EXPECT_EQ(t.bus.NodeCount(), 2);
}

}  // namespace
}  // namespace sim::bus_test
