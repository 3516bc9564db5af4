#include "iidc_decoder.h"

#include <cstdio>

#include "json.h"

namespace kx1394 {

namespace iidc {

std::string FormatName(uint32_t format) {
    switch (format) {
    case 0: return "Format_0 (VGA non-compressed)";
    case 1: return "Format_1 (Super VGA non-compressed 1)";
    case 2: return "Format_2 (Super VGA non-compressed 2)";
    case 6: return "Format_6 (still image)";
    case 7: return "Format_7 (scalable image size)";
    default: return "Format_" + std::to_string(format) + " (reserved)";
    }
}

std::string ModeName(uint32_t format, uint32_t mode) {
    static const char* const kFormat0[8] = {"160x120 YUV 4:4:4", "320x240 YUV 4:2:2", "640x480 YUV 4:1:1",
                                            "640x480 YUV 4:2:2", "640x480 RGB 8",     "640x480 Mono 8",
                                            "640x480 Mono 16",   nullptr};
    static const char* const kFormat1[8] = {"800x600 YUV 4:2:2",  "800x600 RGB 8",    "800x600 Mono 8",
                                            "1024x768 YUV 4:2:2", "1024x768 RGB 8",   "1024x768 Mono 8",
                                            "800x600 Mono 16",    "1024x768 Mono 16"};
    static const char* const kFormat2[8] = {"1280x960 YUV 4:2:2",  "1280x960 RGB 8",    "1280x960 Mono 8",
                                            "1600x1200 YUV 4:2:2", "1600x1200 RGB 8",   "1600x1200 Mono 8",
                                            "1280x960 Mono 16",    "1600x1200 Mono 16"};
    const std::string prefix = "Mode_" + std::to_string(mode);
    const char* name = nullptr;
    if (mode < 8) {
        if (format == 0) name = kFormat0[mode];
        if (format == 1) name = kFormat1[mode];
        if (format == 2) name = kFormat2[mode];
        if (format == 6 && mode == 0) name = "Exif";
        if (format == 7) name = "scalable";
    }
    return name ? prefix + " (" + name + ")" : prefix + " (reserved)";
}

std::string RateName(uint32_t rate) {
    static const char* const kRates[8] = {"1.875", "3.75", "7.5", "15", "30", "60", "120", "240"};
    return rate < 8 ? std::string(kRates[rate]) + " fps" : "rate " + std::to_string(rate);
}

}  // namespace iidc

namespace {

struct FeatureSlot {
    bool hi;       // FEATURE_HI_INQ or FEATURE_LO_INQ
    uint32_t bit;  // IIDC bit number (0 = most significant)
    uint32_t inquiry;
    const char* name;
};

constexpr FeatureSlot kFeatures[] = {
    {true, 0, 0x500, "Brightness"},     {true, 1, 0x504, "Auto_Exposure"},  {true, 2, 0x508, "Sharpness"},
    {true, 3, 0x50C, "White_Balance"},  {true, 4, 0x510, "Hue"},            {true, 5, 0x514, "Saturation"},
    {true, 6, 0x518, "Gamma"},          {true, 7, 0x51C, "Shutter"},        {true, 8, 0x520, "Gain"},
    {true, 9, 0x524, "Iris"},           {true, 10, 0x528, "Focus"},         {true, 11, 0x52C, "Temperature"},
    {true, 12, 0x530, "Trigger"},       {true, 13, 0x534, "Trigger_Delay"}, {true, 14, 0x538, "White_Shading"},
    {true, 15, 0x53C, "Frame_Rate"},    {false, 0, 0x580, "Zoom"},          {false, 1, 0x584, "Pan"},
    {false, 2, 0x588, "Tilt"},          {false, 3, 0x58C, "Optical_Filter"}, {false, 16, 0x5C0, "Capture_Size"},
    {false, 17, 0x5C4, "Capture_Quality"},
};

bool Bit(uint32_t value, uint32_t iidcBit) { return (value & iidc::InquiryBit(iidcBit)) != 0; }

// A feature's inquiry register. Most features: Presence 0, Abs_Control 1, One_Push 3, ReadOut 4,
// On_Off 5, Auto 6, Manual 7, Min_Value 8-19, Max_Value 20-31 (IIDC bit numbers). TRIGGER_INQ:
// Presence 0, Abs_Control 1, ReadOut 4, On_Off 5, Polarity 6, Value_Read 7, Trigger_Source0..3
// 8-11, Software_Trigger 15, Trigger_Mode0..5 16-21, Trigger_Mode14 30, Trigger_Mode15 31.
void DecodeFeature(IidcFeature* f) {
    const uint32_t q = f->inquiry;
    f->present = Bit(q, 0);
    if (Bit(q, 1)) f->abilities.push_back("abs_control");
    if (f->trigger) {
        if (Bit(q, 4)) f->abilities.push_back("readout");
        if (Bit(q, 5)) f->abilities.push_back("on_off");
        if (Bit(q, 6)) f->abilities.push_back("polarity");
        if (Bit(q, 7)) f->abilities.push_back("value_read");
        for (uint32_t s = 0; s < 4; ++s)
            if (Bit(q, 8 + s)) f->abilities.push_back("source_" + std::to_string(s));
        if (Bit(q, 15)) f->abilities.push_back("software_trigger");
        for (uint32_t m = 0; m < 6; ++m)
            if (Bit(q, 16 + m)) f->abilities.push_back("mode_" + std::to_string(m));
        if (Bit(q, 30)) f->abilities.push_back("mode_14");
        if (Bit(q, 31)) f->abilities.push_back("mode_15");
        return;
    }
    if (Bit(q, 3)) f->abilities.push_back("one_push");
    if (Bit(q, 4)) f->abilities.push_back("readout");
    if (Bit(q, 5)) f->abilities.push_back("on_off");
    if (Bit(q, 6)) f->abilities.push_back("auto");
    if (Bit(q, 7)) f->abilities.push_back("manual");
    f->hasRange = true;
    f->minValue = (q >> 12) & 0xFFF;
    f->maxValue = q & 0xFFF;
}

class CameraDecoder {
public:
    explicit CameraDecoder(const RegisterReader& read) : read_(read) {}

