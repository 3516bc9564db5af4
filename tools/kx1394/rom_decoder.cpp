#include "rom_decoder.h"

#include <cstdio>
#include <map>
#include <set>

#include "json.h"

namespace kx1394 {

namespace rom {

uint16_t Crc16(const uint32_t* quadlets, size_t count) {
    uint32_t crc = 0;
    for (size_t i = 0; i < count; ++i) {
        for (int bit = 31; bit >= 0; --bit) {
            const uint32_t in = (quadlets[i] >> bit) & 1;
            const uint32_t top = (crc >> 15) & 1;
            crc = (crc << 1) & 0xFFFF;
            if (in ^ top) crc ^= 0x1021;
        }
    }
    return uint16_t(crc);
}

}  // namespace rom

namespace {

constexpr int kMaxDepth = 8;  // root, unit, dependent, ... nothing real nests deeper

std::string Where(uint32_t index) { return Hex(rom::QuadletOffset(index), 3); }

std::string EntryTypeName(EntryType type) {
    switch (type) {
    case EntryType::Immediate: return "immediate";
    case EntryType::CsrOffset: return "csr-offset";
    case EntryType::Leaf: return "leaf";
    default: return "directory";
    }
}

// Key names of IEEE 1212, by key ID.
const char* GenericKeyName(uint8_t id) {
    switch (id) {
    case 0x01: return "Descriptor";
    case 0x02: return "Bus_Dependent_Info";
    case 0x03: return "Vendor";
    case 0x04: return "Hardware_Version";
    case 0x07: return "Module";
    case 0x0C: return "Node_Capabilities";
    case 0x0D: return "EUI_64";
    case 0x11: return "Unit";
    case 0x12: return "Specifier_ID";
    case 0x13: return "Version";
    case 0x14: return "Dependent_Info";
    case 0x15: return "Unit_Location";
    case 0x17: return "Model";
    case 0x18: return "Instance";
    case 0x19: return "Keyword";
    case 0x1A: return "Feature";
    case 0x1B: return "Extended_ROM";
    case 0x1C: return "Extended_Key_Specifier_ID";
    case 0x1D: return "Extended_Key";
    case 0x1E: return "Extended_Data";
    case 0x1F: return "Modifiable_Descriptor";
    case 0x20: return "Directory_ID";
    case 0x21: return "Revision";
    default: return nullptr;
    }
}

// What a directory is, which decides the names of its keys.
enum class DirKind { Root, Unit, IidcDependent, Sbp2Dependent, Descriptor, Other };

std::string KeyName(uint8_t key, DirKind kind, UnitKind unit) {
    const uint8_t id = key & 0x3F;
    if (kind == DirKind::IidcDependent) {
        // IIDC unit-dependent directory.
        if (key == rom::kKeyIidcCommandRegsBase) return "command_regs_base";
        if (key == rom::kKeyTextLeaf) return "vendor_name_leaf";
        if (key == rom::kKeyIidcModelNameLeaf) return "model_name_leaf";
        if (key == rom::kKeyIidcSubVersion) return "unit_sub_sw_version";
    }
    if (kind == DirKind::Unit && unit == UnitKind::Iidc) {
        if (key == rom::kKeySpecifierId) return "unit_spec_ID";
        if (key == rom::kKeyVersion) return "unit_sw_version";
        if (key == rom::kKeyDependentDirectory) return "unit_dependent_directory";
    }
    if ((kind == DirKind::Unit && unit == UnitKind::Sbp2) || kind == DirKind::Sbp2Dependent) {
        switch (key) {
        case 0x38: return "Command_Set_Spec_ID";
        case 0x39: return "Command_Set";
        case 0x3A: return "Unit_Characteristics";
        case 0x3B: return "Command_Set_Revision";
        case 0x3C: return "Firmware_Revision";
        case 0x3D: return "Reconnect_Timeout";
        case 0x54: return "Management_Agent";
        case 0x14: return "Logical_Unit_Number";
        case 0xD4: return "Logical_Unit_Directory";
        default: break;
        }
    }
    if (key == rom::kKeyTextLeaf) return "Textual_Descriptor";
    if (key == rom::kKeyDescriptorDirectory) return "Descriptor_Directory";
    if (key == rom::kKeyUnitDirectory) return "Unit_Directory";
    if (key == 0x8D) return "EUI_64";
    if (const char* name = GenericKeyName(id)) return name;
    char text[16];
    std::snprintf(text, sizeof text, "key 0x%02X", key);
    return text;
}

// Text bytes: printable ASCII as they are, anything else as \xNN.
void AppendTextByte(std::string* text, uint8_t byte) {
    if (byte >= 0x20 && byte < 0x7F) {
        *text += char(byte);
        return;
    }
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\x%02X", byte);
    *text += escape;
}

// A leaf as a textual descriptor (IEEE 1212 7.5.4.1): descriptor_type 0 and specifier_ID 0 in
// the first quadlet; width 31:28, character_set 27:16, language 15:0 in the second; then the
// text, most significant byte first, padded with zero bytes. Only one-byte characters (width 0)
// are decoded.
void DecodeTextLeaf(RomBlock* leaf) {
    if (leaf->body.size() < 2 || leaf->body[0] != 0) return;
    const uint32_t spec = leaf->body[1];
    if ((spec >> 28) != 0) return;
    leaf->isText = true;
    leaf->characterSet = uint16_t((spec >> 16) & 0xFFF);
    leaf->language = uint16_t(spec & 0xFFFF);
    for (size_t i = 2; i < leaf->body.size(); ++i) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            const uint8_t byte = uint8_t(leaf->body[i] >> shift);
            if (byte == 0) return;
            AppendTextByte(&leaf->text, byte);
        }
    }
}

