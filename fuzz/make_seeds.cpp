// Writes the seed corpora of the fuzz targets from real structures: the self-ID packets of the
// model's default bus and of a long chain, the configuration ROMs of the model's nodes and the
// driver's ROM inputs, the default bus description, and a valid record of every control code in
// both layouts. Usage: kx_fuzz_seeds DIRECTORY (the corpus root, fuzz/corpus).
#include <sys/stat.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bus.h"
#include "bus_description.h"
#include "csr_node.h"
#include "fuzz_input.h"
#include "kx1394.h"
#include "rom_requester.h"
#include "testing/standalone_host.h"

namespace {

std::string g_root;

void Write(const std::string& target, const std::string& name, const std::vector<uint8_t>& bytes) {
    std::string dir = g_root + "/" + target;
    mkdir(g_root.c_str(), 0755);
    mkdir(dir.c_str(), 0755);
    std::string path = dir + "/" + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        std::perror(path.c_str());
        std::exit(1);
    }
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

struct Bus {
    sim::StandaloneHost host;
    sim::Bus bus{host};
    std::map<std::string, sim::Node*> nodes;
};

// A bus from a description, its first reset settled.
std::unique_ptr<Bus> Build(const std::string& text) {
    auto b = std::make_unique<Bus>();
    auto requester = std::make_unique<kxfuzz::RomRequester>();
    requester->phy().contender = true;
    sim::Node* controller = b->bus.Add(std::move(requester));
    sim::BusDescription d;
    std::string error;
    if (!sim::ParseBusDescription(text, &d, &error) || !sim::BuildBus(d, b->bus, controller, &b->nodes, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::exit(1);
    }
    b->host.RunFor(20 * sim::kTicksPerMillisecond);
    return b;
}

std::string Chain(int count, int ports) {
    std::string text = "node pc controller\n";
    for (int i = 0; i < count; ++i) text += "node n" + std::to_string(i) + " plain ports=" + std::to_string(ports) + "\n";
    text += "connect pc.0 n0.0\n";
    for (int i = 1; i < count; ++i)
        text += "connect n" + std::to_string(i - 1) + ".1 n" + std::to_string(i) + ".0\n";
    return text;
}

void SelfIdSeeds(const std::map<std::string, std::vector<uint32_t>>& sets) {
    for (const auto& [name, packets] : sets) {
        for (uint8_t damage = 0; damage < 7; ++damage) {
            if (damage != 0 && name != "default") continue;
            kxfuzz::Output o;
            o.U8(0);       // packets laid out by the target
            o.U8(5);       // generation
            o.U8(damage);  // none, bad inverse, wrong generation, selfIDError, junk, count, truncation
            o.U8(1);       // where
            for (uint32_t p : packets) o.U32(p);
            Write("self_id", name + "-" + std::to_string(damage), o.bytes);
        }
        // The same reception as a raw buffer.
        kxfuzz::Output raw;
        raw.U8(1);
        uint32_t quadlets = 1 + 2 * uint32_t(packets.size());
        raw.U32((5u << 16) | (quadlets << 2));
        raw.U32((5u << 16) | 0x1234);
        for (uint32_t p : packets) {
            raw.U32(p);
            raw.U32(~p);
        }
        Write("self_id", name + "-raw", raw.bytes);

        for (uint8_t fault = 0; fault < 5; ++fault) {
            if (fault != 0 && name != "default") continue;
            kxfuzz::Output o;
            o.U8(fault);  // none, bad inverse, wrong generation, junk after, selfIDError
            o.U8(1);      // the links see these packets; a long reset
            o.U8(20);
            for (uint32_t p : packets) o.U32(p);
            Write("self_id_bus", name + "-" + std::to_string(fault), o.bytes);
        }
        if (name == "default") {
            // The same reception with the nodes' ROMs read after each reset.
            kxfuzz::Output o;
            o.U8(0);
            o.U8(5);
            o.U8(20);
            for (uint32_t p : packets) o.U32(p);
            Write("self_id_bus", name + "-enumerated", o.bytes);
        }
    }
}

void RomSeeds(const std::map<std::string, std::vector<uint32_t>>& roms) {
    int i = 0;
    for (const auto& [name, quadlets] : roms) {
        kxfuzz::Output o;
        // The controller's BusOptions register (max_rec 512 bytes, S400 link) and a GUID.
        o.U32(0x0000A002u + uint32_t(i) * 0x1000u);
        o.U32(0x00ACDE48u);
        o.U32(0x00000001u + uint32_t(i));
        o.U16(uint16_t(quadlets.size()));
        for (uint32_t q : quadlets) o.U32(q);
        o.U16(5);    // block to repair
        o.U16(0);    // bytes to read: offset, length
        o.U16(20);
        o.U16(0);    // reads over the bus: quadlet 0, a block of the bus information block, the root
        o.U16(0);
        o.U16(4);
        o.U16(16);
        o.U16(20);
        o.U16(0);
        o.U16(20);
        o.U16(32);
        Write("config_rom", name, o.bytes);
        ++i;
    }
}

void BusDescriptionSeeds() {
    auto text = [](const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); };
    Write("bus_description", "default", text(sim::kDefaultBusDescription));
    Write("bus_description", "attributes",
          text("# every attribute\nnode pc controller speed=S800 ports=2\n"
               "node cam camera speed=S400 guid=0x0011223344556677 vendor=0x00ACDE model=7\n"
               "node odd plain ports=1 speed=100 rom=0x04040000,0x31333934\n"
               "connect pc.1 cam.0\nconnect odd.0 cam.1\n"));
    std::string withFile = "node pc controller\nnode r plain rom=image.rom\nconnect pc.0 r.0\n";
    withFile.push_back('\0');
    withFile += "# bus information block\n0x04040000 0x31333934, 0xE0FF8000\n0x00ACDE48 0x00000001 # GUID\n";
    Write("bus_description", "rom-file", text(withFile));
    Write("bus_description", "chain", text(Chain(6, 3)));
    Write("bus_description", "errors", text("node a plain\nnode a camera\nconnect a.0 b.0\n"));
}

struct CodeSeed {
    uint32_t code;
    uint8_t in;
    uint8_t out;
    bool handle;  // the record starts with an event handle
};

void ControlSeeds() {
    const CodeSeed codes[] = {
        {IOCTL_ASYNC_READ, 96, 0, false},           {IOCTL_ASYNC_WRITE, 96, 0, false},
        {IOCTL_ASYNC_LOCK, 96, 0, false},           {IOCTL_ISOCH_OPEN, 40, 1, false},
        {IOCTL_ISOCH_CLOSE, 8, 1, false},           {IOCTL_ISOCH_ATTACH_BUFFERS, 24, 0, false},
        {IOCTL_ISOCH_FLUSH, 8, 1, false},           {IOCTL_KX1394_UNUSED_808, 0, 0, false},
        {IOCTL_SET_BUS_RESET_EVENT, 8, 0, true},    {IOCTL_SET_BUS_READY_EVENT, 8, 0, true},
        {IOCTL_GET_INTERFACE_VERSION, 0, 12, false}, {IOCTL_GET_OHCI_VERSION, 0, 4, false},
        {IOCTL_GET_LOCAL_GUID, 0, 8, false},        {IOCTL_GET_LOCAL_NODE, 0, 2, false},
        {IOCTL_GET_NODE_COUNT, 0, 2, false},        {IOCTL_GET_LINK_ACTIVE_NODES, 0, 10, false},
        {IOCTL_GET_BUS_RESET_COUNT, 0, 5, false},   {IOCTL_GET_BUS_RESET_STATE, 0, 4, false},
        {IOCTL_GET_NODE_SPEED, 2, 2, false},        {IOCTL_GET_IRM_NODE, 0, 2, false},
        {IOCTL_BUS_RESET, 4, 4, false},             {IOCTL_SEND_PHY_PACKET, 4, 1, false},
        {IOCTL_ALLOCATE_ADDRESS_RANGE, 48, 1, false}, {IOCTL_FREE_ADDRESS_RANGE, 8, 1, false},
        {IOCTL_SEND_RESPONSE, 24, 1, false},        {IOCTL_DISCARD_REQUEST, 8, 1, false},
        {IOCTL_DISCARD_ALL_REQUESTS, 8, 1, false},  {IOCTL_REGISTER_CLIENT, 8, 0, true},
        {IOCTL_ASYNC_STREAM, 24, 1, false},
    };
    for (const CodeSeed& c : codes) {
        for (uint8_t program = 0; program < 2; ++program) {
            kxfuzz::Output o;
            o.U8(0);        // a request from the main thread
            o.U8(program);  // 0: the 64-bit program, 1: the 32-bit one
            o.U8(uint8_t(((c.code >> 2) & 0xFFF) - 0x800));
            o.U8(c.in);
            o.U8(c.out);
            std::vector<uint8_t> record(c.in, 0);
            if (c.code == IOCTL_GET_NODE_SPEED) record = {0xC1, 0xFF};  // node 1 of the local bus
            if (c.code == IOCTL_BUS_RESET) record = {1, 0, 0, 0};       // a short reset
            if (c.code == IOCTL_SEND_PHY_PACKET) record = {0, 0, 0, 0x80};  // a configuration packet
            o.Bytes(record.data(), record.size());
            o.U8(c.handle ? 0x80 : 0);  // the program's own event at offset 0
            if (c.handle) o.U8(0);
            char name[64];
            std::snprintf(name, sizeof name, "%03X-%s", (c.code >> 2) & 0xFFF, program ? "32" : "64");
            Write("user_control", name, o.bytes);
        }
    }
    // A script: the node count asked from a second thread while the bus resets, then the reset
    // count and registrations from both programs.
    kxfuzz::Output o;
    o.U8(6); o.U8(0);                                  // a long reset from the model
    o.U8(4); o.U8(0); o.U8(0x0F); o.U8(0); o.U8(2); o.U8(0);  // GET_NODE_COUNT from a second thread
    o.U8(5); o.U8(0); o.U8(10);                        // 1 ms passes
    o.U8(0); o.U8(1); o.U8(0x09); o.U8(8); o.U8(0);    // SET_BUS_RESET_EVENT, 32-bit program
    for (int i = 0; i < 8; ++i) o.U8(0);
    o.U8(0x80); o.U8(0);                               // its own event
    o.U8(8); o.U8(0);                                  // cam1 unplugged
    o.U8(0); o.U8(0); o.U8(0x11); o.U8(0); o.U8(5);    // GET_BUS_RESET_COUNT
    o.U8(0);
    Write("user_control", "script-reset", o.bytes);
}


// --- The AR walk and the receive path -------------------------------------------------------------

// A packet of the laid-out form of fuzz_ar_walk: tcode, 16 header bytes, data_length.
void LaidPacket(kxfuzz::Output& o, uint8_t tcode, uint16_t dataLength) {
    o.U8(uint8_t(tcode << 4));
    const uint8_t header[16] = {uint8_t(tcode << 4), 0x04, 0xC0, 0xFF, 0x00, 0x00, 0xC1, 0xFF,
                                0x00, 0x00, 0x00, 0xF0, 0x00, 0x00, 0x00, 0x00};
    o.Bytes(header, sizeof header);
    o.U16(dataLength);
}

void ArSeeds() {
    // Four 64-byte buffers, the walk 12 bytes before the end of the first: every packet straddles.
    for (uint8_t tail : {uint8_t(0), uint8_t(0x81)}) {
        kxfuzz::Output o;
        o.U8(1);
        o.U8(3);
        o.U16(15);
        o.U8(0);
        o.U16(13);
        LaidPacket(o, 0x1, 8);    // write block
        LaidPacket(o, 0x6, 0);    // read quadlet response
        LaidPacket(o, 0xB, 8);    // lock response
        LaidPacket(o, 0xE, 0);    // PHY packet
        o.U8(tail);               // the last one cut short, or whole
        Write("ar_walk", tail != 0 ? "straddle-cut" : "straddle", o.bytes);
    }
    // 8192-byte buffers as the driver has them, a packet of every tcode (the invalid ones stop it).
    for (uint8_t tcode = 0; tcode < 16; ++tcode) {
        kxfuzz::Output o;
        o.U8(1);
        o.U8(15);
        o.U16(2047);
        o.U8(0);
        o.U16(0);
        LaidPacket(o, tcode, 40);
        LaidPacket(o, 0x2, 0);
        o.U8(0);
        char name[32];
        std::snprintf(name, sizeof name, "tcode-%X", tcode);
        Write("ar_walk", name, o.bytes);
    }
    kxfuzz::Output raw;
    raw.U8(0);
    raw.U8(1);
    raw.U16(255);
    raw.U8(0);
    raw.U16(0);
    raw.U16(20);
    const uint8_t quadletWrite[20] = {0x00, 0x04, 0xC0, 0xFF, 0x00, 0x00, 0xC1, 0xFF, 0x00, 0x00,
                                      0x00, 0xF0, 0x12, 0x34, 0x56, 0x78, 0x00, 0x00, 0x11, 0x04};
    raw.Bytes(quadletWrite, sizeof quadletWrite);
    raw.U16(20);
    raw.U16(0);
    raw.U16(0);
    Write("ar_walk", "raw-quadlet-write", raw.bytes);

    // fuzz_ar_receive: a held read (quadlet, block, lock) answered by a response image.
    for (uint8_t kind = 0; kind < 3; ++kind) {
        kxfuzz::Output o;
        o.U8(5);
        o.U8(kind);   // the program's request to the held peer
        o.U8(4);      // block: 20 bytes
        o.U8(0);      // ROM quadlet 0
        o.U8(1);      // lock: compare_swap
        o.U8(2);
        o.U8(0);      // a response image to it
        o.U8(0);      // request 0
        o.U8(0);      // the matching tcode, label, rcode 0, the request's length
        o.U32(0x31333934u);
        for (int i = 0; i < 24; ++i) o.U8(uint8_t(i));
        Write("ar_receive", "held-answered-" + std::to_string(kind), o.bytes);
    }
    for (uint8_t tcode = 0; tcode < 9; ++tcode) {
        kxfuzz::Output o;
        o.U8(7);      // the peer answers by itself
        o.U8(0);
        o.U8(4);      // a packet from the peer
        o.U8(tcode);
        o.U8(3);
        o.U8(0);
        o.U8(1);
        o.U16(0x100);
        o.U16(16);
        for (int i = 0; i < 16; ++i) o.U8(uint8_t(i));
        Write("ar_receive", "peer-packet-" + std::to_string(tcode), o.bytes);
    }
    // The peer sets the controller's SPLIT_TIMEOUT to five seconds, then a request stays held: the
    // target waits for it under the time-out the driver started with.
    kxfuzz::Output split;
    split.U8(4);       // a packet from the peer
    split.U8(0);       // a quadlet write
    split.U8(0);       // label
    split.U8(0);       // to the CSR space
    split.U16(0x018);  // SPLIT_TIMEOUT_HI
    split.U16(0);
    split.U32(5);
    split.U8(5);       // the program's quadlet read to the held peer
    split.U8(0);
    split.U8(0);
    split.U8(0);
    split.U8(0);
    Write("ar_receive", "long-split-timeout", split.bytes);
    kxfuzz::Output garbage;
    garbage.U8(0);
    garbage.U8(5);
    for (int i = 0; i < 20; ++i) garbage.U8(uint8_t(0x30 + i));
    garbage.U8(8);  // the response context
    garbage.U8(3);
    for (int i = 0; i < 12; ++i) garbage.U8(uint8_t(0x70 + i));
    Write("ar_receive", "garbage", garbage.bytes);
}

// --- User asynchronous requests ------------------------------------------------------------------

// An address field of fuzz_user_async: inside the program's large buffer at `quadlet` * 4.
void Large(kxfuzz::Output& o, uint8_t quadlet) {
    o.U8(4);
    o.U8(quadlet);
}

void AsyncRecord(kxfuzz::Output& o, uint8_t node, uint8_t offsetKind, uint8_t offset, uint8_t lengthKind,
                 uint8_t length, uint8_t extended) {
    o.U8(node);
    o.U8(offsetKind);
    o.U8(offset);
    o.U8(lengthKind);
    if (lengthKind == 7 || lengthKind == 3) o.U8(length);
    o.U8(0);            // offset_high as it is
    o.U8(0);            // the program's own event
    Large(o, 16);       // data
    Large(o, 0);        // status
    Large(o, 1);        // ack
    Large(o, 2);        // rcode
    o.U8(extended);
    o.U64(0x0102030405060708ull);
    o.U64(0x1112131415161718ull);
    o.U8(extended != 0 ? 1 : 0);
}

void UserAsyncSeeds() {
    for (uint8_t program = 0; program < 2; ++program) {
        const std::string width = program ? "32" : "64";
        struct Row {
            const char* name;
            uint8_t kind, offsetKind, offset, lengthKind, length, extended;
        } rows[] = {
            {"rom-quadlet", 0, 0, 0, 0, 0, 0}, {"rom-block", 0, 0, 0, 7, 4, 0},
            {"register-write", 1, 2, 3, 0, 0, 0}, {"register-block-write", 1, 2, 0, 7, 3, 0},
            {"lock-4", 2, 2, 1, 0, 0, 1}, {"lock-8", 2, 2, 2, 2, 0, 1},
        };
        for (const Row& r : rows) {
            kxfuzz::Output o;
            o.U8(0);
            o.U8(uint8_t(program | (r.kind << 1)));
            AsyncRecord(o, 0, r.offsetKind, r.offset, r.lengthKind, r.length, r.extended);
            Write("user_async", r.name + std::string("-") + width, o.bytes);
        }
        kxfuzz::Output stream;
        stream.U8(0);
        stream.U8(uint8_t(program | (3 << 1)));
        stream.U8(5);    // channel 5
        stream.U8(0);
        stream.U8(2);    // S400
        stream.U8(1);    // sy
        stream.U8(0);    // tag
        stream.U8(7);    // 16 bytes
        stream.U8(3);
        Large(stream, 16);
        Write("user_async", "stream-" + width, stream.bytes);
        kxfuzz::Output phy;
        phy.U8(0);
        phy.U8(uint8_t(program | (4 << 1)));
        phy.U32(0x007F0000u);  // a configuration packet: gap count 63
        Write("user_async", "phy-" + width, phy.bytes);
        // The peer holds the read, then answers it.
        kxfuzz::Output held;
        held.U8(7);
        held.U8(0);  // hold
        held.U8(0);
        held.U8(uint8_t(program));
        AsyncRecord(held, 0, 0, 0, 7, 4, 0);
        held.U8(7);
        held.U8(2);  // a response of the peer to the held request
        held.U8(0);
        held.U8(0);
        held.U8(0);
        for (int i = 0; i < 20; ++i) held.U8(uint8_t(i));
        Write("user_async", "held-answered-" + width, held.bytes);
    }
}

// --- Isochronous receive ----------------------------------------------------------------------------

void IsoRecordSeeds() {
    for (uint8_t choice = 0; choice < 2; ++choice) {
        for (uint32_t mode = 1; mode <= 3; ++mode) {
            kxfuzz::Output o;
            o.U8(choice);
            o.U64(0x5EED);
            o.U32(mode);
            o.U8(3);                 // channel
            o.U8(2);                 // S400
            o.U16(0);
            o.U32(mode == 3 ? 2 : 0);
            o.U32(320);              // payload quadlets
            o.U32(240);              // packets
            o.U32(0x44);             // 32-bit layout: the event; 64-bit: reserved
            o.U64(0x48);             // 64-bit layout: the event
            o.U8(20);                // map registers
            o.U8(mode == 2);         // buffer-fill for mode 2
            o.U16(1280);
            o.U8(2);
            o.U32(0x00110000u);
            Write("iso_records", "open-mode" + std::to_string(mode) + (choice ? "-32" : "-64"), o.bytes);
        }
    }
}

void IsoReceiveSeeds() {
    const struct {
        const char* name;
        uint8_t settings;
    } kinds[] = {{"direct", 0x00}, {"buffer-fill", 0x02}, {"copy", 0x01}, {"bandwidth", 0x20}};
    for (const auto& kind : kinds) {
        for (uint8_t mode = 1; mode <= 3; ++mode) {
            for (uint8_t program = 0; program < 2; ++program) {
                kxfuzz::Output o;
                o.U8(kind.settings);
                // The op byte: bit 7 the program, the rest modulo 10 the operation (128 % 10 = 8).
                o.U8(program ? 130 : 0);       // open
                o.U8(0);                       // key 1
                o.U8(uint8_t(mode - 1));
                o.U8(2);                       // channel 2
                o.U8(2);                       // S400
                o.U8(2);                       // header quadlets (mode 3)
                o.U8(79);                      // 80 payload quadlets
                o.U8(7);                       // 8 packets
                o.U8(program ? 132 : 2);       // attach two buffers
                o.U8(0);
                o.U8(2);
                for (int i = 0; i < 2; ++i) {
                    o.U8(0);
                    o.U8(0);
                    o.U8(3);                   // data buffer of the stream's size
                    if (mode == 3) o.U8(3);    // header buffer of the stream's size
                }
                o.U8(4);                       // the talker sends sixteen packets
                o.U8(15);
                for (int i = 0; i < 16; ++i) {
                    o.U8(0);
                    o.U8(0);
                    o.U8(i == 0 ? 1 : 0);
                    o.U8(8);
                }
                o.U8(5);                       // 10 ms
                o.U8(19);
                o.U8(0x06);                    // flush
                o.U8(0);
                o.U8(0x10);                    // close
                o.U8(0);
                char name[64];
                std::snprintf(name, sizeof name, "%s-mode%u-%s", kind.name, mode, program ? "32" : "64");
                Write("iso_receive", name, o.bytes);
            }
        }
    }
}

// --- Class requests and enumeration ------------------------------------------------------------------

void ClassIrbSeeds() {
    for (uint8_t function = 0; function <= 40; ++function) {
        kxfuzz::Output o;
        o.U8(0x80);
        o.U8(function);
        o.U8(0);
        for (int i = 0; i < 40; ++i) o.U8(1);
        char name[32];
        std::snprintf(name, sizeof name, "function-%02u", function);
        Write("class_irb", name, o.bytes);
    }
    // A camera driver's stream: a resource on channel 0, two buffers, listen, packets, stop, free.
    kxfuzz::Output o;
    o.U8(0);
    o.U8(5);          // ALLOCATE_RESOURCES
    o.U8(0);
    o.U8(2);          // S400
    o.U16(0x0001);    // listening
    o.U8(0);          // channel 0
    o.U16(320);
    o.U8(2);          // buffers
    o.U8(1);
    o.U16(2560);
    o.U8(0);
    o.U64(0);
    o.U8(0);
    o.U8(6);          // ATTACH_BUFFERS
    o.U8(0);
    o.U8(0);          // the resource
    o.U8(2);
    for (int i = 0; i < 2; ++i) {
        o.U8(0);
        o.U8(0x80);
        o.U16(2560);
        o.U8(1);
        o.U16(320);
        o.U8(0);
        o.U8(0);
        o.U8(1);
    }
    o.U8(0);
    o.U8(1);
    o.U8(0);
    o.U8(11);         // LISTEN
    o.U8(0);
    o.U8(0);
    o.U8(0);
    o.U32(0);
    o.U8(6);          // the peer talks on channel 0
    o.U8(1);
    o.U8(7);
    for (int i = 0; i < 8; ++i) {
        o.U8(0);
        o.U8(0);
        o.U8(0);
        o.U8(i == 0 ? 1 : 0);
        o.U16(320);
    }
    o.U8(40);
    o.U8(0);
    o.U8(12);         // STOP
    o.U8(0);
    o.U8(0);
    o.U8(0);
    Write("class_irb", "stream", o.bytes);
}

void EnumerationSeeds(const std::map<std::string, std::vector<uint32_t>>& roms) {
    for (const auto& [name, quadlets] : roms) {
        for (uint8_t faults : {uint8_t(0), uint8_t(0x11)}) {
            kxfuzz::Output o;
            o.U8(faults);
            o.U16(uint16_t(quadlets.size()));
            for (uint32_t q : quadlets) {
                o.U8(uint8_t(q >> 24));
                o.U8(uint8_t(q >> 16));
                o.U8(uint8_t(q >> 8));
                o.U8(uint8_t(q));
            }
            Write("enumeration", name + (faults ? "-busy" : ""), o.bytes);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: kx_fuzz_seeds DIRECTORY\n");
        return 2;
    }
    g_root = argv[1];
    std::unique_ptr<Bus> standard = Build(sim::kDefaultBusDescription);
    std::unique_ptr<Bus> chain = Build(Chain(62, 3));
    std::unique_ptr<Bus> wide = Build("node pc controller\nnode w plain ports=16\nnode c camera\nconnect pc.0 w.0\n"
                                      "connect w.15 c.0\n");
    SelfIdSeeds({{"default", standard->bus.SelfIds()},
                 {"chain63", chain->bus.SelfIds()},
                 {"sixteen-ports", wide->bus.SelfIds()}});

    std::map<std::string, std::vector<uint32_t>> roms;
    for (const auto& [name, node] : standard->nodes) {
        if (auto* csr = dynamic_cast<sim::CsrNode*>(node)) roms[name] = csr->rom().quadlets();
    }
    roms["empty"] = {};
    RomSeeds(roms);
    EnumerationSeeds(roms);
    BusDescriptionSeeds();
    ControlSeeds();
    ArSeeds();
    UserAsyncSeeds();
    IsoRecordSeeds();
    IsoReceiveSeeds();
    ClassIrbSeeds();
    return 0;
}
