// The two textual forms of a round's settlement: the canonical signing payload
// and the intake request (backend body plus canonical JSON). Every byte here is
// checked by the backend, so member orders and renderings are fixed.

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "ironpost_crypto.h"

namespace ironpost {

namespace {

constexpr char kLowerHexDigits[] = "0123456789abcdef";

// ---------------------------------------------------------------------------
// Canonical signing payload: one "key=<byte length>:<value>\n" line per field.
// The length prefix lets values carry any byte, line feeds included, without
// making two drafts sign the same text.

void AppendField(std::string& out, const std::string& key, const std::string& value) {
    out += key;
    out += '=';
    out += std::to_string(value.size());
    out += ':';
    out += value;
    out += '\n';
}

template <typename Number>
void AppendNumber(std::string& out, const std::string& key, Number number) {
    AppendField(out, key, std::to_string(number));
}

std::string EntryPrefix(const char* list, std::size_t index) {
    return std::string(list) + "." + std::to_string(index) + ".";
}

// ---------------------------------------------------------------------------
// Compact JSON members. `first` is true until the object's first member is written.

void AppendJsonStringField(std::string& out, const char* key, const std::string& value,
                           bool& first) {
    if (!first) {
        out += ',';
    }
    first = false;
    out += JsonString(key);
    out += ':';
    out += JsonString(value);
}

template <typename Number>
void AppendJsonNumberField(std::string& out, const char* key, Number number, bool& first) {
    if (!first) {
        out += ',';
    }
    first = false;
    out += JsonString(key);
    out += ':';
    out += std::to_string(number);
}

// `json` is already a JSON value (an array or object) and goes in unchanged.
void AppendJsonRawField(std::string& out, const char* key, const std::string& json, bool& first) {
    if (!first) {
        out += ',';
    }
    first = false;
    out += JsonString(key);
    out += ':';
    out += json;
}

// Renders each entry with `render` (which writes the object's members) into
// one compact JSON array.
template <typename Entry, typename Render>
std::string JsonArray(const std::vector<Entry>& entries, Render render) {
    std::string out = "[";
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (i > 0) {
            out += ',';
        }
        out += '{';
        bool first = true;
        render(out, entries[i], first);
        out += '}';
    }
    out += ']';
    return out;
}

// Entry lists as the backend body carries them.

std::string BuildRewardEntriesJson(const std::vector<RewardDraftEntry>& entries) {
    return JsonArray(entries, [](std::string& out, const RewardDraftEntry& entry, bool& first) {
        AppendJsonNumberField(out, "slot", entry.slot, first);
        AppendJsonStringField(out, "steamId", entry.steam_id, first);
        AppendJsonNumberField(out, "kills", entry.kills, first);
        AppendJsonNumberField(out, "validDamage", entry.valid_damage, first);
        AppendJsonStringField(out, "rewardZolt", std::to_string(entry.reward_zolt), first);
    });
}

std::string BuildWeaponSpendEntriesJson(const std::vector<WeaponSpendDraftEntry>& entries) {
    return JsonArray(
        entries, [](std::string& out, const WeaponSpendDraftEntry& entry, bool& first) {
            AppendJsonNumberField(out, "slot", entry.slot, first);
            AppendJsonStringField(out, "steamId", entry.steam_id, first);
            AppendJsonStringField(out, "weaponId", entry.weapon_id, first);
            AppendJsonStringField(out, "zoltCost", std::to_string(entry.zolt_cost), first);
            AppendJsonNumberField(out, "roundNumber", entry.round_number, first);
        });
}

std::string BuildTransferEntriesJson(const std::vector<TransferDraftEntry>& entries) {
    return JsonArray(entries, [](std::string& out, const TransferDraftEntry& entry, bool& first) {
        AppendJsonNumberField(out, "intentId", entry.intent_id, first);
        AppendJsonStringField(out, "fromSteamId", entry.from_steam_id, first);
        AppendJsonStringField(out, "toSteamId", entry.to_steam_id, first);
        AppendJsonStringField(out, "amount", std::to_string(entry.amount), first);
        AppendJsonNumberField(out, "fromUserid", entry.from_slot, first);
        AppendJsonNumberField(out, "toUserid", entry.to_slot, first);
        AppendJsonStringField(out, "targetRole", RoleName(entry.target_role), first);
        AppendJsonStringField(out, "menuNonce", entry.menu_nonce, first);
    });
}

std::string BuildCombatStatsEntriesJson(const std::vector<CombatStatsDraftEntry>& entries) {
    return JsonArray(entries,
                     [](std::string& out, const CombatStatsDraftEntry& entry, bool& first) {
                         AppendJsonStringField(out, "steamId", entry.steam_id, first);
                         AppendJsonNumberField(out, "kills", entry.kills, first);
                         AppendJsonNumberField(out, "deaths", entry.deaths, first);
                         AppendJsonNumberField(out, "headshots", entry.headshots, first);
                         AppendJsonNumberField(out, "shotsFired", entry.shots_fired, first);
                         AppendJsonNumberField(out, "shotsHit", entry.shots_hit, first);
                         AppendJsonNumberField(out, "roundsPlayed", entry.rounds_played, first);
                     });
}

std::string BuildRivalStatsEntriesJson(const std::vector<RivalStatsDraftEntry>& entries) {
    return JsonArray(entries, [](std::string& out, const RivalStatsDraftEntry& entry, bool& first) {
        AppendJsonStringField(out, "attackerSteamId", entry.attacker_steam_id, first);
        AppendJsonStringField(out, "victimSteamId", entry.victim_steam_id, first);
        AppendJsonNumberField(out, "hits", entry.hits, first);
        AppendJsonNumberField(out, "damage", entry.damage, first);
        AppendJsonNumberField(out, "kills", entry.kills, first);
    });
}

// Entry lists in the canonical JSON: the same values, members in the fixed
// canonical order the backend hashes.

std::string BuildCanonicalRewardEntriesJson(const std::vector<RewardDraftEntry>& entries) {
    return JsonArray(entries, [](std::string& out, const RewardDraftEntry& entry, bool& first) {
        AppendJsonNumberField(out, "kills", entry.kills, first);
        AppendJsonStringField(out, "rewardZolt", std::to_string(entry.reward_zolt), first);
        AppendJsonNumberField(out, "slot", entry.slot, first);
        AppendJsonStringField(out, "steamId", entry.steam_id, first);
        AppendJsonNumberField(out, "validDamage", entry.valid_damage, first);
    });
}

std::string BuildCanonicalWeaponSpendEntriesJson(
    const std::vector<WeaponSpendDraftEntry>& entries) {
    return JsonArray(
        entries, [](std::string& out, const WeaponSpendDraftEntry& entry, bool& first) {
            AppendJsonStringField(out, "zoltCost", std::to_string(entry.zolt_cost), first);
            AppendJsonNumberField(out, "roundNumber", entry.round_number, first);
            AppendJsonNumberField(out, "slot", entry.slot, first);
            AppendJsonStringField(out, "steamId", entry.steam_id, first);
            AppendJsonStringField(out, "weaponId", entry.weapon_id, first);
        });
}

std::string BuildCanonicalTransferEntriesJson(const std::vector<TransferDraftEntry>& entries) {
    return JsonArray(entries, [](std::string& out, const TransferDraftEntry& entry, bool& first) {
        AppendJsonStringField(out, "amount", std::to_string(entry.amount), first);
        AppendJsonStringField(out, "fromSteamId", entry.from_steam_id, first);
        AppendJsonNumberField(out, "fromUserid", entry.from_slot, first);
        AppendJsonNumberField(out, "intentId", entry.intent_id, first);
        AppendJsonStringField(out, "menuNonce", entry.menu_nonce, first);
        AppendJsonStringField(out, "targetRole", RoleName(entry.target_role), first);
        AppendJsonStringField(out, "toSteamId", entry.to_steam_id, first);
        AppendJsonNumberField(out, "toUserid", entry.to_slot, first);
    });
}

std::string BuildCanonicalCombatStatsEntriesJson(
    const std::vector<CombatStatsDraftEntry>& entries) {
    return JsonArray(entries,
                     [](std::string& out, const CombatStatsDraftEntry& entry, bool& first) {
                         AppendJsonNumberField(out, "deaths", entry.deaths, first);
                         AppendJsonNumberField(out, "headshots", entry.headshots, first);
                         AppendJsonNumberField(out, "kills", entry.kills, first);
                         AppendJsonNumberField(out, "roundsPlayed", entry.rounds_played, first);
                         AppendJsonNumberField(out, "shotsFired", entry.shots_fired, first);
                         AppendJsonNumberField(out, "shotsHit", entry.shots_hit, first);
                         AppendJsonStringField(out, "steamId", entry.steam_id, first);
                     });
}

std::string BuildCanonicalRivalStatsEntriesJson(const std::vector<RivalStatsDraftEntry>& entries) {
    return JsonArray(entries, [](std::string& out, const RivalStatsDraftEntry& entry, bool& first) {
        AppendJsonStringField(out, "attackerSteamId", entry.attacker_steam_id, first);
        AppendJsonNumberField(out, "damage", entry.damage, first);
        AppendJsonNumberField(out, "hits", entry.hits, first);
        AppendJsonNumberField(out, "kills", entry.kills, first);
        AppendJsonStringField(out, "victimSteamId", entry.victim_steam_id, first);
    });
}

std::string BuildDraftJson(const RoundSettlementDraft& draft) {
    std::string out = "{";
    bool first = true;
    AppendJsonStringField(out, "serverId", draft.server_id, first);
    AppendJsonStringField(out, "sessionId", draft.session_id, first);
    AppendJsonStringField(out, "mapNameHash", draft.map_name_hash, first);
    AppendJsonNumberField(out, "roundNumber", draft.round_number, first);
    AppendJsonStringField(out, "previousRoundHash", draft.previous_round_hash, first);
    AppendJsonStringField(out, "rosterRoot", draft.roster_root, first);
    AppendJsonRawField(out, "rewardEntries", BuildRewardEntriesJson(draft.reward_entries), first);
    AppendJsonRawField(out, "weaponSpendEntries",
                       BuildWeaponSpendEntriesJson(draft.weapon_spend_entries), first);
    AppendJsonRawField(out, "zoltTransferEntries",
                       BuildTransferEntriesJson(draft.zolt_transfer_entries), first);
    AppendJsonRawField(out, "combatStatsEntries",
                       BuildCombatStatsEntriesJson(draft.combat_stats_entries), first);
    AppendJsonRawField(out, "rivalStatsEntries",
                       BuildRivalStatsEntriesJson(draft.rival_stats_entries), first);
    AppendJsonStringField(out, "configHash", draft.config_hash, first);
    AppendJsonStringField(out, "serverSignature", draft.server_signature, first);
    out += '}';
    return out;
}

// The member order is the backend's canonical order, which is deliberately not
// plain alphabetical ("configHash" leads, transfers come third).
std::string BuildCanonicalDraftJson(const RoundSettlementDraft& draft) {
    std::string out = "{";
    bool first = true;
    AppendJsonStringField(out, "configHash", draft.config_hash, first);
    AppendJsonRawField(out, "combatStatsEntries",
                       BuildCanonicalCombatStatsEntriesJson(draft.combat_stats_entries), first);
    AppendJsonRawField(out, "zoltTransferEntries",
                       BuildCanonicalTransferEntriesJson(draft.zolt_transfer_entries), first);
    AppendJsonStringField(out, "mapNameHash", draft.map_name_hash, first);
    AppendJsonStringField(out, "previousRoundHash", draft.previous_round_hash, first);
    AppendJsonRawField(out, "rewardEntries", BuildCanonicalRewardEntriesJson(draft.reward_entries),
                       first);
    AppendJsonRawField(out, "rivalStatsEntries",
                       BuildCanonicalRivalStatsEntriesJson(draft.rival_stats_entries), first);
    AppendJsonStringField(out, "rosterRoot", draft.roster_root, first);
    AppendJsonNumberField(out, "roundNumber", draft.round_number, first);
    AppendJsonStringField(out, "serverId", draft.server_id, first);
    AppendJsonStringField(out, "serverSignature", draft.server_signature, first);
    AppendJsonStringField(out, "sessionId", draft.session_id, first);
    AppendJsonRawField(out, "weaponSpendEntries",
                       BuildCanonicalWeaponSpendEntriesJson(draft.weapon_spend_entries), first);
    out += '}';
    return out;
}

}  // namespace

