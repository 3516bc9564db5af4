// Host kernel ke: IRQL, spin locks, dispatcher objects (events, mutexes, semaphores) and the
// waits on them, and the lists guarded by spin locks.
#include <stdio.h>

#include <algorithm>

#include "hk_ke_internal.h"
#include "hk_wdm.h"

namespace hk {
namespace ke {
namespace {

Thread* FindThreadByObject(ULONG_PTR object) {
    for (Thread* t : g.threads)
        if (reinterpret_cast<ULONG_PTR>(t->kthread) == object) return t;
    if (g.idle != nullptr && reinterpret_cast<ULONG_PTR>(g.idle->kthread) == object) return g.idle;
    return nullptr;
}

bool IsDispatcherType(UCHAR type) {
    switch (type) {
    case EventNotificationObject:
    case EventSynchronizationObject:
    case MutantObject:
    case SemaphoreObject:
    case ThreadObject:
    case TimerNotificationObject:
    case TimerSynchronizationObject:
        return true;
    default:
        return false;
    }
}

bool IsSignalled(PDISPATCHER_HEADER header, Thread* thread) {
    if (header->Type == MutantObject)
        return header->SignalState > 0 || reinterpret_cast<PKMUTEX>(header)->OwnerThread == thread->kthread;
    return header->SignalState > 0;
}

// The side effect of a satisfied wait on the object.
void Consume(PDISPATCHER_HEADER header, Thread* thread) {
    switch (header->Type) {
    case EventSynchronizationObject:
    case TimerSynchronizationObject:
        header->SignalState = 0;
        break;
    case SemaphoreObject:
        header->SignalState--;
        break;
    case MutantObject: {
        PKMUTEX mutex = reinterpret_cast<PKMUTEX>(header);
        if (mutex->OwnerThread == nullptr) {
            mutex->OwnerThread = thread->kthread;
            thread->mutexes.push_back(mutex);
            NoteAcquired(thread, mutex, false, kNoOldIrql);
        }
        header->SignalState--;
        break;
    }
    default:
        break;
    }
}

bool TrySatisfy(Thread* thread, NTSTATUS* status) {
    std::vector<PDISPATCHER_HEADER>& objects = thread->waitObjects;
    if (objects.empty()) return false;
    if (thread->waitType == WaitAny) {
        for (size_t i = 0; i < objects.size(); ++i) {
            if (IsSignalled(objects[i], thread)) {
                Consume(objects[i], thread);
                *status = STATUS_WAIT_0 + static_cast<NTSTATUS>(i);
                return true;
            }
        }
        return false;
    }
    for (PDISPATCHER_HEADER header : objects)
        if (!IsSignalled(header, thread)) return false;
    for (PDISPATCHER_HEADER header : objects) Consume(header, thread);
    *status = STATUS_WAIT_0;
    return true;
}

// The virtual time a wait's time-out names: negative relative, positive absolute system time.
ULONGLONG DeadlineOf(LONGLONG timeout) {
    if (timeout < 0) return g.now + static_cast<ULONGLONG>(-timeout);
    ULONGLONG absolute = static_cast<ULONGLONG>(timeout);
    return absolute > kBootSystemTime ? absolute - kBootSystemTime : 0;
}

const char* WaitName(bool delay) { return delay ? "KeDelayExecutionThread" : "KeWaitFor*Object(s)"; }

NTSTATUS WaitFor(ULONG count, PDISPATCHER_HEADER* objects, WAIT_TYPE type, BOOLEAN alertable,
                 PLARGE_INTEGER timeout, bool delay) {
    Thread* t = Cur();
    bool poll = timeout != nullptr && timeout->QuadPart == 0;
    bool hasDeadline = false;
    ULONGLONG deadline = 0;
    if (timeout != nullptr && !poll) {
        deadline = DeadlineOf(timeout->QuadPart);
        hasDeadline = true;
        if (deadline <= g.now) poll = true;
    }
    if (t->irql > DISPATCH_LEVEL) {
        Violation(rule::kIrql, "%s by '%s' at IRQL %u (at most DISPATCH_LEVEL, and only without waiting)",
                  WaitName(delay), t->name.c_str(), t->irql);
        poll = true;
    } else if (!poll) {
        if (t->spinLocksHeld > 0) {
            Violation(rule::kSpinLockHeldAcrossWait, "%s by '%s' holding %d spin lock(s) at IRQL %u",
                      WaitName(delay), t->name.c_str(), t->spinLocksHeld, t->irql);
            poll = true;
        } else if (t->irql >= DISPATCH_LEVEL || t == g.idle) {
            Violation(rule::kWaitAtDispatch, "%s by '%s' at IRQL %u with a non-zero time-out", WaitName(delay),
                      t->name.c_str(), t->irql);
            poll = true;
        }
    }
    for (ULONG i = 0; i < count; ++i) {
        if (!IsDispatcherType(objects[i]->Type)) {
            Violation(rule::kDispatcher, "'%s' waits on %p, which is not a dispatcher object (type %u)",
                      t->name.c_str(), static_cast<void*>(objects[i]), objects[i]->Type);
            return STATUS_INVALID_PARAMETER;
        }
    }
    // A mutex about to be acquired is ordered after every lock the thread holds; checked before the
    // wait, so an inversion is reported even in the interleaving that would hang.
    for (ULONG i = 0; i < count; ++i) {
        if (objects[i]->Type == MutantObject && reinterpret_cast<PKMUTEX>(objects[i])->OwnerThread != t->kthread)
            CheckLockOrder(t, objects[i], false);
    }
    // A wait is a point where pending work runs and the scheduler may switch.
    if (t->irql < DISPATCH_LEVEL) {
        FireDue();
        DeliverPending();
        MaybePreempt();
    }
    if (alertable && t->alerted) {
        t->alerted = false;
        return STATUS_ALERTED;
    }
    t->waitObjects.assign(objects, objects + count);
    t->waitType = type;
    NTSTATUS status;
    if (TrySatisfy(t, &status)) {
        t->waitObjects.clear();
        return status;
    }
    if (poll) {
        t->waitObjects.clear();
        return delay ? STATUS_SUCCESS : STATUS_TIMEOUT;
    }
    t->alertable = alertable != FALSE;
    t->delay = delay;
    t->waitStatus = STATUS_SUCCESS;
    t->state = RunState::Waiting;
    g.waiting.push_back(t);
    if (hasDeadline) {
        Deadline d{DeadlineKind::Wait};
        d.thread = t;
        t->deadlineKey = AddDeadline(deadline, d);
        t->hasDeadline = true;
    }
    Block();
    return t->waitStatus;
}

void SignalAndPreempt() {
    WakeWaiters();
    Thread* t = g.current;
    if (t->irql < DISPATCH_LEVEL) MaybePreempt();
}

}  // namespace

void WakeWaiters() {
    for (size_t i = 0; i < g.waiting.size();) {
        Thread* t = g.waiting[i];
        NTSTATUS status;
        if (!t->waitForIdle && TrySatisfy(t, &status)) {
            EndWait(t, status);
        } else {
            ++i;
        }
    }
}

void EndWait(Thread* thread, NTSTATUS status) {
    for (auto it = g.waiting.begin(); it != g.waiting.end(); ++it) {
        if (*it == thread) {
            g.waiting.erase(it);
            break;
        }
    }
    if (thread->hasDeadline) {
        RemoveDeadline(thread->deadlineKey);
        thread->hasDeadline = false;
    }
    thread->waitStatus = status;
    thread->waitObjects.clear();
    thread->alertable = false;
    thread->waitForIdle = false;
    MakeReady(thread);
}

void RequireIrqlAtMost(KIRQL level, const char* routine) {
    Thread* t = Cur();
    if (t->irql > level)
        Violation(rule::kIrql, "%s called at IRQL %u by '%s' (at most %u allowed)", routine, t->irql,
                  t->name.c_str(), level);
}

void RaiseTo(Thread* thread, KIRQL irql) {
    thread->irql = irql;
    SyncMemoryView();
}

void LowerTo(Thread* thread, KIRQL irql) {
    if (irql < DISPATCH_LEVEL && thread->irql >= DISPATCH_LEVEL && thread->spinLocksHeld > 0)
        Violation(rule::kIrql, "'%s' lowered IRQL to %u while holding %d spin lock(s)", thread->name.c_str(), irql,
                  thread->spinLocksHeld);
    thread->irql = irql;
    SyncMemoryView();
    DeliverPending();
    if (irql < DISPATCH_LEVEL) MaybePreempt();
}

void SpinAcquire(Thread* thread, PKSPIN_LOCK lock, const char* routine, KIRQL oldIrql, bool tryOnly) {
    ULONG_PTR self = reinterpret_cast<ULONG_PTR>(thread->kthread);
    if (*lock == self) {
        Violation(rule::kSpinLockRecursion, "%s: spin lock %p acquired again by its owner '%s'", routine,
                  static_cast<void*>(lock), thread->name.c_str());
        g.recursedLocks[lock]++;
        return;
    }
    if (!tryOnly) CheckLockOrder(thread, lock, true);
    if (*lock != 0) {
        Thread* owner = FindThreadByObject(*lock);
        std::string ownerText = owner != nullptr ? "'" + owner->name + "' (" + StateName(owner->state) + ")"
                                                 : "an unknown owner (value not a thread: uninitialized lock?)";
        Violation(rule::kDeadlock,
                  "%s: '%s' spins forever on spin lock %p held by %s; on one processor the holder cannot run: "
                  "it blocked or ended holding the lock",
                  routine, thread->name.c_str(), static_cast<void*>(lock), ownerText.c_str());
        if (owner != nullptr && owner->spinLocksHeld > 0) {
            owner->spinLocksHeld--;
            NoteReleased(owner, lock);
        }
    }
    *lock = self;
    thread->spinLocksHeld++;
    NoteAcquired(thread, lock, true, oldIrql);
}

bool SpinRelease(Thread* thread, PKSPIN_LOCK lock, const char* routine, KIRQL newIrql) {
    ULONG_PTR self = reinterpret_cast<ULONG_PTR>(thread->kthread);
    auto recursed = g.recursedLocks.find(lock);
    if (recursed != g.recursedLocks.end() && *lock == self) {
        if (--recursed->second == 0) g.recursedLocks.erase(recursed);
        return false;
    }
    if (*lock != self) {
        if (*lock == 0) {
            Violation(rule::kSpinLockOwner, "%s: spin lock %p released by '%s' but not held", routine,
                      static_cast<void*>(lock), thread->name.c_str());
        } else {
            Thread* owner = FindThreadByObject(*lock);
            Violation(rule::kSpinLockOwner, "%s: spin lock %p released by '%s' but held by '%s'", routine,
                      static_cast<void*>(lock), thread->name.c_str(),
                      owner != nullptr ? owner->name.c_str() : "?");
        }
        return false;
    }
    if (newIrql != kNoOldIrql) {
        // The IRQL to return to is one an outstanding acquire returned: this lock's own, or, when
        // locks are released out of order (hand over hand), that of a lock still held, which then
        // inherits this lock's.
        std::vector<HeldLock>& held = thread->held;
        HeldLock* mine = nullptr;
        for (size_t i = held.size(); i-- > 0;)
            if (held[i].lock == lock) {
                mine = &held[i];
                break;
            }
        // A lock taken with KeAcquireSpinLockAtDpcLevel has no IRQL of its own to return to: the
        // caller raised before, and may lower through this release.
        if (mine != nullptr && mine->oldIrql != kNoOldIrql && mine->oldIrql != newIrql) {
            HeldLock* other = nullptr;
            for (size_t i = held.size(); i-- > 0;)
                if (held[i].spin && held[i].lock != lock && held[i].oldIrql == newIrql) {
                    other = &held[i];
                    break;
                }
            if (other != nullptr) {
                other->oldIrql = mine->oldIrql;
            } else {
                Violation(rule::kIrql,
                          "%s: spin lock %p released by '%s' to IRQL %u, but its acquire returned IRQL %u",
                          routine, static_cast<void*>(lock), thread->name.c_str(), newIrql, mine->oldIrql);
            }
        }
    }
    *lock = 0;
    thread->spinLocksHeld--;
    NoteReleased(thread, lock);
    return true;
}

namespace {

std::string LockName(const void* lock, bool spin) {
    char text[64];
    snprintf(text, sizeof(text), "%s %p", spin ? "spin lock" : "mutex", lock);
    return text;
}

// Whether `to` is reachable from `from` in the lock-order graph.
bool OrderReaches(const void* from, const void* to, std::vector<const void*>& seen) {
    if (from == to) return true;
    for (const void* s : seen)
        if (s == from) return false;
    seen.push_back(from);
    auto it = g.lockOrder.find(from);
    if (it == g.lockOrder.end()) return false;
    for (const State::OrderEdge& e : it->second)
        if (OrderReaches(e.to, to, seen)) return true;
    return false;
}

}  // namespace

void CheckLockOrder(Thread* thread, const void* lock, bool spin) {
    std::vector<HeldLock>& held = thread->held;
    for (size_t i = thread->heldBase; i < held.size(); ++i) {
        const void* before = held[i].lock;
        if (before == lock) continue;
        auto from = g.lockOrder.find(before);
        bool known = false;
        if (from != g.lockOrder.end())
            for (const State::OrderEdge& e : from->second)
                if (e.to == lock) {
                    known = true;
                    break;
                }
        if (known) continue;
        std::vector<const void*> seen;
        if (OrderReaches(lock, before, seen)) {
            std::pair<const void*, const void*> pair(before, lock);
            bool reported = false;
            for (const auto& r : g.reportedInversions) reported = reported || r == pair;
            if (reported) continue;
            g.reportedInversions.push_back(pair);
            std::string who = "?";
            auto it = g.lockOrder.find(lock);
            if (it != g.lockOrder.end())
                for (const State::OrderEdge& e : it->second) who = e.to == before ? e.thread : who;
            std::string a = LockName(before, held[i].spin), b = LockName(lock, spin);
            Violation(rule::kLockOrder,
                      "'%s' acquires %s while holding %s, but %s was acquired while holding %s before%s%s%s: two "
                      "threads taking them in these orders deadlock",
                      thread->name.c_str(), b.c_str(), a.c_str(), a.c_str(), b.c_str(),
                      who != "?" ? " (by '" : " (through other locks", who != "?" ? who.c_str() : "",
                      who != "?" ? "')" : ")");
            continue;  // the inverted edge is not recorded: the graph stays acyclic
        }
        g.lockOrder[before].push_back(State::OrderEdge{lock, thread->name});
        g.lockOrderInto[lock].push_back(before);
    }
}

void NoteAcquired(Thread* thread, const void* lock, bool spin, KIRQL oldIrql) {
    thread->held.push_back(HeldLock{lock, spin, oldIrql});
}

void NoteReleased(Thread* thread, const void* lock) {
    std::vector<HeldLock>& held = thread->held;
    for (size_t i = held.size(); i-- > 0;) {
        if (held[i].lock == lock) {
            held.erase(held.begin() + static_cast<long>(i));
            if (thread->heldBase > held.size()) thread->heldBase = held.size();
            return;
        }
    }
}

// The lock's edges both ways go, found through the edges themselves: a long run (a fuzzer's)
// initializes locks at millions of addresses.
void ForgetLock(const void* lock) {
    if (g.lockOrder.empty()) return;
    auto remove = [](auto& list, auto matches) {
        list.erase(std::remove_if(list.begin(), list.end(), matches), list.end());
    };
    if (auto out = g.lockOrder.find(lock); out != g.lockOrder.end()) {
        for (const State::OrderEdge& e : out->second) {
            auto into = g.lockOrderInto.find(e.to);
            if (into == g.lockOrderInto.end()) continue;
            remove(into->second, [lock](const void* a) { return a == lock; });
            if (into->second.empty()) g.lockOrderInto.erase(into);
        }
        g.lockOrder.erase(out);
    }
    if (auto in = g.lockOrderInto.find(lock); in != g.lockOrderInto.end()) {
        for (const void* a : in->second) {
            auto from = g.lockOrder.find(a);
            if (from == g.lockOrder.end()) continue;
            remove(from->second, [lock](const State::OrderEdge& e) { return e.to == lock; });
            if (from->second.empty()) g.lockOrder.erase(from);
        }
        g.lockOrderInto.erase(in);
    }
}

void ReleaseMutexesOf(Thread* thread) {
    for (PKMUTEX mutex : thread->mutexes) {
        mutex->OwnerThread = nullptr;
        mutex->Header.SignalState = 1;
        NoteReleased(thread, mutex);
    }
    thread->mutexes.clear();
    WakeWaiters();
}

}  // namespace ke

void RunUntilIdle() {
    ke::Thread* t = ke::Cur();
    if (t->irql >= DISPATCH_LEVEL || t->spinLocksHeld > 0 || t == ke::g.idle)
        ke::Fatal("RunUntilIdle at IRQL %u or holding a spin lock", t->irql);
    t->waitForIdle = true;
    t->state = ke::RunState::Waiting;
    ke::g.waiting.push_back(t);
    ke::Block();
}

}  // namespace hk

