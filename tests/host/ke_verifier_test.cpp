// The verifier rules of the ke domain, each broken on purpose: the report names the rule, and
// outside an ExpectViolation scope it stops the process.
#include <gtest/gtest.h>

#include <string>

#include "hk_ke_test.h"
#include "hk_wdm.h"

namespace {

constexpr ULONGLONG kMs = 10000;

bool Mentions(const hk::ExpectViolation& v, const char* text) {
    return std::string(v.LastMessage()).find(text) != std::string::npos;
}

TEST(KeVerifierDeathTest, UnexpectedViolationAndBugCheckStopTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(hk::Violation(hk::rule::kIrql, "raised to %d", 3), "KX VERIFIER: IRQL: raised to 3");
    EXPECT_DEATH(KeBugCheckEx(0xD1, 1, 2, 3, 4), "KX VERIFIER: BUGCHECK: KeBugCheckEx\\(0x000000D1");
    EXPECT_DEATH(KxHostAssertFailed("x != 0", "file.cpp", 12), "KX ASSERT: x != 0 \\(file.cpp:12\\)");
    hk::ExpectViolation bugcheck("BUGCHECK");
    EXPECT_DEATH(KeBugCheckEx(0xA, 0, 0, 0, 0), "the system stops here");  // even when expected
}

TEST(KeVerifier, ExpectedScopesCountOnlyTheirRule) {
    hk::ExpectViolation outer(hk::rule::kIrql);
    {
        hk::ExpectViolation inner(hk::rule::kMutex);
        hk::Violation(hk::rule::kIrql, "one");
        hk::Violation(hk::rule::kMutex, "two");
        EXPECT_EQ(inner.Count(), 1);
        EXPECT_STREQ(inner.LastMessage(), "two");
    }
    EXPECT_EQ(outer.Count(), 1);
    EXPECT_STREQ(outer.LastMessage(), "one");
}

TEST(KeVerifier, WaitAtDispatchLevelIsCaughtButPollingIsAllowed) {
    hk::Kernel kernel;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    hk::ExpectViolation atDispatch(hk::rule::kWaitAtDispatch);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(10 * kMs);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &timeout), STATUS_SUCCESS);
    EXPECT_EQ(atDispatch.Count(), 2);
    EXPECT_TRUE(Mentions(atDispatch, "IRQL 2"));
    EXPECT_EQ(hk::Now(), 0u);  // treated as a poll
    KeLowerIrql(old);
}

TEST(KeVerifier, IrqlRaiseAndLowerInTheWrongDirection) {
    hk::Kernel kernel;
    hk::ExpectViolation irql(hk::rule::kIrql);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KIRQL ignored;
    KeRaiseIrql(APC_LEVEL, &ignored);
    EXPECT_EQ(irql.Count(), 1);
    EXPECT_TRUE(Mentions(irql, "KeRaiseIrql to 1 from the higher IRQL 2"));
    KeLowerIrql(HIGH_LEVEL);
    EXPECT_EQ(irql.Count(), 2);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);  // both refused
    KeLowerIrql(old);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KeAcquireSpinLockAtDpcLevel(&lock);  // at PASSIVE_LEVEL
    EXPECT_EQ(irql.Count(), 3);
    KeReleaseSpinLockFromDpcLevel(&lock);
    EXPECT_EQ(irql.Count(), 4);
    PKINTERRUPT interrupt;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(IoConnectInterrupt(&interrupt, [](PKINTERRUPT, PVOID) -> BOOLEAN { return TRUE; }, nullptr, nullptr,
                                 9, 5, 5, LevelSensitive, TRUE, 1, FALSE),
              STATUS_SUCCESS);
    EXPECT_EQ(irql.Count(), 5);
    EXPECT_TRUE(Mentions(irql, "IoConnectInterrupt called at IRQL 2"));
    KeLowerIrql(old);
    IoDisconnectInterrupt(interrupt);
}

