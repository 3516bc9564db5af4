// Host kernel io: the interface tests, tools and the other host modules use beyond hk_core.h —
// processes, loading drivers, the fake PCI bus and the Plug and Play manager, power requests,
// what a user program does with a device (open, DeviceIoControl, read, write, cancel, close, its
// own events and handles), the registry and the captured debug output. Driver code never includes
// this header.
//
// Every call that sends a request waits for it on the calling emulated thread, so the caller
// must be at PASSIVE_LEVEL. Plug and Play and power requests run on the calling thread as the
// system process (the thread is attached to the system process for the duration of the call),
// as the Plug and Play manager's worker thread would run them on Windows.
#pragma once

#include <string>
#include <vector>

#include "hk_core.h"

namespace hk {

// ---- Processes
// A user process with its own handle table and user address space.
PEPROCESS CreateProcess(const char* name, bool is32Bit = false, bool largeAddressAware = false);
// The 64-bit process created at boot; the booting thread belongs to it.
PEPROCESS TestProcess();
// Ends a process as Windows does: alerts its threads that wait in the kernel, cancels the
// requests its threads have pending, closes every handle of the process (IRP_MJ_CLEANUP and
// IRP_MJ_CLOSE reach the drivers of open files), signals the process object and destroys the
// user address space. The process object itself stays valid while referenced.
void ExitProcess(PEPROCESS process);
bool ProcessExited(PEPROCESS process);
const char* ProcessName(PEPROCESS process);
// Handles open in a process (tests of handle leaks).
ULONG HandleCount(PEPROCESS process);
// Object header view: the pointer count of an object (tests of reference leaks).
LONG ObjectReferenceCount(PVOID object);

// ---- Drivers
// Creates the driver object and calls DriverEntry at PASSIVE_LEVEL in the system process with
// the registry path \Registry\Machine\System\CurrentControlSet\Services\<serviceName> (the
// service key is created first; the path buffer is released when DriverEntry returns, as on
// Windows). On failure the driver object is gone and *driver is null.
NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, const char* serviceName, PDRIVER_OBJECT* driver);
// Every device of the driver must have been deleted (rule OBJECT otherwise); calls DriverUnload,
// then the pool leak report (rule POOL_LEAK).
void UnloadDriver(PDRIVER_OBJECT driver);

// ---- Fake PCI bus
namespace pci {
struct DeviceConfig {
    USHORT vendorId = 0x104C;
    USHORT deviceId = 0x8023;
    USHORT subsystemVendorId = 0;
    USHORT subsystemId = 0;
    UCHAR revision = 0;
    ULONG classCode = 0x0C0010;  // serial bus, IEEE 1394, OHCI
    ULONG busNumber = 0;
    ULONG deviceNumber = 5;      // slot
    ULONG functionNumber = 0;
    // BAR0: the register window.
    ULONGLONG bar0 = 0xFEB00000ull;
    ULONG bar0Length = 0x800;
    RegisterWindow* window = nullptr;  // attached at bar0 while the device is plugged
    // Interrupt: level-sensitive and shareable. The translated resource carries `vector` (what
    // IoConnectInterrupt and SetInterruptLine take) and `level` (the DIRQL); the raw one the IRQ.
    ULONG vector = 0x50;
    ULONG level = 5;
    ULONG irq = 11;
    KAFFINITY affinity = 1;
    // What the bus driver answers to IRP_MN_START_DEVICE (failure injection).
    NTSTATUS startStatus = STATUS_SUCCESS;
    // Capabilities reported by IRP_MN_QUERY_CAPABILITIES.
    bool deviceD1 = true;
    bool deviceD2 = true;
    bool wakeFromD3 = false;
    bool surpriseRemovalOK = false;
    bool powerPagable = true;  // DO_POWER_PAGABLE on the PDO
};
// Plugs a PCI function: creates its PDO, calls the driver's AddDevice, then starts the stack
// with the raw and translated resources (one memory range for BAR0, one interrupt). Returns the
// PDO (null when AddDevice failed); *startStatus receives the status of AddDevice or of the start.
PDEVICE_OBJECT PlugDevice(PDRIVER_OBJECT driver, const DeviceConfig& config, NTSTATUS* startStatus = nullptr);
}  // namespace pci

