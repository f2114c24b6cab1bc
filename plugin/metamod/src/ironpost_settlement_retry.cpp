// Planning and timing of the delayed settlement retry.

#include "ironpost_settlement_retry.h"

#include <limits>

namespace ironpost {

SettlementRetryPlan BuildSettlementRetryPlan(const PluginSettlementIntakeResponse& response,
                                             std::uint32_t completed_attempt,
                                             const BackendRetryPolicy& policy,
                                             std::uint64_t now_ms) {
    SettlementRetryPlan plan;
    plan.completed_attempt = completed_attempt;
    const BackendRetryDecision decision =
        ShouldRetryBackendResponse(response, completed_attempt, policy);
    if (!decision.retry) {
        return plan;
    }
    plan.scheduled = true;
    plan.next_attempt = decision.next_attempt;
    plan.delay_ms = decision.delay_ms;
    plan.reason = decision.reason;
    // Saturate: a wrapped sum would make the retry due at once.
    const std::uint64_t latest = std::numeric_limits<std::uint64_t>::max();
    plan.due_at_ms = now_ms > latest - decision.delay_ms ? latest : now_ms + decision.delay_ms;
    return plan;
}

std::optional<SettlementRetryState> ScheduleSettlementRetry(
    const PluginSettlementHttpRequest& request, const PluginSettlementIntakeResponse& response,
    std::uint32_t completed_attempt, const BackendRetryPolicy& policy, std::uint64_t now_ms) {
    const SettlementRetryPlan plan =
        BuildSettlementRetryPlan(response, completed_attempt, policy, now_ms);
    if (!plan.scheduled) {
        return std::nullopt;
    }
    SettlementRetryState state;
    state.pending = true;
    state.request = request;
    state.policy = policy;
    state.completed_attempt = plan.completed_attempt;
    state.next_attempt = plan.next_attempt;
    state.due_at_ms = plan.due_at_ms;
    state.reason = plan.reason;
    state.last_errors = response.errors;
    return state;
}

bool SettlementRetryDue(const SettlementRetryState& state, std::uint64_t now_ms) {
    return state.pending && state.next_attempt != 0 && now_ms >= state.due_at_ms;
}

}  // namespace ironpost
