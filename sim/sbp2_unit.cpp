// An SBP-2 unit: configuration ROM and management agent register.
#include "sbp2_unit.h"

namespace sim {

ConfigRom Sbp2Unit::BuildRom(const Config& c) {
    // SBP-2 7.4: the unit directory names the protocol, the command set, the management agent
    // (CSR offset), the unit characteristics and the logical unit.
    RomDirectory unit;
    unit.Add(rom::kKeyUnitSpecifierId, sbp2::kUnitSpecId)
        .Add(rom::kKeyUnitSwVersion, sbp2::kUnitSwVersion)
        .Add(rom::kKeyCommandSetSpecId, c.commandSetSpecId)
        .Add(rom::kKeyCommandSet, c.commandSet)
        .Add(rom::kKeyManagementAgent, c.managementAgent)
        .Add(rom::kKeyUnitCharacteristics, c.unitCharacteristics)
        .Add(rom::kKeyFirmwareRevision, c.firmwareRevision)
        .Add(rom::kKeyModel, c.modelId)
        .AddText(c.modelName)
        .Add(rom::kKeyLogicalUnitNumber, sbp2::MakeLunEntry(c.deviceType, c.lun));
    RomDirectory root;
    root.Add(rom::kKeyVendor, c.vendorId)
        .AddText(c.vendorName)
        .Add(rom::kKeyNodeCapabilities, 0x0083C0)
        .Add(rom::kKeyModel, c.modelId)
        .AddText(c.modelName)
        .AddDirectory(rom::kKeyUnitDirectory, std::move(unit));
    BusOptions options;
    options.cycClkAcc = 0xFF;
    options.maxRec = 0xA;
    options.maxRom = 2;
    options.linkSpd = uint8_t(c.speed);
    return ConfigRom::Build(options, c.guid, root);
}

Sbp2Unit::Sbp2Unit(const Config& config)
    : CsrNode(config.name, config.ports, config.speed, BuildRom(config)), config_(config) {
    DefineRegister(ManagementAgentAddress(), 0, kRead);
    DefineRegister(ManagementAgentAddress() + 4, 0, kRead);
}

uint8_t Sbp2Unit::WriteQuadlet(uint64_t offset, uint32_t value) {
    if (offset == ManagementAgentAddress() || offset == ManagementAgentAddress() + 4) return kRcodeTypeError;
    return CsrNode::WriteQuadlet(offset, value);
}

uint8_t Sbp2Unit::WriteBlock(uint64_t offset, const std::vector<uint8_t>& data) {
    if (offset < ManagementAgentAddress() || offset >= ManagementAgentAddress() + 8)
        return CsrNode::WriteBlock(offset, data);
    if (offset != ManagementAgentAddress() || data.size() != 8) return kRcodeTypeError;
    uint32_t hi = BigEndianQuadlet(&data[0]), lo = BigEndianQuadlet(&data[4]);
    SetRegisterValue(offset, hi);
    SetRegisterValue(offset + 4, lo);
    lastOrb_ = (uint64_t(hi) << 32) | lo;
    ++orbWrites_;
    if (onManagementOrb) onManagementOrb(lastOrb_);
    return kRcodeComplete;
}

}  // namespace sim
