// Host kernel io: records shared by the io module's files (not seen by drivers, tests or the other
// modules).
//
// Mutual exclusion: only the emulated thread holding the virtual processor runs, and control
// passes only inside kernel calls, so the io tables need no host locks as long as no update is
// split across a call that can switch threads (waits, IoCallDriver, completion routines, ...).
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "hk_core.h"
#include "hk_io_test.h"

// ---------------------------------------------------------------------------------------------
// Object types (opaque to drivers)

struct _OBJECT_TYPE {
    const char* Name;
    GENERIC_MAPPING Mapping;
    ACCESS_MASK ValidAccess;
    // Called when the last handle to an object of this type is closed (file objects: cleanup).
    void (*CloseLastHandle)(PEPROCESS process, PVOID body);
};

// A process (the body of a process object).
struct _KPROCESS {
    KEVENT ExitEvent;  // first: waiting on the process waits for its exit
    ULONG Magic;
    struct hk_io_Process* Data;
};

// The I/O manager's bookkeeping of a device object (DEVICE_OBJECT.DeviceObjectExtension).
struct _DEVOBJ_EXTENSION {
    PDEVICE_OBJECT Device;
    PDEVICE_OBJECT AttachedTo;  // the device this one is attached on top of
    bool Deleted;
    std::string Name;
    struct hk_io_DeviceNode* Node;  // Plug and Play device node when this is a PDO
    SYSTEM_POWER_STATE SystemState;
    DEVICE_POWER_STATE DeviceState;
};

namespace hk {
namespace io {

constexpr ULONG kProcessMagic = 0x636f7250;  // "Proc"

// ---- Objects
struct alignas(16) ObjectHeader {
    ULONG magic;
    bool dead;
    LONG pointerCount;
    LONG handleCount;
    POBJECT_TYPE type;
    ObjectDelete onDelete;
    SIZE_T bodySize;
    void* body() { return reinterpret_cast<char*>(this) + sizeof(ObjectHeader); }
};
ObjectHeader* HeaderOf(PVOID body);  // null when body is not a (live or recently freed) object
bool IsObject(PVOID body);
POBJECT_TYPE EventType();
POBJECT_TYPE FileType();
POBJECT_TYPE DeviceType();
POBJECT_TYPE DriverType();
POBJECT_TYPE KeyType();
POBJECT_TYPE ProcessType();
// IRP_MJ_CLEANUP when the last handle of a file object closes.
void FileCloseLastHandle(PEPROCESS process, PVOID body);

// ---- Processes and handles
struct HandleEntry {
    ObjectHeader* object;
    ACCESS_MASK granted;
    ULONG attributes;
};
}  // namespace io
}  // namespace hk

struct hk_io_Process {
    std::string name;
    bool is32Bit = false;
    bool largeAddressAware = false;
    bool exited = false;
    bool system = false;
    ULONG id = 0;
    void* addressSpace = nullptr;
    void* exitedSpace = nullptr;  // after exit, until the last thread still in a call has left
    ULONG nextHandle = 1;
    std::map<ULONG, hk::io::HandleEntry> handles;  // by index (handle value / 4)
};

