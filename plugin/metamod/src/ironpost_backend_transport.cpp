// Transport options built from the configuration, their validation, the
// request headers, the retry decision and the settlement transport that makes
// all attempts of one submission.

#include "ironpost_backend_transport.h"

#include <algorithm>
#include <utility>

namespace ironpost {
namespace {

bool IsRetryableStatus(std::int32_t status) {
    return status == 0 || status == 408 || status == 409 || status == 425 || status == 429 ||
           status >= 500;
}

bool HasRetryableError(const std::vector<std::string>& errors) {
    static const std::string kTransportPrefix = "backend request failed:";
    for (const std::string& error : errors) {
        if (error.compare(0, kTransportPrefix.size(), kTransportPrefix) == 0 ||
            error == "backend response body is empty") {
            return true;
        }
    }
    return false;
}

// min(base * 2^(attempt - 1), max) without overflow for any attempt number.
std::uint32_t BackoffDelayMs(std::uint32_t attempt, const BackendRetryPolicy& policy) {
    std::uint64_t delay = policy.base_delay_ms;
    const std::uint64_t cap = policy.max_delay_ms;
    if (delay >= cap) {
        return policy.max_delay_ms;
    }
    // Doubling reaches the 32-bit cap within 32 steps; a zero base never grows.
    for (std::uint32_t step = 1; step < attempt && delay != 0; ++step) {
        delay *= 2;
        if (delay >= cap) {
            return policy.max_delay_ms;
        }
    }
    return static_cast<std::uint32_t>(delay);
}

PluginSettlementIntakeResponse InvalidOptionsResponse(std::vector<std::string> errors) {
    PluginSettlementIntakeResponse response;
    response.status_code = 0;
    response.accepted = false;
    response.relay_status = SettlementRelayStatus::Failed;
    response.errors = std::move(errors);
    return response;
}

// Header names are tokens: no white space, control bytes or colon, which
// would let a configured name break the request's header block.
bool IsValidHeaderName(const std::string& name) {
    return !name.empty() && std::none_of(name.begin(), name.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte <= 0x20 || byte == 0x7f || c == ':';
    });
}

bool HasControlByte(const std::string& text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7f;
    });
}

void AppendExhausted(PluginSettlementIntakeResponse& response, std::uint32_t attempts) {
    response.errors.push_back("backend retry attempts exhausted after " + std::to_string(attempts) +
                              " attempts");
}

}  // namespace

std::string FindRequestHeader(const BackendHttpPostRequest& request, const std::string& name) {
    const std::string wanted = LowerAscii(name);
    for (const PluginHttpHeader& header : request.headers) {
        if (LowerAscii(header.name) == wanted) {
            return header.value;
        }
    }
    return "";
}

BackendRetryPolicy BuildBackendRetryPolicy(const IronPostConfig& config) {
    BackendRetryPolicy policy;
    policy.max_attempts = config.backend_retry_max_attempts;
    policy.base_delay_ms = config.backend_retry_base_delay_ms;
    policy.max_delay_ms = config.backend_retry_max_delay_ms;
    return policy;
}

BackendTransportOptions BuildBackendTransportOptions(const IronPostConfig& config,
                                                     const std::string& token) {
    BackendTransportOptions options;
    options.backend_url = config.backend_url;
    options.auth_mode = config.backend_auth_mode;
    options.auth_token = TrimAsciiWhitespace(token);
    options.auth_header = config.backend_auth_header;
    options.server_id_header = config.backend_server_id_header;
    options.request_id_header = config.backend_request_id_header;
    options.http_timeout_ms = config.http_timeout_ms;
    options.retry_policy = BuildBackendRetryPolicy(config);
    return options;
}

