#include "client.h"

#include "core/controller.h"
#include "core/hooks.h"
#include "ohci/list_utilities.h"
#include "ohci/pool_tags.h"
#include "user_control.h"

namespace {

constexpr ULONG kThreadAccess = 0x1F03FF;
constexpr LONGLONG kOneSecondRelative = -10000000LL;
constexpr LONGLONG kTenMillisecondsRelative = -100000LL;
constexpr ULONG kEndWaits = 100;
constexpr LONGLONG kWatchIntervalRelative = -3000000LL;  // 300 ms

ClientRecord* FromLink(PSINGLE_LIST_ENTRY entry) { return CONTAINING_RECORD(entry, ClientRecord, Next); }

// Finds the record of a process (ClientListLock held).
ClientRecord* FindLocked(OhciController* controller, PEPROCESS process, bool registered) {
    for (PSINGLE_LIST_ENTRY entry = controller->ClientList.Next; entry != nullptr; entry = entry->Next) {
        ClientRecord* record = FromLink(entry);
        if (record->Process == process && (record->IsRegistered != 0) == registered) return record;
    }
    return nullptr;
}

void AppendLocked(OhciController* controller, ClientRecord* record) {
    PSINGLE_LIST_ENTRY tail = &controller->ClientList;
    while (tail->Next != nullptr) tail = tail->Next;
    record->Next.Next = nullptr;
    tail->Next = &record->Next;
}

bool Unlink(OhciController* controller, ClientRecord* record) {
    KIRQL irql;
    KeAcquireSpinLock(&controller->ClientListLock, &irql);
    bool listed = RemoveSingleListEntry(&controller->ClientList, &record->Next) != nullptr;
    KeReleaseSpinLock(&controller->ClientListLock, irql);
    return listed;
}

void InitializeRecord(OhciController* controller, ClientRecord* record) {
    record->Controller = controller;
    record->Process = PsGetCurrentProcess();
    record->RefCount = 1;
    KeInitializeEvent(&record->WorkEvent1, NotificationEvent, FALSE);
    KeInitializeEvent(&record->WorkEvent2, NotificationEvent, FALSE);
    record->WaitObjects[0] = &record->WorkEvent1;
    record->WaitObjects[1] = &record->WorkEvent2;
    KeInitializeEvent(&record->FinishedEvent, NotificationEvent, FALSE);
    InitializeListHead(&record->CompletionList);
    KeInitializeSpinLock(&record->CompletionLock);
    InitializeListHead(&record->IsoRxWorkList);
    KeInitializeSpinLock(&record->IsoRxWorkLock);
    InitializeListHead(&record->DeferredList);
    KeInitializeSpinLock(&record->DeferredLock);
    InitializeListHead(&record->IsoTxWorkList);
    KeInitializeSpinLock(&record->IsoTxWorkLock);
    InitializeListHead(&record->RangeDeliveryList);
    KeInitializeSpinLock(&record->RangeDeliveryLock);
    KeInitializeMutex(&record->Mutex, 0);
}

void AskToEnd(ClientRecord* record) {
    record->Terminate = 1;
    KeMemoryBarrier();
    KeSetEvent(&record->WorkEvent1, IO_NO_INCREMENT, FALSE);
    KeSetEvent(&record->WorkEvent2, IO_NO_INCREMENT, FALSE);
}

// Frees a record once its thread has really ended: its code and stack may still be in use until
// the thread object is signalled, so the wait is unbounded.
// A watch thread that frees its own record cannot wait for itself; it ends right after.
void FreeRecord(ClientRecord* record) {
    if (record->Thread != nullptr) {
        if (!record->FreedByOwnThread)
            KeWaitForSingleObject(record->Thread, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(record->Thread);
    }
    if (record->UserEvent != nullptr) ObDereferenceObject(record->UserEvent);
    if (record->WatchedProcess != nullptr) ObDereferenceObject(record->WatchedProcess);
    ReturnScratchStream(record->Controller, record->ScratchStream);
    FreeTaggedPool(record, kTagClientRecord);
}

NTSTATUS WaitForWork(ClientRecord* record) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = kOneSecondRelative;
    return KeWaitForMultipleObjects(2, record->WaitObjects, WaitAny, Executive, KernelMode, FALSE, &timeout, nullptr);
}

// One pass of the worker; false when the worker must stop.
bool ServeClient(ClientRecord* record, NTSTATUS waitStatus) {
    KeWaitForSingleObject(&record->Mutex, Executive, KernelMode, FALSE, nullptr);
    DeliverCompletions(record);
    KeReleaseMutex(&record->Mutex, FALSE);
    // Cleared under the list lock: a completion queued after the check finds its event set.
    KIRQL irql;
    KeAcquireSpinLock(&record->CompletionLock, &irql);
    if (waitStatus != STATUS_TIMEOUT && IsListEmpty(&record->CompletionList)) {
        KeClearEvent(&record->WorkEvent1);
        KeClearEvent(&record->WorkEvent2);
    }
    KeReleaseSpinLock(&record->CompletionLock, irql);
    bool stop = false;
    ServeIsoRxWork(record, &stop);
    if (!stop) ServeIsoTxWork(record, &stop);
    if (!stop) DeliverRangeRequests(record);
    return !stop;
}

void ClientWorker(PVOID context) {
    auto* record = static_cast<ClientRecord*>(context);
    NTSTATUS status = WaitForWork(record);
    while (!record->Terminate) {
        if (!ServeClient(record, status)) break;
        status = WaitForWork(record);
    }
    record->Finished = 1;
    KeSetEvent(&record->FinishedEvent, IO_NO_INCREMENT, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS CreateWorkerClient(OhciController* controller) {
    auto* record = static_cast<ClientRecord*>(AllocateZeroedPool(sizeof(ClientRecord), kTagClientRecord));
    if (record == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    InitializeRecord(controller, record);
    record->ScratchStream = AcquireScratchStream(controller);
    NTSTATUS status = record->ScratchStream != nullptr ? StartSystemThread(ClientWorker, record, &record->Thread)
                                                       : STATUS_INSUFFICIENT_RESOURCES;
    if (!NT_SUCCESS(status)) {
        FreeRecord(record);
        return status;
    }
    KIRQL irql;
    KeAcquireSpinLock(&controller->ClientListLock, &irql);
    AppendLocked(controller, record);
    KeReleaseSpinLock(&controller->ClientListLock, irql);
    InterlockedIncrement(&controller->ClientCount);
    return STATUS_SUCCESS;
}

// Waits for the record's thread to report its end: 100 waits of 10 ms, waking a watch thread
// again after each. False when the time ran out.
bool WaitForFinish(ClientRecord* record) {
    LARGE_INTEGER interval;
    interval.QuadPart = kTenMillisecondsRelative;
    for (ULONG wait = 0; wait < kEndWaits; ++wait) {
        if (record->Finished) return true;
        KeWaitForSingleObject(&record->FinishedEvent, Executive, KernelMode, FALSE, &interval);
        if (record->UserEvent != nullptr) KeSetEvent(record->UserEvent, IO_NO_INCREMENT, FALSE);
    }
    return record->Finished != 0;
}

// Watch thread of a registered client (WatchTerminateEvent): waits for the program's termination
// event, or for the end of its process, in 300 ms steps so that teardown can end it.
void WatchTerminateEvent(PVOID context) {
    auto* record = static_cast<ClientRecord*>(context);
    for (;;) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = kWatchIntervalRelative;
        NTSTATUS status = KeWaitForMultipleObjects(2, record->WaitObjects, WaitAny, Executive, KernelMode, FALSE,
                                                   &timeout, nullptr);
        if (status != STATUS_TIMEOUT) break;
        if (record->Terminate) {
            record->Finished = 1;
            KeSetEvent(&record->FinishedEvent, IO_NO_INCREMENT, FALSE);
            PsTerminateSystemThread(STATUS_SUCCESS);
            return;
        }
    }
    record->Finished = 1;
    KeMemoryBarrier();
    if (record->Terminate) {
        // Teardown owns the record now.
        KeSetEvent(&record->FinishedEvent, IO_NO_INCREMENT, FALSE);
        PsTerminateSystemThread(STATUS_SUCCESS);
        return;
    }
    OhciController* controller = record->Controller;
    if (Unlink(controller, record)) {
        // The process's requests are cancelled now; the record itself goes with its last
        // reference (a packet of the process may still hold one).
        ReleaseClientResources(controller, record);
        if (InterlockedDecrement(&record->RefCount) == 0) {
            record->FreedByOwnThread = 1;
            ReleaseClient(record);
        }
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// Undoes a registration that could not be completed (the record is not listed).
void AbandonRegistration(ClientRecord* record, bool threadStarted) {
    AskToEnd(record);
    if (record->UserEvent != nullptr) KeSetEvent(record->UserEvent, IO_NO_INCREMENT, FALSE);
    if (threadStarted) KeWaitForSingleObject(&record->FinishedEvent, Executive, KernelMode, FALSE, nullptr);
    FreeRecord(record);
}

void EndClient(OhciController* controller, ClientRecord* record) {
    AskToEnd(record);
    if (record->UserEvent != nullptr) KeSetEvent(record->UserEvent, IO_NO_INCREMENT, FALSE);
    InterlockedDecrement(&controller->ClientCount);
    if (WaitForFinish(record)) {
        ReleaseClientResources(controller, record);
    } else {
        DbgPrint("Count over!!!\n");
    }
    if (!record->IsRegistered) {
        FreeRecord(record);
    } else if (InterlockedDecrement(&record->RefCount) == 0) {
        ReleaseClient(record);
    }
}

}  // namespace

NTSTATUS StartSystemThread(PKSTART_ROUTINE routine, PVOID context, PVOID* threadObject) {
    *threadObject = nullptr;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle = nullptr;
    NTSTATUS status = PsCreateSystemThread(&handle, kThreadAccess, &attributes, nullptr, nullptr, routine, context);
    if (!NT_SUCCESS(status)) return status;
    status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, threadObject, nullptr);
    ZwClose(handle);
    return status;
}

NTSTATUS AcquireWorkerClient(OhciController* controller) {
    KIRQL irql;
    KeAcquireSpinLock(&controller->ClientListLock, &irql);
    ClientRecord* record = FindLocked(controller, PsGetCurrentProcess(), false);
    if (record != nullptr) InterlockedIncrement(&record->RefCount);
    KeReleaseSpinLock(&controller->ClientListLock, irql);
    return record != nullptr ? STATUS_SUCCESS : CreateWorkerClient(controller);
}

void ReleaseWorkerClient(OhciController* controller) {
    KIRQL irql;
    KeAcquireSpinLock(&controller->ClientListLock, &irql);
    ClientRecord* record = FindLocked(controller, PsGetCurrentProcess(), false);
    bool last = record != nullptr && InterlockedDecrement(&record->RefCount) == 0;
    if (last) RemoveSingleListEntry(&controller->ClientList, &record->Next);
    KeReleaseSpinLock(&controller->ClientListLock, irql);
    if (!last) return;
    AskToEnd(record);
    InterlockedDecrement(&controller->ClientCount);
    KeWaitForSingleObject(&record->FinishedEvent, Executive, KernelMode, FALSE, nullptr);
    ReleaseClientResources(controller, record);
    FreeRecord(record);
}

ClientRecord* FindDriverClient(OhciController* controller) {
    KIRQL irql;
    KeAcquireSpinLock(&controller->ClientListLock, &irql);
    ClientRecord* record = FindLocked(controller, controller->DriverProcess, false);
    KeReleaseSpinLock(&controller->ClientListLock, irql);
    return record;
}

void ReleaseClientResources(OhciController* controller, ClientRecord* client) {
    CancelProcessPackets(controller, client->Process);
    CancelClientCompletions(client);
    RemoveProcessNotifications(controller, client->Process);
    CloseProcessStreams(controller, client->Process);
    ReleaseProcessRanges(controller, client->Process);
}

bool RegisterClient(OhciController* controller, const ControlRequest* request) {
    HANDLE handle = UserHandleAt(request->Input, request->Is32bit);
    // Referenced as an event with the access a program's event handle carries: any other object,
    // or a handle of another process, is refused.
    PVOID event = nullptr;
    NTSTATUS status =
        ObReferenceObjectByHandle(handle, kUserEventAccess, *ExEventObjectType, UserMode, &event, nullptr);
    if (!NT_SUCCESS(status) || event == nullptr) return false;
    auto* record = static_cast<ClientRecord*>(AllocateZeroedPool(sizeof(ClientRecord), kTagClientRecord));
    if (record == nullptr) {
        KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
        ObDereferenceObject(event);
        return false;
    }
    InitializeRecord(controller, record);
    record->UserEventHandle = handle;
    record->UserEvent = static_cast<PKEVENT>(event);
    record->IsRegistered = 1;
    record->WatchedProcess = record->Process;
    ObReferenceObject(record->WatchedProcess);
    record->WaitObjects[0] = record->UserEvent;
    record->WaitObjects[1] = record->WatchedProcess;
    // Listed before the watch thread starts: an event already set is then seen by a thread that
    // finds its record listed and releases the process's resources.
    KIRQL irql;
    KeAcquireSpinLock(&controller->ClientListLock, &irql);
    AppendLocked(controller, record);
    KeReleaseSpinLock(&controller->ClientListLock, irql);
    status = StartSystemThread(WatchTerminateEvent, record, &record->Thread);
    if (!NT_SUCCESS(status)) {
        if (Unlink(controller, record)) {
            AbandonRegistration(record, record->Thread != nullptr);
        }
        return false;
    }
    return true;
}

void ReleaseClient(ClientRecord* client) {
    ReleaseClientResources(client->Controller, client);
    Unlink(client->Controller, client);
    FreeRecord(client);
}

ClientRecord* ReferenceRegisteredClient(OhciController* controller, PEPROCESS process) {
    KIRQL irql;
    KeAcquireSpinLock(&controller->ClientListLock, &irql);
    ClientRecord* record = FindLocked(controller, process, true);
    if (record != nullptr && !record->Finished) {
        // Only a record that still has a reference may get another.
        LONG count = record->RefCount;
        while (count != 0) {
            LONG seen = InterlockedCompareExchange(&record->RefCount, count + 1, count);
            if (seen == count) break;
            count = seen;
        }
        if (count == 0) record = nullptr;
    } else {
        record = nullptr;
    }
    KeReleaseSpinLock(&controller->ClientListLock, irql);
    return record;
}

void DereferenceClient(ClientRecord* client) {
    if (InterlockedDecrement(&client->RefCount) == 0) ReleaseClient(client);
}

void EndAllClients(OhciController* controller) {
    for (;;) {
        KIRQL irql;
        KeAcquireSpinLock(&controller->ClientListLock, &irql);
        PSINGLE_LIST_ENTRY entry = PopEntryList(&controller->ClientList);
        KeReleaseSpinLock(&controller->ClientListLock, irql);
        if (entry == nullptr) break;
        EndClient(controller, FromLink(entry));
    }
    RemoveAllNotifications(controller);
}
