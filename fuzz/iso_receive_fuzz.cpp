// Isochronous receive on the model through the real dispatch path: a 64-bit and a 32-bit program
// open receive streams (IOCTL_ISOCH_OPEN records of either layout, as the input shapes them),
// attach buffer descriptors whose data and header buffers lie in the program's memory with the
// sizes the input picks (the stream's own sizes, shorter, longer, none, read-only), flush and
// close them; a talker on the bus (the peer node of fuzz/peer_node.h) sends isochronous packets
// on the streams' channels or others with any tag, sy, length and data; time passes, the bus
// resets, a program ends. Each input first chooses the driver's receive settings the streams are
// opened with (direct DMA or copy mode, packet-per-buffer or buffer-fill, programs per context,
// bandwidth books), as the registry values read at start would.
//
// Checked beyond the sanitizers and the host kernel's rules: no call stays pending, no input
// record is written; the driver writes nothing in the program's memory outside a buffer's data
// and header bytes and its status word, and the controller no DMA outside mapped pages; a status
// word it writes is one of the interface's; once the input's streams are closed every buffer
// attached has its status, no stream record, descriptor area, mapping, copy slot or key is left,
// and the local channel and bandwidth books are as they were.
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "core/controller.h"
#include "driver_on_bus.h"
#include "fuzz_input.h"
#include "hk_ke_test.h"
#include "isoch/iso_records.h"
#include "ohci/pool_tags.h"
#include "peer_node.h"
#include "user_program.h"

