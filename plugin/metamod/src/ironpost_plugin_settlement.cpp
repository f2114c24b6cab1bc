// The settlement draft of a round, the relay status vocabulary, the earnings
// players see, the records of settlements not yet resolved, and the carry-over
// of entries accepted after a round's draft was built.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ironpost_plugin.h"

namespace ironpost {

namespace {

std::uint64_t SaturatingAdd(std::uint64_t a, std::uint64_t b) {
    const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    return a > max - b ? max : a + b;
}

template <typename Count>
Count Since(Count now, Count then) {
    return now > then ? now - then : 0;
}

TransferDraftEntry ToDraftEntry(const TransferIntent& intent) {
    TransferDraftEntry entry;
    entry.intent_id = intent.intent_id;
    entry.from_slot = intent.from_slot;
    entry.to_slot = intent.to_slot;
    entry.from_steam_id = intent.from_steam_id;
    entry.to_steam_id = intent.to_steam_id;
    entry.amount = intent.amount;
    entry.target_role = intent.target_role;
    entry.menu_nonce = intent.menu_nonce;
    return entry;
}

// The settled entry with the same key as entry `index` of the pending list.
// Keys are unique and entries are only ever appended, so it is nearly always
// the one at the same index; a full server has hundreds of rival pairs, and
// searching for each would cost the frame that starts the next round.
template <typename Entry, typename SameKey>
typename std::vector<Entry>::const_iterator FindSettled(const std::vector<Entry>& settled,
                                                        std::size_t index, SameKey same_key) {
    if (index < settled.size() && same_key(settled[index])) {
        return settled.begin() + static_cast<std::ptrdiff_t>(index);
    }
    return std::find_if(settled.begin(), settled.end(), same_key);
}

// What a statistics entry gained after the ended round's draft was built.
std::vector<CombatStatsDraftEntry> CombatStatsSince(
    const std::vector<CombatStatsDraftEntry>& now,
    const std::vector<CombatStatsDraftEntry>& settled) {
    std::vector<CombatStatsDraftEntry> carried;
    for (std::size_t i = 0; i < now.size(); ++i) {
        const CombatStatsDraftEntry& entry = now[i];
        const auto before = FindSettled(settled, i, [&](const CombatStatsDraftEntry& s) {
            return s.steam_id == entry.steam_id;
        });
        CombatStatsDraftEntry delta = entry;
        if (before != settled.end()) {
            delta.kills = Since(entry.kills, before->kills);
            delta.deaths = Since(entry.deaths, before->deaths);
            delta.headshots = Since(entry.headshots, before->headshots);
            delta.shots_fired = Since(entry.shots_fired, before->shots_fired);
            delta.shots_hit = Since(entry.shots_hit, before->shots_hit);
            delta.rounds_played = Since(entry.rounds_played, before->rounds_played);
        }
        if (delta.kills != 0 || delta.deaths != 0 || delta.headshots != 0 ||
            delta.shots_fired != 0 || delta.shots_hit != 0 || delta.rounds_played != 0) {
            carried.push_back(delta);
        }
    }
    return carried;
}

std::vector<RivalStatsDraftEntry> RivalStatsSince(
    const std::vector<RivalStatsDraftEntry>& now,
    const std::vector<RivalStatsDraftEntry>& settled) {
    std::vector<RivalStatsDraftEntry> carried;
    for (std::size_t i = 0; i < now.size(); ++i) {
        const RivalStatsDraftEntry& entry = now[i];
        const auto before = FindSettled(settled, i, [&](const RivalStatsDraftEntry& s) {
            return s.attacker_steam_id == entry.attacker_steam_id &&
                   s.victim_steam_id == entry.victim_steam_id;
        });
        RivalStatsDraftEntry delta = entry;
        if (before != settled.end()) {
            delta.hits = Since(entry.hits, before->hits);
            delta.damage = Since(entry.damage, before->damage);
            delta.kills = Since(entry.kills, before->kills);
        }
        if (delta.hits != 0 || delta.damage != 0 || delta.kills != 0) {
            carried.push_back(delta);
        }
    }
    return carried;
}

// The earnings entry of the occupant's slot made for the occupant itself.
template <typename Earning>
std::optional<Earning> EarningOfOccupant(const std::vector<Earning>& earnings,
                                         const ConnectedPlayer* occupant) {
    if (occupant == nullptr) {
        return std::nullopt;
    }
    for (const Earning& earning : earnings) {
        if (earning.slot == occupant->slot && earning.steam_id == occupant->steam_id) {
            return earning;
        }
    }
    return std::nullopt;
}

}  // namespace

// ---------------------------------------------------------------------------
// Relay statuses

const char* SettlementRelayStatusName(SettlementRelayStatus status) {
    switch (status) {
        case SettlementRelayStatus::NotSubmitted:
            return "not_submitted";
        case SettlementRelayStatus::Queued:
            return "queued";
        case SettlementRelayStatus::Submitted:
            return "submitted";
        case SettlementRelayStatus::Included:
            return "included";
        case SettlementRelayStatus::Finalized:
            return "finalized";
        case SettlementRelayStatus::Failed:
            return "failed";
        default:
            return "unknown";
    }
}

SettlementRelayStatus ParseSettlementRelayStatus(const std::string& text) {
    static constexpr SettlementRelayStatus kNamed[] = {
        SettlementRelayStatus::NotSubmitted, SettlementRelayStatus::Queued,
        SettlementRelayStatus::Submitted,    SettlementRelayStatus::Included,
        SettlementRelayStatus::Finalized,    SettlementRelayStatus::Failed,
    };
    for (const SettlementRelayStatus status : kNamed) {
        if (text == SettlementRelayStatusName(status)) {
            return status;
        }
    }
    return SettlementRelayStatus::Unknown;
}

bool IsTerminalSettlementRelayStatus(SettlementRelayStatus status) {
    return status == SettlementRelayStatus::Included ||
           status == SettlementRelayStatus::Finalized || status == SettlementRelayStatus::Failed;
}

// ---------------------------------------------------------------------------
// Draft

bool IsRoundSettlementDraftComplete(const RoundSettlementDraft& draft) {
    return !draft.server_id.empty() && !draft.session_id.empty() && !draft.map_name_hash.empty() &&
           !draft.previous_round_hash.empty() && !draft.roster_root.empty() &&
           !draft.config_hash.empty() && draft.round_number != 0;
}

std::optional<RoundSettlementDraft> PluginRuntime::BuildSettlementDraft(
    const SettlementDraftRequest& request) const {
    if (!loaded_) {
        return std::nullopt;
    }
    RoundSettlementDraft draft;
    draft.server_id = request.server_id;
    draft.session_id = request.session_id;
    draft.map_name_hash = request.map_name_hash;
    draft.round_number = request.round_number;
    draft.previous_round_hash = request.previous_round_hash;
    draft.roster_root = request.roster_root;
    draft.config_hash = request.config_hash;
    if (!IsRoundSettlementDraftComplete(draft)) {
        return std::nullopt;
    }
    draft.reward_entries = pending_rewards_;
    draft.weapon_spend_entries = pending_weapon_spends_;
    draft.zolt_transfer_entries.reserve(pending_transfers_.size());
    for (const TransferIntent& intent : pending_transfers_) {
        draft.zolt_transfer_entries.push_back(ToDraftEntry(intent));
    }
    draft.combat_stats_entries = pending_combat_stats_;
    draft.rival_stats_entries = pending_rival_stats_;
    return draft;
}

// ---------------------------------------------------------------------------
// Clearing and carry-over

void PluginRuntime::MarkSettlementWatermark() {
    settlement_watermark_.set = true;
    settlement_watermark_.rewards = pending_rewards_.size();
    settlement_watermark_.weapon_spends = pending_weapon_spends_.size();
    settlement_watermark_.next_transfer_intent_id = next_transfer_intent_id_;
    settlement_watermark_.combat_stats = pending_combat_stats_;
    settlement_watermark_.rival_stats = pending_rival_stats_;
}

void PluginRuntime::ClearPendingSettlementEvents() {
    pending_rewards_.clear();
    pending_weapon_spends_.clear();
    pending_transfers_.clear();
    pending_combat_stats_.clear();
    pending_rival_stats_.clear();
    kill_pair_counts_.clear();
    settlement_watermark_ = SettlementWatermark{};
}

void PluginRuntime::ClearSettledPendingEvents() {
    const RoundPhase phase = round_state_.phase;
    // The repeated-victim cap lasts one round, whatever is carried over.
    kill_pair_counts_.clear();
    if (phase == RoundPhase::RoundActive) {
        // A running round that is reset instead of ended is abandoned whole.
        ClearPendingSettlementEvents();
    } else if (settlement_watermark_.set) {
        // Keep what was accepted after the ended round's draft was built.
        const SettlementWatermark& mark = settlement_watermark_;
        pending_rewards_.erase(
            pending_rewards_.begin(),
            pending_rewards_.begin() +
                static_cast<std::ptrdiff_t>(std::min(mark.rewards, pending_rewards_.size())));
        pending_weapon_spends_.erase(pending_weapon_spends_.begin(),
                                     pending_weapon_spends_.begin() +
                                         static_cast<std::ptrdiff_t>(std::min(
                                             mark.weapon_spends, pending_weapon_spends_.size())));
        pending_transfers_.erase(
            std::remove_if(pending_transfers_.begin(), pending_transfers_.end(),
                           [&](const TransferIntent& intent) {
                               return intent.intent_id < mark.next_transfer_intent_id;
                           }),
            pending_transfers_.end());
        pending_combat_stats_ = CombatStatsSince(pending_combat_stats_, mark.combat_stats);
        pending_rival_stats_ = RivalStatsSince(pending_rival_stats_, mark.rival_stats);
    }
    // Otherwise no round has ended since the last clear (idle after a load
    // or a reset, or a buy setup after a chain inclusion): no draft covered
    // anything pending, so everything stays for the next settlement.
    settlement_watermark_ = SettlementWatermark{};
}

// ---------------------------------------------------------------------------
// Earnings

void PluginRuntime::SnapshotLastRoundEarnings(std::uint32_t round_number,
                                              SettlementRelayStatus relay_status,
                                              std::uint64_t settled_at_ms) {
    if (!loaded_ || round_number == 0) {
        return;
    }
    // Only what the ended round's draft carried counts for it; rewards
    // accepted since then belong to the next settlement.
    const std::size_t settled_rewards =
        settlement_watermark_.set ? std::min(settlement_watermark_.rewards, pending_rewards_.size())
                                  : pending_rewards_.size();
    std::vector<LastRoundPlayerEarning> earnings;
    for (const ConnectedPlayer& player : players_) {
        if (IsBotPlayer(player)) {
            continue;
        }
        LastRoundPlayerEarning earning;
        earning.round_number = round_number;
        earning.slot = player.slot;
        earning.steam_id = player.steam_id;
        for (std::size_t i = 0; i < settled_rewards; ++i) {
            // A previous occupant's rewards settle under its own id, not as
            // the newcomer's earnings.
            if (pending_rewards_[i].slot == player.slot &&
                pending_rewards_[i].steam_id == player.steam_id) {
                earning.earned_zolt =
                    SaturatingAdd(earning.earned_zolt, pending_rewards_[i].reward_zolt);
            }
        }
        earning.relay_status = relay_status;
        if (const std::optional<PlayerChainProfile> profile =
                PlayerChainProfileForSlot(player.slot)) {
            earning.source_block = profile->source_block;
        }
        earning.settled_at_ms = settled_at_ms;
        earnings.push_back(std::move(earning));
    }
    last_round_earnings_ = std::move(earnings);
}

std::vector<LastRoundPlayerEarning> PluginRuntime::LastRoundEarnings() const {
    return last_round_earnings_;
}

std::optional<LastRoundPlayerEarning> PluginRuntime::LastRoundEarningForSlot(
    std::int32_t slot) const {
    return EarningOfOccupant(last_round_earnings_, PlayerAt(slot));
}

std::vector<SessionPlayerEarning> PluginRuntime::SessionEarnings() const {
    return session_earnings_;
}

std::optional<SessionPlayerEarning> PluginRuntime::SessionEarningForSlot(std::int32_t slot) const {
    return EarningOfOccupant(session_earnings_, PlayerAt(slot));
}

// ---------------------------------------------------------------------------
// Unresolved settlements

void PluginRuntime::TrackUnresolvedSettlementRecord(const std::string& request_id,
                                                    const RoundSettlementDraft& draft,
                                                    SettlementRelayStatus relay_status,
                                                    std::uint64_t now_ms) {
    if (!loaded_ || request_id.empty()) {
        return;
    }
    UnresolvedSettlementRecord record;
    record.request_id = request_id;
    record.round_number = draft.round_number;
    record.relay_status = relay_status;
    record.reward_entries = draft.reward_entries;
    record.weapon_spend_entries = draft.weapon_spend_entries;
    record.zolt_transfer_entries = draft.zolt_transfer_entries;
    record.combat_stats_entries = draft.combat_stats_entries;
    record.rival_stats_entries = draft.rival_stats_entries;
    record.recorded_at_ms = now_ms;
    for (UnresolvedSettlementRecord& existing : unresolved_settlement_records_) {
        if (existing.request_id == request_id) {
            existing = std::move(record);
            return;
        }
    }
    unresolved_settlement_records_.push_back(std::move(record));
}

void PluginRuntime::UpdateUnresolvedSettlementRecord(const std::string& request_id,
                                                     SettlementRelayStatus relay_status,
                                                     const std::string& error) {
    if (request_id.empty()) {
        return;
    }
    for (UnresolvedSettlementRecord& record : unresolved_settlement_records_) {
        if (record.request_id == request_id) {
            record.relay_status = relay_status;
            if (!error.empty()) {
                record.last_error = error;
            }
            return;
        }
    }
    UnresolvedSettlementRecord record;
    record.request_id = request_id;
    record.relay_status = relay_status;
    record.last_error = error;
    unresolved_settlement_records_.push_back(std::move(record));
}

void PluginRuntime::ClearTerminalUnresolvedSettlementRecord(const std::string& request_id) {
    if (request_id.empty()) {
        return;
    }
    // A failed settlement stays listed: its retry may still resolve it.
    unresolved_settlement_records_.erase(
        std::remove_if(unresolved_settlement_records_.begin(), unresolved_settlement_records_.end(),
                       [&](const UnresolvedSettlementRecord& record) {
                           return record.request_id == request_id &&
                                  (record.relay_status == SettlementRelayStatus::Included ||
                                   record.relay_status == SettlementRelayStatus::Finalized);
                       }),
        unresolved_settlement_records_.end());
}

std::vector<UnresolvedSettlementRecord> PluginRuntime::UnresolvedSettlementRecords() const {
    return unresolved_settlement_records_;
}

std::vector<std::string> PluginRuntime::UnresolvedSettlementRequestIds() const {
    std::vector<std::string> ids;
    ids.reserve(unresolved_settlement_records_.size());
    for (const UnresolvedSettlementRecord& record : unresolved_settlement_records_) {
        ids.push_back(record.request_id);
    }
    return ids;
}

}  // namespace ironpost
