// Self-ID packets and OHCI self-ID buffers built from the field layout of IEEE 1394-1995 4.3.4.1 /
// IEEE 1394a 8.5.1 (quadlet 31:30 = 10, phy_ID 29:24, L 22, gap_cnt 21:16, sp 15:14, c 11,
// p0 p1 p2 at 7:6 5:4 3:2; extended: bit 23, n 22:20, pa..ph 17:16 .. 3:2) and OHCI 1.1 11.3
// (buffer header generation 23:16, each packet followed by its inverse). Synthetic buses, not
// captures of devices.
#pragma once

#include <vector>

#include "kxplatform.h"

namespace sidb {

constexpr ULONG kParent = 2, kChild = 3, kNone = 1;

inline ULONG First(ULONG phy, bool link, ULONG gap, ULONG speed, bool contender, ULONG p0, ULONG p1, ULONG p2,
                   bool more = false) {
    return (2u << 30) | (phy << 24) | (ULONG(link) << 22) | (gap << 16) | (speed << 14) | (ULONG(contender) << 11) |
           (p0 << 6) | (p1 << 4) | (p2 << 2) | ULONG(more);
}

inline ULONG Extended(ULONG phy, ULONG sequence, const std::vector<ULONG>& ports, bool more = false) {
    ULONG packet = (2u << 30) | (phy << 24) | (1u << 23) | (sequence << 20) | ULONG(more);
    for (size_t k = 0; k < ports.size() && k < 8; ++k) packet |= ports[k] << (16 - 2 * k);
    return packet;
}

// A chain of `count` nodes: node 0 is the leaf, the highest node the root; each node's p0 leads to
// its child and p1 to its parent. All links active contenders at S400 with gap count 63.
inline std::vector<ULONG> Chain(ULONG count, ULONG gap = 63) {
    std::vector<ULONG> packets;
    for (ULONG i = 0; i < count; ++i)
        packets.push_back(First(i, true, gap, 2, true, i > 0 ? kChild : kNone, i + 1 < count ? kParent : kNone, 0));
    return packets;
}

// The self-ID buffer as the controller writes it, and the matching SelfIDCount value.
struct Buffer {
    std::vector<ULONG> quadlets;
    ULONG selfIdCount;
};

inline Buffer Receive(const std::vector<ULONG>& packets, ULONG generation) {
    Buffer buffer;
    buffer.quadlets.push_back((generation << 16) | 0x1234);
    for (ULONG packet : packets) {
        buffer.quadlets.push_back(packet);
        buffer.quadlets.push_back(~packet);
    }
    buffer.selfIdCount = (generation << 16) | (ULONG(buffer.quadlets.size()) << 2);
    buffer.quadlets.resize(512, 0);
    return buffer;
}

}  // namespace sidb
