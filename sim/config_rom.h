// IEEE 1212 configuration ROM as a 1394 node carries it: the bus information block (IEEE 1394-1995
// 8.3.2.5.4, IEEE 1394a), the root directory and the directories and leaves it points to, each
// block protected by its CRC-16 (IEEE 1212 7.3).
//
// The image is a vector of quadlets in host order; quadlet 0 is the one at 0xFFFFF0000400. The
// bus carries each quadlet most significant byte first (ReadBytes gives that order).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sim {

// CRC-16 of IEEE 1212: generator x^16 + x^12 + x^5 + 1, initial value 0, each quadlet taken most
// significant bit first.
uint16_t Crc16(const uint32_t* quadlets, size_t count);

namespace rom {

inline constexpr uint64_t kRomBase = 0xFFFFF0000400ull;  // bus information block, first quadlet
inline constexpr uint64_t kCsrBase = 0xFFFFF0000000ull;  // CSR offsets count from here
inline constexpr uint32_t kRomBytes = 1024;              // 0x400..0x7FF
inline constexpr uint32_t kBusName1394 = 0x31333934;     // "1394"

// Key types (bits 7:6 of the key byte) and the key bytes used here (type << 6 | key ID).
enum KeyType : uint8_t { kImmediate = 0, kCsrOffset = 1, kLeaf = 2, kDirectory = 3 };
enum Key : uint8_t {
    kKeyVendor = 0x03,            // module/node vendor ID (immediate)
    kKeyHardwareVersion = 0x04,
    kKeyNodeCapabilities = 0x0C,
    kKeyUnitSpecifierId = 0x12,
    kKeyUnitSwVersion = 0x13,
    kKeyLogicalUnitNumber = 0x14,  // SBP-2
    kKeyModel = 0x17,
    kKeyCommandSetSpecId = 0x38,   // SBP-2 (IIDC 1.31: unit_sub_sw_version)
    kKeyCommandSet = 0x39,
    kKeyUnitCharacteristics = 0x3A,
    kKeyCommandSetRevision = 0x3B,
    kKeyFirmwareRevision = 0x3C,
    kKeyCommandRegsBase = 0x40,    // IIDC command_regs_base (CSR offset)
    kKeyManagementAgent = 0x54,    // SBP-2 management agent (CSR offset)
    kKeyTextualDescriptor = 0x81,  // leaf
    kKeyModelNameLeaf = 0x82,      // IIDC unit-dependent directory: model name leaf
    kKeyNodeUniqueId = 0x8D,       // leaf
    kKeyUnitDirectory = 0xD1,
    kKeyUnitDependentDirectory = 0xD4,
};

// Directory entry: key type 31:30, key ID 29:24, value 23:0.
inline uint32_t MakeEntry(uint8_t key, uint32_t value) { return (uint32_t(key) << 24) | (value & 0xFFFFFF); }
inline uint8_t EntryKey(uint32_t entry) { return uint8_t(entry >> 24); }
inline uint8_t EntryKeyType(uint32_t entry) { return uint8_t(entry >> 30); }
inline uint8_t EntryKeyId(uint32_t entry) { return uint8_t((entry >> 24) & 0x3F); }
inline uint32_t EntryValue(uint32_t entry) { return entry & 0xFFFFFF; }

// Directory and leaf header: length (quadlets that follow) 31:16, CRC 15:0.
inline uint32_t MakeBlockHeader(uint16_t length, uint16_t crc) { return (uint32_t(length) << 16) | crc; }
inline uint16_t BlockLength(uint32_t header) { return uint16_t(header >> 16); }
inline uint16_t BlockCrc(uint32_t header) { return uint16_t(header & 0xFFFF); }

// Bus information block header: info_length 31:24, crc_length 23:16, rom_crc_value 15:0.
inline uint32_t MakeBusInfoHeader(uint8_t infoLength, uint8_t crcLength, uint16_t crc) {
    return (uint32_t(infoLength) << 24) | (uint32_t(crcLength) << 16) | crc;
}
inline uint8_t InfoLength(uint32_t header) { return uint8_t(header >> 24); }
inline uint8_t CrcLength(uint32_t header) { return uint8_t((header >> 16) & 0xFF); }

}  // namespace rom

// Bus options, quadlet 2 of the bus information block (IEEE 1394a 8.3.2.5.4): irmc 31, cmc 30,
// isc 29, bmc 28, pmc 27, cyc_clk_acc 23:16, max_rec 15:12, max_ROM 9:8, generation 7:4,
// link_spd 2:0.
struct BusOptions {
    bool irmc = false;
    bool cmc = false;
    bool isc = false;
    bool bmc = false;
    bool pmc = false;
    uint8_t cycClkAcc = 0xFF;  // unknown
    uint8_t maxRec = 8;        // 2^(8+1) = 512 bytes
    uint8_t maxRom = 0;        // 0: quadlet reads only, 1: blocks up to 64 bytes, 2: up to 1 KiB
    uint8_t generation = 0;
    uint8_t linkSpd = 2;       // S400

