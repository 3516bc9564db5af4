// An IEEE 1394a PHY: its register map (IEEE 1394a-2000 5B.1) and the state the bus keeps per node
// through reset, tree identification and self-identification; or, as an option, a PHY of
// IEEE 1394-1995, which has neither the 1394a register map nor the 1394a PHY packets.
//
// Rules this PHY follows:
// - Port_event (r5 bit 2): set when a port whose Int_enable (page 0, r9 bit 4) is set sees its
//   Connected, Bias or Disabled bit change (no port faults are modelled); cleared by writing 1.
//   The bus calls NotePortChanges after every change it makes to ports; a register write of
//   Disabled notes its own. Each time Port_event is set the PHY asks its link for an interrupt
//   with a status transfer whose interrupt bit is set (IEEE 1394a 5B, PHY-link interface); the bus
//   hands it to the node (Node::OnPhyInterrupt) as the transfer would. The transfer carries no
//   register contents here: the link reads r5 to learn why.
// - Gap count fall-back (IEEE 1394a): the PHY keeps gap_count_reset_disable. A configuration
//   packet with T = 1, or a link's write of r1, sets Gap_count and the flag. At each bus reset the
//   flag is looked at: clear, Gap_count returns to 63; set, the gap count stays; either way the
//   flag is then cleared. So a gap count set before a reset holds through that reset and falls to
//   63 at the next one unless it is set again. The bus applies the rule once per completed reset
//   (a reset restarted before self-identification counts once) or, as an option, at every reset
//   start (Bus::gapRuleAtEveryResetStart); both kinds of PHY follow it.
// - A 1394-1995 PHY (standard = k1394_1995): r0 and r1 as in 1394a; r2 SPD 7:6 (S100..S400), NP
//   3:0; r3 .. r3+NP-1 one register per port: AStat 7:6, BStat 5:4, Ch 3 (child), Con 2
//   (connected); the registers after them read 0. Only r1 is writable (no ISBR, no LCtrl or C
//   register: those follow the PHY's pins, here its fields). It answers no extended PHY packet
//   (ping, remote access, remote command) and its ports raise no Port_event.
#pragma once

#include <cstdint>
#include <vector>

#include "packet.h"

