// The two textual forms of a round's settlement: the canonical signing payload
// and the intake request (backend body plus canonical JSON). Every byte here is
// checked by the backend, so member orders and renderings are fixed.

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ironpost_crypto.h"

namespace ironpost {

namespace {

constexpr char kLowerHexDigits[] = "0123456789abcdef";

// A round with a full server carries thousands of entries, so every text here
// is appended in place: no temporary string per field, key or number.

// The decimal digits of `number` in `digits`; returns their count.
template <typename Number>
std::size_t Decimal(Number number, char (&digits)[24]) {
    return static_cast<std::size_t>(std::to_chars(digits, digits + sizeof digits, number).ptr -
                                    digits);
}

template <typename Number>
void AppendDecimal(std::string& out, Number number) {
    char digits[24];
    out.append(digits, Decimal(number, digits));
}

// The quoted JSON string of `text` appended to `out` (see JsonString).
void AppendJsonString(std::string& out, std::string_view text) {
    out += '"';
    std::size_t plain_from = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x20 && byte != '"' && byte != '\\') {
            continue;
        }
        out.append(text.data() + plain_from, i - plain_from);
        plain_from = i + 1;
        switch (byte) {
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            case 0x08:
                out += "\\b";
                break;
            case 0x09:
                out += "\\t";
                break;
            case 0x0a:
                out += "\\n";
                break;
            case 0x0c:
                out += "\\f";
                break;
            case 0x0d:
                out += "\\r";
                break;
            default:
                out += "\\u00";
                out += kLowerHexDigits[byte >> 4];
                out += kLowerHexDigits[byte & 0x0f];
                break;
        }
    }
    out.append(text.data() + plain_from, text.size() - plain_from);
    out += '"';
}

// ---------------------------------------------------------------------------
// Canonical signing payload: one "key=<byte length>:<value>\n" line per field.
// The length prefix lets values carry any byte, line feeds included, without
// making two drafts sign the same text. Keys of list entries are the entry's
// prefix ("reward_entries.3.") followed by the field name.

void AppendField(std::string& out, std::string_view prefix, std::string_view key,
                 std::string_view value) {
    out += prefix;
    out += key;
    out += '=';
    AppendDecimal(out, value.size());
    out += ':';
    out += value;
    out += '\n';
}

void AppendField(std::string& out, std::string_view key, std::string_view value) {
    AppendField(out, {}, key, value);
}

template <typename Number>
void AppendNumber(std::string& out, std::string_view prefix, std::string_view key, Number number) {
    char digits[24];
    AppendField(out, prefix, key, std::string_view(digits, Decimal(number, digits)));
}

template <typename Number>
void AppendNumber(std::string& out, std::string_view key, Number number) {
    AppendNumber(out, {}, key, number);
}

// Makes `prefix` the key prefix of entry `index` of `list`: "list.index.".
void SetEntryPrefix(std::string& prefix, std::string_view list, std::size_t index) {
    prefix.assign(list);
    prefix += '.';
    AppendDecimal(prefix, index);
    prefix += '.';
}

// ---------------------------------------------------------------------------
// Compact JSON members. `first` is true until the object's first member is written.

// Member names are this file's own identifiers, which need no escaping.
void AppendJsonKey(std::string& out, std::string_view key, bool& first) {
    if (!first) {
        out += ',';
    }
    first = false;
    out += '"';
    out += key;
    out += "\":";
}

void AppendJsonStringField(std::string& out, std::string_view key, std::string_view value,
                           bool& first) {
    AppendJsonKey(out, key, first);
    AppendJsonString(out, value);
}

template <typename Number>
void AppendJsonNumberField(std::string& out, std::string_view key, Number number, bool& first) {
    AppendJsonKey(out, key, first);
    AppendDecimal(out, number);
}

// An amount travels as the decimal text of the number, quoted.
void AppendJsonAmountField(std::string& out, std::string_view key, std::uint64_t amount,
                           bool& first) {
    char digits[24];
    AppendJsonStringField(out, key, std::string_view(digits, Decimal(amount, digits)), first);
}

