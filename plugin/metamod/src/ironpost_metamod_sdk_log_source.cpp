// The server log as an event source, the shared event-source bookkeeping, the
// live clock and the automatic settlement.

#include "ironpost_metamod_sdk_log_source.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <optional>
#include <string_view>

#include "ironpost_clock.h"
#include "ironpost_hlds_log.h"
#include "ironpost_metamod_adapter.h"
#include "ironpost_metamod_process.h"
#include "ironpost_metamod_sdk_dispatch.h"
#include "ironpost_metamod_sdk_engine_imports.h"
#include "ironpost_metamod_sdk_function_binding.h"

namespace ironpost {

namespace {

struct EventSourceCategory {
    explicit EventSourceCategory(const char* primary_source) : primary(primary_source) {}
    const char* primary;
    std::string last_source = "none";
    std::uint32_t fallback_count = 0;
    std::uint32_t suppressed_fallback_count = 0;
    std::string last_fallback_reason;
    std::string last_primary_signature;
    std::uint64_t last_primary_sequence = 0;
};

// Process-wide: they survive map changes and re-attach.
struct EventSources {
    EventSourceCategory player_lifecycle{"game-dll"};
    EventSourceCategory team{"alert-fallback"};
    EventSourceCategory combat{"alert-fallback"};
    EventSourceCategory round{"alert-fallback"};
    std::uint64_t sequence = 0;
    std::uint64_t pending_auto_settle_due_ms = 0;
    std::uint32_t live_round_number = 0;
};

EventSources& Sources() {
    static EventSources sources;
    return sources;
}

EventSourceCategory& Category(MetamodEventSourceCategory category) {
    EventSources& sources = Sources();
    switch (category) {
        case MetamodEventSourceCategory::PlayerLifecycle:
            return sources.player_lifecycle;
        case MetamodEventSourceCategory::Team:
            return sources.team;
        case MetamodEventSourceCategory::Combat:
            return sources.combat;
        case MetamodEventSourceCategory::Round:
        default:
            return sources.round;
    }
}

struct LiveClock {
    MonotonicClock clock;
    std::uint64_t last_engine_ms = 0;
    bool seen = false;
    std::uint64_t map_changes = 0;
};

LiveClock& Live() {
    static LiveClock live;
    return live;
}

std::string& LastAlertReason() {
    return IronpostMetamodSdkLastReasons().alert_message;
}

void RecordFallbackEvent(MetamodEventSourceCategory which, const char* reason) {
    EventSourceCategory& category = Category(which);
    ++Sources().sequence;
    category.last_source = "alert-fallback";
    ++category.fallback_count;
    category.last_fallback_reason = reason;
}

bool SuppressFallbackEvent(MetamodEventSourceCategory which, const std::string& signature,
                           const char* reason) {
    EventSourceCategory& category = Category(which);
    const std::uint64_t sequence = Sources().sequence;
    if (signature.empty() || signature != category.last_primary_signature ||
        category.last_primary_sequence == 0 || sequence < category.last_primary_sequence ||
        sequence - category.last_primary_sequence > kFallbackSuppressSequenceWindow) {
        return false;
    }
    category.last_source = "alert-suppressed";
    ++category.suppressed_fallback_count;
    category.last_fallback_reason = reason;
    return true;
}

MetamodSdkCallbackDispatcher& Dispatcher() {
    return IronpostMetamodSdkCallbackDispatcher();
}

// The runtime while the process is attached; null otherwise.
const PluginRuntime* AttachedRuntime() {
    MetamodProcessEntrypoint& process = IronpostMetamodProcessEntrypoint();
    return process.IsAttached() ? &process.Runtime().Host().Session().Runtime() : nullptr;
}

// A player of a log line, found in the server by the engine's user id.
struct LoggedPlayer {
    std::int32_t slot = 0;
    std::string name;
    std::string steam_id;
    std::string team;
};

std::optional<LoggedPlayer> FindLoggedPlayer(const HldsLogPlayer& player) {
    const int slot = IronpostMetamodSlotForUserId(player.user_id);
    if (slot < 1) {
        return std::nullopt;
    }
    return LoggedPlayer{slot, std::string(player.name), std::string(player.auth_id),
                        std::string(player.team)};
}

// Makes sure a player seen in the log exists in the runtime; true when it does.
bool DispatchLoggedPlayerConnect(const LoggedPlayer& player) {
    const PluginRuntime* runtime = AttachedRuntime();
    const std::optional<ConnectedPlayer> known =
        runtime != nullptr ? runtime->FindPlayer(player.slot) : std::nullopt;
    // A bot is whatever carries the fake-client flag, whatever id it logs
    // (bot managers may log made-up Steam ids).
    const bool fake_client = IronpostMetamodSlotIsFakeClient(player.slot);
    if (fake_client && known && known->is_bot) {
        return true;
    }
    if (!fake_client) {
        if (player.steam_id.empty() || player.steam_id == "BOT") {
            return false;
        }
        if (known) {
            // A pending id is upgraded by the frame's re-read, not by the log.
            if (known->steam_id == player.steam_id || IsPendingSteamId(known->steam_id)) {
                return true;
            }
            LastAlertReason() = "hlds_log_player_entered_slot_identity_mismatch_ignored";
            return false;
        }
    }
    const std::string steam_id = fake_client ? std::string("BOT") : player.steam_id;
    if (SuppressFallbackEvent(MetamodEventSourceCategory::PlayerLifecycle,
                              PlayerConnectSignature(player.slot, steam_id),
                              "hlds_log_player_entered")) {
        LastAlertReason() = "hlds_log_player_entered_suppressed_primary";
        return false;
    }
    // A human known only from the log is admitted as not eligible for rewards.
    const MetamodSdkDispatchResult result =
        Dispatcher().ClientConnect({player.slot, player.name, steam_id, true});
    IronpostMetamodSdkLastReasons().client_connect = result.reason;
    RecordFallbackEvent(
        MetamodEventSourceCategory::PlayerLifecycle,
        fake_client ? "hlds_log_bot_entered" : "hlds_log_player_entered_synthetic_bot");
    return result.accepted;
}

bool DispatchLoggedTeamInfo(const LoggedPlayer& player, const std::string& team) {
    if (SuppressFallbackEvent(MetamodEventSourceCategory::Team, TeamSignature(player.slot, team),
                              "hlds_log_team_joined")) {
        LastAlertReason() = "hlds_log_team_joined_suppressed_primary";
        return false;
    }
    const MetamodSdkDispatchResult result = Dispatcher().TeamInfo({player.slot, team});
    IronpostMetamodSdkLastReasons().team_info = result.reason;
    RecordFallbackEvent(MetamodEventSourceCategory::Team, "hlds_log_team_joined");
    return result.accepted;
}

// Kill and attack lines name each player's current team; the runtime hears
// of it only when it differs from what it knows.
void UpdateLoggedTeam(const LoggedPlayer& player) {
    const PluginRuntime* runtime = AttachedRuntime();
    const std::optional<PlayerRole> role = ParseEnginePlayerRole(player.team);
    const std::optional<ConnectedPlayer> known =
        runtime != nullptr ? runtime->FindPlayer(player.slot) : std::nullopt;
    if (role && known && known->role != *role) {
        static_cast<void>(DispatchLoggedTeamInfo(player, player.team));
    }
}

// Both players of a line, or nothing (the reason says why).
bool FindPair(const HldsLogLine& line, std::optional<LoggedPlayer>& actor,
              std::optional<LoggedPlayer>& victim) {
    actor = FindLoggedPlayer(line.actor);
    victim = FindLoggedPlayer(line.victim);
    if (!actor || !victim) {
        LastAlertReason() = "hlds_log_player_unknown_user_id_ignored";
        return false;
    }
    for (const LoggedPlayer* player : {&*actor, &*victim}) {
        static_cast<void>(DispatchLoggedPlayerConnect(*player));
        UpdateLoggedTeam(*player);
    }
    return true;
}

void HandleWeaponStats(const HldsLogLine& line) {
    const std::int32_t shots = line.numbers.shots.value_or(0);
    const std::int32_t hits = line.numbers.hits.value_or(0);
    if (shots <= 0 && hits <= 0) {
        return;  // nothing fired: the last reason stays
    }
    const std::optional<LoggedPlayer> player = FindLoggedPlayer(line.actor);
    if (!player) {
        LastAlertReason() = "hlds_log_player_unknown_user_id_ignored";
        return;
    }
    static_cast<void>(DispatchLoggedPlayerConnect(*player));
    UpdateLoggedTeam(*player);
    const MetamodSdkDispatchResult result =
        Dispatcher().WeaponStats({player->slot, static_cast<std::uint32_t>(std::max(shots, 0)),
                                  static_cast<std::uint32_t>(std::max(hits, 0))});
    IronpostMetamodSdkLastReasons().weapon_stats = result.reason;
    RecordFallbackEvent(MetamodEventSourceCategory::Combat, "hlds_log_weaponstats");
    if (result.accepted) {
        LastAlertReason() = "hlds_log_weaponstats";
    }
}

// A kill or an attack: suppressed when it repeats a direct event, else both
// players made known and the event dispatched.
template <typename Dispatch>
void HandleCombatLine(const HldsLogLine& line, const std::string& signature, const char* reason,
                      const char* suppressed_reason, std::string& kind_reason,
                      Dispatch&& dispatch) {
    if (SuppressFallbackEvent(MetamodEventSourceCategory::Combat, signature, reason)) {
        LastAlertReason() = suppressed_reason;
        return;
    }
    std::optional<LoggedPlayer> actor;
    std::optional<LoggedPlayer> victim;
    if (!FindPair(line, actor, victim)) {
        return;
    }
    const MetamodSdkDispatchResult result = dispatch(actor->slot, victim->slot);
    kind_reason = result.reason;
    RecordFallbackEvent(MetamodEventSourceCategory::Combat, reason);
    if (result.accepted) {
        LastAlertReason() = reason;
    }
}

void HandleAttack(const HldsLogLine& line) {
    const std::optional<std::int32_t> damage = line.numbers.damage;
    if (!damage || *damage < 0) {
        LastAlertReason() = "sdk_alert_message_ignored";
        return;
    }
    const auto amount = static_cast<std::uint64_t>(*damage);
    HandleCombatLine(line,
                     DamageSignature(IronpostMetamodSlotForUserId(line.actor.user_id),
                                     IronpostMetamodSlotForUserId(line.victim.user_id), amount),
                     "hlds_log_damage", "hlds_log_damage_suppressed_primary",
                     IronpostMetamodSdkLastReasons().damage, [amount](int attacker, int victim) {
                         return Dispatcher().Damage({attacker, victim, amount});
                     });
}

void HandleKill(const HldsLogLine& line) {
    HandleCombatLine(line,
                     KillSignature(IronpostMetamodSlotForUserId(line.actor.user_id),
                                   IronpostMetamodSlotForUserId(line.victim.user_id)),
                     "hlds_log_kill", "hlds_log_kill_suppressed_primary",
                     IronpostMetamodSdkLastReasons().death_msg, [&line](int killer, int victim) {
                         return Dispatcher().DeathMsg({killer, victim, line.headshot});
                     });
}

void HandlePlayerLine(const HldsLogLine& line) {
    const std::optional<LoggedPlayer> actor = FindLoggedPlayer(line.actor);
    if (!actor) {
        LastAlertReason() = "hlds_log_player_unknown_user_id_ignored";
        return;
    }
    if (line.kind == HldsLogKind::Entered) {
        if (DispatchLoggedPlayerConnect(*actor)) {
            LastAlertReason() = "hlds_log_player_entered";
        }
        return;
    }
    if (line.kind == HldsLogKind::JoinedTeam) {
        static_cast<void>(DispatchLoggedPlayerConnect(*actor));
        if (DispatchLoggedTeamInfo(*actor, std::string(line.team))) {
            LastAlertReason() = "hlds_log_team_joined";
        }
        return;
    }
    // Disconnected: the game logs it before the engine frees the slot.
    if (SuppressFallbackEvent(MetamodEventSourceCategory::PlayerLifecycle,
                              PlayerDisconnectSignature(actor->slot),
                              "hlds_log_player_disconnected")) {
        LastAlertReason() = "hlds_log_player_disconnected_suppressed_primary";
        return;
    }
    const MetamodSdkDispatchResult result = Dispatcher().ClientDisconnect({actor->slot});
    IronpostMetamodSdkLastReasons().client_disconnect = result.reason;
    RecordFallbackEvent(MetamodEventSourceCategory::PlayerLifecycle,
                        "hlds_log_player_disconnected");
    LastAlertReason() = "hlds_log_player_disconnected";
}

void HandleRoundStart() {
    if (SuppressFallbackEvent(MetamodEventSourceCategory::Round, "round_start",
                              "hlds_log_round_start")) {
        LastAlertReason() = "hlds_log_round_start_suppressed_primary";
        return;
    }
    RecordFallbackEvent(MetamodEventSourceCategory::Round, "hlds_log_round_start");
    LastAlertReason() = DispatchRoundStartSettlingPrevious().reason;
    IronpostMetamodServerPrint("[Iron-Post] observed Round_Start log event.\n");
}

void HandleRoundEnd() {
    if (SuppressFallbackEvent(MetamodEventSourceCategory::Round, "round_end",
                              "hlds_log_round_end")) {
        LastAlertReason() = "hlds_log_round_end_suppressed_primary";
        return;
    }
    RecordFallbackEvent(MetamodEventSourceCategory::Round, "hlds_log_round_end");
    if (!AutoSettlementEnabled()) {
        LastAlertReason() = "auto_settlement_disabled";
    } else if (!ActiveCombatRoundForAutoSettlement()) {
        ClearPendingAutoSettlement();
        LastAlertReason() = "empty_server_round_end_ignored";
        IronpostMetamodServerPrint(
            "[Iron-Post] ignored Round_End log event with no active combat round.\n");
    } else {
        Sources().pending_auto_settle_due_ms = IronpostMetamodLiveNowMs() + RoundFlushDelayMs();
        LastAlertReason() = "auto_settlement_scheduled";
        IronpostMetamodServerPrint(
            "[Iron-Post] observed Round_End log event; auto settlement scheduled.\n");
    }
}

void AppendCategory(std::string& out, const EventSourceCategory& category) {
    out += "{\"fallbackCount\":" + std::to_string(category.fallback_count);
    out += ",\"lastFallbackReason\":\"" + TelemetryJsonEscape(category.last_fallback_reason);
    out += "\",\"lastSource\":\"" + TelemetryJsonEscape(category.last_source);
    out += "\",\"primary\":\"" + TelemetryJsonEscape(category.primary);
    out += "\",\"suppressedFallbackCount\":" + std::to_string(category.suppressed_fallback_count);
    out += "}";
}

}  // namespace

MetamodSdkLastReasons& IronpostMetamodSdkLastReasons() {
    static MetamodSdkLastReasons reasons;
    return reasons;
}

MetamodServerCommandBudget& IronpostMetamodServerCommandBudget() {
    static MetamodServerCommandBudget budget;
    return budget;
}

std::string PlayerConnectSignature(std::int32_t slot, const std::string& steam_id) {
    return "connect:" + std::to_string(slot) + ":" + steam_id;
}

std::string PlayerDisconnectSignature(std::int32_t slot) {
    return "disconnect:" + std::to_string(slot);
}

std::string TeamSignature(std::int32_t slot, const std::string& team) {
    return "team:" + std::to_string(slot) + ":" + team;
}

std::string KillSignature(std::int32_t killer, std::int32_t victim) {
    return "kill:" + std::to_string(killer) + ":" + std::to_string(victim);
}

std::string DamageSignature(std::int32_t attacker, std::int32_t victim, std::uint64_t damage) {
    return "damage:" + std::to_string(attacker) + ":" + std::to_string(victim) + ":" +
           std::to_string(damage);
}

void RecordPrimaryEvent(MetamodEventSourceCategory which, const char* source,
                        const std::string& signature) {
    EventSourceCategory& category = Category(which);
    category.last_source = source;
    category.last_primary_signature = signature;
    category.last_primary_sequence = ++Sources().sequence;
}

std::uint64_t IronpostMetamodEventSourceSequence() {
    return Sources().sequence;
}

std::uint64_t IronpostMetamodLiveNowMs() {
    LiveClock& live = Live();
    const globalvars_t* globals = IronpostMetamodCapturedGlobals();
    if (globals == nullptr || !std::isfinite(globals->time)) {
        return live.clock.NowMs();
    }
    const double seconds = globals->time;
    const std::uint64_t engine_ms =
        seconds > 0.0 ? static_cast<std::uint64_t>(std::floor(seconds * 1000.0)) : 0;
    if (live.seen && engine_ms < live.last_engine_ms) {
        ++live.map_changes;
    }
    live.seen = true;
    live.last_engine_ms = engine_ms;
    return live.clock.Update(seconds);
}

std::uint64_t IronpostMetamodMapChangeCount() {
    return Live().map_changes;
}

bool AutoSettlementEnabled() {
    const IronPostConfig* config = IronpostMetamodProcessEntrypoint().AttachedConfig();
    return config != nullptr && config->auto_settlement_enabled;
}

std::uint32_t RoundFlushDelayMs() {
    const IronPostConfig* config = IronpostMetamodProcessEntrypoint().AttachedConfig();
    return config != nullptr ? config->round_flush_delay_ms : 250;
}

bool ActiveCombatRoundForAutoSettlement() {
    const PluginRuntime* runtime = AttachedRuntime();
    return runtime != nullptr && runtime->CombatHumanPlayerCount() != 0 &&
           runtime->CurrentRoundState().phase == RoundPhase::RoundActive;
}

std::uint64_t PendingAutoSettlementDueMs() {
    return Sources().pending_auto_settle_due_ms;
}

void ClearPendingAutoSettlement() {
    Sources().pending_auto_settle_due_ms = 0;
}

std::string ScheduleAutoSettlementFromRoundCandidate(std::uint64_t now_ms,
                                                     const std::string& scheduled_reason) {
    if (!AutoSettlementEnabled()) {
        return "auto_settlement_disabled";
    }
    if (!ActiveCombatRoundForAutoSettlement()) {
        ClearPendingAutoSettlement();
        return "round_end_candidate_no_active_combat_round";
    }
    Sources().pending_auto_settle_due_ms = now_ms + RoundFlushDelayMs();
    return scheduled_reason;
}

MetamodSdkDispatchResult DispatchOperatorSettlement() {
    return Dispatcher().ClientCommand({0, "cssettle", {}});
}

MetamodSdkDispatchResult DispatchRoundStartSettlingPrevious() {
    if (ActiveCombatRoundForAutoSettlement()) {
        // A restart (the policy's own sv_restartround, a map change) logs a
        // new round without ending the old one: settle it before it merges.
        ClearPendingAutoSettlement();
        const MetamodSdkDispatchResult settled = DispatchOperatorSettlement();
        IronpostMetamodServerPrint(
            std::string("[Iron-Post] round started during an active round; previous round ") +
            (settled.accepted ? "settled" : "settlement failed: " + settled.reason) + ".\n");
    }
    const std::uint32_t round_number = ++Sources().live_round_number;
    const MetamodSdkDispatchResult result = Dispatcher().RoundStart({round_number});
    IronpostMetamodSdkLastReasons().round_start = result.reason;
    return result;
}

std::uint32_t IronpostMetamodLiveRoundNumber() {
    return Sources().live_round_number;
}

std::string IronpostMetamodEventSourcesJson() {
    const EventSources& sources = Sources();
    const MetamodServerCommandBudget& budget = IronpostMetamodServerCommandBudget();
    std::string out = "{\"combat\":";
    AppendCategory(out, sources.combat);
    out += ",\"playerLifecycle\":";
    AppendCategory(out, sources.player_lifecycle);
    out += ",\"round\":";
    AppendCategory(out, sources.round);
    out += ",\"serverCommands\":{\"budgetWindowMs\":" + std::to_string(budget.window_ms);
    out += ",\"deferred\":" + std::to_string(budget.deferred);
    out += ",\"dropped\":" + std::to_string(budget.dropped);
    out += ",\"usedThisWindow\":" + std::to_string(budget.used) + "}";
    out += ",\"team\":";
    AppendCategory(out, sources.team);
    out += ",\"userMessages\":{\"liveDispatch\":false,\"mode\":\"disabled-safe-mode\"}}";
    return out;
}

void IronpostMetamodHandleLogLine(ALERT_TYPE type, const char* text) {
    // Only the server log carries the game's lines; developer messages are
    // free text anyone's plugin may write.
    if (type != at_logged) {
        LastAlertReason() = "sdk_alert_message_not_logged";
        return;
    }
    const HldsLogLine line = ParseHldsLogLine(text);
    switch (line.kind) {
        case HldsLogKind::WeaponStats:
            HandleWeaponStats(line);
            return;
        case HldsLogKind::Attack:
            HandleAttack(line);
            return;
        case HldsLogKind::Kill:
            HandleKill(line);
            return;
        case HldsLogKind::Entered:
        case HldsLogKind::JoinedTeam:
        case HldsLogKind::Disconnected:
            HandlePlayerLine(line);
            return;
        case HldsLogKind::RoundStart:
            HandleRoundStart();
            return;
        case HldsLogKind::RoundEnd:
            HandleRoundEnd();
            return;
        case HldsLogKind::Refused:
            LastAlertReason() = "hlds_log_line_refused";
            return;
        default:
            LastAlertReason() = "sdk_alert_message_ignored";
            return;
    }
}

}  // namespace ironpost

