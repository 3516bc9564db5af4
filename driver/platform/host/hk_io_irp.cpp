// Host kernel io: the IRP engine — allocation, IoCallDriver, completion with completion routines
// and pending propagation, cancel, and the IRPs the I/O manager builds for drivers.
#include <stdlib.h>
#include <string.h>

#include "hk_io_internal.h"

namespace hk {
namespace io {
namespace {

// Every IRP this kernel knows, live or recently released. Released IRPs stay in a bounded
// quarantine so that a late completion or cancel is reported as the rule it breaks instead of
// corrupting memory; the memory of an IRP the kernel allocated is guarded and becomes unreachable
// at release, so that a driver touching it after completion (or after passing it down to a driver
// that completed it) is reported at the touch.
struct IrpTable {
    std::unordered_map<PIRP, IrpHeader*> all;
    std::deque<PIRP> quarantine;
};
IrpTable& Irps() {
    static IrpTable* table = new IrpTable;
    return *table;
}
constexpr size_t kIrpQuarantine = 1024;

void RequireIrql(KIRQL most, const char* routine) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql > most) Violation(rule::kIrql, "%s called at IRQL %u (must be at most %u)", routine, irql, most);
}

void InitializeIrp(PIRP irp, USHORT size, CCHAR stackSize) {
    memset(irp, 0, size);
    irp->Type = IO_TYPE_IRP;
    irp->Size = size;
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->ApcEnvironment = 0;
    InitializeListHead(&irp->ThreadListEntry);
    irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
}

IrpHeader* Track(PIRP irp, IrpKind kind, bool ownsMemory) {
    IrpTable& t = Irps();
    auto it = t.all.find(irp);
    IrpHeader* header;
    if (it != t.all.end()) {
        header = it->second;  // driver memory initialized again, or freed memory given out again
        int quarantined = header->quarantined;
        *header = IrpHeader();
        header->quarantined = quarantined;
    } else {
        header = new IrpHeader();
        t.all[irp] = header;
    }
    header->kind = kind;
    header->ownsMemory = ownsMemory;
    header->pendingMarked.assign(static_cast<size_t>(irp->StackCount) + 2, 0);
    header->pendingReturned.assign(static_cast<size_t>(irp->StackCount) + 2, 0);
    header->dispatched.assign(static_cast<size_t>(irp->StackCount) + 2, nullptr);
    header->process = CurrentProcess();
    return header;
}

const char* MajorName(UCHAR major) {
    static const char* const names[] = {"CREATE", "CREATE_NAMED_PIPE", "CLOSE", "READ", "WRITE",
                                        "QUERY_INFORMATION", "SET_INFORMATION", "QUERY_EA", "SET_EA",
                                        "FLUSH_BUFFERS", "QUERY_VOLUME_INFORMATION", "SET_VOLUME_INFORMATION",
                                        "DIRECTORY_CONTROL", "FILE_SYSTEM_CONTROL", "DEVICE_CONTROL",
                                        "INTERNAL_DEVICE_CONTROL", "SHUTDOWN", "LOCK_CONTROL", "CLEANUP",
                                        "CREATE_MAILSLOT", "QUERY_SECURITY", "SET_SECURITY", "POWER",
                                        "SYSTEM_CONTROL", "DEVICE_CHANGE", "QUERY_QUOTA", "SET_QUOTA", "PNP"};
    return major <= IRP_MJ_MAXIMUM_FUNCTION ? names[major] : "?";
}

// What the I/O manager does once no driver owns the request any more.
void FinishRequest(PIRP irp, IrpHeader* info) {
    // Output of a buffered request goes back to the caller's buffer.
    if (info->copyBackTo != nullptr && (irp->Flags & IRP_INPUT_OPERATION) && !NT_ERROR(irp->IoStatus.Status)) {
        ULONG_PTR length = irp->IoStatus.Information;
        if (length > info->copyBackMax) {
            Violation(rule::kIrpState, "IRP %p completed with Information %lu beyond its output buffer of %u bytes",
                      static_cast<void*>(irp), static_cast<unsigned long>(length), info->copyBackMax);
            length = info->copyBackMax;
        }
        // A program that has exited gets nothing back: its thread ends on its way out of the kernel
        // and its memory is going or gone.
        if (length != 0 && info->systemBuffer != nullptr && !HasExited(info->process))
            KernelCopy(info->copyBackTo, info->systemBuffer, length);
    }
    if (info->mdl != nullptr) {
        if (info->mdlLocked) MmUnlockPages(info->mdl);
        if (irp->MdlAddress == info->mdl) irp->MdlAddress = nullptr;
        IoFreeMdl(info->mdl);
        info->mdl = nullptr;
    }
    free(info->systemBuffer);
    info->systemBuffer = nullptr;
    irp->AssociatedIrp.SystemBuffer = nullptr;
}

void CompleteToManager(PIRP irp, IrpHeader* info) {
    switch (info->kind) {
        case IrpKind::Driver:
        case IrpKind::Asynchronous:
            Violation(rule::kIrpState,
                      "IRP %p allocated by a driver reached the end of its completion: the completion routine of "
                      "its owner must free it and return STATUS_MORE_PROCESSING_REQUIRED",
                      static_cast<void*>(irp));
            return;
        case IrpKind::Synchronous: {
            FinishRequest(irp, info);
            if (irp->UserIosb != nullptr) *irp->UserIosb = irp->IoStatus;
            PKEVENT event = irp->UserEvent;
            ReleaseIrp(irp);
            if (event != nullptr) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
            return;
        }
        case IrpKind::User:
        case IrpKind::Manager: {
            FinishRequest(irp, info);
            if (info->doneIosb != nullptr) *info->doneIosb = irp->IoStatus;
            if (info->doneFlag != nullptr) *info->doneFlag = true;
            KEVENT* event = info->doneEvent;
            ReleaseIrp(irp);
            if (event != nullptr) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
            return;
        }
        case IrpKind::PowerRequest: {
            PREQUEST_POWER_COMPLETE callback = info->powerCallback;
            IO_STATUS_BLOCK iosb = irp->IoStatus;
            PDEVICE_OBJECT target = info->powerTarget;
            UCHAR minor = info->powerMinor;
            POWER_STATE state = info->powerState;
            PVOID context = info->powerContext;
            if (callback != nullptr) callback(target, minor, state, context, &iosb);
            ObfDereferenceObject(target);
            ReleaseIrp(irp);
            return;
        }
    }
}

void ReportPendingWithoutMark(PDEVICE_OBJECT device, UCHAR major) {
    Violation(rule::kIrpState, "the IRP_MJ_%s routine of %s returned STATUS_PENDING without calling IoMarkIrpPending",
              MajorName(major), Narrow(&device->DriverObject->DriverName).c_str());
}

void ClearStackLocation(PIO_STACK_LOCATION stack) {
    stack->MinorFunction = 0;
    stack->Flags = 0;
    stack->Control = 0;
    memset(&stack->Parameters, 0, sizeof stack->Parameters);
    stack->FileObject = nullptr;
    stack->CompletionRoutine = nullptr;
    stack->Context = nullptr;
}

}  // namespace

