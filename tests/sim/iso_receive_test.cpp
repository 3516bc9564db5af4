// IR contexts (OHCI 1.1 chapter 10) fed by talkers on the bus: packet-per-buffer, buffer-fill and
// dual-buffer programs with and without isochronous headers, channel, tag and sync matching,
// cycle match, multi-channel mode, status write-back, interrupts, a program that runs dry and
// one that reaches unmapped memory.
#include "iso_fixture.h"

namespace sim::iso_test {
namespace {

constexpr uint8_t kChannel = 5;
constexpr uint16_t kPayload = 16;

class IsoReceive : public IsoBench {
protected:
    void SetUp() override {
        IsoBench::SetUp();
        talker_ = Plug<Talker>("camera", kChannel, talkerBytes_);
        talker_->on = false;
        talker_->perFrame = 4;
        BringUp();
    }
    // Starts the talker at the next cycle and runs `cycles` cycles.
    void Talk(int cycles) {
        talker_->on = true;
        bus_.CycleDemandChanged();
        RunCycles(cycles);
        talker_->on = false;
    }
    // A 32-byte DUALBUFFER descriptor (s = 1, b = 3, i as given, firstSize 8) whose counts start
    // equal to its request counts.
    void PutDual(uint32_t at, uint32_t i, uint32_t firstReq, uint32_t secondReq, uint32_t branch, uint32_t first,
                 uint32_t second) {
        Put32(at, (Q0(0, 1, 0, i, 3, 0, 0) & 0xFFFF0000) | 8);
        Put32(at + 4, (firstReq << 16) | secondReq);
        Put32(at + 8, branch);
        Put32(at + 12, (firstReq << 16) | secondReq);
        Put32(at + 20, first);
        Put32(at + 24, second);
    }
    // Starts IR context n with `mode` bits, matching `channel` with every tag.
    void StartIr(int n, uint32_t commandPtr, uint32_t mode, uint32_t match = 0xF0000000 | kChannel) {
        W(Ir(n) + kCommandPtr, commandPtr);
        W(Ir(n) + kContextMatch, match);
        W(Ir(n) + kControlClear, 0xFFFFFFFF);
        W(Ir(n) + kControlSet, kRun | mode);
    }
    uint32_t Control(int n) { return R(Ir(n) + kControlSet); }
    // The payload talker packet k carries.
    std::vector<uint8_t> Payload(uint32_t k, uint16_t size = kPayload) {
        std::vector<uint8_t> p(size, uint8_t(k));
        for (int i = 0; i < 4; ++i) p[size_t(i)] = uint8_t(k >> (24 - 8 * i));
        return p;
    }
    // Little-endian quadlet bytes.
    static void AppendLe(std::vector<uint8_t>& v, uint32_t q) {
        for (int i = 0; i < 4; ++i) v.push_back(uint8_t(q >> (8 * i)));
    }
    // xferStatus of a packet stored at S400 with ack_complete by a running, active context.
    static constexpr uint32_t kStoredStatus = kRun | kActive | (2u << 5) | kAckComplete;

