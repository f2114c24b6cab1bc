#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <utility>

#include "ironpost_plugin_session.h"
#include "scripted_http_client.h"

namespace ironpost::session_test {
namespace {

class SessionFollowUp : public SessionTest {
  protected:
    // Round 1 ended at `now_ms`, each post answered with `http_status`/`body`.
    MetamodSettlementSubmitResult SubmitRound(std::int32_t http_status, const std::string& body,
                                              std::uint64_t now_ms, int replies = 1) {
        SeatPlayersAndStartRound(1);
        client_.Reply(http_status, body, replies);
        return session_.OnRoundEnd(RoundContext("round-1"), now_ms);
    }
    static PluginSettlementIntakeResponse Completion(const std::string& request_id,
                                                     SettlementRelayStatus status) {
        PluginSettlementIntakeResponse response;
        response.status_code = 200;
        response.accepted = true;
        response.request_id = request_id;
        response.relay_status = status;
        return response;
    }
    // A transport failure names no request; a backend refusal names one.
    static PluginSettlementIntakeResponse LateRejection(const std::string& request_id = "") {
        return ParsePluginSettlementIntakeHttpResponse(
            request_id.empty()
                ? BackendHttpResponse{0, "", "connect failed: Connection refused"}
                : BackendHttpResponse{409, RejectedReplyBody(409, "conflict", request_id), ""});
    }
};

TEST_F(SessionFollowUp, ARetryIsSentOnlyWhenDueWithTheHeadersOfItsAttemptUntilExhausted) {
    LoadOrFail("ironpost_backend_retry_max_attempts 3\n");
    const std::string busy = RejectedReplyBody(503, "busy");
    ASSERT_FALSE(SubmitRound(503, busy, 1000, 3).submitted);
    const std::string sent_body = client_.requests.back().body;
    client_.requests.clear();

    EXPECT_EQ(session_.SubmitPendingSettlementRetry(1249).errors,
              Lines{"settlement retry is not due"});
    EXPECT_TRUE(client_.requests.empty());
    EXPECT_EQ(session_.PendingSettlementRetry()->due_at_ms, 1250u);

    const Lines rejected = {"settlement backend retry rejected request", "busy",
                            "backend returned HTTP 503"};
    Lines exhausted = rejected;
    exhausted.push_back("settlement retry attempts exhausted after 3 attempts");
    struct Step {
        std::uint64_t now_ms;
        const char* attempt;
        Lines errors;
        std::uint64_t next_due_ms;  // 0: no retry remains
    };
    for (const Step& step : {Step{1250, "2", rejected, 1750}, Step{1750, "3", exhausted, 0}}) {
        SCOPED_TRACE(step.attempt);
        client_.Reply(503, busy);
        const MetamodSettlementSubmitResult result =
            session_.SubmitPendingSettlementRetry(step.now_ms);
        EXPECT_TRUE(result.request_built);
        EXPECT_FALSE(result.submitted);
        EXPECT_EQ(result.errors, step.errors);
        const BackendHttpPostRequest& post = client_.requests.back();
        EXPECT_EQ(post.url, "http://127.0.0.1:9/v1/plugin/settlements");
        EXPECT_EQ(post.body, sent_body);
        EXPECT_EQ(Headers(post), (HeaderList{{"X-IronPost-Server-Id", "srv-1"},
                                             {"X-IronPost-Request-Id", "round-1"},
                                             {"X-IronPost-Attempt", step.attempt},
                                             {"X-IronPost-Max-Attempts", "3"}}));
        EXPECT_EQ(session_.HasPendingSettlementRetry(), step.next_due_ms != 0);
        if (step.next_due_ms != 0) {
            EXPECT_EQ(session_.PendingSettlementRetry()->due_at_ms, step.next_due_ms);
        }
    }
    EXPECT_EQ(Record("round-1")->relay_status, SettlementRelayStatus::Failed);
    EXPECT_EQ(session_.SubmitPendingSettlementRetry(9999).errors,
              Lines{"no pending settlement retry"});
}

TEST_F(SessionFollowUp, AnAcceptedRetryBecomesTheUnresolvedSettlement) {
    LoadOrFail("ironpost_backend_retry_max_attempts 2\n");
    ASSERT_FALSE(SubmitRound(503, RejectedReplyBody(503, "busy"), 1000, 2).submitted);
    client_.Reply(200, SettlementReplyBody("round-1", "queued"));
    const MetamodSettlementSubmitResult result = session_.SubmitPendingSettlementRetry(1250);
    EXPECT_TRUE(result.submitted && result.lifecycle_applied);
    EXPECT_TRUE(result.errors.empty());
    EXPECT_FALSE(session_.HasPendingSettlementRetry());
    EXPECT_TRUE(session_.HasUnresolvedSettlement());
    EXPECT_EQ(Record("round-1")->relay_status, SettlementRelayStatus::Queued);
    EXPECT_EQ(session_.Runtime().LastRoundEarningForSlot(1)->relay_status,
              SettlementRelayStatus::Queued);

    // Answered at once, so no later reply is awaited: a failure arriving now
    // (a status poll's own) is not the settlement's.
    EXPECT_FALSE(session_.ApplyBackendSettlementCompletion(LateRejection(), 1260));
    EXPECT_FALSE(session_.HasPendingSettlementRetry());
    client_.Reply(200, SettlementReplyBody("round-1", "submitted"));
    EXPECT_TRUE(session_.PollUnresolvedSettlementStatus(1270).submitted);  // due at once
}

TEST_F(SessionFollowUp, AStatusPollNamesThePollInTheEnvelopeAndTheSettlementInThePayload) {
    LoadOrFail(BearerConfig("tok") +
               "ironpost_backend_retry_max_attempts 3\nironpost_backend_request_id_header X-Req\n");
    ASSERT_TRUE(SubmitRound(200, SettlementReplyBody("round-1", "queued"), 1000).submitted);
    client_.requests.clear();

    client_.Reply(200, SettlementReplyBody("round-1", "submitted"));
    const MetamodSettlementSubmitResult poll = session_.PollUnresolvedSettlementStatus(1000);
    ASSERT_TRUE(poll.submitted) << ::testing::PrintToString(poll.errors);
    ASSERT_EQ(client_.requests.size(), 1u);
    const BackendHttpPostRequest& post = client_.requests[0];
    const std::string status_id = "round-1-status-" + JsonText(post.body, "timestampMs");
    EXPECT_EQ(post.url, "http://127.0.0.1:9/v1/plugin/submission-status");
    EXPECT_EQ(post.content_type, "application/json");
    // No bearer token and no attempt headers on polls.
    EXPECT_EQ(Headers(post), (HeaderList{{"X-IronPost-Server-Id", "srv-1"}, {"X-Req", status_id}}));
    EXPECT_EQ(JsonText(post.body, "requestId"), status_id);
    EXPECT_EQ(JsonText(post.body, "serverId"), "srv-1");
    EXPECT_EQ(EnvelopePayload(post.body),
              "{\"nowMs\":1000,\"requestId\":\"round-1\",\"serverId\":\"srv-1\"}");
    ExpectSignedEnvelope(post.body, "submission-status");
    EXPECT_EQ(poll.request->request_id, "round-1");
    EXPECT_EQ(Record("round-1")->relay_status, SettlementRelayStatus::Submitted);
}

TEST_F(SessionFollowUp, PollsWaitTheRetryBaseDelayButAtLeastOneSecond) {
    const std::pair<const char*, std::uint64_t> cases[] = {
        {"", 1000},
        {"ironpost_backend_retry_base_delay_ms 5000\nironpost_backend_retry_max_delay_ms 9000\n",
         5000},
    };
    for (const auto& [config, interval_ms] : cases) {
        SCOPED_TRACE(interval_ms);
        LoadOrFail(config);
        ASSERT_TRUE(SubmitRound(200, SettlementReplyBody("round-1", "queued"), 100).submitted);
        client_.Reply(200, SettlementReplyBody("round-1", "submitted"), 2);
        ASSERT_TRUE(session_.PollUnresolvedSettlementStatus(2000).submitted);
        const std::size_t posts = client_.requests.size();
        EXPECT_EQ(session_.PollUnresolvedSettlementStatus(2000 + interval_ms - 1).errors,
                  Lines{"submission status poll is not due"});
        EXPECT_EQ(client_.requests.size(), posts);
        EXPECT_TRUE(session_.PollUnresolvedSettlementStatus(2000 + interval_ms).submitted);
    }
}

TEST_F(SessionFollowUp, ThePollReplyDecidesWhatHappensToTheSettlement) {
    const std::string failed = SettlementReplyBody("round-1", "failed", "\"relay broke\"");
    const std::string unknown = "settlement request id is unknown";
    const std::string status_failed = "submission status reported failed; ";
    const Lines rejected = {"submission status backend rejected request", unknown,
                            "backend returned HTTP 404"};
    const Lines not_advanced = {"submission status response did not advance lifecycle"};
    const auto with = [](Lines lines, const std::string& line) {
        lines.push_back(line);
        return lines;
    };
    // Config, HTTP status, reply, errors, still unresolved, retry planned.
    const std::tuple<std::string, int, std::string, Lines, bool, bool> cases[] = {
        {"", 200, SettlementReplyBody("round-1", "submitted"), {}, true, false},
        {"", 200, SettlementReplyBody("round-1", "included"), {}, false, false},
        {"", 404, RejectedReplyBody(404, unknown, "round-1-status-1"), rejected, true, false},
        {"ironpost_backend_retry_max_attempts 3\n", 200, failed,
         with(not_advanced, status_failed + "retry scheduled"), true, true},
        {"", 200, failed, with(not_advanced, status_failed + "no retry remains"), true, false},
    };
    for (const auto& [config, http_status, reply, errors, unresolved, retry] : cases) {
        SCOPED_TRACE(config + reply);
        LoadOrFail(config);
        ASSERT_TRUE(SubmitRound(200, SettlementReplyBody("round-1", "queued"), 100).submitted);
        client_.Reply(http_status, reply);
        const MetamodSettlementSubmitResult poll = session_.PollUnresolvedSettlementStatus(3000);
        EXPECT_EQ(poll.submitted, http_status == 200);
        EXPECT_EQ(poll.errors, errors);
        EXPECT_EQ(session_.HasUnresolvedSettlement(), unresolved);
        ASSERT_EQ(session_.HasPendingSettlementRetry(), retry);
        if (retry) {
            EXPECT_EQ(session_.PendingSettlementRetry()->due_at_ms, 3250u);
            EXPECT_EQ(session_.PendingSettlementRetry()->next_attempt, 2u);
        }
        if (!unresolved) {
            EXPECT_FALSE(Record("round-1").has_value());
            EXPECT_EQ(session_.Runtime().CurrentRoundState().phase, RoundPhase::ChainIncluded);
            EXPECT_EQ(session_.PollUnresolvedSettlementStatus(9000).errors,
                      Lines{"no unresolved settlement"});
        }
    }
}

// ---------------------------------------------------------------------------
// Replies that arrive later (worker mode)

TEST_F(SessionFollowUp, ACompletionActsOnlyOnTheSettlementItNames) {
    LoadOrFail("ironpost_backend_retry_max_attempts 2\n");
    ASSERT_TRUE(SubmitRound(202, kWorkerQueuedBody, 100).submitted);
    session_.Runtime().UpdateUnresolvedSettlementRecord("round-0", SettlementRelayStatus::Submitted,
                                                        "");
    // Another settlement's final reply clears its record, not the kept request.
    (void)session_.ApplyBackendSettlementCompletion(
        Completion("round-0", SettlementRelayStatus::Included), 200);
    EXPECT_FALSE(Record("round-0").has_value());
    EXPECT_TRUE(session_.HasUnresolvedSettlement());

    // The settlement's real reply, then a rejected poll naming the poll.
    (void)session_.ApplyBackendSettlementCompletion(
        Completion("round-1", SettlementRelayStatus::Submitted), 250);
    EXPECT_FALSE(session_.ApplyBackendSettlementCompletion(LateRejection("round-1-status-5"), 300));
    EXPECT_EQ(Record("round-1")->relay_status, SettlementRelayStatus::Submitted);
    EXPECT_FALSE(session_.HasPendingSettlementRetry());

    // A relay reported failed later is sent again under the policy.
    PluginSettlementIntakeResponse failed = Completion("round-1", SettlementRelayStatus::Failed);
    failed.errors = {"relay broke"};
    EXPECT_FALSE(session_.ApplyBackendSettlementCompletion(failed, 500));
    EXPECT_EQ(Record("round-1")->last_error, "relay broke");
    ASSERT_TRUE(session_.HasPendingSettlementRetry());
    EXPECT_EQ(session_.PendingSettlementRetry()->due_at_ms, 750u);
    EXPECT_EQ(session_.PendingSettlementRetry()->reason, "relay_failed");

    (void)session_.ApplyBackendSettlementCompletion(
        Completion("round-1", SettlementRelayStatus::Included), 600);
    EXPECT_FALSE(session_.HasUnresolvedSettlement());
    EXPECT_TRUE(session_.Runtime().UnresolvedSettlementRecords().empty());
}

// The worker client answers every post with an accepted "queued" placeholder;
// a rejection that arrives later must not leave the settlement for lost.
TEST_F(SessionFollowUp, ALateRejectionOfAQueuedSettlementIsRetriedUnderThePolicy) {
    LoadOrFail("ironpost_backend_retry_max_attempts 3\n");
    ASSERT_TRUE(SubmitRound(202, kWorkerQueuedBody, 1000).submitted);
    const std::string sent_body = client_.requests.back().body;
    const std::pair<PluginSettlementIntakeResponse, std::uint32_t> steps[] = {
        {LateRejection(), 2}, {LateRejection("round-1"), 3}, {LateRejection(), 0}};
    std::uint64_t now_ms = 2000;
    for (const auto& [rejection, next_attempt] : steps) {
        SCOPED_TRACE(next_attempt);
        EXPECT_FALSE(session_.ApplyBackendSettlementCompletion(rejection, now_ms));
        EXPECT_FALSE(session_.HasUnresolvedSettlement());
        EXPECT_EQ(Record("round-1")->relay_status, SettlementRelayStatus::Failed);
        EXPECT_EQ(Record("round-1")->last_error, rejection.errors.front());
        ASSERT_EQ(session_.HasPendingSettlementRetry(), next_attempt != 0);
        if (next_attempt == 0) {
            break;
        }
        const SettlementRetryState retry = *session_.PendingSettlementRetry();
        EXPECT_EQ(retry.next_attempt, next_attempt);
        EXPECT_EQ(retry.request.body, sent_body);
        client_.Reply(202, kWorkerQueuedBody);
        EXPECT_TRUE(session_.SubmitPendingSettlementRetry(retry.due_at_ms).submitted);
        EXPECT_TRUE(session_.HasUnresolvedSettlement());
        now_ms = retry.due_at_ms + 10;
    }
}

TEST_F(SessionFollowUp, ALateRejectionIsRetriedEvenAfterANewerSettlementIsFollowed) {
    LoadOrFail("ironpost_backend_retry_max_attempts 2\n");
    ASSERT_TRUE(SubmitRound(202, kWorkerQueuedBody, 1000).submitted);
    const std::string first_body = client_.requests.back().body;
    ASSERT_TRUE(session_.OnRoundStart(2));
    client_.Reply(200, SettlementReplyBody("round-2", "queued"));
    ASSERT_TRUE(session_.OnRoundEnd(RoundContext("round-2"), 1100).submitted);

    EXPECT_FALSE(session_.ApplyBackendSettlementCompletion(LateRejection(), 1200));
    EXPECT_EQ(Record("round-1")->relay_status, SettlementRelayStatus::Failed);
    ASSERT_TRUE(session_.HasPendingSettlementRetry());
    EXPECT_EQ(session_.PendingSettlementRetry()->request.body, first_body);
    client_.Reply(200, SettlementReplyBody("round-2", "submitted"));
    EXPECT_TRUE(session_.PollUnresolvedSettlementStatus(1200).submitted);
    EXPECT_EQ(JsonText(EnvelopePayload(client_.requests.back().body), "requestId"), "round-2");
}

}  // namespace
}  // namespace ironpost::session_test
