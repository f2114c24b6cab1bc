#pragma once

// Configuration record, its file parser and the console variables published
// from it. Every field's configuration key and console variable name is
// "ironpost_" followed by the field name.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace ironpost {

// Every tunable of the plugin with its built-in default. A plain copyable value.
struct IronPostConfig {
    bool enabled = true;
    std::string mode = "web3_casual";
    std::string chain_rpc = "ws://127.0.0.1:9944";
    std::string backend_url = "http://127.0.0.1:8080";
    std::string backend_auth_mode = "none";
    std::string backend_auth_token_file = "addons/ironpost/backend.token";
    std::string backend_auth_header = "Authorization";
    std::string backend_server_id_header = "X-IronPost-Server-Id";
    std::string backend_request_id_header = "X-IronPost-Request-Id";
    std::uint32_t backend_retry_max_attempts = 1;
    std::uint32_t backend_retry_base_delay_ms = 250;
    std::uint32_t backend_retry_max_delay_ms = 2000;
    std::uint32_t http_timeout_ms = 1500;
    std::string server_id = "1";
    std::string server_key_file = "addons/ironpost/server.key";
    std::string wait_for_chain = "included";
    bool auto_settlement_enabled = true;
    std::uint32_t event_buffer_size = 512;
    std::uint32_t heartbeat_interval_seconds = 30;
    std::uint32_t round_flush_delay_ms = 250;
    bool player_feedback_enabled = true;
    bool hud_balance_enabled = true;
    std::uint32_t balance_refresh_seconds = 15;
    std::uint32_t hud_display_seconds = 4;
    std::uint32_t profile_refresh_stale_seconds = 3;
    bool alpha_team_policy_enabled = true;
    std::uint32_t alpha_one_human_bots = 2;
    std::uint32_t alpha_policy_interval_seconds = 1;
    bool alpha_restart_after_policy_change = true;
    std::string engine_ui_mode = "menu";
    bool backend_worker_enabled = true;
    std::uint32_t backend_worker_queue_size = 64;
    std::uint32_t server_command_budget_per_second = 8;
    std::string build_id = "dev";
    std::string currency_name = "Zolt";
    std::string currency_symbol = "ZOLT";
    std::uint32_t currency_decimals = 0;
    std::uint64_t reward_kill = 100;
    std::uint64_t reward_damage = 1;
    std::uint64_t reward_headshot = 0;
    std::uint64_t reward_bomb_plant = 0;
    std::uint64_t reward_bomb_defuse = 0;
    std::uint64_t reward_round_win = 0;
    std::uint64_t supply_cap = 0;
    std::uint64_t player_earn_cap = 0;
    std::uint64_t daily_earn_cap = 0;
    std::string settlement_mode = "round";
    std::uint32_t intermission_seconds = 12;
    std::uint32_t settlement_timeout_seconds = 8;
    std::string on_settlement_timeout = "extend_intermission";
    bool transfer_enabled = true;
    bool transfer_same_server_only = true;
    bool transfer_allow_teammates = true;
    bool transfer_allow_opponents = true;
    bool transfer_allow_spectators = true;
    bool transfer_allow_unlinked_claims = true;
    std::uint64_t transfer_min_zolt = 1;
    std::uint64_t transfer_max_zolt = 0;
    bool transfer_requires_wallet_allowance = true;
    bool free_tier_enabled = true;
    std::string free_pistol_t = "glock";
    std::string free_pistol_ct = "usp";
    std::string free_smg = "mp5navy";
    std::string free_ar_t = "galil";
    std::string free_ar_ct = "famas";
    std::string free_sniper = "scout";
    bool weapon_spend_enabled = true;
    std::string weapon_spend_sink = "burn";
    bool allow_buy_if_zolt_zero = false;
    bool antifarm_enabled = true;
    std::uint32_t antifarm_min_humans = 2;
    bool antifarm_ignore_bots = true;
    bool antifarm_team_damage_rewards = false;
    bool antifarm_round_end_damage_rewards = false;
    bool antifarm_same_victim_enabled = true;
    std::uint32_t antifarm_same_victim_window_seconds = 120;
    std::uint32_t antifarm_same_victim_max_kills = 5;
    bool antifarm_same_ip_rewards = false;
    bool antifarm_lan_rewards = true;
    bool season_enabled = true;
    std::uint32_t season_id = 1;
    std::uint64_t season_points_kill = 100;
    std::uint64_t season_points_damage = 1;
    std::uint64_t season_points_win = 0;
    bool server_staking_required = true;
    std::uint64_t server_min_stake_zolt = 100000;
    bool debug = false;
    bool log_round_batches = true;
    bool log_config_hash = true;
};

