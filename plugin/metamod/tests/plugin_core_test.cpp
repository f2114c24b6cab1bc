#include <functional>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "ironpost_backend_transport.h"
#include "plugin_runtime_test_support.h"

namespace ironpost {
namespace {

using testing_support::RuntimeTest;
using testing_support::SteamIdForSlot;
using Role = PlayerRole;

class CoreTest : public RuntimeTest {
  protected:
    void SetUp() override {
        config_.antifarm_min_humans = 1;
        RuntimeTest::SetUp();
    }

    void Join(std::int32_t slot, const std::string& steam_id, Role role) {
        ASSERT_TRUE(runtime_.OnPlayerJoin(slot, "p" + std::to_string(slot), steam_id, false));
        ASSERT_TRUE(runtime_.OnPlayerRoleChanged(slot, role));
    }

    void Profile(std::int32_t slot, std::uint64_t fetched_at_ms) {
        PlayerChainProfile profile;
        profile.slot = slot;
        profile.fetched_at_ms = fetched_at_ms;
        runtime_.UpsertPlayerChainProfile(profile);
    }

    // Everything the runtime keeps for one slot, on one line.
    std::string SlotState(std::int32_t slot) const {
        const auto p = runtime_.FindPlayer(slot);
        const auto s = runtime_.SessionEarningForSlot(slot);
        return (p ? p->name + " " + p->steam_id + " " + RoleName(p->role) + " #" +
                        std::to_string(p->join_sequence)
                  : "-") +
               (s ? " | session " + s->steam_id + " " + std::to_string(s->earned_zolt) + " #" +
                        std::to_string(s->join_sequence)
                  : "") +
               (runtime_.LastRoundEarningForSlot(slot) ? " | last round" : "") +
               (runtime_.PlayerChainProfileForSlot(slot) ? " | profile" : "");
    }
};

TEST(SteamIdForms, OnlyRecognisedIdentityShapesAreAuthenticated) {
    const std::pair<const char*, bool> cases[] = {
        {"STEAM_0", false},      {"STEAM_0:", false}, {"STEAM_0:1", true}, {"STEAM_0:1:123", true},
        {"steam_0:1:1", false},  {"[U:1]", false},    {"[U:1:]", true},    {"[U:1:123]", true},
        {"[U:1:123", false},     {"", false},         {"BOT", false},      {"STEAM_ID_LAN", true},
        {"VALVE_ID_LAN", false}, {"U:1:2]", false},
    };
    for (const auto& [id, accepted] : cases) {
        EXPECT_EQ(IsAuthenticatedSteamId(id), accepted) << id;
    }
}

TEST_F(CoreTest, JoinsNeedASlotAndAnIdentityAndAreNumberedInOrder) {
    EXPECT_FALSE(runtime_.OnPlayerJoin(1, "a", "STEAM_0", false));
    EXPECT_FALSE(runtime_.OnPlayerJoin(0, "a", "STEAM_0:1:1", false));
    EXPECT_FALSE(runtime_.OnPlayerJoin(-3, "a", "STEAM_0:1:1", false));
    EXPECT_FALSE(runtime_.OnPlayerJoin(0, "bot", "", true));
    EXPECT_TRUE(runtime_.ConnectedPlayers().empty());

    Join(3, "STEAM_0:1:3", Role::Terrorist);
    ASSERT_TRUE(runtime_.OnPlayerJoin(5, "Bot Joe", "", true));
    ASSERT_TRUE(runtime_.OnPlayerJoin(6, "Bot Ann", "BOT_7", true));
    ASSERT_TRUE(runtime_.OnPlayerJoin(7, "Bot Max", "", true));  // two "BOT"s: no eviction
    Join(2, "STEAM_0:1:2", Role::CounterTerrorist);
    std::vector<std::string> seen;
    for (const ConnectedPlayer& p : runtime_.ConnectedPlayers()) {
        seen.push_back(std::to_string(p.slot) + " " + p.steam_id + " #" +
                       std::to_string(p.join_sequence) + (p.authenticated ? " auth" : "") +
                       (p.is_bot ? " bot" : "") + (IsHumanPlayer(p) ? " human" : ""));
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"3 STEAM_0:1:3 #1 auth human", "5 BOT #2 auth bot",
                                              "6 BOT_7 #3 auth bot", "7 BOT #4 auth bot",
                                              "2 STEAM_0:1:2 #5 auth human"}));
    EXPECT_EQ(runtime_.SessionEarnings().size(), 2u) << "bots get no session earnings";
    EXPECT_EQ(runtime_.CombatHumanPlayerCount(), 2u);
    ASSERT_TRUE(runtime_.OnPlayerRoleChanged(2, Role::Spectator));
    EXPECT_EQ(runtime_.CombatHumanPlayerCount(), 1u);

