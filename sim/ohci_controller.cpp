// The OHCI 1.1 register file, interrupts, cycle timer, PHY access, CSR compare-swap unit, bus
// reset and self-ID reception. Requests the controller answers itself: ohci_requests.cpp.
//
// Choices where OHCI 1.1 leaves room, as this controller makes them:
// - Soft reset completes at once (HCControl.softReset reads 0 at the next read); it resets the
//   registers and contexts of the link and leaves HCControl.LPS, the PHY, SelfIDCount and the
//   self-ID generation alone.
// - With HCControl.LPS clear the link is off: a PhyControl write does nothing and raises
//   IntEvent.regAccessFail; the link takes no part in bus resets (no busReset, no self-ID).
// - linkEnable gates reception: with it clear the link acks no packet, stores no self-ID and
//   raises no selfIDComplete (busReset and NodeID still follow the PHY).
// - ConfigROMhdr and BusOptions writes take effect at once. A ConfigROMmap write while linkEnable
//   is set goes to the shadow; at the next bus reset with BIBimageValid set the controller loads
//   ConfigROMmap from it and ConfigROMhdr/BusOptions from quadlets 0 and 2 of the new image
//   (OHCI 1.1 5.5.6). GUIDHi/GUIDLo are loaded from Config at power-up and writable only while
//   linkEnable is clear.
// - At every bus reset BUS_MANAGER_ID returns to 0x3F and BANDWIDTH_AVAILABLE and
//   CHANNELS_AVAILABLE_HI/LO to InitialBandwidthAvailable / InitialChannelsAvailableHi/Lo (reset
//   values 4915, 0xFFFFFFFF, 0xFFFFFFFF: IEEE 1394 8.3.2.3.7-8; software that wants broadcast
//   channel 31 allocated writes InitialChannelsAvailableHi = 0xFFFFFFFE), and the
//   PhysicalRequestFilter is cleared; the AsynchronousRequestFilter is kept.
// - selfIDGeneration counts completed self-identifications (a reset restarted during a reset counts
//   once). A self-ID buffer that cannot be written (unmapped) sets SelfIDCount.selfIDError; it is no
//   context, so unrecoverableError is not raised.
// - The bus-reset packet goes into the AR request context when self-identification completes,
//   with the new generation.
// - cycleSynch and cycle64Seconds are raised as the cycle timer passes a cycle / bit 6 of
//   cycleSeconds flips; the timer runs on the host clock while LinkControl.cycleTimerEnable is set.
// - Cycle master: LinkControl.cycleMaster with cycleTimerEnable and the link enabled; the bus
//   lets it send cycle starts while it is root (a controller that is not root sends none and keeps
//   the bit). Another node's cycle starts load the timer: while they reach the link the timer
//   reads as the master's, and a cycle start that disagrees with the timer by more than a tick's
//   rounding raises cycleInconsistent (while cycleTimerEnable is set).
// - cycleLost: the timer passed two cycle boundaries with no cycle start sent or received between
//   them (no cycle master, the master stopped, a reset, the link disabled).
// - cycleTooLong: as cycle master, a cycle whose isochronous packets ran past its end (Bus);
//   cycleMaster is cleared with it.
// - Isochronous packets go to the IR contexts (ir_context.cpp) and IT contexts send at every cycle
//   start (it_context.cpp) while the link is enabled.
#include "ohci_controller.h"

#include <algorithm>
#include <cstring>

#include "ar_context.h"
#include "at_context.h"
#include "bus.h"
#include "cycle_time.h"
#include "irm.h"
#include "iso_registers.h"
#include "ohci_regs.h"

