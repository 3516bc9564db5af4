// IEEE 1212 configuration ROM: builder, CRCs and the walk over directories.
#include "config_rom.h"

#include <algorithm>

namespace sim {

// IEEE 1212 7.3: the CRC is computed four bits at a time over each quadlet, most significant
// nibble first.
uint16_t Crc16(const uint32_t* quadlets, size_t count) {
    uint32_t crc = 0;
    for (size_t i = 0; i < count; ++i) {
        for (int shift = 28; shift >= 0; shift -= 4) {
            uint32_t sum = ((crc >> 12) ^ (quadlets[i] >> shift)) & 0xF;
            crc = ((crc << 4) ^ (sum << 12) ^ (sum << 5) ^ sum) & 0xFFFF;
        }
    }
    return uint16_t(crc);
}

uint32_t BusOptions::Encode() const {
    return (uint32_t(irmc) << 31) | (uint32_t(cmc) << 30) | (uint32_t(isc) << 29) | (uint32_t(bmc) << 28) |
           (uint32_t(pmc) << 27) | (uint32_t(cycClkAcc) << 16) | (uint32_t(maxRec & 0xF) << 12) |
           (uint32_t(maxRom & 0x3) << 8) | (uint32_t(generation & 0xF) << 4) | uint32_t(linkSpd & 0x7);
}

BusOptions BusOptions::Decode(uint32_t q) {
    BusOptions o;
    o.irmc = (q >> 31) & 1;
    o.cmc = (q >> 30) & 1;
    o.isc = (q >> 29) & 1;
    o.bmc = (q >> 28) & 1;
    o.pmc = (q >> 27) & 1;
    o.cycClkAcc = uint8_t(q >> 16);
    o.maxRec = uint8_t((q >> 12) & 0xF);
    o.maxRom = uint8_t((q >> 8) & 0x3);
    o.generation = uint8_t((q >> 4) & 0xF);
    o.linkSpd = uint8_t(q & 0x7);
    return o;
}

RomDirectory& RomDirectory::Add(uint8_t key, uint32_t value) {
    Entry e;
    e.key = key;
    e.value = value & 0xFFFFFF;
    entries_.push_back(std::move(e));
    return *this;
}

RomDirectory& RomDirectory::AddLeaf(uint8_t key, std::vector<uint32_t> body) {
    Entry e;
    e.key = key;
    e.leaf = std::move(body);
    entries_.push_back(std::move(e));
    return *this;
}

RomDirectory& RomDirectory::AddText(const std::string& text, uint8_t key) { return AddLeaf(key, TextLeafBody(text)); }

RomDirectory& RomDirectory::AddDirectory(uint8_t key, RomDirectory directory) {
    Entry e;
    e.key = key;
    e.directory = std::make_shared<RomDirectory>(std::move(directory));
    entries_.push_back(std::move(e));
    return *this;
}

std::vector<uint32_t> TextLeafBody(const std::string& text) {
    std::vector<uint32_t> body(2 + (text.size() + 3) / 4, 0);  // descriptor type/specifier, width/charset/language
    for (size_t i = 0; i < text.size(); ++i)
        body[2 + i / 4] |= uint32_t(uint8_t(text[i])) << (24 - 8 * (i % 4));
    return body;
}

namespace {

// One block of the image being laid out: a directory or a leaf, where it goes, and for a
// directory where each entry's leaf or subdirectory goes.
struct Block {
    const RomDirectory* directory = nullptr;
    const std::vector<uint32_t>* leaf = nullptr;
    size_t index = 0;
    std::vector<size_t> targets;
};

size_t BlockSize(const Block& b) { return 1 + (b.directory ? b.directory->entries().size() : b.leaf->size()); }

// Breadth-first placement: each block's children follow every block placed before them.
std::vector<Block> LayOut(const RomDirectory& root, size_t rootIndex, size_t* end) {
    std::vector<Block> blocks;
    Block r;
    r.directory = &root;
    r.index = rootIndex;
    blocks.push_back(r);
    size_t next = rootIndex + BlockSize(r);
    for (size_t i = 0; i < blocks.size(); ++i) {
        if (!blocks[i].directory) continue;
        const RomDirectory* dir = blocks[i].directory;
        std::vector<size_t> targets;
        for (const RomDirectory::Entry& e : dir->entries()) {
            uint8_t type = e.key >> 6;
            if (type != rom::kLeaf && type != rom::kDirectory) {
                targets.push_back(0);
                continue;
            }
            Block child;
            if (type == rom::kDirectory) child.directory = e.directory.get();
            else child.leaf = &e.leaf;
            child.index = next;
            next += BlockSize(child);
            targets.push_back(child.index);
            blocks.push_back(child);
        }
        blocks[i].targets = std::move(targets);
    }
    *end = next;
    return blocks;
}

}  // namespace

ConfigRom ConfigRom::Build(const BusOptions& options, uint64_t guid, const RomDirectory& root, bool busInfoCrcOnly) {
    constexpr uint8_t kInfoLength = 4;
    size_t end = 0;
    std::vector<Block> blocks = LayOut(root, kInfoLength + 1, &end);
    ConfigRom image;
    image.quadlets_.assign(end, 0);
    image.quadlets_[1] = rom::kBusName1394;
    image.quadlets_[2] = options.Encode();
    image.quadlets_[3] = uint32_t(guid >> 32);
    image.quadlets_[4] = uint32_t(guid);
    for (const Block& b : blocks) {
        if (b.leaf) {
            std::copy(b.leaf->begin(), b.leaf->end(), image.quadlets_.begin() + long(b.index) + 1);
        } else {
            const auto& entries = b.directory->entries();
            for (size_t k = 0; k < entries.size(); ++k) {
                size_t at = b.index + 1 + k;
                uint32_t value = b.targets[k] ? uint32_t(b.targets[k] - at) : entries[k].value;
                image.quadlets_[at] = rom::MakeEntry(entries[k].key, value);
            }
        }
        image.quadlets_[b.index] = rom::MakeBlockHeader(uint16_t(BlockSize(b) - 1), 0);
        image.FixBlockCrc(b.index);
    }
    uint8_t crcLength = busInfoCrcOnly ? kInfoLength : uint8_t(std::min<size_t>(end - 1, 255));
    image.quadlets_[0] = rom::MakeBusInfoHeader(kInfoLength, crcLength, 0);
    image.FixBusInfoCrc();
    return image;
}

void ConfigRom::SetQuadlet(size_t index, uint32_t value) {
    if (index >= quadlets_.size()) quadlets_.resize(index + 1, 0);
    quadlets_[index] = value;
}

bool ConfigRom::ReadBytes(uint32_t byteOffset, uint32_t length, std::vector<uint8_t>* out) const {
    if (uint64_t(byteOffset) + length > uint64_t(quadlets_.size()) * 4) return false;
    out->resize(length);
    for (uint32_t i = 0; i < length; ++i) {
        uint32_t at = byteOffset + i;
        (*out)[i] = uint8_t(quadlets_[at / 4] >> (24 - 8 * (at % 4)));
    }
    return true;
}

void ConfigRom::SetOptions(const BusOptions& options) {
    SetQuadlet(2, options.Encode());
    FixBusInfoCrc();
}

void ConfigRom::FixBusInfoCrc() {
    if (quadlets_.empty()) return;
    size_t covered = std::min<size_t>(rom::CrcLength(quadlets_[0]), quadlets_.size() - 1);
    uint16_t crc = Crc16(quadlets_.data() + 1, covered);
    quadlets_[0] = (quadlets_[0] & 0xFFFF0000) | crc;
}

void ConfigRom::FixBlockCrc(size_t index) {
    if (index >= quadlets_.size()) return;
    size_t covered = std::min<size_t>(rom::BlockLength(quadlets_[index]), quadlets_.size() - index - 1);
    uint16_t crc = Crc16(quadlets_.data() + index + 1, covered);
    quadlets_[index] = (quadlets_[index] & 0xFFFF0000) | crc;
}

bool ConfigRom::BusInfoCrcValid() const {
    if (quadlets_.empty()) return false;
    size_t covered = rom::CrcLength(quadlets_[0]);
    if (covered + 1 > quadlets_.size()) return false;
    return Crc16(quadlets_.data() + 1, covered) == (quadlets_[0] & 0xFFFF);
}

bool ConfigRom::BlockCrcValid(size_t index) const {
    if (index >= quadlets_.size()) return false;
    size_t covered = rom::BlockLength(quadlets_[index]);
    if (index + 1 + covered > quadlets_.size()) return false;
    return Crc16(quadlets_.data() + index + 1, covered) == rom::BlockCrc(quadlets_[index]);
}

std::vector<uint32_t> ConfigRom::DirectoryEntries(size_t index) const {
    std::vector<uint32_t> entries;
    if (index >= quadlets_.size()) return entries;
    size_t length = rom::BlockLength(quadlets_[index]);
    for (size_t k = 0; k < length && index + 1 + k < quadlets_.size(); ++k) entries.push_back(quadlets_[index + 1 + k]);
    return entries;
}

bool ConfigRom::FindEntry(size_t directoryIndex, uint8_t key, uint32_t* entry, size_t* entryIndex) const {
    std::vector<uint32_t> entries = DirectoryEntries(directoryIndex);
    for (size_t k = 0; k < entries.size(); ++k) {
        if (rom::EntryKey(entries[k]) != key) continue;
        *entry = entries[k];
        if (entryIndex) *entryIndex = directoryIndex + 1 + k;
        return true;
    }
    return false;
}

}  // namespace sim
