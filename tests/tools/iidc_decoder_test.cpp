// IIDC inquiry register decoding over register images: a camera's registers as a map from the
// offset (from the command base) to the quadlet, the bits set by hand from IIDC 1.31's tables.
#include "iidc_decoder.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

namespace kx1394 {
namespace {

struct RegisterImage {
    std::map<uint32_t, uint32_t> registers;
    std::set<uint32_t> unreadable;
    std::vector<uint32_t> reads;

    RegisterReader Reader() {
        return [this](uint32_t offset) {
            reads.push_back(offset);
            if (unreadable.count(offset) || !registers.count(offset))
                return QuadletRead::Failed("ack 254 (time-out)");
            return QuadletRead::Of(registers[offset]);
        };
    }
};

// Format_0 modes 1 (320x240 YUV 4:2:2) and 5 (640x480 Mono 8) at 15 and 30 fps, Format_7 mode 0;
// power control, one-shot, multi-shot; Brightness, Shutter, Trigger, Zoom and Capture_Quality.
RegisterImage Camera() {
    RegisterImage c;
    c.registers = {
        {0x100, 0x81000000},  // V_FORMAT_INQ: Format_0, Format_7
        {0x180, 0x44000000},  // V_MODE_INQ_0: Mode_1, Mode_5
        {0x19C, 0x80000000},  // V_MODE_INQ_7: Mode_0
        {0x204, 0x18000000},  // V_RATE_INQ_0_1: 15, 30 fps
        {0x214, 0x18000000},  // V_RATE_INQ_0_5
        {0x2E0, 0x003C1000},  // V_CSR_INQ_7_0: quadlet offset of the Format_7 mode registers
        {0x400, 0x40009802},  // BASIC_FUNC_INQ: Vmode_Error_Status, Cam_Power, One_Shot, Multi_Shot; 2 memory channels
        {0x404, 0x81080000},  // FEATURE_HI_INQ: Brightness (bit 0), Shutter (7), Trigger (12)
        {0x408, 0x80004000},  // FEATURE_LO_INQ: Zoom (bit 0), Capture_Quality (17)
        {0x500, 0x9F0103E8},  // Brightness: presence, one_push, readout, on_off, auto, manual; 16..1000
        {0x51C, 0x81001FFF},  // Shutter: presence, manual; 1..4095
        {0x530, 0x82808001},  // Trigger: presence, polarity, source 0, mode 0, mode 15
        {0x580, 0x80000000},  // Zoom: present, nothing else
        {0x5C4, 0x00000000},  // Capture_Quality: listed, but not present
        {0x600, 0x80000000},  // CUR_V_FRM_RATE: 30 fps (rate 4)
        {0x604, 0xA0000000},  // CUR_V_MODE: Mode_5
        {0x608, 0x00000000},  // CUR_V_FORMAT: Format_0
    };
    return c;
}

TEST(IidcDecoder, FormatsModesRatesAndFeaturesFromTheInquiryRegisters) {
    RegisterImage image = Camera();
    IidcCamera camera = DecodeCamera(image.Reader());
    ASSERT_TRUE(camera.formatsRead);
    ASSERT_EQ(camera.formats.size(), 2u);
    const IidcFormat& f0 = camera.formats[0];
    EXPECT_EQ(f0.format, 0u);
    ASSERT_EQ(f0.modes.size(), 2u);
    EXPECT_EQ(f0.modes[0].name, "Mode_1 (320x240 YUV 4:2:2)");
    EXPECT_EQ(f0.modes[0].rates, (std::vector<uint32_t>{3, 4}));
    EXPECT_EQ(f0.modes[1].name, "Mode_5 (640x480 Mono 8)");
    EXPECT_EQ(f0.modes[1].rates, (std::vector<uint32_t>{3, 4}));
    const IidcFormat& f7 = camera.formats[1];
    EXPECT_EQ(f7.format, 7u);
    ASSERT_EQ(f7.modes.size(), 1u);
    EXPECT_TRUE(f7.modes[0].hasCsr);
    EXPECT_EQ(f7.modes[0].csrOffset, 0xFFFFF0F04000ull);

    EXPECT_EQ(camera.basicFunctions,
              (std::vector<std::string>{"Vmode_Error_Status_Inq", "Cam_Power_Cntl", "One_Shot_Inq", "Multi_Shot_Inq"}));
    EXPECT_EQ(camera.memoryChannels, 2u);

    ASSERT_EQ(camera.features.size(), 5u);
    const IidcFeature& brightness = camera.features[0];
    EXPECT_EQ(brightness.name, "Brightness");
    EXPECT_TRUE(brightness.present);
    EXPECT_EQ(brightness.abilities,
              (std::vector<std::string>{"one_push", "readout", "on_off", "auto", "manual"}));
    EXPECT_EQ(brightness.minValue, 16u);
    EXPECT_EQ(brightness.maxValue, 1000u);
    EXPECT_EQ(camera.features[1].name, "Shutter");
    EXPECT_EQ(camera.features[1].abilities, (std::vector<std::string>{"manual"}));
    EXPECT_EQ(camera.features[1].maxValue, 4095u);
    const IidcFeature& trigger = camera.features[2];
    EXPECT_EQ(trigger.name, "Trigger");
    EXPECT_FALSE(trigger.hasRange);
    EXPECT_EQ(trigger.abilities, (std::vector<std::string>{"polarity", "source_0", "mode_0", "mode_15"}));
    EXPECT_EQ(camera.features[3].name, "Zoom");
    EXPECT_EQ(camera.features[4].name, "Capture_Quality");
    EXPECT_FALSE(camera.features[4].present);
    ASSERT_EQ(camera.problems.size(), 1u);  // Capture_Quality listed but not present
    EXPECT_NE(camera.problems[0].find("Capture_Quality"), std::string::npos);

    ASSERT_TRUE(camera.currentRead);
    EXPECT_EQ(camera.currentFormat, 0u);
    EXPECT_EQ(camera.currentMode, 5u);
    EXPECT_EQ(camera.currentRate, 4u);

    // Only the registers the inquiry bits call for were read, each once.
    std::set<uint32_t> read(image.reads.begin(), image.reads.end());
    EXPECT_EQ(read.size(), image.reads.size());
    std::set<uint32_t> all;
    for (const auto& r : image.registers) all.insert(r.first);
    EXPECT_EQ(read, all);

    const std::string report = CameraReport(camera);
    EXPECT_NE(report.find("Mode_5 (640x480 Mono 8): 15 fps, 30 fps"), std::string::npos) << report;
    EXPECT_NE(report.find("Brightness"), std::string::npos) << report;
    EXPECT_NE(report.find("range 16..1000"), std::string::npos) << report;
    const std::string json = CameraJson(camera);
    EXPECT_NE(json.find("\"rates\":[\"15 fps\",\"30 fps\"]"), std::string::npos) << json;
    EXPECT_NE(json.find("\"registers\":\"0xFFFFF0F04000\""), std::string::npos) << json;
}

TEST(IidcDecoder, AnUnreadableRegisterIsReportedAndTheRestDecoded) {
    RegisterImage image = Camera();
    image.unreadable = {0x180, 0x51C};  // V_MODE_INQ_0, Shutter inquiry
    IidcCamera camera = DecodeCamera(image.Reader());
    ASSERT_EQ(camera.formats.size(), 2u);
    EXPECT_TRUE(camera.formats[0].modes.empty());
    EXPECT_EQ(camera.formats[1].modes.size(), 1u);
    ASSERT_EQ(camera.features.size(), 5u);
    EXPECT_FALSE(camera.features[1].read);
    EXPECT_TRUE(camera.features[2].read);
    ASSERT_EQ(camera.problems.size(), 3u);
    EXPECT_NE(camera.problems[0].find("V_MODE_INQ_0 (0x180) could not be read: ack 254"), std::string::npos)
        << camera.problems[0];

    RegisterImage dead;
    camera = DecodeCamera(dead.Reader());
    EXPECT_FALSE(camera.formatsRead);
    EXPECT_FALSE(camera.basicRead);
    EXPECT_FALSE(camera.featuresRead);
    EXPECT_NE(CameraJson(camera).find("\"formats\":null"), std::string::npos);
}

TEST(IidcDecoder, NamesOfFormatsModesAndRates) {
    EXPECT_EQ(iidc::ModeName(1, 3), "Mode_3 (1024x768 YUV 4:2:2)");
    EXPECT_EQ(iidc::ModeName(2, 7), "Mode_7 (1600x1200 Mono 16)");
    EXPECT_EQ(iidc::ModeName(0, 7), "Mode_7 (reserved)");
    EXPECT_EQ(iidc::ModeName(6, 0), "Mode_0 (Exif)");
    EXPECT_EQ(iidc::FormatName(3), "Format_3 (reserved)");
    EXPECT_EQ(iidc::RateName(0), "1.875 fps");
    EXPECT_EQ(iidc::RateName(7), "240 fps");
}

}  // namespace
}  // namespace kx1394