IrpHeader* IrpInfo(PIRP irp) {
    IrpTable& t = Irps();
    auto it = t.all.find(irp);
    return it == t.all.end() ? nullptr : it->second;
}

PIRP AllocateIrp(CCHAR stackSize, IrpKind kind) {
    if (stackSize < 1) stackSize = 1;
    USHORT size = IoSizeOfIrp(stackSize);
    PIRP irp = static_cast<PIRP>(AllocateGuarded(size));
    if (irp == nullptr) return nullptr;
    InitializeIrp(irp, size, stackSize);
    Track(irp, kind, true);
    return irp;
}

void ReleaseIrp(PIRP irp) {
    IrpTable& t = Irps();
    IrpHeader* info = IrpInfo(irp);
    if (info == nullptr) return;
    info->state = IrpState::Freed;
    free(info->systemBuffer);
    info->systemBuffer = nullptr;
    // Guarded memory stays in the guarded quarantine; other memory until it leaves this one.
    if (info->ownsMemory && ReleaseGuarded(irp)) info->ownsMemory = false;
    t.quarantine.push_back(irp);
    ++info->quarantined;
    while (t.quarantine.size() > kIrpQuarantine) {
        PIRP old = t.quarantine.front();
        t.quarantine.pop_front();
        auto it = t.all.find(old);
        // The same address may be in the quarantine again (its memory became another IRP that was
        // freed since): the record goes with its last entry only.
        if (it != t.all.end() && --it->second->quarantined == 0 && it->second->state == IrpState::Freed) {
            bool owns = it->second->ownsMemory;
            delete it->second;
            t.all.erase(it);
            if (owns) free(old);
        }
    }
}

