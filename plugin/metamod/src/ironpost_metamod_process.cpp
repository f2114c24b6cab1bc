// The process object: its construction, the loader steps over the bridge,
// and the exported process functions.

#include "ironpost_metamod_process.h"

#include <string>
#include <utility>

#include "ironpost_metamod_module.h"
#include "ironpost_metamod_sdk_engine_imports.h"
#include "ironpost_metamod_sdk_log_source.h"

namespace ironpost {

namespace {

// A failed step of the loader seen from the outside: the last result stays
// what it was, and the caller gets 0.
constexpr int kRefused = 0;

}  // namespace

MetamodProcessEntrypoint::MetamodProcessEntrypoint()
    : MetamodProcessEntrypoint(BackendPostFunction(), BackendThreadStarter()) {}

MetamodProcessEntrypoint::MetamodProcessEntrypoint(BackendPostFunction post,
                                                   BackendThreadStarter start)
    : backend_client_(post ? MetamodProcessBackendHttpClient(std::move(post), std::move(start))
                           : MetamodProcessBackendHttpClient()),
      runtime_(backend_client_, notification_sink_),
      bridge_(runtime_) {
    // Every due time of the host, session and runtime is on the live clock.
    runtime_.Host().SetClock([] { return IronpostMetamodLiveNowMs(); });
    // Players connect under a pending id; the frame re-reads it from the engine.
    runtime_.CallbackAdapter().SetIdentityReader(
        [](std::int32_t slot) { return IronpostMetamodClientAuthId(slot); });
}

MetamodEntrypointRuntimeResult MetamodProcessEntrypoint::Query() {
    return bridge_.Query();
}

MetamodEntrypointRuntimeResult MetamodProcessEntrypoint::Attach(const std::string& config_path) {
    // HLDS runs from the server root; the operator's paths mean the game
    // directory. The load errors name the resolved paths.
    const std::string game_directory = IronpostMetamodGameDirectory();
    runtime_.Host().Session().SetFileDirectory(game_directory);
    MetamodEntrypointRuntimeResult result = bridge_.Attach(
        IronpostResolveAgainstGameDirectory(game_directory, config_path), cvar_registry_);
    if (!result.accepted) {
        return result;
    }
    const IronPostConfig& config = runtime_.Host().Session().Config();
    attached_timeout_ms_ = config.http_timeout_ms;
    backend_client_.SetTimeoutMs(config.http_timeout_ms);
    backend_client_.SetWorkerOptions(config.backend_worker_enabled,
                                     config.backend_worker_queue_size);
    notification_sink_.SetUiMode(config.engine_ui_mode);
    ResetTelemetry();
    return result;
}

MetamodEntrypointRuntimeResult MetamodProcessEntrypoint::AttachDefaultConfig() {
    return Attach(IronpostMetamodProcessDefaultConfigPath());
}

MetamodEntrypointRuntimeResult MetamodProcessEntrypoint::Detach() {
    ResetTelemetry();
    // After a detach the loader unmaps the plugin: no worker may still be
    // running its code, and the answers that did arrive still count.
    StopBackendClient(IronpostMetamodLiveNowMs());
    MetamodEntrypointRuntimeResult result = bridge_.Detach();
    notification_sink_.SetUiMode("chat");
    signer_cache_.Reset();
    return result;
}

void MetamodProcessEntrypoint::Shutdown(std::uint64_t now_ms) {
    if (!IsAttached()) {
        return;
    }
    static_cast<void>(runtime_.Host().OnGameShutdown());
    StopBackendClient(now_ms);
}

void MetamodProcessEntrypoint::StopBackendClient(std::uint64_t now_ms) {
    const std::uint64_t bound = 4ull * attached_timeout_ms_;
    const std::size_t still_running = backend_client_.StopAndWait(static_cast<std::uint32_t>(
        std::min<std::uint64_t>(bound, std::numeric_limits<std::uint32_t>::max())));
    DrainBackendCompletions(now_ms);
    if (still_running != 0) {
        IronpostMetamodServerPrint("[Iron-Post] " + std::to_string(still_running) +
                                   " backend request(s) still running; the plugin stays loaded.\n");
    }
}

void MetamodProcessEntrypoint::ResetTelemetry() {
    last_heartbeat_ms_ = 0;
    last_balance_refresh_ms_ = 0;
    last_game_state_ms_ = 0;
    RoundEventsRetryOptions options;
    // A queued post's answer may take the worker's whole exchange bound.
    options.answer_wait_ms = 4ull * attached_timeout_ms_ + kRoundEventsAnswerGraceMs;
    round_events_ = RoundEventsSubmissionState(options);
    // The event buffer outlives a detach, and what it holds now belongs to
    // the previous attach: sending it again would count those rounds twice.
    const std::uint64_t latest = runtime_.Host().LatestGameplayEventSequence();
    round_events_.Reset(latest);
    round_events_seen_sequence_ = latest;
    round_events_newest_end_ = latest;
    signer_cache_.Reset();
}

MetamodProcessEntrypointSnapshot MetamodProcessEntrypoint::Snapshot() const {
    MetamodProcessEntrypointSnapshot snapshot;
    snapshot.attached = runtime_.IsAttached();
    snapshot.dispatcher_bound = IronpostMetamodSdkCallbackDispatcher().HasAdapter();
    snapshot.registered_cvar_count = cvar_registry_.RegisteredCvars().size();
    snapshot.notification_count = notification_sink_.NotificationCount();
    snapshot.last_result = bridge_.LastResult();
    return snapshot;
}

const IronPostConfig* MetamodProcessEntrypoint::AttachedConfig() const {
    return runtime_.IsAttached() ? &runtime_.Host().Session().Config() : nullptr;
}

MetamodProcessEntrypoint& IronpostMetamodProcessEntrypoint() {
    static MetamodProcessEntrypoint process;
    return process;
}

const char* IronpostMetamodProcessDefaultConfigPath() {
    return IronpostMetamodEntrypointManifest().default_config_path;
}

}  // namespace ironpost

