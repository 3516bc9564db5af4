// Requests another node sends to the local node, answered by the driver on the model: the local
// CSR space (SPLIT_TIMEOUT, TOPOLOGY_MAP, the resource registers), addresses nobody serves, and
// requests whose lengths or extended tcodes no answer fits. The link answers configuration ROM
// reads and resource-register locks itself; the rest reaches the driver's AR request context.
#include <functional>

#include "async/async_packet.h"
#include "core/controller.h"
#include "requester_node.h"

namespace {

constexpr uint64_t kSplitHi = 0xFFFFF0000018ull;
constexpr uint64_t kSplitLo = 0xFFFFF000001Cull;
constexpr uint64_t kTopologyMap = 0xFFFFF0001000ull;
constexpr uint64_t kBandwidth = 0xFFFFF0000220ull;

class IncomingTest : public SimBusTest {
protected:
    void SetUp() override {
        BuildBus(0);
        requester_ = static_cast<RequesterNode*>(sim_->bus.Add(std::make_unique<RequesterNode>()));
        ASSERT_TRUE(sim_->bus.Connect(sim_->controller, 0, requester_, 0));
        hk::RunFor(10 * kMs100ns);
        Start();
        ASSERT_EQ(start_, STATUS_SUCCESS);
    }
    uint16_t Local() { return sim_->controller->NodeId(); }
    ULONG Counter(ULONG offset) { return Controller()->Statistics.Counters[offset / 4]; }

    RequesterNode* requester_ = nullptr;
};

struct Exchange {
    const char* name;
    std::function<sim::Packet(RequesterNode&, uint16_t)> request;
    uint8_t rcode;
};

// SPLIT_TIMEOUT_HI and _LO written and read by another node, in order: what each answers, and
// the pair the driver keeps (256.023 s at most).
TEST_F(IncomingTest, SplitTimeoutFromTheBus) {
    const Exchange rows[] = {
        {"HI 256", [](RequesterNode& n, uint16_t to) { return n.WriteQuadlet(to, kSplitHi, 256); }, 5},
        {"HI 2 with LO 100 ms", [](RequesterNode& n, uint16_t to) { return n.WriteQuadlet(to, kSplitHi, 2); }, 0},
        {"LO with bits 18:0", [](RequesterNode& n, uint16_t to) { return n.WriteQuadlet(to, kSplitLo, 0x19000001); }, 5},
        {"HI 255", [](RequesterNode& n, uint16_t to) { return n.WriteQuadlet(to, kSplitHi, 255); }, 0},
        {"LO 1023 ms, 256.023 s", [](RequesterNode& n, uint16_t to) { return n.WriteQuadlet(to, kSplitLo, 0xFFC00000); },
         0},
        {"HI 256 again", [](RequesterNode& n, uint16_t to) { return n.WriteQuadlet(to, kSplitHi, 256); }, 5},
        {"block write of HI", [](RequesterNode& n, uint16_t to) { return n.WriteBlock(to, kSplitHi, BusBytes({1})); },
         6},
        {"block read of LO", [](RequesterNode& n, uint16_t to) { return n.ReadBlock(to, kSplitLo, 4); }, 6},
        {"lock of HI", [](RequesterNode& n, uint16_t to) { return n.Lock(to, kSplitHi, 2, BusBytes({255, 1})); }, 6},
    };
    for (const Exchange& row : rows) {
        SCOPED_TRACE(row.name);
        const sim::Packet* response = requester_->Transact(row.request(*requester_, Local()));
        ASSERT_NE(response, nullptr);
        EXPECT_EQ(response->Rcode(), row.rcode);
    }
    EXPECT_EQ(Controller()->LocalCsr.SplitTimeoutHi, 255u);
    EXPECT_EQ(Controller()->LocalCsr.SplitTimeoutLo, 0xFFC00000u);
    EXPECT_EQ(SplitTimeoutMs(Controller()), 256023u);
    const sim::Packet* hi = requester_->Transact(requester_->ReadQuadlet(Local(), kSplitHi));
    ASSERT_NE(hi, nullptr);
    EXPECT_EQ(hi->Rcode(), 0);
    EXPECT_EQ(hi->QuadletData(), 255u);
}

// The TOPOLOGY_MAP, the resource registers and addresses nobody serves.
TEST_F(IncomingTest, CsrSpaceFromTheBus) {
    const ULONG* image = Controller()->TopologyMapImage;
    const sim::Packet* r = requester_->Transact(requester_->ReadQuadlet(Local(), kTopologyMap + 8));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->Rcode(), 0);
    EXPECT_EQ(r->QuadletData(), __builtin_bswap32(image[2]));
    EXPECT_EQ(r->QuadletData() >> 16, Controller()->NodeCount);
    r = requester_->Transact(requester_->ReadBlock(Local(), kTopologyMap + 0x3F0, 16));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->Rcode(), 0);
    ASSERT_EQ(r->data.size(), 16u);
    EXPECT_EQ(memcmp(r->data.data(), reinterpret_cast<const UCHAR*>(image) + 0x3F0, 16), 0);
    r = requester_->Transact(requester_->ReadQuadlet(Local(), kBandwidth));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->Rcode(), 0);
    EXPECT_EQ(r->QuadletData(), 0x1333u);  // BANDWIDTH_AVAILABLE after a reset: 4915 units

    const Exchange rows[] = {
        {"block past the map's end",
         [](RequesterNode& n, uint16_t to) { return n.ReadBlock(to, kTopologyMap + 0x3FC, 8); }, 6},
        {"unaligned quadlet in the map", [](RequesterNode& n, uint16_t to) { return n.ReadQuadlet(to, kTopologyMap + 2); },
         7},
        {"write into the map", [](RequesterNode& n, uint16_t to) { return n.WriteQuadlet(to, kTopologyMap, 1); }, 6},
        {"write of a resource register",
         [](RequesterNode& n, uint16_t to) { return n.WriteQuadlet(to, kBandwidth, 1); }, 6},
        {"STATE_CLEAR", [](RequesterNode& n, uint16_t to) { return n.ReadQuadlet(to, 0xFFFFF0000000ull); }, 7},
        {"memory nobody maps", [](RequesterNode& n, uint16_t to) { return n.WriteQuadlet(to, 0x000123450000ull, 1); },
         7},
    };
    for (const Exchange& row : rows) {
        SCOPED_TRACE(row.name);
        r = requester_->Transact(row.request(*requester_, Local()));
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->Rcode(), row.rcode);
    }
    EXPECT_EQ(Controller()->LocalCsr.BandwidthAvailable, 0x1333u);
}

