// The plugin driven the way the loader and the engine drive it: the entry
// points and their tables, connections, a round played through the hooks and
// the log, the policy's server commands, and faults kept from the engine.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "metamod_glue_support.h"

namespace ironpost::glue_test {
namespace {

std::size_t Count(const std::vector<std::string>& lines, const std::string& wanted) {
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), wanted));
}

std::size_t PostsTo(const std::string& path) {
    const auto& requests = IronpostMetamodProcessEntrypoint().BackendClient().Requests();
    return static_cast<std::size_t>(std::count_if(
        requests.begin(), requests.end(),
        [&](const BackendHttpPostRequest& r) { return EndpointPathFromUrl(r.url) == path; }));
}

TEST(MetamodGlue, TheLoaderAttachesDetachesAndAttachesAgain) {
    LoadedPlugin plugin;
    EXPECT_EQ(Meta_Query("5:13", nullptr, &plugin.fake.utility), 0);
    EXPECT_EQ(Meta_Attach(PT_STARTUP, &plugin.functions, nullptr, &plugin.gamedll), 0);
    EXPECT_EQ(ironpost_metamod_process_attached(), 0);

    // The configuration and the key are found under the game directory,
    // although the process runs elsewhere.
    ASSERT_EQ(plugin.Load(), 1) << ironpost_metamod_process_last_reason();
    EXPECT_STREQ(plugin.info->ifvers, "5:13");
    EXPECT_EQ(plugin.info->loadable, PT_STARTUP);
    EXPECT_EQ(plugin.info->unloadable, PT_CHANGELEVEL);
    EXPECT_EQ(ironpost_metamod_sdk_bound_meta_function_count(), 3u);
    EXPECT_EQ(ironpost_metamod_sdk_bound_game_dll_function_count(), 4u);
    EXPECT_EQ(ironpost_metamod_sdk_bound_new_dll_function_count(), 1u);
    EXPECT_EQ(ironpost_metamod_sdk_bound_engine_function_hook_count(), 1u);
    EXPECT_NE(plugin.new_dll.pfnGameShutdown, nullptr);

    int version = 139;
    DLL_FUNCTIONS other{};
    EXPECT_EQ(GetEntityAPI2(&other, &version), 0);
    EXPECT_EQ(version, 140);
    EXPECT_STREQ(ironpost_metamod_sdk_function_binding_status(), "sdk_game_dll_interface_mismatch");
    EXPECT_EQ(ironpost_metamod_sdk_bound_game_dll_function_count(), 4u);

    // A second attach is refused and the first stays in force.
    META_FUNCTIONS again{};
    EXPECT_EQ(Meta_Attach(PT_STARTUP, &again, &plugin.meta, &plugin.gamedll), 0);
    EXPECT_STREQ(ironpost_metamod_process_last_reason(), "runtime_attach_failed");
    EXPECT_EQ(ironpost_metamod_process_attached(), 1);

    const std::vector<std::string> cvars = plugin.fake.registered_cvars;
    ASSERT_EQ(Meta_Detach(PT_ANYTIME, PNL_COMMAND), 1);
    EXPECT_EQ(IronpostMetamodLoaderGlobals().globals, nullptr);
    ASSERT_EQ(Meta_Attach(PT_STARTUP, &again, &plugin.meta, &plugin.gamedll), 1);
    // Neither the variables nor the operator commands are handed over twice.
    EXPECT_EQ(plugin.fake.registered_cvars, cvars);
    // (once per process: an earlier test may have been the first)
    EXPECT_LE(Count(plugin.fake.added_server_commands, "cssettle"), 1u);
    EXPECT_LE(Count(plugin.fake.added_server_commands, "csround"), 1u);
    EXPECT_NE(LoadedPlugin::OperatorCommand(), nullptr);
    ASSERT_EQ(Meta_Detach(PT_ANYTIME, PNL_COMMAND), 1);

    // Without the file the error names the path that was tried.
    plugin.fake.game_dir = plugin.dir.Path("elsewhere");
    EXPECT_EQ(plugin.Load(), 0);
    const std::vector<std::string>& errors = IronpostMetamodProcessEntrypoint().LastResult().errors;
    EXPECT_NE(std::find(errors.begin(), errors.end(),
                        "unable to open config file: " +
                            plugin.dir.Path("elsewhere/addons/ironpost/ironpost.cfg")),
              errors.end());
}

