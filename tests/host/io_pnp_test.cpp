// The fake PCI bus, the Plug and Play and power managers and a user program, seen by a tiny WDM
// function driver: start with resources, the stop/remove/surprise-removal sequences, bus
// relations adding and removing a child, power requests, device interfaces opened only while
// enabled, DeviceIoControl copy-in/out, buffers the program does not own, cancel, process exit (also
// with a thread of the program still in the kernel and its request completed after the exit).
#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "hk_io_test.h"
#include "hk_ke_test.h"
#include "hk_mm_test.h"
#include "hk_wdm.h"
#include "kx_services.h"

namespace {

const GUID kInterface = {0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
const ULONG kIoctlEcho = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
const ULONG kIoctlWait = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);
const ULONG kIoctlFill = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
const ULONG kIoctlHold = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x804, METHOD_BUFFERED, FILE_ANY_ACCESS);
// Held like kIoctlHold, its output locked by the I/O manager and once more by the driver.
const ULONG kIoctlHoldLocked = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x805, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);

bool Readable(const void* address) {
    int fds[2];
    if (pipe(fds) != 0) return true;
    const ssize_t n = write(fds[1], address, 1);  // the kernel copies the byte, or answers EFAULT
    const int error = errno;
    close(fds[0]);
    close(fds[1]);
    return n == 1 || error != EFAULT;
}

const char* MinorName(UCHAR minor) {
    switch (minor) {
        case IRP_MN_START_DEVICE: return "START";
        case IRP_MN_QUERY_REMOVE_DEVICE: return "QUERY_REMOVE";
        case IRP_MN_REMOVE_DEVICE: return "REMOVE";
        case IRP_MN_CANCEL_REMOVE_DEVICE: return "CANCEL_REMOVE";
        case IRP_MN_STOP_DEVICE: return "STOP";
        case IRP_MN_QUERY_STOP_DEVICE: return "QUERY_STOP";
        case IRP_MN_CANCEL_STOP_DEVICE: return "CANCEL_STOP";
        case IRP_MN_SURPRISE_REMOVAL: return "SURPRISE_REMOVAL";
        default: return nullptr;  // queries are not logged
    }
}

// ---- What the tiny driver saw.
struct Seen {
    std::vector<std::string> log;
    ULONGLONG memoryStart = 0;
    ULONG memoryLength = 0;
    ULONG rawVector = 0, vector = 0, level = 0;
    USHORT interruptFlags = 0xFFFF;
    UCHAR interruptShare = 0;
    ULONG busType = 0xFFFF;
    bool failQueryStop = false;
    bool failQueryRemove = false;
    BOOLEAN is32Bit = FALSE;
    PIRP waiting = nullptr;
    PIRP held = nullptr;  // pending without a cancel routine, until the test completes it
    PMDL kept = nullptr;  // the driver's own lock of a kIoctlHoldLocked output
    std::vector<PDEVICE_OBJECT> children;  // child PDOs the bus reports
    POWER_STATE powerCallbackState{};
    NTSTATUS powerCallbackStatus = STATUS_PENDING;
};
Seen* g_seen = nullptr;

