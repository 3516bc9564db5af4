// KX1394 user interface: what a camera program includes to talk to the KX1394DRV64 controller
// driver. It finds the controller through the device interface below, opens it and sends the
// private control codes of this header with DeviceIoControl (all METHOD_BUFFERED).
//
// Records come in two layouts: the 64-bit layout for 64-bit programs and the 32-bit layout for
// 32-bit programs. The driver picks the layout from the calling process, so a program fills the
// layout of its own width. Handles and addresses sit in 64-bit fields in the 64-bit layout and in
// 32-bit fields in the 32-bit layout. All numbers are little-endian. The header uses fixed-width
// types only and needs no Windows header; it compiles for 32-bit and 64-bit programs alike.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "kx1394_records.h"

// ---- Device interface ---------------------------------------------------------------------------

// A GUID as stored by Windows; convert to the system's GUID type by copying the four fields.
struct Kx1394Guid {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
static_assert(sizeof(Kx1394Guid) == 16, "a GUID is 16 bytes");

// {FFD8C986-DFE8-46A0-8A32-C966FD3DBEDC}
constexpr Kx1394Guid KX1394_DEVICE_INTERFACE_GUID = {
    0xFFD8C986u, 0xDFE8u, 0x46A0u, {0x8Au, 0x32u, 0xC9u, 0x66u, 0xFDu, 0x3Du, 0xBEu, 0xDCu}};

// ---- Control codes ------------------------------------------------------------------------------

// CTL_CODE(FILE_DEVICE_UNKNOWN, function, METHOD_BUFFERED, FILE_ANY_ACCESS).
constexpr uint32_t Kx1394ControlCode(uint32_t function) { return (0x22u << 16) | (function << 2); }

constexpr uint32_t IOCTL_ASYNC_READ = Kx1394ControlCode(0x801);             // in Kx1394AsyncIo* (= 96)
constexpr uint32_t IOCTL_ASYNC_WRITE = Kx1394ControlCode(0x802);            // in Kx1394AsyncIo* (= 96)
constexpr uint32_t IOCTL_ASYNC_LOCK = Kx1394ControlCode(0x803);             // in Kx1394AsyncIo* (= 96)
constexpr uint32_t IOCTL_ISOCH_OPEN = Kx1394ControlCode(0x804);             // in Kx1394IsochOpen* (= 40), out 1
constexpr uint32_t IOCTL_ISOCH_CLOSE = Kx1394ControlCode(0x805);            // in u64 stream key (= 8), out 1
constexpr uint32_t IOCTL_ISOCH_ATTACH_BUFFERS = Kx1394ControlCode(0x806);   // in Kx1394IsochAttach* (= 24)
constexpr uint32_t IOCTL_ISOCH_FLUSH = Kx1394ControlCode(0x807);            // in u64 stream key (= 8), out 1
constexpr uint32_t IOCTL_KX1394_UNUSED_808 = Kx1394ControlCode(0x808);      // always refused
constexpr uint32_t IOCTL_SET_BUS_RESET_EVENT = Kx1394ControlCode(0x809);    // in Kx1394EventHandle* (= 8)
constexpr uint32_t IOCTL_SET_BUS_READY_EVENT = Kx1394ControlCode(0x80A);    // in Kx1394EventHandle* (= 8)
constexpr uint32_t IOCTL_GET_INTERFACE_VERSION = Kx1394ControlCode(0x80B);  // out Kx1394InterfaceVersion (>= 12)
constexpr uint32_t IOCTL_GET_OHCI_VERSION = Kx1394ControlCode(0x80C);       // out Kx1394OhciVersion (>= 4)
constexpr uint32_t IOCTL_GET_LOCAL_GUID = Kx1394ControlCode(0x80D);         // out Kx1394LocalGuid (>= 8)
constexpr uint32_t IOCTL_GET_LOCAL_NODE = Kx1394ControlCode(0x80E);         // out Kx1394NodeAnswer (>= 2)
constexpr uint32_t IOCTL_GET_NODE_COUNT = Kx1394ControlCode(0x80F);         // out Kx1394NodeAnswer (>= 2)
constexpr uint32_t IOCTL_GET_LINK_ACTIVE_NODES = Kx1394ControlCode(0x810);  // out Kx1394LinkActiveNodes (>= 10)
constexpr uint32_t IOCTL_GET_BUS_RESET_COUNT = Kx1394ControlCode(0x811);    // out Kx1394BusResetCount (>= 5)
constexpr uint32_t IOCTL_GET_BUS_RESET_STATE = Kx1394ControlCode(0x812);    // out u32 (>= 4)
constexpr uint32_t IOCTL_GET_NODE_SPEED = Kx1394ControlCode(0x813);         // in u16 node ID (= 2), out Kx1394NodeAnswer (= 2)
constexpr uint32_t IOCTL_GET_IRM_NODE = Kx1394ControlCode(0x814);           // out Kx1394NodeAnswer (>= 2)
constexpr uint32_t IOCTL_BUS_RESET = Kx1394ControlCode(0x815);              // in u32 kind (= 4), out u32 (= 4)
constexpr uint32_t IOCTL_SEND_PHY_PACKET = Kx1394ControlCode(0x816);        // in u32 quadlet (= 4), out 1
constexpr uint32_t IOCTL_ALLOCATE_ADDRESS_RANGE = Kx1394ControlCode(0x817); // in Kx1394AddressRange* (= 48), out 1
constexpr uint32_t IOCTL_FREE_ADDRESS_RANGE = Kx1394ControlCode(0x818);     // in u64 range ID (= 8), out 1
constexpr uint32_t IOCTL_SEND_RESPONSE = Kx1394ControlCode(0x819);          // in Kx1394SendResponse* (= 24), out 1
constexpr uint32_t IOCTL_DISCARD_REQUEST = Kx1394ControlCode(0x81A);        // in u64 range ID (= 8), out 1
constexpr uint32_t IOCTL_DISCARD_ALL_REQUESTS = Kx1394ControlCode(0x81B);   // in u64 range ID (= 8), out 1
constexpr uint32_t IOCTL_REGISTER_CLIENT = Kx1394ControlCode(0x81C);        // in Kx1394EventHandle* (= 8)
constexpr uint32_t IOCTL_ASYNC_STREAM = Kx1394ControlCode(0x81D);           // in Kx1394AsyncStream* (= 24), out 1

static_assert(IOCTL_ASYNC_READ == 0x222004u, "first code");
static_assert(IOCTL_KX1394_UNUSED_808 == 0x222020u, "unused code");
static_assert(IOCTL_GET_NODE_SPEED == 0x22204Cu, "node speed code");
static_assert(IOCTL_REGISTER_CLIENT == 0x222070u, "register code");
static_assert(IOCTL_ASYNC_STREAM == 0x222074u, "last code");

// Version reported by IOCTL_GET_INTERFACE_VERSION.
constexpr uint16_t KX1394_INTERFACE_VERSION = 0x0032;

// ---- Status bytes and words ---------------------------------------------------------------------

// Status byte of the information answers.
constexpr uint8_t KX1394_ANSWER_DONE = 0;
constexpr uint8_t KX1394_ANSWER_BUS_RESET = 1;        // a bus reset is in progress; the value is not valid
constexpr uint8_t KX1394_ANSWER_NO_SUCH_NODE = 6;
constexpr uint8_t KX1394_ANSWER_NO_BUS_NUMBER = 7;    // node ID without its bus number (0xFFC0 bits)
constexpr uint8_t KX1394_ANSWER_INTERRUPTED = 12;     // the wait for the settled bus was interrupted

// Status words written by the driver into caller memory (asynchronous results, buffer status).
constexpr uint32_t KX1394_STATUS_SUCCESS = 0;
constexpr uint32_t KX1394_STATUS_BUS_RESET = 1;
constexpr uint32_t KX1394_STATUS_ERROR = 2;
constexpr uint32_t KX1394_STATUS_TOO_LONG = 4;
constexpr uint32_t KX1394_STATUS_TIMEOUT = 11;
constexpr uint32_t KX1394_STATUS_CANCELLED = 12;
constexpr uint32_t KX1394_STATUS_DMA_0x1D = 13;
constexpr uint32_t KX1394_STATUS_DMA_ERROR = 14;
constexpr uint32_t KX1394_STATUS_DMA_0x05 = 15;
constexpr uint32_t KX1394_STATUS_DMA_0x04 = 16;
constexpr uint32_t KX1394_STATUS_INTERRUPTED = 18;
constexpr uint32_t KX1394_STATUS_LOCK_FAILED = 0xC000009Au;

// Speed codes.
constexpr uint8_t KX1394_S100 = 0;
constexpr uint8_t KX1394_S200 = 1;
constexpr uint8_t KX1394_S400 = 2;
constexpr uint8_t KX1394_S800 = 3;
constexpr uint8_t KX1394_S1600 = 4;
constexpr uint8_t KX1394_S3200 = 5;

// IOCTL_BUS_RESET kinds and answers.
constexpr uint32_t KX1394_BUS_RESET_LONG = 0;
constexpr uint32_t KX1394_BUS_RESET_SHORT = 1;
constexpr uint32_t KX1394_BUS_RESET_REFUSED = 0;      // unknown kind, or a reset less than two seconds ago
constexpr uint32_t KX1394_BUS_RESET_INITIATED = 1;

// Node IDs: bus number in bits 15:6 (0x3FF = local bus), physical ID in bits 5:0.
constexpr uint16_t KX1394_LOCAL_BUS = 0xFFC0;
constexpr uint16_t KX1394_NodeId(uint8_t physicalId) { return uint16_t(KX1394_LOCAL_BUS | (physicalId & 0x3F)); }
