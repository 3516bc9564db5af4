// The registry as a driver reaches it (create, query with its buffer-size results, set, delete,
// keys that cannot be opened), driver load and unload around it, debug output capture and the
// counted-string routines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hk_io_test.h"
#include "hk_wdm.h"

namespace {

std::u16string Wide(const char* text) {
    std::u16string out;
    while (*text) out.push_back(static_cast<char16_t>(*text++));
    return out;
}

struct Name {
    std::u16string text;
    UNICODE_STRING string;
    explicit Name(const char* t) : text(Wide(t)) { RtlInitUnicodeString(&string, reinterpret_cast<PCWSTR>(text.c_str())); }
};

NTSTATUS OpenParameters(const char* path, PHANDLE key, ULONG* disposition) {
    Name name(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name.string, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    return ZwCreateKey(key, KEY_READ, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, disposition);
}

const std::string kService = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kx";
const std::string kParameters = kService + "\\Parameters";

TEST(IoRegistry, CreateQuerySetAndBufferSizes) {
    hk::Kernel kernel;
    hk::reg::CreateKey(kService);
    HANDLE key = nullptr;
    ULONG disposition = 0;
    ASSERT_EQ(OpenParameters(kParameters.c_str(), &key, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_CREATED_NEW_KEY));
    EXPECT_TRUE(hk::reg::Exists(kParameters));

    Name value("IsoRxNumOfBuf");
    UCHAR buffer[FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) + 4];
    PKEY_VALUE_PARTIAL_INFORMATION info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    ULONG result = 0;
    EXPECT_EQ(ZwQueryValueKey(key, &value.string, KeyValuePartialInformation, buffer, sizeof buffer, &result),
              STATUS_OBJECT_NAME_NOT_FOUND);

    ULONG eight = 8;
    EXPECT_EQ(ZwSetValueKey(key, &value.string, 0, REG_DWORD, &eight, sizeof eight), STATUS_SUCCESS);  // KEY_READ handle
    ULONG read = 0;
    EXPECT_TRUE(hk::reg::GetDword(kParameters, "isorxnumofbuf", &read));  // names are case-insensitive
    EXPECT_EQ(read, 8u);

    // A test writes a longer value: the driver's 4-byte buffer overflows (header filled), and a
    // buffer smaller than the header is too small.
    ULONGLONG wide = 0x1122334455667788ull;
    hk::reg::SetValue(kParameters, "ISORXNUMOFBUF", REG_QWORD, &wide, sizeof wide);
    EXPECT_EQ(ZwQueryValueKey(key, &value.string, KeyValuePartialInformation, buffer, sizeof buffer, &result),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result, FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) + 8u);
    EXPECT_EQ(info->Type, static_cast<ULONG>(REG_QWORD));
    EXPECT_EQ(info->DataLength, 8u);
    EXPECT_EQ(ZwQueryValueKey(key, &value.string, KeyValuePartialInformation, buffer, 8, &result),
              STATUS_BUFFER_TOO_SMALL);
    hk::reg::SetDword(kParameters, "IsoRxNumOfBuf", 31);
    EXPECT_EQ(ZwQueryValueKey(key, &value.string, KeyValuePartialInformation, buffer, sizeof buffer, &result),
              STATUS_SUCCESS);
    EXPECT_EQ(*reinterpret_cast<ULONG*>(info->Data), 31u);

