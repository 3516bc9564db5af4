// Isochronous reception through the driver, CPU per frame: IIDC cameras stream 640x480 Mono 8 at
// 30 fps, or the largest format 0 mode the model offers (640x480 RGB 8 at 30 fps, 3840-byte
// packets), into a 64-bit program's buffers; the program waits for each completion and attaches
// the buffer again. Process CPU per frame covers the driver, the model, the host kernel and the
// program.
//
// The driver's share: BM_ModelOnHost* run the same cameras into the same kind of IR program on the
// host kernel with no driver, one frame period per iteration, so Direct* less ModelOnHost* (same
// mode and cameras) is what the driver costs per frame period, host kernel work it causes
// included; bench/driver_share.sh splits a run by caller with perf. It should not grow with the
// frame size.
//
// Copy mode (IsoDirectDMA = 0) against direct DMA on the same stream: the difference per frame is
// what carrying the frame through the driver's own pages costs; BM_FrameMemcpy* copy the same
// frame once with plain memcpy, page by page from the pages the controller filled into the
// program's buffer, in the same run. Frame bytes over each gives the two rates to compare.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "frame/device.h"
#include "frame/driver.h"
#include "hk_core.h"
#include "hk_io_test.h"
#include "hk_ke_test.h"
#include "hk_mm_test.h"
#include "hk_sim_host.h"
#include "iidc_camera.h"
#include "kx1394.h"
#include "bench_program.h"

namespace {

constexpr ULONGLONG kMs = 10000;  // 100 ns units
constexpr ULONG kBuffers = 3;
constexpr ULONG kPackets = 240;

hk::Options Unpreempted() {
    hk::Options options;
    options.seed = 0;
    options.timeBudget100ns = ~0ull;
    options.memoryGuards = false;
    return options;
}

struct Mode {
    ULONG mode;          // format 0 mode
    ULONG packetBytes;   // at 30 fps
};
constexpr Mode kY8 = {5, 1280};
constexpr Mode kRgb8 = {4, 3840};

// A controller with `count` cameras on its ports, each offering `mode` at 30 fps.
std::unique_ptr<hk::SimulatedController> ControllerWithCameras(int count, Mode mode, std::vector<sim::IidcCamera*>* cameras) {
    auto sim = std::make_unique<hk::SimulatedController>(sim::OhciController::Config(), hk::pci::DeviceConfig().vector);
    for (int i = 0; i < count; ++i) {
        sim::IidcCamera::Config config;
        config.name = "camera" + std::to_string(i);
        config.guid += ULONGLONG(i);
        config.rates[0][mode.mode] = uint8_t(1u << sim::iidc::k30);
        auto* camera = static_cast<sim::IidcCamera*>(sim->bus.Add(std::make_unique<sim::IidcCamera>(config)));
        sim->bus.Connect(sim->controller, i, camera, 0);
        cameras->push_back(camera);
    }
    return sim;
}

// The driver on a controller with `cameras` cameras, one program streaming from all of them.
struct IsoBench : bench::Program {
    std::unique_ptr<hk::SimulatedController> sim;
    std::vector<sim::IidcCamera*> cameras;
    std::vector<HANDLE> events;
    std::vector<UCHAR*> data;
    std::vector<UCHAR*> descriptors;
    ULONG frameBytes = 0;
    bool ok = false;

    IsoBench(int count, Mode mode, ULONG direct) {
        hk::reg::CreateKey(hk::reg::ServicePath("KX1394DRV64") + "\\Parameters");
        hk::reg::SetDword(hk::reg::ServicePath("KX1394DRV64") + "\\Parameters", "IsoDirectDMA", direct);
        sim = ControllerWithCameras(count, mode, &cameras);
        if (!bench::StartDriverAndProgram(*sim, this)) return;
        frameBytes = mode.packetBytes * kPackets;
        for (int i = 0; i < count; ++i) {
            const ULONG channel = 1 + ULONG(i);
            if (!Write(i, sim::iidc::kCurVFormat, sim::iidc::IndexField(0)) ||
                !Write(i, sim::iidc::kCurVMode, sim::iidc::IndexField(mode.mode)) ||
                !Write(i, sim::iidc::kCurVFrmRate, sim::iidc::IndexField(sim::iidc::k30)) ||
                !Write(i, sim::iidc::kIsoChannel, sim::iidc::MakeLegacyIso(channel, 2)) ||
                !Write(i, sim::iidc::kIsoEn, sim::iidc::kBit31) || !cameras[size_t(i)]->IsoEnabled())
                return;
            events.push_back(hk::user::CreateEvent(process, false, false));
            if (!Open(i, channel, mode.packetBytes)) return;
            data.push_back(static_cast<UCHAR*>(hk::user::Alloc(process, size_t(kBuffers) * frameBytes)));
            descriptors.push_back(static_cast<UCHAR*>(hk::user::Alloc(process, 4096)));
            for (ULONG b = 0; b < kBuffers; ++b)
                if (!Attach(i, b)) return;
        }
        ok = true;
    }
    ~IsoBench() {
        if (pdo != nullptr) hk::pnp::Unplug(pdo);
        if (driver != nullptr) hk::UnloadDriver(driver);
    }

