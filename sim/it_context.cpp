// Isochronous transmit (OHCI 1.1 chapter 9).
//
// Model choices, in the hardware's terms:
// - A descriptor block per cycle: an OUTPUT_MORE-Immediate (8 header bytes: q0 spd 18:16, tag
//   15:14, chanNum 13:8, tcode 7:4, sy 3:0; q1 dataLength 31:16) followed by OUTPUT_MORE
//   descriptors and an OUTPUT_LAST with the payload, or an OUTPUT_LAST-Immediate alone (a packet
//   without payload); Z counts the slots (an immediate descriptor takes two). The first
//   descriptor's branch field is the skipAddress. A block that is a lone OUTPUT_LAST with
//   reqCount 0 (Z = 1) sends nothing in its cycle and completes like a sent one.
// - At each cycle start the running context takes the block at CommandPtr, sends its packet in
//   that cycle to every link on the bus (at the header's speed and channel), writes xferStatus
//   (ContextControl 15:0 with ack_complete) and timeStamp (cycleSeconds 2:0 | cycleCount of the
//   cycle sent in) into the OUTPUT_LAST when its s bit is set, raises the context's interrupt
//   when its i is 3 (1 and 2 raise nothing), and follows the branch; a branch with Z = 0 leaves
//   it running but not active until wake re-reads that branch (running dry: no packets go out).
// - cycleMatchEnable: the context sends nothing until the cycle start whose cycleSeconds 1:0 |
//   cycleCount equals cycleMatch; it clears the bit and sends the block in that cycle.
// - A lost cycle (a cycle start that does not follow the last one the context saw, as after a
//   reset or a cycle master's silence): the block in hand is not sent and the context goes on at
//   its skipAddress (Z = 0 there: it idles as at the end of the program), sending that block in
//   the current cycle. With Config::itSkipOnLostCycle clear it sends the block in hand instead.
// - A header whose tcode is not 0xA completes with evt_tcode_err and sends nothing. The payload
//   sent is dataLength bytes of the gathered data (zero-filled when the descriptors hold fewer).
// - An underrun (a fault a test injects) completes the block with evt_underrun; the packet does
//   not reach the bus intact, so no link receives it. The context goes on with the next block.
// - A descriptor that breaks these forms kills the context with evt_unknown; a host error reading
//   a descriptor kills it with evt_descriptor_read, reading data with evt_data_read, writing
//   status with evt_unknown; the death raises IntEvent.unrecoverableError.
#include "it_context.h"

#include <algorithm>
#include <array>

#include "bus.h"
#include "cycle_time.h"
#include "dma_descriptor.h"
#include "ohci_controller.h"

