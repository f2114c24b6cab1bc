// Configuration parsing must stay linear in the size of the file: an
// operator's file (or a mistaken one, such as a log passed as the config
// path) is parsed on the game thread at attach. The complexity fit reported
// by Google Benchmark should read O(N).

#include <benchmark/benchmark.h>

#include <string>

#include "ironpost_config.h"

namespace {

// A realistic mix: settings, quoted values with "//" inside, comments,
// blank lines, unknown keys and malformed lines.
std::string ConfigText(std::int64_t lines) {
    static const char* const kLines[] = {
        "ironpost_reward_kill 150\n",
        "ironpost_backend_url \"http://127.0.0.1:8080/api\" // backend\n",
        "// a comment line\n",
        "\n",
        "ironpost_unknown_key 1\n",
        "ironpost_enabled maybe\n",
        "  ironpost_server_id \"srv 12\"\r\n",
    };
    std::string text;
    for (std::int64_t i = 0; i < lines; ++i) {
        text += kLines[i % 7];
    }
    return text;
}

void BM_ParseConfigText(benchmark::State& state) {
    const std::string text = ConfigText(state.range(0));
    for (auto _ : state) {
        ironpost::ConfigParseResult result = ironpost::ParseConfigText(text);
        benchmark::DoNotOptimize(result);
    }
    state.SetComplexityN(state.range(0));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_ParseConfigText)->RangeMultiplier(4)->Range(1 << 8, 1 << 18)->Complexity();

// One very long line (a megabyte value) must not be quadratic either.
void BM_ParseConfigLongLine(benchmark::State& state) {
    const std::string text = "ironpost_build_id \"" +
                             std::string(static_cast<std::size_t>(state.range(0)), 'x') + "\"\n";
    for (auto _ : state) {
        ironpost::ConfigParseResult result = ironpost::ParseConfigText(text);
        benchmark::DoNotOptimize(result);
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ParseConfigLongLine)->RangeMultiplier(4)->Range(1 << 10, 1 << 20)->Complexity();

}  // namespace

BENCHMARK_MAIN();
