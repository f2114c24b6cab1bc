#include "ironpost_config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace ironpost {
namespace {

using Lines = std::vector<std::string>;
using namespace std::string_literals;

// Every key in field order: name without the "ironpost_" prefix, type (b
// bool, s string, u u32, U u64), default as published, and description.
const char* const kKeyTable = R"(enabled b 1 Enable Iron-Post features
mode s web3_casual Iron-Post game mode
chain_rpc s ws://127.0.0.1:9944 Chain RPC websocket URL
backend_url s http://127.0.0.1:8080 Backend API base URL
backend_auth_mode s none Backend auth mode
backend_auth_token_file s addons/ironpost/backend.token Backend bearer token file
backend_auth_header s Authorization Backend auth header name
backend_server_id_header s X-IronPost-Server-Id Backend server ID header name
backend_request_id_header s X-IronPost-Request-Id Backend request ID header name
backend_retry_max_attempts u 1 Backend retry max attempts
backend_retry_base_delay_ms u 250 Backend retry base delay
backend_retry_max_delay_ms u 2000 Backend retry max delay
http_timeout_ms u 1500 Backend HTTP timeout milliseconds
server_id s 1 Runtime server ID
server_key_file s addons/ironpost/server.key Server signing key path
wait_for_chain s included Settlement wait policy
auto_settlement_enabled b 1 Enable automatic live round settlement
event_buffer_size u 512 Live gameplay event buffer size
heartbeat_interval_seconds u 30 Plugin heartbeat interval seconds
round_flush_delay_ms u 250 Delay before flushing a round-end event batch
player_feedback_enabled b 1 Enable player-facing Zolt reward feedback
hud_balance_enabled b 1 Enable player-facing Zolt balance HUD refreshes
balance_refresh_seconds u 15 Player balance refresh interval seconds
hud_display_seconds u 4 HUD balance display seconds
profile_refresh_stale_seconds u 3 Profile command balance cache stale seconds
alpha_team_policy_enabled b 1 Enable alpha team/bot state machine
alpha_one_human_bots u 2 Bots to keep against one human
alpha_policy_interval_seconds u 1 Alpha team policy tick interval seconds
alpha_restart_after_policy_change b 1 Restart the round once after alpha team policy changes
engine_ui_mode s menu Player UI output mode: menu, chat, or disabled
backend_worker_enabled b 1 Enable bounded backend worker queue
backend_worker_queue_size u 64 Backend worker queue size
server_command_budget_per_second u 8 Maximum alpha policy server commands per second
build_id s dev Loaded Iron-Post plugin build identifier
currency_name s Zolt Currency display name
currency_symbol s ZOLT Currency display symbol
currency_decimals u 0 Currency decimal places
reward_kill U 100 Zolt reward per valid kill
reward_damage U 1 Zolt reward per valid damage
reward_headshot U 0 Zolt reward per headshot
reward_bomb_plant U 0 Zolt reward per bomb plant
reward_bomb_defuse U 0 Zolt reward per bomb defuse
reward_round_win U 0 Zolt reward per round win
supply_cap U 0 Protocol supply cap, zero means uncapped
player_earn_cap U 0 Player earn cap, zero means uncapped
daily_earn_cap U 0 Daily earn cap, zero means uncapped
settlement_mode s round Settlement batching mode
intermission_seconds u 12 Intermission length while settlement is pending
settlement_timeout_seconds u 8 Settlement timeout seconds
on_settlement_timeout s extend_intermission Settlement timeout behavior
transfer_enabled b 1 Enable same-session Zolt transfers
transfer_same_server_only b 1 Restrict transfers to active same-server players
transfer_allow_teammates b 1 Allow teammate transfer recipients
transfer_allow_opponents b 1 Allow opponent transfer recipients
transfer_allow_spectators b 1 Allow spectator transfer recipients
transfer_allow_unlinked_claims b 1 Allow unlinked pending-claim recipients
transfer_min_zolt U 1 Minimum transfer amount
transfer_max_zolt U 0 Maximum transfer amount, zero means uncapped
transfer_requires_wallet_allowance b 1 Require wallet-granted server allowance
free_tier_enabled b 1 Enable free-tier weapons
free_pistol_t s glock Terrorist free pistol
free_pistol_ct s usp Counter-Terrorist free pistol
free_smg s mp5navy Free SMG
free_ar_t s galil Terrorist free rifle
free_ar_ct s famas Counter-Terrorist free rifle
free_sniper s scout Free sniper
weapon_spend_enabled b 1 Enable weapon spend settlement
weapon_spend_sink s burn Weapon spend sink policy
allow_buy_if_zolt_zero b 0 Allow paid buys with zero Zolt
antifarm_enabled b 1 Enable plugin anti-farming filters
antifarm_min_humans u 2 Minimum humans for rewards
antifarm_ignore_bots b 1 Ignore bots for reward rules
antifarm_team_damage_rewards b 0 Reward team damage
antifarm_round_end_damage_rewards b 0 Reward round-end damage
antifarm_same_victim_enabled b 1 Enable repeated-victim filter
antifarm_same_victim_window_seconds u 120 Repeated-victim window
antifarm_same_victim_max_kills u 5 Repeated-victim max kills
antifarm_same_ip_rewards b 0 Reward same-IP kills
antifarm_lan_rewards b 1 Reward LAN players
season_enabled b 1 Enable season ladder
season_id u 1 Active season ID
season_points_kill U 100 Season points per kill
season_points_damage U 1 Season points per valid damage
season_points_win U 0 Season points per win
server_staking_required b 1 Require server stake
server_min_stake_zolt U 100000 Minimum server stake
debug b 0 Enable debug logging
log_round_batches b 1 Log settlement batch payloads
log_config_hash b 1 Log config hashes
)";