// Appends each entry, rendered by `render` (which writes the object's
// members), as one compact JSON array member named `key`.
template <typename Entry, typename Render>
void AppendJsonArrayField(std::string& out, std::string_view key, const std::vector<Entry>& entries,
                          bool& first, Render render) {
    AppendJsonKey(out, key, first);
    out += '[';
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (i > 0) {
            out += ',';
        }
        out += '{';
        bool first_member = true;
        render(out, entries[i], first_member);
        out += '}';
    }
    out += ']';
}

// A generous size for a draft's texts, so that they are allocated once.
std::size_t EstimatedDraftTextBytes(const RoundSettlementDraft& draft) {
    return 1024 + 320 * (draft.reward_entries.size() + draft.weapon_spend_entries.size() +
                         draft.zolt_transfer_entries.size() + draft.combat_stats_entries.size() +
                         draft.rival_stats_entries.size());
}

// Entries as the backend body carries them.

void AppendRewardEntry(std::string& out, const RewardDraftEntry& entry, bool& first) {
    AppendJsonNumberField(out, "slot", entry.slot, first);
    AppendJsonStringField(out, "steamId", entry.steam_id, first);
    AppendJsonNumberField(out, "kills", entry.kills, first);
    AppendJsonNumberField(out, "validDamage", entry.valid_damage, first);
    AppendJsonAmountField(out, "rewardZolt", entry.reward_zolt, first);
}

void AppendWeaponSpendEntry(std::string& out, const WeaponSpendDraftEntry& entry, bool& first) {
    AppendJsonNumberField(out, "slot", entry.slot, first);
    AppendJsonStringField(out, "steamId", entry.steam_id, first);
    AppendJsonStringField(out, "weaponId", entry.weapon_id, first);
    AppendJsonAmountField(out, "zoltCost", entry.zolt_cost, first);
    AppendJsonNumberField(out, "roundNumber", entry.round_number, first);
}

void AppendTransferEntry(std::string& out, const TransferDraftEntry& entry, bool& first) {
    AppendJsonNumberField(out, "intentId", entry.intent_id, first);
    AppendJsonStringField(out, "fromSteamId", entry.from_steam_id, first);
    AppendJsonStringField(out, "toSteamId", entry.to_steam_id, first);
    AppendJsonAmountField(out, "amount", entry.amount, first);
    AppendJsonNumberField(out, "fromUserid", entry.from_slot, first);
    AppendJsonNumberField(out, "toUserid", entry.to_slot, first);
    AppendJsonStringField(out, "targetRole", RoleName(entry.target_role), first);
    AppendJsonStringField(out, "menuNonce", entry.menu_nonce, first);
}

void AppendCombatStatsEntry(std::string& out, const CombatStatsDraftEntry& entry, bool& first) {
    AppendJsonStringField(out, "steamId", entry.steam_id, first);
    AppendJsonNumberField(out, "kills", entry.kills, first);
    AppendJsonNumberField(out, "deaths", entry.deaths, first);
    AppendJsonNumberField(out, "headshots", entry.headshots, first);
    AppendJsonNumberField(out, "shotsFired", entry.shots_fired, first);
    AppendJsonNumberField(out, "shotsHit", entry.shots_hit, first);
    AppendJsonNumberField(out, "roundsPlayed", entry.rounds_played, first);
}

void AppendRivalStatsEntry(std::string& out, const RivalStatsDraftEntry& entry, bool& first) {
    AppendJsonStringField(out, "attackerSteamId", entry.attacker_steam_id, first);
    AppendJsonStringField(out, "victimSteamId", entry.victim_steam_id, first);
    AppendJsonNumberField(out, "hits", entry.hits, first);
    AppendJsonNumberField(out, "damage", entry.damage, first);
    AppendJsonNumberField(out, "kills", entry.kills, first);
}

// Entries in the canonical JSON: the same values, members in the fixed
// canonical order the backend hashes.

void AppendCanonicalRewardEntry(std::string& out, const RewardDraftEntry& entry, bool& first) {
    AppendJsonNumberField(out, "kills", entry.kills, first);
    AppendJsonAmountField(out, "rewardZolt", entry.reward_zolt, first);
    AppendJsonNumberField(out, "slot", entry.slot, first);
    AppendJsonStringField(out, "steamId", entry.steam_id, first);
    AppendJsonNumberField(out, "validDamage", entry.valid_damage, first);
}

