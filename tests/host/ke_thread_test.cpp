// Threads and the seeded scheduler: reproducible interleavings, system threads created by a
// driver, and work items on the system worker threads.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "hk_io_test.h"
#include "hk_ke_test.h"
#include "hk_wdm.h"

namespace {

// Three threads increment a shared counter without a lock, with a point where control may pass
// between the read and the write. Returns the order of the increments and the final count.
std::string Race(ULONG seed) {
    hk::Options options;
    options.seed = seed;
    hk::Kernel kernel(options);
    std::string trace;
    int counter = 0;
    auto body = [&](char id) {
        for (int i = 0; i < 10; ++i) {
            int seen = counter;
            hk::SchedulePoint();
            counter = seen + 1;
            trace += id;
        }
    };
    PKTHREAD a = hk::StartThread("a", nullptr, [&] { body('a'); });
    PKTHREAD b = hk::StartThread("b", nullptr, [&] { body('b'); });
    PKTHREAD c = hk::StartThread("c", nullptr, [&] { body('c'); });
    for (PKTHREAD t : {a, b, c}) hk::JoinThread(t);
    return trace + " " + std::to_string(counter);
}

TEST(KeScheduler, SameSeedReplaysAndOtherSeedsExploreInterleavings) {
    EXPECT_EQ(Race(0), "aaaaaaaaaabbbbbbbbbbcccccccccc 30");  // no preemption at all
    std::set<std::string> seen;
    bool lostUpdate = false;
    for (ULONG seed = 1; seed <= 8; ++seed) {
        std::string first = Race(seed);
        EXPECT_EQ(Race(seed), first) << "seed " << seed;
        seen.insert(first);
        lostUpdate = lostUpdate || first.substr(first.size() - 3) != " 30";
    }
    EXPECT_GE(seen.size(), 6u);
    EXPECT_TRUE(lostUpdate) << "no seed exposed the race";
}

// The seed sweep's base shifts every preemptive seed and leaves seed 0 alone.
TEST(KeScheduler, SeedBaseFromTheEnvironmentShiftsPreemptiveSeeds) {
    const char* outer = getenv("KX_SCHED_SEED_BASE");
    std::string saved = outer != nullptr ? outer : "";
    setenv("KX_SCHED_SEED_BASE", "0", 1);
    std::string seed8 = Race(8);
    setenv("KX_SCHED_SEED_BASE", "6", 1);
    std::string seed2Shifted = Race(2);
    std::string seed0 = Race(0);
    if (outer != nullptr) setenv("KX_SCHED_SEED_BASE", saved.c_str(), 1);
    else unsetenv("KX_SCHED_SEED_BASE");
    EXPECT_EQ(seed2Shifted, seed8);
    EXPECT_EQ(seed0, "aaaaaaaaaabbbbbbbbbbcccccccccc 30");
}

struct SystemThreadContext {
    KEVENT go;
    PEPROCESS process = nullptr;
    KIRQL irql = HIGH_LEVEL;
    bool ranPastTerminate = false;
};

void SystemThreadRoutine(PVOID context) {
    SystemThreadContext* c = static_cast<SystemThreadContext*>(context);
    KeWaitForSingleObject(&c->go, Executive, KernelMode, FALSE, nullptr);
    c->process = PsGetCurrentProcess();
    c->irql = KeGetCurrentIrql();
    PsTerminateSystemThread(STATUS_SUCCESS);
    c->ranPastTerminate = true;
}

TEST(KeThreads, SystemThreadRunsInTheSystemProcessAndSignalsItsObjectWhenItEnds) {
    hk::Kernel kernel;
    SystemThreadContext context;
    KeInitializeEvent(&context.go, NotificationEvent, FALSE);
    HANDLE handle = nullptr;
    CLIENT_ID id{};
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, &id, SystemThreadRoutine, &context),
              STATUS_SUCCESS);
    EXPECT_NE(id.UniqueThread, nullptr);
    PVOID object = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &object, nullptr),
              STATUS_SUCCESS);
    ZwClose(handle);
    PKTHREAD thread = static_cast<PKTHREAD>(object);
    EXPECT_EQ(KeSetPriorityThread(thread, LOW_REALTIME_PRIORITY), 8);
    hk::RunUntilIdle();
    EXPECT_EQ(hk::GetThreadState(thread), hk::ThreadState::Waiting);
    EXPECT_NE(hk::DescribeThreads().find("'system thread"), std::string::npos);
    KeSetEvent(&context.go, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(context.process, hk::SystemProcess());
    EXPECT_EQ(context.irql, PASSIVE_LEVEL);
    EXPECT_FALSE(context.ranPastTerminate);
    EXPECT_EQ(hk::GetThreadState(thread), hk::ThreadState::Terminated);
    ObDereferenceObject(object);
}

