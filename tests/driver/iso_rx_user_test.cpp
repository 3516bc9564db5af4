// Isochronous reception through real user calls on the driver started on the hardware model: a
// program sets an IIDC camera streaming through asynchronous writes, opens a receive stream,
// attaches its own buffers and checks every frame against the camera's documented test pattern,
// in each receive layout; bus resets, an unplugged camera, flush and close with buffers attached,
// a program that ends while streaming, two cameras at once, a 32-bit program, and bad input.
#include <cstring>
#include <memory>
#include <vector>

#include "core/controller.h"
#include "isoch/iso_rx.h"
#include "iidc_camera.h"
#include "kx1394.h"
#include "sim_fixture.h"

namespace {

constexpr ULONGLONG kWaitLimit = 5000 * kMs100ns;   // virtual time
constexpr ULONG kY8Mode = 5;                        // format 0 mode 5: 640x480 Mono 8
constexpr ULONG kRate30 = sim::iidc::k30;
constexpr ULONG kPackets = 240;                     // packets of one frame at 30 fps
constexpr ULONG kPacketBytes = 1280;
constexpr ULONG kLineBytes = 640;
constexpr ULONG kFrameBytes = kPackets * kPacketBytes;
constexpr ULONG kMaxBuffers = 31;
constexpr ULONG kDualBufferMode = 1u << 27;         // IR ContextControl (OHCI 1.1)

ULONG BusOrder(ULONG v) { return __builtin_bswap32(v); }

struct Program {
    PEPROCESS process = nullptr;
    HANDLE device = nullptr;
    HANDLE event = nullptr;      // auto-reset: one wait takes one completion
    HANDLE asyncDone = nullptr;
    HANDLE terminate = nullptr;  // set: the program's registration ends
    bool is32 = false;
    UCHAR* control = nullptr;    // records
    UCHAR* descriptors = nullptr;
    UCHAR* data = nullptr;
    UCHAR* headers = nullptr;
    ULONG bufferBytes = 0;

    ULONGLONG Address(const void* p) const { return reinterpret_cast<ULONG_PTR>(p); }
    ULONG DescriptorBytes() const { return is32 ? 28 : 40; }
    UCHAR* Descriptor(ULONG i) const { return descriptors + i * 64; }
    UCHAR* Data(ULONG i) const { return data + size_t(i) * bufferBytes; }
    UCHAR* Headers(ULONG i) const { return headers + size_t(i) * kPackets * 4; }
    ULONG Status(ULONG i) const {
        ULONG s;
        memcpy(&s, Descriptor(i), 4);
        return s;
    }
};

struct OpenArgs {
    ULONGLONG key = 0x5EED;
    ULONG mode = 2;
    ULONG channel = 3;
    ULONG speed = 2;
    ULONG headerQuadlets = 0;
    ULONG payloadQuadlets = kPacketBytes / 4;
    ULONG packets = kPackets;
};

class IsoRxTest : public SimBusTest {
protected:
    explicit IsoRxTest(const hk::Options& options = hk::Options()) : SimBusTest(options) {}

    // The controller with `count` cameras, camera i on its port i: the controller is the root
    // and so the cycle master.
    void BuildCameras(int count) {
        sim_ = std::make_unique<hk::SimulatedController>();
        for (int i = 0; i < count; ++i) {
            sim::IidcCamera::Config config;
            config.name = "camera" + std::to_string(i);
            config.guid = 0x00ACDE4800000001ull + ULONGLONG(i);
            config.ports = 2;
            auto* camera = static_cast<sim::IidcCamera*>(sim_->bus.Add(std::make_unique<sim::IidcCamera>(config)));
            ASSERT_TRUE(sim_->bus.Connect(sim_->controller, i, camera, 0));
            cameras_.push_back(camera);
        }
        hk::RunFor(10 * kMs100ns);
    }
    void Boot(int cameras, ULONG streamBase = 0, ULONG numOfBuf = 3, ULONG direct = 1) {
        hk::reg::CreateKey(ParametersPath());
        hk::reg::SetDword(ParametersPath(), "IsoDirectDMA", direct);
        hk::reg::SetDword(ParametersPath(), "IsoRxStreamBase", streamBase);
        hk::reg::SetDword(ParametersPath(), "IsoRxNumOfBuf", numOfBuf);
        BuildCameras(cameras);
        Start();
        ASSERT_EQ(start_, STATUS_SUCCESS);
    }

    Program NewProgram(const char* name, bool is32, ULONG buffers, ULONG bufferBytes) {
        Program p;
        p.process = hk::CreateProcess(name, is32);
        p.is32 = is32;
        EXPECT_EQ(hk::user::OpenDeviceInterface(p.process, GUID_KX1394_CONTROLLER_INTERFACE, 0, &p.device), STATUS_SUCCESS);
        p.control = static_cast<UCHAR*>(hk::user::Alloc(p.process, 4096));
        p.descriptors = static_cast<UCHAR*>(hk::user::Alloc(p.process, 64 * kMaxBuffers + 8 * kMaxBuffers));
        p.bufferBytes = bufferBytes;
        p.data = static_cast<UCHAR*>(hk::user::Alloc(p.process, size_t(buffers) * bufferBytes));
        p.headers = static_cast<UCHAR*>(hk::user::Alloc(p.process, size_t(buffers) * kPackets * 4));
        p.event = hk::user::CreateEvent(p.process, false, false);
        p.asyncDone = hk::user::CreateEvent(p.process, true, false);
        p.terminate = hk::user::CreateEvent(p.process, true, false);
        ULONGLONG handle = reinterpret_cast<ULONG_PTR>(p.terminate);
        memcpy(p.control, &handle, 8);
        EXPECT_EQ(hk::user::DeviceIoControl(p.process, p.device, IOCTL_REGISTER_CLIENT, p.control, 8, nullptr, 0, nullptr),
                  STATUS_SUCCESS);
        return p;
    }

