// IT contexts (OHCI 1.1 chapter 9) heard by listening nodes: OUTPUT_MORE-Immediate with
// OUTPUT_MORE/OUTPUT_LAST, OUTPUT_LAST-Immediate, empty cycles, skip addresses, cycle match,
// underrun, running dry, status write-back and interrupts.
#include "iso_fixture.h"
#include "iso_registers.h"

namespace sim::iso_test {
namespace {

class IsoTransmit : public IsoBench {
protected:
    void SetUp() override {
        IsoBench::SetUp();
        listener_ = Plug<IsoListener>();
        slow_ = Plug<IsoListener>("slow", 3, kS200);
        BringUp();
        listener_->Clear();
    }

    // The IT immediate header (OHCI 1.1 9.6): q0 spd 18:16, tag 15:14, chanNum 13:8, tcode 7:4,
    // sy 3:0; q1 dataLength 31:16.
    static uint32_t ItQ0(uint32_t spd, uint32_t tag, uint32_t channel, uint32_t sy, uint32_t tcode = 0xA) {
        return (spd << 16) | (tag << 14) | (channel << 8) | (tcode << 4) | sy;
    }
    // OUTPUT_MORE-Immediate + OUTPUT_MORE (4 bytes) + OUTPUT_LAST (rest): Z = 4, 64 bytes. The
    // payload is bytes 0..length-1 of a fresh buffer filled with `fill + i`.
    uint32_t PacketBlock(uint32_t at, uint32_t q0, uint16_t length, uint8_t fill, uint32_t branch, uint32_t skip = 0) {
        const uint32_t data = host_.Map(length + 4u);
        for (uint32_t i = 0; i < length; ++i) {
            const uint8_t b = uint8_t(fill + i);
            host_.Write(data + i, &b, 1);
        }
        PutDescriptor(at, Q0(kOutputMore, 0, 2, 0, 0, 0, 8), 0, skip, 0);
        PutDescriptor(at + 16, q0, uint32_t(length) << 16, 0, 0);
        PutDescriptor(at + 32, Q0(kOutputMore, 0, 0, 0, 0, 0, 4), data, 0, 0);
        PutDescriptor(at + 48, Q0(kOutputLast, 1, 0, 3, 3, 0, uint16_t(length - 4)), data + 4, branch, 0);
        return at | 4;
    }
    std::vector<uint8_t> Bytes(uint8_t fill, uint16_t length) {
        std::vector<uint8_t> v(length);
        for (uint16_t i = 0; i < length; ++i) v[i] = uint8_t(fill + i);
        return v;
    }
    void StartIt(int n, uint32_t commandPtr, uint32_t mode = 0) {
        W(It(n) + kCommandPtr, commandPtr);
        W(It(n) + kControlClear, 0xFFFFFFFF);
        W(It(n) + kControlSet, kRun | mode);
    }
    uint32_t Control(int n) { return R(It(n) + kControlSet); }

