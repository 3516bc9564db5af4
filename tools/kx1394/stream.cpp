#include "stream.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "hk_io_test.h"
#include "hk_mm_test.h"
#include "iidc_decoder.h"
#include "image.h"
#include "json.h"
#include "kx1394.h"
#include "queries.h"
#include "report.h"
#include "requests.h"
#include "rom_decoder.h"
#include "video.h"

namespace kx1394 {

namespace {

// IIDC command registers used here, as offsets from the camera's command base.
constexpr uint32_t kCurVFrmRate = 0x600;
constexpr uint32_t kCurVMode = 0x604;
constexpr uint32_t kCurVFormat = 0x608;
constexpr uint32_t kIsoChannel = 0x60C;  // ISO_CHANNEL 31:28, ISO_SPEED 25:24 (legacy form)
constexpr uint32_t kCameraPower = 0x610;
constexpr uint32_t kIsoEn = 0x614;
constexpr uint32_t kVModeErrorStatus = 0x628;
constexpr uint32_t kBit31 = 0x80000000u;
constexpr uint32_t kVModeErrorStatusInq = 1u << 30;  // BASIC_FUNC_INQ: VMODE_ERROR_STATUS exists
constexpr uint32_t kCamPowerInq = 1u << 15;          // BASIC_FUNC_INQ: CAMERA_POWER exists
// The legacy ISO_CHANNEL field has four bits, ISO_SPEED two (S100 to S400).
constexpr uint8_t kLegacyChannels = 16;
constexpr uint8_t kLegacyTopSpeed = KX1394_S400;

// The stream's name for the driver ("kx1394" and a 1).
constexpr uint64_t kStreamKey = 0x6B78313339340001ull;

// Mode 1: each packet of the buffer holds its payload and one more quadlet (its isochronous
// header, in front, or the controller's trailer, behind; Mode1Layout tells which).
constexpr uint32_t kIsochMode = KX1394_ISOCH_MODE_1;
constexpr uint32_t kQuadletBytes = 4;

// A status word the driver has not written yet.
constexpr uint32_t kNotDone = 0xFFFFFFFFu;
// Completions that end the run: time-outs in a row, DMA errors in all.
constexpr unsigned kTimeoutsInARow = 3;
constexpr unsigned kMaxDmaErrors = 10;

// Memory of the program: the driver reads and writes it while the stream runs.
class ProcessMemory {
public:
    ProcessMemory(PEPROCESS process, size_t size) : process_(process), size_(size) {
        memory_ = static_cast<uint8_t*>(hk::user::Alloc(process, size == 0 ? 1 : size));
    }
    ~ProcessMemory() {
        if (memory_ != nullptr) hk::user::Free(process_, memory_);
    }
    ProcessMemory(const ProcessMemory&) = delete;
    ProcessMemory& operator=(const ProcessMemory&) = delete;
    uint8_t* get() const { return memory_; }
    size_t size() const { return size_; }
    uint64_t address() const { return reinterpret_cast<uintptr_t>(memory_); }

private:
    PEPROCESS process_;
    size_t size_;
    uint8_t* memory_ = nullptr;
};

// One frame buffer: its descriptor, its data, and a one-entry pointer array to attach it alone.
struct FrameBuffer {
    std::unique_ptr<ProcessMemory> descriptor;
    std::unique_ptr<ProcessMemory> data;
    std::unique_ptr<ProcessMemory> pointer;

    uint32_t Status() const {
        uint32_t s;
        std::memcpy(&s, descriptor->get(), sizeof s);
        return s;
    }
    void SetStatus(uint32_t s) { std::memcpy(descriptor->get(), &s, sizeof s); }
};

std::string Seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", s);
    return text;
}

std::string Fixed(double v, int digits) {
    char text[48];
    std::snprintf(text, sizeof text, "%.*f", digits, v);
    return text;
}

std::string NodeText(uint16_t nodeId) { return "node " + std::to_string(nodeId & 0x3F) + " (" + Hex(nodeId, 4) + ")"; }

std::string BufferStatusName(uint32_t status) {
    switch (status) {
    case KX1394_STATUS_SUCCESS: return "frame received";
    case KX1394_STATUS_BUS_RESET: return "bus reset";
    case KX1394_STATUS_TIMEOUT: return "time-out";
    case KX1394_STATUS_CANCELLED: return "flushed";
    case KX1394_STATUS_DMA_0x1D:
    case KX1394_STATUS_DMA_ERROR:
    case KX1394_STATUS_DMA_0x05:
    case KX1394_STATUS_DMA_0x04: return "DMA error";
    default: return "unknown status";
    }
}

class Receiver {
public:
    Receiver(Session& session, const Options& options)
        : session_(session), options_(options), requester_(session), mode_(options.video) {}

