// A plain CSR node on the bus: configuration ROM reads at 0xFFFFF0000400, register reads and
// writes, the IEEE 1212 lock functions, split transactions and the faults a test switches on.
#include <gtest/gtest.h>

#include "csr_node.h"
#include "nodes_fixture.h"

namespace {

using namespace nodes_test;
using sim::CsrNode;

constexpr uint64_t kRom = 0xFFFFF0000400ull;
constexpr uint64_t kReg = 0xFFFFF0010000ull;

std::unique_ptr<CsrNode> PlainNode() {
    sim::RomDirectory root;
    root.Add(0x03, 0x00ACDE).AddText("Plain").Add(0x0C, 0x0083C0);
    sim::BusOptions o;
    o.maxRom = 1;  // block reads up to 64 bytes
    auto node = std::make_unique<CsrNode>("plain", 3, sim::kS400, sim::ConfigRom::Build(o, 0x00ACDE0000000042ull, root));
    node->DefineRegister(kReg, 0x11111111);
    node->DefineRegister(kReg + 4, 0x22222222);
    node->DefineRegister(kReg + 8, 0x33333333, CsrNode::kRead);  // read-only
    return node;
}

TEST(NodesCsr, ConfigurationRomQuadletAndBlockReads) {
    TwoNodeBus<CsrNode> bus(PlainNode());
    const sim::ConfigRom& rom = bus.device->rom();
    for (size_t i = 0; i < rom.size(); ++i) EXPECT_EQ(rom.Quadlet(i), bus.Read(kRom + 4 * i)) << i;
    EXPECT_EQ(0x31333934u, bus.Read(kRom + 4));  // "1394"
    // A block read: response tcode 7, data_length as asked, bytes most significant first.
    sim::Packet r = bus.Transact(ReadBlock(bus.To(), bus.From(), kRom, 20));
    EXPECT_EQ(sim::kTcodeReadBlockResponse, r.Tcode());
    EXPECT_EQ(sim::kRcodeComplete, r.Rcode());
    EXPECT_EQ(20, r.DataLength());
    ASSERT_EQ(20u, r.data.size());
    for (size_t i = 0; i < 5; ++i) EXPECT_EQ(rom.Quadlet(i), DataQuadlet(r, i));
    // max_ROM 1: blocks of at most 64 bytes.
    EXPECT_EQ(sim::kRcodeTypeError, bus.Transact(ReadBlock(bus.To(), bus.From(), kRom, 128)).Rcode());
    // Past the end of the image, and writes to the ROM.
    uint8_t rcode = 0;
    bus.Read(kRom + 4 * rom.size(), &rcode);
    EXPECT_EQ(sim::kRcodeAddressError, rcode);
    EXPECT_EQ(sim::kRcodeTypeError, bus.Write(kRom, 0));
}

TEST(NodesCsr, ResponsesMatchTheirRequests) {
    TwoNodeBus<CsrNode> bus(PlainNode());
    sim::Packet req = ReadQuadlet(bus.To(), bus.From(), kReg);
    req.SetTlabel(0x2A);
    sim::Ack ack = sim::kAckMissing;
    sim::Packet r = bus.Transact(req, &ack);
    // IEEE 1394-1995 6.2.4: response to the requester, same tlabel, tcode 6, data in quadlet 3.
    EXPECT_EQ(sim::kAckPending, ack);
    EXPECT_EQ(bus.From(), r.DestinationId());
    EXPECT_EQ(bus.To(), r.SourceId());
    EXPECT_EQ(0x2A, r.Tlabel());
    EXPECT_EQ(sim::kTcodeReadQuadletResponse, r.Tcode());
    EXPECT_EQ(0x11111111u, r.QuadletData());
    // Virtual time: the response comes after the configured delay.
    bus.device->responseDelay = 37 * sim::kTicksPerMicrosecond;
    sim::Ticks sent = bus.host.Now();
    bus.Transact(req);
    EXPECT_EQ(sent + 37 * sim::kTicksPerMicrosecond, bus.requester->receivedAt.back());
}

TEST(NodesCsr, RegisterReadsWritesAndErrors) {
    TwoNodeBus<CsrNode> bus(PlainNode());
    EXPECT_EQ(sim::kRcodeComplete, bus.Write(kReg, 0xCAFEF00D));
    EXPECT_EQ(0xCAFEF00Du, bus.Read(kReg));
    EXPECT_EQ(0xCAFEF00Du, bus.device->RegisterValue(kReg));
    sim::Packet w = bus.Transact(WriteBlock(bus.To(), bus.From(), kReg, {0xA0A0A0A0, 0xB0B0B0B0}));
    EXPECT_EQ(sim::kTcodeWriteResponse, w.Tcode());
    EXPECT_EQ(sim::kRcodeComplete, w.Rcode());
    sim::Packet r = bus.Transact(ReadBlock(bus.To(), bus.From(), kReg, 12));
    ASSERT_EQ(12u, r.data.size());
    EXPECT_EQ(0xA0A0A0A0u, DataQuadlet(r, 0));
    EXPECT_EQ(0xB0B0B0B0u, DataQuadlet(r, 1));
    EXPECT_EQ(0x33333333u, DataQuadlet(r, 2));
    // Nothing defined there: address_error; a read-only register: type_error, value unchanged.
    uint8_t rcode = 0;
    bus.Read(kReg + 0x100, &rcode);
    EXPECT_EQ(sim::kRcodeAddressError, rcode);
    EXPECT_EQ(sim::kRcodeAddressError, bus.Write(kReg + 0x100, 1));
    EXPECT_EQ(sim::kRcodeTypeError, bus.Write(kReg + 8, 1));
    EXPECT_EQ(0x33333333u, bus.device->RegisterValue(kReg + 8));
    // An error read response carries no data.
    sim::Packet e = bus.Transact(ReadBlock(bus.To(), bus.From(), kReg + 0x100, 8));
    EXPECT_EQ(sim::kRcodeAddressError, e.Rcode());
    EXPECT_EQ(0, e.DataLength());
    EXPECT_TRUE(e.data.empty());
}

TEST(NodesCsr, LockFunctions) {
    // IEEE 1212 8.3.2.2 (IEEE 1394-1995 table 6-5): the old value comes back, the register
    // takes new = f(old, arg, data).
    struct Case {
        uint16_t extended;
        uint32_t old, arg, data, expectedNew;
    };
    const Case cases[] = {
        {sim::kLockMaskSwap, 0xFF00FF00, 0x0F0F0F0F, 0x01010101, 0xF101F101},      // data | (old & ~arg)
        {sim::kLockCompareSwap, 0x0000003F, 0x0000003F, 0x00000002, 0x00000002},  // equal: data
        {sim::kLockCompareSwap, 0x00000005, 0x0000003F, 0x00000002, 0x00000005},  // different: old
        {sim::kLockFetchAdd, 0xFFFFFFFF, 0, 0x00000002, 0x00000001},              // wraps at 32 bits
        {sim::kLockLittleAdd, 0xFF000000, 0, 0x01000000, 0x00010000},             // little-endian carry
        {sim::kLockBoundedAdd, 0x00000010, 0x00000020, 0x00000004, 0x00000014},   // old != arg: add
        {sim::kLockBoundedAdd, 0x00000020, 0x00000020, 0x00000004, 0x00000020},   // at the bound: old
        {sim::kLockWrapAdd, 0x00000010, 0x00000020, 0x00000004, 0x00000014},      // old != arg: add
        {sim::kLockWrapAdd, 0x00000020, 0x00000020, 0x00000004, 0x00000004},      // at the bound: data
    };
    TwoNodeBus<CsrNode> bus(PlainNode());
    for (const Case& c : cases) {
        bus.device->SetRegisterValue(kReg, c.old);
        std::vector<uint32_t> operands;
        if (sim::LockHasArgument(c.extended)) operands.push_back(c.arg);
        operands.push_back(c.data);
        sim::Packet r = bus.Transact(Lock(bus.To(), bus.From(), kReg, c.extended, operands));
        EXPECT_EQ(sim::kTcodeLockResponse, r.Tcode());
        EXPECT_EQ(sim::kRcodeComplete, r.Rcode()) << c.extended;
        EXPECT_EQ(c.extended, r.ExtendedTcode());
        ASSERT_EQ(4, r.DataLength()) << c.extended;
        EXPECT_EQ(c.old, DataQuadlet(r, 0)) << c.extended;
        EXPECT_EQ(c.expectedNew, bus.device->RegisterValue(kReg)) << c.extended;
    }
    // 64-bit compare_swap over two quadlets: arg and data are octlets.
    bus.device->SetRegisterValue(kReg, 0x00000001);
    bus.device->SetRegisterValue(kReg + 4, 0x00000002);
    sim::Packet r = bus.Transact(
        Lock(bus.To(), bus.From(), kReg, sim::kLockCompareSwap, {0x00000001, 0x00000002, 0xAAAAAAAA, 0xBBBBBBBB}));
    ASSERT_EQ(8, r.DataLength());
    EXPECT_EQ(0x00000001u, DataQuadlet(r, 0));
    EXPECT_EQ(0x00000002u, DataQuadlet(r, 1));
    EXPECT_EQ(0xAAAAAAAAu, bus.device->RegisterValue(kReg));
    EXPECT_EQ(0xBBBBBBBBu, bus.device->RegisterValue(kReg + 4));
    // Not lockable, undefined, unknown function, wrong operand size.
    EXPECT_EQ(sim::kRcodeTypeError, bus.Transact(Lock(bus.To(), bus.From(), kReg + 8, sim::kLockFetchAdd, {1})).Rcode());
    EXPECT_EQ(sim::kRcodeAddressError, bus.Transact(Lock(bus.To(), bus.From(), kReg + 0x40, sim::kLockFetchAdd, {1})).Rcode());
    EXPECT_EQ(sim::kRcodeTypeError, bus.Transact(Lock(bus.To(), bus.From(), kReg, 7, {1, 2})).Rcode());
    EXPECT_EQ(sim::kRcodeTypeError, bus.Transact(Lock(bus.To(), bus.From(), kReg, sim::kLockCompareSwap, {1})).Rcode());
}

TEST(NodesCsr, UnifiedWritesCompleteInTheAck) {
    TwoNodeBus<CsrNode> bus(PlainNode());
    bus.device->unifiedWrites = true;
    EXPECT_EQ(sim::kAckComplete, bus.Send(WriteQuadlet(bus.To(), bus.From(), kReg, 5)));
    EXPECT_EQ(sim::kAckAddressError, bus.Send(WriteQuadlet(bus.To(), bus.From(), kReg + 0x40, 5)));
    bus.host.RunFor(sim::kTicksPerMillisecond);
    EXPECT_TRUE(bus.requester->received.empty());
    EXPECT_EQ(5u, bus.device->RegisterValue(kReg));
    EXPECT_EQ(sim::kAckPending, bus.Send(ReadQuadlet(bus.To(), bus.From(), kReg))) << "reads stay split";
}

TEST(NodesCsr, BusyAndDataErrorAcks) {
    TwoNodeBus<CsrNode> bus(PlainNode());
    bus.device->faults.busyAcks = 2;
    bus.device->faults.busyAck = sim::kAckBusyA;
    sim::Packet w = WriteQuadlet(bus.To(), bus.From(), kReg, 9);
    EXPECT_EQ(sim::kAckBusyA, bus.Send(w));
    EXPECT_EQ(sim::kAckBusyA, bus.Send(w));
    EXPECT_EQ(0x11111111u, bus.device->RegisterValue(kReg)) << "a busy request is not carried out";
    EXPECT_EQ(sim::kAckPending, bus.Send(w));
    bus.device->faults.dataErrorAcks = 1;
    EXPECT_EQ(sim::kAckDataError, bus.Send(WriteQuadlet(bus.To(), bus.From(), kReg, 10)));
    bus.host.RunFor(sim::kTicksPerMillisecond);
    EXPECT_EQ(1u, bus.requester->received.size()) << "only the accepted write is answered";
    EXPECT_EQ(9u, bus.device->RegisterValue(kReg));
}

TEST(NodesCsr, LostLateAndErrorResponses) {
    TwoNodeBus<CsrNode> bus(PlainNode());
    bus.device->faults.lostResponses = 1;
    EXPECT_EQ(sim::kAckPending, bus.Send(ReadQuadlet(bus.To(), bus.From(), kReg)));
    bus.host.RunFor(sim::kTicksPerSecond);
    EXPECT_TRUE(bus.requester->received.empty());
    // Late: after 200 ms, past the default split time-out of 100 ms.
    bus.device->faults.lateResponses = 1;
    sim::Ticks sent = bus.host.Now();
    EXPECT_EQ(sim::kAckPending, bus.Send(ReadQuadlet(bus.To(), bus.From(), kReg)));
    bus.host.RunFor(100 * sim::kTicksPerMillisecond);
    EXPECT_TRUE(bus.requester->received.empty());
    bus.host.RunFor(150 * sim::kTicksPerMillisecond);
    ASSERT_EQ(1u, bus.requester->received.size());
    EXPECT_EQ(sent + 200 * sim::kTicksPerMillisecond, bus.requester->receivedAt[0]);
    // An error rcode in place of the data.
    bus.device->faults.errorResponses = 1;
    bus.device->faults.errorRcode = sim::kRcodeConflictError;
    sim::Packet r = bus.Transact(ReadBlock(bus.To(), bus.From(), kReg, 8));
    EXPECT_EQ(sim::kRcodeConflictError, r.Rcode());
    EXPECT_EQ(0, r.DataLength());
    EXPECT_EQ(sim::kRcodeComplete, bus.Transact(ReadBlock(bus.To(), bus.From(), kReg, 8)).Rcode());
}

TEST(NodesCsr, ResponseOfAnOlderGenerationIsDropped) {
    TwoNodeBus<CsrNode> bus(PlainNode());
    bus.device->responseDelay = 500 * sim::kTicksPerMicrosecond;
    EXPECT_EQ(sim::kAckPending, bus.Send(ReadQuadlet(bus.To(), bus.From(), kReg)));
    bus.bus.RequestReset(false);
    bus.host.RunFor(5 * sim::kTicksPerMillisecond);
    EXPECT_FALSE(bus.bus.InReset());
    EXPECT_TRUE(bus.requester->received.empty());
    EXPECT_EQ(1u, bus.device->stats().responsesDropped);
    EXPECT_EQ(0u, bus.device->PendingResponses());
}

TEST(NodesCsr, BroadcastWritesAreNotAnswered) {
    TwoNodeBus<CsrNode> bus(PlainNode());
    uint16_t broadcast = uint16_t((sim::kLocalBus << 6) | sim::kBroadcastPhyId);
    EXPECT_EQ(sim::kAckComplete, bus.Send(WriteQuadlet(broadcast, bus.From(), kReg, 0x77)));
    bus.host.RunFor(sim::kTicksPerMillisecond);
    EXPECT_EQ(0x77u, bus.device->RegisterValue(kReg));
    EXPECT_TRUE(bus.requester->received.empty());
}

TEST(NodesCsr, NodeDestroyedWithAResponsePending) {
    sim::StandaloneHost host;
    {
        sim::Bus bus(host);
        auto* requester = static_cast<Requester*>(bus.Add(std::make_unique<Requester>()));
        auto* device = static_cast<CsrNode*>(bus.Add(PlainNode()));
        ASSERT_TRUE(bus.Connect(requester, 0, device, 0));
        host.RunFor(sim::kTicksPerMillisecond);
        EXPECT_EQ(sim::kAckPending, bus.SendAsync(requester, ReadQuadlet(device->NodeId(), requester->NodeId(), kReg)));
        EXPECT_EQ(1u, device->PendingResponses());
    }
    host.RunFor(sim::kTicksPerMillisecond);  // the cancelled event must not run
    EXPECT_EQ(0u, host.PendingEvents());
}

}  // namespace

