#pragma once

// Shared set-up for the plugin session tests: a backend client that answers
// from a script and records every request, a recording cvar registry, a
// temporary directory for configuration and key files, a loaded session with
// players, and readers for the envelopes it sends.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ironpost_plugin_envelope.h"
#include "ironpost_plugin_session.h"

namespace ironpost::session_test {

using Lines = std::vector<std::string>;
using HeaderList = std::vector<std::pair<std::string, std::string>>;

inline constexpr char kServerKey[] = "session-test-key";
inline constexpr char kWorkerQueuedBody[] =
    "{\"accepted\":true,\"relay\":{\"accepted\":true,\"errors\":[],\"extrinsicStatus\":\"queued\"}"
    "}";

// Answers from the script, oldest first (or through `answer` when set); an
// unscripted post is a transport error. With `deferred` set it stands in for
// the worker client: each post gets the queued placeholder at once and its
// real answer (and its journal write) only when drained.
class ScriptedHttpClient final : public BackendHttpClient {
  public:
    using Completion = std::pair<BackendHttpPostRequest, BackendHttpResponse>;
    BackendHttpResponse PostJson(const BackendHttpPostRequest& request) override {
        requests.push_back(request);
        if (deferred) {
            queued.push_back(request);
            return BackendHttpResponse{202, kWorkerQueuedBody, ""};
        }
        Persist(request);
        return Answer(request);
    }
    // The queued posts with their answers; newest first on request, so that
    // a poll overtakes the post it asks about, as parallel workers may.
    std::vector<Completion> Drain(bool newest_first = false) {
        std::vector<BackendHttpPostRequest> taken;
        taken.swap(queued);
        if (newest_first) {
            std::reverse(taken.begin(), taken.end());
        }
        std::vector<Completion> completions;
        for (const BackendHttpPostRequest& request : taken) {
            Persist(request);
            completions.emplace_back(request, Answer(request));
        }
        return completions;
    }
    void Reply(std::int32_t status, std::string body, int times = 1) {
        for (int i = 0; i < times; ++i) {
            replies.push_back(BackendHttpResponse{status, body, ""});
        }
    }
    bool deferred = false;
    std::function<BackendHttpResponse(const BackendHttpPostRequest&)> answer;
    std::vector<BackendHttpPostRequest> requests;
    std::vector<BackendHttpPostRequest> queued;
    std::deque<BackendHttpResponse> replies;

