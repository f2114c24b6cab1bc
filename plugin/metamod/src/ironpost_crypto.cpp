#include "ironpost_crypto.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace ironpost {

namespace {

constexpr std::size_t kSha256BlockBytes = 64;
constexpr std::size_t kSha256DigestBytes = 32;
using Sha256Digest = std::array<unsigned char, kSha256DigestBytes>;

constexpr std::array<std::uint32_t, 64> kSha256RoundConstants = {
    0x428a2f98u, 0x71374491u, 0xb5c0fbcfu, 0xe9b5dba5u, 0x3956c25bu, 0x59f111f1u, 0x923f82a4u,
    0xab1c5ed5u, 0xd807aa98u, 0x12835b01u, 0x243185beu, 0x550c7dc3u, 0x72be5d74u, 0x80deb1feu,
    0x9bdc06a7u, 0xc19bf174u, 0xe49b69c1u, 0xefbe4786u, 0x0fc19dc6u, 0x240ca1ccu, 0x2de92c6fu,
    0x4a7484aau, 0x5cb0a9dcu, 0x76f988dau, 0x983e5152u, 0xa831c66du, 0xb00327c8u, 0xbf597fc7u,
    0xc6e00bf3u, 0xd5a79147u, 0x06ca6351u, 0x14292967u, 0x27b70a85u, 0x2e1b2138u, 0x4d2c6dfcu,
    0x53380d13u, 0x650a7354u, 0x766a0abbu, 0x81c2c92eu, 0x92722c85u, 0xa2bfe8a1u, 0xa81a664bu,
    0xc24b8b70u, 0xc76c51a3u, 0xd192e819u, 0xd6990624u, 0xf40e3585u, 0x106aa070u, 0x19a4c116u,
    0x1e376c08u, 0x2748774cu, 0x34b0bcb5u, 0x391c0cb3u, 0x4ed8aa4au, 0x5b9cca4fu, 0x682e6ff3u,
    0x748f82eeu, 0x78a5636fu, 0x84c87814u, 0x8cc70208u, 0x90befffau, 0xa4506cebu, 0xbef9a3f7u,
    0xc67178f2u,
};

constexpr std::array<std::uint32_t, 8> kSha256InitialState = {
    0x6a09e667u, 0xbb67ae85u, 0x3c6ef372u, 0xa54ff53au,
    0x510e527fu, 0x9b05688cu, 0x1f83d9abu, 0x5be0cd19u,
};

inline std::uint32_t RotateRight(std::uint32_t value, unsigned bits) {
    return (value >> bits) | (value << (32u - bits));
}

inline std::uint32_t LoadBigEndian32(const unsigned char* bytes) {
    return (static_cast<std::uint32_t>(bytes[0]) << 24) |
           (static_cast<std::uint32_t>(bytes[1]) << 16) |
           (static_cast<std::uint32_t>(bytes[2]) << 8) | static_cast<std::uint32_t>(bytes[3]);
}

inline void StoreBigEndian32(std::uint32_t value, unsigned char* bytes) {
    bytes[0] = static_cast<unsigned char>(value >> 24);
    bytes[1] = static_cast<unsigned char>(value >> 16);
    bytes[2] = static_cast<unsigned char>(value >> 8);
    bytes[3] = static_cast<unsigned char>(value);
}

// Incremental SHA-256 (FIPS 180-4). Whole blocks are compressed straight from
// the caller's buffer; only a trailing partial block is copied.
class Sha256 {
  public:
    void Update(const unsigned char* data, std::size_t size) {
        total_bytes_ += size;
        if (buffered_ > 0) {
            const std::size_t take = std::min(kSha256BlockBytes - buffered_, size);
            for (std::size_t i = 0; i < take; ++i) {
                buffer_[buffered_ + i] = data[i];
            }
            buffered_ += take;
            data += take;
            size -= take;
            if (buffered_ < kSha256BlockBytes) {
                return;
            }
            Compress(buffer_.data(), 1);
            buffered_ = 0;
        }
        if (size >= kSha256BlockBytes) {
            const std::size_t blocks = size / kSha256BlockBytes;
            Compress(data, blocks);
            data += blocks * kSha256BlockBytes;
            size -= blocks * kSha256BlockBytes;
        }
        for (std::size_t i = 0; i < size; ++i) {
            buffer_[i] = data[i];
        }
        buffered_ = size;
    }

    void Update(const std::string& text) {
        Update(reinterpret_cast<const unsigned char*>(text.data()), text.size());
    }

    // Pads, compresses the last block(s) and returns the digest. The object
    // must not be updated afterwards.
    Sha256Digest Finish() {
        // The length field counts bits modulo 2^64, as the standard says.
        const std::uint64_t bit_length = total_bytes_ * 8u;
        buffer_[buffered_++] = 0x80;
        if (buffered_ > kSha256BlockBytes - 8) {
            while (buffered_ < kSha256BlockBytes) {
                buffer_[buffered_++] = 0;
            }
            Compress(buffer_.data(), 1);
            buffered_ = 0;
        }
        while (buffered_ < kSha256BlockBytes - 8) {
            buffer_[buffered_++] = 0;
        }
        StoreBigEndian32(static_cast<std::uint32_t>(bit_length >> 32), &buffer_[56]);
        StoreBigEndian32(static_cast<std::uint32_t>(bit_length), &buffer_[60]);
        Compress(buffer_.data(), 1);

        Sha256Digest digest{};
        for (std::size_t i = 0; i < state_.size(); ++i) {
            StoreBigEndian32(state_[i], &digest[i * 4]);
        }
        return digest;
    }

