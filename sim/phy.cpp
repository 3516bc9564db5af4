// The IEEE 1394a PHY register map (IEEE 1394a-2000 5B.1): base registers 0..7, and the paged registers
// 8..15 of page 0 (port status) and page 1 (vendor identification).
#include "phy.h"

#include <algorithm>

namespace sim {
namespace {

// Line states of a port's TPA and TPB comparators (r8 AStat 7:6, BStat 5:4): an idle connected port
// sees Z on both pairs; a port with no peer driving it reads 00 ("invalid").
constexpr uint8_t kLineZ = 3;
constexpr uint8_t kLineInvalid = 0;

}  // namespace

Phy::Phy(int ports, Speed speed) : ports_(size_t(std::clamp(ports, 1, kMaxPhyPorts))), speed_(speed) {}

// The 1394-1995 map: r2 SPD 7:6 and NP 3:0, then one status register per port.
uint8_t Phy::Read1995(uint8_t reg) const {
    if (reg == 2) return uint8_t((std::min(speed_, kS400) & 0x3) << 6 | (ports() & 0xF));
    int port = int(reg) - 3;
    if (port < 0 || port >= ports()) return 0;
    const Port& p = ports_[size_t(port)];
    uint8_t line = p.Active() ? kLineZ : kLineInvalid;
    return uint8_t(line << 6 | line << 4 | (p.Active() && p.state == kPortChild ? 0x08 : 0) | (p.connected ? 0x04 : 0));
}

uint8_t Phy::Read(uint8_t reg) const {
    using namespace phy_reg;
    if (!Is1394a() && reg >= 2) return Read1995(reg);
    switch (reg) {
    case kR0:  // Physical_ID 7:2, R 1, PS 0
        return uint8_t((phyId & 0x3F) << 2 | (isRoot ? 0x02 : 0) | (cablePower ? 0x01 : 0));
    case kR1:  // RHB 7, IBR 6 (reads 0: the reset it asks for has started), Gap_count 5:0
        return uint8_t((rootHoldoff ? kRhb : 0) | (gapCount & kGapMask));
    case kR2:  // Extended 7:5 = 7, Total_ports 4:0
        return uint8_t(kExtended | ports());
    case kR3:  // Max_speed 7:5, Delay 3:0 (0: 144 ns, the least a repeater takes)
        return uint8_t((speed_ & 0x7) << 5);
    case kR4:  // LCtrl 7, C 6, Jitter 5:3 (0: 20 ns), Pwr_class 2:0
        return uint8_t((linkOn ? kLctrl : 0) | (contender ? kContender : 0) | (powerClass & 0x7));
    case kR5:  // ISBR (6) reads 0 like IBR
        return r5_;
    case 6:  // reserved in 1394a
        return 0;
    case kR7:  // Page_select 7:5, Port_select 3:0
        return uint8_t(pageSelect_ << 5 | portSelect_);
    default:
        if (reg >= 8 && reg <= 15) return ReadPaged(pageSelect_, portSelect_, reg);
        return 0;
    }
}

uint8_t Phy::ReadPaged(uint8_t page, uint8_t port, uint8_t reg) const {
    using namespace phy_reg;
    if (page == kPageVendor) return reg == 8 ? kCompliance1394a : 0;  // Vendor_ID and Product_ID read 0
    if (page != kPagePortStatus || port >= ports()) return 0;
    const Port& p = ports_[port];
    switch (reg) {
    case 8: {  // AStat 7:6, BStat 5:4, Child 3, Connected 2, Bias 1, Disabled 0
        uint8_t line = p.Active() ? kLineZ : kLineInvalid;
        return uint8_t(line << 6 | line << 4 | (p.Active() && p.state == kPortChild ? kPortChildBit : 0) |
                       (p.connected ? kPortConnected : 0) | (p.Active() ? kPortBias : 0) |
                       (p.disabled ? kPortDisabled : 0));
    }
    case 9:  // Negotiated_speed 7:5, Int_enable 4, Fault 3 (no faults are modelled)
        return uint8_t((p.Active() ? (p.negotiated & 0x7) << 5 : 0) | (p.intEnable ? kPortIntEnable : 0));
    default:
        return 0;
    }
}

Phy::WriteEffect Phy::Write(uint8_t reg, uint8_t value) {
    using namespace phy_reg;
    if (!Is1394a() && reg != kR1) return WriteEffect::kNone;
    switch (reg) {
    case kR1:
        rootHoldoff = (value & kRhb) != 0;
        SetGapCount(value & kGapMask);
        return (value & kIbr) ? WriteEffect::kLongReset : WriteEffect::kNone;
    case kR4:  // LCtrl, C and Pwr_class are writable; Jitter is fixed
        linkOn = (value & kLctrl) != 0;
        contender = (value & kContender) != 0;
        powerClass = value & 0x7;
        return WriteEffect::kNone;
    case kR5: {
        uint8_t kept = uint8_t(r5_ & ~(value & kR5InterruptStatus) & kR5InterruptStatus);  // write 1 to clear
        r5_ = uint8_t(kept | (value & ~kR5InterruptStatus & ~kIsbr));
        return (value & kIsbr) ? WriteEffect::kShortReset : WriteEffect::kNone;
    }
    case kR7:
        pageSelect_ = uint8_t(value >> 5);
        portSelect_ = uint8_t(value & 0x0F);
        return WriteEffect::kNone;
    case 8:
    case 9:
        return WritePortStatus(reg, value);
    default:  // r0, r2, r3 are read-only; r6 and the rest reserved
        return WriteEffect::kNone;
    }
}

Phy::WriteEffect Phy::WritePortStatus(uint8_t reg, uint8_t value) {
    using namespace phy_reg;
    if (pageSelect_ != kPagePortStatus || portSelect_ >= ports()) return WriteEffect::kNone;
    Port& p = ports_[portSelect_];
    if (reg == 9) {
        p.intEnable = (value & kPortIntEnable) != 0;
        return WriteEffect::kNone;
    }
    bool disable = (value & kPortDisabled) != 0;
    if (disable == p.disabled) return WriteEffect::kNone;
    p.disabled = disable;
    NotePortChanges();
    // A connected port that leaves or joins the bus is a connection change: the PHY starts a reset.
    return p.connected ? WriteEffect::kLongReset : WriteEffect::kNone;
}

void Phy::NotePortChanges() {
    using namespace phy_reg;
    for (Port& p : ports_) {
        uint8_t status = uint8_t((p.connected ? kPortConnected : 0) | (p.Active() ? kPortBias : 0) |
                                 (p.disabled ? kPortDisabled : 0));
        if (status != p.lastStatus && p.intEnable && Is1394a()) {
            r5_ |= kPortEvent;
            interruptPending_ = true;
        }
        p.lastStatus = status;
    }
}

void Phy::AppendSelfIdPackets(std::vector<uint32_t>& out, bool linkActive) const {
    using namespace self_id;
    // Packets needed: #0 for ports 0..2, #1 up to port 10, #2 up to port 15.
    int packets = 1 + PacketOfPort(ports() - 1);
    uint32_t q[3] = {};
    q[0] = kIdentifier | uint32_t(phyId & 0x3F) << 24 | (linkActive ? kLinkActive : 0) |
           uint32_t(gapCount & 0x3F) << 16 | SpeedField(speed_) << 14 | (contender ? kContender : 0) |
           uint32_t(powerClass & 0x7) << 8 | (initiatedReset ? kInitiatedReset : 0);
    for (int n = 1; n < packets; ++n)
        q[n] = kIdentifier | uint32_t(phyId & 0x3F) << 24 | kExtendedBit | uint32_t(n - 1) << 20;
    for (int port = 0; port < ports(); ++port)
        q[PacketOfPort(port)] |= uint32_t(ports_[size_t(port)].state & 0x3) << ShiftOfPort(port);
    for (int n = 0; n < packets; ++n) out.push_back(q[n] | (n + 1 < packets ? kMore : 0));
}

}  // namespace sim
