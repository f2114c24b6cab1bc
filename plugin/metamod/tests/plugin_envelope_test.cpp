// The plugin envelope v2: nonce, payload hash, signing text, signature, body
// and every refusal, checked against values computed outside this code.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "crypto_python_oracle.h"
#include "ironpost_plugin_envelope.h"

namespace ironpost {
namespace {

using ironpost_test::Lines;
using ironpost_test::PythonAvailable;
using ironpost_test::RunPython;
using ironpost_test::ToHex;

constexpr std::uint64_t kTimestampMs = 1714564800123ull;

PluginEnvelopeV2Request ValidRequest() {
    PluginEnvelopeV2Request request;
    request.server_id = "srv-1";
    request.request_id = "req-1";
    request.timestamp_ms = kTimestampMs;
    request.nonce = "f181af064049af420af9c23da90cccd7";
    request.payload_json = "{}";
    return request;
}

// ---------------------------------------------------------------------------

TEST(PluginNonce, IsTheHashPrefixOfLabelRequestAndMillisecond) {
    // sha256("settlement\nreq-1\n1714564800123") and its neighbours, first 32 digits.
    EXPECT_EQ(BuildDeterministicPluginNonce("req-1", kTimestampMs, "settlement"),
              "f181af064049af420af9c23da90cccd7");
    EXPECT_EQ(BuildDeterministicPluginNonce("req-1", kTimestampMs + 1, "settlement"),
              "c37ee96a5bcc08230d060d83e819af93");
    EXPECT_EQ(BuildDeterministicPluginNonce("req-1", kTimestampMs, "heartbeat"),
              "ef18f27b06169e1794839caccb715b52");
}

TEST(PluginEnvelopeSigningPayload, IsOneLinePerValueWithoutTrailingBreak) {
    PluginEnvelopeV2Request request = ValidRequest();
    request.server_id = "s\"1\\";
    request.nonce = "nonce-01";
    EXPECT_EQ(BuildPluginEnvelopeSigningPayload(request, "sha256:abc"),
              "protocol=ironpost-plugin-envelope-v2\n"
              "serverId=s\"1\\\n"
              "requestId=req-1\n"
              "timestampMs=1714564800123\n"
              "nonce=nonce-01\n"
              "payloadHash=sha256:abc");
}

// Hash and signature were computed with Python's hashlib and hmac over the
// hand-written signing text.
TEST(PluginEnvelopeBody, MatchesKnownAnswerForEmptyObjectPayload) {
    const DevelopmentFileSettlementSigner signer("server-key");
    const std::optional<std::string> body = BuildPluginEnvelopeV2Body(ValidRequest(), signer);
    ASSERT_TRUE(body.has_value());
    EXPECT_EQ(
        *body,
        R"({"protocol":"ironpost-plugin-envelope-v2","serverId":"srv-1","requestId":"req-1",)"
        R"("timestampMs":1714564800123,"nonce":"f181af064049af420af9c23da90cccd7",)"
        R"("payloadHash":"sha256:44136fa355b3678a1146ad16f7e8649e94fb4fc21fe77e8310c060f61caaff8a",)"
        R"("signature":"hmac-sha256:e8d222ad46ff36af41150f8a60cd91ca9079bf43a58557e900ee2c5da2c65b52",)"
        R"("payload":{}})");
}

TEST(PluginEnvelopeBody, RefusesIncompleteRequestsAndKeylessSigners) {
    struct Case {
        const char* name;
        void (*spoil)(PluginEnvelopeV2Request&);
    };
    const std::vector<Case> cases = {
        {"empty server_id", [](PluginEnvelopeV2Request& r) { r.server_id.clear(); }},
        {"empty request_id", [](PluginEnvelopeV2Request& r) { r.request_id.clear(); }},
        {"zero timestamp", [](PluginEnvelopeV2Request& r) { r.timestamp_ms = 0; }},
        {"empty nonce", [](PluginEnvelopeV2Request& r) { r.nonce.clear(); }},
        {"seven-byte nonce", [](PluginEnvelopeV2Request& r) { r.nonce = "1234567"; }},
        {"empty payload", [](PluginEnvelopeV2Request& r) { r.payload_json.clear(); }},
    };
    const DevelopmentFileSettlementSigner signer("server-key");
    for (const Case& c : cases) {
        PluginEnvelopeV2Request request = ValidRequest();
        c.spoil(request);
        EXPECT_FALSE(BuildPluginEnvelopeV2Body(request, signer).has_value()) << c.name;
    }
    EXPECT_FALSE(
        BuildPluginEnvelopeV2Body(ValidRequest(), DevelopmentFileSettlementSigner()).has_value())
        << "signer without key";

    PluginEnvelopeV2Request eight = ValidRequest();
    eight.nonce = "12345678";
    EXPECT_TRUE(BuildPluginEnvelopeV2Body(eight, signer).has_value()) << "eight-byte nonce";
}

// The envelope escapes only tab, line feed, carriage return, quote and
// backslash; other control bytes and high bytes go out raw, as the backend
// renders them when it checks the body byte for byte.
TEST(PluginEnvelopeBody, EscapesOnlyTheFiveEnvelopeBytes) {
    PluginEnvelopeV2Request request = ValidRequest();
    request.server_id = "s\x01\"\\\t\xe9";
    request.request_id = "r\r\n\b\f\x1f";
    const std::optional<std::string> body =
        BuildPluginEnvelopeV2Body(request, DevelopmentFileSettlementSigner("k"));
    ASSERT_TRUE(body.has_value());
    const std::string head =
        "{\"protocol\":\"ironpost-plugin-envelope-v2\",\"serverId\":\"s\x01\\\"\\\\\\t\xe9\","
        "\"requestId\":\"r\\r\\n\b\f\x1f\",\"timestampMs\":1714564800123,";
    EXPECT_EQ(body->substr(0, head.size()), head);
}

TEST(PluginEnvelopeTimestamp, IsWallClockMilliseconds) {
    using std::chrono::duration_cast;
    using std::chrono::milliseconds;
    using std::chrono::system_clock;
    const auto before = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    const std::uint64_t stamp = CurrentPluginEnvelopeTimestampMs();
    const auto after = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    EXPECT_GE(stamp, static_cast<std::uint64_t>(before));
    EXPECT_LE(stamp, static_cast<std::uint64_t>(after));
}

// ---------------------------------------------------------------------------
// Independent reference: Python computes nonce, hash and signature from raw
// inputs, and a backend-style verifier decodes the body (bytes as Latin-1, raw
// control bytes allowed, as the backend reads it), checks the member order and
// the byte-exact rendering, the payload hash, the nonce and the HMAC over the
// signing text rebuilt from the decoded values.

constexpr const char* kPythonEnvelopeReference = R"py(
import hashlib, hmac, sys
args = [bytes.fromhex(a) for a in sys.argv[1:]]
for i in range(0, len(args), 6):
    key, server_id, request_id, label, payload, timestamp = args[i:i + 6]
    nonce = hashlib.sha256(label + b"\n" + request_id + b"\n" + timestamp).hexdigest()[:32]
    payload_hash = "sha256:" + hashlib.sha256(payload).hexdigest()
    text = (b"protocol=ironpost-plugin-envelope-v2\nserverId=" + server_id + b"\nrequestId=" +
            request_id + b"\ntimestampMs=" + timestamp + b"\nnonce=" + nonce.encode() +
            b"\npayloadHash=" + payload_hash.encode())
    print(nonce, payload_hash, "hmac-sha256:" + hmac.new(key, text, hashlib.sha256).hexdigest())
)py";

constexpr const char* kPythonBackendVerifier = R"py(
import hashlib, hmac, json, sys

def esc(data):
    return (data.replace(b"\\", b"\\\\").replace(b'"', b'\\"').replace(b"\t", b"\\t")
            .replace(b"\n", b"\\n").replace(b"\r", b"\\r"))

def verify(key, label, body):
    try:
        envelope = json.loads(body.decode("latin-1"), strict=False)
    except ValueError as error:
        return "invalid json: %s" % error
    if list(envelope) != ["protocol", "serverId", "requestId", "timestampMs", "nonce",
                          "payloadHash", "signature", "payload"]:
        return "members %s" % list(envelope)
    text = {k: envelope[k].encode("latin-1") for k in
            ("protocol", "serverId", "requestId", "nonce", "payloadHash", "signature")}
    marker = b',"payload":'
    raw_payload = body[body.index(marker) + len(marker):-1]
    rendered = (b'{"protocol":"' + text["protocol"] + b'","serverId":"' + esc(text["serverId"]) +
                b'","requestId":"' + esc(text["requestId"]) + b'","timestampMs":' +
                str(envelope["timestampMs"]).encode() + b',"nonce":"' + esc(text["nonce"]) +
                b'","payloadHash":"' + text["payloadHash"] + b'","signature":"' +
                esc(text["signature"]) + b'","payload":' + raw_payload + b"}")
    if rendered != body:
        return "not the canonical rendering"
    if text["payloadHash"] != b"sha256:" + hashlib.sha256(raw_payload).hexdigest().encode():
        return "payload hash mismatch"
    nonce = hashlib.sha256(label + b"\n" + text["requestId"] + b"\n" +
                           str(envelope["timestampMs"]).encode()).hexdigest()[:32].encode()
    if text["nonce"] != nonce:
        return "nonce mismatch"
    signing = (b"protocol=" + text["protocol"] + b"\nserverId=" + text["serverId"] +
               b"\nrequestId=" + text["requestId"] + b"\ntimestampMs=" +
               str(envelope["timestampMs"]).encode() + b"\nnonce=" + text["nonce"] +
               b"\npayloadHash=" + text["payloadHash"])
    expected = b"hmac-sha256:" + hmac.new(key, signing, hashlib.sha256).hexdigest().encode()
    if not hmac.compare_digest(text["signature"], expected):
        return "signature mismatch"
    return "verified " + text["serverId"].hex()

args = [bytes.fromhex(a) for a in sys.argv[1:]]
for i in range(0, len(args), 3):
    print(verify(args[i], args[i + 1], args[i + 2]))
)py";

