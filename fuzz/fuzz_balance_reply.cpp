// Any bytes as a player-balance reply body.
#include <cstddef>
#include <cstdint>
#include <string>

#include "ironpost_plugin_session.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);
    (void)ironpost::ParsePlayerBalanceProfiles(body, 1234);
    return 0;
}
