// Player balance refresh: asks the backend for the chain profiles of the
// authenticated human players and stores them in the runtime.

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ironpost_plugin_envelope.h"
#include "ironpost_plugin_session.h"
#include "ironpost_telemetry.h"

namespace ironpost {

namespace {

constexpr char kRefreshFailed[] = "player_balance_refresh_failed";
constexpr char kRefreshed[] = "player_balances_refreshed";
constexpr char kRefreshInFlight[] = "player_balance_refresh_in_flight";
// Balance requests whose answer is still owed; older ones are forgotten.
constexpr std::size_t kMaxAwaitedBalanceRequests = 4;

// A pending placeholder names nobody yet; the backend cannot answer for it.
bool IsEligibleForBalances(const ConnectedPlayer& player) {
    return player.authenticated && !player.is_bot && !player.steam_id.empty() &&
           !IsPendingSteamId(player.steam_id);
}

PlayerBalanceRefreshResult NotLoaded() {
    PlayerBalanceRefreshResult result;
    result.attempted = true;
    result.reason = "plugin_session_not_loaded";
    result.errors.push_back("plugin session is not loaded");
    return result;
}

bool HoldsSlot(const PluginRuntime& runtime, std::int32_t slot, const std::string& steam_id) {
    const std::optional<ConnectedPlayer> player = runtime.FindPlayer(slot);
    return player && player->steam_id == steam_id;
}

// The text between the quotes of a string member, escapes left as written.
std::optional<std::string> RawStringMember(const std::string& object, const char* name) {
    const std::optional<std::string> value = ExtractObjectFieldValue(object, name);
    if (!value || value->size() < 2 || value->front() != '"' || value->back() != '"') {
        return std::nullopt;
    }
    return value->substr(1, value->size() - 2);
}

// The leading run of decimal digits of a number member, when it fits `limit`.
std::optional<std::uint64_t> UnsignedMember(const std::string& object, const char* name,
                                            std::uint64_t limit) {
    const std::optional<std::string> value = ExtractObjectFieldValue(object, name);
    if (!value) {
        return std::nullopt;
    }
    std::uint64_t number = 0;
    std::size_t digits = 0;
    for (const char c : *value) {
        if (c < '0' || c > '9') {
            break;
        }
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (number > (limit - digit) / 10) {
            return std::nullopt;  // too large to be a slot or a block
        }
        number = number * 10 + digit;
        ++digits;
    }
    if (digits == 0) {
        return std::nullopt;
    }
    return number;
}

void CopyStringMember(const std::string& object, const char* name, std::string& field) {
    if (std::optional<std::string> text = RawStringMember(object, name)) {
        field = std::move(*text);
    }
}

// One profile from one reply object, or nothing without a usable slot.
std::optional<PlayerChainProfile> ProfileFromObject(const std::string& object,
                                                    std::uint64_t now_ms) {
    const std::optional<std::uint64_t> slot = UnsignedMember(
        object, "slot", static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()));
    if (!slot || *slot == 0) {
        return std::nullopt;
    }
    PlayerChainProfile profile;
    profile.slot = static_cast<std::int32_t>(*slot);
    profile.pending_zolt_atomic = "0";
    profile.pending_zolt = "0";
    CopyStringMember(object, "steamHash", profile.steam_hash);
    const std::optional<std::string> linked = ExtractObjectFieldValue(object, "linked");
    profile.linked = linked && *linked == "true";
    CopyStringMember(object, "account", profile.account);
    CopyStringMember(object, "pendingZoltAtomic", profile.pending_zolt_atomic);
    CopyStringMember(object, "pendingZolt", profile.pending_zolt);
    CopyStringMember(object, "walletBalanceAtomic", profile.wallet_balance_atomic);
    CopyStringMember(object, "walletBalanceZolt", profile.wallet_balance_zolt);
    profile.source_block =
        UnsignedMember(object, "sourceBlock", std::numeric_limits<std::uint64_t>::max())
            .value_or(0);
    profile.fetched_at_ms = now_ms;
    profile.refresh_ok = true;
    profile.refresh_status = "ok";
    return profile;
}

}  // namespace