using hk::ke::Cur;
using hk::ke::g;
using hk::ke::Thread;

// ---------------------------------------------------------------------------------------------
// IRQL

extern "C" KIRQL KeGetCurrentIrql(void) { return Cur()->irql; }

extern "C" void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    Thread* t = Cur();
    *OldIrql = t->irql;
    if (NewIrql < t->irql) {
        hk::Violation(hk::rule::kIrql, "KeRaiseIrql to %u from the higher IRQL %u by '%s'", NewIrql, t->irql,
                      t->name.c_str());
        return;
    }
    hk::ke::RaiseTo(t, NewIrql);
}

extern "C" void KeLowerIrql(KIRQL NewIrql) {
    Thread* t = Cur();
    if (NewIrql > t->irql) {
        hk::Violation(hk::rule::kIrql, "KeLowerIrql to %u from the lower IRQL %u by '%s'", NewIrql, t->irql,
                      t->name.c_str());
        return;
    }
    hk::ke::LowerTo(t, NewIrql);
}

extern "C" void KxHostPagedCode(const char* function) {
    Thread* t = Cur();
    if (t->irql > APC_LEVEL)
        hk::Violation(hk::rule::kIrql, "pageable code (%s) ran at IRQL %u by '%s' (at most APC_LEVEL)", function,
                      t->irql, t->name.c_str());
}

