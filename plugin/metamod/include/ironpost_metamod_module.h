#pragma once

// The plugin's identity (module information and the entry-point manifest),
// the identity functions exported for other code in the server process, and
// the phase machine that loads and unloads the session when the loader
// attaches and detaches the plugin. Main thread only.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ironpost_config.h"
#include "ironpost_export.h"
#include "ironpost_plugin_session.h"

namespace ironpost {

struct MetamodModuleInfo {
    const char* name;
    const char* version;
    const char* author;
    const char* url;
    const char* log_tag;
    const char* sdk_status;
};

struct MetamodEntrypointManifest {
    const char* query_symbol;
    const char* attach_symbol;
    const char* detach_symbol;
    const char* entity_api_symbol;
    const char* new_dll_functions_symbol;
    const char* engine_function_table_symbol;
    const char* callback_contract_symbol;  // a name only; no such function exists
    const char* default_config_path;       // the one source of the default path
    bool compiled_with_hlsdk;
    bool compiled_with_metamod_sdk;
    const char* sdk_status;
};

enum class MetamodEntrypointPhase : std::int32_t {
    Idle = 0,
    Queried = 1,
    Attached = 2,
    Detached = 3,
    Failed = 4,
};

// "idle", "queried", "attached", "detached"; "failed" for anything else.
[[nodiscard]] const char* MetamodEntrypointPhaseName(MetamodEntrypointPhase phase);

struct MetamodEntrypointStatus {
    bool ok = false;
    MetamodEntrypointPhase phase = MetamodEntrypointPhase::Idle;
    std::string message;
    std::vector<std::string> warnings;
    std::vector<std::string> errors;
};

struct HostLifecycleResult {
    MetamodEntrypointStatus status;
    std::size_t notifications_published = 0;
};

[[nodiscard]] MetamodModuleInfo IronpostMetamodModuleInfo();
[[nodiscard]] const MetamodEntrypointManifest& IronpostMetamodEntrypointManifest();
[[nodiscard]] bool IronpostCompiledWithHlSdk();
[[nodiscard]] bool IronpostCompiledWithMetamodSdk();
[[nodiscard]] const char* IronpostMetamodEntrypointSdkStatus();

// What unloading the session now would leave behind, one warning each: the
// pending retry and the unresolved settlements by request id (the journal
// keeps them for the next attach), and the running round's entries (lost).
// Empty while the session is unloaded.
[[nodiscard]] std::vector<std::string> DescribeUnsettledWork(const MetamodPluginSession& session);

// Query, Attach and Detach of the loader, over the host's session.
class MetamodEntrypointHost {
  public:
    // The session must outlive the phase machine.
    explicit MetamodEntrypointHost(MetamodPluginSession& session);
    MetamodEntrypointHost(const MetamodEntrypointHost&) = delete;
    MetamodEntrypointHost& operator=(const MetamodEntrypointHost&) = delete;

    [[nodiscard]] MetamodEntrypointStatus Query();
    // Loads the session from `config_path`, publishing the console variables
    // into `cvar_registry`; refused while attached.
    [[nodiscard]] MetamodEntrypointStatus Attach(const std::string& config_path,
                                                 CvarRegistry& cvar_registry);
    // Unloads the session; always succeeds. Whatever unsettled work the
    // unload drops is named in the warnings and the message.
    [[nodiscard]] MetamodEntrypointStatus Detach();
    [[nodiscard]] bool IsAttached() const;
    [[nodiscard]] MetamodEntrypointPhase Phase() const { return phase_; }

  private:
    MetamodPluginSession& session_;
    MetamodEntrypointPhase phase_ = MetamodEntrypointPhase::Idle;
};

}  // namespace ironpost

// Static identity for other code in the server process; none changes state.
IRONPOST_EXPORT const char* ironpost_metamod_name();
IRONPOST_EXPORT const char* ironpost_metamod_version();
IRONPOST_EXPORT const char* ironpost_metamod_sdk_status();
IRONPOST_EXPORT const char* ironpost_metamod_query_symbol();
IRONPOST_EXPORT const char* ironpost_metamod_attach_symbol();
IRONPOST_EXPORT const char* ironpost_metamod_detach_symbol();
IRONPOST_EXPORT const char* ironpost_metamod_entrypoint_sdk_status();