  private:
    static void Persist(const BackendHttpPostRequest& request) {
        if (request.persist_before_send) {
            request.persist_before_send->Perform();
        }
    }
    BackendHttpResponse Answer(const BackendHttpPostRequest& request) {
        if (answer) {
            return answer(request);
        }
        if (replies.empty()) {
            return BackendHttpResponse{0, "", "no scripted reply"};
        }
        BackendHttpResponse reply = replies.front();
        replies.pop_front();
        return reply;
    }
};

inline std::string RequestId(const BackendHttpPostRequest& request) {
    return FindRequestHeader(request, "X-IronPost-Request-Id");
}

inline bool PostedTo(const BackendHttpPostRequest& request, const std::string& path) {
    const std::optional<ParsedHttpUrl> url = ParseHttpUrl(request.url);
    return url && url->path == path;
}

// The attempt headers of every post of settlement `request_id`, in order.
inline std::vector<std::string> SettlementAttempts(
    const std::vector<BackendHttpPostRequest>& requests, const std::string& request_id) {
    std::vector<std::string> attempts;
    for (const BackendHttpPostRequest& request : requests) {
        if (PostedTo(request, "/v1/plugin/settlements") && RequestId(request) == request_id) {
            attempts.push_back(FindRequestHeader(request, "X-IronPost-Attempt"));
        }
    }
    return attempts;
}

class RecordingCvarRegistry final : public CvarRegistry {
  public:
    void RegisterCvar(const CvarDefinition& definition) override {
        definitions.push_back(definition);
    }
    std::vector<CvarDefinition> definitions;
};

// A fresh temporary directory, removed with its contents.
class TempDir {
  public:
    TempDir() {
        path_ = (std::filesystem::temp_directory_path() / "ironpost-session-XXXXXX").string();
        EXPECT_NE(::mkdtemp(path_.data()), nullptr);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::string Path(const std::string& name) const { return path_ + "/" + name; }
    std::string Write(const std::string& name, const std::string& content) const {
        std::ofstream(Path(name), std::ios::binary) << content;
        return Path(name);
    }

  private:
    std::string path_;
};

// Replies in the backend's own shape.
inline std::string SettlementReplyBody(const std::string& request_id, const std::string& status,
                                       const std::string& relay_errors = "") {
    return "{\"accepted\":true,\"statusCode\":200,\"requestId\":\"" + request_id +
           "\",\"status\":\"" + status + "\",\"relay\":{\"extrinsicStatus\":\"" + status +
           "\",\"extrinsicHash\":\"0xabc\",\"errors\":[" + relay_errors + "]},\"errors\":[]}";
}

inline std::string RejectedReplyBody(std::int32_t status, const std::string& error,
                                     const std::string& request_id = "") {
    return "{\"accepted\":false,\"statusCode\":" + std::to_string(status) +
           (request_id.empty() ? "" : ",\"requestId\":\"" + request_id + "\"") + ",\"errors\":[\"" +
           error + "\"]}";
}

inline MetamodRoundEndContext RoundContext(const std::string& request_id) {
    return MetamodRoundEndContext{
        request_id, "2024-01-01T00:00:00Z", "srv-1", "session-7", "map-hash", "prev-hash",
        "roster",   "config-hash"};
}

inline HeaderList Headers(const BackendHttpPostRequest& request) {
    HeaderList headers;
    for (const PluginHttpHeader& header : request.headers) {
        headers.emplace_back(header.name, header.value);
    }
    return headers;
}

// A member of a flat JSON object; strings decoded.
inline std::string JsonText(const std::string& json, const std::string& member) {
    const std::optional<std::string> value = ExtractObjectFieldValue(json, member);
    return value ? ParseJsonStringToken(*value).value_or(*value) : "<absent>";
}

inline std::string EnvelopePayload(const std::string& envelope) {
    return ExtractObjectFieldValue(envelope, "payload").value_or("<absent>");
}

// Checks an envelope as the backend does: protocol, nonce for `label`,
// payload hash and HMAC signature.
inline void ExpectSignedEnvelope(const std::string& envelope, const std::string& label) {
    SCOPED_TRACE(envelope);
    EXPECT_EQ(JsonText(envelope, "protocol"), "ironpost-plugin-envelope-v2");
    const PluginEnvelopeV2Request request{
        JsonText(envelope, "serverId"), JsonText(envelope, "requestId"),
        std::stoull(JsonText(envelope, "timestampMs")), JsonText(envelope, "nonce"), ""};
    EXPECT_EQ(request.nonce,
              BuildDeterministicPluginNonce(request.request_id, request.timestamp_ms, label));
    const std::string hash = "sha256:" + Sha256Hex(EnvelopePayload(envelope));
    EXPECT_EQ(JsonText(envelope, "payloadHash"), hash);
    EXPECT_EQ(JsonText(envelope, "signature"),
              "hmac-sha256:" +
                  HmacSha256Hex(kServerKey, BuildPluginEnvelopeSigningPayload(request, hash)));
}

// A session loaded from a configuration naming the key file, `backend_url_`
// and server id "srv-1", plus `extra_config` lines. Every Load starts with an
// empty settlement journal, as a new server would.
template <class Client>
class SessionFixture : public ::testing::Test {
  protected:
    MetamodPluginSessionLoadResult Load(const std::string& extra_config = "",
                                        const std::string& key = std::string(kServerKey) + "\n") {
        std::error_code ignored;
        std::filesystem::remove_all(dir_.Path("outbox"), ignored);
        dir_.Write("server.key", key);
        return session_.LoadFromConfigFile(
            dir_.Write("ironpost.cfg", "ironpost_server_key_file \"" + dir_.Path("server.key") +
                                           "\"\nironpost_backend_url \"" + backend_url_ +
                                           "\"\nironpost_server_id srv-1\n" + extra_config),
            cvars_);
    }
    void LoadOrFail(const std::string& extra_config = "") {
        const MetamodPluginSessionLoadResult result = Load(extra_config);
        ASSERT_TRUE(result.loaded) << ::testing::PrintToString(result.errors);
    }
    std::string BearerConfig(const std::string& token) const {
        return "ironpost_backend_auth_mode bearer_token_file\nironpost_backend_auth_token_file \"" +
               dir_.Write("backend.token", token) + "\"\n";
    }

    // Two humans on opposite teams and a bot; the round running, with a
    // reward of 100 queued for slot 1.
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
    std::string backend_url_ = "http://127.0.0.1:9";
    Client client_;
    RecordingCvarRegistry cvars_;
    MetamodPluginSession session_{client_};
};
using SessionTest = SessionFixture<ScriptedHttpClient>;

}  // namespace ironpost::session_test
