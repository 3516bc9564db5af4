// Driver entry: the nine tuning values under the Parameters key, checked in the registry
// afterwards, the WDM version probe and the dispatch table.
#include "driver_fixture.h"

namespace {

constexpr ULONG kNotPresent = 0xFFFFFFFF;

struct Value {
    const char* name;
    ULONG fresh;  // written to a fresh key
};
const Value kValues[] = {
    {"SPLIT_TIMEOUT", 0},    {"BandwidthForDriver", 0},  {"IsoRxNumOfBuf", 3},
    {"IsoRxStreamBase", 0},  {"IsoTxNumOfBuf", 3},       {"IsoDirectDMA", 1},
    {"DesktopCameraEnable", 1}, {"AsyncWait", 0},        {"aPhyEnhanceEnable", 0},
};

ULONGLONG Field(const char* name) {
    const DriverParameters& p = g_DriverParameters;
    std::string n = name;
    if (n == "SPLIT_TIMEOUT") return p.SPLIT_TIMEOUT;
    if (n == "BandwidthForDriver") return p.BandwidthForDriver;
    if (n == "IsoRxNumOfBuf") return p.IsoRxNumOfBuf;
    if (n == "IsoRxStreamBase") return p.IsoRxStreamBase;
    if (n == "IsoTxNumOfBuf") return p.IsoTxNumOfBuf;
    if (n == "IsoDirectDMA") return p.IsoDirectDMA;
    if (n == "DesktopCameraEnable") return p.DesktopCameraEnable;
    if (n == "AsyncWait") return p.AsyncWait;
    if (n == "aPhyEnhanceEnable") return p.aPhyEnhanceEnable;
    ADD_FAILURE() << name;
    return 0;
}

ULONG Stored(const char* name) {
    ULONG value = kNotPresent;
    if (!hk::reg::GetDword(ParametersPath(), name, &value)) return kNotPresent;
    return value;
}

using DriverEntryTest = DriverTest;

TEST_F(DriverEntryTest, FreshInstallationWritesEveryDefault) {
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    for (const Value& v : kValues) EXPECT_EQ(Stored(v.name), v.fresh) << v.name;
    EXPECT_EQ(g_DriverParameters.SPLIT_TIMEOUT, 100u);
    EXPECT_EQ(g_DriverParameters.IsoRxNumOfBuf, 3u);
    EXPECT_EQ(g_DriverParameters.IsoTxNumOfBuf, 3u);
    EXPECT_EQ(g_DriverParameters.IsoDirectDMA, 1u);
    EXPECT_EQ(g_DriverParameters.DesktopCameraEnable, 1u);
    EXPECT_EQ(g_DriverParameters.BandwidthForDriver, 0u);
    EXPECT_EQ(g_DriverParameters.aPhyEnhanceEnable, 0u);
}

TEST_F(DriverEntryTest, ValuesBelowInsideAndAboveTheirRanges) {
    struct Case {
        const char* name;
        ULONG present;
        ULONGLONG used;
        ULONG storedAfter;
    } cases[] = {
        {"SPLIT_TIMEOUT", 0, 100, 0},          {"SPLIT_TIMEOUT", 50, 100, 100},
        {"SPLIT_TIMEOUT", 100, 100, 100},      {"SPLIT_TIMEOUT", 1500, 1500, 1500},
        {"SPLIT_TIMEOUT", 40000, 40000, 40000}, {"SPLIT_TIMEOUT", 50000, 40000, 40000},
        {"BandwidthForDriver", 1, 1, 1},       {"BandwidthForDriver", 2, 0, 0},
        {"IsoRxNumOfBuf", 0, 3, 3},            {"IsoRxNumOfBuf", 1, 1, 1},
        {"IsoRxNumOfBuf", 31, 31, 31},         {"IsoRxNumOfBuf", 32, 3, 3},
        {"IsoRxStreamBase", 1, 1, 1},          {"IsoRxStreamBase", 5, 0, 0},
        {"IsoTxNumOfBuf", 0, 3, 3},            {"IsoTxNumOfBuf", 31, 31, 31},
        {"IsoTxNumOfBuf", 32, 3, 3},           {"IsoDirectDMA", 0, 0, 0},
        {"IsoDirectDMA", 2, 1, 1},             {"DesktopCameraEnable", 0, 0, 0},
        {"DesktopCameraEnable", 7, 1, 1},      {"AsyncWait", 5000, 5000, 5000},
        {"AsyncWait", 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}, {"aPhyEnhanceEnable", 1, 1, 1},
        {"aPhyEnhanceEnable", 7, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + "=" + std::to_string(c.present));
        ASSERT_TRUE(hk::reg::DeleteKey(ParametersPath()) || !hk::reg::Exists(ParametersPath()));
        ASSERT_TRUE(hk::reg::CreateKey(ParametersPath()));
        ASSERT_TRUE(hk::reg::SetDword(ParametersPath(), c.name, c.present));
        ASSERT_EQ(Load(), STATUS_SUCCESS);
        EXPECT_EQ(Field(c.name), c.used);
        EXPECT_EQ(Stored(c.name), c.storedAfter);
        hk::UnloadDriver(driver_);
        driver_ = nullptr;
    }
}

TEST_F(DriverEntryTest, UnopenableKeyLeavesEveryParameterZero) {
    hk::reg::FailOpen(ParametersPath());
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    const DriverParameters zero = {};
    EXPECT_EQ(memcmp(&g_DriverParameters, &zero, sizeof(zero)), 0);
    EXPECT_EQ(EffectiveSplitTimeoutMs(g_DriverParameters), 100u);
    hk::reg::ClearFailures();
    EXPECT_EQ(Stored("IsoRxNumOfBuf"), kNotPresent);
}

TEST_F(DriverEntryTest, ValueLongerThanFourBytesIsUnreadable) {
    ASSERT_TRUE(hk::reg::CreateKey(ParametersPath()));
    const ULONGLONG split = 200;
    const ULONGLONG buffers = 5;
    ASSERT_TRUE(hk::reg::SetValue(ParametersPath(), "SPLIT_TIMEOUT", REG_QWORD, &split, sizeof(split)));
    ASSERT_TRUE(hk::reg::SetValue(ParametersPath(), "IsoRxNumOfBuf", REG_QWORD, &buffers, sizeof(buffers)));
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(g_DriverParameters.SPLIT_TIMEOUT, 100u);
    EXPECT_EQ(g_DriverParameters.IsoRxNumOfBuf, 0u);
    ULONG type = 0;
    std::vector<UCHAR> data;
    ASSERT_TRUE(hk::reg::GetValue(ParametersPath(), "IsoRxNumOfBuf", &type, &data));
    EXPECT_EQ(type, ULONG(REG_QWORD));  // left as it was
}

TEST_F(DriverEntryTest, RegistryPathCopyAllocationFailureFailsTheLoad) {
    hk::mm::FailTag(kTagRegistry, 0, 1);
    EXPECT_EQ(Load(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(driver_, nullptr);
}

TEST_F(DriverEntryTest, FillsTheDispatchTable) {
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLEANUP, IRP_MJ_READ, IRP_MJ_WRITE,
                        IRP_MJ_DEVICE_CONTROL, IRP_MJ_INTERNAL_DEVICE_CONTROL, IRP_MJ_SYSTEM_CONTROL, IRP_MJ_PNP,
                        IRP_MJ_POWER})
        EXPECT_NE(driver_->MajorFunction[major], nullptr) << int(major);
    EXPECT_EQ(driver_->MajorFunction[IRP_MJ_READ], driver_->MajorFunction[IRP_MJ_WRITE]);
    EXPECT_NE(driver_->DriverExtension->AddDevice, nullptr);
    EXPECT_NE(driver_->DriverUnload, nullptr);
}

class WdmVersionTest : public ::testing::TestWithParam<std::pair<USHORT, USHORT>> {};

TEST_P(WdmVersionTest, FirstAvailableVersionWins) {
    hk::Options options;
    options.wdmVersion = GetParam().first;
    hk::Kernel kernel(options);
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(hk::LoadDriver(DriverEntry, kServiceName, &driver), STATUS_SUCCESS);
    EXPECT_EQ(g_WdmVersion, GetParam().second);
    hk::UnloadDriver(driver);
}

INSTANTIATE_TEST_SUITE_P(Systems, WdmVersionTest,
                         ::testing::Values(std::make_pair(USHORT(0x0A00), USHORT(0x600)),
                                           std::make_pair(USHORT(0x0600), USHORT(0x600)),
                                           std::make_pair(USHORT(0x0130), USHORT(0x130)),
                                           std::make_pair(USHORT(0x0120), USHORT(0x120)),
                                           std::make_pair(USHORT(0x0110), USHORT(0x110)),
                                           std::make_pair(USHORT(0x0105), USHORT(0x105)),
                                           std::make_pair(USHORT(0x0100), USHORT(0x100))));

}  // namespace
