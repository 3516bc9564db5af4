// IEEE 1394 asynchronous packets and PHY packets as they travel on the simulated bus, with named
// get/set helpers for every header field (IEEE 1394-1995 6.2 and IEEE 1394a).
//
// Header quadlets are kept in host order as the wire carries them (most significant bit first);
// the data block is kept as bytes in bus order.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace sim {

enum Tcode : uint8_t {
    kTcodeWriteQuadletRequest = 0x0,
    kTcodeWriteBlockRequest = 0x1,
    kTcodeWriteResponse = 0x2,
    kTcodeReadQuadletRequest = 0x4,
    kTcodeReadBlockRequest = 0x5,
    kTcodeReadQuadletResponse = 0x6,
    kTcodeReadBlockResponse = 0x7,
    kTcodeCycleStart = 0x8,
    kTcodeLockRequest = 0x9,
    kTcodeIsochronousBlock = 0xA,
    kTcodeLockResponse = 0xB,
    kTcodePhy = 0xE,  // OHCI's tcode for PHY packets in AT/AR
};

// Acknowledge codes (IEEE 1394-1995 table 6-13); kAckMissing: no ack came back.
enum Ack : int {
    kAckMissing = -1,
    kAckComplete = 0x1,
    kAckPending = 0x2,
    kAckBusyX = 0x4,
    kAckBusyA = 0x5,
    kAckBusyB = 0x6,
    kAckTardy = 0xB,
    kAckConflictError = 0xC,
    kAckDataError = 0xD,
    kAckTypeError = 0xE,
    kAckAddressError = 0xF,
};

// Response codes.
enum Rcode : uint8_t {
    kRcodeComplete = 0x0,
    kRcodeConflictError = 0x4,
    kRcodeDataError = 0x5,
    kRcodeTypeError = 0x6,
    kRcodeAddressError = 0x7,
};

// Extended tcodes of lock requests.
enum ExtendedTcode : uint16_t {
    kLockMaskSwap = 1,
    kLockCompareSwap = 2,
    kLockFetchAdd = 3,
    kLockLittleAdd = 4,
    kLockBoundedAdd = 5,
    kLockWrapAdd = 6,
};

// Speed codes S100..S3200.
enum Speed : uint8_t { kS100 = 0, kS200 = 1, kS400 = 2, kS800 = 3, kS1600 = 4, kS3200 = 5 };

inline constexpr uint16_t kBroadcastPhyId = 63;
inline constexpr uint16_t kLocalBus = 0x3FF;

struct Packet {
    std::array<uint32_t, 4> header{};
    std::vector<uint8_t> data;  // data block in bus order (block requests and responses, lock operands)
    Speed speed = kS100;
    bool isPhy = false;         // a PHY packet: header[0] holds the quadlet (the inverse is implied)

    // Field access, IEEE 1394 asynchronous header layout.
    uint16_t DestinationId() const { return uint16_t(header[0] >> 16); }
    void SetDestinationId(uint16_t id) { header[0] = (header[0] & 0x0000FFFF) | (uint32_t(id) << 16); }
    uint8_t Tlabel() const { return uint8_t((header[0] >> 10) & 0x3F); }
    void SetTlabel(uint8_t tl) { header[0] = (header[0] & ~(0x3Fu << 10)) | (uint32_t(tl & 0x3F) << 10); }
    uint8_t Retry() const { return uint8_t((header[0] >> 8) & 0x3); }
    void SetRetry(uint8_t rt) { header[0] = (header[0] & ~(0x3u << 8)) | (uint32_t(rt & 3) << 8); }
    uint8_t Tcode() const { return uint8_t((header[0] >> 4) & 0xF); }
    void SetTcode(uint8_t tcode) { header[0] = (header[0] & ~0xF0u) | (uint32_t(tcode & 0xF) << 4); }
    uint8_t Priority() const { return uint8_t(header[0] & 0xF); }
    uint16_t SourceId() const { return uint16_t(header[1] >> 16); }
    void SetSourceId(uint16_t id) { header[1] = (header[1] & 0x0000FFFF) | (uint32_t(id) << 16); }
    uint8_t Rcode() const { return uint8_t((header[1] >> 12) & 0xF); }
    void SetRcode(uint8_t rcode) { header[1] = (header[1] & ~(0xFu << 12)) | (uint32_t(rcode & 0xF) << 12); }
    uint64_t Offset() const { return (uint64_t(header[1] & 0xFFFF) << 32) | header[2]; }
    void SetOffset(uint64_t offset) {
        header[1] = (header[1] & 0xFFFF0000) | uint32_t((offset >> 32) & 0xFFFF);
        header[2] = uint32_t(offset);
    }
    uint16_t DataLength() const { return uint16_t(header[3] >> 16); }
    uint16_t ExtendedTcode() const { return uint16_t(header[3] & 0xFFFF); }
    void SetDataLengthAndExtendedTcode(uint16_t length, uint16_t extended) {
        header[3] = (uint32_t(length) << 16) | extended;
    }
    // Quadlet write requests and quadlet read responses carry their data in header[3].
    uint32_t QuadletData() const { return header[3]; }

