#include "ironpost_config.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <optional>
#include <unordered_map>
#include <utility>

namespace ironpost {
namespace {

std::string LineMessage(std::size_t line_number, const std::string& message) {
    return "line " + std::to_string(line_number) + ": " + message;
}

// Drops one pair of surrounding double quotes; there is no escape syntax, so
// the inside is kept exactly as written.
std::string Unquote(const std::string& raw) {
    std::string value = TrimAsciiWhitespace(raw);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
    }
    return value;
}

std::optional<std::uint64_t> ParseUnsigned(const std::string& raw) {
    const std::string value = Unquote(raw);
    if (value.empty()) {
        return std::nullopt;
    }
    std::uint64_t result = 0;
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    for (const char c : value) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (result > (kMax - digit) / 10) {
            return std::nullopt;
        }
        result = result * 10 + digit;
    }
    return result;
}

// Cuts the line at the first "//" outside double quotes.
std::string StripComment(const std::string& line) {
    bool in_quotes = false;
    for (std::size_t i = 0; i + 1 < line.size(); ++i) {
        if (line[i] == '"') {
            in_quotes = !in_quotes;
        } else if (!in_quotes && line[i] == '/' && line[i + 1] == '/') {
            return line.substr(0, i);
        }
    }
    return line;
}

void ParseLine(const std::string& raw_line, std::size_t line_number, ConfigParseResult& result) {
    const std::string line = TrimAsciiWhitespace(StripComment(raw_line));
    if (line.empty()) {
        return;
    }
    std::size_t key_end = 0;
    while (key_end < line.size() && !IsAsciiWhitespace(line[key_end])) {
        ++key_end;
    }
    const std::string key = line.substr(0, key_end);
    const std::string value = TrimAsciiWhitespace(line.substr(key_end));
    if (key.empty() || value.empty()) {
        result.errors.push_back(LineMessage(line_number, "expected cvar name and value"));
        return;
    }
    const auto& table = Setters();
    const auto setter = table.find(key);
    if (setter == table.end()) {
        result.warnings.push_back(LineMessage(line_number, "unknown cvar " + key));
        return;
    }
    setter->second(result.config, value, result, line_number);
}

std::string RenderBool(bool value) {
    return value ? "1" : "0";
}

}  // namespace

bool IsAsciiWhitespace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string TrimAsciiWhitespace(const std::string& text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && IsAsciiWhitespace(text[begin])) {
        ++begin;
    }
    while (end > begin && IsAsciiWhitespace(text[end - 1])) {
        --end;
    }
    return text.substr(begin, end - begin);
}

std::string LowerAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

ConfigSetter StringSetter(std::string IronPostConfig::*field) {
    return [field](IronPostConfig& config, const std::string& raw, ConfigParseResult&,
                   std::size_t) { config.*field = Unquote(raw); };
}

ConfigSetter BoolSetter(bool IronPostConfig::*field) {
    return [field](IronPostConfig& config, const std::string& raw, ConfigParseResult& result,
                   std::size_t line_number) {
        const std::string value = LowerAscii(Unquote(raw));
        if (value == "1" || value == "true" || value == "yes" || value == "on") {
            config.*field = true;
        } else if (value == "0" || value == "false" || value == "no" || value == "off") {
            config.*field = false;
        } else {
            result.errors.push_back(LineMessage(line_number, "expected boolean value"));
        }
    };
}

ConfigSetter Uint32Setter(std::uint32_t IronPostConfig::*field) {
    return [field](IronPostConfig& config, const std::string& raw, ConfigParseResult& result,
                   std::size_t line_number) {
        const std::optional<std::uint64_t> value = ParseUnsigned(raw);
        if (!value || *value > std::numeric_limits<std::uint32_t>::max()) {
            result.errors.push_back(LineMessage(line_number, "expected uint32 integer"));
            return;
        }
        config.*field = static_cast<std::uint32_t>(*value);
    };
}

