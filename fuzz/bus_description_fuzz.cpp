// The bus description text: the parser, the ROM file reader, and the bus the model builds from a
// description that parses. The input is the description, then (after a NUL byte) the text of the
// ROM file that every rom=FILE names: the target never reads another file. A bus that builds
// settles its reset, and the self-ID packets of the controller's bus must pass the driver's own
// checks of a self-ID reception.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bus.h"
#include "bus_description.h"
#include "fuzz_input.h"
#include "ohci/self_id.h"
#include "rom_requester.h"
#include "testing/standalone_host.h"

namespace {

const std::string& RomFilePath() {
    static const std::string path = [] {
        char name[] = "/tmp/kx-fuzz-rom-XXXXXX";
        int fd = mkstemp(name);
        KXF_CHECK(fd >= 0);
        close(fd);
        return std::string(name);
    }();
    return path;
}

void WriteRomFile(const std::string& text) {
    FILE* file = std::fopen(RomFilePath().c_str(), "wb");
    KXF_CHECK(file != nullptr);
    if (!text.empty()) KXF_CHECK(std::fwrite(text.data(), 1, text.size(), file) == text.size());
    std::fclose(file);
}

// The model's self-ID packets as the driver receives them must be a good reception.
void CheckSelfIds(const sim::Bus& bus) {
    const std::vector<uint32_t>& packets = bus.SelfIds();
    KXF_CHECK(!packets.empty());
    KXF_CHECK(packets.size() <= 255);
    std::vector<ULONG> buffer(512, 0);
    ULONG quadlets = 1;
    buffer[0] = 7u << 16;
    for (uint32_t packet : packets) {
        buffer[quadlets++] = packet;
        buffer[quadlets++] = ~packet;
    }
    ULONG extracted[256];
    ULONG count = 0;
    KXF_CHECK(selfid::ExtractPackets(buffer.data(), 512, (7u << 16) | (quadlets << 2), extracted, 256, &count));
    KXF_CHECK(count == packets.size());
    selfid::Summary summary;
    KXF_CHECK(selfid::CheckSequence(extracted, count, &summary));
    KXF_CHECK(int(summary.NodeCount) == bus.NodeCount());
    selfid::NodePorts nodes[64];
    KXF_CHECK(selfid::CountPorts(extracted, count, summary.NodeCount, nodes));
    for (ULONG i = 0; i + 1 < summary.NodeCount; ++i) KXF_CHECK(nodes[i].ParentPortCount == 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string all(reinterpret_cast<const char*>(data), size);
    size_t split = all.find('\0');
    std::string text = all.substr(0, split);
    std::string romText = split == std::string::npos ? std::string() : all.substr(split + 1);

    // The ROM file reader alone.
    WriteRomFile(romText);
    std::vector<uint32_t> image;
    std::string error;
    if (sim::LoadRomFile(RomFilePath(), &image, &error)) KXF_CHECK(!image.empty());
    else KXF_CHECK(!error.empty());

    sim::BusDescription description;
    error.clear();
    if (!sim::ParseBusDescription(text, &description, &error)) {
        KXF_CHECK(error.rfind("line ", 0) == 0);
        return 0;
    }
    for (sim::NodeDescription& n : description.nodes) {
        KXF_CHECK(description.Find(n.name) != nullptr);
        if (!n.romFile.empty()) n.romFile = RomFilePath();
    }
    for (const sim::ConnectionDescription& c : description.connections)
        KXF_CHECK(description.Find(c.a) != nullptr && description.Find(c.b) != nullptr);

    sim::StandaloneHost host;
    sim::Bus bus(host);
    // The controller's stand-in contends for IRM, as the OHCI node does under the driver.
    auto requesterNode = std::make_unique<kxfuzz::RomRequester>();
    requesterNode->phy().contender = true;
    sim::Node* controller = bus.Add(std::move(requesterNode));
    std::map<std::string, sim::Node*> nodes;
    error.clear();
    bool built = sim::BuildBus(description, bus, controller, &nodes, &error);
    if (!built) KXF_CHECK(error.rfind("line ", 0) == 0);
    host.RunFor(20 * sim::kTicksPerMillisecond);
    KXF_CHECK(!bus.InReset());
    CheckSelfIds(bus);
    // Every node of the controller's bus answers a read of its bus information block header.
    auto* requester = static_cast<kxfuzz::RomRequester*>(controller);
    for (int phy = 0; phy < bus.NodeCount(); ++phy) {
        sim::Node* node = bus.NodeByPhyId(phy);
        if (node == controller || !node->LinkActive()) continue;
        requester->received.clear();
        requester->Read(node, 0, 0, uint8_t(phy));
        host.RunFor(sim::kTicksPerMillisecond);
        KXF_CHECK(requester->received.size() <= 1);
    }
    KXF_CHECK(host.faults().empty());
    return 0;
}
