#include "user_async.h"

#include "async/async_packet.h"
#include "async/senders.h"
#include "client.h"
#include "core/controller.h"
#include "core/hooks.h"
#include "kx1394.h"
#include "user_control.h"

namespace {

constexpr ULONG kStatusLockFailed = 0xC000009Au;
constexpr NTSTATUS kStatusInternalError = NTSTATUS(0xC00000E5u);  // STATUS_INTERNAL_ERROR
constexpr ULONG kSpeedMapHeader = 8;
constexpr ULONG kSpeedMapRow = 64;

PVOID UserPointer(ULONGLONG address) { return reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(address)); }

// Writes the status word in the caller's own context, through a probed copy (used before any
// memory is locked: an address the caller does not own is simply not written).
void WriteStatusInCallerContext(ULONGLONG address, ULONG status) {
    (void)KxCopyToUser(UserPointer(address), &status, sizeof(status));
}

// The speed code from the local node to `node` in the SPEED_MAP image; node numbers are checked
// before they index it (the local number is 0xFF while a reset runs).
ULONG SpeedCodeTo(OhciController* controller, ULONG node) {
    ULONG local = controller->LocalNodeNumber;
    if (local >= kMaxNodes || node >= kMaxNodes || controller->SpeedMapImage == nullptr) return 0;
    return controller->SpeedMapImage[kSpeedMapHeader + local * kSpeedMapRow + node];
}

bool Locked(PMDL* mdl, PUCHAR* mapping, ULONGLONG address, ULONG bytes) {
    *mdl = nullptr;
    *mapping = nullptr;
    if (address == 0) return false;
    PMDL list = IoAllocateMdl(UserPointer(address), bytes, FALSE, FALSE, nullptr);
    if (list == nullptr) return false;
    if (!NT_SUCCESS(KxProbeAndLockPages(list, UserMode, IoWriteAccess))) {
        IoFreeMdl(list);
        return false;
    }
    *mdl = list;
    *mapping = static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(list, NormalPagePriority));
    return *mapping != nullptr;
}

// Locks and maps the result memory: the status word, the ack and rcode bytes and the data result.
bool LockResultMemory(AsyncPacket* packet, const AsyncRecord& record, ULONG kind) {
    const ULONG sizes[kResultCount] = {4, 1, 1, 0};
    for (ULONG i = 0; i < 3; ++i)
        if (!Locked(&packet->ResultMdl[i], &packet->ResultVa[i], record.Out[i], sizes[i])) return false;
    ULONG dataBytes = 0;
    if (kind == kAsyncLock) dataBytes = record.Length == 8 ? 8 : 4;
    if (kind == kAsyncRead) dataBytes = record.Length;
    packet->DataBytes = dataBytes;
    if (dataBytes == 0) return true;
    return Locked(&packet->ResultMdl[kResultData], &packet->ResultVa[kResultData], record.Data, dataBytes);
}

void ReleaseCallerClient(PVOID client) { DereferenceClient(static_cast<ClientRecord*>(client)); }

// The completion sink of user packets: the driver client's completion list (PendingLock may be
// held; the list lock is taken inside it).
bool QueueToClient(AsyncPacket* packet) {
    auto* client = static_cast<ClientRecord*>(packet->SinkContext);
    KIRQL irql;
    KeAcquireSpinLock(&client->CompletionLock, &irql);
    if (client->Terminate) {
        KeReleaseSpinLock(&client->CompletionLock, irql);
        return false;
    }
    InterlockedIncrement(&packet->References);
    InsertTailList(&client->CompletionList, &packet->ClientLink);
    PacketSet(packet, kPacketOnClientList);
    KeAcquireSpinLockAtDpcLevel(&packet->Lock);
    packet->DeliveryBits |= kDeliveryQueued;
    KeReleaseSpinLockFromDpcLevel(&packet->Lock);
    KeReleaseSpinLock(&client->CompletionLock, irql);
    KeSetEvent(&client->WorkEvent1, IO_NO_INCREMENT, FALSE);
    return true;
}

// The status word a finished packet reports. A transmission or response that failed is never
// reported as success: a time-out reads 11 and any other failure 2, with the ack and rcode
// telling which.
ULONG ReportedStatus(const AsyncPacket* packet) {
    ULONG status = packet->PacketStatus;
    if (status != kPacketOk) return status;
    if (packet->AckCode == kAckTimedOut) return kPacketTimedOut;
    if (packet->AckCode == async::kAckPending && !PacketHas(packet, kPacketResponseReceived)) return kPacketOk;
    return ClassifyOutcome(packet) < 0 ? kPacketError : kPacketOk;
}

