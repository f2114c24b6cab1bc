// The HTTP client's pure halves: URLs, the request text, reply bytes, the JSON
// readers and the intake reply parser, including hostile input.

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "ironpost_backend_transport.h"

namespace ironpost {
namespace {

using std::string_literals::operator""s;

TEST(BackendUrl, JoinsWithExactlyOneSlash) {
    const struct {
        std::string base, path, joined;
    } cases[] = {{"", "/v1/x", "/v1/x"},
                 {"http://h:1", "", "http://h:1"},
                 {"http://h:1/", "/v1/x", "http://h:1/v1/x"},
                 {"http://h:1", "v1/x", "http://h:1/v1/x"},
                 {"http://h:1/", "v1/x", "http://h:1/v1/x"},
                 {"http://h:1/api", "/v1", "http://h:1/api/v1"}};
    for (const auto& c : cases) {
        EXPECT_EQ(BuildBackendUrl(c.base, c.path), c.joined) << c.base << " + " << c.path;
    }
}

// The exact text with all headers is checked on the wire by the loopback
// tests; these cover the URL forms a loopback peer cannot show, and fields that
// could end their line: a configured value or a peer identifier must not
// smuggle extra headers or a second request onto the wire.
TEST(PlainHttpRequestText, HeadOrRefusal) {
    const struct {
        std::string url, content_type;
        PluginHttpHeader header;
        std::string head_or_error;
    } cases[] = {{"http://backend/x", "a", {}, "POST /x HTTP/1.1\r\nHost: backend\r\n"},
                 {"http://backend:80/x?a=1", "a", {}, "POST /x?a=1 HTTP/1.1\r\nHost: backend\r\n"},
                 {"http://backend:9000", "a", {}, "POST / HTTP/1.1\r\nHost: backend:9000\r\n"},
                 {"http://[::1]:8080/v1", "a", {}, "POST /v1 HTTP/1.1\r\nHost: [::1]:8080\r\n"},
                 {"http://[::1]/v1", "a", {}, "POST /v1 HTTP/1.1\r\nHost: [::1]\r\n"},
                 {"http://h:1/p",
                  "",
                  {"", "dropped"},
                  "POST /p HTTP/1.1\r\nHost: h:1\r\nConnection: close\r\nContent-Type: \r\n"
                  "Content-Length: 0\r\n\r\n"},
                 {"http://h:1/x\r\nX-Evil: 1", "a", {}, "invalid URL path"},
                 {"http://h:1/a b", "a", {}, "invalid URL path"},
                 {"http://h\r\nX-Evil:1/x", "a", {}, "invalid URL host"},
                 {"http://h:80\n/x", "a", {}, "invalid URL host"},
                 {"http://h:1/x", "a\r\nX-Evil: 1", {}, "invalid content type"},
                 {"http://h:1/x", "a", {"X\r\nEvil", "1"}, "invalid header name"},
                 {"http://h:1/x", "a", {"X Evil", "1"}, "invalid header name"},
                 {"http://h:1/x", "a", {"X:Evil", "1"}, "invalid header name"},
                 {"http://h:1/x", "a", {"X", "1\r\nX-Evil: 1"}, "invalid header value for X"},
                 {"http://h:1/x", "a", {"X", "1\n"}, "invalid header value for X"},
                 {"http://h:1/x", "a", {"X", "1\0"s}, "invalid header value for X"}};
    for (const auto& c : cases) {
        const PlainHttpRequestText text = BuildPlainHttpRequestText(
            ParseHttpUrl(c.url).value(), {c.url, c.content_type, {c.header}, "", nullptr});
        EXPECT_EQ(text.error.empty() ? text.text.substr(0, c.head_or_error.size()) : text.error,
                  c.head_or_error);
        EXPECT_TRUE(text.error.empty() || text.text.empty()) << c.url;
    }
    for (const char* url : {"https://backend/x", "HTTP://backend/x", " http://backend", "backend",
                            "ftp://backend", ""}) {
        EXPECT_FALSE(ParseHttpUrl(url).has_value()) << url;
        EXPECT_EQ(SubmitPlainHttpPost({url, "a", {}, "", nullptr}, 100).error,
                  "only plain http:// backend URLs are supported in alpha");
    }
}

TEST(PlainHttpResponse, ReadsStatusAndBodyAfterFirstBlankLine) {
    const struct {
        std::string bytes;
        std::int32_t status;
        std::string body, error;
    } cases[] = {
        {"HTTP/1.1 200 OK\r\nContent-Type: a\r\n\r\n{\"a\":1}", 200, "{\"a\":1}", ""},
        {"HTTP/1.1 204 No Content\r\n", 204, "", ""},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", 200,
         "5\r\nhello\r\n0\r\n\r\n", ""},
        {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nabc\r\n\r\ndef", 200, "abc\r\n\r\ndef", ""},
        {"HTTP/1.0 503\r\n\r\nbusy", 503, "busy", ""},
        {"HTTP/1.1 200abc OK\r\n", 200, "", ""},
        {"HTTP/1.1 -2147483648 X\r\n", INT32_MIN, "", ""},
        {"HTTP/1.1 200 OK", 0, "", "malformed HTTP response"},
        {"HTTP/1.1 200 OK\n\nbody", 0, "", "malformed HTTP response"},
        {"HTTP/1.1\r\n\r\nbody", 0, "", "malformed HTTP status line"},
        {"HTTP/1.1 OK\r\n", 0, "", "malformed HTTP status code"},
        {"HTTP/1.1  200 OK\r\n", 0, "", "malformed HTTP status code"},
        {"HTTP/1.1 2147483648 X\r\n", 0, "", "malformed HTTP status code"},
        {"HTTP/1.1 99999999999999999999999 X\r\n", 0, "", "malformed HTTP status code"}};
    for (const auto& c : cases) {
        const BackendHttpResponse response = ParsePlainHttpResponse(c.bytes);
        EXPECT_EQ(response.status_code, c.status) << c.bytes;
        EXPECT_EQ(response.body, c.body) << c.bytes;
        EXPECT_EQ(response.error, c.error) << c.bytes;
    }
}

TEST(JsonStringToken, DecodesTheSupportedEscapesOnly) {
    const struct {
        std::string text;
        std::optional<std::string> decoded;
    } cases[] = {{" \t\"a b\"\r\n", "a b"},
                 {"\"\"", ""},
                 {R"("\\\"\/\b\f\n\r\t")", "\\\"/\b\f\n\r\t"},
                 {"\"a\"b\"", "a\"b"},
                 {R"("\u0041")", std::nullopt},
                 {R"("\x")", std::nullopt},
                 {R"("abc\")", std::nullopt},
                 {"\"", std::nullopt},
                 {"\"abc", std::nullopt},
                 {"42", std::nullopt}};
    for (const auto& c : cases) {
        EXPECT_EQ(ParseJsonStringToken(c.text), c.decoded) << c.text;
    }
}

TEST(JsonObjectField, FindsRawTopLevelValues) {
    const struct {
        std::string json, key;
        std::optional<std::string> value;
    } cases[] = {{" {\n \"a\" : [1, {\"b\":2}] ,\t\"b\" : true } ", "b", "true"},
                 {R"({"x":{"b":1},"b":2})", "b", "2"},
                 {R"({"x":{"b":1}})", "b", std::nullopt},
                 {R"({"a":"x\"y,}","b":4})", "b", "4"},
                 {R"({"r":{"x":[1,{"y":"}"}]},"z":0})", "r", R"({"x":[1,{"y":"}"}]})"},
                 {R"({"a\"b":1})", R"(a\"b)", "1"},
                 {R"({"b":1,"b":2})", "b", "1"},
                 {"{}", "b", std::nullopt},
                 {R"(["b",1])", "b", std::nullopt},
                 {R"({"a":1,"b":2)", "b", std::nullopt},
                 {R"({"a":"xx,"b":2})", "b", std::nullopt},
                 {R"({b:1})", "b", std::nullopt}};
    for (const auto& c : cases) {
        EXPECT_EQ(ExtractObjectFieldValue(c.json, c.key), c.value) << c.json;
    }
}

