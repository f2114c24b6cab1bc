#include <cstdint>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "plugin_runtime_test_support.h"

namespace ironpost {
namespace {

using testing_support::DescribeAll;
using testing_support::Lines;
using testing_support::RuntimeTest;
using Role = PlayerRole;
using Status = SettlementRelayStatus;

class SettlementTest : public RuntimeTest {
  protected:
    void TwoTeams() {
        Human(1, Role::Terrorist);
        Human(2, Role::CounterTerrorist);
    }

    Lines Earnings() const {
        Lines lines;
        for (const LastRoundPlayerEarning& e : runtime_.LastRoundEarnings()) {
            lines.push_back(std::to_string(e.round_number) + " " + std::to_string(e.slot) + " " +
                            e.steam_id + " " + std::to_string(e.earned_zolt) + " " +
                            SettlementRelayStatusName(e.relay_status) + " " +
                            std::to_string(e.source_block) + " " + std::to_string(e.settled_at_ms));
        }
        return lines;
    }
};

TEST(SettlementRelayStatusNames, NamesRoundTripAndParsingIsExact) {
    const std::tuple<Status, const char*, bool> names[] = {
        {Status::Unknown, "unknown", false},  {Status::NotSubmitted, "not_submitted", false},
        {Status::Queued, "queued", false},    {Status::Submitted, "submitted", false},
        {Status::Included, "included", true}, {Status::Finalized, "finalized", true},
        {Status::Failed, "failed", true},
    };
    for (const auto& [status, name, terminal] : names) {
        EXPECT_STREQ(SettlementRelayStatusName(status), name);
        EXPECT_EQ(ParseSettlementRelayStatus(name), status) << name;
        EXPECT_EQ(IsTerminalSettlementRelayStatus(status), terminal) << name;
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
        const RoundSettlementDraft signed_copy{request.server_id,
                                               request.session_id,
                                               request.map_name_hash,
                                               request.round_number,
                                               request.previous_round_hash,
                                               request.roster_root,
                                               {},
                                               {},
                                               {},
                                               {},
                                               {},
                                               request.config_hash,
                                               "signature"};
        EXPECT_FALSE(IsRoundSettlementDraftComplete(signed_copy)) << "field " << i;
    }
    const auto draft = runtime_.BuildSettlementDraft(Request(3));
    ASSERT_TRUE(draft);
    EXPECT_TRUE(IsRoundSettlementDraftComplete(*draft));
    EXPECT_EQ(draft->roster_root, "roster");
    EXPECT_TRUE(draft->reward_entries.empty() && draft->weapon_spend_entries.empty() &&
                draft->zolt_transfer_entries.empty() && draft->combat_stats_entries.empty() &&
                draft->rival_stats_entries.empty());
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
    EXPECT_EQ(Earnings(), (Lines{"4 1 STEAM_0:1:1001 125 queued 812 9000",
                                 "4 2 STEAM_0:1:1002 0 queued 0 9000"}));
    // Round 0 changes nothing; a later snapshot replaces the whole list.
    runtime_.SnapshotLastRoundEarnings(0, Status::Failed, 1);
    EXPECT_EQ(runtime_.LastRoundEarningForSlot(1)->relay_status, Status::Queued);
    Human(3, Role::Terrorist);
    ASSERT_TRUE(runtime_.OnPlayerLeave(2));
    runtime_.SnapshotLastRoundEarnings(5, Status::Included, 9500);
    EXPECT_EQ(Earnings(), (Lines{"5 1 STEAM_0:1:1001 125 included 812 9500",
                                 "5 3 STEAM_0:1:1003 0 included 0 9500"}));
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
        EXPECT_EQ(DescribeAll(runtime_.PendingRewards()),
                  (Lines{"2 STEAM_0:1:1002 kills=1 damage=0 zolt=100",
                         "1 STEAM_0:1:1001 kills=0 damage=30 zolt=30"}));
        EXPECT_EQ(DescribeAll(runtime_.PendingWeaponSpends()),
                  (Lines{"2 STEAM_0:1:1002 m4a1 3100 round=2"}));
        ASSERT_EQ(runtime_.PendingTransfers().size(), 1u);
        EXPECT_EQ(runtime_.PendingTransfers()[0].intent_id, 2u);
    }

    RoundSettlementDraft round1_;
};

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

TEST_F(SettlementCarryOverTest, LateRewardsBelongToTheNextSettlementOnly) {
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(runtime_.RecordKillEvent(1, 2, false));  // logged late, round 1's kills
    }
    EXPECT_FALSE(runtime_.RecordKillEvent(1, 2, false)) << "the cap still counts round 1";
    runtime_.SnapshotLastRoundEarnings(1, Status::Queued, 5);
    EXPECT_EQ(runtime_.LastRoundEarningForSlot(1)->earned_zolt, 100u)
        << "only what round 1 drafted";
    ASSERT_TRUE(runtime_.BeginRound(2));
    EXPECT_EQ(runtime_.PendingRewards().size(), 4u);
    EXPECT_TRUE(runtime_.RecordKillEvent(1, 2, false)) << "the cap restarts with the round";
    const RoundSettlementDraft round2 = EndRoundAndDraft();
    EXPECT_EQ(round2.reward_entries.size(), 5u);
    EXPECT_EQ(SessionEarned(1), 600u) << "what both settlements carry, counted once";
}

TEST_F(SettlementCarryOverTest, ClearingPendingEventsEmptiesEverythingEvenLateEvents) {
    LateEvents();
    runtime_.ClearPendingSettlementEvents();
    ASSERT_TRUE(runtime_.BeginRound(2));
    const RoundSettlementDraft round2 = EndRoundAndDraft();
    EXPECT_TRUE(round2.reward_entries.empty() && round2.weapon_spend_entries.empty() &&
                round2.zolt_transfer_entries.empty() && round2.combat_stats_entries.empty() &&
                round2.rival_stats_entries.empty());
}

TEST_F(SettlementCarryOverTest, AResetRunningRoundIsAbandonedWhole) {
    ASSERT_TRUE(runtime_.BeginRound(2));
    ASSERT_TRUE(runtime_.RecordKillEvent(1, 2, false));
    ASSERT_TRUE(runtime_.ResetRoundToIdle());
    EXPECT_TRUE(runtime_.PendingRewards().empty());
    EXPECT_TRUE(runtime_.PendingCombatStats().empty());
}

TEST_F(SettlementCarryOverTest, EventsBeforeTheFirstRoundTravelInItAfterAReload) {
    LateEvents();
    Reload();
    TwoTeams();
    ASSERT_TRUE(runtime_.RecordWeaponPurchase(1, "awp", 4750, 1).spend);  // idle buy time
    ASSERT_TRUE(runtime_.QueueTransferIntent(1, 2, 5));
    ASSERT_TRUE(runtime_.BeginRound(1));
    const RoundSettlementDraft draft = EndRoundAndDraft();
    EXPECT_EQ(DescribeAll(draft.weapon_spend_entries),
              (Lines{"1 STEAM_0:1:1001 awp 4750 round=1"}));
    EXPECT_EQ(draft.zolt_transfer_entries.size(), 1u);
    EXPECT_TRUE(draft.reward_entries.empty()) << "nothing of the previous load";
}

}  // namespace
}  // namespace ironpost