    int Run();

private:
    // ---- the camera, through asynchronous requests
    bool FindCamera();
    bool ReadRegister(uint32_t offset, uint32_t* value);
    bool WriteRegister(uint32_t offset, uint32_t value);
    bool CheckCamera();
    bool ProgramCamera();
    // ---- the driver's stream
    bool Open();
    bool AllocateBuffers();
    bool Attach(const std::vector<size_t>& indexes);
    bool Receive();
    void Finish();
    NTSTATUS KeyRequest(ULONG code, uint8_t* result);
    // ---- frames
    bool TakeFrame(FrameBuffer& buffer);
    void Progress(bool last);
    int Report();

    bool Fail(const std::string& problem, NTSTATUS call = STATUS_SUCCESS) {
        if (problem_.empty()) {
            problem_ = problem;
            call_ = call;
        }
        return false;
    }

    Session& session_;
    const Options& options_;
    Requester requester_;
    const VideoMode mode_;

    // Camera.
    uint16_t nodeId_ = 0;
    bool found_ = false;
    uint64_t commandBase_ = 0;
    std::string vendorText_, modelText_;
    uint32_t basicFunc_ = 0;
    IidcCamera inquiry_;
    bool cameraStreaming_ = false;
    bool started_ = false;

    // Stream.
    uint8_t linkSpeed_ = 0;
    uint8_t speed_ = 0;
    bool speedChosen_ = false;
    int channel_ = -1;
    uint32_t packetBytes_ = 0, packets_ = 0;
    size_t bufferBytes_ = 0;
    uint16_t timeoutMs_ = 0;
    bool open_ = false;
    HANDLE event_ = nullptr;
    std::vector<FrameBuffer> buffers_;
    std::deque<size_t> attached_;  // in the order the driver completes them

    // Results.
    FrameTally tally_;
    std::vector<uint32_t> counters_;
    uint64_t busResets_ = 0, timeouts_ = 0, dmaErrors_ = 0, flushed_ = 0, broken_ = 0;
    ULONGLONG start_ = 0, firstFrameAt_ = 0, lastFrameAt_ = 0;
    uint32_t imagesWritten_ = 0;
    std::string firstImage_, lastImage_;
    std::string problem_;
    NTSTATUS call_ = STATUS_SUCCESS;
    std::vector<uint8_t> frame_;
};

// ---- camera

bool Receiver::FindCamera() {
    std::vector<uint16_t> candidates;
    if (options_.nodeGiven) {
        candidates.push_back(options_.nodeId);
    } else {
        Value count = QueryNodeCount(session_);
        Value local = QueryLocalNode(session_);
        if (!count.ok) return Fail("the driver did not give the node count (" + Human(count) + ")");
        for (unsigned phy = 0; phy < count.number; ++phy)
            if (!local.ok || phy != local.number) candidates.push_back(KX1394_NodeId(uint8_t(phy)));
    }
    for (uint16_t nodeId : candidates) {
        DecodedRom rom = DecodeRom([this, nodeId](uint32_t index) {
            return requester_.Quadlet(nodeId, rom::kRomBase + 4ull * index);
        });
        const RomUnit* unit = nullptr;
        for (const RomUnit& u : rom.units)
            if (u.kind == UnitKind::Iidc && u.hasCommandBase && unit == nullptr) unit = &u;
        if (unit == nullptr) {
            if (options_.nodeGiven)
                return Fail(NodeText(nodeId) + " is not an IIDC camera: " +
                            (rom.readable ? "its configuration ROM has no IIDC unit with a command_regs_base"
                                          : "its configuration ROM could not be read (" + rom.failure + ")"));
            continue;
        }
        nodeId_ = nodeId;
        commandBase_ = unit->commandBase;
        vendorText_ = rom.vendorText;
        // link_spd of the bus options (IEEE 1394a); a ROM without them is taken as S400.
        linkSpeed_ = rom.general ? uint8_t(rom.busOptions & 0x7) : kLegacyTopSpeed;
        modelText_ = rom.modelText;
        found_ = true;
        return true;
    }
    return Fail("no IIDC camera on the bus");
}

bool Receiver::ReadRegister(uint32_t offset, uint32_t* value) {
    QuadletRead r = requester_.Quadlet(nodeId_, commandBase_ + offset);
    if (!r.ok) return Fail("reading camera register " + Hex(offset, 3) + " failed: " + r.failure);
    *value = r.value;
    return true;
}

bool Receiver::WriteRegister(uint32_t offset, uint32_t value) {
    // Quadlets go to the bus most significant byte first.
    std::vector<uint8_t> bytes = {uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value)};
    AsyncResult r = requester_.Write(nodeId_, commandBase_ + offset, bytes);
    if (!r.ok()) return Fail("writing camera register " + Hex(offset, 3) + " failed: " + r.Describe(), r.call);
    return true;
}

