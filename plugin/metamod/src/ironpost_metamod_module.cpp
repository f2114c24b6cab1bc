// Module identity, the exported identity functions and the lifecycle phase
// machine.

#include "ironpost_metamod_module.h"

#include <algorithm>

namespace ironpost {

namespace {

constexpr char kEntrypointSdkStatus[] =
    "HLSDK and Metamod-P SDK headers available; guarded Meta_* stubs compiled";

constexpr MetamodModuleInfo kModuleInfo{
    "Iron-Post",
    "0.0.0",
    "Iron-Post maintainers",
    "https://ironpost.gg",
    "ironpost",
    "sdk-free facade; real Metamod-P entrypoints require HLSDK and Metamod-P SDK"};

constexpr MetamodEntrypointManifest kManifest{"Meta_Query",
                                              "Meta_Attach",
                                              "Meta_Detach",
                                              "GetEntityAPI2",
                                              "GetNewDLLFunctions",
                                              "GiveFnptrsToDll",
                                              "ironpost_metamod_callback_binding_count",
                                              "addons/ironpost/ironpost.cfg",
                                              true,
                                              true,
                                              kEntrypointSdkStatus};

std::string Join(const std::vector<std::string>& parts, const char* separator) {
    std::string joined;
    for (const std::string& part : parts) {
        joined += (joined.empty() ? "" : separator) + part;
    }
    return joined;
}

}  // namespace

const char* MetamodEntrypointPhaseName(MetamodEntrypointPhase phase) {
    switch (phase) {
        case MetamodEntrypointPhase::Idle:
            return "idle";
        case MetamodEntrypointPhase::Queried:
            return "queried";
        case MetamodEntrypointPhase::Attached:
            return "attached";
        case MetamodEntrypointPhase::Detached:
            return "detached";
        default:
            return "failed";
    }
}

MetamodModuleInfo IronpostMetamodModuleInfo() {
    return kModuleInfo;
}

const MetamodEntrypointManifest& IronpostMetamodEntrypointManifest() {
    return kManifest;
}

bool IronpostCompiledWithHlSdk() {
    return true;
}

bool IronpostCompiledWithMetamodSdk() {
    return true;
}

const char* IronpostMetamodEntrypointSdkStatus() {
    return kEntrypointSdkStatus;
}

std::vector<std::string> DescribeUnsettledWork(const MetamodPluginSession& session) {
    std::vector<std::string> dropped;
    if (!session.IsLoaded()) {
        return dropped;
    }
    // Every settlement still followed (the one whose retry is due first named
    // as a pending retry), then the unresolved records no longer followed.
    std::string retry_id;
    if (const std::optional<SettlementRetryState> retry = session.PendingSettlementRetry();
        retry && retry->pending) {
        retry_id = retry->request.request_id;
    }
    std::vector<std::string> named = session.FollowedSettlementIds();
    for (const std::string& id : named) {
        // The journal keeps them: the next attach follows them again.
        dropped.push_back((id == retry_id ? "journaled pending settlement retry "
                                          : "journaled unresolved settlement ") +
                          id);
    }
    const PluginRuntime& runtime = session.Runtime();
    for (const UnresolvedSettlementRecord& record : runtime.UnresolvedSettlementRecords()) {
        if (std::find(named.begin(), named.end(), record.request_id) == named.end()) {
            dropped.push_back("journaled unresolved settlement " + record.request_id);
            named.push_back(record.request_id);
        }
    }
    // Once a round has ended its entries travel in its settlement; only a
    // running round's are lost outright.
    const RoundState round = runtime.CurrentRoundState();
    const std::size_t rewards = runtime.PendingRewards().size();
    const std::size_t spends = runtime.PendingWeaponSpends().size();
    const std::size_t transfers = runtime.PendingTransfers().size();
    if (round.phase == RoundPhase::RoundActive && rewards + spends + transfers != 0) {
        dropped.push_back("dropped live round " + std::to_string(round.round_number) + " with " +
                          std::to_string(rewards) + " rewards, " + std::to_string(spends) +
                          " weapon spends, " + std::to_string(transfers) + " transfers");
    }
    return dropped;
}

MetamodEntrypointHost::MetamodEntrypointHost(MetamodPluginSession& session) : session_(session) {}

bool MetamodEntrypointHost::IsAttached() const {
    return phase_ == MetamodEntrypointPhase::Attached && session_.IsLoaded();
}

MetamodEntrypointStatus MetamodEntrypointHost::Query() {
    phase_ = MetamodEntrypointPhase::Queried;
    MetamodEntrypointStatus status;
    status.ok = true;
    status.phase = phase_;
    status.message = "Metamod query accepted";
    return status;
}

MetamodEntrypointStatus MetamodEntrypointHost::Attach(const std::string& config_path,
                                                      CvarRegistry& cvar_registry) {
    MetamodEntrypointStatus status;
    if (IsAttached()) {
        status.phase = phase_;
        status.message = "Metamod plugin is already attached";
        status.errors.push_back("already attached");
        return status;
    }
    MetamodPluginSessionLoadResult load = session_.LoadFromConfigFile(config_path, cvar_registry);
    phase_ = load.loaded ? MetamodEntrypointPhase::Attached : MetamodEntrypointPhase::Failed;
    status.ok = load.loaded;
    status.phase = phase_;
    status.message = load.loaded ? "Metamod plugin attached" : "Metamod plugin attach failed";
    status.warnings = std::move(load.warnings);
    status.errors = std::move(load.errors);
    return status;
}

MetamodEntrypointStatus MetamodEntrypointHost::Detach() {
    MetamodEntrypointStatus status;
    // Unloading forgets settlements still owed to players; say which, so an
    // operator can follow them up with the backend.
    status.warnings = DescribeUnsettledWork(session_);
    session_.Unload();
    phase_ = MetamodEntrypointPhase::Detached;
    status.ok = true;
    status.phase = phase_;
    status.message = "Metamod plugin detached";
    if (!status.warnings.empty()) {
        status.message += "; " + Join(status.warnings, "; ");
    }
    return status;
}

}  // namespace ironpost

extern "C" {

const char* ironpost_metamod_name() {
    return ironpost::kModuleInfo.name;
}
const char* ironpost_metamod_version() {
    return ironpost::kModuleInfo.version;
}
const char* ironpost_metamod_sdk_status() {
    return ironpost::kModuleInfo.sdk_status;
}
const char* ironpost_metamod_query_symbol() {
    return ironpost::kManifest.query_symbol;
}
const char* ironpost_metamod_attach_symbol() {
    return ironpost::kManifest.attach_symbol;
}
const char* ironpost_metamod_detach_symbol() {
    return ironpost::kManifest.detach_symbol;
}
const char* ironpost_metamod_entrypoint_sdk_status() {
    return ironpost::kEntrypointSdkStatus;
}
}
