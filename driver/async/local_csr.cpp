// The node's own CSR space as requests reach the driver (IEEE 1212, IEEE 1394 8.3.2): reads of the
// configuration ROM and the TOPOLOGY_MAP, SPLIT_TIMEOUT_HI and _LO, and the serial-bus resource
// registers through the link's compare-swap unit. Remote reads of the ROM and locks of the
// resource registers are answered by the link itself; what arrives here is what it passes on and
// the node's own requests through loopback.
#include "async_packet.h"
#include "incoming.h"

#include "core/controller.h"
#include "lock_operation.h"
#include "ohci/ohci_registers.h"
#include "packet_format.h"

namespace {

constexpr ULONGLONG kCsrBase = 0xFFFFF0000000ull;
constexpr ULONGLONG kSplitTimeoutHi = kCsrBase + 0x018;
constexpr ULONGLONG kSplitTimeoutLo = kCsrBase + 0x01C;
constexpr ULONGLONG kBusManagerId = kCsrBase + 0x21C;
constexpr ULONGLONG kChannelsAvailableLo = kCsrBase + 0x228;
constexpr ULONGLONG kConfigRomStart = kCsrBase + 0x400;
constexpr ULONGLONG kConfigRomEnd = kCsrBase + 0x7FF;
constexpr ULONGLONG kTopologyMapStart = kCsrBase + 0x1000;
constexpr ULONGLONG kTopologyMapEnd = kCsrBase + 0x13FF;

// A SPLIT_TIMEOUT pair a write may leave: at most 256.023 seconds.
constexpr ULONG kSplitTimeoutLimitMs = 256023;
constexpr ULONG kSplitTimeoutHiLimit = 256;
constexpr ULONG kSplitTimeoutLoReserved = 0x7FFFF;  // bits 18:0

bool IsRead(UCHAR tcode) { return tcode == async::kTcodeReadQuadlet || tcode == async::kTcodeReadBlock; }

// Bytes of one of the node's images, copied unchanged into the response.
LONG CopyImage(const IncomingRequest* r, const void* image, ULONGLONG imageOffset) {
    if (image == nullptr || r->Length > r->ResponseDataBytes) return async::kRcodeTypeError;
    RtlCopyMemory(r->ResponseData, static_cast<const UCHAR*>(image) + imageOffset, r->Length);
    return async::kRcodeComplete;
}

LONG ServeConfigRom(OhciController* controller, const IncomingRequest* r) {
    if (!IsRead(r->Tcode)) return async::kRcodeTypeError;
    return CopyImage(r, controller->ConfigRom.Virtual, r->Offset - kConfigRomStart);
}

LONG ServeTopologyMap(OhciController* controller, const IncomingRequest* r) {
    ULONGLONG within = r->Offset - kTopologyMapStart;
    if (r->Tcode == async::kTcodeReadQuadlet) {
        if ((within & 3) != 0) return async::kRcodeAddressError;
    } else if (r->Tcode != async::kTcodeReadBlock || within + r->Length > kTopologyMapImageBytes) {
        return async::kRcodeTypeError;
    }
    return CopyImage(r, controller->TopologyMapImage, within);
}

// SPLIT_TIMEOUT_HI and _LO: read as they stand, written when the pair stays within the limit.
LONG ServeSplitTimeout(OhciController* controller, const IncomingRequest* r, bool high) {
    bool write = r->Tcode == async::kTcodeWriteQuadlet;
    if (!write && r->Tcode != async::kTcodeReadQuadlet) return async::kRcodeTypeError;
    LocalCsrValues* csr = &controller->LocalCsr;
    LONG rcode = async::kRcodeComplete;
    KIRQL irql;
    KeAcquireSpinLock(&controller->TopologyLock, &irql);
    if (!write) {
        async::StoreBus32(r->ResponseData, high ? csr->SplitTimeoutHi : csr->SplitTimeoutLo);
    } else {
        ULONG value = async::LoadBus32(r->RequestData);
        ULONG hi = high ? value : csr->SplitTimeoutHi;
        ULONG lo = high ? csr->SplitTimeoutLo : value;
        bool fits = high ? value < kSplitTimeoutHiLimit : (value & kSplitTimeoutLoReserved) == 0;
        // hi is below 2^32 / 1000 whenever it fits, so the product does not wrap.
        if (fits && hi < kSplitTimeoutHiLimit && ULONGLONG(hi) * 1000 + (lo >> 22) <= kSplitTimeoutLimitMs) {
            (high ? csr->SplitTimeoutHi : csr->SplitTimeoutLo) = value;
            NoteSplitTimeout(controller, csr->SplitTimeoutHi, csr->SplitTimeoutLo);
        } else {
            rcode = async::kRcodeDataError;
        }
    }
    KeReleaseSpinLock(&controller->TopologyLock, irql);
    return rcode;
}

// BUS_MANAGER_ID, BANDWIDTH_AVAILABLE, CHANNELS_AVAILABLE_HI and _LO through the compare-swap unit:
// a quadlet read swaps 0 for 0, a 32-bit compare_swap swaps data_value for arg_value.
LONG ServeResourceRegister(OhciController* controller, const IncomingRequest* r) {
    ULONG newValue = 0, compare = 0;
    if (r->Tcode == async::kTcodeLockRequest) {
        if (r->Kind != async::kCompareSwap || r->Length != 8) return async::kRcodeTypeError;
        compare = async::LoadBus32(r->RequestData);
        newValue = async::LoadBus32(r->RequestData + 4);
    } else if (r->Tcode != async::kTcodeReadQuadlet) {
        return async::kRcodeTypeError;
    }
    ULONG value = ULONG(r->Offset - kBusManagerId) / 4;
    // A unit that never reports done is read anyway once the poll gives up.
    if (!NT_SUCCESS(CsrCompareSwap(controller, &value, newValue, compare)))
        value = ReadRegisterValue(controller, ohci::kCSRReadData);
    async::StoreBus32(r->ResponseData, value);
    return async::kRcodeComplete;
}

}  // namespace

LONG ServeLocalCsr(OhciController* controller, const IncomingRequest* r) {
    ULONG length = 0;
    switch (r->Tcode) {
    case async::kTcodeWriteQuadlet:
    case async::kTcodeReadQuadlet: length = 4; break;
    case async::kTcodeWriteBlock:
    case async::kTcodeReadBlock:
    case async::kTcodeLockRequest: length = r->Length; break;
    default: return async::kRcodeTypeError;
    }
    ULONGLONG offset = r->Offset;
    ULONGLONG last = length == 0 ? offset : offset + length - 1;
    if (offset >= kConfigRomStart && last <= kConfigRomEnd) return ServeConfigRom(controller, r);
    if (offset >= kTopologyMapStart && offset <= kTopologyMapEnd) return ServeTopologyMap(controller, r);
    if (offset == kSplitTimeoutHi || offset == kSplitTimeoutLo)
        return ServeSplitTimeout(controller, r, offset == kSplitTimeoutHi);
    if (offset >= kBusManagerId && offset <= kChannelsAvailableLo && (offset & 3) == 0)
        return ServeResourceRegister(controller, r);
    return async::kRcodeAddressError;
}
