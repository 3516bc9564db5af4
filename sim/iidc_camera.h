// An IIDC 1.31 digital camera (the 1394 Trade Association's IIDC digital camera standard): its
// configuration ROM with the IIDC unit directory, its command registers answering quadlet reads
// and writes, and the isochronous stream it sends once ISO_EN, ONE_SHOT or MULTI_SHOT asks for it.
//
// Register rules this camera follows (choices where IIDC leaves them open):
// - Reads of reserved offsets inside the command register block (base .. base + 0x1000) and the
//   camera's other CSR blocks return 0; writes there, and writes to the inquiry (read-only)
//   registers, are ignored (rcode complete).
// - CUR_V_FORMAT is taken only for a format V_FORMAT_INQ lists, CUR_V_MODE only for a mode of the
//   current format, CUR_V_FRM_RATE only for a rate of the current format and mode; other values
//   are ignored. VMODE_ERROR_STATUS (0x628) bit 31 is set while the current format, mode and rate
//   are not a combination the camera can stream: not listed, a format 0 combination the IIDC
//   format 0 table does not define, a packet larger than the isochronous maximum of ISO_SPEED,
//   or a format 7 mode whose VALUE_SETTING shows an error flag.
// - While ISO_EN is set, writes of CUR_V_*, ISO_CHANNEL/ISO_SPEED and the format 7 registers of
//   the current mode are ignored.
// - ISO_EN is set only when the camera is powered and the current combination is valid.
// - ONE_SHOT / MULTI_SHOT are taken only while ISO_EN is clear; the bit stays set until the last
//   frame asked for has been sent. Writing ISO_EN = 1 ends the shots (continuous streaming takes
//   precedence). ISO_EN = 0 stops the stream at once, mid-frame if need be; with
//   Config::finishFrameOnIsoEnOff the frame being sent is finished first (IIDC does not say which).
// - A feature control write (0x800 + 4 * id) with a value outside the feature's Min..Max, or a mode
//   bit the feature's inquiry does not offer, is refused: the register keeps its value and the
//   feature's bit in FEATURE_ERROR_STATUS_HI/LO (0x640/0x644) is set until the next accepted
//   write to that feature. An ABS_VALUE write outside ABS_MIN..ABS_MAX is refused the same way.
// - The absolute value and the 12-bit value follow each other linearly: ABS_VALUE = ABS_MIN +
//   (value - Min) * (ABS_MAX - ABS_MIN) / (Max - Min); an ABS_VALUE write sets the nearest value.
//
// Isochronous stream (the camera is a talker on the bus's cycles, Node::OnCycleStart):
// - Every packet: tag 0, the channel and speed of ISO_CHANNEL/ISO_SPEED (legacy or 1394b form),
//   sy = 1 on the first packet of a frame and 0 on the others; the data is pixel data only.
// - Format 0 (IIDC 1.31 format 0 table, see kFormat0 in iidc_camera.cpp): a frame of P packets of
//   the table's size, P = 3840 / 2^rate (240 at 30 fps), one packet per cycle from the frame's
//   first cycle on. Frame k of a stream starts at the first cycle c >= k * 64000 / (15 * 2^rate)
//   (8000 cycles per second / 1.875 * 2^rate fps), c counted from 0 at the first cycle after the
//   stream was switched on; P packets take 9/10 of the frame period, the cycles left are empty.
// - Format 7: frames of ceil(TOTAL_BYTES / BytePerPacket) packets of BytePerPacket bytes each
//   (the last one padded with zero bytes), back to back: one packet per cycle, the next frame in
//   the cycle after the last packet of the one before. The frame rate follows from the packet size.
// - Formats 1, 2 and 6 are listed as configured but send no packets (ISO_EN is taken).
// - Trigger (TRIGGER_MODE ON_OFF set, modes 0 and 1): with ISO_EN set, each trigger (a write of
//   SOFTWARE_TRIGGER bit 31 with source 7, or ExternalTrigger() with source 0) starts one frame at
//   the next cycle; a trigger while a frame is being sent is lost. SOFTWARE_TRIGGER reads 1 from
//   the write until the frame starts. One-shot and multi-shot do not wait for triggers.
// - Strobe 0 (when the configuration has a strobe): StrobePulses() counts the frames started
//   while its ON_OFF bit is set.
//
// The test pattern (pixel for pixel): byte i of frame n (i counted from the first byte of the
// frame's first packet; lineBytes = width * bits per pixel / 8):
//   bytes 0..3: n as a 32-bit big-endian number (the frame counter: frames started since power-up
//   or INITIALIZE);
//   byte i >= 4: (i % lineBytes + i / lineBytes + n) & 0xFF, a diagonal ramp that moves by one
//   each frame;
//   format 7 padding bytes past TOTAL_BYTES: 0.
// PatternByte() gives the same value.
//
// A camera described with its own ROM image (Config::romImage) keeps its command registers at the
// command_regs_base of that ROM's IIDC unit-dependent directory; when the image has none, at
// Config::commandRegsBase.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "csr_node.h"

