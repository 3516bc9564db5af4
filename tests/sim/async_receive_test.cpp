// The AR request and response contexts in buffer-fill mode, driven through registers and
// INPUT_MORE programs: the receive format, packets straddling buffers, resCount and status, the
// bus-reset packet, PHY packets, running out of room, dying. Expected values come from OHCI 1.1
// chapters 3 and 8 and IEEE 1394-1995 6.2.
#include "async_fixture.h"

namespace sim::async_test {
namespace {

class AsyncReceive : public AsyncBench {};

constexpr uint64_t kOffset = 0xFFFF00001000ull;  // not the ROM, not a CSR the controller serves

Packet Request(uint8_t tcode, uint16_t destination, uint16_t source, uint8_t tl, const std::vector<uint8_t>& data = {}) {
    Packet p;
    p.SetDestinationId(destination);
    p.SetTlabel(tl);
    p.SetRetry(1);
    p.SetTcode(tcode);
    p.SetSourceId(source);
    p.SetOffset(kOffset);
    p.data = data;
    if (tcode == kTcodeWriteBlockRequest) p.SetDataLengthAndExtendedTcode(uint16_t(data.size()), 0);
    p.speed = kS400;
    return p;
}

// xferStatus of a stored packet: run, active, spd (7:5), event.
constexpr uint32_t Status(uint32_t spd, uint32_t event) { return kRun | kActive | (spd << 5) | event; }

TEST_F(AsyncReceive, BlockWriteRequestStraddlesIntoTheNextBuffer) {
    Recorder* recorder = AddRecorder(1);
    ArProgram ar = MakeArProgram(3, 24);
    StartContext(kArRequest, ar.descriptors | 1);
    const std::vector<uint8_t> data = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    const uint16_t stamp = CycleStamp();
    EXPECT_EQ(bus_.SendAsync(recorder, Request(kTcodeWriteBlockRequest, OurNodeId(), recorder->NodeId(), 17, data)),
              sim::kAckPending);

    // Receive format of a write block request (OHCI 1.1 8.7.1): four header quadlets, data padded
    // to a quadlet, trailer: 16 + 12 + 4 = 32 bytes, 24 in the first buffer and 8 in the second.
    auto bytes = Stored(ar, 32);
    auto q = LeQuadlets(bytes);
    EXPECT_EQ(q[0], (uint32_t(OurNodeId()) << 16) | (17u << 10) | (1u << 8) | 0x10);
    EXPECT_EQ(q[1], (uint32_t(recorder->NodeId()) << 16) | 0xFFFF);
    EXPECT_EQ(q[2], 0x00001000u);
    EXPECT_EQ(q[3], 10u << 16);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 16, bytes.begin() + 28),
              (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0, 0}));
    EXPECT_EQ(q[7], (Status(2, kAckPending) << 16) | stamp);
    // The filled descriptor has resCount 0; the one the packet ended in counts what is left.
    EXPECT_EQ(ResCount(ar, 0), 0u);
    EXPECT_EQ(XferStatus(ar, 0), Status(2, kAckPending));
    EXPECT_EQ(ResCount(ar, 1), 24u - 8u);
    EXPECT_EQ(ResCount(ar, 2), 24u);
    EXPECT_EQ(IntEvent() & (kRqPkt | kArrq), kRqPkt | kArrq);
    EXPECT_EQ(Read(kArRequest + kCommandPtr), ar.Descriptor(1) | 1);
}

