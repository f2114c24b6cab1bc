#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ironpost_engine_output.h"
#include "ironpost_menu_bridge.h"
#include "ironpost_notification_bridge.h"
#include "scripted_http_client.h"

namespace ironpost::session_test {
namespace {

std::string Describe(const EngineNotification& n) {
    std::string text = std::string(EngineNotificationChannelName(n.channel)) + "/" +
                       EngineNotificationSeverityName(n.severity) + " " + std::to_string(n.slot) +
                       " " + n.message;
    if (n.channel == EngineNotificationChannel::Menu ||
        n.channel == EngineNotificationChannel::Motd) {
        text += " [" + n.title + " " + std::to_string(n.menu_key_mask) + " " +
                std::to_string(n.menu_display_seconds) + "]";
    }
    return text;
}

std::string Describe(const EngineOutputCall& c) {
    return std::string(EngineOutputCallKindName(c.kind)) + " " + std::to_string(c.slot) + " " +
           c.message_name + "|" + c.text + "|" + std::to_string(c.numeric_value) + " " +
           std::to_string(c.menu_key_mask) + " " + std::to_string(c.menu_display_seconds);
}

template <typename Item>
Lines DescribeAll(const std::vector<Item>& items) {
    Lines lines;
    for (const Item& item : items) {
        lines.push_back(Describe(item));
    }
    return lines;
}

TransferMenuRecipient Recipient(std::int32_t slot, bool selectable, std::string reason = "") {
    TransferMenuRecipient recipient;
    recipient.slot = slot;
    recipient.label = "p" + std::to_string(slot);
    recipient.selectable = selectable;
    recipient.disabled_reason = std::move(reason);
    return recipient;
}

TransferMenu Menu(std::uint64_t min, std::uint64_t max, std::vector<TransferMenuRecipient> list) {
    return TransferMenu{true, 1, min, max, "", std::move(list)};
}

TEST(TransferMenu, RendersWhatThePlayerCanChoose) {
    struct Case {
        std::string what;
        TransferMenu menu;
        EngineMenuRenderOptions options;
        std::string body;
        std::uint16_t mask;
    };
    EngineMenuRenderOptions hide_disabled = TransferMenuRenderOptions();
    hide_disabled.include_disabled_recipients = false;
    std::vector<TransferMenuRecipient> twelve;
    for (std::int32_t slot = 2; slot <= 13; ++slot) {
        twelve.push_back(Recipient(slot, true));
    }
    const std::vector<Case> cases = {
        {"disabled listed with reason",
         Menu(10, 0, {Recipient(2, true), Recipient(3, false, "unlinked")}),
         TransferMenuRenderOptions(),
         "Iron-Post Zolt\nAmount: min 10 ZOLT, no max\n1. p2\n2. p3 [unlinked]\n0. Close", 513},
        {"disabled hidden", Menu(1, 0, {Recipient(2, false), Recipient(3, true)}), hide_disabled,
         "Iron-Post Zolt\nAmount: min 1 ZOLT, no max\n1. p3\n0. Close", 513},
        {"eight keys at most", Menu(1, 0, twelve), TransferMenuRenderOptions(),
         "Iron-Post Zolt\nAmount: min 1 ZOLT, no max\n1. p2\n2. p3\n3. p4\n4. p5\n5. p6\n6. "
         "p7\n7. p8\n8. p9\n0. Close",
         767},
        {"decimals", Menu(150, 1000, {}), TransferMenuRenderOptions(2),
         "Iron-Post Zolt\nAmount: min 1.50 ZOLT, max 10.00 ZOLT\nNo transfer recipients "
         "available\n0. Close",
         512},
        {"unavailable", TransferMenu{}, TransferMenuRenderOptions(),
         "Iron-Post Zolt\nUnavailable\n0. Close", 512},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const EngineMenuView view = RenderTransferMenu(c.menu, c.options);
        EXPECT_EQ(view.body, c.body);
        EXPECT_EQ(EngineMenuKeyMask(view), c.mask);
    }
}

TEST(TransferMenu, KeyPressesBecomeSelectionsOnlyWhenValid) {
    const EngineMenuView view = RenderTransferMenu(
        Menu(0, 50, {Recipient(2, true), Recipient(3, false, "team_only"), Recipient(4, false)}),
        TransferMenuRenderOptions());
    EngineMenuView unavailable = view;
    unavailable.available = false;
    EngineMenuView minimum = view;
    minimum.min_amount = 10;
    struct Case {
        const EngineMenuView& view;
        EngineMenuAction action;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {unavailable, {1, 1, 5}, "menu_unavailable"}, {view, {2, 1, 5}, "menu_source_mismatch"},
        {minimum, {1, 0, 0}, "menu_closed"},          {view, {1, 1, 0}, "below_minimum"},
        {minimum, {1, 1, 9}, "below_minimum"},        {view, {1, 1, 51}, "above_maximum"},
        {view, {1, 7, 5}, "unknown_menu_key"},        {view, {1, 2, 5}, "team_only"},
        {view, {1, 3, 5}, "option_disabled"},         {view, {1, 1, 50}, "selection_built"},
    };
    for (const Case& c : cases) {
        const EngineMenuActionResult result =
            BuildTransferSelectionFromMenuAction(c.view, c.action);
        EXPECT_EQ(result.reason, c.reason) << c.action.key << " " << c.action.amount;
        EXPECT_EQ(result.accepted, result.selection.has_value());
    }
    const EngineMenuActionResult chosen = BuildTransferSelectionFromMenuAction(view, {1, 1, 50});
    EXPECT_EQ(chosen.selection->to_slot, 2);
    EXPECT_EQ(chosen.selection->amount, 50u);
}

EngineCommandResult Command(bool accepted, std::string command, std::string reason) {
    EngineCommandResult result;
    result.handled = true;
    result.accepted = accepted;
    result.command = std::move(command);
    result.reason = std::move(reason);
    return result;
}

TEST(Notifications, EachResultReadsAsItsFixedTexts) {
    EngineEventResult submitted;
    submitted.accepted = true;
    submitted.settlement = MetamodSettlementSubmitResult{};
    submitted.settlement->submitted = true;
    EngineEventResult failed;
    failed.settlement = MetamodSettlementSubmitResult{};
    failed.errors = {"http 503", "later"};
    EngineEventResult paid;
    paid.purchase = WeaponPurchaseDecision{true, false, "paid_spend", WeaponSpendDraftEntry{}};
    paid.purchase->spend->weapon_id = "ak47";
    paid.purchase->spend->zolt_cost = 2500;
    EngineEventResult refused_purchase;
    refused_purchase.purchase = WeaponPurchaseDecision{};
    EngineEventResult reward;
    reward.accepted = true;
    reward.reward = RewardDraftEntry{1, "STEAM_0:1:1", 1, 0, 250};
    EngineEventResult no_reward = reward;
    no_reward.reward->reward_zolt = 0;
    EngineMenuActionResult queued{true, "transfer_queued", std::nullopt,
                                  TransferMenuSelectionResult{true, "transfer_queued", {}}};
    queued.transfer->intent = TransferIntent{};
    queued.transfer->intent->intent_id = 9;
    queued.transfer->intent->from_slot = 1;
    queued.transfer->intent->to_slot = 2;
    queued.transfer->intent->amount = 150;
    const EngineMenuActionResult closed{false, "menu_closed", std::nullopt, std::nullopt};
    EngineCommandResult panel = Command(true, "crypto", "crypto_menu_rendered");
    panel.panel = EngineCommandPanel{"Iron-Post", "body", 519, 15, true};
    EngineCommandResult motd = Command(true, "help", "r");
    motd.motd = EngineMotdPanel{"", "motd body"};
    EngineCommandResult transfer = Command(false, "menuselect", "below_minimum");
    transfer.transfer = TransferMenuSelectionResult{false, "below_minimum", {}};
    EngineCommandResult transfer_menu = Command(true, "zolt", "menu_rendered");
    transfer_menu.menu = Menu(100, 0, {Recipient(2, true)});
    EngineCommandResult settled = Command(true, "cssettle", "alpha_round_submitted");
    settled.settlement = submitted.settlement;
    EngineCommandResult foreign = Command(false, "say", "not_ironpost_command");
    foreign.handled = false;

    struct Case {
        std::string what;
        std::vector<EngineNotification> built;
        Lines expected;
    };
    const std::vector<Case> cases = {
        {"no settlement", BuildSettlementNotifications(1, EngineEventResult{}), {}},
        {"submitted without response",
         BuildSettlementNotifications(0, submitted),
         {"chat/info 0 Iron-Post: round settlement submitted: unknown",
          "log/info 0 ironpost: round settlement submitted with relay status unknown"}},
        {"failed",
         BuildSettlementNotifications(2, failed),
         {"chat/error 2 Iron-Post: round settlement failed: http 503",
          "log/error 0 ironpost: round settlement failed: http 503"}},
        {"paid purchase",
         BuildPurchaseNotifications(3, paid, 2),
         {"chat/info 3 Iron-Post: purchase allowed: paid_spend ak47 for 25.00 ZOLT",
          "log/info 0 ironpost: purchase allowed for slot 3: paid_spend"}},
        {"refused purchase",
         BuildPurchaseNotifications(-1, refused_purchase),
         {"chat/warning -1 Iron-Post: purchase rejected: unknown",
          "log/warning 0 ironpost: purchase rejected for slot -1: unknown"}},
        {"reward",
         BuildRewardNotifications(1, reward, 400, 2),
         {"chat/info 1 Iron-Post: +2.50 ZOLT earned - round finalizes on-chain",
          "log/info 0 ironpost: queued 250 ZOLT reward for slot 1, pending round total 400"}},
        {"zero reward", BuildRewardNotifications(1, no_reward, 400), {}},
        {"transfer queued",
         BuildMenuActionNotifications(1, queued, 2),
         {"chat/info 1 Iron-Post: queued 1.50 ZOLT to slot 2",
          "log/info 0 ironpost: queued zolt transfer 9 from slot 1 to slot 2"}},
        {"menu closed",
         BuildMenuActionNotifications(1, closed),
         {"chat/info 1 Iron-Post: Zolt menu action rejected: menu_closed",
          "log/info 0 ironpost: zolt menu action rejected for slot 1: menu_closed"}},
        {"command panel",
         BuildCommandNotifications(5, panel),
         {"menu/info 5 body [Iron-Post 519 15]",
          "log/info 0 ironpost: rendered crypto command panel for slot 5"}},
        {"motd",
         BuildCommandNotifications(5, motd),
         {"motd/info 5 motd body [Iron-Post 0 10]",
          "log/info 0 ironpost: rendered help MOTD panel for slot 5"}},
        {"menu key refused",
         BuildCommandNotifications(5, transfer),
         {"chat/warning 5 Iron-Post: Zolt menu action rejected: below_minimum",
          "log/warning 0 ironpost: zolt menu action rejected for slot 5: below_minimum"}},
        {"transfer menu",
         BuildCommandNotifications(5, transfer_menu, 2),
         {"menu/info 5 Iron-Post Zolt\nAmount: min 1.00 ZOLT, no max\n1. p2\n0. Close [ 513 10]",
          "log/info 0 ironpost: rendered menu for slot 5"}},
        {"operator settled",
         BuildCommandNotifications(0, settled),
         {"chat/info 0 Iron-Post: round settlement submitted: unknown",
          "log/info 0 ironpost: round settlement submitted with relay status unknown"}},
        {"operator refused",
         BuildCommandNotifications(5, Command(false, "csround", "operator_command_refused")),
         {"chat/warning 5 Iron-Post: Command rejected: operator_command_refused",
          "log/warning 0 ironpost: command rejected for slot 5: operator_command_refused"}},
        {"not ours", BuildCommandNotifications(5, foreign), {}},
        {"round started", BuildCommandNotifications(0, Command(true, "csround", "s")), {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DescribeAll(c.built), c.expected) << c.what;
    }
}

TEST(EngineOutput, NotificationsBecomeEngineCalls) {
    const auto notification = [](EngineNotificationChannel channel, std::int32_t slot,
                                 std::string message, std::string title = "") {
        EngineNotification n;
        n.channel = channel;
        n.slot = slot;
        n.message = std::move(message);
        n.title = std::move(title);
        n.menu_key_mask = 519;
        n.menu_display_seconds = 15;
        return n;
    };
    std::string twelve;
    for (int line = 1; line <= 12; ++line) {
        twelve += "l" + std::to_string(line) + "\n";
    }
    using C = EngineNotificationChannel;
    struct Case {
        EngineNotification notification;
        Lines calls;
    };
    const std::vector<Case> cases = {
        {notification(C::Chat, 2, "hi"), {"ClientPrintf 2 |hi|2 0 10"}},
        {notification(C::Hud, 2, "hi"), {"ClientPrintf 2 |hi|2 0 10"}},
        {notification(C::Menu, 3, "m", "ignored"), {"ShowMenu 3 ShowMenu|m|0 519 15"}},
        {notification(C::Menu, 0, "a\r\n\nb"),
         {"ClientPrintf 0 |[Iron-Post] a|2 0 10", "ClientPrintf 0 |[Iron-Post] b|2 0 10"}},
        {notification(C::Menu, 0, ""),
         {"ClientPrintf 0 |[Iron-Post] Iron-Post panel opened|2 0 10"}},
        {notification(C::Motd, 4, "body"), {"MOTD 4 Iron-Post|body|0 0 10"}},
        {notification(C::Log, 4, "ironpost: x"), {"ServerPrint 0 |ironpost: x|0 0 10"}},
        {notification(static_cast<C>(9), 4, "y"), {"ServerPrint 0 |y|0 0 10"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DescribeAll(BuildEngineOutputCalls(c.notification)), c.calls)
            << c.notification.message;
    }
    const Lines console = DescribeAll(BuildEngineOutputCalls(notification(C::Menu, 0, twelve)));
    ASSERT_EQ(console.size(), 11u);
    EXPECT_EQ(console[9], "ClientPrintf 0 |[Iron-Post] l10|2 0 10");
    EXPECT_EQ(console[10], "ClientPrintf 0 |[Iron-Post] ...|2 0 10");
    EXPECT_STREQ(EngineOutputCallKindName(static_cast<EngineOutputCallKind>(2)), "RegUserMsg");
    EXPECT_STREQ(EngineOutputCallKindName(static_cast<EngineOutputCallKind>(42)), "ServerPrint");
}

class RecordingOutputSink final : public EngineOutputSink {
  public:
    void PublishEngineOutputCall(const EngineOutputCall& call) override { calls.push_back(call); }
    std::vector<EngineOutputCall> calls;
};

// The transfer menu end to end: opened from the session, shown, a key
// pressed, and the player told what was queued, with the configured decimals.
TEST_F(SessionTest, TransferMenuQueuesTheChosenAmountAndTellsThePlayer) {
    RecordingOutputSink output;
    EngineOutputBridge screen(output);
    EngineNotificationBridge notifications(screen);
    EngineMenuBridge menus(session_);
    EXPECT_EQ(menus.OpenZoltMenu(1, TransferMenuRenderOptions()).reason,
              "plugin_session_not_loaded");

    LoadOrFail("ironpost_currency_decimals 2\nironpost_transfer_min_zolt 100\n");
    notifications.SetCurrencyDecimals(session_.Config().currency_decimals);
    SeatPlayersAndStartRound();
    const EngineMenuOpenResult open =
        menus.OpenZoltMenu(1, TransferMenuRenderOptions(notifications.CurrencyDecimals()));
    ASSERT_TRUE(open.accepted) << open.reason;
    EXPECT_EQ(notifications.EmitMenuOpen(1, open), 2u);
    EXPECT_TRUE(notifications.LastMenuShown());
    const std::string shown =
        "ShowMenu 1 ShowMenu|Iron-Post Zolt\nAmount: min 1.00 ZOLT, no max\n1. ";
    EXPECT_EQ(Describe(output.calls.front()).substr(0, shown.size()), shown);

    ASSERT_EQ(open.view->options.front().target_slot, 2);
    const EngineMenuActionResult queued = menus.SubmitZoltMenuAction(*open.view, {1, 1, 250});
    ASSERT_TRUE(queued.accepted) << queued.reason;
    output.calls.clear();
    notifications.EmitMenuAction(1, queued);
    EXPECT_EQ(Describe(output.calls.front()),
              "ClientPrintf 1 |Iron-Post: queued 2.50 ZOLT to slot 2|2 0 10");
    EXPECT_EQ(session_.Runtime().PendingTransfers().size(), 1u);

    // A menu for the server console is printed, not shown.
    EXPECT_EQ(screen.PublishMenuView(RenderTransferMenu(TransferMenu{}, {}), 10), 2u);
    EXPECT_FALSE(screen.LastMenuShown());
}

}  // namespace
}  // namespace ironpost::session_test
