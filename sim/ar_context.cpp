// Asynchronous receive in buffer-fill mode (OHCI 1.1 chapter 8).
//
// Model choices, in the hardware's terms:
// - The program is a chain of INPUT_MORE descriptors (cmd 2, key 0, b 3, Z 1). A descriptor that
//   breaks this, or a branch with Z other than 0 or 1, kills the context with evt_unknown; a host
//   error reading a descriptor kills it with evt_descriptor_read, writing data or status with
//   evt_data_write. A context that dies raises IntEvent.unrecoverableError.
// - A packet is written when it arrives, back to back after the previous one: header quadlets,
//   data padded to a quadlet, trailer quadlet. It straddles into the next descriptor's buffer when
//   the current one fills. A descriptor is filled from the start of its buffer when the context
//   enters it (its reqCount is the room).
// - resCount and xferStatus go to the descriptor (when its s bit is set) after each packet that
//   ends in it, and when its buffer fills. A full buffer raises ARRQ / ARRS when its i is 3; every
//   packet stored raises RQPkt / RSPkt.
// - The context follows the branch as soon as a buffer is full. At a branch with Z = 0 it goes
//   idle (active clear) until wake, which re-reads that branch.
// - A packet that does not fit in the room left in the program is not stored at all (nothing is
//   written) and the link answers ack_busy_X; the sender may retry after software has given the
//   context more buffers. The same holds while the context is not running or dead.
// - Fault on demand (StoreRaw): bytes written as they are, as a faulty link would store them, cut
//   to whole quadlets and to the room the program has.
#include "ar_context.h"

#include <algorithm>

#include "dma_descriptor.h"
#include "ohci_controller.h"

