// An SBP-2 unit (ANSI NCITS 325-1998, Serial Bus Protocol 2): its configuration ROM with the SBP-2
// unit directory, and its management agent register. Nothing stands behind it yet: a write of an
// ORB pointer is taken and recorded, and no ORB is fetched.
//
// The management agent register is 8 bytes (ORB pointer: node_ID 31:16 ‖ offset_hi 15:0, then
// offset_lo) and is written by an 8-byte block write; a quadlet write is refused with rcode
// type_error. Reads return the last ORB pointer written.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "csr_node.h"

namespace sim {

namespace sbp2 {
inline constexpr uint32_t kUnitSpecId = 0x00609E;  // NCITS
inline constexpr uint32_t kUnitSwVersion = 0x010483;
inline constexpr uint32_t kCommandSetSpecId = 0x00609E;
inline constexpr uint32_t kCommandSetScsi = 0x0104D8;  // SCSI primary commands (SPC-2)
// logical_unit_number entry (key 0x14): ordered 22, device_type 20:16, lun 15:0.
inline uint32_t MakeLunEntry(uint8_t deviceType, uint16_t lun) { return (uint32_t(deviceType & 0x1F) << 16) | lun; }
// unit_characteristics entry (key 0x3A): mgt_ORB_timeout 15:8 (units of 500 ms), ORB_size 7:0 (quadlets).
inline uint32_t MakeUnitCharacteristics(uint8_t mgtOrbTimeout, uint8_t orbSize) {
    return (uint32_t(mgtOrbTimeout) << 8) | orbSize;
}
}  // namespace sbp2

class Sbp2Unit : public CsrNode {
public:
    struct Config {
        std::string name = "disk";
        int ports = 2;
        Speed speed = kS400;
        uint64_t guid = 0x0050C2FF00000001ull;
        uint32_t vendorId = 0x0050C2;
        uint32_t modelId = 0x000042;
        std::string vendorName = "Simulated Storage";
        std::string modelName = "SBP-2 Disk";
        uint32_t managementAgent = 0x004000;  // quadlets from 0xFFFFF0000000 (0xFFFFF0010000)
        uint8_t deviceType = 0x00;            // direct access
        uint16_t lun = 0;
        uint32_t unitCharacteristics = sbp2::MakeUnitCharacteristics(10, 8);
        uint32_t commandSetSpecId = sbp2::kCommandSetSpecId;
        uint32_t commandSet = sbp2::kCommandSetScsi;
        uint32_t firmwareRevision = 0x000100;
    };

    explicit Sbp2Unit(const Config& config);
    const Config& config() const { return config_; }

    static ConfigRom BuildRom(const Config& config);
    uint64_t ManagementAgentAddress() const { return rom::kCsrBase + 4ull * config_.managementAgent; }

    // The ORB pointers written to the management agent, the last first.
    uint64_t LastOrbPointer() const { return lastOrb_; }
    uint64_t OrbWrites() const { return orbWrites_; }
    std::function<void(uint64_t orbPointer)> onManagementOrb;

protected:
    uint8_t WriteQuadlet(uint64_t offset, uint32_t value) override;
    uint8_t WriteBlock(uint64_t offset, const std::vector<uint8_t>& data) override;

private:
    Config config_;
    uint64_t lastOrb_ = 0;
    uint64_t orbWrites_ = 0;
};

}  // namespace sim