struct Extension {
    bool isChild;
    PDEVICE_OBJECT self, pdo, lower;
    UNICODE_STRING iface;
    bool ifaceEnabled;
    bool childReported;
};
Extension* Ext(PDEVICE_OBJECT d) { return static_cast<Extension*>(d->DeviceExtension); }

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS SignalCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(Extension* e, PIRP irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalCompletion, &event, TRUE, TRUE, TRUE);
    if (IoCallDriver(e->lower, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

NTSTATUS PassDown(Extension* e, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(e->lower, irp);
}

void RecordResources(PIO_STACK_LOCATION stack) {
    PCM_RESOURCE_LIST raw = stack->Parameters.StartDevice.AllocatedResources;
    PCM_RESOURCE_LIST translated = stack->Parameters.StartDevice.AllocatedResourcesTranslated;
    if (raw == nullptr || translated == nullptr) return;
    PCM_PARTIAL_RESOURCE_LIST r = &raw->List[0].PartialResourceList;
    PCM_PARTIAL_RESOURCE_LIST t = &translated->List[0].PartialResourceList;
    for (ULONG i = 0; i < t->Count; ++i) {
        PCM_PARTIAL_RESOURCE_DESCRIPTOR d = &t->PartialDescriptors[i];
        if (d->Type == CmResourceTypeMemory) {
            g_seen->memoryStart = static_cast<ULONGLONG>(d->u.Memory.Start.QuadPart);
            g_seen->memoryLength = d->u.Memory.Length;
        } else if (d->Type == CmResourceTypeInterrupt) {
            g_seen->vector = d->u.Interrupt.Vector;
            g_seen->level = d->u.Interrupt.Level;
            g_seen->interruptFlags = d->Flags;
            g_seen->interruptShare = d->ShareDisposition;
            g_seen->rawVector = r->PartialDescriptors[i].u.Interrupt.Vector;
        }
    }
}

NTSTATUS ChildPnp(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (const char* name = MinorName(stack->MinorFunction)) g_seen->log.push_back(std::string("child:") + name);
    switch (stack->MinorFunction) {
        case IRP_MN_QUERY_ID: {
            BUS_QUERY_ID_TYPE type = stack->Parameters.QueryId.IdType;
            if (type != BusQueryDeviceID && type != BusQueryInstanceID) {
                NTSTATUS status = irp->IoStatus.Status;
                IoCompleteRequest(irp, IO_NO_INCREMENT);
                return status;
            }
            const char16_t* text = stack->Parameters.QueryId.IdType == BusQueryDeviceID ? u"KX\\CHILD" : u"1";
            SIZE_T bytes = (std::char_traits<char16_t>::length(text) + 1) * sizeof(WCHAR);
            PWCHAR buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, bytes, 0x43686964u));
            memcpy(buffer, text, bytes);
            return Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(buffer));
        }
        case IRP_MN_REMOVE_DEVICE:
            if (!Ext(device)->childReported) {
                irp->IoStatus.Status = STATUS_SUCCESS;
                IoCompleteRequest(irp, IO_NO_INCREMENT);
                IoDeleteDevice(device);
                return STATUS_SUCCESS;
            }
            return Complete(irp, STATUS_SUCCESS);
        case IRP_MN_START_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
        case IRP_MN_QUERY_CAPABILITIES:
            return Complete(irp, STATUS_SUCCESS);
        default: {
            NTSTATUS status = irp->IoStatus.Status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return status;
        }
    }
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    Extension* e = Ext(device);
    if (e->isChild) return ChildPnp(device, irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (const char* name = MinorName(stack->MinorFunction)) g_seen->log.push_back(name);
    switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE: {
            NTSTATUS status = ForwardAndWait(e, irp);
            if (NT_SUCCESS(status)) {
                RecordResources(stack);
                e->ifaceEnabled = NT_SUCCESS(IoSetDeviceInterfaceState(&e->iface, TRUE));
            }
            return Complete(irp, status);
        }
        case IRP_MN_QUERY_STOP_DEVICE:
            if (g_seen->failQueryStop) return Complete(irp, STATUS_UNSUCCESSFUL);
            break;
        case IRP_MN_QUERY_REMOVE_DEVICE:
            if (g_seen->failQueryRemove) return Complete(irp, STATUS_UNSUCCESSFUL);
            break;
        case IRP_MN_SURPRISE_REMOVAL:
            if (e->ifaceEnabled) IoSetDeviceInterfaceState(&e->iface, FALSE);
            e->ifaceEnabled = false;
            break;
        case IRP_MN_REMOVE_DEVICE: {
            if (e->ifaceEnabled) IoSetDeviceInterfaceState(&e->iface, FALSE);
            irp->IoStatus.Status = STATUS_SUCCESS;
            NTSTATUS status = PassDown(e, irp);
            for (PDEVICE_OBJECT child : g_seen->children) IoDeleteDevice(child);
            g_seen->children.clear();
            RtlFreeUnicodeString(&e->iface);
            IoDetachDevice(e->lower);
            IoDeleteDevice(device);
            return status;
        }
        case IRP_MN_QUERY_DEVICE_RELATIONS:
            if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
                ULONG count = static_cast<ULONG>(g_seen->children.size());
                PDEVICE_RELATIONS relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(
                    PagedPool, sizeof(DEVICE_RELATIONS) + count * sizeof(PDEVICE_OBJECT), 0x42526c65u));
                relations->Count = count;
                for (ULONG i = 0; i < count; ++i) {
                    relations->Objects[i] = g_seen->children[i];
                    ObReferenceObject(g_seen->children[i]);
                }
                irp->IoStatus.Status = STATUS_SUCCESS;
                irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
            }
            break;
        default:
            break;
    }
    if (stack->MinorFunction <= IRP_MN_CANCEL_STOP_DEVICE || stack->MinorFunction == IRP_MN_SURPRISE_REMOVAL)
        irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(e, irp);
}

NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    Extension* e = Ext(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (e->isChild) {
        PoStartNextPowerIrp(irp);
        return Complete(irp, STATUS_SUCCESS);
    }
    if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState)
        PoSetPowerState(device, DevicePowerState, stack->Parameters.Power.State);
    g_seen->log.push_back(std::string(stack->Parameters.Power.Type == SystemPowerState ? "S" : "D") +
                          std::to_string(stack->Parameters.Power.State.SystemState - 1));
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(e->lower, irp);
}

void WaitCancel(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    g_seen->waiting = nullptr;
    Complete(irp, STATUS_CANCELLED);
}

NTSTATUS DispatchControl(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    g_seen->is32Bit = IoIs32bitProcess(irp);
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    if (stack->Parameters.DeviceIoControl.IoControlCode == kIoctlEcho) {
        UCHAR* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        if (out < in) return Complete(irp, STATUS_BUFFER_TOO_SMALL);
        for (ULONG i = 0; i < in / 2; ++i) std::swap(buffer[i], buffer[in - 1 - i]);
        return Complete(irp, STATUS_SUCCESS, in);
    }
    if (stack->Parameters.DeviceIoControl.IoControlCode == kIoctlWait) {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, WaitCancel);
        g_seen->waiting = irp;
        IoReleaseCancelSpinLock(irql);
        return STATUS_PENDING;
    }
    if (stack->Parameters.DeviceIoControl.IoControlCode == kIoctlHoldLocked) {
        g_seen->kept = IoAllocateMdl(MmGetMdlVirtualAddress(irp->MdlAddress), out, FALSE, FALSE, nullptr);
        if (KxProbeAndLockPages(g_seen->kept, UserMode, IoWriteAccess) != STATUS_SUCCESS) {
            IoFreeMdl(g_seen->kept);
            g_seen->kept = nullptr;
        }
    }
    if (stack->Parameters.DeviceIoControl.IoControlCode == kIoctlHold ||
        stack->Parameters.DeviceIoControl.IoControlCode == kIoctlHoldLocked) {
        IoMarkIrpPending(irp);
        g_seen->held = irp;
        return STATUS_PENDING;
    }
    if (stack->Parameters.DeviceIoControl.IoControlCode == kIoctlFill) {
        if (irp->MdlAddress == nullptr) return Complete(irp, STATUS_INVALID_PARAMETER);
        UCHAR* data = static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
        memset(data, 0x5A, MmGetMdlByteCount(irp->MdlAddress));
        return Complete(irp, STATUS_SUCCESS, MmGetMdlByteCount(irp->MdlAddress));
    }
    (void)device;
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS DispatchFile(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const char* name = stack->MajorFunction == IRP_MJ_CREATE    ? "CREATE"
                       : stack->MajorFunction == IRP_MJ_CLEANUP ? "CLEANUP"
                                                                : "CLOSE";
    g_seen->log.push_back(std::string(name) + (stack->FileObject != nullptr ? "" : ":no-file"));
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN,
                                     FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    Extension* e = Ext(fdo);
    e->self = fdo;
    e->pdo = pdo;
    ULONG length = 0;
    IoGetDeviceProperty(pdo, DevicePropertyLegacyBusType, sizeof g_seen->busType, &g_seen->busType, &length);
    e->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    status = IoRegisterDeviceInterface(pdo, &kInterface, nullptr, &e->iface);
    if (!NT_SUCCESS(status)) {
        IoDetachDevice(e->lower);
        IoDeleteDevice(fdo);
        return status;
    }
    fdo->Flags |= pdo->Flags & DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS TinyEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = [](PDRIVER_OBJECT) { g_seen->log.push_back("UNLOAD"); };
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchFile;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchFile;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchFile;
    return STATUS_SUCCESS;
}

struct Fixture {
    hk::Kernel kernel;
    Seen seen;
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS startStatus = STATUS_PENDING;

