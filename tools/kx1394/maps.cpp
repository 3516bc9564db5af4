#include "maps.h"

#include <cstdio>
#include <fstream>

#include "json.h"
#include "kx1394.h"
#include "queries.h"
#include "report.h"
#include "requests.h"
#include "topology.h"

namespace kx1394 {

namespace {

constexpr uint64_t kTopologyMapAddress = 0xFFFFF0001000ull;
constexpr uint32_t kHeaderBytes = 12;
constexpr uint32_t kMapBytes = 1024;
// Reads of at most 512 bytes: what a path at S100 carries, whatever the local speed.
constexpr uint32_t kChunkBytes = 512;

// The map as read: its quadlets, or why it could not be read.
struct MapRead {
    bool ok = false;
    std::string failure;
    Value localNode;
    std::vector<uint32_t> quadlets;
    TopologyMap map;
};

bool ReadBytes(Requester& requester, uint16_t local, uint64_t offset, uint32_t length, std::vector<uint32_t>* out,
               std::string* failure) {
    for (uint32_t done = 0; done < length; done += kChunkBytes) {
        uint32_t chunk = length - done < kChunkBytes ? length - done : kChunkBytes;
        AsyncResult r = requester.Read(local, offset + done, chunk);
        if (!r.ok() || r.data.size() < chunk) {
            *failure = "read of " + std::to_string(chunk) + " bytes at " + Hex(offset + done, 12) + ": " + r.Describe();
            return false;
        }
        for (uint32_t i = 0; i + 4 <= chunk; i += 4)
            out->push_back(uint32_t(r.data[i]) << 24 | uint32_t(r.data[i + 1]) << 16 | uint32_t(r.data[i + 2]) << 8 |
                           r.data[i + 3]);
    }
    return true;
}

// The local node's TOPOLOGY_MAP: its three header quadlets first, then as many as its length says.
MapRead ReadTopologyMap(Session& session) {
    MapRead read;
    read.localNode = QueryLocalNode(session);
    if (!read.localNode.ok) {
        read.failure = "no local node: " + Human(read.localNode);
        return read;
    }
    uint16_t local = KX1394_NodeId(uint8_t(read.localNode.number));
    Requester requester(session);
    if (!ReadBytes(requester, local, kTopologyMapAddress, kHeaderBytes, &read.quadlets, &read.failure)) return read;
    uint32_t bytes = 4 * ((read.quadlets[0] >> 16) + 1);
    if (bytes > kMapBytes) bytes = kMapBytes;
    if (bytes > kHeaderBytes &&
        !ReadBytes(requester, local, kTopologyMapAddress + kHeaderBytes, bytes - kHeaderBytes, &read.quadlets,
                   &read.failure))
        return read;
    read.map = DecodeTopologyMap(read.quadlets);
    read.ok = true;
    return read;
}

std::string PortText(const TopologyPort& p) {
    switch (p.state) {
    case PortState::Parent: return "p" + std::to_string(p.number) + " parent " + std::to_string(p.peer);
    case PortState::Child: return "p" + std::to_string(p.number) + " child " + std::to_string(p.peer);
    case PortState::NotConnected: return "p" + std::to_string(p.number) + " -";
    default: return "";
    }
}

const char* PortStateName(PortState state) {
    switch (state) {
    case PortState::Parent: return "parent";
    case PortState::Child: return "child";
    case PortState::NotConnected: return "not connected";
    default: return "not present";
    }
}

std::string NodeJson(const TopologyNodeInfo& n) {
    std::vector<std::string> ports;
    for (const TopologyPort& p : n.ports) {
        if (p.state == PortState::NotPresent) continue;
        JsonObject port;
        port.Number("port", uint64_t(p.number)).Text("state", PortStateName(p.state));
        port.Raw("peer", p.peer >= 0 ? std::to_string(p.peer) : "null");
        ports.push_back(port.Str());
    }
    JsonObject o;
    o.Number("node", uint64_t(n.phyId)).Raw("parent", n.parent >= 0 ? std::to_string(n.parent) : "null");
    o.Raw("parentPort", n.parentPort >= 0 ? std::to_string(n.parentPort) : "null");
    o.Raw("ports", JsonArray(ports));
    o.Number("speedCode", uint64_t(n.speedCode)).Text("speed", SelfIdSpeedName(n.speedCode));
    o.Bool("linkActive", n.linkActive).Bool("contender", n.contender);
    o.Number("gapCount", uint64_t(n.gapCount)).Number("powerClass", uint64_t(n.powerClass));
    return o.Str();
}

// Header fields of both commands' JSON.
JsonObject MapJson(const char* command, const MapRead& read) {
    JsonObject o;
    o.Text("command", command).Add("localNode", read.localNode);
    o.Bool("ok", read.ok && read.map.valid);
    if (!read.ok) {
        o.Text("problem", read.failure);
        return o;
    }
    o.Number("generation", read.map.generation).Number("nodeCount", read.map.nodeCount);
    o.Number("selfIdCount", read.map.selfIdCount).Bool("crcGood", read.map.crcGood);
    if (!read.map.valid) o.Text("problem", read.map.problem);
    return o;
}

// The map's header for people; false (with the reason printed) when there is no tree to show.
bool PrintHeader(const MapRead& read) {
    const TopologyMap& map = read.map;
    if (!read.ok) {
        std::printf("TOPOLOGY_MAP of the local node: not readable (%s)\n", read.failure.c_str());
        return false;
    }
    std::printf("TOPOLOGY_MAP of the local node %s: generation %u, %u nodes, %u self-ID packets, CRC %s\n",
                Human(read.localNode).c_str(), map.generation, map.nodeCount, map.selfIdCount,
                map.crcGood ? "good" : "bad");
    if (!map.valid) std::printf("the map does not describe a tree: %s\n", map.problem.c_str());
    return map.valid;
}

}  // namespace

int TopologyCommand(Session& session, const Options& options) {
    MapRead read = ReadTopologyMap(session);
    const TopologyMap& map = read.map;
    std::string dotProblem;
    if (read.ok && map.valid && !options.dotFile.empty()) {
        std::ofstream dot(options.dotFile, std::ios::binary);
        dot << TopologyDot(map, read.localNode.ok ? int(read.localNode.number) : -1);
        if (!dot) dotProblem = "cannot write '" + options.dotFile + "'";
    }
    bool ok = read.ok && map.valid && dotProblem.empty();
    if (options.json) {
        JsonObject o = MapJson("topology", read);
        if (read.ok && map.valid) {
            o.Number("root", uint64_t(map.root));
            o.Raw("gapCount", map.GapCount() >= 0 ? std::to_string(map.GapCount()) : "null");
            std::vector<std::string> nodes;
            for (const TopologyNodeInfo& n : map.nodes) nodes.push_back(NodeJson(n));
            o.Raw("nodes", JsonArray(nodes));
        }
        if (!options.dotFile.empty()) o.Text("dot", options.dotFile);
        if (!dotProblem.empty()) o.Text("dotProblem", dotProblem);
        std::printf("%s\n", o.Str().c_str());
        return ok ? 0 : 1;
    }
    if (!PrintHeader(read)) return 1;
    std::printf("root node %d, gap count %s\n", map.root,
                map.GapCount() >= 0 ? std::to_string(map.GapCount()).c_str() : "not the same on every node");
    std::printf("%-6s %-7s %-6s %-5s %-10s %-4s %s\n", "node", "parent", "speed", "link", "contender", "gap", "ports");
    for (const TopologyNodeInfo& n : map.nodes) {
        std::string ports;
        for (const TopologyPort& p : n.ports) {
            std::string text = PortText(p);
            if (!text.empty()) ports += (ports.empty() ? "" : ", ") + text;
        }
        std::string parent = n.parent >= 0 ? std::to_string(n.parent) : "root";
        std::string mark = read.localNode.ok && uint64_t(n.phyId) == read.localNode.number ? " (local)" : "";
        std::printf("%-6d %-7s %-6s %-5s %-10s %-4d %s%s\n", n.phyId, parent.c_str(),
                    SelfIdSpeedName(n.speedCode).c_str(), n.linkActive ? "on" : "off", n.contender ? "yes" : "no",
                    n.gapCount, ports.c_str(), mark.c_str());
    }
    if (!options.dotFile.empty())
        std::printf("%s\n", dotProblem.empty() ? ("Graphviz picture written to " + options.dotFile).c_str()
                                                : dotProblem.c_str());
    return ok ? 0 : 1;
}

int SpeedCommand(Session& session, const Options& options) {
    MapRead read = ReadTopologyMap(session);
    const TopologyMap& map = read.map;
    std::vector<std::vector<int>> table = PathSpeeds(map);
    // The driver's own speeds are those from the local node (its speed table row).
    std::vector<Value> fromDriver;
    for (size_t n = 0; n < table.size(); ++n) fromDriver.push_back(QueryNodeSpeed(session, unsigned(n)));
    int local = read.localNode.ok ? int(read.localNode.number) : -1;
    bool ok = read.ok && map.valid;
    if (options.json) {
        JsonObject o = MapJson("speed", read);
        o.Text("source", "self-ID speeds of the TOPOLOGY_MAP, the slowest PHY on each path");
        std::vector<std::string> rows, names;
        for (const auto& row : table) {
            std::vector<std::string> codes, texts;
            for (int code : row) {
                codes.push_back(std::to_string(code));
                texts.push_back(JsonString(SelfIdSpeedName(code)));
            }
            rows.push_back(JsonArray(codes));
            names.push_back(JsonArray(texts));
        }
        o.Raw("codes", JsonArray(rows)).Raw("speeds", JsonArray(names));
        std::vector<std::string> driver;
        for (size_t n = 0; n < fromDriver.size(); ++n) {
            JsonObject entry;
            entry.Number("node", n).Add("code", fromDriver[n]).Add("speed", fromDriver[n], true);
            driver.push_back(entry.Str());
        }
        o.Raw("fromLocalNodeByDriver", JsonArray(driver));
        std::printf("%s\n", o.Str().c_str());
        return ok ? 0 : 1;
    }
    if (!PrintHeader(read)) return 1;
    std::printf("speed between nodes, from the self-ID speeds (the slowest PHY on the path):\n      ");
    for (size_t b = 0; b < table.size(); ++b) std::printf(" %5zu", b);
    std::printf("\n");
    for (size_t a = 0; a < table.size(); ++a) {
        std::printf("%5zu ", a);
        for (int code : table[a]) std::printf(" %5s", SelfIdSpeedName(code).c_str());
        std::printf("%s\n", int(a) == local ? "  (local)" : "");
    }
    std::printf("driver's speed from the local node (IOCTL_GET_NODE_SPEED):\n      ");
    for (size_t b = 0; b < fromDriver.size(); ++b)
        std::printf(" %5s", fromDriver[b].ok ? SpeedName(unsigned(fromDriver[b].number)).c_str() : "-");
    std::printf("\n");
    for (size_t b = 0; b < fromDriver.size(); ++b)
        if (!fromDriver[b].ok) std::printf("node %zu: %s\n", b, Human(fromDriver[b]).c_str());
    return 0;
}

}  // namespace kx1394
