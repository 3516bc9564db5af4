// The IIDC camera as a talker: every format 0 mode and rate (packet size, packets per frame, sy,
// frame timing, test pattern), ISO_CHANNEL/ISO_SPEED on the wire, one-shot and multi-shot, ISO_EN
// switched off mid-frame, and the packet limit of ISO_SPEED.
#include <gtest/gtest.h>

#include "camera_fixture.h"
#include "iso_listener.h"

namespace {

using camera_test::CameraBus;
using camera_test::ExpectedPatternByte;
using sim::IidcCamera;
namespace iidc = sim::iidc;

// Format 0 as IIDC 1.31 lists it: image size and bits per pixel of modes 0..6, and the rates
// (bit r: 1.875 * 2^r fps, r 0..5) it defines for each.
struct Mode {
    uint32_t width, height, bits;
    uint8_t rates;
};
const Mode kModes[7] = {
    {160, 120, 24, 0x3C},  // YUV 4:4:4 from 7.5 fps
    {320, 240, 16, 0x3F},  // YUV 4:2:2
    {640, 480, 12, 0x3F},  // YUV 4:1:1
    {640, 480, 16, 0x3F},  // YUV 4:2:2
    {640, 480, 24, 0x3F},  // RGB 8
    {640, 480, 8, 0x3F},   // Mono 8
    {640, 480, 16, 0x3F},  // Mono 16
};

IidcCamera::Config OneCombination(uint32_t format, uint32_t mode, uint32_t rate, sim::Speed speed = sim::kS400) {
    IidcCamera::Config c;
    c.rates = {};
    c.rates[format][mode] = uint8_t(1u << rate);
    c.speed = speed;
    c.b1394 = speed > sim::kS400;
    return c;
}

// Writes ISO_CHANNEL/ISO_SPEED for channel 3 at the camera's speed (1394b form above S400).
void SetChannel(CameraBus& t, uint32_t channel, sim::Speed speed) {
    uint32_t value = speed > sim::kS400 ? (iidc::kIso1394bMode | channel << 8 | speed) : iidc::MakeLegacyIso(channel, speed);
    ASSERT_EQ(sim::kRcodeComplete, t.SetReg(iidc::kIsoChannel, value));
}

TEST(CameraStream, EveryFormat0ModeAndRate) {
    for (uint32_t mode = 0; mode < 7; ++mode) {
        for (uint32_t rate = 0; rate < 6; ++rate) {
            SCOPED_TRACE("mode " + std::to_string(mode) + " rate " + std::to_string(rate));
            const Mode& m = kModes[mode];
            const uint32_t frameBytes = m.width * m.height * m.bits / 8;
            const uint32_t packets = 7200 * 8 / (15u << rate);  // 7200 packets a second: 9 cycles in 10
            const bool defined = (m.rates >> rate) & 1;
            const iidc::Format0Mode* table = iidc::Format0(mode);
            ASSERT_NE(nullptr, table);
            if (!defined) {
                EXPECT_EQ(0u, table->packetBytes[rate]);
                continue;
            }
            // The table's packet size is the frame cut into 3840 / 2^rate packets of whole quadlets.
            const uint32_t bytes = frameBytes / packets;
            ASSERT_EQ(frameBytes, bytes * packets);
            ASSERT_EQ(0u, bytes % 4);
            ASSERT_EQ(bytes, table->packetBytes[rate]);
            const sim::Speed speed = bytes > 4096 ? sim::kS800 : sim::kS400;
            CameraBus t(OneCombination(0, mode, rate, speed));
            SetChannel(t, 3, speed);
            ASSERT_EQ(0u, t.Reg(iidc::kVModeErrorStatus));
            t.SetReg(iidc::kIsoEn, iidc::kBit31);
            // Frame 1 starts at the first cycle at or after 8000 / fps cycles.
            const uint64_t frame1 = (64000 + (15u << rate) - 1) / (15u << rate);
            t.RunCycles(frame1 + 1);
            const auto& iso = t.listener->iso;
            ASSERT_EQ(packets + 1, iso.size());
            std::vector<uint8_t> frame;
            for (size_t i = 0; i < iso.size(); ++i) {
                const bool first = i == 0 || i == packets;
                ASSERT_EQ(bytes, iso[i].data.size());
                ASSERT_EQ(first ? 1 : 0, iso[i].sy) << i;
                ASSERT_EQ(3, iso[i].channel);
                ASSERT_EQ(0, iso[i].tag);
                ASSERT_EQ(speed, iso[i].speed);
                ASSERT_EQ(first ? (i == 0 ? 0 : frame1) : t.listener->isoCycle[i - 1] + 1, t.listener->isoCycle[i]);
                if (i < packets) frame.insert(frame.end(), iso[i].data.begin(), iso[i].data.end());
            }
            const uint32_t lineBytes = m.width * m.bits / 8;
            for (uint32_t o = 0; o < frameBytes; ++o)
                ASSERT_EQ(ExpectedPatternByte(0, o, lineBytes), frame[o]) << "byte " << o;
            // The second frame: counter 1 and the ramp moved by one.
            EXPECT_EQ((std::vector<uint8_t>{0, 0, 0, 1}), std::vector<uint8_t>(iso[packets].data.begin(), iso[packets].data.begin() + 4));
            for (uint32_t o = 4; o < bytes; ++o) ASSERT_EQ(ExpectedPatternByte(1, o, lineBytes), iso[packets].data[o]);
        }
    }
}

TEST(CameraStream, ThirtyFramesASecond) {
    CameraBus t(OneCombination(0, 5, iidc::k30));
    t.SetReg(iidc::kIsoEn, iidc::kBit31);
    t.RunCycles(8000);
    size_t frames = 0;
    for (const auto& p : t.listener->iso) frames += p.sy;
    EXPECT_EQ(30u, frames);
    EXPECT_EQ(30u * 240, t.listener->iso.size());
    EXPECT_EQ(30u, t.camera->FrameCounter());
}

TEST(CameraStream, ChannelAndSpeedOfTheRegister) {
    struct Case {
        bool b1394;
        uint32_t value, channel;
        sim::Speed speed;
    } cases[] = {
        {false, iidc::MakeLegacyIso(15, 1), 15, sim::kS200},
        {false, iidc::MakeLegacyIso(0, 0), 0, sim::kS100},
        {true, iidc::kIso1394bMode | 63u << 8 | 3, 63, sim::kS800},
    };
    for (const Case& c : cases) {
        IidcCamera::Config config = OneCombination(0, 1, iidc::k30, c.b1394 ? sim::kS800 : sim::kS400);
        CameraBus t(config);
        ASSERT_EQ(sim::kRcodeComplete, t.SetReg(iidc::kIsoChannel, c.value));
        EXPECT_EQ(c.value, t.Reg(iidc::kIsoChannel));
        t.SetReg(iidc::kIsoEn, iidc::kBit31);
        t.RunCycles(2);
        ASSERT_EQ(2u, t.listener->iso.size());
        EXPECT_EQ(c.channel, t.listener->iso[0].channel);
        EXPECT_EQ(c.speed, t.listener->iso[0].speed);
        EXPECT_EQ((uint32_t(640) << 16) | (c.channel << 8) | 0xA1, t.listener->iso[0].HeaderQuadlet());
    }
}

TEST(CameraStream, PacketLargerThanTheSpeedAllowsIsAnError) {
    // Mode 4 (RGB 8) at 60 fps: 7680 bytes a packet, more than S400 carries (4096).
    IidcCamera::Config config = OneCombination(0, 4, iidc::k60, sim::kS800);
    CameraBus t(config);
    SetChannel(t, 1, sim::kS400);
    EXPECT_EQ(iidc::kBit31, t.Reg(iidc::kVModeErrorStatus));
    t.SetReg(iidc::kIsoEn, iidc::kBit31);
    EXPECT_EQ(0u, t.Reg(iidc::kIsoEn));
    SetChannel(t, 1, sim::kS800);
    EXPECT_EQ(0u, t.Reg(iidc::kVModeErrorStatus));
    t.SetReg(iidc::kIsoEn, iidc::kBit31);
    t.RunCycles(1);
    ASSERT_EQ(1u, t.listener->iso.size());
    EXPECT_EQ(7680u, t.listener->iso[0].data.size());
}

TEST(CameraStream, OneShotAndMultiShotSendWholeFrames) {
    CameraBus t(OneCombination(0, 1, iidc::k30));
    t.SetReg(iidc::kOneShot, iidc::kBit31);
    t.RunCycles(100);
    EXPECT_EQ(iidc::kBit31, t.Reg(iidc::kOneShot)) << "set until the frame has gone";
    t.RunCycles(1000);
    EXPECT_EQ(240u, t.listener->iso.size()) << "one frame";
    EXPECT_EQ(0u, t.Reg(iidc::kOneShot));
    t.listener->iso.clear();
    t.SetReg(iidc::kOneShot, iidc::kMultiShotFlag | 3);
    EXPECT_EQ(iidc::kMultiShotFlag | 3, t.Reg(iidc::kOneShot));
    t.RunCycles(2000);
    ASSERT_EQ(3u * 240, t.listener->iso.size());
    EXPECT_EQ(0u, t.Reg(iidc::kOneShot));
    for (uint32_t f = 0; f < 3; ++f) {
        const auto& first = t.listener->iso[f * 240];
        EXPECT_EQ(1, first.sy);
        EXPECT_EQ(f + 1, uint32_t(first.data[3])) << "frame counters follow the first shot";
    }
}

TEST(CameraStream, IsoEnOffStopsAtOnceAndOnRestartsOnAFrame) {
    CameraBus t(OneCombination(0, 5, iidc::k15));
    t.SetReg(iidc::kIsoEn, iidc::kBit31);
    t.RunCycles(10);
    t.SetReg(iidc::kIsoEn, 0);
    t.RunCycles(10);
    EXPECT_EQ(10u, t.listener->iso.size());
    t.SetReg(iidc::kIsoEn, iidc::kBit31);
    t.RunCycles(1);
    ASSERT_EQ(11u, t.listener->iso.size());
    EXPECT_EQ(1, t.listener->iso[10].sy);
    EXPECT_EQ(1, t.listener->iso[10].data[3]) << "the second frame started";
    // INITIALIZE stops the stream.
    t.SetReg(iidc::kInitialize, iidc::kBit31);
    t.RunCycles(5);
    EXPECT_EQ(11u, t.listener->iso.size());
}

// On the bus's own cycles: a plain root node with STATE.cmstr is cycle master; cycles run only
// while the camera streams (a listener needs none), 8000 a second then.
TEST(CameraStream, OnTheCyclesOfTheCycleMaster) {
    sim::StandaloneHost host;
    sim::Bus bus(host);
    sim::BusOptions options;
    options.cmc = true;
    auto* master = static_cast<sim::CsrNode*>(bus.Add(std::make_unique<sim::CsrNode>(
        "cm", 3, sim::kS400, sim::ConfigRom::Build(options, 0x0000AA0000000001ull, sim::RomDirectory()))));
    master->phy().rootHoldoff = true;
    auto* listener = static_cast<sim::IsoListener*>(bus.Add(std::make_unique<sim::IsoListener>()));
    auto* camera = static_cast<IidcCamera*>(bus.Add(std::make_unique<IidcCamera>(OneCombination(0, 5, iidc::k30))));
    ASSERT_TRUE(bus.Connect(master, 0, listener, 0));
    ASSERT_TRUE(bus.Connect(master, 1, camera, 0));
    host.RunFor(sim::kTicksPerMillisecond);
    master->SetCycleMaster(true);
    host.RunFor(sim::kTicksPerSecond);
    ASSERT_EQ(master, bus.Root());
    EXPECT_EQ(0u, bus.CyclesRun()) << "nobody wants cycles";
    // ISO_EN by a write request from the listener.
    bus.SendAsync(listener, nodes_test::WriteQuadlet(camera->NodeId(), listener->NodeId(),
                                                     camera->CommandBase() + iidc::kIsoEn, iidc::kBit31));
    host.RunFor(sim::kTicksPerSecond);
    ASSERT_TRUE(camera->IsoEnabled());
    EXPECT_NEAR(8000.0, double(bus.CyclesRun()), 2.0);
    size_t frames = 0;
    for (const auto& h : listener->heard()) frames += h.packet.sy;
    EXPECT_EQ(30u, frames);
    EXPECT_EQ(30u * 240, listener->heard().size());
}

TEST(CameraStream, IsoEnOffMidFrameStopsOrFinishesTheFrame) {
    for (bool finish : {false, true}) {
        IidcCamera::Config c = OneCombination(0, 5, iidc::k30);
        c.finishFrameOnIsoEnOff = finish;
        CameraBus t(c);
        t.SetReg(iidc::kIsoEn, iidc::kBit31);
        t.RunCycles(100);
        t.SetReg(iidc::kIsoEn, 0);
        t.RunCycles(1000);
        EXPECT_EQ(finish ? 240u : 100u, t.listener->iso.size()) << finish;
        EXPECT_EQ(0u, t.Reg(iidc::kIsoEn));
    }
}

}  // namespace
