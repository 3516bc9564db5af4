#include "options.h"

#include "arguments.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace kx1394 {

namespace {

bool ParseSeconds(const std::string& text, double* seconds) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    double value = std::strtod(text.c_str(), &end);
    if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(value)) return false;
    if (value <= 0 || value > kMaxWatchSeconds) return false;
    *seconds = value;
    return true;
}

Command CommandNamed(const std::string& word) {
    if (word == "bus") return Command::Bus;
    if (word == "reset") return Command::Reset;
    if (word == "watch") return Command::Watch;
    if (word == "help") return Command::Help;
    if (word == "read") return Command::Read;
    if (word == "write") return Command::Write;
    if (word == "lock") return Command::Lock;
    if (word == "phy") return Command::Phy;
    if (word == "stream") return Command::Stream;
    if (word == "rom") return Command::Rom;
    if (word == "camera") return Command::Camera;
    if (word == "topology") return Command::Topology;
    if (word == "speed") return Command::Speed;
    return Command::None;
}

const char* CommandName(Command command) {
    switch (command) {
    case Command::Read: return "read";
    case Command::Write: return "write";
    case Command::Lock: return "lock";
    case Command::Phy: return "phy";
    case Command::Stream: return "stream";
    case Command::Rom: return "rom";
    case Command::Camera: return "camera";
    default: return "";
    }
}

// The operands a command takes (its usage line), how many are required and how many at most.
struct Operands {
    const char* usage;
    size_t required;
    size_t most;
};

Operands OperandsOf(Command command) {
    switch (command) {
    case Command::Read: return {"read NODE OFFSET [LENGTH]", 2, 3};
    case Command::Write: return {"write NODE OFFSET HEXDATA", 3, 3};
    case Command::Lock: return {"lock NODE OFFSET OP ARG DATA", 5, 5};
    case Command::Phy: return {"phy QUADLET", 1, 1};
    case Command::Stream: return {"stream CHANNEL HEXDATA", 2, 2};
    case Command::Rom: return {"rom NODE", 1, 1};
    case Command::Camera: return {"camera NODE", 1, 1};
    default: return {"", 0, 0};
    }
}

// The operands of read, write, lock, phy, stream, rom and camera, checked and converted.
bool ParseOperands(const std::vector<std::string>& operands, Options* o, std::string* error) {
    const Operands shape = OperandsOf(o->command);
    if (operands.size() < shape.required || operands.size() > shape.most) {
        *error = std::string(operands.size() < shape.required ? "too few" : "too many") + " operands: " + shape.usage;
        return false;
    }
    switch (o->command) {
    case Command::Rom:
    case Command::Camera: return ParseNode(operands[0], &o->nodeId, error);
    case Command::Read:
        if (!ParseNode(operands[0], &o->nodeId, error) || !ParseOffset(operands[1], &o->offset, error)) return false;
        if (operands.size() == 3 && !ParseLength(operands[2], &o->length, error)) return false;
        break;
    case Command::Write:
        if (!ParseNode(operands[0], &o->nodeId, error) || !ParseOffset(operands[1], &o->offset, error) ||
            !ParseHexData(operands[2], &o->data, error))
            return false;
        o->length = uint32_t(o->data.size());
        break;
    case Command::Lock: {
        if (!ParseNode(operands[0], &o->nodeId, error) || !ParseOffset(operands[1], &o->offset, error) ||
            !ParseLockOp(operands[2], &o->extendedTcode, error))
            return false;
        const uint64_t max = o->lock64 ? ~0ull : 0xFFFFFFFFull;
        const char* width = o->lock64 ? "64-bit" : "32-bit (--size 8 for 64-bit operands)";
        if (!ParseNumber(operands[3], max, &o->argValue)) {
            *error = "ARG '" + operands[3] + "' is not a " + width + " number";
            return false;
        }
        if (!ParseNumber(operands[4], max, &o->dataValue)) {
            *error = "DATA '" + operands[4] + "' is not a " + width + " number";
            return false;
        }
        o->length = o->lock64 ? 8 : 4;
        if (o->offset % o->length != 0) {
            *error = "OFFSET " + operands[1] + " is not aligned to the " + std::to_string(o->length) +
                     "-byte lock operands";
            return false;
        }
        return true;
    }
    case Command::Phy: {
        uint64_t q = 0;
        if (!ParseNumber(operands[0], 0xFFFFFFFFull, &q)) {
            *error = "QUADLET '" + operands[0] + "' is not a 32-bit number";
            return false;
        }
        o->phyQuadlet = uint32_t(q);
        return true;
    }
    case Command::Stream: {
        uint64_t channel = 0;
        if (!ParseNumber(operands[0], 63, &channel)) {
            *error = "CHANNEL '" + operands[0] + "' is not a channel 0 to 63";
            return false;
        }
        o->channel = uint8_t(channel);
        if (!ParseHexData(operands[1], &o->data, error)) return false;
        o->length = uint32_t(o->data.size());
        return true;
    }
    default: return true;
    }
    // A quadlet transaction addresses a whole quadlet.
    if (o->length == 4 && o->offset % 4 != 0) {
        *error = "OFFSET " + operands[1] + " is not quadlet-aligned, as a 4-byte " + CommandName(o->command) +
                 " needs";
        return false;
    }
    return true;
}

}  // namespace

