// Host kernel ke: the virtual uniprocessor — run token, seeded scheduler, idle loop, boot and
// shutdown, and the current-thread queries.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "hk_ke_internal.h"
#include "hk_wdm.h"

namespace hk {
namespace ke {

State g;
std::mutex g_handoff;
thread_local Thread* t_self = nullptr;

void Fatal(const char* format, ...) {
    va_list args;
    va_start(args, format);
    fprintf(stderr, "KX HOST KERNEL: ");
    vfprintf(stderr, format, args);
    fprintf(stderr, "\n");
    va_end(args);
    fflush(stderr);
    abort();
}

Thread* Cur() {
    if (!g.booted) Fatal("kernel call without a booted host kernel (create an hk::Kernel first)");
    if (t_self == nullptr || t_self != g.running)
        Fatal("kernel call from a host thread that is not the running emulated thread");
    return g.current;
}

Thread* ThreadOf(PKTHREAD thread) {
    if (thread == nullptr) return nullptr;
    return static_cast<Thread*>(thread->HostThread);
}

ULONGLONG Random() {
    // xorshift64*
    g.rng ^= g.rng >> 12;
    g.rng ^= g.rng << 25;
    g.rng ^= g.rng >> 27;
    return g.rng * 0x2545F4914F6CDD1Dull;
}

const char* StateName(RunState state) {
    switch (state) {
    case RunState::Ready: return "ready";
    case RunState::Running: return "running";
    case RunState::Waiting: return "waiting";
    case RunState::Terminated: return "terminated";
    }
    return "?";
}

void MakeReady(Thread* thread) {
    thread->state = RunState::Ready;
    g.ready.push_back(thread);
}

namespace {

// Highest priority first; among equals the oldest (seed 0) or a seeded choice.
Thread* PickReady() {
    if (g.ready.empty()) return nullptr;
    KPRIORITY best = -1;
    for (Thread* t : g.ready) best = t->priority > best ? t->priority : best;
    std::vector<size_t> candidates;
    for (size_t i = 0; i < g.ready.size(); ++i)
        if (g.ready[i]->priority == best) candidates.push_back(i);
    size_t pick = candidates[0];
    if (g.options.seed != 0 && candidates.size() > 1) pick = candidates[Random() % candidates.size()];
    Thread* next = g.ready[pick];
    g.ready.erase(g.ready.begin() + static_cast<long>(pick));
    next->state = RunState::Running;
    return next;
}

// Hand the token to `next` and wait until it comes back to this host thread.
void SwitchTo(Thread* next) {
    Thread* self = t_self;
    {
        std::unique_lock<std::mutex> lock(g_handoff);
        g.running = next;
        next->cv.notify_one();
        self->cv.wait(lock, [self] { return g.running == self; });
    }
    if (self->killed) {
        // Shutdown ends this thread where it stands: give the token back and leave.
        {
            std::lock_guard<std::mutex> lock(g_handoff);
            g.running = g.killer;
            g.killer->cv.notify_one();
        }
        pthread_exit(nullptr);
    }
    g.current = self;
    SyncMemoryView();
}

void ReportDeadlock() {
    std::string list = DescribeThreads();
    Violation(rule::kDeadlock, "no thread can ever run again (nothing ready, no timer or timed wait, no clock "
              "event, no DPC or interrupt pending) at virtual time %llu:\n%s",
              (unsigned long long)g.now, list.c_str());
    // Expected by a test: end one wait with STATUS_TIMEOUT so the run can go on, preferring the
    // thread whose block led here, then the test's own thread.
    Thread* victim = nullptr;
    if (t_self->state == RunState::Waiting) victim = t_self;
    else if (g.adopted->state == RunState::Waiting) victim = g.adopted;
    else if (!g.waiting.empty()) victim = g.waiting.front();
    if (victim == nullptr) Fatal("deadlock without a waiting thread");
    EndWait(victim, STATUS_TIMEOUT);
}

// One step of the idle loop, run in the idle thread's context when nothing is ready.
void IdleStep() {
    g.current = g.idle;
    SyncMemoryView();
    if (DeliverPending()) return;
    if (FireDue()) return;
    bool wokeIdleWaiter = false;
    for (size_t i = 0; i < g.waiting.size();) {
        Thread* t = g.waiting[i];
        if (t->waitForIdle) {
            EndWait(t, STATUS_SUCCESS);
            wokeIdleWaiter = true;
        } else {
            ++i;
        }
    }
    if (wokeIdleWaiter) return;
    if (!g.deadlines.empty()) {
        AdvanceTo(g.deadlines.begin()->first.first);
        return;
    }
    ReportDeadlock();
}

// The next thread to run after the current one stopped running; runs the idle loop on this host
// thread while nothing is ready.
Thread* Dispatch() {
    for (;;) {
        if (Thread* next = PickReady()) return next;
        IdleStep();
    }
}

void* ThreadMain(void* argument) {
    Thread* self = static_cast<Thread*>(argument);
    t_self = self;
    {
        std::unique_lock<std::mutex> lock(g_handoff);
        self->cv.wait(lock, [self] { return g.running == self; });
    }
    if (self->killed) {
        {
            std::lock_guard<std::mutex> lock(g_handoff);
            g.running = g.killer;
            g.killer->cv.notify_one();
        }
        return nullptr;
    }
    g.current = self;
    SyncMemoryView();
    DeliverPending();
    self->body();
    ExitCurrentThread();
}

}  // namespace

void Block() {
    Thread* self = t_self;
    Thread* next = Dispatch();
    if (next == self) {
        g.current = self;
        SyncMemoryView();
    } else {
        SwitchTo(next);
    }
    DeliverPending();
}

void MaybePreempt() {
    Thread* self = g.current;
    if (g.options.seed == 0 || g.ready.empty() || self == g.idle || self != t_self) return;
    if (self->irql >= DISPATCH_LEVEL) return;
    if (Random() % 4 != 0) return;
    size_t pick = Random() % g.ready.size();
    Thread* next = g.ready[pick];
    g.ready.erase(g.ready.begin() + static_cast<long>(pick));
    next->state = RunState::Running;
    MakeReady(self);
    SwitchTo(next);
    DeliverPending();
}

bool DeliverPending() {
    bool any = false;
    for (;;) {
        if (DeliverOneInterrupt()) {
            any = true;
            continue;
        }
        if (g.current->irql < DISPATCH_LEVEL && RunOneDpc()) {
            any = true;
            continue;
        }
        return any;
    }
}

void InitThreadObject(PKTHREAD object, Thread* thread) {
    object->Header.Type = ThreadObject;
    object->Header.Size = sizeof(KTHREAD) / sizeof(LONG);
    object->Header.SignalState = 0;
    InitializeListHead(&object->Header.WaitListHead);
    object->HostThread = thread;
}

Thread* NewThread(Kind kind, const char* name, KPRIORITY priority, PEPROCESS process) {
    Thread* t = new Thread;
    t->kind = kind;
    t->name = name;
    t->priority = priority;
    t->process = process;
    t->id = g.nextThreadId++;
    if (kind != Kind::System) {
        t->kthread = new KTHREAD();
        t->ownsKthread = true;
        InitThreadObject(t->kthread, t);
    }
    if (kind != Kind::Idle) g.threads.push_back(t);
    return t;
}

// Records of ended threads that nothing can name any more (their object is gone, or a test
// released it) are freed whenever the list has doubled since the last time, so creating a thread
// stays cheap however many a run has had.
void FreeEndedThreads() {
    if (g.threads.size() < g.compactThreadsAt) return;
    size_t kept = 0;
    for (Thread* t : g.threads) {
        bool unnamed = t->kthread == nullptr || (t->ownsKthread && t->released);
        if (t->state == RunState::Terminated && !t->hasOsThread && unnamed && t != g.adopted) {
            if (t->ownsKthread) delete t->kthread;
            delete t;
            continue;
        }
        g.threads[kept++] = t;
    }
    g.threads.resize(kept);
    g.compactThreadsAt = kept * 2 > 64 ? kept * 2 : 64;
}

// Host threads of emulated threads that have ended are joined when the next one starts, so a
// long run (a fuzzer's) does not keep a stack for every thread it ever had. Only the threads
// with a host thread are looked at: a fuzzer's run has had hundreds of thousands.
void JoinEndedOsThreads() {
    size_t kept = 0;
    for (Thread* t : g.osThreads) {
        if (t->state != RunState::Terminated || t == t_self) {
            g.osThreads[kept++] = t;
            continue;
        }
        pthread_join(t->os, nullptr);
        t->hasOsThread = false;
    }
    g.osThreads.resize(kept);
    FreeEndedThreads();
}

void StartOsThread(Thread* thread) {
    JoinEndedOsThreads();
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 8u << 20);  // room for sanitizer builds
    int error = pthread_create(&thread->os, &attributes, ThreadMain, thread);
    pthread_attr_destroy(&attributes);
    if (error != 0) Fatal("cannot create a host thread for '%s' (error %d)", thread->name.c_str(), error);
    thread->hasOsThread = true;
    g.osThreads.push_back(thread);
    MakeReady(thread);
}

void ExitCurrentThread() {
    Thread* self = Cur();
    if (self != t_self) Fatal("thread exit outside the thread's own context");
    if (self->irql != PASSIVE_LEVEL)
        Violation(rule::kIrql, "thread '%s' ended at IRQL %u", self->name.c_str(), self->irql);
    if (self->spinLocksHeld != 0)
        Violation(rule::kSpinLockOwner, "thread '%s' ended holding %d spin lock(s)", self->name.c_str(),
                  self->spinLocksHeld);
    if (self->attached != 0)
        Violation(rule::kDispatcher, "thread '%s' ended attached to another process (KeStackAttachProcess "
                  "without KeUnstackDetachProcess)", self->name.c_str());
    if (!self->mutexes.empty()) {
        Violation(rule::kMutex, "thread '%s' ended owning mutex %p", self->name.c_str(),
                  static_cast<void*>(self->mutexes.front()));
        ReleaseMutexesOf(self);
    }
    self->irql = PASSIVE_LEVEL;
    SyncMemoryView();
    self->state = RunState::Terminated;
    PKTHREAD object = self->kthread;
    if (object != nullptr) {
        object->Header.SignalState = 1;
        WakeWaiters();
        // The running thread's own reference on its object ends with it.
        if (!self->ownsKthread) ObDereferenceObject(object);
    }
    Thread* next = Dispatch();
    {
        std::lock_guard<std::mutex> lock(g_handoff);
        g.running = next;
        next->cv.notify_one();
    }
    pthread_exit(nullptr);
}

std::string DescribeObject(PDISPATCHER_HEADER header) {
    char text[256];
    switch (header->Type) {
    case EventNotificationObject:
    case EventSynchronizationObject:
        snprintf(text, sizeof(text), "%s event %p (%s)",
                 header->Type == EventNotificationObject ? "notification" : "synchronization",
                 static_cast<void*>(header), header->SignalState > 0 ? "signalled" : "not signalled");
        break;
    case MutantObject: {
        PKMUTEX mutex = reinterpret_cast<PKMUTEX>(header);
        Thread* owner = ThreadOf(mutex->OwnerThread);
        snprintf(text, sizeof(text), "mutex %p (%s%s%s)", static_cast<void*>(header),
                 owner != nullptr ? "owned by '" : "free", owner != nullptr ? owner->name.c_str() : "",
                 owner != nullptr ? "'" : "");
        break;
    }
    case SemaphoreObject:
        snprintf(text, sizeof(text), "semaphore %p (count %d)", static_cast<void*>(header), header->SignalState);
        break;
    case ThreadObject: {
        Thread* t = ThreadOf(reinterpret_cast<PKTHREAD>(header));
        snprintf(text, sizeof(text), "thread '%s' to end", t != nullptr ? t->name.c_str() : "?");
        break;
    }
    case TimerNotificationObject:
    case TimerSynchronizationObject:
        snprintf(text, sizeof(text), "timer %p (%s)", static_cast<void*>(header),
                 header->Inserted ? "set" : "not set");
        break;
    default:
        snprintf(text, sizeof(text), "object %p of type %u", static_cast<void*>(header), header->Type);
        break;
    }
    return text;
}

void SyncMemoryView() {
    Thread* t = g.current;
    if (t == nullptr || !g.booted || !g.options.memoryGuards) return;
    const bool resident = t->irql < DISPATCH_LEVEL;
    if (resident != g.pagedResident) {
        g.pagedResident = resident;
        SetPagedPoolResident(resident);
    }
    const char* rule = rule::kUserAddress;
    const char* why = nullptr;
    if (!resident) {
        rule = rule::kIrql;
        why = "at DISPATCH_LEVEL or above, where user memory may be paged out";
    } else if (t->dpcDepth > 0 || t == g.idle) {
        why = "from a DPC, in an arbitrary process's context";
    } else if (((t->kind == Kind::System || t->kind == Kind::Worker) && t->attached == 0) || t->inSystemProcess) {
        why = "from a thread of the system process, not the program's context";
    } else if (t->requestDispatch > 0) {
        why = "outside a probe and exception frame (KxCopyFromUser, KxCopyToUser or a locked MDL)";
    }
    const bool reachable = why == nullptr;
    if (reachable != g.userReachable || !reachable) {
        g.userReachable = reachable;
        SetUserMemoryReachable(reachable, rule, why);
    }
}

void FreeThreads() {
    for (Thread* t : g.threads) {
        if (t->kthread != nullptr) t->kthread->HostThread = nullptr;
        if (t->ownsKthread) delete t->kthread;
        delete t;
    }
    g.threads.clear();
    g.osThreads.clear();
    g.compactThreadsAt = 64;
    if (g.idle != nullptr) {
        delete g.idle->kthread;
        delete g.idle;
        g.idle = nullptr;
    }
}

// ---------------------------------------------------------------------------------------------
// Boot and shutdown

void Boot(const Options& options) {
    if (g.booted) Fatal("a host kernel is already running (one hk::Kernel at a time)");
    g.options = options;
    // A seed sweep (scripts/seed-sweep.sh) shifts every preemptive seed by KX_SCHED_SEED_BASE;
    // seed 0 (no preemption) stays as it is.
    if (const char* base = getenv("KX_SCHED_SEED_BASE"); base != nullptr && options.seed != 0) {
        g.options.seed = options.seed + static_cast<ULONG>(strtoul(base, nullptr, 0));
        if (g.options.seed == 0) g.options.seed = 1;
    }
    g.rng = 0x9E3779B97F4A7C15ull ^ (static_cast<ULONGLONG>(g.options.seed) * 0xBF58476D1CE4E5B9ull);
    if (g.rng == 0) g.rng = 1;
    g.nextThreadId = 1;
    ResetClock();
    ResetInterrupts();
    ResetWorkQueues();
    g.cancelLock = 0;
    g.recursedLocks.clear();
    g.lockOrder.clear();
    g.lockOrderInto.clear();
    g.reportedInversions.clear();
    g.pagedResident = true;
    g.userReachable = true;
    g.booted = true;

    g.idle = NewThread(Kind::Idle, "idle", 0, nullptr);
    g.idle->state = RunState::Running;
    g.adopted = NewThread(Kind::Adopted, "test", 8, nullptr);
    g.adopted->state = RunState::Running;
    t_self = g.adopted;
    {
        std::lock_guard<std::mutex> lock(g_handoff);
        g.running = g.adopted;
    }
    g.current = g.adopted;
}

void Shutdown() {
    Thread* self = Cur();
    if (self != g.adopted) Fatal("the host kernel must shut down on the thread that booted it");
    if (self->irql != PASSIVE_LEVEL)
        Violation(rule::kIrql, "host kernel shut down at IRQL %u", self->irql);
    self->irql = PASSIVE_LEVEL;
    self->requestDispatch = 0;
    self->dpcDepth = 0;
    // io is gone: open everything up for the teardown of mm.
    g.pagedResident = g.userReachable = true;
    SetPagedPoolResident(true);
    SetUserMemoryReachable(true, rule::kUserAddress, nullptr);

    // Driver and test threads still alive leak: report them, then end them where they stand.
    std::string leaked;
    for (Thread* t : g.threads) {
        if (t->kind == Kind::System || t->kind == Kind::Test) {
            if (t->state != RunState::Terminated) {
                leaked += "  '" + t->name + "' " + StateName(t->state) + "\n";
            }
        }
    }
    if (!leaked.empty())
        Violation(rule::kThreadLeak, "threads still running at shutdown (a driver must stop its threads):\n%s",
                  leaked.c_str());
    ResetWorkQueues();
    g.killer = self;
    for (Thread* t : g.threads) {
        if (t == self || !t->hasOsThread || t->state == RunState::Terminated) continue;
        t->killed = true;
        {
            std::unique_lock<std::mutex> lock(g_handoff);
            g.running = t;
            t->cv.notify_one();
            self->cv.wait(lock, [self] { return g.running == self; });
        }
        t->state = RunState::Terminated;
    }
    g.current = self;
    for (Thread* t : g.threads)
        if (t->hasOsThread) pthread_join(t->os, nullptr);

    FreeThreads();
    g.ready.clear();
    g.waiting.clear();
    ResetClock();
    ResetInterrupts();
    {
        std::lock_guard<std::mutex> lock(g_handoff);
        g.running = nullptr;
    }
    g.current = nullptr;
    g.adopted = nullptr;
    g.killer = nullptr;
    g.booted = false;
    t_self = nullptr;
}

}  // namespace ke