TEST(KeVerifier, SpinLockRecursionAndReleaseWhenNotHeld) {
    hk::Kernel kernel;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old, inner;
    KeAcquireSpinLock(&lock, &old);
    {
        hk::ExpectViolation recursion(hk::rule::kSpinLockRecursion);
        KeAcquireSpinLock(&lock, &inner);
        EXPECT_EQ(recursion.Count(), 1);
        EXPECT_TRUE(Mentions(recursion, "acquired again by its owner 'test'"));
    }
    KeReleaseSpinLock(&lock, inner);  // the tolerated recursion unwinds first
    EXPECT_FALSE(KeTestSpinLock(&lock));
    KeReleaseSpinLock(&lock, old);
    EXPECT_TRUE(KeTestSpinLock(&lock));
    hk::ExpectViolation owner(hk::rule::kSpinLockOwner);
    KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
    EXPECT_EQ(owner.Count(), 1);
    EXPECT_TRUE(Mentions(owner, "but not held"));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(KeVerifier, SpinLockHeldAcrossAWaitThenReleasedAndTakenByOthers) {
    hk::Kernel kernel;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KEVENT go;
    KeInitializeEvent(&go, NotificationEvent, FALSE);
    hk::ExpectViolation acrossWait(hk::rule::kSpinLockHeldAcrossWait);
    hk::ExpectViolation owner(hk::rule::kSpinLockOwner);
    hk::ExpectViolation deadlock(hk::rule::kDeadlock);
    hk::ExpectViolation irql(hk::rule::kIrql);
    PKTHREAD holder = hk::StartThread("holder", nullptr, [&] {
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        LARGE_INTEGER timeout;
        timeout.QuadPart = -static_cast<LONGLONG>(kMs);
        EXPECT_EQ(KeWaitForSingleObject(&go, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
        KeLowerIrql(old);  // leaves the lock held: "thread ended holding" follows
    });
    hk::JoinThread(holder);
    EXPECT_EQ(irql.Count(), 1);
    EXPECT_TRUE(Mentions(irql, "'holder' lowered IRQL to 0 while holding 1 spin lock(s)"));
    EXPECT_EQ(acrossWait.Count(), 1);
    EXPECT_TRUE(Mentions(acrossWait, "'holder' holding 1 spin lock(s)"));
    EXPECT_EQ(owner.Count(), 1);
    EXPECT_TRUE(Mentions(owner, "thread 'holder' ended holding 1 spin lock(s)"));
    KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
    EXPECT_EQ(owner.Count(), 2);
    EXPECT_TRUE(Mentions(owner, "released by 'test' but held by 'holder'"));
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);  // would spin forever on one processor
    EXPECT_EQ(deadlock.Count(), 1);
    EXPECT_TRUE(Mentions(deadlock, "held by 'holder' (terminated)"));
    KeReleaseSpinLock(&lock, old);
}

TEST(KeVerifier, ThreadsLeftRunningAtShutdownAreReportedAndEnded) {
    hk::ExpectViolation leak(hk::rule::kThreadLeak);
    KEVENT never;
    {
        hk::Options options;
        options.seed = 0;  // no preemption: the last thread never gets to run
        hk::Kernel kernel(options);
        KeInitializeEvent(&never, NotificationEvent, FALSE);
        hk::StartThread("forgotten", nullptr, [&] {
            KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
            ADD_FAILURE() << "a thread ended at shutdown must not run on";
        });
        hk::RunFor(kMs);
        hk::StartThread("never ran", nullptr, [] { ADD_FAILURE() << "must not start"; });
    }
    EXPECT_EQ(leak.Count(), 1);
    EXPECT_TRUE(Mentions(leak, "'forgotten' waiting"));
    EXPECT_TRUE(Mentions(leak, "'never ran' ready"));
    hk::Kernel next;  // the next kernel starts clean
    EXPECT_EQ(hk::Now(), 0u);
    EXPECT_EQ(hk::DescribeThreads().find("forgotten"), std::string::npos);
}

TEST(KeVerifier, WorkItemQueuedTwiceOrFreedWhileQueued) {
    hk::Kernel kernel;
    PIO_WORKITEM item = IoAllocateWorkItem(nullptr);
    ASSERT_NE(item, nullptr);
    int runs = 0;
    auto routine = [](PDEVICE_OBJECT, PVOID context) { ++*static_cast<int*>(context); };
    hk::ExpectViolation misuse(hk::rule::kWorkItem);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);  // keeps the worker from running in between
    IoQueueWorkItem(item, routine, DelayedWorkQueue, &runs);
    IoQueueWorkItem(item, routine, DelayedWorkQueue, &runs);
    EXPECT_EQ(misuse.Count(), 1);
    EXPECT_TRUE(Mentions(misuse, "queued again"));
    IoFreeWorkItem(item);
    EXPECT_EQ(misuse.Count(), 2);
    EXPECT_TRUE(Mentions(misuse, "freed while still queued"));
    KeLowerIrql(old);
    hk::RunUntilIdle();
    EXPECT_EQ(runs, 0);  // withdrawn when freed
}

}  // namespace

