#include <cstdint>
#include <string>
#include <vector>

#include "plugin_runtime_test_support.h"

namespace ironpost {
namespace {

using testing_support::RuntimeTest;
using Role = PlayerRole;
using Commands = std::vector<std::string>;

const Commands kNeutralize = {"yb_quota 0",           "yb kickall instant",   "yb_join_team any",
                              "humans_join_team any", "mp_autoteambalance 1", "mp_limitteams 2"};
const Commands kReset = {"yb_quota 0", "yb kickall instant", "yb_join_team any"};
const Commands kAddTwoCounterBots = {"humans_join_team any", "mp_autoteambalance 0",
                                     "mp_limitteams 0",      "yb_quota_mode normal",
                                     "yb_join_team CT",      "yb_quota 2"};

Commands Plus(Commands commands, const std::string& last) {
    commands.push_back(last);
    return commands;
}

// The interval is 1 s by default; every reconcile here is a second apart
// unless a test is about the throttle.
class AlphaPolicyTest : public RuntimeTest {
  protected:
    AlphaTeamPolicySnapshot Reconcile(bool force = false) {
        now_ms_ += 1000;
        return runtime_.ReconcileAlphaTeamPolicy(now_ms_, force);
    }

    static Commands CommandsOf(const AlphaTeamPolicySnapshot& snapshot) {
        Commands commands;
        for (const AlphaTeamPolicyAction& action : snapshot.actions) {
            EXPECT_EQ(action.kind, AlphaTeamPolicyActionKind::ServerCommand);
            EXPECT_EQ(action.slot, 0);
            EXPECT_EQ(action.target_role, Role::Unassigned);
            commands.push_back(action.command);
        }
        return commands;
    }

    // The snapshot's verdict on one line.
    static std::string State(const AlphaTeamPolicySnapshot& s) {
        return s.state + " humans=" + std::to_string(s.human_count) +
               " bots=" + std::to_string(s.bot_count) +
               " want=" + std::to_string(s.desired_bot_count) + " " + RoleName(s.desired_bot_team) +
               (s.satisfied ? " satisfied" : " unsatisfied") +
               " retry=" + std::to_string(s.retry_count);
    }

