// Command line of kx1394.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "video.h"

namespace kx1394 {

enum class Command { None, Help, Bus, Reset, Watch, Read, Write, Lock, Phy, Stream, Rom, Camera, Topology, Speed };

struct Options {
    Command command = Command::None;
    bool json = false;
    std::string busFile;      // empty: the default bus
    bool shortReset = false;  // reset: --short (default --long)
    bool resetKindGiven = false;
    double watchSeconds = 10;  // watch: --for
    bool process32 = false;    // --32: the program is a 32-bit process

    // read, write, lock, rom, camera
    uint16_t nodeId = 0;
    uint64_t offset = 0;
    uint32_t length = 4;        // read: LENGTH
    std::vector<uint8_t> data;  // write, stream: HEXDATA
    // lock
    uint8_t extendedTcode = 0;
    uint64_t argValue = 0;
    uint64_t dataValue = 0;
    bool lock64 = false;        // --size 8
    // phy
    uint32_t phyQuadlet = 0;
    // stream
    uint8_t channel = 0;
    uint8_t speed = 0;          // --speed, default S100 (receiving: the camera's link speed, at most S400)
    bool speedGiven = false;
    uint8_t tag = 0;            // --tag
    uint8_t sy = 0;             // --sy
    // stream without operands: frames of a camera's isochronous stream
    bool receive = false;
    bool nodeGiven = false;     // --node (else the bus's first IIDC camera)
    VideoMode video;            // --mode, default 640x480-y8
    uint32_t rate = 4;          // --rate as its index, default 30 fps
    uint32_t frames = 100;      // --frames
    uint32_t buffers = 3;       // --buffers
    std::string outDir;         // --out: where the images go (none: frames are counted, not written)
    // topology
    std::string dotFile;        // --dot: where the Graphviz picture goes (none: no picture)
};

inline constexpr uint32_t kMaxFrames = 100000;
inline constexpr uint32_t kMaxBuffers = 64;
inline constexpr uint8_t kMaxCameraSpeed = 2;  // S400: the top of the legacy ISO_SPEED field

inline constexpr double kMaxWatchSeconds = 3600;

// Parses argv[1..]. On a bad command line returns false with *error set (one line, no prefix).
bool ParseOptions(const std::vector<std::string>& args, Options* options, std::string* error);

// A command line of one or more commands joined by '+', run in order on the same bus: each part
// parsed as above; --bus, --json and --32 belong to the first part and hold for all.
bool ParseCommandLine(const std::vector<std::string>& args, std::vector<Options>* commands, std::string* error);

// The text of --help.
const char* UsageText();

}  // namespace kx1394
