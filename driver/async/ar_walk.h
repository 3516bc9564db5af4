// The walk of OHCI AR buffers in buffer-fill mode as pure logic: packets lie back to back, each
// its header quadlets, its data padded to a quadlet and a trailer quadlet, and may continue from
// one buffer into the next ones. The receive deferred call feeds it the buffers and how far the
// controller has filled each; a fuzz target can feed it raw bytes the same way.
#pragma once

#include "kxplatform.h"

namespace async {

constexpr ULONG kArMaxBuffers = 16;

struct ArRing {
    const UCHAR* Buffers[kArMaxBuffers];
    ULONG Filled[kArMaxBuffers];   // bytes the controller has written (buffer size - resCount)
    ULONG Count;                   // buffers in the ring, at most kArMaxBuffers
    ULONG BufferSize;
};

struct ArPosition {
    ULONG Buffer;
    ULONG Offset;
};

enum ArWalkResult : ULONG {
    kArPacket,     // one whole packet was copied out
    kArNothing,    // no packet starts here yet, or its rest is not written yet
    kArInvalid,    // an invalid tcode, a packet longer than the reassembly buffer, a broken ring
};

// Takes the packet at *position: copies it whole (trailer included) into `reassembly`, sets
// *length, advances *position and counts in *finished the buffers it left behind (each to be
// given back to the controller, in ring order from the old position). The position does not move
// unless a packet is returned.
[[nodiscard]] ArWalkResult ArNextPacket(const ArRing& ring, ArPosition* position, PUCHAR reassembly,
                                        ULONG capacity, ULONG* length, ULONG* finished);

}  // namespace async
