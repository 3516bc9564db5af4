// Host kernel io: the object manager (headers, reference counts, types), handle tables,
// processes, a user program's events and handles, and the module's boot and shutdown.
#include <stdlib.h>
#include <string.h>

#include <set>

#include "hk_io_internal.h"
#include "hk_ke_test.h"

// ---------------------------------------------------------------------------------------------
// Object types, exported as Windows exports them (pointer to the type pointer). They are constant
// data so that ke can create thread objects before io boots.

namespace {

constexpr ULONG kObjectMagic = 0x6a624f48;  // "HObj"
using hk::io::FileCloseLastHandle;

OBJECT_TYPE g_eventType = {"Event",
                           {STANDARD_RIGHTS_READ | EVENT_QUERY_STATE, STANDARD_RIGHTS_WRITE | EVENT_MODIFY_STATE,
                            STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE, EVENT_ALL_ACCESS},
                           EVENT_ALL_ACCESS,
                           nullptr};
OBJECT_TYPE g_semaphoreType = {"Semaphore",
                               {STANDARD_RIGHTS_READ | SEMAPHORE_QUERY_STATE,
                                STANDARD_RIGHTS_WRITE | SEMAPHORE_MODIFY_STATE, STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE,
                                SEMAPHORE_ALL_ACCESS},
                               SEMAPHORE_ALL_ACCESS,
                               nullptr};
OBJECT_TYPE g_threadType = {"Thread",
                            {STANDARD_RIGHTS_READ | 0x0048u, STANDARD_RIGHTS_WRITE | 0x0037u,
                             STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE | 0x1800u, THREAD_ALL_ACCESS},
                            THREAD_ALL_ACCESS,
                            nullptr};
OBJECT_TYPE g_processType = {"Process",
                             {STANDARD_RIGHTS_READ | 0x0410u, STANDARD_RIGHTS_WRITE | 0x0BEAu,
                              STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE | 0x1000u, PROCESS_ALL_ACCESS},
                             PROCESS_ALL_ACCESS,
                             nullptr};
OBJECT_TYPE g_fileType = {"File",
                          {FILE_GENERIC_READ, FILE_GENERIC_WRITE,
                           STANDARD_RIGHTS_EXECUTE | FILE_READ_ATTRIBUTES | FILE_EXECUTE | SYNCHRONIZE,
                           FILE_ALL_ACCESS},
                          FILE_ALL_ACCESS,
                          FileCloseLastHandle};
OBJECT_TYPE g_deviceType = {"Device", {FILE_GENERIC_READ, FILE_GENERIC_WRITE, STANDARD_RIGHTS_EXECUTE, FILE_ALL_ACCESS},
                            FILE_ALL_ACCESS, nullptr};
OBJECT_TYPE g_driverType = {"Driver", {STANDARD_RIGHTS_READ, STANDARD_RIGHTS_WRITE, STANDARD_RIGHTS_EXECUTE, 0x1F01FFu},
                            0x1F01FFu, nullptr};
OBJECT_TYPE g_keyType = {"Key", {KEY_READ, KEY_WRITE, KEY_EXECUTE, KEY_ALL_ACCESS}, KEY_ALL_ACCESS, nullptr};

POBJECT_TYPE g_eventTypePointer = &g_eventType;
POBJECT_TYPE g_semaphoreTypePointer = &g_semaphoreType;
POBJECT_TYPE g_threadTypePointer = &g_threadType;
POBJECT_TYPE g_processTypePointer = &g_processType;
POBJECT_TYPE g_fileTypePointer = &g_fileType;
POBJECT_TYPE g_deviceTypePointer = &g_deviceType;
POBJECT_TYPE g_driverTypePointer = &g_driverType;
POBJECT_TYPE g_keyTypePointer = &g_keyType;

}  // namespace

extern "C" {
POBJECT_TYPE* ExEventObjectType = &g_eventTypePointer;
POBJECT_TYPE* ExSemaphoreObjectType = &g_semaphoreTypePointer;
POBJECT_TYPE* PsThreadType = &g_threadTypePointer;
POBJECT_TYPE* PsProcessType = &g_processTypePointer;
POBJECT_TYPE* IoFileObjectType = &g_fileTypePointer;
POBJECT_TYPE* IoDeviceObjectType = &g_deviceTypePointer;
POBJECT_TYPE* IoDriverObjectType = &g_driverTypePointer;
POBJECT_TYPE* CmKeyObjectType = &g_keyTypePointer;
}

