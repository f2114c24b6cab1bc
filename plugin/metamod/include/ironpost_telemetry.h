#pragma once

// The periodic telemetry the plugin sends besides settlements: the bodies of
// the heartbeat, player-balances, round-events and game-state requests, the
// signed request they travel in, the cached server signer, and the state that
// decides when a round's gameplay events are sent. Engine-neutral and free of
// timers of its own: the process object keeps the timers, posts and drains.
// Main thread only.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ironpost_backend_transport.h"
#include "ironpost_backend_worker.h"
#include "ironpost_config.h"
#include "ironpost_crypto.h"
#include "ironpost_engine_bridge.h"
#include "ironpost_plugin.h"

namespace ironpost {

// ---------------------------------------------------------------------------
// Bodies

// Telemetry's own string escaping, so that every body is valid JSON: quote,
// backslash, tab, line feed and carriage return get their two-character
// escapes, every other byte below 0x20 becomes "\u00xx" (lowercase hex), and
// each ill-formed UTF-8 sequence (a name cut inside a character, a stray
// continuation byte, an overlong form, a surrogate) becomes one U+FFFD per
// maximal ill-formed subpart, as the Unicode standard recommends. The
// settlement and envelope renderings keep their own, byte-exact escaping.
[[nodiscard]] std::string TelemetryJsonEscape(const std::string& text);

// {"nowMs":N,"roundNumber":N,"serverId":"..."}
[[nodiscard]] std::string BuildHeartbeatPayload(std::uint64_t now_ms, std::uint32_t round_number,
                                                const std::string& server_id);

// {"nowMs":N,"players":[{"slot":N,"steamId":"..."},...],"serverId":"..."}
// with every player given, in order (the caller picks the eligible ones).
[[nodiscard]] std::string BuildPlayerBalancesPayload(std::uint64_t now_ms,
                                                     const std::vector<ConnectedPlayer>& players,
                                                     const std::string& server_id);

// The round's gameplay events: first a snapshot of the connected players
// ("connect", "team" and, for a named player, "name" with sequence 0), then
// the buffered events with after_sequence < sequence <= through_sequence in
// buffer order. Events after the round end being sent belong to the next
// submission, so none is sent twice.
[[nodiscard]] std::string BuildRoundEventsPayload(
    const std::vector<EngineBufferedGameplayEvent>& events,
    const std::vector<ConnectedPlayer>& connected_players, std::uint64_t after_sequence,
    std::uint64_t through_sequence, std::uint64_t now_ms, std::uint32_t round_number,
    const std::string& server_id);

// "Idle", "RoundActive", "SettlementPending", "ChainIncluded", "BuySetup";
// "Idle" for a value outside the enumeration.
[[nodiscard]] const char* GameStateRoundPhaseName(RoundPhase phase);

// The server snapshot: worker health, build id, the event-source document
// (inserted verbatim; "{}" when empty so the body stays JSON), now, the alpha
// policy's players and state, and the round.
[[nodiscard]] std::string BuildGameStatePayload(const BackendWorkerHealth& health,
                                                const std::string& build_id,
                                                const std::string& event_sources_json,
                                                std::uint64_t now_ms,
                                                const AlphaTeamPolicySnapshot& policy,
                                                std::uint32_t round_number, RoundPhase phase,
                                                const std::string& server_id);

// ---------------------------------------------------------------------------
// The signed request

enum class TelemetryKind {
    Heartbeat,
    PlayerBalances,
    RoundEvents,
    GameState,
};

// The envelope label, also the request-id prefix before its "-":
// "heartbeat", "player-balances", "round-events", "game-state".
[[nodiscard]] const char* TelemetryKindLabel(TelemetryKind kind);
// "/v1/plugin/" followed by the label.
[[nodiscard]] std::string TelemetryKindPath(TelemetryKind kind);

struct TelemetryRequest {
    std::string request_id;  // label "-" server id "-" envelope time stamp
    BackendHttpPostRequest post;
};

// Wraps `payload_json` in a plugin envelope signed by `signer` and addresses
// it to the kind's path under the configured backend, with the server-id and
// request-id headers in that order. Nothing when the envelope cannot be built
// (no key, empty server id or payload, a clock before the epoch).
[[nodiscard]] std::optional<TelemetryRequest> BuildTelemetryRequest(
    TelemetryKind kind, const IronPostConfig& config, const DevelopmentFileSettlementSigner& signer,
    const std::string& payload_json, std::uint64_t timestamp_ms);

// ---------------------------------------------------------------------------
// The server signer, read once

// How long a missing or empty key file is left alone before it is read again.
inline constexpr std::uint64_t kTelemetrySignerRetryMs = 5000;

// Holds the signer loaded from the key file so that telemetry does not read
// the file every frame: a file with a key is read once (until Reset or
// another path); one without is read again at most every
// kTelemetrySignerRetryMs of the monotonic clock.
class TelemetrySignerCache {
  public:
    // The signer with key material, or null while the file holds no key.
    [[nodiscard]] const DevelopmentFileSettlementSigner* Get(const std::string& path,
                                                             std::uint64_t now_ms);
    // Forgets the signer (at detach): the next Get reads the file.
    void Reset();

