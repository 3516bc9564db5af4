// The configuration ROM image (IEEE 1212 bus information block, directories and leaves with their
// CRC-16) and the split time-out CSR values.
#include <gtest/gtest.h>

#include "ohci/bus_order.h"
#include "core/config_rom.h"
#include "ohci/register_access.h"

namespace {

struct MaxRomCase {
    ULONG maxRec;
    ULONG maxRom;
};

class MaxRomTest : public ::testing::TestWithParam<MaxRomCase> {};

TEST_P(MaxRomTest, MaxRomFollowsMaxRec) {
    ULONG options = RomBusOptions((GetParam().maxRec << 12) | 0x2 /* link_spd S400 */);
    EXPECT_EQ((options >> 8) & 3, GetParam().maxRom);
    EXPECT_EQ((options >> 12) & 0xF, GetParam().maxRec);
    EXPECT_EQ(options & 7, 2u);
    EXPECT_EQ(options >> 28, 0xFu);          // irmc cmc isc bmc
    EXPECT_EQ((options >> 16) & 0xFF, 100u);  // cyc_clk_acc
    EXPECT_EQ((options >> 4) & 0xF, 0u);      // generation
}

INSTANTIATE_TEST_SUITE_P(Cases, MaxRomTest,
                         ::testing::Values(MaxRomCase{4, 0}, MaxRomCase{5, 1}, MaxRomCase{8, 1}, MaxRomCase{9, 2},
                                           MaxRomCase{10, 2}));

ULONG Q(const ULONG* image, ULONG index) { return BusToHost32(image[index]); }

TEST(ConfigRom, ImageLayoutAndCrcs) {
    ULONG image[kConfigRomQuadlets];
    BuildConfigRomImage(image, 0x0000A002, 0x00112233, 0x44556677);
    EXPECT_EQ(Q(image, 0) >> 16, 0x041Cu);  // info_length 4, crc_length 28
    EXPECT_EQ(Q(image, 0) & 0xFFFF, RomCrc16(&image[1], 28));
    EXPECT_EQ(Q(image, 1), 0x31333934u);
    EXPECT_EQ(Q(image, 2), 0xF064A202u);
    EXPECT_EQ(Q(image, 3), 0x00112233u);
    EXPECT_EQ(Q(image, 4), 0x44556677u);
    EXPECT_EQ(Q(image, 5) >> 16, 4u);
    EXPECT_EQ(Q(image, 5) & 0xFFFF, RomCrc16(&image[6], 4));
    EXPECT_EQ(Q(image, 6), 0x0C0083C0u);
    EXPECT_EQ(Q(image, 7), 0x03001122u);  // vendor ID: the GUID's company ID
    EXPECT_EQ(Q(image, 8), 0x81000006u);
    EXPECT_EQ(Q(image, 9), 0xD1000001u);
    EXPECT_EQ(Q(image, 10) >> 16, 3u);
    EXPECT_EQ(Q(image, 10) & 0xFFFF, RomCrc16(&image[11], 3));
    EXPECT_EQ(Q(image, 11), 0x120050F2u);
    EXPECT_EQ(Q(image, 12) >> 24, 0x17u);
    EXPECT_EQ(Q(image, 13), 0x81000009u);
    EXPECT_EQ(Q(image, 14) >> 16, 7u);
    EXPECT_EQ(Q(image, 14) & 0xFFFF, RomCrc16(&image[15], 7));
    EXPECT_EQ(Q(image, 15), 0x80000000u);
    EXPECT_EQ(Q(image, 16), 0x00000409u);
    EXPECT_EQ(Q(image, 22) >> 16, 6u);
    EXPECT_EQ(Q(image, 22) & 0xFFFF, RomCrc16(&image[23], 6));
    const UCHAR* model = reinterpret_cast<const UCHAR*>(&image[25]);
    const UCHAR expected[] = {'1', 0, '3', 0, '9', 0, '4', 0, ' ', 0, 'P', 0, 'C', 0, 0, 0};
    EXPECT_EQ(memcmp(model, expected, sizeof(expected)), 0);
}

TEST(ConfigRom, SplitTimeoutInSecondsAndCycles) {
    ULONG hi = 0, lo = 0;
    SplitTimeoutCsr(1500, &hi, &lo);
    EXPECT_EQ(hi, 1u);
    EXPECT_EQ(lo, 0x7D000000u);
    SplitTimeoutCsr(0, &hi, &lo);
    EXPECT_EQ(hi, 0u);
    EXPECT_EQ(lo, 0x19000000u);
    SplitTimeoutCsr(40000, &hi, &lo);
    EXPECT_EQ(hi, 40u);
    EXPECT_EQ(lo, 0u);
}

}  // namespace
