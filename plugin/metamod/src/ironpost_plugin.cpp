#include "ironpost_plugin.h"

#include <algorithm>
#include <stdexcept>

#include "ironpost_backend_transport.h"

namespace ironpost {

const char* RoleName(PlayerRole role) {
    switch (role) {
        case PlayerRole::Terrorist:
            return "terrorist";
        case PlayerRole::CounterTerrorist:
            return "counter_terrorist";
        case PlayerRole::Spectator:
            return "spectator";
        default:
            return "unassigned";
    }
}

const char* RoundPhaseName(RoundPhase phase) {
    switch (phase) {
        case RoundPhase::RoundActive:
            return "round_active";
        case RoundPhase::SettlementPending:
            return "settlement_pending";
        case RoundPhase::ChainIncluded:
            return "chain_included";
        case RoundPhase::BuySetup:
            return "buy_setup";
        default:
            return "idle";
    }
}

bool IsPlayingRole(PlayerRole role) {
    return role == PlayerRole::Terrorist || role == PlayerRole::CounterTerrorist;
}

bool IsHumanPlayer(const ConnectedPlayer& player) {
    return player.authenticated && !player.is_bot;
}

bool IsBotPlayer(const ConnectedPlayer& player) {
    return player.is_bot;
}

namespace {

// Removes every entry of a per-slot list that belongs to `slot`.
template <typename Entry>
void EraseSlot(std::vector<Entry>& entries, std::int32_t slot) {
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [slot](const Entry& entry) { return entry.slot == slot; }),
                  entries.end());
}

bool StartsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

}  // namespace

bool IsAuthenticatedSteamId(const std::string& steam_id) {
    if (StartsWith(steam_id, "STEAM_") && steam_id.size() >= 9) {
        return true;
    }
    return StartsWith(steam_id, "[U:") && steam_id.size() >= 6 && steam_id.back() == ']';
}

bool IsPlaceholderSteamId(const std::string& steam_id) {
    return steam_id == "STEAM_ID_LAN" || steam_id == "STEAM_ID_PENDING" ||
           steam_id == "VALVE_ID_LAN" || steam_id == "VALVE_ID_PENDING";
}

bool IsPendingSteamId(const std::string& steam_id) {
    // Compared as views: the length is checked first, without a strlen.
    const std::string_view id = steam_id;
    return id == std::string_view("STEAM_ID_PENDING") || id == std::string_view("VALVE_ID_PENDING");
}

// ---------------------------------------------------------------------------
// Lifecycle

void PluginRuntime::Load(const IronPostConfig& config) {
    config_ = config;
    loaded_ = true;
    ResetRoundState(true);
    ResetState();
}

void PluginRuntime::Unload() {
    loaded_ = false;
    ResetRoundState(false);
    ResetState();
}

bool PluginRuntime::IsLoaded() const {
    return loaded_;
}

const IronPostConfig& PluginRuntime::Config() const {
    if (!loaded_) {
        throw std::logic_error("plugin runtime is not loaded");
    }
    return config_;
}

void PluginRuntime::RegisterCvars(CvarRegistry& registry) const {
    for (const CvarDefinition& definition : BuildCvarDefinitions(config_)) {
        registry.RegisterCvar(definition);
    }
}

void PluginRuntime::ResetRoundState(bool from_config) {
    round_state_ = RoundState{};
    round_state_.phase = RoundPhase::Idle;
    round_state_.round_number = 0;
    round_state_.crypto_features_enabled = true;
    if (from_config) {
        round_state_.intermission_seconds = config_.intermission_seconds;
        round_state_.settlement_timeout_seconds = config_.settlement_timeout_seconds;
        round_state_.timeout_mode = config_.on_settlement_timeout;
    }
}

void PluginRuntime::ResetState() {
    players_.clear();
    ClearPendingSettlementEvents();
    player_chain_profiles_.clear();
    last_round_earnings_.clear();
    unresolved_settlement_records_.clear();
    session_earnings_.clear();
    last_refusal_rule_.clear();
    refusal_counts_.clear();
    next_transfer_intent_id_ = 1;
    next_player_join_sequence_ = 1;
    ResetAlphaTeamPolicyEpoch();
    ResetAlphaTeamPolicySnapshot();
}

void PluginRuntime::ResetAlphaTeamPolicySnapshot() {
    alpha_team_policy_ = AlphaTeamPolicySnapshot{};
}

void PluginRuntime::ResetAlphaTeamPolicyEpoch() {
    last_alpha_policy_ms_ = 0;
    last_alpha_policy_cleanup_ms_ = 0;
    last_alpha_policy_signature_.clear();
    last_alpha_policy_restart_signature_.clear();
    last_alpha_policy_neutralize_state_.clear();
}

// ---------------------------------------------------------------------------
// Players

