// Following submitted settlements: delayed retries, submission status polls
// and answers that arrive after the call that sent them returned. Every
// settlement is followed on its own, with one attempt budget over its whole
// life, until the backend reports it final or its attempts are spent.

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "ironpost_plugin_envelope.h"
#include "ironpost_plugin_session.h"

namespace ironpost {

namespace {

constexpr char kSessionNotLoaded[] = "plugin session is not loaded";
constexpr char kSettlementsPath[] = "/v1/plugin/settlements";
constexpr char kSubmissionStatusPath[] = "/v1/plugin/submission-status";
constexpr std::uint32_t kMinStatusPollIntervalMs = 1000;

bool IsIncludedOrFinalized(SettlementRelayStatus status) {
    return status == SettlementRelayStatus::Included || status == SettlementRelayStatus::Finalized;
}

// The worker client answers a post at once with an accepted, "queued" 202
// that echoes no request id; the backend's own replies always echo it.
bool IsDeferredPlaceholder(const PluginSettlementIntakeResponse& response) {
    return response.accepted && response.status_code == 202 && response.request_id.empty();
}

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::uint64_t SaturatingAdd(std::uint64_t a, std::uint64_t b) {
    return a > std::numeric_limits<std::uint64_t>::max() - b
               ? std::numeric_limits<std::uint64_t>::max()
               : a + b;
}

std::string BuildSubmissionStatusPayload(std::uint64_t now_ms, const std::string& request_id,
                                         const std::string& server_id) {
    std::string payload = "{\"nowMs\":";
    payload += std::to_string(now_ms);
    payload += ",\"requestId\":";
    payload += "\"" + JsonEscape(request_id) + "\"";
    payload += ",\"serverId\":";
    payload += "\"" + JsonEscape(server_id) + "\"";
    payload += '}';
    return payload;
}

MetamodSettlementSubmitResult Refusal(const char* error) {
    MetamodSettlementSubmitResult result;
    result.errors.push_back(error);
    return result;
}

}  // namespace

std::optional<SettlementRetryState> ScheduleRelayFailedSettlementRetry(
    const PluginSettlementHttpRequest& request, const PluginSettlementIntakeResponse& response,
    std::uint32_t completed_attempt, const BackendRetryPolicy& policy, std::uint64_t now_ms) {
    // The retry plan refuses accepted responses, so it is asked about the
    // same outcome seen as a retryable rejection; only its reason differs.
    PluginSettlementIntakeResponse as_rejection = response;
    as_rejection.accepted = false;
    as_rejection.status_code = 503;
    std::optional<SettlementRetryState> retry =
        ScheduleSettlementRetry(request, as_rejection, completed_attempt, policy, now_ms);
    if (retry) {
        retry->reason = "relay_failed";
    }
    return retry;
}

// ---------------------------------------------------------------------------
// Clock, bounds and bookkeeping

void MetamodPluginSession::AdvanceClock(std::uint64_t now_ms) {
    outbox_.CollectWrites();
    if (now_ms < latest_now_ms_) {
        // The caller's clock restarted (a map change): what waited for a time
        // that now lies far ahead is due at once, and owed answers are timed
        // afresh.
        for (FollowedSettlement& settlement : followed_) {
            if (settlement.retry) {
                settlement.retry->due_at_ms = now_ms;
            }
            settlement.next_poll_ms = now_ms;
            settlement.post_sent_ms = now_ms;
            settlement.poll_sent_ms = now_ms;
        }
        for (AwaitedBalanceRequest& awaited : awaited_balances_) {
            awaited.sent_ms = now_ms;
        }
        player_refresh_ms_.clear();
    }
    latest_now_ms_ = now_ms;

    // A worker always answers within the exchange bound; past it the answer
    // is lost. A lost post counts as a failed attempt, a lost poll frees the
    // settlement for the next one.
    const std::uint64_t limit = LateAnswerLimitMs();
    for (FollowedSettlement& settlement : followed_) {
        if (!settlement.done && settlement.post_in_flight &&
            now_ms - settlement.post_sent_ms >= limit) {
            settlement.post_in_flight = false;
            PluginSettlementIntakeResponse lost;
            lost.request_id = settlement.request.request_id;
            lost.relay_status = SettlementRelayStatus::Failed;
            lost.errors.push_back("backend request failed: no answer arrived in time");
            (void)ApplySendAnswer(settlement, lost, now_ms);
        }
        if (!settlement.poll_request_id.empty() && now_ms - settlement.poll_sent_ms >= limit) {
            settlement.poll_request_id.clear();
        }
    }
    DropSettledFollowUps();
}

std::uint64_t MetamodPluginSession::LateAnswerLimitMs() const {
    return kHttpExchangeTimeoutFactor * backend_options_.http_timeout_ms + kLateAnswerGraceMs;
}

std::uint64_t MetamodPluginSession::PollIntervalMs() const {
    return std::max(backend_options_.retry_policy.base_delay_ms, kMinStatusPollIntervalMs);
}

std::uint64_t MetamodPluginSession::NextEnvelopeTimestampMs() {
    const std::uint64_t wall = CurrentPluginEnvelopeTimestampMs();
    if (wall == 0) {
        return 0;  // a clock before the epoch: the envelope refuses it
    }
    last_envelope_ms_ = std::max(wall, last_envelope_ms_ + 1);
    return last_envelope_ms_;
}

MetamodPluginSession::FollowedSettlement* MetamodPluginSession::FindFollowed(
    const std::string& request_id) {
    for (FollowedSettlement& settlement : followed_) {
        if (!settlement.done && settlement.request.request_id == request_id) {
            return &settlement;
        }
    }
    return nullptr;
}

MetamodPluginSession::FollowedSettlement* MetamodPluginSession::FindPolled(
    const std::string& poll_request_id) {
    for (FollowedSettlement& settlement : followed_) {
        if (!settlement.done && !poll_request_id.empty() &&
            settlement.poll_request_id == poll_request_id) {
            return &settlement;
        }
    }
    return nullptr;
}

MetamodPluginSession::FollowedSettlement* MetamodPluginSession::EarliestRetry() {
    FollowedSettlement* earliest = nullptr;
    for (FollowedSettlement& settlement : followed_) {
        if (!settlement.done && settlement.retry &&
            (!earliest || settlement.retry->due_at_ms < earliest->retry->due_at_ms)) {
            earliest = &settlement;
        }
    }
    return earliest;
}

MetamodPluginSession::FollowedSettlement* MetamodPluginSession::EarliestPoll() {
    FollowedSettlement* earliest = nullptr;
    for (FollowedSettlement& settlement : followed_) {
        if (!settlement.done && !settlement.retry && settlement.poll_request_id.empty() &&
            (!earliest || settlement.next_poll_ms < earliest->next_poll_ms)) {
            earliest = &settlement;
        }
    }
    return earliest;
}

void MetamodPluginSession::MakeRoomForSettlement(const std::string& request_id) {
    // The same request sent again replaces the one followed under its id.
    followed_.erase(std::remove_if(followed_.begin(), followed_.end(),
                                   [&](const FollowedSettlement& settlement) {
                                       return settlement.request.request_id == request_id;
                                   }),
                    followed_.end());
    PluginRuntime& runtime = adapter_.Runtime();
    // Only the ids: each record holds a whole draft, and up to the bound of
    // them pile up while the backend is away.
    std::vector<std::string> others = runtime.UnresolvedSettlementRequestIds();
    others.erase(std::remove(others.begin(), others.end(), request_id), others.end());
    const auto drop = [&](const std::string& id) {
        Log("settlement " + id + " dropped from follow-up: at most " +
            std::to_string(kMaxFollowedSettlements) + " settlements are kept");
        // The runtime clears only records of a final relay: mark it so, then
        // clear it.
        runtime.UpdateUnresolvedSettlementRecord(id, SettlementRelayStatus::Finalized, "");
        runtime.ClearTerminalUnresolvedSettlementRecord(id);
        followed_.erase(std::remove_if(followed_.begin(), followed_.end(),
                                       [&](const FollowedSettlement& settlement) {
                                           return settlement.request.request_id == id;
                                       }),
                        followed_.end());
    };
    for (std::size_t next = 0; others.size() - next >= kMaxFollowedSettlements; ++next) {
        drop(others[next]);
    }
    while (followed_.size() >= kMaxFollowedSettlements) {
        drop(std::string(followed_.front().request.request_id));
    }
}

void MetamodPluginSession::DropSettledFollowUps() {
    followed_.erase(
        std::remove_if(followed_.begin(), followed_.end(),
                       [](const FollowedSettlement& settlement) { return settlement.done; }),
        followed_.end());
}

void MetamodPluginSession::Log(std::string line) {
    if (log_lines_.size() >= kMaxSessionLogLines) {
        log_lines_.erase(log_lines_.begin());
        ++dropped_log_lines_;
    }
    log_lines_.push_back(std::move(line));
}

std::vector<std::string> MetamodPluginSession::TakeSessionLogLines() {
    std::vector<std::string> lines;
    if (dropped_log_lines_ != 0) {
        lines.push_back(std::to_string(dropped_log_lines_) +
                        " earlier session log lines were dropped");
    }
    lines.insert(lines.end(), std::make_move_iterator(log_lines_.begin()),
                 std::make_move_iterator(log_lines_.end()));
    log_lines_.clear();
    dropped_log_lines_ = 0;
    return lines;
}

// ---------------------------------------------------------------------------
// What an answer does to its settlement

MetamodPluginSession::FollowUp MetamodPluginSession::ApplySendAnswer(
    FollowedSettlement& settlement, const PluginSettlementIntakeResponse& response,
    std::uint64_t now_ms) {
    PluginRuntime& runtime = adapter_.Runtime();
    const std::string& request_id = settlement.request.request_id;
    if (IsDeferredPlaceholder(response)) {
        // Queued by a worker: the real answer comes through a completion.
        settlement.post_in_flight = true;
        settlement.post_sent_ms = now_ms;
        runtime.UpdateUnresolvedSettlementRecord(request_id, response.relay_status, "");
        return FollowUp::Followed;
    }
    settlement.post_in_flight = false;
    if (!response.accepted) {
        runtime.UpdateUnresolvedSettlementRecord(request_id, SettlementRelayStatus::Failed,
                                                 FirstSettlementError(response));
        return ResendOrGiveUp(settlement, response, false, now_ms);
    }
    return ApplyReportedStatus(settlement, response, now_ms);
}

MetamodPluginSession::FollowUp MetamodPluginSession::ApplyReportedStatus(
    FollowedSettlement& settlement, const PluginSettlementIntakeResponse& response,
    std::uint64_t now_ms) {
    PluginRuntime& runtime = adapter_.Runtime();
    const std::string& request_id = settlement.request.request_id;
    runtime.UpdateUnresolvedSettlementRecord(request_id, response.relay_status,
                                             FirstSettlementError(response));
    // The backend holds the settlement: the answer to its post adds nothing.
    settlement.post_in_flight = false;
    if (IsIncludedOrFinalized(response.relay_status)) {
        runtime.ClearTerminalUnresolvedSettlementRecord(request_id);
        outbox_.Remove(request_id);
        settlement.done = true;
        return FollowUp::Resolved;
    }
    if (response.relay_status == SettlementRelayStatus::Failed) {
        // The backend relays a failed settlement again when it is sent again.
        return settlement.retry ? FollowUp::RetryPlanned
                                : ResendOrGiveUp(settlement, response, true, now_ms);
    }
    return FollowUp::Followed;
}

MetamodPluginSession::FollowUp MetamodPluginSession::ResendOrGiveUp(
    FollowedSettlement& settlement, const PluginSettlementIntakeResponse& response,
    bool relay_failed, std::uint64_t now_ms) {
    const BackendRetryPolicy& policy = backend_options_.retry_policy;
    settlement.retry = relay_failed
                           ? ScheduleRelayFailedSettlementRetry(settlement.request, response,
                                                                settlement.attempts, policy, now_ms)
                           : ScheduleSettlementRetry(settlement.request, response,
                                                     settlement.attempts, policy, now_ms);
    if (settlement.retry) {
        return FollowUp::RetryPlanned;
    }
    std::string error = FirstSettlementError(response);
    if (error.empty()) {
        error = relay_failed ? "relay failed" : "rejected";
    }
    const std::string& request_id = settlement.request.request_id;
    if (settlement.attempts >= policy.max_attempts) {
        Log("settlement " + request_id + " failed after " + std::to_string(settlement.attempts) +
            " of " + std::to_string(policy.max_attempts) + " attempts: " + error +
            "; not sent again in this run");
    } else {
        Log("settlement " + request_id + " refused: " + error + "; not sent again in this run");
    }
    settlement.done = true;
    return FollowUp::GivenUp;
}

bool MetamodPluginSession::ApplyToRound(std::uint32_t round_number,
                                        const PluginSettlementIntakeResponse& response) {
    if (adapter_.Runtime().CurrentRoundState().round_number != round_number) {
        return false;  // an earlier round's answer must not move this round
    }
    return adapter_.OnSettlementBackendResponse(response);
}

bool MetamodPluginSession::ApplyToRound(const FollowedSettlement& settlement,
                                        const PluginSettlementIntakeResponse& response) {
    return !settlement.from_journal && ApplyToRound(settlement.round_number, response);
}

// ---------------------------------------------------------------------------
// The journal

void MetamodPluginSession::FollowJournaledSettlements(std::uint64_t now_ms) {
    std::size_t followed = 0;
    for (const SettlementOutboxEntry& entry : outbox_.Entries()) {
        if (FindFollowed(entry.request_id)) {
            continue;
        }
        if (followed_.size() >= kMaxFollowedSettlements) {
            Log("journaled settlement " + entry.request_id + " waits: at most " +
                std::to_string(kMaxFollowedSettlements) + " settlements are followed");
            continue;
        }
        FollowedSettlement settlement;
        settlement.request = SettlementRequestFromOutboxEntry(entry);
        settlement.from_journal = true;
        // A fresh budget: the next send is attempt 1, due at once.
        SettlementRetryState retry;
        retry.pending = true;
        retry.request = settlement.request;
        retry.policy = backend_options_.retry_policy;
        retry.next_attempt = 1;
        retry.due_at_ms = now_ms;
        retry.reason = "journaled";
        settlement.retry = std::move(retry);
        followed_.push_back(std::move(settlement));
        ++followed;
    }
    if (followed != 0) {
        Log("following " + std::to_string(followed) + " journaled settlements again");
    }
}

void MetamodPluginSession::ForgetJournaledIfFinal(const PluginSettlementIntakeResponse& answer) {
    if (answer.accepted && IsIncludedOrFinalized(answer.relay_status)) {
        outbox_.Remove(answer.request_id);
    }
}

void MetamodPluginSession::OnMapChange(std::uint64_t now_ms) {
    if (!IsLoaded()) {
        return;
    }
    AdvanceClock(now_ms);
    FollowJournaledSettlements(now_ms);
}

// ---------------------------------------------------------------------------
// Retries and polls

MetamodSettlementSubmitResult MetamodPluginSession::SendRetry(FollowedSettlement& settlement,
                                                              std::uint64_t now_ms) {
    settlement.retry.reset();
    settlement.attempts += 1;
    PluginEnvelopeSettlementTransport transport(backend_options_, backend_client_, signer_,
                                                settlement.attempts, &outbox_);
    const PluginSettlementIntakeResponse response =
        transport.SubmitSettlementRequest(settlement.request);
    outbox_.CollectWrites();
    if (transport.LastRequest()) {
        settlement.request = *transport.LastRequest();
    }
    settlement.next_poll_ms = now_ms;  // the first poll after a send is due at once

    MetamodSettlementSubmitResult result;
    result.request_built = true;
    result.request = settlement.request;
    result.submitted = response.accepted;
    result.response = response;
    const FollowUp follow_up = ApplySendAnswer(settlement, response, now_ms);
    if (!response.accepted) {
        result.errors.push_back("settlement backend retry rejected request");
        result.errors.insert(result.errors.end(), response.errors.begin(), response.errors.end());
        if (follow_up == FollowUp::GivenUp) {
            result.errors.push_back("settlement retry attempts exhausted after " +
                                    std::to_string(settlement.attempts) + " attempts");
        }
        return result;
    }
    if (settlement.from_journal) {
        return result;  // no round of this run is waiting for it
    }
    result.lifecycle_applied = ApplyToRound(settlement, response);
    if (!result.lifecycle_applied) {
        result.errors.push_back("settlement retry response did not advance lifecycle");
    }
    // The last round's earnings are re-stamped only while they are still
    // this settlement's round.
    PluginRuntime& runtime = adapter_.Runtime();
    const RoundState round = runtime.CurrentRoundState();
    if (round.round_number == settlement.round_number && round.phase != RoundPhase::RoundActive) {
        runtime.SnapshotLastRoundEarnings(settlement.round_number, response.relay_status, now_ms);
    }
    return result;
}

MetamodSettlementSubmitResult MetamodPluginSession::PollSettlement(FollowedSettlement& settlement,
                                                                   std::uint64_t now_ms) {
    if (!signer_.HasKeyMaterial()) {
        return Refusal("server signing key material is missing");
    }
    const std::uint64_t timestamp_ms = NextEnvelopeTimestampMs();
    const std::string status_request_id =
        settlement.request.request_id + "-status-" + std::to_string(timestamp_ms);
    PluginEnvelopeV2Request envelope;
    envelope.server_id = settlement.request.server_id;
    envelope.request_id = status_request_id;
    envelope.timestamp_ms = timestamp_ms;
    envelope.nonce =
        BuildDeterministicPluginNonce(status_request_id, timestamp_ms, "submission-status");
    envelope.payload_json = BuildSubmissionStatusPayload(now_ms, settlement.request.request_id,
                                                         settlement.request.server_id);
    const std::optional<std::string> body = BuildPluginEnvelopeV2Body(envelope, signer_);
    if (!body) {
        return Refusal("plugin envelope v2 could not be built");
    }

    settlement.next_poll_ms = SaturatingAdd(now_ms, PollIntervalMs());
    const PluginSettlementIntakeResponse reply = ParsePluginSettlementIntakeHttpResponse(
        PostEnvelope(kSubmissionStatusPath, status_request_id, *body));
    MetamodSettlementSubmitResult result;
    result.request_built = true;
    result.request = settlement.request;
    result.response = reply;
    result.submitted = reply.accepted;
    if (IsDeferredPlaceholder(reply)) {
        settlement.poll_request_id = status_request_id;
        settlement.poll_sent_ms = now_ms;
        return result;
    }
    if (!reply.accepted) {
        result.errors.push_back("submission status backend rejected request");
        result.errors.insert(result.errors.end(), reply.errors.begin(), reply.errors.end());
        return result;
    }
    result.lifecycle_applied = ApplyToRound(settlement, reply);
    if (!result.lifecycle_applied && !settlement.from_journal &&
        IsTerminalSettlementRelayStatus(reply.relay_status)) {
        result.errors.push_back("submission status response did not advance lifecycle");
    }
    const FollowUp follow_up = ApplyReportedStatus(settlement, reply, now_ms);
    if (reply.relay_status == SettlementRelayStatus::Failed) {
        result.errors.push_back(follow_up == FollowUp::RetryPlanned
                                    ? "submission status reported failed; retry scheduled"
                                    : "submission status reported failed; no retry remains");
    }
    return result;
}

MetamodSettlementSubmitResult MetamodPluginSession::SubmitPendingSettlementRetry(
    std::uint64_t now_ms) {
    if (!IsLoaded()) {
        return Refusal(kSessionNotLoaded);
    }
    AdvanceClock(now_ms);
    FollowedSettlement* earliest = EarliestRetry();
    if (!earliest) {
        return Refusal("no pending settlement retry");
    }
    if (!SettlementRetryDue(*earliest->retry, now_ms)) {
        return Refusal("settlement retry is not due");
    }
    MetamodSettlementSubmitResult result = SendRetry(*earliest, now_ms);
    DropSettledFollowUps();
    return result;
}

MetamodSettlementSubmitResult MetamodPluginSession::PollUnresolvedSettlementStatus(
    std::uint64_t now_ms) {
    if (!IsLoaded()) {
        return Refusal(kSessionNotLoaded);
    }
    AdvanceClock(now_ms);
    if (!HasUnresolvedSettlement()) {
        return Refusal("no unresolved settlement");
    }
    FollowedSettlement* earliest = EarliestPoll();
    if (!earliest || now_ms < earliest->next_poll_ms) {
        return Refusal("submission status poll is not due");
    }
    MetamodSettlementSubmitResult result = PollSettlement(*earliest, now_ms);
    DropSettledFollowUps();
    return result;
}

std::vector<MetamodSettlementSubmitResult> MetamodPluginSession::SubmitDueSettlementRetries(
    std::uint64_t now_ms) {
    std::vector<MetamodSettlementSubmitResult> results;
    if (!IsLoaded()) {
        return results;
    }
    AdvanceClock(now_ms);
    // A retry just sent is planned again only for a later time, so the
    // earliest due one is always a different settlement.
    for (FollowedSettlement* due = EarliestRetry();
         due && SettlementRetryDue(*due->retry, now_ms) &&
         results.size() < kMaxSettlementSendsPerTick;
         due = EarliestRetry()) {
        results.push_back(SendRetry(*due, now_ms));
    }
    DropSettledFollowUps();
    return results;
}

std::vector<MetamodSettlementSubmitResult> MetamodPluginSession::PollDueSettlementStatuses(
    std::uint64_t now_ms) {
    std::vector<MetamodSettlementSubmitResult> results;
    if (!IsLoaded()) {
        return results;
    }
    AdvanceClock(now_ms);
    for (FollowedSettlement* due = EarliestPoll();
         due && now_ms >= due->next_poll_ms && results.size() < kMaxSettlementSendsPerTick;
         due = EarliestPoll()) {
        results.push_back(PollSettlement(*due, now_ms));
        if (!results.back().request_built) {
            break;  // nothing can be polled without a signed envelope
        }
    }
    DropSettledFollowUps();
    return results;
}

// ---------------------------------------------------------------------------
// Late answers

bool MetamodPluginSession::ApplyLateSettlementAnswer(FollowedSettlement& settlement,
                                                     const PluginSettlementIntakeResponse& answer,
                                                     std::uint32_t attempt, std::uint64_t now_ms) {
    if (settlement.post_in_flight && (attempt == 0 || attempt == settlement.attempts)) {
        (void)ApplySendAnswer(settlement, answer, now_ms);
    } else if (answer.accepted) {
        // An earlier send's answer still tells where the relay stands.
        (void)ApplyReportedStatus(settlement, answer, now_ms);
    } else {
        return false;  // a superseded send's failure changes nothing
    }
    return answer.accepted && ApplyToRound(settlement, answer);
}

bool MetamodPluginSession::ApplyLatePollAnswer(FollowedSettlement& settlement,
                                               const PluginSettlementIntakeResponse& answer,
                                               std::uint64_t now_ms) {
    settlement.poll_request_id.clear();
    if (!answer.accepted) {
        return false;  // a failed poll is only a failed poll
    }
    const bool applied = ApplyToRound(settlement, answer);
    (void)ApplyReportedStatus(settlement, answer, now_ms);
    return applied;
}

bool MetamodPluginSession::ApplyBackendSettlementCompletion(const BackendHttpPostRequest& request,
                                                            const BackendHttpResponse& response,
                                                            std::uint64_t now_ms) {
    if (!IsLoaded()) {
        return false;
    }
    AdvanceClock(now_ms);
    const std::optional<ParsedHttpUrl> url = ParseHttpUrl(request.url);
    const std::string request_id = FindRequestHeader(request, backend_options_.request_id_header);
    if (!url || request_id.empty()) {
        return false;
    }
    const PluginSettlementIntakeResponse answer = ParsePluginSettlementIntakeHttpResponse(response);
    bool applied = false;
    if (EndsWith(url->path, kSettlementsPath)) {
        if (FollowedSettlement* settlement = FindFollowed(request_id)) {
            const std::string attempt = FindRequestHeader(request, "X-IronPost-Attempt");
            applied = ApplyLateSettlementAnswer(
                *settlement, answer,
                static_cast<std::uint32_t>(std::strtoul(attempt.c_str(), nullptr, 10)), now_ms);
        }
        ForgetJournaledIfFinal(answer);  // also when no longer followed
    } else if (EndsWith(url->path, kSubmissionStatusPath)) {
        if (FollowedSettlement* settlement = FindPolled(request_id)) {
            applied = ApplyLatePollAnswer(*settlement, answer, now_ms);
        }
        ForgetJournaledIfFinal(answer);
    }
    DropSettledFollowUps();
    return applied;
}

bool MetamodPluginSession::ApplyBackendSettlementCompletion(
    const PluginSettlementIntakeResponse& response, std::uint64_t now_ms) {
    if (!IsLoaded() || response.request_id.empty()) {
        return false;
    }
    AdvanceClock(now_ms);
    bool applied = false;
    if (FollowedSettlement* polled = FindPolled(response.request_id)) {
        applied = ApplyLatePollAnswer(*polled, response, now_ms);
    } else if (FollowedSettlement* settlement = FindFollowed(response.request_id)) {
        // Without the request, an answer naming the settlement answers its
        // post while one is owed, and otherwise its poll.
        applied = settlement->post_in_flight
                      ? ApplyLateSettlementAnswer(*settlement, response, 0, now_ms)
                      : ApplyLatePollAnswer(*settlement, response, now_ms);
    } else if (response.accepted) {
        // A settlement no longer followed: only its record, if it has one.
        PluginRuntime& runtime = adapter_.Runtime();
        for (const UnresolvedSettlementRecord& record : runtime.UnresolvedSettlementRecords()) {
            if (record.request_id == response.request_id) {
                runtime.UpdateUnresolvedSettlementRecord(record.request_id, response.relay_status,
                                                         FirstSettlementError(response));
                if (IsIncludedOrFinalized(response.relay_status)) {
                    runtime.ClearTerminalUnresolvedSettlementRecord(record.request_id);
                }
                applied = ApplyToRound(record.round_number, response);
                break;
            }
        }
    }
    ForgetJournaledIfFinal(response);
    DropSettledFollowUps();
    return applied;
}

// ---------------------------------------------------------------------------
// Accessors

bool MetamodPluginSession::HasPendingSettlementRetry() const {
    return std::any_of(followed_.begin(), followed_.end(), [](const FollowedSettlement& s) {
        return !s.done && s.retry && s.retry->pending;
    });
}

std::optional<SettlementRetryState> MetamodPluginSession::PendingSettlementRetry() const {
    std::optional<SettlementRetryState> earliest;
    for (const FollowedSettlement& settlement : followed_) {
        if (!settlement.done && settlement.retry &&
            (!earliest || settlement.retry->due_at_ms < earliest->due_at_ms)) {
            earliest = settlement.retry;
        }
    }
    return earliest;
}

void MetamodPluginSession::ClearPendingSettlementRetry() {
    for (FollowedSettlement& settlement : followed_) {
        if (!settlement.done && settlement.retry) {
            Log("pending retry of settlement " + settlement.request.request_id +
                " dropped; not sent again in this run");
            settlement.done = true;
        }
    }
    DropSettledFollowUps();
}

bool MetamodPluginSession::HasUnresolvedSettlement() const {
    return std::any_of(followed_.begin(), followed_.end(),
                       [](const FollowedSettlement& s) { return !s.done && !s.retry; });
}

std::vector<std::string> MetamodPluginSession::FollowedSettlementIds() const {
    std::vector<std::string> ids;
    for (const FollowedSettlement& settlement : followed_) {
        if (!settlement.done) {
            ids.push_back(settlement.request.request_id);
        }
    }
    return ids;
}

}  // namespace ironpost
