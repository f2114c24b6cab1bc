// Telemetry bodies and the signed request they travel in. Every body is one
// compact JSON object with its members in a fixed order; the development
// backend re-renders each one and compares bytes, so the order and the
// escaping here are part of the protocol.

#include "ironpost_telemetry.h"

#include <cstddef>
#include <iterator>
#include <string>
#include <utility>

#include "ironpost_plugin_envelope.h"

namespace ironpost {

namespace {

constexpr char kReplacementCharacter[] = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// The length of the well-formed UTF-8 sequence that starts with the non-ASCII
// byte at `at`, or 0 with `bad` set to the length of its maximal ill-formed
// subpart (the lead byte and the continuation bytes that still fitted).
std::size_t WellFormedSequenceLength(const std::string& text, std::size_t at, std::size_t& bad) {
    const auto lead = static_cast<unsigned char>(text[at]);
    std::size_t continuation_bytes = 0;
    unsigned char first_low = 0x80;
    unsigned char first_high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        continuation_bytes = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        continuation_bytes = 2;
        first_low = lead == 0xE0 ? 0xA0 : 0x80;   // no overlong forms
        first_high = lead == 0xED ? 0x9F : 0xBF;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        continuation_bytes = 3;
        first_low = lead == 0xF0 ? 0x90 : 0x80;   // no overlong forms
        first_high = lead == 0xF4 ? 0x8F : 0xBF;  // nothing above U+10FFFF
    } else {
        bad = 1;  // a continuation byte, C0, C1 or F5..FF cannot start anything
        return 0;
    }
    std::size_t length = 1;
    while (length <= continuation_bytes && at + length < text.size()) {
        const auto byte = static_cast<unsigned char>(text[at + length]);
        const unsigned char low = length == 1 ? first_low : 0x80;
        const unsigned char high = length == 1 ? first_high : 0xBF;
        if (byte < low || byte > high) {
            break;
        }
        ++length;
    }
    if (length == continuation_bytes + 1) {
        return length;
    }
    bad = length;
    return 0;
}

void AppendString(std::string& out, const std::string& text) {
    out += '"';
    out += TelemetryJsonEscape(text);
    out += '"';
}

void AppendBool(std::string& out, bool value) {
    out += value ? "true" : "false";
}

// One element of the round-events array.
void AppendEvent(std::string& out, const std::string& detail, std::int32_t peer_slot,
                 std::uint64_t sequence, std::int32_t slot, const std::string& type,
                 std::uint64_t value) {
    out += "{\"detail\":";
    AppendString(out, detail);
    out += ",\"peerSlot\":" + std::to_string(peer_slot);
    out += ",\"sequence\":" + std::to_string(sequence);
    out += ",\"slot\":" + std::to_string(slot);
    out += ",\"type\":";
    AppendString(out, type);
    out += ",\"value\":" + std::to_string(value);
    out += '}';
}

void AppendWorkerHealth(std::string& out, const BackendWorkerHealth& health) {
    out += "{\"activeJobs\":" + std::to_string(health.active_jobs);
    out += ",\"completedJobs\":" + std::to_string(health.completed_jobs);
    out += ",\"completedTotal\":" + std::to_string(health.completed_total);
    out += ",\"droppedJobs\":" + std::to_string(health.dropped_jobs);
    out += ",\"enabled\":";
    AppendBool(out, health.enabled);
    out += ",\"endpoints\":[";
    for (std::size_t i = 0; i < health.endpoints.size(); ++i) {
        const BackendWorkerEndpointStatus& endpoint = health.endpoints[i];
        out += i == 0 ? "{\"endpoint\":" : ",{\"endpoint\":";
        AppendString(out, endpoint.endpoint);
        out += ",\"lastError\":";
        AppendString(out, endpoint.last_error);
        out += ",\"lastStatus\":";
        AppendString(out, endpoint.last_status);
        out += ",\"lastStatusCode\":" + std::to_string(endpoint.last_status_code);
        out += ",\"updatedAtMs\":" + std::to_string(endpoint.updated_at_ms);
        out += '}';
    }
    out += "],\"lastError\":";
    AppendString(out, health.last_error);
    out += ",\"oldestQueuedAgeMs\":" + std::to_string(health.oldest_queued_age_ms);
    out += ",\"queuedJobs\":" + std::to_string(health.queued_jobs);
    out += '}';
}

void AppendPolicy(std::string& out, const AlphaTeamPolicySnapshot& policy) {
    out += "{\"botCount\":" + std::to_string(policy.bot_count);
    out += ",\"desiredBotCount\":" + std::to_string(policy.desired_bot_count);
    out += ",\"desiredBotTeam\":";
    AppendString(out, RoleName(policy.desired_bot_team));
    out += ",\"enabled\":";
    AppendBool(out, policy.enabled);
    out += ",\"humanCount\":" + std::to_string(policy.human_count);
    out += ",\"lastAction\":";
    AppendString(out, policy.last_action);
    out += ",\"lastError\":";
    AppendString(out, policy.last_error);
    out += ",\"retryCount\":" + std::to_string(policy.retry_count);
    out += ",\"satisfied\":";
    AppendBool(out, policy.satisfied);
    out += ",\"state\":";
    AppendString(out, policy.state);
    out += '}';
}

}  // namespace

