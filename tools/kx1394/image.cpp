#include "image.h"

#include <string>

namespace kx1394 {

namespace {

uint8_t Clamp(int32_t scaled) {
    // scaled is a value times 65536; round and clamp to 0..255.
    if (scaled <= 0) return 0;
    const int32_t v = (scaled + 32768) >> 16;
    return v > 255 ? 255 : uint8_t(v);
}

}  // namespace

void YuvToRgb(uint8_t y, uint8_t u, uint8_t v, uint8_t rgb[3]) {
    const int32_t yy = int32_t(y) << 16;
    const int32_t uu = int32_t(u) - 128;
    const int32_t vv = int32_t(v) - 128;
    // 1.402, 0.344136, 0.714136 and 1.772 in 16.16 fixed point.
    rgb[0] = Clamp(yy + 91881 * vv);
    rgb[1] = Clamp(yy - 22554 * uu - 46802 * vv);
    rgb[2] = Clamp(yy + 116130 * uu);
}

std::vector<uint8_t> FrameToRgb(const VideoMode& mode, const uint8_t* frame, size_t bytes) {
    const size_t pixels = size_t(mode.width) * mode.height;
    std::vector<uint8_t> rgb;
    if (bytes < FrameBytes(mode)) return rgb;
    rgb.resize(pixels * 3);
    uint8_t* out = rgb.data();
    switch (mode.coding) {
    case Coding::Rgb8: rgb.assign(frame, frame + pixels * 3); break;
    case Coding::Yuv444:  // U Y V
        for (size_t p = 0; p < pixels; ++p, frame += 3, out += 3) YuvToRgb(frame[1], frame[0], frame[2], out);
        break;
    case Coding::Yuv422:  // U Y0 V Y1: two pixels
        for (size_t p = 0; p + 1 < pixels; p += 2, frame += 4, out += 6) {
            YuvToRgb(frame[1], frame[0], frame[2], out);
            YuvToRgb(frame[3], frame[0], frame[2], out + 3);
        }
        break;
    case Coding::Yuv411:  // U Y0 Y1 V Y2 Y3: four pixels
        for (size_t p = 0; p + 3 < pixels; p += 4, frame += 6, out += 12) {
            YuvToRgb(frame[1], frame[0], frame[3], out);
            YuvToRgb(frame[2], frame[0], frame[3], out + 3);
            YuvToRgb(frame[4], frame[0], frame[3], out + 6);
            YuvToRgb(frame[5], frame[0], frame[3], out + 9);
        }
        break;
    case Coding::Y8:
    case Coding::Y16: rgb.clear(); break;
    }
    return rgb;
}

const char* ImageExtension(Coding coding) {
    return coding == Coding::Y8 || coding == Coding::Y16 ? "pgm" : "ppm";
}

std::vector<uint8_t> EncodeImage(const VideoMode& mode, const uint8_t* frame, size_t bytes) {
    std::vector<uint8_t> file;
    const size_t imageBytes = FrameBytes(mode);
    if (bytes < imageBytes) return file;
    const bool grey = mode.coding == Coding::Y8 || mode.coding == Coding::Y16;
    const std::string head = std::string(grey ? "P5" : "P6") + "\n" + std::to_string(mode.width) + " " +
                             std::to_string(mode.height) + "\n" + (mode.coding == Coding::Y16 ? "65535" : "255") + "\n";
    file.assign(head.begin(), head.end());
    if (grey) {
        // PGM samples of two bytes are most significant byte first, as Mono 16 arrives.
        file.insert(file.end(), frame, frame + imageBytes);
    } else {
        std::vector<uint8_t> rgb = FrameToRgb(mode, frame, bytes);
        file.insert(file.end(), rgb.begin(), rgb.end());
    }
    return file;
}

}  // namespace kx1394
