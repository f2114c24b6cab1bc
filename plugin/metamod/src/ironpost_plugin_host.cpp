// The plugin host: lifecycle steps, event routing with the rules for
// abandoned rounds, and the frame tick.

#include "ironpost_plugin_host.h"

#include <algorithm>
#include <utility>

#include "ironpost_clock.h"

namespace ironpost {

namespace {

std::size_t HumanCount(const PluginRuntime& runtime) {
    const std::vector<ConnectedPlayer> players = runtime.ConnectedPlayers();
    return static_cast<std::size_t>(std::count_if(players.begin(), players.end(), IsHumanPlayer));
}

HostEventResult EventResult(EngineEventResult event, std::size_t notifications_published) {
    return HostEventResult{std::move(event), notifications_published};
}

EngineEventResult SettlementEvent(const MetamodSettlementSubmitResult& settlement,
                                  const char* submitted_reason, const char* rejected_reason) {
    EngineEventResult event;
    event.accepted = settlement.submitted;
    event.reason = settlement.submitted ? submitted_reason : rejected_reason;
    event.errors = settlement.errors;
    event.settlement = settlement;
    return event;
}

}  // namespace

MetamodPluginHost::MetamodPluginHost(BackendHttpClient& backend, EngineNotificationSink& sink)
    : session_(backend),
      entrypoints_(session_),
      events_(session_),
      menus_(session_),
      notifications_(sink) {}

bool MetamodPluginHost::IsAttached() const {
    return entrypoints_.IsAttached();
}

std::uint64_t MetamodPluginHost::NowMs() const {
    return clock_ ? clock_() : latest_tick_ms_;
}

std::uint32_t MetamodPluginHost::CurrencyDecimals() const {
    return notifications_.CurrencyDecimals();
}

// ---------------------------------------------------------------------------
// Lifecycle

HostLifecycleResult MetamodPluginHost::LifecycleResult(const MetamodEntrypointStatus& status) {
    EngineNotification notification;
    notification.channel = EngineNotificationChannel::Log;
    notification.severity =
        status.ok ? EngineNotificationSeverity::Info : EngineNotificationSeverity::Error;
    notification.message = std::string("ironpost: lifecycle ") +
                           MetamodEntrypointPhaseName(status.phase) + ": " + status.message;
    return HostLifecycleResult{status, notifications_.Publish({notification})};
}

std::size_t MetamodPluginHost::PublishSessionLogLines() {
    std::vector<EngineNotification> notifications;
    for (const std::string& line : session_.TakeSessionLogLines()) {
        EngineNotification notification;
        notification.channel = EngineNotificationChannel::Log;
        notification.severity = EngineNotificationSeverity::Warning;
        notification.message = "ironpost: " + line;
        notifications.push_back(std::move(notification));
    }
    return notifications_.Publish(notifications);
}

HostLifecycleResult MetamodPluginHost::Query() {
    return LifecycleResult(entrypoints_.Query());
}

HostLifecycleResult MetamodPluginHost::Attach(const std::string& config_path,
                                              CvarRegistry& cvar_registry) {
    HostLifecycleResult result = LifecycleResult(entrypoints_.Attach(config_path, cvar_registry));
    if (IsAttached()) {
        notifications_.SetCurrencyDecimals(session_.Config().currency_decimals);
    }
    return result;
}

HostLifecycleResult MetamodPluginHost::Detach() {
    active_menus_.clear();
    HostLifecycleResult result = LifecycleResult(entrypoints_.Detach());
    // The session names each settlement it stopped following.
    result.notifications_published += PublishSessionLogLines();
    return result;
}

// ---------------------------------------------------------------------------
// Events

std::size_t MetamodPluginHost::SettleAbandonedRound(const std::string& label, std::int32_t slot,
                                                    const char* submitted_reason,
                                                    const char* rejected_reason) {
    // The wall clock names the settlement; the host clock times its retries.
    const MetamodRoundEndContext context =
        AbandonedRoundEndContext(session_, label, WallClockUnixMs());
    const std::uint64_t now_ms = NowMs();
    const MetamodSettlementSubmitResult settlement = session_.OnRoundEnd(context, now_ms);
    if (settlement.round_ended) {
        // The round's gameplay events go out after every round end, however
        // the round was closed.
        events_.RecordBufferedEvent("round_end", now_ms, 0, 0, 0, context.request_id);
    }
    return notifications_.EmitSettlement(
        slot, SettlementEvent(settlement, submitted_reason, rejected_reason));
}

HostEventResult MetamodPluginHost::OnGameShutdown() {
    EngineEventResult result;
    result.accepted = true;
    result.reason = "game_shutdown_no_active_round";
    std::size_t published = 0;
    if (session_.IsLoaded() &&
        session_.Runtime().CurrentRoundState().phase == RoundPhase::RoundActive) {
        published = SettleAbandonedRound(kEmptyServerLabel, 0, "game_shutdown_round_submitted",
                                         "game_shutdown_round_submit_rejected");
        session_.Runtime().ResetRoundToIdle();
        result.reason = "game_shutdown_round_settled";
    }
    return EventResult(std::move(result), published + PublishSessionLogLines());
}

void MetamodPluginHost::OnMapChange(std::uint64_t now_ms) {
    session_.OnMapChange(now_ms);
}

HostEventResult MetamodPluginHost::OnClientAuthorized(const EnginePlayerAuthorizedEvent& event) {
    return EventResult(events_.OnClientAuthorized(event), 0);
}

HostEventResult MetamodPluginHost::OnClientIdentityValidated(
    const EnginePlayerAuthorizedEvent& event) {
    EngineEventResult result;
    if (!session_.IsLoaded()) {
        result.reason = "plugin_session_not_loaded";
    } else {
        result.accepted = session_.Runtime().UpgradePlayerIdentity(event.slot, event.steam_id);
        result.reason = result.accepted ? "client_identity_validated" : "client_identity_rejected";
    }
    return EventResult(std::move(result), 0);
}

HostEventResult MetamodPluginHost::OnClientDisconnect(const EngineSlotEvent& event) {
    ClearActiveMenu(event.slot);
    HostEventResult result = EventResult(events_.OnClientDisconnect(event), 0);
    if (!result.event.accepted || !session_.IsLoaded()) {
        return result;
    }
    PluginRuntime& runtime = session_.Runtime();
    if (HumanCount(runtime) != 0) {
        return result;
    }
    if (runtime.CurrentRoundState().phase == RoundPhase::RoundActive) {
        result.notifications_published =
            SettleAbandonedRound(kEmptyServerLabel, 0, "empty_server_round_submitted",
                                 "empty_server_round_submit_rejected");
    }
    runtime.ResetRoundToIdle();
    return result;
}

HostEventResult MetamodPluginHost::OnClientTeamChanged(const EnginePlayerTeamEvent& event) {
    const bool loaded = session_.IsLoaded();
    PluginRuntime& runtime = session_.Runtime();
    const std::optional<PlayerRole> role = ParseEnginePlayerRole(event.team_name);
    const std::optional<ConnectedPlayer> player =
        loaded ? runtime.FindPlayer(event.slot) : std::nullopt;
    // Read before the change is recorded: the only human leaving their side.
    const bool only_human_moves = player && IsHumanPlayer(*player) && HumanCount(runtime) == 1 &&
                                  role && *role != player->role;
    const RoundPhase phase = loaded ? runtime.CurrentRoundState().phase : RoundPhase::Idle;

    HostEventResult result = EventResult(events_.OnClientTeamChanged(event), 0);
    if (!result.event.accepted || !only_human_moves) {
        return result;
    }
    const bool to_spectators = *role == PlayerRole::Spectator;
    if (phase == RoundPhase::RoundActive) {
        result.notifications_published =
            SettleAbandonedRound(to_spectators ? kSpectatorIdleLabel : kSingleHumanTeamSwitchLabel,
                                 event.slot, "single_human_team_switch_round_submitted",
                                 "single_human_team_switch_round_submit_rejected");
        runtime.ResetRoundToIdle();
        runtime.ResetAlphaTeamPolicyEpoch();
        result.event.reason =
            to_spectators ? "single_human_spectator_idle" : "single_human_team_switch_round_reset";
    } else if (to_spectators) {
        // Nobody is left to play the next round; other humans' rounds stand.
        runtime.ResetRoundToIdle();
    }
    return result;
}

HostEventResult MetamodPluginHost::OnRoundStart(const EngineRoundStartEvent& event) {
    active_menus_.clear();
    if (session_.IsLoaded() && session_.Runtime().CombatHumanPlayerCount() == 0) {
        PluginRuntime& runtime = session_.Runtime();
        if (runtime.CurrentRoundState().phase != RoundPhase::Idle) {
            runtime.ResetRoundToIdle();
        }
        EngineEventResult ignored;
        ignored.accepted = true;
        ignored.reason = "empty_server_round_start_ignored";
        return EventResult(std::move(ignored), 0);
    }
    return EventResult(events_.OnRoundStart(event), 0);
}

HostEventResult MetamodPluginHost::OnRoundEnd(const EngineRoundEndEvent& event) {
    active_menus_.clear();
    EngineRoundEndEvent timed = event;
    timed.now_ms = NowMs();
    EngineEventResult result = events_.OnRoundEnd(timed);
    const std::size_t published = notifications_.EmitSettlement(0, result);
    return EventResult(std::move(result), published);
}

HostEventResult MetamodPluginHost::OnDamage(const EngineDamageEvent& event) {
    return EventResult(events_.OnDamage(event), 0);
}

HostEventResult MetamodPluginHost::OnKill(const EngineKillEvent& event) {
    HostEventResult result = EventResult(events_.OnKill(event), 0);
    if (!session_.IsLoaded()) {
        return result;
    }
    const PluginRuntime& runtime = session_.Runtime();
    if (!result.event.accepted) {
        // Every refused kill names its rule; say which one to the caller.
        result.event.errors.push_back(runtime.LastRefusalRule());
    } else if (session_.Config().player_feedback_enabled && result.event.reward) {
        result.notifications_published = notifications_.EmitReward(
            event.killer_slot, result.event, runtime.PendingRewardTotalForSlot(event.killer_slot));
    }
    return result;
}

HostEventResult MetamodPluginHost::OnRoundWin(const EngineRoundWinEvent& event) {
    return EventResult(events_.OnRoundWin(event), 0);
}

HostEventResult MetamodPluginHost::OnWeaponPurchase(const EngineWeaponPurchaseEvent& event) {
    EngineEventResult result = events_.OnWeaponPurchase(event);
    const std::size_t published = notifications_.EmitPurchase(event.slot, result);
    return EventResult(std::move(result), published);
}

HostEventResult MetamodPluginHost::OnWeaponStats(const EngineWeaponStatsEvent& event) {
    return EventResult(events_.OnWeaponStats(event), 0);
}

HostEventResult MetamodPluginHost::OnBuySetup() {
    active_menus_.clear();
    return EventResult(events_.OnBuySetup(), 0);
}

// ---------------------------------------------------------------------------
// Frame tick

HostTickResult MetamodPluginHost::OnFrameTick(const EngineFrameTickEvent& event) {
    latest_tick_ms_ = std::max(latest_tick_ms_, event.now_ms);
    HostTickResult result;
    if (!IsAttached()) {
        result.reason = "plugin_session_not_loaded";
        return result;
    }
    const std::uint64_t now_ms = event.now_ms;
    result.handled = true;
    result.alpha_team_policy = session_.Runtime().ReconcileAlphaTeamPolicy(now_ms, false);
    result.alpha_team_policy_actions = result.alpha_team_policy->actions;
    const bool with_actions = !result.alpha_team_policy_actions.empty();

    // Every due poll and every due retry, each settlement on its own: one
    // waiting for its back-off holds up none of the others. Polls go first,
    // so a settlement sent again now is asked about from the next frame on.
    const std::vector<MetamodSettlementSubmitResult> polls =
        session_.PollDueSettlementStatuses(now_ms);
    const std::vector<MetamodSettlementSubmitResult> retries =
        session_.SubmitDueSettlementRetries(now_ms);
    for (const MetamodSettlementSubmitResult& poll : polls) {
        result.notifications_published += notifications_.EmitSettlement(
            0, SettlementEvent(poll, "settlement_status_polled", "settlement_status_polled"));
    }
    for (const MetamodSettlementSubmitResult& retry : retries) {
        result.notifications_published += notifications_.EmitSettlement(
            0, SettlementEvent(retry, "settlement_retry_submitted", "settlement_retry_rejected"));
    }

    const auto rejected =
        std::find_if(retries.begin(), retries.end(),
                     [](const MetamodSettlementSubmitResult& retry) { return !retry.submitted; });
    if (!retries.empty()) {
        result.retry_attempted = true;
        result.settlement = rejected != retries.end() ? *rejected : retries.front();
        result.reason =
            rejected != retries.end() ? "settlement_retry_rejected" : "settlement_retry_submitted";
    } else if (!polls.empty()) {
        result.settlement = polls.front();
        result.reason = "settlement_status_polled";
    } else if (session_.HasPendingSettlementRetry()) {
        result.reason = with_actions ? "alpha_team_policy_reconciled_settlement_retry_not_due"
                                     : "settlement_retry_not_due";
    } else {
        result.reason =
            with_actions ? "alpha_team_policy_reconciled" : "no_pending_settlement_retry";
    }
    if (result.settlement && with_actions) {
        result.reason += "_with_alpha_team_policy";
    }
    result.notifications_published += PublishSessionLogLines();
    return result;
}

}  // namespace ironpost