extern "C" KIRQL KeRaiseIrqlToDpcLevel(void) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

// ---------------------------------------------------------------------------------------------
// Spin locks: the lock holds its owner's thread object; acquiring raises to DISPATCH_LEVEL.

extern "C" void KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    *SpinLock = 0;
    if (g.booted) hk::ke::ForgetLock(SpinLock);  // a new lock: the order of an old one at this address is gone
}

extern "C" KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    Thread* t = Cur();
    KIRQL old = t->irql;
    if (old > DISPATCH_LEVEL)
        hk::Violation(hk::rule::kIrql, "KeAcquireSpinLock at IRQL %u by '%s' (at most DISPATCH_LEVEL)", old,
                      t->name.c_str());
    else
        hk::ke::RaiseTo(t, DISPATCH_LEVEL);
    hk::ke::SpinAcquire(t, SpinLock, "KeAcquireSpinLock", old);
    return old;
}

extern "C" void KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
    *OldIrql = KeAcquireSpinLockRaiseToDpc(SpinLock);
}

extern "C" void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    Thread* t = Cur();
    hk::ke::SpinRelease(t, SpinLock, "KeReleaseSpinLock", NewIrql);
    if (NewIrql > t->irql) {
        hk::Violation(hk::rule::kIrql, "KeReleaseSpinLock to IRQL %u from the lower IRQL %u by '%s'", NewIrql,
                      t->irql, t->name.c_str());
        return;
    }
    hk::ke::LowerTo(t, NewIrql);
}

