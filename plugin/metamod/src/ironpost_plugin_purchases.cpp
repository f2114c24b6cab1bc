// Weapon purchases: the free tier, paid purchases that queue a weapon spend
// for the round's settlement, and refusals. No decision looks at a balance;
// the backend settles the spend.

#include <initializer_list>
#include <utility>

#include "ironpost_plugin.h"

namespace ironpost {

namespace {

WeaponPurchaseDecision Decision(bool allowed, bool free_tier, const char* reason) {
    WeaponPurchaseDecision decision;
    decision.allowed = allowed;
    decision.free_tier = free_tier;
    decision.reason = reason;
    return decision;
}

bool MatchesAny(const std::string& weapon_id, std::initializer_list<const std::string*> names) {
    for (const std::string* name : names) {
        // An empty configured name switches that free slot off.
        if (!name->empty() && *name == weapon_id) {
            return true;
        }
    }
    return false;
}

// Exact, case-sensitive comparison with the configured names of both teams
// and of the buyer's own team.
bool IsFreeTierWeapon(const IronPostConfig& config, PlayerRole role, const std::string& weapon_id) {
    if (MatchesAny(weapon_id, {&config.free_smg, &config.free_sniper})) {
        return true;
    }
    if (role == PlayerRole::CounterTerrorist) {
        return MatchesAny(weapon_id, {&config.free_pistol_ct, &config.free_ar_ct});
    }
    if (role == PlayerRole::Terrorist) {
        return MatchesAny(weapon_id, {&config.free_pistol_t, &config.free_ar_t});
    }
    return false;
}

}  // namespace

WeaponPurchaseDecision PluginRuntime::RecordWeaponPurchase(std::int32_t slot,
                                                           const std::string& weapon_id,
                                                           std::uint64_t cost,
                                                           std::uint32_t round_number) {
    WeaponPurchaseDecision decision = DecideWeaponPurchase(slot, weapon_id, cost, round_number);
    if (!decision.allowed) {
        NoteRefusal(decision.reason);
    }
    return decision;
}

WeaponPurchaseDecision PluginRuntime::DecideWeaponPurchase(std::int32_t slot,
                                                           const std::string& weapon_id,
                                                           std::uint64_t cost,
                                                           std::uint32_t round_number) {
    if (!loaded_) {
        return Decision(false, false, "runtime_not_loaded");
    }
    if (weapon_id.empty() || round_number == 0) {
        return Decision(false, false, "invalid_purchase");
    }
    const ConnectedPlayer* player = PlayerAt(slot);
    if (player == nullptr || IsBotPlayer(*player) || !IsPlayingRole(player->role)) {
        return Decision(false, false, "player_not_ready");
    }
    if (config_.free_tier_enabled && IsFreeTierWeapon(config_, player->role, weapon_id)) {
        return Decision(true, true, "free_tier");
    }
    if (cost == 0) {
        return Decision(true, false, "zero_cost");
    }
    if (!config_.weapon_spend_enabled) {
        return config_.allow_buy_if_zolt_zero ? Decision(true, false, "spend_disabled_allowed")
                                              : Decision(false, false, "weapon_spend_disabled");
    }
    // A free or zero-cost weapon charges nobody, so an unvalidated player may
    // have it; a spend would be charged to an id that is nobody's.
    if (IsPendingSteamId(player->steam_id)) {
        return Decision(false, false, "placeholder_identity");
    }
    std::optional<WeaponSpendDraftEntry> spend =
        QueueWeaponSpendEntry(slot, weapon_id, cost, round_number);
    if (!spend) {
        return Decision(false, false, "spend_rejected");
    }
    WeaponPurchaseDecision decision = Decision(true, false, "paid_spend");
    decision.spend = std::move(spend);
    return decision;
}

std::optional<WeaponSpendDraftEntry> PluginRuntime::QueueWeaponSpendEntry(
    std::int32_t slot, const std::string& weapon_id, std::uint64_t cost,
    std::uint32_t round_number) {
    if (!loaded_ || !config_.weapon_spend_enabled || weapon_id.empty() || cost == 0 ||
        round_number == 0) {
        return std::nullopt;
    }
    const ConnectedPlayer* player = PlayerAt(slot);
    if (player == nullptr || IsBotPlayer(*player) || IsPendingSteamId(player->steam_id)) {
        return std::nullopt;
    }
    WeaponSpendDraftEntry entry;
    entry.slot = slot;
    entry.steam_id = player->steam_id;
    entry.weapon_id = weapon_id;
    entry.zolt_cost = cost;
    entry.round_number = round_number;
    pending_weapon_spends_.push_back(entry);
    return entry;
}

std::vector<WeaponSpendDraftEntry> PluginRuntime::PendingWeaponSpends() const {
    return pending_weapon_spends_;
}

}  // namespace ironpost
