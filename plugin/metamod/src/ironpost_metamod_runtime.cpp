// Attach and detach of the plugin runtime with the dispatcher binding.

#include "ironpost_metamod_runtime.h"

namespace ironpost {

namespace {

// The reason and count an attach or a detach reports once the host stepped
// and the dispatcher was bound or cleared; true when the host reached `phase`.
template <class Result>
bool Conclude(Result& result, bool dispatcher_followed, MetamodEntrypointPhase phase,
              const char* done_reason, const char* failed_reason) {
    result.notifications_published = result.lifecycle.notifications_published;
    if (!result.lifecycle.status.ok) {
        result.reason = failed_reason;
        return false;
    }
    const bool reached = result.lifecycle.status.phase == phase;
    result.reason = reached && dispatcher_followed ? done_reason : result.dispatcher.reason;
    return reached;
}

}  // namespace

MetamodRuntimeAttachResult MetamodPluginRuntime::Attach(const std::string& config_path,
                                                        CvarRegistry& cvar_registry,
                                                        MetamodSdkCallbackDispatcher& dispatcher) {
    MetamodRuntimeAttachResult result;
    result.lifecycle = host_.Attach(config_path, cvar_registry);
    result.dispatcher = BindMetamodSdkCallbackDispatcher(result.lifecycle, adapter_, dispatcher);
    result.callbacks_bound = result.dispatcher.bound;
    result.attached = Conclude(result, result.callbacks_bound, MetamodEntrypointPhase::Attached,
                               "runtime_attached", "runtime_attach_failed");
    return result;
}

MetamodRuntimeDetachResult MetamodPluginRuntime::Detach(MetamodSdkCallbackDispatcher& dispatcher) {
    MetamodRuntimeDetachResult result;
    result.lifecycle = host_.Detach();
    result.dispatcher = ClearMetamodSdkCallbackDispatcher(result.lifecycle, dispatcher);
    result.callbacks_cleared = result.dispatcher.cleared;
    result.detached = Conclude(result, result.callbacks_cleared, MetamodEntrypointPhase::Detached,
                               "runtime_detached", "runtime_detach_failed");
    return result;
}

MetamodRuntimeAttachResult MetamodPluginRuntime::AttachGlobalDispatcher(
    const std::string& config_path, CvarRegistry& cvar_registry) {
    return Attach(config_path, cvar_registry, IronpostMetamodSdkCallbackDispatcher());
}

MetamodRuntimeDetachResult MetamodPluginRuntime::DetachGlobalDispatcher() {
    return Detach(IronpostMetamodSdkCallbackDispatcher());
}

}  // namespace ironpost
