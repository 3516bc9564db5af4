// The AT request and response contexts driven through registers and descriptor programs: the
// packets they put on the bus, the status and time stamps they write back, retries, errors.
// Expected values come from OHCI 1.1 chapters 3 and 7 and IEEE 1394-1995 6.2.
#include "async_fixture.h"
#include "iso_listener.h"

namespace sim::async_test {
namespace {

class AsyncTransmit : public AsyncBench {};

constexpr uint64_t kCsrRegister = 0xFFFFF0010000ull;  // a register of a plain node's CSR space

CsrNode* AddCsrNode(Bus& bus, OhciController* ohci, int port) {
    auto* node = static_cast<CsrNode*>(bus.Add(std::make_unique<CsrNode>("csr", 2, kS400, ConfigRom())));
    bus.Connect(ohci, port, node, 0);
    return node;
}

// A stamp (cycleSeconds 2:0 | cycleCount) moved by `cycles`, modulo 8 seconds.
uint16_t StampPlus(uint16_t stamp, int cycles) {
    int total = (stamp >> 13) * 8000 + (stamp & 0x1FFF) + cycles;
    total = ((total % 64000) + 64000) % 64000;
    return uint16_t(((total / 8000) << 13) | (total % 8000));
}

// --- A quadlet read from the camera, end to end -----------------------------------------------------

TEST_F(AsyncTransmit, QuadletReadFromCameraAndItsResponseInTheArResponseBuffer) {
    ArProgram ar = MakeArProgram(2, 256);
    StartContext(kArResponse, ar.descriptors | 1);
    const uint32_t at = host_.Map(64);
    const uint16_t camera = camera_->NodeId();
    const uint64_t offset = camera_->CommandBase() + iidc::kVFormatInq;
    // Read quadlet request, 12 header bytes (OHCI 1.1 7.8.1.1): S400, tLabel 5, retry_X.
    PutLastImmediate(at, {AtQ0(2, 5, 1, 0x4), (uint32_t(camera) << 16) | uint32_t(offset >> 32), uint32_t(offset)});
    StartContext(kAtRequest, at | 2);
    const uint16_t sentAt = CycleStamp();
    host_.RunFor(kTicksPerMicrosecond);

    // Status in the OUTPUT_LAST-Immediate (OHCI 1.1 7.1.5): xferStatus = ContextControl 15:0 at
    // completion (run, active, event ack_pending 0x12), timeStamp = the cycle of the ack.
    EXPECT_EQ(Get32(at + 12), (uint32_t(kRun | kActive | kAckPending) << 16) | sentAt);
    EXPECT_NE(IntEvent() & kReqTxComplete, 0u);
    // Branch Z = 0: the context stays running and goes idle (OHCI 1.1 3.1.1.3, 7.2.2).
    EXPECT_EQ(Control(kAtRequest) & (kRun | kActive | kDead | 0x1F), kRun | kAckPending);

    // The camera answers after its response delay (IIDC V_FORMAT_INQ: Format_0 only = bit 31).
    host_.RunFor(camera_->responseDelay - kTicksPerMicrosecond);
    const uint16_t receivedAt = CycleStamp();
    // Receive format of a read quadlet response (OHCI 1.1 8.7.1): q0 destinationID | tLabel | rt |
    // tcode 6, q1 sourceID | rcode, q2 reserved, q3 the data quadlet in bus byte order, then the
    // trailer xferStatus (run, active, spd S400 = 2 in 7:5, ack_complete) | timeStamp.
    const std::vector<uint32_t> expected = {
        (uint32_t(OurNodeId()) << 16) | (5u << 10) | (0x6u << 4),
        uint32_t(camera) << 16,
        0,
        Swap32(0x80000000),
        (uint32_t(kRun | kActive | (2u << 5) | kAckComplete) << 16) | receivedAt,
    };
    EXPECT_EQ(LeQuadlets(Stored(ar, 20)), expected);
    EXPECT_EQ(ResCount(ar, 0), 256u - 20u);
    EXPECT_EQ(XferStatus(ar, 0), kRun | kActive | (2u << 5) | kAckComplete);
    EXPECT_NE(IntEvent() & kRsPkt, 0u);
    EXPECT_EQ(IntEvent() & kArrs, 0u);  // the buffer is not full
}

// --- What goes on the wire ----------------------------------------------------------------------

struct WireCase {
    const char* name;
    std::vector<uint32_t> at;      // AT immediate header; q1 destination filled in by the test
    std::vector<uint8_t> payload;  // OUTPUT_LAST data, if any
    std::array<uint32_t, 4> wire;  // expected IEEE 1394 header; destination/source filled in
    bool quadletData = false;      // q3 is a data quadlet: in memory in bus byte order
};

TEST_F(AsyncTransmit, PacketsOnTheWireCarryTheHeaderTheLinkBuiltFromTheImmediateQuadlets) {
    Recorder* recorder = AddRecorder(1);
    const uint32_t dest = uint32_t(recorder->NodeId()) << 16;
    const uint32_t src = uint32_t(OurNodeId()) << 16;
    // OHCI 1.1 7.8.1: the link moves destinationID to q0 31:16, inserts sourceID in q1 31:16.
    const std::vector<WireCase> cases = {
        {"write quadlet", {AtQ0(2, 1, 1, 0x0), dest | 0xFFFF, 0xF0000234, 0x11223344}, {},
         {dest | (1u << 10) | (1u << 8) | 0x00, src | 0xFFFF, 0xF0000234, 0x11223344}, true},
        {"read quadlet", {AtQ0(2, 2, 1, 0x4), dest | 0x0001, 0x00000010}, {},
         {dest | (2u << 10) | (1u << 8) | 0x40, src | 0x0001, 0x00000010, 0}},
        {"read block", {AtQ0(2, 3, 1, 0x5), dest | 0xFFFF, 0xF0000400, 0x00200000}, {},
         {dest | (3u << 10) | (1u << 8) | 0x50, src | 0xFFFF, 0xF0000400, 0x00200000}},
        {"write block", {AtQ0(2, 4, 1, 0x1), dest | 0x0002, 0x00000100, 0x00060000}, {1, 2, 3, 4, 5, 6},
         {dest | (4u << 10) | (1u << 8) | 0x10, src | 0x0002, 0x00000100, 0x00060000}},
        {"lock compare_swap", {AtQ0(2, 5, 1, 0x9), dest | 0xFFFF, 0xF000021C, 0x00080002},
         {0, 0, 0, 0x3F, 0, 0, 0, 0x01},
         {dest | (5u << 10) | (1u << 8) | 0x90, src | 0xFFFF, 0xF000021C, 0x00080002}},
    };
    const uint32_t at = host_.Map(64);
    const uint32_t data = host_.Map(64);
    for (const WireCase& c : cases) {
        SCOPED_TRACE(c.name);
        recorder->packets.clear();
        std::vector<uint32_t> header = c.at;
        if (c.quadletData) header[3] = Swap32(header[3]);
        if (c.payload.empty()) {
            PutLastImmediate(at, header);
            StartContext(kAtRequest, at | 2);
        } else {
            PutBytes(data, c.payload);
            PutImmediateAndLast(at, header, data, uint16_t(c.payload.size()));
            StartContext(kAtRequest, at | 3);
        }
        host_.RunFor(kTicksPerMicrosecond);
        ASSERT_EQ(recorder->packets.size(), 1u);
        const Packet& p = recorder->packets[0];
        EXPECT_EQ(p.header[0], c.wire[0]);
        EXPECT_EQ(p.header[1], c.wire[1]);
        EXPECT_EQ(p.header[2], c.wire[2]);
        EXPECT_EQ(p.header[3], c.wire[3]);
        EXPECT_EQ(p.data, c.payload);
        EXPECT_EQ(p.speed, kS400);
        EXPECT_EQ(Get32(at + (c.payload.empty() ? 12 : 44)) >> 16, kRun | kActive | kAckComplete);
        Write(kAtRequest + kControlClear, kRun);
    }
}

// --- Transactions with a plain node ---------------------------------------------------------------

TEST_F(AsyncTransmit, BlockWriteThroughOutputMoreImmediateAndOutputLastThenItsWriteResponse) {
    CsrNode* node = AddCsrNode(bus_, ohci_, 1);
    ResetBus();
    node->DefineRegister(kCsrRegister, 0);
    node->DefineRegister(kCsrRegister + 4, 0);
    ArProgram ar = MakeArProgram(1, 128);
    StartContext(kArResponse, ar.descriptors | 1);
    const uint32_t at = host_.Map(64);
    const uint32_t data = host_.Map(16);
    PutBytes(data, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88});
    const uint32_t dest = uint32_t(node->NodeId()) << 16;
    // Write block request (tcode 1), data_length 8.
    PutImmediateAndLast(at, {AtQ0(2, 9, 1, 0x1), dest | 0xFFFF, 0xF0010000, 8u << 16}, data, 8);
    StartContext(kAtRequest, at | 3);
    host_.RunFor(100 * kTicksPerMicrosecond);

