// An IIDC 1.31 camera: configuration ROM, command registers, features, format 7 and the
// isochronous stream. The rules it follows where IIDC leaves a choice are listed in iidc_camera.h.
#include "iidc_camera.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "bus.h"

namespace sim {

using namespace iidc;

namespace iidc {

// The IIDC 1.31 format 0 table (video modes of VGA and below): image, colour coding and, for
// 1.875, 3.75, 7.5, 15, 30 and 60 fps, the packet size (the table gives quadlets per packet; bytes
// here). Each entry is bytes per frame / packets per frame with 3840 / 2^rate packets per frame,
// e.g. 640x480 Mono 8 at 30 fps: 307200 / 240 = 1280. Mode 0 at 1.875 and 3.75 fps would need 30
// and 15 bytes, not whole quadlets: the table defines no packet there.
static const Format0Mode kFormat0[7] = {
    {160, 120, 24, "YUV 4:4:4", {0, 0, 60, 120, 240, 480}},
    {320, 240, 16, "YUV 4:2:2", {40, 80, 160, 320, 640, 1280}},
    {640, 480, 12, "YUV 4:1:1", {120, 240, 480, 960, 1920, 3840}},
    {640, 480, 16, "YUV 4:2:2", {160, 320, 640, 1280, 2560, 5120}},
    {640, 480, 24, "RGB 8", {240, 480, 960, 1920, 3840, 7680}},
    {640, 480, 8, "Mono 8", {80, 160, 320, 640, 1280, 2560}},
    {640, 480, 16, "Mono 16", {160, 320, 640, 1280, 2560, 5120}},
};

const Format0Mode* Format0(uint32_t mode) { return mode < 7 ? &kFormat0[mode] : nullptr; }

namespace f7 {
uint32_t BitsPerPixel(uint32_t id) {
    static const uint8_t bits[] = {8, 12, 16, 24, 24, 16, 48, 16, 48, 8, 16};
    return id < sizeof bits ? bits[id] : 0;
}
}  // namespace f7

}  // namespace iidc

namespace {

uint32_t FloatBits(float f) {
    uint32_t bits = 0;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

float BitsFloat(uint32_t bits) {
    float f = 0;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

uint32_t QuadletOffset(uint64_t address) { return uint32_t((address - rom::kCsrBase) / 4); }

}  // namespace

std::array<std::array<uint8_t, 8>, 8> IidcCamera::Config::DefaultRates() {
    std::array<std::array<uint8_t, 8>, 8> rates{};
    rates[0][1] = uint8_t((1u << k15) | (1u << k30));  // Format_0 Mode_1: 320x240 YUV 4:2:2
    rates[0][5] = uint8_t((1u << k15) | (1u << k30));  // Format_0 Mode_5: 640x480 Mono 8
    return rates;
}

// Brightness, white balance, shutter and gain, the last two with absolute values (seconds and dB).
std::vector<IidcCamera::FeatureConfig> IidcCamera::Config::DefaultFeatures() {
    std::vector<FeatureConfig> features(4);
    features[0].id = kBrightness;
    features[0].min = 0, features[0].max = 255, features[0].value = 128;
    features[1].id = kWhiteBalance;
    features[1].min = 0, features[1].max = 1023, features[1].value = 512;
    features[1].onePush = true;
    features[2].id = kShutter;
    features[2].min = 1, features[2].max = 4095, features[2].value = 533;
    features[2].absolute = true, features[2].absMin = 0.00001f, features[2].absMax = 0.04095f;
    features[3].id = kGain;
    features[3].min = 0, features[3].max = 480, features[3].value = 0;
    features[3].absolute = true, features[3].absMin = 0.0f, features[3].absMax = 24.0f;
    return features;
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

bool IidcCamera::FindCommandRegsBase(const ConfigRom& rom, uint32_t* commandRegsBase) {
    const size_t root = rom.RootDirectoryIndex();
    std::vector<uint32_t> entries = rom.DirectoryEntries(root);
    for (size_t k = 0; k < entries.size(); ++k) {
        if (rom::EntryKey(entries[k]) != rom::kKeyUnitDirectory) continue;
        size_t unit = ConfigRom::Target(root + 1 + k, entries[k]);
        uint32_t entry = 0;
        size_t at = 0;
        if (!rom.FindEntry(unit, rom::kKeyUnitSpecifierId, &entry) || rom::EntryValue(entry) != kUnitSpecId) continue;
        if (!rom.FindEntry(unit, rom::kKeyUnitDependentDirectory, &entry, &at)) continue;
        if (!rom.FindEntry(ConfigRom::Target(at, entry), rom::kKeyCommandRegsBase, &entry)) continue;
        *commandRegsBase = rom::EntryValue(entry);
        return true;
    }
    return false;
}

namespace {
ConfigRom RomOf(const IidcCamera::Config& c) {
    return c.romImage.empty() ? IidcCamera::BuildRom(c) : ConfigRom(c.romImage);
}
}  // namespace

IidcCamera::IidcCamera(const Config& config)
    : CsrNode(config.name, config.ports, config.speed, RomOf(config)), config_(config) {
    uint32_t base = config.commandRegsBase;
    if (!config.romImage.empty()) FindCommandRegsBase(rom(), &base);
    commandBase_ = rom::kCsrBase + 4ull * base;
    packet_.data.reserve(MaxIsoPayload(config.speed));
    Initialize();
}

// Factory defaults: the preset (or first listed) format, mode and rate, channel 0 at the camera's
// speed (at most S400 in legacy operation), not streaming, powered, features at their defaults.
void IidcCamera::Initialize() {
    if (isoEn_ && onIsoEnable) onIsoEnable(false);
    isoEn_ = false;
    sending_ = inFrame_ = false;
    power_ = true;
    shotRegister_ = 0;
    shots_ = 0;
    isoRegister_ = MakeLegacyIso(0, config_.speed > kS400 ? uint32_t(kS400) : uint32_t(config_.speed));
    format_ = mode_ = rate_ = 0;
    bool found = false;
    const uint32_t pf = config_.presetFormat, pm = config_.presetMode, pr = config_.presetRate;
    if (pf < 7 && pm < 8 && pr < 8 && ((config_.rates[pf][pm] >> pr) & 1)) {
        format_ = pf, mode_ = pm, rate_ = pr;
        found = true;
    } else if (pf == 7 && pm < 8 && config_.format7[pm].present) {
        format_ = 7, mode_ = pm;
        found = true;
    }
    for (uint32_t f = 0; f < 7 && !found; ++f)
        for (uint32_t m = 0; m < 8 && !found; ++m)
            for (uint32_t r = 0; r < 8 && !found; ++r)
                if (config_.rates[f][m] & (1u << r)) {
                    format_ = f, mode_ = m, rate_ = r;
                    found = true;
                }
    for (uint32_t m = 0; m < 8 && !found; ++m)
        if (config_.format7[m].present) {
            format_ = 7, mode_ = m;
            found = true;
        }
    features_.clear();
    for (const FeatureConfig& f : config_.features) {
        FeatureState s;
        s.config = f;
        s.control = kPresence | (f.onOff ? kOnOff : 0) | (!f.manual && f.autoMode ? kAutoMode : 0) | (f.value & 0xFFF);
        if (f.id == kWhiteBalance) s.control |= uint32_t(f.value & 0xFFF) << 12;
        features_.push_back(s);
    }
    if (config_.trigger) {
        FeatureState s;
        s.config.id = kTrigger;
        s.control = kPresence;  // OFF, mode 0, source 0
        features_.push_back(s);
    }
    featureErrorHi_ = featureErrorLo_ = 0;
    softwareTriggerBusy_ = triggerPending_ = false;
    strobeControl_ = config_.strobe ? kPresence : 0;
    for (uint32_t m = 0; m < 8; ++m) {
        Format7State& s = format7_[m];
        const Format7Config& c = config_.format7[m];
        s = Format7State{};
        s.width = c.maxWidth;
        s.height = c.maxHeight;
        for (uint32_t id = 0; id <= f7::kRaw16; ++id)
            if (c.colorCodings & (kBit31 >> id)) {
                s.colorId = id;
                break;
            }
        s.bytePerPacket = c.present ? Format7MaxBytePerPacket(m) : 0;
    }
    frameCounter_ = 0;
}

uint32_t IidcCamera::IsoChannel() const {
    return (isoRegister_ & kIso1394bMode) ? BIsoChannel(isoRegister_) : LegacyIsoChannel(isoRegister_);
}

uint32_t IidcCamera::IsoSpeed() const {
    return (isoRegister_ & kIso1394bMode) ? BIsoSpeed(isoRegister_) : LegacyIsoSpeed(isoRegister_);
}

// ---- The stream's geometry ----

uint32_t IidcCamera::PacketBytes() const {
    if (format_ == 0) {
        const Format0Mode* m = Format0(mode_);
        return m && rate_ < 6 ? m->packetBytes[rate_] : 0;
    }
    if (format_ == 7) return format7_[mode_].bytePerPacket;
    return 0;
}

uint32_t IidcCamera::PacketsPerFrame() const {
    if (format_ == 0) return PacketBytes() ? Format0PacketsPerFrame(rate_) : 0;
    if (format_ == 7) {
        uint32_t bpp = format7_[mode_].bytePerPacket;
        return bpp ? (Format7TotalBytes(mode_) + bpp - 1) / bpp : 0;
    }
    return 0;
}

uint32_t IidcCamera::LineBytes() const {
    if (format_ == 0) {
        const Format0Mode* m = Format0(mode_);
        return m ? uint32_t(m->width) * m->bitsPerPixel / 8 : 0;
    }
    if (format_ == 7) return format7_[mode_].width * f7::BitsPerPixel(format7_[mode_].colorId) / 8;
    return 0;
}

uint32_t IidcCamera::FrameBytes() const {
    if (format_ == 0) {
        const Format0Mode* m = Format0(mode_);
        return m ? LineBytes() * m->height : 0;
    }
    if (format_ == 7) return Format7TotalBytes(mode_);
    return 0;
}

bool IidcCamera::CombinationValid() const {
    if (format_ == 7) return mode_ < 8 && config_.format7[mode_].present && Format7ValueSetting(mode_) == f7::kSettingPresence;
    if (!((config_.rates[format_][mode_] >> rate_) & 1)) return false;
    if (format_ != 0) return true;
    uint32_t bytes = PacketBytes();
    return bytes != 0 && bytes <= MaxIsoPayload(IsoSpeed());
}

uint8_t IidcCamera::PatternByte(uint32_t frame, uint32_t offset, uint32_t lineBytes) {
    if (offset < 4) return uint8_t(frame >> (24 - 8 * offset));
    return uint8_t(offset % lineBytes + offset / lineBytes + frame);
}

// ---- Streaming ----

void IidcCamera::StartStream() {
    sending_ = true;
    inFrame_ = false;
    streamCycle_ = 0;
    streamFrames_ = 0;
    nextFrameCycle_ = 0;
    triggerPending_ = false;
    softwareTriggerBusy_ = false;
}

void IidcCamera::FinishShots() {
    shots_ = 0;
    shotRegister_ = 0;
    if (!isoEn_) sending_ = inFrame_ = false;
}

void IidcCamera::OnCycleStart(uint32_t cycleTime) {
    (void)cycleTime;
    if (!sending_) return;
    const uint64_t cycle = streamCycle_++;
    if (!inFrame_) {
        const FeatureState* trigger = FindFeature(kTrigger);
        if (isoEn_ && trigger && (trigger->control & kOnOff)) {
            if (!triggerPending_) return;
            triggerPending_ = softwareTriggerBusy_ = false;
        } else if (cycle < nextFrameCycle_) {
            return;
        }
        StartFrame();
        if (!inFrame_) return;
    }
    SendPacket();
}

void IidcCamera::StartFrame() {
    framePackets_ = PacketsPerFrame();
    if (framePackets_ == 0) return;
    framePacketBytes_ = PacketBytes();
    frameBytes_ = FrameBytes();
    frameLineBytes_ = LineBytes();
    frameNumber_ = frameCounter_++;
    packetInFrame_ = 0;
    inFrame_ = true;
    ++streamFrames_;
    // Format 0: frame k starts at the first cycle at or after k * 8000 / fps; format 7: at once.
    nextFrameCycle_ = format_ == 0 ? (streamFrames_ * 64000 + (15u << rate_) - 1) / (15u << rate_) : 0;
    if (config_.strobe && (strobeControl_ & kOnOff)) ++strobePulses_;
}

// 0, 1, ..., 255, 0, 1, ..., 255: any 256 bytes from an offset below 256 count up, wrapping.
const uint8_t* IidcCamera::Ramp() {
    static const struct Table {
        uint8_t bytes[512];
        Table() {
            for (int i = 0; i < 512; ++i) bytes[i] = uint8_t(i);
        }
    } table;
    return table.bytes;
}

void IidcCamera::SendPacket() {
    const uint32_t bytes = framePacketBytes_;
    const uint32_t start = packetInFrame_ * bytes;
    packet_.data.resize(bytes);
    uint8_t* d = packet_.data.data();
    const uint32_t line = frameLineBytes_ ? frameLineBytes_ : 1;
    // Pixel bytes up to the frame's end, a line's run at a time; padding after it.
    uint32_t i = 0;
    const uint32_t pixels = start >= frameBytes_ ? 0 : std::min(bytes, frameBytes_ - start);
    while (i < pixels) {
        const uint32_t offset = start + i;
        const uint32_t x = offset % line, y = offset / line;
        const uint32_t run = std::min(pixels - i, line - x);
        const uint8_t base = uint8_t(x + y + frameNumber_);
        // The run's bytes count up from `base`, wrapping at 256: copied from a ramp of two cycles.
        for (uint32_t k = 0; k < run;) {
            const uint32_t n = std::min<uint32_t>(run - k, 256);
            std::memcpy(d + i + k, Ramp() + uint8_t(base + k), n);
            k += n;
        }
        i += run;
    }
    if (i < bytes) std::memset(d + i, 0, bytes - i);
    for (uint32_t o = start; o < 4 && o < start + pixels; ++o) d[o - start] = PatternByte(frameNumber_, o, line);
    packet_.channel = uint8_t(IsoChannel());
    packet_.speed = Speed(IsoSpeed());
    packet_.tag = 0;
    packet_.sy = packetInFrame_ == 0 ? 1 : 0;
    if (bus()) bus()->SendIsochronous(this, packet_);
    if (++packetInFrame_ < framePackets_) return;
    inFrame_ = false;
    if (!isoEn_ && shots_ && --shots_ == 0) FinishShots();
    if (!isoEn_ && shots_ == 0) sending_ = false;  // the frame ISO_EN = 0 let finish
}

void IidcCamera::ExternalTrigger() {
    const FeatureState* trigger = FindFeature(kTrigger);
    if (trigger && (trigger->control & kOnOff) && TriggerSource(trigger->control) == 0) triggerPending_ = true;
}

// ---- Features ----

IidcCamera::FeatureState* IidcCamera::FindFeature(uint32_t id) {
    for (FeatureState& f : features_)
        if (f.config.id == id) return &f;
    return nullptr;
}

const IidcCamera::FeatureState* IidcCamera::FindFeature(uint32_t id) const {
    for (const FeatureState& f : features_)
        if (f.config.id == id) return &f;
    return nullptr;
}

uint32_t IidcCamera::FeatureInquiry(const FeatureConfig& f) const {
    if (f.id == kTrigger) {
        uint32_t modes = 0;
        for (uint32_t m = 0; m < 16; ++m)
            if ((config_.triggerModes >> m) & 1) modes |= TriggerModeInq(m);
        return kPresence | kReadOutInq | kOnOffInq | kTriggerPolarityInq | kTriggerSource0Inq |
               (config_.triggerSoftware ? kTriggerSoftwareInq : 0) | modes;
    }
    return kPresence | (f.absolute ? kAbsControl : 0) | (f.onePush ? kOnePushInq : 0) | (f.readOut ? kReadOutInq : 0) |
           (f.onOff ? kOnOffInq : 0) | (f.autoMode ? kAutoInq : 0) | (f.manual ? kManualInq : 0) |
           uint32_t(f.min & 0xFFF) << 12 | (f.max & 0xFFF);
}

void IidcCamera::SetFeatureError(uint32_t id, bool error) {
    uint32_t& reg = id < 32 ? featureErrorHi_ : featureErrorLo_;
    reg = error ? (reg | FeatureBit(id)) : (reg & ~FeatureBit(id));
}

void IidcCamera::WriteFeature(FeatureState& f, uint32_t value) {
    const FeatureConfig& c = f.config;
    if (c.id == kTrigger) {
        const uint32_t mode = TriggerMode(value), source = TriggerSource(value);
        bool ok = ((config_.triggerModes >> mode) & 1) &&
                  (source == 0 || (source == kTriggerSoftware && config_.triggerSoftware));
        SetFeatureError(c.id, !ok);
        if (!ok) return;
        // ON_OFF 25, polarity 24, source 23:21, mode 19:16, parameter 11:0.
        f.control = kPresence | (value & (kOnOff | (1u << 24) | (7u << 21) | (0xFu << 16) | 0xFFF));
        return;
    }
    const bool abs = (value & kAbsControl) != 0, autoMode = (value & kAutoMode) != 0;
    bool ok = (!abs || c.absolute) && (!autoMode || c.autoMode) && (autoMode || c.manual || !(value & 0xFFF)) &&
              (!(value & kOnOff) || c.onOff || (f.control & kOnOff)) && (!(value & kOnePush) || c.onePush);
    uint32_t v = value & 0xFFF, u = (value >> 12) & 0xFFF;
    const bool takesValue = !abs && !autoMode;
    if (takesValue) ok = ok && v >= c.min && v <= c.max && (c.id != kWhiteBalance || (u >= c.min && u <= c.max));
    SetFeatureError(c.id, !ok);
    if (!ok) return;
    uint32_t control = kPresence | (value & (kAbsControl | kAutoMode));
    control |= c.onOff ? (value & kOnOff) : (f.control & kOnOff);
    // One-push adjustment completes at once: the bit reads 0 again.
    if (takesValue) {
        control |= v | (c.id == kWhiteBalance ? u << 12 : 0);
    } else {
        control |= f.control & 0xFFFFFF & ~(kOnOff | kAutoMode);
    }
    f.control = control;
}

float IidcCamera::AbsValue(const FeatureState& f) const {
    const FeatureConfig& c = f.config;
    if (c.max == c.min) return c.absMin;
    return c.absMin + float((f.control & 0xFFF) - c.min) * (c.absMax - c.absMin) / float(c.max - c.min);
}

void IidcCamera::WriteAbsValue(FeatureState& f, uint32_t bits) {
    const FeatureConfig& c = f.config;
    if (!(f.control & kAbsControl)) return;  // the 12-bit value is in control
    float v = BitsFloat(bits);
    bool ok = std::isfinite(v) && v >= c.absMin && v <= c.absMax;
    SetFeatureError(c.id, !ok);
    if (!ok) return;
    uint32_t raw = c.min;
    if (c.absMax > c.absMin) raw = c.min + uint32_t(std::lround((v - c.absMin) * float(c.max - c.min) / (c.absMax - c.absMin)));
    f.control = (f.control & ~0xFFFu) | (raw & 0xFFF);
}

// ---- Format 7 ----

uint32_t IidcCamera::Format7TotalBytes(uint32_t mode) const {
    const Format7State& s = format7_[mode];
    uint64_t bits = uint64_t(s.width) * s.height * f7::BitsPerPixel(s.colorId);
    return uint32_t((bits / 8 + 3) & ~uint64_t(3));
}

uint32_t IidcCamera::Format7MaxBytePerPacket(uint32_t mode) const {
    const uint32_t unit = config_.format7[mode].unitBytePerPacket ? config_.format7[mode].unitBytePerPacket : 4;
    uint32_t max = MaxIsoPayload(IsoSpeed()) / unit * unit;
    uint32_t total = (Format7TotalBytes(mode) + unit - 1) / unit * unit;
    if (total && total < max) max = total;
    return max < unit ? unit : max;
}

bool IidcCamera::Format7ImageValid(uint32_t mode) const {
    const Format7Config& c = config_.format7[mode];
    const Format7State& s = format7_[mode];
    auto multiple = [](uint32_t v, uint32_t unit) { return unit == 0 || v % unit == 0; };
    return s.width > 0 && s.height > 0 && multiple(s.width, c.unitWidth) && multiple(s.height, c.unitHeight) &&
           multiple(s.left, c.unitLeft) && multiple(s.top, c.unitTop) && s.left + s.width <= c.maxWidth &&
           s.top + s.height <= c.maxHeight && s.colorId <= f7::kRaw16 && (c.colorCodings & (kBit31 >> s.colorId)) &&
           (s.width * f7::BitsPerPixel(s.colorId)) % 8 == 0;
}

bool IidcCamera::Format7PacketValid(uint32_t mode) const {
    const uint32_t unit = config_.format7[mode].unitBytePerPacket ? config_.format7[mode].unitBytePerPacket : 4;
    const uint32_t bpp = format7_[mode].bytePerPacket;
    return bpp >= unit && bpp % unit == 0 && bpp <= Format7MaxBytePerPacket(mode);
}

uint32_t IidcCamera::Format7ValueSetting(uint32_t mode) const {
    uint32_t v = f7::kSettingPresence;
    if (!Format7ImageValid(mode)) v |= f7::kErrorFlag1 | f7::kErrorFlag2;  // no packet fits an invalid image
    else if (!Format7PacketValid(mode)) v |= f7::kErrorFlag2;
    return v;
}

uint32_t IidcCamera::ReadFormat7(uint32_t mode, uint32_t reg) const {
    using namespace f7;
    const Format7Config& c = config_.format7[mode];
    const Format7State& s = format7_[mode];
    const uint32_t unit = c.unitBytePerPacket;
    switch (reg) {
    case kMaxImageSizeInq: return uint32_t(c.maxWidth) << 16 | c.maxHeight;
    case kUnitSizeInq: return uint32_t(c.unitWidth) << 16 | c.unitHeight;
    case kImagePosition: return s.left << 16 | s.top;
    case kImageSize: return s.width << 16 | s.height;
    case kColorCodingId: return s.colorId << 24;
    case kColorCodingInq: return c.colorCodings;
    case kPixelNumberInq: return s.width * s.height;
    case kTotalBytesHiInq: return 0;
    case kTotalBytesLoInq: return Format7TotalBytes(mode);
    case kPacketParaInq: return unit << 16 | Format7MaxBytePerPacket(mode);
    case kBytePerPacket: return s.bytePerPacket << 16 | Format7MaxBytePerPacket(mode);
    case kPacketPerFrameInq: return s.bytePerPacket ? (Format7TotalBytes(mode) + s.bytePerPacket - 1) / s.bytePerPacket : 0;
    case kUnitPositionInq: return uint32_t(c.unitLeft) << 16 | c.unitTop;
    case kValueSetting: return Format7ValueSetting(mode);
    default: return 0;
    }
}

void IidcCamera::WriteFormat7(uint32_t mode, uint32_t reg, uint32_t value) {
    using namespace f7;
    if (isoEn_ && format_ == 7 && mode_ == mode) return;
    Format7State& s = format7_[mode];
    switch (reg) {
    case kImagePosition: s.left = value >> 16, s.top = value & 0xFFFF; break;
    case kImageSize: s.width = value >> 16, s.height = value & 0xFFFF; break;
    case kColorCodingId: s.colorId = value >> 24; break;
    case kBytePerPacket: s.bytePerPacket = value >> 16; break;
    default: break;  // VALUE_SETTING's Setting_1: the inquiry values are always current
    }
}

// ---- Register reads ----

uint32_t IidcCamera::InquiryRegister(uint32_t reg) const {
    if (reg == kVFormatInq) {
        uint32_t v = 0;
        for (uint32_t f = 0; f < 8; ++f)
            for (uint32_t m = 0; m < 8; ++m)
                if (config_.rates[f][m] || (f == 7 && config_.format7[m].present)) v |= InquiryBit(f);
        return v;
    }
    if (reg >= kVModeInq0 && reg < kVModeInq0 + 32) {
        uint32_t f = (reg - kVModeInq0) / 4, v = 0;
        for (uint32_t m = 0; m < 8; ++m)
            if (config_.rates[f][m] || (f == 7 && config_.format7[m].present)) v |= InquiryBit(m);
        return v;
    }
    if (reg >= kVRateInq00 && reg < kVRevInq60) {  // formats 0..5
        uint32_t f = (reg - kVRateInq00) / 0x20, m = (reg - kVRateInq00) % 0x20 / 4, v = 0;
        for (uint32_t r = 0; r < 8; ++r)
            if ((config_.rates[f][m] >> r) & 1) v |= InquiryBit(r);
        return v;
    }
    if (reg >= kVCsrInq70 && reg < kVCsrInq70 + 32) {
        uint32_t m = (reg - kVCsrInq70) / 4;
        return config_.format7[m].present ? QuadletOffset(Format7CsrBase(m)) : 0;
    }
    if (reg == kBasicFuncInq) {
        return kVModeErrorStatusBit | (config_.featureErrorStatus ? kFeatureErrorStatusBit : 0) |
               (config_.strobe ? kOptFunctionBit : 0) | (config_.b1394 ? k1394bBit : 0) |
               (config_.powerControl ? kCamPowerBit : 0) | (config_.oneShot ? kOneShotBit : 0) |
               (config_.multiShot ? kMultiShotBit : 0);
    }
    if (reg == kFeatureHiInq || reg == kFeatureLoInq) {
        uint32_t v = 0;
        for (const FeatureState& f : features_)
            if ((f.config.id < 32) == (reg == kFeatureHiInq)) v |= FeatureBit(f.config.id);
        return v;
    }
    if (reg == kOptFunctionInq) return config_.strobe ? kStrobeOutBit : 0;
    if (reg == kStrobeOutputCsrInq) return config_.strobe ? QuadletOffset(StrobeCsrBase()) : 0;
    if (reg >= kFeatureInq0 && reg < kFeatureInq0 + 0x100) {
        const FeatureState* f = FindFeature((reg - kFeatureInq0) / 4);
        return f ? FeatureInquiry(f->config) : 0;
    }
    return 0;  // V_REV_INQ, ADVANCED_FEATURE_INQ, PIO and SIO, reserved
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
    case kSoftwareTrigger: return softwareTriggerBusy_ ? kBit31 : 0;
    case kFeatureErrorStatusHi: return config_.featureErrorStatus ? featureErrorHi_ : 0;
    case kFeatureErrorStatusLo: return config_.featureErrorStatus ? featureErrorLo_ : 0;
    default: break;
    }
    if (reg < kCurVFrmRate) return InquiryRegister(reg);
    if (reg >= kAbsCsrInq0 && reg < kFeatureControl0) {
        const FeatureState* f = FindFeature((reg - kAbsCsrInq0) / 4);
        return f && f->config.absolute ? QuadletOffset(AbsCsrBase(f->config.id)) : 0;
    }
    if (reg >= kFeatureControl0 && reg < kFeatureControl0 + 0x100) {
        const FeatureState* f = FindFeature((reg - kFeatureControl0) / 4);
        return f ? f->control : 0;
    }
    return 0;  // MEMORY_SAVE, memory channels, reserved
}

// The core CSRs and the ROM (below 0xFFFFF0000800) stay the CSR node's even where a ROM's
// command_regs_base would lay the camera's blocks over them.
constexpr uint64_t kCameraSpaceStart = rom::kCsrBase + 0x800;

bool IidcCamera::ReadSpace(uint64_t offset, uint32_t* value) const {
    if (offset < commandBase_ || offset < kCameraSpaceStart) return false;
    const uint64_t at = offset - commandBase_;
    if (at < kBlockSize) {
        *value = ReadCommandRegister(uint32_t(at));
        return true;
    }
    if (at >= 0x2000 && at < 0x2400) {
        const FeatureState* f = FindFeature(uint32_t(at - 0x2000) / 0x10);
        if (!f || !f->config.absolute) return false;
        const uint32_t reg = uint32_t(at % 0x10);
        *value = reg == kAbsMin ? FloatBits(f->config.absMin)
                 : reg == kAbsMax ? FloatBits(f->config.absMax)
                 : reg == kAbsValue ? FloatBits(AbsValue(*f)) : 0;
        return true;
    }
    if (at >= 0x2400 && at < 0x2700) {
        if (!config_.strobe) return false;
        const uint32_t reg = uint32_t(at - 0x2400);
        *value = reg == kStrobeCtrlInq ? kPresence | (kBit31 >> 1)
                 : reg == kStrobe0Inq ? kPresence | kReadOutInq | (1u << 27) | (1u << 26) | 0xFFF
                 : reg == kStrobe0Cnt ? strobeControl_ : 0;
        return true;
    }
    if (at >= 0x3000 && at < 0x3000 + 8 * f7::kBlockSize) {
        const uint32_t mode = uint32_t(at - 0x3000) / f7::kBlockSize;
        if (!config_.format7[mode].present) return false;
        *value = ReadFormat7(mode, uint32_t(at - 0x3000) % f7::kBlockSize);
        return true;
    }
    return false;
}

uint8_t IidcCamera::ReadQuadlet(uint64_t offset, uint32_t* value) {
    if (!ReadSpace(offset, value)) return CsrNode::ReadQuadlet(offset, value);
    return kRcodeComplete;
}

// ---- Register writes ----

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
    if (on) {
        FinishShots();  // continuous streaming takes precedence
        StartStream();
    } else {
        sending_ = inFrame_ && config_.finishFrameOnIsoEnOff;
        inFrame_ = sending_;
    }
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
    if (PacketsPerFrame() == 0) {
        FinishShots();  // a format that sends no packets: the frames are "sent" at once
    } else if (!sending_) {
        StartStream();
    }
    if (onShot) onShot(frames);
}

void IidcCamera::WriteCommandRegister(uint32_t reg, uint32_t value) {
    const bool streaming = isoEn_;
    switch (reg) {
    case kInitialize:
        if (value & kBit31) Initialize();
        return;
    case kCurVFormat: {
        const uint32_t f = IndexOf(value);
        if (!streaming && (InquiryRegister(kVFormatInq) & InquiryBit(f))) format_ = f;
        return;
    }
    case kCurVMode: {
        const uint32_t m = IndexOf(value);
        if (!streaming && (InquiryRegister(kVModeInq0 + 4 * format_) & InquiryBit(m))) mode_ = m;
        return;
    }
    case kCurVFrmRate:
        if (!streaming && ((config_.rates[format_][mode_] >> IndexOf(value)) & 1)) rate_ = IndexOf(value);
        return;
    case kIsoChannel:
        if (!streaming) WriteIsoChannel(value);
        return;
    case kCameraPower:
        if (config_.powerControl) {
            power_ = (value & kBit31) != 0;
            if (!power_) {
                if (isoEn_) WriteIsoEn(0);
                FinishShots();
            }
        }
        return;
    case kIsoEn: WriteIsoEn(value); return;
    case kOneShot: WriteShot(value); return;
    case kSoftwareTrigger: {
        const FeatureState* t = FindFeature(kTrigger);
        if ((value & kBit31) && t && config_.triggerSoftware && (t->control & kOnOff) &&
            TriggerSource(t->control) == kTriggerSoftware) {
            softwareTriggerBusy_ = triggerPending_ = true;
        }
        return;
    }
    default: break;
    }
    if (reg >= kFeatureControl0 && reg < kFeatureControl0 + 0x100) {
        if (FeatureState* f = FindFeature((reg - kFeatureControl0) / 4)) WriteFeature(*f, value);
    }
    // inquiry, reserved and absent features: ignored
}

bool IidcCamera::WriteSpace(uint64_t offset, uint32_t value) {
    if (offset < commandBase_ || offset < kCameraSpaceStart) return false;
    const uint64_t at = offset - commandBase_;
    if (at < kBlockSize) {
        WriteCommandRegister(uint32_t(at), value);
        return true;
    }
    if (at >= 0x2000 && at < 0x2400) {
        FeatureState* f = FindFeature(uint32_t(at - 0x2000) / 0x10);
        if (!f || !f->config.absolute) return false;
        if (at % 0x10 == kAbsValue) WriteAbsValue(*f, value);
        return true;
    }
    if (at >= 0x2400 && at < 0x2700) {
        if (!config_.strobe) return false;
        // Strobe_0_CNT: ON_OFF 25, polarity 24, delay 23:12, duration 11:0.
        if (at - 0x2400 == kStrobe0Cnt) strobeControl_ = kPresence | (value & 0x03FFFFFF);
        return true;
    }
    if (at >= 0x3000 && at < 0x3000 + 8 * f7::kBlockSize) {
        const uint32_t mode = uint32_t(at - 0x3000) / f7::kBlockSize;
        if (!config_.format7[mode].present) return false;
        WriteFormat7(mode, uint32_t(at - 0x3000) % f7::kBlockSize, value);
        return true;
    }
    return false;
}

uint8_t IidcCamera::WriteQuadlet(uint64_t offset, uint32_t value) {
    if (!WriteSpace(offset, value)) return CsrNode::WriteQuadlet(offset, value);
    return kRcodeComplete;
}

uint8_t IidcCamera::WriteBlock(uint64_t offset, const std::vector<uint8_t>& data) {
    uint32_t probe = 0;
    if (!ReadSpace(offset, &probe)) return CsrNode::WriteBlock(offset, data);
    if (data.size() % 4 != 0 || !ReadSpace(offset + data.size() - (data.empty() ? 0 : 4), &probe)) return kRcodeTypeError;
    for (size_t i = 0; i < data.size(); i += 4) WriteSpace(offset + i, BigEndianQuadlet(&data[i]));
    return kRcodeComplete;
}

uint8_t IidcCamera::Lock(uint64_t offset, uint16_t extendedTcode, const std::vector<uint8_t>& operands,
                         std::vector<uint8_t>* old) {
    uint32_t probe = 0;
    if (ReadSpace(offset, &probe)) return kRcodeTypeError;
    return CsrNode::Lock(offset, extendedTcode, operands, old);
}

}  // namespace sim
