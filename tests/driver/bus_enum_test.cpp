// Enumeration and child devices on the model: which units become children, with which Plug and
// Play identity, and how children follow devices across bus resets, faults and unplugging.
#include <vector>

#include "bus_fixture.h"

namespace {

using sim::rom::kKeyModel;
using sim::rom::kKeyTextualDescriptor;
using sim::rom::kKeyUnitDependentDirectory;
using sim::rom::kKeyUnitDirectory;
using sim::rom::kKeyVendor;

std::string Join(const std::vector<std::string>& ids) {
    std::string out;
    for (const std::string& id : ids) out += (out.empty() ? "" : "|") + id;
    return out;
}

TEST_F(BusDriverTest, ServedUnitsBecomeChildrenWithTheirPlugAndPlayIdentity) {
    AddCamera();
    AddDisk();
    sim::RomDirectory kind3;
    kind3.Add(kKeyVendor, 0x123456).AddText("ABC").AddDirectory(kKeyUnitDirectory, IidcUnit(0x014000).Add(kKeyModel, 1).AddText("XYZ"));
    AddRom(Rom(0x1234560000000042ull, kind3));
    sim::RomDirectory unserved;
    unserved.Add(kKeyVendor, 0x123456).AddText("ABC").AddDirectory(kKeyUnitDirectory, IidcUnit(0x000200));
    AddRom(Rom(0x1234560000000043ull, unserved));
    Chain(std::make_unique<sim::CsrNode>("plain", 3, sim::kS400, sim::ConfigRom()));
    Start();
    Settle();

    struct Expected {
        const char* id;
        const char* compatible;
        const char* instance;
        const char* text;
        bool eject;
    };
    const Expected expected[] = {
        {"1394\\Simulated Optics&SO-VGA 1.31", "1394\\A02D&102", "00ACDE4800000001",
         "Simulated Optics SO-VGA 1.31", false},
        {"1394\\Simulated Storage&SBP-2 Disk", "1394\\609E&10483|1394\\609E&1|1394\\609E", "0050C2FF00000001",
         "Simulated Storage SBP-2 Disk", true},
        {"1394\\ABC&XYZ", "1394\\A02D&14000|1394\\A02D&1|1394\\A02D", "1234560000000042", "ABC XYZ", false},
    };
    auto children = Children();
    ASSERT_EQ(children.size(), 3u);
    for (const Expected& e : expected) {
        SCOPED_TRACE(e.id);
        ASSERT_EQ(children.count(e.id), 1u);
        PDEVICE_OBJECT pdo = children[e.id];
        EXPECT_EQ(Join(hk::pnp::HardwareIds(pdo)), e.id);
        EXPECT_EQ(Join(hk::pnp::CompatibleIds(pdo)), e.compatible);
        EXPECT_EQ(hk::pnp::InstanceId(pdo), e.instance);
        EXPECT_EQ(hk::pnp::DeviceText(pdo), e.text);
        EXPECT_EQ(hk::pnp::GetState(pdo), hk::pnp::State::Started);
        DEVICE_CAPABILITIES caps = hk::pnp::Capabilities(pdo);
        EXPECT_EQ(caps.EjectSupported != 0, e.eject);
        EXPECT_TRUE(caps.Removable && caps.UniqueID && caps.SurpriseRemovalOK);
        EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
    }
    EXPECT_EQ(Controller()->DeviceCount, 3u);
}

// ROMs as real devices ship them: each row is one node of the same bus.
TEST_F(BusDriverTest, RomLayoutsAndFaults) {
    struct Row {
        const char* name;
        sim::ConfigRom rom;
        const char* id;  // the child's device identifier, null: no child
    };
    std::vector<Row> rows;
    auto named = [](const char* vendor, const char* model, uint32_t version = 0x000101) {
        sim::RomDirectory root;
        root.Add(kKeyVendor, 1).AddText(vendor).AddDirectory(kKeyUnitDirectory,
                                                             IidcUnit(version).Add(kKeyModel, 2).AddText(model));
        return root;
    };
    {
        sim::ConfigRom rom = Rom(0x0100000000000001ull, named("Crc", "Wrong"));
        for (size_t i = 0; i < rom.size(); ++i)  // every CRC of the image wrong
            if (i == 0 || (rom.Quadlet(i) >> 16) < 64) rom.SetQuadlet(i, rom.Quadlet(i) ^ 0x5A5A);
        rows.push_back({"wrong CRCs", Rom(0x0100000000000001ull, named("Crc", "Wrong")), "1394\\Crc&Wrong"});
        sim::ConfigRom bad = Rom(0x0100000000000001ull, named("Crc", "Wrong"));
        bad.SetQuadlet(0, bad.Quadlet(0) ^ 0xFFFF);
        bad.SetQuadlet(5, bad.Quadlet(5) ^ 0xFFFF);
        rows.back().rom = bad;
    }
    {
        sim::ConfigRom rom = Rom(0x0100000000000002ull, named("Short", "Rom"));
        rom.Truncate(5);  // the bus information block only
        rows.push_back({"bus information block only", rom, nullptr});
    }
    {
        sim::ConfigRom rom = Rom(0x0100000000000003ull, named("Cut", "ModelNameThatIsLong"));
        rom.Truncate(rom.size() - 2);  // the model leaf ends early
        rows.push_back({"leaf cut short", rom, "1394\\Cut&ModelNameTha"});
    }
    {
        // The names only in the unit directory: the vendor leaf after a vendor entry there.
        sim::RomDirectory unit = IidcUnit(0x000101);
        unit.Add(kKeyVendor, 1).AddText("UnitVendor").Add(kKeyModel, 2).AddText("UnitModel");
        sim::RomDirectory root;
        root.Add(kKeyVendor, 1).AddDirectory(kKeyUnitDirectory, unit);
        rows.push_back({"names in the unit directory", Rom(0x0100000000000004ull, root), "1394\\UnitVendor&UnitModel"});
    }
    {
        // Two unit directories: the last one counts. A text leaf without a vendor entry is no name.
        sim::RomDirectory root;
        root.AddText("Orphan").Add(kKeyVendor, 1).AddText("Two")
            .AddDirectory(kKeyUnitDirectory, IidcUnit(0x000999))
            .AddDirectory(kKeyUnitDirectory, IidcUnit(0x000100).Add(kKeyModel, 3).AddText("Dirs"));
        rows.push_back({"two unit directories", Rom(0x0100000000000005ull, root), "1394\\Two&Dirs"});
    }
    {
        // A vendor directory layout: the names in the unit-dependent directory.
        sim::RomDirectory dependent;
        dependent.AddText("DepVendor", 0x81).AddText("DepModel", 0x82);
        sim::RomDirectory root;
        root.Add(kKeyVendor, 1).AddDirectory(kKeyUnitDirectory,
                                            IidcUnit(0x000102).AddDirectory(kKeyUnitDependentDirectory, dependent));
        rows.push_back({"unit-dependent directory", Rom(0x0100000000000006ull, root), "1394\\DepVendor&DepModel"});
    }
    {
        // Lengths and offsets that point out of the ROM.
        sim::ConfigRom rom = Rom(0x0100000000000007ull, named("Huge", "Length"));
        size_t root = rom.RootDirectoryIndex();
        rom.SetQuadlet(root, (0xFFFFu << 16) | (rom.Quadlet(root) & 0xFFFF));
        rows.push_back({"directory longer than the ROM", rom, "1394\\Huge&Length"});
    }
    {
        sim::ConfigRom rom = Rom(0x0100000000000008ull, named("Not", "1394"));
        rom.SetQuadlet(1, 0x31333935);
        rows.push_back({"bus name not 1394", rom, nullptr});
    }
    {
        // The model leaf offset points far outside the ROM: the device keeps an empty model name.
        sim::RomDirectory unit = IidcUnit(0x000101);
        unit.Add(kKeyModel, 2).Add(kKeyTextualDescriptor, 0xFFFFFF);
        sim::RomDirectory root;
        root.Add(kKeyVendor, 1).AddText("Far").AddDirectory(kKeyUnitDirectory, unit);
        rows.push_back({"leaf outside the ROM", Rom(0x0100000000000009ull, root), "1394\\Far&"});
    }
    for (Row& row : rows) AddRom(row.rom);
    Start();
    Settle();
    auto children = Children();
    size_t served = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.id == nullptr) continue;
        ++served;
        EXPECT_EQ(children.count(row.id), 1u);
    }
    EXPECT_EQ(children.size(), served);
}