ConfigSetter Uint64Setter(std::uint64_t IronPostConfig::*field) {
    return [field](IronPostConfig& config, const std::string& raw, ConfigParseResult& result,
                   std::size_t line_number) {
        const std::optional<std::uint64_t> value = ParseUnsigned(raw);
        if (!value) {
            result.errors.push_back(LineMessage(line_number, "expected unsigned integer"));
            return;
        }
        config.*field = *value;
    };
}

const std::unordered_map<std::string, ConfigSetter>& Setters() {
    static const std::unordered_map<std::string, ConfigSetter> table = {
        {"ironpost_enabled", BoolSetter(&IronPostConfig::enabled)},
        {"ironpost_mode", StringSetter(&IronPostConfig::mode)},
        {"ironpost_chain_rpc", StringSetter(&IronPostConfig::chain_rpc)},
        {"ironpost_backend_url", StringSetter(&IronPostConfig::backend_url)},
        {"ironpost_backend_auth_mode", StringSetter(&IronPostConfig::backend_auth_mode)},
        {"ironpost_backend_auth_token_file",
         StringSetter(&IronPostConfig::backend_auth_token_file)},
        {"ironpost_backend_auth_header", StringSetter(&IronPostConfig::backend_auth_header)},
        {"ironpost_backend_server_id_header",
         StringSetter(&IronPostConfig::backend_server_id_header)},
        {"ironpost_backend_request_id_header",
         StringSetter(&IronPostConfig::backend_request_id_header)},
        {"ironpost_backend_retry_max_attempts",
         Uint32Setter(&IronPostConfig::backend_retry_max_attempts)},
        {"ironpost_backend_retry_base_delay_ms",
         Uint32Setter(&IronPostConfig::backend_retry_base_delay_ms)},
        {"ironpost_backend_retry_max_delay_ms",
         Uint32Setter(&IronPostConfig::backend_retry_max_delay_ms)},
        {"ironpost_http_timeout_ms", Uint32Setter(&IronPostConfig::http_timeout_ms)},
        {"ironpost_server_id", StringSetter(&IronPostConfig::server_id)},
        {"ironpost_server_key_file", StringSetter(&IronPostConfig::server_key_file)},
        {"ironpost_wait_for_chain", StringSetter(&IronPostConfig::wait_for_chain)},
        {"ironpost_auto_settlement_enabled", BoolSetter(&IronPostConfig::auto_settlement_enabled)},
        {"ironpost_event_buffer_size", Uint32Setter(&IronPostConfig::event_buffer_size)},
        {"ironpost_heartbeat_interval_seconds",
         Uint32Setter(&IronPostConfig::heartbeat_interval_seconds)},
        {"ironpost_round_flush_delay_ms", Uint32Setter(&IronPostConfig::round_flush_delay_ms)},
        {"ironpost_player_feedback_enabled", BoolSetter(&IronPostConfig::player_feedback_enabled)},
        {"ironpost_hud_balance_enabled", BoolSetter(&IronPostConfig::hud_balance_enabled)},
        {"ironpost_balance_refresh_seconds",
         Uint32Setter(&IronPostConfig::balance_refresh_seconds)},
        {"ironpost_hud_display_seconds", Uint32Setter(&IronPostConfig::hud_display_seconds)},
        {"ironpost_profile_refresh_stale_seconds",
         Uint32Setter(&IronPostConfig::profile_refresh_stale_seconds)},
        {"ironpost_alpha_team_policy_enabled",
         BoolSetter(&IronPostConfig::alpha_team_policy_enabled)},
        {"ironpost_alpha_one_human_bots", Uint32Setter(&IronPostConfig::alpha_one_human_bots)},
        {"ironpost_alpha_policy_interval_seconds",
         Uint32Setter(&IronPostConfig::alpha_policy_interval_seconds)},
        {"ironpost_alpha_restart_after_policy_change",
         BoolSetter(&IronPostConfig::alpha_restart_after_policy_change)},
        {"ironpost_engine_ui_mode", StringSetter(&IronPostConfig::engine_ui_mode)},
        {"ironpost_backend_worker_enabled", BoolSetter(&IronPostConfig::backend_worker_enabled)},
        {"ironpost_backend_worker_queue_size",
         Uint32Setter(&IronPostConfig::backend_worker_queue_size)},
        {"ironpost_server_command_budget_per_second",
         Uint32Setter(&IronPostConfig::server_command_budget_per_second)},
        {"ironpost_build_id", StringSetter(&IronPostConfig::build_id)},
        {"ironpost_currency_name", StringSetter(&IronPostConfig::currency_name)},
        {"ironpost_currency_symbol", StringSetter(&IronPostConfig::currency_symbol)},
        {"ironpost_currency_decimals", Uint32Setter(&IronPostConfig::currency_decimals)},
        {"ironpost_reward_kill", Uint64Setter(&IronPostConfig::reward_kill)},
        {"ironpost_reward_damage", Uint64Setter(&IronPostConfig::reward_damage)},
        {"ironpost_reward_headshot", Uint64Setter(&IronPostConfig::reward_headshot)},
        {"ironpost_reward_bomb_plant", Uint64Setter(&IronPostConfig::reward_bomb_plant)},
        {"ironpost_reward_bomb_defuse", Uint64Setter(&IronPostConfig::reward_bomb_defuse)},
        {"ironpost_reward_round_win", Uint64Setter(&IronPostConfig::reward_round_win)},
        {"ironpost_supply_cap", Uint64Setter(&IronPostConfig::supply_cap)},
        {"ironpost_player_earn_cap", Uint64Setter(&IronPostConfig::player_earn_cap)},
        {"ironpost_daily_earn_cap", Uint64Setter(&IronPostConfig::daily_earn_cap)},
        {"ironpost_settlement_mode", StringSetter(&IronPostConfig::settlement_mode)},
        {"ironpost_intermission_seconds", Uint32Setter(&IronPostConfig::intermission_seconds)},
        {"ironpost_settlement_timeout_seconds",
         Uint32Setter(&IronPostConfig::settlement_timeout_seconds)},
        {"ironpost_on_settlement_timeout", StringSetter(&IronPostConfig::on_settlement_timeout)},
        {"ironpost_transfer_enabled", BoolSetter(&IronPostConfig::transfer_enabled)},
        {"ironpost_transfer_same_server_only",
         BoolSetter(&IronPostConfig::transfer_same_server_only)},
        {"ironpost_transfer_allow_teammates",
         BoolSetter(&IronPostConfig::transfer_allow_teammates)},
        {"ironpost_transfer_allow_opponents",
         BoolSetter(&IronPostConfig::transfer_allow_opponents)},
        {"ironpost_transfer_allow_spectators",
         BoolSetter(&IronPostConfig::transfer_allow_spectators)},
        {"ironpost_transfer_allow_unlinked_claims",
         BoolSetter(&IronPostConfig::transfer_allow_unlinked_claims)},
        {"ironpost_transfer_min_zolt", Uint64Setter(&IronPostConfig::transfer_min_zolt)},
        {"ironpost_transfer_max_zolt", Uint64Setter(&IronPostConfig::transfer_max_zolt)},
        {"ironpost_transfer_requires_wallet_allowance",
         BoolSetter(&IronPostConfig::transfer_requires_wallet_allowance)},
        {"ironpost_free_tier_enabled", BoolSetter(&IronPostConfig::free_tier_enabled)},
        {"ironpost_free_pistol_t", StringSetter(&IronPostConfig::free_pistol_t)},
        {"ironpost_free_pistol_ct", StringSetter(&IronPostConfig::free_pistol_ct)},
        {"ironpost_free_smg", StringSetter(&IronPostConfig::free_smg)},
        {"ironpost_free_ar_t", StringSetter(&IronPostConfig::free_ar_t)},
        {"ironpost_free_ar_ct", StringSetter(&IronPostConfig::free_ar_ct)},
        {"ironpost_free_sniper", StringSetter(&IronPostConfig::free_sniper)},
        {"ironpost_weapon_spend_enabled", BoolSetter(&IronPostConfig::weapon_spend_enabled)},
        {"ironpost_weapon_spend_sink", StringSetter(&IronPostConfig::weapon_spend_sink)},
        {"ironpost_allow_buy_if_zolt_zero", BoolSetter(&IronPostConfig::allow_buy_if_zolt_zero)},
        {"ironpost_antifarm_enabled", BoolSetter(&IronPostConfig::antifarm_enabled)},
        {"ironpost_antifarm_min_humans", Uint32Setter(&IronPostConfig::antifarm_min_humans)},
        {"ironpost_antifarm_ignore_bots", BoolSetter(&IronPostConfig::antifarm_ignore_bots)},
        {"ironpost_antifarm_team_damage_rewards",
         BoolSetter(&IronPostConfig::antifarm_team_damage_rewards)},
        {"ironpost_antifarm_round_end_damage_rewards",
         BoolSetter(&IronPostConfig::antifarm_round_end_damage_rewards)},
        {"ironpost_antifarm_same_victim_enabled",
         BoolSetter(&IronPostConfig::antifarm_same_victim_enabled)},
        {"ironpost_antifarm_same_victim_window_seconds",
         Uint32Setter(&IronPostConfig::antifarm_same_victim_window_seconds)},
        {"ironpost_antifarm_same_victim_max_kills",
         Uint32Setter(&IronPostConfig::antifarm_same_victim_max_kills)},
        {"ironpost_antifarm_same_ip_rewards",
         BoolSetter(&IronPostConfig::antifarm_same_ip_rewards)},
        {"ironpost_antifarm_lan_rewards", BoolSetter(&IronPostConfig::antifarm_lan_rewards)},
        {"ironpost_season_enabled", BoolSetter(&IronPostConfig::season_enabled)},
        {"ironpost_season_id", Uint32Setter(&IronPostConfig::season_id)},
        {"ironpost_season_points_kill", Uint64Setter(&IronPostConfig::season_points_kill)},
        {"ironpost_season_points_damage", Uint64Setter(&IronPostConfig::season_points_damage)},
        {"ironpost_season_points_win", Uint64Setter(&IronPostConfig::season_points_win)},
        {"ironpost_server_staking_required", BoolSetter(&IronPostConfig::server_staking_required)},
        {"ironpost_server_min_stake_zolt", Uint64Setter(&IronPostConfig::server_min_stake_zolt)},
        {"ironpost_debug", BoolSetter(&IronPostConfig::debug)},
        {"ironpost_log_round_batches", BoolSetter(&IronPostConfig::log_round_batches)},
        {"ironpost_log_config_hash", BoolSetter(&IronPostConfig::log_config_hash)},
    };
    return table;
}