using namespace ironpost;

namespace {

// Runs `body` on the process object; any exception gives `neutral`.
template <typename Result, typename Body>
Result OnProcess(const char* where, Result neutral, Body&& body) noexcept {
    return IronpostNoThrow(where, neutral,
                           [&] { return body(IronpostMetamodProcessEntrypoint()); });
}

}  // namespace

int ironpost_metamod_process_query() {
    return OnProcess("ironpost_metamod_process_query", kRefused,
                     [](MetamodProcessEntrypoint& p) { return p.Query().accepted ? 1 : 0; });
}

int ironpost_metamod_process_attach_config(const char* config_path) {
    return OnProcess(
        "ironpost_metamod_process_attach_config", kRefused, [&](MetamodProcessEntrypoint& p) {
            return p.Attach(config_path != nullptr ? config_path : "").accepted ? 1 : 0;
        });
}

int ironpost_metamod_process_attach_default_config() {
    return OnProcess(
        "ironpost_metamod_process_attach_default_config", kRefused,
        [](MetamodProcessEntrypoint& p) { return p.AttachDefaultConfig().accepted ? 1 : 0; });
}

int ironpost_metamod_process_detach() {
    return OnProcess("ironpost_metamod_process_detach", kRefused,
                     [](MetamodProcessEntrypoint& p) { return p.Detach().accepted ? 1 : 0; });
}

int ironpost_metamod_process_attached() {
    return OnProcess("ironpost_metamod_process_attached", 0,
                     [](MetamodProcessEntrypoint& p) { return p.IsAttached() ? 1 : 0; });
}

int ironpost_metamod_process_dispatcher_bound() {
    return IronpostMetamodSdkCallbackDispatcher().HasAdapter() ? 1 : 0;
}

const char* ironpost_metamod_process_last_reason() {
    return OnProcess("ironpost_metamod_process_last_reason", "",
                     [](MetamodProcessEntrypoint& p) { return p.LastResult().reason.c_str(); });
}

unsigned ironpost_metamod_process_registered_cvar_count() {
    return OnProcess("ironpost_metamod_process_registered_cvar_count", 0u,
                     [](MetamodProcessEntrypoint& p) {
                         return static_cast<unsigned>(p.RegisteredCvars().size());
                     });
}

unsigned ironpost_metamod_process_notification_count() {
    return OnProcess("ironpost_metamod_process_notification_count", 0u,
                     [](MetamodProcessEntrypoint& p) {
                         return static_cast<unsigned>(p.NotificationSink().NotificationCount());
                     });
}

const char* ironpost_metamod_process_default_config_path() {
    return IronpostMetamodProcessDefaultConfigPath();
}

int ironpost_metamod_process_module_pinned() {
    return OnProcess("ironpost_metamod_process_module_pinned", 0, [](MetamodProcessEntrypoint& p) {
        return p.BackendClient().ModulePinned() ? 1 : 0;
    });
}

unsigned ironpost_metamod_process_drain_backend_completions(std::uint64_t now_ms) {
    return OnProcess("ironpost_metamod_process_drain_backend_completions", 0u,
                     [&](MetamodProcessEntrypoint& p) {
                         return static_cast<unsigned>(p.DrainBackendCompletions(now_ms));
                     });
}

int ironpost_metamod_process_submit_heartbeat_if_due(std::uint64_t now_ms) {
    return OnProcess(
        "ironpost_metamod_process_submit_heartbeat_if_due", 0,
        [&](MetamodProcessEntrypoint& p) { return p.SubmitHeartbeatIfDue(now_ms) ? 1 : 0; });
}

int ironpost_metamod_process_submit_player_balances_if_due(std::uint64_t now_ms) {
    return OnProcess(
        "ironpost_metamod_process_submit_player_balances_if_due", 0,
        [&](MetamodProcessEntrypoint& p) { return p.SubmitPlayerBalancesIfDue(now_ms) ? 1 : 0; });
}

int ironpost_metamod_process_submit_round_events_if_due(std::uint64_t now_ms) {
    return OnProcess(
        "ironpost_metamod_process_submit_round_events_if_due", 0,
        [&](MetamodProcessEntrypoint& p) { return p.SubmitRoundEventsIfDue(now_ms) ? 1 : 0; });
}

int ironpost_metamod_process_submit_game_state_if_due(std::uint64_t now_ms) {
    return OnProcess(
        "ironpost_metamod_process_submit_game_state_if_due", 0,
        [&](MetamodProcessEntrypoint& p) { return p.SubmitGameStateIfDue(now_ms) ? 1 : 0; });
}
