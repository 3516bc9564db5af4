// Host kernel io: driver objects (load, unload) and device objects (create, delete, attach,
// detach, properties).
#include <stdio.h>
#include <string.h>

#include "hk_io_internal.h"

namespace hk {
namespace io {
namespace {

struct DriverBody {
    DRIVER_OBJECT object;
    DRIVER_EXTENSION extension;
    std::u16string* name;
    std::u16string* service;
};

struct DeviceTable {
    std::map<std::string, PDEVICE_OBJECT> names;  // lower-case name -> device
    ULONG nextAutoName = 1;
};
DeviceTable* g_devices = nullptr;

void RequireIrql(KIRQL most, const char* routine) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql > most) Violation(rule::kIrql, "%s called at IRQL %u (must be at most %u)", routine, irql, most);
}

void DeleteDriverBody(PVOID body) {
    DriverBody* d = static_cast<DriverBody*>(body);
    delete d->name;
    delete d->service;
}

void DeleteDeviceBody(PVOID body) {
    PDEVICE_OBJECT device = static_cast<PDEVICE_OBJECT>(body);
    _DEVOBJ_EXTENSION* ext = device->DeviceObjectExtension;
    PDRIVER_OBJECT driver = device->DriverObject;
    delete ext;
    device->DeviceObjectExtension = nullptr;
    if (driver != nullptr) ObfDereferenceObject(driver);  // the device kept its driver alive
}

PDRIVER_OBJECT NewDriverObject(const std::string& name, const std::string& service) {
    DriverBody* body = static_cast<DriverBody*>(CreateObject(DriverType(), sizeof(DriverBody), DeleteDriverBody));
    PDRIVER_OBJECT driver = &body->object;
    body->name = new std::u16string(Widen(name));
    body->service = new std::u16string(Widen(service));
    driver->Type = IO_TYPE_DRIVER;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = &body->extension;
    body->extension.DriverObject = driver;
    driver->DriverName.Buffer = reinterpret_cast<PWSTR>(&(*body->name)[0]);
    driver->DriverName.Length = static_cast<USHORT>(body->name->size() * 2);
    driver->DriverName.MaximumLength = driver->DriverName.Length;
    body->extension.ServiceKeyName.Buffer = reinterpret_cast<PWSTR>(&(*body->service)[0]);
    body->extension.ServiceKeyName.Length = static_cast<USHORT>(body->service->size() * 2);
    body->extension.ServiceKeyName.MaximumLength = body->extension.ServiceKeyName.Length;
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = InvalidDeviceRequest;
    return driver;
}

}  // namespace

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    // Power IRPs must reach the bus driver even when a driver has no power routine; other requests
    // are refused, as the I/O manager's default routine does.
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

PDRIVER_OBJECT CreateDriverObject(const std::string& name, const std::string& service) {
    return NewDriverObject(name, service);
}

void DevicesBoot() { g_devices = new DeviceTable; }
void DevicesShutdown() {
    delete g_devices;
    g_devices = nullptr;
}

}  // namespace io

// ---------------------------------------------------------------------------------------------
// Loading and unloading

NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, const char* serviceName, PDRIVER_OBJECT* driver) {
    *driver = nullptr;
    std::string service = serviceName;
    std::string keyPath = reg::ServicePath(serviceName);
    reg::CreateKey(keyPath);
    PDRIVER_OBJECT object = io::NewDriverObject(std::string("\\Driver\\") + service, service);
    object->DriverInit = entry;

    // The registry path is valid only during DriverEntry, as on Windows.
    std::u16string wide = io::Widen(keyPath);
    WCHAR* buffer = new WCHAR[wide.size() + 1];
    memcpy(buffer, wide.c_str(), (wide.size() + 1) * sizeof(WCHAR));
    UNICODE_STRING registryPath;
    registryPath.Buffer = buffer;
    registryPath.Length = static_cast<USHORT>(wide.size() * 2);
    registryPath.MaximumLength = static_cast<USHORT>(registryPath.Length + 2);

    NTSTATUS status;
    {
        io::AttachProcess attach(SystemProcess());
        if (KeGetCurrentIrql() != PASSIVE_LEVEL)
            Violation(rule::kIrql, "LoadDriver called at IRQL %u", KeGetCurrentIrql());
        status = entry(object, &registryPath);
    }
    delete[] buffer;

    if (!NT_SUCCESS(status)) {
        if (object->DeviceObject != nullptr)
            Violation(rule::kObject, "DriverEntry of %s failed (0x%08X) but left device objects behind",
                      serviceName, static_cast<unsigned>(status));
        ReportLeaks();
        ObfDereferenceObject(object);
        return status;
    }
    // Devices created in DriverEntry are ready once it returns.
    for (PDEVICE_OBJECT d = object->DeviceObject; d != nullptr; d = d->NextDevice) d->Flags &= ~DO_DEVICE_INITIALIZING;
    *driver = object;
    return status;
}

void UnloadDriver(PDRIVER_OBJECT driver) {
    if (driver == nullptr) return;
    if (driver->DeviceObject != nullptr) {
        int count = 0;
        for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr; d = d->NextDevice) ++count;
        Violation(rule::kObject, "UnloadDriver(%s): %d device object(s) of the driver were not deleted",
                  io::Narrow(&driver->DriverName).c_str(), count);
    }
    {
        io::AttachProcess attach(SystemProcess());
        if (driver->DriverUnload != nullptr) driver->DriverUnload(driver);
    }
    ReportLeaks();
    ObfDereferenceObject(driver);
}

}  // namespace hk

// ---------------------------------------------------------------------------------------------
// Device objects

using hk::io::Ext;

extern "C" {

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject) {
    hk::io::RequireIrql(PASSIVE_LEVEL, "IoCreateDevice");
    *DeviceObject = nullptr;
    std::string name;
    if (DeviceName != nullptr && DeviceName->Length != 0) {
        name = hk::io::Narrow(DeviceName);
    } else if (DeviceCharacteristics & FILE_AUTOGENERATED_DEVICE_NAME) {
        char text[32];
        snprintf(text, sizeof text, "\\Device\\%08x", hk::io::g_devices->nextAutoName++);
        name = text;
    }
    if (!name.empty() && hk::io::g_devices->names.count(hk::io::Lower(name)) != 0)
        return STATUS_OBJECT_NAME_COLLISION;

    SIZE_T extensionOffset = (sizeof(DEVICE_OBJECT) + 15) & ~SIZE_T(15);
    PDEVICE_OBJECT device = static_cast<PDEVICE_OBJECT>(
        hk::CreateObject(hk::io::DeviceType(), extensionOffset + DeviceExtensionSize, hk::io::DeleteDeviceBody));
    if (device == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    device->Type = IO_TYPE_DEVICE;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    ObfReferenceObject(DriverObject);
    device->DeviceExtension = DeviceExtensionSize != 0 ? reinterpret_cast<char*>(device) + extensionOffset : nullptr;
    device->DeviceType = DeviceType;
    device->Characteristics = DeviceCharacteristics & ~FILE_AUTOGENERATED_DEVICE_NAME;
    device->StackSize = 1;
    device->Flags = DO_DEVICE_INITIALIZING;
    if (Exclusive) device->Flags |= DO_EXCLUSIVE;
    if (!name.empty()) device->Flags |= DO_DEVICE_HAS_NAME;
    device->SectorSize = 0;
    InitializeListHead(&device->Queue.ListEntry);
    _DEVOBJ_EXTENSION* ext = new _DEVOBJ_EXTENSION();
    ext->Device = device;
    ext->AttachedTo = nullptr;
    ext->Deleted = false;
    ext->Name = name;
    ext->Node = nullptr;
    ext->SystemState = PowerSystemWorking;
    ext->DeviceState = PowerDeviceUnspecified;
    device->DeviceObjectExtension = ext;
    if (!name.empty()) hk::io::g_devices->names[hk::io::Lower(name)] = device;
    // Newest first, as Windows links them.
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

void IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    hk::io::RequireIrql(PASSIVE_LEVEL, "IoDeleteDevice");
    if (!hk::io::IsObject(DeviceObject) || hk::TypeOfObject(DeviceObject) != hk::io::DeviceType()) {
        hk::Violation(hk::rule::kObject, "IoDeleteDevice(%p): not a live device object", DeviceObject);
        return;
    }
    _DEVOBJ_EXTENSION* ext = Ext(DeviceObject);
    if (ext->Deleted) {
        hk::Violation(hk::rule::kObject, "IoDeleteDevice(%p): the device was already deleted", DeviceObject);
        return;
    }
    if (ext->AttachedTo != nullptr)
        hk::Violation(hk::rule::kObject,
                      "IoDeleteDevice(%p): the device is still attached to device %p (call IoDetachDevice first)",
                      DeviceObject, ext->AttachedTo);
    // A bus driver deletes the physical device object of a device that is gone while it handles
    // IRP_MN_REMOVE_DEVICE, below the function driver that passed the request down and detaches
    // after it returns; as on Windows, the object then lives on until that detach.
    if (DeviceObject->AttachedDevice != nullptr && !(DeviceObject->Flags & DO_BUS_ENUMERATED_DEVICE))
        hk::Violation(hk::rule::kObject, "IoDeleteDevice(%p): device %p is still attached on top of it", DeviceObject,
                      DeviceObject->AttachedDevice);
    ext->Deleted = true;
    hk::io::OnDeviceDeleted(DeviceObject);
    if (!ext->Name.empty()) hk::io::g_devices->names.erase(hk::io::Lower(ext->Name));
    PDRIVER_OBJECT driver = DeviceObject->DriverObject;
    for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link != nullptr; link = &(*link)->NextDevice) {
        if (*link == DeviceObject) {
            *link = DeviceObject->NextDevice;
            break;
        }
    }
    DeviceObject->NextDevice = nullptr;
    ObfDereferenceObject(DeviceObject);
}

PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_OBJECT top = DeviceObject;
    while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
    return top;
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_OBJECT top = IoGetAttachedDevice(DeviceObject);
    ObfReferenceObject(top);
    return top;
}

PDEVICE_OBJECT IoGetLowerDeviceObject(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_OBJECT lower = Ext(DeviceObject)->AttachedTo;
    if (lower != nullptr) ObfReferenceObject(lower);
    return lower;
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
    hk::io::RequireIrql(PASSIVE_LEVEL, "IoAttachDeviceToDeviceStack");
    PDEVICE_OBJECT top = IoGetAttachedDevice(TargetDevice);
    if (Ext(top)->Deleted) return nullptr;
    if (Ext(SourceDevice)->AttachedTo != nullptr) {
        hk::Violation(hk::rule::kObject, "IoAttachDeviceToDeviceStack(%p): the device is already attached",
                      SourceDevice);
        return nullptr;
    }
    top->AttachedDevice = SourceDevice;
    Ext(SourceDevice)->AttachedTo = top;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    if (top->AlignmentRequirement > SourceDevice->AlignmentRequirement)
        SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    SourceDevice->SectorSize = top->SectorSize;
    ObfReferenceObject(top);
    return top;
}

void IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    hk::io::RequireIrql(PASSIVE_LEVEL, "IoDetachDevice");
    PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
    if (above == nullptr) {
        hk::Violation(hk::rule::kObject, "IoDetachDevice(%p): nothing is attached to this device", TargetDevice);
        return;
    }
    TargetDevice->AttachedDevice = nullptr;
    Ext(above)->AttachedTo = nullptr;
    ObfDereferenceObject(TargetDevice);
}

BOOLEAN IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
    USHORT offered = hk::CurrentOptions().wdmVersion;
    USHORT asked = static_cast<USHORT>((MajorVersion << 8) | MinorVersion);
    return asked <= offered ? TRUE : FALSE;
}

}  // extern "C"