extern "C" void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    Thread* t = Cur();
    if (t->irql < DISPATCH_LEVEL)
        hk::Violation(hk::rule::kIrql, "KeAcquireSpinLockAtDpcLevel at IRQL %u by '%s'", t->irql, t->name.c_str());
    hk::ke::SpinAcquire(t, SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

extern "C" void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    Thread* t = Cur();
    if (t->irql < DISPATCH_LEVEL)
        hk::Violation(hk::rule::kIrql, "KeReleaseSpinLockFromDpcLevel at IRQL %u by '%s'", t->irql,
                      t->name.c_str());
    hk::ke::SpinRelease(t, SpinLock, "KeReleaseSpinLockFromDpcLevel");
}

extern "C" BOOLEAN KeTryToAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    Thread* t = Cur();
    if (t->irql < DISPATCH_LEVEL)
        hk::Violation(hk::rule::kIrql, "KeTryToAcquireSpinLockAtDpcLevel at IRQL %u by '%s'", t->irql,
                      t->name.c_str());
    if (*SpinLock != 0 && *SpinLock != reinterpret_cast<ULONG_PTR>(t->kthread)) return FALSE;
    hk::ke::SpinAcquire(t, SpinLock, "KeTryToAcquireSpinLockAtDpcLevel", hk::ke::kNoOldIrql, true);
    return TRUE;
}

