// The bus driver: the DeviceRecord of each served unit found by enumeration, the child device
// object (physical device object) created for it, and the routines the frame and the bus
// management thread reach.
#pragma once

#include "kxplatform.h"
#include "async/kernel_requests.h"
#include "frame/device.h"

struct ChildDeviceExtension;

constexpr ULONG kDeviceTextBytes = 1024;

// Unit kinds served, with the device type of their child.
enum UnitKindValue : ULONG { kUnitIidcCamera = 1, kUnitSbp2 = 2, kUnitIidc14000 = 3 };

struct DeviceRecord {
    LIST_ENTRY Links;
    PDEVICE_OBJECT ChildDevice;
    ControllerDeviceExtension* Controller;
    UCHAR Node;
    ULONG EuiHigh;
    ULONG EuiLow;
    CHAR VendorText[kDeviceTextBytes + 1];
    ULONG VendorLeafHeader;
    CHAR ModelText[kDeviceTextBytes + 1];
    ULONG ModelLeafHeader;
    ULONGLONG UnitDirectoryAddress;
    ULONG UnitDirectorySize;
    ULONGLONG LogicalUnitDirectoryAddress;
    ULONG LogicalUnitDirectorySize;
    ULONG UnitKind;
    ULONG UnitSpecId;
    ULONG UnitSwVersion;
    ULONG DeviceType;
};

// Plug and Play state of a child.
enum ChildPnpStateValue : ULONG {
    kChildNotStarted = 0,
    kChildStarted = 1,
    kChildStopQueried = 2,
    kChildHalted = 3,
    kChildRemoveQueried = 4,
    kChildSurpriseRemoved = 7,
    kChildDeleted = 9,
};

struct ChildDeviceExtension {
    PDEVICE_OBJECT Self;
    BOOLEAN IsController;  // 0: the dispatch routines shared with the controller test it first
    SYSTEM_POWER_STATE SystemPowerState;
    DEVICE_POWER_STATE DevicePowerState;
    ULONG ChildPnpState;
    ULONG PreviousChildPnpState;
    PDEVICE_OBJECT ParentDevice;  // the controller's functional device object
    PWCHAR DeviceId;              // also the single hardware identifier
    PWCHAR CompatibleIds;         // multi-string
    ULONG CompatibleIdsSize;
    volatile ULONG Node;
    volatile BOOLEAN Present;
    BOOLEAN ReportedMissing;
    DeviceRecord* Record;
    ULONG Listening;
    PVOID BandwidthHandle;
    ULONGLONG ResourceHandle;
    PVOID IsochResource;          // the class isochronous resource record (class_isoch.cpp), or none
    KMUTEX RequestMutex;
    volatile LONG Outstanding;    // class requests between dispatch and completion
    KEVENT Idle;                  // set while Outstanding is 0
    volatile LONG Deleting;       // set before the deletion waits for Outstanding: requests fail
};
static_assert(offsetof(ChildDeviceExtension, IsController) == offsetof(ControllerDeviceExtension, IsController),
              "the extensions share their IsController flag");

inline ChildDeviceExtension* ChildExtension(PDEVICE_OBJECT device) {
    return static_cast<ChildDeviceExtension*>(device->DeviceExtension);
}
inline ControllerDeviceExtension* ParentOf(ChildDeviceExtension* child) {
    return ControllerExtension(child->ParentDevice);
}

namespace bus {

// Reads ROMs with the synchronous quadlet reads of async/kernel_requests.h; ReadDeviceIdentity
// answers a ReadResult of theirs.
[[nodiscard]] ULONG ReadDeviceIdentity(ControllerDeviceExtension* controller, ULONG generation, UCHAR node,
                                       DeviceRecord** record);
DeviceRecord* FindDeviceRecord(PLIST_ENTRY list, const DeviceRecord* record);
void FreeDeviceRecord(DeviceRecord* record);

[[nodiscard]] NTSTATUS CreateChildDevice(DeviceRecord* record, ULONG node);
void DeleteChildDevice(DeviceRecord* record);

// The class interface's per-child records released when the child goes.
void ReleaseChildClassRecords(ControllerDeviceExtension* controller, PDEVICE_OBJECT child);

}  // namespace bus
