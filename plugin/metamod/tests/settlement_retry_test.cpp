// The delayed settlement retry: when one is planned, what it carries, and
// when it falls due.

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "ironpost_settlement_retry.h"

namespace ironpost {
namespace {

PluginSettlementIntakeResponse Response(std::int32_t status, bool accepted = false,
                                        std::vector<std::string> errors = {"e"}) {
    PluginSettlementIntakeResponse response;
    response.status_code = status;
    response.accepted = accepted;
    response.errors = std::move(errors);
    return response;
}

TEST(SettlementRetryPlan, FollowsTheBackoffOfThePolicy) {
    const BackendRetryPolicy three{3, 250, 2000};
    const struct {
        PluginSettlementIntakeResponse response;
        std::uint32_t completed;
        BackendRetryPolicy policy;
        bool scheduled;
        std::uint32_t next, delay;
        std::uint64_t due;
        std::string reason;
    } cases[] = {{Response(503), 1, three, true, 2, 250, 10250, "http_503"},
                 {Response(503), 2, three, true, 3, 500, 10500, "http_503"},
                 {Response(0), 1, three, true, 2, 250, 10250, "transport_error"},
                 {Response(400, false, {"backend request failed: receive failed: x"}), 1, three,
                  true, 2, 250, 10250, "http_400"},
                 {Response(503), 3, three, false, 0, 0, 0, ""},
                 {Response(503, true), 1, three, false, 0, 0, 0, ""},
                 {Response(400), 1, three, false, 0, 0, 0, ""},
                 {Response(503), 1, BackendRetryPolicy{}, false, 0, 0, 0, ""}};
    for (const auto& c : cases) {
        const SettlementRetryPlan plan =
            BuildSettlementRetryPlan(c.response, c.completed, c.policy, 10000);
        EXPECT_EQ(plan.scheduled, c.scheduled) << c.response.status_code << "/" << c.completed;
        EXPECT_EQ(plan.completed_attempt, c.completed);
        EXPECT_EQ(plan.next_attempt, c.next);
        EXPECT_EQ(plan.delay_ms, c.delay);
        EXPECT_EQ(plan.due_at_ms, c.due);
        EXPECT_EQ(plan.reason, c.reason);
    }
}

TEST(SettlementRetryState, CarriesTheWholeRequestAndTheCausingErrors) {
    const PluginSettlementHttpRequest request{
        "POST",  "/v1/plugin/settlements", "application/json", "req-1",
        "srv-1", "{\"envelope\":true}",    "{\"draft\":{}}"};
    const BackendRetryPolicy policy{4, 100, 1000};
    const auto state = ScheduleSettlementRetry(
        request, Response(0, false, {"backend request failed: x", "y"}), 2, policy, 5000);
    ASSERT_TRUE(state.has_value());
    EXPECT_TRUE(state->pending);
    const PluginSettlementHttpRequest& copy = state->request;
    EXPECT_EQ(std::vector<std::string>({copy.method, copy.path, copy.content_type, copy.request_id,
                                        copy.server_id, copy.body, copy.canonical_payload_body}),
              std::vector<std::string>({request.method, request.path, request.content_type,
                                        request.request_id, request.server_id, request.body,
                                        request.canonical_payload_body}));
    EXPECT_EQ(state->policy.max_attempts, 4u);
    EXPECT_EQ(state->completed_attempt, 2u);
    EXPECT_EQ(state->next_attempt, 3u);
    EXPECT_EQ(state->due_at_ms, 5200u);
    EXPECT_EQ(state->reason, "transport_error");
    EXPECT_EQ(state->last_errors, (std::vector<std::string>{"backend request failed: x", "y"}));

    EXPECT_FALSE(ScheduleSettlementRetry(request, Response(200, true), 1, policy, 0).has_value());
    EXPECT_FALSE(ScheduleSettlementRetry(request, Response(400), 1, policy, 0).has_value());
    EXPECT_FALSE(ScheduleSettlementRetry(request, Response(503), 4, policy, 0).has_value());
}

TEST(SettlementRetryDue, OnlyAPendingNumberedRetryAtOrAfterItsTime) {
    SettlementRetryState due;
    due.pending = true;
    due.next_attempt = 2;
    due.due_at_ms = 1000;
    SettlementRetryState idle = due;
    idle.pending = false;
    SettlementRetryState unnumbered = due;
    unnumbered.next_attempt = 0;
    const struct {
        SettlementRetryState state;
        std::uint64_t now;
        bool is_due;
    } cases[] = {{due, 999, false},
                 {due, 1000, true},
                 {due, 5000, true},
                 {idle, 5000, false},
                 {unnumbered, 5000, false}};
    for (const auto& c : cases) {
        EXPECT_EQ(SettlementRetryDue(c.state, c.now), c.is_due) << c.now;
    }
}

// Near the end of the clock the due time saturates instead of wrapping to a
// small number, which would fire the retry at once.
TEST(SettlementRetryDue, DueTimeNeverWrapsAround) {
    const std::uint64_t late = std::numeric_limits<std::uint64_t>::max() - 10;
    const auto state = ScheduleSettlementRetry(PluginSettlementHttpRequest{}, Response(503), 1,
                                               BackendRetryPolicy{2, 250, 250}, late);
    ASSERT_TRUE(state.has_value());
    EXPECT_EQ(state->due_at_ms, std::numeric_limits<std::uint64_t>::max());
    EXPECT_FALSE(SettlementRetryDue(*state, late));
}

}  // namespace
}  // namespace ironpost
