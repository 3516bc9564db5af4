// Configuration ROM decoding over ROM images: the IIDC camera's ROM as the model builds it, then
// the same image with one thing wrong at a time.
#include "rom_decoder.h"

#include <gtest/gtest.h>

#include <map>

#include "config_rom.h"
#include "iidc_camera.h"

namespace kx1394 {
namespace {

// A node whose ROM is `image`: quadlets past the image answer as a node does (address error).
struct ImageNode {
    std::vector<uint32_t> image;
    std::map<uint32_t, int> reads;  // reads per quadlet

    RomReader Reader() {
        return [this](uint32_t index) {
            ++reads[index];
            if (index >= image.size()) return QuadletRead::Failed("rcode 7 (resp_address_error)");
            return QuadletRead::Of(image[index]);
        };
    }
    DecodedRom Decode() { return DecodeRom(Reader()); }
};

std::vector<uint32_t> CameraImage() { return sim::IidcCamera::BuildRom(sim::IidcCamera::Config()).quadlets(); }

// Index of the block the first entry with `key` of the directory at `dir` points to.
uint32_t Target(const std::vector<uint32_t>& image, uint32_t dir, uint8_t key) {
    sim::ConfigRom rom(image);
    uint32_t entry = 0;
    size_t at = 0;
    EXPECT_TRUE(rom.FindEntry(dir, key, &entry, &at)) << "key " << int(key);
    return uint32_t(sim::ConfigRom::Target(at, entry));
}

TEST(RomCrc, IsTheCrc16OfIeee1212) {
    // "12345678" as two quadlets: the CRC-16 with generator 0x1021 and initial value 0 of those bytes.
    const uint32_t text[] = {0x31323334, 0x35363738};
    EXPECT_EQ(rom::Crc16(text, 2), 0x9015);
    EXPECT_EQ(rom::Crc16(text, 0), 0);
    // The model's own CRC, written separately, agrees on a whole ROM.
    std::vector<uint32_t> image = CameraImage();
    for (size_t n = 1; n <= image.size(); n += 7) EXPECT_EQ(rom::Crc16(image.data(), n), sim::Crc16(image.data(), n));
}

TEST(RomDecoder, CameraRomAsTheModelBuildsIt) {
    ImageNode node{CameraImage(), {}};
    DecodedRom rom = node.Decode();
    ASSERT_TRUE(rom.readable);
    EXPECT_TRUE(rom.general);
    EXPECT_EQ(rom.infoLength, 4);
    EXPECT_EQ(rom.guid, 0x00ACDE4800000001ull);
    EXPECT_EQ((rom.busOptions >> 12) & 0xF, 0xAu);  // max_rec
    EXPECT_TRUE(rom.hasVendor);
    EXPECT_EQ(rom.vendorId, 0x00ACDEu);
    EXPECT_EQ(rom.vendorText, "Simulated Optics");
    EXPECT_TRUE(rom.hasModel);
    EXPECT_EQ(rom.modelId, 0x000001u);
    EXPECT_EQ(rom.modelText, "SO-VGA 1.31");
    ASSERT_EQ(rom.units.size(), 1u);
    const RomUnit& unit = rom.units[0];
    EXPECT_EQ(unit.kind, UnitKind::Iidc);
    EXPECT_EQ(unit.kindName, "IIDC 1.31");
    EXPECT_EQ(unit.specifierId, 0x00A02Du);
    EXPECT_EQ(unit.version, 0x000102u);
    ASSERT_TRUE(unit.hasCommandBase);
    EXPECT_EQ(unit.commandBase, 0xFFFFF0F00000ull);
    EXPECT_EQ(unit.modelText, "SO-VGA 1.31");
    EXPECT_TRUE(rom.problems.empty()) << rom.problems[0];
    // Bus information block, root, unit and dependent directories, four text leaves.
    EXPECT_EQ(rom.CrcBad(), 0);
    EXPECT_EQ(rom.CrcUnchecked(), 0);
    EXPECT_EQ(rom.CrcGood(), 8);
    // Every quadlet of the ROM read, and each once.
    EXPECT_EQ(rom.quadletsRead, node.image.size());
    for (const auto& r : node.reads) EXPECT_EQ(r.second, 1) << "quadlet " << r.first;
    const std::string report = RomReport(rom);
    EXPECT_NE(report.find("\"Simulated Optics\""), std::string::npos) << report;
    EXPECT_NE(report.find("command_regs_base"), std::string::npos) << report;
    EXPECT_EQ(report.find("BAD"), std::string::npos) << report;
    const std::string json = RomJson(rom);
    EXPECT_NE(json.find("\"modelText\":\"SO-VGA 1.31\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"crcs\":{\"good\":8,\"bad\":0,\"unchecked\":0}"), std::string::npos) << json;
}

// One quadlet changed without its CRC: that block's CRC is bad, the others good, and the ROM is
// still decoded whole. Changed without any CRC fixed, the bus information block's CRC (over the
// whole ROM) is bad as well.
TEST(RomDecoder, EachBadCrcIsReportedAndDecodingGoesOn) {
    const std::vector<uint32_t> good = CameraImage();
    const uint32_t root = 5;
    const uint32_t unitDir = Target(good, root, 0xD1);
    const uint32_t dependent = Target(good, unitDir, 0xD4);
    const uint32_t vendorLeaf = Target(good, root, 0x81);
    struct Case {
        const char* what;
        uint32_t index;
        uint32_t flip;
        bool busInfo;
    };
    const Case cases[] = {
        {"bus information block (chip ID)", 4, 0x00000100, true},
        {"root directory entry", root + 1, 0x00000001, false},
        {"vendor text leaf (a letter)", vendorLeaf + 3, 0x00200000, false},
        {"unit directory CRC field", unitDir, 0x00000001, false},
        {"dependent directory", dependent + 1, 0x00010000, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::ConfigRom image(good);
        image.SetQuadlet(c.index, image.Quadlet(c.index) ^ c.flip);
        // The model's bus information block CRC covers the whole ROM (crc_length); it is made
        // good again so that the one block's CRC is the only fault.
        if (!c.busInfo) image.FixBusInfoCrc();
        ImageNode node{image.quadlets(), {}};
        DecodedRom rom = node.Decode();
        ASSERT_TRUE(rom.readable);
        EXPECT_EQ(rom.CrcBad(), 1);
        EXPECT_EQ(rom.CrcGood(), 7);
        EXPECT_EQ(rom.busInfoCrc.good(), !c.busInfo);
        ASSERT_EQ(rom.problems.size(), 1u);
        EXPECT_NE(rom.problems[0].find("CRC"), std::string::npos) << rom.problems[0];
        EXPECT_NE(RomReport(rom).find("BAD"), std::string::npos);
        EXPECT_NE(RomJson(rom).find("\"good\":false"), std::string::npos);
        // Still decoded: the units and the model text are there.
        ASSERT_EQ(rom.units.size(), 1u);
        EXPECT_EQ(rom.modelText, "SO-VGA 1.31");
    }
}

TEST(RomDecoder, AChangedRomFailsItsBlockCrcAndTheWholeRomCrc) {
    ImageNode node{CameraImage(), {}};
    node.image[Target(node.image, 5, 0x81) + 3] ^= 0x01000000;  // the first text byte
    DecodedRom rom = node.Decode();
    EXPECT_EQ(rom.CrcBad(), 2);
    EXPECT_FALSE(rom.busInfoCrc.good());
    EXPECT_EQ(rom.vendorText, "Rimulated Optics");
}

TEST(RomDecoder, EntriesPointingOutsideTheRomAreReported) {
    std::vector<uint32_t> image = CameraImage();
    const uint32_t root = 5;
    // The model text entry (root entry 5, a leaf) now points 0x1000 quadlets on; CRC made good,
    // so the pointer is the only fault.
    sim::ConfigRom rom(image);
    uint32_t entry = 0;
    size_t at = 0;
    ASSERT_TRUE(rom.FindEntry(root, 0x81, &entry, &at));  // first text leaf: the vendor's
    rom.SetQuadlet(at, (entry & 0xFF000000u) | 0x1000);
    rom.FixBlockCrc(root);
    rom.FixBusInfoCrc();
    ImageNode node{rom.quadlets(), {}};
    DecodedRom decoded = node.Decode();
    ASSERT_EQ(decoded.problems.size(), 1u);
    EXPECT_NE(decoded.problems[0].find("points outside the configuration ROM"), std::string::npos)
        << decoded.problems[0];
    EXPECT_EQ(decoded.CrcBad(), 0);
    // The vendor text is taken from the IIDC unit instead; the rest is decoded.
    EXPECT_EQ(decoded.vendorText, "Simulated Optics");
    EXPECT_EQ(decoded.modelText, "SO-VGA 1.31");
    for (const auto& r : node.reads) EXPECT_LT(r.first, 256u);
}

TEST(RomDecoder, ARomShorterThanItsDirectoriesIsReportedNotTrusted) {
    std::vector<uint32_t> good = CameraImage();
    for (size_t keep : {size_t(1), size_t(3), size_t(7), size_t(12), good.size() - 1}) {
        SCOPED_TRACE("quadlets readable: " + std::to_string(keep));
        ImageNode node{std::vector<uint32_t>(good.begin(), good.begin() + long(keep)), {}};
        DecodedRom rom = node.Decode();
        EXPECT_TRUE(rom.readable);
        EXPECT_FALSE(rom.problems.empty());
        EXPECT_EQ(rom.CrcBad(), 0);             // what could not be read is not called bad
        EXPECT_GE(rom.CrcUnchecked(), 1);
        EXPECT_NE(RomReport(rom).find("could not be read"), std::string::npos);
        for (const auto& r : node.reads) EXPECT_EQ(r.second, 1);
    }
}

TEST(RomDecoder, SharedBlocksZeroOffsetsAndBlocksRunningPastTheRom) {
    // A hand-made ROM: the bus information block, then a root directory of three entries: two
    // that point to the same text leaf, one with offset 0. The leaf says it is 256 quadlets long,
    // past the end of the kilobyte of ROM.
    std::vector<uint32_t> image = {0, 0x31333934, 0x00FF2000, 0x00000001, 0x00000002,
                                   0,            // 5: root directory header
                                   0x81000003u,  // 6: text leaf at 9
                                   0x81000002u,  // 7: the same leaf
                                   0xD1000000u,  // 8: a unit directory at offset 0
                                   0x01000000u,  // 9: leaf header, 256 quadlets
                                   0, 0, 0x61626364};
    image[5] = 3u << 16 | sim::Crc16(&image[6], 3);
    image[0] = 0x04040000u | sim::Crc16(&image[1], 4);
    ImageNode node{image, {}};
    DecodedRom rom = node.Decode();
    EXPECT_EQ(rom.CrcBad(), 0);
    std::string all;
    for (const std::string& p : rom.problems) all += p + "\n";
    EXPECT_NE(all.find("runs past the end of the configuration ROM"), std::string::npos) << all;
    EXPECT_NE(all.find("offset is 0"), std::string::npos) << all;
    EXPECT_NE(all.find("could not be read"), std::string::npos) << all;
    // The leaf is read once and shown once; the second entry refers to it.
    ASSERT_EQ(rom.blocks.size(), 2u);
    const RomBlock& root = rom.blocks[size_t(rom.root)];
    ASSERT_EQ(root.entries.size(), 3u);
    EXPECT_EQ(root.entries[0].block, root.entries[1].block);
    EXPECT_TRUE(root.entries[0].firstReference);
    EXPECT_FALSE(root.entries[1].firstReference);
    EXPECT_EQ(root.entries[2].block, -1);
    for (const auto& r : node.reads) {
        EXPECT_LT(r.first, 256u);
        EXPECT_EQ(r.second, 1);
    }
    EXPECT_NE(RomJson(rom).find("\"sameAs\":\"0x424\""), std::string::npos) << RomJson(rom);
}

TEST(RomDecoder, MinimalUnreadableAndUnavailableRoms) {
    ImageNode minimal{{0x0100ACDEu}, {}};
    DecodedRom rom = minimal.Decode();
    EXPECT_TRUE(rom.minimal);
    EXPECT_EQ(rom.vendorId, 0x00ACDEu);
    EXPECT_EQ(minimal.reads.size(), 1u);

    ImageNode none{{}, {}};
    rom = none.Decode();
    EXPECT_FALSE(rom.readable);
    EXPECT_EQ(rom.failure, "rcode 7 (resp_address_error)");
    EXPECT_NE(RomReport(rom).find("not readable"), std::string::npos);

    ImageNode notReady{{0, 0x31333934}, {}};
    rom = notReady.Decode();
    EXPECT_TRUE(rom.readable);
    ASSERT_EQ(rom.problems.size(), 1u);
    EXPECT_NE(rom.problems[0].find("not available"), std::string::npos);
}

TEST(RomDecoder, TextBytesOutsidePrintableAsciiAreEscaped) {
    sim::RomDirectory root;
    root.Add(0x03, 0x123456).AddText(std::string("Caf\xE9\x01"));
    sim::BusOptions options;
    ImageNode node{sim::ConfigRom::Build(options, 1, root).quadlets(), {}};
    DecodedRom rom = node.Decode();
    EXPECT_EQ(rom.vendorText, "Caf\\xE9\\x01");
    EXPECT_NE(RomJson(rom).find("\"vendorText\":\"Caf\\\\xE9\\\\x01\""), std::string::npos) << RomJson(rom);
}

}  // namespace
}  // namespace kx1394