// ---- Plug and Play manager
namespace pnp {
enum class State { Added, Started, StopPending, Stopped, RemovePending, SurpriseRemoved, Removed, StartFailed };
// Each sends what the Plug and Play manager sends, top of the stack first, and returns the status
// of the query or operation. A failed query is followed by its cancel.
NTSTATUS QueryStop(PDEVICE_OBJECT pdo);      // IRP_MN_QUERY_STOP_DEVICE (cancel on failure)
NTSTATUS CancelStop(PDEVICE_OBJECT pdo);     // IRP_MN_CANCEL_STOP_DEVICE
NTSTATUS Stop(PDEVICE_OBJECT pdo);           // QueryStop, then IRP_MN_STOP_DEVICE
NTSTATUS Start(PDEVICE_OBJECT pdo);          // AddDevice again if no function driver, then START
NTSTATUS QueryRemove(PDEVICE_OBJECT pdo);    // IRP_MN_QUERY_REMOVE_DEVICE (cancel on failure)
NTSTATUS CancelRemove(PDEVICE_OBJECT pdo);   // IRP_MN_CANCEL_REMOVE_DEVICE
NTSTATUS Remove(PDEVICE_OBJECT pdo);         // children first; QueryRemove, then IRP_MN_REMOVE_DEVICE
NTSTATUS SurpriseRemoval(PDEVICE_OBJECT pdo);  // children first; IRP_MN_SURPRISE_REMOVAL
// The device is gone: surprise removal, then removal, then the bus deletes the PDO.
void Unplug(PDEVICE_OBJECT pdo);
// IoInvalidateDeviceRelations only queues the device: this call (or any Plug and Play operation
// above) then queries the bus relations of every queued device, starts new children (capabilities,
// IDs, start) and removes the children no longer reported (surprise removal, then removal).
void Process();
bool HasPendingRelations();
std::vector<PDEVICE_OBJECT> Children(PDEVICE_OBJECT pdo);
State GetState(PDEVICE_OBJECT pdo);
// Identifiers the manager collected from a child (QUERY_ID device ID, instance ID, text).
std::string DeviceId(PDEVICE_OBJECT pdo);
std::string InstanceId(PDEVICE_OBJECT pdo);
std::string DeviceText(PDEVICE_OBJECT pdo);
std::vector<std::string> HardwareIds(PDEVICE_OBJECT pdo);
std::vector<std::string> CompatibleIds(PDEVICE_OBJECT pdo);
// The function driver loaded on bus-enumerated children that report this hardware or compatible
// identifier (as an INF would name it). Children already started keep what they have.
void RegisterFunctionDriver(const std::string& id, PDRIVER_OBJECT driver);
void UnregisterFunctionDriver(PDRIVER_OBJECT driver);
// Capabilities the manager collected from the stack at start.
DEVICE_CAPABILITIES Capabilities(PDEVICE_OBJECT pdo);
// Sends one Plug and Play request to the top of the device's stack and waits for it (tests of a
// single minor function). `stack` fills the stack location; returns the status and Information.
NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR minor, const IO_STACK_LOCATION* parameters = nullptr,
                 ULONG_PTR* information = nullptr);
}  // namespace pnp

// ---- Power manager
namespace power {
// Sends a system power IRP (IRP_MN_SET_POWER or IRP_MN_QUERY_POWER with SystemPowerState) to the
// top of the stack and waits for its completion; returns its status.
NTSTATUS SetSystemPower(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state);
NTSTATUS QuerySystemPower(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state);
// The states last given to PoSetPowerState for a device object.
DEVICE_POWER_STATE DeviceState(PDEVICE_OBJECT device);
SYSTEM_POWER_STATE SystemState(PDEVICE_OBJECT device);
}  // namespace power

// ---- Device interfaces
namespace iface {
// Symbolic link names registered for a class, in registration order, and whether enabled.
std::vector<std::string> Names(const GUID& interfaceClass);
bool IsEnabled(const std::string& symbolicLinkName);
}  // namespace iface