std::string UnitKindName(uint32_t specifier, uint32_t version, uint32_t subVersion, bool hasSub, UnitKind* kind) {
    *kind = UnitKind::None;
    if (specifier == rom::kSbp2Specifier && version == 0x010483) {
        *kind = UnitKind::Sbp2;
        return "SBP-2";
    }
    if (specifier != rom::kIidcSpecifier) return "";
    *kind = UnitKind::Iidc;
    switch (version) {
    case 0x000100: return "IIDC 1.04";
    case 0x000101: return "IIDC 1.20";
    case 0x000102:
        // From IIDC 1.31 on, unit_sub_sw_version bits 7:4 give the minor version.
        if (hasSub && (subVersion >> 4) != 0) return "IIDC 1.3" + std::to_string((subVersion >> 4) & 0xF);
        return "IIDC 1.30";
    default: return "IIDC (version " + Hex(version, 6) + ")";
    }
}

class Decoder {
public:
    explicit Decoder(const RomReader& reader) : reader_(reader) {}

    DecodedRom Run() {
        QuadletRead first = Read(0);
        if (!first.ok) {
            out_.failure = first.failure;
            Problem("quadlet 0 (" + Where(0) + ") could not be read: " + first.failure);
            return std::move(out_);
        }
        out_.readable = true;
        out_.header = first.value;
        out_.infoLength = uint8_t(first.value >> 24);
        out_.crcLength = uint8_t(first.value >> 16);
        if (out_.infoLength == 0) {
            Problem("info_length 0: the node's configuration ROM is not available");
            return std::move(out_);
        }
        if (out_.infoLength == 1) {
            // A minimal ROM (IEEE 1212): the first quadlet holds only the vendor ID.
            out_.minimal = true;
            out_.hasVendor = true;
            out_.vendorId = first.value & 0xFFFFFF;
            return std::move(out_);
        }
        BusInfoBlock();
        const uint32_t rootIndex = uint32_t(out_.infoLength) + 1;
        if (rootIndex >= rom::kRomQuadlets)
            Problem("info_length " + std::to_string(out_.infoLength) + " leaves no room for a root directory");
        else
            out_.root = Block(rootIndex, true, DirKind::Root, UnitKind::None, "root directory", 0);
        Summarize();
        return std::move(out_);
    }

private:
    QuadletRead Read(uint32_t index) {
        auto it = cache_.find(index);
        if (it != cache_.end()) return it->second;
        QuadletRead r = index < rom::kRomQuadlets ? reader_(index) : QuadletRead::Failed("past the configuration ROM");
        if (r.ok) ++out_.quadletsRead;
        cache_[index] = r;
        return r;
    }

    void Problem(const std::string& text) { out_.problems.push_back(text); }

