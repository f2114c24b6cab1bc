#include "ironpost_config.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace ironpost {
namespace {

using Lines = std::vector<std::string>;
using namespace std::string_literals;

TEST(ConfigDefaults, EveryKeyIsPublishedInFieldOrderWithItsRenderedDefault) {
    const std::vector<CvarDefinition> definitions = BuildCvarDefinitions(IronPostConfig());
    ASSERT_EQ(definitions.size(), kConfigKeyCount);
    EXPECT_EQ(definitions.front().name, "ironpost_enabled");
    EXPECT_EQ(definitions.back().name, "ironpost_log_config_hash");
    // A sample of each kind of field, checked against the published table.
    struct Row {
        std::size_t index;
        const char* name;
        const char* value;
        const char* description;
    };
    const Row rows[] = {
        {0, "ironpost_enabled", "1", "Enable Iron-Post features"},
        {3, "ironpost_backend_url", "http://127.0.0.1:8080", "Backend API base URL"},
        {12, "ironpost_http_timeout_ms", "1500", "Backend HTTP timeout milliseconds"},
        {19, "ironpost_round_flush_delay_ms", "250",
         "Delay before flushing a round-end event batch"},
        {29, "ironpost_engine_ui_mode", "menu", "Player UI output mode: menu, chat, or disabled"},
        {37, "ironpost_reward_kill", "100", "Zolt reward per valid kill"},
        {49, "ironpost_on_settlement_timeout", "extend_intermission",
         "Settlement timeout behavior"},
        {68, "ironpost_allow_buy_if_zolt_zero", "0", "Allow paid buys with zero Zolt"},
        {85, "ironpost_server_min_stake_zolt", "100000", "Minimum server stake"},
        {88, "ironpost_log_config_hash", "1", "Log config hashes"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(definitions[row.index].name, row.name);
        EXPECT_EQ(definitions[row.index].default_value, row.value);
        EXPECT_EQ(definitions[row.index].description, row.description);
    }
}

TEST(ConfigDefaults, EveryPublishedNameIsAKeyTheParserAccepts) {
    // Setting each key to its own rendered default must parse cleanly, which
    // proves the parser's key table and the published table agree name for
    // name and type for type.
    std::string text;
    for (const CvarDefinition& definition : BuildCvarDefinitions(IronPostConfig())) {
        text += definition.name + " \"" + definition.default_value + "\"\n";
    }
    const ConfigParseResult result = ParseConfigText(text);
    EXPECT_EQ(result.warnings, Lines{});
    EXPECT_EQ(result.errors, Lines{});
}

TEST(ConfigDefaults, DefinitionsReflectLoadedValues) {
    const ConfigParseResult result =
        ParseConfigText("ironpost_reward_kill 250\nironpost_mode \"\"\nironpost_debug yes\n");
    ASSERT_TRUE(result.errors.empty());
    const std::vector<CvarDefinition> definitions = BuildCvarDefinitions(result.config);
    EXPECT_EQ(definitions[37].default_value, "250");
    EXPECT_EQ(definitions[1].name, "ironpost_mode");
    EXPECT_EQ(definitions[1].default_value, "");
    EXPECT_EQ(definitions[86].default_value, "1");
}

TEST(ConfigParser, BlankAndCommentOnlyTextsKeepDefaults) {
    for (const char* text : {"", "\n\n", "// only a comment\n   \t\n//x", "\r\n\r\n"}) {
        const ConfigParseResult result = ParseConfigText(text);
        EXPECT_EQ(result.warnings, Lines{});
        EXPECT_EQ(result.errors, Lines{});
        EXPECT_EQ(result.config.reward_kill, 100u);
        EXPECT_EQ(result.config.backend_url, "http://127.0.0.1:8080");
    }
}

TEST(ConfigParser, CommentsStartOnlyAtDoubleSlashOutsideQuotes) {
    const ConfigParseResult bare = ParseConfigText("ironpost_backend_url http://127.0.0.1:8080\n");
    EXPECT_EQ(bare.config.backend_url, "http:");
    const ConfigParseResult quoted =
        ParseConfigText("ironpost_backend_url \"http://10.0.0.5:9000/api\" // trailing\n");
    EXPECT_EQ(quoted.config.backend_url, "http://10.0.0.5:9000/api");
    const ConfigParseResult hash = ParseConfigText("ironpost_build_id #7;beta\n");
    EXPECT_EQ(hash.config.build_id, "#7;beta");
    // A lone slash at the end of a line is ordinary text.
    EXPECT_EQ(ParseConfigText("ironpost_build_id a/").config.build_id, "a/");
    // After a closing quote a comment may start again.
    EXPECT_EQ(ParseConfigText("ironpost_build_id \"a\"b//c").config.build_id, "\"a\"b");
}

TEST(ConfigParser, ValuesAreTrimmedAndUnquotedWithoutEscapes) {
    const ConfigParseResult result = ParseConfigText(
        "  ironpost_mode \t  \" spaced \"  \r\n"
        "ironpost_currency_name \"\"\n"
        "ironpost_currency_symbol \"\"\"\"\n"
        "ironpost_build_id \"\n"
        "ironpost_chain_rpc \\\"x\\\"\n");
    EXPECT_EQ(result.errors, Lines{});
    EXPECT_EQ(result.config.mode, " spaced ");
    EXPECT_EQ(result.config.currency_name, "");
    EXPECT_EQ(result.config.currency_symbol, "\"\"");
    EXPECT_EQ(result.config.build_id, "\"");
    EXPECT_EQ(result.config.chain_rpc, "\\\"x\\\"");
}

TEST(ConfigParser, MalformedLinesAndUnknownKeysAreReportedWithLineNumbers) {
    const ConfigParseResult result = ParseConfigText(
        "// header\n"
        "ironpost_enabled\n"
        "IRONPOST_ENABLED 0\n"
        "ironpost_enabled = 1\n"
        "\n"
        "ironpost_reward_kill 250\n"
        "ironpost_unknown_thing 5\n"
        "ironpost_reward_kill -1\n");
    EXPECT_EQ(result.errors,
              (Lines{"line 2: expected cvar name and value", "line 4: expected boolean value",
                     "line 8: expected unsigned integer"}));
    EXPECT_EQ(result.warnings, (Lines{"line 3: unknown cvar IRONPOST_ENABLED",
                                      "line 7: unknown cvar ironpost_unknown_thing"}));
    EXPECT_TRUE(result.config.enabled);
    EXPECT_EQ(result.config.reward_kill, 250u) << "a bad later line keeps the last good value";
}

TEST(ConfigParser, BooleanValues) {
    struct Case {
        const char* value;
        bool ok;
        bool expected;
    };
    const Case cases[] = {
        {"1", true, true},       {"true", true, true},     {"YES", true, true},
        {"On", true, true},      {"\"off\"", true, false}, {"0", true, false},
        {"False", true, false},  {"no", true, false},      {"2", false, true},
        {"\"\"", false, true},   {"y", false, true},       {"t rue", false, true},
        {"\"\"\"", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        const ConfigParseResult result =
            ParseConfigText(std::string("ironpost_enabled ") + c.value + "\n");
        if (c.ok) {
            EXPECT_TRUE(result.errors.empty());
        } else {
            EXPECT_EQ(result.errors, Lines{"line 1: expected boolean value"});
        }
        EXPECT_EQ(result.config.enabled, c.expected);
    }
}

TEST(ConfigParser, UnsignedValues) {
    struct Case {
        const char* key;
        const char* value;
        const char* error;  // nullptr when accepted
    };
    const Case cases[] = {
        {"ironpost_http_timeout_ms", "4294967295", nullptr},
        {"ironpost_http_timeout_ms", "4294967296", "expected uint32 integer"},
        {"ironpost_http_timeout_ms", "99999999999999999999999", "expected uint32 integer"},
        {"ironpost_http_timeout_ms", "\"42\"", nullptr},
        {"ironpost_http_timeout_ms", "0x10", "expected uint32 integer"},
        {"ironpost_reward_kill", "18446744073709551615", nullptr},
        {"ironpost_reward_kill", "18446744073709551616", "expected unsigned integer"},
        {"ironpost_reward_kill", "-5", "expected unsigned integer"},
        {"ironpost_reward_kill", "+5", "expected unsigned integer"},
        {"ironpost_reward_kill", "0x10", "expected unsigned integer"},
        {"ironpost_reward_kill", "1 000", "expected unsigned integer"},
        {"ironpost_reward_kill", "\"\"", "expected unsigned integer"},
        {"ironpost_reward_kill", "12abc", "expected unsigned integer"},
        {"ironpost_reward_kill", "007", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " " + c.value);
        const ConfigParseResult result = ParseConfigText(std::string(c.key) + " " + c.value);
        if (c.error == nullptr) {
            EXPECT_EQ(result.errors, Lines{});
        } else {
            EXPECT_EQ(result.errors, Lines{std::string("line 1: ") + c.error});
        }
    }
    EXPECT_EQ(ParseConfigText("ironpost_http_timeout_ms 4294967295").config.http_timeout_ms,
              4294967295u);
    EXPECT_EQ(ParseConfigText("ironpost_reward_kill 18446744073709551615").config.reward_kill,
              18446744073709551615ull);
    EXPECT_EQ(ParseConfigText("ironpost_reward_kill 007").config.reward_kill, 7u);
    EXPECT_EQ(ParseConfigText("ironpost_http_timeout_ms 4294967296").config.http_timeout_ms, 1500u);
}

TEST(ConfigParser, WindowsLineEndingsParseLikeUnixOnes) {
    const std::string unix_text =
        "ironpost_reward_kill 7\nironpost_mode \"quoted\"\nironpost_debug on\nnope 1\n";
    std::string windows_text;
    for (const char c : unix_text) {
        if (c == '\n') {
            windows_text += '\r';
        }
        windows_text += c;
    }
    const ConfigParseResult a = ParseConfigText(unix_text);
    const ConfigParseResult b = ParseConfigText(windows_text);
    EXPECT_EQ(b.errors, a.errors);
    EXPECT_EQ(b.warnings, a.warnings);
    EXPECT_EQ(b.config.reward_kill, 7u);
    EXPECT_EQ(b.config.mode, "quoted");
    EXPECT_TRUE(b.config.debug);
}

TEST(ConfigParser, LaterLinesWin) {
    const ConfigParseResult result = ParseConfigText(
        "ironpost_server_id first\nironpost_server_id second\nironpost_reward_kill 5\n"
        "ironpost_reward_kill 6\n");
    EXPECT_EQ(result.config.server_id, "second");
    EXPECT_EQ(result.config.reward_kill, 6u);
}

TEST(ConfigParserHostileInput, NulBytesLongLinesAndQuoteRunsNeverCrash) {
    const std::string nul_value =
        "ironpost_build_id a\0b\nironpost_rew\0ard_kill 5\nironpost_reward_kill 1\0"s;
    const ConfigParseResult nul = ParseConfigText(nul_value);
    EXPECT_EQ(nul.config.build_id, "a\0b"s);
    ASSERT_EQ(nul.warnings.size(), 1u);
    EXPECT_EQ(nul.warnings[0], "line 2: unknown cvar ironpost_rew\0ard_kill"s);
    EXPECT_EQ(nul.errors, Lines{"line 3: expected unsigned integer"});

    const std::string long_value(1 << 20, 'x');
    const ConfigParseResult long_line = ParseConfigText("ironpost_build_id " + long_value + "\n");
    EXPECT_EQ(long_line.config.build_id, long_value);
    const ConfigParseResult long_key = ParseConfigText(long_value);
    EXPECT_EQ(long_key.errors, Lines{"line 1: expected cvar name and value"});
    const ConfigParseResult long_slashes = ParseConfigText(std::string(1 << 20, '/'));
    EXPECT_TRUE(long_slashes.errors.empty());

    const ConfigParseResult quotes = ParseConfigText(
        "ironpost_build_id \"\"\"\"\"\"\"\n"
        "ironpost_enabled \"\"\"\"\n"
        "ironpost_reward_kill \"\"\n");
    EXPECT_EQ(quotes.config.build_id, "\"\"\"\"\"");
    EXPECT_EQ(quotes.errors,
              (Lines{"line 2: expected boolean value", "line 3: expected unsigned integer"}));
}

TEST(ConfigParserHostileInput, HundredThousandLinesAreAllCounted) {
    // Proves every line is visited once, with the right number, even in a
    // very long file; the linear-time goal itself is measured by a benchmark.
    std::string text;
    for (int i = 0; i < 100000; ++i) {
        text += (i % 2 == 0) ? "ironpost_reward_kill " + std::to_string(i) + "\n" : "bad\n";
    }
    const ConfigParseResult result = ParseConfigText(text);
    EXPECT_EQ(result.config.reward_kill, 99998u);
    ASSERT_EQ(result.errors.size(), 50000u);
    EXPECT_EQ(result.errors.back(), "line 100000: expected cvar name and value");
}

class ConfigFile : public ::testing::Test {
  protected:
    void TearDown() override { std::remove(path_.c_str()); }
    std::string path_ =
        ::testing::TempDir() + "ironpost_config_test_" + std::to_string(getpid()) + ".cfg";
};

TEST_F(ConfigFile, ReadsTheFileBytesUnchanged) {
    {
        std::ofstream out(path_, std::ios::binary);
        out << "ironpost_reward_kill 42\r\nironpost_server_id \"srv 9\"\r\nnope 1\r\n";
    }
    const ConfigParseResult result = LoadConfigFile(path_);
    EXPECT_EQ(result.config.reward_kill, 42u);
    EXPECT_EQ(result.config.server_id, "srv 9");
    EXPECT_EQ(result.warnings, Lines{"line 3: unknown cvar nope"});
    EXPECT_TRUE(result.errors.empty());
}

TEST_F(ConfigFile, UnreadablePathsGiveOneErrorAndDefaults) {
    for (const std::string& path :
         {std::string("/nonexistent/dir/ironpost.cfg"), std::string(""), ::testing::TempDir()}) {
        SCOPED_TRACE(path);
        const ConfigParseResult result = LoadConfigFile(path);
        EXPECT_EQ(result.errors, Lines{"unable to open config file: " + path});
        EXPECT_TRUE(result.warnings.empty());
        EXPECT_EQ(result.config.reward_kill, 100u);
    }
}

}  // namespace
}  // namespace ironpost
