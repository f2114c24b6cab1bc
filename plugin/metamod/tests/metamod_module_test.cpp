#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "ironpost_clock.h"
#include "ironpost_metamod_module.h"
#include "scripted_http_client.h"

namespace ironpost::session_test {
namespace {

TEST(MonotonicClock, NeverGoesBackAcrossMapChanges) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<std::pair<double, std::uint64_t>> readings = {
        {1.0, 1000},  {2.5, 2500}, {1.0, 3500},  // map change
        {1.2, 3700},  {nan, 3700}, {0.5, 4200},  // garbled reading, then another map
        {-1.0, 4200}, {3.0, 7200}};
    MonotonicClock clock;
    for (const auto& [seconds, expected] : readings) {
        EXPECT_EQ(clock.Update(seconds), expected) << seconds;
        EXPECT_EQ(clock.NowMs(), expected);
    }
}

class LifecycleTest : public SessionTest {
  protected:
    std::string WriteConfig(const std::string& extra = "") {
        dir_.Write("server.key", std::string(kServerKey) + "\n");
        return dir_.Write("ironpost.cfg", "ironpost_server_key_file \"" + dir_.Path("server.key") +
                                              "\"\nironpost_backend_url \"" + backend_url_ +
                                              "\"\nironpost_server_id srv-1\n" + extra);
    }

    MetamodEntrypointHost host_{session_};
};

TEST_F(LifecycleTest, PhasesFollowTheLoaderThroughFailureAndReattach) {
    EXPECT_EQ(host_.Query().phase, MetamodEntrypointPhase::Queried);

    const MetamodEntrypointStatus failed = host_.Attach(dir_.Path("missing.cfg"), cvars_);
    EXPECT_FALSE(failed.ok);
    EXPECT_EQ(failed.phase, MetamodEntrypointPhase::Failed);
    EXPECT_EQ(failed.message, "Metamod plugin attach failed");
    EXPECT_FALSE(failed.errors.empty());
    EXPECT_FALSE(host_.IsAttached());
    const MetamodEntrypointStatus detached = host_.Detach();
    EXPECT_TRUE(detached.ok);
    EXPECT_EQ(detached.phase, MetamodEntrypointPhase::Detached);
    EXPECT_EQ(detached.message, "Metamod plugin detached");
    EXPECT_TRUE(detached.warnings.empty());

    const std::string path = WriteConfig();
    const MetamodEntrypointStatus attached = host_.Attach(path, cvars_);
    EXPECT_TRUE(attached.ok) << ::testing::PrintToString(attached.errors);
    EXPECT_EQ(attached.message, "Metamod plugin attached");
    ASSERT_TRUE(session_.OnClientAuthorized(1, "alice", "STEAM_0:1:1001", false));
    const MetamodEntrypointStatus again = host_.Attach(path, cvars_);
    EXPECT_FALSE(again.ok);
    EXPECT_EQ(again.phase, MetamodEntrypointPhase::Attached);
    EXPECT_EQ(again.message, "Metamod plugin is already attached");
    EXPECT_EQ(again.errors, Lines{"already attached"});
    // The first attachment, players and all, stays in force.
    EXPECT_TRUE(host_.IsAttached());
    EXPECT_TRUE(session_.Runtime().FindPlayer(1).has_value());

    EXPECT_STREQ(MetamodEntrypointPhaseName(MetamodEntrypointPhase::Detached), "detached");
    EXPECT_STREQ(MetamodEntrypointPhaseName(static_cast<MetamodEntrypointPhase>(7)), "failed");
}

TEST_F(LifecycleTest, DetachNamesTheSettlementsAndRoundItDrops) {
    ASSERT_TRUE(host_.Attach(WriteConfig("ironpost_backend_retry_max_attempts 3\n"), cvars_).ok);
    SeatPlayersAndStartRound(1);
    client_.Reply(503, RejectedReplyBody(503, "busy"), 3);
    const MetamodSettlementSubmitResult rejected = session_.OnRoundEnd(RoundContext("r-1"), 1000);
    ASSERT_FALSE(rejected.submitted);
    ASSERT_TRUE(session_.HasPendingSettlementRetry());
    ASSERT_TRUE(session_.OnRoundStart(2));
    ASSERT_TRUE(session_.Runtime().QueueRewardEntry(2, 1, 0, 40).has_value());

    const MetamodEntrypointStatus detached = host_.Detach();
    EXPECT_TRUE(detached.ok);
    EXPECT_EQ(detached.warnings,
              (Lines{"journaled pending settlement retry r-1",
                     "dropped live round 2 with 1 rewards, 0 weapon spends, 0 transfers"}));
    EXPECT_EQ(
        detached.message,
        "Metamod plugin detached; journaled pending settlement retry r-1; dropped live round 2 "
        "with 1 rewards, 0 weapon spends, 0 transfers");
    EXPECT_FALSE(session_.IsLoaded());
}

}  // namespace
}  // namespace ironpost::session_test
