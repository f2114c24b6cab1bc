// Telemetry: the bodies byte for byte, the signed requests as the development
// backend accepts them, the signer read once, and round events that move on
// only when the backend really answered.

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "dev_backend_process.h"
#include "ironpost_plugin_envelope.h"
#include "ironpost_telemetry.h"

namespace ironpost {
namespace {

#define FFFD "\xEF\xBF\xBD"

TEST(TelemetryJsonEscape, EscapesEveryControlByteAndRepairsBrokenUtf8) {
    const std::pair<std::string, std::string> cases[] = {
        {"a\"b\\c\t\n\r", "a\\\"b\\\\c\\t\\n\\r"},
        {std::string("\x01\x08\x1f\x7f\0x", 6), "\\u0001\\u0008\\u001f\x7f\\u0000x"},
        {"\xE2\x82\xAC\xF0\x9F\x98\x80\xC3\xA9", "\xE2\x82\xAC\xF0\x9F\x98\x80\xC3\xA9"},
        {"Jos\xC3", "Jos" FFFD},  // a 31-byte name cut inside a character
        {"\xF0\x9F\x98z", FFFD "z"},
        // An overlong form, a surrogate, a code point above U+10FFFF, stray bytes.
        {"\xE0\x80\xAF\xED\xA0\x80", FFFD FFFD FFFD FFFD FFFD FFFD},
        {"\xF4\x90\x80\x80\xC0\xAF\x80\xF5z", FFFD FFFD FFFD FFFD FFFD FFFD FFFD FFFD "z"},
    };
    for (const auto& [text, escaped] : cases) {
        EXPECT_EQ(TelemetryJsonEscape(text), escaped) << text;
    }
}

AlphaTeamPolicySnapshot Policy() {
    AlphaTeamPolicySnapshot policy;
    policy.enabled = true;
    policy.state = "Satisfied";
    policy.human_count = policy.bot_count = policy.desired_bot_count = 1;
    policy.desired_bot_team = PlayerRole::Terrorist;
    policy.last_action = "kick";
    policy.retry_count = 2;
    policy.players = {{1, "A\"1", "STEAM_0:1:1", PlayerRole::CounterTerrorist, false, 1},
                      {2, "bot", "BOT", PlayerRole::Terrorist, true, 2}};
    return policy;
}

BackendWorkerHealth Health() {
    BackendWorkerHealth health;
    health.enabled = true;
    health.queued_jobs = 1;
    health.completed_total = 7;
    health.last_error = "resolve failed: \x01";
    health.endpoints = {{"/v1/plugin/heartbeat", "succeeded", 200, 1234, ""}};
    return health;
}

// Two rounds ended at 40 and 90; 40 is acknowledged; 91 opens the next round.
std::vector<EngineBufferedGameplayEvent> Buffer() {
    return {{39, 0, "death", 5, 2, 0, "awp"},     {40, 1, "round_end", 0, 0, 0, "r-1"},
            {41, 0, "round_start", 0, 0, 2, ""},  {42, 0, "death", 5, 2, 1, "ak47\x02"},
            {90, 2, "round_end", 0, 0, 0, "r-2"}, {91, 0, "round_start", 0, 0, 3, ""}};
}

std::vector<ConnectedPlayer> Players() {
    return {{2, "", "BOT", PlayerRole::Terrorist, true, true, 1},
            {5, "Jos\xC3", "STEAM_0:0:5", PlayerRole::CounterTerrorist, true, false, 2}};
}

TEST(TelemetryBodies, AreWrittenByteForByte) {
    const std::vector<ConnectedPlayer> balances = {{3, "x", "STEAM_0:1:3"}, {4, "y", "S\\4"}};
    const std::pair<std::string, std::string> cases[] = {
        {BuildHeartbeatPayload(5000, 3, "srv-1"),
         R"({"nowMs":5000,"roundNumber":3,"serverId":"srv-1"})"},
        {BuildPlayerBalancesPayload(7, balances, "srv-1"),
         R"({"nowMs":7,"players":[{"slot":3,"steamId":"STEAM_0:1:3"},{"slot":4,"steamId":"S\\4"}],)"
         R"("serverId":"srv-1"})"},
        {BuildRoundEventsPayload(Buffer(), Players(), 40, 90, 9000, 4, "srv-1"),
         R"({"events":[{"detail":"BOT","peerSlot":0,"sequence":0,"slot":2,"type":"connect","value":1},)"
         R"({"detail":"terrorist","peerSlot":0,"sequence":0,"slot":2,"type":"team","value":0},)"
         R"({"detail":"STEAM_0:0:5","peerSlot":0,"sequence":0,"slot":5,"type":"connect","value":0},)"
         R"({"detail":"counter_terrorist","peerSlot":0,"sequence":0,"slot":5,"type":"team","value":0},)"
         R"({"detail":"Jos)" FFFD
         R"(","peerSlot":0,"sequence":0,"slot":5,"type":"name","value":0},)"
         R"({"detail":"","peerSlot":0,"sequence":41,"slot":0,"type":"round_start","value":2},)"
         R"({"detail":"ak47\u0002","peerSlot":2,"sequence":42,"slot":5,"type":"death","value":1},)"
         R"({"detail":"r-2","peerSlot":0,"sequence":90,"slot":0,"type":"round_end","value":0}],)"
         R"("nowMs":9000,"roundNumber":4,"serverId":"srv-1","sessionId":"cs16-alpha:srv-1"})"},
        {BuildGameStatePayload(Health(), "b-7", R"({"combat":{}})", 12000, Policy(), 4,
                               static_cast<RoundPhase>(9), "srv-1"),
         R"({"backendWorker":{"activeJobs":0,"completedJobs":0,"completedTotal":7,"droppedJobs":0,)"
         R"("enabled":true,"endpoints":[{"endpoint":"/v1/plugin/heartbeat","lastError":"",)"
         R"("lastStatus":"succeeded","lastStatusCode":200,"updatedAtMs":1234}],)"
         R"("lastError":"resolve failed: \u0001","oldestQueuedAgeMs":0,"queuedJobs":1},)"
         R"("buildId":"b-7","eventSources":{"combat":{}},"nowMs":12000,"players":[)"
         R"({"isBot":false,"joinSequence":1,"name":"A\"1","slot":1,"steamId":"STEAM_0:1:1",)"
         R"("team":"counter_terrorist"},{"isBot":true,"joinSequence":2,"name":"bot","slot":2,)"
         R"("steamId":"BOT","team":"terrorist"}],"policy":{"botCount":1,"desiredBotCount":1,)"
         R"("desiredBotTeam":"terrorist","enabled":true,"humanCount":1,"lastAction":"kick",)"
         R"("lastError":"","retryCount":2,"satisfied":true,"state":"Satisfied"},)"
         R"("roundNumber":4,"roundPhase":"Idle","serverId":"srv-1"})"},
    };
    for (const auto& [built, expected] : cases) {
        EXPECT_EQ(built, expected);
    }
}

class TelemetryFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        key_file_ =
            ::testing::TempDir() + "ironpost_telemetry_" + std::to_string(getpid()) + ".key";
        std::remove(key_file_.c_str());
    }
    void TearDown() override { std::remove(key_file_.c_str()); }
    void WriteKey(const std::string& key) { std::ofstream(key_file_, std::ios::binary) << key; }

    std::string key_file_;
};

TEST_F(TelemetryFiles, TheKeyFileIsReadOnceAndAMissingOneOnlyEveryFewSeconds) {
    TelemetrySignerCache cache;
    EXPECT_EQ(cache.Get(key_file_, 1000), nullptr);
    WriteKey("k\n");
    EXPECT_EQ(cache.Get(key_file_, 1000 + kTelemetrySignerRetryMs - 1), nullptr);
    const DevelopmentFileSettlementSigner* signer =
        cache.Get(key_file_, 1000 + kTelemetrySignerRetryMs);
    ASSERT_NE(signer, nullptr);
    EXPECT_EQ(signer->SignPluginEnvelopePayload("x"),
              DevelopmentFileSettlementSigner("k").SignPluginEnvelopePayload("x"));
    std::remove(key_file_.c_str());  // read once: the file is not needed any more
    EXPECT_NE(cache.Get(key_file_, 99000), nullptr);
    cache.Reset();
    EXPECT_EQ(cache.Get(key_file_, 99001), nullptr);
}

TEST_F(TelemetryFiles, EveryKindIsAcceptedByTheDevelopmentBackend) {
    if (!ironpost::testing::DevBackendAvailable()) {
        GTEST_SKIP() << "python3 or the development backend is not available";
    }
    WriteKey("telemetry key\n");
    ironpost::testing::DevBackendProcess backend(key_file_, ":memory:");
    ASSERT_GT(backend.Port(), 0) << "the development backend did not start";
    IronPostConfig config;
    config.server_id = "srv-1";
    config.backend_url = backend.Url();
    const DevelopmentFileSettlementSigner signer("telemetry key");
    const std::vector<ConnectedPlayer> humans = {{5, "", "STEAM_0:0:5\x01"}};
    const std::pair<TelemetryKind, std::string> payloads[] = {
        {TelemetryKind::Heartbeat, BuildHeartbeatPayload(1, 2, config.server_id)},
        {TelemetryKind::PlayerBalances, BuildPlayerBalancesPayload(1, humans, config.server_id)},
        {TelemetryKind::RoundEvents,
         BuildRoundEventsPayload(Buffer(), Players(), 0, 90, 1, 2, config.server_id)},
        {TelemetryKind::GameState,
         BuildGameStatePayload(Health(), "b\xF0\x9F", "{}", 1, Policy(), 2, RoundPhase::RoundActive,
                               config.server_id)},
    };
    std::uint64_t timestamp = CurrentPluginEnvelopeTimestampMs();
    for (const auto& [kind, payload] : payloads) {
        SCOPED_TRACE(TelemetryKindLabel(kind));
        const std::optional<TelemetryRequest> request =
            BuildTelemetryRequest(kind, config, signer, payload, ++timestamp);
        ASSERT_TRUE(request);
        EXPECT_EQ(request->request_id,
                  std::string(TelemetryKindLabel(kind)) + "-srv-1-" + std::to_string(timestamp));
        const BackendHttpResponse answer = SubmitPlainHttpPost(request->post, 5000);
        EXPECT_EQ(answer.status_code, 200) << answer.error << answer.body;
    }
}