// A parsed record plus line-numbered problems. Parsing never stops at a bad
// line; the caller decides whether errors are fatal.
struct ConfigParseResult {
    IronPostConfig config;
    std::vector<std::string> warnings;
    std::vector<std::string> errors;
};

// Parses a whole configuration text held in memory; any bytes are accepted.
[[nodiscard]] ConfigParseResult ParseConfigText(const std::string& text);

// The largest configuration file read; a real one is a few kilobytes.
inline constexpr std::size_t kMaxConfigFileBytes = 1024 * 1024;

// Reads `path` whole and parses it. A path that is not a regular file of at
// most kMaxConfigFileBytes, or cannot be read, gives the defaults and the
// single error "unable to open config file: <path>".
[[nodiscard]] ConfigParseResult LoadConfigFile(const std::string& path);

// The white space every text field of the plugin trims: space, tab, line feed,
// carriage return, vertical tab and form feed.
[[nodiscard]] bool IsAsciiWhitespace(char c);
// `text` without that white space at either end.
[[nodiscard]] std::string TrimAsciiWhitespace(const std::string& text);
// `text` with A to Z lowered; other bytes unchanged.
[[nodiscard]] std::string LowerAscii(std::string text);

// The whole content of the regular file at `path` when it holds at most
// `max_bytes`; nothing when it is missing, unreadable, larger, or not a regular
// file (a FIFO or device could block the game thread at attach or never end).
[[nodiscard]] std::optional<std::string> ReadBoundedRegularFile(const std::string& path,
                                                                std::size_t max_bytes);

// Number of configuration keys (one per field of IronPostConfig).
inline constexpr std::size_t kConfigKeyCount = 89;

// Applies one line's raw value to its field (record, raw value, result, line
// number). A value that does not parse adds a line-numbered error and leaves
// the field as it was.
using ConfigSetter =
    std::function<void(IronPostConfig&, const std::string&, ConfigParseResult&, std::size_t)>;

// The four setter kinds, each bound to one field of the matching type.
[[nodiscard]] ConfigSetter StringSetter(std::string IronPostConfig::*field);
[[nodiscard]] ConfigSetter BoolSetter(bool IronPostConfig::*field);
[[nodiscard]] ConfigSetter Uint32Setter(std::uint32_t IronPostConfig::*field);
[[nodiscard]] ConfigSetter Uint64Setter(std::uint64_t IronPostConfig::*field);

// The key table: every configuration key mapped to its setter. Built once on
// first use (thread-safe) and never changed afterwards.
[[nodiscard]] const std::unordered_map<std::string, ConfigSetter>& Setters();

// One console variable: its name, the value rendered from the loaded
// configuration and a line of help text.
struct CvarDefinition {
    std::string name;
    std::string default_value;
    std::string description;
};

// Receives console variable definitions; the engine-backed implementation
// registers them with the game server. The definition is only valid during
// the call, so implementations copy what they keep.
class CvarRegistry {
  public:
    virtual ~CvarRegistry() = default;
    virtual void RegisterCvar(const CvarDefinition& definition) = 0;
};

// The 89 console variables in field order, values rendered from `config`
// (bools as "1"/"0", integers in decimal, strings unchanged).
[[nodiscard]] std::vector<CvarDefinition> BuildCvarDefinitions(const IronPostConfig& config);

}  // namespace ironpost
