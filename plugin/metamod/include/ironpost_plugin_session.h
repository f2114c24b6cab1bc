#pragma once

// The plugin session: loaded from the configuration file at attach and
// unloaded at detach, it owns the runtime (through the adapter), the server's
// signer, the configuration and the backend transport options, submits each
// round's settlement, follows every unresolved settlement with retries and
// status polls until the backend reports it final, and refreshes the
// players' chain balances. Every settlement is journaled in the outbox
// beside the configuration file until it is final, so a restart follows it
// again. Main thread only; it reads no clock for its own timing (callers pass
// `now_ms`), only the wall clock for envelope time stamps.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ironpost_backend_transport.h"
#include "ironpost_config.h"
#include "ironpost_crypto.h"
#include "ironpost_metamod_adapter.h"
#include "ironpost_plugin.h"
#include "ironpost_plugin_bootstrap.h"
#include "ironpost_settlement_outbox.h"
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

// At most this many settlements are followed at once, and at most this many
// unresolved records (each a full draft) are kept: while the backend is down
// one is added every round. The oldest goes first, with a log line.
inline constexpr std::size_t kMaxFollowedSettlements = 64;
// The frame tick sends at most this many due retries and this many due
// status polls, so a backlog cannot fill the worker queue in one frame.
inline constexpr std::size_t kMaxSettlementSendsPerTick = 4;
// An answer a worker owes (a settlement post, a status poll, a balance
// request) is given up this long after the longest exchange could have ended.
inline constexpr std::uint64_t kLateAnswerGraceMs = 10000;
// Session log lines kept until the host takes them; older ones are dropped.
inline constexpr std::size_t kMaxSessionLogLines = 64;
// A player's own balance refreshes are at least this far apart.
inline constexpr std::uint64_t kMinPlayerBalanceRefreshIntervalMs = 5000;

// Wraps a settlement's canonical payload in a freshly signed plugin envelope
// (new time stamp and nonce on every send) and sends it once, with the
// attempt headers of `attempt`; remembers the request exactly as it went out.
// With an outbox, the send carries the settlement's journal write when one is
// due. The client, the signer and the outbox must outlive the transport.
class PluginEnvelopeSettlementTransport final : public BackendSettlementTransport {
  public:
    PluginEnvelopeSettlementTransport(BackendTransportOptions options, BackendHttpClient& client,
                                      const DevelopmentFileSettlementSigner& signer,
                                      std::uint32_t attempt = 1,
                                      SettlementOutbox* outbox = nullptr);
    ~PluginEnvelopeSettlementTransport() override = default;

    [[nodiscard]] PluginSettlementIntakeResponse SubmitSettlementRequest(
        const PluginSettlementHttpRequest& request) override;
    [[nodiscard]] bool SendsCanonicalPayloadOnly() const override { return true; }

    // The last request handed to the transport, with the body it was sent
    // with (the plain body, or the canonical payload when the request has no
    // plain body, when no envelope could be built).
    [[nodiscard]] const std::optional<PluginSettlementHttpRequest>& LastRequest() const;
    // The same, moved out (a settlement's texts are large).
    [[nodiscard]] std::optional<PluginSettlementHttpRequest> TakeLastRequest();

  private:
    BackendTransportOptions options_;
    BackendHttpClient& client_;
    const DevelopmentFileSettlementSigner& signer_;
    std::uint32_t attempt_;
    SettlementOutbox* outbox_;
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
    // step fails; a failed load leaves the session unloaded. A loaded session
    // opens the settlement journal beside `path` and follows every entry in it
    // again with a fresh attempt budget, due at once.
    [[nodiscard]] MetamodPluginSessionLoadResult LoadFromConfigFile(const std::string& path,
                                                                    CvarRegistry& cvar_registry);
    // Forgets everything, pending retries and followed settlements included
    // (each named in a log line); nothing is sent. The journal stays on disk.
    void Unload();
    [[nodiscard]] bool IsLoaded() const;
    // Relative key and token file paths of later loads are read under
    // `directory` (the engine's game directory); empty reads them as given.
    void SetFileDirectory(std::string directory) { file_directory_ = std::move(directory); }

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

    // Every `now_ms` below is the caller's monotonic clock. A value below the
    // largest seen (a clock that restarted) makes every pending retry and
    // poll due at once.

    // Ends the running round and submits its settlement as attempt 1; the
    // settlement is then followed (polled, or retried while its attempts
    // last) until the backend reports it final.
    [[nodiscard]] MetamodSettlementSubmitResult OnRoundEnd(const MetamodRoundEndContext& context,
                                                           std::uint64_t now_ms);
    [[nodiscard]] MetamodSettlementSubmitResult OnRoundEnd(const MetamodRoundEndContext& context);