namespace sim {

namespace iidc {
// Command register offsets from the base (IIDC 1.31 chapter 4).
inline constexpr uint32_t kInitialize = 0x000;
inline constexpr uint32_t kVFormatInq = 0x100;
inline constexpr uint32_t kVModeInq0 = 0x180;        // + 4 * format
inline constexpr uint32_t kVRateInq00 = 0x200;       // + 0x20 * format + 4 * mode
inline constexpr uint32_t kVRevInq60 = 0x2C0;
inline constexpr uint32_t kVCsrInq70 = 0x2E0;        // + 4 * mode: format 7 CSR block (quadlet offset)
inline constexpr uint32_t kBasicFuncInq = 0x400;
inline constexpr uint32_t kFeatureHiInq = 0x404;
inline constexpr uint32_t kFeatureLoInq = 0x408;
inline constexpr uint32_t kOptFunctionInq = 0x40C;
inline constexpr uint32_t kAdvancedFeatureInq = 0x480;
inline constexpr uint32_t kPioControlCsrInq = 0x484;
inline constexpr uint32_t kSioControlCsrInq = 0x488;
inline constexpr uint32_t kStrobeOutputCsrInq = 0x48C;
inline constexpr uint32_t kFeatureInq0 = 0x500;      // + 4 * feature id
inline constexpr uint32_t kCurVFrmRate = 0x600;
inline constexpr uint32_t kCurVMode = 0x604;
inline constexpr uint32_t kCurVFormat = 0x608;
inline constexpr uint32_t kIsoChannel = 0x60C;       // ISO_CHANNEL / ISO_SPEED
inline constexpr uint32_t kCameraPower = 0x610;
inline constexpr uint32_t kIsoEn = 0x614;
inline constexpr uint32_t kMemorySave = 0x618;
inline constexpr uint32_t kOneShot = 0x61C;          // ONE_SHOT bit 31, MULTI_SHOT bit 30, count 15:0
inline constexpr uint32_t kMemSaveCh = 0x620;
inline constexpr uint32_t kCurMemCh = 0x624;
inline constexpr uint32_t kVModeErrorStatus = 0x628;
inline constexpr uint32_t kSoftwareTrigger = 0x62C;
inline constexpr uint32_t kFeatureErrorStatusHi = 0x640;
inline constexpr uint32_t kFeatureErrorStatusLo = 0x644;
inline constexpr uint32_t kAbsCsrInq0 = 0x700;       // + 4 * feature id: absolute value CSR (quadlet offset)
inline constexpr uint32_t kFeatureControl0 = 0x800;  // + 4 * feature id
inline constexpr uint32_t kBlockSize = 0x1000;

// Feature ids: the control register is at 0x800 + 4 * id, the inquiry at 0x500 + 4 * id.
enum Feature : uint8_t {
    kBrightness = 0, kAutoExposure = 1, kSharpness = 2, kWhiteBalance = 3, kHue = 4, kSaturation = 5,
    kGamma = 6, kShutter = 7, kGain = 8, kIris = 9, kFocus = 10, kTemperature = 11, kTrigger = 12,
    kTriggerDelay = 13, kWhiteShading = 14, kFrameRate = 15,
    kZoom = 32, kPan = 33, kTilt = 34, kOpticalFilter = 35, kCaptureSize = 48, kCaptureQuality = 49,
};
// FEATURE_HI_INQ / FEATURE_ERROR_STATUS_HI hold ids 0..31 (bit 31 - id), the _LO registers ids
// 32..63 (bit 31 - (id - 32)).
inline uint32_t FeatureBit(uint32_t id) { return 0x80000000u >> (id % 32); }
// Feature inquiry: presence 31, absolute 30, one-push 28, read-out 27, on/off 26, auto 25,
// manual 24, Min 23:12, Max 11:0. Control: presence 31, absolute 30, one-push 26, ON_OFF 25,
// A_M_MODE 24 (1 auto), value 11:0 (white balance: U/B 23:12, V/R 11:0).
inline constexpr uint32_t kPresence = 1u << 31;
inline constexpr uint32_t kAbsControl = 1u << 30;
inline constexpr uint32_t kOnePushInq = 1u << 28;
inline constexpr uint32_t kReadOutInq = 1u << 27;
inline constexpr uint32_t kOnOffInq = 1u << 26;
inline constexpr uint32_t kAutoInq = 1u << 25;
inline constexpr uint32_t kManualInq = 1u << 24;
inline constexpr uint32_t kOnePush = 1u << 26;
inline constexpr uint32_t kOnOff = 1u << 25;
inline constexpr uint32_t kAutoMode = 1u << 24;
// TRIGGER_INQ: presence 31, absolute 30, read-out 27, on/off 26, polarity 25, value read 24,
// source 0..3 23:20, software source 16, modes 0..15 15:0 (bit 15 - mode). TRIGGER_MODE: presence
// 31, absolute 30, ON_OFF 25, polarity 24, source 23:21 (7 software), value 20, mode 19:16,
// parameter 11:0.
inline constexpr uint32_t kTriggerPolarityInq = 1u << 25;
inline constexpr uint32_t kTriggerValueReadInq = 1u << 24;
inline constexpr uint32_t kTriggerSource0Inq = 1u << 23;
inline constexpr uint32_t kTriggerSoftwareInq = 1u << 16;
inline uint32_t TriggerModeInq(uint32_t mode) { return 0x8000u >> mode; }
inline uint32_t TriggerSource(uint32_t q) { return (q >> 21) & 7; }
inline uint32_t TriggerMode(uint32_t q) { return (q >> 16) & 0xF; }
inline constexpr uint32_t kTriggerSoftware = 7;
// Absolute value CSR: ABS_MIN, ABS_MAX, ABS_VALUE, IEEE 754 single precision.
inline constexpr uint32_t kAbsMin = 0x0, kAbsMax = 0x4, kAbsValue = 0x8;
// Strobe output CSR (OPT_FUNCTION_INQ bit 28): STROBE_CTRL_INQ 0x000 (presence 31, strobe n at
// 30 - n), Strobe_n_INQ 0x100 + 4n (presence 31, read-out 28, on/off 27, polarity 26, Min 23:12,
// Max 11:0), Strobe_n_CNT 0x200 + 4n (presence 31, ON_OFF 25, polarity 24, delay 23:12, duration
// 11:0).
inline constexpr uint32_t kStrobeOutBit = 1u << 28;  // OPT_FUNCTION_INQ
inline constexpr uint32_t kStrobeCtrlInq = 0x000, kStrobe0Inq = 0x100, kStrobe0Cnt = 0x200;

// Format 7 CSR block of a mode (IIDC 1.31 format 7 registers), offsets within the block.
namespace f7 {
inline constexpr uint32_t kMaxImageSizeInq = 0x000;   // Hmax 31:16, Vmax 15:0
inline constexpr uint32_t kUnitSizeInq = 0x004;       // Hunit 31:16, Vunit 15:0
inline constexpr uint32_t kImagePosition = 0x008;     // left 31:16, top 15:0
inline constexpr uint32_t kImageSize = 0x00C;         // width 31:16, height 15:0
inline constexpr uint32_t kColorCodingId = 0x010;     // ID 31:24
inline constexpr uint32_t kColorCodingInq = 0x014;    // bit 31 - ID
inline constexpr uint32_t kPixelNumberInq = 0x034;
inline constexpr uint32_t kTotalBytesHiInq = 0x038;
inline constexpr uint32_t kTotalBytesLoInq = 0x03C;
inline constexpr uint32_t kPacketParaInq = 0x040;     // UnitBytePerPacket 31:16, MaxBytePerPacket 15:0
inline constexpr uint32_t kBytePerPacket = 0x044;     // BytePerPacket 31:16, RecBytePerPacket 15:0
inline constexpr uint32_t kPacketPerFrameInq = 0x048;
inline constexpr uint32_t kUnitPositionInq = 0x04C;   // Hunit position 31:16, Vunit position 15:0
inline constexpr uint32_t kValueSetting = 0x07C;      // presence 31, setting 30, ErrorFlag_1 23, ErrorFlag_2 22
inline constexpr uint32_t kBlockSize = 0x100;
inline constexpr uint32_t kSettingPresence = 1u << 31;
inline constexpr uint32_t kSetting1 = 1u << 30;
inline constexpr uint32_t kErrorFlag1 = 1u << 23;
inline constexpr uint32_t kErrorFlag2 = 1u << 22;
// Colour coding IDs (COLOR_CODING_ID 31:24) and their bits per pixel.
enum ColorCoding : uint8_t {
    kMono8 = 0, kYuv411 = 1, kYuv422 = 2, kYuv444 = 3, kRgb8 = 4, kMono16 = 5, kRgb16 = 6,
    kSignedMono16 = 7, kSignedRgb16 = 8, kRaw8 = 9, kRaw16 = 10,
};
uint32_t BitsPerPixel(uint32_t colorCoding);  // 0 for an unknown ID
}  // namespace f7

// Field helpers.
inline constexpr uint32_t kBit31 = 0x80000000u;
inline uint32_t IndexField(uint32_t index) { return (index & 7) << 29; }  // CUR_V_* 31:29
inline uint32_t IndexOf(uint32_t value) { return value >> 29; }
inline uint32_t InquiryBit(uint32_t n) { return kBit31 >> n; }         // format/mode/rate n
// ISO_CHANNEL / ISO_SPEED: legacy channel 31:28, speed 25:24; 1394b operation (bit 15): channel
// 13:8, speed 2:0.
inline constexpr uint32_t kIso1394bMode = 1u << 15;
inline uint32_t LegacyIsoChannel(uint32_t q) { return q >> 28; }
inline uint32_t LegacyIsoSpeed(uint32_t q) { return (q >> 24) & 0x3; }
inline uint32_t MakeLegacyIso(uint32_t channel, uint32_t speed) { return (channel << 28) | ((speed & 3) << 24); }
inline uint32_t BIsoChannel(uint32_t q) { return (q >> 8) & 0x3F; }
inline uint32_t BIsoSpeed(uint32_t q) { return q & 0x7; }
// BASIC_FUNC_INQ bits.
inline constexpr uint32_t kAdvancedFeatureBit = 1u << 31;
inline constexpr uint32_t kVModeErrorStatusBit = 1u << 30;
inline constexpr uint32_t kFeatureErrorStatusBit = 1u << 29;
inline constexpr uint32_t kOptFunctionBit = 1u << 28;
inline constexpr uint32_t k1394bBit = 1u << 23;
inline constexpr uint32_t kCamPowerBit = 1u << 15;
inline constexpr uint32_t kOneShotBit = 1u << 12;
inline constexpr uint32_t kMultiShotBit = 1u << 11;
inline constexpr uint32_t kMultiShotFlag = 1u << 30;  // in ONE_SHOT/MULTI_SHOT

// IIDC 1.31 unit directory values.
inline constexpr uint32_t kUnitSpecId = 0x00A02D;
inline constexpr uint32_t kVersion104 = 0x000100;
inline constexpr uint32_t kVersion120 = 0x000101;
inline constexpr uint32_t kVersion130 = 0x000102;
// Frame rates: index r is 1.875 * 2^r fps.
enum Rate : uint8_t { k1_875 = 0, k3_75 = 1, k7_5 = 2, k15 = 3, k30 = 4, k60 = 5, k120 = 6, k240 = 7 };

// A format 0 mode: image, bits per pixel, and for each rate 0..5 (1.875..60 fps) the packet size in
// bytes, 0 where the format 0 table defines no packet.
struct Format0Mode {
    uint16_t width, height;
    uint8_t bitsPerPixel;
    const char* coding;
    uint16_t packetBytes[6];
};
// Mode m of format 0 (m 0..6), null for another mode.
const Format0Mode* Format0(uint32_t mode);
// Packets per frame of a format 0 stream at rate r (3840 / 2^r: 240 at 30 fps).
inline uint32_t Format0PacketsPerFrame(uint32_t rate) { return 3840u >> rate; }
// Largest isochronous data block at a speed (IEEE 1394-1995 / 1394b): 1024 bytes at S100,
// doubling with each speed.
inline uint32_t MaxIsoPayload(uint32_t speed) { return 1024u << (speed > 5 ? 5 : speed); }
}  // namespace iidc

class IidcCamera : public CsrNode {
public:
    // A feature as the camera offers it.
    struct FeatureConfig {
        uint8_t id = iidc::kBrightness;
        uint16_t min = 0, max = 255, value = 128;
        bool onePush = false, readOut = true, onOff = true, autoMode = true, manual = true;
        bool absolute = false;  // an absolute value CSR with ABS_MIN..ABS_MAX
        float absMin = 0, absMax = 0;
    };
    // A format 7 mode as the camera offers it.
    struct Format7Config {
        bool present = false;
        uint16_t maxWidth = 640, maxHeight = 480;
        uint16_t unitWidth = 8, unitHeight = 2;          // image size steps
        uint16_t unitLeft = 8, unitTop = 2;              // image position steps
        uint32_t colorCodings = 0xFC000000;              // COLOR_CODING_INQ: Mono8..Mono16, RGB16
        uint16_t unitBytePerPacket = 8;
    };
    struct Config {
        std::string name = "camera";
        int ports = 2;
        Speed speed = kS400;
        uint64_t guid = 0x00ACDE4800000001ull;
        uint32_t vendorId = 0x00ACDE;
        uint32_t modelId = 0x000001;
        std::string vendorName = "Simulated Optics";
        std::string modelName = "SO-VGA 1.31";
        uint32_t unitSwVersion = iidc::kVersion130;
        uint8_t subVersion = 0x10;            // unit_sub_sw_version (0x38): 1.31; 0 leaves it out
        uint32_t commandRegsBase = 0x3C0000;  // quadlets from 0xFFFFF0000000 (0xFFFFF0F00000)
        // A ROM image replacing the built one (a described camera's rom=); the command registers
        // then sit where its unit-dependent directory says.
        std::vector<uint32_t> romImage;
        // rates[format][mode]: bit r set = frame rate r listed. Default Format_0 Mode_1
        // (320x240 YUV 4:2:2) and Mode_5 (640x480 Mono 8) at 15 and 30 fps. Format 7 modes are
        // listed by format7[m].present.
        std::array<std::array<uint8_t, 8>, 8> rates = DefaultRates();
        std::array<Format7Config, 8> format7{};
        // The first combination after power-up and INITIALIZE; without one (format 8), the first
        // listed.
        uint32_t presetFormat = 8, presetMode = 0, presetRate = 0;
        bool powerControl = true;
        bool oneShot = true;
        bool multiShot = true;
        bool b1394 = false;  // 1394b operation (ISO_SPEED 2:0, channel 13:8)
        bool featureErrorStatus = false;  // BASIC_FUNC_INQ 29 and FEATURE_ERROR_STATUS_HI/LO
        std::vector<FeatureConfig> features = DefaultFeatures();
        // TRIGGER_MODE: present with these modes (bit m = mode m; 0 and 1 act) and sources.
        bool trigger = true;
        uint16_t triggerModes = 0x3;
        bool triggerSoftware = true;
        bool strobe = false;  // one strobe output (OPT_FUNCTION_INQ Strobe_out)
        bool finishFrameOnIsoEnOff = false;  // ISO_EN = 0 lets the frame being sent finish

