// kx1394: the KX1394 driver on a simulated bus, driven as a camera program drives it.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "arguments.h"
#include "bus.h"
#include "children.h"
#include "bus_description.h"
#include "hk_io_test.h"
#include "hk_ke_test.h"
#include "iidc_decoder.h"
#include "kx1394.h"
#include "maps.h"
#include "options.h"
#include "queries.h"
#include "report.h"
#include "requests.h"
#include "rom_decoder.h"
#include "session.h"
#include "stream.h"

namespace kx1394 {
namespace {

// Virtual time the driver gets after the controller is plugged: the first bus reset settles, and
// the driver's two-second guard against back-to-back user resets has passed.
constexpr ULONGLONG kSettle = 2500 * kTicksPerMs;
// After a user-requested reset, time for it to complete and for the driver to process it.
constexpr ULONGLONG kResetSettle = 500 * kTicksPerMs;
// watch: a node is unplugged at 1 s, plugged back at 2 s, and so on.
constexpr ULONGLONG kPlugPeriod = 1 * kTicksPerSecond;

std::string Seconds(ULONGLONG ticks) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", double(ticks) / double(kTicksPerSecond));
    return text;
}

void Line(const std::string& label, const std::string& text) { std::printf("%-20s %s\n", label.c_str(), text.c_str()); }

// ---- bus

uint16_t NodeIdOf(unsigned phy) { return KX1394_NodeId(uint8_t(phy)); }

std::string NodeText(uint16_t nodeId) {
    return "node " + std::to_string(nodeId & 0x3F) + " (" + Hex(nodeId, 4) + ")";
}

// Reads and decodes a node's configuration ROM, one quadlet read at a time.
DecodedRom ReadRom(Requester& requester, uint16_t nodeId) {
    return DecodeRom([&requester, nodeId](uint32_t index) {
        return requester.Quadlet(nodeId, rom::kRomBase + 4ull * index);
    });
}

// "vendor 0x00ACDE "Simulated Optics", model 0x000001 "SO-VGA 1.31"" for the bus command.
std::string NodeRomText(const DecodedRom& rom) {
    if (!rom.readable) return "configuration ROM not readable (" + rom.failure + ")";
    if (rom.minimal) return "minimal ROM, vendor " + Hex(rom.vendorId, 6);
    std::string text = "vendor " + (rom.hasVendor ? Hex(rom.vendorId, 6) : std::string("none"));
    if (!rom.vendorText.empty()) text += " \"" + rom.vendorText + "\"";
    text += ", model " + (rom.hasModel ? Hex(rom.modelId, 6) : std::string("none"));
    if (!rom.modelText.empty()) text += " \"" + rom.modelText + "\"";
    for (const RomUnit& u : rom.units)
        if (!u.kindName.empty()) text += ", " + u.kindName;
    if (rom.CrcBad() != 0) text += ", " + std::to_string(rom.CrcBad()) + " bad CRC";
    return text;
}

std::string NodeRomJson(unsigned phy, const DecodedRom& rom) {
    JsonObject o;
    o.Number("node", phy).Text("nodeId", Hex(NodeIdOf(phy), 4));
    if (!rom.readable) {
        o.Unavailable("vendorId", rom.failure).Unavailable("modelId", rom.failure);
        return o.Str();
    }
    if (rom.hasVendor) o.Text("vendorId", Hex(rom.vendorId, 6));
    else o.Raw("vendorId", "null");
    o.Text("vendorText", rom.vendorText);
    if (rom.hasModel) o.Text("modelId", Hex(rom.modelId, 6));
    else o.Raw("modelId", "null");
    o.Text("modelText", rom.modelText);
    std::vector<std::string> units;
    for (const RomUnit& u : rom.units) units.push_back(JsonString(u.kindName));
    o.Raw("units", JsonArray(units)).Number("badCrcs", uint64_t(rom.CrcBad()));
    return o.Str();
}

int ShowBus(Session& session, const Options& options, const std::string& busName) {
    Value interfaceVersion = QueryInterfaceVersion(session);
    Value ohciVersion = QueryOhciVersion(session);
    Value guid = QueryGuid(session);
    Value localNode = QueryLocalNode(session);
    Value nodeCount = QueryNodeCount(session);
    Value irmNode = QueryIrmNode(session);
    Value linkCount;
    Value linkMask = QueryLinkActiveNodes(session, &linkCount);
    Value resets = QueryBusResetCount(session);
    // One speed per node the driver counts; with no count, none can be asked.
    std::vector<Value> speeds;
    if (nodeCount.ok)
        for (unsigned phy = 0; phy < nodeCount.number; ++phy) speeds.push_back(QueryNodeSpeed(session, phy));
    // Each node's vendor and model, with their texts, from its configuration ROM.
    std::vector<DecodedRom> roms;
    {
        Requester requester(session);
        for (size_t phy = 0; phy < speeds.size(); ++phy) roms.push_back(ReadRom(requester, NodeIdOf(unsigned(phy))));
    }
    std::vector<ChildDevice> children = ListChildDevices(session);

    if (options.json) {
        std::vector<std::string> speedList;
        for (size_t phy = 0; phy < speeds.size(); ++phy) {
            JsonObject entry;
            entry.Number("node", phy);
            entry.Add("speed", speeds[phy], true);
            entry.Add("code", speeds[phy]);
            speedList.push_back(entry.Str());
        }
        std::vector<std::string> nodeList;
        for (size_t phy = 0; phy < roms.size(); ++phy) nodeList.push_back(NodeRomJson(unsigned(phy), roms[phy]));
        JsonObject links;
        links.Add("mask", linkMask, true).Add("count", linkCount);
        JsonObject out;
        out.Text("command", "bus")
            .Text("bus", busName)
            .Number("processBits", session.is32Bit() ? 32 : 64)
            .Add("interfaceVersion", interfaceVersion)
            .Add("ohciVersion", ohciVersion, true)
            .Add("guid", guid, true)
            .Add("localNode", localNode)
            .Add("nodeCount", nodeCount)
            .Add("irmNode", irmNode)
            .Raw("linkActiveNodes", links.Str())
            .Add("busResetCount", resets)
            .Raw("speeds", JsonArray(speedList))
            .Raw("nodes", JsonArray(nodeList))
            .Raw("children", ChildDevicesJson(children));
        std::printf("%s\n", out.Str().c_str());
        return 0;
    }
    std::printf("KX1394 driver on a simulated OHCI controller (%s; %d-bit program)\n", busName.c_str(),
                session.is32Bit() ? 32 : 64);
    Line("interface version", Human(interfaceVersion));
    Line("OHCI version", Human(ohciVersion));
    Line("GUID", Human(guid));
    Line("local node", Human(localNode));
    Line("node count", Human(nodeCount));
    Line("IRM node", Human(irmNode));
    if (linkMask.ok)
        Line("link-active nodes", linkCount.text + " (mask " + linkMask.text + ")");
    else
        Line("link-active nodes", Human(linkMask));
    Line("bus resets", Human(resets));
    if (!nodeCount.ok) Line("speeds", "not available (no node count)");
    for (size_t phy = 0; phy < speeds.size(); ++phy)
        Line("speed to node " + std::to_string(phy), Human(speeds[phy]));
    for (size_t phy = 0; phy < roms.size(); ++phy) Line("node " + std::to_string(phy), NodeRomText(roms[phy]));
    PrintChildDevices(children);
    return 0;
}

// ---- reset

int Reset(Session& session, const Options& options) {
    const char* kind = options.shortReset ? "short" : "long";
    Value before = QueryBusResetCount(session);
    bool initiated = false;
    NTSTATUS status = RequestBusReset(session, options.shortReset, &initiated);
    session.Run(kResetSettle);
    Value after = QueryBusResetCount(session);
    if (options.json) {
        JsonObject out;
        out.Text("command", "reset").Text("kind", kind).Text("status", StatusName(status));
        out.Bool("initiated", initiated).Add("busResetCountBefore", before).Add("busResetCountAfter", after);
        std::printf("%s\n", out.Str().c_str());
    } else if (status != STATUS_SUCCESS) {
        std::printf("%s bus reset: not available (driver answered %s)\n", kind, StatusName(status).c_str());
    } else {
        std::printf("%s bus reset: %s\n", kind,
                    initiated ? "initiated" : "refused by the driver (a bus reset less than two seconds ago)");
        std::printf("bus resets: %s -> %s\n", Human(before).c_str(), Human(after).c_str());
    }
    return status == STATUS_SUCCESS && initiated ? 0 : 1;
}

// ---- watch

// The node that watch unplugs and plugs back: the last node of the description (not the local
// node) with a single cable, and where that cable goes.
struct Plug {
    std::string node;
    int port = 0;
    std::string peer;
    int peerPort = 0;
};

bool FindPlug(const sim::BusDescription& description, Plug* plug) {
    bool found = false;
    for (const sim::NodeDescription& node : description.nodes) {
        if (node.kind == "controller") continue;
        int cables = 0;
        Plug candidate;
        candidate.node = node.name;
        for (const sim::ConnectionDescription& c : description.connections) {
            if (c.a == node.name) {
                ++cables;
                candidate = {node.name, c.portA, c.b, c.portB};
            } else if (c.b == node.name) {
                ++cables;
                candidate = {node.name, c.portB, c.a, c.portA};
            }
        }
        if (cables == 1) {
            *plug = candidate;
            found = true;
        }
    }
    return found;
}

struct WatchEvent {
    ULONGLONG at = 0;
    std::string kind;  // bus-reset, bus-ready, unplug, plug, reset-request
    std::string detail;
    JsonObject json;
};

class Watch {
public:
    Watch(Session& session, const Options& options) : session_(session), options_(options) {}

