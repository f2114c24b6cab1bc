#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <set>
#include <string>
#include <thread>
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
                                              std::uint64_t now_ms,
                                              const std::string& request_id = "round-1") {
        SeatPlayersAndStartRound(1);
        client_.Reply(http_status, body);
        return session_.OnRoundEnd(RoundContext(request_id), now_ms);
    }
    // Ends round `round` as settlement "round-<round>", answered with `body`.
    void EndRound(std::uint32_t round, std::int32_t http_status, const std::string& body,
                  std::uint64_t now_ms) {
        ASSERT_TRUE(session_.OnRoundStart(round));
        client_.Reply(http_status, body);
        (void)session_.OnRoundEnd(RoundContext("round-" + std::to_string(round)), now_ms);
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
    void ApplyDrained(std::uint64_t now_ms) {
        for (const auto& [request, response] : client_.Drain(true)) {
            (void)session_.ApplyBackendSettlementCompletion(request, response, now_ms);
        }
    }
};

// Whatever path asks for the next send (a rejection at once, a relay that
// failed in a worker's late answer or at once), the attempts of one
// settlement share one budget, each send is a fresh envelope around the same
// payload, and a spent budget ends the follow-up with a log line.
TEST_F(SessionFollowUp, OneSettlementsAttemptsAreCountedOverItsWholeLife) {
    const std::string relay_failed = SettlementReplyBody("round-1", "failed", "\"relay broke\"");
    const std::string busy = RejectedReplyBody(503, "busy");
    // The last attempt's answer, the errors of its send, the record's error.
    const std::tuple<BackendHttpResponse, Lines, std::string> last_answers[] = {
        {{200, relay_failed, ""},
         {"settlement retry response did not advance lifecycle"},
         "relay broke"},
        {{503, busy, ""},
         {"settlement backend retry rejected request", "busy", "backend returned HTTP 503",
          "settlement retry attempts exhausted after 3 attempts"},
         "busy"},
    };
    for (const auto& [last_answer, errors, last_error] : last_answers) {
        SCOPED_TRACE(last_error);
        client_.requests.clear();
        (void)session_.TakeSessionLogLines();
        LoadOrFail("ironpost_backend_retry_max_attempts 3\n");
        ASSERT_FALSE(SubmitRound(503, busy, 1000).submitted);
        EXPECT_EQ(session_.SubmitPendingSettlementRetry(1249).errors,
                  Lines{"settlement retry is not due"});

        // Attempt 2 goes to a worker; its late answer says the relay failed.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        client_.deferred = true;
        ASSERT_TRUE(session_.SubmitPendingSettlementRetry(1250).submitted);
        EXPECT_FALSE(session_.HasPendingSettlementRetry());
        client_.Reply(200, relay_failed);
        ApplyDrained(1300);
        const std::optional<SettlementRetryState> third = session_.PendingSettlementRetry();
        ASSERT_TRUE(third.has_value());
        EXPECT_EQ(std::make_tuple(third->next_attempt, third->due_at_ms, third->reason),
                  std::make_tuple(3u, std::uint64_t{1800}, std::string("relay_failed")));

        // Attempt 3, the last, answered at once.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        client_.deferred = false;
        client_.replies.push_back(last_answer);
        EXPECT_EQ(session_.SubmitPendingSettlementRetry(1800).errors, errors);
        EXPECT_FALSE(session_.HasPendingSettlementRetry());
        EXPECT_TRUE(session_.FollowedSettlementIds().empty());
        ASSERT_TRUE(Record("round-1").has_value());
        EXPECT_EQ(Record("round-1")->relay_status, SettlementRelayStatus::Failed);
        EXPECT_EQ(Record("round-1")->last_error, last_error);
        EXPECT_EQ(session_.TakeSessionLogLines(),
                  Lines{"settlement round-1 failed after 3 of 3 attempts: " + last_error +
                        "; not sent again in this run"});
        EXPECT_EQ(session_.SubmitPendingSettlementRetry(9999).errors,
                  Lines{"no pending settlement retry"});

        EXPECT_EQ(SettlementAttempts(client_.requests, "round-1"), (Lines{"1", "2", "3"}));
        std::set<std::string> nonces;
        for (const BackendHttpPostRequest& post : client_.requests) {
            nonces.insert(JsonText(post.body, "nonce"));
            EXPECT_EQ(EnvelopePayload(post.body), EnvelopePayload(client_.requests[0].body));
            ExpectSignedEnvelope(post.body, "settlement");
        }
        EXPECT_EQ(nonces.size(), 3u);
    }
}