namespace sim {

namespace {
constexpr uint32_t kUnrecoverableError = 1u << 24;
constexpr uint8_t kAckCompleteEvent = 0x11;
uint64_t CycleNumber(uint32_t cycleTime) {
    return uint64_t(cycleTime >> 25) * cycle_time::kCyclesPerSecond + ((cycleTime >> 12) & 0x1FFF);
}
}  // namespace

IsoXmitContext::IsoXmitContext(OhciController& controller, int index) : controller_(controller), index_(index) {}

IsoXmitContext::~IsoXmitContext() = default;

void IsoXmitContext::Reset() {
    DmaContext::Reset();
    idleAtEnd_ = haveLastCycle_ = underrunNext_ = false;
}

void IsoXmitContext::OnRun() {
    idleAtEnd_ = haveLastCycle_ = false;
    ClearWake();
    if (descriptor::Z(commandPtr_) != 0) SetActive(true);
}

void IsoXmitContext::OnStop() {
    idleAtEnd_ = false;
    SetActive(false);
}

void IsoXmitContext::OnWake() {
    if (!Running() || Dead()) return;
    ClearWake();
    if (!idleAtEnd_ && (control_ & context_control::kActive)) return;
    uint32_t next = commandPtr_;
    if (idleAtEnd_) {
        uint8_t raw[4];
        if (!controller_.host().DmaRead(lastBranchAddress_, raw, 4)) return Fatal(event_code::kDescriptorRead);
        next = host_order::LoadLe32(raw);
    }
    if (descriptor::Z(next) == 0) return;
    idleAtEnd_ = false;
    commandPtr_ = next;
    SetActive(true);
}

void IsoXmitContext::Fatal(uint8_t event) {
    idleAtEnd_ = false;
    Die(event);
    controller_.RaiseInterrupt(kUnrecoverableError);
}

void IsoXmitContext::OnCycleStart(uint32_t cycleTime) {
    const uint64_t cycle = CycleNumber(cycleTime);
    const bool lost = haveLastCycle_ && cycle != (lastCycle_ + 1) % (uint64_t(cycle_time::kCyclesPerSecond) * 128);
    haveLastCycle_ = true;
    lastCycle_ = cycle;
    if (!IsRunning() || (control_ & context_control::kActive) == 0) return;
    if (control_ & it_control::kCycleMatchEnable) {
        if (cycle_time::MatchValue(cycleTime) != it_control::CycleMatch(control_)) return;
        control_ &= ~it_control::kCycleMatchEnable;
    } else if (lost && controller_.config().itSkipOnLostCycle) {
        uint8_t raw[4];
        if (!controller_.host().DmaRead(descriptor::BranchAddress(commandPtr_) + 8, raw, 4))
            return Fatal(event_code::kDescriptorRead);
        const uint32_t skip = host_order::LoadLe32(raw);
        if (descriptor::Z(skip) == 0) {
            lastBranchAddress_ = descriptor::BranchAddress(commandPtr_) + 8;
            idleAtEnd_ = true;
            SetActive(false);
            return;
        }
        commandPtr_ = skip;
    }
    Block block;
    if (FetchBlock(&block)) Send(block, cycleTime);
}

bool IsoXmitContext::FetchBlock(Block* block) {
    const uint32_t address = descriptor::BranchAddress(commandPtr_);
    const int z = descriptor::Z(commandPtr_);
    if (z < 1 || z > 8) return Fatal(event_code::kUnknown), false;
    std::array<uint8_t, 8 * descriptor::kSize> raw{};
    if (!controller_.host().DmaRead(address, raw.data(), uint32_t(z) * descriptor::kSize))
        return Fatal(event_code::kDescriptorRead), false;
    auto quadlet = [&raw](int slot, int i) { return host_order::LoadLe32(&raw[size_t(slot) * 16 + size_t(i) * 4]); };
    const uint32_t first = quadlet(0, 0);
    const uint8_t cmd = descriptor::Cmd(first);
    block->skip = quadlet(0, 2);
    data_.clear();
    if (descriptor::Key(first) == descriptor::kKeyData) {
        // A lone OUTPUT_LAST with reqCount 0: an empty cycle.
        if (z != 1 || cmd != descriptor::kOutputLast || descriptor::ReqCount(first) != 0 ||
            descriptor::Branch(first) != descriptor::kBranchAlways)
            return Fatal(event_code::kUnknown), false;
        block->empty = true;
        block->lastAddress = address;
        block->lastQ0 = first;
        return true;
    }
    if (descriptor::Key(first) != descriptor::kKeyImmediate || descriptor::ReqCount(first) != 8 || z < 2 ||
        (cmd != descriptor::kOutputMore && cmd != descriptor::kOutputLast))
        return Fatal(event_code::kUnknown), false;
    block->header[0] = quadlet(1, 0);
    block->header[1] = quadlet(1, 1);
    int lastSlot = cmd == descriptor::kOutputLast ? 0 : -1;
    int slot = 2;
    while (lastSlot < 0 && slot < z) {
        const uint32_t q0 = quadlet(slot, 0);
        const uint8_t c = descriptor::Cmd(q0);
        if (descriptor::Key(q0) != descriptor::kKeyData || (c != descriptor::kOutputMore && c != descriptor::kOutputLast))
            return Fatal(event_code::kUnknown), false;
        if (!Gather(quadlet(slot, 1), descriptor::ReqCount(q0))) return false;
        if (c == descriptor::kOutputLast) lastSlot = slot;
        ++slot;
    }
    if (lastSlot < 0 || slot != z || descriptor::Branch(quadlet(lastSlot, 0)) != descriptor::kBranchAlways)
        return Fatal(event_code::kUnknown), false;
    block->lastAddress = address + uint32_t(lastSlot) * descriptor::kSize;
    block->lastQ0 = quadlet(lastSlot, 0);
    return true;
}

bool IsoXmitContext::Gather(uint32_t address, uint16_t length) {
    if (length == 0) return true;
    const size_t at = data_.size();
    data_.resize(at + length);
    if (controller_.host().DmaRead(address, &data_[at], length)) return true;
    Fatal(event_code::kDataRead);
    return false;
}

void IsoXmitContext::Send(const Block& block, uint32_t cycleTime) {
    if (block.empty) {
        Complete(block, kAckCompleteEvent, cycleTime);
        return;
    }
    const uint32_t q0 = block.header[0];
    if (((q0 >> 4) & 0xF) != kTcodeIsochronousBlock) {
        Complete(block, event_code::kTcodeError, cycleTime);
        return;
    }
    const uint16_t dataLength = uint16_t(block.header[1] >> 16);
    packet_.channel = uint8_t((q0 >> 8) & 0x3F);
    packet_.tag = uint8_t((q0 >> 14) & 0x3);
    packet_.sy = uint8_t(q0 & 0xF);
    packet_.speed = Speed(std::min<uint32_t>((q0 >> 16) & 0x7, kS3200));
    packet_.data.assign(dataLength, 0);
    const bool swap = controller_.NoByteSwapData();
    for (size_t i = 0; i < dataLength && i < data_.size(); ++i)
        packet_.data[i] = data_[swap ? ((i & ~size_t(3)) | (3 - (i & 3))) : i];
    if (underrunNext_) {
        underrunNext_ = false;
        Complete(block, event_code::kUnderrun, cycleTime);
        return;
    }
    if (!Complete(block, kAckCompleteEvent, cycleTime)) return;
    if (controller_.bus() && controller_.LinkEnabled()) controller_.bus()->SendIsochronous(&controller_, packet_);
}

// Status into the OUTPUT_LAST, the interrupt, the branch.
bool IsoXmitContext::Complete(const Block& block, uint8_t event, uint32_t cycleTime) {
    SetEvent(event);
    control_ = (control_ & ~context_control::kSpeedMask);
    if (descriptor::Status(block.lastQ0)) {
        uint8_t status[4];
        host_order::StoreLe32(status, descriptor::MakeQ3(uint16_t(control_ & 0xFFFF), cycle_time::Stamp(cycleTime)));
        if (!controller_.host().DmaWrite(block.lastAddress + 12, status, 4)) return Fatal(event_code::kUnknown), false;
    }
    if (descriptor::Interrupt(block.lastQ0) == descriptor::kInterruptAlways) controller_.RaiseIsoXmitInterrupt(index_);
    Follow(block.lastAddress + 8);
    return !Dead();
}

void IsoXmitContext::Follow(uint32_t branchAddress) {
    uint8_t raw[4];
    if (!controller_.host().DmaRead(branchAddress, raw, 4)) return Fatal(event_code::kDescriptorRead);
    const uint32_t branch = host_order::LoadLe32(raw);
    if (descriptor::Z(branch) == 0) {
        lastBranchAddress_ = branchAddress;
        idleAtEnd_ = true;
        SetActive(false);
        return;
    }
    commandPtr_ = branch;
}

}  // namespace sim
