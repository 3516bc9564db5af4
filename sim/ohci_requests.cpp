// What the controller does with the packets its link receives (OHCI 1.1 chapters 5, 8 and 12):
// configuration ROM reads, locks of the serial-bus resource registers and physical requests are
// answered by the hardware itself; every other request goes to the AR request context when the
// AsynchronousRequestFilter lets its source through, and every response to the AR response context.
//
// Choices where OHCI 1.1 leaves room, as this controller makes them:
// - Configuration ROM (0xFFFF_F000_0400..07FF): quadlet reads of the first five quadlets return
//   ConfigROMhdr, BusID, BusOptions, GUIDHi, GUIDLo; other quadlets and every block read come from
//   the ConfigROMmap image in host memory. Reads past the ROM, unaligned reads and block lengths
//   that are not whole quadlets get resp_address_error. Writes and locks there go to the AR request
//   context like any other request.
// - Serial-bus resource registers (0xFFFF_F000_021C..0228): a 32-bit compare_swap lock is served
//   by the CSR unit; any other lock there gets resp_type_error. Reads and writes of them go to AR.
// - Hardware-served requests are acked ack_pending; the response follows after
//   Config::responseDelay in the same generation (dropped if the bus has reset meanwhile), retried
//   on ack_busy up to ATRetries.maxPhysRespRetries. A lock response that does not end in
//   ack_complete raises lockRespErr.
// - Physical requests: read and write requests (not locks) below PhysicalUpperBound (4 GiB when it
//   is 0) from a source the PhysicalRequestFilter enables (Hi bit 31 for other buses). With
//   postedWriteEnable a write is acked ack_complete and written; a failed posted write raises
//   postedWriteErr with PostedWriteAddressHi/Lo. Otherwise ack_pending and a response
//   (resp_address_error when the host memory is not mapped). Broadcast requests are never physical.
//   The PhysicalRequestFilter is cleared by every bus reset.
// - A request from a source the AsynchronousRequestFilter does not enable (Lo bit n = local node n,
//   Hi bit n = node 32 + n, Hi bit 31 asynReqAllBuses = every source, this bus's nodes included) is
//   refused with ack_type_error and reaches no context. In the PhysicalRequestFilter, Hi bit 31
//   (physReqAllBuses) covers only nodes of other buses.
// - With linkEnable clear the link acks nothing (no ack: the sender sees a missing ack).
#include <algorithm>
#include <cstring>

#include "ar_context.h"
#include "bus.h"
#include "ohci_controller.h"
#include "ohci_regs.h"