// The mode and rate must be ones the camera lists in V_FORMAT_INQ, V_MODE_INQ_0 and
// V_RATE_INQ_0_m; the packet must fit the speed the bus gives the camera.
bool Receiver::CheckCamera() {
    inquiry_ = DecodeCamera([this](uint32_t offset) { return requester_.Quadlet(nodeId_, commandBase_ + offset); });
    if (!inquiry_.formatsRead) return Fail("the camera's inquiry registers could not be read");
    basicFunc_ = inquiry_.basicRead ? inquiry_.basicFunc : 0;
    std::string offered;
    bool listed = false;
    for (const IidcFormat& f : inquiry_.formats) {
        for (const IidcMode& m : f.modes) {
            const std::string name = f.format == 0 ? VideoModeName(f.format, m.mode) : "";
            if (name.empty() || m.rates.empty()) continue;
            std::string rates;
            for (uint32_t r : m.rates) {
                rates += (rates.empty() ? "" : ", ") + RateText(r);
                listed |= m.mode == mode_.mode && r == options_.rate;
            }
            offered += (offered.empty() ? "" : "; ") + name + " at " + rates + " fps";
        }
    }
    if (!listed)
        return Fail("the camera does not offer " + std::string(mode_.name) + " at " + RateText(options_.rate) +
                    " fps; it offers " + (offered.empty() ? std::string("no Format_0 mode") : offered));
    packets_ = PacketsPerFrame(options_.rate);
    packetBytes_ = PacketBytes(mode_, options_.rate);
    if (packetBytes_ == 0)
        return Fail(std::string(mode_.name) + " at " + RateText(options_.rate) +
                    " fps has no packet size in the Format_0 table");

    // The camera sends at its own link speed (at most S400, the top of the legacy ISO_SPEED
    // field) unless --speed says otherwise.
    speed_ = options_.speedGiven ? options_.speed : linkSpeed_ < kLegacyTopSpeed ? linkSpeed_ : kLegacyTopSpeed;
    speedChosen_ = true;
    const uint32_t most = 1024u << speed_;  // largest isochronous payload at the speed (IEEE 1394)
    if (packetBytes_ > most)
        return Fail(std::string(mode_.name) + " at " + RateText(options_.rate) + " fps sends packets of " +
                    std::to_string(packetBytes_) + " bytes, more than " + std::to_string(most) + " at " +
                    SpeedName(speed_));
    return true;
}