    Reload();
    Join(9, "STEAM_0:1:9", Role::Terrorist);
    EXPECT_EQ(runtime_.FindPlayer(9)->join_sequence, 1u) << "numbering restarts with a load";
}

// The engine may hand a slot to someone else without a disconnect in between.
TEST_F(CoreTest, RejoinKeepsTheSlotsStateAndAnotherIdentityStartsAfresh) {
    Join(2, "STEAM_0:1:2", Role::Terrorist);
    Join(3, "STEAM_0:1:3", Role::CounterTerrorist);
    ASSERT_TRUE(runtime_.BeginRound(1));
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(runtime_.RecordKillEvent(3, 2, false));
    }
    ASSERT_TRUE(runtime_.QueueRewardEntry(2, 1, 0, 100));
    ASSERT_TRUE(runtime_.QueueTransferIntent(2, 3, 10));
    ASSERT_TRUE(runtime_.QueueTransferIntent(3, 2, 20));
    Profile(2, 10);
    runtime_.SnapshotLastRoundEarnings(1, SettlementRelayStatus::Included, 50);
    ASSERT_TRUE(runtime_.OnPlayerJoin(2, "renamed", "STEAM_0:1:2", false));
    EXPECT_EQ(SlotState(2),
              "renamed STEAM_0:1:2 terrorist #1 | session STEAM_0:1:2 100 #1 | last round | "
              "profile");
    ASSERT_TRUE(runtime_.OnPlayerJoin(2, "newcomer", "STEAM_0:0:77", false));
    EXPECT_EQ(SlotState(2), "newcomer STEAM_0:0:77 unassigned #3 | session STEAM_0:0:77 0 #3");
    // The previous occupant's reward is still owed, but is not the newcomer's
    // to see, now or in the round's snapshot; its trades and kill counts went.
    ASSERT_TRUE(runtime_.OnPlayerRoleChanged(2, Role::Terrorist));
    EXPECT_EQ(runtime_.PendingRewards().size(), 6u);
    EXPECT_EQ(runtime_.PendingRewardTotalForSlot(2), 0u);
    EXPECT_TRUE(runtime_.PendingTransfers().empty());
    EXPECT_TRUE(runtime_.RecordKillEvent(3, 2, false)) << "the cap counted the previous occupant";
    runtime_.SnapshotLastRoundEarnings(1, SettlementRelayStatus::Included, 60);
    EXPECT_EQ(runtime_.LastRoundEarningForSlot(2)->earned_zolt, 0u);
    EXPECT_EQ(runtime_.ConnectedPlayers().front().slot, 2) << "the slot keeps its place";
    // A bot taking a human's slot shows nothing of the human's earnings.
    ASSERT_TRUE(runtime_.OnPlayerJoin(3, "bot", "", true));
    EXPECT_EQ(SlotState(3), "bot BOT unassigned #4");
}