    void Add(const std::string& kind, const std::string& detail, JsonObject json) {
        WatchEvent event;
        event.at = session_.Now() - start_;
        event.kind = kind;
        event.detail = detail;
        event.json = std::move(json);
        std::lock_guard<std::mutex> lock(mutex_);
        if (!options_.json) {
            std::printf("%12s s  %s%s%s\n", Seconds(event.at).c_str(), kind.c_str(), detail.empty() ? "" : ": ",
                        detail.c_str());
            std::fflush(stdout);
        }
        events_.push_back(std::move(event));
    }

    int Run(const sim::BusDescription& description) {
        PEPROCESS process = session_.process();
        HANDLE terminate = hk::user::CreateEvent(process, true, false);
        HANDLE reset = hk::user::CreateEvent(process, false, false);
        HANDLE ready = hk::user::CreateEvent(process, false, false);
        NTSTATUS client = RegisterClient(session_, terminate);
        NTSTATUS resetStatus = SetBusResetEvent(session_, reset);
        NTSTATUS readyStatus = SetBusReadyEvent(session_, ready);
        Plug plug;
        bool havePlug = FindPlug(description, &plug);
        ULONGLONG length = ULONGLONG(options_.watchSeconds * double(kTicksPerSecond));
        start_ = session_.Now();
        end_ = start_ + length;

        if (!options_.json) {
            std::printf("watching the bus for %s s of virtual time\n", Seconds(length).c_str());
            if (client != STATUS_SUCCESS)
                std::printf("client: not registered (driver answered %s)\n", StatusName(client).c_str());
            if (resetStatus != STATUS_SUCCESS)
                std::printf("bus-reset events: not available (driver answered %s)\n", StatusName(resetStatus).c_str());
            if (readyStatus != STATUS_SUCCESS)
                std::printf("bus-ready events: not available (driver answered %s)\n", StatusName(readyStatus).c_str());
            if (havePlug)
                std::printf("%s (cable to %s.%d) is unplugged at 1 s, plugged back at 2 s, and so on\n",
                            plug.node.c_str(), plug.peer.c_str(), plug.peerPort);
            else
                std::printf("no node with a single cable: the bus is reset every second instead\n");
        }
        std::vector<uint64_t> scheduled = Schedule(havePlug ? &plug : nullptr);
        PKTHREAD resetWatcher = nullptr;
        PKTHREAD readyWatcher = nullptr;
        if (resetStatus == STATUS_SUCCESS)
            resetWatcher = hk::StartThread("kx1394 reset watcher", process, [this, reset] { Wait(reset, false); });
        if (readyStatus == STATUS_SUCCESS)
            readyWatcher = hk::StartThread("kx1394 ready watcher", process, [this, ready] { Wait(ready, true); });
        session_.Run(length);
        if (resetWatcher != nullptr) hk::JoinThread(resetWatcher);
        if (readyWatcher != nullptr) hk::JoinThread(readyWatcher);
        for (uint64_t id : scheduled) session_.simulation().host.Cancel(id);

        // A program that is done: its registrations go, its client is released.
        if (resetStatus == STATUS_SUCCESS) SetBusResetEvent(session_, nullptr);
        if (readyStatus == STATUS_SUCCESS) SetBusReadyEvent(session_, nullptr);
        if (client == STATUS_SUCCESS) {
            hk::user::SetEvent(process, terminate);
            session_.Run(50 * kTicksPerMs);
        }
        for (HANDLE h : {terminate, reset, ready}) hk::user::CloseHandle(process, h);

        Value resets = QueryBusResetCount(session_);
        Value nodes = QueryNodeCount(session_);
        size_t resetEvents = Count("bus-reset");
        size_t readyEvents = Count("bus-ready");
        if (options_.json) {
            std::vector<std::string> list;
            for (WatchEvent& e : events_) {
                JsonObject entry;
                entry.Raw("t", Seconds(e.at)).Text("event", e.kind);
                list.push_back(MergeJson(entry.Str(), e.json.Str()));
            }
            JsonObject out;
            out.Text("command", "watch").Raw("seconds", Seconds(length)).Number("processBits", session_.is32Bit() ? 32 : 64);
            out.Raw("busResetEvents", resetStatus == STATUS_SUCCESS ? std::to_string(resetEvents) : "null");
            out.Raw("busReadyEvents", readyStatus == STATUS_SUCCESS ? std::to_string(readyEvents) : "null");
            if (client != STATUS_SUCCESS) out.Text("clientStatus", StatusName(client));
            if (resetStatus != STATUS_SUCCESS) out.Text("busResetEventStatus", StatusName(resetStatus));
            if (readyStatus != STATUS_SUCCESS) out.Text("busReadyEventStatus", StatusName(readyStatus));
            out.Add("busResetCount", resets).Add("nodeCount", nodes).Raw("events", JsonArray(list));
            std::printf("%s\n", out.Str().c_str());
        } else {
            std::printf("%zu bus-reset events, %zu bus-ready events; bus resets %s, nodes %s\n", resetEvents,
                        readyEvents, Human(resets).c_str(), Human(nodes).c_str());
        }
        return 0;
    }

private:
    // The changes of the bus in virtual time, as clock events of the model.
    std::vector<uint64_t> Schedule(const Plug* plug) {
        std::vector<uint64_t> ids;
        hk::SimulatedController& sim = session_.simulation();
        sim::Node* node = nullptr;
        sim::Node* peer = nullptr;
        if (plug != nullptr) {
            node = session_.nodes().at(plug->node);
            peer = session_.nodes().at(plug->peer);
        }
        int step = 0;
        for (ULONGLONG at = start_ + kPlugPeriod; at < end_; at += kPlugPeriod, ++step) {
            if (node == nullptr) {
                ids.push_back(sim.host.Schedule(at, [this, &sim] {
                    Add("reset-request", "the bus is reset", JsonObject());
                    sim.bus.RequestReset(false);
                }));
            } else if (step % 2 == 0) {
                ids.push_back(sim.host.Schedule(at, [this, &sim, node, plug] {
                    JsonObject json;
                    json.Text("node", plug->node);
                    Add("unplug", plug->node, std::move(json));
                    sim.bus.Unplug(node);
                }));
            } else {
                ids.push_back(sim.host.Schedule(at, [this, &sim, node, peer, plug] {
                    JsonObject json;
                    json.Text("node", plug->node).Text("to", plug->peer + "." + std::to_string(plug->peerPort));
                    Add("plug", plug->node + " to " + plug->peer + "." + std::to_string(plug->peerPort),
                        std::move(json));
                    sim.bus.Connect(peer, plug->peerPort, node, plug->port);
                }));
            }
        }
        return ids;
    }

