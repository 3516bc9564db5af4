// AR buffers as the controller writes them, through the driver's pure walk (ArNextPacket): a ring
// of 1 to 16 buffers of any quadlet size, how far the controller has filled each, and where the
// walk stands. Two kinds of input:
// - raw: buffer bytes and fill counts as they come (garbage, any tcode, any length);
// - laid out: packets of every tcode in the receive format of OHCI 1.1 8.7 (header quadlets,
//   data padded to a quadlet, trailer), back to back from the walk's position and straddling
//   buffers as the controller stores them, then maybe the last one cut short and garbage after.
//
// Checked for every step: a packet is whole, a multiple of four bytes no longer than the
// reassembly buffer, exactly the bytes the ring holds from the old position on, and the position
// moves by its length with one finished buffer per boundary crossed; no packet is taken from bytes
// not yet written; nothing moves unless a packet is returned. Laid out packets come back one by
// one, identical, until the first one that is cut short (nothing yet) or has an invalid tcode or
// an impossible length (invalid).
#include <cstdint>
#include <cstring>
#include <vector>

#include "async/ar_walk.h"
#include "fuzz_input.h"

namespace {

using async::ArPosition;
using async::ArRing;

constexpr ULONG kCapacity = 8192;  // the driver's reassembly buffer

// The ring under test, with the bytes the controller wrote.
struct Ring {
    ULONG count = 1;
    ULONG size = 4;
    std::vector<std::vector<UCHAR>> buffers;
    std::vector<ULONG> filled;

