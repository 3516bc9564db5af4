// The IEEE 1212 lock functions (IEEE 1394-1995 table 6-4) as pure logic over bus-order memory:
// the target and the operands are stored most significant byte first, the arithmetic is done on
// their numeric values modulo 2^32 or 2^64, and the result goes back in bus order.
#pragma once

#include "kxplatform.h"

namespace async {

// Response codes a lock produces.
constexpr UCHAR kRcodeComplete = 0;
constexpr UCHAR kRcodeConflictError = 4;
constexpr UCHAR kRcodeDataError = 5;
constexpr UCHAR kRcodeTypeError = 6;
constexpr UCHAR kRcodeAddressError = 7;

// Bytes of the old value a lock answers with for its extended tcode and data_length: 8 for 64-bit
// operands (data_length 16, or 8 for fetch_add and little_add), else 4; 0 below 4 bytes.
[[nodiscard]] ULONG LockOldValueBytes(USHORT extendedTcode, ULONG dataLength);

// Applies the lock function to `target`: the target's current value (LockOldValueBytes of it) is
// first copied unchanged to `oldValue`, then the new value is stored. `operands` holds the request
// payload (arg_value then data_value, or data_value alone for fetch_add and little_add). Returns
// kRcodeComplete, kRcodeDataError for a data_length the function does not take (target unchanged,
// old value copied) or kRcodeTypeError for an unknown extended tcode (nothing read or written).
// `target` must hold LockOldValueBytes bytes, `oldValue` 8.
[[nodiscard]] UCHAR LockOperation(USHORT extendedTcode, const UCHAR* operands, ULONG dataLength, PUCHAR target,
                                  PUCHAR oldValue);

}  // namespace async