// Worker mode: answers arrive later and in any order, each tied to its own
// request; a failed poll is only a failed poll.
TEST_F(SessionFollowUp, EachLateAnswerChangesOnlyTheRequestItAnswers) {
    LoadOrFail("ironpost_backend_retry_max_attempts 3\n");
    client_.deferred = true;
    ASSERT_TRUE(SubmitRound(0, "", 1000).submitted);
    EndRound(2, 0, "", 1100);
    EXPECT_EQ(session_.PollDueSettlementStatuses(1100).size(), 2u);
    client_.answer = [](const BackendHttpPostRequest& request) -> BackendHttpResponse {
        const std::string id = RequestId(request);
        if (id == "round-2") {
            return {0, "", "connect failed: Connection refused"};
        }
        if (PostedTo(request, "/v1/plugin/submission-status")) {
            return {404, RejectedReplyBody(404, "settlement request id is unknown", id), ""};
        }
        return {200, SettlementReplyBody(id, "queued"), ""};
    };
    // The polls' failures come in before the posts' answers.
    ApplyDrained(1200);
    EXPECT_EQ(session_.FollowedSettlementIds(), (Lines{"round-1", "round-2"}));
    ASSERT_TRUE(Record("round-1") && Record("round-2"));
    EXPECT_EQ(Record("round-1")->relay_status, SettlementRelayStatus::Queued);
    EXPECT_EQ(Record("round-2")->relay_status, SettlementRelayStatus::Failed);
    const std::optional<SettlementRetryState> retry = session_.PendingSettlementRetry();
    ASSERT_TRUE(retry.has_value());
    EXPECT_EQ(std::make_tuple(retry->request.request_id, retry->next_attempt, retry->reason),
              std::make_tuple(std::string("round-2"), 2u, std::string("transport_error")));

    // Answers to nothing the session sent change nothing.
    BackendHttpPostRequest heartbeat = client_.requests[0];
    heartbeat.url = "http://127.0.0.1:9/v1/plugin/heartbeat";
    EXPECT_FALSE(session_.ApplyBackendSettlementCompletion(heartbeat, {0, "", "refused"}, 1300));
    EXPECT_FALSE(session_.ApplyBackendSettlementCompletion(
        ParsePluginSettlementIntakeHttpResponse({0, "", "connect failed"}), 1300));
    EXPECT_EQ(session_.FollowedSettlementIds(), (Lines{"round-1", "round-2"}));
    EXPECT_EQ(session_.PendingSettlementRetry().value_or(SettlementRetryState()).request.request_id,
              "round-2");

    // Round 1 is still polled; its final answer does not move round 2.
    const std::size_t posts = client_.requests.size();
    EXPECT_EQ(session_.PollDueSettlementStatuses(2200).size(), 1u);
    ASSERT_EQ(client_.requests.size(), posts + 1);
    EXPECT_EQ(JsonText(EnvelopePayload(client_.requests.back().body), "requestId"), "round-1");
    EXPECT_FALSE(session_.ApplyBackendSettlementCompletion(
        Completion("round-1", SettlementRelayStatus::Included), 2300));
    EXPECT_EQ(session_.Runtime().CurrentRoundState().phase, RoundPhase::SettlementPending);
    EXPECT_EQ(session_.FollowedSettlementIds(), Lines{"round-2"});
    EXPECT_FALSE(Record("round-1").has_value());

    // Round 2's retry goes to a worker whose answer never comes: once no
    // exchange can last longer, the attempt counts as failed.
    const std::uint64_t limit = kHttpExchangeTimeoutFactor * 1500 + kLateAnswerGraceMs;
    ASSERT_EQ(session_.SubmitDueSettlementRetries(2400).size(), 1u);
    EXPECT_TRUE(session_.SubmitDueSettlementRetries(2400 + limit - 1).empty());
    EXPECT_FALSE(session_.HasPendingSettlementRetry());
    EXPECT_TRUE(session_.SubmitDueSettlementRetries(2400 + limit).empty());
    EXPECT_EQ(session_.PendingSettlementRetry().value_or(SettlementRetryState()).next_attempt, 3u);
}

