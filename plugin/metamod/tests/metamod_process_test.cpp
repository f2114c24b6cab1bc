// The process object's telemetry and drain: timers on the live clock across a
// map change, and a whole round followed through the real worker client and
// the development backend until the chain includes its settlement.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "dev_backend_process.h"
#include "metamod_glue_support.h"

namespace ironpost::glue_test {
namespace {

std::size_t PostsTo(TelemetryKind kind) {
    const auto& requests = IronpostMetamodProcessEntrypoint().BackendClient().Requests();
    return static_cast<std::size_t>(
        std::count_if(requests.begin(), requests.end(), [&](const BackendHttpPostRequest& r) {
            return EndpointPathFromUrl(r.url) == TelemetryKindPath(kind);
        }));
}

TEST(MetamodProcess, TelemetryTimersRunOnAcrossAMapChange) {
    LoadedPlugin plugin(
        "ironpost_heartbeat_interval_seconds 30\n"
        "ironpost_alpha_team_policy_enabled 1\nironpost_alpha_policy_interval_seconds 10\n");
    ASSERT_EQ(plugin.Load(), 1);
    const std::size_t heartbeats = PostsTo(TelemetryKind::Heartbeat);
    const std::size_t states = PostsTo(TelemetryKind::GameState);
    // Map time in seconds, then the posts so far (heartbeat, game state).
    const struct {
        float map_time;
        std::size_t heartbeats;
        std::size_t states;
    } frames[] = {
        {100.0f, 1, 1},
        {109.0f, 1, 1},
        {110.0f, 1, 2},
        {129.0f, 1, 3},
        // A new map: the engine's time starts again at 1 s, the live clock
        // goes on from 130 s, and the due times hold.
        {1.0f, 2, 3},
        {9.0f, 2, 3},
        {10.0f, 2, 4},
        {30.0f, 2, 5},
        {31.0f, 3, 5},
    };
    for (const auto& frame : frames) {
        plugin.Frame(frame.map_time);
        EXPECT_EQ(PostsTo(TelemetryKind::Heartbeat) - heartbeats, frame.heartbeats)
            << frame.map_time;
        EXPECT_EQ(PostsTo(TelemetryKind::GameState) - states, frame.states) << frame.map_time;
    }
}

TEST(MetamodProcess, ARoundIsFollowedThroughTheWorkersUntilIncluded) {
    if (!testing::DevBackendAvailable()) {
        GTEST_SKIP() << "python3 or the development backend is not available";
    }
    TempDir db;
    LoadedPlugin plugin;
    testing::DevBackendProcess backend(plugin.dir.Path("addons/ironpost/server.key"),
                                       db.Path("backend.sqlite3"));
    ASSERT_GT(backend.Port(), 0);
    plugin.dir.Write("addons/ironpost/ironpost.cfg",
                     std::string(kBaseConfig) + "ironpost_backend_url \"" + backend.Url() +
                         "\"\nironpost_http_timeout_ms 3000\n"
                         "ironpost_hud_balance_enabled 1\nironpost_balance_refresh_seconds 1\n"
                         "ironpost_antifarm_min_humans 1\n");
    ASSERT_EQ(plugin.Load(), 1) << ironpost_metamod_process_last_reason();
    MetamodPluginSession& session = IronpostMetamodProcessEntrypoint().Runtime().Host().Session();
    float time = 1.0f;
    plugin.Frame(time);
    plugin.Connect(3, 30, "STEAM_0:0:3", "Alice");
    plugin.Connect(4, 40, "STEAM_0:0:4", "Bob");
    plugin.Log("\"Alice<30><STEAM_0:0:3><>\" joined team \"CT\"");
    plugin.Log("\"Bob<40><STEAM_0:0:4><>\" joined team \"TERRORIST\"");
    plugin.Log("World triggered \"Round_Start\"");
    plugin.Log(
        "\"Alice<30><STEAM_0:0:3><CT>\" killed \"Bob<40><STEAM_0:0:4><TERRORIST>\" with \"usp\"");
    plugin.Log("World triggered \"Round_End\"");

    // Every answer arrives on a worker and is applied in a later frame: the
    // settlement's post and polls, the balances, the round's events.
    bool followed = true;
    for (int frame = 0; frame < 150 && followed; ++frame) {
        time += 0.5f;
        plugin.Frame(time);
        followed = !session.FollowedSettlementIds().empty() ||
                   IronpostMetamodProcessEntrypoint().RoundEvents().InFlight() ||
                   IronpostMetamodProcessEntrypoint().RoundEvents().AcknowledgedSequence() == 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_FALSE(followed);
    EXPECT_EQ(session.Runtime().CurrentRoundState().phase, RoundPhase::ChainIncluded);
    EXPECT_TRUE(session.Runtime().UnresolvedSettlementRecords().empty());
    const std::optional<PlayerChainProfile> profile =
        session.Runtime().PlayerChainProfileForSlot(3);
    ASSERT_TRUE(profile);
    EXPECT_TRUE(profile->refresh_ok);
    EXPECT_EQ(std::count(plugin.fake.console.begin(), plugin.fake.console.end(),
                         "[Iron-Post] auto settlement submitted.\n"),
              1);
    // Detaching waits for the workers, so nothing runs once it returns.
    ASSERT_EQ(Meta_Detach(PT_ANYTIME, PNL_COMMAND), 1);
    EXPECT_EQ(IronpostMetamodProcessEntrypoint().BackendClient().WorkerHealth().active_jobs, 0u);
    EXPECT_EQ(ironpost_metamod_process_module_pinned(), 0);
}

}  // namespace
}  // namespace ironpost::glue_test
