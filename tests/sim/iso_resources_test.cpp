// Isochronous resources at the isochronous resource manager (IEEE 1394-1995 8.3.2.3.5-8, IEEE
// 1394a 8.3.2.3): BUS_MANAGER_ID, BANDWIDTH_AVAILABLE and CHANNELS_AVAILABLE answering
// compare_swap locks on a plain node and on the OHCI controller; and three IIDC cameras streaming
// 640x480 Mono 8 at 30 fps at S400 into three IR contexts within the bus's bandwidth.
#include "camera_fixture.h"
#include "csr_node.h"
#include "iidc_camera.h"
#include "iso_fixture.h"
#include "nodes_fixture.h"

namespace sim::iso_test {
namespace {

constexpr uint64_t kBusManagerId = 0xFFFFF000021Cull, kBandwidthAvailable = 0xFFFFF0000220ull,
                   kChannelsAvailableHi = 0xFFFFF0000224ull, kChannelsAvailableLo = 0xFFFFF0000228ull;

// compare_swap (extended tcode 2): arg_value, data_value; the response carries the old value.
struct LockCase {
    const char* what;
    uint64_t offset;
    uint32_t arg, data;
    uint32_t old, after;
};

TEST(IsoResources, APlainContenderNodeAnswersLocksAsAnIrm) {
    auto node = std::make_unique<CsrNode>("irm", 2, kS400, ConfigRom());
    node->phy().contender = true;
    nodes_test::TwoNodeBus<CsrNode> bus(std::move(node));
    auto lock = [&](uint64_t offset, uint16_t extended, std::vector<uint32_t> operands) {
        return bus.Transact(nodes_test::Lock(bus.To(), bus.From(), offset, extended, operands));
    };
    const LockCase cases[] = {
        {"allocate 320 units", kBandwidthAvailable, 4915, 4595, 4915, 4595},
        {"stale arg_value", kBandwidthAvailable, 4915, 100, 4595, 4595},
        {"more than remains: below zero", kBandwidthAvailable, 4595, 4595u - 5000u, 4595, 4595},
        {"no bw_remaining value", kBandwidthAvailable, 4595, 0x2000, 4595, 4595},
        {"free 320 units", kBandwidthAvailable, 4595, 4915, 4595, 4915},
        {"channel 0 (HI bit 31)", kChannelsAvailableHi, 0xFFFFFFFF, 0x7FFFFFFF, 0xFFFFFFFF, 0x7FFFFFFF},
        {"channel 0 again: taken", kChannelsAvailableHi, 0xFFFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF},
        {"channel 63 (LO bit 0)", kChannelsAvailableLo, 0xFFFFFFFF, 0xFFFFFFFE, 0xFFFFFFFF, 0xFFFFFFFE},
        {"bus manager contention won", kBusManagerId, 0x3F, 1, 0x3F, 1},
        {"lost", kBusManagerId, 0x3F, 0, 1, 1},
    };
    for (const LockCase& c : cases) {
        SCOPED_TRACE(c.what);
        Packet r = lock(c.offset, kLockCompareSwap, {c.arg, c.data});
        ASSERT_EQ(r.Rcode(), kRcodeComplete);
        ASSERT_EQ(r.DataLength(), 4u);
        EXPECT_EQ(nodes_test::DataQuadlet(r, 0), c.old);
        EXPECT_EQ(bus.Read(c.offset), c.after);
    }
    // Only reads and compare_swap: writes and other locks get resp_type_error.
    EXPECT_EQ(bus.Write(kBandwidthAvailable, 1), kRcodeTypeError);
    EXPECT_EQ(lock(kBandwidthAvailable, kLockFetchAdd, {1}).Rcode(), kRcodeTypeError);
    // A bus reset frees everything.
    bus.bus.RequestReset(false);
    bus.host.RunFor(kTicksPerMillisecond);
    EXPECT_EQ(bus.Read(kBandwidthAvailable), 4915u);
    EXPECT_EQ(bus.Read(kChannelsAvailableHi), 0xFFFFFFFFu);
    EXPECT_EQ(bus.Read(kBusManagerId), 0x3Fu);
    // A node that is no contender has no IRM registers.
    bus.device->phy().contender = false;
    uint8_t rcode = 0;
    bus.Read(kBandwidthAvailable, &rcode);
    EXPECT_EQ(rcode, kRcodeAddressError);
}

// Three cameras, 640x480 Mono 8 at 30 fps (IIDC format 0 mode 5, rate 4): 240 packets of 1280
// bytes (320 quadlets) a frame, one per cycle. At S400 a packet costs (320 + 3) * 4 = 1292
// bandwidth units (a quadlet at S1600 is one unit): three fit in the 4915 an IRM hands out, a
// fourth does not.
class ThreeCameras : public IsoBench {
protected:
    static constexpr uint32_t kFrameBytes = 640 * 480, kPacketBytes = 1280, kUnits = (kPacketBytes / 4 + 3) * 4;
    static constexpr uint32_t kDescriptorBytes = 48 * kPacketBytes;  // 5 descriptors a frame
    static constexpr int kDescriptors = int(kFrameBytes / kDescriptorBytes);

    // The controller's CSR compare-swap unit (OHCI 1.1 5.5.1), as the local IRM.
    uint32_t CompareSwap(uint32_t select, uint32_t arg, uint32_t data) {
        W(kCsrReadData, data);
        W(kCsrCompareData, arg);
        W(kCsrControl, select);
        return R(kCsrReadData);
    }
    uint32_t Bandwidth() { return CompareSwap(1, 0xFFFFFFFF, 0); }