ConfigParseResult ParseConfigText(const std::string& text) {
    ConfigParseResult result;
    std::size_t line_number = 0;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = text.find('\n', start);
        ++line_number;
        ParseLine(text.substr(start, end == std::string::npos ? std::string::npos : end - start),
                  line_number, result);
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return result;
}

std::optional<std::string> ReadBoundedRegularFile(const std::string& path, std::size_t max_bytes) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error) || error) {
        return std::nullopt;
    }
    std::ifstream file(path, std::ios::in | std::ios::binary);
    if (!file) {
        return std::nullopt;
    }
    std::string content;
    char chunk[4096];
    while (file) {
        file.read(chunk, sizeof(chunk));
        const auto count = static_cast<std::size_t>(file.gcount());
        if (content.size() + count > max_bytes) {
            return std::nullopt;
        }
        content.append(chunk, count);
    }
    if (file.bad()) {
        return std::nullopt;
    }
    return content;
}

ConfigParseResult LoadConfigFile(const std::string& path) {
    // A path that is not a regular file (a directory, or a FIFO that would
    // block the game thread at attach), one too large to be a configuration,
    // or one that cannot be read is reported like a missing file rather than
    // as an empty configuration.
    const std::optional<std::string> text = ReadBoundedRegularFile(path, kMaxConfigFileBytes);
    if (!text) {
        ConfigParseResult result;
        result.errors.push_back("unable to open config file: " + path);
        return result;
    }
    return ParseConfigText(*text);
}

