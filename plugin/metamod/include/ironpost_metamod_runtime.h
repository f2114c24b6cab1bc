#pragma once

// The plugin runtime of the process: it owns the host and the callback
// adapter over it, and binds the callback dispatcher after an attach and
// clears it after a detach, so that hooks reach the host exactly while the
// plugin is attached. Main thread only.

#include <cstddef>
#include <string>

#include "ironpost_metamod_sdk_adapter.h"
#include "ironpost_metamod_sdk_dispatch.h"
#include "ironpost_plugin_host.h"

namespace ironpost {

struct MetamodRuntimeAttachResult {
    HostLifecycleResult lifecycle;
    MetamodSdkDispatcherBindingResult dispatcher;
    bool attached = false;
    bool callbacks_bound = false;
    std::string reason;
    std::size_t notifications_published = 0;
};

struct MetamodRuntimeDetachResult {
    HostLifecycleResult lifecycle;
    MetamodSdkDispatcherBindingResult dispatcher;
    bool detached = false;
    bool callbacks_cleared = false;
    std::string reason;
    std::size_t notifications_published = 0;
};

class MetamodPluginRuntime {
  public:
    // The client and the sink must outlive the runtime.
    MetamodPluginRuntime(BackendHttpClient& backend, EngineNotificationSink& sink)
        : host_(backend, sink), adapter_(host_) {}
    MetamodPluginRuntime(const MetamodPluginRuntime&) = delete;
    MetamodPluginRuntime& operator=(const MetamodPluginRuntime&) = delete;

    [[nodiscard]] HostLifecycleResult Query() { return host_.Query(); }
    // Attaches the host, then binds `dispatcher` to the adapter when the
    // host is attached ("runtime_attached").
    [[nodiscard]] MetamodRuntimeAttachResult Attach(const std::string& config_path,
                                                    CvarRegistry& cvar_registry,
                                                    MetamodSdkCallbackDispatcher& dispatcher);
    // Detaches the host, then clears `dispatcher` ("runtime_detached").
    [[nodiscard]] MetamodRuntimeDetachResult Detach(MetamodSdkCallbackDispatcher& dispatcher);
    // The same over the process-wide dispatcher.
    [[nodiscard]] MetamodRuntimeAttachResult AttachGlobalDispatcher(const std::string& config_path,
                                                                    CvarRegistry& cvar_registry);
    [[nodiscard]] MetamodRuntimeDetachResult DetachGlobalDispatcher();
    [[nodiscard]] bool IsAttached() const { return host_.IsAttached(); }

    [[nodiscard]] MetamodPluginHost& Host() { return host_; }
    [[nodiscard]] const MetamodPluginHost& Host() const { return host_; }
    [[nodiscard]] MetamodSdkCallbackAdapter& CallbackAdapter() { return adapter_; }
    [[nodiscard]] const MetamodSdkCallbackAdapter& CallbackAdapter() const { return adapter_; }

  private:
    MetamodPluginHost host_;
    MetamodSdkCallbackAdapter adapter_;
};

}  // namespace ironpost
