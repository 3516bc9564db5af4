// An IIDC 1.31 digital camera (the 1394 Trade Association's IIDC digital camera standard): its
// configuration ROM with the IIDC unit directory, and its command registers answering quadlet
// reads and writes. Isochronous streaming comes later: the camera keeps ISO_CHANNEL, ISO_SPEED and
// ISO_EN and calls a hook when streaming is switched.
//
// Register rules this camera follows (choices where IIDC leaves them open):
// - Reads of reserved offsets inside the command register block (base .. base + 0x1000) return 0;
//   writes there, and writes to the inquiry (read-only) registers, are ignored (rcode complete).
// - CUR_V_FORMAT is taken only for a format V_FORMAT_INQ lists, CUR_V_MODE only for a mode of the
//   current format, CUR_V_FRM_RATE only for a rate of the current format and mode; other values
//   are ignored. VMODE_ERROR_STATUS (0x628) bit 31 is set while the current format, mode and
//   rate are not a listed combination.
// - While ISO_EN is set, writes of CUR_V_*, ISO_CHANNEL/ISO_SPEED are ignored.
// - ISO_EN is set only when the camera is powered and the current combination is valid.
// - ONE_SHOT / MULTI_SHOT are taken only while ISO_EN is clear; the bits stay set until the
//   streaming engine calls FinishShots (with no hook installed they clear at once).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "csr_node.h"

namespace sim {

namespace iidc {
// Command register offsets from the base (IIDC 1.31 chapter 4).
inline constexpr uint32_t kInitialize = 0x000;
inline constexpr uint32_t kVFormatInq = 0x100;
inline constexpr uint32_t kVModeInq0 = 0x180;        // + 4 * format
inline constexpr uint32_t kVRateInq00 = 0x200;       // + 0x20 * format + 4 * mode
inline constexpr uint32_t kVRevInq60 = 0x2C0;
inline constexpr uint32_t kVCsrInq70 = 0x2E0;
inline constexpr uint32_t kBasicFuncInq = 0x400;
inline constexpr uint32_t kFeatureHiInq = 0x404;
inline constexpr uint32_t kFeatureLoInq = 0x408;
inline constexpr uint32_t kOptFunctionInq = 0x40C;
inline constexpr uint32_t kAdvancedFeatureInq = 0x480;
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
inline constexpr uint32_t kBlockSize = 0x1000;

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
}  // namespace iidc

class IidcCamera : public CsrNode {
public:
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
        // rates[format][mode]: bit r set = frame rate r listed. Default Format_0 Mode_1
        // (320x240 YUV 4:2:2) and Mode_5 (640x480 Mono 8) at 15 and 30 fps.
        std::array<std::array<uint8_t, 8>, 8> rates = DefaultRates();
        bool powerControl = true;
        bool oneShot = true;
        bool multiShot = true;
        bool b1394 = false;  // 1394b operation (ISO_SPEED 2:0, channel 13:8)
        uint32_t featureHiInq = 0;
        uint32_t featureLoInq = 0;

        static std::array<std::array<uint8_t, 8>, 8> DefaultRates();
    };

    explicit IidcCamera(const Config& config);
    const Config& config() const { return config_; }

    // The ROM the configuration describes.
    static ConfigRom BuildRom(const Config& config);
    uint64_t CommandBase() const { return rom::kCsrBase + 4ull * config_.commandRegsBase; }

    // State (what the streaming engine will use).
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

    // Hooks for streaming: ISO_EN switched; ONE_SHOT / MULTI_SHOT asked for `frames` frames.
    std::function<void(bool enabled)> onIsoEnable;
    std::function<void(uint32_t frames)> onShot;

protected:
    uint8_t ReadQuadlet(uint64_t offset, uint32_t* value) override;
    uint8_t WriteQuadlet(uint64_t offset, uint32_t value) override;
    uint8_t WriteBlock(uint64_t offset, const std::vector<uint8_t>& data) override;
    // The command registers take no lock transactions (type_error).
    uint8_t Lock(uint64_t offset, uint16_t extendedTcode, const std::vector<uint8_t>& operands,
                 std::vector<uint8_t>* old) override;

private:
    bool InBlock(uint64_t offset) const { return offset >= CommandBase() && offset < CommandBase() + iidc::kBlockSize; }
    uint32_t ReadCommandRegister(uint32_t reg) const;
    void WriteCommandRegister(uint32_t reg, uint32_t value);
    uint32_t InquiryRegister(uint32_t reg) const;
    void Initialize();
    void WriteIsoChannel(uint32_t value);
    void WriteIsoEn(uint32_t value);
    void WriteShot(uint32_t value);

    Config config_;
    uint32_t format_ = 0, mode_ = 0, rate_ = 0;
    uint32_t isoRegister_ = 0;
    bool power_ = true;
    bool isoEn_ = false;
    uint32_t shotRegister_ = 0;
    uint32_t shots_ = 0;
};

}  // namespace sim
