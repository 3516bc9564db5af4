// KX1394 user interface: the input and output records of the private control codes (kx1394.h).
//
// Every record is byte-packed with explicit reserved fields, so that 32-bit and 64-bit compilers
// lay it out the same way; the static_asserts pin sizes and offsets. Records ending in 64 are the
// layout of 64-bit programs, those ending in 32 the layout of 32-bit programs; records without a
// suffix are the same for both. Reserved fields should be zero.
#pragma once

#include <stddef.h>
#include <stdint.h>

#pragma pack(push, 1)

// ---- Handles ------------------------------------------------------------------------------------

// IOCTL_REGISTER_CLIENT, IOCTL_SET_BUS_RESET_EVENT, IOCTL_SET_BUS_READY_EVENT: an event handle
// (0 removes a bus event registration).
struct Kx1394EventHandle64 {
    uint64_t Event;
};
struct Kx1394EventHandle32 {
    uint32_t Event;
    uint32_t Reserved;
};
static_assert(sizeof(Kx1394EventHandle64) == 8 && sizeof(Kx1394EventHandle32) == 8, "event handle input is 8 bytes");

// ---- Information answers ------------------------------------------------------------------------

// IOCTL_GET_INTERFACE_VERSION (12 bytes reported).
struct Kx1394InterfaceVersion {
    uint16_t Version;  // KX1394_INTERFACE_VERSION
    uint8_t Reserved[10];
};
static_assert(sizeof(Kx1394InterfaceVersion) == 12, "interface version answer");

// IOCTL_GET_OHCI_VERSION (4 bytes): the controller's OHCI Version register.
struct Kx1394OhciVersion {
    uint8_t Version;   // bits 23:16
    uint8_t Revision;  // bits 7:0
    uint8_t Reserved[2];
};
static_assert(sizeof(Kx1394OhciVersion) == 4, "OHCI version answer");

// IOCTL_GET_LOCAL_GUID (8 bytes): the controller's EUI-64.
struct Kx1394LocalGuid {
    uint32_t GuidLo;
    uint32_t GuidHi;
};
static_assert(sizeof(Kx1394LocalGuid) == 8, "GUID answer");

// IOCTL_GET_LOCAL_NODE, IOCTL_GET_NODE_COUNT, IOCTL_GET_IRM_NODE, IOCTL_GET_NODE_SPEED (2 bytes):
// a KX1394_ANSWER_* status byte and the value (node number, count or speed code), valid only when
// the status is KX1394_ANSWER_DONE.
struct Kx1394NodeAnswer {
    uint8_t Status;
    uint8_t Value;
};
static_assert(sizeof(Kx1394NodeAnswer) == 2, "node answer");

// IOCTL_GET_LINK_ACTIVE_NODES (10 bytes).
struct Kx1394LinkActiveNodes {
    uint8_t Status;
    uint64_t Mask;    // bit n: node n has an active link
    uint8_t Count;
};
static_assert(sizeof(Kx1394LinkActiveNodes) == 10, "link-active answer");
static_assert(offsetof(Kx1394LinkActiveNodes, Mask) == 1 && offsetof(Kx1394LinkActiveNodes, Count) == 9,
              "link-active offsets");

// IOCTL_GET_BUS_RESET_COUNT (5 bytes).
struct Kx1394BusResetCount {
    uint8_t Status;
    uint32_t Count;
};
static_assert(sizeof(Kx1394BusResetCount) == 5 && offsetof(Kx1394BusResetCount, Count) == 1, "reset count answer");

// ---- Asynchronous requests ----------------------------------------------------------------------

