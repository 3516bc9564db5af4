// Benchmarks of the hardware model alone (no host kernel, no driver), per second of CPU:
//  - quadlet read transactions from an IIDC camera, driven through the OHCI controller as a driver
//    drives it: an AT request program (OUTPUT_LAST-Immediate, appended with branch and wake), the
//    read response stored by the AR response context in buffer-fill mode;
//  - the same transaction at the bus level, node to node, without the controller;
//  - bus resets (tree identification and self-identification) on a 63-node bus;
//  - one virtual second of one and of three IIDC cameras streaming 640x480 Mono 8 at 30 fps.
//
// Register offsets and bits are written here from OHCI 1.1 (table 5-1, HCControl 5.7,
// LinkControl 5.10, ContextControl 3.1.1, descriptors 7.1 and 8.1, AT header 7.8.1.1).
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "bus.h"
#include "csr_node.h"
#include "iidc_camera.h"
#include "ohci_controller.h"
#include "testing/standalone_host.h"

namespace {

constexpr uint32_t kHCControlSet = 0x050, kHCControlClear = 0x054, kSelfIdBuffer = 0x064, kIntEventClear = 0x084,
                   kLinkControlSet = 0x0E0, kAsyncRequestFilterHiSet = 0x100,
                   kAsyncRequestFilterLoSet = 0x108, kATRetries = 0x008;
constexpr uint32_t kAtRequest = 0x180, kArResponse = 0x1E0;  // + 0 ControlSet, + 4 ControlClear, + 0xC CommandPtr
constexpr uint32_t kNoByteSwapData = 1u << 30, kLps = 1u << 19, kLinkEnable = 1u << 17;
constexpr uint32_t kRcvSelfId = 1u << 9, kRcvPhyPkt = 1u << 10, kCycleTimerEnable = 1u << 20;
constexpr uint32_t kRun = 1u << 15, kWake = 1u << 12;
constexpr uint32_t kOutputLastImmediate = 0x123C0000;  // cmd 1, key 2, i 3, b 3
constexpr uint32_t kInputMore = 0x283C0000;            // cmd 2, s 1, i 3, b 3
constexpr uint32_t kArBufferSize = 0x8000;
constexpr uint32_t kResponseBytes = 20;  // read quadlet response: four header quadlets and the trailer
constexpr uint64_t kCameraCommandBase = 0xFFFFF0F00000ull;

// An OHCI controller and a camera on one bus, brought up as a driver does.
struct ControllerBench {
    sim::StandaloneHost host;
    sim::Bus bus{host};
    sim::OhciController* ohci = nullptr;
    sim::IidcCamera* camera = nullptr;
    uint32_t blocks = 0;  // two AT blocks of 32 bytes, used in turn
    uint32_t arDescriptor = 0, arBuffer = 0;
    int current = -1;
    uint8_t tlabel = 0;

    ControllerBench() {
        ohci = static_cast<sim::OhciController*>(bus.Add(std::make_unique<sim::OhciController>(host, sim::OhciController::Config{})));
        camera = static_cast<sim::IidcCamera*>(bus.Add(std::make_unique<sim::IidcCamera>(sim::IidcCamera::Config{})));
        camera->responseDelay = sim::kTicksPerMicrosecond;
        bus.Connect(ohci, 0, camera, 0);
        W(kHCControlSet, kLps);
        W(kSelfIdBuffer, host.Map(2048));
        W(kLinkControlSet, kRcvSelfId | kRcvPhyPkt | kCycleTimerEnable);
        W(kAsyncRequestFilterHiSet, 0xFFFFFFFF);
        W(kAsyncRequestFilterLoSet, 0xFFFFFFFF);
        W(kATRetries, 0x00000822);
        W(kHCControlClear, kNoByteSwapData);
        W(kHCControlSet, kLinkEnable);
        bus.RequestReset(false);
        host.RunFor(sim::kTicksPerMillisecond);
        W(kIntEventClear, 0xFFFFFFFF);
        blocks = host.Map(64);
        arDescriptor = host.Map(16);
        arBuffer = host.Map(kArBufferSize);
        StartAr();
    }

    void W(uint32_t offset, uint32_t value) { ohci->WriteRegister(offset, value); }
    uint32_t R(uint32_t offset) { return ohci->ReadRegister(offset); }
    void Put32(uint32_t address, uint32_t value) { host.Write32(address, value); }  // little-endian memory

    // One INPUT_MORE descriptor with one buffer; restarted when the buffer is nearly full.
    void StartAr() {
        W(kArResponse + 4, kRun);
        host.RunFor(sim::kTicksPerMicrosecond);
        Put32(arDescriptor, kInputMore | kArBufferSize);
        Put32(arDescriptor + 4, arBuffer);
        Put32(arDescriptor + 8, 0);
        Put32(arDescriptor + 12, kArBufferSize);
        W(kArResponse + 0xC, arDescriptor | 1);
        W(kArResponse + 0, kRun);
    }
    uint32_t ArRoomLeft() { return host.Read32(arDescriptor + 12) & 0xFFFF; }

