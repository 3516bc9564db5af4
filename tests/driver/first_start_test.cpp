// Requests that reach the controller's device object before its first start are held by the gate:
// at the start a held control request is failed and a held zero-length read is replayed.
#include "driver_fixture.h"

namespace {

// A function driver that attaches nothing, so that the PCI function starts bare and the test can
// add the controller's device object itself, before any start reaches it.
NTSTATUS AddNothing(PDRIVER_OBJECT, PDEVICE_OBJECT) { return STATUS_SUCCESS; }
extern "C" NTSTATUS BareEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverExtension->AddDevice = AddNothing;
    return STATUS_SUCCESS;
}

// Raw and translated resources of the controller: BAR0 and a level-sensitive shared interrupt.
struct Resources {
    CM_RESOURCE_LIST list;
    CM_PARTIAL_RESOURCE_DESCRIPTOR more;

    explicit Resources(const hk::pci::DeviceConfig& config) {
        memset(this, 0, sizeof(*this));
        list.Count = 1;
        list.List[0].InterfaceType = PCIBus;
        CM_PARTIAL_RESOURCE_LIST& partial = list.List[0].PartialResourceList;
        partial.Version = 1;
        partial.Revision = 1;
        partial.Count = 2;
        CM_PARTIAL_RESOURCE_DESCRIPTOR* memory = &partial.PartialDescriptors[0];
        memory->Type = CmResourceTypeMemory;
        memory->u.Memory.Start.QuadPart = LONGLONG(config.bar0);
        memory->u.Memory.Length = config.bar0Length;
        CM_PARTIAL_RESOURCE_DESCRIPTOR* interrupt = memory + 1;
        interrupt->Type = CmResourceTypeInterrupt;
        interrupt->ShareDisposition = CmResourceShareShared;
        interrupt->Flags = CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE;
        interrupt->u.Interrupt.Level = config.level;
        interrupt->u.Interrupt.Vector = config.vector;
        interrupt->u.Interrupt.Affinity = config.affinity;
    }
};

class FirstStartTest : public DriverTest {
protected:
    void TearDown() override {
        if (pdo_ != nullptr) hk::pnp::Unplug(pdo_);
        DriverTest::TearDown();
        if (bare_ != nullptr) hk::UnloadDriver(bare_);
    }
    ScriptedWindow window_;
    PDRIVER_OBJECT bare_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
};

TEST_F(FirstStartTest, RequestsBeforeTheFirstStartAreHeldThenFailedOrReplayed) {
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ASSERT_EQ(hk::LoadDriver(BareEntry, "bare", &bare_), STATUS_SUCCESS);
    hk::pci::DeviceConfig config;
    config.window = &window_;
    pdo_ = hk::pci::PlugDevice(bare_, config);
    ASSERT_NE(pdo_, nullptr);
    ASSERT_EQ(driver_->DriverExtension->AddDevice(driver_, pdo_), STATUS_SUCCESS);
    PDEVICE_OBJECT fdo = pdo_->AttachedDevice;
    ASSERT_NE(fdo, nullptr);

    KEVENT controlDone, readDone;
    KeInitializeEvent(&controlDone, NotificationEvent, FALSE);
    KeInitializeEvent(&readDone, NotificationEvent, FALSE);
    IO_STATUS_BLOCK controlStatus = {}, readStatus = {};
    PIRP control = IoBuildDeviceIoControlRequest(0x222004, fdo, nullptr, 0, nullptr, 0, FALSE, &controlDone,
                                                 &controlStatus);
    LARGE_INTEGER offset = {};
    PIRP read = IoBuildSynchronousFsdRequest(IRP_MJ_READ, fdo, nullptr, 0, &offset, &readDone, &readStatus);
    ASSERT_NE(control, nullptr);
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(IoCallDriver(fdo, control), STATUS_PENDING);
    EXPECT_EQ(IoCallDriver(fdo, read), STATUS_PENDING);
    hk::RunUntilIdle();
    EXPECT_EQ(KeReadStateEvent(&controlDone), 0);
    EXPECT_EQ(KeReadStateEvent(&readDone), 0);

    Resources resources(config);
    IO_STACK_LOCATION start = {};
    start.Parameters.StartDevice.AllocatedResources = &resources.list;
    start.Parameters.StartDevice.AllocatedResourcesTranslated = &resources.list;
    ASSERT_EQ(hk::pnp::SendPnp(pdo_, IRP_MN_START_DEVICE, &start), STATUS_SUCCESS);

    KeWaitForSingleObject(&controlDone, Executive, KernelMode, FALSE, nullptr);
    KeWaitForSingleObject(&readDone, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(controlStatus.Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(readStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(ControllerExtension(fdo)->Gate.HoldCount, 0);
    EXPECT_EQ(ControllerExtension(fdo)->PnpState, Started);
}

}  // namespace
