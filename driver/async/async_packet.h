// The asynchronous packet record as far as bring-up, teardown and the bus-reset flush need it:
// its links on the pending lists, its outcome and its life. Submission, transaction labels and
// delivery build on it.
#pragma once

#include "kxplatform.h"

struct OhciController;

enum AsyncPacketFlags : ULONG {
    kPacketDelivered = 0x01,
    kPacketInFlush = 0x02,
    kPacketOnPendingList = 0x04,
    kPacketOnQueue = 0x08,
};

enum CompletionBit : UCHAR { kTxDone = 1, kRxDone = 2 };

struct AsyncPacket {
    LIST_ENTRY QueueLink;            // an AT context's in-flight list or waiting queue
    LIST_ENTRY PendingLink;          // the PendingList
    LIST_ENTRY WaiterLink;           // the KernelWaiterList
    OhciController* Controller;
    volatile LONG References;        // the packet is freed when the last one goes
    ULONG Flags;
    ULONG PacketStatus;              // 0 ok, 1 bus reset, 2 error, 11 timed out, 12 cancelled, 0xFF waiting
    UCHAR AckCode;
    UCHAR CompletionBits;
    PKEVENT KernelEvent;             // a kernel submitter's event (KernelWaiterList), or null
    ULONG RemoteAccessQuadlet;       // a remote PHY register access: the request sent
    ULONG ReplyQuadlet;              // and the remote reply received
    UCHAR DestinationPhy;
    KEVENT DoneEvent;                // set when the outcome is known or the packet is flushed
    KSPIN_LOCK Lock;                 // PacketStatus and AckCode
};

// Which of a packet's links a packet list uses.
enum PacketListKind : ULONG { kQueueList, kPendingList };

// A new packet from the controller's ZOPP list with one reference, or null.
[[nodiscard]] AsyncPacket* AllocatePacket(OhciController* controller);
// Drops one reference; the last one unlinks the packet from every list and frees it.
void ReleasePacket(AsyncPacket* packet);

// Empties a packet list (PendingLock and both AT queue locks held). Status 0 (teardown, or the
// response context at a bus reset): each packet is cancelled (12) and its done event set. Status
// 1 (bus reset) or 12: each packet gets that status and is completed. The list's reference goes
// in both cases; the packet itself is freed by whoever holds the last reference.
void FlushPacketList(OhciController* controller, PLIST_ENTRY list, PacketListKind kind, ULONG status);

// Flushes the five packet lists: PendingList and the request context's lists with `requestStatus`,
// the response context's lists with `responseStatus` (takes the pending-request locks).
void FlushPendingRequests(OhciController* controller, ULONG requestStatus, ULONG responseStatus);

// Empties the KernelWaiterList: each packet gets `status`, its kernel event is set and it is
// unlinked from every list; with `release` the list's reference is dropped.
void FlushKernelWaiters(OhciController* controller, ULONG status);
