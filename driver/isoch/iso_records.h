// The records of the user isochronous receive requests, read by pure routines (both the 64-bit
// and the 32-bit layouts of kx1394_records.h), and the sizing of a receive stream from its open
// record. Every field a program controls is checked here, before anything is sized from it, so a
// fuzz target can feed these routines arbitrary bytes.
#pragma once

#include "kxplatform.h"

namespace isorx {

constexpr ULONG kOpenRecordBytes = 40;
constexpr ULONG kAttachRecordBytes = 24;
constexpr ULONG kBuffer64Bytes = 40;
constexpr ULONG kBuffer32Bytes = 28;

constexpr ULONG kModeTransmitBit = 0x10;
constexpr ULONG kMaxChannel = 63;
constexpr ULONG kMaxSpeedCode = 2;             // S400: the speeds the bandwidth formula covers
constexpr ULONG kMaxPayloadBytes = 8192;
constexpr ULONG kMaxHeaderBytes = 4096;
constexpr ULONG kMaxPackets = 65536;
constexpr ULONG kMaxBufferBytes = 64u << 20;   // one caller buffer (data or headers)
constexpr ULONG kMaxAttachCount = 1024;
constexpr ULONG kMaxBlockDescriptors = 8;      // OHCI: at most eight descriptors per packet block
constexpr ULONG kPageBytes = 4096;
constexpr ULONG kNoSync = 0xFFFFFFFFu;

struct OpenRecord {
    ULONGLONG Key;
    ULONG Mode;
    ULONG Channel;
    ULONG Speed;
    ULONG HeaderQuadlets;
    ULONG PayloadQuadlets;
    ULONG Packets;
    ULONGLONG EventHandle;   // sign-extended for 32-bit programs
    ULONG StripBytes;        // mode 1: bytes of the header and payload not delivered (kernel callers)
};

struct AttachRecord {
    ULONGLONG Key;
    ULONGLONG Descriptors;   // user address of the pointer array
    ULONG Count;
};

struct BufferRecord {
    ULONG SyncKind;
    USHORT TimeoutMs;
    ULONG Sync;
    ULONG TagMask;
    ULONGLONG HeaderBuffer;
    ULONGLONG DataBuffer;
};

// What a receive stream's programs and mappings look like, derived from a checked open record.
struct StreamShape {
    ULONG Mode;
    ULONG PacketPerBuffer;   // 1: one descriptor block per packet; 0: buffer-fill
    ULONG PayloadBytes;      // D
    ULONG HeaderBytes;       // H (mode 3), else 4
    ULONG Packets;           // P
    ULONG DiscardBytes;      // F: bytes of each packet stored in the scratch quadlet first
    ULONG PacketBytes;       // U (modes 1, 2) or D (mode 3): bytes per packet in the data buffer
    ULONG DataTotal;
    ULONG DataChunk;
    ULONG HeaderTotal;       // mode 3 with header bytes, else 0
    ULONG HeaderChunk;
    ULONG BlockSlots;        // descriptor slots per packet block
    ULONG PacketsPerPage;
    ULONG AreaPages;         // pages of one descriptor area
};

// Reads the open record. STATUS_INVALID_PARAMETER for a key of 0, a mode other than 1, 2 or 3
// (the transmit bit is reported by *transmit and nothing else is read), or sizes out of range.
// A channel above 63 is not refused here: it can never be allocated (result 10).
[[nodiscard]] NTSTATUS ReadOpenRecord(const UCHAR* input, ULONG length, bool is32bit, OpenRecord* out,
                                      bool* transmit);
[[nodiscard]] NTSTATUS ReadAttachRecord(const UCHAR* input, ULONG length, bool is32bit, AttachRecord* out);
[[nodiscard]] NTSTATUS ReadBufferRecord(const UCHAR* raw, ULONG length, bool is32bit, BufferRecord* out);

// Sizes a stream for direct DMA; STATUS_INVALID_PARAMETER when no program or mapping can carry it
// (a packet wider than the adapter's map registers, more descriptors per packet than OHCI allows,
// more bytes stripped than a packet holds). Packet-per-buffer when `streamBase` is 0, else
// buffer-fill. Mode 1 delivers each packet's isochronous header and payload less its first
// StripBytes bytes; mode 2 the payload; mode 3 headers and payloads into two buffers.
[[nodiscard]] NTSTATUS ShapeStream(const OpenRecord& open, ULONG streamBase, ULONG mapRegisters, StreamShape* out);

// Bandwidth allocation units of `payloadBytes` per cycle at a speed code 0 (S100) to 5 (S3200):
// one unit is the time of a quadlet at S1600, so a quadlet at S3200 takes half a unit.
[[nodiscard]] ULONG BandwidthUnits(ULONG payloadBytes, ULONG speed);

// Maps an IR event code to the status written into the caller's status word.
[[nodiscard]] ULONG EventStatus(ULONG eventCode);

// The status quadlet of a program (xferStatus 31:16, resCount 15:0) as the controller left it:
// false while it still holds the preset marker (the last packet is not stored yet); else true
// with the buffer's status. A short last packet (resCount not 0) still ends the program.
[[nodiscard]] bool ProgramDone(ULONG statusQuadlet, ULONG* status);

}  // namespace isorx