NTSTATUS CallAndWait(PDEVICE_OBJECT device, PIRP irp, ULONG_PTR* information) {
    IrpHeader* info = IrpInfo(irp);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    iosb.Status = STATUS_PENDING;
    iosb.Information = 0;
    bool finished = false;
    info->doneEvent = &done;
    info->doneIosb = &iosb;
    info->doneFlag = &finished;
    NTSTATUS status = IofCallDriver(device, irp);
    if (!finished) {
        if (status != STATUS_PENDING)
            Violation(rule::kIrpState,
                      "a dispatch routine returned 0x%08X for an IRP it neither completed nor marked pending",
                      static_cast<unsigned>(status));
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    if (information != nullptr) *information = iosb.Information;
    return iosb.Status;
}

}  // namespace io
}  // namespace hk

using hk::io::IrpHeader;
using hk::io::IrpInfo;
using hk::io::IrpKind;
using hk::io::IrpState;

namespace {

// Describes a kernel buffer of a driver-built IRP by a non-paged MDL; false (the IRP released) when
// no MDL could be had.
bool AttachKernelBufferMdl(PIRP irp, IrpHeader* info, PVOID buffer, ULONG length) {
    PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, nullptr);
    if (mdl == nullptr) {
        hk::io::ReleaseIrp(irp);
        return false;
    }
    MmBuildMdlForNonPagedPool(mdl);
    info->mdl = mdl;
    irp->MdlAddress = mdl;
    return true;
}

}  // namespace

extern "C" {

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    (void)ChargeQuota;
    hk::io::RequireIrql(DISPATCH_LEVEL, "IoAllocateIrp");
    return hk::io::AllocateIrp(StackSize, IrpKind::Driver);
}

void IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
    hk::io::InitializeIrp(Irp, PacketSize, StackSize);
    hk::io::Track(Irp, IrpKind::Driver, false);
}

void IoFreeIrp(PIRP Irp) {
    IrpHeader* info = IrpInfo(Irp);
    if (info == nullptr) {
        hk::Violation(hk::rule::kIrpState, "IoFreeIrp(%p): not an IRP", static_cast<void*>(Irp));
        return;
    }
    if (info->state == IrpState::Freed) {
        hk::Violation(hk::rule::kIrpState, "IoFreeIrp(%p): the IRP was already freed", static_cast<void*>(Irp));
        return;
    }
    if (info->kind != IrpKind::Driver && info->kind != IrpKind::Asynchronous) {
        hk::Violation(hk::rule::kIrpState,
                      "IoFreeIrp(%p): the I/O manager owns this IRP (built for a thread or a manager); complete it "
                      "instead",
                      static_cast<void*>(Irp));
        return;
    }
    hk::io::FinishRequest(Irp, info);
    hk::io::ReleaseIrp(Irp);
}

void IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
    IrpHeader* info = IrpInfo(Irp);
    if (info == nullptr || info->state == IrpState::Freed) {
        hk::Violation(hk::rule::kIrpState, "IoReuseIrp(%p): not a live IRP", static_cast<void*>(Irp));
        return;
    }
    if (info->state == IrpState::Completing && info->kind != IrpKind::Driver) {
        hk::Violation(hk::rule::kIrpState, "IoReuseIrp(%p): the IRP is being completed", static_cast<void*>(Irp));
        return;
    }
    UCHAR allocationFlags = Irp->AllocationFlags;
    hk::io::InitializeIrp(Irp, Irp->Size, Irp->StackCount);
    Irp->AllocationFlags = allocationFlags;
    Irp->IoStatus.Status = Iostatus;
    info->state = IrpState::Allocated;
    info->pendingMarked.assign(info->pendingMarked.size(), 0);
    info->pendingReturned.assign(info->pendingReturned.size(), 0);
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    hk::io::RequireIrql(DISPATCH_LEVEL, "IoCallDriver");
    IrpHeader* info = IrpInfo(Irp);
    if (info == nullptr || info->state == IrpState::Freed) {
        hk::Violation(hk::rule::kIrpState, "IoCallDriver(%p): not a live IRP", static_cast<void*>(Irp));
        return STATUS_INVALID_PARAMETER;
    }
    if (info->state == IrpState::Completed) {
        hk::Violation(hk::rule::kIrpState, "IoCallDriver(%p): the IRP was already completed",
                      static_cast<void*>(Irp));
        return STATUS_INVALID_PARAMETER;
    }
    if (Irp->CurrentLocation <= 1) {
        hk::Violation(hk::rule::kIrpState,
                      "IoCallDriver(%p): no stack location left for device %p (stack size %d; the device's "
                      "StackSize is %d)",
                      static_cast<void*>(Irp), static_cast<void*>(DeviceObject), Irp->StackCount,
                      DeviceObject->StackSize);
        return STATUS_INVALID_PARAMETER;
    }
    hk::SchedulePoint();
    IoSetNextIrpStackLocation(Irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    stack->DeviceObject = DeviceObject;
    int location = Irp->CurrentLocation;
    info->pendingMarked[location] = 0;
    info->pendingReturned[location] = 0;
    info->dispatched[location] = DeviceObject;
    UCHAR major = stack->MajorFunction;
    PDRIVER_DISPATCH routine = DeviceObject->DriverObject->MajorFunction[major];
    NTSTATUS status = routine(DeviceObject, Irp);
    if (status == STATUS_PENDING) {
        // The location must be marked pending, by the routine or, for a request still on its way
        // back, by the completion that passes this location (checked there).
        if (info->pendingMarked[location] != 0) {
        } else if (info->state == IrpState::Allocated && Irp->CurrentLocation <= location) {
            if (!(reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1)[location - 1].Control & SL_PENDING_RETURNED))
                info->pendingReturned[location] = 1;
        } else {
            hk::io::ReportPendingWithoutMark(DeviceObject, major);
        }
    }
    return status;
}

void IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    (void)PriorityBoost;
    hk::io::RequireIrql(DISPATCH_LEVEL, "IoCompleteRequest");
    IrpHeader* info = IrpInfo(Irp);
    if (info == nullptr) {
        hk::Violation(hk::rule::kIrpState, "IoCompleteRequest(%p): not an IRP", static_cast<void*>(Irp));
        return;
    }
    if (info->state != IrpState::Allocated) {
        hk::Violation(hk::rule::kDoubleCompletion, "IoCompleteRequest(%p): the IRP was already completed%s",
                      static_cast<void*>(Irp), info->state == IrpState::Freed ? " and freed" : "");
        return;
    }
    if (Irp->IoStatus.Status == STATUS_PENDING)
        hk::Violation(hk::rule::kIrpState, "IoCompleteRequest(%p) with STATUS_PENDING", static_cast<void*>(Irp));
    if (Irp->CancelRoutine != nullptr)
        hk::Violation(hk::rule::kIrpState, "IoCompleteRequest(%p): the IRP still has a cancel routine",
                      static_cast<void*>(Irp));
    if (Irp->CurrentLocation > Irp->StackCount + 1) {
        hk::Violation(hk::rule::kIrpState, "IoCompleteRequest(%p): stack location %d beyond the stack",
                      static_cast<void*>(Irp), Irp->CurrentLocation);
        return;
    }
    info->state = IrpState::Completing;

    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
        int location = Irp->CurrentLocation;
        UCHAR control = stack->Control;
        info->pendingMarked[location] |= control & SL_PENDING_RETURNED;
        if (info->pendingReturned[location] && !(control & SL_PENDING_RETURNED) && info->dispatched[location]) {
            hk::io::ReportPendingWithoutMark(info->dispatched[location], stack->MajorFunction);
            control |= SL_PENDING_RETURNED;  // carry on as if marked: one report for the one fault
        }
        info->pendingReturned[location] = 0;
        Irp->PendingReturned = (control & SL_PENDING_RETURNED) ? TRUE : FALSE;
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        IoSkipCurrentIrpStackLocation(Irp);
        hk::io::ClearStackLocation(stack);
        NTSTATUS status = Irp->IoStatus.Status;
        bool invoke = routine != nullptr &&
                      ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                       (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                       (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
        if (invoke) {
            bool top = Irp->CurrentLocation == Irp->StackCount + 1;
            PDEVICE_OBJECT device = top ? nullptr : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
            bool pendingReturned = Irp->PendingReturned != 0;
            NTSTATUS result = routine(device, Irp, context);
            if (info->state == IrpState::Freed) {
                if (result != STATUS_MORE_PROCESSING_REQUIRED)
                    hk::Violation(hk::rule::kIrpState,
                                  "a completion routine freed IRP %p but returned 0x%08X instead of "
                                  "STATUS_MORE_PROCESSING_REQUIRED",
                                  static_cast<void*>(Irp), static_cast<unsigned>(result));
                return;
            }
            if (result == STATUS_MORE_PROCESSING_REQUIRED) {
                if (info->state == IrpState::Completing) info->state = IrpState::Allocated;  // owner took it back
                return;
            }
            if (pendingReturned && !top && !(IoGetCurrentIrpStackLocation(Irp)->Control & SL_PENDING_RETURNED)) {
                info->pendingReturned[Irp->CurrentLocation] = 0;  // one report for the one fault
                hk::Violation(hk::rule::kIrpState,
                              "the completion routine of device %p saw PendingReturned but did not call "
                              "IoMarkIrpPending",
                              static_cast<void*>(device));
            }
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            IoMarkIrpPending(Irp);
        }
    }
    info->state = IrpState::Completed;
    hk::io::CompleteToManager(Irp, info);
}

PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
    hk::SchedulePoint();
    return reinterpret_cast<PDRIVER_CANCEL>(InterlockedExchangePointer(
        reinterpret_cast<PVOID volatile*>(&Irp->CancelRoutine), reinterpret_cast<PVOID>(CancelRoutine)));
}

BOOLEAN IoCancelIrp(PIRP Irp) {
    hk::io::RequireIrql(DISPATCH_LEVEL, "IoCancelIrp");
    IrpHeader* info = IrpInfo(Irp);
    if (info == nullptr || info->state == IrpState::Freed || info->state == IrpState::Completed) {
        hk::Violation(hk::rule::kIrpState, "IoCancelIrp(%p): not a live IRP", static_cast<void*>(Irp));
        return FALSE;
    }
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = reinterpret_cast<PDRIVER_CANCEL>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&Irp->CancelRoutine), nullptr));
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    if (Irp->CurrentLocation > Irp->StackCount) {
        hk::Violation(hk::rule::kIrpState, "IoCancelIrp(%p): a cancel routine is set but no driver owns the IRP",
                      static_cast<void*>(Irp));
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    // The routine releases the cancel spin lock.
    routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
    return TRUE;
}

PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                                  PLARGE_INTEGER StartingOffset, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
    hk::io::RequireIrql(PASSIVE_LEVEL, "IoBuildSynchronousFsdRequest");
    PIRP irp = IoBuildAsynchronousFsdRequest(MajorFunction, DeviceObject, Buffer, Length, StartingOffset,
                                             IoStatusBlock);
    if (irp == nullptr) return nullptr;
    IrpInfo(irp)->kind = IrpKind::Synchronous;
    irp->UserEvent = Event;
    irp->Flags |= IRP_SYNCHRONOUS_API;
    return irp;
}

