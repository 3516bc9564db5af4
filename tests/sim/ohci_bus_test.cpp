// The controller as the local node of a bus: bus reset and self-ID reception (OHCI 1.1 chapter 11),
// the self-ID faults a test can inject, the configuration ROM shadow, and the requests the
// controller answers in hardware (configuration ROM reads, serial-bus resource locks, physical
// requests) or routes to the AR request context through the request filters.
#include <cstring>

#include "ohci_fixture.h"

namespace sim::ohci_test {
namespace {

// Self-ID packet #0 (IEEE 1394-1995 4.3.4.1, IEEE 1394a): 10b, phy_ID 29:24, L 22, gap_cnt 21:16,
// sp 15:14, c 11, pwr 10:8, p0 7:6, p1 5:4, p2 3:2, i 1, m 0. Port codes: 3 child, 2 parent,
// 1 not connected.
uint32_t SelfId0(uint32_t phyId, bool link, uint32_t gap, uint32_t sp, bool contender, uint32_t p0, uint32_t p1,
                 uint32_t p2, bool initiator) {
    return 0x80000000u | (phyId << 24) | (uint32_t(link) << 22) | (gap << 16) | (sp << 14) |
           (uint32_t(contender) << 11) | (p0 << 6) | (p1 << 4) | (p2 << 2) | (uint32_t(initiator) << 1);
}
constexpr uint32_t kChild = 3, kParent = 2, kNone = 1, kS400Code = 2;

// Three nodes in a chain: the controller (port 0) - B (port 0 | port 1) - C (port 0). Tree
// identification makes B root; its children take physical IDs in port order: the controller 0,
// C 1, B 2.
class OhciOnBus : public OhciTest {
protected:
    bus_test::TestNode* b = nullptr;
    bus_test::TestNode* c = nullptr;

    void SetUp() override {
        MakeOnBus();
        b = AddNode();
        c = AddNode();
        bus.Connect(ohci, 0, b, 0);
        bus.Connect(b, 1, c, 0);
        host.RunFor(5 * kTicksPerMillisecond);
        BringUp();
        ResetBus();
    }

    uint16_t Id(uint32_t phyId) const { return uint16_t(0xFFC0 | phyId); }

    // A request from C to the controller (physical ID 0).
    Packet Request(uint8_t tcode, uint64_t offset) {
        Packet p;
        p.SetDestinationId(Id(0));
        p.SetTlabel(5);
        p.SetTcode(tcode);
        p.SetSourceId(Id(1));
        p.SetOffset(offset);
        p.speed = kS100;
        return p;
    }
    // Sends it and returns the ack; the response (if any) is C's last packet after the clock ran.
    Ack Send(const Packet& p) {
        const Ack ack = bus.SendAsync(c, p);
        host.RunFor(kTicksPerMillisecond);
        return ack;
    }
    const Packet* LastResponse() const { return c->packets.empty() ? nullptr : &c->packets.back(); }