    EXPECT_EQ(Get32(at + 44) >> 16, kRun | kActive | kAckPending);  // status in the OUTPUT_LAST
    EXPECT_EQ(Get32(at + 12), 0u);                                   // not in the OUTPUT_MORE-Immediate
    EXPECT_EQ(node->RegisterValue(kCsrRegister), 0x11223344u);
    EXPECT_EQ(node->RegisterValue(kCsrRegister + 4), 0x55667788u);
    // Write response (tcode 2): 12 header bytes, then the trailer (OHCI 1.1 8.7.1).
    auto q = LeQuadlets(Stored(ar, 16));
    EXPECT_EQ(q[0], (uint32_t(OurNodeId()) << 16) | (9u << 10) | 0x20);
    EXPECT_EQ(q[1], dest | (kRcodeComplete << 12));
    EXPECT_EQ(q[2], 0u);
    EXPECT_EQ(q[3] >> 16, kRun | kActive | (2u << 5) | kAckComplete);
    EXPECT_EQ(ResCount(ar, 0), 128u - 16u);
}

TEST_F(AsyncTransmit, LockCompareSwapAndItsLockResponse) {
    CsrNode* node = AddCsrNode(bus_, ohci_, 1);
    ResetBus();
    node->DefineRegister(kCsrRegister, 5, CsrNode::kAll);
    ArProgram ar = MakeArProgram(1, 128);
    StartContext(kArResponse, ar.descriptors | 1);
    const uint32_t at = host_.Map(64);
    const uint32_t data = host_.Map(16);
    // compare_swap (extended tcode 2): arg_value 5, data_value 9 (IEEE 1394-1995 6.2.4.11).
    PutBytes(data, {0, 0, 0, 5, 0, 0, 0, 9});
    const uint32_t dest = uint32_t(node->NodeId()) << 16;
    PutImmediateAndLast(at, {AtQ0(2, 12, 1, 0x9), dest | 0xFFFF, 0xF0010000, (8u << 16) | 2}, data, 8);
    StartContext(kAtRequest, at | 3);
    host_.RunFor(100 * kTicksPerMicrosecond);

    EXPECT_EQ(node->RegisterValue(kCsrRegister), 9u);
    // Lock response (tcode B): data_length 4, extended tcode 2, old value 5 in bus order.
    auto bytes = Stored(ar, 24);
    auto q = LeQuadlets(bytes);
    EXPECT_EQ(q[0], (uint32_t(OurNodeId()) << 16) | (12u << 10) | 0xB0);
    EXPECT_EQ(q[1], dest);
    EXPECT_EQ(q[3], (4u << 16) | 2u);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 16, bytes.begin() + 20), (std::vector<uint8_t>{0, 0, 0, 5}));
    EXPECT_EQ(q[5] >> 16, kRun | kActive | (2u << 5) | kAckComplete);
}

