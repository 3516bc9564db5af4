// The asynchronous requests of user programs (IOCTL_ASYNC_READ, _WRITE, _LOCK, _STREAM and
// IOCTL_SEND_PHY_PACKET) in the 64-bit and the 32-bit layout, through the real dispatch path, with
// responses exchanged with nodes on the model's bus: an IIDC camera and a peer node (fuzz/
// peer_node.h) whose answers the input may take over (held requests, responses of any tcode,
// label, rcode and length from the peer's ID, busy and data-error acks, lost, late and error
// responses). Both programs are registered clients; every address field of a record points into
// the program's own memory where the input says (fuzz/user_program.h), or is null, read-only,
// next to a guard page, or a raw value; the lengths, nodes, offsets, lock operands and event
// handles come from the input. Requests from a second thread, bus resets, cancellation, closing
// the handle and a program's end are mixed in.
//
// Checked: no request stays pending in the call; the input record is never written, and no byte
// of the program's memory outside the fields the driver writes; an accepted request has written a
// status word of the interface and an ack byte that is an ack code, 254 or 255; a request told
// pending finishes within the split time-out, sets its event, and then carries a final status;
// a read of the peer's configuration ROM that reports success delivers the ROM's bytes. After
// every input: no packet, pending request or transaction label is left, and the driver's view
// matches the model's bus.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "core/controller.h"
#include "driver_on_bus.h"
#include "fuzz_input.h"
#include "hk_ke_test.h"
#include "iidc_camera.h"
#include "ohci/pool_tags.h"
#include "peer_node.h"
#include "user_program.h"

