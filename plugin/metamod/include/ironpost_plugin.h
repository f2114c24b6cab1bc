#pragma once

// The engine-neutral game-rules runtime: players, roles and round phases,
// rewards and anti-farm filters, weapon purchases, token transfers, the
// settlement draft with earnings, and the alpha team and bot policy.
// Not thread-safe: every call comes from the server's main thread. Times are
// milliseconds passed in by the caller; the runtime reads no clock.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ironpost_config.h"

namespace ironpost {

struct PluginSettlementIntakeResponse;

// ---------------------------------------------------------------------------
// Players, roles and round phases

enum class PlayerRole : std::int32_t {
    Terrorist = 0,
    CounterTerrorist = 1,
    Spectator = 2,
    Unassigned = 3,
};

enum class RoundPhase : std::int32_t {
    Idle = 0,
    RoundActive = 1,
    SettlementPending = 2,
    ChainIncluded = 3,
    BuySetup = 4,
};

// "terrorist", "counter_terrorist", "spectator"; "unassigned" for anything else.
[[nodiscard]] const char* RoleName(PlayerRole role);
// "idle", "round_active", "settlement_pending", "chain_included", "buy_setup";
// "idle" for anything else.
[[nodiscard]] const char* RoundPhaseName(RoundPhase phase);

// True for the two teams that play a round.
[[nodiscard]] bool IsPlayingRole(PlayerRole role);

struct ConnectedPlayer {
    std::int32_t slot = 0;
    std::string name;
    std::string steam_id;
    PlayerRole role = PlayerRole::Unassigned;
    bool authenticated = false;
    bool is_bot = false;
    std::uint64_t join_sequence = 0;
};

// A human is an authenticated player that is not a bot.
[[nodiscard]] bool IsHumanPlayer(const ConnectedPlayer& player);
[[nodiscard]] bool IsBotPlayer(const ConnectedPlayer& player);

// The accepted forms of a player identity: "STEAM_" and at least 9
// characters, or "[U:...]" of at least 6 characters.
[[nodiscard]] bool IsAuthenticatedSteamId(const std::string& steam_id);

// The engine's shared stand-ins for an identity it does not know yet or at
// all ("STEAM_ID_LAN", "STEAM_ID_PENDING", "VALVE_ID_LAN", "VALVE_ID_PENDING").
// Many players carry the same one at once, so it never identifies a person.
[[nodiscard]] bool IsPlaceholderSteamId(const std::string& steam_id);

// The two stand-ins of a player whose identity is not validated yet
// ("STEAM_ID_PENDING", "VALVE_ID_PENDING"). Nothing is ever credited, charged
// or transferred under them, and such a player does not count towards the
// minimum number of humans, until UpgradePlayerIdentity brings the real id.
[[nodiscard]] bool IsPendingSteamId(const std::string& steam_id);

struct RoundState {
    RoundPhase phase = RoundPhase::Idle;
    std::uint32_t round_number = 0;
    std::uint32_t intermission_seconds = 0;
    std::uint32_t settlement_timeout_seconds = 0;
    std::string timeout_mode;
    bool crypto_features_enabled = true;
};

struct SettlementTimeoutDecision {
    std::string mode;
    RoundPhase phase = RoundPhase::Idle;
    bool crypto_features_enabled = true;
    bool intermission_extended = false;
};

// Chain account data fetched from the backend for one slot; strings hold the
// backend's text unchanged.
struct PlayerChainProfile {
    std::int32_t slot = 0;
    std::string steam_hash;
    bool linked = false;
    std::string account;
    std::string pending_zolt_atomic = "0";
    std::string pending_zolt = "0";
    std::string wallet_balance_atomic;
    std::string wallet_balance_zolt;
    std::uint64_t source_block = 0;
    std::uint64_t fetched_at_ms = 0;
    bool refresh_ok = false;
    std::string refresh_status = "never";
};

// ---------------------------------------------------------------------------
// Combat recording and rewards

// One rewarded action; entries are never merged.
struct RewardDraftEntry {
    std::int32_t slot = 0;
    std::string steam_id;
    std::uint32_t kills = 0;
    std::uint64_t valid_damage = 0;
    std::uint64_t reward_zolt = 0;
};

struct KillPairCounter {
    std::int32_t killer_slot = 0;
    std::int32_t victim_slot = 0;
    std::uint32_t kills = 0;
};

struct CombatStatsDraftEntry {
    std::string steam_id;
    std::uint32_t kills = 0;
    std::uint32_t deaths = 0;
    std::uint32_t headshots = 0;
    std::uint32_t shots_fired = 0;
    std::uint32_t shots_hit = 0;
    std::uint32_t rounds_played = 0;
};

struct RivalStatsDraftEntry {
    std::string attacker_steam_id;
    std::string victim_steam_id;
    std::uint32_t hits = 0;
    std::uint64_t damage = 0;
    std::uint32_t kills = 0;
};

// ---------------------------------------------------------------------------
// Weapon purchases

struct WeaponSpendDraftEntry {
    std::int32_t slot = 0;
    std::string steam_id;
    std::string weapon_id;
    std::uint64_t zolt_cost = 0;
    std::uint32_t round_number = 0;
};

struct WeaponPurchaseDecision {
    bool allowed = false;
    bool free_tier = false;
    std::string reason;
    std::optional<WeaponSpendDraftEntry> spend;
};

// ---------------------------------------------------------------------------
// Token transfers

struct TransferIntent {
    std::uint64_t intent_id = 0;
    std::int32_t from_slot = 0;
    std::int32_t to_slot = 0;
    std::string from_steam_id;
    std::string to_steam_id;
    std::uint64_t amount = 0;
    PlayerRole target_role = PlayerRole::Unassigned;
    std::string menu_nonce;
};

struct TransferMenuRecipient {
    std::int32_t slot = 0;
    std::string name;
    std::string steam_id;
    PlayerRole role = PlayerRole::Unassigned;
    bool selectable = false;
    std::string disabled_reason;
    std::string label;
};

struct TransferMenu {
    bool available = false;
    std::int32_t from_slot = 0;
    std::uint64_t min_amount = 0;
    std::uint64_t max_amount = 0;
    std::string error;
    std::vector<TransferMenuRecipient> recipients;
};

struct TransferMenuSelection {
    std::int32_t from_slot = 0;
    std::int32_t to_slot = 0;
    std::uint64_t amount = 0;
};

struct TransferMenuSelectionResult {
    bool accepted = false;
    std::string reason;
    std::optional<TransferIntent> intent;
};

// The first transfer rule the pair breaks, or "" when the target may receive.
[[nodiscard]] std::string TransferTargetRejectionReason(
    const IronPostConfig& config, const std::optional<ConnectedPlayer>& source,
    const std::optional<ConnectedPlayer>& target);

// Checks a chosen recipient and amount; the amount is tested before roles.
[[nodiscard]] TransferMenuSelectionResult ValidateTransferSelection(
    const IronPostConfig& config, bool loaded, const std::optional<ConnectedPlayer>& source,
    const std::optional<ConnectedPlayer>& target, std::uint64_t amount);

// ---------------------------------------------------------------------------
// Settlement draft, earnings and unresolved settlements

enum class SettlementRelayStatus : std::int32_t {
    Unknown = 0,
    NotSubmitted = 1,
    Queued = 2,
    Submitted = 3,
    Included = 4,
    Finalized = 5,
    Failed = 6,
};

[[nodiscard]] const char* SettlementRelayStatusName(SettlementRelayStatus status);
// Exact, case-sensitive names; anything else (including "unknown") is Unknown.
[[nodiscard]] SettlementRelayStatus ParseSettlementRelayStatus(const std::string& text);
// Included, Finalized and Failed.
[[nodiscard]] bool IsTerminalSettlementRelayStatus(SettlementRelayStatus status);

struct SettlementDraftRequest {
    std::string server_id;
    std::string session_id;
    std::string map_name_hash;
    std::uint32_t round_number = 0;
    std::string previous_round_hash;
    std::string roster_root;
    std::string config_hash;
};

struct TransferDraftEntry {
    std::uint64_t intent_id = 0;
    std::int32_t from_slot = 0;
    std::int32_t to_slot = 0;
    std::string from_steam_id;
    std::string to_steam_id;
    std::uint64_t amount = 0;
    PlayerRole target_role = PlayerRole::Unassigned;
    std::string menu_nonce;
};

struct RoundSettlementDraft {
    std::string server_id;
    std::string session_id;
    std::string map_name_hash;
    std::uint32_t round_number = 0;
    std::string previous_round_hash;
    std::string roster_root;
    std::vector<RewardDraftEntry> reward_entries;
    std::vector<WeaponSpendDraftEntry> weapon_spend_entries;
    std::vector<TransferDraftEntry> zolt_transfer_entries;
    std::vector<CombatStatsDraftEntry> combat_stats_entries;
    std::vector<RivalStatsDraftEntry> rival_stats_entries;
    std::string config_hash;
    std::string server_signature;
};

// True when every identity field is non-empty and the round is not 0.
[[nodiscard]] bool IsRoundSettlementDraftComplete(const RoundSettlementDraft& draft);

struct LastRoundPlayerEarning {
    std::uint32_t round_number = 0;
    std::int32_t slot = 0;
    std::string steam_id;
    std::uint64_t earned_zolt = 0;
    SettlementRelayStatus relay_status = SettlementRelayStatus::Unknown;
    std::uint64_t source_block = 0;
    std::uint64_t settled_at_ms = 0;
};

struct SessionPlayerEarning {
    std::int32_t slot = 0;
    std::string steam_id;
    std::uint64_t earned_zolt = 0;
    std::uint64_t join_sequence = 0;
};

struct UnresolvedSettlementRecord {
    std::string request_id;
    std::uint32_t round_number = 0;
    SettlementRelayStatus relay_status = SettlementRelayStatus::Unknown;
    std::vector<RewardDraftEntry> reward_entries;
    std::vector<WeaponSpendDraftEntry> weapon_spend_entries;
    std::vector<TransferDraftEntry> zolt_transfer_entries;
    std::vector<CombatStatsDraftEntry> combat_stats_entries;
    std::vector<RivalStatsDraftEntry> rival_stats_entries;
    std::uint64_t recorded_at_ms = 0;
    std::string last_error;
};

// ---------------------------------------------------------------------------
// Alpha team and bot policy

enum class AlphaTeamPolicyActionKind : std::int32_t {
    ServerCommand = 0,
    MovePlayerTeam = 1,
};

// "server_command" or "move_player_team".
[[nodiscard]] const char* AlphaTeamPolicyActionKindName(AlphaTeamPolicyActionKind kind);

struct AlphaTeamPolicyAction {
    AlphaTeamPolicyActionKind kind = AlphaTeamPolicyActionKind::ServerCommand;
    std::string command;
    std::int32_t slot = 0;
    PlayerRole target_role = PlayerRole::Unassigned;
};

struct AlphaTeamPolicyPlayerSnapshot {
    std::int32_t slot = 0;
    std::string name;
    std::string steam_id;
    PlayerRole role = PlayerRole::Unassigned;
    bool is_bot = false;
    std::uint64_t join_sequence = 0;
};

struct AlphaTeamPolicySnapshot {
    bool enabled = false;
    std::string state = "Disabled";
    std::uint32_t human_count = 0;
    std::uint32_t bot_count = 0;
    std::uint32_t desired_bot_count = 0;
    PlayerRole desired_bot_team = PlayerRole::Unassigned;
    bool satisfied = true;
    std::string last_action;
    std::string last_error;
    std::uint64_t checked_at_ms = 0;
    std::uint32_t retry_count = 0;
    std::vector<AlphaTeamPolicyPlayerSnapshot> players;
    std::vector<AlphaTeamPolicyAction> actions;
};

// ---------------------------------------------------------------------------

// The game-rules state of one loaded plugin. Owned by the plugin adapter.
class PluginRuntime {
  public:
    // Lifecycle.
    void Load(const IronPostConfig& config);
    void Unload();
    [[nodiscard]] bool IsLoaded() const;
    // Throws std::logic_error("plugin runtime is not loaded") while unloaded;
    // the only operation that throws.
    [[nodiscard]] const IronPostConfig& Config() const;
    // Publishes the 89 console variables from the loaded configuration copy.
    void RegisterCvars(CvarRegistry& registry) const;

