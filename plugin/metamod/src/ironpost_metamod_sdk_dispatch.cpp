// The process-wide callback dispatcher and its binding rules.

#include "ironpost_metamod_sdk_dispatch.h"

#include <utility>

namespace ironpost {

namespace {

using Adapter = MetamodSdkCallbackAdapter;

MetamodSdkDispatchResult Unbound(const char* name) {
    MetamodSdkDispatchResult result;
    result.callback_name = name;
    result.reason = "sdk_callback_adapter_not_bound";
    return result;
}

MetamodSdkDispatchResult Bound(const char* name, std::size_t notifications_published) {
    MetamodSdkDispatchResult result;
    result.adapter_bound = true;
    result.callback_name = name;
    result.notifications_published = static_cast<std::uint32_t>(notifications_published);
    return result;
}

template <class Event>
MetamodSdkDispatchResult DispatchEvent(Adapter* adapter, const char* name,
                                       HostEventResult (Adapter::*call)(const Event&),
                                       const Event& event) {
    if (adapter == nullptr) {
        return Unbound(name);
    }
    HostEventResult host = (adapter->*call)(event);
    MetamodSdkDispatchResult result = Bound(name, host.notifications_published);
    result.handled = true;
    result.accepted = host.event.accepted;
    result.reason = std::move(host.event.reason);
    result.errors = std::move(host.event.errors);
    return result;
}

MetamodSdkDispatcherBindingResult BindingResult(const HostLifecycleResult& lifecycle,
                                                MetamodEntrypointPhase wanted,
                                                const char* wrong_phase_reason) {
    MetamodSdkDispatcherBindingResult result;
    result.notifications_published = lifecycle.notifications_published;
    if (!lifecycle.status.ok) {
        result.reason = "lifecycle_not_ok";
    } else if (lifecycle.status.phase != wanted) {
        result.reason = wrong_phase_reason;
    }
    return result;
}

}  // namespace

MetamodSdkDispatchResult MetamodSdkCallbackDispatcher::ClientConnect(
    const MetamodSdkClientConnectEvent& event) {
    return DispatchEvent(adapter_, "ClientConnect", &Adapter::ClientConnect, event);
}

MetamodSdkDispatchResult MetamodSdkCallbackDispatcher::ClientIdentityValidated(
    const MetamodSdkClientConnectEvent& event) {
    return DispatchEvent(adapter_, "ClientIdentityValidated", &Adapter::ClientIdentityValidated,
                         event);
}

MetamodSdkDispatchResult MetamodSdkCallbackDispatcher::ClientDisconnect(
    const MetamodSdkClientDisconnectEvent& event) {
    return DispatchEvent(adapter_, "ClientDisconnect", &Adapter::ClientDisconnect, event);
}

MetamodSdkDispatchResult MetamodSdkCallbackDispatcher::ClientCommand(
    const MetamodSdkClientCommandEvent& event) {
    if (adapter_ == nullptr) {
        return Unbound("ClientCommand");
    }
    HostCommandResult host = adapter_->ClientCommand(event);
    MetamodSdkDispatchResult result = Bound("ClientCommand", host.notifications_published);
    result.handled = host.command.handled;
    result.accepted = host.command.accepted;
    result.reason = std::move(host.command.reason);
    if (host.command.settlement) {
        result.errors = std::move(host.command.settlement->errors);
    }
    return result;
}

MetamodSdkDispatchResult MetamodSdkCallbackDispatcher::StartFrame(
    const MetamodSdkStartFrameEvent& event) {
    if (adapter_ == nullptr) {
        return Unbound("StartFrame");
    }
    HostTickResult host = adapter_->StartFrame(event);
    MetamodSdkDispatchResult result = Bound("StartFrame", host.notifications_published);
    result.handled = host.handled;
    result.retry_attempted = host.retry_attempted;
    result.reason = std::move(host.reason);
    if (host.settlement) {
        result.accepted = host.settlement->submitted;
        result.errors = std::move(host.settlement->errors);
    }
    result.alpha_team_policy = std::move(host.alpha_team_policy);
    result.alpha_team_policy_actions = std::move(host.alpha_team_policy_actions);
    return result;
}

MetamodSdkDispatchResult MetamodSdkCallbackDispatcher::TeamInfo(
    const MetamodSdkTeamInfoEvent& event) {
    return DispatchEvent(adapter_, "TeamInfo", &Adapter::TeamInfo, event);
}

MetamodSdkDispatchResult MetamodSdkCallbackDispatcher::RoundStart(
    const MetamodSdkRoundStartEvent& event) {
    return DispatchEvent(adapter_, "RoundStart", &Adapter::RoundStart, event);
}

MetamodSdkDispatchResult MetamodSdkCallbackDispatcher::RoundEnd(
    const MetamodSdkRoundEndEvent& event) {
    return DispatchEvent(adapter_, "RoundEnd", &Adapter::RoundEnd, event);
}

MetamodSdkDispatchResult MetamodSdkCallbackDispatcher::Damage(const MetamodSdkDamageEvent& event) {
    return DispatchEvent(adapter_, "Damage", &Adapter::Damage, event);
}

MetamodSdkDispatchResult MetamodSdkCallbackDispatcher::DeathMsg(
    const MetamodSdkDeathMsgEvent& event) {
    return DispatchEvent(adapter_, "DeathMsg", &Adapter::DeathMsg, event);
}

MetamodSdkDispatchResult MetamodSdkCallbackDispatcher::RoundWin(
    const MetamodSdkRoundWinEvent& event) {
    return DispatchEvent(adapter_, "RoundWin", &Adapter::RoundWin, event);
}

MetamodSdkDispatchResult MetamodSdkCallbackDispatcher::WeaponPurchase(
    const MetamodSdkWeaponPurchaseEvent& event) {
    return DispatchEvent(adapter_, "WeaponPurchase", &Adapter::WeaponPurchase, event);
}

MetamodSdkDispatchResult MetamodSdkCallbackDispatcher::WeaponStats(
    const MetamodSdkWeaponStatsEvent& event) {
    return DispatchEvent(adapter_, "WeaponStats", &Adapter::WeaponStats, event);
}

MetamodSdkDispatchResult MetamodSdkCallbackDispatcher::BuySetup(
    const MetamodSdkBuySetupEvent& event) {
    return DispatchEvent(adapter_, "BuySetup", &Adapter::BuySetup, event);
}

MetamodSdkCallbackDispatcher& IronpostMetamodSdkCallbackDispatcher() {
    static MetamodSdkCallbackDispatcher dispatcher;
    return dispatcher;
}

MetamodSdkDispatcherBindingResult BindMetamodSdkCallbackDispatcher(
    const HostLifecycleResult& lifecycle, MetamodSdkCallbackAdapter& adapter,
    MetamodSdkCallbackDispatcher& dispatcher) {
    MetamodSdkDispatcherBindingResult result =
        BindingResult(lifecycle, MetamodEntrypointPhase::Attached, "lifecycle_not_attached");
    if (result.reason.empty()) {
        dispatcher.Bind(&adapter);
        result.bound = true;
        result.reason = "sdk_callback_dispatcher_bound";
    }
    return result;
}

MetamodSdkDispatcherBindingResult ClearMetamodSdkCallbackDispatcher(
    const HostLifecycleResult& lifecycle, MetamodSdkCallbackDispatcher& dispatcher) {
    MetamodSdkDispatcherBindingResult result =
        BindingResult(lifecycle, MetamodEntrypointPhase::Detached, "lifecycle_not_detached");
    if (result.reason.empty()) {
        dispatcher.Clear();
        result.cleared = true;
        result.reason = "sdk_callback_dispatcher_cleared";
    }
    return result;
}

MetamodSdkDispatcherBindingResult BindIronpostMetamodSdkCallbackDispatcher(
    const HostLifecycleResult& lifecycle, MetamodSdkCallbackAdapter& adapter) {
    return BindMetamodSdkCallbackDispatcher(lifecycle, adapter,
                                            IronpostMetamodSdkCallbackDispatcher());
}

MetamodSdkDispatcherBindingResult ClearIronpostMetamodSdkCallbackDispatcher(
    const HostLifecycleResult& lifecycle) {
    return ClearMetamodSdkCallbackDispatcher(lifecycle, IronpostMetamodSdkCallbackDispatcher());
}

}  // namespace ironpost

extern "C" int ironpost_metamod_sdk_dispatcher_bound() {
    return ironpost::IronpostMetamodSdkCallbackDispatcher().HasAdapter() ? 1 : 0;
}
