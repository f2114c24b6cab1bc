#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "ironpost_plugin_session.h"
#include "scripted_http_client.h"

namespace ironpost::session_test {
namespace {

// Every console variable as published after the load below: name without its
// "ironpost_" prefix, rendered value and description, separated by '|'.
// "<key>" stands for the key file path of the test's directory.
constexpr char kPublishedCvars[] = R"(enabled|1|Enable Iron-Post features
mode|web3_casual|Iron-Post game mode
chain_rpc|ws://127.0.0.1:9944|Chain RPC websocket URL
backend_url|http://127.0.0.1:9|Backend API base URL
backend_auth_mode|none|Backend auth mode
backend_auth_token_file|addons/ironpost/backend.token|Backend bearer token file
backend_auth_header|Authorization|Backend auth header name
backend_server_id_header|X-IronPost-Server-Id|Backend server ID header name
backend_request_id_header|X-IronPost-Request-Id|Backend request ID header name
backend_retry_max_attempts|3|Backend retry max attempts
backend_retry_base_delay_ms|250|Backend retry base delay
backend_retry_max_delay_ms|2000|Backend retry max delay
http_timeout_ms|1500|Backend HTTP timeout milliseconds
server_id|srv-1|Runtime server ID
server_key_file|<key>|Server signing key path
wait_for_chain|included|Settlement wait policy
auto_settlement_enabled|1|Enable automatic live round settlement
event_buffer_size|512|Live gameplay event buffer size
heartbeat_interval_seconds|30|Plugin heartbeat interval seconds
round_flush_delay_ms|250|Delay before flushing a round-end event batch
player_feedback_enabled|1|Enable player-facing Zolt reward feedback
hud_balance_enabled|1|Enable player-facing Zolt balance HUD refreshes
balance_refresh_seconds|15|Player balance refresh interval seconds
hud_display_seconds|4|HUD balance display seconds
profile_refresh_stale_seconds|3|Profile command balance cache stale seconds
alpha_team_policy_enabled|1|Enable alpha team/bot state machine
alpha_one_human_bots|2|Bots to keep against one human
alpha_policy_interval_seconds|1|Alpha team policy tick interval seconds
alpha_restart_after_policy_change|1|Restart the round once after alpha team policy changes
engine_ui_mode|menu|Player UI output mode: menu, chat, or disabled
backend_worker_enabled|1|Enable bounded backend worker queue
backend_worker_queue_size|64|Backend worker queue size
server_command_budget_per_second|8|Maximum alpha policy server commands per second
build_id|dev|Loaded Iron-Post plugin build identifier
currency_name|Zolt|Currency display name
currency_symbol||Currency display symbol
currency_decimals|0|Currency decimal places
reward_kill|250|Zolt reward per valid kill
reward_damage|1|Zolt reward per valid damage
reward_headshot|0|Zolt reward per headshot
reward_bomb_plant|0|Zolt reward per bomb plant
reward_bomb_defuse|0|Zolt reward per bomb defuse
reward_round_win|0|Zolt reward per round win
supply_cap|0|Protocol supply cap, zero means uncapped
player_earn_cap|0|Player earn cap, zero means uncapped
daily_earn_cap|0|Daily earn cap, zero means uncapped
settlement_mode|round|Settlement batching mode
intermission_seconds|12|Intermission length while settlement is pending
settlement_timeout_seconds|8|Settlement timeout seconds
on_settlement_timeout|extend_intermission|Settlement timeout behavior
transfer_enabled|1|Enable same-session Zolt transfers
transfer_same_server_only|1|Restrict transfers to active same-server players
transfer_allow_teammates|1|Allow teammate transfer recipients
transfer_allow_opponents|1|Allow opponent transfer recipients
transfer_allow_spectators|1|Allow spectator transfer recipients
transfer_allow_unlinked_claims|1|Allow unlinked pending-claim recipients
transfer_min_zolt|1|Minimum transfer amount
transfer_max_zolt|0|Maximum transfer amount, zero means uncapped
transfer_requires_wallet_allowance|1|Require wallet-granted server allowance
free_tier_enabled|1|Enable free-tier weapons
free_pistol_t|glock|Terrorist free pistol
free_pistol_ct|usp|Counter-Terrorist free pistol
free_smg|mp5navy|Free SMG
free_ar_t|galil|Terrorist free rifle
free_ar_ct|famas|Counter-Terrorist free rifle
free_sniper|scout|Free sniper
weapon_spend_enabled|1|Enable weapon spend settlement
weapon_spend_sink|burn|Weapon spend sink policy
allow_buy_if_zolt_zero|0|Allow paid buys with zero Zolt
antifarm_enabled|1|Enable plugin anti-farming filters
antifarm_min_humans|2|Minimum humans for rewards
antifarm_ignore_bots|1|Ignore bots for reward rules
antifarm_team_damage_rewards|0|Reward team damage
antifarm_round_end_damage_rewards|0|Reward round-end damage
antifarm_same_victim_enabled|1|Enable repeated-victim filter
antifarm_same_victim_window_seconds|120|Repeated-victim window
antifarm_same_victim_max_kills|5|Repeated-victim max kills
antifarm_same_ip_rewards|0|Reward same-IP kills
antifarm_lan_rewards|1|Reward LAN players
season_enabled|1|Enable season ladder
season_id|1|Active season ID
season_points_kill|100|Season points per kill
season_points_damage|1|Season points per valid damage
season_points_win|0|Season points per win
server_staking_required|1|Require server stake
server_min_stake_zolt|100000|Minimum server stake
debug|1|Enable debug logging
log_round_batches|1|Log settlement batch payloads
log_config_hash|1|Log config hashes
)";

TEST_F(SessionTest, LoadPublishesEveryConsoleVariableInOrderWithTheLoadedValues) {
    LoadOrFail(
        "ironpost_reward_kill 250\nironpost_debug on\nironpost_currency_symbol \"\"\n"
        "ironpost_backend_retry_max_attempts 3\n");
    std::istringstream rows(kPublishedCvars);
    std::vector<std::string> expected;
    for (std::string row; std::getline(rows, row);) {
        const std::size_t bar = row.find('|');
        const std::size_t bar2 = row.find('|', bar + 1);
        std::string value = row.substr(bar + 1, bar2 - bar - 1);
        expected.push_back("ironpost_" + row.substr(0, bar) + "|" +
                           (value == "<key>" ? dir_.Path("server.key") : value) + "|" +
                           row.substr(bar2 + 1));
    }
    std::vector<std::string> published;
    for (const CvarDefinition& cvar : cvars_.definitions) {
        published.push_back(cvar.name + "|" + cvar.default_value + "|" + cvar.description);
    }
    EXPECT_EQ(published, expected);
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