    // A thread of the program that waits for one of its events until the watch ends.
    void Wait(HANDLE event, bool ready) {
        PEPROCESS process = session_.process();
        for (;;) {
            ULONGLONG now = session_.Now();
            if (now >= end_) return;
            ULONGLONG timeout = end_ - now;
            NTSTATUS status = hk::user::WaitEvent(process, event, &timeout);
            if (status == STATUS_TIMEOUT) return;
            if (status != STATUS_SUCCESS) {
                JsonObject json;
                json.Text("status", StatusName(status));
                Add("error", "waiting for the event: " + StatusName(status), std::move(json));
                return;
            }
            if (!ready) {
                Add("bus-reset", "", JsonObject());
                continue;
            }
            Value nodes = QueryNodeCount(session_);
            Value resets = QueryBusResetCount(session_);
            JsonObject json;
            json.Add("nodeCount", nodes).Add("busResetCount", resets);
            Add("bus-ready", "nodes " + Human(nodes) + ", bus resets " + Human(resets), std::move(json));
        }
    }

    size_t Count(const std::string& kind) const {
        size_t n = 0;
        for (const WatchEvent& e : events_) n += e.kind == kind;
        return n;
    }

    // {"a":1} and {"b":2} -> {"a":1,"b":2}
    static std::string MergeJson(const std::string& a, const std::string& b) {
        if (b == "{}") return a;
        return a.substr(0, a.size() - 1) + "," + b.substr(1);
    }