void WriteData(AsyncPacket* packet) {
    PUCHAR data = packet->ResultVa[kResultData];
    if (data == nullptr || packet->DataBytes == 0) return;
    switch (packet->Tcode) {
    case async::kTcodeReadQuadlet: RtlCopyMemory(data, &packet->Header.Q[3], 4); break;
    case async::kTcodeReadBlock: RtlCopyMemory(data, packet->Payload, packet->DataBytes); break;
    case async::kTcodeLockRequest:
        if (packet->DataBytes == 8) {
            RtlCopyMemory(data, packet->Payload + 4, 4);
            RtlCopyMemory(data + 4, packet->Payload, 4);
        } else {
            RtlCopyMemory(data, packet->Payload, 4);
        }
        break;
    default: break;
    }
}

// Writes a finished packet's results through the locked memory. `atOnce`: the caller is still in
// its call (ack_pending is then reported as 0).
void WriteResults(AsyncPacket* packet, bool atOnce) {
    KIRQL irql;
    KeAcquireSpinLock(&packet->Lock, &irql);
    if (packet->AckCode == 0 && packet->PacketStatus == kPacketOk) {
        packet->AckCode = kAckNone;
        packet->PacketStatus = kPacketError;
    }
    packet->ResponseCode = PacketHas(packet, kPacketResponseReceived) ? async::Rcode(packet->Header) : 0;
    ULONG status = ReportedStatus(packet);
    UCHAR ack = packet->AckCode;
    UCHAR rcode = packet->ResponseCode;
    bool dataGood = packet->PacketStatus == kPacketOk && ClassifyOutcome(packet) == 0 &&
                    PacketHas(packet, kPacketResponseReceived);
    KeReleaseSpinLock(&packet->Lock, irql);
    if (atOnce && ack == async::kAckPending) ack = 0;
    if (packet->ResultVa[kResultStatus] != nullptr) RtlCopyMemory(packet->ResultVa[kResultStatus], &status, 4);
    if (packet->ResultVa[kResultAck] != nullptr) *packet->ResultVa[kResultAck] = ack;
    if (packet->ResultVa[kResultRcode] != nullptr) *packet->ResultVa[kResultRcode] = rcode;
    if (dataGood) WriteData(packet);
}

// Tells the caller its pending request has ended: its kernel event, else its program's event.
void SignalCaller(AsyncPacket* packet) {
    if (packet->KernelEvent != nullptr)
        KeSetEvent(packet->KernelEvent, IO_NO_INCREMENT, FALSE);
    else if (packet->UserEvent != nullptr)
        KeSetEvent(packet->UserEvent, IO_NO_INCREMENT, FALSE);
}

void WritePendingResults(AsyncPacket* packet) {
    ULONG status = 0;
    if (packet->ResultVa[kResultStatus] != nullptr) RtlCopyMemory(packet->ResultVa[kResultStatus], &status, 4);
    if (packet->ResultVa[kResultAck] != nullptr) *packet->ResultVa[kResultAck] = async::kAckPending;
    if (packet->ResultVa[kResultRcode] != nullptr) *packet->ResultVa[kResultRcode] = 0;
}

void WriteCancelledStatus(AsyncPacket* packet) {
    ULONG status = kPacketCancelled;
    if (packet->ResultVa[kResultStatus] != nullptr) RtlCopyMemory(packet->ResultVa[kResultStatus], &status, 4);
}