// A second connection of one identity leaves the first slot the way a
// disconnect does: the slot's own state goes, its settlement events stay.
TEST_F(CoreTest, DuplicateIdentityAndLeavingRemoveTheSlotButNotItsSettlementEvents) {
    Join(2, "STEAM_0:1:2", Role::Terrorist);
    Join(3, "STEAM_0:1:3", Role::CounterTerrorist);
    Join(5, "STEAM_0:1:5", Role::CounterTerrorist);
    ASSERT_TRUE(runtime_.BeginRound(1));
    ASSERT_TRUE(runtime_.RecordKillEvent(2, 3, false));
    ASSERT_TRUE(runtime_.RecordKillEvent(5, 2, false));
    ASSERT_TRUE(runtime_.RecordWeaponPurchase(2, "ak47", 2500, 1).spend);
    ASSERT_TRUE(runtime_.QueueTransferIntent(2, 3, 10));
    ASSERT_TRUE(runtime_.QueueTransferIntent(5, 2, 20));
    ASSERT_TRUE(runtime_.QueueTransferIntent(3, 5, 30));
    Profile(2, 10);
    runtime_.SnapshotLastRoundEarnings(1, SettlementRelayStatus::Queued, 5);

    ASSERT_TRUE(runtime_.OnPlayerJoin(4, "again", "STEAM_0:1:2", false));
    EXPECT_EQ(SlotState(2), "-");
    EXPECT_EQ(SlotState(4), "again STEAM_0:1:2 unassigned #4 | session STEAM_0:1:2 0 #4");
    ASSERT_EQ(runtime_.PendingTransfers().size(), 1u);
    EXPECT_EQ(runtime_.PendingTransfers()[0].amount, 30u);
    EXPECT_EQ(runtime_.PendingRewards().size(), 2u);
    EXPECT_EQ(runtime_.PendingWeaponSpends().size(), 1u);
    EXPECT_EQ(runtime_.PendingCombatStats().size(), 3u);
    EXPECT_EQ(runtime_.PendingRivalStats().size(), 2u);
    // Slot 5 killed slot 2 once, yet may kill its next occupant five times:
    // the counter went with the slot.
    Join(2, "STEAM_0:1:22", Role::Terrorist);
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(runtime_.RecordKillEvent(5, 2, false)) << i;
    }
    EXPECT_TRUE(runtime_.OnPlayerLeave(5));
    EXPECT_FALSE(runtime_.OnPlayerLeave(5));
    EXPECT_EQ(SlotState(5), "-");
    EXPECT_TRUE(runtime_.PendingTransfers().empty());
    EXPECT_EQ(runtime_.PendingRewards().size(), 7u);
}

// Every player of a LAN server, and every player not yet validated, is
// reported under one of these shared ids. A LAN id is paid as the player's
// own; a pending one is nobody yet, and not even counted as a human.
TEST_F(CoreTest, SharedPlaceholderIdsNeverEvictAnotherSlot) {
    const std::tuple<const char*, bool, const char*, const char*> cases[] = {
        {"STEAM_ID_LAN", true, "", "same_identity"},
        {"STEAM_ID_PENDING", false, "minimum_humans", "placeholder_identity"},
    };
    for (const auto& [placeholder, paid, kill_rule, transfer_reason] : cases) {
        SCOPED_TRACE(placeholder);
        Reload();
        Join(1, placeholder, Role::Terrorist);
        Join(2, placeholder, Role::CounterTerrorist);
        Join(3, placeholder, Role::CounterTerrorist);
        EXPECT_EQ(runtime_.ConnectedPlayers().size(), 3u);
        EXPECT_EQ(runtime_.SessionEarnings().size(), 3u);
        EXPECT_EQ(runtime_.RecordKillEvent(1, 2, false).has_value(), paid);
        EXPECT_EQ(runtime_.LastRefusalRule(), kill_rule);
        EXPECT_EQ(runtime_.SubmitTransferMenuSelection({1, 2, 5}).reason, transfer_reason);
    }
    EXPECT_FALSE(runtime_.OnPlayerJoin(4, "v", "VALVE_ID_LAN", false)) << "not an accepted form";
    EXPECT_TRUE(IsPlaceholderSteamId("VALVE_ID_PENDING"));
    EXPECT_FALSE(IsPlaceholderSteamId("STEAM_0:1:2"));
}

TEST_F(CoreTest, IdentityUpgradeOnlyReplacesAPendingIdAndEvictsLikeAJoin) {
    Join(1, "STEAM_0:1:1", Role::Terrorist);
    Join(2, "STEAM_ID_PENDING", Role::CounterTerrorist);
    ASSERT_TRUE(runtime_.OnPlayerJoin(5, "bot", "", true));
    const std::tuple<std::int32_t, const char*, bool> steps[] = {
        {9, "STEAM_0:1:9", false},  {5, "STEAM_0:1:9", false}, {2, "VALVE_ID_PENDING", false},
        {2, "STEAM_ID_LAN", false}, {2, "STEAM_0", false},     {1, "STEAM_0:1:9", false},
        {1, "STEAM_0:1:1", true},   {2, "STEAM_0:1:1", true},  {2, "STEAM_0:1:7", false},
    };
    for (const auto& [slot, id, ok] : steps) {
        EXPECT_EQ(runtime_.UpgradePlayerIdentity(slot, id), ok) << slot << " " << id;
    }
    EXPECT_EQ(SlotState(1), "-") << "the earlier connection of that id left";
    EXPECT_EQ(SlotState(2), "p2 STEAM_0:1:1 counter_terrorist #2 | session STEAM_0:1:1 0 #2");
}

