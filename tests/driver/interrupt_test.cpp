// Interrupt service on the model: a powered-down controller with a quiet line, a shared line
// without controller events, RQPkt with phyRegRcvd, dead contexts reported with the system's
// messages, and the interrupt log.
#include "core/bring_up.h"
#include "core/bus_reset.h"
#include "core/interrupt.h"
#include "ohci/register_access.h"
#include "sim_fixture.h"

namespace {

class InterruptTest : public SimBusTest {
protected:
    void SetUp() override {
        BuildBus(1);
        // These tests drive the asynchronous contexts by hand: no enumeration traffic on them.
        ASSERT_TRUE(hk::reg::CreateKey(ParametersPath()));
        ASSERT_TRUE(hk::reg::SetDword(ParametersPath(), "DesktopCameraEnable", 0));
        Start();
        ASSERT_EQ(start_, STATUS_SUCCESS);
    }
    ULONG Vector() { return sim_->host.vector(); }
};

TEST_F(InterruptTest, PoweredDownControllerIsNotServicedAndItsLineStaysQuiet) {
    OhciController* controller = Controller();
    ULONG resets = controller->BusResetCount;
    MaskControllerInterrupt(Extension());
    Extension()->DevicePowerState = PowerDeviceD2;
    ULONGLONG deliveries = hk::InterruptDeliveries(Vector());
    sim_->bus.RequestReset(false);
    hk::RunFor(50 * kMs100ns);
    EXPECT_EQ(controller->BusResetCount, resets);
    EXPECT_FALSE(hk::IsInterruptLineAsserted(Vector()));
    EXPECT_FALSE(hk::IsInterruptLineMasked(Vector()));
    // A delivery while in D2 (another device on the line) is refused without touching the hardware.
    ULONG events = ModelRegister(ohci::kIntEvent);
    EXPECT_EQ(ControllerInterruptService(Extension()->InterruptObject, Extension()), FALSE);
    EXPECT_EQ(ModelRegister(ohci::kIntEvent), events);
    EXPECT_EQ(hk::InterruptDeliveries(Vector()), deliveries);

    // Back in D0 with the line enabled, the reset that came meanwhile is serviced.
    Extension()->DevicePowerState = PowerDeviceD0;
    WriteRegister(controller, ohci::kIntMaskSet, ohci::kIntEnabledEvents);
    hk::RunFor(100 * kMs100ns);
    EXPECT_EQ(controller->BusResetCount, resets + 1);
    EXPECT_EQ(controller->NodeCount, 2u);
}

TEST_F(InterruptTest, SharedLineWithoutControllerEventIsNotClaimed) {
    WriteRegister(Controller(), ohci::kIntEventClear, 0xFFFFFFFF);
    ULONG events = ModelRegister(ohci::kIntEvent);
    EXPECT_EQ(ControllerInterruptService(Extension()->InterruptObject, Extension()), FALSE);
    EXPECT_EQ(ModelRegister(ohci::kIntEvent), events);
    EXPECT_EQ(ModelRegister(ohci::kIntMaskSet), ohci::kIntEnabledEvents);
    // An event the mask keeps from interrupting (cycleSynch, which a cycle master latches every
    // cycle) does not make another device's interrupt ours.
    constexpr ULONG kCycleSynch = 1u << 20;
    ASSERT_EQ(ohci::kIntEnabledEvents & kCycleSynch, 0u);
    WriteRegister(Controller(), ohci::kIntEventSet, kCycleSynch);
    ASSERT_NE(ModelRegister(ohci::kIntEvent) & kCycleSynch, 0u);
    EXPECT_EQ(ControllerInterruptService(Extension()->InterruptObject, Extension()), FALSE);
    EXPECT_NE(ModelRegister(ohci::kIntEvent) & kCycleSynch, 0u);
}

TEST_F(InterruptTest, RequestPacketWithPhyRegisterReceivedQueuesTheReceiveCallOnce) {
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    ULONG queued = hk::QueuedDpcCount();
    ULONGLONG deliveries = hk::InterruptDeliveries(Vector());
    // The line rises with the write and the service routine runs above dispatch level at once.
    WriteRegister(Controller(), ohci::kIntEventSet, ohci::kIntRQPkt | ohci::kIntPhyRegRcvd);
    EXPECT_EQ(hk::InterruptDeliveries(Vector()), deliveries + 1);
    EXPECT_EQ(hk::QueuedDpcCount(), queued + 1);
    EXPECT_EQ(Controller()->LastEvents & (ohci::kIntRQPkt | ohci::kIntPhyRegRcvd), ohci::kIntRQPkt | ohci::kIntPhyRegRcvd);
    EXPECT_EQ(Controller()->PendingEvents & ohci::kIntRQPkt, ohci::kIntRQPkt);
    EXPECT_EQ(ModelRegister(ohci::kIntEvent) & (ohci::kIntRQPkt | ohci::kIntPhyRegRcvd), 0u);
    KeLowerIrql(irql);
}

TEST_F(InterruptTest, DeadContextIsStoppedReportedAndLogged) {
    OhciController* controller = Controller();
    hk::dbg::Clear();
    // The AT request context runs a program at a bus address no one mapped: it dies (the fault
    // is the test's own doing).
    const ULONG base = ohci::kAsyncRequestTransmitContext;
    // The speed table's remote PHY reads have run the context already: it is halted first, so
    // that the new program is fetched.
    WriteRegister(controller, base + ohci::kContextControlClear, ohci::kContextRun);
    hk::RunFor(1 * kMs100ns);
    ASSERT_EQ(ModelRegister(base + ohci::kContextControlSet) & ohci::kContextActive, 0u);
    WriteRegister(controller, base + ohci::kContextCommandPtr, 0x7FFF0000 | 2);
    {
        hk::ExpectViolation fault(hk::rule::kDmaFault);
        WriteRegister(controller, base + ohci::kContextControlSet, ohci::kContextRun);
        hk::RunFor(10 * kMs100ns);
    }
    EXPECT_TRUE(hk::dbg::Contains("[OHCI INT] OHCI1394_unrecoverableError\n"));
    EXPECT_TRUE(hk::dbg::Contains("Async Req Tx Context died: ctrl["));
    EXPECT_FALSE(hk::dbg::Contains("Async Rsp Tx Context died"));
    const AsyncStatistics& statistics = controller->Statistics;
    bool logged42 = false;
    for (ULONG i = 0; i < kInterruptLogEntries; ++i) logged42 |= statistics.InterruptLog[i] == kLogUnrecoverableError;
    EXPECT_TRUE(logged42);
    EXPECT_NE(ModelRegister(base + ohci::kContextControlSet) & ohci::kContextDead, 0u);
    expectedBusFaults_ = hk::mm::BusFaults().size();
}

TEST_F(InterruptTest, InterruptLogKeepsTheTenNewestCodes) {
    OhciController* controller = Controller();
    LONG count = controller->Statistics.InterruptLogCount;
    for (ULONG code = 100; code < 112; ++code) {
        LogInterruptEvent(controller, code);
        hk::RunUntilIdle();
    }
    EXPECT_EQ(controller->Statistics.InterruptLogCount, count + 12);
    EXPECT_EQ(controller->Statistics.InterruptLog[9], 111u);
    EXPECT_EQ(controller->Statistics.InterruptLog[0], 102u);
}

TEST_F(InterruptTest, CallsWithoutContextReportTheirName) {
    hk::dbg::Clear();
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    DpcForBusReset(nullptr, nullptr, nullptr, nullptr);
    DpcForSelfID(nullptr, nullptr, nullptr, nullptr);
    Vex_OhciBRWatch2sec(nullptr, nullptr, nullptr, nullptr);
    KeLowerIrql(irql);
    EXPECT_TRUE(hk::dbg::Contains("DpcForBusReset: fatal error. Parameter is NULL\n"));
    EXPECT_TRUE(hk::dbg::Contains("DpcForSelfID: fatal error. Parameter is NULL\n"));
    EXPECT_TRUE(hk::dbg::Contains("Vex_OhciBRWatch2sec: fatal error. Parameter is NULL\n"));
}

}  // namespace