extern "C" BOOLEAN KeTestSpinLock(PKSPIN_LOCK SpinLock) {
    Cur();
    return *SpinLock == 0;
}

extern "C" void IoAcquireCancelSpinLock(PKIRQL Irql) { KeAcquireSpinLock(&g.cancelLock, Irql); }

extern "C" void IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&g.cancelLock, Irql); }

// ---------------------------------------------------------------------------------------------
// Events

extern "C" void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    Event->Header.Type = Type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject;
    Event->Header.Absolute = 0;
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.Inserted = 0;
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

extern "C" LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    hk::ke::RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    hk::ke::SignalAndPreempt();
    return previous;
}

extern "C" void KeClearEvent(PRKEVENT Event) {
    Cur();
    Event->Header.SignalState = 0;
}

extern "C" LONG KeResetEvent(PRKEVENT Event) {
    hk::ke::RequireIrqlAtMost(DISPATCH_LEVEL, "KeResetEvent");
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

extern "C" LONG KeReadStateEvent(PRKEVENT Event) {
    Cur();
    return Event->Header.SignalState;
}

extern "C" LONG KePulseEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    hk::ke::RequireIrqlAtMost(DISPATCH_LEVEL, "KePulseEvent");
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    hk::ke::WakeWaiters();
    Event->Header.SignalState = 0;
    hk::ke::SignalAndPreempt();
    return previous;
}

