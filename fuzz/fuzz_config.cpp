// Any bytes as a configuration file: never a crash, and every line is
// accounted for by a value, a warning or an error.
#include <cstddef>
#include <cstdint>
#include <string>

#include "ironpost_config.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const ironpost::ConfigParseResult result = ironpost::ParseConfigText(text);
    (void)ironpost::BuildCvarDefinitions(result.config);
    return 0;
}
