// The transaction layer of the asynchronous engine: the AsyncPacket and its life, submission with
// its generation check and local loopback, the transaction label pool, the PendingList of requests
// that await an acknowledge or a response, the recording of each transmission outcome, the
// hand-over of finished packets to their submitters, the split time-out watchdog and the flushes a
// bus reset or teardown applies.
//
// References: the packet starts with one, its owner's (the submitter, or whoever the submitter
// hands the packet to for delivery). Each list the packet is on (PendingList, an AT context's
// waiting queue or in-flight list, the KernelWaiterList, a client's completion list) holds one
// more, taken when it is linked and dropped when it is unlinked. The packet is freed by its last
// reference only, so no path frees a packet another still reaches. Lock order: AsyncLock, then
// PendingLock, then the request context's queue lock, then the response context's queue lock; the
// label lock, the slot locks and the packet lock are innermost.
#pragma once

#include "kxplatform.h"
#include "packet_format.h"

struct OhciController;
struct AtContext;
struct PayloadSlot;
struct AsyncPacket;

enum AsyncPacketFlags : ULONG {
    kPacketDelivered = 0x0001,       // handed to its completion sink (once)
    kPacketInFlush = 0x0002,
    kPacketOnPendingList = 0x0004,
    kPacketOnQueue = 0x0008,         // an AT context's waiting queue or in-flight list
    kPacketInRing = 0x0010,          // on the in-flight list: its descriptor block is in the ring
    kPacketResponseExpected = 0x0020,
    kPacketUntracked = 0x0040,
    kPacketAnsweredLater = 0x0080,
    kPacketLocal = 0x0100,
    kPacketLabelHeld = 0x0200,
    kPacketDisposed = 0x0400,        // the owner's reference has been given up
    kPacketAborted = 0x0800,
    kPacketPhy = 0x1000,
    kPacketOnWaiterList = 0x2000,
    kPacketOnClientList = 0x4000,
    kPacketWithdrawn = 0x8000,       // the submitter gave up on it
    kPacketResponseReceived = 0x10000,
};

enum CompletionBit : UCHAR { kTxDone = 1, kRxDone = 2 };

enum PacketStateValue : ULONG { kPacketNew = 0, kPacketSubmitted = 1, kPacketAwaitingResponse = 2, kPacketFinished = 3 };

// Delivery bits of a user packet: 1 its completion was queued, 2 its caller was told it is pending.
// Queued: handed to the completion client; told: the caller returned with "pending"; ended: a
// caller or a cancellation claimed the end of a packet nobody delivers (only one of them ends it).
enum DeliveryBit : UCHAR { kDeliveryQueued = 1, kDeliveryCallerTold = 2, kDeliveryEnded = 4 };

// Packet status values.
constexpr ULONG kPacketOk = 0;
constexpr ULONG kPacketBusReset = 1;
constexpr ULONG kPacketError = 2;
constexpr ULONG kPacketTimedOut = 11;
constexpr ULONG kPacketCancelled = 12;
constexpr ULONG kPacketWaitingReply = 0xFF;  // a remote PHY register read waiting for its reply

// Ack bytes beyond the IEEE 1394 ack codes.
constexpr UCHAR kAckTimedOut = 254;
constexpr UCHAR kAckNone = 255;

// Hands a finished packet to whoever delivers it (a client worker); false when nobody will. Called
// with the PendingLock held; it takes the sink's own lock only.
typedef bool (*PacketSinkRoutine)(AsyncPacket* packet);

