// The OHCI 1.1 host controller with its PHY: the local node of the simulated bus. Software reaches
// it only through its register window (ReadRegister/WriteRegister), the DMA memory it accesses
// through the host, and its interrupt line.
//
// Written from OHCI 1.1 (register map chapter 5, interrupts chapter 6, asynchronous DMA chapters
// 7 and 8, isochronous DMA chapters 9 and 10, self-ID chapter 11, physical requests chapter 12)
// and IEEE 1394a.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "node.h"
#include "sim_host.h"

namespace sim {

class AtContext;
class DmaContext;
class ArContext;
class IsoContextRegisters;

class OhciController : public Node {
public:
    struct Config {
        uint64_t guid = 0x0011223344556677ull;
        uint32_t vendorId = 0x00104C;  // VendorID register: vendorUnique 31:24, vendorCompanyID 23:0
        uint32_t version = 0x00010010;  // OHCI 1.1 (version 23:16, revision 7:0), GUID_ROM 24 clear
        int ports = 3;
        Speed speed = kS400;
        uint8_t maxRec = 0xA;           // BusOptions max_rec: 2^(10+1) = 2048-byte payloads
        uint8_t cycClkAcc = 100;        // BusOptions cyc_clk_acc (ppm)
        int irContexts = 4;             // 4..32
        int itContexts = 4;             // 4..32
        Ticks phyAccessTime = 0;        // PhyControl handshake time (0: done by the next read)
        bool programPhyEnable = true;   // HCControl.programPhyEnable
        Ticks responseDelay = 2 * kTicksPerMicrosecond;  // request to response for hardware-served requests
        // IR buffer-fill descriptors get resCount and xferStatus after each packet whatever their s
        // bit (true), or only with s set (false, the default).
        bool irStatusWithoutS = false;
        // Which IR contexts implement multiChanMode: every one (true, the default; software puts
        // one at a time in that mode) or IR context 0 alone (false: the bit reads 0 elsewhere).
        bool irMultiChanAnyContext = true;
        // An IT context that finds cycles were lost goes on at the block's skipAddress (true, the
        // default) or sends the block in hand in the current cycle (false).
        bool itSkipOnLostCycle = true;
    };

    OhciController(Host& host, const Config& config);
    ~OhciController() override;

    const Config& config() const { return config_; }
    Host& host() { return host_; }

    // The register window, 2 KiB. Reads of a Set or Clear address of a Set/Clear pair both return
    // the register. Reserved and unimplemented offsets read 0 and ignore writes.
    uint32_t ReadRegister(uint32_t offset);
    void WriteRegister(uint32_t offset, uint32_t value);

    // The link layer on the bus.
    Ack ReceivePacket(const Packet& packet) override;
    void ReceivePhyPacket(uint32_t quadlet) override;
    void OnBusResetStart() override;
    void OnSelfIdComplete(const std::vector<uint32_t>& selfIds) override;
    // The isochronous cycle.
    void ReceiveCycleStart(uint32_t cycleTime) override;
    void OnCycleStart(uint32_t cycleTime) override;
    void ReceiveIsochronous(const IsoPacket& packet) override;
    bool WantsCycleStarts() const override;
    bool CycleMasterEnabled() const override;
    uint32_t CycleTime() const override { return CycleTimer(); }
    void OnCycleMasterChange() override;
    void OnCycleTooLong() override;

    // For the DMA engines (asynchronous and isochronous).
    void RaiseInterrupt(uint32_t intEventBits);  // sets IntEvent bits and recomputes the line
    uint32_t CycleTimer() const;                  // IsochronousCycleTimer as it reads now
    uint32_t ATRetriesRegister() const { return atRetries_; }
    bool LinkEnabled() const;
    bool NodeIdValid() const;
    uint16_t NodeIdRegister() const { return uint16_t(nodeId_ & 0xFFFF); }
    bool NoByteSwapData() const;
    bool RcvPhyPkt() const;
    // Whether an asynchronous request from this source may reach the AR request context (request
    // filters), and whether a physical request at this offset is served by physical DMA.
    bool RequestFilterAllows(uint16_t sourceId) const;
    bool PhysicalFilterAllows(uint16_t sourceId, uint64_t offset) const;
    // IntEvent.busReset as software last left it (AT contexts flush while it is set).
    bool BusResetPending() const;
    uint8_t SelfIdGeneration() const { return selfIdGeneration_; }