void AppendCanonicalWeaponSpendEntry(std::string& out, const WeaponSpendDraftEntry& entry,
                                     bool& first) {
    AppendJsonAmountField(out, "zoltCost", entry.zolt_cost, first);
    AppendJsonNumberField(out, "roundNumber", entry.round_number, first);
    AppendJsonNumberField(out, "slot", entry.slot, first);
    AppendJsonStringField(out, "steamId", entry.steam_id, first);
    AppendJsonStringField(out, "weaponId", entry.weapon_id, first);
}

void AppendCanonicalTransferEntry(std::string& out, const TransferDraftEntry& entry, bool& first) {
    AppendJsonAmountField(out, "amount", entry.amount, first);
    AppendJsonStringField(out, "fromSteamId", entry.from_steam_id, first);
    AppendJsonNumberField(out, "fromUserid", entry.from_slot, first);
    AppendJsonNumberField(out, "intentId", entry.intent_id, first);
    AppendJsonStringField(out, "menuNonce", entry.menu_nonce, first);
    AppendJsonStringField(out, "targetRole", RoleName(entry.target_role), first);
    AppendJsonStringField(out, "toSteamId", entry.to_steam_id, first);
    AppendJsonNumberField(out, "toUserid", entry.to_slot, first);
}

void AppendCanonicalCombatStatsEntry(std::string& out, const CombatStatsDraftEntry& entry,
                                     bool& first) {
    AppendJsonNumberField(out, "deaths", entry.deaths, first);
    AppendJsonNumberField(out, "headshots", entry.headshots, first);
    AppendJsonNumberField(out, "kills", entry.kills, first);
    AppendJsonNumberField(out, "roundsPlayed", entry.rounds_played, first);
    AppendJsonNumberField(out, "shotsFired", entry.shots_fired, first);
    AppendJsonNumberField(out, "shotsHit", entry.shots_hit, first);
    AppendJsonStringField(out, "steamId", entry.steam_id, first);
}

void AppendCanonicalRivalStatsEntry(std::string& out, const RivalStatsDraftEntry& entry,
                                    bool& first) {
    AppendJsonStringField(out, "attackerSteamId", entry.attacker_steam_id, first);
    AppendJsonNumberField(out, "damage", entry.damage, first);
    AppendJsonNumberField(out, "hits", entry.hits, first);
    AppendJsonNumberField(out, "kills", entry.kills, first);
    AppendJsonStringField(out, "victimSteamId", entry.victim_steam_id, first);
}

void AppendDraftJson(std::string& out, const RoundSettlementDraft& draft) {
    out += '{';
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
    out += '}';
}

// The member order is the backend's canonical order, which is deliberately not
// plain alphabetical ("configHash" leads, transfers come third).
void AppendCanonicalDraftJson(std::string& out, const RoundSettlementDraft& draft) {
    out += '{';
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
    out += '}';
}

}  // namespace

std::string JsonString(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 2);
    AppendJsonString(out, text);
    return out;
}

std::string BuildSettlementSigningPayload(const RoundSettlementDraft& draft) {
    std::string out;
    out.reserve(EstimatedDraftTextBytes(draft));
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
    return out;
}

std::optional<PluginSettlementHttpRequest> BuildPluginSettlementIntakeHttpRequest(
    const PluginSettlementIntakeRequest& intake_request) {
    const RoundSettlementDraft& draft = intake_request.draft;
    if (intake_request.request_id.empty() || intake_request.received_at.empty() ||
        !IsRoundSettlementDraftComplete(draft) || draft.server_signature.empty()) {
        return std::nullopt;
    }
    const std::size_t estimated_bytes = EstimatedDraftTextBytes(draft);

    std::string body;
    body.reserve(estimated_bytes);
    body += '{';
    bool first = true;
    AppendJsonStringField(body, "requestId", intake_request.request_id, first);
    AppendJsonStringField(body, "receivedAt", intake_request.received_at, first);
    AppendJsonKey(body, "draft", first);
    AppendDraftJson(body, draft);
    body += '}';

    std::string canonical;
    canonical.reserve(estimated_bytes);
    canonical += '{';
    first = true;
    AppendJsonKey(canonical, "draft", first);
    AppendCanonicalDraftJson(canonical, draft);
    AppendJsonStringField(canonical, "receivedAt", intake_request.received_at, first);
    AppendJsonStringField(canonical, "requestId", intake_request.request_id, first);
    canonical += '}';

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
