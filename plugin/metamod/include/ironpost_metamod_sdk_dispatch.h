#pragma once

// The one process-wide callback dispatcher between the engine layer's hooks
// and the plugin. It points at the runtime's adapter exactly while the
// plugin is attached; unbound, every call answers
// "sdk_callback_adapter_not_bound" and nothing reaches the host. Main thread
// only.

#include <cstddef>
#include <string>

#include "ironpost_export.h"
#include "ironpost_metamod_module.h"
#include "ironpost_metamod_sdk_adapter.h"
#include "ironpost_metamod_sdk_events.h"

namespace ironpost {

struct MetamodSdkDispatcherBindingResult {
    bool bound = false;
    bool cleared = false;
    std::string reason;
    std::size_t notifications_published = 0;  // copied from the lifecycle result
};

class MetamodSdkCallbackDispatcher {
  public:
    // The adapter must outlive its binding.
    void Bind(MetamodSdkCallbackAdapter* adapter) { adapter_ = adapter; }
    void Clear() { adapter_ = nullptr; }
    [[nodiscard]] bool HasAdapter() const { return adapter_ != nullptr; }

    // One call per engine callback; `callback_name` is the operation's name.
    [[nodiscard]] MetamodSdkDispatchResult ClientConnect(const MetamodSdkClientConnectEvent& event);
    [[nodiscard]] MetamodSdkDispatchResult ClientIdentityValidated(
        const MetamodSdkClientConnectEvent& event);
    [[nodiscard]] MetamodSdkDispatchResult ClientDisconnect(
        const MetamodSdkClientDisconnectEvent& event);
    [[nodiscard]] MetamodSdkDispatchResult ClientCommand(const MetamodSdkClientCommandEvent& event);
    [[nodiscard]] MetamodSdkDispatchResult StartFrame(const MetamodSdkStartFrameEvent& event);
    [[nodiscard]] MetamodSdkDispatchResult TeamInfo(const MetamodSdkTeamInfoEvent& event);
    [[nodiscard]] MetamodSdkDispatchResult RoundStart(const MetamodSdkRoundStartEvent& event);
    [[nodiscard]] MetamodSdkDispatchResult RoundEnd(const MetamodSdkRoundEndEvent& event);
    [[nodiscard]] MetamodSdkDispatchResult Damage(const MetamodSdkDamageEvent& event);
    [[nodiscard]] MetamodSdkDispatchResult DeathMsg(const MetamodSdkDeathMsgEvent& event);
    [[nodiscard]] MetamodSdkDispatchResult RoundWin(const MetamodSdkRoundWinEvent& event);
    [[nodiscard]] MetamodSdkDispatchResult WeaponPurchase(
        const MetamodSdkWeaponPurchaseEvent& event);
    [[nodiscard]] MetamodSdkDispatchResult WeaponStats(const MetamodSdkWeaponStatsEvent& event);
    [[nodiscard]] MetamodSdkDispatchResult BuySetup(const MetamodSdkBuySetupEvent& event);

  private:
    MetamodSdkCallbackAdapter* adapter_ = nullptr;
};

// The process-wide dispatcher, unbound until the first attach.
[[nodiscard]] MetamodSdkCallbackDispatcher& IronpostMetamodSdkCallbackDispatcher();

// Binds after an attach that left the plugin attached; clears after a
// detach that left it detached; any other lifecycle leaves the dispatcher
// as it was.
[[nodiscard]] MetamodSdkDispatcherBindingResult BindMetamodSdkCallbackDispatcher(
    const HostLifecycleResult& lifecycle, MetamodSdkCallbackAdapter& adapter,
    MetamodSdkCallbackDispatcher& dispatcher);
[[nodiscard]] MetamodSdkDispatcherBindingResult ClearMetamodSdkCallbackDispatcher(
    const HostLifecycleResult& lifecycle, MetamodSdkCallbackDispatcher& dispatcher);
[[nodiscard]] MetamodSdkDispatcherBindingResult BindIronpostMetamodSdkCallbackDispatcher(
    const HostLifecycleResult& lifecycle, MetamodSdkCallbackAdapter& adapter);
[[nodiscard]] MetamodSdkDispatcherBindingResult ClearIronpostMetamodSdkCallbackDispatcher(
    const HostLifecycleResult& lifecycle);

}  // namespace ironpost

// 1 while the process-wide dispatcher has an adapter, else 0.
IRONPOST_EXPORT int ironpost_metamod_sdk_dispatcher_bound();