void EndAtOnce(PVOID) { PsTerminateSystemThread(STATUS_SUCCESS); }

size_t Lines(const std::string& text) {
    size_t n = 0;
    for (char c : text) n += c == '\n';
    return n;
}

// A long run (a fuzzer's) starts threads without end: the records of ended threads nobody can
// name any more go, those still named stay.
TEST(KeThreads, EndedThreadsNobodyNamesAreForgotten) {
    hk::Kernel kernel;
    PKTHREAD kept = hk::StartThread("kept", nullptr, [] {});
    hk::JoinThread(kept);
    for (int i = 0; i < 500; ++i) {
        PKTHREAD helper = hk::StartThread("helper", nullptr, [] {});
        hk::JoinThread(helper);
        hk::ReleaseThread(helper);
        HANDLE handle = nullptr;
        ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, EndAtOnce, nullptr),
                  STATUS_SUCCESS);
        PVOID object = nullptr;
        ASSERT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &object, nullptr),
                  STATUS_SUCCESS);
        ZwClose(handle);
        KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(object);
    }
    std::string threads = hk::DescribeThreads();
    EXPECT_LT(Lines(threads), 200u) << threads.substr(0, 2000);
    EXPECT_STREQ(hk::ThreadName(kept), "kept");
    EXPECT_EQ(hk::GetThreadState(kept), hk::ThreadState::Terminated);
}

struct WorkLog {
    std::vector<std::string> entries;
};
struct WorkContext {
    WorkLog* log;
    const char* name;
    PIO_WORKITEM item;
};

void LogWork(PDEVICE_OBJECT, PVOID context) {
    WorkContext* w = static_cast<WorkContext*>(context);
    std::string entry = std::string(w->name) + "@" + std::to_string(KeGetCurrentIrql()) + " on " +
                        hk::ThreadName(KeGetCurrentThread());
    if (hk::CurrentProcess() != hk::SystemProcess()) entry += " outside the system process";
    w->log->entries.push_back(entry);
    IoFreeWorkItem(w->item);  // a routine may free its own item
}

// Without preemption (seed 0): the order of the queues is the workers' priority order only when
// no seeded hand-over runs a lower-priority worker first.
hk::Options WithoutPreemption() {
    hk::Options options;
    options.seed = 0;
    return options;
}

TEST(KeThreads, WorkItemsRunAtPassiveOnSystemWorkersByQueue) {
    hk::Kernel kernel(WithoutPreemption());
    WorkLog log;
    WorkContext contexts[3] = {{&log, "delayed 1", nullptr}, {&log, "delayed 2", nullptr}, {&log, "critical", nullptr}};
    const WORK_QUEUE_TYPE queues[3] = {DelayedWorkQueue, DelayedWorkQueue, CriticalWorkQueue};
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);  // queued from DISPATCH_LEVEL
    for (int i = 0; i < 3; ++i) {
        contexts[i].item = IoAllocateWorkItem(nullptr);
        ASSERT_NE(contexts[i].item, nullptr);
        IoQueueWorkItem(contexts[i].item, LogWork, queues[i], &contexts[i]);
    }
    KeReleaseSpinLock(&lock, old);
    hk::RunUntilIdle();
    EXPECT_EQ(log.entries, (std::vector<std::string>{"critical@0 on system worker (critical)",
                                                     "delayed 1@0 on system worker (delayed)",
                                                     "delayed 2@0 on system worker (delayed)"}));
    EXPECT_EQ(hk::Now(), 0u);  // running until idle takes no virtual time
}

PDEVICE_OBJECT g_device;
NTSTATUS CreateOneDevice(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    return IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_device);
}

TEST(KeThreads, QueuedWorkItemKeepsItsDeviceObjectReferenced) {
    hk::Kernel kernel(WithoutPreemption());  // the item must still be queued when counted
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(hk::LoadDriver(CreateOneDevice, "kework", &driver), STATUS_SUCCESS);
    LONG idle = hk::ObjectReferenceCount(g_device);
    PIO_WORKITEM item = IoAllocateWorkItem(g_device);
    LONG during = 0;
    IoQueueWorkItem(
        item, [](PDEVICE_OBJECT device, PVOID context) { *static_cast<LONG*>(context) = hk::ObjectReferenceCount(device); },
        DelayedWorkQueue, &during);
    EXPECT_EQ(hk::ObjectReferenceCount(g_device), idle + 1);
    hk::RunUntilIdle();
    EXPECT_EQ(during, idle + 1);
    EXPECT_EQ(hk::ObjectReferenceCount(g_device), idle);
    IoFreeWorkItem(item);
    IoDeleteDevice(g_device);
    hk::UnloadDriver(driver);
}

}  // namespace
