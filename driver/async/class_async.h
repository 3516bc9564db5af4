// The asynchronous requests drivers on child devices send through the 1394 class interface, once
// its dispatcher has taken them out of the IRB: reads and writes split into blocks, locks with
// bus-order operands, asynchronous stream packets. The destination is always the child's own node
// in the current generation (0xFFFF for a broadcast write); the caller's buffer is an MDL, mapped
// into system space here.
#pragma once

#include "kxplatform.h"

struct OhciController;

// fulFlags of reads and writes.
constexpr ULONG kClassAsyncFlagsSameOffset = 0x1;      // every block at the start offset
constexpr ULONG kClassAsyncFlagsIgnoreResult = 0x2;    // a write reports success whatever happened
constexpr ULONG kClassAsyncFlagsElapsedTime = 0x4;     // a read measures its time
constexpr ULONG kClassAsyncFlagsBroadcast = 0x8;       // a write goes to every node

struct ClassBlockRequest {
    ULONG Node;               // the child's physical ID
    ULONGLONG Offset;         // 48 bits
    PMDL Mdl;
    ULONG Bytes;              // nNumberOfBytesToRead / nNumberOfBytesToWrite
    ULONG BlockSize;          // nBlockSize (0: one block)
    ULONG Flags;              // fulFlags
    ULONGLONG ElapsedTime;    // read with kClassAsyncFlagsElapsedTime: nanoseconds, else 0
};

struct ClassLockRequest {
    ULONG Node;
    ULONGLONG Offset;
    ULONG TransactionType;    // fulTransactionType: the extended tcode, 1 to 6
    ULONG ArgBytes;           // nNumberOfArgBytes
    ULONG DataBytes;          // nNumberOfDataBytes: 4 or 8
    ULONG Arguments[2];       // bus order
    ULONG DataValues[2];      // bus order
    PUCHAR Buffer;            // pBuffer: receives the old value in bus order
};

struct ClassStreamRequest {
    ULONG Channel;            // nChannel
    ULONG SpeedFlags;         // nSpeed: 0x1 S100 .. 0x20 S3200
    ULONG Sy;                 // ulSynch
    ULONG Tag;                // ulTag
    ULONG Bytes;              // nNumberOfBytesToStream
    PMDL Mdl;
};

// The speed code of an IRB speed flag (anything else is S100).
[[nodiscard]] UCHAR SpeedCodeOfFlag(ULONG speedFlag);

// Passive level, each block waited for.
[[nodiscard]] NTSTATUS ClassAsyncRead(OhciController* controller, ClassBlockRequest* request);
// At passive level each block is waited for; above it each block is posted without waiting.
[[nodiscard]] NTSTATUS ClassAsyncWrite(OhciController* controller, ClassBlockRequest* request);
[[nodiscard]] NTSTATUS ClassAsyncLock(OhciController* controller, ClassLockRequest* request);
[[nodiscard]] NTSTATUS ClassAsyncStream(OhciController* controller, ClassStreamRequest* request);