ConnectedPlayer* PluginRuntime::MutablePlayer(std::int32_t slot) {
    for (ConnectedPlayer& player : players_) {
        if (player.slot == slot) {
            return &player;
        }
    }
    return nullptr;
}

const ConnectedPlayer* PluginRuntime::PlayerAt(std::int32_t slot) const {
    for (const ConnectedPlayer& player : players_) {
        if (player.slot == slot) {
            return &player;
        }
    }
    return nullptr;
}

bool PluginRuntime::OnPlayerJoin(std::int32_t slot, const std::string& name,
                                 const std::string& steam_id, bool is_bot) {
    if (!loaded_ || slot < 1) {
        return false;
    }
    if (!is_bot) {
        if (!IsAuthenticatedSteamId(steam_id)) {
            return false;
        }
        EvictDuplicates(slot, steam_id);
    }

    ConnectedPlayer entry;
    entry.slot = slot;
    entry.name = name;
    entry.steam_id = (steam_id.empty() && is_bot) ? std::string("BOT") : steam_id;
    entry.authenticated = is_bot ? true : IsAuthenticatedSteamId(steam_id);
    entry.is_bot = is_bot;
    entry.role = PlayerRole::Unassigned;

    bool rejoin = false;
    ConnectedPlayer* existing = MutablePlayer(slot);
    std::uint64_t join_sequence = 0;
    if (existing != nullptr && existing->steam_id == entry.steam_id &&
        existing->is_bot == entry.is_bot) {
        rejoin = true;
        existing->name = name;
        if (existing->join_sequence == 0) {
            existing->join_sequence = next_player_join_sequence_++;
        }
        join_sequence = existing->join_sequence;
    } else if (existing != nullptr) {
        // Another identity took the slot: nothing of the previous occupant's
        // chain view or earnings may be shown to the newcomer, and neither
        // its repeated-victim counts nor its queued transfers may pass to it.
        // (A human newcomer gets a fresh session entry below; a bot gets none,
        // so the old entry must not linger under the bot's slot.)
        DropSlotState(slot);
        entry.join_sequence = next_player_join_sequence_++;
        join_sequence = entry.join_sequence;
        *existing = entry;
    } else {
        entry.join_sequence = next_player_join_sequence_++;
        join_sequence = entry.join_sequence;
        players_.push_back(entry);
    }

    if (is_bot) {
        return true;
    }
    const auto session_entry =
        std::find_if(session_earnings_.begin(), session_earnings_.end(),
                     [slot](const SessionPlayerEarning& e) { return e.slot == slot; });
    if (session_entry != session_earnings_.end() && rejoin) {
        return true;
    }
    EraseSlot(session_earnings_, slot);
    SessionPlayerEarning earning;
    earning.slot = slot;
    earning.steam_id = entry.steam_id;
    earning.earned_zolt = 0;
    earning.join_sequence = join_sequence;
    session_earnings_.push_back(earning);
    return true;
}

bool PluginRuntime::OnPlayerRoleChanged(std::int32_t slot, PlayerRole role) {
    // A value outside the four roles (a bad cast from engine data) is kept
    // as Unassigned so no rule ever sees a role it does not know.
    if (role != PlayerRole::Terrorist && role != PlayerRole::CounterTerrorist &&
        role != PlayerRole::Spectator) {
        role = PlayerRole::Unassigned;
    }
    ConnectedPlayer* player = MutablePlayer(slot);
    if (player == nullptr) {
        return false;
    }
    if (player->role != role && IsHumanPlayer(*player)) {
        ResetAlphaTeamPolicyEpoch();
    }
    player->role = role;
    return true;
}

bool PluginRuntime::UpgradePlayerIdentity(std::int32_t slot, const std::string& steam_id) {
    const ConnectedPlayer* seated = PlayerAt(slot);
    if (!loaded_ || seated == nullptr || seated->is_bot || !IsAuthenticatedSteamId(steam_id) ||
        IsPlaceholderSteamId(steam_id)) {
        return false;
    }
    if (seated->steam_id == steam_id) {
        return true;
    }
    if (!IsPendingSteamId(seated->steam_id)) {
        return false;
    }
    EvictDuplicates(slot, steam_id);
    ConnectedPlayer* player = MutablePlayer(slot);  // eviction moved the table
    player->steam_id = steam_id;
    player->authenticated = true;
    // Nothing was credited under the placeholder, so the zero earnings simply
    // change hands; a profile fetched for the placeholder describes nobody.
    EraseSlot(player_chain_profiles_, slot);
    for (SessionPlayerEarning& earning : session_earnings_) {
        if (earning.slot == slot) {
            earning.steam_id = steam_id;
        }
    }
    for (LastRoundPlayerEarning& earning : last_round_earnings_) {
        if (earning.slot == slot) {
            earning.steam_id = steam_id;
        }
    }
    return true;
}