    // A quadlet write to a camera register through IOCTL_ASYNC_WRITE, as camera software does it.
    void WriteCamera(Program& p, int camera, ULONG reg, ULONG value) {
        UCHAR* r = p.control;
        memset(r, 0, 96);
        USHORT node = cameras_[size_t(camera)]->NodeId();
        ULONGLONG offset = cameras_[size_t(camera)]->CommandBase() + reg;
        ULONG length = 4;
        memcpy(r, &node, 2);
        memcpy(r + 0x08, &offset, 8);
        memcpy(r + 0x10, &length, 4);
        ULONG bus = BusOrder(value);
        memcpy(r + 0x200, &bus, 4);
        p.asyncDone = hk::user::CreateEvent(p.process, true, false);
        ULONGLONG handle = reinterpret_cast<ULONG_PTR>(p.asyncDone);
        ULONGLONG addresses[4] = {p.Address(r + 0x200), p.Address(r + 0x180), p.Address(r + 0x184), p.Address(r + 0x185)};
        if (p.is32) {
            ULONG narrow = ULONG(handle);
            memcpy(r + 0x14, &narrow, 4);
            for (int i = 0; i < 4; ++i) {
                ULONG a = ULONG(addresses[i]);
                memcpy(r + 0x18 + 4 * i, &a, 4);
            }
        } else {
            memcpy(r + 0x18, &handle, 8);
            for (int i = 0; i < 4; ++i) memcpy(r + 0x20 + 8 * i, &addresses[i], 8);
        }
        ASSERT_EQ(hk::user::DeviceIoControl(p.process, p.device, IOCTL_ASYNC_WRITE, r, 96, nullptr, 0, nullptr),
                  STATUS_SUCCESS);
        if (r[0x184] == 2) {  // ack_pending: the response comes later
            ASSERT_EQ(hk::user::WaitEvent(p.process, p.asyncDone, &kWaitLimit), STATUS_SUCCESS);
        }
    }

    // 640x480 Mono 8 at 30 fps on `channel` at S400, then ISO_EN.
    void StartCamera(Program& p, int camera, ULONG channel) {
        WriteCamera(p, camera, sim::iidc::kCurVFormat, sim::iidc::IndexField(0));
        WriteCamera(p, camera, sim::iidc::kCurVMode, sim::iidc::IndexField(kY8Mode));
        WriteCamera(p, camera, sim::iidc::kCurVFrmRate, sim::iidc::IndexField(kRate30));
        WriteCamera(p, camera, sim::iidc::kIsoChannel, sim::iidc::MakeLegacyIso(channel, 2));
        WriteCamera(p, camera, sim::iidc::kIsoEn, sim::iidc::kBit31);
        ASSERT_TRUE(cameras_[size_t(camera)]->IsoEnabled());
    }

    // Camera 0 streaming on channel 3 and a stream of `a` open for it.
    void OpenForCamera(Program& p, const OpenArgs& a) {
        StartCamera(p, 0, 3);
        UCHAR result = 0xEE;
        ASSERT_EQ(Open(p, a, &result), STATUS_SUCCESS);
        ASSERT_EQ(result, KX1394_ISOCH_OPENED);
    }

    // Opens a stream with a fresh event of the program (so no signal of an earlier stream counts).
    NTSTATUS Open(Program& p, const OpenArgs& a, UCHAR* result) {
        p.event = hk::user::CreateEvent(p.process, false, false);
        UCHAR r[40] = {};
        memcpy(r, &a.key, 8);
        memcpy(r + 8, &a.mode, 4);
        r[12] = UCHAR(a.channel);
        r[13] = UCHAR(a.speed);
        memcpy(r + 16, &a.headerQuadlets, 4);
        memcpy(r + 20, &a.payloadQuadlets, 4);
        memcpy(r + 24, &a.packets, 4);
        ULONGLONG handle = reinterpret_cast<ULONG_PTR>(p.event);
        if (p.is32) {
            ULONG narrow = ULONG(handle);
            memcpy(r + 28, &narrow, 4);
        } else {
            memcpy(r + 32, &handle, 8);
        }
        memcpy(p.control, r, 40);
        *result = 0xEE;
        p.control[128] = 0xEE;
        NTSTATUS status =
            hk::user::DeviceIoControl(p.process, p.device, IOCTL_ISOCH_OPEN, p.control, 40, p.control + 128, 1, nullptr);
        *result = p.control[128];
        return status;
    }

    NTSTATUS KeyCall(Program& p, ULONG code, ULONGLONG key) {
        memcpy(p.control, &key, 8);
        return hk::user::DeviceIoControl(p.process, p.device, code, p.control, 8, p.control + 128, 1, nullptr);
    }

    // Fills descriptor i (sync on the frame's first packet, tag 0) and attaches buffers [first, first + count).
    NTSTATUS Attach(Program& p, ULONGLONG key, ULONG first, ULONG count, USHORT timeoutMs = 0,
                    ULONGLONG dataOverride = 0) {
        UCHAR* pointers = p.descriptors + 64 * kMaxBuffers;
        for (ULONG j = 0; j < count; ++j) {
            ULONG i = first + j;
            UCHAR* d = p.Descriptor(i);
            memset(d, 0, 64);
            ULONG status = 0xEEEEEEEE, kind = 1, sync = 1, tags = 1;
            memcpy(d, &status, 4);
            memcpy(d + 4, &kind, 4);
            memcpy(d + 8, &timeoutMs, 2);
            memcpy(d + 12, &sync, 4);
            memcpy(d + 16, &tags, 4);
            ULONGLONG header = p.Address(p.Headers(i)), data = dataOverride ? dataOverride : p.Address(p.Data(i));
            ULONGLONG self = p.Address(d);
            if (p.is32) {
                ULONG h = ULONG(header), b = ULONG(data), s = ULONG(self);
                memcpy(d + 20, &h, 4);
                memcpy(d + 24, &b, 4);
                memcpy(pointers + 4 * j, &s, 4);
            } else {
                memcpy(d + 24, &header, 8);
                memcpy(d + 32, &data, 8);
                memcpy(pointers + 8 * j, &self, 8);
            }
            memset(p.Data(i), 0xCC, 16);
        }
        UCHAR r[24] = {};
        memcpy(r, &key, 8);
        ULONGLONG array = p.Address(pointers);
        if (p.is32) {
            ULONG a = ULONG(array);
            memcpy(r + 8, &a, 4);
            memcpy(r + 12, &count, 4);
        } else {
            memcpy(r + 8, &array, 8);
            memcpy(r + 16, &count, 4);
        }
        memcpy(p.control, r, 24);
        return hk::user::DeviceIoControl(p.process, p.device, IOCTL_ISOCH_ATTACH_BUFFERS, p.control, 24, nullptr, 0,
                                         nullptr);
    }

