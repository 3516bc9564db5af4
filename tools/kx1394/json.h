// JSON and hex text for kx1394's output (no dependence on the driver or the host kernel, so the
// decoders that use it can be tested alone).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kx1394 {

struct Value;

// "0x0032" for Hex(0x32, 4).
std::string Hex(uint64_t value, int digits);
// A JSON string literal.
std::string JsonString(const std::string& text);

// A JSON object built field by field, in order.
class JsonObject {
public:
    JsonObject& Raw(const std::string& key, const std::string& json);
    JsonObject& Text(const std::string& key, const std::string& text) { return Raw(key, JsonString(text)); }
    JsonObject& Number(const std::string& key, uint64_t number) { return Raw(key, std::to_string(number)); }
    JsonObject& Bool(const std::string& key, bool value) { return Raw(key, value ? "true" : "false"); }
    // A driver's value (report.h): its number (or `asText`: its text) when there is one, else null
    // and an entry in the object's "unavailable" map.
    JsonObject& Add(const std::string& key, const Value& value, bool asText = false);
    // null, and `code` under "unavailable".
    JsonObject& Unavailable(const std::string& key, const std::string& code);
    std::string Str() const;

private:
    std::vector<std::pair<std::string, std::string>> fields_;
    std::vector<std::pair<std::string, std::string>> unavailable_;
};

std::string JsonArray(const std::vector<std::string>& elements);

}  // namespace kx1394