    void BusInfoBlock() {
        // crc_length quadlets from quadlet 1 are covered by the CRC; info_length of them are the
        // bus information block.
        const uint32_t covered = out_.crcLength;
        const uint32_t last = covered > out_.infoLength ? covered : out_.infoLength;
        std::vector<uint32_t> quadlets;
        bool complete = true;
        for (uint32_t i = 1; i <= last && i < rom::kRomQuadlets; ++i) {
            QuadletRead r = Read(i);
            if (!r.ok) {
                Problem("bus information block: quadlet " + std::to_string(i) + " (" + Where(i) +
                        ") could not be read: " + r.failure);
                complete = false;
                break;
            }
            quadlets.push_back(r.value);
        }
        if (last >= rom::kRomQuadlets) {
            Problem("bus information block: crc_length " + std::to_string(covered) +
                    " runs past the configuration ROM");
            complete = false;
        }
        for (uint32_t i = 0; i < out_.infoLength && i < quadlets.size(); ++i) out_.busInfo.push_back(quadlets[i]);
        out_.busInfoRead = out_.busInfo.size() == out_.infoLength;
        out_.busInfoCrc.stored = uint16_t(out_.header & 0xFFFF);
        out_.busInfoCrc.checked = complete && quadlets.size() >= covered;
        if (out_.busInfoCrc.checked) out_.busInfoCrc.computed = rom::Crc16(quadlets.data(), covered);
        if (out_.busInfoCrc.checked && !out_.busInfoCrc.good())
            Problem("bus information block: CRC " + Hex(out_.busInfoCrc.stored, 4) + " is bad (computed " +
                    Hex(out_.busInfoCrc.computed, 4) + ")");
        if (out_.busInfo.size() >= 4 && out_.busInfo[0] == rom::kBusName1394) {
            out_.general = true;
            out_.busOptions = out_.busInfo[1];
            out_.guid = uint64_t(out_.busInfo[2]) << 32 | out_.busInfo[3];
        }
    }

    // Reads the block whose header is at `index` (once: a block reached again is shared) and,
    // for a directory, the blocks its entries point to. Returns the block's number.
    int Block(uint32_t index, bool directory, DirKind kind, UnitKind unit, const std::string& what, int depth) {
        auto seen = visited_.find(index);
        if (seen != visited_.end()) return seen->second;
        const int id = int(out_.blocks.size());
        out_.blocks.emplace_back();
        visited_[index] = id;
        inProgress_.insert(index);
        RomBlock b;
        b.directory = directory;
        b.index = index;
        b.what = what;
        const std::string name = what + " at " + Where(index);
        QuadletRead header = Read(index);
        if (!header.ok) {
            b.problems.push_back("its header could not be read: " + header.failure);
        } else {
            b.headerRead = true;
            b.length = uint16_t(header.value >> 16);
            b.crc.stored = uint16_t(header.value & 0xFFFF);
            const uint32_t end = index + 1 + b.length;  // one past the last quadlet
            if (end > rom::kRomQuadlets)
                b.problems.push_back("its length " + std::to_string(b.length) +
                                     " runs past the end of the configuration ROM");
            for (uint32_t i = index + 1; i < end && i < rom::kRomQuadlets; ++i) {
                QuadletRead r = Read(i);
                if (!r.ok) {
                    b.problems.push_back("quadlet " + Where(i) + " could not be read: " + r.failure);
                    break;
                }
                b.body.push_back(r.value);
            }
            b.crc.checked = b.body.size() == b.length;
            if (b.crc.checked) {
                b.crc.computed = rom::Crc16(b.body.data(), b.body.size());
                if (!b.crc.good())
                    b.problems.push_back("CRC " + Hex(b.crc.stored, 4) + " is bad (computed " +
                                         Hex(b.crc.computed, 4) + ")");
            }
        }
        if (directory) Entries(&b, kind, unit, depth);
        else DecodeTextLeaf(&b);
        for (const std::string& p : b.problems) Problem(name + ": " + p);
        out_.blocks[id] = std::move(b);
        inProgress_.erase(index);
        return id;
    }

