// The bench of the isochronous tests: an OHCI controller as root and cycle master, talkers and
// listeners on its bus, DMA memory, and IR/IT descriptor programs laid out as OHCI 1.1 lays them.
// The controller is driven as a driver drives it: registers and memory only.
//
// Every constant here is written from OHCI 1.1 (register map table 5-1, LinkControl 5.10,
// IntEvent 6.1, ContextControl 3.1.1, IT chapter 9, IR chapter 10) and IEEE 1394-1995 (6.2.3
// isochronous packets, 8.3.2.3 CYCLE_TIME), not taken from the model.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bus.h"
#include "iso_listener.h"
#include "node.h"
#include "ohci_controller.h"
#include "testing/standalone_host.h"

namespace sim::iso_test {

// Registers (OHCI 1.1 table 5-1).
inline constexpr uint32_t kHCControlSet = 0x050, kHCControlClear = 0x054, kSelfIdBuffer = 0x064,
                          kIRMultiChanMaskHiSet = 0x070, kIRMultiChanMaskLoSet = 0x078, kIntEventSet = 0x080,
                          kIntEventClear = 0x084, kIntMaskSet = 0x088, kIsoXmitIntEventSet = 0x090,
                          kIsoXmitIntEventClear = 0x094, kIsoRecvIntEventSet = 0x0A0, kIsoRecvIntEventClear = 0x0A4,
                          kIsoXmitIntMaskSet = 0x098, kIsoRecvIntMaskSet = 0x0A8,
                          kLinkControlSet = 0x0E0, kLinkControlClear = 0x0E4, kNodeId = 0x0E8, kPhyControl = 0x0EC,
                          kCycleTimer = 0x0F0, kCsrReadData = 0x00C, kCsrCompareData = 0x010, kCsrControl = 0x014;
inline constexpr uint32_t kWrReg = 1u << 14;
inline uint32_t It(int n) { return 0x200 + 16u * uint32_t(n); }
inline uint32_t Ir(int n) { return 0x400 + 32u * uint32_t(n); }
inline constexpr uint32_t kControlSet = 0x0, kControlClear = 0x4, kCommandPtr = 0xC, kContextMatch = 0x10;

inline constexpr uint32_t kNoByteSwapData = 1u << 30, kLps = 1u << 19, kLinkEnable = 1u << 17;
inline constexpr uint32_t kRcvSelfId = 1u << 9, kCycleTimerEnable = 1u << 20, kCycleMaster = 1u << 21;
inline constexpr uint32_t kIsochTx = 1u << 6, kIsochRx = 1u << 7, kCycleSynch = 1u << 20, kCycle64Seconds = 1u << 21,
                          kCycleLost = 1u << 22, kCycleInconsistent = 1u << 23, kUnrecoverableError = 1u << 24,
                          kCycleTooLong = 1u << 25, kMasterIntEnable = 1u << 31;
// ContextControl.
inline constexpr uint32_t kRun = 1u << 15, kWake = 1u << 12, kDead = 1u << 11, kActive = 1u << 10;
inline constexpr uint32_t kIrBufferFill = 1u << 31, kIrIsochHeader = 1u << 30, kIrCycleMatch = 1u << 29,
                          kIrMultiChan = 1u << 28, kIrDualBuffer = 1u << 27;
inline constexpr uint32_t kItCycleMatch = 1u << 31;
// Event codes (OHCI 1.1 table 3-2).
inline constexpr uint32_t kEvtLongPacket = 0x02, kEvtUnderrun = 0x04, kEvtDescriptorRead = 0x06,
                          kEvtDataRead = 0x07, kEvtDataWrite = 0x08, kEvtTcodeErr = 0x0B, kAckComplete = 0x11;

// Descriptor q0: cmd 31:28, s 27, key 26:24, i 21:20, b 19:18, w 17:16, reqCount 15:0.
inline uint32_t Q0(uint32_t cmd, uint32_t s, uint32_t key, uint32_t i, uint32_t b, uint32_t w, uint32_t reqCount) {
    return (cmd << 28) | (s << 27) | (key << 24) | (i << 20) | (b << 18) | (w << 16) | reqCount;
}
inline constexpr uint32_t kOutputMore = 0, kOutputLast = 1, kInputMore = 2, kInputLast = 3;

// CYCLE_TIME fields and the 16-bit time stamp (cycleSeconds 2:0 | cycleCount).
inline uint32_t Seconds(uint32_t t) { return t >> 25; }
inline uint32_t Count(uint32_t t) { return (t >> 12) & 0x1FFF; }
inline uint32_t Offset(uint32_t t) { return t & 0xFFF; }
inline uint16_t Stamp(uint32_t t) { return uint16_t((t >> 12) & 0xFFFF); }
// The cycle after `t`'s.
inline uint32_t NextCycle(uint32_t t) {
    uint32_t s = Seconds(t), c = Count(t) + 1;
    if (c == 8000) c = 0, s = (s + 1) & 0x7F;
    return (s << 25) | (c << 12);
}

// The isochronous header quadlet (IEEE 1394-1995 6.2.3): dataLength 31:16, tag 15:14, channel
// 13:8, tcode 0xA 7:4, sy 3:0.
inline uint32_t IsoHeader(uint32_t length, uint32_t tag, uint32_t channel, uint32_t sy) {
    return (length << 16) | (tag << 14) | (channel << 8) | (0xAu << 4) | sy;
}

// A talker: in every cycle it is on, it sends one packet of `size` bytes on its channel; the
// first packet of every `perFrame` has sy = 1. Byte 0..3 of each payload count the packets sent
// (big-endian), the rest are the packet count's low byte. It records the cycle time of each send.
class Talker : public Node {
public:
    Talker(std::string name, uint8_t channel, uint16_t size, Speed speed = kS400)
        : Node(std::move(name), 3, speed), channel_(channel), size_(size), speed_(speed) {}
    bool on = true;
    uint8_t tag = 0;
    int perFrame = 0;       // 0: sy always 0
    int sendOf10 = 10;      // packets in every 10 cycles (9: the 7200 packets a second of 30 fps)
    std::vector<uint32_t> sentAt;
    uint32_t sent = 0;

