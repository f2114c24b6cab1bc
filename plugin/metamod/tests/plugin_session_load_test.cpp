#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "ironpost_plugin_session.h"
#include "scripted_http_client.h"

namespace ironpost::session_test {
namespace {

// The values and descriptions of every key are the configuration's own
// tests; here the session must publish all of them with what it loaded.
TEST_F(SessionTest, LoadPublishesEveryConsoleVariableWithTheLoadedValues) {
    LoadOrFail(
        "ironpost_reward_kill 250\nironpost_debug on\nironpost_currency_symbol \"\"\n"
        "ironpost_backend_retry_max_attempts 3\n");
    ASSERT_EQ(cvars_.definitions.size(), kConfigKeyCount);
    std::vector<std::string> published;
    for (const CvarDefinition& cvar : cvars_.definitions) {
        published.push_back(cvar.name + "=" + cvar.default_value);
    }
    for (const std::string& loaded :
         Lines{"ironpost_reward_kill=250", "ironpost_debug=1",
               "ironpost_currency_symbol=", "ironpost_backend_retry_max_attempts=3",
               "ironpost_server_id=srv-1", "ironpost_backend_url=http://127.0.0.1:9",
               "ironpost_server_key_file=" + dir_.Path("server.key")}) {
        EXPECT_NE(std::find(published.begin(), published.end(), loaded), published.end()) << loaded;
    }
}

class SessionLoad : public SessionTest {
  protected:
    void ExpectUnloadedWithDefaults() {
        EXPECT_FALSE(session_.IsLoaded());
        EXPECT_FALSE(session_.Runtime().IsLoaded());
        const BackendTransportOptions& options = session_.BackendOptions();
        EXPECT_EQ(options.backend_url, "http://127.0.0.1:8080");
        EXPECT_EQ(options.auth_token, "");
        EXPECT_EQ(options.http_timeout_ms, 1500u);
        EXPECT_EQ(options.retry_policy.max_attempts, 1u);
        EXPECT_EQ(session_.Config().server_id, "1");
        // Refused before anything is built or sent.
        const std::size_t posts = client_.requests.size();
        EXPECT_EQ(session_.OnRoundEnd(RoundContext("r"), 1).errors,
                  Lines{"plugin session is not loaded"});
        EXPECT_EQ(client_.requests.size(), posts);
    }
};

TEST_F(SessionLoad, EachFailureReportsItsMessagesAndLeavesTheSessionUnloaded) {
    const std::string key_path = dir_.Path("server.key");
    const std::string key_missing = "server signing key material is missing: " + key_path;
    struct Case {
        std::string extra_config;
        std::string key;
        Lines errors;
        bool signer_loaded;
        std::size_t cvars;  // published before the failing step
    };
    const Case cases[] = {
        {"ironpost_debug perhaps\n", kServerKey, {"line 4: expected boolean value"}, false, 0},
        {"", "", {key_missing}, false, kConfigKeyCount},
        {"", "\n", {key_missing}, false, kConfigKeyCount},
        {"ironpost_backend_auth_mode bearer_token_file\nironpost_backend_auth_token_file \"" +
             dir_.Path("missing.token") + "\"\n",
         kServerKey,
         {"backend bearer token is required"},
         true,
         kConfigKeyCount},
        {"ironpost_backend_auth_mode \" Basic \"\n",
         kServerKey,
         {"unsupported backend auth mode:  Basic "},
         true,
         kConfigKeyCount},
        {"ironpost_backend_retry_max_attempts 0\nironpost_backend_retry_base_delay_ms 0\n"
         "ironpost_http_timeout_ms 0\n",
         kServerKey,
         {"backend retry max attempts must be at least 1",
          "backend retry base delay must be greater than 0",
          "backend HTTP timeout must be greater than 0"},
         true,
         kConfigKeyCount},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.extra_config + "key=" + c.key);
        cvars_.definitions.clear();
        const MetamodPluginSessionLoadResult result = Load(c.extra_config, c.key);
        EXPECT_FALSE(result.loaded);
        EXPECT_EQ(result.signer_loaded, c.signer_loaded);
        EXPECT_FALSE(result.backend_transport_configured);
        EXPECT_EQ(result.errors, c.errors);
        EXPECT_EQ(cvars_.definitions.size(), c.cvars);
        ExpectUnloadedWithDefaults();
    }

    // Rejected options are reported in the result but not kept.
    const MetamodPluginSessionLoadResult rejected =
        Load("ironpost_backend_url \"  \"\nironpost_backend_retry_max_delay_ms 100\n");
    EXPECT_EQ(rejected.errors,
              (Lines{"backend URL is required",
                     "backend retry max delay must be greater than or equal to base delay"}));
    EXPECT_EQ(rejected.backend_options.backend_url, "  ");
    EXPECT_EQ(rejected.config.backend_retry_max_delay_ms, 100u);
    ExpectUnloadedWithDefaults();