// Builds the request packet; null when no packet, label or write data can be had (*status says).
AsyncPacket* BuildRequest(OhciController* controller, ULONG kind, const AsyncRecord& record, NTSTATUS* status) {
    *status = STATUS_INSUFFICIENT_RESOURCES;
    ULONG payload = 0;
    if (kind == kAsyncRead) payload = record.Length == 4 ? 0 : record.Length;
    if (kind == kAsyncWrite) payload = record.Length == 4 ? 0 : record.Length;
    if (kind == kAsyncLock) payload = 16;
    AsyncPacket* packet = AllocatePacket(controller, payload);
    if (packet == nullptr) return nullptr;
    packet->Destination = record.DestinationNode;
    if (!AllocateLabel(packet)) {
        ReleasePacket(packet);
        return nullptr;
    }
    UCHAR local = UCHAR(controller->LocalNodeNumber & 0x3F);
    async::BuiltPacket built;
    if (kind == kAsyncRead) {
        async::BuildReadRequest(&built, record.DestinationNode, packet->Label, local, record.Offset, record.Length);
    } else if (kind == kAsyncWrite) {
        ULONG quadlet = 0;
        NTSTATUS copied = record.Length == 4 ? KxCopyFromUser(&quadlet, UserPointer(record.Data), 4)
                                             : KxCopyFromUser(packet->Payload, UserPointer(record.Data), record.Length);
        if (record.Length != 0 && !NT_SUCCESS(copied)) {
            ReleasePacket(packet);
            return nullptr;
        }
        async::BuildWriteRequest(&built, record.DestinationNode, packet->Label, local, record.Offset, record.Length,
                                 quadlet);
    } else if (!async::BuildLockRequest(&built, packet->Payload, record.DestinationNode, packet->Label, local,
                                        record.Offset, record.ExtendedTcode, record.ArgValue, record.DataValue,
                                        record.Operand64)) {
        ReleasePacket(packet);
        *status = STATUS_INVALID_PARAMETER;
        return nullptr;
    }
    SetPacketHeader(packet, built, record.DestinationNode);
    packet->Length = record.Length;
    return packet;
}

}  // namespace

void ReadAsyncRecord(const UCHAR* r, bool is32bit, AsyncRecord* out) {
    out->DestinationNode = LoadU16(r + 0x00);
    out->Offset = LoadU64(r + 0x08) & 0xFFFFFFFFFFFFull;
    out->Length = LoadU32(r + 0x10);
    if (is32bit) {
        out->Event = UserHandleAt(r + 0x14, true);
        out->Data = UserAddressAt(r + 0x18, true);
        out->Out[0] = UserAddressAt(r + 0x1C, true);
        out->Out[1] = UserAddressAt(r + 0x20, true);
        out->Out[2] = UserAddressAt(r + 0x24, true);
        out->ExtendedTcode = r[0x28];
        out->Operand64 = r[0x40] == 1;
        out->ArgValue = out->Operand64 ? LoadU64(r + 0x30) : LoadU32(r + 0x30);
        out->DataValue = out->Operand64 ? LoadU64(r + 0x38) : LoadU32(r + 0x38);
    } else {
        out->Event = UserHandleAt(r + 0x18, false);
        out->Data = UserAddressAt(r + 0x20, false);
        out->Out[0] = UserAddressAt(r + 0x28, false);
        out->Out[1] = UserAddressAt(r + 0x30, false);
        out->Out[2] = UserAddressAt(r + 0x38, false);
        out->ExtendedTcode = r[0x40];
        out->Operand64 = r[0x58] == 1;
        out->ArgValue = out->Operand64 ? LoadU64(r + 0x48) : LoadU32(r + 0x48);
        out->DataValue = out->Operand64 ? LoadU64(r + 0x50) : LoadU32(r + 0x50);
    }
}

