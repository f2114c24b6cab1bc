#include "ironpost_plugin.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "ironpost_backend_transport.h"

namespace ironpost {
namespace {

class RuntimeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        config_.antifarm_min_humans = 1;
        runtime_.Load(config_);
    }

    void Human(std::int32_t slot, const std::string& steam_id, PlayerRole role) {
        ASSERT_TRUE(runtime_.OnPlayerJoin(slot, "p" + std::to_string(slot), steam_id, false));
        ASSERT_TRUE(runtime_.OnPlayerRoleChanged(slot, role));
    }

    PlayerChainProfile Profile(std::int32_t slot, std::uint64_t fetched_at_ms) {
        PlayerChainProfile profile;
        profile.slot = slot;
        profile.steam_hash = "hash" + std::to_string(slot);
        profile.fetched_at_ms = fetched_at_ms;
        return profile;
    }

    IronPostConfig config_;
    PluginRuntime runtime_;
};

TEST(SteamIdForms, OnlyRecognisedIdentityShapesAreAuthenticated) {
    struct Case {
        const char* id;
        bool accepted;
    };
    const Case cases[] = {
        {"STEAM_0", false},      {"STEAM_0:", false},
        {"STEAM_0:1", true},     {"STEAM_0:1:123456", true},
        {"steam_0:1:1", false},  {"[U:1]", false},
        {"[U:1:]", true},        {"[U:1:123]", true},
        {"[U:1:123", false},     {"", false},
        {"BOT", false},          {"STEAM_ID_LAN", true},
        {"VALVE_ID_LAN", false}, {"U:1:2]", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsAuthenticatedSteamId(c.id), c.accepted) << c.id;
    }
}

TEST_F(RuntimeTest, HumansNeedAnAcceptedIdAndAPositiveSlot) {
    EXPECT_FALSE(runtime_.OnPlayerJoin(1, "a", "STEAM_0", false));
    EXPECT_FALSE(runtime_.OnPlayerJoin(0, "a", "STEAM_0:1:1", false));
    EXPECT_FALSE(runtime_.OnPlayerJoin(-3, "a", "STEAM_0:1:1", false));
    EXPECT_FALSE(runtime_.OnPlayerJoin(0, "bot", "", true));
    EXPECT_TRUE(runtime_.ConnectedPlayers().empty());
    EXPECT_TRUE(runtime_.SessionEarnings().empty());
}

TEST_F(RuntimeTest, BotsAreStoredAsBotWithoutSessionEarnings) {
    ASSERT_TRUE(runtime_.OnPlayerJoin(5, "Bot Joe", "", true));
    ASSERT_TRUE(runtime_.OnPlayerJoin(6, "Bot Ann", "BOT_7", true));
    const auto joe = runtime_.FindPlayer(5);
    ASSERT_TRUE(joe);
    EXPECT_EQ(joe->steam_id, "BOT");
    EXPECT_TRUE(joe->authenticated);
    EXPECT_TRUE(joe->is_bot);
    EXPECT_FALSE(IsHumanPlayer(*joe));
    EXPECT_EQ(runtime_.FindPlayer(6)->steam_id, "BOT_7");
    EXPECT_TRUE(runtime_.SessionEarnings().empty());
    // Two bots both called "BOT" are different players: no eviction.
    ASSERT_TRUE(runtime_.OnPlayerJoin(7, "Bot Max", "", true));
    EXPECT_EQ(runtime_.ConnectedPlayers().size(), 3u);
}

TEST_F(RuntimeTest, JoinSequencesGrowAndStartAgainAfterReload) {
    Human(3, "STEAM_0:1:3", PlayerRole::Terrorist);
    ASSERT_TRUE(runtime_.OnPlayerJoin(1, "bot", "", true));
    Human(2, "STEAM_0:1:2", PlayerRole::CounterTerrorist);
    const std::vector<ConnectedPlayer> players = runtime_.ConnectedPlayers();
    ASSERT_EQ(players.size(), 3u);
    EXPECT_EQ(players[0].slot, 3);
    EXPECT_EQ(players[0].join_sequence, 1u);
    EXPECT_EQ(players[1].join_sequence, 2u);
    EXPECT_EQ(players[2].join_sequence, 3u);
    EXPECT_EQ(runtime_.CombatHumanPlayerCount(), 2u);
    runtime_.Load(config_);
    Human(9, "STEAM_0:1:9", PlayerRole::Spectator);
    EXPECT_EQ(runtime_.FindPlayer(9)->join_sequence, 1u);
    EXPECT_EQ(runtime_.CombatHumanPlayerCount(), 0u);
}

