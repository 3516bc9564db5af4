// The user control interface through real user calls on the driver started on the hardware model:
// the code table's length rules, the answers the driver gives itself (node speed, bus reset,
// link-active nodes, the information codes), during a reset and with their waits interrupted.
#include <cstring>
#include <vector>

#include "frame/user_control.h"
#include "kx1394.h"
#include "core/controller.h"
#include "ohci/ohci_registers.h"
#include "sim_fixture.h"

namespace {

constexpr UCHAR kUntouched = 0xAA;

class UserControlTest : public SimBusTest {
protected:
    // A two-node bus: the controller and one node.
    void SetUp() override {
        BuildBus(1);
        Start();
        ASSERT_EQ(start_, STATUS_SUCCESS);
        process_ = hk::TestProcess();
        ASSERT_EQ(hk::user::OpenDeviceInterface(process_, GUID_KX1394_CONTROLLER_INTERFACE, 0, &device_),
                  STATUS_SUCCESS);
        in_ = static_cast<UCHAR*>(hk::user::Alloc(process_, 256));
        out_ = static_cast<UCHAR*>(hk::user::Alloc(process_, 256));
        ASSERT_NE(in_, nullptr);
        ASSERT_NE(out_, nullptr);
        memset(out_, kUntouched, 256);
    }
    void TearDown() override {
        if (device_ != nullptr) {
            EXPECT_EQ(hk::user::CloseHandle(process_, device_), STATUS_SUCCESS);
        }
        SimBusTest::TearDown();
    }

    NTSTATUS Control(ULONG code, ULONG inLength, ULONG outLength, ULONG* returned = nullptr) {
        return hk::user::DeviceIoControl(process_, device_, code, inLength ? in_ : nullptr, inLength,
                                         outLength ? out_ : nullptr, outLength, returned);
    }
    // IOCTL_GET_NODE_SPEED for one node ID: the two answer bytes.
    Kx1394NodeAnswer NodeSpeed(USHORT nodeId) {
        memcpy(in_, &nodeId, 2);
        memset(out_, kUntouched, 2);
        ULONG returned = 0;
        EXPECT_EQ(Control(IOCTL_GET_NODE_SPEED, 2, 2, &returned), STATUS_SUCCESS);
        EXPECT_EQ(returned, 2u);
        Kx1394NodeAnswer answer;
        memcpy(&answer, out_, 2);
        return answer;
    }
    ULONG BusReset(ULONG kind) {
        memcpy(in_, &kind, 4);
        ULONG returned = 0;
        EXPECT_EQ(Control(IOCTL_BUS_RESET, 4, 4, &returned), STATUS_SUCCESS);
        EXPECT_EQ(returned, 4u);
        ULONG answer = 0;
        memcpy(&answer, out_, 4);
        return answer;
    }