namespace hk {
namespace io {

POBJECT_TYPE EventType() { return &g_eventType; }
POBJECT_TYPE FileType() { return &g_fileType; }
POBJECT_TYPE DeviceType() { return &g_deviceType; }
POBJECT_TYPE DriverType() { return &g_driverType; }
POBJECT_TYPE KeyType() { return &g_keyType; }
POBJECT_TYPE ProcessType() { return &g_processType; }

namespace {

// Every object header, live or recently deleted. Deleted objects stay in a bounded quarantine so
// that a late reference or dereference is reported instead of touching freed memory.
struct ObjectTable {
    std::set<ObjectHeader*> all;
    std::deque<ObjectHeader*> quarantine;
};
ObjectTable& Objects() {
    static ObjectTable* table = new ObjectTable;  // outlives every kernel in the process
    return *table;
}
constexpr size_t kQuarantine = 4096;

void Quarantine(ObjectHeader* header) {
    ObjectTable& t = Objects();
    t.quarantine.push_back(header);
    while (t.quarantine.size() > kQuarantine) {
        ObjectHeader* old = t.quarantine.front();
        t.quarantine.pop_front();
        t.all.erase(old);
        free(old);
    }
}

void DeleteObject(ObjectHeader* header) {
    header->dead = true;
    if (header->onDelete != nullptr) header->onDelete(header->body());
    Quarantine(header);
}

// ---- Processes
struct ProcessTable {
    PEPROCESS system = nullptr;
    PEPROCESS test = nullptr;
    std::vector<PEPROCESS> user;  // referenced
    ULONG nextId = 8;
    std::map<PKTHREAD, std::vector<PEPROCESS>> inUserCall;
};
ProcessTable& Processes() {
    static ProcessTable* table = new ProcessTable;
    return *table;
}

void DeleteProcess(PVOID body) {
    PEPROCESS p = static_cast<PEPROCESS>(body);
    hk_io_Process* d = p->Data;
    if (d != nullptr && d->addressSpace != nullptr) DestroyAddressSpace(d->addressSpace);
    if (d != nullptr && d->exitedSpace != nullptr) DestroyAddressSpace(d->exitedSpace);
    delete d;
    p->Data = nullptr;
}

PEPROCESS NewProcess(const char* name, bool is32Bit, bool largeAddressAware, bool system) {
    PEPROCESS p = static_cast<PEPROCESS>(CreateObject(&g_processType, sizeof(KPROCESS), DeleteProcess));
    p->Magic = kProcessMagic;
    p->Data = new hk_io_Process;
    p->Data->name = name;
    p->Data->is32Bit = is32Bit;
    p->Data->largeAddressAware = largeAddressAware;
    p->Data->system = system;
    p->Data->id = system ? 4 : (Processes().nextId += 4);
    return p;
}

constexpr ULONG_PTR kKernelHandleBits = 0xFFFFFFFF80000000ull;

ULONG HandleIndex(HANDLE handle) {
    ULONG_PTR v = reinterpret_cast<ULONG_PTR>(handle);
    if (IsKernelHandle(handle)) return static_cast<ULONG>((v & 0x7FFFFFFFull) >> 2);
    if ((v & 3) != 0 || v >= 0x80000000ull) return 0;
    return static_cast<ULONG>(v >> 2);
}

ACCESS_MASK MapGeneric(ACCESS_MASK access, POBJECT_TYPE type) {
    if (type == nullptr) return access;
    ACCESS_MASK mapped = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (access & GENERIC_READ) mapped |= type->Mapping.GenericRead;
    if (access & GENERIC_WRITE) mapped |= type->Mapping.GenericWrite;
    if (access & GENERIC_EXECUTE) mapped |= type->Mapping.GenericExecute;
    if (access & GENERIC_ALL) mapped |= type->Mapping.GenericAll;
    return mapped;
}

void RequireIrql(KIRQL most, const char* routine) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql > most) Violation(rule::kIrql, "%s called at IRQL %u (must be at most %u)", routine, irql, most);
}

}  // namespace