struct EnvelopeCase {
    const char* name;
    std::string key;
    std::string server_id;
    std::string request_id;
    std::string label;
    std::string payload;
};

std::vector<EnvelopeCase> EnvelopeCases() {
    return {
        {"plain", "server-key", "srv-1", "settlement-1", "settlement", "{\"a\":1}"},
        {"131-byte key", std::string(131, '\xaa'), "7", "hb-42", "heartbeat", "[]"},
        {"binary key", std::string("k\0\xff\n", 4), "srv", "r", "game-state", "{}"},
        {"odd identifier bytes", "key", "s\x01\"\\\t\x1f-\xe9", "r\r\b\f\x7f", "round-events",
         "{\"x\":\"\xc3\xa9\\n\"}"},
        {"large payload", "key", "srv", "player-balances-9", "player-balances",
         "{\"pad\":\"" + std::string(30000, 'p') + "\"}"},
    };
}

PluginEnvelopeV2Request RequestFor(const EnvelopeCase& c) {
    PluginEnvelopeV2Request request;
    request.server_id = c.server_id;
    request.request_id = c.request_id;
    request.timestamp_ms = kTimestampMs;
    request.nonce = BuildDeterministicPluginNonce(c.request_id, kTimestampMs, c.label);
    request.payload_json = c.payload;
    return request;
}