namespace sim {

using namespace ohci;

namespace {
uint32_t BigEndian(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
void PutBigEndian(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}
constexpr uint32_t kConfigRomBytes = uint32_t(kConfigRomEnd - kConfigRomStart);
constexpr uint32_t kConfigRomRegisterQuadlets = 5;  // ConfigROMhdr, BusID, BusOptions, GUIDHi, GUIDLo
}  // namespace

Ack OhciController::ReceivePacket(const Packet& packet) {
    if (!LinkEnabled()) return kAckMissing;
    Ack ack = kAckTypeError;
    if (packet.IsResponse()) {
        ack = arResponse_->Deliver(packet);
    } else if (packet.IsRequest()) {
        const bool broadcast = (packet.DestinationId() & 0x3F) == kBroadcastPhyId;
        if (!broadcast && (ServeConfigRom(packet) || ServeCsrLock(packet))) {
            ack = kAckPending;
        } else if (!broadcast && IsPhysicalRequest(packet)) {
            ack = ServePhysical(packet);
        } else if (RequestFilterAllows(packet.SourceId())) {
            ack = arRequest_->Deliver(packet);
        }
    }
    UpdateInterruptLine();
    return ack;
}

// ---- Request filters ----

bool OhciController::FilterAllows(uint32_t hi, uint32_t lo, uint16_t sourceId) const {
    const uint16_t busId = uint16_t(sourceId >> 6);
    const uint16_t node = sourceId & 0x3F;
    const uint16_t ourBus = uint16_t((nodeId_ & node_id::kBusNumberMask) >> 6);
    if (busId != kLocalBus && busId != ourBus) return (hi & request_filter::kAllBuses) != 0;
    if (node < 32) return (lo >> node) & 1;
    if (node < 63) return (hi >> (node - 32)) & 1;
    return false;
}

// asynReqAllBuses accepts every request whatever its source bus, the local one included (drivers
// that set only this bit receive requests from the nodes of their own bus).
bool OhciController::RequestFilterAllows(uint16_t sourceId) const {
    if (asyncRequestFilterHi_ & request_filter::kAllBuses) return true;
    return FilterAllows(asyncRequestFilterHi_, asyncRequestFilterLo_, sourceId);
}

bool OhciController::PhysicalFilterAllows(uint16_t sourceId, uint64_t offset) const {
    const uint64_t upperBound = physicalUpperBound_ != 0 ? uint64_t(physicalUpperBound_) << 16 : 1ull << 32;
    return offset < upperBound && FilterAllows(physicalRequestFilterHi_, physicalRequestFilterLo_, sourceId);
}

// ---- Responses ----

uint16_t OhciController::ResponderId(const Packet& request) const {
    return uint16_t((request.DestinationId() & 0xFFC0) | phy().phyId);
}

void OhciController::SendResponseLater(const Packet& response, uint32_t generation, bool lockResponse,
                                       int retriesLeft) {
    At(host_.Now() + config_.responseDelay, [this, response, generation, lockResponse, retriesLeft] {
        if (!bus() || !LinkEnabled()) return;
        const Ack ack = bus()->SendAsync(this, response, generation);
        const bool busy = ack == kAckBusyX || ack == kAckBusyA || ack == kAckBusyB;
        if (busy && retriesLeft > 0) {
            SendResponseLater(response, generation, lockResponse, retriesLeft - 1);
            return;
        }
        if (lockResponse && ack != kAckComplete) RaiseInterrupt(int_event::kLockRespErr);
    });
}

// ---- Configuration ROM ----

// Bytes of the ROM image in host memory (big-endian quadlets, as the bus reads them).
bool OhciController::ReadConfigRomImage(uint32_t byteOffset, void* destination, uint32_t length) {
    return host_.DmaRead(configRomMap_ + byteOffset, destination, length);
}

bool OhciController::ServeConfigRom(const Packet& request) {
    const uint64_t offset = request.Offset();
    if (offset < kConfigRomStart || offset >= kConfigRomEnd) return false;
    const uint8_t tcode = request.Tcode();
    if (tcode != kTcodeReadQuadletRequest && tcode != kTcodeReadBlockRequest) return false;
    const uint32_t romOffset = uint32_t(offset - kConfigRomStart);
    const uint32_t length = tcode == kTcodeReadQuadletRequest ? 4 : request.DataLength();
    uint8_t rcode = kRcodeComplete;
    std::vector<uint8_t> bytes(length);
    if (romOffset % 4 != 0 || length % 4 != 0 || length == 0 || romOffset + length > kConfigRomBytes) {
        rcode = kRcodeAddressError;
    } else if (tcode == kTcodeReadQuadletRequest && romOffset / 4 < kConfigRomRegisterQuadlets) {
        const uint32_t registers[kConfigRomRegisterQuadlets] = {configRomHdr_, kBusIdValue, busOptions_, guidHi_,
                                                                guidLo_};
        PutBigEndian(bytes.data(), registers[romOffset / 4]);
    } else if (!ReadConfigRomImage(romOffset, bytes.data(), length)) {
        rcode = kRcodeAddressError;
    }
    Packet response = MakeResponse(request, ResponderId(request), rcode);
    if (tcode == kTcodeReadQuadletRequest) {
        response.header[3] = rcode == kRcodeComplete ? BigEndian(bytes.data()) : 0;
    } else if (rcode == kRcodeComplete) {
        response.SetDataLengthAndExtendedTcode(uint16_t(length), 0);
        response.data = std::move(bytes);
    }
    SendResponseLater(response, bus() ? bus()->Generation() : 0, false,
                      int(at_retries::MaxPhysRespRetries(atRetries_)));
    return true;
}

// ---- Serial-bus resource registers ----

bool OhciController::ServeCsrLock(const Packet& request) {
    const uint64_t offset = request.Offset();
    if (request.Tcode() != kTcodeLockRequest || offset < kCsrBusManagerId || offset > kCsrChannelsAvailableLo ||
        offset % 4 != 0) {
        return false;
    }
    const uint32_t select = uint32_t(offset - kCsrBusManagerId) / 4;
    Packet response;
    if (request.ExtendedTcode() == kLockCompareSwap && request.DataLength() == 8 && request.data.size() >= 8) {
        const uint32_t old = CsrCompareSwap(select, BigEndian(&request.data[0]), BigEndian(&request.data[4]));
        response = MakeResponse(request, ResponderId(request), kRcodeComplete);
        response.SetDataLengthAndExtendedTcode(4, kLockCompareSwap);
        response.data.resize(4);
        PutBigEndian(response.data.data(), old);
    } else {
        response = MakeResponse(request, ResponderId(request), kRcodeTypeError);
    }
    SendResponseLater(response, bus() ? bus()->Generation() : 0, true,
                      int(at_retries::MaxPhysRespRetries(atRetries_)));
    return true;
}

// ---- Physical requests (OHCI 1.1 chapter 12) ----

bool OhciController::IsPhysicalRequest(const Packet& request) const {
    const uint8_t tcode = request.Tcode();
    if (tcode != kTcodeWriteQuadletRequest && tcode != kTcodeWriteBlockRequest &&
        tcode != kTcodeReadQuadletRequest && tcode != kTcodeReadBlockRequest) {
        return false;
    }
    return PhysicalFilterAllows(request.SourceId(), request.Offset());
}

Ack OhciController::ServePhysical(const Packet& request) {
    const uint8_t tcode = request.Tcode();
    const uint64_t offset = request.Offset();
    const bool fits32 = offset <= 0xFFFFFFFFull;
    const uint32_t address = uint32_t(offset);
    const uint32_t generation = bus() ? bus()->Generation() : 0;
    const int retries = int(at_retries::MaxPhysRespRetries(atRetries_));
    if (tcode == kTcodeWriteQuadletRequest || tcode == kTcodeWriteBlockRequest) {
        std::vector<uint8_t> bytes;
        if (tcode == kTcodeWriteQuadletRequest) {
            bytes.resize(4);
            PutBigEndian(bytes.data(), request.QuadletData());
        } else {
            bytes.assign(request.data.begin(), request.data.begin() + std::min<size_t>(request.data.size(),
                                                                                      request.DataLength()));
        }
        const bool written = fits32 && host_.DmaWrite(address, bytes.data(), uint32_t(bytes.size()));
        if (hcControl_ & hc_control::kPostedWriteEnable) {
            if (!written) {
                postedWriteAddressHi_ = (uint32_t(request.SourceId()) << 16) | uint32_t((offset >> 32) & 0xFFFF);
                postedWriteAddressLo_ = uint32_t(offset);
                RaiseInterrupt(int_event::kPostedWriteErr);
            }
            return kAckComplete;
        }
        SendResponseLater(MakeResponse(request, ResponderId(request), written ? kRcodeComplete : kRcodeAddressError),
                          generation, false, retries);
        return kAckPending;
    }
    const uint32_t length = tcode == kTcodeReadQuadletRequest ? 4 : request.DataLength();
    std::vector<uint8_t> bytes(length);
    const bool read = fits32 && (length == 0 || host_.DmaRead(address, bytes.data(), length));
    Packet response = MakeResponse(request, ResponderId(request), read ? kRcodeComplete : kRcodeAddressError);
    if (tcode == kTcodeReadQuadletRequest) {
        response.header[3] = read ? BigEndian(bytes.data()) : 0;
    } else if (read) {
        response.SetDataLengthAndExtendedTcode(uint16_t(length), 0);
        response.data = std::move(bytes);
    }
    SendResponseLater(response, generation, false, retries);
    return kAckPending;
}

}  // namespace sim
