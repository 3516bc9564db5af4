// Registered clients and bus event notification through real user calls on the driver started on
// the hardware model: 32-bit and 64-bit programs side by side, clean-up when a program sets its
// termination event or ends, the registration rules of the two bus events, and handles that are
// not the caller's events.
#include <cstring>
#include <vector>

#include "frame/client.h"
#include "kx1394.h"
#include "core/controller.h"
#include "sim_fixture.h"

namespace {

constexpr NTSTATUS kStatusInternalError = NTSTATUS(0xC00000E5u);
constexpr ULONGLONG kNoWait = 0;

// One camera program: its process, its open device handle and a buffer of its own.
struct Program {
    PEPROCESS process = nullptr;
    HANDLE device = nullptr;
    UCHAR* buffer = nullptr;
    bool is32 = false;

    HANDLE NewEvent() { return hk::user::CreateEvent(process, true, false); }
    // Sends a code whose input is one event handle, in the program's own layout; `upper` fills the
    // four bytes above a 32-bit handle (the 64-bit layout's high half).
    NTSTATUS SendHandle(ULONG code, HANDLE handle, ULONG upper = 0) {
        ULONGLONG value = reinterpret_cast<ULONG_PTR>(handle);
        if (is32) value = (value & 0xFFFFFFFFull) | (ULONGLONG(upper) << 32);
        memcpy(buffer, &value, 8);
        ULONG returned = 0xFF;
        NTSTATUS status = hk::user::DeviceIoControl(process, device, code, buffer, 8, nullptr, 0, &returned);
        EXPECT_EQ(returned, 0u);
        return status;
    }
    NTSTATUS Register(HANDLE event) { return SendHandle(IOCTL_REGISTER_CLIENT, event); }
    bool IsSet(HANDLE event) { return hk::user::WaitEvent(process, event, &kNoWait) == STATUS_SUCCESS; }
};

class UserClientTest : public SimBusTest {
protected:
    void SetUp() override {
        BuildBus(1);
        Start();
        ASSERT_EQ(start_, STATUS_SUCCESS);
    }

    Program NewProgram(const char* name, bool is32) {
        Program program;
        program.process = hk::CreateProcess(name, is32);
        program.is32 = is32;
        EXPECT_EQ(hk::user::OpenDeviceInterface(program.process, GUID_KX1394_CONTROLLER_INTERFACE, 0,
                                                &program.device),
                  STATUS_SUCCESS);
        program.buffer = static_cast<UCHAR*>(hk::user::Alloc(program.process, 64));
        EXPECT_NE(program.buffer, nullptr);
        return program;
    }

