// Dispatcher objects and waits: events, recursive mutexes, semaphores, multiple-object waits,
// alerts, thread priorities and the deadlock report.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hk_ke_test.h"
#include "hk_wdm.h"

namespace {

constexpr ULONGLONG kMs = 10000;

LARGE_INTEGER Relative(ULONGLONG ticks) {
    LARGE_INTEGER t;
    t.QuadPart = -static_cast<LONGLONG>(ticks);
    return t;
}

// Tests whose outcome must not depend on the interleaving run under these scheduler seeds.
const ULONG kSeeds[] = {0, 1, 2, 3, 5, 8};

hk::Options Seeded(ULONG seed) {
    hk::Options options;
    options.seed = seed;
    return options;
}

NTSTATUS Wait(PVOID object, ULONGLONG timeout = ~0ull, BOOLEAN alertable = FALSE) {
    LARGE_INTEGER t = Relative(timeout);
    return KeWaitForSingleObject(object, Executive, KernelMode, alertable, timeout == ~0ull ? nullptr : &t);
}

TEST(KeDispatch, SynchronizationEventReleasesOneWaiterPerSet) {
    for (ULONG seed : kSeeds) {
        SCOPED_TRACE(seed);
        hk::Kernel kernel(Seeded(seed));
        KEVENT event;
        KeInitializeEvent(&event, SynchronizationEvent, FALSE);
        int woken = 0;
        PKTHREAD a = hk::StartThread("a", nullptr, [&] { Wait(&event); ++woken; });
        PKTHREAD b = hk::StartThread("b", nullptr, [&] { Wait(&event); ++woken; });
        hk::RunUntilIdle();
        EXPECT_EQ(woken, 0);
        EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
        hk::RunUntilIdle();
        EXPECT_EQ(woken, 1);
        EXPECT_EQ(KeReadStateEvent(&event), 0);  // consumed by the wait
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        hk::JoinThread(a);
        hk::JoinThread(b);
        EXPECT_EQ(woken, 2);
    }
}

TEST(KeDispatch, NotificationEventReleasesEveryWaiterAndStaysSet) {
    hk::Kernel kernel;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    int woken = 0;
    std::vector<PKTHREAD> threads;
    for (const char* name : {"a", "b", "c"}) threads.push_back(hk::StartThread(name, nullptr, [&] {
        Wait(&event);
        ++woken;
    }));
    hk::RunUntilIdle();
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1);
    for (PKTHREAD t : threads) hk::JoinThread(t);
    EXPECT_EQ(woken, 3);
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    // A pulse wakes the current waiters and leaves the event clear.
    PKTHREAD d = hk::StartThread("d", nullptr, [&] { Wait(&event); ++woken; });
    hk::RunUntilIdle();
    EXPECT_EQ(KePulseEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    hk::JoinThread(d);
    EXPECT_EQ(woken, 4);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST(KeDispatch, MutexIsRecursivePerOwnerAndRefusesOtherReleasers) {
    for (ULONG seed : kSeeds) {
        SCOPED_TRACE(seed);
        hk::Kernel kernel(Seeded(seed));
        KMUTEX mutex;
        KeInitializeMutex(&mutex, 0);
        EXPECT_EQ(KeReadStateMutex(&mutex), 1);
        ASSERT_EQ(Wait(&mutex), STATUS_SUCCESS);
        ASSERT_EQ(Wait(&mutex), STATUS_SUCCESS);  // the owner enters again
        EXPECT_EQ(KeReadStateMutex(&mutex), -1);
        bool acquired = false;
        PKTHREAD other = hk::StartThread("other", nullptr, [&] {
            {
                hk::ExpectViolation notOwner(hk::rule::kMutex);
                KeReleaseMutex(&mutex, FALSE);
                EXPECT_EQ(notOwner.Count(), 1);
                EXPECT_NE(std::string(notOwner.LastMessage()).find("owned by 'test'"), std::string::npos);
            }
            EXPECT_EQ(Wait(&mutex, 10 * kMs), STATUS_TIMEOUT);
            EXPECT_EQ(Wait(&mutex), STATUS_SUCCESS);
            acquired = true;
            KeReleaseMutex(&mutex, FALSE);
        });
        hk::RunFor(20 * kMs);
        EXPECT_EQ(KeReadStateMutex(&mutex), -1);  // the refused release changed nothing
        EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), -1);
        hk::RunUntilIdle();
        EXPECT_FALSE(acquired);  // still held once
        KeReleaseMutex(&mutex, FALSE);
        hk::JoinThread(other);
        EXPECT_TRUE(acquired);
        EXPECT_EQ(KeReadStateMutex(&mutex), 1);
    }
}