// IOCTL_ASYNC_READ, IOCTL_ASYNC_WRITE, IOCTL_ASYNC_LOCK (96 bytes). The driver writes the results
// through the three result addresses: a u32 status word (KX1394_STATUS_*), the ack byte and the
// rcode byte.
struct Kx1394AsyncIo64 {
    uint16_t DestinationNode;  // bus and node
    uint8_t Reserved0[6];
    uint64_t Offset;           // bits 47:32 offset_high, 31:0 offset_low
    uint32_t Length;           // bytes; for a lock 8 selects 8-byte operands, else 4
    uint32_t Reserved1;
    uint64_t Event;            // optional event handle, set when a pending request finishes
    uint64_t Data;             // address: read destination, write source, lock old value
    uint64_t StatusOut;        // address of a u32
    uint64_t AckOut;           // address of a u8
    uint64_t RcodeOut;         // address of a u8
    uint8_t ExtendedTcode;     // lock: 1 to 6
    uint8_t Reserved2[7];
    uint64_t ArgValue;         // lock operands, host order (low 32 bits used when Operand64 is 0)
    uint64_t DataValue;
    uint8_t Operand64;
    uint8_t Reserved3[7];
};
static_assert(sizeof(Kx1394AsyncIo64) == 96, "asynchronous record, 64-bit");
static_assert(offsetof(Kx1394AsyncIo64, Offset) == 0x08 && offsetof(Kx1394AsyncIo64, Length) == 0x10 &&
                  offsetof(Kx1394AsyncIo64, Event) == 0x18 && offsetof(Kx1394AsyncIo64, Data) == 0x20 &&
                  offsetof(Kx1394AsyncIo64, StatusOut) == 0x28 && offsetof(Kx1394AsyncIo64, AckOut) == 0x30 &&
                  offsetof(Kx1394AsyncIo64, RcodeOut) == 0x38 && offsetof(Kx1394AsyncIo64, ExtendedTcode) == 0x40 &&
                  offsetof(Kx1394AsyncIo64, ArgValue) == 0x48 && offsetof(Kx1394AsyncIo64, DataValue) == 0x50 &&
                  offsetof(Kx1394AsyncIo64, Operand64) == 0x58,
              "asynchronous record offsets, 64-bit");

struct Kx1394AsyncIo32 {
    uint16_t DestinationNode;
    uint8_t Reserved0[6];
    uint64_t Offset;
    uint32_t Length;
    uint32_t Event;
    uint32_t Data;
    uint32_t StatusOut;
    uint32_t AckOut;
    uint32_t RcodeOut;
    uint8_t ExtendedTcode;
    uint8_t Reserved2[7];
    uint64_t ArgValue;
    uint64_t DataValue;
    uint8_t Operand64;
    uint8_t Reserved3[31];
};
static_assert(sizeof(Kx1394AsyncIo32) == 96, "asynchronous record, 32-bit");
static_assert(offsetof(Kx1394AsyncIo32, Offset) == 0x08 && offsetof(Kx1394AsyncIo32, Length) == 0x10 &&
                  offsetof(Kx1394AsyncIo32, Event) == 0x14 && offsetof(Kx1394AsyncIo32, Data) == 0x18 &&
                  offsetof(Kx1394AsyncIo32, StatusOut) == 0x1C && offsetof(Kx1394AsyncIo32, AckOut) == 0x20 &&
                  offsetof(Kx1394AsyncIo32, RcodeOut) == 0x24 && offsetof(Kx1394AsyncIo32, ExtendedTcode) == 0x28 &&
                  offsetof(Kx1394AsyncIo32, ArgValue) == 0x30 && offsetof(Kx1394AsyncIo32, DataValue) == 0x38 &&
                  offsetof(Kx1394AsyncIo32, Operand64) == 0x40,
              "asynchronous record offsets, 32-bit");

// Ack bytes beyond the IEEE 1394 ack codes.
constexpr uint8_t KX1394_ACK_FINISHED_AT_ONCE = 0;
constexpr uint8_t KX1394_ACK_TIMEOUT = 254;
constexpr uint8_t KX1394_ACK_NONE = 255;