BackendTransportOptions LoadBackendTransportOptionsFromConfig(const IronPostConfig& config) {
    BackendTransportOptions options = BuildBackendTransportOptions(config, "");
    if (RequiresBearerToken(options.auth_mode)) {
        // Read like the key file: a FIFO or device named by mistake must not block
        // the game thread at attach.
        options.auth_token = TrimAsciiWhitespace(
            ReadBoundedRegularFile(config.backend_auth_token_file, kMaxBackendTokenFileBytes)
                .value_or(std::string()));
    }
    return options;
}

bool RequiresBearerToken(const std::string& mode) {
    return LowerAscii(TrimAsciiWhitespace(mode)) == "bearer_token_file";
}

std::vector<std::string> ValidateBackendRetryPolicy(const BackendRetryPolicy& policy) {
    std::vector<std::string> errors;
    if (policy.max_attempts == 0) {
        errors.push_back("backend retry max attempts must be at least 1");
    }
    if (policy.base_delay_ms == 0) {
        errors.push_back("backend retry base delay must be greater than 0");
    }
    if (policy.max_delay_ms == 0) {
        errors.push_back("backend retry max delay must be greater than 0");
    }
    if (policy.max_delay_ms < policy.base_delay_ms) {
        errors.push_back("backend retry max delay must be greater than or equal to base delay");
    }
    return errors;
}

std::vector<std::string> ValidateBackendTransportOptions(const BackendTransportOptions& options) {
    std::vector<std::string> errors;
    if (TrimAsciiWhitespace(options.backend_url).empty()) {
        errors.push_back("backend URL is required");
    }
    const std::string mode = LowerAscii(TrimAsciiWhitespace(options.auth_mode));
    if (mode != "none" && mode != "bearer_token_file") {
        errors.push_back("unsupported backend auth mode: " + options.auth_mode);
    }
    if (RequiresBearerToken(options.auth_mode)) {
        const std::string token = TrimAsciiWhitespace(options.auth_token);
        if (token.empty()) {
            errors.push_back("backend bearer token is required");
        } else if (HasControlByte(token)) {
            errors.push_back("backend bearer token must be one line without control characters");
        }
        if (TrimAsciiWhitespace(options.auth_header).empty()) {
            errors.push_back("backend auth header is required");
        } else if (!IsValidHeaderName(options.auth_header)) {
            errors.push_back("backend auth header is not a valid header name: " +
                             options.auth_header);
        }
    }
    // An empty server id header is simply not sent; the request id header
    // is what ties a late answer to its request, so it must be there.
    if (!options.server_id_header.empty() && !IsValidHeaderName(options.server_id_header)) {
        errors.push_back("backend server ID header is not a valid header name: " +
                         options.server_id_header);
    }
    if (options.request_id_header.empty()) {
        errors.push_back("backend request ID header is required");
    } else if (!IsValidHeaderName(options.request_id_header)) {
        errors.push_back("backend request ID header is not a valid header name: " +
                         options.request_id_header);
    }
    for (std::string& error : ValidateBackendRetryPolicy(options.retry_policy)) {
        errors.push_back(std::move(error));
    }
    if (options.http_timeout_ms == 0) {
        errors.push_back("backend HTTP timeout must be greater than 0");
    } else if (options.http_timeout_ms > kMaxHttpTimeoutMs) {
        errors.push_back("backend HTTP timeout must be at most " +
                         std::to_string(kMaxHttpTimeoutMs));
    }
    return errors;
}

std::vector<PluginHttpHeader> BuildBackendRequestHeaders(const BackendTransportOptions& options,
                                                         const PluginSettlementHttpRequest& request,
                                                         std::uint32_t attempt) {
    std::vector<PluginHttpHeader> headers;
    if (!options.server_id_header.empty() && !request.server_id.empty()) {
        headers.push_back({options.server_id_header, request.server_id});
    }
    if (!options.request_id_header.empty() && !request.request_id.empty()) {
        headers.push_back({options.request_id_header, request.request_id});
    }
    const std::string token = TrimAsciiWhitespace(options.auth_token);
    if (RequiresBearerToken(options.auth_mode) && !options.auth_header.empty() && !token.empty()) {
        headers.push_back({options.auth_header, "Bearer " + token});
    }
    // A single-attempt policy sends no attempt numbers: there is nothing for
    // the backend to correlate.
    if (options.retry_policy.max_attempts >= 2) {
        headers.push_back({"X-IronPost-Attempt", std::to_string(attempt)});
        headers.push_back(
            {"X-IronPost-Max-Attempts", std::to_string(options.retry_policy.max_attempts)});
    }
    return headers;
}

