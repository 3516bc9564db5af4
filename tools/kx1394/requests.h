// The program's asynchronous requests, as a camera program makes them through the public header:
// IOCTL_ASYNC_READ / WRITE / LOCK with a record of its own width whose result addresses point
// into its own memory, an event for results that come later, and IOCTL_ASYNC_STREAM and
// IOCTL_SEND_PHY_PACKET. The program registers itself as a client first (the driver takes
// asynchronous requests only from registered processes) and ends its registration when done.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "rom_decoder.h"
#include "session.h"

namespace kx1394 {

// What came back from one read, write or lock.
struct AsyncResult {
    NTSTATUS call = STATUS_UNSUCCESSFUL;  // what DeviceIoControl answered
    bool pending = false;                 // the first answer was ack_pending; the rest came later
    bool completed = true;                // a pending request's event was set in time
    uint32_t status = 0;                  // KX1394_STATUS_* word
    uint8_t ack = 0;
    uint8_t rcode = 0;
    std::vector<uint8_t> data;            // read: the bytes in bus order
    uint64_t oldValue = 0;                // lock: the old value, a host-order number

    // The transaction did what was asked: status 0, acked complete (or pending, or pending
    // finished at once) and a complete response.
    bool ok() const;
    // "status 0 (success), ack 1 (ack_complete), rcode 0 (resp_complete)", or why it failed.
    std::string Describe() const;
};

std::string AsyncStatusName(uint32_t status);
std::string AckName(uint8_t ack);
std::string RcodeName(uint8_t rcode);

class Requester {
public:
    explicit Requester(Session& session);
    ~Requester();
    Requester(const Requester&) = delete;
    Requester& operator=(const Requester&) = delete;

    // IOCTL_REGISTER_CLIENT's answer.
    NTSTATUS registration() const { return registration_; }

    AsyncResult Read(uint16_t nodeId, uint64_t offset, uint32_t length);
    AsyncResult Write(uint16_t nodeId, uint64_t offset, const std::vector<uint8_t>& data);
    AsyncResult Lock(uint16_t nodeId, uint64_t offset, uint8_t extendedTcode, uint64_t arg, uint64_t data, bool wide);
    // The result byte in *result when the call succeeded.
    NTSTATUS Phy(uint32_t quadlet, uint8_t* result);
    NTSTATUS Stream(uint8_t channel, uint8_t speed, uint8_t tag, uint8_t sy, const std::vector<uint8_t>& data,
                    uint8_t* result);

    // A quadlet read for the decoders: a read that meets a bus reset is asked again a few times.
    QuadletRead Quadlet(uint16_t nodeId, uint64_t offset);

private:
    struct Transaction;
    AsyncResult Transact(const Transaction& t);

    Session& session_;
    HANDLE terminate_ = nullptr;
    NTSTATUS registration_ = STATUS_UNSUCCESSFUL;
};

}  // namespace kx1394
