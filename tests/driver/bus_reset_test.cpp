// Bus resets on the hardware model: storms that end in one consistent topology (under several
// scheduler seeds), resets that collapse into one thread pass, malformed self-IDs from the model's
// fault switches, and stop, removal and surprise removal in the middle of a storm.
#include <memory>
#include <vector>

#include "ohci/bus_order.h"
#include "self_id_builder.h"
#include "sim_fixture.h"

namespace {

hk::Options Seeded(ULONG seed) {
    hk::Options options;
    options.seed = seed;
    return options;
}

// Checks that the driver's view is the model's last self-identification.
void ExpectConsistent(OhciController* controller, sim::Bus& bus, sim::Node* local) {
    EXPECT_EQ(controller->BusResetActive, 0);
    EXPECT_EQ(controller->NodeCount, ULONG(bus.NodeCount()));
    EXPECT_EQ(controller->LocalNodeNumber, local->phy().phyId);
    const std::vector<uint32_t>& selfIds = bus.SelfIds();
    ASSERT_EQ(controller->SelfIdPacketCount, ULONG(selfIds.size()));
    for (size_t i = 0; i < selfIds.size(); ++i) EXPECT_EQ(BusToHost32(controller->TopologyMapImage[3 + i]), selfIds[i]);
    EXPECT_EQ(KeReadStateEvent(&controller->AsyncGate), 1);
    EXPECT_EQ(KeReadStateEvent(&controller->EnumerationDone), 1);
    EXPECT_EQ(controller->BusEventCount, 0);
}

// Schedules `count` long resets, alternating gaps shorter than the reset time (the next reset
// arrives between busReset and selfIDComplete) and longer ones; returns the storm's length.
sim::Ticks ScheduleStorm(hk::SimulatedController* sim, int count) {
    sim::Ticks at = sim->host.Now();
    for (int i = 0; i < count; ++i) {
        at += (i % 3 == 0) ? 150 * sim::kTicksPerMicrosecond : 4 * sim::kTicksPerMillisecond;
        sim->host.Schedule(at, [sim] { sim->bus.RequestReset(false); });
    }
    return at - sim->host.Now();
}

class StormTest : public SimBusTest, public ::testing::WithParamInterface<ULONG> {
protected:
    StormTest() : SimBusTest(Seeded(GetParam())) {}
};

TEST_P(StormTest, TwoHundredResetsInASecondEndInOneConsistentTopology) {
    BuildBus(4);
    Start();
    ASSERT_EQ(start_, STATUS_SUCCESS);
    ULONG before = Controller()->BusResetCount;
    sim::Ticks length = ScheduleStorm(sim_.get(), 200);
    ASSERT_LT(length, 1000 * kMs100ns);
    hk::RunFor(length + 3000 * kMs100ns);
    OhciController* controller = Controller();
    EXPECT_GT(controller->BusResetCount, before + 100);
    EXPECT_LE(controller->BusResetCount, before + 200);
    EXPECT_EQ(controller->BusResetRecent, 0);
    ExpectConsistent(controller, sim_->bus, sim_->controller);
}

INSTANTIATE_TEST_SUITE_P(Seeds, StormTest, ::testing::Values(1u, 2u, 3u, 7u));

class ResetTest : public SimBusTest {
protected:
    ResetTest() : SimBusTest(Seeded(0)) {}
};

// A port of the local PHY with Int_enable: a connection change sets Port_event and the PHY's
// status transfer sets IntEvent.phy, an event the driver does not enable. It takes no interrupt
// for it, acknowledges it with the events it serves, and follows the connection's bus resets.
TEST_F(ResetTest, PortEventOfTheLocalPhyIsAcknowledgedAndIgnored) {
    constexpr ULONG kIntPhy = 1u << 19;   // IntEvent.phy (OHCI 1.1)
    BuildBus(3);
    sim::Node* first = sim_->bus.nodes()[1].get();
    sim_->controller->phy().portState()[0].intEnable = true;
    Start();
    ASSERT_EQ(start_, STATUS_SUCCESS);
    ASSERT_EQ(Controller()->NodeCount, 4u);
    const ULONG resets = Controller()->BusResetCount;
    sim_->bus.Disconnect(sim_->controller, 0);
    EXPECT_NE(ModelRegister(ohci::kIntEventSet) & kIntPhy, 0u);
    hk::RunFor(500 * kMs100ns);
    EXPECT_TRUE(sim_->controller->phy().PortEvent());
    EXPECT_EQ(ModelRegister(ohci::kIntEventSet) & kIntPhy, 0u) << "acknowledged with the bus reset's events";
    EXPECT_GT(Controller()->BusResetCount, resets);
    EXPECT_EQ(Controller()->NodeCount, 1u);
    ASSERT_TRUE(sim_->bus.Connect(sim_->controller, 0, first, 0));
    hk::RunFor(500 * kMs100ns);
    EXPECT_EQ(Controller()->NodeCount, 4u);
    ExpectConsistent(Controller(), sim_->bus, sim_->controller);
}

TEST_F(ResetTest, ThreeResetsInQuickSuccessionGiveOnePassWithTheLastTopology) {
    BuildBus(2);
    Start();
    ASSERT_EQ(start_, STATUS_SUCCESS);
    OhciController* controller = Controller();
    LONG passes = controller->BusPassCount;
    // The test thread keeps the processor (no preemption with seed 0) while the three resets,
    // their interrupts and deferred calls run; the last one adds a node.
    hk::SimulatedController* sim = sim_.get();
    sim::Ticks now = sim->host.Now();
    sim->host.Schedule(now + 1 * kMs100ns, [sim] { sim->bus.RequestReset(false); });
    sim->host.Schedule(now + 2 * kMs100ns, [sim] { sim->bus.RequestReset(false); });
    sim->host.Schedule(now + 3 * kMs100ns, [sim] {
        sim::Node* node = sim->bus.Add(std::make_unique<sim::CsrNode>("late", 3, sim::kS400, sim::ConfigRom()));
        sim->bus.Connect(sim->bus.NodeByPhyId(0) == sim->controller ? sim->bus.NodeByPhyId(1) : sim->controller, 2,
                         node, 0);
    });
    hk::ConsumeTime(10 * kMs100ns);
    hk::RunFor(100 * kMs100ns);
    EXPECT_EQ(controller->BusPassCount, passes + 1);
    EXPECT_EQ(controller->NodeCount, 4u);
    ExpectConsistent(controller, sim_->bus, sim_->controller);
}

struct FaultCase {
    const char* name;
    sim::OhciController::SelfIdFault fault;
    bool rejected;
};

class SelfIdFaultTest : public SimBusTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(SelfIdFaultTest, MalformedSelfIdIsRejectedWithOneLongResetAndNoGateStaysClosed) {
    BuildBus(2);
    Start();
    ASSERT_EQ(start_, STATUS_SUCCESS);
    OhciController* controller = Controller();
    ULONG resets = controller->BusResetCount;
    ULONG mapGeneration = controller->TopologyMap[1];
    uint32_t generation = sim_->bus.Generation();
    sim_->controller->selfIdFault = GetParam().fault;
    sim_->bus.RequestReset(false);
    hk::RunFor(300 * kMs100ns);
    // A rejected self-ID costs one long reset of the driver's, whose self-ID is good again. The
    // driver's reset starts while the first is still active, so it counts as part of it.
    EXPECT_EQ(sim_->bus.Generation(), generation + (GetParam().rejected ? 2 : 1));
    EXPECT_EQ(controller->BusResetCount, resets + 1);
    EXPECT_EQ(controller->TopologyMap[1], mapGeneration + 1);
    ExpectConsistent(controller, sim_->bus, sim_->controller);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SelfIdFaultTest,
    ::testing::Values(FaultCase{"badInverse", sim::OhciController::SelfIdFault::kBadInverse, true},
                      FaultCase{"wrongGeneration", sim::OhciController::SelfIdFault::kWrongGeneration, true},
                      FaultCase{"selfIdError", sim::OhciController::SelfIdFault::kSelfIdError, true},
                      FaultCase{"junkAfter", sim::OhciController::SelfIdFault::kJunkAfter, false}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

TEST_F(ResetTest, MoreThanSixtyThreeNodesAreRejected) {
    BuildBus(62);
    Start(500 * kMs100ns);
    ASSERT_EQ(start_, STATUS_SUCCESS);
    OhciController* controller = Controller();
    ASSERT_EQ(controller->NodeCount, 63u);
    ULONG resets = controller->BusResetCount;
    ULONG mapGeneration = controller->TopologyMap[1];
    uint32_t generation = sim_->bus.Generation();
    auto once = std::make_shared<bool>(true);
    // One reset reports a 64th node (PHY number 63) after the 63 real ones.
    sim_->bus.tamperSelfIds = [once](std::vector<uint32_t>& selfIds) {
        if (!*once) return;
        *once = false;
        selfIds.push_back(sidb::First(63, true, 63, 2, true, sidb::kChild, sidb::kNone, 0));
    };
    sim_->bus.RequestReset(false);
    hk::RunFor(500 * kMs100ns);
    EXPECT_EQ(sim_->bus.Generation(), generation + 2);
    EXPECT_EQ(controller->BusResetCount, resets + 1);
    EXPECT_EQ(controller->TopologyMap[1], mapGeneration + 1);
    EXPECT_EQ(controller->NodeCount, 63u);
    EXPECT_EQ(KeReadStateEvent(&controller->AsyncGate), 1);
}

enum class Ending { kStop, kRemove, kSurpriseRemoval };

class EndDuringStormTest : public SimBusTest, public ::testing::WithParamInterface<std::tuple<Ending, ULONG>> {
protected:
    EndDuringStormTest() : SimBusTest(Seeded(std::get<1>(GetParam()))) {}
};

TEST_P(EndDuringStormTest, EverythingIsReleased) {
    BuildBus(4);
    Start();
    ASSERT_EQ(start_, STATUS_SUCCESS);
    ScheduleStorm(sim_.get(), 200);
    hk::RunFor(37 * kMs100ns + 130 * std::get<1>(GetParam()) * 10);
    switch (std::get<0>(GetParam())) {
    case Ending::kStop:
        ASSERT_EQ(hk::pnp::Stop(pdo_), STATUS_SUCCESS);
        break;
    case Ending::kRemove:
        ASSERT_EQ(hk::pnp::Remove(pdo_), STATUS_SUCCESS);
        break;
    case Ending::kSurpriseRemoval:
        ASSERT_EQ(hk::pnp::SurpriseRemoval(pdo_), STATUS_SUCCESS);
        break;
    }
    hk::RunFor(1500 * kMs100ns);
    for (ULONG tag : {KX_TAG('Z', 's', 'p', 'N'), KX_TAG('Z', 's', 'p', 'M'), KX_TAG('Z', 'O', 'P', 'I'),
                      KX_TAG('Z', 'O', 'A', 'R'), KX_TAG('Z', 'O', 'A', 'T'), KX_TAG('Z', 'O', 'S', 'P')})
        EXPECT_EQ(hk::mm::TagCount(tag), 0u);
    EXPECT_TRUE(hk::mm::BusFaults().empty());
    // The unplug and the driver's unload (with its leak report) follow in TearDown.
}

INSTANTIATE_TEST_SUITE_P(Endings, EndDuringStormTest,
                         ::testing::Combine(::testing::Values(Ending::kStop, Ending::kRemove,
                                                              Ending::kSurpriseRemoval),
                                            ::testing::Values(1u, 4u, 9u)));

}  // namespace