    // For the isochronous engines: the IT/IR context registers, and their interrupt
    // events (IsoXmitIntEvent / IsoRecvIntEvent bit n, which feed IntEvent.isochTx / isochRx).
    IsoContextRegisters& iso() { return *iso_; }
    void RaiseIsoXmitInterrupt(int context);
    void RaiseIsoRecvInterrupt(int context);

    // The link is powered while HCControl.LPS is set (the self-ID L bit, and packet reception).
    bool LinkPowered() const override;
    // A status transfer from the PHY with its interrupt bit: IntEvent.phy (OHCI 1.1 6.1), when the
    // link is powered to take the transfer.
    void OnPhyInterrupt() override;

    // Faults a test can switch on: the next self-ID DMA is damaged as asked.
    enum class SelfIdFault { kNone, kBadInverse, kWrongGeneration, kJunkAfter, kSelfIdError };
    SelfIdFault selfIdFault = SelfIdFault::kNone;
    // Raise unrecoverableError / cycleTooLong now (the isochronous engines will use them too).
    void InjectUnrecoverableError();
    void InjectCycleTooLong();
    // A context dies with the given event code (dead set, active cleared), which raises
    // unrecoverableError as any context death does.
    enum class ContextId { kAtRequest, kAtResponse, kArRequest, kArResponse, kIsoXmit, kIsoRecv };
    void InjectDeadContext(ContextId context, uint8_t eventCode, int isoIndex = 0);
    // The AR request or response context stores these bytes as they are (ArContext::StoreRaw);
    // returns the bytes stored. Other contexts store nothing.
    size_t InjectArBytes(ContextId context, const std::vector<uint8_t>& bytes);

private:
    friend class AtContext;
    friend class ArContext;

    // Registers (ohci_controller.cpp).
    void ResetRegisters();
    void SoftReset();
    // The asynchronous context whose register block starts at `block` (0x180, 0x1A0, 0x1C0, 0x1E0).
    DmaContext* AsyncContextAt(uint32_t block);
    bool ReadAsyncContext(uint32_t offset, uint32_t* value);
    bool WriteAsyncContext(uint32_t offset, uint32_t value);
    void WriteHCControl(uint32_t set, uint32_t clear);
    void WriteLinkControl(uint32_t set, uint32_t clear);
    void WriteConfigRomMap(uint32_t value);
    uint32_t IntEventValue();
    void UpdateInterruptLine();
    void PhyControlWrite(uint32_t value);
    void CompletePhyAccess(uint32_t serial);
    void WritePhy(uint8_t reg, uint8_t value);
    void CsrControlWrite(uint32_t value);
    uint32_t CsrCompareSwap(uint32_t select, uint32_t compare, uint32_t data);
    void ResetCsrRegisters();
    // Cycle timer (ohci_controller.cpp): an unwrapped count of 24.576 MHz ticks.
    uint64_t CycleTimerLinear() const;
    void SyncCycleTimer(uint32_t cycleTime);
    void RefreshCycleFlow();
    void WriteCycleTimer(uint32_t value);
    void SetCycleTimerRunning(bool running);
    void CatchUpCycleEvents();
    void ScheduleCycleEvent();
    void ForgetCycleEvent();
    // Bus reset and self-ID (ohci_controller.cpp).
    void ApplyConfigRomShadow();
    void WriteSelfIds(const std::vector<uint32_t>& selfIds);
    // Requests the controller serves itself (ohci_requests.cpp).
    bool ReadConfigRomImage(uint32_t byteOffset, void* destination, uint32_t length);
    bool ServeConfigRom(const Packet& request);
    bool ServeCsrLock(const Packet& request);
    bool IsPhysicalRequest(const Packet& request) const;
    Ack ServePhysical(const Packet& request);
    bool FilterAllows(uint32_t hi, uint32_t lo, uint16_t sourceId) const;
    uint16_t ResponderId(const Packet& request) const;
    void SendResponseLater(const Packet& response, uint32_t generation, bool lockResponse, int retriesLeft);
    // Runs `event` at `when` unless the controller has been destroyed or soft reset meanwhile.
    void At(Ticks when, std::function<void()> event);

