// Notification builders with their fixed texts, and the notification bridge.

#include "ironpost_notification_bridge.h"

#include <utility>

namespace ironpost {

namespace {

using Notifications = std::vector<EngineNotification>;
using Severity = EngineNotificationSeverity;

EngineNotification Chat(std::int32_t slot, Severity severity, const std::string& text) {
    EngineNotification notification;
    notification.channel = EngineNotificationChannel::Chat;
    notification.severity = severity;
    notification.slot = slot;
    notification.message = "Iron-Post: " + text;
    return notification;
}

EngineNotification Log(Severity severity, const std::string& text) {
    EngineNotification notification;
    notification.channel = EngineNotificationChannel::Log;
    notification.severity = severity;
    notification.message = "ironpost: " + text;
    return notification;
}

EngineNotification Panel(EngineNotificationChannel channel, std::int32_t slot, std::string body,
                         std::string title, std::uint16_t mask, std::int32_t seconds) {
    EngineNotification notification;
    notification.channel = channel;
    notification.slot = slot;
    notification.message = std::move(body);
    notification.title = std::move(title);
    notification.menu_key_mask = mask;
    notification.menu_display_seconds = seconds;
    return notification;
}

std::string ReasonOrUnknown(const std::string& reason) {
    return reason.empty() ? "unknown" : reason;
}

}  // namespace

const char* EngineNotificationChannelName(EngineNotificationChannel channel) {
    switch (channel) {
        case EngineNotificationChannel::Chat:
            return "chat";
        case EngineNotificationChannel::Hud:
            return "hud";
        case EngineNotificationChannel::Menu:
            return "menu";
        case EngineNotificationChannel::Motd:
            return "motd";
        default:
            return "log";
    }
}

const char* EngineNotificationSeverityName(EngineNotificationSeverity severity) {
    switch (severity) {
        case EngineNotificationSeverity::Warning:
            return "warning";
        case EngineNotificationSeverity::Error:
            return "error";
        default:
            return "info";
    }
}

Notifications BuildSettlementNotifications(std::int32_t slot, const EngineEventResult& result) {
    if (!result.settlement) {
        return {};
    }
    const MetamodSettlementSubmitResult& settlement = *result.settlement;
    if (result.accepted && settlement.submitted) {
        const std::string status =
            settlement.response ? SettlementRelayStatusName(settlement.response->relay_status)
                                : "unknown";
        return {Chat(slot, Severity::Info, "round settlement submitted: " + status),
                Log(Severity::Info, "round settlement submitted with relay status " + status)};
    }
    const std::string error =
        result.errors.empty() ? ReasonOrUnknown(result.reason) : result.errors.front();
    return {Chat(slot, Severity::Error, "round settlement failed: " + error),
            Log(Severity::Error, "round settlement failed: " + error)};
}

Notifications BuildPurchaseNotifications(std::int32_t slot, const EngineEventResult& result,
                                         std::uint32_t currency_decimals) {
    if (!result.purchase) {
        return {};
    }
    const WeaponPurchaseDecision& decision = *result.purchase;
    const std::string player = std::to_string(slot);
    if (decision.allowed) {
        std::string weapon;
        if (decision.spend) {
            weapon = " " + decision.spend->weapon_id + " for " +
                     FormatZoltAmount(decision.spend->zolt_cost, currency_decimals) + " ZOLT";
        }
        return {
            Chat(slot, Severity::Info, "purchase allowed: " + decision.reason + weapon),
            Log(Severity::Info, "purchase allowed for slot " + player + ": " + decision.reason)};
    }
    const std::string reason = ReasonOrUnknown(decision.reason);
    return {Chat(slot, Severity::Warning, "purchase rejected: " + reason),
            Log(Severity::Warning, "purchase rejected for slot " + player + ": " + reason)};
}

Notifications BuildRewardNotifications(std::int32_t slot, const EngineEventResult& result,
                                       std::uint64_t pending_round_total,
                                       std::uint32_t currency_decimals) {
    if (!result.accepted || !result.reward || result.reward->reward_zolt == 0) {
        return {};
    }
    const std::uint64_t reward = result.reward->reward_zolt;
    return {Chat(slot, Severity::Info,
                 "+" + FormatZoltAmount(reward, currency_decimals) +
                     " ZOLT earned - round finalizes on-chain"),
            Log(Severity::Info, "queued " + std::to_string(reward) + " ZOLT reward for slot " +
                                    std::to_string(slot) + ", pending round total " +
                                    std::to_string(pending_round_total))};
}

Notifications BuildMenuActionNotifications(std::int32_t slot, const EngineMenuActionResult& result,
                                           std::uint32_t currency_decimals) {
    if (result.accepted && result.transfer && result.transfer->intent) {
        const TransferIntent& intent = *result.transfer->intent;
        const std::string to = std::to_string(intent.to_slot);
        return {Chat(slot, Severity::Info,
                     "queued " + FormatZoltAmount(intent.amount, currency_decimals) +
                         " ZOLT to slot " + to),
                Log(Severity::Info, "queued zolt transfer " + std::to_string(intent.intent_id) +
                                        " from slot " + std::to_string(intent.from_slot) +
                                        " to slot " + to)};
    }
    const Severity severity = result.reason == "menu_closed" ? Severity::Info : Severity::Warning;
    const std::string reason = ReasonOrUnknown(result.reason);
    return {Chat(slot, severity, "Zolt menu action rejected: " + reason),
            Log(severity,
                "zolt menu action rejected for slot " + std::to_string(slot) + ": " + reason)};
}

Notifications BuildMenuOpenNotifications(std::int32_t slot, const EngineMenuOpenResult& result) {
    if (result.accepted && result.view) {
        return {Panel(EngineNotificationChannel::Menu, slot, result.view->body, "",
                      EngineMenuKeyMask(*result.view), 10),
                Log(Severity::Info, "rendered menu for slot " + std::to_string(slot))};
    }
    const std::string reason = ReasonOrUnknown(result.reason);
    return {Chat(slot, Severity::Warning, "Menu unavailable: " + reason),
            Log(Severity::Warning,
                "menu unavailable for slot " + std::to_string(slot) + ": " + reason)};
}

Notifications BuildCommandNotifications(std::int32_t slot, const EngineCommandResult& result,
                                        std::uint32_t currency_decimals) {
    if (!result.handled) {
        return {};
    }
    const std::string player = std::to_string(slot);
    const std::string& command = result.command;
    if (result.menu) {
        return BuildMenuOpenNotifications(
            slot,
            EngineMenuOpenResult{
                result.accepted, result.reason,
                RenderTransferMenu(*result.menu, TransferMenuRenderOptions(currency_decimals))});
    }
    if (result.motd) {
        const std::string& title = result.motd->title;
        return {Panel(EngineNotificationChannel::Motd, slot, result.motd->body,
                      title.empty() ? "Iron-Post" : title, 0, 10),
                Log(Severity::Info, "rendered " + command + " MOTD panel for slot " + player)};
    }
    if (result.panel) {
        const EngineCommandPanel& panel = *result.panel;
        return {Panel(EngineNotificationChannel::Menu, slot, panel.body, panel.title,
                      panel.menu_key_mask, panel.display_seconds),
                Log(Severity::Info, "rendered " + command + " command panel for slot " + player)};
    }
    if (result.status_message) {
        const Severity severity = result.accepted ? Severity::Info : Severity::Warning;
        return {Chat(slot, severity, *result.status_message),
                Log(severity, "rendered " + command + " status for slot " + player + ": " +
                                  ReasonOrUnknown(result.reason))};
    }
    if (result.transfer) {
        return BuildMenuActionNotifications(
            slot,
            EngineMenuActionResult{result.accepted, result.reason, std::nullopt, result.transfer},
            currency_decimals);
    }
    if (!result.accepted) {
        const std::string reason = ReasonOrUnknown(result.reason);
        return {Chat(slot, Severity::Warning, "Command rejected: " + reason),
                Log(Severity::Warning, "command rejected for slot " + player + ": " + reason)};
    }
    // An operator's accepted settlement tells the operator how it went.
    if (result.settlement) {
        EngineEventResult settled;
        settled.accepted = true;
        settled.reason = result.reason;
        settled.errors = result.settlement->errors;
        settled.settlement = result.settlement;
        return BuildSettlementNotifications(slot, settled);
    }
    return {};
}

EngineNotificationBridge::EngineNotificationBridge(EngineNotificationSink& sink) : sink_(sink) {}

std::size_t EngineNotificationBridge::Publish(
    const std::vector<EngineNotification>& notifications) {
    for (const EngineNotification& notification : notifications) {
        sink_.PublishEngineNotification(notification);
    }
    return notifications.size();
}

void EngineNotificationBridge::SetCurrencyDecimals(std::uint32_t currency_decimals) {
    currency_decimals_ = currency_decimals;
}

std::size_t EngineNotificationBridge::EmitSettlement(std::int32_t slot,
                                                     const EngineEventResult& result) {
    return Publish(BuildSettlementNotifications(slot, result));
}

std::size_t EngineNotificationBridge::EmitPurchase(std::int32_t slot,
                                                   const EngineEventResult& result) {
    return Publish(BuildPurchaseNotifications(slot, result, currency_decimals_));
}

std::size_t EngineNotificationBridge::EmitReward(std::int32_t slot, const EngineEventResult& result,
                                                 std::uint64_t pending_round_total) {
    return Publish(BuildRewardNotifications(slot, result, pending_round_total, currency_decimals_));
}

std::size_t EngineNotificationBridge::EmitMenuAction(std::int32_t slot,
                                                     const EngineMenuActionResult& result) {
    return Publish(BuildMenuActionNotifications(slot, result, currency_decimals_));
}

std::size_t EngineNotificationBridge::EmitMenuOpen(std::int32_t slot,
                                                   const EngineMenuOpenResult& result) {
    return Publish(BuildMenuOpenNotifications(slot, result));
}

std::size_t EngineNotificationBridge::EmitCommand(std::int32_t slot,
                                                  const EngineCommandResult& result) {
    return Publish(BuildCommandNotifications(slot, result, currency_decimals_));
}

}  // namespace ironpost
