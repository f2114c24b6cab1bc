#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ironpost_metamod_entrypoint_runtime.h"
#include "plugin_host_test_support.h"

namespace ironpost::session_test {
namespace {

class RuntimeTest : public ::testing::Test {
  protected:
    TempDir dir_;
    ScriptedHttpClient client_;
    RecordingSink sink_;
    RecordingCvarRegistry cvars_;
    MetamodPluginRuntime runtime_{client_, sink_};
};

TEST_F(RuntimeTest, BindingFollowsOnlyASuccessfulAttachOrDetach) {
    struct Case {
        bool ok;
        MetamodEntrypointPhase phase;
        std::string bind_reason;
        std::string clear_reason;
    };
    const std::vector<Case> cases = {
        {false, MetamodEntrypointPhase::Attached, "lifecycle_not_ok", "lifecycle_not_ok"},
        {true, MetamodEntrypointPhase::Failed, "lifecycle_not_attached", "lifecycle_not_detached"},
        {true, MetamodEntrypointPhase::Attached, "sdk_callback_dispatcher_bound",
         "lifecycle_not_detached"},
        {true, MetamodEntrypointPhase::Detached, "lifecycle_not_attached",
         "sdk_callback_dispatcher_cleared"},
    };
    for (const Case& c : cases) {
        const HostLifecycleResult lifecycle{{c.ok, c.phase, "", {}, {}}, 1};
        MetamodSdkCallbackDispatcher dispatcher;
        const MetamodSdkDispatcherBindingResult bind =
            BindMetamodSdkCallbackDispatcher(lifecycle, runtime_.CallbackAdapter(), dispatcher);
        EXPECT_EQ(bind.reason, c.bind_reason);
        EXPECT_EQ(bind.notifications_published, 1U);
        EXPECT_EQ(dispatcher.HasAdapter(), bind.bound);
        dispatcher.Bind(&runtime_.CallbackAdapter());
        const MetamodSdkDispatcherBindingResult clear =
            ClearMetamodSdkCallbackDispatcher(lifecycle, dispatcher);
        EXPECT_EQ(clear.reason, c.clear_reason);
        EXPECT_EQ(dispatcher.HasAdapter(), !clear.cleared);
    }
}

TEST_F(RuntimeTest, TheLoaderStepsBindTheProcessDispatcherWhileAttached) {
    MetamodEntrypointRuntimeBridge bridge(runtime_);
    EXPECT_EQ(bridge.LastResult().reason, "entrypoint_runtime_idle");
    EXPECT_FALSE(bridge.LastResult().accepted);
    EXPECT_EQ(bridge.Query().reason, "entrypoint_query_accepted");

    MetamodSdkCallbackDispatcher& dispatcher = IronpostMetamodSdkCallbackDispatcher();
    const std::vector<std::pair<std::string, std::function<MetamodSdkDispatchResult()>>> calls = {
        {"ClientConnect", [&] { return dispatcher.ClientConnect({}); }},
        {"ClientIdentityValidated", [&] { return dispatcher.ClientIdentityValidated({}); }},
        {"ClientDisconnect", [&] { return dispatcher.ClientDisconnect({}); }},
        {"ClientCommand", [&] { return dispatcher.ClientCommand({}); }},
        {"StartFrame", [&] { return dispatcher.StartFrame({}); }},
        {"TeamInfo", [&] { return dispatcher.TeamInfo({}); }},
        {"RoundStart", [&] { return dispatcher.RoundStart({}); }},
        {"RoundEnd", [&] { return dispatcher.RoundEnd({}); }},
        {"Damage", [&] { return dispatcher.Damage({}); }},
        {"DeathMsg", [&] { return dispatcher.DeathMsg({}); }},
        {"RoundWin", [&] { return dispatcher.RoundWin({}); }},
        {"WeaponPurchase", [&] { return dispatcher.WeaponPurchase({}); }},
        {"WeaponStats", [&] { return dispatcher.WeaponStats({}); }},
        {"BuySetup", [&] { return dispatcher.BuySetup({}); }},
    };
    const auto expect_calls = [&](bool bound) {
        for (const auto& [name, call] : calls) {
            const MetamodSdkDispatchResult result = call();
            EXPECT_EQ(result.callback_name, name);
            EXPECT_EQ(result.adapter_bound, bound) << name;
            EXPECT_EQ(result.reason == "sdk_callback_adapter_not_bound", !bound) << name;
        }
    };
    expect_calls(false);

    const MetamodEntrypointRuntimeResult failed = bridge.Attach(dir_.Path("missing.cfg"), cvars_);
    EXPECT_EQ(failed.reason, "runtime_attach_failed");
    EXPECT_FALSE(failed.dispatcher_bound);
    const MetamodEntrypointRuntimeResult attached = bridge.Attach(WriteHostConfig(dir_), cvars_);
    EXPECT_EQ(attached.reason, "runtime_attached");
    EXPECT_TRUE(attached.accepted && attached.callbacks_bound && attached.runtime_attached);
    EXPECT_EQ(bridge.Attach(WriteHostConfig(dir_), cvars_).reason, "runtime_attach_failed");
    EXPECT_EQ(ironpost_metamod_sdk_dispatcher_bound(), 1);

    // Each result shape: a tick without a settlement is handled, not accepted;
    // a command carries its settlement's errors; an event its refusal.
    const MetamodSdkDispatchResult tick = dispatcher.StartFrame({1000});
    EXPECT_TRUE(tick.handled);
    EXPECT_FALSE(tick.accepted);
    EXPECT_EQ(tick.reason, "no_pending_settlement_retry");
    const MetamodSdkDispatchResult settle = dispatcher.ClientCommand({0, "cssettle", {}});
    EXPECT_TRUE(settle.handled);
    EXPECT_EQ(settle.reason, "alpha_round_submit_rejected");
    EXPECT_FALSE(settle.errors.empty());
    const MetamodSdkDispatchResult kill = dispatcher.DeathMsg({1, 2, false});
    EXPECT_TRUE(kill.handled);
    EXPECT_FALSE(kill.accepted);
    EXPECT_EQ(kill.errors, Lines{"minimum_humans"});
    expect_calls(true);

    const MetamodEntrypointRuntimeResult detached = bridge.Detach();
    EXPECT_EQ(detached.reason, "runtime_detached");
    EXPECT_TRUE(detached.accepted && detached.callbacks_cleared);
    EXPECT_EQ(detached.phase, MetamodEntrypointPhase::Detached);
    EXPECT_EQ(ironpost_metamod_sdk_dispatcher_bound(), 0);
    EXPECT_EQ(bridge.LastResult().reason, "runtime_detached");
}

TEST_F(RuntimeTest, StartFrameUpgradesAPendingIdOnceTheEngineValidatesIt) {
    MetamodSdkCallbackDispatcher dispatcher;
    ASSERT_EQ(runtime_.Attach(WriteHostConfig(dir_), cvars_, dispatcher).reason,
              "runtime_attached");
    std::vector<std::int32_t> reads;
    std::string engine_id = "STEAM_ID_PENDING";
    runtime_.CallbackAdapter().SetIdentityReader([&](std::int32_t slot) {
        reads.push_back(slot);
        return std::optional<std::string>(engine_id);
    });
    ASSERT_TRUE(dispatcher.ClientConnect({1, "alice", "STEAM_ID_PENDING", false}).accepted);
    ASSERT_TRUE(dispatcher.ClientConnect({2, "bob", "STEAM_0:0:2002", false}).accepted);
    ASSERT_TRUE(dispatcher.TeamInfo({1, "TERRORIST"}).accepted);
    const ConnectedPlayer before = *runtime_.Host().Session().Runtime().FindPlayer(1);

    for (const std::uint64_t now_ms : {1000, 1500, 1999}) {
        (void)dispatcher.StartFrame({now_ms});
        engine_id = "STEAM_0:1:1001";  // validated after the first read
    }
    EXPECT_EQ(reads, std::vector<std::int32_t>{1});
    for (const std::uint64_t now_ms : {2000, 5000}) {
        (void)dispatcher.StartFrame({now_ms});
    }
    EXPECT_EQ(reads, (std::vector<std::int32_t>{1, 1}));
    const ConnectedPlayer after = *runtime_.Host().Session().Runtime().FindPlayer(1);
    EXPECT_EQ(after.steam_id, "STEAM_0:1:1001");
    EXPECT_EQ(after.role, PlayerRole::Terrorist);
    EXPECT_EQ(after.join_sequence, before.join_sequence);
    EXPECT_EQ(runtime_.Detach(dispatcher).reason, "runtime_detached");
}

}  // namespace
}  // namespace ironpost::session_test
