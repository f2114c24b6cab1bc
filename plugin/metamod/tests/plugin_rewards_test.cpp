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

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

class RewardTest : public RuntimeTest {
  protected:
    // Two humans on opposite teams, so the minimum-humans rule is met.
    void TwoTeams() {
        Human(1, Role::Terrorist);
        Human(2, Role::CounterTerrorist);
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

struct RefusalCase {
    const char* name;
    std::function<void(IronPostConfig&)> configure;
    std::vector<std::pair<std::int32_t, Role>> humans;
    std::vector<std::pair<std::int32_t, Role>> bots;
    std::int32_t actor;
    std::int32_t victim;
};

class RewardRefusalTest : public RewardTest, public ::testing::WithParamInterface<RefusalCase> {};

// Each case is refused for kills and damage alike, and leaves no reward,
// statistics or session earnings behind.
TEST_P(RewardRefusalTest, KillAndDamageAreRefusedWithoutTrace) {
    const RefusalCase& c = GetParam();
    if (c.configure) {
        c.configure(config_);
        Reload();
    }
    for (const auto& [slot, role] : c.humans) {
        Human(slot, role);
    }
    for (const auto& [slot, role] : c.bots) {
        Bot(slot, role);
    }
    EXPECT_FALSE(runtime_.RecordKillEvent(c.actor, c.victim, true));
    EXPECT_FALSE(runtime_.RecordDamageEvent(c.actor, c.victim, 40));
    ExpectNothingRecorded();
}

const auto kT = Role::Terrorist;
const auto kCT = Role::CounterTerrorist;

INSTANTIATE_TEST_SUITE_P(
    AntiFarm, RewardRefusalTest,
    ::testing::Values(
        RefusalCase{"OneHumanAmongBots", nullptr, {{1, kT}}, {{5, kCT}, {6, kCT}}, 1, 5},
        RefusalCase{"BotKiller", nullptr, {{1, kT}, {2, kCT}}, {{5, kCT}}, 5, 1},
        RefusalCase{"SpectatorKiller", nullptr, {{1, Role::Spectator}, {2, kCT}}, {}, 1, 2},
        RefusalCase{"UnassignedKiller", nullptr, {{1, Role::Unassigned}, {2, kCT}}, {}, 1, 2},
        RefusalCase{"SpectatorVictim", nullptr, {{1, kT}, {2, Role::Spectator}}, {}, 1, 2},
        RefusalCase{"TeamKill", nullptr, {{1, kT}, {2, kT}}, {}, 1, 2},
        RefusalCase{"SelfKill", nullptr, {{1, kT}, {2, kCT}}, {}, 1, 1},
        RefusalCase{"MissingVictim", nullptr, {{1, kT}, {2, kCT}}, {}, 1, 9},
        RefusalCase{"MissingKiller", nullptr, {{1, kT}, {2, kCT}}, {}, 9, 1},
        RefusalCase{"TeamKillEvenWithoutAntiFarm",
                    [](IronPostConfig& c) { c.antifarm_enabled = false; },
                    {{1, kT}, {2, kT}},
                    {},
                    1,
                    2},
        RefusalCase{"FewerHumansThanTheMinimum",
                    [](IronPostConfig& c) { c.antifarm_min_humans = 4; },
                    {{1, kT}, {2, kCT}, {3, Role::Spectator}},
                    {},
                    1,
                    2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RewardTest, RoundWinIsRefusedForTooFewHumansBotsAndNonPlayers) {
    config_.reward_round_win = 50;
    Reload();
    Human(1, Role::Terrorist);
    Bot(5, Role::CounterTerrorist);
    EXPECT_FALSE(runtime_.RecordRoundWinEvent(1));  // one human only
    Human(2, Role::Spectator);
    EXPECT_FALSE(runtime_.RecordRoundWinEvent(5));  // bot
    EXPECT_FALSE(runtime_.RecordRoundWinEvent(2));  // spectator
    ExpectNothingRecorded();
    const auto win = runtime_.RecordRoundWinEvent(1);
    ASSERT_TRUE(win);
    EXPECT_EQ(win->reward_zolt, 50u);
    EXPECT_EQ(win->kills, 0u);
    EXPECT_TRUE(runtime_.PendingCombatStats().empty());
}

TEST_F(RewardTest, DisabledAntiFarmPaysALoneHumanButNeverABot) {
    config_.antifarm_enabled = false;
    Reload();
    Human(1, Role::Terrorist);
    Bot(5, Role::CounterTerrorist);
    EXPECT_TRUE(runtime_.RecordKillEvent(1, 5, false));
    EXPECT_FALSE(runtime_.RecordKillEvent(5, 1, false));
}

TEST_F(RewardTest, HumansOfEveryRoleCountTowardsTheMinimum) {
    config_.antifarm_min_humans = 3;
    Reload();
    TwoTeams();
    EXPECT_FALSE(runtime_.RecordKillEvent(1, 2, false));
    Human(3, Role::Spectator);
    EXPECT_TRUE(runtime_.RecordKillEvent(1, 2, false));
}

TEST_F(RewardTest, TeamDamageRewardsAllowTeamKillsAndTeamDamage) {
    config_.antifarm_team_damage_rewards = true;
    Reload();
    Human(1, Role::Terrorist);
    Human(2, Role::Terrorist);
    EXPECT_TRUE(runtime_.RecordKillEvent(1, 2, false));
    EXPECT_TRUE(runtime_.RecordDamageEvent(1, 2, 10));
}

TEST_F(RewardTest, KillOfABotIsPaidAndCountedButTheBotHasNoStatistics) {
    TwoTeams();
    Bot(5, Role::CounterTerrorist);
    const auto entry = runtime_.RecordKillEvent(1, 5, false);
    ASSERT_TRUE(entry);
    EXPECT_EQ(Describe(*entry), "1 STEAM_0:1:1001 kills=1 damage=0 zolt=100");
    EXPECT_EQ(DescribeAll(runtime_.PendingCombatStats()),
              (Lines{"STEAM_0:1:1001 k=1 d=0 hs=0 fired=0 hit=0 rounds=1"}));
    EXPECT_EQ(DescribeAll(runtime_.PendingRivalStats()),
              (Lines{"STEAM_0:1:1001->BOT hits=0 damage=0 k=1"}));
}

TEST_F(RewardTest, HumanVictimGetsADeathAndHeadshotsCountEvenWhenUnpaid) {
    TwoTeams();
    const auto entry = runtime_.RecordKillEvent(1, 2, true);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->reward_zolt, 100u);  // reward_headshot is 0
    EXPECT_EQ(DescribeAll(runtime_.PendingCombatStats()),
              (Lines{"STEAM_0:1:1001 k=1 d=0 hs=1 fired=0 hit=0 rounds=1",
                     "STEAM_0:1:1002 k=0 d=1 hs=0 fired=0 hit=0 rounds=1"}));
}

TEST_F(RewardTest, SixthKillOfTheSameVictimInARoundIsRefusedUntilTheNextRound) {
    TwoTeams();
    Human(3, Role::CounterTerrorist);
    ASSERT_TRUE(runtime_.BeginRound(1));
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(runtime_.RecordKillEvent(1, 2, false)) << i;
    }
    const auto combat_before = runtime_.PendingCombatStats();
    const auto rivals_before = runtime_.PendingRivalStats();
    EXPECT_FALSE(runtime_.RecordKillEvent(1, 2, true));
    EXPECT_EQ(runtime_.PendingRewards().size(), 5u);
    EXPECT_EQ(runtime_.PendingCombatStats()[0].kills, combat_before[0].kills);
    EXPECT_EQ(runtime_.PendingCombatStats()[0].headshots, 0u);
    EXPECT_EQ(runtime_.PendingRivalStats()[0].kills, rivals_before[0].kills);
    EXPECT_EQ(SessionEarned(1), 500u);
    // Another victim, and the victim killing back, are separate pairs.
    EXPECT_TRUE(runtime_.RecordKillEvent(1, 3, false));
    EXPECT_TRUE(runtime_.RecordKillEvent(2, 1, false));

    EndRoundAndDraft();
    ASSERT_TRUE(runtime_.BeginRound(2));
    EXPECT_TRUE(runtime_.RecordKillEvent(1, 2, false));
}

TEST_F(RewardTest, RepeatedVictimCapCanBeSwitchedOff) {
    const std::vector<std::function<void(IronPostConfig&)>> switches = {
        [](IronPostConfig& c) { c.antifarm_same_victim_max_kills = 0; },
        [](IronPostConfig& c) { c.antifarm_same_victim_enabled = false; },
        [](IronPostConfig& c) {
            c.antifarm_enabled = false;
            c.antifarm_min_humans = 0;
        },
    };
    for (std::size_t i = 0; i < switches.size(); ++i) {
        config_ = IronPostConfig{};
        switches[i](config_);
        Reload();
        TwoTeams();
        for (int k = 0; k < 8; ++k) {
            EXPECT_TRUE(runtime_.RecordKillEvent(1, 2, false)) << "switch " << i << " kill " << k;
        }
    }
}

TEST_F(RewardTest, DamageRewardsAndRivalStatistics) {
    TwoTeams();
    const auto entry = runtime_.RecordDamageEvent(1, 2, 25);
    ASSERT_TRUE(entry);
    EXPECT_EQ(Describe(*entry), "1 STEAM_0:1:1001 kills=0 damage=25 zolt=25");
    ASSERT_TRUE(runtime_.RecordDamageEvent(1, 2, 30));
    EXPECT_EQ(DescribeAll(runtime_.PendingRivalStats()),
              (Lines{"STEAM_0:1:1001->STEAM_0:1:1002 hits=2 damage=55 k=0"}));
    EXPECT_TRUE(runtime_.PendingCombatStats().empty());  // damage is no combat statistic
    EXPECT_EQ(runtime_.PendingRewardTotalForSlot(1), 55u);
}

TEST_F(RewardTest, ZeroDamageRewardRecordsNothingAtAll) {
    config_.reward_damage = 0;
    Reload();
    TwoTeams();
    EXPECT_FALSE(runtime_.RecordDamageEvent(1, 2, 25));
    EXPECT_FALSE(runtime_.RecordDamageEvent(1, 2, 0));
    ExpectNothingRecorded();
}

TEST_F(RewardTest, AmountsSaturateInsteadOfWrapping) {
    config_.reward_kill = kMax - 10;
    config_.reward_headshot = 100;
    config_.reward_damage = 1ull << 40;
    Reload();
    TwoTeams();
    Human(3, Role::CounterTerrorist);
    EXPECT_EQ(runtime_.RecordKillEvent(1, 2, true)->reward_zolt, kMax);
    EXPECT_EQ(runtime_.RecordDamageEvent(1, 3, 1ull << 30)->reward_zolt, kMax);
    EXPECT_EQ(runtime_.PendingRewardTotalForSlot(1), kMax);
    EXPECT_EQ(SessionEarned(1), kMax);
    EXPECT_EQ(runtime_.RecordDamageEvent(1, 3, 1ull << 30)->valid_damage, 1ull << 30);
    EXPECT_EQ(runtime_.PendingRivalStats().back().damage, 1ull << 31);
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
    EXPECT_EQ(runtime_.PendingRewardTotalForSlot(1), expected);
    EXPECT_EQ(SessionEarned(2), 0u);
}

TEST_F(RewardTest, QueueRewardEntryRefusesEmptyEntriesBotsAndStrangers) {
    Human(1, Role::Spectator);
    Bot(5, Role::Terrorist);
    EXPECT_FALSE(runtime_.QueueRewardEntry(1, 0, 0, 0));
    EXPECT_FALSE(runtime_.QueueRewardEntry(5, 1, 0, 100));
    EXPECT_FALSE(runtime_.QueueRewardEntry(9, 1, 0, 100));
    EXPECT_TRUE(runtime_.QueueRewardEntry(1, 0, 0, 100));  // any role, any phase
    runtime_.Unload();
    EXPECT_FALSE(runtime_.QueueRewardEntry(1, 0, 0, 100));
}

struct WeaponStatsCase {
    std::uint32_t fired;
    std::uint32_t hit;
    std::uint32_t expect_fired;
    std::uint32_t expect_hit;
};

TEST_F(RewardTest, WeaponStatisticsCapHitsAtShotsFired) {
    TwoTeams();
    Human(3, Role::Spectator);
    Bot(5, Role::Terrorist);
    EXPECT_FALSE(runtime_.RecordWeaponStatsEvent(1, 0, 0));
    EXPECT_FALSE(runtime_.RecordWeaponStatsEvent(3, 5, 5));
    EXPECT_FALSE(runtime_.RecordWeaponStatsEvent(5, 5, 5));
    EXPECT_FALSE(runtime_.RecordWeaponStatsEvent(0, 5, 5));
    EXPECT_TRUE(runtime_.PendingCombatStats().empty());
    const WeaponStatsCase cases[] = {{10, 12, 10, 10}, {0, 3, 10, 13}, {6, 2, 16, 15}};
    for (const WeaponStatsCase& c : cases) {
        ASSERT_TRUE(runtime_.RecordWeaponStatsEvent(1, c.fired, c.hit));
        const auto combat = runtime_.PendingCombatStats();
        ASSERT_EQ(combat.size(), 1u);
        EXPECT_EQ(combat[0].shots_fired, c.expect_fired);
        EXPECT_EQ(combat[0].shots_hit, c.expect_hit);
        EXPECT_EQ(combat[0].rounds_played, 1u);
    }
    const std::uint32_t max = std::numeric_limits<std::uint32_t>::max();
    ASSERT_TRUE(runtime_.RecordWeaponStatsEvent(1, max, max));
    EXPECT_EQ(runtime_.PendingCombatStats()[0].shots_fired, max);  // saturated, not wrapped
}

}  // namespace
}  // namespace ironpost
