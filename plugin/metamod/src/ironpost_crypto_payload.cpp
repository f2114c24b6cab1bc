// The two textual forms of a round's settlement: the canonical signing payload
// and the intake request (backend body plus canonical JSON). Every byte here is
// checked by the backend, so member orders and renderings are fixed.

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "ironpost_crypto.h"

namespace ironpost {

namespace {

constexpr char kLowerHexDigits[] = "0123456789abcdef";

// A round with a full server carries thousands of entries, so every text here
// is written in place through a TextWriter: no temporary string per field,
// key or number, and no library call per piece.

// Writes the decimal digits of `number` from `first`, which has room for 24.
// Most numbers here are small: those that fit 32 bits are written as 32-bit
// numbers, because on i386 every digit of a 64-bit one is a library division.
template <typename Number>
char* ToDecimal(char* first, Number number) {
    constexpr std::size_t kRoom = 24;
    if constexpr (sizeof(Number) > sizeof(std::uint32_t) && std::is_unsigned_v<Number>) {
        if (number <= UINT32_MAX) {
            return std::to_chars(first, first + kRoom, static_cast<std::uint32_t>(number)).ptr;
        }
    }
    return std::to_chars(first, first + kRoom, number).ptr;
}

// The decimal digits of `number` in `digits`; returns their count.
template <typename Number>
std::size_t Decimal(Number number, char (&digits)[24]) {
    return static_cast<std::size_t>(ToDecimal(digits, number) - digits);
}

// Writes text at the end of a string. The string's length runs a block ahead
// of the text (its capacity reserved once), so a piece costs one comparison
// and an inline copy; Finish cuts the length back to the text written.
class TextWriter {
  public:
    TextWriter(std::string& out, std::size_t expected_bytes) : out_(out), end_(out.size()) {
        out_.reserve(end_ + expected_bytes);
        data_ = out_.data();
        room_end_ = out_.size();
    }

    void Put(std::string_view text) {
        const std::size_t size = text.size();
        const char* from = text.data();
        MakeRoom(size);
        char* to = data_ + end_;
        // Most pieces are short keys and values: two overlapping fixed-size
        // copies are a few moves, where a library call costs more than the copy.
        if (size >= 8 && size <= 16) {
            std::memcpy(to, from, 8);
            std::memcpy(to + size - 8, from + size - 8, 8);
        } else if (size >= 4 && size < 8) {
            std::memcpy(to, from, 4);
            std::memcpy(to + size - 4, from + size - 4, 4);
        } else if (size > 0 && size < 4) {
            to[0] = from[0];
            to[size / 2] = from[size / 2];
            to[size - 1] = from[size - 1];
        } else if (size > 16) {
            std::memcpy(to, from, size);
        }
        end_ += size;
    }

    void Put(char byte) {
        MakeRoom(1);
        data_[end_++] = byte;
    }

    template <typename Number>
    void PutDecimal(Number number) {
        MakeRoom(24);
        end_ = static_cast<std::size_t>(ToDecimal(data_ + end_, number) - data_);
    }

    void Finish() { out_.resize(end_); }

  private:
    static constexpr std::size_t kBlockBytes = 16 * 1024;

    void MakeRoom(std::size_t bytes) {
        if (room_end_ - end_ < bytes) {
            out_.resize(end_ + std::max(bytes, kBlockBytes));
            data_ = out_.data();
            room_end_ = out_.size();
        }
    }

    std::string& out_;
    char* data_ = nullptr;
    std::size_t end_ = 0;
    std::size_t room_end_ = 0;
};

// The quoted JSON string of `text` appended to `out` (see JsonString).
void AppendJsonString(TextWriter& out, std::string_view text) {
    out.Put('"');
    std::size_t plain_from = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x20 && byte != '"' && byte != '\\') {
            continue;
        }
        out.Put(std::string_view(text.data() + plain_from, i - plain_from));
        plain_from = i + 1;
        switch (byte) {
            case '\\':
                out.Put("\\\\");
                break;
            case '"':
                out.Put("\\\"");
                break;
            case 0x08:
                out.Put("\\b");
                break;
            case 0x09:
                out.Put("\\t");
                break;
            case 0x0a:
                out.Put("\\n");
                break;
            case 0x0c:
                out.Put("\\f");
                break;
            case 0x0d:
                out.Put("\\r");
                break;
            default:
                out.Put("\\u00");
                out.Put(kLowerHexDigits[byte >> 4]);
                out.Put(kLowerHexDigits[byte & 0x0f]);
                break;
        }
    }
    out.Put(std::string_view(text.data() + plain_from, text.size() - plain_from));
    out.Put('"');
}

