#pragma once

// The engine-neutral front door of the game logic. The engine layer turns
// callbacks, user messages and log lines into the plain event records below;
// the host hands them to EngineEventBridge, which records each one in a
// bounded ring of recent gameplay events (read by the round-events telemetry)
// and forwards it to the session or the runtime. Player and operator commands
// ("zolt", "crypto", "crypto_help", "csround", "cssettle") come through the
// same bridge. Main thread only.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ironpost_metamod_adapter.h"
#include "ironpost_plugin.h"
#include "ironpost_plugin_session.h"

namespace ironpost {

// ---------------------------------------------------------------------------
// Event records. Slots are engine player slots (1 or more; 0 where an event
// has no player). Times are on the monotonic clock (ironpost_clock.h).

struct EnginePlayerAuthorizedEvent {
    std::int32_t slot = 0;
    std::string name;
    std::string steam_id;
    bool is_bot = false;
};

struct EngineSlotEvent {
    std::int32_t slot = 0;
};

// `team_name` is the engine's team text as received ("TERRORIST", "CT",
// "SPECTATOR").
struct EnginePlayerTeamEvent {
    std::int32_t slot = 0;
    std::string team_name;
};

struct EngineRoundStartEvent {
    std::uint32_t round_number = 0;
};

// The eight strings are copied one to one into the session's round-end
// context. `now_ms` is the monotonic clock the session's retries compare.
struct EngineRoundEndEvent {
    std::uint64_t now_ms = 0;
    std::string request_id;
    std::string received_at;
    std::string server_id;
    std::string session_id;
    std::string map_name_hash;
    std::string previous_round_hash;
    std::string roster_root;
    std::string config_hash;
};

struct EngineFrameTickEvent {
    std::uint64_t now_ms = 0;
};

struct EngineDamageEvent {
    std::int32_t attacker_slot = 0;
    std::int32_t victim_slot = 0;
    std::uint64_t damage = 0;
};

struct EngineKillEvent {
    std::int32_t killer_slot = 0;
    std::int32_t victim_slot = 0;
    bool headshot = false;
};

struct EngineRoundWinEvent {
    std::int32_t slot = 0;
};

// `round_number` 0: the source does not know the round.
struct EngineWeaponPurchaseEvent {
    std::int32_t slot = 0;
    std::string weapon_id;
    std::uint64_t zolt_cost = 0;
    std::uint32_t round_number = 0;
};

struct EngineWeaponStatsEvent {
    std::int32_t slot = 0;
    std::uint32_t shots_fired = 0;
    std::uint32_t shots_hit = 0;
};

// One client or server command. Slot 0 is the server itself (its console and
// the remote console); `now_ms` is the monotonic clock at the command, 0 when
// the caller does not know it.
struct EngineCommandInput {
    std::int32_t slot = 0;
    std::string command;
    std::vector<std::string> args;
    std::uint64_t now_ms = 0;
};

// ---------------------------------------------------------------------------
// Panels and results

struct EngineMotdPanel {
    std::string title;
    std::string body;
};

// Key masks: bit k-1 for key k = 1..9, bit 9 (512) for key 0.
struct EngineCommandPanel {
    std::string title;
    std::string body;
    std::uint16_t menu_key_mask = 0;
    std::int32_t display_seconds = 10;
    bool interactive = false;
};

struct EngineEventResult {
    bool accepted = false;
    std::string reason;
    std::vector<std::string> errors;
    std::optional<RewardDraftEntry> reward;
    std::optional<WeaponPurchaseDecision> purchase;
    std::optional<MetamodSettlementSubmitResult> settlement;
};

struct EngineCommandResult {
    bool handled = false;  // the command belongs to this plugin
    bool accepted = false;
    std::string command;  // the normalized command word
    std::string reason;
    std::optional<TransferMenu> menu;
    std::optional<TransferMenuSelectionResult> transfer;
    std::optional<MetamodSettlementSubmitResult> settlement;
    std::optional<EngineMotdPanel> motd;
    std::optional<std::string> status_message;
    std::optional<EngineCommandPanel> panel;
};

// One entry of the ring of recent gameplay events.
struct EngineBufferedGameplayEvent {
    std::uint64_t sequence = 0;  // 1, 2, ... never reused while the bridge lives
    std::uint64_t now_ms = 0;    // set for "round_end" only
    std::string type;
    std::int32_t slot = 0;
    std::int32_t peer_slot = 0;
    std::uint64_t value = 0;
    std::string detail;
};

// ---------------------------------------------------------------------------
// Command helpers

// Trims white space, strips wrapping quote pairs, lower-cases ASCII letters,
// removes every leading '/', then trims and strips quotes again.
[[nodiscard]] std::string NormalizeEngineCommand(const std::string& text);
// A decimal number of digits only (leading zeros allowed) within uint64;
// nothing for anything else, signs and spaces included.
[[nodiscard]] std::optional<std::uint64_t> ParseEngineUnsignedAmount(const std::string& text);
// The command word normalizes to "say" or "say_team".
[[nodiscard]] bool IsSayCommand(const EngineCommandInput& input);
// The words of a command, the command word first. A console command is its
// word and its arguments. Chat arrives as "say" with the whole message usually
// in one argument, so the message is normalized as one text and split at
// white space. Empty when there is no word.
[[nodiscard]] std::vector<std::string> EngineCommandTokens(const EngineCommandInput& input);

// An amount of the token's smallest unit written with `decimals` places:
// 1234 is "1234" with 0 and "12.34" with 2. Places beyond
// kMaxDisplayedCurrencyDecimals are not written.
[[nodiscard]] std::string FormatZoltAmount(std::uint64_t atomic, std::uint32_t decimals);
inline constexpr std::uint32_t kMaxDisplayedCurrencyDecimals = 30;
// The inverse for an amount a player types: "12" or "12.34" with at most
// `decimals` places, in the smallest unit; nothing for anything else.
[[nodiscard]] std::optional<std::uint64_t> ParseZoltAmount(const std::string& text,
                                                           std::uint32_t decimals);

// The host name players are sent to for linking a wallet.
inline constexpr char kWalletLinkHost[] = "ironpost.gg";

// The slot's chain profile when a balance refresh has ever succeeded for it;
// a profile made only by failed refreshes says nothing about the wallet.
[[nodiscard]] std::optional<PlayerChainProfile> KnownChainProfileForSlot(
    const PluginRuntime& runtime, std::int32_t slot);
// "Balance unavailable" without a known profile, "Wallet not linked",
// "unknown" for an empty balance text, else the backend's text and " ZOLT".
[[nodiscard]] std::string ZoltBalanceLine(const std::optional<PlayerChainProfile>& profile);
// The body of the balance panel and of the main menu's key-1 view.
[[nodiscard]] std::string BuildZoltBalanceBody(const std::optional<PlayerChainProfile>& profile);
// The body of the main menu's information view for key 1 (balance), 2
// (previous round earned) or 3 (session earned); nothing for other keys.
[[nodiscard]] std::optional<std::string> BuildCryptoInfoBody(const PluginRuntime& runtime,
                                                             std::int32_t slot, std::uint32_t key,
                                                             std::uint32_t currency_decimals = 0);

[[nodiscard]] EngineCommandPanel BuildCryptoHelpPanel(bool loaded);
[[nodiscard]] EngineCommandPanel BuildCommandUnloadedPanel();
[[nodiscard]] EngineCommandPanel BuildZoltBalancePanel(const PluginRuntime& runtime,
                                                       std::int32_t slot);
[[nodiscard]] EngineCommandPanel BuildCryptoMainMenuPanel();

// Labels of the rounds settled because the players left them.
inline constexpr char kSpectatorIdleLabel[] = "spectator-idle";
inline constexpr char kSingleHumanTeamSwitchLabel[] = "single-human-team-switch";
inline constexpr char kEmptyServerLabel[] = "empty";

// The context of a round settled by the operator command "cssettle" at wall
// time `wall_ms`; its session id carries the wall time of the first such
// command in this process.
[[nodiscard]] MetamodRoundEndContext AlphaCommandRoundEndContext(
    const MetamodPluginSession& session, std::uint64_t wall_ms);
// The context of a round settled because it was abandoned: `label` is
// kSingleHumanTeamSwitchLabel, kSpectatorIdleLabel or kEmptyServerLabel.
[[nodiscard]] MetamodRoundEndContext AbandonedRoundEndContext(const MetamodPluginSession& session,
                                                              const std::string& label,
                                                              std::uint64_t wall_ms);

// ---------------------------------------------------------------------------

class EngineEventBridge {
  public:
    // The session must outlive the bridge. The event ring and its sequence
    // numbers belong to the bridge and survive session unload and reload.
    explicit EngineEventBridge(MetamodPluginSession& session);
    EngineEventBridge(const EngineEventBridge&) = delete;
    EngineEventBridge& operator=(const EngineEventBridge&) = delete;

