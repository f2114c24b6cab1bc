#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "plugin_runtime_test_support.h"

namespace ironpost {
namespace {

using testing_support::DescribeAll;
using testing_support::Lines;
using testing_support::RuntimeTest;
using testing_support::SteamIdForSlot;
using Role = PlayerRole;
using Status = SettlementRelayStatus;

class SettlementTest : public RuntimeTest {
  protected:
    void TwoTeams() {
        Human(1, Role::Terrorist);
        Human(2, Role::CounterTerrorist);
    }
};

TEST(SettlementRelayStatusNames, NamesRoundTripAndParsingIsExact) {
    const std::vector<std::pair<Status, const char*>> names = {
        {Status::Unknown, "unknown"},   {Status::NotSubmitted, "not_submitted"},
        {Status::Queued, "queued"},     {Status::Submitted, "submitted"},
        {Status::Included, "included"}, {Status::Finalized, "finalized"},
        {Status::Failed, "failed"},
    };
    for (const auto& [status, name] : names) {
        EXPECT_STREQ(SettlementRelayStatusName(status), name);
        EXPECT_EQ(ParseSettlementRelayStatus(name), status) << name;
        EXPECT_EQ(IsTerminalSettlementRelayStatus(status), status == Status::Included ||
                                                               status == Status::Finalized ||
                                                               status == Status::Failed)
            << name;
    }
    EXPECT_STREQ(SettlementRelayStatusName(static_cast<Status>(7)), "unknown");
    for (const char* text : {"Included", "FAILED", " queued", "queued ", "", "6"}) {
        EXPECT_EQ(ParseSettlementRelayStatus(text), Status::Unknown) << text;
    }
}

TEST_F(SettlementTest, DraftNeedsEveryIdentityFieldAndARound) {
    const std::vector<std::function<void(SettlementDraftRequest&)>> breakers = {
        [](SettlementDraftRequest& r) { r.server_id.clear(); },
        [](SettlementDraftRequest& r) { r.session_id.clear(); },
        [](SettlementDraftRequest& r) { r.map_name_hash.clear(); },
        [](SettlementDraftRequest& r) { r.previous_round_hash.clear(); },
        [](SettlementDraftRequest& r) { r.roster_root.clear(); },
        [](SettlementDraftRequest& r) { r.config_hash.clear(); },
        [](SettlementDraftRequest& r) { r.round_number = 0; },
    };
    for (std::size_t i = 0; i < breakers.size(); ++i) {
        SettlementDraftRequest request = Request(3);
        breakers[i](request);
        EXPECT_FALSE(runtime_.BuildSettlementDraft(request)) << "field " << i;
    }
    const auto draft = runtime_.BuildSettlementDraft(Request(3));
    ASSERT_TRUE(draft);
    EXPECT_TRUE(IsRoundSettlementDraftComplete(*draft));
    EXPECT_EQ(draft->server_id, "srv");
    EXPECT_EQ(draft->session_id, "session");
    EXPECT_EQ(draft->map_name_hash, "map");
    EXPECT_EQ(draft->round_number, 3u);
    EXPECT_EQ(draft->previous_round_hash, "prev");
    EXPECT_EQ(draft->roster_root, "roster");
    EXPECT_EQ(draft->config_hash, "cfg");
    EXPECT_EQ(draft->server_signature, "");
    EXPECT_TRUE(draft->reward_entries.empty() && draft->weapon_spend_entries.empty() &&
                draft->zolt_transfer_entries.empty() && draft->combat_stats_entries.empty() &&
                draft->rival_stats_entries.empty());
    RoundSettlementDraft signed_draft = *draft;
    signed_draft.server_signature = "sig";
    signed_draft.round_number = 0;
    EXPECT_FALSE(IsRoundSettlementDraftComplete(signed_draft));
    runtime_.Unload();
    EXPECT_FALSE(runtime_.BuildSettlementDraft(Request(3)));
}

TEST_F(SettlementTest, DraftCopiesTheListsInQueueAndCreationOrderAndChangesNothing) {
    TwoTeams();
    Human(3, Role::Terrorist);
    ASSERT_TRUE(runtime_.RecordDamageEvent(3, 2, 10));   // rival 3->2 first
    ASSERT_TRUE(runtime_.RecordKillEvent(2, 1, false));  // combat 2, then 1
    ASSERT_TRUE(runtime_.RecordWeaponPurchase(3, "awp", 4750, 1).spend);
    ASSERT_TRUE(runtime_.RecordWeaponPurchase(1, "deagle", 650, 1).spend);
    ASSERT_TRUE(runtime_.QueueTransferIntent(2, 3, 77));
    const auto draft = runtime_.BuildSettlementDraft(Request(1));
    ASSERT_TRUE(draft);
    // Not sorted by slot: the order things happened in.
    EXPECT_EQ(DescribeAll(draft->reward_entries),
              (Lines{"3 STEAM_0:1:1003 kills=0 damage=10 zolt=10",
                     "2 STEAM_0:1:1002 kills=1 damage=0 zolt=100"}));
    EXPECT_EQ(DescribeAll(draft->weapon_spend_entries),
              (Lines{"3 STEAM_0:1:1003 awp 4750 round=1", "1 STEAM_0:1:1001 deagle 650 round=1"}));
    EXPECT_EQ(DescribeAll(draft->zolt_transfer_entries),
              (Lines{"1 2->3 STEAM_0:1:1002->STEAM_0:1:1003 77 terrorist menu-1"}));
    EXPECT_EQ(DescribeAll(draft->combat_stats_entries),
              (Lines{"STEAM_0:1:1002 k=1 d=0 hs=0 fired=0 hit=0 rounds=1",
                     "STEAM_0:1:1001 k=0 d=1 hs=0 fired=0 hit=0 rounds=1"}));
    EXPECT_EQ(DescribeAll(draft->rival_stats_entries),
              (Lines{"STEAM_0:1:1003->STEAM_0:1:1002 hits=1 damage=10 k=0",
                     "STEAM_0:1:1002->STEAM_0:1:1001 hits=0 damage=0 k=1"}));
    EXPECT_EQ(runtime_.PendingRewards().size(), 2u);
    EXPECT_EQ(runtime_.CurrentRoundState().phase, RoundPhase::Idle);
}

TEST_F(SettlementTest, LastRoundSnapshotCoversHumansOnlyAndTakesBlocksFromProfiles) {
    TwoTeams();
    Bot(5, Role::CounterTerrorist);
    ASSERT_TRUE(runtime_.QueueRewardEntry(1, 0, 0, 100));
    ASSERT_TRUE(runtime_.QueueRewardEntry(1, 0, 0, 25));
    PlayerChainProfile profile;
    profile.slot = 1;
    profile.source_block = 812;
    runtime_.UpsertPlayerChainProfile(profile);
    runtime_.SnapshotLastRoundEarnings(4, Status::Queued, 9000);
    const auto earnings = runtime_.LastRoundEarnings();
    ASSERT_EQ(earnings.size(), 2u);
    EXPECT_EQ(earnings[0].slot, 1);
    EXPECT_EQ(earnings[0].steam_id, SteamIdForSlot(1));
    EXPECT_EQ(earnings[0].earned_zolt, 125u);
    EXPECT_EQ(earnings[0].source_block, 812u);
    EXPECT_EQ(earnings[0].round_number, 4u);
    EXPECT_EQ(earnings[0].relay_status, Status::Queued);
    EXPECT_EQ(earnings[0].settled_at_ms, 9000u);
    EXPECT_EQ(earnings[1].slot, 2);  // nothing earned, still listed
    EXPECT_EQ(earnings[1].earned_zolt, 0u);
    EXPECT_EQ(earnings[1].source_block, 0u);
    EXPECT_FALSE(runtime_.LastRoundEarningForSlot(5));

    // Round 0 changes nothing; a later snapshot replaces the whole list.
    runtime_.SnapshotLastRoundEarnings(0, Status::Failed, 1);
    EXPECT_EQ(runtime_.LastRoundEarningForSlot(1)->relay_status, Status::Queued);
    Human(3, Role::Terrorist);
    runtime_.SnapshotLastRoundEarnings(5, Status::Included, 9500);
    ASSERT_EQ(runtime_.LastRoundEarnings().size(), 3u);
    EXPECT_EQ(runtime_.LastRoundEarningForSlot(3)->relay_status, Status::Included);
}

TEST_F(SettlementTest, UnresolvedRecordsAreKeyedByRequestId) {
    RoundSettlementDraft draft;
    draft.round_number = 7;
    draft.reward_entries.push_back(RewardDraftEntry{1, "STEAM_0:1:9", 1, 0, 100});
    runtime_.UpdateUnresolvedSettlementRecord("req-a", Status::Failed, "boom");
    auto records = runtime_.UnresolvedSettlementRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].round_number, 0u);  // a bare record
    EXPECT_EQ(records[0].last_error, "boom");
    EXPECT_TRUE(records[0].reward_entries.empty());