void PluginRuntime::EvictDuplicates(std::int32_t slot, const std::string& steam_id) {
    // One identity plays in one slot: a second connection with the same id
    // replaces the first. The engine's shared placeholder ids are carried by
    // many different people at once, so they never evict.
    if (IsPlaceholderSteamId(steam_id)) {
        return;
    }
    std::vector<std::int32_t> duplicates;
    for (const ConnectedPlayer& other : players_) {
        if (other.slot != slot && IsHumanPlayer(other) && other.steam_id == steam_id) {
            duplicates.push_back(other.slot);
        }
    }
    for (const std::int32_t duplicate : duplicates) {
        OnPlayerLeave(duplicate);
    }
}

void PluginRuntime::DropSlotState(std::int32_t slot) {
    pending_transfers_.erase(std::remove_if(pending_transfers_.begin(), pending_transfers_.end(),
                                            [slot](const TransferIntent& t) {
                                                return t.from_slot == slot || t.to_slot == slot;
                                            }),
                             pending_transfers_.end());
    kill_pair_counts_.erase(std::remove_if(kill_pair_counts_.begin(), kill_pair_counts_.end(),
                                           [slot](const KillPairCounter& c) {
                                               return c.killer_slot == slot ||
                                                      c.victim_slot == slot;
                                           }),
                            kill_pair_counts_.end());
    EraseSlot(player_chain_profiles_, slot);
    EraseSlot(last_round_earnings_, slot);
    EraseSlot(session_earnings_, slot);
}

bool PluginRuntime::OnPlayerLeave(std::int32_t slot) {
    const auto player = std::find_if(players_.begin(), players_.end(),
                                     [slot](const ConnectedPlayer& p) { return p.slot == slot; });
    const bool removed = player != players_.end();
    if (removed) {
        players_.erase(player);
    }
    DropSlotState(slot);
    if (std::none_of(players_.begin(), players_.end(), IsHumanPlayer)) {
        ResetAlphaTeamPolicyEpoch();
    }
    return removed;
}

std::optional<ConnectedPlayer> PluginRuntime::FindPlayer(std::int32_t slot) const {
    const ConnectedPlayer* player = PlayerAt(slot);
    if (player == nullptr) {
        return std::nullopt;
    }
    return *player;
}

std::vector<ConnectedPlayer> PluginRuntime::ConnectedPlayers() const {
    return players_;
}

std::vector<std::int32_t> PluginRuntime::PendingIdentitySlots() const {
    std::vector<std::int32_t> slots;
    for (const ConnectedPlayer& player : players_) {
        if (!player.is_bot && IsPendingSteamId(player.steam_id)) {
            slots.push_back(player.slot);
        }
    }
    return slots;
}

std::uint32_t PluginRuntime::CombatHumanPlayerCount() const {
    std::uint32_t count = 0;
    for (const ConnectedPlayer& player : players_) {
        if (IsHumanPlayer(player) && IsPlayingRole(player.role)) {
            ++count;
        }
    }
    return count;
}

// ---------------------------------------------------------------------------
// Round phases

bool PluginRuntime::BeginRound(std::uint32_t round_number) {
    if (!loaded_ || round_number == 0 || round_state_.phase == RoundPhase::RoundActive) {
        return false;
    }
    ClearSettledPendingEvents();
    round_state_.round_number = round_number;
    round_state_.phase = RoundPhase::RoundActive;
    round_state_.crypto_features_enabled = true;
    return true;
}

bool PluginRuntime::EndRound() {
    if (!loaded_ || round_state_.phase != RoundPhase::RoundActive) {
        return false;
    }
    round_state_.phase = RoundPhase::SettlementPending;
    MarkSettlementWatermark();
    return true;
}

bool PluginRuntime::MarkSettlementSubmitted() {
    return loaded_ && round_state_.phase == RoundPhase::SettlementPending;
}

bool PluginRuntime::MarkSettlementIncluded() {
    if (!loaded_ || round_state_.phase != RoundPhase::SettlementPending) {
        return false;
    }
    round_state_.phase = RoundPhase::ChainIncluded;
    return true;
}

bool PluginRuntime::BeginBuySetup() {
    if (!loaded_) {
        return false;
    }
    if (round_state_.phase == RoundPhase::BuySetup) {
        return true;
    }
    if (round_state_.phase != RoundPhase::ChainIncluded) {
        return false;
    }
    ClearSettledPendingEvents();
    round_state_.phase = RoundPhase::BuySetup;
    round_state_.crypto_features_enabled = true;
    return true;
}

bool PluginRuntime::ResetRoundToIdle() {
    if (!loaded_) {
        return false;
    }
    ClearSettledPendingEvents();
    ResetRoundState(true);
    ResetAlphaTeamPolicyEpoch();
    return true;
}