namespace {

using kxfuzz::kMs;
using kxfuzz::Program;
using kxfuzz::UserArena;

constexpr uint64_t kRomBase = 0xFFFFF0000400ull;
constexpr uint64_t kCsrBase = 0xFFFFF0000000ull;

struct Runner {
    Program program;
    HANDLE terminate = nullptr;  // the client registration's event
    std::unique_ptr<UserArena> arena;
};

Runner g_runners[2];
kxfuzz::PeerNode* g_peer = nullptr;
sim::IidcCamera* g_camera = nullptr;
ULONG g_baselinePackets = 0;
bool g_crafted = false;  // the input sent responses of its own making: data need not be the ROM's

void Register(Runner* r, bool is32) {
    r->program.Start(is32, is32 ? "async32.exe" : "async64.exe");
    r->program.Open();
    r->terminate = r->program.RegisterClient();
    r->program.baselineHandles = hk::HandleCount(r->program.process);
    r->arena = std::make_unique<UserArena>(&r->program);
}

kxfuzz::DriverOnBus& Setup() {
    static bool done = false;
    kxfuzz::BusSetup setup;
    setup.description = "node pc controller\nnode cam camera guid=0x00ACDE4800000001\nconnect pc.0 cam.0\n";
    setup.enumerate = false;  // the requests need no children; ROM reads after each reset would dominate
    setup.addNodes = [](kxfuzz::DriverOnBus& d) { g_peer = d.Join(std::make_unique<kxfuzz::PeerNode>(), 1); };
    kxfuzz::DriverOnBus& d = kxfuzz::DriverOnBus::Get(setup);
    if (done) return d;
    done = true;
    g_camera = static_cast<sim::IidcCamera*>(d.nodes.at("cam"));
    Register(&g_runners[0], false);
    Register(&g_runners[1], true);
    hk::RunFor(10 * kMs);
    g_baselinePackets = hk::mm::TagCount(kTagAsyncPacket);
    return d;
}

enum Kind { kRead, kWrite, kLock, kStream, kPhy };
constexpr ULONG kCodes[] = {IOCTL_ASYNC_READ, IOCTL_ASYNC_WRITE, IOCTL_ASYNC_LOCK, IOCTL_ASYNC_STREAM,
                            IOCTL_SEND_PHY_PACKET};

// One request and what it may write.
struct Request {
    Runner* runner = nullptr;
    Kind kind = kRead;
    std::vector<uint8_t> record;
    uint16_t destination = 0;
    uint64_t offset = 0;
    uint32_t length = 0;
    uint64_t status = 0, ack = 0, rcode = 0, data = 0;
    bool ownEvent = false;
    uint8_t out = UserArena::kFill;
};

uint16_t PickNode(kxfuzz::Input& in) {
    switch (in.U8() % 8) {
    case 0: case 1: case 2: return g_peer->NodeId();
    case 3: return g_camera->NodeId();
    case 4: return uint16_t(0xFFC0 | (kxfuzz::DriverOnBus::Get().Controller()->LocalNodeNumber & 0x3F));
    case 5: return 0xFFFF;
    case 6: return uint16_t(0xFFC0 | (20 + in.U8() % 43));  // nobody there
    default: return in.U16();
    }
}

uint64_t PickOffset(kxfuzz::Input& in) {
    switch (in.U8() % 8) {
    case 0: case 1: return kRomBase + 4u * (in.U8() % 64);
    case 2: case 3: return kxfuzz::PeerNode::kRegisterBase + 4u * (in.U8() % (kxfuzz::PeerNode::kRegisterCount + 2));
    case 4: return g_camera->CommandBase() + (in.U16() & 0xFFC);
    case 5: return kCsrBase + 4u * in.U8();
    case 6: return kRomBase + in.U8();
    default: return in.U64() & 0xFFFFFFFFFFFFull;
    }
}

uint32_t PickLength(kxfuzz::Input& in) {
    switch (in.U8() % 8) {
    case 0: case 1: return 4;
    case 2: return 8;
    case 3: return in.U8();
    case 4: return in.U16() % 4200;
    case 5: return 0;
    case 6: return in.U32();
    default: return 4u * (1 + in.U8() % 64);
    }
}

uint64_t PickEvent(kxfuzz::Input& in, Runner* r, bool* own) {
    *own = false;
    switch (in.U8() % 6) {
    case 0: case 1: *own = true; return r->program.HandleValue(r->program.event);
    case 2: return 0;
    case 3: return r->program.HandleValue(r->program.device);
    case 4: return r->program.HandleValue(g_runners[r == &g_runners[0] ? 1 : 0].program.event);
    default: return in.U32();
    }
}

Request Build(kxfuzz::Input& in, Runner* r, Kind kind) {
    Request q;
    q.runner = r;
    q.kind = kind;
    const bool is32 = r->program.is32;
    UserArena& arena = *r->arena;
    if (kind == kPhy) {
        // No force-root bit and no remote command (which may disable a port): a root moved or a
        // node cut off by the input would stay so for the next inputs.
        uint32_t quadlet = in.U32() & ~0x00800000u;
        if ((quadlet & 0xC0C00000u) == 0 && ((quadlet >> 18) & 0xF) == 0x8) quadlet &= ~(0xFu << 18);
        q.record.assign(4, 0);
        kxfuzz::Put32(q.record, 0, quadlet);
        return q;
    }
    if (kind == kStream) {
        q.record.assign(24, 0);
        q.record[0] = in.U8() & (in.U8() & 1 ? 0xFF : 0x3F);
        q.record[1] = in.U8() % 8;
        kxfuzz::Put32(q.record, 4, in.U8());
        kxfuzz::Put32(q.record, 8, in.U8());
        q.length = PickLength(in);
        kxfuzz::Put32(q.record, 12, q.length);
        kxfuzz::PutPointer(q.record, 16, arena.Pick(in, 0, false), is32);
        return q;
    }
    q.record.assign(96, 0);
    q.destination = PickNode(in);
    q.offset = PickOffset(in);
    q.length = PickLength(in);
    kxfuzz::Put16(q.record, 0x00, q.destination);
    kxfuzz::Put64(q.record, 0x08, q.offset | (uint64_t(in.U8() == 0xFF ? in.U16() : 0) << 48));
    kxfuzz::Put32(q.record, 0x10, q.length);
    uint64_t event = PickEvent(in, r, &q.ownEvent);
    uint32_t dataBytes = kind == kRead ? q.length : kind == kLock ? (q.length == 8 ? 8 : 4) : 0;
    q.data = arena.Pick(in, dataBytes, kind != kWrite);
    q.status = arena.Pick(in, 4, true);
    q.ack = arena.Pick(in, 1, true);
    q.rcode = arena.Pick(in, 1, true);
    const size_t fields = is32 ? 0x14 : 0x18;
    const size_t width = is32 ? 4 : 8;
    kxfuzz::PutPointer(q.record, fields, event, is32);
    uint64_t addresses[4] = {q.data, q.status, q.ack, q.rcode};
    for (size_t i = 0; i < 4; ++i) kxfuzz::PutPointer(q.record, fields + width * (i + 1), addresses[i], is32);
    const size_t lock = is32 ? 0x28 : 0x40;
    uint8_t extended = in.U8();
    q.record[lock] = extended < 0xE0 ? uint8_t(1 + extended % 6) : extended;
    kxfuzz::Put64(q.record, lock + 8, in.U64());
    kxfuzz::Put64(q.record, lock + 16, in.U64());
    q.record[lock + 24] = in.U8() % 3;
    return q;
}

uint32_t Load32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

struct Field {
    uint64_t at, bytes;
};
// The result fields a request may write.
std::vector<Field> Fields(const Request& q) {
    if (q.kind >= kStream) return {};
    uint32_t dataBytes = q.kind == kRead ? q.length : q.kind == kLock ? (q.length == 8 ? 8 : 4) : 0;
    return {{q.status, 4}, {q.ack, 1}, {q.rcode, 1}, {q.data, dataBytes}};
}
bool Share(const Field& a, const Field& b) {
    return a.bytes != 0 && b.bytes != 0 && a.at < b.at + b.bytes && b.at < a.at + a.bytes;
}

// Whether a request's result fields share bytes with each other or with those of `others` (a
// record may point them anywhere; another request may write there before or after this one).
bool Overlapping(const Request& q, const std::vector<Request>& others) {
    std::vector<Field> own = Fields(q);
    for (size_t i = 0; i < own.size(); ++i)
        for (size_t j = i + 1; j < own.size(); ++j)
            if (Share(own[i], own[j])) return true;
    for (const Request& o : others) {
        if ((o.record == q.record && o.kind == q.kind) || o.runner != q.runner) continue;
        for (const Field& a : own)
            for (const Field& b : Fields(o))
                if (Share(a, b)) return true;
    }
    return false;
}

bool StatusOfTheInterface(uint32_t status) {
    return status <= 2 || status == 4 || (status >= 11 && status <= 16) || status == 18 || status == 0xC000009Au;
}

// A read of the peer's ROM that reports success carries the ROM's bytes (bus order).
void CheckRomData(const Request& q, uint32_t status, uint8_t rcode) {
    if (g_crafted || q.kind != kRead || status != 0 || rcode != 0 || q.destination != g_peer->NodeId()) return;
    if (q.offset < kRomBase || q.offset % 4 != 0 || q.length == 0) return;
    const UserArena& arena = *q.runner->arena;
    const uint8_t* data = arena.Owned(q.data, q.length, true);
    if (data == nullptr) return;
    std::vector<uint8_t> rom;
    if (!g_peer->rom().ReadBytes(uint32_t(q.offset - kRomBase), q.length, &rom)) return;
    KXF_CHECK(std::memcmp(data, rom.data(), q.length) == 0);
}

struct Sent {
    Request request;
    NTSTATUS status = STATUS_PENDING;
    ULONG returned = 0;
};

// Sends the request, with the output byte of stream and PHY packets in memory of the program.
void Send(Sent* s) {
    Request& q = s->request;
    Program& p = q.runner->program;
    ULONG outLength = q.kind >= kStream ? 1 : 0;
    uint8_t* out = nullptr;
    if (outLength != 0) {
        out = static_cast<uint8_t*>(hk::user::Alloc(p.process, 1));
        *out = UserArena::kFill;
    }
    s->status = p.Call(kCodes[q.kind], q.record, out, outLength, &s->returned);
    if (out != nullptr && !hk::ProcessExited(p.process)) {
        q.out = *out;
        hk::user::Free(p.process, out);
    }
}

// Checks a call that returned; true when its result is still to come.
bool CheckReturned(const Sent& s, const std::vector<Request>& others) {
    const Request& q = s.request;
    KXF_CHECK(s.status != STATUS_PENDING);
    if (hk::ProcessExited(q.runner->program.process)) return false;
    q.runner->arena->CheckUntouched();
    if (q.kind >= kStream) {
        KXF_CHECK(s.returned <= 1);
        if (NT_ERROR(s.status)) KXF_CHECK(q.out == UserArena::kFill);
        return false;
    }
    KXF_CHECK(s.returned == 0);
    if (!NT_SUCCESS(s.status)) return false;
    // An accepted request has written its status word and ack byte (unless the record made the
    // fields overlap each other or the data).
    const UserArena& arena = *q.runner->arena;
    const uint8_t* status = arena.Owned(q.status, 4, true);
    const uint8_t* ack = arena.Owned(q.ack, 1, true);
    if (status == nullptr || ack == nullptr || Overlapping(q, others)) return false;
    uint32_t word = Load32(status);
    KXF_CHECK(StatusOfTheInterface(word));
    if (word == KX1394_STATUS_TOO_LONG) return false;  // refused before anything was locked
    KXF_CHECK(*ack <= 15 || *ack >= 254);
    bool pending = word == 0 && *ack == 2;
    if (!pending) CheckRomData(q, word, *arena.Owned(q.rcode, 1, false));
    return pending;
}

struct Helper {
    PKTHREAD thread = nullptr;
    Sent sent;
    bool exited = false;
};

// Each input starts with the programs' memory refilled and a new event of each program (a
// request's event is set once it finishes).
void StartInput(Runner* r) {
    r->arena->Refill();
    r->program.event = hk::user::CreateEvent(r->program.process, true, false);
    KXF_CHECK(r->program.event != nullptr);
}

// A response from the peer to one of the requests it holds: the matching tcode or another one,
// the request's label or a neighbour's, any rcode, a data block of any length.
void Respond(kxfuzz::Input& in) {
    if (g_peer->requests.empty()) return;
    g_crafted = true;
    const sim::Packet& request = g_peer->requests[in.U8() % g_peer->requests.size()];
    static const uint8_t kResponse[] = {sim::kTcodeWriteResponse, sim::kTcodeWriteResponse, sim::kTcodeWriteResponse,
                                        0x3, sim::kTcodeReadQuadletResponse, sim::kTcodeReadBlockResponse,
                                        sim::kTcodeReadQuadletResponse, sim::kTcodeReadBlockResponse, 0x8,
                                        sim::kTcodeLockResponse, 0xA, sim::kTcodeLockResponse};
    uint8_t pick = in.U8();
    uint8_t tcode = (pick & 0x80) ? kResponse[pick % 12] : kResponse[request.Tcode() % 12];
    sim::Packet response;
    response.SetTlabel(uint8_t(request.Tlabel() + ((pick & 0x40) ? in.U8() % 3 : 0)));
    response.SetRetry(1);
    response.SetTcode(tcode);
    response.SetRcode(in.U8() & 0x1 ? in.U8() & 0xF : 0);
    if (tcode == sim::kTcodeReadQuadletResponse) response.header[3] = in.U32();
    if (tcode == sim::kTcodeReadBlockResponse || tcode == sim::kTcodeLockResponse) {
        uint16_t length = (pick & 0x20) ? in.U16() % 4200 : request.DataLength();
        if (tcode == sim::kTcodeLockResponse && !(pick & 0x20)) length = request.DataLength() / 2;
        response.SetDataLengthAndExtendedTcode(length, request.ExtendedTcode());
        response.data = in.Bytes(length);
        response.data.resize(length, 0x5A);
    }
    (void)g_peer->Send(response, request.SourceId());
}

void PeerControl(kxfuzz::Input& in, uint8_t flags) {
    switch (flags % 8) {
    case 0: g_peer->hold = !g_peer->hold; break;
    case 1: case 2: Respond(in); break;
    case 3: g_peer->faults.busyAcks = 1 + in.U8() % 12; break;
    case 4: g_peer->faults.lostResponses = 1 + in.U8() % 3; break;
    case 5: g_peer->faults.lateResponses = 1 + in.U8() % 3; break;
    case 6:
        g_peer->faults.errorResponses = 1 + in.U8() % 3;
        g_peer->faults.errorRcode = in.U8() % 16;
        // resp_complete with the data cleared: a well-formed answer whose bytes are not the ROM's.
        if (g_peer->faults.errorRcode == 0) g_crafted = true;
        break;
    default: g_peer->faults.dataErrorAcks = 1 + in.U8() % 3; break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kxfuzz::DriverOnBus& d = Setup();
    kxfuzz::Input in(data, size);
    g_peer->Reset();
    g_crafted = false;
    // A camera an earlier input set streaming would fill every later one with cycles: back to
    // its power-up registers.
    if (g_camera->IsoEnabled() || g_camera->PendingShots() != 0) {
        (void)g_peer->SendQuadletWrite(g_camera, g_camera->CommandBase() + sim::iidc::kIsoEn, 0);
        (void)g_peer->SendQuadletWrite(g_camera, g_camera->CommandBase() + sim::iidc::kInitialize, 0x80000000u);
        hk::RunFor(2 * kMs);
    }
    for (Runner& r : g_runners) StartInput(&r);
    std::vector<Request> all;      // every request of this input
    std::vector<size_t> pending;   // those told pending, by index in `all`
    std::unique_ptr<Helper> helper;

    for (int step = 0; step < 16 && !in.Empty(); ++step) {
        uint8_t op = in.U8();
        uint8_t flags = in.U8();
        Runner* r = &g_runners[flags & 1];
        switch (op % 10) {
        default: {  // a request from the program's main thread
            Sent s;
            s.request = Build(in, r, Kind((flags >> 1) % 5));
            Send(&s);
            bool later = CheckReturned(s, all);
            all.push_back(s.request);
            if (later) pending.push_back(all.size() - 1);
            break;
        }
        case 4:  // a request from a second thread of the program
            if (helper == nullptr) {
                helper = std::make_unique<Helper>();
                helper->sent.request = Build(in, r, Kind((flags >> 1) % 5));
                all.push_back(helper->sent.request);
                Helper* h = helper.get();
                h->thread = hk::StartThread("fuzz helper", r->program.process, [h] { Send(&h->sent); });
                hk::RunUntilIdle();
            }
            break;
        case 5:  // time passes
            hk::RunFor(ULONGLONG(in.U8()) * kMs / 10);
            break;
        case 6:  // a bus reset from the model
            d.sim->bus.RequestReset((flags & 2) != 0);
            if (flags & 4) hk::RunFor(ULONGLONG(flags >> 3) * kMs / 20);
            break;
        case 7:
            PeerControl(in, flags >> 1);
            break;
        case 8:  // the program cancels its requests, or its waiting thread is alerted
            if (flags & 2) hk::user::CancelIo(r->program.process, r->program.device);
            if ((flags & 4) && helper != nullptr) hk::AlertThread(helper->thread);
            hk::RunUntilIdle();
            break;
        case 9:  // a program ends (rarely): a new one takes its place
            if ((flags & 0x1E) == 0x1E) {
                if (helper != nullptr && helper->sent.request.runner == r) helper->exited = true;
                for (size_t i = pending.size(); i-- > 0;)
                    if (all[pending[i]].runner == r) pending.erase(pending.begin() + long(i));
                for (Request& q : all)
                    if (q.runner == r) q.kind = kPhy;  // its memory went with it: nothing to check
                hk::ExitProcess(r->program.process);
                hk::RunUntilIdle();
                r->arena.reset();
                r->program = Program();
                Register(r, r == &g_runners[1]);
                StartInput(r);
            }
            break;
        }
    }

    // Every result arrives: held requests time out, late responses come or are given up.
    g_peer->hold = false;
    d.RestoreSplitTimeout();
    OhciController* controller = d.Controller();
    auto quiet = [controller] {
        return IsListEmpty(&controller->PendingList) && hk::mm::TagCount(kTagAsyncPacket) == g_baselinePackets &&
               g_peer->PendingResponses() == 0 && !kxfuzz::DriverOnBus::Get().sim->bus.InReset();
    };
    (void)kxfuzz::DriverOnBus::RunUntil(quiet, 600 * kMs);
    if (helper != nullptr) {
        if (hk::GetThreadState(helper->thread) != hk::ThreadState::Terminated) hk::AlertThread(helper->thread);
        hk::JoinThread(helper->thread);
        hk::ReleaseThread(helper->thread);
        size_t index = all.size();
        for (size_t i = 0; i < all.size(); ++i)
            if (all[i].record == helper->sent.request.record && all[i].runner == helper->sent.request.runner) index = i;
        if (!helper->exited && CheckReturned(helper->sent, all) && index < all.size()) pending.push_back(index);
        (void)kxfuzz::DriverOnBus::RunUntil(quiet, 600 * kMs);
    }
    hk::RunFor(5 * kMs);  // the bus thread's pass after a last reset
    for (size_t index : pending) {
        const Request& q = all[index];
        if (hk::ProcessExited(q.runner->program.process) || q.runner->arena == nullptr) continue;
        q.runner->arena->CheckUntouched();
        if (q.ownEvent) {
            ULONGLONG none = 0;
            KXF_CHECK(hk::user::WaitEvent(q.runner->program.process, q.runner->program.event, &none) ==
                      STATUS_SUCCESS);
        }
        if (Overlapping(q, all)) continue;
        const uint8_t* status = q.runner->arena->Owned(q.status, 4, true);
        const uint8_t* rcode = q.runner->arena->Owned(q.rcode, 1, true);
        KXF_CHECK(StatusOfTheInterface(Load32(status)));
        CheckRomData(q, Load32(status), *rcode);
    }

    KXF_CHECK(IsListEmpty(&controller->PendingList));
    d.CheckLabelsLinger();
    KXF_CHECK(hk::mm::TagCount(kTagAsyncPacket) == g_baselinePackets);
    for (Runner& r : g_runners) {
        KXF_CHECK(hk::user::CloseHandle(r.program.process, r.program.event) == STATUS_SUCCESS);
        KXF_CHECK(hk::HandleCount(r.program.process) == r.program.baselineHandles);
    }
    d.CheckConsistent();
    hk::dbg::Clear();
    return 0;
}