BackendHttpPostRequest PostWithId(const std::string& request_id) {
    BackendHttpPostRequest post;
    post.headers = {{"X-IronPost-Server-Id", "srv-1"}, {"X-IronPost-Request-Id", request_id}};
    return post;
}

TEST(RoundEventsSubmission, OnePostAtATimeAcknowledgedOnlyByARealAnswer) {
    RoundEventsSubmissionState state(RoundEventsRetryOptions{1000, 4000, 30000});
    const BackendHttpResponse queued{202, kBackendWorkerQueuedBody, ""};
    const BackendHttpResponse ok{200, "{}", ""};
    std::vector<EngineBufferedGameplayEvent> buffer = {{1, 0, "round_start", 0, 0, 1, ""}};
    // Every call goes through the frame loop's shortcut first: whenever it
    // says nothing is due, the full check must neither send nor give up.
    const auto poll = [&](std::uint64_t now_ms) {
        std::uint64_t newest = 0;
        for (const EngineBufferedGameplayEvent& event : buffer) {
            newest = event.type == "round_end" ? event.sequence : newest;
        }
        const bool nothing_due = state.NothingDue(newest, now_ms);
        const bool in_flight = state.InFlight();
        const std::optional<RoundEventsSubmission> submission =
            state.NextSubmission(buffer, now_ms);
        EXPECT_FALSE(nothing_due && (submission || state.InFlight() != in_flight)) << now_ms;
        return submission;
    };
    const auto next = [&](std::uint64_t now_ms) {
        const std::optional<RoundEventsSubmission> submission = poll(now_ms);
        EXPECT_TRUE(submission) << now_ms;
        return submission.value_or(RoundEventsSubmission{});
    };
    EXPECT_FALSE(poll(100));  // no round end yet

    buffer.push_back({10, 100, "round_end", 0, 0, 0, "r-1"});
    state.OnPosted(next(100), "a", queued, 100);
    EXPECT_EQ(state.AcknowledgedSequence(), 0u);  // the placeholder acknowledges nothing
    buffer.push_back({20, 200, "round_end", 0, 0, 0, "r-2"});
    EXPECT_FALSE(poll(200));  // one post in flight
    EXPECT_FALSE(state.OnAnswer(PostWithId("other"), ok, 300));
    EXPECT_TRUE(state.OnAnswer(PostWithId("a"), {500, "", ""}, 300));
    EXPECT_EQ(state.AcknowledgedSequence(), 0u);
    EXPECT_FALSE(poll(1299));  // backing off

    const RoundEventsSubmission again = next(1300);  // the failed round goes again, with the next
    EXPECT_EQ(again.after_sequence, 0u);
    EXPECT_EQ(again.through_sequence, 20u);
    state.OnPosted(again, "b", {503, "", "backend_worker_queue_full"}, 1300);
    EXPECT_FALSE(poll(3299));  // the back-off doubled
    state.OnPosted(next(3300), "c", queued, 3300);
    EXPECT_TRUE(state.OnAnswer(PostWithId("c"), ok, 3400));
    EXPECT_EQ(state.AcknowledgedSequence(), 20u);
    EXPECT_FALSE(poll(3400));

    // An answer that never comes is given up on, and the round is sent again.
    buffer.push_back({30, 4000, "round_end", 0, 0, 0, "r-3"});
    state.OnPosted(next(4000), "d", queued, 4000);
    EXPECT_FALSE(poll(33999));
    EXPECT_FALSE(poll(34000));                                 // given up: backs off from here
    EXPECT_FALSE(state.OnAnswer(PostWithId("d"), ok, 34500));  // too late
    const RoundEventsSubmission last = next(35000);
    EXPECT_EQ(last.after_sequence, 20u);
    state.OnPosted(last, "e", ok, 35000);  // direct mode: the answer itself
    EXPECT_EQ(state.AcknowledgedSequence(), 30u);
}

}  // namespace
}  // namespace ironpost