bool Receiver::ProgramCamera() {
    uint32_t value = 0;
    // A camera that still streams takes no new mode: stop it first.
    if (!ReadRegister(kIsoEn, &value)) return false;
    if ((value & kBit31) != 0 && !WriteRegister(kIsoEn, 0)) return false;
    if ((basicFunc_ & kCamPowerInq) != 0) {
        if (!ReadRegister(kCameraPower, &value)) return false;
        if ((value & kBit31) == 0 && !WriteRegister(kCameraPower, kBit31)) return false;
    }
    if (!WriteRegister(kCurVFormat, mode_.format << 29) || !WriteRegister(kCurVMode, mode_.mode << 29) ||
        !WriteRegister(kCurVFrmRate, options_.rate << 29))
        return false;
    // The camera ignores a value it cannot take: read back what it took.
    uint32_t format = 0, mode = 0, rate = 0;
    if (!ReadRegister(kCurVFormat, &format) || !ReadRegister(kCurVMode, &mode) || !ReadRegister(kCurVFrmRate, &rate))
        return false;
    if (format >> 29 != mode_.format || mode >> 29 != mode_.mode || rate >> 29 != options_.rate)
        return Fail("the camera did not take " + std::string(mode_.name) + " at " + RateText(options_.rate) +
                    " fps (CUR_V_FORMAT " + Hex(format, 8) + ", CUR_V_MODE " + Hex(mode, 8) + ", CUR_V_FRM_RATE " +
                    Hex(rate, 8) + ")");
    return true;
}

// ---- the driver's stream

// Opens the stream on the lowest channel the driver has free.
bool Receiver::Open() {
    event_ = hk::user::CreateEvent(session_.process(), false, false);
    for (uint8_t channel = 0; channel < kLegacyChannels; ++channel) {
        uint8_t record[40] = {};
        if (session_.is32Bit()) {
            Kx1394IsochOpen32 r = {};
            r.StreamKey = kStreamKey;
            r.Mode = kIsochMode;
            r.Channel = channel;
            r.Speed = speed_;
            r.PayloadQuadlets = packetBytes_ / 4;
            r.Packets = packets_;
            r.Event = uint32_t(reinterpret_cast<uintptr_t>(event_));
            std::memcpy(record, &r, sizeof r);
        } else {
            Kx1394IsochOpen64 r = {};
            r.StreamKey = kStreamKey;
            r.Mode = kIsochMode;
            r.Channel = channel;
            r.Speed = speed_;
            r.PayloadQuadlets = packetBytes_ / 4;
            r.Packets = packets_;
            r.Event = reinterpret_cast<uintptr_t>(event_);
            std::memcpy(record, &r, sizeof r);
        }
        Answer a = session_.Control(IOCTL_ISOCH_OPEN, record, sizeof record, 1);
        if (a.status != STATUS_SUCCESS)
            return Fail("IOCTL_ISOCH_OPEN on channel " + std::to_string(channel) + ": driver answered " +
                        StatusName(a.status), a.status);
        if (a.out.empty() || a.out[0] == KX1394_ISOCH_NO_RESOURCES) continue;  // channel taken: the next
        if (a.out[0] != KX1394_ISOCH_OPENED)
            return Fail("IOCTL_ISOCH_OPEN answered result " + std::to_string(a.out[0]));
        channel_ = channel;
        open_ = true;
        return true;
    }
    return Fail("IOCTL_ISOCH_OPEN: no channel from 0 to 15 free (result 10 on each)");
}

