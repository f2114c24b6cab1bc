#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "plugin_runtime_test_support.h"

namespace ironpost {
namespace {

using testing_support::Describe;
using testing_support::DescribeAll;
using testing_support::Lines;
using testing_support::RuntimeTest;
using Role = PlayerRole;
using Seats = std::vector<std::pair<std::int32_t, Role>>;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
const auto kT = Role::Terrorist;
const auto kCT = Role::CounterTerrorist;

class RewardTest : public RuntimeTest {
  protected:
    // Two humans on opposite teams, so the minimum-humans rule is met.
    void TwoTeams() {
        Human(1, kT);
        Human(2, kCT);
    }

    void ExpectNothingRecorded() {
        EXPECT_TRUE(runtime_.PendingRewards().empty());
        EXPECT_TRUE(runtime_.PendingCombatStats().empty());
        EXPECT_TRUE(runtime_.PendingRivalStats().empty());
        for (const SessionPlayerEarning& earning : runtime_.SessionEarnings()) {
            EXPECT_EQ(earning.earned_zolt, 0u) << earning.steam_id;
        }
    }
};

struct RuleCase {
    const char* name;
    const char* config;  // see Configure
    Seats humans;
    Seats bots;
    std::int32_t actor;
    std::int32_t victim;
    const char* rule;  // the kill's refusal rule; "" when paid
};

class RewardRuleTest : public RewardTest, public ::testing::WithParamInterface<RuleCase> {};

// A kill and 40 damage by the same actor are both paid or both refused; a
// refusal leaves no reward, statistics or session earnings behind, and names
// the rule behind it.
TEST_P(RewardRuleTest, KillAndDamageFollowTheAntiFarmRules) {
    const RuleCase& c = GetParam();
    Configure(c.config);
    for (const auto& [slot, role] : c.humans) {
        Human(slot, role);
    }
    for (const auto& [slot, role] : c.bots) {
        Bot(slot, role);
    }
    const bool paid = *c.rule == '\0';
    const auto kill = runtime_.RecordKillEvent(c.actor, c.victim, true);
    EXPECT_EQ(runtime_.LastRefusalRule(), c.rule);
    const auto damage = runtime_.RecordDamageEvent(c.actor, c.victim, 40);
    EXPECT_EQ(kill.has_value(), paid);
    EXPECT_EQ(damage.has_value(), paid);
    if (!paid) {
        ExpectNothingRecorded();
    } else {
        EXPECT_EQ(SessionEarned(c.actor), 140u);
    }
}

const char* const kAntiFarmOff = "antifarm_enabled 0";

INSTANTIATE_TEST_SUITE_P(
    AntiFarm, RewardRuleTest,
    ::testing::Values(
        RuleCase{"OneHumanAmongBots", "", {{1, kT}}, {{5, kCT}, {6, kCT}}, 1, 5, "minimum_humans"},
        RuleCase{"AntiFarmOffPaysALoneHuman", kAntiFarmOff, {{1, kT}}, {{5, kCT}}, 1, 5, ""},
        RuleCase{"BotVictim", "", {{1, kT}, {2, kCT}}, {{5, kCT}}, 1, 5, ""},
        RuleCase{"BotKiller", "", {{1, kT}, {2, kCT}}, {{5, kCT}}, 5, 1, "bot_involved"},
        RuleCase{
            "BotKillerWithAntiFarmOff", kAntiFarmOff, {{1, kT}}, {{5, kCT}}, 5, 1, "bot_involved"},
        RuleCase{"SpectatorKiller", "", {{1, Role::Spectator}, {2, kCT}}, {}, 1, 2, "not_playing"},
        RuleCase{
            "UnassignedKiller", "", {{1, Role::Unassigned}, {2, kCT}}, {}, 1, 2, "not_playing"},
        RuleCase{"SpectatorVictim", "", {{1, kT}, {2, Role::Spectator}}, {}, 1, 2, "not_playing"},
        RuleCase{"TeamKill", "", {{1, kT}, {2, kT}}, {}, 1, 2, "team_kill"},
        RuleCase{
            "TeamKillWithAntiFarmOff", kAntiFarmOff, {{1, kT}, {2, kT}}, {}, 1, 2, "team_kill"},
        RuleCase{
            "TeamKillAllowed", "antifarm_team_damage_rewards 1", {{1, kT}, {2, kT}}, {}, 1, 2, ""},
        RuleCase{"SelfKill", "", {{1, kT}, {2, kCT}}, {}, 1, 1, "self_kill"},
        RuleCase{"MissingVictim", "", {{1, kT}, {2, kCT}}, {}, 1, 9, "player_missing"},
        RuleCase{"MissingKiller", "", {{1, kT}, {2, kCT}}, {}, 9, 1, "player_missing"},
        RuleCase{"FewerHumansThanTheMinimum",
                 "antifarm_min_humans 4",
                 {{1, kT}, {2, kCT}, {3, Role::Spectator}},
                 {},
                 1,
                 2,
                 "minimum_humans"},
        RuleCase{"SpectatorsCountTowardsTheMinimum",
                 "antifarm_min_humans 3",
                 {{1, kT}, {2, kCT}, {3, Role::Spectator}},
                 {},
                 1,
                 2,
                 ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RewardTest, RoundWinIsRefusedForTooFewHumansBotsAndNonPlayers) {
    TwoTeams();
    EXPECT_FALSE(runtime_.RecordRoundWinEvent(1)) << "reward_round_win is 0";
    config_.reward_round_win = 50;
    Reload();
    Human(1, kT);
    Bot(5, kCT);
    EXPECT_FALSE(runtime_.RecordRoundWinEvent(1)) << "one human only";
    Human(2, Role::Spectator);
    EXPECT_FALSE(runtime_.RecordRoundWinEvent(5));
    EXPECT_FALSE(runtime_.RecordRoundWinEvent(2));
    EXPECT_FALSE(runtime_.RecordRoundWinEvent(9));
    ExpectNothingRecorded();
    const auto win = runtime_.RecordRoundWinEvent(1);
    ASSERT_TRUE(win);
    EXPECT_EQ(Describe(*win), "1 STEAM_0:1:1001 kills=0 damage=0 zolt=50");
    EXPECT_TRUE(runtime_.PendingCombatStats().empty());
}

TEST_F(RewardTest, KillsCountForBothHumansButNeverForABot) {
    TwoTeams();
    Bot(5, kCT);
    EXPECT_EQ(Describe(*runtime_.RecordKillEvent(1, 5, false)),
              "1 STEAM_0:1:1001 kills=1 damage=0 zolt=100");
    // A headshot with reward_headshot 0 pays the kill alone but still counts.
    EXPECT_EQ(runtime_.RecordKillEvent(1, 2, true)->reward_zolt, 100u);
    EXPECT_EQ(DescribeAll(runtime_.PendingCombatStats()),
              (Lines{"STEAM_0:1:1001 k=2 d=0 hs=1 fired=0 hit=0 rounds=1",
                     "STEAM_0:1:1002 k=0 d=1 hs=0 fired=0 hit=0 rounds=1"}));
    EXPECT_EQ(DescribeAll(runtime_.PendingRivalStats()),
              (Lines{"STEAM_0:1:1001->BOT hits=0 damage=0 k=1",
                     "STEAM_0:1:1001->STEAM_0:1:1002 hits=0 damage=0 k=1"}));
}

TEST_F(RewardTest, SixthKillOfTheSameVictimInARoundIsRefusedUntilTheNextRound) {
    TwoTeams();
    Human(3, kCT);
    ASSERT_TRUE(runtime_.BeginRound(1));
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(runtime_.RecordKillEvent(1, 2, false)) << i;
    }
    const Lines combat = DescribeAll(runtime_.PendingCombatStats());
    const Lines rivals = DescribeAll(runtime_.PendingRivalStats());
    EXPECT_FALSE(runtime_.RecordKillEvent(1, 2, true));
    EXPECT_EQ(runtime_.LastRefusalRule(), "repeated_victim_cap");
    EXPECT_EQ(runtime_.PendingRewards().size(), 5u);
    EXPECT_EQ(DescribeAll(runtime_.PendingCombatStats()), combat);
    EXPECT_EQ(DescribeAll(runtime_.PendingRivalStats()), rivals);
    EXPECT_EQ(SessionEarned(1), 500u);
    // Another victim, and the victim killing back, are separate pairs.
    EXPECT_TRUE(runtime_.RecordKillEvent(1, 3, false));
    EXPECT_TRUE(runtime_.RecordKillEvent(2, 1, false));
    EndRoundAndDraft();
    ASSERT_TRUE(runtime_.BeginRound(2));
    EXPECT_TRUE(runtime_.RecordKillEvent(1, 2, false));
}

TEST_F(RewardTest, RepeatedVictimCapCanBeSwitchedOff) {
    for (const char* config : {"antifarm_same_victim_max_kills 0", "antifarm_same_victim_enabled 0",
                               "antifarm_enabled 0"}) {
        Configure(config);
        TwoTeams();
        for (int k = 0; k < 8; ++k) {
            EXPECT_TRUE(runtime_.RecordKillEvent(1, 2, false)) << config << ", kill " << k;
        }
    }
}

TEST_F(RewardTest, DamageIsPaidPerPointAndCountedPerPair) {
    TwoTeams();
    EXPECT_EQ(Describe(*runtime_.RecordDamageEvent(1, 2, 25)),
              "1 STEAM_0:1:1001 kills=0 damage=25 zolt=25");
    ASSERT_TRUE(runtime_.RecordDamageEvent(1, 2, 30));
    EXPECT_FALSE(runtime_.RecordDamageEvent(1, 2, 0));
    EXPECT_EQ(DescribeAll(runtime_.PendingRivalStats()),
              (Lines{"STEAM_0:1:1001->STEAM_0:1:1002 hits=2 damage=55 k=0"}));
    EXPECT_TRUE(runtime_.PendingCombatStats().empty()) << "damage is no combat statistic";
    EXPECT_EQ(runtime_.PendingRewardTotalForSlot(1), 55u);

    config_.reward_damage = 0;
    Reload();
    TwoTeams();
    EXPECT_FALSE(runtime_.RecordDamageEvent(1, 2, 25));
    ExpectNothingRecorded();
}

TEST_F(RewardTest, AmountsAre64BitAndSaturateInsteadOfWrapping) {
    config_.reward_kill = kMax - 10;
    config_.reward_headshot = 100;
    config_.reward_damage = 1ull << 40;
    Reload();
    TwoTeams();
    Human(3, kCT);
    EXPECT_EQ(runtime_.RecordDamageEvent(1, 3, 1ull << 20)->reward_zolt, 1ull << 60);
    EXPECT_EQ(runtime_.RecordKillEvent(1, 2, false)->reward_zolt, kMax - 10);
    EXPECT_EQ(runtime_.RecordKillEvent(1, 2, true)->reward_zolt, kMax);
    EXPECT_EQ(runtime_.RecordDamageEvent(1, 3, 1ull << 30)->reward_zolt, kMax);
    EXPECT_EQ(runtime_.PendingRewardTotalForSlot(1), kMax);
    EXPECT_EQ(SessionEarned(1), kMax);
    EXPECT_EQ(runtime_.PendingRivalStats().front().damage, (1ull << 30) + (1ull << 20));
}

TEST_F(RewardTest, SessionEarningsGrowWithEveryQueuedReward) {
    config_.reward_round_win = 7;
    Reload();
    TwoTeams();
    std::uint64_t expected = 0;
    const std::vector<std::function<std::optional<RewardDraftEntry>()>> events = {
        [&] { return runtime_.RecordKillEvent(1, 2, false); },
        [&] { return runtime_.RecordDamageEvent(1, 2, 33); },
        [&] { return runtime_.RecordRoundWinEvent(1); },
        [&] { return runtime_.QueueRewardEntry(1, 0, 0, 1000); },
        [&] { return runtime_.QueueRewardEntry(1, 1, 0, 0); },  // counts a kill, pays nothing
    };
    for (const auto& event : events) {
        const auto entry = event();
        ASSERT_TRUE(entry);
        expected += entry->reward_zolt;
        EXPECT_EQ(SessionEarned(1), expected);
    }
    EXPECT_EQ(runtime_.PendingRewardTotalForSlot(1), 100u + 33u + 7u + 1000u);
    EXPECT_EQ(SessionEarned(2), 0u);
}

TEST_F(RewardTest, QueueRewardEntryRefusesEmptyEntriesBotsAndStrangers) {
    Human(1, Role::Spectator);
    Bot(5, kT);
    EXPECT_FALSE(runtime_.QueueRewardEntry(1, 0, 0, 0));
    EXPECT_FALSE(runtime_.QueueRewardEntry(5, 1, 0, 100));
    EXPECT_FALSE(runtime_.QueueRewardEntry(9, 1, 0, 100));
    EXPECT_TRUE(runtime_.QueueRewardEntry(1, 0, 0, 100)) << "any role, any phase";
    runtime_.Unload();
    EXPECT_FALSE(runtime_.QueueRewardEntry(1, 0, 0, 100));
}

TEST_F(RewardTest, WeaponStatisticsCapHitsAtShotsFired) {
    TwoTeams();
    Human(3, Role::Spectator);
    Bot(5, kT);
    EXPECT_FALSE(runtime_.RecordWeaponStatsEvent(1, 0, 0));
    EXPECT_FALSE(runtime_.RecordWeaponStatsEvent(3, 5, 5));
    EXPECT_FALSE(runtime_.RecordWeaponStatsEvent(5, 5, 5));
    EXPECT_FALSE(runtime_.RecordWeaponStatsEvent(0, 5, 5));
    EXPECT_TRUE(runtime_.PendingCombatStats().empty());
    const std::uint32_t max = std::numeric_limits<std::uint32_t>::max();
    const std::vector<std::vector<std::uint32_t>> cases = {
        // fired, hit, then the totals after the event
        {10, 12, 10, 10},
        {0, 3, 10, 13},
        {6, 2, 16, 15},
        {max, max, max, max},  // saturated, not wrapped
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(runtime_.RecordWeaponStatsEvent(1, c[0], c[1]));
        const auto combat = runtime_.PendingCombatStats();
        ASSERT_EQ(combat.size(), 1u);
        EXPECT_EQ(combat[0].shots_fired, c[2]);
        EXPECT_EQ(combat[0].shots_hit, c[3]);
        EXPECT_EQ(combat[0].rounds_played, 1u);
    }
}

}  // namespace
}  // namespace ironpost
