// Asynchronous transactions of callers inside the driver (device enumeration, the root check, the
// class interface): a read, write or lock built in the caller's own frame, submitted like any
// other request and waited for at passive level, without a time limit of its own (the split
// time-out ends every pending transaction). No user memory, no client record, no layout
// conversion.
#pragma once

#include "kxplatform.h"

struct OhciController;

enum KernelTransactionKind : ULONG { kKernelRead = 0, kKernelWrite = 1, kKernelLock = 2 };

struct KernelTransaction {
    ULONG Kind;
    USHORT Destination;        // bus and physical ID
    ULONGLONG Offset;          // 48 bits
    ULONG Length;              // data bytes; a lock's operand size (4 or 8)
    PUCHAR Data;               // read: receives the data (bus order); write: the data (bus order);
                               // lock: receives the old value as host-order quadlets
    USHORT ExtendedTcode;      // lock function
    ULONGLONG ArgValue;        // lock operands, host order
    ULONGLONG DataValue;
    bool Operand64;
    // The generation the request belongs to when `InGeneration` is set (a request of an older one
    // is not sent and ends as a bus reset); else the current one.
    bool InGeneration;
    ULONG Generation;
    // Results: status 0 done, 1 a bus reset intervened, 2 failed, 11 no response in time, 12
    // cancelled; the ack (1 complete, 2 pending and answered, 4 to 6 busy, 254 time-out, 255
    // none) and the response's rcode.
    ULONG Status;
    UCHAR Ack;
    UCHAR Rcode;
};

// Carries out one transaction (passive level). STATUS_SUCCESS when it was sent or found stale
// (the results say how it went); STATUS_INSUFFICIENT_RESOURCES without a packet or a transaction
// label; STATUS_INVALID_PARAMETER for a length the packet cannot carry or an unknown lock
// function; STATUS_INVALID_DEVICE_STATE above passive level.
[[nodiscard]] NTSTATUS KernelAsyncTransaction(OhciController* controller, KernelTransaction* transaction);

// Outcome of a configuration-ROM style read.
enum ReadResult : ULONG { kReadDone = 0, kReadBusReset = 1, kReadBusy = 2, kReadFailed = 3 };

// Reads one quadlet of node `node` (physical ID) at `offset`, with up to five attempts for busy
// nodes (1 ms apart) and for an ack_complete without data (125 us apart). With `swap` the quadlet
// is stored as a host-order number, else in bus order. A bus reset during the read always gives
// kReadBusReset. The second form reads in `generation` only: once the bus has moved on from it,
// a read that did not succeed reports the reset (enumeration starts over).
[[nodiscard]] ReadResult ReadNodeQuadlet(OhciController* controller, ULONG node, ULONGLONG offset, PULONG quadlet,
                                         bool swap);
[[nodiscard]] ReadResult ReadNodeQuadlet(OhciController* controller, ULONG node, ULONGLONG offset, PULONG quadlet,
                                         bool swap, ULONG generation);

// Reads `count` quadlets from `offset` on, one quadlet request each, into `buffer` in bus order.
// True when every one was read (a count of 0 included).
[[nodiscard]] bool ReadNodeQuadlets(OhciController* controller, ULONG node, ULONGLONG offset, PULONG buffer,
                                    ULONG count);
