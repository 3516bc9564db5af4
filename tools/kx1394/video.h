// IIDC Format_0 video modes as a camera program streams them: names on the command line, image
// geometry and colour coding, frame rates, the packets of one frame, and how a frame is taken out
// of a receive buffer and counted. Pure logic, no driver behind it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kx1394 {

// Colour codings of Format_0. IIDC samples are big-endian (Mono 16); YUV components come in the
// order U Y V (4:4:4), U Y0 V Y1 (4:2:2) and U Y0 Y1 V Y2 Y3 (4:1:1).
enum class Coding { Yuv444, Yuv422, Yuv411, Rgb8, Y8, Y16 };

struct VideoMode {
    const char* name = "";  // command-line name: "640x480-y8"
    uint32_t format = 0;    // IIDC format and mode (CUR_V_FORMAT / CUR_V_MODE)
    uint32_t mode = 0;
    uint32_t width = 0, height = 0;
    Coding coding = Coding::Y8;
};

// The modes of Format_0, mode 0 to 6.
const std::vector<VideoMode>& Format0Modes();
// "640x480-y8" (case does not matter) to its mode; a one-line reason listing the names otherwise.
bool ParseVideoMode(const std::string& text, VideoMode* mode, std::string* error);
// The command-line name of Format_0 mode m, or "" for a mode without one.
std::string VideoModeName(uint32_t format, uint32_t mode);

// Frame rates: index r (CUR_V_FRM_RATE) is 1.875 * 2^r frames per second, r = 0 .. 7.
inline constexpr uint32_t kRateCount = 8;
// "30", "7.5", "1.875" (or "30fps") to the rate index.
bool ParseFrameRate(const std::string& text, uint32_t* rate, std::string* error);
double FramesPerSecond(uint32_t rate);
std::string RateText(uint32_t rate);  // "30", "7.5"

uint32_t BitsPerPixel(Coding coding);
const char* CodingName(Coding coding);  // "Y8", "YUV422", ...
// Bytes of one image.
uint32_t FrameBytes(const VideoMode& mode);
// Format_0 sends a frame as 3840 / 2^r packets of equal size, one per isochronous cycle: 240 at
// 30 fps. The packet size is the frame divided among them, in whole quadlets; 0 where that does not
// come out even (no such packet in the Format_0 table).
uint32_t PacketsPerFrame(uint32_t rate);
uint32_t PacketBytes(const VideoMode& mode, uint32_t rate);

// Where the payload of each packet lies in a receive buffer: packet k's payloadBytes begin at
// k * stride + payloadOffset.
struct PacketLayout {
    uint32_t stride = 0;
    uint32_t payloadOffset = 0;
    uint32_t payloadBytes = 0;
};
// A receive buffer of stream mode 1 holds each packet's isochronous header quadlet (as the
// controller stores it: a little-endian number) beside its payload, one packet after the other,
// stride payload + 4. Whether the header comes first or follows the payload is read from the
// buffer itself: the first packet (and the second, when there is one) starts with a header of
// this stream's channel, payload length and tcode 0xA.
bool IsIsochHeader(const uint8_t* quadlet, uint32_t payloadBytes, uint32_t channel);
PacketLayout Mode1Layout(const uint8_t* buffer, size_t bufferBytes, uint32_t payloadBytes, uint32_t channel);

// The frame of `frameBytes` bytes carried by the packets in `buffer`, payload after payload. False
// when the buffer is too short for the packets the frame needs.
bool AssembleFrame(const uint8_t* buffer, size_t bufferBytes, const PacketLayout& layout, size_t frameBytes,
                   std::vector<uint8_t>* frame);

// The camera's frame counter: the first four bytes of a frame, big-endian (the simulated
// camera's test pattern puts it there).
uint32_t FrameCounter(const std::vector<uint8_t>& frame);

// Frames as they arrive, by their counters: a gap in the counters is frames the camera sent and
// the program did not receive; a counter that does not go forward is out of order.
class FrameTally {
public:
    void Add(uint32_t counter);
    uint64_t received() const { return received_; }
    uint64_t dropped() const { return dropped_; }
    uint64_t outOfOrder() const { return outOfOrder_; }
    uint32_t first() const { return first_; }
    uint32_t last() const { return last_; }

private:
    uint64_t received_ = 0, dropped_ = 0, outOfOrder_ = 0;
    uint32_t first_ = 0, last_ = 0;
};

}  // namespace kx1394
