// The two asynchronous transmit (AT) contexts: a ring of 32 descriptor blocks of 64 bytes in one
// common buffer and eight 4096-byte payload slots.
#pragma once

#include "kxplatform.h"
#include "ohci/dma_memory.h"

struct OhciController;

constexpr ULONG kAtBlockCount = 32;
constexpr ULONG kAtBlockSize = 64;
constexpr ULONG kAtSlotCount = 8;
constexpr ULONG kAtSlotSize = 4096;

enum AtContextKind : ULONG { kAtRequest = 0, kAtResponse = 1 };

struct PayloadSlot {
    BOOLEAN InUse;
    CommonBuffer Buffer;
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
    PULONG NewestBranch;
    LIST_ENTRY InFlight;             // AsyncPacket.QueueLink, oldest first
    LIST_ENTRY Waiting;              // AsyncPacket.QueueLink, not yet in the ring
    KSPIN_LOCK QueueLock;
    KDPC Dpc;                        // the completion walk
    PayloadSlot Slots[kAtSlotCount];
    KSPIN_LOCK SlotLock;
    KSPIN_LOCK DpcLock;
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
