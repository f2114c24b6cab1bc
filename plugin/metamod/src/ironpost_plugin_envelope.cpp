#include "ironpost_plugin_envelope.h"

#include <chrono>
#include <string>

namespace ironpost {

namespace {

void AppendStringMember(std::string& out, const char* name, const std::string& value) {
    out += ",\"";
    out += name;
    out += "\":\"";
    out += JsonEscape(value);
    out += '"';
}

}  // namespace

std::string JsonEscape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        switch (ch) {
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            default:
                out += ch;
                break;
        }
    }
    return out;
}

std::uint64_t CurrentPluginEnvelopeTimestampMs() {
    const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    const auto milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch);
    if (milliseconds.count() <= 0) {
        return 0;
    }
    return static_cast<std::uint64_t>(milliseconds.count());
}

std::string BuildDeterministicPluginNonce(const std::string& request_id, std::uint64_t timestamp_ms,
                                          const std::string& label) {
    const std::string text = label + "\n" + request_id + "\n" + std::to_string(timestamp_ms);
    return Sha256Hex(text).substr(0, 32);
}

std::string BuildPluginEnvelopeSigningPayload(const PluginEnvelopeV2Request& request,
                                              const std::string& payload_hash) {
    std::string text = "protocol=";
    text += kPluginEnvelopeProtocol;
    text += "\nserverId=";
    text += request.server_id;
    text += "\nrequestId=";
    text += request.request_id;
    text += "\ntimestampMs=";
    text += std::to_string(request.timestamp_ms);
    text += "\nnonce=";
    text += request.nonce;
    text += "\npayloadHash=";
    text += payload_hash;
    return text;
}

std::optional<std::string> BuildPluginEnvelopeV2Body(
    const PluginEnvelopeV2Request& request, const DevelopmentFileSettlementSigner& signer) {
    if (request.server_id.empty() || request.request_id.empty() || request.timestamp_ms == 0 ||
        request.nonce.size() < kPluginEnvelopeMinNonceBytes || request.payload_json.empty() ||
        !signer.HasKeyMaterial()) {
        return std::nullopt;
    }

    const std::string payload_hash = "sha256:" + Sha256Hex(request.payload_json);
    const std::string signature =
        signer.SignPluginEnvelopePayload(BuildPluginEnvelopeSigningPayload(request, payload_hash));
    if (signature.empty()) {
        return std::nullopt;
    }

    // The payload is most of the body (a busy round's settlement is a few
    // hundred kilobytes): room for all of it is made once, so it is copied once.
    constexpr std::size_t kFixedBytes = 160;  // member names, quotes, the time stamp
    std::string body;
    body.reserve(kFixedBytes + sizeof kPluginEnvelopeProtocol + request.server_id.size() +
                 request.request_id.size() + request.nonce.size() + payload_hash.size() +
                 signature.size() + request.payload_json.size());
    body += "{\"protocol\":\"";
    body += kPluginEnvelopeProtocol;
    body += '"';
    AppendStringMember(body, "serverId", request.server_id);
    AppendStringMember(body, "requestId", request.request_id);
    body += ",\"timestampMs\":";
    body += std::to_string(request.timestamp_ms);
    AppendStringMember(body, "nonce", request.nonce);
    body += ",\"payloadHash\":\"";
    body += payload_hash;
    body += '"';
    AppendStringMember(body, "signature", signature);
    body += ",\"payload\":";
    body += request.payload_json;
    body += '}';
    return body;
}

}  // namespace ironpost
