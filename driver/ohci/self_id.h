// Self-ID packets (IEEE 1394-1995 4.3.4.1, IEEE 1394a 8.5.1) and the OHCI self-ID buffer (OHCI 1.1
// chapter 11): field helpers, the walk that checks the buffer, the rules a bus's packet sequence
// must follow, and the per-node counts and path speeds they give. Pure logic, no hardware.
#pragma once

#include "kxplatform.h"

namespace selfid {

// First quadlet of a self-ID packet.
constexpr ULONG kIdentifierShift = 30;
constexpr ULONG kIdentifier = 2;
constexpr ULONG PhyId(ULONG packet) { return (packet >> 24) & 0x3F; }
constexpr bool IsExtended(ULONG packet) { return (packet & (1u << 23)) != 0; }
constexpr bool LinkActive(ULONG packet) { return (packet & (1u << 22)) != 0; }
constexpr ULONG GapCount(ULONG packet) { return (packet >> 16) & 0x3F; }
constexpr ULONG Speed(ULONG packet) { return (packet >> 14) & 0x3; }
constexpr bool Contender(ULONG packet) { return (packet & (1u << 11)) != 0; }
constexpr ULONG Sequence(ULONG packet) { return (packet >> 20) & 0x7; }
// m: another packet of the same node follows.
constexpr bool MorePackets(ULONG packet) { return (packet & 1u) != 0; }
constexpr bool IsSelfIdPacket(ULONG quadlet) { return (quadlet >> kIdentifierShift) == kIdentifier; }

// Port states.
constexpr ULONG kPortNotPresent = 0;
constexpr ULONG kPortNotConnected = 1;
constexpr ULONG kPortParent = 2;
constexpr ULONG kPortChild = 3;
constexpr ULONG kFirstPacketPorts = 3;
constexpr ULONG kExtendedPacketPorts = 8;
// Port k of a first packet (k = 0..2, bits 7:6, 5:4, 3:2) or of an extended packet (k = 0..7,
// bits 17:16 down to 3:2).
constexpr ULONG FirstPacketPort(ULONG packet, ULONG k) { return (packet >> (6 - 2 * k)) & 0x3; }
constexpr ULONG ExtendedPacketPort(ULONG packet, ULONG k) { return (packet >> (16 - 2 * k)) & 0x3; }

// SelfIDCount register and the buffer's header quadlet.
constexpr ULONG kSelfIdError = 1u << 31;
constexpr ULONG Generation(ULONG quadlet) { return (quadlet >> 16) & 0xFF; }
constexpr ULONG SizeQuadlets(ULONG selfIdCount) { return (selfIdCount >> 2) & 0x1FF; }

// Speed codes.
constexpr UCHAR kNoSpeed = 0x0F;

// Checks a copy of the self-ID buffer against the SelfIDCount value read after the copy, and keeps
// the first quadlet of each packet pair. `copyQuadlets` bounds the copy. False when the reception
// failed: selfIDError, a generation that differs, more than 256 packet quadlets, no header, a
// first quadlet that is not a self-ID packet, or a check quadlet that is not its inverse. A
// non-self-ID quadlet after at least one packet ends the walk (trailing data is ignored).
// `packets` may be `copy` itself: each packet is stored before the pair it was read from.
[[nodiscard]] bool ExtractPackets(const ULONG* copy, ULONG copyQuadlets, ULONG selfIdCount, PULONG packets,
                                  ULONG maxPackets, PULONG packetCount);

struct Summary {
    ULONG NodeCount;
    UCHAR IrmNodeNumber;      // highest PHY number with L and c; 0xFF when none
    ULONG ActiveLinkCount;
    ULONGLONG ActiveLinkMask;
    bool GapCountMismatch;
};

// The rules of a bus's packet sequence: PHY numbers 0, 1, 2 ... without gaps and at most 63
// nodes, extended packets numbered 0, 1, 2 after their node's first packet, a packet whose m bit
// announces a further packet followed by its node's next extended packet (so the set cannot end
// on such a packet), child ports that fit a tree in self-ID order (each node adopts as many
// earlier subtrees as it has child ports, a node other than the last has a parent port, and one
// tree remains), an IRM candidate, and a last node that has no parent port. False when any is
// broken.
[[nodiscard]] bool CheckSequence(const ULONG* packets, ULONG count, Summary* summary);

// What the packets say about each node.
struct NodePorts {
    ULONG ParentPortCount;
    ULONG ParentPort;         // highest port index connected to the parent
    ULONG ChildCount;
    ULONG Speed;              // PHY speed code of the node
};

// Port counts per node from a checked sequence (nodes[0 .. nodeCount-1]). False when a first
// packet does not fit the node count.
[[nodiscard]] bool CountPorts(const ULONG* packets, ULONG count, ULONG nodeCount, NodePorts* nodes);

// Fills the speed codes of a SPEED_MAP body (63 rows of 64 codes): for every pair of nodes the
// slowest PHY speed on the tree path between them, both ends included; 0x0F where there is no
// node; column 63 (broadcast) the slowest PHY on the bus.
void FillSpeedMap(PUCHAR speedCodes, const NodePorts* nodes, ULONG nodeCount);

}  // namespace selfid
