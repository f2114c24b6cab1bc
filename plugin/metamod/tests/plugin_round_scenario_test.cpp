// Whole rounds played through the runtime API, checked against the complete
// settlement draft.

#include <cstdint>
#include <string>
#include <vector>

#include "plugin_runtime_test_support.h"

namespace ironpost {
namespace {

using testing_support::DescribeAll;
using testing_support::Lines;
using testing_support::RuntimeTest;
using Role = PlayerRole;

// Alice (1, T), Bob (2, CT), Carol (3, CT) and a Terrorist bot (5).
class RoundScenarioTest : public RuntimeTest {
  protected:
    void SetUp() override {
        config_.reward_headshot = 50;
        RuntimeTest::SetUp();
        ASSERT_TRUE(runtime_.OnPlayerJoin(1, "Alice", "STEAM_0:1:1001", false));
        ASSERT_TRUE(runtime_.OnPlayerJoin(2, "Bob", "STEAM_0:1:1002", false));
        ASSERT_TRUE(runtime_.OnPlayerJoin(3, "Carol", "STEAM_0:1:1003", false));
        ASSERT_TRUE(runtime_.OnPlayerJoin(5, "Bot", "", true));
        ASSERT_TRUE(runtime_.OnPlayerRoleChanged(1, Role::Terrorist));
        ASSERT_TRUE(runtime_.OnPlayerRoleChanged(2, Role::CounterTerrorist));
        ASSERT_TRUE(runtime_.OnPlayerRoleChanged(3, Role::CounterTerrorist));
        ASSERT_TRUE(runtime_.OnPlayerRoleChanged(5, Role::Terrorist));
    }