TEST_F(RuntimeTest, RejoinKeepsRoleSequenceAndSessionEarnings) {
    Human(2, "STEAM_0:1:2", PlayerRole::Terrorist);
    Human(3, "STEAM_0:1:3", PlayerRole::CounterTerrorist);
    ASSERT_TRUE(runtime_.QueueRewardEntry(2, 1, 0, 100));
    ASSERT_TRUE(runtime_.OnPlayerJoin(2, "renamed", "STEAM_0:1:2", false));
    const auto player = runtime_.FindPlayer(2);
    EXPECT_EQ(player->name, "renamed");
    EXPECT_EQ(player->role, PlayerRole::Terrorist);
    EXPECT_EQ(player->join_sequence, 1u);
    ASSERT_TRUE(runtime_.SessionEarningForSlot(2));
    EXPECT_EQ(runtime_.SessionEarningForSlot(2)->earned_zolt, 100u);
    EXPECT_EQ(runtime_.SessionEarnings().size(), 2u);
}

TEST_F(RuntimeTest, AnotherIdentityInTheSlotStartsAfresh) {
    Human(2, "STEAM_0:1:2", PlayerRole::Terrorist);
    Human(3, "STEAM_0:1:3", PlayerRole::CounterTerrorist);
    ASSERT_TRUE(runtime_.QueueRewardEntry(2, 1, 0, 100));
    runtime_.UpsertPlayerChainProfile(Profile(2, 10));
    runtime_.SnapshotLastRoundEarnings(1, SettlementRelayStatus::Included, 50);
    ASSERT_TRUE(runtime_.LastRoundEarningForSlot(2));

    ASSERT_TRUE(runtime_.OnPlayerJoin(2, "newcomer", "STEAM_0:0:77", false));
    const auto player = runtime_.FindPlayer(2);
    EXPECT_EQ(player->steam_id, "STEAM_0:0:77");
    EXPECT_EQ(player->role, PlayerRole::Unassigned);
    EXPECT_EQ(player->join_sequence, 3u);
    EXPECT_FALSE(runtime_.PlayerChainProfileForSlot(2));
    EXPECT_FALSE(runtime_.LastRoundEarningForSlot(2));
    ASSERT_TRUE(runtime_.SessionEarningForSlot(2));
    EXPECT_EQ(runtime_.SessionEarningForSlot(2)->earned_zolt, 0u);
    EXPECT_EQ(runtime_.SessionEarningForSlot(2)->steam_id, "STEAM_0:0:77");
    EXPECT_EQ(runtime_.SessionEarningForSlot(2)->join_sequence, 3u);
    // The slot keeps its place in the table.
    EXPECT_EQ(runtime_.ConnectedPlayers().front().slot, 2);
    // A bot taking a human's slot is another identity too.
    ASSERT_TRUE(runtime_.OnPlayerJoin(3, "bot", "", true));
    EXPECT_FALSE(runtime_.SessionEarningForSlot(3));
}

