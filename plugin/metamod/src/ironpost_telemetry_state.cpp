// The state telemetry keeps between frames: the cached server signer and the
// progress of the round-events submission.

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>

#include "ironpost_telemetry.h"

namespace ironpost {

const DevelopmentFileSettlementSigner* TelemetrySignerCache::Get(const std::string& path,
                                                                 std::uint64_t now_ms) {
    const bool new_path = !path_ || *path_ != path;
    if (new_path || (!signer_.HasKeyMaterial() && now_ms >= next_read_ms_)) {
        path_ = path;
        signer_ = LoadDevelopmentFileSettlementSigner(path);
        next_read_ms_ = now_ms + kTelemetrySignerRetryMs;
    }
    return signer_.HasKeyMaterial() ? &signer_ : nullptr;
}

void TelemetrySignerCache::Reset() {
    path_.reset();
    signer_ = DevelopmentFileSettlementSigner();
    next_read_ms_ = 0;
}

bool IsQueuedPlaceholder(const BackendHttpResponse& response) {
    return response.status_code == 202 && response.error.empty() &&
           response.body == kBackendWorkerQueuedBody;
}

namespace {

bool IsSuccess(const BackendHttpResponse& response) {
    return response.status_code >= 200 && response.status_code <= 299 && response.error.empty();
}

}  // namespace

std::optional<RoundEventsSubmission> RoundEventsSubmissionState::NextSubmission(
    const std::vector<EngineBufferedGameplayEvent>& events, std::uint64_t now_ms) {
    if (in_flight_) {
        if (now_ms < in_flight_->give_up_ms) {
            return std::nullopt;
        }
        in_flight_.reset();  // its answer is lost; send the round again later
        Fail(now_ms);
        return std::nullopt;
    }
    if (now_ms < retry_due_ms_) {
        return std::nullopt;
    }
    std::uint64_t newest_round_end = 0;
    for (const EngineBufferedGameplayEvent& event : events) {
        if (event.type == "round_end") {
            newest_round_end = std::max(newest_round_end, event.sequence);
        }
    }
    if (newest_round_end <= acknowledged_sequence_) {
        return std::nullopt;
    }
    return RoundEventsSubmission{acknowledged_sequence_, newest_round_end};
}

bool RoundEventsSubmissionState::NothingDue(std::uint64_t newest_round_end_sequence,
                                            std::uint64_t now_ms) const {
    if (in_flight_) {
        return now_ms < in_flight_->give_up_ms;
    }
    return now_ms < retry_due_ms_ || newest_round_end_sequence <= acknowledged_sequence_;
}

void RoundEventsSubmissionState::OnPosted(const RoundEventsSubmission& submission,
                                          const std::string& request_id,
                                          const BackendHttpResponse& response,
                                          std::uint64_t now_ms) {
    if (IsQueuedPlaceholder(response)) {
        in_flight_ = InFlightPost{submission, request_id, now_ms + options_.answer_wait_ms};
    } else if (IsSuccess(response)) {
        Succeed(submission);
    } else {
        Fail(now_ms);
    }
}

void RoundEventsSubmissionState::OnNotSent(std::uint64_t now_ms) {
    Fail(now_ms);
}

bool RoundEventsSubmissionState::OnAnswer(const BackendHttpPostRequest& request,
                                          const BackendHttpResponse& response,
                                          std::uint64_t now_ms) {
    if (!in_flight_) {
        return false;
    }
    const bool same_request = std::any_of(
        request.headers.begin(), request.headers.end(),
        [this](const PluginHttpHeader& h) { return h.value == in_flight_->request_id; });
    if (!same_request) {
        return false;  // an answer to an earlier post, given up on already
    }
    const RoundEventsSubmission submission = in_flight_->submission;
    in_flight_.reset();
    if (IsSuccess(response) && !IsQueuedPlaceholder(response)) {
        Succeed(submission);
    } else {
        Fail(now_ms);
    }
    return true;
}

void RoundEventsSubmissionState::Reset(std::uint64_t acknowledged_sequence) {
    acknowledged_sequence_ = acknowledged_sequence;
    in_flight_.reset();
    retry_due_ms_ = 0;
    failures_in_row_ = 0;
}

void RoundEventsSubmissionState::Succeed(const RoundEventsSubmission& submission) {
    acknowledged_sequence_ = std::max(acknowledged_sequence_, submission.through_sequence);
    retry_due_ms_ = 0;
    failures_in_row_ = 0;
}

void RoundEventsSubmissionState::Fail(std::uint64_t now_ms) {
    // Doubles with every failure in a row, from backoff_ms up to max_backoff_ms.
    std::uint64_t backoff = std::min(options_.backoff_ms, options_.max_backoff_ms);
    for (std::uint32_t i = 0; i < failures_in_row_ && backoff < options_.max_backoff_ms; ++i) {
        backoff = backoff > options_.max_backoff_ms / 2 ? options_.max_backoff_ms : backoff * 2;
    }
    if (failures_in_row_ < 64) {
        ++failures_in_row_;
    }
    retry_due_ms_ = now_ms + backoff;
}

}  // namespace ironpost