ObjectHeader* HeaderOf(PVOID body) {
    if (body == nullptr) return nullptr;
    ObjectHeader* header = reinterpret_cast<ObjectHeader*>(static_cast<char*>(body) - sizeof(ObjectHeader));
    ObjectTable& t = Objects();
    if (t.all.find(header) == t.all.end()) return nullptr;
    return header;
}

bool IsObject(PVOID body) {
    ObjectHeader* h = HeaderOf(body);
    return h != nullptr && !h->dead;
}

bool IsKernelHandle(HANDLE handle) {
    ULONG_PTR v = reinterpret_cast<ULONG_PTR>(handle);
    return (v & kKernelHandleBits) == kKernelHandleBits && v < 0xFFFFFFFFFFFFFFF0ull && (v & 3) == 0;
}

hk_io_Process* ProcessData(PEPROCESS process) {
    if (process == nullptr || process->Magic != kProcessMagic) return nullptr;
    return process->Data;
}

PEPROCESS DefaultTestProcess() { return Processes().test; }

HandleEntry* LookupHandle(HANDLE handle, KPROCESSOR_MODE mode, PEPROCESS* owner) {
    PEPROCESS process;
    if (IsKernelHandle(handle)) {
        if (mode == UserMode) return nullptr;
        process = SystemProcess();
    } else {
        process = CurrentProcess();
    }
    if (owner != nullptr) *owner = process;
    hk_io_Process* d = ProcessData(process);
    ULONG index = HandleIndex(handle);
    if (d == nullptr || index == 0) return nullptr;
    auto it = d->handles.find(index);
    return it == d->handles.end() ? nullptr : &it->second;
}

NTSTATUS CloseHandleIn(PEPROCESS process, HANDLE handle) {
    hk_io_Process* d = ProcessData(process);
    ULONG index = HandleIndex(handle);
    if (d == nullptr || index == 0) return STATUS_INVALID_HANDLE;
    bool kernel = IsKernelHandle(handle);
    if (kernel != d->system) return STATUS_INVALID_HANDLE;
    auto it = d->handles.find(index);
    if (it == d->handles.end()) return STATUS_INVALID_HANDLE;
    ObjectHeader* header = it->second.object;
    d->handles.erase(it);
    if (--header->handleCount == 0 && header->type->CloseLastHandle != nullptr) {
        AttachProcess attach(process);
        header->type->CloseLastHandle(process, header->body());
    }
    ObfDereferenceObject(header->body());
    return STATUS_SUCCESS;
}

AttachProcess::AttachProcess(PEPROCESS process) : previous_(nullptr) {
    PKTHREAD t = CurrentThread();
    previous_ = CurrentProcess();
    SetThreadProcess(t, process);
}
AttachProcess::~AttachProcess() { SetThreadProcess(CurrentThread(), previous_); }

bool InUserCall(PEPROCESS process) {
    for (auto& entry : Processes().inUserCall)
        for (PEPROCESS p : entry.second)
            if (p == process) return true;
    return false;
}

void EnterUserCall(PEPROCESS process) { Processes().inUserCall[CurrentThread()].push_back(process); }
void LeaveUserCall() {
    auto& calls = Processes().inUserCall;
    auto it = calls.find(CurrentThread());
    if (it == calls.end()) return;
    PEPROCESS process = it->second.back();
    it->second.pop_back();
    if (it->second.empty()) calls.erase(it);
    // The last thread of an exited process leaves the kernel: its memory goes now.
    hk_io_Process* d = ProcessData(process);
    if (d != nullptr && d->exitedSpace != nullptr && !InUserCall(process)) {
        void* space = d->exitedSpace;
        d->exitedSpace = nullptr;
        DestroyAddressSpace(space);
    }
}

bool HasExited(PEPROCESS process) {
    hk_io_Process* d = ProcessData(process);
    return d != nullptr && d->exited;
}

}  // namespace io

// ---------------------------------------------------------------------------------------------
// Cross-module object API (hk_core.h)

PVOID CreateObject(POBJECT_TYPE type, SIZE_T bodySize, ObjectDelete onDelete) {
    size_t size = sizeof(io::ObjectHeader) + ((bodySize + 15) & ~size_t(15));
    void* memory = aligned_alloc(16, size);
    if (memory == nullptr) return nullptr;
    memset(memory, 0, size);
    io::ObjectHeader* header = static_cast<io::ObjectHeader*>(memory);
    header->magic = kObjectMagic;
    header->pointerCount = 1;
    header->type = type;
    header->onDelete = onDelete;
    header->bodySize = bodySize;
    io::Objects().all.insert(header);
    return header->body();
}

