// A node on the simulated bus: its PHY and its link. Device models (plain CSR nodes, IIDC cameras,
// SBP-2 units) and the OHCI controller derive from it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "packet.h"
#include "phy.h"

namespace sim {

class Bus;

class Node {
public:
    Node(std::string name, int ports, Speed speed);
    virtual ~Node();
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

    const std::string& name() const { return name_; }
    Phy& phy() { return phy_; }
    const Phy& phy() const { return phy_; }
    Bus* bus() const { return bus_; }
    // bus_ID (0x3FF, the local bus) and physical ID; valid after self-identification.
    uint16_t NodeId() const { return uint16_t((kLocalBus << 6) | phy_.phyId); }
    bool Connected() const { return bus_ != nullptr; }

    // The link layer. A packet addressed to this node (or broadcast) in the current generation;
    // returns the ack the link sends back (ignored for broadcast). Responses to requests are sent
    // later through bus()->SendAsync, usually from a clock event.
    virtual Ack ReceivePacket(const Packet& packet) = 0;
    // A PHY packet seen on the bus while the link is on (configuration packets are applied to every
    // PHY by the bus before the links see them).
    virtual void ReceivePhyPacket(uint32_t quadlet) { (void)quadlet; }
    // Isochronous traffic. Every node with its link active, once per isochronous cycle after the
    // cycle start packet (cycleTime: the cycle master's CYCLE_TIME as the cycle start packet
    // carried it); talkers send their packet for this cycle from here with bus()->SendIsochronous.
    virtual void OnCycleStart(uint32_t cycleTime) { (void)cycleTime; }
    // The cycle start packet itself, which every active link receives before any talker of the
    // cycle sends (a link loads its cycle timer from it).
    virtual void ReceiveCycleStart(uint32_t cycleTime) { (void)cycleTime; }
    // An isochronous packet seen on the bus (every channel: a link filters what it wants).
    virtual void ReceiveIsochronous(const IsoPacket& packet) { (void)packet; }
    // The cycle: the bus runs cycles (cycle start packets, OnCycleStart) while its root acts as
    // cycle master and some active link on it wants them; cycles nobody wants are skipped, which no
    // node can tell apart from cycles it ignored. A link with per-cycle work answers true while it
    // has that work; a passive node false. The bus also counts as wanting cycles a node that sent
    // an isochronous packet in the last second and one an asynchronous packet reached in the last
    // two cycles, so a talker switched on by a register write needs no answer of its own. A node
    // whose answer changes otherwise calls bus()->CycleDemandChanged().
    virtual bool WantsCycleStarts() const { return true; }
    // Whether this node sends cycle start packets when it is root (OHCI: LinkControl.cycleMaster
    // with the cycle timer enabled; a plain node: STATE.cmstr).
    virtual bool CycleMasterEnabled() const { return false; }
    // CYCLE_TIME as this node's cycle timer reads now. By default a timer that has run from time 0
    // of the bus's clock.
    virtual uint32_t CycleTime() const;
    // The cycle master of this node's bus started or stopped sending cycle starts (a reset, a root
    // that became or stopped being cycle master, a cycle that ran too long).
    virtual void OnCycleMasterChange() {}
    // As cycle master: the isochronous traffic of the last cycle ran past its end (IEEE 1394-1995
    // 8.4.2.6: cycle too long).
    virtual void OnCycleTooLong() {}
    // Every node, at the start of a bus reset: the link's node ID is no longer valid.
    virtual void OnBusResetStart() {}
    // Every node, when self-identification has finished: the physical ID is valid and `selfIds`
    // holds the self-ID packets of the whole bus in the order they were sent.
    virtual void OnSelfIdComplete(const std::vector<uint32_t>& selfIds) { (void)selfIds; }
    // A link-on PHY packet named this node: its PHY has set LCtrl; a link that was powered down
    // may power up now.
    virtual void OnLinkOn() {}
    // Whether the link is powered (OHCI: HCControl.LPS). The self-ID L bit is LCtrl AND this, and
    // only a link that is on and powered receives packets.
    virtual bool LinkPowered() const { return true; }
    // The PHY asked its link for an interrupt: a status transfer with the interrupt bit set
    // (IEEE 1394a 5B), here after Port_event was set.
    virtual void OnPhyInterrupt() {}
    bool LinkActive() const { return phy_.linkOn && LinkPowered(); }

private:
    friend class Bus;
    std::string name_;
    Phy phy_;
    Bus* bus_ = nullptr;
    int index_ = -1;  // place in the bus's node list
};

}  // namespace sim