TEST_F(RuntimeTest, DuplicateIdentityEvictsTheOldSlotWithEverythingItOwned) {
    Human(2, "STEAM_0:1:2", PlayerRole::Terrorist);
    Human(3, "STEAM_0:1:3", PlayerRole::CounterTerrorist);
    Human(5, "STEAM_0:1:5", PlayerRole::CounterTerrorist);
    ASSERT_TRUE(runtime_.BeginRound(1));
    ASSERT_TRUE(runtime_.RecordKillEvent(2, 3, false));
    ASSERT_TRUE(runtime_.RecordKillEvent(5, 2, false));
    ASSERT_TRUE(runtime_.QueueTransferIntent(2, 3, 10));
    ASSERT_TRUE(runtime_.QueueTransferIntent(5, 2, 10));
    ASSERT_TRUE(runtime_.QueueTransferIntent(3, 5, 10));
    runtime_.UpsertPlayerChainProfile(Profile(2, 10));
    runtime_.SnapshotLastRoundEarnings(1, SettlementRelayStatus::Queued, 5);

    ASSERT_TRUE(runtime_.OnPlayerJoin(4, "again", "STEAM_0:1:2", false));
    EXPECT_FALSE(runtime_.FindPlayer(2));
    ASSERT_TRUE(runtime_.FindPlayer(4));
    EXPECT_EQ(runtime_.FindPlayer(4)->join_sequence, 4u);
    const auto transfers = runtime_.PendingTransfers();
    ASSERT_EQ(transfers.size(), 1u);
    EXPECT_EQ(transfers[0].from_slot, 3);
    EXPECT_FALSE(runtime_.PlayerChainProfileForSlot(2));
    EXPECT_FALSE(runtime_.LastRoundEarningForSlot(2));
    EXPECT_FALSE(runtime_.SessionEarningForSlot(2));
    EXPECT_EQ(runtime_.SessionEarningForSlot(4)->earned_zolt, 0u);
    // Rewards stay in the round's settlement: they carry the identity.
    EXPECT_EQ(runtime_.PendingRewards().size(), 2u);
}

TEST_F(RuntimeTest, SharedPlaceholderIdsNeverEvictAnotherSlot) {
    // Every player of a LAN server, and every player not yet validated, is
    // reported under one of these shared ids.
    for (const char* placeholder : {"STEAM_ID_LAN", "STEAM_ID_PENDING"}) {
        SCOPED_TRACE(placeholder);
        runtime_.Load(config_);
        Human(1, placeholder, PlayerRole::Terrorist);
        Human(2, placeholder, PlayerRole::CounterTerrorist);
        Human(3, placeholder, PlayerRole::CounterTerrorist);
        EXPECT_EQ(runtime_.ConnectedPlayers().size(), 3u);
        EXPECT_EQ(runtime_.SessionEarnings().size(), 3u);
        EXPECT_EQ(runtime_.FindPlayer(1)->role, PlayerRole::Terrorist);
    }
    // The VALVE_ forms are not identities the runtime accepts for humans.
    EXPECT_FALSE(runtime_.OnPlayerJoin(4, "v", "VALVE_ID_LAN", false));
    EXPECT_FALSE(runtime_.OnPlayerJoin(4, "v", "VALVE_ID_PENDING", false));
    EXPECT_TRUE(IsPlaceholderSteamId("VALVE_ID_PENDING"));
    EXPECT_FALSE(IsPlaceholderSteamId("STEAM_0:1:2"));
}

TEST_F(RuntimeTest, RoleChangesNeedAPlayerAndUnknownRolesBecomeUnassigned) {
    EXPECT_FALSE(runtime_.OnPlayerRoleChanged(4, PlayerRole::Terrorist));
    Human(4, "STEAM_0:1:4", PlayerRole::Spectator);
    EXPECT_EQ(runtime_.FindPlayer(4)->role, PlayerRole::Spectator);
    EXPECT_TRUE(runtime_.OnPlayerRoleChanged(4, static_cast<PlayerRole>(17)));
    EXPECT_EQ(runtime_.FindPlayer(4)->role, PlayerRole::Unassigned);
    EXPECT_TRUE(runtime_.OnPlayerRoleChanged(4, static_cast<PlayerRole>(-1)));
    EXPECT_EQ(runtime_.FindPlayer(4)->role, PlayerRole::Unassigned);
    EXPECT_STREQ(RoleName(static_cast<PlayerRole>(17)), "unassigned");
    EXPECT_STREQ(RoundPhaseName(static_cast<RoundPhase>(9)), "idle");
}

