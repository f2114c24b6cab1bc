// Transport options, validation, request headers, retry decisions and the
// settlement transport's immediate retries.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "ironpost_backend_transport.h"

namespace ironpost {
namespace {

constexpr std::uint32_t kMax32 = std::numeric_limits<std::uint32_t>::max();

using Headers = std::vector<std::pair<std::string, std::string>>;

Headers Pairs(const std::vector<PluginHttpHeader>& list) {
    Headers pairs;
    for (const PluginHttpHeader& header : list) {
        pairs.emplace_back(header.name, header.value);
    }
    return pairs;
}

PluginSettlementHttpRequest SettlementRequest() {
    return {
        "POST", "/v1/plugin/settlements", "application/json", "req-1", "srv-1", "{\"envelope\":1}",
        ""};
}

// Every backend setting lands in its own option (the headers show the names,
// the delays and the attempt count); in bearer mode, written in any case and
// with spaces, the token comes from its file, trimmed.
TEST(TransportOptions, ComeFromTheConfigurationAndTheTokenFile) {
    const std::string token_file =
        ::testing::TempDir() + "ironpost_token_" + std::to_string(::getpid());
    std::ofstream(token_file, std::ios::binary) << "  tok-123\r\n";
    IronPostConfig config;
    config.backend_url = "http://b:1";
    config.backend_auth_mode = " Bearer_Token_FILE\t";
    config.backend_auth_token_file = token_file;
    config.backend_auth_header = "H-Auth";
    config.backend_server_id_header = "H-Server";
    config.backend_request_id_header = "H-Request";
    config.http_timeout_ms = 700;
    config.backend_retry_max_attempts = 4;
    config.backend_retry_base_delay_ms = 30;
    config.backend_retry_max_delay_ms = 90;
    const BackendTransportOptions o = LoadBackendTransportOptionsFromConfig(config);
    EXPECT_TRUE(ValidateBackendTransportOptions(o).empty());
    EXPECT_EQ(o.backend_url + "|" + o.auth_mode + "|" + o.auth_token,
              "http://b:1| Bearer_Token_FILE\t|tok-123");
    EXPECT_EQ(o.http_timeout_ms, 700u);
    EXPECT_EQ(Pairs(BuildBackendRequestHeaders(o, SettlementRequest(), 2)),
              (Headers{{"H-Server", "srv-1"},
                       {"H-Request", "req-1"},
                       {"H-Auth", "Bearer tok-123"},
                       {"X-IronPost-Attempt", "2"},
                       {"X-IronPost-Max-Attempts", "4"}}));
    EXPECT_EQ(ShouldRetryBackendResponse({}, 2, o.retry_policy).delay_ms, 60u);
    EXPECT_EQ(ShouldRetryBackendResponse({}, 3, o.retry_policy).delay_ms, 90u);
    EXPECT_EQ(BuildBackendTransportOptions(config, "\n t \t").auth_token, "t");

    config.backend_auth_mode = "none";
    EXPECT_EQ(LoadBackendTransportOptionsFromConfig(config).auth_token, "") << "file read";
    std::remove(token_file.c_str());
    config.backend_auth_mode = "bearer_token_file";
    EXPECT_EQ(ValidateBackendTransportOptions(LoadBackendTransportOptionsFromConfig(config)),
              std::vector<std::string>{"backend bearer token is required"});

    // A FIFO named by mistake must not block the attach waiting for a writer.
    ASSERT_EQ(::mkfifo(token_file.c_str(), 0600), 0);
    EXPECT_EQ(LoadBackendTransportOptionsFromConfig(config).auth_token, "");
    std::remove(token_file.c_str());
}

TEST(TransportOptions, ValidationReportsEveryProblemInOrder) {
    BackendTransportOptions all_wrong;
    all_wrong.backend_url = " \t";
    all_wrong.auth_mode = " Basic ";
    all_wrong.retry_policy = {0, 0, 0};
    all_wrong.http_timeout_ms = 0;
    BackendTransportOptions bearer;
    bearer.auth_mode = "BEARER_TOKEN_FILE";
    bearer.auth_token = " \n";
    bearer.auth_header = "  ";
    BackendTransportOptions inverted;
    inverted.retry_policy = {3, 500, 100};
    inverted.http_timeout_ms = kMaxHttpTimeoutMs;
    // Names and a token that would break every request are refused at load.
    BackendTransportOptions malformed = bearer;
    malformed.auth_token = " tok\nen ";
    malformed.auth_header = "X Auth";
    malformed.server_id_header = "X-Server:";
    malformed.request_id_header = "";
    malformed.http_timeout_ms = kMaxHttpTimeoutMs + 1;
    const struct {
        BackendTransportOptions options;
        std::vector<std::string> errors;
    } cases[] = {
        {BackendTransportOptions{}, {}},
        {all_wrong,
         {"backend URL is required", "unsupported backend auth mode:  Basic ",
          "backend retry max attempts must be at least 1",
          "backend retry base delay must be greater than 0",
          "backend retry max delay must be greater than 0",
          "backend HTTP timeout must be greater than 0"}},
        {bearer, {"backend bearer token is required", "backend auth header is required"}},
        {inverted, {"backend retry max delay must be greater than or equal to base delay"}},
        {malformed,
         {"backend bearer token must be one line without control characters",
          "backend auth header is not a valid header name: X Auth",
          "backend server ID header is not a valid header name: X-Server:",
          "backend request ID header is required", "backend HTTP timeout must be at most 30000"}}};
    for (const auto& c : cases) {
        EXPECT_EQ(ValidateBackendTransportOptions(c.options), c.errors);
    }
    EXPECT_EQ(ValidateBackendRetryPolicy({1, 0, 5}),
              (std::vector<std::string>{"backend retry base delay must be greater than 0"}));
}

TEST(RequestHeaders, SkipEmptyPartsAndSendAttemptsOnlyForRetryingPolicies) {
    BackendTransportOptions plain;
    BackendTransportOptions no_names;
    no_names.server_id_header = "";
    no_names.request_id_header = "";
    no_names.auth_mode = "bearer_token_file";
    no_names.auth_token = "t";
    no_names.auth_header = "";
    no_names.retry_policy.max_attempts = 2;
    BackendTransportOptions token_without_mode;
    token_without_mode.auth_token = "t";
    PluginSettlementHttpRequest anonymous = SettlementRequest();
    anonymous.server_id = "";
    const struct {
        BackendTransportOptions options;
        PluginSettlementHttpRequest request;
        Headers headers;
    } cases[] = {{plain,
                  SettlementRequest(),
                  {{"X-IronPost-Server-Id", "srv-1"}, {"X-IronPost-Request-Id", "req-1"}}},
                 {plain, anonymous, {{"X-IronPost-Request-Id", "req-1"}}},
                 {token_without_mode,
                  SettlementRequest(),
                  {{"X-IronPost-Server-Id", "srv-1"}, {"X-IronPost-Request-Id", "req-1"}}},
                 {no_names,
                  SettlementRequest(),
                  {{"X-IronPost-Attempt", "7"}, {"X-IronPost-Max-Attempts", "2"}}}};
    for (const auto& c : cases) {
        EXPECT_EQ(Pairs(BuildBackendRequestHeaders(c.options, c.request, 7)), c.headers);
    }
}

PluginSettlementIntakeResponse Rejected(std::int32_t status, std::vector<std::string> errors = {}) {
    PluginSettlementIntakeResponse response;
    response.status_code = status;
    response.errors = std::move(errors);
    return response;
}

TEST(RetryDecision, RetriesTransientStatusesAndTransportErrorsOnly) {
    const BackendRetryPolicy policy{3, 250, 2000};
    for (const std::int32_t status : {0, 408, 409, 425, 429, 500, 503, 599, 1000}) {
        const BackendRetryDecision d = ShouldRetryBackendResponse(Rejected(status), 1, policy);
        EXPECT_TRUE(d.retry) << status;
        EXPECT_EQ(d.next_attempt, 2u);
        EXPECT_EQ(d.reason, status == 0 ? "transport_error" : "http_" + std::to_string(status));
    }
    for (const std::int32_t status : {-1, 200, 400, 401, 404, 410, 422, 499}) {
        EXPECT_FALSE(ShouldRetryBackendResponse(Rejected(status), 1, policy).retry) << status;
    }
    const struct {
        PluginSettlementIntakeResponse response;
        bool retry;
    } by_errors[] = {
        {Rejected(400, {"x", "backend request failed: connect failed: refused"}), true},
        {Rejected(200, {"backend response body is empty"}), true},
        {Rejected(200, {"backend response body is empty "}), false},
        {Rejected(400, {" backend request failed: x"}), false},
        {Rejected(400, {"backend request failed"}), false}};
    for (const auto& c : by_errors) {
        EXPECT_EQ(ShouldRetryBackendResponse(c.response, 1, policy).retry, c.retry)
            << c.response.errors.back();
    }
    PluginSettlementIntakeResponse accepted = Rejected(503);
    accepted.accepted = true;
    EXPECT_FALSE(ShouldRetryBackendResponse(accepted, 1, policy).retry);
    EXPECT_FALSE(ShouldRetryBackendResponse(Rejected(503), 3, policy).retry);
    EXPECT_FALSE(ShouldRetryBackendResponse(Rejected(503), 9, policy).retry);
}

TEST(RetryDecision, DelayDoublesUpToTheCapWithoutOverflow) {
    const struct {
        BackendRetryPolicy policy;
        std::uint32_t attempt, delay;
    } cases[] = {{{9, 250, 2000}, 0, 250},
                 {{9, 250, 2000}, 1, 250},
                 {{9, 250, 2000}, 2, 500},
                 {{9, 250, 2000}, 3, 1000},
                 {{9, 250, 2000}, 4, 2000},
                 {{9, 250, 2000}, 8, 2000},
                 {{9, 250, 300}, 1, 250},
                 {{9, 250, 300}, 2, 300},
                 {{9, 500, 100}, 1, 100},
                 {{kMax32, 1, kMax32}, 32, 1u << 31},
                 {{kMax32, 1, kMax32}, 33, kMax32},
                 {{kMax32, 3000000000u, 4000000000u}, 2, 4000000000u},
                 {{kMax32, 250, 2000}, kMax32 - 1, 2000},
                 {{kMax32, 0, 0}, kMax32 - 1, 0},
                 {{kMax32, 0, 10}, kMax32 - 1, 0}};
    for (const auto& c : cases) {
        const BackendRetryDecision d =
            ShouldRetryBackendResponse(Rejected(503), c.attempt, c.policy);
        EXPECT_TRUE(d.retry);
        EXPECT_EQ(d.delay_ms, c.delay) << c.attempt << " of " << c.policy.base_delay_ms;
    }
}

// Answers with a script of replies (the last one repeats) and keeps the posts.
class ScriptedClient : public BackendHttpClient {
  public:
    explicit ScriptedClient(std::vector<BackendHttpResponse> replies)
        : replies_(std::move(replies)) {}
    BackendHttpResponse PostJson(const BackendHttpPostRequest& request) override {
        posts.push_back(request);
        return replies_[std::min(posts.size(), replies_.size()) - 1];
    }
    std::vector<BackendHttpPostRequest> posts;