bool Receiver::AllocateBuffers() {
    const bool narrow = session_.is32Bit();
    bufferBytes_ = size_t(packets_) * (packetBytes_ + kQuadletBytes);
    // A buffer waits at most for the frames of the buffers before it, and one more.
    const double periodMs = 1000.0 / FramesPerSecond(options_.rate);
    const double timeout = periodMs * (options_.buffers + 2) + 1000;
    timeoutMs_ = uint16_t(timeout > 65535 ? 65535 : timeout);
    PEPROCESS process = session_.process();
    for (uint32_t i = 0; i < options_.buffers; ++i) {
        FrameBuffer b;
        b.descriptor = std::make_unique<ProcessMemory>(process, narrow ? sizeof(Kx1394IsochBuffer32)
                                                                       : sizeof(Kx1394IsochBuffer64));
        b.data = std::make_unique<ProcessMemory>(process, bufferBytes_);
        b.pointer = std::make_unique<ProcessMemory>(process, 8);
        if (b.descriptor->get() == nullptr || b.data->get() == nullptr || b.pointer->get() == nullptr)
            return Fail("the program has no memory for " + std::to_string(options_.buffers) + " buffers of " +
                        std::to_string(bufferBytes_) + " bytes");
        // Each buffer waits for the packet that starts a frame (sy = 1), takes tag 0 only and
        // gives up after the time-out.
        if (narrow) {
            Kx1394IsochBuffer32 d = {};
            d.Status = kNotDone;
            d.SyncKind = KX1394_SYNC_FIRST;
            d.TimeoutMs = timeoutMs_;
            d.Sync = 1;
            d.TagMask = 0x1;
            d.DataBuffer = uint32_t(b.data->address());
            std::memcpy(b.descriptor->get(), &d, sizeof d);
            const uint32_t p = uint32_t(b.descriptor->address());
            std::memcpy(b.pointer->get(), &p, sizeof p);
        } else {
            Kx1394IsochBuffer64 d = {};
            d.Status = kNotDone;
            d.SyncKind = KX1394_SYNC_FIRST;
            d.TimeoutMs = timeoutMs_;
            d.Sync = 1;
            d.TagMask = 0x1;
            d.DataBuffer = b.data->address();
            std::memcpy(b.descriptor->get(), &d, sizeof d);
            const uint64_t p = b.descriptor->address();
            std::memcpy(b.pointer->get(), &p, sizeof p);
        }
        buffers_.push_back(std::move(b));
    }
    return true;
}

// Attaches buffers in one request: the first alone from its own pointer array, several from an
// array made for the call.
bool Receiver::Attach(const std::vector<size_t>& indexes) {
    const bool narrow = session_.is32Bit();
    const size_t width = narrow ? 4 : 8;
    ProcessMemory array(session_.process(), indexes.size() * width);
    if (array.get() == nullptr) return Fail("the program has no memory for the attach request");
    for (size_t k = 0; k < indexes.size(); ++k) {
        FrameBuffer& b = buffers_[indexes[k]];
        b.SetStatus(kNotDone);
        std::memcpy(array.get() + k * width, b.pointer->get(), width);
    }
    uint8_t record[24] = {};
    if (narrow) {
        Kx1394IsochAttach32 r = {};
        r.StreamKey = kStreamKey;
        r.Descriptors = uint32_t(array.address());
        r.Count = uint32_t(indexes.size());
        std::memcpy(record, &r, sizeof r);
    } else {
        Kx1394IsochAttach64 r = {};
        r.StreamKey = kStreamKey;
        r.Descriptors = array.address();
        r.Count = uint32_t(indexes.size());
        std::memcpy(record, &r, sizeof r);
    }
    Answer a = session_.Control(IOCTL_ISOCH_ATTACH_BUFFERS, record, sizeof record, 0);
    if (a.status != STATUS_SUCCESS)
        return Fail("IOCTL_ISOCH_ATTACH_BUFFERS: driver answered " + StatusName(a.status), a.status);
    for (size_t i : indexes) attached_.push_back(i);
    return true;
}

NTSTATUS Receiver::KeyRequest(ULONG code, uint8_t* result) {
    const uint64_t key = kStreamKey;
    Answer a = session_.Control(code, &key, sizeof key, 1);
    *result = a.out.empty() ? 0xFF : a.out[0];
    return a.status;
}

// A completed buffer holds a whole frame: its payloads, packet after packet.
bool Receiver::TakeFrame(FrameBuffer& buffer) {
    const PacketLayout layout = Mode1Layout(buffer.data->get(), bufferBytes_, packetBytes_, uint32_t(channel_));
    if (!AssembleFrame(buffer.data->get(), bufferBytes_, layout, FrameBytes(mode_), &frame_)) {
        ++broken_;
        return true;
    }
    const ULONGLONG now = session_.Now();
    if (tally_.received() == 0) firstFrameAt_ = now;
    lastFrameAt_ = now;
    const uint32_t counter = FrameCounter(frame_);
    tally_.Add(counter);
    counters_.push_back(counter);
    if (options_.outDir.empty()) return true;
    char name[64];
    std::snprintf(name, sizeof name, "frame-%04u.%s", unsigned(tally_.received()), ImageExtension(mode_.coding));
    const std::string path = options_.outDir + "/" + name;
    std::vector<uint8_t> image = EncodeImage(mode_, frame_.data(), frame_.size());
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
    out.close();
    if (!out) return Fail("cannot write " + path + ": " + std::strerror(errno));
    if (imagesWritten_++ == 0) firstImage_ = name;
    lastImage_ = name;
    return true;
}

