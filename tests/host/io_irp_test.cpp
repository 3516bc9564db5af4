// The IRP engine: completion routines bottom-up with their invoke flags, pending propagation,
// STATUS_MORE_PROCESSING_REQUIRED, the rules a driver can break (double completion, pending without
// IoMarkIrpPending, completion with STATUS_PENDING, running out of stack locations), IRPs built by
// the I/O manager for drivers, and cancel racing completion under several scheduler seeds.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "hk_io_test.h"
#include "hk_ke_test.h"
#include "hk_wdm.h"

namespace {

// ---- A tiny layered driver: each device's extension says what its dispatch routine does.
enum class Mode {
    Complete,
    PassDown,
    PassDownWithRoutine,
    Pend,
    PendWithoutMark,
    CompleteTwice,
    // Mistakes reported where they happen:
    CompleteWithCancelRoutine,  // completes an IRP whose cancel routine is still set
    CompleteTooMuch,            // reports more output than the caller's buffer holds
    CompleteThenTouch,          // reads the IRP after completing it
    PassDownThenTouch,          // reads its stack location after the lower driver completed the IRP
};

void NeverCalledCancel(PDEVICE_OBJECT, PIRP) {}

struct Layer {
    const char* name;
    Mode mode;
    PDEVICE_OBJECT lower;
    bool routineTakesBack;  // its completion routine returns STATUS_MORE_PROCESSING_REQUIRED
    bool routineOnSuccess;
    bool forgetsPending = false;  // its completion routine does not propagate the pending state
};

std::vector<std::string> g_log;
PIRP g_held = nullptr;
KEVENT g_heldEvent;

Layer* LayerOf(PDEVICE_OBJECT device) { return *static_cast<Layer**>(device->DeviceExtension); }

NTSTATUS LayerCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    Layer* layer = static_cast<Layer*>(context);
    g_log.push_back(std::string(layer->name) + (irp->PendingReturned ? ":pending" : ":done") +
                    (device != nullptr && LayerOf(device) == layer ? "" : ":wrong-device"));
    if (layer->routineTakesBack) return STATUS_MORE_PROCESSING_REQUIRED;
    if (irp->PendingReturned && !layer->forgetsPending) IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

NTSTATUS LayerDispatch(PDEVICE_OBJECT device, PIRP irp) {
    Layer* layer = LayerOf(device);
    g_log.push_back(std::string(layer->name) + ":dispatch");
    switch (layer->mode) {
        case Mode::PassDown:
            IoSkipCurrentIrpStackLocation(irp);
            return IoCallDriver(layer->lower, irp);
        case Mode::PassDownWithRoutine:
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, LayerCompletion, layer, layer->routineOnSuccess, TRUE, TRUE);
            return IoCallDriver(layer->lower, irp);
        case Mode::Pend:
            IoMarkIrpPending(irp);
            g_held = irp;
            KeSetEvent(&g_heldEvent, 0, FALSE);
            return STATUS_PENDING;
        case Mode::PendWithoutMark:
            g_held = irp;
            return STATUS_PENDING;
        case Mode::CompleteTwice:
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
        case Mode::CompleteWithCancelRoutine:
            IoSetCancelRoutine(irp, NeverCalledCancel);
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
        case Mode::CompleteTooMuch:
            irp->IoStatus.Status = STATUS_SUCCESS;
            irp->IoStatus.Information = 8;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
        case Mode::CompleteThenTouch: {
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return *static_cast<volatile NTSTATUS*>(&irp->IoStatus.Status);
        }
        case Mode::PassDownThenTouch: {
            IoSkipCurrentIrpStackLocation(irp);
            NTSTATUS status = IoCallDriver(layer->lower, irp);
            volatile UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
            (void)major;
            return status;
        }
        case Mode::Complete:
        default:
            irp->IoStatus.Status = STATUS_SUCCESS;
            irp->IoStatus.Information = 4;
            if (irp->AssociatedIrp.SystemBuffer != nullptr) memcpy(irp->AssociatedIrp.SystemBuffer, "data", 4);
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
    }
}

NTSTATUS LayerEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = LayerDispatch;
    return STATUS_SUCCESS;
}

// A stack of layers, bottom first.
struct Stack {
    PDRIVER_OBJECT driver = nullptr;
    std::vector<PDEVICE_OBJECT> devices;
    std::vector<Layer> layers;