struct Key {
    std::string name;
    char type;
    std::string value;
    std::string description;
};

std::vector<Key> Keys() {
    std::vector<Key> keys;
    std::istringstream table(kKeyTable);
    Key key;
    while (table >> key.name >> key.type >> key.value &&
           std::getline(table >> std::ws, key.description)) {
        key.name = "ironpost_" + key.name;
        keys.push_back(key);
    }
    return keys;
}

std::string Published(const ConfigParseResult& result, const std::string& name) {
    for (const CvarDefinition& definition : BuildCvarDefinitions(result.config)) {
        if (definition.name == name) {
            return definition.default_value;
        }
    }
    return "<missing>";
}

TEST(ConfigKeys, EveryKeyIsPublishedInFieldOrderWithItsDefaultAndDescription) {
    const std::vector<Key> keys = Keys();
    const std::vector<CvarDefinition> definitions = BuildCvarDefinitions(IronPostConfig());
    ASSERT_EQ(keys.size(), 89u);
    ASSERT_EQ(definitions.size(), keys.size());
    EXPECT_EQ(Setters().size(), keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) {
        EXPECT_EQ(definitions[i].name, keys[i].name) << i;
        EXPECT_EQ(definitions[i].default_value, keys[i].value) << keys[i].name;
        EXPECT_EQ(definitions[i].description, keys[i].description) << keys[i].name;
    }
}

// Each key is parsed as its type: the largest value of the type is stored
// and published, one past it (or a bad flag) is refused with the type's text
// and leaves the default.
TEST(ConfigKeys, EveryKeyParsesAsItsType) {
    for (const Key& key : Keys()) {
        SCOPED_TRACE(key.name);
        std::string good = "\"x // y\"";
        std::string stored = "x // y";
        std::string bad;
        std::string error;
        if (key.type == 'b') {
            good = stored = key.value == "1" ? "0" : "1";
            bad = "2";
            error = "expected boolean value";
        } else if (key.type == 'u') {
            good = stored = "4294967295";
            bad = "4294967296";
            error = "expected uint32 integer";
        } else if (key.type == 'U') {
            good = stored = "18446744073709551615";
            bad = "18446744073709551616";
            error = "expected unsigned integer";
        }
        const ConfigParseResult accepted = ParseConfigText(key.name + " " + good + "\n");
        EXPECT_EQ(accepted.errors, Lines{});
        EXPECT_EQ(accepted.warnings, Lines{});
        EXPECT_EQ(Published(accepted, key.name), stored);
        if (!bad.empty()) {
            const ConfigParseResult refused = ParseConfigText("\n" + key.name + " " + bad);
            EXPECT_EQ(refused.errors, Lines{"line 2: " + error});
            EXPECT_EQ(Published(refused, key.name), key.value);
        }
    }
}

TEST(ConfigParser, BlankAndCommentOnlyTextsGiveTheDefaults) {
    for (const char* text : {"", "\n\n", "// only a comment\n   \t\n//x", "\r\n\r\n"}) {
        const ConfigParseResult result = ParseConfigText(text);
        EXPECT_EQ(result.warnings, Lines{});
        EXPECT_EQ(result.errors, Lines{});
        EXPECT_EQ(BuildCvarDefinitions(result.config)[3].default_value, "http://127.0.0.1:8080");
    }
}

