// IEEE 1394 asynchronous packet headers and the OHCI 1.1 AT and AR formats, as pure logic: named
// field helpers, the packet builders' header rules, the AT immediate quadlets, the AR length rule
// and the response expiry stamp. Header quadlets are host-order numbers, quadlet 0 first.
#pragma once

#include "kxplatform.h"

namespace async {

// Transaction codes (IEEE 1394-1995 table 6-3, OHCI 1.1 tcode 0xE for PHY packets).
enum Tcode : UCHAR {
    kTcodeWriteQuadlet = 0x0,
    kTcodeWriteBlock = 0x1,
    kTcodeWriteResponse = 0x2,
    kTcodeReadQuadlet = 0x4,
    kTcodeReadBlock = 0x5,
    kTcodeReadQuadletResponse = 0x6,
    kTcodeReadBlockResponse = 0x7,
    kTcodeLockRequest = 0x9,
    kTcodeStream = 0xA,
    kTcodeLockResponse = 0xB,
    kTcodePhy = 0xE,
};

// Extended tcodes of lock requests (IEEE 1394-1995 table 6-4).
enum ExtendedTcode : USHORT {
    kMaskSwap = 1,
    kCompareSwap = 2,
    kFetchAdd = 3,
    kLittleAdd = 4,
    kBoundedAdd = 5,
    kWrapAdd = 6,
};

// IEEE 1394 ack codes and the OHCI event codes the AT status reports.
constexpr UCHAR kAckComplete = 0x1;
constexpr UCHAR kAckPending = 0x2;
constexpr UCHAR kEvtMissingAck = 0x03;
constexpr UCHAR kEvtBusReset = 0x09;
constexpr UCHAR kEvtTimeout = 0x0A;
constexpr UCHAR kEventAckReceived = 0x10;
constexpr UCHAR kEventCodeMask = 0x1F;

constexpr ULONG kRetryX = 1;                 // rt of every packet sent
constexpr USHORT kLocalBusSource = 0xFFC0;   // source_ID bus number 0x3FF
constexpr USHORT kBroadcastNode = 0xFFFF;
constexpr ULONG kHeaderQuadlets = 4;
constexpr ULONG kMaxPayload = 4096;

struct PacketHeader {
    ULONG Q[kHeaderQuadlets];
};

// Field helpers (IEEE 1394-1995 6.2.2).
inline USHORT DestinationId(const PacketHeader& h) { return USHORT(h.Q[0] >> 16); }
inline UCHAR Label(const PacketHeader& h) { return UCHAR((h.Q[0] >> 10) & 0x3F); }
inline UCHAR TcodeOf(const PacketHeader& h) { return UCHAR((h.Q[0] >> 4) & 0xF); }
inline USHORT SourceId(const PacketHeader& h) { return USHORT(h.Q[1] >> 16); }
inline USHORT OffsetHigh(const PacketHeader& h) { return USHORT(h.Q[1] & 0xFFFF); }
inline UCHAR Rcode(const PacketHeader& h) { return UCHAR((h.Q[1] >> 12) & 0xF); }
inline ULONG DataLength(const PacketHeader& h) { return h.Q[3] >> 16; }
inline USHORT ExtendedTcodeOf(const PacketHeader& h) { return USHORT(h.Q[3] & 0xFFFF); }

inline bool IsResponseTcode(ULONG tcode) { return (tcode & 2) != 0; }
inline ULONG RoundUp4(ULONG n) { return (n + 3) & ~3u; }

// What a builder produced: the header, its length and the payload length (a multiple of 4).
struct BuiltPacket {
    PacketHeader Header;
    ULONG HeaderLength;
    ULONG PayloadLength;   // bytes the payload area carries (rounded up to 4)
    UCHAR Tcode;
    bool ResponseExpected;
};

// Quadlet 0 of any packet: destination, label, retry_X, tcode, priority 0.
inline ULONG Quadlet0(USHORT destination, UCHAR label, UCHAR tcode) {
    return (ULONG(destination) << 16) | (ULONG(label & 0x3F) << 10) | (kRetryX << 8) | (ULONG(tcode & 0xF) << 4);
}
inline ULONG SourceQuadlet(UCHAR localNode, USHORT offsetHigh) {
    return (ULONG(kLocalBusSource | (localNode & 0x3F)) << 16) | offsetHigh;
}

// Read request: quadlet for a length of exactly 4, block otherwise (0 included).
void BuildReadRequest(BuiltPacket* out, USHORT destination, UCHAR label, UCHAR localNode, ULONGLONG offset,
                      ULONG length);
// Write request: quadlet for exactly 4 bytes (the data quadlet holds the four bytes in bus order,
// copied unchanged), block otherwise with the payload rounded up to 4.
void BuildWriteRequest(BuiltPacket* out, USHORT destination, UCHAR label, UCHAR localNode, ULONGLONG offset,
                       ULONG length, ULONG dataQuadlet);
// Lock request: the payload (bus order) holds data_value alone for fetch_add and little_add, else
// arg_value then data_value; 4- or 8-byte operands. *payload must hold 16 bytes. False for an
// extended tcode that is not a lock function.
[[nodiscard]] bool BuildLockRequest(BuiltPacket* out, PUCHAR payload, USHORT destination, UCHAR label,
                                    UCHAR localNode, ULONGLONG offset, USHORT extendedTcode, ULONGLONG argValue,
                                    ULONGLONG dataValue, bool operand64);
// Responses (as a node answering a request).
void BuildWriteResponse(BuiltPacket* out, USHORT destination, UCHAR label, UCHAR localNode, UCHAR rcode);
void BuildReadQuadletResponse(BuiltPacket* out, USHORT destination, UCHAR label, UCHAR localNode, UCHAR rcode,
                              ULONG dataQuadlet);
void BuildReadBlockResponse(BuiltPacket* out, USHORT destination, UCHAR label, UCHAR localNode, UCHAR rcode,
                            ULONG length);
void BuildLockResponse(BuiltPacket* out, USHORT destination, UCHAR label, UCHAR localNode, UCHAR rcode,
                       ULONG length, USHORT extendedTcode);
// Asynchronous stream packet: one header quadlet, no label, no response.
void BuildStreamPacket(BuiltPacket* out, UCHAR channel, UCHAR tag, UCHAR sy, ULONG length);
// PHY packet: the quadlet and its inverse.
void BuildPhyPacket(BuiltPacket* out, ULONG quadlet);

// The four immediate quadlets of an AT descriptor block (OHCI 1.1 7.8).
void AtImmediateQuadlets(const PacketHeader& h, UCHAR tcode, ULONG speed, ULONG* immediate);
// reqCount of the immediate descriptor: the header length, 12 for a PHY packet.
ULONG AtImmediateCount(UCHAR tcode, ULONG headerLength);

// Response expiry for the AT response context: one second after the cycle timer's value.
inline USHORT ResponseExpiry(ULONG cycleTimer) {
    ULONG seconds = (cycleTimer >> 25) & 7;
    ULONG count = (cycleTimer >> 12) & 0x1FFF;
    return USHORT((((seconds + 1) & 7) << 13) | count);
}

// Length in bytes, trailer included and rounded up to 4, of a packet in an AR buffer, from its
// tcode and (for data blocks) the data_length of header quadlet 3; 0 for an invalid tcode.
ULONG ArPacketLength(ULONG tcode, ULONG quadlet3);
// Whether the AR length of this tcode depends on header quadlet 3.
inline bool ArLengthNeedsQuadlet3(ULONG tcode) { return tcode == 1 || tcode == 7 || tcode == 9 || tcode == 11; }

// Lock operands per extended tcode: true when only data_value is sent.
inline bool LockSendsDataOnly(USHORT extendedTcode) {
    return extendedTcode == kFetchAdd || extendedTcode == kLittleAdd;
}

// Bus-order (most significant byte first) stores and loads.
inline void StoreBus32(PUCHAR p, ULONG v) {
    p[0] = UCHAR(v >> 24);
    p[1] = UCHAR(v >> 16);
    p[2] = UCHAR(v >> 8);
    p[3] = UCHAR(v);
}
inline ULONG LoadBus32(const UCHAR* p) {
    return (ULONG(p[0]) << 24) | (ULONG(p[1]) << 16) | (ULONG(p[2]) << 8) | ULONG(p[3]);
}
// Little-endian quadlets as the controller writes descriptors, headers and trailers.
inline ULONG LoadLe32(const UCHAR* p) {
    return ULONG(p[0]) | (ULONG(p[1]) << 8) | (ULONG(p[2]) << 16) | (ULONG(p[3]) << 24);
}

}  // namespace async