TEST_F(CoreTest, RoleChangesNeedAPlayerAndUnknownRolesBecomeUnassigned) {
    EXPECT_FALSE(runtime_.OnPlayerRoleChanged(4, Role::Terrorist));
    Join(4, "STEAM_0:1:4", Role::Spectator);
    for (const int bad : {17, -1}) {
        ASSERT_TRUE(runtime_.OnPlayerRoleChanged(4, Role::Spectator));
        EXPECT_TRUE(runtime_.OnPlayerRoleChanged(4, static_cast<Role>(bad)));
        EXPECT_EQ(runtime_.FindPlayer(4)->role, Role::Unassigned) << bad;
    }
    EXPECT_STREQ(RoleName(static_cast<Role>(17)), "unassigned");
    EXPECT_STREQ(RoleName(Role::CounterTerrorist), "counter_terrorist");
    EXPECT_STREQ(RoundPhaseName(RoundPhase::SettlementPending), "settlement_pending");
    EXPECT_STREQ(RoundPhaseName(static_cast<RoundPhase>(9)), "idle");
}

// Every transition and refusal of the phase machine, intake replies included.
TEST_F(CoreTest, PhaseMachineMovesAndRefusesAsDesigned) {
    Join(2, "STEAM_0:1:2", Role::Terrorist);
    std::uint32_t round = 0;
    const auto reply = [&](bool accepted, SettlementRelayStatus status) {
        PluginSettlementIntakeResponse response;
        response.accepted = accepted;
        response.relay_status = status;
        return runtime_.ApplySettlementIntakeResponse(response);
    };
    using S = SettlementRelayStatus;
    const std::map<std::string, std::function<bool()>> ops = {
        {"begin_zero", [&] { return runtime_.BeginRound(0); }},
        {"begin", [&] { return runtime_.BeginRound(++round); }},
        {"end", [&] { return runtime_.EndRound(); }},
        {"submitted", [&] { return runtime_.MarkSettlementSubmitted(); }},
        {"included", [&] { return runtime_.MarkSettlementIncluded(); }},
        {"buy_setup", [&] { return runtime_.BeginBuySetup(); }},
        {"reset", [&] { return runtime_.ResetRoundToIdle(); }},
        {"reward", [&] { return runtime_.QueueRewardEntry(2, 0, 0, 5).has_value(); }},
        {"one_reward_pending", [&] { return runtime_.PendingRewards().size() == 1; }},
        {"reply_queued", [&] { return reply(true, S::Queued); }},
        {"reply_submitted", [&] { return reply(true, S::Submitted); }},
        {"reply_included", [&] { return reply(true, S::Included); }},
        {"reply_finalized", [&] { return reply(true, S::Finalized); }},
        {"refused_finalized", [&] { return reply(false, S::Finalized); }},
        {"reply_others",
         [&] {
             return reply(true, S::Failed) || reply(true, S::Unknown) ||
                    reply(true, S::NotSubmitted);
         }},
    };
    using P = RoundPhase;
    // Each step runs its operations in order; all give the same result and
    // leave the same phase.
    const std::tuple<const char*, bool, RoundPhase> steps[] = {
        {"begin_zero end submitted included buy_setup reply_queued", false, P::Idle},
        {"begin", true, P::RoundActive},
        {"begin submitted included buy_setup reply_queued", false, P::RoundActive},
        {"end", true, P::SettlementPending},
        {"end buy_setup reply_others refused_finalized", false, P::SettlementPending},
        {"submitted reply_queued reply_submitted", true, P::SettlementPending},
        {"reply_finalized", true, P::ChainIncluded},
        {"included reply_included end", false, P::ChainIncluded},
        {"buy_setup reward buy_setup one_reward_pending", true, P::BuySetup},
        {"submitted end", false, P::BuySetup},
        {"begin end included begin end begin", true, P::RoundActive},
        {"reset reset", true, P::Idle},
    };
    for (const auto& [names, ok, phase] : steps) {
        std::istringstream list(names);
        for (std::string op; list >> op;) {
            EXPECT_EQ(ops.at(op)(), ok) << op << " towards " << RoundPhaseName(phase);
        }
        EXPECT_EQ(runtime_.CurrentRoundState().phase, phase) << names;
    }
    const RoundState idle = runtime_.CurrentRoundState();
    EXPECT_EQ(idle.round_number, 0u);
    EXPECT_EQ(idle.intermission_seconds, 12u);
    EXPECT_EQ(idle.settlement_timeout_seconds, 8u);
    EXPECT_EQ(idle.timeout_mode, "extend_intermission");
    ASSERT_TRUE(runtime_.BeginRound(42));
    EXPECT_EQ(runtime_.CurrentRoundState().round_number, 42u);
}