    bool Write(int camera, ULONG reg, ULONG value) {
        Kx1394AsyncIo64 record = {};
        HANDLE done = hk::user::CreateEvent(process, true, false);
        record.DestinationNode = cameras[size_t(camera)]->NodeId();
        record.Offset = cameras[size_t(camera)]->CommandBase() + reg;
        record.Length = 4;
        record.Event = reinterpret_cast<ULONG_PTR>(done);
        record.Data = reinterpret_cast<ULONG_PTR>(memory + 4096);
        record.StatusOut = reinterpret_cast<ULONG_PTR>(memory + 128);
        record.AckOut = reinterpret_cast<ULONG_PTR>(memory + 132);
        record.RcodeOut = reinterpret_cast<ULONG_PTR>(memory + 133);
        ULONG bus = __builtin_bswap32(value);
        memcpy(memory + 4096, &bus, 4);
        memcpy(memory, &record, sizeof(record));
        if (hk::user::DeviceIoControl(process, device, IOCTL_ASYNC_WRITE, memory, 96, nullptr, 0, nullptr) != STATUS_SUCCESS)
            return false;
        if (memory[132] == 2 && hk::user::WaitEvent(process, done) != STATUS_SUCCESS) return false;
        return true;
    }

    bool Open(int camera, ULONG channel, ULONG packetBytes) {
        Kx1394IsochOpen64 open = {};
        open.StreamKey = 100 + ULONG(camera);
        open.Mode = KX1394_ISOCH_MODE_2;
        open.Channel = UCHAR(channel);
        open.Speed = 2;
        open.PayloadQuadlets = packetBytes / 4;
        open.Packets = kPackets;
        open.Event = reinterpret_cast<ULONG_PTR>(events[size_t(camera)]);
        memcpy(memory, &open, sizeof(open));
        memory[200] = 0xEE;
        return hk::user::DeviceIoControl(process, device, IOCTL_ISOCH_OPEN, memory, 40, memory + 200, 1, nullptr) ==
                   STATUS_SUCCESS &&
               memory[200] == KX1394_ISOCH_OPENED;
    }

    bool Attach(int camera, ULONG buffer) {
        UCHAR* d = descriptors[size_t(camera)] + 64 * buffer;
        Kx1394IsochBuffer64 record = {};
        record.Status = 0xEEEEEEEE;
        record.SyncKind = KX1394_SYNC_FIRST;
        record.Sync = 1;
        record.TagMask = 1;
        record.DataBuffer = reinterpret_cast<ULONG_PTR>(data[size_t(camera)] + size_t(buffer) * frameBytes);
        memcpy(d, &record, sizeof(record));
        ULONGLONG pointer = reinterpret_cast<ULONG_PTR>(d);
        UCHAR* array = descriptors[size_t(camera)] + 2048;
        memcpy(array, &pointer, 8);
        Kx1394IsochAttach64 attach = {};
        attach.StreamKey = 100 + ULONG(camera);
        attach.Descriptors = reinterpret_cast<ULONG_PTR>(array);
        attach.Count = 1;
        memcpy(memory, &attach, sizeof(attach));
        return hk::user::DeviceIoControl(process, device, IOCTL_ISOCH_ATTACH_BUFFERS, memory, 24, nullptr, 0, nullptr) ==
               STATUS_SUCCESS;
    }

