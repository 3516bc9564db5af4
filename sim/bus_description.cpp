// The bus description format: parser and builder.
#include "bus_description.h"

#include <fstream>
#include <memory>
#include <set>
#include <sstream>

#include "bus.h"
#include "csr_node.h"
#include "iidc_camera.h"
#include "sbp2_unit.h"

namespace sim {

const char* const kDefaultBusDescription =
    "# Two IIDC cameras and an SBP-2 unit behind a three-port plain node.\n"
    "node pc controller\n"
    "node hub plain ports=3\n"
    "node cam1 camera guid=0x00ACDE4800000001\n"
    "node cam2 camera guid=0x00ACDE4800000002\n"
    "node disk sbp2\n"
    "connect pc.0 hub.0\n"
    "connect hub.1 cam1.0\n"
    "connect hub.2 cam2.0\n"
    "connect cam2.1 disk.0\n";

const NodeDescription* BusDescription::Find(const std::string& name) const {
    for (const NodeDescription& n : nodes)
        if (n.name == name) return &n;
    return nullptr;
}

namespace {

constexpr int kMaxPorts = 16;

std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    std::istringstream in(line.substr(0, line.find('#')));
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

bool ParseNumber(const std::string& text, uint64_t max, uint64_t* value) {
    if (text.empty()) return false;
    size_t used = 0;
    try {
        *value = std::stoull(text, &used, 0);
    } catch (...) {
        return false;
    }
    return used == text.size() && *value <= max && text[0] != '-' && text[0] != '+';
}

bool ParseSpeed(const std::string& text, Speed* speed) {
    static const char* const names[] = {"S100", "S200", "S400", "S800", "S1600", "S3200"};
    for (int i = 0; i < 6; ++i)
        if (text == names[i] || text == names[i] + 1) {
            *speed = Speed(i);
            return true;
        }
    return false;
}

bool ParseHexList(const std::string& text, std::vector<uint32_t>* quadlets) {
    std::string item;
    std::istringstream in(text);
    while (std::getline(in, item, ',')) {
        uint64_t v = 0;
        if (!ParseNumber(item, 0xFFFFFFFF, &v)) return false;
        quadlets->push_back(uint32_t(v));
    }
    return !quadlets->empty();
}

bool ValidName(const std::string& name) {
    if (name.empty()) return false;
    for (char c : name)
        if (!isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-') return false;
    return true;
}

// The parser's state: what has been declared, the ports in use and the trees formed so far.
class Parser {
public:
    Parser(BusDescription* d, std::string* error) : d_(d), error_(error) {}
    bool Line(int number, const std::string& text);

private:
    bool Fail(const std::string& message) {
        *error_ = "line " + std::to_string(line_) + ": " + message;
        return false;
    }
    bool Node(const std::vector<std::string>& words);
    bool Attribute(NodeDescription* n, const std::string& word, std::set<std::string>* seen);
    bool Connect(const std::vector<std::string>& words);
    bool Reset(const std::vector<std::string>& words);
    bool Check(const NodeDescription& n);
    bool Endpoint(const std::string& word, std::string* name, int* port);
    size_t Root(size_t i) { return parent_[i] == i ? i : parent_[i] = Root(parent_[i]); }

    BusDescription* d_;
    std::string* error_;
    int line_ = 0;
    std::map<std::string, size_t> index_;
    std::set<std::pair<std::string, int>> used_;
    std::vector<size_t> parent_;  // union-find over nodes: joined by cables
};

bool Parser::Line(int number, const std::string& text) {
    line_ = number;
    std::vector<std::string> words = Words(text);
    if (words.empty()) return true;
    if (words[0] == "node") return Node(words);
    if (words[0] == "connect") return Connect(words);
    if (words[0] == "reset") return Reset(words);
    return Fail("unknown statement '" + words[0] + "' (expected node, connect or reset)");
}

bool Parser::Node(const std::vector<std::string>& words) {
    if (words.size() < 3) return Fail("node needs a name and a kind: node NAME KIND [attributes]");
    NodeDescription n;
    n.name = words[1];
    n.kind = words[2];
    n.line = line_;
    if (!ValidName(n.name)) return Fail("bad node name '" + n.name + "' (letters, digits, _ and - only)");
    if (index_.count(n.name)) return Fail("node '" + n.name + "' is already declared");
    if (n.kind != "controller" && n.kind != "plain" && n.kind != "camera" && n.kind != "sbp2")
        return Fail("unknown node kind '" + n.kind + "' (controller, plain, camera, sbp2)");
    if (n.kind == "controller")
        for (const NodeDescription& other : d_->nodes)
            if (other.kind == "controller") return Fail("a second controller (the first is '" + other.name + "')");
    if (int(d_->nodes.size()) >= Bus::kMaxNodes) return Fail("more than 63 nodes");
    std::set<std::string> seen;
    for (size_t i = 3; i < words.size(); ++i)
        if (!Attribute(&n, words[i], &seen)) return false;
    if (!Check(n)) return false;
    index_[n.name] = d_->nodes.size();
    parent_.push_back(parent_.size());
    d_->nodes.push_back(n);
    return true;
}

bool Parser::Attribute(NodeDescription* n, const std::string& word, std::set<std::string>* seen) {
    size_t eq = word.find('=');
    if (eq == std::string::npos) return Fail("attribute '" + word + "' needs a value (name=value)");
    std::string key = word.substr(0, eq), value = word.substr(eq + 1);
    if (!seen->insert(key).second) return Fail("attribute '" + key + "' given twice");
    uint64_t v = 0;
    if (key == "speed") {
        if (!ParseSpeed(value, &n->speed)) return Fail("bad speed '" + value + "' (S100, S200, S400, S800, S1600, S3200)");
        n->hasSpeed = true;
    } else if (key == "ports") {
        if (!ParseNumber(value, kMaxPorts, &v) || v == 0) return Fail("bad port count '" + value + "' (1 to 16)");
        n->ports = int(v);
    } else if (key == "guid") {
        if (!ParseNumber(value, ~0ull, &v)) return Fail("bad guid '" + value + "' (a 64-bit number)");
        n->hasGuid = true;
        n->guid = v;
    } else if (key == "vendor" || key == "model") {
        if (!ParseNumber(value, 0xFFFFFF, &v)) return Fail("bad " + key + " '" + value + "' (a 24-bit number)");
        (key == "vendor" ? n->hasVendor : n->hasModel) = true;
        (key == "vendor" ? n->vendor : n->model) = uint32_t(v);
    } else if (key == "rom") {
        if (n->kind == "controller") return Fail("the controller's ROM is the one its driver maps");
        if (value.empty()) return Fail("rom= needs a file name or hex quadlets");
        bool hex = value.size() > 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X');
        if (hex && !ParseHexList(value, &n->romHex)) return Fail("bad ROM quadlets '" + value + "'");
        if (!hex) n->romFile = value;
    } else if (key == "crc") {
        if (value != "bad") return Fail("bad crc '" + value + "' (crc=bad)");
        if (n->kind == "controller") return Fail("the controller's ROM is the one its driver maps");
        n->badCrc = true;
    } else if (key == "gap" || key == "power") {
        const uint64_t max = key == "gap" ? 63 : 7;
        if (!ParseNumber(value, max, &v)) return Fail("bad " + key + " '" + value + "' (0 to " + std::to_string(max) + ")");
        (key == "gap" ? n->gap : n->power) = int(v);
    } else if (key == "rhb" || key == "link" || key == "contender" || key == "b1394") {
        if (value != "0" && value != "1") return Fail("bad " + key + " '" + value + "' (0 or 1)");
        if (key == "b1394" && n->kind != "camera") return Fail("b1394 is an attribute of cameras");
        int bit = value == "1" ? 1 : 0;
        (key == "rhb" ? n->rhb : key == "link" ? n->link : key == "contender" ? n->contender : n->b1394) = bit;
    } else if (key == "phy") {
        if (value != "1394a" && value != "1995") return Fail("bad phy '" + value + "' (1394a or 1995)");
        n->phy1995 = value == "1995";
    } else if (key == "format" || key == "mode") {
        if (n->kind != "camera") return Fail(key + " is an attribute of cameras");
        if (!ParseNumber(value, 7, &v)) return Fail("bad " + key + " '" + value + "' (0 to 7)");
        (key == "format" ? n->format : n->mode) = int(v);
    } else if (key == "rate") {
        if (n->kind != "camera") return Fail("rate is an attribute of cameras");
        static const char* const rates[] = {"1.875", "3.75", "7.5", "15", "30", "60", "120", "240"};
        for (int r = 0; r < 8; ++r)
            if (value == rates[r]) n->rate = r;
        if (n->rate < 0) return Fail("bad rate '" + value + "' (1.875, 3.75, 7.5, 15, 30, 60, 120 or 240)");
    } else if (key == "cyclemaster") {
        if (n->kind == "controller") return Fail("the controller is cycle master by its LinkControl.cycleMaster");
        if (!ParseNumber(value, 1, &v)) return Fail("bad cyclemaster '" + value + "' (0 or 1)");
        n->cycleMaster = v == 1;
    } else {
        return Fail("unknown attribute '" + key +
                    "' (speed, ports, guid, vendor, model, rom, crc, gap, rhb, link, contender, power, phy, format, "
                    "mode, rate, b1394, cyclemaster)");
    }
    return true;
}

// What the attributes of one node say together.
bool Parser::Check(const NodeDescription& n) {
    if (n.phy1995 && n.hasSpeed && n.speed > kS400) return Fail("a 1394-1995 PHY runs at S100 to S400");
    if (n.format < 0 && n.mode < 0 && n.rate < 0) return true;
    if (n.format < 0 || n.mode < 0) return Fail("a camera's video mode needs format= and mode=");
    if (n.format == 7) {
        if (n.rate >= 0) return Fail("format 7 takes no rate (its packet size sets the frame rate)");
        return true;
    }
    if (n.rate < 0) return Fail("a camera's video mode needs rate= (format " + std::to_string(n.format) + ")");
    if (n.format == 0) {
        const iidc::Format0Mode* m = iidc::Format0(uint32_t(n.mode));
        if (!m || n.rate > 5 || m->packetBytes[n.rate] == 0)
            return Fail("format 0 mode " + std::to_string(n.mode) + " has no packet at that rate");
    }
    return true;
}

bool Parser::Reset(const std::vector<std::string>& words) {
    if (words.size() < 2 || words.size() > 3) return Fail("reset needs a node: reset NAME [long|short]");
    ResetDescription r;
    r.line = line_;
    r.node = words[1];
    if (!index_.count(r.node)) return Fail("unknown node '" + r.node + "' (declare it before resetting from it)");
    if (words.size() == 3) {
        if (words[2] != "long" && words[2] != "short") return Fail("bad reset '" + words[2] + "' (long or short)");
        r.shortReset = words[2] == "short";
    }
    d_->resets.push_back(r);
    return true;
}

bool Parser::Endpoint(const std::string& word, std::string* name, int* port) {
    size_t dot = word.rfind('.');
    uint64_t v = 0;
    if (dot == std::string::npos || !ParseNumber(word.substr(dot + 1), kMaxPorts - 1, &v))
        return Fail("bad endpoint '" + word + "' (NODE.PORT)");
    *name = word.substr(0, dot);
    *port = int(v);
    auto it = index_.find(*name);
    if (it == index_.end()) return Fail("unknown node '" + *name + "' (declare it before connecting it)");
    const NodeDescription& n = d_->nodes[it->second];
    if (n.ports && *port >= n.ports)
        return Fail("node '" + *name + "' has no port " + std::to_string(*port) + " (ports=" + std::to_string(n.ports) + ")");
    if (used_.count({*name, *port})) return Fail("port " + word + " is already connected");
    return true;
}

bool Parser::Connect(const std::vector<std::string>& words) {
    if (words.size() != 3) return Fail("connect needs two endpoints: connect A.PORT B.PORT");
    ConnectionDescription c;
    c.line = line_;
    if (!Endpoint(words[1], &c.a, &c.portA) || !Endpoint(words[2], &c.b, &c.portB)) return false;
    if (c.a == c.b) return Fail("a node cannot be connected to itself");
    size_t ra = Root(index_[c.a]), rb = Root(index_[c.b]);
    if (ra == rb) return Fail("connecting " + c.a + " and " + c.b + " would close a loop");
    parent_[ra] = rb;
    used_.insert({c.a, c.portA});
    used_.insert({c.b, c.portB});
    d_->connections.push_back(c);
    return true;
}

bool Failed(std::string* error, int line, const std::string& message) {
    *error = "line " + std::to_string(line) + ": " + message;
    return false;
}

// The node a description asks for, with the kind's defaults where the description says nothing.
std::unique_ptr<Node> MakeNode(const NodeDescription& n, uint64_t serial, const std::vector<uint32_t>& romImage) {
    if (n.kind == "camera") {
        IidcCamera::Config c;
        c.name = n.name;
        if (n.ports) c.ports = n.ports;
        if (n.hasSpeed) c.speed = n.speed;
        c.guid = n.hasGuid ? n.guid : (uint64_t(c.vendorId) << 40) | serial;
        if (n.hasVendor) c.vendorId = n.vendor;
        if (n.hasModel) c.modelId = n.model;
        c.romImage = romImage;
        if (n.b1394 >= 0) c.b1394 = n.b1394 == 1;
        if (n.format == 7) {
            c.format7[size_t(n.mode)].present = true;
            c.presetFormat = 7, c.presetMode = uint32_t(n.mode);
        } else if (n.format >= 0) {
            c.rates[size_t(n.format)][size_t(n.mode)] |= uint8_t(1u << n.rate);
            c.presetFormat = uint32_t(n.format), c.presetMode = uint32_t(n.mode), c.presetRate = uint32_t(n.rate);
        }
        return std::make_unique<IidcCamera>(c);
    }
    if (n.kind == "sbp2") {
        Sbp2Unit::Config c;
        c.name = n.name;
        if (n.ports) c.ports = n.ports;
        if (n.hasSpeed) c.speed = n.speed;
        c.guid = n.hasGuid ? n.guid : (uint64_t(c.vendorId) << 40) | serial;
        if (n.hasVendor) c.vendorId = n.vendor;
        if (n.hasModel) c.modelId = n.model;
        return std::make_unique<Sbp2Unit>(c);
    }
    uint32_t vendor = n.hasVendor ? n.vendor : 0x00ACDE;
    RomDirectory root;
    root.Add(rom::kKeyVendor, vendor).Add(rom::kKeyNodeCapabilities, 0x0083C0);
    if (n.hasModel) root.Add(rom::kKeyModel, n.model);
    BusOptions options;
    options.maxRec = 0x8;
    options.maxRom = 2;
    options.linkSpd = uint8_t(n.hasSpeed ? n.speed : kS400);
    uint64_t guid = n.hasGuid ? n.guid : (uint64_t(vendor) << 40) | serial;
    return std::make_unique<CsrNode>(n.name, n.ports ? n.ports : 3, n.hasSpeed ? n.speed : kS400,
                                     ConfigRom::Build(options, guid, root));
}

// The PHY attributes of a node.
void ApplyPhy(const NodeDescription& n, Phy& phy) {
    if (n.gap >= 0) phy.SetGapCount(uint8_t(n.gap));
    if (n.rhb >= 0) phy.rootHoldoff = n.rhb == 1;
    if (n.link >= 0) phy.linkOn = n.link == 1;
    if (n.contender >= 0) phy.contender = n.contender == 1;
    if (n.power >= 0) phy.powerClass = uint8_t(n.power);
    if (n.phy1995) phy.standard = PhyStandard::k1394_1995;
}

}  // namespace

bool ParseBusDescription(const std::string& text, BusDescription* description, std::string* error) {
    *description = BusDescription();
    Parser parser(description, error);
    std::istringstream in(text);
    int number = 0;
    for (std::string line; std::getline(in, line);)
        if (!parser.Line(++number, line)) return false;
    return true;
}

bool LoadRomFile(const std::string& path, std::vector<uint32_t>* quadlets, std::string* error) {
    std::ifstream in(path);
    if (!in) {
        *error = "cannot read ROM file '" + path + "'";
        return false;
    }
    quadlets->clear();
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        std::string body = line.substr(0, line.find('#'));
        for (char& c : body)
            if (c == ',') c = ' ';
        std::istringstream words(body);
        for (std::string w; words >> w;) {
            uint64_t v = 0;
            if (!ParseNumber(w.rfind("0x", 0) == 0 || w.rfind("0X", 0) == 0 ? w : "0x" + w, 0xFFFFFFFF, &v)) {
                *error = path + ":" + std::to_string(number) + ": bad quadlet '" + w + "'";
                return false;
            }
            quadlets->push_back(uint32_t(v));
        }
    }
    if (quadlets->empty()) {
        *error = "ROM file '" + path + "' holds no quadlet";
        return false;
    }
    return true;
}

bool BuildBus(const BusDescription& d, Bus& bus, Node* controller, std::map<std::string, Node*>* nodes,
              std::string* error, const std::string& romDirectory) {
    nodes->clear();
    uint64_t serial = 1;
    for (const NodeDescription& n : d.nodes) {
        if (n.kind == "controller") {
            if (!controller || controller->bus() != &bus)
                return Failed(error, n.line, "the controller node must be made by the caller and added to the bus");
            (*nodes)[n.name] = controller;
            ApplyPhy(n, controller->phy());
            continue;
        }
        std::vector<uint32_t> image = n.romHex;
        if (image.empty() && !n.romFile.empty()) {
            std::string path = n.romFile[0] == '/' || romDirectory.empty() ? n.romFile : romDirectory + "/" + n.romFile;
            std::string why;
            if (!LoadRomFile(path, &image, &why)) return Failed(error, n.line, why);
        }
        std::unique_ptr<Node> made = MakeNode(n, serial++, image);
        ConfigRom& rom = static_cast<CsrNode*>(made.get())->rom();
        if (!image.empty() && n.kind != "camera") rom = ConfigRom(image);
        if (n.cycleMaster) {
            auto* node = static_cast<CsrNode*>(made.get());
            BusOptions options = node->rom().Options();
            options.cmc = true;
            node->rom().SetOptions(options);
            node->phy().rootHoldoff = true;
            node->SetCycleMaster(true);
        }
        if (n.badCrc) rom.SetQuadlet(0, rom.Quadlet(0) ^ 0x1);  // rom_crc_value off by one bit
        ApplyPhy(n, made->phy());
        Node* added = bus.Add(std::move(made));
        if (!added) return Failed(error, n.line, "the bus has no room for '" + n.name + "'");
        (*nodes)[n.name] = added;
    }
    for (const ConnectionDescription& c : d.connections) {
        Node* a = (*nodes)[c.a];
        Node* b = (*nodes)[c.b];
        if (c.portA >= a->phy().ports() || c.portB >= b->phy().ports())
            return Failed(error, c.line, "port out of range for the node as made");
        if (!bus.Connect(a, c.portA, b, c.portB))
            return Failed(error, c.line, "the bus refused to connect " + c.a + " and " + c.b);
    }
    for (const ResetDescription& r : d.resets) bus.RequestReset(r.shortReset, (*nodes)[r.node]);
    return true;
}

}  // namespace sim
