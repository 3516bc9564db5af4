// Format_0 geometry, frame assembly and counting, YUV conversion and the image writers of kx1394.
#include "image.h"
#include "video.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "iidc_camera.h"

namespace kx1394 {
namespace {

TEST(Video, ModeNames) {
    VideoMode m;
    std::string error;
    ASSERT_TRUE(ParseVideoMode("640x480-y8", &m, &error));
    EXPECT_EQ(m.mode, 5u);
    EXPECT_EQ(m.coding, Coding::Y8);
    ASSERT_TRUE(ParseVideoMode("320x240-YUV422", &m, &error));
    EXPECT_EQ(m.mode, 1u);
    EXPECT_EQ(m.width, 320u);
    for (const char* bad : {"", "640x480", "640x480-y8x", "800x600-y8", "y8"}) {
        EXPECT_FALSE(ParseVideoMode(bad, &m, &error)) << bad;
        EXPECT_NE(error.find("640x480-y16"), std::string::npos) << error;
    }
    EXPECT_EQ(VideoModeName(0, 6), "640x480-y16");
    EXPECT_EQ(VideoModeName(0, 7), "");
    EXPECT_EQ(VideoModeName(1, 5), "");
}

TEST(Video, FrameRates) {
    struct Case {
        const char* text;
        bool ok;
        uint32_t rate;
    };
    for (const Case& c : {Case{"1.875", true, 0}, Case{"3.75", true, 1}, Case{"7.5", true, 2}, Case{"15", true, 3},
                          Case{"30", true, 4}, Case{"30fps", true, 4}, Case{"240", true, 7}, Case{"29", false, 0},
                          Case{"30.0", false, 0}, Case{"", false, 0}, Case{"fps", false, 0}, Case{"480", false, 0}}) {
        uint32_t rate = 99;
        std::string error;
        EXPECT_EQ(ParseFrameRate(c.text, &rate, &error), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(rate, c.rate) << c.text;
        } else {
            EXPECT_NE(error.find("--rate"), std::string::npos);
        }
    }
    EXPECT_DOUBLE_EQ(FramesPerSecond(4), 30.0);
    EXPECT_DOUBLE_EQ(FramesPerSecond(0), 1.875);
}

// Every packet size the IIDC Format_0 table defines (the camera model's own table) comes out of
// the frame divided among 3840 / 2^r packets.
TEST(Video, PacketSizesMatchTheFormat0Table) {
    int defined = 0;
    for (const VideoMode& m : Format0Modes()) {
        const sim::iidc::Format0Mode* table = sim::iidc::Format0(m.mode);
        ASSERT_NE(table, nullptr);
        EXPECT_EQ(table->width, m.width);
        EXPECT_EQ(table->height, m.height);
        EXPECT_EQ(table->bitsPerPixel, BitsPerPixel(m.coding)) << m.name;
        for (uint32_t rate = 0; rate < 6; ++rate) {
            EXPECT_EQ(PacketsPerFrame(rate), sim::iidc::Format0PacketsPerFrame(rate));
            if (table->packetBytes[rate] == 0) continue;
            ++defined;
            EXPECT_EQ(PacketBytes(m, rate), table->packetBytes[rate]) << m.name << " rate " << rate;
        }
    }
    EXPECT_GT(defined, 20);
    VideoMode y8;
    std::string error;
    ASSERT_TRUE(ParseVideoMode("640x480-y8", &y8, &error));
    EXPECT_EQ(FrameBytes(y8), 307200u);
    EXPECT_EQ(PacketBytes(y8, 4), 1280u);
    VideoMode small;
    ASSERT_TRUE(ParseVideoMode("160x120-yuv444", &small, &error));
    EXPECT_EQ(PacketBytes(small, 0), 0u);  // 57600 bytes in 2048 packets: no whole quadlets
}

TEST(Video, AssembleFrameSkipsWhatSurroundsEachPayload) {
    // Three packets of 8 payload bytes, each followed by a 4-byte trailer; a 20-byte frame.
    std::vector<uint8_t> buffer;
    for (int k = 0; k < 3; ++k) {
        for (int i = 0; i < 8; ++i) buffer.push_back(uint8_t(k * 8 + i));
        for (int i = 0; i < 4; ++i) buffer.push_back(0xEE);
    }
    PacketLayout layout{12, 0, 8};
    std::vector<uint8_t> frame;
    ASSERT_TRUE(AssembleFrame(buffer.data(), buffer.size(), layout, 20, &frame));
    ASSERT_EQ(frame.size(), 20u);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(frame[i], i);
    // A header quadlet in front instead.
    PacketLayout headed{12, 4, 8};
    ASSERT_TRUE(AssembleFrame(buffer.data(), buffer.size(), headed, 16, &frame));
    EXPECT_EQ(frame[0], 4);
    EXPECT_EQ(frame[4], 0xEE);
    // Too short for the frame, or a layout whose payload does not fit its stride.
    EXPECT_FALSE(AssembleFrame(buffer.data(), buffer.size() - 5, layout, 24, &frame));
    EXPECT_TRUE(frame.empty());
    EXPECT_FALSE(AssembleFrame(buffer.data(), buffer.size(), PacketLayout{8, 4, 8}, 8, &frame));
}

// Mode 1 buffers: the isochronous header quadlet (little-endian, as the controller stores it) in
// front of each payload, or the payload first and a trailer behind it.
TEST(Video, Mode1LayoutFollowsTheHeaders) {
    const uint32_t payload = 8, channel = 5;
    auto header = [&](uint8_t sy) {
        const uint32_t q = payload << 16 | channel << 8 | 0xA << 4 | sy;
        return std::vector<uint8_t>{uint8_t(q), uint8_t(q >> 8), uint8_t(q >> 16), uint8_t(q >> 24)};
    };
    std::vector<uint8_t> headed;
    for (int k = 0; k < 3; ++k) {
        std::vector<uint8_t> h = header(k == 0 ? 1 : 0);
        headed.insert(headed.end(), h.begin(), h.end());
        for (int i = 0; i < 8; ++i) headed.push_back(uint8_t(k * 8 + i));
    }
    EXPECT_TRUE(IsIsochHeader(headed.data(), payload, channel));
    EXPECT_FALSE(IsIsochHeader(headed.data(), payload + 4, channel));
    EXPECT_FALSE(IsIsochHeader(headed.data(), payload, channel + 1));
    PacketLayout l = Mode1Layout(headed.data(), headed.size(), payload, channel);
    EXPECT_EQ(l.stride, 12u);
    EXPECT_EQ(l.payloadOffset, 4u);
    std::vector<uint8_t> frame;
    ASSERT_TRUE(AssembleFrame(headed.data(), headed.size(), l, 24, &frame));
    for (int i = 0; i < 24; ++i) EXPECT_EQ(frame[i], i);
    // Payload first: a frame counter of 0 and pattern bytes are no header.
    std::vector<uint8_t> trailed;
    for (int k = 0; k < 3; ++k) {
        for (int i = 0; i < 8; ++i) trailed.push_back(uint8_t(k == 0 && i < 4 ? 0 : k * 8 + i));
        for (int i = 0; i < 4; ++i) trailed.push_back(0x11);
    }
    EXPECT_EQ(Mode1Layout(trailed.data(), trailed.size(), payload, channel).payloadOffset, 0u);
    // One header by chance in the first packet is not enough when there is a second.
    std::vector<uint8_t> chance = trailed;
    std::vector<uint8_t> h = header(1);
    std::copy(h.begin(), h.end(), chance.begin());
    EXPECT_EQ(Mode1Layout(chance.data(), chance.size(), payload, channel).payloadOffset, 0u);
}

TEST(Video, TallyCountsGapsAndDisorder) {
    FrameTally t;
    for (uint32_t c : {5u, 6u, 8u, 9u, 9u, 12u, 7u}) t.Add(c);
    EXPECT_EQ(t.received(), 7u);
    EXPECT_EQ(t.dropped(), 3u);  // 7, 10, 11
    EXPECT_EQ(t.outOfOrder(), 2u);
    EXPECT_EQ(t.first(), 5u);
    EXPECT_EQ(t.last(), 12u);
    FrameTally wrap;
    for (uint32_t c : {0xFFFFFFFEu, 0xFFFFFFFFu, 1u}) wrap.Add(c);
    EXPECT_EQ(wrap.dropped(), 1u);
    EXPECT_EQ(wrap.outOfOrder(), 0u);
}

TEST(Image, YuvToRgb) {
    struct Case {
        uint8_t y, u, v;
        int r, g, b;
    };
    // Grey, white, black, and the BT.601 primaries (Y U V of pure red, green and blue).
    for (const Case& c : {Case{128, 128, 128, 128, 128, 128}, Case{255, 128, 128, 255, 255, 255},
                          Case{0, 128, 128, 0, 0, 0}, Case{76, 85, 255, 255, 0, 0}, Case{150, 44, 21, 0, 255, 0},
                          Case{29, 255, 107, 0, 0, 255}, Case{255, 255, 255, 255, 121, 255}}) {
        uint8_t rgb[3];
        YuvToRgb(c.y, c.u, c.v, rgb);
        EXPECT_LE(std::abs(rgb[0] - c.r), 2) << int(c.y) << " " << int(c.u) << " " << int(c.v);
        EXPECT_LE(std::abs(rgb[1] - c.g), 2) << int(c.y) << " " << int(c.u) << " " << int(c.v);
        EXPECT_LE(std::abs(rgb[2] - c.b), 2) << int(c.y) << " " << int(c.u) << " " << int(c.v);
    }
}

VideoMode Mode(const char* name) {
    VideoMode m;
    std::string error;
    EXPECT_TRUE(ParseVideoMode(name, &m, &error)) << error;
    return m;
}

// The byte order of each YUV coding: with U = V = 128 every pixel is grey at its own Y.
TEST(Image, YuvSampleOrder) {
    struct Case {
        const char* mode;
        std::vector<uint8_t> group;  // the first pixels' bytes
        std::vector<uint8_t> greys;  // the Y of each pixel of the group, in order
    };
    for (const Case& c : {Case{"160x120-yuv444", {128, 10, 128, 128, 20, 128}, {10, 20}},
                          Case{"320x240-yuv422", {128, 10, 128, 20}, {10, 20}},
                          Case{"640x480-yuv411", {128, 10, 20, 128, 30, 40}, {10, 20, 30, 40}}}) {
        const VideoMode m = Mode(c.mode);
        std::vector<uint8_t> frame(FrameBytes(m), 128);
        std::copy(c.group.begin(), c.group.end(), frame.begin());
        std::vector<uint8_t> rgb = FrameToRgb(m, frame.data(), frame.size());
        ASSERT_EQ(rgb.size(), size_t(m.width) * m.height * 3) << c.mode;
        for (size_t p = 0; p < c.greys.size(); ++p)
            for (int k = 0; k < 3; ++k) EXPECT_EQ(rgb[p * 3 + k], c.greys[p]) << c.mode << " pixel " << p;
        EXPECT_EQ(rgb[c.greys.size() * 3], 128) << c.mode;
        EXPECT_TRUE(FrameToRgb(m, frame.data(), frame.size() - 1).empty());
    }
    // A colour U and V apply to every pixel of their group.
    const VideoMode m422 = Mode("320x240-yuv422");
    std::vector<uint8_t> frame(FrameBytes(m422), 128);
    frame[0] = 85, frame[1] = 76, frame[2] = 255, frame[3] = 76;
    std::vector<uint8_t> rgb = FrameToRgb(m422, frame.data(), frame.size());
    EXPECT_GE(rgb[0], 253);
    EXPECT_GE(rgb[3], 253);
    EXPECT_LE(rgb[4], 2);
}

TEST(Image, Files) {
    struct Case {
        const char* mode;
        const char* head;
        size_t bodyBytes;
        const char* extension;
    };
    for (const Case& c : {Case{"640x480-y8", "P5\n640 480\n255\n", 307200, "pgm"},
                          Case{"640x480-y16", "P5\n640 480\n65535\n", 614400, "pgm"},
                          Case{"640x480-rgb8", "P6\n640 480\n255\n", 921600, "ppm"},
                          Case{"640x480-yuv411", "P6\n640 480\n255\n", 921600, "ppm"},
                          Case{"320x240-yuv422", "P6\n320 240\n255\n", 230400, "ppm"},
                          Case{"160x120-yuv444", "P6\n160 120\n255\n", 57600, "ppm"}}) {
        const VideoMode m = Mode(c.mode);
        std::vector<uint8_t> frame(FrameBytes(m));
        for (size_t i = 0; i < frame.size(); ++i) frame[i] = uint8_t(i * 7);
        std::vector<uint8_t> file = EncodeImage(m, frame.data(), frame.size());
        const std::string head(c.head);
        ASSERT_EQ(file.size(), head.size() + c.bodyBytes) << c.mode;
        EXPECT_EQ(std::string(file.begin(), file.begin() + long(head.size())), head);
        EXPECT_EQ(std::string(ImageExtension(m.coding)), c.extension);
        if (m.coding == Coding::Y8 || m.coding == Coding::Y16 || m.coding == Coding::Rgb8) {
            EXPECT_TRUE(std::equal(frame.begin(), frame.end(), file.begin() + long(head.size()))) << c.mode;
        }
        EXPECT_TRUE(EncodeImage(m, frame.data(), frame.size() - 1).empty());
    }
}

}  // namespace
}  // namespace kx1394