    void Entries(RomBlock* b, DirKind kind, UnitKind unit, int depth) {
        // First the entries themselves: a unit directory's specifier and version decide the names
        // of its keys and what its dependent directory is.
        uint32_t specifier = 0, version = 0, sub = 0;
        bool hasSpecifier = false, hasVersion = false;
        for (size_t i = 0; i < b->body.size(); ++i) {
            RomEntry e;
            e.index = b->index + 1 + uint32_t(i);
            e.raw = b->body[i];
            e.key = uint8_t(e.raw >> 24);
            e.type = EntryType(e.key >> 6);
            e.value = e.raw & 0xFFFFFF;
            if (e.key == rom::kKeySpecifierId) hasSpecifier = true, specifier = e.value;
            if (e.key == rom::kKeyVersion) hasVersion = true, version = e.value;
            b->entries.push_back(e);
        }
        if (kind == DirKind::Unit && hasSpecifier && hasVersion) UnitKindName(specifier, version, sub, false, &unit);
        b->unitKind = kind == DirKind::Unit ? unit : UnitKind::None;
        for (RomEntry& e : b->entries) {
            e.name = KeyName(e.key, kind, unit);
            if (e.type != EntryType::Leaf && e.type != EntryType::Directory) continue;
            const uint64_t target = uint64_t(e.index) + e.value;
            const std::string what = e.type == EntryType::Leaf ? "leaf" : "directory";
            if (e.value == 0) {
                e.problem = "its " + what + " offset is 0";
            } else if (target >= rom::kRomQuadlets) {
                e.problem = "points outside the configuration ROM (to " + Hex(0x400 + 4 * target, 3) + ")";
            } else if (depth + 1 >= kMaxDepth) {
                e.problem = "directories nest deeper than " + std::to_string(kMaxDepth);
            } else if (inProgress_.count(uint32_t(target))) {
                // A directory that contains itself, directly or through others.
                e.problem = "points back to a directory that contains it";
            } else {
                const bool first = visited_.count(uint32_t(target)) == 0;
                DirKind childKind = DirKind::Other;
                std::string childWhat = e.type == EntryType::Leaf ? "leaf" : "directory";
                if (e.key == rom::kKeyUnitDirectory && kind == DirKind::Root) {
                    childKind = DirKind::Unit;
                    childWhat = "unit directory";
                } else if (e.key == rom::kKeyDependentDirectory && kind == DirKind::Unit && unit == UnitKind::Iidc) {
                    childKind = DirKind::IidcDependent;
                    childWhat = "IIDC unit-dependent directory";
                } else if (e.key == rom::kKeyDependentDirectory && kind == DirKind::Unit && unit == UnitKind::Sbp2) {
                    childKind = DirKind::Sbp2Dependent;
                    childWhat = "logical unit directory";
                } else if (e.key == rom::kKeyDescriptorDirectory) {
                    childKind = DirKind::Descriptor;
                    childWhat = "descriptor directory";
                }
                e.block = Block(uint32_t(target), e.type == EntryType::Directory, childKind, unit, childWhat, depth + 1);
                e.firstReference = first;
                if (out_.blocks[e.block].directory != (e.type == EntryType::Directory))
                    e.problem = "points to a block already read as a " +
                                std::string(out_.blocks[e.block].directory ? "directory" : "leaf");
            }
            if (!e.problem.empty()) b->problems.push_back("entry " + Where(e.index) + " (" + e.name + "): " + e.problem);
        }
    }

    // The text that describes entry i of a directory: the textual descriptor leaf or descriptor
    // directory right after it (IEEE 1212: a descriptor describes the entry before it).
    std::string DescriptorAfter(const RomBlock& dir, size_t i) const {
        if (i + 1 >= dir.entries.size()) return "";
        const RomEntry& next = dir.entries[i + 1];
        if (next.block < 0) return "";
        if (next.key == rom::kKeyTextLeaf) return TextOf(next.block);
        if (next.key == rom::kKeyDescriptorDirectory) return FirstTextIn(out_.blocks[next.block]);
        return "";
    }

    std::string TextOf(int block) const {
        const RomBlock& leaf = out_.blocks[block];
        return !leaf.directory && leaf.isText ? leaf.text : "";
    }

    std::string FirstTextIn(const RomBlock& dir) const {
        for (const RomEntry& e : dir.entries)
            if (e.key == rom::kKeyTextLeaf && e.block >= 0 && !TextOf(e.block).empty()) return TextOf(e.block);
        return "";
    }

