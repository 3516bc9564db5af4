#include "report.h"

#include <cstdio>

#include "session.h"

namespace kx1394 {

Value Value::Failed(NTSTATUS status) {
    Value v;
    v.code = StatusName(status);
    v.problem = "driver answered " + v.code;
    return v;
}

Value Value::StatusByte(uint8_t status) {
    Value v;
    v.code = "status byte " + std::to_string(status);
    v.problem = std::string(StatusByteMeaning(status)) + " (status byte " + std::to_string(status) + ")";
    return v;
}

const char* StatusByteMeaning(uint8_t status) {
    switch (status) {
    case 0: return "done";
    case 1: return "bus reset in progress";
    case 6: return "no such node";
    case 7: return "node ID without bus number";
    case 12: return "wait interrupted";
    default: return "unknown answer";
    }
}

std::string Human(const Value& value) { return value.ok ? value.text : "not available (" + value.problem + ")"; }

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

JsonObject& JsonObject::Add(const std::string& key, const Value& value, bool asText) {
    if (value.ok) return Raw(key, asText ? JsonString(value.text) : std::to_string(value.number));
    unavailable_.emplace_back(key, JsonString(value.code));
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
