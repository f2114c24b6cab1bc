#pragma once

// Shared set-up for the plugin session tests: a backend client that answers
// from a script and records every request, a cvar registry that records what
// it is given, a temporary directory for configuration and key files, a
// loaded session with players, and readers for the envelopes it sends.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <deque>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ironpost_backend_transport.h"
#include "ironpost_crypto.h"
#include "ironpost_plugin_envelope.h"
#include "ironpost_plugin_session.h"

namespace ironpost::session_test {

using Lines = std::vector<std::string>;
using HeaderList = std::vector<std::pair<std::string, std::string>>;

inline constexpr char kServerKey[] = "session-test-key";
inline constexpr char kWorkerQueuedBody[] =
    "{\"accepted\":true,\"relay\":{\"accepted\":true,\"errors\":[],\"extrinsicStatus\":\"queued\"}"
    "}";

// Answers posts from a script, oldest first; without a scripted answer a post
// fails as a transport error. Every request is kept.
class ScriptedHttpClient final : public BackendHttpClient {
  public:
    BackendHttpResponse PostJson(const BackendHttpPostRequest& request) override {
        requests.push_back(request);
        if (replies.empty()) {
            return BackendHttpResponse{0, "", "no scripted reply"};
        }
        BackendHttpResponse reply = replies.front();
        replies.pop_front();
        return reply;
    }
    void Reply(std::int32_t status, std::string body, std::string error = "") {
        replies.push_back(BackendHttpResponse{status, std::move(body), std::move(error)});
    }
    std::vector<BackendHttpPostRequest> requests;
    std::deque<BackendHttpResponse> replies;
};

class RecordingCvarRegistry final : public CvarRegistry {
  public:
    void RegisterCvar(const CvarDefinition& definition) override {
        definitions.push_back(definition);
    }
    std::vector<CvarDefinition> definitions;
};

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
  public:
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "ironpost-session-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            ADD_FAILURE() << "cannot create a temporary directory";
        }
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string Path(const std::string& name) const { return path_ + "/" + name; }
    std::string Write(const std::string& name, const std::string& content) const {
        const std::string path = Path(name);
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

  private:
    std::string path_;
};

// Server-side answers in the backend's own shape.
inline std::string SettlementReplyBody(const std::string& request_id, const std::string& status,
                                       const std::string& relay_errors = "") {
    return "{\"accepted\":true,\"statusCode\":200,\"requestId\":\"" + request_id +
           "\",\"receivedAt\":\"2024-01-01T00:00:00Z\",\"status\":\"" + status +
           "\",\"relay\":{\"extrinsicStatus\":\"" + status +
           "\",\"extrinsicHash\":\"0xabc\",\"errors\":[" + relay_errors + "]},\"errors\":[]}";
}

inline std::string RejectedReplyBody(std::int32_t status, const std::string& error,
                                     const std::string& request_id = "") {
    std::string body = "{\"accepted\":false,\"statusCode\":" + std::to_string(status);
    if (!request_id.empty()) {
        body += ",\"requestId\":\"" + request_id + "\"";
    }
    return body + ",\"errors\":[\"" + error + "\"]}";
}

inline MetamodRoundEndContext RoundContext(const std::string& request_id,
                                           const std::string& server_id = "srv-1") {
    MetamodRoundEndContext context;
    context.request_id = request_id;
    context.received_at = "2024-01-01T00:00:00Z";
    context.server_id = server_id;
    context.session_id = "session-7";
    context.map_name_hash = "map-hash";
    context.previous_round_hash = "prev-hash";
    context.roster_root = "roster-root";
    context.config_hash = "config-hash";
    return context;
}

inline HeaderList Headers(const BackendHttpPostRequest& request) {
    HeaderList headers;
    for (const PluginHttpHeader& header : request.headers) {
        headers.emplace_back(header.name, header.value);
    }
    return headers;
}