    std::uint64_t now_ms_ = 50000;
};

TEST_F(AlphaPolicyTest, LoneTerroristGetsTwoCounterTerroristBotsAndARestartMidRound) {
    Human(1, Role::Terrorist);
    AlphaTeamPolicySnapshot snapshot = Reconcile();
    EXPECT_EQ(State(snapshot),
              "OneHumanPvE humans=1 bots=0 want=2 counter_terrorist unsatisfied retry=0");
    EXPECT_TRUE(snapshot.enabled);
    EXPECT_EQ(CommandsOf(snapshot), kAddTwoCounterBots);
    EXPECT_EQ(snapshot.checked_at_ms, now_ms_);

    Reload();
    Human(1, Role::Terrorist);
    ASSERT_TRUE(runtime_.BeginRound(1));
    snapshot = Reconcile();
    EXPECT_EQ(CommandsOf(snapshot), Plus(kAddTwoCounterBots, "sv_restartround 1"));
    EXPECT_EQ(snapshot.last_action,
              "OneHumanPvE|1|0|2|counter_terrorist|0"
              "|server_command:humans_join_team any:0:unassigned"
              "|server_command:mp_autoteambalance 0:0:unassigned"
              "|server_command:mp_limitteams 0:0:unassigned"
              "|server_command:yb_quota_mode normal:0:unassigned"
              "|server_command:yb_join_team CT:0:unassigned"
              "|server_command:yb_quota 2:0:unassigned"
              "|server_command:sv_restartround 1:0:unassigned");
    // Same situation again: the signature is unchanged, so no second restart.
    snapshot = Reconcile();
    EXPECT_EQ(CommandsOf(snapshot), kAddTwoCounterBots);
}

TEST_F(AlphaPolicyTest, BotCountIsCappedAndFollowsTheHumansTeam) {
    config_.alpha_one_human_bots = 5;
    config_.alpha_restart_after_policy_change = false;
    Reload();
    Human(1, Role::CounterTerrorist);
    ASSERT_TRUE(runtime_.BeginRound(1));
    const AlphaTeamPolicySnapshot snapshot = Reconcile();
    EXPECT_EQ(State(snapshot), "OneHumanPvE humans=1 bots=0 want=2 terrorist unsatisfied retry=0");
    EXPECT_EQ(CommandsOf(snapshot),
              (Commands{"humans_join_team any", "mp_autoteambalance 0", "mp_limitteams 0",
                        "yb_quota_mode normal", "yb_join_team T", "yb_quota 2"}));
}

TEST_F(AlphaPolicyTest, SatisfiedWhenTheRightBotsPlayTheOtherTeam) {
    config_.alpha_one_human_bots = 1;
    Reload();
    Human(1, Role::Terrorist);
    Bot(5, Role::CounterTerrorist);
    AlphaTeamPolicySnapshot snapshot = Reconcile();
    EXPECT_EQ(State(snapshot),
              "OneHumanPvE humans=1 bots=1 want=1 counter_terrorist satisfied retry=0");
    EXPECT_TRUE(snapshot.actions.empty());
    config_.alpha_one_human_bots = 0;
    Reload();
    Human(1, Role::Terrorist);
    snapshot = Reconcile();
    EXPECT_EQ(State(snapshot),
              "OneHumanPvE humans=1 bots=0 want=0 counter_terrorist satisfied retry=0");
    EXPECT_TRUE(snapshot.actions.empty());
}

TEST_F(AlphaPolicyTest, SurplusOrMisplacedBotsAreResetAndNotReAddedWithinTheInterval) {
    Human(1, Role::Terrorist);
    Bot(5, Role::CounterTerrorist);
    Bot(6, Role::CounterTerrorist);
    Bot(7, Role::CounterTerrorist);
    EXPECT_EQ(CommandsOf(Reconcile()), kReset);
    // The bots leave; within one interval of the kick no new bots are asked for.
    for (const std::int32_t slot : {5, 6, 7}) {
        ASSERT_TRUE(runtime_.OnPlayerLeave(slot));
    }
    now_ms_ -= 500;
    AlphaTeamPolicySnapshot snapshot = Reconcile(/*force=*/true);
    EXPECT_FALSE(snapshot.satisfied);
    EXPECT_TRUE(snapshot.actions.empty());
    EXPECT_EQ(CommandsOf(Reconcile()), kAddTwoCounterBots);

    // A bot on the human's own team (or on no team) resets as well.
    Bot(8, Role::Terrorist);
    EXPECT_EQ(CommandsOf(Reconcile()), kReset);
}

TEST_F(AlphaPolicyTest, RetryCountGrowsWhileTheSameUnsatisfiedSnapshotRepeats) {
    Human(1, Role::Terrorist);
    Bot(5, Role::Terrorist);
    for (std::uint32_t expected : {0u, 1u, 2u, 3u}) {
        EXPECT_EQ(Reconcile().retry_count, expected);
    }
    ASSERT_TRUE(runtime_.OnPlayerRoleChanged(5, Role::CounterTerrorist));
    EXPECT_EQ(Reconcile().retry_count, 0u);  // another signature
}

TEST_F(AlphaPolicyTest, TwoHumansPlayWithoutBotsAndNeutralCommandsAreNotRepeated) {
    Human(1, Role::Terrorist);
    Human(2, Role::Spectator);
    Bot(5, Role::CounterTerrorist);
    AlphaTeamPolicySnapshot snapshot = Reconcile();
    EXPECT_EQ(State(snapshot), "TwoHumanPvP humans=2 bots=1 want=0 unassigned unsatisfied retry=0");
    EXPECT_EQ(CommandsOf(snapshot), kNeutralize);
    ASSERT_TRUE(runtime_.OnPlayerLeave(5));
    snapshot = Reconcile();
    EXPECT_TRUE(snapshot.satisfied);
    EXPECT_TRUE(snapshot.actions.empty()) << "the neutral state is remembered";

    Reload();
    Human(1, Role::Terrorist);
    Human(2, Role::CounterTerrorist);
    EXPECT_EQ(CommandsOf(Reconcile()),
              (Commands{"humans_join_team any", "mp_autoteambalance 1", "mp_limitteams 2"}));
    EXPECT_TRUE(Reconcile().actions.empty());
}

TEST_F(AlphaPolicyTest, EmptyServerResetsTheRoundAndNeutralizesOnce) {
    Human(1, Role::Terrorist);
    Human(2, Role::CounterTerrorist);
    ASSERT_TRUE(runtime_.BeginRound(3));
    ASSERT_TRUE(runtime_.RecordKillEvent(1, 2, false));
    Bot(5, Role::CounterTerrorist);
    ASSERT_TRUE(runtime_.OnPlayerLeave(1));
    ASSERT_TRUE(runtime_.OnPlayerLeave(2));
    const AlphaTeamPolicySnapshot snapshot = Reconcile();
    EXPECT_EQ(State(snapshot), "EmptyServer humans=0 bots=1 want=0 unassigned unsatisfied retry=0");
    EXPECT_EQ(CommandsOf(snapshot), kNeutralize) << "no restart on an empty server";
    EXPECT_EQ(runtime_.CurrentRoundState().phase, RoundPhase::Idle);
    EXPECT_EQ(runtime_.CurrentRoundState().round_number, 0u);
    EXPECT_TRUE(runtime_.PendingRewards().empty());
    ASSERT_TRUE(runtime_.OnPlayerLeave(5));
    EXPECT_TRUE(Reconcile().satisfied);
    EXPECT_TRUE(Reconcile().actions.empty());
}

TEST_F(AlphaPolicyTest, LoneSpectatorIsNeutralizedOnceUntilTheEpochResets) {
    Human(1, Role::Spectator);
    AlphaTeamPolicySnapshot snapshot = Reconcile();
    EXPECT_EQ(State(snapshot),
              "OneHumanSpectatorIdle humans=1 bots=0 want=0 unassigned satisfied retry=0");
    EXPECT_EQ(CommandsOf(snapshot), Plus(kNeutralize, "sv_restartround 1"));
    EXPECT_TRUE(Reconcile().actions.empty());
    EXPECT_TRUE(Reconcile().actions.empty());
    runtime_.ResetAlphaTeamPolicyEpoch();
    EXPECT_EQ(CommandsOf(Reconcile()), Plus(kNeutralize, "sv_restartround 1"));

    ASSERT_TRUE(runtime_.OnPlayerRoleChanged(1, Role::Unassigned));
    snapshot = Reconcile();
    EXPECT_EQ(snapshot.state, "WaitingForHumanTeam");
    EXPECT_EQ(CommandsOf(snapshot), kNeutralize);
}

TEST_F(AlphaPolicyTest, ThrottleReturnsTheStoredSnapshotWithoutPlayersOrActions) {
    Human(1, Role::Terrorist);
    const AlphaTeamPolicySnapshot first = Reconcile();
    ASSERT_FALSE(first.actions.empty());
    ASSERT_TRUE(runtime_.OnPlayerJoin(2, "late", "STEAM_0:1:2002", false));  // not on a team yet
    const AlphaTeamPolicySnapshot throttled =
        runtime_.ReconcileAlphaTeamPolicy(now_ms_ + 999, false);
    EXPECT_EQ(throttled.state, "OneHumanPvE");
    EXPECT_EQ(throttled.checked_at_ms, first.checked_at_ms);
    EXPECT_EQ(throttled.desired_bot_count, first.desired_bot_count);
    EXPECT_TRUE(throttled.actions.empty());
    EXPECT_TRUE(throttled.players.empty());
    EXPECT_EQ(runtime_.CurrentAlphaTeamPolicy().actions.size(), first.actions.size());
    EXPECT_EQ(runtime_.CurrentAlphaTeamPolicy().players.size(), 1u);
    // A clock that went backwards is throttled too; forcing is not.
    EXPECT_TRUE(runtime_.ReconcileAlphaTeamPolicy(now_ms_ - 5000, false).actions.empty());
    EXPECT_EQ(runtime_.ReconcileAlphaTeamPolicy(now_ms_ + 1, true).state, "TwoHumanPvP");
}

TEST_F(AlphaPolicyTest, HumanTeamChangesAndTheLastHumanLeavingResetTheEpoch) {
    Human(1, Role::Terrorist);
    Bot(5, Role::CounterTerrorist);
    const std::uint64_t t = now_ms_ + 1000;
    ASSERT_FALSE(runtime_.ReconcileAlphaTeamPolicy(t, false).actions.empty());
    // Bots changing team or leaving do not cut the interval short.
    ASSERT_TRUE(runtime_.OnPlayerRoleChanged(5, Role::Terrorist));
    ASSERT_TRUE(runtime_.OnPlayerLeave(5));
    EXPECT_EQ(runtime_.ReconcileAlphaTeamPolicy(t + 10, false).checked_at_ms, t);
    // A human changing team does.
    ASSERT_TRUE(runtime_.OnPlayerRoleChanged(1, Role::CounterTerrorist));
    const AlphaTeamPolicySnapshot after_switch = runtime_.ReconcileAlphaTeamPolicy(t + 20, false);
    EXPECT_EQ(after_switch.checked_at_ms, t + 20);
    EXPECT_EQ(after_switch.desired_bot_team, Role::Terrorist);
    // So does the last human leaving; a joining human waits for the interval.
    ASSERT_TRUE(runtime_.OnPlayerJoin(2, "late", "STEAM_0:1:2002", false));
    EXPECT_EQ(runtime_.ReconcileAlphaTeamPolicy(t + 30, false).checked_at_ms, t + 20);
    ASSERT_TRUE(runtime_.OnPlayerLeave(1));
    ASSERT_TRUE(runtime_.OnPlayerLeave(2));
    EXPECT_EQ(runtime_.ReconcileAlphaTeamPolicy(t + 40, false).state, "EmptyServer");
}

TEST_F(AlphaPolicyTest, DisabledOrUnloadedPolicyAsksForNothing) {
    config_.alpha_team_policy_enabled = false;
    Reload();
    Human(1, Role::Terrorist);
    AlphaTeamPolicySnapshot snapshot = Reconcile();
    EXPECT_FALSE(snapshot.enabled);
    EXPECT_EQ(State(snapshot), "Disabled humans=1 bots=0 want=0 unassigned satisfied retry=0");
    ASSERT_EQ(snapshot.players.size(), 1u);
    EXPECT_EQ(snapshot.players[0].slot, 1);
    EXPECT_TRUE(snapshot.actions.empty());
    runtime_.Unload();
    snapshot = Reconcile();
    EXPECT_EQ(snapshot.state, "Disabled");
    EXPECT_TRUE(snapshot.players.empty());
    EXPECT_EQ(runtime_.CurrentAlphaTeamPolicy().checked_at_ms, now_ms_);
    EXPECT_STREQ(AlphaTeamPolicyActionKindName(AlphaTeamPolicyActionKind::MovePlayerTeam),
                 "move_player_team");
}

}  // namespace
}  // namespace ironpost
