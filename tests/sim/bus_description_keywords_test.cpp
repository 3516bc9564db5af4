// What the bus description can set of a real bus: each PHY's gap count, root hold-off, LCtrl,
// contender bit, power class and standard (1394a or 1394-1995), which node starts a reset, a
// camera's video mode preset and 1394b operation, a camera ROM of its own, a ROM with a wrong CRC;
// and one error per kind of bad value, with its line.
#include <gtest/gtest.h>

#include "bus_description.h"
#include "iidc_camera.h"
#include "nodes_fixture.h"

namespace {

using nodes_test::Requester;

TEST(BusDescriptionKeywords, BadValuesNameTheirLine) {
    struct Case {
        const char* text;
        const char* expected;  // the start of the message
    } cases[] = {
        {"node a plain gap=64\n", "line 1: bad gap '64' (0 to 63)"},
        {"\nnode a plain power=8\n", "line 2: bad power '8' (0 to 7)"},
        {"node a plain rhb=yes\n", "line 1: bad rhb 'yes' (0 or 1)"},
        {"node a plain link=2\n", "line 1: bad link '2' (0 or 1)"},
        {"node a plain contender=-1\n", "line 1: bad contender '-1' (0 or 1)"},
        {"node a plain phy=1394b\n", "line 1: bad phy '1394b' (1394a or 1995)"},
        {"node a plain phy=1995 speed=S800\n", "line 1: a 1394-1995 PHY runs at S100 to S400"},
        {"node a plain crc=good\n", "line 1: bad crc 'good' (crc=bad)"},
        {"node a controller crc=bad\n", "line 1: the controller's ROM"},
        {"node a plain format=0\n", "line 1: format is an attribute of cameras"},
        {"node a sbp2 rate=30\n", "line 1: rate is an attribute of cameras"},
        {"node a plain b1394=1\n", "line 1: b1394 is an attribute of cameras"},
        {"node a camera format=8 mode=0 rate=30\n", "line 1: bad format '8' (0 to 7)"},
        {"node a camera format=0 mode=5 rate=31\n", "line 1: bad rate '31'"},
        {"node a camera format=0 rate=30\n", "line 1: a camera's video mode needs format= and mode="},
        {"node a camera format=0 mode=5\n", "line 1: a camera's video mode needs rate= (format 0)"},
        {"node a camera format=0 mode=0 rate=3.75\n", "line 1: format 0 mode 0 has no packet at that rate"},
        {"node a camera format=0 mode=7 rate=30\n", "line 1: format 0 mode 7 has no packet at that rate"},
        {"node a camera format=0 mode=5 rate=120\n", "line 1: format 0 mode 5 has no packet at that rate"},
        {"node a camera format=7 mode=0 rate=30\n", "line 1: format 7 takes no rate"},
        {"node a plain\nreset\n", "line 2: reset needs a node"},
        {"node a plain\nreset b\n", "line 2: unknown node 'b'"},
        {"node a plain\nreset a soon\n", "line 2: bad reset 'soon' (long or short)"},
        {"reset a\nnode a plain\n", "line 1: unknown node 'a'"},
        {"resets a\n", "line 1: unknown statement 'resets' (expected node, connect or reset)"},
    };
    for (const Case& c : cases) {
        sim::BusDescription d;
        std::string error;
        EXPECT_FALSE(sim::ParseBusDescription(c.text, &d, &error)) << c.text;
        EXPECT_EQ(0u, error.find(c.expected)) << "input:\n" << c.text << "message: " << error;
    }
}

TEST(BusDescriptionKeywords, PhysAndResetAsDescribed) {
    const char* text =
        "node pc controller gap=10 contender=1 power=4\n"
        "node hub plain ports=3 gap=10 rhb=1\n"
        "node old plain phy=1995 speed=S200 gap=10\n"
        "node quiet plain link=0 gap=10\n"
        "connect pc.0 hub.0\n"
        "connect hub.1 old.0\n"
        "connect hub.2 quiet.0\n"
        "reset old\n";
    sim::StandaloneHost host;
    sim::Bus bus(host);
    sim::Node* pc = bus.Add(std::make_unique<Requester>());
    sim::BusDescription d;
    std::string error;
    ASSERT_TRUE(sim::ParseBusDescription(text, &d, &error)) << error;
    std::map<std::string, sim::Node*> nodes;
    ASSERT_TRUE(sim::BuildBus(d, bus, pc, &nodes, &error)) << error;
    host.RunFor(10 * sim::kTicksPerMillisecond);
    ASSERT_EQ(4, bus.NodeCount());
    EXPECT_EQ(nodes["hub"], bus.Root()) << "RHB: the hub holds back and becomes root";
    auto selfId = [&](const char* name) { return bus.SelfIds()[nodes[name]->phy().phyId]; };
    for (const char* name : {"pc", "hub", "old", "quiet"})
        EXPECT_EQ(10u, sim::self_id::GapCount(selfId(name))) << name << ": set, it holds through the first reset";
    EXPECT_TRUE(selfId("pc") & sim::self_id::kContender);
    EXPECT_EQ(4u, sim::self_id::PowerClass(selfId("pc")));
    EXPECT_FALSE(selfId("quiet") & sim::self_id::kLinkActive);
    EXPECT_TRUE(selfId("hub") & sim::self_id::kLinkActive);
    EXPECT_TRUE(selfId("old") & sim::self_id::kInitiatedReset) << "reset old";
    EXPECT_FALSE(selfId("pc") & sim::self_id::kInitiatedReset);
    EXPECT_EQ(0x43, nodes["old"]->phy().Read(2)) << "1394-1995 r2: S200, three ports";
    // The next reset: nothing set the gap counts again.
    bus.RequestReset(false);
    host.RunFor(10 * sim::kTicksPerMillisecond);
    EXPECT_EQ(63u, sim::self_id::GapCount(selfId("hub")));
}

TEST(BusDescriptionKeywords, CameraPresetsOwnRomAndBadCrc) {
    sim::IidcCamera::Config elsewhere;
    elsewhere.commandRegsBase = 0x3C8000;  // 0xFFFFF0F20000
    std::string rom;
    const sim::ConfigRom image = sim::IidcCamera::BuildRom(elsewhere);
    for (uint32_t q : image.quadlets()) {
        char hex[16];
        snprintf(hex, sizeof hex, "%s0x%08X", rom.empty() ? "" : ",", q);
        rom += hex;
    }
    const std::string text =
        "node vga camera format=0 mode=4 rate=7.5\n"
        "node fast camera format=0 mode=4 rate=60 speed=S800 b1394=1\n"
        "node roi camera format=7 mode=2\n"
        "node own camera rom=" + rom + "\n"
        "node spoilt camera crc=bad\n"
        "connect vga.0 fast.0\nconnect fast.1 roi.0\nconnect roi.1 own.0\nconnect own.1 spoilt.0\n";
    sim::StandaloneHost host;
    sim::Bus bus(host);
    sim::BusDescription d;
    std::string error;
    ASSERT_TRUE(sim::ParseBusDescription(text, &d, &error)) << error;
    std::map<std::string, sim::Node*> nodes;
    ASSERT_TRUE(sim::BuildBus(d, bus, nullptr, &nodes, &error)) << error;
    auto cam = [&](const char* name) { return static_cast<sim::IidcCamera*>(nodes[name]); };
    EXPECT_EQ(0u, cam("vga")->CurrentFormat());
    EXPECT_EQ(4u, cam("vga")->CurrentMode());
    EXPECT_EQ(uint32_t(sim::iidc::k7_5), cam("vga")->CurrentRate());
    EXPECT_TRUE(cam("vga")->CombinationValid());
    EXPECT_EQ(960u, cam("vga")->PacketBytes());
    EXPECT_EQ(uint32_t(sim::iidc::k60), cam("fast")->CurrentRate());
    EXPECT_TRUE(cam("fast")->config().b1394);
    EXPECT_EQ(7u, cam("roi")->CurrentFormat());
    EXPECT_EQ(2u, cam("roi")->CurrentMode());
    EXPECT_EQ(0xFFFFF0F20000ull, cam("own")->CommandBase());
    EXPECT_TRUE(cam("vga")->rom().BusInfoCrcValid());
    EXPECT_FALSE(cam("spoilt")->rom().BusInfoCrcValid());
}

}  // namespace