    // Vendor and model with their texts from the root directory; units from its unit
    // directories; a text the root lacks is taken from the first unit that has one.
    void Summarize() {
        if (out_.root < 0) return;
        const RomBlock& root = out_.blocks[out_.root];
        for (size_t i = 0; i < root.entries.size(); ++i) {
            const RomEntry& e = root.entries[i];
            if (e.key == rom::kKeyVendor && !out_.hasVendor) {
                out_.hasVendor = true;
                out_.vendorId = e.value;
                out_.vendorText = DescriptorAfter(root, i);
            } else if (e.key == rom::kKeyModel && !out_.hasModel) {
                out_.hasModel = true;
                out_.modelId = e.value;
                out_.modelText = DescriptorAfter(root, i);
            } else if (e.key == rom::kKeyUnitDirectory && e.block >= 0 && out_.blocks[e.block].directory) {
                out_.units.push_back(Unit(e.block));
            }
        }
        for (const RomUnit& u : out_.units) {
            if (out_.vendorText.empty()) out_.vendorText = u.vendorText;
            if (out_.modelText.empty()) out_.modelText = u.modelText;
        }
    }

    RomUnit Unit(int block) const {
        RomUnit u;
        u.directory = block;
        const RomBlock& dir = out_.blocks[block];
        const RomBlock* dependent = nullptr;
        for (size_t i = 0; i < dir.entries.size(); ++i) {
            const RomEntry& e = dir.entries[i];
            if (e.key == rom::kKeySpecifierId) u.hasSpecifier = true, u.specifierId = e.value;
            if (e.key == rom::kKeyVersion) u.hasVersion = true, u.version = e.value;
            if (e.key == rom::kKeyModel && u.modelText.empty()) u.modelText = DescriptorAfter(dir, i);
            if (e.key == rom::kKeyVendor && u.vendorText.empty()) u.vendorText = DescriptorAfter(dir, i);
            if (e.key == rom::kKeyDependentDirectory && e.block >= 0 && out_.blocks[e.block].directory && !dependent)
                dependent = &out_.blocks[e.block];
        }
        uint32_t sub = 0;
        bool hasSub = false;
        if (dir.unitKind == UnitKind::Iidc && dependent != nullptr) {
            for (const RomEntry& e : dependent->entries) {
                if (e.key == rom::kKeyIidcCommandRegsBase && !u.hasCommandBase) {
                    u.hasCommandBase = true;
                    u.commandBase = e.CsrAddress();
                } else if (e.key == rom::kKeyIidcSubVersion) {
                    hasSub = true;
                    sub = e.value;
                } else if (e.key == rom::kKeyTextLeaf && e.block >= 0 && u.vendorText.empty()) {
                    u.vendorText = TextOf(e.block);
                } else if (e.key == rom::kKeyIidcModelNameLeaf && e.block >= 0 && u.modelText.empty()) {
                    u.modelText = TextOf(e.block);
                }
            }
        }
        if (u.hasSpecifier && u.hasVersion) u.kindName = UnitKindName(u.specifierId, u.version, sub, hasSub, &u.kind);
        return u;
    }

    const RomReader& reader_;
    DecodedRom out_;
    std::map<uint32_t, QuadletRead> cache_;
    std::map<uint32_t, int> visited_;
    std::set<uint32_t> inProgress_;  // directories whose entries are being followed
};

}  // namespace

int DecodedRom::CrcGood() const {
    int n = busInfoRead && busInfoCrc.good() ? 1 : 0;
    for (const RomBlock& b : blocks) n += b.crc.good();
    return n;
}

int DecodedRom::CrcBad() const {
    int n = busInfoCrc.checked && !busInfoCrc.good() ? 1 : 0;
    for (const RomBlock& b : blocks) n += b.crc.checked && !b.crc.good();
    return n;
}

int DecodedRom::CrcUnchecked() const {
    int n = readable && !minimal && infoLength != 0 && !busInfoCrc.checked ? 1 : 0;
    for (const RomBlock& b : blocks) n += !b.crc.checked;
    return n;
}

DecodedRom DecodeRom(const RomReader& read) { return Decoder(read).Run(); }

