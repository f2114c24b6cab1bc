// Session load and unload, event forwards and round-end settlement submission.

#include "ironpost_plugin_session.h"

#include <utility>

#include "ironpost_plugin_bootstrap.h"
#include "ironpost_plugin_envelope.h"

namespace ironpost {

namespace {

constexpr char kSessionNotLoaded[] = "plugin session is not loaded";

// The worker client answers a post at once with an accepted, "queued" 202
// that echoes no request id; the backend's own replies always echo it.
bool IsDeferredPlaceholder(const PluginSettlementIntakeResponse& response) {
    return response.accepted && response.status_code == 202 && response.request_id.empty();
}

}  // namespace

std::string FirstSettlementError(const PluginSettlementIntakeResponse& response) {
    if (!response.errors.empty()) {
        return response.errors.front();
    }
    return response.extrinsic_hash;
}

// ---------------------------------------------------------------------------
// Envelope-wrapping transport

PluginEnvelopeSettlementTransport::PluginEnvelopeSettlementTransport(
    BackendTransportOptions options, BackendHttpClient& client,
    const DevelopmentFileSettlementSigner& signer)
    : inner_(std::move(options), client), signer_(signer) {}

PluginSettlementIntakeResponse PluginEnvelopeSettlementTransport::SubmitSettlementRequest(
    const PluginSettlementHttpRequest& request) {
    PluginSettlementHttpRequest sent = request;
    PluginEnvelopeV2Request envelope;
    envelope.server_id = request.server_id;
    envelope.request_id = request.request_id;
    envelope.timestamp_ms = CurrentPluginEnvelopeTimestampMs();
    envelope.nonce =
        BuildDeterministicPluginNonce(request.request_id, envelope.timestamp_ms, "settlement");
    envelope.payload_json =
        request.canonical_payload_body.empty() ? request.body : request.canonical_payload_body;

    std::optional<std::string> body = BuildPluginEnvelopeV2Body(envelope, signer_);
    if (body) {
        sent.body = std::move(*body);
        last_request_ = sent;
        return inner_.SubmitSettlementRequest(sent);
    }
    last_request_ = std::move(sent);
    PluginSettlementIntakeResponse failed;
    failed.status_code = 0;
    failed.accepted = false;
    failed.request_id = request.request_id;
    failed.relay_status = SettlementRelayStatus::Failed;
    failed.errors.push_back("plugin envelope v2 could not be built");
    return failed;
}

const std::optional<PluginSettlementHttpRequest>& PluginEnvelopeSettlementTransport::LastRequest()
    const {
    return last_request_;
}

// ---------------------------------------------------------------------------
// Load and unload

MetamodPluginSession::MetamodPluginSession(BackendHttpClient& backend_client)
    : backend_client_(backend_client) {}

MetamodPluginSessionLoadResult MetamodPluginSession::LoadFromConfigFile(
    const std::string& path, CvarRegistry& cvar_registry) {
    Unload();
    MetamodPluginSessionLoadResult result;

    MetamodPluginLoadResult plugin = LoadMetamodPluginFromConfigFile(path, cvar_registry, adapter_);
    result.config = plugin.config;
    result.warnings = std::move(plugin.warnings);
    result.errors = std::move(plugin.errors);
    if (!plugin.loaded || !result.errors.empty()) {
        adapter_.Unload();
        return result;
    }

    const std::string& key_file = result.config.server_key_file;
    signer_ = LoadDevelopmentFileSettlementSigner(key_file);
    result.signer_loaded = signer_.HasKeyMaterial();
    if (!result.signer_loaded) {
        result.errors.push_back("server signing key material is missing: " + key_file);
        adapter_.Unload();
        signer_ = DevelopmentFileSettlementSigner();
        return result;
    }

    backend_options_ = LoadBackendTransportOptionsFromConfig(result.config);
    result.backend_options = backend_options_;
    const std::vector<std::string> problems = ValidateBackendTransportOptions(backend_options_);
    if (problems.empty()) {
        config_ = result.config;
        result.backend_transport_configured = true;
        result.loaded = true;
        loaded_ = true;
        return result;
    }
    result.errors.insert(result.errors.end(), problems.begin(), problems.end());
    adapter_.Unload();
    signer_ = DevelopmentFileSettlementSigner();
    backend_options_ = BackendTransportOptions();
    return result;
}

void MetamodPluginSession::Unload() {
    adapter_.Unload();
    signer_ = DevelopmentFileSettlementSigner();
    config_ = IronPostConfig();
    backend_options_ = BackendTransportOptions();
    settlement_retry_.reset();
    unresolved_settlement_request_.reset();
    awaited_settlement_reply_.reset();
    last_submission_status_poll_ms_ = 0;
    loaded_ = false;
}

bool MetamodPluginSession::IsLoaded() const {
    return loaded_ && adapter_.IsLoaded();
}

// ---------------------------------------------------------------------------
// Event forwards

bool MetamodPluginSession::OnClientAuthorized(std::int32_t slot, const std::string& name,
                                              const std::string& steam_id, bool is_bot) {
    return IsLoaded() && adapter_.OnClientAuthorized(slot, name, steam_id, is_bot);
}

bool MetamodPluginSession::OnClientDisconnect(std::int32_t slot) {
    return IsLoaded() && adapter_.OnClientDisconnect(slot);
}

bool MetamodPluginSession::OnClientTeamChanged(std::int32_t slot, const std::string& team_name) {
    return IsLoaded() && adapter_.OnClientTeamChanged(slot, team_name);
}

bool MetamodPluginSession::OnRoundStart(std::uint32_t round_number) {
    return IsLoaded() && adapter_.OnRoundStart(round_number);
}

bool MetamodPluginSession::OnBuySetup() {
    return IsLoaded() && adapter_.OnBuySetup();
}

bool MetamodPluginSession::OnSettlementBackendResponse(
    const PluginSettlementIntakeResponse& response) {
    return IsLoaded() && adapter_.OnSettlementBackendResponse(response);
}

TransferMenu MetamodPluginSession::OnZoltMenuOpened(std::int32_t slot) const {
    if (!IsLoaded()) {
        TransferMenu menu;
        menu.available = false;
        menu.from_slot = 0;
        menu.min_amount = 0;
        menu.max_amount = 0;
        menu.error = "plugin_session_not_loaded";
        return menu;
    }
    return adapter_.OnZoltMenuOpened(slot);
}

TransferMenuSelectionResult MetamodPluginSession::OnZoltMenuSelection(
    const TransferMenuSelection& selection) {
    if (!IsLoaded()) {
        TransferMenuSelectionResult refused;
        refused.accepted = false;
        refused.reason = "plugin_session_not_loaded";
        return refused;
    }
    return adapter_.OnZoltMenuSelection(selection);
}

// ---------------------------------------------------------------------------
// Round end

MetamodSettlementSubmitResult MetamodPluginSession::OnRoundEnd(
    const MetamodRoundEndContext& context) {
    return OnRoundEnd(context, 0);
}

MetamodSettlementSubmitResult MetamodPluginSession::OnRoundEnd(
    const MetamodRoundEndContext& context, std::uint64_t now_ms) {
    if (!IsLoaded()) {
        MetamodSettlementSubmitResult refused;
        refused.errors.push_back(kSessionNotLoaded);
        return refused;
    }
    PluginRuntime& runtime = adapter_.Runtime();
    PluginEnvelopeSettlementTransport transport(backend_options_, backend_client_, signer_);
    const std::uint32_t round_number = runtime.CurrentRoundState().round_number;

    MetamodSettlementSubmitResult result = adapter_.OnRoundEnd(context, signer_, transport);
    // Keep the request as it went out, envelope and all: a retry must resend
    // exactly those bytes so the backend can recognise a repeat.
    if (transport.LastRequest()) {
        result.request = transport.LastRequest();
    }

    if (result.submitted) {
        const SettlementRelayStatus status =
            result.response ? result.response->relay_status : SettlementRelayStatus::Submitted;
        runtime.SnapshotLastRoundEarnings(round_number, status, now_ms);
        if (result.request && result.draft && result.response &&
            !IsTerminalSettlementRelayStatus(status)) {
            runtime.TrackUnresolvedSettlementRecord(result.request->request_id, *result.draft,
                                                    status, now_ms);
            unresolved_settlement_request_ = result.request;
            last_submission_status_poll_ms_ = 0;
            AwaitDeferredReply(*result.request, *result.response, 1);
        } else if (result.request && result.response && IsTerminalSettlementRelayStatus(status)) {
            ResolveSettlement(result.request->request_id, status,
                              FirstSettlementError(*result.response));
            if (status == SettlementRelayStatus::Failed) {
                // The backend took the settlement but its relay failed: resend
                // it while the policy allows, as after a rejected attempt.
                settlement_retry_ = ScheduleRelayFailedSettlementRetry(
                    *result.request, *result.response, 1, backend_options_.retry_policy, now_ms);
            }
        }
        return result;
    }

    if (result.request && result.response) {
        const std::string& request_id = result.request->request_id;
        if (result.draft) {
            runtime.TrackUnresolvedSettlementRecord(request_id, *result.draft,
                                                    SettlementRelayStatus::Failed, now_ms);
            runtime.UpdateUnresolvedSettlementRecord(request_id, SettlementRelayStatus::Failed,
                                                     FirstSettlementError(*result.response));
        }
        settlement_retry_ = ScheduleSettlementRetry(*result.request, *result.response, 1,
                                                    backend_options_.retry_policy, now_ms);
    }
    return result;
}

void MetamodPluginSession::ResolveSettlement(const std::string& request_id,
                                             SettlementRelayStatus status,
                                             const std::string& first_error) {
    PluginRuntime& runtime = adapter_.Runtime();
    runtime.UpdateUnresolvedSettlementRecord(request_id, status, first_error);
    runtime.ClearTerminalUnresolvedSettlementRecord(request_id);
    // An earlier settlement still being followed keeps being followed: its
    // outcome is not known yet.
    if (unresolved_settlement_request_ &&
        unresolved_settlement_request_->request_id == request_id) {
        unresolved_settlement_request_.reset();
        last_submission_status_poll_ms_ = 0;
    }
}

void MetamodPluginSession::AwaitDeferredReply(const PluginSettlementHttpRequest& request,
                                              const PluginSettlementIntakeResponse& response,
                                              std::uint32_t attempt) {
    if (IsDeferredPlaceholder(response)) {
        awaited_settlement_reply_ = AwaitedSettlementReply{request, attempt};
    } else if (awaited_settlement_reply_ &&
               awaited_settlement_reply_->request.request_id == request.request_id) {
        awaited_settlement_reply_.reset();
    }
}

BackendHttpResponse MetamodPluginSession::PostEnvelope(const std::string& path,
                                                       const std::string& request_id,
                                                       const std::string& envelope_body) {
    BackendHttpPostRequest post;
    post.url = BuildBackendUrl(config_.backend_url, path);
    post.content_type = "application/json";
    post.headers.push_back({config_.backend_server_id_header, config_.server_id});
    post.headers.push_back({config_.backend_request_id_header, request_id});
    post.body = envelope_body;
    return backend_client_.PostJson(post);
}

// ---------------------------------------------------------------------------
// Accessors

PluginRuntime& MetamodPluginSession::Runtime() {
    return adapter_.Runtime();
}

const PluginRuntime& MetamodPluginSession::Runtime() const {
    return adapter_.Runtime();
}

MetamodPluginAdapter& MetamodPluginSession::Adapter() {
    return adapter_;
}

const IronPostConfig& MetamodPluginSession::Config() const {
    return config_;
}

const BackendTransportOptions& MetamodPluginSession::BackendOptions() const {
    return backend_options_;
}

}  // namespace ironpost
