// The bus description format: parsing good input, one error per kind of bad input with its line
// number, and building the default bus (two cameras and an SBP-2 unit behind a plain node).
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "bus_description.h"
#include "iidc_camera.h"
#include "ohci_controller.h"
#include "nodes_fixture.h"
#include "sbp2_unit.h"

namespace {

using namespace nodes_test;

TEST(NodesBusDescription, ParsesNodesAttributesAndConnections) {
    const char* text =
        "# a comment line\n"
        "\n"
        "node pc controller speed=S800 ports=2   # trailing comment\n"
        "node cam camera speed=S400 guid=0x0011223344556677 vendor=0x00ACDE model=7\n"
        "node odd plain ports=1 speed=100 rom=0x04040000,0x31333934\n"
        "connect pc.1 cam.0\n"
        "connect odd.0 cam.1\n";
    sim::BusDescription d;
    std::string error;
    ASSERT_TRUE(sim::ParseBusDescription(text, &d, &error)) << error;
    ASSERT_EQ(3u, d.nodes.size());
    EXPECT_EQ("pc", d.nodes[0].name);
    EXPECT_EQ("controller", d.nodes[0].kind);
    EXPECT_EQ(sim::kS800, d.nodes[0].speed);
    EXPECT_EQ(2, d.nodes[0].ports);
    EXPECT_EQ(3, d.nodes[0].line);
    const sim::NodeDescription* cam = d.Find("cam");
    ASSERT_NE(nullptr, cam);
    EXPECT_TRUE(cam->hasGuid);
    EXPECT_EQ(0x0011223344556677ull, cam->guid);
    EXPECT_EQ(0x00ACDEu, cam->vendor);
    EXPECT_EQ(7u, cam->model);
    EXPECT_EQ(sim::kS100, d.nodes[2].speed);
    EXPECT_EQ((std::vector<uint32_t>{0x04040000, 0x31333934}), d.nodes[2].romHex);
    ASSERT_EQ(2u, d.connections.size());
    EXPECT_EQ("pc", d.connections[0].a);
    EXPECT_EQ(1, d.connections[0].portA);
    EXPECT_EQ("cam", d.connections[0].b);
    EXPECT_EQ(0, d.connections[0].portB);
    EXPECT_EQ(7, d.connections[1].line);
}

TEST(NodesBusDescription, EachKindOfErrorNamesItsLine) {
    struct Case {
        const char* text;
        const char* expected;  // the start of the message
    };
    const Case cases[] = {
        {"nod a plain\n", "line 1: unknown statement 'nod'"},
        {"node a\n", "line 1: node needs a name and a kind"},
        {"\nnode a toaster\n", "line 2: unknown node kind 'toaster'"},
        {"node a plain\nnode a camera\n", "line 2: node 'a' is already declared"},
        {"node a.b plain\n", "line 1: bad node name 'a.b'"},
        {"node a controller\nnode b controller\n", "line 2: a second controller"},
        {"node a plain speed=S500\n", "line 1: bad speed 'S500'"},
        {"node a plain ports=0\n", "line 1: bad port count '0'"},
        {"node a plain ports=17\n", "line 1: bad port count '17'"},
        {"node a plain guid=0xZZ\n", "line 1: bad guid '0xZZ'"},
        {"node a plain vendor=0x1000000\n", "line 1: bad vendor '0x1000000'"},
        {"node a plain colour=red\n", "line 1: unknown attribute 'colour'"},
        {"node a plain ports\n", "line 1: attribute 'ports' needs a value"},
        {"node a plain ports=2 ports=3\n", "line 1: attribute 'ports' given twice"},
        {"node a plain rom=0x1,junk\n", "line 1: bad ROM quadlets"},
        {"node a controller rom=0x1\n", "line 1: the controller's ROM"},
        {"node a plain\nconnect a.0\n", "line 2: connect needs two endpoints"},
        {"node a plain\nnode b plain\nconnect a0 b.0\n", "line 3: bad endpoint 'a0'"},
        {"node a plain\nconnect a.0 b.0\n", "line 2: unknown node 'b'"},
        {"node a plain ports=2\nnode b plain\nconnect a.2 b.0\n", "line 3: node 'a' has no port 2"},
        {"node a plain\nnode b plain\nnode c plain\nconnect a.0 b.0\nconnect a.0 c.0\n", "line 5: port a.0 is already connected"},
        {"node a plain\nconnect a.0 a.1\n", "line 2: a node cannot be connected to itself"},
        {"node a plain\nnode b plain\nconnect a.0 b.0\nconnect a.1 b.1\n", "line 4: connecting a and b would close a loop"},
    };
    for (const Case& c : cases) {
        sim::BusDescription d;
        std::string error;
        EXPECT_FALSE(sim::ParseBusDescription(c.text, &d, &error)) << c.text;
        EXPECT_EQ(0u, error.find(c.expected)) << "input:\n" << c.text << "message: " << error;
    }
    std::string many;
    for (int i = 0; i < 64; ++i) many += "node n" + std::to_string(i) + " plain\n";
    sim::BusDescription d;
    std::string error;
    EXPECT_FALSE(sim::ParseBusDescription(many, &d, &error));
    EXPECT_EQ("line 64: more than 63 nodes", error);
}

TEST(NodesBusDescription, BuildsTheDefaultBus) {
    sim::StandaloneHost host;
    sim::Bus bus(host);
    sim::Node* controller = bus.Add(std::make_unique<Requester>());  // a one-port stand-in for the OHCI node
    sim::BusDescription d;
    std::string error;
    ASSERT_TRUE(sim::ParseBusDescription(sim::kDefaultBusDescription, &d, &error)) << error;
    std::map<std::string, sim::Node*> nodes;
    ASSERT_TRUE(sim::BuildBus(d, bus, controller, &nodes, &error)) << error;
    host.RunFor(10 * sim::kTicksPerMillisecond);
    ASSERT_FALSE(bus.InReset());
    EXPECT_EQ(5, bus.NodeCount());
    EXPECT_EQ(controller, nodes["pc"]);
    EXPECT_EQ(3, nodes["hub"]->phy().ports());
    EXPECT_NE(nullptr, dynamic_cast<sim::IidcCamera*>(nodes["cam1"]));
    EXPECT_NE(nullptr, dynamic_cast<sim::IidcCamera*>(nodes["cam2"]));
    EXPECT_NE(nullptr, dynamic_cast<sim::Sbp2Unit*>(nodes["disk"]));
    EXPECT_EQ(nodes["hub"], bus.Peer(controller, 0));
    EXPECT_EQ(nodes["disk"], bus.Peer(nodes["cam2"], 1));
    auto* cam1 = static_cast<sim::IidcCamera*>(nodes["cam1"]);
    EXPECT_EQ(0x00ACDE4800000001ull, cam1->rom().Guid());
    // The controller's stand-in reads the camera's GUID across the plain node.
    auto* requester = static_cast<Requester*>(controller);
    EXPECT_EQ(sim::kAckPending,
              bus.SendAsync(controller, ReadQuadlet(cam1->NodeId(), controller->NodeId(), 0xFFFFF0000410ull)));
    host.RunFor(sim::kTicksPerMillisecond);
    ASSERT_EQ(1u, requester->received.size());
    EXPECT_EQ(0x00000001u, requester->received[0].QuadletData());
}

TEST(NodesBusDescription, RawRomFromAFileAndBuildErrors) {
    std::string path = ::testing::TempDir() + "nodes_rom_image.txt";
    {
        std::ofstream out(path);
        out << "# a short ROM with a wrong CRC\n04040000 31333934\n0x0000A002, 0x00ACDE00 # guid hi\n";
    }
    sim::StandaloneHost host;
    sim::Bus bus(host);
    sim::BusDescription d;
    std::string error;
    ASSERT_TRUE(sim::ParseBusDescription("node bad plain rom=" + path + "\n", &d, &error)) << error;
    std::map<std::string, sim::Node*> nodes;
    ASSERT_TRUE(sim::BuildBus(d, bus, nullptr, &nodes, &error)) << error;
    auto* bad = static_cast<sim::CsrNode*>(nodes["bad"]);
    EXPECT_EQ((std::vector<uint32_t>{0x04040000, 0x31333934, 0x0000A002, 0x00ACDE00}), bad->rom().quadlets());
    std::remove(path.c_str());
    // The file has gone; the controller was not given.
    sim::Bus bus2(host);
    ASSERT_TRUE(sim::ParseBusDescription("\nnode bad plain rom=" + path + "\n", &d, &error));
    EXPECT_FALSE(sim::BuildBus(d, bus2, nullptr, &nodes, &error));
    EXPECT_EQ(0u, error.find("line 2: cannot read ROM file")) << error;
    ASSERT_TRUE(sim::ParseBusDescription("node pc controller\n", &d, &error));
    EXPECT_FALSE(sim::BuildBus(d, bus2, nullptr, &nodes, &error));
    EXPECT_EQ(0u, error.find("line 1: the controller node must be made by the caller")) << error;
}

TEST(NodesBusDescription, TheOhciControllerTakesItsPlace) {
    sim::StandaloneHost host;
    sim::Bus bus(host);
    sim::Node* controller = bus.Add(std::make_unique<sim::OhciController>(host, sim::OhciController::Config{}));
    sim::BusDescription d;
    std::string error;
    ASSERT_TRUE(sim::ParseBusDescription(sim::kDefaultBusDescription, &d, &error)) << error;
    std::map<std::string, sim::Node*> nodes;
    ASSERT_TRUE(sim::BuildBus(d, bus, controller, &nodes, &error)) << error;
    host.RunFor(10 * sim::kTicksPerMillisecond);
    EXPECT_EQ(5, bus.NodeCount());
    EXPECT_EQ(nodes["hub"], bus.Peer(controller, 0));
    // A port the controller does not have.
    sim::Bus bus2(host);
    sim::Node* small = bus2.Add(std::make_unique<Requester>());
    ASSERT_TRUE(sim::ParseBusDescription("node pc controller\nnode a plain\nconnect pc.1 a.0\n", &d, &error));
    EXPECT_FALSE(sim::BuildBus(d, bus2, small, &nodes, &error));
    EXPECT_EQ(0u, error.find("line 3: port out of range")) << error;
}

}  // namespace