    // The registered client records of a process.
    std::vector<ClientRecord*> Registered(PEPROCESS process) {
        std::vector<ClientRecord*> records;
        for (PSINGLE_LIST_ENTRY e = Controller()->ClientList.Next; e != nullptr; e = e->Next) {
            ClientRecord* record = CONTAINING_RECORD(e, ClientRecord, Next);
            if (record->Process == process && record->IsRegistered) records.push_back(record);
        }
        return records;
    }
    BusNotificationRecord* Notification(PEPROCESS process) {
        LIST_ENTRY* head = &Controller()->NotificationList;
        for (PLIST_ENTRY e = head->Flink; e != head; e = e->Flink) {
            auto* record = CONTAINING_RECORD(e, BusNotificationRecord, Link);
            if (record->Process == process) return record;
        }
        return nullptr;
    }
    size_t NotificationCount() {
        size_t count = 0;
        LIST_ENTRY* head = &Controller()->NotificationList;
        for (PLIST_ENTRY e = head->Flink; e != head; e = e->Flink) ++count;
        return count;
    }
    void ResetBus() {
        sim_->bus.RequestReset(false);
        hk::RunFor(200 * kMs100ns);
    }
};

// A 32-bit and a 64-bit program registered at the same time, each with its own layout.
TEST_F(UserClientTest, ThirtyTwoAndSixtyFourBitProgramsSideBySide) {
    Program wide = NewProgram("camera64", false);
    Program narrow = NewProgram("camera32", true);
    struct Events {
        HANDLE terminate, reset, ready;
    } events[2];
    Program* programs[2] = {&wide, &narrow};
    for (int i = 0; i < 2; ++i) {
        Program& p = *programs[i];
        events[i] = {p.NewEvent(), p.NewEvent(), p.NewEvent()};
        // A 32-bit program's handle is four bytes: the next four are not read.
        ULONG upper = p.is32 ? 0xDEADBEEF : 0;
        ASSERT_EQ(p.SendHandle(IOCTL_REGISTER_CLIENT, events[i].terminate, upper), STATUS_SUCCESS);
        ASSERT_EQ(p.SendHandle(IOCTL_SET_BUS_RESET_EVENT, events[i].reset, upper), STATUS_SUCCESS);
        ASSERT_EQ(p.SendHandle(IOCTL_SET_BUS_READY_EVENT, events[i].ready, upper), STATUS_SUCCESS);
    }
    // The same high half from a 64-bit program makes another handle, which it does not have.
    EXPECT_EQ(wide.SendHandle(IOCTL_REGISTER_CLIENT, reinterpret_cast<HANDLE>(
                                                         reinterpret_cast<ULONG_PTR>(events[0].terminate) |
                                                         (ULONG_PTR(0xDEADBEEF) << 32))),
              kStatusInternalError);

    std::vector<ClientRecord*> wideRecords = Registered(wide.process);
    std::vector<ClientRecord*> narrowRecords = Registered(narrow.process);
    ASSERT_EQ(wideRecords.size(), 1u);
    ASSERT_EQ(narrowRecords.size(), 1u);
    EXPECT_NE(wideRecords[0]->UserEvent, narrowRecords[0]->UserEvent);
    EXPECT_EQ(narrowRecords[0]->UserEventHandle, events[1].terminate);
    ASSERT_NE(Notification(wide.process), nullptr);
    ASSERT_NE(Notification(narrow.process), nullptr);
    EXPECT_NE(Notification(wide.process)->ResetEvent, Notification(narrow.process)->ResetEvent);
    EXPECT_EQ(NotificationCount(), 2u);

    // One reset sets both programs' reset and ready events; neither termination event.
    ResetBus();
    for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(programs[i]->IsSet(events[i].reset)) << i;
        EXPECT_TRUE(programs[i]->IsSet(events[i].ready)) << i;
        EXPECT_FALSE(programs[i]->IsSet(events[i].terminate)) << i;
    }
}

// A program that sets its termination event loses everything it registered; one that simply ends
// too. The other program keeps its records and its notifications.
TEST_F(UserClientTest, ProgramsThatEndAreReleased) {
    Program first = NewProgram("first", false);
    Program second = NewProgram("second", true);
    HANDLE firstTerminate = first.NewEvent(), firstReset = first.NewEvent(), firstReady = first.NewEvent();
    HANDLE secondTerminate = second.NewEvent(), secondReset = second.NewEvent();
    ASSERT_EQ(first.Register(firstTerminate), STATUS_SUCCESS);
    ASSERT_EQ(first.Register(first.NewEvent()), STATUS_SUCCESS);  // two registrations, two records
    ASSERT_EQ(first.SendHandle(IOCTL_SET_BUS_RESET_EVENT, firstReset), STATUS_SUCCESS);
    ASSERT_EQ(first.SendHandle(IOCTL_SET_BUS_READY_EVENT, firstReady), STATUS_SUCCESS);
    ASSERT_EQ(second.Register(secondTerminate), STATUS_SUCCESS);
    ASSERT_EQ(second.SendHandle(IOCTL_SET_BUS_RESET_EVENT, secondReset), STATUS_SUCCESS);
    ASSERT_EQ(Registered(first.process).size(), 2u);
    ASSERT_EQ(NotificationCount(), 2u);

    ASSERT_EQ(hk::user::SetEvent(first.process, firstTerminate), STATUS_SUCCESS);
    hk::RunFor(500 * kMs100ns);
    EXPECT_EQ(Registered(first.process).size(), 1u);  // the other registration stays
    EXPECT_EQ(Notification(first.process), nullptr);
    ASSERT_EQ(Registered(second.process).size(), 1u);
    ASSERT_NE(Notification(second.process), nullptr);

    ResetBus();
    EXPECT_FALSE(first.IsSet(firstReset));
    EXPECT_FALSE(first.IsSet(firstReady));
    EXPECT_TRUE(second.IsSet(secondReset));

    // The first program ends without a word: its remaining record goes with its process.
    ASSERT_EQ(hk::user::CloseHandle(first.process, first.device), STATUS_SUCCESS);
    hk::ExitProcess(first.process);
    hk::RunFor(500 * kMs100ns);
    EXPECT_EQ(Registered(first.process).size(), 0u);

    // The second ends with a request waiting for the topology and its notifications registered.
    KeClearEvent(&Controller()->EnumerationDone);
    NTSTATUS waiting = STATUS_PENDING;
    UCHAR* answer = second.buffer + 16;
    memset(answer, 0xAA, 10);
    hk::StartThread("waiter", second.process, [&] {
        waiting = hk::user::DeviceIoControl(second.process, second.device, IOCTL_GET_LINK_ACTIVE_NODES, nullptr, 0,
                                            answer, 10);
    });
    hk::RunFor(100 * kMs100ns);
    EXPECT_EQ(waiting, STATUS_PENDING);
    hk::ExitProcess(second.process);
    hk::RunFor(500 * kMs100ns);
    EXPECT_NE(waiting, STATUS_PENDING);
    EXPECT_EQ(Registered(second.process).size(), 0u);
    EXPECT_EQ(Notification(second.process), nullptr);
    EXPECT_EQ(NotificationCount(), 0u);
    KeSetEvent(&Controller()->EnumerationDone, IO_NO_INCREMENT, FALSE);

    // Only the driver's own client is left; the unload's leak report checks the rest.
    ULONG records = 0;
    for (PSINGLE_LIST_ENTRY e = Controller()->ClientList.Next; e != nullptr; e = e->Next) ++records;
    EXPECT_EQ(records, 1u);
    ResetBus();
}