NTSTATUS InsertHandle(PEPROCESS process, PVOID body, ACCESS_MASK granted, PHANDLE handle) {
    io::ObjectHeader* header = io::HeaderOf(body);
    hk_io_Process* d = io::ProcessData(process);
    if (header == nullptr || header->dead) {
        Violation(rule::kObject, "InsertHandle of %p, which is not a live object", body);
        return STATUS_INVALID_PARAMETER;
    }
    if (d == nullptr || d->exited) return STATUS_PROCESS_IS_TERMINATING;
    ULONG index = d->nextHandle++;
    d->handles[index] = io::HandleEntry{header, io::MapGeneric(granted, header->type), 0};
    header->handleCount++;
    header->pointerCount++;
    ULONG_PTR value = static_cast<ULONG_PTR>(index) << 2;
    if (d->system) value |= io::kKernelHandleBits;
    *handle = reinterpret_cast<HANDLE>(value);
    return STATUS_SUCCESS;
}

POBJECT_TYPE TypeOfObject(PVOID body) {
    io::ObjectHeader* header = io::HeaderOf(body);
    return header == nullptr ? nullptr : header->type;
}

PEPROCESS SystemProcess() {
    io::ProcessTable& t = io::Processes();
    if (t.system == nullptr) t.system = io::NewProcess("System", false, false, true);
    return t.system;
}

bool Is32BitProcess(PEPROCESS process) {
    hk_io_Process* d = io::ProcessData(process);
    return d != nullptr && d->is32Bit;
}

bool IsLargeAddressAware(PEPROCESS process) {
    hk_io_Process* d = io::ProcessData(process);
    return d != nullptr && d->largeAddressAware;
}

void* ProcessAddressSpace(PEPROCESS process) {
    hk_io_Process* d = io::ProcessData(process);
    return d == nullptr ? nullptr : d->addressSpace;
}

// ---------------------------------------------------------------------------------------------
// Processes (test API)

PEPROCESS CreateProcess(const char* name, bool is32Bit, bool largeAddressAware) {
    PEPROCESS p = io::NewProcess(name, is32Bit, largeAddressAware, false);
    p->Data->addressSpace = CreateAddressSpace(is32Bit, largeAddressAware);
    io::Processes().user.push_back(p);  // keeps the creation reference
    return p;
}

PEPROCESS TestProcess() { return io::Processes().test; }

void ExitProcess(PEPROCESS process) {
    hk_io_Process* d = io::ProcessData(process);
    if (d == nullptr || d->system || d->exited) return;
    d->exited = true;
    // Threads of the process waiting in the kernel are alerted.
    std::vector<PKTHREAD> alert;
    for (auto& entry : io::Processes().inUserCall)
        for (PEPROCESS p : entry.second)
            if (p == process) {
                alert.push_back(entry.first);
                break;
            }
    for (PKTHREAD t : alert) AlertThread(t);
    io::CancelProcessRequests(process);
    // Close every handle, oldest first.
    while (!d->handles.empty()) {
        ULONG index = d->handles.begin()->first;
        io::CloseHandleIn(process, reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(index) << 2));
    }
    KeSetEvent(&process->ExitEvent, 0, FALSE);
    // The address space goes once no thread of the process is in the kernel any more; until then it
    // is unreachable, so that a thread still in a driver (or a request completed later) cannot
    // write into memory that is going away and a driver's raw touch of it is reported.
    void* space = d->addressSpace;
    d->addressSpace = nullptr;
    if (space != nullptr && io::InUserCall(process)) {
        RetireAddressSpace(space);
        d->exitedSpace = space;
    } else if (space != nullptr) {
        DestroyAddressSpace(space);
    }
}

bool ProcessExited(PEPROCESS process) {
    hk_io_Process* d = io::ProcessData(process);
    return d == nullptr || d->exited;
}

const char* ProcessName(PEPROCESS process) {
    hk_io_Process* d = io::ProcessData(process);
    return d == nullptr ? "?" : d->name.c_str();
}

ULONG HandleCount(PEPROCESS process) {
    hk_io_Process* d = io::ProcessData(process);
    return d == nullptr ? 0 : static_cast<ULONG>(d->handles.size());
}

