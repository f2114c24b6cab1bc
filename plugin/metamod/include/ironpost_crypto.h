#pragma once

// Hashing, the settlement signer, and the settlement signing payload and
// intake request built from a round's draft.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ironpost_plugin.h"

namespace ironpost {

struct PluginHttpHeader {
    std::string name;
    std::string value;
};

struct PluginSettlementIntakeRequest {
    std::string request_id;
    std::string received_at;
    RoundSettlementDraft draft;
};

// One settlement submission as sent to the backend; also kept by the session
// as the unresolved request and inside a retry.
struct PluginSettlementHttpRequest {
    std::string method;
    std::string path;
    std::string content_type;
    std::string request_id;
    std::string server_id;
    std::string body;
    std::string canonical_payload_body;
};

// ---------------------------------------------------------------------------
// Hashing

// SHA-256 of the bytes of `data`, as 64 lowercase hexadecimal digits.
[[nodiscard]] std::string Sha256Hex(const std::string& data);

// HMAC-SHA256 of `message` under `key` (any length, any bytes), as 64
// lowercase hexadecimal digits.
[[nodiscard]] std::string HmacSha256Hex(const std::string& key, const std::string& message);

// ---------------------------------------------------------------------------
// Signing

// Signs canonical settlement payloads. Implementations are read-only once
// built, so one signer may serve any thread.
class SettlementSigner {
  public:
    virtual ~SettlementSigner() = default;
    // The signature of `payload`, or "" when this signer cannot sign.
    [[nodiscard]] virtual std::string SignSettlementPayload(const std::string& payload) const = 0;
};

// The server's signer, keyed by the raw bytes of the operator's key file
// (see LoadDevelopmentFileSettlementSigner). Empty key material means no key:
// every signature is then "".
class DevelopmentFileSettlementSigner final : public SettlementSigner {
  public:
    DevelopmentFileSettlementSigner() = default;
    explicit DevelopmentFileSettlementSigner(std::string key_material);

    // "dev-v1:" and 16 lowercase hex digits of the keyed FNV-1a-64 digest.
    [[nodiscard]] std::string SignSettlementPayload(const std::string& payload) const override;
    // "hmac-sha256:" and 64 lowercase hex digits of HMAC-SHA256 under the key.
    [[nodiscard]] std::string SignPluginEnvelopePayload(const std::string& payload) const;
    [[nodiscard]] bool HasKeyMaterial() const;

  private:
    std::string key_material_;
};

// Loads the server's signer from its key file. Defined with the other start-up
// file readers; ironpost_plugin_bootstrap.h documents what is read.
[[nodiscard]] DevelopmentFileSettlementSigner LoadDevelopmentFileSettlementSigner(
    const std::string& path);

// A copy of a complete draft with `server_signature` set by `signer`, or
// nothing when the draft is incomplete or the signer gives no signature.
// The signature SignSettlementDraft would set, for signing a draft in place.
[[nodiscard]] std::optional<std::string> SettlementDraftSignature(const RoundSettlementDraft& draft,
                                                                  const SettlementSigner& signer);
[[nodiscard]] std::optional<RoundSettlementDraft> SignSettlementDraft(
    const RoundSettlementDraft& draft, const SettlementSigner& signer);

// ---------------------------------------------------------------------------
// Settlement signing payload and intake request

// The quoted JSON string of `text`: quote, backslash and every byte below 0x20
// are escaped; all other bytes (0x7f, 0x80 and above) are copied unchanged.
[[nodiscard]] std::string JsonString(const std::string& text);

// The canonical, length-prefixed text that the server signs for a draft. The
// draft's own `server_signature` is not part of it.
[[nodiscard]] std::string BuildSettlementSigningPayload(const RoundSettlementDraft& draft);

// The "/v1/plugin/settlements" request for a signed, complete draft: the
// backend body and the canonical JSON the envelope hashes. Nothing when an
// identifier, the time stamp text or the signature is missing.
[[nodiscard]] std::optional<PluginSettlementHttpRequest> BuildPluginSettlementIntakeHttpRequest(
    const PluginSettlementIntakeRequest& intake_request);

}  // namespace ironpost