// --- Retries, missing acks, flushing, expiry ------------------------------------------------------

struct BusyCase {
    int busyAcks;
    uint32_t atRetries;  // maxATReqRetries in 3:0
    uint32_t event;
    int busyLeft;        // busy acks the node still has to give: 1 + retries were used
};

TEST_F(AsyncTransmit, BusyAcksAreRetriedUpToMaxATReqRetries) {
    CsrNode* node = AddCsrNode(bus_, ohci_, 1);
    ResetBus();
    node->DefineRegister(kCsrRegister, 0);
    const std::vector<BusyCase> cases = {
        {2, 2, kAckPending, 0},  // third attempt accepted
        {3, 2, kAckBusyX, 0},    // three attempts, all busy: the last busy ack is reported
        {5, 0, kAckBusyX, 4},    // no retries
        {4, 15, kAckPending, 0},
    };
    const uint32_t at = host_.Map(64);
    const uint32_t dest = uint32_t(node->NodeId()) << 16;
    for (const BusyCase& c : cases) {
        SCOPED_TRACE(c.busyAcks);
        node->faults.busyAcks = c.busyAcks;
        Write(kATRetries, c.atRetries);
        PutLastImmediate(at, {AtQ0(2, 1, 1, 0x0), dest | 0xFFFF, 0xF0010000, 0});
        StartContext(kAtRequest, at | 2);
        host_.RunFor(kTicksPerMillisecond);
        EXPECT_EQ(Get32(at + 12) >> 16, kRun | kActive | c.event);
        EXPECT_EQ(node->faults.busyAcks, c.busyLeft);
        Write(kAtRequest + kControlClear, kRun);
    }
}

