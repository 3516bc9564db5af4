// The driver's asynchronous receive path on the model: the AR request and response contexts get
// what the input says, through the controller's DMA into the driver's own receive buffers and
// the receive interrupt, deferred call and walk:
// - raw bytes stored as a faulty link would store them (ArContext::StoreRaw): garbage, any tcode,
//   packets cut short, wrong lengths and trailers, straddling the 8192-byte buffers;
// - response images built on requests the driver really sent and the peer node holds (fuzz/
//   peer_node.h): the right or a wrong label, tcode, rcode, data_length and data, a trailer, maybe
//   cut short, so that they reach the response matching with a request pending;
// - well-formed requests and responses of every kind from the peer over the bus (the model stores
//   them in the receive format, several to a buffer, straddling as they come);
// - user reads, block reads and locks to the held peer, to have requests pending; bus resets.
//
// Checked beyond the sanitizers and the host kernel's rules: no device access outside the
// driver's DMA memory; after the input, once every request has ended, no packet, pending request
// or label is left; both receive contexts run (after a bus reset when bytes were stored by hand:
// a context stopped by an invalid packet, or one whose walk waits for the rest of a packet cut
// short, needs one), and a read of the peer's configuration ROM returns the ROM.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "core/controller.h"
#include "driver_on_bus.h"
#include "fuzz_input.h"
#include "hk_ke_test.h"
#include "ohci/pool_tags.h"
#include "peer_node.h"
#include "user_program.h"