BackendHttpResponse Http(std::int32_t status, std::string body, std::string error = "") {
    return {status, std::move(body), std::move(error)};
}

TEST(IntakeReply, ReadsAcceptanceIdentityAndErrorsInOrder) {
    const PluginSettlementIntakeResponse r = ParsePluginSettlementIntakeHttpResponse(Http(
        200, R"({"accepted":true,"requestId":"r-1","receivedAt":"t\/0","errors":["e1",5,"e2"],)"
             R"("relay":{"errors":["r1"],"extrinsicStatus":"included","extrinsicHash":"0xab",)"
             R"("submittedAt":"s"},"status":"finalized"})"));
    EXPECT_TRUE(r.accepted);
    EXPECT_EQ(r.request_id + " " + r.received_at + " " + r.extrinsic_hash + " " + r.submitted_at,
              "r-1 t/0 0xab s");
    EXPECT_EQ(r.errors, (std::vector<std::string>{"e1", "e2", "r1"}));
    EXPECT_EQ(r.relay_status, SettlementRelayStatus::Included);
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string joined;
    for (const std::string& line : lines) {
        joined += (joined.empty() ? "" : "|") + line;
    }
    return joined;
}

TEST(IntakeReply, OutcomeTable) {
    using S = SettlementRelayStatus;
    const struct {
        std::int32_t http_status;
        std::string body;
        bool accepted;
        std::int32_t status;
        S relay;
        std::string errors;  // "|"-separated
    } cases[] = {
        // clang-format off
        {200, "", false, 200, S::Unknown, "backend response body is empty"},
        {200, R"({"accepted":"true"})", false, 200, S::Unknown, "backend response accepted field is invalid"},
        {200, R"({"accept":true})", false, 200, S::Unknown, "backend response accepted field is missing"},
        {200, "not json", false, 200, S::Unknown, "backend response accepted field is missing"},
        {500, R"({"accepted":true})", false, 500, S::Unknown, "backend returned HTTP 500"},
        {404, R"({"accepted":false,"errors":["no route"]})", false, 404, S::Unknown, "no route|backend returned HTTP 404"},
        {200, R"({"accepted":false})", false, 200, S::Unknown, "settlement backend rejected request"},
        {200, R"({"accepted":false,"errors":"x","relay":"included"})", false, 200, S::Unknown, "settlement backend rejected request"},
        {200, R"({"accepted":true,"statusCode":202})", true, 202, S::Unknown, ""},
        {200, R"({"accepted":true,"statusCode":-7})", true, -7, S::Unknown, ""},
        {200, R"({"accepted":true,"statusCode":"202"})", true, 200, S::Unknown, ""},
        {200, R"({"accepted":true,"statusCode":2e2})", true, 200, S::Unknown, ""},
        {200, R"({"accepted":true,"statusCode":99999999999})", true, 200, S::Unknown, ""},
        {503, R"({"accepted":true,"statusCode":200})", false, 503, S::Unknown, "backend returned HTTP 503"},
        {200, R"({"accepted":true,"status":"finalized"})", true, 200, S::Finalized, ""},
        {200, R"({"accepted":true,"relay":{"extrinsicStatus":"bogus"},"status":"finalized"})", true, 200, S::Finalized, ""},
        {200, R"({"accepted":true,"relay":{"extrinsicStatus":"queued"},"status":"finalized"})", true, 200, S::Queued, ""},
        {202, R"({"accepted":true,"relay":{"accepted":true,"errors":[],"extrinsicStatus":"queued"}})", true, 202, S::Queued, ""},
        // clang-format on
    };
    for (const auto& c : cases) {
        const auto r = ParsePluginSettlementIntakeHttpResponse(Http(c.http_status, c.body));
        EXPECT_EQ(r.accepted, c.accepted) << c.body;
        EXPECT_EQ(r.status_code, c.status) << c.body;
        EXPECT_EQ(r.relay_status, c.relay) << c.body;
        EXPECT_EQ(Joined(r.errors), c.errors) << c.body;
    }
    const auto failed = ParsePluginSettlementIntakeHttpResponse(Http(0, "{}", "connect failed: x"));
    EXPECT_EQ(failed.relay_status, S::Failed);
    EXPECT_EQ(Joined(failed.errors), "backend request failed: connect failed: x");
}