    Talker* talker_ = nullptr;
    uint16_t talkerBytes_ = kPayload;
};

// --- Packet-per-buffer ------------------------------------------------------------------------

// Blocks of an INPUT_MORE (12 bytes) and an INPUT_LAST (64 bytes), s = 1 on both, i = 3 on the
// last, the last block branching with Z = 0.
struct PpbProgram {
    uint32_t descriptors = 0;
    std::vector<std::array<uint32_t, 2>> buffers;
    uint32_t Block(int i) const { return descriptors + 32u * uint32_t(i); }
};

class IsoReceivePpb : public IsoReceive, public ::testing::WithParamInterface<bool> {
protected:
    PpbProgram MakePpb(int blocks, uint16_t moreCount = 12, uint16_t lastCount = 64, uint32_t wait = 0) {
        PpbProgram p;
        p.descriptors = host_.Map(32u * uint32_t(blocks));
        for (int i = 0; i < blocks; ++i) {
            const std::array<uint32_t, 2> b = {host_.Map(moreCount), host_.Map(lastCount)};
            p.buffers.push_back(b);
            const uint32_t next = i + 1 < blocks ? p.Block(i + 1) | 2 : 0;
            PutDescriptor(p.Block(i), Q0(kInputMore, 1, 0, 0, 0, wait, moreCount), b[0], 0, 0);
            PutDescriptor(p.Block(i) + 16, Q0(kInputLast, 1, 0, 3, 3, 0, lastCount), b[1], next, 0);
        }
        return p;
    }
};

TEST_P(IsoReceivePpb, EachPacketFillsOneBlockWithStatusAndTimeStamp) {
    const bool header = GetParam();
    PpbProgram p = MakePpb(3);
    W(kIsoRecvIntMaskSet, 1);
    StartIr(0, p.Block(0) | 2, header ? kIrIsochHeader : 0);
    Talk(5);
    ASSERT_GE(talker_->sent, 4u);
    for (int k = 0; k < 3; ++k) {
        SCOPED_TRACE(k);
        // With isochHeader: xferStatus | timeStamp, the header quadlet, then the payload.
        std::vector<uint8_t> expected;
        if (header) {
            AppendLe(expected, (kStoredStatus << 16) | Stamp(talker_->sentAt[size_t(k)]));
            AppendLe(expected, IsoHeader(kPayload, 0, kChannel, k == 0 ? 1 : 0));
        }
        const auto payload = Payload(uint32_t(k));
        expected.insert(expected.end(), payload.begin(), payload.end());
        std::vector<uint8_t> stored = GetBytes(p.buffers[size_t(k)][0], 12);
        const auto rest = GetBytes(p.buffers[size_t(k)][1], uint32_t(expected.size() - 12));
        stored.insert(stored.end(), rest.begin(), rest.end());
        EXPECT_EQ(stored, expected);
        // Both descriptors: xferStatus and resCount (the INPUT_MORE's buffer is full).
        EXPECT_EQ(Get32(p.Block(k) + 12), kStoredStatus << 16);
        EXPECT_EQ(Get32(p.Block(k) + 16 + 12), (kStoredStatus << 16) | uint32_t(64 - (expected.size() - 12)));
    }
    // The program ran dry after three blocks: running, not active; the fourth packet is lost.
    EXPECT_EQ(Control(0) & (kRun | kActive | kDead), kRun);
    EXPECT_EQ(R(kIsoRecvIntEventSet), 1u);
    EXPECT_NE(R(kIntEventSet) & kIsochRx, 0u) << "isochRx: IsoRecvIntEvent & IsoRecvIntMask";
}

INSTANTIATE_TEST_SUITE_P(IsochHeader, IsoReceivePpb, ::testing::Bool());

TEST_F(IsoReceivePpb, APacketLongerThanItsBlockIsCutWithEvtLongPacket) {
    PpbProgram p = MakePpb(1, 4, 8);
    StartIr(0, p.Block(0) | 2, kIrIsochHeader);
    Talk(1);
    EXPECT_EQ(Get32(p.Block(0) + 16 + 12) >> 16, kRun | kActive | (2u << 5) | kEvtLongPacket);
    EXPECT_EQ(Get32(p.Block(0) + 16 + 12) & 0xFFFF, 0u);
    EXPECT_EQ(Get32(p.buffers[0][1]), IsoHeader(kPayload, 0, kChannel, 1));  // after the status quadlet
}

// A talker whose payloads end inside a quadlet (6 bytes).
class IsoReceiveOddLength : public IsoReceive {
protected:
    IsoReceiveOddLength() { talkerBytes_ = 6; }
};

// With noByteSwapData each data quadlet is stored as the little-endian value of its four bytes on
// the bus; a payload that ends inside a quadlet fills that quadlet, its pad bytes included.
TEST_F(IsoReceiveOddLength, NoByteSwapDataStoresWholeQuadlets) {
    W(kHCControlSet, kNoByteSwapData);
    const uint32_t blocks = host_.Map(32), first = host_.Map(16), second = host_.Map(16);
    PutDescriptor(blocks, Q0(kInputLast, 1, 0, 0, 3, 0, 16), first, (blocks + 16) | 1, 0);
    PutDescriptor(blocks + 16, Q0(kInputLast, 1, 0, 0, 3, 0, 16), second, 0, 0);
    StartIr(0, blocks | 1, 0);
    Talk(2);
    ASSERT_GE(talker_->sent, 2u);
    // Packet 1 carries 00 00 00 01 01 01 (and two pad bytes on the bus).
    EXPECT_EQ(GetBytes(second, 8), std::vector<uint8_t>({0x01, 0, 0, 0, 0, 0, 0x01, 0x01}));
    EXPECT_EQ(Get32(blocks + 16 + 12) & 0xFFFF, 8u);
}

TEST_F(IsoReceivePpb, AProgramThatRanDryGoesOnAfterAppendAndWake) {
    PpbProgram p = MakePpb(1);
    StartIr(0, p.Block(0) | 2, 0);
    Talk(3);  // packets 0, 1, 2: only 0 is stored
    EXPECT_EQ(Control(0) & (kRun | kActive), kRun);
    PpbProgram more = MakePpb(1);
    Put32(p.Block(0) + 16 + 8, more.Block(0) | 2);
    W(Ir(0) + kControlSet, kWake);
    EXPECT_EQ(Control(0) & (kRun | kActive | kWake), kRun | kActive);
    Talk(1);
    EXPECT_EQ(GetBytes(more.buffers[0][0], 4), std::vector<uint8_t>({0, 0, 0, 3}));
}

// w = 3 on the first descriptor: packets are dropped until one carries sy = ContextMatch.sync.
TEST_F(IsoReceivePpb, WaitOnSyncDropsPacketsUntilTheFrameStarts) {
    Talk(2);  // packets 0 (sy 1) and 1 go by
    PpbProgram p = MakePpb(2, 12, 64, /*wait=*/3);
    StartIr(0, p.Block(0) | 2, 0, 0xF0000000 | (1u << 8) | kChannel);
    Talk(6);  // packets 2..7: 4 has sy 1
    EXPECT_EQ(GetBytes(p.buffers[0][0], 4), std::vector<uint8_t>({0, 0, 0, 4}));
    // The second block waits again for sy = 1 (packet 8).
    EXPECT_EQ(Get32(p.Block(1) + 16 + 12), 0u);
    Talk(2);
    EXPECT_EQ(GetBytes(p.buffers[1][0], 4), std::vector<uint8_t>({0, 0, 0, 8}));
}

// cycleMatchEnable: nothing is stored before the cycle named in ContextMatch; the bit clears.
TEST_F(IsoReceivePpb, CycleMatchStartsReceptionInTheNamedCycle) {
    PpbProgram p = MakePpb(1);
    uint32_t target = R(kCycleTimer);
    for (int i = 0; i < 3; ++i) target = NextCycle(target);
    const uint32_t match = (target >> 12) & 0x7FFF;  // cycleSeconds 1:0 | cycleCount
    StartIr(0, p.Block(0) | 2, kIrIsochHeader | kIrCycleMatch, 0xF0000000 | (match << 12) | kChannel);
    EXPECT_NE(Control(0) & kIrCycleMatch, 0u);
    Talk(6);
    EXPECT_EQ(Control(0) & kIrCycleMatch, 0u);
    EXPECT_EQ(Get32(p.buffers[0][0]) & 0xFFFF, Stamp(target));
}

// Channel and tag (ContextMatch tag0..tag3 31:28, channelNumber 5:0); every context but the
// lowest-numbered matching one is passed by.
TEST_F(IsoReceivePpb, ChannelAndTagDecideWhichContextStoresThePacket) {
    struct Case {
        uint32_t match;
        uint8_t tag;
        bool stored;
    } cases[] = {
        {0xF0000000 | kChannel, 0, true},         // every tag
        {0x10000000 | kChannel, 0, true},         // tag0
        {0x20000000 | kChannel, 0, false},        // tag1 only
        {0x20000000 | kChannel, 1, true},
        {0x80000000 | kChannel, 3, true},         // tag3
        {0xF0000000 | (kChannel + 1), 0, false},  // another channel
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << c.match << " tag " << int(c.tag));
        PpbProgram p = MakePpb(1);
        talker_->tag = c.tag;
        StartIr(1, p.Block(0) | 2, kIrIsochHeader, c.match);
        Talk(1);
        EXPECT_EQ(Get32(p.Block(0) + 16 + 12) != 0, c.stored);
        W(Ir(1) + kControlClear, kRun);
    }
    // Two contexts on the channel: the lower-numbered one takes it.
    PpbProgram a = MakePpb(1), b = MakePpb(1);
    talker_->tag = 0;
    StartIr(3, b.Block(0) | 2, 0);
    StartIr(2, a.Block(0) | 2, 0);
    Talk(1);
    EXPECT_NE(Get32(a.Block(0) + 16 + 12), 0u);
    EXPECT_EQ(Get32(b.Block(0) + 16 + 12), 0u);
}

// --- Buffer-fill ---------------------------------------------------------------------------------

class IsoReceiveBufferFill : public IsoReceive, public ::testing::WithParamInterface<bool> {
protected:
    // `count` INPUT_MORE descriptors (b = 3, i = 3) of `size` bytes each, chained, the last Z = 0.
    uint32_t MakeBufferFill(int count, uint16_t size, std::vector<uint32_t>* buffers, uint32_t s = 1,
                            uint32_t wait = 0) {
        const uint32_t d = host_.Map(16u * uint32_t(count));
        for (int i = 0; i < count; ++i) {
            buffers->push_back(host_.Map(size));
            const uint32_t next = i + 1 < count ? (d + 16u * uint32_t(i + 1)) | 1 : 0;
            PutDescriptor(d + 16u * uint32_t(i), Q0(kInputMore, s, 0, 3, 3, i == 0 ? wait : 0, size), buffers->back(),
                          next, size);
        }
        return d;
    }
};

TEST_P(IsoReceiveBufferFill, PacketsBackToBackStraddlingBuffers) {
    const bool header = GetParam();
    std::vector<uint32_t> buffers;
    const uint32_t d = MakeBufferFill(2, 40, &buffers);
    StartIr(0, d | 1, kIrBufferFill | (header ? kIrIsochHeader : 0));
    Talk(3);  // with headers 24 bytes a packet (three need 72 of the 80), without 16
    std::vector<uint8_t> expected;
    for (uint32_t k = 0; k < 3; ++k) {
        if (header) AppendLe(expected, IsoHeader(kPayload, 0, kChannel, k == 0 ? 1 : 0));
        const auto payload = Payload(k);
        expected.insert(expected.end(), payload.begin(), payload.end());
        if (header) AppendLe(expected, (kStoredStatus << 16) | Stamp(talker_->sentAt[k]));
    }
    std::vector<uint8_t> stored = GetBytes(buffers[0], 40);
    const auto second = GetBytes(buffers[1], uint32_t(expected.size() - 40));
    stored.insert(stored.end(), second.begin(), second.end());
    EXPECT_EQ(stored, expected);
    // The first descriptor is full (resCount 0, interrupt); the second holds the rest.
    EXPECT_EQ(Get32(d + 12), kStoredStatus << 16);
    EXPECT_EQ(Get32(d + 16 + 12), (kStoredStatus << 16) | uint32_t(80 - expected.size()));
    EXPECT_EQ(R(kIsoRecvIntEventSet), 1u);
    EXPECT_EQ(Control(0) & (kRun | kActive), kRun | kActive);
}

INSTANTIATE_TEST_SUITE_P(IsochHeader, IsoReceiveBufferFill, ::testing::Bool());

// Whether a buffer-fill descriptor with s = 0 gets resCount: the option flipped both ways.
TEST_F(IsoReceiveBufferFill, StatusWithoutTheSBitIsAnOption) {
    for (bool always : {false, true}) {
        SCOPED_TRACE(always);
        StandaloneHost host;
        Bus bus{host};
        OhciController::Config config;
        config.irStatusWithoutS = always;
        auto* ohci = static_cast<OhciController*>(bus.Add(std::make_unique<OhciController>(host, config)));
        auto* talker = static_cast<Talker*>(bus.Add(std::make_unique<Talker>("t", kChannel, kPayload)));
        bus.Connect(ohci, 0, talker, 0);
        ohci->WriteRegister(kHCControlSet, kLps);
        ohci->WriteRegister(kLinkControlSet, kCycleTimerEnable | kCycleMaster);
        ohci->WriteRegister(kHCControlSet, kLinkEnable);
        bus.RequestReset(false);
        host.RunFor(kTicksPerMillisecond);
        const uint32_t d = host.Map(16), buffer = host.Map(64);
        const uint32_t q[4] = {Q0(kInputMore, 0, 0, 0, 3, 0, 64), buffer, 0, 64};
        ASSERT_TRUE(host.Write(d, q, 16));  // little-endian host
        ohci->WriteRegister(Ir(0) + kCommandPtr, d | 1);
        ohci->WriteRegister(Ir(0) + kContextMatch, 0xF0000000 | kChannel);
        ohci->WriteRegister(Ir(0) + kControlSet, kRun | kIrBufferFill);
        host.RunFor(2 * 1250);
        EXPECT_EQ(host.Read32(d + 12), always ? (kStoredStatus << 16) | (64u - 2 * kPayload) : 64u);
    }
}

TEST_F(IsoReceiveBufferFill, MultiChannelModeStoresEveryChannelOfTheMaskWithItsHeader) {
    auto* six = Plug<Talker>("six", 6, 8);
    auto* seven = Plug<Talker>("seven", 7, 8);
    six->on = seven->on = false;
    ResetBus();
    std::vector<uint32_t> buffers;
    const uint32_t d = MakeBufferFill(1, 256, &buffers);
    W(kIRMultiChanMaskLoSet, (1u << kChannel) | (1u << 7));
    // Every context implements multiChanMode unless the chip keeps it to context 0.
    W(Ir(1) + kControlSet, kIrMultiChan);
    EXPECT_NE(R(Ir(1) + kControlSet) & kIrMultiChan, 0u);
    W(Ir(1) + kControlClear, kIrMultiChan);
    StartIr(0, d | 1, kIrBufferFill | kIrIsochHeader | kIrMultiChan, 0xF0000000);
    six->on = seven->on = true;
    Talk(1);
    six->on = seven->on = false;
    // Channel 5 (16 bytes) then channel 7 (8 bytes), each framed by header and trailer.
    EXPECT_EQ(Get32(buffers[0]), IsoHeader(kPayload, 0, kChannel, 1));
    EXPECT_EQ(Get32(buffers[0] + 24), IsoHeader(8, 0, 7, 0));
    EXPECT_EQ(Get32(d + 12) & 0xFFFF, 256u - 24 - 16);
}

TEST(IsoReceiveOptions, MultiChannelModeOnContextZeroAloneIsAnOption) {
    for (bool any : {true, false}) {
        SCOPED_TRACE(any);
        StandaloneHost host;
        OhciController::Config config;
        config.irMultiChanAnyContext = any;
        OhciController ohci(host, config);
        ohci.WriteRegister(Ir(0) + kControlSet, kIrMultiChan);
        ohci.WriteRegister(Ir(2) + kControlSet, kIrMultiChan);
        EXPECT_NE(ohci.ReadRegister(Ir(0) + kControlSet) & kIrMultiChan, 0u);
        EXPECT_EQ((ohci.ReadRegister(Ir(2) + kControlSet) & kIrMultiChan) != 0, any);
    }
}

// --- Dual-buffer ---------------------------------------------------------------------------------

TEST_F(IsoReceive, DualBufferSplitsHeadersFromPayload) {
    // firstSize 8 (the xferStatus | timeStamp and header quadlets), first buffer 32 bytes, second
    // 48: three packets fill the second buffer and complete the descriptor.
    const uint32_t d = host_.Map(64), first = host_.Map(32), second = host_.Map(48);
    const uint32_t next = d + 32;
    PutDual(d, 3, 32, 48, next | 2, first, second);
    const uint32_t first2 = host_.Map(32), second2 = host_.Map(48);
    PutDual(next, 0, 32, 48, 0, first2, second2);
    StartIr(0, d | 2, kIrDualBuffer | kIrIsochHeader);
    EXPECT_EQ(Control(0) & (kIrDualBuffer | kIrBufferFill), kIrDualBuffer);
    Talk(4);
    for (uint32_t k = 0; k < 3; ++k) {
        EXPECT_EQ(Get32(first + 8 * k), (kStoredStatus << 16) | Stamp(talker_->sentAt[k]));
        EXPECT_EQ(Get32(first + 8 * k + 4), IsoHeader(kPayload, 0, kChannel, k == 0 ? 1 : 0));
        EXPECT_EQ(GetBytes(second + 16 * k, 16), Payload(k));
    }
    EXPECT_EQ(Get32(d + 12), (8u << 16) | 0u) << "firstResCount 8, secondResCount 0";
    EXPECT_EQ(R(kIsoRecvIntEventSet), 1u);
    // The fourth packet went to the next descriptor.
    EXPECT_EQ(GetBytes(second2, 16), Payload(3));
    EXPECT_EQ(Get32(next + 12), (24u << 16) | 32u);
}

TEST_F(IsoReceive, DualBufferLosesAPacketTheProgramHasNoRoomFor) {
    // firstSize 8, first buffer 32, second 40 and no branch: two packets of 16 payload bytes fit;
    // the third's payload would run past the program's end, so it is lost whole and the program
    // waits for more. Once a descriptor is appended and wake set, the next packet's payload
    // straddles from the first descriptor's second buffer into the new one's.
    const uint32_t d = host_.Map(64), first = host_.Map(32), second = host_.Map(40);
    const uint32_t next = d + 32, first2 = host_.Map(32), second2 = host_.Map(48);
    PutDual(d, 3, 32, 40, 0, first, second);
    StartIr(0, d | 2, kIrDualBuffer | kIrIsochHeader);
    Talk(3);
    EXPECT_EQ(GetBytes(second, 16), Payload(0));
    EXPECT_EQ(GetBytes(second + 16, 16), Payload(1));
    EXPECT_EQ(Get32(first + 16), 0u) << "nothing of the lost packet is stored";
    EXPECT_EQ(GetBytes(second + 32, 8), std::vector<uint8_t>(8, 0));
    EXPECT_EQ(Get32(d + 12), (16u << 16) | 8u);
    EXPECT_EQ(R(kIsoRecvIntEventSet), 0u);
    PutDual(next, 3, 32, 48, 0, first2, second2);
    Put32(d + 8, next | 2);
    W(Ir(0) + kControlSet, kWake);
    Talk(1);
    EXPECT_EQ(Get32(first + 20), IsoHeader(kPayload, 0, kChannel, 0));
    std::vector<uint8_t> payload = GetBytes(second + 32, 8), rest = GetBytes(second2, 8);
    payload.insert(payload.end(), rest.begin(), rest.end());
    EXPECT_EQ(payload, Payload(3));
    EXPECT_EQ(Get32(d + 12), (8u << 16) | 0u);
    EXPECT_EQ(Get32(next + 12), (32u << 16) | 40u);
    EXPECT_EQ(R(kIsoRecvIntEventSet), 1u);
}

// --- Death ------------------------------------------------------------------------------------------

TEST_F(IsoReceive, UnmappedDescriptorOrBufferKillsTheContext) {
    // A program in unmapped memory: evt_descriptor_read at once.
    StartIr(0, 0x7FFF0000 | 1, kIrBufferFill);
    EXPECT_EQ(Control(0) & (kDead | kActive | 0x1F), kDead | kEvtDescriptorRead);
    EXPECT_NE(R(kIntEventSet) & kUnrecoverableError, 0u);
    // A buffer in unmapped memory: evt_data_write at the first packet.
    const uint32_t d = host_.Map(16);
    PutDescriptor(d, Q0(kInputMore, 1, 0, 0, 3, 0, 64), 0x7FFF0000, 0, 64);
    W(kIntEventClear, 0xFFFFFFFF);
    StartIr(1, d | 1, kIrBufferFill);
    EXPECT_EQ(Control(1) & (kDead | kActive), kActive);
    Talk(1);
    EXPECT_EQ(Control(1) & (kDead | kActive | 0x1F), kDead | kEvtDataWrite);
    EXPECT_NE(R(kIntEventSet) & kUnrecoverableError, 0u);
    // Clearing run clears dead.
    W(Ir(1) + kControlClear, kRun);
    EXPECT_EQ(Control(1) & kDead, 0u);
}

}  // namespace
}  // namespace sim::iso_test