namespace sim {

using namespace ohci;

namespace {
constexpr uint32_t kSelfIdBufferQuadlets = 512;  // 2 KiB
}  // namespace

OhciController::OhciController(Host& host, const Config& config)
    : Node("ohci", config.ports, config.speed), host_(host), config_(config) {
    atRequest_ = std::make_unique<AtContext>(*this, AtContext::Kind::kRequest);
    atResponse_ = std::make_unique<AtContext>(*this, AtContext::Kind::kResponse);
    arRequest_ = std::make_unique<ArContext>(*this, ArContext::Kind::kRequest);
    arResponse_ = std::make_unique<ArContext>(*this, ArContext::Kind::kResponse);
    iso_ = std::make_unique<IsoContextRegisters>(*this, config.itContexts, config.irContexts);
    // Power-up: the link is off until software sets LPS.
    hcControl_ = 0;
    ResetRegisters();
}

OhciController::~OhciController() = default;

void OhciController::At(Ticks when, std::function<void()> event) {
    std::weak_ptr<int> alive = alive_;
    const uint32_t epoch = epoch_;
    host_.Schedule(when, [this, alive, epoch, event = std::move(event)] {
        if (alive.expired() || epoch != epoch_) return;
        event();
    });
}

// ---- Reset ----

// The values the link's registers take at power-up and soft reset (OHCI 1.1 chapter 5, the
// "soft reset" column of each register).
void OhciController::ResetRegisters() {
    const uint32_t lps = hcControl_ & hc_control::kLps;
    hcControl_ = lps | (config_.programPhyEnable ? hc_control::kProgramPhyEnable : 0);
    atRetries_ = 0;
    csrReadData_ = csrCompareData_ = 0;
    csrControl_ = csr_control::kCsrDone;
    initialBandwidthAvailable_ = kBandwidthAvailableInitial;
    initialChannelsAvailableHi_ = initialChannelsAvailableLo_ = kChannelsAvailableInitial;
    ResetCsrRegisters();
    configRomHdr_ = 0;
    busOptions_ = bus_options::Make(config_.cycClkAcc, config_.maxRec, uint8_t(std::min<int>(config_.speed, 7)));
    guidHi_ = uint32_t(config_.guid >> 32);
    guidLo_ = uint32_t(config_.guid);
    configRomMap_ = configRomMapShadow_ = 0;
    configRomMapPending_ = false;
    postedWriteAddressLo_ = postedWriteAddressHi_ = 0;
    selfIdBuffer_ = 0;
    irMultiChanMaskHi_ = irMultiChanMaskLo_ = 0;
    intEvent_ = intMask_ = 0;
    fairnessControl_ = 0;
    linkControl_ = 0;
    nodeId_ = (uint32_t(kLocalBus) << 6) | node_id::kNodeNumberMask;
    phyControl_ = 0;
    cycleTimerBase_ = host_.Now();
    cycleTimerLinear_ = 0;
    cycleTimerRunning_ = false;
    lastCycleSeen_ = 0;
    cycleStartsFlowing_ = false;
    following_ = nullptr;
    lastStartCycle_ = 0;
    asyncRequestFilterHi_ = asyncRequestFilterLo_ = 0;
    physicalRequestFilterHi_ = physicalRequestFilterLo_ = 0;
    physicalUpperBound_ = 0;
    atRequest_->Reset();
    atResponse_->Reset();
    arRequest_->Reset();
    arResponse_->Reset();
    iso_->Reset();
    ++epoch_;  // pending PHY accesses and hardware responses are forgotten
    ForgetCycleEvent();
    UpdateInterruptLine();
}

void OhciController::SoftReset() {
    ResetRegisters();
    if (bus()) bus()->CycleDemandChanged();
}

void OhciController::ResetCsrRegisters() {
    csrRegisters_[csr_control::kBusManagerId] = kBusManagerIdNone;
    csrRegisters_[csr_control::kBandwidthAvailable] = initialBandwidthAvailable_;
    csrRegisters_[csr_control::kChannelsAvailableHi] = initialChannelsAvailableHi_;
    csrRegisters_[csr_control::kChannelsAvailableLo] = initialChannelsAvailableLo_;
}

// ---- The register window ----

uint32_t OhciController::ReadRegister(uint32_t offset) {
    offset &= kWindowSize - 4;
    uint32_t value = 0;
    if (ReadAsyncContext(offset, &value) || iso_->Read(offset, &value)) return value;
    switch (offset) {
    case kVersion: return config_.version;
    case kGuidRom: return 0;  // no GUID ROM (Version.GUID_ROM clear)
    case kATRetries: return atRetries_;
    case kCsrReadData: return csrReadData_;
    case kCsrCompareData: return csrCompareData_;
    case kCsrControl: return csrControl_;
    case kConfigRomHdr: return configRomHdr_;
    case kBusId: return kBusIdValue;
    case kBusOptions: return busOptions_;
    case kGuidHi: return guidHi_;
    case kGuidLo: return guidLo_;
    case kConfigRomMap: return configRomMapPending_ ? configRomMapShadow_ : configRomMap_;
    case kPostedWriteAddressLo: return postedWriteAddressLo_;
    case kPostedWriteAddressHi: return postedWriteAddressHi_;
    case kVendorId: return config_.vendorId;
    case kHCControlSet:
    case kHCControlClear: return hcControl_;
    case kSelfIdBuffer: return selfIdBuffer_;
    case kSelfIdCount: return selfIdCount_;
    case kIRMultiChanMaskHiSet:
    case kIRMultiChanMaskHiClear: return irMultiChanMaskHi_;
    case kIRMultiChanMaskLoSet:
    case kIRMultiChanMaskLoClear: return irMultiChanMaskLo_;
    case kIntEventSet: return IntEventValue();
    case kIntEventClear: return IntEventValue() & intMask_;  // the events that interrupt
    case kIntMaskSet:
    case kIntMaskClear: return intMask_;
    case kInitialBandwidthAvailable: return initialBandwidthAvailable_;
    case kInitialChannelsAvailableHi: return initialChannelsAvailableHi_;
    case kInitialChannelsAvailableLo: return initialChannelsAvailableLo_;
    case kFairnessControl: return fairnessControl_;
    case kLinkControlSet:
    case kLinkControlClear: return linkControl_;
    case kNodeId:
        return nodeId_ | (phy().cablePower ? node_id::kCps : 0);
    case kPhyControl: return phyControl_;
    case kIsochronousCycleTimer: return CycleTimer();
    case kAsyncRequestFilterHiSet:
    case kAsyncRequestFilterHiClear: return asyncRequestFilterHi_;
    case kAsyncRequestFilterLoSet:
    case kAsyncRequestFilterLoClear: return asyncRequestFilterLo_;
    case kPhysicalRequestFilterHiSet:
    case kPhysicalRequestFilterHiClear: return physicalRequestFilterHi_;
    case kPhysicalRequestFilterLoSet:
    case kPhysicalRequestFilterLoClear: return physicalRequestFilterLo_;
    case kPhysicalUpperBound: return physicalUpperBound_;
    default: return 0;  // reserved
    }
}

void OhciController::WriteRegister(uint32_t offset, uint32_t value) {
    offset &= kWindowSize - 4;
    if (WriteAsyncContext(offset, value)) {
        UpdateInterruptLine();
        return;
    }
    if (iso_->Write(offset, value)) {
        // A context that starts or stops changes whether the link wants cycles.
        if (bus()) bus()->CycleDemandChanged();
        UpdateInterruptLine();
        return;
    }
    switch (offset) {
    case kATRetries: atRetries_ = value & at_retries::kWritable; break;
    case kCsrReadData: csrReadData_ = value; break;
    case kCsrCompareData: csrCompareData_ = value; break;
    case kCsrControl: CsrControlWrite(value); break;
    case kConfigRomHdr: configRomHdr_ = value; break;
    case kBusOptions: busOptions_ = (value & ~0x7u) | (busOptions_ & 0x7u); break;  // link_spd is the chip's
    case kGuidHi:
        if (!LinkEnabled()) guidHi_ = value;
        break;
    case kGuidLo:
        if (!LinkEnabled()) guidLo_ = value;
        break;
    case kConfigRomMap: WriteConfigRomMap(value); break;
    case kHCControlSet: WriteHCControl(value, 0); break;
    case kHCControlClear: WriteHCControl(0, value); break;
    case kSelfIdBuffer: selfIdBuffer_ = value & kSelfIdBufferMask; break;
    case kIRMultiChanMaskHiSet: irMultiChanMaskHi_ |= value; break;
    case kIRMultiChanMaskHiClear: irMultiChanMaskHi_ &= ~value; break;
    case kIRMultiChanMaskLoSet: irMultiChanMaskLo_ |= value; break;
    case kIRMultiChanMaskLoClear: irMultiChanMaskLo_ &= ~value; break;
    case kIntEventSet: intEvent_ |= value & int_event::kImplemented & ~int_event::kComputed; break;
    case kIntEventClear:
        CatchUpCycleEvents();  // an event that happened before the write is what it clears
        intEvent_ &= ~value;
        break;
    case kIntMaskSet: intMask_ |= value & (int_event::kImplemented | int_event::kMasterIntEnable); break;
    case kIntMaskClear: intMask_ &= ~value; break;
    case kInitialBandwidthAvailable: initialBandwidthAvailable_ = value & kBandwidthMask; break;
    case kInitialChannelsAvailableHi: initialChannelsAvailableHi_ = value; break;
    case kInitialChannelsAvailableLo: initialChannelsAvailableLo_ = value; break;
    case kFairnessControl: fairnessControl_ = value & kFairnessPriReqMask; break;
    case kLinkControlSet: WriteLinkControl(value, 0); break;
    case kLinkControlClear: WriteLinkControl(0, value); break;
    case kNodeId:
        // Only busNumber is software's; the bus answers to it as well as to 0x3FF.
        nodeId_ = (nodeId_ & ~node_id::kBusNumberMask) | (value & node_id::kBusNumberMask);
        if (bus()) bus()->busId = uint16_t((nodeId_ & node_id::kBusNumberMask) >> 6);
        break;
    case kPhyControl: PhyControlWrite(value); break;
    case kIsochronousCycleTimer: WriteCycleTimer(value); break;
    case kAsyncRequestFilterHiSet: asyncRequestFilterHi_ |= value; break;
    case kAsyncRequestFilterHiClear: asyncRequestFilterHi_ &= ~value; break;
    case kAsyncRequestFilterLoSet: asyncRequestFilterLo_ |= value; break;
    case kAsyncRequestFilterLoClear: asyncRequestFilterLo_ &= ~value; break;
    case kPhysicalRequestFilterHiSet: physicalRequestFilterHi_ |= value; break;
    case kPhysicalRequestFilterHiClear: physicalRequestFilterHi_ &= ~value; break;
    case kPhysicalRequestFilterLoSet: physicalRequestFilterLo_ |= value; break;
    case kPhysicalRequestFilterLoClear: physicalRequestFilterLo_ &= ~value; break;
    case kPhysicalUpperBound: physicalUpperBound_ = value; break;
    default: break;  // read-only and reserved registers ignore writes
    }
    UpdateInterruptLine();
}

DmaContext* OhciController::AsyncContextAt(uint32_t block) {
    switch (block) {
    case kAsyncRequestTransmit: return atRequest_.get();
    case kAsyncResponseTransmit: return atResponse_.get();
    case kAsyncRequestReceive: return arRequest_.get();
    default: return arResponse_.get();
    }
}

bool OhciController::ReadAsyncContext(uint32_t offset, uint32_t* value) {
    if (offset < kAsyncRequestTransmit || offset >= kAsyncContextsEnd) return false;
    const uint32_t reg = offset & 0x1F;
    DmaContext* context = AsyncContextAt(offset & ~0x1Fu);
    *value = 0;
    if (reg == kContextControlSet || reg == kContextControlClear) *value = context->Control();
    if (reg == kCommandPtr) *value = context->CommandPtr();
    return true;
}

bool OhciController::WriteAsyncContext(uint32_t offset, uint32_t value) {
    if (offset < kAsyncRequestTransmit || offset >= kAsyncContextsEnd) return false;
    const uint32_t reg = offset & 0x1F;
    DmaContext* context = AsyncContextAt(offset & ~0x1Fu);
    if (reg == kContextControlSet) context->WriteControlSet(value);
    if (reg == kContextControlClear) context->WriteControlClear(value);
    if (reg == kCommandPtr) context->WriteCommandPtr(value);
    return true;
}

// HCControl . softReset is set-only and self-clears; programPhyEnable comes from the
// chip's configuration and software may only clear it; aPhyEnhanceEnable may change only while
// programPhyEnable is set.
void OhciController::WriteHCControl(uint32_t set, uint32_t clear) {
    using namespace hc_control;
    if (set & kSoftReset) {
        SoftReset();
        return;
    }
    uint32_t writable = kBibImageValid | kNoByteSwapData | kAckTardyEnable | kLps | kPostedWriteEnable | kLinkEnable;
    if (hcControl_ & kProgramPhyEnable) writable |= kAPhyEnhanceEnable;
    hcControl_ |= set & writable;
    hcControl_ &= ~(clear & (writable | kProgramPhyEnable));
    RefreshCycleFlow();
    if (bus()) bus()->CycleDemandChanged();
}

// LinkControl. cycleTimerEnable starts and stops the cycle timer.
void OhciController::WriteLinkControl(uint32_t set, uint32_t clear) {
    linkControl_ |= set & link_control::kWritable;
    linkControl_ &= ~(clear & link_control::kWritable);
    SetCycleTimerRunning((linkControl_ & link_control::kCycleTimerEnable) != 0);
    RefreshCycleFlow();
    if (bus()) bus()->CycleDemandChanged();
}

void OhciController::WriteConfigRomMap(uint32_t value) {
    value &= kConfigRomMapMask;
    if (LinkEnabled()) {
        configRomMapShadow_ = value;
        configRomMapPending_ = true;
    } else {
        configRomMap_ = value;
        configRomMapPending_ = false;
    }
}

bool OhciController::LinkPowered() const { return (hcControl_ & hc_control::kLps) != 0; }

void OhciController::OnPhyInterrupt() {
    if (LinkPowered()) RaiseInterrupt(int_event::kPhy);
}
bool OhciController::LinkEnabled() const {
    return (hcControl_ & (hc_control::kLinkEnable | hc_control::kLps)) == (hc_control::kLinkEnable | hc_control::kLps);
}
bool OhciController::NodeIdValid() const { return (nodeId_ & node_id::kIdValid) != 0; }
bool OhciController::NoByteSwapData() const { return (hcControl_ & hc_control::kNoByteSwapData) != 0; }
bool OhciController::RcvPhyPkt() const { return (linkControl_ & link_control::kRcvPhyPkt) != 0; }
bool OhciController::BusResetPending() const { return (intEvent_ & int_event::kBusReset) != 0; }

// ---- Interrupts (OHCI 1.1 chapter 6) ----

uint32_t OhciController::IntEventValue() {
    CatchUpCycleEvents();
    uint32_t value = intEvent_;
    if (iso_->XmitInterrupt()) value |= int_event::kIsochTx;
    if (iso_->RecvInterrupt()) value |= int_event::kIsochRx;
    return value;
}

void OhciController::RaiseInterrupt(uint32_t intEventBits) {
    intEvent_ |= intEventBits & int_event::kImplemented & ~int_event::kComputed;
    UpdateInterruptLine();
}

void OhciController::RaiseIsoXmitInterrupt(int context) {
    iso_->RaiseXmit(context);
    UpdateInterruptLine();
}

void OhciController::RaiseIsoRecvInterrupt(int context) {
    iso_->RaiseRecv(context);
    UpdateInterruptLine();
}

// The line is level-sensitive: asserted while masterIntEnable is set and any event is both
// pending and enabled.
void OhciController::UpdateInterruptLine() {
    const bool asserted = (intMask_ & int_event::kMasterIntEnable) != 0 &&
                          (IntEventValue() & intMask_ & ~int_event::kMasterIntEnable) != 0;
    if (!lineKnown_ || asserted != interruptLine_) {
        interruptLine_ = asserted;
        lineKnown_ = true;
        host_.SetInterruptLine(asserted);
    }
    ScheduleCycleEvent();
}

void OhciController::InjectUnrecoverableError() { RaiseInterrupt(int_event::kUnrecoverableError); }

// A cycle master whose cycle ran too long: the controller drops cycleMaster (OHCI 1.1 6.1).
void OhciController::InjectDeadContext(ContextId context, uint8_t eventCode, int isoIndex) {
    DmaContext* target = nullptr;
    switch (context) {
    case ContextId::kAtRequest: target = atRequest_.get(); break;
    case ContextId::kAtResponse: target = atResponse_.get(); break;
    case ContextId::kArRequest: target = arRequest_.get(); break;
    case ContextId::kArResponse: target = arResponse_.get(); break;
    case ContextId::kIsoXmit: target = &iso_->it(isoIndex); break;
    case ContextId::kIsoRecv: target = &iso_->ir(isoIndex); break;
    }
    target->InjectDeath(eventCode);
    RaiseInterrupt(int_event::kUnrecoverableError);
}

size_t OhciController::InjectArBytes(ContextId context, const std::vector<uint8_t>& bytes) {
    if (context == ContextId::kArRequest) return arRequest_->StoreRaw(bytes);
    if (context == ContextId::kArResponse) return arResponse_->StoreRaw(bytes);
    return 0;
}

void OhciController::InjectCycleTooLong() {
    OnCycleTooLong();
    if (bus()) bus()->CycleDemandChanged();
}

// ---- Cycle timer ----

// While another node's cycle starts load the timer at every cycle, the timer reads as that node's
// (the same clock drives both; between two cycle starts they cannot drift apart).
uint64_t OhciController::CycleTimerLinear() const {
    if (!cycleTimerRunning_) return cycleTimerLinear_;
    const uint64_t own = cycleTimerLinear_ + cycle_time::OffsetsForTicks(host_.Now() - cycleTimerBase_);
    if (!following_) return own;
    int64_t delta = int64_t((cycle_time::ToLinear(following_->CycleTime()) + cycle_time::kPeriod -
                             own % cycle_time::kPeriod) % cycle_time::kPeriod);
    if (delta > int64_t(cycle_time::kPeriod / 2)) delta -= int64_t(cycle_time::kPeriod);
    return uint64_t(int64_t(own) + delta);
}

uint32_t OhciController::CycleTimer() const { return cycle_time::FromLinear(CycleTimerLinear()); }

void OhciController::SetCycleTimerRunning(bool running) {
    if (running == cycleTimerRunning_) return;
    cycleTimerLinear_ = CycleTimerLinear();
    cycleTimerBase_ = host_.Now();
    cycleTimerRunning_ = running;
    ForgetCycleEvent();
}

// Software may set the timer (a cycle master's starting point); out-of-range fields wrap.
void OhciController::WriteCycleTimer(uint32_t value) {
    CatchUpCycleEvents();
    const uint64_t count = std::min<uint32_t>(cycle_timer::Count(value), cycle_timer::kCyclesPerSecond - 1);
    const uint64_t offset = std::min<uint32_t>(cycle_timer::Offset(value), cycle_timer::kOffsetsPerCycle - 1);
    cycleTimerLinear_ = uint64_t(cycle_timer::Seconds(value)) * cycle_timer::kOffsetsPerSecond +
                        count * cycle_timer::kOffsetsPerCycle + offset;
    cycleTimerBase_ = host_.Now();
    lastCycleSeen_ = cycleTimerLinear_ / cycle_timer::kOffsetsPerCycle;
    ForgetCycleEvent();
}

// The next boundary moved: the event scheduled for the old one is dropped (and a new one is
// scheduled when the line is next recomputed).
void OhciController::ForgetCycleEvent() {
    ++cycleEventSerial_;
    cycleEventScheduled_ = false;
}

// cycleSynch: a new cycle began since the last look; cycle64Seconds: bit 6 of cycleSeconds changed.
void OhciController::CatchUpCycleEvents() {
    const uint64_t cycle = CycleTimerLinear() / cycle_timer::kOffsetsPerCycle;
    if (cycle == lastCycleSeen_) return;
    if (cycle > lastCycleSeen_) {
        intEvent_ |= int_event::kCycleSynch;
        const uint64_t cyclesPer64 = uint64_t(cycle_timer::kCyclesPerSecond) * 64;
        if (cycle / cyclesPer64 != lastCycleSeen_ / cyclesPer64) intEvent_ |= int_event::kCycle64Seconds;
        // cycleLost: two cycleSynch events with no cycle start between them.
        if (cycleStartsFlowing_)
            lastStartCycle_ = cycle;
        else if (cycle >= lastStartCycle_ + 2)
            intEvent_ |= int_event::kCycleLost;
    } else {
        lastStartCycle_ = cycle;
    }
    lastCycleSeen_ = cycle;
}

// The line must rise when an enabled cycle event happens, so a clock event is kept at the next
// boundary while software has one enabled and not yet pending.
void OhciController::ScheduleCycleEvent() {
    using namespace int_event;
    if (cycleEventScheduled_ || !cycleTimerRunning_ || (intMask_ & kMasterIntEnable) == 0) return;
    uint32_t wanted = intMask_ & ~intEvent_ & (kCycleSynch | kCycle64Seconds | kCycleLost);
    if (cycleStartsFlowing_) wanted &= ~kCycleLost;
    if (wanted == 0) return;
    const uint64_t linear = CycleTimerLinear();
    const uint64_t unit =
        (wanted & (kCycleSynch | kCycleLost)) ? cycle_timer::kOffsetsPerCycle : cycle_timer::kOffsetsPerSecond * 64;
    const uint64_t next = (linear / unit + 1) * unit;
    const Ticks when = cycleTimerBase_ + cycle_time::TicksForOffsets(next - cycleTimerLinear_);
    cycleEventScheduled_ = true;
    const uint32_t serial = cycleEventSerial_;
    At(when, [this, serial] {
        if (serial != cycleEventSerial_) return;
        cycleEventScheduled_ = false;
        UpdateInterruptLine();  // catches the events up and schedules the next one
    });
}

// ---- The isochronous cycle (OHCI 1.1 5.10, 6.1, 9, 10) ----

// Cycle master: LinkControl.cycleMaster with the cycle timer counting and the link enabled; the
// bus lets it send cycle starts while it is root.
bool OhciController::CycleMasterEnabled() const {
    const uint32_t bits = link_control::kCycleMaster | link_control::kCycleTimerEnable;
    return LinkEnabled() && (linkControl_ & bits) == bits;
}

bool OhciController::WantsCycleStarts() const { return LinkEnabled() && iso_->AnyRunning(); }

// Whether cycle starts reach the link now (sent by this link as master, or received).
void OhciController::RefreshCycleFlow() {
    CatchUpCycleEvents();
    if (following_) {  // the timer goes on from the value it had
        cycleTimerLinear_ = CycleTimerLinear();
        cycleTimerBase_ = host_.Now();
        following_ = nullptr;
    }
    Node* master = bus() && LinkEnabled() ? bus()->CycleMaster(this) : nullptr;
    const bool flowing = master != nullptr;
    following_ = nullptr;
    if (flowing && master != this) SyncCycleTimer(master->CycleTime());
    following_ = flowing && master != this ? master : nullptr;
    if (!flowing && cycleStartsFlowing_) lastStartCycle_ = lastCycleSeen_;
    cycleStartsFlowing_ = flowing;
    ForgetCycleEvent();
    UpdateInterruptLine();
}

void OhciController::OnCycleMasterChange() { RefreshCycleFlow(); }

// A received cycle start loads the cycle timer; one whose seconds and count differ from the
// timer's raises cycleInconsistent (OHCI 1.1 6.1) while the timer is enabled.
void OhciController::SyncCycleTimer(uint32_t cycleTime) {
    if (following_) return;  // the timer reads as the master's already
    const uint64_t local = CycleTimerLinear();
    int64_t delta = int64_t((cycle_time::ToLinear(cycleTime) + cycle_time::kPeriod - local % cycle_time::kPeriod) %
                            cycle_time::kPeriod);
    if (delta > int64_t(cycle_time::kPeriod / 2)) delta -= int64_t(cycle_time::kPeriod);
    if (delta == 0) return;
    // The same clock drives both timers: a difference of a tick's rounding is no inconsistency.
    const bool consistent = delta >= -2 && delta <= 2;
    if (!consistent && (linkControl_ & link_control::kCycleTimerEnable)) intEvent_ |= int_event::kCycleInconsistent;
    cycleTimerLinear_ = uint64_t(int64_t(local) + delta);
    cycleTimerBase_ = host_.Now();
    lastCycleSeen_ = lastStartCycle_ = cycleTimerLinear_ / cycle_timer::kOffsetsPerCycle;
    ForgetCycleEvent();
}

// The cycle start loads the timer (unless this link sent it) and starts the IR contexts that wait
// for this cycle; the IT contexts send after it.
void OhciController::ReceiveCycleStart(uint32_t cycleTime) {
    if (!LinkEnabled()) return;
    if (bus() && bus()->CycleMaster(this) != this) SyncCycleTimer(cycleTime);
    CatchUpCycleEvents();
    lastStartCycle_ = lastCycleSeen_;
    iso_->ReceiveCycleStart(cycleTime);
}

void OhciController::OnCycleStart(uint32_t cycleTime) {
    if (!LinkEnabled()) return;
    iso_->OnCycleStart(cycleTime);
    UpdateInterruptLine();
}

void OhciController::ReceiveIsochronous(const IsoPacket& packet) {
    if (!LinkEnabled()) return;
    iso_->Receive(packet, (uint64_t(irMultiChanMaskHi_) << 32) | irMultiChanMaskLo_);
    UpdateInterruptLine();
}

// The cycle ran too long: the controller stops being cycle master (OHCI 1.1 6.1).
void OhciController::OnCycleTooLong() {
    CatchUpCycleEvents();
    linkControl_ &= ~link_control::kCycleMaster;
    RaiseInterrupt(int_event::kCycleTooLong);
}

// ---- PHY access (PhyControl) ----

void OhciController::PhyControlWrite(uint32_t value) {
    using namespace phy_control;
    if (!LinkPowered()) {
        // No link-PHY interface without LPS: the access fails.
        RaiseInterrupt(int_event::kRegAccessFail);
        return;
    }
    // A new request clears rdDone; rdAddr/rdData keep the last read until this one completes.
    phyControl_ = (phyControl_ & 0x0FFF0000) | (value & (kRdReg | kWrReg | 0x0FFF));
    if ((value & (kRdReg | kWrReg)) == 0) return;
    const uint32_t serial = ++phyAccessSerial_;
    if (config_.phyAccessTime == 0) {
        CompletePhyAccess(serial);
    } else {
        At(host_.Now() + config_.phyAccessTime, [this, serial] { CompletePhyAccess(serial); });
    }
}

// `serial` names the access: one that a later PhyControl write replaced does not complete.
void OhciController::CompletePhyAccess(uint32_t serial) {
    using namespace phy_control;
    if (serial != phyAccessSerial_) return;
    const uint8_t reg = RegAddr(phyControl_);
    if (phyControl_ & kWrReg) {
        phyControl_ &= ~kWrReg;
        WritePhy(reg, WrData(phyControl_));
    } else if (phyControl_ & kRdReg) {
        phyControl_ = (phyControl_ & 0xFFF & ~kRdReg) | ReadResult(reg, phy().Read(reg));
        RaiseInterrupt(int_event::kPhyRegRcvd);
    }
    UpdateInterruptLine();
}

// A register write reaches the PHY; IBR and ISBR start a reset through the bus.
void OhciController::WritePhy(uint8_t reg, uint8_t value) {
    if (bus()) {
        bus()->WritePhyRegister(this, reg, value);
    } else {
        (void)phy().Write(reg, value);
    }
}

// ---- CSR compare-swap unit (CSRControl) ----

void OhciController::CsrControlWrite(uint32_t value) {
    const uint32_t select = value & csr_control::kCsrSelMask;
    csrReadData_ = CsrCompareSwap(select, csrCompareData_, csrReadData_);
    csrControl_ = csr_control::kCsrDone | select;
}

// Atomic compare-swap of one serial-bus resource register, as irm.h says an IRM takes it;
// returns the old value.
uint32_t OhciController::CsrCompareSwap(uint32_t select, uint32_t compare, uint32_t data) {
    return irm::CompareSwap(csrRegisters_, int(select), compare, data);
}

// ---- Bus reset and self-ID (OHCI 1.1 chapter 11) ----

void OhciController::OnBusResetStart() {
    if (!LinkPowered()) return;
    nodeId_ &= ~(node_id::kIdValid | node_id::kRoot);
    // busReset clears selfIDComplete; selfIDComplete2 stays (OHCI 1.1 6.1).
    intEvent_ = (intEvent_ | int_event::kBusReset) & ~int_event::kSelfIdComplete;
    ApplyConfigRomShadow();
    ResetCsrRegisters();
    physicalRequestFilterHi_ = physicalRequestFilterLo_ = 0;
    atRequest_->BusReset();
    atResponse_->BusReset();
    arRequest_->BusReset();
    arResponse_->BusReset();
    UpdateInterruptLine();
}

// The shadowed configuration ROM takes effect (OHCI 1.1 5.5.6): a ConfigROMmap written while the
// link was enabled, with ConfigROMhdr and BusOptions from quadlets 0 and 2 of its image.
void OhciController::ApplyConfigRomShadow() {
    if (!configRomMapPending_ || (hcControl_ & hc_control::kBibImageValid) == 0) return;
    configRomMap_ = configRomMapShadow_;
    configRomMapPending_ = false;
    uint8_t q[12];
    if (!host_.DmaRead(configRomMap_, q, sizeof q)) return;
    configRomHdr_ = (uint32_t(q[0]) << 24) | (uint32_t(q[1]) << 16) | (uint32_t(q[2]) << 8) | q[3];
    busOptions_ = (uint32_t(q[8]) << 24) | (uint32_t(q[9]) << 16) | (uint32_t(q[10]) << 8) | q[11];
}

void OhciController::OnSelfIdComplete(const std::vector<uint32_t>& selfIds) {
    if (!LinkPowered()) return;
    ++selfIdGeneration_;
    nodeId_ = (nodeId_ & node_id::kBusNumberMask) | node_id::kIdValid | (phy().isRoot ? node_id::kRoot : 0) |
              (phy().phyId & node_id::kNodeNumberMask);
    if (LinkEnabled()) {
        if (linkControl_ & link_control::kRcvSelfId) {
            WriteSelfIds(selfIds);
        } else {
            selfIdCount_ = self_id_count::Make(false, selfIdGeneration_, 0);
        }
        arRequest_->StoreBusResetPacket(selfIdGeneration_);
        intEvent_ |= int_event::kSelfIdComplete | int_event::kSelfIdComplete2;
    }
    UpdateInterruptLine();
}

// The self-ID buffer (OHCI 1.1 chapter 11): quadlet 0 = selfIDGeneration 23:16 | timeStamp 15:0, then
// every self-ID packet received followed by its inverse, as little-endian quadlets.
void OhciController::WriteSelfIds(const std::vector<uint32_t>& selfIds) {
    std::vector<uint32_t> q;
    const uint8_t headerGeneration =
        selfIdFault == SelfIdFault::kWrongGeneration ? uint8_t(selfIdGeneration_ - 1) : selfIdGeneration_;
    q.push_back(self_id_header::Make(headerGeneration, cycle_timer::TimeStamp(CycleTimer())));
    for (uint32_t packet : selfIds) {
        if (q.size() + 2 > kSelfIdBufferQuadlets - 1) break;
        q.push_back(packet);
        q.push_back(~packet);
    }
    if (selfIdFault == SelfIdFault::kBadInverse && q.size() >= 3) q[2] ^= 0x00000100;
    if (selfIdFault == SelfIdFault::kJunkAfter && q.size() + 2 <= kSelfIdBufferQuadlets - 1) {
        // A pair that passes the inverse check but is no self-ID packet (identifier 11b).
        q.push_back(0xE0F0A0B0);
        q.push_back(~0xE0F0A0B0u);
    }
    std::vector<uint8_t> bytes(q.size() * 4);
    for (size_t i = 0; i < q.size(); ++i) {
        for (int b = 0; b < 4; ++b) bytes[i * 4 + b] = uint8_t(q[i] >> (8 * b));
    }
    bool error = selfIdFault == SelfIdFault::kSelfIdError;
    if (!host_.DmaWrite(selfIdBuffer_, bytes.data(), uint32_t(bytes.size()))) error = true;
    selfIdCount_ = self_id_count::Make(error, selfIdGeneration_, uint32_t(q.size()));
    selfIdFault = SelfIdFault::kNone;  // a fault damages one reception
}

void OhciController::ReceivePhyPacket(uint32_t quadlet) {
    if (LinkEnabled() && RcvPhyPkt()) arRequest_->DeliverPhyPacket(quadlet);
    UpdateInterruptLine();
}

}  // namespace sim