// IOCTL_ASYNC_STREAM (24 bytes); output one result byte.
struct Kx1394AsyncStream64 {
    uint8_t Channel;
    uint8_t Speed;     // speed code
    uint8_t Reserved0[2];
    uint32_t Sy;
    uint32_t Tag;
    uint32_t Length;
    uint64_t Data;     // address of the payload
};
struct Kx1394AsyncStream32 {
    uint8_t Channel;
    uint8_t Speed;
    uint8_t Reserved0[2];
    uint32_t Sy;
    uint32_t Tag;
    uint32_t Length;
    uint32_t Data;
    uint32_t Reserved1;
};
static_assert(sizeof(Kx1394AsyncStream64) == 24 && sizeof(Kx1394AsyncStream32) == 24, "stream record");
static_assert(offsetof(Kx1394AsyncStream64, Sy) == 4 && offsetof(Kx1394AsyncStream64, Tag) == 8 &&
                  offsetof(Kx1394AsyncStream64, Length) == 12 && offsetof(Kx1394AsyncStream64, Data) == 16 &&
                  offsetof(Kx1394AsyncStream32, Data) == 16,
              "stream record offsets");

// ---- Isochronous streams ------------------------------------------------------------------------

// Stream modes of IOCTL_ISOCH_OPEN; KX1394_ISOCH_TRANSMIT added makes a transmit stream.
constexpr uint32_t KX1394_ISOCH_MODE_1 = 1;
constexpr uint32_t KX1394_ISOCH_MODE_2 = 2;
constexpr uint32_t KX1394_ISOCH_MODE_3 = 3;  // with per-packet headers
constexpr uint32_t KX1394_ISOCH_TRANSMIT = 0x10;

// Result byte of IOCTL_ISOCH_OPEN.
constexpr uint8_t KX1394_ISOCH_OPENED = 0;
constexpr uint8_t KX1394_ISOCH_NO_RESOURCES = 10;  // no channel, bandwidth or context

// IOCTL_ISOCH_OPEN (40 bytes); output one result byte.
struct Kx1394IsochOpen64 {
    uint64_t StreamKey;         // caller-chosen, non-zero
    uint32_t Mode;
    uint8_t Channel;            // 0 to 63
    uint8_t Speed;              // speed code for bandwidth accounting
    uint8_t Reserved0[2];
    uint32_t HeaderQuadlets;    // mode 3: header bytes per packet / 4
    uint32_t PayloadQuadlets;   // payload bytes per packet / 4
    uint32_t Packets;           // packets per buffer, at least 1
    uint32_t Reserved1;
    uint64_t Event;             // event handle, set per completed buffer
};
struct Kx1394IsochOpen32 {
    uint64_t StreamKey;
    uint32_t Mode;
    uint8_t Channel;
    uint8_t Speed;
    uint8_t Reserved0[2];
    uint32_t HeaderQuadlets;
    uint32_t PayloadQuadlets;
    uint32_t Packets;
    uint32_t Event;
    uint8_t Reserved1[8];
};
static_assert(sizeof(Kx1394IsochOpen64) == 40 && sizeof(Kx1394IsochOpen32) == 40, "isochronous open record");
static_assert(offsetof(Kx1394IsochOpen64, Mode) == 8 && offsetof(Kx1394IsochOpen64, Channel) == 12 &&
                  offsetof(Kx1394IsochOpen64, Speed) == 13 && offsetof(Kx1394IsochOpen64, HeaderQuadlets) == 16 &&
                  offsetof(Kx1394IsochOpen64, PayloadQuadlets) == 20 && offsetof(Kx1394IsochOpen64, Packets) == 24 &&
                  offsetof(Kx1394IsochOpen64, Event) == 32 && offsetof(Kx1394IsochOpen32, Event) == 28,
              "isochronous open offsets");

