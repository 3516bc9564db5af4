// Host kernel io: device interfaces, file objects, and what a user program does with a device
// (open, DeviceIoControl, read, write, cancel, close).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "hk_io_internal.h"
#include "hk_mm_test.h"
#include "kx_services.h"

namespace hk {
namespace io {

struct UserRequestData {
    PEPROCESS process = nullptr;
    PKTHREAD thread = nullptr;
    PFILE_OBJECT file = nullptr;  // referenced until the request ends
    PIRP irp = nullptr;
    KEVENT done;
    IO_STATUS_BLOCK iosb{};
    bool finished = false;
    NTSTATUS sendStatus = STATUS_PENDING;
};

namespace {

constexpr ULONG kInterfaceTag = 0x49646d50;  // "PmdI"

struct Interface {
    PDEVICE_OBJECT pdo;
    GUID guid;
    std::string reference;
    std::string name;
    bool enabled = false;
};

struct FileBody {
    FILE_OBJECT object;
    bool opened;               // IRP_MJ_CREATE succeeded: cleanup and close follow
    PDEVICE_OBJECT target;     // top of the stack at open (referenced)
    std::u16string* name;
};

struct UserState {
    std::vector<Interface> interfaces;
    std::vector<UserRequestData*> requests;  // not yet ended
};
UserState* g_user = nullptr;

std::string GuidText(const GUID& g) {
    char text[40];
    snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1, g.Data2, g.Data3,
             g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

Interface* FindInterface(const std::string& name) {
    if (g_user == nullptr) return nullptr;
    for (Interface& i : g_user->interfaces)
        if (Lower(i.name) == Lower(name)) return &i;
    return nullptr;
}

void RequireIrql(KIRQL most, const char* routine) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql > most) Violation(rule::kIrql, "%s called at IRQL %u (must be at most %u)", routine, irql, most);
}

FileBody* BodyOf(PFILE_OBJECT file) { return reinterpret_cast<FileBody*>(file); }

// Sends a request of the I/O manager for a file object and waits for it (kernel requests:
// cleanup and close).
NTSTATUS SendFileRequest(PFILE_OBJECT file, UCHAR major) {
    FileBody* body = BodyOf(file);
    PIRP irp = AllocateIrp(body->target->StackSize, IrpKind::Manager);
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = CurrentThread();
    irp->Tail.Overlay.OriginalFileObject = file;
    irp->Flags |= major == IRP_MJ_CLOSE ? IRP_CLOSE_OPERATION : 0;
    irp->IoStatus.Status = STATUS_SUCCESS;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->FileObject = file;
    return CallAndWait(body->target, irp, nullptr);
}

void DeleteFileBody(PVOID object) {
    FileBody* body = static_cast<FileBody*>(object);
    if (body->opened) {
        RequireIrql(APC_LEVEL, "the last dereference of a file object");
        SendFileRequest(&body->object, IRP_MJ_CLOSE);
    }
    if (body->object.DeviceObject != nullptr) InterlockedDecrement(&body->object.DeviceObject->ReferenceCount);
    if (body->target != nullptr) ObfDereferenceObject(body->target);
    delete body->name;
}

UserRequestData* NewRequest(PEPROCESS process) {
    UserRequestData* r = new UserRequestData;
    r->process = process;
    r->thread = CurrentThread();
    KeInitializeEvent(&r->done, NotificationEvent, FALSE);
    g_user->requests.push_back(r);
    return r;
}

UserRequestData* Failed(UserRequestData* r, NTSTATUS status) {
    r->sendStatus = status;
    r->iosb.Status = status;
    r->iosb.Information = 0;
    r->finished = true;
    return r;
}

// An IRP of the program's thread for a file of the process; completion ends the request `r`.
PIRP NewUserIrp(PEPROCESS process, UserRequestData* r, PDEVICE_OBJECT top, PFILE_OBJECT file, ULONG flags) {
    PIRP irp = AllocateIrp(top->StackSize, IrpKind::User);
    IrpHeader* info = IrpInfo(irp);
    info->process = process;
    info->request = r;
    info->doneEvent = &r->done;
    info->doneIosb = &r->iosb;
    info->doneFlag = &r->finished;
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.Thread = CurrentThread();
    irp->Tail.Overlay.OriginalFileObject = file;
    irp->Flags |= flags;
    return irp;
}

ACCESS_MASK AccessOfCode(ULONG code) {
    ULONG access = (code >> 14) & 3;
    ACCESS_MASK mask = 0;
    if (access & FILE_READ_ACCESS) mask |= FILE_READ_DATA;
    if (access & FILE_WRITE_ACCESS) mask |= FILE_WRITE_DATA;
    return mask;
}

// Builds and sends a request of the program for an open handle. The caller attached to the process.
UserRequestData* SendUser(PEPROCESS process, HANDLE handle, UCHAR major, ULONG code, PVOID in, ULONG inLength,
                          PVOID out, ULONG outLength) {
    UserRequestData* r = NewRequest(process);
    ACCESS_MASK access = major == IRP_MJ_DEVICE_CONTROL ? AccessOfCode(code)
                         : major == IRP_MJ_READ         ? FILE_READ_DATA
                                                        : FILE_WRITE_DATA;
    PVOID object = nullptr;
    NTSTATUS status = ObReferenceObjectByHandle(handle, access, *IoFileObjectType, UserMode, &object, nullptr);
    if (!NT_SUCCESS(status)) return Failed(r, status);
    PFILE_OBJECT file = static_cast<PFILE_OBJECT>(object);
    FileBody* body = BodyOf(file);
    PDEVICE_OBJECT top = body->target;
    ULONG method = major == IRP_MJ_DEVICE_CONTROL ? METHOD_FROM_CTL_CODE(code)
                   : (top->Flags & DO_BUFFERED_IO) ? METHOD_BUFFERED
                   : (top->Flags & DO_DIRECT_IO)   ? (major == IRP_MJ_READ ? METHOD_OUT_DIRECT : METHOD_IN_DIRECT)
                                                   : METHOD_NEITHER;
    if (major == IRP_MJ_WRITE && method != METHOD_NEITHER) {
        // A write's data is the input of the request.
        in = out;
        inLength = outLength;
        out = nullptr;
        outLength = 0;
    }
    // The probes of the I/O manager.
    if (method != METHOD_NEITHER) {
        if (inLength != 0 && !user::Owns(process, in, inLength, false)) {
            ObfDereferenceObject(file);
            return Failed(r, STATUS_ACCESS_VIOLATION);
        }
        if (method == METHOD_BUFFERED && outLength != 0 && !user::Owns(process, out, outLength, true)) {
            ObfDereferenceObject(file);
            return Failed(r, STATUS_ACCESS_VIOLATION);
        }
    }
    PIRP irp = NewUserIrp(process, r, top, file, IRP_SYNCHRONOUS_API);
    IrpHeader* info = IrpInfo(irp);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->FileObject = file;
    if (major == IRP_MJ_DEVICE_CONTROL) {
        stack->Parameters.DeviceIoControl.OutputBufferLength = outLength;
        stack->Parameters.DeviceIoControl.InputBufferLength = inLength;
        stack->Parameters.DeviceIoControl.IoControlCode = code;
    } else {
        stack->Parameters.Read.Length = major == IRP_MJ_READ ? outLength : inLength;
    }
    switch (method) {
        case METHOD_BUFFERED: {
            ULONG size = inLength > outLength ? inLength : outLength;
            if (size != 0) {
                info->systemBuffer = malloc(size);
                memset(info->systemBuffer, 0xCD, size);  // pool is not zeroed
                if (inLength != 0) memcpy(info->systemBuffer, in, inLength);
                irp->AssociatedIrp.SystemBuffer = info->systemBuffer;
                irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
                if (outLength != 0) {
                    irp->Flags |= IRP_INPUT_OPERATION;
                    info->copyBackTo = out;
                    info->copyBackMax = outLength;
                }
            }
            irp->UserBuffer = out;
            break;
        }
        case METHOD_IN_DIRECT:
        case METHOD_OUT_DIRECT: {
            if (major == IRP_MJ_DEVICE_CONTROL && inLength != 0) {
                info->systemBuffer = malloc(inLength);
                memcpy(info->systemBuffer, in, inLength);
                irp->AssociatedIrp.SystemBuffer = info->systemBuffer;
                irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            }
            PVOID data = major == IRP_MJ_WRITE ? in : out;
            ULONG length = major == IRP_MJ_WRITE ? inLength : outLength;
            if (length != 0) {
                PMDL mdl = IoAllocateMdl(data, length, FALSE, FALSE, nullptr);
                NTSTATUS probe = mdl == nullptr ? STATUS_INSUFFICIENT_RESOURCES
                                                : KxProbeAndLockPages(mdl, UserMode,
                                                                      method == METHOD_IN_DIRECT ? IoReadAccess
                                                                                                 : IoWriteAccess);
                if (!NT_SUCCESS(probe)) {
                    if (mdl != nullptr) IoFreeMdl(mdl);
                    info->doneEvent = nullptr;
                    ReleaseIrp(irp);
                    ObfDereferenceObject(file);
                    return Failed(r, probe);
                }
                info->mdl = mdl;
                info->mdlLocked = true;
                irp->MdlAddress = mdl;
            }
            break;
        }
        default:
            stack->Parameters.DeviceIoControl.Type3InputBuffer = major == IRP_MJ_DEVICE_CONTROL ? in : nullptr;
            irp->UserBuffer = major == IRP_MJ_WRITE ? in : out;
            break;
    }
    r->file = file;
    r->irp = irp;
    EnterRequestDispatch();
    status = IofCallDriver(top, irp);
    LeaveRequestDispatch();
    r->sendStatus = status;
    if (!r->finished && status != STATUS_PENDING)
        Violation(rule::kIrpState,
                  "the IRP_MJ 0x%02x routine returned 0x%08X for a request it neither completed nor marked pending",
                  major, static_cast<unsigned>(status));
    return r;
}

NTSTATUS EndRequest(UserRequestData* r, ULONG* returned, const ULONGLONG* timeout100ns) {
    if (!r->finished) {
        AttachProcess attach(r->process);
        EnterUserCall(r->process);
        LARGE_INTEGER timeout;
        if (timeout100ns != nullptr) timeout.QuadPart = -static_cast<LONGLONG>(*timeout100ns);
        NTSTATUS wait =
            KeWaitForSingleObject(&r->done, Executive, KernelMode, FALSE, timeout100ns != nullptr ? &timeout : nullptr);
        LeaveUserCall();
        if (wait == STATUS_TIMEOUT && !r->finished) return STATUS_TIMEOUT;
    }
    NTSTATUS status = r->iosb.Status;
    if (returned != nullptr) *returned = NT_ERROR(status) ? 0 : static_cast<ULONG>(r->iosb.Information);
    if (r->file != nullptr) ObfDereferenceObject(r->file);
    auto& list = g_user->requests;
    for (size_t i = 0; i < list.size(); ++i)
        if (list[i] == r) {
            list.erase(list.begin() + static_cast<long>(i));
            break;
        }
    delete r;
    return status;
}

NTSTATUS OpenInterface(PEPROCESS process, const Interface& iface, PHANDLE handle) {
    *handle = nullptr;
    AttachProcess attach(process);
    EnterUserCall(process);
    PDEVICE_OBJECT pdo = iface.pdo;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    if (top->Flags & DO_DEVICE_INITIALIZING) {
        ObfDereferenceObject(top);
        LeaveUserCall();
        return STATUS_NO_SUCH_DEVICE;
    }
    FileBody* body = static_cast<FileBody*>(CreateObject(FileType(), sizeof(FileBody), DeleteFileBody));
    PFILE_OBJECT file = &body->object;
    body->target = top;
    body->name = new std::u16string(iface.reference.empty() ? u"" : Widen("\\" + iface.reference));
    file->Type = IO_TYPE_FILE;
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = pdo;
    file->Flags = FO_SYNCHRONOUS_IO;
    file->ReadAccess = TRUE;
    file->WriteAccess = TRUE;
    file->FileName.Buffer = reinterpret_cast<PWSTR>(&(*body->name)[0]);
    file->FileName.Length = static_cast<USHORT>(body->name->size() * sizeof(WCHAR));
    file->FileName.MaximumLength = file->FileName.Length;
    InitializeListHead(&file->IrpList);
    InterlockedIncrement(&pdo->ReferenceCount);

    IO_SECURITY_CONTEXT security{};
    security.DesiredAccess = FILE_GENERIC_READ | FILE_GENERIC_WRITE;
    UserRequestData* r = NewRequest(process);
    PIRP irp = NewUserIrp(process, r, top, file, IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_CREATE;
    stack->FileObject = file;
    stack->Parameters.Create.SecurityContext = &security;
    stack->Parameters.Create.Options = 1u << 24;  // FILE_OPEN
    stack->Parameters.Create.ShareAccess = 3;     // read and write sharing
    r->irp = irp;
    EnterRequestDispatch();
    r->sendStatus = IofCallDriver(top, irp);
    LeaveRequestDispatch();
    LeaveUserCall();
    NTSTATUS status = EndRequest(r, nullptr, nullptr);
    if (!NT_SUCCESS(status)) {
        ObfDereferenceObject(file);  // no cleanup or close for a failed create
        return status;
    }
    body->opened = true;
    file->Flags |= FO_HANDLE_CREATED;
    status = InsertHandle(process, file, FILE_GENERIC_READ | FILE_GENERIC_WRITE, handle);
    ObfDereferenceObject(file);
    return status;
}

}  // namespace

void FileCloseLastHandle(PEPROCESS process, PVOID object) {
    (void)process;
    FileBody* body = static_cast<FileBody*>(object);
    if (!body->opened) return;
    SendFileRequest(&body->object, IRP_MJ_CLEANUP);
    body->object.Flags |= FO_CLEANUP_COMPLETE;
}

void InterfacesBoot() {}
void InterfacesShutdown() {}
void UserBoot() { g_user = new UserState; }
void UserShutdown() {
    for (UserRequestData* r : g_user->requests)
        if (r->finished) delete r;  // requests still in a driver are left to it
    delete g_user;
    g_user = nullptr;
}

void CancelProcessRequests(PEPROCESS process) {
    std::vector<UserRequestData*> list = g_user->requests;
    for (UserRequestData* r : list) {
        bool live = false;
        for (UserRequestData* l : g_user->requests) live = live || l == r;
        if (live && r->process == process && !r->finished && r->irp != nullptr) IoCancelIrp(r->irp);
    }
}

void RemoveInterfacesOf(PDEVICE_OBJECT pdo) {
    if (g_user == nullptr) return;
    auto& list = g_user->interfaces;
    for (size_t i = 0; i < list.size();)
        if (list[i].pdo == pdo)
            list.erase(list.begin() + static_cast<long>(i));
        else
            ++i;
}

void DisableInterfacesOf(PDEVICE_OBJECT pdo) {
    if (g_user == nullptr) return;
    for (Interface& i : g_user->interfaces)
        if (i.pdo == pdo) i.enabled = false;
}

}  // namespace io

namespace iface {
std::vector<std::string> Names(const GUID& interfaceClass) {
    std::vector<std::string> out;
    for (const io::Interface& i : io::g_user->interfaces)
        if (IsEqualGUID(i.guid, interfaceClass)) out.push_back(i.name);
    return out;
}
bool IsEnabled(const std::string& symbolicLinkName) {
    io::Interface* i = io::FindInterface(symbolicLinkName);
    return i != nullptr && i->enabled;
}
}  // namespace iface

namespace user {

struct Request : io::UserRequestData {};

NTSTATUS OpenDeviceInterface(PEPROCESS process, const GUID& interfaceClass, ULONG index, PHANDLE handle) {
    *handle = nullptr;
    ULONG seen = 0;
    for (const io::Interface& i : io::g_user->interfaces) {
        if (!IsEqualGUID(i.guid, interfaceClass) || !i.enabled) continue;
        if (seen++ == index) {
            io::Interface copy = i;
            return io::OpenInterface(process, copy, handle);
        }
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS OpenDeviceInterface(PEPROCESS process, const std::string& symbolicLinkName, PHANDLE handle) {
    *handle = nullptr;
    io::Interface* i = io::FindInterface(symbolicLinkName);
    if (i == nullptr || !i->enabled) return STATUS_OBJECT_NAME_NOT_FOUND;
    io::Interface copy = *i;
    return io::OpenInterface(process, copy, handle);
}

namespace {
Request* Begin(PEPROCESS process, HANDLE handle, UCHAR major, ULONG code, PVOID in, ULONG inLength, PVOID out,
               ULONG outLength) {
    io::AttachProcess attach(process);
    io::EnterUserCall(process);
    io::UserRequestData* r = io::SendUser(process, handle, major, code, in, inLength, out, outLength);
    io::LeaveUserCall();
    return static_cast<Request*>(r);
}
}  // namespace

Request* BeginDeviceIoControl(PEPROCESS process, HANDLE handle, ULONG code, PVOID in, ULONG inLength, PVOID out,
                              ULONG outLength) {
    return Begin(process, handle, IRP_MJ_DEVICE_CONTROL, code, in, inLength, out, outLength);
}

Request* BeginRead(PEPROCESS process, HANDLE handle, PVOID buffer, ULONG length) {
    return Begin(process, handle, IRP_MJ_READ, 0, nullptr, 0, buffer, length);
}

bool IsDone(Request* request) { return request->finished; }

NTSTATUS SendStatus(Request* request) { return request->sendStatus; }

NTSTATUS End(Request* request, ULONG* returned, const ULONGLONG* timeout100ns) {
    return io::EndRequest(request, returned, timeout100ns);
}

NTSTATUS DeviceIoControl(PEPROCESS process, HANDLE handle, ULONG code, PVOID in, ULONG inLength, PVOID out,
                         ULONG outLength, ULONG* returned) {
    return End(BeginDeviceIoControl(process, handle, code, in, inLength, out, outLength), returned);
}

NTSTATUS Read(PEPROCESS process, HANDLE handle, PVOID buffer, ULONG length, ULONG* transferred) {
    return End(BeginRead(process, handle, buffer, length), transferred);
}

NTSTATUS Write(PEPROCESS process, HANDLE handle, PVOID buffer, ULONG length, ULONG* transferred) {
    return End(Begin(process, handle, IRP_MJ_WRITE, 0, nullptr, 0, buffer, length), transferred);
}

ULONG CancelIo(PEPROCESS process, HANDLE handle) {
    io::AttachProcess attach(process);
    PVOID object = nullptr;
    if (!NT_SUCCESS(ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, UserMode, &object, nullptr))) return 0;
    ULONG count = 0;
    std::vector<io::UserRequestData*> list = io::g_user->requests;
    for (io::UserRequestData* r : list) {
        bool live = false;
        for (io::UserRequestData* l : io::g_user->requests) live = live || l == r;
        if (!live || r->file != object || r->finished || r->irp == nullptr) continue;
        IoCancelIrp(r->irp);
        ++count;
    }
    ObfDereferenceObject(object);
    return count;
}

}  // namespace user
}  // namespace hk

extern "C" {

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
    hk::io::RequireIrql(PASSIVE_LEVEL, "IoRegisterDeviceInterface");
    if (PhysicalDeviceObject == nullptr || !hk::io::IsObject(PhysicalDeviceObject) ||
        hk::io::Ext(PhysicalDeviceObject)->Node == nullptr)
        return STATUS_INVALID_DEVICE_REQUEST;
    std::string reference = ReferenceString != nullptr ? hk::io::Narrow(ReferenceString) : std::string();
    hk::io::Interface* found = nullptr;
    for (hk::io::Interface& i : hk::io::g_user->interfaces)
        if (i.pdo == PhysicalDeviceObject && IsEqualGUID(i.guid, *InterfaceClassGuid) &&
            hk::io::Lower(i.reference) == hk::io::Lower(reference))
            found = &i;
    if (found == nullptr) {
        std::string id = hk::io::NodeDeviceId(PhysicalDeviceObject);
        std::string instance = hk::io::NodeInstanceId(PhysicalDeviceObject);
        if (id.empty()) id = "ROOT\\UNKNOWN";
        std::string name = "\\??\\" + id + "#" + instance + "#" + hk::io::GuidText(*InterfaceClassGuid);
        for (char& c : name)
            if (c == '\\' && &c > &name[3]) c = '#';
        if (!reference.empty()) name += "\\" + reference;
        hk::io::g_user->interfaces.push_back({PhysicalDeviceObject, *InterfaceClassGuid, reference, name, false});
        found = &hk::io::g_user->interfaces.back();
    }
    std::u16string wide = hk::io::Widen(found->name);
    PWCHAR buffer = hk::io::PoolString(wide, hk::io::kInterfaceTag);
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = static_cast<USHORT>(wide.size() * sizeof(WCHAR));
    SymbolicLinkName->MaximumLength = static_cast<USHORT>(SymbolicLinkName->Length + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
    hk::io::RequireIrql(PASSIVE_LEVEL, "IoSetDeviceInterfaceState");
    hk::io::Interface* i = hk::io::FindInterface(hk::io::Narrow(SymbolicLinkName));
    if (i == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (Enable) {
        if (i->enabled) return STATUS_OBJECT_NAME_EXISTS;
        i->enabled = true;
        return STATUS_SUCCESS;
    }
    if (!i->enabled) return STATUS_OBJECT_NAME_NOT_FOUND;
    i->enabled = false;
    return STATUS_SUCCESS;
}

}  // extern "C"