    const std::string absent = dir_.Path("absent.cfg");
    EXPECT_EQ(session_.LoadFromConfigFile(absent, cvars_).errors,
              Lines{"unable to open config file: " + absent});
    ExpectUnloadedWithDefaults();
}

TEST_F(SessionLoad, TheBearerTokenFileIsReadOnlyInBearerModeAndHttpsLoads) {
    const std::string token_file =
        "ironpost_backend_auth_token_file \"" + dir_.Write("backend.token", " tok-1\r\n") + "\"\n";
    LoadOrFail(token_file + "ironpost_backend_url \"https://backend.example\"\n");
    EXPECT_EQ(session_.BackendOptions().auth_token, "");
    EXPECT_EQ(session_.BackendOptions().backend_url, "https://backend.example");

    LoadOrFail(token_file + "ironpost_backend_auth_mode \" Bearer_Token_File \"\n");
    EXPECT_EQ(session_.BackendOptions().auth_token, "tok-1");
}

TEST_F(SessionLoad, ReloadingStartsCleanAndAFailedReloadUnloads) {
    LoadOrFail("ironpost_backend_retry_max_attempts 2\n");
    SeatPlayersAndStartRound(1);
    client_.Reply(200, SettlementReplyBody("round-1", "queued"));
    ASSERT_TRUE(session_.OnRoundEnd(RoundContext("round-1"), 10).submitted);
    ASSERT_TRUE(session_.OnRoundStart(2));
    client_.Reply(503, RejectedReplyBody(503, "busy"), 2);
    ASSERT_FALSE(session_.OnRoundEnd(RoundContext("round-2"), 20).submitted);
    ASSERT_TRUE(session_.HasUnresolvedSettlement());
    ASSERT_TRUE(session_.HasPendingSettlementRetry());

    LoadOrFail();
    EXPECT_FALSE(session_.HasUnresolvedSettlement());
    EXPECT_FALSE(session_.HasPendingSettlementRetry());
    EXPECT_EQ(session_.TakeSessionLogLines(),
              (Lines{"settlement round-1 is no longer followed: the session was unloaded",
                     "settlement round-2 is no longer followed: the session was unloaded"}));
    EXPECT_TRUE(session_.Runtime().ConnectedPlayers().empty());
    EXPECT_TRUE(session_.Runtime().UnresolvedSettlementRecords().empty());
    EXPECT_EQ(session_.BackendOptions().retry_policy.max_attempts, 1u);

    EXPECT_FALSE(Load("ironpost_http_timeout_ms 0\n").loaded);
    ExpectUnloadedWithDefaults();
}

TEST_F(SessionLoad, EveryOperationRefusesWhileNotLoaded) {
    LoadOrFail();
    session_.Runtime().Unload();  // the runtime unloads underneath first
    for (int pass = 0; pass < 2; ++pass, session_.Unload()) {
        SCOPED_TRACE(pass);
        EXPECT_FALSE(session_.IsLoaded());
        EXPECT_FALSE(session_.OnClientAuthorized(1, "a", "STEAM_0:1:1001", false));
        EXPECT_FALSE(session_.OnClientDisconnect(1));
        EXPECT_FALSE(session_.OnClientTeamChanged(1, "CT"));
        EXPECT_FALSE(session_.OnRoundStart(1));
        EXPECT_FALSE(session_.OnBuySetup());
        PluginSettlementIntakeResponse included;
        included.accepted = true;
        included.relay_status = SettlementRelayStatus::Included;
        EXPECT_FALSE(session_.OnSettlementBackendResponse(included));
        EXPECT_FALSE(session_.ApplyBackendSettlementCompletion(included, 1));
        const TransferMenu menu = session_.OnZoltMenuOpened(1);
        EXPECT_FALSE(menu.available);
        EXPECT_EQ(menu.error, "plugin_session_not_loaded");
        EXPECT_TRUE(menu.recipients.empty());
        const TransferMenuSelectionResult selection = session_.OnZoltMenuSelection({1, 2, 5});
        EXPECT_FALSE(selection.accepted);
        EXPECT_EQ(selection.reason, "plugin_session_not_loaded");
        EXPECT_FALSE(selection.intent.has_value());
        EXPECT_TRUE(session_.SubmitDueSettlementRetries(1).empty());
        EXPECT_TRUE(session_.PollDueSettlementStatuses(1).empty());
        for (const Lines& errors : {session_.SubmitPendingSettlementRetry(1).errors,
                                    session_.PollUnresolvedSettlementStatus(1).errors}) {
            EXPECT_EQ(errors, Lines{"plugin session is not loaded"});
        }
    }
    EXPECT_TRUE(client_.requests.empty());
}

TEST_F(SessionLoad, TeamNamesParseInAnyCaseAndSeparatorAndOthersAreRefused) {
    const std::pair<std::optional<PlayerRole>, Lines> cases[] = {
        {PlayerRole::Terrorist, {"TERRORIST", "t", "Terrorists"}},
        {PlayerRole::CounterTerrorist,
         {"CT", "Counter-Terrorist", "counter terrorists", "COUNTER"}},
        {PlayerRole::Spectator, {"Spec", "SPECTATORS"}},
        {PlayerRole::Unassigned, {"UNASSIGNED", "None"}},
        {std::nullopt, {"", "counter_terrorist ", "counter__terrorist", "VIP"}}};
    for (const auto& [role, names] : cases) {
        for (const std::string& name : names) {
            EXPECT_EQ(ParseEnginePlayerRole(name), role) << name;
        }
    }
    LoadOrFail();
    ASSERT_TRUE(session_.OnClientAuthorized(1, "alice", "STEAM_0:1:1001", false));
    ASSERT_TRUE(session_.OnClientTeamChanged(1, "Counter-Terrorist"));
    EXPECT_FALSE(session_.OnClientTeamChanged(1, "VIP"));
    EXPECT_EQ(session_.Runtime().FindPlayer(1)->role, PlayerRole::CounterTerrorist);
}

}  // namespace
}  // namespace ironpost::session_test
