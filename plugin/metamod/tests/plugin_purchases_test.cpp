#include <cstdint>
#include <functional>
#include <string>

#include "plugin_runtime_test_support.h"

namespace ironpost {
namespace {

using testing_support::Describe;
using testing_support::DescribeAll;
using testing_support::Lines;
using testing_support::RuntimeTest;
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
    const char* config;  // see Configure
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
    Configure(c.config);
    Seat();
    const WeaponPurchaseDecision decision =
        runtime_.RecordWeaponPurchase(c.slot, c.weapon, c.cost, c.round);
    EXPECT_EQ(decision.reason, c.reason);
    EXPECT_EQ(decision.allowed, c.allowed);
    EXPECT_EQ(decision.free_tier, c.free_tier);
    EXPECT_EQ(runtime_.LastRefusalRule(), c.allowed ? "" : c.reason);
    const bool paid = decision.reason == "paid_spend";
    EXPECT_EQ(decision.spend.has_value(), paid);
    EXPECT_EQ(runtime_.PendingWeaponSpends().size(), paid ? 1u : 0u);
}

const char* const kNoFreeTier = "free_tier_enabled 0";
const char* const kSpendOff = "weapon_spend_enabled 0";
const char* const kSpendOffAllowed = "weapon_spend_enabled 0;allow_buy_if_zolt_zero 1";

INSTANTIATE_TEST_SUITE_P(
    Reasons, PurchaseReasonTest,
    ::testing::Values(
        // Validity is checked before the player, even for a free weapon.
        PurchaseCase{"EmptyWeapon", "", 1, "", 100, 1, "invalid_purchase", false, false},
        PurchaseCase{"RoundZeroFreeWeapon", "", 3, "glock", 0, 0, "invalid_purchase", false, false},
        PurchaseCase{"Spectator", "", 3, "glock", 0, 1, "player_not_ready", false, false},
        PurchaseCase{"Bot", "", 5, "glock", 0, 1, "player_not_ready", false, false},
        PurchaseCase{"NoPlayer", "", 9, "glock", 0, 1, "player_not_ready", false, false},
        // The free tier wins over cost and spend settings.
        PurchaseCase{"TerroristPistol", kSpendOff, 1, "glock", 400, 1, "free_tier", true, true},
        PurchaseCase{"TerroristRifle", "", 1, "galil", 2000, 1, "free_tier", true, true},
        PurchaseCase{"CounterPistol", "", 2, "usp", 500, 1, "free_tier", true, true},
        PurchaseCase{"CounterRifle", "", 2, "famas", 2250, 1, "free_tier", true, true},
        PurchaseCase{"SharedSmg", "", 2, "mp5navy", 1500, 1, "free_tier", true, true},
        PurchaseCase{"SharedSniper", "", 1, "scout", 2750, 1, "free_tier", true, true},
        // Another team's free weapon, another spelling, or a free tier that is
        // off: the weapon costs.
        PurchaseCase{"CounterBuysTerroristPistol", "", 2, "glock", 400, 1, "paid_spend", true,
                     false},
        PurchaseCase{"TerroristBuysCounterRifle", "", 1, "famas", 2250, 1, "paid_spend", true,
                     false},
        PurchaseCase{"CaseSensitive", "", 1, "Glock", 400, 1, "paid_spend", true, false},
        PurchaseCase{"EmptyNameNeverMatches", "free_smg \"\"", 1, "mp5navy", 1500, 1, "paid_spend",
                     true, false},
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

TEST_F(PurchaseTest, EverySpendIsQueuedOnItsOwnAndTheDirectQueueAcceptsAnyRole) {
    Seat();
    const WeaponPurchaseDecision first = runtime_.RecordWeaponPurchase(1, "ak47", 2500, 4);
    ASSERT_TRUE(first.spend);
    EXPECT_EQ(Describe(*first.spend), "1 STEAM_0:1:1001 ak47 2500 round=4");
    ASSERT_TRUE(runtime_.RecordWeaponPurchase(1, "ak47", 2500, 4).spend);
    EXPECT_TRUE(runtime_.QueueWeaponSpendEntry(3, "awp", 4750, 1)) << "a spectator is fine here";
    EXPECT_FALSE(runtime_.QueueWeaponSpendEntry(5, "awp", 4750, 1));
    EXPECT_FALSE(runtime_.QueueWeaponSpendEntry(9, "awp", 4750, 1));
    EXPECT_FALSE(runtime_.QueueWeaponSpendEntry(1, "", 4750, 1));
    EXPECT_FALSE(runtime_.QueueWeaponSpendEntry(1, "awp", 0, 1));
    EXPECT_FALSE(runtime_.QueueWeaponSpendEntry(1, "awp", 4750, 0));
    EXPECT_EQ(DescribeAll(runtime_.PendingWeaponSpends()),
              (Lines{"1 STEAM_0:1:1001 ak47 2500 round=4", "1 STEAM_0:1:1001 ak47 2500 round=4",
                     "3 STEAM_0:1:1003 awp 4750 round=1"}));
    EXPECT_TRUE(runtime_.PendingRewards().empty());
    config_.weapon_spend_enabled = false;
    Reload();
    Seat();
    EXPECT_FALSE(runtime_.QueueWeaponSpendEntry(1, "awp", 4750, 1));
}

}  // namespace
}  // namespace ironpost
