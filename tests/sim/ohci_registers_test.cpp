// The controller's register file without a bus: Set/Clear pairs, identification registers, soft
// reset, PhyControl, the CSR compare-swap unit, interrupts and the line, the isochronous registers
// and the cycle timer. Expected values come from OHCI 1.1 (chapter 5 register map, chapter 6
// interrupts) and IEEE 1394.
#include "ohci_fixture.h"

namespace sim::ohci_test {
namespace {

class OhciRegisters : public OhciTest {
protected:
    void SetUp() override { MakeAlone(); }
};

TEST_F(OhciRegisters, IdentificationRegisters) {
    // Version: OHCI 1.1 = version 01, revision 10 (BCD); BusID "1394"; GUID from the chip.
    EXPECT_EQ(R(Version) & 0x00FF00FF, 0x00010010u);
    EXPECT_EQ(R(BusID), 0x31333934u);
    EXPECT_EQ(R(GUIDHi), 0x00112233u);
    EXPECT_EQ(R(GUIDLo), 0x44556677u);
    EXPECT_EQ(R(VendorID), 0x0000104Cu);
    W(Version, 0);
    W(BusID, 0);
    EXPECT_EQ(R(Version) & 0x00FF00FF, 0x00010010u) << "read-only";
    EXPECT_EQ(R(BusID), 0x31333934u) << "read-only";
    // BusOptions at reset: cyc_clk_acc 23:16, max_rec 15:12, link_spd 2:0 (S400 = 2).
    EXPECT_EQ(R(BusOptions), (100u << 16) | (0xAu << 12) | 2u);
    // GUID is writable while the link is off.
    W(GUIDHi, 0xAABBCCDD);
    EXPECT_EQ(R(GUIDHi), 0xAABBCCDDu);
}

// A Set/Clear pair reads the register at both addresses; writing 1s to Set sets, to Clear clears
// (OHCI 1.1 5.1).
struct SetClearCase {
    uint32_t set;
    uint32_t pattern;   // written to Set
    uint32_t expected;  // what the register keeps of it
};

TEST_F(OhciRegisters, SetClearPairsReadAtBothAddresses) {
    const SetClearCase cases[] = {
        {IRMultiChanMaskHiSet, 0xA5A5A5A5, 0xA5A5A5A5},
        {IRMultiChanMaskLoSet, 0x5A5A5A5A, 0x5A5A5A5A},
        // IntMask: the event bits (14:10 and 28 reserved) and masterIntEnable.
        {IntMaskSet, 0xFFFFFFFF, 0xEFFF83FF},
        // IntEvent: the same bits less isochTx/isochRx (computed) and bit 31.
        {IntEventSet, 0xFFFFFFFF, 0x6FFF833F},
        // LinkControl: rcvSelfID 9, rcvPhyPkt 10, cycleTimerEnable 20, cycleMaster 21, cycleSource 22.
        {LinkControlSet, 0xFFFFFFFF, 0x00700600},
        {AsReqFilterHiSet, 0x80000001, 0x80000001},
        {AsReqFilterLoSet, 0xFFFFFFFF, 0xFFFFFFFF},
        {PhyReqFilterHiSet, 0x00000003, 0x00000003},
        {PhyReqFilterLoSet, 0x00010001, 0x00010001},
        // HCControl without softReset: BIBimageValid, noByteSwapData, ackTardyEnable, LPS,
        // postedWriteEnable, linkEnable (programPhyEnable, cleared first, stays clear).
        {HCControlSet, 0xE00E0000, 0xE00E0000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "register 0x" << std::hex << c.set);
        W(c.set + 4, 0xFFFFFFFF);
        W(c.set, c.pattern);
        const uint32_t expected = c.expected;
        EXPECT_EQ(R(c.set), expected);
        // IntEventClear reads the events that interrupt: IntEvent & IntMask.
        const uint32_t atClear = c.set == IntEventSet ? expected & R(IntMaskSet) : expected;
        EXPECT_EQ(R(c.set + 4), atClear) << "Clear address";
        W(c.set + 4, 0x0000FFFF & ~kSoftReset);
        const uint32_t after = expected & ~(0x0000FFFF & ~kSoftReset);
        EXPECT_EQ(R(c.set), after);
    }
}

TEST_F(OhciRegisters, IntEventClearReadsTheMaskedEvents) {
    // Reading IntEventClear returns IntEvent & IntMask; IntEventSet the raw events.
    W(IntEventSet, kSoftInterrupt | kBusReset);
    W(IntMaskSet, kBusReset);
    EXPECT_EQ(R(IntEventSet), kSoftInterrupt | kBusReset);
    EXPECT_EQ(R(IntEventClear), kBusReset);
}

TEST_F(OhciRegisters, InterruptLineFollowsMaskAndMasterEnable) {
    EXPECT_FALSE(host.InterruptLine());
    W(IntEventSet, kSoftInterrupt);
    EXPECT_FALSE(host.InterruptLine()) << "masked";
    W(IntMaskSet, kSoftInterrupt);
    EXPECT_FALSE(host.InterruptLine()) << "no masterIntEnable";
    W(IntMaskSet, kMasterIntEnable);
    EXPECT_TRUE(host.InterruptLine());
    W(IntMaskClear, kMasterIntEnable);
    EXPECT_FALSE(host.InterruptLine());
    W(IntMaskSet, kMasterIntEnable);
    EXPECT_TRUE(host.InterruptLine());
    W(IntEventClear, kSoftInterrupt);
    EXPECT_FALSE(host.InterruptLine()) << "level-sensitive: drops when the event is cleared";
    // The controller's own events drive the line the same way.
    W(IntMaskSet, kUnrecoverableError | kCycleTooLong);
    ohci->InjectUnrecoverableError();
    EXPECT_TRUE(host.InterruptLine());
    EXPECT_TRUE(R(IntEventSet) & kUnrecoverableError);
    W(IntEventClear, kUnrecoverableError);
    W(LinkControlSet, kCycleMaster);
    ohci->InjectCycleTooLong();
    EXPECT_TRUE(R(IntEventSet) & kCycleTooLong);
    EXPECT_EQ(R(LinkControlSet) & kCycleMaster, 0u) << "cycleTooLong clears cycleMaster";
}

TEST_F(OhciRegisters, SoftResetClearsRegistersAndSelfClears) {
    W(HCControlSet, kLPS | kLinkEnable | kPostedWriteEnable | kBIBimageValid);
    W(IntMaskSet, 0x818301F3);
    W(IntEventSet, kSoftInterrupt);
    W(LinkControlSet, kRcvSelfID | kCycleTimerEnable);
    W(AsReqFilterHiSet, 0x80000000);
    W(ATRetries, 0x00000822);
    W(SelfIDBuffer, 0x00200000);
    W(NodeID, 0x0000A5C0);
    W(IrContext(1) + 0x10, 0x10000305);
    W(IrContext(1) + 0xC, 0x00300001);
    W(IrContext(1), 0x8000);
    W(ItContext(2) + 0xC, 0x00400003);
    W(0x180 + 0xC, 0x00500002);
    W(HCControlSet, kSoftReset);
    EXPECT_EQ(R(HCControlSet) & (kSoftReset | kLinkEnable | kPostedWriteEnable | kBIBimageValid), 0u);
    EXPECT_EQ(R(HCControlSet) & kLPS, kLPS) << "the link stays powered";
    EXPECT_EQ(R(IntMaskSet), 0u);
    EXPECT_EQ(R(IntEventSet), 0u);
    EXPECT_EQ(R(LinkControlSet), 0u);
    EXPECT_EQ(R(AsReqFilterHiSet), 0u);
    EXPECT_EQ(R(ATRetries), 0u);
    EXPECT_EQ(R(NodeID) & 0x0000FFFF, 0x0000FFFFu) << "busNumber 0x3FF, nodeNumber 63";
    EXPECT_EQ(R(NodeID) & kIdValid, 0u);
    EXPECT_EQ(R(IrContext(1)), 0u) << "contexts stopped";
    EXPECT_EQ(R(IrContext(1) + 0x10), 0u);
    EXPECT_EQ(R(ItContext(2) + 0xC), 0u);
    EXPECT_EQ(R(0x180 + 0xC), 0u);
    EXPECT_FALSE(host.InterruptLine());
}

TEST_F(OhciRegisters, HCControlProgramPhyEnableIsOnlyCleared) {
    // programPhyEnable comes from the chip; software clears it once it has configured the PHY and
    // link, after which aPhyEnhanceEnable no longer changes.
    EXPECT_TRUE(R(HCControlSet) & kProgramPhyEnable);
    W(HCControlSet, kAPhyEnhanceEnable);
    EXPECT_TRUE(R(HCControlSet) & kAPhyEnhanceEnable);
    W(HCControlClear, kProgramPhyEnable);
    W(HCControlSet, kProgramPhyEnable);
    EXPECT_EQ(R(HCControlSet) & kProgramPhyEnable, 0u);
    W(HCControlClear, kAPhyEnhanceEnable);
    EXPECT_TRUE(R(HCControlSet) & kAPhyEnhanceEnable) << "locked once programPhyEnable is clear";
}

TEST_F(OhciRegisters, PhyControlNeedsLps) {
    W(IntMaskSet, kMasterIntEnable | kRegAccessFail);
    W(PhyControl, kRdReg | (1u << 8));
    EXPECT_EQ(R(PhyControl) & kRdDone, 0u);
    EXPECT_TRUE(R(IntEventSet) & kRegAccessFail);
    EXPECT_TRUE(host.InterruptLine());
}

TEST_F(OhciRegisters, PhyControlReadAndWriteHandshake) {
    W(HCControlSet, kLPS);
    // PHY register 1: RHB 0, IBR 0, Gap_count 63 after power-up (IEEE 1394a 5B.1).
    EXPECT_EQ(PhyRead(1), 0x3F);
    EXPECT_TRUE(R(IntEventSet) & kPhyRegRcvd) << "phyRegRcvd: the read completed";
    // Gap count write, then read back.
    PhyWrite(1, 0x85);
    EXPECT_EQ(PhyRead(1), 0x85) << "RHB and gap count 5";
    PhyWrite(4, 0xC0);
    EXPECT_EQ(PhyRead(4) & 0xC0, 0xC0) << "LCtrl and contender";
}

TEST_F(OhciRegisters, PhyControlTakesTheConfiguredAccessTime) {
    config.phyAccessTime = 10 * kTicksPerMicrosecond;
    MakeAlone();
    W(HCControlSet, kLPS);
    W(PhyControl, kRdReg | (2u << 8));
    EXPECT_EQ(R(PhyControl) & kRdDone, 0u);
    host.RunFor(5 * kTicksPerMicrosecond);
    EXPECT_EQ(R(PhyControl) & kRdDone, 0u);
    host.RunFor(5 * kTicksPerMicrosecond);
    const uint32_t v = R(PhyControl);
    EXPECT_TRUE(v & kRdDone);
    EXPECT_EQ((v >> 24) & 0xF, 2u);
    // Register 2: Extended = 7 (1394a) in 7:5, Total_ports 3.
    EXPECT_EQ((v >> 16) & 0xFF, 0xE3u);
    W(PhyControl, kWrReg | (1u << 8) | 0x3A);
    EXPECT_TRUE(R(PhyControl) & kWrReg) << "write still in progress";
    host.RunFor(10 * kTicksPerMicrosecond);
    EXPECT_EQ(R(PhyControl) & kWrReg, 0u);
    EXPECT_EQ(ohci->phy().gapCount, 0x3A);
}

// CSRControl compare-swap (OHCI 1.1 5.5.1): CSRData = new value, CSRCompareData = expected old
// value, CSRControl = csrSel; csrDone set when done, CSRData then holds the old value. Reset values
// (IEEE 1394 8.3.2.3): BUS_MANAGER_ID 0x3F, BANDWIDTH_AVAILABLE 4915, CHANNELS_AVAILABLE all free.
struct CsrCase {
    uint32_t sel, compare, data, old, after;
};

TEST_F(OhciRegisters, CsrCompareSwap) {
    const CsrCase cases[] = {
        {0, 0x3F, 0x02, 0x3F, 0x02},              // bus manager contention won by node 2
        {0, 0x3F, 0x05, 0x02, 0x02},              // lost: old value 2, register unchanged
        {1, 4915, 4915 - 320, 4915, 4595},        // bandwidth allocation
        {1, 4915, 100, 4595, 4595},               // stale compare value: unchanged
        {2, 0xFFFFFFFF, 0x7FFFFFFF, 0xFFFFFFFF, 0x7FFFFFFF},  // channel 0 (HI bit 31)
        {3, 0xFFFFFFFF, 0xFFFFFFFE, 0xFFFFFFFF, 0xFFFFFFFE},  // channel 63 (LO bit 0)
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "sel " << c.sel << " compare " << c.compare);
        W(CSRReadData, c.data);
        W(CSRCompareData, c.compare);
        W(CSRControl, c.sel);
        EXPECT_EQ(R(CSRControl), kCsrDone | c.sel);
        EXPECT_EQ(R(CSRReadData), c.old);
        // A compare-swap with an impossible compare value reads the register back.
        W(CSRReadData, 0);
        W(CSRCompareData, 0xDEADBEEF);
        W(CSRControl, c.sel);
        EXPECT_EQ(R(CSRReadData), c.after);
    }
}

TEST_F(OhciRegisters, IsoMaskRegistersKeepImplementedContexts) {
    // Software counts the contexts by setting every mask bit and reading back.
    for (int contexts : {4, 8, 32}) {
        SCOPED_TRACE(contexts);
        config.irContexts = contexts;
        config.itContexts = 4;
        MakeAlone();
        const uint32_t ir = contexts == 32 ? 0xFFFFFFFFu : (1u << contexts) - 1;
        W(IsoRecvIntMaskSet, 0xFFFFFFFF);
        EXPECT_EQ(R(IsoRecvIntMaskSet), ir);
        EXPECT_EQ(R(IsoRecvIntMaskClear), ir);
        W(IsoXmitIntMaskSet, 0xFFFFFFFF);
        EXPECT_EQ(R(IsoXmitIntMaskSet), 0xFu);
        W(IsoRecvIntEventSet, 0xFFFFFFFF);
        EXPECT_EQ(R(IsoRecvIntEventSet), ir);
        // Registers of an implemented IR context are stored; past the last one they read 0.
        W(IrContext(contexts - 1) + 0x10, 0xF0000000u | 0x05);
        EXPECT_EQ(R(IrContext(contexts - 1) + 0x10), 0xF0000005u);
        if (contexts < 32) {
            W(IrContext(contexts) + 0x10, 0x12345678);
            EXPECT_EQ(R(IrContext(contexts) + 0x10), 0u);
        }
        W(ItContext(4) + 0xC, 0x1000);
        EXPECT_EQ(R(ItContext(4) + 0xC), 0u);
    }
}

TEST_F(OhciRegisters, IsochInterruptsAreTheOrOfMaskedContextEvents) {
    config.irContexts = 8;
    MakeAlone();
    W(IntMaskSet, kMasterIntEnable | kIsochRx | kIsochTx);
    W(IsoRecvIntEventSet, 1u << 5);
    EXPECT_EQ(R(IntEventSet) & kIsochRx, 0u) << "context 5 not enabled in IsoRecvIntMask";
    EXPECT_FALSE(host.InterruptLine());
    W(IsoRecvIntMaskSet, 1u << 5);
    EXPECT_TRUE(R(IntEventSet) & kIsochRx);
    EXPECT_TRUE(host.InterruptLine());
    W(IntEventClear, kIsochRx);
    EXPECT_TRUE(R(IntEventSet) & kIsochRx) << "isochRx is read-only: cleared through IsoRecvIntEvent";
    W(IsoRecvIntEventClear, 1u << 5);
    EXPECT_EQ(R(IntEventSet) & kIsochRx, 0u);
    EXPECT_FALSE(host.InterruptLine());
    // An IT context completing (as the isochronous engine will report it).
    W(IsoXmitIntMaskSet, 1u << 2);
    ohci->RaiseIsoXmitInterrupt(2);
    EXPECT_EQ(R(IsoXmitIntEventSet), 1u << 2);
    EXPECT_TRUE(R(IntEventClear) & kIsochTx);
    EXPECT_TRUE(host.InterruptLine());
}

TEST_F(OhciRegisters, IrDualBufferModeExcludesBufferFillAndMultiChannel) {
    const uint32_t kBufferFill = 1u << 31, kIsochHeader = 1u << 30, kMultiChan = 1u << 28, kDual = 1u << 27;
    W(IrContext(0), kBufferFill | kMultiChan | kIsochHeader);
    EXPECT_EQ(R(IrContext(0)), kBufferFill | kMultiChan | kIsochHeader);
    W(IrContext(0), kDual);
    EXPECT_EQ(R(IrContext(0) + 4), kDual | kIsochHeader);
    // Mode bits are software's only while the context is stopped; run reads back at once.
    W(IrContext(0), 0x8000);
    EXPECT_EQ(R(IrContext(0)) & 0x8000, 0x8000u);
    W(IrContext(0) + 4, kDual);
    EXPECT_TRUE(R(IrContext(0)) & kDual);
    W(IrContext(0) + 4, 0x8000);
    W(IrContext(0) + 4, kDual);
    EXPECT_EQ(R(IrContext(0)), kIsochHeader);
}

// IsochronousCycleTimer: cycleOffset counts 3072 per cycle at 24.576 MHz, cycleCount 8000 cycles
// per second, cycleSeconds wraps at 128 (OHCI 1.1 5.13, IEEE 1394 8.3.2.3.1).
TEST_F(OhciRegisters, CycleTimerRunsOnlyWhileEnabled) {
    EXPECT_EQ(R(IsochronousCycleTimer), 0u);
    host.RunFor(kTicksPerSecond);
    EXPECT_EQ(R(IsochronousCycleTimer), 0u) << "cycleTimerEnable clear";
    W(LinkControlSet, kCycleTimerEnable);
    host.RunFor(kTicksPerSecond + 125 * kTicksPerMicrosecond * 3);
    uint32_t t = R(IsochronousCycleTimer);
    EXPECT_EQ(t >> 25, 1u);
    EXPECT_EQ((t >> 12) & 0x1FFF, 3u);
    EXPECT_EQ(t & 0xFFF, 0u);
    // 10 us = 245.76 offset ticks.
    host.RunFor(10 * kTicksPerMicrosecond);
    EXPECT_EQ(R(IsochronousCycleTimer) & 0xFFF, 245u);
    // Stop: frozen.
    W(LinkControlClear, kCycleTimerEnable);
    t = R(IsochronousCycleTimer);
    host.RunFor(kTicksPerSecond);
    EXPECT_EQ(R(IsochronousCycleTimer), t);
    // Written value, then the wrap from 127 s 7999 cycles to 0.
    W(IsochronousCycleTimer, (127u << 25) | (7999u << 12) | 3000);
    W(LinkControlSet, kCycleTimerEnable);
    host.RunFor(125 * kTicksPerMicrosecond);
    t = R(IsochronousCycleTimer);
    EXPECT_EQ(t >> 25, 0u);
    EXPECT_EQ((t >> 12) & 0x1FFF, 0u);
    EXPECT_EQ(t & 0xFFF, 3000u);
}

TEST_F(OhciRegisters, CycleSynchAndCycle64SecondsRaiseTheLine) {
    W(LinkControlSet, kCycleTimerEnable);
    W(IntMaskSet, kMasterIntEnable | kCycleSynch);
    host.RunFor(100 * kTicksPerMicrosecond);
    EXPECT_FALSE(host.InterruptLine());
    host.RunFor(25 * kTicksPerMicrosecond);
    EXPECT_TRUE(host.InterruptLine()) << "a new cycle began at 125 us";
    W(IntEventClear, kCycleSynch);
    EXPECT_FALSE(host.InterruptLine());
    host.RunFor(125 * kTicksPerMicrosecond);
    EXPECT_TRUE(host.InterruptLine());
    W(IntMaskClear, kCycleSynch);
    W(IntEventClear, 0xFFFFFFFF);
    W(IntMaskSet, kCycle64Seconds);
    W(IsochronousCycleTimer, (63u << 25) | (7999u << 12));
    host.RunFor(100 * kTicksPerMicrosecond);
    EXPECT_FALSE(host.InterruptLine());
    host.RunFor(50 * kTicksPerMicrosecond);
    EXPECT_TRUE(host.InterruptLine()) << "cycleSeconds bit 6 changed at 64 s";
}

}  // namespace
}  // namespace sim::ohci_test

