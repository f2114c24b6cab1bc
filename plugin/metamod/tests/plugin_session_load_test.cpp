#include <gtest/gtest.h>

#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "ironpost_metamod_adapter.h"
#include "ironpost_plugin_session.h"
#include "scripted_http_client.h"

namespace ironpost::session_test {
namespace {

constexpr char kKeyFilePlaceholder[] = "<key file>";

struct CvarRow {
    const char* name;
    const char* value;
    const char* description;
};

// Every console variable as published after loading a configuration that
// changes a few values (the harness's backend, server id and key file, and
// the extra lines of the test below).
const CvarRow kLoadedCvars[] = {
    {"ironpost_enabled", "1", "Enable Iron-Post features"},
    {"ironpost_mode", "web3_casual", "Iron-Post game mode"},
    {"ironpost_chain_rpc", "ws://127.0.0.1:9944", "Chain RPC websocket URL"},
    {"ironpost_backend_url", "http://127.0.0.1:9", "Backend API base URL"},
    {"ironpost_backend_auth_mode", "none", "Backend auth mode"},
    {"ironpost_backend_auth_token_file", "addons/ironpost/backend.token",
     "Backend bearer token file"},
    {"ironpost_backend_auth_header", "Authorization", "Backend auth header name"},
    {"ironpost_backend_server_id_header", "X-IronPost-Server-Id", "Backend server ID header name"},
    {"ironpost_backend_request_id_header", "X-IronPost-Request-Id",
     "Backend request ID header name"},
    {"ironpost_backend_retry_max_attempts", "3", "Backend retry max attempts"},
    {"ironpost_backend_retry_base_delay_ms", "250", "Backend retry base delay"},
    {"ironpost_backend_retry_max_delay_ms", "2000", "Backend retry max delay"},
    {"ironpost_http_timeout_ms", "1500", "Backend HTTP timeout milliseconds"},
    {"ironpost_server_id", "srv-1", "Runtime server ID"},
    {"ironpost_server_key_file", kKeyFilePlaceholder, "Server signing key path"},
    {"ironpost_wait_for_chain", "included", "Settlement wait policy"},
    {"ironpost_auto_settlement_enabled", "1", "Enable automatic live round settlement"},
    {"ironpost_event_buffer_size", "512", "Live gameplay event buffer size"},
    {"ironpost_heartbeat_interval_seconds", "30", "Plugin heartbeat interval seconds"},
    {"ironpost_round_flush_delay_ms", "250", "Delay before flushing a round-end event batch"},
    {"ironpost_player_feedback_enabled", "1", "Enable player-facing Zolt reward feedback"},
    {"ironpost_hud_balance_enabled", "1", "Enable player-facing Zolt balance HUD refreshes"},
    {"ironpost_balance_refresh_seconds", "15", "Player balance refresh interval seconds"},
    {"ironpost_hud_display_seconds", "4", "HUD balance display seconds"},
    {"ironpost_profile_refresh_stale_seconds", "3", "Profile command balance cache stale seconds"},
    {"ironpost_alpha_team_policy_enabled", "1", "Enable alpha team/bot state machine"},
    {"ironpost_alpha_one_human_bots", "2", "Bots to keep against one human"},
    {"ironpost_alpha_policy_interval_seconds", "1", "Alpha team policy tick interval seconds"},
    {"ironpost_alpha_restart_after_policy_change", "1",
     "Restart the round once after alpha team policy changes"},
    {"ironpost_engine_ui_mode", "menu", "Player UI output mode: menu, chat, or disabled"},
    {"ironpost_backend_worker_enabled", "1", "Enable bounded backend worker queue"},
    {"ironpost_backend_worker_queue_size", "64", "Backend worker queue size"},
    {"ironpost_server_command_budget_per_second", "8",
     "Maximum alpha policy server commands per second"},
    {"ironpost_build_id", "dev", "Loaded Iron-Post plugin build identifier"},
    {"ironpost_currency_name", "Zolt", "Currency display name"},
    {"ironpost_currency_symbol", "", "Currency display symbol"},
    {"ironpost_currency_decimals", "0", "Currency decimal places"},
    {"ironpost_reward_kill", "250", "Zolt reward per valid kill"},
    {"ironpost_reward_damage", "1", "Zolt reward per valid damage"},
    {"ironpost_reward_headshot", "0", "Zolt reward per headshot"},
    {"ironpost_reward_bomb_plant", "0", "Zolt reward per bomb plant"},
    {"ironpost_reward_bomb_defuse", "0", "Zolt reward per bomb defuse"},
    {"ironpost_reward_round_win", "0", "Zolt reward per round win"},
    {"ironpost_supply_cap", "0", "Protocol supply cap, zero means uncapped"},
    {"ironpost_player_earn_cap", "0", "Player earn cap, zero means uncapped"},
    {"ironpost_daily_earn_cap", "0", "Daily earn cap, zero means uncapped"},
    {"ironpost_settlement_mode", "round", "Settlement batching mode"},
    {"ironpost_intermission_seconds", "12", "Intermission length while settlement is pending"},
    {"ironpost_settlement_timeout_seconds", "8", "Settlement timeout seconds"},
    {"ironpost_on_settlement_timeout", "extend_intermission", "Settlement timeout behavior"},
    {"ironpost_transfer_enabled", "1", "Enable same-session Zolt transfers"},
    {"ironpost_transfer_same_server_only", "1", "Restrict transfers to active same-server players"},
    {"ironpost_transfer_allow_teammates", "1", "Allow teammate transfer recipients"},
    {"ironpost_transfer_allow_opponents", "1", "Allow opponent transfer recipients"},
    {"ironpost_transfer_allow_spectators", "1", "Allow spectator transfer recipients"},
    {"ironpost_transfer_allow_unlinked_claims", "1", "Allow unlinked pending-claim recipients"},
    {"ironpost_transfer_min_zolt", "1", "Minimum transfer amount"},
    {"ironpost_transfer_max_zolt", "0", "Maximum transfer amount, zero means uncapped"},
    {"ironpost_transfer_requires_wallet_allowance", "1", "Require wallet-granted server allowance"},
    {"ironpost_free_tier_enabled", "1", "Enable free-tier weapons"},
    {"ironpost_free_pistol_t", "glock", "Terrorist free pistol"},
    {"ironpost_free_pistol_ct", "usp", "Counter-Terrorist free pistol"},
    {"ironpost_free_smg", "mp5navy", "Free SMG"},
    {"ironpost_free_ar_t", "galil", "Terrorist free rifle"},
    {"ironpost_free_ar_ct", "famas", "Counter-Terrorist free rifle"},
    {"ironpost_free_sniper", "scout", "Free sniper"},
    {"ironpost_weapon_spend_enabled", "1", "Enable weapon spend settlement"},
    {"ironpost_weapon_spend_sink", "burn", "Weapon spend sink policy"},
    {"ironpost_allow_buy_if_zolt_zero", "0", "Allow paid buys with zero Zolt"},
    {"ironpost_antifarm_enabled", "1", "Enable plugin anti-farming filters"},
    {"ironpost_antifarm_min_humans", "2", "Minimum humans for rewards"},
    {"ironpost_antifarm_ignore_bots", "1", "Ignore bots for reward rules"},
    {"ironpost_antifarm_team_damage_rewards", "0", "Reward team damage"},
    {"ironpost_antifarm_round_end_damage_rewards", "0", "Reward round-end damage"},
    {"ironpost_antifarm_same_victim_enabled", "1", "Enable repeated-victim filter"},
    {"ironpost_antifarm_same_victim_window_seconds", "120", "Repeated-victim window"},
    {"ironpost_antifarm_same_victim_max_kills", "5", "Repeated-victim max kills"},
    {"ironpost_antifarm_same_ip_rewards", "0", "Reward same-IP kills"},
    {"ironpost_antifarm_lan_rewards", "1", "Reward LAN players"},
    {"ironpost_season_enabled", "1", "Enable season ladder"},
    {"ironpost_season_id", "1", "Active season ID"},
    {"ironpost_season_points_kill", "100", "Season points per kill"},
    {"ironpost_season_points_damage", "1", "Season points per valid damage"},
    {"ironpost_season_points_win", "0", "Season points per win"},
    {"ironpost_server_staking_required", "1", "Require server stake"},
    {"ironpost_server_min_stake_zolt", "100000", "Minimum server stake"},
    {"ironpost_debug", "1", "Enable debug logging"},
    {"ironpost_log_round_batches", "1", "Log settlement batch payloads"},
    {"ironpost_log_config_hash", "1", "Log config hashes"},
};

class SessionCvars : public SessionTest {};

TEST_F(SessionCvars, LoadPublishesEveryVariableInOrderWithTheLoadedValues) {
    LoadOrFail(
        "ironpost_reward_kill 250\nironpost_debug on\nironpost_currency_symbol \"\"\n"
        "ironpost_backend_retry_max_attempts 3\n");
    const std::vector<CvarDefinition>& published = cvars_.definitions;
    ASSERT_EQ(published.size(), std::size(kLoadedCvars));
    for (std::size_t i = 0; i < published.size(); ++i) {
        const CvarRow& row = kLoadedCvars[i];
        SCOPED_TRACE(row.name);
        const std::string value = std::string(row.value) == kKeyFilePlaceholder
                                      ? dir_.Path("server.key")
                                      : std::string(row.value);
        EXPECT_EQ(published[i].name, row.name);
        EXPECT_EQ(published[i].default_value, value);
        EXPECT_EQ(published[i].description, row.description);
    }
}

TEST_F(SessionCvars, AreRegisteredEvenWhenALaterLoadStepFails) {
    // Key file missing: the load fails after the runtime published them.
    const MetamodPluginSessionLoadResult no_key = session_.LoadFromConfigFile(
        dir_.Write("a.cfg", "ironpost_server_key_file \"" + dir_.Path("nowhere.key") + "\"\n"),
        cvars_);
    EXPECT_FALSE(no_key.loaded);
    EXPECT_EQ(cvars_.definitions.size(), kConfigKeyCount);

    // Transport options invalid: published again by the second attempt.
    const MetamodPluginSessionLoadResult invalid = Load("ironpost_http_timeout_ms 0\n");
    EXPECT_FALSE(invalid.loaded);
    EXPECT_EQ(cvars_.definitions.size(), 2 * kConfigKeyCount);
    EXPECT_EQ(cvars_.definitions[kConfigKeyCount + 12].name, "ironpost_http_timeout_ms");
    EXPECT_EQ(cvars_.definitions[kConfigKeyCount + 12].default_value, "0");

    // A configuration with errors is not applied, so nothing is published.
    const MetamodPluginSessionLoadResult bad = Load("ironpost_debug perhaps\n");
    EXPECT_FALSE(bad.loaded);
    EXPECT_EQ(cvars_.definitions.size(), 2 * kConfigKeyCount);
}

class SessionLoad : public SessionTest {
  protected:
    void ExpectUnloadedWithDefaults() {
        EXPECT_FALSE(session_.IsLoaded());
        EXPECT_FALSE(session_.Runtime().IsLoaded());
        const BackendTransportOptions defaults;
        const BackendTransportOptions& options = session_.BackendOptions();
        EXPECT_EQ(options.backend_url, defaults.backend_url);
        EXPECT_EQ(options.auth_mode, defaults.auth_mode);
        EXPECT_EQ(options.auth_token, defaults.auth_token);
        EXPECT_EQ(options.http_timeout_ms, defaults.http_timeout_ms);
        EXPECT_EQ(options.retry_policy.max_attempts, defaults.retry_policy.max_attempts);
        EXPECT_EQ(session_.Config().server_id, IronPostConfig().server_id);
        // No signer and no runtime: a round end is refused before anything
        // is built or sent.
        const std::size_t posts = client_.requests.size();
        const MetamodSettlementSubmitResult round = session_.OnRoundEnd(RoundContext("r"), 1);
        EXPECT_EQ(round.errors, Lines{"plugin session is not loaded"});
        EXPECT_EQ(client_.requests.size(), posts);
    }
};

TEST_F(SessionLoad, EachFailureReportsItsMessagesAndLeavesTheSessionUnloaded) {
    struct Case {
        const char* name;
        std::string key_file_content;
        std::string extra_config;
        Lines errors;
        bool signer_loaded;
    };
    const std::string key_path = dir_.Path("server.key");
    const Case cases[] = {
        {"config parse error",
         kServerKey,
         "ironpost_debug perhaps\n",
         {"line 4: expected boolean value"},
         false},
        {"key file empty", "", "", {"server signing key material is missing: " + key_path}, false},
        {"key file only a line break",
         "\n",
         "",
         {"server signing key material is missing: " + key_path},
         false},
        {"bearer mode without a token file",
         kServerKey,
         "ironpost_backend_auth_mode bearer_token_file\n"
         "ironpost_backend_auth_token_file \"" +
             dir_.Path("missing.token") + "\"\n",
         {"backend bearer token is required"},
         true},
        {"unsupported mode, reported as written",
         kServerKey,
         "ironpost_backend_auth_mode \" Basic \"\n",
         {"unsupported backend auth mode:  Basic "},
         true},
        {"several problems, in order",
         kServerKey,
         "ironpost_backend_retry_max_attempts 0\nironpost_backend_retry_base_delay_ms 0\n"
         "ironpost_http_timeout_ms 0\n",
         {"backend retry max attempts must be at least 1",
          "backend retry base delay must be greater than 0",
          "backend HTTP timeout must be greater than 0"},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string config = "ironpost_server_key_file \"" + key_path +
                                   "\"\nironpost_backend_url \"http://127.0.0.1:9\"\n"
                                   "ironpost_server_id srv-1\n" +
                                   c.extra_config;
        dir_.Write("server.key", c.key_file_content);
        const MetamodPluginSessionLoadResult result =
            session_.LoadFromConfigFile(dir_.Write("ironpost.cfg", config), cvars_);
        EXPECT_FALSE(result.loaded);
        EXPECT_EQ(result.signer_loaded, c.signer_loaded);
        EXPECT_FALSE(result.backend_transport_configured);
        EXPECT_EQ(result.errors, c.errors);
        ExpectUnloadedWithDefaults();
    }
}

TEST_F(SessionLoad, MissingConfigurationFileIsReportedWithItsPath) {
    const std::string path = dir_.Path("absent.cfg");
    const MetamodPluginSessionLoadResult result = session_.LoadFromConfigFile(path, cvars_);
    EXPECT_EQ(result.errors, Lines{"unable to open config file: " + path});
    EXPECT_TRUE(cvars_.definitions.empty());
    ExpectUnloadedWithDefaults();
}

TEST_F(SessionLoad, RejectedOptionsAreReportedButNotKept) {
    const MetamodPluginSessionLoadResult result =
        Load("ironpost_backend_url \"  \"\nironpost_backend_retry_max_delay_ms 100\n");
    EXPECT_EQ(result.errors,
              (Lines{"backend URL is required",
                     "backend retry max delay must be greater than or equal to base delay"}));
    EXPECT_EQ(result.backend_options.backend_url, "  ");
    EXPECT_EQ(result.backend_options.retry_policy.max_delay_ms, 100u);
    EXPECT_EQ(result.config.backend_retry_max_delay_ms, 100u);
    ExpectUnloadedWithDefaults();
}

TEST_F(SessionLoad, AnHttpsUrlLoadsAndFailsOnlyWhenARequestIsSent) {
    LoadOrFail("ironpost_backend_url \"https://backend.example\"\n");
    EXPECT_EQ(session_.BackendOptions().backend_url, "https://backend.example");
}

TEST_F(SessionLoad, TheBearerTokenFileIsReadOnlyInBearerMode) {
    const std::string token_line =
        "ironpost_backend_auth_token_file \"" + dir_.Write("backend.token", " tok-1\r\n") + "\"\n";
    LoadOrFail(token_line);
    EXPECT_EQ(session_.BackendOptions().auth_token, "");

    LoadOrFail(token_line + "ironpost_backend_auth_mode \" Bearer_Token_File \"\n");
    EXPECT_EQ(session_.BackendOptions().auth_token, "tok-1");
    EXPECT_EQ(session_.Config().backend_auth_mode, " Bearer_Token_File ");
}

TEST_F(SessionLoad, ReloadingStartsCleanAndAFailedReloadUnloads) {
    LoadOrFail("ironpost_backend_retry_max_attempts 2\n");
    SeatPlayersAndStartRound(1);
    client_.Reply(200, SettlementReplyBody("round-1", "queued"));
    ASSERT_TRUE(session_.OnRoundEnd(RoundContext("round-1"), 10).submitted);
    ASSERT_TRUE(session_.OnRoundStart(2));
    client_.Reply(503, RejectedReplyBody(503, "busy"));
    client_.Reply(503, RejectedReplyBody(503, "busy"));
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
    // Loaded, then the runtime unloads underneath: the session refuses too.
    LoadOrFail();
    session_.Runtime().Unload();
    for (int pass = 0; pass < 2; ++pass) {
        SCOPED_TRACE(pass == 0 ? "runtime unloaded" : "session unloaded");
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
        EXPECT_EQ(session_.SubmitPendingSettlementRetry(1).errors,
                  Lines{"plugin session is not loaded"});
        EXPECT_EQ(session_.PollUnresolvedSettlementStatus(1).errors,
                  Lines{"plugin session is not loaded"});
        session_.Unload();
    }
    EXPECT_TRUE(client_.requests.empty());
}

TEST(EnginePlayerRole, TeamNamesInAnyCaseAndSeparatorParse) {
    struct Case {
        const char* team_name;
        std::optional<PlayerRole> role;
    };
    const Case cases[] = {
        {"TERRORIST", PlayerRole::Terrorist},
        {"t", PlayerRole::Terrorist},
        {"Terrorists", PlayerRole::Terrorist},
        {"CT", PlayerRole::CounterTerrorist},
        {"Counter-Terrorist", PlayerRole::CounterTerrorist},
        {"counter terrorists", PlayerRole::CounterTerrorist},
        {"COUNTER", PlayerRole::CounterTerrorist},
        {"SPECTATOR", PlayerRole::Spectator},
        {"Spec", PlayerRole::Spectator},
        {"spectators", PlayerRole::Spectator},
        {"UNASSIGNED", PlayerRole::Unassigned},
        {"None", PlayerRole::Unassigned},
        {"", std::nullopt},
        {"counter_terrorist ", std::nullopt},
        {"counter__terrorist", std::nullopt},
        {"ct\n", std::nullopt},
        {"VIP", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.team_name);
        EXPECT_EQ(ParseEnginePlayerRole(c.team_name), c.role);
    }
}

TEST_F(SessionLoad, ATeamNameOutsideTheTableIsRefusedAndKeepsTheRole) {
    LoadOrFail();
    ASSERT_TRUE(session_.OnClientAuthorized(1, "alice", "STEAM_0:1:1001", false));
    ASSERT_TRUE(session_.OnClientTeamChanged(1, "Counter-Terrorist"));
    EXPECT_FALSE(session_.OnClientTeamChanged(1, "VIP"));
    EXPECT_EQ(session_.Runtime().FindPlayer(1)->role, PlayerRole::CounterTerrorist);
    EXPECT_FALSE(session_.OnClientTeamChanged(9, "CT"));
}

}  // namespace
}  // namespace ironpost::session_test