TEST_F(BusDriverTest, BusyNodesAreRetriedAndANodeThatStaysBusyIsSkipped) {
    AddCamera()->faults.busyAcks = 3;
    sim::IidcCamera::Config other;
    other.guid = 0x00ACDE4800000002ull;
    other.modelName = "Busy";
    AddCamera(other)->faults.busyAcks = 1000000;
    AddDisk();
    Start();
    Settle();
    auto children = Children();
    EXPECT_EQ(children.size(), 2u);
    EXPECT_EQ(children.count("1394\\Simulated Optics&SO-VGA 1.31"), 1u);
    EXPECT_EQ(children.count("1394\\Simulated Storage&SBP-2 Disk"), 1u);
}

// The controller with a disk at port 0 and a camera at port 1.
class BusStarTest : public BusDriverTest {
protected:
    void SetUp() override {
        BusDriverTest::SetUp();
        disk_ = static_cast<sim::Sbp2Unit*>(sim_->bus.Add(std::make_unique<sim::Sbp2Unit>(sim::Sbp2Unit::Config())));
        camera_ = static_cast<sim::IidcCamera*>(
            sim_->bus.Add(std::make_unique<sim::IidcCamera>(sim::IidcCamera::Config())));
        ASSERT_TRUE(sim_->bus.Connect(sim_->controller, 0, disk_, 0));
        ASSERT_TRUE(sim_->bus.Connect(sim_->controller, 1, camera_, 0));
        Start();
        Settle();
        auto children = Children();
        ASSERT_EQ(children.size(), 2u);
        cameraChild_ = children["1394\\Simulated Optics&SO-VGA 1.31"];
        diskChild_ = children["1394\\Simulated Storage&SBP-2 Disk"];
        ASSERT_NE(cameraChild_, nullptr);
        ASSERT_NE(diskChild_, nullptr);
    }
    sim::Sbp2Unit* disk_ = nullptr;
    sim::IidcCamera* camera_ = nullptr;
    PDEVICE_OBJECT cameraChild_ = nullptr;
    PDEVICE_OBJECT diskChild_ = nullptr;
};

