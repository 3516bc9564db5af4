// AddDevice: the controller's functional device object.
#include "device.h"
#include "driver.h"

// {FFD8C986-DFE8-46A0-8A32-C966FD3DBEDC}
const GUID GUID_KX1394_CONTROLLER_INTERFACE = {
    0xFFD8C986, 0xDFE8, 0x46A0, {0x8A, 0x32, 0xC9, 0x66, 0xFD, 0x3D, 0xBE, 0xDC}};

NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(ControllerDeviceExtension), nullptr, FILE_DEVICE_UNKNOWN,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;

    ControllerDeviceExtension* extension = ControllerExtension(device);
    extension->PhysicalDeviceObject = PhysicalDeviceObject;
    extension->DeviceObject = device;
    extension->OutstandingIo = 1;
    KeInitializeEvent(&extension->RemoveEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&extension->StopEvent, NotificationEvent, FALSE);
    GateInitialize(&extension->Gate, device);
    extension->PnpState = NotStarted;
    extension->PreviousPnpState = NotStarted;

    extension->PowerWorkItem = IoAllocateWorkItem(device);
    if (extension->PowerWorkItem == nullptr) {
        IoDeleteDevice(device);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    device->Flags |= DO_DIRECT_IO;
    if (PhysicalDeviceObject->Flags & DO_POWER_PAGABLE) device->Flags |= DO_POWER_PAGABLE;
    extension->DevicePowerState = PowerDeviceD3;
    extension->SystemPowerState = PowerSystemWorking;
    POWER_STATE state;
    state.DeviceState = PowerDeviceD3;
    PoSetPowerState(device, DevicePowerState, state);

    extension->LowerDeviceObject = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
    if (extension->LowerDeviceObject == nullptr) {
        IoFreeWorkItem(extension->PowerWorkItem);
        IoDeleteDevice(device);
        return STATUS_DEVICE_REMOVED;
    }

    // The interface is registered now and enabled only once the controller has started.
    status = IoRegisterDeviceInterface(PhysicalDeviceObject, &GUID_KX1394_CONTROLLER_INTERFACE, nullptr,
                                       &extension->InterfaceName);
    if (!NT_SUCCESS(status)) {
        IoDetachDevice(extension->LowerDeviceObject);
        IoFreeWorkItem(extension->PowerWorkItem);
        IoDeleteDevice(device);
        return status;
    }

    extension->IsController = TRUE;
    extension->Self = device;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}
