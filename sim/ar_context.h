// The asynchronous receive DMA contexts, request and response, in buffer-fill mode (OHCI 1.1
// chapter 8): a program of INPUT_MORE descriptors, packets stored back to back in their buffers in
// the receive format (header quadlets, data padded to a quadlet, trailer quadlet), a packet
// straddling into the next descriptor's buffer, resCount and xferStatus written back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "dma_context.h"
#include "packet.h"

namespace sim {

class OhciController;

class ArContext : public DmaContext {
public:
    enum class Kind { kRequest, kResponse };

    ArContext(OhciController& controller, Kind kind);
    ~ArContext() override;

    Kind kind() const { return kind_; }

    // A packet for this context (requests that the controller does not serve itself go to the
    // request context, responses to the response context). Stores it and returns the ack the link
    // sends: ack_pending for a stored request, ack_complete for a stored response (a broadcast
    // request is stored with ack_complete; the caller sends no ack for it), ack_busy_X when the
    // context cannot take the packet (not running, dead, or no room left in its program; nothing
    // is stored then).
    Ack Deliver(const Packet& packet);
    // A PHY packet received while LinkControl.rcvPhyPkt is set (request context): stored with tcode
    // 0xE, the quadlet and its inverse, and ack_complete in the trailer.
    void DeliverPhyPacket(uint32_t quadlet);
    // The bus-reset packet (request context, OHCI 1.1 8.4.2.3): tcode 0xE, the new
    // selfIDGeneration in bits 23:16 of its third quadlet, evt_bus_reset in the trailer. The
    // controller calls it when self-identification completes, with SelfIDCount's new generation;
    // requests stored after it belong to that generation.
    void StoreBusResetPacket(uint8_t selfIdGeneration);
    // Fault: bytes no packet on the wire would give (a packet cut short, an unknown tcode, a wrong
    // length or trailer), stored as a faulty link would store them: whole quadlets only, back to
    // back after the last packet and straddling into the next buffers as far as the program has
    // room, resCount and xferStatus written back, RQPkt / RSPkt raised. Returns the bytes stored.
    size_t StoreRaw(const std::vector<uint8_t>& bytes);
    // The start of a bus reset. The receive contexts keep their program and keep running.
    void BusReset();
    // Soft reset: run, active, dead and the event are cleared.
    void Reset() override;

protected:
    void OnRun() override;
    void OnStop() override;
    void OnWake() override;

private:
    struct Descriptor {
        uint32_t address = 0;
        uint32_t q0 = 0;
        uint32_t dataAddress = 0;
    };

    bool Store(std::vector<uint8_t>& bytes, uint8_t event, Speed speed);
    bool Write(const std::vector<uint8_t>& bytes, size_t count);
    void Format(const Packet& packet, std::vector<uint8_t>& out) const;
    bool HasRoom(size_t bytes) { return Room(bytes) >= bytes; }
    size_t Room(size_t wanted);
    bool Fetch(uint32_t commandPtr, Descriptor& descriptor);
    bool ReadBranch(uint32_t address, uint32_t* branch);
    bool EnterNext();
    bool WriteStatus();
    void Fatal(uint8_t event);
    bool Dead() const;

    OhciController& controller_;
    Kind kind_;
    // The descriptor whose buffer is being filled, and the room left in it.
    bool haveDescriptor_ = false;
    Descriptor current_;
    uint16_t resCount_ = 0;
    bool idleAtEnd_ = false;  // its buffer is full and its branch has Z = 0: waiting for wake
    uint32_t bufferInterrupts_ = 0;
    std::vector<uint8_t> bytes_;
};

}  // namespace sim