TEST_F(SessionFollowUp, EverySettlementIsFollowedOnItsOwnWithinTheBounds) {
    LoadOrFail("ironpost_backend_retry_max_attempts 2\n");
    const std::string busy = RejectedReplyBody(503, "busy");
    ASSERT_FALSE(SubmitRound(503, busy, 1000).submitted);
    // Enough rounds to push out more settlements than log lines are kept.
    const std::uint32_t last_round = kMaxFollowedSettlements + kMaxSessionLogLines + 2;
    for (std::uint32_t round = 2; round <= last_round; ++round) {
        EndRound(round, 503, busy, 1000 + round);
    }
    // Every rejection kept its own retry; the oldest settlements made room.
    // The journal keeps the first 64 and refuses the rest, each with a line.
    EXPECT_EQ(session_.FollowedSettlementIds().size(), kMaxFollowedSettlements);
    EXPECT_EQ(session_.Runtime().UnresolvedSettlementRecords().size(), kMaxFollowedSettlements);
    EXPECT_FALSE(Record("round-66").has_value());
    EXPECT_TRUE(Record("round-67").has_value());
    const Lines log = session_.TakeSessionLogLines();
    ASSERT_EQ(log.size(), kMaxSessionLogLines + 1);
    EXPECT_EQ(log.front(), "68 earlier session log lines were dropped");
    EXPECT_EQ(log.end()[-2],
              "settlement round-130 is not journaled: the journal holds at most 64 entries; it "
              "will not survive a restart");
    EXPECT_EQ(log.back(),
              "settlement round-66 dropped from follow-up: at most 64 settlements are kept");

    // Each frame sends the earliest due retries, a bounded few, then polls
    // the settlements they made unresolved.
    client_.requests.clear();
    client_.deferred = true;
    Lines expected;
    for (int frame = 0; frame < 2; ++frame) {
        EXPECT_EQ(session_.SubmitDueSettlementRetries(5000).size(), kMaxSettlementSendsPerTick);
        EXPECT_EQ(session_.PollDueSettlementStatuses(5000).size(), kMaxSettlementSendsPerTick);
        for (const char* suffix : {"", " poll"}) {
            for (std::size_t i = 0; i < kMaxSettlementSendsPerTick; ++i) {
                expected.push_back("round-" + std::to_string(67 + 4 * frame + i) + suffix);
            }
        }
    }
    Lines sent;
    for (const BackendHttpPostRequest& post : client_.requests) {
        sent.push_back(PostedTo(post, "/v1/plugin/settlements")
                           ? RequestId(post)
                           : JsonText(EnvelopePayload(post.body), "requestId") + " poll");
    }
    EXPECT_EQ(sent, expected);
}

