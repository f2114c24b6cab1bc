#pragma once

// The thin layer between the plugin session and the game-rules runtime: it
// loads the runtime and publishes its console variables, forwards player and
// round events, turns engine team names into roles, and at round end builds,
// signs and submits the round's settlement.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ironpost_backend_transport.h"
#include "ironpost_config.h"
#include "ironpost_crypto.h"
#include "ironpost_plugin.h"

namespace ironpost {

// The identity of a round to settle, supplied by the caller; every field must
// be non-empty.
struct MetamodRoundEndContext {
    std::string request_id;
    std::string received_at;
    std::string server_id;
    std::string session_id;
    std::string map_name_hash;
    std::string previous_round_hash;
    std::string roster_root;
    std::string config_hash;
};

// How far a settlement submission (or a retry or status poll) got. The flags
// are set in order; `errors` explains where it stopped.
struct MetamodSettlementSubmitResult {
    bool round_ended = false;
    bool draft_built = false;
    bool signed_draft = false;
    bool request_built = false;
    bool submitted = false;
    bool lifecycle_applied = false;
    std::vector<std::string> errors;
    std::optional<RoundSettlementDraft> draft;
    std::optional<PluginSettlementHttpRequest> request;
    std::optional<PluginSettlementIntakeResponse> response;
};

// The role for an engine team name ("CT", "TERRORIST", "Counter-Terrorist",
// "SPECTATOR", "UNASSIGNED" and their variants): case is ignored and '-' or
// ' ' stand for '_'. Nothing for any other name.
[[nodiscard]] std::optional<PlayerRole> ParseEnginePlayerRole(const std::string& team_name);

// Owns the runtime. Main thread only, like the runtime itself.
class MetamodPluginAdapter {
  public:
    // Loads the runtime and always publishes its console variables, even when
    // the runtime refuses to load; true when the runtime is loaded.
    [[nodiscard]] bool Load(const IronPostConfig& config, CvarRegistry& cvar_registry);
    void Unload();
    [[nodiscard]] bool IsLoaded() const;

    bool OnClientAuthorized(std::int32_t slot, const std::string& name, const std::string& steam_id,
                            bool is_bot);
    bool OnClientDisconnect(std::int32_t slot);
    // False for a team name that names no role.
    bool OnClientTeamChanged(std::int32_t slot, const std::string& team_name);
    bool OnRoundStart(std::uint32_t round_number);
    bool OnBuySetup();
    bool OnSettlementBackendResponse(const PluginSettlementIntakeResponse& response);
    [[nodiscard]] TransferMenu OnZoltMenuOpened(std::int32_t slot) const;
    TransferMenuSelectionResult OnZoltMenuSelection(const TransferMenuSelection& selection);

    // Ends the running round, builds and signs its draft and hands the intake
    // request to `transport`. Once the round has been ended it stays ended,
    // whatever fails afterwards.
    [[nodiscard]] MetamodSettlementSubmitResult OnRoundEnd(const MetamodRoundEndContext& context,
                                                           const SettlementSigner& signer,
                                                           BackendSettlementTransport& transport);

    [[nodiscard]] PluginRuntime& Runtime();
    [[nodiscard]] const PluginRuntime& Runtime() const;

  private:
    PluginRuntime runtime_;
};

}  // namespace ironpost