namespace sim {

namespace {

// IntEvent bits (OHCI 1.1 6.1).
constexpr uint32_t kArrq = 1u << 2;
constexpr uint32_t kArrs = 1u << 3;
constexpr uint32_t kRqPkt = 1u << 4;
constexpr uint32_t kRsPkt = 1u << 5;
constexpr uint32_t kUnrecoverableError = 1u << 24;

// Bound on the descriptors one packet may cross (a program of zero-sized buffers ends somewhere).
constexpr int kMaxDescriptorWalk = 1024;

// The PHY-packet form of the receive format (tcode 0xE in q0 7:4).
constexpr uint32_t kPhyPacketQ0 = uint32_t(kTcodePhy) << 4;

bool HasQuadletData(uint8_t tcode) { return tcode == kTcodeWriteQuadletRequest || tcode == kTcodeReadQuadletResponse; }
bool HasDataBlock(uint8_t tcode) {
    return tcode == kTcodeWriteBlockRequest || tcode == kTcodeReadBlockResponse || tcode == kTcodeLockRequest ||
           tcode == kTcodeLockResponse;
}

uint16_t CycleTimeStamp(OhciController& controller) { return uint16_t((controller.CycleTimer() >> 12) & 0xFFFF); }

}  // namespace

ArContext::ArContext(OhciController& controller, Kind kind) : controller_(controller), kind_(kind) {}

ArContext::~ArContext() = default;

bool ArContext::Dead() const { return (control_ & context_control::kDead) != 0; }

// --- Context control ------------------------------------------------------------------------------

void ArContext::OnRun() {
    haveDescriptor_ = false;
    idleAtEnd_ = false;
    if (descriptor::Z(commandPtr_) == 0) return;  // no program: stays idle
    Descriptor first;
    if (!Fetch(commandPtr_, first)) return;
    ClearWake();
    current_ = first;
    resCount_ = descriptor::ReqCount(first.q0);
    haveDescriptor_ = true;
    SetActive(true);
}

void ArContext::OnStop() {
    haveDescriptor_ = false;
    idleAtEnd_ = false;
    SetActive(false);
}

void ArContext::OnWake() {
    if (!Running() || Dead()) return;
    ClearWake();
    if (!haveDescriptor_ || !idleAtEnd_) return;
    idleAtEnd_ = false;
    if (EnterNext()) SetActive(true);
}

void ArContext::BusReset() {}

void ArContext::Reset() {
    haveDescriptor_ = false;
    idleAtEnd_ = false;
    DmaContext::Reset();
}

void ArContext::Fatal(uint8_t event) {
    haveDescriptor_ = false;
    idleAtEnd_ = false;
    Die(event);
    controller_.RaiseInterrupt(kUnrecoverableError);
}

// --- Packets in ----------------------------------------------------------------------------------

Ack ArContext::Deliver(const Packet& packet) {
    const bool requestContext = kind_ == Kind::kRequest;
    if (requestContext ? !packet.IsRequest() : !packet.IsResponse()) return kAckTypeError;
    const bool broadcast = (packet.DestinationId() & 0x3F) == kBroadcastPhyId;
    const Ack ack = requestContext && !broadcast ? kAckPending : kAckComplete;
    Format(packet, bytes_);
    if (!Store(bytes_, event_code::FromAck(ack), packet.speed)) return kAckBusyX;
    return ack;
}

void ArContext::DeliverPhyPacket(uint32_t quadlet) {
    if (kind_ != Kind::kRequest) return;
    bytes_.assign(12, 0);
    host_order::StoreLe32(&bytes_[0], kPhyPacketQ0);
    host_order::StoreLe32(&bytes_[4], quadlet);
    host_order::StoreLe32(&bytes_[8], ~quadlet);
    Store(bytes_, event_code::FromAck(kAckComplete), kS100);
}

void ArContext::StoreBusResetPacket(uint8_t selfIdGeneration) {
    if (kind_ != Kind::kRequest) return;
    bytes_.assign(12, 0);
    host_order::StoreLe32(&bytes_[0], kPhyPacketQ0);
    host_order::StoreLe32(&bytes_[8], uint32_t(selfIdGeneration) << 16);
    Store(bytes_, event_code::kBusReset, kS100);
}

// The receive format (OHCI 1.1 8.7): the header quadlets as they came on the wire, without CRCs,
// as little-endian quadlets (12 bytes for tcodes 2 and 4, 16 for the others); the data quadlet of
// tcodes 0 and 6 and the data block of tcodes 1, 7, 9 and B in the bus's byte order (unless
// noByteSwapData), padded to a quadlet. The trailer follows (Store).
void ArContext::Format(const Packet& packet, std::vector<uint8_t>& out) const {
    const uint8_t tcode = packet.Tcode();
    const bool swapData = !controller_.NoByteSwapData();
    const size_t headerBytes = size_t(packet.HeaderQuadlets()) * 4;
    const size_t dataLength = HasDataBlock(tcode) ? packet.DataLength() : 0;
    out.assign(headerBytes + ((dataLength + 3) & ~size_t(3)), 0);
    for (size_t i = 0; i < headerBytes / 4; ++i) {
        if (i == 3 && HasQuadletData(tcode) && swapData)
            host_order::StoreBe32(&out[12], packet.header[3]);
        else
            host_order::StoreLe32(&out[i * 4], packet.header[i]);
    }
    const size_t available = std::min(dataLength, packet.data.size());
    for (size_t i = 0; i < available; ++i) {
        size_t to = swapData ? i : ((i & ~size_t(3)) | (3 - (i & 3)));
        out[headerBytes + to] = packet.data[i];
    }
}

// Writes one packet and its trailer (31:16 xferStatus = ContextControl 15:0 with the packet's
// speed and event, 15:0 timeStamp = the cycle it came in) into the program.
bool ArContext::Store(std::vector<uint8_t>& bytes, uint8_t event, Speed speed) {
    if (!Running() || Dead() || !haveDescriptor_ || idleAtEnd_) return false;
    if (!HasRoom(bytes.size() + 4)) return false;
    control_ = (control_ & ~context_control::kSpeedMask) | (uint32_t(speed & 0x7) << 5);
    SetEvent(event);
    const size_t trailer = bytes.size();
    bytes.resize(trailer + 4);
    host_order::StoreLe32(&bytes[trailer],
                          descriptor::MakeQ3(uint16_t(control_ & 0xFFFF), CycleTimeStamp(controller_)));
    return Write(bytes, bytes.size());
}

size_t ArContext::StoreRaw(const std::vector<uint8_t>& bytes) {
    if (!Running() || Dead() || !haveDescriptor_ || idleAtEnd_) return 0;
    const size_t wanted = bytes.size() & ~size_t(3);
    const size_t count = std::min(Room(wanted), wanted) & ~size_t(3);
    if (count == 0) return 0;
    SetEvent(event_code::FromAck(kAckComplete));
    return Write(bytes, count) ? count : 0;
}

// Writes the first `count` bytes (room checked) from the current position on, following the
// program into the next buffers; then the status and the packet interrupt.
bool ArContext::Write(const std::vector<uint8_t>& bytes, size_t count) {
    bufferInterrupts_ = 0;
    for (size_t done = 0; done < count;) {
        if (resCount_ == 0) {
            if (!EnterNext()) return false;
            continue;
        }
        const uint16_t reqCount = descriptor::ReqCount(current_.q0);
        const uint16_t chunk = uint16_t(std::min<size_t>(resCount_, count - done));
        if (!controller_.host().DmaWrite(current_.dataAddress + (reqCount - resCount_), &bytes[done], chunk)) {
            Fatal(event_code::kDataWrite);
            return false;
        }
        resCount_ = uint16_t(resCount_ - chunk);
        done += chunk;
        if (resCount_ == 0 && !WriteStatus()) return false;
    }
    if (resCount_ != 0) {
        if (!WriteStatus()) return false;
    } else {
        EnterNext();  // the buffer is full: on to the next one, or idle at the end of the program
        if (Dead()) return false;
    }
    controller_.RaiseInterrupt((kind_ == Kind::kRequest ? kRqPkt : kRsPkt) | bufferInterrupts_);
    return true;
}

// The room from the current position to the end of the program, counted up to `wanted`.
size_t ArContext::Room(size_t wanted) {
    size_t room = resCount_;
    uint32_t address = current_.address;
    for (int hops = 0; room < wanted; ++hops) {
        uint32_t branch = 0;
        if (hops >= kMaxDescriptorWalk) return room;
        if (!ReadBranch(address, &branch)) return 0;  // the context died
        if (descriptor::Z(branch) == 0) return room;
        Descriptor next;
        if (!Fetch(branch, next)) return 0;
        room += descriptor::ReqCount(next.q0);
        address = next.address;
    }
    return room;
}

// Status of the current descriptor; a full buffer also asks for ARRQ / ARRS when its i is 3.
bool ArContext::WriteStatus() {
    if (resCount_ == 0 && descriptor::Interrupt(current_.q0) == descriptor::kInterruptAlways)
        bufferInterrupts_ |= kind_ == Kind::kRequest ? kArrq : kArrs;
    if (!descriptor::Status(current_.q0)) return true;
    uint8_t status[4];
    host_order::StoreLe32(status, descriptor::MakeQ3(uint16_t(control_ & 0xFFFF), resCount_));
    if (controller_.host().DmaWrite(current_.address + 12, status, 4)) return true;
    Fatal(event_code::kDataWrite);
    return false;
}

// Follows the current descriptor's branch. False at the end of the program (the context idles
// until wake) or when the context died.
bool ArContext::EnterNext() {
    uint32_t branch = 0;
    if (!ReadBranch(current_.address, &branch)) return false;
    if (descriptor::Z(branch) == 0) {
        idleAtEnd_ = true;
        SetActive(false);
        return false;
    }
    Descriptor next;
    if (!Fetch(branch, next)) return false;
    current_ = next;
    resCount_ = descriptor::ReqCount(next.q0);
    commandPtr_ = branch;
    return true;
}

bool ArContext::Fetch(uint32_t commandPtr, Descriptor& out) {
    if (descriptor::Z(commandPtr) != 1) {
        Fatal(event_code::kUnknown);
        return false;
    }
    uint8_t raw[descriptor::kSize];
    const uint32_t address = descriptor::BranchAddress(commandPtr);
    if (!controller_.host().DmaRead(address, raw, sizeof raw)) {
        Fatal(event_code::kDescriptorRead);
        return false;
    }
    const uint32_t q0 = host_order::LoadLe32(raw);
    if (descriptor::Cmd(q0) != descriptor::kInputMore || descriptor::Key(q0) != descriptor::kKeyData ||
        descriptor::Branch(q0) != descriptor::kBranchAlways) {
        Fatal(event_code::kUnknown);
        return false;
    }
    out.address = address;
    out.q0 = q0;
    out.dataAddress = host_order::LoadLe32(raw + 4);
    return true;
}

bool ArContext::ReadBranch(uint32_t address, uint32_t* branch) {
    uint8_t raw[4];
    if (!controller_.host().DmaRead(address + 8, raw, 4)) {
        Fatal(event_code::kDescriptorRead);
        return false;
    }
    *branch = host_order::LoadLe32(raw);
    return true;
}

}  // namespace sim
