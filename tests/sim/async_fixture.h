// The bench of the asynchronous DMA tests: an OHCI controller and an IIDC camera on one bus, a
// recording node a test may add, DMA memory, and descriptor programs written the way OHCI 1.1
// lays them out. The tests drive the controller as a driver does: registers and memory only.
//
// Every constant here is written from OHCI 1.1 (register map table 5-1, HCControl 5.7,
// LinkControl 5.10, IntEvent 6.1, ContextControl 3.1.1, descriptors 7.1 and 8.1, AT header
// formats 7.8) and IEEE 1394-1995 6.2, not taken from the model.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "bus.h"
#include "csr_node.h"
#include "iidc_camera.h"
#include "node.h"
#include "ohci_controller.h"
#include "testing/standalone_host.h"

namespace sim::async_test {

// Register offsets (OHCI 1.1 table 5-1).
inline constexpr uint32_t kATRetries = 0x008;
inline constexpr uint32_t kHCControlSet = 0x050;
inline constexpr uint32_t kHCControlClear = 0x054;
inline constexpr uint32_t kSelfIdBuffer = 0x064;
inline constexpr uint32_t kSelfIdCount = 0x068;
inline constexpr uint32_t kIntEventSet = 0x080;
inline constexpr uint32_t kIntEventClear = 0x084;
inline constexpr uint32_t kLinkControlSet = 0x0E0;
inline constexpr uint32_t kLinkControlClear = 0x0E4;
inline constexpr uint32_t kNodeId = 0x0E8;
inline constexpr uint32_t kCycleTimer = 0x0F0;
inline constexpr uint32_t kAsyncRequestFilterHiSet = 0x100;
inline constexpr uint32_t kAsyncRequestFilterLoSet = 0x108;
// Context register blocks: +0 ContextControlSet, +4 ContextControlClear, +0xC CommandPtr.
inline constexpr uint32_t kAtRequest = 0x180;
inline constexpr uint32_t kAtResponse = 0x1A0;
inline constexpr uint32_t kArRequest = 0x1C0;
inline constexpr uint32_t kArResponse = 0x1E0;
inline constexpr uint32_t kControlSet = 0x0;
inline constexpr uint32_t kControlClear = 0x4;
inline constexpr uint32_t kCommandPtr = 0xC;

// HCControl: noByteSwapData 30, LPS 19, linkEnable 17.
inline constexpr uint32_t kNoByteSwapData = 1u << 30;
inline constexpr uint32_t kLps = 1u << 19;
inline constexpr uint32_t kLinkEnable = 1u << 17;
// LinkControl: cycleTimerEnable 20, rcvPhyPkt 10, rcvSelfID 9.
inline constexpr uint32_t kCycleTimerEnable = 1u << 20;
inline constexpr uint32_t kRcvPhyPkt = 1u << 10;
inline constexpr uint32_t kRcvSelfId = 1u << 9;
// IntEvent.
inline constexpr uint32_t kReqTxComplete = 1u << 0;
inline constexpr uint32_t kRespTxComplete = 1u << 1;
inline constexpr uint32_t kArrq = 1u << 2;
inline constexpr uint32_t kArrs = 1u << 3;
inline constexpr uint32_t kRqPkt = 1u << 4;
inline constexpr uint32_t kRsPkt = 1u << 5;
inline constexpr uint32_t kBusResetBit = 1u << 17;
inline constexpr uint32_t kUnrecoverableError = 1u << 24;
// ContextControl: run 15, wake 12, dead 11, active 10, spd 7:5, event 4:0.
inline constexpr uint32_t kRun = 1u << 15;
inline constexpr uint32_t kWake = 1u << 12;
inline constexpr uint32_t kDead = 1u << 11;
inline constexpr uint32_t kActive = 1u << 10;

// Descriptor first quadlets (OHCI 1.1 7.1, 8.1): cmd 31:28, s 27, key 26:24, i 21:20, b 19:18,
// reqCount 15:0.
inline constexpr uint32_t kOutputMoreImmediate = 0x02000000;  // cmd 0, key 2
inline constexpr uint32_t kOutputMore = 0x00000000;           // cmd 0, key 0
inline constexpr uint32_t kOutputLast = 0x103C0000;           // cmd 1, key 0, i 3, b 3
inline constexpr uint32_t kOutputLastImmediate = 0x123C0000;  // cmd 1, key 2, i 3, b 3
inline constexpr uint32_t kInputMore = 0x283C0000;            // cmd 2, s 1, key 0, i 3, b 3

// Event codes (OHCI 1.1 table 3-2): ack codes as 0x10 | ack.
inline constexpr uint32_t kEvtMissingAck = 0x03;
inline constexpr uint32_t kEvtDescriptorRead = 0x06;
inline constexpr uint32_t kEvtDataRead = 0x07;
inline constexpr uint32_t kEvtDataWrite = 0x08;
inline constexpr uint32_t kEvtBusReset = 0x09;
inline constexpr uint32_t kEvtTimeout = 0x0A;
inline constexpr uint32_t kEvtTcodeErr = 0x0B;
inline constexpr uint32_t kEvtUnknown = 0x0E;
inline constexpr uint32_t kEvtFlushed = 0x0F;
inline constexpr uint32_t kAckComplete = 0x11;
inline constexpr uint32_t kAckPending = 0x12;
inline constexpr uint32_t kAckBusyX = 0x14;
inline constexpr uint32_t kAckDataError = 0x1D;

// The first quadlet of an AT immediate header (OHCI 1.1 7.8.1): spd 18:16, tLabel 15:10,
// rt 9:8, tCode 7:4.
inline uint32_t AtQ0(uint32_t spd, uint32_t tl, uint32_t rt, uint32_t tcode) {
    return (spd << 16) | (tl << 10) | (rt << 8) | (tcode << 4);
}

inline uint32_t Swap32(uint32_t v) { return (v >> 24) | ((v >> 8) & 0xFF00) | ((v << 8) & 0xFF0000) | (v << 24); }

// A node that records what its link receives and answers with a chosen ack.
class Recorder : public Node {
public:
    explicit Recorder(std::string name = "recorder", Speed speed = kS400) : Node(std::move(name), 2, speed) {}
    Ack ReceivePacket(const Packet& packet) override {
        packets.push_back(packet);
        return ack;
    }
    void ReceivePhyPacket(uint32_t quadlet) override { phyPackets.push_back(quadlet); }
    Ack ack = sim::kAckComplete;
    std::vector<Packet> packets;
    std::vector<uint32_t> phyPackets;
};

// An AR program in buffer-fill mode: `count` INPUT_MORE descriptors, each with its own buffer of
// `size` bytes, each branching to the next with Z = 1, the last with Z = 0.
struct ArProgram {
    uint32_t descriptors = 0;
    std::vector<uint32_t> buffers;
    uint32_t size = 0;
    uint32_t Descriptor(int i) const { return descriptors + uint32_t(i) * 16; }
};

class AsyncBench : public ::testing::Test {
protected:
    void SetUp() override {
        ohci_ = static_cast<OhciController*>(bus_.Add(std::make_unique<OhciController>(host_, OhciController::Config{})));
        camera_ = static_cast<IidcCamera*>(bus_.Add(std::make_unique<IidcCamera>(IidcCamera::Config{})));
        bus_.Connect(ohci_, 0, camera_, 0);
        // Bring-up as a driver does it (OHCI 1.1 5.7, 5.10, 11.1).
        Write(kHCControlSet, kLps);
        Write(kSelfIdBuffer, host_.Map(2048));
        Write(kLinkControlSet, kRcvSelfId | kRcvPhyPkt | kCycleTimerEnable);
        Write(kAsyncRequestFilterHiSet, 0xFFFFFFFF);
        Write(kAsyncRequestFilterLoSet, 0xFFFFFFFF);
        Write(kATRetries, 0x00000822);  // maxPhysRespRetries 8, maxATRespRetries 2, maxATReqRetries 2
        Write(kHCControlClear, kNoByteSwapData);
        Write(kHCControlSet, kLinkEnable);
        ResetBus();
    }