    static uint32_t Be(const std::vector<uint8_t>& d, size_t at) {
        return (uint32_t(d[at]) << 24) | (uint32_t(d[at + 1]) << 16) | (uint32_t(d[at + 2]) << 8) | d[at + 3];
    }
    static void PutBe(std::vector<uint8_t>& d, uint32_t v) {
        for (int s = 24; s >= 0; s -= 8) d.push_back(uint8_t(v >> s));
    }
};

// The PHY asks for an interrupt with a status transfer when Port_event is set (IEEE 1394a 5B): the
// link sets IntEvent.phy (OHCI 1.1 6.1), which raises the line when IntMask.phy allows it. Only a
// port with Int_enable raises Port_event, and a link without power takes no status transfer.
TEST_F(OhciOnBus, PortEventReachesTheLinkAsIntEventPhy) {
    constexpr uint32_t kPhyInterrupt = 1u << 19;
    constexpr uint8_t kPortEvent = 0x04, kIntEnable = 0x10;
    W(IntEventClear, 0xFFFFFFFF);
    W(IntMaskSet, kMasterIntEnable | kPhyInterrupt);
    bus.Disconnect(b, 1);   // a port without Int_enable: no Port_event
    host.RunFor(5 * kTicksPerMillisecond);
    EXPECT_EQ(R(IntEventSet) & kPhyInterrupt, 0u);
    EXPECT_EQ(PhyRead(5) & kPortEvent, 0u);
    PhyWrite(7, 0x00);                   // page 0 (port status), port 0
    PhyWrite(9, PhyRead(9) | kIntEnable);
    W(IntEventClear, 0xFFFFFFFF);
    bus.Disconnect(ohci, 0);
    EXPECT_NE(R(IntEventSet) & kPhyInterrupt, 0u);
    EXPECT_TRUE(host.InterruptLine());
    EXPECT_NE(PhyRead(5) & kPortEvent, 0u) << "the link reads r5 to learn why";
    PhyWrite(5, (PhyRead(5) & ~0x3Cu) | kPortEvent);   // write 1 to clear Port_event alone
    W(IntEventClear, 0xFFFFFFFF);
    EXPECT_FALSE(host.InterruptLine());
    // Masked, the event is recorded without raising the line.
    W(IntMaskClear, kPhyInterrupt);
    bus.Connect(ohci, 0, b, 0);
    EXPECT_NE(R(IntEventSet) & kPhyInterrupt, 0u);
    EXPECT_FALSE(host.InterruptLine());
    // No link power: Port_event is set, but no status transfer reaches the link.
    host.RunFor(5 * kTicksPerMillisecond);
    PhyWrite(5, (PhyRead(5) & ~0x3Cu) | kPortEvent);
    W(HCControlClear, kLPS);
    W(IntEventClear, 0xFFFFFFFF);
    bus.Disconnect(ohci, 0);
    EXPECT_EQ(R(IntEventSet) & kPhyInterrupt, 0u);
    EXPECT_TRUE(ohci->phy().PortEvent());
}

TEST_F(OhciOnBus, SelfIdBufferAndRegistersAfterReset) {
    const uint8_t generation = uint8_t(R(SelfIDCount) >> 16);
    EXPECT_EQ(generation, 1) << "one reset with the link powered";
    const std::vector<uint32_t> expected = {
        SelfId0(0, true, 63, kS400Code, true, kParent, kNone, kNone, true),  // the controller: initiated
        SelfId0(1, true, 63, kS400Code, false, kParent, kNone, kNone, false),
        SelfId0(2, true, 63, kS400Code, false, kChild, kChild, kNone, false),  // root
    };
    EXPECT_EQ(expected[0], 0x807F8896u);
    // SelfIDCount: generation 23:16, selfIDSize 10:2 = header + 3 packets with their inverses.
    EXPECT_EQ(R(SelfIDCount), (uint32_t(generation) << 16) | (7u << 2));
    const auto q = SelfIdBufferQuadlets();
    ASSERT_EQ(q.size(), 7u);
    EXPECT_EQ(q[0] >> 16, generation) << "quadlet 0: selfIDGeneration 23:16 | timeStamp";
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(q[1 + 2 * i], expected[i]) << "packet " << i;
        EXPECT_EQ(q[2 + 2 * i], ~expected[i]) << "inverse " << i;
    }
    // NodeID: iDValid, not root, cable power, busNumber 0x3FF, nodeNumber 0.
    EXPECT_EQ(R(NodeID), kIdValid | kCPS | 0xFFC0u);
    EXPECT_TRUE(R(IntEventSet) & kSelfIDComplete);
    EXPECT_TRUE(R(IntEventSet) & kSelfIDComplete2);
    EXPECT_TRUE(host.faults().empty());
}

TEST_F(OhciOnBus, BusResetThenSelfIdCompleteAndGenerationCounts) {
    W(IntEventClear, 0xFFFFFFFF);
    W(IntMaskSet, kMasterIntEnable | kBusReset | kSelfIDComplete);
    const uint8_t before = uint8_t(R(SelfIDCount) >> 16);
    for (int reset = 1; reset <= 3; ++reset) {
        SCOPED_TRACE(reset);
        PhyWrite(1, PhyRead(1) | 0x40);  // IBR
        // The reset has started: busReset, NodeID no longer valid, selfIDComplete cleared.
        EXPECT_TRUE(R(IntEventSet) & kBusReset);
        EXPECT_EQ(R(IntEventSet) & kSelfIDComplete, 0u);
        EXPECT_EQ(R(NodeID) & kIdValid, 0u);
        EXPECT_TRUE(host.InterruptLine());
        W(IntEventClear, kBusReset);
        EXPECT_FALSE(host.InterruptLine());
        host.RunFor(5 * kTicksPerMillisecond);
        EXPECT_TRUE(R(IntEventSet) & kSelfIDComplete);
        EXPECT_TRUE(R(NodeID) & kIdValid);
        const uint8_t generation = uint8_t(before + reset);
        EXPECT_EQ(uint8_t(R(SelfIDCount) >> 16), generation);
        EXPECT_EQ(uint8_t(SelfIdBufferQuadlets()[0] >> 16), generation);
        W(IntEventClear, kSelfIDComplete);
    }
}

TEST_F(OhciOnBus, RootNodeIdAndSelfIdOnABusOfOne) {
    bus.Disconnect(ohci, 0);
    host.RunFor(5 * kTicksPerMillisecond);
    EXPECT_EQ(R(NodeID), kIdValid | kRoot | kCPS | 0xFFC0u);
    const auto q = SelfIdBufferQuadlets();
    ASSERT_EQ(q.size(), 3u);
    EXPECT_EQ(q[1], SelfId0(0, true, 63, kS400Code, true, kNone, kNone, kNone, true));
    EXPECT_EQ(q[2], ~q[1]);
}

struct FaultCase {
    OhciController::SelfIdFault fault;
    const char* name;
};

TEST_F(OhciOnBus, SelfIdFaultsDamageTheNextReceptionOnly) {
    using F = OhciController::SelfIdFault;
    const FaultCase cases[] = {{F::kBadInverse, "bad inverse"},
                               {F::kWrongGeneration, "wrong generation"},
                               {F::kJunkAfter, "junk after"},
                               {F::kSelfIdError, "selfIDError"}};
    for (const auto& fc : cases) {
        SCOPED_TRACE(fc.name);
        ohci->selfIdFault = fc.fault;
        ResetBus();
        const uint32_t count = R(SelfIDCount);
        const auto q = SelfIdBufferQuadlets();
        bool badPair = false;
        for (size_t i = 1; i + 1 < q.size(); i += 2) badPair |= q[i + 1] != ~q[i];
        EXPECT_EQ(badPair, fc.fault == F::kBadInverse);
        EXPECT_EQ((q[0] >> 16) != ((count >> 16) & 0xFF), fc.fault == F::kWrongGeneration);
        EXPECT_EQ(q.size(), fc.fault == F::kJunkAfter ? 9u : 7u);
        if (fc.fault == F::kJunkAfter) {
            EXPECT_NE(q[7] >> 30, 2u) << "not a self-ID packet";
        }
        EXPECT_EQ((count >> 31) != 0, fc.fault == F::kSelfIdError);
        // The next reception is clean again.
        ResetBus();
        EXPECT_EQ(R(SelfIDCount) >> 31, 0u);
        EXPECT_EQ(SelfIdBufferQuadlets().size(), 7u);
    }
}

TEST_F(OhciOnBus, UnmappedSelfIdBufferIsAFaultAndSelfIdError) {
    W(SelfIDBuffer, 0x7FF00000);
    ResetBus();
    EXPECT_TRUE(R(SelfIDCount) & (1u << 31));
    ASSERT_FALSE(host.faults().empty());
    EXPECT_EQ(host.faults().back().address, 0x7FF00000u);
    EXPECT_TRUE(host.faults().back().write);
}

TEST_F(OhciOnBus, ConfigRomQuadletAndBlockReadsAnsweredInHardware) {
    // Quadlets 0..4 come from ConfigROMhdr, BusID, BusOptions, GUIDHi, GUIDLo; the rest and block
    // reads from the ConfigROMmap image. BusOptions (0x0064A002 at reset) differs from the
    // image's quadlet 2 (0xF000A002) here on purpose.
    struct Case {
        uint64_t offset;
        uint32_t value;
    } cases[] = {{0x400, 0x04040000}, {0x404, 0x31333934}, {0x408, 0x0064A002},
                 {0x40C, 0x00112233}, {0x410, 0x44556677}, {0x414, 0x00000000}};
    host.Write32(romImage + 0x14, 0x78563412);  // quadlet 5 = 0x12345678 big-endian in memory
    cases[5].value = 0x12345678;
    for (const auto& k : cases) {
        SCOPED_TRACE(k.offset);
        EXPECT_EQ(Send(Request(kTcodeReadQuadletRequest, kCsrBase + k.offset)), kAckPending);
        const Packet* r = LastResponse();
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->Tcode(), kTcodeReadQuadletResponse);
        EXPECT_EQ(r->Rcode(), kRcodeComplete);
        EXPECT_EQ(r->Tlabel(), 5);
        EXPECT_EQ(r->DestinationId(), Id(1));
        EXPECT_EQ(r->SourceId(), Id(0));
        EXPECT_EQ(r->QuadletData(), k.value);
    }
    Packet block = Request(kTcodeReadBlockRequest, kCsrBase + 0x400);
    block.SetDataLengthAndExtendedTcode(24, 0);
    EXPECT_EQ(Send(block), kAckPending);
    const Packet* r = LastResponse();
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->Tcode(), kTcodeReadBlockResponse);
    EXPECT_EQ(r->DataLength(), 24);
    ASSERT_EQ(r->data.size(), 24u);
    EXPECT_EQ(Be(r->data, 0), 0x04040000u);
    EXPECT_EQ(Be(r->data, 8), 0xF000A002u) << "block reads come from the image";
    EXPECT_EQ(Be(r->data, 20), 0x12345678u);
    // Past the ROM: address error.
    block.SetOffset(kCsrBase + 0x7F0);
    block.SetDataLengthAndExtendedTcode(32, 0);
    Send(block);
    EXPECT_EQ(LastResponse()->Rcode(), kRcodeAddressError);
    // Nothing of this reached the AR request context's filter: it was never opened.
    EXPECT_EQ(R(AsReqFilterLoSet), 0u);
}

