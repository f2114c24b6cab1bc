// Any bytes as what players and the console type: the command helpers on
// their own, then a loaded host (players seated, a round running) fed one
// command per input line, menu keys included, with frames in between so
// menus expire and settlements are followed. Each line is a slot byte, a
// clock byte, then the command word and its arguments separated by tabs;
// a slot byte of 0xFF runs a frame instead.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_server_config.h"
#include "ironpost_engine_bridge.h"
#include "ironpost_plugin_host.h"

namespace {

using namespace ironpost;

class AnsweringClient final : public BackendHttpClient {
  public:
    BackendHttpResponse PostJson(const BackendHttpPostRequest& request) override {
        // The journal write is left out: it syncs to disk and reads nothing
        // from outside.
        if (request.url.find("/v1/plugin/player-balances") != std::string::npos) {
            return {200, balances, ""};
        }
        return {200, settlement, ""};
    }
    std::string balances =
        "{\"players\":[{\"slot\":1,\"linked\":true,\"account\":\"a1\",\"walletBalanceAtomic\":"
        "\"90000\",\"walletBalanceZolt\":\"900\"},{\"slot\":2,\"linked\":true,\"account\":\"a2\","
        "\"walletBalanceAtomic\":\"5\"},{\"slot\":3,\"linked\":false}]}";
    std::string settlement =
        "{\"accepted\":true,\"statusCode\":200,\"status\":\"finalized\",\"relay\":{"
        "\"extrinsicStatus\":\"finalized\",\"errors\":[]},\"errors\":[]}";
};

class QuietSink final : public EngineNotificationSink {
  public:
    void PublishEngineNotification(const EngineNotification&) override {}
};

struct Server {
    AnsweringClient client;
    QuietSink sink;
    fuzz::NoCvars cvars;
    MetamodPluginHost host{client, sink};
    std::uint64_t now_ms = 1000;

    Server() {
        host.SetClock([this] { return now_ms; });
        const std::string config = fuzz::WriteServerConfig(
            "ironpost_alpha_team_policy_enabled 0\nironpost_currency_decimals 2\n");
        if (!host.Attach(config, cvars).status.ok) {
            std::abort();
        }
        const char* teams[] = {"CT", "TERRORIST", "CT", "TERRORIST", "SPECTATOR", "CT"};
        for (std::int32_t slot = 1; slot <= 6; ++slot) {
            const std::string id = slot == 6 ? "" : "STEAM_0:1:" + std::to_string(slot);
            (void)host.OnClientAuthorized({slot, "p" + std::to_string(slot), id, id.empty()});
            (void)host.OnClientTeamChanged({slot, teams[slot - 1]});
        }
        (void)host.OnRoundStart({1});
    }
};

void CheckAmountHelpers(const std::string& text) {
    // A parsed amount is the text's digits, leading zeros aside.
    if (const auto amount = ParseEngineUnsignedAmount(text)) {
        const std::size_t digits = text.find_first_not_of('0');
        const std::string significant = digits == std::string::npos ? "0" : text.substr(digits);
        if (std::to_string(*amount) != significant) {
            std::abort();
        }
    }
    // A typed transfer amount reads back from the way it is shown.
    for (const std::uint32_t decimals : {0U, 2U, 18U, kMaxDisplayedCurrencyDecimals}) {
        if (const auto amount = ParseZoltAmount(text, decimals)) {
            if (ParseZoltAmount(FormatZoltAmount(*amount, decimals), decimals) != amount) {
                std::abort();
            }
        }
    }
}

std::vector<std::string> SplitAt(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t at = text.find(separator); at != std::string::npos;
         at = text.find(separator, start)) {
        parts.push_back(text.substr(start, at - start));
        start = at + 1;
    }
    parts.push_back(text.substr(start));
    return parts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Server* server = new Server();
    const std::string input(reinterpret_cast<const char*>(data), size);
    for (const std::string& line : SplitAt(input, '\n')) {
        if (line.size() < 2) {
            continue;
        }
        server->now_ms += static_cast<std::uint8_t>(line[1]) * 100;
        if (static_cast<std::uint8_t>(line[0]) == 0xFF) {
            (void)server->host.OnFrameTick({server->now_ms});
            continue;
        }
        std::vector<std::string> words = SplitAt(line.substr(2), '\t');
        EngineCommandInput command{static_cast<std::uint8_t>(line[0]) % 9, words[0], {}, 0};
        command.args.assign(words.begin() + 1, words.end());
        (void)NormalizeEngineCommand(command.command);
        for (const std::string& token : EngineCommandTokens(command)) {
            CheckAmountHelpers(token);
        }
        (void)server->host.HandleCommand(command);
    }
    return 0;
}
