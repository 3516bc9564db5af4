// Isochronous receive (OHCI 1.1 chapter 10).
//
// Model choices, in the hardware's terms:
// - Routing: a packet goes to the lowest-numbered running context whose channel (IRMultiChanMask
//   in multi-channel mode) and tag (ContextMatch tag0..tag3) it matches, and to no other.
//   Which contexts implement multiChanMode is a chip's choice: every context by default, IR
//   context 0 alone with Config::irMultiChanAnyContext clear (the bit then reads 0 elsewhere);
//   multi-channel mode stores in buffer-fill form. tag1SyncFilter is kept but not applied: tag1
//   alone decides for tag 01.
// - Cycle match (ContextControl.cycleMatchEnable): the context stores nothing until the cycle
//   (cycleSeconds 1:0 | cycleCount) equals ContextMatch.cycleMatch, then clears the bit.
// - Wait (w = 3 on the descriptor the context is about to fill, when nothing is stored in it
//   yet): packets are dropped until one whose sy equals ContextMatch.sync; that one is stored.
// - Packet-per-buffer: one block of INPUT_MORE descriptors closed by an INPUT_LAST (b = 3, Z = 1..8
//   slots) per packet. With isochHeader the packet is stored as quadlet 0 = xferStatus 31:16 |
//   timeStamp 15:0, quadlet 1 = the isochronous header (dataLength, tag, channel, tcode, sy), then
//   the payload; without it, the payload alone. Bytes beyond the block's buffers are dropped and
//   the event is evt_long_packet (else ack_complete). Every descriptor of the block with s = 1
//   gets xferStatus and its resCount; i = 3 on the INPUT_LAST raises the context's interrupt.
// - Buffer-fill: INPUT_MORE descriptors (b = 3, Z = 1); packets back to back, straddling into the
//   next descriptor's buffer: with isochHeader the header quadlet, the payload padded to a
//   quadlet, then the trailer xferStatus | timeStamp; without it the payload padded to a quadlet.
//   resCount and xferStatus go to the descriptor after each packet that ends in it and when its
//   buffer fills, when its s bit is set (Config::irStatusWithoutS: whatever s says); a descriptor
//   whose buffer fills raises the interrupt when its i is 3.
// - Dual-buffer (32-byte descriptors, Z = 2): q0 control 31:16 | firstSize 15:0, q1
//   firstReqCount 31:16 | secondReqCount 15:0, q2 branch, q3 firstResCount 31:16 |
//   secondResCount 15:0, q5 firstBuffer, q6 secondBuffer. The first firstSize bytes of each packet
//   (with isochHeader: the xferStatus | timeStamp quadlet and the header quadlet first) go to the
//   first buffer, the rest to the second, which straddles into the next descriptor's second
//   buffer when full. A descriptor is done when either buffer is full (or the next packet's first
//   part no longer fits in its first buffer); its counts are written after each packet (s = 1)
//   and when it is done, and i = 3 then raises the interrupt.
// - i = 1 and 2 are reserved for receive descriptors and raise nothing.
// - A program that ends (branch Z = 0) leaves the context running but not active; it drops
//   packets until software appends and sets wake, which re-reads that branch. Buffer-fill and
//   dual-buffer drop a packet for which the program has no room left.
// - A descriptor that breaks the mode's form kills the context with evt_unknown; a host error
//   reading a descriptor kills it with evt_descriptor_read, writing data or status with
//   evt_data_write. A context that dies raises IntEvent.unrecoverableError.
#include "ir_context.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "cycle_time.h"
#include "dma_descriptor.h"
#include "ohci_controller.h"

