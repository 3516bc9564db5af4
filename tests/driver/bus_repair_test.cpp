// Bus repair on the hardware model: the speed table against the model's path speeds on mixed
// S100/S200/S400 trees (1394-1995 PHYs among them), GET_NODE_SPEED answering from it, the root
// check two quiet seconds after a reset with its force-root reset, the gap count repair (one
// configuration packet, one reset, no loop; also with junk after the self-IDs), self-ID sets the
// validation refuses, and the kernel's synchronous quadlet reads.
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "async/kernel_requests.h"
#include "core/bus_repair.h"
#include "kx1394.h"
#include "ohci/bus_order.h"
#include "sim_fixture.h"

namespace {

// A plain node that notes the PHY configuration packets it sees.
class WatchingNode : public sim::CsrNode {
public:
    WatchingNode(const char* name, int ports, sim::Speed speed)
        : sim::CsrNode(name, ports, speed,
                       sim::ConfigRom::Build(sim::BusOptions(), 0x0800460000000001ull, sim::RomDirectory())) {}
    void ReceivePhyPacket(uint32_t quadlet) override {
        if ((quadlet >> 30) == 0 && (quadlet & (3u << 22)) != 0) configurations.push_back(quadlet);
        sim::CsrNode::ReceivePhyPacket(quadlet);
    }
    std::vector<uint32_t> configurations;
};

// One node of a tree: its parent (-1: the controller) and the parent's port, its own speed.
struct TreeNode {
    int parent;
    int parentPort;
    sim::Speed speed;
    int ports;
    bool phy1995;
};

class RepairTest : public SimBusTest {
protected:
    explicit RepairTest(const hk::Options& options = hk::Options()) : SimBusTest(options) {}

    // The controller (S400, three ports) and the nodes of `tree`, each on its port 0.
    void BuildTree(const std::vector<TreeNode>& tree, sim::Speed controllerSpeed = sim::kS400) {
        sim::OhciController::Config config;
        config.speed = controllerSpeed;
        sim_ = std::make_unique<hk::SimulatedController>(config);
        for (const TreeNode& t : tree) {
            auto node = std::make_unique<WatchingNode>("node", t.ports, t.speed);
            if (t.phy1995) node->phy().standard = sim::PhyStandard::k1394_1995;
            nodes_.push_back(static_cast<WatchingNode*>(sim_->bus.Add(std::move(node))));
            ASSERT_NE(nodes_.back(), nullptr);
            sim::Node* parent = t.parent < 0 ? static_cast<sim::Node*>(sim_->controller) : nodes_[size_t(t.parent)];
            ASSERT_TRUE(sim_->bus.Connect(parent, t.parentPort, nodes_.back(), 0));
        }
        hk::RunFor(10 * kMs100ns);
    }

    void OpenDevice() {
        process_ = hk::TestProcess();
        ASSERT_EQ(hk::user::OpenDeviceInterface(process_, GUID_KX1394_CONTROLLER_INTERFACE, 0, &device_),
                  STATUS_SUCCESS);
        buffer_ = static_cast<UCHAR*>(hk::user::Alloc(process_, 16));
        ASSERT_NE(buffer_, nullptr);
    }

    void TearDown() override {
        if (device_ != nullptr) {
            EXPECT_EQ(hk::user::CloseHandle(process_, device_), STATUS_SUCCESS);
        }
        SimBusTest::TearDown();
    }

    Kx1394NodeAnswer NodeSpeed(USHORT nodeId) {
        memcpy(buffer_, &nodeId, 2);
        ULONG returned = 0;
        EXPECT_EQ(hk::user::DeviceIoControl(process_, device_, IOCTL_GET_NODE_SPEED, buffer_, 2, buffer_ + 8, 2,
                                            &returned),
                  STATUS_SUCCESS);
        Kx1394NodeAnswer answer;
        memcpy(&answer, buffer_ + 8, 2);
        return answer;
    }