// ---------------------------------------------------------------------------
// Canonical signing payload: one "key=<byte length>:<value>\n" line per field.
// The length prefix lets values carry any byte, line feeds included, without
// making two drafts sign the same text. Keys of list entries are the entry's
// prefix ("reward_entries.3.") followed by the field name.

// The payload's pieces go to a TextWriter, or straight into a digest.
class Fnv1a64Writer {
  public:
    explicit Fnv1a64Writer(std::uint64_t hash) : hash_(hash) {}

    void Put(std::string_view text) { hash_ = Fnv1a64(hash_, text.data(), text.size()); }
    void Put(char byte) { hash_ = Fnv1a64(hash_, &byte, 1); }
    template <typename Number>
    void PutDecimal(Number number) {
        char digits[24];
        Put(std::string_view(digits, Decimal(number, digits)));
    }

    [[nodiscard]] std::uint64_t Hash() const { return hash_; }

  private:
    std::uint64_t hash_;
};

template <typename Out>
void AppendField(Out& out, std::string_view prefix, std::string_view key, std::string_view value) {
    out.Put(prefix);
    out.Put(key);
    out.Put('=');
    out.PutDecimal(value.size());
    out.Put(':');
    out.Put(value);
    out.Put('\n');
}

template <typename Out>
void AppendField(Out& out, std::string_view key, std::string_view value) {
    AppendField(out, {}, key, value);
}

template <typename Out, typename Number>
void AppendNumber(Out& out, std::string_view prefix, std::string_view key, Number number) {
    char digits[24];
    AppendField(out, prefix, key, std::string_view(digits, Decimal(number, digits)));
}

template <typename Out, typename Number>
void AppendNumber(Out& out, std::string_view key, Number number) {
    AppendNumber(out, {}, key, number);
}

// Makes `prefix` the key prefix of entry `index` of `list`: "list.index.".
void SetEntryPrefix(std::string& prefix, std::string_view list, std::size_t index) {
    prefix.assign(list);
    prefix += '.';
    char digits[24];
    prefix.append(digits, Decimal(index, digits));
    prefix += '.';
}

// ---------------------------------------------------------------------------
// Compact JSON members. `first` is true until the object's first member is written.

// Member names are this file's own identifiers, which need no escaping.
void AppendJsonKey(TextWriter& out, std::string_view key, bool& first) {
    if (!first) {
        out.Put(',');
    }
    first = false;
    out.Put('"');
    out.Put(key);
    out.Put("\":");
}

void AppendJsonStringField(TextWriter& out, std::string_view key, std::string_view value,
                           bool& first) {
    AppendJsonKey(out, key, first);
    AppendJsonString(out, value);
}

template <typename Number>
void AppendJsonNumberField(TextWriter& out, std::string_view key, Number number, bool& first) {
    AppendJsonKey(out, key, first);
    out.PutDecimal(number);
}

// An amount travels as the decimal text of the number, quoted.
void AppendJsonAmountField(TextWriter& out, std::string_view key, std::uint64_t amount,
                           bool& first) {
    char digits[24];
    AppendJsonStringField(out, key, std::string_view(digits, Decimal(amount, digits)), first);
}

// Appends each entry, rendered by `render` (which writes the object's
// members), as one compact JSON array member named `key`.
template <typename Entry, typename Render>
void AppendJsonArrayField(TextWriter& out, std::string_view key, const std::vector<Entry>& entries,
                          bool& first, Render render) {
    AppendJsonKey(out, key, first);
    out.Put('[');
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (i > 0) {
            out.Put(',');
        }
        out.Put('{');
        bool first_member = true;
        render(out, entries[i], first_member);
        out.Put('}');
    }
    out.Put(']');
}

