// Host kernel ke: the virtual clock and its deadlines (timers, timed waits, the model's clock
// events), and the DPC queue.
#include "hk_ke_internal.h"
#include "hk_wdm.h"

namespace hk {
namespace ke {
namespace {

int g_dpcMarker;  // KDPC.DpcData while queued

void CheckBudget() {
    if (g.budgetReported || g.now <= g.options.timeBudget100ns) return;
    g.budgetReported = true;
    Violation(rule::kTimeBudget, "virtual time %llu (100 ns units) passed the test's budget of %llu",
              (unsigned long long)g.now, (unsigned long long)g.options.timeBudget100ns);
}

void InsertTimer(PKTIMER timer, ULONGLONG when) {
    Deadline d{DeadlineKind::Timer};
    d.timer = timer;
    DeadlineKey key = AddDeadline(when, d);
    timer->DueTime.QuadPart = key.first;
    timer->HostSequence = key.second;
    timer->Header.Inserted = 1;
}

void Fire(const DeadlineKey& key, const Deadline& deadline) {
    switch (deadline.kind) {
    case DeadlineKind::Timer: {
        PKTIMER timer = deadline.timer;
        timer->Header.Inserted = 0;
        timer->Header.SignalState = 1;
        WakeWaiters();
        if (timer->Period > 0) InsertTimer(timer, key.first + static_cast<ULONGLONG>(timer->Period) * 10000ull);
        if (timer->Dpc != nullptr) {
            ULONGLONG system = kBootSystemTime + key.first;
            KeInsertQueueDpc(timer->Dpc, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(system & 0xFFFFFFFFu)),
                             reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(system >> 32)));
        }
        break;
    }
    case DeadlineKind::Wait: {
        Thread* t = deadline.thread;
        t->hasDeadline = false;
        EndWait(t, t->delay ? STATUS_SUCCESS : STATUS_TIMEOUT);
        break;
    }
    case DeadlineKind::Clock: {
        g.clockEventNodes.Erase(g.clockEvents, key.second);
        // The model's events run at HIGH_LEVEL semantics: they must not wait.
        Thread* t = g.current;
        KIRQL old = t->irql;
        t->irql = HIGH_LEVEL;
        SyncMemoryView();
        deadline.callback(deadline.context);
        t->irql = old;
        SyncMemoryView();
        break;
    }
    }
}

// Fires the earliest deadline if it is due by `limit`.
bool FireNext(ULONGLONG limit) {
    if (g.deadlines.empty()) return false;
    auto first = g.deadlines.begin();
    if (first->first.first > limit) return false;
    DeadlineKey key = first->first;
    Deadline deadline = first->second;
    g.deadlineNodes.Erase(g.deadlines, first);
    if (key.first > g.now) {
        g.now = key.first;
        CheckBudget();
    }
    Fire(key, deadline);
    return true;
}

}  // namespace

DeadlineKey AddDeadline(ULONGLONG when, const Deadline& deadline) {
    DeadlineKey key(when, g.nextDeadlineSequence++);
    g.deadlineNodes.Insert(g.deadlines, key, deadline);
    return key;
}

void RemoveDeadline(const DeadlineKey& key) { g.deadlineNodes.Erase(g.deadlines, key); }

bool FireDue() {
    bool any = false;
    while (FireNext(g.now)) any = true;
    return any;
}

void AdvanceTo(ULONGLONG when) {
    while (FireNext(when)) {
    }
    if (when > g.now) {
        g.now = when;
        CheckBudget();
    }
}

bool RunOneDpc() {
    if (IsListEmpty(&g.dpcQueue)) return false;
    PKDPC dpc = CONTAINING_RECORD(RemoveHeadList(&g.dpcQueue), KDPC, DpcListEntry);
    dpc->DpcData = nullptr;
    Thread* t = g.current;
    KIRQL old = t->irql;
    int locks = t->spinLocksHeld;
    size_t heldBase = t->heldBase;
    t->heldBase = t->held.size();  // locks of the interrupted thread are not the DPC's
    t->irql = DISPATCH_LEVEL;
    t->dpcDepth++;
    SyncMemoryView();
    PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
    routine(dpc, dpc->DeferredContext, dpc->SystemArgument1, dpc->SystemArgument2);
    t->dpcDepth--;
    if (t->irql != DISPATCH_LEVEL)
        Violation(rule::kDpc, "DPC routine %p returned at IRQL %u instead of DISPATCH_LEVEL",
                  reinterpret_cast<void*>(routine), t->irql);
    if (t->spinLocksHeld != locks) {
        Violation(rule::kDpc, "DPC routine %p returned holding %d spin lock(s)", reinterpret_cast<void*>(routine),
                  t->spinLocksHeld - locks);
    }
    t->heldBase = heldBase <= t->held.size() ? heldBase : t->held.size();
    t->irql = old;
    SyncMemoryView();
    return true;
}