  private:
    // The state lives in locals for a whole run of blocks, and the rounds are
    // written out eight at a time with the roles of the working variables
    // rotated by name instead of by moving values: the compiler then keeps
    // everything in registers and schedules the 64 rounds as straight code.
    // This is what brings plain C++ close to OpenSSL's vectorised code.
    void Compress(const unsigned char* data, std::size_t blocks) {
        std::uint32_t a = state_[0];
        std::uint32_t b = state_[1];
        std::uint32_t c = state_[2];
        std::uint32_t d = state_[3];
        std::uint32_t e = state_[4];
        std::uint32_t f = state_[5];
        std::uint32_t g = state_[6];
        std::uint32_t h = state_[7];
        for (; blocks > 0; --blocks, data += kSha256BlockBytes) {
            std::uint32_t w[16];
            for (std::size_t i = 0; i < 16; ++i) {
                w[i] = LoadBigEndian32(data + i * 4);
            }
            const std::uint32_t a0 = a, b0 = b, c0 = c, d0 = d, e0 = e, f0 = f, g0 = g, h0 = h;
            std::uint32_t b_xor_c = b ^ c;
            for (std::size_t i = 0; i < 64; i += 8) {
                if (i >= 16 && i % 16 == 0) {
                    ExpandSchedule(w);
                }
                const std::uint32_t* k = &kSha256RoundConstants[i];
                const std::uint32_t* x = &w[i % 16];
                Round(a, b, d, e, f, g, h, k[0] + x[0], b_xor_c);
                Round(h, a, c, d, e, f, g, k[1] + x[1], b_xor_c);
                Round(g, h, b, c, d, e, f, k[2] + x[2], b_xor_c);
                Round(f, g, a, b, c, d, e, k[3] + x[3], b_xor_c);
                Round(e, f, h, a, b, c, d, k[4] + x[4], b_xor_c);
                Round(d, e, g, h, a, b, c, k[5] + x[5], b_xor_c);
                Round(c, d, f, g, h, a, b, k[6] + x[6], b_xor_c);
                Round(b, c, e, f, g, h, a, k[7] + x[7], b_xor_c);
            }
            a += a0;
            b += b0;
            c += c0;
            d += d0;
            e += e0;
            f += f0;
            g += g0;
            h += h0;
        }
        state_ = {a, b, c, d, e, f, g, h};
    }

    // The next 16 words of the message schedule, in place of the last 16.
    // The small-sigma-0 terms depend only on words already known, so they
    // are summed in a first pass the compiler can vectorise; the second pass
    // carries the short dependency through small-sigma-1.
    static inline void ExpandSchedule(std::uint32_t (&w)[16]) {
        std::uint32_t partial[16];
        for (std::size_t i = 0; i < 15; ++i) {
            const std::uint32_t w15 = w[i + 1];
            partial[i] = w[i] + (RotateRight(w15, 7) ^ RotateRight(w15, 18) ^ (w15 >> 3));
        }
        for (std::size_t i = 0; i < 16; ++i) {
            const std::uint32_t w2 = w[(i + 14) & 15];
            const std::uint32_t s1 = RotateRight(w2, 17) ^ RotateRight(w2, 19) ^ (w2 >> 10);
            if (i == 15) {
                const std::uint32_t w15 = w[0];
                partial[15] = w[15] + (RotateRight(w15, 7) ^ RotateRight(w15, 18) ^ (w15 >> 3));
            }
            w[i] = partial[i] + w[(i + 9) & 15] + s1;
        }
    }

    // One round: `d` and `h` are the only variables a round changes. The
    // majority reuses the previous round's a ^ b, which is this round's b ^ c.
    // (Nesting each sigma's three rotations to save register copies measured
    // no faster.)
    static inline void Round(std::uint32_t a, std::uint32_t b, std::uint32_t& d, std::uint32_t e,
                             std::uint32_t f, std::uint32_t g, std::uint32_t& h,
                             std::uint32_t constant_plus_word, std::uint32_t& b_xor_c) {
        const std::uint32_t s1 = RotateRight(e, 6) ^ RotateRight(e, 11) ^ RotateRight(e, 25);
        const std::uint32_t choose = g ^ (e & (f ^ g));
        const std::uint32_t t1 = h + s1 + choose + constant_plus_word;
        const std::uint32_t s0 = RotateRight(a, 2) ^ RotateRight(a, 13) ^ RotateRight(a, 22);
        const std::uint32_t a_xor_b = a ^ b;
        const std::uint32_t majority = b ^ (a_xor_b & b_xor_c);
        b_xor_c = a_xor_b;
        d += t1;
        h = t1 + s0 + majority;
    }

