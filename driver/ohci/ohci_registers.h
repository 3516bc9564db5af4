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

}  // namespace ohci
