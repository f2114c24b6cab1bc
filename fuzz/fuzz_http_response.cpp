// Any bytes as an HTTP reply from the backend.
#include <cstddef>
#include <cstdint>
#include <string>

#include "ironpost_backend_transport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const ironpost::BackendHttpResponse response = ironpost::ParsePlainHttpResponse(bytes);
    (void)ironpost::ParsePluginSettlementIntakeHttpResponse(response);
    return 0;
}