namespace {

using namespace nodes_test;

TEST(NodesCsr, CoreRegisters) {
    // IEEE 1394-1995 8.3.2.2 / IEEE 1212 8.3.2: STATE_CLEAR/STATE_SET read the same state and
    // clear/set bits; NODE_IDS gives bus_ID 0x3FF and the physical ID in 31:16; SPLIT_TIMEOUT
    // defaults to 800 cycles (LO 0x19000000); RESET_START is write-only and resets the rest.
    sim::RomDirectory root;
    root.Add(0x0C, 0x0083C0);
    sim::BusOptions o;
    o.cmc = true;
    TwoNodeBus<sim::CsrNode> bus(
        std::make_unique<sim::CsrNode>("plain", 2, sim::kS400, sim::ConfigRom::Build(o, 1, root)));
    const uint64_t base = 0xFFFFF0000000ull;
    EXPECT_EQ(uint32_t(bus.To()) << 16, bus.Read(base + 0x008));
    EXPECT_EQ(0xFFC00000u, bus.Read(base + 0x008) & 0xFFC00000u);
    EXPECT_EQ(0u, bus.Read(base + 0x018));
    EXPECT_EQ(0x19000000u, bus.Read(base + 0x01C));
    EXPECT_EQ(sim::kRcodeComplete, bus.Write(base + 0x004, 1u << 8));  // STATE_SET.cmstr
    EXPECT_EQ(1u << 8, bus.Read(base + 0x000));
    EXPECT_EQ(1u << 8, bus.Read(base + 0x004));
    bus.Write(base + 0x000, 1u << 8);  // STATE_CLEAR.cmstr
    EXPECT_EQ(0u, bus.Read(base + 0x004));
    sim::Packet w = bus.Transact(WriteBlock(bus.To(), bus.From(), base + 0x018, {0x00000002, 0x7D000000}));
    EXPECT_EQ(sim::kRcodeComplete, w.Rcode());
    EXPECT_EQ(2u, bus.Read(base + 0x018));
    EXPECT_EQ(0x7D000000u, bus.Read(base + 0x01C));
    uint8_t rcode = 0;
    bus.Read(base + 0x00C, &rcode);
    EXPECT_EQ(sim::kRcodeTypeError, rcode);
    bus.Write(base + 0x004, 1u << 8);
    EXPECT_EQ(sim::kRcodeComplete, bus.Write(base + 0x00C, 0));
    EXPECT_EQ(0u, bus.Read(base + 0x004));
    EXPECT_EQ(0x19000000u, bus.Read(base + 0x01C));
}

}  // namespace
