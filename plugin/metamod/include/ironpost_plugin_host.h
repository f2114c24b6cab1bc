#pragma once

// The plugin host: the one object that owns the engine-neutral state of a
// loaded plugin (the session with its runtime, the lifecycle phase machine,
// the event, menu and notification bridges and the table of menus open on
// players' screens). The engine layer sees only the host. For each engine
// event it calls the event bridge, adds the rules that need more than one
// part of the system (menus closed at round boundaries, the settlement of a
// round its players abandoned), publishes what players should see, and once
// per server frame follows the settlements and the alpha team policy.
// Main thread only.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ironpost_engine_bridge.h"
#include "ironpost_menu_bridge.h"
#include "ironpost_metamod_module.h"
#include "ironpost_notification_bridge.h"
#include "ironpost_plugin_session.h"

namespace ironpost {

struct HostEventResult {
    EngineEventResult event;
    std::size_t notifications_published = 0;
};

struct HostCommandResult {
    EngineCommandResult command;
    std::optional<EngineMenuView> active_menu;  // the menu left open on the player's screen
    std::size_t notifications_published = 0;
};

struct HostMenuActionResult {
    EngineMenuActionResult action;
    std::size_t notifications_published = 0;
};

struct HostTickResult {
    bool handled = false;
    bool retry_attempted = false;
    std::string reason;
    // A rejected retry when there was one, else the first retry or poll sent.
    std::optional<MetamodSettlementSubmitResult> settlement;
    std::optional<AlphaTeamPolicySnapshot> alpha_team_policy;
    std::vector<AlphaTeamPolicyAction> alpha_team_policy_actions;
    std::size_t notifications_published = 0;
};

class MetamodPluginHost {
  public:
    // A menu on a player's screen, as the client shows it: it answers only
    // the keys it offered, and the client hides it after its display time or
    // any key press.
    struct ActiveMenuState {
        std::int32_t slot = 0;
        std::string kind;  // "crypto" (main menu and its views) or "zolt" (transfer menu)
        EngineMenuView view;
        std::uint16_t key_mask = 0;
        std::uint64_t expires_at_ms = 0;  // on the host clock; 0 until closed
        std::uint64_t amount = 0;         // transfer menu: the amount chosen before it opened
    };

    // The client and the sink must outlive the host.
    MetamodPluginHost(BackendHttpClient& backend, EngineNotificationSink& sink);
    MetamodPluginHost(const MetamodPluginHost&) = delete;
    MetamodPluginHost& operator=(const MetamodPluginHost&) = delete;

    [[nodiscard]] MetamodPluginSession& Session() { return session_; }
    [[nodiscard]] const MetamodPluginSession& Session() const { return session_; }
    [[nodiscard]] bool IsAttached() const;

    // The monotonic milliseconds every "now" of the host is read from;
    // without a source, the latest frame tick's time.
    void SetClock(std::function<std::uint64_t()> clock) { clock_ = std::move(clock); }
    [[nodiscard]] std::uint64_t NowMs() const;

    // Lifecycle steps of the loader, each published as a log notification.
    [[nodiscard]] HostLifecycleResult Query();
    [[nodiscard]] HostLifecycleResult Attach(const std::string& config_path,
                                             CvarRegistry& cvar_registry);
    // Closes every menu and unloads, naming what was dropped.
    [[nodiscard]] HostLifecycleResult Detach();