    Session& session_;
    const Options& options_;
    ULONGLONG start_ = 0;
    ULONGLONG end_ = 0;
    std::mutex mutex_;
    std::vector<WatchEvent> events_;
};

// ---- read, write, lock, phy, stream

JsonObject AsyncJson(const std::string& command, const Options& options, const AsyncResult& r) {
    JsonObject o;
    o.Text("command", command).Text("nodeId", Hex(options.nodeId, 4)).Text("offset", Hex(options.offset, 12));
    o.Number("processBits", options.process32 ? 32 : 64);
    o.Bool("ok", r.ok());
    if (r.call != STATUS_SUCCESS) {
        o.Text("callStatus", StatusName(r.call));
        return o;
    }
    o.Number("status", r.status).Text("statusText", AsyncStatusName(r.status));
    o.Number("ack", r.ack).Text("ackText", AckName(r.ack));
    o.Number("rcode", r.rcode).Text("rcodeText", RcodeName(r.rcode));
    o.Bool("pending", r.pending);
    if (r.pending) o.Bool("completed", r.completed);
    return o;
}

// Bytes 16 to a line, grouped in quadlets, with their offset.
void HexDump(uint64_t offset, const std::vector<uint8_t>& data) {
    for (size_t i = 0; i < data.size(); i += 16) {
        std::string line = Hex(offset + i, 12) + " ";
        for (size_t j = i; j < data.size() && j < i + 16; ++j) {
            char two[4];
            std::snprintf(two, sizeof two, "%02x", data[j]);
            line += (j % 4 == 0 ? " " : "") + std::string(two);
        }
        std::printf("%s\n", line.c_str());
    }
}

int AsyncCommand(Session& session, const Options& options) {
    Requester requester(session);
    AsyncResult r;
    std::string what;
    switch (options.command) {
    case Command::Read:
        r = requester.Read(options.nodeId, options.offset, options.length);
        what = "read";
        break;
    case Command::Write:
        r = requester.Write(options.nodeId, options.offset, options.data);
        what = "write";
        break;
    default:
        r = requester.Lock(options.nodeId, options.offset, options.extendedTcode, options.argValue, options.dataValue,
                           options.lock64);
        what = "lock";
        break;
    }
    const int width = options.lock64 ? 16 : 8;
    if (options.json) {
        JsonObject o = AsyncJson(what, options, r);
        o.Number("length", options.command == Command::Lock ? (options.lock64 ? 8 : 4) : options.length);
        if (options.command == Command::Write) o.Text("written", HexBytes(options.data));
        if (options.command == Command::Lock) {
            o.Text("op", LockOpName(options.extendedTcode)).Number("extendedTcode", options.extendedTcode);
            o.Text("arg", Hex(options.argValue, width)).Text("data", Hex(options.dataValue, width));
            o.Raw("argSent", LockHasArgument(options.extendedTcode) ? "true" : "false");
            if (r.ok()) o.Text("oldValue", Hex(r.oldValue, width));
            else o.Raw("oldValue", "null");
        }
        if (options.command == Command::Read) {
            if (r.ok()) o.Text("data", HexBytes(r.data));
            else o.Raw("data", "null");
        }
        std::printf("%s\n", o.Str().c_str());
        return r.ok() ? 0 : 1;
    }
    std::string head = what + " of " + NodeText(options.nodeId) + " at " + Hex(options.offset, 12);
    if (options.command == Command::Lock)
        head += ", " + std::string(LockOpName(options.extendedTcode)) + " " + std::to_string(options.lock64 ? 8 : 4) +
                "-byte" + (LockHasArgument(options.extendedTcode) ? " arg " + Hex(options.argValue, width) : "") +
                " data " + Hex(options.dataValue, width);
    else
        head += ", " + std::to_string(options.length) + " bytes";
    std::printf("%s: %s\n", head.c_str(), r.ok() ? "done" : "failed");
    std::printf("%s%s\n", r.Describe().c_str(), r.pending ? " (answered ack_pending first)" : "");
    if (r.ok() && options.command == Command::Read) HexDump(options.offset, r.data);
    if (r.ok() && options.command == Command::Lock) std::printf("old value %s\n", Hex(r.oldValue, width).c_str());
    return r.ok() ? 0 : 1;
}

int PacketCommand(Session& session, const Options& options) {
    Requester requester(session);
    uint8_t result = 0xFF;
    const bool phy = options.command == Command::Phy;
    NTSTATUS status = phy ? requester.Phy(options.phyQuadlet, &result)
                          : requester.Stream(options.channel, options.speed, options.tag, options.sy, options.data,
                                             &result);
    const bool ok = status == STATUS_SUCCESS && result == 0;
    if (options.json) {
        JsonObject o;
        o.Text("command", phy ? "phy" : "stream").Number("processBits", options.process32 ? 32 : 64).Bool("ok", ok);
        if (phy) {
            o.Text("quadlet", Hex(options.phyQuadlet, 8));
        } else {
            o.Number("channel", options.channel).Text("speed", SpeedName(options.speed)).Number("tag", options.tag);
            o.Number("sy", options.sy).Number("length", options.data.size());
        }
        if (status != STATUS_SUCCESS) o.Text("callStatus", StatusName(status));
        else o.Number("result", result).Text("resultText", AsyncStatusName(result));
        std::printf("%s\n", o.Str().c_str());
        return ok ? 0 : 1;
    }
    std::string head = phy ? "PHY packet " + Hex(options.phyQuadlet, 8)
                           : "stream packet on channel " + std::to_string(options.channel) + ", " +
                                 std::to_string(options.data.size()) + " bytes at " + SpeedName(options.speed) +
                                 ", tag " + std::to_string(options.tag) + ", sy " + std::to_string(options.sy);
    if (status != STATUS_SUCCESS)
        std::printf("%s: failed (driver answered %s)\n", head.c_str(), StatusName(status).c_str());
    else
        std::printf("%s: %s (result %u: %s)\n", head.c_str(), ok ? "sent" : "failed", unsigned(result),
                    AsyncStatusName(result).c_str());
    return ok ? 0 : 1;
}

// ---- rom, camera

int RomCommand(Session& session, const Options& options) {
    Requester requester(session);
    DecodedRom rom = ReadRom(requester, options.nodeId);
    if (options.json) {
        JsonObject o;
        o.Text("command", "rom").Text("nodeId", Hex(options.nodeId, 4));
        o.Number("processBits", options.process32 ? 32 : 64);
        std::string body = RomJson(rom);
        std::string head = o.Str();
        std::printf("%s,%s\n", head.substr(0, head.size() - 1).c_str(), body.substr(1).c_str());
    } else {
        std::printf("configuration ROM of %s: %u quadlets read\n", NodeText(options.nodeId).c_str(),
                    unsigned(rom.quadletsRead));
        std::fputs(RomReport(rom).c_str(), stdout);
    }
    return rom.readable ? 0 : 1;
}

int CameraCommand(Session& session, const Options& options) {
    Requester requester(session);
    DecodedRom rom = ReadRom(requester, options.nodeId);
    const RomUnit* unit = nullptr;
    for (const RomUnit& u : rom.units)
        if (u.kind == UnitKind::Iidc && u.hasCommandBase && unit == nullptr) unit = &u;
    std::string problem;
    if (!rom.readable)
        problem = "its configuration ROM could not be read (" + rom.failure + ")";
    else if (unit == nullptr)
        problem = "its configuration ROM has no IIDC unit with a command_regs_base";
    IidcCamera camera;
    if (unit != nullptr) {
        const uint64_t base = unit->commandBase;
        camera = DecodeCamera([&requester, &options, base](uint32_t offset) {
            return requester.Quadlet(options.nodeId, base + offset);
        });
        if (!camera.formatsRead) problem = "its inquiry registers could not be read";
    }
    const bool ok = problem.empty();
    if (options.json) {
        JsonObject o;
        o.Text("command", "camera").Text("nodeId", Hex(options.nodeId, 4));
        o.Number("processBits", options.process32 ? 32 : 64).Bool("ok", ok);
        if (!ok) o.Text("problem", problem);
        o.Text("vendorText", rom.vendorText).Text("modelText", rom.modelText);
        o.Text("unit", unit ? unit->kindName : "");
        o.Raw("commandRegsBase", unit ? JsonString(Hex(unit->commandBase, 12)) : "null");
        o.Raw("camera", unit ? CameraJson(camera) : "null");
        std::printf("%s\n", o.Str().c_str());
        return ok ? 0 : 1;
    }
    if (unit == nullptr) {
        std::printf("%s is not an IIDC camera: %s\n", NodeText(options.nodeId).c_str(), problem.c_str());
        return 1;
    }
    std::printf("IIDC camera at %s: \"%s\" \"%s\" (%s), command registers at %s\n", NodeText(options.nodeId).c_str(),
                rom.vendorText.c_str(), rom.modelText.c_str(), unit->kindName.c_str(), Hex(unit->commandBase, 12).c_str());
    std::fputs(CameraReport(camera).c_str(), stdout);
    if (!ok) std::printf("problem: %s\n", problem.c_str());
    return ok ? 0 : 1;
}

// ---- setup

bool ReadFile(const std::string& path, std::string* text, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot read bus file '" + path + "': " + std::strerror(errno);
        return false;
    }
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad()) {
        *error = "cannot read bus file '" + path + "'";
        return false;
    }
    *text = content.str();
    return true;
}