bool ParseOptions(const std::vector<std::string>& args, Options* options, std::string* error) {
    Options result;
    bool sawLong = false;
    bool sawFor = false;
    bool sawSize = false, sawStreamOption = false, sawReceiveOption = false;
    if (!ParseVideoMode("640x480-y8", &result.video, error)) return false;
    std::vector<std::string> operands;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        // --name=value is accepted for the options that take a value.
        std::string name = arg;
        std::string value;
        bool hasValue = false;
        size_t equals = arg.find('=');
        if (arg.rfind("--", 0) == 0 && equals != std::string::npos) {
            name = arg.substr(0, equals);
            value = arg.substr(equals + 1);
            hasValue = true;
        }
        auto takeValue = [&](std::string* out) {
            if (hasValue) {
                *out = value;
                return true;
            }
            if (i + 1 >= args.size()) return false;
            *out = args[++i];
            return true;
        };
        if (name == "--help" || name == "-h") {
            result.command = Command::Help;
            *options = result;
            return true;
        } else if (name == "--json" && !hasValue) {
            result.json = true;
        } else if (name == "--32" && !hasValue) {
            result.process32 = true;
        } else if (name == "--bus") {
            if (!takeValue(&result.busFile) || result.busFile.empty()) {
                *error = "--bus needs a file name";
                return false;
            }
        } else if (name == "--long" && !hasValue) {
            sawLong = true;
        } else if (name == "--short" && !hasValue) {
            result.shortReset = true;
        } else if (name == "--for") {
            std::string text;
            if (!takeValue(&text)) {
                *error = "--for needs a number of seconds";
                return false;
            }
            if (!ParseSeconds(text, &result.watchSeconds)) {
                *error = "--for takes seconds of virtual time, more than 0 and at most 3600: '" + text + "'";
                return false;
            }
            sawFor = true;
        } else if (name == "--size") {
            std::string text;
            if (!takeValue(&text) || (text != "4" && text != "8")) {
                *error = "--size takes 4 or 8 (bytes of each lock operand)";
                return false;
            }
            result.lock64 = text == "8";
            sawSize = true;
        } else if (name == "--speed") {
            std::string text;
            if (!takeValue(&text)) {
                *error = "--speed needs a speed (S100 to S3200)";
                return false;
            }
            if (!ParseSpeed(text, &result.speed, error)) return false;
            result.speedGiven = true;
        } else if (name == "--tag" || name == "--sy") {
            std::string text;
            uint64_t v = 0;
            const uint64_t max = name == "--tag" ? 3 : 15;
            if (!takeValue(&text) || !ParseNumber(text, max, &v)) {
                *error = name + " takes a number from 0 to " + std::to_string(max);
                return false;
            }
            (name == "--tag" ? result.tag : result.sy) = uint8_t(v);
            sawStreamOption = true;
        } else if (name == "--dot") {
            if (!takeValue(&result.dotFile) || result.dotFile.empty()) {
                *error = "--dot needs a file name";
                return false;
            }
        } else if (name == "--node" || name == "--mode" || name == "--rate" || name == "--frames" ||
                   name == "--buffers" || name == "--out") {
            std::string text;
            if (!takeValue(&text)) {
                *error = name + " needs a value";
                return false;
            }
            sawReceiveOption = true;
            if (name == "--node") {
                if (!ParseNode(text, &result.nodeId, error)) {
                    *error = "--node: " + *error;
                    return false;
                }
                result.nodeGiven = true;
            } else if (name == "--mode") {
                if (!ParseVideoMode(text, &result.video, error)) return false;
            } else if (name == "--rate") {
                if (!ParseFrameRate(text, &result.rate, error)) return false;
            } else if (name == "--out") {
                if (text.empty()) {
                    *error = "--out needs a directory";
                    return false;
                }
                result.outDir = text;
            } else {
                const bool frames = name == "--frames";
                const uint64_t max = frames ? kMaxFrames : kMaxBuffers;
                uint64_t v = 0;
                if (!ParseNumber(text, max, &v) || v == 0) {
                    *error = name + " takes a number from 1 to " + std::to_string(max) + ": '" + text + "'";
                    return false;
                }
                (frames ? result.frames : result.buffers) = uint32_t(v);
            }
        } else if (!arg.empty() && arg[0] == '-' && !(arg.size() > 1 && std::isdigit(static_cast<unsigned char>(arg[1])))) {
            *error = "unknown option '" + arg + "'";
            return false;
        } else if (result.command == Command::None) {
            result.command = CommandNamed(arg);
            if (result.command == Command::None) {
                *error = "unknown command '" + arg + "'";
                return false;
            }
        } else if (OperandsOf(result.command).most != 0) {
            operands.push_back(arg);
        } else {
            *error = "unexpected argument '" + arg + "'";
            return false;
        }
    }
    if (result.command == Command::Help) {
        *options = result;
        return true;
    }
    if (result.command == Command::None) {
        *error = "no command given (bus, reset, watch, read, write, lock, phy, stream, rom, camera, topology or speed)";
        return false;
    }
    if (sawLong && result.shortReset) {
        *error = "--long and --short exclude each other";
        return false;
    }
    if ((sawLong || result.shortReset) && result.command != Command::Reset) {
        *error = "--long and --short belong to the reset command";
        return false;
    }
    if (result.command == Command::Reset && !sawLong && !result.shortReset) {
        *error = "reset needs --long or --short";
        return false;
    }
    result.resetKindGiven = sawLong || result.shortReset;
    if (sawFor && result.command != Command::Watch) {
        *error = "--for belongs to the watch command";
        return false;
    }
    if (!result.dotFile.empty() && result.command != Command::Topology) {
        *error = "--dot belongs to the topology command";
        return false;
    }
    if (sawSize && result.command != Command::Lock) {
        *error = "--size belongs to the lock command";
        return false;
    }
    if ((sawStreamOption || result.speedGiven) && result.command != Command::Stream) {
        *error = "--speed, --tag and --sy belong to the stream command";
        return false;
    }
    if (sawReceiveOption && result.command != Command::Stream) {
        *error = "--node, --mode, --rate, --frames, --buffers and --out belong to the stream command";
        return false;
    }
    // stream without operands receives a camera's frames; with CHANNEL HEXDATA it sends a packet.
    if (result.command == Command::Stream && operands.empty() && !sawStreamOption) {
        if (result.speedGiven && result.speed > kMaxCameraSpeed) {
            *error = "--speed: a camera streams at S100, S200 or S400 (its ISO_SPEED field)";
            return false;
        }
        result.receive = true;
        *options = result;
        return true;
    }
    if (result.command == Command::Stream && sawReceiveOption) {
        *error = "--node, --mode, --rate, --frames, --buffers and --out receive frames: stream without CHANNEL HEXDATA";
        return false;
    }
    if (OperandsOf(result.command).most != 0 && !ParseOperands(operands, &result, error)) return false;
    *options = result;
    return true;
}