namespace {

using kxfuzz::kMs;

constexpr uint64_t kRomBase = 0xFFFFF0000400ull;
constexpr uint32_t kArRequestControl = 0x1C0;
constexpr uint32_t kArResponseControl = 0x1E0;
constexpr uint32_t kRun = 1u << 15;
constexpr uint32_t kDead = 1u << 11;

kxfuzz::PeerNode* g_peer = nullptr;
kxfuzz::Program g_program;
ULONG g_baselinePackets = 0;

kxfuzz::DriverOnBus& Setup() {
    static bool done = false;
    kxfuzz::BusSetup setup;
    setup.description = "node pc controller\n";
    setup.enumerate = false;
    setup.addNodes = [](kxfuzz::DriverOnBus& d) { g_peer = d.Join(std::make_unique<kxfuzz::PeerNode>(), 0); };
    kxfuzz::DriverOnBus& d = kxfuzz::DriverOnBus::Get(setup);
    if (done) return d;
    done = true;
    g_program.Start(false, "receive.exe");
    g_program.Open();
    (void)g_program.RegisterClient();
    hk::RunFor(10 * kMs);
    g_baselinePackets = hk::mm::TagCount(kTagAsyncPacket);
    return d;
}

uint64_t Address(const uint8_t* p) { return reinterpret_cast<uintptr_t>(p); }

// A user request to the peer with its results in one 512-byte block of the program's memory
// (status at 0, ack at 4, rcode at 5, data from 16), one block per slot so that the requests of
// an input do not share them. Returns the block; *result gets the call's status.
uint8_t* PeerRequest(ULONG code, uint64_t offset, uint32_t length, uint8_t extended, uint32_t slot,
                     NTSTATUS* result) {
    constexpr size_t kBlock = 512;
    static uint8_t* memory = static_cast<uint8_t*>(hk::user::Alloc(g_program.process, 16 * kBlock));
    uint8_t* block = memory + (slot % 16) * kBlock;
    std::memset(block, 0xA5, kBlock);
    std::vector<uint8_t> record(96, 0);
    kxfuzz::Put16(record, 0x00, g_peer->NodeId());
    kxfuzz::Put64(record, 0x08, offset);
    kxfuzz::Put32(record, 0x10, length < kBlock - 16 ? length : uint32_t(kBlock - 16));
    kxfuzz::Put64(record, 0x20, Address(block + 16));
    kxfuzz::Put64(record, 0x28, Address(block));
    kxfuzz::Put64(record, 0x30, Address(block + 4));
    kxfuzz::Put64(record, 0x38, Address(block + 5));
    record[0x40] = extended;
    kxfuzz::Put64(record, 0x48, 0x11111111);
    kxfuzz::Put64(record, 0x50, 0x22222222);
    *result = g_program.Call(code, record, nullptr, 0, nullptr);
    return block;
}

void PutLe(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
}

// The receive format of a response to one of the held requests, as the input shapes it.
std::vector<uint8_t> ResponseImage(kxfuzz::Input& in) {
    std::vector<uint8_t> out;
    if (g_peer->requests.empty()) return out;
    const sim::Packet& request = g_peer->requests[in.U8() % g_peer->requests.size()];
    static const uint8_t kAnswer[16] = {2, 2, 2, 0, 6, 7, 6, 7, 0, 0xB, 0, 0xB, 0, 0, 0, 0};
    uint8_t pick = in.U8();
    uint8_t tcode = (pick & 0x80) ? pick & 0xF : kAnswer[request.Tcode()];
    uint8_t label = uint8_t((request.Tlabel() + ((pick & 0x40) ? in.U8() : 0)) & 0x3F);
    uint32_t rcode = (pick & 0x20) ? in.U8() & 0xF : 0;
    uint32_t dataLength = (pick & 0x10) ? in.U16() : request.DataLength();
    if (tcode == 0xB && !(pick & 0x10)) dataLength = request.DataLength() / 2;
    PutLe(out, (uint32_t(request.SourceId()) << 16) | (uint32_t(label) << 10) | (1u << 8) | (uint32_t(tcode) << 4));
    PutLe(out, (uint32_t(g_peer->NodeId()) << 16) | (rcode << 12));
    PutLe(out, 0);
    if (tcode != 2) {
        if (tcode == 6) {
            uint32_t q = in.U32();
            for (int i = 3; i >= 0; --i) out.push_back(uint8_t(q >> (8 * i)));  // the data quadlet in bus order
        } else {
            PutLe(out, (dataLength << 16) | request.ExtendedTcode());
            uint32_t carried = (pick & 0x08) ? in.U16() % 9000 : dataLength;
            for (uint32_t i = 0; i < ((carried + 3) & ~3u); ++i) out.push_back(uint8_t(i < carried ? in.U8() ^ i : 0));
        }
    }
    PutLe(out, (pick & 0x04) ? in.U32() : 0x04710000u);  // trailer: ack_complete at S400, or anything
    if (pick & 0x02) out.resize(out.size() - 4 * (in.U8() % (out.size() / 4)));
    return out;
}

// A packet from the peer over the bus: a request of any kind to the controller, or a response.
void PeerPacket(kxfuzz::Input& in, uint8_t flags, uint16_t controller) {
    static const uint8_t kTcodes[] = {0, 1, 4, 5, 9, 2, 6, 7, 0xB};
    sim::Packet p;
    uint8_t tcode = kTcodes[flags % 9];
    p.SetTcode(tcode);
    p.SetTlabel(in.U8());
    p.SetRetry(1);
    if (p.IsResponse()) {
        p.SetRcode(in.U8() & 0xF);
        if (!g_peer->requests.empty()) p.SetTlabel(g_peer->requests[in.U8() % g_peer->requests.size()].Tlabel());
    } else {
        // Somewhere the controller does not serve itself (the AR request context), or its ROM and
        // CSRs (served in hardware).
        p.SetOffset((in.U8() & 1) ? 0xFFFF00000000ull + (in.U16() & ~3u) : 0xFFFFF0000000ull + (in.U16() & 0xFFC));
    }
    uint16_t length = in.U16() % 4200;
    if (tcode == 1 || tcode == 7 || tcode == 9 || tcode == 0xB) {
        if (tcode == 9 || tcode == 0xB) length = uint16_t(4 * (1 + in.U8() % 4));
        p.SetDataLengthAndExtendedTcode(length, uint16_t(tcode == 9 || tcode == 0xB ? 1 + in.U8() % 6 : 0));
        p.data = in.Bytes(length);
        p.data.resize(length, 0x3C);
    } else if (tcode == 5) {
        p.SetDataLengthAndExtendedTcode(length, 0);
    } else if (tcode == 0 || tcode == 6) {
        p.header[3] = in.U32();
    }
    (void)g_peer->Send(p, controller);
}

bool ContextRunning(kxfuzz::DriverOnBus& d, uint32_t block) {
    uint32_t control = d.sim->controller->ReadRegister(block);
    return (control & kRun) != 0 && (control & kDead) == 0;
}

bool Quiet() {
    OhciController* controller = kxfuzz::DriverOnBus::Get().Controller();
    return IsListEmpty(&controller->PendingList) && hk::mm::TagCount(kTagAsyncPacket) == g_baselinePackets &&
           !kxfuzz::DriverOnBus::Get().sim->bus.InReset();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kxfuzz::DriverOnBus& d = Setup();
    kxfuzz::Input in(data, size);
    g_peer->Reset();
    g_peer->hold = true;
    const uint16_t controller = uint16_t(0xFFC0 | d.sim->controller->phy().phyId);
    // Bytes stored by hand may leave a packet cut short at the head of a buffer: the walk then waits
    // for its rest and takes the next packets as it, as it must (buffer-fill mode has no way to
    // find the next packet). Only a bus reset, which re-arms the contexts, brings it back.
    bool byHand = false;

    for (int step = 0; step < 16 && !in.Empty(); ++step) {
        uint8_t op = in.U8();
        uint8_t flags = in.U8();
        switch (op % 8) {
        case 0:
        case 1: {  // raw bytes into a receive context
            size_t length = (flags & 0x80) ? in.U16() % 17000 : size_t(in.U8()) * 4;
            std::vector<uint8_t> bytes = in.Bytes(length);
            auto context = (op & 8) ? sim::OhciController::ContextId::kArResponse : sim::OhciController::ContextId::kArRequest;
            byHand = d.sim->controller->InjectArBytes(context, bytes) != 0 || byHand;
            break;
        }
        case 2:
        case 3:  // a response image to a held request
            byHand = d.sim->controller->InjectArBytes(sim::OhciController::ContextId::kArResponse, ResponseImage(in)) != 0 ||
                     byHand;
            break;
        case 4:
            PeerPacket(in, flags, controller);
            break;
        case 5: {  // a request from the program to the held peer: it stays pending
            static const ULONG kCodes[] = {IOCTL_ASYNC_READ, IOCTL_ASYNC_READ, IOCTL_ASYNC_LOCK};
            uint32_t lengths[] = {4, uint32_t(4 * (1 + in.U8() % 100)), (flags & 4) ? 8u : 4u};
            uint32_t kind = flags % 3;
            NTSTATUS result = STATUS_SUCCESS;
            (void)PeerRequest(kCodes[kind], kRomBase + 4 * (in.U8() % 8), lengths[kind], uint8_t(1 + in.U8() % 6),
                              uint32_t(step), &result);
            break;
        }
        case 6:  // a bus reset, or time passes
            if (flags & 1) d.sim->bus.RequestReset((flags & 2) != 0);
            hk::RunFor(ULONGLONG(flags >> 2) * kMs / 10);
            break;
        default:
            g_peer->hold = !g_peer->hold;
            break;
        }
        hk::RunFor(kMs / 10);
    }

    // Every request ends: held ones by the split time-out, the bus thread's remote PHY register
    // reads (whose replies a stopped request context never sees) after their three tries.
    g_peer->hold = false;
    d.RestoreSplitTimeout();
    (void)kxfuzz::DriverOnBus::RunUntil(Quiet, 3000 * kMs);
    KXF_CHECK(Quiet());
    d.CheckLabelsLinger();
    KXF_CHECK(hk::mm::BusFaults().empty());

    // The receive path works again: at once after packets from the bus, after a reset after bytes
    // stored by hand.
    if (byHand) d.SettleReset();
    KXF_CHECK(ContextRunning(d, kArRequestControl) && ContextRunning(d, kArResponseControl));
    NTSTATUS result = STATUS_UNSUCCESSFUL;
    const uint8_t* block = PeerRequest(IOCTL_ASYNC_READ, kRomBase, 20, 0, 15, &result);
    KXF_CHECK(result == STATUS_SUCCESS);
    (void)kxfuzz::DriverOnBus::RunUntil(Quiet, 200 * kMs);  // an answer that came later is delivered
    std::vector<uint8_t> rom;
    KXF_CHECK(g_peer->rom().ReadBytes(0, 20, &rom));
    uint32_t status = 0;
    std::memcpy(&status, block, 4);
    KXF_CHECK(status == 0 && block[5] == 0);
    KXF_CHECK(std::memcmp(block + 16, rom.data(), 20) == 0);
    d.CheckConsistent();
    hk::dbg::Clear();
    return 0;
}