NTSTATUS z1394AsyncCore(ULONG kind, OhciController* controller, const UCHAR* raw, bool is32bit, PKEVENT kernelEvent,
                        bool noConversion, PVOID fileObject) {
    AsyncRecord record;
    ReadAsyncRecord(raw, is32bit && kernelEvent == nullptr && !noConversion, &record);
    if (controller->AsyncWait != 0 && KeGetCurrentIrql() == PASSIVE_LEVEL) {
        LARGE_INTEGER delay;
        delay.QuadPart = -LONGLONG(controller->AsyncWait) * 10000;
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
    }
    if (kernelEvent == nullptr &&
        KeWaitForSingleObject(&controller->EnumerationDone, Executive, UserMode, TRUE, nullptr) != STATUS_SUCCESS) {
        WriteStatusInCallerContext(record.Out[0], KX1394_STATUS_INTERRUPTED);
        return STATUS_ACCESS_DENIED;
    }
    // The length is checked against the speed before anything is sized from it.
    ULONG node = record.DestinationNode & 0x3F;
    if (record.Length > MaxPayloadForSpeed(SpeedCodeTo(controller, node))) {
        WriteStatusInCallerContext(record.Out[0], KX1394_STATUS_TOO_LONG);
        return STATUS_SUCCESS;
    }
    NTSTATUS status = STATUS_SUCCESS;
    AsyncPacket* packet = BuildRequest(controller, kind, record, &status);
    if (packet == nullptr) return status;
    ClientRecord* driverClient = FindDriverClient(controller);
    if (driverClient == nullptr) {
        ReleasePacket(packet);
        return kStatusInternalError;
    }
    packet->Sink = QueueToClient;
    packet->SinkContext = driverClient;
    packet->Process = PsGetCurrentProcess();
    packet->FileObject = fileObject;
    packet->KernelEvent = kernelEvent;
    if (record.Event != nullptr) {
        // Referenced as an event: any other object behind the handle is ignored.
        PVOID event = nullptr;
        if (NT_SUCCESS(ObReferenceObjectByHandle(record.Event, kUserEventAccess, *ExEventObjectType, UserMode, &event,
                                                 nullptr)))
            packet->UserEvent = static_cast<PKEVENT>(event);
    }
    if (kernelEvent == nullptr) {
        ClientRecord* caller = ReferenceRegisteredClient(controller, packet->Process);
        if (caller == nullptr) {
            ReleasePacket(packet);
            return STATUS_UNSUCCESSFUL;
        }
        packet->CallerClient = caller;
        packet->ReleaseCaller = ReleaseCallerClient;
    }
    if (!LockResultMemory(packet, record, kind)) {
        DbgPrint("Lock error\n");
        ReleasePacket(packet);
        WriteStatusInCallerContext(record.Out[0], kStatusLockFailed);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // The call's own reference keeps the packet while it decides who finishes it.
    InterlockedIncrement(&packet->References);
    packet->Generation = CurrentGeneration(controller);
    (void)SubmitAndWait(packet, kernelEvent == nullptr);

    KIRQL irql;
    KeAcquireSpinLock(&packet->Lock, &irql);
    bool pending = packet->PacketStatus == kPacketOk && packet->AckCode == async::kAckPending &&
                   !PacketHas(packet, kPacketWithdrawn);
    KeReleaseSpinLock(&packet->Lock, irql);
    if (pending) {
        // The final result follows through the worker; these are written before the worker may
        // deliver, so they never overwrite it.
        WritePendingResults(packet);
        // Under the worker's list lock: its look for deliverable packets sees this bit or the
        // event set after it.
        KeAcquireSpinLock(&driverClient->CompletionLock, &irql);
        KeAcquireSpinLockAtDpcLevel(&packet->Lock);
        packet->DeliveryBits |= kDeliveryCallerTold;
        // Ended since the look above, with nobody to deliver it: cancelled (the cancellation left
        // its end to the caller still in its call, unless it claimed it first), or flushed by a
        // bus reset, which queues nothing for a caller not yet told.
        bool cancelled = packet->PacketStatus == kPacketCancelled;
        bool flushed = !cancelled && packet->PacketStatus != kPacketOk && !(packet->DeliveryBits & kDeliveryQueued);
        bool endsHere = (cancelled || flushed) && !(packet->DeliveryBits & kDeliveryEnded);
        if (endsHere) packet->DeliveryBits |= kDeliveryEnded;
        KeReleaseSpinLockFromDpcLevel(&packet->Lock);
        KeReleaseSpinLock(&driverClient->CompletionLock, irql);
        KeSetEvent(&driverClient->WorkEvent2, IO_NO_INCREMENT, FALSE);
        if (endsHere) {
            if (cancelled) {
                WriteCancelledStatus(packet);
            } else {
                WriteResults(packet, false);
                SignalCaller(packet);
                ReleaseLabel(packet);
            }
            ReleaseCallerResources(packet);
            DisposePacket(packet);
        }
        ReleasePacket(packet);
        return STATUS_SUCCESS;
    }
    // Finished for the caller: nothing may complete it later (an alerted wait leaves it queued).
    Withdraw(packet);
    bool listed = false;
    KeAcquireSpinLock(&driverClient->CompletionLock, &irql);
    if (PacketHas(packet, kPacketOnClientList)) {
        RemoveEntryList(&packet->ClientLink);
        InitializeListHead(&packet->ClientLink);
        PacketClear(packet, kPacketOnClientList);
        listed = true;
    }
    KeReleaseSpinLock(&driverClient->CompletionLock, irql);
    if (listed) ReleasePacket(packet);
    WriteResults(packet, true);
    ReleaseCallerResources(packet);
    ReleaseLabel(packet);
    ReleasePacket(packet);
    DisposePacket(packet);
    return STATUS_SUCCESS;
}

NTSTATUS AsyncReadRequest(ControlRequest* request) {
    return z1394AsyncCore(kAsyncRead, request->Controller, request->Input, request->Is32bit, nullptr, false,
                          IoGetCurrentIrpStackLocation(request->Irp)->FileObject);
}
NTSTATUS AsyncWriteRequest(ControlRequest* request) {
    return z1394AsyncCore(kAsyncWrite, request->Controller, request->Input, request->Is32bit, nullptr, false,
                          IoGetCurrentIrpStackLocation(request->Irp)->FileObject);
}
NTSTATUS AsyncLockRequest(ControlRequest* request) {
    return z1394AsyncCore(kAsyncLock, request->Controller, request->Input, request->Is32bit, nullptr, false,
                          IoGetCurrentIrpStackLocation(request->Irp)->FileObject);
}

NTSTATUS AsyncStreamRequest(ControlRequest* request) {
    OhciController* controller = request->Controller;
    const UCHAR* in = request->Input;
    UCHAR channel = in[0];
    UCHAR speed = in[1];
    ULONG sy = LoadU32(in + 4);
    ULONG tag = LoadU32(in + 8);
    ULONG length = LoadU32(in + 12);
    ULONGLONG data = UserAddressAt(in + 16, request->Is32bit);
    ULONG local = controller->LocalNodeNumber & 0x3F;
    // Speed code and channel are checked before they shape anything, the length before it sizes
    // anything.
    if (speed > KX1394_S3200 || channel > 63) return STATUS_INVALID_PARAMETER;
    if (length > MaxPayloadForSpeed(SpeedCodeTo(controller, local)) || length > MaxPayloadForSpeed(speed)) {
        request->Output[0] = UCHAR(KX1394_STATUS_TOO_LONG);
        return STATUS_SUCCESS;
    }
    // The data is copied in the caller's context, into a block of the packet list.
    auto* copy = static_cast<PUCHAR>(AllocateFromLookaside(&controller->PacketList));
    if (copy == nullptr) {
        request->Output[0] = UCHAR(kPacketError);
        return STATUS_SUCCESS;
    }
    if (length != 0 && !NT_SUCCESS(KxCopyFromUser(copy, UserPointer(data), length))) {
        FreeToLookaside(&controller->PacketList, copy);
        return STATUS_INVALID_USER_BUFFER;
    }
    UCHAR result = UCHAR(kPacketError);
    NTSTATUS status = SendStreamPacket(controller, channel, UCHAR(tag & 3), UCHAR(sy & 0xF), speed, copy, length,
                                       &result);
    FreeToLookaside(&controller->PacketList, copy);
    request->Output[0] = result;
    return status;
}

NTSTATUS PhyPacketRequest(ControlRequest* request) {
    UCHAR result = UCHAR(kPacketError);
    NTSTATUS status = SendPhyPacket(request->Controller, LoadU32(request->Input), &result);
    if (NT_SUCCESS(status)) request->Output[0] = result;
    return status;
}

void DeliverCompletions(ClientRecord* client) {
    LIST_ENTRY ready;
    InitializeListHead(&ready);
    KIRQL irql;
    KeAcquireSpinLock(&client->CompletionLock, &irql);
    for (PLIST_ENTRY entry = client->CompletionList.Flink; entry != &client->CompletionList;) {
        AsyncPacket* packet = CONTAINING_RECORD(entry, AsyncPacket, ClientLink);
        entry = entry->Flink;
        KeAcquireSpinLockAtDpcLevel(&packet->Lock);
        bool both = packet->DeliveryBits == (kDeliveryQueued | kDeliveryCallerTold);
        KeReleaseSpinLockFromDpcLevel(&packet->Lock);
        if (!both) continue;
        RemoveEntryList(&packet->ClientLink);
        PacketClear(packet, kPacketOnClientList);
        InsertTailList(&ready, &packet->ClientLink);
    }
    // Nothing deliverable now: a packet still waiting for its caller's word sets the event again.
    if (IsListEmpty(&ready)) {
        KeClearEvent(&client->WorkEvent1);
        KeClearEvent(&client->WorkEvent2);
    }
    KeReleaseSpinLock(&client->CompletionLock, irql);
    while (!IsListEmpty(&ready)) {
        PLIST_ENTRY entry = RemoveHeadList(&ready);
        InitializeListHead(entry);
        AsyncPacket* packet = CONTAINING_RECORD(entry, AsyncPacket, ClientLink);
        // A worker that is ending writes nothing more.
        if (!client->Terminate) {
            WriteResults(packet, false);
            SignalCaller(packet);
        }
        ReleaseCallerResources(packet);
        ReleaseLabel(packet);
        DisposePacket(packet);
        ReleasePacket(packet);  // the completion list's reference
    }
}

namespace {

// Ends the packets collected through their ClientLink (one reference each): cancelled, with their
// results written as cancelled while the memory is still locked, then disposed of when their
// caller was already told they are pending (else the caller disposes of them itself).
void EndCancelled(PLIST_ENTRY removed) {
    while (!IsListEmpty(removed)) {
        PLIST_ENTRY entry = RemoveHeadList(removed);
        InitializeListHead(entry);
        AsyncPacket* packet = CONTAINING_RECORD(entry, AsyncPacket, ClientLink);
        KIRQL irql;
        KeAcquireSpinLock(&packet->Lock, &irql);
        packet->PacketStatus = kPacketCancelled;
        // A caller still in its call writes its results and lets the memory go itself; one told
        // it is pending may be looking at the cancellation too: whoever claims the end ends it.
        bool told = (packet->DeliveryBits & kDeliveryCallerTold) != 0 && !(packet->DeliveryBits & kDeliveryEnded);
        if (told) packet->DeliveryBits |= kDeliveryEnded;
        KeReleaseSpinLock(&packet->Lock, irql);
        KeSetEvent(&packet->DoneEvent, IO_NO_INCREMENT, FALSE);
        ReleaseLabel(packet);
        if (told) {
            ReleaseCallerResources(packet);
            DisposePacket(packet);
        }
        ReleasePacket(packet);
    }
}

// Takes the packets of a process and file object (or all, with null ones) off a client's
// completion list.
void TakeFromClient(ClientRecord* client, PEPROCESS process, PVOID fileObject, PLIST_ENTRY removed) {
    KIRQL irql;
    KeAcquireSpinLock(&client->CompletionLock, &irql);
    for (PLIST_ENTRY entry = client->CompletionList.Flink; entry != &client->CompletionList;) {
        AsyncPacket* packet = CONTAINING_RECORD(entry, AsyncPacket, ClientLink);
        entry = entry->Flink;
        if ((process != nullptr && packet->Process != process) ||
            (fileObject != nullptr && packet->FileObject != fileObject))
            continue;
        RemoveEntryList(&packet->ClientLink);
        PacketClear(packet, kPacketOnClientList);
        InsertTailList(removed, &packet->ClientLink);  // the list's reference moves with it
    }
    KeReleaseSpinLock(&client->CompletionLock, irql);
}

void CancelMatching(OhciController* controller, PEPROCESS process, PVOID fileObject) {
    LIST_ENTRY removed;
    InitializeListHead(&removed);
    ClientRecord* driverClient = FindDriverClient(controller);
    if (driverClient != nullptr) TakeFromClient(driverClient, process, fileObject, &removed);
    WithdrawProcessPackets(controller, process, fileObject, &removed);
    EndCancelled(&removed);
    // A delivery the worker has already begun ends before the caller goes on (the worker holds
    // its mutex while it delivers), so nothing is written after this returns.
    if (driverClient != nullptr && KeGetCurrentIrql() == PASSIVE_LEVEL) {
        KeWaitForSingleObject(&driverClient->Mutex, Executive, KernelMode, FALSE, nullptr);
        KeReleaseMutex(&driverClient->Mutex, FALSE);
    }
}

}  // namespace

void CancelProcessPackets(OhciController* controller, PEPROCESS process) {
    if (process != nullptr) CancelMatching(controller, process, nullptr);
}

void CancelFilePackets(OhciController* controller, PVOID fileObject) {
    if (fileObject != nullptr) CancelMatching(controller, nullptr, fileObject);
}

void CancelClientCompletions(ClientRecord* client) {
    LIST_ENTRY removed;
    InitializeListHead(&removed);
    // A worker that ends delivers nothing more: every packet on its list goes.
    TakeFromClient(client, client->Terminate ? nullptr : client->Process, nullptr, &removed);
    EndCancelled(&removed);
}
