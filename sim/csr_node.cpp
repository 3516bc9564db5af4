// A plain node: configuration ROM, CSR registers and the responder side of the transaction layer.
#include "csr_node.h"

#include "bus.h"

namespace sim {

namespace {

constexpr uint64_t kOffsetMask = 0xFFFFFFFFFFFFull;

uint64_t Swap64(uint64_t v) { return __builtin_bswap64(v); }

uint64_t ReadOperand(const std::vector<uint8_t>& bytes, size_t at, bool wide) {
    uint64_t v = BigEndianQuadlet(&bytes[at]);
    if (wide) v = (v << 32) | BigEndianQuadlet(&bytes[at + 4]);
    return v;
}

// little_add works on the operands as little-endian numbers of the operand width.
uint64_t LittleAdd(uint64_t old, uint64_t data, bool wide) {
    if (wide) return Swap64(Swap64(old) + Swap64(data));
    return __builtin_bswap32(uint32_t(__builtin_bswap32(uint32_t(old)) + __builtin_bswap32(uint32_t(data))));
}

}  // namespace

uint32_t BigEndianQuadlet(const uint8_t* b) {
    return (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3];
}

void AppendBigEndianQuadlet(std::vector<uint8_t>* bytes, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes->push_back(uint8_t(value >> shift));
}

bool LockHasArgument(uint16_t extendedTcode) {
    return extendedTcode == kLockMaskSwap || extendedTcode == kLockCompareSwap || extendedTcode == kLockBoundedAdd ||
           extendedTcode == kLockWrapAdd;
}

bool LockResult(uint16_t extendedTcode, uint64_t old, uint64_t arg, uint64_t data, bool wide, uint64_t* result) {
    const uint64_t mask = wide ? ~0ull : 0xFFFFFFFFull;
    uint64_t r;
    switch (extendedTcode) {
    case kLockMaskSwap: r = data | (old & ~arg); break;
    case kLockCompareSwap: r = old == arg ? data : old; break;
    case kLockFetchAdd: r = old + data; break;
    case kLockLittleAdd: r = LittleAdd(old, data, wide); break;
    case kLockBoundedAdd: r = old != arg ? old + data : old; break;
    case kLockWrapAdd: r = old != arg ? old + data : data; break;
    default: return false;
    }
    *result = r & mask;
    return true;
}

CsrNode::CsrNode(std::string name, int ports, Speed speed, ConfigRom rom)
    : Node(std::move(name), ports, speed), rom_(std::move(rom)) {}

CsrNode::~CsrNode() {
    if (clock_)
        for (uint64_t id : pending_) clock_->Cancel(id);
}

void CsrNode::DefineRegister(uint64_t offset, uint32_t initial, uint8_t access) {
    Register r;
    r.value = initial;
    r.access = access;
    registers_[offset & kOffsetMask] = r;
}

void CsrNode::RemoveRegister(uint64_t offset) { registers_.erase(offset & kOffsetMask); }

uint32_t CsrNode::RegisterValue(uint64_t offset) const {
    auto it = registers_.find(offset & kOffsetMask);
    return it == registers_.end() ? 0 : it->second.value;
}

void CsrNode::SetRegisterValue(uint64_t offset, uint32_t value) {
    auto it = registers_.find(offset & kOffsetMask);
    if (it != registers_.end()) it->second.value = value;
}

// ---- The core registers (IEEE 1212 8.3.2, IEEE 1394-1995 8.3.2.2)

static bool IsCoreRegister(uint64_t offset) {
    return offset == csr::kStateClear || offset == csr::kStateSet || offset == csr::kNodeIds ||
           offset == csr::kResetStart || offset == csr::kSplitTimeoutHi || offset == csr::kSplitTimeoutLo;
}

bool CsrNode::ReadCore(uint64_t offset, uint32_t* value, uint8_t* rcode) const {
    *rcode = kRcodeComplete;
    switch (offset) {
    case csr::kStateClear:
    case csr::kStateSet: *value = state_; return true;
    case csr::kNodeIds: *value = uint32_t(NodeId()) << 16; return true;
    case csr::kResetStart: *rcode = kRcodeTypeError; return true;  // write-only
    case csr::kSplitTimeoutHi: *value = splitTimeoutHi_; return true;
    case csr::kSplitTimeoutLo: *value = splitTimeoutLo_; return true;
    default: return false;
    }
}

bool CsrNode::WriteCore(uint64_t offset, uint32_t value, uint8_t* rcode) {
    *rcode = kRcodeComplete;
    // cmstr is writable only on a cycle-master-capable node.
    const uint32_t writable = csr::kStateAbdicate | (rom_.Options().cmc ? csr::kStateCmstr : 0);
    switch (offset) {
    case csr::kStateClear: state_ &= ~(value & writable); return true;
    case csr::kStateSet: state_ |= value & writable; return true;
    case csr::kNodeIds: return true;  // offset_ID is the physical ID; bus_ID stays 0x3FF here
    case csr::kResetStart: CommandReset(); return true;
    case csr::kSplitTimeoutHi: splitTimeoutHi_ = value & 0x7; return true;
    case csr::kSplitTimeoutLo: splitTimeoutLo_ = value & 0xFFF80000; return true;
    default: return false;
    }
}

void CsrNode::CommandReset() {
    state_ = 0;
    splitTimeoutHi_ = 0;
    splitTimeoutLo_ = csr::kSplitTimeoutLoDefault;
}

// ---- The CSR space

uint8_t CsrNode::ReadQuadlet(uint64_t offset, uint32_t* value) {
    uint8_t rcode = kRcodeComplete;
    if (ReadCore(offset, value, &rcode)) return rcode;
    auto it = registers_.find(offset);
    if (it == registers_.end()) return kRcodeAddressError;
    if (!(it->second.access & kRead)) return kRcodeTypeError;
    *value = it->second.value;
    return kRcodeComplete;
}

uint8_t CsrNode::WriteQuadlet(uint64_t offset, uint32_t value) {
    uint8_t rcode = kRcodeComplete;
    if (WriteCore(offset, value, &rcode)) return rcode;
    auto it = registers_.find(offset);
    if (it == registers_.end()) return kRcodeAddressError;
    if (!(it->second.access & kWrite)) return kRcodeTypeError;
    it->second.value = value;
    return kRcodeComplete;
}

uint8_t CsrNode::ReadBlock(uint64_t offset, uint32_t length, std::vector<uint8_t>* data) {
    if (length % 4 != 0) return kRcodeTypeError;
    data->clear();
    for (uint32_t i = 0; i < length; i += 4) {
        uint32_t q = 0;
        uint8_t rcode = ReadQuadlet(offset + i, &q);
        if (rcode != kRcodeComplete) return rcode;
        AppendBigEndianQuadlet(data, q);
    }
    return kRcodeComplete;
}

uint8_t CsrNode::WriteBlock(uint64_t offset, const std::vector<uint8_t>& data) {
    if (data.size() % 4 != 0) return kRcodeTypeError;
    // Check every quadlet first: a block write that fails changes nothing.
    for (size_t i = 0; i < data.size(); i += 4) {
        if (IsCoreRegister(offset + i)) continue;
        auto it = registers_.find(offset + i);
        if (it == registers_.end()) return kRcodeAddressError;
        if (!(it->second.access & kWrite)) return kRcodeTypeError;
    }
    for (size_t i = 0; i < data.size(); i += 4) {
        uint8_t rcode = WriteQuadlet(offset + i, BigEndianQuadlet(&data[i]));
        if (rcode != kRcodeComplete) return rcode;
    }
    return kRcodeComplete;
}

uint8_t CsrNode::Lock(uint64_t offset, uint16_t extendedTcode, const std::vector<uint8_t>& operands,
                      std::vector<uint8_t>* old) {
    const bool hasArg = LockHasArgument(extendedTcode);
    const size_t size = operands.size();
    bool wide;
    if (size == (hasArg ? 8u : 4u)) wide = false;
    else if (size == (hasArg ? 16u : 8u)) wide = true;
    else return kRcodeTypeError;
    if (offset % (wide ? 8 : 4) != 0) return kRcodeAddressError;
    const int quadlets = wide ? 2 : 1;
    for (int i = 0; i < quadlets; ++i) {
        auto it = registers_.find(offset + 4 * i);
        if (it == registers_.end()) return kRcodeAddressError;
        if ((it->second.access & (kLock | kRead)) != (kLock | kRead)) return kRcodeTypeError;
    }
    uint64_t current = registers_[offset].value;
    if (wide) current = (current << 32) | registers_[offset + 4].value;
    const size_t width = wide ? 8 : 4;
    uint64_t arg = hasArg ? ReadOperand(operands, 0, wide) : 0;
    uint64_t data = ReadOperand(operands, hasArg ? width : 0, wide);
    uint64_t result = 0;
    if (!LockResult(extendedTcode, current, arg, data, wide, &result)) return kRcodeTypeError;
    old->clear();
    if (wide) {
        AppendBigEndianQuadlet(old, uint32_t(current >> 32));
        AppendBigEndianQuadlet(old, uint32_t(current));
        registers_[offset].value = uint32_t(result >> 32);
        registers_[offset + 4].value = uint32_t(result);
    } else {
        AppendBigEndianQuadlet(old, uint32_t(current));
        registers_[offset].value = uint32_t(result);
    }
    return kRcodeComplete;
}

// ---- The transaction layer

uint8_t CsrNode::ReadRom(const Packet& request, Packet* response) {
    const uint32_t byteOffset = uint32_t(request.Offset() - rom::kRomBase);
    if (request.Tcode() == kTcodeReadQuadletRequest) {
        if (byteOffset % 4 != 0 || !rom_.Has(byteOffset / 4)) return kRcodeAddressError;
        response->header[3] = rom_.Quadlet(byteOffset / 4);
        return kRcodeComplete;
    }
    // Block reads as far as max_ROM allows (IEEE 1394a 8.3.2.5.4): 0 quadlet reads only,
    // 1 blocks up to 64 bytes, 2 up to the whole kilobyte.
    const uint32_t length = request.DataLength();
    const uint8_t maxRom = rom_.Options().maxRom;
    const uint32_t limit = maxRom == 1 ? 64 : maxRom == 2 ? rom::kRomBytes : 0;
    if (length == 0 || length > limit || byteOffset % 4 != 0) return kRcodeTypeError;
    if (!rom_.ReadBytes(byteOffset, length, &response->data)) return kRcodeAddressError;
    return kRcodeComplete;
}

static bool InRom(uint64_t offset) { return offset >= rom::kRomBase && offset < rom::kRomBase + rom::kRomBytes; }

// The IRM registers (irm.h): quadlet reads and 32-bit compare_swap locks, on a contender only.
bool CsrNode::IrmRequest(const Packet& request, Packet* response, uint8_t* rcode) {
    const uint64_t offset = request.Offset();
    if (offset < irm::kFirstOffset || offset >= irm::kFirstOffset + 16) return false;
    if (offset % 4 != 0 || !phy().contender) {
        *rcode = kRcodeAddressError;
        return true;
    }
    const int reg = int((offset - irm::kFirstOffset) / 4);
    *rcode = kRcodeComplete;
    switch (request.Tcode()) {
    case kTcodeReadQuadletRequest:
        response->header[3] = irm_[reg];
        return true;
    case kTcodeLockRequest:
        if (request.ExtendedTcode() != kLockCompareSwap || request.data.size() != 8 || request.DataLength() != 8) {
            *rcode = kRcodeTypeError;
            return true;
        }
        AppendBigEndianQuadlet(&response->data, irm::CompareSwap(irm_, reg, BigEndianQuadlet(&request.data[0]),
                                                                 BigEndianQuadlet(&request.data[4])));
        return true;
    default:
        *rcode = kRcodeTypeError;
        return true;
    }
}

void CsrNode::OnBusResetStart() {
    irm_[irm::kBusManagerId] = irm::kBusManagerIdNone;
    irm_[irm::kBandwidthAvailable] = irm::kBandwidthInitial;
    irm_[irm::kChannelsAvailableHi] = irm_[irm::kChannelsAvailableLo] = irm::kChannelsInitial;
}

void CsrNode::OnSelfIdComplete(const std::vector<uint32_t>& selfIds) {
    (void)selfIds;
    if (!phy().isRoot) state_ &= ~csr::kStateCmstr;
}

void CsrNode::SetCycleMaster(bool on) {
    if (on && rom_.Options().cmc)
        state_ |= csr::kStateCmstr;
    else
        state_ &= ~csr::kStateCmstr;
    if (bus()) bus()->CycleDemandChanged();
}

uint8_t CsrNode::Dispatch(const Packet& request, Packet* response) {
    const uint64_t offset = request.Offset();
    const uint8_t tcode = request.Tcode();
    uint8_t irmRcode = kRcodeComplete;
    if (IrmRequest(request, response, &irmRcode)) return irmRcode;
    if (InRom(offset)) {
        // The ROM is read-only (IEEE 1212 7.1).
        if (tcode == kTcodeReadQuadletRequest || tcode == kTcodeReadBlockRequest) return ReadRom(request, response);
        return kRcodeTypeError;
    }
    if (tcode == kTcodeLockRequest) return Lock(offset, request.ExtendedTcode(), request.data, &response->data);
    if (offset % 4 != 0) return kRcodeAddressError;
    switch (tcode) {
    case kTcodeReadQuadletRequest: {
        uint32_t value = 0;
        uint8_t rcode = ReadQuadlet(offset, &value);
        response->header[3] = value;
        return rcode;
    }
    case kTcodeReadBlockRequest: return ReadBlock(offset, request.DataLength(), &response->data);
    case kTcodeWriteQuadletRequest: return WriteQuadlet(offset, request.QuadletData());
    case kTcodeWriteBlockRequest: return WriteBlock(offset, request.data);
    default: return kRcodeTypeError;
    }
}

// An error response carries no data (IEEE 1394-1995 6.2.4.4: data_length 0).
static void ClearResponseData(Packet* response) {
    response->data.clear();
    if (response->Tcode() == kTcodeReadQuadletResponse) response->header[3] = 0;
}

Packet CsrNode::Execute(const Packet& request) {
    Packet response = MakeResponse(request, NodeId(), kRcodeComplete);
    uint8_t rcode = Dispatch(request, &response);
    response.SetRcode(rcode);
    if (rcode != kRcodeComplete) ClearResponseData(&response);
    if (response.Tcode() == kTcodeReadBlockResponse || response.Tcode() == kTcodeLockResponse)
        response.SetDataLengthAndExtendedTcode(uint16_t(response.data.size()), response.ExtendedTcode());
    return response;
}

bool CsrNode::WritesInAck(const Packet& request) const {
    return unifiedWrites &&
           (request.Tcode() == kTcodeWriteQuadletRequest || request.Tcode() == kTcodeWriteBlockRequest);
}

static Ack AckForRcode(uint8_t rcode) {
    switch (rcode) {
    case kRcodeComplete: return kAckComplete;
    case kRcodeAddressError: return kAckAddressError;
    case kRcodeDataError: return kAckDataError;
    default: return kAckTypeError;
    }
}

Ack CsrNode::ReceivePacket(const Packet& packet) {
    if (packet.IsResponse()) return kAckComplete;  // nothing outstanding: accepted and discarded
    if (!packet.IsRequest()) return kAckTypeError;
    if (faults.busyAcks > 0) {
        --faults.busyAcks;
        return faults.busyAck;
    }
    if (faults.dataErrorAcks > 0 ||
        (packet.Tcode() == kTcodeWriteBlockRequest && packet.data.size() != packet.DataLength())) {
        if (faults.dataErrorAcks > 0) --faults.dataErrorAcks;
        return kAckDataError;
    }
    ++stats_.requests;
    const bool broadcast = (packet.DestinationId() & 0x3F) == kBroadcastPhyId;
    Packet response = Execute(packet);
    if (broadcast) return kAckComplete;  // broadcast requests get no response
    if (WritesInAck(packet)) return AckForRcode(response.Rcode());
    if (faults.lostResponses > 0) {
        --faults.lostResponses;
        return kAckPending;
    }
    if (faults.errorResponses > 0) {
        --faults.errorResponses;
        response.SetRcode(faults.errorRcode);
        ClearResponseData(&response);
        if (response.Tcode() == kTcodeReadBlockResponse || response.Tcode() == kTcodeLockResponse)
            response.SetDataLengthAndExtendedTcode(0, response.ExtendedTcode());
    }
    Ticks delay = responseDelay;
    if (faults.lateResponses > 0) {
        --faults.lateResponses;
        delay = faults.lateDelay;
    }
    ScheduleResponse(std::move(response), delay, responseRetries);
    return kAckPending;
}

void CsrNode::ScheduleResponse(Packet response, Ticks delay, int retriesLeft) {
    if (!bus()) return;
    clock_ = &bus()->clock();
    const uint32_t generation = bus()->Generation();
    // The id is known only once scheduled: the event looks itself up through a shared slot.
    auto slot = std::make_shared<uint64_t>(0);
    uint64_t id = clock_->Schedule(clock_->Now() + delay, [this, slot, generation, response, retriesLeft] {
        SendResponse(*slot, generation, response, retriesLeft);
    });
    *slot = id;
    pending_.insert(id);
}

void CsrNode::SendResponse(uint64_t id, uint32_t generation, const Packet& response, int retriesLeft) {
    pending_.erase(id);
    // A response belongs to the generation of its request: after a bus reset the requester has
    // forgotten the transaction and the node IDs may name other nodes.
    if (!bus() || !Connected() || bus()->InReset() || bus()->Generation() != generation) {
        ++stats_.responsesDropped;
        return;
    }
    Ack ack = bus()->SendAsync(this, response);
    stats_.lastResponseAck = ack;
    ++stats_.responsesSent;
    if ((ack == kAckBusyX || ack == kAckBusyA || ack == kAckBusyB) && retriesLeft > 0)
        ScheduleResponse(response, responseRetryDelay, retriesLeft - 1);
}

}  // namespace sim