// ---------------------------------------------------------------------------------------------
// Cross-module execution API (hk_core.h)

PKTHREAD CurrentThread() { return ke::Cur()->kthread; }

PEPROCESS CurrentProcess() {
    ke::Thread* t = ke::Cur();
    if (t->kind == ke::Kind::Idle || t->dpcDepth > 0) return SystemProcess();
    if (t->process == nullptr && (t->kind == ke::Kind::System || t->kind == ke::Kind::Worker))
        return SystemProcess();
    return t->process;
}

void SetThreadProcess(PKTHREAD thread, PEPROCESS process) {
    ke::Cur();
    ke::Thread* t = ke::ThreadOf(thread);
    if (t == nullptr) ke::Fatal("SetThreadProcess on an object that is not a thread");
    t->process = process;
    t->inSystemProcess = process != nullptr && process == SystemProcess();
    ke::SyncMemoryView();
}

void AttachCurrentThread(PEPROCESS process, bool attach) {
    ke::Thread* t = ke::Cur();
    if (t->irql > DISPATCH_LEVEL)
        Violation(rule::kIrql, "%s at IRQL %u (needs IRQL <= DISPATCH_LEVEL)",
                  attach ? "KeStackAttachProcess" : "KeUnstackDetachProcess", t->irql);
    if (!attach && t->attached == 0) {
        Violation(rule::kDispatcher, "KeUnstackDetachProcess by '%s', which is not attached to a process",
                  t->name.c_str());
        return;
    }
    t->attached += attach ? 1 : -1;
    t->process = process;
    t->inSystemProcess = process != nullptr && process == SystemProcess();
    ke::SyncMemoryView();
}

