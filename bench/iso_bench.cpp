// The isochronous engine end to end, per virtual second of CPU: the OHCI controller as root and
// cycle master runs the bus's cycles, one or three IIDC cameras stream 640x480 Mono 8 at 30 fps at
// S400, and IR contexts store every packet in buffer-fill rings (the last descriptor branching back
// to the first, so the program never runs dry), as a driver's receive program would.
//
// Register offsets and bits are written here from OHCI 1.1 (table 5-1, HCControl 5.7,
// LinkControl 5.10, ContextControl 3.1.1, IR descriptors chapter 10).
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "bus.h"
#include "iidc_camera.h"
#include "ohci_controller.h"
#include "testing/standalone_host.h"

namespace {

constexpr uint32_t kHCControlSet = 0x050, kHCControlClear = 0x054, kSelfIdBuffer = 0x064, kLinkControlSet = 0x0E0,
                   kPhyControl = 0x0EC;
constexpr uint32_t kLps = 1u << 19, kLinkEnable = 1u << 17, kNoByteSwapData = 1u << 30;
constexpr uint32_t kRcvSelfId = 1u << 9, kCycleTimerEnable = 1u << 20, kCycleMaster = 1u << 21;
constexpr uint32_t kRun = 1u << 15, kBufferFill = 1u << 31;
constexpr uint32_t kInputMore = 0x280C0000;  // cmd 2, s 1, key 0, b 3
constexpr uint32_t kRingBytes = 61440, kRingDescriptors = 5;

uint32_t IrContext(int n) { return 0x400 + 32u * uint32_t(n); }

struct Stream {
    sim::StandaloneHost host;
    sim::Bus bus{host};
    sim::OhciController* ohci = nullptr;
    std::vector<sim::IidcCamera*> cameras;

    explicit Stream(int count) {
        sim::OhciController::Config config;
        config.ports = 4;
        ohci = static_cast<sim::OhciController*>(bus.Add(std::make_unique<sim::OhciController>(host, config)));
        for (int i = 0; i < count; ++i) {
            sim::IidcCamera::Config c;
            c.name = "cam" + std::to_string(i);
            c.guid += uint64_t(i);
            c.presetFormat = 0, c.presetMode = 5, c.presetRate = sim::iidc::k30;
            cameras.push_back(static_cast<sim::IidcCamera*>(bus.Add(std::make_unique<sim::IidcCamera>(c))));
            bus.Connect(ohci, i, cameras.back(), 0);
        }
        W(kHCControlSet, kLps);
        W(kSelfIdBuffer, host.Map(2048));
        W(kLinkControlSet, kRcvSelfId | kCycleTimerEnable | kCycleMaster);
        W(kHCControlClear, kNoByteSwapData);
        W(kHCControlSet, kLinkEnable);
        W(kPhyControl, (1u << 14) | (4u << 8) | 0xC0);  // LCtrl, contender
        host.RunFor(10 * sim::kTicksPerMillisecond);
        for (int i = 0; i < count; ++i) {
            StartRing(i);
            Write(cameras[size_t(i)], sim::iidc::kIsoChannel, sim::iidc::MakeLegacyIso(uint32_t(i), sim::kS400));
            Write(cameras[size_t(i)], sim::iidc::kIsoEn, sim::iidc::kBit31);
        }
    }
    void W(uint32_t offset, uint32_t value) { ohci->WriteRegister(offset, value); }
    void Put32(uint32_t at, uint32_t v) {
        const uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
        host.Write(at, b, 4);
    }
    // A ring of buffer-fill descriptors on channel n.
    void StartRing(int n) {
        const uint32_t d = host.Map(16 * kRingDescriptors);
        for (uint32_t i = 0; i < kRingDescriptors; ++i) {
            Put32(d + 16 * i, kInputMore | kRingBytes);
            Put32(d + 16 * i + 4, host.Map(kRingBytes));
            Put32(d + 16 * i + 8, (d + 16 * ((i + 1) % kRingDescriptors)) | 1);
            Put32(d + 16 * i + 12, kRingBytes);
        }
        W(IrContext(n) + 0xC, d | 1);
        W(IrContext(n) + 0x10, 0xF0000000 | uint32_t(n));
        W(IrContext(n), kRun | kBufferFill);
    }
    // A quadlet write from the controller's side of the bus, as the camera sees it.
    void Write(sim::IidcCamera* camera, uint32_t reg, uint32_t value) {
        sim::Packet w;
        w.speed = sim::kS400;
        w.SetDestinationId(camera->NodeId());
        w.SetTcode(sim::kTcodeWriteQuadletRequest);
        w.SetSourceId(ohci->NodeId());
        w.SetOffset(camera->CommandBase() + reg);
        w.header[3] = value;
        bus.SendAsync(ohci, w);
    }
};

void BM_ControllerReceivesCamerasOneSecond(benchmark::State& state) {
    Stream stream(int(state.range(0)));
    for (auto _ : state) stream.host.RunFor(sim::kTicksPerSecond);
    // Every camera streamed: the cycles ran and each ring was filled round and round.
    const uint64_t cycles = stream.bus.CyclesRun();
    if (cycles < uint64_t(state.iterations()) * 7999) state.SkipWithError("the cycles did not run");
    for (sim::IidcCamera* camera : stream.cameras)
        if (camera->FrameCounter() < uint32_t(state.iterations()) * 29) state.SkipWithError("a camera did not stream");
    state.counters["x_real_time"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ControllerReceivesCamerasOneSecond)->Arg(1)->Arg(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