TEST(KeDispatch, SemaphoreCountsAndRefusesItsLimit) {
    hk::Kernel kernel;
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 0, 2);
    EXPECT_EQ(KeReleaseSemaphore(&semaphore, 0, 2, FALSE), 0);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 2);
    EXPECT_EQ(Wait(&semaphore, 0), STATUS_SUCCESS);
    EXPECT_EQ(Wait(&semaphore, 0), STATUS_SUCCESS);
    EXPECT_EQ(Wait(&semaphore, kMs), STATUS_TIMEOUT);
    KeReleaseSemaphore(&semaphore, 0, 1, FALSE);
    hk::ExpectViolation limit(hk::rule::kDispatcher);
    EXPECT_EQ(KeReleaseSemaphore(&semaphore, 0, 2, FALSE), 1);
    EXPECT_EQ(limit.Count(), 1);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 1);
}

// WaitAny and WaitAll on two events, with one of them set at 300 ms by another thread.
struct MultiCase {
    WAIT_TYPE type;
    bool setFirst;
    bool setSecond;
    NTSTATUS expected;
    ULONGLONG expectedTime;
    LONG secondAfter;  // the synchronization event is consumed only by a wait it satisfies
};

class KeMultipleWait : public ::testing::TestWithParam<MultiCase> {};

TEST_P(KeMultipleWait, EndsAsItsTypeSays) {
    const MultiCase& c = GetParam();
    hk::Kernel kernel;
    KEVENT first, second;
    KeInitializeEvent(&first, NotificationEvent, FALSE);
    KeInitializeEvent(&second, SynchronizationEvent, FALSE);
    PKTHREAD setter = hk::StartThread("setter", nullptr, [&] {
        hk::RunFor(300 * kMs);
        if (c.setFirst) KeSetEvent(&first, IO_NO_INCREMENT, FALSE);
        if (c.setSecond) KeSetEvent(&second, IO_NO_INCREMENT, FALSE);
    });
    PVOID objects[2] = {&first, &second};
    LARGE_INTEGER timeout = Relative(1000 * kMs);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, c.type, Executive, KernelMode, FALSE, &timeout, nullptr),
              c.expected);
    EXPECT_EQ(hk::Now(), c.expectedTime);
    hk::JoinThread(setter);
    EXPECT_EQ(KeReadStateEvent(&second), c.secondAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KeMultipleWait,
    ::testing::Values(MultiCase{WaitAny, false, true, STATUS_WAIT_1, 300 * kMs, 0},
                      MultiCase{WaitAny, true, true, STATUS_WAIT_0, 300 * kMs, 1},
                      MultiCase{WaitAny, false, false, STATUS_TIMEOUT, 1000 * kMs, 0},
                      MultiCase{WaitAll, false, true, STATUS_TIMEOUT, 1000 * kMs, 1},
                      MultiCase{WaitAll, true, true, STATUS_WAIT_0, 300 * kMs, 0}));

