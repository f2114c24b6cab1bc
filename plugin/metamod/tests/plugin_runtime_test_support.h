#pragma once

// Shared set-up for the game-rules runtime tests: a loaded runtime, ways to
// seat players on teams, and one-line descriptions of draft records so whole
// lists compare at once and a mismatch shows the field that differs.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ironpost_plugin.h"

namespace ironpost::testing_support {

using Lines = std::vector<std::string>;
using std::to_string;

inline std::string Describe(const RewardDraftEntry& e) {
    return to_string(e.slot) + " " + e.steam_id + " kills=" + to_string(e.kills) +
           " damage=" + to_string(e.valid_damage) + " zolt=" + to_string(e.reward_zolt);
}

inline std::string Describe(const WeaponSpendDraftEntry& e) {
    return to_string(e.slot) + " " + e.steam_id + " " + e.weapon_id + " " + to_string(e.zolt_cost) +
           " round=" + to_string(e.round_number);
}

inline std::string Describe(const TransferDraftEntry& e) {
    return to_string(e.intent_id) + " " + to_string(e.from_slot) + "->" + to_string(e.to_slot) +
           " " + e.from_steam_id + "->" + e.to_steam_id + " " + to_string(e.amount) + " " +
           RoleName(e.target_role) + " " + e.menu_nonce;
}

inline std::string Describe(const CombatStatsDraftEntry& e) {
    return e.steam_id + " k=" + to_string(e.kills) + " d=" + to_string(e.deaths) +
           " hs=" + to_string(e.headshots) + " fired=" + to_string(e.shots_fired) +
           " hit=" + to_string(e.shots_hit) + " rounds=" + to_string(e.rounds_played);
}

inline std::string Describe(const RivalStatsDraftEntry& e) {
    return e.attacker_steam_id + "->" + e.victim_steam_id + " hits=" + to_string(e.hits) +
           " damage=" + to_string(e.damage) + " k=" + to_string(e.kills);
}

template <typename Entry>
Lines DescribeAll(const std::vector<Entry>& entries) {
    Lines lines;
    for (const Entry& entry : entries) {
        lines.push_back(Describe(entry));
    }
    return lines;
}

inline std::string SteamIdForSlot(std::int32_t slot) {
    return "STEAM_0:1:" + to_string(1000 + slot);
}

class RuntimeTest : public ::testing::Test {
  protected:
    void SetUp() override { runtime_.Load(config_); }

    // Reloads with the fixture's configuration after a test changed it.
    void Reload() { runtime_.Load(config_); }

    // Reloads with configuration lines ("key value", keys without their
    // "ironpost_" prefix, separated by ";") laid over the defaults.
    void Configure(const std::string& lines) {
        std::string text = "ironpost_" + lines;
        for (std::size_t at = 0; (at = text.find(';', at)) != std::string::npos;) {
            text.replace(at, 1, "\nironpost_");
        }
        const ConfigParseResult parsed = ParseConfigText(lines.empty() ? "" : text);
        ASSERT_TRUE(parsed.errors.empty() && parsed.warnings.empty()) << lines;
        config_ = parsed.config;
        Reload();
    }

    void Human(std::int32_t slot, PlayerRole role, const std::string& name = "") {
        ASSERT_TRUE(runtime_.OnPlayerJoin(slot, name.empty() ? "p" + to_string(slot) : name,
                                          SteamIdForSlot(slot), false));
        ASSERT_TRUE(runtime_.OnPlayerRoleChanged(slot, role));
    }

    void Bot(std::int32_t slot, PlayerRole role) {
        ASSERT_TRUE(runtime_.OnPlayerJoin(slot, "bot" + to_string(slot), "", true));
        ASSERT_TRUE(runtime_.OnPlayerRoleChanged(slot, role));
    }

    std::uint64_t SessionEarned(std::int32_t slot) const {
        const auto earning = runtime_.SessionEarningForSlot(slot);
        return earning ? earning->earned_zolt : 0;
    }

    static SettlementDraftRequest Request(std::uint32_t round_number) {
        return SettlementDraftRequest{"srv",  "session", "map", round_number,
                                      "prev", "roster",  "cfg"};
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
