#include "self_id.h"

namespace selfid {

namespace {

constexpr ULONG kMaxPacketQuadlets = 256;
constexpr ULONG kSpeedMapRows = 63;
constexpr ULONG kSpeedMapColumns = 64;

UCHAR Slower(UCHAR a, ULONG b) { return b < a ? UCHAR(b) : a; }

bool HasParentPort(ULONG packet) {
    if (IsExtended(packet)) {
        for (ULONG k = 0; k < kExtendedPacketPorts; ++k)
            if (ExtendedPacketPort(packet, k) == kPortParent) return true;
        return false;
    }
    for (ULONG k = 0; k < kFirstPacketPorts; ++k)
        if (FirstPacketPort(packet, k) == kPortParent) return true;
    return false;
}

// The node that sends last is the root: none of its ports may lead to a parent.
bool LastNodeIsRoot(const ULONG* packets, ULONG count) {
    ULONG i = count - 1;
    while (IsExtended(packets[i])) {
        if (HasParentPort(packets[i]) || i == 0) return false;
        --i;
    }
    return !HasParentPort(packets[i]);
}

void CountPort(ULONG state, ULONG index, NodePorts* node) {
    if (state == kPortParent) {
        ++node->ParentPortCount;
        if (index > node->ParentPort) node->ParentPort = index;
    } else if (state == kPortChild) {
        ++node->ChildCount;
    }
}

// The tree the node numbers describe: numbers follow it in post-order, so the children of i are
// i - 1, then the node just below the first child's subtree, and so on.
struct Tree {
    ULONG Parent[kSpeedMapColumns];  // kSpeedMapColumns for the root
    ULONG FirstChild[kSpeedMapColumns];
    ULONG NextSibling[kSpeedMapColumns];

