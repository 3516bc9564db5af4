#include "options.h"

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
    return Command::None;
}

}  // namespace

bool ParseOptions(const std::vector<std::string>& args, Options* options, std::string* error) {
    Options result;
    bool sawLong = false;
    bool sawFor = false;
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
        } else if (!arg.empty() && arg[0] == '-') {
            *error = "unknown option '" + arg + "'";
            return false;
        } else if (result.command == Command::None) {
            result.command = CommandNamed(arg);
            if (result.command == Command::None) {
                *error = "unknown command '" + arg + "'";
                return false;
            }
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
        *error = "no command given (bus, reset or watch)";
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
    *options = result;
    return true;
}

const char* UsageText() {
    return "usage: kx1394 [--bus FILE] [--json] [--32] COMMAND [OPTIONS]\n"
           "\n"
           "Runs the KX1394 driver on the host kernel with a simulated OHCI controller and bus, and\n"
           "talks to it only as a user program does: through the device interface and its control codes.\n"
           "\n"
           "Commands:\n"
           "  bus                   local node, node count, IRM, GUID, OHCI version, link-active nodes,\n"
           "                        speed to every node, bus-reset count\n"
           "  reset --long|--short  asks the driver for a long or a short bus reset and shows the\n"
           "                        bus-reset count before and after\n"
           "  watch [--for SECONDS] prints bus-reset and bus-ready events while a node is unplugged and\n"
           "                        plugged back every two seconds (virtual time; default 10 s)\n"
           "  help                  this text\n"
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
           "Exit status: 0 done, 1 the bus, the driver or a request failed, 2 bad command line.\n";
}

}  // namespace kx1394