void ResetClock() {
    g.now = 0;
    g.budgetReported = false;
    g.deadlines.clear();
    g.clockEvents.clear();
    g.deadlineNodes.Clear();
    g.clockEventNodes.Clear();
    g.nextDeadlineSequence = 1;
    InitializeListHead(&g.dpcQueue);
}

}  // namespace ke

// ---------------------------------------------------------------------------------------------
// Cross-module clock API (hk_core.h)

ULONGLONG Now() { return ke::g.now; }

void ConsumeTime(ULONGLONG ticks100ns) {
    ke::Cur();
    ULONGLONG target = ke::g.now + ticks100ns;
    // Busy-waiting: deadlines reached on the way fire in order, and the interrupts and DPCs they
    // cause run as soon as the IRQL allows.
    while (ke::FireNext(target)) ke::DeliverPending();
    if (target > ke::g.now) {
        ke::g.now = target;
        ke::CheckBudget();
    }
    SchedulePoint();
}

ULONGLONG ScheduleClockEvent(ULONGLONG when100ns, ClockCallback callback, void* context) {
    ke::Cur();
    ke::Deadline d{ke::DeadlineKind::Clock};
    d.callback = callback;
    d.context = context;
    ke::DeadlineKey key = ke::AddDeadline(when100ns < ke::g.now ? ke::g.now : when100ns, d);
    ke::g.clockEventNodes.Insert(ke::g.clockEvents, key.second, key);
    return key.second;
}

bool CancelClockEvent(ULONGLONG id) {
    ke::Cur();
    auto it = ke::g.clockEvents.find(id);
    if (it == ke::g.clockEvents.end()) return false;
    ke::g.deadlineNodes.Erase(ke::g.deadlines, it->second);
    ke::g.clockEventNodes.Erase(ke::g.clockEvents, it);
    return true;
}

ULONG QueuedDpcCount() {
    ULONG count = 0;
    for (PLIST_ENTRY e = ke::g.dpcQueue.Flink; e != &ke::g.dpcQueue; e = e->Flink) ++count;
    return count;
}

ULONGLONG NextDeadline() { return ke::g.deadlines.empty() ? ~0ull : ke::g.deadlines.begin()->first.first; }

}  // namespace hk

using hk::ke::Cur;
using hk::ke::g;

// ---------------------------------------------------------------------------------------------
// Clock

extern "C" void KeQueryTickCount(PLARGE_INTEGER CurrentCount) {
    CurrentCount->QuadPart = static_cast<LONGLONG>(g.now / hk::ke::kTimeIncrement);
}

extern "C" ULONG KeQueryTimeIncrement(void) { return hk::ke::kTimeIncrement; }

extern "C" LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
    if (PerformanceFrequency != nullptr)
        PerformanceFrequency->QuadPart = static_cast<LONGLONG>(hk::ke::kPerformanceFrequency);
    LARGE_INTEGER counter;
    counter.QuadPart = static_cast<LONGLONG>(g.now);
    return counter;
}

extern "C" void KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    CurrentTime->QuadPart = static_cast<LONGLONG>(hk::ke::kBootSystemTime + g.now);
}

extern "C" ULONGLONG KeQueryInterruptTime(void) { return g.now; }

extern "C" ULONGLONG KeQueryUnbiasedInterruptTime(void) { return g.now; }

extern "C" void KeStallExecutionProcessor(ULONG MicroSeconds) {
    hk::ConsumeTime(static_cast<ULONGLONG>(MicroSeconds) * 10u);
}

extern "C" ULONG KeGetCurrentProcessorNumber(void) { return 0; }

extern "C" ULONG KeQueryActiveProcessorCount(KAFFINITY* ActiveProcessors) {
    if (ActiveProcessors != nullptr) *ActiveProcessors = 1;
    return 1;
}

// ---------------------------------------------------------------------------------------------
// DPCs: queued FIFO, run at DISPATCH_LEVEL as soon as the running thread's IRQL drops below it.