    IsoListener* listener_ = nullptr;
    IsoListener* slow_ = nullptr;
};

TEST_F(IsoTransmit, OneBlockPerCycleReachesEveryListenerWithStatusAndTimeStamp) {
    const uint32_t blocks = host_.Map(3 * 64);
    const uint32_t b1 = blocks + 64, b2 = blocks + 128;
    PacketBlock(blocks, ItQ0(2, 1, 9, 3), 12, 0x10, b1 | 4);
    PacketBlock(b1, ItQ0(2, 1, 9, 0), 12, 0x20, b2 | 4);
    PacketBlock(b2, ItQ0(1, 2, 10, 0), 8, 0x30, 0);  // S200, channel 10, tag 2
    W(kIsoXmitIntMaskSet, 1);
    StartIt(0, blocks | 4);
    RunCycles(5);
    ASSERT_EQ(listener_->heard().size(), 3u);
    const uint8_t expected[3][4] = {{9, 1, 3, 0x10}, {9, 1, 0, 0x20}, {10, 2, 0, 0x30}};
    for (size_t k = 0; k < 3; ++k) {
        SCOPED_TRACE(k);
        const auto& h = listener_->heard()[k];
        EXPECT_EQ(h.packet.channel, expected[k][0]);
        EXPECT_EQ(h.packet.tag, expected[k][1]);
        EXPECT_EQ(h.packet.sy, expected[k][2]);
        EXPECT_EQ(h.packet.data, Bytes(expected[k][3], k == 2 ? 8 : 12));
        if (k > 0) {
            EXPECT_EQ(h.cycleTime & 0xFFFFF000, NextCycle(listener_->heard()[k - 1].cycleTime)) << "one per cycle";
        }
        // OUTPUT_LAST status: xferStatus (run, active, ack_complete) and the cycle sent in.
        const uint32_t last = blocks + 64 * uint32_t(k) + 48;
        EXPECT_EQ(Get32(last + 12), ((kRun | kActive | kAckComplete) << 16) | Stamp(h.cycleTime));
    }
    EXPECT_EQ(listener_->heard()[0].packet.speed, kS400);
    // The S200 listener hears only the S200 packet (its path carries no more).
    ASSERT_EQ(slow_->heard().size(), 1u);
    EXPECT_EQ(slow_->heard()[0].packet.channel, 10);
    // Ran dry: running, not active; every block asked for an interrupt.
    EXPECT_EQ(Control(0) & (kRun | kActive), kRun);
    EXPECT_EQ(R(kIsoXmitIntEventSet), 1u);
    EXPECT_NE(R(kIntEventSet) & kIsochTx, 0u);
}

// OUTPUT_LAST-Immediate: a packet without payload. A lone OUTPUT_LAST with reqCount 0: a cycle
// in which nothing is sent.
TEST_F(IsoTransmit, HeaderOnlyPacketsAndEmptyCycles) {
    const uint32_t at = host_.Map(96);
    PutDescriptor(at, Q0(kOutputLast, 1, 2, 0, 3, 0, 8), 0, (at + 32) | 1, 0);
    PutDescriptor(at + 16, ItQ0(2, 0, 4, 7), 0, 0, 0);
    PutDescriptor(at + 32, Q0(kOutputLast, 1, 0, 0, 3, 0, 0), 0, (at + 48) | 2, 0);  // empty cycle
    PutDescriptor(at + 48, Q0(kOutputLast, 1, 2, 0, 3, 0, 8), 0, 0, 0);
    PutDescriptor(at + 64, ItQ0(2, 0, 4, 8), 0, 0, 0);
    StartIt(1, at | 2);
    RunCycles(5);
    ASSERT_EQ(listener_->heard().size(), 2u);
    EXPECT_TRUE(listener_->heard()[0].packet.data.empty());
    EXPECT_EQ(listener_->heard()[0].packet.sy, 7);
    EXPECT_EQ(listener_->heard()[1].packet.sy, 8);
    const uint32_t first = listener_->heard()[0].cycleTime, second = listener_->heard()[1].cycleTime;
    EXPECT_EQ(second & 0xFFFFF000, NextCycle(NextCycle(first))) << "nothing in the cycle between";
    EXPECT_EQ(Get32(at + 32 + 12) & 0xFFFF, Stamp(NextCycle(first)));
}

TEST_F(IsoTransmit, CycleMatchHoldsTheFirstPacketUntilTheNamedCycle) {
    const uint32_t at = host_.Map(64);
    PacketBlock(at, ItQ0(2, 0, 1, 0), 8, 1, 0);
    uint32_t target = R(kCycleTimer);
    for (int i = 0; i < 4; ++i) target = NextCycle(target);
    StartIt(0, at | 4, kItCycleMatch | (((target >> 12) & 0x7FFF) << 16));
    RunCycles(2);
    EXPECT_TRUE(listener_->heard().empty());
    EXPECT_NE(Control(0) & kItCycleMatch, 0u);
    RunCycles(4);
    ASSERT_EQ(listener_->heard().size(), 1u);
    EXPECT_EQ(listener_->heard()[0].cycleTime & 0xFFFFF000, target);
    EXPECT_EQ(Control(0) & kItCycleMatch, 0u);
}

TEST_F(IsoTransmit, AProgramThatRanDryGoesOnAfterAppendAndWake) {
    const uint32_t a = host_.Map(64), b = host_.Map(64);
    PacketBlock(a, ItQ0(2, 0, 1, 0), 8, 1, 0);
    StartIt(0, a | 4);
    RunCycles(3);
    EXPECT_EQ(listener_->heard().size(), 1u);
    EXPECT_EQ(Control(0) & (kRun | kActive), kRun);
    PacketBlock(b, ItQ0(2, 0, 1, 0), 8, 2, 0);
    Put32(a + 48 + 8, b | 4);
    W(It(0) + kControlSet, kWake);
    RunCycles(2);
    ASSERT_EQ(listener_->heard().size(), 2u);
    EXPECT_EQ(listener_->heard()[1].packet.data, Bytes(2, 8));
}

// Cycles lost (here a bus reset): the block due is not sent; the context goes on at its skip
// address (or, with the option cleared, sends the block in hand).
class IsoTransmitSkip : public IsoTransmit, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        config_.itSkipOnLostCycle = GetParam();
        IsoTransmit::SetUp();
    }
};