    IidcCamera Run() {
        Formats();
        Basic();
        Features();
        uint32_t rate = 0, mode = 0, format = 0;
        if (Read(iidc::kCurVFrmRate, "CUR_V_FRM_RATE", &rate) && Read(iidc::kCurVMode, "CUR_V_MODE", &mode) &&
            Read(iidc::kCurVFormat, "CUR_V_FORMAT", &format)) {
            out_.currentRead = true;
            out_.currentRate = rate >> 29;
            out_.currentMode = mode >> 29;
            out_.currentFormat = format >> 29;
        }
        return std::move(out_);
    }

private:
    bool Read(uint32_t offset, const std::string& name, uint32_t* value) {
        QuadletRead r = read_(offset);
        if (!r.ok) {
            out_.problems.push_back(name + " (" + Hex(offset, 3) + ") could not be read: " + r.failure);
            return false;
        }
        ++out_.registersRead;
        *value = r.value;
        return true;
    }

    void Formats() {
        if (!Read(iidc::kVFormatInq, "V_FORMAT_INQ", &out_.formatInq)) return;
        out_.formatsRead = true;
        for (uint32_t f = 0; f < 8; ++f) {
            if (!Bit(out_.formatInq, f)) continue;
            IidcFormat format;
            format.format = f;
            format.name = iidc::FormatName(f);
            uint32_t modes = 0;
            if (Read(iidc::kVModeInq0 + 4 * f, "V_MODE_INQ_" + std::to_string(f), &modes)) {
                for (uint32_t m = 0; m < 8; ++m)
                    if (Bit(modes, m)) format.modes.push_back(Mode(f, m));
            }
            out_.formats.push_back(std::move(format));
        }
    }

