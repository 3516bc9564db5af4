// The driver and the hardware model each keep their own table of the OHCI 1.1 register file,
// written independently. Where both name a register or a bit, they must agree.
#include <gtest/gtest.h>

#include "ohci/ohci_registers.h"
#include "ohci_regs.h"

namespace {

struct Pair {
    const char* name;
    ULONG driver;
    uint32_t model;
};

TEST(RegisterTables, DriverAndModelAgreeOnOffsets) {
    namespace m = sim::ohci;
    const Pair offsets[] = {
        {"Version", ohci::kVersion, m::kVersion},
        {"ATRetries", ohci::kATRetries, m::kATRetries},
        {"CSRReadData", ohci::kCSRReadData, m::kCsrReadData},
        {"CSRCompareData", ohci::kCSRCompareData, m::kCsrCompareData},
        {"CSRControl", ohci::kCSRControl, m::kCsrControl},
        {"ConfigROMhdr", ohci::kConfigROMhdr, m::kConfigRomHdr},
        {"BusOptions", ohci::kBusOptions, m::kBusOptions},
        {"GUIDHi", ohci::kGUIDHi, m::kGuidHi},
        {"GUIDLo", ohci::kGUIDLo, m::kGuidLo},
        {"ConfigROMmap", ohci::kConfigROMmap, m::kConfigRomMap},
        {"PostedWriteAddressLo", ohci::kPostedWriteAddressLo, m::kPostedWriteAddressLo},
        {"PostedWriteAddressHi", ohci::kPostedWriteAddressHi, m::kPostedWriteAddressHi},
        {"HCControlSet", ohci::kHCControlSet, m::kHCControlSet},
        {"HCControlClear", ohci::kHCControlClear, m::kHCControlClear},
        {"SelfIDBuffer", ohci::kSelfIDBuffer, m::kSelfIdBuffer},
        {"SelfIDCount", ohci::kSelfIDCount, m::kSelfIdCount},
        {"IRMultiChanMaskHiClear", ohci::kIRMultiChanMaskHiClear, m::kIRMultiChanMaskHiClear},
        {"IRMultiChanMaskLoClear", ohci::kIRMultiChanMaskLoClear, m::kIRMultiChanMaskLoClear},
        {"IntEventSet", ohci::kIntEventSet, m::kIntEventSet},
        {"IntEventClear", ohci::kIntEventClear, m::kIntEventClear},
        {"IntMaskSet", ohci::kIntMaskSet, m::kIntMaskSet},
        {"IntMaskClear", ohci::kIntMaskClear, m::kIntMaskClear},
        {"IsoXmitIntEventSet", ohci::kIsoXmitIntEventSet, m::kIsoXmitIntEventSet},
        {"IsoXmitIntMaskClear", ohci::kIsoXmitIntMaskClear, m::kIsoXmitIntMaskClear},
        {"IsoRecvIntEventSet", ohci::kIsoRecvIntEventSet, m::kIsoRecvIntEventSet},
        {"IsoRecvIntMaskClear", ohci::kIsoRecvIntMaskClear, m::kIsoRecvIntMaskClear},
        {"LinkControlSet", ohci::kLinkControlSet, m::kLinkControlSet},
        {"LinkControlClear", ohci::kLinkControlClear, m::kLinkControlClear},
        {"NodeID", ohci::kNodeID, m::kNodeId},
        {"PhyControl", ohci::kPhyControl, m::kPhyControl},
        {"IsochronousCycleTimer", ohci::kIsochronousCycleTimer, m::kIsochronousCycleTimer},
        {"AsynchronousRequestFilterHiSet", ohci::kAsynchronousRequestFilterHiSet, m::kAsyncRequestFilterHiSet},
        {"AsynchronousRequestFilterLoSet", ohci::kAsynchronousRequestFilterLoSet, m::kAsyncRequestFilterLoSet},
        {"PhysicalRequestFilterHiSet", ohci::kPhysicalRequestFilterHiSet, m::kPhysicalRequestFilterHiSet},
        {"AsyncRequestTransmit", ohci::kAsyncRequestTransmitContext, m::kAsyncRequestTransmit},
        {"AsyncResponseTransmit", ohci::kAsyncResponseTransmitContext, m::kAsyncResponseTransmit},
        {"AsyncRequestReceive", ohci::kAsyncRequestReceiveContext, m::kAsyncRequestReceive},
        {"AsyncResponseReceive", ohci::kAsyncResponseReceiveContext, m::kAsyncResponseReceive},
        {"IsoXmitContext 0", ohci::IsoXmitContextBase(0), m::kIsoXmitContextBase},
        {"IsoXmitContext 3", ohci::IsoXmitContextBase(3), m::kIsoXmitContextBase + 3 * m::kIsoXmitContextStride},
        {"IsoRecvContext 0", ohci::IsoRecvContextBase(0), m::kIsoRecvContextBase},
    };
    for (const Pair& p : offsets) EXPECT_EQ(p.driver, p.model) << p.name;
}

TEST(RegisterTables, DriverAndModelAgreeOnBits) {
    namespace m = sim::ohci;
    const Pair bits[] = {
        {"PhyControl.rdDone", ohci::kPhyControlRdDone, m::phy_control::kRdDone},
        {"PhyControl.rdReg", ohci::kPhyControlRdReg, m::phy_control::kRdReg},
        {"PhyControl.wrReg", ohci::kPhyControlWrReg, m::phy_control::kWrReg},
        {"CSRControl.csrDone", ohci::kCSRControlDone, m::csr_control::kCsrDone},
        {"HCControl.BIBimageValid", ohci::kHCControlBIBimageValid, m::hc_control::kBibImageValid},
        {"HCControl.noByteSwapData", ohci::kHCControlNoByteSwapData, m::hc_control::kNoByteSwapData},
        {"HCControl.programPhyEnable", ohci::kHCControlProgramPhyEnable, m::hc_control::kProgramPhyEnable},
        {"HCControl.aPhyEnhanceEnable", ohci::kHCControlAPhyEnhanceEnable, m::hc_control::kAPhyEnhanceEnable},
        {"HCControl.LPS", ohci::kHCControlLPS, m::hc_control::kLps},
        {"HCControl.postedWriteEnable", ohci::kHCControlPostedWriteEnable, m::hc_control::kPostedWriteEnable},
        {"HCControl.linkEnable", ohci::kHCControlLinkEnable, m::hc_control::kLinkEnable},
        {"HCControl.softReset", ohci::kHCControlSoftReset, m::hc_control::kSoftReset},
        {"IntEvent.reqTxComplete", ohci::kIntReqTxComplete, m::int_event::kReqTxComplete},
        {"IntEvent.respTxComplete", ohci::kIntRespTxComplete, m::int_event::kRespTxComplete},
        {"IntEvent.RQPkt", ohci::kIntRQPkt, m::int_event::kRQPkt},
        {"IntEvent.RSPkt", ohci::kIntRSPkt, m::int_event::kRSPkt},
        {"IntEvent.isochTx", ohci::kIntIsochTx, m::int_event::kIsochTx},
        {"IntEvent.isochRx", ohci::kIntIsochRx, m::int_event::kIsochRx},
        {"IntEvent.postedWriteErr", ohci::kIntPostedWriteErr, m::int_event::kPostedWriteErr},
        {"IntEvent.lockRespErr", ohci::kIntLockRespErr, m::int_event::kLockRespErr},
        {"IntEvent.selfIDComplete", ohci::kIntSelfIDComplete, m::int_event::kSelfIdComplete},
        {"IntEvent.busReset", ohci::kIntBusReset, m::int_event::kBusReset},
        {"IntEvent.regAccessFail", ohci::kIntRegAccessFail, m::int_event::kRegAccessFail},
        {"IntEvent.cycleLost", ohci::kIntCycleLost, m::int_event::kCycleLost},
        {"IntEvent.cycleInconsistent", ohci::kIntCycleInconsistent, m::int_event::kCycleInconsistent},
        {"IntEvent.unrecoverableError", ohci::kIntUnrecoverableError, m::int_event::kUnrecoverableError},
        {"IntEvent.cycleTooLong", ohci::kIntCycleTooLong, m::int_event::kCycleTooLong},
        {"IntEvent.phyRegRcvd", ohci::kIntPhyRegRcvd, m::int_event::kPhyRegRcvd},
        {"IntEvent.ack_tardy", ohci::kIntAckTardy, m::int_event::kAckTardy},
        {"IntMask.masterIntEnable", ohci::kIntMasterIntEnable, m::int_event::kMasterIntEnable},
        {"LinkControl.cycleMaster", ohci::kLinkControlCycleMaster, m::link_control::kCycleMaster},
        {"LinkControl.cycleTimerEnable", ohci::kLinkControlCycleTimerEnable, m::link_control::kCycleTimerEnable},
        {"LinkControl.rcvPhyPkt", ohci::kLinkControlRcvPhyPkt, m::link_control::kRcvPhyPkt},
        {"LinkControl.rcvSelfID", ohci::kLinkControlRcvSelfID, m::link_control::kRcvSelfId},
        {"NodeID.iDValid", ohci::kNodeIdValid, m::node_id::kIdValid},
        {"NodeID.root", ohci::kNodeIdRoot, m::node_id::kRoot},
        {"NodeID.nodeNumber", ohci::kNodeIdNumberMask, m::node_id::kNodeNumberMask},
        {"AsynchronousRequestFilterHi.asynReqAllBuses", ohci::kAsynReqAllBuses, m::request_filter::kAllBuses},
    };
    for (const Pair& p : bits) EXPECT_EQ(p.driver, p.model) << p.name;
}

}  // namespace