    // Players.
    bool OnPlayerJoin(std::int32_t slot, const std::string& name, const std::string& steam_id,
                      bool is_bot);
    bool OnPlayerRoleChanged(std::int32_t slot, PlayerRole role);
    bool OnPlayerLeave(std::int32_t slot);
    // Gives a seated human whose id is still pending the validated id, keeping
    // role, join sequence and name; another slot holding that id leaves, as on
    // a join. Refused for an empty slot, a bot, an id that is not a real
    // authenticated id, or a slot that already holds a different real id.
    bool UpgradePlayerIdentity(std::int32_t slot, const std::string& steam_id);
    [[nodiscard]] std::optional<ConnectedPlayer> FindPlayer(std::int32_t slot) const;
    [[nodiscard]] std::vector<ConnectedPlayer> ConnectedPlayers() const;
    // The slots of seated humans whose id is still a placeholder, in seating
    // order; cheap when there are none (read every frame).
    [[nodiscard]] std::vector<std::int32_t> PendingIdentitySlots() const;
    // Humans on a playing team.
    [[nodiscard]] std::uint32_t CombatHumanPlayerCount() const;

    // Round phases.
    bool BeginRound(std::uint32_t round_number);
    bool EndRound();
    bool MarkSettlementSubmitted();
    bool MarkSettlementIncluded();
    bool BeginBuySetup();
    bool ResetRoundToIdle();
    SettlementTimeoutDecision HandleSettlementTimeout();
    // Reads only `accepted` and `relay_status` of the response.
    bool ApplySettlementIntakeResponse(const PluginSettlementIntakeResponse& response);
    [[nodiscard]] RoundState CurrentRoundState() const;

