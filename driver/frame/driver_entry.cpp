// Driver entry: the WDM version, the tuning values under <RegistryPath>\Parameters (corrected and
// written back), and the dispatch table.
#include "driver.h"

#include "device.h"

DriverParameters g_DriverParameters;
USHORT g_WdmVersion;
UNICODE_STRING g_RegistryPath;

namespace {

// How one registry value is read: its accepted range and default. SPLIT_TIMEOUT has rules of its
// own (0 stands for the default and is kept; out-of-range values are clamped, not defaulted).
struct ParameterRule {
    const char16_t* Name;
    ULONG Minimum;
    ULONG Maximum;
    ULONG Default;
    bool AnyValue;
};

constexpr ULONG kSplitTimeoutDefault = 100;
constexpr ULONG kSplitTimeoutMinimum = 100;
constexpr ULONG kSplitTimeoutMaximum = 40000;

// In the order they are read.
constexpr ParameterRule kSplitTimeoutRule = {u"SPLIT_TIMEOUT", kSplitTimeoutMinimum, kSplitTimeoutMaximum,
                                             kSplitTimeoutDefault, false};
constexpr ParameterRule kParameterRules[] = {
    {u"BandwidthForDriver", 0, 1, 0, false},
    {u"IsoRxNumOfBuf", 1, 31, 3, false},
    {u"IsoRxStreamBase", 0, 1, 0, false},
    {u"IsoTxNumOfBuf", 1, 31, 3, false},
    {u"IsoDirectDMA", 0, 1, 1, false},
    {u"DesktopCameraEnable", 0, 1, 1, false},
    {u"AsyncWait", 0, 0, 0, true},
    {u"aPhyEnhanceEnable", 0, 1, 0, false},
};

ULONG* ParameterField(ULONG index) {
    ULONG* fields[] = {
        &g_DriverParameters.BandwidthForDriver, &g_DriverParameters.IsoRxNumOfBuf,
        &g_DriverParameters.IsoRxStreamBase,    &g_DriverParameters.IsoTxNumOfBuf,
        &g_DriverParameters.IsoDirectDMA,       &g_DriverParameters.DesktopCameraEnable,
        &g_DriverParameters.AsyncWait,          &g_DriverParameters.aPhyEnhanceEnable,
    };
    return fields[index];
}

NTSTATUS WriteDword(HANDLE key, PUNICODE_STRING name, ULONG value) {
    return ZwSetValueKey(key, name, 0, REG_DWORD, &value, sizeof(value));
}

// Reads up to four data bytes of a value, whatever its registry type. A value longer than four
// bytes fails with STATUS_BUFFER_OVERFLOW; a shorter one is zero-extended.
NTSTATUS QueryDword(HANDLE key, PUNICODE_STRING name, PULONG value) {
    constexpr ULONG kBufferSize = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) + sizeof(ULONG);
    auto* info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(ExAllocatePoolWithTag(PagedPool, kBufferSize, kTagRegistry));
    if (info == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    ULONG resultLength = 0;
    NTSTATUS status = ZwQueryValueKey(key, name, KeyValuePartialInformation, info, kBufferSize, &resultLength);
    if (NT_SUCCESS(status)) {
        ULONG data = 0;
        ULONG length = info->DataLength < sizeof(ULONG) ? info->DataLength : sizeof(ULONG);
        RtlCopyMemory(&data, info->Data, length);
        *value = data;
    }
    ExFreePoolWithTag(info, kTagRegistry);
    return status;
}

// Applies one rule: the value to use, writing corrections back. A failed read or write-back
// leaves `failed` set and the caller stores the failure value.
ULONG ReadParameter(HANDLE key, const ParameterRule& rule, bool isSplitTimeout, bool* failed) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, reinterpret_cast<PCWSTR>(rule.Name));
    ULONG value = 0;
    ULONG use = 0;
    NTSTATUS status = QueryDword(key, &name, &value);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
        use = rule.Default;
        status = WriteDword(key, &name, isSplitTimeout ? 0 : rule.Default);
    } else if (NT_SUCCESS(status)) {
        if (isSplitTimeout) {
            if (value == 0) {
                use = rule.Default;
            } else if (value < rule.Minimum || value > rule.Maximum) {
                use = value < rule.Minimum ? rule.Minimum : rule.Maximum;
                status = WriteDword(key, &name, use);
            } else {
                use = value;
            }
        } else if (rule.AnyValue || (value >= rule.Minimum && value <= rule.Maximum)) {
            use = value;
        } else {
            use = rule.Default;
            status = WriteDword(key, &name, use);
        }
    }
    *failed = !NT_SUCCESS(status);
    return use;
}