std::string TelemetryJsonEscape(const std::string& text) {
    // The envelope's escaping first: after it, the only bytes below 0x20 left
    // are the control bytes it copies raw, and its escapes are plain ASCII.
    static constexpr char kHex[] = "0123456789abcdef";
    const std::string narrow = JsonEscape(text);
    std::string out;
    out.reserve(narrow.size());
    std::size_t at = 0;
    while (at < narrow.size()) {
        const auto byte = static_cast<unsigned char>(narrow[at]);
        if (byte < 0x20) {
            out += "\\u00";
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
            ++at;
        } else if (byte < 0x80) {
            out += static_cast<char>(byte);
            ++at;
        } else {
            std::size_t bad = 0;
            const std::size_t length = WellFormedSequenceLength(narrow, at, bad);
            if (length == 0) {
                out += kReplacementCharacter;
                at += bad;
            } else {
                out.append(narrow, at, length);
                at += length;
            }
        }
    }
    return out;
}

std::string BuildHeartbeatPayload(std::uint64_t now_ms, std::uint32_t round_number,
                                  const std::string& server_id) {
    std::string out = "{\"nowMs\":" + std::to_string(now_ms);
    out += ",\"roundNumber\":" + std::to_string(round_number);
    out += ",\"serverId\":";
    AppendString(out, server_id);
    out += '}';
    return out;
}

std::string BuildPlayerBalancesPayload(std::uint64_t now_ms,
                                       const std::vector<ConnectedPlayer>& players,
                                       const std::string& server_id) {
    std::string out = "{\"nowMs\":" + std::to_string(now_ms);
    out += ",\"players\":[";
    for (std::size_t i = 0; i < players.size(); ++i) {
        out += i == 0 ? "{\"slot\":" : ",{\"slot\":";
        out += std::to_string(players[i].slot);
        out += ",\"steamId\":";
        AppendString(out, players[i].steam_id);
        out += '}';
    }
    out += "],\"serverId\":";
    AppendString(out, server_id);
    out += '}';
    return out;
}

std::string BuildRoundEventsPayload(const std::vector<EngineBufferedGameplayEvent>& events,
                                    const std::vector<ConnectedPlayer>& connected_players,
                                    std::uint64_t after_sequence, std::uint64_t through_sequence,
                                    std::uint64_t now_ms, std::uint32_t round_number,
                                    const std::string& server_id) {
    std::string out = "{\"events\":[";
    bool first = true;
    const auto separate = [&out, &first] {
        if (!first) {
            out += ',';
        }
        first = false;
    };
    for (const ConnectedPlayer& player : connected_players) {
        separate();
        AppendEvent(out, player.steam_id, 0, 0, player.slot, "connect", player.is_bot ? 1 : 0);
        separate();
        AppendEvent(out, RoleName(player.role), 0, 0, player.slot, "team", 0);
        if (!player.name.empty()) {
            separate();
            AppendEvent(out, player.name, 0, 0, player.slot, "name", 0);
        }
    }
    for (const EngineBufferedGameplayEvent& event : events) {
        if (event.sequence > after_sequence && event.sequence <= through_sequence) {
            separate();
            AppendEvent(out, event.detail, event.peer_slot, event.sequence, event.slot, event.type,
                        event.value);
        }
    }
    out += "],\"nowMs\":" + std::to_string(now_ms);
    out += ",\"roundNumber\":" + std::to_string(round_number);
    out += ",\"serverId\":";
    AppendString(out, server_id);
    out += ",\"sessionId\":";
    AppendString(out, "cs16-alpha:" + server_id);
    out += '}';
    return out;
}

