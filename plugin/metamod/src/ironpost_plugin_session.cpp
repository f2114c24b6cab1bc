// Session load and unload, event forwards and round-end settlement submission.

#include "ironpost_plugin_session.h"

#include <utility>

#include "ironpost_plugin_bootstrap.h"
#include "ironpost_plugin_envelope.h"

namespace ironpost {

namespace {

constexpr char kSessionNotLoaded[] = "plugin session is not loaded";

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
    const DevelopmentFileSettlementSigner& signer, std::uint32_t attempt, SettlementOutbox* outbox)
    : options_(std::move(options)),
      client_(client),
      signer_(signer),
      attempt_(attempt),
      outbox_(outbox) {}

PluginSettlementIntakeResponse PluginEnvelopeSettlementTransport::SubmitSettlementRequest(
    const PluginSettlementHttpRequest& request) {
    // Everything but the body, which the envelope replaces; the canonical
    // payload is taken over from the envelope below, not copied twice.
    PluginSettlementHttpRequest sent{request.method,
                                     request.path,
                                     request.content_type,
                                     request.request_id,
                                     request.server_id,
                                     {},
                                     {}};
    // Every send gets its own time stamp and nonce, so a resend after a long
    // back-off is as fresh as the first; the payload and request id stay, and
    // the backend counts the settlement once by its request id.
    PluginEnvelopeV2Request envelope;
    envelope.server_id = request.server_id;
    envelope.request_id = request.request_id;
    envelope.timestamp_ms = CurrentPluginEnvelopeTimestampMs();
    envelope.nonce =
        BuildDeterministicPluginNonce(request.request_id, envelope.timestamp_ms, "settlement");
    envelope.payload_json =
        request.canonical_payload_body.empty() ? request.body : request.canonical_payload_body;

    std::optional<std::string> body = BuildPluginEnvelopeV2Body(envelope, signer_);
    if (!request.canonical_payload_body.empty()) {
        sent.canonical_payload_body = std::move(envelope.payload_json);
    }
    if (body) {
        PluginSettlementIntakeResponse response =
            SubmitBackendSettlementHttpAttempt(options_, client_, sent, *body, attempt_,
                                               outbox_ ? outbox_->PrepareWrite(request) : nullptr);
        sent.body = std::move(*body);
        last_request_ = std::move(sent);
        return response;
    }
    sent.body = request.body.empty() ? sent.canonical_payload_body : request.body;
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

std::optional<PluginSettlementHttpRequest> PluginEnvelopeSettlementTransport::TakeLastRequest() {
    return std::move(last_request_);
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

    // The server runs from its root, not from the game directory the
    // operator's relative paths mean.
    result.config.server_key_file = UnderFileDirectory(result.config.server_key_file);
    result.config.backend_auth_token_file =
        UnderFileDirectory(result.config.backend_auth_token_file);
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
        outbox_.Open(SettlementOutboxDirectoryFor(path));
        FollowJournaledSettlements(0);
        return result;
    }
    result.errors.insert(result.errors.end(), problems.begin(), problems.end());
    adapter_.Unload();
    signer_ = DevelopmentFileSettlementSigner();
    backend_options_ = BackendTransportOptions();
    return result;
}

std::string MetamodPluginSession::UnderFileDirectory(const std::string& path) const {
    if (path.empty() || path.front() == '/' || file_directory_.empty()) {
        return path;
    }
    return file_directory_.back() == '/' ? file_directory_ + path : file_directory_ + "/" + path;
}

void MetamodPluginSession::Unload() {
    for (const FollowedSettlement& settlement : followed_) {
        if (!settlement.done) {
            Log("settlement " + settlement.request.request_id +
                " is no longer followed: the session was unloaded");
        }
    }
    adapter_.Unload();
    signer_ = DevelopmentFileSettlementSigner();
    config_ = IronPostConfig();
    backend_options_ = BackendTransportOptions();
    followed_.clear();
    outbox_.Close();
    awaited_balances_.clear();
    player_refresh_ms_.clear();
    latest_now_ms_ = 0;
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
    AdvanceClock(now_ms);
    PluginRuntime& runtime = adapter_.Runtime();
    PluginEnvelopeSettlementTransport transport(backend_options_, backend_client_, signer_, 1,
                                                &outbox_);
    const std::uint32_t round_number = runtime.CurrentRoundState().round_number;

    MetamodSettlementSubmitResult result = adapter_.OnRoundEnd(context, signer_, transport);
    // Keep the request as it went out, envelope and all.
    if (transport.LastRequest()) {
        result.request = transport.TakeLastRequest();
    }
    if (!result.request || !result.response) {
        return result;  // stopped before anything was sent
    }
    const PluginSettlementIntakeResponse& response = *result.response;
    const std::string& request_id = result.request->request_id;
    if (result.submitted) {
        runtime.SnapshotLastRoundEarnings(round_number, response.relay_status, now_ms);
    }
    MakeRoomForSettlement(request_id);
    if (result.draft) {
        runtime.TrackUnresolvedSettlementRecord(
            request_id, *result.draft,
            result.submitted ? response.relay_status : SettlementRelayStatus::Failed, now_ms);
    }
    FollowedSettlement followed;
    followed.request = *result.request;
    followed.round_number = round_number;
    followed.attempts = 1;
    followed_.push_back(std::move(followed));
    outbox_.CollectWrites();  // a direct-mode write has its outcome already
    const FollowUp follow_up = ApplySendAnswer(followed_.back(), response, now_ms);
    // A policy of one attempt has just spent it.
    if (follow_up == FollowUp::GivenUp && !response.accepted &&
        backend_options_.retry_policy.max_attempts <= 1) {
        result.errors.push_back("backend retry attempts exhausted after 1 attempts");
    }
    DropSettledFollowUps();
    return result;
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
