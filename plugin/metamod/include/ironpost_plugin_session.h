#pragma once

// The plugin session: loaded from the configuration file at attach and
// unloaded at detach, it owns the runtime (through the adapter), the server's
// signer, the configuration and the backend transport options, submits each
// round's settlement, follows it with retries and status polls until the
// backend reports it final, and refreshes the players' chain balances.
// Main thread only; it reads no clock for its own timing (callers pass
// `now_ms`), only the wall clock for envelope time stamps.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ironpost_backend_transport.h"
#include "ironpost_config.h"
#include "ironpost_crypto.h"
#include "ironpost_metamod_adapter.h"
#include "ironpost_plugin.h"
#include "ironpost_plugin_bootstrap.h"
#include "ironpost_settlement_retry.h"

namespace ironpost {

struct MetamodPluginSessionLoadResult {
    bool loaded = false;
    bool signer_loaded = false;
    bool backend_transport_configured = false;
    IronPostConfig config;
    BackendTransportOptions backend_options;
    std::vector<std::string> warnings;
    // Parser errors, then load errors, in the order met.
    std::vector<std::string> errors;
};

struct PlayerBalanceRefreshResult {
    bool attempted = false;
    bool accepted = false;
    std::string reason;
    std::vector<PlayerChainProfile> profiles;
    std::vector<std::string> errors;
};

// The first error of a settlement reply; else its extrinsic hash; else "".
[[nodiscard]] std::string FirstSettlementError(const PluginSettlementIntakeResponse& response);

// A balance reply larger than this is refused unread: the backend answers for
// at most a server's worth of players, a few kilobytes.
inline constexpr std::size_t kMaxPlayerBalanceReplyBytes = 1024 * 1024;
// At most this many profiles are taken from one reply (twice the engine's 32
// player slots); the rest of a longer list is ignored.
inline constexpr std::size_t kMaxPlayerBalanceReplyProfiles = 64;

// The profiles of the "players" array of a balance reply, in reply order, each
// stamped with `now_ms` and marked refreshed. Objects without a slot in
// 1..2147483647 are skipped; absent members keep the profile defaults; string
// members are taken undecoded. Accepts any bytes.
[[nodiscard]] std::vector<PlayerChainProfile> ParsePlayerBalanceProfiles(const std::string& body,
                                                                         std::uint64_t now_ms);

// Wraps each settlement in a signed plugin envelope before the HTTP transport
// sends it, and remembers the request exactly as it went out. The client and
// the signer must outlive the transport.
class PluginEnvelopeSettlementTransport final : public BackendSettlementTransport {
  public:
    PluginEnvelopeSettlementTransport(BackendTransportOptions options, BackendHttpClient& client,
                                      const DevelopmentFileSettlementSigner& signer);
    ~PluginEnvelopeSettlementTransport() override = default;

    [[nodiscard]] PluginSettlementIntakeResponse SubmitSettlementRequest(
        const PluginSettlementHttpRequest& request) override;

    // The last request handed to the transport, with the body it was sent
    // with (the plain body when no envelope could be built).
    [[nodiscard]] const std::optional<PluginSettlementHttpRequest>& LastRequest() const;

  private:
    HttpBackendSettlementTransport inner_;
    const DevelopmentFileSettlementSigner& signer_;
    std::optional<PluginSettlementHttpRequest> last_request_;
};

class MetamodPluginSession {
  public:
    // The client is used for every backend call and must outlive the session.
    explicit MetamodPluginSession(BackendHttpClient& backend_client);
    MetamodPluginSession(const MetamodPluginSession&) = delete;
    MetamodPluginSession& operator=(const MetamodPluginSession&) = delete;

    // Unloads, then loads the configuration at `path`, the signer and the
    // transport options. The console variables are published into
    // `cvar_registry` as soon as the configuration parsed, even when a later
    // step fails; a failed load leaves the session unloaded.
    [[nodiscard]] MetamodPluginSessionLoadResult LoadFromConfigFile(const std::string& path,
                                                                    CvarRegistry& cvar_registry);
    // Forgets everything, pending retries and unresolved settlements included;
    // nothing is sent.
    void Unload();
    [[nodiscard]] bool IsLoaded() const;

    // Event forwards; false (or a "plugin_session_not_loaded" result) while
    // not loaded.
    bool OnClientAuthorized(std::int32_t slot, const std::string& name, const std::string& steam_id,
                            bool is_bot);
    bool OnClientDisconnect(std::int32_t slot);
    bool OnClientTeamChanged(std::int32_t slot, const std::string& team_name);
    bool OnRoundStart(std::uint32_t round_number);
    bool OnBuySetup();
    bool OnSettlementBackendResponse(const PluginSettlementIntakeResponse& response);
    [[nodiscard]] TransferMenu OnZoltMenuOpened(std::int32_t slot) const;
    TransferMenuSelectionResult OnZoltMenuSelection(const TransferMenuSelection& selection);