// A string value after comment stripping, trimming and unquoting.
TEST(ConfigParser, CommentsQuotesAndTrimming) {
    const std::pair<std::string, std::string> cases[] = {
        {"http://127.0.0.1:8080", "http:"},  // the two slashes start a comment
        {"\"http://10.0.0.5:9000/api\" // trailing", "http://10.0.0.5:9000/api"},
        {"#7;beta", "#7;beta"},                // only // starts a comment
        {"a/", "a/"},                          // a lone slash at the end is text
        {"\"a\"b//c", "\"a\"b"},               // after a closing quote comments start again
        {"\t  \" spaced \"  \r", " spaced "},  // the inside is not trimmed
        {"\"\"", ""},
        {"\"", "\""},
        {"\"\"\"\"", "\"\""},              // one pair only, no escapes
        {"\"\"\"\"\"\"\"", "\"\"\"\"\""},  // a value made only of quotes
        {"\\\"x\\\"", "\\\"x\\\""},
    };
    for (const auto& [value, stored] : cases) {
        SCOPED_TRACE(value);
        const ConfigParseResult result = ParseConfigText("  ironpost_build_id " + value + "\n");
        EXPECT_EQ(result.errors, Lines{});
        EXPECT_EQ(result.config.build_id, stored);
    }
}

TEST(ConfigParser, ProblemsAreReportedWithLineNumbersAndLaterLinesWin) {
    const ConfigParseResult result = ParseConfigText(
        "// header\n"
        "ironpost_enabled\n"
        "IRONPOST_ENABLED 0\n"
        "ironpost_enabled = 1\n"
        "\n"
        "ironpost_reward_kill 250\n"
        "ironpost_unknown_thing 5\n"
        "ironpost_reward_kill -1\n"
        "ironpost_server_id first\n"
        "ironpost_server_id second\n"
        "ironpost_enabled \"\"\"\"\n");
    EXPECT_EQ(result.errors,
              (Lines{"line 2: expected cvar name and value", "line 4: expected boolean value",
                     "line 8: expected unsigned integer", "line 11: expected boolean value"}));
    EXPECT_EQ(result.warnings, (Lines{"line 3: unknown cvar IRONPOST_ENABLED",
                                      "line 7: unknown cvar ironpost_unknown_thing"}));
    EXPECT_TRUE(result.config.enabled);
    EXPECT_EQ(result.config.reward_kill, 250u) << "a bad later line keeps the last good value";
    EXPECT_EQ(result.config.server_id, "second");
}

TEST(ConfigParser, BooleanValues) {
    const std::pair<const char*, bool> accepted[] = {
        {"1", true},  {"true", true},   {"YES", true}, {"On", true},
        {"0", false}, {"False", false}, {"no", false}, {"\"off\"", false},
    };
    for (const auto& [value, expected] : accepted) {
        // A key whose default is the other value, so the change shows.
        const ConfigParseResult result =
            ParseConfigText((expected ? "ironpost_debug "s : "ironpost_enabled "s) + value);
        EXPECT_EQ(result.errors, Lines{}) << value;
        EXPECT_EQ(expected ? result.config.debug : result.config.enabled, expected) << value;
    }
    for (const char* value : {"2", "\"\"", "y", "t rue", "\"\"\"", "1.0"}) {
        const ConfigParseResult result = ParseConfigText("ironpost_enabled "s + value);
        EXPECT_EQ(result.errors, Lines{"line 1: expected boolean value"}) << value;
        EXPECT_TRUE(result.config.enabled) << value;
    }
}

