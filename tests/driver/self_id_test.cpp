// Self-ID buffer checks, the bus rules of a packet sequence, port counts and the speed map, with
// synthetic buses built from the field layout (self_id_builder.h).
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "ohci/self_id.h"
#include "self_id_builder.h"

namespace {

using namespace sidb;

TEST(SelfIdFields, BuilderMatchesTheWorkedExample) {
    // IEEE 1394a self-ID #0 for phy_ID 1, L, gap 63, S400, c, p0 child, p1 parent, p2 absent:
    // 0x817F88E0 (worked by hand from the field table, HARDWARE-FACTS 4.1).
    ULONG packet = First(1, true, 63, 2, true, kChild, kParent, 0);
    EXPECT_EQ(packet, 0x817F88E0u);
    EXPECT_EQ(selfid::PhyId(packet), 1u);
    EXPECT_TRUE(selfid::LinkActive(packet));
    EXPECT_EQ(selfid::GapCount(packet), 63u);
    EXPECT_EQ(selfid::Speed(packet), 2u);
    EXPECT_TRUE(selfid::Contender(packet));
    EXPECT_EQ(selfid::FirstPacketPort(packet, 0), kChild);
    EXPECT_EQ(selfid::FirstPacketPort(packet, 1), kParent);
    ULONG extended = Extended(4, 1, {kNone, kChild, 0, 0, 0, 0, 0, kParent});
    EXPECT_TRUE(selfid::IsExtended(extended));
    EXPECT_EQ(selfid::Sequence(extended), 1u);
    EXPECT_EQ(selfid::ExtendedPacketPort(extended, 1), kChild);
    EXPECT_EQ(selfid::ExtendedPacketPort(extended, 7), kParent);
}

struct ExtractCase {
    const char* name;
    std::function<void(Buffer&)> damage;
    bool accepted;
    ULONG packets;
};

class ExtractTest : public ::testing::TestWithParam<ExtractCase> {};

TEST_P(ExtractTest, BufferIsAcceptedOrRejected) {
    Buffer buffer = Receive(Chain(3), 7);
    GetParam().damage(buffer);
    ULONG packets[256] = {};
    ULONG count = 0;
    EXPECT_EQ(selfid::ExtractPackets(buffer.quadlets.data(), 512, buffer.selfIdCount, packets, 256, &count),
              GetParam().accepted);
    if (GetParam().accepted) {
        EXPECT_EQ(count, GetParam().packets);
        EXPECT_EQ(packets[0], Chain(3)[0]);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExtractTest,
    ::testing::Values(
        ExtractCase{"intact", [](Buffer&) {}, true, 3},
        ExtractCase{"selfIDError", [](Buffer& b) { b.selfIdCount |= 1u << 31; }, false, 0},
        ExtractCase{"generationChangedMeanwhile", [](Buffer& b) { b.selfIdCount += 1u << 16; }, false, 0},
        ExtractCase{"badInverse", [](Buffer& b) { b.quadlets[4] ^= 0x100; }, false, 0},
        ExtractCase{"junkAfterThePackets",
                    [](Buffer& b) {
                        b.quadlets[7] = 0x0000008F;  // not a self-ID packet: the walk ends before it
                        b.quadlets[8] = 0x12345678;
                        b.selfIdCount += 2u << 2;
                    },
                    true, 3},
        ExtractCase{"firstQuadletNotASelfId", [](Buffer& b) { b.quadlets[1] = 0x40000000; }, false, 0},
        ExtractCase{"oddTrailingQuadletIgnored", [](Buffer& b) { b.selfIdCount += 1u << 2; }, true, 3},
        ExtractCase{"moreThan256PacketQuadlets", [](Buffer& b) { b.selfIdCount = (7u << 16) | (258u << 2); }, false,
                    0},
        ExtractCase{"nothingReceived", [](Buffer& b) { b.selfIdCount = 7u << 16; }, false, 0}),
    [](const ::testing::TestParamInfo<ExtractCase>& info) { return std::string(info.param.name); });

TEST(SelfIdBuffer, PacketsGatherInPlaceAtTheStartOfTheCopy) {
    std::vector<ULONG> chain = Chain(5);
    Buffer buffer = Receive(chain, 200);
    ULONG count = 0;
    ASSERT_TRUE(selfid::ExtractPackets(buffer.quadlets.data(), 512, buffer.selfIdCount, buffer.quadlets.data(), 256,
                                       &count));
    ASSERT_EQ(count, 5u);
    for (ULONG i = 0; i < count; ++i) EXPECT_EQ(buffer.quadlets[i], chain[i]);
}

struct SequenceCase {
    const char* name;
    std::function<std::vector<ULONG>()> packets;
    bool valid;
    ULONG nodeCount;
    ULONG irm;
    bool gapMismatch;
};

class SequenceTest : public ::testing::TestWithParam<SequenceCase> {};

TEST_P(SequenceTest, RulesOfTheBus) {
    std::vector<ULONG> packets = GetParam().packets();
    selfid::Summary summary;
    ASSERT_EQ(selfid::CheckSequence(packets.data(), ULONG(packets.size()), &summary), GetParam().valid);
    if (!GetParam().valid) return;
    EXPECT_EQ(summary.NodeCount, GetParam().nodeCount);
    EXPECT_EQ(summary.IrmNodeNumber, GetParam().irm);
    EXPECT_EQ(summary.GapCountMismatch, GetParam().gapMismatch);
}

std::vector<ULONG> WithExtendedRoot() {
    // Node 0 hangs on port 4 of the root, a five-port PHY: #0 then #1 with pa (port 3) and pb (port 4).
    return {First(0, true, 63, 2, false, kParent, 0, 0),
            First(1, true, 63, 2, true, kNone, kNone, kNone, true),
            Extended(1, 0, {kNone, kChild})};
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SequenceTest,
    ::testing::Values(
        SequenceCase{"singleNode", [] { return Chain(1); }, true, 1, 0, false},
        SequenceCase{"threeNodeChain", [] { return Chain(3); }, true, 3, 2, false},
        SequenceCase{"sixtyThreeNodes", [] { return Chain(63); }, true, 63, 62, false},
        SequenceCase{"sixtyFourNodes", [] { return Chain(64); }, false, 0, 0, false},
        SequenceCase{"extendedPacketOfTheRoot", WithExtendedRoot, true, 2, 1, false},
        SequenceCase{"phyNumberSkipped",
                     [] {
                         auto p = Chain(3);
                         p[1] = First(2, true, 63, 2, true, kChild, kParent, 0);
                         return p;
                     },
                     false, 0, 0, false},
        SequenceCase{"extendedPacketOutOfSequence",
                     [] {
                         auto p = WithExtendedRoot();
                         p[2] = Extended(1, 1, {kNone, kChild});
                         return p;
                     },
                     false, 0, 0, false},
        SequenceCase{"extendedPacketOfAnotherNode",
                     [] {
                         auto p = WithExtendedRoot();
                         p[2] = Extended(0, 0, {kNone, kChild});
                         return p;
                     },
                     false, 0, 0, false},
        SequenceCase{"noContender",
                     [] {
                         std::vector<ULONG> p;
                         for (ULONG i = 0; i < 2; ++i)
                             p.push_back(First(i, true, 63, 2, false, i ? kChild : kNone, i ? kNone : kParent, 0));
                         return p;
                     },
                     false, 0, 0, false},
        SequenceCase{"contenderWithoutLinkIsNotIrm",
                     [] {
                         auto p = Chain(3);
                         p[2] = First(2, false, 63, 2, true, kChild, kNone, 0);
                         return p;
                     },
                     true, 3, 1, false},
        SequenceCase{"lastNodeHasAParent",
                     [] {
                         auto p = Chain(3);
                         p[2] = First(2, true, 63, 2, true, kChild, kParent, 0);
                         return p;
                     },
                     false, 0, 0, false},
        SequenceCase{"lastPacketAnnouncesAnother",
                     [] {
                         auto p = Chain(3);
                         p[2] |= 1u;
                         return p;
                     },
                     false, 0, 0, false},
        SequenceCase{"lastExtendedPacketAnnouncesAnother",
                     [] {
                         auto p = WithExtendedRoot();
                         p[2] |= 1u;
                         return p;
                     },
                     false, 0, 0, false},
        SequenceCase{"extendedPacketNotAnnounced",
                     [] {
                         auto p = WithExtendedRoot();
                         p[1] &= ~1u;
                         return p;
                     },
                     false, 0, 0, false},
        SequenceCase{"childPortWithoutASubtree",
                     [] {
                         auto p = Chain(3);
                         p[0] = First(0, true, 63, 2, true, kChild, kParent, 0);
                         return p;
                     },
                     false, 0, 0, false},
        SequenceCase{"subtreeNobodyAdopts",
                     [] {
                         auto p = Chain(3);
                         p[1] = First(1, true, 63, 2, true, kNone, kParent, 0);
                         return p;
                     },
                     false, 0, 0, false},
        SequenceCase{"nodeBeforeTheRootWithoutParent",
                     [] {
                         auto p = Chain(3);
                         p[1] = First(1, true, 63, 2, true, kChild, kNone, 0);
                         p[2] = First(2, true, 63, 2, true, kChild, kNone, 0);
                         return p;
                     },
                     false, 0, 0, false},
        SequenceCase{"rootWithTwoSubtrees",
                     [] {
                         return std::vector<ULONG>{First(0, true, 63, 2, false, kParent, 0, 0),
                                                   First(1, true, 63, 2, false, kParent, 0, 0),
                                                   First(2, true, 63, 2, true, kChild, kChild, kNone)};
                     },
                     true, 3, 2, false},
        SequenceCase{"gapCountsDisagree",
                     [] {
                         auto p = Chain(2);
                         p[1] = First(1, true, 5, 2, true, kChild, kNone, 0);
                         return p;
                     },
                     true, 2, 1, true}),
    [](const ::testing::TestParamInfo<SequenceCase>& info) { return std::string(info.param.name); });

// Speed code of the speed map body at (from, to).
UCHAR At(const UCHAR* codes, ULONG from, ULONG to) { return codes[from * 64 + to]; }

TEST(SpeedMap, SlowestPhyOnThePathBothEndsIncluded) {
    // Node 0 (S100) is the child of node 1 (S400), which is the child of the root 2 (S400).
    std::vector<ULONG> packets = {First(0, true, 63, 0, false, kParent, 0, 0),
                                  First(1, true, 63, 2, false, kChild, kParent, 0),
                                  First(2, true, 63, 2, true, kChild, kNone, 0)};
    selfid::NodePorts nodes[63];
    ASSERT_TRUE(selfid::CountPorts(packets.data(), 3, 3, nodes));
    UCHAR codes[63 * 64];
    selfid::FillSpeedMap(codes, nodes, 3);
    EXPECT_EQ(At(codes, 0, 2), 0);
    EXPECT_EQ(At(codes, 2, 0), 0);
    EXPECT_EQ(At(codes, 1, 2), 2);
    EXPECT_EQ(At(codes, 0, 1), 0);
    EXPECT_EQ(At(codes, 1, 1), 2);
    EXPECT_EQ(At(codes, 0, 0), 0);
    EXPECT_EQ(At(codes, 2, 63), 0);   // broadcast: the slowest PHY on the bus
    EXPECT_EQ(At(codes, 3, 0), 0x0F);  // no such node
    EXPECT_EQ(At(codes, 0, 3), 0x0F);
}

TEST(SpeedMap, BranchesMeetAtTheirCommonParent) {
    // Root 3 (S400) has children 2 (S200, with child 1 at S400) and 0 (S400): post-order 0, 1, 2, 3
    // with 0 under the root directly. Node 1's path to 0 passes 2 (S200) and 3.
    std::vector<ULONG> packets = {First(0, true, 63, 2, false, kParent, 0, 0),
                                  First(1, true, 63, 2, false, kParent, 0, 0),
                                  First(2, true, 63, 1, false, kChild, kParent, 0),
                                  First(3, true, 63, 2, true, kChild, kChild, 0)};
    selfid::NodePorts nodes[63];
    ASSERT_TRUE(selfid::CountPorts(packets.data(), 4, 4, nodes));
    EXPECT_EQ(nodes[3].ChildCount, 2u);
    EXPECT_EQ(nodes[2].ParentPortCount, 1u);
    EXPECT_EQ(nodes[2].ParentPort, 1u);
    UCHAR codes[63 * 64];
    selfid::FillSpeedMap(codes, nodes, 4);
    EXPECT_EQ(At(codes, 1, 0), 1);
    EXPECT_EQ(At(codes, 0, 3), 2);
    EXPECT_EQ(At(codes, 1, 2), 1);
    EXPECT_EQ(At(codes, 0, 1), 1);
}

TEST(PortCounts, ExtendedPacketsCountPortsThreeToTen) {
    std::vector<ULONG> packets = WithExtendedRoot();
    selfid::NodePorts nodes[63];
    ASSERT_TRUE(selfid::CountPorts(packets.data(), 3, 2, nodes));
    EXPECT_EQ(nodes[1].ChildCount, 1u);
    EXPECT_EQ(nodes[1].ParentPortCount, 0u);
    EXPECT_EQ(nodes[0].ParentPortCount, 1u);
    EXPECT_EQ(nodes[0].ParentPort, 0u);
    // A node count that does not fit the packets is refused.
    EXPECT_FALSE(selfid::CountPorts(packets.data(), 3, 1, nodes));
}

}  // namespace