    IidcMode Mode(uint32_t f, uint32_t m) {
        IidcMode mode;
        mode.mode = m;
        mode.name = iidc::ModeName(f, m);
        const std::string suffix = std::to_string(f) + "_" + std::to_string(m);
        uint32_t value = 0;
        if (f <= 5) {
            // Frame rates exist for the fixed formats; Format_6 has none and Format_7 a register
            // block per mode.
            if (Read(iidc::kVRateInq00 + 0x20 * f + 4 * m, "V_RATE_INQ_" + suffix, &value))
                for (uint32_t r = 0; r < 8; ++r)
                    if (Bit(value, r)) mode.rates.push_back(r);
        } else if (f == 7 && Read(iidc::kVCsrInq70 + 4 * m, "V_CSR_INQ_" + suffix, &value)) {
            mode.hasCsr = true;
            mode.csrOffset = rom::kCsrBase + 4ull * value;
        }
        return mode;
    }

    void Basic() {
        if (!Read(iidc::kBasicFuncInq, "BASIC_FUNC_INQ", &out_.basicFunc)) return;
        out_.basicRead = true;
        struct Name {
            uint32_t bit;
            const char* name;
        };
        static const Name kNames[] = {{0, "Advanced_Feature_Inq"},
                                      {1, "Vmode_Error_Status_Inq"},
                                      {2, "Feature_Control_Error_Status_Inq"},
                                      {3, "Opt_Func_Inq"},
                                      {8, "1394b_mode_Capability"},
                                      {16, "Cam_Power_Cntl"},
                                      {19, "One_Shot_Inq"},
                                      {20, "Multi_Shot_Inq"}};
        for (const Name& n : kNames)
            if (Bit(out_.basicFunc, n.bit)) out_.basicFunctions.push_back(n.name);
        out_.memoryChannels = out_.basicFunc & 0xF;
    }

    void Features() {
        if (!Read(iidc::kFeatureHiInq, "FEATURE_HI_INQ", &out_.featureHi)) return;
        if (!Read(iidc::kFeatureLoInq, "FEATURE_LO_INQ", &out_.featureLo)) return;
        out_.featuresRead = true;
        for (const FeatureSlot& slot : kFeatures) {
            if (!Bit(slot.hi ? out_.featureHi : out_.featureLo, slot.bit)) continue;
            IidcFeature f;
            f.name = slot.name;
            f.inquiryOffset = slot.inquiry;
            f.trigger = slot.inquiry == 0x530;
            f.read = Read(slot.inquiry, std::string(slot.name) + " inquiry", &f.inquiry);
            if (f.read) {
                DecodeFeature(&f);
                if (!f.present)
                    out_.problems.push_back(std::string(slot.name) +
                                            " is listed in FEATURE_" + (slot.hi ? "HI" : "LO") +
                                            "_INQ but its inquiry register says it is not present");
            }
            out_.features.push_back(std::move(f));
        }
    }