    // Every pair of the driver's speed table against the model's path speed.
    void ExpectTableMatchesPathSpeeds() {
        OhciController* controller = Controller();
        int n = sim_->bus.NodeCount();
        ASSERT_EQ(controller->NodeCount, ULONG(n));
        for (int i = 0; i < n; ++i)
            for (int k = 0; k < n; ++k)
                EXPECT_EQ(controller->SpeedTable[i * 64 + k],
                          UCHAR(sim_->bus.PathSpeed(sim_->bus.NodeByPhyId(i), sim_->bus.NodeByPhyId(k))))
                    << "from " << i << " to " << k;
        EXPECT_EQ(controller->SpeedTable[n * 64], 0);  // no such node: untouched zero
    }

    // Configuration packets with R = 1 naming physical ID `phy`, seen by the first node.
    size_t ForceRootPackets(uint8_t phy) {
        size_t count = 0;
        for (uint32_t q : nodes_[0]->configurations)
            if ((q & (1u << 23)) && ((q >> 24) & 0x3F) == phy) ++count;
        return count;
    }

    // Runs `body` on a system thread at passive level while virtual time goes on.
    void RunKernel(const std::function<void()>& body) {
        bool done = false;
        PKTHREAD thread = hk::StartThread("kernel", hk::SystemProcess(), [&] {
            body();
            done = true;
        });
        for (int i = 0; i < 1000 && !done; ++i) hk::RunFor(10 * kMs100ns);
        hk::JoinThread(thread);
        ASSERT_TRUE(done);
    }