    // One frame from each camera, buffers in turn; with `copies`, the program then copies each
    // frame it received into a buffer of its own (ProgramCopy).
    bool Frame(ULONG n, std::vector<std::vector<UCHAR>>* copies = nullptr) {
        for (size_t i = 0; i < cameras.size(); ++i) {
            if (hk::user::WaitEvent(process, events[i]) != STATUS_SUCCESS) return false;
            ULONG b = n % kBuffers;
            ULONG status = 1;
            memcpy(&status, descriptors[i] + 64 * b, 4);
            if (status != 0) return false;
            if (copies != nullptr) ProgramCopy((*copies)[b].data(), data[i] + size_t(b) * frameBytes, frameBytes);
            if (!Attach(int(i), b)) return false;
        }
        return true;
    }

    // A plain memcpy of a frame the driver delivered, page by page as the driver copies it from
    // its ring: the same frames, in the same run, under the same caches. Not inlined, so that a
    // profile names it (bench/driver_share.sh).
    __attribute__((noinline)) static void ProgramCopy(UCHAR* to, const UCHAR* from, ULONG bytes) {
        for (ULONG offset = 0; offset < bytes; offset += 4096)
            memcpy(to + offset, from + offset, bytes - offset < 4096 ? bytes - offset : 4096);
        benchmark::DoNotOptimize(to);
        benchmark::ClobberMemory();
    }
};

// The model alone on the host kernel, the reference the driver's share is measured against: the
// same controller and cameras, no driver. The benchmark brings the link up and programs each IR
// context itself (OHCI 1.1 register offsets and bits: HCControl 5.7, LinkControl 5.10,
// ContextControl 3.1.1, IR descriptors chapter 10) with the program the driver builds in direct
// mode for mode 2 (per packet: the header quadlets into a scratch quadlet, the payload into the
// frame buffer, an INPUT_LAST), over three frame buffers with the last packet branching back to the
// first, so the context never runs dry and nothing interrupts. The DMA memory comes from a device
// the fake PCI bus plugs without a function driver.
struct ModelOnHost {
    static constexpr ULONG kHCControlSet = 0x050, kHCControlClear = 0x054, kSelfIdBuffer = 0x064,
                           kLinkControlSet = 0x0E0, kPhyControl = 0x0EC;
    static constexpr ULONG kLps = 1u << 19, kLinkEnable = 1u << 17, kNoByteSwapData = 1u << 30;
    static constexpr ULONG kRcvSelfId = 1u << 9, kCycleTimerEnable = 1u << 20, kCycleMaster = 1u << 21;
    static constexpr ULONG kRun = 1u << 15, kIsochHeader = 1u << 30;
    static constexpr ULONG kInputMore = 0x28000000, kInputLast = 0x380C0000;  // s = 1; b = 3 on INPUT_LAST

    std::unique_ptr<hk::SimulatedController> sim;
    std::vector<sim::IidcCamera*> cameras;
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    PDMA_ADAPTER adapter = nullptr;
    struct Block {
        PVOID virt;
        PHYSICAL_ADDRESS bus;
        ULONG length;
    };
    std::vector<Block> blocks;
    bool ok = false;

    static NTSTATUS NullEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

