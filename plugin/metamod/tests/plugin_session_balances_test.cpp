#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "ironpost_plugin_session.h"
#include "scripted_http_client.h"

namespace ironpost::session_test {
namespace {

class BalanceRefresh : public SessionTest {
  protected:
    void SeatPlayers() {
        ASSERT_TRUE(session_.OnClientAuthorized(1, "alice", "STEAM_0:1:1001", false));
        ASSERT_TRUE(session_.OnClientAuthorized(3, "bot", "STEAM_0:1:77", true));
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
    ASSERT_TRUE(session_.OnClientAuthorized(3, "bot", "STEAM_0:1:77", true));
    const PlayerBalanceRefreshResult nobody = session_.RefreshPlayerBalances(10);
    EXPECT_TRUE(nobody.attempted);
    EXPECT_FALSE(nobody.accepted);
    EXPECT_EQ(nobody.reason, "no_authenticated_players");
    EXPECT_TRUE(nobody.errors.empty());
    EXPECT_TRUE(client_.requests.empty());
}

TEST_F(BalanceRefresh, AsksForEveryHumanInOneSignedRequest) {
    LoadOrFail(BearerConfig("tok") +
               "ironpost_backend_retry_max_attempts 3\nironpost_backend_request_id_header X-Req\n");
    SeatPlayers();
    ASSERT_TRUE(session_.OnClientAuthorized(4, "quoted", "STEAM_0:1\"x\\", false));
    client_.Reply(202, kWorkerQueuedBody);  // the worker's placeholder counts as success
    const PlayerBalanceRefreshResult result = session_.RefreshPlayerBalances(5000);
    EXPECT_TRUE(result.accepted);
    EXPECT_EQ(result.reason, "player_balances_refreshed");
    EXPECT_TRUE(result.profiles.empty());
    ASSERT_EQ(client_.requests.size(), 1u);
    const BackendHttpPostRequest& post = client_.requests[0];
    const std::string request_id = "player-balances-srv-1-" + JsonText(post.body, "timestampMs");
    EXPECT_EQ(post.url, "http://127.0.0.1:9/v1/plugin/player-balances");
    EXPECT_EQ(post.content_type, "application/json");
    EXPECT_EQ(Headers(post),
              (HeaderList{{"X-IronPost-Server-Id", "srv-1"}, {"X-Req", request_id}}));
    EXPECT_EQ(JsonText(post.body, "requestId"), request_id);
    EXPECT_EQ(EnvelopePayload(post.body),
              "{\"nowMs\":5000,\"players\":[{\"slot\":1,\"steamId\":\"STEAM_0:1:1001\"},"
              "{\"slot\":2,\"steamId\":\"STEAM_0:0:2002\"},{\"slot\":4,\"steamId\":"
              "\"STEAM_0:1\\\"x\\\\\"}],\"serverId\":\"srv-1\"}");
    ExpectSignedEnvelope(post.body, "player-balances");
}

TEST_F(BalanceRefresh, EveryFailureIsWrittenIntoTheHumansProfiles) {
    const std::string failed = "player balance refresh failed: status=";
    const std::string refresh = "player_balance_refresh_failed";
    const std::string big(kMaxPlayerBalanceReplyBytes + 1, ' ');
    // Config, reply, reason, error line.
    const std::tuple<std::string, BackendHttpResponse, std::string, std::string> cases[] = {
        {"",
         {503, "", "backend_worker_queue_full"},
         refresh,
         failed + "503 error=backend_worker_queue_full"},
        {"", {500, "{\"players\":[{\"slot\":1}]}", ""}, refresh, failed + "500"},
        {"", {0, "", "connect failed"}, refresh, failed + "0 error=connect failed"},
        {"", {200, big, ""}, refresh, failed + "200 error=player balance reply is too large"},
        {"ironpost_server_id \"\"\n",
         {},
         "player_balance_signature_failed",
         "player balance signature failed"},
    };
    for (const auto& [config, reply, reason, error] : cases) {
        SCOPED_TRACE(error);
        LoadOrFail(config);
        SeatPlayers();
        client_.requests.clear();
        client_.replies.push_back(reply);
        const PlayerBalanceRefreshResult result = session_.RefreshPlayerBalances(100);
        EXPECT_TRUE(result.attempted);
        EXPECT_FALSE(result.accepted);
        EXPECT_EQ(result.reason, reason);
        EXPECT_EQ(result.errors, Lines{error});
        EXPECT_TRUE(result.profiles.empty());
        EXPECT_EQ(client_.requests.size(), config.empty() ? 1u : 0u);
        std::vector<std::int32_t> marked;
        for (const PlayerChainProfile& profile : session_.Runtime().PlayerChainProfiles()) {
            marked.push_back(profile.slot);
            EXPECT_FALSE(profile.refresh_ok);
            EXPECT_EQ(profile.refresh_status, reason);
        }
        EXPECT_EQ(marked, (std::vector<std::int32_t>{1, 2}));
    }
}

TEST_F(BalanceRefresh, StoresTheProfilesOfTheReplyWithDefaultsForMissingMembers) {
    LoadOrFail();
    SeatPlayers();
    client_.Reply(200,
                  "{\"accepted\":true,\"players\":[{\"slot\":1,\"steamHash\":\"h1\",\"linked\":"
                  "true,\"account\":\"5Alice\",\"pendingZoltAtomic\":\"150\",\"pendingZolt\":"
                  "\"1.50\",\"walletBalanceAtomic\":\"2500\",\"walletBalanceZolt\":\"25.00\","
                  "\"sourceBlock\":42},{\"slot\":0,\"steamHash\":\"ignored\"},{\"slot\":2,"
                  "\"linked\":false,\"pendingZoltAtomic\":\"7\"},{\"slot\":9}]}");
    const PlayerBalanceRefreshResult result = session_.RefreshPlayerBalances(8000);
    ASSERT_TRUE(result.accepted);
    ASSERT_EQ(result.profiles.size(), 2u);
    const PlayerChainProfile& alice = result.profiles[0];
    EXPECT_EQ(std::make_tuple(alice.slot, alice.steam_hash, alice.linked, alice.account,
                              alice.pending_zolt_atomic, alice.pending_zolt,
                              alice.wallet_balance_atomic, alice.wallet_balance_zolt),
              std::make_tuple(1, std::string("h1"), true, std::string("5Alice"), std::string("150"),
                              std::string("1.50"), std::string("2500"), std::string("25.00")));
    EXPECT_EQ(alice.source_block, 42u);
    EXPECT_EQ(alice.fetched_at_ms, 8000u);
    EXPECT_TRUE(alice.refresh_ok);
    EXPECT_EQ(alice.refresh_status, "ok");
    const PlayerChainProfile& bob = result.profiles[1];
    EXPECT_FALSE(bob.linked);
    EXPECT_EQ(bob.pending_zolt_atomic, "7");
    EXPECT_EQ(bob.pending_zolt, "0");
    EXPECT_EQ(bob.steam_hash + bob.wallet_balance_atomic + bob.wallet_balance_zolt, "");
    EXPECT_EQ(bob.source_block, 0u);
    // Slot 9 was not asked about.
    EXPECT_EQ(session_.Runtime().PlayerChainProfiles().size(), 2u);
}

TEST_F(BalanceRefresh, APlayerRefreshesOnlyAnOldProfileAndNotTooOften) {
    LoadOrFail();
    SeatPlayers();
    client_.Reply(200, "{\"players\":[{\"slot\":1},{\"slot\":2}]}", 3);
    const std::tuple<std::int32_t, std::uint64_t, const char*, std::size_t> steps[] = {
        {1, 1000, "player_balances_refreshed", 1},         // never fetched
        {1, 3999, "player_balance_cache_fresh", 1},        // fetched 2999 ms ago
        {1, 4000, "player_balance_refresh_throttled", 1},  // stale, but asked 3 s ago
        {2, 4000, "player_balances_refreshed", 2},         // another player's own asking
        {1, 9000, "player_balances_refreshed", 3},
    };
    for (const auto& [slot, now_ms, reason, posts] : steps) {
        SCOPED_TRACE(now_ms);
        const PlayerBalanceRefreshResult result =
            session_.RefreshPlayerBalancesIfStale(slot, now_ms);
        EXPECT_EQ(result.reason, reason);
        EXPECT_EQ(result.accepted, std::string(reason) != "player_balance_refresh_throttled");
        EXPECT_EQ(client_.requests.size(), posts);
    }
}

// Worker mode: one request in flight per server, and its late answer lands
// only on the players it asked about that still hold their slots.
TEST_F(BalanceRefresh, ALateAnswerLandsOnlyOnThePlayersItAskedAbout) {
    LoadOrFail();
    SeatPlayers();
    client_.deferred = true;
    ASSERT_TRUE(session_.RefreshPlayerBalances(1000).accepted);
    const PlayerBalanceRefreshResult busy = session_.RefreshPlayerBalances(1500);
    EXPECT_FALSE(busy.attempted || busy.accepted);
    EXPECT_EQ(busy.reason, "player_balance_refresh_in_flight");
    EXPECT_EQ(client_.requests.size(), 1u);

    ASSERT_TRUE(session_.OnClientDisconnect(2));
    ASSERT_TRUE(session_.OnClientAuthorized(2, "carol", "STEAM_0:1:3003", false));
    client_.Reply(200,
                  "{\"players\":[{\"slot\":1,\"account\":\"a\"},{\"slot\":2,\"account\":"
                  "\"bob's\"},{\"slot\":5}]}");
    const std::vector<ScriptedHttpClient::Completion> drained = client_.Drain();
    ASSERT_EQ(drained.size(), 1u);
    const auto& [request, answer] = drained[0];
    const PlayerBalanceRefreshResult applied =
        session_.ApplyPlayerBalanceCompletion(request, answer, 2000);
    EXPECT_TRUE(applied.accepted);
    ASSERT_EQ(applied.profiles.size(), 1u);
    EXPECT_EQ(session_.Runtime().PlayerChainProfiles().size(), 1u);
    EXPECT_EQ(
        session_.Runtime().PlayerChainProfileForSlot(1).value_or(PlayerChainProfile()).account,
        "a");

    EXPECT_EQ(session_.ApplyPlayerBalanceCompletion(request, answer, 2100).reason,
              "player_balance_answer_not_awaited");
    EXPECT_EQ(session_.TakeSessionLogLines(), Lines{"player balance answer " + RequestId(request) +
                                                    " dropped: no balance request awaits it"});

    // An answer that never comes stops blocking once no exchange can last.
    const std::uint64_t limit = kHttpExchangeTimeoutFactor * 1500 + kLateAnswerGraceMs;
    ASSERT_TRUE(session_.RefreshPlayerBalances(3000).accepted);
    EXPECT_EQ(session_.RefreshPlayerBalances(3000 + limit - 1).reason,
              "player_balance_refresh_in_flight");
    EXPECT_TRUE(session_.RefreshPlayerBalances(3000 + limit).attempted);
}

// The reply reader takes bytes from the network: nothing may make it read out
// of bounds, misplace a value or store an unbounded list.
std::vector<std::int32_t> Slots(const std::string& body) {
    std::vector<std::int32_t> slots;
    for (const PlayerChainProfile& profile : ParsePlayerBalanceProfiles(body, 1)) {
        slots.push_back(profile.slot);
    }
    return slots;
}

TEST(BalanceReplyReader, FindsTheListAndTheSlotsOnlyWhereTheyReallyAre) {
    const auto deep = [](char c) { return std::string(200000, c); };
    const auto padded = [](std::size_t size) {
        const std::string head = "{\"players\":[{\"slot\":1}],\"pad\":\"";
        return head + std::string(size - head.size() - 2, 'x') + "\"}";
    };
    const std::pair<std::string, std::vector<std::int32_t>> cases[] = {
        {"{ \"players\" : [ { \"slot\" : 3 } , { \"slot\":4 } ] }", {3, 4}},
        {"{\"players\":[{\"account\":\"a}]b{\",\"slot\":1},{\"slot\":2}]}", {1, 2}},
        {"{\"players\":[{\"account\":\"x\\\",\\\"slot\\\":9\",\"slot\":3}]}", {3}},
        {"{\"players\":[{\"meta\":{\"slot\":8},\"slot\":4},{\"meta\":{\"slot\":8}}]}", {4}},
        {"{\"echo\":\"\\\"players\\\":[{\\\"slot\\\":1}]\",\"players\":[]}", {}},
        {"{\"data\":{\"players\":[{\"slot\":1}]}}", {}},
        {"{\"players\":{\"slot\":1}}", {}},
        {"{\"players\":[1,\"{\\\"slot\\\":2}\",{\"slot\":5},[{\"slot\":6}],null]}", {5}},
        {"{\"players\":[{\"slot\":1},{\"slot\":2", {}},
        {"{\"players\":[{\"slot\":1,\"account\":\"open}]}", {}},
        {"{\"players\":[{\"slot\":1}}],\"x\":[{\"slot\":2}]}", {1}},
        {"{\"players\":[{\"slot\":0},{\"slot\":-3},{\"slot\":\"4\"},{}]}", {}},
        {"{\"players\":[{\"slot\":7.9},{\"slot\":2147483647}]}", {7, 2147483647}},
        {"{\"players\":[{\"slot\":2147483648},{\"slot\":4294967297}]}", {}},
        {"{\"players\":[{\"slot\":" + std::string(1000, '9') + "}]}", {}},
        {"{\"players\":" + deep('[') + "{\"slot\":1}" + deep(']') + "}", {}},
        {"{\"players\":[" + deep('{') + "\"slot\":1" + deep('}') + "]}", {}},
        {padded(kMaxPlayerBalanceReplyBytes), {1}},
        {padded(kMaxPlayerBalanceReplyBytes + 1), {}},
        {"players:[{slot:1}]", {}},
    };
    for (const auto& [body, slots] : cases) {
        EXPECT_EQ(Slots(body), slots) << body.substr(0, 80);
    }
    std::string many = "{\"players\":[{\"slot\":1}";
    for (int slot = 2; slot <= 500; ++slot) {
        many += ",{\"slot\":" + std::to_string(slot) + "}";
    }
    const std::vector<std::int32_t> slots = Slots(many + "]}");
    ASSERT_EQ(slots.size(), kMaxPlayerBalanceReplyProfiles);
    EXPECT_EQ(slots.back(), static_cast<std::int32_t>(kMaxPlayerBalanceReplyProfiles));
}

TEST(BalanceReplyReader, ReadsMembersStrictlyAndLeavesEscapesAsWritten) {
    const std::vector<PlayerChainProfile> profiles = ParsePlayerBalanceProfiles(
        "{\"players\":[{\"slot\":1,\"linked\": true ,\"account\":\"a\\\"b\\\\c\",\"sourceBlock\":"
        "18446744073709551615},{\"slot\":2,\"linked\":\"true\",\"pendingZolt\":12,\"sourceBlock\":"
        "18446744073709551616},{\"slot\":3,\"linked\":truex}]}",
        77);
    ASSERT_EQ(profiles.size(), 3u);
    EXPECT_TRUE(profiles[0].linked);
    EXPECT_EQ(profiles[0].account, "a\\\"b\\\\c");
    EXPECT_EQ(profiles[0].source_block, 18446744073709551615u);
    EXPECT_FALSE(profiles[1].linked);
    EXPECT_EQ(profiles[1].pending_zolt, "0");  // a number is not a string member
    EXPECT_EQ(profiles[1].source_block, 0u);
    EXPECT_FALSE(profiles[2].linked);
}

TEST(BalanceReplyReader, ArbitraryBytesNeverMisbehave) {
    // Reply fragments glued together by a fixed-seed generator; the
    // sanitizers catch any read out of bounds.
    std::vector<std::string> pieces = {"\x01", "\xff"};
    std::istringstream glue(
        R"({|}|[|]|"|\|:|,|"players"|"slot"|"linked"|true|12|-| |"account"|"sourceBlock"|99999999999999999999)");
    for (std::string piece; std::getline(glue, piece, '|');) {
        pieces.push_back(piece);
    }
    std::uint32_t state = 12345;
    for (int round = 0; round < 3000; ++round) {
        std::string body = "{\"players\":[";
        for (std::uint32_t i = 0, length = state % 40; i < length; ++i) {
            state = state * 1103515245u + 12345u;
            body += pieces[(state >> 16) % pieces.size()];
        }
        for (const PlayerChainProfile& profile : ParsePlayerBalanceProfiles(body, 1)) {
            EXPECT_GE(profile.slot, 1);
        }
        (void)ParsePlayerBalanceProfiles(body.substr(0, body.size() / 2), 1);
    }
}

}  // namespace
}  // namespace ironpost::session_test