    void ResetBus() {
        bus_.RequestReset(false);
        host_.RunFor(kTicksPerMillisecond);
        Write(kIntEventClear, 0xFFFFFFFF);
    }

    Recorder* AddRecorder(int port, Speed speed = kS400) {
        auto* recorder = static_cast<Recorder*>(bus_.Add(std::make_unique<Recorder>("recorder", speed)));
        bus_.Connect(ohci_, port, recorder, 0);
        ResetBus();
        return recorder;
    }

    uint32_t Read(uint32_t offset) { return ohci_->ReadRegister(offset); }
    void Write(uint32_t offset, uint32_t value) { ohci_->WriteRegister(offset, value); }
    uint16_t OurNodeId() { return uint16_t(Read(kNodeId) & 0xFFFF); }
    uint32_t IntEvent() { return Read(kIntEventSet); }
    uint32_t Control(uint32_t context) { return Read(context + kControlSet); }
    // timeStamp as descriptors and trailers carry it: cycleSeconds 2:0 | cycleCount.
    uint16_t CycleStamp() { return uint16_t((Read(kCycleTimer) >> 12) & 0xFFFF); }

    // Memory as the driver sees it: descriptors and headers are little-endian quadlets.
    void Put32(uint32_t address, uint32_t value) {
        uint8_t b[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
        ASSERT_TRUE(host_.Write(address, b, 4));
    }
    uint32_t Get32(uint32_t address) {
        uint8_t b[4] = {};
        EXPECT_TRUE(host_.Read(address, b, 4));
        return uint32_t(b[0]) | (uint32_t(b[1]) << 8) | (uint32_t(b[2]) << 16) | (uint32_t(b[3]) << 24);
    }
    void PutBytes(uint32_t address, const std::vector<uint8_t>& bytes) {
        ASSERT_TRUE(host_.Write(address, bytes.data(), uint32_t(bytes.size())));
    }
    std::vector<uint8_t> GetBytes(uint32_t address, uint32_t length) {
        std::vector<uint8_t> bytes(length);
        EXPECT_TRUE(host_.Read(address, bytes.data(), length));
        return bytes;
    }

    // An OUTPUT_LAST-Immediate block (Z = 2): header quadlets at +16, branch at +8.
    void PutLastImmediate(uint32_t at, const std::vector<uint32_t>& header, uint32_t branch = 0) {
        Put32(at, kOutputLastImmediate | uint32_t(header.size() * 4));
        Put32(at + 4, 0);
        Put32(at + 8, branch);
        Put32(at + 12, 0);
        for (size_t i = 0; i < 4; ++i) Put32(at + 16 + uint32_t(i) * 4, i < header.size() ? header[i] : 0);
    }
    // An OUTPUT_MORE-Immediate and an OUTPUT_LAST with `length` bytes at `data` (Z = 3).
    void PutImmediateAndLast(uint32_t at, const std::vector<uint32_t>& header, uint32_t data, uint16_t length,
                             uint32_t branch = 0) {
        Put32(at, kOutputMoreImmediate | uint32_t(header.size() * 4));
        Put32(at + 4, 0);
        Put32(at + 8, 0);
        Put32(at + 12, 0);
        for (size_t i = 0; i < 4; ++i) Put32(at + 16 + uint32_t(i) * 4, i < header.size() ? header[i] : 0);
        Put32(at + 32, kOutputLast | length);
        Put32(at + 36, data);
        Put32(at + 40, branch);
        Put32(at + 44, 0);
    }
    void StartContext(uint32_t context, uint32_t commandPtr) {
        Write(context + kCommandPtr, commandPtr);
        Write(context + kControlSet, kRun);
    }

    ArProgram MakeArProgram(int count, uint32_t size) {
        ArProgram program;
        program.size = size;
        program.descriptors = host_.Map(uint32_t(count) * 16);
        for (int i = 0; i < count; ++i) {
            uint32_t buffer = host_.Map(size);
            program.buffers.push_back(buffer);
            uint32_t d = program.Descriptor(i);
            Put32(d, kInputMore | size);
            Put32(d + 4, buffer);
            Put32(d + 8, i + 1 < count ? program.Descriptor(i + 1) | 1 : 0);
            Put32(d + 12, size);  // resCount = reqCount, xferStatus 0
        }
        return program;
    }
    // The bytes the context stored, buffer after buffer.
    std::vector<uint8_t> Stored(const ArProgram& program, uint32_t length) {
        std::vector<uint8_t> bytes;
        for (uint32_t buffer : program.buffers) {
            auto part = GetBytes(buffer, program.size);
            bytes.insert(bytes.end(), part.begin(), part.end());
        }
        bytes.resize(length);
        return bytes;
    }
    uint32_t ResCount(const ArProgram& program, int i) { return Get32(program.Descriptor(i) + 12) & 0xFFFF; }
    uint32_t XferStatus(const ArProgram& program, int i) { return Get32(program.Descriptor(i) + 12) >> 16; }

    StandaloneHost host_;
    Bus bus_{host_};
    OhciController* ohci_ = nullptr;
    IidcCamera* camera_ = nullptr;
};

// Little-endian quadlets of a byte vector, for comparing stored packets.
inline std::vector<uint32_t> LeQuadlets(const std::vector<uint8_t>& bytes) {
    std::vector<uint32_t> q(bytes.size() / 4);
    for (size_t i = 0; i < q.size(); ++i)
        q[i] = uint32_t(bytes[4 * i]) | (uint32_t(bytes[4 * i + 1]) << 8) | (uint32_t(bytes[4 * i + 2]) << 16) |
               (uint32_t(bytes[4 * i + 3]) << 24);
    return q;
}

}  // namespace sim::async_test
