// The alert hook sees every line of the server's log on the game thread, so
// reading one must stay far below a frame: an ignored line within about a
// microsecond, and the parser well ahead (10x or more) of the one-regex-per-
// form matching the common stats daemons use. Both run over the real sample
// log (or a few written lines when the shared samples are absent).

#include <benchmark/benchmark.h>

#include <cstdint>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "ironpost_hlds_log.h"

namespace {

std::vector<std::string> SampleLines() {
    std::vector<std::string> lines;
    std::ifstream file(std::string(IRONPOST_SHARED_DIR) + "/samples/cs16-de_dust2-2013.log",
                       std::ios::binary);
    std::string line;
    while (std::getline(file, line)) {
        lines.emplace_back(ironpost::StripHldsLogPrefix(line));
    }
    if (lines.empty()) {
        lines = {"\"Ann<3><BOT><CT>\" killed \"Bo<45><BOT><TERRORIST>\" with \"ak47\"",
                 "\"Ann<3><BOT><CT>\" say \"gg\"", "World triggered \"Round_End\"",
                 "Team \"CT\" triggered \"CTs_Win\" (CT \"3\") (T \"1\")",
                 "Server cvar \"mp_logdetail\" = \"3\""};
    }
    return lines;
}

const std::vector<std::string>& Lines() {
    static const std::vector<std::string> lines = SampleLines();
    return lines;
}

// One pattern per form, tried in order until one matches, as the stats
// daemons do; the player group is the usual "name<uid><auth><team>".
struct RegexParser {
    const std::string player = R"re("(.*)<(\d+)><([^<>]*)><([^<>]*)>")re";
    const std::vector<std::regex> forms = {
        std::regex(player + R"re( killed )re" + player + R"re( with "([^"]*)"(.*))re"),
        std::regex(player + R"re( attacked )re" + player + R"re( with "([^"]*)"(.*))re"),
        std::regex(player + R"re( committed suicide with "([^"]*)"(.*))re"),
        std::regex(player + R"re( triggered "weaponstats2?"(.*))re"),
        std::regex(player + R"re( triggered "([^"]*)"(.*))re"),
        std::regex(player + R"re( entered the game)re"),
        std::regex(player + R"re( joined team "([^"]*)"(.*))re"),
        std::regex(player + R"re( disconnected)re"),
        std::regex(player + R"re( connected, address "([^"]*)")re"),
        std::regex(player + R"re( STEAM USERID validated)re"),
        std::regex(player + R"re( changed name to "([^"]*)")re"),
        std::regex(player + R"re( say(_team)? "(.*)"( \(dead\))?)re"),
        std::regex(R"re(Kick: )re" + player + R"re( was kicked by "([^"]*)"(.*))re"),
        std::regex(R"re(World triggered "([^"]*)"(.*))re"),
        std::regex(R"re(Team "([^"]*)" triggered "([^"]*)"(.*))re"),
        std::regex(R"re(Team "([^"]*)" scored "(\d+)" with "(\d+)" players)re"),
        std::regex(R"re((Loading|Started) map "([^"]*)"(.*))re"),
    };

    int Parse(const std::string& line, std::smatch& match) const {
        for (std::size_t i = 0; i < forms.size(); ++i) {
            if (std::regex_match(line, match, forms[i])) {
                return static_cast<int>(i);
            }
        }
        return -1;
    }
};

void BM_ParseSampleLog(benchmark::State& state) {
    for (auto _ : state) {
        for (const std::string& line : Lines()) {
            ironpost::HldsLogLine parsed = ironpost::ParseHldsLogLine(line);
            benchmark::DoNotOptimize(parsed);
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * Lines().size()));
}
BENCHMARK(BM_ParseSampleLog);

// Built once: the patterns are compiled at start-up by the daemons too.
const RegexParser& Parser() {
    static const RegexParser parser;
    return parser;
}

void BM_RegexSampleLog(benchmark::State& state) {
    const RegexParser& parser = Parser();
    std::smatch match;
    for (auto _ : state) {
        for (const std::string& line : Lines()) {
            benchmark::DoNotOptimize(parser.Parse(line, match));
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * Lines().size()));
}
BENCHMARK(BM_RegexSampleLog);

// The per-line cost of reading a line the hook ignores and a kill, for the
// parser and for the regular expressions; hooks_bench times the whole hook on
// the same forms against these.
const std::string& OneLine(std::int64_t form) {
    static const std::string lines[] = {"Server cvar \"mp_logdetail\" = \"3\"\n",
                                        "\"Ann Lee<301><STEAM_0:0:67410624><CT>\" killed "
                                        "\"Bo<45><BOT><TERRORIST>\" with \"ak47\"\n"};
    return lines[form];
}

void BM_ParseOneLine(benchmark::State& state) {
    const std::string& line = OneLine(state.range(0));
    for (auto _ : state) {
        ironpost::HldsLogLine parsed = ironpost::ParseHldsLogLine(line);
        benchmark::DoNotOptimize(parsed);
    }
    state.SetLabel(state.range(0) == 0 ? "ignored" : "kill");
}
BENCHMARK(BM_ParseOneLine)->Arg(0)->Arg(1);

void BM_RegexOneLine(benchmark::State& state) {
    const RegexParser& parser = Parser();
    // The daemons read the line without its line feed.
    const std::string& full = OneLine(state.range(0));
    const std::string line = full.substr(0, full.size() - 1);
    std::smatch match;
    for (auto _ : state) {
        benchmark::DoNotOptimize(parser.Parse(line, match));
    }
    state.SetLabel(state.range(0) == 0 ? "ignored" : "kill");
}
BENCHMARK(BM_RegexOneLine)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