const char* GameStateRoundPhaseName(RoundPhase phase) {
    switch (phase) {
        case RoundPhase::RoundActive:
            return "RoundActive";
        case RoundPhase::SettlementPending:
            return "SettlementPending";
        case RoundPhase::ChainIncluded:
            return "ChainIncluded";
        case RoundPhase::BuySetup:
            return "BuySetup";
        case RoundPhase::Idle:
            break;
    }
    return "Idle";
}

std::string BuildGameStatePayload(const BackendWorkerHealth& health, const std::string& build_id,
                                  const std::string& event_sources_json, std::uint64_t now_ms,
                                  const AlphaTeamPolicySnapshot& policy, std::uint32_t round_number,
                                  RoundPhase phase, const std::string& server_id) {
    std::string out = "{\"backendWorker\":";
    AppendWorkerHealth(out, health);
    out += ",\"buildId\":";
    AppendString(out, build_id);
    out += ",\"eventSources\":";
    out += event_sources_json.empty() ? "{}" : event_sources_json;
    out += ",\"nowMs\":" + std::to_string(now_ms);
    out += ",\"players\":[";
    for (std::size_t i = 0; i < policy.players.size(); ++i) {
        const AlphaTeamPolicyPlayerSnapshot& player = policy.players[i];
        out += i == 0 ? "{\"isBot\":" : ",{\"isBot\":";
        AppendBool(out, player.is_bot);
        out += ",\"joinSequence\":" + std::to_string(player.join_sequence);
        out += ",\"name\":";
        AppendString(out, player.name);
        out += ",\"slot\":" + std::to_string(player.slot);
        out += ",\"steamId\":";
        AppendString(out, player.steam_id);
        out += ",\"team\":";
        AppendString(out, RoleName(player.role));
        out += '}';
    }
    out += "],\"policy\":";
    AppendPolicy(out, policy);
    out += ",\"roundNumber\":" + std::to_string(round_number);
    out += ",\"roundPhase\":";
    AppendString(out, GameStateRoundPhaseName(phase));
    out += ",\"serverId\":";
    AppendString(out, server_id);
    out += '}';
    return out;
}

const char* TelemetryKindLabel(TelemetryKind kind) {
    static constexpr const char* kLabels[] = {"heartbeat", "player-balances", "round-events",
                                              "game-state"};
    const auto index = static_cast<std::size_t>(kind);
    return index < std::size(kLabels) ? kLabels[index] : "game-state";
}

std::string TelemetryKindPath(TelemetryKind kind) {
    return std::string("/v1/plugin/") + TelemetryKindLabel(kind);
}

std::optional<TelemetryRequest> BuildTelemetryRequest(TelemetryKind kind,
                                                      const IronPostConfig& config,
                                                      const DevelopmentFileSettlementSigner& signer,
                                                      const std::string& payload_json,
                                                      std::uint64_t timestamp_ms) {
    const std::string label = TelemetryKindLabel(kind);
    PluginEnvelopeV2Request envelope;
    envelope.server_id = config.server_id;
    envelope.request_id = label + "-" + config.server_id + "-" + std::to_string(timestamp_ms);
    envelope.timestamp_ms = timestamp_ms;
    envelope.nonce = BuildDeterministicPluginNonce(envelope.request_id, timestamp_ms, label);
    envelope.payload_json = payload_json;
    std::optional<std::string> body = BuildPluginEnvelopeV2Body(envelope, signer);
    if (!body) {
        return std::nullopt;
    }
    TelemetryRequest request;
    request.request_id = envelope.request_id;
    request.post.url = BuildBackendUrl(config.backend_url, TelemetryKindPath(kind));
    request.post.content_type = "application/json";
    request.post.headers.push_back({config.backend_server_id_header, config.server_id});
    request.post.headers.push_back({config.backend_request_id_header, envelope.request_id});
    request.post.body = std::move(*body);
    return request;
}

}  // namespace ironpost