    bool WantsCycleStarts() const override { return on; }
    Ack ReceivePacket(const Packet&) override { return sim::kAckComplete; }
    void OnCycleStart(uint32_t cycleTime) override {
        if (!on) return;
        ++cycles_;
        if ((cycles_ * uint64_t(sendOf10)) / 10 == ((cycles_ - 1) * uint64_t(sendOf10)) / 10) return;
        IsoPacket p;
        p.channel = channel_;
        p.tag = tag;
        p.speed = speed_;
        p.sy = perFrame > 0 && sent % uint32_t(perFrame) == 0 ? 1 : 0;
        p.data.assign(size_, uint8_t(sent));
        for (int i = 0; i < 4 && i < size_; ++i) p.data[size_t(i)] = uint8_t(sent >> (24 - 8 * i));
        ++sent;
        sentAt.push_back(cycleTime);
        bus()->SendIsochronous(this, p);
    }

private:
    uint8_t channel_;
    uint16_t size_;
    Speed speed_;
    uint64_t cycles_ = 0;
};

class IsoBench : public ::testing::Test {
protected:
    // The controller first (root of a star of the nodes added after it), brought up as a driver
    // does it, cycle master.
    void Controller() {
        if (!ohci_) ohci_ = static_cast<OhciController*>(bus_.Add(std::make_unique<OhciController>(host_, config_)));
    }
    void BringUp(bool cycleMaster = true) {
        Controller();
        W(kHCControlSet, kLps);
        W(kPhyControl, kWrReg | (4u << 8) | 0xC0);  // PHY register 4: LCtrl and contender
        W(kSelfIdBuffer, host_.Map(2048));
        W(kLinkControlSet, kRcvSelfId | kCycleTimerEnable | (cycleMaster ? kCycleMaster : 0));
        W(kHCControlClear, kNoByteSwapData);
        W(kHCControlSet, kLinkEnable);
        ResetBus();
    }
    void ResetBus() {
        bus_.RequestReset(false);
        host_.RunFor(kTicksPerMillisecond);
        W(kIntEventClear, 0xFFFFFFFF);
    }
    template <typename T, typename... Args>
    T* Plug(Args&&... args) {
        Controller();
        T* node = static_cast<T*>(bus_.Add(std::make_unique<T>(std::forward<Args>(args)...)));
        bus_.Connect(ohci_, port_++, node, 0);
        return node;
    }

    uint32_t R(uint32_t offset) { return ohci_->ReadRegister(offset); }
    void W(uint32_t offset, uint32_t value) { ohci_->WriteRegister(offset, value); }
    void RunCycles(int n) { host_.RunFor(Ticks(n) * 1250); }

    void Put32(uint32_t address, uint32_t value) {
        uint8_t b[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
        ASSERT_TRUE(host_.Write(address, b, 4));
    }
    uint32_t Get32(uint32_t address) {
        uint8_t b[4] = {};
        EXPECT_TRUE(host_.Read(address, b, 4));
        return uint32_t(b[0]) | (uint32_t(b[1]) << 8) | (uint32_t(b[2]) << 16) | (uint32_t(b[3]) << 24);
    }
    std::vector<uint8_t> GetBytes(uint32_t address, uint32_t length) {
        std::vector<uint8_t> bytes(length);
        EXPECT_TRUE(host_.Read(address, bytes.data(), length));
        return bytes;
    }
    // A 16-byte descriptor.
    void PutDescriptor(uint32_t at, uint32_t q0, uint32_t q1, uint32_t q2, uint32_t q3) {
        Put32(at, q0), Put32(at + 4, q1), Put32(at + 8, q2), Put32(at + 12, q3);
    }

    StandaloneHost host_;
    Bus bus_{host_};
    OhciController::Config config_ = [] {
        OhciController::Config c;
        c.ports = 6;
        return c;
    }();
    OhciController* ohci_ = nullptr;
    int port_ = 0;
};

}  // namespace sim::iso_test
