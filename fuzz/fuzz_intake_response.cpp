// Any bytes as the body of a settlement intake reply, under a few statuses.
#include <cstddef>
#include <cstdint>
#include <string>

#include "ironpost_backend_transport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ironpost::BackendHttpResponse http;
    http.body.assign(reinterpret_cast<const char*>(data), size);
    for (const std::int32_t status : {200, 202, 500}) {
        http.status_code = status;
        (void)ironpost::ParsePluginSettlementIntakeHttpResponse(http);
    }
    return 0;
}