    explicit Fixture(NTSTATUS pciStart = STATUS_SUCCESS, const hk::Options& options = hk::Options())
        : kernel(options) {
        g_seen = &seen;
        EXPECT_EQ(hk::LoadDriver(TinyEntry, "tiny", &driver), STATUS_SUCCESS);
        hk::pci::DeviceConfig config;
        config.startStatus = pciStart;
        pdo = hk::pci::PlugDevice(driver, config, &startStatus);
    }
    PDEVICE_OBJECT fdo() const { return pdo->AttachedDevice; }
    void Finish() {
        if (hk::pnp::GetState(pdo) != hk::pnp::State::Removed || pdo->AttachedDevice != nullptr) hk::pnp::Unplug(pdo);
        hk::UnloadDriver(driver);
    }
};

TEST(IoPnp, PlugStartsTheStackWithRawAndTranslatedResources) {
    Fixture f;
    EXPECT_EQ(f.startStatus, STATUS_SUCCESS);
    EXPECT_EQ(hk::pnp::GetState(f.pdo), hk::pnp::State::Started);
    EXPECT_EQ(f.seen.log, std::vector<std::string>{"START"});
    EXPECT_EQ(f.seen.busType, static_cast<ULONG>(PCIBus));
    EXPECT_EQ(f.seen.memoryStart, 0xFEB00000ull);
    EXPECT_EQ(f.seen.memoryLength, 0x800u);
    EXPECT_EQ(f.seen.vector, 0x50u);
    EXPECT_EQ(f.seen.level, 5u);
    EXPECT_EQ(f.seen.rawVector, 11u);
    EXPECT_EQ(f.seen.interruptFlags, CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE);
    EXPECT_EQ(f.seen.interruptShare, CmResourceShareShared);
    EXPECT_EQ(f.fdo()->StackSize, 2);
    EXPECT_TRUE(f.fdo()->Flags & DO_POWER_PAGABLE);
    DEVICE_CAPABILITIES caps = hk::pnp::Capabilities(f.pdo);
    EXPECT_TRUE(caps.DeviceD1);
    EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
    EXPECT_EQ(hk::pnp::DeviceId(f.pdo), "PCI\\VEN_104C&DEV_8023&SUBSYS_00000000&REV_00");
    ASSERT_EQ(hk::iface::Names(kInterface).size(), 1u);
    EXPECT_TRUE(hk::iface::IsEnabled(hk::iface::Names(kInterface)[0]));
    f.Finish();
    EXPECT_EQ(f.driver, f.driver);
}

TEST(IoPnp, FailedStartIsFollowedByRemoval) {
    Fixture f(STATUS_DEVICE_POWER_FAILURE);
    EXPECT_EQ(f.startStatus, STATUS_DEVICE_POWER_FAILURE);
    EXPECT_EQ(f.seen.log, (std::vector<std::string>{"START", "REMOVE"}));
    EXPECT_EQ(hk::pnp::GetState(f.pdo), hk::pnp::State::StartFailed);
    EXPECT_EQ(f.pdo->AttachedDevice, nullptr);
    EXPECT_EQ(f.driver->DeviceObject, nullptr);
    f.Finish();
}

