#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ironpost_clock.h"
#include "ironpost_engine_bridge.h"
#include "scripted_http_client.h"

namespace ironpost::session_test {
namespace {

constexpr char kMainMenu[] =
    "Iron-Post\n\n1. Balance\n2. Previous round earned\n3. Current session earned\n0. Close";
constexpr char kLinkLine[] = "Link your wallet at ironpost.gg\n";

class EngineCommandsTest : public SessionTest {
  protected:
    EngineCommandResult Run(std::int32_t slot, const std::string& command, Lines args = {},
                            std::uint64_t now_ms = 0) {
        return bridge_.HandleCommand(EngineCommandInput{slot, command, std::move(args), now_ms});
    }
    std::uint32_t Round() const { return session_.Runtime().CurrentRoundState().round_number; }

    EngineEventBridge bridge_{session_};
};

TEST(EngineCommandText, NormalizesWordsAndParsesAmounts) {
    const std::vector<std::pair<std::string, std::string>> words = {
        {"  /ZOLT  ", "zolt"},       {"\"//Crypto_Help\"", "crypto_help"},
        {"' say '", "say"},          {"!zolt", "!zolt"},
        {"/ \"zolt\" ", "zolt"},     {"///", ""},
        {"\"'/Crypto'\"", "crypto"}, {"\"", "\""}};
    for (const auto& [text, normalized] : words) {
        EXPECT_EQ(NormalizeEngineCommand(text), normalized) << text;
    }
    const std::vector<std::pair<std::string, std::optional<std::uint64_t>>> amounts = {
        {"0", 0},   {"007", 7}, {"18446744073709551615", 18446744073709551615ULL},
        {"", {}},   {"-1", {}}, {"18446744073709551616", {}},
        {"1x", {}}, {" 1", {}}, {"+1", {}}};
    for (const auto& [text, amount] : amounts) {
        EXPECT_EQ(ParseEngineUnsignedAmount(text), amount) << text;
    }
    const std::vector<std::tuple<std::uint64_t, std::uint32_t, std::string>> formatted = {
        {1234, 0, "1234"}, {1234, 2, "12.34"}, {5, 3, "0.005"}, {0, 2, "0.00"}, {100, 2, "1.00"}};
    for (const auto& [atomic, decimals, text] : formatted) {
        EXPECT_EQ(FormatZoltAmount(atomic, decimals), text);
    }
    EXPECT_EQ(FormatZoltAmount(1, 4'000'000'000U).size(), kMaxDisplayedCurrencyDecimals + 2);
    const std::vector<std::tuple<std::string, std::uint32_t, std::optional<std::uint64_t>>> typed =
        {{"12", 2, 1200}, {"0.05", 2, 5}, {"7", 0, 7},    {"1.234", 2, {}},
         {"5.", 2, {}},   {".5", 2, {}},  {"1.5", 0, {}}, {"-1", 2, {}}};
    for (const auto& [text, decimals, atomic] : typed) {
        EXPECT_EQ(ParseZoltAmount(text, decimals), atomic) << text;
    }
}

TEST_F(EngineCommandsTest, RoutesEachCommandFromChatAndConsole) {
    LoadOrFail();
    struct Case {
        std::int32_t slot;
        std::string command;
        Lines args;
        bool handled;
        bool accepted;
        std::string word;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {1, "say", {"/ZOLT"}, true, true, "zolt", "zolt_balance_rendered"},
        {1, "say", {"zolt"}, true, true, "zolt", "zolt_balance_rendered"},
        {1, "say", {"\"/zolt 25\""}, true, true, "zolt", "zolt_balance_rendered"},
        {1, "say_team", {"/crypto"}, true, true, "crypto", "crypto_menu_rendered"},
        {1, "\"//Crypto_Help\"", {}, true, true, "crypto_help", "crypto_help_rendered"},
        {1, "say", {}, false, false, "", "empty_command"},
        {1, "say", {"  "}, false, false, "", "empty_command"},
        {1, "say", {"!zolt"}, false, false, "!zolt", "not_ironpost_command"},
        {1, "say", {"/csround 5"}, false, false, "csround", "not_ironpost_command"},
        {1, "menuselect", {"1"}, false, false, "menuselect", "not_ironpost_command"},
        // A player's console reaches the operator commands but may not run them.
        {1, "csround", {"5"}, true, false, "csround", "operator_command_refused"},
        {2, "cssettle", {}, true, false, "cssettle", "operator_command_refused"},
        {0, "csround", {"0"}, true, false, "csround", "invalid_round_number"},
        {0, "csround", {"-1"}, true, false, "csround", "invalid_round_number"},
        {0, "csround", {"1x"}, true, false, "csround", "invalid_round_number"},
        {0, "csround", {"4294967296"}, true, false, "csround", "invalid_round_number"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command + " " + ::testing::PrintToString(c.args));
        const EngineCommandResult result = Run(c.slot, c.command, c.args);
        EXPECT_EQ(result.handled, c.handled);
        EXPECT_EQ(result.accepted, c.accepted);
        EXPECT_EQ(result.command, c.word);
        EXPECT_EQ(result.reason, c.reason);
        EXPECT_FALSE(result.settlement.has_value());
    }
    EXPECT_EQ(Round(), 0u);
    EXPECT_TRUE(client_.requests.empty());

    EXPECT_EQ(Run(0, "csround", {"4294967295"}).reason, "alpha_round_started");
    EXPECT_EQ(Round(), 4294967295u);
    EXPECT_EQ(Run(0, "csround").reason, "invalid_round_number");
}

TEST_F(EngineCommandsTest, PanelsSayWhatIsKnown) {
    EXPECT_EQ(Run(1, "zolt").panel->body,
              "Iron-Post\n\nPlugin session is not loaded.\nAsk an operator to check Metamod and "
              "ironpost.cfg.\n\n0. Close");
    EXPECT_EQ(Run(0, "cssettle").reason, "plugin_session_not_loaded");
    const EngineCommandPanel help = *Run(1, "crypto_help").panel;
    EXPECT_EQ(help.body,
              "Iron-Post\n\nCommands\n/zolt - Show your current ZOLT balance\n/zolt <amount> - "
              "Send ZOLT to a player\n/crypto - Open the Iron-Post menu\n/crypto_help - Show this "
              "help\n\nPlugin session is not "
              "loaded.\n\n0. Close");
    EXPECT_EQ(help.menu_key_mask, 512);
    EXPECT_EQ(help.display_seconds, 15);

    LoadOrFail();
    const EngineCommandPanel menu = *Run(1, "crypto").panel;
    EXPECT_EQ(menu.body, kMainMenu);
    EXPECT_EQ(menu.menu_key_mask, 519);
    EXPECT_TRUE(menu.interactive);

    PluginRuntime& runtime = session_.Runtime();
    PlayerChainProfile linked;
    linked.linked = true;
    linked.fetched_at_ms = 10;
    struct Case {
        std::string what;
        std::optional<PlayerChainProfile> profile;
        bool refresh_fails;
        std::string lines;
    };
    PlayerChainProfile with_balance = linked;
    with_balance.wallet_balance_zolt = "12.5";
    with_balance.source_block = 77;
    PlayerChainProfile unlinked = linked;
    unlinked.linked = false;
    const std::vector<Case> cases = {
        {"no profile", std::nullopt, false, std::string("Balance unavailable\n") + kLinkLine},
        {"only failed refreshes", std::nullopt, true,
         std::string("Balance unavailable\n") + kLinkLine},
        {"linked, empty balance", linked, false, "unknown\n"},
        {"linked, balance and block", with_balance, false, "12.5 ZOLT\nBlock 77\n"},
        {"stale after a failure", with_balance, true, "12.5 ZOLT\nBlock 77\n"},
        {"not linked", unlinked, false, std::string("Wallet not linked\n") + kLinkLine},
    };
    std::int32_t slot = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.profile) {
            PlayerChainProfile profile = *c.profile;
            profile.slot = slot;
            runtime.UpsertPlayerChainProfile(profile);
        }
        if (c.refresh_fails) {
            runtime.MarkPlayerChainProfileRefreshFailure(slot, 99, "http_503");
        }
        const std::string body = "Iron-Post\n\nZOLT Balance\n" + c.lines + "\n0. Close";
        EXPECT_EQ(Run(slot, "say", {"/zolt"}).panel->body, body);
        EXPECT_EQ(BuildCryptoInfoBody(runtime, slot, 1), body);
        ++slot;
    }
}

TEST_F(EngineCommandsTest, OperatorSettlesOnTheMonotonicClockUnderOneSessionName) {
    LoadOrFail("ironpost_backend_retry_max_attempts 3\n");
    ASSERT_TRUE(session_.OnClientAuthorized(1, "alice", "STEAM_0:1:1001", false));
    ASSERT_EQ(Run(0, "csround", {"1"}).reason, "alpha_round_started");

    client_.Reply(503, RejectedReplyBody(503, "busy"));
    const std::uint64_t before = WallClockUnixMs();
    const EngineCommandResult first = Run(0, "cssettle", {}, 42'000);
    const std::uint64_t after = WallClockUnixMs();
    EXPECT_EQ(first.reason, "alpha_round_submit_rejected");
    ASSERT_TRUE(first.settlement && first.settlement->request);
    const std::string prefix = "cs16-alpha-srv-1-1-";
    const std::string request_id = first.settlement->request->request_id;
    ASSERT_EQ(request_id.rfind(prefix, 0), 0u) << request_id;
    const std::uint64_t t = std::stoull(request_id.substr(prefix.size()));
    EXPECT_GE(t, before);
    EXPECT_LE(t, after);
    // The retry falls due on the clock the frame tick compares.
    const std::optional<SettlementRetryState> retry = session_.PendingSettlementRetry();
    ASSERT_TRUE(retry.has_value());
    EXPECT_FALSE(SettlementRetryDue(*retry, 42'000));
    EXPECT_TRUE(SettlementRetryDue(*retry, 44'000));

    ASSERT_EQ(Run(0, "csround").reason, "alpha_round_started");
    EXPECT_EQ(Round(), 2u);
    client_.Reply(200, SettlementReplyBody("any", "included"));
    const EngineCommandResult second = Run(0, "cssettle", {}, 50'000);
    EXPECT_EQ(second.reason, "alpha_round_submitted");
    ASSERT_TRUE(first.settlement->draft && second.settlement && second.settlement->draft);
    const std::string session_id = first.settlement->draft->session_id;
    EXPECT_EQ(second.settlement->draft->session_id, session_id);
    EXPECT_EQ(session_id.rfind("cs16-alpha-session:srv-1:", 0), 0u) << session_id;
}

TEST_F(EngineCommandsTest, AbandonedRoundsAreNamedAfterTheirCause) {
    LoadOrFail("ironpost_backend_url \"http://backend:1\"\n");
    ASSERT_TRUE(session_.Runtime().BeginRound(7));
    const MetamodRoundEndContext c =
        AbandonedRoundEndContext(session_, kSingleHumanTeamSwitchLabel, 1700000000123);
    EXPECT_EQ((Lines{c.session_id, c.request_id, c.received_at, c.server_id, c.map_name_hash,
                     c.previous_round_hash, c.roster_root, c.config_hash}),
              (Lines{"cs16-alpha-single-human-team-switch:srv-1:1700000000123",
                     "cs16-alpha-single-human-team-switch-srv-1-7-1700000000123",
                     "unix-ms:1700000000123", "srv-1", "cs16-alpha-map:live",
                     "cs16-alpha-single-human-team-switch:srv-1:1700000000123:round:6",
                     "cs16-alpha-single-human-team-switch-roster:srv-1:1700000000123:7",
                     "cs16-alpha-config:srv-1:http://backend:1"}));
    EXPECT_EQ(AbandonedRoundEndContext(session_, kEmptyServerLabel, 5).roster_root,
              "cs16-alpha-empty-roster:srv-1:5:7");
}

}  // namespace
}  // namespace ironpost::session_test