TEST_F(OhciOnBus, ConfigRomShadowTakesEffectAtTheNextBusReset) {
    const uint32_t next = MakeRomImage({0x04051234, 0x31333934, 0xE000B002, 0x00112233, 0x44556677, 0xCAFEF00D});
    W(ConfigROMmap, next);
    EXPECT_EQ(R(ConfigROMhdr), 0x04040000u) << "the link is enabled: the new map waits for a reset";
    Send(Request(kTcodeReadQuadletRequest, kCsrBase + 0x414));
    EXPECT_EQ(LastResponse()->QuadletData(), 0u) << "still the old image";
    ResetBus();
    EXPECT_EQ(R(ConfigROMmap), next);
    EXPECT_EQ(R(ConfigROMhdr), 0x04051234u) << "loaded from quadlet 0 of the new image";
    EXPECT_EQ(R(BusOptions), 0xE000B002u) << "loaded from quadlet 2 of the new image";
    Send(Request(kTcodeReadQuadletRequest, kCsrBase + 0x414));
    EXPECT_EQ(LastResponse()->QuadletData(), 0xCAFEF00Du);
    Send(Request(kTcodeReadQuadletRequest, kCsrBase + 0x400));
    EXPECT_EQ(LastResponse()->QuadletData(), 0x04051234u);
}