// A generous size for a draft's texts, so that they are allocated once.
std::size_t EstimatedDraftTextBytes(const RoundSettlementDraft& draft) {
    return 1024 + 320 * (draft.reward_entries.size() + draft.weapon_spend_entries.size() +
                         draft.zolt_transfer_entries.size() + draft.combat_stats_entries.size() +
                         draft.rival_stats_entries.size());
}

// Entries as the backend body carries them.

void AppendRewardEntry(TextWriter& out, const RewardDraftEntry& entry, bool& first) {
    AppendJsonNumberField(out, "slot", entry.slot, first);
    AppendJsonStringField(out, "steamId", entry.steam_id, first);
    AppendJsonNumberField(out, "kills", entry.kills, first);
    AppendJsonNumberField(out, "validDamage", entry.valid_damage, first);
    AppendJsonAmountField(out, "rewardZolt", entry.reward_zolt, first);
}

void AppendWeaponSpendEntry(TextWriter& out, const WeaponSpendDraftEntry& entry, bool& first) {
    AppendJsonNumberField(out, "slot", entry.slot, first);
    AppendJsonStringField(out, "steamId", entry.steam_id, first);
    AppendJsonStringField(out, "weaponId", entry.weapon_id, first);
    AppendJsonAmountField(out, "zoltCost", entry.zolt_cost, first);
    AppendJsonNumberField(out, "roundNumber", entry.round_number, first);
}

void AppendTransferEntry(TextWriter& out, const TransferDraftEntry& entry, bool& first) {
    AppendJsonNumberField(out, "intentId", entry.intent_id, first);
    AppendJsonStringField(out, "fromSteamId", entry.from_steam_id, first);
    AppendJsonStringField(out, "toSteamId", entry.to_steam_id, first);
    AppendJsonAmountField(out, "amount", entry.amount, first);
    AppendJsonNumberField(out, "fromUserid", entry.from_slot, first);
    AppendJsonNumberField(out, "toUserid", entry.to_slot, first);
    AppendJsonStringField(out, "targetRole", RoleName(entry.target_role), first);
    AppendJsonStringField(out, "menuNonce", entry.menu_nonce, first);
}

void AppendCombatStatsEntry(TextWriter& out, const CombatStatsDraftEntry& entry, bool& first) {
    AppendJsonStringField(out, "steamId", entry.steam_id, first);
    AppendJsonNumberField(out, "kills", entry.kills, first);
    AppendJsonNumberField(out, "deaths", entry.deaths, first);
    AppendJsonNumberField(out, "headshots", entry.headshots, first);
    AppendJsonNumberField(out, "shotsFired", entry.shots_fired, first);
    AppendJsonNumberField(out, "shotsHit", entry.shots_hit, first);
    AppendJsonNumberField(out, "roundsPlayed", entry.rounds_played, first);
}

void AppendRivalStatsEntry(TextWriter& out, const RivalStatsDraftEntry& entry, bool& first) {
    AppendJsonStringField(out, "attackerSteamId", entry.attacker_steam_id, first);
    AppendJsonStringField(out, "victimSteamId", entry.victim_steam_id, first);
    AppendJsonNumberField(out, "hits", entry.hits, first);
    AppendJsonNumberField(out, "damage", entry.damage, first);
    AppendJsonNumberField(out, "kills", entry.kills, first);
}

// Entries in the canonical JSON: the same values, members in the fixed
// canonical order the backend hashes.

void AppendCanonicalRewardEntry(TextWriter& out, const RewardDraftEntry& entry, bool& first) {
    AppendJsonNumberField(out, "kills", entry.kills, first);
    AppendJsonAmountField(out, "rewardZolt", entry.reward_zolt, first);
    AppendJsonNumberField(out, "slot", entry.slot, first);
    AppendJsonStringField(out, "steamId", entry.steam_id, first);
    AppendJsonNumberField(out, "validDamage", entry.valid_damage, first);
}

void AppendCanonicalWeaponSpendEntry(TextWriter& out, const WeaponSpendDraftEntry& entry,
                                     bool& first) {
    AppendJsonAmountField(out, "zoltCost", entry.zolt_cost, first);
    AppendJsonNumberField(out, "roundNumber", entry.round_number, first);
    AppendJsonNumberField(out, "slot", entry.slot, first);
    AppendJsonStringField(out, "steamId", entry.steam_id, first);
    AppendJsonStringField(out, "weaponId", entry.weapon_id, first);
}

