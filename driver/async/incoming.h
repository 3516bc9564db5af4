// Requests other nodes send to this node, and those it sends to itself (loopback) or broadcasts:
// who answers them, the response packet and the outcome counters. The kernel address ranges of the
// class interface are offered each request first, then the local CSR space (configuration ROM,
// TOPOLOGY_MAP, SPLIT_TIMEOUT and the serial-bus resource registers), then the user address
// ranges; every other address is answered resp_address_error.
#pragma once

#include "kxplatform.h"

struct OhciController;
struct AsyncPacket;

// What a request handler answers besides an rcode (0 to 7, or 15 for an address-range FIFO that
// has no element): no response at all, or an answer a user program sends later.
constexpr LONG kNoResponse = -1;
constexpr LONG kAnsweredLater = -10;

// Statistics counters (byte offsets in the AsyncStatistics block).
constexpr ULONG kStatNoResponsePacket = 0x00;
constexpr ULONG kStatFifoUnmapped = 0x04;
constexpr ULONG kStatCallbackRanges = 0x4C;

// One incoming request as the answering stages see it. Lengths are checked against the received
// packet before any stage runs: `RequestData` holds `Length` bytes (writes and lock operands) and
// `ResponseData` has room for `ResponseDataBytes` (reads: `Length`; locks: 8).
struct IncomingRequest {
    USHORT SourceId;
    USHORT DestinationId;
    ULONGLONG Offset;              // 48-bit destination offset
    UCHAR Tcode;
    USHORT HeaderLow;              // header quadlet 0 bits 15:0: label, retry code, tcode, priority
    ULONG Kind;                    // 0 write, 2 read, the extended tcode for a lock
    ULONG Length;                  // bytes read, written or carried as lock operands
    const UCHAR* RequestData;      // write data or lock operands, bus order; null for reads
    PUCHAR ResponseData;           // where read data or a lock's old value goes, bus order
    ULONG ResponseDataBytes;
    bool AckedComplete;            // the link acknowledged it ack_complete: nobody waits for a response
    bool OwnBroadcast;             // this node's own broadcast write, delivered to its own ranges
    const UCHAR* Packet;           // the request as received: host-order header quadlets, then data
    ULONG PacketLength;
    // Set by the answering stage.
    PKEVENT ResponseEvent;         // a kernel range callback's event, set once the response is queued
    // A kernel range's notification, run after the response has been queued (`run` true), or given
    // up without running (`run` false). Exactly one of the two calls follows a stage that sets it.
    void (*AfterResponse)(PVOID context, bool run);
    PVOID AfterResponseContext;
    UCHAR ResponseSource;          // 1: a range callback supplied a response event; 2 otherwise
};

// A received request (tcodes 0, 1, 4, 5 and 9; `packet` holds its host-order header quadlets, the
// data quadlet of a write quadlet and any data block in bus order, `length` bytes without the
// trailer), answered under the AsyncLock. Returns the answer's rcode, kNoResponse or
// kAnsweredLater. `local`: the node's own request through loopback; its response is local too.
LONG HandleIncomingRequest(OhciController* controller, ULONG tcode, const UCHAR* packet, ULONG length,
                           bool ackedComplete, bool local);

// Offers a request to the kernel ranges, the local CSR space and the user ranges in this order.
[[nodiscard]] LONG DispatchRequest(OhciController* controller, IncomingRequest* request);

// Delivers the node's own broadcast write (destination 0xFFFF, tcode 0 or 1) to the ranges of this
// node, as the bus never returns it to its sender. No response is made.
void DispatchOwnBroadcast(OhciController* controller, const AsyncPacket* packet);

// A response packet to the request whose header is `request` (host-order quadlets 0 and 1), with
// room for `payloadLength` bytes: addressed to the request's source with its label, untracked, in
// the current generation. Null while the controller is not started or without a packet block.
[[nodiscard]] AsyncPacket* CreateResponse(OhciController* controller, const ULONG* request, ULONG payloadLength);

// Counts an answer's rcode: 0x0C for 0, 0x10 for 4, 0x14 for 5, 0x18 for 6, 0x1C for 7, 0x20 for
// any other value.
void CountRcode(OhciController* controller, LONG rcode);
// Adds 1 to the counter at `offset` of the statistics block.
void CountStatistic(OhciController* controller, ULONG offset);

// The local CSR space: an rcode, or 7 when the address is not one it serves.
[[nodiscard]] LONG ServeLocalCsr(OhciController* controller, const IncomingRequest* request);
