// The class interface's asynchronous requests on the hardware model, as a child's driver sends
// them once the dispatcher has unpacked the IRB: reads and writes split into blocks (the node
// sees each block), writes posted from dispatch level, locks with their parameter rules and
// bus-order operands, and the speed flags of stream packets.
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "async/class_async.h"
#include "ohci/bus_order.h"
#include "sim_fixture.h"

namespace {

constexpr ULONGLONG kWindow = 0xFFFF00000000ull;  // where the node serves blocks
constexpr ULONG kTagTest = KX_TAG('T', 'e', 's', 't');

// A plain node that serves reads of a byte pattern and takes writes of any length at kWindow,
// noting each block it sees.
class BlockNode : public sim::CsrNode {
public:
    BlockNode() : sim::CsrNode("blocks", 3, sim::kS400, sim::ConfigRom()) {}
    struct Seen {
        uint64_t offset;
        uint32_t length;
    };
    std::vector<Seen> reads, writes;
    std::vector<uint8_t> written;

    static uint8_t PatternAt(uint64_t address) { return uint8_t(address * 7 + 3); }

    // A faulty node: reads and locks acked ack_complete, which IEEE 1394 allows for writes only,
    // and never answered.
    bool completesReadsInAck = false;
    bool resetsOnWrite = false;  // the next write it receives starts a bus reset
    sim::Ack ReceivePacket(const sim::Packet& packet) override {
        const bool write = packet.Tcode() == sim::kTcodeWriteQuadletRequest || packet.Tcode() == sim::kTcodeWriteBlockRequest;
        if (completesReadsInAck && packet.IsRequest() && !write) return sim::kAckComplete;
        if (resetsOnWrite && write) {
            resetsOnWrite = false;
            bus()->RequestReset(true, this);
        }
        return sim::CsrNode::ReceivePacket(packet);
    }

protected:
    uint8_t ReadBlock(uint64_t offset, uint32_t length, std::vector<uint8_t>* data) override {
        if (offset < kWindow) return sim::CsrNode::ReadBlock(offset, length, data);
        reads.push_back({offset, length});
        data->resize(length);
        for (uint32_t i = 0; i < length; ++i) (*data)[i] = PatternAt(offset + i);
        return sim::kRcodeComplete;
    }
    uint8_t ReadQuadlet(uint64_t offset, uint32_t* value) override {
        if (offset < kWindow) return sim::CsrNode::ReadQuadlet(offset, value);
        reads.push_back({offset, 4});
        *value = 0;
        for (int i = 0; i < 4; ++i) *value = (*value << 8) | PatternAt(offset + i);
        return sim::kRcodeComplete;
    }
    uint8_t WriteBlock(uint64_t offset, const std::vector<uint8_t>& data) override {
        if (offset < kWindow) return sim::CsrNode::WriteBlock(offset, data);
        writes.push_back({offset, uint32_t(data.size())});
        written.insert(written.end(), data.begin(), data.end());
        return sim::kRcodeComplete;
    }
    uint8_t WriteQuadlet(uint64_t offset, uint32_t value) override {
        if (offset < kWindow) return sim::CsrNode::WriteQuadlet(offset, value);
        writes.push_back({offset, 4});
        for (int i = 3; i >= 0; --i) written.push_back(uint8_t(value >> (8 * i)));
        return sim::kRcodeComplete;
    }
};

class ClassAsyncTest : public SimBusTest {
protected:
    void SetUp() override {
        sim_ = std::make_unique<hk::SimulatedController>();
        node_ = static_cast<BlockNode*>(sim_->bus.Add(std::make_unique<BlockNode>()));
        ASSERT_TRUE(sim_->bus.Connect(sim_->controller, 0, node_, 0));
        hk::RunFor(10 * kMs100ns);
        Start();
        ASSERT_EQ(start_, STATUS_SUCCESS);
        buffer_ = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, kBytes, kTagTest));
        ASSERT_NE(buffer_, nullptr);
        memset(buffer_, 0, kBytes);
        mdl_ = IoAllocateMdl(buffer_, kBytes, FALSE, FALSE, nullptr);
        ASSERT_NE(mdl_, nullptr);
        MmBuildMdlForNonPagedPool(mdl_);
    }
    void TearDown() override {
        if (mdl_ != nullptr) IoFreeMdl(mdl_);
        if (buffer_ != nullptr) ExFreePoolWithTag(buffer_, kTagTest);
        SimBusTest::TearDown();
    }

    // Runs `body` on a system thread at passive level while virtual time goes on.
    void RunKernel(const std::function<void()>& body) {
        bool done = false;
        PKTHREAD thread = hk::StartThread("class", hk::SystemProcess(), [&] {
            body();
            done = true;
        });
        for (int i = 0; i < 1000 && !done; ++i) hk::RunFor(10 * kMs100ns);
        hk::JoinThread(thread);
        ASSERT_TRUE(done);
    }

    // A write waited for on a system thread at passive level.
    NTSTATUS WriteAtPassiveLevel(ClassBlockRequest* r) {
        NTSTATUS status = STATUS_PENDING;
        RunKernel([&] { status = ClassAsyncWrite(Controller(), r); });
        return status;
    }
    // A write posted from dispatch level.
    NTSTATUS WriteAtDispatchLevel(ClassBlockRequest* r) {
        KIRQL irql;
        KeRaiseIrql(DISPATCH_LEVEL, &irql);
        NTSTATUS status = ClassAsyncWrite(Controller(), r);
        KeLowerIrql(irql);
        return status;
    }

    ClassBlockRequest Block(ULONG bytes, ULONG blockSize, ULONG flags) {
        ClassBlockRequest r = {};
        r.Node = node_->phy().phyId;
        r.Offset = kWindow;
        r.Mdl = mdl_;
        r.Bytes = bytes;
        r.BlockSize = blockSize;
        r.Flags = flags;
        return r;
    }

    static constexpr ULONG kBytes = 4096;
    BlockNode* node_ = nullptr;
    PUCHAR buffer_ = nullptr;
    PMDL mdl_ = nullptr;
};

