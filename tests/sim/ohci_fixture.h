// The controller driven as a driver drives it: register offsets and bits written here from OHCI 1.1
// (not taken from the model's own table), a standalone host for DMA memory and the interrupt
// line, and optionally a bus with plain nodes.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "bus.h"
#include "bus_test_node.h"
#include "ohci_controller.h"
#include "testing/standalone_host.h"

namespace sim::ohci_test {

// OHCI 1.1 table 5-1.
enum Reg : uint32_t {
    Version = 0x000,
    ATRetries = 0x008,
    CSRReadData = 0x00C,
    CSRCompareData = 0x010,
    CSRControl = 0x014,
    ConfigROMhdr = 0x018,
    BusID = 0x01C,
    BusOptions = 0x020,
    GUIDHi = 0x024,
    GUIDLo = 0x028,
    ConfigROMmap = 0x034,
    PostedWriteAddressLo = 0x038,
    PostedWriteAddressHi = 0x03C,
    VendorID = 0x040,
    HCControlSet = 0x050,
    HCControlClear = 0x054,
    SelfIDBuffer = 0x064,
    SelfIDCount = 0x068,
    IRMultiChanMaskHiSet = 0x070,
    IRMultiChanMaskHiClear = 0x074,
    IRMultiChanMaskLoSet = 0x078,
    IRMultiChanMaskLoClear = 0x07C,
    IntEventSet = 0x080,
    IntEventClear = 0x084,
    IntMaskSet = 0x088,
    IntMaskClear = 0x08C,
    IsoXmitIntEventSet = 0x090,
    IsoXmitIntEventClear = 0x094,
    IsoXmitIntMaskSet = 0x098,
    IsoXmitIntMaskClear = 0x09C,
    IsoRecvIntEventSet = 0x0A0,
    IsoRecvIntEventClear = 0x0A4,
    IsoRecvIntMaskSet = 0x0A8,
    IsoRecvIntMaskClear = 0x0AC,
    InitialBandwidthAvailable = 0x0B0,
    InitialChannelsAvailableHi = 0x0B4,
    InitialChannelsAvailableLo = 0x0B8,
    FairnessControl = 0x0DC,
    LinkControlSet = 0x0E0,
    LinkControlClear = 0x0E4,
    NodeID = 0x0E8,
    PhyControl = 0x0EC,
    IsochronousCycleTimer = 0x0F0,
    AsReqFilterHiSet = 0x100,
    AsReqFilterHiClear = 0x104,
    AsReqFilterLoSet = 0x108,
    AsReqFilterLoClear = 0x10C,
    PhyReqFilterHiSet = 0x110,
    PhyReqFilterHiClear = 0x114,
    PhyReqFilterLoSet = 0x118,
    PhyReqFilterLoClear = 0x11C,
    PhysicalUpperBound = 0x120,
    AsReqRcvContextControlSet = 0x1C0,
    AsReqRcvCommandPtr = 0x1CC,
};
inline uint32_t ItContext(int n) { return 0x200 + 16u * uint32_t(n); }
inline uint32_t IrContext(int n) { return 0x400 + 32u * uint32_t(n); }

// HCControl (OHCI 1.1 5.7).
inline constexpr uint32_t kBIBimageValid = 1u << 31, kNoByteSwapData = 1u << 30, kProgramPhyEnable = 1u << 23,
                          kAPhyEnhanceEnable = 1u << 22, kLPS = 1u << 19, kPostedWriteEnable = 1u << 18,
                          kLinkEnable = 1u << 17, kSoftReset = 1u << 16;
// IntEvent / IntMask (OHCI 1.1 table 6-1).
inline constexpr uint32_t kRQPkt = 1u << 4, kIsochTx = 1u << 6, kIsochRx = 1u << 7, kPostedWriteErr = 1u << 8,
                          kSelfIDComplete2 = 1u << 15, kSelfIDComplete = 1u << 16, kBusReset = 1u << 17,
                          kRegAccessFail = 1u << 18, kCycleSynch = 1u << 20, kCycle64Seconds = 1u << 21,
                          kUnrecoverableError = 1u << 24, kCycleTooLong = 1u << 25, kPhyRegRcvd = 1u << 26,
                          kSoftInterrupt = 1u << 29, kMasterIntEnable = 1u << 31;
// LinkControl.
inline constexpr uint32_t kRcvSelfID = 1u << 9, kRcvPhyPkt = 1u << 10, kCycleTimerEnable = 1u << 20,
                          kCycleMaster = 1u << 21;
// NodeID.
inline constexpr uint32_t kIdValid = 1u << 31, kRoot = 1u << 30, kCPS = 1u << 27;
// PhyControl.
inline constexpr uint32_t kRdDone = 1u << 31, kRdReg = 1u << 15, kWrReg = 1u << 14;
inline constexpr uint32_t kCsrDone = 1u << 31;

inline constexpr uint64_t kCsrBase = 0xFFFFF0000000ull;

// A controller alone (no bus), or the local node of a bus with plain nodes.
class OhciTest : public ::testing::Test {
protected:
    StandaloneHost host;
    Bus bus{host};
    OhciController* ohci = nullptr;
    std::unique_ptr<OhciController> alone;
    uint32_t selfIdBuffer = 0;
    uint32_t romImage = 0;