bool ParseCommandLine(const std::vector<std::string>& args, std::vector<Options>* commands, std::string* error) {
    std::vector<std::vector<std::string>> parts(1);
    for (const std::string& arg : args) {
        if (arg == "+") parts.emplace_back();
        else parts.back().push_back(arg);
    }
    std::vector<Options> result;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (parts.size() > 1 && parts[i].empty()) {
            *error = "'+' joins two commands: a command is missing";
            return false;
        }
        Options o;
        if (!ParseOptions(parts[i], &o, error)) return false;
        if (o.command == Command::Help) {
            *commands = {o};
            return true;
        }
        if (i > 0) {
            if (o.json || o.process32 || !o.busFile.empty()) {
                *error = "--bus, --json and --32 go with the first command and hold for all";
                return false;
            }
            o.json = result[0].json;
            o.process32 = result[0].process32;
            o.busFile = result[0].busFile;
        }
        result.push_back(std::move(o));
    }
    *commands = std::move(result);
    return true;
}

const char* UsageText() {
    return "usage: kx1394 [--bus FILE] [--json] [--32] COMMAND [OPTIONS] [+ COMMAND [OPTIONS]]...\n"
           "\n"
           "Runs the KX1394 driver on the host kernel with a simulated OHCI controller and bus, and\n"
           "talks to it only as a user program does: through the device interface and its control codes.\n"
           "\n"
           "Commands:\n"
           "  bus                   local node, node count, IRM, GUID, OHCI version, link-active nodes,\n"
           "                        speed to every node, bus-reset count, and each node's vendor\n"
           "                        and model with their texts from its configuration ROM\n"
           "  reset --long|--short  asks the driver for a long or a short bus reset and shows the\n"
           "                        bus-reset count before and after\n"
           "  watch [--for SECONDS] prints bus-reset and bus-ready events while a node is unplugged and\n"
           "                        plugged back every two seconds (virtual time; default 10 s)\n"
           "  read NODE OFFSET [LENGTH]\n"
           "                        reads LENGTH bytes (default 4: a quadlet read) at OFFSET of NODE\n"
           "  write NODE OFFSET HEXDATA\n"
           "                        writes the bytes of HEXDATA (4 bytes: a quadlet write)\n"
           "  lock NODE OFFSET OP ARG DATA [--size 4|8]\n"
           "                        a lock transaction: OP mask_swap, compare_swap, fetch_add,\n"
           "                        little_add, bounded_add or wrap_add (or 1 to 6); ARG is the\n"
           "                        arg_value (not sent for fetch_add and little_add), DATA the\n"
           "                        data_value; --size 8 for 64-bit operands; shows the old value\n"
           "  phy QUADLET           sends a PHY packet (QUADLET and its inverse)\n"
           "  stream CHANNEL HEXDATA [--speed S100] [--tag 0] [--sy 0]\n"
           "                        sends an asynchronous stream packet on CHANNEL (0 to 63)\n"
           "  stream [--node N] [--mode 640x480-y8] [--rate 30] [--frames 100] [--buffers 3] [--out DIR]\n"
           "         [--speed S400]\n"
           "                        receives frames from an IIDC camera (default: the bus's first):\n"
           "                        checks the mode and rate against its inquiry registers, programs\n"
           "                        it with asynchronous writes, opens an isochronous receive stream on\n"
           "                        a free channel, attaches --buffers buffers of one frame each, and\n"
           "                        writes every frame into DIR as frame-NNNN.pgm (Mono 8, Mono 16) or\n"
           "                        .ppm (RGB 8; YUV converted to RGB); shows frames received and\n"
           "                        dropped (by the camera's frame counter), frame rate and bytes per\n"
           "                        second. Modes: 160x120-yuv444, 320x240-yuv422, 640x480-yuv411,\n"
           "                        640x480-yuv422, 640x480-rgb8, 640x480-y8, 640x480-y16; rates\n"
           "                        1.875, 3.75, 7.5, 15, 30, 60, 120, 240 fps; --speed: the camera's\n"
           "                        ISO_SPEED (default its link speed from its ROM, at most S400)\n"
           "  rom NODE              reads the node's configuration ROM with quadlet reads and decodes\n"
           "                        it: bus information block, directories, textual leaves, every\n"
           "                        block's CRC (good or bad; a bad CRC is reported, not fatal)\n"
           "  camera NODE           reads an IIDC camera's inquiry registers (command base from its\n"
           "                        ROM): formats, modes, frame rates, basic functions, features\n"
           "  topology [--dot FILE] the local node's TOPOLOGY_MAP, read with the program's own reads of\n"
           "                        the local node: every node with its parent and children by port,\n"
           "                        speed, link-active and contender bits and gap count; --dot writes\n"
           "                        the tree as a Graphviz picture\n"
           "  speed                 the speed between every pair of nodes from the TOPOLOGY_MAP's\n"
           "                        self-ID speeds (the slowest PHY on the path), beside the driver's\n"
           "                        speeds from the local node (IOCTL_GET_NODE_SPEED)\n"
           "  help                  this text\n"
           "\n"
           "NODE is a physical ID 0 to 62 on the local bus or a node ID such as 0xFFC2; OFFSET a 48-bit\n"
           "bus offset (0xFFFFF0000400); LENGTH 1 to 65535 bytes; HEXDATA bytes as hex digits\n"
           "(0x80000000); numbers are decimal or hex with 0x.\n"
           "\n"
           "Commands joined by '+' run in order on the same bus (each run starts a new one):\n"
           "  kx1394 write 0 0xFFFFF0F00604 0xA0000000 + read 0 0xFFFFF0F00604\n"
           "With --json each command prints one JSON object on a line of its own.\n"
           "\n"
           "Options:\n"
           "  --bus FILE   the bus described in FILE instead of the default bus (a controller, a\n"
           "               three-port node, two IIDC cameras and an SBP-2 unit). Format:\n"
           "                 node NAME KIND [speed=S400] [ports=3] [guid=0x..] [vendor=0x..] [model=0x..]\n"
           "                 connect A.PORT B.PORT\n"
           "               KIND: controller (the local node), plain, camera, sbp2; '#' starts a comment\n"
           "  --json       machine-readable output (one JSON object)\n"
           "  --32         the program runs as a 32-bit process (records in their 32-bit layout)\n"
           "  -h, --help   this text\n"
           "\n"
           "Time on the simulated bus is virtual: 'watch --for 10' takes well under a second.\n"
           "Exit status: 0 done, 1 the bus, the driver or a request failed (a transaction that ends with\n"
           "an error status, ack or rcode; a ROM that cannot be read), 2 bad command line.\n";
}

}  // namespace kx1394
