#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ironpost_engine_bridge.h"
#include "scripted_http_client.h"

namespace ironpost::session_test {
namespace {

std::string Describe(const EngineBufferedGameplayEvent& e) {
    return std::to_string(e.sequence) + " " + e.type + " " + std::to_string(e.slot) + ">" +
           std::to_string(e.peer_slot) + " " + std::to_string(e.value) + " " + e.detail +
           (e.now_ms != 0 ? " @" + std::to_string(e.now_ms) : "");
}

class EngineBridgeTest : public SessionTest {
  protected:
    Lines Ring() const {
        Lines lines;
        for (const EngineBufferedGameplayEvent& event : bridge_.SnapshotBufferedEvents()) {
            lines.push_back(Describe(event));
        }
        return lines;
    }
    // Reloads the session with another ring bound; the ring must not notice.
    void ReloadWithBufferSize(std::uint32_t size) {
        session_.Unload();
        LoadOrFail("ironpost_event_buffer_size " + std::to_string(size) + "\n");
    }
    void RecordRounds(std::uint32_t first, std::uint32_t last) {
        for (std::uint32_t round = first; round <= last; ++round) {
            bridge_.RecordBufferedEvent("round_start", 0, 0, 0, round, "");
        }
    }

    EngineEventBridge bridge_{session_};
};

TEST_F(EngineBridgeTest, PlaysARoundIntoTheRingAndTheGameRules) {
    LoadOrFail();
    client_.Reply(200, SettlementReplyBody("round-1", "included"));
    std::vector<std::string> reasons;
    const auto note = [&](const EngineEventResult& result) { reasons.push_back(result.reason); };

    note(bridge_.OnClientAuthorized({1, "alice", "STEAM_0:1:1001", false}));
    note(bridge_.OnClientAuthorized({2, "bob", "STEAM_0:0:2002", false}));
    note(bridge_.OnClientAuthorized({3, "bot", "", true}));
    note(bridge_.OnClientTeamChanged({1, "TERRORIST"}));
    note(bridge_.OnClientTeamChanged({2, "CT"}));
    note(bridge_.OnClientTeamChanged({3, "BLUE"}));
    note(bridge_.OnRoundStart({1}));
    note(bridge_.OnDamage({1, 2, 30}));
    const EngineEventResult kill = bridge_.OnKill({1, 2, true});
    note(kill);
    note(bridge_.OnKill({2, 2, true}));
    note(bridge_.OnWeaponStats({1, 10, 7}));
    const EngineEventResult purchase = bridge_.OnWeaponPurchase({1, "ak47", 2500, 0});
    note(purchase);
    note(bridge_.OnRoundWin({2}));
    const EngineEventResult end = bridge_.OnRoundEnd(
        {90'000, "round-1", "rcv", "srv-1", "sess", "map", "prev", "roster", "cfg"});
    note(end);

    EXPECT_EQ(reasons, (Lines{"client_authorized", "client_authorized", "client_authorized",
                              "client_team_changed", "client_team_changed", "client_team_rejected",
                              "round_started", "damage_reward_queued", "kill_reward_queued",
                              "kill_reward_rejected", "weaponstats_recorded", "paid_spend",
                              "round_win_reward_rejected", "round_submitted"}));
    ASSERT_TRUE(kill.reward.has_value());
    EXPECT_EQ(kill.reward->slot, 1);
    // A purchase of unknown round is charged to the running one.
    ASSERT_TRUE(purchase.purchase && purchase.purchase->spend);
    EXPECT_EQ(purchase.purchase->spend->round_number, 1u);
    ASSERT_TRUE(end.settlement && end.settlement->request);
    EXPECT_EQ(end.settlement->request->request_id, "round-1");
    EXPECT_TRUE(end.accepted);
    EXPECT_EQ(Ring(), (Lines{"1 connect 1>0 0 STEAM_0:1:1001", "2 connect 2>0 0 STEAM_0:0:2002",
                             "3 connect 3>0 1 ", "4 team 1>0 0 TERRORIST", "5 team 2>0 0 CT",
                             "6 team 3>0 0 BLUE", "7 round_start 0>0 1 ", "8 damage 1>2 30 ",
                             "9 death 1>2 1 ", "10 death 2>2 1 ", "11 weaponstats 1>0 10 hits=7",
                             "12 weapon_purchase 1>0 2500 ak47", "13 round_win 2>0 0 ",
                             "14 round_end 0>0 0 round-1 @90000"}));

    // Unloaded, every handler refuses and nothing is recorded.
    session_.Unload();
    const std::vector<EngineEventResult> refused = {
        bridge_.OnClientAuthorized({4, "carol", "STEAM_0:1:4004", false}),
        bridge_.OnClientDisconnect({1}),
        bridge_.OnClientTeamChanged({1, "CT"}),
        bridge_.OnRoundStart({2}),
        bridge_.OnBuySetup(),
        bridge_.OnDamage({1, 2, 5}),
        bridge_.OnKill({1, 2, false}),
        bridge_.OnRoundWin({1}),
        bridge_.OnWeaponPurchase({1, "ak47", 1, 1}),
        bridge_.OnWeaponStats({1, 1, 1}),
        bridge_.OnRoundEnd({1, "round-2", "r", "s", "s", "m", "p", "r", "c"})};
    for (const EngineEventResult& result : refused) {
        EXPECT_FALSE(result.accepted);
        EXPECT_EQ(result.reason, "plugin_session_not_loaded");
    }
    EXPECT_EQ(bridge_.BufferedEventCount(), 14u);
    EXPECT_EQ(client_.requests.size(), 1u);
}

TEST_F(EngineBridgeTest, RingKeepsTheNewestEventsThroughWrapsResizesAndReloads) {
    LoadOrFail("ironpost_event_buffer_size 3\n");
    RecordRounds(1, 3);
    EXPECT_EQ(Ring(),
              (Lines{"1 round_start 0>0 1 ", "2 round_start 0>0 2 ", "3 round_start 0>0 3 "}));
    RecordRounds(4, 5);
    EXPECT_EQ(Ring(),
              (Lines{"3 round_start 0>0 3 ", "4 round_start 0>0 4 ", "5 round_start 0>0 5 "}));

    // Growing a wrapped ring appends after the newest entry.
    ReloadWithBufferSize(5);
    RecordRounds(6, 8);
    EXPECT_EQ(Ring(), (Lines{"4 round_start 0>0 4 ", "5 round_start 0>0 5 ", "6 round_start 0>0 6 ",
                             "7 round_start 0>0 7 ", "8 round_start 0>0 8 "}));
    // Shrinking a wrapped ring keeps its newest entries.
    ReloadWithBufferSize(2);
    RecordRounds(9, 9);
    EXPECT_EQ(Ring(), (Lines{"8 round_start 0>0 8 ", "9 round_start 0>0 9 "}));
    // A bound of 0 records nothing and hands out no sequence number.
    ReloadWithBufferSize(0);
    RecordRounds(10, 10);
    ReloadWithBufferSize(2);
    RecordRounds(10, 10);
    EXPECT_EQ(Ring(), (Lines{"9 round_start 0>0 9 ", "10 round_start 0>0 10 "}));
}

}  // namespace
}  // namespace ironpost::session_test
