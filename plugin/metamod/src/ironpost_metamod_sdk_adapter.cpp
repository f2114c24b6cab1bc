// SDK event conversions and the callback adapter over the host.

#include "ironpost_metamod_sdk_adapter.h"

#include <algorithm>

namespace ironpost {

EnginePlayerAuthorizedEvent ToEnginePlayerAuthorizedEvent(
    const MetamodSdkClientConnectEvent& event) {
    return EnginePlayerAuthorizedEvent{event.slot, event.name, event.steam_id, event.is_bot};
}

EngineSlotEvent ToEngineSlotEvent(const MetamodSdkClientDisconnectEvent& event) {
    return EngineSlotEvent{event.slot};
}

EngineCommandInput ToEngineCommandInput(const MetamodSdkClientCommandEvent& event) {
    return EngineCommandInput{event.slot, event.command, event.args, 0};
}

EngineFrameTickEvent ToEngineFrameTickEvent(const MetamodSdkStartFrameEvent& event) {
    return EngineFrameTickEvent{event.now_ms};
}

EnginePlayerTeamEvent ToEnginePlayerTeamEvent(const MetamodSdkTeamInfoEvent& event) {
    return EnginePlayerTeamEvent{event.slot, event.team_name};
}

EngineRoundStartEvent ToEngineRoundStartEvent(const MetamodSdkRoundStartEvent& event) {
    return EngineRoundStartEvent{event.round_number};
}

EngineRoundEndEvent ToEngineRoundEndEvent(const MetamodSdkRoundEndEvent& event) {
    return EngineRoundEndEvent{
        event.now_ms,     event.request_id,    event.received_at,         event.server_id,
        event.session_id, event.map_name_hash, event.previous_round_hash, event.roster_root,
        event.config_hash};
}

EngineDamageEvent ToEngineDamageEvent(const MetamodSdkDamageEvent& event) {
    return EngineDamageEvent{event.attacker_slot, event.victim_slot, event.damage};
}

EngineKillEvent ToEngineKillEvent(const MetamodSdkDeathMsgEvent& event) {
    return EngineKillEvent{event.killer_slot, event.victim_slot, event.headshot};
}

EngineRoundWinEvent ToEngineRoundWinEvent(const MetamodSdkRoundWinEvent& event) {
    return EngineRoundWinEvent{event.slot};
}

EngineWeaponPurchaseEvent ToEngineWeaponPurchaseEvent(const MetamodSdkWeaponPurchaseEvent& event) {
    return EngineWeaponPurchaseEvent{event.slot, event.weapon_id, event.zolt_cost,
                                     event.round_number};
}

EngineWeaponStatsEvent ToEngineWeaponStatsEvent(const MetamodSdkWeaponStatsEvent& event) {
    return EngineWeaponStatsEvent{event.slot, event.shots_fired, event.shots_hit};
}

// ---------------------------------------------------------------------------

HostEventResult MetamodSdkCallbackAdapter::ClientConnect(
    const MetamodSdkClientConnectEvent& event) {
    return host_.OnClientAuthorized(ToEnginePlayerAuthorizedEvent(event));
}

HostEventResult MetamodSdkCallbackAdapter::ClientIdentityValidated(
    const MetamodSdkClientConnectEvent& event) {
    return host_.OnClientIdentityValidated(ToEnginePlayerAuthorizedEvent(event));
}

HostEventResult MetamodSdkCallbackAdapter::ClientDisconnect(
    const MetamodSdkClientDisconnectEvent& event) {
    return host_.OnClientDisconnect(ToEngineSlotEvent(event));
}

HostCommandResult MetamodSdkCallbackAdapter::ClientCommand(
    const MetamodSdkClientCommandEvent& event) {
    return host_.HandleCommand(ToEngineCommandInput(event));
}

HostTickResult MetamodSdkCallbackAdapter::StartFrame(const MetamodSdkStartFrameEvent& event) {
    RereadPendingIdentities(event.now_ms);
    return host_.OnFrameTick(ToEngineFrameTickEvent(event));
}

HostEventResult MetamodSdkCallbackAdapter::TeamInfo(const MetamodSdkTeamInfoEvent& event) {
    return host_.OnClientTeamChanged(ToEnginePlayerTeamEvent(event));
}

HostEventResult MetamodSdkCallbackAdapter::RoundStart(const MetamodSdkRoundStartEvent& event) {
    return host_.OnRoundStart(ToEngineRoundStartEvent(event));
}

HostEventResult MetamodSdkCallbackAdapter::RoundEnd(const MetamodSdkRoundEndEvent& event) {
    return host_.OnRoundEnd(ToEngineRoundEndEvent(event));
}

HostEventResult MetamodSdkCallbackAdapter::Damage(const MetamodSdkDamageEvent& event) {
    return host_.OnDamage(ToEngineDamageEvent(event));
}

HostEventResult MetamodSdkCallbackAdapter::DeathMsg(const MetamodSdkDeathMsgEvent& event) {
    return host_.OnKill(ToEngineKillEvent(event));
}

HostEventResult MetamodSdkCallbackAdapter::RoundWin(const MetamodSdkRoundWinEvent& event) {
    return host_.OnRoundWin(ToEngineRoundWinEvent(event));
}

HostEventResult MetamodSdkCallbackAdapter::WeaponPurchase(
    const MetamodSdkWeaponPurchaseEvent& event) {
    return host_.OnWeaponPurchase(ToEngineWeaponPurchaseEvent(event));
}

HostEventResult MetamodSdkCallbackAdapter::WeaponStats(const MetamodSdkWeaponStatsEvent& event) {
    return host_.OnWeaponStats(ToEngineWeaponStatsEvent(event));
}

HostEventResult MetamodSdkCallbackAdapter::BuySetup(const MetamodSdkBuySetupEvent& /*event*/) {
    return host_.OnBuySetup();
}

void MetamodSdkCallbackAdapter::RereadPendingIdentities(std::uint64_t now_ms) {
    if (!identity_reader_ || !host_.Session().IsLoaded()) {
        identity_reads_.clear();
        return;
    }
    std::vector<std::pair<std::int32_t, std::uint64_t>> reads;
    // Runs every frame: only the pending slots are looked at, not a copy of
    // every player.
    const PluginRuntime& runtime = host_.Session().Runtime();
    for (const std::int32_t slot : runtime.PendingIdentitySlots()) {
        const auto last = std::find_if(identity_reads_.begin(), identity_reads_.end(),
                                       [&](const auto& read) { return read.first == slot; });
        // A clock that went back makes the read due at once.
        if (last != identity_reads_.end() && now_ms >= last->second &&
            now_ms - last->second < kIdentityRereadIntervalMs) {
            reads.push_back(*last);
            continue;
        }
        reads.emplace_back(slot, now_ms);
        const std::optional<std::string> steam_id = identity_reader_(slot);
        const std::optional<ConnectedPlayer> player = runtime.FindPlayer(slot);
        if (steam_id && !IsPendingSteamId(*steam_id) && player) {
            (void)host_.OnClientIdentityValidated(
                EnginePlayerAuthorizedEvent{slot, player->name, *steam_id, false});
        }
    }
    // Only slots still pending are remembered.
    identity_reads_ = std::move(reads);
}

}  // namespace ironpost