std::vector<PlayerChainProfile> ParsePlayerBalanceProfiles(const std::string& body,
                                                           std::uint64_t now_ms) {
    std::vector<PlayerChainProfile> profiles;
    if (body.size() > kMaxPlayerBalanceReplyBytes) {
        return profiles;
    }
    // Only the reply's own top-level member counts: a "players" text inside
    // an echoed string or a nested object is not the list.
    const std::optional<std::string> array = ExtractObjectFieldValue(body, "players");
    if (!array || array->empty() || array->front() != '[') {
        return profiles;
    }
    // Walk the array's top-level objects. Strings are skipped whole, so a
    // brace or bracket inside a value neither opens nor closes anything.
    const std::string& text = *array;
    constexpr std::size_t kNoObject = std::string::npos;
    std::size_t depth = 0;
    std::size_t object_start = kNoObject;
    bool in_string = false;
    bool escaped = false;
    for (std::size_t i = 1; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                in_string = false;
            }
            continue;
        }
        if (c == '"') {
            in_string = true;
        } else if (c == '{' || c == '[') {
            if (depth == 0 && c == '{') {
                object_start = i;
            }
            ++depth;
        } else if (c == '}' || c == ']') {
            if (depth == 0) {
                break;  // the end of the array (or a stray closer): stop
            }
            --depth;
            if (depth != 0) {
                continue;
            }
            const std::size_t start = object_start;
            object_start = kNoObject;
            if (c != '}' || start == kNoObject) {
                continue;  // a nested array, or an object closed by "]"
            }
            std::optional<PlayerChainProfile> profile =
                ProfileFromObject(text.substr(start, i - start + 1), now_ms);
            if (profile) {
                profiles.push_back(std::move(*profile));
                if (profiles.size() >= kMaxPlayerBalanceReplyProfiles) {
                    break;
                }
            }
        }
    }
    return profiles;
}

PlayerBalanceRefreshResult MetamodPluginSession::RefreshPlayerBalances(std::uint64_t now_ms) {
    if (!IsLoaded()) {
        return NotLoaded();
    }
    AdvanceClock(now_ms);
    PlayerBalanceRefreshResult result;
    result.attempted = true;
    PluginRuntime& runtime = adapter_.Runtime();
    std::vector<ConnectedPlayer> eligible;
    BalancePlayers players;
    for (ConnectedPlayer& player : runtime.ConnectedPlayers()) {
        if (IsEligibleForBalances(player)) {
            players.emplace_back(player.slot, player.steam_id);
            eligible.push_back(std::move(player));
        }
    }
    if (eligible.empty()) {
        result.reason = "no_authenticated_players";
        return result;
    }
    // One request per server at a time: players asking again and again
    // must not fill the worker queue the settlements need.
    const std::uint64_t limit = LateAnswerLimitMs();
    for (const AwaitedBalanceRequest& awaited : awaited_balances_) {
        if (now_ms - awaited.sent_ms < limit) {
            result.attempted = false;
            result.reason = kRefreshInFlight;
            return result;
        }
    }
    if (!signer_.HasKeyMaterial()) {
        return FailBalanceRefresh(players, now_ms, "server_signing_key_missing",
                                  "server signing key material is missing", result);
    }

    const std::uint64_t timestamp_ms = NextEnvelopeTimestampMs();
    const std::string request_id =
        "player-balances-" + config_.server_id + "-" + std::to_string(timestamp_ms);
    PluginEnvelopeV2Request envelope;
    envelope.server_id = config_.server_id;
    envelope.request_id = request_id;
    envelope.timestamp_ms = timestamp_ms;
    envelope.nonce = BuildDeterministicPluginNonce(request_id, timestamp_ms, "player-balances");
    envelope.payload_json = BuildPlayerBalancesPayload(now_ms, eligible, config_.server_id);
    const std::optional<std::string> body = BuildPluginEnvelopeV2Body(envelope, signer_);
    if (!body) {
        return FailBalanceRefresh(players, now_ms, "player_balance_signature_failed",
                                  "player balance signature failed", result);
    }

    const BackendHttpResponse reply = PostEnvelope("/v1/plugin/player-balances", request_id, *body);
    if (reply.status_code == 202 && reply.error.empty()) {
        // Queued by a worker; its answer arrives through
        // ApplyPlayerBalanceCompletion and ends this refresh.
        if (awaited_balances_.size() >= kMaxAwaitedBalanceRequests) {
            awaited_balances_.erase(awaited_balances_.begin());
        }
        awaited_balances_.push_back({request_id, std::move(players), now_ms});
        result.accepted = true;
        result.reason = kRefreshed;
        return result;
    }
    ApplyBalanceReply(players, reply, now_ms, result);
    return result;
}