TEST(KeDispatch, AlertEndsAlertableWaitsOnly) {
    for (ULONG seed : kSeeds) {
        SCOPED_TRACE(seed);
        hk::Kernel kernel(Seeded(seed));
        KEVENT never;
        KeInitializeEvent(&never, NotificationEvent, FALSE);
        std::vector<NTSTATUS> results;
        PKTHREAD waiter = hk::StartThread("waiter", nullptr, [&] {
            results.push_back(Wait(&never, ~0ull, TRUE));           // alerted while waiting
            results.push_back(Wait(&never, 50 * kMs, FALSE));       // alert pending, wait not alertable
            results.push_back(Wait(&never, ~0ull, TRUE));           // the pending alert ends it at once
            LARGE_INTEGER interval = Relative(1000 * kMs);
            results.push_back(KeDelayExecutionThread(UserMode, TRUE, &interval));
        });
        hk::RunFor(10 * kMs);
        EXPECT_EQ(hk::GetThreadState(waiter), hk::ThreadState::Waiting);
        hk::AlertThread(waiter);
        hk::RunFor(10 * kMs);
        hk::AlertThread(waiter);  // lands during the non-alertable wait
        hk::RunFor(100 * kMs);
        hk::AlertThread(waiter);  // ends the delay
        hk::JoinThread(waiter);
        EXPECT_EQ(results, (std::vector<NTSTATUS>{STATUS_ALERTED, STATUS_TIMEOUT, STATUS_ALERTED, STATUS_ALERTED}));
        EXPECT_EQ(hk::Now(), 120 * kMs);
    }
}

TEST(KeDispatch, HigherPriorityThreadsRunFirst) {
    hk::Options options;
    options.seed = 0;
    hk::Kernel kernel(options);
    std::string order;
    PKTHREAD low = hk::StartThread("low", nullptr, [&] { order += "L"; }, 5);
    PKTHREAD mid = hk::StartThread("mid", nullptr, [&] { order += "M"; }, 10);
    PKTHREAD high = hk::StartThread("high", nullptr, [&] { order += "H"; }, 15);
    PKTHREAD raised = hk::StartThread("raised", nullptr, [&] { order += "R"; }, 5);
    EXPECT_EQ(KeSetPriorityThread(raised, 20), 5);
    EXPECT_EQ(KeQueryPriorityThread(raised), 20);
    EXPECT_EQ(order, "");  // seed 0: the test thread runs until it blocks
    hk::RunUntilIdle();
    EXPECT_EQ(order, "RHML");
    for (PKTHREAD t : {low, mid, high, raised}) EXPECT_EQ(hk::GetThreadState(t), hk::ThreadState::Terminated);
}

TEST(KeDispatch, DeadlockReportListsEveryThreadAndItsWait) {
    hk::Kernel kernel;
    KEVENT first, second;
    KeInitializeEvent(&first, NotificationEvent, FALSE);
    KeInitializeEvent(&second, SynchronizationEvent, FALSE);
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    PKTHREAD stuck = hk::StartThread("stuck worker", nullptr, [&] {
        Wait(&mutex);
        Wait(&first);
        KeReleaseMutex(&mutex, FALSE);
    });
    hk::RunUntilIdle();
    hk::ExpectViolation deadlock(hk::rule::kDeadlock);
    EXPECT_EQ(Wait(&second), STATUS_TIMEOUT);  // the report ends the test thread's wait
    ASSERT_EQ(deadlock.Count(), 1);
    std::string report = deadlock.LastMessage();
    EXPECT_NE(report.find("thread 'test'"), std::string::npos) << report;
    EXPECT_NE(report.find("synchronization event"), std::string::npos) << report;
    EXPECT_NE(report.find("thread 'stuck worker'"), std::string::npos) << report;
    EXPECT_NE(report.find("notification event"), std::string::npos) << report;
    EXPECT_NE(report.find("owning mutex"), std::string::npos) << report;
    EXPECT_NE(report.find("without time-out"), std::string::npos) << report;
    KeSetEvent(&first, IO_NO_INCREMENT, FALSE);
    hk::JoinThread(stuck);
}

}  // namespace