extern "C" void KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    Dpc->Type = DpcObject;
    Dpc->Importance = MediumImportance;
    Dpc->Number = 0;
    Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = nullptr;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = Dpc->SystemArgument2 = nullptr;
    Dpc->DpcData = nullptr;
}

extern "C" BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    hk::ke::Thread* t = Cur();
    if (Dpc->Type != DpcObject) {
        hk::Violation(hk::rule::kDpc, "KeInsertQueueDpc on %p, which was not initialized by KeInitializeDpc",
                      static_cast<void*>(Dpc));
        return FALSE;
    }
    if (Dpc->DpcData != nullptr) return FALSE;
    Dpc->SystemArgument1 = SystemArgument1;
    Dpc->SystemArgument2 = SystemArgument2;
    Dpc->DpcData = &hk::ke::g_dpcMarker;
    InsertTailList(&g.dpcQueue, &Dpc->DpcListEntry);
    // Below DISPATCH_LEVEL the DPC interrupt is taken at once.
    if (t->irql < DISPATCH_LEVEL) hk::ke::DeliverPending();
    return TRUE;
}

extern "C" BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
    Cur();
    if (Dpc->DpcData == nullptr) return FALSE;
    RemoveEntryList(&Dpc->DpcListEntry);
    Dpc->DpcData = nullptr;
    return TRUE;
}

extern "C" void KeSetImportanceDpc(PRKDPC Dpc, KDPC_IMPORTANCE Importance) {
    Dpc->Importance = static_cast<UCHAR>(Importance);
}

extern "C" void KeSetTargetProcessorDpc(PRKDPC Dpc, CHAR Number) { Dpc->Number = static_cast<USHORT>(Number); }

extern "C" void KeFlushQueuedDpcs(void) {
    hk::ke::RequireIrqlAtMost(PASSIVE_LEVEL, "KeFlushQueuedDpcs");
    hk::ke::DeliverPending();
}

// ---------------------------------------------------------------------------------------------
// Timers

extern "C" void KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
    Timer->Header.Type = Type == NotificationTimer ? TimerNotificationObject : TimerSynchronizationObject;
    Timer->Header.Absolute = 0;
    Timer->Header.Size = sizeof(KTIMER) / sizeof(LONG);
    Timer->Header.Inserted = 0;
    Timer->Header.SignalState = 0;
    InitializeListHead(&Timer->Header.WaitListHead);
    Timer->DueTime.QuadPart = 0;
    InitializeListHead(&Timer->TimerListEntry);
    Timer->Dpc = nullptr;
    Timer->Processor = 0;
    Timer->Period = 0;
    Timer->HostSequence = 0;
}

extern "C" void KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

extern "C" BOOLEAN KeCancelTimer(PKTIMER Timer) {
    hk::ke::RequireIrqlAtMost(DISPATCH_LEVEL, "KeCancelTimer");
    if (!Timer->Header.Inserted) return FALSE;
    hk::ke::RemoveDeadline(hk::ke::DeadlineKey(Timer->DueTime.QuadPart, Timer->HostSequence));
    Timer->Header.Inserted = 0;
    return TRUE;
}

extern "C" BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
    hk::ke::RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetTimer");
    if (Timer->Header.Type != TimerNotificationObject && Timer->Header.Type != TimerSynchronizationObject) {
        hk::Violation(hk::rule::kDispatcher, "KeSetTimer on %p, which was not initialized as a timer",
                      static_cast<void*>(Timer));
        return FALSE;
    }
    if (Period < 0) {
        hk::Violation(hk::rule::kDispatcher, "KeSetTimerEx with the negative period %d", Period);
        Period = 0;
    }
    BOOLEAN wasSet = KeCancelTimer(Timer);
    ULONGLONG when;
    if (DueTime.QuadPart < 0) {
        when = g.now + static_cast<ULONGLONG>(-DueTime.QuadPart);
    } else {
        ULONGLONG absolute = static_cast<ULONGLONG>(DueTime.QuadPart);
        when = absolute > hk::ke::kBootSystemTime ? absolute - hk::ke::kBootSystemTime : 0;
        if (when < g.now) when = g.now;
    }
    Timer->Header.SignalState = 0;
    Timer->Header.Absolute = DueTime.QuadPart >= 0;
    Timer->Dpc = Dpc;
    Timer->Period = Period;
    hk::ke::InsertTimer(Timer, when);
    return wasSet;
}

extern "C" BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
    return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

extern "C" BOOLEAN KeReadStateTimer(PKTIMER Timer) {
    Cur();
    return Timer->Header.SignalState > 0;
}