PlayerBalanceRefreshResult MetamodPluginSession::ApplyPlayerBalanceCompletion(
    const BackendHttpPostRequest& request, const BackendHttpResponse& response,
    std::uint64_t now_ms) {
    if (!IsLoaded()) {
        return NotLoaded();
    }
    AdvanceClock(now_ms);
    PlayerBalanceRefreshResult result;
    result.attempted = true;
    const std::string request_id = FindRequestHeader(request, backend_options_.request_id_header);
    const auto awaited = std::find_if(
        awaited_balances_.begin(), awaited_balances_.end(),
        [&](const AwaitedBalanceRequest& entry) { return entry.request_id == request_id; });
    if (request_id.empty() || awaited == awaited_balances_.end()) {
        Log("player balance answer " + (request_id.empty() ? "without a request id" : request_id) +
            " dropped: no balance request awaits it");
        result.reason = "player_balance_answer_not_awaited";
        return result;
    }
    const BalancePlayers players = std::move(awaited->players);
    awaited_balances_.erase(awaited);
    ApplyBalanceReply(players, response, now_ms, result);
    return result;
}

PlayerBalanceRefreshResult& MetamodPluginSession::FailBalanceRefresh(
    const BalancePlayers& players, std::uint64_t now_ms, const char* reason, std::string error,
    PlayerBalanceRefreshResult& result) {
    result.reason = reason;
    result.errors.push_back(std::move(error));
    // Written into the profiles of the players still seated, so the displays
    // can tell a failed refresh from one never made.
    for (const auto& [slot, steam_id] : players) {
        if (HoldsSlot(adapter_.Runtime(), slot, steam_id)) {
            adapter_.Runtime().MarkPlayerChainProfileRefreshFailure(slot, now_ms, reason);
        }
    }
    return result;
}

void MetamodPluginSession::ApplyBalanceReply(const BalancePlayers& players,
                                             const BackendHttpResponse& reply, std::uint64_t now_ms,
                                             PlayerBalanceRefreshResult& result) {
    if (reply.status_code < 200 || reply.status_code > 299 || !reply.error.empty()) {
        std::string error =
            "player balance refresh failed: status=" + std::to_string(reply.status_code);
        if (!reply.error.empty()) {
            error += " error=" + reply.error;
        }
        FailBalanceRefresh(players, now_ms, kRefreshFailed, std::move(error), result);
        return;
    }
    if (reply.body.size() > kMaxPlayerBalanceReplyBytes) {
        FailBalanceRefresh(
            players, now_ms, kRefreshFailed,
            "player balance refresh failed: status=" + std::to_string(reply.status_code) +
                " error=player balance reply is too large",
            result);
        return;
    }
    // The reply names slots, not players: a profile lands only on a slot the
    // request asked about and that still holds the player asked about.
    PluginRuntime& runtime = adapter_.Runtime();
    for (PlayerChainProfile& profile : ParsePlayerBalanceProfiles(reply.body, now_ms)) {
        const auto asked = std::find_if(players.begin(), players.end(), [&](const auto& player) {
            return player.first == profile.slot;
        });
        if (asked != players.end() && HoldsSlot(runtime, asked->first, asked->second)) {
            runtime.UpsertPlayerChainProfile(profile);
            result.profiles.push_back(std::move(profile));
        }
    }
    result.accepted = true;
    result.reason = kRefreshed;
}

PlayerBalanceRefreshResult MetamodPluginSession::RefreshPlayerBalancesIfStale(
    std::int32_t slot, std::uint64_t now_ms) {
    PlayerBalanceRefreshResult result;
    if (!IsLoaded()) {
        result.reason = "plugin_session_not_loaded";
        return result;
    }
    AdvanceClock(now_ms);
    if (!adapter_.Runtime().PlayerChainProfileStale(slot, now_ms,
                                                    config_.profile_refresh_stale_seconds)) {
        result.accepted = true;
        result.reason = "player_balance_cache_fresh";
        return result;
    }
    // A player's own refreshes are spaced out, whatever the cache says.
    player_refresh_ms_.erase(std::remove_if(player_refresh_ms_.begin(), player_refresh_ms_.end(),
                                            [&](const auto& entry) {
                                                return now_ms - entry.second >=
                                                       kMinPlayerBalanceRefreshIntervalMs;
                                            }),
                             player_refresh_ms_.end());
    const auto recent = std::find_if(player_refresh_ms_.begin(), player_refresh_ms_.end(),
                                     [&](const auto& entry) { return entry.first == slot; });
    if (recent != player_refresh_ms_.end()) {
        result.reason = "player_balance_refresh_throttled";
        return result;
    }
    if (player_refresh_ms_.size() >= kMaxFollowedSettlements) {
        player_refresh_ms_.erase(player_refresh_ms_.begin());
    }
    player_refresh_ms_.emplace_back(slot, now_ms);
    return RefreshPlayerBalances(now_ms);
}

}  // namespace ironpost
