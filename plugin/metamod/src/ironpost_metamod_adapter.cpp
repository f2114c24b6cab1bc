#include "ironpost_metamod_adapter.h"

#include <algorithm>

#include <utility>

namespace ironpost {

namespace {

bool IsContextComplete(const MetamodRoundEndContext& context) {
    return !context.request_id.empty() && !context.received_at.empty() &&
           !context.server_id.empty() && !context.session_id.empty() &&
           !context.map_name_hash.empty() && !context.previous_round_hash.empty() &&
           !context.roster_root.empty() && !context.config_hash.empty();
}

std::string NormaliseTeamName(const std::string& team_name) {
    std::string normalised = LowerAscii(team_name);
    std::replace(normalised.begin(), normalised.end(), '-', '_');
    std::replace(normalised.begin(), normalised.end(), ' ', '_');
    return normalised;
}

}  // namespace

std::optional<PlayerRole> ParseEnginePlayerRole(const std::string& team_name) {
    struct Alias {
        const char* name;
        PlayerRole role;
    };
    static const Alias kAliases[] = {
        {"t", PlayerRole::Terrorist},
        {"terrorist", PlayerRole::Terrorist},
        {"terrorists", PlayerRole::Terrorist},
        {"ct", PlayerRole::CounterTerrorist},
        {"counter", PlayerRole::CounterTerrorist},
        {"counter_terrorist", PlayerRole::CounterTerrorist},
        {"counter_terrorists", PlayerRole::CounterTerrorist},
        {"spec", PlayerRole::Spectator},
        {"spectator", PlayerRole::Spectator},
        {"spectators", PlayerRole::Spectator},
        {"unassigned", PlayerRole::Unassigned},
        {"none", PlayerRole::Unassigned},
    };
    const std::string normalised = NormaliseTeamName(team_name);
    for (const Alias& alias : kAliases) {
        if (normalised == alias.name) {
            return alias.role;
        }
    }
    return std::nullopt;
}

bool MetamodPluginAdapter::Load(const IronPostConfig& config, CvarRegistry& cvar_registry) {
    runtime_.Load(config);
    // Operators read the loaded values from the console variables, so they are
    // published even when a later step refuses the load.
    runtime_.RegisterCvars(cvar_registry);
    return runtime_.IsLoaded();
}

void MetamodPluginAdapter::Unload() {
    runtime_.Unload();
}

bool MetamodPluginAdapter::IsLoaded() const {
    return runtime_.IsLoaded();
}

bool MetamodPluginAdapter::OnClientAuthorized(std::int32_t slot, const std::string& name,
                                              const std::string& steam_id, bool is_bot) {
    return runtime_.OnPlayerJoin(slot, name, steam_id, is_bot);
}

bool MetamodPluginAdapter::OnClientDisconnect(std::int32_t slot) {
    return runtime_.OnPlayerLeave(slot);
}

bool MetamodPluginAdapter::OnClientTeamChanged(std::int32_t slot, const std::string& team_name) {
    const std::optional<PlayerRole> role = ParseEnginePlayerRole(team_name);
    if (!role) {
        return false;
    }
    return runtime_.OnPlayerRoleChanged(slot, *role);
}

bool MetamodPluginAdapter::OnRoundStart(std::uint32_t round_number) {
    return runtime_.BeginRound(round_number);
}

bool MetamodPluginAdapter::OnBuySetup() {
    return runtime_.BeginBuySetup();
}

bool MetamodPluginAdapter::OnSettlementBackendResponse(
    const PluginSettlementIntakeResponse& response) {
    return runtime_.ApplySettlementIntakeResponse(response);
}

TransferMenu MetamodPluginAdapter::OnZoltMenuOpened(std::int32_t slot) const {
    return runtime_.BuildTransferMenu(slot);
}

TransferMenuSelectionResult MetamodPluginAdapter::OnZoltMenuSelection(
    const TransferMenuSelection& selection) {
    return runtime_.SubmitTransferMenuSelection(selection);
}

MetamodSettlementSubmitResult MetamodPluginAdapter::OnRoundEnd(
    const MetamodRoundEndContext& context, const SettlementSigner& signer,
    BackendSettlementTransport& transport) {
    MetamodSettlementSubmitResult result;
    if (!IsContextComplete(context)) {
        result.errors.push_back("round end context is incomplete");
        return result;
    }

    const std::uint32_t round_number = runtime_.CurrentRoundState().round_number;
    if (!runtime_.EndRound()) {
        result.errors.push_back("round is not active");
        return result;
    }
    result.round_ended = true;

    SettlementDraftRequest draft_request;
    draft_request.server_id = context.server_id;
    draft_request.session_id = context.session_id;
    draft_request.map_name_hash = context.map_name_hash;
    draft_request.round_number = round_number;
    draft_request.previous_round_hash = context.previous_round_hash;
    draft_request.roster_root = context.roster_root;
    draft_request.config_hash = context.config_hash;
    std::optional<RoundSettlementDraft> draft = runtime_.BuildSettlementDraft(draft_request);
    if (!draft) {
        result.errors.push_back("settlement draft could not be built");
        return result;
    }
    result.draft_built = true;

    // A busy round's draft holds thousands of entries: it is moved along,
    // never copied, and ends in the result (signed when signing worked).
    std::optional<std::string> signature = SettlementDraftSignature(*draft, signer);
    if (!signature) {
        result.draft = std::move(draft);
        result.errors.push_back("settlement draft could not be signed");
        return result;
    }
    result.signed_draft = true;
    draft->server_signature = std::move(*signature);

    PluginSettlementIntakeRequest intake;
    intake.request_id = context.request_id;
    intake.received_at = context.received_at;
    intake.draft = std::move(*draft);
    std::optional<PluginSettlementHttpRequest> request = BuildPluginSettlementIntakeHttpRequest(
        intake, transport.SendsCanonicalPayloadOnly() ? IntakeRequestTexts::CanonicalOnly
                                                      : IntakeRequestTexts::BodyAndCanonical);
    result.draft = std::move(intake.draft);
    if (!request) {
        result.errors.push_back("settlement intake request could not be built");
        return result;
    }
    result.request_built = true;
    result.request = std::move(request);

    PluginSettlementIntakeResponse response = transport.SubmitSettlementRequest(*result.request);
    result.submitted = response.accepted;
    if (response.accepted) {
        result.lifecycle_applied = runtime_.ApplySettlementIntakeResponse(response);
        if (!result.lifecycle_applied) {
            result.errors.push_back("settlement response did not advance lifecycle");
        }
    } else {
        result.errors.push_back("settlement backend rejected request");
        result.errors.insert(result.errors.end(), response.errors.begin(), response.errors.end());
    }
    result.response = std::move(response);
    return result;
}

PluginRuntime& MetamodPluginAdapter::Runtime() {
    return runtime_;
}

const PluginRuntime& MetamodPluginAdapter::Runtime() const {
    return runtime_;
}

}  // namespace ironpost