    // Chain profiles.
    void UpsertPlayerChainProfile(const PlayerChainProfile& profile);
    void MarkPlayerChainProfileRefreshFailure(std::int32_t slot, std::uint64_t now_ms,
                                              const std::string& status);
    [[nodiscard]] std::optional<PlayerChainProfile> PlayerChainProfileForSlot(
        std::int32_t slot) const;
    [[nodiscard]] std::vector<PlayerChainProfile> PlayerChainProfiles() const;
    [[nodiscard]] bool PlayerChainProfileStale(std::int32_t slot, std::uint64_t now_ms,
                                               std::uint32_t stale_seconds) const;

    // Combat recording and rewards. An absent result means nothing was credited.
    std::optional<RewardDraftEntry> RecordKillEvent(std::int32_t killer_slot,
                                                    std::int32_t victim_slot, bool headshot);
    std::optional<RewardDraftEntry> RecordDamageEvent(std::int32_t attacker_slot,
                                                      std::int32_t victim_slot,
                                                      std::uint64_t damage);
    std::optional<RewardDraftEntry> RecordRoundWinEvent(std::int32_t slot);
    bool RecordWeaponStatsEvent(std::int32_t slot, std::uint32_t shots_fired,
                                std::uint32_t shots_hit);
    std::optional<RewardDraftEntry> QueueRewardEntry(std::int32_t slot, std::uint32_t kills,
                                                     std::uint64_t valid_damage,
                                                     std::uint64_t reward);
    [[nodiscard]] std::uint64_t PendingRewardTotalForSlot(std::int32_t slot) const;
    [[nodiscard]] std::vector<RewardDraftEntry> PendingRewards() const;
    [[nodiscard]] std::vector<CombatStatsDraftEntry> PendingCombatStats() const;
    [[nodiscard]] std::vector<RivalStatsDraftEntry> PendingRivalStats() const;