TEST_F(SessionFollowUp, AClockThatWentBackMakesEverythingPendingDueAtOnce) {
    LoadOrFail(
        "ironpost_backend_retry_max_attempts 2\nironpost_backend_retry_base_delay_ms 5000\n"
        "ironpost_backend_retry_max_delay_ms 5000\n");
    ASSERT_FALSE(SubmitRound(503, RejectedReplyBody(503, "busy"), 100000).submitted);
    EndRound(2, 200, SettlementReplyBody("round-2", "queued"), 100100);
    client_.Reply(200, SettlementReplyBody("round-2", "submitted"));
    ASSERT_EQ(session_.PollDueSettlementStatuses(100100).size(), 1u);
    EXPECT_TRUE(session_.SubmitDueSettlementRetries(104999).empty());
    EXPECT_TRUE(session_.PollDueSettlementStatuses(104999).empty());

    // A map change restarted the caller's clock.
    client_.Reply(200, SettlementReplyBody("round-1", "queued"));
    const std::vector<MetamodSettlementSubmitResult> retried =
        session_.SubmitDueSettlementRetries(2000);
    ASSERT_EQ(retried.size(), 1u);
    EXPECT_TRUE(retried[0].submitted);
    client_.Reply(200, SettlementReplyBody("round-1", "submitted"), 2);
    EXPECT_EQ(session_.PollDueSettlementStatuses(2000).size(), 2u);
    EXPECT_EQ(session_.PollUnresolvedSettlementStatus(2999).errors,
              Lines{"submission status poll is not due"});
}

TEST_F(SessionFollowUp, AStatusPollNamesThePollInTheEnvelopeAndTheSettlementInThePayload) {
    LoadOrFail(BearerConfig("tok") +
               "ironpost_backend_retry_max_attempts 3\nironpost_backend_request_id_header X-Req\n");
    const std::string id = "round-\"1\\";
    ASSERT_TRUE(SubmitRound(200, SettlementReplyBody("round-1", "queued"), 1000, id).submitted);
    client_.requests.clear();

    client_.Reply(200, SettlementReplyBody("round-1", "submitted"));
    const MetamodSettlementSubmitResult poll = session_.PollUnresolvedSettlementStatus(1000);
    ASSERT_TRUE(poll.submitted) << ::testing::PrintToString(poll.errors);
    ASSERT_EQ(client_.requests.size(), 1u);
    const BackendHttpPostRequest& post = client_.requests[0];
    const std::string status_id = id + "-status-" + JsonText(post.body, "timestampMs");
    EXPECT_EQ(post.url, "http://127.0.0.1:9/v1/plugin/submission-status");
    EXPECT_EQ(post.content_type, "application/json");
    // No bearer token and no attempt headers on polls.
    EXPECT_EQ(Headers(post), (HeaderList{{"X-IronPost-Server-Id", "srv-1"}, {"X-Req", status_id}}));
    EXPECT_EQ(JsonText(post.body, "requestId"), status_id);
    EXPECT_EQ(JsonText(post.body, "serverId"), "srv-1");
    EXPECT_EQ(EnvelopePayload(post.body),
              "{\"nowMs\":1000,\"requestId\":\"round-\\\"1\\\\\",\"serverId\":\"srv-1\"}");
    ExpectSignedEnvelope(post.body, "submission-status");
    ASSERT_TRUE(poll.request.has_value());
    EXPECT_EQ(poll.request->request_id, id);
    ASSERT_TRUE(Record(id).has_value());
    EXPECT_EQ(Record(id)->relay_status, SettlementRelayStatus::Submitted);
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
         with(not_advanced, status_failed + "retry scheduled"), false, true},
        {"", 200, failed, with(not_advanced, status_failed + "no retry remains"), false, false},
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
            const SettlementRetryState planned =
                session_.PendingSettlementRetry().value_or(SettlementRetryState());
            EXPECT_EQ(planned.due_at_ms, 3250u);
            EXPECT_EQ(planned.next_attempt, 2u);
        }
        if (!unresolved && !retry) {
            EXPECT_EQ(session_.PollUnresolvedSettlementStatus(9000).errors,
                      Lines{"no unresolved settlement"});
        }
    }
}

}  // namespace
}  // namespace ironpost::session_test