std::string JsonString(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (const char ch : text) {
        const auto byte = static_cast<unsigned char>(ch);
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
                if (byte < 0x20) {
                    out += "\\u00";
                    out += kLowerHexDigits[byte >> 4];
                    out += kLowerHexDigits[byte & 0x0f];
                } else {
                    out += ch;
                }
                break;
        }
    }
    out += '"';
    return out;
}

std::string BuildSettlementSigningPayload(const RoundSettlementDraft& draft) {
    std::string out;
    AppendField(out, "domain", "ironpost:settlement:v1");
    AppendField(out, "server_id", draft.server_id);
    AppendField(out, "session_id", draft.session_id);
    AppendField(out, "map_name_hash", draft.map_name_hash);
    AppendNumber(out, "round_number", draft.round_number);
    AppendField(out, "previous_round_hash", draft.previous_round_hash);
    AppendField(out, "roster_root", draft.roster_root);
    AppendField(out, "config_hash", draft.config_hash);

    AppendNumber(out, "reward_entries.count", draft.reward_entries.size());
    for (std::size_t i = 0; i < draft.reward_entries.size(); ++i) {
        const RewardDraftEntry& entry = draft.reward_entries[i];
        const std::string prefix = EntryPrefix("reward_entries", i);
        AppendNumber(out, prefix + "slot", entry.slot);
        AppendField(out, prefix + "steam_id", entry.steam_id);
        AppendNumber(out, prefix + "kills", entry.kills);
        AppendNumber(out, prefix + "valid_damage", entry.valid_damage);
        AppendNumber(out, prefix + "reward_zolt", entry.reward_zolt);
    }

    AppendNumber(out, "weapon_spend_entries.count", draft.weapon_spend_entries.size());
    for (std::size_t i = 0; i < draft.weapon_spend_entries.size(); ++i) {
        const WeaponSpendDraftEntry& entry = draft.weapon_spend_entries[i];
        const std::string prefix = EntryPrefix("weapon_spend_entries", i);
        AppendNumber(out, prefix + "slot", entry.slot);
        AppendField(out, prefix + "steam_id", entry.steam_id);
        AppendField(out, prefix + "weapon_id", entry.weapon_id);
        AppendNumber(out, prefix + "zolt_cost", entry.zolt_cost);
        AppendNumber(out, prefix + "round_number", entry.round_number);
    }

    AppendNumber(out, "zolt_transfer_entries.count", draft.zolt_transfer_entries.size());
    for (std::size_t i = 0; i < draft.zolt_transfer_entries.size(); ++i) {
        const TransferDraftEntry& entry = draft.zolt_transfer_entries[i];
        const std::string prefix = EntryPrefix("zolt_transfer_entries", i);
        AppendNumber(out, prefix + "intent_id", entry.intent_id);
        AppendNumber(out, prefix + "from_slot", entry.from_slot);
        AppendNumber(out, prefix + "to_slot", entry.to_slot);
        AppendField(out, prefix + "from_steam_id", entry.from_steam_id);
        AppendField(out, prefix + "to_steam_id", entry.to_steam_id);
        AppendNumber(out, prefix + "amount", entry.amount);
        AppendField(out, prefix + "target_role", RoleName(entry.target_role));
        AppendField(out, prefix + "menu_nonce", entry.menu_nonce);
    }

    AppendNumber(out, "combat_stats_entries.count", draft.combat_stats_entries.size());
    for (std::size_t i = 0; i < draft.combat_stats_entries.size(); ++i) {
        const CombatStatsDraftEntry& entry = draft.combat_stats_entries[i];
        const std::string prefix = EntryPrefix("combat_stats_entries", i);
        AppendField(out, prefix + "steam_id", entry.steam_id);
        AppendNumber(out, prefix + "kills", entry.kills);
        AppendNumber(out, prefix + "deaths", entry.deaths);
        AppendNumber(out, prefix + "headshots", entry.headshots);
        AppendNumber(out, prefix + "shots_fired", entry.shots_fired);
        AppendNumber(out, prefix + "shots_hit", entry.shots_hit);
        AppendNumber(out, prefix + "rounds_played", entry.rounds_played);
    }

    AppendNumber(out, "rival_stats_entries.count", draft.rival_stats_entries.size());
    for (std::size_t i = 0; i < draft.rival_stats_entries.size(); ++i) {
        const RivalStatsDraftEntry& entry = draft.rival_stats_entries[i];
        const std::string prefix = EntryPrefix("rival_stats_entries", i);
        AppendField(out, prefix + "attacker_steam_id", entry.attacker_steam_id);
        AppendField(out, prefix + "victim_steam_id", entry.victim_steam_id);
        AppendNumber(out, prefix + "hits", entry.hits);
        AppendNumber(out, prefix + "damage", entry.damage);
        AppendNumber(out, prefix + "kills", entry.kills);
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

    std::string body = "{";
    bool first = true;
    AppendJsonStringField(body, "requestId", intake_request.request_id, first);
    AppendJsonStringField(body, "receivedAt", intake_request.received_at, first);
    AppendJsonRawField(body, "draft", BuildDraftJson(draft), first);
    body += '}';

    std::string canonical = "{";
    first = true;
    AppendJsonRawField(canonical, "draft", BuildCanonicalDraftJson(draft), first);
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
