#include "lock_operation.h"

#include "packet_format.h"

namespace async {

namespace {

ULONGLONG LoadBus(const UCHAR* p, ULONG bytes) {
    ULONGLONG value = 0;
    for (ULONG i = 0; i < bytes; ++i) value = (value << 8) | p[i];
    return value;
}

void StoreBus(PUCHAR p, ULONG bytes, ULONGLONG value) {
    for (ULONG i = bytes; i-- > 0;) {
        p[i] = UCHAR(value);
        value >>= 8;
    }
}

bool KnownFunction(USHORT extendedTcode) { return extendedTcode >= kMaskSwap && extendedTcode <= kWrapAdd; }

// The data_length the function takes with operands of `width` bytes.
ULONG ValidLength(USHORT extendedTcode, ULONG width) { return LockSendsDataOnly(extendedTcode) ? width : 2 * width; }

}  // namespace

ULONG LockOldValueBytes(USHORT extendedTcode, ULONG dataLength) {
    if (dataLength < 4) return 0;
    bool wide = dataLength >= 16 || (dataLength >= 8 && LockSendsDataOnly(extendedTcode));
    return wide ? 8 : 4;
}

UCHAR LockOperation(USHORT extendedTcode, const UCHAR* operands, ULONG dataLength, PUCHAR target, PUCHAR oldValue) {
    if (!KnownFunction(extendedTcode)) return kRcodeTypeError;
    ULONG width = LockOldValueBytes(extendedTcode, dataLength);
    if (width == 0) return kRcodeDataError;
    RtlCopyMemory(oldValue, target, width);
    if (dataLength != ValidLength(extendedTcode, width)) return kRcodeDataError;
    ULONGLONG mask = width == 8 ? ~0ull : 0xFFFFFFFFull;
    ULONGLONG old = LoadBus(target, width);
    bool dataOnly = LockSendsDataOnly(extendedTcode);
    ULONGLONG arg = dataOnly ? 0 : LoadBus(operands, width);
    ULONGLONG data = LoadBus(operands + (dataOnly ? 0 : width), width);
    ULONGLONG updated = old;
    switch (extendedTcode) {
    case kMaskSwap: updated = (old & ~arg) | (data & arg); break;
    case kCompareSwap: updated = old == arg ? data : old; break;
    // little_add is fetch_add on the bus-order values: the bytes are not read as little-endian.
    case kFetchAdd:
    case kLittleAdd: updated = old + data; break;
    case kBoundedAdd: updated = old == arg ? old : old + data; break;
    case kWrapAdd: updated = old == arg ? data : old + data; break;
    default: break;
    }
    StoreBus(target, width, updated & mask);
    return kRcodeComplete;
}

}  // namespace async
