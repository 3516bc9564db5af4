// An IIDC 1.31 camera: configuration ROM and command registers.
#include "iidc_camera.h"

namespace sim {

using namespace iidc;

std::array<std::array<uint8_t, 8>, 8> IidcCamera::Config::DefaultRates() {
    std::array<std::array<uint8_t, 8>, 8> rates{};
    rates[0][1] = uint8_t((1u << k15) | (1u << k30));  // Format_0 Mode_1: 320x240 YUV 4:2:2
    rates[0][5] = uint8_t((1u << k15) | (1u << k30));  // Format_0 Mode_5: 640x480 Mono 8
    return rates;
}

ConfigRom IidcCamera::BuildRom(const Config& c) {
    // IIDC 1.31 chapter 2: the unit directory names the 1394 TA and the IIDC version and points
    // to the unit-dependent directory, which gives the command register base and the names.
    RomDirectory dependent;
    dependent.Add(rom::kKeyCommandRegsBase, c.commandRegsBase)
        .AddText(c.vendorName, rom::kKeyTextualDescriptor)
        .AddText(c.modelName, rom::kKeyModelNameLeaf);
    // unit_sub_sw_version exists from IIDC 1.31 on (unit_sw_version 0x000102 with a minor version).
    if (c.subVersion && c.unitSwVersion >= kVersion130) dependent.Add(rom::kKeyCommandSetSpecId, c.subVersion);
    RomDirectory unit;
    unit.Add(rom::kKeyUnitSpecifierId, kUnitSpecId)
        .Add(rom::kKeyUnitSwVersion, c.unitSwVersion)
        .AddDirectory(rom::kKeyUnitDependentDirectory, std::move(dependent));
    RomDirectory root;
    root.Add(rom::kKeyVendor, c.vendorId)
        .AddText(c.vendorName)
        .Add(rom::kKeyNodeCapabilities, 0x0083C0)
        .Add(rom::kKeyModel, c.modelId)
        .AddText(c.modelName)
        .AddDirectory(rom::kKeyUnitDirectory, std::move(unit));
    BusOptions options;
    options.isc = true;
    options.cycClkAcc = 0xFF;
    options.maxRec = 0xA;
    options.maxRom = 2;
    options.linkSpd = uint8_t(c.speed);
    return ConfigRom::Build(options, c.guid, root);
}

IidcCamera::IidcCamera(const Config& config)
    : CsrNode(config.name, config.ports, config.speed, BuildRom(config)), config_(config) {
    Initialize();
}

// Factory defaults: the first listed format, mode and rate, channel 0 at the camera's speed (at
// most S400 in legacy operation), not streaming, powered.
void IidcCamera::Initialize() {
    format_ = mode_ = rate_ = 0;
    bool found = false;
    for (uint32_t f = 0; f < 8 && !found; ++f)
        for (uint32_t m = 0; m < 8 && !found; ++m)
            for (uint32_t r = 0; r < 8 && !found; ++r)
                if (config_.rates[f][m] & (1u << r)) {
                    format_ = f;
                    mode_ = m;
                    rate_ = r;
                    found = true;
                }
    isoRegister_ = MakeLegacyIso(0, config_.speed > kS400 ? uint32_t(kS400) : uint32_t(config_.speed));
    if (isoEn_ && onIsoEnable) onIsoEnable(false);
    isoEn_ = false;
    power_ = true;
    shotRegister_ = 0;
    shots_ = 0;
}

bool IidcCamera::CombinationValid() const { return (config_.rates[format_][mode_] >> rate_) & 1; }

uint32_t IidcCamera::IsoChannel() const {
    return (isoRegister_ & kIso1394bMode) ? BIsoChannel(isoRegister_) : LegacyIsoChannel(isoRegister_);
}

uint32_t IidcCamera::IsoSpeed() const {
    return (isoRegister_ & kIso1394bMode) ? BIsoSpeed(isoRegister_) : LegacyIsoSpeed(isoRegister_);
}

void IidcCamera::FinishShots() {
    shots_ = 0;
    shotRegister_ = 0;
}

// ---- Register reads

uint32_t IidcCamera::InquiryRegister(uint32_t reg) const {
    if (reg == kVFormatInq) {
        uint32_t v = 0;
        for (uint32_t f = 0; f < 8; ++f)
            for (uint32_t m = 0; m < 8; ++m)
                if (config_.rates[f][m]) v |= InquiryBit(f);
        return v;
    }
    if (reg >= kVModeInq0 && reg < kVModeInq0 + 32) {
        uint32_t f = (reg - kVModeInq0) / 4, v = 0;
        for (uint32_t m = 0; m < 8; ++m)
            if (config_.rates[f][m]) v |= InquiryBit(m);
        return v;
    }
    if (reg >= kVRateInq00 && reg < kVRevInq60) {  // formats 0..5
        uint32_t f = (reg - kVRateInq00) / 0x20, m = (reg - kVRateInq00) % 0x20 / 4, v = 0;
        for (uint32_t r = 0; r < 8; ++r)
            if ((config_.rates[f][m] >> r) & 1) v |= InquiryBit(r);
        return v;
    }
    if (reg == kBasicFuncInq) {
        return kVModeErrorStatusBit | (config_.b1394 ? k1394bBit : 0) | (config_.powerControl ? kCamPowerBit : 0) |
               (config_.oneShot ? kOneShotBit : 0) | (config_.multiShot ? kMultiShotBit : 0);
    }
    if (reg == kFeatureHiInq) return config_.featureHiInq;
    if (reg == kFeatureLoInq) return config_.featureLoInq;
    return 0;  // V_REV_INQ, V_CSR_INQ, OPT_FUNCTION_INQ, ADVANCED_FEATURE_INQ, feature inquiries
}

uint32_t IidcCamera::ReadCommandRegister(uint32_t reg) const {
    switch (reg) {
    case kInitialize: return 0;  // self-clearing
    case kCurVFrmRate: return IndexField(rate_);
    case kCurVMode: return IndexField(mode_);
    case kCurVFormat: return IndexField(format_);
    case kIsoChannel: return isoRegister_;
    case kCameraPower: return power_ ? kBit31 : 0;
    case kIsoEn: return isoEn_ ? kBit31 : 0;
    case kOneShot: return shotRegister_;
    case kVModeErrorStatus: return CombinationValid() ? 0 : kBit31;
    default: break;
    }
    if (reg < kCurVFrmRate) return InquiryRegister(reg);
    return 0;  // MEMORY_SAVE, memory channels, feature controls (no feature present), reserved
}

uint8_t IidcCamera::ReadQuadlet(uint64_t offset, uint32_t* value) {
    if (!InBlock(offset)) return CsrNode::ReadQuadlet(offset, value);
    *value = ReadCommandRegister(uint32_t(offset - CommandBase()));
    return kRcodeComplete;
}

// ---- Register writes

void IidcCamera::WriteIsoChannel(uint32_t value) {
    if (value & kIso1394bMode) {
        if (!config_.b1394 || BIsoSpeed(value) > uint32_t(config_.speed)) return;
        isoRegister_ = kIso1394bMode | (BIsoChannel(value) << 8) | BIsoSpeed(value);
    } else {
        if (LegacyIsoSpeed(value) > uint32_t(config_.speed) || LegacyIsoSpeed(value) > 2) return;
        isoRegister_ = MakeLegacyIso(LegacyIsoChannel(value), LegacyIsoSpeed(value));
    }
}

void IidcCamera::WriteIsoEn(uint32_t value) {
    bool on = (value & kBit31) != 0;
    if (on && (!power_ || !CombinationValid())) return;
    if (on == isoEn_) return;
    isoEn_ = on;
    if (on) FinishShots();  // continuous streaming takes precedence
    if (onIsoEnable) onIsoEnable(on);
}

void IidcCamera::WriteShot(uint32_t value) {
    if (isoEn_ || !power_ || !CombinationValid()) return;
    uint32_t frames = 0;
    if ((value & kBit31) && config_.oneShot) {
        frames = 1;
        shotRegister_ = kBit31;
    } else if ((value & kMultiShotFlag) && config_.multiShot && (value & 0xFFFF)) {
        frames = value & 0xFFFF;
        shotRegister_ = kMultiShotFlag | frames;
    } else {
        return;
    }
    shots_ = frames;
    if (onShot) onShot(frames);
    else FinishShots();  // nothing streams yet: the frames are "sent" at once
}

void IidcCamera::WriteCommandRegister(uint32_t reg, uint32_t value) {
    const bool streaming = isoEn_;
    switch (reg) {
    case kInitialize:
        if (value & kBit31) Initialize();
        break;
    case kCurVFormat:
        if (!streaming && config_.rates[IndexOf(value)] != std::array<uint8_t, 8>{}) format_ = IndexOf(value);
        break;
    case kCurVMode:
        if (!streaming && config_.rates[format_][IndexOf(value)]) mode_ = IndexOf(value);
        break;
    case kCurVFrmRate:
        if (!streaming && ((config_.rates[format_][mode_] >> IndexOf(value)) & 1)) rate_ = IndexOf(value);
        break;
    case kIsoChannel:
        if (!streaming) WriteIsoChannel(value);
        break;
    case kCameraPower:
        if (config_.powerControl) {
            power_ = (value & kBit31) != 0;
            if (!power_ && isoEn_) WriteIsoEn(0);
        }
        break;
    case kIsoEn: WriteIsoEn(value); break;
    case kOneShot: WriteShot(value); break;
    default: break;  // inquiry, reserved and absent features: ignored
    }
}

uint8_t IidcCamera::WriteQuadlet(uint64_t offset, uint32_t value) {
    if (!InBlock(offset)) return CsrNode::WriteQuadlet(offset, value);
    WriteCommandRegister(uint32_t(offset - CommandBase()), value);
    return kRcodeComplete;
}

uint8_t IidcCamera::WriteBlock(uint64_t offset, const std::vector<uint8_t>& data) {
    if (!InBlock(offset)) return CsrNode::WriteBlock(offset, data);
    if (data.size() % 4 != 0 || offset + data.size() > CommandBase() + kBlockSize) return kRcodeTypeError;
    for (size_t i = 0; i < data.size(); i += 4) WriteCommandRegister(uint32_t(offset - CommandBase() + i), BigEndianQuadlet(&data[i]));
    return kRcodeComplete;
}

uint8_t IidcCamera::Lock(uint64_t offset, uint16_t extendedTcode, const std::vector<uint8_t>& operands,
                         std::vector<uint8_t>* old) {
    if (InBlock(offset)) return kRcodeTypeError;
    return CsrNode::Lock(offset, extendedTcode, operands, old);
}

}  // namespace sim