std::vector<CvarDefinition> BuildCvarDefinitions(const IronPostConfig& config) {
    return {
        {"ironpost_enabled", RenderBool(config.enabled), "Enable Iron-Post features"},
        {"ironpost_mode", config.mode, "Iron-Post game mode"},
        {"ironpost_chain_rpc", config.chain_rpc, "Chain RPC websocket URL"},
        {"ironpost_backend_url", config.backend_url, "Backend API base URL"},
        {"ironpost_backend_auth_mode", config.backend_auth_mode, "Backend auth mode"},
        {"ironpost_backend_auth_token_file", config.backend_auth_token_file,
         "Backend bearer token file"},
        {"ironpost_backend_auth_header", config.backend_auth_header, "Backend auth header name"},
        {"ironpost_backend_server_id_header", config.backend_server_id_header,
         "Backend server ID header name"},
        {"ironpost_backend_request_id_header", config.backend_request_id_header,
         "Backend request ID header name"},
        {"ironpost_backend_retry_max_attempts", std::to_string(config.backend_retry_max_attempts),
         "Backend retry max attempts"},
        {"ironpost_backend_retry_base_delay_ms", std::to_string(config.backend_retry_base_delay_ms),
         "Backend retry base delay"},
        {"ironpost_backend_retry_max_delay_ms", std::to_string(config.backend_retry_max_delay_ms),
         "Backend retry max delay"},
        {"ironpost_http_timeout_ms", std::to_string(config.http_timeout_ms),
         "Backend HTTP timeout milliseconds"},
        {"ironpost_server_id", config.server_id, "Runtime server ID"},
        {"ironpost_server_key_file", config.server_key_file, "Server signing key path"},
        {"ironpost_wait_for_chain", config.wait_for_chain, "Settlement wait policy"},
        {"ironpost_auto_settlement_enabled", RenderBool(config.auto_settlement_enabled),
         "Enable automatic live round settlement"},
        {"ironpost_event_buffer_size", std::to_string(config.event_buffer_size),
         "Live gameplay event buffer size"},
        {"ironpost_heartbeat_interval_seconds", std::to_string(config.heartbeat_interval_seconds),
         "Plugin heartbeat interval seconds"},
        {"ironpost_round_flush_delay_ms", std::to_string(config.round_flush_delay_ms),
         "Delay before flushing a round-end event batch"},
        {"ironpost_player_feedback_enabled", RenderBool(config.player_feedback_enabled),
         "Enable player-facing Zolt reward feedback"},
        {"ironpost_hud_balance_enabled", RenderBool(config.hud_balance_enabled),
         "Enable player-facing Zolt balance HUD refreshes"},
        {"ironpost_balance_refresh_seconds", std::to_string(config.balance_refresh_seconds),
         "Player balance refresh interval seconds"},
        {"ironpost_hud_display_seconds", std::to_string(config.hud_display_seconds),
         "HUD balance display seconds"},
        {"ironpost_profile_refresh_stale_seconds",
         std::to_string(config.profile_refresh_stale_seconds),
         "Profile command balance cache stale seconds"},
        {"ironpost_alpha_team_policy_enabled", RenderBool(config.alpha_team_policy_enabled),
         "Enable alpha team/bot state machine"},
        {"ironpost_alpha_one_human_bots", std::to_string(config.alpha_one_human_bots),
         "Bots to keep against one human"},
        {"ironpost_alpha_policy_interval_seconds",
         std::to_string(config.alpha_policy_interval_seconds),
         "Alpha team policy tick interval seconds"},
        {"ironpost_alpha_restart_after_policy_change",
         RenderBool(config.alpha_restart_after_policy_change),
         "Restart the round once after alpha team policy changes"},
        {"ironpost_engine_ui_mode", config.engine_ui_mode,
         "Player UI output mode: menu, chat, or disabled"},
        {"ironpost_backend_worker_enabled", RenderBool(config.backend_worker_enabled),
         "Enable bounded backend worker queue"},
        {"ironpost_backend_worker_queue_size", std::to_string(config.backend_worker_queue_size),
         "Backend worker queue size"},
        {"ironpost_server_command_budget_per_second",
         std::to_string(config.server_command_budget_per_second),
         "Maximum alpha policy server commands per second"},
        {"ironpost_build_id", config.build_id, "Loaded Iron-Post plugin build identifier"},
        {"ironpost_currency_name", config.currency_name, "Currency display name"},
        {"ironpost_currency_symbol", config.currency_symbol, "Currency display symbol"},
        {"ironpost_currency_decimals", std::to_string(config.currency_decimals),
         "Currency decimal places"},
        {"ironpost_reward_kill", std::to_string(config.reward_kill), "Zolt reward per valid kill"},
        {"ironpost_reward_damage", std::to_string(config.reward_damage),
         "Zolt reward per valid damage"},
        {"ironpost_reward_headshot", std::to_string(config.reward_headshot),
         "Zolt reward per headshot"},
        {"ironpost_reward_bomb_plant", std::to_string(config.reward_bomb_plant),
         "Zolt reward per bomb plant"},
        {"ironpost_reward_bomb_defuse", std::to_string(config.reward_bomb_defuse),
         "Zolt reward per bomb defuse"},
        {"ironpost_reward_round_win", std::to_string(config.reward_round_win),
         "Zolt reward per round win"},
        {"ironpost_supply_cap", std::to_string(config.supply_cap),
         "Protocol supply cap, zero means uncapped"},
        {"ironpost_player_earn_cap", std::to_string(config.player_earn_cap),
         "Player earn cap, zero means uncapped"},
        {"ironpost_daily_earn_cap", std::to_string(config.daily_earn_cap),
         "Daily earn cap, zero means uncapped"},
        {"ironpost_settlement_mode", config.settlement_mode, "Settlement batching mode"},
        {"ironpost_intermission_seconds", std::to_string(config.intermission_seconds),
         "Intermission length while settlement is pending"},
        {"ironpost_settlement_timeout_seconds", std::to_string(config.settlement_timeout_seconds),
         "Settlement timeout seconds"},
        {"ironpost_on_settlement_timeout", config.on_settlement_timeout,
         "Settlement timeout behavior"},
        {"ironpost_transfer_enabled", RenderBool(config.transfer_enabled),
         "Enable same-session Zolt transfers"},
        {"ironpost_transfer_same_server_only", RenderBool(config.transfer_same_server_only),
         "Restrict transfers to active same-server players"},
        {"ironpost_transfer_allow_teammates", RenderBool(config.transfer_allow_teammates),
         "Allow teammate transfer recipients"},
        {"ironpost_transfer_allow_opponents", RenderBool(config.transfer_allow_opponents),
         "Allow opponent transfer recipients"},
        {"ironpost_transfer_allow_spectators", RenderBool(config.transfer_allow_spectators),
         "Allow spectator transfer recipients"},
        {"ironpost_transfer_allow_unlinked_claims",
         RenderBool(config.transfer_allow_unlinked_claims),
         "Allow unlinked pending-claim recipients"},
        {"ironpost_transfer_min_zolt", std::to_string(config.transfer_min_zolt),
         "Minimum transfer amount"},
        {"ironpost_transfer_max_zolt", std::to_string(config.transfer_max_zolt),
         "Maximum transfer amount, zero means uncapped"},
        {"ironpost_transfer_requires_wallet_allowance",
         RenderBool(config.transfer_requires_wallet_allowance),
         "Require wallet-granted server allowance"},
        {"ironpost_free_tier_enabled", RenderBool(config.free_tier_enabled),
         "Enable free-tier weapons"},
        {"ironpost_free_pistol_t", config.free_pistol_t, "Terrorist free pistol"},
        {"ironpost_free_pistol_ct", config.free_pistol_ct, "Counter-Terrorist free pistol"},
        {"ironpost_free_smg", config.free_smg, "Free SMG"},
        {"ironpost_free_ar_t", config.free_ar_t, "Terrorist free rifle"},
        {"ironpost_free_ar_ct", config.free_ar_ct, "Counter-Terrorist free rifle"},
        {"ironpost_free_sniper", config.free_sniper, "Free sniper"},
        {"ironpost_weapon_spend_enabled", RenderBool(config.weapon_spend_enabled),
         "Enable weapon spend settlement"},
        {"ironpost_weapon_spend_sink", config.weapon_spend_sink, "Weapon spend sink policy"},
        {"ironpost_allow_buy_if_zolt_zero", RenderBool(config.allow_buy_if_zolt_zero),
         "Allow paid buys with zero Zolt"},
        {"ironpost_antifarm_enabled", RenderBool(config.antifarm_enabled),
         "Enable plugin anti-farming filters"},
        {"ironpost_antifarm_min_humans", std::to_string(config.antifarm_min_humans),
         "Minimum humans for rewards"},
        {"ironpost_antifarm_ignore_bots", RenderBool(config.antifarm_ignore_bots),
         "Ignore bots for reward rules"},
        {"ironpost_antifarm_team_damage_rewards", RenderBool(config.antifarm_team_damage_rewards),
         "Reward team damage"},
        {"ironpost_antifarm_round_end_damage_rewards",
         RenderBool(config.antifarm_round_end_damage_rewards), "Reward round-end damage"},
        {"ironpost_antifarm_same_victim_enabled", RenderBool(config.antifarm_same_victim_enabled),
         "Enable repeated-victim filter"},
        {"ironpost_antifarm_same_victim_window_seconds",
         std::to_string(config.antifarm_same_victim_window_seconds), "Repeated-victim window"},
        {"ironpost_antifarm_same_victim_max_kills",
         std::to_string(config.antifarm_same_victim_max_kills), "Repeated-victim max kills"},
        {"ironpost_antifarm_same_ip_rewards", RenderBool(config.antifarm_same_ip_rewards),
         "Reward same-IP kills"},
        {"ironpost_antifarm_lan_rewards", RenderBool(config.antifarm_lan_rewards),
         "Reward LAN players"},
        {"ironpost_season_enabled", RenderBool(config.season_enabled), "Enable season ladder"},
        {"ironpost_season_id", std::to_string(config.season_id), "Active season ID"},
        {"ironpost_season_points_kill", std::to_string(config.season_points_kill),
         "Season points per kill"},
        {"ironpost_season_points_damage", std::to_string(config.season_points_damage),
         "Season points per valid damage"},
        {"ironpost_season_points_win", std::to_string(config.season_points_win),
         "Season points per win"},
        {"ironpost_server_staking_required", RenderBool(config.server_staking_required),
         "Require server stake"},
        {"ironpost_server_min_stake_zolt", std::to_string(config.server_min_stake_zolt),
         "Minimum server stake"},
        {"ironpost_debug", RenderBool(config.debug), "Enable debug logging"},
        {"ironpost_log_round_batches", RenderBool(config.log_round_batches),
         "Log settlement batch payloads"},
        {"ironpost_log_config_hash", RenderBool(config.log_config_hash), "Log config hashes"},
    };
}

}  // namespace ironpost