namespace {

TEST(KeVerifier, SpinLockReleasedToAnIrqlItsAcquireDidNotReturnOrTakenAboveDispatch) {
    hk::Kernel kernel;
    KSPIN_LOCK a, b;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    hk::ExpectViolation irql(hk::rule::kIrql);
    // Hand over hand is fine: each release returns to an IRQL an outstanding acquire returned.
    KIRQL oldA, oldB;
    KeAcquireSpinLock(&a, &oldA);
    KeAcquireSpinLock(&b, &oldB);
    KeReleaseSpinLock(&a, oldB);
    KeReleaseSpinLock(&b, oldA);
    EXPECT_EQ(irql.Count(), 0);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    // Raised to DISPATCH_LEVEL first, the acquire returns DISPATCH_LEVEL: releasing to PASSIVE_LEVEL
    // would end the caller's own raise behind its back.
    KIRQL raised;
    KeRaiseIrql(DISPATCH_LEVEL, &raised);
    KeAcquireSpinLock(&a, &oldA);
    KeReleaseSpinLock(&a, PASSIVE_LEVEL);
    EXPECT_EQ(irql.Count(), 1);
    EXPECT_TRUE(Mentions(irql, "to IRQL 0, but its acquire returned IRQL 2"));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KeRaiseIrql(HIGH_LEVEL, &raised);
    KeAcquireSpinLock(&a, &oldA);  // above DISPATCH_LEVEL
    EXPECT_EQ(irql.Count(), 2);
    EXPECT_TRUE(Mentions(irql, "KeAcquireSpinLock at IRQL 15"));
    KeReleaseSpinLock(&a, oldA);
    KeLowerIrql(raised);
}

// Two locks of a kind, taken in one order by one thread and in the other order by another: the
// second order is reported at once, whether or not the interleaving would hang.
enum class LockKind { Spin, Mutex };
struct TwoLocks {
    LockKind kind;
    KSPIN_LOCK spin[2];
    KMUTEX mutex[2];
    KIRQL old[2];
    explicit TwoLocks(LockKind k) : kind(k) {
        for (int i = 0; i < 2; ++i) Init(i);
    }
    void Init(int i) {
        KeInitializeSpinLock(&spin[i]);
        KeInitializeMutex(&mutex[i], 0);
    }
    void Take(int i) {
        if (kind == LockKind::Spin)
            KeAcquireSpinLock(&spin[i], &old[i]);
        else
            KeWaitForSingleObject(&mutex[i], Executive, KernelMode, FALSE, nullptr);
    }
    void Drop(int i) {
        if (kind == LockKind::Spin)
            KeReleaseSpinLock(&spin[i], old[i]);
        else
            KeReleaseMutex(&mutex[i], FALSE);
    }
};

TEST(KeVerifier, LocksTakenInBothOrdersAreALockOrderViolationNotAHang) {
    for (LockKind kind : {LockKind::Spin, LockKind::Mutex}) {
        SCOPED_TRACE(kind == LockKind::Spin ? "spin locks" : "mutexes");
        hk::Kernel kernel;
        TwoLocks locks(kind);
        hk::ExpectViolation order(hk::rule::kLockOrder);
        hk::JoinThread(hk::StartThread("first", nullptr, [&] {
            for (int round = 0; round < 2; ++round) {  // the same order again is fine
                locks.Take(0);
                locks.Take(1);
                locks.Drop(1);
                locks.Drop(0);
            }
        }));
        EXPECT_EQ(order.Count(), 0);
        hk::JoinThread(hk::StartThread("second", nullptr, [&] {
            locks.Take(1);
            locks.Take(0);
            locks.Drop(0);
            locks.Drop(1);
        }));
        EXPECT_EQ(order.Count(), 1);
        EXPECT_TRUE(Mentions(order, "'second' acquires"));
        EXPECT_TRUE(Mentions(order, "(by 'first')"));
        EXPECT_TRUE(Mentions(order, kind == LockKind::Spin ? "spin lock" : "mutex"));
        // A lock initialized again is a new lock: its old order is forgotten.
        TwoLocks fresh(kind);
        fresh.Take(1);
        fresh.Take(0);
        fresh.Drop(0);
        fresh.Drop(1);
        EXPECT_EQ(order.Count(), 1);
        // Either lock of the pair initialized again at its address forgets the order as well,
        // whichever end of the recorded order it was.
        for (int which : {0, 1}) {
            TwoLocks pair(kind);
            pair.Take(0);
            pair.Take(1);
            pair.Drop(1);
            pair.Drop(0);
            pair.Init(which);
            pair.Take(1);
            pair.Take(0);
            pair.Drop(0);
            pair.Drop(1);
            EXPECT_EQ(order.Count(), 1) << "lock " << which << " initialized again";
        }
    }
}

TEST(KeVerifier, TheInterleavingThatHangsReportsTheLockOrderBeforeTheDeadlock) {
    hk::Options options;
    options.seed = 0;  // the test thread is the last to block: the deadlock report ends its wait
    hk::Kernel kernel(options);
    KMUTEX m[2];
    KeInitializeMutex(&m[0], 0);
    KeInitializeMutex(&m[1], 0);
    KEVENT firstHolds;
    KeInitializeEvent(&firstHolds, NotificationEvent, FALSE);
    hk::ExpectViolation deadlock(hk::rule::kDeadlock);
    hk::ExpectViolation order(hk::rule::kLockOrder);
    KeWaitForSingleObject(&m[1], Executive, KernelMode, FALSE, nullptr);
    PKTHREAD first = hk::StartThread("first", nullptr, [&] {
        KeWaitForSingleObject(&m[0], Executive, KernelMode, FALSE, nullptr);
        KeSetEvent(&firstHolds, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&m[1], Executive, KernelMode, FALSE, nullptr);
        KeReleaseMutex(&m[1], FALSE);
        KeReleaseMutex(&m[0], FALSE);
    });
    KeWaitForSingleObject(&firstHolds, Executive, KernelMode, FALSE, nullptr);
    // Holding m[1], the test thread asks for m[0], which 'first' holds while asking for m[1].
    EXPECT_EQ(KeWaitForSingleObject(&m[0], Executive, KernelMode, FALSE, nullptr), STATUS_TIMEOUT);
    EXPECT_EQ(order.Count(), 1);
    EXPECT_TRUE(Mentions(order, "'test' acquires mutex"));
    EXPECT_EQ(deadlock.Count(), 1);  // and the hang, reported after it, ends the test thread's wait
    KeReleaseMutex(&m[1], FALSE);
    hk::JoinThread(first);
}

// The routines the system calls back must return as they were entered: at their IRQL, holding no
// lock. Each case breaks that in one kind of routine.
KSPIN_LOCK g_routineLock;
KMUTEX g_routineMutex;
void ReturnRaised() {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
}
void ReturnHoldingSpinLock() {
    KIRQL old;
    KeAcquireSpinLock(&g_routineLock, &old);
}
void ReturnOwningMutex() { KeWaitForSingleObject(&g_routineMutex, Executive, KernelMode, FALSE, nullptr); }

TEST(KeVerifier, WorkItemSystemThreadAndTimerRoutinesReturningRaisedOrHoldingALock) {
    struct Case {
        const char* name;
        const char* where;  // "work item", "system thread" or "timer"
        void (*body)();
        const char* rule;
        const char* says;
    };
    const Case cases[] = {
        {"work item at DISPATCH_LEVEL", "work item", ReturnRaised, hk::rule::kIrql, "returned at IRQL 2"},
        {"work item holding a spin lock", "work item", ReturnHoldingSpinLock, hk::rule::kSpinLockOwner,
         "holding 1 spin lock"},
        {"work item owning a mutex", "work item", ReturnOwningMutex, hk::rule::kMutex, "returned owning mutex"},
        {"system thread at DISPATCH_LEVEL", "system thread", ReturnRaised, hk::rule::kIrql, "ended at IRQL 2"},
        {"system thread owning a mutex", "system thread", ReturnOwningMutex, hk::rule::kMutex, "ended owning mutex"},
        {"timer routine at raised IRQL", "timer", [] {
             KIRQL old;
             KeRaiseIrql(HIGH_LEVEL, &old);
         }, hk::rule::kDpc, "returned at IRQL 15"},
    };
    static void (*s_body)() = nullptr;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        hk::Kernel kernel;
        KeInitializeSpinLock(&g_routineLock);
        KeInitializeMutex(&g_routineMutex, 0);
        s_body = c.body;
        hk::ExpectViolation raised(hk::rule::kIrql);  // returning with a spin lock is also returning raised
        hk::ExpectViolation v(c.rule);
        if (std::string(c.where) == "work item") {
            PIO_WORKITEM item = IoAllocateWorkItem(nullptr);
            IoQueueWorkItem(item, [](PDEVICE_OBJECT, PVOID) { s_body(); }, DelayedWorkQueue, nullptr);
            hk::RunUntilIdle();
            IoFreeWorkItem(item);
        } else if (std::string(c.where) == "system thread") {
            HANDLE handle;
            ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                           [](PVOID) { s_body(); }, nullptr),
                      STATUS_SUCCESS);
            hk::RunUntilIdle();
            ZwClose(handle);
        } else {
            KTIMER timer;
            KDPC dpc;
            KeInitializeTimer(&timer);
            KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) { s_body(); }, nullptr);
            LARGE_INTEGER due;
            due.QuadPart = -static_cast<LONGLONG>(kMs);
            KeSetTimer(&timer, due, &dpc);
            hk::RunFor(2 * kMs);
        }
        EXPECT_GE(v.Count(), 1);
        EXPECT_TRUE(Mentions(v, c.says)) << v.LastMessage();
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    }
}

TEST(KeVerifier, WaitOnAnObjectThatIsNotADispatcherObject) {
    hk::Kernel kernel;
    KDPC dpc;
    KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) {}, nullptr);
    hk::ExpectViolation v(hk::rule::kDispatcher);
    EXPECT_EQ(KeWaitForSingleObject(&dpc, Executive, KernelMode, FALSE, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(v.Count(), 1);
    EXPECT_TRUE(Mentions(v, "not a dispatcher object"));
}

}  // namespace

namespace {

int PageableRoutine() {
    PAGED_CODE();
    return 7;
}

TEST(KeVerifier, PageableCodeRunAboveApcLevel) {
    hk::Kernel kernel;
    hk::ExpectViolation v(hk::rule::kIrql);
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    EXPECT_EQ(PageableRoutine(), 7);
    EXPECT_EQ(v.Count(), 0);
    KeLowerIrql(old);
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(PageableRoutine(), 7);
    EXPECT_EQ(v.Count(), 1);
    EXPECT_TRUE(Mentions(v, "pageable code (PageableRoutine) ran at IRQL 2"));
    KeLowerIrql(old);
}

}  // namespace
