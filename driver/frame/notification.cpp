// Bus event notification registration: per process, a bus-reset event (set by the bus-reset
// deferred call) and a bus-ready event (set by the bus management thread once a reset has been
// handled). Records come from the controller's ZOBE lookaside list and are kept in registration
// order under the notification lock, which is taken at DISPATCH_LEVEL by the bus-reset call; no
// other lock is taken under it, and objects are dereferenced only after it is released.
#include "core/controller.h"
#include "core/hooks.h"
#include "user_control.h"

namespace {

BusNotificationRecord* FindLocked(OhciController* controller, PEPROCESS process) {
    for (PLIST_ENTRY entry = controller->NotificationList.Flink; entry != &controller->NotificationList;
         entry = entry->Flink) {
        auto* record = CONTAINING_RECORD(entry, BusNotificationRecord, Link);
        if (record->Process == process) return record;
    }
    return nullptr;
}

PKEVENT* EventOfKind(BusNotificationRecord* record, ULONG kind) {
    return kind == kBusResetNotification ? &record->ResetEvent : &record->ReadyEvent;
}

// Releases what an unlinked record holds, and the record.
void FreeNotification(OhciController* controller, BusNotificationRecord* record) {
    if (record->ResetEvent != nullptr) ObDereferenceObject(record->ResetEvent);
    if (record->ReadyEvent != nullptr) ObDereferenceObject(record->ReadyEvent);
    // The process stays referenced while its record exists, so a new process at the same address
    // cannot inherit the registration.
    ObDereferenceObject(record->Process);
    FreeToLookaside(&controller->NotificationBlocks, record);
}

// The process of the index-th record, referenced; null past the end.
PEPROCESS ReferenceProcessAt(OhciController* controller, ULONG index) {
    PEPROCESS process = nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&controller->NotificationLock, &irql);
    ULONG at = 0;
    for (PLIST_ENTRY entry = controller->NotificationList.Flink; entry != &controller->NotificationList;
         entry = entry->Flink, ++at) {
        if (at == index) {
            process = CONTAINING_RECORD(entry, BusNotificationRecord, Link)->Process;
            ObReferenceObject(process);
            break;
        }
    }
    KeReleaseSpinLock(&controller->NotificationLock, irql);
    return process;
}

bool ProcessEnded(PEPROCESS process) {
    LARGE_INTEGER now;
    now.QuadPart = 0;
    return KeWaitForSingleObject(process, Executive, KernelMode, FALSE, &now) == STATUS_SUCCESS;
}

}  // namespace

void RemoveEndedProcessNotifications(OhciController* controller) {
    ULONG index = 0;
    for (;;) {
        PEPROCESS process = ReferenceProcessAt(controller, index);
        if (process == nullptr) return;
        if (ProcessEnded(process))
            RemoveProcessNotifications(controller, process);
        else
            ++index;
        ObDereferenceObject(process);
    }
}

NTSTATUS RegisterBusNotification(OhciController* controller, HANDLE handle, ULONG kind) {
    PKEVENT event = nullptr;
    if (handle != nullptr) {
        PVOID object = nullptr;
        NTSTATUS status =
            ObReferenceObjectByHandle(handle, kUserEventAccess, *ExEventObjectType, UserMode, &object, nullptr);
        if (!NT_SUCCESS(status) || object == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        event = static_cast<PKEVENT>(object);
    }
    RemoveEndedProcessNotifications(controller);
    PEPROCESS process = PsGetCurrentProcess();
    // Taken before the lock: the lookaside list is not touched under it.
    auto* fresh = static_cast<BusNotificationRecord*>(
        event != nullptr ? AllocateFromLookaside(&controller->NotificationBlocks) : nullptr);

    PKEVENT released = nullptr;
    BusNotificationRecord* emptied = nullptr;
    bool used = false;
    KIRQL irql;
    KeAcquireSpinLock(&controller->NotificationLock, &irql);
    BusNotificationRecord* record = FindLocked(controller, process);
    if (record != nullptr) {
        PKEVENT* slot = EventOfKind(record, kind);
        released = *slot;
        *slot = event;
        if (record->ResetEvent == nullptr && record->ReadyEvent == nullptr) {
            RemoveEntryList(&record->Link);
            emptied = record;
        }
    } else if (event != nullptr && fresh != nullptr) {
        fresh->Process = process;
        *EventOfKind(fresh, kind) = event;
        InsertTailList(&controller->NotificationList, &fresh->Link);
        used = true;
    }
    KeReleaseSpinLock(&controller->NotificationLock, irql);

    if (used) ObReferenceObject(process);
    if (!used && fresh != nullptr) FreeToLookaside(&controller->NotificationBlocks, fresh);
    if (released != nullptr) ObDereferenceObject(released);
    if (emptied != nullptr) FreeNotification(controller, emptied);
    if (record == nullptr && event != nullptr && !used) {
        ObDereferenceObject(event);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

void RemoveProcessNotifications(OhciController* controller, PEPROCESS process) {
    KIRQL irql;
    KeAcquireSpinLock(&controller->NotificationLock, &irql);
    BusNotificationRecord* record = FindLocked(controller, process);
    if (record != nullptr) RemoveEntryList(&record->Link);
    KeReleaseSpinLock(&controller->NotificationLock, irql);
    if (record != nullptr) FreeNotification(controller, record);
}

void RemoveAllNotifications(OhciController* controller) {
    for (;;) {
        KIRQL irql;
        KeAcquireSpinLock(&controller->NotificationLock, &irql);
        BusNotificationRecord* record = nullptr;
        if (!IsListEmpty(&controller->NotificationList))
            record = CONTAINING_RECORD(RemoveHeadList(&controller->NotificationList), BusNotificationRecord, Link);
        KeReleaseSpinLock(&controller->NotificationLock, irql);
        if (record == nullptr) return;
        FreeNotification(controller, record);
    }
}
