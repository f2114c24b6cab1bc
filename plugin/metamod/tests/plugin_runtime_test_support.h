#pragma once

// Shared set-up for the game-rules runtime tests: a loaded runtime and a few
// ways to seat players on teams.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ironpost_plugin.h"

namespace ironpost::testing_support {

// One line per draft record with every field, so whole lists compare at once
// and a mismatch shows which field of which entry differs.
inline std::string Describe(const RewardDraftEntry& e) {
    return std::to_string(e.slot) + " " + e.steam_id + " kills=" + std::to_string(e.kills) +
           " damage=" + std::to_string(e.valid_damage) + " zolt=" + std::to_string(e.reward_zolt);
}

inline std::string Describe(const WeaponSpendDraftEntry& e) {
    return std::to_string(e.slot) + " " + e.steam_id + " " + e.weapon_id + " " +
           std::to_string(e.zolt_cost) + " round=" + std::to_string(e.round_number);
}

inline std::string Describe(const TransferDraftEntry& e) {
    return std::to_string(e.intent_id) + " " + std::to_string(e.from_slot) + "->" +
           std::to_string(e.to_slot) + " " + e.from_steam_id + "->" + e.to_steam_id + " " +
           std::to_string(e.amount) + " " + RoleName(e.target_role) + " " + e.menu_nonce;
}

inline std::string Describe(const CombatStatsDraftEntry& e) {
    return e.steam_id + " k=" + std::to_string(e.kills) + " d=" + std::to_string(e.deaths) +
           " hs=" + std::to_string(e.headshots) + " fired=" + std::to_string(e.shots_fired) +
           " hit=" + std::to_string(e.shots_hit) + " rounds=" + std::to_string(e.rounds_played);
}

inline std::string Describe(const RivalStatsDraftEntry& e) {
    return e.attacker_steam_id + "->" + e.victim_steam_id + " hits=" + std::to_string(e.hits) +
           " damage=" + std::to_string(e.damage) + " k=" + std::to_string(e.kills);
}

template <typename Entry>
std::vector<std::string> DescribeAll(const std::vector<Entry>& entries) {
    std::vector<std::string> lines;
    for (const Entry& entry : entries) {
        lines.push_back(Describe(entry));
    }
    return lines;
}

using Lines = std::vector<std::string>;

inline std::string SteamIdForSlot(std::int32_t slot) {
    return "STEAM_0:1:" + std::to_string(1000 + slot);
}

class RuntimeTest : public ::testing::Test {
  protected:
    void SetUp() override { runtime_.Load(config_); }

    // Reloads with the fixture's configuration after a test changed it.
    void Reload() { runtime_.Load(config_); }

    void Human(std::int32_t slot, PlayerRole role, const std::string& name = "") {
        ASSERT_TRUE(runtime_.OnPlayerJoin(slot, name.empty() ? "p" + std::to_string(slot) : name,
                                          SteamIdForSlot(slot), false));
        ASSERT_TRUE(runtime_.OnPlayerRoleChanged(slot, role));
    }

    void Bot(std::int32_t slot, PlayerRole role) {
        ASSERT_TRUE(runtime_.OnPlayerJoin(slot, "bot" + std::to_string(slot), "", true));
        ASSERT_TRUE(runtime_.OnPlayerRoleChanged(slot, role));
    }

    std::uint64_t SessionEarned(std::int32_t slot) const {
        const auto earning = runtime_.SessionEarningForSlot(slot);
        return earning ? earning->earned_zolt : 0;
    }

    static SettlementDraftRequest Request(std::uint32_t round_number) {
        SettlementDraftRequest request;
        request.server_id = "srv";
        request.session_id = "session";
        request.map_name_hash = "map";
        request.round_number = round_number;
        request.previous_round_hash = "prev";
        request.roster_root = "roster";
        request.config_hash = "cfg";
        return request;
    }

    // Ends the running round the way the session does: end, then draft.
    RoundSettlementDraft EndRoundAndDraft() {
        const std::uint32_t round = runtime_.CurrentRoundState().round_number;
        EXPECT_TRUE(runtime_.EndRound());
        const auto draft = runtime_.BuildSettlementDraft(Request(round));
        EXPECT_TRUE(draft.has_value());
        return draft.value_or(RoundSettlementDraft{});
    }

    IronPostConfig config_;
    PluginRuntime runtime_;
};

}  // namespace ironpost::testing_support
