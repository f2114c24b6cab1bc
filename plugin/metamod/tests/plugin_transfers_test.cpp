#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "plugin_runtime_test_support.h"

namespace ironpost {
namespace {

using testing_support::DescribeAll;
using testing_support::Lines;
using testing_support::RuntimeTest;
using Role = PlayerRole;

// Seats: 1 Alice (T, the sender), 2 Terrorist, 3 Counter-Terrorist,
// 4 spectator, 6 unassigned, 5 bot Counter-Terrorist.
class TransferTest : public RuntimeTest {
  protected:
    void Seat() {
        Human(1, Role::Terrorist, "Alice");
        Human(2, Role::Terrorist, "Bob");
        Human(3, Role::CounterTerrorist, "Carol");
        Bot(5, Role::CounterTerrorist);
        Human(4, Role::Spectator, "Dan");
        Human(6, Role::Unassigned, "Eve");
    }

    TransferMenuSelectionResult Select(std::int32_t from, std::int32_t to, std::uint64_t amount) {
        return runtime_.SubmitTransferMenuSelection(TransferMenuSelection{from, to, amount});
    }
};

TEST_F(TransferTest, MenuListsEveryHumanRecipientWithItsDisabledReason) {
    config_.transfer_allow_teammates = false;
    config_.transfer_min_zolt = 5;
    config_.transfer_max_zolt = 900;
    Reload();
    Seat();
    const TransferMenu menu = runtime_.BuildTransferMenu(1);
    EXPECT_TRUE(menu.available);
    EXPECT_EQ(menu.error, "");
    EXPECT_EQ(menu.from_slot, 1);
    EXPECT_EQ(menu.min_amount, 5u);
    EXPECT_EQ(menu.max_amount, 900u);
    Lines recipients;
    for (const TransferMenuRecipient& r : menu.recipients) {
        recipients.push_back(std::to_string(r.slot) + " " + r.name + " " + r.steam_id + " " +
                             RoleName(r.role) + " | " + r.label + " | " +
                             (r.selectable ? "selectable" : r.disabled_reason));
    }
    // Table order; the sender and the bot are not listed.
    EXPECT_EQ(recipients,
              (Lines{"2 Bob STEAM_0:1:1002 terrorist | #2 Bob (terrorist) | teammate_disabled",
                     "3 Carol STEAM_0:1:1003 counter_terrorist | #3 Carol (counter_terrorist) | "
                     "selectable",
                     "4 Dan STEAM_0:1:1004 spectator | #4 Dan (spectator) | selectable",
                     "6 Eve STEAM_0:1:1006 unassigned | #6 Eve (unassigned) | target_not_ready"}));
    for (const TransferMenuRecipient& r : menu.recipients) {
        EXPECT_EQ(r.selectable, r.disabled_reason.empty()) << r.slot;
    }
}

TEST_F(TransferTest, MenuIsUnavailableWithTheReasonForTheSender) {
    Seat();
    EXPECT_EQ(runtime_.BuildTransferMenu(4).error, "source_not_ready");  // spectator
    EXPECT_EQ(runtime_.BuildTransferMenu(6).error, "source_not_ready");  // unassigned
    EXPECT_EQ(runtime_.BuildTransferMenu(9).error, "source_not_ready");  // nobody
    EXPECT_FALSE(runtime_.BuildTransferMenu(4).available);
    EXPECT_TRUE(runtime_.BuildTransferMenu(4).recipients.empty());
    EXPECT_EQ(Select(4, 3, 10).reason, "source_not_ready");
    config_.transfer_enabled = false;
    Reload();
    Seat();
    EXPECT_EQ(runtime_.BuildTransferMenu(1).error, "transfer_disabled");
    runtime_.Unload();
    EXPECT_EQ(runtime_.BuildTransferMenu(1).error, "runtime_not_loaded");
}

struct SelectionCase {
    const char* name;
    const char* config;  // see Configure
    std::int32_t from;
    std::int32_t to;
    std::uint64_t amount;
    const char* reason;
};

class TransferSelectionTest : public TransferTest,
                              public ::testing::WithParamInterface<SelectionCase> {};

TEST_P(TransferSelectionTest, FirstFailingRuleGivesTheReason) {
    const SelectionCase& c = GetParam();
    Configure(c.config);
    Seat();
    const TransferMenuSelectionResult result = Select(c.from, c.to, c.amount);
    EXPECT_EQ(result.reason, c.reason);
    const bool queued = std::string(c.reason) == "queued";
    EXPECT_EQ(result.accepted, queued);
    EXPECT_EQ(result.intent.has_value(), queued);
    EXPECT_EQ(runtime_.LastRefusalRule(), queued ? "" : c.reason);
    EXPECT_EQ(runtime_.PendingTransfers().size(), queued ? 1u : 0u);
}

const char* const kMax500 = "transfer_max_zolt 500";

INSTANTIATE_TEST_SUITE_P(
    Rules, TransferSelectionTest,
    ::testing::Values(
        SelectionCase{"Teammate", "", 1, 2, 1, "queued"},
        SelectionCase{"Opponent", "", 1, 3, 1, "queued"},
        SelectionCase{"Spectator", "", 1, 4, 1, "queued"},
        SelectionCase{"AtMaximum", kMax500, 1, 3, 500, "queued"},
        SelectionCase{"AboveMaximum", kMax500, 1, 3, 501, "above_maximum"},
        // The amount is tested before the players' roles.
        SelectionCase{"ZeroToBot", "", 1, 5, 0, "below_minimum"},
        SelectionCase{"ZeroToSelf", "", 1, 1, 0, "below_minimum"},
        SelectionCase{"ZeroWithoutMinimum", "transfer_min_zolt 0", 1, 3, 0, "zero_amount"},
        SelectionCase{"TooMuchFromSpectator", kMax500, 4, 3, 501, "above_maximum"},
        SelectionCase{"ToBot", "", 1, 5, 10, "bot_disabled"},
        SelectionCase{"ToSelf", "", 1, 1, 10, "self_transfer"},
        SelectionCase{"FromSpectator", "", 4, 3, 10, "source_not_ready"},
        SelectionCase{"ToUnassigned", "", 1, 6, 10, "target_not_ready"},
        SelectionCase{"ToNobody", "", 1, 9, 10, "target_not_ready"},
        SelectionCase{"FromNobody", "", 9, 3, 10, "source_not_ready"},
        SelectionCase{"SpectatorsOff", "transfer_allow_spectators 0", 1, 4, 10,
                      "spectator_disabled"},
        SelectionCase{"TeammatesOff", "transfer_allow_teammates 0", 1, 2, 10, "teammate_disabled"},
        SelectionCase{"OpponentsOff", "transfer_allow_opponents 0", 1, 3, 10, "opponent_disabled"},
        SelectionCase{"Disabled", "transfer_enabled 0", 1, 3, 0, "transfer_disabled"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TransferValidation, FreeFunctionsCheckLoadedFirstAndBotsBeforeRoles) {
    const IronPostConfig config;
    EXPECT_EQ(ValidateTransferSelection(config, false, std::nullopt, std::nullopt, 0).reason,
              "runtime_not_loaded");
    ConnectedPlayer source{1, "a", "STEAM_0:1:1", Role::Terrorist, true, false, 1};
    const ConnectedPlayer target{2, "b", "STEAM_0:1:2", Role::CounterTerrorist, true, false, 2};
    const TransferMenuSelectionResult ok =
        ValidateTransferSelection(config, true, source, target, 1);
    EXPECT_TRUE(ok.accepted);
    EXPECT_EQ(ok.reason, "accepted");
    EXPECT_FALSE(ok.intent);
    source.is_bot = true;
    source.role = Role::Spectator;
    EXPECT_EQ(TransferTargetRejectionReason(config, source, target), "bot_disabled");
}

TEST_F(TransferTest, IntentsCarryIdsNoncesAndRolesThatSurviveRounds) {
    Seat();
    ASSERT_TRUE(runtime_.BeginRound(1));
    const TransferMenuSelectionResult first = Select(1, 3, 250);
    const TransferMenuSelectionResult second = Select(1, 4, 40);
    ASSERT_TRUE(first.intent && second.intent);
    EXPECT_EQ(first.intent->menu_nonce, "menu-1");
    EXPECT_EQ(second.intent->intent_id, 2u);
    // The recipient's later team change does not rewrite the queued intent.
    ASSERT_TRUE(runtime_.OnPlayerRoleChanged(3, Role::Terrorist));
    EXPECT_EQ(DescribeAll(EndRoundAndDraft().zolt_transfer_entries),
              (Lines{"1 1->3 STEAM_0:1:1001->STEAM_0:1:1003 250 counter_terrorist menu-1",
                     "2 1->4 STEAM_0:1:1001->STEAM_0:1:1004 40 spectator menu-2"}));
    ASSERT_TRUE(runtime_.BeginRound(2));
    EXPECT_TRUE(runtime_.PendingTransfers().empty());
    const auto third = runtime_.QueueTransferIntent(1, 3, 5);
    ASSERT_TRUE(third);
    EXPECT_EQ(third->intent_id, 3u);
    EXPECT_EQ(third->menu_nonce, "menu-3");
    EXPECT_FALSE(runtime_.QueueTransferIntent(1, 5, 5));  // validated like a selection
}

TEST_F(TransferTest, IntentsNamingALeavingPlayerAreRemoved) {
    Seat();
    ASSERT_TRUE(runtime_.QueueTransferIntent(1, 3, 10));  // sender leaves
    ASSERT_TRUE(runtime_.QueueTransferIntent(2, 1, 20));  // recipient leaves
    ASSERT_TRUE(runtime_.QueueTransferIntent(2, 3, 30));
    ASSERT_TRUE(runtime_.OnPlayerLeave(1));
    const auto pending = runtime_.PendingTransfers();
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0].amount, 30u);
    EXPECT_EQ(Select(2, 1, 10).reason, "target_not_ready");  // the recipient is gone
    runtime_.ClearPendingTransfers();
    EXPECT_TRUE(runtime_.PendingTransfers().empty());
}

}  // namespace
}  // namespace ironpost