        static std::array<std::array<uint8_t, 8>, 8> DefaultRates();
        static std::vector<FeatureConfig> DefaultFeatures();
    };

    explicit IidcCamera(const Config& config);
    const Config& config() const { return config_; }

    // The ROM the configuration describes.
    static ConfigRom BuildRom(const Config& config);
    // The command_regs_base of a ROM's IIDC unit (unit_spec_ID 0x00A02D, unit-dependent directory,
    // key 0x40); false when the ROM has none.
    static bool FindCommandRegsBase(const ConfigRom& rom, uint32_t* commandRegsBase);
    uint64_t CommandBase() const { return commandBase_; }
    // Where the camera's other CSR blocks sit (beyond the command block, which is followed by
    // 0x1000 bytes where nothing answers). Only the blocks the camera has answer.
    uint64_t AbsCsrBase(uint32_t featureId) const { return commandBase_ + 0x2000 + 0x10ull * featureId; }
    uint64_t StrobeCsrBase() const { return commandBase_ + 0x2400; }
    uint64_t Format7CsrBase(uint32_t mode) const { return commandBase_ + 0x3000 + uint64_t(iidc::f7::kBlockSize) * mode; }

    // State.
    uint32_t CurrentFormat() const { return format_; }
    uint32_t CurrentMode() const { return mode_; }
    uint32_t CurrentRate() const { return rate_; }
    uint32_t IsoChannel() const;
    uint32_t IsoSpeed() const;
    bool IsoEnabled() const { return isoEn_; }
    bool Powered() const { return power_; }
    bool CombinationValid() const;
    // One-shot (1) or multi-shot (count) frames requested and not yet sent.
    uint32_t PendingShots() const { return shots_; }
    void FinishShots();
    // The stream as it stands: packet size and packets per frame of the current combination
    // (0 when it sends none), frames started since power-up or INITIALIZE.
    uint32_t PacketBytes() const;
    uint32_t PacketsPerFrame() const;
    uint32_t FrameCounter() const { return frameCounter_; }
    // Bytes of one image line and of one image of the current combination.
    uint32_t LineBytes() const;
    uint32_t FrameBytes() const;
    // The test pattern's byte `offset` of frame `frame` (see above).
    static uint8_t PatternByte(uint32_t frame, uint32_t offset, uint32_t lineBytes);
    static const uint8_t* Ramp();
    // The external trigger input (source 0) fires.
    void ExternalTrigger();
    uint64_t StrobePulses() const { return strobePulses_; }

