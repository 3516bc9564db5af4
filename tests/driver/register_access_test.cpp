// Register and PHY access against a scripted register window, the ROM CRC and the list utilities.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "hk_core.h"
#include "ohci/list_utilities.h"
#include "core/controller.h"
#include "ohci/register_access.h"
#include "scripted_window.h"

namespace {

constexpr ULONGLONG kWindowAddress = 0xFEB00000;
constexpr ULONG kWindowLength = 0x800;
constexpr ULONGLONG kMs = 10000;  // 100 ns units

class RegisterAccessTest : public ::testing::Test {
protected:
    void SetUp() override {
        hk::AttachRegisterWindow(kWindowAddress, kWindowLength, &window_);
        PHYSICAL_ADDRESS address;
        address.QuadPart = LONGLONG(kWindowAddress);
        base_ = MmMapIoSpace(address, kWindowLength, MmNonCached);
        ASSERT_NE(base_, nullptr);
        InitializeRegisterAccess(&controller_, static_cast<volatile ULONG*>(base_));
    }
    void TearDown() override {
        MmUnmapIoSpace(base_, kWindowLength);
        hk::DetachRegisterWindow(kWindowAddress);
    }

    hk::Kernel kernel_;
    ScriptedWindow window_;
    PVOID base_ = nullptr;
    OhciController controller_ = {};
};

TEST_F(RegisterAccessTest, NoRegisterWindowLeavesDestinationAndHardwareAlone) {
    controller_.Registers.RegisterBase = nullptr;
    ULONG value = 0xDEADBEEF;
    ReadRegister(&controller_, 0x000, &value);
    EXPECT_EQ(value, 0xDEADBEEFu);
    WriteRegister(&controller_, 0x080, 1);
    WritePhyRegister(&controller_, 1, 0x40);
    EXPECT_TRUE(window_.writes.empty());
    ULONG selector = 1;
    EXPECT_EQ(CsrCompareSwap(&controller_, &selector, 1, 2), STATUS_IO_TIMEOUT);
    EXPECT_EQ(selector, 1u);
}

TEST_F(RegisterAccessTest, RegistersReadAndWriteOneWordAtTheirOffset) {
    window_.regs[0x000] = 0x00010010;
    ULONG value = 0;
    ReadRegister(&controller_, 0x000, &value);
    EXPECT_EQ(value, 0x00010010u);
    WriteRegister(&controller_, 0x088, 0x818301F3);
    ASSERT_EQ(window_.writes.size(), 1u);
    EXPECT_EQ(window_.writes[0], std::make_pair(ULONG(0x088), ULONG(0x818301F3)));
}

TEST_F(RegisterAccessTest, PhyReadAndWriteHandshakes) {
    window_.phy[4] = 0x5A;
    window_.phyLatencyPolls = 3;
    ULONGLONG start = hk::Now();
    EXPECT_EQ(ReadPhyRegister(&controller_, 4), 0x5A);
    // rdReg with the register number in regAddr; three polls found rdDone clear, 1 ms each.
    EXPECT_EQ(window_.writes.at(0), std::make_pair(ULONG(0x0EC), ULONG(0x8000 | (4 << 8))));
    ULONGLONG elapsed = hk::Now() - start;
    EXPECT_GE(elapsed, 3 * kMs);
    EXPECT_LT(elapsed, 4 * kMs);

    window_.writes.clear();
    WritePhyRegister(&controller_, 4, 0x3F);
    EXPECT_EQ(window_.phy[4], 0x3F);
    EXPECT_EQ(window_.writes.at(0), std::make_pair(ULONG(0x0EC), ULONG(0x4000 | (4 << 8) | 0x3F)));
}

TEST_F(RegisterAccessTest, SilentPhyIsGivenUpAfterOneThousandPollsOfOneMillisecond) {
    window_.phyAnswers = false;
    for (bool read : {true, false}) {
        window_.phyControlReads = 0;
        ULONGLONG start = hk::Now();
        if (read)
            (void)ReadPhyRegister(&controller_, 2);
        else
            WritePhyRegister(&controller_, 2, 0x11);
        ULONGLONG elapsed = hk::Now() - start;
        EXPECT_GE(elapsed, 1000 * kMs) << (read ? "read" : "write");
        EXPECT_LT(elapsed, 1001 * kMs) << (read ? "read" : "write");
        EXPECT_EQ(window_.phyControlReads, read ? 1001u : 1000u);
    }
}

TEST_F(RegisterAccessTest, BusResetSetsIbrAndKeepsGapCount) {
    window_.phy[1] = 0x3F;
    InitiateBusReset(&controller_);
    EXPECT_EQ(window_.phy[1], 0x7F);
}

TEST_F(RegisterAccessTest, CsrCompareSwap) {
    struct Case {
        ULONG selector;
        ULONG initial;
        ULONG compare;
        ULONG newValue;
        ULONG expectedAfter;
    } cases[] = {
        {1, 4915, 4915, 4815, 4815},                    // bandwidth taken
        {1, 4915, 4000, 4815, 4915},                    // stale compare: unchanged
        {2, 0xFFFFFFFE, 0xFFFFFFFE, 0x7FFFFFFE, 0x7FFFFFFE},
        {0x7, 0xFFFFFFFF, 0xFFFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF},  // selector is masked to 3
        {0, 0x3F, 0x3F, 0x02, 0x02},
    };
    for (const Case& c : cases) {
        ULONG index = c.selector & 3;
        window_.csr[index] = c.initial;
        ULONG selectorOld = c.selector;
        ASSERT_EQ(CsrCompareSwap(&controller_, &selectorOld, c.newValue, c.compare), STATUS_SUCCESS);
        EXPECT_EQ(selectorOld, c.initial);
        EXPECT_EQ(window_.csr[index], c.expectedAfter);
    }
}

TEST_F(RegisterAccessTest, SilentCsrUnitTimesOutOnTheClockAtDispatchLevel) {
    window_.csrAnswers = false;
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    ULONGLONG start = hk::Now();
    ULONG selectorOld = 1;
    NTSTATUS status = CsrCompareSwap(&controller_, &selectorOld, 1, 2);
    ULONGLONG elapsed = hk::Now() - start;
    KeLowerIrql(irql);
    EXPECT_EQ(status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(selectorOld, 1u);
    EXPECT_GE(elapsed, kCsrSwapTimeoutUs * 10);
    EXPECT_LT(elapsed, 2 * kCsrSwapTimeoutUs * 10);
}

// Independent reference: CRC-16 with polynomial 0x1021, initial value 0, bit by bit over the bytes
// of the quadlets in bus order (ISO/IEC 13213 configuration ROM CRC).
USHORT ReferenceCrc(const std::vector<UCHAR>& bytes) {
    ULONG crc = 0;
    for (UCHAR byte : bytes) {
        crc ^= ULONG(byte) << 8;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x8000) ? ((crc << 1) ^ 0x1021) : (crc << 1);
        crc &= 0xFFFF;
    }
    return USHORT(crc);
}

TEST(RomCrc16, MatchesTheConfigurationRomCrc) {
    EXPECT_EQ(RomCrc16(nullptr, 0), 0);
    ULONG zero = 0;
    EXPECT_EQ(RomCrc16(&zero, 1), 0);

    // "12345678" in bus order: the CRC-16/XMODEM catalogue check of "123456789" is 0x31C3, and the
    // reference agrees with it before being used here.
    std::vector<UCHAR> check = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    ASSERT_EQ(ReferenceCrc(check), 0x31C3);

    const std::vector<std::vector<UCHAR>> images = {
        {'1', '2', '3', '4', '5', '6', '7', '8'},
        // Bus information block: "1394", bus options, GUID.
        {0x31, 0x33, 0x39, 0x34, 0xF0, 0x00, 0xA0, 0x02, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07},
        {0xFF, 0xFF, 0xFF, 0xFF},
    };
    for (const auto& image : images) {
        std::vector<ULONG> quadlets(image.size() / 4);
        memcpy(quadlets.data(), image.data(), image.size());  // bus order as stored in memory
        EXPECT_EQ(RomCrc16(quadlets.data(), ULONG(quadlets.size())), ReferenceCrc(image));
    }
}

TEST(ListUtilities, SinglyLinkedRemoval) {
    SINGLE_LIST_ENTRY head = {nullptr}, a, b, c, stranger;
    EXPECT_EQ(RemoveSingleListEntry(&head, &a), nullptr);  // empty
    PushEntryList(&head, &c);
    PushEntryList(&head, &b);
    PushEntryList(&head, &a);  // a b c
    EXPECT_EQ(RemoveSingleListEntry(&head, &stranger), nullptr);
    EXPECT_EQ(RemoveSingleListEntry(&head, &b), &b);
    EXPECT_EQ(head.Next, &a);
    EXPECT_EQ(a.Next, &c);
    EXPECT_EQ(RemoveSingleListEntry(&head, &a), &a);
    EXPECT_EQ(head.Next, &c);
    EXPECT_EQ(RemoveSingleListEntry(&head, &c), &c);
    EXPECT_EQ(head.Next, nullptr);
}

TEST(ListUtilities, CircularDoublyLinkedRemoval) {
    LIST_ENTRY head, a, b, stranger;
    InitializeListHead(&head);
    InitializeListHead(&stranger);
    EXPECT_EQ(RemoveListEntryIfPresent(&head, &a), nullptr);
    InsertTailList(&head, &a);
    InsertTailList(&head, &b);
    EXPECT_EQ(RemoveListEntryIfPresent(&head, &stranger), nullptr);
    EXPECT_EQ(RemoveListEntryIfPresent(&head, &b), &b);
    EXPECT_EQ(head.Flink, &a);
    EXPECT_EQ(head.Blink, &a);
    EXPECT_EQ(RemoveListEntryIfPresent(&head, &a), &a);
    EXPECT_TRUE(IsListEmpty(&head));
}

}  // namespace