void EnterRequestDispatch() {
    ke::Cur()->requestDispatch++;
    ke::SyncMemoryView();
}

void LeaveRequestDispatch() {
    ke::Thread* t = ke::Cur();
    if (t->requestDispatch > 0) t->requestDispatch--;
    ke::SyncMemoryView();
}

void ForgetLocksIn(const void* start, SIZE_T length) {
    if (!ke::g.booted || ke::g.lockOrder.empty()) return;
    const char* begin = static_cast<const char*>(start);
    std::vector<const void*> gone;
    for (auto it = ke::g.lockOrder.lower_bound(begin);
         it != ke::g.lockOrder.end() && static_cast<const char*>(it->first) < begin + length; ++it)
        gone.push_back(it->first);
    for (auto it = ke::g.lockOrderInto.lower_bound(begin);
         it != ke::g.lockOrderInto.end() && static_cast<const char*>(it->first) < begin + length; ++it)
        gone.push_back(it->first);
    for (const void* lock : gone) ke::ForgetLock(lock);
}

void SchedulePoint() {
    ke::Thread* t = ke::Cur();
    ke::FireDue();
    ke::DeliverPending();
    if (t->irql < DISPATCH_LEVEL) ke::MaybePreempt();
}

// ---------------------------------------------------------------------------------------------
// Test API: scheduler views