TEST_F(RuntimeTest, LeavingRemovesTheSlotsEntriesButKeepsItsSettlementEvents) {
    Human(2, "STEAM_0:1:2", PlayerRole::Terrorist);
    Human(3, "STEAM_0:1:3", PlayerRole::CounterTerrorist);
    ASSERT_TRUE(runtime_.BeginRound(1));
    ASSERT_TRUE(runtime_.RecordKillEvent(3, 2, true));
    ASSERT_TRUE(runtime_.QueueTransferIntent(3, 2, 10));
    ASSERT_TRUE(runtime_.RecordWeaponPurchase(3, "ak47", 2500, 1).allowed);
    runtime_.UpsertPlayerChainProfile(Profile(3, 10));

    EXPECT_TRUE(runtime_.OnPlayerLeave(3));
    EXPECT_FALSE(runtime_.OnPlayerLeave(3));
    EXPECT_FALSE(runtime_.FindPlayer(3));
    EXPECT_TRUE(runtime_.PendingTransfers().empty());
    EXPECT_FALSE(runtime_.PlayerChainProfileForSlot(3));
    EXPECT_FALSE(runtime_.SessionEarningForSlot(3));
    EXPECT_EQ(runtime_.PendingRewards().size(), 1u);
    EXPECT_EQ(runtime_.PendingWeaponSpends().size(), 1u);
    EXPECT_FALSE(runtime_.PendingCombatStats().empty());
    // The kill counter went with the player: a new player in slot 3 starts
    // with a fresh repeated-victim count.
    Human(3, "STEAM_0:1:33", PlayerRole::CounterTerrorist);
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(runtime_.RecordKillEvent(3, 2, false)) << i;
    }
}

TEST_F(RuntimeTest, PhaseMachineMovesAndRefusesAsDesigned) {
    EXPECT_FALSE(runtime_.BeginRound(0));
    EXPECT_FALSE(runtime_.EndRound());
    EXPECT_FALSE(runtime_.MarkSettlementSubmitted());
    EXPECT_FALSE(runtime_.MarkSettlementIncluded());
    EXPECT_FALSE(runtime_.BeginBuySetup());
    ASSERT_TRUE(runtime_.BeginRound(7));
    EXPECT_EQ(runtime_.CurrentRoundState().round_number, 7u);
    EXPECT_FALSE(runtime_.BeginRound(8)) << "a round is already active";
    EXPECT_FALSE(runtime_.MarkSettlementSubmitted());
    EXPECT_FALSE(runtime_.BeginBuySetup());
    ASSERT_TRUE(runtime_.EndRound());
    EXPECT_EQ(runtime_.CurrentRoundState().phase, RoundPhase::SettlementPending);
    EXPECT_FALSE(runtime_.EndRound());
    EXPECT_TRUE(runtime_.MarkSettlementSubmitted());
    EXPECT_EQ(runtime_.CurrentRoundState().phase, RoundPhase::SettlementPending);
    EXPECT_FALSE(runtime_.BeginBuySetup());
    ASSERT_TRUE(runtime_.MarkSettlementIncluded());
    EXPECT_EQ(runtime_.CurrentRoundState().phase, RoundPhase::ChainIncluded);
    EXPECT_FALSE(runtime_.MarkSettlementIncluded());
    ASSERT_TRUE(runtime_.BeginBuySetup());
    ASSERT_TRUE(runtime_.BeginBuySetup()) << "buy setup again is a no-op";
    EXPECT_EQ(runtime_.CurrentRoundState().phase, RoundPhase::BuySetup);
    ASSERT_TRUE(runtime_.BeginRound(8));
    ASSERT_TRUE(runtime_.EndRound());
    ASSERT_TRUE(runtime_.BeginRound(9)) << "a round may start while settlement is pending";
    ASSERT_TRUE(runtime_.ResetRoundToIdle());
    const RoundState idle = runtime_.CurrentRoundState();
    EXPECT_EQ(idle.phase, RoundPhase::Idle);
    EXPECT_EQ(idle.round_number, 0u);
    EXPECT_EQ(idle.intermission_seconds, 12u);
    EXPECT_EQ(idle.settlement_timeout_seconds, 8u);
    EXPECT_EQ(idle.timeout_mode, "extend_intermission");
}