    void WriteCamera(IidcCamera* camera, uint32_t reg, uint32_t value) {
        const Ack ack =
            bus_.SendAsync(host_node_, nodes_test::WriteQuadlet(camera->NodeId(), host_node_->NodeId(),
                                                                camera->CommandBase() + reg, value));
        ASSERT_EQ(ack, sim::kAckPending);
        host_.RunFor(kTicksPerMillisecond / 10);
    }

    nodes_test::Requester* host_node_ = nullptr;
};

TEST_F(ThreeCameras, StreamAtOnceIntoThreeContextsWithinTheBandwidthAndAFourthAllocationFails) {
    IidcCamera::Config config;
    config.presetFormat = 0;
    config.presetMode = 5;  // 640x480 Mono 8
    config.presetRate = 4;  // 30 fps
    IidcCamera* cameras[3];
    for (int i = 0; i < 3; ++i) {
        config.name = "camera" + std::to_string(i);
        config.guid = 0x00ACDE4800000001ull + uint64_t(i);
        cameras[i] = Plug<IidcCamera>(config);
    }
    host_node_ = Plug<nodes_test::Requester>();
    BringUp();
    ASSERT_EQ(bus_.Root(), ohci_);

    // Allocate channel i and the bandwidth of each camera at the IRM (the controller).
    uint32_t remaining = Bandwidth();
    ASSERT_EQ(remaining, 4915u);
    uint32_t channels = 0xFFFFFFFF;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(CompareSwap(1, remaining, remaining - kUnits), remaining);
        remaining -= kUnits;
        const uint32_t taken = channels & ~(0x80000000u >> i);
        ASSERT_EQ(CompareSwap(2, channels, taken), channels);
        channels = taken;
    }
    EXPECT_EQ(Bandwidth(), 4915u - 3 * kUnits);
    // A fourth camera's allocation, by a lock request from another node as a real IRM takes it:
    // the new value would be below zero, so the register keeps what remains.
    host_node_->received.clear();
    bus_.SendAsync(host_node_, nodes_test::Lock(ohci_->NodeId(), host_node_->NodeId(), 0xFFFFF0000220ull,
                                                kLockCompareSwap, {remaining, remaining - kUnits}));
    host_.RunFor(kTicksPerMillisecond / 10);
    ASSERT_EQ(host_node_->received.size(), 1u);
    EXPECT_EQ(nodes_test::DataQuadlet(host_node_->received[0], 0), remaining);
    EXPECT_EQ(Bandwidth(), remaining) << "the allocation failed";
    EXPECT_LT(remaining, kUnits);

    // One frame per camera into IR contexts 0..2: buffer-fill without headers, waiting for the
    // frame's first packet (sy = 1).
    std::vector<uint32_t> buffers[3];
    uint32_t programs[3];
    for (int i = 0; i < 3; ++i) {
        programs[i] = host_.Map(16 * kDescriptors);
        for (int d = 0; d < kDescriptors; ++d) {
            buffers[i].push_back(host_.Map(kDescriptorBytes));
            const uint32_t next = d + 1 < kDescriptors ? (programs[i] + 16u * uint32_t(d + 1)) | 1 : 0;
            PutDescriptor(programs[i] + 16u * uint32_t(d),
                          Q0(kInputMore, 1, 0, d + 1 == kDescriptors ? 3 : 0, 3, d == 0 ? 3 : 0, kDescriptorBytes),
                          buffers[i].back(), next, kDescriptorBytes);
        }
        W(Ir(i) + kCommandPtr, programs[i] | 1);
        W(Ir(i) + kContextMatch, 0xF0000000 | (1u << 8) | uint32_t(i));
        W(Ir(i) + kControlSet, kRun | kIrBufferFill);
    }
    for (int i = 0; i < 3; ++i) {
        WriteCamera(cameras[i], iidc::kCameraPower, 0x80000000);
        WriteCamera(cameras[i], iidc::kIsoChannel, iidc::MakeLegacyIso(uint32_t(i), 2));  // channel i, S400
        WriteCamera(cameras[i], iidc::kIsoEn, 0x80000000);
    }
    ASSERT_TRUE(cameras[2]->IsoEnabled());
    RunCycles(2 * 8000 / 30 + 20);  // a frame may start just after the context began to wait

    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const uint32_t last = programs[i] + 16u * uint32_t(kDescriptors - 1);
        EXPECT_EQ(Get32(last + 12) & 0xFFFF, 0u) << "the whole frame arrived";
        EXPECT_EQ(R(Ir(i) + kControlSet) & (kRun | kActive | kDead), kRun) << "ran dry after one frame";
        const std::vector<uint8_t> head = GetBytes(buffers[i][0], 4);
        const uint32_t frame = (uint32_t(head[0]) << 24) | (uint32_t(head[1]) << 16) | (uint32_t(head[2]) << 8) | head[3];
        for (uint32_t offset : {0u, 4u, 639u, 640u, 1279u, 1280u, kDescriptorBytes, kFrameBytes - 1}) {
            const uint32_t buffer = buffers[i][offset / kDescriptorBytes];
            EXPECT_EQ(GetBytes(buffer + offset % kDescriptorBytes, 1)[0],
                      camera_test::ExpectedPatternByte(frame, offset, 640))
                << "byte " << offset;
        }
    }
    EXPECT_EQ(R(kIsoRecvIntEventSet), 0x7u);
    EXPECT_EQ(R(kIntEventSet) & (kCycleTooLong | kCycleLost), 0u);
}

}  // namespace
}  // namespace sim::iso_test