    // Hooks: ISO_EN switched; ONE_SHOT / MULTI_SHOT asked for `frames` frames.
    std::function<void(bool enabled)> onIsoEnable;
    std::function<void(uint32_t frames)> onShot;

    // The talker: one packet per cycle while a frame is being sent; it wants cycles while a stream
    // (ISO_EN or shots) runs.
    void OnCycleStart(uint32_t cycleTime) override;
    bool WantsCycleStarts() const override { return sending_; }

protected:
    uint8_t ReadQuadlet(uint64_t offset, uint32_t* value) override;
    uint8_t WriteQuadlet(uint64_t offset, uint32_t value) override;
    uint8_t WriteBlock(uint64_t offset, const std::vector<uint8_t>& data) override;
    // The command registers take no lock transactions (type_error).
    uint8_t Lock(uint64_t offset, uint16_t extendedTcode, const std::vector<uint8_t>& operands,
                 std::vector<uint8_t>* old) override;

private:
    struct FeatureState {
        FeatureConfig config;
        uint32_t control = 0;  // the control register as it stands
    };
    struct Format7State {
        uint32_t left = 0, top = 0, width = 0, height = 0, colorId = 0, bytePerPacket = 0;
    };

    // The register space the camera answers beyond its CSR node: false for an offset of no block.
    bool ReadSpace(uint64_t offset, uint32_t* value) const;
    bool WriteSpace(uint64_t offset, uint32_t value);
    uint32_t ReadCommandRegister(uint32_t reg) const;
    void WriteCommandRegister(uint32_t reg, uint32_t value);
    uint32_t InquiryRegister(uint32_t reg) const;
    void Initialize();
    void WriteIsoChannel(uint32_t value);
    void WriteIsoEn(uint32_t value);
    void WriteShot(uint32_t value);
    void StartStream();

