// Player and operator commands: normalization, amount parsing, the panels
// players see, the synthetic round-end contexts and EngineEventBridge's
// command handler.

#include <algorithm>
#include <limits>
#include <utility>

#include "ironpost_clock.h"
#include "ironpost_engine_bridge.h"

namespace ironpost {

namespace {

constexpr char kPanelTitle[] = "Iron-Post";
constexpr char kPanelHeader[] = "Iron-Post\n\n";
constexpr char kCloseLine[] = "\n0. Close";
constexpr std::uint16_t kKeyZeroMask = 512;
// Keys 1, 2, 3 and 0.
constexpr std::uint16_t kMainMenuKeyMask = 0x007 | kKeyZeroMask;

bool IsWrappedInQuotes(const std::string& text) {
    if (text.size() < 2) {
        return false;
    }
    const char first = text.front();
    return (first == '"' || first == '\'') && text.back() == first;
}

std::string TrimAndUnquote(std::string text) {
    text = TrimAsciiWhitespace(text);
    while (IsWrappedInQuotes(text)) {
        text = TrimAsciiWhitespace(text.substr(1, text.size() - 2));
    }
    return text;
}

std::vector<std::string> SplitAtWhitespace(const std::string& text) {
    std::vector<std::string> words;
    std::string word;
    for (const char c : text) {
        if (IsAsciiWhitespace(c)) {
            if (!word.empty()) {
                words.push_back(std::move(word));
                word.clear();
            }
        } else {
            word += c;
        }
    }
    if (!word.empty()) {
        words.push_back(std::move(word));
    }
    return words;
}

EngineCommandPanel Panel(std::string body, std::uint16_t mask, std::int32_t seconds,
                         bool interactive) {
    return EngineCommandPanel{kPanelTitle, std::move(body), mask, seconds, interactive};
}

std::string ZoltAmountLine(std::uint64_t atomic, std::uint32_t decimals) {
    return FormatZoltAmount(atomic, decimals) + " ZOLT\n";
}

std::string SyntheticConfigHash(const IronPostConfig& config) {
    return "cs16-alpha-config:" + config.server_id + ":" + config.backend_url;
}

std::string PreviousRoundHash(const std::string& session_id, std::uint32_t round) {
    return session_id + ":round:" + std::to_string(round == 0 ? 0 : round - 1);
}

}  // namespace

std::string NormalizeEngineCommand(const std::string& text) {
    std::string normalized = LowerAscii(TrimAndUnquote(text));
    normalized.erase(0, normalized.find_first_not_of('/'));
    return TrimAndUnquote(std::move(normalized));
}

std::optional<std::uint64_t> ParseEngineUnsignedAmount(const std::string& text) {
    if (text.empty()) {
        return std::nullopt;
    }
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (kMax - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    return value;
}

bool IsSayCommand(const EngineCommandInput& input) {
    const std::string command = NormalizeEngineCommand(input.command);
    return command == "say" || command == "say_team";
}

std::vector<std::string> EngineCommandTokens(const EngineCommandInput& input) {
    if (IsSayCommand(input)) {
        std::string message;
        for (const std::string& arg : input.args) {
            message += (message.empty() ? "" : " ") + arg;
        }
        return SplitAtWhitespace(NormalizeEngineCommand(message));
    }
    std::vector<std::string> tokens;
    if (NormalizeEngineCommand(input.command).empty()) {
        return tokens;
    }
    tokens.push_back(input.command);
    tokens.insert(tokens.end(), input.args.begin(), input.args.end());
    return tokens;
}

std::string FormatZoltAmount(std::uint64_t atomic, std::uint32_t decimals) {
    std::string digits = std::to_string(atomic);
    const std::size_t places = std::min(decimals, kMaxDisplayedCurrencyDecimals);
    if (places == 0) {
        return digits;
    }
    if (digits.size() <= places) {
        digits.insert(0, places + 1 - digits.size(), '0');
    }
    digits.insert(digits.size() - places, 1, '.');
    return digits;
}

std::optional<std::uint64_t> ParseZoltAmount(const std::string& text, std::uint32_t decimals) {
    const std::size_t point = text.find('.');
    const std::size_t places = std::min(decimals, kMaxDisplayedCurrencyDecimals);
    std::string digits = text.substr(0, point);
    if (point != std::string::npos) {
        const std::string fraction = text.substr(point + 1);
        if (fraction.empty() || fraction.size() > places) {
            return std::nullopt;
        }
        digits += fraction;
        digits.append(places - fraction.size(), '0');
    } else {
        digits.append(places, '0');
    }
    return digits.size() == places ? std::nullopt : ParseEngineUnsignedAmount(digits);
}

std::optional<PlayerChainProfile> KnownChainProfileForSlot(const PluginRuntime& runtime,
                                                           std::int32_t slot) {
    std::optional<PlayerChainProfile> profile = runtime.PlayerChainProfileForSlot(slot);
    // A failed refresh keeps the time of the last good one, so a profile
    // that was never fetched has none.
    if (profile && !profile->refresh_ok && profile->fetched_at_ms == 0) {
        return std::nullopt;
    }
    return profile;
}

std::string ZoltBalanceLine(const std::optional<PlayerChainProfile>& profile) {
    if (!profile) {
        return "Balance unavailable";
    }
    if (!profile->linked) {
        return "Wallet not linked";
    }
    return profile->wallet_balance_zolt.empty() ? "unknown"
                                                : profile->wallet_balance_zolt + " ZOLT";
}

std::string BuildZoltBalanceBody(const std::optional<PlayerChainProfile>& profile) {
    std::string body =
        std::string(kPanelHeader) + "ZOLT Balance\n" + ZoltBalanceLine(profile) + "\n";
    if (!profile || !profile->linked) {
        body += std::string("Link your wallet at ") + kWalletLinkHost + "\n";
    }
    if (profile && profile->source_block != 0) {
        body += "Block " + std::to_string(profile->source_block) + "\n";
    }
    return body + kCloseLine;
}

std::optional<std::string> BuildCryptoInfoBody(const PluginRuntime& runtime, std::int32_t slot,
                                               std::uint32_t key, std::uint32_t currency_decimals) {
    switch (key) {
        case 1:
            return BuildZoltBalanceBody(KnownChainProfileForSlot(runtime, slot));
        case 2: {
            const std::optional<LastRoundPlayerEarning> earning =
                runtime.LastRoundEarningForSlot(slot);
            std::string body =
                std::string(kPanelHeader) + "Previous Round Earned\n" +
                ZoltAmountLine(earning ? earning->earned_zolt : 0, currency_decimals);
            if (earning && earning->round_number != 0) {
                body += "Round " + std::to_string(earning->round_number) + "\n";
            }
            return body + kCloseLine;
        }
        case 3: {
            const std::optional<SessionPlayerEarning> earning = runtime.SessionEarningForSlot(slot);
            return std::string(kPanelHeader) + "Current Session Earned\n" +
                   ZoltAmountLine(earning ? earning->earned_zolt : 0, currency_decimals) +
                   kCloseLine;
        }
        default:
            return std::nullopt;
    }
}

EngineCommandPanel BuildCryptoHelpPanel(bool loaded) {
    std::string body = std::string(kPanelHeader) +
                       "Commands\n"
                       "/zolt - Show your current ZOLT balance\n"
                       "/zolt <amount> - Send ZOLT to a player\n"
                       "/crypto - Open the Iron-Post menu\n"
                       "/crypto_help - Show this help\n";
    if (!loaded) {
        body += "\nPlugin session is not loaded.\n";
    }
    return Panel(body + kCloseLine, kKeyZeroMask, 15, false);
}

EngineCommandPanel BuildCommandUnloadedPanel() {
    return Panel(std::string(kPanelHeader) +
                     "Plugin session is not loaded.\n"
                     "Ask an operator to check Metamod and ironpost.cfg.\n" +
                     kCloseLine,
                 kKeyZeroMask, 10, false);
}

EngineCommandPanel BuildZoltBalancePanel(const PluginRuntime& runtime, std::int32_t slot) {
    return Panel(BuildZoltBalanceBody(KnownChainProfileForSlot(runtime, slot)), kKeyZeroMask, 10,
                 false);
}

EngineCommandPanel BuildCryptoMainMenuPanel() {
    return Panel(std::string(kPanelHeader) +
                     "1. Balance\n"
                     "2. Previous round earned\n"
                     "3. Current session earned\n"
                     "0. Close",
                 kMainMenuKeyMask, 15, true);
}

MetamodRoundEndContext AlphaCommandRoundEndContext(const MetamodPluginSession& session,
                                                   std::uint64_t wall_ms) {
    // Every operator settlement of this process belongs to one session,
    // named after the first.
    static const std::uint64_t session_number = wall_ms;
    const IronPostConfig& config = session.Config();
    const std::string round = std::to_string(session.Runtime().CurrentRoundState().round_number);
    const std::string n = std::to_string(session_number);
    MetamodRoundEndContext context;
    context.session_id = "cs16-alpha-session:" + config.server_id + ":" + n;
    context.request_id =
        "cs16-alpha-" + config.server_id + "-" + round + "-" + std::to_string(wall_ms);
    context.received_at = "unix-ms:" + std::to_string(wall_ms);
    context.server_id = config.server_id;
    context.map_name_hash = "cs16-alpha-map:live";
    context.previous_round_hash =
        PreviousRoundHash(context.session_id, session.Runtime().CurrentRoundState().round_number);
    context.roster_root = "cs16-alpha-roster:" + config.server_id + ":" + n + ":" + round;
    context.config_hash = SyntheticConfigHash(config);
    return context;
}

MetamodRoundEndContext AbandonedRoundEndContext(const MetamodPluginSession& session,
                                                const std::string& label, std::uint64_t wall_ms) {
    const IronPostConfig& config = session.Config();
    const std::uint32_t round_number = session.Runtime().CurrentRoundState().round_number;
    const std::string round = std::to_string(round_number);
    const std::string t = std::to_string(wall_ms);
    const std::string prefix = "cs16-alpha-" + label;
    MetamodRoundEndContext context;
    context.session_id = prefix + ":" + config.server_id + ":" + t;
    context.request_id = prefix + "-" + config.server_id + "-" + round + "-" + t;
    context.received_at = "unix-ms:" + t;
    context.server_id = config.server_id;
    context.map_name_hash = "cs16-alpha-map:live";
    context.previous_round_hash = PreviousRoundHash(context.session_id, round_number);
    context.roster_root = prefix + "-roster:" + config.server_id + ":" + t + ":" + round;
    context.config_hash = SyntheticConfigHash(config);
    return context;
}

// ---------------------------------------------------------------------------

EngineCommandResult EngineEventBridge::HandleCommand(const EngineCommandInput& input) {
    EngineCommandResult result;
    const std::vector<std::string> tokens = EngineCommandTokens(input);
    const std::string word = tokens.empty() ? std::string() : NormalizeEngineCommand(tokens[0]);
    if (word.empty()) {
        result.reason = "empty_command";
        return result;
    }
    result.command = word;
    const bool player_command = word == "zolt" || word == "crypto" || word == "crypto_help";
    const bool operator_command = (word == "csround" || word == "cssettle") && !IsSayCommand(input);
    if (!player_command && !operator_command) {
        result.reason = "not_ironpost_command";
        return result;
    }
    result.handled = true;
    // Every client command arrives with the player's slot; rounds are
    // started and settled only by the server itself.
    if (operator_command && input.slot != 0) {
        result.reason = "operator_command_refused";
        return result;
    }

    const bool loaded = IsLoaded();
    if (word == "crypto_help") {
        result.accepted = true;
        result.reason = "crypto_help_rendered";
        result.panel = BuildCryptoHelpPanel(loaded);
        return result;
    }
    if (!loaded) {
        result.accepted = player_command;
        result.reason = player_command ? "command_panel_unloaded" : "plugin_session_not_loaded";
        if (player_command) {
            result.panel = BuildCommandUnloadedPanel();
        }
        return result;
    }
    if (word == "zolt") {
        result.accepted = true;
        result.reason = "zolt_balance_rendered";
        result.panel = BuildZoltBalancePanel(session_.Runtime(), input.slot);
    } else if (word == "crypto") {
        result.accepted = true;
        result.reason = "crypto_menu_rendered";
        result.panel = BuildCryptoMainMenuPanel();
    } else if (word == "csround") {
        StartRoundByHand(tokens, result);
    } else {
        SettleRoundByHand(input.now_ms, result);
    }
    return result;
}

void EngineEventBridge::StartRoundByHand(const std::vector<std::string>& tokens,
                                         EngineCommandResult& result) {
    constexpr std::uint64_t kMaxRound = std::numeric_limits<std::uint32_t>::max();
    std::optional<std::uint64_t> round;
    if (tokens.size() > 1) {
        round = ParseEngineUnsignedAmount(tokens[1]);
    } else {
        round = std::uint64_t{session_.Runtime().CurrentRoundState().round_number} + 1;
    }
    if (!round || *round == 0 || *round > kMaxRound) {
        result.reason = "invalid_round_number";
        return;
    }
    result.accepted = session_.OnRoundStart(static_cast<std::uint32_t>(*round));
    result.reason = result.accepted ? "alpha_round_started" : "alpha_round_start_rejected";
}

void EngineEventBridge::SettleRoundByHand(std::uint64_t now_ms, EngineCommandResult& result) {
    // The wall clock names the settlement; the monotonic `now_ms` times its
    // retries and polls, like every other due time.
    const MetamodRoundEndContext context = AlphaCommandRoundEndContext(session_, WallClockUnixMs());
    result.settlement = session_.OnRoundEnd(context, now_ms);
    if (result.settlement->round_ended) {
        // A live server settles through this command, so its round end must
        // reach the round-events submission like any other.
        RecordBufferedEvent("round_end", now_ms, 0, 0, 0, context.request_id);
    }
    result.accepted = result.settlement->submitted;
    result.reason = result.accepted ? "alpha_round_submitted" : "alpha_round_submit_rejected";
}

}  // namespace ironpost