TEST_F(OhciOnBus, LockOfBandwidthAvailableAnsweredInHardware) {
    auto lock = [&](uint64_t offset, uint16_t extended, uint32_t arg, uint32_t data) {
        Packet p = Request(kTcodeLockRequest, kCsrBase + offset);
        p.SetDataLengthAndExtendedTcode(8, extended);
        PutBe(p.data, arg);
        PutBe(p.data, data);
        EXPECT_EQ(Send(p), kAckPending);
        return LastResponse();
    };
    // compare_swap 4915 -> 4595: old value 4915 returned, 4 bytes (IEEE 1394-1995 6.2.4.11).
    const Packet* r = lock(0x220, kLockCompareSwap, 4915, 4595);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->Tcode(), kTcodeLockResponse);
    EXPECT_EQ(r->Rcode(), kRcodeComplete);
    EXPECT_EQ(r->DataLength(), 4);
    EXPECT_EQ(r->ExtendedTcode(), kLockCompareSwap);
    ASSERT_EQ(r->data.size(), 4u);
    EXPECT_EQ(Be(r->data, 0), 4915u);
    // A stale compare value leaves it and returns the current one.
    r = lock(0x220, kLockCompareSwap, 4915, 100);
    EXPECT_EQ(Be(r->data, 0), 4595u);
    // The local CSR unit sees the same register.
    W(CSRCompareData, 0xFFFFFFFF);
    W(CSRControl, 1);
    EXPECT_EQ(R(CSRReadData), 4595u);
    // Bus manager contention from C.
    r = lock(0x21C, kLockCompareSwap, 0x3F, 1);
    EXPECT_EQ(Be(r->data, 0), 0x3Fu);
    // Other lock functions on these registers are refused.
    r = lock(0x224, kLockFetchAdd, 0, 1);
    EXPECT_EQ(r->Rcode(), kRcodeTypeError);
    // A bus reset returns them to their initial values.
    ResetBus();
    W(CSRControl, 1);
    EXPECT_EQ(R(CSRReadData), 4915u);
    W(CSRControl, 0);
    EXPECT_EQ(R(CSRReadData), 0x3Fu);
}

