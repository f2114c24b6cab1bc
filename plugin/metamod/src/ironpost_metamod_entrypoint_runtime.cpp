// The loader steps over the plugin runtime as flat, recorded results.

#include "ironpost_metamod_entrypoint_runtime.h"

#include <utility>

namespace ironpost {

MetamodEntrypointRuntimeBridge::MetamodEntrypointRuntimeBridge(MetamodPluginRuntime& runtime)
    : runtime_(runtime) {
    last_result_.reason = "entrypoint_runtime_idle";
    last_result_.runtime_attached = runtime_.IsAttached();
    last_result_.dispatcher_bound = IronpostMetamodSdkCallbackDispatcher().HasAdapter();
}

MetamodEntrypointRuntimeResult MetamodEntrypointRuntimeBridge::BaseResult(
    const HostLifecycleResult& lifecycle) const {
    MetamodEntrypointRuntimeResult result;
    result.phase = lifecycle.status.phase;
    result.runtime_attached = runtime_.IsAttached();
    result.dispatcher_bound = IronpostMetamodSdkCallbackDispatcher().HasAdapter();
    result.warnings = lifecycle.status.warnings;
    result.errors = lifecycle.status.errors;
    result.notifications_published = lifecycle.notifications_published;
    return result;
}

MetamodEntrypointRuntimeResult MetamodEntrypointRuntimeBridge::Record(
    MetamodEntrypointRuntimeResult result) {
    last_result_ = std::move(result);
    return last_result_;
}

MetamodEntrypointRuntimeResult MetamodEntrypointRuntimeBridge::Query() {
    const HostLifecycleResult lifecycle = runtime_.Query();
    MetamodEntrypointRuntimeResult result = BaseResult(lifecycle);
    result.accepted = lifecycle.status.ok;
    result.reason = result.accepted ? "entrypoint_query_accepted" : "entrypoint_query_failed";
    return Record(std::move(result));
}

MetamodEntrypointRuntimeResult MetamodEntrypointRuntimeBridge::Attach(
    const std::string& config_path, CvarRegistry& cvar_registry) {
    MetamodRuntimeAttachResult attach = runtime_.AttachGlobalDispatcher(config_path, cvar_registry);
    MetamodEntrypointRuntimeResult result = BaseResult(attach.lifecycle);
    result.callbacks_bound = attach.callbacks_bound;
    result.accepted = attach.attached && attach.callbacks_bound;
    result.reason = std::move(attach.reason);
    return Record(std::move(result));
}

MetamodEntrypointRuntimeResult MetamodEntrypointRuntimeBridge::Detach() {
    MetamodRuntimeDetachResult detach = runtime_.DetachGlobalDispatcher();
    MetamodEntrypointRuntimeResult result = BaseResult(detach.lifecycle);
    result.callbacks_cleared = detach.callbacks_cleared;
    result.accepted = detach.detached && detach.callbacks_cleared;
    result.reason = std::move(detach.reason);
    return Record(std::move(result));
}

}  // namespace ironpost
