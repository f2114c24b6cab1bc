#pragma once

// The server log as an event source, and the bookkeeping every event source
// shares. The engine's alert-message hook hands over each log line; it is
// read by its structure (the parser in ironpost_hlds_log.h), its players are
// found by the engine's user id (the log's number is never a slot), and it
// becomes an SDK event for the dispatcher. The same event may also arrive
// from a primary source (the game-DLL hooks, the direct entry functions, the
// user messages): each category remembers its last primary event, and a log
// event repeating it within kFallbackSuppressSequenceWindow events is
// suppressed. A log round end schedules the automatic settlement; a round
// start during a running round settles that round first.
//
// Also here: the one live clock (monotonic milliseconds from the engine's
// map time), the last reason of every hook, and the event-source document.
// Main thread only.

#include <cstdint>
#include <string>

#include "ironpost_export.h"
#include "ironpost_metamod_sdk_events.h"
#include "ironpost_platform_metamod.h"

namespace ironpost {

enum class MetamodEventSourceCategory : std::int32_t {
    PlayerLifecycle = 0,
    Team,
    Combat,
    Round,
};

inline constexpr std::uint64_t kFallbackSuppressSequenceWindow = 16;

// What each hook and entry function did last, for the status functions.
struct MetamodSdkLastReasons {
    std::string client_connect = "sdk_client_connect_not_called";
    std::string client_disconnect = "sdk_client_disconnect_not_called";
    std::string client_command = "sdk_client_command_not_called";
    std::string start_frame = "sdk_start_frame_not_called";
    std::string team_info = "sdk_team_info_not_called";
    std::string death_msg = "sdk_death_msg_not_called";
    std::string damage = "sdk_damage_not_called";
    std::string user_message = "sdk_user_message_not_called";
    std::string alert_message = "sdk_alert_message_not_called";
    std::string round_start = "sdk_round_start_not_called";
    std::string round_end = "sdk_round_end_not_called";
    std::string round_win = "sdk_round_win_not_called";
    std::string weapon_purchase = "sdk_weapon_purchase_not_called";
    std::string weapon_stats = "sdk_weapon_stats_not_called";
    std::string buy_setup = "sdk_buy_setup_not_called";
    std::string game_shutdown = "sdk_game_shutdown_not_called";
};
[[nodiscard]] MetamodSdkLastReasons& IronpostMetamodSdkLastReasons();

// The policy's server commands and the per-second budget they pass.
struct MetamodServerCommandBudget {
    std::uint64_t window_ms = 0;  // start of the current one-second window; 0 = none
    std::uint32_t used = 0;       // commands issued in that window
    std::uint32_t deferred = 0;   // commands waiting for a later window
    std::uint64_t dropped = 0;    // commands given up since load
};
[[nodiscard]] MetamodServerCommandBudget& IronpostMetamodServerCommandBudget();

// Event signatures, compared to suppress a log event that repeats a primary one.
[[nodiscard]] std::string PlayerConnectSignature(std::int32_t slot, const std::string& steam_id);
[[nodiscard]] std::string PlayerDisconnectSignature(std::int32_t slot);
[[nodiscard]] std::string TeamSignature(std::int32_t slot, const std::string& team);
[[nodiscard]] std::string KillSignature(std::int32_t killer, std::int32_t victim);
[[nodiscard]] std::string DamageSignature(std::int32_t attacker, std::int32_t victim,
                                          std::uint64_t damage);

// A primary source saw an event: "game-dll", "direct-sdk" or "user-message".
void RecordPrimaryEvent(MetamodEventSourceCategory category, const char* source,
                        const std::string& signature);
// Events observed so far, primary and fallback.
[[nodiscard]] std::uint64_t IronpostMetamodEventSourceSequence();

// The live time: monotonic milliseconds from the engine's map time (0 before
// the globals are captured), never going back across a map change.
std::uint64_t IronpostMetamodLiveNowMs();
// How many times the live clock has seen the engine's time go back (a new map).
[[nodiscard]] std::uint64_t IronpostMetamodMapChangeCount();

// The automatic settlement: enabled and delayed as the attached configuration
// says; due only while humans play a running round.
[[nodiscard]] bool AutoSettlementEnabled();
[[nodiscard]] std::uint32_t RoundFlushDelayMs();
[[nodiscard]] bool ActiveCombatRoundForAutoSettlement();
// The due time of a scheduled automatic settlement; 0 when none.
[[nodiscard]] std::uint64_t PendingAutoSettlementDueMs();
void ClearPendingAutoSettlement();
// Schedules from a round-end candidate; returns the caller's reason: the
// scheduled one, "auto_settlement_disabled" or
// "round_end_candidate_no_active_combat_round".
[[nodiscard]] std::string ScheduleAutoSettlementFromRoundCandidate(
    std::uint64_t now_ms, const std::string& scheduled_reason);
// Runs the operator settlement of the live round now ("cssettle" as the
// server); the dispatch result.
[[nodiscard]] MetamodSdkDispatchResult DispatchOperatorSettlement();
// A new round begins: a round still running is settled first (the game does
// not always log its end), then the round start is dispatched with the next
// live round number.
[[nodiscard]] MetamodSdkDispatchResult DispatchRoundStartSettlingPrevious();
[[nodiscard]] std::uint32_t IronpostMetamodLiveRoundNumber();

// The event-source document (categories, server-command budget, user messages).
[[nodiscard]] std::string IronpostMetamodEventSourcesJson();

// The alert hook's work on one formatted log line of the given alert type.
void IronpostMetamodHandleLogLine(ALERT_TYPE type, const char* line);

}  // namespace ironpost

// The engine's alert-message hook. Reads only the server log (at_logged);
// the engine always writes the line itself.
IRONPOST_EXPORT void IronpostMetamodAlertMessageHook(ALERT_TYPE type, const char* format, ...);
IRONPOST_EXPORT const char* ironpost_metamod_sdk_event_sources_json();
IRONPOST_EXPORT const char* ironpost_metamod_sdk_last_alert_message_reason();
