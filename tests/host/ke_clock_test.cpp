// The virtual clock: timers, timed waits, delays, stalls, the model's clock events and the
// time budget. Seconds of virtual time cost no wall time.
#include <gtest/gtest.h>

#include <vector>

#include "hk_ke_test.h"
#include "hk_wdm.h"

namespace {

constexpr ULONGLONG kMs = 10000;  // 100 ns units per millisecond
constexpr ULONGLONG kSecond = 1000 * kMs;

LARGE_INTEGER Relative(ULONGLONG ticks) {
    LARGE_INTEGER t;
    t.QuadPart = -static_cast<LONGLONG>(ticks);
    return t;
}

TEST(KeClock, TwoSecondTimerExpiresOnTheVirtualClock) {
    hk::Kernel kernel;
    KTIMER timer;
    KeInitializeTimer(&timer);
    EXPECT_FALSE(KeSetTimer(&timer, Relative(2 * kSecond), nullptr));
    EXPECT_FALSE(KeReadStateTimer(&timer));
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(hk::Now(), 2 * kSecond);
    EXPECT_TRUE(KeReadStateTimer(&timer));
    EXPECT_FALSE(KeCancelTimer(&timer));  // expired: no longer set
    // A notification timer stays signalled; setting it again clears it.
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_FALSE(KeSetTimer(&timer, Relative(kSecond), nullptr));
    EXPECT_FALSE(KeReadStateTimer(&timer));
    EXPECT_TRUE(KeSetTimer(&timer, Relative(kSecond), nullptr));  // was still set
    EXPECT_TRUE(KeCancelTimer(&timer));
}

TEST(KeClock, TenOneSecondWaitsTimeOut) {
    hk::Kernel kernel;
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    for (int i = 0; i < 10; ++i) {
        LARGE_INTEGER timeout = Relative(kSecond);
        EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, TRUE, &timeout), STATUS_TIMEOUT);
    }
    EXPECT_EQ(hk::Now(), 10 * kSecond);
    LARGE_INTEGER zero = Relative(0);
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(hk::Now(), 10 * kSecond);
}

TEST(KeClock, QueriesStallsAndDelaysShareOneClock) {
    hk::Kernel kernel;
    EXPECT_EQ(KeQueryTimeIncrement(), 156250u);
    LARGE_INTEGER interval = Relative(50 * kMs);
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
    KeStallExecutionProcessor(1000);  // 1 ms
    EXPECT_EQ(hk::Now(), 51 * kMs);
    LARGE_INTEGER ticks;
    KeQueryTickCount(&ticks);
    EXPECT_EQ(ticks.QuadPart, static_cast<LONGLONG>(51 * kMs / 156250));
    LARGE_INTEGER frequency;
    LARGE_INTEGER counter = KeQueryPerformanceCounter(&frequency);
    EXPECT_EQ(frequency.QuadPart, 10000000);
    EXPECT_EQ(counter.QuadPart, static_cast<LONGLONG>(51 * kMs));
    EXPECT_EQ(KeQueryInterruptTime(), 51 * kMs);
    LARGE_INTEGER system;
    KeQuerySystemTime(&system);
    EXPECT_EQ(static_cast<ULONGLONG>(system.QuadPart), hk::ke::kBootSystemTime + 51 * kMs);
    // An absolute due time is a system time.
    KTIMER timer;
    KeInitializeTimerEx(&timer, SynchronizationTimer);
    LARGE_INTEGER due;
    due.QuadPart = static_cast<LONGLONG>(hk::ke::kBootSystemTime + 5 * kSecond);
    KeSetTimer(&timer, due, nullptr);
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(hk::Now(), 5 * kSecond);
    EXPECT_FALSE(KeReadStateTimer(&timer));  // a synchronization timer is consumed by the wait
}

struct DpcLog {
    std::vector<ULONGLONG> times;
    std::vector<KIRQL> irqls;
};

void LogDpc(PKDPC, PVOID context, PVOID, PVOID) {
    DpcLog* log = static_cast<DpcLog*>(context);
    log->times.push_back(hk::Now());
    log->irqls.push_back(KeGetCurrentIrql());
}

TEST(KeClock, PeriodicTimerQueuesItsDpcUntilCancelled) {
    hk::Kernel kernel;
    DpcLog log;
    KDPC dpc;
    KeInitializeDpc(&dpc, LogDpc, &log);
    KTIMER timer;
    KeInitializeTimer(&timer);
    KeSetTimerEx(&timer, Relative(10 * kMs), 10, &dpc);
    hk::RunFor(35 * kMs);
    EXPECT_EQ(log.times, (std::vector<ULONGLONG>{10 * kMs, 20 * kMs, 30 * kMs}));
    EXPECT_EQ(log.irqls, (std::vector<KIRQL>{DISPATCH_LEVEL, DISPATCH_LEVEL, DISPATCH_LEVEL}));
    EXPECT_TRUE(KeCancelTimer(&timer));
    hk::RunFor(100 * kMs);
    EXPECT_EQ(log.times.size(), 3u);
}

struct ClockLog {
    std::vector<int> order;
    std::vector<ULONGLONG> times;
};
ClockLog* g_clockLog;
void Record(void* context) {
    g_clockLog->order.push_back(static_cast<int>(reinterpret_cast<intptr_t>(context)));
    g_clockLog->times.push_back(hk::Now());
}

TEST(KeClock, ClockEventsRunInTimeOrderDuringIdleAndStalls) {
    hk::Kernel kernel;
    ClockLog log;
    g_clockLog = &log;
    hk::ScheduleClockEvent(300, Record, reinterpret_cast<void*>(3));
    hk::ScheduleClockEvent(100, Record, reinterpret_cast<void*>(1));
    ULONGLONG cancelled = hk::ScheduleClockEvent(200, Record, reinterpret_cast<void*>(2));
    hk::ScheduleClockEvent(100, Record, reinterpret_cast<void*>(4));  // same time: in scheduling order
    EXPECT_TRUE(hk::CancelClockEvent(cancelled));
    EXPECT_FALSE(hk::CancelClockEvent(cancelled));
    EXPECT_EQ(hk::NextDeadline(), 100u);
    hk::RunFor(1000);
    EXPECT_EQ(log.order, (std::vector<int>{1, 4, 3}));
    EXPECT_EQ(log.times, (std::vector<ULONGLONG>{100, 100, 300}));
    // A stall passes through the deadlines on its way.
    hk::ScheduleClockEvent(hk::Now() + 500, Record, reinterpret_cast<void*>(5));
    KeStallExecutionProcessor(100);  // 1000 units
    EXPECT_EQ(log.order.back(), 5);
    EXPECT_EQ(log.times.back(), 1500u);
    EXPECT_EQ(hk::Now(), 2000u);
}

TEST(KeClock, TimeBudgetIsReportedOnce) {
    hk::Options options;
    options.timeBudget100ns = kSecond;
    hk::Kernel kernel(options);
    hk::ExpectViolation budget(hk::rule::kTimeBudget);
    hk::RunFor(kSecond);
    EXPECT_EQ(budget.Count(), 0);
    hk::RunFor(1);
    EXPECT_EQ(budget.Count(), 1);
    EXPECT_NE(std::string(budget.LastMessage()).find("budget"), std::string::npos);
    hk::RunFor(10 * kSecond);
    EXPECT_EQ(budget.Count(), 1);
}

}  // namespace