TEST_F(AsyncTransmit, ResponseContextRetriesPerMaxATRespRetriesWithRetryX) {
    Recorder* recorder = AddRecorder(1);
    recorder->ack = sim::kAckBusyA;
    Write(kATRetries, 0x00000010);  // maxATRespRetries 1, maxATReqRetries 0
    const uint32_t at = host_.Map(64);
    const uint32_t dest = uint32_t(recorder->NodeId()) << 16;
    // Write response sent first with rt = retry_1 (0); expiry one second ahead.
    PutLastImmediate(at, {AtQ0(2, 9, 0, 0x2), dest, 0});
    Put32(at + 12, StampPlus(CycleStamp(), 8000));
    StartContext(kAtResponse, at | 2);
    host_.RunFor(kTicksPerMillisecond);
    // Single-phase retry (IEEE 1394-1995 6.2.4.3): the retry carries retry_X (1).
    ASSERT_EQ(recorder->packets.size(), 2u);
    EXPECT_EQ(recorder->packets[0].Retry(), 0);
    EXPECT_EQ(recorder->packets[1].Retry(), 1);
    EXPECT_EQ(Get32(at + 12) >> 16, kRun | kActive | 0x15u);  // ack_busy_A
    EXPECT_NE(IntEvent() & kRespTxComplete, 0u);
}

TEST_F(AsyncTransmit, PacketToAnAbsentNodeCompletesWithMissingAck) {
    const uint32_t at = host_.Map(64);
    PutLastImmediate(at, {AtQ0(2, 1, 1, 0x4), (0xFFC7u << 16) | 0xFFFF, 0xF0000400});  // phy ID 7: nobody
    StartContext(kAtRequest, at | 2);
    host_.RunFor(kTicksPerMicrosecond);
    EXPECT_EQ(Get32(at + 12) >> 16, kRun | kActive | kEvtMissingAck);
    EXPECT_EQ(Control(kAtRequest) & 0x1F, kEvtMissingAck);
    EXPECT_NE(IntEvent() & kReqTxComplete, 0u);
}

TEST_F(AsyncTransmit, WhileBusResetIsSetBlocksAreFlushedUnsent) {
    Recorder* recorder = AddRecorder(1);
    bus_.RequestReset(false);
    host_.RunFor(kTicksPerMillisecond);
    ASSERT_NE(IntEvent() & kBusResetBit, 0u);
    const uint32_t at = host_.Map(128);
    const uint32_t dest = uint32_t(recorder->NodeId()) << 16;
    PutLastImmediate(at, {AtQ0(2, 1, 1, 0x4), dest, 0x100});
    StartContext(kAtRequest, at | 2);
    host_.RunFor(kTicksPerMicrosecond);
    // OHCI 1.1 7.2.3: evt_flushed, nothing sent.
    EXPECT_EQ(Get32(at + 12) >> 16, kRun | kActive | kEvtFlushed);
    EXPECT_TRUE(recorder->packets.empty());

    // Software clears busReset; the next block appended goes out.
    Write(kIntEventClear, kBusResetBit);
    PutLastImmediate(at + 32, {AtQ0(2, 2, 1, 0x4), dest, 0x104});
    Put32(at + 8, (at + 32) | 2);
    Write(kAtRequest + kControlSet, kWake);
    host_.RunFor(kTicksPerMicrosecond);
    EXPECT_EQ(Get32(at + 32 + 12) >> 16, kRun | kActive | kAckComplete);
    EXPECT_EQ(recorder->packets.size(), 1u);
}

