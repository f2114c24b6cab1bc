#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "ironpost_plugin_session.h"
#include "scripted_http_client.h"

namespace ironpost::session_test {
namespace {

class SessionFollowUp : public SessionTest {
  protected:
    // Round 1 submitted at `now_ms` and answered with `http_status`/`body`.
    MetamodSettlementSubmitResult SubmitRound(std::int32_t http_status, const std::string& body,
                                              std::uint64_t now_ms, int replies = 1) {
        SeatPlayersAndStartRound(1);
        for (int i = 0; i < replies; ++i) {
            client_.Reply(http_status, body);
        }
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

    static PluginSettlementIntakeResponse LateRejection(const std::string& request_id = "") {
        return ParsePluginSettlementIntakeHttpResponse(
            request_id.empty()
                ? BackendHttpResponse{0, "", "connect failed: Connection refused"}
                : BackendHttpResponse{409, RejectedReplyBody(409, "conflict", request_id), ""});
    }
};

// ---------------------------------------------------------------------------
// Delayed retries

TEST_F(SessionFollowUp, ARetryIsSentOnlyWhenDueWithTheHeadersOfItsAttemptUntilExhausted) {
    LoadOrFail("ironpost_backend_retry_max_attempts 3\n");
    const std::string busy = RejectedReplyBody(503, "busy");
    ASSERT_FALSE(SubmitRound(503, busy, 1000, 3).submitted);
    const std::string sent_body = client_.requests.back().body;
    client_.requests.clear();

    const MetamodSettlementSubmitResult early = session_.SubmitPendingSettlementRetry(1249);
    EXPECT_EQ(early.errors, Lines{"settlement retry is not due"});
    EXPECT_TRUE(client_.requests.empty());
    EXPECT_EQ(session_.PendingSettlementRetry()->due_at_ms, 1250u);

    struct Step {
        std::uint64_t now_ms;
        const char* attempt;
        Lines errors;
        std::uint64_t next_due_ms;  // 0: no retry remains
    };
    const Step steps[] = {
        {1250,
         "2",
         {"settlement backend retry rejected request", "busy", "backend returned HTTP 503"},
         1750},
        {1750,
         "3",
         {"settlement backend retry rejected request", "busy", "backend returned HTTP 503",
          "settlement retry attempts exhausted after 3 attempts"},
         0},
    };
    for (const Step& step : steps) {
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
    EXPECT_TRUE(result.submitted);
    EXPECT_TRUE(result.lifecycle_applied);
    EXPECT_TRUE(result.errors.empty());
    EXPECT_FALSE(session_.HasPendingSettlementRetry());
    EXPECT_TRUE(session_.HasUnresolvedSettlement());
    EXPECT_EQ(Record("round-1")->relay_status, SettlementRelayStatus::Queued);
    EXPECT_EQ(session_.Runtime().LastRoundEarningForSlot(1)->relay_status,
              SettlementRelayStatus::Queued);
    client_.Reply(200, SettlementReplyBody("round-1", "submitted"));
    EXPECT_TRUE(session_.PollUnresolvedSettlementStatus(1250).submitted);  // due at once
}

// ---------------------------------------------------------------------------
// Status polls

TEST_F(SessionFollowUp, AStatusPollNamesThePollInTheEnvelopeAndTheSettlementInThePayload) {
    LoadOrFail("ironpost_backend_auth_mode bearer_token_file\nironpost_backend_auth_token_file \"" +
               dir_.Write("backend.token", "tok") +
               "\"\nironpost_backend_retry_max_attempts 3\n"
               "ironpost_backend_request_id_header X-Req\n");
    ASSERT_TRUE(SubmitRound(200, SettlementReplyBody("round-1", "queued"), 1000).submitted);
    client_.requests.clear();

    client_.Reply(200, SettlementReplyBody("round-1", "submitted"));
    const MetamodSettlementSubmitResult poll = session_.PollUnresolvedSettlementStatus(1000);
    ASSERT_TRUE(poll.submitted) << ::testing::PrintToString(poll.errors);
    ASSERT_EQ(client_.requests.size(), 1u);
    const BackendHttpPostRequest& post = client_.requests[0];
    const std::string status_id =
        "round-1-status-" + ExtractObjectFieldValue(post.body, "timestampMs").value_or("?");
    EXPECT_EQ(post.url, "http://127.0.0.1:9/v1/plugin/submission-status");
    EXPECT_EQ(post.content_type, "application/json");
    // No bearer token and no attempt headers on polls.
    EXPECT_EQ(Headers(post), (HeaderList{{"X-IronPost-Server-Id", "srv-1"}, {"X-Req", status_id}}));
    EXPECT_EQ(JsonText(post.body, "requestId"), status_id);
    EXPECT_EQ(JsonText(post.body, "serverId"), "srv-1");
    EXPECT_EQ(EnvelopePayload(post.body),
              "{\"nowMs\":1000,\"requestId\":\"round-1\",\"serverId\":\"srv-1\"}");
    ExpectSignedEnvelope(post.body, "submission-status");
    ASSERT_TRUE(poll.request.has_value());
    EXPECT_EQ(poll.request->request_id, "round-1");
    EXPECT_EQ(poll.request->path, "/v1/plugin/settlements");
    EXPECT_EQ(Record("round-1")->relay_status, SettlementRelayStatus::Submitted);
}

TEST_F(SessionFollowUp, PollsWaitTheRetryBaseDelayButAtLeastOneSecond) {
    struct Case {
        const char* config;
        std::uint64_t interval_ms;
    };
    const Case cases[] = {
        {"", 1000},
        {"ironpost_backend_retry_base_delay_ms 5000\nironpost_backend_retry_max_delay_ms 9000\n",
         5000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.interval_ms);
        LoadOrFail(c.config);
        ASSERT_TRUE(SubmitRound(200, SettlementReplyBody("round-1", "queued"), 100).submitted);
        client_.Reply(200, SettlementReplyBody("round-1", "submitted"));
        ASSERT_TRUE(session_.PollUnresolvedSettlementStatus(2000).submitted);
        const std::size_t posts = client_.requests.size();
        EXPECT_EQ(session_.PollUnresolvedSettlementStatus(2000 + c.interval_ms - 1).errors,
                  Lines{"submission status poll is not due"});
        EXPECT_EQ(client_.requests.size(), posts);
        client_.Reply(200, SettlementReplyBody("round-1", "submitted"));
        EXPECT_TRUE(session_.PollUnresolvedSettlementStatus(2000 + c.interval_ms).submitted);
        EXPECT_EQ(client_.requests.size(), posts + 1);
    }
}

TEST_F(SessionFollowUp, ThePollReplyDecidesWhatHappensToTheSettlement) {
    struct Case {
        const char* name;
        std::string config;
        std::int32_t http_status;
        std::string body;
        bool submitted;
        Lines errors;
        bool still_unresolved;
        bool retry;
    };
    const std::string failed = SettlementReplyBody("round-1", "failed", "\"relay broke\"");
    const Case cases[] = {
        {"still submitted",
         "",
         200,
         SettlementReplyBody("round-1", "submitted"),
         true,
         {},
         true,
         false},
        {"included", "", 200, SettlementReplyBody("round-1", "included"), true, {}, false, false},
        {"rejected",
         "",
         404,
         RejectedReplyBody(404, "settlement request id is unknown", "round-1-status-1"),
         false,
         {"submission status backend rejected request", "settlement request id is unknown",
          "backend returned HTTP 404"},
         true,
         false},
        {"failed, retries allowed",
         "ironpost_backend_retry_max_attempts 3\n",
         200,
         failed,
         true,
         {"submission status response did not advance lifecycle",
          "submission status reported failed; retry scheduled"},
         true,
         true},
        {"failed, single attempt",
         "",
         200,
         failed,
         true,
         {"submission status response did not advance lifecycle",
          "submission status reported failed; no retry remains"},
         true,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoadOrFail(c.config);
        ASSERT_TRUE(SubmitRound(200, SettlementReplyBody("round-1", "queued"), 100).submitted);
        client_.Reply(c.http_status, c.body);
        const MetamodSettlementSubmitResult poll = session_.PollUnresolvedSettlementStatus(3000);
        EXPECT_EQ(poll.submitted, c.submitted);
        EXPECT_EQ(poll.errors, c.errors);
        EXPECT_EQ(session_.HasUnresolvedSettlement(), c.still_unresolved);
        EXPECT_EQ(session_.HasPendingSettlementRetry(), c.retry);
        if (c.retry) {
            EXPECT_EQ(session_.PendingSettlementRetry()->due_at_ms, 3250u);
            EXPECT_EQ(session_.PendingSettlementRetry()->next_attempt, 2u);
        }
        if (!c.still_unresolved) {
            EXPECT_FALSE(Record("round-1").has_value());
            EXPECT_EQ(session_.Runtime().CurrentRoundState().phase, RoundPhase::ChainIncluded);
            EXPECT_EQ(session_.PollUnresolvedSettlementStatus(9000).errors,
                      Lines{"no unresolved settlement"});
        }
    }
}

// ---------------------------------------------------------------------------
// Replies that arrive later (worker mode)

TEST_F(SessionFollowUp, ACompletionResolvesOnlyTheSettlementItNames) {
    LoadOrFail();
    ASSERT_TRUE(SubmitRound(202, kWorkerQueuedBody, 100).submitted);
    session_.Runtime().UpdateUnresolvedSettlementRecord("round-0", SettlementRelayStatus::Submitted,
                                                        "");

    // Another settlement's final reply clears its record, not the kept request.
    (void)session_.ApplyBackendSettlementCompletion(
        Completion("round-0", SettlementRelayStatus::Included), 200);
    EXPECT_FALSE(Record("round-0").has_value());
    EXPECT_TRUE(session_.HasUnresolvedSettlement());

    // A rejected status poll names the poll, not the settlement: no change.
    EXPECT_FALSE(session_.ApplyBackendSettlementCompletion(
        ParsePluginSettlementIntakeHttpResponse(
            {404, RejectedReplyBody(404, "unknown", "round-1-status-5"), ""}),
        300));
    EXPECT_TRUE(session_.HasUnresolvedSettlement());
    EXPECT_EQ(Record("round-1")->relay_status, SettlementRelayStatus::Queued);

    (void)session_.ApplyBackendSettlementCompletion(
        Completion("round-1", SettlementRelayStatus::Included), 400);
    EXPECT_FALSE(session_.HasUnresolvedSettlement());
    EXPECT_FALSE(Record("round-1").has_value());
    EXPECT_TRUE(session_.Runtime().UnresolvedSettlementRecords().empty());
}

TEST_F(SessionFollowUp, AFailedRelayReportedLaterIsSentAgain) {
    LoadOrFail("ironpost_backend_retry_max_attempts 2\n");
    ASSERT_TRUE(SubmitRound(202, kWorkerQueuedBody, 100).submitted);
    PluginSettlementIntakeResponse failed = Completion("round-1", SettlementRelayStatus::Failed);
    failed.errors = {"relay broke"};
    EXPECT_FALSE(session_.ApplyBackendSettlementCompletion(failed, 500));
    EXPECT_EQ(Record("round-1")->last_error, "relay broke");
    ASSERT_TRUE(session_.HasPendingSettlementRetry());
    EXPECT_EQ(session_.PendingSettlementRetry()->due_at_ms, 750u);
    EXPECT_EQ(session_.PendingSettlementRetry()->reason, "relay_failed");
}

// The worker client answers every post with an accepted "queued" placeholder;
// a rejection that arrives later must not leave the settlement for lost.
TEST_F(SessionFollowUp, ALateRejectionOfAQueuedSettlementIsRetriedUnderThePolicy) {
    LoadOrFail("ironpost_backend_retry_max_attempts 3\n");
    ASSERT_TRUE(SubmitRound(202, kWorkerQueuedBody, 1000).submitted);
    const std::string sent_body = client_.requests.back().body;

    struct Step {
        const char* name;
        PluginSettlementIntakeResponse rejection;
        std::uint32_t next_attempt;  // 0: attempts used up
    };
    const Step steps[] = {
        {"transport failure of attempt 1", LateRejection(), 2},
        {"rejection naming attempt 2", LateRejection("round-1"), 3},
        {"transport failure of attempt 3", LateRejection(), 0},
    };
    std::uint64_t now_ms = 2000;
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        EXPECT_FALSE(session_.ApplyBackendSettlementCompletion(step.rejection, now_ms));
        EXPECT_FALSE(session_.HasUnresolvedSettlement());
        EXPECT_EQ(Record("round-1")->relay_status, SettlementRelayStatus::Failed);
        EXPECT_EQ(Record("round-1")->last_error, step.rejection.errors.front());
        ASSERT_EQ(session_.HasPendingSettlementRetry(), step.next_attempt != 0);
        if (step.next_attempt == 0) {
            break;
        }
        const SettlementRetryState retry = *session_.PendingSettlementRetry();
        EXPECT_EQ(retry.next_attempt, step.next_attempt);
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
    // The newer settlement is still followed.
    client_.Reply(200, SettlementReplyBody("round-2", "submitted"));
    EXPECT_TRUE(session_.PollUnresolvedSettlementStatus(1200).submitted);
    EXPECT_EQ(JsonText(EnvelopePayload(client_.requests.back().body), "requestId"), "round-2");
}

TEST_F(SessionFollowUp, ALateRejectionWithoutAnAwaitedSubmissionChangesNothing) {
    LoadOrFail("ironpost_backend_retry_max_attempts 3\n");
    // A synchronous acceptance: no reply is awaited, so a failure arriving
    // later (a status poll's transport error) is not the settlement's.
    ASSERT_TRUE(SubmitRound(200, SettlementReplyBody("round-1", "queued"), 1000).submitted);
    EXPECT_FALSE(session_.ApplyBackendSettlementCompletion(LateRejection(), 1500));
    EXPECT_TRUE(session_.HasUnresolvedSettlement());
    EXPECT_FALSE(session_.HasPendingSettlementRetry());
    EXPECT_EQ(Record("round-1")->relay_status, SettlementRelayStatus::Queued);
}

TEST_F(SessionFollowUp, ClearingTheRetryDropsIt) {
    LoadOrFail("ironpost_backend_retry_max_attempts 2\n");
    ASSERT_FALSE(SubmitRound(503, RejectedReplyBody(503, "busy"), 1000, 2).submitted);
    ASSERT_TRUE(session_.HasPendingSettlementRetry());
    session_.ClearPendingSettlementRetry();
    EXPECT_FALSE(session_.PendingSettlementRetry().has_value());
    EXPECT_EQ(session_.SubmitPendingSettlementRetry(5000).errors,
              Lines{"no pending settlement retry"});
}

}  // namespace
}  // namespace ironpost::session_test
