// The IIDC camera's registers a camera program probes beyond the video modes: format 7 (image
// position and size, colour coding, packet size and the values derived from them, the error flags
// of VALUE_SETTING) and its stream; features (inquiry and control, refusals and
// FEATURE_ERROR_STATUS, absolute values); trigger with the software trigger; strobe; a camera whose
// own ROM places its command registers.
#include <gtest/gtest.h>

#include <cstring>

#include "camera_fixture.h"

namespace {

using camera_test::CameraBus;
using camera_test::ExpectedPatternByte;
using sim::IidcCamera;
namespace iidc = sim::iidc;
namespace f7 = sim::iidc::f7;

IidcCamera::Config Format7Camera() {
    IidcCamera::Config c;
    c.rates = {};
    c.format7[0].present = true;  // 640x480, steps of 8x2, Mono 8 .. RGB 16, packets in steps of 8
    c.presetFormat = 7;
    return c;
}

uint64_t F7(CameraBus& t, uint32_t mode = 0) {
    // V_CSR_INQ_7_m: the block's quadlet offset from 0xFFFFF0000000.
    return 0xFFFFF0000000ull + 4ull * t.Reg(iidc::kVCsrInq70 + 4 * mode);
}

TEST(CameraFormat7, RegistersFollowTheImageAndThePacketSize) {
    CameraBus t(Format7Camera());
    const uint64_t b = F7(t);
    EXPECT_EQ(0x01000000u, t.Reg(iidc::kVFormatInq)) << "format 7 only";
    EXPECT_EQ(iidc::kBit31, t.Reg(iidc::kVModeInq0 + 4 * 7));
    EXPECT_EQ(7u << 29, t.Reg(iidc::kCurVFormat));
    EXPECT_EQ((640u << 16) | 480, t.Read(b + f7::kMaxImageSizeInq));
    EXPECT_EQ((8u << 16) | 2, t.Read(b + f7::kUnitSizeInq));
    EXPECT_EQ(0xFC000000u, t.Read(b + f7::kColorCodingInq));
    // 320x240 Mono 8 at (8, 2): 76800 bytes; 1000-byte packets make 77 packets a frame.
    t.Write(b + f7::kImagePosition, (8u << 16) | 2);
    t.Write(b + f7::kImageSize, (320u << 16) | 240);
    t.Write(b + f7::kColorCodingId, f7::kMono8 << 24);
    t.Write(b + f7::kBytePerPacket, 1000u << 16);
    EXPECT_EQ(320u * 240, t.Read(b + f7::kPixelNumberInq));
    EXPECT_EQ(0u, t.Read(b + f7::kTotalBytesHiInq));
    EXPECT_EQ(76800u, t.Read(b + f7::kTotalBytesLoInq));
    EXPECT_EQ((8u << 16) | 4096, t.Read(b + f7::kPacketParaInq)) << "unit 8, at most S400's 4096";
    EXPECT_EQ(1000u, t.Read(b + f7::kBytePerPacket) >> 16);
    EXPECT_EQ(77u, t.Read(b + f7::kPacketPerFrameInq));
    EXPECT_EQ(f7::kSettingPresence, t.Read(b + f7::kValueSetting));
    // Each kind of bad value raises its flag and blocks ISO_EN.
    struct Bad {
        uint32_t reg, value, flags;
    } bad[] = {
        {f7::kImageSize, (321u << 16) | 240, f7::kErrorFlag1 | f7::kErrorFlag2},  // width off the step
        {f7::kImagePosition, (328u << 16) | 2, f7::kErrorFlag1 | f7::kErrorFlag2}, // past the right edge
        {f7::kColorCodingId, 9u << 24, f7::kErrorFlag1 | f7::kErrorFlag2},       // Raw 8 not offered
        {f7::kBytePerPacket, 1004u << 16, f7::kErrorFlag2},                      // not a multiple of 8
        {f7::kBytePerPacket, 4104u << 16, f7::kErrorFlag2},                      // over the maximum
    };
    for (const Bad& x : bad) {
        const uint32_t before = t.Read(b + x.reg);
        t.Write(b + x.reg, x.value);
        EXPECT_EQ(f7::kSettingPresence | x.flags, t.Read(b + f7::kValueSetting)) << std::hex << x.reg;
        EXPECT_EQ(iidc::kBit31, t.Reg(iidc::kVModeErrorStatus));
        t.SetReg(iidc::kIsoEn, iidc::kBit31);
        EXPECT_EQ(0u, t.Reg(iidc::kIsoEn));
        t.Write(b + x.reg, before);
    }
    EXPECT_EQ(f7::kSettingPresence, t.Read(b + f7::kValueSetting));
    // The stream: 77 packets of 1000 bytes, the last padded with zeros, frames back to back.
    t.SetReg(iidc::kIsoEn, iidc::kBit31);
    t.Write(b + f7::kBytePerPacket, 2000u << 16);
    EXPECT_EQ(1000u, t.Read(b + f7::kBytePerPacket) >> 16) << "fixed while streaming";
    t.RunCycles(78);
    const auto& iso = t.listener->iso;
    ASSERT_EQ(78u, iso.size());
    std::vector<uint8_t> frame;
    for (size_t i = 0; i < 77; ++i) {
        EXPECT_EQ(1000u, iso[i].data.size());
        EXPECT_EQ(i == 0 ? 1 : 0, iso[i].sy);
        frame.insert(frame.end(), iso[i].data.begin(), iso[i].data.end());
    }
    for (uint32_t o = 0; o < 76800; ++o) ASSERT_EQ(ExpectedPatternByte(0, o, 320), frame[o]) << o;
    for (uint32_t o = 76800; o < 77000; ++o) ASSERT_EQ(0, frame[o]) << o;
    EXPECT_EQ(1, iso[77].sy);
    EXPECT_EQ(1, iso[77].data[3]);
}

TEST(CameraFormat7, Mono16LinesAndSpeedLimit) {
    CameraBus t(Format7Camera());
    const uint64_t b = F7(t);
    t.SetReg(iidc::kIsoChannel, iidc::MakeLegacyIso(2, sim::kS100));
    t.Write(b + f7::kImageSize, (64u << 16) | 8);
    t.Write(b + f7::kColorCodingId, f7::kMono16 << 24);
    EXPECT_EQ(1024u, t.Read(b + f7::kTotalBytesLoInq));
    EXPECT_EQ((8u << 16) | 1024, t.Read(b + f7::kPacketParaInq)) << "the whole image fits S100's 1024";
    t.Write(b + f7::kBytePerPacket, 256u << 16);
    t.SetReg(iidc::kIsoEn, iidc::kBit31);
    t.RunCycles(4);
    ASSERT_EQ(4u, t.listener->iso.size());
    for (uint32_t p = 0; p < 4; ++p)
        for (uint32_t i = 0; i < 256; ++i)
            ASSERT_EQ(ExpectedPatternByte(0, p * 256 + i, 128), t.listener->iso[p].data[i]);
}

TEST(CameraFeatures, InquiryControlAndErrors) {
    IidcCamera::Config c;
    c.featureErrorStatus = true;
    CameraBus t(c);
    // Brightness, white balance, shutter, gain, trigger: bits 31, 28, 24, 23, 19.
    EXPECT_EQ(0x91880000u, t.Reg(iidc::kFeatureHiInq));
    EXPECT_EQ(0u, t.Reg(iidc::kFeatureLoInq));
    EXPECT_EQ(0x60009800u, t.Reg(iidc::kBasicFuncInq)) << "feature error status 29";
    // Brightness inquiry: presence, read-out, on/off, auto, manual, Min 0, Max 255.
    EXPECT_EQ(0x8F0000FFu, t.Reg(iidc::kFeatureInq0 + 4 * iidc::kBrightness));
    const uint32_t brightness = iidc::kFeatureControl0 + 4 * iidc::kBrightness;
    EXPECT_EQ(0x82000080u, t.Reg(brightness)) << "on, manual, 128";
    struct Step {
        uint32_t reg, value, expect;
        bool error;
    } steps[] = {
        {brightness, 0x82000040, 0x82000040, false},
        {brightness, 0x82000100, 0x82000040, true},   // 256 > Max
        {brightness, 0x83000000, 0x83000040, false},  // auto
        {brightness, 0xC2000010, 0x83000040, true},   // absolute control not offered
        {brightness, 0x82000020, 0x82000020, false},
    };
    for (const Step& s : steps) {
        t.SetReg(s.reg, s.value);
        EXPECT_EQ(s.expect, t.Reg(s.reg)) << std::hex << s.value;
        EXPECT_EQ(s.error ? 0x80000000u : 0u, t.Reg(iidc::kFeatureErrorStatusHi)) << std::hex << s.value;
    }
    // White balance: U/B 23:12 and V/R 11:0 each within 0..1023.
    const uint32_t wb = iidc::kFeatureControl0 + 4 * iidc::kWhiteBalance;
    t.SetReg(wb, 0x82000000 | (100u << 12) | 900);
    EXPECT_EQ(0x82000000u | (100u << 12) | 900, t.Reg(wb));
    t.SetReg(wb, 0x82000000 | (1024u << 12) | 900);
    EXPECT_EQ(0x82000000u | (100u << 12) | 900, t.Reg(wb));
    EXPECT_EQ(1u << (31 - 3), t.Reg(iidc::kFeatureErrorStatusHi));
    // Absent feature: inquiry and control read 0, writes change nothing.
    t.SetReg(iidc::kFeatureControl0 + 4 * iidc::kHue, 0x82000001);
    EXPECT_EQ(0u, t.Reg(iidc::kFeatureControl0 + 4 * iidc::kHue));
    EXPECT_EQ(0u, t.Reg(iidc::kFeatureInq0 + 4 * iidc::kHue));
}

float AsFloat(uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}
uint32_t Bits(float f) {
    uint32_t b;
    std::memcpy(&b, &f, 4);
    return b;
}

TEST(CameraFeatures, AbsoluteValues) {
    CameraBus t(IidcCamera::Config{});
    const uint32_t gain = iidc::kFeatureControl0 + 4 * iidc::kGain;
    EXPECT_TRUE(t.Reg(iidc::kFeatureInq0 + 4 * iidc::kGain) & iidc::kAbsControl);
    EXPECT_EQ(0u, t.Reg(iidc::kAbsCsrInq0 + 4 * iidc::kBrightness)) << "no absolute brightness";
    const uint64_t abs = 0xFFFFF0000000ull + 4ull * t.Reg(iidc::kAbsCsrInq0 + 4 * iidc::kGain);
    EXPECT_EQ(0.0f, AsFloat(t.Read(abs + iidc::kAbsMin)));
    EXPECT_EQ(24.0f, AsFloat(t.Read(abs + iidc::kAbsMax)));
    // Gain 0..480 is 0..24 dB: 240 reads 12 dB.
    t.SetReg(gain, 0x820000F0);
    EXPECT_EQ(12.0f, AsFloat(t.Read(abs + iidc::kAbsValue)));
    // ABS_VALUE acts only under absolute control; then it sets the nearest value.
    t.Write(abs + iidc::kAbsValue, Bits(6.0f));
    EXPECT_EQ(0xF0u, t.Reg(gain) & 0xFFF);
    t.SetReg(gain, 0xC2000000);
    t.Write(abs + iidc::kAbsValue, Bits(6.0f));
    EXPECT_EQ(0xC2000078u, t.Reg(gain));
    EXPECT_EQ(6.0f, AsFloat(t.Read(abs + iidc::kAbsValue)));
    t.Write(abs + iidc::kAbsValue, Bits(30.0f));  // out of range: refused
    EXPECT_EQ(0xC2000078u, t.Reg(gain));
    uint8_t rcode = 0;
    t.Read(t.camera->AbsCsrBase(iidc::kBrightness), &rcode);
    EXPECT_EQ(sim::kRcodeAddressError, rcode) << "no absolute CSR behind brightness";
}

TEST(CameraFeatures, SoftwareTriggerStartsOneFrameEach) {
    IidcCamera::Config c;
    c.rates = {};
    c.rates[0][1] = 1u << iidc::k30;
    CameraBus t(c);
    const uint32_t trigger = iidc::kFeatureControl0 + 4 * iidc::kTrigger;
    // Inquiry: presence, read-out, on/off, polarity, source 0, software, modes 0 and 1.
    EXPECT_EQ(0x8E81C000u, t.Reg(iidc::kFeatureInq0 + 4 * iidc::kTrigger));
    t.SetReg(trigger, 0x82000000 | (7u << 21) | (3u << 16));  // mode 3: not offered
    EXPECT_EQ(0x80000000u, t.Reg(trigger));
    t.SetReg(trigger, 0x82000000 | (7u << 21));  // on, software source, mode 0
    EXPECT_EQ(0x82E00000u, t.Reg(trigger));
    t.SetReg(iidc::kIsoEn, iidc::kBit31);
    t.RunCycles(1000);
    EXPECT_TRUE(t.listener->iso.empty()) << "no frame without a trigger";
    t.SetReg(iidc::kSoftwareTrigger, iidc::kBit31);
    EXPECT_EQ(iidc::kBit31, t.Reg(iidc::kSoftwareTrigger));
    t.RunCycles(1);
    EXPECT_EQ(0u, t.Reg(iidc::kSoftwareTrigger));
    t.RunCycles(1000);
    EXPECT_EQ(240u, t.listener->iso.size());
    t.camera->ExternalTrigger();  // source 0 is not selected
    t.RunCycles(300);
    EXPECT_EQ(240u, t.listener->iso.size());
    t.SetReg(iidc::kSoftwareTrigger, iidc::kBit31);
    t.RunCycles(300);
    EXPECT_EQ(480u, t.listener->iso.size());
    EXPECT_EQ(1, t.listener->iso[240].data[3]);
}

TEST(CameraFeatures, StrobeCountsFrames) {
    IidcCamera::Config c;
    c.strobe = true;
    CameraBus t(c);
    EXPECT_TRUE(t.Reg(iidc::kBasicFuncInq) & iidc::kOptFunctionBit);
    EXPECT_EQ(iidc::kStrobeOutBit, t.Reg(iidc::kOptFunctionInq));
    const uint64_t strobe = 0xFFFFF0000000ull + 4ull * t.Reg(iidc::kStrobeOutputCsrInq);
    EXPECT_EQ(0xC0000000u, t.Read(strobe + iidc::kStrobeCtrlInq));
    t.Write(strobe + iidc::kStrobe0Cnt, (1u << 25) | (5u << 12) | 10);
    EXPECT_EQ(0x82000000u | (5u << 12) | 10, t.Read(strobe + iidc::kStrobe0Cnt));
    t.SetReg(iidc::kOneShot, iidc::kMultiShotFlag | 2);
    t.RunCycles(2000);
    EXPECT_EQ(2u, t.camera->StrobePulses());
}

TEST(CameraRom, OwnRomPlacesTheCommandRegisters) {
    IidcCamera::Config described;
    described.commandRegsBase = 0x3C4000;  // 0xFFFFF0F10000
    IidcCamera::Config c;
    c.romImage = IidcCamera::BuildRom(described).quadlets();
    CameraBus t(c);
    EXPECT_EQ(0xFFFFF0F10000ull, t.camera->CommandBase());
    EXPECT_EQ(0x44000000u, t.Read(0xFFFFF0F10000ull + iidc::kVModeInq0));
    uint8_t rcode = 0;
    t.Read(0xFFFFF0F00000ull + iidc::kVModeInq0, &rcode);
    EXPECT_EQ(sim::kRcodeAddressError, rcode) << "nothing at the default base";
    // A ROM that lays the command block over the core CSRs and the ROM: those stay the node's.
    IidcCamera::Config low;
    low.commandRegsBase = 0;
    IidcCamera::Config lowCamera;
    lowCamera.romImage = IidcCamera::BuildRom(low).quadlets();
    CameraBus v(lowCamera);
    EXPECT_EQ(0xFFFFF0000000ull, v.camera->CommandBase());
    EXPECT_EQ(lowCamera.romImage[0], v.Read(0xFFFFF0000400ull)) << "the ROM, not INQUIRY registers";
    EXPECT_EQ(uint32_t(v.camera->NodeId()) << 16, v.Read(0xFFFFF0000008ull)) << "NODE_IDS";
    EXPECT_EQ(0x82000080u, v.Read(0xFFFFF0000000ull + iidc::kFeatureControl0)) << "brightness, above the ROM";
    // A ROM without an IIDC unit: the configured base.
    IidcCamera::Config plain;
    plain.romImage = {0x04040000, 0x31333934, 0, 0, 0};
    CameraBus u(plain);
    EXPECT_EQ(0xFFFFF0F00000ull, u.camera->CommandBase());
}

}  // namespace