namespace sim {

// Port state as a self-ID packet reports it.
enum PortState : uint8_t {
    kPortNotPresent = 0,
    kPortNotConnected = 1,
    kPortParent = 2,
    kPortChild = 3,
};

// Register bits.
namespace phy_reg {
inline constexpr uint8_t kR0 = 0;  // Physical_ID 7:2, R (root) 1, PS (cable power) 0
inline constexpr uint8_t kR1 = 1;  // RHB 7, IBR 6, Gap_count 5:0
inline constexpr uint8_t kRhb = 0x80;
inline constexpr uint8_t kIbr = 0x40;
inline constexpr uint8_t kGapMask = 0x3F;
inline constexpr uint8_t kR2 = 2;  // Extended (7) 7:5, Total_ports 3:0
inline constexpr uint8_t kR3 = 3;  // Max_speed 7:5, Delay 3:0
inline constexpr uint8_t kR4 = 4;  // LCtrl 7, C (contender) 6, Jitter 5:3, Pwr_class 2:0
inline constexpr uint8_t kLctrl = 0x80;
inline constexpr uint8_t kContender = 0x40;
inline constexpr uint8_t kR5 = 5;  // Watchdog 7, ISBR 6, Loop 5, Pwr_fail 4, Timeout 3, Port_event 2, Enab_accel 1, Enab_multi 0
inline constexpr uint8_t kIsbr = 0x40;
inline constexpr uint8_t kPortEvent = 0x04;
inline constexpr uint8_t kR7 = 7;  // Page_select 7:5, Port_select 3:0
// Page 0 (port status), registers 8..15 for the selected port:
//   r8: AStat 7:6, BStat 5:4, Child 3, Connected 2, Bias 1, Disabled 0
//   r9: Negotiated_speed 7:5, Int_enable 4, Fault 3
inline constexpr uint8_t kPortConnected = 0x04;
inline constexpr uint8_t kPortChildBit = 0x08;
inline constexpr uint8_t kPortDisabled = 0x01;
inline constexpr uint8_t kPortBias = 0x02;
inline constexpr uint8_t kPortIntEnable = 0x10;  // r9
inline constexpr uint8_t kPortFault = 0x08;      // r9
inline constexpr uint8_t kExtended = 0xE0;       // r2 7:5 = 7: the 1394a register map
inline constexpr uint8_t kR5InterruptStatus = 0x3C;  // r5 Loop, Pwr_fail, Timeout, Port_event: write 1 to clear
inline constexpr uint8_t kPagePortStatus = 0;
inline constexpr uint8_t kPageVendor = 1;
inline constexpr uint8_t kCompliance1394a = 1;  // page 1, r8 Compliance_level
}  // namespace phy_reg

// Most ports a 1394a PHY can have (port numbers 0..15, reported in self-ID packets #0..#2).
inline constexpr int kMaxPhyPorts = 16;

// Self-ID packet fields (IEEE 1394a 4.3.4.1). Packet #0: 10 | phy_ID 29:24 | 0 | L 22 | gap_cnt 21:16 |
// sp 15:14 | del 13:12 | c 11 | pwr 10:8 | p0 7:6 | p1 5:4 | p2 3:2 | i 1 | m 0. Extended packet #n+1:
// 10 | phy_ID | 1 | n 22:20 | 19:18 reserved | 2-bit port codes from 17:16 down | r 1 | m 0.
namespace self_id {
inline constexpr uint32_t kIdentifier = 0x80000000;  // bits 31:30 = 10
inline constexpr uint32_t kExtendedBit = 1u << 23;
inline constexpr uint32_t kLinkActive = 1u << 22;
inline constexpr uint32_t kContender = 1u << 11;
inline constexpr uint32_t kInitiatedReset = 1u << 1;
inline constexpr uint32_t kMore = 1u << 0;
inline uint8_t PhyId(uint32_t q) { return uint8_t((q >> 24) & 0x3F); }
inline bool IsExtended(uint32_t q) { return (q & kExtendedBit) != 0; }
inline uint8_t Sequence(uint32_t q) { return uint8_t((q >> 20) & 0x7); }  // n of an extended packet
inline uint8_t GapCount(uint32_t q) { return uint8_t((q >> 16) & 0x3F); }
inline uint8_t SpeedCode(uint32_t q) { return uint8_t((q >> 14) & 0x3); }
inline uint8_t PowerClass(uint32_t q) { return uint8_t((q >> 8) & 0x7); }
// The sp field of a PHY of the given speed: S100 0, S200 1, S400 2, and 3 for the 1394b speeds.
inline uint32_t SpeedField(Speed speed) { return speed >= kS800 ? 3u : uint32_t(speed); }
// Where port p (0..15) sits: packet 0 for p0..p2 (7:6, 5:4, 3:2), packet 1 for ports 3..10 and
// packet 2 for ports 11..15 (from 17:16 down).
inline int PacketOfPort(int port) { return port < 3 ? 0 : (port + 5) / 8; }
inline int ShiftOfPort(int port) { return port < 3 ? 6 - 2 * port : 16 - 2 * ((port + 5) % 8); }
inline uint8_t PortCode(const uint32_t* packets, int port) {
    return uint8_t((packets[PacketOfPort(port)] >> ShiftOfPort(port)) & 0x3);
}
}  // namespace self_id

// PHY packets built by the bus (IEEE 1394a 5.5).
namespace phy_packet {
inline uint32_t MakeConfiguration(uint8_t rootId, bool forceRoot, bool setGap, uint8_t gapCount) {
    return uint32_t(rootId & 0x3F) << 24 | (forceRoot ? 1u << 23 : 0) | (setGap ? 1u << 22 : 0) |
           uint32_t(gapCount & 0x3F) << 16;
}
inline uint32_t MakeLinkOn(uint8_t phyId) { return kLinkOn | uint32_t(phyId & 0x3F) << 24; }
// An extended PHY packet (R = T = 0): type 21:18, page 17:15, port 14:11, register 10:8, data 7:0.
inline uint32_t MakeExtended(uint8_t phyId, uint8_t type, uint8_t page, uint8_t port, uint8_t reg, uint8_t data) {
    return uint32_t(phyId & 0x3F) << 24 | uint32_t(type & 0xF) << 18 | uint32_t(page & 0x7) << 15 |
           uint32_t(port & 0xF) << 11 | uint32_t(reg & 0x7) << 8 | data;
}
inline bool IsExtended(uint32_t q) { return (q & kTypeMask) == kConfiguration && !ForceRoot(q) && !GapValid(q); }
// Remote command (type 8) codes in 2:0, and the remote confirmation (type A) bits.
inline constexpr uint8_t kCommandNop = 0;
inline constexpr uint8_t kCommandDisablePort = 1;
inline constexpr uint8_t kCommandEnablePort = 5;
inline constexpr uint32_t kConfirmConnected = 1u << 6;
inline constexpr uint32_t kConfirmBias = 1u << 5;
inline constexpr uint32_t kConfirmDisabled = 1u << 4;
inline constexpr uint32_t kConfirmOk = 1u << 3;
}  // namespace phy_packet

enum class PhyStandard : uint8_t { k1394a, k1394_1995 };

class Phy {
public:
    // `ports` is clamped to 1..16. `speed` is the PHY's Max_speed: S100..S400 are 1394a PHYs, S800..S3200
    // 1394b PHYs (register 3 then holds the 1394b Max_speed code, the same numbers as the Speed codes).
    Phy(int ports, Speed speed);

