// The bus management thread and the self-ID call's gates: a self-ID round without a node ID does
// not leave the gates closed; a thread that does not end within ten seconds is reported each second
// and waited for, so the controller object outlives it; the reset watch ends two seconds after
// the last reset.
#include "frame/client.h"
#include "core/bus_reset.h"
#include "sim_fixture.h"

namespace {

class BusThreadTest : public SimBusTest {
protected:
    void SetUp() override {
        BuildBus(2);
        Start();
        ASSERT_EQ(start_, STATUS_SUCCESS);
    }
};

TEST_F(BusThreadTest, SelfIdRoundWithoutNodeIdReopensTheGates) {
    OhciController* controller = Controller();
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    // The reset has begun: NodeID.iDValid is clear until self-identification completes.
    sim_->bus.RequestReset(false);
    ASSERT_EQ(ModelRegister(ohci::kNodeID) & ohci::kNodeIdValid, 0u);
    DpcForSelfID(&controller->SelfIdDpc, controller, nullptr, nullptr);
    EXPECT_EQ(KeReadStateEvent(&controller->AsyncGate), 1);
    EXPECT_EQ(KeReadStateEvent(&controller->EnumerationDone), 1);
    EXPECT_EQ(controller->BusResetActive, 0);
    KeLowerIrql(irql);
    hk::RunFor(100 * kMs100ns);
    EXPECT_EQ(controller->NodeCount, 3u);
    EXPECT_EQ(KeReadStateEvent(&controller->AsyncGate), 1);
}

TEST_F(BusThreadTest, ResetWatchEndsTwoSecondsAfterTheLastReset) {
    OhciController* controller = Controller();
    sim_->bus.RequestReset(false);
    hk::RunFor(1000 * kMs100ns);
    EXPECT_EQ(controller->BusResetRecent, 1);
    sim_->bus.RequestReset(false);
    hk::RunFor(1500 * kMs100ns);
    EXPECT_EQ(controller->BusResetRecent, 1);
    hk::RunFor(600 * kMs100ns);
    EXPECT_EQ(controller->BusResetRecent, 0);
}

TEST_F(BusThreadTest, TerminationWaitsForAThreadStuckBeyondTenSeconds) {
    OhciController* controller = Controller();
    ClientRecord* client = FindDriverClient(controller);
    ASSERT_NE(client, nullptr);
    // The driver client's worker is held inside its delivery: the bus thread's termination
    // releases that client and so waits for the worker.
    KeWaitForSingleObject(&client->Mutex, Executive, KernelMode, FALSE, nullptr);
    KeSetEvent(&client->WorkEvent1, IO_NO_INCREMENT, FALSE);
    hk::RunFor(10 * kMs100ns);
    hk::dbg::Clear();
    NTSTATUS stopStatus = STATUS_PENDING;
    PDEVICE_OBJECT pdo = pdo_;
    PKTHREAD stopper = hk::StartThread("stop", hk::SystemProcess(), [pdo, &stopStatus] { stopStatus = hk::pnp::Stop(pdo); });
    for (int second = 0; second < 60 && !hk::dbg::Contains("(Cnt:9)"); ++second) hk::RunFor(1000 * kMs100ns);
    // Ten reports, and the stop still waits after them: the thread is still using the object.
    hk::RunFor(5000 * kMs100ns);
    EXPECT_EQ(stopStatus, STATUS_PENDING);
    for (int attempt = 0; attempt < 10; ++attempt) {
        std::string line = "MSM_TerminateThread: Wait timeout(bThreadTerminateComplete:0)(Cnt:" +
                           std::to_string(attempt) + ")\n";
        EXPECT_TRUE(hk::dbg::Contains(line)) << line;
    }
    EXPECT_FALSE(hk::dbg::Contains("(Cnt:10)"));
    KeReleaseMutex(&client->Mutex, FALSE);
    hk::JoinThread(stopper);
    EXPECT_EQ(stopStatus, STATUS_SUCCESS);
    EXPECT_EQ(hk::mm::TagCount(KX_TAG('Z', 'O', 'P', 'I')), 0u);
}

}  // namespace
