// The session against the development backend on loopback: every envelope,
// signature and payload byte is checked by an independent implementation.
// Each test starts its own backend and stops it; they are skipped when
// python3 or the backend script is not there. The worker mode is played by
// the scripted client's queue: posts answered when the next frame drains.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "dev_backend_process.h"
#include "ironpost_plugin_session.h"
#include "scripted_http_client.h"

namespace ironpost::session_test {
namespace {

class SessionAgainstDevBackend : public SessionFixture<ScriptedHttpClient>,
                                 public ::testing::WithParamInterface<bool> {
  protected:
    void SetUp() override {
        if (!ironpost::testing::DevBackendAvailable()) {
            GTEST_SKIP() << "python3 or the development backend is not available";
        }
    }
    // Starts the backend with `backend_args`, loads the session against it
    // and starts round 1 with 100 for alice.
    void Start(const std::vector<std::string>& backend_args, const std::string& extra_config,
               bool worker_mode) {
        dir_.Write("server.key", std::string(kServerKey) + "\n");
        backend_ = std::make_unique<ironpost::testing::DevBackendProcess>(
            dir_.Path("server.key"), dir_.Path("backend.sqlite3"), backend_args);
        ASSERT_GT(backend_->Port(), 0) << "the development backend did not start";
        backend_url_ = "http://127.0.0.1:" + std::to_string(backend_->Port());
        client_.deferred = worker_mode;
        client_.answer = [](const BackendHttpPostRequest& request) {
            return SubmitPlainHttpPost(request, 5000);
        };
        LoadOrFail("ironpost_backend_retry_max_attempts 3\n" + extra_config);
        SeatPlayersAndStartRound(1);
    }

    // One server frame in the host's order: drained answers (polls overtaking
    // the posts they ask about), the round end if any, due retries and polls.
    void Frame(std::uint64_t now_ms, const std::string& settle = "") {
        for (const auto& [request, response] : client_.Drain(true)) {
            (void)session_.ApplyBackendSettlementCompletion(request, response, now_ms);
        }
        if (!settle.empty()) {
            (void)session_.OnRoundEnd(RoundContext(settle), now_ms);
        }
        (void)session_.SubmitDueSettlementRetries(now_ms);
        (void)session_.PollDueSettlementStatuses(now_ms);
        // Poll identifiers carry the wall-clock millisecond; keep them apart.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    // Frames a quarter second apart until nothing is followed.
    void FollowUntilDone(std::uint64_t& now_ms) {
        for (int frame = 0; frame < 400 && !session_.FollowedSettlementIds().empty(); ++frame) {
            Frame(now_ms += 250);
        }
        EXPECT_TRUE(session_.FollowedSettlementIds().empty());
    }

    std::unique_ptr<ironpost::testing::DevBackendProcess> backend_;
};

INSTANTIATE_TEST_SUITE_P(WorkerAndDirect, SessionAgainstDevBackend, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Worker" : "Direct";
                         });

TEST_P(SessionAgainstDevBackend, ARelayThatStaysFailedEndsWhenItsAttemptsAreSpent) {
    Start({"--scenario", "failed"}, "", GetParam());
    std::uint64_t now_ms = 1000;
    Frame(now_ms, "srv-1-round-1");
    FollowUntilDone(now_ms);
    for (int frame = 0; frame < 20; ++frame) {
        Frame(now_ms += 1000);
    }
    EXPECT_EQ(SettlementAttempts(client_.requests, "srv-1-round-1"), (Lines{"1", "2", "3"}));
    const std::vector<UnresolvedSettlementRecord> records =
        session_.Runtime().UnresolvedSettlementRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].relay_status, SettlementRelayStatus::Failed);
    EXPECT_EQ(session_.TakeSessionLogLines(),
              Lines{"settlement srv-1-round-1 failed after 3 of 3 attempts: settlement relay "
                    "reported the extrinsic as failed; not sent again in this run"});
}

// Round 1's first send fails; rounds 2 and 3 go through; all three are
// followed together to "included", and only round 1 is sent again.
TEST_P(SessionAgainstDevBackend, ThreeSettlementsAreFollowedTogetherUntilIncluded) {
    Start({"--fault", "503,count=1,path=/v1/plugin/settlements"}, "", GetParam());
    std::uint64_t now_ms = 1000;
    Frame(now_ms, "srv-1-round-1");
    for (std::uint32_t round = 2; round <= 3; ++round) {
        ASSERT_TRUE(session_.OnRoundStart(round));
        ASSERT_TRUE(session_.Runtime().QueueRewardEntry(2, 1, 0, 10 * round).has_value());
        Frame(now_ms += 100, "srv-1-round-" + std::to_string(round));
    }
    FollowUntilDone(now_ms);
    EXPECT_EQ(SettlementAttempts(client_.requests, "srv-1-round-1"), (Lines{"1", "2"}));
    EXPECT_EQ(SettlementAttempts(client_.requests, "srv-1-round-2"), Lines{"1"});
    EXPECT_EQ(SettlementAttempts(client_.requests, "srv-1-round-3"), Lines{"1"});
    EXPECT_TRUE(session_.Runtime().UnresolvedSettlementRecords().empty());
    EXPECT_EQ(session_.Runtime().CurrentRoundState().phase, RoundPhase::ChainIncluded);
    EXPECT_TRUE(session_.TakeSessionLogLines().empty());
}