    // The frame in buffer i of a stream of `mode`: its counter, and whether every byte of the
    // image is the camera's pattern (modes 1 and 3 also carry each packet's isochronous header).
    ULONG CheckFrame(Program& p, ULONG i, ULONG mode, ULONG channel) {
        return CheckFrameAt(p.Data(i), p.Headers(i), mode, channel);
    }
    ULONG CheckFrameAt(const UCHAR* data, const UCHAR* headers, ULONG mode, ULONG channel) {
        const ULONG stride = mode == 1 ? kPacketBytes + 4 : kPacketBytes;
        const ULONG skip = mode == 1 ? 4 : 0;
        ULONG frame = (ULONG(data[skip]) << 24) | (ULONG(data[skip + 1]) << 16) | (ULONG(data[skip + 2]) << 8) | data[skip + 3];
        ULONG bad = 0;
        for (ULONG k = 0; k < kPackets; ++k) {
            const UCHAR* packet = data + size_t(k) * stride;
            ULONG quadlet = 0;
            if (mode == 1) memcpy(&quadlet, packet, 4);
            if (mode == 3) memcpy(&quadlet, headers + 4 * k, 4);
            if (mode != 2) {
                ULONG expected = (kPacketBytes << 16) | (channel << 8) | (0xA << 4) | (k == 0 ? 1 : 0);
                if (quadlet != expected) ++bad;
            }
            for (ULONG b = 0; b < kPacketBytes; ++b) {
                ULONG offset = k * kPacketBytes + b;
                if (packet[skip + b] != sim::IidcCamera::PatternByte(frame, offset, kLineBytes)) ++bad;
            }
        }
        EXPECT_EQ(bad, 0u) << "frame " << frame;
        return frame;
    }

    // Waits for the next completion: one event signal per completed buffer.
    bool Next(Program& p) { return hk::user::WaitEvent(p.process, p.event, &kWaitLimit) == STATUS_SUCCESS; }

    // Receives `frames` frames through `buffers` buffers, re-attaching each as it completes; the
    // frame counters rise. Returns the last counter.
    ULONG Stream(Program& p, ULONGLONG key, ULONG mode, ULONG channel, ULONG buffers, ULONG frames) {
        EXPECT_EQ(Attach(p, key, 0, buffers), STATUS_SUCCESS);
        ULONG last = 0;
        for (ULONG f = 0; f < frames; ++f) {
            ULONG i = f % buffers;
            EXPECT_TRUE(Next(p)) << "frame " << f;
            EXPECT_EQ(p.Status(i), 0u) << "buffer " << i;
            ULONG frame = CheckFrame(p, i, mode, channel);
            if (f > 0) {
                EXPECT_GT(frame, last);
            }
            last = frame;
            EXPECT_EQ(Attach(p, key, i, 1), STATUS_SUCCESS);
        }
        return last;
    }

    ULONG Tag(char a, char b, char c, char d) { return hk::mm::TagCount(KX_TAG(a, b, c, d)); }

    void TwoPrograms(bool reset);

