// Any bytes as a settlement journal entry read back at load. The first byte
// picks how the rest is used: as a whole file; as an entry body under a
// correct header (so the field reader is reached past the checksum); or as
// three fields that must survive an encode and decode unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ironpost_crypto.h"
#include "ironpost_settlement_outbox.h"

namespace {

void CheckDecoded(const ironpost::SettlementOutboxDecodeResult& result) {
    // Exactly one of an entry and a reason, and an entry survives a rewrite.
    if (result.entry.has_value() == !result.reason.empty()) {
        std::abort();
    }
    if (result.entry) {
        const auto again = ironpost::DecodeSettlementOutboxEntry(
            ironpost::EncodeSettlementOutboxEntry(*result.entry));
        if (!again.entry || again.entry->request_id != result.entry->request_id ||
            again.entry->server_id != result.entry->server_id ||
            again.entry->payload != result.entry->payload) {
            std::abort();
        }
        (void)ironpost::SettlementRequestFromOutboxEntry(*result.entry);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 3) {
        case 0:
            CheckDecoded(ironpost::DecodeSettlementOutboxEntry(rest));
            break;
        case 1:
            CheckDecoded(ironpost::DecodeSettlementOutboxEntry(
                "ironpost-outbox-entry 1 " + std::to_string(rest.size()) + " " +
                ironpost::Sha256Hex(rest) + "\n" + rest));
            break;
        default: {
            const std::size_t first = rest.find('\0');
            const std::size_t second =
                first == std::string::npos ? std::string::npos : rest.find('\0', first + 1);
            if (second == std::string::npos) {
                return 0;
            }
            const ironpost::SettlementOutboxEntry entry{rest.substr(0, first),
                                                        rest.substr(first + 1, second - first - 1),
                                                        rest.substr(second + 1)};
            const auto decoded =
                ironpost::DecodeSettlementOutboxEntry(ironpost::EncodeSettlementOutboxEntry(entry));
            const bool usable = !entry.request_id.empty() && !entry.payload.empty();
            if (decoded.entry.has_value() != usable ||
                (usable && (decoded.entry->request_id != entry.request_id ||
                            decoded.entry->server_id != entry.server_id ||
                            decoded.entry->payload != entry.payload))) {
                std::abort();
            }
            // The id names a file in the journal directory: it must stay there.
            if (ironpost::SettlementOutboxFileName(entry.request_id).find('/') !=
                std::string::npos) {
                std::abort();
            }
        }
    }
    return 0;
}