// ---- What a user program does. A call that names a process runs as a thread of that process
// (the calling thread is attached to it for the call); the others use the calling thread's process.
namespace user {
// Events of the program (CreateEvent: the handle carries EVENT_ALL_ACCESS).
HANDLE CreateEvent(PEPROCESS process, bool manualReset, bool initialState);
NTSTATUS SetEvent(HANDLE event);
NTSTATUS SetEvent(PEPROCESS process, HANDLE event);
NTSTATUS ResetEvent(HANDLE event);
// Waits on the event (timeout in 100 ns units; nullptr waits forever): STATUS_SUCCESS,
// STATUS_TIMEOUT, or an error for a bad handle.
NTSTATUS WaitEvent(HANDLE event, const ULONGLONG* timeout100ns = nullptr);
NTSTATUS WaitEvent(PEPROCESS process, HANDLE event, const ULONGLONG* timeout100ns = nullptr);
// A second handle to the same object with the given (lesser) access, in `target` (null: same).
NTSTATUS DuplicateHandle(PEPROCESS process, HANDLE source, ACCESS_MASK access, PHANDLE result,
                         PEPROCESS target = nullptr);
NTSTATUS CloseHandle(HANDLE handle);
NTSTATUS CloseHandle(PEPROCESS process, HANDLE handle);

// Opens the index-th enabled interface of a class (IRP_MJ_CREATE to the top of the stack).
// STATUS_OBJECT_NAME_NOT_FOUND when there is no such enabled interface.
NTSTATUS OpenDeviceInterface(PEPROCESS process, const GUID& interfaceClass, ULONG index, PHANDLE handle);
NTSTATUS OpenDeviceInterface(PEPROCESS process, const std::string& symbolicLinkName, PHANDLE handle);

// DeviceIoControl: builds the request as the I/O manager does for the method of the code (buffers
// probed in the process's address space: STATUS_ACCESS_VIOLATION for memory it does not own),
// sends it and waits for it; *returned receives the bytes returned.
NTSTATUS DeviceIoControl(PEPROCESS process, HANDLE handle, ULONG code, PVOID in, ULONG inLength, PVOID out,
                         ULONG outLength, ULONG* returned = nullptr);
NTSTATUS Read(PEPROCESS process, HANDLE handle, PVOID buffer, ULONG length, ULONG* transferred = nullptr);
NTSTATUS Write(PEPROCESS process, HANDLE handle, PVOID buffer, ULONG length, ULONG* transferred = nullptr);

// Overlapped form: the request is sent and the call returns; End waits for it (timeout in 100 ns
// units, nullptr: forever) and releases it. End returns STATUS_TIMEOUT (the request stays) when
// the time runs out.
struct Request;
Request* BeginDeviceIoControl(PEPROCESS process, HANDLE handle, ULONG code, PVOID in, ULONG inLength, PVOID out,
                              ULONG outLength);
Request* BeginRead(PEPROCESS process, HANDLE handle, PVOID buffer, ULONG length);
bool IsDone(Request* request);
NTSTATUS End(Request* request, ULONG* returned = nullptr, const ULONGLONG* timeout100ns = nullptr);
// The status the request was sent with (STATUS_PENDING while it is in the driver; an error when it
// could not be built: bad handle, buffer not owned).
NTSTATUS SendStatus(Request* request);

// Cancels every request of this handle still in a driver (as CancelIoEx on the handle does).
// Returns the number of requests IoCancelIrp was called for.
ULONG CancelIo(PEPROCESS process, HANDLE handle);
}  // namespace user

// ---- Registry (paths as \Registry\Machine\..., case-insensitive)
namespace reg {
std::string ServicePath(const char* serviceName);
bool CreateKey(const std::string& path);  // with its missing parents
bool Exists(const std::string& path);
bool DeleteKey(const std::string& path);  // with its subkeys
bool SetValue(const std::string& path, const std::string& name, ULONG type, const void* data, ULONG length);
bool SetDword(const std::string& path, const std::string& name, ULONG value);
bool GetValue(const std::string& path, const std::string& name, ULONG* type, std::vector<UCHAR>* data);
bool GetDword(const std::string& path, const std::string& name, ULONG* value);
bool DeleteValue(const std::string& path, const std::string& name);
// ZwCreateKey/ZwOpenKey of this key fail with `status` until ClearFailures (or the next boot).
void FailOpen(const std::string& path, NTSTATUS status = STATUS_ACCESS_DENIED);
void ClearFailures();
}  // namespace reg

// ---- Debug output (DbgPrint, DbgPrintEx); echoed to stderr when KX_DBGPRINT=1
namespace dbg {
std::string Text();
std::vector<std::string> Lines();
bool Contains(const std::string& text);
void Clear();
}  // namespace dbg

}  // namespace hk