ThreadState GetThreadState(PKTHREAD thread) {
    ke::Thread* t = ke::ThreadOf(thread);
    if (t == nullptr) ke::Fatal("GetThreadState on an object that is not a thread");
    switch (t->state) {
    case ke::RunState::Ready: return ThreadState::Ready;
    case ke::RunState::Running: return ThreadState::Running;
    case ke::RunState::Waiting: return ThreadState::Waiting;
    case ke::RunState::Terminated: return ThreadState::Terminated;
    }
    return ThreadState::Terminated;
}

const char* ThreadName(PKTHREAD thread) {
    ke::Thread* t = ke::ThreadOf(thread);
    return t != nullptr ? t->name.c_str() : "?";
}

void SetThreadName(PKTHREAD thread, const char* name) {
    ke::Thread* t = ke::ThreadOf(thread);
    if (t == nullptr) ke::Fatal("SetThreadName on an object that is not a thread");
    t->name = name;
}

std::string DescribeThreads() {
    std::string out;
    for (ke::Thread* t : ke::g.threads) {
        char line[256];
        snprintf(line, sizeof(line), "  thread '%s' (id %u, priority %d): %s at IRQL %u", t->name.c_str(), t->id,
                 t->priority, ke::StateName(t->state), t->irql);
        out += line;
        if (t->state == ke::RunState::Waiting) {
            if (t->waitForIdle) {
                out += ", waits for the processor to be idle";
            } else if (t->kind == ke::Kind::Worker && t->waitObjects.size() == 1 &&
                       t->waitObjects[0] == &ke::g.queues[0].wake.Header) {
                out += ", waits for work (critical queue)";
            } else if (t->kind == ke::Kind::Worker && t->waitObjects.size() == 1 &&
                       t->waitObjects[0] == &ke::g.queues[1].wake.Header) {
                out += ", waits for work (delayed queue)";
            } else {
                if (t->waitObjects.empty()) {
                    out += ", delays";
                } else {
                    out += t->waitObjects.size() > 1 ? (t->waitType == WaitAll ? ", waits for all of: "
                                                                               : ", waits for any of: ")
                                                     : ", waits for ";
                    for (size_t i = 0; i < t->waitObjects.size(); ++i) {
                        if (i > 0) out += ", ";
                        out += ke::DescribeObject(t->waitObjects[i]);
                    }
                }
                if (t->alertable) out += ", alertable";
                if (t->hasDeadline) {
                    snprintf(line, sizeof(line), ", until virtual time %llu",
                             (unsigned long long)t->deadlineKey.first);
                    out += line;
                } else {
                    out += ", without time-out";
                }
            }
        }
        if (t->spinLocksHeld > 0) {
            snprintf(line, sizeof(line), ", holding %d spin lock(s)", t->spinLocksHeld);
            out += line;
            for (const ke::HeldLock& h : t->held) {
                if (!h.spin) continue;
                snprintf(line, sizeof(line), ", holding spin lock %p", h.lock);
                out += line;
            }
        }
        for (PKMUTEX m : t->mutexes) {
            snprintf(line, sizeof(line), ", owning mutex %p", static_cast<void*>(m));
            out += line;
        }
        out += "\n";
    }
    return out;
}

}  // namespace hk
