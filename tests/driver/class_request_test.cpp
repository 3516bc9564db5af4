// The 1394 class interface on the model: a class driver loaded on a camera's child through the
// Plug and Play manager, requests with bad input, channels running out, requests built before a
// bus reset, requests from raised IRQL, and a child that goes while requests are outstanding.
#include "class_fixture.h"
#include "iso_listener.h"
#include "ohci/bus_order.h"

namespace {

class ClassRequestTest : public ClassDriverTest {
protected:
    explicit ClassRequestTest(const hk::Options& options = hk::Options()) : ClassDriverTest(options) {}

    NTSTATUS Send(IRB* irb, ULONG code = IOCTL_1394_CLASS, ULONG_PTR* information = nullptr) {
        return testclass::SendIrb(child_, irb, code, information);
    }
    NTSTATUS Function(ULONG number) {
        IRB irb{};
        irb.FunctionNumber = number;
        return Send(&irb);
    }
    NTSTATUS AllocateChannel(ULONG requested, ULONG* channel) {
        IRB irb{};
        irb.FunctionNumber = REQUEST_ISOCH_ALLOCATE_CHANNEL;
        irb.u.IsochAllocateChannel.nRequestedChannel = requested;
        NTSTATUS status = Send(&irb);
        *channel = irb.u.IsochAllocateChannel.Channel;
        return status;
    }
};

TEST_F(ClassRequestTest, ACameraClassDriverLoadsOnItsChildAndUsesTheBus) {
    ASSERT_EQ(results_.started, 1);
    EXPECT_EQ(results_.fdo, child_->AttachedDevice);
    EXPECT_EQ(results_.generationStatus, STATUS_SUCCESS);
    EXPECT_EQ(results_.generation, Controller()->BusResetCount);
    EXPECT_EQ(results_.configStatus, STATUS_SUCCESS);
    EXPECT_EQ(std::string(results_.vendor), "Simulated Optics");
    // The unit directory as the camera's ROM holds it: its header, then spec and version entries.
    ASSERT_GE(results_.unitDirectorySize, 12u);
    EXPECT_EQ(BusToHost32(results_.unitDirectory[1]), 0x1200A02Du);
    EXPECT_EQ(BusToHost32(results_.unitDirectory[2]), 0x13000102u);
    EXPECT_EQ(results_.readStatus, STATUS_SUCCESS);
    EXPECT_NE(BusToHost32(results_.registerValue) & 0x80000000u, 0u);  // V_FORMAT_INQ: Format_0
    EXPECT_EQ(results_.notifyStatus, STATUS_SUCCESS);
    EXPECT_EQ(results_.bandwidthStatus, STATUS_SUCCESS);
    EXPECT_NE(results_.bandwidth, nullptr);
    EXPECT_EQ(results_.channelStatus, STATUS_SUCCESS);
    EXPECT_EQ(results_.channel, 0u);

    Reset();
    EXPECT_GE(results_.resets, 1);

    sim_->bus.Unplug(camera_);
    Settle();
    EXPECT_EQ(results_.removed, 1);
    EXPECT_EQ(Children().size(), 1u);
    LONG seen = results_.resets;
    Reset();
    EXPECT_EQ(results_.resets, seen);  // its registration went with it
}

TEST_F(ClassRequestTest, BadRequestsGetAClearStatusAndChangeNothing) {
    ULONG small = 0;
    PMDL mdl = IoAllocateMdl(&small, 4, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    ULONG gap = 0x40;
    struct Row {
        const char* name;
        IRB irb;
        ULONG code;
        NTSTATUS expected;
    };
    auto irbOf = [](ULONG function) {
        IRB irb{};
        irb.FunctionNumber = function;
        return irb;
    };
    std::vector<Row> rows = {
        {"talk", irbOf(REQUEST_ISOCH_TALK), IOCTL_1394_CLASS, STATUS_NOT_IMPLEMENTED},
        {"control", irbOf(REQUEST_CONTROL), IOCTL_1394_CLASS, STATUS_NOT_IMPLEMENTED},
        {"topology maps", irbOf(REQUEST_GET_SPEED_TOPOLOGY_MAPS), IOCTL_1394_CLASS, STATUS_NOT_IMPLEMENTED},
        {"function 40", irbOf(40), IOCTL_1394_CLASS, STATUS_NOT_IMPLEMENTED},
        {"function 0xFFFFFFFF", irbOf(0xFFFFFFFF), IOCTL_1394_CLASS, STATUS_NOT_IMPLEMENTED},
        {"unknown control code", irbOf(REQUEST_GET_GENERATION_COUNT), 0x00220003, STATUS_NOT_IMPLEMENTED},
    };
    Row r{"read of 0 bytes", irbOf(REQUEST_ASYNC_READ), IOCTL_1394_CLASS, STATUS_INVALID_PARAMETER};
    r.irb.u.AsyncRead.Mdl = mdl;
    rows.push_back(r);
    r = {"read longer than its buffer", irbOf(REQUEST_ASYNC_READ), IOCTL_1394_CLASS, STATUS_INVALID_PARAMETER};
    r.irb.u.AsyncRead.Mdl = mdl;
    r.irb.u.AsyncRead.nNumberOfBytesToRead = 8;
    rows.push_back(r);
    r = {"read without a buffer", irbOf(REQUEST_ASYNC_READ), IOCTL_1394_CLASS, STATUS_INSUFFICIENT_RESOURCES};
    r.irb.u.AsyncRead.nNumberOfBytesToRead = 4;
    rows.push_back(r);
    r = {"notification without a flag", irbOf(REQUEST_BUS_RESET_NOTIFICATION), IOCTL_1394_CLASS,
         STATUS_INVALID_PARAMETER};
    rows.push_back(r);
    r = {"power supplied", irbOf(REQUEST_GET_LOCAL_HOST_INFO), IOCTL_1394_CLASS, STATUS_NOT_SUPPORTED};
    r.irb.u.GetLocalHostInformation.nLevel = GET_POWER_SUPPLIED;
    rows.push_back(r);
    r = {"host info level 99", irbOf(REQUEST_GET_LOCAL_HOST_INFO), IOCTL_1394_CLASS, STATUS_NOT_IMPLEMENTED};
    r.irb.u.GetLocalHostInformation.nLevel = 99;
    r.irb.u.GetLocalHostInformation.Information = &small;
    rows.push_back(r);
    r = {"free a channel never allocated", irbOf(REQUEST_ISOCH_FREE_CHANNEL), IOCTL_1394_CLASS, STATUS_SUCCESS};
    r.irb.u.IsochFreeChannel.nChannel = 40;
    rows.push_back(r);
    r = {"free channel 64", irbOf(REQUEST_ISOCH_FREE_CHANNEL), IOCTL_1394_CLASS, STATUS_INVALID_PARAMETER};
    r.irb.u.IsochFreeChannel.nChannel = 64;
    rows.push_back(r);
    r = {"allocate channel 64", irbOf(REQUEST_ISOCH_ALLOCATE_CHANNEL), IOCTL_1394_CLASS, STATUS_INVALID_PARAMETER};
    r.irb.u.IsochAllocateChannel.nRequestedChannel = 64;
    rows.push_back(r);
    r = {"free an unknown bandwidth handle", irbOf(REQUEST_ISOCH_FREE_BANDWIDTH), IOCTL_1394_CLASS, STATUS_SUCCESS};
    r.irb.u.IsochFreeBandwidth.hBandwidth = &small;
    rows.push_back(r);
    r = {"gap count above 63", irbOf(REQUEST_SET_LOCAL_HOST_PROPERTIES), IOCTL_1394_CLASS, STATUS_INVALID_PARAMETER};
    r.irb.u.SetLocalHostProperties.nLevel = 2;
    r.irb.u.SetLocalHostProperties.Information = &gap;
    rows.push_back(r);
    r = {"host property level 1", irbOf(REQUEST_SET_LOCAL_HOST_PROPERTIES), IOCTL_1394_CLASS, STATUS_NOT_SUPPORTED};
    r.irb.u.SetLocalHostProperties.nLevel = 1;
    rows.push_back(r);
    r = {"statistics code 5", irbOf(5), IOCTL_CLASS_STATISTICS, STATUS_NOT_IMPLEMENTED};
    rows.push_back(r);
    // The class driver's own device object is no device on the bus.
    r = {"speed to another driver's device", irbOf(REQUEST_GET_SPEED_BETWEEN_DEVICES), IOCTL_1394_CLASS,
         STATUS_INVALID_PARAMETER};
    r.irb.u.GetMaxSpeedBetweenDevices.ulNumberOfDestinations = 1;
    r.irb.u.GetMaxSpeedBetweenDevices.hDestinationDeviceObjects[0] = child_->AttachedDevice;
    rows.push_back(r);

    LocalCsrValues before = Controller()->LocalCsr;
    for (Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(Send(&row.irb, row.code), row.expected);
    }
    EXPECT_EQ(Send(nullptr), STATUS_INVALID_PARAMETER);
    LocalCsrValues after = Controller()->LocalCsr;
    EXPECT_EQ(after.ChannelsAvailableHi, before.ChannelsAvailableHi);
    EXPECT_EQ(after.ChannelsAvailableLo, before.ChannelsAvailableLo);
    EXPECT_EQ(after.BandwidthAvailable, before.BandwidthAvailable);
    IoFreeMdl(mdl);

    // The controller's own device takes no class requests.
    IRB irb{};
    irb.FunctionNumber = REQUEST_GET_GENERATION_COUNT;
    EXPECT_EQ(testclass::SendIrb(fdo_, &irb), STATUS_INVALID_DEVICE_REQUEST);
    // The statistics: the code, then the 128-byte block.
    UCHAR block[132] = {};
    ULONG code = kStatisticsRead;
    memcpy(block, &code, 4);
    ULONG_PTR information = 0;
    EXPECT_EQ(Send(reinterpret_cast<IRB*>(block), IOCTL_CLASS_STATISTICS, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 132u);
}

TEST_F(ClassRequestTest, AChannelAllocationWhenNoneIsFreeFails) {
    // 63 channels are free after a reset (31 is the broadcast channel); the class driver holds one.
    ULONG channel = 0;
    for (int i = 0; i < 62; ++i) {
        ASSERT_EQ(AllocateChannel(ISOCH_ANY_CHANNEL, &channel), STATUS_SUCCESS) << i;
        EXPECT_NE(channel, 31u);
    }
    EXPECT_EQ(AllocateChannel(ISOCH_ANY_CHANNEL, &channel), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_NE(channel, 0u);
    EXPECT_EQ(AllocateChannel(5, &channel), STATUS_INSUFFICIENT_RESOURCES);
    IRB irb{};
    irb.FunctionNumber = REQUEST_ISOCH_FREE_CHANNEL;
    irb.u.IsochFreeChannel.nChannel = 5;
    EXPECT_EQ(Send(&irb), STATUS_SUCCESS);
    EXPECT_EQ(AllocateChannel(ISOCH_ANY_CHANNEL, &channel), STATUS_SUCCESS);
    EXPECT_EQ(channel, 5u);
}

TEST_F(ClassRequestTest, ARequestBuiltBeforeABusResetReachesTheDeviceWhereItIsNow) {
    ULONG old = results_.generation;
    // A node before the camera in the self-ID order renumbers it.
    sim::Node* extra = sim_->bus.Add(std::make_unique<sim::CsrNode>("extra", 3, sim::kS400, sim::ConfigRom()));
    ASSERT_TRUE(sim_->bus.Connect(camera_, 1, extra, 0));
    Settle();
    EXPECT_EQ(Child(child_)->Node, ULONG(camera_->NodeId() & 0x3F));
    ULONG value = 0;
    EXPECT_EQ(testclass::ReadQuadlet(child_, results_.registerOffset, old, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, results_.registerValue);
}

// Sends a read from DISPATCH_LEVEL; the request is pending and goes to a work item.
struct RaisedRead {
    ULONG data = 0;
    PMDL mdl = nullptr;
    IRB irb{};
    KEVENT event;
    IO_STATUS_BLOCK ioStatus{};
    NTSTATUS returned = STATUS_SUCCESS;
    void Send(PDEVICE_OBJECT device, ULONGLONG offset) {
        mdl = IoAllocateMdl(&data, 4, FALSE, FALSE, nullptr);
        MmBuildMdlForNonPagedPool(mdl);
        irb.FunctionNumber = REQUEST_ASYNC_READ;
        irb.u.AsyncRead.DestinationAddress.IA_Destination_Offset.Off_High = USHORT(offset >> 32);
        irb.u.AsyncRead.DestinationAddress.IA_Destination_Offset.Off_Low = ULONG(offset);
        irb.u.AsyncRead.nNumberOfBytesToRead = 4;
        irb.u.AsyncRead.Mdl = mdl;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_1394_CLASS, device, nullptr, 0, nullptr, 0, TRUE, &event,
                                                 &ioStatus);
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &irb;
        KIRQL irql;
        KeRaiseIrql(DISPATCH_LEVEL, &irql);
        returned = IoCallDriver(device, irp);
        KeLowerIrql(irql);
    }
    NTSTATUS Wait() {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        IoFreeMdl(mdl);
        return ioStatus.Status;
    }
};

TEST_F(ClassRequestTest, ARequestFromDispatchLevelRunsInAWorkItem) {
    RaisedRead read;
    read.Send(child_, results_.registerOffset);
    EXPECT_EQ(read.returned, STATUS_PENDING);
    EXPECT_EQ(read.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(read.data, results_.registerValue);
}

// Under several scheduler seeds: the child goes while a read from DISPATCH_LEVEL waits for its
// response in a work item; the read ends with an error and the child only after it.
class ClassRemovalSeedTest : public ClassRequestTest, public testing::WithParamInterface<ULONG> {
protected:
    static hk::Options Seeded(ULONG seed) {
        hk::Options options;
        options.seed = seed;
        return options;
    }
    ClassRemovalSeedTest() : ClassRequestTest(Seeded(GetParam())) {}
};

TEST_P(ClassRemovalSeedTest, AChildRemovedWithRequestsOutstanding) {
    camera_->faults.lostResponses = 1000;
    RaisedRead read;
    read.Send(child_, results_.registerOffset);
    EXPECT_EQ(read.returned, STATUS_PENDING);
    hk::RunFor(2 * kMs100ns);  // the work item waits for the response
    sim_->bus.Unplug(camera_);
    Settle();
    EXPECT_NE(read.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(results_.removed, 1);
    auto children = Children();
    EXPECT_EQ(children.size(), 1u);
    EXPECT_EQ(children.count(kCameraId), 0u);
    EXPECT_EQ(Controller()->DeviceCount, 1u);
}

// The controller is surprise-removed while a child's read from DISPATCH_LEVEL waits for its
// response: the removal waits for the read to end before the hardware goes, and a request after
// it fails at once.
TEST_P(ClassRemovalSeedTest, AControllerSurpriseRemovedWithARequestOutstanding) {
    camera_->faults.lostResponses = 1000;
    RaisedRead read;
    read.Send(child_, results_.registerOffset);
    EXPECT_EQ(read.returned, STATUS_PENDING);
    hk::RunFor(2 * kMs100ns);
    ASSERT_EQ(hk::pnp::SurpriseRemoval(pdo_), STATUS_SUCCESS);
    EXPECT_NE(read.Wait(), STATUS_SUCCESS);
    IRB irb{};
    irb.FunctionNumber = REQUEST_GET_GENERATION_COUNT;
    EXPECT_EQ(Send(&irb), STATUS_NO_SUCH_DEVICE);
}

INSTANTIATE_TEST_SUITE_P(Seeds, ClassRemovalSeedTest, testing::Values(1u, 7u, 42u, 1234u));

}  // namespace

namespace {

// An asynchronous stream packet from a class driver reaches a listening node on its channel with
// its tag, sy and speed; a channel above 63, a payload above the speed's limit and an MDL shorter
// than the byte count are refused and send nothing.
TEST_F(ClassRequestTest, AsyncStreamPacketsReachTheChannel) {
    auto* listener = static_cast<sim::IsoListener*>(sim_->bus.Add(std::make_unique<sim::IsoListener>()));
    ASSERT_TRUE(sim_->bus.Connect(sim_->controller, 2, listener, 0));
    Settle();
    UCHAR payload[1024];
    for (ULONG i = 0; i < sizeof(payload); ++i) payload[i] = UCHAR(i * 3);
    PMDL mdl = IoAllocateMdl(payload, sizeof(payload), FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    auto stream = [&](ULONG channel, ULONG bytes, UCHAR speedFlag) {
        IRB irb{};
        irb.FunctionNumber = REQUEST_ASYNC_STREAM;
        irb.u.AsyncStream.nNumberOfBytesToStream = bytes;
        irb.u.AsyncStream.Mdl = mdl;
        irb.u.AsyncStream.ulTag = 1;
        irb.u.AsyncStream.nChannel = channel;
        irb.u.AsyncStream.ulSynch = 5;
        irb.u.AsyncStream.nSpeed = speedFlag;
        NTSTATUS status = Send(&irb);
        hk::RunFor(kMs100ns);
        return status;
    };
    EXPECT_EQ(stream(12, 16, SPEED_FLAGS_400), STATUS_SUCCESS);
    std::vector<sim::IsoPacket> heard = listener->OnChannel(12);
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_EQ(heard[0].tag, 1);
    EXPECT_EQ(heard[0].sy, 5);
    EXPECT_EQ(heard[0].speed, sim::kS400);
    EXPECT_EQ(heard[0].data, std::vector<uint8_t>(payload, payload + 16));

    struct Row {
        const char* name;
        ULONG channel, bytes;
        UCHAR speed;
        NTSTATUS expected;
    } refused[] = {{"channel 64", 64, 16, SPEED_FLAGS_400, STATUS_INVALID_PARAMETER},
                   {"above S100's 512 bytes", 12, 516, SPEED_FLAGS_100, STATUS_UNSUCCESSFUL},
                   {"more than the MDL holds", 12, 2048, SPEED_FLAGS_400, STATUS_INVALID_PARAMETER}};
    listener->Clear();
    for (const Row& row : refused) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(stream(row.channel, row.bytes, row.speed), row.expected);
    }
    EXPECT_TRUE(listener->heard().empty());
    IoFreeMdl(mdl);
}

TEST_F(ClassRequestTest, LocksOnTheUnitWithTheirOperandsInBusOrder) {
    constexpr ULONGLONG kRegister = 0xFFFFF0010000ull;
    camera_->DefineRegister(kRegister, 0x11223344);
    ULONG old = 0;
    auto lock = [&](ULONG type, ULONG argBytes, ULONG dataBytes, ULONG argument, ULONG data) {
        IRB irb{};
        irb.FunctionNumber = REQUEST_ASYNC_LOCK;
        irb.u.AsyncLock.DestinationAddress.IA_Destination_Offset.Off_High = USHORT(kRegister >> 32);
        irb.u.AsyncLock.DestinationAddress.IA_Destination_Offset.Off_Low = ULONG(kRegister);
        irb.u.AsyncLock.fulTransactionType = type;
        irb.u.AsyncLock.nNumberOfArgBytes = argBytes;
        irb.u.AsyncLock.nNumberOfDataBytes = dataBytes;
        irb.u.AsyncLock.Arguments[0] = HostToBus32(argument);
        irb.u.AsyncLock.DataValues[0] = HostToBus32(data);
        irb.u.AsyncLock.pBuffer = &old;
        return Send(&irb);
    };
    struct Row {
        const char* name;
        ULONG type, argBytes, dataBytes;
        NTSTATUS expected;
    };
    const Row refused[] = {
        {"type 0", 0, 4, 4, STATUS_INVALID_PARAMETER},
        {"type 7", 7, 4, 4, STATUS_INVALID_PARAMETER},
        {"argument and data sizes differ", 2, 4, 8, STATUS_INVALID_PARAMETER},
        {"fetch_add with an argument", 3, 4, 4, STATUS_INVALID_PARAMETER},
        {"data of 2 bytes", 2, 2, 2, STATUS_INVALID_PARAMETER},
    };
    for (const Row& row : refused) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(lock(row.type, row.argBytes, row.dataBytes, 0, 0), row.expected);
    }
    EXPECT_EQ(camera_->RegisterValue(kRegister), 0x11223344u);
    // compare_swap: the old value comes back in bus order, the register takes the new one.
    EXPECT_EQ(lock(2, 4, 4, 0x11223344, 0x55667788), STATUS_SUCCESS);
    EXPECT_EQ(BusToHost32(old), 0x11223344u);
    EXPECT_EQ(camera_->RegisterValue(kRegister), 0x55667788u);
    // fetch_add has no argument.
    EXPECT_EQ(lock(3, 0, 4, 0, 2), STATUS_SUCCESS);
    EXPECT_EQ(BusToHost32(old), 0x55667788u);
    EXPECT_EQ(camera_->RegisterValue(kRegister), 0x5566778Au);
}

}  // namespace

namespace {

TEST_F(ClassRequestTest, HostCsrContentsGiveTheTopologyMapInBusOrder) {
    UCHAR buffer[1024] = {};
    GET_LOCAL_HOST_INFO6 csr{};
    csr.CsrBaseAddress.Off_High = 0xFFFF;
    csr.CsrBaseAddress.Off_Low = 0xF0001000;
    csr.CsrDataLength = 512;
    csr.CsrDataBuffer = buffer;
    IRB irb{};
    irb.FunctionNumber = REQUEST_GET_LOCAL_HOST_INFO;
    irb.u.GetLocalHostInformation.nLevel = GET_HOST_CSR_CONTENTS;
    irb.u.GetLocalHostInformation.Information = &csr;
    EXPECT_EQ(Send(&irb), STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(csr.CsrDataLength, 1024u);
    EXPECT_EQ(Send(&irb), STATUS_SUCCESS);
    ULONG q[3];
    memcpy(q, buffer, sizeof q);
    EXPECT_EQ(BusToHost32(q[2]) >> 16, Controller()->NodeCount);       // node_count
    EXPECT_EQ(BusToHost32(q[0]) >> 16, (BusToHost32(q[2]) & 0xFFFF) + 2);  // length = self_id_count + 2
    csr.CsrBaseAddress.Off_Low = 0xF0002000;
    EXPECT_EQ(Send(&irb), STATUS_NOT_IMPLEMENTED);
    csr.CsrBaseAddress.Off_Low = 0xF0003000;
    EXPECT_EQ(Send(&irb), STATUS_INVALID_PARAMETER);
}

}  // namespace
