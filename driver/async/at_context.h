// The two asynchronous transmit (AT) contexts: a ring of 32 descriptor blocks of 64 bytes in one
// common buffer and eight 4096-byte payload slots.
#pragma once

#include "kxplatform.h"
#include "ohci/dma_memory.h"

struct OhciController;
struct AsyncPacket;

constexpr ULONG kAtBlockCount = 32;
constexpr ULONG kAtBlockSize = 64;
constexpr ULONG kAtSlotCount = 8;
constexpr ULONG kAtSlotSize = 4096;

enum AtContextKind : ULONG { kAtRequest = 0, kAtResponse = 1 };

struct PayloadSlot {
    BOOLEAN InUse;
    CommonBuffer Buffer;
};

// Counters of the transmit path (diagnostics and benchmarks).
struct AtCounters {
    ULONG Queued;
    ULONG Completed;
};

struct AtContext {
    OhciController* Controller;
    AtContextKind Kind;
    ULONG Number;
    ULONG RegisterBase;              // ContextControlSet; Clear at +4, CommandPtr at +0x0C
    PVOID* BlockVirtual;             // kAtBlockCount entries (ZOAT)
    PULONG BlockLogical;
    PDMA_ADAPTER Adapter;
    CommonBuffer Blocks;             // 4096 bytes
    ULONG Tail;
    ULONG Head;
    ULONG FreeBlocks;
    PULONG NewestBranch;             // the branch word of the newest block in the ring
    ULONG BlockZ[kAtBlockCount];     // Z of each block in the ring
    LIST_ENTRY InFlight;             // AsyncPacket.QueueLink, oldest first
    LIST_ENTRY Waiting;              // AsyncPacket.QueueLink, not yet in the ring
    KSPIN_LOCK QueueLock;
    KDPC Dpc;                        // the completion walk
    KTIMER FallbackTimer;            // response context: runs the walk when the oldest may time out
    PayloadSlot Slots[kAtSlotCount];
    KSPIN_LOCK SlotLock;
    KSPIN_LOCK DpcLock;
    AtCounters Counters;
    BOOLEAN Ready;
};

[[nodiscard]] bool InitAtContext(OhciController* controller, AtContext* context, AtContextKind kind, ULONG number,
                                 ULONG base);
// Stops the context and empties its ring (its packets were flushed before).
void ResetAtContext(AtContext* context);
void FreeAtContext(AtContext* context);

// Clears run and wake of the context whose ContextControlClear is at `clearOffset` and waits for
// `active` to drop: 125 us stalls, at most 10000 retries. True when the context did not stop.
bool StopContext(OhciController* controller, ULONG clearOffset);

// Stops the four asynchronous contexts: AT request, AT response, AR request, AR response.
void StopAsyncContexts(OhciController* controller);

// Queues a submitted packet on its context (AsyncLock held): requests, PHY and stream packets on
// the request context, responses on the response context. 0, or -11 while a bus reset runs: then
// the packet was not queued, or it is tracked and was (its caller withdraws it). An untracked
// packet that was queued is the engine's, which ends it, reset or not, and gives up its owner's
// reference: 0.
[[nodiscard]] LONG QueueToContext(OhciController* controller, AsyncPacket* packet);
// Moves waiting packets into the ring while a payload slot and a block are free (queue lock held).
void RefillProgram(OhciController* controller, AtContext* context);
// Gives back the payload slot a packet holds.
void ReturnPayloadSlot(AsyncPacket* packet);

// Milliseconds of the performance counter: a response's creation time, against which the response
// context gives up on a block the controller never reports (2000 ms).
[[nodiscard]] LONGLONG ResponseTimeNow();
// Counts a response delivered through loopback as sent, by its source mark.
void CountLocalResponse(OhciController* controller, const AsyncPacket* packet);

// The descriptor block formats (pure): builds the block for a packet at `block` (64 bytes), with
// `slotAddress` the bus address of its payload slot. Returns Z (2 without payload, 3 with).
ULONG BuildAtBlock(PULONG block, const AsyncPacket* packet, ULONG slotAddress, USHORT expiry);
// Offsets in ULONGs of a block's branch word and status word for its Z.
inline ULONG AtBranchWord(ULONG z) { return z == 2 ? 2 : 10; }
inline ULONG AtStatusWord(ULONG z) { return z == 2 ? 3 : 11; }