    // Weapon purchases.
    WeaponPurchaseDecision RecordWeaponPurchase(std::int32_t slot, const std::string& weapon_id,
                                                std::uint64_t cost, std::uint32_t round_number);
    std::optional<WeaponSpendDraftEntry> QueueWeaponSpendEntry(std::int32_t slot,
                                                               const std::string& weapon_id,
                                                               std::uint64_t cost,
                                                               std::uint32_t round_number);
    [[nodiscard]] std::vector<WeaponSpendDraftEntry> PendingWeaponSpends() const;

    // Token transfers.
    [[nodiscard]] TransferMenu BuildTransferMenu(std::int32_t from_slot) const;
    TransferMenuSelectionResult SubmitTransferMenuSelection(const TransferMenuSelection& selection);
    std::optional<TransferIntent> QueueTransferIntent(std::int32_t from_slot, std::int32_t to_slot,
                                                      std::uint64_t amount);
    [[nodiscard]] std::vector<TransferIntent> PendingTransfers() const;
    void ClearPendingTransfers();

    // Settlement draft, earnings and unresolved settlements.
    [[nodiscard]] std::optional<RoundSettlementDraft> BuildSettlementDraft(
        const SettlementDraftRequest& request) const;
    // Empties every pending settlement event and the repeated-victim counters.
    void ClearPendingSettlementEvents();
    // Empties what the ended round's draft covered, with the repeated-victim
    // counters. Entries accepted after that draft was taken (late kills,
    // buy-time purchases and transfers) are kept so they travel in the next
    // settlement; a running round that is reset loses its own. The phase
    // operations clear this way.
    void ClearSettledPendingEvents();
    void SnapshotLastRoundEarnings(std::uint32_t round_number, SettlementRelayStatus relay_status,
                                   std::uint64_t settled_at_ms);
    [[nodiscard]] std::vector<LastRoundPlayerEarning> LastRoundEarnings() const;
    [[nodiscard]] std::optional<LastRoundPlayerEarning> LastRoundEarningForSlot(
        std::int32_t slot) const;
    [[nodiscard]] std::vector<SessionPlayerEarning> SessionEarnings() const;
    [[nodiscard]] std::optional<SessionPlayerEarning> SessionEarningForSlot(
        std::int32_t slot) const;
    void TrackUnresolvedSettlementRecord(const std::string& request_id,
                                         const RoundSettlementDraft& draft,
                                         SettlementRelayStatus relay_status, std::uint64_t now_ms);
    void UpdateUnresolvedSettlementRecord(const std::string& request_id,
                                          SettlementRelayStatus relay_status,
                                          const std::string& error);
    void ClearTerminalUnresolvedSettlementRecord(const std::string& request_id);
    [[nodiscard]] std::vector<UnresolvedSettlementRecord> UnresolvedSettlementRecords() const;
    // The request ids of the records, in order, without copying their drafts.
    [[nodiscard]] std::vector<std::string> UnresolvedSettlementRequestIds() const;