TEST_F(AsyncReceive, ConfigurationRomBlockReadResponseSpansResponseBuffers) {
    ArProgram ar = MakeArProgram(2, 32);
    StartContext(kArResponse, ar.descriptors | 1);
    const uint32_t at = host_.Map(64);
    const uint16_t camera = camera_->NodeId();
    // Read block request for the bus information block: 0xFFFFF0000400, data_length 20.
    PutLastImmediate(at, {AtQ0(2, 33, 1, 0x5), (uint32_t(camera) << 16) | 0xFFFF, 0xF0000400, 20u << 16});
    StartContext(kAtRequest, at | 2);
    host_.RunFor(100 * kTicksPerMicrosecond);
    EXPECT_EQ(Get32(at + 12) >> 16, Status(0, kAckPending));

    // Read block response (tcode 7): 16 + 20 + 4 = 40 bytes over two 32-byte buffers.
    auto bytes = Stored(ar, 40);
    auto q = LeQuadlets(bytes);
    EXPECT_EQ(q[0], (uint32_t(OurNodeId()) << 16) | (33u << 10) | 0x70);
    EXPECT_EQ(q[1], uint32_t(camera) << 16);
    EXPECT_EQ(q[2], 0u);
    EXPECT_EQ(q[3], 20u << 16);
    for (uint32_t i = 0; i < 5; ++i) EXPECT_EQ(Swap32(q[4 + i]), camera_->rom().Quadlet(i)) << i;
    EXPECT_EQ(Swap32(q[5]), 0x31333934u);  // bus_name "1394" (IEEE 1394-1995 8.3.2.5.4)
    EXPECT_EQ(Swap32(q[7]) >> 8, 0x00ACDEu);  // node_vendor_ID of the camera's GUID
    EXPECT_EQ(q[9] >> 16, Status(2, kAckComplete));
    EXPECT_EQ(ResCount(ar, 0), 0u);
    EXPECT_EQ(ResCount(ar, 1), 32u - 8u);
    EXPECT_EQ(IntEvent() & (kRsPkt | kArrs), kRsPkt | kArrs);
}

TEST_F(AsyncReceive, DataKeepsBusByteOrderUnlessNoByteSwapData) {
    Recorder* recorder = AddRecorder(1);
    struct Case {
        bool noByteSwap;
        std::vector<uint8_t> quadlet;  // q3 of a write quadlet request as stored
        std::vector<uint8_t> block;    // data of a write block request as stored
    };
    const std::vector<Case> cases = {
        {false, {0x11, 0x22, 0x33, 0x44}, {1, 2, 3, 4, 5, 6, 7, 8}},
        {true, {0x44, 0x33, 0x22, 0x11}, {4, 3, 2, 1, 8, 7, 6, 5}},  // little-endian quadlets
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.noByteSwap);
        Write(c.noByteSwap ? kHCControlSet : kHCControlClear, kNoByteSwapData);
        ArProgram ar = MakeArProgram(1, 128);
        StartContext(kArRequest, ar.descriptors | 1);
        Packet quadlet = Request(kTcodeWriteQuadletRequest, OurNodeId(), recorder->NodeId(), 1);
        quadlet.header[3] = 0x11223344;
        EXPECT_EQ(bus_.SendAsync(recorder, quadlet), sim::kAckPending);
        EXPECT_EQ(bus_.SendAsync(recorder, Request(kTcodeWriteBlockRequest, OurNodeId(), recorder->NodeId(), 2,
                                                   {1, 2, 3, 4, 5, 6, 7, 8})),
                  sim::kAckPending);
        auto bytes = Stored(ar, 20 + 28);
        EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 12, bytes.begin() + 16), c.quadlet);
        EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 36, bytes.begin() + 44), c.block);
        // Header quadlets are little-endian either way (OHCI 1.1 5.7: noByteSwapData is about data).
        EXPECT_EQ(LeQuadlets(bytes)[5], (uint32_t(OurNodeId()) << 16) | (2u << 10) | (1u << 8) | 0x10);
        Write(kArRequest + kControlClear, kRun);
    }
}

TEST_F(AsyncReceive, BusResetPacketCarriesTheNewGenerationAheadOfLaterRequests) {
    Recorder* recorder = AddRecorder(1);
    ArProgram ar = MakeArProgram(1, 256);
    StartContext(kArRequest, ar.descriptors | 1);
    bus_.RequestReset(false);
    host_.RunFor(kTicksPerMillisecond);
    const uint32_t generation = (Read(kSelfIdCount) >> 16) & 0xFF;
    EXPECT_EQ(bus_.SendAsync(recorder, Request(kTcodeReadQuadletRequest, OurNodeId(), recorder->NodeId(), 3)),
              sim::kAckPending);

    // Bus-reset packet (OHCI 1.1 8.4.2.3): PHY-packet form, tcode 0xE, selfIDGeneration in q2
    // 23:16, event evt_bus_reset in the trailer. Then the read quadlet request (12 header bytes).
    auto q = LeQuadlets(Stored(ar, 32));
    EXPECT_EQ(q[0], 0xE0u);
    EXPECT_EQ(q[2], generation << 16);
    EXPECT_EQ(q[3] >> 16, Status(0, kEvtBusReset));
    EXPECT_EQ(q[4], (uint32_t(OurNodeId()) << 16) | (3u << 10) | (1u << 8) | 0x40);
    EXPECT_EQ(q[5], (uint32_t(recorder->NodeId()) << 16) | 0xFFFF);
    EXPECT_EQ(q[7] >> 16, Status(2, kAckPending));
    EXPECT_EQ(ResCount(ar, 0), 256u - 32u);
    EXPECT_NE(IntEvent() & kRqPkt, 0u);
}

