#pragma once

// Turns the engine layer's SDK event records into the host's engine-neutral
// events and calls the host. One adapter lives in the plugin runtime; the
// engine layer reaches it only through the callback dispatcher. Main thread
// only.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ironpost_metamod_sdk_events.h"
#include "ironpost_plugin_host.h"

namespace ironpost {

// Field-for-field copies into the host's records.
[[nodiscard]] EnginePlayerAuthorizedEvent ToEnginePlayerAuthorizedEvent(
    const MetamodSdkClientConnectEvent& event);
[[nodiscard]] EngineSlotEvent ToEngineSlotEvent(const MetamodSdkClientDisconnectEvent& event);
[[nodiscard]] EngineCommandInput ToEngineCommandInput(const MetamodSdkClientCommandEvent& event);
[[nodiscard]] EngineFrameTickEvent ToEngineFrameTickEvent(const MetamodSdkStartFrameEvent& event);
[[nodiscard]] EnginePlayerTeamEvent ToEnginePlayerTeamEvent(const MetamodSdkTeamInfoEvent& event);
[[nodiscard]] EngineRoundStartEvent ToEngineRoundStartEvent(const MetamodSdkRoundStartEvent& event);
[[nodiscard]] EngineRoundEndEvent ToEngineRoundEndEvent(const MetamodSdkRoundEndEvent& event);
[[nodiscard]] EngineDamageEvent ToEngineDamageEvent(const MetamodSdkDamageEvent& event);
[[nodiscard]] EngineKillEvent ToEngineKillEvent(const MetamodSdkDeathMsgEvent& event);
[[nodiscard]] EngineRoundWinEvent ToEngineRoundWinEvent(const MetamodSdkRoundWinEvent& event);
[[nodiscard]] EngineWeaponPurchaseEvent ToEngineWeaponPurchaseEvent(
    const MetamodSdkWeaponPurchaseEvent& event);
[[nodiscard]] EngineWeaponStatsEvent ToEngineWeaponStatsEvent(
    const MetamodSdkWeaponStatsEvent& event);

// A pending placeholder id is re-read at most this often per slot.
inline constexpr std::uint64_t kIdentityRereadIntervalMs = 1000;

class MetamodSdkCallbackAdapter {
  public:
    // The engine's current authentication id of a slot; nothing when the
    // engine cannot say.
    using IdentityReader = std::function<std::optional<std::string>(std::int32_t slot)>;

    // The host must outlive the adapter.
    explicit MetamodSdkCallbackAdapter(MetamodPluginHost& host) : host_(host) {}
    MetamodSdkCallbackAdapter(const MetamodSdkCallbackAdapter&) = delete;
    MetamodSdkCallbackAdapter& operator=(const MetamodSdkCallbackAdapter&) = delete;

    // Set by the engine layer. Most players connect under "STEAM_ID_PENDING"
    // and are validated a second or so later; StartFrame then reads the ids
    // of such slots again and upgrades them in place.
    void SetIdentityReader(IdentityReader reader) { identity_reader_ = std::move(reader); }

    [[nodiscard]] HostEventResult ClientConnect(const MetamodSdkClientConnectEvent& event);
    // The validated id of a slot that connected under a pending one.
    [[nodiscard]] HostEventResult ClientIdentityValidated(
        const MetamodSdkClientConnectEvent& event);
    [[nodiscard]] HostEventResult ClientDisconnect(const MetamodSdkClientDisconnectEvent& event);
    [[nodiscard]] HostCommandResult ClientCommand(const MetamodSdkClientCommandEvent& event);
    // Re-reads pending identities, then ticks the host.
    [[nodiscard]] HostTickResult StartFrame(const MetamodSdkStartFrameEvent& event);
    [[nodiscard]] HostEventResult TeamInfo(const MetamodSdkTeamInfoEvent& event);
    [[nodiscard]] HostEventResult RoundStart(const MetamodSdkRoundStartEvent& event);
    [[nodiscard]] HostEventResult RoundEnd(const MetamodSdkRoundEndEvent& event);
    [[nodiscard]] HostEventResult Damage(const MetamodSdkDamageEvent& event);
    [[nodiscard]] HostEventResult DeathMsg(const MetamodSdkDeathMsgEvent& event);
    [[nodiscard]] HostEventResult RoundWin(const MetamodSdkRoundWinEvent& event);
    [[nodiscard]] HostEventResult WeaponPurchase(const MetamodSdkWeaponPurchaseEvent& event);
    [[nodiscard]] HostEventResult WeaponStats(const MetamodSdkWeaponStatsEvent& event);
    [[nodiscard]] HostEventResult BuySetup(const MetamodSdkBuySetupEvent& event);

    [[nodiscard]] MetamodPluginHost& Host() { return host_; }

  private:
    void RereadPendingIdentities(std::uint64_t now_ms);

    MetamodPluginHost& host_;
    IdentityReader identity_reader_;
    std::vector<std::pair<std::int32_t, std::uint64_t>> identity_reads_;  // slot, last read
};

}  // namespace ironpost