TEST_F(AsyncTransmit, ResponsePastItsExpiryIsDroppedWithEvtTimeout) {
    Recorder* recorder = AddRecorder(1);
    host_.RunFor(3 * kTicksPerMillisecond);  // away from cycle 0
    const uint32_t at = host_.Map(64);
    const uint32_t dest = uint32_t(recorder->NodeId()) << 16;
    struct Case {
        int cycles;  // expiry relative to now
        uint32_t event;
        size_t sent;
    };
    for (const Case& c : {Case{-1, kEvtTimeout, 0}, Case{8000, kAckComplete, 1}}) {
        SCOPED_TRACE(c.cycles);
        recorder->packets.clear();
        // Write response (tcode 2, 12 bytes); software puts the expiry in the first descriptor's
        // timeStamp field (OHCI 1.1 7.1.5.3): cycleSeconds 2:0 | cycleCount.
        PutLastImmediate(at, {AtQ0(2, 7, 1, 0x2), dest | (kRcodeComplete << 12), 0});
        Put32(at + 12, StampPlus(CycleStamp(), c.cycles));
        StartContext(kAtResponse, at | 2);
        host_.RunFor(kTicksPerMicrosecond);
        EXPECT_EQ(Get32(at + 12) >> 16, kRun | kActive | c.event);
        EXPECT_EQ(recorder->packets.size(), c.sent);
        EXPECT_NE(IntEvent() & kRespTxComplete, 0u);
        Write(kAtResponse + kControlClear, kRun);
    }
}

TEST_F(AsyncTransmit, ContextSendsOnlyTheTcodesItOwns) {
    Recorder* recorder = AddRecorder(1);
    const uint32_t at = host_.Map(64);
    const uint32_t dest = uint32_t(recorder->NodeId()) << 16;
    // A read request in the response context and a write response in the request context.
    PutLastImmediate(at, {AtQ0(2, 1, 1, 0x4), dest, 0x100});
    StartContext(kAtResponse, at | 2);
    host_.RunFor(kTicksPerMicrosecond);
    EXPECT_EQ(Get32(at + 12) >> 16, kRun | kActive | kEvtTcodeErr);
    PutLastImmediate(at, {AtQ0(2, 1, 1, 0x2), dest, 0});
    StartContext(kAtRequest, at | 2);
    host_.RunFor(kTicksPerMicrosecond);
    EXPECT_EQ(Get32(at + 12) >> 16, kRun | kActive | kEvtTcodeErr);
    EXPECT_TRUE(recorder->packets.empty());
}

TEST_F(AsyncTransmit, DataBlockShorterThanDataLengthIsAckedDataError) {
    Recorder* recorder = AddRecorder(1);
    const uint32_t at = host_.Map(64);
    const uint32_t data = host_.Map(16);
    const uint32_t dest = uint32_t(recorder->NodeId()) << 16;
    PutImmediateAndLast(at, {AtQ0(2, 1, 1, 0x1), dest, 0x100, 8u << 16}, data, 4);
    StartContext(kAtRequest, at | 3);
    host_.RunFor(kTicksPerMicrosecond);
    EXPECT_EQ(Get32(at + 44) >> 16, kRun | kActive | kAckDataError);
    EXPECT_TRUE(recorder->packets.empty());
}

// --- Programs: branches, wake, stop ----------------------------------------------------------------

