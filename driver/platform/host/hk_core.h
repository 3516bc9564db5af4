// Host kernel: the contract between its modules, and with tests, tools and the hardware model.
//
// The host kernel is split by domain:
//   ke  (hk_ke*.cpp)  virtual uniprocessor, scheduler, IRQL, clock, dispatcher objects, waits,
//                     DPCs, timers, system threads, work items, interrupts, verifier core
//   io  (hk_io*.cpp)  object manager and handles, processes, driver and device objects, IRPs,
//                     Plug and Play manager, fake PCI bus, power, device interfaces, user calls,
//                     registry, debug output
//   mm  (hk_mm*.cpp)  pool and lookaside lists, leak report, failure injection, MDLs and user
//                     address spaces, DMA adapters and the 32-bit bus address space, register windows
// Driver code never includes this header: it sees only kxplatform.h.
#pragma once

#include "hk_wdm.h"

namespace hk {

// ---------------------------------------------------------------------------------------------
// Verifier (ke). A broken rule is reported with its rule name. By default the report prints
// "KX VERIFIER: <rule>: <message>" to stderr and aborts the process, so the test fails with that
// message. Inside an ExpectViolation scope for that rule the report is recorded instead, and the
// offending call returns as harmlessly as it can (documented per rule), so a test can break a rule
// on purpose and check that it was caught.
void Violation(const char* rule, const char* format, ...) __attribute__((format(printf, 2, 3)));

class ExpectViolation {
public:
    explicit ExpectViolation(const char* rule);
    ~ExpectViolation();
    ExpectViolation(const ExpectViolation&) = delete;
    ExpectViolation& operator=(const ExpectViolation&) = delete;
    int Count() const;             // reports of this rule seen in the scope
    const char* LastMessage() const;
    struct State;
private:
    State* state_;
};

// Rule names (the first word of every report).
namespace rule {
inline constexpr const char* kIrql = "IRQL";                        // a call at the wrong IRQL
inline constexpr const char* kWaitAtDispatch = "WAIT_AT_DISPATCH";  // blocking wait at DISPATCH_LEVEL or above
inline constexpr const char* kSpinLockOwner = "SPINLOCK_OWNER";     // released by another thread / not held
inline constexpr const char* kSpinLockHeldAcrossWait = "SPINLOCK_HELD_ACROSS_WAIT";
inline constexpr const char* kSpinLockRecursion = "SPINLOCK_RECURSION";
inline constexpr const char* kDoubleCompletion = "IRP_DOUBLE_COMPLETION";
inline constexpr const char* kIrpState = "IRP_STATE";               // other IRP misuse (stack overrun, ...)
inline constexpr const char* kPoolLeak = "POOL_LEAK";               // pool or lookaside entry left at unload
inline constexpr const char* kPoolMisuse = "POOL_MISUSE";           // double free, wrong tag, bad pointer
inline constexpr const char* kInterruptStorm = "INTERRUPT_STORM";   // line left asserted, ISR says "not mine"
inline constexpr const char* kHandle = "HANDLE";                    // wrong type or access for a handle
inline constexpr const char* kDmaFault = "DMA_FAULT";               // device access to an unmapped bus page
inline constexpr const char* kDeadlock = "DEADLOCK";                // no thread can ever run again
inline constexpr const char* kTimeBudget = "TIME_BUDGET";           // the test's virtual-time budget ran out
inline constexpr const char* kMutex = "MUTEX";                      // mutex released by a non-owner
inline constexpr const char* kDpc = "DPC";                          // DPC misuse
inline constexpr const char* kRegister = "REGISTER";                // register access outside a mapped window
inline constexpr const char* kObject = "OBJECT";                    // reference count misuse
inline constexpr const char* kDispatcher = "DISPATCHER";            // misuse of an event, semaphore, timer or wait
inline constexpr const char* kWorkItem = "WORK_ITEM";               // work item queued twice or freed while queued
inline constexpr const char* kThreadLeak = "THREAD_LEAK";           // thread still running at shutdown
inline constexpr const char* kLockOrder = "LOCK_ORDER";             // two locks taken in both orders
inline constexpr const char* kUseAfterFree = "USE_AFTER_FREE";      // freed pool read or written
inline constexpr const char* kPoolOverrun = "POOL_OVERRUN";         // access or write past a block's end
inline constexpr const char* kUserAddress = "USER_ADDRESS";         // user memory reached the wrong way
inline constexpr const char* kKernelStack = "KERNEL_STACK";         // unbounded nesting on the kernel stack
}  // namespace rule

// ---------------------------------------------------------------------------------------------
// Execution (ke)

// The running emulated thread (the one holding the run token); never null inside the kernel.
PKTHREAD CurrentThread();
// The process the current thread runs in (the system process for system threads and DPCs).
PEPROCESS CurrentProcess();
void SetThreadProcess(PKTHREAD thread, PEPROCESS process);
// KeStackAttachProcess and KeUnstackDetachProcess: the current thread runs in `process`'s context
// (its user memory reachable as from the program's own thread) until the matching detach, which
// returns it to `process` (the one it came from).
void AttachCurrentThread(PEPROCESS process, bool attach);
// Brackets the dispatch of a user program's request on its own thread: the driver runs in the
// program's context but in kernel mode, where user memory is reached only through a probe and
// an exception frame (KxCopyFromUser, KxCopyToUser, KxProbeAndLockPages).
void EnterRequestDispatch();
void LeaveRequestDispatch();
// Lock-order bookkeeping forgets locks that lived in memory being freed.
void ForgetLocksIn(const void* start, SIZE_T length);
// A point where the virtual processor may deliver a pending interrupt or DPC (when the IRQL allows)
// and where the seeded scheduler may hand the run token to another runnable thread.
void SchedulePoint();
// Virtual time in 100 ns units since boot.
ULONGLONG Now();
// Let virtual time pass on the running thread as a busy-wait does (KeStallExecutionProcessor, the
// cost of a register access): deadlines reached on the way fire in order.
void ConsumeTime(ULONGLONG ticks100ns);
// Clock events for the hardware model: the callback runs on the virtual processor at the given
// virtual time, at HIGH_LEVEL semantics (it must not wait). Returns an id for CancelClockEvent.
typedef void (*ClockCallback)(void* context);
ULONGLONG ScheduleClockEvent(ULONGLONG when100ns, ClockCallback callback, void* context);
bool CancelClockEvent(ULONGLONG id);
// The level-sensitive interrupt line of a device (vector as handed out by the fake PCI bus).
void SetInterruptLine(ULONG vector, bool asserted);

// ---------------------------------------------------------------------------------------------
// Objects and processes (io)

// Every kernel object a handle can name has a header owned by the object manager.
typedef void (*ObjectDelete)(PVOID body);
PVOID CreateObject(POBJECT_TYPE type, SIZE_T bodySize, ObjectDelete onDelete);  // referenced once
NTSTATUS InsertHandle(PEPROCESS process, PVOID body, ACCESS_MASK granted, PHANDLE handle);
POBJECT_TYPE TypeOfObject(PVOID body);
PEPROCESS SystemProcess();
bool Is32BitProcess(PEPROCESS process);
bool IsLargeAddressAware(PEPROCESS process);
// The user address space of a process (mm creates and owns it; io keeps it with the process).
void* ProcessAddressSpace(PEPROCESS process);

// ---------------------------------------------------------------------------------------------
// Memory (mm)

void* CreateAddressSpace(bool is32Bit, bool largeAddressAware);
// A process that exits while threads of it are still in the kernel: its memory becomes unreachable
// at once (no probe, no copy, a raw touch reported) but stays mapped until DestroyAddressSpace,
// once the last of those threads has left. Pages an MDL locks stay valid until unlocked.
void RetireAddressSpace(void* space);
void DestroyAddressSpace(void* space);
// Leak check for one driver at its unload: every pool block and lookaside entry still allocated is
// reported (rule POOL_LEAK) with its tag and size. Returns the number of leaked blocks.
int ReportLeaks();

// The processor's view of pageable memory, which ke keeps in step with the running context. While
// the IRQL is DISPATCH_LEVEL or above, paged pool is trimmed: touching a block that is not locked
// is reported (rule IRQL), as Driver Verifier pages such memory out on every raise. User memory
// that no MDL locks is reachable only from a user program's own thread below DISPATCH_LEVEL and
// outside the dispatch of its request; elsewhere a touch is reported with `why` (rule IRQL at
// DISPATCH_LEVEL and above, USER_ADDRESS otherwise). Both cost nothing while they do not change.
void SetPagedPoolResident(bool resident);
void SetUserMemoryReachable(bool reachable, const char* rule, const char* why);
// Copies to or from user memory on behalf of the kernel itself (the I/O manager's copy of a
// buffered request's output), whatever the current view.
void KernelCopy(void* destination, const void* source, SIZE_T length);
// Memory for records the I/O manager hands out (IRPs): guarded like pool, and after release kept
// unreachable for a while, so that a late touch is reported (rule IRP_STATE).
// ReleaseGuarded is false for memory that is not guarded (guards off, or no mapping could be had):
// the caller frees it with free() when it is done with it.
void* AllocateGuarded(SIZE_T size);
bool ReleaseGuarded(void* memory);

// The simulated 32-bit bus address space as the device sees it. An access to a page that is not
// mapped for DMA is recorded as a fault (rule DMA_FAULT) and returns false.
bool BusRead(ULONG busAddress, void* destination, ULONG length);
bool BusWrite(ULONG busAddress, const void* source, ULONG length);

// A device's register window (BAR). The model, or a scripted window in tests, implements it;
// READ_REGISTER_ULONG/WRITE_REGISTER_ULONG on an address returned by MmMapIoSpace reach it
// synchronously, one 32-bit word at a time.
class RegisterWindow {
public:
    virtual ~RegisterWindow() = default;
    virtual ULONG Read32(ULONG offset) = 0;
    virtual void Write32(ULONG offset, ULONG value) = 0;
};
// Attach a window at a physical address range (the fake PCI bus does this for each BAR).
void AttachRegisterWindow(ULONGLONG physicalAddress, ULONG length, RegisterWindow* window);
void DetachRegisterWindow(ULONGLONG physicalAddress);

// ---------------------------------------------------------------------------------------------
// Module life: a Kernel scope boots every module in order (mm, ke, io) and shuts them down in
// reverse. The thread that creates it becomes the first emulated thread: a user thread of the
// default test process (64-bit), at PASSIVE_LEVEL.
struct Options {
    ULONG seed = 1;                           // scheduler seed (0: no preemption at all)
    ULONGLONG timeBudget100ns = 600ull * 10000000ull;  // virtual time a test may use
    USHORT wdmVersion = 0x0600;               // highest WDM version IoIsWdmVersionAvailable admits
    // Pool and IRPs on guarded pages with a quarantine, paged pool trimmed at DISPATCH_LEVEL, user
    // memory closed outside its program's context. A system call or two per allocation: a
    // benchmark of the driver's own cost turns them off, as Driver Verifier is off in the field.
    bool memoryGuards = true;
    // With AddressSanitizer: freed pool and IRPs in the quarantine and lookaside entries in a
    // list's cache are poisoned instead of closed, so that a touch is AddressSanitizer's report
    // rather than the verifier's (the same faults found, each ending the run). Closing a page
    // costs a TLB flush; a fuzzing run, where any report ends the run, turns this on. Tests that
    // expect the verifier's report of such a touch leave it off.
    bool poisonFreedMemory = false;
};

class Kernel {
public:
    explicit Kernel(const Options& options = Options());
    ~Kernel();
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;
    const Options& options() const { return options_; }
private:
    Options options_;
};

const Options& CurrentOptions();

// Module entry points called by Kernel (each module implements its pair).
namespace mm { void Boot(const Options&); void Shutdown(); }
namespace ke { void Boot(const Options&); void Shutdown(); }
namespace io { void Boot(const Options&); void Shutdown(); }

}  // namespace hk