TEST(SettlementTimeout, EachPolicyHasItsEffect) {
    struct Case {
        const char* configured;
        const char* mode;
        RoundPhase phase;
        bool crypto;
        bool extended;
    };
    const Case cases[] = {
        {"force_free_tier", "force_free_tier", RoundPhase::BuySetup, false, false},
        {"disable_crypto_features", "disable_crypto_features", RoundPhase::BuySetup, false, false},
        {"use_stale_state", "use_stale_state", RoundPhase::BuySetup, true, false},
        {"extend_intermission", "extend_intermission", RoundPhase::SettlementPending, true, true},
        {"Force_Free_Tier", "extend_intermission", RoundPhase::SettlementPending, true, true},
        {"", "extend_intermission", RoundPhase::SettlementPending, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.configured);
        IronPostConfig config;
        config.on_settlement_timeout = c.configured;
        PluginRuntime runtime;
        runtime.Load(config);
        const SettlementTimeoutDecision early = runtime.HandleSettlementTimeout();
        EXPECT_EQ(early.mode, "not_settlement_pending");
        EXPECT_EQ(early.phase, RoundPhase::Idle);
        EXPECT_FALSE(early.intermission_extended);
        ASSERT_TRUE(runtime.BeginRound(3));
        ASSERT_TRUE(runtime.EndRound());
        const SettlementTimeoutDecision decision = runtime.HandleSettlementTimeout();
        EXPECT_EQ(decision.mode, c.mode);
        EXPECT_EQ(decision.phase, c.phase);
        EXPECT_EQ(decision.crypto_features_enabled, c.crypto);
        EXPECT_EQ(decision.intermission_extended, c.extended);
        EXPECT_EQ(runtime.CurrentRoundState().phase, c.phase);
        EXPECT_EQ(runtime.CurrentRoundState().crypto_features_enabled, c.crypto);
        ASSERT_TRUE(runtime.BeginRound(4));
        EXPECT_TRUE(runtime.CurrentRoundState().crypto_features_enabled) << "switched back on";
    }
    PluginRuntime unloaded;
    const SettlementTimeoutDecision decision = unloaded.HandleSettlementTimeout();
    EXPECT_EQ(decision.mode, "runtime_not_loaded");
    EXPECT_FALSE(decision.crypto_features_enabled);
}

TEST_F(CoreTest, ChainProfilesAreNormalisedReplacedAndMarkedFailed) {
    const auto stored = [&](std::int32_t slot) {
        const auto p = runtime_.PlayerChainProfileForSlot(slot);
        return p ? p->account + " " + p->pending_zolt_atomic + "/" + p->pending_zolt + " " +
                       (p->refresh_ok ? "ok " : "failed ") + p->refresh_status + " @" +
                       std::to_string(p->fetched_at_ms) + " block " +
                       std::to_string(p->source_block)
                 : "-";
    };
    Join(2, "STEAM_0:1:2", Role::Terrorist);
    runtime_.SnapshotLastRoundEarnings(4, SettlementRelayStatus::Submitted, 99);
    PlayerChainProfile profile{2, "h", true, "acct", "", "", "", "", 0, 1000, false, "never"};
    runtime_.UpsertPlayerChainProfile(profile);
    EXPECT_EQ(stored(2), "acct 0/0 ok ok @1000 block 0");
    profile.pending_zolt_atomic = "1500";
    profile.refresh_status = "partial";
    profile.source_block = 812;
    runtime_.UpsertPlayerChainProfile(profile);
    EXPECT_EQ(stored(2), "acct 1500/0 ok partial @1000 block 812");
    EXPECT_EQ(runtime_.LastRoundEarningForSlot(2)->source_block, 812u);
    profile.source_block = 0;
    runtime_.UpsertPlayerChainProfile(profile);
    EXPECT_EQ(runtime_.LastRoundEarningForSlot(2)->source_block, 812u) << "0 is not a block";

    runtime_.MarkPlayerChainProfileRefreshFailure(2, 9000, "");
    EXPECT_EQ(stored(2), "acct 1500/0 failed refresh_failed @1000 block 0");
    runtime_.MarkPlayerChainProfileRefreshFailure(7, 9000, "backend_unavailable");
    EXPECT_EQ(stored(7), " 0/0 failed backend_unavailable @0 block 0");
    for (const std::int32_t bad : {0, -2}) {
        profile.slot = bad;
        runtime_.UpsertPlayerChainProfile(profile);
        runtime_.MarkPlayerChainProfileRefreshFailure(bad, 9000, "x");
    }
    EXPECT_EQ(runtime_.PlayerChainProfiles().size(), 2u);
}