    EXPECT_EQ(ZwDeleteValueKey(key, &value.string), STATUS_SUCCESS);
    EXPECT_FALSE(hk::reg::GetValue(kParameters, "IsoRxNumOfBuf", nullptr, nullptr));
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);

    ASSERT_EQ(OpenParameters(kParameters.c_str(), &key, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_OPENED_EXISTING_KEY));
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST(IoRegistry, KeysThatCannotBeOpenedOrHaveNoParent) {
    hk::Kernel kernel;
    hk::reg::CreateKey(kService);
    hk::reg::FailOpen(kParameters);
    HANDLE key = nullptr;
    EXPECT_EQ(OpenParameters(kParameters.c_str(), &key, nullptr), STATUS_ACCESS_DENIED);
    EXPECT_FALSE(hk::reg::Exists(kParameters));
    hk::reg::ClearFailures();
    EXPECT_EQ(OpenParameters((kService + "\\Missing\\Parameters").c_str(), &key, nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND);
    Name name(kService.c_str());
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name.string, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    EXPECT_EQ(ZwOpenKey(&key, KEY_READ, &attributes), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

// A driver whose entry reads its parameters through the registry path it is given.
std::string g_pathSeen;
NTSTATUS g_entryResult;
NTSTATUS ParametersEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    g_pathSeen.clear();
    for (USHORT i = 0; i < registryPath->Length / 2; ++i) g_pathSeen.push_back(static_cast<char>(registryPath->Buffer[i]));
    DbgPrint("KX: entry %s, version %d.%d\n", "kx", 2, 1);
    driver->DriverUnload = [](PDRIVER_OBJECT) { DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, "KX: unload\n"); };
    return g_entryResult;
}

TEST(IoDrivers, LoadGivesTheServicePathAndUnloadChecksDevices) {
    hk::Kernel kernel;
    PDRIVER_OBJECT driver = nullptr;
    g_entryResult = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(hk::LoadDriver(ParametersEntry, "kx", &driver), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(driver, nullptr);
    g_entryResult = STATUS_SUCCESS;
    hk::dbg::Clear();
    ASSERT_EQ(hk::LoadDriver(ParametersEntry, "kx", &driver), STATUS_SUCCESS);
    EXPECT_EQ(g_pathSeen, kService);
    EXPECT_TRUE(hk::reg::Exists(kService));
    EXPECT_TRUE(hk::dbg::Contains("entry kx, version 2.1"));

    PDEVICE_OBJECT device = nullptr;
    Name name("\\Device\\kx0");
    ASSERT_EQ(IoCreateDevice(driver, 24, &name.string, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    PDEVICE_OBJECT again = nullptr;
    EXPECT_EQ(IoCreateDevice(driver, 0, &name.string, FILE_DEVICE_UNKNOWN, 0, FALSE, &again),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(device->DeviceExtension) % 16, 0u);
    EXPECT_EQ(static_cast<UCHAR*>(device->DeviceExtension)[23], 0);
    EXPECT_TRUE(device->Flags & DO_DEVICE_INITIALIZING);
    {
        hk::ExpectViolation v(hk::rule::kObject);
        hk::UnloadDriver(driver);  // its device was not deleted
        EXPECT_EQ(v.Count(), 1);
    }
    IoDeleteDevice(device);
    EXPECT_EQ(hk::dbg::Lines().back(), "KX: unload");
}

TEST(IoDrivers, WdmVersionFollowsTheOptions) {
    hk::Options options;
    options.wdmVersion = 0x0120;
    hk::Kernel kernel(options);
    EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x10));
    EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x20));
    EXPECT_FALSE(IoIsWdmVersionAvailable(1, 0x30));
    EXPECT_FALSE(IoIsWdmVersionAvailable(6, 0));
}

TEST(IoStrings, CountedStringsCopyAppendAndCompare) {
    hk::Kernel kernel;
    WCHAR storage[8];
    UNICODE_STRING s{0, sizeof storage, storage};
    Name abc("abc"), defghi("defghi"), ABC("ABC");
    RtlCopyUnicodeString(&s, &abc.string);
    EXPECT_EQ(s.Length, 6);
    EXPECT_EQ(RtlAppendUnicodeStringToString(&s, &defghi.string), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(RtlAppendUnicodeToString(&s, reinterpret_cast<PCWSTR>(u"de")), STATUS_SUCCESS);
    EXPECT_EQ(s.Length, 10);
    EXPECT_EQ(storage[5], 0);
    s.Length = 6;
    EXPECT_TRUE(RtlEqualUnicodeString(&s, &ABC.string, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&s, &ABC.string, FALSE));
}

}  // namespace