std::string Directory(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "kx1394: %s\n", message.c_str());
    return 1;
}

int Run(Session& session, const Options& options, const sim::BusDescription& description,
        const std::string& busName) {
    switch (options.command) {
    case Command::Bus: return ShowBus(session, options, busName);
    case Command::Reset: return Reset(session, options);
    case Command::Watch: return Watch(session, options).Run(description);
    case Command::Read:
    case Command::Write:
    case Command::Lock: return AsyncCommand(session, options);
    case Command::Phy: return PacketCommand(session, options);
    case Command::Stream: return options.receive ? StreamCommand(session, options) : PacketCommand(session, options);
    case Command::Rom: return RomCommand(session, options);
    case Command::Camera: return CameraCommand(session, options);
    case Command::Topology: return TopologyCommand(session, options);
    case Command::Speed: return SpeedCommand(session, options);
    default: return 2;
    }
}

int Main(const std::vector<std::string>& args) {
    std::vector<Options> commands;
    std::string error;
    if (!ParseCommandLine(args, &commands, &error)) {
        std::fprintf(stderr, "kx1394: %s\nTry 'kx1394 --help'.\n", error.c_str());
        return 2;
    }
    const Options& options = commands[0];
    if (options.command == Command::Help) {
        std::fputs(UsageText(), stdout);
        return 0;
    }
    std::string text = sim::kDefaultBusDescription;
    std::string busName = "default bus";
    if (!options.busFile.empty()) {
        if (!ReadFile(options.busFile, &text, &error)) return Fail(error);
        busName = "bus of " + options.busFile;
    }
    sim::BusDescription description;
    const std::string where = options.busFile.empty() ? "default bus" : options.busFile;
    if (!sim::ParseBusDescription(text, &description, &error)) return Fail(where + ": " + error);

    bool hasController = false;
    for (const sim::NodeDescription& node : description.nodes) hasController |= node.kind == "controller";
    if (!hasController)
        std::fprintf(stderr, "kx1394: note: %s has no node of kind controller: the local node is alone on its bus\n",
                     where.c_str());

    // Virtual time: ten seconds per command beyond what the watches and streams take.
    double seconds = 0;
    for (const Options& o : commands)
        seconds += o.command == Command::Watch ? o.watchSeconds : o.receive ? StreamVirtualSeconds(o) : 10;
    Session session(seconds);
    if (!session.BuildBus(description, Directory(options.busFile), &error)) return Fail(where + ": " + error);
    if (!session.Start(kSettle, options.process32, &error)) return Fail(error);
    // Every command runs, in order; the status is the worst of them.
    int status = 0;
    for (const Options& o : commands) {
        int rc = Run(session, o, description, busName);
        if (rc > status) status = rc;
        std::fflush(stdout);
    }
    return status;
}

}  // namespace
}  // namespace kx1394

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return kx1394::Main(args);
}