// ---------------------------------------------------------------------------------------------
// Mutexes: SignalState is 1 when free and 1 - depth while owned; the owner may acquire again.

extern "C" void KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
    Mutex->Header.Type = MutantObject;
    Mutex->Header.Absolute = 0;
    Mutex->Header.Size = sizeof(KMUTEX) / sizeof(LONG);
    Mutex->Header.Inserted = 0;
    Mutex->Header.SignalState = 1;
    InitializeListHead(&Mutex->Header.WaitListHead);
    InitializeListHead(&Mutex->MutantListEntry);
    Mutex->OwnerThread = nullptr;
    Mutex->Abandoned = FALSE;
    Mutex->ApcDisable = 1;
    if (g.booted) hk::ke::ForgetLock(Mutex);
}

extern "C" LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
    Thread* t = Cur();
    hk::ke::RequireIrqlAtMost(DISPATCH_LEVEL, "KeReleaseMutex");
    LONG previous = Mutex->Header.SignalState;
    if (Mutex->OwnerThread != t->kthread) {
        Thread* owner = hk::ke::ThreadOf(Mutex->OwnerThread);
        hk::Violation(hk::rule::kMutex, "mutex %p released by '%s', %s%s%s", static_cast<void*>(Mutex),
                      t->name.c_str(), owner != nullptr ? "owned by '" : "which owns nobody",
                      owner != nullptr ? owner->name.c_str() : "", owner != nullptr ? "'" : "");
        return previous;
    }
    Mutex->Header.SignalState++;
    if (Mutex->Header.SignalState == 1) {
        Mutex->OwnerThread = nullptr;
        hk::ke::NoteReleased(t, Mutex);
        for (auto it = t->mutexes.begin(); it != t->mutexes.end(); ++it) {
            if (*it == Mutex) {
                t->mutexes.erase(it);
                break;
            }
        }
        hk::ke::SignalAndPreempt();
    }
    return previous;
}

extern "C" LONG KeReadStateMutex(PRKMUTEX Mutex) {
    Cur();
    return Mutex->Header.SignalState;
}

// ---------------------------------------------------------------------------------------------
// Semaphores

extern "C" void KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit) {
    Semaphore->Header.Type = SemaphoreObject;
    Semaphore->Header.Absolute = 0;
    Semaphore->Header.Size = sizeof(KSEMAPHORE) / sizeof(LONG);
    Semaphore->Header.Inserted = 0;
    Semaphore->Header.SignalState = Count;
    InitializeListHead(&Semaphore->Header.WaitListHead);
    Semaphore->Limit = Limit;
}

extern "C" LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait) {
    hk::ke::RequireIrqlAtMost(DISPATCH_LEVEL, "KeReleaseSemaphore");
    LONG previous = Semaphore->Header.SignalState;
    if (Adjustment <= 0 || previous > Semaphore->Limit - Adjustment) {
        hk::Violation(hk::rule::kDispatcher, "semaphore %p released by %d beyond its limit %d (count %d)",
                      static_cast<void*>(Semaphore), Adjustment, Semaphore->Limit, previous);
        return previous;
    }
    Semaphore->Header.SignalState += Adjustment;
    hk::ke::SignalAndPreempt();
    return previous;
}

