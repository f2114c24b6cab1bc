#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

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

TEST_F(AdapterRoundEnd, EachStepThatFailsStopsWithItsErrorAndFlags) {
    std::string MetamodRoundEndContext::*const fields[] = {
        &MetamodRoundEndContext::request_id,    &MetamodRoundEndContext::received_at,
        &MetamodRoundEndContext::server_id,     &MetamodRoundEndContext::session_id,
        &MetamodRoundEndContext::map_name_hash, &MetamodRoundEndContext::previous_round_hash,
        &MetamodRoundEndContext::roster_root,   &MetamodRoundEndContext::config_hash,
    };
    for (const auto field : fields) {
        MetamodRoundEndContext context = RoundContext("r-1");
        context.*field = "";
        const MetamodSettlementSubmitResult result =
            adapter_.OnRoundEnd(context, signer_, transport_);
        EXPECT_EQ(result.errors, Lines{"round end context is incomplete"});
        EXPECT_FALSE(result.round_ended);
        EXPECT_EQ(Phase(), RoundPhase::RoundActive);
    }

    // Once ended, the round stays ended whatever fails afterwards.
    const MetamodSettlementSubmitResult unsigned_draft =
        adapter_.OnRoundEnd(RoundContext("r-1"), FixedSigner(""), transport_);
    EXPECT_EQ(unsigned_draft.errors, Lines{"settlement draft could not be signed"});
    EXPECT_TRUE(unsigned_draft.round_ended);
    EXPECT_TRUE(unsigned_draft.draft_built);
    EXPECT_FALSE(unsigned_draft.signed_draft);
    EXPECT_EQ(unsigned_draft.draft->round_number, 4u);
    EXPECT_EQ(Phase(), RoundPhase::SettlementPending);

    const MetamodSettlementSubmitResult again =
        adapter_.OnRoundEnd(RoundContext("r-2"), signer_, transport_);
    EXPECT_EQ(again.errors, Lines{"round is not active"});
    EXPECT_FALSE(again.round_ended);
    EXPECT_TRUE(transport_.sent.empty());
}

TEST_F(AdapterRoundEnd, TheTransportOutcomeDecidesTheRemainingFlags) {
    const std::string not_advanced = "settlement response did not advance lifecycle";
    const std::tuple<bool, SettlementRelayStatus, Lines, bool, Lines> cases[] = {
        {true, SettlementRelayStatus::Queued, {}, true, {}},
        {true, SettlementRelayStatus::Unknown, {}, false, {not_advanced}},
        {false,
         SettlementRelayStatus::Failed,
         {"a", "b"},
         false,
         {"settlement backend rejected request", "a", "b"}},
    };
    for (const auto& [accepted, relay, reply_errors, applied, errors] : cases) {
        SCOPED_TRACE(static_cast<int>(relay));
        SetUp();
        transport_ = RecordingTransport();
        transport_.reply.accepted = accepted;
        transport_.reply.relay_status = relay;
        transport_.reply.errors = reply_errors;
        const MetamodSettlementSubmitResult result =
            adapter_.OnRoundEnd(RoundContext("r-1"), signer_, transport_);
        EXPECT_TRUE(result.signed_draft && result.request_built);
        EXPECT_EQ(result.submitted, accepted);
        EXPECT_EQ(result.lifecycle_applied, applied);
        EXPECT_EQ(result.errors, errors);
        ASSERT_EQ(transport_.sent.size(), 1u);
        EXPECT_EQ(transport_.sent[0].request_id, "r-1");
        EXPECT_NE(transport_.sent[0].body.find("\"serverSignature\":\"dev-v1:0123456789abcdef\""),
                  std::string::npos);
    }
}

// ---------------------------------------------------------------------------
// The session's round end, through a scripted backend client.