    // Ends the running round and submits its settlement; an accepted,
    // unfinished settlement is kept for status polling and a rejected one is
    // planned for a retry when the policy allows. `now_ms` is the frame clock.
    [[nodiscard]] MetamodSettlementSubmitResult OnRoundEnd(const MetamodRoundEndContext& context,
                                                           std::uint64_t now_ms);
    [[nodiscard]] MetamodSettlementSubmitResult OnRoundEnd(const MetamodRoundEndContext& context);

    // Sends the pending retry once it is due, with the attempt headers of its
    // attempt number.
    [[nodiscard]] MetamodSettlementSubmitResult SubmitPendingSettlementRetry(std::uint64_t now_ms);
    // Asks the backend about the unresolved settlement, at most once per poll
    // interval (the retry base delay, at least one second).
    [[nodiscard]] MetamodSettlementSubmitResult PollUnresolvedSettlementStatus(
        std::uint64_t now_ms);
    // Applies a settlement or status reply that arrived after the call that
    // sent it returned (worker mode). True when the runtime applied it.
    bool ApplyBackendSettlementCompletion(const PluginSettlementIntakeResponse& response,
                                          std::uint64_t now_ms);
    [[nodiscard]] bool HasPendingSettlementRetry() const;
    [[nodiscard]] std::optional<SettlementRetryState> PendingSettlementRetry() const;
    void ClearPendingSettlementRetry();
    [[nodiscard]] bool HasUnresolvedSettlement() const;

    // Fetches the chain profiles of every authenticated human player.
    [[nodiscard]] PlayerBalanceRefreshResult RefreshPlayerBalances(std::uint64_t now_ms);
    // Refreshes only when the slot's cached profile is stale.
    [[nodiscard]] PlayerBalanceRefreshResult RefreshPlayerBalancesIfStale(std::int32_t slot,
                                                                          std::uint64_t now_ms);

    [[nodiscard]] PluginRuntime& Runtime();
    [[nodiscard]] const PluginRuntime& Runtime() const;
    [[nodiscard]] MetamodPluginAdapter& Adapter();
    [[nodiscard]] const IronPostConfig& Config() const;
    [[nodiscard]] const BackendTransportOptions& BackendOptions() const;

  private:
    // A settlement whose submission was answered with a deferred "queued"
    // placeholder (worker mode): its real reply arrives later through
    // ApplyBackendSettlementCompletion and must not be dropped if it is a
    // rejection.
    struct AwaitedSettlementReply {
        PluginSettlementHttpRequest request;
        std::uint32_t attempt = 0;
    };

    // Records a settlement the backend reported final; the unresolved request
    // is dropped only when it is that same settlement.
    void ResolveSettlement(const std::string& request_id, SettlementRelayStatus status,
                           const std::string& first_error);
    // Remembers the attempt when `response` is a deferred placeholder.
    void AwaitDeferredReply(const PluginSettlementHttpRequest& request,
                            const PluginSettlementIntakeResponse& response, std::uint32_t attempt);
    // Treats the late rejection of the awaited settlement like a rejection
    // received at once: recorded as failed and retried when the policy allows.
    void ApplyLateSettlementRejection(const PluginSettlementIntakeResponse& response,
                                      std::uint64_t now_ms);
    // Posts a signed envelope with the server id and request id headers.
    [[nodiscard]] BackendHttpResponse PostEnvelope(const std::string& path,
                                                   const std::string& request_id,
                                                   const std::string& envelope_body);

    BackendHttpClient& backend_client_;
    MetamodPluginAdapter adapter_;
    DevelopmentFileSettlementSigner signer_;
    IronPostConfig config_;
    BackendTransportOptions backend_options_;
    std::optional<SettlementRetryState> settlement_retry_;
    std::optional<PluginSettlementHttpRequest> unresolved_settlement_request_;
    std::uint64_t last_submission_status_poll_ms_ = 0;
    bool loaded_ = false;
    std::optional<AwaitedSettlementReply> awaited_settlement_reply_;
};

// Plans a resend of a settlement whose relay failed although the backend
// accepted the request (the backend relays a failed settlement again when it
// is sent again). Attempts and back-off follow the policy as after a failed
// attempt number `completed_attempt`; nothing once they are used up, so
// never under a one-attempt policy. The reason is "relay_failed".
[[nodiscard]] std::optional<SettlementRetryState> ScheduleRelayFailedSettlementRetry(
    const PluginSettlementHttpRequest& request, const PluginSettlementIntakeResponse& response,
    std::uint32_t completed_attempt, const BackendRetryPolicy& policy, std::uint64_t now_ms);

}  // namespace ironpost
