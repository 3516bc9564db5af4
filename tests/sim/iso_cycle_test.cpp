// The isochronous cycle: the cycle timer (IEEE 1394-1995 8.3.2.3.1, OHCI 1.1 5.13), cycle start
// packets from the root as cycle master (IEEE 1394-1995 8.4.2.6, OHCI 1.1 5.10), and the
// controller's cycle events cycleSynch, cycle64Seconds, cycleLost, cycleInconsistent and
// cycleTooLong (OHCI 1.1 6.1).
#include "bus_description.h"
#include "csr_node.h"
#include "iso_fixture.h"

namespace sim::iso_test {
namespace {

class IsoCycle : public IsoBench {};

uint32_t CycleTime(uint32_t seconds, uint32_t count, uint32_t offset) { return (seconds << 25) | (count << 12) | offset; }

// The timer counts offsets at 24.576 MHz (3072 per 125 us cycle), cycles 0..7999 per second and
// seconds 0..127, each carrying into the next.
TEST_F(IsoCycle, CycleTimerCarriesOffsetIntoCountIntoSeconds) {
    BringUp();
    struct Case {
        uint32_t start;
        Ticks run;
        uint32_t expected;
    } cases[] = {
        {CycleTime(5, 100, 0), 1250, CycleTime(5, 101, 0)},           // one cycle
        {CycleTime(5, 7999, 3000), 1250, CycleTime(6, 0, 3000)},      // count into seconds
        {CycleTime(127, 7999, 3071), 1, CycleTime(0, 0, 1)},          // 2.4576 offsets per tick; seconds wrap
        {CycleTime(2, 3, 4), kTicksPerSecond, CycleTime(3, 3, 4)},    // one second
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << c.start);
        W(kCycleTimer, c.start);
        EXPECT_EQ(R(kCycleTimer), c.start);
        host_.RunFor(c.run);
        EXPECT_EQ(R(kCycleTimer), c.expected);
    }
}

TEST_F(IsoCycle, CycleSynchEveryCycleAndCycle64SecondsWhenSecondsBit6Flips) {
    BringUp();
    W(kCycleTimer, CycleTime(63, 7999, 3000));
    W(kIntEventClear, 0xFFFFFFFF);
    EXPECT_EQ(R(kIntEventSet) & (kCycleSynch | kCycle64Seconds), 0u);
    RunCycles(1);
    EXPECT_EQ(R(kIntEventSet) & (kCycleSynch | kCycle64Seconds), kCycleSynch | kCycle64Seconds);
    W(kIntEventClear, 0xFFFFFFFF);
    RunCycles(1);
    EXPECT_EQ(R(kIntEventSet) & (kCycleSynch | kCycle64Seconds), kCycleSynch);
    // The line rises at the cycle boundary when software enables the event.
    W(kIntEventClear, 0xFFFFFFFF);
    W(kIntMaskSet, kMasterIntEnable | kCycleSynch);
    EXPECT_FALSE(host_.InterruptLine());
    RunCycles(1);
    EXPECT_TRUE(host_.InterruptLine());
}

// Cycle starts go out at the cycle master's cycle boundaries and carry its CYCLE_TIME: every link
// sees one per cycle, in consecutive cycles, and talkers send after it.
TEST_F(IsoCycle, ControllerAsCycleMasterStartsEveryCycleWhileALinkWantsThem) {
    auto* talker = Plug<Talker>("talker", 5, 8);
    auto* listener = Plug<IsoListener>();
    BringUp();
    ASSERT_EQ(bus_.Root(), ohci_);
    ASSERT_EQ(bus_.CycleMaster(listener), ohci_);
    listener->Clear();
    talker->sentAt.clear();
    RunCycles(20);
    ASSERT_GE(listener->heard().size(), 19u);
    ASSERT_LE(listener->heard().size(), 20u);
    for (size_t i = 0; i < listener->heard().size(); ++i) {
        const uint32_t t = listener->heard()[i].cycleTime;
        EXPECT_LT(Offset(t), 8u) << "a cycle start goes out at the boundary";
        EXPECT_EQ(t & 0xFFFFF000, talker->sentAt[i] & 0xFFFFF000);
        if (i > 0) {
            EXPECT_EQ(t & 0xFFFFF000, NextCycle(listener->heard()[i - 1].cycleTime));
        }
    }
    // The controller's own timer is the one the cycle starts carried.
    EXPECT_LE(Count(R(kCycleTimer)) - Count(listener->heard().back().cycleTime), 1u);
}

// Cycles nobody wants are skipped (no clock event), which no link can tell: the timer and its
// events are where they would be.
TEST_F(IsoCycle, IdleCyclesAreSkippedAndTheTimerStillRuns) {
    auto* talker = Plug<Talker>("talker", 5, 8);
    talker->on = false;
    BringUp();
    const uint64_t before = bus_.CyclesRun();
    const uint32_t start = R(kCycleTimer);
    host_.RunFor(kTicksPerSecond);
    EXPECT_EQ(bus_.CyclesRun(), before);
    EXPECT_LE(host_.PendingEvents(), 2u);
    EXPECT_EQ(Seconds(R(kCycleTimer)), Seconds(start) + 1);
    EXPECT_EQ(R(kIntEventSet) & (kCycleSynch | kCycleLost), kCycleSynch);
    talker->on = true;
    bus_.CycleDemandChanged();
    RunCycles(10);
    EXPECT_GE(bus_.CyclesRun() - before, 9u);
    EXPECT_GE(talker->sent, 9u);
}

// No cycle master: no cycle starts, talkers stay silent, and a controller whose timer runs sees
// cycleLost (two cycleSynch with no cycle start between them).
TEST_F(IsoCycle, WithoutACycleMasterNoCycleRunsAndCycleLostIsRaised) {
    auto* talker = Plug<Talker>("talker", 5, 8);
    BringUp(/*cycleMaster=*/false);
    EXPECT_EQ(bus_.CycleMaster(talker), nullptr);
    RunCycles(1);
    W(kIntEventClear, 0xFFFFFFFF);
    RunCycles(3);
    EXPECT_EQ(talker->sent, 0u);
    EXPECT_EQ(bus_.CyclesRun(), 0u);
    EXPECT_NE(R(kIntEventSet) & kCycleLost, 0u);
    // Setting cycleMaster (the controller is root) starts the cycles; cycleLost stops coming.
    W(kLinkControlSet, kCycleMaster);
    RunCycles(1);
    W(kIntEventClear, 0xFFFFFFFF);
    RunCycles(5);
    EXPECT_EQ(R(kIntEventSet) & kCycleLost, 0u);
    EXPECT_GE(talker->sent, 4u);
}

// A plain node as root with STATE.cmstr is the cycle master; the controller, not root, takes its
// cycle timer from the cycle starts (cycleInconsistent when they disagreed) and does not send
// cycle starts itself although its cycleMaster bit is set.
TEST_F(IsoCycle, APlainRootNodeIsCycleMasterAndTheControllerFollowsItsTimer) {
    BusOptions options;
    options.cmc = true;
    const ConfigRom rom = ConfigRom::Build(options, 0x0000AA0000000001ull, RomDirectory());
    auto* master = Plug<CsrNode>("cm", 2, kS400, rom);
    master->phy().rootHoldoff = true;  // becomes root at the next reset
    auto* talker = Plug<Talker>("talker", 5, 8);
    auto* listener = Plug<IsoListener>();
    BringUp();
    master->SetCycleMaster(true);
    ResetBus();
    ASSERT_EQ(bus_.Root(), master);
    ASSERT_TRUE(master->CycleMasterEnabled()) << "cmstr survives a reset that leaves the node root";
    EXPECT_EQ(bus_.CycleMaster(ohci_), master);
    RunCycles(5);
    ASSERT_FALSE(listener->heard().empty());
    EXPECT_EQ(listener->heard().back().cycleTime & 0xFFFFF000, talker->sentAt.back() & 0xFFFFF000);
    EXPECT_EQ(R(kCycleTimer) & 0xFFFFF000, master->CycleTime() & 0xFFFFF000);
    // The master stops (cmstr cleared): cycles stop, the controller sees cycleLost.
    master->SetCycleMaster(false);
    W(kIntEventClear, 0xFFFFFFFF);
    const uint32_t sent = talker->sent;
    RunCycles(4);
    EXPECT_EQ(talker->sent, sent);
    EXPECT_NE(R(kIntEventSet) & kCycleLost, 0u);
    // Its timer runs on alone; when the master starts again its first cycle start disagrees.
    W(kCycleTimer, CycleTime(9, 9, 9));
    W(kIntEventClear, 0xFFFFFFFF);
    master->SetCycleMaster(true);
    RunCycles(2);
    EXPECT_NE(R(kIntEventSet) & kCycleInconsistent, 0u);
    EXPECT_EQ(R(kCycleTimer) & 0xFFFFF000, master->CycleTime() & 0xFFFFF000);
    EXPECT_GT(talker->sent, sent);
}

// cyclemaster=1 in a bus description: that node is root and cycle master after the reset.
TEST_F(IsoCycle, ABusDescriptionNamesANodeCycleMaster) {
    BusDescription description;
    std::string error;
    ASSERT_TRUE(ParseBusDescription("node a plain\nnode cm camera cyclemaster=1\nnode b plain\n"
                                    "connect a.0 cm.0\nconnect cm.1 b.0\n",
                                    &description, &error))
        << error;
    std::map<std::string, Node*> nodes;
    ASSERT_TRUE(BuildBus(description, bus_, nullptr, &nodes, &error)) << error;
    host_.RunFor(kTicksPerMillisecond);
    EXPECT_EQ(bus_.Root(nodes["a"]), nodes["cm"]);
    EXPECT_EQ(bus_.CycleMaster(nodes["a"]), nodes["cm"]);
    EXPECT_TRUE(static_cast<CsrNode*>(nodes["cm"])->rom().Options().cmc);
    EXPECT_FALSE(ParseBusDescription("node c controller cyclemaster=1\n", &description, &error));
    EXPECT_FALSE(ParseBusDescription("node c plain cyclemaster=2\n", &description, &error));
}

// Talkers whose packets need more than a cycle (S100: 16 units a quadlet, 6144 units a cycle):
// the cycle master's cycle runs too long; the controller raises cycleTooLong, clears cycleMaster,
// and the cycles stop.
TEST_F(IsoCycle, TrafficPastTheEndOfTheCycleIsCycleTooLong) {
    auto* a = Plug<Talker>("a", 1, 1024, kS100);
    auto* b = Plug<Talker>("b", 2, 1024, kS100);
    a->on = b->on = false;
    BringUp();
    a->on = b->on = true;
    bus_.CycleDemandChanged();
    RunCycles(3);
    EXPECT_NE(R(kIntEventSet) & kCycleTooLong, 0u);
    EXPECT_EQ(R(kLinkControlSet) & kCycleMaster, 0u);
    EXPECT_EQ(bus_.CycleMaster(a), nullptr);
    EXPECT_EQ(a->sent, 1u);
    EXPECT_EQ(b->sent, 1u);
    RunCycles(3);
    EXPECT_NE(R(kIntEventSet) & kCycleLost, 0u);
    EXPECT_EQ(a->sent, 1u);
}

TEST_F(IsoCycle, ABusResetStopsTheCyclesUntilItCompletes) {
    auto* talker = Plug<Talker>("talker", 5, 8);
    BringUp();
    RunCycles(4);
    bus_.RequestReset(false);
    const uint32_t sent = talker->sent;
    host_.RunFor(bus_.longResetTime - 1);
    EXPECT_EQ(talker->sent, sent);
    RunCycles(4);
    EXPECT_GT(talker->sent, sent);
}

}  // namespace
}  // namespace sim::iso_test
