#include "async_packet.h"

#include "core/controller.h"
#include "ohci/list_utilities.h"

namespace {

AsyncPacket* FromLink(PLIST_ENTRY entry, PacketListKind kind) {
    return kind == kQueueList ? CONTAINING_RECORD(entry, AsyncPacket, QueueLink)
                              : CONTAINING_RECORD(entry, AsyncPacket, PendingLink);
}

void ClearListFlag(AsyncPacket* packet, PacketListKind kind) {
    packet->Flags &= ~(kind == kQueueList ? ULONG(kPacketOnQueue) : ULONG(kPacketOnPendingList));
}

// Cancels the packet (teardown) or ends it with a bus-reset status; its waiter, if any, wakes.
void EndPacket(AsyncPacket* packet, ULONG status) {
    KIRQL irql;
    KeAcquireSpinLock(&packet->Lock, &irql);
    if (status == 0) {
        packet->PacketStatus = 12;
    } else {
        packet->PacketStatus = status;
        packet->AckCode = 1;
        packet->Flags |= kPacketInFlush;
        packet->CompletionBits = kTxDone | kRxDone;
    }
    KeReleaseSpinLock(&packet->Lock, irql);
    KeSetEvent(&packet->DoneEvent, IO_NO_INCREMENT, FALSE);
}

}  // namespace

AsyncPacket* AllocatePacket(OhciController* controller) {
    auto* packet = static_cast<AsyncPacket*>(AllocateFromLookaside(&controller->PacketList));
    if (packet == nullptr) return nullptr;
    packet->Controller = controller;
    packet->References = 1;
    InitializeListHead(&packet->QueueLink);
    InitializeListHead(&packet->PendingLink);
    InitializeListHead(&packet->WaiterLink);
    KeInitializeEvent(&packet->DoneEvent, NotificationEvent, FALSE);
    KeInitializeSpinLock(&packet->Lock);
    return packet;
}

void ReleasePacket(AsyncPacket* packet) {
    if (InterlockedDecrement(&packet->References) != 0) return;
    OhciController* controller = packet->Controller;
    // Unlinked entries point at themselves, so removing them again is harmless.
    RemoveEntryList(&packet->QueueLink);
    RemoveEntryList(&packet->PendingLink);
    RemoveEntryList(&packet->WaiterLink);
    FreeToLookaside(&controller->PacketList, packet);
}

void FlushPacketList(OhciController* controller, PLIST_ENTRY list, PacketListKind kind, ULONG status) {
    UNREFERENCED_PARAMETER(controller);
    if (status != 0 && status != 1 && status != 12) return;
    while (!IsListEmpty(list)) {
        PLIST_ENTRY entry = RemoveHeadList(list);
        InitializeListHead(entry);
        AsyncPacket* packet = FromLink(entry, kind);
        ClearListFlag(packet, kind);
        if (!(packet->Flags & kPacketDelivered)) EndPacket(packet, status);
        ReleasePacket(packet);
    }
}

void FlushPendingRequests(OhciController* controller, ULONG requestStatus, ULONG responseStatus) {
    KIRQL irql;
    KeAcquireSpinLock(&controller->PendingLock, &irql);
    KeAcquireSpinLockAtDpcLevel(&controller->AtRequest.QueueLock);
    KeAcquireSpinLockAtDpcLevel(&controller->AtResponse.QueueLock);
    FlushPacketList(controller, &controller->PendingList, kPendingList, requestStatus);
    if (controller->AtRequest.Ready) {
        FlushPacketList(controller, &controller->AtRequest.InFlight, kQueueList, requestStatus);
        FlushPacketList(controller, &controller->AtRequest.Waiting, kQueueList, requestStatus);
    }
    if (controller->AtResponse.Ready) {
        FlushPacketList(controller, &controller->AtResponse.InFlight, kQueueList, responseStatus);
        FlushPacketList(controller, &controller->AtResponse.Waiting, kQueueList, responseStatus);
    }
    KeReleaseSpinLockFromDpcLevel(&controller->AtResponse.QueueLock);
    KeReleaseSpinLockFromDpcLevel(&controller->AtRequest.QueueLock);
    KeReleaseSpinLock(&controller->PendingLock, irql);
}

void FlushKernelWaiters(OhciController* controller, ULONG status) {
    KIRQL irql;
    KeAcquireSpinLock(&controller->KernelWaiterLock, &irql);
    while (!IsListEmpty(&controller->KernelWaiterList)) {
        PLIST_ENTRY entry = RemoveHeadList(&controller->KernelWaiterList);
        InitializeListHead(entry);
        AsyncPacket* packet = CONTAINING_RECORD(entry, AsyncPacket, WaiterLink);
        packet->PacketStatus = status;
        if (packet->KernelEvent != nullptr) KeSetEvent(packet->KernelEvent, IO_NO_INCREMENT, FALSE);
        ReleasePacket(packet);
    }
    KeReleaseSpinLock(&controller->KernelWaiterLock, irql);
}
