// Host kernel ke: state shared by the files of the module (scheduler, waits, clock, interrupts).
//
// The virtual uniprocessor: every emulated thread is a real host thread, but only the one holding
// the run token executes. The token passes in SwitchTo under g_handoff; everything else in State
// is touched only by the token holder, so it needs no lock of its own (the handoff orders it).
#pragma once

#include <pthread.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "hk_core.h"
#include "hk_ke_test.h"
#include "hk_node_cache.h"

namespace hk {
namespace ke {

enum class Kind { Adopted, System, Test, Worker, Idle };

// A spin lock or mutex the thread holds, in acquisition order. `oldIrql` is what the acquire
// returned to its caller (kNoOldIrql for acquires that do not change the IRQL).
inline constexpr KIRQL kNoOldIrql = 0xFF;
struct HeldLock {
    const void* lock = nullptr;
    bool spin = true;
    KIRQL oldIrql = kNoOldIrql;
};
enum class RunState { Ready, Running, Waiting, Terminated };

struct Thread {
    PKTHREAD kthread = nullptr;  // the dispatcher object (null once the object manager deleted it)
    bool ownsKthread = false;    // allocated by ke rather than by the object manager
    std::string name;
    Kind kind = Kind::Test;
    RunState state = RunState::Ready;
    KPRIORITY priority = 8;
    KIRQL irql = PASSIVE_LEVEL;
    PEPROCESS process = nullptr;
    ULONG id = 0;
    int spinLocksHeld = 0;
    int dpcDepth = 0;                 // DPC routines running on this thread's stack
    std::vector<PKMUTEX> mutexes;     // owned, in acquisition order
    std::vector<HeldLock> held;       // spin locks and mutexes, in acquisition order
    size_t heldBase = 0;              // first entry of the running DPC or service routine
    int requestDispatch = 0;          // inside the dispatch of a user program's request
    bool inSystemProcess = false;     // runs in the system process's context
    int attached = 0;                 // KeStackAttachProcess calls not yet undone

    // The wait in progress (state == Waiting).
    std::vector<PDISPATCHER_HEADER> waitObjects;
    WAIT_TYPE waitType = WaitAny;
    bool alertable = false;
    bool alerted = false;             // alert pending for the next alertable wait
    bool waitForIdle = false;         // RunUntilIdle
    bool delay = false;               // KeDelayExecutionThread: a timeout is success
    NTSTATUS waitStatus = STATUS_SUCCESS;
    bool hasDeadline = false;
    std::pair<ULONGLONG, ULONGLONG> deadlineKey{0, 0};

    // Host thread.
    bool hasOsThread = false;
    pthread_t os{};
    std::condition_variable cv;
    bool killed = false;
    bool released = false;            // a test thread its starter no longer names (ReleaseThread)
    std::function<void()> body;
};

enum class DeadlineKind { Timer, Wait, Clock };
struct Deadline {
    DeadlineKind kind;
    PKTIMER timer = nullptr;
    Thread* thread = nullptr;
    ClockCallback callback = nullptr;
    void* context = nullptr;
};
typedef std::pair<ULONGLONG, ULONGLONG> DeadlineKey;  // (virtual time, sequence)

struct Line {
    bool asserted = false;
    bool masked = false;
    ULONG unclaimed = 0;        // consecutive unclaimed deliveries while asserted
    ULONG stuck = 0;            // consecutive deliveries after which the line stayed asserted
    ULONGLONG deliveries = 0;
    std::vector<PKINTERRUPT> interrupts;  // in connection order
};

struct WorkQueue {
    Thread* worker = nullptr;
    KEVENT wake;
    std::deque<PIO_WORKITEM> items;
};

struct State {
    bool booted = false;
    Options options;
    Thread* running = nullptr;  // holds the run token (guarded by g_handoff)
    Thread* current = nullptr;  // whose context executes (the idle thread inside the idle loop)
    Thread* adopted = nullptr;
    Thread* idle = nullptr;
    Thread* killer = nullptr;   // the thread ending the others at shutdown
    std::vector<Thread*> threads;  // creation order, idle excluded
    std::vector<Thread*> osThreads;  // those with a host thread not joined yet
    size_t compactThreadsAt = 64;    // the size of threads at which ended records are freed
    std::deque<Thread*> ready;
    std::vector<Thread*> waiting;  // in wait order: wakeups are first come, first served
    ULONG nextThreadId = 1;
    ULONGLONG rng = 0;