TEST_F(AsyncTransmit, BranchesAreFollowedAndWakeResumesAnAppendedProgram) {
    Recorder* recorder = AddRecorder(1);
    const uint32_t at = host_.Map(256);
    const uint32_t data = host_.Map(16);
    PutBytes(data, {9, 8, 7, 6});
    const uint32_t dest = uint32_t(recorder->NodeId()) << 16;
    // Block A (Z = 2) -> block B (Z = 3) -> end.
    PutLastImmediate(at, {AtQ0(2, 1, 1, 0x4), dest, 0x100}, (at + 32) | 3);
    PutImmediateAndLast(at + 32, {AtQ0(2, 2, 1, 0x1), dest, 0x200, 4u << 16}, data, 4);
    StartContext(kAtRequest, at | 2);
    host_.RunFor(10 * kTicksPerMicrosecond);
    ASSERT_EQ(recorder->packets.size(), 2u);
    EXPECT_EQ(recorder->packets[0].Tlabel(), 1);
    EXPECT_EQ(recorder->packets[1].Tlabel(), 2);
    EXPECT_EQ(Get32(at + 12) >> 16, kRun | kActive | kAckComplete);
    EXPECT_EQ(Get32(at + 32 + 44) >> 16, kRun | kActive | kAckComplete);
    EXPECT_EQ(Control(kAtRequest) & kActive, 0u);
    EXPECT_EQ(Read(kAtRequest + kCommandPtr), (at + 32) | 3);  // where it stopped

    // Append block C to B's branch, then wake: the context re-reads that branch (OHCI 1.1 3.1.1.2).
    PutLastImmediate(at + 96, {AtQ0(2, 3, 1, 0x4), dest, 0x300});
    Put32(at + 32 + 40, (at + 96) | 2);
    host_.RunFor(10 * kTicksPerMicrosecond);
    EXPECT_EQ(recorder->packets.size(), 2u);  // not without wake
    Write(kAtRequest + kControlSet, kWake);
    host_.RunFor(10 * kTicksPerMicrosecond);
    ASSERT_EQ(recorder->packets.size(), 3u);
    EXPECT_EQ(recorder->packets[2].Tlabel(), 3);
    EXPECT_EQ(Control(kAtRequest) & (kWake | kActive), 0u);
}

TEST_F(AsyncTransmit, ClearingRunStopsAtOnceEvenWithARetryPending) {
    Recorder* recorder = AddRecorder(1);
    recorder->ack = sim::kAckBusyX;
    const uint32_t at = host_.Map(64);
    PutLastImmediate(at, {AtQ0(2, 1, 1, 0x4), uint32_t(recorder->NodeId()) << 16, 0x100});
    StartContext(kAtRequest, at | 2);
    host_.RunUntil(host_.Now());  // the first attempt only
    ASSERT_EQ(recorder->packets.size(), 1u);
    EXPECT_NE(Control(kAtRequest) & kActive, 0u);
    Write(kAtRequest + kControlClear, kRun);
    EXPECT_EQ(Control(kAtRequest) & (kRun | kActive), 0u);
    host_.RunFor(kTicksPerMillisecond);
    EXPECT_EQ(recorder->packets.size(), 1u);
    EXPECT_EQ(Get32(at + 12), 0u);  // no status for a packet given up
}

// --- PHY packets ---------------------------------------------------------------------------------

TEST_F(AsyncTransmit, PhyPacketGoesOutAndTheRemoteReplyArrivesInTheArRequestContext) {
    Recorder* recorder = AddRecorder(1);
    ArProgram ar = MakeArProgram(1, 256);
    StartContext(kArRequest, ar.descriptors | 1);
    const uint32_t at = host_.Map(64);
    const uint32_t cameraPhy = camera_->phy().phyId;
    // Remote access packet, base register 4 (IEEE 1394a 5.5.3): phy_ID 29:24, type 1 in 21:18,
    // reg 10:8. AT PHY form (OHCI 1.1 7.8.1.4): q0 tcode 0xE, q1 the quadlet, q2 its inverse.
    const uint32_t access = (cameraPhy << 24) | (1u << 18) | (4u << 8);
    PutLastImmediate(at, {0xE0, access, ~access});
    StartContext(kAtRequest, at | 2);
    host_.RunFor(50 * kTicksPerMicrosecond);
    EXPECT_EQ(Get32(at + 12) >> 16, kRun | kActive | kAckComplete);
    ASSERT_FALSE(recorder->phyPackets.empty());
    EXPECT_EQ(recorder->phyPackets[0], access);

    // The remote reply (type 3, same register, data 7:0) received with rcvPhyPkt (OHCI 1.1 8.4.2.4):
    // q0 tcode 0xE, q1 the quadlet, q2 its inverse, trailer with ack_complete.
    const uint32_t reply = (cameraPhy << 24) | (3u << 18) | (4u << 8) | camera_->phy().Read(4);
    auto q = LeQuadlets(Stored(ar, 16));
    EXPECT_EQ(q[0], 0xE0u);
    EXPECT_EQ(q[1], reply);
    EXPECT_EQ(q[2], ~reply);
    EXPECT_EQ((q[3] >> 16) & 0x1F, kAckComplete);
    EXPECT_NE(IntEvent() & kRqPkt, 0u);
}