    // What a register write asks of the bus: IBR a long reset, ISBR a short one; setting or clearing
    // Disabled of a connected port changes the bus's connections, a long reset too. Bus::WritePhyRegister
    // applies the effect; a register write straight to the Phy leaves it to the caller.
    enum class WriteEffect { kNone, kLongReset, kShortReset };

    // Register access as the link (PhyControl) or a remote access packet sees it. Registers 8..15
    // are the page and port chosen in register 7.
    uint8_t Read(uint8_t reg) const;
    WriteEffect Write(uint8_t reg, uint8_t value);
    // A paged register (8..15) of a given page and port (remote access packets name page and port
    // themselves).
    uint8_t ReadPaged(uint8_t page, uint8_t port, uint8_t reg) const;

    // The PHY's self-ID packets (IEEE 1394a 4.3.4.1): #0, then #1 (ports 3..10) and #2 (ports
    // 11..15) when it has more than 3 or 11 ports. `linkActive` is the L bit (LCtrl AND the link's
    // power).
    void AppendSelfIdPackets(std::vector<uint32_t>& out, bool linkActive) const;

    int ports() const { return int(ports_.size()); }
    Speed speed() const { return speed_; }
    bool Is1394a() const { return standard == PhyStandard::k1394a; }

    // Gap count written (configuration packet with T = 1, or r1): it holds through the next reset.
    void SetGapCount(uint8_t gap) {
        gapCount = gap & 0x3F;
        gapCountResetDisable = true;
    }
    // A bus reset completes: the gap count fall-back rule.
    void ApplyGapCountRule() {
        if (!gapCountResetDisable) gapCount = 0x3F;
        gapCountResetDisable = false;
    }
    // Compares every port's Connected, Bias and Disabled with what it was at the last call, and sets
    // Port_event when a port with Int_enable changed.
    void NotePortChanges();
    bool PortEvent() const { return (r5_ & phy_reg::kPortEvent) != 0; }
    // Whether an interrupt for the link arose since the last call (and forgets it).
    bool TakeInterrupt() {
        const bool pending = interruptPending_;
        interruptPending_ = false;
        return pending;
    }

    // Which standard the PHY follows; set before the node joins a bus.
    PhyStandard standard = PhyStandard::k1394a;
    // State the bus maintains.
    uint8_t phyId = 0;
    bool isRoot = false;
    uint8_t gapCount = 0x3F;
    bool gapCountResetDisable = false;  // set with the gap count: it holds through the next reset
    bool rootHoldoff = false;  // RHB
    bool linkOn = true;        // LCtrl: the L bit of the self-ID
    bool contender = false;    // C
    bool initiatedReset = false;
    bool cablePower = true;    // PS: cable power present
    uint8_t powerClass = 0;    // Pwr_class (r4 2:0), the pwr field of the self-ID
    struct Port {
        PortState state = kPortNotConnected;  // as of the last self-identification
        bool connected = false;               // a cable joins this port to another PHY's port
        bool disabled = false;                // r8 Disabled: the port takes no part in the bus
        bool intEnable = false;               // r9 Int_enable
        uint8_t lastStatus = 0;               // Connected, Bias, Disabled at the last NotePortChanges
        Speed negotiated = kS100;
        // Connected and enabled: the port carries the bus.
        bool Active() const { return connected && !disabled; }
    };
    std::vector<Port>& portState() { return ports_; }
    const std::vector<Port>& portState() const { return ports_; }

private:
    WriteEffect WritePortStatus(uint8_t reg, uint8_t value);
    uint8_t Read1995(uint8_t reg) const;

    std::vector<Port> ports_;
    Speed speed_;
    uint8_t pageSelect_ = 0;
    uint8_t portSelect_ = 0;
    uint8_t r5_ = 0;  // Watchdog, Loop, Pwr_fail, Timeout, Port_event, Enab_accel, Enab_multi (ISBR is not kept)
    bool interruptPending_ = false;  // a status transfer with the interrupt bit is due
};

}  // namespace sim