TEST(IoPnp, StopRemoveAndSurpriseSequences) {
    struct Case {
        const char* what;
        bool failQueryStop, failQueryRemove;
        int operation;  // 0 stop, 1 remove, 2 unplug, 3 surprise then remove
        std::vector<std::string> expected;
        NTSTATUS status;
    };
    const Case cases[] = {
        {"stop", false, false, 0, {"QUERY_STOP", "STOP"}, STATUS_SUCCESS},
        {"refused stop", true, false, 0, {"QUERY_STOP", "CANCEL_STOP"}, STATUS_UNSUCCESSFUL},
        {"remove", false, false, 1, {"QUERY_REMOVE", "REMOVE"}, STATUS_SUCCESS},
        {"refused remove", false, true, 1, {"QUERY_REMOVE", "CANCEL_REMOVE"}, STATUS_UNSUCCESSFUL},
        {"unplug", false, false, 2, {"SURPRISE_REMOVAL", "REMOVE"}, STATUS_SUCCESS},
        {"surprise, then remove", false, false, 3, {"SURPRISE_REMOVAL", "QUERY_REMOVE", "REMOVE"}, STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Fixture f;
        f.seen.failQueryStop = c.failQueryStop;
        f.seen.failQueryRemove = c.failQueryRemove;
        f.seen.log.clear();
        NTSTATUS status = STATUS_SUCCESS;
        switch (c.operation) {
            case 0: status = hk::pnp::Stop(f.pdo); break;
            case 1: status = hk::pnp::Remove(f.pdo); break;
            case 2: hk::pnp::Unplug(f.pdo); break;
            default:
                hk::pnp::SurpriseRemoval(f.pdo);
                EXPECT_FALSE(hk::iface::IsEnabled(hk::iface::Names(kInterface)[0]));
                status = hk::pnp::Remove(f.pdo);
                break;
        }
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(f.seen.log, c.expected);
        bool gone = c.operation >= 1 && NT_SUCCESS(c.status);
        EXPECT_EQ(f.driver->DeviceObject == nullptr, gone);
        if (c.operation == 0 && NT_SUCCESS(status)) {
            EXPECT_EQ(hk::pnp::Start(f.pdo), STATUS_SUCCESS);  // the stack starts again
            EXPECT_EQ(f.seen.log.back(), "START");
        }
        if (c.operation == 1 && NT_SUCCESS(status)) {
            // Still plugged: the manager can add and start the driver again.
            EXPECT_EQ(hk::pnp::Start(f.pdo), STATUS_SUCCESS);
            EXPECT_NE(f.fdo(), nullptr);
        }
        f.Finish();
    }
}

TEST(IoPnp, BusRelationsAddAndRemoveAChild) {
    Fixture f;
    PDEVICE_OBJECT child = nullptr;
    ASSERT_EQ(IoCreateDevice(f.driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN,
                             FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN, FALSE, &child),
              STATUS_SUCCESS);
    Ext(child)->isChild = true;
    Ext(child)->childReported = true;
    child->Flags &= ~DO_DEVICE_INITIALIZING;
    f.seen.children.push_back(child);
    IoInvalidateDeviceRelations(f.pdo, BusRelations);
    EXPECT_TRUE(hk::pnp::Children(f.pdo).empty());  // deferred until the manager runs
    hk::pnp::Process();
    ASSERT_EQ(hk::pnp::Children(f.pdo), std::vector<PDEVICE_OBJECT>{child});
    EXPECT_EQ(hk::pnp::GetState(child), hk::pnp::State::Started);
    EXPECT_EQ(hk::pnp::DeviceId(child), "KX\\CHILD");
    EXPECT_EQ(f.seen.log.back(), "child:START");
    EXPECT_EQ(hk::ObjectReferenceCount(child), 2);  // the driver's and the manager's

    // The bus no longer reports it: surprise removal, then removal (its bus driver deletes it).
    f.seen.children.clear();
    Ext(child)->childReported = false;
    f.seen.log.clear();
    IoInvalidateDeviceRelations(f.pdo, BusRelations);
    hk::pnp::Process();
    EXPECT_EQ(f.seen.log, (std::vector<std::string>{"child:SURPRISE_REMOVAL", "child:REMOVE"}));
    EXPECT_TRUE(hk::pnp::Children(f.pdo).empty());
    f.Finish();
}

TEST(IoPnp, PowerRequestsReachTheStackAndCallBack) {
    Fixture f;
    f.seen.log.clear();
    PIRP irp = nullptr;
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    NTSTATUS status = PoRequestPowerIrp(
        f.pdo, IRP_MN_SET_POWER, d3,
        [](PDEVICE_OBJECT, UCHAR minor, POWER_STATE state, PVOID, PIO_STATUS_BLOCK iosb) {
            EXPECT_EQ(minor, IRP_MN_SET_POWER);
            g_seen->powerCallbackState = state;
            g_seen->powerCallbackStatus = iosb->Status;
        },
        nullptr, &irp);
    EXPECT_EQ(status, STATUS_PENDING);
    EXPECT_NE(irp, nullptr);
    EXPECT_EQ(f.seen.powerCallbackStatus, STATUS_SUCCESS);
    EXPECT_EQ(f.seen.powerCallbackState.DeviceState, PowerDeviceD3);
    EXPECT_EQ(hk::power::DeviceState(f.fdo()), PowerDeviceD3);
    EXPECT_EQ(hk::power::DeviceState(f.pdo), PowerDeviceD3);
    EXPECT_EQ(hk::power::QuerySystemPower(f.pdo, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(hk::power::SetSystemPower(f.pdo, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(f.seen.log, (std::vector<std::string>{"D3", "S3", "S3"}));
    f.Finish();
}

TEST(IoUser, OpenOnlyWhileEnabledThenBufferedControlAndCloseSequence) {
    Fixture f;
    PEPROCESS program = hk::CreateProcess("camera32", true, false);
    HANDLE handle = nullptr;
    EXPECT_EQ(hk::user::OpenDeviceInterface(program, kInterface, 1, &handle), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(hk::user::OpenDeviceInterface(program, kInterface, 0, &handle), STATUS_SUCCESS);

    char* in = static_cast<char*>(hk::user::Alloc(program, 8));
    char* out = static_cast<char*>(hk::user::Alloc(program, 16));
    ASSERT_LT(reinterpret_cast<ULONG_PTR>(out), 0x80000000ull);
    memcpy(in, "abcdefgh", 8);
    ULONG returned = 0;
    EXPECT_EQ(hk::user::DeviceIoControl(program, handle, kIoctlEcho, in, 8, out, 16, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 8u);
    EXPECT_EQ(std::string(out, 8), "hgfedcba");
    EXPECT_TRUE(f.seen.is32Bit);
    // A buffer the program does not own fails as the probe would, before the driver sees it.
    char own[8] = {};
    f.seen.log.clear();
    EXPECT_EQ(hk::user::DeviceIoControl(program, handle, kIoctlEcho, own, 8, out, 16, &returned),
              STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(hk::user::DeviceIoControl(program, handle, kIoctlEcho, in, 8, own, 8, &returned),
              STATUS_ACCESS_VIOLATION);
    EXPECT_TRUE(f.seen.log.empty());
    // METHOD_OUT_DIRECT: the output is locked and described by an MDL.
    EXPECT_EQ(hk::user::DeviceIoControl(program, handle, kIoctlFill, nullptr, 0, out, 16, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 16u);
    EXPECT_EQ(static_cast<UCHAR>(out[15]), 0x5A);
    EXPECT_EQ(hk::user::DeviceIoControl(program, handle, kIoctlFill, nullptr, 0, own, 8, &returned),
              STATUS_ACCESS_VIOLATION);

    // A second handle to the same file: cleanup only with the last handle, then close.
    HANDLE second = nullptr;
    ASSERT_EQ(hk::user::DuplicateHandle(program, handle, FILE_GENERIC_READ, &second), STATUS_SUCCESS);
    EXPECT_EQ(hk::user::CloseHandle(program, handle), STATUS_SUCCESS);
    EXPECT_TRUE(f.seen.log.empty());
    EXPECT_EQ(hk::user::CloseHandle(program, second), STATUS_SUCCESS);
    EXPECT_EQ(f.seen.log, (std::vector<std::string>{"CLEANUP", "CLOSE"}));

    // Disabled interface: no new opens.
    hk::pnp::SurpriseRemoval(f.pdo);
    EXPECT_EQ(hk::user::OpenDeviceInterface(program, kInterface, 0, &handle), STATUS_OBJECT_NAME_NOT_FOUND);
    hk::ExitProcess(program);
    f.Finish();
}

TEST(IoUser, CancelIoAndProcessExitEndPendingRequests) {
    Fixture f;
    PEPROCESS program = hk::CreateProcess("camera");
    HANDLE handle = nullptr;
    ASSERT_EQ(hk::user::OpenDeviceInterface(program, kInterface, 0, &handle), STATUS_SUCCESS);
    hk::user::Request* request = hk::user::BeginDeviceIoControl(program, handle, kIoctlWait, nullptr, 0, nullptr, 0);
    EXPECT_EQ(hk::user::SendStatus(request), STATUS_PENDING);
    ULONGLONG timeout = 100 * 10000ull;
    EXPECT_EQ(hk::user::End(request, nullptr, &timeout), STATUS_TIMEOUT);
    EXPECT_EQ(hk::user::CancelIo(program, handle), 1u);
    EXPECT_EQ(hk::user::End(request), STATUS_CANCELLED);

    // A thread of the program waits in the driver; the program exits.
    f.seen.log.clear();
    NTSTATUS threadStatus = STATUS_PENDING;
    PKTHREAD thread = hk::StartThread("program-thread", program, [&] {
        threadStatus = hk::user::DeviceIoControl(program, handle, kIoctlWait, nullptr, 0, nullptr, 0);
    });
    hk::RunFor(10000);
    EXPECT_NE(f.seen.waiting, nullptr);
    hk::ExitProcess(program);
    hk::JoinThread(thread);
    EXPECT_EQ(threadStatus, STATUS_CANCELLED);
    EXPECT_EQ(f.seen.log, (std::vector<std::string>{"CLEANUP", "CLOSE"}));
    EXPECT_EQ(hk::HandleCount(program), 0u);
    f.Finish();
}

// A thread of the program is still in the kernel when the program exits, and the driver completes
// its buffered request after that. Nothing is copied back: the program's memory is unreachable
// until that thread has left (a driver's raw touch of it is reported) and gone once it has.
TEST(IoUser, RequestCompletedAfterItsProgramExitedWritesNothing) {
    hk::Options options;
    options.seed = 0;  // the test thread keeps the processor: the request completes while the program's thread waits
    Fixture f(STATUS_SUCCESS, options);
    PEPROCESS program = hk::CreateProcess("camera");
    HANDLE handle = nullptr;
    ASSERT_EQ(hk::user::OpenDeviceInterface(program, kInterface, 0, &handle), STATUS_SUCCESS);
    UCHAR* out = static_cast<UCHAR*>(hk::user::Alloc(program, 16));
    memset(out, 0xAA, 16);
    NTSTATUS threadStatus = STATUS_PENDING;
    PKTHREAD thread = hk::StartThread("program-thread", program, [&] {
        threadStatus = hk::user::DeviceIoControl(program, handle, kIoctlHold, nullptr, 0, out, 16);
    });
    hk::RunFor(10000);
    PIRP held = f.seen.held;
    ASSERT_NE(held, nullptr);

    hk::ExitProcess(program);  // no cancel routine: the driver keeps the request
    EXPECT_EQ(threadStatus, STATUS_PENDING);
    EXPECT_FALSE(hk::user::Owns(program, out, 16, true));
    // Any write into the program's memory would fault and be reported here.
    memset(held->AssociatedIrp.SystemBuffer, 0x5A, 16);
    Complete(held, STATUS_SUCCESS, 16);
    EXPECT_EQ(threadStatus, STATUS_PENDING) << "the program's thread has not left the kernel yet";
    {
        hk::ExpectViolation v(hk::rule::kUserAddress);
        UCHAR first = *static_cast<volatile UCHAR*>(out);  // a driver reading through the raw address
        EXPECT_EQ(1, v.Count());
        EXPECT_NE(std::string(v.LastMessage()).find("process that has exited"), std::string::npos) << v.LastMessage();
        EXPECT_EQ(first, 0xAA);
        for (int i = 0; i < 16; ++i) EXPECT_EQ(out[i], 0xAA) << i;
    }
    hk::JoinThread(thread);
    EXPECT_NE(threadStatus, STATUS_PENDING);
    EXPECT_FALSE(Readable(out)) << "the memory goes with the last thread of the program";
    f.Finish();
}

// Pages locked while a thread of the program is still in the kernel when it exits are checked
// when that thread leaves, as the address space goes only then: the I/O manager's lock of the
// request's output ends with the request, the driver's own lock kept beyond is reported.
TEST(IoUser, PagesLockedAtExitAreCheckedWhenTheLastThreadLeaves) {
    hk::Options options;
    options.seed = 0;
    Fixture f(STATUS_SUCCESS, options);
    PEPROCESS program = hk::CreateProcess("camera");
    HANDLE handle = nullptr;
    ASSERT_EQ(hk::user::OpenDeviceInterface(program, kInterface, 0, &handle), STATUS_SUCCESS);
    UCHAR* out = static_cast<UCHAR*>(hk::user::Alloc(program, 16));
    PKTHREAD thread = hk::StartThread("program-thread", program, [&] {
        (void)hk::user::DeviceIoControl(program, handle, kIoctlHoldLocked, nullptr, 0, out, 16);
    });
    hk::RunFor(10000);
    PIRP held = f.seen.held;
    ASSERT_NE(held, nullptr);
    ASSERT_NE(f.seen.kept, nullptr);
    hk::ExitProcess(program);  // two locks, but the thread is still in the kernel: nothing reported
    Complete(held, STATUS_SUCCESS, 16);
    {
        hk::ExpectViolation v(hk::rule::kPoolLeak);
        hk::JoinThread(thread);
        EXPECT_EQ(1, v.Count());
        EXPECT_NE(std::string(v.LastMessage()).find("process exits with locked pages"), std::string::npos)
            << v.LastMessage();
    }
    MmUnlockPages(f.seen.kept);
    IoFreeMdl(f.seen.kept);
    f.Finish();
}

}  // namespace