    ULONGLONG now = 0;
    bool budgetReported = false;
    std::map<DeadlineKey, Deadline> deadlines;
    std::unordered_map<ULONGLONG, DeadlineKey> clockEvents;  // id -> key
    NodeCache<std::map<DeadlineKey, Deadline>> deadlineNodes;
    NodeCache<std::unordered_map<ULONGLONG, DeadlineKey>> clockEventNodes;
    ULONGLONG nextDeadlineSequence = 1;

    LIST_ENTRY dpcQueue;
    std::map<ULONG, Line> lines;
    KSPIN_LOCK cancelLock = 0;
    std::unordered_map<PKSPIN_LOCK, int> recursedLocks;  // recursion tolerated inside ExpectViolation
    WorkQueue queues[2];           // critical (and hyper-critical), delayed

    // Lock order: an edge A -> B says some thread acquired B while holding A (with who did it).
    struct OrderEdge {
        const void* to;
        std::string thread;
    };
    std::map<const void*, std::vector<OrderEdge>> lockOrder;
    std::map<const void*, std::vector<const void*>> lockOrderInto;  // B -> every A with an edge A -> B
    std::vector<std::pair<const void*, const void*>> reportedInversions;

    // What the processor's memory view was last set to (see SyncMemoryView).
    bool pagedResident = true;
    bool userReachable = true;
};

extern State g;
extern std::mutex g_handoff;
extern thread_local Thread* t_self;

// ---- Scheduler (hk_ke_sched.cpp)
[[noreturn]] void Fatal(const char* format, ...) __attribute__((format(printf, 1, 2)));
Thread* Cur();                     // the current context, checking the caller holds the token
Thread* ThreadOf(PKTHREAD thread);  // null for an object not made by ke
ULONGLONG Random();
void MakeReady(Thread* thread);
// The current thread has registered its wait (state Waiting): run others until it is readied.
void Block();
// The current thread gives the processor to a ready thread of any priority (seeded scheduler).
void MaybePreempt();
// Deliver interrupts the IRQL allows, then DPCs if below DISPATCH_LEVEL. True if anything ran.
bool DeliverPending();
void InitThreadObject(PKTHREAD object, Thread* thread);
Thread* NewThread(Kind kind, const char* name, KPRIORITY priority, PEPROCESS process);
void StartOsThread(Thread* thread);
[[noreturn]] void ExitCurrentThread();
const char* StateName(RunState state);
std::string DescribeObject(PDISPATCHER_HEADER header);
void FreeThreads();

// ---- Waits (hk_ke_wait.cpp)
void WakeWaiters();
void EndWait(Thread* thread, NTSTATUS status);  // removes from the waiting list and readies
void RequireIrqlAtMost(KIRQL level, const char* routine);
void RaiseTo(Thread* thread, KIRQL irql);
void LowerTo(Thread* thread, KIRQL irql);   // checks, then lets pending work run
// `oldIrql`: what the acquire returns to its caller; `tryOnly`: a try-acquire, which cannot
// deadlock and so adds no lock-order edge.
void SpinAcquire(Thread* thread, PKSPIN_LOCK lock, const char* routine, KIRQL oldIrql = 0xFF,
                 bool tryOnly = false);
// `newIrql`: the IRQL the caller returns to, checked against what the acquires returned (0xFF: none).
// False when nothing was released (recursion unwound, or a violation).
bool SpinRelease(Thread* thread, PKSPIN_LOCK lock, const char* routine, KIRQL newIrql = 0xFF);
void ReleaseMutexesOf(Thread* thread);
// Lock-order bookkeeping: before `thread` acquires `lock`, checks the order against the locks it
// holds (records the new edges); after, notes it held / released.
void CheckLockOrder(Thread* thread, const void* lock, bool spin);
void NoteAcquired(Thread* thread, const void* lock, bool spin, KIRQL oldIrql);
void NoteReleased(Thread* thread, const void* lock);
void ForgetLock(const void* lock);
// Pageable memory follows the running context: paged pool is trimmed at DISPATCH_LEVEL and
// above, user memory is out of reach outside a user program's own thread. Called wherever the
// IRQL or the running context changes; O(1) while nothing changes.
void SyncMemoryView();

// ---- Clock, timers and DPCs (hk_ke_clock.cpp)
DeadlineKey AddDeadline(ULONGLONG when, const Deadline& deadline);
void RemoveDeadline(const DeadlineKey& key);
bool FireDue();                   // fires every deadline at or before now; true if any fired
void AdvanceTo(ULONGLONG when);   // now = when, firing deadlines on the way
bool RunOneDpc();
void ResetClock();

// ---- Interrupts (hk_ke_intr.cpp)
bool DeliverOneInterrupt();
void ResetInterrupts();

// ---- Work items (hk_ke_thread.cpp)
void ResetWorkQueues();

}  // namespace ke
}  // namespace hk