std::string BusOptionsText(uint32_t o) {
    static const char* const kSpeeds[] = {"S100", "S200", "S400", "S800", "S1600", "S3200", "speed 6", "speed 7"};
    const uint32_t maxRec = (o >> 12) & 0xF;
    char text[200];
    std::snprintf(text, sizeof text,
                  "irmc %u cmc %u isc %u bmc %u pmc %u cyc_clk_acc %u max_rec %u (%u bytes) max_ROM %u "
                  "generation %u link_spd %s",
                  (o >> 31) & 1, (o >> 30) & 1, (o >> 29) & 1, (o >> 28) & 1, (o >> 27) & 1, (o >> 16) & 0xFF, maxRec,
                  maxRec >= 1 && maxRec <= 14 ? 1u << (maxRec + 1) : 0u, (o >> 8) & 3, (o >> 4) & 0xF,
                  kSpeeds[o & 7]);
    return text;
}

// ---- Output

namespace {

std::string CrcText(const BlockCrc& crc) {
    if (!crc.checked) return "CRC " + Hex(crc.stored, 4) + " not checked (block not read whole)";
    if (crc.good()) return "CRC " + Hex(crc.stored, 4) + " good";
    return "CRC " + Hex(crc.stored, 4) + " BAD (computed " + Hex(crc.computed, 4) + ")";
}

std::string CrcJson(const BlockCrc& crc) {
    JsonObject o;
    o.Text("stored", Hex(crc.stored, 4));
    if (crc.checked) o.Text("computed", Hex(crc.computed, 4)).Bool("good", crc.good());
    else o.Raw("computed", "null").Raw("good", "null");
    return o.Str();
}

std::string Quote(const std::string& text) { return "\"" + text + "\""; }

std::string ImmediateText(const RomEntry& e) {
    std::string text = Hex(e.value, 6);
    if ((e.key == rom::kKeySpecifierId) && e.value == rom::kIidcSpecifier) text += " (1394 Trade Association)";
    return text;
}

class Printer {
public:
    explicit Printer(const DecodedRom& rom) : rom_(rom) {}

    std::string Text() {
        if (!rom_.readable) return "configuration ROM: not readable (" + rom_.failure + ")\n";
        Line(0, "bus information block: info_length " + std::to_string(rom_.infoLength) + ", crc_length " +
                    std::to_string(rom_.crcLength) + ", " +
                    (rom_.minimal || rom_.infoLength == 0 ? std::string("no CRC") : CrcText(rom_.busInfoCrc)));
        if (rom_.minimal) Line(1, "minimal ROM: vendor ID " + Hex(rom_.vendorId, 6));
        if (rom_.general) {
            Line(1, "bus name         \"1394\"");
            Line(1, "bus options      " + BusOptionsText(rom_.busOptions));
            Line(1, "GUID             " + Hex(rom_.guid, 16) + " (node vendor ID " + Hex(rom_.guid >> 40, 6) +
                        ", chip ID " + Hex(rom_.guid & 0xFFFFFFFFFFull, 10) + ")");
        } else {
            for (size_t i = 0; i < rom_.busInfo.size(); ++i)
                Line(1, "quadlet " + std::to_string(i + 1) + "        " + Hex(rom_.busInfo[i], 8));
        }
        if (rom_.root >= 0) Block(rom_.root, 0);
        Summary();
        return out_;
    }

private:
    void Line(int indent, const std::string& text) { out_ += std::string(size_t(indent) * 2, ' ') + text + "\n"; }