// A string member of an envelope (or any flat reply), decoded.
inline std::string JsonText(const std::string& json, const std::string& member) {
    const std::optional<std::string> value = ExtractObjectFieldValue(json, member);
    if (!value) {
        return "<absent>";
    }
    return ParseJsonStringToken(*value).value_or(*value);
}

inline std::string EnvelopePayload(const std::string& envelope) {
    return ExtractObjectFieldValue(envelope, "payload").value_or("<absent>");
}

// Checks the envelope the way the backend does: protocol, nonce derived from
// the request id, time stamp and `label`, payload hash and HMAC signature.
inline void ExpectSignedEnvelope(const std::string& envelope, const std::string& label) {
    SCOPED_TRACE(envelope);
    EXPECT_EQ(JsonText(envelope, "protocol"), "ironpost-plugin-envelope-v2");
    PluginEnvelopeV2Request request;
    request.server_id = JsonText(envelope, "serverId");
    request.request_id = JsonText(envelope, "requestId");
    request.timestamp_ms =
        std::stoull(ExtractObjectFieldValue(envelope, "timestampMs").value_or("0"));
    request.nonce = JsonText(envelope, "nonce");
    EXPECT_EQ(request.nonce,
              BuildDeterministicPluginNonce(request.request_id, request.timestamp_ms, label));
    const std::string payload_hash = "sha256:" + Sha256Hex(EnvelopePayload(envelope));
    EXPECT_EQ(JsonText(envelope, "payloadHash"), payload_hash);
    EXPECT_EQ(JsonText(envelope, "signature"),
              "hmac-sha256:" + HmacSha256Hex(kServerKey, BuildPluginEnvelopeSigningPayload(
                                                             request, payload_hash)));
}

// A session loaded from files in a temporary directory, with a scripted
// client. `extra_config` lines are appended to a configuration that names the
// key file, the backend and the server id "srv-1".
class SessionTest : public ::testing::Test {
  protected:
    MetamodPluginSessionLoadResult Load(const std::string& extra_config = "") {
        dir_.Write("server.key", std::string(kServerKey) + "\n");
        const std::string config = "ironpost_server_key_file \"" + dir_.Path("server.key") +
                                   "\"\n"
                                   "ironpost_backend_url \"http://127.0.0.1:9\"\n"
                                   "ironpost_server_id srv-1\n" +
                                   extra_config;
        return session_.LoadFromConfigFile(dir_.Write("ironpost.cfg", config), cvars_);
    }

    void LoadOrFail(const std::string& extra_config = "") {
        const MetamodPluginSessionLoadResult result = Load(extra_config);
        ASSERT_TRUE(result.loaded) << ::testing::PrintToString(result.errors);
    }

    // Two humans on opposite teams and a bot; round 1 running with a reward
    // of 100 for slot 1.
    void SeatPlayersAndStartRound(std::uint32_t round = 1) {
        ASSERT_TRUE(session_.OnClientAuthorized(1, "alice", "STEAM_0:1:1001", false));
        ASSERT_TRUE(session_.OnClientAuthorized(2, "bob", "STEAM_0:0:2002", false));
        ASSERT_TRUE(session_.OnClientAuthorized(3, "bot", "", true));
        ASSERT_TRUE(session_.OnClientTeamChanged(1, "TERRORIST"));
        ASSERT_TRUE(session_.OnClientTeamChanged(2, "CT"));
        ASSERT_TRUE(session_.OnRoundStart(round));
        ASSERT_TRUE(session_.Runtime().QueueRewardEntry(1, 1, 0, 100).has_value());
    }

    std::optional<UnresolvedSettlementRecord> Record(const std::string& request_id) const {
        for (const UnresolvedSettlementRecord& record :
             session_.Runtime().UnresolvedSettlementRecords()) {
            if (record.request_id == request_id) {
                return record;
            }
        }
        return std::nullopt;
    }

    TempDir dir_;
    ScriptedHttpClient client_;
    RecordingCvarRegistry cvars_;
    MetamodPluginSession session_{client_};
};

}  // namespace ironpost::session_test
