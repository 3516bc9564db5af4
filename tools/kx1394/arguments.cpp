#include "arguments.h"

#include <cctype>
#include <cstdio>

namespace kx1394 {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool HasHexPrefix(const std::string& text) { return text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'); }

struct LockName {
    uint8_t code;
    const char* name;
};
constexpr LockName kLockNames[] = {{1, "mask_swap"},  {2, "compare_swap"}, {3, "fetch_add"},
                                   {4, "little_add"}, {5, "bounded_add"},  {6, "wrap_add"}};

}  // namespace

bool ParseNumber(const std::string& text, uint64_t max, uint64_t* value) {
    if (text.empty()) return false;
    const bool hex = HasHexPrefix(text);
    const uint64_t base = hex ? 16 : 10;
    uint64_t v = 0;
    for (size_t i = hex ? 2 : 0; i < text.size(); ++i) {
        const int digit = hex ? HexDigit(text[i]) : (std::isdigit(static_cast<unsigned char>(text[i])) ? text[i] - '0' : -1);
        if (digit < 0 || uint64_t(digit) > max) return false;
        // Checked before it can overflow: v * base + digit <= max.
        if (v > (max - uint64_t(digit)) / base) return false;
        v = v * base + uint64_t(digit);
    }
    *value = v;
    return true;
}

bool ParseNode(const std::string& text, uint16_t* nodeId, std::string* error) {
    uint64_t v = 0;
    if (HasHexPrefix(text)) {
        if (!ParseNumber(text, 0xFFFF, &v)) {
            *error = "NODE '" + text + "' is not a node ID (0x0000 to 0xFFFF) nor a physical ID 0 to 62";
            return false;
        }
        if ((v & 0x3F) == 63) {
            *error = "NODE '" + text + "': physical ID 63 is the broadcast address, not a node";
            return false;
        }
        *nodeId = uint16_t(v);
        return true;
    }
    if (ParseNumber(text, 0xFFFF, &v) && v == 63) {
        *error = "NODE '" + text + "': physical ID 63 is the broadcast address, not a node";
        return false;
    }
    if (!ParseNumber(text, 0xFFFF, &v) || v > 62) {
        *error = "NODE '" + text + "' is not a physical ID 0 to 62 (or a node ID such as 0xFFC2)";
        return false;
    }
    *nodeId = uint16_t(0xFFC0 | v);
    return true;
}

bool ParseOffset(const std::string& text, uint64_t* offset, std::string* error) {
    if (!ParseNumber(text, kMaxOffset, offset)) {
        *error = "OFFSET '" + text + "' is not a 48-bit bus offset (0 to 0xFFFFFFFFFFFF)";
        return false;
    }
    return true;
}

bool ParseLength(const std::string& text, uint32_t* length, std::string* error) {
    uint64_t v = 0;
    if (!ParseNumber(text, kMaxLength, &v) || v == 0) {
        *error = "LENGTH '" + text + "' is not a number of bytes from 1 to 65535";
        return false;
    }
    *length = uint32_t(v);
    return true;
}

bool ParseHexData(const std::string& text, std::vector<uint8_t>* data, std::string* error) {
    const size_t start = HasHexPrefix(text) ? 2 : 0;
    const size_t digits = text.size() - start;
    if (digits == 0 || digits % 2 != 0) {
        *error = "HEXDATA '" + text + "' is not whole bytes of hex digits (such as 0x80000000)";
        return false;
    }
    if (digits / 2 > kMaxLength) {
        *error = "HEXDATA holds " + std::to_string(digits / 2) + " bytes; at most 65535";
        return false;
    }
    std::vector<uint8_t> bytes;
    bytes.reserve(digits / 2);
    for (size_t i = start; i < text.size(); i += 2) {
        const int hi = HexDigit(text[i]), lo = HexDigit(text[i + 1]);
        if (hi < 0 || lo < 0) {
            *error = "HEXDATA '" + text + "' holds a character that is not a hex digit";
            return false;
        }
        bytes.push_back(uint8_t(hi << 4 | lo));
    }
    *data = std::move(bytes);
    return true;
}

bool ParseLockOp(const std::string& text, uint8_t* extendedTcode, std::string* error) {
    for (const LockName& n : kLockNames) {
        if (text == n.name || text == std::to_string(n.code)) {
            *extendedTcode = n.code;
            return true;
        }
    }
    *error = "OP '" + text + "' is not a lock function (mask_swap, compare_swap, fetch_add, little_add, "
             "bounded_add, wrap_add, or 1 to 6)";
    return false;
}

const char* LockOpName(uint8_t extendedTcode) {
    for (const LockName& n : kLockNames)
        if (n.code == extendedTcode) return n.name;
    return "unknown";
}

bool LockHasArgument(uint8_t extendedTcode) {
    return extendedTcode == 1 || extendedTcode == 2 || extendedTcode == 5 || extendedTcode == 6;
}

bool ParseSpeed(const std::string& text, uint8_t* code, std::string* error) {
    static const char* const kNames[] = {"S100", "S200", "S400", "S800", "S1600", "S3200"};
    for (uint8_t i = 0; i < 6; ++i) {
        if (text == kNames[i]) {
            *code = i;
            return true;
        }
    }
    *error = "--speed '" + text + "' is not one of S100, S200, S400, S800, S1600, S3200";
    return false;
}

std::string HexBytes(const std::vector<uint8_t>& data) {
    std::string out;
    char two[4];
    for (uint8_t b : data) {
        std::snprintf(two, sizeof two, "%02x", b);
        out += two;
    }
    return out;
}

}  // namespace kx1394
