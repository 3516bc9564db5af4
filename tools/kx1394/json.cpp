#include "json.h"

#include <cstdio>

namespace kx1394 {

std::string Hex(uint64_t value, int digits) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", u);
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

JsonObject& JsonObject::Raw(const std::string& key, const std::string& json) {
    fields_.emplace_back(key, json);
    return *this;
}

JsonObject& JsonObject::Unavailable(const std::string& key, const std::string& code) {
    unavailable_.emplace_back(key, JsonString(code));
    return Raw(key, "null");
}

std::string JsonObject::Str() const {
    std::vector<std::pair<std::string, std::string>> all = fields_;
    if (!unavailable_.empty()) {
        JsonObject inner;
        for (const auto& field : unavailable_) inner.Raw(field.first, field.second);
        all.emplace_back("unavailable", inner.Str());
    }
    std::string out = "{";
    for (size_t i = 0; i < all.size(); ++i) {
        if (i != 0) out += ",";
        out += JsonString(all[i].first) + ":" + all[i].second;
    }
    return out + "}";
}

std::string JsonArray(const std::vector<std::string>& elements) {
    std::string out = "[";
    for (size_t i = 0; i < elements.size(); ++i) {
        if (i != 0) out += ",";
        out += elements[i];
    }
    return out + "]";
}

}  // namespace kx1394