    ArRing View() const {
        ArRing ring{};
        ring.Count = count;
        ring.BufferSize = size;
        for (ULONG i = 0; i < count; ++i) {
            ring.Buffers[i] = buffers[i].data();
            ring.Filled[i] = filled[i];
        }
        return ring;
    }
    // The stream of written bytes from `at` on, as far as it goes without a gap.
    std::vector<UCHAR> WrittenFrom(ArPosition at) const {
        std::vector<UCHAR> out;
        ULONG buffer = at.Buffer, offset = at.Offset;
        for (ULONG visited = 0; visited <= count; ++visited) {
            if (filled[buffer] > offset) out.insert(out.end(), &buffers[buffer][offset], &buffers[buffer][filled[buffer]]);
            if (filled[buffer] != size) break;
            buffer = (buffer + 1) % count;
            offset = 0;
        }
        return out;
    }
};

// Tcodes whose data_length (header quadlet 3) sizes the packet.
bool HasDataBlock(ULONG tcode) { return tcode == 0x1 || tcode == 0x7 || tcode == 0x9 || tcode == 0xB; }

// Bytes of a packet in the receive format: header (12 bytes for tcodes 2, 4 and the PHY form 0xE,
// else 16), the data block of tcodes 1, 7, 9 and B padded to a quadlet, and the trailer; 0 for a
// tcode that never reaches an AR context.
ULONG ReceiveFormatBytes(ULONG tcode, ULONG dataLength) {
    switch (tcode) {
    case 0x2: case 0x4: case 0xE: return 12 + 4;
    case 0x0: case 0x5: case 0x6: return 16 + 4;
    case 0x1: case 0x7: case 0x9: case 0xB: return 16 + ((dataLength + 3) & ~3u) + 4;
    default: return 0;
    }
}

ArPosition Advance(const Ring& ring, ArPosition at, ULONG bytes, ULONG* boundaries) {
    *boundaries = 0;
    ULONG offset = at.Offset + bytes;
    while (offset >= ring.size) {
        offset -= ring.size;
        at.Buffer = (at.Buffer + 1) % ring.count;
        ++*boundaries;
    }
    at.Offset = offset;
    return at;
}

struct Expected {
    ULONG tcode;
    ULONG bytes;          // 0: an invalid tcode
    size_t start;         // where it begins in the laid stream
    size_t present = 0;   // its bytes actually written
};

// One call of the walk with its checks; returns the result.
async::ArWalkResult Step(Ring& ring, ArPosition* position, std::vector<UCHAR>& reassembly) {
    const ArPosition before = *position;
    const std::vector<UCHAR> written = ring.WrittenFrom(before);
    ULONG length = 0xFFFFFFFF, finished = 0xFFFFFFFF;
    ArRing view = ring.View();
    async::ArWalkResult result =
        async::ArNextPacket(view, position, reassembly.data(), kCapacity, &length, &finished);
    if (result != async::kArPacket) {
        KXF_CHECK(position->Buffer == before.Buffer && position->Offset == before.Offset);
        KXF_CHECK(length == 0 && finished == 0);
        return result;
    }
    KXF_CHECK(length >= 4 && length % 4 == 0 && length <= kCapacity && length <= written.size());
    KXF_CHECK(std::memcmp(reassembly.data(), written.data(), length) == 0);
    ULONG tcode = written[0] >> 4;
    ULONG quadlet3 = written.size() >= 16 ? ULONG(written[12] | (written[13] << 8) | (written[14] << 16) |
                                                  (ULONG(written[15]) << 24))
                                          : 0;
    KXF_CHECK(length == ReceiveFormatBytes(tcode, quadlet3 >> 16));
    ULONG boundaries = 0;
    ArPosition after = Advance(ring, before, length, &boundaries);
    KXF_CHECK(position->Buffer == after.Buffer && position->Offset == after.Offset);
    KXF_CHECK(finished == boundaries);
    // The driver gives the finished buffers back to the controller: empty again.
    for (ULONG i = 0; i < finished; ++i) ring.filled[(before.Buffer + i) % ring.count] = 0;
    return result;
}

// Writes `bytes` from `at` on as the controller stores them; returns how many fitted.
size_t Lay(Ring& ring, ArPosition at, const std::vector<UCHAR>& bytes, size_t room) {
    size_t n = bytes.size() < room ? bytes.size() : room;
    ULONG buffer = at.Buffer, offset = at.Offset;
    for (size_t i = 0; i < n; ++i) {
        ring.buffers[buffer][offset] = bytes[i];
        ring.filled[buffer] = offset + 1;
        if (++offset == ring.size) {
            offset = 0;
            buffer = (buffer + 1) % ring.count;
        }
    }
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kxfuzz::Input in(data, size);
    uint8_t mode = in.U8();
    Ring ring;
    ring.count = 1 + in.U8() % async::kArMaxBuffers;
    ring.size = 4 * (1 + in.U16() % (kCapacity / 4));
    ring.buffers.assign(ring.count, std::vector<UCHAR>(ring.size, 0));
    ring.filled.assign(ring.count, 0);
    ArPosition position{in.U8() % ring.count, 4 * (in.U16() % (ring.size / 4))};
    std::vector<UCHAR> reassembly(kCapacity);

    std::vector<Expected> expected;
    if ((mode & 1) == 0) {
        // Raw: any bytes, any fill counts (the driver takes them from resCount).
        for (ULONG i = 0; i < ring.count; ++i) {
            std::vector<uint8_t> bytes = in.Bytes(in.U16() % (ring.size + 1));
            if (!bytes.empty()) std::memcpy(ring.buffers[i].data(), bytes.data(), bytes.size());
            ring.filled[i] = in.U16() % (ring.size + 1);
        }
    } else {
        // Laid out: the controller never writes over the walk's position.
        size_t room = size_t(ring.count - 1) * ring.size + (ring.size - position.Offset);
        std::vector<UCHAR> stream;
        while (!in.Empty() && stream.size() < room) {
            uint8_t pick = in.U8();
            ULONG tcode = pick >> 4;
            std::vector<UCHAR> header(16);
            for (int i = 0; i < 16; ++i) header[size_t(i)] = in.U8();
            header[0] = UCHAR((header[0] & 0x0F) | (tcode << 4));
            ULONG dataLength = in.U16() % ((pick & 8) ? 0x10000 : 700);
            header[14] = UCHAR(dataLength);
            header[15] = UCHAR(dataLength >> 8);
            ULONG bytes = ReceiveFormatBytes(tcode, dataLength);
            expected.push_back({tcode, bytes, stream.size()});
            if (bytes == 0) {
                stream.insert(stream.end(), header.begin(), header.end());
                break;  // the walk stops here
            }
            std::vector<UCHAR> packet(bytes);
            std::memcpy(packet.data(), header.data(), bytes < 16 ? bytes : 16);
            for (ULONG i = 16; i < bytes; ++i) packet[i] = UCHAR(i * 7 + tcode);
            stream.insert(stream.end(), packet.begin(), packet.end());
        }
        // Cut the last packet short, or garbage after it.
        uint8_t tail = in.U8();
        if ((tail & 0x80) && !expected.empty()) {
            size_t cut = 4 * (1 + (tail & 0x3F));
            if (stream.size() - expected.back().start > cut) stream.resize(stream.size() - cut);
        }
        size_t laid = Lay(ring, position, stream, room);
        for (Expected& e : expected) e.present = laid > e.start ? laid - e.start : 0;
        // Bytes after the packets that no walk may take as one (cut to the room that is left).
        std::vector<uint8_t> garbage = in.Rest();
        bool lastWhole = expected.empty() || expected.back().present >= expected.back().bytes;
        if (!garbage.empty() && laid == stream.size() && lastWhole) {
            ULONG boundaries = 0;
            ArPosition end = Advance(ring, position, ULONG(laid), &boundaries);
            Lay(ring, end, garbage, room - laid);
        }
    }

    size_t next = 0;
    for (int steps = 0; steps < 20000; ++steps) {
        const ULONG ringRoom = ring.count * ring.size - position.Offset;
        async::ArWalkResult result = Step(ring, &position, reassembly);
        if (next < expected.size()) {
            // What the walk must say of a laid packet: nothing until the bytes that give its
            // length are there, then invalid for an invalid tcode or a length no ring can hold,
            // nothing until its last byte is there, then the packet.
            const Expected& e = expected[next++];
            size_t lengthBytes = HasDataBlock(e.tcode) ? 16 : 4;
            bool possible = e.bytes != 0 && e.bytes <= kCapacity && e.bytes <= ringRoom;
            // (A ring with less room than the smallest packet with a data block may say invalid at
            // once: no such packet can ever be whole there.)
            if (e.present < lengthBytes)
                KXF_CHECK(result == async::kArNothing || (result == async::kArInvalid && ringRoom < 20));
            else if (!possible) KXF_CHECK(result == async::kArInvalid);
            else if (e.present < e.bytes) KXF_CHECK(result == async::kArNothing);
            else KXF_CHECK(result == async::kArPacket);
        }
        if (result != async::kArPacket) break;
    }
    return 0;
}
