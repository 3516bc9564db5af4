// Conversion between bus order (IEEE 1394 quadlets are big-endian on the wire and in the
// configuration ROM, topology map and speed map images) and host order. Every conversion of
// bus-order data goes through these two routines.
#pragma once

#include "kxplatform.h"

inline ULONG BusToHost32(ULONG busOrder) { return RtlUlongByteSwap(busOrder); }
inline ULONG HostToBus32(ULONG hostOrder) { return RtlUlongByteSwap(hostOrder); }
