// Device-control entry points. Requests pass the request gate; the private control codes of the
// user interface (kx1394.h) are checked against the code table, then answered here or handed to
// the engine that carries them out.
#include "bus_hooks.h"
#include "device.h"
#include "kx1394.h"
#include "core/controller.h"
#include "ohci/ohci_registers.h"
#include "ohci/register_access.h"
#include "user_async.h"
#include "user_isoch.h"
#include "user_control.h"

namespace {

constexpr NTSTATUS kStatusInternalError = NTSTATUS(0xC00000E5u);  // STATUS_INTERNAL_ERROR

constexpr UCHAR kPhyRegister5 = 5;
constexpr UCHAR kPhyIsbr = 0x40;               // initiate short (arbitrated) bus reset
constexpr ULONG kVersionMajorShift = 16;       // OHCI Version register: version in bits 23:16
constexpr ULONG kVersionByteMask = 0xFF;
constexpr USHORT kNodeBusMask = 0xFFC0;
constexpr USHORT kNodePhysicalMask = 0x3F;
constexpr ULONG kNoSpeed = 0x0F;
constexpr ULONG kSpeedRow = 64;

// Length rules of the code table.
enum LengthRule : UCHAR { Any, Exact, AtLeast };

typedef NTSTATUS (*ControlHandler)(ControlRequest* request);

struct ControlCode {
    ULONG Code;
    LengthRule InputRule;
    UCHAR InputLength;
    LengthRule OutputRule;
    UCHAR OutputLength;
    UCHAR Information;
    ControlHandler Handler;
};

bool LengthFits(LengthRule rule, ULONG wanted, ULONG length) {
    switch (rule) {
    case Exact: return length == wanted;
    case AtLeast: return length >= wanted;
    default: return true;
    }
}

bool ResetActive(const OhciController* controller) { return controller->BusResetActive != 0; }

// Waits, alertably and without time limit, for a topology gate; false when the wait was
// interrupted (the thread alerted, or its process ending).
bool WaitForGate(PKEVENT gate) {
    return KeWaitForSingleObject(gate, Executive, UserMode, TRUE, nullptr) == STATUS_SUCCESS;
}

// The codes carried out by the asynchronous, isochronous and address-range engines: their length
// checks are done; the engines are not part of this driver yet.
NTSTATUS NotYetServed(ControlRequest* request) {
    UNREFERENCED_PARAMETER(request);
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS RefuseUnusedCode(ControlRequest* request) {
    UNREFERENCED_PARAMETER(request);
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS SetBusResetEvent(ControlRequest* request) {
    return RegisterBusNotification(request->Controller, UserHandleAt(request->Input, request->Is32bit),
                                   kBusResetNotification);
}

NTSTATUS SetBusReadyEvent(ControlRequest* request) {
    return RegisterBusNotification(request->Controller, UserHandleAt(request->Input, request->Is32bit),
                                   kBusReadyNotification);
}

NTSTATUS DoRegisterClient(ControlRequest* request) {
    return RegisterClient(request->Controller, request) ? STATUS_SUCCESS : kStatusInternalError;
}

NTSTATUS GetInterfaceVersion(ControlRequest* request) {
    StoreU16(request->Output, KX1394_INTERFACE_VERSION);
    return STATUS_SUCCESS;
}

NTSTATUS GetOhciVersion(ControlRequest* request) {
    ULONG version = ReadRegisterValue(request->Controller, ohci::kVersion);
    request->Output[0] = UCHAR((version >> kVersionMajorShift) & kVersionByteMask);
    request->Output[1] = UCHAR(version & kVersionByteMask);
    return STATUS_SUCCESS;
}

NTSTATUS GetLocalGuid(ControlRequest* request) {
    StoreU32(request->Output, request->Controller->GuidLo);
    StoreU32(request->Output + 4, request->Controller->GuidHi);
    return STATUS_SUCCESS;
}

// Status byte, then one value byte unless a bus reset is in progress.
NTSTATUS AnswerByte(ControlRequest* request, UCHAR value) {
    if (ResetActive(request->Controller)) {
        request->Output[0] = KX1394_ANSWER_BUS_RESET;
        return STATUS_SUCCESS;
    }
    request->Output[1] = value;
    request->Output[0] = KX1394_ANSWER_DONE;
    return STATUS_SUCCESS;
}

NTSTATUS GetLocalNode(ControlRequest* request) {
    return AnswerByte(request, request->Controller->LocalNodeNumber);
}

NTSTATUS GetNodeCount(ControlRequest* request) { return AnswerByte(request, UCHAR(request->Controller->NodeCount)); }

NTSTATUS GetIrmNode(ControlRequest* request) { return AnswerByte(request, request->Controller->IrmNodeNumber); }

NTSTATUS GetBusResetCount(ControlRequest* request) {
    if (ResetActive(request->Controller)) {
        request->Output[0] = KX1394_ANSWER_BUS_RESET;
        return STATUS_SUCCESS;
    }
    StoreU32(request->Output + 1, request->Controller->BusResetCount);
    request->Output[0] = KX1394_ANSWER_DONE;
    return STATUS_SUCCESS;
}

NTSTATUS GetBusResetState(ControlRequest* request) {
    StoreU32(request->Output, ResetActive(request->Controller) ? 1 : 0);
    return STATUS_SUCCESS;
}

NTSTATUS GetLinkActiveNodes(ControlRequest* request) {
    OhciController* controller = request->Controller;
    if (ResetActive(controller)) {
        request->Output[0] = KX1394_ANSWER_BUS_RESET;
        return STATUS_SUCCESS;
    }
    if (!WaitForGate(&controller->EnumerationDone)) {
        request->Output[0] = KX1394_ANSWER_INTERRUPTED;
        return STATUS_SUCCESS;
    }
    KIRQL irql;
    KeAcquireSpinLock(&controller->TopologyLock, &irql);
    ULONGLONG mask = controller->ActiveLinkMask;
    ULONG count = controller->ActiveLinkCount;
    KeReleaseSpinLock(&controller->TopologyLock, irql);
    StoreU64(request->Output + 1, mask);
    request->Output[9] = UCHAR(count);
    request->Output[0] = KX1394_ANSWER_DONE;
    return STATUS_SUCCESS;
}

// The speed code from the local node to physical ID `node`, or kNoSpeed. The local node number is
// masked: it is 0xFF (no node) while a reset runs, and row 63 does not exist.
ULONG SpeedToNode(OhciController* controller, ULONG node) {
    ULONG local = controller->LocalNodeNumber & kNodePhysicalMask;
    if (local == kMaxNodes || controller->SpeedTable == nullptr) return kNoSpeed;
    KeWaitForSingleObject(&controller->SpeedTableMutex, Executive, KernelMode, FALSE, nullptr);
    ULONG speed = controller->SpeedTable[local * kSpeedRow + node];
    KeReleaseMutex(&controller->SpeedTableMutex, FALSE);
    return speed;
}

NTSTATUS GetNodeSpeed(ControlRequest* request) {
    OhciController* controller = request->Controller;
    USHORT nodeId = LoadU16(request->Input);
    PUCHAR out = request->Output;
    if (ResetActive(controller)) {
        out[0] = KX1394_ANSWER_BUS_RESET;
        return STATUS_SUCCESS;
    }
    if ((nodeId & kNodeBusMask) == 0) {
        out[0] = KX1394_ANSWER_NO_BUS_NUMBER;
        return STATUS_SUCCESS;
    }
    ULONG node = nodeId & kNodePhysicalMask;
    if (node == kMaxNodes || node >= controller->NodeCount) {
        out[0] = KX1394_ANSWER_NO_SUCH_NODE;
        return STATUS_SUCCESS;
    }
    if (!WaitForGate(&controller->AsyncGate)) {
        out[0] = KX1394_ANSWER_INTERRUPTED;
        return STATUS_SUCCESS;
    }
    // A reset that began during the wait leaves no valid local node.
    if (ResetActive(controller)) {
        out[0] = KX1394_ANSWER_BUS_RESET;
        return STATUS_SUCCESS;
    }
    ULONG speed = SpeedToNode(controller, node);
    if (speed == kNoSpeed) {
        out[0] = KX1394_ANSWER_NO_SUCH_NODE;
        return STATUS_SUCCESS;
    }
    out[1] = UCHAR(speed);
    out[0] = KX1394_ANSWER_DONE;
    return STATUS_SUCCESS;
}

NTSTATUS BusReset(ControlRequest* request) {
    OhciController* controller = request->Controller;
    ULONG kind = LoadU32(request->Input);
    ULONG initiated = KX1394_BUS_RESET_REFUSED;
    if (controller->BusResetRecent == 0) {
        if (kind == KX1394_BUS_RESET_LONG) {
            InitiateBusReset(controller);
            initiated = KX1394_BUS_RESET_INITIATED;
        } else if (kind == KX1394_BUS_RESET_SHORT) {
            UCHAR value = ReadPhyRegister(controller, kPhyRegister5);
            WritePhyRegister(controller, kPhyRegister5, UCHAR(value | kPhyIsbr));
            initiated = KX1394_BUS_RESET_INITIATED;
        }
    }
    StoreU32(request->Output, initiated);
    return STATUS_SUCCESS;
}

// The code table, in code order.
const ControlCode kControlCodes[] = {
    {IOCTL_ASYNC_READ, Exact, 96, Any, 0, 0, AsyncReadRequest},
    {IOCTL_ASYNC_WRITE, Exact, 96, Any, 0, 0, AsyncWriteRequest},
    {IOCTL_ASYNC_LOCK, Exact, 96, Any, 0, 0, AsyncLockRequest},
    {IOCTL_ISOCH_OPEN, Exact, 40, Exact, 1, 1, IsochOpenRequest},
    {IOCTL_ISOCH_CLOSE, Exact, 8, Exact, 1, 1, IsochCloseRequest},
    {IOCTL_ISOCH_ATTACH_BUFFERS, Exact, 24, Any, 0, 0, IsochAttachRequest},
    {IOCTL_ISOCH_FLUSH, Exact, 8, Exact, 1, 1, IsochFlushRequest},
    {IOCTL_KX1394_UNUSED_808, Any, 0, Any, 0, 0, RefuseUnusedCode},
    {IOCTL_SET_BUS_RESET_EVENT, Exact, 8, Any, 0, 0, SetBusResetEvent},
    {IOCTL_SET_BUS_READY_EVENT, Exact, 8, Any, 0, 0, SetBusReadyEvent},
    {IOCTL_GET_INTERFACE_VERSION, Any, 0, AtLeast, 12, 12, GetInterfaceVersion},
    {IOCTL_GET_OHCI_VERSION, Any, 0, AtLeast, 4, 4, GetOhciVersion},
    {IOCTL_GET_LOCAL_GUID, Any, 0, AtLeast, 8, 8, GetLocalGuid},
    {IOCTL_GET_LOCAL_NODE, Any, 0, AtLeast, 2, 2, GetLocalNode},
    {IOCTL_GET_NODE_COUNT, Any, 0, AtLeast, 2, 2, GetNodeCount},
    {IOCTL_GET_LINK_ACTIVE_NODES, Any, 0, AtLeast, 10, 10, GetLinkActiveNodes},
    {IOCTL_GET_BUS_RESET_COUNT, Any, 0, AtLeast, 5, 5, GetBusResetCount},
    {IOCTL_GET_BUS_RESET_STATE, Any, 0, AtLeast, 4, 4, GetBusResetState},
    {IOCTL_GET_NODE_SPEED, Exact, 2, Exact, 2, 2, GetNodeSpeed},
    {IOCTL_GET_IRM_NODE, Any, 0, AtLeast, 2, 2, GetIrmNode},
    {IOCTL_BUS_RESET, Exact, 4, Exact, 4, 4, BusReset},
    {IOCTL_SEND_PHY_PACKET, Exact, 4, Exact, 1, 1, PhyPacketRequest},
    {IOCTL_ALLOCATE_ADDRESS_RANGE, Exact, 48, Exact, 1, 1, NotYetServed},
    {IOCTL_FREE_ADDRESS_RANGE, Exact, 8, Exact, 1, 1, NotYetServed},
    {IOCTL_SEND_RESPONSE, Exact, 24, Exact, 1, 1, NotYetServed},
    {IOCTL_DISCARD_REQUEST, Exact, 8, Exact, 1, 1, NotYetServed},
    {IOCTL_DISCARD_ALL_REQUESTS, Exact, 8, Exact, 1, 1, NotYetServed},
    {IOCTL_REGISTER_CLIENT, Exact, 8, Any, 0, 0, DoRegisterClient},
    {IOCTL_ASYNC_STREAM, Exact, 24, Exact, 1, 1, AsyncStreamRequest},
};

const ControlCode* FindCode(ULONG code) {
    for (const ControlCode& entry : kControlCodes)
        if (entry.Code == code) return &entry;
    return nullptr;
}

// Where the answer goes: the mapping of the request's memory descriptor list when it carries one,
// else the system buffer. False when the list cannot be mapped.
bool FindOutput(PIRP Irp, PUCHAR* output) {
    if (Irp->MdlAddress == nullptr) {
        *output = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
        return true;
    }
    *output = static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(Irp->MdlAddress, NormalPagePriority));
    return *output != nullptr;
}

// Checks the lengths and runs the code; *information receives the bytes reported back.
NTSTATUS RunCode(OhciController* controller, PIRP Irp, PUCHAR output, ULONG_PTR* information) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    *information = 0;
    const ControlCode* entry = FindCode(code);
    if (entry == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    if (!LengthFits(entry->InputRule, entry->InputLength, inputLength) ||
        !LengthFits(entry->OutputRule, entry->OutputLength, outputLength))
        return STATUS_INVALID_PARAMETER;
    auto* input = static_cast<const UCHAR*>(Irp->AssociatedIrp.SystemBuffer);
    if ((entry->InputLength != 0 && input == nullptr) || (entry->Information != 0 && output == nullptr))
        return STATUS_INVALID_PARAMETER;

    // Input and output share the system buffer: the input is copied before the answer is
    // prepared, and every byte reported back starts as zero, so nothing of the pool leaks.
    UCHAR inputCopy[kMaxControlInput] = {};
    ULONG copied = entry->InputRule == Exact ? entry->InputLength : 0;
    for (ULONG i = 0; i < copied; ++i) inputCopy[i] = input[i];
    for (ULONG i = 0; i < entry->Information; ++i) output[i] = 0;

    ControlRequest request;
    request.Controller = controller;
    request.Irp = Irp;
    request.Input = inputCopy;
    request.InputLength = copied;
    request.Output = entry->Information != 0 ? output : nullptr;
    request.OutputLength = outputLength;
    request.Is32bit = IoIs32bitProcess(Irp) != FALSE;
    NTSTATUS status = entry->Handler(&request);
    *information = entry->Information;
    return status;
}

}  // namespace

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (!IsControllerDevice(DeviceObject)) return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST);
    ControllerDeviceExtension* extension = ControllerExtension(DeviceObject);
    PUCHAR output = nullptr;
    if (!FindOutput(Irp, &output)) return CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES);
    RequestGate* gate = &extension->Gate;
    NTSTATUS status = GateEnter(gate, Irp);
    if (status != STATUS_SUCCESS) return status;
    ULONG_PTR information = 0;
    status = RunCode(&extension->Controller, Irp, output, &information);
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    GateLeave(gate);
    return status;
}

NTSTATUS DispatchInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (IsControllerDevice(DeviceObject)) return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST);
    return ChildDispatchInternalDeviceControl(DeviceObject, Irp);
}
