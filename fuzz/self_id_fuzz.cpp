// Self-ID buffers through the driver's walk and checks: the reception check of the buffer copy,
// the rules of the packet sequence, the port counts and the speed map. The input is either a raw
// buffer with its SelfIDCount value, or a packet sequence that this target lays out as the
// controller would (header, each packet and its inverse), optionally damaged, so that most inputs
// reach the sequence rules.
#include <cstdint>
#include <vector>

#include "fuzz_input.h"
#include "ohci/self_id.h"

namespace {

constexpr ULONG kCopyQuadlets = 512;  // the driver's copy of the 2 KiB self-ID buffer
constexpr ULONG kMaxPackets = 256;
constexpr ULONG kRows = 63;
constexpr ULONG kColumns = 64;

enum Damage : uint8_t { kNone, kBadInverse, kWrongGeneration, kErrorBit, kJunkAfter, kCountTooLarge, kTruncate,
                        kDamageKinds };

void CheckWalk(const std::vector<ULONG>& buffer, ULONG selfIdCount) {
    // The walk into a separate array and in place (as the driver runs it) agree.
    ULONG packets[kMaxPackets];
    ULONG count = 0;
    bool ok = selfid::ExtractPackets(buffer.data(), kCopyQuadlets, selfIdCount, packets, kMaxPackets, &count);
    std::vector<ULONG> inPlace = buffer;
    ULONG countInPlace = 0;
    bool okInPlace = selfid::ExtractPackets(inPlace.data(), kCopyQuadlets, selfIdCount, inPlace.data(), kMaxPackets,
                                            &countInPlace);
    KXF_CHECK(ok == okInPlace);
    if (!ok) return;
    KXF_CHECK(count == countInPlace);
    KXF_CHECK(count <= 128);
    for (ULONG i = 0; i < count; ++i) {
        KXF_CHECK(selfid::IsSelfIdPacket(packets[i]));
        KXF_CHECK(packets[i] == inPlace[i]);
    }

    selfid::Summary summary;
    if (!selfid::CheckSequence(packets, count, &summary)) return;
    KXF_CHECK(summary.NodeCount >= 1 && summary.NodeCount <= 63);
    KXF_CHECK(summary.IrmNodeNumber < summary.NodeCount);
    KXF_CHECK(ULONG(__builtin_popcountll(summary.ActiveLinkMask)) == summary.ActiveLinkCount);
    KXF_CHECK((summary.ActiveLinkMask >> summary.NodeCount) == 0);
    KXF_CHECK(summary.ActiveLinkMask & (1ull << summary.IrmNodeNumber));

    selfid::NodePorts nodes[64];
    ULONG nodeCount = summary.NodeCount;
    if (!selfid::CountPorts(packets, count, nodeCount, nodes)) return;
    for (ULONG i = 0; i < nodeCount; ++i) {
        KXF_CHECK(nodes[i].Speed <= 3);
        KXF_CHECK(nodes[i].ParentPortCount <= 67 && nodes[i].ChildCount <= 67);
    }
    // The root (the last node) has no parent port; every other node names its parent unless the
    // tree is broken, which the map then shows as unreachable entries.
    KXF_CHECK(nodes[nodeCount - 1].ParentPortCount == 0);

    UCHAR map[kRows * kColumns];
    selfid::FillSpeedMap(map, nodes, nodeCount);
    UCHAR slowest = selfid::kNoSpeed;
    for (ULONG i = 0; i < kRows; ++i) {
        for (ULONG j = 0; j < kColumns; ++j) {
            UCHAR code = map[i * kColumns + j];
            if (i >= nodeCount || (j >= nodeCount && j != 63)) {
                KXF_CHECK(code == selfid::kNoSpeed);
                continue;
            }
            if (j == 63) continue;
            KXF_CHECK(code == selfid::kNoSpeed || code <= 3);
            // A path is as slow in both directions, and no faster than either end.
            KXF_CHECK(code == map[j * kColumns + i]);
            if (code != selfid::kNoSpeed) {
                KXF_CHECK(code <= nodes[i].Speed && code <= nodes[j].Speed);
            }
        }
        if (i < nodeCount) {
            KXF_CHECK(map[i * kColumns + i] == nodes[i].Speed);
            if (nodes[i].Speed < slowest) slowest = UCHAR(nodes[i].Speed);
        }
    }
    for (ULONG i = 0; i < nodeCount; ++i) KXF_CHECK(map[i * kColumns + 63] == slowest);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kxfuzz::Input in(data, size);
    uint8_t mode = in.U8();
    std::vector<ULONG> buffer(kCopyQuadlets, 0);
    ULONG selfIdCount = 0;
    if (mode & 1) {
        // A raw buffer and SelfIDCount value.
        selfIdCount = in.U32();
        for (ULONG i = 0; i < kCopyQuadlets && !in.Empty(); ++i) buffer[i] = in.U32();
    } else {
        // Packets laid out by the controller, then damaged as the input asks.
        ULONG generation = in.U8();
        uint8_t damage = uint8_t(in.U8() % kDamageKinds);
        uint8_t where = in.U8();
        std::vector<ULONG> packets;
        while (!in.Empty() && packets.size() < 200) packets.push_back(in.U32());
        ULONG quadlets = 1;
        buffer[0] = (generation << 16) | 0x5A5A;
        for (ULONG packet : packets) {
            if (quadlets + 2 > kCopyQuadlets) break;
            buffer[quadlets++] = packet;
            buffer[quadlets++] = ~packet;
        }
        selfIdCount = (generation << 16) | (quadlets << 2);
        switch (damage) {
        case kBadInverse:
            if (quadlets > 2) buffer[2 + 2 * (where % ((quadlets - 1) / 2))] ^= 1u << (where % 32);
            break;
        case kWrongGeneration: selfIdCount = ((generation + 1 + where) & 0xFF) << 16 | (quadlets << 2); break;
        case kErrorBit: selfIdCount |= selfid::kSelfIdError; break;
        case kJunkAfter:
            if (quadlets + 2 <= kCopyQuadlets) {
                buffer[quadlets] = 0x12345678u * (where + 1);
                buffer[quadlets + 1] = ~buffer[quadlets];
                quadlets += 2;
                selfIdCount = (generation << 16) | (quadlets << 2);
            }
            break;
        case kCountTooLarge: selfIdCount = (generation << 16) | ((quadlets + where) & 0x1FF) << 2; break;
        case kTruncate: selfIdCount = (generation << 16) | ((quadlets - 1 - where % quadlets) << 2); break;
        default: break;
        }
    }
    CheckWalk(buffer, selfIdCount);
    return 0;
}