    void Block(int id, int indent) {
        const RomBlock& b = rom_.blocks[id];
        std::string head = b.what + " at " + Where(b.index);
        if (b.headerRead) head += ", " + std::to_string(b.length) + (b.directory ? " entries, " : " quadlets, ") + CrcText(b.crc);
        Line(indent, head);
        for (const std::string& p : b.problems) Line(indent + 1, "problem: " + p);
        if (!b.directory) {
            if (b.isText) {
                std::string text = "text " + Quote(b.text);
                if (b.characterSet || b.language)
                    text += " (character_set " + std::to_string(b.characterSet) + ", language " +
                            std::to_string(b.language) + ")";
                Line(indent + 1, text);
            } else {
                std::string q;
                for (uint32_t v : b.body) q += (q.empty() ? "" : " ") + Hex(v, 8);
                if (!q.empty()) Line(indent + 1, q);
            }
            return;
        }
        for (const RomEntry& e : b.entries) {
            char key[8];
            std::snprintf(key, sizeof key, "0x%02X", e.key);
            std::string text = std::string(key) + " " + e.name;
            if (text.size() < 32) text += std::string(32 - text.size(), ' ');
            switch (e.type) {
            case EntryType::Immediate: Line(indent + 1, text + ImmediateText(e)); break;
            case EntryType::CsrOffset:
                Line(indent + 1, text + Hex(e.value, 6) + " -> " + Hex(e.CsrAddress(), 12));
                break;
            default: {
                if (e.block < 0) {
                    Line(indent + 1, text + "not followed: " + e.problem);
                    break;
                }
                const RomBlock& child = rom_.blocks[e.block];
                if (!child.directory && child.isText && e.firstReference) {
                    Line(indent + 1, text + Quote(child.text) + " (leaf at " + Where(child.index) + ", " +
                                         (child.headerRead ? CrcText(child.crc) : "header not read") + ")");
                    for (const std::string& p : child.problems) Line(indent + 2, "problem: " + p);
                } else if (e.firstReference) {
                    Line(indent + 1, text + "->");
                    Block(e.block, indent + 2);
                } else {
                    Line(indent + 1, text + child.what + " at " + Where(child.index) + " (shown above)");
                }
                if (!e.problem.empty() && e.block >= 0) Line(indent + 2, "problem: " + e.problem);
            }
            }
        }
    }

    void Summary() {
        std::string vendor = rom_.hasVendor ? Hex(rom_.vendorId, 6) : "none";
        if (!rom_.vendorText.empty()) vendor += " " + Quote(rom_.vendorText);
        std::string model = rom_.hasModel ? Hex(rom_.modelId, 6) : "none";
        if (!rom_.modelText.empty()) model += " " + Quote(rom_.modelText);
        Line(0, "vendor: " + vendor);
        Line(0, "model:  " + model);
        for (const RomUnit& u : rom_.units) {
            std::string text = "unit:   specifier " + (u.hasSpecifier ? Hex(u.specifierId, 6) : "none") + ", version " +
                               (u.hasVersion ? Hex(u.version, 6) : "none");
            if (!u.kindName.empty()) text += " (" + u.kindName + ")";
            if (u.hasCommandBase) text += ", command registers at " + Hex(u.commandBase, 12);
            Line(0, text);
        }
        Line(0, "CRCs:   " + std::to_string(rom_.CrcGood()) + " good, " + std::to_string(rom_.CrcBad()) + " bad, " +
                    std::to_string(rom_.CrcUnchecked()) + " not checked");
        Line(0, "problems: " + std::to_string(rom_.problems.size()));
        for (const std::string& p : rom_.problems) Line(1, p);
    }

    const DecodedRom& rom_;
    std::string out_;
};

std::string BlockJson(const DecodedRom& rom, int id, std::vector<bool>* shown);

std::string EntryJson(const DecodedRom& rom, const RomEntry& e, std::vector<bool>* shown) {
    JsonObject o;
    o.Text("key", Hex(e.key, 2)).Text("name", e.name).Text("type", EntryTypeName(e.type));
    o.Text("at", Where(e.index)).Text("value", Hex(e.value, 6));
    if (e.type == EntryType::CsrOffset) o.Text("address", Hex(e.CsrAddress(), 12));
    if (e.block >= 0) {
        const RomBlock& child = rom.blocks[e.block];
        if (e.firstReference && !(*shown)[e.block]) {
            o.Raw(child.directory ? "directory" : "leaf", BlockJson(rom, e.block, shown));
        } else {
            o.Text("sameAs", Where(child.index));
        }
    }
    if (!e.problem.empty()) o.Text("problem", e.problem);
    return o.Str();
}

std::string BlockJson(const DecodedRom& rom, int id, std::vector<bool>* shown) {
    (*shown)[id] = true;
    const RomBlock& b = rom.blocks[id];
    JsonObject o;
    o.Text("at", Where(b.index)).Text("what", b.what);
    if (b.headerRead) o.Number("length", b.length).Raw("crc", CrcJson(b.crc));
    else o.Raw("length", "null").Raw("crc", "null");
    if (b.directory) {
        std::vector<std::string> entries;
        for (const RomEntry& e : b.entries) entries.push_back(EntryJson(rom, e, shown));
        o.Raw("entries", JsonArray(entries));
    } else if (b.isText) {
        o.Text("text", b.text).Number("characterSet", b.characterSet).Number("language", b.language);
    } else {
        std::vector<std::string> q;
        for (uint32_t v : b.body) q.push_back(JsonString(Hex(v, 8)));
        o.Raw("quadlets", JsonArray(q));
    }
    std::vector<std::string> problems;
    for (const std::string& p : b.problems) problems.push_back(JsonString(p));
    o.Raw("problems", JsonArray(problems));
    return o.Str();
}

}  // namespace