void ReadParameters(HANDLE key) {
    bool failed = false;
    ULONG split = ReadParameter(key, kSplitTimeoutRule, true, &failed);
    g_DriverParameters.SPLIT_TIMEOUT = failed ? kSplitTimeoutDefault : split;
    for (ULONG i = 0; i < RTL_NUMBER_OF(kParameterRules); ++i) {
        ULONG value = ReadParameter(key, kParameterRules[i], false, &failed);
        *ParameterField(i) = failed ? 0 : value;
    }
}

// Opens (creating when absent) <RegistryPath>\Parameters.
NTSTATUS OpenParametersKey(PCUNICODE_STRING registryPath, PHANDLE key) {
    static const char16_t kParameters[] = u"Parameters";
    const USHORT suffixBytes = sizeof(kParameters) - sizeof(char16_t);
    const USHORT pathChars = registryPath->Length / sizeof(WCHAR);
    const bool needsSeparator = pathChars == 0 || registryPath->Buffer[pathChars - 1] != u'\\';
    const ULONG totalBytes = ULONG(registryPath->Length) + (needsSeparator ? sizeof(WCHAR) : 0) + suffixBytes;
    if (totalBytes + sizeof(WCHAR) > MAXUSHORT) return STATUS_INVALID_PARAMETER;

    UNICODE_STRING keyName;
    keyName.Length = 0;
    keyName.MaximumLength = USHORT(totalBytes + sizeof(WCHAR));
    keyName.Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, keyName.MaximumLength, kTagRegistry));
    if (keyName.Buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyUnicodeString(&keyName, registryPath);
    if (needsSeparator) RtlAppendUnicodeToString(&keyName, KX_WSTR("\\"));
    RtlAppendUnicodeToString(&keyName, reinterpret_cast<PCWSTR>(kParameters));

    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &keyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    ULONG disposition = 0;
    NTSTATUS status = ZwCreateKey(key, KEY_READ, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  &disposition);
    ExFreePoolWithTag(keyName.Buffer, kTagRegistry);
    return status;
}

USHORT ProbeWdmVersion() {
    struct Candidate {
        UCHAR Major;
        UCHAR Minor;
    };
    static const Candidate kCandidates[] = {{6, 0}, {1, 0x30}, {1, 0x20}, {1, 0x10}, {1, 5}};
    for (const Candidate& candidate : kCandidates) {
        if (IoIsWdmVersionAvailable(candidate.Major, candidate.Minor))
            return USHORT((candidate.Major << 8) | candidate.Minor);
    }
    return 0x100;
}

NTSTATUS CopyRegistryPath(PCUNICODE_STRING registryPath) {
    g_RegistryPath.Length = 0;
    g_RegistryPath.MaximumLength = USHORT(registryPath->Length + sizeof(WCHAR));
    g_RegistryPath.Buffer =
        static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, g_RegistryPath.MaximumLength, kTagRegistry));
    if (g_RegistryPath.Buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyUnicodeString(&g_RegistryPath, registryPath);
    g_RegistryPath.Buffer[g_RegistryPath.Length / sizeof(WCHAR)] = 0;
    return STATUS_SUCCESS;
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    RtlZeroMemory(&g_DriverParameters, sizeof(g_DriverParameters));
    if (!NT_SUCCESS(CopyRegistryPath(RegistryPath))) return STATUS_INSUFFICIENT_RESOURCES;

    g_WdmVersion = ProbeWdmVersion();

    // An unreadable key is not an error: the driver then runs with every parameter 0.
    HANDLE key = nullptr;
    if (NT_SUCCESS(OpenParametersKey(RegistryPath, &key))) {
        ReadParameters(key);
        ZwClose(key);
    }

    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    DriverObject->MajorFunction[IRP_MJ_READ] = DispatchReadWrite;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = DispatchReadWrite;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->DriverUnload = DriverUnload;
    return STATUS_SUCCESS;
}

void DriverUnload(PDRIVER_OBJECT DriverObject) {
    UNREFERENCED_PARAMETER(DriverObject);
    if (g_RegistryPath.Buffer != nullptr) {
        ExFreePoolWithTag(g_RegistryPath.Buffer, kTagRegistry);
        g_RegistryPath.Buffer = nullptr;
    }
}
