// OHCI 1.1 register file: offsets and bits of the registers the driver touches, as the OHCI 1.1
// register map names them. The hardware model keeps its own table, written independently.
#pragma once

#include "kxplatform.h"

namespace ohci {

// Register offsets from the start of the controller's register window.
enum Register : ULONG {
    kVersion = 0x000,
    kGuidRom = 0x004,
    kATRetries = 0x008,
    kCSRReadData = 0x00C,
    kCSRCompareData = 0x010,
    kCSRControl = 0x014,
    kConfigROMhdr = 0x018,
    kBusID = 0x01C,
    kBusOptions = 0x020,
    kGUIDHi = 0x024,
    kGUIDLo = 0x028,
    kConfigROMmap = 0x034,
    kPostedWriteAddressLo = 0x038,
    kPostedWriteAddressHi = 0x03C,
    kVendorID = 0x040,
    kHCControlSet = 0x050,
    kHCControlClear = 0x054,
    kSelfIDBuffer = 0x064,
    kSelfIDCount = 0x068,
    kIRMultiChanMaskHiSet = 0x070,
    kIRMultiChanMaskHiClear = 0x074,
    kIRMultiChanMaskLoSet = 0x078,
    kIRMultiChanMaskLoClear = 0x07C,
    kIntEventSet = 0x080,
    kIntEventClear = 0x084,
    kIntMaskSet = 0x088,
    kIntMaskClear = 0x08C,
    kIsoXmitIntEventSet = 0x090,
    kIsoXmitIntEventClear = 0x094,
    kIsoXmitIntMaskSet = 0x098,
    kIsoXmitIntMaskClear = 0x09C,
    kIsoRecvIntEventSet = 0x0A0,
    kIsoRecvIntEventClear = 0x0A4,
    kIsoRecvIntMaskSet = 0x0A8,
    kIsoRecvIntMaskClear = 0x0AC,
    kInitialBandwidthAvailable = 0x0B0,
    kInitialChannelsAvailableHi = 0x0B4,
    kInitialChannelsAvailableLo = 0x0B8,
    kFairnessControl = 0x0DC,
    kLinkControlSet = 0x0E0,
    kLinkControlClear = 0x0E4,
    kNodeID = 0x0E8,
    kPhyControl = 0x0EC,
    kIsochronousCycleTimer = 0x0F0,
    kAsynchronousRequestFilterHiSet = 0x100,
    kAsynchronousRequestFilterHiClear = 0x104,
    kAsynchronousRequestFilterLoSet = 0x108,
    kAsynchronousRequestFilterLoClear = 0x10C,
    kPhysicalRequestFilterHiSet = 0x110,
    kPhysicalRequestFilterHiClear = 0x114,
    kPhysicalRequestFilterLoSet = 0x118,
    kPhysicalRequestFilterLoClear = 0x11C,
    kPhysicalUpperBound = 0x120,
    kAsyncRequestTransmitContext = 0x180,
    kAsyncResponseTransmitContext = 0x1A0,
    kAsyncRequestReceiveContext = 0x1C0,
    kAsyncResponseReceiveContext = 0x1E0,
};

// Reading a Set register gives the register's value (HCControl at HCControlSet, and so on).
constexpr ULONG kHCControl = kHCControlSet;
constexpr ULONG kIntEvent = kIntEventSet;
constexpr ULONG kIntMask = kIntMaskSet;
constexpr ULONG kLinkControl = kLinkControlSet;

// Isochronous context register blocks.
constexpr ULONG IsoXmitContextBase(ULONG n) { return 0x200 + 16 * n; }
constexpr ULONG IsoRecvContextBase(ULONG n) { return 0x400 + 32 * n; }

// PhyControl.
constexpr ULONG kPhyControlRdDone = 1u << 31;
constexpr ULONG kPhyControlRdAddrShift = 24;
constexpr ULONG kPhyControlRdDataShift = 16;
constexpr ULONG kPhyControlRdReg = 1u << 15;
constexpr ULONG kPhyControlWrReg = 1u << 14;
constexpr ULONG kPhyControlRegAddrShift = 8;
constexpr ULONG kPhyControlRegAddrMask = 0xFu << 8;
constexpr ULONG kPhyControlWrDataMask = 0xFFu;

// CSRControl.
constexpr ULONG kCSRControlDone = 1u << 31;
constexpr ULONG kCSRControlSelectMask = 0x3;

// IEEE 1394a PHY register 1: initiate bus reset and gap count.
constexpr UCHAR kPhyRegister1 = 1;
constexpr UCHAR kPhyIbr = 0x40;
constexpr UCHAR kPhyGapCountMask = 0x3F;


// HCControl.
constexpr ULONG kHCControlBIBimageValid = 1u << 31;
constexpr ULONG kHCControlNoByteSwapData = 1u << 30;
constexpr ULONG kHCControlProgramPhyEnable = 1u << 23;
constexpr ULONG kHCControlAPhyEnhanceEnable = 1u << 22;
constexpr ULONG kHCControlLPS = 1u << 19;
constexpr ULONG kHCControlPostedWriteEnable = 1u << 18;
constexpr ULONG kHCControlLinkEnable = 1u << 17;
constexpr ULONG kHCControlSoftReset = 1u << 16;

// IntEvent / IntMask.
constexpr ULONG kIntReqTxComplete = 1u << 0;
constexpr ULONG kIntRespTxComplete = 1u << 1;
constexpr ULONG kIntRQPkt = 1u << 4;
constexpr ULONG kIntRSPkt = 1u << 5;
constexpr ULONG kIntIsochTx = 1u << 6;
constexpr ULONG kIntIsochRx = 1u << 7;
constexpr ULONG kIntPostedWriteErr = 1u << 8;
constexpr ULONG kIntLockRespErr = 1u << 9;
constexpr ULONG kIntSelfIDComplete = 1u << 16;
constexpr ULONG kIntBusReset = 1u << 17;
constexpr ULONG kIntRegAccessFail = 1u << 18;
constexpr ULONG kIntCycleLost = 1u << 22;
constexpr ULONG kIntCycleInconsistent = 1u << 23;
constexpr ULONG kIntUnrecoverableError = 1u << 24;
constexpr ULONG kIntCycleTooLong = 1u << 25;
constexpr ULONG kIntPhyRegRcvd = 1u << 26;
constexpr ULONG kIntAckTardy = 1u << 27;
constexpr ULONG kIntMasterIntEnable = 1u << 31;
// The events the driver enables, and those it treats as its own.
constexpr ULONG kIntEnabledEvents = 0x818301F3;
constexpr ULONG kIntControllerEvents = 0x2FFF83FF;
// What releasing the hardware masks and acknowledges.
constexpr ULONG kIntReleaseMask = 0xAFFF83FF;

// LinkControl.
constexpr ULONG kLinkControlCycleMaster = 1u << 21;
constexpr ULONG kLinkControlCycleTimerEnable = 1u << 20;
constexpr ULONG kLinkControlRcvPhyPkt = 1u << 10;
constexpr ULONG kLinkControlRcvSelfID = 1u << 9;

// NodeID.
constexpr ULONG kNodeIdValid = 1u << 31;
constexpr ULONG kNodeIdRoot = 1u << 30;
constexpr ULONG kNodeIdNumberMask = 0x3F;
constexpr ULONG kNodeIdLocalBus = 0x0000FFC0;

// AsynchronousRequestFilterHi.
constexpr ULONG kAsynReqAllBuses = 1u << 31;
constexpr ULONG kATRetriesValue = 0x00000822;  // maxATReqRetries 2, maxATRespRetries 2, maxPhysRespRetries 8

// DMA context register blocks: ContextControlSet, ContextControlClear, CommandPtr, ContextMatch.
constexpr ULONG kContextControlSet = 0x00;
constexpr ULONG kContextControlClear = 0x04;
constexpr ULONG kContextCommandPtr = 0x0C;
constexpr ULONG kContextMatch = 0x10;
constexpr ULONG kContextRun = 1u << 15;
constexpr ULONG kContextWake = 1u << 12;
constexpr ULONG kContextDead = 1u << 11;
constexpr ULONG kContextActive = 1u << 10;
constexpr ULONG kContextEventCodeMask = 0x1F;

// BusOptions fields the bring-up keeps and sets.
constexpr ULONG kBusOptionsKeep = 0x0700FFFF;
constexpr ULONG kBusOptionsCapabilities = 0xF0000000;  // irmc, cmc, isc, bmc

// IEEE 1394a PHY registers.
constexpr UCHAR kPhyRhb = 0x80;
constexpr UCHAR kPhyRegister2 = 2;
constexpr UCHAR kPhyPortCountMask = 0x0F;
constexpr UCHAR kPhyRegister4 = 4;
constexpr UCHAR kPhyLinkActive = 0x80;
constexpr UCHAR kPhyContender = 0x40;
constexpr UCHAR kPhyRegister7 = 7;  // page select (7:5) and port select (3:0)
constexpr UCHAR kPhyRegister8 = 8;  // page 0: port status
constexpr UCHAR kPhyPortStatusTested = 0x20;
constexpr UCHAR kPhyPortDisabled = 0x01;

}  // namespace ohci