TEST_F(RuntimeTest, StartingARoundClearsThePreviousRoundsEvents) {
    Human(2, "STEAM_0:1:2", PlayerRole::Terrorist);
    Human(3, "STEAM_0:1:3", PlayerRole::CounterTerrorist);
    ASSERT_TRUE(runtime_.BeginRound(1));
    ASSERT_TRUE(runtime_.RecordKillEvent(2, 3, false));
    ASSERT_TRUE(runtime_.RecordWeaponPurchase(3, "ak47", 2500, 1).spend);
    ASSERT_TRUE(runtime_.QueueTransferIntent(2, 3, 5));
    ASSERT_TRUE(runtime_.EndRound());
    ASSERT_TRUE(runtime_.BeginRound(2));
    EXPECT_TRUE(runtime_.PendingRewards().empty());
    EXPECT_TRUE(runtime_.PendingWeaponSpends().empty());
    EXPECT_TRUE(runtime_.PendingTransfers().empty());
    EXPECT_TRUE(runtime_.PendingCombatStats().empty());
    EXPECT_TRUE(runtime_.PendingRivalStats().empty());
    // Session earnings outlive the round.
    EXPECT_EQ(runtime_.SessionEarningForSlot(2)->earned_zolt, 100u);
}

TEST_F(RuntimeTest, IntakeResponsesMoveThePendingSettlement) {
    PluginSettlementIntakeResponse response;
    response.accepted = true;
    response.relay_status = SettlementRelayStatus::Queued;
    EXPECT_FALSE(runtime_.ApplySettlementIntakeResponse(response)) << "nothing pending";
    ASSERT_TRUE(runtime_.BeginRound(1));
    ASSERT_TRUE(runtime_.EndRound());
    EXPECT_TRUE(runtime_.ApplySettlementIntakeResponse(response));
    response.relay_status = SettlementRelayStatus::Failed;
    EXPECT_FALSE(runtime_.ApplySettlementIntakeResponse(response));
    response.relay_status = SettlementRelayStatus::Finalized;
    response.accepted = false;
    EXPECT_FALSE(runtime_.ApplySettlementIntakeResponse(response));
    EXPECT_EQ(runtime_.CurrentRoundState().phase, RoundPhase::SettlementPending);
    response.accepted = true;
    EXPECT_TRUE(runtime_.ApplySettlementIntakeResponse(response));
    EXPECT_EQ(runtime_.CurrentRoundState().phase, RoundPhase::ChainIncluded);
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
        ASSERT_TRUE(runtime.BeginRound(3));
        ASSERT_TRUE(runtime.EndRound());
        const SettlementTimeoutDecision decision = runtime.HandleSettlementTimeout();
        EXPECT_EQ(decision.mode, c.mode);
        EXPECT_EQ(decision.phase, c.phase);
        EXPECT_EQ(decision.crypto_features_enabled, c.crypto);
        EXPECT_EQ(decision.intermission_extended, c.extended);
        EXPECT_EQ(runtime.CurrentRoundState().phase, c.phase);
        EXPECT_EQ(runtime.CurrentRoundState().crypto_features_enabled, c.crypto);
        // The next round switches the features back on.
        ASSERT_TRUE(runtime.BeginRound(4));
        EXPECT_TRUE(runtime.CurrentRoundState().crypto_features_enabled);
    }
    PluginRuntime unloaded;
    const SettlementTimeoutDecision decision = unloaded.HandleSettlementTimeout();
    EXPECT_EQ(decision.mode, "runtime_not_loaded");
    EXPECT_FALSE(decision.crypto_features_enabled);
}

TEST_F(RuntimeTest, ChainProfilesAreNormalisedAndReplacedBySlot) {
    Human(2, "STEAM_0:1:2", PlayerRole::Terrorist);
    runtime_.SnapshotLastRoundEarnings(4, SettlementRelayStatus::Submitted, 99);
    PlayerChainProfile profile = Profile(2, 1000);
    profile.refresh_status = "never";
    profile.source_block = 0;
    runtime_.UpsertPlayerChainProfile(profile);
    auto stored = runtime_.PlayerChainProfileForSlot(2);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->pending_zolt_atomic, "0");
    EXPECT_EQ(stored->pending_zolt, "0");
    EXPECT_TRUE(stored->refresh_ok);
    EXPECT_EQ(stored->refresh_status, "ok");
    EXPECT_EQ(runtime_.LastRoundEarningForSlot(2)->source_block, 0u);

    profile.pending_zolt_atomic = "1500";
    profile.refresh_status = "partial";
    profile.source_block = 812;
    runtime_.UpsertPlayerChainProfile(profile);
    ASSERT_EQ(runtime_.PlayerChainProfiles().size(), 1u);
    stored = runtime_.PlayerChainProfileForSlot(2);
    EXPECT_EQ(stored->pending_zolt_atomic, "1500");
    EXPECT_EQ(stored->refresh_status, "partial");
    EXPECT_EQ(runtime_.LastRoundEarningForSlot(2)->source_block, 812u);

    runtime_.UpsertPlayerChainProfile(Profile(0, 5));
    runtime_.UpsertPlayerChainProfile(Profile(-2, 5));
    EXPECT_EQ(runtime_.PlayerChainProfiles().size(), 1u);
}