    PEPROCESS process_ = nullptr;
    HANDLE device_ = nullptr;
    UCHAR* in_ = nullptr;
    UCHAR* out_ = nullptr;
};

struct LengthCase {
    const char* name;
    ULONG code;
    ULONG in;
    ULONG out;
    NTSTATUS status;
};

// Length rules: = n, >= n, any. The codes carried out by the isochronous and address-range
// engines pass their checks and answer STATUS_NOT_IMPLEMENTED until those engines exist; an
// asynchronous request from a process that did not register is refused after its checks.
const LengthCase kLengthCases[] = {
    {"asyncRead95", IOCTL_ASYNC_READ, 95, 0, STATUS_INVALID_PARAMETER},
    {"asyncRead97", IOCTL_ASYNC_READ, 97, 0, STATUS_INVALID_PARAMETER},
    {"asyncRead96", IOCTL_ASYNC_READ, 96, 0, STATUS_UNSUCCESSFUL},
    {"asyncWrite96AnyOutput", IOCTL_ASYNC_WRITE, 96, 7, STATUS_UNSUCCESSFUL},
    {"asyncLock0", IOCTL_ASYNC_LOCK, 0, 0, STATUS_INVALID_PARAMETER},
    {"isochOpenNoOutput", IOCTL_ISOCH_OPEN, 40, 0, STATUS_INVALID_PARAMETER},
    {"isochOpenTwoOutput", IOCTL_ISOCH_OPEN, 40, 2, STATUS_INVALID_PARAMETER},
    {"isochOpenKey0", IOCTL_ISOCH_OPEN, 40, 1, STATUS_INVALID_PARAMETER},  // the record names no key
    {"isochClose9", IOCTL_ISOCH_CLOSE, 9, 1, STATUS_INVALID_PARAMETER},
    {"isochAttach23", IOCTL_ISOCH_ATTACH_BUFFERS, 23, 0, STATUS_INVALID_PARAMETER},
    {"isochFlushNoStream", IOCTL_ISOCH_FLUSH, 8, 1, STATUS_INVALID_PARAMETER},  // key 0 names no stream
    {"unusedCode", IOCTL_KX1394_UNUSED_808, 0, 0, STATUS_INVALID_PARAMETER},
    {"unusedCodeWithBuffers", IOCTL_KX1394_UNUSED_808, 8, 8, STATUS_INVALID_PARAMETER},
    {"resetEvent4", IOCTL_SET_BUS_RESET_EVENT, 4, 0, STATUS_INVALID_PARAMETER},
    {"readyEvent16", IOCTL_SET_BUS_READY_EVENT, 16, 0, STATUS_INVALID_PARAMETER},
    {"interfaceVersion11", IOCTL_GET_INTERFACE_VERSION, 0, 11, STATUS_INVALID_PARAMETER},
    {"ohciVersion3", IOCTL_GET_OHCI_VERSION, 0, 3, STATUS_INVALID_PARAMETER},
    {"localGuid7", IOCTL_GET_LOCAL_GUID, 0, 7, STATUS_INVALID_PARAMETER},
    {"localNode1", IOCTL_GET_LOCAL_NODE, 0, 1, STATUS_INVALID_PARAMETER},
    {"nodeCount0", IOCTL_GET_NODE_COUNT, 0, 0, STATUS_INVALID_PARAMETER},
    {"linkActive9", IOCTL_GET_LINK_ACTIVE_NODES, 0, 9, STATUS_INVALID_PARAMETER},
    {"resetCount4", IOCTL_GET_BUS_RESET_COUNT, 0, 4, STATUS_INVALID_PARAMETER},
    {"resetState3", IOCTL_GET_BUS_RESET_STATE, 0, 3, STATUS_INVALID_PARAMETER},
    {"nodeSpeedIn3", IOCTL_GET_NODE_SPEED, 3, 2, STATUS_INVALID_PARAMETER},
    {"nodeSpeedOut3", IOCTL_GET_NODE_SPEED, 2, 3, STATUS_INVALID_PARAMETER},
    {"irmNode1", IOCTL_GET_IRM_NODE, 0, 1, STATUS_INVALID_PARAMETER},
    {"busResetOut8", IOCTL_BUS_RESET, 4, 8, STATUS_INVALID_PARAMETER},
    {"busResetIn2", IOCTL_BUS_RESET, 2, 4, STATUS_INVALID_PARAMETER},
    {"phyPacket", IOCTL_SEND_PHY_PACKET, 4, 1, STATUS_SUCCESS},
    {"phyPacketIn8", IOCTL_SEND_PHY_PACKET, 8, 1, STATUS_INVALID_PARAMETER},
    {"allocateRange", IOCTL_ALLOCATE_ADDRESS_RANGE, 48, 1, STATUS_NOT_IMPLEMENTED},
    {"allocateRange47", IOCTL_ALLOCATE_ADDRESS_RANGE, 47, 1, STATUS_INVALID_PARAMETER},
    {"freeRange", IOCTL_FREE_ADDRESS_RANGE, 8, 1, STATUS_NOT_IMPLEMENTED},
    {"sendResponse25", IOCTL_SEND_RESPONSE, 25, 1, STATUS_INVALID_PARAMETER},
    {"discardRequest", IOCTL_DISCARD_REQUEST, 8, 1, STATUS_NOT_IMPLEMENTED},
    {"discardAllNoOutput", IOCTL_DISCARD_ALL_REQUESTS, 8, 0, STATUS_INVALID_PARAMETER},
    {"registerClient4", IOCTL_REGISTER_CLIENT, 4, 0, STATUS_INVALID_PARAMETER},
    {"asyncStream", IOCTL_ASYNC_STREAM, 24, 1, STATUS_SUCCESS},
    {"asyncStream24NoOutput", IOCTL_ASYNC_STREAM, 24, 0, STATUS_INVALID_PARAMETER},
    {"belowTable", 0x222000, 0, 0, STATUS_INVALID_DEVICE_REQUEST},
    {"aboveTable", 0x222078, 8, 8, STATUS_INVALID_DEVICE_REQUEST},
    {"otherDeviceType", 0x00120004, 0, 0, STATUS_INVALID_DEVICE_REQUEST},
};

TEST_F(UserControlTest, LengthRulesOfTheCodeTable) {
    for (const LengthCase& c : kLengthCases) {
        SCOPED_TRACE(c.name);
        memset(in_, 0, 256);
        memset(out_, kUntouched, 256);
        ULONG returned = 0xFFFF;
        EXPECT_EQ(Control(c.code, c.in, c.out, &returned), c.status);
        if (c.status == STATUS_INVALID_PARAMETER || c.status == STATUS_INVALID_DEVICE_REQUEST) {
            EXPECT_EQ(returned, 0u);
        }
        // A refused request writes nothing into the caller's buffer.
        if (!NT_SUCCESS(c.status)) {
            for (ULONG i = 0; i < 256; ++i) ASSERT_EQ(out_[i], kUntouched) << i;
        }
    }
    // The driver keeps serving.
    EXPECT_EQ(NodeSpeed(0xFFC1).Status, KX1394_ANSWER_DONE);
}

TEST_F(UserControlTest, InformationAnswers) {
    OhciController* controller = Controller();
    ULONG returned = 0;
    // 16 bytes offered, 12 reported: the version and ten zero bytes; the rest stays the caller's.
    ASSERT_EQ(Control(IOCTL_GET_INTERFACE_VERSION, 0, 16, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 12u);
    EXPECT_EQ(out_[0], 0x32);
    for (int i = 1; i < 12; ++i) EXPECT_EQ(out_[i], 0) << i;
    for (int i = 12; i < 16; ++i) EXPECT_EQ(out_[i], kUntouched) << i;

    memset(out_, kUntouched, 16);
    ASSERT_EQ(Control(IOCTL_GET_OHCI_VERSION, 0, 4, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 4u);
    ULONG version = ModelRegister(ohci::kVersion);
    EXPECT_EQ(out_[0], UCHAR(version >> 16));
    EXPECT_EQ(out_[1], UCHAR(version));
    EXPECT_EQ(out_[2], 0);  // no value: zero, never pool contents
    EXPECT_EQ(out_[3], 0);

    ASSERT_EQ(Control(IOCTL_GET_LOCAL_GUID, 0, 8, &returned), STATUS_SUCCESS);
    Kx1394LocalGuid guid;
    memcpy(&guid, out_, 8);
    EXPECT_EQ(guid.GuidLo, controller->GuidLo);
    EXPECT_EQ(guid.GuidHi, controller->GuidHi);
    EXPECT_NE(guid.GuidHi | guid.GuidLo, 0u);

    struct ByteCase {
        ULONG code;
        UCHAR value;
    } byteCases[] = {
        {IOCTL_GET_LOCAL_NODE, controller->LocalNodeNumber},
        {IOCTL_GET_NODE_COUNT, 2},
        {IOCTL_GET_IRM_NODE, controller->IrmNodeNumber},
    };
    for (const ByteCase& c : byteCases) {
        memset(out_, kUntouched, 16);
        ASSERT_EQ(Control(c.code, 0, 16, &returned), STATUS_SUCCESS);
        EXPECT_EQ(returned, 2u);
        EXPECT_EQ(out_[0], KX1394_ANSWER_DONE);
        EXPECT_EQ(out_[1], c.value);
        EXPECT_EQ(out_[2], kUntouched);
    }
    EXPECT_EQ(controller->LocalNodeNumber, sim_->controller->phy().phyId);

    ASSERT_EQ(Control(IOCTL_GET_BUS_RESET_COUNT, 0, 5, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 5u);
    Kx1394BusResetCount count;
    memcpy(&count, out_, 5);
    EXPECT_EQ(count.Status, KX1394_ANSWER_DONE);
    ULONG resets = count.Count;  // packed field: copied, not bound
    EXPECT_EQ(resets, controller->BusResetCount);
    EXPECT_GE(resets, 1u);

    ASSERT_EQ(Control(IOCTL_GET_BUS_RESET_STATE, 0, 4, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(out_[0] | out_[1] | out_[2] | out_[3], 0);

    // Link-active nodes into a misaligned buffer: exactly ten bytes written.
    memset(out_, kUntouched, 32);
    ASSERT_EQ(hk::user::DeviceIoControl(process_, device_, IOCTL_GET_LINK_ACTIVE_NODES, nullptr, 0, out_ + 1, 10,
                                        &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(returned, 10u);
    Kx1394LinkActiveNodes active;
    memcpy(&active, out_ + 1, 10);
    EXPECT_EQ(active.Status, KX1394_ANSWER_DONE);
    ULONGLONG mask = active.Mask;
    EXPECT_EQ(mask, controller->ActiveLinkMask);
    EXPECT_EQ(active.Count, controller->ActiveLinkCount);
    EXPECT_EQ(mask, 0x3ull);
    EXPECT_EQ(out_[0], kUntouched);
    EXPECT_EQ(out_[11], kUntouched);
}

// Node IDs on a two-node bus: without bus number, the other node, one past the last, node 63.
TEST_F(UserControlTest, NodeSpeedFollowsTheNodeIdRules) {
    OhciController* controller = Controller();
    ASSERT_EQ(controller->NodeCount, 2u);
    struct SpeedCase {
        USHORT nodeId;
        UCHAR status;
    } cases[] = {
        {0x0002, KX1394_ANSWER_NO_BUS_NUMBER},
        {0x0001, KX1394_ANSWER_NO_BUS_NUMBER},
        {0xFFC1, KX1394_ANSWER_DONE},
        {0xFFC0, KX1394_ANSWER_DONE},
        {0x0041, KX1394_ANSWER_DONE},  // any bus number
        {0xFFC2, KX1394_ANSWER_NO_SUCH_NODE},
        {0xFFFF, KX1394_ANSWER_NO_SUCH_NODE},
        {0xFFFE, KX1394_ANSWER_NO_SUCH_NODE},
    };
    ULONG local = controller->LocalNodeNumber & 0x3F;
    for (const SpeedCase& c : cases) {
        SCOPED_TRACE(c.nodeId);
        Kx1394NodeAnswer answer = NodeSpeed(c.nodeId);
        EXPECT_EQ(answer.Status, c.status);
        // The value byte carries the speed code only with status 0, else zero.
        UCHAR expected = c.status == KX1394_ANSWER_DONE ? controller->SpeedTable[local * 64 + (c.nodeId & 0x3F)] : 0;
        EXPECT_EQ(answer.Value, expected);
    }
    // An unreachable node in the speed table (code 0x0F) has no speed.
    controller->SpeedTable[local * 64 + 1] = 0x0F;
    EXPECT_EQ(NodeSpeed(0xFFC1).Status, KX1394_ANSWER_NO_SUCH_NODE);
    controller->SpeedTable[local * 64 + 1] = KX1394_S400;
    Kx1394NodeAnswer answer = NodeSpeed(0xFFC1);
    EXPECT_EQ(answer.Status, KX1394_ANSWER_DONE);
    EXPECT_EQ(answer.Value, KX1394_S400);
}

// While a bus reset is in progress the status answers say so and carry no value.
TEST_F(UserControlTest, AnswersDuringABusReset) {
    OhciController* controller = Controller();
    controller->BusResetActive = 1;
    ULONG returned = 0;
    for (ULONG code : {IOCTL_GET_LOCAL_NODE, IOCTL_GET_NODE_COUNT, IOCTL_GET_IRM_NODE, IOCTL_GET_BUS_RESET_COUNT,
                       IOCTL_GET_LINK_ACTIVE_NODES}) {
        SCOPED_TRACE(code);
        memset(out_, kUntouched, 16);
        ASSERT_EQ(Control(code, 0, 16, &returned), STATUS_SUCCESS);
        EXPECT_EQ(out_[0], KX1394_ANSWER_BUS_RESET);
        EXPECT_EQ(out_[1], 0);  // no value: zero rather than whatever the buffer held
    }
    EXPECT_EQ(NodeSpeed(0xFFC1).Status, KX1394_ANSWER_BUS_RESET);
    EXPECT_EQ(NodeSpeed(0x0002).Status, KX1394_ANSWER_BUS_RESET);
    ASSERT_EQ(Control(IOCTL_GET_BUS_RESET_STATE, 0, 4, &returned), STATUS_SUCCESS);
    EXPECT_EQ(out_[0], 1);
    controller->BusResetActive = 0;

    // A real reset: the answers are valid again once it has been handled.
    ULONG before = controller->BusResetCount;
    sim_->bus.RequestReset(false);
    hk::RunFor(100 * kMs100ns);
    ASSERT_EQ(Control(IOCTL_GET_BUS_RESET_COUNT, 0, 5, &returned), STATUS_SUCCESS);
    Kx1394BusResetCount count;
    memcpy(&count, out_, 5);
    EXPECT_EQ(count.Status, KX1394_ANSWER_DONE);
    ULONG resets = count.Count;
    EXPECT_EQ(resets, before + 1);
}

// Two resets asked for within two seconds: one reset, the second refused; later ones go through.
TEST_F(UserControlTest, BusResetTwiceWithinTwoSeconds) {
    hk::RunFor(2500 * kMs100ns);  // past the start's own reset
    OhciController* controller = Controller();
    ULONG before = controller->BusResetCount;
    EXPECT_EQ(BusReset(KX1394_BUS_RESET_LONG), KX1394_BUS_RESET_INITIATED);
    hk::RunFor(100 * kMs100ns);
    EXPECT_EQ(controller->BusResetCount, before + 1);
    EXPECT_EQ(BusReset(KX1394_BUS_RESET_LONG), KX1394_BUS_RESET_REFUSED);
    EXPECT_EQ(BusReset(KX1394_BUS_RESET_SHORT), KX1394_BUS_RESET_REFUSED);
    hk::RunFor(1000 * kMs100ns);
    EXPECT_EQ(controller->BusResetCount, before + 1);

    hk::RunFor(1500 * kMs100ns);
    EXPECT_EQ(BusReset(7), KX1394_BUS_RESET_REFUSED);  // unknown kind
    hk::RunFor(100 * kMs100ns);
    EXPECT_EQ(controller->BusResetCount, before + 1);
    EXPECT_EQ(BusReset(KX1394_BUS_RESET_SHORT), KX1394_BUS_RESET_INITIATED);
    hk::RunFor(100 * kMs100ns);
    EXPECT_EQ(controller->BusResetCount, before + 2);
}

// Two resets asked for back to back, before the first has reached the bus: still one reset.
TEST_F(UserControlTest, BusResetBackToBack) {
    hk::RunFor(2500 * kMs100ns);
    OhciController* controller = Controller();
    ULONG before = controller->BusResetCount;
    ULONG generation = sim_->bus.Generation();
    EXPECT_EQ(BusReset(KX1394_BUS_RESET_SHORT), KX1394_BUS_RESET_INITIATED);
    EXPECT_EQ(BusReset(KX1394_BUS_RESET_LONG), KX1394_BUS_RESET_REFUSED);
    hk::RunFor(500 * kMs100ns);
    EXPECT_EQ(controller->BusResetCount, before + 1);
    EXPECT_EQ(sim_->bus.Generation(), generation + 1);
}

// The waits for the settled topology end when the caller's thread is alerted: status 12.
TEST_F(UserControlTest, WaitsForTheTopologyEndWhenAlerted) {
    OhciController* controller = Controller();
    struct WaitCase {
        ULONG code;
        PKEVENT gate;
        ULONG in;
        ULONG out;
    } cases[] = {
        {IOCTL_GET_LINK_ACTIVE_NODES, &controller->EnumerationDone, 0, 10},
        {IOCTL_GET_NODE_SPEED, &controller->AsyncGate, 2, 2},
    };
    for (const WaitCase& c : cases) {
        SCOPED_TRACE(c.code);
        KeClearEvent(c.gate);
        USHORT node = 0xFFC1;
        memcpy(in_, &node, 2);
        memset(out_, kUntouched, 16);
        NTSTATUS status = STATUS_PENDING;
        ULONG returned = 0;
        PKTHREAD caller = hk::StartThread("camera", process_, [&] {
            status = hk::user::DeviceIoControl(process_, device_, c.code, c.in ? in_ : nullptr, c.in, out_, c.out,
                                               &returned);
        });
        hk::RunFor(500 * kMs100ns);
        EXPECT_EQ(status, STATUS_PENDING);  // still waiting
        hk::AlertThread(caller);
        hk::JoinThread(caller);
        EXPECT_EQ(status, STATUS_SUCCESS);
        EXPECT_EQ(returned, c.out);
        EXPECT_EQ(out_[0], KX1394_ANSWER_INTERRUPTED);
        EXPECT_EQ(out_[1], 0);
        KeSetEvent(c.gate, IO_NO_INCREMENT, FALSE);
    }
    EXPECT_EQ(NodeSpeed(0xFFC1).Status, KX1394_ANSWER_DONE);
}

// Buffers the caller does not own never reach the driver; the driver keeps serving.
TEST_F(UserControlTest, NullAndForeignBuffersAreRefused) {
    ULONG returned = 0;
    EXPECT_NE(hk::user::DeviceIoControl(process_, device_, IOCTL_GET_NODE_SPEED, nullptr, 2, out_, 2, &returned),
              STATUS_SUCCESS);
    EXPECT_NE(hk::user::DeviceIoControl(process_, device_, IOCTL_GET_LOCAL_GUID, nullptr, 0, nullptr, 8, &returned),
              STATUS_SUCCESS);
    EXPECT_NE(hk::user::DeviceIoControl(process_, device_, IOCTL_ASYNC_READ, nullptr, 96, nullptr, 0, &returned),
              STATUS_SUCCESS);
    // The end of the buffer: an answer that would run past it is refused before the driver.
    UCHAR* tail = out_ + 256 - 4;
    EXPECT_NE(hk::user::DeviceIoControl(process_, device_, IOCTL_GET_LINK_ACTIVE_NODES, nullptr, 0, tail, 10,
                                        &returned),
              STATUS_SUCCESS);
    ASSERT_EQ(hk::user::DeviceIoControl(process_, device_, IOCTL_GET_LOCAL_NODE, nullptr, 0, tail + 2, 2, &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(tail[2], KX1394_ANSWER_DONE);
    EXPECT_EQ(NodeSpeed(0xFFC1).Status, KX1394_ANSWER_DONE);
}

// A large-address-aware 32-bit program with its buffers above 2 GiB is answered like any other.
TEST_F(UserControlTest, LargeAddressAwareProgramAboveTwoGigabytes) {
    PEPROCESS program = hk::CreateProcess("camera32laa", true, true);
    UCHAR* out = static_cast<UCHAR*>(hk::user::AllocHigh(program, 16));
    if (out == nullptr) GTEST_SKIP() << "no memory above 2 GiB on this host";
    ASSERT_GE(reinterpret_cast<ULONG_PTR>(out), 0x80000000ull);
    HANDLE device = nullptr;
    ASSERT_EQ(hk::user::OpenDeviceInterface(program, GUID_KX1394_CONTROLLER_INTERFACE, 0, &device), STATUS_SUCCESS);
    ULONG returned = 0;
    ASSERT_EQ(hk::user::DeviceIoControl(program, device, IOCTL_GET_LOCAL_GUID, nullptr, 0, out, 8, &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(returned, 8u);
    Kx1394LocalGuid guid;
    memcpy(&guid, out, 8);
    EXPECT_EQ(guid.GuidHi, Controller()->GuidHi);
    EXPECT_EQ(hk::user::CloseHandle(program, device), STATUS_SUCCESS);
}

}  // namespace

namespace {

// The interface a program looks for is the one the driver registers.
TEST(UserInterfaceHeader, DeviceInterfaceGuidIsTheDriversOwn) {
    const GUID& driver = GUID_KX1394_CONTROLLER_INTERFACE;
    EXPECT_EQ(KX1394_DEVICE_INTERFACE_GUID.Data1, driver.Data1);
    EXPECT_EQ(KX1394_DEVICE_INTERFACE_GUID.Data2, driver.Data2);
    EXPECT_EQ(KX1394_DEVICE_INTERFACE_GUID.Data3, driver.Data3);
    EXPECT_EQ(memcmp(KX1394_DEVICE_INTERFACE_GUID.Data4, driver.Data4, 8), 0);
}

// Record fields of 32-bit programs: addresses are zero-extended (a large-address-aware program's
// buffers lie between 2 and 4 GiB), handles sign-extended as the system extends them.
TEST(UserInterfaceRecords, ThirtyTwoBitAddressesAndHandles) {
    const UCHAR high[8] = {0x00, 0x10, 0x00, 0x80, 0xEF, 0xBE, 0xAD, 0xDE};
    EXPECT_EQ(UserAddressAt(high, true), 0x0000000080001000ull);
    EXPECT_EQ(UserAddressAt(high, false), 0xDEADBEEF80001000ull);
    const UCHAR handle[8] = {0xFE, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(UserHandleAt(handle, true)), ~ULONG_PTR(1));
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(UserHandleAt(handle, false)), ULONG_PTR(0xFFFFFFFEull));
}

}  // namespace
