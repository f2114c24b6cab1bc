#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ironpost_metamod_adapter.h"
#include "ironpost_plugin_session.h"
#include "scripted_http_client.h"

namespace ironpost::session_test {
namespace {

// ---------------------------------------------------------------------------
// The adapter's steps, with a signer and a transport of the test's own.

class FixedSigner final : public SettlementSigner {
  public:
    explicit FixedSigner(std::string signature) : signature_(std::move(signature)) {}
    std::string SignSettlementPayload(const std::string&) const override { return signature_; }

  private:
    std::string signature_;
};

class RecordingTransport final : public BackendSettlementTransport {
  public:
    PluginSettlementIntakeResponse SubmitSettlementRequest(
        const PluginSettlementHttpRequest& request) override {
        sent.push_back(request);
        return reply;
    }
    std::vector<PluginSettlementHttpRequest> sent;
    PluginSettlementIntakeResponse reply;
};

class AdapterRoundEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(adapter_.Load(IronPostConfig(), cvars_));
        ASSERT_TRUE(adapter_.OnClientAuthorized(1, "alice", "STEAM_0:1:1001", false));
        ASSERT_TRUE(adapter_.OnRoundStart(4));
    }
    RoundPhase Phase() const { return adapter_.Runtime().CurrentRoundState().phase; }

    RecordingCvarRegistry cvars_;
    MetamodPluginAdapter adapter_;
    FixedSigner signer_{"dev-v1:0123456789abcdef"};
    RecordingTransport transport_;
};

TEST_F(AdapterRoundEnd, AnIncompleteContextLeavesTheRoundRunning) {
    std::string MetamodRoundEndContext::*const fields[] = {
        &MetamodRoundEndContext::request_id,    &MetamodRoundEndContext::received_at,
        &MetamodRoundEndContext::server_id,     &MetamodRoundEndContext::session_id,
        &MetamodRoundEndContext::map_name_hash, &MetamodRoundEndContext::previous_round_hash,
        &MetamodRoundEndContext::roster_root,   &MetamodRoundEndContext::config_hash,
    };
    for (std::size_t i = 0; i < std::size(fields); ++i) {
        SCOPED_TRACE(i);
        MetamodRoundEndContext context = RoundContext("r-1");
        context.*fields[i] = "";
        const MetamodSettlementSubmitResult result =
            adapter_.OnRoundEnd(context, signer_, transport_);
        EXPECT_EQ(result.errors, Lines{"round end context is incomplete"});
        EXPECT_FALSE(result.round_ended);
        EXPECT_FALSE(result.draft.has_value());
        EXPECT_EQ(Phase(), RoundPhase::RoundActive);
    }
    EXPECT_TRUE(transport_.sent.empty());
}

TEST_F(AdapterRoundEnd, ARoundEndsOnlyOnce) {
    transport_.reply.accepted = true;
    transport_.reply.relay_status = SettlementRelayStatus::Queued;
    ASSERT_TRUE(adapter_.OnRoundEnd(RoundContext("r-1"), signer_, transport_).submitted);
    const MetamodSettlementSubmitResult again =
        adapter_.OnRoundEnd(RoundContext("r-2"), signer_, transport_);
    EXPECT_EQ(again.errors, Lines{"round is not active"});
    EXPECT_FALSE(again.round_ended);
    EXPECT_EQ(transport_.sent.size(), 1u);
}

TEST_F(AdapterRoundEnd, ADraftThatCannotBeSignedEndsTheRoundAndSendsNothing) {
    const FixedSigner keyless("");
    const MetamodSettlementSubmitResult result =
        adapter_.OnRoundEnd(RoundContext("r-1"), keyless, transport_);
    EXPECT_EQ(result.errors, Lines{"settlement draft could not be signed"});
    EXPECT_TRUE(result.round_ended);
    EXPECT_TRUE(result.draft_built);
    EXPECT_FALSE(result.signed_draft);
    ASSERT_TRUE(result.draft.has_value());
    EXPECT_EQ(result.draft->round_number, 4u);
    EXPECT_EQ(result.draft->server_signature, "");
    EXPECT_EQ(Phase(), RoundPhase::SettlementPending);
    EXPECT_TRUE(transport_.sent.empty());
}

