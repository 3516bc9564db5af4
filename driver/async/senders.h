// Packets sent for their own sake, without a response: PHY packets and asynchronous stream
// packets. Both wait for the transmission outcome at passive level.
#pragma once

#include "kxplatform.h"

struct OhciController;

// Sends a PHY packet (the quadlet and its inverse); *result gets the low byte of the packet's
// status. STATUS_INSUFFICIENT_RESOURCES when no packet can be had.
[[nodiscard]] NTSTATUS SendPhyPacket(OhciController* controller, ULONG quadlet, PUCHAR result);

// Sends an asynchronous stream packet with `length` bytes of `data` (a kernel copy) at `speed`;
// *result gets the low byte of the packet's status (2 for a transmission that failed).
[[nodiscard]] NTSTATUS SendStreamPacket(OhciController* controller, UCHAR channel, UCHAR tag, UCHAR sy, UCHAR speed,
                                        const UCHAR* data, ULONG length, PUCHAR result);

// The largest payload a speed code allows: 512 bytes at S100, doubling up to 4096.
[[nodiscard]] inline ULONG MaxPayloadForSpeed(ULONG speedCode) {
    return speedCode == 0 ? 512 : speedCode == 1 ? 1024 : speedCode == 2 ? 2048 : 4096;
}
