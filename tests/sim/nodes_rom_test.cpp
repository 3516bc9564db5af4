// Configuration ROM images: IEEE 1212 CRC-16, the bus information block of IEEE 1394a 8.3.2.5.4,
// directory and leaf layout of IEEE 1212 7.5, the minimal ASCII textual descriptor leaf.
#include <gtest/gtest.h>

#include <vector>

#include "config_rom.h"

namespace {

// IEEE 1212 7.3 CRC, computed here bit by bit (generator 0x1021, initial value 0, most significant
// bit of each quadlet first) independently of the model's nibble-wise routine.
uint16_t BitwiseCrc(const std::vector<uint32_t>& q, size_t first, size_t count) {
    uint16_t crc = 0;
    for (size_t i = first; i < first + count; ++i)
        for (int bit = 31; bit >= 0; --bit) {
            bool feedback = ((crc >> 15) ^ (q[i] >> bit)) & 1;
            crc = uint16_t(crc << 1);
            if (feedback) crc ^= 0x1021;
        }
    return crc;
}

TEST(NodesRom, CrcMatchesTheBitwiseDefinition) {
    // A lone 1 in the last bit leaves exactly the generator; all zeros give 0.
    std::vector<uint32_t> one{0x00000001};
    EXPECT_EQ(0x1021, sim::Crc16(one.data(), 1));
    EXPECT_EQ(0, sim::Crc16(one.data(), 0));
    std::vector<uint32_t> vectors{0x31333934, 0xE064A232, 0x00ACDE48, 0x00000001, 0xFFFFFFFF, 0x12345678, 0x0083C0DE};
    for (size_t n = 1; n <= vectors.size(); ++n) EXPECT_EQ(BitwiseCrc(vectors, 0, n), sim::Crc16(vectors.data(), n)) << n;
    std::vector<uint32_t> ascii{0x31323334, 0x35363738};
    EXPECT_EQ(BitwiseCrc(ascii, 0, 2), sim::Crc16(ascii.data(), 2));
}

TEST(NodesRom, BusOptionsFieldPositions) {
    // IEEE 1394a 8.3.2.5.4: irmc 31, cmc 30, isc 29, bmc 28, pmc 27, cyc_clk_acc 23:16,
    // max_rec 15:12, max_ROM 9:8, generation 7:4, link_spd 2:0.
    sim::BusOptions o;
    o.irmc = o.cmc = o.isc = true;
    o.cycClkAcc = 100;
    o.maxRec = 0xA;
    o.maxRom = 2;
    o.generation = 3;
    o.linkSpd = 2;
    EXPECT_EQ(0xE064A232u, o.Encode());
    sim::BusOptions d = sim::BusOptions::Decode(0x18FF8105);
    EXPECT_FALSE(d.irmc);
    EXPECT_FALSE(d.cmc);
    EXPECT_FALSE(d.isc);
    EXPECT_TRUE(d.bmc);
    EXPECT_TRUE(d.pmc);
    EXPECT_EQ(0xFF, d.cycClkAcc);
    EXPECT_EQ(8, d.maxRec);
    EXPECT_EQ(1, d.maxRom);
    EXPECT_EQ(0, d.generation);
    EXPECT_EQ(5, d.linkSpd);
    EXPECT_EQ(0x18FF8105u, d.Encode());
}

TEST(NodesRom, EntryFields) {
    // IEEE 1212 7.5.1: key type 31:30, key ID 29:24, value 23:0.
    uint32_t e = sim::rom::MakeEntry(0xD1, 0x000004);
    EXPECT_EQ(0xD1000004u, e);
    EXPECT_EQ(3, sim::rom::EntryKeyType(e));
    EXPECT_EQ(0x11, sim::rom::EntryKeyId(e));
    EXPECT_EQ(4u, sim::rom::EntryValue(e));
    EXPECT_EQ(0x54123456u, sim::rom::MakeEntry(0x54, 0xFF123456));
}

sim::ConfigRom SampleRom(bool busInfoCrcOnly = false) {
    sim::RomDirectory unit;
    unit.Add(0x12, 0x00A02D).Add(0x13, 0x000102);
    sim::RomDirectory root;
    root.Add(0x03, 0x123456).AddText("Vendor").Add(0x0C, 0x0083C0).AddDirectory(0xD1, unit);
    sim::BusOptions o;
    o.isc = true;
    o.maxRom = 2;
    return sim::ConfigRom::Build(o, 0x0011223344556677ull, root, busInfoCrcOnly);
}

TEST(NodesRom, BuiltImageLayoutAndCrcs) {
    sim::ConfigRom rom = SampleRom();
    const std::vector<uint32_t>& q = rom.quadlets();
    // Bus information block: info_length 4, bus name, options, GUID.
    ASSERT_GE(q.size(), 6u);
    EXPECT_EQ(4u, q[0] >> 24);
    EXPECT_EQ(0x31333934u, q[1]);
    EXPECT_EQ(0x00112233u, q[3]);
    EXPECT_EQ(0x44556677u, q[4]);
    EXPECT_EQ(0x0011223344556677ull, rom.Guid());
    // crc_length covers the rest of the image, and the CRC is over exactly those quadlets.
    size_t crcLength = (q[0] >> 16) & 0xFF;
    EXPECT_EQ(q.size() - 1, crcLength);
    EXPECT_EQ(BitwiseCrc(q, 1, crcLength), q[0] & 0xFFFF);
    // Root directory at 0x414 (index 5): four entries, its own CRC.
    ASSERT_EQ(5u, rom.RootDirectoryIndex());
    EXPECT_EQ(4u, q[5] >> 16);
    EXPECT_EQ(BitwiseCrc(q, 6, 4), q[5] & 0xFFFF);
    EXPECT_EQ(0x03123456u, q[6]);
    EXPECT_EQ(0x0C0083C0u, q[8]);
    // The textual leaf: offset from the entry's own address, minimal ASCII form.
    size_t leaf = 7 + (q[7] & 0xFFFFFF);
    EXPECT_EQ(0x81u, q[7] >> 24);
    ASSERT_LT(leaf + 4, q.size());
    EXPECT_EQ(4u, q[leaf] >> 16);  // descriptor type/specifier, width/charset/language, "Vend", "or\0\0"
    EXPECT_EQ(BitwiseCrc(q, leaf + 1, 4), q[leaf] & 0xFFFF);
    EXPECT_EQ(0u, q[leaf + 1]);
    EXPECT_EQ(0u, q[leaf + 2]);
    EXPECT_EQ(0x56656E64u, q[leaf + 3]);
    EXPECT_EQ(0x6F720000u, q[leaf + 4]);
    // The unit directory.
    size_t unit = 9 + (q[9] & 0xFFFFFF);
    EXPECT_EQ(0xD1u, q[9] >> 24);
    ASSERT_LT(unit + 2, q.size());
    EXPECT_EQ(2u, q[unit] >> 16);
    EXPECT_EQ(BitwiseCrc(q, unit + 1, 2), q[unit] & 0xFFFF);
    EXPECT_EQ(0x1200A02Du, q[unit + 1]);
    EXPECT_EQ(0x13000102u, q[unit + 2]);
    EXPECT_TRUE(rom.BusInfoCrcValid());
    EXPECT_TRUE(rom.BlockCrcValid(5));
    uint32_t entry = 0;
    size_t at = 0;
    ASSERT_TRUE(rom.FindEntry(5, 0xD1, &entry, &at));
    EXPECT_EQ(unit, sim::ConfigRom::Target(at, entry));
}

TEST(NodesRom, CrcLengthOfTheBusInfoBlockOnly) {
    sim::ConfigRom rom = SampleRom(true);
    const std::vector<uint32_t>& q = rom.quadlets();
    EXPECT_EQ(0x0404u, q[0] >> 16);
    EXPECT_EQ(BitwiseCrc(q, 1, 4), q[0] & 0xFFFF);
}

TEST(NodesRom, RawImagesKeepTheirFaults) {
    sim::ConfigRom good = SampleRom();
    std::vector<uint32_t> q = good.quadlets();
    q[6] ^= 1;  // root directory content changed, CRC left alone
    sim::ConfigRom wrong(q);
    EXPECT_EQ(q, wrong.quadlets());
    EXPECT_TRUE(wrong.BusInfoCrcValid() == false);
    EXPECT_FALSE(wrong.BlockCrcValid(5));
    wrong.FixBlockCrc(5);
    wrong.FixBusInfoCrc();
    EXPECT_TRUE(wrong.BlockCrcValid(5));
    EXPECT_TRUE(wrong.BusInfoCrcValid());
    // A short ROM: the header promises more than there is.
    sim::ConfigRom shortRom(std::vector<uint32_t>(q.begin(), q.begin() + 7));
    EXPECT_FALSE(shortRom.BusInfoCrcValid());
    EXPECT_FALSE(shortRom.BlockCrcValid(5));
    EXPECT_FALSE(shortRom.Has(7));
}

TEST(NodesRom, BytesGoOutMostSignificantFirst) {
    sim::ConfigRom rom(std::vector<uint32_t>{0x04040000, 0x31333934, 0x01020304});
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(rom.ReadBytes(4, 8, &bytes));
    EXPECT_EQ((std::vector<uint8_t>{'1', '3', '9', '4', 1, 2, 3, 4}), bytes);
    EXPECT_FALSE(rom.ReadBytes(8, 8, &bytes));
}

TEST(NodesRom, TextLeafBody) {
    // IEEE 1212 7.5.4.1 minimal ASCII: type 0, specifier 0, width/charset/language 0, text.
    EXPECT_EQ((std::vector<uint32_t>{0, 0, 0x41424344}), sim::TextLeafBody("ABCD"));
    EXPECT_EQ((std::vector<uint32_t>{0, 0, 0x41424344, 0x45000000}), sim::TextLeafBody("ABCDE"));
    EXPECT_EQ((std::vector<uint32_t>{0, 0}), sim::TextLeafBody(""));
}

}  // namespace