    // Diagnostics. The rule behind the latest refused kill, damage, round
    // win, purchase or transfer ("minimum_humans", "bot_involved",
    // "team_kill", "repeated_victim_cap", "placeholder_identity", a purchase
    // or transfer reason, ...); empty until one is refused after a load.
    [[nodiscard]] const std::string& LastRefusalRule() const;
    // How often each rule refused since the load, in the order first seen.
    [[nodiscard]] std::vector<std::pair<std::string, std::uint64_t>> RefusalCounts() const;

    // Alpha team and bot policy (throttled: the last result, no players or actions).
    AlphaTeamPolicySnapshot ReconcileAlphaTeamPolicy(std::uint64_t now_ms, bool force);
    [[nodiscard]] AlphaTeamPolicySnapshot CurrentAlphaTeamPolicy() const;
    // Makes the next reconcile run at once and forgets the neutral state that
    // was already commanded.
    void ResetAlphaTeamPolicyEpoch();

  private:
    ConnectedPlayer* MutablePlayer(std::int32_t slot);
    const ConnectedPlayer* PlayerAt(std::int32_t slot) const;
    // Empties every list and resets counters and policy memory, as Load does.
    void ResetState();
    void ResetRoundState(bool from_config);
    void ResetAlphaTeamPolicySnapshot();
    CombatStatsDraftEntry* FindCombatStatsEntryForHuman(const ConnectedPlayer& player);
    RivalStatsDraftEntry* FindRivalStatsEntry(const std::string& attacker_steam_id,
                                              const std::string& victim_steam_id);
    void AddSessionEarning(const ConnectedPlayer& player, std::uint64_t reward);
    // Forgets what ties the slot to its occupant: transfer intents and kill
    // pair counters naming it, its chain profile and its earnings. Settlement
    // entries stay: they carry their own Steam id and are owed.
    void DropSlotState(std::int32_t slot);
    // Makes every other human slot holding the real id `steam_id` leave.
    void EvictDuplicates(std::int32_t slot, const std::string& steam_id);
    // The first anti-farm rule a kill, damage (with a victim) or round win
    // (without) breaks before the team check, or null.
    const char* CombatRefusal(std::int32_t actor_slot,
                              std::optional<std::int32_t> victim_slot) const;
    // RecordWeaponPurchase without noting a refusal.
    WeaponPurchaseDecision DecideWeaponPurchase(std::int32_t slot, const std::string& weapon_id,
                                                std::uint64_t cost, std::uint32_t round_number);
    // Counts a refusal under `rule` and remembers it as the latest.
    void NoteRefusal(const std::string& rule);
    std::optional<RewardDraftEntry> RefuseReward(const char* rule);

