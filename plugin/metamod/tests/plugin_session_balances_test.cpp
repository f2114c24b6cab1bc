#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include "ironpost_plugin_session.h"
#include "scripted_http_client.h"

namespace ironpost::session_test {
namespace {

class BalanceRefresh : public SessionTest {
  protected:
    void SeatPlayers() {
        ASSERT_TRUE(session_.OnClientAuthorized(1, "alice", "STEAM_0:1:1001", false));
        ASSERT_TRUE(session_.OnClientAuthorized(3, "bot", "", true));
        ASSERT_TRUE(session_.OnClientAuthorized(2, "bob", "STEAM_0:0:2002", false));
    }
};

TEST_F(BalanceRefresh, NeedsALoadedSessionAndAnAuthenticatedHuman) {
    const PlayerBalanceRefreshResult unloaded = session_.RefreshPlayerBalances(10);
    EXPECT_TRUE(unloaded.attempted);
    EXPECT_FALSE(unloaded.accepted);
    EXPECT_EQ(unloaded.reason, "plugin_session_not_loaded");
    EXPECT_EQ(unloaded.errors, Lines{"plugin session is not loaded"});
    const PlayerBalanceRefreshResult stale_unloaded = session_.RefreshPlayerBalancesIfStale(1, 10);
    EXPECT_FALSE(stale_unloaded.attempted);
    EXPECT_EQ(stale_unloaded.reason, "plugin_session_not_loaded");
    EXPECT_TRUE(stale_unloaded.errors.empty());

    LoadOrFail();
    EXPECT_EQ(session_.RefreshPlayerBalances(10).reason, "no_authenticated_players");
    ASSERT_TRUE(session_.OnClientAuthorized(3, "bot", "", true));
    ASSERT_TRUE(session_.OnClientAuthorized(4, "bot2", "STEAM_0:1:77", true));
    const PlayerBalanceRefreshResult bots_only = session_.RefreshPlayerBalances(10);
    EXPECT_TRUE(bots_only.attempted);
    EXPECT_FALSE(bots_only.accepted);
    EXPECT_EQ(bots_only.reason, "no_authenticated_players");
    EXPECT_TRUE(bots_only.errors.empty());
    EXPECT_TRUE(client_.requests.empty());
}

TEST_F(BalanceRefresh, AsksForEveryHumanInOneSignedRequest) {
    LoadOrFail("ironpost_backend_auth_mode bearer_token_file\nironpost_backend_auth_token_file \"" +
               dir_.Write("backend.token", "tok") +
               "\"\nironpost_backend_retry_max_attempts 3\n"
               "ironpost_backend_request_id_header X-Req\n");
    SeatPlayers();
    client_.Reply(200, "{\"accepted\":true,\"players\":[]}");
    const PlayerBalanceRefreshResult result = session_.RefreshPlayerBalances(5000);
    EXPECT_TRUE(result.accepted);
    EXPECT_EQ(result.reason, "player_balances_refreshed");
    ASSERT_EQ(client_.requests.size(), 1u);
    const BackendHttpPostRequest& post = client_.requests[0];
    const std::string request_id =
        "player-balances-srv-1-" + ExtractObjectFieldValue(post.body, "timestampMs").value_or("?");
    EXPECT_EQ(post.url, "http://127.0.0.1:9/v1/plugin/player-balances");
    EXPECT_EQ(post.content_type, "application/json");
    EXPECT_EQ(Headers(post),
              (HeaderList{{"X-IronPost-Server-Id", "srv-1"}, {"X-Req", request_id}}));
    EXPECT_EQ(JsonText(post.body, "requestId"), request_id);
    EXPECT_EQ(EnvelopePayload(post.body),
              "{\"nowMs\":5000,\"players\":[{\"slot\":1,\"steamId\":\"STEAM_0:1:1001\"},"
              "{\"slot\":2,\"steamId\":\"STEAM_0:0:2002\"}],\"serverId\":\"srv-1\"}");
    ExpectSignedEnvelope(post.body, "player-balances");
}

TEST_F(BalanceRefresh, EveryFailureIsWrittenIntoTheHumansProfiles) {
    struct Case {
        const char* name;
        BackendHttpResponse reply;
        const char* reason;
        const char* error;
    };
    const Case cases[] = {
        {"queue full",
         {503, "", "backend_worker_queue_full"},
         "player_balance_refresh_failed",
         "player balance refresh failed: status=503 error=backend_worker_queue_full"},
        {"server error",
         {500, "{\"players\":[{\"slot\":1}]}", ""},
         "player_balance_refresh_failed",
         "player balance refresh failed: status=500"},
        {"transport error",
         {0, "", "connect failed: Connection refused"},
         "player_balance_refresh_failed",
         "player balance refresh failed: status=0 error=connect failed: Connection refused"},
        {"reply too large",
         {200, std::string(kMaxPlayerBalanceReplyBytes + 1, ' '), ""},
         "player_balance_refresh_failed",
         "player balance refresh failed: status=200 error=player balance reply is too large"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoadOrFail();
        SeatPlayers();
        client_.replies.push_back(c.reply);
        const PlayerBalanceRefreshResult result = session_.RefreshPlayerBalances(100);
        EXPECT_TRUE(result.attempted);
        EXPECT_FALSE(result.accepted);
        EXPECT_EQ(result.reason, c.reason);
        EXPECT_EQ(result.errors, Lines{c.error});
        EXPECT_TRUE(result.profiles.empty());
        const std::vector<PlayerChainProfile> profiles = session_.Runtime().PlayerChainProfiles();
        ASSERT_EQ(profiles.size(), 2u);
        for (const PlayerChainProfile& profile : profiles) {
            EXPECT_NE(profile.slot, 3);
            EXPECT_FALSE(profile.refresh_ok);
            EXPECT_EQ(profile.refresh_status, c.reason);
        }
    }
}

TEST_F(BalanceRefresh, AnEnvelopeThatCannotBeSignedSendsNothing) {
    LoadOrFail("ironpost_server_id \"\"\n");
    SeatPlayers();
    const PlayerBalanceRefreshResult result = session_.RefreshPlayerBalances(100);
    EXPECT_EQ(result.reason, "player_balance_signature_failed");
    EXPECT_EQ(result.errors, Lines{"player balance signature failed"});
    EXPECT_TRUE(client_.requests.empty());
    EXPECT_EQ(session_.Runtime().PlayerChainProfileForSlot(2)->refresh_status,
              "player_balance_signature_failed");
}

TEST_F(BalanceRefresh, StoresTheProfilesOfTheReplyWithDefaultsForMissingMembers) {
    LoadOrFail();
    SeatPlayers();
    client_.Reply(
        200,
        "{\"accepted\":true,\"statusCode\":200,\"players\":["
        "{\"slot\":1,\"steamHash\":\"h1\",\"linked\":true,\"account\":\"5Alice\","
        "\"pendingZoltAtomic\":\"150\",\"pendingZolt\":\"150\",\"walletBalanceAtomic\":\"2500\","
        "\"walletBalanceZolt\":\"2500\",\"sourceBlock\":42},"
        "{\"slot\":0,\"steamHash\":\"ignored\"},"
        "{\"slot\":2,\"steamHash\":\"h2\",\"linked\":false,\"account\":\"\",\"pendingZoltAtomic\":"
        "\"7\"},"
        "{\"slot\":9,\"linked\":true}],\"requestId\":\"x\"}");
    const PlayerBalanceRefreshResult result = session_.RefreshPlayerBalances(8000);
    ASSERT_TRUE(result.accepted);
    ASSERT_EQ(result.profiles.size(), 3u);

    const PlayerChainProfile& alice = result.profiles[0];
    EXPECT_EQ(alice.slot, 1);
    EXPECT_EQ(alice.steam_hash, "h1");
    EXPECT_TRUE(alice.linked);
    EXPECT_EQ(alice.account, "5Alice");
    EXPECT_EQ(alice.pending_zolt_atomic, "150");
    EXPECT_EQ(alice.wallet_balance_zolt, "2500");
    EXPECT_EQ(alice.source_block, 42u);
    EXPECT_EQ(alice.fetched_at_ms, 8000u);
    EXPECT_TRUE(alice.refresh_ok);
    EXPECT_EQ(alice.refresh_status, "ok");

    const PlayerChainProfile& bob = result.profiles[1];
    EXPECT_FALSE(bob.linked);
    EXPECT_EQ(bob.pending_zolt_atomic, "7");
    EXPECT_EQ(bob.pending_zolt, "0");
    EXPECT_EQ(bob.wallet_balance_atomic, "");
    EXPECT_EQ(bob.source_block, 0u);

    // A slot the reply names is stored even when nobody sits there.
    EXPECT_EQ(result.profiles[2].slot, 9);
    ASSERT_TRUE(session_.Runtime().PlayerChainProfileForSlot(9).has_value());
    EXPECT_EQ(session_.Runtime().PlayerChainProfileForSlot(2)->steam_hash, "h2");
    EXPECT_EQ(session_.Runtime().PlayerChainProfiles().size(), 3u);
}

TEST_F(BalanceRefresh, TheWorkerPlaceholderCountsAsSuccessWithoutProfiles) {
    LoadOrFail();
    SeatPlayers();
    client_.Reply(202, kWorkerQueuedBody);
    const PlayerBalanceRefreshResult result = session_.RefreshPlayerBalances(100);
    EXPECT_TRUE(result.accepted);
    EXPECT_EQ(result.reason, "player_balances_refreshed");
    EXPECT_TRUE(result.profiles.empty());
}

TEST_F(BalanceRefresh, TheStaleVariantRefreshesOnlyAnOldProfile) {
    LoadOrFail();
    SeatPlayers();
    client_.Reply(200, "{\"players\":[{\"slot\":1,\"pendingZolt\":\"5\"}]}");
    ASSERT_TRUE(session_.RefreshPlayerBalancesIfStale(1, 1000).accepted);  // never fetched
    EXPECT_EQ(client_.requests.size(), 1u);

    const PlayerBalanceRefreshResult fresh = session_.RefreshPlayerBalancesIfStale(1, 3999);
    EXPECT_FALSE(fresh.attempted);
    EXPECT_TRUE(fresh.accepted);
    EXPECT_EQ(fresh.reason, "player_balance_cache_fresh");
    EXPECT_EQ(client_.requests.size(), 1u);

    client_.Reply(200, "{\"players\":[]}");
    const PlayerBalanceRefreshResult stale = session_.RefreshPlayerBalancesIfStale(1, 4000);
    EXPECT_TRUE(stale.attempted);
    EXPECT_EQ(stale.reason, "player_balances_refreshed");
    EXPECT_EQ(client_.requests.size(), 2u);
}

// ---------------------------------------------------------------------------
// The reply reader takes bytes from the network: nothing it is given may make
// it read out of bounds, misplace a value or store an unbounded list.

std::vector<std::int32_t> Slots(const std::string& body) {
    std::vector<std::int32_t> slots;
    for (const PlayerChainProfile& profile : ParsePlayerBalanceProfiles(body, 1)) {
        slots.push_back(profile.slot);
    }
    return slots;
}

TEST(BalanceReplyReader, FindsTheListAndTheSlotsOnlyWhereTheyReallyAre) {
    using Slots_ = std::vector<std::int32_t>;
    struct Case {
        const char* name;
        std::string body;
        Slots_ slots;
    };
    const Case cases[] = {
        {"plain", "{\"players\":[{\"slot\":1},{\"slot\":2}]}", {1, 2}},
        {"white space", "{ \"players\" : [ { \"slot\" : 3 } , { \"slot\":4 } ] }", {3, 4}},
        {"braces inside strings",
         "{\"players\":[{\"account\":\"a}]b{\",\"slot\":1},{\"slot\":2}]}",
         {1, 2}},
        {"member name inside a string",
         "{\"players\":[{\"account\":\"x\\\",\\\"slot\\\":9\",\"slot\":3}]}",
         {3}},
        {"member of a nested object",
         "{\"players\":[{\"meta\":{\"slot\":8},\"slot\":4},{\"meta\":{\"slot\":8}}]}",
         {4}},
        {"list echoed inside a string",
         "{\"echo\":\"\\\"players\\\":[{\\\"slot\\\":1}]\",\"players\":[]}",
         {}},
        {"list of a nested object", "{\"data\":{\"players\":[{\"slot\":1}]}}", {}},
        {"not an array", "{\"players\":{\"slot\":1}}", {}},
        {"other elements skipped",
         "{\"players\":[1,\"{\\\"slot\\\":2}\",{\"slot\":5},[{\"slot\":6}],null]}",
         {5}},
        {"unterminated reply", "{\"players\":[{\"slot\":1},{\"slot\":2", {}},
        {"stray closer ends the list", "{\"players\":[{\"slot\":1}}],\"x\":[{\"slot\":2}]}", {1}},
        {"slot 0, negative, text or missing",
         "{\"players\":[{\"slot\":0},{\"slot\":-3},{\"slot\":\"4\"},{}]}",
         {}},
        {"slot digits before a fraction", "{\"players\":[{\"slot\":7.9}]}", {7}},
        {"largest slot", "{\"players\":[{\"slot\":2147483647}]}", {2147483647}},
        {"slot past 31 bits is not wrapped",
         "{\"players\":[{\"slot\":2147483648},{\"slot\":4294967297}]}",
         {}},
        {"slot with a thousand digits",
         "{\"players\":[{\"slot\":" + std::string(1000, '9') + "}]}",
         {}},
        {"not JSON", "players:[{slot:1}]", {}},
        {"empty", "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Slots(c.body), c.slots);
    }
}

TEST(BalanceReplyReader, ReadsMembersStrictlyAndLeavesEscapesAsWritten) {
    const std::vector<PlayerChainProfile> profiles = ParsePlayerBalanceProfiles(
        "{\"players\":["
        "{\"slot\":1,\"linked\": true "
        ",\"account\":\"a\\\"b\\\\c\",\"sourceBlock\":18446744073709551615},"
        "{\"slot\":2,\"linked\":\"true\",\"pendingZolt\":12,\"sourceBlock\":18446744073709551616},"
        "{\"slot\":3,\"linked\":truex}]}",
        77);
    ASSERT_EQ(profiles.size(), 3u);
    EXPECT_TRUE(profiles[0].linked);
    EXPECT_EQ(profiles[0].account, "a\\\"b\\\\c");
    EXPECT_EQ(profiles[0].source_block, 18446744073709551615u);
    EXPECT_FALSE(profiles[1].linked);
    EXPECT_EQ(profiles[1].pending_zolt, "0");  // a number is not a string member
    EXPECT_EQ(profiles[1].source_block, 0u);
    EXPECT_EQ(profiles[1].fetched_at_ms, 77u);
    EXPECT_FALSE(profiles[2].linked);

    // A string that never ends leaves the list unreadable rather than
    // swallowing whatever follows it.
    EXPECT_TRUE(
        ParsePlayerBalanceProfiles("{\"players\":[{\"slot\":1,\"account\":\"open}]}", 1).empty());
}

TEST(BalanceReplyReader, HugeAndDeeplyNestedRepliesAreBounded) {
    std::string many = "{\"players\":[";
    for (int slot = 1; slot <= 500; ++slot) {
        many += (slot > 1 ? ",{\"slot\":" : "{\"slot\":") + std::to_string(slot) + "}";
    }
    many += "]}";
    const std::vector<std::int32_t> slots = Slots(many);
    ASSERT_EQ(slots.size(), kMaxPlayerBalanceReplyProfiles);
    EXPECT_EQ(slots.back(), static_cast<std::int32_t>(kMaxPlayerBalanceReplyProfiles));

    EXPECT_TRUE(Slots("{\"players\":" + std::string(200000, '[') + "{\"slot\":1}" +
                      std::string(200000, ']') + "}")
                    .empty());
    EXPECT_EQ(Slots("{\"players\":[" + std::string(200000, '{') + "\"slot\":1" +
                    std::string(200000, '}') + "]}"),
              std::vector<std::int32_t>{});
    std::string oversized = "{\"players\":[{\"slot\":1}],\"pad\":\"";
    oversized += std::string(kMaxPlayerBalanceReplyBytes, 'x') + "\"}";
    EXPECT_TRUE(Slots(oversized).empty());
}

TEST(BalanceReplyReader, ArbitraryBytesNeverMisbehave) {
    // Pieces of replies glued together at random (a fixed seed, so a failure
    // repeats); the sanitizers catch any read out of bounds.
    const char* const pieces[] = {"{",
                                  "}",
                                  "[",
                                  "]",
                                  "\"",
                                  "\\",
                                  ":",
                                  ",",
                                  "\"players\"",
                                  "\"slot\"",
                                  "\"linked\"",
                                  "true",
                                  "12",
                                  "-",
                                  " ",
                                  "\"account\"",
                                  "\"sourceBlock\"",
                                  "99999999999999999999",
                                  "\x01",
                                  "\xff"};
    std::uint32_t state = 12345;
    for (int round = 0; round < 3000; ++round) {
        std::string body = "{\"players\":[";
        const int length = static_cast<int>(state % 40);
        for (int i = 0; i < length; ++i) {
            state = state * 1103515245u + 12345u;
            body += pieces[(state >> 16) % std::size(pieces)];
        }
        for (const PlayerChainProfile& profile : ParsePlayerBalanceProfiles(body, 1)) {
            EXPECT_GE(profile.slot, 1);
        }
        (void)ParsePlayerBalanceProfiles(body.substr(0, body.size() / 2), 1);
    }
}

}  // namespace
}  // namespace ironpost::session_test