LONG ObjectReferenceCount(PVOID object) {
    io::ObjectHeader* h = io::HeaderOf(object);
    return h == nullptr || h->dead ? 0 : h->pointerCount;
}

// ---------------------------------------------------------------------------------------------
// Module life

namespace io {
void Boot(const Options& options) {
    (void)options;
    DebugBoot();
    DevicesBoot();
    RegistryBoot();
    InterfacesBoot();
    UserBoot();
    PnpBoot();
    ProcessTable& t = Processes();
    SystemProcess();
    KeInitializeEvent(&t.system->ExitEvent, NotificationEvent, FALSE);
    t.test = CreateProcess("test", false, false);
    KeInitializeEvent(&t.test->ExitEvent, NotificationEvent, FALSE);
    SetThreadProcess(CurrentThread(), t.test);
}

void Shutdown() {
    ProcessTable& t = Processes();
    for (PEPROCESS p : t.user) ExitProcess(p);
    PnpShutdown();
    UserShutdown();
    InterfacesShutdown();
    RegistryShutdown();
    DevicesShutdown();
    // The system process lives for the whole host process; its handles end with the kernel.
    hk_io_Process* sys = ProcessData(t.system);
    while (sys != nullptr && !sys->handles.empty()) {
        ULONG index = sys->handles.begin()->first;
        CloseHandleIn(t.system, reinterpret_cast<HANDLE>((static_cast<ULONG_PTR>(index) << 2) | kKernelHandleBits));
    }
    SetThreadProcess(CurrentThread(), t.system);
    std::vector<PEPROCESS> user;
    user.swap(t.user);
    t.test = nullptr;
    t.inUserCall.clear();
    for (PEPROCESS p : user) ObfDereferenceObject(p);
}
}  // namespace io

// ---------------------------------------------------------------------------------------------
// A user program's events and handles

namespace user {

HANDLE CreateEvent(PEPROCESS process, bool manualReset, bool initialState) {
    PRKEVENT event = static_cast<PRKEVENT>(CreateObject(&g_eventType, sizeof(KEVENT), nullptr));
    KeInitializeEvent(event, manualReset ? NotificationEvent : SynchronizationEvent, initialState ? TRUE : FALSE);
    HANDLE handle = nullptr;
    NTSTATUS status = InsertHandle(process, event, EVENT_ALL_ACCESS, &handle);
    ObfDereferenceObject(event);
    return NT_SUCCESS(status) ? handle : nullptr;
}

namespace {
NTSTATUS WithEvent(PEPROCESS process, HANDLE handle, ACCESS_MASK access, NTSTATUS (*action)(PRKEVENT, const void*),
                   const void* argument) {
    io::AttachProcess attach(process != nullptr ? process : CurrentProcess());
    PVOID object = nullptr;
    NTSTATUS status = ObReferenceObjectByHandle(handle, access, *ExEventObjectType, UserMode, &object, nullptr);
    if (!NT_SUCCESS(status)) return status;
    status = action(static_cast<PRKEVENT>(object), argument);
    ObfDereferenceObject(object);
    return status;
}
}  // namespace

NTSTATUS SetEvent(HANDLE event) { return SetEvent(nullptr, event); }

NTSTATUS SetEvent(PEPROCESS process, HANDLE event) {
    return WithEvent(process, event, EVENT_MODIFY_STATE,
                     [](PRKEVENT e, const void*) {
                         KeSetEvent(e, 0, FALSE);
                         return STATUS_SUCCESS;
                     },
                     nullptr);
}

NTSTATUS ResetEvent(HANDLE event) {
    return WithEvent(nullptr, event, EVENT_MODIFY_STATE,
                     [](PRKEVENT e, const void*) {
                         KeClearEvent(e);
                         return STATUS_SUCCESS;
                     },
                     nullptr);
}

NTSTATUS WaitEvent(PEPROCESS process, HANDLE event, const ULONGLONG* timeout100ns) {
    io::EnterUserCall(process != nullptr ? process : CurrentProcess());
    NTSTATUS status = WithEvent(process, event, SYNCHRONIZE,
                                [](PRKEVENT e, const void* arg) {
                                    const ULONGLONG* t = static_cast<const ULONGLONG*>(arg);
                                    LARGE_INTEGER timeout;
                                    if (t != nullptr) timeout.QuadPart = -static_cast<LONGLONG>(*t);
                                    return KeWaitForSingleObject(e, UserRequest, UserMode, FALSE,
                                                                 t != nullptr ? &timeout : nullptr);
                                },
                                timeout100ns);
    io::LeaveUserCall();
    return status;
}

NTSTATUS WaitEvent(HANDLE event, const ULONGLONG* timeout100ns) { return WaitEvent(nullptr, event, timeout100ns); }

NTSTATUS DuplicateHandle(PEPROCESS process, HANDLE source, ACCESS_MASK access, PHANDLE result, PEPROCESS target) {
    io::AttachProcess attach(process);
    io::HandleEntry* entry = io::LookupHandle(source, UserMode, nullptr);
    if (entry == nullptr) return STATUS_INVALID_HANDLE;
    ACCESS_MASK wanted = io::MapGeneric(access, entry->object->type);
    if ((wanted & ~entry->granted) != 0) return STATUS_ACCESS_DENIED;
    return InsertHandle(target != nullptr ? target : process, entry->object->body(), wanted, result);
}

NTSTATUS CloseHandle(PEPROCESS process, HANDLE handle) {
    if (io::IsKernelHandle(handle)) return STATUS_INVALID_HANDLE;
    return io::CloseHandleIn(process, handle);
}

NTSTATUS CloseHandle(HANDLE handle) { return CloseHandle(CurrentProcess(), handle); }

}  // namespace user
}  // namespace hk