// One attempt per settlement: round 1 is refused, round 2 accepted, and the
// server dies before either is included. The restarted server follows both
// from the journal, and the backend counts each once.
TEST_P(SessionAgainstDevBackend, SettlementsOutliveACrashAndAreCountedOnce) {
    Start({"--fault", "503,count=1,path=/v1/plugin/settlements"},
          "ironpost_backend_retry_max_attempts 1\n", GetParam());
    std::uint64_t now_ms = 1000;
    Frame(now_ms, "srv-1-round-1");
    ASSERT_TRUE(session_.OnRoundStart(2));
    ASSERT_TRUE(session_.Runtime().QueueRewardEntry(2, 1, 0, 20).has_value());
    Frame(now_ms += 100, "srv-1-round-2");
    Frame(now_ms += 100);
    EXPECT_EQ(session_.FollowedSettlementIds(), Lines{"srv-1-round-2"});

    // The crash: the journal as it lies on disk is all that is left.
    const std::string journal = dir_.Path("outbox");
    std::filesystem::copy(journal, journal + ".crash");
    client_.queued.clear();
    session_.Unload();
    std::filesystem::remove_all(journal);
    std::filesystem::rename(journal + ".crash", journal);
    ASSERT_TRUE(session_.LoadFromConfigFile(dir_.Path("ironpost.cfg"), cvars_).loaded);
    EXPECT_EQ(session_.FollowedSettlementIds(), (Lines{"srv-1-round-1", "srv-1-round-2"}));
    FollowUntilDone(now_ms);
    EXPECT_TRUE(std::filesystem::is_empty(journal));

    BackendHttpPostRequest ask;
    ask.url = backend_->Url() + "/admin/summary";
    const std::string summary = SubmitPlainHttpPost(ask, 5000).body;
    // Counted once each: alice 100 from round 1, bob 20 from round 2, which
    // arrived twice.
    for (const char* part :
         {"\"earnedZolt\": \"100\"", "\"earnedZolt\": \"20\"", "\"repeats\": 1"}) {
        EXPECT_NE(summary.find(part), std::string::npos) << part << " in " << summary;
    }
}

// The backend refuses envelopes older than its freshness window (1 s here),
// and the engine clock restarts at a map change during the back-off.
TEST_F(SessionAgainstDevBackend, ARetryAfterAMapChangeAndPastTheFreshnessWindowIsCountedOnce) {
    dir_.Write("wallets.json",
               "{\"wallets\":[{\"steamId\":\"STEAM_0:1:1001\",\"account\":\"5AliceWallet\","
               "\"walletBalanceAtomic\":\"2500\"}]}");
    Start({"--freshness-seconds", "1", "--fault", "503,count=1,path=/v1/plugin/settlements",
           "--seed-file", dir_.Path("wallets.json")},
          "ironpost_backend_retry_base_delay_ms 5000\nironpost_backend_retry_max_delay_ms 5000\n",
          false);
    Frame(100000, "srv-1-round-1");
    ASSERT_TRUE(session_.HasPendingSettlementRetry());
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    Frame(104999);
    EXPECT_EQ(SettlementAttempts(client_.requests, "srv-1-round-1"), Lines{"1"});
    std::uint64_t now_ms = 2000;  // the new map's clock
    Frame(now_ms);
    EXPECT_EQ(SettlementAttempts(client_.requests, "srv-1-round-1"), (Lines{"1", "2"}));
    FollowUntilDone(now_ms);

    const PlayerBalanceRefreshResult refresh = session_.RefreshPlayerBalances(now_ms);
    ASSERT_TRUE(refresh.accepted) << ::testing::PrintToString(refresh.errors);
    ASSERT_EQ(refresh.profiles.size(), 2u);
    const auto alice = session_.Runtime().PlayerChainProfileForSlot(1);
    ASSERT_TRUE(alice.has_value());
    EXPECT_EQ(alice->steam_hash, Sha256Hex("STEAM_0:1:1001"));
    EXPECT_TRUE(alice->linked);
    EXPECT_EQ(alice->account, "5AliceWallet");
    EXPECT_EQ(alice->pending_zolt_atomic, "100");
    EXPECT_EQ(alice->wallet_balance_atomic, "2500");
    EXPECT_EQ(alice->source_block, 1u);
}

}  // namespace
}  // namespace ironpost::session_test