SettlementTimeoutDecision PluginRuntime::HandleSettlementTimeout() {
    SettlementTimeoutDecision decision;
    decision.phase = round_state_.phase;
    decision.crypto_features_enabled = round_state_.crypto_features_enabled;
    if (!loaded_) {
        decision.mode = "runtime_not_loaded";
        decision.crypto_features_enabled = false;
        return decision;
    }
    if (round_state_.phase != RoundPhase::SettlementPending) {
        decision.mode = "not_settlement_pending";
        return decision;
    }
    decision.mode = round_state_.timeout_mode;
    if (decision.mode == "force_free_tier" || decision.mode == "disable_crypto_features") {
        round_state_.phase = RoundPhase::BuySetup;
        round_state_.crypto_features_enabled = false;
    } else if (decision.mode == "use_stale_state") {
        round_state_.phase = RoundPhase::BuySetup;
        round_state_.crypto_features_enabled = true;
    } else {
        decision.mode = "extend_intermission";
        decision.intermission_extended = true;
    }
    decision.phase = round_state_.phase;
    decision.crypto_features_enabled = round_state_.crypto_features_enabled;
    return decision;
}

bool PluginRuntime::ApplySettlementIntakeResponse(const PluginSettlementIntakeResponse& response) {
    if (!loaded_ || !response.accepted) {
        return false;
    }
    switch (response.relay_status) {
        case SettlementRelayStatus::Queued:
        case SettlementRelayStatus::Submitted:
            return MarkSettlementSubmitted();
        case SettlementRelayStatus::Included:
        case SettlementRelayStatus::Finalized:
            return MarkSettlementIncluded();
        default:
            return false;
    }
}

RoundState PluginRuntime::CurrentRoundState() const {
    return round_state_;
}

// ---------------------------------------------------------------------------
// Chain profiles

void PluginRuntime::UpsertPlayerChainProfile(const PlayerChainProfile& profile) {
    if (!loaded_ || profile.slot < 1) {
        return;
    }
    PlayerChainProfile stored = profile;
    if (stored.pending_zolt_atomic.empty()) {
        stored.pending_zolt_atomic = "0";
    }
    if (stored.pending_zolt.empty()) {
        stored.pending_zolt = "0";
    }
    stored.refresh_ok = true;
    if (stored.refresh_status.empty() || stored.refresh_status == "never") {
        stored.refresh_status = "ok";
    }
    const auto existing =
        std::find_if(player_chain_profiles_.begin(), player_chain_profiles_.end(),
                     [&](const PlayerChainProfile& p) { return p.slot == stored.slot; });
    if (existing != player_chain_profiles_.end()) {
        *existing = stored;
    } else {
        player_chain_profiles_.push_back(stored);
    }
    if (stored.source_block != 0) {
        for (LastRoundPlayerEarning& earning : last_round_earnings_) {
            if (earning.slot == stored.slot) {
                earning.source_block = stored.source_block;
                break;
            }
        }
    }
}

void PluginRuntime::MarkPlayerChainProfileRefreshFailure(std::int32_t slot, std::uint64_t now_ms,
                                                         const std::string& status) {
    (void)now_ms;  // a failure keeps the time of the last good fetch
    if (!loaded_ || slot < 1) {
        return;
    }
    const std::string failure = status.empty() ? std::string("refresh_failed") : status;
    for (PlayerChainProfile& profile : player_chain_profiles_) {
        if (profile.slot == slot) {
            profile.refresh_ok = false;
            profile.refresh_status = failure;
            return;
        }
    }
    PlayerChainProfile profile;
    profile.slot = slot;
    profile.linked = false;
    profile.pending_zolt_atomic = "0";
    profile.pending_zolt = "0";
    profile.source_block = 0;
    profile.fetched_at_ms = 0;
    profile.refresh_ok = false;
    profile.refresh_status = failure;
    player_chain_profiles_.push_back(profile);
}

std::optional<PlayerChainProfile> PluginRuntime::PlayerChainProfileForSlot(
    std::int32_t slot) const {
    for (const PlayerChainProfile& profile : player_chain_profiles_) {
        if (profile.slot == slot) {
            return profile;
        }
    }
    return std::nullopt;
}

std::vector<PlayerChainProfile> PluginRuntime::PlayerChainProfiles() const {
    return player_chain_profiles_;
}

bool PluginRuntime::PlayerChainProfileStale(std::int32_t slot, std::uint64_t now_ms,
                                            std::uint32_t stale_seconds) const {
    const std::optional<PlayerChainProfile> profile = PlayerChainProfileForSlot(slot);
    if (!profile || profile->fetched_at_ms == 0) {
        return true;
    }
    if (now_ms < profile->fetched_at_ms) {
        return false;
    }
    return now_ms - profile->fetched_at_ms >= static_cast<std::uint64_t>(stale_seconds) * 1000u;
}

}  // namespace ironpost