struct SplitCase {
    const char* name;
    ULONG bytes;
    ULONG blockSize;
    ULONG flags;
    std::vector<ULONG> lengths;
};

class ClassReadTest : public ClassAsyncTest, public ::testing::WithParamInterface<SplitCase> {};

TEST_P(ClassReadTest, BlocksAsTheNodeSeesThemAndTheDataInTheCallersBuffer) {
    const SplitCase& c = GetParam();
    ClassBlockRequest r = Block(c.bytes, c.blockSize, c.flags);
    NTSTATUS status = STATUS_PENDING;
    RunKernel([&] { status = ClassAsyncRead(Controller(), &r); });
    ASSERT_EQ(status, STATUS_SUCCESS);
    ASSERT_EQ(node_->reads.size(), c.lengths.size());
    ULONG at = 0;
    for (size_t i = 0; i < c.lengths.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(node_->reads[i].length, c.lengths[i]);
        uint64_t offset = c.flags & kClassAsyncFlagsSameOffset ? kWindow : kWindow + at;
        EXPECT_EQ(node_->reads[i].offset, offset);
        for (ULONG k = 0; k < c.lengths[i]; ++k) ASSERT_EQ(buffer_[at + k], BlockNode::PatternAt(offset + k)) << k;
        at += c.lengths[i];
    }
    EXPECT_EQ(r.ElapsedTime > 0, (c.flags & kClassAsyncFlagsElapsedTime) != 0);
}

INSTANTIATE_TEST_SUITE_P(
    Splits, ClassReadTest,
    ::testing::Values(SplitCase{"thousandIn256", 1000, 256, 0, {256, 256, 256, 232}},
                      SplitCase{"noBlockSize", 1000, 0, 0, {1000}},
                      SplitCase{"blockSizeAboveTotal", 100, 512, 0, {100}},
                      SplitCase{"sameOffsetTimed", 24, 8, kClassAsyncFlagsSameOffset | kClassAsyncFlagsElapsedTime,
                                {8, 8, 8}},
                      SplitCase{"oneQuadlet", 4, 0, 0, {4}}),
    [](const ::testing::TestParamInfo<SplitCase>& info) { return std::string(info.param.name); });

