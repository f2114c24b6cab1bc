// The event bridge: the ring of recent gameplay events and the event
// handlers that feed the session and the runtime.

#include "ironpost_engine_bridge.h"

#include <algorithm>
#include <utility>

namespace ironpost {

namespace {

EngineEventResult NotLoaded() {
    EngineEventResult result;
    result.reason = "plugin_session_not_loaded";
    return result;
}

EngineEventResult Outcome(bool accepted, const char* accepted_reason, const char* refused_reason) {
    EngineEventResult result;
    result.accepted = accepted;
    result.reason = accepted ? accepted_reason : refused_reason;
    return result;
}

EngineEventResult RewardOutcome(std::optional<RewardDraftEntry> reward, const char* accepted_reason,
                                const char* refused_reason) {
    EngineEventResult result = Outcome(reward.has_value(), accepted_reason, refused_reason);
    result.reward = std::move(reward);
    return result;
}

}  // namespace

EngineEventBridge::EngineEventBridge(MetamodPluginSession& session) : session_(session) {}

bool EngineEventBridge::IsLoaded() const {
    return session_.IsLoaded();
}

std::size_t EngineEventBridge::BufferedEventCount() const {
    return event_buffer_.size();
}

std::vector<EngineBufferedGameplayEvent> EngineEventBridge::SnapshotBufferedEvents() const {
    std::vector<EngineBufferedGameplayEvent> snapshot;
    snapshot.reserve(event_buffer_.size());
    const auto oldest = event_buffer_.begin() + static_cast<std::ptrdiff_t>(event_buffer_next_);
    snapshot.insert(snapshot.end(), oldest, event_buffer_.end());
    snapshot.insert(snapshot.end(), event_buffer_.begin(), oldest);
    return snapshot;
}

void EngineEventBridge::UnwrapEventBuffer() {
    std::rotate(event_buffer_.begin(),
                event_buffer_.begin() + static_cast<std::ptrdiff_t>(event_buffer_next_),
                event_buffer_.end());
    event_buffer_next_ = 0;
}

void EngineEventBridge::RecordBufferedEvent(const std::string& type, std::uint64_t now_ms,
                                            std::int32_t slot, std::int32_t peer_slot,
                                            std::uint64_t value, const std::string& detail) {
    const std::size_t cap = session_.Config().event_buffer_size;
    if (cap == 0) {
        return;
    }
    if (event_buffer_.size() != cap) {
        // The bound changed since the ring last filled: line it up oldest
        // first, then drop the oldest surplus, so the newest entries stay.
        UnwrapEventBuffer();
        if (event_buffer_.size() > cap) {
            event_buffer_.erase(event_buffer_.begin(),
                                event_buffer_.end() - static_cast<std::ptrdiff_t>(cap));
        }
    }
    EngineBufferedGameplayEvent entry{++event_sequence_, now_ms, type,  slot,
                                      peer_slot,         value,  detail};
    if (type == "round_end") {
        newest_round_end_sequence_ = entry.sequence;
    }
    if (event_buffer_.size() < cap) {
        event_buffer_.push_back(std::move(entry));
        return;
    }
    event_buffer_[event_buffer_next_] = std::move(entry);
    event_buffer_next_ = (event_buffer_next_ + 1) % cap;
}

EngineEventResult EngineEventBridge::OnClientAuthorized(const EnginePlayerAuthorizedEvent& event) {
    if (!IsLoaded()) {
        return NotLoaded();
    }
    RecordBufferedEvent("connect", 0, event.slot, 0, event.is_bot ? 1 : 0, event.steam_id);
    return Outcome(
        session_.OnClientAuthorized(event.slot, event.name, event.steam_id, event.is_bot),
        "client_authorized", "client_authorize_rejected");
}

EngineEventResult EngineEventBridge::OnClientDisconnect(const EngineSlotEvent& event) {
    if (!IsLoaded()) {
        return NotLoaded();
    }
    RecordBufferedEvent("disconnect", 0, event.slot, 0, 0, "");
    return Outcome(session_.OnClientDisconnect(event.slot), "client_disconnected",
                   "client_disconnect_rejected");
}

EngineEventResult EngineEventBridge::OnClientTeamChanged(const EnginePlayerTeamEvent& event) {
    if (!IsLoaded()) {
        return NotLoaded();
    }
    RecordBufferedEvent("team", 0, event.slot, 0, 0, event.team_name);
    return Outcome(session_.OnClientTeamChanged(event.slot, event.team_name), "client_team_changed",
                   "client_team_rejected");
}

EngineEventResult EngineEventBridge::OnRoundStart(const EngineRoundStartEvent& event) {
    if (!IsLoaded()) {
        return NotLoaded();
    }
    RecordBufferedEvent("round_start", 0, 0, 0, event.round_number, "");
    return Outcome(session_.OnRoundStart(event.round_number), "round_started",
                   "round_start_rejected");
}

EngineEventResult EngineEventBridge::OnBuySetup() {
    if (!IsLoaded()) {
        return NotLoaded();
    }
    RecordBufferedEvent("buy_setup", 0, 0, 0, 0, "");
    return Outcome(session_.OnBuySetup(), "buy_setup_started", "buy_setup_rejected");
}

EngineEventResult EngineEventBridge::OnDamage(const EngineDamageEvent& event) {
    if (!IsLoaded()) {
        return NotLoaded();
    }
    RecordBufferedEvent("damage", 0, event.attacker_slot, event.victim_slot, event.damage, "");
    return RewardOutcome(
        session_.Runtime().RecordDamageEvent(event.attacker_slot, event.victim_slot, event.damage),
        "damage_reward_queued", "damage_reward_rejected");
}

EngineEventResult EngineEventBridge::OnKill(const EngineKillEvent& event) {
    if (!IsLoaded()) {
        return NotLoaded();
    }
    RecordBufferedEvent("death", 0, event.killer_slot, event.victim_slot, event.headshot ? 1 : 0,
                        "");
    return RewardOutcome(
        session_.Runtime().RecordKillEvent(event.killer_slot, event.victim_slot, event.headshot),
        "kill_reward_queued", "kill_reward_rejected");
}

EngineEventResult EngineEventBridge::OnRoundWin(const EngineRoundWinEvent& event) {
    if (!IsLoaded()) {
        return NotLoaded();
    }
    RecordBufferedEvent("round_win", 0, event.slot, 0, 0, "");
    return RewardOutcome(session_.Runtime().RecordRoundWinEvent(event.slot),
                         "round_win_reward_queued", "round_win_reward_rejected");
}

EngineEventResult EngineEventBridge::OnWeaponPurchase(const EngineWeaponPurchaseEvent& event) {
    if (!IsLoaded()) {
        return NotLoaded();
    }
    RecordBufferedEvent("weapon_purchase", 0, event.slot, 0, event.zolt_cost, event.weapon_id);
    PluginRuntime& runtime = session_.Runtime();
    const std::uint32_t round =
        event.round_number != 0 ? event.round_number : runtime.CurrentRoundState().round_number;
    EngineEventResult result;
    result.purchase =
        runtime.RecordWeaponPurchase(event.slot, event.weapon_id, event.zolt_cost, round);
    result.accepted = result.purchase->allowed;
    result.reason = result.purchase->reason;
    return result;
}

EngineEventResult EngineEventBridge::OnWeaponStats(const EngineWeaponStatsEvent& event) {
    if (!IsLoaded()) {
        return NotLoaded();
    }
    RecordBufferedEvent("weaponstats", 0, event.slot, 0, event.shots_fired,
                        "hits=" + std::to_string(event.shots_hit));
    return Outcome(
        session_.Runtime().RecordWeaponStatsEvent(event.slot, event.shots_fired, event.shots_hit),
        "weaponstats_recorded", "weaponstats_rejected");
}

EngineEventResult EngineEventBridge::OnRoundEnd(const EngineRoundEndEvent& event) {
    if (!IsLoaded()) {
        return NotLoaded();
    }
    RecordBufferedEvent("round_end", event.now_ms, 0, 0, 0, event.request_id);
    const MetamodRoundEndContext context{
        event.request_id,    event.received_at,         event.server_id,   event.session_id,
        event.map_name_hash, event.previous_round_hash, event.roster_root, event.config_hash};
    EngineEventResult result;
    result.settlement = session_.OnRoundEnd(context, event.now_ms);
    result.accepted = result.settlement->submitted;
    result.reason = result.accepted ? "round_submitted" : "round_end_rejected";
    result.errors = result.settlement->errors;
    return result;
}

}  // namespace ironpost
