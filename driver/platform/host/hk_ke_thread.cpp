// Host kernel ke: system threads, the test API's threads, alerts and priorities, and the system
// worker threads that run work items.
#include <stdio.h>

#include "hk_ke_internal.h"
#include "hk_wdm.h"

namespace hk {
namespace ke {
namespace {

constexpr ULONG kWorkItemTag = 'I' | ('o' << 8) | ('W' << 16) | ('k' << 24);  // "IoWk"

void OnThreadObjectDeleted(PVOID body) {
    PKTHREAD object = static_cast<PKTHREAD>(body);
    Thread* t = ThreadOf(object);
    if (t == nullptr || !g.booted) return;
    if (t->state == RunState::Terminated) {
        t->kthread = nullptr;
    } else {
        // Cannot happen while the thread holds its own reference; keep the thread whole anyway.
        t->kthread = new KTHREAD(*object);
        t->ownsKthread = true;
    }
}

void WorkerLoop(WorkQueue* queue) {
    for (;;) {
        KeWaitForSingleObject(&queue->wake, Executive, KernelMode, FALSE, nullptr);
        while (!queue->items.empty()) {
            PIO_WORKITEM item = queue->items.front();
            queue->items.pop_front();
            item->Queued = FALSE;
            PDEVICE_OBJECT device = item->DeviceObject;
            PIO_WORKITEM_ROUTINE routine = item->Routine;
            PVOID context = item->Context;
            // The routine may free or queue the item again: it is not touched afterwards.
            routine(device, context);
            Thread* self = Cur();
            if (self->irql != PASSIVE_LEVEL) {
                Violation(rule::kIrql, "work item routine %p returned at IRQL %u", reinterpret_cast<void*>(routine),
                          self->irql);
                self->irql = PASSIVE_LEVEL;
                SyncMemoryView();
            }
            if (self->spinLocksHeld != 0) {
                Violation(rule::kSpinLockOwner, "work item routine %p returned holding %d spin lock(s)",
                          reinterpret_cast<void*>(routine), self->spinLocksHeld);
                // The worker thread goes on serving other drivers: the locks are let go.
                for (size_t i = self->held.size(); i-- > 0;)
                    if (self->held[i].spin)
                        SpinRelease(self, static_cast<PKSPIN_LOCK>(const_cast<void*>(self->held[i].lock)),
                                    "work item return");
            }
            if (!self->mutexes.empty()) {
                Violation(rule::kMutex, "work item routine %p returned owning mutex %p",
                          reinterpret_cast<void*>(routine), static_cast<void*>(self->mutexes.front()));
                ReleaseMutexesOf(self);  // the worker thread goes on serving other drivers
            }
            if (device != nullptr) ObDereferenceObject(device);
        }
    }
}

WorkQueue& QueueFor(WORK_QUEUE_TYPE type) { return g.queues[type == DelayedWorkQueue ? 1 : 0]; }

void StartWorker(WorkQueue& queue) {
    bool critical = &queue == &g.queues[0];
    queue.worker = NewThread(Kind::Worker, critical ? "system worker (critical)" : "system worker (delayed)",
                             critical ? 13 : 12, nullptr);
    WorkQueue* q = &queue;
    queue.worker->body = [q] { WorkerLoop(q); };
    StartOsThread(queue.worker);
}

}  // namespace

void ResetWorkQueues() {
    for (WorkQueue& queue : g.queues) {
        queue.worker = nullptr;
        queue.items.clear();
        KeInitializeEvent(&queue.wake, SynchronizationEvent, FALSE);
    }
}

}  // namespace ke

// ---------------------------------------------------------------------------------------------
// Test API

PKTHREAD StartThread(const char* name, PEPROCESS process, std::function<void()> body, KPRIORITY priority) {
    ke::Cur();
    ke::Thread* t = ke::NewThread(ke::Kind::Test, name, priority,
                                  process != nullptr ? process : ke::g.adopted->process);
    t->inSystemProcess = t->process != nullptr && t->process == SystemProcess();
    t->body = std::move(body);
    ke::StartOsThread(t);
    SchedulePoint();
    return t->kthread;
}

void JoinThread(PKTHREAD thread) {
    NTSTATUS status = KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    if (status != STATUS_SUCCESS) ke::Fatal("JoinThread: wait ended with 0x%08X", static_cast<ULONG>(status));
}

void ReleaseThread(PKTHREAD thread) {
    ke::Cur();
    ke::Thread* t = ke::ThreadOf(thread);
    if (t == nullptr || t->kind != ke::Kind::Test) ke::Fatal("ReleaseThread on an object that is not a test thread");
    t->released = true;
}

void AlertThread(PKTHREAD thread) {
    ke::Cur();
    ke::Thread* t = ke::ThreadOf(thread);
    if (t == nullptr) ke::Fatal("AlertThread on an object that is not a thread");
    if (t->state == ke::RunState::Waiting && t->alertable) {
        ke::EndWait(t, STATUS_ALERTED);
    } else if (t->state != ke::RunState::Terminated) {
        t->alerted = true;
    }
}

void RunFor(ULONGLONG ticks100ns) {
    LARGE_INTEGER interval;
    interval.QuadPart = -static_cast<LONGLONG>(ticks100ns);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

}  // namespace hk

// ---------------------------------------------------------------------------------------------
// System threads

using hk::ke::Cur;
using hk::ke::g;
using hk::ke::Thread;

extern "C" NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                         HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                         PVOID StartContext) {
    Cur();
    hk::ke::RequireIrqlAtMost(PASSIVE_LEVEL, "PsCreateSystemThread");
    if (ThreadHandle == nullptr || StartRoutine == nullptr) return STATUS_INVALID_PARAMETER;
    // The thread runs in the system process unless a process handle names another one.
    PEPROCESS process = hk::SystemProcess();
    if (ProcessHandle == NtCurrentProcess()) {
        process = hk::CurrentProcess();
    } else if (ProcessHandle != nullptr) {
        PVOID named = nullptr;
        NTSTATUS status = ObReferenceObjectByHandle(ProcessHandle, 0, *PsProcessType, KernelMode, &named, nullptr);
        if (!NT_SUCCESS(status)) return status;
        process = static_cast<PEPROCESS>(named);
        ObDereferenceObject(named);
    }
    PKTHREAD object = static_cast<PKTHREAD>(
        hk::CreateObject(*PsThreadType, sizeof(KTHREAD), hk::ke::OnThreadObjectDeleted));
    if (object == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    Thread* t = hk::ke::NewThread(hk::ke::Kind::System, "", 8, process);
    t->kthread = object;
    hk::ke::InitThreadObject(object, t);
    char name[64];
    snprintf(name, sizeof(name), "system thread %u", t->id);
    t->name = name;
    // A kernel handle (system process), whatever the caller's process: the driver references it
    // with KernelMode access and closes it, possibly from another process context.
    NTSTATUS status = hk::InsertHandle(hk::SystemProcess(), object, DesiredAccess, ThreadHandle);
    if (!NT_SUCCESS(status)) {
        g.threads.pop_back();
        object->HostThread = nullptr;
        delete t;
        ObDereferenceObject(object);
        return status;
    }
    if (ClientId != nullptr) {
        ClientId->UniqueProcess = PsGetProcessId(process);
        ClientId->UniqueThread = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(t->id) * 4);
    }
    t->body = [StartRoutine, StartContext] { StartRoutine(StartContext); };
    hk::ke::StartOsThread(t);
    hk::SchedulePoint();
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus) {
    Thread* self = Cur();
    if (self->kind != hk::ke::Kind::System) {
        hk::Violation(hk::rule::kDispatcher, "PsTerminateSystemThread called by '%s', which is not a system thread",
                      self->name.c_str());
        return STATUS_INVALID_PARAMETER;
    }
    hk::ke::ExitCurrentThread();
}