TEST_F(AsyncReceive, PhyPacketsAreStoredOnlyWithRcvPhyPkt) {
    Recorder* recorder = AddRecorder(1);
    ArProgram ar = MakeArProgram(1, 256);
    StartContext(kArRequest, ar.descriptors | 1);
    const uint32_t linkOn = 0x45000000;  // link-on packet (IEEE 1394a 4.3.4.2) for phy ID 5: nobody
    bus_.SendPhyPacket(recorder, linkOn);
    auto q = LeQuadlets(Stored(ar, 16));
    EXPECT_EQ(q[0], 0xE0u);
    EXPECT_EQ(q[1], linkOn);
    EXPECT_EQ(q[2], ~linkOn);
    EXPECT_EQ((q[3] >> 16) & 0x1F, kAckComplete);
    Write(kLinkControlClear, kRcvPhyPkt);
    bus_.SendPhyPacket(recorder, linkOn);
    EXPECT_EQ(ResCount(ar, 0), 256u - 16u);
}

TEST_F(AsyncReceive, NoRoomMeansAckBusyUntilSoftwareAppendsAndWakes) {
    Recorder* recorder = AddRecorder(1);
    ArProgram ar = MakeArProgram(1, 32);
    StartContext(kArRequest, ar.descriptors | 1);
    Packet write = Request(kTcodeWriteQuadletRequest, OurNodeId(), recorder->NodeId(), 4);
    write.header[3] = 0xCAFEF00D;
    // 20 bytes each (16 header + trailer): the first fits, the second does not.
    EXPECT_EQ(bus_.SendAsync(recorder, write), sim::kAckPending);
    EXPECT_EQ(bus_.SendAsync(recorder, write), sim::kAckBusyX);
    EXPECT_EQ(ResCount(ar, 0), 12u);
    EXPECT_EQ(GetBytes(ar.buffers[0] + 20, 12), std::vector<uint8_t>(12, 0));  // nothing of it written

    ArProgram more = MakeArProgram(1, 64);
    Put32(ar.Descriptor(0) + 8, more.descriptors | 1);
    Write(kArRequest + kControlSet, kWake);
    EXPECT_EQ(bus_.SendAsync(recorder, write), sim::kAckPending);
    EXPECT_EQ(ResCount(ar, 0), 0u);
    EXPECT_EQ(Get32(more.descriptors + 12) & 0xFFFF, 64u - 8u);
    auto head = GetBytes(ar.buffers[0] + 20, 12);
    EXPECT_EQ(LeQuadlets(head)[0], (uint32_t(OurNodeId()) << 16) | (4u << 10) | (1u << 8) | 0x00);
    EXPECT_EQ(GetBytes(more.buffers[0], 4), (std::vector<uint8_t>{0xCA, 0xFE, 0xF0, 0x0D}));
}

TEST_F(AsyncReceive, FullProgramIdlesUntilWakeFindsANewBranch) {
    Recorder* recorder = AddRecorder(1);
    ArProgram ar = MakeArProgram(1, 20);
    StartContext(kArRequest, ar.descriptors | 1);
    EXPECT_NE(Control(kArRequest) & kActive, 0u);
    Packet read = Request(kTcodeReadQuadletRequest, OurNodeId(), recorder->NodeId(), 5);
    read.SetTcode(kTcodeReadBlockRequest);
    read.SetDataLengthAndExtendedTcode(64, 0);
    EXPECT_EQ(bus_.SendAsync(recorder, read), sim::kAckPending);  // 16 + 4: exactly full
    EXPECT_EQ(ResCount(ar, 0), 0u);
    EXPECT_NE(IntEvent() & kArrq, 0u);
    // Branch Z = 0: active clears, run stays, CommandPtr keeps the last descriptor.
    EXPECT_EQ(Control(kArRequest) & (kRun | kActive), kRun);
    EXPECT_EQ(Read(kArRequest + kCommandPtr), ar.descriptors | 1);
    EXPECT_EQ(bus_.SendAsync(recorder, read), sim::kAckBusyX);

    Write(kArRequest + kControlSet, kWake);  // nothing appended yet: stays idle
    EXPECT_EQ(Control(kArRequest) & (kActive | kWake), 0u);
    ArProgram more = MakeArProgram(1, 64);
    Put32(ar.Descriptor(0) + 8, more.descriptors | 1);
    Write(kArRequest + kControlSet, kWake);
    EXPECT_EQ(Control(kArRequest) & (kActive | kWake), kActive);
    EXPECT_EQ(bus_.SendAsync(recorder, read), sim::kAckPending);
    EXPECT_EQ(Get32(more.descriptors + 12) & 0xFFFF, 64u - 20u);
}