TEST(MetamodGlue, NoClientIsEverRefused) {
    LoadedPlugin plugin;
    ASSERT_EQ(plugin.Load(), 1);
    char reject[128] = "kept";
    for (const char* id : {"HLTV", "VALVE_ID_LAN", ""}) {
        plugin.meta.mres = MRES_UNSET;
        EXPECT_EQ(plugin.dll.pfnClientConnect(plugin.fake.Connect(6, 40, id), "proxy", "x", reject),
                  1)
            << id;
        EXPECT_EQ(plugin.meta.mres, MRES_IGNORED);
        EXPECT_FALSE(LoadedPlugin::Player(6)) << id;
    }
    EXPECT_STREQ(reject, "kept");
    ASSERT_EQ(Meta_Detach(PT_ANYTIME, PNL_COMMAND), 1);
    // Unbound, the hook still admits.
    EXPECT_EQ(IronpostMetamodClientConnect(&plugin.fake.edicts[7], "late", "x", reject), 1);
}

TEST(MetamodGlue, ARoundPlayedThroughTheHooksAndTheLog) {
    LoadedPlugin plugin("ironpost_antifarm_min_humans 1\n");
    ASSERT_EQ(plugin.Load(), 1);
    const std::size_t settlements = PostsTo("/v1/plugin/settlements");
    const std::size_t round_events = PostsTo("/v1/plugin/round-events");
    plugin.Frame(1.0f);

    // Slots are not the log's user ids. The first human is validated after
    // connecting; the bot arrives without any hook.
    ASSERT_EQ(plugin.Connect(3, 17, "STEAM_ID_PENDING", "Alice"), 1);
    ASSERT_EQ(plugin.Connect(4, 19, "STEAM_0:0:19", "Bob"), 1);
    plugin.fake.Connect(5, 18, "BOT", true);
    plugin.fake.auth_ids[3] = "STEAM_0:1:17";
    plugin.Frame(2.5f);
    ASSERT_TRUE(LoadedPlugin::Player(3));
    EXPECT_EQ(LoadedPlugin::Player(3)->steam_id, "STEAM_0:1:17");
    ASSERT_TRUE(LoadedPlugin::Player(5));
    EXPECT_TRUE(LoadedPlugin::Player(5)->is_bot);

    const std::string alice = "\"Alice<17><STEAM_0:1:17><CT>\"";
    const std::string bob = "\"Bob<19><STEAM_0:0:19><TERRORIST>\"";
    plugin.Log("\"Alice<17><STEAM_0:1:17><>\" joined team \"CT\"");
    plugin.Log("\"Bob<19><STEAM_0:0:19><>\" joined team \"TERRORIST\"");
    EXPECT_EQ(LoadedPlugin::Player(3)->role, PlayerRole::CounterTerrorist);
    EXPECT_EQ(LoadedPlugin::Player(4)->role, PlayerRole::Terrorist);
    plugin.Log("World triggered \"Round_Start\"");
    plugin.Log(alice + " killed " + bob + " with \"m4a1\"");
    EXPECT_STREQ(ironpost_metamod_sdk_last_alert_message_reason(), "hlds_log_kill");
    const std::vector<EngineBufferedGameplayEvent> events =
        IronpostMetamodProcessEntrypoint().Runtime().Host().SnapshotBufferedGameplayEvents();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().type, "death");
    EXPECT_EQ(events.back().slot, 3);
    EXPECT_EQ(events.back().peer_slot, 4);

    // Only the server log is read; developer messages are anyone's text.
    plugin.meta.mres = MRES_UNSET;
    plugin.hooks.pfnAlertMessage(at_console, "%s", "World triggered \"Round_End\"\n");
    EXPECT_STREQ(ironpost_metamod_sdk_last_alert_message_reason(), "sdk_alert_message_not_logged");
    // Chat is data: neither a forged kill nor a forged round end.
    plugin.Log(bob + " say \"x\" killed " + alice + " with \"awp\"");
    plugin.Log(bob + " say \"Round_End\"");
    EXPECT_EQ(
        IronpostMetamodProcessEntrypoint().Runtime().Host().SnapshotBufferedGameplayEvents().size(),
        events.size());
    EXPECT_EQ(PendingAutoSettlementDueMs(), 0u);

    // The log's round end settles the round once the flush delay passed.
    plugin.Log("World triggered \"Round_End\"");
    EXPECT_STREQ(ironpost_metamod_sdk_last_alert_message_reason(), "auto_settlement_scheduled");
    plugin.Frame(2.6f);
    EXPECT_EQ(PostsTo("/v1/plugin/settlements"), settlements);
    plugin.Frame(2.8f);
    EXPECT_EQ(PostsTo("/v1/plugin/settlements"), settlements + 1);
    EXPECT_EQ(Count(plugin.fake.console, "[Iron-Post] auto settlement submitted.\n"), 1u);
    // The round's events follow, as on every settlement path.
    EXPECT_EQ(PostsTo("/v1/plugin/round-events"), round_events + 1);

    // A restart logs a new round without ending the running one: it is
    // settled before the new one begins, not merged into it.
    plugin.Log("World triggered \"Round_Start\"");
    plugin.Log(alice + " killed " + bob + " with \"m4a1\"");
    plugin.Log("World triggered \"Round_Start\"");
    EXPECT_EQ(PostsTo("/v1/plugin/settlements"), settlements + 2);
    EXPECT_EQ(IronpostMetamodProcessEntrypoint()
                  .Runtime()
                  .Host()
                  .Session()
                  .Runtime()
                  .CurrentRoundState()
                  .phase,
              RoundPhase::RoundActive);

    // The operator's console command reaches the host as the server.
    plugin.fake.argv = {"cssettle"};
    ASSERT_NE(LoadedPlugin::OperatorCommand(), nullptr);
    LoadedPlugin::OperatorCommand()();
    EXPECT_EQ(PostsTo("/v1/plugin/settlements"), settlements + 3);
    EXPECT_STREQ(ironpost_metamod_sdk_last_client_command_reason(), "alpha_round_submitted");
    // A player typing it is only a player.
    plugin.fake.argv = {"cssettle"};
    plugin.meta.mres = MRES_UNSET;
    plugin.dll.pfnClientCommand(&plugin.fake.edicts[3]);
    EXPECT_EQ(plugin.meta.mres, MRES_IGNORED);
    EXPECT_STREQ(ironpost_metamod_sdk_last_client_command_reason(), "operator_command_refused");

    // The rule behind a refused reward is there for the operator to read.
    plugin.Log("World triggered \"Round_Start\"");
    IronpostMetamodDeathMsg(3, 5, 0);  // a bot: no reward
    const std::string rule = ironpost_metamod_sdk_last_refusal_rule();
    EXPECT_FALSE(rule.empty());
    EXPECT_NE(std::string(ironpost_metamod_sdk_refusal_counts_json()).find("\"" + rule + "\":"),
              std::string::npos);
    // The loader never detaches at exit: shutdown settles the running round
    // and waits for the posts in flight.
    plugin.new_dll.pfnGameShutdown();
    EXPECT_EQ(PostsTo("/v1/plugin/settlements"), settlements + 4);
    EXPECT_EQ(IronpostMetamodProcessEntrypoint().BackendClient().WorkerHealth().active_jobs, 0u);

    // The event buffer outlives a detach: attached again, the plugin sends
    // only rounds that end from now on, not the previous attach's again.
    const std::size_t before_reattach = PostsTo("/v1/plugin/round-events");
    ASSERT_EQ(Meta_Detach(PT_ANYTIME, PNL_COMMAND), 1);
    ASSERT_EQ(plugin.Load(), 1);
    plugin.Frame(30.0f);
    EXPECT_EQ(PostsTo("/v1/plugin/round-events"), before_reattach);
    ASSERT_EQ(plugin.Connect(3, 17, "STEAM_0:1:17", "Alice"), 1);
    ASSERT_EQ(plugin.Connect(4, 19, "STEAM_0:0:19", "Bob"), 1);
    plugin.Log("\"Alice<17><STEAM_0:1:17><>\" joined team \"CT\"");
    plugin.Log("\"Bob<19><STEAM_0:0:19><>\" joined team \"TERRORIST\"");
    plugin.Log("World triggered \"Round_Start\"");
    plugin.Log(alice + " killed " + bob + " with \"m4a1\"");
    plugin.Log("World triggered \"Round_End\"");
    plugin.Frame(40.0f);
    EXPECT_EQ(PostsTo("/v1/plugin/round-events"), before_reattach + 1);
}

