// Host kernel: WDM declarations of the ke domain (see hk_core.h for the split): IRQL, spin locks,
// dispatcher objects (events, mutexes, semaphores, timers, threads) and waits, DPCs, the clock,
// interrupt objects, system threads and work items.
//
// The records are complete so that driver code can embed them in its own structures, as it does on
// Windows. Fields named Host* belong to the host kernel's bookkeeping; driver code never touches
// any field of these records directly.
#pragma once

#include "wdm_base.h"

// ---------------------------------------------------------------------------------------------
// Enumerations

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;
typedef enum _TIMER_TYPE { NotificationTimer, SynchronizationTimer } TIMER_TYPE;
typedef enum _WAIT_TYPE { WaitAll, WaitAny, WaitNotification, WaitDequeue } WAIT_TYPE;
typedef enum _KINTERRUPT_MODE { LevelSensitive, Latched } KINTERRUPT_MODE;
typedef enum _KDPC_IMPORTANCE { LowImportance, MediumImportance, HighImportance, MediumHighImportance } KDPC_IMPORTANCE;

typedef enum _KWAIT_REASON {
    Executive,
    FreePage,
    PageIn,
    PoolAllocation,
    DelayExecution,
    Suspended,
    UserRequest,
    WrExecutive,
    WrFreePage,
    WrPageIn,
    WrPoolAllocation,
    WrDelayExecution,
    WrSuspended,
    WrUserRequest,
    WrSpare0,
    WrQueue,
    WrLpcReceive,
    WrLpcReply,
    WrVirtualMemory,
    WrPageOut,
    WrRendezvous,
    WrKeyedEvent,
    WrTerminated,
    WrProcessInSwap,
    WrCpuRateControl,
    WrCalloutStack,
    WrKernel,
    WrResource,
    WrPushLock,
    WrMutex,
    WrQuantumEnd,
    WrDispatchInt,
    WrPreempted,
    WrYieldExecution,
    WrFastMutex,
    WrGuardedMutex,
    WrRundown,
    MaximumWaitReason
} KWAIT_REASON;

typedef enum _WORK_QUEUE_TYPE {
    CriticalWorkQueue,
    DelayedWorkQueue,
    HyperCriticalWorkQueue,
    MaximumWorkQueue
} WORK_QUEUE_TYPE;

// Dispatcher object kinds (DISPATCHER_HEADER.Type).
typedef enum _KOBJECTS {
    EventNotificationObject = 0,
    EventSynchronizationObject = 1,
    MutantObject = 2,
    ProcessObject = 3,
    QueueObject = 4,
    SemaphoreObject = 5,
    ThreadObject = 6,
    GateObject = 7,
    TimerNotificationObject = 8,
    TimerSynchronizationObject = 9,
    DpcObject = 19,
    InterruptObject = 22,
} KOBJECTS;

#define THREAD_WAIT_OBJECTS 3
#define MAXIMUM_WAIT_OBJECTS 64
#define MUTANT_INCREMENT 1
#define EVENT_INCREMENT 1
#define IO_NO_INCREMENT 0
#define SEMAPHORE_INCREMENT 1
#define LOW_PRIORITY 0
#define LOW_REALTIME_PRIORITY 16
#define HIGH_PRIORITY 31
#define MAXIMUM_PRIORITY 32
#define THREAD_ALL_ACCESS 0x001FFFFFu
#define SYNCHRONIZE 0x00100000u
#define MAXIMUM_WAIT_OBJECTS_EXCEEDED 0x0000000Cu
#define IRQL_NOT_LESS_OR_EQUAL 0x0000000Au
#define DRIVER_IRQL_NOT_LESS_OR_EQUAL 0x000000D1u

// ---------------------------------------------------------------------------------------------
// Dispatcher objects

