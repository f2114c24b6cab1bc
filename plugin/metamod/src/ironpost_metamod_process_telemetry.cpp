// The periodic telemetry of the process object and the drain that hands the
// worker client's answers to what awaits them. Every time here is the live
// monotonic clock; the wall clock only stamps the envelopes.

#include <algorithm>
#include <string>
#include <vector>

#include "ironpost_clock.h"
#include "ironpost_metamod_process.h"
#include "ironpost_metamod_sdk_engine_imports.h"
#include "ironpost_metamod_sdk_log_source.h"

namespace ironpost {

namespace {

bool IsSuccess(const BackendHttpResponse& response) {
    return response.status_code >= 200 && response.status_code <= 299 && response.error.empty();
}

bool Due(std::uint64_t last_ms, std::uint64_t interval_ms, std::uint64_t now_ms) {
    return last_ms == 0 || now_ms >= last_ms + interval_ms;
}

std::string FailureLine(const char* what, const std::string& path,
                        const BackendHttpResponse& response) {
    std::string line = std::string("[Iron-Post] ") + what + path +
                       " status=" + std::to_string(response.status_code);
    if (!response.error.empty()) {
        line += " error=" + response.error;
    }
    return line + ".\n";
}

}  // namespace

std::uint64_t MetamodProcessEntrypoint::NextTelemetryTimestampMs() {
    last_telemetry_timestamp_ms_ = std::max(WallClockUnixMs(), last_telemetry_timestamp_ms_ + 1);
    return last_telemetry_timestamp_ms_;
}

std::size_t MetamodProcessEntrypoint::DrainBackendCompletions(std::uint64_t now_ms) {
    if (!IsAttached()) {
        return 0;  // the answers wait in the client for an attached frame
    }
    MetamodPluginSession& session = runtime_.Host().Session();
    const std::vector<BackendWorkerCompletion> completions =
        backend_client_.DrainCompletedResponses();
    for (const BackendWorkerCompletion& completion : completions) {
        const std::string path = EndpointPathFromUrl(completion.request.url);
        const BackendHttpResponse& response = completion.response;
        if (path == TelemetryKindPath(TelemetryKind::PlayerBalances)) {
            static_cast<void>(
                session.ApplyPlayerBalanceCompletion(completion.request, response, now_ms));
        } else if (path == "/v1/plugin/settlements" || path == "/v1/plugin/submission-status") {
            static_cast<void>(
                session.ApplyBackendSettlementCompletion(completion.request, response, now_ms));
        } else if (path == TelemetryKindPath(TelemetryKind::Heartbeat) ||
                   path == TelemetryKindPath(TelemetryKind::GameState) ||
                   path == TelemetryKindPath(TelemetryKind::RoundEvents)) {
            if (path == TelemetryKindPath(TelemetryKind::RoundEvents)) {
                static_cast<void>(round_events_.OnAnswer(completion.request, response, now_ms));
            }
            if (!IsSuccess(response)) {
                IronpostMetamodServerPrint(FailureLine("backend request failed: ", path, response));
            } else if (path == TelemetryKindPath(TelemetryKind::Heartbeat)) {
                IronpostMetamodServerPrint("[Iron-Post] heartbeat accepted.\n");
            }
        }
    }
    return completions.size();
}

bool MetamodProcessEntrypoint::SubmitHeartbeatIfDue(std::uint64_t now_ms) {
    const IronPostConfig* config = AttachedConfig();
    if (config == nullptr || config->heartbeat_interval_seconds == 0 ||
        !Due(last_heartbeat_ms_, 1000ull * config->heartbeat_interval_seconds, now_ms)) {
        return false;
    }
    const DevelopmentFileSettlementSigner* signer =
        signer_cache_.Get(config->server_key_file, now_ms);
    if (signer == nullptr) {
        return false;  // the cache reads the file again a few seconds on
    }
    const std::string payload = BuildHeartbeatPayload(
        now_ms, runtime_.Host().Session().Runtime().CurrentRoundState().round_number,
        config->server_id);
    const std::optional<TelemetryRequest> request = BuildTelemetryRequest(
        TelemetryKind::Heartbeat, *config, *signer, payload, NextTelemetryTimestampMs());
    if (!request) {
        return false;
    }
    const BackendHttpResponse response = backend_client_.PostJson(request->post);
    last_heartbeat_ms_ = std::max<std::uint64_t>(now_ms, 1);
    if (IsSuccess(response)) {
        IronpostMetamodServerPrint("[Iron-Post] heartbeat queued.\n");
        return true;
    }
    IronpostMetamodServerPrint(FailureLine("heartbeat failed:", "", response));
    return false;
}

bool MetamodProcessEntrypoint::SubmitPlayerBalancesIfDue(std::uint64_t now_ms) {
    const IronPostConfig* config = AttachedConfig();
    if (config == nullptr || !config->hud_balance_enabled || config->balance_refresh_seconds == 0 ||
        !Due(last_balance_refresh_ms_, 1000ull * config->balance_refresh_seconds, now_ms)) {
        return false;
    }
    // The session sends one request at a time and applies its answer to the
    // players it named who still hold their slots.
    const PlayerBalanceRefreshResult result =
        runtime_.Host().Session().RefreshPlayerBalances(now_ms);
    if (!result.attempted) {
        return false;  // nobody to ask about, or a request still awaited
    }
    last_balance_refresh_ms_ = std::max<std::uint64_t>(now_ms, 1);
    return result.accepted;
}

bool MetamodProcessEntrypoint::SubmitRoundEventsIfDue(std::uint64_t now_ms) {
    const IronPostConfig* config = AttachedConfig();
    if (config == nullptr) {
        return false;
    }
    MetamodPluginHost& host = runtime_.Host();
    // Runs every frame. No round end newer than the acknowledged one, a post
    // still out, or a back-off still running: nothing is due, told from
    // counters alone, whatever events arrived meanwhile.
    if (round_events_.NothingDue(host.NewestBufferedRoundEndSequence(), now_ms)) {
        return false;
    }
    // Otherwise the buffer (hundreds of events) is copied only when
    // something was added, or while a round's events are still owed.
    const std::uint64_t latest = host.LatestGameplayEventSequence();
    if (latest == round_events_seen_sequence_ && !round_events_.InFlight() &&
        round_events_.AcknowledgedSequence() >= round_events_newest_end_) {
        return false;
    }
    round_events_seen_sequence_ = latest;
    const std::vector<EngineBufferedGameplayEvent> events = host.SnapshotBufferedGameplayEvents();
    for (const EngineBufferedGameplayEvent& event : events) {
        if (event.type == "round_end") {
            round_events_newest_end_ = std::max(round_events_newest_end_, event.sequence);
        }
    }
    const std::optional<RoundEventsSubmission> submission =
        round_events_.NextSubmission(events, now_ms);
    if (!submission) {
        return false;
    }
    const DevelopmentFileSettlementSigner* signer =
        signer_cache_.Get(config->server_key_file, now_ms);
    const PluginRuntime& runtime = host.Session().Runtime();
    const std::optional<TelemetryRequest> request =
        signer == nullptr ? std::nullopt
                          : BuildTelemetryRequest(
                                TelemetryKind::RoundEvents, *config, *signer,
                                BuildRoundEventsPayload(
                                    events, runtime.ConnectedPlayers(), submission->after_sequence,
                                    submission->through_sequence, now_ms,
                                    runtime.CurrentRoundState().round_number, config->server_id),
                                NextTelemetryTimestampMs());
    if (!request) {
        round_events_.OnNotSent(now_ms);
        return false;
    }
    const BackendHttpResponse response = backend_client_.PostJson(request->post);
    round_events_.OnPosted(*submission, request->request_id, response, now_ms);
    return IsSuccess(response);
}

bool MetamodProcessEntrypoint::SubmitGameStateIfDue(std::uint64_t now_ms) {
    const IronPostConfig* config = AttachedConfig();
    if (config == nullptr || !config->alpha_team_policy_enabled ||
        config->alpha_policy_interval_seconds == 0 ||
        !Due(last_game_state_ms_, 1000ull * config->alpha_policy_interval_seconds, now_ms)) {
        return false;
    }
    last_game_state_ms_ = std::max<std::uint64_t>(now_ms, 1);
    const DevelopmentFileSettlementSigner* signer =
        signer_cache_.Get(config->server_key_file, now_ms);
    if (signer == nullptr) {
        return false;
    }
    const PluginRuntime& runtime = runtime_.Host().Session().Runtime();
    const RoundState round = runtime.CurrentRoundState();
    const std::string payload = BuildGameStatePayload(
        backend_client_.WorkerHealth(), config->build_id, IronpostMetamodEventSourcesJson(), now_ms,
        runtime.CurrentAlphaTeamPolicy(), round.round_number, round.phase, config->server_id);
    const std::optional<TelemetryRequest> request = BuildTelemetryRequest(
        TelemetryKind::GameState, *config, *signer, payload, NextTelemetryTimestampMs());
    if (!request) {
        return false;
    }
    return IsSuccess(backend_client_.PostJson(request->post));
}

}  // namespace ironpost
