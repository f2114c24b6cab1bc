#pragma once

// The one delayed settlement retry a session keeps: planned from a rejected
// response with the transport's retry policy, and due by the caller's clock
// (the frame clock) rather than by sleeping.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ironpost_backend_transport.h"
#include "ironpost_crypto.h"

namespace ironpost {

struct SettlementRetryPlan {
    bool scheduled = false;
    std::uint32_t completed_attempt = 0;  // the attempt that just failed
    std::uint32_t next_attempt = 0;
    std::uint32_t delay_ms = 0;
    std::uint64_t due_at_ms = 0;  // on the caller's clock
    std::string reason;           // "transport_error" or "http_<status>"
};

struct SettlementRetryState {
    bool pending = false;
    PluginSettlementHttpRequest request;  // sent again unchanged
    BackendRetryPolicy policy;            // in force when planned
    std::uint32_t completed_attempt = 0;
    std::uint32_t next_attempt = 0;
    std::uint64_t due_at_ms = 0;
    std::string reason;
    std::vector<std::string> last_errors;  // of the response that caused it
};

// Plans the next attempt after `completed_attempt` failed with `response`;
// unscheduled when the response is accepted, not retryable, or the policy's
// attempts are used up.
[[nodiscard]] SettlementRetryPlan BuildSettlementRetryPlan(
    const PluginSettlementIntakeResponse& response, std::uint32_t completed_attempt,
    const BackendRetryPolicy& policy, std::uint64_t now_ms);

// A pending retry carrying a copy of `request`, or nothing when none is planned.
[[nodiscard]] std::optional<SettlementRetryState> ScheduleSettlementRetry(
    const PluginSettlementHttpRequest& request, const PluginSettlementIntakeResponse& response,
    std::uint32_t completed_attempt, const BackendRetryPolicy& policy, std::uint64_t now_ms);

// The retry is pending, names an attempt, and `now_ms` has reached its time.
[[nodiscard]] bool SettlementRetryDue(const SettlementRetryState& state, std::uint64_t now_ms);

}  // namespace ironpost
