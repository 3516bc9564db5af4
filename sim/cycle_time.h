// The isochronous cycle clock (IEEE 1394-1995 8.3.2.3.1, CYCLE_TIME): cycleSeconds 31:25 (0..127),
// cycleCount 24:12 (0..7999), cycleOffset 11:0 (0..3071 at 24.576 MHz). A cycle is 125 us, 3072
// offsets, exactly 1250 ticks of the host clock; conversions between the two are exact at cycle
// boundaries.
#pragma once

#include <cstdint>

#include "sim_host.h"

namespace sim {
namespace cycle_time {

inline constexpr uint32_t kOffsetsPerCycle = 3072;
inline constexpr uint32_t kCyclesPerSecond = 8000;
inline constexpr uint32_t kSecondsWrap = 128;
inline constexpr uint64_t kOffsetsPerSecond = uint64_t(kOffsetsPerCycle) * kCyclesPerSecond;  // 24.576 MHz
inline constexpr uint64_t kPeriod = kOffsetsPerSecond * kSecondsWrap;                          // 128 s
inline constexpr Ticks kTicksPerCycle = 1250;

// Ticks of 100 ns -> 24.576 MHz offsets (2.4576 per tick), and back rounded up.
inline uint64_t OffsetsForTicks(Ticks ticks) { return ticks / 10000 * 24576 + (ticks % 10000) * 24576 / 10000; }
inline Ticks TicksForOffsets(uint64_t offsets) {
    return offsets / 24576 * 10000 + ((offsets % 24576) * 10000 + 24575) / 24576;
}

// An unwrapped offset count -> the register value, and a register value -> offsets within 128 s.
inline uint32_t FromLinear(uint64_t linear) {
    const uint64_t v = linear % kPeriod;
    const uint64_t inSecond = v % kOffsetsPerSecond;
    return uint32_t(((v / kOffsetsPerSecond) & 0x7F) << 25) |
           uint32_t((inSecond / kOffsetsPerCycle) << 12) | uint32_t(inSecond % kOffsetsPerCycle);
}
inline uint64_t ToLinear(uint32_t value) {
    uint32_t count = (value >> 12) & 0x1FFF, offset = value & 0xFFF;
    if (count >= kCyclesPerSecond) count = kCyclesPerSecond - 1;
    if (offset >= kOffsetsPerCycle) offset = kOffsetsPerCycle - 1;
    return uint64_t(value >> 25) * kOffsetsPerSecond + uint64_t(count) * kOffsetsPerCycle + offset;
}
// The 16-bit time stamp of descriptors and trailers: cycleSeconds 2:0 | cycleCount.
inline uint16_t Stamp(uint32_t value) { return uint16_t((value >> 12) & 0xFFFF); }
// The 15-bit cycle-match value of IT/IR contexts: cycleSeconds 1:0 | cycleCount.
inline uint32_t MatchValue(uint32_t value) { return (value >> 12) & 0x7FFF; }

}  // namespace cycle_time
}  // namespace sim
