// The controller's functional device object: its extension, the dispatch entry points, the
// OutstandingIo count and the request gate that keeps requests away from a controller that is
// halting, powered down or gone.
#pragma once

#include "kxplatform.h"
#include "core/controller.h"

// Device interface class through which user programs find and open the controller.
extern const GUID GUID_KX1394_CONTROLLER_INTERFACE;

enum PnpDeviceState : ULONG {
    NotStarted = 0,
    Started = 1,
    StopQueried = 2,
    Halted = 3,
    RemoveQueried = 4,
    Removed = 5,
    SurpriseRemoved = 6,
};

// Hold queue and active count for read, write and device-control requests. Every field is guarded
// by Lock; requests are completed and dispatch routines called only after Lock is released.
struct RequestGate {
    PDEVICE_OBJECT Device;  // its extension gives DevicePowerState, its driver the dispatch table
    KEVENT IdleEvent;       // notification; set when Active falls to 0
    LIST_ENTRY Held;        // held requests, linked through Irp->Tail.Overlay.ListEntry
    KSPIN_LOCK Lock;
    LONG HoldCount;         // > 0: new requests are held; 1 until the first start
    LONG Active;            // requests that passed the gate and have not left it
    NTSTATUS GateStatus;    // STATUS_NO_SUCH_DEVICE after removal or surprise removal
    PIRP Replaying;         // the request being re-dispatched from the hold queue
};

// A memory resource of the controller (Plug and Play start).
struct ResourceWindow {
    PVOID Address;
    ULONG Length;
    BOOLEAN Mapped;  // mapped with MmMapIoSpace and to be unmapped
    BOOLEAN IsPort;
};

struct ControllerDeviceExtension {
    PDEVICE_OBJECT Self;
    BOOLEAN IsController;  // 1 here; 0 in a child device's extension. Tested first by shared routines.
    PDEVICE_OBJECT DeviceObject;
    PDEVICE_OBJECT PhysicalDeviceObject;
    PDEVICE_OBJECT LowerDeviceObject;
    volatile LONG OutstandingIo;  // requests in progress plus one bias
    KEVENT RemoveEvent;           // set when OutstandingIo reaches 0
    KEVENT StopEvent;             // set when OutstandingIo falls to 1, cleared when it rises to 2
    RequestGate Gate;
    PnpDeviceState PnpState;
    PnpDeviceState PreviousPnpState;
    UNICODE_STRING InterfaceName;
    SYSTEM_POWER_STATE SystemPowerState;
    DEVICE_POWER_STATE DevicePowerState;
    DEVICE_CAPABILITIES Capabilities;
    PIO_WORKITEM PowerWorkItem;
    ResourceWindow RegisterWindow;
    ResourceWindow SecondWindow;
    ULONG InterruptVector;
    KIRQL InterruptLevel;
    KAFFINITY InterruptAffinity;
    KINTERRUPT_MODE InterruptMode;
    BOOLEAN InterruptShared;
    PKINTERRUPT InterruptObject;
    OhciController Controller;
};

// The first field every device extension of this driver shares.
inline bool IsControllerDevice(PDEVICE_OBJECT device) {
    return static_cast<ControllerDeviceExtension*>(device->DeviceExtension)->IsController != 0;
}
inline ControllerDeviceExtension* ControllerExtension(PDEVICE_OBJECT device) {
    return static_cast<ControllerDeviceExtension*>(device->DeviceExtension);
}

NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);

NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);

void AcquireIo(ControllerDeviceExtension* extension);
void ReleaseIo(ControllerDeviceExtension* extension);

void GateInitialize(RequestGate* gate, PDEVICE_OBJECT device);
// STATUS_SUCCESS: proceed and call GateLeave later. STATUS_PENDING: the request was held and
// marked pending; return STATUS_PENDING at once. Any other status: the request was completed.
[[nodiscard]] NTSTATUS GateEnter(RequestGate* gate, PIRP Irp);
void GateLeave(RequestGate* gate);
void GateStall(ControllerDeviceExtension* extension);
void GateRelease(ControllerDeviceExtension* extension);
// Completes held requests with STATUS_CANCELLED: those of one file object, or all (null).
void GateCancelHeld(RequestGate* gate, PFILE_OBJECT fileObject);
// Ends the gate for good: new and held requests fail with `status`.
void GateClose(RequestGate* gate, NTSTATUS status);

// Sends the request to the lower driver and waits for it; returns its final status. The request
// is still owned by the caller afterwards.
NTSTATUS ForwardAndWait(PDEVICE_OBJECT lowerDevice, PIRP Irp);
// Completes a request with a status and no information.
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS status);
// Skips this stack location and calls the lower driver.
NTSTATUS PassDown(ControllerDeviceExtension* extension, PIRP Irp);
