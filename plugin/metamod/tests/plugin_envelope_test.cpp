// The plugin envelope v2: nonce, payload hash, signing text, signature, body
// and every refusal, checked against values computed outside this code.

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "crypto_python_oracle.h"
#include "ironpost_plugin_envelope.h"

namespace ironpost {
namespace {

constexpr std::uint64_t kTimestampMs = 1714564800123ull;

PluginEnvelopeV2Request ValidRequest() {
    return {"srv-1", "req-1", kTimestampMs, "f181af064049af420af9c23da90cccd7", "{}"};
}

TEST(PluginNonce, IsTheHashPrefixOfLabelRequestAndMillisecond) {
    // sha256("settlement\nreq-1\n1714564800123") and its neighbours, first 32 digits.
    EXPECT_EQ(BuildDeterministicPluginNonce("req-1", kTimestampMs, "settlement"),
              "f181af064049af420af9c23da90cccd7");
    EXPECT_EQ(BuildDeterministicPluginNonce("req-1", kTimestampMs + 1, "settlement"),
              "c37ee96a5bcc08230d060d83e819af93");
    EXPECT_EQ(BuildDeterministicPluginNonce("req-1", kTimestampMs, "heartbeat"),
              "ef18f27b06169e1794839caccb715b52");
}

TEST(PluginEnvelopeSigningPayload, IsOneRawLinePerValueWithoutTrailingBreak) {
    PluginEnvelopeV2Request request = ValidRequest();
    request.server_id = "s\"1\\";
    request.nonce = "nonce-01";
    EXPECT_EQ(BuildPluginEnvelopeSigningPayload(request, "sha256:abc"),
              "protocol=ironpost-plugin-envelope-v2\nserverId=s\"1\\\nrequestId=req-1\n"
              "timestampMs=1714564800123\nnonce=nonce-01\npayloadHash=sha256:abc");
}

// Hash and signature were computed with Python's hashlib and hmac over the
// hand-written signing text.
TEST(PluginEnvelopeBody, MatchesKnownAnswerForEmptyObjectPayload) {
    EXPECT_EQ(
        BuildPluginEnvelopeV2Body(ValidRequest(), DevelopmentFileSettlementSigner("server-key"))
            .value_or(""),
        R"({"protocol":"ironpost-plugin-envelope-v2","serverId":"srv-1","requestId":"req-1",)"
        R"("timestampMs":1714564800123,"nonce":"f181af064049af420af9c23da90cccd7",)"
        R"("payloadHash":"sha256:44136fa355b3678a1146ad16f7e8649e94fb4fc21fe77e8310c060f61caaff8a",)"
        R"("signature":"hmac-sha256:e8d222ad46ff36af41150f8a60cd91ca9079bf43a58557e900ee2c5da2c65b52",)"
        R"("payload":{}})");
}

TEST(PluginEnvelopeBody, RefusesIncompleteRequestsAndKeylessSigners) {
    std::vector<PluginEnvelopeV2Request> spoiled(6, ValidRequest());
    spoiled[0].server_id.clear();
    spoiled[1].request_id.clear();
    spoiled[2].timestamp_ms = 0;
    spoiled[3].nonce.clear();
    spoiled[4].nonce = "1234567";
    spoiled[5].payload_json.clear();
    const DevelopmentFileSettlementSigner signer("server-key");
    for (std::size_t i = 0; i < spoiled.size(); ++i) {
        EXPECT_FALSE(BuildPluginEnvelopeV2Body(spoiled[i], signer).has_value()) << i;
    }
    EXPECT_FALSE(
        BuildPluginEnvelopeV2Body(ValidRequest(), DevelopmentFileSettlementSigner()).has_value());
    PluginEnvelopeV2Request eight = ValidRequest();
    eight.nonce = "12345678";
    EXPECT_TRUE(BuildPluginEnvelopeV2Body(eight, signer).has_value());
}

// Only tab, line feed, carriage return, quote and backslash are escaped; the
// backend renders other control bytes and high bytes raw when it checks the
// body byte for byte.
TEST(PluginEnvelopeBody, EscapesOnlyTheFiveEnvelopeBytes) {
    PluginEnvelopeV2Request request = ValidRequest();
    request.server_id = "s\x01\"\\\t\xe9";
    request.request_id = "r\r\n\b\f\x1f";
    const std::string head =
        "{\"protocol\":\"ironpost-plugin-envelope-v2\",\"serverId\":\"s\x01\\\"\\\\\\t\xe9\","
        "\"requestId\":\"r\\r\\n\b\f\x1f\",\"timestampMs\":1714564800123,";
    EXPECT_EQ(BuildPluginEnvelopeV2Body(request, DevelopmentFileSettlementSigner("k"))
                  .value_or("")
                  .substr(0, head.size()),
              head);
    EXPECT_EQ(JsonEscape("\x01\t\n\r\"\\\x7f"), "\x01\\t\\n\\r\\\"\\\\\x7f");
}

TEST(PluginEnvelopeTimestamp, IsWallClockMilliseconds) {
    // Between 2020 and 2100 in milliseconds: not seconds, microseconds or a
    // clock that starts at boot.
    const std::uint64_t stamp = CurrentPluginEnvelopeTimestampMs();
    EXPECT_GT(stamp, 1577836800000u);
    EXPECT_LT(stamp, 4102444800000u);
}

// Python renders the whole expected body from the raw inputs: the nonce from
// label, request and time stamp, the payload hash, the HMAC over the signing
// text and the envelope's own escaping.
constexpr const char* kPythonEnvelope = R"py(
import hashlib, hmac, sys
def esc(b):
    for raw, out in ((b"\\", b"\\\\"), (b'"', b'\\"'), (b"\t", b"\\t"), (b"\n", b"\\n"), (b"\r", b"\\r")):
        b = b.replace(raw, out)
    return b
args = [bytes.fromhex(a) for a in sys.argv[1:]]
for i in range(0, len(args), 6):
    key, server, request, label, payload, ts = args[i:i + 6]
    nonce = hashlib.sha256(label + b"\n" + request + b"\n" + ts).hexdigest()[:32].encode()
    digest = b"sha256:" + hashlib.sha256(payload).hexdigest().encode()
    text = (b"protocol=ironpost-plugin-envelope-v2\nserverId=" + server + b"\nrequestId=" + request +
            b"\ntimestampMs=" + ts + b"\nnonce=" + nonce + b"\npayloadHash=" + digest)
    signature = b"hmac-sha256:" + hmac.new(key, text, hashlib.sha256).hexdigest().encode()
    print((b'{"protocol":"ironpost-plugin-envelope-v2","serverId":"' + esc(server) +
           b'","requestId":"' + esc(request) + b'","timestampMs":' + ts + b',"nonce":"' + nonce +
           b'","payloadHash":"' + digest + b'","signature":"' + signature + b'","payload":' +
           payload + b"}").hex())
)py";

TEST(PluginEnvelopeCrossCheck, BodiesMatchPythonByteForByte) {
    if (!ironpost_test::PythonAvailable()) {
        GTEST_SKIP() << "python3 is not available";
    }
    const struct {
        std::string key, server_id, request_id, label, payload;
    } cases[] = {
        {"server-key", "srv-1", "settlement-1", "settlement", "{\"a\":1}"},
        {std::string(131, '\xaa'), "7", "hb-42", "heartbeat", "[]"},
        {std::string("k\0\xff\n", 4), "srv", "r", "game-state", "{}"},
        {"key", "s\x01\"\\\t\x1f-\xe9", "r\r\b\f\x7f", "round-events", "{\"x\":\"\xc3\xa9\\n\"}"},
        {"key", "srv", "player-balances-9", "player-balances",
         "{\"pad\":\"" + std::string(30000, 'p') + "\"}"}};
    std::vector<std::string> args, bodies;
    for (const auto& c : cases) {
        for (const std::string& value :
             {c.key, c.server_id, c.request_id, c.label, c.payload, std::to_string(kTimestampMs)}) {
            args.push_back(ironpost_test::ToHex(value));
        }
        const PluginEnvelopeV2Request request{
            c.server_id, c.request_id, kTimestampMs,
            BuildDeterministicPluginNonce(c.request_id, kTimestampMs, c.label), c.payload};
        bodies.push_back(ironpost_test::ToHex(
            BuildPluginEnvelopeV2Body(request, DevelopmentFileSettlementSigner(c.key))
                .value_or("")));
    }
    const std::optional<std::string> output = ironpost_test::RunPython(kPythonEnvelope, args);
    ASSERT_TRUE(output.has_value());
    EXPECT_EQ(ironpost_test::Lines(*output), bodies);
}

}  // namespace
}  // namespace ironpost