    std::vector<sim::IidcCamera*> cameras_;
};

// Frames arrive whole and in order in each layout, with 1, 3 and 31 buffers, from a 64-bit
// program; then close releases every record and mapping.
struct LayoutCase {
    ULONG streamBase;
    ULONG mode;
    ULONG buffers;
    ULONG direct;   // IsoDirectDMA: 1 straight into the caller's pages, 0 through the driver's ring
    ULONG numOfBuf = 3;   // IsoRxNumOfBuf: programs on the context, the ring's buffers in copy mode
};

class IsoRxLayoutTest : public IsoRxTest, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(IsoRxLayoutTest, FramesArriveIntactAndInOrder) {
    const LayoutCase c = GetParam();
    Boot(1, c.streamBase, c.numOfBuf, c.direct);
    ASSERT_TRUE(Controller()->IsCycleMaster);
    Program p = NewProgram("camera64", false, c.buffers, kFrameBytes + kPackets * 4);
    StartCamera(p, 0, 3);
    OpenArgs a;
    a.mode = c.mode;
    a.headerQuadlets = c.mode == 3 ? 1 : 0;
    UCHAR result = 0xEE;
    ASSERT_EQ(Open(p, a, &result), STATUS_SUCCESS);
    ASSERT_EQ(result, KX1394_ISOCH_OPENED);
    Stream(p, a.key, c.mode, 3, c.buffers, c.buffers == 31 ? 33 : 4);
    // Copy mode takes mode 3 in the buffer-fill layouts with dual-buffer programs.
    const bool dual = c.direct == 0 && c.streamBase == 1 && c.mode == 3;
    EXPECT_EQ((ModelRegister(ohci::IsoRecvContextBase(0)) & kDualBufferMode) != 0, dual);
    EXPECT_EQ(KeyCall(p, IOCTL_ISOCH_CLOSE, a.key), STATUS_SUCCESS);
    EXPECT_EQ(Tag('Z', 'O', 'I', 'M'), 0u);
    EXPECT_EQ(Tag('Z', 'O', 'D', 'A'), 0u);
    EXPECT_EQ(Tag('Z', 'O', 'R', 'I'), 0u);
    EXPECT_EQ(Tag('Z', 'O', 'C', 'P'), 0u);
}

INSTANTIATE_TEST_SUITE_P(Layouts, IsoRxLayoutTest,
                         ::testing::Values(LayoutCase{0, 1, 3, 1}, LayoutCase{0, 2, 3, 1}, LayoutCase{0, 3, 3, 1},
                                           LayoutCase{1, 1, 3, 1}, LayoutCase{1, 2, 3, 1}, LayoutCase{1, 3, 3, 1},
                                           LayoutCase{0, 2, 1, 1}, LayoutCase{0, 2, 31, 1},
                                           LayoutCase{0, 1, 3, 0}, LayoutCase{0, 2, 3, 0}, LayoutCase{0, 3, 3, 0},
                                           LayoutCase{1, 1, 3, 0}, LayoutCase{1, 2, 3, 0}, LayoutCase{1, 3, 3, 0},
                                           LayoutCase{0, 2, 1, 0}, LayoutCase{0, 2, 31, 0},
                                           LayoutCase{1, 3, 1, 0}, LayoutCase{1, 3, 31, 0},
                                           LayoutCase{1, 3, 1, 0, 1}, LayoutCase{1, 3, 31, 0, 31}));

// A bus reset ends every buffer of the stream with status 1; the stream stays open and the next
// buffers receive whole frames again.
struct ResetCase {
    ULONG direct;
    ULONG streamBase;
    ULONG mode;
};

class IsoRxModeTest : public IsoRxTest, public ::testing::WithParamInterface<ResetCase> {};

TEST_P(IsoRxModeTest, BusResetDuringStreaming) {
    const ResetCase c = GetParam();
    Boot(1, c.streamBase, 3, c.direct);
    Program p = NewProgram("camera64", false, 3, kFrameBytes);
    StartCamera(p, 0, 3);
    OpenArgs a;
    a.mode = c.mode;
    a.headerQuadlets = c.mode == 3 ? 1 : 0;
    UCHAR result = 0xEE;
    ASSERT_EQ(Open(p, a, &result), STATUS_SUCCESS);
    ULONG before = Stream(p, a.key, c.mode, 3, 3, 2);
    sim_->bus.RequestReset(false);
    ULONG resets = 0;
    for (ULONG j = 0; j < 3; ++j) {
        ASSERT_TRUE(Next(p));
        ULONG status = p.Status((2 + j) % 3);
        EXPECT_TRUE(status == 0 || status == 1) << status;
        resets += status == 1;
    }
    EXPECT_GE(resets, 1u);
    EXPECT_GT(Stream(p, a.key, c.mode, 3, 3, 3), before);
    EXPECT_EQ(KeyCall(p, IOCTL_ISOCH_CLOSE, a.key), STATUS_SUCCESS);
}

// Direct DMA, the copy-mode ring, and the copy-mode ring of dual-buffer programs.
INSTANTIATE_TEST_SUITE_P(DirectAndCopy, IsoRxModeTest,
                         ::testing::Values(ResetCase{1, 0, 2}, ResetCase{0, 0, 2}, ResetCase{0, 1, 3}));

// Copy mode: the ring runs on with no caller buffer attached and the frame queue keeps the
// newest frames, in order, for the next buffers.
TEST_F(IsoRxTest, CopyModeFrameQueue) {
    Boot(1, 0, 3, 0);
    Program p = NewProgram("copy", false, 3, kFrameBytes);
    StartCamera(p, 0, 3);
    OpenArgs a;
    UCHAR result = 0xEE;
    ASSERT_EQ(Open(p, a, &result), STATUS_SUCCESS);
    Stream(p, a.key, 2, 3, 1, 1);   // leaves buffer 0 attached: it takes the next frame
    hk::RunFor(3000 * kMs100ns);     // about nine frames with nobody waiting
    ASSERT_TRUE(Next(p));
    EXPECT_EQ(p.Status(0), 0u);
    ULONG first = CheckFrame(p, 0, 2, 3);
    ULONG previous = 0;
    for (ULONG j = 1; j < 3; ++j) {
        ASSERT_EQ(Attach(p, a.key, j, 1), STATUS_SUCCESS);
        ASSERT_TRUE(Next(p));
        EXPECT_EQ(p.Status(j), 0u);
        ULONG frame = CheckFrame(p, j, 2, 3);
        if (j == 1) {
            EXPECT_GT(frame, first + 3);   // older frames were overwritten by newer ones
        } else {
            EXPECT_EQ(frame, previous + 1);
        }
        previous = frame;
    }
    EXPECT_EQ(KeyCall(p, IOCTL_ISOCH_CLOSE, a.key), STATUS_SUCCESS);
}

// Straight into the program's buffers through an adapter that bounces every transfer (a 32-bit
// adapter on a machine with memory above 4 GB): each frame reaches its buffer, the first time and
// every time the buffer is attached again.
TEST_F(IsoRxTest, FramesArriveThroughBounceBuffers) {
    hk::mm::SetBounceBuffers(true);
    Boot(1);
    Program p = NewProgram("bounced", false, 2, kFrameBytes);
    OpenArgs a;
    OpenForCamera(p, a);
    Stream(p, a.key, 2, 3, 2, 6);
    EXPECT_EQ(KeyCall(p, IOCTL_ISOCH_CLOSE, a.key), STATUS_SUCCESS);
}

// Copy mode: a buffer that asked for no time-out never gets one, though the buffer before it did
// and was filled in time.
TEST_F(IsoRxTest, CopyModeBufferWithoutTimeOutOutlivesTheOneBefore) {
    Boot(1, 0, 3, 0);
    Program p = NewProgram("copy", false, 2, kFrameBytes);
    OpenArgs a;
    UCHAR result = 0xEE;
    ASSERT_EQ(Open(p, a, &result), STATUS_SUCCESS);
    ASSERT_EQ(Attach(p, a.key, 0, 1, 1000), STATUS_SUCCESS);
    ASSERT_EQ(Attach(p, a.key, 1, 1, 0), STATUS_SUCCESS);
    StartCamera(p, 0, 3);
    ASSERT_TRUE(Next(p));
    EXPECT_EQ(p.Status(0), 0u);
    WriteCamera(p, 0, sim::iidc::kIsoEn, 0);  // no whole frame for buffer 1
    hk::RunFor(2000 * kMs100ns);
    EXPECT_EQ(p.Status(1), 0xEEEEEEEEu);
    EXPECT_EQ(KeyCall(p, IOCTL_ISOCH_CLOSE, a.key), STATUS_SUCCESS);
}

// A program turning over its buffers: each stays locked between its attaches and is secured
// meanwhile, so the program cannot free it until it flushes or closes the stream; of the buffers
// waiting to be attached again the driver keeps the most recently attached ones.
TEST_F(IsoRxTest, BuffersStayLockedBetweenAttaches) {
    Boot(1);
    constexpr ULONG kCount = isorx::kMaxIdleMappings + 2;
    Program p = NewProgram("keeper", false, kCount + 1, 16);   // frames go to buffers of their own
    StartCamera(p, 0, 3);
    OpenArgs a;
    UCHAR result = 0xEE;
    ASSERT_EQ(Open(p, a, &result), STATUS_SUCCESS);
    std::vector<UCHAR*> buffers;
    for (ULONG i = 0; i <= kCount; ++i) buffers.push_back(static_cast<UCHAR*>(hk::user::Alloc(p.process, kFrameBytes)));
    auto attach = [&](ULONG i) { return Attach(p, a.key, i, 1, 0, p.Address(buffers[i])); };
    LONGLONG last = -1;
    auto receive = [&](ULONG i) {
        ASSERT_TRUE(Next(p));
        EXPECT_EQ(p.Status(i), 0u);
        LONGLONG frame = CheckFrameAt(buffers[i], nullptr, 2, 3);
        EXPECT_GT(frame, last);
        last = frame;
    };
    for (ULONG i = 0; i < kCount; ++i) ASSERT_EQ(attach(i), STATUS_SUCCESS);
    for (ULONG i = 0; i < kCount; ++i) receive(i);
    EXPECT_FALSE(hk::user::Free(p.process, buffers[0])) << "kept for its next attach";
    // A buffer the driver has not seen: the two least recently attached are let go.
    ASSERT_EQ(attach(kCount), STATUS_SUCCESS);
    receive(kCount);
    EXPECT_TRUE(hk::user::Free(p.process, buffers[0]));
    EXPECT_TRUE(hk::user::Free(p.process, buffers[1]));
    EXPECT_FALSE(hk::user::Free(p.process, buffers[2]));
    // Attached again, a kept buffer takes whole frames as before.
    for (ULONG i = 2; i < 5; ++i) ASSERT_EQ(attach(i), STATUS_SUCCESS);
    for (ULONG i = 2; i < 5; ++i) receive(i);
    // A flush gives every buffer back.
    ASSERT_EQ(KeyCall(p, IOCTL_ISOCH_FLUSH, a.key), STATUS_SUCCESS);
    for (ULONG i = 2; i <= kCount; ++i) EXPECT_TRUE(hk::user::Free(p.process, buffers[i])) << i;
    EXPECT_EQ(Tag('Z', 'O', 'I', 'M'), 0u);
    // Close does too.
    UCHAR* again = static_cast<UCHAR*>(hk::user::Alloc(p.process, kFrameBytes));
    buffers[0] = again;
    ASSERT_EQ(attach(0), STATUS_SUCCESS);
    receive(0);
    EXPECT_FALSE(hk::user::Free(p.process, again));
    EXPECT_EQ(KeyCall(p, IOCTL_ISOCH_CLOSE, a.key), STATUS_SUCCESS);
    EXPECT_TRUE(hk::user::Free(p.process, again));
    EXPECT_EQ(Tag('Z', 'O', 'I', 'M'), 0u);
}

// A stream that ends outside its program's context gives the buffers it kept back all the same:
// closed by another program (by its key), or by the driver's watch thread after the program ended
// its registration while it still runs.
TEST_F(IsoRxTest, KeptBuffersGoBackWhenTheStreamEndsElsewhere) {
    Boot(1);
    Program other = NewProgram("other", false, 1, 16);
    for (bool unregister : {false, true}) {
        SCOPED_TRACE(unregister ? "program unregistered" : "closed by another program");
        Program p = NewProgram(unregister ? "leaving" : "closed", false, 1, kFrameBytes);
        StartCamera(p, 0, 3);
        OpenArgs a;
        UCHAR result = 0xEE;
        ASSERT_EQ(Open(p, a, &result), STATUS_SUCCESS);
        ASSERT_EQ(Attach(p, a.key, 0, 1), STATUS_SUCCESS);
        ASSERT_TRUE(Next(p));
        EXPECT_FALSE(hk::user::Free(p.process, p.data)) << "kept for its next attach";
        if (unregister) {
            ASSERT_EQ(hk::user::SetEvent(p.process, p.terminate), STATUS_SUCCESS);
            hk::RunFor(2000 * kMs100ns);
        } else {
            ASSERT_EQ(KeyCall(other, IOCTL_ISOCH_CLOSE, a.key), STATUS_SUCCESS);
        }
        EXPECT_EQ(Controller()->IsoRx[0].Context, nullptr);
        EXPECT_EQ(Tag('Z', 'O', 'I', 'M'), 0u);
        EXPECT_TRUE(hk::user::Free(p.process, p.data)) << "still secured for the ended stream";
    }
}

// With BandwidthForDriver = 1 a stream books its bandwidth units in the local image until close.
TEST_F(IsoRxTest, BandwidthForDriver) {
    hk::reg::CreateKey(ParametersPath());
    hk::reg::SetDword(ParametersPath(), "BandwidthForDriver", 1);
    Boot(1);
    Program p = NewProgram("bandwidth", false, 1, 4096);
    OpenArgs a;
    a.payloadQuadlets = 250;   // 1000 bytes at S400: ((1015 >> 2) << 2) + 3 = 1015 units
    UCHAR result = 0xEE;
    ASSERT_EQ(Open(p, a, &result), STATUS_SUCCESS);
    ASSERT_EQ(result, KX1394_ISOCH_OPENED);
    EXPECT_EQ(Controller()->LocalCsr.BandwidthAvailable, 4915u - 1015u);
    OpenArgs big;
    big.key = 2;
    big.channel = 5;
    big.payloadQuadlets = 2048;
    big.speed = 0;   // ((8207 >> 2) << 4) + 3 units: more than is left
    ASSERT_EQ(Open(p, big, &result), STATUS_SUCCESS);
    EXPECT_EQ(result, KX1394_ISOCH_NO_RESOURCES);
    EXPECT_EQ(KeyCall(p, IOCTL_ISOCH_CLOSE, a.key), STATUS_SUCCESS);
    EXPECT_EQ(Controller()->LocalCsr.BandwidthAvailable, 4915u);
}

// A bus reset renews the books while a stream holds its channel and bandwidth: a stream opened
// after it may book them again, and closing the older stream then gives back nothing (the units
// and the channel are the newer stream's); closing the newer one leaves the books full.
TEST_F(IsoRxTest, BooksRenewedByABusResetAreNotGivenBackTwice) {
    hk::reg::CreateKey(ParametersPath());
    hk::reg::SetDword(ParametersPath(), "BandwidthForDriver", 1);
    Boot(1);
    Program p = NewProgram("books", false, 1, 4096);
    const ULONGLONG channel3 = ULONGLONG(1) << (63 - 3);
    auto channels = [this] {
        return (ULONGLONG(Controller()->LocalCsr.ChannelsAvailableHi) << 32) | Controller()->LocalCsr.ChannelsAvailableLo;
    };
    const ULONGLONG allFree = channels();
    OpenArgs older;
    older.payloadQuadlets = 250;  // 1015 units
    UCHAR result = 0xEE;
    ASSERT_EQ(Open(p, older, &result), STATUS_SUCCESS);
    ASSERT_EQ(result, KX1394_ISOCH_OPENED);
    sim_->bus.RequestReset(false);
    hk::RunFor(50 * kMs100ns);
    EXPECT_EQ(Controller()->LocalCsr.BandwidthAvailable, 4915u);
    OpenArgs newer;
    newer.key = 2;
    newer.payloadQuadlets = 625;  // 2500 bytes at S400: 2515 units, on the same channel
    ASSERT_EQ(Open(p, newer, &result), STATUS_SUCCESS);
    ASSERT_EQ(result, KX1394_ISOCH_OPENED);
    EXPECT_EQ(KeyCall(p, IOCTL_ISOCH_CLOSE, older.key), STATUS_SUCCESS);
    EXPECT_EQ(Controller()->LocalCsr.BandwidthAvailable, 4915u - 2515u);
    EXPECT_EQ(channels() & channel3, 0u);
    EXPECT_EQ(KeyCall(p, IOCTL_ISOCH_CLOSE, newer.key), STATUS_SUCCESS);
    EXPECT_EQ(Controller()->LocalCsr.BandwidthAvailable, 4915u);
    EXPECT_EQ(channels(), allFree);
}

// An unplugged camera: the reset ends the buffers with 1, the next ones time out with 11, and the
// program closes the stream with nothing left behind.
TEST_F(IsoRxTest, CameraUnpluggedWhileStreaming) {
    Boot(1);
    Program p = NewProgram("camera64", false, 3, kFrameBytes);
    OpenArgs a;
    OpenForCamera(p, a);
    Stream(p, a.key, 2, 3, 3, 1);
    sim_->bus.Unplug(cameras_[0]);
    for (ULONG j = 0; j < 3; ++j) ASSERT_TRUE(Next(p));
    ASSERT_EQ(Attach(p, a.key, 0, 3, 100), STATUS_SUCCESS);
    for (ULONG j = 0; j < 3; ++j) {
        ASSERT_TRUE(Next(p));
        EXPECT_EQ(p.Status(j), 11u);
    }
    EXPECT_EQ(KeyCall(p, IOCTL_ISOCH_CLOSE, a.key), STATUS_SUCCESS);
    EXPECT_EQ(Tag('Z', 'O', 'I', 'M'), 0u);
    EXPECT_EQ(Tag('Z', 'O', 'D', 'A'), 0u);
}

// Flush ends every attached buffer with 12, one per event signal; close with buffers attached
// writes 12 into each and releases them.
TEST_F(IsoRxTest, FlushAndCloseWithBuffersAttached) {
    Boot(1);
    Program p = NewProgram("camera64", false, 5, kFrameBytes);
    OpenArgs a;
    UCHAR result = 0xEE;
    ASSERT_EQ(Open(p, a, &result), STATUS_SUCCESS);
    ASSERT_EQ(Attach(p, a.key, 0, 5), STATUS_SUCCESS);
    ASSERT_EQ(KeyCall(p, IOCTL_ISOCH_FLUSH, a.key), STATUS_SUCCESS);
    for (ULONG j = 0; j < 5; ++j) {
        ASSERT_TRUE(Next(p));
        EXPECT_EQ(p.Status(j), 12u) << j;
    }
    ASSERT_EQ(Attach(p, a.key, 0, 5), STATUS_SUCCESS);
    EXPECT_EQ(KeyCall(p, IOCTL_ISOCH_CLOSE, a.key), STATUS_SUCCESS);
    for (ULONG j = 0; j < 5; ++j) EXPECT_EQ(p.Status(j), 12u) << j;
    EXPECT_EQ(Tag('Z', 'O', 'I', 'M'), 0u);
    EXPECT_EQ(KeyCall(p, IOCTL_ISOCH_FLUSH, a.key), STATUS_INVALID_PARAMETER);
}

// A program that ends while the camera streams into its buffers: its stream is closed, its pages
// are unlocked only after the context has stopped (the host kernel reports any device access to
// freed memory), and the key can be opened again.
TEST_F(IsoRxTest, ProgramEndsWhileStreaming) {
    Boot(1);
    Program p = NewProgram("camera64", false, 3, kFrameBytes);
    StartCamera(p, 0, 3);
    OpenArgs a;
    UCHAR result = 0xEE;
    ASSERT_EQ(Open(p, a, &result), STATUS_SUCCESS);
    ASSERT_EQ(Attach(p, a.key, 0, 3), STATUS_SUCCESS);
    ASSERT_TRUE(Next(p));
    hk::ExitProcess(p.process);
    hk::RunFor(2000 * kMs100ns);
    EXPECT_EQ(Controller()->IsoRx[0].Context, nullptr);
    EXPECT_EQ(ModelRegister(ohci::IsoRecvContextBase(0)) & ohci::kContextRun, 0u);
    EXPECT_EQ(Tag('Z', 'O', 'I', 'M'), 0u);
    EXPECT_EQ(Tag('Z', 'O', 'D', 'A'), 0u);
    Program q = NewProgram("again", false, 3, kFrameBytes);
    ASSERT_EQ(Open(q, a, &result), STATUS_SUCCESS);
    EXPECT_EQ(result, KX1394_ISOCH_OPENED);
    Stream(q, a.key, 2, 3, 3, 2);
}

// Two programs stream from two cameras at once, each on its own channel and context; with a bus
// reset in the middle when asked.
TEST_F(IsoRxTest, TwoProgramsTwoCameras) { TwoPrograms(false); }

hk::Options Seeded(int seed) {
    hk::Options options;
    options.seed = ULONG(seed);
    return options;
}

// The same with a bus reset while both stream, under several scheduler seeds: each program's
// buffers all end (0 or 1) and streaming goes on.
class IsoRxSeedTest : public IsoRxTest, public ::testing::WithParamInterface<int> {
protected:
    IsoRxSeedTest() : IsoRxTest(Seeded(GetParam())) {}
};

TEST_P(IsoRxSeedTest, TwoProgramsAcrossABusReset) { TwoPrograms(true); }

INSTANTIATE_TEST_SUITE_P(Seeds, IsoRxSeedTest, ::testing::Values(1, 2, 3, 4));

void IsoRxTest::TwoPrograms(bool reset) {
    Boot(2);
    Program p = NewProgram("left", false, 3, kFrameBytes);
    Program q = NewProgram("right", false, 3, kFrameBytes);
    StartCamera(p, 0, 3);
    StartCamera(q, 1, 4);
    OpenArgs a, b;
    b.key = 0xB0B;
    b.channel = 4;
    UCHAR result = 0xEE;
    ASSERT_EQ(Open(p, a, &result), STATUS_SUCCESS);
    ASSERT_EQ(Open(q, b, &result), STATUS_SUCCESS);
    ASSERT_EQ(Attach(p, a.key, 0, 3), STATUS_SUCCESS);
    ASSERT_EQ(Attach(q, b.key, 0, 3), STATUS_SUCCESS);
    for (ULONG f = 0; f < 4; ++f) {
        for (Program* x : {&p, &q}) {
            ASSERT_TRUE(Next(*x));
            EXPECT_EQ(x->Status(f % 3), 0u);
            CheckFrame(*x, f % 3, 2, x == &p ? 3 : 4);
            ASSERT_EQ(Attach(*x, x == &p ? a.key : b.key, f % 3, 1), STATUS_SUCCESS);
        }
    }
    if (reset) {
        sim_->bus.RequestReset(false);
        for (Program* x : {&p, &q}) {
            for (ULONG j = 0; j < 3; ++j) {
                ASSERT_TRUE(Next(*x));
                ULONG status = x->Status((4 + j) % 3);
                EXPECT_TRUE(status == 0 || status == 1) << status;
            }
        }
        Stream(p, a.key, 2, 3, 3, 2);
        Stream(q, b.key, 2, 4, 3, 2);
    }
    EXPECT_EQ(KeyCall(p, IOCTL_ISOCH_CLOSE, a.key), STATUS_SUCCESS);
    EXPECT_EQ(KeyCall(q, IOCTL_ISOCH_CLOSE, b.key), STATUS_SUCCESS);
}

// A 32-bit program streams with its own record layouts.
TEST_F(IsoRxTest, ThirtyTwoBitProgram) {
    Boot(1);
    Program p = NewProgram("camera32", true, 3, kFrameBytes + kPackets * 4);
    StartCamera(p, 0, 3);
    for (ULONG mode : {1u, 2u}) {
        OpenArgs a;
        a.mode = mode;
        UCHAR result = 0xEE;
        ASSERT_EQ(Open(p, a, &result), STATUS_SUCCESS);
        ASSERT_EQ(result, KX1394_ISOCH_OPENED);
        Stream(p, a.key, mode, 3, 3, 3);
        EXPECT_EQ(KeyCall(p, IOCTL_ISOCH_CLOSE, a.key), STATUS_SUCCESS);
    }
}

// Open records checked before anything is sized from them or allocated.
struct OpenCase {
    const char* what;
    OpenArgs args;
    NTSTATUS status;
    UCHAR result;   // 0xEE: not written
};

OpenArgs With(void (*change)(OpenArgs&)) {
    OpenArgs a;
    change(a);
    return a;
}

TEST_F(IsoRxTest, BadOpenRecords) {
    Boot(1);
    Program p = NewProgram("bad", false, 1, kFrameBytes);
    const OpenCase cases[] = {
        {"key 0", With([](OpenArgs& a) { a.key = 0; }), STATUS_INVALID_PARAMETER, 0xEE},
        {"mode 0", With([](OpenArgs& a) { a.mode = 0; }), STATUS_INVALID_PARAMETER, 0xEE},
        {"mode 4", With([](OpenArgs& a) { a.mode = 4; }), STATUS_INVALID_PARAMETER, 0xEE},
        {"speed 3", With([](OpenArgs& a) { a.speed = 3; }), STATUS_INVALID_PARAMETER, 0xEE},
        {"speed 255", With([](OpenArgs& a) { a.speed = 255; }), STATUS_INVALID_PARAMETER, 0xEE},
        {"payload 8196", With([](OpenArgs& a) { a.payloadQuadlets = 2049; }), STATUS_INVALID_PARAMETER, 0xEE},
        {"payload huge", With([](OpenArgs& a) { a.payloadQuadlets = 0x40000001; }), STATUS_INVALID_PARAMETER, 0xEE},
        {"payload 0 in mode 2", With([](OpenArgs& a) { a.payloadQuadlets = 0; }), STATUS_INVALID_PARAMETER, 0xEE},
        {"packets 0", With([](OpenArgs& a) { a.packets = 0; }), STATUS_INVALID_PARAMETER, 0xEE},
        {"packets huge", With([](OpenArgs& a) { a.packets = 0xFFFFFFFF; }), STATUS_INVALID_PARAMETER, 0xEE},
        {"buffer over 64 MiB", With([](OpenArgs& a) { a.payloadQuadlets = 2048, a.packets = 65536; }),
         STATUS_INVALID_PARAMETER, 0xEE},
        {"header quadlets huge",
         With([](OpenArgs& a) { a.mode = 3, a.headerQuadlets = 0x40000001; }), STATUS_INVALID_PARAMETER, 0xEE},
        {"channel 31 never free", With([](OpenArgs& a) { a.channel = 31; }), STATUS_SUCCESS, 10},
        {"channel 64", With([](OpenArgs& a) { a.channel = 64; }), STATUS_SUCCESS, 10},
        {"largest payload", With([](OpenArgs& a) { a.payloadQuadlets = 2048, a.packets = 8; }), STATUS_SUCCESS, 0},
    };
    for (const OpenCase& c : cases) {
        SCOPED_TRACE(c.what);
        UCHAR result = 0xEE;
        EXPECT_EQ(Open(p, c.args, &result), c.status);
        EXPECT_EQ(result, c.result);
        if (result == 0) {
            EXPECT_EQ(KeyCall(p, IOCTL_ISOCH_CLOSE, c.args.key), STATUS_SUCCESS);
        }
        EXPECT_EQ(Controller()->IsoRxInUse, 0u);
        EXPECT_EQ(Controller()->LocalCsr.ChannelsAvailableHi, 0xFFFFFFFEu);
    }
}

// A second open of a key in use, more streams than contexts, keys that name no stream, and
// attach with memory the program does not own or too small for the stream.
TEST_F(IsoRxTest, KeysContextsAndCallerMemory) {
    Boot(1);
    Program p = NewProgram("keys", false, 1, 4096);
    UCHAR result = 0xEE;
    OpenArgs keys[5];
    for (ULONG i = 0; i < 5; ++i) {
        keys[i].key = 100 + i;
        keys[i].channel = 10 + i;
    }
    for (ULONG i = 0; i < 4; ++i) {
        ASSERT_EQ(Open(p, keys[i], &result), STATUS_SUCCESS);
        ASSERT_EQ(result, KX1394_ISOCH_OPENED);
    }
    OpenArgs again = keys[0];
    again.channel = 20;
    EXPECT_EQ(Open(p, again, &result), NTSTATUS(0xC00000E5));   // STATUS_INTERNAL_ERROR
    // No context: a failure status, so no result byte reaches the program.
    EXPECT_EQ(Open(p, keys[4], &result), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Controller()->LocalCsr.ChannelsAvailableHi & (1u << (31 - 14)), 1u << (31 - 14));
    EXPECT_EQ(Controller()->LocalCsr.ChannelsAvailableHi & (1u << (31 - 20)), 1u << (31 - 20));

    EXPECT_EQ(KeyCall(p, IOCTL_ISOCH_CLOSE, 0x777), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(KeyCall(p, IOCTL_ISOCH_FLUSH, 0x777), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Attach(p, 0x777, 0, 1), STATUS_INVALID_PARAMETER);
    // The buffer is 4096 bytes; the stream needs 307200.
    EXPECT_NE(Attach(p, keys[0].key, 0, 1), STATUS_SUCCESS);
    // An address the program does not own.
    EXPECT_NE(Attach(p, keys[0].key, 0, 1, 0, 0x10000), STATUS_SUCCESS);
    EXPECT_EQ(Tag('Z', 'O', 'I', 'M'), 0u);
    for (ULONG i = 0; i < 4; ++i) EXPECT_EQ(KeyCall(p, IOCTL_ISOCH_CLOSE, keys[i].key), STATUS_SUCCESS);
    EXPECT_EQ(Controller()->IsoRxInUse, 0u);
    EXPECT_EQ(Controller()->LocalCsr.ChannelsAvailableHi, 0xFFFFFFFEu);
}

}  // namespace