    runtime_.TrackUnresolvedSettlementRecord("req-a", draft, Status::Queued, 100);
    runtime_.TrackUnresolvedSettlementRecord("req-b", draft, Status::Queued, 110);
    draft.round_number = 8;
    runtime_.TrackUnresolvedSettlementRecord("req-b", draft, Status::Submitted, 120);
    runtime_.TrackUnresolvedSettlementRecord("", draft, Status::Submitted, 130);
    records = runtime_.UnresolvedSettlementRecords();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].request_id, "req-a");
    EXPECT_EQ(records[0].round_number, 7u);
    EXPECT_EQ(records[0].last_error, "");  // replaced whole
    EXPECT_EQ(records[0].reward_entries.size(), 1u);
    EXPECT_EQ(records[1].round_number, 8u);
    EXPECT_EQ(records[1].relay_status, Status::Submitted);
    EXPECT_EQ(records[1].recorded_at_ms, 120u);

    runtime_.UpdateUnresolvedSettlementRecord("req-a", Status::Failed, "timeout");
    runtime_.UpdateUnresolvedSettlementRecord("req-a", Status::Failed, "");
    runtime_.UpdateUnresolvedSettlementRecord("req-b", Status::Finalized, "");
    runtime_.ClearTerminalUnresolvedSettlementRecord("req-a");  // failed stays
    runtime_.ClearTerminalUnresolvedSettlementRecord("req-b");
    runtime_.ClearTerminalUnresolvedSettlementRecord("");
    records = runtime_.UnresolvedSettlementRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].request_id, "req-a");
    EXPECT_EQ(records[0].last_error, "timeout");

    runtime_.UpdateUnresolvedSettlementRecord("req-a", Status::Included, "");
    runtime_.ClearTerminalUnresolvedSettlementRecord("req-a");
    EXPECT_TRUE(runtime_.UnresolvedSettlementRecords().empty());
    runtime_.Unload();
    runtime_.TrackUnresolvedSettlementRecord("req-c", draft, Status::Queued, 1);
    EXPECT_TRUE(runtime_.UnresolvedSettlementRecords().empty());
}

