// Any bytes through the two small JSON readers used on backend replies.
#include <cstddef>
#include <cstdint>
#include <string>

#include "ironpost_backend_transport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    (void)ironpost::ParseJsonStringToken(text);
    for (const char* key : {"accepted", "errors", "relay", "", "\""}) {
        if (const auto value = ironpost::ExtractObjectFieldValue(text, key)) {
            (void)ironpost::ParseJsonStringToken(*value);
            (void)ironpost::ExtractObjectFieldValue(*value, "extrinsicStatus");
        }
    }
    return 0;
}