    std::array<std::uint32_t, 8> state_ = kSha256InitialState;
    std::array<unsigned char, kSha256BlockBytes> buffer_{};
    std::size_t buffered_ = 0;
    std::uint64_t total_bytes_ = 0;
};

constexpr char kLowerHexDigits[] = "0123456789abcdef";

std::string LowerHex(const unsigned char* bytes, std::size_t size) {
    std::string hex;
    hex.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        hex.push_back(kLowerHexDigits[bytes[i] >> 4]);
        hex.push_back(kLowerHexDigits[bytes[i] & 0x0f]);
    }
    return hex;
}

Sha256Digest Sha256Of(const std::string& data) {
    Sha256 hash;
    hash.Update(data);
    return hash.Finish();
}

Sha256Digest HmacSha256(const std::string& key, const std::string& message) {
    std::array<unsigned char, kSha256BlockBytes> block_key{};
    if (key.size() > kSha256BlockBytes) {
        const Sha256Digest key_digest = Sha256Of(key);
        std::copy(key_digest.begin(), key_digest.end(), block_key.begin());
    } else {
        std::copy(key.begin(), key.end(), block_key.begin());
    }

    std::array<unsigned char, kSha256BlockBytes> pad{};
    for (std::size_t i = 0; i < kSha256BlockBytes; ++i) {
        pad[i] = static_cast<unsigned char>(block_key[i] ^ 0x36u);
    }
    Sha256 inner;
    inner.Update(pad.data(), pad.size());
    inner.Update(message);
    const Sha256Digest inner_digest = inner.Finish();

    for (std::size_t i = 0; i < kSha256BlockBytes; ++i) {
        pad[i] = static_cast<unsigned char>(block_key[i] ^ 0x5cu);
    }
    Sha256 outer;
    outer.Update(pad.data(), pad.size());
    outer.Update(inner_digest.data(), inner_digest.size());
    return outer.Finish();
}

}  // namespace

std::string Sha256Hex(const std::string& data) {
    const Sha256Digest digest = Sha256Of(data);
    return LowerHex(digest.data(), digest.size());
}

std::string HmacSha256Hex(const std::string& key, const std::string& message) {
    const Sha256Digest digest = HmacSha256(key, message);
    return LowerHex(digest.data(), digest.size());
}

DevelopmentFileSettlementSigner::DevelopmentFileSettlementSigner(std::string key_material)
    : key_material_(std::move(key_material)) {}

std::string DevelopmentFileSettlementSigner::SignSettlementPayload(
    const std::string& payload) const {
    if (key_material_.empty() || payload.empty()) {
        return {};
    }
    return Signature(Fnv1a64(KeyedDigestStart(), payload.data(), payload.size()));
}

std::string DevelopmentFileSettlementSigner::SignSettlementDraftPayload(
    const RoundSettlementDraft& draft) const {
    if (key_material_.empty()) {
        return {};
    }
    return Signature(Fnv1a64OfSettlementSigningPayload(KeyedDigestStart(), draft));
}

// The digest runs over key, "\n", payload without building that text.
std::uint64_t DevelopmentFileSettlementSigner::KeyedDigestStart() const {
    const std::uint64_t hash =
        Fnv1a64(kFnv1a64OffsetBasis, key_material_.data(), key_material_.size());
    return Fnv1a64(hash, "\n", 1);
}

std::string DevelopmentFileSettlementSigner::Signature(std::uint64_t digest) {
    std::string signature = "dev-v1:";
    for (int shift = 60; shift >= 0; shift -= 4) {
        signature.push_back(kLowerHexDigits[(digest >> shift) & 0x0fu]);
    }
    return signature;
}

std::string SettlementSigner::SignSettlementDraftPayload(const RoundSettlementDraft& draft) const {
    return SignSettlementPayload(BuildSettlementSigningPayload(draft));
}

std::string DevelopmentFileSettlementSigner::SignPluginEnvelopePayload(
    const std::string& payload) const {
    if (key_material_.empty() || payload.empty()) {
        return {};
    }
    return "hmac-sha256:" + HmacSha256Hex(key_material_, payload);
}

bool DevelopmentFileSettlementSigner::HasKeyMaterial() const {
    return !key_material_.empty();
}

std::optional<std::string> SettlementDraftSignature(const RoundSettlementDraft& draft,
                                                    const SettlementSigner& signer) {
    if (!IsRoundSettlementDraftComplete(draft)) {
        return std::nullopt;
    }
    std::string signature = signer.SignSettlementDraftPayload(draft);
    if (signature.empty()) {
        return std::nullopt;
    }
    return signature;
}

std::optional<RoundSettlementDraft> SignSettlementDraft(const RoundSettlementDraft& draft,
                                                        const SettlementSigner& signer) {
    std::optional<std::string> signature = SettlementDraftSignature(draft, signer);
    if (!signature) {
        return std::nullopt;
    }
    RoundSettlementDraft signed_draft = draft;
    signed_draft.server_signature = std::move(*signature);
    return signed_draft;
}

}  // namespace ironpost
