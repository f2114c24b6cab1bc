// Combat recording, rewards and anti-farm filters: which kills, damage and
// round wins earn tokens, and the combat and rival statistics of the round.

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "ironpost_plugin.h"

namespace ironpost {

namespace {

constexpr std::uint64_t kMaxAmount = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint32_t kMaxCount = std::numeric_limits<std::uint32_t>::max();

// Token amounts never wrap: a wrapped sum or product would pay a tiny amount
// for a huge one (or the reverse), so they stop at the largest value instead.
std::uint64_t SaturatingAdd(std::uint64_t a, std::uint64_t b) {
    return a > kMaxAmount - b ? kMaxAmount : a + b;
}

std::uint64_t SaturatingMultiply(std::uint64_t a, std::uint64_t b) {
    if (a != 0 && b > kMaxAmount / a) {
        return kMaxAmount;
    }
    return a * b;
}

// Statistics counters stop at their largest value rather than restart at 0.
void AddCount(std::uint32_t& counter, std::uint32_t amount) {
    counter = counter > kMaxCount - amount ? kMaxCount : counter + amount;
}

// Humans for the minimum-humans rule: a player whose identity is still
// pending may be anyone, or a second client of someone already counted.
std::uint32_t CountHumans(const std::vector<ConnectedPlayer>& players) {
    return static_cast<std::uint32_t>(
        std::count_if(players.begin(), players.end(), [](const ConnectedPlayer& player) {
            return IsHumanPlayer(player) && !IsPendingSteamId(player.steam_id);
        }));
}

}  // namespace

void PluginRuntime::NoteRefusal(const std::string& rule) {
    if (!loaded_) {
        return;  // the counters cover the time since the load
    }
    last_refusal_rule_ = rule;
    for (auto& [name, count] : refusal_counts_) {
        if (name == rule) {
            ++count;
            return;
        }
    }
    refusal_counts_.emplace_back(rule, 1);
}

std::optional<RewardDraftEntry> PluginRuntime::RefuseReward(const char* rule) {
    NoteRefusal(rule);
    return std::nullopt;
}

const std::string& PluginRuntime::LastRefusalRule() const {
    return last_refusal_rule_;
}

std::vector<std::pair<std::string, std::uint64_t>> PluginRuntime::RefusalCounts() const {
    return refusal_counts_;
}

const char* PluginRuntime::CombatRefusal(std::int32_t actor_slot,
                                         std::optional<std::int32_t> victim_slot) const {
    if (config_.antifarm_enabled && CountHumans(players_) < config_.antifarm_min_humans) {
        return "minimum_humans";
    }
    const ConnectedPlayer* actor = PlayerAt(actor_slot);
    const ConnectedPlayer* victim = victim_slot ? PlayerAt(*victim_slot) : nullptr;
    if (actor == nullptr || (victim_slot && victim == nullptr)) {
        return "player_missing";
    }
    if (IsBotPlayer(*actor)) {
        return "bot_involved";
    }
    // Neither side of a paid action may be an unvalidated identity: the
    // draft would name it.
    if (IsPendingSteamId(actor->steam_id) || (victim && IsPendingSteamId(victim->steam_id))) {
        return "placeholder_identity";
    }
    if (!IsPlayingRole(actor->role) || (victim && !IsPlayingRole(victim->role))) {
        return "not_playing";
    }
    return nullptr;
}

// No statistics entry ever names a pending placeholder: the draft would
// carry an id that is nobody's.
CombatStatsDraftEntry* PluginRuntime::FindCombatStatsEntryForHuman(const ConnectedPlayer& player) {
    if (IsBotPlayer(player) || player.steam_id.empty() || IsPendingSteamId(player.steam_id)) {
        return nullptr;
    }
    for (CombatStatsDraftEntry& entry : pending_combat_stats_) {
        if (entry.steam_id == player.steam_id) {
            // An entry carried over from the previous settlement has played
            // no round yet in this one; touching it now means it has.
            if (entry.rounds_played == 0) {
                entry.rounds_played = 1;
            }
            return &entry;
        }
    }
    CombatStatsDraftEntry entry;
    entry.steam_id = player.steam_id;
    entry.rounds_played = 1;
    pending_combat_stats_.push_back(entry);
    return &pending_combat_stats_.back();
}

RivalStatsDraftEntry* PluginRuntime::FindRivalStatsEntry(const std::string& attacker_steam_id,
                                                         const std::string& victim_steam_id) {
    if (attacker_steam_id.empty() || victim_steam_id.empty() ||
        attacker_steam_id == victim_steam_id || IsPendingSteamId(attacker_steam_id) ||
        IsPendingSteamId(victim_steam_id)) {
        return nullptr;
    }
    for (RivalStatsDraftEntry& entry : pending_rival_stats_) {
        if (entry.attacker_steam_id == attacker_steam_id &&
            entry.victim_steam_id == victim_steam_id) {
            return &entry;
        }
    }
    RivalStatsDraftEntry entry;
    entry.attacker_steam_id = attacker_steam_id;
    entry.victim_steam_id = victim_steam_id;
    pending_rival_stats_.push_back(entry);
    return &pending_rival_stats_.back();
}

void PluginRuntime::AddSessionEarning(const ConnectedPlayer& player, std::uint64_t reward) {
    for (SessionPlayerEarning& earning : session_earnings_) {
        if (earning.slot == player.slot && earning.steam_id == player.steam_id) {
            earning.earned_zolt = SaturatingAdd(earning.earned_zolt, reward);
            return;
        }
    }
    SessionPlayerEarning earning;
    earning.slot = player.slot;
    earning.steam_id = player.steam_id;
    earning.earned_zolt = reward;
    earning.join_sequence = player.join_sequence;
    session_earnings_.push_back(earning);
}

std::optional<RewardDraftEntry> PluginRuntime::QueueRewardEntry(std::int32_t slot,
                                                                std::uint32_t kills,
                                                                std::uint64_t valid_damage,
                                                                std::uint64_t reward) {
    if (!loaded_ || (kills == 0 && valid_damage == 0 && reward == 0)) {
        return std::nullopt;
    }
    const ConnectedPlayer* player = PlayerAt(slot);
    if (player == nullptr || IsBotPlayer(*player) || IsPendingSteamId(player->steam_id)) {
        return std::nullopt;
    }
    RewardDraftEntry entry;
    entry.slot = slot;
    entry.steam_id = player->steam_id;
    entry.kills = kills;
    entry.valid_damage = valid_damage;
    entry.reward_zolt = reward;
    pending_rewards_.push_back(entry);
    AddSessionEarning(*player, reward);
    return entry;
}

std::optional<RewardDraftEntry> PluginRuntime::RecordKillEvent(std::int32_t killer_slot,
                                                               std::int32_t victim_slot,
                                                               bool headshot) {
    if (!loaded_) {
        return std::nullopt;
    }
    if (killer_slot == victim_slot) {
        return RefuseReward("self_kill");
    }
    if (const char* rule = CombatRefusal(killer_slot, victim_slot)) {
        return RefuseReward(rule);
    }
    const ConnectedPlayer* killer = PlayerAt(killer_slot);
    const ConnectedPlayer* victim = PlayerAt(victim_slot);
    if (killer->role == victim->role && !config_.antifarm_team_damage_rewards) {
        return RefuseReward("team_kill");
    }
    auto counter = std::find_if(
        kill_pair_counts_.begin(), kill_pair_counts_.end(), [&](const KillPairCounter& c) {
            return c.killer_slot == killer_slot && c.victim_slot == victim_slot;
        });
    if (config_.antifarm_enabled && config_.antifarm_same_victim_enabled &&
        config_.antifarm_same_victim_max_kills != 0 && counter != kill_pair_counts_.end() &&
        counter->kills >= config_.antifarm_same_victim_max_kills) {
        return RefuseReward("repeated_victim_cap");
    }
    const std::uint64_t amount = headshot
                                     ? SaturatingAdd(config_.reward_kill, config_.reward_headshot)
                                     : config_.reward_kill;
    std::optional<RewardDraftEntry> entry = QueueRewardEntry(killer_slot, 1, 0, amount);
    if (!entry) {
        return RefuseReward("reward_refused");
    }

    if (counter != kill_pair_counts_.end()) {
        AddCount(counter->kills, 1);
    } else {
        kill_pair_counts_.push_back(KillPairCounter{killer_slot, victim_slot, 1});
    }
    if (CombatStatsDraftEntry* stats = FindCombatStatsEntryForHuman(*killer)) {
        AddCount(stats->kills, 1);
        if (headshot) {
            AddCount(stats->headshots, 1);
        }
    }
    if (IsHumanPlayer(*victim)) {
        if (CombatStatsDraftEntry* stats = FindCombatStatsEntryForHuman(*victim)) {
            AddCount(stats->deaths, 1);
        }
    }
    if (RivalStatsDraftEntry* rival = FindRivalStatsEntry(killer->steam_id, victim->steam_id)) {
        AddCount(rival->kills, 1);
    }
    return entry;
}

std::optional<RewardDraftEntry> PluginRuntime::RecordDamageEvent(std::int32_t attacker_slot,
                                                                 std::int32_t victim_slot,
                                                                 std::uint64_t damage) {
    if (!loaded_) {
        return std::nullopt;
    }
    if (damage == 0 || config_.reward_damage == 0) {
        return RefuseReward("no_damage_reward");
    }
    if (attacker_slot == victim_slot) {
        return RefuseReward("self_damage");
    }
    if (const char* rule = CombatRefusal(attacker_slot, victim_slot)) {
        return RefuseReward(rule);
    }
    const ConnectedPlayer* attacker = PlayerAt(attacker_slot);
    const ConnectedPlayer* victim = PlayerAt(victim_slot);
    if (attacker->role == victim->role && !config_.antifarm_team_damage_rewards) {
        return RefuseReward("team_damage");
    }
    if (RivalStatsDraftEntry* rival = FindRivalStatsEntry(attacker->steam_id, victim->steam_id)) {
        AddCount(rival->hits, 1);
        rival->damage = SaturatingAdd(rival->damage, damage);
    }
    std::optional<RewardDraftEntry> entry = QueueRewardEntry(
        attacker_slot, 0, damage, SaturatingMultiply(damage, config_.reward_damage));
    return entry ? entry : RefuseReward("reward_refused");
}

std::optional<RewardDraftEntry> PluginRuntime::RecordRoundWinEvent(std::int32_t slot) {
    if (!loaded_) {
        return std::nullopt;
    }
    if (config_.reward_round_win == 0) {
        return RefuseReward("no_round_win_reward");
    }
    if (const char* rule = CombatRefusal(slot, std::nullopt)) {
        return RefuseReward(rule);
    }
    std::optional<RewardDraftEntry> entry = QueueRewardEntry(slot, 0, 0, config_.reward_round_win);
    return entry ? entry : RefuseReward("reward_refused");
}

bool PluginRuntime::RecordWeaponStatsEvent(std::int32_t slot, std::uint32_t shots_fired,
                                           std::uint32_t shots_hit) {
    if (!loaded_ || slot < 1 || (shots_fired == 0 && shots_hit == 0)) {
        return false;
    }
    const ConnectedPlayer* player = PlayerAt(slot);
    if (player == nullptr || IsBotPlayer(*player) || !IsPlayingRole(player->role)) {
        return false;
    }
    CombatStatsDraftEntry* stats = FindCombatStatsEntryForHuman(*player);
    if (stats == nullptr) {
        return false;
    }
    AddCount(stats->shots_fired, shots_fired);
    // More hits than shots is a reporting error; a hit count without shots
    // comes from sources that report hits alone.
    AddCount(stats->shots_hit, shots_fired == 0 ? shots_hit : std::min(shots_fired, shots_hit));
    return true;
}

std::uint64_t PluginRuntime::PendingRewardTotalForSlot(std::int32_t slot) const {
    // The slot's current occupant only: a previous one's rewards still settle
    // but are not the newcomer's to see.
    const ConnectedPlayer* player = PlayerAt(slot);
    std::uint64_t total = 0;
    for (const RewardDraftEntry& entry : pending_rewards_) {
        if (player != nullptr && entry.slot == slot && entry.steam_id == player->steam_id) {
            total = SaturatingAdd(total, entry.reward_zolt);
        }
    }
    return total;
}

std::vector<RewardDraftEntry> PluginRuntime::PendingRewards() const {
    return pending_rewards_;
}

std::vector<CombatStatsDraftEntry> PluginRuntime::PendingCombatStats() const {
    return pending_combat_stats_;
}

std::vector<RivalStatsDraftEntry> PluginRuntime::PendingRivalStats() const {
    return pending_rival_stats_;
}

}  // namespace ironpost