  private:
    std::vector<BackendHttpResponse> replies_;
};

const BackendHttpResponse kBusy{503, R"({"accepted":false})", ""};
const BackendHttpResponse kBad{400, R"({"accepted":false,"errors":["bad draft"]})", ""};
const BackendHttpResponse kDown{0, "", "connect failed: Connection refused"};
const BackendHttpResponse kQueued{202, R"({"accepted":true,"relay":{"extrinsicStatus":"queued"}})",
                                  ""};
const BackendHttpResponse kAcceptedDespite503{200, R"({"accepted":true,"statusCode":503})", ""};
const std::string kExhausted = "backend retry attempts exhausted after ";

// Errors joined with "|" keep each case on one line.
std::string Joined(const std::vector<std::string>& lines) {
    std::string joined;
    for (const std::string& line : lines) {
        joined += (joined.empty() ? "" : "|") + line;
    }
    return joined;
}

TEST(SettlementTransport, RetriesAtOnceAndReportsExhaustion) {
    const struct {
        std::uint32_t max_attempts;
        std::vector<BackendHttpResponse> replies;
        std::size_t posts;
        bool accepted;
        std::string errors;
    } cases[] = {
        {1, {kBusy}, 1, false, "backend returned HTTP 503|" + kExhausted + "1 attempts"},
        {1, {kBad}, 1, false, "bad draft|backend returned HTTP 400|" + kExhausted + "1 attempts"},
        {3, {kBad}, 1, false, "bad draft|backend returned HTTP 400"},
        {3,
         {kBusy, kBusy, kBad},
         3,
         false,
         "bad draft|backend returned HTTP 400|" + kExhausted + "3 attempts"},
        {3,
         {kDown},
         3,
         false,
         "backend request failed: connect failed: Connection refused|" + kExhausted + "3 attempts"},
        {3, {kBusy, kQueued}, 2, true, ""},
        {3, {kAcceptedDespite503}, 1, true, ""}};
    for (const auto& c : cases) {
        BackendTransportOptions options;
        options.backend_url = "http://b:9/";
        options.retry_policy.max_attempts = c.max_attempts;
        ScriptedClient client(c.replies);
        HttpBackendSettlementTransport transport(options, client);
        const PluginSettlementIntakeResponse r =
            transport.SubmitSettlementRequest(SettlementRequest());
        EXPECT_EQ(client.posts.size(), c.posts) << c.errors;
        EXPECT_EQ(r.accepted, c.accepted) << c.errors;
        EXPECT_EQ(Joined(r.errors), c.errors);
        for (std::size_t i = 0; i < client.posts.size() && c.max_attempts >= 2; ++i) {
            EXPECT_EQ(client.posts[i].headers.at(2).value, std::to_string(i + 1));
        }
    }

    // The base-URL constructor keeps every other option at its default.
    ScriptedClient client({kQueued});
    HttpBackendSettlementTransport transport("http://b:9/", client);
    EXPECT_TRUE(transport.SubmitSettlementRequest(SettlementRequest()).accepted);
    ASSERT_EQ(client.posts.size(), 1u);
    const BackendHttpPostRequest& post = client.posts[0];
    EXPECT_EQ(post.url + " " + post.content_type + " " + post.body,
              "http://b:9/v1/plugin/settlements application/json {\"envelope\":1}");
    EXPECT_EQ(Pairs(post.headers),
              (Headers{{"X-IronPost-Server-Id", "srv-1"}, {"X-IronPost-Request-Id", "req-1"}}));
}

TEST(SettlementTransport, InvalidOptionsSendNothing) {
    BackendTransportOptions options;
    options.http_timeout_ms = 0;
    ScriptedClient client({kQueued});
    HttpBackendSettlementTransport transport(options, client);
    const PluginSettlementIntakeResponse whole =
        transport.SubmitSettlementRequest(SettlementRequest());
    const PluginSettlementIntakeResponse one =
        SubmitBackendSettlementHttpAttempt(options, client, SettlementRequest(), 1);
    for (const PluginSettlementIntakeResponse& r : {whole, one}) {
        EXPECT_FALSE(r.accepted);
        EXPECT_EQ(r.status_code, 0);
        EXPECT_EQ(r.relay_status, SettlementRelayStatus::Failed);
        EXPECT_EQ(r.errors,
                  std::vector<std::string>{"backend HTTP timeout must be greater than 0"});
    }
    EXPECT_TRUE(client.posts.empty());
}

}  // namespace
}  // namespace ironpost
