#include "ar_walk.h"

#include "packet_format.h"

namespace async {

namespace {

bool RingValid(const ArRing& ring, const ArPosition& position) {
    if (ring.Count == 0 || ring.Count > kArMaxBuffers || ring.BufferSize == 0 || ring.BufferSize % 4 != 0)
        return false;
    if (position.Buffer >= ring.Count || position.Offset >= ring.BufferSize || position.Offset % 4 != 0) return false;
    for (ULONG i = 0; i < ring.Count; ++i)
        if (ring.Buffers[i] == nullptr || ring.Filled[i] > ring.BufferSize) return false;
    return true;
}

ULONG Next(const ArRing& ring, ULONG buffer) { return (buffer + 1) % ring.Count; }

// Copies `bytes` bytes of the stream that starts at `position` into `out`; false when they are not
// all written yet. Never goes further than all the ring's buffers.
bool Gather(const ArRing& ring, ArPosition position, ULONG bytes, PUCHAR out) {
    ULONG buffer = position.Buffer;
    ULONG offset = position.Offset;
    ULONG visited = 0;
    while (bytes > 0) {
        if (visited++ > ring.Count) return false;
        ULONG filled = ring.Filled[buffer];
        if (filled <= offset) return false;
        ULONG chunk = filled - offset;
        if (chunk > bytes) chunk = bytes;
        for (ULONG i = 0; i < chunk; ++i) out[i] = ring.Buffers[buffer][offset + i];
        out += chunk;
        bytes -= chunk;
        if (bytes == 0) break;
        if (filled != ring.BufferSize) return false;  // the rest is not written yet
        buffer = Next(ring, buffer);
        offset = 0;
    }
    return true;
}

}  // namespace

ArWalkResult ArNextPacket(const ArRing& ring, ArPosition* position, PUCHAR reassembly, ULONG capacity, ULONG* length,
                          ULONG* finished) {
    *length = 0;
    *finished = 0;
    if (!RingValid(ring, *position)) return kArInvalid;
    if (ring.Filled[position->Buffer] <= position->Offset) return kArNothing;
    UCHAR head[16];
    if (!Gather(ring, *position, 4, head)) return kArNothing;
    ULONG tcode = head[0] >> 4;
    ULONG quadlet3 = 0;
    if (ArLengthNeedsQuadlet3(tcode)) {
        if (!Gather(ring, *position, 16, head)) return kArNothing;
        quadlet3 = LoadLe32(head + 12);
    }
    ULONG bytes = ArPacketLength(tcode, quadlet3);
    // The controller never writes over the position the walk stands at: a packet longer than the
    // ring holds from there can never be whole.
    if (bytes == 0 || bytes > capacity || bytes > ring.BufferSize * ring.Count - position->Offset) return kArInvalid;
    if (!Gather(ring, *position, bytes, reassembly)) return kArNothing;
    ULONG offset = position->Offset + bytes;
    ULONG buffer = position->Buffer;
    while (offset >= ring.BufferSize) {
        offset -= ring.BufferSize;
        buffer = Next(ring, buffer);
        ++*finished;
    }
    position->Buffer = buffer;
    position->Offset = offset;
    *length = bytes;
    return kArPacket;
}

}  // namespace async
