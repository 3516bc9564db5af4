// Client records: one per process that uses the driver. A worker client owns a client worker
// thread that delivers completions at passive level; the bus management thread creates the
// driver's own worker client (the driver client) for the system process.
#pragma once

#include "kxplatform.h"

struct OhciController;

struct ClientRecord {
    SINGLE_LIST_ENTRY Next;          // ClientList
    PEPROCESS Process;
    volatile LONG RefCount;
    KEVENT WorkEvent1;               // notification; set by the engines when they queue work
    KEVENT WorkEvent2;
    volatile UCHAR Terminate;
    volatile UCHAR Finished;
    LIST_ENTRY CompletionList;       // AsyncPacket.ClientLink: finished packets to deliver
    KSPIN_LOCK CompletionLock;
    LIST_ENTRY IsoRxWorkList;
    KSPIN_LOCK IsoRxWorkLock;
    LIST_ENTRY DeferredList;
    KSPIN_LOCK DeferredLock;
    LIST_ENTRY IsoTxWorkList;
    KSPIN_LOCK IsoTxWorkLock;
    LIST_ENTRY RangeDeliveryList;
    KSPIN_LOCK RangeDeliveryLock;
    PVOID Thread;                    // referenced thread object: the worker or the watch thread
    HANDLE UserEventHandle;
    PKEVENT UserEvent;               // registered client: the program's termination event
    OhciController* Controller;
    PVOID ScratchStream;
    KEVENT FinishedEvent;            // notification; set when the thread has ended
    KMUTEX Mutex;                    // held by the worker while it delivers completions
    UCHAR IsRegistered;
    PVOID WaitObjects[2];            // worker: the two work events; watch thread: the user event
                                     // and the process, for its wait
    PEPROCESS WatchedProcess;        // registered client: Process, referenced while the record lives
    UCHAR FreedByOwnThread;          // the watch thread releases its own record: no wait for it
};

// References or creates the worker client of the current process.
[[nodiscard]] NTSTATUS AcquireWorkerClient(OhciController* controller);
// Drops the current process's worker client reference; the last one ends its worker and
// releases the process's resources.
void ReleaseWorkerClient(OhciController* controller);
// The driver client (the worker client of the bus management thread's process), or null.
[[nodiscard]] ClientRecord* FindDriverClient(OhciController* controller);
// Releases what the record's process still holds with the controller.
void ReleaseClientResources(OhciController* controller, ClientRecord* client);
// Releases a registered client whose last reference has gone.
void ReleaseClient(ClientRecord* client);
// The registered client of a process with a reference taken, or null when it has none (or its
// last reference is already gone).
[[nodiscard]] ClientRecord* ReferenceRegisteredClient(OhciController* controller, PEPROCESS process);
// Drops a reference taken above; the last one releases the client.
void DereferenceClient(ClientRecord* client);
// Teardown: ends every remaining client record and bus notification registration.
void EndAllClients(OhciController* controller);

// Creates a system thread running `routine` and references its thread object.
[[nodiscard]] NTSTATUS StartSystemThread(PKSTART_ROUTINE routine, PVOID context, PVOID* threadObject);