TEST_F(CoreTest, ProfilesGoStaleAtTheExactBoundary) {
    EXPECT_TRUE(runtime_.PlayerChainProfileStale(2, 5000, 3)) << "no profile";
    runtime_.MarkPlayerChainProfileRefreshFailure(2, 5000, "x");
    EXPECT_TRUE(runtime_.PlayerChainProfileStale(2, 5000, 3)) << "never fetched";
    Profile(2, 10000);
    EXPECT_FALSE(runtime_.PlayerChainProfileStale(2, 12999, 3));
    EXPECT_TRUE(runtime_.PlayerChainProfileStale(2, 13000, 3));
    EXPECT_FALSE(runtime_.PlayerChainProfileStale(2, 9000, 3)) << "clock behind the fetch";
    // The seconds-to-milliseconds product must not wrap in 32 bits.
    EXPECT_FALSE(runtime_.PlayerChainProfileStale(2, 10000 + 4294967295ull, 4294967295u));
    EXPECT_TRUE(runtime_.PlayerChainProfileStale(2, 10000 + 4294967295000ull, 4294967295u));
}

struct RecordingRegistry : CvarRegistry {
    void RegisterCvar(const CvarDefinition& definition) override { seen.push_back(definition); }
    std::vector<CvarDefinition> seen;
};

TEST(RuntimeLifecycle, UnloadedRuntimeRefusesChangesAndOnlyConfigThrows) {
    PluginRuntime runtime;
    try {
        (void)runtime.Config();
        ADD_FAILURE() << "Config() of an unloaded runtime must throw";
    } catch (const std::logic_error& error) {
        EXPECT_STREQ(error.what(), "plugin runtime is not loaded");
    }
    EXPECT_FALSE(runtime.OnPlayerJoin(1, "a", "STEAM_0:1:1", false));
    EXPECT_FALSE(runtime.BeginRound(1));
    EXPECT_FALSE(runtime.ResetRoundToIdle());
    PlayerChainProfile profile;
    profile.slot = 1;
    runtime.UpsertPlayerChainProfile(profile);
    runtime.MarkPlayerChainProfileRefreshFailure(1, 1, "x");
    EXPECT_TRUE(runtime.PlayerChainProfiles().empty());

    IronPostConfig config;
    config.reward_kill = 250;
    config.intermission_seconds = 30;
    runtime.Load(config);
    EXPECT_EQ(runtime.Config().reward_kill, 250u);
    EXPECT_EQ(runtime.CurrentRoundState().intermission_seconds, 30u);
    RecordingRegistry registry;
    runtime.RegisterCvars(registry);
    ASSERT_EQ(registry.seen.size(), 89u);
    EXPECT_EQ(registry.seen.front().name, "ironpost_enabled");
    EXPECT_EQ(registry.seen.back().name, "ironpost_log_config_hash");
    EXPECT_EQ(registry.seen[37].default_value, "250") << "published from the loaded copy";

    ASSERT_TRUE(runtime.OnPlayerJoin(1, "a", "STEAM_0:1:1", false));
    ASSERT_TRUE(runtime.BeginRound(1));
    runtime.Unload();
    EXPECT_THROW((void)runtime.Config(), std::logic_error);
    const RoundState state = runtime.CurrentRoundState();
    EXPECT_EQ(state.phase, RoundPhase::Idle);
    EXPECT_EQ(state.intermission_seconds, 0u);
    EXPECT_EQ(state.timeout_mode, "");
    EXPECT_TRUE(runtime.ConnectedPlayers().empty());
    EXPECT_TRUE(runtime.SessionEarnings().empty());
}

}  // namespace
}  // namespace ironpost