using namespace ironpost;

void IronpostMetamodAlertMessageHook(ALERT_TYPE type, const char* format, ...) {
    // The game formats each line into 1024 bytes; longer text is cut here.
    char line[kHldsLogLineBufferBytes];
    bool formatted = false;
    if (format != nullptr) {
        va_list arguments;
        va_start(arguments, format);
        formatted = std::vsnprintf(line, sizeof(line), format, arguments) >= 0;
        va_end(arguments);
    }
    IronpostNoThrow("IronpostMetamodAlertMessageHook", [&] {
        if (format == nullptr) {
            LastAlertReason() = "sdk_alert_message_empty";
        } else if (!formatted) {
            LastAlertReason() = "sdk_alert_message_format_failed";
        } else {
            IronpostMetamodHandleLogLine(type, line);
        }
    });
    SetIronpostMetaResult(MRES_IGNORED);
}

const char* ironpost_metamod_sdk_event_sources_json() {
    static std::string cache;
    IronpostNoThrow("ironpost_metamod_sdk_event_sources_json",
                    [] { cache = IronpostMetamodEventSourcesJson(); });
    return cache.c_str();
}

const char* ironpost_metamod_sdk_last_alert_message_reason() {
    return IronpostNoThrow("ironpost_metamod_sdk_last_alert_message_reason", "",
                           [] { return LastAlertReason().c_str(); });
}
