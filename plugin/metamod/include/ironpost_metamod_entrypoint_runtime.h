#pragma once

// The flat result of each loader step (query, attach, detach) over the
// plugin runtime, with a short reason, and the memory of the last one, which
// the process reports to operators. Main thread only.

#include <cstddef>
#include <string>
#include <vector>

#include "ironpost_metamod_runtime.h"

namespace ironpost {

struct MetamodEntrypointRuntimeResult {
    bool accepted = false;
    MetamodEntrypointPhase phase = MetamodEntrypointPhase::Idle;
    bool runtime_attached = false;
    bool dispatcher_bound = false;  // the process-wide dispatcher, after the step
    bool callbacks_bound = false;
    bool callbacks_cleared = false;
    std::string reason;
    std::vector<std::string> warnings;
    std::vector<std::string> errors;
    std::size_t notifications_published = 0;
};

class MetamodEntrypointRuntimeBridge {
  public:
    // The runtime must outlive the bridge. Starts "entrypoint_runtime_idle".
    explicit MetamodEntrypointRuntimeBridge(MetamodPluginRuntime& runtime);

    [[nodiscard]] MetamodEntrypointRuntimeResult Query();
    // Attach over the process-wide dispatcher; accepted when attached and bound.
    [[nodiscard]] MetamodEntrypointRuntimeResult Attach(const std::string& config_path,
                                                        CvarRegistry& cvar_registry);
    // Detach; accepted when detached and the dispatcher cleared.
    [[nodiscard]] MetamodEntrypointRuntimeResult Detach();
    [[nodiscard]] const MetamodEntrypointRuntimeResult& LastResult() const { return last_result_; }
    [[nodiscard]] bool IsAttached() const { return runtime_.IsAttached(); }

  private:
    [[nodiscard]] MetamodEntrypointRuntimeResult BaseResult(
        const HostLifecycleResult& lifecycle) const;
    MetamodEntrypointRuntimeResult Record(MetamodEntrypointRuntimeResult result);

    MetamodPluginRuntime& runtime_;
    MetamodEntrypointRuntimeResult last_result_;
};

}  // namespace ironpost