namespace {

using kxfuzz::kMs;
using kxfuzz::Program;

constexpr uint8_t kFill = 0xA5;
constexpr size_t kSlack = 64;  // bytes after each buffer that must keep the fill

kxfuzz::PeerNode* g_talker = nullptr;
Program g_programs[2];
const ULONG kTags[] = {kTagIsoRxRecord, kTagIsoAreaPages, kTagIsoMappings, kTagIsoRing, kTagIsoCopySlot};
ULONG g_baselineTags[5] = {};
LocalCsrValues g_baselineCsr;

// A buffer of the program with what the driver may write in it.
struct Buffer {
    Program* program;
    uint8_t* base;
    size_t bytes;        // the usable part; kSlack more follow
    size_t writable;     // bytes from the start the driver may write
    bool readOnly;
    std::vector<uint8_t> image;  // what the harness left there
};

struct Stream {
    Program* program;
    uint64_t key;
    uint8_t channel;
    isorx::StreamShape shape;
    bool shaped;
};

// What one input made, freed at its end.
struct Session {
    std::deque<Buffer> buffers;  // stays put as it grows
    std::vector<Stream> streams;
    std::vector<const uint8_t*> statusWords;  // of every descriptor attached
};

kxfuzz::DriverOnBus& Setup() {
    static bool done = false;
    kxfuzz::BusSetup setup;
    setup.description = "node pc controller\n";
    setup.enumerate = false;
    setup.addNodes = [](kxfuzz::DriverOnBus& d) {
        g_talker = d.Join(std::make_unique<kxfuzz::PeerNode>("talker"), 0);
    };
    kxfuzz::DriverOnBus& d = kxfuzz::DriverOnBus::Get(setup);
    if (done) return d;
    done = true;
    g_programs[0].Start(false, "iso64.exe");
    g_programs[1].Start(true, "iso32.exe");
    for (Program& p : g_programs) {
        p.Open();
        p.baselineHandles = hk::HandleCount(p.process);
    }
    for (size_t i = 0; i < 5; ++i) g_baselineTags[i] = hk::mm::TagCount(kTags[i]);
    g_baselineCsr = d.Controller()->LocalCsr;
    return d;
}

Buffer* NewBuffer(Session& s, Program* p, size_t bytes, size_t writable, bool readOnly) {
    if (bytes > (4u << 20)) return nullptr;
    auto* base = static_cast<uint8_t*>(hk::user::Alloc(p->process, bytes + kSlack));
    if (base == nullptr) return nullptr;
    std::memset(base, kFill, bytes + kSlack);
    if (readOnly) hk::user::SetReadOnly(p->process, base, true);
    s.buffers.push_back({p, base, bytes, readOnly ? 0 : writable, readOnly, std::vector<uint8_t>(base, base + bytes + kSlack)});
    return &s.buffers.back();
}

uint64_t Address(const void* p) { return reinterpret_cast<uintptr_t>(p); }

uint64_t PickKey(kxfuzz::Input& in, const Session& s) {
    uint8_t pick = in.U8();
    if (pick < 0xC0 && !s.streams.empty()) return s.streams[pick % s.streams.size()].key;
    if (pick < 0xF0) return 1 + pick % 4;
    return in.U64();
}

void Open(kxfuzz::Input& in, Session& s, Program* p) {
    std::vector<uint8_t> r(40, 0);
    uint8_t pick = in.U8();
    uint64_t key = (pick & 0x80) ? in.U64() : 1 + pick % 6;
    uint32_t mode = (pick & 0x40) ? in.U32() : 1 + in.U8() % 3;
    uint8_t channel = (pick & 0x20) ? in.U8() : in.U8() % 4;
    kxfuzz::Put64(r, 0, key);
    kxfuzz::Put32(r, 8, mode);
    r[12] = channel;
    r[13] = (pick & 0x10) ? in.U8() : in.U8() % 3;
    kxfuzz::Put32(r, 16, (pick & 0x08) ? in.U32() : in.U8() % 8);                     // header quadlets
    kxfuzz::Put32(r, 20, (pick & 0x04) ? in.U32() : 1 + in.U8() % 160);               // payload quadlets
    kxfuzz::Put32(r, 24, (pick & 0x02) ? in.U32() : 1 + in.U8() % 48);                // packets
    uint64_t event = (pick & 0x01) ? in.U32() : p->HandleValue(p->event);
    kxfuzz::PutPointer(r, p->is32 ? 28 : 32, event, p->is32);
    uint8_t* out = static_cast<uint8_t*>(hk::user::Alloc(p->process, 1));
    *out = kFill;
    ULONG returned = 0;
    NTSTATUS status = p->Call(IOCTL_ISOCH_OPEN, r, out, 1, &returned);
    KXF_CHECK(status != STATUS_PENDING && returned <= 1);
    if (NT_ERROR(status)) KXF_CHECK(*out == kFill);
    if (status == STATUS_SUCCESS && *out == KX1394_ISOCH_OPENED) {
        Stream stream{p, key, channel, {}, false};
        isorx::OpenRecord open;
        bool transmit = false;
        OhciController* c = kxfuzz::DriverOnBus::Get().Controller();
        stream.shaped = isorx::ReadOpenRecord(r.data(), 40, p->is32, &open, &transmit) == STATUS_SUCCESS &&
                        isorx::ShapeStream(open, c->IsoRxStreamBase, c->IsoRxMapRegisters, &stream.shape) ==
                            STATUS_SUCCESS;
        KXF_CHECK(stream.shaped);
        s.streams.push_back(stream);
    }
    hk::user::Free(p->process, out);
}

// A size for a buffer the stream wants `wanted` bytes of.
size_t PickSize(kxfuzz::Input& in, size_t wanted) {
    switch (in.U8() % 8) {
    case 0: return wanted / 2;
    case 1: return wanted + 4096;
    case 2: return in.U16();
    default: return wanted;
    }
}

void Attach(kxfuzz::Input& in, Session& s, Program* p) {
    const uint64_t key = PickKey(in, s);
    const Stream* stream = nullptr;
    // Keys are the controller's: a program may attach to a stream another one opened.
    for (const Stream& st : s.streams)
        if (st.key == key) stream = &st;
    const size_t dataBytes = stream != nullptr ? stream->shape.DataTotal : 4096;
    const size_t headerBytes = stream != nullptr ? stream->shape.HeaderTotal : 0;
    const uint32_t count = in.U8() % 5;
    const size_t pointer = p->is32 ? 4 : 8;
    const size_t record = p->is32 ? sizeof(Kx1394IsochBuffer32) : sizeof(Kx1394IsochBuffer64);
    Buffer* array = NewBuffer(s, p, count * pointer + 8, 0, false);
    Buffer* descriptors = NewBuffer(s, p, count * record + 8, 0, false);
    if (array == nullptr || descriptors == nullptr) return;
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t* d = descriptors->base + i * record;
        std::vector<uint8_t> r(record, 0);
        uint8_t pick = in.U8();
        kxfuzz::Put32(r, 4, (pick & 0x80) ? in.U32() : in.U8() % 3);                  // SyncKind
        kxfuzz::Put16(r, 8, (pick & 0x40) ? in.U16() : 0);                             // TimeoutMs
        kxfuzz::Put32(r, 12, (pick & 0x20) ? in.U8() : KX1394_SYNC_NONE);              // Sync
        kxfuzz::Put32(r, 16, (pick & 0x10) ? in.U8() : 0xF);                           // TagMask
        Buffer* data = NewBuffer(s, p, PickSize(in, dataBytes), dataBytes, (pick & 0x0F) == 0x0F);
        Buffer* header = headerBytes != 0 || (pick & 0x08) ? NewBuffer(s, p, PickSize(in, headerBytes), headerBytes, false)
                                                            : nullptr;
        uint64_t dataAddress = data != nullptr ? Address(data->base) : 0;
        uint64_t headerAddress = header != nullptr ? Address(header->base) : 0;
        if ((pick & 0x07) == 0x07) dataAddress = 0;
        kxfuzz::PutPointer(r, p->is32 ? 20 : 24, headerAddress, p->is32);
        kxfuzz::PutPointer(r, p->is32 ? 24 : 32, dataAddress, p->is32);
        std::memcpy(d, r.data(), record);
        // The driver writes the status word (offset 0) of each descriptor.
        s.statusWords.push_back(d);
        uint64_t at = (pick & 0x0F) == 0x0E ? in.U32() : Address(d);
        std::memcpy(array->base + i * pointer, &at, pointer);
    }
    // What the harness wrote; of it the driver may change the status words only.
    array->image.assign(array->base, array->base + array->bytes + kSlack);
    descriptors->image.assign(descriptors->base, descriptors->base + descriptors->bytes + kSlack);
    std::vector<uint8_t> r(24, 0);
    kxfuzz::Put64(r, 0, key);
    if (p->is32) {
        kxfuzz::Put32(r, 8, uint32_t(Address(array->base)));
        kxfuzz::Put32(r, 12, count);
    } else {
        kxfuzz::Put64(r, 8, Address(array->base));
        kxfuzz::Put32(r, 16, count);
    }
    ULONG returned = 0;
    NTSTATUS status = p->Call(IOCTL_ISOCH_ATTACH_BUFFERS, r, nullptr, 0, &returned);
    KXF_CHECK(status != STATUS_PENDING && returned == 0);
}