void AppendCanonicalTransferEntry(TextWriter& out, const TransferDraftEntry& entry, bool& first) {
    AppendJsonAmountField(out, "amount", entry.amount, first);
    AppendJsonStringField(out, "fromSteamId", entry.from_steam_id, first);
    AppendJsonNumberField(out, "fromUserid", entry.from_slot, first);
    AppendJsonNumberField(out, "intentId", entry.intent_id, first);
    AppendJsonStringField(out, "menuNonce", entry.menu_nonce, first);
    AppendJsonStringField(out, "targetRole", RoleName(entry.target_role), first);
    AppendJsonStringField(out, "toSteamId", entry.to_steam_id, first);
    AppendJsonNumberField(out, "toUserid", entry.to_slot, first);
}

void AppendCanonicalCombatStatsEntry(TextWriter& out, const CombatStatsDraftEntry& entry,
                                     bool& first) {
    AppendJsonNumberField(out, "deaths", entry.deaths, first);
    AppendJsonNumberField(out, "headshots", entry.headshots, first);
    AppendJsonNumberField(out, "kills", entry.kills, first);
    AppendJsonNumberField(out, "roundsPlayed", entry.rounds_played, first);
    AppendJsonNumberField(out, "shotsFired", entry.shots_fired, first);
    AppendJsonNumberField(out, "shotsHit", entry.shots_hit, first);
    AppendJsonStringField(out, "steamId", entry.steam_id, first);
}

void AppendCanonicalRivalStatsEntry(TextWriter& out, const RivalStatsDraftEntry& entry,
                                    bool& first) {
    AppendJsonStringField(out, "attackerSteamId", entry.attacker_steam_id, first);
    AppendJsonNumberField(out, "damage", entry.damage, first);
    AppendJsonNumberField(out, "hits", entry.hits, first);
    AppendJsonNumberField(out, "kills", entry.kills, first);
    AppendJsonStringField(out, "victimSteamId", entry.victim_steam_id, first);
}

void AppendDraftJson(TextWriter& out, const RoundSettlementDraft& draft) {
    out.Put('{');
    bool first = true;
    AppendJsonStringField(out, "serverId", draft.server_id, first);
    AppendJsonStringField(out, "sessionId", draft.session_id, first);
    AppendJsonStringField(out, "mapNameHash", draft.map_name_hash, first);
    AppendJsonNumberField(out, "roundNumber", draft.round_number, first);
    AppendJsonStringField(out, "previousRoundHash", draft.previous_round_hash, first);
    AppendJsonStringField(out, "rosterRoot", draft.roster_root, first);
    AppendJsonArrayField(out, "rewardEntries", draft.reward_entries, first, AppendRewardEntry);
    AppendJsonArrayField(out, "weaponSpendEntries", draft.weapon_spend_entries, first,
                         AppendWeaponSpendEntry);
    AppendJsonArrayField(out, "zoltTransferEntries", draft.zolt_transfer_entries, first,
                         AppendTransferEntry);
    AppendJsonArrayField(out, "combatStatsEntries", draft.combat_stats_entries, first,
                         AppendCombatStatsEntry);
    AppendJsonArrayField(out, "rivalStatsEntries", draft.rival_stats_entries, first,
                         AppendRivalStatsEntry);
    AppendJsonStringField(out, "configHash", draft.config_hash, first);
    AppendJsonStringField(out, "serverSignature", draft.server_signature, first);
    out.Put('}');
}

