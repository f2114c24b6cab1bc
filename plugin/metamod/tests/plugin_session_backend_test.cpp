// The session against the development backend on loopback: every envelope,
// signature and payload byte is checked by an independent implementation.
// Each test starts its own backend and stops it; they are skipped when
// python3 or the backend script is not there.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "dev_backend_process.h"
#include "ironpost_plugin_session.h"
#include "scripted_http_client.h"

namespace ironpost::session_test {
namespace {

// Posts on the calling thread, as the worker client does in direct mode.
class DirectHttpClient final : public BackendHttpClient {
  public:
    BackendHttpResponse PostJson(const BackendHttpPostRequest& request) override {
        return SubmitPlainHttpPost(request, 5000);
    }
};

class SessionAgainstDevBackend : public SessionFixture<DirectHttpClient> {
  protected:
    void SetUp() override {
        if (!ironpost::testing::DevBackendAvailable()) {
            GTEST_SKIP() << "python3 or the development backend is not available";
        }
    }
    // Starts the backend with `backend_args`, loads the session against it
    // and starts round 1 with 100 for alice.
    void Start(const std::vector<std::string>& backend_args, const std::string& extra_config = "") {
        dir_.Write("server.key", std::string(kServerKey) + "\n");
        backend_ = std::make_unique<ironpost::testing::DevBackendProcess>(
            dir_.Path("server.key"), dir_.Path("backend.sqlite3"), backend_args);
        ASSERT_GT(backend_->Port(), 0) << "the development backend did not start";
        backend_url_ = "http://127.0.0.1:" + std::to_string(backend_->Port());
        LoadOrFail(extra_config);
        SeatPlayersAndStartRound(1);
    }

    // Polls once per simulated second while the settlement is unresolved, at
    // most `limit` times; returns the relay status of the last poll.
    SettlementRelayStatus PollUntilResolved(std::uint64_t& now_ms, int limit) {
        SettlementRelayStatus last = SettlementRelayStatus::Unknown;
        for (int i = 0; i < limit && session_.HasUnresolvedSettlement(); ++i, ++polls_) {
            // Poll identifiers carry the wall-clock millisecond; keep them apart.
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            now_ms += 1000;
            const MetamodSettlementSubmitResult poll =
                session_.PollUnresolvedSettlementStatus(now_ms);
            EXPECT_TRUE(poll.submitted) << ::testing::PrintToString(poll.errors);
            last = poll.response ? poll.response->relay_status : last;
        }
        return last;
    }

    std::unique_ptr<ironpost::testing::DevBackendProcess> backend_;
    int polls_ = 0;
};

TEST_F(SessionAgainstDevBackend, ARoundIsSettledAndPolledUntilIncluded) {
    Start({});
    std::uint64_t now_ms = 10000;
    const MetamodSettlementSubmitResult submitted =
        session_.OnRoundEnd(RoundContext("srv-1-round-1"), now_ms);
    ASSERT_TRUE(submitted.submitted) << ::testing::PrintToString(submitted.errors);
    EXPECT_TRUE(submitted.lifecycle_applied);
    EXPECT_EQ(submitted.response->relay_status, SettlementRelayStatus::Queued);
    EXPECT_EQ(submitted.response->request_id, "srv-1-round-1");

    EXPECT_EQ(PollUntilResolved(now_ms, 10), SettlementRelayStatus::Included);
    EXPECT_EQ(polls_, 2);  // queued, then submitted, then included
    EXPECT_FALSE(session_.HasUnresolvedSettlement());
    EXPECT_TRUE(session_.Runtime().UnresolvedSettlementRecords().empty());
    EXPECT_EQ(session_.Runtime().CurrentRoundState().phase, RoundPhase::ChainIncluded);
    EXPECT_EQ(session_.Runtime().LastRoundEarningForSlot(1)->earned_zolt, 100u);
}

TEST_F(SessionAgainstDevBackend, ASettlementRefusedWith503IsRetriedWithBackOffUntilAccepted) {
    // Four refusals: the three immediate attempts of the submission and the
    // first delayed retry; the second delayed retry gets through.
    Start({"--fault", "503,count=4,path=/v1/plugin/settlements"},
          "ironpost_backend_retry_max_attempts 3\nironpost_backend_retry_base_delay_ms 250\n");
    std::uint64_t now_ms = 20000;
    const MetamodSettlementSubmitResult first =
        session_.OnRoundEnd(RoundContext("srv-1-round-1"), now_ms);
    EXPECT_FALSE(first.submitted);
    EXPECT_EQ(first.errors.back(), "backend retry attempts exhausted after 3 attempts");
    ASSERT_TRUE(session_.HasPendingSettlementRetry());
    EXPECT_EQ(session_.PendingSettlementRetry()->due_at_ms, now_ms + 250);

    EXPECT_EQ(session_.SubmitPendingSettlementRetry(now_ms + 249).errors,
              Lines{"settlement retry is not due"});
    const MetamodSettlementSubmitResult second =
        session_.SubmitPendingSettlementRetry(now_ms + 250);
    EXPECT_FALSE(second.submitted);
    EXPECT_EQ(second.errors.front(), "settlement backend retry rejected request");
    ASSERT_TRUE(session_.HasPendingSettlementRetry());
    EXPECT_EQ(session_.PendingSettlementRetry()->next_attempt, 3u);
    EXPECT_EQ(session_.PendingSettlementRetry()->due_at_ms, now_ms + 750);

    const MetamodSettlementSubmitResult third = session_.SubmitPendingSettlementRetry(now_ms + 750);
    ASSERT_TRUE(third.submitted) << ::testing::PrintToString(third.errors);
    EXPECT_FALSE(session_.HasPendingSettlementRetry());
    now_ms += 750;
    EXPECT_EQ(PollUntilResolved(now_ms, 10), SettlementRelayStatus::Included);
}

TEST_F(SessionAgainstDevBackend, BalancesAreRefreshedFromTheBackendLedger) {
    dir_.Write("wallets.json",
               "{\"wallets\":[{\"steamId\":\"STEAM_0:1:1001\",\"account\":\"5AliceWallet\","
               "\"walletBalanceAtomic\":\"2500\"}]}");
    Start({"--seed-file", dir_.Path("wallets.json")});
    std::uint64_t now_ms = 30000;
    ASSERT_TRUE(session_.OnRoundEnd(RoundContext("srv-1-round-1"), now_ms).submitted);
    ASSERT_EQ(PollUntilResolved(now_ms, 10), SettlementRelayStatus::Included);

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
    EXPECT_EQ(alice->fetched_at_ms, now_ms);
    EXPECT_EQ(alice->refresh_status, "ok");
    const auto bob = session_.Runtime().PlayerChainProfileForSlot(2);
    ASSERT_TRUE(bob.has_value());
    EXPECT_FALSE(bob->linked);
    EXPECT_EQ(bob->pending_zolt_atomic, "0");
    EXPECT_EQ(bob->wallet_balance_atomic, "");
}

}  // namespace
}  // namespace ironpost::session_test