// IOCTL_ISOCH_ATTACH_BUFFERS (24 bytes): an array of Count buffer descriptor addresses (u64 each
// for 64-bit programs, u32 each for 32-bit programs). A buffer of the program that opened the
// stream stays locked after it completes, ready for its next attach, and cannot be freed meanwhile:
// IOCTL_ISOCH_FLUSH and IOCTL_ISOCH_CLOSE give every buffer back (of the buffers waiting to be
// attached again, the stream keeps the eight most recently attached).
struct Kx1394IsochAttach64 {
    uint64_t StreamKey;
    uint64_t Descriptors;
    uint32_t Count;
    uint32_t Reserved;
};
struct Kx1394IsochAttach32 {
    uint64_t StreamKey;
    uint32_t Descriptors;
    uint32_t Count;
    uint64_t Reserved;
};
static_assert(sizeof(Kx1394IsochAttach64) == 24 && sizeof(Kx1394IsochAttach32) == 24, "attach record");
static_assert(offsetof(Kx1394IsochAttach64, Count) == 16 && offsetof(Kx1394IsochAttach32, Count) == 12,
              "attach offsets");

// Buffer descriptor in the program's memory, one per buffer. The driver writes Status (a
// KX1394_STATUS_* word) when the buffer completes. For transmit streams SyncKind is the
// first-sync-only flag, Sync the sy field and TagMask the tag.
constexpr uint32_t KX1394_SYNC_FIRST = 1;
constexpr uint32_t KX1394_SYNC_EVERY = 2;
constexpr uint32_t KX1394_SYNC_NONE = 0xFFFFFFFFu;
struct Kx1394IsochBuffer64 {
    uint32_t Status;
    uint32_t SyncKind;
    uint16_t TimeoutMs;       // 0: none
    uint8_t Reserved0[2];
    uint32_t Sync;
    uint32_t TagMask;
    uint32_t Reserved1;
    uint64_t HeaderBuffer;    // mode 3 with header quadlets only
    uint64_t DataBuffer;
};
struct Kx1394IsochBuffer32 {
    uint32_t Status;
    uint32_t SyncKind;
    uint16_t TimeoutMs;
    uint8_t Reserved0[2];
    uint32_t Sync;
    uint32_t TagMask;
    uint32_t HeaderBuffer;
    uint32_t DataBuffer;
};
static_assert(sizeof(Kx1394IsochBuffer64) == 40 && sizeof(Kx1394IsochBuffer32) == 28, "buffer descriptor");
static_assert(offsetof(Kx1394IsochBuffer64, Sync) == 12 && offsetof(Kx1394IsochBuffer64, TagMask) == 16 &&
                  offsetof(Kx1394IsochBuffer64, HeaderBuffer) == 24 && offsetof(Kx1394IsochBuffer64, DataBuffer) == 32 &&
                  offsetof(Kx1394IsochBuffer32, HeaderBuffer) == 20 && offsetof(Kx1394IsochBuffer32, DataBuffer) == 24,
              "buffer descriptor offsets");

// ---- Address ranges -----------------------------------------------------------------------------

// Access bits of an address range.
constexpr uint32_t KX1394_RANGE_READ_QUADLET = 0x1;
constexpr uint32_t KX1394_RANGE_READ_BLOCK = 0x2;
constexpr uint32_t KX1394_RANGE_WRITE_QUADLET = 0x4;
constexpr uint32_t KX1394_RANGE_WRITE_BLOCK = 0x8;
constexpr uint32_t KX1394_RANGE_LOCK = 0x10;        // 4- and 8-byte operands
constexpr uint32_t KX1394_RANGE_LOCK_16 = 0x20;     // 16-byte operands
constexpr uint32_t KX1394_RANGE_BROADCAST = 0x20000000u;
constexpr uint32_t KX1394_RANGE_OWN_BROADCAST = 0x40000000u;

// Result byte of IOCTL_ALLOCATE_ADDRESS_RANGE.
constexpr uint8_t KX1394_RANGE_ALLOCATED = 0x11;

