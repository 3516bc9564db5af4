// The request gate through the driver's real entry points: user requests on open handles, the
// Plug and Play manager's stop and remove protocol, cancellation and handle cleanup.
#include "driver_fixture.h"

namespace {

constexpr ULONG kAnyControlCode = 0x222004;  // CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS)

class RequestGateTest : public ControllerTest {
protected:
    hk::user::Request* Read(HANDLE handle, ULONG length = 0) {
        void* buffer = length ? hk::user::Alloc(hk::TestProcess(), length) : nullptr;
        return hk::user::BeginRead(hk::TestProcess(), handle, buffer, length);
    }
    hk::user::Request* Control(HANDLE handle) {
        return hk::user::BeginDeviceIoControl(hk::TestProcess(), handle, kAnyControlCode, nullptr, 0, nullptr, 0);
    }
    static NTSTATUS Finish(hk::user::Request* request) {
        hk::RunUntilIdle();
        EXPECT_TRUE(hk::user::IsDone(request));
        return hk::user::End(request);
    }
    static void ExpectHeld(std::initializer_list<hk::user::Request*> requests) {
        hk::RunUntilIdle();
        for (hk::user::Request* request : requests) {
            EXPECT_EQ(hk::user::SendStatus(request), STATUS_PENDING);
            EXPECT_FALSE(hk::user::IsDone(request));
        }
    }
};

TEST_F(RequestGateTest, ReadAndWriteMoveNoData) {
    HANDLE handle = Open();
    void* buffer = hk::user::Alloc(hk::TestProcess(), 16);
    ULONG transferred = 99;
    EXPECT_EQ(hk::user::Read(hk::TestProcess(), handle, buffer, 16, &transferred), STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(transferred, 0u);
    EXPECT_EQ(hk::user::Write(hk::TestProcess(), handle, buffer, 16, &transferred), STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(hk::user::Read(hk::TestProcess(), handle, buffer, 0, &transferred), STATUS_SUCCESS);
    EXPECT_EQ(hk::user::CloseHandle(hk::TestProcess(), handle), STATUS_SUCCESS);
}

// Requests that arrive while the controller is halting are held; when the gate opens again a held
// control request is failed and a held read is replayed through the dispatch table.
TEST_F(RequestGateTest, HeldRequestsAreFailedOrReplayedWhenTheGateOpens) {
    struct Route {
        const char* name;
        NTSTATUS (*halt)(PDEVICE_OBJECT);
        NTSTATUS (*resume)(PDEVICE_OBJECT);
    } routes[] = {
        {"query-stop, cancel-stop", hk::pnp::QueryStop, hk::pnp::CancelStop},
        {"query-remove, cancel-remove", hk::pnp::QueryRemove, hk::pnp::CancelRemove},
        {"stop, start", hk::pnp::Stop, hk::pnp::Start},
    };
    HANDLE handle = Open();
    for (const Route& route : routes) {
        SCOPED_TRACE(route.name);
        ASSERT_EQ(route.halt(pdo_), STATUS_SUCCESS);
        hk::user::Request* control = Control(handle);
        hk::user::Request* emptyRead = Read(handle, 0);
        hk::user::Request* read = Read(handle, 8);
        ExpectHeld({control, emptyRead, read});
        ASSERT_EQ(route.resume(pdo_), STATUS_SUCCESS);
        EXPECT_EQ(Finish(control), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(Finish(emptyRead), STATUS_SUCCESS);
        EXPECT_EQ(Finish(read), STATUS_NOT_IMPLEMENTED);
        EXPECT_EQ(Extension()->Gate.HoldCount, 0);
        EXPECT_EQ(Extension()->Gate.Active, 0);
    }
}

TEST_F(RequestGateTest, CleanupCancelsOnlyTheRequestsOfItsOwnHandle) {
    HANDLE mine = Open();
    HANDLE other = Open();
    ASSERT_EQ(hk::pnp::QueryStop(pdo_), STATUS_SUCCESS);
    hk::user::Request* minePending = Read(mine);
    hk::user::Request* otherPending = Read(other);
    ExpectHeld({minePending, otherPending});
    ASSERT_EQ(hk::user::CloseHandle(hk::TestProcess(), mine), STATUS_SUCCESS);
    EXPECT_EQ(Finish(minePending), STATUS_CANCELLED);
    ExpectHeld({otherPending});
    ASSERT_EQ(hk::pnp::CancelStop(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(Finish(otherPending), STATUS_SUCCESS);
}

TEST_F(RequestGateTest, NestedStallsNeedAsManyReleases) {
    HANDLE handle = Open();
    GateStall(Extension());
    GateStall(Extension());
    hk::user::Request* read = Read(handle);
    ExpectHeld({read});
    GateRelease(Extension());
    ExpectHeld({read});
    GateRelease(Extension());
    EXPECT_EQ(Finish(read), STATUS_SUCCESS);
    // A release with nothing stalled keeps the gate open instead of counting below zero.
    GateRelease(Extension());
    EXPECT_EQ(Extension()->Gate.HoldCount, 0);
    EXPECT_EQ(hk::user::Read(hk::TestProcess(), handle, nullptr, 0), STATUS_SUCCESS);
}

TEST_F(RequestGateTest, HeldRequestCanBeCancelled) {
    HANDLE handle = Open();
    ASSERT_EQ(hk::pnp::QueryStop(pdo_), STATUS_SUCCESS);
    hk::user::Request* read = Read(handle);
    ExpectHeld({read});
    EXPECT_EQ(hk::user::CancelIo(hk::TestProcess(), handle), 1u);
    EXPECT_EQ(Finish(read), STATUS_CANCELLED);
    ASSERT_EQ(hk::pnp::CancelStop(pdo_), STATUS_SUCCESS);
    EXPECT_TRUE(IsListEmpty(&Extension()->Gate.Held));
}

TEST_F(RequestGateTest, RemovalFailsHeldAndNewRequests) {
    HANDLE handle = Open();
    ASSERT_EQ(hk::pnp::QueryStop(pdo_), STATUS_SUCCESS);
    hk::user::Request* read = Read(handle);
    ExpectHeld({read});
    ASSERT_EQ(hk::pnp::SurpriseRemoval(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(Finish(read), STATUS_CANCELLED);
    EXPECT_EQ(hk::user::Read(hk::TestProcess(), handle, nullptr, 0), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(hk::user::DeviceIoControl(hk::TestProcess(), handle, kAnyControlCode, nullptr, 0, nullptr, 0),
              STATUS_NO_SUCH_DEVICE);
    EXPECT_FALSE(hk::iface::IsEnabled(hk::iface::Names(GUID_KX1394_CONTROLLER_INTERFACE).at(0)));
    EXPECT_EQ(hk::user::CloseHandle(hk::TestProcess(), handle), STATUS_SUCCESS);
}

// A cancel that races the gate's release completes the request exactly once, as cancelled or as
// replayed, under every interleaving the scheduler tries.
class GateCancelRaceTest : public ControllerTest, public ::testing::WithParamInterface<ULONG> {
protected:
    static hk::Options Seeded(ULONG seed) {
        hk::Options options;
        options.seed = seed;
        return options;
    }
    GateCancelRaceTest() : ControllerTest(Seeded(GetParam())) {}
};

TEST_P(GateCancelRaceTest, CancelAgainstRelease) {
    HANDLE handle = Open();
    ASSERT_EQ(hk::pnp::QueryStop(pdo_), STATUS_SUCCESS);
    hk::user::Request* read = hk::user::BeginRead(hk::TestProcess(), handle, nullptr, 0);
    hk::RunUntilIdle();
    PKTHREAD canceller =
        hk::StartThread("canceller", hk::TestProcess(), [handle] { hk::user::CancelIo(hk::TestProcess(), handle); });
    ASSERT_EQ(hk::pnp::CancelStop(pdo_), STATUS_SUCCESS);
    hk::JoinThread(canceller);
    hk::RunUntilIdle();
    ASSERT_TRUE(hk::user::IsDone(read));
    NTSTATUS status = hk::user::End(read);
    EXPECT_TRUE(status == STATUS_CANCELLED || status == STATUS_SUCCESS) << std::hex << status;
    EXPECT_TRUE(IsListEmpty(&Extension()->Gate.Held));
    EXPECT_EQ(Extension()->Gate.Active, 0);
    EXPECT_EQ(Extension()->Gate.HoldCount, 0);
}

INSTANTIATE_TEST_SUITE_P(Seeds, GateCancelRaceTest, ::testing::Range(ULONG(1), ULONG(9)));

}  // namespace

namespace {

// A stop query waits for the requests in progress, also after earlier requests have come and
// gone (each of which let OutstandingIo fall back to its bias).
TEST_F(RequestGateTest, StopQueryWaitsForTheRequestInProgress) {
    HANDLE handle = Open();  // the open took and dropped a reference: StopEvent was set then
    ASSERT_EQ(hk::user::CloseHandle(hk::TestProcess(), handle), STATUS_SUCCESS);
    AcquireIo(Extension());  // a request enters
    NTSTATUS queryStatus = STATUS_PENDING;
    PKTHREAD pnp = hk::StartThread("pnp", nullptr, [&] { queryStatus = hk::pnp::QueryStop(pdo_); });
    hk::RunUntilIdle();
    EXPECT_EQ(queryStatus, STATUS_PENDING);
    EXPECT_EQ(hk::GetThreadState(pnp), hk::ThreadState::Waiting);
    ReleaseIo(Extension());  // the request leaves
    hk::JoinThread(pnp);
    EXPECT_EQ(queryStatus, STATUS_SUCCESS);
    EXPECT_EQ(hk::pnp::CancelStop(pdo_), STATUS_SUCCESS);
}

}  // namespace