typedef struct _DISPATCHER_HEADER {
    UCHAR Type;        // KOBJECTS
    UCHAR Absolute;
    UCHAR Size;
    UCHAR Inserted;    // timers: set and waiting for their due time
    LONG SignalState;  // > 0 signalled (events, timers, threads); count (semaphores); 1 - depth (mutexes)
    LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER, *PDISPATCHER_HEADER;

struct _KEVENT {
    DISPATCHER_HEADER Header;
};

struct _KMUTANT {
    DISPATCHER_HEADER Header;
    LIST_ENTRY MutantListEntry;
    PKTHREAD OwnerThread;
    BOOLEAN Abandoned;
    UCHAR ApcDisable;
};

struct _KSEMAPHORE {
    DISPATCHER_HEADER Header;
    LONG Limit;
};

typedef VOID KDEFERRED_ROUTINE(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);
typedef KDEFERRED_ROUTINE* PKDEFERRED_ROUTINE;

struct _KDPC {
    UCHAR Type;
    UCHAR Importance;
    volatile USHORT Number;
    LIST_ENTRY DpcListEntry;
    PKDEFERRED_ROUTINE DeferredRoutine;
    PVOID DeferredContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
    volatile PVOID DpcData;  // non-null while queued
};

struct _KTIMER {
    DISPATCHER_HEADER Header;
    ULARGE_INTEGER DueTime;  // virtual time of expiry while set
    LIST_ENTRY TimerListEntry;
    PKDPC Dpc;
    ULONG Processor;
    LONG Period;             // milliseconds, 0 for a one-shot timer
    ULONGLONG HostSequence;  // orders timers due at the same time
};

struct _KWAIT_BLOCK {
    LIST_ENTRY WaitListEntry;
    PKTHREAD Thread;
    PVOID Object;
    struct _KWAIT_BLOCK* NextWaitBlock;
    USHORT WaitKey;
    UCHAR WaitType;
    UCHAR BlockState;
};

// A thread is a dispatcher object signalled when it ends. Everything else about it lives in the
// host kernel's own thread record.
struct _KTHREAD {
    DISPATCHER_HEADER Header;
    PVOID HostThread;
};

typedef struct _CLIENT_ID {
    HANDLE UniqueProcess;
    HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

// ---------------------------------------------------------------------------------------------
// Interrupt objects

typedef BOOLEAN KSERVICE_ROUTINE(PKINTERRUPT Interrupt, PVOID ServiceContext);
typedef KSERVICE_ROUTINE* PKSERVICE_ROUTINE;
typedef BOOLEAN KSYNCHRONIZE_ROUTINE(PVOID SynchronizeContext);
typedef KSYNCHRONIZE_ROUTINE* PKSYNCHRONIZE_ROUTINE;

struct _KINTERRUPT {
    USHORT Type;
    USHORT Size;
    LIST_ENTRY InterruptListEntry;  // on its vector, in connection order
    PKSERVICE_ROUTINE ServiceRoutine;
    PVOID ServiceContext;
    KSPIN_LOCK SpinLock;            // used when the connection gives no lock of its own
    PKSPIN_LOCK ActualLock;
    ULONG Vector;
    KIRQL Irql;
    KIRQL SynchronizeIrql;
    BOOLEAN ShareVector;
    BOOLEAN FloatingSave;
    KINTERRUPT_MODE Mode;
    KAFFINITY Affinity;
    ULONG ServiceCount;             // deliveries this routine claimed
};

// ---------------------------------------------------------------------------------------------
// Work items and system threads

typedef VOID IO_WORKITEM_ROUTINE(PDEVICE_OBJECT DeviceObject, PVOID Context);
typedef IO_WORKITEM_ROUTINE* PIO_WORKITEM_ROUTINE;

struct _IO_WORKITEM {
    LIST_ENTRY List;
    PDEVICE_OBJECT DeviceObject;
    PIO_WORKITEM_ROUTINE Routine;
    PVOID Context;
    WORK_QUEUE_TYPE QueueType;
    BOOLEAN Queued;
    BOOLEAN Running;
};

typedef VOID KSTART_ROUTINE(PVOID StartContext);
typedef KSTART_ROUTINE* PKSTART_ROUTINE;

// ---------------------------------------------------------------------------------------------
// Routines

extern "C" {

// IRQL
KIRQL KeGetCurrentIrql(void);
void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
void KeLowerIrql(KIRQL NewIrql);
KIRQL KeRaiseIrqlToDpcLevel(void);
// Pageable code announces itself with PAGED_CODE(): run above APC_LEVEL it could fault on its own
// page, which the host reports (rule IRQL) whether or not the page happens to be resident.
void KxHostPagedCode(const char* function);
#define PAGED_CODE() KxHostPagedCode(__func__)

// Spin locks
void KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
void KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql);
void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);
BOOLEAN KeTryToAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
BOOLEAN KeTestSpinLock(PKSPIN_LOCK SpinLock);
void IoAcquireCancelSpinLock(PKIRQL Irql);
void IoReleaseCancelSpinLock(KIRQL Irql);

// Events
void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
void KeClearEvent(PRKEVENT Event);
LONG KeResetEvent(PRKEVENT Event);
LONG KeReadStateEvent(PRKEVENT Event);
LONG KePulseEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);

