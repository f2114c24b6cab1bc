#pragma once

// Hashing, the settlement signer, and the settlement signing payload and
// intake request built from a round's draft.

#include <cstddef>
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

// FNV-1a 64 over `size` bytes, continued from `hash`; a text's digest starts
// from the offset basis. Inline: a settlement's signing payload reaches it a
// few bytes at a time.
inline constexpr std::uint64_t kFnv1a64OffsetBasis = 0xcbf29ce484222325ull;
inline constexpr std::uint64_t kFnv1a64Prime = 0x100000001b3ull;

// FNV-1a is one chain of an exclusive or and a multiply per byte, so its speed
// is that chain's latency. A 64-bit machine multiplies in one instruction. A
// 32-bit one splits the hash into words: with x = lo ^ byte and the prime
// 2^40 + 0x1b3,
//   lo' = low word of x * 0x1b3
//   hi' = hi * 0x1b3 + high word of x * 0x1b3 + (x << 8)   (mod 2^32)
// Only lo forms a chain of its own; hi follows it linearly, so two bytes at
// a time fold into hi'' = hi * 0x1b3^2 + (y1 * 0x1b3 + y2), which keeps hi's
// multiplies off the chain that sets the pace.
[[nodiscard]] inline std::uint64_t Fnv1a64(std::uint64_t hash, const char* text, std::size_t size) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    if constexpr (sizeof(void*) >= sizeof(std::uint64_t)) {
        for (std::size_t i = 0; i < size; ++i) {
            hash ^= bytes[i];
            hash *= kFnv1a64Prime;
        }
        return hash;
    }
    constexpr std::uint32_t kPrimeLow = kFnv1a64Prime & 0xffffffffu;
    static_assert(kFnv1a64Prime >> 32 == 1u << 8, "the prime's high word is a shift");
    std::uint32_t lo = static_cast<std::uint32_t>(hash);
    std::uint32_t hi = static_cast<std::uint32_t>(hash >> 32);
    // Steps lo over one byte; returns what that byte adds to hi.
    const auto step = [&lo](unsigned char byte) {
        const std::uint32_t x = lo ^ byte;
        const std::uint64_t product = static_cast<std::uint64_t>(x) * kPrimeLow;
        lo = static_cast<std::uint32_t>(product);
        return static_cast<std::uint32_t>(product >> 32) + (x << 8);
    };
    std::size_t i = 0;
    for (; i + 2 <= size; i += 2) {
        const std::uint32_t first = step(bytes[i]);
        const std::uint32_t second = step(bytes[i + 1]);
        hi = hi * (kPrimeLow * kPrimeLow) + (first * kPrimeLow + second);
    }
    if (i < size) {
        hi = hi * kPrimeLow + step(bytes[i]);
    }
    return static_cast<std::uint64_t>(hi) << 32 | lo;
}

// ---------------------------------------------------------------------------
// Signing

// Signs canonical settlement payloads. Implementations are read-only once
// built, so one signer may serve any thread.
class SettlementSigner {
  public:
    virtual ~SettlementSigner() = default;
    // The signature of `payload`, or "" when this signer cannot sign.
    [[nodiscard]] virtual std::string SignSettlementPayload(const std::string& payload) const = 0;
    // The signature of the draft's signing payload (BuildSettlementSigningPayload).
    // This builds the payload and signs it; a signer may compute the same
    // signature without building the text.
    [[nodiscard]] virtual std::string SignSettlementDraftPayload(
        const RoundSettlementDraft& draft) const;
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
    // The same signature, digesting the payload as it is written: a busy
    // round's payload is half a megabyte the round end need not hold.
    [[nodiscard]] std::string SignSettlementDraftPayload(
        const RoundSettlementDraft& draft) const override;
    // "hmac-sha256:" and 64 lowercase hex digits of HMAC-SHA256 under the key.
    [[nodiscard]] std::string SignPluginEnvelopePayload(const std::string& payload) const;
    [[nodiscard]] bool HasKeyMaterial() const;

  private:
    [[nodiscard]] std::uint64_t KeyedDigestStart() const;
    [[nodiscard]] static std::string Signature(std::uint64_t digest);

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
// Fnv1a64 of that text continued from `hash`, without building the text.
[[nodiscard]] std::uint64_t Fnv1a64OfSettlementSigningPayload(std::uint64_t hash,
                                                              const RoundSettlementDraft& draft);

// Which texts of the intake request to write. A sender that wraps the
// canonical JSON in an envelope never sends the plain body, and a busy
// round's body is a few hundred kilobytes written in the frame.
enum class IntakeRequestTexts { BodyAndCanonical, CanonicalOnly };

// The "/v1/plugin/settlements" request for a signed, complete draft: the
// backend body and the canonical JSON the envelope hashes (with
// CanonicalOnly, the body is left empty). Nothing when an identifier, the
// time stamp text or the signature is missing.
[[nodiscard]] std::optional<PluginSettlementHttpRequest> BuildPluginSettlementIntakeHttpRequest(
    const PluginSettlementIntakeRequest& intake_request,
    IntakeRequestTexts texts = IntakeRequestTexts::BodyAndCanonical);

}  // namespace ironpost