// An asynchronous stream packet (IEEE 1394a; AT form OHCI 1.1 7.8.1.5: q0 spd, tag, channel,
// tcode 0xA, sy; q1 dataLength) has no ack: it completes with ack_complete and every listening
// link hears it on its channel, outside the cycle's isochronous bandwidth.
TEST_F(AsyncTransmit, AsynchronousStreamPacketReachesListenersOnItsChannel) {
    auto* listener = static_cast<IsoListener*>(bus_.Add(std::make_unique<IsoListener>()));
    bus_.Connect(ohci_, 1, listener, 0);
    ResetBus();
    const uint32_t at = host_.Map(64);
    const uint32_t data = host_.Map(16);
    PutBytes(data, {0xDE, 0xAD, 0xBE, 0xEF, 1, 2, 3, 4});
    PutImmediateAndLast(at, {(2u << 16) | (1u << 14) | (9u << 8) | (0xAu << 4) | 3u, 8u << 16}, data, 8);
    StartContext(kAtRequest, at | 3);
    host_.RunFor(50 * kTicksPerMicrosecond);
    EXPECT_EQ(Get32(at + 44) >> 16, kRun | kActive | kAckComplete);
    const std::vector<IsoPacket> heard = listener->OnChannel(9);
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_EQ(heard[0].tag, 1);
    EXPECT_EQ(heard[0].sy, 3);
    EXPECT_EQ(heard[0].speed, kS400);
    EXPECT_EQ(heard[0].data, (std::vector<uint8_t>{0xDE, 0xAD, 0xBE, 0xEF, 1, 2, 3, 4}));
}

// --- Dying like the hardware -----------------------------------------------------------------------

TEST_F(AsyncTransmit, BadProgramsKillTheContext) {
    const uint32_t at = host_.Map(64);
    const uint32_t unmapped = 0x00010000;  // nothing is mapped below 1 MiB
    struct Case {
        const char* name;
        uint32_t commandPtr;
        uint32_t first;     // q0 of the first descriptor
        uint32_t last;      // q0 of the OUTPUT_LAST (Z = 3 programs)
        uint32_t dataAddress;
        uint32_t event;
    };
    const std::vector<Case> cases = {
        {"descriptor unmapped", unmapped | 2, kOutputLastImmediate | 12, 0, 0, kEvtDescriptorRead},
        {"data unmapped", at | 3, kOutputMoreImmediate | 16, kOutputLast | 8, unmapped, kEvtDataRead},
        {"header not immediate", at | 2, 0x103C0000 | 12, 0, 0, kEvtUnknown},
        {"unknown cmd", at | 3, kOutputMoreImmediate | 16, 0x503C0000 | 8, at, kEvtUnknown},
        {"Z = 1", at | 1, kOutputLastImmediate | 12, 0, 0, kEvtUnknown},
        {"Z counts more slots than the block", at | 4, kOutputMoreImmediate | 16, kOutputLast | 8, at, kEvtUnknown},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Write(kIntEventClear, 0xFFFFFFFF);
        const size_t faults = host_.faults().size();
        Put32(at, c.first);
        Put32(at + 16, AtQ0(2, 1, 1, 0x1));
        Put32(at + 28, 8u << 16);
        Put32(at + 32, c.last);
        Put32(at + 36, c.dataAddress);
        Put32(at + 40, 0);
        StartContext(kAtRequest, c.commandPtr);
        host_.RunFor(kTicksPerMicrosecond);
        EXPECT_EQ(Control(kAtRequest) & (kRun | kDead | kActive | 0x1F), kRun | kDead | c.event);
        EXPECT_NE(IntEvent() & kUnrecoverableError, 0u);
        EXPECT_EQ(IntEvent() & kReqTxComplete, 0u);
        if (c.event == kEvtDescriptorRead || c.event == kEvtDataRead) {
            ASSERT_EQ(host_.faults().size(), faults + 1);
            EXPECT_EQ(host_.faults().back().address, unmapped);
            EXPECT_FALSE(host_.faults().back().write);
        }
        // Clearing run clears dead (OHCI 1.1 3.1.1.3).
        Write(kAtRequest + kControlClear, kRun);
        EXPECT_EQ(Control(kAtRequest) & (kRun | kDead), 0u);
    }
}

}  // namespace
}  // namespace sim::async_test
