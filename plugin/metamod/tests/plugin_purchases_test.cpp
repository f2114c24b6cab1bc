#include <cstdint>
#include <functional>
#include <string>

#include "plugin_runtime_test_support.h"

namespace ironpost {
namespace {

using testing_support::RuntimeTest;
using testing_support::SteamIdForSlot;
using Role = PlayerRole;

// Seats: 1 Terrorist, 2 Counter-Terrorist, 3 spectator, 5 bot Terrorist.
class PurchaseTest : public RuntimeTest {
  protected:
    void Seat() {
        Human(1, Role::Terrorist);
        Human(2, Role::CounterTerrorist);
        Human(3, Role::Spectator);
        Bot(5, Role::Terrorist);
    }
};

struct PurchaseCase {
    const char* name;
    std::function<void(IronPostConfig&)> configure;
    std::int32_t slot;
    const char* weapon;
    std::uint64_t cost;
    std::uint32_t round;
    const char* reason;
    bool allowed;
    bool free_tier;
};

class PurchaseReasonTest : public PurchaseTest,
                           public ::testing::WithParamInterface<PurchaseCase> {};

TEST_P(PurchaseReasonTest, DecisionFollowsTheReasonTableInOrder) {
    const PurchaseCase& c = GetParam();
    if (c.configure) {
        c.configure(config_);
        Reload();
    }
    Seat();
    const WeaponPurchaseDecision decision =
        runtime_.RecordWeaponPurchase(c.slot, c.weapon, c.cost, c.round);
    EXPECT_EQ(decision.reason, c.reason);
    EXPECT_EQ(decision.allowed, c.allowed);
    EXPECT_EQ(decision.free_tier, c.free_tier);
    const bool paid = decision.reason == "paid_spend";
    EXPECT_EQ(decision.spend.has_value(), paid);
    EXPECT_EQ(runtime_.PendingWeaponSpends().size(), paid ? 1u : 0u);
}

const auto kNoFreeTier = [](IronPostConfig& c) { c.free_tier_enabled = false; };
const auto kSpendOff = [](IronPostConfig& c) { c.weapon_spend_enabled = false; };
const auto kSpendOffAllowed = [](IronPostConfig& c) {
    c.weapon_spend_enabled = false;
    c.allow_buy_if_zolt_zero = true;
};

INSTANTIATE_TEST_SUITE_P(
    Reasons, PurchaseReasonTest,
    ::testing::Values(
        // Validity is checked before the player, even for a free weapon.
        PurchaseCase{"EmptyWeapon", nullptr, 1, "", 100, 1, "invalid_purchase", false, false},
        PurchaseCase{"RoundZeroFreeWeapon", nullptr, 3, "glock", 0, 0, "invalid_purchase", false,
                     false},
        PurchaseCase{"Spectator", nullptr, 3, "glock", 0, 1, "player_not_ready", false, false},
        PurchaseCase{"Bot", nullptr, 5, "glock", 0, 1, "player_not_ready", false, false},
        PurchaseCase{"NoPlayer", nullptr, 9, "glock", 0, 1, "player_not_ready", false, false},
        // The free tier wins over cost and spend settings.
        PurchaseCase{"TerroristPistol", kSpendOff, 1, "glock", 400, 1, "free_tier", true, true},
        PurchaseCase{"TerroristRifle", nullptr, 1, "galil", 2000, 1, "free_tier", true, true},
        PurchaseCase{"CounterPistol", nullptr, 2, "usp", 500, 1, "free_tier", true, true},
        PurchaseCase{"CounterRifle", nullptr, 2, "famas", 2250, 1, "free_tier", true, true},
        PurchaseCase{"SharedSmg", nullptr, 2, "mp5navy", 1500, 1, "free_tier", true, true},
        PurchaseCase{"SharedSniper", nullptr, 1, "scout", 2750, 1, "free_tier", true, true},
        // Another team's free weapon, another spelling, or a free tier that is
        // off: the weapon costs.
        PurchaseCase{"CounterBuysTerroristPistol", nullptr, 2, "glock", 400, 1, "paid_spend", true,
                     false},
        PurchaseCase{"TerroristBuysCounterRifle", nullptr, 1, "famas", 2250, 1, "paid_spend", true,
                     false},
        PurchaseCase{"CaseSensitive", nullptr, 1, "Glock", 400, 1, "paid_spend", true, false},
        PurchaseCase{"EmptyNameNeverMatches", [](IronPostConfig& c) { c.free_smg = ""; }, 1,
                     "mp5navy", 1500, 1, "paid_spend", true, false},
        PurchaseCase{"FreeTierOffZeroCost", kNoFreeTier, 1, "mp5navy", 0, 1, "zero_cost", true,
                     false},
        PurchaseCase{"FreeTierOffPaid", kNoFreeTier, 1, "mp5navy", 1500, 1, "paid_spend", true,
                     false},
        PurchaseCase{"ZeroCostBeforeSpendRules", kSpendOff, 1, "ak47", 0, 1, "zero_cost", true,
                     false},
        PurchaseCase{"SpendOffAllowed", kSpendOffAllowed, 1, "ak47", 2500, 1,
                     "spend_disabled_allowed", true, false},
        PurchaseCase{"SpendOffRefused", kSpendOff, 1, "ak47", 2500, 1, "weapon_spend_disabled",
                     false, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PurchaseTest, UnloadedRuntimeRefusesBeforeAnything) {
    runtime_.Unload();
    const WeaponPurchaseDecision decision = runtime_.RecordWeaponPurchase(1, "", 0, 0);
    EXPECT_EQ(decision.reason, "runtime_not_loaded");
    EXPECT_FALSE(decision.allowed);
}

TEST_F(PurchaseTest, PaidPurchasesQueueOneSpendEachAndAreNeverMerged) {
    Seat();
    const WeaponPurchaseDecision first = runtime_.RecordWeaponPurchase(1, "ak47", 2500, 4);
    const WeaponPurchaseDecision second = runtime_.RecordWeaponPurchase(1, "ak47", 2500, 4);
    ASSERT_TRUE(first.spend && second.spend);
    EXPECT_EQ(first.spend->slot, 1);
    EXPECT_EQ(first.spend->steam_id, SteamIdForSlot(1));
    EXPECT_EQ(first.spend->weapon_id, "ak47");
    EXPECT_EQ(first.spend->zolt_cost, 2500u);
    EXPECT_EQ(first.spend->round_number, 4u);
    const auto spends = runtime_.PendingWeaponSpends();
    ASSERT_EQ(spends.size(), 2u);
    EXPECT_EQ(spends[0].zolt_cost + spends[1].zolt_cost, 5000u);
    EXPECT_TRUE(runtime_.PendingRewards().empty());
}

TEST_F(PurchaseTest, DirectSpendQueueAcceptsAnyRoleButNoBotOrEmptySpend) {
    Seat();
    EXPECT_TRUE(runtime_.QueueWeaponSpendEntry(3, "awp", 4750, 1));  // spectator is fine here
    EXPECT_FALSE(runtime_.QueueWeaponSpendEntry(5, "awp", 4750, 1));
    EXPECT_FALSE(runtime_.QueueWeaponSpendEntry(9, "awp", 4750, 1));
    EXPECT_FALSE(runtime_.QueueWeaponSpendEntry(1, "", 4750, 1));
    EXPECT_FALSE(runtime_.QueueWeaponSpendEntry(1, "awp", 0, 1));
    EXPECT_FALSE(runtime_.QueueWeaponSpendEntry(1, "awp", 4750, 0));
    EXPECT_EQ(runtime_.PendingWeaponSpends().size(), 1u);
    config_.weapon_spend_enabled = false;
    Reload();
    Seat();
    EXPECT_FALSE(runtime_.QueueWeaponSpendEntry(1, "awp", 4750, 1));
}

TEST_F(PurchaseTest, NextRoundStartsWithNoSpendsFromTheSettledRound) {
    Seat();
    ASSERT_TRUE(runtime_.BeginRound(1));
    ASSERT_TRUE(runtime_.RecordWeaponPurchase(1, "ak47", 2500, 1).spend);
    EXPECT_EQ(EndRoundAndDraft().weapon_spend_entries.size(), 1u);
    ASSERT_TRUE(runtime_.BeginRound(2));
    EXPECT_TRUE(runtime_.PendingWeaponSpends().empty());
}

}  // namespace
}  // namespace ironpost