TEST_F(OhciOnBus, InitialChannelsAvailableLoadedAtBusReset) {
    W(InitialChannelsAvailableHi, 0xFFFFFFFE);  // broadcast channel 31 pre-allocated
    W(InitialBandwidthAvailable, 4000);
    ResetBus();
    W(CSRCompareData, 0);
    W(CSRControl, 2);
    EXPECT_EQ(R(CSRReadData), 0xFFFFFFFEu);
    W(CSRControl, 1);
    EXPECT_EQ(R(CSRReadData), 4000u);
}

// An AR request context program of one INPUT_MORE descriptor (cmd 2, s 1, b 3) filling a buffer.
TEST_F(OhciOnBus, RequestFiltersRouteToTheArRequestContext) {
    const uint32_t program = host.Map(4096);
    const uint32_t buffer = host.Map(4096);
    host.Write32(program + 0, 0x280C0000u | 4096);
    host.Write32(program + 4, buffer);
    host.Write32(program + 8, 0);
    host.Write32(program + 12, 4096);
    W(AsReqRcvCommandPtr, program | 1);
    W(AsReqRcvContextControlSet, 0x8000);
    W(IntEventClear, 0xFFFFFFFF);

    Packet write = Request(kTcodeWriteQuadletRequest, 0xFFFFF0010000ull);
    write.header[3] = 0x11223344;
    EXPECT_EQ(Send(write), kAckTypeError) << "source not enabled in AsynchronousRequestFilter";
    EXPECT_EQ(R(IntEventSet) & kRQPkt, 0u);
    W(AsReqFilterLoSet, 1u << 0);  // node 0 only
    EXPECT_EQ(Send(write), kAckTypeError);
    W(AsReqFilterLoSet, 1u << 1);  // node 1 (C)
    EXPECT_EQ(Send(write), kAckPending);
    EXPECT_TRUE(R(IntEventSet) & kRQPkt);
    // The stored header, as received: q0 destination_ID | tl | rt | tcode.
    EXPECT_EQ(host.Read32(buffer), write.header[0]);
    EXPECT_EQ(host.Read32(buffer + 4), write.header[1]);
    // A request from node 4 of another bus: refused until asynReqAllBuses, which accepts every
    // source (the local bus's too).
    Packet remote = write;
    remote.SetSourceId(uint16_t((0x123 << 6) | 4));
    EXPECT_EQ(Send(remote), kAckTypeError);
    W(AsReqFilterHiSet, 0x80000000);
    EXPECT_EQ(Send(remote), kAckPending);
    W(AsReqFilterLoClear, 0xFFFFFFFF);
    EXPECT_EQ(Send(write), kAckPending);
    W(AsReqFilterHiClear, 0x80000000);
    EXPECT_EQ(Send(write), kAckTypeError);
    // Responses go to the AR response context (not running here: busy).
    Packet response = MakeResponse(Request(kTcodeReadQuadletRequest, 0), Id(1), kRcodeComplete);
    response.SetDestinationId(Id(0));
    EXPECT_EQ(bus.SendAsync(c, response), kAckBusyX);
}