  private:
    std::optional<std::string> path_;
    DevelopmentFileSettlementSigner signer_;
    std::uint64_t next_read_ms_ = 0;
};

// ---------------------------------------------------------------------------
// Round events: at most one post at a time, acknowledged only by the backend

// The buffered events one submission carries.
struct RoundEventsSubmission {
    std::uint64_t after_sequence = 0;    // the acknowledged round end
    std::uint64_t through_sequence = 0;  // the newest buffered round end
};

struct RoundEventsRetryOptions {
    std::uint64_t backoff_ms = 5000;       // after the first failure in a row
    std::uint64_t max_backoff_ms = 60000;  // the doubling stops here
    // A queued post whose answer has not been drained by then counts as
    // failed (the answer was lost), so the round is not blocked for good.
    // Keep it above the worker's exchange bound.
    std::uint64_t answer_wait_ms = 60000;
};

// The worker client's immediate 202 "queued" placeholder: not an answer.
[[nodiscard]] bool IsQueuedPlaceholder(const BackendHttpResponse& response);

// Decides when the round's events are sent. The acknowledged sequence moves
// only on a real 2xx answer: a direct-mode reply, or a drained worker answer
// to the post in flight. While a post is in flight no other is sent; a failed
// or lost answer re-arms the same events after a doubling back-off.
class RoundEventsSubmissionState {
  public:
    RoundEventsSubmissionState() = default;
    explicit RoundEventsSubmissionState(RoundEventsRetryOptions options) : options_(options) {}

    // What to send now, or nothing: while a post is in flight, before the
    // back-off has passed, or when no round end newer than the acknowledged
    // one is buffered. An in-flight post past its answer wait is given up
    // here (and backs off).
    [[nodiscard]] std::optional<RoundEventsSubmission> NextSubmission(
        const std::vector<EngineBufferedGameplayEvent>& events, std::uint64_t now_ms);
    // True when NextSubmission would surely give nothing and change nothing,
    // told from the newest round end ever buffered alone: the frame loop asks
    // this first, so that most frames take no snapshot of the buffer.
    [[nodiscard]] bool NothingDue(std::uint64_t newest_round_end_sequence,
                                  std::uint64_t now_ms) const;
    // The post of `submission` under `request_id` returned `response`.
    void OnPosted(const RoundEventsSubmission& submission, const std::string& request_id,
                  const BackendHttpResponse& response, std::uint64_t now_ms);
    // The submission could not be built (for example no envelope): back off.
    void OnNotSent(std::uint64_t now_ms);
    // A drained worker answer to a round-events post. Applied only when
    // `request` carries the request id of the post in flight (as any header
    // value); true when it was.
    [[nodiscard]] bool OnAnswer(const BackendHttpPostRequest& request,
                                const BackendHttpResponse& response, std::uint64_t now_ms);
    // Attach and detach: nothing in flight or backing off, and everything
    // through `acknowledged_sequence` counted as sent.
    void Reset(std::uint64_t acknowledged_sequence = 0);

    [[nodiscard]] std::uint64_t AcknowledgedSequence() const { return acknowledged_sequence_; }
    [[nodiscard]] bool InFlight() const { return in_flight_.has_value(); }

  private:
    struct InFlightPost {
        RoundEventsSubmission submission;
        std::string request_id;
        std::uint64_t give_up_ms = 0;
    };

    void Succeed(const RoundEventsSubmission& submission);
    void Fail(std::uint64_t now_ms);

    RoundEventsRetryOptions options_;
    std::uint64_t acknowledged_sequence_ = 0;
    std::optional<InFlightPost> in_flight_;
    std::uint64_t retry_due_ms_ = 0;
    std::uint32_t failures_in_row_ = 0;
};

}  // namespace ironpost
