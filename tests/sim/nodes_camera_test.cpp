// IIDC 1.31 camera: the configuration ROM a host reads to find the command registers, the
// inquiry registers against the configured video modes, CUR_V_* writes, ISO_CHANNEL/ISO_SPEED,
// ISO_EN, one-shot, and the SBP-2 unit's ROM and management agent.
#include <gtest/gtest.h>

#include "iidc_camera.h"
#include "nodes_fixture.h"
#include "sbp2_unit.h"

namespace {

using namespace nodes_test;
using sim::IidcCamera;
using sim::Sbp2Unit;

constexpr uint64_t kRom = 0xFFFFF0000400ull;

// Walks the ROM over the bus with quadlet reads as a host does (IEEE 1212 7.5): the directory
// at `dir`, the first entry with `key`; returns its entry and sets *at to the entry's index.
template <typename Device>
bool FindOverBus(TwoNodeBus<Device>& bus, size_t dir, uint8_t key, uint32_t* entry, size_t* at) {
    uint32_t header = bus.Read(kRom + 4 * dir);
    for (size_t k = 1; k <= (header >> 16); ++k) {
        uint32_t e = bus.Read(kRom + 4 * (dir + k));
        if ((e >> 24) == key) {
            *entry = e;
            *at = dir + k;
            return true;
        }
    }
    return false;
}

template <typename Device>
size_t UnitDirectory(TwoNodeBus<Device>& bus) {
    uint32_t header = bus.Read(kRom);
    size_t root = (header >> 24) + 1;  // after the bus information block
    uint32_t e = 0;
    size_t at = 0;
    EXPECT_TRUE(FindOverBus(bus, root, 0xD1, &e, &at));
    return at + (e & 0xFFFFFF);
}

TEST(NodesCamera, RomLeadsToTheCommandRegisters) {
    IidcCamera::Config config;
    config.commandRegsBase = 0x3C0000;
    TwoNodeBus<IidcCamera> bus(std::make_unique<IidcCamera>(config));
    size_t unit = UnitDirectory(bus);
    uint32_t e = 0;
    size_t at = 0;
    // IIDC 1.31 2.1: unit_spec_ID 0x00A02D, unit_sw_version 0x000102 (1.30 and later).
    ASSERT_TRUE(FindOverBus(bus, unit, 0x12, &e, &at));
    EXPECT_EQ(0x00A02Du, e & 0xFFFFFF);
    ASSERT_TRUE(FindOverBus(bus, unit, 0x13, &e, &at));
    EXPECT_EQ(0x000102u, e & 0xFFFFFF);
    ASSERT_TRUE(FindOverBus(bus, unit, 0xD4, &e, &at));
    size_t dependent = at + (e & 0xFFFFFF);
    ASSERT_TRUE(FindOverBus(bus, dependent, 0x40, &e, &at));
    uint64_t base = 0xFFFFF0000000ull + 4ull * (e & 0xFFFFFF);
    EXPECT_EQ(0xFFFFF0F00000ull, base);
    EXPECT_EQ(base, bus.device->CommandBase());
    // unit_sub_sw_version: minor version 1 in bits 7:4 for 1.31.
    ASSERT_TRUE(FindOverBus(bus, dependent, 0x38, &e, &at));
    EXPECT_EQ(0x10u, e & 0xFFFFFF);
    // Vendor name leaf (0x81) in the unit-dependent directory, minimal ASCII.
    ASSERT_TRUE(FindOverBus(bus, dependent, 0x81, &e, &at));
    size_t leaf = at + (e & 0xFFFFFF);
    EXPECT_EQ(0x53696D75u, bus.Read(kRom + 4 * (leaf + 3)));  // "Simu"
    EXPECT_TRUE(bus.device->rom().BusInfoCrcValid());
    EXPECT_TRUE(bus.device->rom().BlockCrcValid(unit));
    EXPECT_TRUE(bus.device->rom().BlockCrcValid(dependent));
    EXPECT_TRUE(bus.device->rom().BlockCrcValid(leaf));
}

TEST(NodesCamera, OlderVersionsHaveNoSubVersion) {
    IidcCamera::Config config;
    config.unitSwVersion = sim::iidc::kVersion104;
    TwoNodeBus<IidcCamera> bus(std::make_unique<IidcCamera>(config));
    size_t unit = UnitDirectory(bus);
    uint32_t e = 0;
    size_t at = 0;
    ASSERT_TRUE(FindOverBus(bus, unit, 0x13, &e, &at));
    EXPECT_EQ(0x000100u, e & 0xFFFFFF);
    ASSERT_TRUE(FindOverBus(bus, unit, 0xD4, &e, &at));
    size_t dependent = at + (e & 0xFFFFFF);
    EXPECT_TRUE(FindOverBus(bus, dependent, 0x40, &e, &at));
    EXPECT_FALSE(FindOverBus(bus, dependent, 0x38, &e, &at));
}

TEST(NodesCamera, InquiryRegistersListTheConfiguredModes) {
    IidcCamera::Config config;  // Format_0 Mode_1 and Mode_5 at 15 and 30 fps
    config.rates[2][0] = 1u << sim::iidc::k7_5;  // and Format_2 Mode_0 at 7.5 fps
    TwoNodeBus<IidcCamera> bus(std::make_unique<IidcCamera>(config));
    const uint64_t base = bus.device->CommandBase();
    // IIDC 1.31 4.2: bit 31 - n stands for format / mode / rate n.
    EXPECT_EQ(0xA0000000u, bus.Read(base + 0x100));          // formats 0 and 2
    EXPECT_EQ(0x44000000u, bus.Read(base + 0x180));          // format 0: modes 1 and 5
    EXPECT_EQ(0x80000000u, bus.Read(base + 0x188));          // format 2: mode 0
    EXPECT_EQ(0x00000000u, bus.Read(base + 0x184));          // format 1: none
    EXPECT_EQ(0x18000000u, bus.Read(base + 0x200 + 4 * 1));  // format 0 mode 1: 15 and 30 fps
    EXPECT_EQ(0x18000000u, bus.Read(base + 0x200 + 4 * 5));
    EXPECT_EQ(0x00000000u, bus.Read(base + 0x200 + 4 * 0));
    EXPECT_EQ(0x20000000u, bus.Read(base + 0x240));          // format 2 mode 0: 7.5 fps
    // BASIC_FUNC_INQ: mode error status 30, power control 15, one-shot 12, multi-shot 11.
    EXPECT_EQ(0x40009800u, bus.Read(base + 0x400));
    // No locks on command registers.
    EXPECT_EQ(sim::kRcodeTypeError,
              bus.Transact(Lock(bus.To(), bus.From(), base + 0x600, sim::kLockCompareSwap, {0, 0})).Rcode());
    // Reserved offsets read 0 inside the block; outside it nothing answers.
    EXPECT_EQ(0u, bus.Read(base + 0x7FC));
    uint8_t rcode = 0;
    bus.Read(base + 0x1000, &rcode);
    EXPECT_EQ(sim::kRcodeAddressError, rcode);
}

TEST(NodesCamera, VideoModeWrites) {
    TwoNodeBus<IidcCamera> bus(std::make_unique<IidcCamera>(IidcCamera::Config{}));
    const uint64_t base = bus.device->CommandBase();
    // Factory state: the first listed combination (format 0, mode 1, 15 fps).
    EXPECT_EQ(0u << 29, bus.Read(base + 0x608));
    EXPECT_EQ(1u << 29, bus.Read(base + 0x604));
    EXPECT_EQ(3u << 29, bus.Read(base + 0x600));
    EXPECT_EQ(0u, bus.Read(base + 0x628));
    struct Step {
        uint32_t reg, value, expectFormat, expectMode, expectRate;
    };
    const Step steps[] = {
        {0x604, 5u << 29, 0, 5, 3},  // mode 5: listed
        {0x600, 4u << 29, 0, 5, 4},  // 30 fps: listed
        {0x600, 5u << 29, 0, 5, 4},  // 60 fps: not listed, ignored
        {0x604, 3u << 29, 0, 5, 4},  // mode 3: not listed, ignored
        {0x608, 1u << 29, 0, 5, 4},  // format 1: not listed, ignored
        {0x604, 1u << 29, 0, 1, 4},
    };
    for (const Step& s : steps) {
        EXPECT_EQ(sim::kRcodeComplete, bus.Write(base + s.reg, s.value));
        EXPECT_EQ(s.expectFormat << 29, bus.Read(base + 0x608));
        EXPECT_EQ(s.expectMode << 29, bus.Read(base + 0x604));
        EXPECT_EQ(s.expectRate << 29, bus.Read(base + 0x600));
    }
    // Inquiry registers are read-only: a write changes nothing.
    bus.Write(base + 0x180, 0xFFFFFFFF);
    EXPECT_EQ(0x44000000u, bus.Read(base + 0x180));
}

TEST(NodesCamera, VideoModeErrorStatusAcrossFormats) {
    IidcCamera::Config config;
    config.rates[1][2] = 1u << sim::iidc::k7_5;  // Format_1 Mode_2 at 7.5 fps only
    TwoNodeBus<IidcCamera> bus(std::make_unique<IidcCamera>(config));
    const uint64_t base = bus.device->CommandBase();
    // Format 1 taken; mode 1 is not a mode of format 1: VMODE_ERROR_STATUS bit 31 until fixed.
    bus.Write(base + 0x608, 1u << 29);
    EXPECT_EQ(1u << 29, bus.Read(base + 0x608));
    EXPECT_EQ(0x80000000u, bus.Read(base + 0x628));
    EXPECT_EQ(sim::kRcodeComplete, bus.Write(base + 0x614, 0x80000000));
    EXPECT_EQ(0u, bus.Read(base + 0x614)) << "no streaming on an invalid combination";
    bus.Write(base + 0x604, 2u << 29);
    bus.Write(base + 0x600, 2u << 29);
    EXPECT_EQ(0u, bus.Read(base + 0x628));
}

TEST(NodesCamera, IsoChannelSpeedAndEnable) {
    TwoNodeBus<IidcCamera> bus(std::make_unique<IidcCamera>(IidcCamera::Config{}));
    IidcCamera* cam = bus.device;
    const uint64_t base = cam->CommandBase();
    std::vector<bool> switched;
    cam->onIsoEnable = [&](bool on) { switched.push_back(on); };
    // Legacy ISO_CHANNEL 31:28, ISO_SPEED 25:24 (IIDC 1.31 4.5): channel 5 at S400.
    bus.Write(base + 0x60C, (5u << 28) | (2u << 24));
    EXPECT_EQ((5u << 28) | (2u << 24), bus.Read(base + 0x60C));
    EXPECT_EQ(5u, cam->IsoChannel());
    EXPECT_EQ(2u, cam->IsoSpeed());
    bus.Write(base + 0x614, 0x80000000);
    EXPECT_EQ(0x80000000u, bus.Read(base + 0x614));
    EXPECT_TRUE(cam->IsoEnabled());
    // While streaming, the mode and channel stay.
    bus.Write(base + 0x604, 5u << 29);
    bus.Write(base + 0x60C, (9u << 28) | (2u << 24));
    EXPECT_EQ(1u << 29, bus.Read(base + 0x604));
    EXPECT_EQ(5u, cam->IsoChannel());
    bus.Write(base + 0x614, 0);
    EXPECT_FALSE(cam->IsoEnabled());
    EXPECT_EQ((std::vector<bool>{true, false}), switched);
    // Powered off: no streaming. INITIALIZE: back to factory state.
    bus.Write(base + 0x610, 0);
    EXPECT_EQ(0u, bus.Read(base + 0x610));
    bus.Write(base + 0x614, 0x80000000);
    EXPECT_FALSE(cam->IsoEnabled());
    bus.Write(base + 0x000, 0x80000000);
    EXPECT_EQ(0x80000000u, bus.Read(base + 0x610));
    EXPECT_EQ(0u, bus.Read(base + 0x000));
    EXPECT_EQ(0u, cam->IsoChannel());
}

TEST(NodesCamera, OneShotAndMultiShot) {
    TwoNodeBus<IidcCamera> bus(std::make_unique<IidcCamera>(IidcCamera::Config{}));
    IidcCamera* cam = bus.device;
    const uint64_t base = cam->CommandBase();
    std::vector<uint32_t> shots;
    cam->onShot = [&](uint32_t frames) { shots.push_back(frames); };
    bus.Write(base + 0x61C, 0x80000000);
    EXPECT_EQ(0x80000000u, bus.Read(base + 0x61C)) << "set until the frame has gone";
    cam->FinishShots();
    EXPECT_EQ(0u, bus.Read(base + 0x61C));
    bus.Write(base + 0x61C, 0x40000000 | 12);
    EXPECT_EQ(0x4000000Cu, bus.Read(base + 0x61C));
    EXPECT_EQ(12u, cam->PendingShots());
    cam->FinishShots();
    bus.Write(base + 0x614, 0x80000000);
    bus.Write(base + 0x61C, 0x80000000);  // ignored while ISO_EN is set
    EXPECT_EQ((std::vector<uint32_t>{1, 12}), shots);
}

TEST(NodesSbp2, RomEntriesOfTheUnitDirectory) {
    Sbp2Unit::Config config;
    config.managementAgent = 0x004000;
    config.lun = 3;
    TwoNodeBus<Sbp2Unit> bus(std::make_unique<Sbp2Unit>(config));
    size_t unit = UnitDirectory(bus);
    uint32_t e = 0;
    size_t at = 0;
    // SBP-2 7.4: unit_spec_ID 0x00609E, unit_sw_version 0x010483, management_agent as a CSR
    // offset (key 0x54), logical_unit_number (key 0x14) with the LUN in 15:0.
    ASSERT_TRUE(FindOverBus(bus, unit, 0x12, &e, &at));
    EXPECT_EQ(0x00609Eu, e & 0xFFFFFF);
    ASSERT_TRUE(FindOverBus(bus, unit, 0x13, &e, &at));
    EXPECT_EQ(0x010483u, e & 0xFFFFFF);
    ASSERT_TRUE(FindOverBus(bus, unit, 0x38, &e, &at));
    EXPECT_EQ(0x00609Eu, e & 0xFFFFFF);
    ASSERT_TRUE(FindOverBus(bus, unit, 0x39, &e, &at));
    EXPECT_EQ(0x0104D8u, e & 0xFFFFFF);
    ASSERT_TRUE(FindOverBus(bus, unit, 0x54, &e, &at));
    EXPECT_EQ(0xFFFFF0010000ull, 0xFFFFF0000000ull + 4ull * (e & 0xFFFFFF));
    ASSERT_TRUE(FindOverBus(bus, unit, 0x14, &e, &at));
    EXPECT_EQ(3u, e & 0xFFFF);
    ASSERT_TRUE(FindOverBus(bus, unit, 0x3A, &e, &at));
    EXPECT_EQ(8u, e & 0xFF) << "ORB size in quadlets";
    EXPECT_TRUE(bus.device->rom().BlockCrcValid(unit));
}

TEST(NodesSbp2, ManagementAgentTakesAnOrbPointer) {
    TwoNodeBus<Sbp2Unit> bus(std::make_unique<Sbp2Unit>(Sbp2Unit::Config{}));
    const uint64_t agent = bus.device->ManagementAgentAddress();
    // An 8-byte block write: node_ID 31:16 and offset_hi 15:0, then offset_lo.
    sim::Packet w = bus.Transact(WriteBlock(bus.To(), bus.From(), agent, {0xFFC00000 | 0x0001, 0x00123400}));
    EXPECT_EQ(sim::kTcodeWriteResponse, w.Tcode());
    EXPECT_EQ(sim::kRcodeComplete, w.Rcode());
    EXPECT_EQ(0xFFC0000100123400ull, bus.device->LastOrbPointer());
    EXPECT_EQ(1u, bus.device->OrbWrites());
    EXPECT_EQ(sim::kRcodeTypeError, bus.Write(agent, 1)) << "quadlet writes are refused";
    EXPECT_EQ(1u, bus.device->OrbWrites());
    sim::Packet r = bus.Transact(ReadBlock(bus.To(), bus.From(), agent, 8));
    ASSERT_EQ(8u, r.data.size());
    EXPECT_EQ(0x00123400u, DataQuadlet(r, 1));
}

}  // namespace