    IronPostConfig config_;
    bool loaded_ = false;
    RoundState round_state_;
    std::vector<ConnectedPlayer> players_;
    std::vector<RewardDraftEntry> pending_rewards_;
    std::vector<WeaponSpendDraftEntry> pending_weapon_spends_;
    std::vector<TransferIntent> pending_transfers_;
    std::vector<CombatStatsDraftEntry> pending_combat_stats_;
    std::vector<RivalStatsDraftEntry> pending_rival_stats_;
    std::vector<KillPairCounter> kill_pair_counts_;
    std::vector<PlayerChainProfile> player_chain_profiles_;
    std::vector<LastRoundPlayerEarning> last_round_earnings_;
    std::vector<SessionPlayerEarning> session_earnings_;
    std::vector<UnresolvedSettlementRecord> unresolved_settlement_records_;
    std::uint64_t next_transfer_intent_id_ = 1;
    std::uint64_t next_player_join_sequence_ = 1;
    std::uint64_t last_alpha_policy_ms_ = 0;
    std::string last_alpha_policy_signature_;
    std::string last_alpha_policy_restart_signature_;
    std::string last_alpha_policy_neutralize_state_;
    std::uint64_t last_alpha_policy_cleanup_ms_ = 0;
    AlphaTeamPolicySnapshot alpha_team_policy_;
    std::string last_refusal_rule_;
    std::vector<std::pair<std::string, std::uint64_t>> refusal_counts_;

    // Settlement carry-over. Kills are logged a few seconds after a round
    // ends, and purchases and transfers happen in the buy time before the
    // next round starts, so entries accepted after a round's draft was built
    // must travel in the next settlement instead of being cleared with it.
    // The watermark records what the ended round's draft covered: everything
    // pending at the moment the round was seen to have ended.
    struct SettlementWatermark {
        bool set = false;
        std::size_t rewards = 0;
        std::size_t weapon_spends = 0;
        std::uint64_t next_transfer_intent_id = 0;
        std::vector<CombatStatsDraftEntry> combat_stats;
        std::vector<RivalStatsDraftEntry> rival_stats;
    };
    // Records what the ended round's draft covers: everything pending at
    // the moment the round ends. Called by EndRound.
    void MarkSettlementWatermark();
    SettlementWatermark settlement_watermark_;
};

}  // namespace ironpost