extern "C" PKTHREAD KeGetCurrentThread(void) { return Cur()->kthread; }
extern "C" PETHREAD PsGetCurrentThread(void) { return Cur()->kthread; }
extern "C" HANDLE PsGetCurrentThreadId(void) {
    return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(Cur()->id) * 4);
}

extern "C" KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
    Cur();
    hk::ke::Thread* t = hk::ke::ThreadOf(Thread);
    if (t == nullptr) hk::ke::Fatal("KeSetPriorityThread on an object that is not a thread");
    if (Priority < LOW_PRIORITY + 1 || Priority > HIGH_PRIORITY) {
        hk::Violation(hk::rule::kDispatcher, "KeSetPriorityThread(%d) outside 1..31", Priority);
        return t->priority;
    }
    KPRIORITY old = t->priority;
    t->priority = Priority;
    return old;
}

extern "C" KPRIORITY KeQueryPriorityThread(PKTHREAD Thread) {
    Cur();
    hk::ke::Thread* t = hk::ke::ThreadOf(Thread);
    if (t == nullptr) hk::ke::Fatal("KeQueryPriorityThread on an object that is not a thread");
    return t->priority;
}

// ---------------------------------------------------------------------------------------------
// Work items: run at PASSIVE_LEVEL on a system worker thread, holding a reference on the device
// object while queued.

extern "C" PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
    Cur();
    hk::ke::RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateWorkItem");
    PIO_WORKITEM item =
        static_cast<PIO_WORKITEM>(ExAllocatePoolWithTag(NonPagedPool, sizeof(IO_WORKITEM), hk::ke::kWorkItemTag));
    if (item == nullptr) return nullptr;
    RtlZeroMemory(item, sizeof(*item));
    item->DeviceObject = DeviceObject;
    return item;
}

extern "C" void IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                                PVOID Context) {
    Cur();
    hk::ke::RequireIrqlAtMost(DISPATCH_LEVEL, "IoQueueWorkItem");
    if (IoWorkItem->Queued) {
        hk::Violation(hk::rule::kWorkItem, "work item %p queued again before its routine ran",
                      static_cast<void*>(IoWorkItem));
        return;
    }
    IoWorkItem->Routine = WorkerRoutine;
    IoWorkItem->Context = Context;
    IoWorkItem->QueueType = QueueType;
    IoWorkItem->Queued = TRUE;
    if (IoWorkItem->DeviceObject != nullptr) ObReferenceObject(IoWorkItem->DeviceObject);
    hk::ke::WorkQueue& queue = hk::ke::QueueFor(QueueType);
    if (queue.worker == nullptr) hk::ke::StartWorker(queue);
    queue.items.push_back(IoWorkItem);
    KeSetEvent(&queue.wake, IO_NO_INCREMENT, FALSE);
}

extern "C" void IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
    Cur();
    if (IoWorkItem->Queued) {
        hk::Violation(hk::rule::kWorkItem, "work item %p freed while still queued", static_cast<void*>(IoWorkItem));
        for (hk::ke::WorkQueue& queue : g.queues) {
            for (auto it = queue.items.begin(); it != queue.items.end(); ++it) {
                if (*it == IoWorkItem) {
                    queue.items.erase(it);
                    if (IoWorkItem->DeviceObject != nullptr) ObDereferenceObject(IoWorkItem->DeviceObject);
                    break;
                }
            }
        }
    }
    ExFreePoolWithTag(IoWorkItem, hk::ke::kWorkItemTag);
}