    const RegisterReader& read_;
    IidcCamera out_;
};

std::string Join(const std::vector<std::string>& items, const char* separator) {
    std::string out;
    for (const std::string& item : items) out += (out.empty() ? "" : separator) + item;
    return out;
}

}  // namespace

IidcCamera DecodeCamera(const RegisterReader& read) { return CameraDecoder(read).Run(); }

std::string CameraReport(const IidcCamera& c) {
    std::string out;
    auto line = [&out](int indent, const std::string& text) { out += std::string(size_t(indent) * 2, ' ') + text + "\n"; };
    if (c.formatsRead) {
        line(0, "video formats (V_FORMAT_INQ " + Hex(c.formatInq, 8) + "):");
        if (c.formats.empty()) line(1, "none");
        for (const IidcFormat& f : c.formats) {
            line(1, f.name);
            if (f.modes.empty()) line(2, "no modes");
            for (const IidcMode& m : f.modes) {
                std::string text = m.name;
                if (!m.rates.empty()) {
                    std::vector<std::string> rates;
                    for (uint32_t r : m.rates) rates.push_back(iidc::RateName(r));
                    text += ": " + Join(rates, ", ");
                } else if (m.hasCsr) {
                    text += ": mode registers at " + Hex(m.csrOffset, 12);
                } else if (f.format <= 5) {
                    text += ": no frame rates";
                }
                line(2, text);
            }
        }
    }
    if (c.basicRead) {
        line(0, "basic functions (BASIC_FUNC_INQ " + Hex(c.basicFunc, 8) + "): " +
                    (c.basicFunctions.empty() ? std::string("none") : Join(c.basicFunctions, ", ")) +
                    "; memory channels " + std::to_string(c.memoryChannels));
    }
    if (c.featuresRead) {
        line(0, "features (FEATURE_HI_INQ " + Hex(c.featureHi, 8) + ", FEATURE_LO_INQ " + Hex(c.featureLo, 8) +
                    "):" + (c.features.empty() ? " none" : ""));
        for (const IidcFeature& f : c.features) {
            std::string text = f.name;
            if (text.size() < 16) text += std::string(16 - text.size(), ' ');
            if (!f.read) {
                text += "inquiry register not read";
            } else {
                text += Hex(f.inquiry, 8);
                if (!f.present) text += " not present";
                if (!f.abilities.empty()) text += " " + Join(f.abilities, " ");
                if (f.hasRange) text += " range " + std::to_string(f.minValue) + ".." + std::to_string(f.maxValue);
            }
            line(1, text);
        }
    }
    if (c.currentRead)
        line(0, "current: " + iidc::FormatName(c.currentFormat) + ", " + iidc::ModeName(c.currentFormat, c.currentMode) +
                    ", " + iidc::RateName(c.currentRate));
    for (const std::string& p : c.problems) line(0, "problem: " + p);
    return out;
}

std::string CameraJson(const IidcCamera& c) {
    JsonObject o;
    std::vector<std::string> formats;
    for (const IidcFormat& f : c.formats) {
        std::vector<std::string> modes;
        for (const IidcMode& m : f.modes) {
            JsonObject mode;
            mode.Number("mode", m.mode).Text("name", m.name);
            std::vector<std::string> rates;
            for (uint32_t r : m.rates) rates.push_back(JsonString(iidc::RateName(r)));
            mode.Raw("rates", JsonArray(rates));
            if (m.hasCsr) mode.Text("registers", Hex(m.csrOffset, 12));
            modes.push_back(mode.Str());
        }
        JsonObject format;
        format.Number("format", f.format).Text("name", f.name).Raw("modes", JsonArray(modes));
        formats.push_back(format.Str());
    }
    if (c.formatsRead) o.Text("vFormatInq", Hex(c.formatInq, 8)).Raw("formats", JsonArray(formats));
    else o.Raw("vFormatInq", "null").Raw("formats", "null");
    if (c.basicRead) {
        std::vector<std::string> names;
        for (const std::string& n : c.basicFunctions) names.push_back(JsonString(n));
        o.Text("basicFuncInq", Hex(c.basicFunc, 8)).Raw("basicFunctions", JsonArray(names));
        o.Number("memoryChannels", c.memoryChannels);
    } else {
        o.Raw("basicFuncInq", "null").Raw("basicFunctions", "null");
    }
    if (c.featuresRead) {
        std::vector<std::string> features;
        for (const IidcFeature& f : c.features) {
            JsonObject feature;
            feature.Text("name", f.name).Text("inquiryRegister", Hex(f.inquiryOffset, 3));
            if (f.read) {
                std::vector<std::string> abilities;
                for (const std::string& a : f.abilities) abilities.push_back(JsonString(a));
                feature.Text("inquiry", Hex(f.inquiry, 8)).Bool("present", f.present).Raw("abilities", JsonArray(abilities));
                if (f.hasRange) feature.Number("min", f.minValue).Number("max", f.maxValue);
            } else {
                feature.Raw("inquiry", "null");
            }
            features.push_back(feature.Str());
        }
        o.Text("featureHiInq", Hex(c.featureHi, 8)).Text("featureLoInq", Hex(c.featureLo, 8));
        o.Raw("features", JsonArray(features));
    } else {
        o.Raw("features", "null");
    }
    if (c.currentRead) {
        JsonObject current;
        current.Number("format", c.currentFormat).Number("mode", c.currentMode).Number("rate", c.currentRate);
        current.Text("text", iidc::ModeName(c.currentFormat, c.currentMode) + ", " + iidc::RateName(c.currentRate));
        o.Raw("current", current.Str());
    } else {
        o.Raw("current", "null");
    }
    std::vector<std::string> problems;
    for (const std::string& p : c.problems) problems.push_back(JsonString(p));
    o.Raw("problems", JsonArray(problems)).Number("registersRead", c.registersRead);
    return o.Str();
}

}  // namespace kx1394
