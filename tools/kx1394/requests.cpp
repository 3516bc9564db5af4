#include "requests.h"

#include <cstring>

#include "hk_io_test.h"
#include "hk_mm_test.h"
#include "kx1394.h"
#include "queries.h"

namespace kx1394 {

namespace {

// How long the program waits for the event of a pending request (virtual time). The driver
// delivers every pending request by the split time-out or a bus reset, well within this.
constexpr ULONGLONG kPendingWait = 10 * kTicksPerSecond;
constexpr int kResetRetries = 3;

// Memory of the program that holds a request's results.
class ProcessBuffer {
public:
    ProcessBuffer(PEPROCESS process, size_t size) : process_(process) {
        memory_ = static_cast<uint8_t*>(hk::user::Alloc(process, size == 0 ? 1 : size));
    }
    ~ProcessBuffer() {
        if (memory_ != nullptr) hk::user::Free(process_, memory_);
    }
    ProcessBuffer(const ProcessBuffer&) = delete;
    ProcessBuffer& operator=(const ProcessBuffer&) = delete;
    uint8_t* get() const { return memory_; }
    // The driver may still write here: the memory stays the process's until it ends.
    void Keep() { memory_ = nullptr; }
    uint64_t address() const { return reinterpret_cast<uintptr_t>(memory_); }

private:
    PEPROCESS process_;
    uint8_t* memory_ = nullptr;
};

uint32_t LoadU32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

uint64_t LoadU64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

}  // namespace

struct Requester::Transaction {
    ULONG code = 0;
    uint16_t nodeId = 0;
    uint64_t offset = 0;
    uint32_t length = 0;
    const std::vector<uint8_t>* writeData = nullptr;
    uint8_t extendedTcode = 0;
    uint64_t arg = 0;
    uint64_t data = 0;
    bool wide = false;
};

std::string AsyncStatusName(uint32_t status) {
    switch (status) {
    case KX1394_STATUS_SUCCESS: return "success";
    case KX1394_STATUS_BUS_RESET: return "bus reset or stale generation";
    case KX1394_STATUS_ERROR: return "error";
    case KX1394_STATUS_TOO_LONG: return "length above the limit for the speed";
    case KX1394_STATUS_TIMEOUT: return "timed out";
    case KX1394_STATUS_CANCELLED: return "cancelled";
    case KX1394_STATUS_DMA_0x1D:
    case KX1394_STATUS_DMA_ERROR:
    case KX1394_STATUS_DMA_0x05:
    case KX1394_STATUS_DMA_0x04: return "DMA error";
    case KX1394_STATUS_INTERRUPTED: return "the wait for the settled bus was interrupted";
    case KX1394_STATUS_LOCK_FAILED: return "the result memory could not be locked";
    default: return "unknown status";
    }
}

std::string AckName(uint8_t ack) {
    switch (ack) {
    case KX1394_ACK_FINISHED_AT_ONCE: return "finished at once";
    case 1: return "ack_complete";
    case 2: return "ack_pending";
    case 4: return "ack_busy_X";
    case 5: return "ack_busy_A";
    case 6: return "ack_busy_B";
    case 11: return "ack_tardy";
    case 12: return "ack_conflict_error";
    case 13: return "ack_data_error";
    case 14: return "ack_type_error";
    case 15: return "ack_address_error";
    case KX1394_ACK_TIMEOUT: return "time-out";
    case KX1394_ACK_NONE: return "no acknowledge";
    default: return "unknown ack";
    }
}

std::string RcodeName(uint8_t rcode) {
    switch (rcode) {
    case 0: return "resp_complete";
    case 4: return "resp_conflict_error";
    case 5: return "resp_data_error";
    case 6: return "resp_type_error";
    case 7: return "resp_address_error";
    default: return "unknown rcode";
    }
}

bool AsyncResult::ok() const {
    return call == STATUS_SUCCESS && completed && status == KX1394_STATUS_SUCCESS &&
           (ack == KX1394_ACK_FINISHED_AT_ONCE || ack == 1 || ack == 2) && rcode == 0;
}

std::string AsyncResult::Describe() const {
    if (call != STATUS_SUCCESS) return "driver answered " + StatusName(call);
    std::string text = "status " + std::to_string(status) + " (" + AsyncStatusName(status) + "), ack " +
                       std::to_string(ack) + " (" + AckName(ack) + "), rcode " + std::to_string(rcode) + " (" +
                       RcodeName(rcode) + ")";
    if (!completed) text += "; pending, and its event was not set within 10 s";
    return text;
}

Requester::Requester(Session& session) : session_(session) {
    PEPROCESS process = session_.process();
    terminate_ = hk::user::CreateEvent(process, true, false);
    registration_ = RegisterClient(session_, terminate_);
}

Requester::~Requester() {
    PEPROCESS process = session_.process();
    // A program that is done ends its registration; the driver releases its client.
    if (registration_ == STATUS_SUCCESS) {
        hk::user::SetEvent(process, terminate_);
        session_.Run(50 * kTicksPerMs);
    }
    hk::user::CloseHandle(process, terminate_);
}

AsyncResult Requester::Transact(const Transaction& t) {
    PEPROCESS process = session_.process();
    AsyncResult result;
    const bool lock = t.code == IOCTL_ASYNC_LOCK;
    const size_t dataBytes = lock ? (t.wide ? 8 : 4) : t.length;
    ProcessBuffer data(process, dataBytes);
    ProcessBuffer status(process, 4), ack(process, 1), rcode(process, 1);
    if (data.get() == nullptr || status.get() == nullptr || ack.get() == nullptr || rcode.get() == nullptr) {
        result.call = STATUS_NO_MEMORY;
        return result;
    }
    if (t.writeData != nullptr) std::memcpy(data.get(), t.writeData->data(), t.writeData->size());
    // An event of its own for each request, so that no earlier setting is taken for this one.
    HANDLE event = hk::user::CreateEvent(process, false, false);

    const uint64_t offsetField = t.offset & 0xFFFFFFFFFFFFull;
    uint8_t record[96] = {};
    if (session_.is32Bit()) {
        Kx1394AsyncIo32 r = {};
        r.DestinationNode = t.nodeId;
        r.Offset = offsetField;
        r.Length = lock ? uint32_t(dataBytes) : t.length;
        r.Event = uint32_t(reinterpret_cast<uintptr_t>(event));
        r.Data = uint32_t(data.address());
        r.StatusOut = uint32_t(status.address());
        r.AckOut = uint32_t(ack.address());
        r.RcodeOut = uint32_t(rcode.address());
        r.ExtendedTcode = t.extendedTcode;
        r.ArgValue = t.wide ? t.arg : (t.arg & 0xFFFFFFFFu);
        r.DataValue = t.wide ? t.data : (t.data & 0xFFFFFFFFu);
        r.Operand64 = t.wide ? 1 : 0;
        std::memcpy(record, &r, sizeof r);
    } else {
        Kx1394AsyncIo64 r = {};
        r.DestinationNode = t.nodeId;
        r.Offset = offsetField;
        r.Length = lock ? uint32_t(dataBytes) : t.length;
        r.Event = reinterpret_cast<uintptr_t>(event);
        r.Data = data.address();
        r.StatusOut = status.address();
        r.AckOut = ack.address();
        r.RcodeOut = rcode.address();
        r.ExtendedTcode = t.extendedTcode;
        r.ArgValue = t.wide ? t.arg : (t.arg & 0xFFFFFFFFu);
        r.DataValue = t.wide ? t.data : (t.data & 0xFFFFFFFFu);
        r.Operand64 = t.wide ? 1 : 0;
        std::memcpy(record, &r, sizeof r);
    }
    result.call = session_.Control(t.code, record, sizeof record, 0).status;
    if (result.call != STATUS_SUCCESS) {
        hk::user::CloseHandle(process, event);
        return result;
    }
    result.status = LoadU32(status.get());
    result.ack = ack.get()[0];
    result.rcode = rcode.get()[0];
    if (result.status == KX1394_STATUS_SUCCESS && result.ack == 2 && result.rcode == 0) {
        // Pending: the final result is written when the event is set.
        result.pending = true;
        ULONGLONG timeout = kPendingWait;
        result.completed = hk::user::WaitEvent(process, event, &timeout) == STATUS_SUCCESS;
        result.status = LoadU32(status.get());
        result.ack = ack.get()[0];
        result.rcode = rcode.get()[0];
        if (!result.completed)
            for (ProcessBuffer* b : {&data, &status, &ack, &rcode}) b->Keep();
    }
    hk::user::CloseHandle(process, event);
    if (result.ok()) {
        if (lock) result.oldValue = t.wide ? LoadU64(data.get()) : LoadU32(data.get());
        else if (t.code == IOCTL_ASYNC_READ) result.data.assign(data.get(), data.get() + t.length);
    }
    return result;
}

AsyncResult Requester::Read(uint16_t nodeId, uint64_t offset, uint32_t length) {
    Transaction t;
    t.code = IOCTL_ASYNC_READ;
    t.nodeId = nodeId;
    t.offset = offset;
    t.length = length;
    return Transact(t);
}

AsyncResult Requester::Write(uint16_t nodeId, uint64_t offset, const std::vector<uint8_t>& data) {
    Transaction t;
    t.code = IOCTL_ASYNC_WRITE;
    t.nodeId = nodeId;
    t.offset = offset;
    t.length = uint32_t(data.size());
    t.writeData = &data;
    return Transact(t);
}

AsyncResult Requester::Lock(uint16_t nodeId, uint64_t offset, uint8_t extendedTcode, uint64_t arg, uint64_t data,
                            bool wide) {
    Transaction t;
    t.code = IOCTL_ASYNC_LOCK;
    t.nodeId = nodeId;
    t.offset = offset;
    t.extendedTcode = extendedTcode;
    t.arg = arg;
    t.data = data;
    t.wide = wide;
    return Transact(t);
}

NTSTATUS Requester::Phy(uint32_t quadlet, uint8_t* result) {
    Answer a = session_.Control(IOCTL_SEND_PHY_PACKET, &quadlet, sizeof quadlet, 1);
    if (a.status == STATUS_SUCCESS) *result = a.out.empty() ? 0xFF : a.out[0];
    return a.status;
}

NTSTATUS Requester::Stream(uint8_t channel, uint8_t speed, uint8_t tag, uint8_t sy, const std::vector<uint8_t>& data,
                           uint8_t* result) {
    PEPROCESS process = session_.process();
    ProcessBuffer payload(process, data.size());
    if (payload.get() == nullptr) return STATUS_NO_MEMORY;
    std::memcpy(payload.get(), data.data(), data.size());
    uint8_t record[24] = {};
    if (session_.is32Bit()) {
        Kx1394AsyncStream32 r = {};
        r.Channel = channel;
        r.Speed = speed;
        r.Sy = sy;
        r.Tag = tag;
        r.Length = uint32_t(data.size());
        r.Data = uint32_t(payload.address());
        std::memcpy(record, &r, sizeof r);
    } else {
        Kx1394AsyncStream64 r = {};
        r.Channel = channel;
        r.Speed = speed;
        r.Sy = sy;
        r.Tag = tag;
        r.Length = uint32_t(data.size());
        r.Data = payload.address();
        std::memcpy(record, &r, sizeof r);
    }
    Answer a = session_.Control(IOCTL_ASYNC_STREAM, record, sizeof record, 1);
    if (a.status == STATUS_SUCCESS) *result = a.out.empty() ? 0xFF : a.out[0];
    return a.status;
}

QuadletRead Requester::Quadlet(uint16_t nodeId, uint64_t offset) {
    AsyncResult r;
    for (int attempt = 0; attempt <= kResetRetries; ++attempt) {
        r = Read(nodeId, offset, 4);
        if (r.call != STATUS_SUCCESS || r.status != KX1394_STATUS_BUS_RESET) break;
        session_.Run(100 * kTicksPerMs);  // let the bus settle
    }
    if (!r.ok()) return QuadletRead::Failed(r.Describe());
    // The quadlet arrives in bus order.
    return QuadletRead::Of(uint32_t(r.data[0]) << 24 | uint32_t(r.data[1]) << 16 | uint32_t(r.data[2]) << 8 |
                           r.data[3]);
}

}  // namespace kx1394