    explicit Stack(std::vector<Layer> l) : layers(std::move(l)) {
        g_log.clear();
        g_held = nullptr;
        KeInitializeEvent(&g_heldEvent, NotificationEvent, FALSE);
        EXPECT_EQ(hk::LoadDriver(LayerEntry, "layers", &driver), STATUS_SUCCESS);
        for (Layer& layer : layers) {
            PDEVICE_OBJECT device = nullptr;
            EXPECT_EQ(IoCreateDevice(driver, sizeof(Layer*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
                      STATUS_SUCCESS);
            *static_cast<Layer**>(device->DeviceExtension) = &layer;
            device->Flags |= DO_BUFFERED_IO;
            if (!devices.empty()) layer.lower = IoAttachDeviceToDeviceStack(device, devices.back());
            device->Flags &= ~DO_DEVICE_INITIALIZING;
            devices.push_back(device);
        }
    }
    PDEVICE_OBJECT top() const { return devices.back(); }
    ~Stack() {
        for (size_t i = devices.size(); i-- > 0;) {
            if (i > 0) IoDetachDevice(devices[i - 1]);
            IoDeleteDevice(devices[i]);
        }
        hk::UnloadDriver(driver);
    }
};

NTSTATUS OriginatorCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    g_log.push_back(std::string(device == nullptr ? "origin" : "origin:wrong-device") +
                    (irp->PendingReturned ? ":pending" : ":done"));
    *static_cast<NTSTATUS*>(context) = irp->IoStatus.Status;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends a driver-allocated IRP down the stack; the originator's routine takes it back.
PIRP SendOwnIrp(const Stack& stack, NTSTATUS* finalStatus, NTSTATUS* callStatus) {
    PIRP irp = IoAllocateIrp(stack.top()->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, OriginatorCompletion, finalStatus, TRUE, TRUE, TRUE);
    *callStatus = IoCallDriver(stack.top(), irp);
    return irp;
}

TEST(IoIrp, CompletionRoutinesRunBottomUpAndPendingPropagates) {
    struct Case {
        Mode bottom;
        bool middleRoutineOnSuccess;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {Mode::Complete, true, {"top:dispatch", "middle:dispatch", "bottom:dispatch", "top:done", "origin:done"}},
        {Mode::Pend,
         true,
         {"top:dispatch", "middle:dispatch", "bottom:dispatch", "top:pending", "origin:pending"}},
        // The top layer's routine asks for errors only: skipped on success, the pending state still
        // climbs to the originator.
        {Mode::Pend, false, {"top:dispatch", "middle:dispatch", "bottom:dispatch", "origin:pending"}},
    };
    for (const Case& c : cases) {
        hk::Kernel kernel;
        Stack stack({{"bottom", c.bottom, nullptr, false, true},
                     {"middle", Mode::PassDown, nullptr, false, true},
                     {"top", Mode::PassDownWithRoutine, nullptr, false, c.middleRoutineOnSuccess}});
        NTSTATUS finalStatus = STATUS_PENDING, callStatus;
        PIRP irp = SendOwnIrp(stack, &finalStatus, &callStatus);
        if (c.bottom == Mode::Pend) {
            EXPECT_EQ(callStatus, STATUS_PENDING);
            g_held->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(g_held, IO_NO_INCREMENT);
        } else {
            EXPECT_EQ(callStatus, STATUS_SUCCESS);
        }
        EXPECT_EQ(finalStatus, STATUS_SUCCESS);
        EXPECT_EQ(g_log, c.expected);
        IoFreeIrp(irp);
    }
}

TEST(IoIrp, MoreProcessingRequiredStopsCompletionUntilTheOwnerCompletesAgain) {
    hk::Kernel kernel;
    Stack stack({{"bottom", Mode::Complete, nullptr, false, true},
                 {"top", Mode::PassDownWithRoutine, nullptr, true, true}});
    NTSTATUS finalStatus = STATUS_PENDING, callStatus;
    PIRP irp = SendOwnIrp(stack, &finalStatus, &callStatus);
    EXPECT_EQ(g_log, (std::vector<std::string>{"top:dispatch", "bottom:dispatch", "top:done"}));
    EXPECT_EQ(finalStatus, STATUS_PENDING);  // the originator has not seen it yet
    // The top layer owns it again and finishes it: completion resumes above it.
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(g_log.back(), "origin:done");
    EXPECT_EQ(finalStatus, STATUS_SUCCESS);
    IoFreeIrp(irp);
}

TEST(IoIrp, BrokenRulesAreReported) {
    hk::Kernel kernel;
    {
        Stack stack({{"bottom", Mode::CompleteTwice, nullptr, false, true}});
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        PIRP irp = IoBuildDeviceIoControlRequest(0x222000, stack.top(), nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
        hk::ExpectViolation v(hk::rule::kDoubleCompletion);
        IoCallDriver(stack.top(), irp);
        EXPECT_EQ(v.Count(), 1);
    }
    for (bool passedDown : {false, true}) {
        // Returned STATUS_PENDING without IoMarkIrpPending: by the bottom layer itself, or by a layer
        // above whose completion routine does not propagate the pending state.
        Stack stack({{"bottom", passedDown ? Mode::Pend : Mode::PendWithoutMark, nullptr, false, true},
                     {"top", Mode::PassDownWithRoutine, nullptr, false, true, passedDown}});
        NTSTATUS finalStatus, callStatus;
        hk::ExpectViolation v(hk::rule::kIrpState);
        PIRP irp = SendOwnIrp(stack, &finalStatus, &callStatus);
        EXPECT_EQ(callStatus, STATUS_PENDING);
        g_held->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(g_held, IO_NO_INCREMENT);
        EXPECT_EQ(v.Count(), 1);
        EXPECT_NE(std::string(v.LastMessage()).find("IoMarkIrpPending"), std::string::npos);
        IoFreeIrp(irp);
    }
    {
        Stack stack({{"bottom", Mode::Pend, nullptr, false, true}});
        NTSTATUS finalStatus, callStatus;
        PIRP irp = SendOwnIrp(stack, &finalStatus, &callStatus);
        hk::ExpectViolation v(hk::rule::kIrpState);
        g_held->IoStatus.Status = STATUS_PENDING;  // completing with STATUS_PENDING
        IoCompleteRequest(g_held, IO_NO_INCREMENT);
        EXPECT_EQ(v.Count(), 1);
        IoFreeIrp(irp);
    }
    {
        Stack stack({{"bottom", Mode::Complete, nullptr, false, true}});
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoSetNextIrpStackLocation(irp);  // the originator keeps the only location for itself
        hk::ExpectViolation v(hk::rule::kIrpState);
        EXPECT_EQ(IoCallDriver(stack.top(), irp), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(v.Count(), 1);
        IoFreeIrp(irp);
    }
}

TEST(IoIrp, CompletionMistakesAndLateTouchesAreReportedWhereTheyHappen) {
    hk::Kernel kernel;
    struct Case {
        const char* name;
        Mode bottom;
        bool passedDownByTop;
        ULONG outputLength;
        const char* says;
    };
    const Case cases[] = {
        {"cancel routine still set", Mode::CompleteWithCancelRoutine, false, 4, "still has a cancel routine"},
        {"Information beyond the output buffer", Mode::CompleteTooMuch, false, 4, "beyond its output buffer of 4"},
        {"touched after completion", Mode::CompleteThenTouch, false, 4, "after it was completed or freed"},
        {"touched after being passed down", Mode::Complete, true, 4, "after it was completed or freed"},
    };
    for (const Case& c : cases) {
        std::vector<Layer> layers = {{"bottom", c.bottom, nullptr, false, true}};
        if (c.passedDownByTop) layers.push_back({"top", Mode::PassDownThenTouch, nullptr, false, true});
        Stack stack(layers);
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        char output[8] = {};
        PIRP irp = IoBuildDeviceIoControlRequest(0x222000, stack.top(), nullptr, 0, output, c.outputLength, FALSE,
                                                 &event, &iosb);
        hk::ExpectViolation v(hk::rule::kIrpState);
        IoCallDriver(stack.top(), irp);
        EXPECT_EQ(1, v.Count()) << c.name << ": " << v.LastMessage();
        EXPECT_NE(std::string(v.LastMessage()).find(c.says), std::string::npos) << c.name << ": " << v.LastMessage();
    }
}

TEST(IoIrp, SynchronousFsdRequestRoundTripThroughTwoLayers) {
    hk::Kernel kernel;
    Stack stack({{"bottom", Mode::Pend, nullptr, false, true},
                 {"top", Mode::PassDownWithRoutine, nullptr, false, true}});
    // The bottom layer's request is finished later by another thread.
    PKTHREAD completer = hk::StartThread("completer", hk::SystemProcess(), [] {
        KeWaitForSingleObject(&g_heldEvent, Executive, KernelMode, FALSE, nullptr);
        LARGE_INTEGER delay;
        delay.QuadPart = -10 * 10000;  // 10 ms
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        memcpy(g_held->AssociatedIrp.SystemBuffer, "abcdefgh", 8);
        g_held->IoStatus.Status = STATUS_SUCCESS;
        g_held->IoStatus.Information = 8;
        IoCompleteRequest(g_held, IO_NO_INCREMENT);
    });
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    char buffer[16] = {};
    LARGE_INTEGER offset;
    offset.QuadPart = 0;
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, stack.top(), buffer, sizeof buffer, &offset, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    ULONGLONG before = hk::Now();
    NTSTATUS status = IoCallDriver(stack.top(), irp);
    EXPECT_EQ(status, STATUS_PENDING);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_GE(hk::Now() - before, 10 * 10000ull);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 8u);
    EXPECT_EQ(std::string(buffer), "abcdefgh");
    EXPECT_EQ(g_log.back(), "top:pending");
    hk::JoinThread(completer);
}

// ---- Cancel racing completion: a queue with the classic cancel-routine protocol.
KSPIN_LOCK g_queueLock;
LIST_ENTRY g_queue;
int g_completions;

void QueueCancel(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KIRQL irql;
    KeAcquireSpinLock(&g_queueLock, &irql);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);  // self-linked when the completer took it
    KeReleaseSpinLock(&g_queueLock, irql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    ++g_completions;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS QueueDispatch(PDEVICE_OBJECT, PIRP irp) {
    KIRQL irql;
    KeAcquireSpinLock(&g_queueLock, &irql);
    IoSetCancelRoutine(irp, QueueCancel);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        KeReleaseSpinLock(&g_queueLock, irql);
        irp->IoStatus.Status = STATUS_CANCELLED;
        ++g_completions;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_CANCELLED;
    }
    IoMarkIrpPending(irp);
    InsertTailList(&g_queue, &irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&g_queueLock, irql);
    KeSetEvent(&g_heldEvent, 0, FALSE);
    return STATUS_PENDING;
}

NTSTATUS QueueEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = QueueDispatch;
    return STATUS_SUCCESS;
}

NTSTATUS CancelRace(ULONG seed) {
    hk::Options options;
    options.seed = seed;
    hk::Kernel kernel(options);
    KeInitializeSpinLock(&g_queueLock);
    InitializeListHead(&g_queue);
    KeInitializeEvent(&g_heldEvent, NotificationEvent, FALSE);
    g_completions = 0;
    PDRIVER_OBJECT driver = nullptr;
    EXPECT_EQ(hk::LoadDriver(QueueEntry, "queue", &driver), STATUS_SUCCESS);
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);

    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(0x222000, device, nullptr, 0, nullptr, 0, FALSE, &done, &iosb);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_PENDING);