    [[nodiscard]] bool IsLoaded() const;
    [[nodiscard]] std::size_t BufferedEventCount() const;
    // The sequence number of the newest event recorded; 0 before the first.
    [[nodiscard]] std::uint64_t LatestEventSequence() const { return event_sequence_; }
    // A copy of the ring, oldest first.
    [[nodiscard]] std::vector<EngineBufferedGameplayEvent> SnapshotBufferedEvents() const;
    // The sequence of the newest "round_end" ever recorded (0: none), so a
    // per-frame check can tell that nothing new ended without a snapshot.
    [[nodiscard]] std::uint64_t NewestRoundEndSequence() const {
        return newest_round_end_sequence_;
    }
    // Appends one entry under the configured `event_buffer_size` (0 records
    // nothing); when the ring is full the oldest entry gives way.
    void RecordBufferedEvent(const std::string& type, std::uint64_t now_ms, std::int32_t slot,
                             std::int32_t peer_slot, std::uint64_t value,
                             const std::string& detail);

    // Each handler refuses with "plugin_session_not_loaded" (recording
    // nothing) while the session is unloaded; otherwise it records the event,
    // forwards it, and reports the answer.
    [[nodiscard]] EngineEventResult OnClientAuthorized(const EnginePlayerAuthorizedEvent& event);
    [[nodiscard]] EngineEventResult OnClientDisconnect(const EngineSlotEvent& event);
    [[nodiscard]] EngineEventResult OnClientTeamChanged(const EnginePlayerTeamEvent& event);
    [[nodiscard]] EngineEventResult OnRoundStart(const EngineRoundStartEvent& event);
    [[nodiscard]] EngineEventResult OnBuySetup();
    [[nodiscard]] EngineEventResult OnDamage(const EngineDamageEvent& event);
    [[nodiscard]] EngineEventResult OnKill(const EngineKillEvent& event);
    [[nodiscard]] EngineEventResult OnRoundWin(const EngineRoundWinEvent& event);
    [[nodiscard]] EngineEventResult OnWeaponPurchase(const EngineWeaponPurchaseEvent& event);
    [[nodiscard]] EngineEventResult OnWeaponStats(const EngineWeaponStatsEvent& event);
    [[nodiscard]] EngineEventResult OnRoundEnd(const EngineRoundEndEvent& event);

    // Runs a player or operator command and returns its panel or settlement.
    // Commands that are not this plugin's come back not `handled`; the
    // operator commands are refused ("operator_command_refused") unless they
    // come from the server itself (slot 0).
    [[nodiscard]] EngineCommandResult HandleCommand(const EngineCommandInput& input);

  private:
    void StartRoundByHand(const std::vector<std::string>& tokens, EngineCommandResult& result);
    void SettleRoundByHand(std::uint64_t now_ms, EngineCommandResult& result);
    // Puts the ring's oldest entry first, so that trimming from the front or
    // appending at the back keeps the newest entries in order.
    void UnwrapEventBuffer();

    MetamodPluginSession& session_;
    std::vector<EngineBufferedGameplayEvent> event_buffer_;
    // Once the ring is full and has wrapped: the oldest entry, overwritten
    // next. 0 otherwise.
    std::size_t event_buffer_next_ = 0;
    std::uint64_t event_sequence_ = 0;
    std::uint64_t newest_round_end_sequence_ = 0;
};

}  // namespace ironpost