    // A read quadlet request (IEEE 1394-1995 6.2.2.1) as an OHCI AT immediate header: q0 spd,
    // tLabel, rt, tCode; q1 destination_ID and offset high; q2 offset low. Appended after the
    // previous block with branch address | Z = 2, then wake.
    void SendRead(uint64_t offset) {
        const int next = current < 0 ? 0 : 1 - current;
        const uint32_t at = blocks + uint32_t(next) * 32;
        tlabel = uint8_t((tlabel + 1) & 0x3F);
        Put32(at, kOutputLastImmediate | 12);
        Put32(at + 4, 0);
        Put32(at + 8, 0);
        Put32(at + 12, 0);
        Put32(at + 16, (uint32_t(sim::kS400) << 16) | (uint32_t(tlabel) << 10) | (1u << 8) | (sim::kTcodeReadQuadletRequest << 4));
        Put32(at + 20, (uint32_t(camera->NodeId()) << 16) | uint32_t(offset >> 32));
        Put32(at + 24, uint32_t(offset));
        Put32(at + 28, 0);
        if (current < 0) {
            W(kAtRequest + 0xC, at | 2);
            W(kAtRequest + 0, kRun);
        } else {
            Put32(blocks + uint32_t(current) * 32 + 8, at | 2);
            W(kAtRequest + 0, kWake);
        }
        current = next;
    }
};

void BM_QuadletReadThroughController(benchmark::State& state) {
    ControllerBench b;
    const uint64_t offset = kCameraCommandBase + sim::iidc::kVFormatInq;
    uint64_t responses = 0;
    for (auto _ : state) {
        if (b.ArRoomLeft() < kResponseBytes) b.StartAr();
        const uint32_t before = b.ArRoomLeft();
        b.SendRead(offset);
        b.host.RunFor(3 * sim::kTicksPerMicrosecond);
        if (b.ArRoomLeft() == before - kResponseBytes) ++responses;
    }
    if (responses != uint64_t(state.iterations())) state.SkipWithError("a read response did not reach the AR buffer");
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_QuadletReadThroughController);

// A requester link on the bus: counts the responses it is given.
class Requester : public sim::Node {
public:
    Requester() : Node("requester", 1, sim::kS400) {}
    sim::Ack ReceivePacket(const sim::Packet&) override {
        ++responses;
        return sim::kAckComplete;
    }
    uint64_t responses = 0;
};

void BM_QuadletReadBusLevel(benchmark::State& state) {
    sim::StandaloneHost host;
    sim::Bus bus(host);
    auto* requester = static_cast<Requester*>(bus.Add(std::make_unique<Requester>()));
    auto* camera = static_cast<sim::IidcCamera*>(bus.Add(std::make_unique<sim::IidcCamera>(sim::IidcCamera::Config{})));
    camera->responseDelay = sim::kTicksPerMicrosecond;
    bus.Connect(requester, 0, camera, 0);
    host.RunFor(sim::kTicksPerMillisecond);
    sim::Packet request;
    request.speed = sim::kS400;
    request.SetDestinationId(camera->NodeId());
    request.SetTcode(sim::kTcodeReadQuadletRequest);
    request.SetSourceId(requester->NodeId());
    request.SetOffset(kCameraCommandBase + sim::iidc::kVFormatInq);
    for (auto _ : state) {
        benchmark::DoNotOptimize(bus.SendAsync(requester, request));
        host.RunFor(2 * sim::kTicksPerMicrosecond);
    }
    if (requester->responses != uint64_t(state.iterations())) state.SkipWithError("a response went missing");
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_QuadletReadBusLevel);

// 63 plain nodes of three ports in a binary tree: node i hangs on port 1 or 2 of node (i-1)/2.
void BM_BusReset63Nodes(benchmark::State& state) {
    sim::StandaloneHost host;
    sim::Bus bus(host);
    std::vector<sim::Node*> nodes;
    for (int i = 0; i < 63; ++i) {
        sim::RomDirectory root;
        root.Add(sim::rom::kKeyVendor, 0x00ACDE).Add(sim::rom::kKeyNodeCapabilities, 0x0083C0);
        nodes.push_back(bus.Add(std::make_unique<sim::CsrNode>(
            "n" + std::to_string(i), 3, sim::kS400, sim::ConfigRom::Build(sim::BusOptions{}, 0x00ACDE0000000000ull + uint64_t(i), root))));
        if (i > 0) bus.Connect(nodes[size_t((i - 1) / 2)], 1 + (i - 1) % 2, nodes.back(), 0);
    }
    host.RunFor(10 * sim::kTicksPerMillisecond);
    const uint32_t first = bus.Generation();
    for (auto _ : state) {
        bus.RequestReset(false);
        host.RunFor(bus.longResetTime + sim::kTicksPerMicrosecond);
    }
    if (bus.NodeCount() != 63 || bus.Generation() - first != uint32_t(state.iterations()))
        state.SkipWithError("a reset did not complete with 63 nodes");
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_BusReset63Nodes);

// A node that takes in every isochronous packet and counts its bytes, as a receiving link would
// see them; it needs no cycles of its own.
class IsoSink : public sim::Node {
public:
    IsoSink() : Node("sink", 1, sim::kS400) {}
    sim::Ack ReceivePacket(const sim::Packet&) override { return sim::kAckComplete; }
    bool WantsCycleStarts() const override { return false; }
    void ReceiveIsochronous(const sim::IsoPacket& packet) override {
        ++packets;
        bytes += packet.data.size();
    }
    uint64_t packets = 0, bytes = 0;
};

// One virtual second of `state.range(0)` IIDC cameras streaming 640x480 Mono 8 at 30 fps at S400
// on channels 0, 1, 2 into a listening node, on the cycles of a plain root node that is cycle
// master (STATE.cmstr): the bus's 8000 cycle starts a second, each camera's packet per cycle, the
// sink receiving them. Time per iteration is CPU per virtual second: below 50 ms is 20 times
// faster than real time.
void BM_CameraStreamOneSecond(benchmark::State& state) {
    sim::StandaloneHost host;
    sim::Bus bus(host);
    sim::BusOptions options;
    options.cmc = true;
    auto* master = static_cast<sim::CsrNode*>(bus.Add(std::make_unique<sim::CsrNode>(
        "cm", 4, sim::kS400, sim::ConfigRom::Build(options, 0x0000AA0000000001ull, sim::RomDirectory()))));
    master->phy().rootHoldoff = true;
    auto* sink = static_cast<IsoSink*>(bus.Add(std::make_unique<IsoSink>()));
    bus.Connect(master, 0, sink, 0);
    std::vector<sim::IidcCamera*> cameras;
    for (int i = 0; i < int(state.range(0)); ++i) {
        sim::IidcCamera::Config c;
        c.name = "cam" + std::to_string(i);
        c.guid += uint64_t(i);
        c.presetFormat = 0, c.presetMode = 5, c.presetRate = sim::iidc::k30;
        cameras.push_back(static_cast<sim::IidcCamera*>(bus.Add(std::make_unique<sim::IidcCamera>(c))));
        bus.Connect(master, 1 + i, cameras.back(), 0);
    }
    host.RunFor(10 * sim::kTicksPerMillisecond);
    master->SetCycleMaster(true);
    if (bus.Root() != master) state.SkipWithError("the cycle master is not root");
    // ISO_CHANNEL/ISO_SPEED and ISO_EN by quadlet write requests from the sink.
    auto write = [&](sim::IidcCamera* cam, uint32_t reg, uint32_t value) {
        sim::Packet w;
        w.speed = sim::kS400;
        w.SetDestinationId(cam->NodeId());
        w.SetTcode(sim::kTcodeWriteQuadletRequest);
        w.SetSourceId(sink->NodeId());
        w.SetOffset(cam->CommandBase() + reg);
        w.header[3] = value;
        bus.SendAsync(sink, w);
        host.RunFor(20 * sim::kTicksPerMicrosecond);
    };
    for (size_t i = 0; i < cameras.size(); ++i) {
        write(cameras[i], sim::iidc::kIsoChannel, sim::iidc::MakeLegacyIso(uint32_t(i), sim::kS400));
        write(cameras[i], sim::iidc::kIsoEn, sim::iidc::kBit31);
        if (!cameras[i]->IsoEnabled()) state.SkipWithError("ISO_EN did not take");
    }
    const uint64_t cyclesBefore = bus.CyclesRun();
    for (auto _ : state) host.RunFor(sim::kTicksPerSecond);
    const uint64_t cycles = bus.CyclesRun() - cyclesBefore;
    const uint64_t expected = uint64_t(state.iterations()) * 7200 * cameras.size();
    if (cycles + 2 < uint64_t(state.iterations()) * 8000 || sink->packets + 240 * cameras.size() < expected ||
        sink->packets > expected + 240 * cameras.size())
        state.SkipWithError("the cameras did not send 30 frames of 240 packets a second");
    state.SetBytesProcessed(int64_t(sink->bytes));
    state.counters["cycles"] = double(cycles);
}
BENCHMARK(BM_CameraStreamOneSecond)->Arg(1)->Arg(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