    PKTHREAD completer = hk::StartThread("completer", hk::SystemProcess(), [] {
        KeWaitForSingleObject(&g_heldEvent, Executive, KernelMode, FALSE, nullptr);
        hk::SchedulePoint();
        KIRQL irql;
        KeAcquireSpinLock(&g_queueLock, &irql);
        PIRP taken = nullptr;
        if (!IsListEmpty(&g_queue)) {
            PLIST_ENTRY entry = RemoveHeadList(&g_queue);
            taken = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
            if (IoSetCancelRoutine(taken, nullptr) == nullptr) {
                InitializeListHead(entry);  // the cancel routine owns it now
                taken = nullptr;
            }
        }
        KeReleaseSpinLock(&g_queueLock, irql);
        if (taken != nullptr) {
            taken->IoStatus.Status = STATUS_SUCCESS;
            ++g_completions;
            IoCompleteRequest(taken, IO_NO_INCREMENT);
        }
    });
    PKTHREAD canceller = hk::StartThread("canceller", hk::SystemProcess(), [&] {
        hk::SchedulePoint();
        hk::SchedulePoint();
        if (KeReadStateEvent(&done) == 0) IoCancelIrp(irp);
    });
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    hk::JoinThread(completer);
    hk::JoinThread(canceller);
    EXPECT_EQ(g_completions, 1) << "seed " << seed;
    IoDeleteDevice(device);
    hk::UnloadDriver(driver);
    return iosb.Status;
}

TEST(IoIrp, CancelRacingCompletionCompletesOnceUnderEverySeed) {
    std::set<NTSTATUS> outcomes;
    for (ULONG seed = 1; seed <= 24; ++seed) {
        NTSTATUS status = CancelRace(seed);
        EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED) << "seed " << seed;
        EXPECT_EQ(CancelRace(seed), status) << "seed " << seed << " does not replay";
        outcomes.insert(status);
    }
    EXPECT_EQ(outcomes.size(), 2u) << "the seeds did not explore both outcomes";
}

}  // namespace