    [[nodiscard]] HostEventResult OnClientAuthorized(const EnginePlayerAuthorizedEvent& event);
    // The engine validated a player who connected under a pending id: the
    // slot takes the real id, keeping its role and join sequence.
    [[nodiscard]] HostEventResult OnClientIdentityValidated(
        const EnginePlayerAuthorizedEvent& event);
    // The last human leaving settles the running round.
    [[nodiscard]] HostEventResult OnClientDisconnect(const EngineSlotEvent& event);
    // The game's confirmation of a team change (its log line or TeamInfo),
    // the only source of roles. The only human leaving a running round
    // settles it.
    [[nodiscard]] HostEventResult OnClientTeamChanged(const EnginePlayerTeamEvent& event);
    // A round start without humans on a team is ignored.
    [[nodiscard]] HostEventResult OnRoundStart(const EngineRoundStartEvent& event);
    // Closes every menu and submits the round's settlement, timed on the
    // host clock whatever time the event carries.
    [[nodiscard]] HostEventResult OnRoundEnd(const EngineRoundEndEvent& event);
    [[nodiscard]] HostEventResult OnDamage(const EngineDamageEvent& event);
    [[nodiscard]] HostEventResult OnKill(const EngineKillEvent& event);
    [[nodiscard]] HostEventResult OnRoundWin(const EngineRoundWinEvent& event);
    [[nodiscard]] HostEventResult OnWeaponPurchase(const EngineWeaponPurchaseEvent& event);
    [[nodiscard]] HostEventResult OnWeaponStats(const EngineWeaponStatsEvent& event);
    [[nodiscard]] HostEventResult OnBuySetup();
    // The server is shutting down (the loader does not detach at exit): a
    // running round is settled as when the server empties.
    [[nodiscard]] HostEventResult OnGameShutdown();
    // A new map started: the session follows again what its journal holds.
    void OnMapChange(std::uint64_t now_ms);

    // Once per server frame: the alpha team policy, every due settlement
    // retry and status poll, and the session's log lines.
    [[nodiscard]] HostTickResult OnFrameTick(const EngineFrameTickEvent& event);

    // Every client command and every server command (slot 0): menu keys,
    // the transfer menu ("/zolt <amount>") and the commands of the bridge.
    [[nodiscard]] HostCommandResult HandleCommand(EngineCommandInput input);

    // A key press on the player's transfer menu; the menu closes with it.
    [[nodiscard]] HostMenuActionResult SubmitZoltMenuAction(const EngineMenuAction& action);

    // The table of open menus, at most one per slot; expired menus are gone.
    void StoreActiveMenu(ActiveMenuState state);
    [[nodiscard]] std::optional<ActiveMenuState> FindActiveMenuState(std::int32_t slot) const;
    [[nodiscard]] std::optional<EngineMenuView> FindActiveMenu(std::int32_t slot) const;
    [[nodiscard]] bool HasActiveMenu(std::int32_t slot) const;
    void ClearActiveMenu(std::int32_t slot);

    [[nodiscard]] std::vector<EngineBufferedGameplayEvent> SnapshotBufferedGameplayEvents() const {
        return events_.SnapshotBufferedEvents();
    }
    // Changes whenever a gameplay event is buffered; a copy is taken only then.
    [[nodiscard]] std::uint64_t LatestGameplayEventSequence() const {
        return events_.LatestEventSequence();
    }
    // The newest round end ever buffered; see EngineEventBridge.
    [[nodiscard]] std::uint64_t NewestBufferedRoundEndSequence() const {
        return events_.NewestRoundEndSequence();
    }

  private:
    [[nodiscard]] HostLifecycleResult LifecycleResult(const MetamodEntrypointStatus& status);
    // Publishes the session's log lines as log notifications; returns how many.
    std::size_t PublishSessionLogLines();
    // Submits the running round under a synthetic identity and publishes the
    // outcome to `slot`; returns the count published.
    std::size_t SettleAbandonedRound(const std::string& label, std::int32_t slot,
                                     const char* submitted_reason, const char* rejected_reason);
    // Remembers a menu the sink really showed; true when it did.
    bool RememberShownMenu(std::int32_t slot, const std::string& kind, const EngineMenuView& view,
                           std::uint16_t key_mask, std::int32_t display_seconds,
                           std::uint64_t amount = 0);
    [[nodiscard]] HostCommandResult HandleMenuKey(const EngineCommandInput& input);
    [[nodiscard]] HostCommandResult OpenTransferMenu(std::int32_t slot, const std::string& amount);
    [[nodiscard]] std::uint32_t CurrencyDecimals() const;

    MetamodPluginSession session_;
    MetamodEntrypointHost entrypoints_;
    EngineEventBridge events_;
    EngineMenuBridge menus_;
    EngineNotificationBridge notifications_;
    std::vector<ActiveMenuState> active_menus_;
    std::function<std::uint64_t()> clock_;
    std::uint64_t latest_tick_ms_ = 0;
};

}  // namespace ironpost
