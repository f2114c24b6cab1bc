// The plugin's own protocol code builds settlements and envelopes, and the
// development backend, an independent implementation of the same byte
// formats, must accept them; copies with one changed byte must be refused.

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "dev_backend_process.h"
#include "ironpost_backend_transport.h"
#include "ironpost_crypto.h"
#include "ironpost_plugin_envelope.h"

namespace ironpost {
namespace {

using ironpost::testing::DevBackendAvailable;
using ironpost::testing::DevBackendProcess;
using ironpost::testing::DevBackendScript;

const char kKey[] = "cross-test key \x01\xff with bytes";

RoundSettlementDraft SampleDraft() {
    RoundSettlementDraft draft;
    draft.server_id = "1";
    draft.session_id = "session-\"7\"";
    draft.map_name_hash = "de_dust2#\xc3\xa9";
    draft.round_number = 12;
    draft.previous_round_hash = "prev\\hash";
    draft.roster_root = "roster\troot";
    draft.config_hash = "cfg";
    draft.reward_entries = {{3, "STEAM_0:1:3", 1, 0, 100},
                            {-2, "STEAM_0:0:\x1f\xe9", 0, 25, 18446744073709551615ull},
                            {4, "STEAM_0:1:4", 0, 0, 0}};
    draft.weapon_spend_entries = {{3, "STEAM_0:1:3", "ak47", 2500, 12}};
    TransferDraftEntry transfer;
    transfer.intent_id = 1;
    transfer.from_slot = 3;
    transfer.to_slot = 4;
    transfer.from_steam_id = "STEAM_0:1:3";
    transfer.to_steam_id = "STEAM_0:1:4";
    transfer.amount = 40;
    transfer.target_role = PlayerRole::Spectator;
    transfer.menu_nonce = "menu-1";
    draft.zolt_transfer_entries = {transfer};
    draft.combat_stats_entries = {{"STEAM_0:1:3", 1, 0, 1, 10, 4, 1}};
    draft.rival_stats_entries = {{"STEAM_0:1:3", "BOT", 2, 51, 1}};
    return draft;
}

struct BuiltRequest {
    std::string path;
    std::vector<PluginHttpHeader> headers;
    std::string body;
};

BuiltRequest BuildSettlement(const RoundSettlementDraft& draft, const std::string& key,
                             const std::string& request_id) {
    const DevelopmentFileSettlementSigner signer(key);
    PluginSettlementIntakeRequest intake;
    intake.request_id = request_id;
    intake.received_at = "2026-12-06T12:00:00Z";
    intake.draft = draft.server_signature.empty() ? *SignSettlementDraft(draft, signer) : draft;
    const std::optional<PluginSettlementHttpRequest> request =
        BuildPluginSettlementIntakeHttpRequest(intake);
    EXPECT_TRUE(request);
    PluginEnvelopeV2Request envelope;
    envelope.server_id = request->server_id;
    envelope.request_id = request->request_id;
    envelope.timestamp_ms = CurrentPluginEnvelopeTimestampMs();
    envelope.nonce =
        BuildDeterministicPluginNonce(envelope.request_id, envelope.timestamp_ms, "settlement");
    envelope.payload_json = request->canonical_payload_body;
    const std::optional<std::string> body = BuildPluginEnvelopeV2Body(envelope, signer);
    EXPECT_TRUE(body);
    BuiltRequest built;
    built.path = request->path;
    built.headers = BuildBackendRequestHeaders(BackendTransportOptions(), *request, 1);
    built.body = body.value_or("");
    return built;
}

class DevBackendCrossTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!DevBackendAvailable()) {
            GTEST_SKIP() << "python3 or the development backend is not available";
        }
        // CTest runs the cases of this file in parallel processes.
        const std::string unique = std::to_string(getpid());
        key_file_ = ::testing::TempDir() + "ironpost_cross_test_" + unique + ".key";
        body_file_ = ::testing::TempDir() + "ironpost_cross_test_" + unique + ".body";
        std::ofstream(key_file_, std::ios::binary) << kKey << "\n";
    }
    void TearDown() override {
        std::remove(key_file_.c_str());
        std::remove(body_file_.c_str());
    }

    // Runs the backend's one-shot verifier on the request; true when it
    // accepts. The verdict (reasons and errors) lands in `verdict_`.
    bool Verify(const BuiltRequest& request) {
        std::ofstream(body_file_, std::ios::binary) << request.body;
        std::string command = "python3 '" + DevBackendScript() + "' verify --key-file '" +
                              key_file_ + "' --path '" + request.path + "' --body-file '" +
                              body_file_ + "'";
        for (const PluginHttpHeader& header : request.headers) {
            command += " --header '" + header.name + ": " + header.value + "'";
        }
        FILE* pipe = popen(command.c_str(), "r");
        if (pipe == nullptr) {
            ADD_FAILURE() << "cannot run the verifier";
            return false;
        }
        verdict_.clear();
        char buffer[4096];
        std::size_t got = 0;
        while ((got = fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
            verdict_.append(buffer, got);
        }
        return pclose(pipe) == 0;
    }

    std::string key_file_;
    std::string body_file_;
    std::string verdict_;
};