// The two kinds of a process's notification record, replaced and removed one at a time.
TEST_F(UserClientTest, BusEventRegistrationRules) {
    Program program = NewProgram("camera", false);
    HANDLE reset = program.NewEvent(), ready = program.NewEvent(), newer = program.NewEvent();
    // Removing what was never registered changes nothing.
    EXPECT_EQ(program.SendHandle(IOCTL_SET_BUS_RESET_EVENT, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(NotificationCount(), 0u);

    ASSERT_EQ(program.SendHandle(IOCTL_SET_BUS_RESET_EVENT, reset), STATUS_SUCCESS);
    ASSERT_EQ(program.SendHandle(IOCTL_SET_BUS_READY_EVENT, ready), STATUS_SUCCESS);
    EXPECT_EQ(NotificationCount(), 1u);
    ASSERT_EQ(program.SendHandle(IOCTL_SET_BUS_RESET_EVENT, nullptr), STATUS_SUCCESS);
    BusNotificationRecord* record = Notification(program.process);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->ResetEvent, nullptr);
    EXPECT_NE(record->ReadyEvent, nullptr);
    ResetBus();
    EXPECT_FALSE(program.IsSet(reset));
    EXPECT_TRUE(program.IsSet(ready));
    ASSERT_EQ(program.SendHandle(IOCTL_SET_BUS_READY_EVENT, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(Notification(program.process), nullptr);

    // A new reset event replaces the old one.
    ASSERT_EQ(program.SendHandle(IOCTL_SET_BUS_RESET_EVENT, reset), STATUS_SUCCESS);
    ASSERT_EQ(program.SendHandle(IOCTL_SET_BUS_RESET_EVENT, newer), STATUS_SUCCESS);
    ResetBus();
    EXPECT_FALSE(program.IsSet(reset));
    EXPECT_TRUE(program.IsSet(newer));
    EXPECT_EQ(NotificationCount(), 1u);
    // The record stays until the controller goes; the unload's leak report checks it is freed.
}

// A program that registered bus events without a client registration and ended: its record goes
// at the next handle closed on the device or the next registration, whichever comes first.
TEST_F(UserClientTest, EndedProgramWithoutClientLosesItsBusEvents) {
    Program gone = NewProgram("gone", true);
    Program staying = NewProgram("staying", false);
    ASSERT_EQ(gone.SendHandle(IOCTL_SET_BUS_READY_EVENT, gone.NewEvent()), STATUS_SUCCESS);
    HANDLE ready = staying.NewEvent();
    ASSERT_EQ(staying.SendHandle(IOCTL_SET_BUS_READY_EVENT, ready), STATUS_SUCCESS);
    hk::ExitProcess(gone.process);
    hk::RunFor(10 * kMs100ns);
    HANDLE another = nullptr;
    ASSERT_EQ(hk::user::OpenDeviceInterface(staying.process, GUID_KX1394_CONTROLLER_INTERFACE, 0, &another),
              STATUS_SUCCESS);
    ASSERT_EQ(hk::user::CloseHandle(staying.process, another), STATUS_SUCCESS);
    EXPECT_EQ(Notification(gone.process), nullptr);
    ASSERT_NE(Notification(staying.process), nullptr);
    ResetBus();
    EXPECT_TRUE(staying.IsSet(ready));
}

// Programs that set their events while the controller goes: each record is freed exactly once
// (the host kernel's pool checks and the unload's leak report watch it), at every moment of the
// removal the scheduler picks.
class ClientRemovalRaceTest : public UserClientTest, public ::testing::WithParamInterface<ULONG> {};

TEST_P(ClientRemovalRaceTest, EventSetWhileTheControllerIsRemoved) {
    Program program = NewProgram("camera", GetParam() % 2 == 0);
    HANDLE events[3];
    for (HANDLE& event : events) {
        event = program.NewEvent();
        ASSERT_EQ(program.Register(event), STATUS_SUCCESS);
    }
    ASSERT_EQ(program.SendHandle(IOCTL_SET_BUS_RESET_EVENT, events[0]), STATUS_SUCCESS);
    PKTHREAD setter = hk::StartThread("setter", program.process, [&] {
        for (HANDLE event : events) {
            hk::RunFor(GetParam() * 3 * kMs100ns);
            hk::user::SetEvent(program.process, event);
        }
    });
    hk::RunFor(GetParam() * kMs100ns);
    hk::pnp::Unplug(pdo_);
    hk::JoinThread(setter);
    hk::RunFor(1000 * kMs100ns);
    EXPECT_EQ(hk::user::CloseHandle(program.process, program.device), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Moments, ClientRemovalRaceTest, ::testing::Values(0u, 1u, 2u, 5u, 100u, 300u));

// Handles that are not an event of the caller with the access it needs: refused, nothing
// registered, the driver keeps serving.
TEST_F(UserClientTest, HandlesThatAreNotTheCallersEvents) {
    Program caller = NewProgram("caller", false);
    Program other = NewProgram("other", false);
    HANDLE closed = caller.NewEvent();
    ASSERT_EQ(hk::user::CloseHandle(caller.process, closed), STATUS_SUCCESS);
    for (int i = 0; i < 6; ++i) other.NewEvent();
    HANDLE foreign = other.NewEvent();  // a value the caller's handle table does not hold
    HANDLE weak = nullptr;
    HANDLE event = caller.NewEvent();
    ASSERT_EQ(hk::user::DuplicateHandle(caller.process, event, SYNCHRONIZE, &weak), STATUS_SUCCESS);
    struct HandleCase {
        const char* name;
        HANDLE handle;
    } cases[] = {
        {"closed", closed},
        {"deviceFile", caller.device},  // an object of another type
        {"otherProcess", foreign},
        {"waitOnly", weak},             // without EVENT_MODIFY_STATE
        {"kernelHandle", reinterpret_cast<HANDLE>(ULONG_PTR(0xFFFFFFFF80000004ull))},
        {"garbage", reinterpret_cast<HANDLE>(ULONG_PTR(0x123456789ABCDEF0ull))},
    };
    for (const HandleCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(caller.Register(c.handle), kStatusInternalError);
        EXPECT_EQ(caller.SendHandle(IOCTL_SET_BUS_RESET_EVENT, c.handle), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(caller.SendHandle(IOCTL_SET_BUS_READY_EVENT, c.handle), STATUS_INSUFFICIENT_RESOURCES);
    }
    EXPECT_EQ(caller.Register(nullptr), kStatusInternalError);
    EXPECT_EQ(Registered(caller.process).size(), 0u);
    EXPECT_EQ(NotificationCount(), 0u);

    // The caller's own event works, and so does the other program.
    EXPECT_EQ(caller.Register(event), STATUS_SUCCESS);
    EXPECT_EQ(other.Register(foreign), STATUS_SUCCESS);
    EXPECT_EQ(Registered(caller.process).size(), 1u);
    EXPECT_EQ(Registered(other.process).size(), 1u);
}

}  // namespace