// Mutexes (recursive per owner thread)
void KeInitializeMutex(PRKMUTEX Mutex, ULONG Level);
LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait);
LONG KeReadStateMutex(PRKMUTEX Mutex);

// Semaphores
void KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit);
LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait);
LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore);

// Waits
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                               PLARGE_INTEGER Timeout);
NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                  KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                  PKWAIT_BLOCK WaitBlockArray);
#define KeWaitForMutexObject KeWaitForSingleObject
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval);

// DPCs
void KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc);
void KeSetImportanceDpc(PRKDPC Dpc, KDPC_IMPORTANCE Importance);
void KeSetTargetProcessorDpc(PRKDPC Dpc, CHAR Number);
void KeFlushQueuedDpcs(void);

// Timers
void KeInitializeTimer(PKTIMER Timer);
void KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type);
BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc);
BOOLEAN KeCancelTimer(PKTIMER Timer);
BOOLEAN KeReadStateTimer(PKTIMER Timer);

// Clock
void KeQueryTickCount(PLARGE_INTEGER CurrentCount);
ULONG KeQueryTimeIncrement(void);
LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency);
void KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
ULONGLONG KeQueryInterruptTime(void);
ULONGLONG KeQueryUnbiasedInterruptTime(void);
void KeStallExecutionProcessor(ULONG MicroSeconds);

// Processors (one)
ULONG KeGetCurrentProcessorNumber(void);
ULONG KeQueryActiveProcessorCount(KAFFINITY* ActiveProcessors);

// Interrupts
NTSTATUS IoConnectInterrupt(PKINTERRUPT* InterruptObject, PKSERVICE_ROUTINE ServiceRoutine, PVOID ServiceContext,
                            PKSPIN_LOCK SpinLock, ULONG Vector, KIRQL Irql, KIRQL SynchronizeIrql,
                            KINTERRUPT_MODE InterruptMode, BOOLEAN ShareVector, KAFFINITY ProcessorEnableMask,
                            BOOLEAN FloatingSave);
void IoDisconnectInterrupt(PKINTERRUPT InterruptObject);
BOOLEAN KeSynchronizeExecution(PKINTERRUPT Interrupt, PKSYNCHRONIZE_ROUTINE SynchronizeRoutine,
                               PVOID SynchronizeContext);
KIRQL KeAcquireInterruptSpinLock(PKINTERRUPT Interrupt);
void KeReleaseInterruptSpinLock(PKINTERRUPT Interrupt, KIRQL OldIrql);

// Threads
NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                              HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext);
NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus);
PKTHREAD KeGetCurrentThread(void);
PETHREAD PsGetCurrentThread(void);
HANDLE PsGetCurrentThreadId(void);
KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority);
KPRIORITY KeQueryPriorityThread(PKTHREAD Thread);

// Work items
PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject);
void IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                     PVOID Context);
void IoFreeWorkItem(PIO_WORKITEM IoWorkItem);

// Doubly and singly linked lists guarded by a spin lock (S-lists are in wdm_mm.h)
PLIST_ENTRY ExInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock);
PLIST_ENTRY ExInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock);
PLIST_ENTRY ExInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock);
PSINGLE_LIST_ENTRY ExInterlockedPushEntryList(PSINGLE_LIST_ENTRY ListHead, PSINGLE_LIST_ENTRY ListEntry,
                                              PKSPIN_LOCK Lock);
PSINGLE_LIST_ENTRY ExInterlockedPopEntryList(PSINGLE_LIST_ENTRY ListHead, PKSPIN_LOCK Lock);

}  // extern "C"
