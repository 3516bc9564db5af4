// Reading a fuzzer's input front to back: little-endian numbers and byte runs; past the end every
// read gives zeros, so any input decodes. A failed check reports what broke and aborts, which
// libFuzzer records as a crash with the input that caused it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace kxfuzz {

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool Empty() const { return offset_ >= size_; }
    size_t Left() const { return offset_ < size_ ? size_ - offset_ : 0; }

    uint8_t U8() { return offset_ < size_ ? data_[offset_++] : 0; }
    uint16_t U16() { return uint16_t(U8() | (U8() << 8)); }
    uint32_t U32() { return uint32_t(U16()) | (uint32_t(U16()) << 16); }
    uint64_t U64() { return uint64_t(U32()) | (uint64_t(U32()) << 32); }
    // Up to `count` bytes (fewer at the end of the input).
    std::vector<uint8_t> Bytes(size_t count) {
        size_t n = count < Left() ? count : Left();
        std::vector<uint8_t> out(data_ + offset_, data_ + offset_ + n);
        offset_ += n;
        return out;
    }
    std::vector<uint8_t> Rest() { return Bytes(Left()); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t offset_ = 0;
};

// The writing side, for the seed corpus.
class Output {
public:
    void U8(uint8_t v) { bytes.push_back(v); }
    void U16(uint16_t v) { U8(uint8_t(v)); U8(uint8_t(v >> 8)); }
    void U32(uint32_t v) { U16(uint16_t(v)); U16(uint16_t(v >> 16)); }
    void U64(uint64_t v) { U32(uint32_t(v)); U32(uint32_t(v >> 32)); }
    void Bytes(const void* p, size_t n) {
        const uint8_t* b = static_cast<const uint8_t*>(p);
        bytes.insert(bytes.end(), b, b + n);
    }
    std::vector<uint8_t> bytes;
};

[[noreturn]] inline void Fail(const char* file, int line, const char* what) {
    std::fprintf(stderr, "KX FUZZ CHECK FAILED: %s:%d: %s\n", file, line, what);
    std::abort();
}

}  // namespace kxfuzz

// A property every input must keep.
#define KXF_CHECK(condition) \
    ((condition) ? (void)0 : ::kxfuzz::Fail(__FILE__, __LINE__, #condition))