    ModelOnHost(int count, Mode mode) {
        sim = ControllerWithCameras(count, mode, &cameras);
        hk::RunFor(10 * kMs);
        if (!NT_SUCCESS(hk::LoadDriver(NullEntry, "KXNULL", &driver))) return;
        pdo = hk::pci::PlugDevice(driver, sim->PciConfig());
        if (pdo == nullptr) return;
        DEVICE_DESCRIPTION description = {};
        description.Version = DEVICE_DESCRIPTION_VERSION;
        description.Master = TRUE;
        description.ScatterGather = TRUE;
        description.Dma32BitAddresses = TRUE;
        description.InterfaceType = PCIBus;
        description.MaximumLength = 0x7FFFFFFF;
        ULONG registers = 0;
        adapter = IoGetDmaAdapter(pdo, &description, &registers);
        if (adapter == nullptr) return;
        W(kHCControlSet, kLps);
        W(kSelfIdBuffer, Allocate(2048).bus.LowPart);
        W(kLinkControlSet, kRcvSelfId | kCycleTimerEnable | kCycleMaster);
        W(kHCControlClear, kNoByteSwapData);
        W(kHCControlSet, kLinkEnable);
        W(kPhyControl, (1u << 14) | (4u << 8) | 0xC0);  // LCtrl, contender
        hk::RunFor(10 * kMs);
        const ULONG frameBytes = mode.packetBytes * kPackets;
        for (int i = 0; i < count; ++i) {
            const ULONG channel = 1 + ULONG(i);
            if (!StartProgram(i, channel, mode.packetBytes, frameBytes)) return;
            Write(cameras[size_t(i)], sim::iidc::kCurVFormat, sim::iidc::IndexField(0));
            Write(cameras[size_t(i)], sim::iidc::kCurVMode, sim::iidc::IndexField(mode.mode));
            Write(cameras[size_t(i)], sim::iidc::kCurVFrmRate, sim::iidc::IndexField(sim::iidc::k30));
            Write(cameras[size_t(i)], sim::iidc::kIsoChannel, sim::iidc::MakeLegacyIso(channel, 2));
            Write(cameras[size_t(i)], sim::iidc::kIsoEn, sim::iidc::kBit31);
            hk::RunFor(1 * kMs);
            if (!cameras[size_t(i)]->IsoEnabled()) return;
        }
        ok = true;
    }
    ~ModelOnHost() {
        for (const Block& b : blocks) adapter->DmaOperations->FreeCommonBuffer(adapter, b.length, b.bus, b.virt, TRUE);
        if (adapter != nullptr) adapter->DmaOperations->PutDmaAdapter(adapter);
        if (pdo != nullptr) hk::pnp::Unplug(pdo);
        if (driver != nullptr) hk::UnloadDriver(driver);
    }
    void W(ULONG offset, ULONG value) { sim->controller->WriteRegister(offset, value); }
    Block Allocate(ULONG length) {
        Block b = {nullptr, {}, length};
        b.virt = adapter->DmaOperations->AllocateCommonBuffer(adapter, length, &b.bus, TRUE);
        if (b.virt != nullptr) {
            memset(b.virt, 0, length);
            blocks.push_back(b);
        }
        return b;
    }
    static void Put(PULONG d, ULONG q0, ULONG q1, ULONG q2, ULONG q3) {
        d[0] = q0;
        d[1] = q1;
        d[2] = q2;
        d[3] = q3;
    }
    bool StartProgram(int n, ULONG channel, ULONG packetBytes, ULONG frameBytes) {
        constexpr ULONG kBlockBytes = 48;   // three descriptors
        const ULONG packets = kPackets * kBuffers;
        Block program = Allocate(packets * kBlockBytes);
        Block scratch = Allocate(4096);
        Block frames = Allocate(frameBytes * kBuffers);
        if (program.virt == nullptr || scratch.virt == nullptr || frames.virt == nullptr) return false;
        const ULONG base = program.bus.LowPart;
        for (ULONG k = 0; k < packets; ++k) {
            auto* d = reinterpret_cast<PULONG>(static_cast<PUCHAR>(program.virt) + k * kBlockBytes);
            const ULONG at = base + k * kBlockBytes;
            const ULONG next = base + ((k + 1) % packets) * kBlockBytes;
            Put(d, kInputMore | 8, scratch.bus.LowPart, at + 16, 8);
            Put(d + 4, kInputMore | packetBytes, frames.bus.LowPart + k * packetBytes, at + 32, packetBytes);
            Put(d + 8, kInputLast, 0, next | 3, 0);
        }
        const ULONG context = 0x400 + 32 * ULONG(n);
        W(context + 0x0C, base | 3);
        W(context + 0x10, 0x10000000 | channel);   // tag 0
        W(context, kRun | kIsochHeader);
        return true;
    }
    // A quadlet write from the controller's side of the bus, as the camera sees it.
    void Write(sim::IidcCamera* camera, ULONG reg, ULONG value) {
        sim::Packet w;
        w.speed = sim::kS400;
        w.SetDestinationId(camera->NodeId());
        w.SetTcode(sim::kTcodeWriteQuadletRequest);
        w.SetSourceId(sim->controller->NodeId());
        w.SetOffset(camera->CommandBase() + reg);
        w.header[3] = value;
        sim->bus.SendAsync(sim->controller, w);
        hk::RunFor(1 * kMs);
    }
};

// One frame period of every camera per iteration, the model and the host kernel alone.
void RunModel(benchmark::State& state, int cameras, Mode mode) {
    constexpr ULONGLONG kFramePeriod = 10000000 / 30;   // 100 ns units
    hk::Kernel kernel(Unpreempted());
    ModelOnHost model(cameras, mode);
    if (!model.ok) {
        state.SkipWithError("the model did not stream");
        return;
    }
    const uint32_t before = model.cameras[0]->FrameCounter();
    for (auto _ : state) hk::RunFor(kFramePeriod);
    if (model.cameras[0]->FrameCounter() + 2 < before + state.iterations()) state.SkipWithError("frames went missing");
    state.SetItemsProcessed(int64_t(state.iterations()) * cameras);
}

void RunFrames(benchmark::State& state, int cameras, Mode mode, ULONG direct, bool programCopies = false) {
    hk::Kernel kernel(Unpreempted());
    IsoBench bench(cameras, mode, direct);
    if (!bench.ok) {
        state.SkipWithError("streams did not start");
        return;
    }
    std::vector<std::vector<UCHAR>> copies;
    if (programCopies) copies.assign(kBuffers, std::vector<UCHAR>(bench.frameBytes, 0));
    ULONG n = 0;
    for (auto _ : state) {
        if (!bench.Frame(n++, programCopies ? &copies : nullptr)) {
            state.SkipWithError("a frame failed");
            break;
        }
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * cameras);
    state.SetBytesProcessed(int64_t(state.iterations()) * cameras * bench.frameBytes);
}

void BM_DirectY8Frame(benchmark::State& state) { RunFrames(state, 1, kY8, 1); }
BENCHMARK(BM_DirectY8Frame)->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond);
void BM_DirectRgb8Frame(benchmark::State& state) { RunFrames(state, 1, kRgb8, 1); }
BENCHMARK(BM_DirectRgb8Frame)->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond);
void BM_DirectThreeCamerasY8(benchmark::State& state) { RunFrames(state, 3, kY8, 1); }
BENCHMARK(BM_DirectThreeCamerasY8)->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond);
void BM_ModelOnHostY8Frame(benchmark::State& state) { RunModel(state, 1, kY8); }
BENCHMARK(BM_ModelOnHostY8Frame)->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond);
void BM_ModelOnHostRgb8Frame(benchmark::State& state) { RunModel(state, 1, kRgb8); }
BENCHMARK(BM_ModelOnHostRgb8Frame)->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond);
void BM_ModelOnHostThreeCamerasY8(benchmark::State& state) { RunModel(state, 3, kY8); }
BENCHMARK(BM_ModelOnHostThreeCamerasY8)->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond);
void BM_CopyY8Frame(benchmark::State& state) { RunFrames(state, 1, kY8, 0); }
BENCHMARK(BM_CopyY8Frame)->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond);
void BM_CopyRgb8Frame(benchmark::State& state) { RunFrames(state, 1, kRgb8, 0); }
BENCHMARK(BM_CopyRgb8Frame)->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond);
// Copy mode with the program copying each delivered frame once more: in a profile of one run,
// the driver's copy (isorx::CopyRingFrame) and ProgramCopy move the same bytes.
void BM_CopyY8AgainstMemcpy(benchmark::State& state) { RunFrames(state, 1, kY8, 0, true); }
BENCHMARK(BM_CopyY8AgainstMemcpy)->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond);
void BM_CopyRgb8AgainstMemcpy(benchmark::State& state) { RunFrames(state, 1, kRgb8, 0, true); }
BENCHMARK(BM_CopyRgb8AgainstMemcpy)->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond);