    // Sends the earliest pending retry once it is due: a fresh envelope
    // around the same payload, with the settlement's next attempt number.
    [[nodiscard]] MetamodSettlementSubmitResult SubmitPendingSettlementRetry(std::uint64_t now_ms);
    // Asks the backend about the followed settlement whose poll is most
    // overdue; each is polled at most once per poll interval (the retry base
    // delay, at least one second) and has at most one poll in flight.
    [[nodiscard]] MetamodSettlementSubmitResult PollUnresolvedSettlementStatus(
        std::uint64_t now_ms);
    // The frame tick's forms: every due retry, and every due poll, earliest
    // first, at most kMaxSettlementSendsPerTick of each.
    [[nodiscard]] std::vector<MetamodSettlementSubmitResult> SubmitDueSettlementRetries(
        std::uint64_t now_ms);
    [[nodiscard]] std::vector<MetamodSettlementSubmitResult> PollDueSettlementStatuses(
        std::uint64_t now_ms);
    // Called by the host when a new map starts: every journaled settlement
    // that is not followed (its attempts spent, or pushed out by the bound) is
    // followed again with a fresh attempt budget, due at once.
    void OnMapChange(std::uint64_t now_ms);

    // Applies a worker's late answer to the request it answers, told by the
    // request's path and request id header: a settlement post changes only
    // its own settlement, a status poll only its own poll (a failed poll is
    // just a failed poll); anything else changes nothing. True when the
    // runtime's round applied it.
    bool ApplyBackendSettlementCompletion(const BackendHttpPostRequest& request,
                                          const BackendHttpResponse& response,
                                          std::uint64_t now_ms);
    // The same, matched only by the answer's own request id (a poll's, or
    // the settlement's: then its post's answer while one is owed, else its
    // poll's); an answer without one changes nothing.
    bool ApplyBackendSettlementCompletion(const PluginSettlementIntakeResponse& response,
                                          std::uint64_t now_ms);
    [[nodiscard]] bool HasPendingSettlementRetry() const;
    // The earliest due pending retry.
    [[nodiscard]] std::optional<SettlementRetryState> PendingSettlementRetry() const;
    // Drops every pending retry; those settlements are no longer followed.
    void ClearPendingSettlementRetry();
    // A followed settlement that is polled (none of its retries pending).
    [[nodiscard]] bool HasUnresolvedSettlement() const;
    // The request ids of the followed settlements, oldest first.
    [[nodiscard]] std::vector<std::string> FollowedSettlementIds() const;

    // Fetches the chain profiles of every authenticated human player, one
    // request per server at a time. Profiles are applied only for the slots
    // the request named that still hold the same Steam id.
    [[nodiscard]] PlayerBalanceRefreshResult RefreshPlayerBalances(std::uint64_t now_ms);
    // Refreshes only when the slot's cached profile is stale, and at most
    // once per kMinPlayerBalanceRefreshIntervalMs for the slot.
    [[nodiscard]] PlayerBalanceRefreshResult RefreshPlayerBalancesIfStale(std::int32_t slot,
                                                                          std::uint64_t now_ms);
    // Applies a worker's late answer to a "/v1/plugin/player-balances"
    // request; an answer no request awaits is dropped with a log line.
    PlayerBalanceRefreshResult ApplyPlayerBalanceCompletion(const BackendHttpPostRequest& request,
                                                            const BackendHttpResponse& response,
                                                            std::uint64_t now_ms);

    // Returns and forgets the events the operator must see (settlements
    // given up or dropped, answers dropped), oldest first.
    [[nodiscard]] std::vector<std::string> TakeSessionLogLines();

    [[nodiscard]] PluginRuntime& Runtime();
    [[nodiscard]] const PluginRuntime& Runtime() const;
    [[nodiscard]] MetamodPluginAdapter& Adapter();
    [[nodiscard]] const IronPostConfig& Config() const;
    [[nodiscard]] const BackendTransportOptions& BackendOptions() const;

  private:
    // A settlement followed until the backend reports it final, or until its
    // attempts are spent.
    struct FollowedSettlement {
        PluginSettlementHttpRequest request;  // as last sent; keeps the canonical payload
        std::uint32_t round_number = 0;
        std::uint32_t attempts = 0;                 // sends over the settlement's whole life
        std::optional<SettlementRetryState> retry;  // the next send, when planned
        bool post_in_flight = false;                // the last send awaits a worker's answer
        std::uint64_t post_sent_ms = 0;
        std::string poll_request_id;  // the status poll in flight; empty when none
        std::uint64_t poll_sent_ms = 0;
        std::uint64_t next_poll_ms = 0;
        bool done = false;  // resolved or given up; dropped at the end of the call
        // Followed again from the journal: its answers never move the
        // runtime's round, which belongs to a later settlement.
        bool from_journal = false;
    };
    // What an answer did to its settlement.
    enum class FollowUp { Followed, Resolved, RetryPlanned, GivenUp };
    using BalancePlayers = std::vector<std::pair<std::int32_t, std::string>>;  // slot, Steam id
    struct AwaitedBalanceRequest {
        std::string request_id;
        BalancePlayers players;
        std::uint64_t sent_ms = 0;
    };