    void PlayRoundOne() {
        ASSERT_TRUE(runtime_.BeginRound(1));
        EXPECT_EQ(runtime_.RecordWeaponPurchase(1, "ak47", 2500, 1).reason, "paid_spend");
        EXPECT_EQ(runtime_.RecordWeaponPurchase(2, "usp", 500, 1).reason, "free_tier");
        EXPECT_EQ(runtime_.RecordWeaponPurchase(3, "awp", 4750, 1).reason, "paid_spend");
        EXPECT_EQ(runtime_.RecordWeaponPurchase(1, "glock", 400, 1).reason, "free_tier");
        ASSERT_TRUE(runtime_.RecordWeaponStatsEvent(1, 10, 4));
        ASSERT_TRUE(runtime_.RecordDamageEvent(1, 2, 27));
        for (int kill = 1; kill <= 5; ++kill) {
            ASSERT_TRUE(runtime_.RecordKillEvent(1, 2, kill == 3)) << kill;
        }
        EXPECT_FALSE(runtime_.RecordKillEvent(1, 2, true));   // sixth kill of Bob
        ASSERT_TRUE(runtime_.RecordKillEvent(2, 5, true));    // Bob kills the bot
        EXPECT_FALSE(runtime_.RecordKillEvent(5, 3, false));  // the bot earns nothing
        ASSERT_TRUE(runtime_.RecordKillEvent(3, 1, false));
        EXPECT_EQ(runtime_.SubmitTransferMenuSelection({1, 3, 300}).reason, "queued");
        EXPECT_EQ(runtime_.SubmitTransferMenuSelection({2, 3, 40}).reason, "queued");
        EXPECT_EQ(runtime_.SubmitTransferMenuSelection({2, 5, 40}).reason, "bot_disabled");
    }
};

TEST_F(RoundScenarioTest, WholeRoundSettlesEverythingItAccepted) {
    PlayRoundOne();
    const RoundSettlementDraft draft = EndRoundAndDraft();
    EXPECT_EQ(runtime_.CurrentRoundState().phase, RoundPhase::SettlementPending);

    EXPECT_EQ(draft.server_id, "srv");
    EXPECT_EQ(draft.session_id, "session");
    EXPECT_EQ(draft.map_name_hash, "map");
    EXPECT_EQ(draft.round_number, 1u);
    EXPECT_EQ(draft.previous_round_hash, "prev");
    EXPECT_EQ(draft.roster_root, "roster");
    EXPECT_EQ(draft.config_hash, "cfg");
    EXPECT_EQ(draft.server_signature, "");
    EXPECT_EQ(DescribeAll(draft.reward_entries),
              (Lines{"1 STEAM_0:1:1001 kills=0 damage=27 zolt=27",
                     "1 STEAM_0:1:1001 kills=1 damage=0 zolt=100",
                     "1 STEAM_0:1:1001 kills=1 damage=0 zolt=100",
                     "1 STEAM_0:1:1001 kills=1 damage=0 zolt=150",
                     "1 STEAM_0:1:1001 kills=1 damage=0 zolt=100",
                     "1 STEAM_0:1:1001 kills=1 damage=0 zolt=100",
                     "2 STEAM_0:1:1002 kills=1 damage=0 zolt=150",
                     "3 STEAM_0:1:1003 kills=1 damage=0 zolt=100"}));
    EXPECT_EQ(DescribeAll(draft.weapon_spend_entries),
              (Lines{"1 STEAM_0:1:1001 ak47 2500 round=1", "3 STEAM_0:1:1003 awp 4750 round=1"}));
    EXPECT_EQ(DescribeAll(draft.zolt_transfer_entries),
              (Lines{"1 1->3 STEAM_0:1:1001->STEAM_0:1:1003 300 counter_terrorist menu-1",
                     "2 2->3 STEAM_0:1:1002->STEAM_0:1:1003 40 counter_terrorist menu-2"}));
    EXPECT_EQ(DescribeAll(draft.combat_stats_entries),
              (Lines{"STEAM_0:1:1001 k=5 d=1 hs=1 fired=10 hit=4 rounds=1",
                     "STEAM_0:1:1002 k=1 d=5 hs=1 fired=0 hit=0 rounds=1",
                     "STEAM_0:1:1003 k=1 d=0 hs=0 fired=0 hit=0 rounds=1"}));
    EXPECT_EQ(DescribeAll(draft.rival_stats_entries),
              (Lines{"STEAM_0:1:1001->STEAM_0:1:1002 hits=1 damage=27 k=5",
                     "STEAM_0:1:1002->BOT hits=0 damage=0 k=1",
                     "STEAM_0:1:1003->STEAM_0:1:1001 hits=0 damage=0 k=1"}));

    runtime_.SnapshotLastRoundEarnings(1, SettlementRelayStatus::Queued, 7000);
    const auto earnings = runtime_.LastRoundEarnings();
    ASSERT_EQ(earnings.size(), 3u);
    EXPECT_EQ(earnings[0].earned_zolt, 577u);
    EXPECT_EQ(earnings[1].earned_zolt, 150u);
    EXPECT_EQ(earnings[2].earned_zolt, 100u);
    EXPECT_EQ(SessionEarned(1), 577u);
    EXPECT_EQ(SessionEarned(2), 150u);
    EXPECT_EQ(SessionEarned(3), 100u);

    ASSERT_TRUE(runtime_.BeginRound(2));
    EXPECT_EQ(runtime_.RecordKillEvent(1, 2, false)->reward_zolt, 100u);  // the cap restarts
    const RoundSettlementDraft next = EndRoundAndDraft();
    EXPECT_EQ(DescribeAll(next.reward_entries),
              (Lines{"1 STEAM_0:1:1001 kills=1 damage=0 zolt=100"}));
    EXPECT_TRUE(next.weapon_spend_entries.empty());
    EXPECT_TRUE(next.zolt_transfer_entries.empty());
    EXPECT_EQ(SessionEarned(1), 677u);
}

TEST_F(RoundScenarioTest, KillsLoggedLateAndBuyTimeTradesSettleWithTheNextRound) {
    PlayRoundOne();
    const RoundSettlementDraft round1 = EndRoundAndDraft();
    ASSERT_TRUE(runtime_.MarkSettlementIncluded());
    // The log reports the round's last kill after the round end; then the
    // buy time of the next round begins.
    ASSERT_TRUE(runtime_.RecordKillEvent(2, 1, true));
    ASSERT_TRUE(runtime_.BeginBuySetup());
    EXPECT_EQ(runtime_.RecordWeaponPurchase(2, "m4a1", 3100, 2).reason, "paid_spend");
    EXPECT_EQ(runtime_.SubmitTransferMenuSelection({3, 1, 15}).reason, "queued");
    ASSERT_TRUE(runtime_.BeginRound(2));
    ASSERT_TRUE(runtime_.RecordKillEvent(3, 1, false));
    const RoundSettlementDraft round2 = EndRoundAndDraft();

    EXPECT_EQ(DescribeAll(round2.reward_entries),
              (Lines{"2 STEAM_0:1:1002 kills=1 damage=0 zolt=150",
                     "3 STEAM_0:1:1003 kills=1 damage=0 zolt=100"}));
    EXPECT_EQ(DescribeAll(round2.weapon_spend_entries),
              (Lines{"2 STEAM_0:1:1002 m4a1 3100 round=2"}));
    EXPECT_EQ(DescribeAll(round2.zolt_transfer_entries),
              (Lines{"3 3->1 STEAM_0:1:1003->STEAM_0:1:1001 15 terrorist menu-3"}));
    // The late kill counts for the player but not as another round played.
    EXPECT_EQ(DescribeAll(round2.combat_stats_entries),
              (Lines{"STEAM_0:1:1001 k=0 d=2 hs=0 fired=0 hit=0 rounds=1",
                     "STEAM_0:1:1002 k=1 d=0 hs=1 fired=0 hit=0 rounds=0",
                     "STEAM_0:1:1003 k=1 d=0 hs=0 fired=0 hit=0 rounds=1"}));
    EXPECT_EQ(DescribeAll(round2.rival_stats_entries),
              (Lines{"STEAM_0:1:1002->STEAM_0:1:1001 hits=0 damage=0 k=1",
                     "STEAM_0:1:1003->STEAM_0:1:1001 hits=0 damage=0 k=1"}));
    EXPECT_EQ(round1.reward_entries.size(), 8u);
    EXPECT_EQ(SessionEarned(2), 150u + 150u);
}

// Steam validation often finishes only after the player is in the game.
TEST_F(RoundScenarioTest, AnUnvalidatedPlayerEarnsAndPaysNothingUntilItsIdArrives) {
    ASSERT_TRUE(runtime_.OnPlayerJoin(4, "Pat", "STEAM_ID_PENDING", false));
    ASSERT_TRUE(runtime_.OnPlayerRoleChanged(4, Role::Terrorist));
    ASSERT_TRUE(runtime_.BeginRound(1));
    EXPECT_FALSE(runtime_.RecordKillEvent(4, 2, false));
    EXPECT_EQ(runtime_.LastRefusalRule(), "placeholder_identity");
    EXPECT_FALSE(runtime_.RecordKillEvent(3, 4, true)) << "nor may anyone earn on Pat";
    EXPECT_FALSE(runtime_.RecordWeaponStatsEvent(4, 5, 2));
    EXPECT_EQ(runtime_.RecordWeaponPurchase(4, "ak47", 2500, 1).reason, "placeholder_identity");
    EXPECT_EQ(runtime_.RecordWeaponPurchase(4, "glock", 400, 1).reason, "free_tier");
    EXPECT_EQ(runtime_.BuildTransferMenu(4).error, "placeholder_identity");
    EXPECT_EQ(runtime_.SubmitTransferMenuSelection({1, 4, 10}).reason, "placeholder_identity");
    EXPECT_EQ(runtime_.RefusalCounts(),
              (std::vector<std::pair<std::string, std::uint64_t>>{{"placeholder_identity", 4}}));

    ASSERT_TRUE(runtime_.UpgradePlayerIdentity(4, "STEAM_0:1:1004"));
    EXPECT_TRUE(runtime_.RecordKillEvent(4, 2, false)) << "still a Terrorist";
    EXPECT_EQ(runtime_.RecordWeaponPurchase(4, "ak47", 2500, 1).reason, "paid_spend");
    EXPECT_EQ(runtime_.SubmitTransferMenuSelection({1, 4, 10}).reason, "queued");
    EXPECT_EQ(runtime_.SessionEarningForSlot(4)->earned_zolt, 100u);

    const RoundSettlementDraft draft = EndRoundAndDraft();
    for (const Lines& lines :
         {DescribeAll(draft.reward_entries), DescribeAll(draft.weapon_spend_entries),
          DescribeAll(draft.zolt_transfer_entries), DescribeAll(draft.combat_stats_entries),
          DescribeAll(draft.rival_stats_entries)}) {
        for (const std::string& line : lines) {
            EXPECT_EQ(line.find("PENDING"), std::string::npos) << line;
        }
    }
    EXPECT_EQ(DescribeAll(draft.reward_entries),
              (Lines{"4 STEAM_0:1:1004 kills=1 damage=0 zolt=100"}));
}

}  // namespace
}  // namespace ironpost
