// Decoding an IIDC 1.31 camera's inquiry registers: which video formats, modes and frame rates it
// lists (V_FORMAT_INQ, V_MODE_INQ_x, V_RATE_INQ_x_y, V_CSR_INQ_7_y), its basic functions
// (BASIC_FUNC_INQ), which features it has (FEATURE_HI_INQ, FEATURE_LO_INQ) and what each feature's
// inquiry register allows, plus the current format, mode and rate.
//
// Pure logic: registers come through a reader callback taking the offset from the camera's
// command base. Only registers the inquiry bits call for are read; a register that cannot be read
// is reported and the rest is still decoded.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "rom_decoder.h"

namespace kx1394 {

namespace iidc {
inline constexpr uint32_t kVFormatInq = 0x100;
inline constexpr uint32_t kVModeInq0 = 0x180;   // + 4 * format
inline constexpr uint32_t kVRateInq00 = 0x200;  // + 0x20 * format + 4 * mode (formats 0 to 5)
inline constexpr uint32_t kVCsrInq70 = 0x2E0;   // + 4 * mode: Format_7 mode register offsets
inline constexpr uint32_t kBasicFuncInq = 0x400;
inline constexpr uint32_t kFeatureHiInq = 0x404;
inline constexpr uint32_t kFeatureLoInq = 0x408;
inline constexpr uint32_t kCurVFrmRate = 0x600;
inline constexpr uint32_t kCurVMode = 0x604;
inline constexpr uint32_t kCurVFormat = 0x608;
// The register of bit n (n = 0 for bit 31) of a format, mode or rate inquiry register.
inline constexpr uint32_t InquiryBit(uint32_t n) { return 0x80000000u >> n; }

// Text of a format, a mode of a format, a frame rate.
std::string FormatName(uint32_t format);
std::string ModeName(uint32_t format, uint32_t mode);
std::string RateName(uint32_t rate);  // "15 fps"
}  // namespace iidc

// Reads the command register at `offset` from the command base.
using RegisterReader = std::function<QuadletRead(uint32_t offset)>;

struct IidcMode {
    uint32_t mode = 0;
    std::string name;
    std::vector<uint32_t> rates;  // frame rate indexes listed (formats 0 to 5)
    bool hasCsr = false;          // Format_7: the mode's register block
    uint64_t csrOffset = 0;       //   quadlet offset times 4, from 0xFFFFF0000000
};

struct IidcFormat {
    uint32_t format = 0;
    std::string name;
    std::vector<IidcMode> modes;
};

struct IidcFeature {
    std::string name;
    uint32_t inquiryOffset = 0;
    bool read = false;       // the inquiry register could be read
    uint32_t inquiry = 0;
    bool trigger = false;    // TRIGGER_INQ has its own layout
    // Decoded from the inquiry register.
    bool present = false;
    std::vector<std::string> abilities;  // "abs_control", "one_push", "readout", "on_off", "auto", "manual", ...
    bool hasRange = false;
    uint32_t minValue = 0, maxValue = 0;
};

struct IidcCamera {
    bool formatsRead = false;
    uint32_t formatInq = 0;
    std::vector<IidcFormat> formats;
    bool basicRead = false;
    uint32_t basicFunc = 0;
    std::vector<std::string> basicFunctions;  // names of the BASIC_FUNC_INQ bits that are set
    uint32_t memoryChannels = 0;
    bool featuresRead = false;
    uint32_t featureHi = 0, featureLo = 0;
    std::vector<IidcFeature> features;  // every feature FEATURE_HI/LO_INQ lists
    bool currentRead = false;
    uint32_t currentFormat = 0, currentMode = 0, currentRate = 0;
    std::vector<std::string> problems;
    uint32_t registersRead = 0;
};

IidcCamera DecodeCamera(const RegisterReader& read);

std::string CameraReport(const IidcCamera& camera);
std::string CameraJson(const IidcCamera& camera);

}  // namespace kx1394