    bool IsRequest() const {
        uint8_t t = Tcode();
        return t == kTcodeWriteQuadletRequest || t == kTcodeWriteBlockRequest || t == kTcodeReadQuadletRequest ||
               t == kTcodeReadBlockRequest || t == kTcodeLockRequest;
    }
    bool IsResponse() const {
        uint8_t t = Tcode();
        return t == kTcodeWriteResponse || t == kTcodeReadQuadletResponse || t == kTcodeReadBlockResponse ||
               t == kTcodeLockResponse;
    }
    // Header quadlets the tcode carries (3 for write response, 4 for most, 3 for read quadlet
    // request).
    int HeaderQuadlets() const;
};

// An isochronous packet on the wire (IEEE 1394-1995 6.2.3, tcode 0xA): the header quadlet's fields
// and the data block in bus order. dataLength on the wire is data.size(); a receiver sees the
// speed it was sent at.
struct IsoPacket {
    uint8_t channel = 0;  // 0..63
    uint8_t tag = 0;      // 0..3
    uint8_t sy = 0;       // 0..15
    Speed speed = kS100;
    std::vector<uint8_t> data;

    // The header quadlet as the wire carries it: dataLength 31:16, tag 15:14, channel 13:8,
    // tcode 7:4, sy 3:0.
    uint32_t HeaderQuadlet() const {
        return (uint32_t(data.size() & 0xFFFF) << 16) | (uint32_t(tag & 3) << 14) | (uint32_t(channel & 0x3F) << 8) |
               (uint32_t(kTcodeIsochronousBlock) << 4) | uint32_t(sy & 0xF);
    }
};

// The response to a request: addressed back to its source with the same tlabel, the matching
// response tcode and the given rcode; data (read/lock responses) to be filled by the caller.
Packet MakeResponse(const Packet& request, uint16_t responderId, uint8_t rcode);

// PHY packet fields (IEEE 1394-1995 4.3.4, IEEE 1394a 5.5).
namespace phy_packet {
inline constexpr uint32_t kTypeMask = 0xC0000000;
inline constexpr uint32_t kConfiguration = 0x00000000;  // bits 31:30 = 00
inline constexpr uint32_t kLinkOn = 0x40000000;         // bits 31:30 = 01
inline constexpr uint32_t kSelfId = 0x80000000;         // bits 31:30 = 10
inline uint8_t PhyId(uint32_t q) { return uint8_t((q >> 24) & 0x3F); }
// Configuration: R (force root) bit 23, T (gap count valid) bit 22, gap count 21:16.
inline bool ForceRoot(uint32_t q) { return (q >> 23) & 1; }
inline bool GapValid(uint32_t q) { return (q >> 22) & 1; }
inline uint8_t GapCount(uint32_t q) { return uint8_t((q >> 16) & 0x3F); }
// Extended PHY packets (configuration form with R = T = 0): type in bits 21:18.
inline uint8_t ExtendedType(uint32_t q) { return uint8_t((q >> 18) & 0xF); }
inline constexpr uint8_t kExtendedPing = 0x0;
inline constexpr uint8_t kRemoteAccessBase = 0x1;  // register read, base page
inline constexpr uint8_t kRemoteAccessPaged = 0x5; // register read, paged
inline constexpr uint8_t kRemoteReplyBase = 0x3;
inline constexpr uint8_t kRemoteReplyPaged = 0x7;
inline constexpr uint8_t kRemoteCommand = 0x8;
inline constexpr uint8_t kRemoteConfirmation = 0xA;
inline constexpr uint8_t kResume = 0xF;
// Remote access and reply: page 17:15, port 14:11, register 10:8, data 7:0 (reply).
inline uint8_t Page(uint32_t q) { return uint8_t((q >> 15) & 0x7); }
inline uint8_t Port(uint32_t q) { return uint8_t((q >> 11) & 0xF); }
inline uint8_t Register(uint32_t q) { return uint8_t((q >> 8) & 0x7); }
inline uint8_t Data(uint32_t q) { return uint8_t(q & 0xFF); }
}  // namespace phy_packet

}  // namespace sim
