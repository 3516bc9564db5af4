// User programs of the fuzz targets: a 64-bit or 32-bit process of the host kernel with the
// controller's device interface open and an event of its own, and the memory its requests point
// into (UserArena): buffers the program owns, filled with a known byte, where each address field
// of a record points as the input chooses. What the driver may write there is noted, and every
// other byte must keep the fill.
#pragma once

#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "frame/device.h"
#include "fuzz_input.h"
#include "hk_io_test.h"
#include "hk_mm_test.h"
#include "kx1394.h"

namespace kxfuzz {

struct Program {
    PEPROCESS process = nullptr;
    bool is32 = false;
    HANDLE device = nullptr;
    HANDLE event = nullptr;     // an event of the program
    ULONG baselineHandles = 0;  // handles between inputs

    void Start(bool wide32, const char* name) {
        is32 = wide32;
        process = hk::CreateProcess(name, wide32);
        KXF_CHECK(process != nullptr);
        baselineHandles = hk::HandleCount(process);
    }
    void Open() {
        if (device != nullptr) return;
        GUID guid = GUID_KX1394_CONTROLLER_INTERFACE;
        KXF_CHECK(hk::user::OpenDeviceInterface(process, guid, 0, &device) == STATUS_SUCCESS);
    }
    void Close() {
        if (device == nullptr) return;
        KXF_CHECK(hk::user::CloseHandle(process, device) == STATUS_SUCCESS);
        device = nullptr;
    }
    // Registers the program as a client of the driver (IOCTL_REGISTER_CLIENT) with a new event of
    // its own, which ends the registration when set; returns the event.
    HANDLE RegisterClient() {
        HANDLE terminate = hk::user::CreateEvent(process, true, false);
        KXF_CHECK(terminate != nullptr);
        std::vector<uint8_t> record(8, 0);
        ULONGLONG handle = HandleValue(terminate);
        std::memcpy(record.data(), &handle, is32 ? 4 : 8);
        KXF_CHECK(Call(IOCTL_REGISTER_CLIENT, record, nullptr, 0, nullptr) == STATUS_SUCCESS);
        return terminate;
    }
    // A handle value in the program's width, as a record field carries it.
    ULONGLONG HandleValue(HANDLE handle) const {
        ULONGLONG v = reinterpret_cast<ULONG_PTR>(handle);
        return is32 ? ULONGLONG(ULONG(v)) : v;
    }
    // One call with `record` copied into the program's memory; the input buffer must come back
    // unchanged.
    NTSTATUS Call(ULONG code, const std::vector<uint8_t>& record, void* out, ULONG outLength, ULONG* returned) {
        void* in = record.empty() ? nullptr : hk::user::Alloc(process, record.size());
        if (in != nullptr) std::memcpy(in, record.data(), record.size());
        NTSTATUS status = hk::user::DeviceIoControl(process, device, code, in, ULONG(record.size()), out, outLength,
                                                    returned);
        if (in != nullptr && !hk::ProcessExited(process)) {
            KXF_CHECK(std::memcmp(in, record.data(), record.size()) == 0);
            hk::user::Free(process, in);
        }
        return status;
    }
};

// Record fields: little-endian stores at an offset.
inline void Put16(std::vector<uint8_t>& r, size_t at, uint16_t v) { std::memcpy(&r[at], &v, 2); }
inline void Put32(std::vector<uint8_t>& r, size_t at, uint32_t v) { std::memcpy(&r[at], &v, 4); }
inline void Put64(std::vector<uint8_t>& r, size_t at, uint64_t v) { std::memcpy(&r[at], &v, 8); }
// An address or handle field: 8 bytes in the 64-bit layout, 4 in the 32-bit one.
inline void PutPointer(std::vector<uint8_t>& r, size_t at, uint64_t v, bool is32) {
    if (is32) Put32(r, at, uint32_t(v));
    else Put64(r, at, v);
}

class UserArena {
public:
    static constexpr uint8_t kFill = 0xA5;
    static constexpr size_t kLargeBytes = 3 * 4096 + 512;
    static constexpr size_t kSmallBytes = 64;
    static constexpr size_t kReadOnlyBytes = 256;

