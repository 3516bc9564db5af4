// Command line of kx1394.
#pragma once

#include <string>
#include <vector>

namespace kx1394 {

enum class Command { None, Help, Bus, Reset, Watch };

struct Options {
    Command command = Command::None;
    bool json = false;
    std::string busFile;      // empty: the default bus
    bool shortReset = false;  // reset: --short (default --long)
    bool resetKindGiven = false;
    double watchSeconds = 10;  // watch: --for
    bool process32 = false;    // --32: the program is a 32-bit process
};

inline constexpr double kMaxWatchSeconds = 3600;

// Parses argv[1..]. On a bad command line returns false with *error set (one line, no prefix).
bool ParseOptions(const std::vector<std::string>& args, Options* options, std::string* error);

// The text of --help.
const char* UsageText();

}  // namespace kx1394
