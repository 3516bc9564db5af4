// Stand-in driver entry for the Windows image while the driver has no sources of its own: it
// proves the toolchain, the link and the image checks. driver/windows/CMakeLists.txt uses it only
// when driver/frame/ and the other subsystem folders hold no .cpp file.
#include "kxplatform.h"

namespace {

ULONG g_Loads;

void StandInUnload(PDRIVER_OBJECT DriverObject) {
    UNREFERENCED_PARAMETER(DriverObject);
    DbgPrint("KX1394DRV64: stand-in unloaded after %u load(s)\n", static_cast<unsigned>(g_Loads));
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);
    ++g_Loads;
    LARGE_INTEGER ticks;
    KeQueryTickCount(&ticks);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL oldIrql;
    KeAcquireSpinLock(&lock, &oldIrql);
    KeReleaseSpinLock(&lock, oldIrql);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, KX_WSTR("Parameters"));
    ASSERT(name.Length == 20);
    DbgPrint("KX1394DRV64: stand-in entry at tick %u\n", static_cast<unsigned>(ticks.LowPart));
    DriverObject->DriverUnload = StandInUnload;
    return STATUS_SUCCESS;
}