// After a reset the AR request context holds the bus-reset packet (tcode 0xE, the new
// selfIDGeneration in bits 23:16 of quadlet 2, evt_bus_reset = 0x09 in the trailer), and with
// rcvPhyPkt the PHY packets seen on the bus (quadlet, its inverse) (OHCI 1.1 8.4.2.3, 8.7).
TEST_F(OhciOnBus, ArRequestContextGetsTheBusResetPacketAndPhyPackets) {
    const uint32_t program = host.Map(4096);
    const uint32_t buffer = host.Map(4096);
    host.Write32(program + 0, 0x280C0000u | 4096);
    host.Write32(program + 4, buffer);
    host.Write32(program + 12, 4096);
    W(AsReqRcvCommandPtr, program | 1);
    W(AsReqRcvContextControlSet, 0x8000);
    ResetBus();
    const uint32_t generation = (R(SelfIDCount) >> 16) & 0xFF;
    EXPECT_EQ((host.Read32(buffer) >> 4) & 0xF, 0xEu);
    EXPECT_EQ((host.Read32(buffer + 8) >> 16) & 0xFF, generation);
    EXPECT_EQ((host.Read32(buffer + 12) >> 16) & 0x1F, 0x09u);
    // A PHY configuration packet from C (gap count 42, T = 1).
    ASSERT_TRUE(bus.SendPhyPacket(c, (1u << 22) | (42u << 16)));
    EXPECT_EQ((host.Read32(buffer + 16) >> 4) & 0xF, 0xEu);
    EXPECT_EQ(host.Read32(buffer + 20), (1u << 22) | (42u << 16));
    EXPECT_EQ(host.Read32(buffer + 24), ~((1u << 22) | (42u << 16)));
    // Without rcvPhyPkt nothing more is stored.
    W(LinkControlClear, kRcvPhyPkt);
    ASSERT_TRUE(bus.SendPhyPacket(c, (1u << 22) | (40u << 16)));
    EXPECT_EQ(host.Read32(buffer + 32), 0u);
}

TEST_F(OhciOnBus, LockResponseWithoutAckCompleteRaisesLockRespErr) {
    W(ATRetries, 2u << 8);  // maxPhysRespRetries 2
    W(IntEventClear, 0xFFFFFFFF);
    Packet p = Request(kTcodeLockRequest, kCsrBase + 0x21C);
    p.SetDataLengthAndExtendedTcode(8, kLockCompareSwap);
    PutBe(p.data, 0x3F);
    PutBe(p.data, 1);
    c->ack = kAckBusyX;
    EXPECT_EQ(Send(p), kAckPending);
    EXPECT_EQ(c->packets.size(), 3u) << "first try and two retries";
    EXPECT_TRUE(R(IntEventSet) & (1u << 9)) << "lockRespErr";
    // The lock itself took place: the register holds node 1.
    W(CSRCompareData, 0xFFFFFFFF);
    W(CSRControl, 0);
    EXPECT_EQ(R(CSRReadData), 1u);
}

TEST_F(OhciOnBus, ResponseDroppedWhenTheBusResetsFirst) {
    EXPECT_EQ(bus.SendAsync(c, Request(kTcodeReadQuadletRequest, kCsrBase + 0x400)), kAckPending);
    ResetBus();  // the reset starts before the response is due
    EXPECT_TRUE(c->packets.empty()) << "a response belongs to the generation of its request";
}