TEST(ConfigParser, UnsignedValues) {
    struct Case {
        const char* line;
        const char* error;  // nullptr when accepted
        std::uint64_t stored;
    };
    const Case cases[] = {
        {"ironpost_http_timeout_ms \"42\"", nullptr, 42},
        {"ironpost_http_timeout_ms 99999999999999999999999", "expected uint32 integer", 1500},
        {"ironpost_http_timeout_ms 0x10", "expected uint32 integer", 1500},
        {"ironpost_reward_kill 007", nullptr, 7},
        {"ironpost_reward_kill 0", nullptr, 0},
        {"ironpost_reward_kill -5", "expected unsigned integer", 100},
        {"ironpost_reward_kill +5", "expected unsigned integer", 100},
        {"ironpost_reward_kill 0x10", "expected unsigned integer", 100},
        {"ironpost_reward_kill 1 000", "expected unsigned integer", 100},
        {"ironpost_reward_kill \"\"", "expected unsigned integer", 100},
        {"ironpost_reward_kill 12abc", "expected unsigned integer", 100},
        {"ironpost_reward_kill 99999999999999999999", "expected unsigned integer", 100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const ConfigParseResult result = ParseConfigText(c.line);
        EXPECT_EQ(result.errors, c.error ? Lines{"line 1: "s + c.error} : Lines{});
        const bool u32 = std::string(c.line).find("timeout") != std::string::npos;
        EXPECT_EQ(u32 ? result.config.http_timeout_ms : result.config.reward_kill, c.stored);
    }
}

TEST(ConfigParser, WindowsLineEndingsParseLikeUnixOnes) {
    const std::string unix_text =
        "ironpost_reward_kill 7\nironpost_mode \"quoted\"\nironpost_debug on\nnope 1\nx\n";
    std::string windows_text;
    for (const char c : unix_text) {
        windows_text += c == '\n' ? "\r\n" : std::string(1, c);
    }
    const ConfigParseResult a = ParseConfigText(unix_text);
    const ConfigParseResult b = ParseConfigText(windows_text);
    EXPECT_EQ(b.errors, a.errors);
    EXPECT_EQ(b.warnings, (Lines{"line 4: unknown cvar nope"}));
    EXPECT_EQ(BuildCvarDefinitions(b.config)[1].default_value, "quoted");
    EXPECT_EQ(b.config.reward_kill, 7u);
    EXPECT_TRUE(b.config.debug);
}

TEST(ConfigParserHostileInput, NulBytesAndMegabyteLinesAreOrdinaryBytes) {
    const ConfigParseResult nul = ParseConfigText(
        "ironpost_build_id a\0b\nironpost_rew\0ard_kill 5\nironpost_reward_kill 1\0"s);
    EXPECT_EQ(nul.config.build_id, "a\0b"s);
    EXPECT_EQ(nul.warnings, Lines{"line 2: unknown cvar ironpost_rew\0ard_kill"s});
    EXPECT_EQ(nul.errors, Lines{"line 3: expected unsigned integer"});

    const std::string megabyte(1 << 20, 'x');
    EXPECT_EQ(ParseConfigText("ironpost_build_id " + megabyte + "\n").config.build_id, megabyte);
    EXPECT_EQ(ParseConfigText(megabyte).errors, Lines{"line 1: expected cvar name and value"});
    EXPECT_EQ(ParseConfigText(std::string(1 << 20, '/')).errors, Lines{});
}

class ConfigFile : public ::testing::Test {
  protected:
    void TearDown() override { std::remove(path_.c_str()); }
    std::string path_ =
        ::testing::TempDir() + "ironpost_config_test_" + std::to_string(getpid()) + ".cfg";
};

TEST_F(ConfigFile, ReadsTheFileBytesUnchanged) {
    std::ofstream(path_, std::ios::binary)
        << "ironpost_reward_kill 42\r\nironpost_server_id \"srv 9\"\r\nnope 1\r\n";
    const ConfigParseResult result = LoadConfigFile(path_);
    EXPECT_EQ(result.config.reward_kill, 42u);
    EXPECT_EQ(result.config.server_id, "srv 9");
    EXPECT_EQ(result.warnings, Lines{"line 3: unknown cvar nope"});
    EXPECT_EQ(result.errors, Lines{});
}

// A FIFO would block the game thread at attach until someone writes to it.
TEST_F(ConfigFile, MissingOrUnreadablePathsGiveOneErrorAndTheDefaults) {
    const std::string fifo = path_ + ".fifo";
    std::remove(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string oversized = path_ + ".big";
    std::ofstream(oversized, std::ios::binary) << std::string(kMaxConfigFileBytes + 1, '/');
    std::ofstream(path_, std::ios::binary) << std::string(kMaxConfigFileBytes, '/');
    EXPECT_EQ(LoadConfigFile(path_).errors, Lines{}) << "a file at the bound is read";
    for (const std::string& path :
         {"/nonexistent/dir/ironpost.cfg"s, ""s, ::testing::TempDir(), fifo, oversized}) {
        SCOPED_TRACE(path);
        const ConfigParseResult result = LoadConfigFile(path);
        EXPECT_EQ(result.errors, Lines{"unable to open config file: " + path});
        EXPECT_EQ(result.warnings, Lines{});
        EXPECT_EQ(result.config.reward_kill, 100u);
    }
    std::remove(fifo.c_str());
    std::remove(oversized.c_str());
}

}  // namespace
}  // namespace ironpost
