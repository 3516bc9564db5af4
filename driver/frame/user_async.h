// Asynchronous requests of user programs (and of kernel callers with their own event): reads,
// writes and locks of remote addresses, stream and PHY packets. Results reach the caller through
// memory locked and mapped when the request was accepted; a request that is still pending when
// the call returns is finished by the driver client's worker.
#pragma once

#include "kxplatform.h"

struct OhciController;
struct ControlRequest;

enum AsyncRequestKind : ULONG { kAsyncRead = 0, kAsyncWrite = 1, kAsyncLock = 2 };

// The fields of an asynchronous request record (96 bytes) as read in the caller's layout: pure
// logic, nothing is dereferenced (a fuzz target can feed it raw records of both layouts).
struct AsyncRecord {
    USHORT DestinationNode;
    ULONGLONG Offset;     // 48 bits
    ULONG Length;
    HANDLE Event;
    ULONGLONG Data;
    ULONGLONG Out[3];     // addresses of the status word, the ack byte, the rcode byte
    USHORT ExtendedTcode;
    ULONGLONG ArgValue;   // host order; 32 bits unless Operand64
    ULONGLONG DataValue;
    bool Operand64;
};
void ReadAsyncRecord(const UCHAR* record, bool is32bit, AsyncRecord* out);

// One asynchronous request record (96 bytes) in the caller's layout. `kernelEvent`: a kernel
// caller's completion event (selects the 64-bit layout); `noConversion` forces the 64-bit layout.
[[nodiscard]] NTSTATUS z1394AsyncCore(ULONG kind, OhciController* controller, const UCHAR* record, bool is32bit,
                                      PKEVENT kernelEvent, bool noConversion, PVOID fileObject = nullptr);

// A handle closes: the requests sent through it end (cancelled, nothing more written into the
// program's memory, its locked pages released before the program can go).
void CancelFilePackets(OhciController* controller, PVOID fileObject);

// IOCTL_ASYNC_READ, IOCTL_ASYNC_WRITE, IOCTL_ASYNC_LOCK, IOCTL_ASYNC_STREAM, IOCTL_SEND_PHY_PACKET.
[[nodiscard]] NTSTATUS AsyncReadRequest(ControlRequest* request);
[[nodiscard]] NTSTATUS AsyncWriteRequest(ControlRequest* request);
[[nodiscard]] NTSTATUS AsyncLockRequest(ControlRequest* request);
[[nodiscard]] NTSTATUS AsyncStreamRequest(ControlRequest* request);
[[nodiscard]] NTSTATUS PhyPacketRequest(ControlRequest* request);