struct AsyncPacket {
    LIST_ENTRY QueueLink;            // an AT context's in-flight list or waiting queue
    LIST_ENTRY PendingLink;          // the PendingList
    LIST_ENTRY WaiterLink;           // the KernelWaiterList
    LIST_ENTRY ClientLink;           // the completion list of the client that delivers it
    OhciController* Controller;
    volatile LONG References;
    volatile LONG Flags;             // AsyncPacketFlags; changed with interlocked operations
    ULONG PacketState;
    ULONG PacketStatus;              // kPacket* status values
    UCHAR AckCode;
    UCHAR ResponseCode;
    UCHAR CompletionBits;
    UCHAR DeliveryBits;
    CHAR OutcomeCode;
    UCHAR Label;
    UCHAR Tcode;
    UCHAR DestinationPhy;            // remote PHY register access: the node asked
    UCHAR ResponseSource;            // responses: 1 from a range callback with an event, else 2
    USHORT Destination;
    ULONG Speed;
    ULONG Generation;                // 0xFFFFFFFF until stamped
    ULONG Length;                    // the caller's data length; for a lock the old value's length
    async::PacketHeader Header;
    ULONG HeaderLength;
    PUCHAR Payload;                  // the area behind the record
    ULONG PayloadLength;
    ULONG PayloadCapacity;
    AtContext* Context;              // the AT context it was queued on
    PayloadSlot* Slot;               // held while its block is in the ring
    ULONGLONG Tick;                  // when it entered the PendingList or got its ack_pending
    LONGLONG ResponseTime;           // ms of the performance counter when a response was made
    PKEVENT KernelEvent;             // a kernel submitter's event (KernelWaiterList), or null
    ULONG RemoteAccessQuadlet;       // a remote PHY register access: the request sent
    ULONG ReplyQuadlet;              // and the reply received
    PacketSinkRoutine Sink;          // set by the submitter that wants finished packets delivered
    PVOID SinkContext;               // the delivering client
    PVOID Owner;                     // the submitter's record for its results (user requests)
    PEPROCESS Process;               // the process that issued the request
    PVOID FileObject;                // the handle it came through (user requests)
    // Result memory of a user request, locked and mapped when the request was accepted; undone
    // when the packet is freed.
    PMDL ResultMdl[4];               // kResultStatus .. kResultData
    PUCHAR ResultVa[4];              // their system-space mappings
    ULONG DataBytes;                 // bytes of the data result
    PKEVENT UserEvent;               // referenced from the caller's event handle, or null
    PVOID CallerClient;              // the caller's client record, referenced
    void (*ReleaseCaller)(PVOID callerClient);
    KEVENT DoneEvent;                // set when the outcome is known or the packet is flushed
    KSPIN_LOCK Lock;                 // status, ack, rcode, delivery bits and the result records
};

enum ResultIndex : ULONG { kResultStatus = 0, kResultAck = 1, kResultRcode = 2, kResultData = 3, kResultCount = 4 };

// Packet blocks: the record, then a payload area of up to 4096 bytes.
constexpr ULONG kAsyncPacketBlockBytes = sizeof(AsyncPacket) + async::kMaxPayload;

// Which of a packet's links a packet list uses.
enum PacketListKind : ULONG { kQueueList, kPendingList };

// A new zeroed packet from the controller's ZOPP list with one reference and room for
// `payloadLength` bytes (rounded up to 4); null when the controller is not started, the length
// is above 4096 or the list is empty.
[[nodiscard]] AsyncPacket* AllocatePacket(OhciController* controller, ULONG payloadLength);
// Drops one reference; the last one frees the packet (it is on no list then).
void ReleasePacket(AsyncPacket* packet);
// Gives up the owner's reference once: true when this call did it.
bool DisposePacket(AsyncPacket* packet);
// Unlocks and frees the caller's result memory and drops the reference on the caller's client
// record (at PASSIVE_LEVEL: the last reference releases the client's resources). Whoever writes a
// packet's final results calls it right after, since the packet may stay in a descriptor ring
// long after: the caller's process may have ended by then, and its last reference may go in a
// deferred call under the engine's locks. The packet's last reference does it for any left.
void ReleaseCallerResources(AsyncPacket* packet);

// Transaction labels per destination node number (the bus number is not part of the key). A
// label whose request may still be answered (sent, or in the ring, and neither answered, timed
// out nor overtaken by a bus reset) is not free when its packet lets it go: it stays taken until
// its response arrives, the split time-out passes or the generation changes, so that a late
// response never completes another request.
[[nodiscard]] bool AllocateLabel(AsyncPacket* packet);
void ReleaseLabel(AsyncPacket* packet);
// A response that matched no pending request: frees its label if a request let it linger.
void EndLingeringLabel(OhciController* controller, ULONG node, ULONG label);