TEST(PluginEnvelopeCrossCheck, NonceHashAndSignatureMatchPython) {
    if (!PythonAvailable()) {
        GTEST_SKIP() << "python3 is not available";
    }
    const std::vector<EnvelopeCase> cases = EnvelopeCases();
    std::vector<std::string> args;
    for (const EnvelopeCase& c : cases) {
        for (const std::string* value :
             {&c.key, &c.server_id, &c.request_id, &c.label, &c.payload}) {
            args.push_back(ToHex(*value));
        }
        args.push_back(ToHex(std::to_string(kTimestampMs)));
    }
    const std::optional<std::string> output = RunPython(kPythonEnvelopeReference, args);
    ASSERT_TRUE(output.has_value());
    const std::vector<std::string> lines = Lines(*output);
    ASSERT_EQ(lines.size(), cases.size());

    for (std::size_t i = 0; i < cases.size(); ++i) {
        const PluginEnvelopeV2Request request = RequestFor(cases[i]);
        const std::optional<std::string> body =
            BuildPluginEnvelopeV2Body(request, DevelopmentFileSettlementSigner(cases[i].key));
        ASSERT_TRUE(body.has_value()) << cases[i].name;
        const std::string payload_hash = "sha256:" + Sha256Hex(request.payload_json);
        const std::string signature =
            DevelopmentFileSettlementSigner(cases[i].key)
                .SignPluginEnvelopePayload(
                    BuildPluginEnvelopeSigningPayload(request, payload_hash));
        EXPECT_EQ(request.nonce + " " + payload_hash + " " + signature, lines[i]) << cases[i].name;
        EXPECT_NE(body->find(",\"payloadHash\":\"" + payload_hash + "\",\"signature\":\"" +
                             signature + "\",\"payload\":"),
                  std::string::npos)
            << cases[i].name;
    }
}

TEST(PluginEnvelopeCrossCheck, BackendStyleVerifierAcceptsEveryBody) {
    if (!PythonAvailable()) {
        GTEST_SKIP() << "python3 is not available";
    }
    const std::vector<EnvelopeCase> cases = EnvelopeCases();
    std::vector<std::string> args;
    for (const EnvelopeCase& c : cases) {
        const std::optional<std::string> body =
            BuildPluginEnvelopeV2Body(RequestFor(c), DevelopmentFileSettlementSigner(c.key));
        ASSERT_TRUE(body.has_value()) << c.name;
        args.push_back(ToHex(c.key));
        args.push_back(ToHex(c.label));
        args.push_back(ToHex(*body));
    }
    const std::optional<std::string> output = RunPython(kPythonBackendVerifier, args);
    ASSERT_TRUE(output.has_value());
    const std::vector<std::string> lines = Lines(*output);
    ASSERT_EQ(lines.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(lines[i], "verified " + ToHex(cases[i].server_id)) << cases[i].name;
    }
}

}  // namespace
}  // namespace ironpost
