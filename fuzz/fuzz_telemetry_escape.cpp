// Any bytes as a telemetry string (player names reach it unchecked): the
// result has no raw control byte and no ill-formed UTF-8, which shows as
// escaping it again replacing nothing more.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ironpost_telemetry.h"

namespace {

std::size_t CountReplacements(const std::string& text) {
    std::size_t count = 0;
    for (std::size_t at = text.find("\xEF\xBF\xBD"); at != std::string::npos;
         at = text.find("\xEF\xBF\xBD", at + 3)) {
        ++count;
    }
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string escaped = ironpost::TelemetryJsonEscape(text);
    for (const char c : escaped) {
        if (static_cast<unsigned char>(c) < 0x20) {
            std::abort();
        }
    }
    if (CountReplacements(ironpost::TelemetryJsonEscape(escaped)) != CountReplacements(escaped)) {
        std::abort();
    }
    return 0;
}