// Fills the packet from a builder's result: header, lengths, tcode, flags.
void SetPacketHeader(AsyncPacket* packet, const async::BuiltPacket& built, USHORT destination);
// The generation a packet built now belongs to.
[[nodiscard]] ULONG CurrentGeneration(OhciController* controller);

// Submits the packet (AsyncLock held): 0, or -11 for a bus reset or stale generation, -12 for no
// memory. A response always answers 0.
[[nodiscard]] LONG SubmitPacket(AsyncPacket* packet);
// Sends an untracked response packet (AsyncLock held): the engine owns it from here on.
void SendResponse(AsyncPacket* packet);
// Stops waiting on the packet: it leaves the waiting queue and the PendingList and nothing
// completes it any more; a packet whose block is in the ring stays on the in-flight list until the
// block completes (its slot and block are the ring's until then).
void Withdraw(AsyncPacket* packet);
// Submits and waits for the transmission outcome: 0, a negative error number, or -3 when the
// wait was alerted while the packet was in the descriptor ring.
[[nodiscard]] LONG SubmitAndWait(AsyncPacket* packet, bool waitForGate);

// The outcome of a transmission (PendingLock not held): the ack code, 2 for ack_pending, -1 for
// no ack, -2 for a time-out, -12 for a bus reset or other event.
void TransmitDone(OhciController* controller, AsyncPacket* packet, LONG outcome);
// Finds the pending request a response answers and copies the response into it (the receive
// walk, AsyncLock held): by label and source node (all 16 bits), for the matching pair of tcodes.
// `packet` holds the received header quadlets (little-endian, the data quadlet in bus order) and
// the data; `length` excludes the trailer.
void MatchResponse(OhciController* controller, ULONG tcode, const UCHAR* packet, ULONG length);

// The result of a finished packet: 0 or a negative error number from its outcome and rcode.
[[nodiscard]] LONG ClassifyOutcome(const AsyncPacket* packet);

// Empties a packet list (PendingLock and both AT queue locks held). Status 0 (teardown, or the
// response context at a bus reset): each packet is cancelled (12) and its done event set. Status
// 1 (bus reset) or 12: each packet gets that status and is completed. The list's reference goes
// in both cases; the packet itself is freed by whoever holds the last reference.
void FlushPacketList(OhciController* controller, PLIST_ENTRY list, PacketListKind kind, ULONG status);

// Flushes the five packet lists: PendingList and the request context's lists with `requestStatus`,
// the response context's lists with `responseStatus` (takes the pending-request locks).
void FlushPendingRequests(OhciController* controller, ULONG requestStatus, ULONG responseStatus);

// Empties the KernelWaiterList: each packet gets `status`, its kernel event is set and it is
// unlinked from every list.
void FlushKernelWaiters(OhciController* controller, ULONG status);

// Removes a packet of the process (any, when null) sent through the file object (any, when null)
// from the engine's lists (PendingList, both AT waiting queues;
// a packet in the ring stays there until its block completes) and marks it cancelled; the
// packets are appended to `removed` through their ClientLink with one reference each for the
// caller. Takes the pending-request locks.
void WithdrawProcessPackets(OhciController* controller, PEPROCESS process, PVOID fileObject, PLIST_ENTRY removed);

// Milliseconds of the split time-out from the local SPLIT_TIMEOUT registers (at least 100).
[[nodiscard]] ULONG SplitTimeoutMs(OhciController* controller);
[[nodiscard]] ULONG SplitTimeoutMsOf(ULONG hi, ULONG lo);
// Records the registers' split time-out for the label hold (TopologyLock held by the writer).
void NoteSplitTimeout(OhciController* controller, ULONG hi, ULONG lo);

// Interlocked flag helpers.
inline bool PacketHas(const AsyncPacket* packet, ULONG flag) { return (packet->Flags & LONG(flag)) != 0; }
inline void PacketSet(AsyncPacket* packet, ULONG flag) { InterlockedOr(&packet->Flags, LONG(flag)); }
inline void PacketClear(AsyncPacket* packet, ULONG flag) { InterlockedAnd(&packet->Flags, ~LONG(flag)); }
