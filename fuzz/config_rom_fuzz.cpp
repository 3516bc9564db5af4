// Configuration ROM images: the IEEE 1212 CRC as the driver computes it (bus order and host order)
// against the model's; the model's parse of an image (bus information block, directory walk,
// entries, block CRCs, byte reads) and its answers to quadlet and block reads of the image over
// the bus; and the driver's own ROM, built from fuzzed bus options and GUID, read back by the
// model's parser.
#include <cstdint>
#include <memory>
#include <set>
#include <vector>

#include "config_rom.h"
#include "csr_node.h"
#include "fuzz_input.h"
#include "ohci/bus_order.h"
#include "core/config_rom.h"
#include "ohci/register_access.h"
#include "rom_requester.h"
#include "testing/standalone_host.h"

namespace {

constexpr size_t kMaxQuadlets = 300;

void CheckCrc(const std::vector<uint32_t>& hostOrder, size_t count) {
    std::vector<ULONG> busOrder(count + 1);
    for (size_t i = 0; i < count; ++i) busOrder[i] = HostToBus32(hostOrder[i]);
    uint16_t model = sim::Crc16(hostOrder.data(), count);
    KXF_CHECK(RomCrc16(busOrder.data(), ULONG(count)) == model);
    KXF_CHECK(RomCrc16HostOrder(reinterpret_cast<const ULONG*>(hostOrder.data()), ULONG(count)) == model);
}

// Every directory and leaf reachable from the root directory, each visited once.
void Walk(const sim::ConfigRom& rom) {
    std::vector<size_t> directories{rom.RootDirectoryIndex()};
    std::set<size_t> seen;
    while (!directories.empty() && seen.size() < 512) {
        size_t index = directories.back();
        directories.pop_back();
        if (!seen.insert(index).second) continue;
        bool valid = rom.BlockCrcValid(index);
        std::vector<uint32_t> entries = rom.DirectoryEntries(index);
        KXF_CHECK(entries.size() <= rom.size());
        if (valid) KXF_CHECK(entries.size() == sim::rom::BlockLength(rom.Quadlet(index)));
        for (size_t k = 0; k < entries.size(); ++k) {
            KXF_CHECK(entries[k] == rom.Quadlet(index + 1 + k));
            uint32_t found = 0;
            size_t foundIndex = 0;
            KXF_CHECK(rom.FindEntry(index, sim::rom::EntryKey(entries[k]), &found, &foundIndex));
            KXF_CHECK(sim::rom::EntryKey(found) == sim::rom::EntryKey(entries[k]));
            KXF_CHECK(foundIndex >= index + 1 && foundIndex <= index + 1 + k);
            uint8_t type = sim::rom::EntryKeyType(entries[k]);
            size_t target = sim::ConfigRom::Target(index + 1 + k, entries[k]);
            if (type == sim::rom::kDirectory) directories.push_back(target);
            else if (type == sim::rom::kLeaf) (void)rom.BlockCrcValid(target);
        }
    }
}

void CheckRepairs(const sim::ConfigRom& rom, kxfuzz::Input& in) {
    sim::ConfigRom fixed = rom;
    fixed.FixBusInfoCrc();
    if (!fixed.quadlets().empty() && size_t(sim::rom::CrcLength(fixed.Header())) + 1 <= fixed.size())
        KXF_CHECK(fixed.BusInfoCrcValid());
    size_t index = in.U16() % (rom.size() + 2);
    fixed.FixBlockCrc(index);
    if (index < fixed.size() && index + 1 + sim::rom::BlockLength(fixed.Quadlet(index)) <= fixed.size())
        KXF_CHECK(fixed.BlockCrcValid(index));

    uint32_t offset = in.U16() % 1100;
    uint32_t length = in.U16() % 1100;
    std::vector<uint8_t> bytes;
    bool ok = rom.ReadBytes(offset, length, &bytes);
    KXF_CHECK(ok == (uint64_t(offset) + length <= uint64_t(rom.size()) * 4));
    if (ok) {
        KXF_CHECK(bytes.size() == length);
        for (uint32_t i = 0; i < length; ++i)
            KXF_CHECK(bytes[i] == uint8_t(rom.Quadlet((offset + i) / 4) >> (24 - 8 * ((offset + i) % 4))));
    }
}

// The image on a plain node, read by a requester over the model's bus.
void CheckServed(const sim::ConfigRom& rom, kxfuzz::Input& in) {
    sim::StandaloneHost host;
    sim::Bus bus(host);
    auto* requester = static_cast<kxfuzz::RomRequester*>(bus.Add(std::make_unique<kxfuzz::RomRequester>()));
    sim::Node* node = bus.Add(std::make_unique<sim::CsrNode>("node", 3, sim::kS400, rom));
    KXF_CHECK(requester != nullptr && node != nullptr);
    KXF_CHECK(bus.Connect(requester, 0, node, 0));
    host.RunFor(10 * sim::kTicksPerMillisecond);
    for (int i = 0; i < 4 && !in.Empty(); ++i) {
        uint32_t offset = in.U16() % 1024;
        uint16_t block = in.U16() % 1100;
        requester->received.clear();
        requester->Read(node, offset, block, uint8_t(i));
        host.RunFor(sim::kTicksPerMillisecond);
        KXF_CHECK(requester->received.size() <= 1);
        if (requester->received.size() != 1) continue;
        const sim::Packet& response = requester->received[0];
        if (response.Rcode() != 0) continue;
        std::vector<uint8_t> expected;
        if (block == 0) {
            KXF_CHECK(offset % 4 == 0 && offset / 4 < rom.size());
            KXF_CHECK(response.QuadletData() == rom.Quadlet(offset / 4));
        } else {
            KXF_CHECK(rom.ReadBytes(offset, block, &expected));
            KXF_CHECK(response.data == expected);
        }
    }
    KXF_CHECK(host.faults().empty());
}

// The driver's ROM for a controller's BusOptions register and GUID, read by the model.
void CheckDriverRom(ULONG busOptionsRegister, ULONG guidHi, ULONG guidLo) {
    ULONG image[kConfigRomQuadlets];
    BuildConfigRomImage(image, busOptionsRegister, guidHi, guidLo);
    std::vector<uint32_t> quadlets(kConfigRomQuadlets);
    for (ULONG i = 0; i < kConfigRomQuadlets; ++i) quadlets[i] = BusToHost32(image[i]);
    sim::ConfigRom rom(quadlets);
    KXF_CHECK(sim::rom::InfoLength(rom.Header()) == 4);
    KXF_CHECK(size_t(sim::rom::CrcLength(rom.Header())) + 1 == rom.size());
    KXF_CHECK(rom.BusInfoCrcValid());
    KXF_CHECK(rom.BusName() == sim::rom::kBusName1394);
    KXF_CHECK(rom.Guid() == ((uint64_t(guidHi) << 32) | guidLo));
    sim::BusOptions options = rom.Options();
    KXF_CHECK(options.linkSpd == (busOptionsRegister & 7));
    KXF_CHECK(options.maxRec == ((busOptionsRegister >> 12) & 0xF));
    KXF_CHECK(options.irmc && options.cmc && options.isc && options.bmc);
    // Every block the root reaches lies inside the image with a good CRC.
    std::vector<size_t> directories{rom.RootDirectoryIndex()};
    std::set<size_t> seen;
    while (!directories.empty()) {
        size_t index = directories.back();
        directories.pop_back();
        if (!seen.insert(index).second) continue;
        KXF_CHECK(rom.BlockCrcValid(index));
        std::vector<uint32_t> entries = rom.DirectoryEntries(index);
        for (size_t k = 0; k < entries.size(); ++k) {
            size_t target = sim::ConfigRom::Target(index + 1 + k, entries[k]);
            uint8_t type = sim::rom::EntryKeyType(entries[k]);
            if (type == sim::rom::kDirectory) directories.push_back(target);
            if (type == sim::rom::kLeaf) KXF_CHECK(rom.BlockCrcValid(target));
        }
    }
    uint32_t vendor = 0;
    KXF_CHECK(rom.FindEntry(rom.RootDirectoryIndex(), sim::rom::kKeyVendor, &vendor));
    KXF_CHECK(sim::rom::EntryValue(vendor) == ((guidHi >> 8) & 0xFFFFFF));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kxfuzz::Input in(data, size);
    ULONG busOptions = in.U32();
    ULONG guidHi = in.U32();
    ULONG guidLo = in.U32();
    CheckDriverRom(busOptions, guidHi, guidLo);

    size_t count = in.U16() % (kMaxQuadlets + 1);
    std::vector<uint32_t> quadlets;
    for (size_t i = 0; i < count && !in.Empty(); ++i) quadlets.push_back(in.U32());
    for (size_t n = 0; n <= quadlets.size(); n += (n < 8 ? 1 : 37)) CheckCrc(quadlets, n);
    CheckCrc(quadlets, quadlets.size());

    sim::ConfigRom rom(quadlets);
    (void)rom.BusInfoCrcValid();
    (void)rom.Options();
    Walk(rom);
    CheckRepairs(rom, in);
    CheckServed(rom, in);
    return 0;
}