// A frame copied once with plain memcpy, page by page from the pages the controller filled into
// a program's buffer, turning over three of each as the stream does (so the caches hold no more
// than they would).
void FrameMemcpy(benchmark::State& state, ULONG frameBytes) {
    constexpr int kTurn = 3;
    std::vector<std::vector<UCHAR>> pages(kTurn), callers(kTurn);
    for (int i = 0; i < kTurn; ++i) {
        pages[size_t(i)].assign(frameBytes, UCHAR(i));
        callers[size_t(i)].assign(frameBytes, 0);
    }
    size_t n = 0;
    for (auto _ : state) {
        UCHAR* page = pages[n % kTurn].data();
        UCHAR* caller = callers[n % kTurn].data();
        ++n;
        for (ULONG offset = 0; offset < frameBytes; offset += 4096)
            memcpy(caller + offset, page + offset, frameBytes - offset < 4096 ? frameBytes - offset : 4096);
        benchmark::DoNotOptimize(caller);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * frameBytes);
}
void BM_FrameMemcpyY8(benchmark::State& state) { FrameMemcpy(state, kY8.packetBytes * kPackets); }
BENCHMARK(BM_FrameMemcpyY8)->Unit(benchmark::kMicrosecond);
void BM_FrameMemcpyRgb8(benchmark::State& state) { FrameMemcpy(state, kRgb8.packetBytes * kPackets); }
BENCHMARK(BM_FrameMemcpyRgb8)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