PIRP IoBuildAsynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                                   PLARGE_INTEGER StartingOffset, PIO_STATUS_BLOCK IoStatusBlock) {
    hk::io::RequireIrql(DISPATCH_LEVEL, "IoBuildAsynchronousFsdRequest");
    PIRP irp = hk::io::AllocateIrp(DeviceObject->StackSize, IrpKind::Asynchronous);
    if (irp == nullptr) return nullptr;
    IrpHeader* info = IrpInfo(irp);
    irp->UserIosb = IoStatusBlock;
    irp->Tail.Overlay.Thread = hk::CurrentThread();
    irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = static_cast<UCHAR>(MajorFunction);
    if (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE) {
        if (DeviceObject->Flags & DO_BUFFERED_IO) {
            info->systemBuffer = malloc(Length != 0 ? Length : 1);
            irp->AssociatedIrp.SystemBuffer = info->systemBuffer;
            irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            if (MajorFunction == IRP_MJ_WRITE) {
                if (Length != 0) memcpy(info->systemBuffer, Buffer, Length);
            } else {
                irp->Flags |= IRP_INPUT_OPERATION;
                info->copyBackTo = Buffer;
                info->copyBackMax = Length;
            }
        } else if (DeviceObject->Flags & DO_DIRECT_IO) {
            if (!AttachKernelBufferMdl(irp, info, Buffer, Length)) return nullptr;
        } else {
            irp->UserBuffer = Buffer;
        }
        stack->Parameters.Read.Length = Length;
        stack->Parameters.Read.ByteOffset.QuadPart = StartingOffset != nullptr ? StartingOffset->QuadPart : 0;
    }
    return irp;
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
    hk::io::RequireIrql(PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest");
    PIRP irp = hk::io::AllocateIrp(DeviceObject->StackSize, IrpKind::Synchronous);
    if (irp == nullptr) return nullptr;
    IrpHeader* info = IrpInfo(irp);
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->Tail.Overlay.Thread = hk::CurrentThread();
    irp->RequestorMode = KernelMode;
    irp->Flags |= IRP_SYNCHRONOUS_API;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    stack->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    stack->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    switch (METHOD_FROM_CTL_CODE(IoControlCode)) {
        case METHOD_BUFFERED: {
            ULONG size = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
            if (size != 0) {
                info->systemBuffer = calloc(1, size);
                irp->AssociatedIrp.SystemBuffer = info->systemBuffer;
                if (InputBufferLength != 0) memcpy(info->systemBuffer, InputBuffer, InputBufferLength);
                irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
                if (OutputBuffer != nullptr && OutputBufferLength != 0) {
                    irp->Flags |= IRP_INPUT_OPERATION;
                    info->copyBackTo = OutputBuffer;
                    info->copyBackMax = OutputBufferLength;
                }
            }
            break;
        }
        case METHOD_IN_DIRECT:
        case METHOD_OUT_DIRECT:
            if (InputBufferLength != 0) {
                info->systemBuffer = malloc(InputBufferLength);
                memcpy(info->systemBuffer, InputBuffer, InputBufferLength);
                irp->AssociatedIrp.SystemBuffer = info->systemBuffer;
                irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            }
            if (OutputBuffer != nullptr && OutputBufferLength != 0) {
                if (!AttachKernelBufferMdl(irp, info, OutputBuffer, OutputBufferLength)) return nullptr;
            }
            break;
        default:  // METHOD_NEITHER
            stack->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
            irp->UserBuffer = OutputBuffer;
            break;
    }
    return irp;
}

BOOLEAN IoIs32bitProcess(PIRP Irp) {
    PEPROCESS process = hk::CurrentProcess();
    if (Irp != nullptr) {
        if (Irp->RequestorMode == KernelMode) return FALSE;
        IrpHeader* info = IrpInfo(Irp);
        if (info != nullptr && info->process != nullptr) process = info->process;
    }
    return hk::Is32BitProcess(process) ? TRUE : FALSE;
}

PEPROCESS IoGetRequestorProcess(PIRP Irp) {
    IrpHeader* info = IrpInfo(Irp);
    if (info != nullptr && info->process != nullptr) return info->process;
    return Irp->Tail.Overlay.Thread != nullptr ? hk::CurrentProcess() : nullptr;
}

}  // extern "C"
