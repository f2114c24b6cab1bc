// Attach and detach of the plugin runtime with the dispatcher binding.

#include "ironpost_metamod_runtime.h"

namespace ironpost {

MetamodRuntimeAttachResult MetamodPluginRuntime::Attach(const std::string& config_path,
                                                        CvarRegistry& cvar_registry,
                                                        MetamodSdkCallbackDispatcher& dispatcher) {
    MetamodRuntimeAttachResult result;
    result.lifecycle = host_.Attach(config_path, cvar_registry);
    result.dispatcher = BindMetamodSdkCallbackDispatcher(result.lifecycle, adapter_, dispatcher);
    result.notifications_published = result.lifecycle.notifications_published;
    result.callbacks_bound = result.dispatcher.bound;
    if (!result.lifecycle.status.ok) {
        result.reason = "runtime_attach_failed";
        return result;
    }
    result.attached = result.lifecycle.status.phase == MetamodEntrypointPhase::Attached;
    result.reason =
        result.attached && result.callbacks_bound ? "runtime_attached" : result.dispatcher.reason;
    return result;
}

MetamodRuntimeDetachResult MetamodPluginRuntime::Detach(MetamodSdkCallbackDispatcher& dispatcher) {
    MetamodRuntimeDetachResult result;
    result.lifecycle = host_.Detach();
    result.dispatcher = ClearMetamodSdkCallbackDispatcher(result.lifecycle, dispatcher);
    result.notifications_published = result.lifecycle.notifications_published;
    result.callbacks_cleared = result.dispatcher.cleared;
    if (!result.lifecycle.status.ok) {
        result.reason = "runtime_detach_failed";
        return result;
    }
    result.detached = result.lifecycle.status.phase == MetamodEntrypointPhase::Detached;
    result.reason =
        result.detached && result.callbacks_cleared ? "runtime_detached" : result.dispatcher.reason;
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