TEST_F(BusStarTest, ADeviceAtANewNodeNumberKeepsItsChild) {
    ULONG before = Child(cameraChild_)->Node;
    EXPECT_EQ(before, ULONG(camera_->NodeId() & 0x3F));
    sim::Node* extra = sim_->bus.Add(std::make_unique<sim::CsrNode>("extra", 3, sim::kS400, sim::ConfigRom()));
    ASSERT_TRUE(sim_->bus.Connect(disk_, 1, extra, 0));
    Settle();
    auto children = Children();
    ASSERT_EQ(children.size(), 2u);
    EXPECT_EQ(children["1394\\Simulated Optics&SO-VGA 1.31"], cameraChild_);
    EXPECT_NE(Child(cameraChild_)->Node, before);
    EXPECT_EQ(Child(cameraChild_)->Node, ULONG(camera_->NodeId() & 0x3F));
    EXPECT_EQ(Child(diskChild_)->Node, ULONG(disk_->NodeId() & 0x3F));
}

TEST_F(BusStarTest, ADeviceThatLeavesAndReturnsBeforeItIsReportedKeepsItsChild) {
    sim_->bus.Unplug(camera_);
    hk::RunFor(300 * kMs100ns);  // enumerated without it; Plug and Play has not asked yet
    EXPECT_FALSE(Child(cameraChild_)->Present);
    ASSERT_TRUE(sim_->bus.Connect(sim_->controller, 1, camera_, 0));
    Settle();
    auto children = Children();
    ASSERT_EQ(children.size(), 2u);
    EXPECT_EQ(children["1394\\Simulated Optics&SO-VGA 1.31"], cameraChild_);
    EXPECT_TRUE(Child(cameraChild_)->Present);
    EXPECT_EQ(hk::pnp::GetState(cameraChild_), hk::pnp::State::Started);
}

