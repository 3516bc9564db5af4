// Asynchronous transmit (OHCI 1.1 chapter 7).
//
// Model choices, in the hardware's terms:
// - One packet at a time. A packet goes out at the first clock event after run or wake, the next
//   one when the previous has taken its time on the bus (kPacketOverheadTicks plus its bits at
//   its speed). The ack comes back with the packet.
// - A block is Z 16-byte slots at CommandPtr: an *-Immediate descriptor holding the packet header
//   first, then OUTPUT_MORE descriptors and an OUTPUT_LAST, or an OUTPUT_LAST-Immediate alone. A
//   block that breaks these rules (cmd, key, b, reqCount of the header, Z not counting the slots
//   exactly) kills the context with evt_unknown; a host error reading descriptors kills it with
//   evt_descriptor_read, reading data with evt_data_read, writing status with evt_unknown. A
//   context that dies raises IntEvent.unrecoverableError.
// - A tcode the context may not send, or a header size that does not belong to the tcode,
//   completes the block with evt_tcode_err and sends nothing.
// - A data block whose size differs from the header's data_length (or data behind a packet that
//   has none) reaches the receiver as a bad packet: the block completes with ack_data_error.
// - Busy acks are retried (retry_X) up to ATRetries.maxATReqRetries / maxATRespRetries times; the
//   block then completes with the last busy ack. The dual-phase time limit is not modelled.
// - A response whose expiry (timeStamp of its first descriptor) has passed completes with
//   evt_timeout unsent. "Passed" means the cycle timer is less than 4 s past it (modulo 8 s).
// - While IntEvent.busReset is set every block completes with evt_flushed unsent; a packet
//   waiting for a retry at the start of a reset is flushed as well.
// - PHY packets (tcode 0xE) complete with ack_complete; one whose third quadlet is not the
//   inverse of the second is not seen by any PHY. Asynchronous stream packets (tcode 0xA)
//   complete with ack_complete (they have no ack) and reach every listening link on the bus
//   through asynchronous arbitration, outside the cycle's isochronous bandwidth (IEEE 1394a 8.3.2).
// - Without link enable or a bus, a packet completes with evt_missing_ack.
// - The i field of the last descriptor: 3 raises reqTxComplete / respTxComplete always, 1 only
//   when the packet was not acked complete or pending, 2 only when it was, 0 never.
#include "at_context.h"

#include <array>

#include "bus.h"
#include "dma_descriptor.h"
#include "ohci_controller.h"