void KeyCall(kxfuzz::Input& in, Session& s, Program* p, ULONG code) {
    std::vector<uint8_t> r(8, 0);
    kxfuzz::Put64(r, 0, PickKey(in, s));
    uint8_t* out = static_cast<uint8_t*>(hk::user::Alloc(p->process, 1));
    *out = kFill;
    ULONG returned = 0;
    NTSTATUS status = p->Call(code, r, out, 1, &returned);
    KXF_CHECK(status != STATUS_PENDING && returned <= 1);
    if (NT_ERROR(status)) KXF_CHECK(*out == kFill);
    hk::user::Free(p->process, out);
}

void Talk(kxfuzz::Input& in, const Session& s) {
    uint8_t count = 1 + in.U8() % 16;
    for (uint8_t i = 0; i < count && !in.Empty(); ++i) {
        sim::IsoPacket packet;
        uint8_t pick = in.U8();
        packet.channel = !s.streams.empty() && pick < 0xE0 ? s.streams[pick % s.streams.size()].channel : pick & 0x3F;
        packet.tag = in.U8() & 3;
        packet.sy = in.U8() & 0xF;
        packet.speed = sim::kS400;
        size_t length = 0;
        if (!s.streams.empty() && (pick & 0x10) == 0) {
            const isorx::StreamShape& shape = s.streams[pick % s.streams.size()].shape;
            length = shape.PayloadBytes + (shape.Mode == 3 ? shape.HeaderBytes - 4 : 0);
            size_t change = in.U8() % 16;  // up to 8 bytes shorter or 7 longer
            if (pick & 0x08) length = length + change >= 8 ? length + change - 8 : 0;
        } else {
            length = in.U16() % 4100;
        }
        packet.data.resize(length);
        for (size_t b = 0; b < length; ++b) packet.data[b] = uint8_t(b * 13 + pick);
        g_talker->Talk(std::move(packet));
    }
}

bool StatusOfTheInterface(uint32_t status) {
    return status <= 1 || status == 11 || status == 12 || (status >= 13 && status <= 16);
}