TEST(MetamodGlue, PolicyCommandsWaitForTheEngineAndTheBudget) {
    LoadedPlugin plugin(
        "ironpost_alpha_team_policy_enabled 1\nironpost_server_command_budget_per_second 2\n");
    ASSERT_EQ(plugin.Load(), 1);
    plugin.fake.server_commands.clear();
    // An empty server: the policy asks for its neutral settings at once.
    plugin.Frame(10.0f);
    ASSERT_EQ(plugin.fake.server_commands.size(), 2u);
    const std::size_t waiting = IronpostMetamodServerCommandBudget().deferred;
    ASSERT_GT(waiting, 0u);
    EXPECT_EQ(Count(plugin.fake.console,
                    "[Iron-Post] alpha policy server command deferred: "
                    "command budget exceeded.\n"),
              1u);
    plugin.Frame(10.9f);
    EXPECT_EQ(plugin.fake.server_commands.size(), 2u);
    // Each new window runs the next two; nothing is lost.
    for (float time = 11.0f; IronpostMetamodServerCommandBudget().deferred != 0; time += 1.0f) {
        plugin.Frame(time);
    }
    EXPECT_EQ(plugin.fake.server_commands.size(), 2 + waiting);
    EXPECT_EQ(IronpostMetamodServerCommandBudget().dropped, 0u);
    for (const std::string& command : plugin.fake.server_commands) {
        EXPECT_EQ(command.back(), '\n');
        EXPECT_EQ(Count(plugin.fake.console, "[Iron-Post] alpha policy server command: " +
                                                 command.substr(0, command.size() - 1) + "\n"),
                  1u);
    }
    // The engine runs its command buffer after the frame, never inside it.
    EXPECT_EQ(plugin.fake.server_executes, 0);
}

TEST(MetamodGlue, NothingThrownReachesTheEngineOrTheCaller) {
    LoadedPlugin plugin("ironpost_heartbeat_interval_seconds 30\n");
    ASSERT_EQ(plugin.Load(), 1);
    const unsigned stopped = ironpost_metamod_sdk_stopped_exception_count();
    plugin.fake.throw_in_server_print = true;
    plugin.Log("World triggered \"Round_Start\"");  // prints, so throws
    EXPECT_EQ(ironpost_metamod_process_submit_heartbeat_if_due(5000), 0);
    plugin.Frame(3.0f);
    EXPECT_GE(ironpost_metamod_sdk_stopped_exception_count(), stopped + 2);
    EXPECT_EQ(plugin.meta.mres, MRES_IGNORED);
    plugin.fake.throw_in_server_print = false;
}

}  // namespace
}  // namespace ironpost::glue_test
