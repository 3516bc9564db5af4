// Output of kx1394: values as the driver answered them, for people and for scripts (JSON).
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "hk_core.h"
#include "json.h"

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

}  // namespace kx1394
