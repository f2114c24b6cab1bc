#pragma once

// Backend transport: the plain HTTP/1.1 client and its records, the readers
// for backend JSON replies, the settlement intake reply, and the transport
// options, request headers and retry policy every backend call uses.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ironpost_config.h"
#include "ironpost_crypto.h"
#include "ironpost_plugin.h"

struct addrinfo;

namespace ironpost {

// A settlement intake reply as the plugin understands it.
struct PluginSettlementIntakeResponse {
    std::int32_t status_code = 0;
    bool accepted = false;
    std::string request_id;
    std::string received_at;
    std::vector<std::string> errors;
    SettlementRelayStatus relay_status = SettlementRelayStatus::Unknown;
    std::string extrinsic_hash;
    std::string submitted_at;
};

// ---------------------------------------------------------------------------
// Plain HTTP/1.1 client

class DurableFileWrite;  // ironpost_settlement_outbox.h

struct BackendHttpPostRequest {
    std::string url;  // absolute "http://" URL
    std::string content_type;
    std::vector<PluginHttpHeader> headers;
    std::string body;
    // A file to make durable before the request goes out (a settlement's
    // journal entry); null for none. See BackendHttpClient.
    std::shared_ptr<DurableFileWrite> persist_before_send;
};

struct BackendHttpResponse {
    std::int32_t status_code = 0;  // 0 when no HTTP status was obtained
    std::string body;
    std::string error;  // empty on transport success
};

// Posts one JSON request to the backend. Implementations may block (direct
// mode) or answer at once and deliver the real reply later (worker mode).
// They perform a request's `persist_before_send` before sending it, on the
// thread that sends it, and also when they answer without sending.
class BackendHttpClient {
  public:
    virtual ~BackendHttpClient() = default;
    [[nodiscard]] virtual BackendHttpResponse PostJson(const BackendHttpPostRequest& request) = 0;
};

// A reply larger than this is abandoned with an error: the backend's answers
// are a few kilobytes, and a worker must not buffer an endless stream.
// Bearer token files larger than this are read as holding no token.
inline constexpr std::size_t kMaxBackendTokenFileBytes = 64 * 1024;
inline constexpr std::size_t kMaxHttpResponseBytes = 1024 * 1024;
// The whole exchange (name resolution, connect, send, receive) ends after this
// many time-outs, so neither a stuck resolver nor a peer that drips bytes can
// hold a worker, or the wait at detach, for longer.
inline constexpr std::uint64_t kHttpExchangeTimeoutFactor = 4;
// The largest configurable time-out: with the exchange factor it keeps one
// backend call under two minutes.
inline constexpr std::uint32_t kMaxHttpTimeoutMs = 30000;
// Used when a caller passes a time-out of 0, which the socket layer would
// otherwise read as "wait forever".
inline constexpr std::uint32_t kDefaultHttpTimeoutMs = 1500;

// Joins a base URL and a path with exactly one "/" at the joint.
[[nodiscard]] std::string BuildBackendUrl(const std::string& base, const std::string& path);

// A thread running plugin code that its starter could not wait for. `finished`
// turns true as the thread's last act; join it then, and after the join no
// plugin code runs on it (so the module may be unmapped).
struct PluginThread {
    std::thread thread;
    std::shared_ptr<const std::atomic<bool>> finished;
};

// The value of the request's first header named `name` (any case), or "".
[[nodiscard]] std::string FindRequestHeader(const BackendHttpPostRequest& request,
                                            const std::string& name);

// Performs one blocking POST over a fresh connection ("Connection: close") and
// reads the reply until the peer closes. Each connect, send and receive wait
// lasts at most `timeout_ms` (0 means kDefaultHttpTimeoutMs), and the whole
// exchange, name resolution included, at most kHttpExchangeTimeoutFactor times
// that. A name lookup still running then is left on its own thread: moved into
// `unfinished_lookup` (which must be empty) when given, detached otherwise.
// Failures come back in `error` with `status_code` 0. Safe on any thread.
[[nodiscard]] BackendHttpResponse SubmitPlainHttpPost(const BackendHttpPostRequest& request,
                                                      std::uint32_t timeout_ms,
                                                      PluginThread* unfinished_lookup = nullptr);

// The signature of getaddrinfo, so that a test can stand in a slow resolver.
using NameLookupFunction = int (*)(const char* host, const char* service, const addrinfo* hints,
                                   addrinfo** result);

struct NameLookupResult {
    std::shared_ptr<const addrinfo> addresses;  // stream addresses; null on failure
    std::string error;                          // "resolve failed: ..." or "resolve timed out"
};

// Resolves host and port for stream sockets by `deadline`. Numeric ones need
// no resolver; names are looked up on a helper thread (with `lookup`, or
// getaddrinfo when null) that owns copies of all it touches, and one still
// running at the deadline is handed over as `SubmitPlainHttpPost` describes.
[[nodiscard]] NameLookupResult LookUpHostByDeadline(const std::string& host,
                                                    const std::string& port,
                                                    std::chrono::steady_clock::time_point deadline,
                                                    PluginThread* unfinished_lookup,
                                                    NameLookupFunction lookup = nullptr);

// Building blocks of SubmitPlainHttpPost, pure functions of their input.

struct ParsedHttpUrl {
    std::string host;  // as written, brackets of an IPv6 literal included
    std::string port = "80";
    std::string path = "/";
};

// Splits an "http://" URL (case-sensitive scheme); nothing for anything else.
[[nodiscard]] std::optional<ParsedHttpUrl> ParseHttpUrl(const std::string& url);

struct PlainHttpRequestText {
    std::string text;   // the exact bytes to send; empty when refused
    std::string error;  // why the request was refused
};

// Renders the request. A line break or other control byte that would let a
// field escape its line (host, port, path, content type, header names and
// values) refuses the whole request instead of reaching the wire.
[[nodiscard]] PlainHttpRequestText BuildPlainHttpRequestText(const ParsedHttpUrl& url,
                                                             const BackendHttpPostRequest& request);

// Reads the status code and body out of a complete reply. Headers are not
// interpreted: the body is everything after the first blank line.
[[nodiscard]] BackendHttpResponse ParsePlainHttpResponse(const std::string& bytes);

// ---------------------------------------------------------------------------
// Backend JSON readers and the settlement intake reply. They take bytes from
// the network and accept any input.

// Decodes one JSON string token (surrounding white space allowed). "\u"
// escapes are not supported and make the token invalid.
[[nodiscard]] std::optional<std::string> ParseJsonStringToken(const std::string& text);

// The raw text (trimmed) of the value of the first top-level member named
// `key` of a JSON object; member names are compared undecoded.
[[nodiscard]] std::optional<std::string> ExtractObjectFieldValue(const std::string& json,
                                                                 const std::string& key);

// Interprets a settlement intake or submission status reply; transport
// failures and non-2xx statuses become errors of a rejected response.
[[nodiscard]] PluginSettlementIntakeResponse ParsePluginSettlementIntakeHttpResponse(
    const BackendHttpResponse& http);

// ---------------------------------------------------------------------------
// Transport options, request headers and retry policy

struct BackendRetryPolicy {
    std::uint32_t max_attempts = 1;  // attempts per submission, at least 1
    std::uint32_t base_delay_ms = 250;
    std::uint32_t max_delay_ms = 2000;
};

struct BackendTransportOptions {
    std::string backend_url = "http://127.0.0.1:8080";
    std::string auth_mode = "none";  // "none" or "bearer_token_file", any case
    std::string auth_token;
    std::string auth_header = "Authorization";
    std::string server_id_header = "X-IronPost-Server-Id";
    std::string request_id_header = "X-IronPost-Request-Id";
    std::uint32_t http_timeout_ms = 1500;
    BackendRetryPolicy retry_policy;
};

struct BackendRetryDecision {
    bool retry = false;
    std::uint32_t next_attempt = 0;
    std::uint32_t delay_ms = 0;
    std::string reason;  // "transport_error" or "http_<status>"
};

// Performs all attempts of one settlement submission.
class BackendSettlementTransport {
  public:
    virtual ~BackendSettlementTransport() = default;
    [[nodiscard]] virtual PluginSettlementIntakeResponse SubmitSettlementRequest(
        const PluginSettlementHttpRequest& request) = 0;
    // True when only the request's canonical JSON is ever sent, so the plain
    // body need not be written.
    [[nodiscard]] virtual bool SendsCanonicalPayloadOnly() const { return false; }
};

[[nodiscard]] BackendRetryPolicy BuildBackendRetryPolicy(const IronPostConfig& config);

// Copies the backend settings of `config`; `token` is trimmed. Not validated.
[[nodiscard]] BackendTransportOptions BuildBackendTransportOptions(const IronPostConfig& config,
                                                                   const std::string& token);

// As above; in bearer mode the token is read from `backend_auth_token_file`
// (an unreadable file leaves it empty, which validation reports).
[[nodiscard]] BackendTransportOptions LoadBackendTransportOptionsFromConfig(
    const IronPostConfig& config);

// True when the trimmed, lower-cased mode is "bearer_token_file".
[[nodiscard]] bool RequiresBearerToken(const std::string& mode);

// Problems in a fixed order; an empty list means valid.
[[nodiscard]] std::vector<std::string> ValidateBackendRetryPolicy(const BackendRetryPolicy& policy);
[[nodiscard]] std::vector<std::string> ValidateBackendTransportOptions(
    const BackendTransportOptions& options);

// Server id, request id, bearer token, then the attempt headers (only for
// policies of two attempts or more). The content type is not among them.
[[nodiscard]] std::vector<PluginHttpHeader> BuildBackendRequestHeaders(
    const BackendTransportOptions& options, const PluginSettlementHttpRequest& request,
    std::uint32_t attempt);

// Whether a failed response to attempt number `attempt` (from 1) deserves
// another attempt, and the capped exponential back-off before it.
[[nodiscard]] BackendRetryDecision ShouldRetryBackendResponse(
    const PluginSettlementIntakeResponse& response, std::uint32_t attempt,
    const BackendRetryPolicy& policy);

// One HTTP attempt, carrying `persist` when given; invalid options fail
// without sending (or persisting) anything.
[[nodiscard]] PluginSettlementIntakeResponse SubmitBackendSettlementHttpAttempt(
    const BackendTransportOptions& options, BackendHttpClient& client,
    const PluginSettlementHttpRequest& request, std::uint32_t attempt,
    std::shared_ptr<DurableFileWrite> persist = nullptr);
// The same attempt sending `body` instead of the request's own: the body is
// lent to the post and handed back, never copied.
[[nodiscard]] PluginSettlementIntakeResponse SubmitBackendSettlementHttpAttempt(
    const BackendTransportOptions& options, BackendHttpClient& client,
    const PluginSettlementHttpRequest& request, std::string& body, std::uint32_t attempt,
    std::shared_ptr<DurableFileWrite> persist = nullptr);

// Sends a settlement with immediate retries (no waiting between attempts;
// delayed retries across frames belong to the session). Holds the client by
// reference: it must outlive the transport.
class HttpBackendSettlementTransport : public BackendSettlementTransport {
  public:
    HttpBackendSettlementTransport(BackendTransportOptions options, BackendHttpClient& client);
    HttpBackendSettlementTransport(const std::string& backend_url, BackendHttpClient& client);
    ~HttpBackendSettlementTransport() override = default;

    [[nodiscard]] PluginSettlementIntakeResponse SubmitSettlementRequest(
        const PluginSettlementHttpRequest& request) override;

  private:
    BackendTransportOptions options_;
    BackendHttpClient& client_;
};

}  // namespace ironpost
