// Values on kx1394's command line: node, bus offset, length, hex data, lock function, numbers.
// Each parser accepts exactly its syntax and otherwise gives a one-line reason; nothing is
// shifted, sized or looked up before it is checked.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kx1394 {

inline constexpr uint64_t kMaxOffset = (1ull << 48) - 1;  // 48-bit destination offset
inline constexpr uint32_t kMaxLength = 0xFFFF;            // 16-bit data_length

// A number: decimal, or hex with 0x; at most `max`.
bool ParseNumber(const std::string& text, uint64_t max, uint64_t* value);

// NODE: a physical ID 0 to 62 on the local bus (decimal), or a whole node ID in hex (0xFFC2:
// bus 0x3FF, the local bus, and physical ID 2); physical ID 63 is the broadcast address and is
// not a node.
bool ParseNode(const std::string& text, uint16_t* nodeId, std::string* error);
// OFFSET: a 48-bit bus offset (0xFFFFF0000400).
bool ParseOffset(const std::string& text, uint64_t* offset, std::string* error);
// LENGTH: 1 to 65535 bytes.
bool ParseLength(const std::string& text, uint32_t* length, std::string* error);
// HEXDATA: bytes as pairs of hex digits (an optional 0x in front), 1 to 65535 of them.
bool ParseHexData(const std::string& text, std::vector<uint8_t>* data, std::string* error);
// OP: a lock function by name (mask_swap, compare_swap, fetch_add, little_add, bounded_add,
// wrap_add), or its extended tcode 1 to 6.
bool ParseLockOp(const std::string& text, uint8_t* extendedTcode, std::string* error);
const char* LockOpName(uint8_t extendedTcode);
// Whether the lock function sends an arg_value (mask_swap, compare_swap, bounded_add, wrap_add).
bool LockHasArgument(uint8_t extendedTcode);
// S100 .. S3200 to speed code 0 .. 5.
bool ParseSpeed(const std::string& text, uint8_t* code, std::string* error);

// "0102abcd" for bytes 01 02 AB CD.
std::string HexBytes(const std::vector<uint8_t>& data);

}  // namespace kx1394