// ---------------------------------------------------------------------------
// Entries accepted between a round's draft and the next round's start travel
// in the next settlement, exactly once.

class SettlementCarryOverTest : public SettlementTest {
  protected:
    void SetUp() override {
        SettlementTest::SetUp();
        TwoTeams();
        ASSERT_TRUE(runtime_.BeginRound(1));
        ASSERT_TRUE(runtime_.RecordKillEvent(1, 2, false));
        ASSERT_TRUE(runtime_.RecordWeaponPurchase(1, "ak47", 2500, 1).spend);
        ASSERT_TRUE(runtime_.QueueTransferIntent(1, 2, 10));
        round1_ = EndRoundAndDraft();
    }

    // Late events: a kill logged after the round end, a purchase and a
    // transfer in buy time.
    void LateEvents() {
        ASSERT_TRUE(runtime_.RecordKillEvent(2, 1, true));
        ASSERT_TRUE(runtime_.RecordDamageEvent(1, 2, 30));
        ASSERT_TRUE(runtime_.RecordWeaponPurchase(2, "m4a1", 3100, 2).spend);
        ASSERT_TRUE(runtime_.QueueTransferIntent(2, 1, 20));
    }

    void ExpectOnlyLateEventsPending() {
        const auto rewards = runtime_.PendingRewards();
        ASSERT_EQ(rewards.size(), 2u);
        EXPECT_EQ(rewards[0].slot, 2);
        EXPECT_EQ(rewards[1].valid_damage, 30u);
        const auto spends = runtime_.PendingWeaponSpends();
        ASSERT_EQ(spends.size(), 1u);
        EXPECT_EQ(spends[0].weapon_id, "m4a1");
        const auto transfers = runtime_.PendingTransfers();
        ASSERT_EQ(transfers.size(), 1u);
        EXPECT_EQ(transfers[0].intent_id, 2u);
    }