void CheckMemory(const Session& s) {
    for (const Buffer& b : s.buffers) {
        if (hk::ProcessExited(b.program->process)) continue;
        // Most buffers are as the harness left them: compare them whole before byte by byte.
        const size_t end = b.bytes + kSlack;
        if (b.writable < end && std::memcmp(b.base + b.writable, b.image.data() + b.writable, end - b.writable) == 0)
            continue;
        for (size_t i = b.writable; i < end; ++i) {
            if (b.base[i] == b.image[i]) continue;
            bool statusWord = false;
            for (const uint8_t* w : s.statusWords) statusWord = statusWord || (b.base + i >= w && b.base + i < w + 4);
            KXF_CHECK(statusWord);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kxfuzz::DriverOnBus& d = Setup();
    kxfuzz::Input in(data, size);
    OhciController* controller = d.Controller();
    // The receive settings of this input's streams (read per stream when it opens).
    uint8_t settings = in.U8();
    controller->IsoDirectDMA = (settings & 1) ? 0 : 1;
    controller->IsoRxStreamBase = (settings >> 1) & 1;
    controller->IsoRxNumOfBuf = 1 + ((settings >> 2) & 7);
    controller->BandwidthForDriver = (settings >> 5) & 1;
    g_talker->Reset();
    g_talker->perCycle = 1 + ((settings >> 6) & 3);
    for (Program& p : g_programs) {
        p.event = hk::user::CreateEvent(p.process, false, false);
        KXF_CHECK(p.event != nullptr);
    }
    Session s;

    for (int step = 0; step < 16 && !in.Empty(); ++step) {
        uint8_t op = in.U8();
        Program* p = &g_programs[op >> 7];
        switch (op % 10) {
        case 0: case 1: Open(in, s, p); break;
        case 2: case 3: Attach(in, s, p); break;
        case 4: Talk(in, s); break;
        case 5: hk::RunFor(ULONGLONG(1 + in.U8() % 40) * kMs / 2); break;
        case 6: KeyCall(in, s, p, (op & 0x10) ? IOCTL_ISOCH_CLOSE : IOCTL_ISOCH_FLUSH); break;
        case 7: d.sim->bus.RequestReset((op & 0x10) != 0); break;
        case 8: {  // the program closes its handle (its streams close with it) and opens it again
            p->Close();
            hk::RunUntilIdle();
            p->Open();
            break;
        }
        default: hk::RunFor(kMs / 4); break;
        }
        CheckMemory(s);
    }

    // Everything of the input ends: its streams close (every buffer completes), the talker stops.
    hk::RunFor(2 * kMs);
    for (const Stream& stream : s.streams) {
        std::vector<uint8_t> r(8, 0);
        kxfuzz::Put64(r, 0, stream.key);
        ULONG returned = 0;
        uint8_t* out = static_cast<uint8_t*>(hk::user::Alloc(stream.program->process, 1));
        (void)stream.program->Call(IOCTL_ISOCH_CLOSE, r, out, 1, &returned);
        hk::user::Free(stream.program->process, out);
    }
    g_talker->Reset();
    hk::RunFor(5 * kMs);
    CheckMemory(s);
    for (const uint8_t* w : s.statusWords) {
        uint32_t status;
        std::memcpy(&status, w, 4);
        KXF_CHECK(status == 0xA5A5A5A5u || StatusOfTheInterface(status));
    }
    KXF_CHECK(hk::mm::BusFaults().empty());
    for (size_t i = 0; i < 5; ++i) KXF_CHECK(hk::mm::TagCount(kTags[i]) == g_baselineTags[i]);
    for (ULONG n = 0; n < kIsoContextSlots; ++n) {
        KXF_CHECK(controller->IsoRxKeys[n] == 0);
        KXF_CHECK(controller->IsoRx[n].Context == nullptr);
    }
    KXF_CHECK(controller->LocalCsr.BandwidthAvailable == g_baselineCsr.BandwidthAvailable);
    KXF_CHECK(controller->LocalCsr.ChannelsAvailableHi == g_baselineCsr.ChannelsAvailableHi);
    KXF_CHECK(controller->LocalCsr.ChannelsAvailableLo == g_baselineCsr.ChannelsAvailableLo);
    // With every stream closed no buffer stays secured: the program can free each one.
    for (Buffer& b : s.buffers) KXF_CHECK(hk::user::Free(b.program->process, b.base));
    for (Program& p : g_programs) {
        KXF_CHECK(hk::user::CloseHandle(p.process, p.event) == STATUS_SUCCESS);
        KXF_CHECK(hk::HandleCount(p.process) == p.baselineHandles);
    }
    d.CheckConsistent();
    hk::dbg::Clear();
    return 0;
}