    ULONG Neighbours(ULONG node, PULONG out) const {
        ULONG count = 0;
        if (Parent[node] != kSpeedMapColumns) out[count++] = Parent[node];
        for (ULONG c = FirstChild[node]; c != kSpeedMapColumns; c = NextSibling[c]) out[count++] = c;
        return count;
    }
};

void BuildTree(const NodePorts* nodes, ULONG nodeCount, Tree* tree) {
    ULONG subtree[kSpeedMapColumns];
    for (ULONG i = 0; i < kSpeedMapColumns; ++i) {
        tree->Parent[i] = kSpeedMapColumns;
        tree->FirstChild[i] = kSpeedMapColumns;
        tree->NextSibling[i] = kSpeedMapColumns;
        subtree[i] = i < nodeCount ? nodes[i].ChildCount : 0;
    }
    for (ULONG i = 1; i < nodeCount; ++i) {
        LONG c = LONG(i) - 1;
        for (ULONG k = 0; k < nodes[i].ChildCount && c >= 0; ++k) {
            if (tree->Parent[c] == kSpeedMapColumns) {
                tree->Parent[c] = i;
                tree->NextSibling[c] = tree->FirstChild[i];
                tree->FirstChild[i] = ULONG(c);
            }
            subtree[i] += subtree[c];
            c = c - 1 - LONG(subtree[c]);
        }
    }
}

}  // namespace

bool ExtractPackets(const ULONG* copy, ULONG copyQuadlets, ULONG selfIdCount, PULONG packets, ULONG maxPackets,
                    PULONG packetCount) {
    *packetCount = 0;
    if (selfIdCount & kSelfIdError) return false;
    ULONG n = SizeQuadlets(selfIdCount);
    if (n == 0 || n - 1 > kMaxPacketQuadlets || n > copyQuadlets) return false;
    if (Generation(copy[0]) != Generation(selfIdCount)) return false;
    for (ULONG i = 1; i + 1 < n; i += 2) {
        ULONG packet = copy[i];
        if (!IsSelfIdPacket(packet)) {
            if (*packetCount == 0) return false;
            break;
        }
        if (copy[i + 1] != ~packet) return false;
        if (*packetCount == maxPackets) return false;
        packets[(*packetCount)++] = packet;
    }
    return true;
}

namespace {

ULONG ChildPorts(ULONG packet) {
    ULONG children = 0;
    ULONG ports = IsExtended(packet) ? kExtendedPacketPorts : kFirstPacketPorts;
    for (ULONG k = 0; k < ports; ++k) {
        ULONG state = IsExtended(packet) ? ExtendedPacketPort(packet, k) : FirstPacketPort(packet, k);
        if (state == kPortChild) ++children;
    }
    return children;
}

// Self-ID order is a post-order walk of the tree: each node's children are whole subtrees sent
// just before it. With `subtrees` the count of finished subtrees not yet adopted, a node adopts
// one per child port and is then a subtree itself.
bool AdoptChildren(ULONG children, ULONG* subtrees) {
    if (children > *subtrees) return false;
    *subtrees = *subtrees - children + 1;
    return true;
}

}  // namespace

bool CheckSequence(const ULONG* packets, ULONG count, Summary* summary) {
    RtlZeroMemory(summary, sizeof(*summary));
    summary->IrmNodeNumber = 0xFF;
    ULONG expected = 0;
    ULONG sequence = 0;
    bool haveGap = false;
    ULONG firstGap = 0;
    bool moreAnnounced = false;
    ULONG children = 0;
    ULONG subtrees = 0;
    bool parentPort = true;
    for (ULONG i = 0; i < count; ++i) {
        ULONG packet = packets[i];
        if (IsExtended(packet)) {
            if (expected == 0 || PhyId(packet) != expected - 1 || Sequence(packet) != sequence) return false;
            // Extended packets follow only a packet that announced them.
            if (!moreAnnounced) return false;
            moreAnnounced = MorePackets(packet);
            children += ChildPorts(packet);
            parentPort = parentPort || HasParentPort(packet);
            ++sequence;
            continue;
        }
        // The node before this one is complete: it announced no further packet and it had a
        // parent, and it takes its children.
        if (moreAnnounced || (expected > 0 && (!parentPort || !AdoptChildren(children, &subtrees)))) return false;
        moreAnnounced = MorePackets(packet);
        children = ChildPorts(packet);
        parentPort = HasParentPort(packet);
        // A PHY number of 63 cannot name a node: such a bus has more nodes than 1394 allows.
        if (PhyId(packet) != expected || expected >= 63) return false;
        if (LinkActive(packet)) {
            ++summary->ActiveLinkCount;
            summary->ActiveLinkMask |= 1ull << expected;
            if (Contender(packet)) summary->IrmNodeNumber = UCHAR(expected);
        }
        if (!haveGap) {
            haveGap = true;
            firstGap = GapCount(packet);
        } else if (GapCount(packet) != firstGap) {
            summary->GapCountMismatch = true;
        }
        ++expected;
        sequence = 0;
    }
    summary->NodeCount = expected;
    if (expected == 0 || summary->IrmNodeNumber == 0xFF || moreAnnounced) return false;
    // The last node is the root: it takes its children and one tree remains.
    if (!AdoptChildren(children, &subtrees) || subtrees != 1) return false;
    return LastNodeIsRoot(packets, count);
}

bool CountPorts(const ULONG* packets, ULONG count, ULONG nodeCount, NodePorts* nodes) {
    RtlZeroMemory(nodes, sizeof(NodePorts) * nodeCount);
    LONG e = LONG(nodeCount) - 1;
    for (ULONG i = count; i-- > 0;) {
        ULONG packet = packets[i];
        if (e < 0) return false;
        NodePorts* node = &nodes[e];
        if (IsExtended(packet)) {
            ULONG base = kFirstPacketPorts + kExtendedPacketPorts * Sequence(packet);
            for (ULONG k = 0; k < kExtendedPacketPorts; ++k) CountPort(ExtendedPacketPort(packet, k), base + k, node);
            continue;
        }
        node->Speed = Speed(packet);
        for (ULONG k = 0; k < kFirstPacketPorts; ++k) CountPort(FirstPacketPort(packet, k), k, node);
        --e;
    }
    return e == -1;
}

void FillSpeedMap(PUCHAR speedCodes, const NodePorts* nodes, ULONG nodeCount) {
    for (ULONG i = 0; i < kSpeedMapRows * kSpeedMapColumns; ++i) speedCodes[i] = kNoSpeed;
    if (nodeCount == 0 || nodeCount > kSpeedMapRows) return;
    Tree tree;
    BuildTree(nodes, nodeCount, &tree);
    // From every node, a walk over the tree carries the slowest PHY met so far.
    for (ULONG from = 0; from < nodeCount; ++from) {
        UCHAR* row = &speedCodes[from * kSpeedMapColumns];
        ULONG stack[kSpeedMapColumns];
        ULONG depth = 0;
        row[from] = UCHAR(nodes[from].Speed);
        stack[depth++] = from;
        while (depth > 0) {
            ULONG node = stack[--depth];
            ULONG neighbours[kSpeedMapColumns];
            ULONG count = tree.Neighbours(node, neighbours);
            for (ULONG k = 0; k < count; ++k) {
                ULONG next = neighbours[k];
                if (row[next] != kNoSpeed) continue;
                row[next] = Slower(row[node], nodes[next].Speed);
                stack[depth++] = next;
            }
        }
    }
    UCHAR slowest = kNoSpeed;
    for (ULONG i = 0; i < nodeCount; ++i) slowest = Slower(slowest, speedCodes[i * kSpeedMapColumns + i]);
    for (ULONG i = 0; i < nodeCount; ++i) speedCodes[i * kSpeedMapColumns + 63] = slowest;
}

}  // namespace selfid