    RoundSettlementDraft round1_;
};

TEST_F(SettlementCarryOverTest, RoundDraftHoldsOnlyTheRoundAndTheNextStartClearsIt) {
    EXPECT_EQ(round1_.reward_entries.size(), 1u);
    EXPECT_EQ(round1_.weapon_spend_entries.size(), 1u);
    EXPECT_EQ(round1_.zolt_transfer_entries.size(), 1u);
    ASSERT_TRUE(runtime_.BeginRound(2));
    EXPECT_TRUE(runtime_.PendingRewards().empty());
    EXPECT_TRUE(runtime_.PendingWeaponSpends().empty());
    EXPECT_TRUE(runtime_.PendingTransfers().empty());
    EXPECT_TRUE(runtime_.PendingCombatStats().empty());
    EXPECT_TRUE(runtime_.PendingRivalStats().empty());
}

// Every way from a settled round to the next round start keeps late events.
TEST_F(SettlementCarryOverTest, LateEventsSurviveEveryPathToTheNextRound) {
    const std::vector<std::pair<const char*, std::function<void(PluginRuntime&)>>> paths = {
        {"pending", [](PluginRuntime&) {}},
        {"included", [](PluginRuntime& r) { ASSERT_TRUE(r.MarkSettlementIncluded()); }},
        {"buy setup",
         [](PluginRuntime& r) {
             ASSERT_TRUE(r.MarkSettlementIncluded());
             ASSERT_TRUE(r.BeginBuySetup());
         }},
        {"timeout", [](PluginRuntime& r) { (void)r.HandleSettlementTimeout(); }},
        {"reset", [](PluginRuntime& r) { ASSERT_TRUE(r.ResetRoundToIdle()); }},
    };
    for (const bool events_first : {true, false}) {
        for (const auto& [name, path] : paths) {
            SCOPED_TRACE(std::string(name) + (events_first ? ", events first" : ", events last"));
            config_.on_settlement_timeout = "use_stale_state";
            Reload();
            SetUp();
            if (events_first) {
                LateEvents();
            }
            path(runtime_);
            if (!events_first) {
                LateEvents();
            }
            ASSERT_TRUE(runtime_.BeginRound(2));
            ExpectOnlyLateEventsPending();
            const RoundSettlementDraft round2 = EndRoundAndDraft();
            EXPECT_EQ(round2.reward_entries.size(), 2u);
            ASSERT_TRUE(runtime_.BeginRound(3));
            EXPECT_TRUE(runtime_.PendingRewards().empty());  // settled once, then gone
            EXPECT_TRUE(runtime_.PendingTransfers().empty());
        }
    }
}