namespace hk {
namespace io {

hk_io_Process* ProcessData(PEPROCESS process);
PEPROCESS DefaultTestProcess();
// Attaches the calling thread to a process for a scope (user calls, system work).
class AttachProcess {
public:
    explicit AttachProcess(PEPROCESS process);
    ~AttachProcess();
    AttachProcess(const AttachProcess&) = delete;
    AttachProcess& operator=(const AttachProcess&) = delete;
private:
    PEPROCESS previous_;
};
// Resolves a handle; for KernelMode with a kernel handle, the system process's table.
HandleEntry* LookupHandle(HANDLE handle, KPROCESSOR_MODE mode, PEPROCESS* owner);
NTSTATUS CloseHandleIn(PEPROCESS process, HANDLE handle);
bool IsKernelHandle(HANDLE handle);
// Threads inside a user call, by process (alerted at process exit). The address space of an exited
// process is destroyed when the last of its threads leaves its call.
void EnterUserCall(PEPROCESS process);
void LeaveUserCall();
bool InUserCall(PEPROCESS process);  // some thread is in a call for the process
// The process has exited: what a request of it still has to give back is dropped.
bool HasExited(PEPROCESS process);

// ---- Devices
inline _DEVOBJ_EXTENSION* Ext(PDEVICE_OBJECT device) { return device->DeviceObjectExtension; }
PDRIVER_OBJECT PciDriver();
PDRIVER_OBJECT CreateDriverObject(const std::string& name, const std::string& service);
void DevicesBoot();
void DevicesShutdown();
// Completes an IRP with STATUS_INVALID_DEVICE_REQUEST (the default of every dispatch slot).
NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp);
void OnDeviceDeleted(PDEVICE_OBJECT device);  // interfaces and device node bookkeeping

// ---- IRPs
enum class IrpKind {
    Driver,        // IoAllocateIrp / IoInitializeIrp: its owner frees it
    Synchronous,   // IoBuildSynchronousFsdRequest / IoBuildDeviceIoControlRequest
    Asynchronous,  // IoBuildAsynchronousFsdRequest: its owner frees it in its completion routine
    User,          // a user program's request
    Manager,       // Plug and Play or power manager request; the waiter frees it
    PowerRequest,  // PoRequestPowerIrp
};
enum class IrpState { Allocated, Completing, Completed, Freed };

struct UserRequestData;

struct IrpHeader {
    IrpKind kind = IrpKind::Driver;
    IrpState state = IrpState::Allocated;
    bool ownsMemory = true;
    int quarantined = 0;  // entries of the freed-IRP quarantine naming this address
    std::vector<UCHAR> pendingMarked;  // per stack location (1-based index), SL_PENDING_RETURNED seen
    std::vector<UCHAR> pendingReturned;  // per stack location: its dispatch routine returned STATUS_PENDING
    std::vector<PDEVICE_OBJECT> dispatched;  // per stack location: the device called
    // Buffers the I/O manager set up for the request.
    PVOID systemBuffer = nullptr;  // to free at completion
    PVOID copyBackTo = nullptr;    // caller buffer for METHOD_BUFFERED / buffered read output
    ULONG copyBackMax = 0;
    PMDL mdl = nullptr;            // MDL built for the caller's buffer
    bool mdlLocked = false;
    // Completion of a manager request.
    KEVENT* doneEvent = nullptr;
    IO_STATUS_BLOCK* doneIosb = nullptr;
    bool* doneFlag = nullptr;
    // PoRequestPowerIrp
    PREQUEST_POWER_COMPLETE powerCallback = nullptr;
    PVOID powerContext = nullptr;
    PDEVICE_OBJECT powerTarget = nullptr;
    UCHAR powerMinor = 0;
    POWER_STATE powerState{};
    UserRequestData* request = nullptr;
    PEPROCESS process = nullptr;  // the requestor's process
};

IrpHeader* IrpInfo(PIRP irp);  // null when irp is not an IRP of this kernel
PIRP AllocateIrp(CCHAR stackSize, IrpKind kind);
void ReleaseIrp(PIRP irp);  // to the quarantine
// Sends a manager IRP (already set up in its next location) to `device` and waits for it.
NTSTATUS CallAndWait(PDEVICE_OBJECT device, PIRP irp, ULONG_PTR* information);

// ---- Plug and Play
void PnpBoot();
void PnpShutdown();
// Device interfaces of a device object that goes away.
void RemoveInterfacesOf(PDEVICE_OBJECT pdo);
void DisableInterfacesOf(PDEVICE_OBJECT pdo);
// The node's identifiers (interface names are built from them).
std::string NodeDeviceId(PDEVICE_OBJECT pdo);
std::string NodeInstanceId(PDEVICE_OBJECT pdo);

// ---- Registry and debug output
void RegistryBoot();
void RegistryShutdown();
void DebugBoot();

// ---- Interfaces and user calls
void InterfacesBoot();
void InterfacesShutdown();
void UserBoot();
void UserShutdown();
// Cancels the user requests of a process still in drivers (process exit).
void CancelProcessRequests(PEPROCESS process);

// ---- Strings
std::string Narrow(const WCHAR* text, size_t length);
std::string Narrow(PCUNICODE_STRING text);
std::u16string Widen(const std::string& text);
std::string Lower(std::string text);
// A pool-allocated copy (PagedPool) of a wide string, terminated; the receiver frees it.
PWCHAR PoolString(const std::u16string& text, ULONG tag);

}  // namespace io
}  // namespace hk