TEST_F(AdapterRoundEnd, TheTransportOutcomeDecidesTheRemainingFlags) {
    struct Case {
        const char* name;
        bool accepted;
        SettlementRelayStatus relay;
        Lines reply_errors;
        bool lifecycle_applied;
        Lines errors;
    };
    const Case cases[] = {
        {"accepted and queued", true, SettlementRelayStatus::Queued, {}, true, {}},
        {"accepted and included", true, SettlementRelayStatus::Included, {}, true, {}},
        {"accepted without a status",
         true,
         SettlementRelayStatus::Unknown,
         {},
         false,
         {"settlement response did not advance lifecycle"}},
        {"rejected",
         false,
         SettlementRelayStatus::Failed,
         {"first", "second"},
         false,
         {"settlement backend rejected request", "first", "second"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        transport_.sent.clear();
        transport_.reply = PluginSettlementIntakeResponse();
        transport_.reply.accepted = c.accepted;
        transport_.reply.relay_status = c.relay;
        transport_.reply.errors = c.reply_errors;
        const MetamodSettlementSubmitResult result =
            adapter_.OnRoundEnd(RoundContext("r-1"), signer_, transport_);
        EXPECT_TRUE(result.signed_draft);
        EXPECT_TRUE(result.request_built);
        EXPECT_EQ(result.submitted, c.accepted);
        EXPECT_EQ(result.lifecycle_applied, c.lifecycle_applied);
        EXPECT_EQ(result.errors, c.errors);
        ASSERT_EQ(transport_.sent.size(), 1u);
        EXPECT_EQ(transport_.sent[0].request_id, "r-1");
        EXPECT_NE(transport_.sent[0].body.find("\"serverSignature\":\"dev-v1:0123456789abcdef\""),
                  std::string::npos);
        ASSERT_TRUE(result.response.has_value());
        EXPECT_EQ(result.response->relay_status, c.relay);
    }
}

// ---------------------------------------------------------------------------
// The session's round end, through a scripted backend client.

class SessionRoundEnd : public SessionTest {};

TEST_F(SessionRoundEnd, SendsTheSignedEnvelopeWithEveryHeaderInOrderAndKeepsWhatItSent) {
    const std::string token_file = dir_.Write("backend.token", "tok-9\n");
    LoadOrFail("ironpost_backend_auth_mode bearer_token_file\nironpost_backend_auth_token_file \"" +
               token_file +
               "\"\nironpost_backend_retry_max_attempts 2\n"
               "ironpost_backend_server_id_header X-Game-Server\n");
    SeatPlayersAndStartRound(3);
    client_.Reply(200, SettlementReplyBody("round-3", "queued"));

    const MetamodSettlementSubmitResult result = session_.OnRoundEnd(RoundContext("round-3"), 50);
    ASSERT_TRUE(result.submitted) << ::testing::PrintToString(result.errors);
    ASSERT_EQ(client_.requests.size(), 1u);
    const BackendHttpPostRequest& post = client_.requests[0];
    EXPECT_EQ(post.url, "http://127.0.0.1:9/v1/plugin/settlements");
    EXPECT_EQ(post.content_type, "application/json");
    EXPECT_EQ(Headers(post), (HeaderList{{"X-Game-Server", "srv-1"},
                                         {"X-IronPost-Request-Id", "round-3"},
                                         {"Authorization", "Bearer tok-9"},
                                         {"X-IronPost-Attempt", "1"},
                                         {"X-IronPost-Max-Attempts", "2"}}));

    // The envelope carries the canonical form of the signed draft.
    ASSERT_TRUE(result.draft.has_value());
    PluginSettlementIntakeRequest intake{"round-3", "2024-01-01T00:00:00Z", *result.draft};
    const auto plain = BuildPluginSettlementIntakeHttpRequest(intake);
    ASSERT_TRUE(plain.has_value());
    EXPECT_EQ(EnvelopePayload(post.body), plain->canonical_payload_body);
    EXPECT_EQ(JsonText(post.body, "serverId"), "srv-1");
    EXPECT_EQ(JsonText(post.body, "requestId"), "round-3");
    ExpectSignedEnvelope(post.body, "settlement");

    // What is kept is what went out.
    ASSERT_TRUE(result.request.has_value());
    EXPECT_EQ(result.request->body, post.body);
    EXPECT_EQ(result.request->canonical_payload_body, plain->canonical_payload_body);
    EXPECT_EQ(result.request->path, "/v1/plugin/settlements");
}

TEST_F(SessionRoundEnd, AnAcceptedSettlementIsFollowedUntilItsRelayIsFinal) {
    struct Case {
        const char* name;
        std::int32_t http_status;
        std::string body;
        SettlementRelayStatus status;
        bool kept_for_polling;
        bool record_kept;
        RoundPhase phase;
    };
    const Case cases[] = {
        {"queued", 200, SettlementReplyBody("round-1", "queued"), SettlementRelayStatus::Queued,
         true, true, RoundPhase::SettlementPending},
        {"submitted", 200, SettlementReplyBody("round-1", "submitted"),
         SettlementRelayStatus::Submitted, true, true, RoundPhase::SettlementPending},
        {"worker placeholder", 202, kWorkerQueuedBody, SettlementRelayStatus::Queued, true, true,
         RoundPhase::SettlementPending},
        {"included", 200, SettlementReplyBody("round-1", "included"),
         SettlementRelayStatus::Included, false, false, RoundPhase::ChainIncluded},
        {"finalized", 200, SettlementReplyBody("round-1", "finalized"),
         SettlementRelayStatus::Finalized, false, false, RoundPhase::ChainIncluded},
        {"relay failed", 200, SettlementReplyBody("round-1", "failed", "\"relay broke\""),
         SettlementRelayStatus::Failed, false, true, RoundPhase::SettlementPending},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoadOrFail();
        SeatPlayersAndStartRound(1);
        client_.Reply(c.http_status, c.body);
        const MetamodSettlementSubmitResult result =
            session_.OnRoundEnd(RoundContext("round-1"), 700);
        EXPECT_TRUE(result.submitted);
        EXPECT_EQ(session_.HasUnresolvedSettlement(), c.kept_for_polling);
        EXPECT_FALSE(session_.HasPendingSettlementRetry());
        EXPECT_EQ(session_.Runtime().CurrentRoundState().phase, c.phase);

        const auto earning = session_.Runtime().LastRoundEarningForSlot(1);
        ASSERT_TRUE(earning.has_value());
        EXPECT_EQ(earning->round_number, 1u);
        EXPECT_EQ(earning->earned_zolt, 100u);
        EXPECT_EQ(earning->relay_status, c.status);
        EXPECT_EQ(earning->settled_at_ms, 700u);

        const auto record = Record("round-1");
        ASSERT_EQ(record.has_value(), c.record_kept);
        if (record) {
            EXPECT_EQ(record->relay_status, c.status);
            ASSERT_EQ(record->reward_entries.size(), c.kept_for_polling ? 1u : 0u);
            EXPECT_EQ(record->last_error,
                      c.status == SettlementRelayStatus::Failed ? "relay broke" : "");
        }
        if (c.kept_for_polling) {
            // The first poll is due at once.
            client_.Reply(200, SettlementReplyBody("round-1", "submitted"));
            EXPECT_TRUE(session_.PollUnresolvedSettlementStatus(700).submitted);
        }
        client_.requests.clear();
    }
}

TEST_F(SessionRoundEnd, ARejectionIsRecordedAsFailedAndRetriedOnlyWhenThePolicyAllows) {
    struct Case {
        const char* name;
        std::string extra_config;
        std::int32_t http_status;
        std::size_t posts;
        bool retry;
    };
    const Case cases[] = {
        {"single attempt, 503", "", 503, 1, false},
        {"three attempts, 503 each time", "ironpost_backend_retry_max_attempts 3\n", 503, 3, true},
        {"three attempts, 400 is final", "ironpost_backend_retry_max_attempts 3\n", 400, 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        client_.requests.clear();
        LoadOrFail(c.extra_config);
        SeatPlayersAndStartRound(1);
        for (int i = 0; i < 3; ++i) {
            client_.Reply(c.http_status, RejectedReplyBody(c.http_status, "busy"));
        }
        const MetamodSettlementSubmitResult result =
            session_.OnRoundEnd(RoundContext("round-1"), 900);
        EXPECT_FALSE(result.submitted);
        EXPECT_EQ(client_.requests.size(), c.posts);
        ASSERT_GE(result.errors.size(), 3u);
        EXPECT_EQ(result.errors[0], "settlement backend rejected request");
        EXPECT_EQ(result.errors[1], "busy");
        EXPECT_EQ(result.errors[2], "backend returned HTTP " + std::to_string(c.http_status));
        const auto record = Record("round-1");
        ASSERT_TRUE(record.has_value());
        EXPECT_EQ(record->relay_status, SettlementRelayStatus::Failed);
        EXPECT_EQ(record->last_error, "busy");
        EXPECT_EQ(record->reward_entries.size(), 1u);
        EXPECT_FALSE(session_.HasUnresolvedSettlement());
        ASSERT_EQ(session_.HasPendingSettlementRetry(), c.retry);
        if (c.retry) {
            const SettlementRetryState retry = *session_.PendingSettlementRetry();
            EXPECT_EQ(retry.next_attempt, 2u);
            EXPECT_EQ(retry.due_at_ms, 1150u);
            EXPECT_EQ(retry.reason, "http_503");
            EXPECT_EQ(retry.request.body, client_.requests.back().body);
        }
        client_.replies.clear();
    }
}

TEST_F(SessionRoundEnd, AnEnvelopeThatCannotBeBuiltFailsWithoutSendingAndKeepsThePlainBody) {
    const DevelopmentFileSettlementSigner keyless;
    PluginEnvelopeSettlementTransport transport(BackendTransportOptions(), client_, keyless);
    PluginSettlementHttpRequest request;
    request.method = "POST";
    request.path = "/v1/plugin/settlements";
    request.content_type = "application/json";
    request.request_id = "round-1";
    request.server_id = "1";
    request.body = "{\"requestId\":\"round-1\"}";
    request.canonical_payload_body = request.body;
    const PluginSettlementIntakeResponse response = transport.SubmitSettlementRequest(request);
    EXPECT_TRUE(client_.requests.empty());
    EXPECT_FALSE(response.accepted);
    EXPECT_EQ(response.status_code, 0);
    EXPECT_EQ(response.request_id, "round-1");
    EXPECT_EQ(response.relay_status, SettlementRelayStatus::Failed);
    EXPECT_EQ(response.errors, Lines{"plugin envelope v2 could not be built"});
    ASSERT_TRUE(transport.LastRequest().has_value());
    EXPECT_EQ(transport.LastRequest()->body, request.body);
}

TEST_F(SessionRoundEnd, AFinalSettlementDoesNotStopFollowingAnEarlierOne) {
    LoadOrFail();
    SeatPlayersAndStartRound(1);
    client_.Reply(200, SettlementReplyBody("round-1", "submitted"));
    ASSERT_TRUE(session_.OnRoundEnd(RoundContext("round-1"), 10).submitted);
    ASSERT_TRUE(session_.OnRoundStart(2));
    client_.Reply(200, SettlementReplyBody("round-2", "included"));
    ASSERT_TRUE(session_.OnRoundEnd(RoundContext("round-2"), 20).submitted);

    ASSERT_TRUE(session_.HasUnresolvedSettlement());
    client_.Reply(200, SettlementReplyBody("round-1", "included"));
    const MetamodSettlementSubmitResult poll = session_.PollUnresolvedSettlementStatus(5000);
    EXPECT_EQ(JsonText(EnvelopePayload(client_.requests.back().body), "requestId"), "round-1");
    EXPECT_TRUE(poll.submitted);
    EXPECT_FALSE(session_.HasUnresolvedSettlement());
    EXPECT_TRUE(session_.Runtime().UnresolvedSettlementRecords().empty());
}

TEST_F(SessionRoundEnd, AnAcceptedSettlementWhoseRelayFailedIsSentAgainWhenThePolicyAllows) {
    LoadOrFail("ironpost_backend_retry_max_attempts 2\n");
    SeatPlayersAndStartRound(1);
    client_.Reply(200, SettlementReplyBody("round-1", "failed", "\"relay broke\""));
    ASSERT_TRUE(session_.OnRoundEnd(RoundContext("round-1"), 100).submitted);
    ASSERT_TRUE(session_.HasPendingSettlementRetry());
    const SettlementRetryState retry = *session_.PendingSettlementRetry();
    EXPECT_EQ(retry.reason, "relay_failed");
    EXPECT_EQ(retry.next_attempt, 2u);
    EXPECT_EQ(retry.due_at_ms, 350u);
    EXPECT_EQ(retry.request.body, client_.requests[0].body);
    EXPECT_EQ(retry.last_errors, Lines{"relay broke"});
}

TEST_F(SessionRoundEnd, IsRefusedWhileNotLoaded) {
    const MetamodSettlementSubmitResult result = session_.OnRoundEnd(RoundContext("round-1"));
    EXPECT_EQ(result.errors, Lines{"plugin session is not loaded"});
    EXPECT_FALSE(result.round_ended);
}

}  // namespace
}  // namespace ironpost::session_test
