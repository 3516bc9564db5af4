// Frames as image files a person opens: PGM for grey frames (Mono 8, and Mono 16 as a 16-bit PGM,
// whose samples are big-endian as IIDC sends them) and PPM for colour frames (RGB 8 as it comes,
// YUV 4:4:4, 4:2:2 and 4:1:1 converted to RGB). Pure logic, no driver behind it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "video.h"

namespace kx1394 {

// ITU-R BT.601 full-range YUV to RGB, U and V centred on 128.
void YuvToRgb(uint8_t y, uint8_t u, uint8_t v, uint8_t rgb[3]);

// A frame of a colour coding as 8-bit RGB triplets, row after row; empty when the frame is shorter
// than the mode's image or the coding is grey.
std::vector<uint8_t> FrameToRgb(const VideoMode& mode, const uint8_t* frame, size_t bytes);

// "pgm" for grey codings, "ppm" for colour codings.
const char* ImageExtension(Coding coding);

// The image file of a frame (binary PGM "P5" or PPM "P6"); empty when the frame is shorter than
// the mode's image.
std::vector<uint8_t> EncodeImage(const VideoMode& mode, const uint8_t* frame, size_t bytes);

}  // namespace kx1394
