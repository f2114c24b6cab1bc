#pragma once

// The plugin envelope v2 that wraps every JSON document posted to the backend:
// protocol, server, request, time stamp and nonce, the SHA-256 of the payload,
// an HMAC-SHA256 signature over a canonical text of those values, and the
// payload itself.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "ironpost_crypto.h"

namespace ironpost {

inline constexpr char kPluginEnvelopeProtocol[] = "ironpost-plugin-envelope-v2";
// Shorter nonces are refused; BuildDeterministicPluginNonce gives 32.
inline constexpr std::size_t kPluginEnvelopeMinNonceBytes = 8;

struct PluginEnvelopeV2Request {
    std::string server_id;
    std::string request_id;
    // Milliseconds since the Unix epoch; 0 is refused.
    std::uint64_t timestamp_ms = 0;
    std::string nonce;
    // A complete JSON document, carried verbatim.
    std::string payload_json;
};

// The envelope's own escaping, narrower than the settlement JSON's: only tab,
// line feed, carriage return, quote and backslash are escaped; every other
// byte, other control bytes included, goes out raw. The backend reproduces
// this rendering byte for byte, so it must not be widened on one side only.
// Also used for the strings of the small payloads the envelope carries.
[[nodiscard]] std::string JsonEscape(const std::string& text);

// The wall clock in whole milliseconds since the Unix epoch (0 if the clock is
// set before the epoch, which makes the envelope refuse it).
[[nodiscard]] std::uint64_t CurrentPluginEnvelopeTimestampMs();

// The first 32 hex digits of SHA-256 over label "\n" request_id "\n"
// timestamp_ms: the same for the same request, label and millisecond.
[[nodiscard]] std::string BuildDeterministicPluginNonce(const std::string& request_id,
                                                        std::uint64_t timestamp_ms,
                                                        const std::string& label);

// The canonical text the envelope signature covers: one "name=value" line per
// value, values raw, no line break after the last ("payloadHash") line.
[[nodiscard]] std::string BuildPluginEnvelopeSigningPayload(const PluginEnvelopeV2Request& request,
                                                            const std::string& payload_hash);

// The compact envelope JSON, or nothing when an identifier is empty, the time
// stamp is 0, the nonce is shorter than 8 bytes, the payload is empty, or the
// signer has no key.
[[nodiscard]] std::optional<std::string> BuildPluginEnvelopeV2Body(
    const PluginEnvelopeV2Request& request, const DevelopmentFileSettlementSigner& signer);

}  // namespace ironpost