TEST_F(OhciOnBus, PhysicalRequestsServedByDma) {
    const uint32_t memory = host.Map(4096);
    Packet write = Request(kTcodeWriteQuadletRequest, memory + 8);
    write.header[3] = 0xA1B2C3D4;
    W(AsReqFilterLoSet, 0xFFFFFFFF);
    W(IntEventClear, 0xFFFFFFFF);
    // Physical filter closed: the request is an ordinary one for the AR request context (not
    // running: busy), and memory is untouched.
    EXPECT_EQ(Send(write), kAckBusyX);
    EXPECT_EQ(host.Read32(memory + 8), 0u);
    W(PhyReqFilterLoSet, 1u << 1);
    // postedWriteEnable (set at bring-up): acked complete, written in bus byte order.
    EXPECT_EQ(Send(write), kAckComplete);
    uint8_t bytes[4];
    host.Read(memory + 8, bytes, 4);
    EXPECT_EQ(bytes[0], 0xA1);
    EXPECT_EQ(bytes[3], 0xD4);
    // Read back by a quadlet read and a block read.
    EXPECT_EQ(Send(Request(kTcodeReadQuadletRequest, memory + 8)), kAckPending);
    EXPECT_EQ(LastResponse()->Tcode(), kTcodeReadQuadletResponse);
    EXPECT_EQ(LastResponse()->QuadletData(), 0xA1B2C3D4u);
    Packet blockRead = Request(kTcodeReadBlockRequest, memory + 4);
    blockRead.SetDataLengthAndExtendedTcode(8, 0);
    Send(blockRead);
    ASSERT_EQ(LastResponse()->data.size(), 8u);
    EXPECT_EQ(Be(LastResponse()->data, 4), 0xA1B2C3D4u);
    // Without posted writes: ack_pending and a write response.
    W(HCControlClear, kPostedWriteEnable);
    Packet block = Request(kTcodeWriteBlockRequest, memory + 16);
    block.SetDataLengthAndExtendedTcode(4, 0);
    PutBe(block.data, 0x01020304);
    EXPECT_EQ(Send(block), kAckPending);
    EXPECT_EQ(LastResponse()->Tcode(), kTcodeWriteResponse);
    EXPECT_EQ(LastResponse()->Rcode(), kRcodeComplete);
    // A posted write to unmapped memory: postedWriteErr with the source and offset.
    W(HCControlSet, kPostedWriteEnable);
    Packet lost = Request(kTcodeWriteQuadletRequest, 0x7FF00010);
    EXPECT_EQ(Send(lost), kAckComplete);
    EXPECT_TRUE(R(IntEventSet) & kPostedWriteErr);
    EXPECT_EQ(R(PostedWriteAddressHi), uint32_t(Id(1)) << 16);
    EXPECT_EQ(R(PostedWriteAddressLo), 0x7FF00010u);
    // Above PhysicalUpperBound (bits 47:16 of the end of the physical range): not physical.
    W(PhysicalUpperBound, 0x00000010);  // 0x00100000
    EXPECT_EQ(Send(write), kAckBusyX);
    W(PhysicalUpperBound, 0);
    // A bus reset clears the PhysicalRequestFilter.
    ResetBus();
    EXPECT_EQ(R(PhyReqFilterLoSet), 0u);
}

TEST_F(OhciOnBus, BusNumberIsSoftwaresAndAnswered) {
    // NodeID: busNumber 15:6 is written by software, nodeNumber and the flags are the hardware's.
    W(NodeID, (0x029u << 6) | 0x3F | kRoot);
    EXPECT_EQ(R(NodeID), kIdValid | kCPS | (0x029u << 6));
    Packet read = Request(kTcodeReadQuadletRequest, kCsrBase + 0x404);
    read.SetDestinationId(uint16_t(0x029u << 6));
    EXPECT_EQ(Send(read), kAckPending);
    ASSERT_NE(LastResponse(), nullptr);
    EXPECT_EQ(LastResponse()->SourceId(), uint16_t(0x029u << 6)) << "answered from the bus it was addressed to";
    EXPECT_EQ(LastResponse()->QuadletData(), 0x31333934u);
}

TEST_F(OhciOnBus, GuidIsReadOnlyWhileTheLinkIsEnabled) {
    W(GUIDHi, 0xAABBCCDD);
    EXPECT_EQ(R(GUIDHi), 0x00112233u);
    W(HCControlClear, kLinkEnable);
    W(GUIDHi, 0xAABBCCDD);
    EXPECT_EQ(R(GUIDHi), 0xAABBCCDDu);
}

TEST_F(OhciOnBus, LinkDisabledAcksNothing) {
    W(HCControlClear, kLinkEnable);
    EXPECT_EQ(Send(Request(kTcodeReadQuadletRequest, kCsrBase + 0x400)), kAckMissing);
    EXPECT_TRUE(c->packets.empty());
}

}  // namespace
}  // namespace sim::ohci_test