// A line on stderr that a terminal shows updated in place; elsewhere (a log, a pipe) it is
// written once, at the end.
void Receiver::Progress(bool last) {
    if (options_.json) return;
    const bool terminal = isatty(fileno(stderr)) != 0;
    if (!terminal && !last) return;
    std::fprintf(stderr, "%sframes %llu/%u, dropped %llu", terminal ? "\r" : "", (unsigned long long)tally_.received(), options_.frames,
                 (unsigned long long)tally_.dropped());
    if (last) std::fputc('\n', stderr);
    std::fflush(stderr);
}

// Waits for completions, one per signal of the event, and keeps the buffers attached until
// enough frames have come.
bool Receiver::Receive() {
    const ULONGLONG wait = (ULONGLONG(timeoutMs_) + 2000) * kTicksPerMs;
    unsigned timeoutsInARow = 0;
    size_t shown = 0;
    while (tally_.received() + broken_ < options_.frames) {
        ULONGLONG timeout = wait;
        NTSTATUS status = hk::user::WaitEvent(session_.process(), event_, &timeout);
        if (status == STATUS_TIMEOUT)
            return Fail("the driver completed no buffer within " + Fixed(double(wait) / kTicksPerSecond, 1) + " s");
        if (status != STATUS_SUCCESS) return Fail("waiting for the stream's event: " + StatusName(status), status);
        while (!attached_.empty() && buffers_[attached_.front()].Status() != kNotDone) {
            const size_t i = attached_.front();
            attached_.pop_front();
            const uint32_t s = buffers_[i].Status();
            if (s == KX1394_STATUS_SUCCESS) {
                timeoutsInARow = 0;
                if (!TakeFrame(buffers_[i])) return false;
            } else if (s == KX1394_STATUS_BUS_RESET) {
                ++busResets_;
            } else if (s == KX1394_STATUS_TIMEOUT) {
                ++timeouts_;
                if (++timeoutsInARow >= kTimeoutsInARow)
                    return Fail("no frame: " + std::to_string(timeoutsInARow) + " buffers in a row timed out (" +
                                std::to_string(timeoutMs_) + " ms each)");
            } else if (s == KX1394_STATUS_CANCELLED) {
                ++flushed_;
                return Fail("the driver flushed a buffer (status 12) while the stream ran");
            } else if (s >= KX1394_STATUS_DMA_0x1D && s <= KX1394_STATUS_DMA_0x04) {
                if (++dmaErrors_ >= kMaxDmaErrors)
                    return Fail(std::to_string(dmaErrors_) + " buffers ended with a DMA error (last status " +
                                std::to_string(s) + ")");
            } else {
                return Fail("a buffer completed with status " + std::to_string(s) + " (" + BufferStatusName(s) + ")");
            }
            if (tally_.received() + broken_ + attached_.size() < options_.frames && !Attach({i})) return false;
        }
        if (tally_.received() != shown) {
            shown = size_t(tally_.received());
            Progress(false);
        }
    }
    return true;
}

