// Host kernel ke: the interface tests, tools and the other host modules use beyond hk_core.h —
// emulated threads, running virtual time, alerts, and views of the scheduler and interrupt lines
// for reports. Driver code never includes this header.
#pragma once

#include <functional>
#include <string>

#include "hk_core.h"

namespace hk {

// ---- Emulated threads
//
// A thread of the virtual uniprocessor that runs `body` at PASSIVE_LEVEL in `process` (nullptr:
// the default test process, the one the booting thread belongs to). It is ready at once and runs
// when the scheduler gives it the processor. The thread object is signalled when `body` returns,
// so a driver or test can wait on it; it stays valid until the kernel shuts down.
PKTHREAD StartThread(const char* name, PEPROCESS process, std::function<void()> body,
                     KPRIORITY priority = 8);
// The calling emulated thread waits (virtual time runs) until `thread` has ended.
void JoinThread(PKTHREAD thread);
// The caller will not name `thread` again: once it has ended, its object and record go (a long
// run, a fuzzer's, starts threads without end).
void ReleaseThread(PKTHREAD thread);
// Alerts a thread: its current alertable wait (or its next one) returns STATUS_ALERTED.
void AlertThread(PKTHREAD thread);
// The calling thread sleeps `ticks100ns` of virtual time, letting everything else run.
void RunFor(ULONGLONG ticks100ns);
// The calling thread lets every other thread, DPC and interrupt run until nothing is ready and
// nothing is due at the current virtual time; virtual time does not advance.
void RunUntilIdle();

enum class ThreadState { Ready, Running, Waiting, Terminated };
ThreadState GetThreadState(PKTHREAD thread);
const char* ThreadName(PKTHREAD thread);
void SetThreadName(PKTHREAD thread, const char* name);
// One line per emulated thread (name, state, what it waits on, IRQL), as the deadlock report
// prints them.
std::string DescribeThreads();

// ---- Interrupt lines
// Whether the verifier masked a line after an interrupt storm.
bool IsInterruptLineMasked(ULONG vector);
bool IsInterruptLineAsserted(ULONG vector);
// Deliveries of the line so far (each call of its routine chain).
ULONGLONG InterruptDeliveries(ULONG vector);

// ---- DPCs and timers
ULONG QueuedDpcCount();
// The virtual time of the next deadline (timer, timed wait, clock event), or ~0 when none.
ULONGLONG NextDeadline();

namespace ke {
// Virtual time of the boot in KeQuerySystemTime units (100 ns since 1601): 2024-01-01 00:00 UTC.
inline constexpr ULONGLONG kBootSystemTime = 133485408000000000ull;
inline constexpr ULONG kTimeIncrement = 156250;         // 15.625 ms per clock tick
inline constexpr ULONGLONG kPerformanceFrequency = 10000000ull;
inline constexpr ULONG kStormDeliveries = 1000;         // unclaimed deliveries of an asserted line
}  // namespace ke

}  // namespace hk
