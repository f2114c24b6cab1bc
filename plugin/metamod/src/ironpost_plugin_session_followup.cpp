// Following a submitted settlement: delayed retries, submission status polls
// and replies that arrive after the call that sent them returned.

#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "ironpost_plugin_envelope.h"
#include "ironpost_plugin_session.h"

namespace ironpost {

namespace {

constexpr char kSessionNotLoaded[] = "plugin session is not loaded";
constexpr std::uint32_t kMinStatusPollIntervalMs = 1000;

bool IsIncludedOrFinalized(SettlementRelayStatus status) {
    return status == SettlementRelayStatus::Included || status == SettlementRelayStatus::Finalized;
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

MetamodSettlementSubmitResult MetamodPluginSession::SubmitPendingSettlementRetry(
    std::uint64_t now_ms) {
    if (!IsLoaded()) {
        return Refusal(kSessionNotLoaded);
    }
    if (!settlement_retry_ || !settlement_retry_->pending) {
        return Refusal("no pending settlement retry");
    }
    if (!SettlementRetryDue(*settlement_retry_, now_ms)) {
        return Refusal("settlement retry is not due");
    }

    const SettlementRetryState retry = *settlement_retry_;
    const PluginSettlementHttpRequest& request = retry.request;
    PluginRuntime& runtime = adapter_.Runtime();
    MetamodSettlementSubmitResult result;
    result.request_built = true;
    result.request = request;
    PluginSettlementIntakeResponse response = SubmitBackendSettlementHttpAttempt(
        backend_options_, backend_client_, request, retry.next_attempt);
    result.submitted = response.accepted;
    result.response = response;

    if (!response.accepted) {
        result.errors.push_back("settlement backend retry rejected request");
        result.errors.insert(result.errors.end(), response.errors.begin(), response.errors.end());
        settlement_retry_ = ScheduleSettlementRetry(request, response, retry.next_attempt,
                                                    backend_options_.retry_policy, now_ms);
        runtime.UpdateUnresolvedSettlementRecord(request.request_id, SettlementRelayStatus::Failed,
                                                 FirstSettlementError(response));
        if (!settlement_retry_) {
            result.errors.push_back("settlement retry attempts exhausted after " +
                                    std::to_string(retry.next_attempt) + " attempts");
        }
        return result;
    }

    result.lifecycle_applied = adapter_.OnSettlementBackendResponse(response);
    if (!result.lifecycle_applied) {
        result.errors.push_back("settlement retry response did not advance lifecycle");
    }
    runtime.SnapshotLastRoundEarnings(runtime.CurrentRoundState().round_number,
                                      response.relay_status, now_ms);
    settlement_retry_.reset();
    if (IsTerminalSettlementRelayStatus(response.relay_status)) {
        ResolveSettlement(request.request_id, response.relay_status,
                          FirstSettlementError(response));
        if (response.relay_status == SettlementRelayStatus::Failed) {
            settlement_retry_ = ScheduleRelayFailedSettlementRetry(
                request, response, retry.next_attempt, backend_options_.retry_policy, now_ms);
        }
    } else {
        runtime.UpdateUnresolvedSettlementRecord(request.request_id, response.relay_status,
                                                 FirstSettlementError(response));
        unresolved_settlement_request_ = request;
        AwaitDeferredReply(request, response, retry.next_attempt);
    }
    last_submission_status_poll_ms_ = 0;
    return result;
}

MetamodSettlementSubmitResult MetamodPluginSession::PollUnresolvedSettlementStatus(
    std::uint64_t now_ms) {
    if (!IsLoaded()) {
        return Refusal(kSessionNotLoaded);
    }
    if (!unresolved_settlement_request_) {
        return Refusal("no unresolved settlement");
    }
    const std::uint64_t interval_ms =
        std::max(backend_options_.retry_policy.base_delay_ms, kMinStatusPollIntervalMs);
    if (last_submission_status_poll_ms_ != 0 &&
        now_ms < last_submission_status_poll_ms_ + interval_ms) {
        return Refusal("submission status poll is not due");
    }
    if (!signer_.HasKeyMaterial()) {
        return Refusal("server signing key material is missing");
    }

    // A copy: a final status below drops the kept request.
    const PluginSettlementHttpRequest settlement = *unresolved_settlement_request_;
    const std::uint64_t timestamp_ms = CurrentPluginEnvelopeTimestampMs();
    const std::string status_request_id =
        settlement.request_id + "-status-" + std::to_string(timestamp_ms);
    PluginEnvelopeV2Request envelope;
    envelope.server_id = settlement.server_id;
    envelope.request_id = status_request_id;
    envelope.timestamp_ms = timestamp_ms;
    envelope.nonce =
        BuildDeterministicPluginNonce(status_request_id, timestamp_ms, "submission-status");
    envelope.payload_json =
        BuildSubmissionStatusPayload(now_ms, settlement.request_id, settlement.server_id);
    const std::optional<std::string> body = BuildPluginEnvelopeV2Body(envelope, signer_);
    if (!body) {
        return Refusal("plugin envelope v2 could not be built");
    }

    last_submission_status_poll_ms_ = now_ms;
    const PluginSettlementIntakeResponse reply = ParsePluginSettlementIntakeHttpResponse(
        PostEnvelope("/v1/plugin/submission-status", status_request_id, *body));
    MetamodSettlementSubmitResult result;
    result.request_built = true;
    result.request = settlement;
    result.response = reply;
    result.submitted = reply.accepted;
    if (!reply.accepted) {
        result.errors.push_back("submission status backend rejected request");
        result.errors.insert(result.errors.end(), reply.errors.begin(), reply.errors.end());
        return result;
    }

    result.lifecycle_applied = adapter_.OnSettlementBackendResponse(reply);
    if (!result.lifecycle_applied && IsTerminalSettlementRelayStatus(reply.relay_status)) {
        result.errors.push_back("submission status response did not advance lifecycle");
    }
    // The settlement's own identifier, not the poll's, names the record.
    adapter_.Runtime().UpdateUnresolvedSettlementRecord(settlement.request_id, reply.relay_status,
                                                        FirstSettlementError(reply));
    if (reply.relay_status == SettlementRelayStatus::Failed) {
        settlement_retry_ = ScheduleRelayFailedSettlementRetry(
            settlement, reply, 1, backend_options_.retry_policy, now_ms);
        result.errors.push_back(settlement_retry_
                                    ? "submission status reported failed; retry scheduled"
                                    : "submission status reported failed; no retry remains");
    } else if (IsIncludedOrFinalized(reply.relay_status)) {
        adapter_.Runtime().ClearTerminalUnresolvedSettlementRecord(settlement.request_id);
        unresolved_settlement_request_.reset();
        last_submission_status_poll_ms_ = 0;
    }
    return result;
}

bool MetamodPluginSession::ApplyBackendSettlementCompletion(
    const PluginSettlementIntakeResponse& response, std::uint64_t now_ms) {
    if (!IsLoaded()) {
        return false;
    }
    if (!response.accepted) {
        ApplyLateSettlementRejection(response, now_ms);
        return false;
    }
    // The settlement the reply is about, when the session still has it: only
    // that one is ever sent again.
    std::optional<PluginSettlementHttpRequest> settlement;
    std::uint32_t completed_attempt = 1;
    const bool names_kept_request =
        unresolved_settlement_request_ &&
        unresolved_settlement_request_->request_id == response.request_id;
    if (names_kept_request) {
        settlement = unresolved_settlement_request_;
    }
    if (awaited_settlement_reply_ &&
        awaited_settlement_reply_->request.request_id == response.request_id) {
        completed_attempt = awaited_settlement_reply_->attempt;
        settlement = std::move(awaited_settlement_reply_->request);
        awaited_settlement_reply_.reset();
    }

    PluginRuntime& runtime = adapter_.Runtime();
    runtime.UpdateUnresolvedSettlementRecord(response.request_id, response.relay_status,
                                             FirstSettlementError(response));
    const bool applied = adapter_.OnSettlementBackendResponse(response);
    if (response.relay_status == SettlementRelayStatus::Failed && settlement) {
        settlement_retry_ = ScheduleRelayFailedSettlementRetry(
            *settlement, response, completed_attempt, backend_options_.retry_policy, now_ms);
    } else if (IsIncludedOrFinalized(response.relay_status)) {
        runtime.ClearTerminalUnresolvedSettlementRecord(response.request_id);
        if (names_kept_request) {
            unresolved_settlement_request_.reset();
            last_submission_status_poll_ms_ = 0;
        }
    }
    return applied;
}

void MetamodPluginSession::ApplyLateSettlementRejection(
    const PluginSettlementIntakeResponse& response, std::uint64_t now_ms) {
    if (!awaited_settlement_reply_) {
        return;
    }
    // A transport failure names no request; anything naming another request
    // (a status poll's own rejection) is not about the submission.
    if (!response.request_id.empty() &&
        response.request_id != awaited_settlement_reply_->request.request_id) {
        return;
    }
    const AwaitedSettlementReply awaited = std::move(*awaited_settlement_reply_);
    awaited_settlement_reply_.reset();
    // The placeholder only said the post was queued; the real answer is a
    // rejection, handled exactly as if it had come back at once: recorded as
    // failed, planned for a retry, and no longer polled.
    const std::string& request_id = awaited.request.request_id;
    adapter_.Runtime().UpdateUnresolvedSettlementRecord(request_id, SettlementRelayStatus::Failed,
                                                        FirstSettlementError(response));
    settlement_retry_ = ScheduleSettlementRetry(awaited.request, response, awaited.attempt,
                                                backend_options_.retry_policy, now_ms);
    if (unresolved_settlement_request_ &&
        unresolved_settlement_request_->request_id == request_id) {
        unresolved_settlement_request_.reset();
        last_submission_status_poll_ms_ = 0;
    }
}

bool MetamodPluginSession::HasPendingSettlementRetry() const {
    return settlement_retry_.has_value() && settlement_retry_->pending;
}

std::optional<SettlementRetryState> MetamodPluginSession::PendingSettlementRetry() const {
    return settlement_retry_;
}

void MetamodPluginSession::ClearPendingSettlementRetry() {
    settlement_retry_.reset();
}

bool MetamodPluginSession::HasUnresolvedSettlement() const {
    return unresolved_settlement_request_.has_value();
}

}  // namespace ironpost