TEST_F(SettlementCarryOverTest, LateStatisticsTravelAsTheGainSinceTheDraft) {
    LateEvents();
    ASSERT_TRUE(runtime_.BeginRound(2));
    const auto combat = runtime_.PendingCombatStats();
    ASSERT_EQ(combat.size(), 2u);
    // Both players played round 1, which its draft already counted.
    EXPECT_EQ(combat[0].steam_id, SteamIdForSlot(1));
    EXPECT_EQ(combat[0].kills, 0u);
    EXPECT_EQ(combat[0].deaths, 1u);
    EXPECT_EQ(combat[0].rounds_played, 0u);
    EXPECT_EQ(combat[1].kills, 1u);
    EXPECT_EQ(combat[1].headshots, 1u);
    EXPECT_EQ(combat[1].deaths, 0u);
    const auto rivals = runtime_.PendingRivalStats();
    ASSERT_EQ(rivals.size(), 2u);
    EXPECT_EQ(rivals[0].attacker_steam_id, SteamIdForSlot(1));
    EXPECT_EQ(rivals[0].kills, 0u);
    EXPECT_EQ(rivals[0].hits, 1u);
    EXPECT_EQ(rivals[0].damage, 30u);
    EXPECT_EQ(rivals[1].kills, 1u);
    // Playing in round 2 counts the round.
    ASSERT_TRUE(runtime_.RecordWeaponStatsEvent(1, 3, 1));
    EXPECT_EQ(runtime_.PendingCombatStats()[0].rounds_played, 1u);
}

TEST_F(SettlementCarryOverTest, SessionEarningsMatchWhatSettles) {
    LateEvents();
    runtime_.SnapshotLastRoundEarnings(1, Status::Queued, 5);
    EXPECT_EQ(runtime_.LastRoundEarningForSlot(1)->earned_zolt,
              100u);  // the late 30 is not round 1's
    EXPECT_EQ(runtime_.LastRoundEarningForSlot(2)->earned_zolt, 0u);
    ASSERT_TRUE(runtime_.BeginRound(2));
    ASSERT_TRUE(runtime_.RecordKillEvent(1, 2, false));
    const RoundSettlementDraft round2 = EndRoundAndDraft();
    for (const std::int32_t slot : {1, 2}) {
        std::uint64_t settled = 0;
        for (const RoundSettlementDraft& draft : {round1_, round2}) {
            for (const RewardDraftEntry& entry : draft.reward_entries) {
                settled += entry.slot == slot ? entry.reward_zolt : 0;
            }
        }
        EXPECT_EQ(SessionEarned(slot), settled) << slot;
    }
}

TEST_F(SettlementCarryOverTest, RepeatedVictimCapRestartsWithTheNextRound) {
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(runtime_.RecordKillEvent(1, 2, false));  // logged late, round 1's kills
    }
    EXPECT_FALSE(runtime_.RecordKillEvent(1, 2, false));
    ASSERT_TRUE(runtime_.BeginRound(2));
    EXPECT_EQ(runtime_.PendingRewards().size(), 4u);
    EXPECT_TRUE(runtime_.RecordKillEvent(1, 2, false));
}

TEST_F(SettlementCarryOverTest, AResetRoundIsAbandonedWhole) {
    ASSERT_TRUE(runtime_.BeginRound(2));
    ASSERT_TRUE(runtime_.RecordKillEvent(1, 2, false));
    ASSERT_TRUE(runtime_.ResetRoundToIdle());
    EXPECT_TRUE(runtime_.PendingRewards().empty());
    EXPECT_TRUE(runtime_.PendingCombatStats().empty());
}

TEST_F(SettlementCarryOverTest, EventsBeforeTheFirstRoundTravelInItAfterAReload) {
    LateEvents();
    runtime_.Unload();
    Reload();
    TwoTeams();
    ASSERT_TRUE(runtime_.RecordWeaponPurchase(1, "awp", 4750, 1).spend);  // idle buy time
    ASSERT_TRUE(runtime_.QueueTransferIntent(1, 2, 5));
    ASSERT_TRUE(runtime_.BeginRound(1));
    EXPECT_EQ(runtime_.PendingWeaponSpends().size(), 1u);
    EXPECT_EQ(runtime_.PendingTransfers().size(), 1u);
    EXPECT_EQ(EndRoundAndDraft().weapon_spend_entries.size(), 1u);
}

}  // namespace
}  // namespace ironpost
