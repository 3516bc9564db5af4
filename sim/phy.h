// An IEEE 1394a PHY: its register map (IEEE 1394a-2000 5B.1) and the state the bus keeps per node
// through reset, tree identification and self-identification.
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
inline constexpr uint8_t kR7 = 7;  // Page_select 7:5, Port_select 3:0
// Page 0 (port status), registers 8..15 for the selected port:
//   r8: AStat 7:6, BStat 5:4, Child 3, Connected 2, Bias 1, Disabled 0
//   r9: Negotiated_speed 7:5, Int_enable 4, Fault 3
inline constexpr uint8_t kPortConnected = 0x04;
inline constexpr uint8_t kPortChildBit = 0x08;
inline constexpr uint8_t kPortDisabled = 0x01;
}  // namespace phy_reg

class Phy {
public:
    Phy(int ports, Speed speed);

    // What a register write asks of the bus.
    enum class WriteEffect { kNone, kLongReset, kShortReset };

    // Register access as the link (PhyControl) or a remote access packet sees it. Registers 8..15
    // are the page and port chosen in register 7.
    uint8_t Read(uint8_t reg) const;
    WriteEffect Write(uint8_t reg, uint8_t value);
    // A paged register of a given port (remote access packets name page and port themselves).
    uint8_t ReadPaged(uint8_t page, uint8_t port, uint8_t reg) const;

    int ports() const { return int(ports_.size()); }
    Speed speed() const { return speed_; }

    // State the bus maintains.
    uint8_t phyId = 0;
    bool isRoot = false;
    uint8_t gapCount = 0x3F;
    bool rootHoldoff = false;  // RHB
    bool linkOn = true;        // LCtrl: the L bit of the self-ID
    bool contender = false;    // C
    bool initiatedReset = false;
    struct Port {
        PortState state = kPortNotConnected;
        bool disabled = false;
        Speed negotiated = kS100;
    };
    std::vector<Port>& portState() { return ports_; }
    const std::vector<Port>& portState() const { return ports_; }

private:
    std::vector<Port> ports_;
    Speed speed_;
    uint8_t pageSelect_ = 0;
    uint8_t portSelect_ = 0;
    uint8_t r5_ = 0;
};

}  // namespace sim