BackendRetryDecision ShouldRetryBackendResponse(const PluginSettlementIntakeResponse& response,
                                                std::uint32_t attempt,
                                                const BackendRetryPolicy& policy) {
    BackendRetryDecision decision;
    if (response.accepted || attempt >= policy.max_attempts) {
        return decision;
    }
    if (!IsRetryableStatus(response.status_code) && !HasRetryableError(response.errors)) {
        return decision;
    }
    decision.retry = true;
    decision.next_attempt = attempt + 1;
    decision.delay_ms = BackoffDelayMs(attempt, policy);
    decision.reason = response.status_code == 0 ? std::string("transport_error")
                                                : "http_" + std::to_string(response.status_code);
    return decision;
}

PluginSettlementIntakeResponse SubmitBackendSettlementHttpAttempt(
    const BackendTransportOptions& options, BackendHttpClient& client,
    const PluginSettlementHttpRequest& request, std::uint32_t attempt,
    std::shared_ptr<DurableFileWrite> persist) {
    std::string body = request.body;
    return SubmitBackendSettlementHttpAttempt(options, client, request, body, attempt,
                                              std::move(persist));
}

PluginSettlementIntakeResponse SubmitBackendSettlementHttpAttempt(
    const BackendTransportOptions& options, BackendHttpClient& client,
    const PluginSettlementHttpRequest& request, std::string& body, std::uint32_t attempt,
    std::shared_ptr<DurableFileWrite> persist) {
    std::vector<std::string> errors = ValidateBackendTransportOptions(options);
    if (!errors.empty()) {
        return InvalidOptionsResponse(std::move(errors));
    }
    BackendHttpPostRequest post;
    post.url = BuildBackendUrl(options.backend_url, request.path);
    post.content_type = request.content_type;
    post.headers = BuildBackendRequestHeaders(options, request, attempt);
    post.body = std::move(body);
    post.persist_before_send = std::move(persist);
    const BackendHttpResponse response = client.PostJson(post);
    body = std::move(post.body);
    return ParsePluginSettlementIntakeHttpResponse(response);
}

HttpBackendSettlementTransport::HttpBackendSettlementTransport(BackendTransportOptions options,
                                                               BackendHttpClient& client)
    : options_(std::move(options)), client_(client) {}

HttpBackendSettlementTransport::HttpBackendSettlementTransport(const std::string& backend_url,
                                                               BackendHttpClient& client)
    : client_(client) {
    options_.backend_url = backend_url;
}

PluginSettlementIntakeResponse HttpBackendSettlementTransport::SubmitSettlementRequest(
    const PluginSettlementHttpRequest& request) {
    std::vector<std::string> errors = ValidateBackendTransportOptions(options_);
    if (!errors.empty()) {
        return InvalidOptionsResponse(std::move(errors));
    }
    const BackendRetryPolicy& policy = options_.retry_policy;
    PluginSettlementIntakeResponse response;
    for (std::uint32_t attempt = 1; attempt <= policy.max_attempts; ++attempt) {
        response = SubmitBackendSettlementHttpAttempt(options_, client_, request, attempt);
        const BackendRetryDecision decision = ShouldRetryBackendResponse(response, attempt, policy);
        if (decision.retry) {
            continue;
        }
        if (!response.accepted && attempt >= policy.max_attempts) {
            AppendExhausted(response, attempt);
        }
        return response;
    }
    AppendExhausted(response, policy.max_attempts);
    return response;
}

}  // namespace ironpost
