// OHCI 1.1 DMA descriptors (3.1, 7.1, 8.1): named get/set helpers for their fields, the event codes
// of ContextControl and xferStatus (3.1.1), and the little-endian quadlet access the controller
// uses for descriptors, packet headers and trailers in host memory.
#pragma once

#include <cstdint>

namespace sim {

// A descriptor is 16 bytes, four little-endian quadlets; the immediate forms carry 16 more bytes.
namespace descriptor {
inline constexpr uint32_t kSize = 16;

// q0: cmd 31:28, s 27, key 26:24, p 23, i 21:20, b 19:18, w 17:16, reqCount 15:0.
inline constexpr uint8_t kOutputMore = 0x0;
inline constexpr uint8_t kOutputLast = 0x1;
inline constexpr uint8_t kInputMore = 0x2;
inline constexpr uint8_t kInputLast = 0x3;
inline constexpr uint8_t kStoreValue = 0x8;
inline constexpr uint8_t kKeyData = 0x0;
inline constexpr uint8_t kKeyImmediate = 0x2;
inline constexpr uint8_t kKeyStoreValue = 0x6;
inline constexpr uint8_t kInterruptNever = 0;
inline constexpr uint8_t kInterruptAlways = 3;
inline constexpr uint8_t kBranchNever = 0;
inline constexpr uint8_t kBranchAlways = 3;

inline uint8_t Cmd(uint32_t q0) { return uint8_t(q0 >> 28); }
inline bool Status(uint32_t q0) { return (q0 >> 27) & 1; }
inline uint8_t Key(uint32_t q0) { return uint8_t((q0 >> 24) & 0x7); }
inline bool Ping(uint32_t q0) { return (q0 >> 23) & 1; }
inline uint8_t Interrupt(uint32_t q0) { return uint8_t((q0 >> 20) & 0x3); }
inline uint8_t Branch(uint32_t q0) { return uint8_t((q0 >> 18) & 0x3); }
inline uint8_t Wait(uint32_t q0) { return uint8_t((q0 >> 16) & 0x3); }
inline uint16_t ReqCount(uint32_t q0) { return uint16_t(q0 & 0xFFFF); }
inline uint32_t MakeQ0(uint8_t cmd, bool s, uint8_t key, uint8_t i, uint8_t b, uint16_t reqCount) {
    return (uint32_t(cmd & 0xF) << 28) | (uint32_t(s) << 27) | (uint32_t(key & 0x7) << 24) | (uint32_t(i & 3) << 20) |
           (uint32_t(b & 3) << 18) | reqCount;
}

// q2 (and CommandPtr): branchAddress 31:4, Z 3:0.
inline uint32_t BranchAddress(uint32_t q2) { return q2 & ~0xFu; }
inline uint8_t Z(uint32_t q2) { return uint8_t(q2 & 0xF); }

// q3: xferStatus 31:16; resCount (receive) or timeStamp (transmit) 15:0.
inline uint16_t XferStatus(uint32_t q3) { return uint16_t(q3 >> 16); }
inline uint16_t ResCount(uint32_t q3) { return uint16_t(q3 & 0xFFFF); }
inline uint16_t TimeStamp(uint32_t q3) { return uint16_t(q3 & 0xFFFF); }
inline uint32_t MakeQ3(uint16_t xferStatus, uint16_t low) { return (uint32_t(xferStatus) << 16) | low; }
}  // namespace descriptor

// Event codes (OHCI 1.1 table 3-2); an ack code a is reported as 0x10 | a.
namespace event_code {
inline constexpr uint8_t kNoStatus = 0x00;
inline constexpr uint8_t kLongPacket = 0x02;
inline constexpr uint8_t kMissingAck = 0x03;
inline constexpr uint8_t kUnderrun = 0x04;
inline constexpr uint8_t kOverrun = 0x05;
inline constexpr uint8_t kDescriptorRead = 0x06;
inline constexpr uint8_t kDataRead = 0x07;
inline constexpr uint8_t kDataWrite = 0x08;
inline constexpr uint8_t kBusReset = 0x09;
inline constexpr uint8_t kTimeout = 0x0A;
inline constexpr uint8_t kTcodeError = 0x0B;
inline constexpr uint8_t kUnknown = 0x0E;
inline constexpr uint8_t kFlushed = 0x0F;
inline constexpr uint8_t kAckBase = 0x10;
inline uint8_t FromAck(int ack) { return uint8_t(kAckBase | (ack & 0xF)); }
}  // namespace event_code

// Quadlets in host memory: descriptors, AT/AR header quadlets and trailers are little-endian; packet
// data keeps the bus's byte order (most significant byte first) unless HCControl.noByteSwapData.
namespace host_order {
inline uint32_t LoadLe32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline void StoreLe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}
inline uint32_t LoadBe32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}
inline void StoreBe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}
}  // namespace host_order

}  // namespace sim
