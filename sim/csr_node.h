// A plain 1394 node with an IEEE 1212 CSR space: the core registers (STATE_CLEAR/SET, NODE_IDS,
// RESET_START, SPLIT_TIMEOUT), its configuration ROM at 0xFFFFF0000400, a map of quadlet
// registers a test defines, and the transaction layer of a responder (IEEE 1394-1995 6.2,
// IEEE 1212). Requests are answered as split transactions: ack_pending, then the response after a
// delay on the bus's clock; writes may instead complete in the ack (unified).
//
// A node whose PHY is a contender (isochronous resource manager capable) also serves the IRM
// registers BUS_MANAGER_ID, BANDWIDTH_AVAILABLE and CHANNELS_AVAILABLE_HI/LO: quadlet reads and
// compare_swap locks as irm.h describes (writes and other locks: resp_type_error; a node that is
// no contender answers resp_address_error there), restored at every bus reset.
// STATE.cmstr makes the node cycle master while it is root; a bus reset that leaves it no longer
// root clears the bit. The node has no per-cycle work of its own (WantsCycleStarts is false).
//
// Faults a test switches on: ack_busy or ack_data_error for the next requests, responses lost,
// late (past the split time-out) or carrying an error rcode.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "config_rom.h"
#include "irm.h"
#include "node.h"
#include "sim_host.h"

namespace sim {

// The value a lock leaves in the register (IEEE 1212 8.3.2.2, IEEE 1394-1995 6.2.4.11). `wide`:
// 64-bit operands. Returns false for an extended tcode that is not a lock function.
bool LockResult(uint16_t extendedTcode, uint64_t old, uint64_t arg, uint64_t data, bool wide, uint64_t* result);
// Whether the lock function carries an arg_value (mask_swap, compare_swap, bounded_add, wrap_add).
bool LockHasArgument(uint16_t extendedTcode);

// The core CSRs every node has (IEEE 1212 8.3, IEEE 1394-1995 8.3.2.2), offsets from 0.
namespace csr {
inline constexpr uint64_t kStateClear = 0xFFFFF0000000ull;
inline constexpr uint64_t kStateSet = 0xFFFFF0000004ull;
inline constexpr uint64_t kNodeIds = 0xFFFFF0000008ull;     // bus_ID 31:22, offset_ID 21:16
inline constexpr uint64_t kResetStart = 0xFFFFF000000Cull;  // write-only: command reset
inline constexpr uint64_t kSplitTimeoutHi = 0xFFFFF0000018ull;  // seconds 2:0
inline constexpr uint64_t kSplitTimeoutLo = 0xFFFFF000001Cull;  // cycles 31:19
// STATE bits this node keeps: cmstr 8 (cycle master, only where bus options say cmc),
// abdicate 10 (IEEE 1394a).
inline constexpr uint32_t kStateCmstr = 1u << 8;
inline constexpr uint32_t kStateAbdicate = 1u << 10;
inline constexpr uint32_t kSplitTimeoutLoDefault = 800u << 19;  // 800 cycles = 100 ms
}  // namespace csr

class CsrNode : public Node {
public:
    CsrNode(std::string name, int ports, Speed speed, ConfigRom rom);
    ~CsrNode() override;

    ConfigRom& rom() { return rom_; }
    const ConfigRom& rom() const { return rom_; }

    // The CSR space beyond the ROM: quadlet registers at offsets from 0 (48-bit, e.g.
    // 0xFFFFF0010000). Anything not defined answers rcode address_error.
    enum Access : uint8_t { kRead = 1, kWrite = 2, kLock = 4, kReadWrite = kRead | kWrite, kAll = 7 };
    void DefineRegister(uint64_t offset, uint32_t initial, uint8_t access = kAll);
    void RemoveRegister(uint64_t offset);
    bool HasRegister(uint64_t offset) const { return registers_.count(offset) != 0; }
    uint32_t RegisterValue(uint64_t offset) const;
    void SetRegisterValue(uint64_t offset, uint32_t value);

    // The transaction layer. Delay between the request and its response; unified: writes that
    // succeed are acked ack_complete with no response (errors then come back in the ack).
    Ticks responseDelay = 10 * kTicksPerMicrosecond;
    bool unifiedWrites = false;
    // A response acked busy is sent again after this time, at most this many times.
    Ticks responseRetryDelay = 125 * kTicksPerMicrosecond;
    int responseRetries = 3;