    // Remembers `now_ms`; when it went back, makes pending work due at once.
    // Then gives up answers owed for longer than an exchange can take.
    void AdvanceClock(std::uint64_t now_ms);
    [[nodiscard]] std::uint64_t LateAnswerLimitMs() const;
    [[nodiscard]] std::uint64_t PollIntervalMs() const;
    // A strictly increasing wall-clock stamp, so two requests never share an
    // identifier or a nonce.
    [[nodiscard]] std::uint64_t NextEnvelopeTimestampMs();
    [[nodiscard]] FollowedSettlement* FindFollowed(const std::string& request_id);
    [[nodiscard]] FollowedSettlement* FindPolled(const std::string& poll_request_id);
    // The settlement whose retry is due first, and the one to poll next.
    [[nodiscard]] FollowedSettlement* EarliestRetry();
    [[nodiscard]] FollowedSettlement* EarliestPoll();
    // Drops the oldest records and settlements until one more fits.
    void MakeRoomForSettlement(const std::string& request_id);
    void DropSettledFollowUps();
    void Log(std::string line);
    [[nodiscard]] std::string UnderFileDirectory(const std::string& path) const;

    // Sends the settlement once more, as its next attempt.
    [[nodiscard]] MetamodSettlementSubmitResult SendRetry(FollowedSettlement& settlement,
                                                          std::uint64_t now_ms);
    [[nodiscard]] MetamodSettlementSubmitResult PollSettlement(FollowedSettlement& settlement,
                                                               std::uint64_t now_ms);
    // The answer to the settlement's latest send.
    FollowUp ApplySendAnswer(FollowedSettlement& settlement,
                             const PluginSettlementIntakeResponse& response, std::uint64_t now_ms);
    // An accepted answer (a post's or a poll's) reporting the relay status.
    FollowUp ApplyReportedStatus(FollowedSettlement& settlement,
                                 const PluginSettlementIntakeResponse& response,
                                 std::uint64_t now_ms);
    // Plans the next send after a failed one, or gives the settlement up.
    FollowUp ResendOrGiveUp(FollowedSettlement& settlement,
                            const PluginSettlementIntakeResponse& response, bool relay_failed,
                            std::uint64_t now_ms);
    // A worker's answer to a post of the settlement (`attempt` 0: unknown),
    // or to one of its polls. True when the runtime's round applied it.
    bool ApplyLateSettlementAnswer(FollowedSettlement& settlement,
                                   const PluginSettlementIntakeResponse& answer,
                                   std::uint32_t attempt, std::uint64_t now_ms);
    bool ApplyLatePollAnswer(FollowedSettlement& settlement,
                             const PluginSettlementIntakeResponse& answer, std::uint64_t now_ms);
    // The runtime's round moves only on answers about its own settlement.
    bool ApplyToRound(std::uint32_t round_number, const PluginSettlementIntakeResponse& response);
    bool ApplyToRound(const FollowedSettlement& settlement,
                      const PluginSettlementIntakeResponse& response);
    // Follows every journaled settlement not followed yet, within the bound.
    void FollowJournaledSettlements(std::uint64_t now_ms);
    // An answer reporting a settlement included or finalized ends its entry.
    void ForgetJournaledIfFinal(const PluginSettlementIntakeResponse& answer);
    // The reply's profiles for the players a request named that still hold
    // their slots; a failed reply marks those players instead.
    void ApplyBalanceReply(const BalancePlayers& players, const BackendHttpResponse& reply,
                           std::uint64_t now_ms, PlayerBalanceRefreshResult& result);
    PlayerBalanceRefreshResult& FailBalanceRefresh(const BalancePlayers& players,
                                                   std::uint64_t now_ms, const char* reason,
                                                   std::string error,
                                                   PlayerBalanceRefreshResult& result);
    // Posts a signed envelope with the server id and request id headers.
    [[nodiscard]] BackendHttpResponse PostEnvelope(const std::string& path,
                                                   const std::string& request_id,
                                                   const std::string& envelope_body);

    BackendHttpClient& backend_client_;
    MetamodPluginAdapter adapter_;
    DevelopmentFileSettlementSigner signer_;
    IronPostConfig config_;
    BackendTransportOptions backend_options_;
    bool loaded_ = false;
    std::vector<FollowedSettlement> followed_;  // oldest first
    std::vector<AwaitedBalanceRequest> awaited_balances_;
    std::vector<std::pair<std::int32_t, std::uint64_t>> player_refresh_ms_;  // slot, time
    std::vector<std::string> log_lines_;
    std::size_t dropped_log_lines_ = 0;
    std::uint64_t latest_now_ms_ = 0;
    std::uint64_t last_envelope_ms_ = 0;
    std::string file_directory_;
    SettlementOutbox outbox_{[this](std::string line) { Log(std::move(line)); }};
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