namespace sim::ohci_test {
namespace {

// A context that dies reads dead (ContextControl bit 11) with its event code in bits 4:0 and
// active clear, and the death raises IntEvent.unrecoverableError (OHCI 1.1 3.1.1, 6.1).
TEST_F(OhciRegisters, InjectedContextDeathShowsDeadWithItsEventCode) {
    struct Case {
        OhciController::ContextId context;
        uint32_t controlSet;  // ContextControlSet of the context
        uint8_t event;
    } cases[] = {
        {OhciController::ContextId::kAtRequest, 0x180, 0x06},   // evt_descriptor_read
        {OhciController::ContextId::kAtResponse, 0x1A0, 0x07},  // evt_data_read
        {OhciController::ContextId::kArRequest, 0x1C0, 0x0E},   // evt_unknown
        {OhciController::ContextId::kArResponse, 0x1E0, 0x08},  // evt_data_write
        {OhciController::ContextId::kIsoXmit, 0x200, 0x04},     // evt_underrun
        {OhciController::ContextId::kIsoRecv, 0x400, 0x05},     // evt_overrun
    };
    for (const Case& c : cases) {
        W(IntEventClear, 0xFFFFFFFF);
        ohci->InjectDeadContext(c.context, c.event);
        uint32_t control = R(c.controlSet);
        EXPECT_EQ(control & (1u << 11), 1u << 11) << std::hex << c.controlSet;
        EXPECT_EQ(control & (1u << 10), 0u) << std::hex << c.controlSet;
        EXPECT_EQ(control & 0x1Fu, c.event) << std::hex << c.controlSet;
        EXPECT_NE(R(IntEventSet) & (1u << 24), 0u) << std::hex << c.controlSet;
    }
}

}  // namespace
}  // namespace sim::ohci_test