    explicit UserArena(Program* program) : program_(program) {
        PEPROCESS p = program->process;
        large_ = static_cast<uint8_t*>(hk::user::Alloc(p, kLargeBytes));
        small_ = static_cast<uint8_t*>(hk::user::Alloc(p, kSmallBytes));
        readOnly_ = static_cast<uint8_t*>(hk::user::Alloc(p, kReadOnlyBytes));
        KXF_CHECK(large_ != nullptr && small_ != nullptr && readOnly_ != nullptr);
        std::memset(readOnly_, kFill, kReadOnlyBytes);
        hk::user::SetReadOnly(p, readOnly_, true);
        Refill();
    }
    ~UserArena() {
        if (hk::ProcessExited(program_->process)) return;  // its address space went with it
        hk::user::Free(program_->process, large_);
        hk::user::Free(program_->process, small_);
        hk::user::Free(program_->process, readOnly_);
    }
    UserArena(const UserArena&) = delete;
    UserArena& operator=(const UserArena&) = delete;

    // Every byte back to the fill; nothing may be written.
    void Refill() {
        std::memset(large_, kFill, kLargeBytes);
        std::memset(small_, kFill, kSmallBytes);
        allowed_.clear();
    }

    // An address for a field of `bytes` bytes that the driver writes (`writes`) or reads: mostly
    // inside the large buffer at an offset the input picks, else null, the end of the small buffer
    // running into its guard page, the read-only buffer, or a raw value. A raw value may be one of
    // these buffers' addresses too (libFuzzer learns them from the checks' comparisons), so the
    // driver may write there as well.
    uint64_t Pick(Input& in, uint32_t bytes, bool writes) {
        uint8_t kind = in.U8();
        uint64_t address = 0;
        switch (kind % 8) {
        case 0: return 0;
        case 1: address = Address(small_) + kSmallBytes - (in.U8() % 16); break;
        case 2: address = Address(readOnly_) + in.U8() % kReadOnlyBytes; break;
        case 3: address = program_->is32 ? in.U32() : in.U64(); break;
        default: address = Address(large_) + (kind & 0x80 ? in.U16() : in.U8() * 4u) % kLargeBytes; break;
        }
        if (writes) Allow(address, bytes);
        return address;
    }
    // Bytes the driver may write.
    void Allow(uint64_t address, uint32_t bytes) { allowed_.push_back({address, bytes}); }

    // The bytes at [address, address + bytes) when they lie inside one buffer (a writable one
    // when `writable`), else null.
    const uint8_t* Owned(uint64_t address, uint32_t bytes, bool writable) const {
        const std::pair<uint8_t*, size_t> buffers[] = {{large_, kLargeBytes}, {small_, kSmallBytes},
                                                       {readOnly_, writable ? 0 : kReadOnlyBytes}};
        for (const auto& [base, size] : buffers) {
            uint64_t b = Address(base);
            if (address >= b && address - b <= size && size - (address - b) >= bytes && size != 0)
                return base + (address - b);
        }
        return nullptr;
    }

    // No byte changed outside what was allowed; the read-only buffer never changes.
    void CheckUntouched() const {
        CheckBuffer(large_, kLargeBytes);
        CheckBuffer(small_, kSmallBytes);
        for (size_t i = 0; i < kReadOnlyBytes; ++i) KXF_CHECK(readOnly_[i] == kFill);
    }

private:
    static uint64_t Address(const void* p) { return reinterpret_cast<uintptr_t>(p); }
    void CheckBuffer(const uint8_t* base, size_t size) const {
        for (size_t i = 0; i < size; ++i) {
            if (base[i] == kFill) continue;
            uint64_t a = Address(base) + i;
            bool ok = false;
            for (const Region& r : allowed_) ok = ok || (a >= r.address && a - r.address < r.bytes);
            KXF_CHECK(ok);
        }
    }

    struct Region {
        uint64_t address;
        uint64_t bytes;
    };
    Program* program_;
    uint8_t* large_ = nullptr;
    uint8_t* small_ = nullptr;
    uint8_t* readOnly_ = nullptr;
    std::vector<Region> allowed_;
};

}  // namespace kxfuzz