// IOCTL_ALLOCATE_ADDRESS_RANGE (48 bytes); output one result byte.
struct Kx1394AddressRange64 {
    uint64_t RangeId;
    uint64_t Start;           // 48-bit bus offset
    uint32_t Length;
    uint32_t Access;
    uint32_t QueueLimit;
    uint32_t Reserved0;
    uint64_t Event;           // event handle, set per incoming request
    uint64_t Notice;          // address of a Kx1394RangeNotice
};
struct Kx1394AddressRange32 {
    uint64_t RangeId;
    uint64_t Start;
    uint32_t Length;
    uint32_t Access;
    uint32_t QueueLimit;
    uint32_t Event;
    uint32_t Notice;
    uint8_t Reserved0[12];
};
static_assert(sizeof(Kx1394AddressRange64) == 48 && sizeof(Kx1394AddressRange32) == 48, "address range record");
static_assert(offsetof(Kx1394AddressRange64, Length) == 0x10 && offsetof(Kx1394AddressRange64, Access) == 0x14 &&
                  offsetof(Kx1394AddressRange64, QueueLimit) == 0x18 && offsetof(Kx1394AddressRange64, Event) == 0x20 &&
                  offsetof(Kx1394AddressRange64, Notice) == 0x28 && offsetof(Kx1394AddressRange32, Event) == 0x1C &&
                  offsetof(Kx1394AddressRange32, Notice) == 0x20,
              "address range offsets");

// Notice of one incoming request to an address range, in the program's memory (same layout for
// both widths). The program sets DataBufferSize and DataBuffer.
struct Kx1394RangeNotice {
    uint32_t HeaderBytes;       // 12 or 16
    uint32_t DataLength;
    uint8_t Tcode;
    uint8_t Reserved0;
    uint16_t Source;
    uint16_t Destination;
    uint8_t Reserved1[2];
    uint64_t Offset;
    uint8_t Kind;
    uint8_t Tl;
    uint8_t Zero;
    uint8_t Reserved2[5];
    uint32_t BusResetCount;
    uint32_t StoredBytes;
    uint8_t Acked;              // 1 complete, 2 pending
    uint8_t Reserved3[3];
    uint32_t DataBufferSize;
    uint64_t DataBuffer;
};
static_assert(sizeof(Kx1394RangeNotice) == 56, "range notice");
static_assert(offsetof(Kx1394RangeNotice, Tcode) == 8 && offsetof(Kx1394RangeNotice, Source) == 0x0A &&
                  offsetof(Kx1394RangeNotice, Destination) == 0x0C && offsetof(Kx1394RangeNotice, Offset) == 0x10 &&
                  offsetof(Kx1394RangeNotice, Kind) == 0x18 && offsetof(Kx1394RangeNotice, BusResetCount) == 0x20 &&
                  offsetof(Kx1394RangeNotice, StoredBytes) == 0x24 && offsetof(Kx1394RangeNotice, Acked) == 0x28 &&
                  offsetof(Kx1394RangeNotice, DataBufferSize) == 0x2C && offsetof(Kx1394RangeNotice, DataBuffer) == 0x30,
              "range notice offsets");

// IOCTL_SEND_RESPONSE (24 bytes); output one result byte.
struct Kx1394SendResponse64 {
    uint16_t Reserved0;
    uint16_t Destination;
    uint8_t Tcode;            // 2, 6, 7 or 11
    uint8_t ExtendedTcode;
    uint8_t Tl;
    uint8_t Rcode;
    uint64_t Data;            // address of the payload
    uint32_t Length;
    uint32_t Reserved1;
};
struct Kx1394SendResponse32 {
    uint16_t Reserved0;
    uint16_t Destination;
    uint8_t Tcode;
    uint8_t ExtendedTcode;
    uint8_t Tl;
    uint8_t Rcode;
    uint32_t Data;
    uint32_t Length;
    uint64_t Reserved1;
};
static_assert(sizeof(Kx1394SendResponse64) == 24 && sizeof(Kx1394SendResponse32) == 24, "send response record");
static_assert(offsetof(Kx1394SendResponse64, Destination) == 2 && offsetof(Kx1394SendResponse64, Tcode) == 4 &&
                  offsetof(Kx1394SendResponse64, Rcode) == 7 && offsetof(Kx1394SendResponse64, Data) == 8 &&
                  offsetof(Kx1394SendResponse64, Length) == 16 && offsetof(Kx1394SendResponse32, Length) == 12,
              "send response offsets");

#pragma pack(pop)