namespace sim {

namespace {
constexpr uint32_t kUnrecoverableError = 1u << 24;
constexpr int kMaxDescriptorWalk = 1024;
constexpr uint8_t kAckCompleteEvent = 0x11;
}  // namespace

IsoRecvContext::IsoRecvContext(OhciController& controller, int index) : controller_(controller), index_(index) {}

IsoRecvContext::~IsoRecvContext() = default;

uint32_t IsoRecvContext::ModeBits() const {
    if (index_ == 0 || controller_.config().irMultiChanAnyContext) return ir_control::kModeBits;
    return ir_control::kModeBits & ~ir_control::kMultiChanMode;
}

bool IsoRecvContext::StatusAlways() const { return controller_.config().irStatusWithoutS; }

void IsoRecvContext::Reset() {
    DmaContext::Reset();
    contextMatch_ = 0;
    loaded_ = idleAtEnd_ = synced_ = false;
}

// --- Context control ----------------------------------------------------------------------------

void IsoRecvContext::OnRun() {
    loaded_ = idleAtEnd_ = false;
    ClearWake();
    if (descriptor::Z(commandPtr_) == 0) return;  // no program: stays idle until wake
    if (Load(commandPtr_)) SetActive(true);
}

void IsoRecvContext::OnStop() {
    loaded_ = idleAtEnd_ = false;
    SetActive(false);
}

void IsoRecvContext::OnWake() {
    if (!Running() || Dead()) return;
    ClearWake();
    if (loaded_) return;
    uint32_t next = commandPtr_;
    if (idleAtEnd_) {
        uint8_t raw[4];
        if (!controller_.host().DmaRead(lastBranchAddress_, raw, 4)) return Fatal(event_code::kDescriptorRead);
        next = host_order::LoadLe32(raw);
    }
    if (descriptor::Z(next) == 0) return;
    idleAtEnd_ = false;
    commandPtr_ = next;
    if (Load(next)) SetActive(true);
}

void IsoRecvContext::Fatal(uint8_t event) {
    loaded_ = idleAtEnd_ = false;
    Die(event);
    controller_.RaiseInterrupt(kUnrecoverableError);
}

void IsoRecvContext::GoIdle() {
    loaded_ = false;
    idleAtEnd_ = true;
    SetActive(false);
}

void IsoRecvContext::Interrupt(uint32_t q0) {
    if (descriptor::Interrupt(q0) == descriptor::kInterruptAlways) controller_.RaiseIsoRecvInterrupt(index_);
}

// --- Descriptors --------------------------------------------------------------------------------

bool IsoRecvContext::Fetch(uint32_t address, int slots, Descriptor* out, int count) {
    std::array<uint8_t, 8 * descriptor::kSize> raw{};
    if (!controller_.host().DmaRead(address, raw.data(), uint32_t(slots) * descriptor::kSize)) {
        Fatal(event_code::kDescriptorRead);
        return false;
    }
    const int stride = slots / count;
    for (int i = 0; i < count; ++i) {
        const uint8_t* d = &raw[size_t(i * stride) * descriptor::kSize];
        out[i].address = address + uint32_t(i * stride) * descriptor::kSize;
        out[i].q0 = host_order::LoadLe32(d);
        out[i].q1 = host_order::LoadLe32(d + 4);
        out[i].q2 = host_order::LoadLe32(d + 8);
        out[i].firstBuffer = stride == 2 ? host_order::LoadLe32(d + 20) : out[i].q1;
        out[i].secondBuffer = stride == 2 ? host_order::LoadLe32(d + 24) : 0;
    }
    return true;
}

// Fetches the descriptor (block) at `commandPtr` and checks it has the mode's form.
bool IsoRecvContext::Load(uint32_t commandPtr) {
    loaded_ = synced_ = false;
    const uint32_t address = descriptor::BranchAddress(commandPtr);
    const int z = descriptor::Z(commandPtr);
    auto isInput = [](uint32_t q0, uint8_t cmd) {
        return descriptor::Cmd(q0) == cmd && descriptor::Key(q0) == descriptor::kKeyData;
    };
    if (control_ & ir_control::kDualBufferMode) {
        if (z != 2) return Fatal(event_code::kUnknown), false;
        if (!Fetch(address, 2, &current_, 1)) return false;
        firstResCount_ = uint16_t(current_.q1 >> 16);
        secondResCount_ = uint16_t(current_.q1);
    } else if (control_ & (ir_control::kBufferFill | ir_control::kMultiChanMode)) {
        if (z != 1) return Fatal(event_code::kUnknown), false;
        if (!Fetch(address, 1, &current_, 1)) return false;
        if (!isInput(current_.q0, descriptor::kInputMore) || descriptor::Branch(current_.q0) != descriptor::kBranchAlways)
            return Fatal(event_code::kUnknown), false;
        resCount_ = descriptor::ReqCount(current_.q0);
    } else {
        if (z < 1 || z > 8) return Fatal(event_code::kUnknown), false;
        block_.resize(size_t(z));
        if (!Fetch(address, z, block_.data(), z)) return false;
        for (int i = 0; i < z; ++i) {
            const uint32_t q0 = block_[size_t(i)].q0;
            const bool last = i == z - 1;
            if (!isInput(q0, last ? descriptor::kInputLast : descriptor::kInputMore) ||
                (last && descriptor::Branch(q0) != descriptor::kBranchAlways))
                return Fatal(event_code::kUnknown), false;
        }
    }
    loaded_ = true;
    return true;
}

// Follows a branch read from memory (software may have appended since the fetch). False at the
// end of the program (the context idles) or when it died.
bool IsoRecvContext::Advance(uint32_t branchAddress) {
    uint8_t raw[4];
    if (!controller_.host().DmaRead(branchAddress, raw, 4)) return Fatal(event_code::kDescriptorRead), false;
    const uint32_t branch = host_order::LoadLe32(raw);
    if (descriptor::Z(branch) == 0) {
        lastBranchAddress_ = branchAddress;
        GoIdle();
        return false;
    }
    commandPtr_ = branch;
    return Load(branch);
}

// --- Packets in ---------------------------------------------------------------------------------

bool IsoRecvContext::Matches(const IsoPacket& packet, uint64_t multiChanMask) const {
    if (!IsRunning()) return false;
    if (!ir_match::TagAccepted(contextMatch_, packet.tag)) return false;
    if (control_ & ir_control::kMultiChanMode) return (multiChanMask >> (packet.channel & 0x3F)) & 1;
    return ir_match::Channel(contextMatch_) == packet.channel;
}

bool IsoRecvContext::CycleMatched(uint32_t cycleTime) {
    if ((control_ & ir_control::kCycleMatchEnable) == 0) return true;
    if (cycle_time::MatchValue(cycleTime) != ir_match::CycleMatch(contextMatch_)) return false;
    control_ &= ~ir_control::kCycleMatchEnable;
    return true;
}

void IsoRecvContext::OnCycleStart(uint32_t cycleTime) {
    if (IsRunning()) CycleMatched(cycleTime);
}

void IsoRecvContext::Receive(const IsoPacket& packet) {
    if (!IsRunning() || !CycleMatched(controller_.CycleTimer())) return;
    if (!loaded_) return;  // running dry: the packet is lost
    control_ = (control_ & ~context_control::kSpeedMask) | (uint32_t(packet.speed & 0x7) << 5);
    SetEvent(kAckCompleteEvent);
    if (control_ & ir_control::kDualBufferMode)
        ReceiveDualBuffer(packet);
    else if (control_ & (ir_control::kBufferFill | ir_control::kMultiChanMode))
        ReceiveBufferFill(packet);
    else
        ReceivePacketPerBuffer(packet);
}

// w = 3 on a descriptor not yet written: drop until a packet with sy = ContextMatch.sync.
bool IsoRecvContext::WaitingForSync(const IsoPacket& packet) {
    const uint32_t q0 = (control_ & (ir_control::kBufferFill | ir_control::kMultiChanMode | ir_control::kDualBufferMode))
                            ? current_.q0
                            : block_.front().q0;
    if (synced_ || descriptor::Wait(q0) != 3) return false;
    if (packet.sy != ir_match::Sync(contextMatch_)) return true;
    synced_ = true;
    return false;
}

// The bytes stored for a packet. With isochHeader: the xferStatus | timeStamp quadlet (first in
// packet-per-buffer and dual-buffer, last in buffer-fill) and the header quadlet, as little-endian
// quadlets; the payload in bus byte order (quadlets swapped with noByteSwapData).
void IsoRecvContext::Format(const IsoPacket& packet, bool timeStampFirst) {
    const bool header = (control_ & ir_control::kIsochHeader) != 0;
    const bool swap = controller_.NoByteSwapData();
    const size_t payload = packet.data.size();
    // Buffer-fill pads each packet to a quadlet; swapped data is stored in whole quadlets.
    const size_t padded = timeStampFirst && !swap ? payload : (payload + 3) & ~size_t(3);
    const size_t headerBytes = header ? (timeStampFirst ? 8 : 4) : 0;
    const size_t trailerBytes = header && !timeStampFirst ? 4 : 0;
    bytes_.assign(headerBytes + padded + trailerBytes, 0);
    const uint32_t status = descriptor::MakeQ3(XferStatus(), cycle_time::Stamp(controller_.CycleTimer()));
    if (header) {
        if (timeStampFirst) {
            host_order::StoreLe32(&bytes_[0], status);
            host_order::StoreLe32(&bytes_[4], packet.HeaderQuadlet());
        } else {
            host_order::StoreLe32(&bytes_[0], packet.HeaderQuadlet());
            host_order::StoreLe32(&bytes_[bytes_.size() - 4], status);
        }
    }
    uint8_t* out = bytes_.data() + headerBytes;
    if (!swap) {
        if (payload != 0) std::memcpy(out, packet.data.data(), payload);
        return;
    }
    for (size_t i = 0; i < payload; ++i) out[(i & ~size_t(3)) | (3 - (i & 3))] = packet.data[i];
}

bool IsoRecvContext::WriteBytes(uint32_t address, const uint8_t* bytes, size_t length) {
    if (length == 0 || controller_.host().DmaWrite(address, bytes, uint32_t(length))) return true;
    Fatal(event_code::kDataWrite);
    return false;
}

bool IsoRecvContext::WriteQuadlet(uint32_t address, uint32_t value) {
    uint8_t raw[4];
    host_order::StoreLe32(raw, value);
    return WriteBytes(address, raw, 4);
}

void IsoRecvContext::ReceivePacketPerBuffer(const IsoPacket& packet) {
    if (WaitingForSync(packet)) return;
    size_t capacity = 0;
    for (const Descriptor& d : block_) capacity += descriptor::ReqCount(d.q0);
    const size_t stored = (control_ & ir_control::kIsochHeader ? 8 : 0) + packet.data.size();
    if (stored > capacity) SetEvent(event_code::kLongPacket);
    Format(packet, true);
    size_t done = 0;
    for (const Descriptor& d : block_) {
        const uint16_t reqCount = descriptor::ReqCount(d.q0);
        const size_t n = std::min<size_t>(reqCount, bytes_.size() - std::min(done, bytes_.size()));
        if (!WriteBytes(d.firstBuffer, &bytes_[std::min(done, bytes_.size())], n)) return;
        done += n;
        if (descriptor::Status(d.q0) && !WriteQuadlet(d.address + 12, descriptor::MakeQ3(XferStatus(), uint16_t(reqCount - n))))
            return;
    }
    const Descriptor last = block_.back();
    Interrupt(last.q0);
    Advance(last.address + 8);
}

bool IsoRecvContext::BufferFillRoom(size_t bytes) {
    size_t room = resCount_;
    uint32_t address = current_.address;
    for (int hops = 0; room < bytes; ++hops) {
        uint8_t raw[4];
        if (hops >= kMaxDescriptorWalk || !controller_.host().DmaRead(address + 8, raw, 4)) return false;
        const uint32_t branch = host_order::LoadLe32(raw);
        uint8_t next[4];
        if (descriptor::Z(branch) != 1 || !controller_.host().DmaRead(descriptor::BranchAddress(branch), next, 4))
            return false;
        room += descriptor::ReqCount(host_order::LoadLe32(next));
        address = descriptor::BranchAddress(branch);
    }
    return true;
}

// The descriptor's buffer is full: its status, its interrupt, then the next descriptor.
bool IsoRecvContext::CompleteBufferFill() {
    if ((descriptor::Status(current_.q0) || StatusAlways()) &&
        !WriteQuadlet(current_.address + 12, descriptor::MakeQ3(XferStatus(), resCount_)))
        return false;
    Interrupt(current_.q0);
    return Advance(current_.address + 8);
}

void IsoRecvContext::ReceiveBufferFill(const IsoPacket& packet) {
    if (resCount_ == descriptor::ReqCount(current_.q0) && WaitingForSync(packet)) return;
    Format(packet, false);
    if (!BufferFillRoom(bytes_.size())) return;  // no room left in the program: the packet is lost
    for (size_t done = 0; done < bytes_.size();) {
        if (resCount_ == 0) {
            if (!CompleteBufferFill()) return;
            synced_ = true;  // a packet straddling into a descriptor does not wait
            continue;
        }
        const uint16_t reqCount = descriptor::ReqCount(current_.q0);
        const size_t n = std::min<size_t>(resCount_, bytes_.size() - done);
        if (!WriteBytes(current_.firstBuffer + (reqCount - resCount_), &bytes_[done], n)) return;
        resCount_ = uint16_t(resCount_ - n);
        done += n;
    }
    if (resCount_ == 0) {
        CompleteBufferFill();
    } else if (descriptor::Status(current_.q0) || StatusAlways()) {
        WriteQuadlet(current_.address + 12, descriptor::MakeQ3(XferStatus(), resCount_));
    }
}

bool IsoRecvContext::CompleteDual() {
    if (!WriteQuadlet(current_.address + 12, (uint32_t(firstResCount_) << 16) | secondResCount_)) return false;
    Interrupt(current_.q0);
    return Advance(current_.address + 8);
}

// Whether the program holds a packet whose first part is `first` bytes and the rest `rest`: the
// first part in this descriptor's first buffer or, when it no longer fits there, in the next
// descriptor's; the rest in the second buffers from there on.
bool IsoRecvContext::DualBufferRoom(size_t first, size_t rest) {
    uint32_t address = current_.address;
    size_t firstRoom = firstResCount_, secondRoom = secondResCount_;
    int hops = 0;
    auto next = [&]() {
        uint8_t raw[4];
        if (++hops > kMaxDescriptorWalk || !controller_.host().DmaRead(address + 8, raw, 4)) return false;
        const uint32_t branch = host_order::LoadLe32(raw);
        uint8_t counts[4];
        if (descriptor::Z(branch) != 2 || !controller_.host().DmaRead(descriptor::BranchAddress(branch) + 4, counts, 4))
            return false;
        address = descriptor::BranchAddress(branch);
        firstRoom = host_order::LoadLe32(counts) >> 16;
        secondRoom = host_order::LoadLe32(counts) & 0xFFFF;
        return true;
    };
    if (firstRoom < first && !next()) return false;
    for (size_t room = secondRoom; room < rest; room += secondRoom)
        if (!next()) return false;
    return true;
}

void IsoRecvContext::ReceiveDualBuffer(const IsoPacket& packet) {
    const uint16_t firstSize = uint16_t(current_.q0);
    if (firstResCount_ == uint16_t(current_.q1 >> 16) && secondResCount_ == uint16_t(current_.q1) &&
        WaitingForSync(packet))
        return;
    Format(packet, true);
    const size_t first = std::min<size_t>(firstSize, bytes_.size());
    if (!DualBufferRoom(first, bytes_.size() - first)) return;  // no room left in the program: the packet is lost
    if (firstResCount_ < first && !CompleteDual()) return;  // the first part no longer fits: next descriptor
    const size_t firstPart = std::min<size_t>(first, firstResCount_);
    const uint16_t firstReq = uint16_t(current_.q1 >> 16);
    if (!WriteBytes(current_.firstBuffer + (firstReq - firstResCount_), bytes_.data(), firstPart)) return;
    firstResCount_ = uint16_t(firstResCount_ - firstPart);
    for (size_t done = first; done < bytes_.size();) {
        if (secondResCount_ == 0) {
            if (!CompleteDual()) return;
            continue;
        }
        const uint16_t secondReq = uint16_t(current_.q1);
        const size_t n = std::min<size_t>(secondResCount_, bytes_.size() - done);
        if (!WriteBytes(current_.secondBuffer + (secondReq - secondResCount_), &bytes_[done], n)) return;
        secondResCount_ = uint16_t(secondResCount_ - n);
        done += n;
    }
    if (firstResCount_ == 0 || secondResCount_ == 0) {
        CompleteDual();
    } else if (descriptor::Status(current_.q0)) {
        WriteQuadlet(current_.address + 12, (uint32_t(firstResCount_) << 16) | secondResCount_);
    }
}

}  // namespace sim