// Stops the camera and the stream: ISO_EN off, then flush (every buffer still attached comes back
// with status 12, one per signal of the event), then close.
void Receiver::Finish() {
    if (cameraStreaming_) {
        WriteRegister(kIsoEn, 0);
        cameraStreaming_ = false;
    }
    if (!open_) return;
    uint8_t result = 0;
    NTSTATUS status = KeyRequest(IOCTL_ISOCH_FLUSH, &result);
    if (status != STATUS_SUCCESS) Fail("IOCTL_ISOCH_FLUSH: driver answered " + StatusName(status), status);
    for (size_t tries = 0; status == STATUS_SUCCESS && !attached_.empty() && tries < 2 * buffers_.size() + 2;
         ++tries) {
        while (!attached_.empty() && buffers_[attached_.front()].Status() != kNotDone) {
            if (buffers_[attached_.front()].Status() == KX1394_STATUS_CANCELLED) ++flushed_;
            attached_.pop_front();
        }
        if (attached_.empty()) break;
        ULONGLONG timeout = 500 * kTicksPerMs;
        if (hk::user::WaitEvent(session_.process(), event_, &timeout) != STATUS_SUCCESS) break;
    }
    status = KeyRequest(IOCTL_ISOCH_CLOSE, &result);
    if (status != STATUS_SUCCESS) Fail("IOCTL_ISOCH_CLOSE: driver answered " + StatusName(status), status);
    open_ = false;
}

int Receiver::Run() {
    start_ = session_.Now();
    if (!options_.outDir.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(options_.outDir, ec);
        if (ec) Fail("cannot make the directory " + options_.outDir + ": " + ec.message());
    }
    if (problem_.empty() && FindCamera() && CheckCamera() && ProgramCamera() && Open() && AllocateBuffers()) {
        std::vector<size_t> all;
        for (size_t i = 0; i < buffers_.size(); ++i) all.push_back(i);
        // Buffers first, so that the first frame finds them; then the camera's channel and speed,
        // and the stream on.
        if (Attach(all) && WriteRegister(kIsoChannel, uint32_t(channel_) << 28 | uint32_t(speed_) << 24)) {
            uint32_t error = 0;
            if ((basicFunc_ & kVModeErrorStatusInq) != 0 && ReadRegister(kVModeErrorStatus, &error) &&
                (error & kBit31) != 0) {
                Fail("the camera reports its video mode, rate and speed as a combination it cannot stream "
                     "(VMODE_ERROR_STATUS set)");
            } else if (problem_.empty() && WriteRegister(kIsoEn, kBit31)) {
                cameraStreaming_ = true;
                started_ = true;
                uint32_t isoEn = 0;
                if (ReadRegister(kIsoEn, &isoEn) && (isoEn & kBit31) == 0)
                    Fail("the camera did not switch ISO_EN on");
                else if (problem_.empty())
                    Receive();
            }
        }
    }
    if (started_) Progress(true);
    Finish();
    if (event_ != nullptr) hk::user::CloseHandle(session_.process(), event_);
    return Report();
}

