// The isochronous resource manager's registers (IEEE 1394-1995 8.3.2.3.5-8, IEEE 1394a 8.3.2.3):
// BUS_MANAGER_ID, BANDWIDTH_AVAILABLE, CHANNELS_AVAILABLE_HI and _LO at 0xFFFFF000021C..0228,
// served by every node that can be isochronous resource manager (the contender bit) and by the
// OHCI controller's CSR compare-swap unit.
//
// How they take a compare_swap, where the standards leave the detail to the implementation:
// - The register takes the new value when the old value equals arg_value and the new value is one
//   the register can hold: BUS_MANAGER_ID a physical ID (0..0x3F, bits 31:6 zero),
//   BANDWIDTH_AVAILABLE a bw_remaining (0..0x1FFF, bits 31:13 zero). Otherwise it keeps its value.
//   An allocation of more bandwidth than remains computes a new value below zero, whose reserved
//   bits are set, and so fails: the register is left as it was (the requester, reading it back or
//   comparing again, sees the allocation did not happen). CHANNELS_AVAILABLE take any value.
// - The response carries the old value in every case.
// - A bus reset restores 0x3F, the initial bandwidth (4915) and all channels free.
#pragma once

#include <cstdint>

namespace sim {
namespace irm {

enum Register : int { kBusManagerId = 0, kBandwidthAvailable = 1, kChannelsAvailableHi = 2, kChannelsAvailableLo = 3 };
inline constexpr uint64_t kFirstOffset = 0xFFFFF000021Cull;  // BUS_MANAGER_ID; the others follow
inline constexpr uint32_t kBusManagerIdNone = 0x3F;
inline constexpr uint32_t kBandwidthInitial = 4915;
inline constexpr uint32_t kChannelsInitial = 0xFFFFFFFF;

inline bool Holds(int reg, uint32_t value) {
    if (reg == kBusManagerId) return value <= 0x3F;
    if (reg == kBandwidthAvailable) return value <= 0x1FFF;
    return true;
}

// Returns the old value.
inline uint32_t CompareSwap(uint32_t* registers, int reg, uint32_t arg, uint32_t data) {
    const uint32_t old = registers[reg];
    if (old == arg && Holds(reg, data)) registers[reg] = data;
    return old;
}

}  // namespace irm
}  // namespace sim