    // Core registers as they stand.
    uint32_t State() const { return state_; }
    uint32_t SplitTimeoutHi() const { return splitTimeoutHi_; }
    uint32_t SplitTimeoutLo() const { return splitTimeoutLo_; }

    struct Faults {
        int busyAcks = 0;        // the next N requests are refused with busyAck (no response)
        Ack busyAck = kAckBusyX;
        int dataErrorAcks = 0;   // the next N requests are refused with ack_data_error
        int lostResponses = 0;   // the next N requests are acked pending and never answered
        int lateResponses = 0;   // the next N responses come after lateDelay
        Ticks lateDelay = 200 * kTicksPerMillisecond;
        int errorResponses = 0;  // the next N responses carry errorRcode (and no data)
        uint8_t errorRcode = kRcodeDataError;
    };
    Faults faults;

    struct Stats {
        uint64_t requests = 0;          // requests acked pending or complete
        uint64_t responsesSent = 0;
        uint64_t responsesDropped = 0;  // generation changed, bus in reset or detached
        Ack lastResponseAck = kAckMissing;
    };
    const Stats& stats() const { return stats_; }
    size_t PendingResponses() const { return pending_.size(); }

    Ack ReceivePacket(const Packet& packet) override;
    void OnBusResetStart() override;
    void OnSelfIdComplete(const std::vector<uint32_t>& selfIds) override;
    bool WantsCycleStarts() const override { return false; }
    bool CycleMasterEnabled() const override { return (state_ & csr::kStateCmstr) != 0; }
    // Makes the node cycle master when root (STATE.cmstr; the ROM's cmc must be set).
    void SetCycleMaster(bool on);

    // The IRM registers as they stand (irm::Register order).
    uint32_t IrmRegister(int reg) const { return irm_[reg & 3]; }

protected:
    // The CSR space outside the ROM, one quadlet at a time (offset quadlet-aligned). Return an
    // rcode. Device models override these to give their registers behaviour, and fall back here.
    virtual uint8_t ReadQuadlet(uint64_t offset, uint32_t* value);
    virtual uint8_t WriteQuadlet(uint64_t offset, uint32_t value);
    // Blocks (data in bus order); by default quadlet by quadlet through the routines above.
    virtual uint8_t ReadBlock(uint64_t offset, uint32_t length, std::vector<uint8_t>* data);
    virtual uint8_t WriteBlock(uint64_t offset, const std::vector<uint8_t>& data);
    // Locks on registers defined with kLock; `operands` is the request's data block, `old` gets
    // the response data.
    virtual uint8_t Lock(uint64_t offset, uint16_t extendedTcode, const std::vector<uint8_t>& operands,
                         std::vector<uint8_t>* old);

private:
    struct Register {
        uint32_t value = 0;
        uint8_t access = kAll;
    };

    // Carries out a request and builds its response (rcode and data).
    Packet Execute(const Packet& request);
    uint8_t Dispatch(const Packet& request, Packet* response);
    uint8_t ReadRom(const Packet& request, Packet* response);
    void ScheduleResponse(Packet response, Ticks delay, int retriesLeft);
    void SendResponse(uint64_t id, uint32_t generation, const Packet& response, int retriesLeft);
    bool WritesInAck(const Packet& request) const;

    // The core registers: false when `offset` is none of them.
    bool ReadCore(uint64_t offset, uint32_t* value, uint8_t* rcode) const;
    bool WriteCore(uint64_t offset, uint32_t value, uint8_t* rcode);
    void CommandReset();
    bool IrmRequest(const Packet& request, Packet* response, uint8_t* rcode);

    ConfigRom rom_;
    uint32_t state_ = 0;
    uint32_t splitTimeoutHi_ = 0, splitTimeoutLo_ = csr::kSplitTimeoutLoDefault;
    std::map<uint64_t, Register> registers_;
    uint32_t irm_[4] = {irm::kBusManagerIdNone, irm::kBandwidthInitial, irm::kChannelsInitial, irm::kChannelsInitial};
    Stats stats_;
    Host* clock_ = nullptr;       // the clock the pending responses are scheduled on
    std::set<uint64_t> pending_;  // their event ids
};

// Helpers on data blocks in bus order.
uint32_t BigEndianQuadlet(const uint8_t* bytes);
void AppendBigEndianQuadlet(std::vector<uint8_t>* bytes, uint32_t value);

}  // namespace sim