int Receiver::Report() {
    const bool ok = problem_.empty() && tally_.received() == options_.frames;
    const double span = double(lastFrameAt_ - firstFrameAt_) / double(kTicksPerSecond);
    const bool timed = tally_.received() >= 2 && span > 0;
    const double fps = timed ? double(tally_.received() - 1) / span : 0;
    const double bytesPerSecond = fps * FrameBytes(mode_);
    const std::string modeText = std::string(mode_.name) + " at " + RateText(options_.rate) + " fps";
    if (options_.json) {
        JsonObject o;
        o.Text("command", "stream").Number("processBits", session_.is32Bit() ? 32 : 64).Bool("ok", ok);
        if (!problem_.empty()) o.Text("problem", problem_);
        if (call_ != STATUS_SUCCESS) o.Text("callStatus", StatusName(call_));
        o.Raw("nodeId", found_ ? JsonString(Hex(nodeId_, 4)) : "null");
        o.Text("vendorText", vendorText_).Text("modelText", modelText_);
        o.Text("mode", mode_.name).Number("format", mode_.format).Number("videoMode", mode_.mode);
        o.Text("coding", CodingName(mode_.coding)).Number("width", mode_.width).Number("height", mode_.height);
        o.Raw("rate", RateText(options_.rate)).Number("rateIndex", options_.rate);
        o.Raw("channel", channel_ >= 0 ? std::to_string(channel_) : "null");
        o.Raw("speed", speedChosen_ ? JsonString(SpeedName(speed_)) : "null");
        o.Number("packetBytes", packetBytes_).Number("packetsPerFrame", packets_);
        o.Number("frameBytes", FrameBytes(mode_)).Number("buffers", options_.buffers);
        o.Number("bufferBytes", bufferBytes_);
        o.Number("framesRequested", options_.frames).Number("framesReceived", tally_.received());
        o.Number("framesDropped", tally_.dropped()).Number("framesOutOfOrder", tally_.outOfOrder());
        o.Number("framesUnreadable", broken_);
        std::vector<std::string> counters;
        for (uint32_t c : counters_) counters.push_back(std::to_string(c));
        o.Raw("frameCounters", JsonArray(counters));
        o.Number("busResets", busResets_).Number("timeouts", timeouts_).Number("dmaErrors", dmaErrors_);
        o.Number("flushed", flushed_);
        o.Raw("seconds", Seconds(span));
        o.Raw("framesPerSecond", timed ? Fixed(fps, 3) : "null");
        o.Raw("bytesPerSecond", timed ? std::to_string(uint64_t(bytesPerSecond + 0.5)) : "null");
        o.Raw("out", options_.outDir.empty() ? "null" : JsonString(options_.outDir));
        o.Number("images", imagesWritten_);
        o.Text("firstImage", firstImage_).Text("lastImage", lastImage_);
        std::printf("%s\n", o.Str().c_str());
        return ok ? 0 : 1;
    }
    if (found_)
        std::printf("IIDC camera at %s: \"%s\" \"%s\"; %s (Format_%u Mode_%u, %s)\n", NodeText(nodeId_).c_str(),
                    vendorText_.c_str(), modelText_.c_str(), modeText.c_str(), unsigned(mode_.format),
                    unsigned(mode_.mode), CodingName(mode_.coding));
    if (channel_ >= 0)
        std::printf("stream on channel %d at %s: %u packets of %u bytes per frame, %u buffers of %zu bytes\n",
                    channel_, SpeedName(speed_).c_str(), unsigned(packets_), unsigned(packetBytes_),
                    unsigned(options_.buffers), bufferBytes_);
    auto line = [](const char* label, const std::string& text) { std::printf("%-20s %s\n", label, text.c_str()); };
    line("frames received", std::to_string(tally_.received()) + " of " + std::to_string(options_.frames) +
                                (tally_.received() ? " (frame counters " + std::to_string(tally_.first()) + " to " +
                                                         std::to_string(tally_.last()) + ")"
                                                   : ""));
    line("frames dropped", std::to_string(tally_.dropped()) +
                               (tally_.outOfOrder() ? ", " + std::to_string(tally_.outOfOrder()) + " out of order" : ""));
    line("frame rate", timed ? Fixed(fps, 2) + " fps (virtual time)" : "not measured (fewer than two frames)");
    line("bytes per second", timed ? std::to_string(uint64_t(bytesPerSecond + 0.5)) : "not measured");
    if (busResets_ || timeouts_ || dmaErrors_ || broken_)
        line("other completions", std::to_string(busResets_) + " bus reset, " + std::to_string(timeouts_) +
                                      " time-out, " + std::to_string(dmaErrors_) + " DMA error, " +
                                      std::to_string(broken_) + " unreadable");
    if (options_.outDir.empty())
        line("images", "not written (no --out)");
    else if (imagesWritten_ == 0)
        line("images", "none written to " + options_.outDir);
    else
        line("images", std::to_string(imagesWritten_) + " in " + options_.outDir + " (" + firstImage_ +
                           (imagesWritten_ > 1 ? " to " + lastImage_ : "") + ")");
    if (!problem_.empty()) std::printf("problem: %s\n", problem_.c_str());
    return ok ? 0 : 1;
}

}  // namespace

int StreamCommand(Session& session, const Options& options) { return Receiver(session, options).Run(); }

double StreamVirtualSeconds(const Options& options) {
    const double fps = FramesPerSecond(options.rate);
    // The frames, one frame period per buffer of slack per time-out, and the camera's set-up.
    return double(options.frames + 4 * options.buffers + 8) / fps + 30;
}

}  // namespace kx1394