extern "C" LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore) {
    Cur();
    return Semaphore->Header.SignalState;
}

// ---------------------------------------------------------------------------------------------
// Waits

extern "C" NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                          BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    PDISPATCHER_HEADER header = static_cast<PDISPATCHER_HEADER>(Object);
    return hk::ke::WaitFor(1, &header, WaitAny, Alertable, Timeout, false);
}

extern "C" NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                             KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                             PKWAIT_BLOCK WaitBlockArray) {
    Cur();
    if (Count > MAXIMUM_WAIT_OBJECTS || (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == nullptr))
        KeBugCheckEx(MAXIMUM_WAIT_OBJECTS_EXCEEDED, Count, reinterpret_cast<ULONG_PTR>(WaitBlockArray), 0, 0);
    if (Count == 0 || (WaitType != WaitAll && WaitType != WaitAny)) {
        hk::Violation(hk::rule::kDispatcher, "KeWaitForMultipleObjects with %u objects and wait type %d", Count,
                      static_cast<int>(WaitType));
        return STATUS_INVALID_PARAMETER;
    }
    PDISPATCHER_HEADER headers[MAXIMUM_WAIT_OBJECTS];
    for (ULONG i = 0; i < Count; ++i) headers[i] = static_cast<PDISPATCHER_HEADER>(Object[i]);
    return hk::ke::WaitFor(Count, headers, WaitType, Alertable, Timeout, false);
}

extern "C" NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
    Thread* t = Cur();
    if (Interval->QuadPart == 0) {
        // A zero delay yields the processor to the ready threads of the same or higher priority.
        if (t->irql >= DISPATCH_LEVEL || t->spinLocksHeld > 0) {
            hk::Violation(hk::rule::kWaitAtDispatch, "KeDelayExecutionThread by '%s' at IRQL %u", t->name.c_str(),
                          t->irql);
            return STATUS_SUCCESS;
        }
        if (Alertable && t->alerted) {
            t->alerted = false;
            return STATUS_ALERTED;
        }
        hk::ke::MakeReady(t);
        hk::ke::Block();
        return STATUS_SUCCESS;
    }
    return hk::ke::WaitFor(0, nullptr, WaitAny, Alertable, Interval, true);
}

// ---------------------------------------------------------------------------------------------
// Lists guarded by a spin lock. As on Windows they may be used at any IRQL up to the device's:
// the lock is taken with interrupts off and the IRQL left alone, so nothing else runs meanwhile.

namespace {

struct ListLock {
    explicit ListLock(PKSPIN_LOCK lock) : thread_(Cur()), lock_(lock) {
        hk::ke::SpinAcquire(thread_, lock_, "ExInterlocked list routine");
    }
    ~ListLock() { hk::ke::SpinRelease(thread_, lock_, "ExInterlocked list routine"); }
    ListLock(const ListLock&) = delete;
    ListLock& operator=(const ListLock&) = delete;

private:
    Thread* thread_;
    PKSPIN_LOCK lock_;
};

}  // namespace

extern "C" PLIST_ENTRY ExInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock) {
    ListLock guard(Lock);
    PLIST_ENTRY first = IsListEmpty(ListHead) ? nullptr : ListHead->Flink;
    InsertHeadList(ListHead, ListEntry);
    return first;
}

extern "C" PLIST_ENTRY ExInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock) {
    ListLock guard(Lock);
    PLIST_ENTRY last = IsListEmpty(ListHead) ? nullptr : ListHead->Blink;
    InsertTailList(ListHead, ListEntry);
    return last;
}

extern "C" PLIST_ENTRY ExInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock) {
    ListLock guard(Lock);
    return IsListEmpty(ListHead) ? nullptr : RemoveHeadList(ListHead);
}

extern "C" PSINGLE_LIST_ENTRY ExInterlockedPushEntryList(PSINGLE_LIST_ENTRY ListHead, PSINGLE_LIST_ENTRY ListEntry,
                                                         PKSPIN_LOCK Lock) {
    ListLock guard(Lock);
    PSINGLE_LIST_ENTRY first = ListHead->Next;
    PushEntryList(ListHead, ListEntry);
    return first;
}

extern "C" PSINGLE_LIST_ENTRY ExInterlockedPopEntryList(PSINGLE_LIST_ENTRY ListHead, PKSPIN_LOCK Lock) {
    ListLock guard(Lock);
    return PopEntryList(ListHead);
}
