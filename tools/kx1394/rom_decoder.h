// Decoding a node's IEEE 1212 configuration ROM read one quadlet at a time: the bus information
// block (IEEE 1394-1995 8.3.2.5.4 with the IEEE 1394a bus options), the root directory, the
// directories and leaves it points to (unit directories, IIDC unit-dependent directories, textual
// descriptor leaves), and the CRC-16 of every block.
//
// Pure logic: the ROM comes through a reader callback (the program's quadlet reads, or an image in
// a test). Nothing a ROM holds is trusted: a bad CRC is reported, never fatal; a block that runs
// past the kilobyte of ROM space, an entry that points outside it, a loop of directories and a
// quadlet that could not be read are reported as problems and decoding goes on with the rest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kx1394 {

// One quadlet read from a node: its value, or why there is none.
struct QuadletRead {
    bool ok = false;
    uint32_t value = 0;
    std::string failure;

    static QuadletRead Of(uint32_t value) {
        QuadletRead r;
        r.ok = true;
        r.value = value;
        return r;
    }
    static QuadletRead Failed(std::string why) {
        QuadletRead r;
        r.failure = std::move(why);
        return r;
    }
};

namespace rom {
inline constexpr uint64_t kCsrBase = 0xFFFFF0000000ull;  // CSR offsets count from here
inline constexpr uint64_t kRomBase = 0xFFFFF0000400ull;  // quadlet 0 of the ROM
inline constexpr uint32_t kRomQuadlets = 256;            // 0x400 .. 0x7FF
inline constexpr uint32_t kBusName1394 = 0x31333934;     // "1394"
inline constexpr uint32_t kIidcSpecifier = 0x00A02D;     // 1394 Trade Association
inline constexpr uint32_t kSbp2Specifier = 0x00609E;     // NCITS
// Key bytes (type 7:6, key ID 5:0).
inline constexpr uint8_t kKeyVendor = 0x03;
inline constexpr uint8_t kKeyModel = 0x17;
inline constexpr uint8_t kKeySpecifierId = 0x12;
inline constexpr uint8_t kKeyVersion = 0x13;
inline constexpr uint8_t kKeyTextLeaf = 0x81;
inline constexpr uint8_t kKeyDescriptorDirectory = 0xC1;
inline constexpr uint8_t kKeyIidcModelNameLeaf = 0x82;
inline constexpr uint8_t kKeyIidcCommandRegsBase = 0x40;
inline constexpr uint8_t kKeyIidcSubVersion = 0x38;
inline constexpr uint8_t kKeyUnitDirectory = 0xD1;
inline constexpr uint8_t kKeyDependentDirectory = 0xD4;

// CRC-16 of IEEE 1212 (generator x^16 + x^12 + x^5 + 1, initial value 0), over quadlets taken
// most significant bit first.
uint16_t Crc16(const uint32_t* quadlets, size_t count);
// CSR offset (from 0xFFFFF0000000) of ROM quadlet `index`, as the tool prints block places.
inline uint64_t QuadletOffset(uint32_t index) { return 0x400u + 4ull * index; }
}  // namespace rom

// Reads ROM quadlet `index` (0 is at 0xFFFFF0000400). Asked only for indexes below 256.
using RomReader = std::function<QuadletRead(uint32_t index)>;

struct BlockCrc {
    bool checked = false;  // every quadlet it covers could be read
    uint16_t stored = 0;
    uint16_t computed = 0;
    bool good() const { return checked && stored == computed; }
};

enum class EntryType : uint8_t { Immediate = 0, CsrOffset = 1, Leaf = 2, Directory = 3 };

struct RomEntry {
    uint32_t index = 0;  // ROM quadlet of the entry
    uint32_t raw = 0;
    uint8_t key = 0;     // the whole key byte
    EntryType type = EntryType::Immediate;
    uint32_t value = 0;  // bits 23:0
    std::string name;    // "Vendor", "command_regs_base", "key 0x3E"
    int block = -1;      // leaf or directory: DecodedRom::blocks index; -1 when not followed
    bool firstReference = false;  // the entry through which the block was first reached
    std::string problem;          // why it was not followed
    uint64_t CsrAddress() const { return rom::kCsrBase + 4ull * value; }
};

enum class UnitKind : uint8_t { None, Iidc, Sbp2 };

struct RomBlock {
    bool directory = false;
    uint32_t index = 0;       // ROM quadlet of its header
    std::string what;         // "root directory", "unit directory", "IIDC unit-dependent directory", "leaf"
    bool headerRead = false;
    uint16_t length = 0;      // quadlets after the header, as the header states
    BlockCrc crc;
    std::vector<uint32_t> body;    // the quadlets after the header that could be read
    std::vector<RomEntry> entries; // directories
    // Leaves: a textual descriptor (descriptor_type 0, specifier_ID 0) in one-byte characters.
    bool isText = false;
    std::string text;         // bytes outside printable ASCII as \xNN
    uint16_t characterSet = 0;
    uint16_t language = 0;
    // Unit directories.
    UnitKind unitKind = UnitKind::None;
    std::vector<std::string> problems;
};

struct RomUnit {
    int directory = -1;  // block of the unit directory
    bool hasSpecifier = false, hasVersion = false;
    uint32_t specifierId = 0, version = 0;
    UnitKind kind = UnitKind::None;
    std::string kindName;        // "IIDC 1.31", "SBP-2", ""
    bool hasCommandBase = false;  // IIDC: command_regs_base
    uint64_t commandBase = 0;     // as a bus address (0xFFFFF0000000 + 4 * value)
    std::string vendorText, modelText;
};

struct DecodedRom {
    bool readable = false;  // quadlet 0 could be read
    std::string failure;    // when not: why
    uint32_t header = 0;
    uint8_t infoLength = 0, crcLength = 0;
    bool minimal = false;   // info_length 1: a minimal ROM (vendor ID only)
    BlockCrc busInfoCrc;
    bool busInfoRead = false;       // quadlets 1..info_length read
    std::vector<uint32_t> busInfo;  // quadlets 1..info_length that could be read
    bool general = false;           // info_length >= 4 and bus name "1394": the fields below hold
    uint32_t busOptions = 0;
    uint64_t guid = 0;

    int root = -1;
    std::vector<RomBlock> blocks;
    std::vector<RomUnit> units;

    bool hasVendor = false, hasModel = false;
    uint32_t vendorId = 0, modelId = 0;
    std::string vendorText, modelText;

    std::vector<std::string> problems;  // every problem, in the order found
    uint32_t quadletsRead = 0;          // reads that succeeded

    // Blocks whose CRC could be checked and was good / bad, and blocks that could not be checked
    // (the bus information block counted as one).
    int CrcGood() const;
    int CrcBad() const;
    int CrcUnchecked() const;
};

DecodedRom DecodeRom(const RomReader& read);

// Output: lines for people, one JSON object for scripts.
std::string RomReport(const DecodedRom& rom);
std::string RomJson(const DecodedRom& rom);

// The bus options quadlet, field by field ("irmc 0 cmc 1 ... link_spd S400").
std::string BusOptionsText(uint32_t options);

}  // namespace kx1394