// ---------------------------------------------------------------------------------------------
// WDM object and process routines

using hk::io::HeaderOf;
using hk::io::ObjectHeader;

extern "C" {

LONG_PTR ObfReferenceObject(PVOID Object) {
    ObjectHeader* header = HeaderOf(Object);
    if (header == nullptr) {
        hk::Violation(hk::rule::kObject, "ObReferenceObject(%p): not an object", Object);
        return 0;
    }
    if (header->dead) {
        hk::Violation(hk::rule::kObject, "ObReferenceObject(%p): the %s object was already deleted", Object,
                      header->type->Name);
        return 0;
    }
    return ++header->pointerCount;
}

LONG_PTR ObfDereferenceObject(PVOID Object) {
    ObjectHeader* header = HeaderOf(Object);
    if (header == nullptr) {
        hk::Violation(hk::rule::kObject, "ObDereferenceObject(%p): not an object", Object);
        return 0;
    }
    if (header->dead || header->pointerCount <= 0) {
        hk::Violation(hk::rule::kObject,
                      "ObDereferenceObject(%p): the %s object was already deleted (a reference was dropped twice)",
                      Object, header->type->Name);
        return 0;
    }
    LONG count = --header->pointerCount;
    if (count == 0) hk::io::DeleteObject(header);
    return count;
}

NTSTATUS ObReferenceObjectByPointer(PVOID Object, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                    KPROCESSOR_MODE AccessMode) {
    (void)DesiredAccess;
    (void)AccessMode;
    ObjectHeader* header = HeaderOf(Object);
    if (header == nullptr || header->dead) {
        hk::Violation(hk::rule::kObject, "ObReferenceObjectByPointer(%p): not a live object", Object);
        return STATUS_INVALID_PARAMETER;
    }
    if (ObjectType != nullptr && header->type != ObjectType) return STATUS_OBJECT_TYPE_MISMATCH;
    header->pointerCount++;
    return STATUS_SUCCESS;
}

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID* Object,
                                   POBJECT_HANDLE_INFORMATION HandleInformation) {
    // A user program's handle is referenced in its context at PASSIVE_LEVEL; kernel handles at up
    // to APC_LEVEL.
    hk::io::RequireIrql(AccessMode == UserMode ? PASSIVE_LEVEL : APC_LEVEL,
                        AccessMode == UserMode ? "ObReferenceObjectByHandle with UserMode" : "ObReferenceObjectByHandle");
    *Object = nullptr;
    // Pseudo handles of the current process and thread.
    if (Handle == NtCurrentProcess() || Handle == NtCurrentThread()) {
        PVOID body = Handle == NtCurrentProcess() ? static_cast<PVOID>(hk::CurrentProcess())
                                                  : static_cast<PVOID>(hk::CurrentThread());
        ObjectHeader* header = HeaderOf(body);
        if (header == nullptr || header->dead) return STATUS_INVALID_HANDLE;
        if (ObjectType != nullptr && header->type != ObjectType) return STATUS_OBJECT_TYPE_MISMATCH;
        header->pointerCount++;
        *Object = body;
        if (HandleInformation != nullptr) *HandleInformation = {0, header->type->ValidAccess};
        return STATUS_SUCCESS;
    }
    PEPROCESS current = hk::CurrentProcess();
    bool kernelHandle = hk::io::IsKernelHandle(Handle);
    if (AccessMode == KernelMode && !kernelHandle && current != hk::SystemProcess())
        hk::Violation(hk::rule::kHandle,
                      "ObReferenceObjectByHandle(%p): a user-mode handle of process '%s' referenced with KernelMode "
                      "access (use UserMode for handles from user programs)",
                      Handle, hk::ProcessName(current));
    PEPROCESS owner = nullptr;
    hk::io::HandleEntry* entry = hk::io::LookupHandle(Handle, AccessMode, &owner);
    if (entry == nullptr) {
        if (AccessMode == KernelMode)
            hk::Violation(hk::rule::kHandle, "ObReferenceObjectByHandle(%p): invalid handle referenced in KernelMode",
                          Handle);
        return STATUS_INVALID_HANDLE;
    }
    ObjectHeader* header = entry->object;
    if (ObjectType != nullptr && header->type != ObjectType) return STATUS_OBJECT_TYPE_MISMATCH;
    if (AccessMode != KernelMode) {
        ACCESS_MASK wanted = hk::io::MapGeneric(DesiredAccess, header->type);
        if ((wanted & ~entry->granted) != 0) return STATUS_ACCESS_DENIED;
    }
    header->pointerCount++;
    *Object = header->body();
    if (HandleInformation != nullptr) *HandleInformation = {entry->attributes, entry->granted};
    return STATUS_SUCCESS;
}

