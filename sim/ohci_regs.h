// The OHCI 1.1 register file as the controller implements it: offsets in the 2 KiB window
// (OHCI 1.1 chapter 5, table 5-1) and the fields of each register. The model's own table, written
// from OHCI 1.1; the driver keeps its own.
#pragma once

#include <cstdint>

namespace sim {
namespace ohci {

// Offsets (OHCI 1.1 table 5-1). A Set/Clear pair is named by its Set address; Clear is Set + 4.
inline constexpr uint32_t kVersion = 0x000;
inline constexpr uint32_t kGuidRom = 0x004;
inline constexpr uint32_t kATRetries = 0x008;
inline constexpr uint32_t kCsrReadData = 0x00C;
inline constexpr uint32_t kCsrCompareData = 0x010;
inline constexpr uint32_t kCsrControl = 0x014;
inline constexpr uint32_t kConfigRomHdr = 0x018;
inline constexpr uint32_t kBusId = 0x01C;
inline constexpr uint32_t kBusOptions = 0x020;
inline constexpr uint32_t kGuidHi = 0x024;
inline constexpr uint32_t kGuidLo = 0x028;
inline constexpr uint32_t kConfigRomMap = 0x034;
inline constexpr uint32_t kPostedWriteAddressLo = 0x038;
inline constexpr uint32_t kPostedWriteAddressHi = 0x03C;
inline constexpr uint32_t kVendorId = 0x040;
inline constexpr uint32_t kHCControlSet = 0x050;
inline constexpr uint32_t kHCControlClear = 0x054;
inline constexpr uint32_t kSelfIdBuffer = 0x064;
inline constexpr uint32_t kSelfIdCount = 0x068;
inline constexpr uint32_t kIRMultiChanMaskHiSet = 0x070;
inline constexpr uint32_t kIRMultiChanMaskHiClear = 0x074;
inline constexpr uint32_t kIRMultiChanMaskLoSet = 0x078;
inline constexpr uint32_t kIRMultiChanMaskLoClear = 0x07C;
inline constexpr uint32_t kIntEventSet = 0x080;
inline constexpr uint32_t kIntEventClear = 0x084;
inline constexpr uint32_t kIntMaskSet = 0x088;
inline constexpr uint32_t kIntMaskClear = 0x08C;
inline constexpr uint32_t kIsoXmitIntEventSet = 0x090;
inline constexpr uint32_t kIsoXmitIntEventClear = 0x094;
inline constexpr uint32_t kIsoXmitIntMaskSet = 0x098;
inline constexpr uint32_t kIsoXmitIntMaskClear = 0x09C;
inline constexpr uint32_t kIsoRecvIntEventSet = 0x0A0;
inline constexpr uint32_t kIsoRecvIntEventClear = 0x0A4;
inline constexpr uint32_t kIsoRecvIntMaskSet = 0x0A8;
inline constexpr uint32_t kIsoRecvIntMaskClear = 0x0AC;
inline constexpr uint32_t kInitialBandwidthAvailable = 0x0B0;
inline constexpr uint32_t kInitialChannelsAvailableHi = 0x0B4;
inline constexpr uint32_t kInitialChannelsAvailableLo = 0x0B8;
inline constexpr uint32_t kFairnessControl = 0x0DC;
inline constexpr uint32_t kLinkControlSet = 0x0E0;
inline constexpr uint32_t kLinkControlClear = 0x0E4;
inline constexpr uint32_t kNodeId = 0x0E8;
inline constexpr uint32_t kPhyControl = 0x0EC;
inline constexpr uint32_t kIsochronousCycleTimer = 0x0F0;
inline constexpr uint32_t kAsyncRequestFilterHiSet = 0x100;
inline constexpr uint32_t kAsyncRequestFilterHiClear = 0x104;
inline constexpr uint32_t kAsyncRequestFilterLoSet = 0x108;
inline constexpr uint32_t kAsyncRequestFilterLoClear = 0x10C;
inline constexpr uint32_t kPhysicalRequestFilterHiSet = 0x110;
inline constexpr uint32_t kPhysicalRequestFilterHiClear = 0x114;
inline constexpr uint32_t kPhysicalRequestFilterLoSet = 0x118;
inline constexpr uint32_t kPhysicalRequestFilterLoClear = 0x11C;
inline constexpr uint32_t kPhysicalUpperBound = 0x120;
// DMA context register blocks (OHCI 1.1 table 5-1): +0 ContextControlSet, +4 ContextControlClear,
// +0xC CommandPtr, IR also +0x10 ContextMatch.
inline constexpr uint32_t kAsyncRequestTransmit = 0x180;
inline constexpr uint32_t kAsyncResponseTransmit = 0x1A0;
inline constexpr uint32_t kAsyncRequestReceive = 0x1C0;
inline constexpr uint32_t kAsyncResponseReceive = 0x1E0;
inline constexpr uint32_t kAsyncContextsEnd = 0x200;
inline constexpr uint32_t kIsoXmitContextBase = 0x200;  // + 16 n
inline constexpr uint32_t kIsoXmitContextStride = 0x10;
inline constexpr uint32_t kIsoRecvContextBase = 0x400;  // + 32 n
inline constexpr uint32_t kIsoRecvContextStride = 0x20;
inline constexpr uint32_t kContextControlSet = 0x0;
inline constexpr uint32_t kContextControlClear = 0x4;
inline constexpr uint32_t kCommandPtr = 0xC;
inline constexpr uint32_t kContextMatch = 0x10;
inline constexpr uint32_t kWindowSize = 0x800;

// Version: GUID_ROM present 24, version 23:16 (BCD), revision 7:0 (BCD).
namespace version {
inline constexpr uint32_t kGuidRomPresent = 1u << 24;
}

// ATRetries: secondLimit 31:29, cycleLimit 28:16, maxPhysRespRetries 11:8,
// maxATRespRetries 7:4, maxATReqRetries 3:0.
namespace at_retries {
inline constexpr uint32_t kWritable = 0xFFFF0FFF;
inline uint32_t MaxPhysRespRetries(uint32_t r) { return (r >> 8) & 0xF; }
inline uint32_t MaxATRespRetries(uint32_t r) { return (r >> 4) & 0xF; }
inline uint32_t MaxATReqRetries(uint32_t r) { return r & 0xF; }
}  // namespace at_retries

// CSRControl: csrDone 31 (read-only), csrSel 1:0.
namespace csr_control {
inline constexpr uint32_t kCsrDone = 1u << 31;
inline constexpr uint32_t kCsrSelMask = 0x3;
inline constexpr uint32_t kBusManagerId = 0;
inline constexpr uint32_t kBandwidthAvailable = 1;
inline constexpr uint32_t kChannelsAvailableHi = 2;
inline constexpr uint32_t kChannelsAvailableLo = 3;
}  // namespace csr_control

// BusID: "1394".
inline constexpr uint32_t kBusIdValue = 0x31333934;

// BusOptions, the bus-information-block quadlet 2: irmc 31, cmc 30, isc 29, bmc 28, pmc 27,
// cyc_clk_acc 23:16, max_rec 15:12, max_ROM 9:8, generation 7:4, link_spd 2:0.
namespace bus_options {
inline uint32_t Make(uint8_t cycClkAcc, uint8_t maxRec, uint8_t linkSpeed) {
    return (uint32_t(cycClkAcc) << 16) | (uint32_t(maxRec & 0xF) << 12) | (linkSpeed & 0x7u);
}
}  // namespace bus_options

// ConfigROMmap (5.5.6): 1 KiB-aligned bus address in 31:10. SelfIDBuffer (chapter 11): 2 KiB-aligned
// bus address in 31:11.
inline constexpr uint32_t kConfigRomMapMask = 0xFFFFFC00;
inline constexpr uint32_t kSelfIdBufferMask = 0xFFFFF800;

// HCControl.
namespace hc_control {
inline constexpr uint32_t kBibImageValid = 1u << 31;
inline constexpr uint32_t kNoByteSwapData = 1u << 30;
inline constexpr uint32_t kAckTardyEnable = 1u << 29;
inline constexpr uint32_t kProgramPhyEnable = 1u << 23;
inline constexpr uint32_t kAPhyEnhanceEnable = 1u << 22;
inline constexpr uint32_t kLps = 1u << 19;
inline constexpr uint32_t kPostedWriteEnable = 1u << 18;
inline constexpr uint32_t kLinkEnable = 1u << 17;
inline constexpr uint32_t kSoftReset = 1u << 16;
}  // namespace hc_control

// SelfIDCount (chapter 11): selfIDError 31, selfIDGeneration 23:16, selfIDSize 10:2 (quadlets).
namespace self_id_count {
inline constexpr uint32_t kSelfIdError = 1u << 31;
inline uint32_t Make(bool error, uint8_t generation, uint32_t quadlets) {
    return (error ? kSelfIdError : 0) | (uint32_t(generation) << 16) | ((quadlets & 0x1FF) << 2);
}
inline uint8_t Generation(uint32_t count) { return uint8_t(count >> 16); }
inline uint32_t Size(uint32_t count) { return (count >> 2) & 0x1FF; }
}  // namespace self_id_count

// Self-ID buffer quadlet 0 (chapter 11): selfIDGeneration 23:16, timeStamp 15:0.
namespace self_id_header {
inline uint32_t Make(uint8_t generation, uint16_t timeStamp) { return (uint32_t(generation) << 16) | timeStamp; }
}

// IntEvent / IntMask (6.1, table 6-1).
namespace int_event {
inline constexpr uint32_t kReqTxComplete = 1u << 0;
inline constexpr uint32_t kRespTxComplete = 1u << 1;
inline constexpr uint32_t kARRQ = 1u << 2;
inline constexpr uint32_t kARRS = 1u << 3;
inline constexpr uint32_t kRQPkt = 1u << 4;
inline constexpr uint32_t kRSPkt = 1u << 5;
inline constexpr uint32_t kIsochTx = 1u << 6;  // read-only: OR of IsoXmitIntEvent & IsoXmitIntMask
inline constexpr uint32_t kIsochRx = 1u << 7;  // read-only: OR of IsoRecvIntEvent & IsoRecvIntMask
inline constexpr uint32_t kPostedWriteErr = 1u << 8;
inline constexpr uint32_t kLockRespErr = 1u << 9;
inline constexpr uint32_t kSelfIdComplete2 = 1u << 15;
inline constexpr uint32_t kSelfIdComplete = 1u << 16;
inline constexpr uint32_t kBusReset = 1u << 17;
inline constexpr uint32_t kRegAccessFail = 1u << 18;
inline constexpr uint32_t kPhy = 1u << 19;
inline constexpr uint32_t kCycleSynch = 1u << 20;
inline constexpr uint32_t kCycle64Seconds = 1u << 21;
inline constexpr uint32_t kCycleLost = 1u << 22;
inline constexpr uint32_t kCycleInconsistent = 1u << 23;
inline constexpr uint32_t kUnrecoverableError = 1u << 24;
inline constexpr uint32_t kCycleTooLong = 1u << 25;
inline constexpr uint32_t kPhyRegRcvd = 1u << 26;
inline constexpr uint32_t kAckTardy = 1u << 27;
inline constexpr uint32_t kSoftInterrupt = 1u << 29;
inline constexpr uint32_t kVendorSpecific = 1u << 30;
inline constexpr uint32_t kMasterIntEnable = 1u << 31;  // IntMask only
// The event bits this controller implements (bits 14:10 and 28 are reserved).
inline constexpr uint32_t kImplemented = 0x000003FF | 0x0FFF8000 | kSoftInterrupt | kVendorSpecific;
inline constexpr uint32_t kComputed = kIsochTx | kIsochRx;
}  // namespace int_event

// LinkControl.
namespace link_control {
inline constexpr uint32_t kRcvSelfId = 1u << 9;
inline constexpr uint32_t kRcvPhyPkt = 1u << 10;
inline constexpr uint32_t kCycleTimerEnable = 1u << 20;
inline constexpr uint32_t kCycleMaster = 1u << 21;
inline constexpr uint32_t kCycleSource = 1u << 22;
inline constexpr uint32_t kWritable = kRcvSelfId | kRcvPhyPkt | kCycleTimerEnable | kCycleMaster | kCycleSource;
}  // namespace link_control

// NodeID: iDValid 31, root 30, CPS 27, busNumber 15:6 (software), nodeNumber 5:0.
namespace node_id {
inline constexpr uint32_t kIdValid = 1u << 31;
inline constexpr uint32_t kRoot = 1u << 30;
inline constexpr uint32_t kCps = 1u << 27;
inline constexpr uint32_t kBusNumberMask = 0x3FFu << 6;
inline constexpr uint32_t kNodeNumberMask = 0x3F;
}  // namespace node_id

// PhyControl: rdDone 31, rdAddr 27:24, rdData 23:16, rdReg 15, wrReg 14, regAddr 11:8,
// wrData 7:0.
namespace phy_control {
inline constexpr uint32_t kRdDone = 1u << 31;
inline constexpr uint32_t kRdReg = 1u << 15;
inline constexpr uint32_t kWrReg = 1u << 14;
inline uint8_t RegAddr(uint32_t v) { return uint8_t((v >> 8) & 0xF); }
inline uint8_t WrData(uint32_t v) { return uint8_t(v & 0xFF); }
inline uint32_t ReadResult(uint8_t reg, uint8_t data) {
    return kRdDone | (uint32_t(reg & 0xF) << 24) | (uint32_t(data) << 16);
}
}  // namespace phy_control

// IsochronousCycleTimer: cycleSeconds 31:25, cycleCount 24:12 (0..7999), cycleOffset 11:0
// (0..3071 at 24.576 MHz).
namespace cycle_timer {
inline constexpr uint32_t kOffsetsPerCycle = 3072;
inline constexpr uint32_t kCyclesPerSecond = 8000;
inline constexpr uint32_t kSecondsWrap = 128;
inline constexpr uint64_t kOffsetsPerSecond = uint64_t(kOffsetsPerCycle) * kCyclesPerSecond;  // 24.576 MHz
inline uint32_t Seconds(uint32_t v) { return v >> 25; }
inline uint32_t Count(uint32_t v) { return (v >> 12) & 0x1FFF; }
inline uint32_t Offset(uint32_t v) { return v & 0xFFF; }
inline uint32_t Make(uint32_t seconds, uint32_t count, uint32_t offset) {
    return ((seconds & 0x7F) << 25) | ((count & 0x1FFF) << 12) | (offset & 0xFFF);
}
// The 16-bit time stamp of descriptors, trailers and the self-ID header: cycleSeconds[2:0] ‖
// cycleCount.
inline uint16_t TimeStamp(uint32_t v) { return uint16_t((v >> 12) & 0xFFFF); }
}  // namespace cycle_timer

// AsynchronousRequestFilter / PhysicalRequestFilter: Lo bit n = node n (0..31), Hi
// bit n = node 32 + n (0..30), Hi bit 31 = asynReqAllBuses / physReqAllBuses (nodes on other
// buses).
namespace request_filter {
inline constexpr uint32_t kAllBuses = 1u << 31;
}

// FairnessControl: pri_req 5:0.
inline constexpr uint32_t kFairnessPriReqMask = 0x3F;
// InitialBandwidthAvailable: 12:0.
inline constexpr uint32_t kBandwidthMask = 0x1FFF;

// Serial-bus resource registers the CSR unit serves (IEEE 1394-1995 8.3.2.3, offsets from
// 0xFFFF_F000_0000) and their values after a bus reset.
inline constexpr uint64_t kCsrRegisterSpace = 0xFFFFF0000000ull;
inline constexpr uint64_t kCsrBusManagerId = kCsrRegisterSpace + 0x21C;
inline constexpr uint64_t kCsrChannelsAvailableLo = kCsrRegisterSpace + 0x228;
inline constexpr uint64_t kConfigRomStart = kCsrRegisterSpace + 0x400;
inline constexpr uint64_t kConfigRomEnd = kCsrRegisterSpace + 0x800;
inline constexpr uint32_t kBusManagerIdNone = 0x3F;
inline constexpr uint32_t kBandwidthAvailableInitial = 4915;  // 0x1333
inline constexpr uint32_t kChannelsAvailableInitial = 0xFFFFFFFF;

}  // namespace ohci
}  // namespace sim