TEST_F(AsyncReceive, BadProgramsAndHostErrorsKillTheContext) {
    Recorder* recorder = AddRecorder(1);
    const uint32_t unmapped = 0x00010000;
    struct Case {
        const char* name;
        bool mapDescriptor;
        uint32_t q0;
        uint32_t dataAddress;
        uint32_t event;
        bool diesAtRun;
    };
    const uint32_t descriptor = host_.Map(16);
    const uint32_t buffer = host_.Map(64);
    const std::vector<Case> cases = {
        {"descriptor unmapped", false, kInputMore | 64, buffer, kEvtDescriptorRead, true},
        {"INPUT_LAST", true, 0x383C0000 | 64, buffer, kEvtUnknown, true},
        {"b = 0", true, 0x28300000 | 64, buffer, kEvtUnknown, true},
        {"buffer unmapped", true, kInputMore | 64, unmapped, kEvtDataWrite, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Write(kIntEventClear, 0xFFFFFFFF);
        Put32(descriptor, c.q0);
        Put32(descriptor + 4, c.dataAddress);
        Put32(descriptor + 8, 0);
        Put32(descriptor + 12, 64);
        StartContext(kArRequest, (c.mapDescriptor ? descriptor : unmapped) | 1);
        EXPECT_EQ((Control(kArRequest) & kDead) != 0, c.diesAtRun);
        const Ack ack = bus_.SendAsync(recorder, Request(kTcodeReadQuadletRequest, OurNodeId(), recorder->NodeId(), 6));
        EXPECT_EQ(ack, sim::kAckBusyX);
        EXPECT_EQ(Control(kArRequest) & (kRun | kDead | kActive | 0x1F), kRun | kDead | c.event);
        EXPECT_NE(IntEvent() & kUnrecoverableError, 0u);
        EXPECT_EQ(host_.faults().empty(), false);
        if (c.event != kEvtUnknown) {
            EXPECT_EQ(host_.faults().back().address, unmapped);
            EXPECT_EQ(host_.faults().back().write, c.event == kEvtDataWrite);
        }
        Write(kArRequest + kControlClear, kRun);
    }
}

TEST_F(AsyncReceive, RawBytesFaultStoresWholeQuadletsAsFarAsTheProgramHasRoom) {
    ArProgram ar = MakeArProgram(2, 24);
    StartContext(kArResponse, ar.descriptors | 1);
    std::vector<uint8_t> garbage(22);
    for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = uint8_t(0xF0 + i);
    // 22 bytes: 20 of them (whole quadlets) go to the first buffer, resCount follows.
    EXPECT_EQ(ohci_->InjectArBytes(OhciController::ContextId::kArResponse, garbage), 20u);
    EXPECT_EQ(ResCount(ar, 0), 4u);
    EXPECT_EQ(Stored(ar, 20), std::vector<uint8_t>(garbage.begin(), garbage.begin() + 20));
    EXPECT_NE(IntEvent() & kRsPkt, 0u);
    // The next 32 bytes straddle into the second buffer and stop at the end of the program.
    std::vector<uint8_t> more(32, 0xEE);
    EXPECT_EQ(ohci_->InjectArBytes(OhciController::ContextId::kArResponse, more), 28u);
    EXPECT_EQ(ResCount(ar, 0), 0u);
    EXPECT_EQ(ResCount(ar, 1), 0u);
    EXPECT_EQ(Stored(ar, 48).back(), 0xEE);
    EXPECT_EQ(ohci_->InjectArBytes(OhciController::ContextId::kArResponse, more), 0u);
    // A context that is not running stores nothing; neither does a transmit context.
    EXPECT_EQ(ohci_->InjectArBytes(OhciController::ContextId::kArRequest, more), 0u);
    EXPECT_EQ(ohci_->InjectArBytes(OhciController::ContextId::kAtRequest, more), 0u);
}

}  // namespace
}  // namespace sim::async_test