    Host& host_;
    Config config_;

    // Register state (names as the OHCI 1.1 register map gives them).
    uint32_t atRetries_ = 0;
    uint32_t csrReadData_ = 0, csrCompareData_ = 0, csrControl_ = 0;
    uint32_t csrRegisters_[4] = {};  // BUS_MANAGER_ID, BANDWIDTH_AVAILABLE, CHANNELS_AVAILABLE_HI/LO
    uint32_t configRomHdr_ = 0, busOptions_ = 0, guidHi_ = 0, guidLo_ = 0, configRomMap_ = 0;
    uint32_t configRomMapShadow_ = 0;  // ConfigROMmap written while linkEnable: loaded at the next bus reset
    bool configRomMapPending_ = false;
    uint32_t postedWriteAddressLo_ = 0, postedWriteAddressHi_ = 0;
    uint32_t hcControl_ = 0;
    uint32_t selfIdBuffer_ = 0, selfIdCount_ = 0;
    uint8_t selfIdGeneration_ = 0;
    uint32_t irMultiChanMaskHi_ = 0, irMultiChanMaskLo_ = 0;
    uint32_t intEvent_ = 0, intMask_ = 0;  // IntEvent without the computed isochTx/isochRx
    uint32_t initialBandwidthAvailable_ = 0, initialChannelsAvailableHi_ = 0, initialChannelsAvailableLo_ = 0;
    uint32_t fairnessControl_ = 0;
    uint32_t linkControl_ = 0;
    uint32_t nodeId_ = 0;
    uint32_t phyControl_ = 0;
    uint32_t phyAccessSerial_ = 0;
    Ticks cycleTimerBase_ = 0;       // clock time at which the cycle timer read cycleTimerLinear_
    uint64_t cycleTimerLinear_ = 0;  // 24.576 MHz ticks, unwrapped (the register is this mod 128 s)
    bool cycleTimerRunning_ = false;
    uint64_t lastCycleSeen_ = 0;     // the cycle (linear / 3072) cycleSynch was last raised for
    bool cycleStartsFlowing_ = false;  // a cycle master (maybe this link) sends cycle starts to the link
    Node* following_ = nullptr;      // that master when it is another node: the timer reads as its timer
    uint64_t lastStartCycle_ = 0;    // the last cycle that began with a cycle start (cycleLost)
    bool cycleEventScheduled_ = false;
    uint32_t cycleEventSerial_ = 0;  // a timer write or start/stop forgets the scheduled cycle event
    uint32_t asyncRequestFilterHi_ = 0, asyncRequestFilterLo_ = 0;
    uint32_t physicalRequestFilterHi_ = 0, physicalRequestFilterLo_ = 0;
    uint32_t physicalUpperBound_ = 0;
    bool interruptLine_ = false;
    bool lineKnown_ = false;
    uint32_t epoch_ = 0;  // incremented by soft reset: events scheduled before it are dropped
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);  // events check it after destruction

    std::unique_ptr<AtContext> atRequest_, atResponse_;
    std::unique_ptr<ArContext> arRequest_, arResponse_;
    std::unique_ptr<IsoContextRegisters> iso_;
};

}  // namespace sim
