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

JsonObject& JsonObject::Add(const std::string& key, const Value& value, bool asText) {
    if (value.ok) return Raw(key, asText ? JsonString(value.text) : std::to_string(value.number));
    return Unavailable(key, value.code);
}

}  // namespace kx1394