TEST_P(IsoTransmitSkip, LostCyclesTakeTheSkipAddress) {
    const uint32_t at = host_.Map(5 * 64);
    const uint32_t skipTo = at + 4 * 64;
    for (uint32_t k = 0; k < 4; ++k)
        PacketBlock(at + 64 * k, ItQ0(2, 0, 1, 0), 8, uint8_t(k), k < 3 ? (at + 64 * (k + 1)) | 4 : 0, skipTo | 4);
    PacketBlock(skipTo, ItQ0(2, 0, 2, 0), 8, 0x77, 0);
    StartIt(0, at | 4);
    RunCycles(1);
    ASSERT_EQ(listener_->heard().size(), 1u);
    bus_.RequestReset(false);
    host_.RunFor(kTicksPerMillisecond);
    if (GetParam()) {
        ASSERT_EQ(listener_->heard().size(), 2u);
        EXPECT_EQ(listener_->heard()[1].packet.channel, 2) << "the skip block, not block 1";
    } else {
        ASSERT_EQ(listener_->heard().size(), 4u);
        EXPECT_EQ(listener_->heard()[1].packet.data, Bytes(1, 8)) << "block 1, late";
    }
}

INSTANTIATE_TEST_SUITE_P(SkipOnLostCycle, IsoTransmitSkip, ::testing::Bool());

TEST_F(IsoTransmit, UnderrunCompletesTheBlockWithEvtUnderrunAndSendsNothing) {
    const uint32_t a = host_.Map(128);
    PacketBlock(a, ItQ0(2, 0, 1, 0), 8, 1, (a + 64) | 4);
    PacketBlock(a + 64, ItQ0(2, 0, 1, 0), 8, 2, 0);
    ohci_->iso().it(0).InjectUnderrun();
    StartIt(0, a | 4);
    RunCycles(3);
    EXPECT_EQ(Get32(a + 48 + 12) >> 16, kRun | kActive | kEvtUnderrun);
    ASSERT_EQ(listener_->heard().size(), 1u);
    EXPECT_EQ(listener_->heard()[0].packet.data, Bytes(2, 8));
}

TEST_F(IsoTransmit, BadHeadersAndUnmappedMemory) {
    // A tcode other than 0xA: evt_tcode_err, nothing sent, the context goes on.
    const uint32_t a = host_.Map(64);
    PacketBlock(a, ItQ0(2, 0, 1, 0, 0x1), 8, 1, 0);
    StartIt(0, a | 4);
    RunCycles(2);
    EXPECT_TRUE(listener_->heard().empty());
    EXPECT_EQ(Get32(a + 48 + 12) >> 16, kRun | kActive | kEvtTcodeErr);
    // Payload in unmapped memory: the context dies with evt_data_read.
    const uint32_t b = host_.Map(64);
    PacketBlock(b, ItQ0(2, 0, 1, 0), 8, 1, 0);
    Put32(b + 32 + 4, 0x7FFF0000);
    StartIt(1, b | 4);
    RunCycles(2);
    EXPECT_EQ(Control(1) & (kDead | kActive | 0x1F), kDead | kEvtDataRead);
    EXPECT_NE(R(kIntEventSet) & kUnrecoverableError, 0u);
    // A program in unmapped memory: evt_descriptor_read.
    StartIt(2, 0x7FFF0000 | 4);
    RunCycles(2);
    EXPECT_EQ(Control(2) & (kDead | 0x1F), kDead | kEvtDescriptorRead);
}

}  // namespace
}  // namespace sim::iso_test