    uint32_t Encode() const;
    static BusOptions Decode(uint32_t quadlet);
};

// A directory as a device designer lays it out: entries in order; leaves and subdirectories are
// placed after it by the builder, and the entries get their offsets then.
class RomDirectory {
public:
    // An immediate or CSR-offset entry (the key byte carries its type).
    RomDirectory& Add(uint8_t key, uint32_t value);
    // A leaf entry; `body` is the leaf without its header.
    RomDirectory& AddLeaf(uint8_t key, std::vector<uint32_t> body);
    // A textual descriptor leaf in the minimal ASCII form (IEEE 1212 7.5.4.1): descriptor_type 0,
    // specifier_ID 0, width 0, character_set 0, language 0, then the text zero-padded.
    RomDirectory& AddText(const std::string& text, uint8_t key = rom::kKeyTextualDescriptor);
    RomDirectory& AddDirectory(uint8_t key, RomDirectory directory);

    struct Entry {
        uint8_t key = 0;
        uint32_t value = 0;                       // immediate / CSR offset
        std::vector<uint32_t> leaf;               // leaf body
        std::shared_ptr<RomDirectory> directory;  // subdirectory
    };
    const std::vector<Entry>& entries() const { return entries_; }

private:
    std::vector<Entry> entries_;
};

// The body of a minimal ASCII textual descriptor leaf (without the leaf header).
std::vector<uint32_t> TextLeafBody(const std::string& text);

class ConfigRom {
public:
    ConfigRom() = default;
    // A raw image exactly as given (a test's wrong CRCs and short ROMs).
    explicit ConfigRom(std::vector<uint32_t> quadlets) : quadlets_(std::move(quadlets)) {}

    // A well-formed ROM: bus information block (info_length 4), root directory, then the leaves
    // and directories in breadth-first order. crc_length covers the whole image (at most 255
    // quadlets) unless `busInfoCrcOnly`, when it covers the bus information block only.
    static ConfigRom Build(const BusOptions& options, uint64_t guid, const RomDirectory& root,
                           bool busInfoCrcOnly = false);

    const std::vector<uint32_t>& quadlets() const { return quadlets_; }
    size_t size() const { return quadlets_.size(); }
    bool Has(size_t index) const { return index < quadlets_.size(); }
    uint32_t Quadlet(size_t index) const { return Has(index) ? quadlets_[index] : 0; }
    void SetQuadlet(size_t index, uint32_t value);  // grows the image if needed
    void Truncate(size_t quadlets) { if (quadlets < quadlets_.size()) quadlets_.resize(quadlets); }
    // Bytes in bus order from a byte offset within the ROM; false when any byte lies past the image.
    bool ReadBytes(uint32_t byteOffset, uint32_t length, std::vector<uint8_t>* out) const;

    // Bus information block fields.
    uint32_t Header() const { return Quadlet(0); }
    uint32_t BusName() const { return Quadlet(1); }
    BusOptions Options() const { return BusOptions::Decode(Quadlet(2)); }
    uint64_t Guid() const { return (uint64_t(Quadlet(3)) << 32) | Quadlet(4); }
    // Index of the root directory's header.
    size_t RootDirectoryIndex() const { return size_t(rom::InfoLength(Header())) + 1; }
    // Rewrites the bus options (and the bus information block CRC) in place.
    void SetOptions(const BusOptions& options);

    // Recomputes the bus information block CRC over crc_length quadlets, and the CRC of the
    // directory or leaf whose header is at `index`.
    void FixBusInfoCrc();
    void FixBlockCrc(size_t index);
    // Whether the CRC fields match (false also when the block runs past the image).
    bool BusInfoCrcValid() const;
    bool BlockCrcValid(size_t index) const;

    // Walking the directories: the entries of the directory whose header is at `index`, and
    // the index an entry at `entryIndex` points to (leaf or directory).
    std::vector<uint32_t> DirectoryEntries(size_t index) const;
    static size_t Target(size_t entryIndex, uint32_t entry) { return entryIndex + rom::EntryValue(entry); }
    // The first entry with `key` in the directory at `index`, with its own index; false if none.
    bool FindEntry(size_t directoryIndex, uint8_t key, uint32_t* entry, size_t* entryIndex = nullptr) const;

private:
    std::vector<uint32_t> quadlets_;
};

}  // namespace sim
