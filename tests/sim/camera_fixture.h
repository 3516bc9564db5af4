// A camera and a listening node on one bus, for the streaming tests: the listener sends register
// requests to the camera and records every isochronous packet it sees; RunCycles stands for the
// cycle master, calling every active link's OnCycleStart once per 125 us cycle of virtual time.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "iidc_camera.h"
#include "nodes_fixture.h"

namespace camera_test {

class Listener : public nodes_test::Requester {
public:
    explicit Listener(sim::Speed speed) { phy() = sim::Phy(1, speed); }
    void ReceiveIsochronous(const sim::IsoPacket& packet) override {
        iso.push_back(packet);
        isoCycle.push_back(cycle);
    }
    std::vector<sim::IsoPacket> iso;
    std::vector<uint64_t> isoCycle;  // the cycle each packet came in
    uint64_t cycle = 0;
};

struct CameraBus {
    sim::StandaloneHost host;
    sim::Bus bus{host};
    Listener* listener = nullptr;
    sim::IidcCamera* camera = nullptr;
    uint64_t cycles = 0;

    explicit CameraBus(const sim::IidcCamera::Config& config) {
        listener = static_cast<Listener*>(bus.Add(std::make_unique<Listener>(config.speed)));
        camera = static_cast<sim::IidcCamera*>(bus.Add(std::make_unique<sim::IidcCamera>(config)));
        EXPECT_TRUE(bus.Connect(listener, 0, camera, 0));
        host.RunFor(5 * sim::kTicksPerMillisecond);
        EXPECT_FALSE(bus.InReset());
    }
    // Register access by quadlet transactions, as a host program does.
    uint32_t Read(uint64_t offset, uint8_t* rcode = nullptr) {
        size_t before = listener->received.size();
        bus.SendAsync(listener, nodes_test::ReadQuadlet(camera->NodeId(), listener->NodeId(), offset));
        host.RunFor(sim::kTicksPerMillisecond);
        EXPECT_EQ(before + 1, listener->received.size());
        if (listener->received.size() == before) return 0;
        if (rcode) *rcode = listener->received.back().Rcode();
        return listener->received.back().QuadletData();
    }
    uint8_t Write(uint64_t offset, uint32_t value) {
        size_t before = listener->received.size();
        bus.SendAsync(listener, nodes_test::WriteQuadlet(camera->NodeId(), listener->NodeId(), offset, value));
        host.RunFor(sim::kTicksPerMillisecond);
        EXPECT_EQ(before + 1, listener->received.size());
        return listener->received.size() > before ? listener->received.back().Rcode() : 0xFF;
    }
    uint32_t Reg(uint32_t reg) { return Read(camera->CommandBase() + reg); }
    uint8_t SetReg(uint32_t reg, uint32_t value) { return Write(camera->CommandBase() + reg, value); }

    // n isochronous cycles: every active link's OnCycleStart, in node order.
    void RunCycles(uint64_t n) {
        for (uint64_t i = 0; i < n; ++i, ++cycles) {
            listener->cycle = cycles;
            const uint32_t cycleTime = uint32_t((cycles / 8000 % 128) << 25 | (cycles % 8000) << 12);
            for (const auto& node : bus.nodes())
                if (node->LinkActive()) node->OnCycleStart(cycleTime);
        }
    }
};

// The documented test pattern, computed here on its own: bytes 0..3 the frame counter big-endian,
// then (x + y + frame) & 0xFF with x, y the byte's column and line.
inline uint8_t ExpectedPatternByte(uint32_t frame, uint32_t offset, uint32_t lineBytes) {
    if (offset < 4) return uint8_t(frame >> (8 * (3 - offset)));
    return uint8_t((offset % lineBytes) + (offset / lineBytes) + frame);
}

}  // namespace camera_test