// The member order is the backend's canonical order, which is deliberately not
// plain alphabetical ("configHash" leads, transfers come third).
void AppendCanonicalDraftJson(TextWriter& out, const RoundSettlementDraft& draft) {
    out.Put('{');
    bool first = true;
    AppendJsonStringField(out, "configHash", draft.config_hash, first);
    AppendJsonArrayField(out, "combatStatsEntries", draft.combat_stats_entries, first,
                         AppendCanonicalCombatStatsEntry);
    AppendJsonArrayField(out, "zoltTransferEntries", draft.zolt_transfer_entries, first,
                         AppendCanonicalTransferEntry);
    AppendJsonStringField(out, "mapNameHash", draft.map_name_hash, first);
    AppendJsonStringField(out, "previousRoundHash", draft.previous_round_hash, first);
    AppendJsonArrayField(out, "rewardEntries", draft.reward_entries, first,
                         AppendCanonicalRewardEntry);
    AppendJsonArrayField(out, "rivalStatsEntries", draft.rival_stats_entries, first,
                         AppendCanonicalRivalStatsEntry);
    AppendJsonStringField(out, "rosterRoot", draft.roster_root, first);
    AppendJsonNumberField(out, "roundNumber", draft.round_number, first);
    AppendJsonStringField(out, "serverId", draft.server_id, first);
    AppendJsonStringField(out, "serverSignature", draft.server_signature, first);
    AppendJsonStringField(out, "sessionId", draft.session_id, first);
    AppendJsonArrayField(out, "weaponSpendEntries", draft.weapon_spend_entries, first,
                         AppendCanonicalWeaponSpendEntry);
    out.Put('}');
}

}  // namespace

std::string JsonString(const std::string& text) {
    std::string text_out;
    TextWriter out(text_out, text.size() + 2);
    AppendJsonString(out, text);
    out.Finish();
    return text_out;
}

namespace {

template <typename Out>
void WriteSettlementSigningPayload(Out& out, const RoundSettlementDraft& draft) {
    AppendField(out, "domain", "ironpost:settlement:v1");
    AppendField(out, "server_id", draft.server_id);
    AppendField(out, "session_id", draft.session_id);
    AppendField(out, "map_name_hash", draft.map_name_hash);
    AppendNumber(out, "round_number", draft.round_number);
    AppendField(out, "previous_round_hash", draft.previous_round_hash);
    AppendField(out, "roster_root", draft.roster_root);
    AppendField(out, "config_hash", draft.config_hash);

    std::string prefix;
    AppendNumber(out, "reward_entries.count", draft.reward_entries.size());
    for (std::size_t i = 0; i < draft.reward_entries.size(); ++i) {
        const RewardDraftEntry& entry = draft.reward_entries[i];
        SetEntryPrefix(prefix, "reward_entries", i);
        AppendNumber(out, prefix, "slot", entry.slot);
        AppendField(out, prefix, "steam_id", entry.steam_id);
        AppendNumber(out, prefix, "kills", entry.kills);
        AppendNumber(out, prefix, "valid_damage", entry.valid_damage);
        AppendNumber(out, prefix, "reward_zolt", entry.reward_zolt);
    }

    AppendNumber(out, "weapon_spend_entries.count", draft.weapon_spend_entries.size());
    for (std::size_t i = 0; i < draft.weapon_spend_entries.size(); ++i) {
        const WeaponSpendDraftEntry& entry = draft.weapon_spend_entries[i];
        SetEntryPrefix(prefix, "weapon_spend_entries", i);
        AppendNumber(out, prefix, "slot", entry.slot);
        AppendField(out, prefix, "steam_id", entry.steam_id);
        AppendField(out, prefix, "weapon_id", entry.weapon_id);
        AppendNumber(out, prefix, "zolt_cost", entry.zolt_cost);
        AppendNumber(out, prefix, "round_number", entry.round_number);
    }

    AppendNumber(out, "zolt_transfer_entries.count", draft.zolt_transfer_entries.size());
    for (std::size_t i = 0; i < draft.zolt_transfer_entries.size(); ++i) {
        const TransferDraftEntry& entry = draft.zolt_transfer_entries[i];
        SetEntryPrefix(prefix, "zolt_transfer_entries", i);
        AppendNumber(out, prefix, "intent_id", entry.intent_id);
        AppendNumber(out, prefix, "from_slot", entry.from_slot);
        AppendNumber(out, prefix, "to_slot", entry.to_slot);
        AppendField(out, prefix, "from_steam_id", entry.from_steam_id);
        AppendField(out, prefix, "to_steam_id", entry.to_steam_id);
        AppendNumber(out, prefix, "amount", entry.amount);
        AppendField(out, prefix, "target_role", RoleName(entry.target_role));
        AppendField(out, prefix, "menu_nonce", entry.menu_nonce);
    }

    AppendNumber(out, "combat_stats_entries.count", draft.combat_stats_entries.size());
    for (std::size_t i = 0; i < draft.combat_stats_entries.size(); ++i) {
        const CombatStatsDraftEntry& entry = draft.combat_stats_entries[i];
        SetEntryPrefix(prefix, "combat_stats_entries", i);
        AppendField(out, prefix, "steam_id", entry.steam_id);
        AppendNumber(out, prefix, "kills", entry.kills);
        AppendNumber(out, prefix, "deaths", entry.deaths);
        AppendNumber(out, prefix, "headshots", entry.headshots);
        AppendNumber(out, prefix, "shots_fired", entry.shots_fired);
        AppendNumber(out, prefix, "shots_hit", entry.shots_hit);
        AppendNumber(out, prefix, "rounds_played", entry.rounds_played);
    }

    AppendNumber(out, "rival_stats_entries.count", draft.rival_stats_entries.size());
    for (std::size_t i = 0; i < draft.rival_stats_entries.size(); ++i) {
        const RivalStatsDraftEntry& entry = draft.rival_stats_entries[i];
        SetEntryPrefix(prefix, "rival_stats_entries", i);
        AppendField(out, prefix, "attacker_steam_id", entry.attacker_steam_id);
        AppendField(out, prefix, "victim_steam_id", entry.victim_steam_id);
        AppendNumber(out, prefix, "hits", entry.hits);
        AppendNumber(out, prefix, "damage", entry.damage);
        AppendNumber(out, prefix, "kills", entry.kills);
    }
}

}  // namespace