    OhciController::Config config;

    // A controller with no bus.
    void MakeAlone() { alone = std::make_unique<OhciController>(host, config), ohci = alone.get(); }
    // A controller as the first node of the bus.
    void MakeOnBus() { ohci = static_cast<OhciController*>(bus.Add(std::make_unique<OhciController>(host, config))); }
    bus_test::TestNode* AddNode(int ports = 3) {
        return static_cast<bus_test::TestNode*>(
            bus.Add(std::make_unique<bus_test::TestNode>("n" + std::to_string(bus.nodes().size()), ports, kS400)));
    }

    uint32_t R(uint32_t offset) { return ohci->ReadRegister(offset); }
    void W(uint32_t offset, uint32_t value) { ohci->WriteRegister(offset, value); }

    // PHY register access through PhyControl, as a driver polls it.
    uint8_t PhyRead(uint8_t reg) {
        W(PhyControl, kRdReg | (uint32_t(reg) << 8));
        for (int i = 0; i < 100; ++i) {
            const uint32_t v = R(PhyControl);
            if (v & kRdDone) {
                EXPECT_EQ((v >> 24) & 0xF, reg) << "rdAddr echoes the register";
                return uint8_t(v >> 16);
            }
            host.RunFor(kTicksPerMicrosecond);
        }
        ADD_FAILURE() << "PHY read never completed";
        return 0;
    }
    void PhyWrite(uint8_t reg, uint8_t value) {
        W(PhyControl, kWrReg | (uint32_t(reg) << 8) | value);
        for (int i = 0; i < 100 && (R(PhyControl) & kWrReg); ++i) host.RunFor(kTicksPerMicrosecond);
        EXPECT_EQ(R(PhyControl) & kWrReg, 0u) << "PHY write never completed";
    }

    // A configuration ROM image in host memory: big-endian quadlets (OHCI 1.1 5.5.6).
    uint32_t MakeRomImage(const std::vector<uint32_t>& quadlets) {
        const uint32_t at = host.Map(1024);
        for (size_t i = 0; i < quadlets.size(); ++i) {
            const uint32_t q = quadlets[i];
            const uint8_t b[4] = {uint8_t(q >> 24), uint8_t(q >> 16), uint8_t(q >> 8), uint8_t(q)};
            host.Write(at + uint32_t(4 * i), b, 4);
        }
        return at;
    }

    // Bring-up in the order OHCI 1.1 and a driver follow: soft reset, LPS, clear events, bus
    // options, busNumber, posted writes and BIBimageValid, cycle timer, PHY link/contender bits,
    // self-ID buffer and reception, ROM map, link enable.
    void BringUp() {
        W(HCControlSet, kSoftReset);
        EXPECT_EQ(R(HCControlSet) & kSoftReset, 0u);
        W(HCControlSet, kLPS);
        W(IntEventClear, 0xFFFFFFFF);
        W(IntMaskClear, 0xFFFFFFFF);
        W(NodeID, 0x0000FFC0);
        W(HCControlSet, kPostedWriteEnable | kBIBimageValid);
        W(LinkControlClear, 0xFFFFFFFF);
        W(LinkControlSet, kCycleTimerEnable);
        PhyWrite(4, PhyRead(4) | 0xC0);  // LCtrl, contender
        selfIdBuffer = host.Map(2048);
        W(SelfIDBuffer, selfIdBuffer);
        W(LinkControlSet, kRcvSelfID | kRcvPhyPkt);
        romImage = MakeRomImage({0x04040000, 0x31333934, 0xF000A002, 0x00112233, 0x44556677, 0x00000000});
        W(ConfigROMmap, romImage);
        W(ConfigROMhdr, 0x04040000);
        W(HCControlSet, kLinkEnable);
    }

    // Long bus reset from the local PHY (IBR, PHY register 1 bit 6), run until self-ID is done.
    void ResetBus() {
        PhyWrite(1, PhyRead(1) | 0x40);
        host.RunFor(5 * kTicksPerMillisecond);
    }

    // The self-ID buffer as the driver reads it: little-endian quadlets.
    std::vector<uint32_t> SelfIdBufferQuadlets() {
        const uint32_t n = (R(SelfIDCount) >> 2) & 0x1FF;
        std::vector<uint32_t> q(n);
        for (uint32_t i = 0; i < n; ++i) q[i] = host.Read32(selfIdBuffer + 4 * i);
        return q;
    }
};

}  // namespace sim::ohci_test
