#pragma once

// The one process-wide object that owns what the running plugin needs: the
// backend client, the engine-backed notification sink and console-variable
// registry, the plugin runtime with its host, the loader bridge, and the
// periodic telemetry (heartbeat, player balances, round events, game state)
// with the drain of the worker client's answers. The loader's entry points
// and the frame hook reach it through the ironpost_metamod_process_...
// functions. Main thread only.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ironpost_backend_worker.h"
#include "ironpost_export.h"
#include "ironpost_metamod_entrypoint_runtime.h"
#include "ironpost_metamod_process_output.h"
#include "ironpost_metamod_runtime.h"
#include "ironpost_telemetry.h"

namespace ironpost {

struct MetamodProcessEntrypointSnapshot {
    bool attached = false;
    bool dispatcher_bound = false;
    std::size_t registered_cvar_count = 0;
    std::uint64_t notification_count = 0;
    MetamodEntrypointRuntimeResult last_result;
};

// A round-events post waits this much longer than the worker's exchange
// bound for its answer before it counts as lost.
inline constexpr std::uint64_t kRoundEventsAnswerGraceMs = 5000;

class MetamodProcessEntrypoint {
  public:
    MetamodProcessEntrypoint();
    // Test seam: the backend client's network call and thread start.
    MetamodProcessEntrypoint(BackendPostFunction post, BackendThreadStarter start);
    MetamodProcessEntrypoint(const MetamodProcessEntrypoint&) = delete;
    MetamodProcessEntrypoint& operator=(const MetamodProcessEntrypoint&) = delete;

    [[nodiscard]] MetamodEntrypointRuntimeResult Query();
    // Attaches with `config_path` read under the engine's game directory (as
    // are the key and token files it names); on success configures the
    // backend client and the players' UI mode from the configuration.
    [[nodiscard]] MetamodEntrypointRuntimeResult Attach(const std::string& config_path);
    [[nodiscard]] MetamodEntrypointRuntimeResult AttachDefaultConfig();
    // Resets the telemetry, stops the backend client and waits for its
    // workers (at most 4 x the HTTP time-out; the one wait on the game
    // thread), applies the answers that arrived, then detaches. A worker
    // still running keeps the module mapped.
    [[nodiscard]] MetamodEntrypointRuntimeResult Detach();
    // The server is going down and the loader will not detach: settles the
    // running round and waits for posts in flight within the same bound.
    void Shutdown(std::uint64_t now_ms);

    [[nodiscard]] const MetamodEntrypointRuntimeResult& LastResult() const {
        return bridge_.LastResult();
    }
    [[nodiscard]] MetamodProcessEntrypointSnapshot Snapshot() const;
    [[nodiscard]] bool IsAttached() const { return runtime_.IsAttached(); }
    // The attached session's configuration; null while detached.
    [[nodiscard]] const IronPostConfig* AttachedConfig() const;

    [[nodiscard]] MetamodPluginRuntime& Runtime() { return runtime_; }
    [[nodiscard]] const MetamodPluginRuntime& Runtime() const { return runtime_; }
    [[nodiscard]] MetamodProcessBackendHttpClient& BackendClient() { return backend_client_; }
    [[nodiscard]] const MetamodProcessBackendHttpClient& BackendClient() const {
        return backend_client_;
    }
    [[nodiscard]] const std::vector<CvarDefinition>& RegisteredCvars() const {
        return cvar_registry_.RegisteredCvars();
    }
    [[nodiscard]] MetamodProcessNotificationSink& NotificationSink() { return notification_sink_; }

    // Hands every finished backend answer to what awaits it: settlement and
    // status answers and balance answers to the session, round-events answers
    // to their submission state; failed telemetry is printed. Returns how many.
    std::size_t DrainBackendCompletions(std::uint64_t now_ms);
    bool SubmitHeartbeatIfDue(std::uint64_t now_ms);
    bool SubmitPlayerBalancesIfDue(std::uint64_t now_ms);
    // The gameplay events up to the newest round end not yet acknowledged
    // by the backend; one post at a time, backing off after a failure.
    bool SubmitRoundEventsIfDue(std::uint64_t now_ms);
    bool SubmitGameStateIfDue(std::uint64_t now_ms);

    [[nodiscard]] const RoundEventsSubmissionState& RoundEvents() const { return round_events_; }

  private:
    void ResetTelemetry();
    // A wall-clock stamp later than every earlier one, so identifiers never repeat.
    [[nodiscard]] std::uint64_t NextTelemetryTimestampMs();
    // Waits for the backend client's workers within the exchange bound.
    void StopBackendClient(std::uint64_t now_ms);

    MetamodProcessBackendHttpClient backend_client_;
    MetamodProcessNotificationSink notification_sink_;
    MetamodProcessCvarRegistry cvar_registry_;
    MetamodPluginRuntime runtime_;
    MetamodEntrypointRuntimeBridge bridge_;
    std::uint64_t last_heartbeat_ms_ = 0;
    std::uint64_t last_balance_refresh_ms_ = 0;
    std::uint64_t last_game_state_ms_ = 0;
    RoundEventsSubmissionState round_events_;
    TelemetrySignerCache signer_cache_;
    std::uint64_t last_telemetry_timestamp_ms_ = 0;
    // The buffer is copied only when it changed or a submission is still owed.
    std::uint64_t round_events_seen_sequence_ = 0;
    std::uint64_t round_events_newest_end_ = 0;
    std::uint32_t attached_timeout_ms_ = kDefaultHttpTimeoutMs;
};

// The process's one instance, built on first use, destroyed at process exit
// or when the loader unloads the plugin.
[[nodiscard]] MetamodProcessEntrypoint& IronpostMetamodProcessEntrypoint();
[[nodiscard]] const char* IronpostMetamodProcessDefaultConfigPath();

}  // namespace ironpost

// The loader steps and status of the process object. Each acts on the one
// instance (creating it on first use) and never lets an exception out.
IRONPOST_EXPORT int ironpost_metamod_process_query();
IRONPOST_EXPORT int ironpost_metamod_process_attach_config(const char* config_path);
IRONPOST_EXPORT int ironpost_metamod_process_attach_default_config();
IRONPOST_EXPORT int ironpost_metamod_process_detach();
IRONPOST_EXPORT int ironpost_metamod_process_attached();
IRONPOST_EXPORT int ironpost_metamod_process_dispatcher_bound();
IRONPOST_EXPORT const char* ironpost_metamod_process_last_reason();
IRONPOST_EXPORT unsigned ironpost_metamod_process_registered_cvar_count();
IRONPOST_EXPORT unsigned ironpost_metamod_process_notification_count();
IRONPOST_EXPORT const char* ironpost_metamod_process_default_config_path();
// 1 once workers outlived a detach and the module was kept mapped for good.
IRONPOST_EXPORT int ironpost_metamod_process_module_pinned();
// The frame loop's steps, with the live monotonic time in milliseconds.
IRONPOST_EXPORT unsigned ironpost_metamod_process_drain_backend_completions(std::uint64_t now_ms);
IRONPOST_EXPORT int ironpost_metamod_process_submit_heartbeat_if_due(std::uint64_t now_ms);
IRONPOST_EXPORT int ironpost_metamod_process_submit_player_balances_if_due(std::uint64_t now_ms);
IRONPOST_EXPORT int ironpost_metamod_process_submit_round_events_if_due(std::uint64_t now_ms);
IRONPOST_EXPORT int ironpost_metamod_process_submit_game_state_if_due(std::uint64_t now_ms);