NTSTATUS ZwClose(HANDLE Handle) {
    hk::io::RequireIrql(PASSIVE_LEVEL, "ZwClose");
    PEPROCESS current = hk::CurrentProcess();
    bool kernelHandle = hk::io::IsKernelHandle(Handle);
    if (!kernelHandle && current != hk::SystemProcess())
        hk::Violation(hk::rule::kHandle, "ZwClose(%p): a user-mode handle of process '%s' closed from kernel mode",
                      Handle, hk::ProcessName(current));
    PEPROCESS owner = kernelHandle ? hk::SystemProcess() : current;
    NTSTATUS status = hk::io::CloseHandleIn(owner, Handle);
    if (status == STATUS_INVALID_HANDLE)
        hk::Violation(hk::rule::kHandle, "ZwClose(%p): invalid handle", Handle);
    return status;
}

PEPROCESS PsGetCurrentProcess(void) { return hk::CurrentProcess(); }
PEPROCESS IoGetCurrentProcess(void) { return hk::CurrentProcess(); }

HANDLE PsGetProcessId(PEPROCESS Process) {
    hk_io_Process* d = hk::io::ProcessData(Process);
    return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(d == nullptr ? 0 : d->id));
}

HANDLE PsGetCurrentProcessId(void) { return PsGetProcessId(hk::CurrentProcess()); }

NTSTATUS PsGetProcessExitStatus(PEPROCESS Process) {
    hk_io_Process* d = hk::io::ProcessData(Process);
    if (d == nullptr) {
        hk::Violation(hk::rule::kObject, "PsGetProcessExitStatus(%p): not a process", static_cast<void*>(Process));
        return STATUS_INVALID_PARAMETER;
    }
    return d->exited ? STATUS_SUCCESS : STATUS_PENDING;
}

VOID KeStackAttachProcess(PRKPROCESS Process, PRKAPC_STATE ApcState) {
    if (hk::io::ProcessData(Process) == nullptr) {
        hk::Violation(hk::rule::kObject, "KeStackAttachProcess(%p): not a process", static_cast<void*>(Process));
        return;
    }
    RtlZeroMemory(ApcState, sizeof(*ApcState));
    ApcState->Process = hk::CurrentProcess();
    hk::AttachCurrentThread(Process, true);
}

VOID KeUnstackDetachProcess(PRKAPC_STATE ApcState) { hk::AttachCurrentThread(ApcState->Process, false); }

}  // extern "C"