// Requests no answer fits: an unknown extended tcode, a data_length no lock takes, a block longer
// than any response, a lock nobody serves. Each gets its rcode (a refused lock no data), the
// driver and the next request carry on, and the answers are counted.
TEST_F(IncomingTest, BadRequestsFromTheBus) {
    ULONG typeErrors = Counter(0x18);
    struct Row {
        const char* name;
        sim::Packet request;
        uint8_t tcode;
        uint8_t rcode;
        size_t data;
    };
    constexpr uint8_t kLock = sim::kTcodeLockResponse, kBlock = sim::kTcodeReadBlockResponse;
    constexpr uint64_t kNowhere = 0x000123450000ull;
    const Row rows[] = {
        {"extended tcode 7", requester_->Lock(Local(), kSplitHi, 7, BusBytes({0, 1})), kLock, 6, 0},
        {"extended tcode 0", requester_->Lock(Local(), kSplitHi, 0, BusBytes({0, 1})), kLock, 6, 0},
        {"compare_swap of 12 bytes", requester_->Lock(Local(), kSplitHi, 2, BusBytes({0, 1, 2})), kLock, 6, 0},
        {"read block of 5000 bytes", requester_->ReadBlock(Local(), kNowhere, 5000), kBlock, 6, 0},
        {"compare_swap nobody serves", requester_->Lock(Local(), kNowhere, 2, BusBytes({0, 1})), kLock, 7, 4},
        {"64-bit compare_swap nobody serves", requester_->Lock(Local(), kNowhere, 2, BusBytes({0, 1, 2, 3})), kLock, 7,
         8},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const sim::Packet* r = requester_->Transact(row.request);
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->Tcode(), row.tcode);
        EXPECT_EQ(r->Rcode(), row.rcode);
        EXPECT_EQ(r->DataLength(), row.data);
    }
    EXPECT_EQ(Counter(0x18), typeErrors + 4);
    // A broadcast read is not answered.
    const sim::Packet* r = requester_->Transact(requester_->ReadQuadlet(0xFFFF, kSplitHi));
    EXPECT_EQ(r, nullptr);
    r = requester_->Transact(requester_->ReadQuadlet(Local(), kSplitHi));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->Rcode(), 0);
}

}  // namespace
