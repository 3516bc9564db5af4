#include "video.h"

#include <cctype>
#include <cstring>

namespace kx1394 {

const std::vector<VideoMode>& Format0Modes() {
    static const std::vector<VideoMode> kModes = {
        {"160x120-yuv444", 0, 0, 160, 120, Coding::Yuv444}, {"320x240-yuv422", 0, 1, 320, 240, Coding::Yuv422},
        {"640x480-yuv411", 0, 2, 640, 480, Coding::Yuv411}, {"640x480-yuv422", 0, 3, 640, 480, Coding::Yuv422},
        {"640x480-rgb8", 0, 4, 640, 480, Coding::Rgb8},     {"640x480-y8", 0, 5, 640, 480, Coding::Y8},
        {"640x480-y16", 0, 6, 640, 480, Coding::Y16},
    };
    return kModes;
}

bool ParseVideoMode(const std::string& text, VideoMode* mode, std::string* error) {
    std::string lower;
    for (char c : text) lower += char(std::tolower(static_cast<unsigned char>(c)));
    std::string names;
    for (const VideoMode& m : Format0Modes()) {
        if (lower == m.name) {
            *mode = m;
            return true;
        }
        names += (names.empty() ? "" : ", ") + std::string(m.name);
    }
    *error = "--mode '" + text + "' is not a video mode (" + names + ")";
    return false;
}

std::string VideoModeName(uint32_t format, uint32_t mode) {
    for (const VideoMode& m : Format0Modes())
        if (m.format == format && m.mode == mode) return m.name;
    return "";
}

namespace {
const char* const kRateTexts[kRateCount] = {"1.875", "3.75", "7.5", "15", "30", "60", "120", "240"};
}

bool ParseFrameRate(const std::string& text, uint32_t* rate, std::string* error) {
    std::string number = text;
    if (number.size() > 3 && number.compare(number.size() - 3, 3, "fps") == 0) number.resize(number.size() - 3);
    for (uint32_t r = 0; r < kRateCount; ++r) {
        if (number == kRateTexts[r]) {
            *rate = r;
            return true;
        }
    }
    *error = "--rate '" + text + "' is not a frame rate (1.875, 3.75, 7.5, 15, 30, 60, 120 or 240)";
    return false;
}

double FramesPerSecond(uint32_t rate) { return 1.875 * double(1u << (rate < kRateCount ? rate : 0)); }

std::string RateText(uint32_t rate) { return rate < kRateCount ? kRateTexts[rate] : "?"; }

uint32_t BitsPerPixel(Coding coding) {
    switch (coding) {
    case Coding::Yuv444:
    case Coding::Rgb8: return 24;
    case Coding::Yuv422:
    case Coding::Y16: return 16;
    case Coding::Yuv411: return 12;
    case Coding::Y8: return 8;
    }
    return 0;
}

const char* CodingName(Coding coding) {
    switch (coding) {
    case Coding::Yuv444: return "YUV444";
    case Coding::Yuv422: return "YUV422";
    case Coding::Yuv411: return "YUV411";
    case Coding::Rgb8: return "RGB8";
    case Coding::Y8: return "Y8";
    case Coding::Y16: return "Y16";
    }
    return "";
}

uint32_t FrameBytes(const VideoMode& mode) { return mode.width * mode.height * BitsPerPixel(mode.coding) / 8; }

uint32_t PacketsPerFrame(uint32_t rate) { return rate < kRateCount ? 3840u >> rate : 0; }

uint32_t PacketBytes(const VideoMode& mode, uint32_t rate) {
    const uint32_t packets = PacketsPerFrame(rate);
    const uint32_t bytes = FrameBytes(mode);
    if (packets == 0 || bytes % packets != 0 || (bytes / packets) % 4 != 0) return 0;
    return bytes / packets;
}

bool AssembleFrame(const uint8_t* buffer, size_t bufferBytes, const PacketLayout& layout, size_t frameBytes,
                   std::vector<uint8_t>* frame) {
    frame->clear();
    if (layout.payloadBytes == 0 || layout.stride < layout.payloadOffset + layout.payloadBytes) return false;
    const size_t packets = (frameBytes + layout.payloadBytes - 1) / layout.payloadBytes;
    if (packets != 0 && (packets - 1) * size_t(layout.stride) + layout.payloadOffset + layout.payloadBytes > bufferBytes)
        return false;
    frame->resize(frameBytes);
    for (size_t k = 0, at = 0; k < packets; ++k, at += layout.payloadBytes) {
        const size_t n = frameBytes - at < layout.payloadBytes ? frameBytes - at : layout.payloadBytes;
        std::memcpy(frame->data() + at, buffer + k * layout.stride + layout.payloadOffset, n);
    }
    return true;
}

bool IsIsochHeader(const uint8_t* quadlet, uint32_t payloadBytes, uint32_t channel) {
    // data_length 31:16, tag 15:14, channel 13:8, tcode 7:4, sy 3:0 (IEEE 1394 isochronous packet).
    const uint32_t q = uint32_t(quadlet[0]) | uint32_t(quadlet[1]) << 8 | uint32_t(quadlet[2]) << 16 |
                       uint32_t(quadlet[3]) << 24;
    return (q >> 16) == payloadBytes && ((q >> 8) & 0x3F) == channel && ((q >> 4) & 0xF) == 0xA;
}

PacketLayout Mode1Layout(const uint8_t* buffer, size_t bufferBytes, uint32_t payloadBytes, uint32_t channel) {
    const uint32_t stride = payloadBytes + 4;
    bool headerFirst = bufferBytes >= stride && IsIsochHeader(buffer, payloadBytes, channel);
    if (headerFirst && bufferBytes >= 2 * size_t(stride))
        headerFirst = IsIsochHeader(buffer + stride, payloadBytes, channel);
    return PacketLayout{stride, headerFirst ? 4u : 0u, payloadBytes};
}

uint32_t FrameCounter(const std::vector<uint8_t>& frame) {
    if (frame.size() < 4) return 0;
    return uint32_t(frame[0]) << 24 | uint32_t(frame[1]) << 16 | uint32_t(frame[2]) << 8 | frame[3];
}

void FrameTally::Add(uint32_t counter) {
    if (received_ == 0) {
        first_ = last_ = counter;
    } else {
        const uint32_t step = counter - last_;  // modulo 2^32: the counter may wrap
        if (step == 0 || step >= 0x80000000u) {
            ++outOfOrder_;
        } else {
            dropped_ += step - 1;
            last_ = counter;
        }
    }
    ++received_;
}

}  // namespace kx1394
