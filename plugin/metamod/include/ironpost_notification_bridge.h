#pragma once

// Everything a player or the operator should see leaves the game logic as an
// EngineNotification: one chat line, HUD text, menu, MOTD panel or log line.
// The builders turn each kind of result into its notifications with fixed
// texts; EngineNotificationBridge hands them to a sink, which in the running
// server turns them into engine output. The builders never touch the engine.
// Main thread only.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ironpost_engine_bridge.h"
#include "ironpost_menu_bridge.h"

namespace ironpost {

enum class EngineNotificationChannel : std::int32_t {
    Chat = 0,
    Hud = 1,
    Menu = 2,
    Motd = 3,
    Log = 4,
};

enum class EngineNotificationSeverity : std::int32_t {
    Info = 0,
    Warning = 1,
    Error = 2,
};

// "chat", "hud", "menu", "motd"; "log" for anything else.
[[nodiscard]] const char* EngineNotificationChannelName(EngineNotificationChannel channel);
// "warning", "error"; "info" for anything else.
[[nodiscard]] const char* EngineNotificationSeverityName(EngineNotificationSeverity severity);

struct EngineNotification {
    EngineNotificationChannel channel = EngineNotificationChannel::Chat;
    EngineNotificationSeverity severity = EngineNotificationSeverity::Info;
    std::int32_t slot = 0;  // 0 for log lines and messages aimed at no player
    std::string message;    // for Menu and Motd the panel body
    std::uint16_t menu_key_mask = 0;
    std::int32_t menu_display_seconds = 10;
    bool menu_needs_more = false;
    std::string title;  // Menu and Motd only
};

class EngineNotificationSink {
  public:
    virtual ~EngineNotificationSink() = default;
    virtual void PublishEngineNotification(const EngineNotification& notification) = 0;
    // Whether the last Menu notification really reached its player as an
    // on-screen menu (not as chat lines, and not lost). The host remembers a
    // menu for key presses only when it was shown. Sinks that cannot tell
    // answer true.
    [[nodiscard]] virtual bool LastMenuShown() const { return true; }
};

// The builders, each in the order its notifications are published. Amounts a
// player reads are written with `currency_decimals` places; log lines keep
// the smallest unit.
[[nodiscard]] std::vector<EngineNotification> BuildSettlementNotifications(
    std::int32_t slot, const EngineEventResult& result);
[[nodiscard]] std::vector<EngineNotification> BuildPurchaseNotifications(
    std::int32_t slot, const EngineEventResult& result, std::uint32_t currency_decimals = 0);
[[nodiscard]] std::vector<EngineNotification> BuildRewardNotifications(
    std::int32_t slot, const EngineEventResult& result, std::uint64_t pending_round_total,
    std::uint32_t currency_decimals = 0);
[[nodiscard]] std::vector<EngineNotification> BuildMenuActionNotifications(
    std::int32_t slot, const EngineMenuActionResult& result, std::uint32_t currency_decimals = 0);
[[nodiscard]] std::vector<EngineNotification> BuildMenuOpenNotifications(
    std::int32_t slot, const EngineMenuOpenResult& result);
[[nodiscard]] std::vector<EngineNotification> BuildCommandNotifications(
    std::int32_t slot, const EngineCommandResult& result, std::uint32_t currency_decimals = 0);

class EngineNotificationBridge {
  public:
    // The sink must outlive the bridge.
    explicit EngineNotificationBridge(EngineNotificationSink& sink);

    // Hands each notification to the sink in order; returns how many.
    std::size_t Publish(const std::vector<EngineNotification>& notifications);
    // The places amounts are shown with; the host sets the configuration's
    // `currency_decimals` at attach.
    void SetCurrencyDecimals(std::uint32_t currency_decimals);
    [[nodiscard]] std::uint32_t CurrencyDecimals() const { return currency_decimals_; }
    // The sink's word on the last Menu notification.
    [[nodiscard]] bool LastMenuShown() const { return sink_.LastMenuShown(); }

    // Build with the builder of the same name and publish; return the count.
    std::size_t EmitSettlement(std::int32_t slot, const EngineEventResult& result);
    std::size_t EmitPurchase(std::int32_t slot, const EngineEventResult& result);
    std::size_t EmitReward(std::int32_t slot, const EngineEventResult& result,
                           std::uint64_t pending_round_total);
    std::size_t EmitMenuAction(std::int32_t slot, const EngineMenuActionResult& result);
    std::size_t EmitMenuOpen(std::int32_t slot, const EngineMenuOpenResult& result);
    std::size_t EmitCommand(std::int32_t slot, const EngineCommandResult& result);

  private:
    EngineNotificationSink& sink_;
    std::uint32_t currency_decimals_ = 0;
};

}  // namespace ironpost