    FeatureState* FindFeature(uint32_t id);
    const FeatureState* FindFeature(uint32_t id) const;
    uint32_t FeatureInquiry(const FeatureConfig& f) const;
    void WriteFeature(FeatureState& f, uint32_t value);
    void SetFeatureError(uint32_t id, bool error);
    float AbsValue(const FeatureState& f) const;
    void WriteAbsValue(FeatureState& f, uint32_t bits);

    uint32_t ReadFormat7(uint32_t mode, uint32_t reg) const;
    void WriteFormat7(uint32_t mode, uint32_t reg, uint32_t value);
    bool Format7ImageValid(uint32_t mode) const;
    bool Format7PacketValid(uint32_t mode) const;
    uint32_t Format7TotalBytes(uint32_t mode) const;
    uint32_t Format7MaxBytePerPacket(uint32_t mode) const;
    uint32_t Format7ValueSetting(uint32_t mode) const;

    void SendPacket();
    void StartFrame();

    Config config_;
    uint64_t commandBase_ = 0;
    uint32_t format_ = 0, mode_ = 0, rate_ = 0;
    uint32_t isoRegister_ = 0;
    bool power_ = true;
    bool isoEn_ = false;
    uint32_t shotRegister_ = 0;
    uint32_t shots_ = 0;
    std::vector<FeatureState> features_;
    uint32_t featureErrorHi_ = 0, featureErrorLo_ = 0;
    bool softwareTriggerBusy_ = false;
    bool triggerPending_ = false;
    uint32_t strobeControl_ = 0;
    uint64_t strobePulses_ = 0;
    std::array<Format7State, 8> format7_{};

    // The stream.
    bool sending_ = false;       // a stream (ISO_EN or shots) runs
    bool inFrame_ = false;       // a frame is being sent
    uint64_t streamCycle_ = 0;   // cycles since the stream started
    uint64_t streamFrames_ = 0;  // frames started in this stream
    uint64_t nextFrameCycle_ = 0;
    uint32_t packetInFrame_ = 0;
    uint32_t frameCounter_ = 0;  // frames started since power-up or INITIALIZE
    uint32_t frameNumber_ = 0;   // the pattern's frame number of the frame being sent
    uint32_t framePacketBytes_ = 0, framePackets_ = 0, frameBytes_ = 0, frameLineBytes_ = 0;
    IsoPacket packet_;           // reused from packet to packet
};

}  // namespace sim