namespace sim {

namespace {

// IntEvent bits (OHCI 1.1 6.1).
constexpr uint32_t kReqTxComplete = 1u << 0;
constexpr uint32_t kRespTxComplete = 1u << 1;
constexpr uint32_t kUnrecoverableError = 1u << 24;

// ATRetries (OHCI 1.1 5.4): maxATRespRetries 7:4, maxATReqRetries 3:0.
int MaxRetries(uint32_t atRetries, AtContext::Kind kind) {
    return kind == AtContext::Kind::kRequest ? int(atRetries & 0xF) : int((atRetries >> 4) & 0xF);
}

// The immediate header of an asynchronous transmit packet (OHCI 1.1 7.8): q0 srcBusID 23,
// spd 18:16, tLabel 15:10, rt 9:8, tCode 7:4; q1 destinationID 31:16 and destinationOffsetHigh
// (requests) or rCode 15:12 (responses); q2 destinationOffsetLow; q3 quadlet data or
// dataLength 31:16 | extendedTcode 15:0. Stream: q0 spd, tag, chanNum, tcode, sy; q1 dataLength
// 31:16. PHY: q0 tcode 0xE; q1 the PHY quadlet; q2 its inverse.
namespace at_header {
uint8_t Tcode(uint32_t q0) { return uint8_t((q0 >> 4) & 0xF); }
uint8_t Spd(uint32_t q0) { return uint8_t((q0 >> 16) & 0x7); }
bool SrcBusId(uint32_t q0) { return (q0 >> 23) & 1; }
uint16_t DestinationId(uint32_t q1) { return uint16_t(q1 >> 16); }
uint16_t RequestOffsetHigh(uint32_t q1) { return uint16_t(q1 & 0xFFFF); }
uint8_t Rcode(uint32_t q1) { return uint8_t((q1 >> 12) & 0xF); }
uint16_t StreamDataLength(uint32_t q1) { return uint16_t(q1 >> 16); }
}  // namespace at_header

constexpr uint8_t kTcodeStream = kTcodeIsochronousBlock;

// Header bytes of the immediate descriptor for each tcode a context sends; 0: not sent by it.
uint32_t HeaderBytes(uint8_t tcode, AtContext::Kind kind) {
    if (kind == AtContext::Kind::kRequest) {
        switch (tcode) {
        case kTcodeWriteQuadletRequest:
        case kTcodeWriteBlockRequest:
        case kTcodeReadBlockRequest:
        case kTcodeLockRequest:
            return 16;
        case kTcodeReadQuadletRequest:
        case kTcodePhy:
            return 12;
        case kTcodeStream:
            return 8;
        default:
            return 0;
        }
    }
    switch (tcode) {
    case kTcodeReadQuadletResponse:
    case kTcodeReadBlockResponse:
    case kTcodeLockResponse:
        return 16;
    case kTcodeWriteResponse:
        return 12;
    default:
        return 0;
    }
}

bool HasQuadletData(uint8_t tcode) { return tcode == kTcodeWriteQuadletRequest || tcode == kTcodeReadQuadletResponse; }
bool HasDataBlock(uint8_t tcode) {
    return tcode == kTcodeWriteBlockRequest || tcode == kTcodeReadBlockResponse || tcode == kTcodeLockRequest ||
           tcode == kTcodeLockResponse || tcode == kTcodeStream;
}

uint32_t ByteSwap(uint32_t v) { return (v >> 24) | ((v >> 8) & 0xFF00) | ((v << 8) & 0xFF0000) | (v << 24); }

// Time on the bus: header and its CRC, data and its CRC, at 98.304 Mbit/s << spd (about ten
// bits per 100 ns tick at S100).
Ticks WireTime(uint32_t headerBytes, size_t dataBytes, uint8_t spd) {
    uint64_t bytes = headerBytes + 4 + (dataBytes ? ((dataBytes + 3) & ~size_t(3)) + 4 : 0);
    uint64_t bitsPerTick = uint64_t(10) << spd;
    return AtContext::kPacketOverheadTicks + (bytes * 8 + bitsPerTick - 1) / bitsPerTick;
}

}  // namespace

struct AtContext::Block {
    std::array<uint32_t, 4> header{};  // the immediate quadlets as host memory holds them
    uint32_t headerBytes = 0;
    uint16_t firstTimeStamp = 0;       // q3 15:0 of the first descriptor (response expiry)
    uint32_t lastAddress = 0;          // bus address of the block's last descriptor
    uint8_t interrupt = 0;
};

AtContext::AtContext(OhciController& controller, Kind kind) : controller_(controller), kind_(kind) {}

AtContext::~AtContext() { CancelStep(); }

bool AtContext::Dead() const { return (control_ & context_control::kDead) != 0; }

bool AtContext::BusResetPending() const { return controller_.BusResetPending(); }

// --- Context control ------------------------------------------------------------------------------

void AtContext::OnRun() {
    CancelStep();
    havePacket_ = false;
    idleAtEnd_ = false;
    haveLastDescriptor_ = false;
    if (descriptor::Z(commandPtr_) == 0) return;  // no program: stays idle
    SetActive(true);
    ScheduleStep(0);
}

void AtContext::OnStop() {
    // The packet in hand (if any) is abandoned; its descriptor gets no status.
    CancelStep();
    havePacket_ = false;
    idleAtEnd_ = false;
    SetActive(false);
}

void AtContext::OnWake() {
    if (!Running() || Dead() || !idleAtEnd_) return;  // while active, wake is seen at the next fetch
    ClearWake();
    uint32_t branch = 0;
    if (!ReadBranch(&branch) || descriptor::Z(branch) == 0) return;
    commandPtr_ = branch;
    idleAtEnd_ = false;
    SetActive(true);
    ScheduleStep(0);
}

void AtContext::BusReset() {
    if (!havePacket_ || !Running() || Dead()) return;
    CancelStep();
    wireTime_ = kPacketOverheadTicks;
    Complete(event_code::kFlushed);
}

void AtContext::Reset() {
    CancelStep();
    havePacket_ = false;
    idleAtEnd_ = false;
    haveLastDescriptor_ = false;
    DmaContext::Reset();
}

void AtContext::ScheduleStep(Ticks delay) {
    if (stepScheduled_) return;
    Host& host = controller_.host();
    stepScheduled_ = true;
    stepEvent_ = host.Schedule(host.Now() + delay, [this] { Step(); });
}

void AtContext::CancelStep() {
    if (!stepScheduled_) return;
    controller_.host().Cancel(stepEvent_);
    stepScheduled_ = false;
}

void AtContext::Fatal(uint8_t event) {
    CancelStep();
    havePacket_ = false;
    idleAtEnd_ = false;
    Die(event);
    controller_.RaiseInterrupt(kUnrecoverableError);
}

// --- The engine ------------------------------------------------------------------------------------

void AtContext::Step() {
    stepScheduled_ = false;
    if (!Running() || Dead()) return;
    if (havePacket_) {  // a busy retry
        if (BusResetPending())
            Complete(event_code::kFlushed);
        else
            Transmit();
        return;
    }
    Block block;
    if (FetchBlock(block)) StartPacket(block);
}

bool AtContext::FetchBlock(Block& block) {
    const uint32_t address = descriptor::BranchAddress(commandPtr_);
    const uint8_t z = descriptor::Z(commandPtr_);
    if (z < 2 || z > 8) {  // a block holds an immediate descriptor (2 slots) and at most 8 slots
        Fatal(event_code::kUnknown);
        return false;
    }
    ClearWake();
    std::array<uint8_t, 8 * descriptor::kSize> raw{};
    if (!controller_.host().DmaRead(address, raw.data(), z * descriptor::kSize)) {
        Fatal(event_code::kDescriptorRead);
        return false;
    }
    auto quadlet = [&raw](int slot, int index) { return host_order::LoadLe32(&raw[slot * 16 + index * 4]); };

    const uint32_t first = quadlet(0, 0);
    const uint8_t firstCmd = descriptor::Cmd(first);
    block.headerBytes = descriptor::ReqCount(first);
    if (descriptor::Key(first) != descriptor::kKeyImmediate ||
        (firstCmd != descriptor::kOutputMore && firstCmd != descriptor::kOutputLast) || block.headerBytes < 8 ||
        block.headerBytes > 16 || block.headerBytes % 4 != 0) {
        Fatal(event_code::kUnknown);
        return false;
    }
    for (int i = 0; i < 4; ++i) block.header[i] = quadlet(1, i);
    block.firstTimeStamp = descriptor::TimeStamp(quadlet(0, 3));

    data_.clear();
    int lastSlot = firstCmd == descriptor::kOutputLast ? 0 : -1;
    int slot = 2;
    while (lastSlot < 0 && slot < z) {
        const uint32_t q0 = quadlet(slot, 0);
        const uint8_t cmd = descriptor::Cmd(q0);
        if (descriptor::Key(q0) != descriptor::kKeyData ||
            (cmd != descriptor::kOutputMore && cmd != descriptor::kOutputLast)) {
            Fatal(event_code::kUnknown);
            return false;
        }
        if (!Gather(quadlet(slot, 1), descriptor::ReqCount(q0), data_)) return false;
        if (cmd == descriptor::kOutputLast) lastSlot = slot;
        ++slot;
    }
    const uint32_t last = lastSlot >= 0 ? quadlet(lastSlot, 0) : 0;
    if (lastSlot < 0 || slot != z || descriptor::Branch(last) != descriptor::kBranchAlways) {
        Fatal(event_code::kUnknown);
        return false;
    }
    block.lastAddress = address + uint32_t(lastSlot) * descriptor::kSize;
    block.interrupt = descriptor::Interrupt(last);
    return true;
}

bool AtContext::Gather(uint32_t dataAddress, uint16_t reqCount, std::vector<uint8_t>& data) {
    if (reqCount == 0) return true;
    size_t at = data.size();
    data.resize(at + reqCount);
    if (controller_.host().DmaRead(dataAddress, data.data() + at, reqCount)) return true;
    Fatal(event_code::kDataRead);
    return false;
}

void AtContext::StartPacket(const Block& block) {
    lastDescriptor_ = block.lastAddress;
    haveLastDescriptor_ = true;
    interrupt_ = block.interrupt;
    wireTime_ = kPacketOverheadTicks;
    const uint32_t q0 = block.header[0];
    const uint8_t tcode = at_header::Tcode(q0);
    if (BusResetPending()) return Complete(event_code::kFlushed);
    const uint32_t expected = HeaderBytes(tcode, kind_);
    if (expected == 0 || expected != block.headerBytes) return Complete(event_code::kTcodeError);
    if (at_header::Spd(q0) > kS3200) return Complete(event_code::kUnknown);
    if (kind_ == Kind::kResponse && Expired(block.firstTimeStamp)) return Complete(event_code::kTimeout);
    BuildPacket(block);
    wireTime_ = WireTime(block.headerBytes, packet_.data.size(), at_header::Spd(q0));
    havePacket_ = true;
    retriesLeft_ = MaxRetries(controller_.ATRetriesRegister(), kind_);
    Transmit();
}

// The response's expiry: cycleSeconds 2:0 at 15:13, cycleCount at 12:0, against the cycle timer.
bool AtContext::Expired(uint16_t expiry) {
    constexpr uint32_t kCyclesPerSecond = 8000, kWindow = 8 * kCyclesPerSecond;
    const uint16_t now = uint16_t((controller_.CycleTimer() >> 12) & 0xFFFF);
    auto cycles = [](uint16_t stamp) { return (uint32_t(stamp >> 13) * kCyclesPerSecond + (stamp & 0x1FFF)) % kWindow; };
    const uint32_t past = (cycles(now) + kWindow - cycles(expiry)) % kWindow;
    return past != 0 && past < kWindow / 2;
}

// The payload as the wire carries it: in memory as quadlets of the host's byte order unless the
// controller was told not to swap (HCControl.noByteSwapData).
void AtContext::CopyData(bool swapData) {
    packet_.data.resize(data_.size());
    for (size_t i = 0; i < data_.size(); ++i) {
        size_t from = swapData ? i : ((i & ~size_t(3)) | (3 - (i & 3)));
        packet_.data[i] = from < data_.size() ? data_[from] : 0;
    }
}

// The immediate header and data as the link puts them on the bus (IEEE 1394-1995 6.2): the
// link inserts its source_ID (bus 0x3FF unless srcBusID asks for NodeID.busNumber).
void AtContext::BuildPacket(const Block& block) {
    const auto& h = block.header;
    const uint8_t tcode = at_header::Tcode(h[0]);
    const bool swapData = !controller_.NoByteSwapData();
    packet_ = Packet{};
    packet_.speed = Speed(at_header::Spd(h[0]));
    phyInverseOk_ = true;
    lengthMismatch_ = false;
    if (tcode == kTcodePhy) {
        form_ = Form::kPhy;
        packet_.isPhy = true;
        packet_.header[0] = h[1];
        phyInverseOk_ = h[2] == ~h[1];
        lengthMismatch_ = !data_.empty();
        return;
    }
    if (tcode == kTcodeStream) {
        form_ = Form::kStream;
        packet_.header[0] = (uint32_t(at_header::StreamDataLength(h[1])) << 16) | (h[0] & 0xFFFF);
        CopyData(swapData);
        lengthMismatch_ = data_.size() != at_header::StreamDataLength(h[1]);
        return;
    }
    form_ = Form::kAsync;
    const uint16_t nodeId = controller_.NodeIdRegister();
    const uint16_t busId = at_header::SrcBusId(h[0]) ? uint16_t(nodeId >> 6) : kLocalBus;
    const uint16_t sourceId = uint16_t((busId << 6) | (nodeId & 0x3F));
    packet_.header[0] = (uint32_t(at_header::DestinationId(h[1])) << 16) | (h[0] & 0xFFF0);  // tl, rt, tcode
    if (packet_.IsRequest()) {
        packet_.header[1] = (uint32_t(sourceId) << 16) | at_header::RequestOffsetHigh(h[1]);
        packet_.header[2] = h[2];
    } else {
        packet_.header[1] = (uint32_t(sourceId) << 16) | (uint32_t(at_header::Rcode(h[1])) << 12);
    }
    if (HasQuadletData(tcode))
        packet_.header[3] = swapData ? ByteSwap(h[3]) : h[3];  // data quadlet: bus byte order in memory
    else if (block.headerBytes == 16)
        packet_.header[3] = h[3];
    CopyData(swapData);
    lengthMismatch_ = HasDataBlock(tcode) ? data_.size() != packet_.DataLength() : !data_.empty();
}

void AtContext::Transmit() {
    Bus* bus = controller_.bus();
    Ack ack = kAckComplete;
    if (bus == nullptr || !controller_.LinkEnabled()) {
        ack = kAckMissing;
    } else if (form_ == Form::kPhy) {
        if (phyInverseOk_ && !lengthMismatch_) bus->SendPhyPacket(&controller_, packet_.header[0]);
    } else if (lengthMismatch_) {
        ack = kAckDataError;
    } else if (form_ == Form::kStream) {
        // Stream header quadlet: dataLength 31:16, tag 15:14, channel 13:8, tcode 7:4, sy 3:0.
        IsoPacket stream;
        stream.channel = uint8_t((packet_.header[0] >> 8) & 0x3F);
        stream.tag = uint8_t((packet_.header[0] >> 14) & 3);
        stream.sy = uint8_t(packet_.header[0] & 0xF);
        stream.speed = packet_.speed;
        stream.data = packet_.data;
        bus->SendAsyncStream(&controller_, stream);
    } else if (form_ == Form::kAsync) {
        ack = bus->SendAsync(&controller_, packet_);
        // Software may have stopped the context meanwhile (an interrupt served at once).
        if (!havePacket_ || !Running() || Dead()) return;
    }
    const bool busy = ack == kAckBusyX || ack == kAckBusyA || ack == kAckBusyB;
    if (busy && retriesLeft_ > 0) {
        --retriesLeft_;
        packet_.SetRetry(1);  // retry_X
        ScheduleStep(wireTime_);
        return;
    }
    Complete(ack == kAckMissing ? event_code::kMissingAck : event_code::FromAck(ack));
}

// Status into the last descriptor (xferStatus = ContextControl 15:0, timeStamp = the cycle the
// packet completed in), the interrupt if i asks for one, then the branch.
void AtContext::Complete(uint8_t event) {
    havePacket_ = false;
    SetEvent(event);
    const uint16_t timeStamp = uint16_t((controller_.CycleTimer() >> 12) & 0xFFFF);
    uint8_t status[4];
    host_order::StoreLe32(status, descriptor::MakeQ3(uint16_t(control_ & 0xFFFF), timeStamp));
    if (!controller_.host().DmaWrite(lastDescriptor_ + 12, status, 4)) {
        Fatal(event_code::kUnknown);
        return;
    }
    const bool acked = event == event_code::FromAck(kAckComplete) || event == event_code::FromAck(kAckPending);
    const bool interrupt =
        interrupt_ == descriptor::kInterruptAlways || (interrupt_ == 1 && !acked) || (interrupt_ == 2 && acked);
    FollowBranch();
    if (interrupt) controller_.RaiseInterrupt(kind_ == Kind::kRequest ? kReqTxComplete : kRespTxComplete);
}

void AtContext::FollowBranch() {
    uint32_t branch = 0;
    ClearWake();
    if (!ReadBranch(&branch)) return;
    if (descriptor::Z(branch) == 0) {  // end of the program: idle until wake
        idleAtEnd_ = true;
        SetActive(false);
        return;
    }
    commandPtr_ = branch;
    ScheduleStep(wireTime_);
}

bool AtContext::ReadBranch(uint32_t* branch) {
    uint8_t raw[4];
    if (!haveLastDescriptor_ || !controller_.host().DmaRead(lastDescriptor_ + 8, raw, 4)) {
        if (haveLastDescriptor_) Fatal(event_code::kDescriptorRead);
        return false;
    }
    *branch = host_order::LoadLe32(raw);
    return true;
}

}  // namespace sim