TEST_F(BusStarTest, AnUnpluggedDeviceLosesItsChildAndGetsANewOneWhenItReturns) {
    sim_->bus.Unplug(camera_);
    Settle();
    auto children = Children();
    ASSERT_EQ(children.size(), 1u);
    EXPECT_EQ(children.count("1394\\Simulated Storage&SBP-2 Disk"), 1u);
    EXPECT_EQ(Controller()->DeviceCount, 1u);
    ASSERT_TRUE(sim_->bus.Connect(sim_->controller, 1, camera_, 0));
    Settle();
    children = Children();
    ASSERT_EQ(children.size(), 2u);
    EXPECT_EQ(children["1394\\Simulated Storage&SBP-2 Disk"], diskChild_);
    EXPECT_EQ(hk::pnp::GetState(children["1394\\Simulated Optics&SO-VGA 1.31"]), hk::pnp::State::Started);
}

TEST_F(BusStarTest, ADeviceUnpluggedDuringEnumerationDiscardsThatPass) {
    // The camera's next answers never come: the pass waits on it when it is unplugged.
    camera_->faults.lostResponses = 1000;
    sim_->bus.RequestReset(false);
    hk::RunFor(5 * kMs100ns);
    sim_->bus.Unplug(camera_);
    Settle();
    auto children = Children();
    ASSERT_EQ(children.size(), 1u);
    EXPECT_EQ(children["1394\\Simulated Storage&SBP-2 Disk"], diskChild_);
    EXPECT_EQ(Child(diskChild_)->Node, ULONG(disk_->NodeId() & 0x3F));
}

TEST_F(BusStarTest, ChildrenOutliveAStopOfTheController) {
    ASSERT_EQ(hk::pnp::Stop(pdo_), STATUS_SUCCESS);
    ASSERT_EQ(hk::pnp::Start(pdo_), STATUS_SUCCESS);
    Settle();
    auto children = Children();
    ASSERT_EQ(children.size(), 2u);
    EXPECT_EQ(children["1394\\Simulated Optics&SO-VGA 1.31"], cameraChild_);
    EXPECT_EQ(children["1394\\Simulated Storage&SBP-2 Disk"], diskChild_);
    EXPECT_EQ(Controller()->DeviceCount, 2u);
    EXPECT_TRUE(Child(cameraChild_)->Present);
}

TEST_F(BusStarTest, RemoveWhileTheDeviceIsPresentOnlyStopsTheChild) {
    ASSERT_EQ(hk::pnp::Remove(cameraChild_), STATUS_SUCCESS);
    EXPECT_EQ(Child(cameraChild_)->ChildPnpState, ULONG(kChildNotStarted));
    EXPECT_TRUE(Child(cameraChild_)->Present);
    EXPECT_EQ(Controller()->DeviceCount, 2u);
}

}  // namespace

namespace {

TEST_F(BusDriverTest, WithoutDesktopCameraEnableNoRomIsReadAndNoChildMade) {
    sim::IidcCamera* camera = AddCamera();
    ASSERT_TRUE(hk::reg::CreateKey(ParametersPath()));
    ASSERT_TRUE(hk::reg::SetDword(ParametersPath(), "DesktopCameraEnable", 0));
    Start();
    Settle();
    EXPECT_TRUE(Children().empty());
    EXPECT_EQ(camera->stats().requests, 0u);
}

}  // namespace