TEST_F(RuntimeTest, RefreshFailuresKeepTheLastGoodData) {
    PlayerChainProfile profile = Profile(2, 1000);
    profile.account = "5Grw";
    profile.linked = true;
    runtime_.UpsertPlayerChainProfile(profile);
    runtime_.MarkPlayerChainProfileRefreshFailure(2, 9000, "");
    auto stored = runtime_.PlayerChainProfileForSlot(2);
    EXPECT_FALSE(stored->refresh_ok);
    EXPECT_EQ(stored->refresh_status, "refresh_failed");
    EXPECT_EQ(stored->account, "5Grw");
    EXPECT_TRUE(stored->linked);
    EXPECT_EQ(stored->fetched_at_ms, 1000u);

    runtime_.MarkPlayerChainProfileRefreshFailure(7, 9000, "backend_unavailable");
    stored = runtime_.PlayerChainProfileForSlot(7);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->refresh_status, "backend_unavailable");
    EXPECT_EQ(stored->pending_zolt, "0");
    EXPECT_EQ(stored->fetched_at_ms, 0u);
    EXPECT_FALSE(stored->refresh_ok);
    runtime_.MarkPlayerChainProfileRefreshFailure(0, 9000, "x");
    EXPECT_EQ(runtime_.PlayerChainProfiles().size(), 2u);
}

TEST_F(RuntimeTest, ProfilesGoStaleAtTheExactBoundary) {
    EXPECT_TRUE(runtime_.PlayerChainProfileStale(2, 5000, 3)) << "no profile";
    runtime_.MarkPlayerChainProfileRefreshFailure(2, 5000, "x");
    EXPECT_TRUE(runtime_.PlayerChainProfileStale(2, 5000, 3)) << "never fetched";
    runtime_.UpsertPlayerChainProfile(Profile(2, 10000));
    EXPECT_FALSE(runtime_.PlayerChainProfileStale(2, 12999, 3));
    EXPECT_TRUE(runtime_.PlayerChainProfileStale(2, 13000, 3));
    EXPECT_FALSE(runtime_.PlayerChainProfileStale(2, 9000, 3)) << "clock behind the fetch";
    // The seconds-to-milliseconds product must not wrap in 32 bits.
    EXPECT_FALSE(runtime_.PlayerChainProfileStale(2, 10000 + 4294967295ull, 4294967295u));
    EXPECT_TRUE(runtime_.PlayerChainProfileStale(2, 10000 + 4294967295000ull, 4294967295u));
}

TEST(RuntimeLifecycle, UnloadedRuntimeRefusesEverythingAndOnlyConfigThrows) {
    PluginRuntime runtime;
    EXPECT_FALSE(runtime.IsLoaded());
    EXPECT_THROW((void)runtime.Config(), std::logic_error);
    try {
        (void)runtime.Config();
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

struct RecordingRegistry : CvarRegistry {
    void RegisterCvar(const CvarDefinition& definition) override { seen.push_back(definition); }
    std::vector<CvarDefinition> seen;
};

TEST(RuntimeLifecycle, RegistersEveryConsoleVariableFromTheLoadedCopy) {
    IronPostConfig config;
    config.reward_kill = 250;
    PluginRuntime runtime;
    runtime.Load(config);
    RecordingRegistry registry;
    runtime.RegisterCvars(registry);
    ASSERT_EQ(registry.seen.size(), 89u);
    EXPECT_EQ(registry.seen.front().name, "ironpost_enabled");
    EXPECT_EQ(registry.seen.back().name, "ironpost_log_config_hash");
    EXPECT_EQ(registry.seen[37].default_value, "250");
}

}  // namespace
}  // namespace ironpost