    std::vector<WatchingNode*> nodes_;
    PEPROCESS process_ = nullptr;
    HANDLE device_ = nullptr;
    UCHAR* buffer_ = nullptr;
};

struct SpeedCase {
    const char* name;
    std::vector<TreeNode> tree;
    sim::Speed controllerSpeed;
};

class SpeedTableTest : public RepairTest, public ::testing::WithParamInterface<SpeedCase> {};

TEST_P(SpeedTableTest, EveryPairGetsThePathSpeedAndNodeSpeedAnswersIt) {
    BuildTree(GetParam().tree, GetParam().controllerSpeed);
    Start();
    ASSERT_EQ(start_, STATUS_SUCCESS);
    // Unanswered remote reads (1394-1995 PHYs) cost three times 300 ms each.
    hk::RunFor(1500 * kMs100ns);
    ExpectTableMatchesPathSpeeds();
    OpenDevice();
    sim::Node* local = sim_->controller;
    for (int k = 0; k < sim_->bus.NodeCount(); ++k) {
        SCOPED_TRACE(k);
        Kx1394NodeAnswer answer = NodeSpeed(USHORT(0xFFC0 | k));
        EXPECT_EQ(answer.Status, KX1394_ANSWER_DONE);
        EXPECT_EQ(answer.Value, UCHAR(sim_->bus.PathSpeed(local, sim_->bus.NodeByPhyId(k))));
    }
}

using sim::kS100;
using sim::kS200;
using sim::kS400;

INSTANTIATE_TEST_SUITE_P(
    Trees, SpeedTableTest,
    ::testing::Values(
        SpeedCase{"controllerAlone", {}, kS400},
        SpeedCase{"chainS200ThenS400ThenS100",
                  {{-1, 0, kS200, 3, false}, {0, 1, kS400, 3, false}, {1, 1, kS100, 3, false}},
                  kS400},
        SpeedCase{"hubWithS100S200S400Leaves",
                  {{-1, 0, kS400, 4, false},
                   {0, 1, kS100, 1, false},
                   {0, 2, kS200, 1, false},
                   {0, 3, kS400, 1, false}},
                  kS400},
        SpeedCase{"twoBranchesOfTheController",
                  {{-1, 0, kS400, 3, false},
                   {0, 1, kS200, 3, false},
                   {1, 1, kS400, 3, false},
                   {-1, 1, kS100, 3, false},
                   {3, 1, kS400, 3, false},
                   {-1, 2, kS400, 2, false}},
                  kS400},
        SpeedCase{"slowController", {{-1, 0, kS400, 3, false}, {0, 1, kS400, 3, false}}, kS200},
        SpeedCase{"phy1995InTheMiddle",
                  {{-1, 0, kS400, 3, false}, {0, 1, kS200, 3, true}, {1, 1, kS400, 3, false}},
                  kS400}),
    [](const ::testing::TestParamInfo<SpeedCase>& info) { return std::string(info.param.name); });

TEST_F(RepairTest, LinkNegotiatedBelowBothPhysGivesTheNegotiatedSpeed) {
    BuildTree({{-1, 0, kS400, 3, false}});
    sim::Node* local = sim_->controller;
    sim::Node* node = nodes_[0];
    // Both PHYs are S400, but their ports settle on S200 (a long or poor cable).
    sim_->bus.tamperSelfIds = [local, node](std::vector<uint32_t>&) {
        local->phy().portState()[0].negotiated = sim::kS200;
        node->phy().portState()[0].negotiated = sim::kS200;
    };
    Start();
    ASSERT_EQ(start_, STATUS_SUCCESS);
    OhciController* controller = Controller();
    ULONG a = local->phy().phyId, b = node->phy().phyId;
    EXPECT_EQ(controller->SpeedTable[a * 64 + b], UCHAR(sim::kS200));
    EXPECT_EQ(controller->SpeedTable[b * 64 + a], UCHAR(sim::kS200));
    EXPECT_EQ(controller->SpeedTable[a * 64 + a], UCHAR(sim::kS400));
    EXPECT_EQ(controller->SpeedTable[b * 64 + b], UCHAR(sim::kS400));
    OpenDevice();
    Kx1394NodeAnswer answer = NodeSpeed(USHORT(0xFFC0 | b));
    EXPECT_EQ(answer.Status, KX1394_ANSWER_DONE);
    EXPECT_EQ(answer.Value, KX1394_S200);
}

TEST_F(RepairTest, ControllerBelowTheRootReadsItsOwnPortAndIsMadeRootTwoSecondsLater) {
    // The other node holds back too and wins root contention: the controller is a child.
    BuildTree({{-1, 0, kS200, 3, false}, {0, 1, kS400, 3, false}});
    sim_->bus.rootContentionFirstAddedWins = false;
    nodes_[0]->phy().rootHoldoff = true;
    Start();
    ASSERT_EQ(start_, STATUS_SUCCESS);
    OhciController* controller = Controller();
    ASSERT_EQ(controller->IsRoot, 0);
    const uint8_t phy = sim_->controller->phy().phyId;
    hk::RunFor(1000 * kMs100ns);
    ExpectTableMatchesPathSpeeds();
    EXPECT_EQ(ForceRootPackets(phy), 0u);
    uint32_t generation = sim_->bus.Generation();
    // Two quiet seconds after the last self-ID the check finds another node root.
    hk::RunFor(1200 * kMs100ns);
    EXPECT_EQ(ForceRootPackets(phy), 1u);
    EXPECT_EQ(controller->IsRoot, 1);
    EXPECT_EQ(sim_->bus.Root(), sim_->controller);
    EXPECT_EQ(sim_->bus.Generation(), generation + 1);
    // A capable root is left alone: no further packet, no further reset.
    hk::RunFor(6000 * kMs100ns);
    EXPECT_EQ(ForceRootPackets(phy), 1u);
    EXPECT_EQ(sim_->bus.Generation(), generation + 1);
    EXPECT_EQ(controller->RootCheckPending, 0);
    ExpectTableMatchesPathSpeeds();
}

TEST_F(RepairTest, ResetsCloserThanTwoSecondsNeverReachTheRootCheck) {
    BuildTree({{-1, 0, kS400, 3, false}});
    sim_->bus.rootContentionFirstAddedWins = false;
    nodes_[0]->phy().rootHoldoff = true;
    Start();
    ASSERT_EQ(start_, STATUS_SUCCESS);
    for (int i = 0; i < 4; ++i) {
        hk::RunFor(1500 * kMs100ns);
        sim_->bus.RequestReset(false);
    }
    const uint8_t phy = sim_->controller->phy().phyId;
    hk::RunFor(1500 * kMs100ns);
    EXPECT_EQ(ForceRootPackets(phy), 0u);
    EXPECT_EQ(Controller()->IsRoot, 0);
    hk::RunFor(1000 * kMs100ns);
    EXPECT_EQ(ForceRootPackets(phy), 1u);
    EXPECT_EQ(Controller()->IsRoot, 1);
}

struct GapCase {
    const char* name;
    sim::OhciController::SelfIdFault fault;
    bool phy1995;
};

class GapRepairTest : public RepairTest, public ::testing::WithParamInterface<GapCase> {};

TEST_P(GapRepairTest, DisagreeingGapCountsAreRepairedWithOnePacketAndOneReset) {
    BuildTree({{-1, 0, kS400, 3, false}, {0, 1, kS200, 3, GetParam().phy1995}, {1, 1, kS400, 3, false}});
    // As a configuration packet of an earlier bus manager would have left them: they hold through
    // the driver's first reset.
    nodes_[1]->phy().SetGapCount(10);
    nodes_[2]->phy().SetGapCount(20);
    sim_->controller->selfIdFault = GetParam().fault;
    Start(50 * kMs100ns);
    ASSERT_EQ(start_, STATUS_SUCCESS);
    hk::RunFor(6000 * kMs100ns);
    OhciController* controller = Controller();
    EXPECT_EQ(controller->IsBusManager, 1);
    // Exactly one gap configuration (T = 1, gap count 63) and one reset after it.
    size_t gapPackets = 0;
    for (uint32_t q : nodes_[0]->configurations)
        if (q == 0x007F0000u) ++gapPackets;
    EXPECT_EQ(gapPackets, 1u);
    EXPECT_EQ(nodes_[0]->configurations.size(), 1u);
    for (int i = 0; i < sim_->bus.NodeCount(); ++i) EXPECT_EQ(sim_->bus.NodeByPhyId(i)->phy().gapCount, 63);
    EXPECT_EQ(controller->BusResetCount, 2u);
    EXPECT_EQ(controller->GapCountFixNeeded, 0);
    ExpectTableMatchesPathSpeeds();
}

INSTANTIATE_TEST_SUITE_P(Buses, GapRepairTest,
                         ::testing::Values(GapCase{"plain", sim::OhciController::SelfIdFault::kNone, false},
                                           GapCase{"junkAfterTheSelfIds", sim::OhciController::SelfIdFault::kJunkAfter,
                                                   false},
                                           GapCase{"phy1995", sim::OhciController::SelfIdFault::kNone, true}),
                         [](const ::testing::TestParamInfo<GapCase>& info) { return std::string(info.param.name); });

struct TamperCase {
    const char* name;
    void (*tamper)(std::vector<uint32_t>& selfIds);
};

class RefusedSelfIdTest : public RepairTest, public ::testing::WithParamInterface<TamperCase> {};

TEST_P(RefusedSelfIdTest, RefusedSetCostsOneLongResetAndLeavesTheTopologyWhole) {
    BuildTree({{-1, 0, kS400, 3, false}, {0, 1, kS400, 3, false}});
    Start();
    ASSERT_EQ(start_, STATUS_SUCCESS);
    OhciController* controller = Controller();
    ULONG mapGeneration = controller->TopologyMap[1];
    uint32_t generation = sim_->bus.Generation();
    auto once = std::make_shared<bool>(true);
    auto tamper = GetParam().tamper;
    sim_->bus.tamperSelfIds = [once, tamper](std::vector<uint32_t>& selfIds) {
        if (!*once) return;
        *once = false;
        tamper(selfIds);
    };
    sim_->bus.RequestReset(false);
    hk::RunFor(300 * kMs100ns);
    EXPECT_EQ(sim_->bus.Generation(), generation + 2);
    EXPECT_EQ(controller->TopologyMap[1], mapGeneration + 1);
    EXPECT_EQ(controller->SelfIdPacketCount, ULONG(sim_->bus.SelfIds().size()));
    ExpectTableMatchesPathSpeeds();
}

INSTANTIATE_TEST_SUITE_P(
    Sets, RefusedSelfIdTest,
    ::testing::Values(
        // The root's packet says another of its packets follows; none does.
        TamperCase{"lastPacketAnnouncesAnother", [](std::vector<uint32_t>& s) { s.back() |= 1u; }},
        // The middle node reports no child: the root's two children cannot both be there.
        TamperCase{"childPortsDoNotFitTheTree",
                   [](std::vector<uint32_t>& s) {
                       for (int k = 0; k < 3; ++k) {
                           uint32_t shift = 6 - 2 * k;
                           if (((s[1] >> shift) & 3) == 3) s[1] = (s[1] & ~(3u << shift)) | (1u << shift);
                       }
                   }}),
    [](const ::testing::TestParamInfo<TamperCase>& info) { return std::string(info.param.name); });

struct ReadCase {
    const char* name;
    int busyAcks;
    int lostResponses;
    ReadResult result;
};

class NodeQuadletTest : public RepairTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(NodeQuadletTest, BusyNodesAreAskedUpToFiveTimes) {
    BuildTree({{-1, 0, kS400, 3, false}});
    Start();
    ASSERT_EQ(start_, STATUS_SUCCESS);
    // The link retries a busy ack twice itself: each attempt of the driver's meets three.
    nodes_[0]->faults.busyAcks = GetParam().busyAcks * 3;
    nodes_[0]->faults.lostResponses = GetParam().lostResponses;
    ULONG node = nodes_[0]->phy().phyId;
    ULONG quadlet = 0;
    ReadResult result = kReadFailed;
    OhciController* controller = Controller();
    RunKernel([&] { result = ReadNodeQuadlet(controller, node, 0xFFFFF0000404ull, &quadlet, true); });
    EXPECT_EQ(result, GetParam().result);
    if (result == kReadDone) {
        EXPECT_EQ(quadlet, 0x31333934u);  // "1394"
    }
}

INSTANTIATE_TEST_SUITE_P(Acks, NodeQuadletTest,
                         ::testing::Values(ReadCase{"answered", 0, 0, kReadDone},
                                           ReadCase{"busyThreeTimes", 3, 0, kReadDone},
                                           ReadCase{"busyFiveTimes", 5, 0, kReadBusy},
                                           ReadCase{"responseLost", 0, 1, kReadFailed}),
                         [](const ::testing::TestParamInfo<ReadCase>& info) { return std::string(info.param.name); });

TEST_F(RepairTest, QuadletReadsInBusOrderAndABusResetDuringARead) {
    BuildTree({{-1, 0, kS400, 3, false}});
    Start();
    ASSERT_EQ(start_, STATUS_SUCCESS);
    OhciController* controller = Controller();
    ULONG node = nodes_[0]->phy().phyId;
    ULONG block[5] = {};
    bool whole = false;
    RunKernel([&] { whole = ReadNodeQuadlets(controller, node, 0xFFFFF0000400ull, block, 5); });
    EXPECT_TRUE(whole);
    for (ULONG i = 0; i < 5; ++i) EXPECT_EQ(BusToHost32(block[i]), nodes_[0]->rom().Quadlet(i)) << i;
    // A response that never comes while the bus resets: the read reports the reset.
    nodes_[0]->faults.lostResponses = 1;
    ReadResult result = kReadDone;
    ULONG quadlet = 0;
    sim_->host.Schedule(sim_->host.Now() + 20 * sim::kTicksPerMillisecond, [this] { sim_->bus.RequestReset(false); });
    RunKernel([&] { result = ReadNodeQuadlet(controller, node, 0xFFFFF0000404ull, &quadlet, true); });
    EXPECT_EQ(result, kReadBusReset);
}

// Kernel reads wait for responses that race with their own waits: under several seeds of the
// scheduler every quadlet arrives.
class SeededReadTest : public RepairTest, public ::testing::WithParamInterface<ULONG> {
protected:
    static hk::Options Seeded(ULONG seed) {
        hk::Options options;
        options.seed = seed;
        return options;
    }
    SeededReadTest() : RepairTest(Seeded(GetParam())) {}
};

TEST_P(SeededReadTest, RomQuadletsArriveWhole) {
    BuildTree({{-1, 0, kS400, 3, false}, {0, 1, kS200, 3, false}});
    Start();
    ASSERT_EQ(start_, STATUS_SUCCESS);
    OhciController* controller = Controller();
    for (WatchingNode* n : nodes_) {
        ULONG block[5] = {};
        bool whole = false;
        RunKernel([&] { whole = ReadNodeQuadlets(controller, n->phy().phyId, 0xFFFFF0000400ull, block, 5); });
        EXPECT_TRUE(whole);
        for (ULONG i = 0; i < 5; ++i) EXPECT_EQ(BusToHost32(block[i]), n->rom().Quadlet(i)) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, SeededReadTest, ::testing::Values(1u, 2u, 3u, 4u));

}  // namespace