TEST_F(DevBackendCrossTest, SignedSettlementIsAccepted) {
    EXPECT_TRUE(Verify(BuildSettlement(SampleDraft(), kKey, "settle-1-12"))) << verdict_;
    RoundSettlementDraft empty_round = SampleDraft();
    empty_round.reward_entries.clear();
    empty_round.weapon_spend_entries.clear();
    empty_round.zolt_transfer_entries.clear();
    empty_round.combat_stats_entries.clear();
    empty_round.rival_stats_entries.clear();
    EXPECT_TRUE(Verify(BuildSettlement(empty_round, kKey, "settle-1-13"))) << verdict_;
}

TEST_F(DevBackendCrossTest, OneChangedByteAnywhereIsRefused) {
    const BuiltRequest good = BuildSettlement(SampleDraft(), kKey, "settle-1-12");
    const std::size_t payload = good.body.find("\"payload\":");
    const std::size_t signature = good.body.find("hmac-sha256:");
    const std::size_t nonce = good.body.find("\"nonce\":\"");
    ASSERT_NE(payload, std::string::npos);
    ASSERT_NE(signature, std::string::npos);
    ASSERT_NE(nonce, std::string::npos);

    struct Tamper {
        const char* what;
        std::size_t at;
    };
    const Tamper tampers[] = {
        {"payload", good.body.find("100", payload)},
        {"signature", signature + 12},
        {"nonce", nonce + 9},
    };
    for (const Tamper& tamper : tampers) {
        SCOPED_TRACE(tamper.what);
        ASSERT_NE(tamper.at, std::string::npos);
        BuiltRequest bad = good;
        bad.body[tamper.at] = bad.body[tamper.at] == '1' ? '2' : '1';
        EXPECT_FALSE(Verify(bad)) << verdict_;
    }
    for (std::size_t header = 0; header < good.headers.size(); ++header) {
        SCOPED_TRACE(good.headers[header].name);
        BuiltRequest bad = good;
        bad.headers[header].value += "x";
        EXPECT_FALSE(Verify(bad)) << verdict_;
    }
}

TEST_F(DevBackendCrossTest, DraftSignatureIsCheckedEvenUnderAValidEnvelope) {
    // The draft is changed after signing and the envelope is rebuilt around
    // it with the right key: only the draft's own signature can tell.
    const DevelopmentFileSettlementSigner signer(kKey);
    RoundSettlementDraft draft = *SignSettlementDraft(SampleDraft(), signer);
    draft.reward_entries[0].reward_zolt = 101;
    EXPECT_FALSE(Verify(BuildSettlement(draft, kKey, "settle-1-12"))) << verdict_;
    // And a draft signed with another server's key is refused.
    EXPECT_FALSE(Verify(BuildSettlement(SampleDraft(), "another key", "settle-1-12"))) << verdict_;
}

TEST_F(DevBackendCrossTest, SettlementPostedOverTheWireIsAcceptedOnce) {
    DevBackendProcess backend(key_file_, ":memory:");
    ASSERT_GT(backend.Port(), 0) << "the development backend did not start";
    const BuiltRequest built = BuildSettlement(SampleDraft(), kKey, "settle-1-12");
    BackendHttpPostRequest post;
    post.url = BuildBackendUrl(backend.Url(), built.path);
    post.content_type = "application/json";
    post.headers = built.headers;
    post.body = built.body;

    const PluginSettlementIntakeResponse first =
        ParsePluginSettlementIntakeHttpResponse(SubmitPlainHttpPost(post, 5000));
    EXPECT_TRUE(first.accepted) << (first.errors.empty() ? "" : first.errors[0]);
    EXPECT_EQ(first.status_code, 200);
    EXPECT_EQ(first.request_id, "settle-1-12");
    EXPECT_EQ(first.relay_status, SettlementRelayStatus::Queued);

    // A resend of the same request (a retry) gets the same answer.
    const PluginSettlementIntakeResponse again =
        ParsePluginSettlementIntakeHttpResponse(SubmitPlainHttpPost(post, 5000));
    EXPECT_TRUE(again.accepted);
    EXPECT_EQ(again.received_at, first.received_at);

    post.body[post.body.find("hmac-sha256:") + 12] ^= 1;
    const PluginSettlementIntakeResponse tampered =
        ParsePluginSettlementIntakeHttpResponse(SubmitPlainHttpPost(post, 5000));
    EXPECT_FALSE(tampered.accepted);
    EXPECT_GE(tampered.status_code, 400);
    EXPECT_LT(tampered.status_code, 500);
    EXPECT_FALSE(tampered.errors.empty());
}

}  // namespace
}  // namespace ironpost