TEST_F(SessionTest, RoundEndSendsTheSignedEnvelopeWithEveryHeaderAndKeepsWhatItSent) {
    LoadOrFail(BearerConfig("tok-9\n") +
               "ironpost_backend_retry_max_attempts 2\n"
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
    // The envelope carries the canonical form of the signed draft, and the
    // kept request is exactly what went out.
    const auto plain = BuildPluginSettlementIntakeHttpRequest(
        PluginSettlementIntakeRequest{"round-3", "2024-01-01T00:00:00Z", *result.draft});
    ASSERT_TRUE(plain.has_value());
    EXPECT_EQ(EnvelopePayload(post.body), plain->canonical_payload_body);
    EXPECT_EQ(JsonText(post.body, "serverId"), "srv-1");
    EXPECT_EQ(JsonText(post.body, "requestId"), "round-3");
    ExpectSignedEnvelope(post.body, "settlement");
    EXPECT_EQ(result.request->body, post.body);
    EXPECT_EQ(result.request->canonical_payload_body, plain->canonical_payload_body);
}

TEST_F(SessionTest, AnAcceptedSettlementIsFollowedUntilItsRelayIsFinal) {
    using S = SettlementRelayStatus;
    const auto body = [](const char* status) {
        return SettlementReplyBody("round-1", status, "\"relay broke\"");
    };
    const std::string two = "ironpost_backend_retry_max_attempts 2\n";
    // Config, HTTP status, reply, relay status, kept for polling, record
    // kept, retry planned, phase.
    const std::tuple<std::string, int, std::string, S, bool, bool, bool, RoundPhase> cases[] = {
        {"", 200, body("queued"), S::Queued, true, true, false, RoundPhase::SettlementPending},
        {"", 200, body("submitted"), S::Submitted, true, true, false,
         RoundPhase::SettlementPending},
        {"", 202, kWorkerQueuedBody, S::Queued, true, true, false, RoundPhase::SettlementPending},
        {"", 200, body("included"), S::Included, false, false, false, RoundPhase::ChainIncluded},
        {"", 200, body("finalized"), S::Finalized, false, false, false, RoundPhase::ChainIncluded},
        {"", 200, body("failed"), S::Failed, false, true, false, RoundPhase::SettlementPending},
        {two, 200, body("failed"), S::Failed, false, true, true, RoundPhase::SettlementPending},
    };
    for (const auto& [config, http_status, reply, status, polled, kept, retry, phase] : cases) {
        SCOPED_TRACE(config + reply);
        LoadOrFail(config);
        SeatPlayersAndStartRound(1);
        client_.requests.clear();
        client_.Reply(http_status, reply);
        EXPECT_TRUE(session_.OnRoundEnd(RoundContext("round-1"), 700).submitted);
        EXPECT_EQ(session_.HasUnresolvedSettlement(), polled);
        EXPECT_EQ(session_.Runtime().CurrentRoundState().phase, phase);
        const auto earning = session_.Runtime().LastRoundEarningForSlot(1);
        ASSERT_TRUE(earning.has_value());
        EXPECT_EQ(std::make_tuple(earning->round_number, earning->earned_zolt,
                                  earning->relay_status, earning->settled_at_ms),
                  std::make_tuple(1u, std::uint64_t{100}, status, std::uint64_t{700}));
        const auto record = Record("round-1");
        ASSERT_EQ(record.has_value(), kept);
        if (record) {
            EXPECT_EQ(record->relay_status, status);
            EXPECT_EQ(record->last_error, http_status == 202 ? "" : "relay broke");
        }
        // A failed relay is sent again, unchanged, when the policy allows.
        ASSERT_EQ(session_.HasPendingSettlementRetry(), retry);
        if (retry) {
            const SettlementRetryState planned =
                session_.PendingSettlementRetry().value_or(SettlementRetryState());
            EXPECT_EQ(planned.reason, "relay_failed");
            EXPECT_EQ(planned.next_attempt, 2u);
            EXPECT_EQ(planned.due_at_ms, 950u);
            EXPECT_EQ(planned.request.body, client_.requests[0].body);
        }
        if (polled) {  // the first poll is due at once
            client_.Reply(200, body("submitted"));
            EXPECT_TRUE(session_.PollUnresolvedSettlementStatus(700).submitted);
        }
    }
}

TEST_F(SessionTest, ARejectionIsRecordedAsFailedAndRetriedOnlyWhenThePolicyAllows) {
    const std::string three = "ironpost_backend_retry_max_attempts 3\n";
    // Config, HTTP status, retry planned; one send each, whatever the policy.
    const std::tuple<std::string, int, bool> cases[] = {
        {"", 503, false}, {three, 503, true}, {three, 400, false}};
    for (const auto& [config, http_status, retry] : cases) {
        SCOPED_TRACE(config + std::to_string(http_status));
        client_.requests.clear();
        client_.replies.clear();
        LoadOrFail(config);
        SeatPlayersAndStartRound(1);
        client_.Reply(http_status, RejectedReplyBody(http_status, "busy"));
        const MetamodSettlementSubmitResult result =
            session_.OnRoundEnd(RoundContext("round-1"), 900);
        EXPECT_FALSE(result.submitted);
        EXPECT_EQ(client_.requests.size(), 1u);
        ASSERT_GE(result.errors.size(), 3u);
        EXPECT_EQ(Lines(result.errors.begin(), result.errors.begin() + 3),
                  (Lines{"settlement backend rejected request", "busy",
                         "backend returned HTTP " + std::to_string(http_status)}));
        const auto record = Record("round-1");
        ASSERT_TRUE(record.has_value());
        EXPECT_EQ(record->relay_status, SettlementRelayStatus::Failed);
        EXPECT_EQ(record->last_error, "busy");
        EXPECT_FALSE(session_.HasUnresolvedSettlement());
        ASSERT_EQ(session_.HasPendingSettlementRetry(), retry);
        if (retry) {
            const SettlementRetryState planned =
                session_.PendingSettlementRetry().value_or(SettlementRetryState());
            EXPECT_EQ(planned.next_attempt, 2u);
            EXPECT_EQ(planned.due_at_ms, 1150u);
            EXPECT_EQ(planned.reason, "http_503");
            EXPECT_EQ(planned.request.body, client_.requests.back().body);
        }
    }
}

TEST_F(SessionTest, AnEnvelopeThatCannotBeBuiltFailsWithoutSendingAndKeepsThePlainBody) {
    const DevelopmentFileSettlementSigner keyless;
    PluginEnvelopeSettlementTransport transport(BackendTransportOptions(), client_, keyless);
    PluginSettlementHttpRequest request;
    request.request_id = "round-1";
    request.server_id = "1";
    request.body = request.canonical_payload_body = "{\"requestId\":\"round-1\"}";
    const PluginSettlementIntakeResponse response = transport.SubmitSettlementRequest(request);
    EXPECT_TRUE(client_.requests.empty());
    EXPECT_FALSE(response.accepted);
    EXPECT_EQ(response.status_code, 0);
    EXPECT_EQ(response.request_id, "round-1");
    EXPECT_EQ(response.relay_status, SettlementRelayStatus::Failed);
    EXPECT_EQ(response.errors, Lines{"plugin envelope v2 could not be built"});
    EXPECT_EQ(transport.LastRequest().value_or(PluginSettlementHttpRequest()).body, request.body);
}

}  // namespace
}  // namespace ironpost::session_test