std::string BuildSettlementSigningPayload(const RoundSettlementDraft& draft) {
    std::string payload;
    TextWriter out(payload, EstimatedDraftTextBytes(draft));
    WriteSettlementSigningPayload(out, draft);
    out.Finish();
    return payload;
}

std::uint64_t Fnv1a64OfSettlementSigningPayload(std::uint64_t hash,
                                                const RoundSettlementDraft& draft) {
    Fnv1a64Writer out(hash);
    WriteSettlementSigningPayload(out, draft);
    return out.Hash();
}

std::optional<PluginSettlementHttpRequest> BuildPluginSettlementIntakeHttpRequest(
    const PluginSettlementIntakeRequest& intake_request, IntakeRequestTexts texts) {
    const RoundSettlementDraft& draft = intake_request.draft;
    if (intake_request.request_id.empty() || intake_request.received_at.empty() ||
        !IsRoundSettlementDraftComplete(draft) || draft.server_signature.empty()) {
        return std::nullopt;
    }
    const std::size_t estimated_bytes = EstimatedDraftTextBytes(draft);

    std::string body;
    if (texts == IntakeRequestTexts::BodyAndCanonical) {
        TextWriter body_out(body, estimated_bytes);
        body_out.Put('{');
        bool first = true;
        AppendJsonStringField(body_out, "requestId", intake_request.request_id, first);
        AppendJsonStringField(body_out, "receivedAt", intake_request.received_at, first);
        AppendJsonKey(body_out, "draft", first);
        AppendDraftJson(body_out, draft);
        body_out.Put('}');
        body_out.Finish();
    }

    std::string canonical;
    TextWriter canonical_out(canonical, estimated_bytes);
    canonical_out.Put('{');
    bool first = true;
    AppendJsonKey(canonical_out, "draft", first);
    AppendCanonicalDraftJson(canonical_out, draft);
    AppendJsonStringField(canonical_out, "receivedAt", intake_request.received_at, first);
    AppendJsonStringField(canonical_out, "requestId", intake_request.request_id, first);
    canonical_out.Put('}');
    canonical_out.Finish();

    PluginSettlementHttpRequest request;
    request.method = "POST";
    request.path = "/v1/plugin/settlements";
    request.content_type = "application/json";
    request.request_id = intake_request.request_id;
    request.server_id = draft.server_id;
    request.body = std::move(body);
    request.canonical_payload_body = std::move(canonical);
    return request;
}

}  // namespace ironpost