TEST_F(ClassAsyncTest, NothingToReadAndBlocksAboveTheSpeedAreRefused) {
    ClassBlockRequest none = Block(0, 0, 0);
    // S400 carries at most 2048 bytes.
    ClassBlockRequest big = Block(4096, 0, 0);
    NTSTATUS a = STATUS_PENDING, b = STATUS_PENDING;
    RunKernel([&] {
        a = ClassAsyncRead(Controller(), &none);
        b = ClassAsyncRead(Controller(), &big);
    });
    EXPECT_EQ(a, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(b, STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(node_->reads.empty());
    // A posted write whose first block is above the speed fails, though its last one would fit.
    ClassBlockRequest posted = Block(4096, 4000, 0);
    EXPECT_EQ(WriteAtDispatchLevel(&posted), STATUS_UNSUCCESSFUL);
    hk::RunFor(10 * kMs100ns);
    EXPECT_TRUE(node_->writes.empty());
}

TEST_F(ClassAsyncTest, ReadsAndLocksCompletedInTheirAckCarryNoDataAndFail) {
    node_->completesReadsInAck = true;
    constexpr ULONGLONG kRegister = 0xFFFFF0010000ull;
    node_->DefineRegister(kRegister, 0x11223344);
    memset(buffer_, 0xEE, 16);
    ClassBlockRequest read = Block(8, 0, 0);
    ClassLockRequest lock = {};
    lock.Node = node_->phy().phyId;
    lock.Offset = kRegister;
    lock.TransactionType = 3;  // fetch_add
    lock.DataBytes = 4;
    lock.DataValues[0] = HostToBus32(1);
    UCHAR old[8] = {0xEE, 0xEE, 0xEE, 0xEE};
    lock.Buffer = old;
    NTSTATUS readStatus = STATUS_PENDING, lockStatus = STATUS_PENDING;
    RunKernel([&] {
        readStatus = ClassAsyncRead(Controller(), &read);
        lockStatus = ClassAsyncLock(Controller(), &lock);
    });
    EXPECT_EQ(readStatus, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(lockStatus, STATUS_UNSUCCESSFUL);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(buffer_[i], 0xEE) << i;
    EXPECT_EQ(old[0], 0xEE);
    // Writes acked complete are whole transactions.
    node_->unifiedWrites = true;
    ClassBlockRequest write = Block(8, 0, 0);
    EXPECT_EQ(WriteAtPassiveLevel(&write), STATUS_SUCCESS);
    EXPECT_EQ(node_->writes.size(), 1u);
}

// A bus reset that begins while a posted write is being queued ends that write in the queue,
// which gives up the write's packet once; the blocks after it fail until the reset is over.
TEST_F(ClassAsyncTest, PostedWritesMeetingABusReset) {
    for (ULONG i = 0; i < 8; ++i) buffer_[i] = UCHAR(0x10 + i);
    ClassBlockRequest posted = Block(8, 4, 0);
    node_->resetsOnWrite = true;
    EXPECT_EQ(WriteAtDispatchLevel(&posted), STATUS_UNSUCCESSFUL);
    ASSERT_EQ(node_->writes.size(), 1u);
    hk::RunFor(100 * kMs100ns);
    node_->writes.clear();
    node_->written.clear();
    EXPECT_EQ(WriteAtDispatchLevel(&posted), STATUS_SUCCESS);
    hk::RunFor(50 * kMs100ns);
    EXPECT_EQ(node_->writes.size(), 2u);
    EXPECT_EQ(std::vector<uint8_t>(node_->written.begin(), node_->written.end()),
              std::vector<uint8_t>(buffer_, buffer_ + 8));
}

// A posted write the node acks pending is answered later, like any write: its label stays taken
// until then, so the answer never completes the next write to the node in its place.
TEST_F(ClassAsyncTest, APostedWritesLateAnswerIsItsOwn) {
    node_->responseDelay = 5 * sim::kTicksPerMillisecond;
    node_->faults.errorResponses = 1;  // the posted write's answer: rcode data_error
    ClassBlockRequest posted = Block(4, 0, 0);
    EXPECT_EQ(WriteAtDispatchLevel(&posted), STATUS_SUCCESS);
    hk::RunFor(1 * kMs100ns);
    ASSERT_EQ(node_->writes.size(), 1u);
    ClassBlockRequest waited = Block(4, 0, 0);
    EXPECT_EQ(WriteAtPassiveLevel(&waited), STATUS_SUCCESS);
    EXPECT_EQ(node_->writes.size(), 2u);
}

// A write posted to the local node goes round through loopback and ends with the local answer,
// leaving nothing on the pending list.
TEST_F(ClassAsyncTest, AWritePostedToTheLocalNodeEnds) {
    ClassBlockRequest local = Block(4, 0, 0);
    local.Node = Controller()->LocalNodeNumber & 0x3F;
    local.Offset = 0xFFFFF0000200ull;  // CYCLE_TIME: answered or refused, the write ends either way
    EXPECT_EQ(WriteAtDispatchLevel(&local), STATUS_SUCCESS);
    hk::RunFor(10 * kMs100ns);
    EXPECT_TRUE(IsListEmpty(&Controller()->PendingList));
}

TEST_F(ClassAsyncTest, WritesWaitedForAtPassiveLevelAndPostedAtDispatchLevel) {
    for (ULONG i = 0; i < 600; ++i) buffer_[i] = UCHAR(i);
    ClassBlockRequest r = Block(600, 256, 0);
    NTSTATUS status = STATUS_PENDING;
    RunKernel([&] { status = ClassAsyncWrite(Controller(), &r); });
    EXPECT_EQ(status, STATUS_SUCCESS);
    ASSERT_EQ(node_->writes.size(), 3u);
    EXPECT_EQ(node_->writes[2].length, 88u);
    EXPECT_EQ(node_->writes[2].offset, kWindow + 512);
    ASSERT_EQ(node_->written.size(), 600u);
    for (ULONG i = 0; i < 600; ++i) ASSERT_EQ(node_->written[i], UCHAR(i)) << i;

    node_->writes.clear();
    node_->written.clear();
    ClassBlockRequest posted = Block(12, 4, kClassAsyncFlagsSameOffset);
    EXPECT_EQ(WriteAtDispatchLevel(&posted), STATUS_SUCCESS);
    hk::RunFor(50 * kMs100ns);
    ASSERT_EQ(node_->writes.size(), 3u);
    for (const BlockNode::Seen& seen : node_->writes) EXPECT_EQ(seen.offset, kWindow);
    EXPECT_EQ(std::vector<uint8_t>(node_->written.begin(), node_->written.end()),
              std::vector<uint8_t>(buffer_, buffer_ + 12));
    // A failed write reports success when the caller asked it to.
    ClassBlockRequest unreachable = Block(8, 0, kClassAsyncFlagsIgnoreResult);
    unreachable.Node = 40;
    RunKernel([&] { status = ClassAsyncWrite(Controller(), &unreachable); });
    EXPECT_EQ(status, STATUS_SUCCESS);
    unreachable.Flags = 0;
    RunKernel([&] { status = ClassAsyncWrite(Controller(), &unreachable); });
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
}

struct LockCase {
    const char* name;
    ULONG type;
    ULONG argBytes;
    ULONG dataBytes;
    NTSTATUS status;
};

TEST_F(ClassAsyncTest, LockParametersAndBusOrderOperands) {
    constexpr ULONGLONG kRegister = 0xFFFFF0010000ull;
    node_->DefineRegister(kRegister, 0x11223344);
    const LockCase cases[] = {
        {"typeZero", 0, 4, 4, STATUS_INVALID_PARAMETER},
        {"typeSeven", 7, 4, 4, STATUS_INVALID_PARAMETER},
        {"compareSwapArgShort", 2, 4, 8, STATUS_INVALID_PARAMETER},
        {"fetchAddWithArg", 3, 4, 4, STATUS_INVALID_PARAMETER},
        {"compareSwap", 2, 4, 4, STATUS_SUCCESS},
        {"fetchAdd", 3, 0, 4, STATUS_SUCCESS},
    };
    for (const LockCase& c : cases) {
        SCOPED_TRACE(c.name);
        ULONG before = node_->RegisterValue(kRegister);
        UCHAR old[8] = {};
        ClassLockRequest r = {};
        r.Node = node_->phy().phyId;
        r.Offset = kRegister;
        r.TransactionType = c.type;
        r.ArgBytes = c.argBytes;
        r.DataBytes = c.dataBytes;
        r.Arguments[0] = HostToBus32(before);      // compare_swap: the value expected
        r.DataValues[0] = HostToBus32(c.type == 3 ? 0x10 : 0xCAFEF00D);
        r.Buffer = old;
        NTSTATUS status = STATUS_PENDING;
        RunKernel([&] { status = ClassAsyncLock(Controller(), &r); });
        EXPECT_EQ(status, c.status);
        if (status != STATUS_SUCCESS) {
            EXPECT_EQ(node_->RegisterValue(kRegister), before);
            continue;
        }
        // The old value in bus order, most significant byte first.
        EXPECT_EQ(old[0], UCHAR(before >> 24));
        EXPECT_EQ(old[3], UCHAR(before));
        EXPECT_EQ(node_->RegisterValue(kRegister), c.type == 3 ? before + 0x10 : 0xCAFEF00Du);
    }
}

TEST(ClassStreamSpeed, SpeedFlagsGiveSpeedCodes) {
    const struct {
        ULONG flag;
        UCHAR code;
    } cases[] = {{0x1, 0}, {0x2, 1}, {0x4, 2}, {0x8, 3}, {0x10, 4}, {0x20, 5}, {0x0, 0}, {0x3, 0}, {0x40, 0}};
    for (const auto& c : cases) EXPECT_EQ(SpeedCodeOfFlag(c.flag), c.code) << c.flag;
}

}  // namespace