// Whatever arrives, nothing overruns or recurses without bound, a rejected
// reply explains itself, and nothing in the body makes a non-2xx reply accepted.
TEST(IntakeReply, SurvivesHostileBodies) {
    const std::string bodies[] = {
        "{\"accepted\":" + std::string(200000, '['),
        "{\"accepted\":true,\"relay\":" + std::string(200000, '{') + "}",
        "{\"a\":" + std::string(1000, ']') + std::string(1000, '}'),
        "{\"accepted\":true,\"statusCode\":-" + std::string(5000, '9') + "}",
        "{\"accepted\":true,\"errors\":[\"a\\\"]}",
        "{\"accepted\":true,\"errors\":[,,,\"\\\\\",]}",
        "{\"accepted\":true,\"relay\":{\"extrinsicStatus\":\"inc\\",
        "{\"accepted\":true,\"requestId\":\"\\",
        "{\"accepted\":true\0,\"x\":1}"s,
        "{\"\\",
        "{\"",
        "{",
        "\"",
        "\\",
        std::string(100000, '"'),
        std::string(100000, '\\')};
    for (const std::string& body : bodies) {
        const PluginSettlementIntakeResponse ok =
            ParsePluginSettlementIntakeHttpResponse(Http(200, body));
        EXPECT_TRUE(ok.accepted || !ok.errors.empty()) << body;
        const PluginSettlementIntakeResponse failed =
            ParsePluginSettlementIntakeHttpResponse(Http(502, body));
        EXPECT_FALSE(failed.accepted) << body;
        EXPECT_EQ(failed.status_code, 502) << body;
    }
}

}  // namespace
}  // namespace ironpost
