// Output of kx1394: values as the driver answered them, for people and for scripts (JSON).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "hk_core.h"

namespace kx1394 {

// One value read from the driver, or why there is none.
struct Value {
    bool ok = false;
    uint64_t number = 0;
    std::string text;     // the value as a person reads it ("S400", "1.10", "0x0032")
    std::string problem;  // when !ok: "driver answered STATUS_NOT_IMPLEMENTED", "bus reset in progress"
    std::string code;     // when !ok, for scripts: "STATUS_NOT_IMPLEMENTED", "status byte 1"

    static Value Number(uint64_t number, std::string text) {
        Value v;
        v.ok = true;
        v.number = number;
        v.text = std::move(text);
        return v;
    }
    static Value Failed(NTSTATUS status);
    static Value StatusByte(uint8_t status);
};

// The meaning of a status byte of the driver's answers (0 done, 1 reset in progress, ...).
const char* StatusByteMeaning(uint8_t status);

// Human form: "value", or "not available (driver answered STATUS_NOT_IMPLEMENTED)".
std::string Human(const Value& value);

std::string Hex(uint64_t value, int digits);
std::string JsonString(const std::string& text);

// A JSON object built field by field, in order.
class JsonObject {
public:
    JsonObject& Raw(const std::string& key, const std::string& json);
    JsonObject& Text(const std::string& key, const std::string& text) { return Raw(key, JsonString(text)); }
    JsonObject& Number(const std::string& key, uint64_t number) { return Raw(key, std::to_string(number)); }
    JsonObject& Bool(const std::string& key, bool value) { return Raw(key, value ? "true" : "false"); }
    // The value's number (or `asText`: its text) when there is one, else null and an entry in
    // the object's "unavailable" map.
    JsonObject& Add(const std::string& key, const Value& value, bool asText = false);
    std::string Str() const;

private:
    std::vector<std::pair<std::string, std::string>> fields_;
    std::vector<std::pair<std::string, std::string>> unavailable_;
};

std::string JsonArray(const std::vector<std::string>& elements);

}  // namespace kx1394
