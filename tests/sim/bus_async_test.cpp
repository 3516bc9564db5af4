// Asynchronous packets on the bus: acks (IEEE 1394-1995 6.2.4.15), broadcast (phy_ID 63), the bus_ID
// of the destination (0x3FF = local bus), speeds (a PHY repeats and decodes only what its speed
// allows: the path speed is that of the slowest PHY on it).
#include <gtest/gtest.h>

#include "bus_test_node.h"

namespace sim::bus_test {
namespace {

Packet WriteQuadlet(uint16_t destination, Speed speed = kS100) {
    Packet p;
    p.SetTcode(kTcodeWriteQuadletRequest);
    p.SetDestinationId(destination);
    p.SetSourceId(0xFFC0);
    p.speed = speed;
    return p;
}

// hub (S400) with s100 (S100) on port 0, s400 (S400) on port 1, and far (S400) behind s100.
//   phy IDs: far 0, s100 1, s400 2, hub 3 (root).
struct Star : TestBus {
    TestNode* hub = Add(3, kS400, "hub");
    TestNode* s100 = Add(3, kS100, "s100");
    TestNode* s400 = Add(3, kS400, "s400");
    TestNode* far = Add(3, kS400, "far");
    Star() {
        EXPECT_TRUE(bus.Connect(hub, 0, s100, 0));
        EXPECT_TRUE(bus.Connect(hub, 1, s400, 0));
        EXPECT_TRUE(bus.Connect(s100, 1, far, 0));
        Settle();
        EXPECT_EQ(bus.NodeByPhyId(0), far);
        EXPECT_EQ(bus.NodeByPhyId(3), hub);
    }
};

TEST(BusAsync, PathSpeedIsTheSlowestPhyOnThePath) {
    Star t;
    struct Case {
        TestNode* a;
        TestNode* b;
        Speed expected;
    };
    const Case cases[] = {
        {t.hub, t.s400, kS400}, {t.hub, t.s100, kS100}, {t.s400, t.far, kS100},  // through s100
        {t.far, t.s400, kS100}, {t.s400, t.s400, kS400}, {t.s100, t.s100, kS100}, {t.far, t.s100, kS100},
    };
    for (const Case& c : cases)
        EXPECT_EQ(t.bus.PathSpeed(c.a, c.b), c.expected) << c.a->name() << " to " << c.b->name();
}

TEST(BusAsync, DestinationAckComesBack) {
    Star t;
    const Ack acks[] = {kAckComplete, kAckPending, kAckBusyX, kAckBusyA, kAckBusyB, kAckDataError, kAckTypeError,
                        kAckAddressError};
    for (Ack ack : acks) {
        t.s400->ack = ack;
        EXPECT_EQ(t.bus.SendAsync(t.hub, WriteQuadlet(0xFFC0 | 2, kS400)), ack);
    }
    ASSERT_EQ(t.s400->packets.size(), std::size(acks));
    EXPECT_EQ(t.s400->packets[0].DestinationId(), 0xFFC2);
    EXPECT_TRUE(t.hub->packets.empty());
}

TEST(BusAsync, NoAckCases) {
    Star t;
    t.bus.busId = 5;
    struct Case {
        const char* what;
        TestNode* from;
        uint16_t destination;
        Speed speed;
    };
    const Case cases[] = {
        {"no node with phy ID 4", t.hub, 0xFFC0 | 4, kS100},
        {"phy ID 62", t.hub, 0xFFC0 | 62, kS100},
        {"S200 across the S100 node", t.s400, 0xFFC0 | 0, kS200},
        {"S400 to an S100 node", t.hub, 0xFFC0 | 1, kS400},
        {"S800 on an S400 path", t.hub, 0xFFC0 | 2, kS800},
        {"another bus", t.hub, uint16_t(7 << 6 | 2), kS100},
        {"to itself", t.hub, 0xFFC0 | 3, kS100},
    };
    for (const Case& c : cases) EXPECT_EQ(t.bus.SendAsync(c.from, WriteQuadlet(c.destination, c.speed)), kAckMissing) << c.what;
    EXPECT_TRUE(t.far->packets.empty());
    EXPECT_TRUE(t.s100->packets.empty());
    EXPECT_TRUE(t.s400->packets.empty());
    // The bus's own number and 0x3FF both reach the node.
    EXPECT_EQ(t.bus.SendAsync(t.hub, WriteQuadlet(uint16_t(5 << 6 | 2))), kAckComplete);
    EXPECT_EQ(t.bus.SendAsync(t.hub, WriteQuadlet(0xFFC0 | 2)), kAckComplete);
    // The fastest speed the path allows gets through.
    EXPECT_EQ(t.bus.SendAsync(t.s400, WriteQuadlet(0xFFC0 | 0, kS100)), kAckComplete);
    EXPECT_EQ(t.far->packets.size(), 1u);
}

TEST(BusAsync, LinkOffGivesNoAck) {
    Star t;
    t.s400->phy().linkOn = false;
    EXPECT_EQ(t.bus.SendAsync(t.hub, WriteQuadlet(0xFFC0 | 2)), kAckMissing);
    EXPECT_TRUE(t.s400->packets.empty());
}

TEST(BusAsync, ResetAndGenerationGiveNoAck) {
    Star t;
    uint32_t generation = t.bus.Generation();
    EXPECT_EQ(t.bus.SendAsync(t.hub, WriteQuadlet(0xFFC0 | 2), generation), kAckComplete);
    t.bus.RequestReset(true);
    EXPECT_EQ(t.bus.SendAsync(t.hub, WriteQuadlet(0xFFC0 | 2)), kAckMissing) << "during the reset";
    t.Settle();
    EXPECT_EQ(t.bus.SendAsync(t.hub, WriteQuadlet(0xFFC0 | 2), generation), kAckMissing) << "old generation";
    EXPECT_EQ(t.bus.SendAsync(t.hub, WriteQuadlet(0xFFC0 | 2), generation + 1), kAckComplete);
    EXPECT_EQ(t.s400->packets.size(), 2u);
}

TEST(BusAsync, PacketsToANodeThatHasGone) {
    Star t;
    t.bus.Unplug(t.s400);
    t.Settle();
    // The root is now phy 2: phy 3 is nobody, and s400 is on a bus of its own.
    EXPECT_EQ(t.bus.NodeCount(), 3);
    EXPECT_EQ(t.bus.SendAsync(t.hub, WriteQuadlet(0xFFC0 | 3)), kAckMissing);
    EXPECT_EQ(t.bus.SendAsync(t.s400, WriteQuadlet(0xFFC0 | 0)), kAckMissing);
    EXPECT_TRUE(t.far->packets.empty());
}

TEST(BusAsync, BroadcastReachesEveryOtherLinkThatCanDecodeIt) {
    Star t;
    t.s400->ack = kAckBusyX;  // acks of broadcast are not sent
    EXPECT_EQ(t.bus.SendAsync(t.hub, WriteQuadlet(0xFFC0 | 63)), kAckComplete);
    for (TestNode* n : {t.s100, t.s400, t.far}) EXPECT_EQ(n->packets.size(), 1u) << n->name();
    EXPECT_TRUE(t.hub->packets.empty()) << "the sender does not hear itself";
    // At S400, only the nodes with an S400 path to the sender hear it.
    EXPECT_EQ(t.bus.SendAsync(t.s400, WriteQuadlet(0xFFC0 | 63, kS400)), kAckComplete);
    EXPECT_EQ(t.hub->packets.size(), 1u);
    EXPECT_EQ(t.s100->packets.size(), 1u);
    EXPECT_EQ(t.far->packets.size(), 1u);
    // A link that is off hears nothing.
    t.far->phy().linkOn = false;
    EXPECT_EQ(t.bus.SendAsync(t.hub, WriteQuadlet(0xFFFF)), kAckComplete);
    EXPECT_EQ(t.far->packets.size(), 1u);
    EXPECT_EQ(t.s100->packets.size(), 2u);
}

}  // namespace
}  // namespace sim::bus_test