std::string RomReport(const DecodedRom& rom) { return Printer(rom).Text(); }

std::string RomJson(const DecodedRom& rom) {
    JsonObject o;
    o.Bool("readable", rom.readable);
    if (!rom.readable) o.Text("failure", rom.failure);
    JsonObject info;
    info.Text("header", Hex(rom.header, 8)).Number("infoLength", rom.infoLength).Number("crcLength", rom.crcLength);
    info.Bool("minimal", rom.minimal);
    if (rom.readable && !rom.minimal && rom.infoLength != 0) info.Raw("crc", CrcJson(rom.busInfoCrc));
    else info.Raw("crc", "null");
    std::vector<std::string> quadlets;
    for (uint32_t q : rom.busInfo) quadlets.push_back(JsonString(Hex(q, 8)));
    info.Raw("quadlets", JsonArray(quadlets));
    if (rom.general) {
        const uint32_t b = rom.busOptions;
        info.Text("busName", "1394").Text("guid", Hex(rom.guid, 16));
        JsonObject options;
        options.Number("irmc", (b >> 31) & 1).Number("cmc", (b >> 30) & 1).Number("isc", (b >> 29) & 1);
        options.Number("bmc", (b >> 28) & 1).Number("pmc", (b >> 27) & 1).Number("cycClkAcc", (b >> 16) & 0xFF);
        options.Number("maxRec", (b >> 12) & 0xF).Number("maxRom", (b >> 8) & 3).Number("generation", (b >> 4) & 0xF);
        options.Number("linkSpd", b & 7);
        info.Raw("busOptions", options.Str());
    }
    o.Raw("busInfo", info.Str());
    std::vector<bool> shown(rom.blocks.size(), false);
    o.Raw("root", rom.root >= 0 ? BlockJson(rom, rom.root, &shown) : "null");
    if (rom.hasVendor) o.Text("vendorId", Hex(rom.vendorId, 6));
    else o.Raw("vendorId", "null");
    o.Text("vendorText", rom.vendorText);
    if (rom.hasModel) o.Text("modelId", Hex(rom.modelId, 6));
    else o.Raw("modelId", "null");
    o.Text("modelText", rom.modelText);
    std::vector<std::string> units;
    for (const RomUnit& u : rom.units) {
        JsonObject unit;
        unit.Raw("specifierId", u.hasSpecifier ? JsonString(Hex(u.specifierId, 6)) : "null");
        unit.Raw("version", u.hasVersion ? JsonString(Hex(u.version, 6)) : "null");
        unit.Text("kind", u.kindName);
        unit.Raw("commandRegsBase", u.hasCommandBase ? JsonString(Hex(u.commandBase, 12)) : "null");
        unit.Text("vendorText", u.vendorText).Text("modelText", u.modelText);
        units.push_back(unit.Str());
    }
    o.Raw("units", JsonArray(units));
    JsonObject crcs;
    crcs.Number("good", uint64_t(rom.CrcGood())).Number("bad", uint64_t(rom.CrcBad()));
    crcs.Number("unchecked", uint64_t(rom.CrcUnchecked()));
    o.Raw("crcs", crcs.Str());
    o.Number("quadletsRead", rom.quadletsRead);
    std::vector<std::string> problems;
    for (const std::string& p : rom.problems) problems.push_back(JsonString(p));
    o.Raw("problems", JsonArray(problems));
    return o.Str();
}

}  // namespace kx1394
