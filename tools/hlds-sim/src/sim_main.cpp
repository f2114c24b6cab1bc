// ironpost-hlds-sim: runs the plugin without a game server. It loads the
// plugin as Metamod-P does into a simulated engine, replays HLDS logs against
// it, relays its backend traffic through a recording tap, and prints a
// summary per round and per player. Exit status: 0 when the plugin behaved
// and every settlement was accepted and included, 1 when not, 2 for a usage
// error, 3 when the plugin could not be loaded.

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "ironpost_backend_transport.h"
#include "ironpost_config.h"
#include "sim_engine.h"
#include "sim_loader.h"
#include "sim_replay.h"
#include "sim_report.h"
#include "sim_tap.h"
#include "sim_threads.h"
#include "sim_usage.h"

namespace fs = std::filesystem;
using namespace ironpost::sim;

namespace {

constexpr char kUsage[] =
    "usage: ironpost-hlds-sim --plugin PLUGIN.so --log FILE|FOLDER [--log ...] [options]\n"
    "  --config FILE          plugin configuration (default: the plugin's defaults)\n"
    "  --set KEY=VALUE        a configuration line after the file's (repeatable)\n"
    "  --backend URL          backend to relay to (default: the configuration's backend_url)\n"
    "  --key-file FILE        server key, installed in the game directory for the plugin\n"
    "  --game-dir DIR         game directory to run in (default: a fresh temporary one)\n"
    "  --speed X              0 = as fast as possible (default), 1 = real time, 2 = twice\n"
    "  --fps N                simulated server frames per second (default 50)\n"
    "  --seed N               seed for simulated purchases and engine randomness (default 1)\n"
    "  --buy-chance P         chance that a human buys a weapon each round (default 0.5)\n"
    "  --max-players N        player slots (default 32)\n"
    "  --drain-seconds S      simulated time allowed for settlements after the log (300)\n"
    "  --finish shutdown|unload  end with a server shutdown (default) or \"meta unload\"\n"
    "  --outage FROM-UNTIL    the backend is down from FROM until UNTIL simulated minutes\n"
    "  --show-engine          print what the engine received from the plugin\n"
    "  --report-json FILE     also write the report as JSON\n";

struct Options {
    std::string plugin;
    std::vector<std::string> logs;
    std::string config;
    std::vector<std::string> settings;
    std::string backend;
    std::string key_file;
    std::string game_dir;
    std::string report_json;
    int max_players = 32;
    bool unload = false;
    ReplayOptions replay;
};

// Removes the temporary server root however the run ends.
struct TemporaryRoot {
    fs::path path;
    ~TemporaryRoot() {
        std::error_code ignored;
        if (!path.empty()) {
            fs::remove_all(path, ignored);
        }
    }
};

bool ParseNumber(const std::string& text, double& value) {
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && end != nullptr && *end == '\0';
}

// "FROM-UNTIL" in simulated minutes.
bool ParseOutage(const std::string& text, ReplayOptions& replay) {
    const std::size_t dash = text.find('-');
    double from = 0;
    double until = 0;
    if (dash == std::string::npos || !ParseNumber(text.substr(0, dash), from) ||
        !ParseNumber(text.substr(dash + 1), until) || from < 0 || until < from) {
        return false;
    }
    replay.outage_from = from * 60;
    replay.outage_until = until * 60;
    return true;
}

bool ParseOptions(int argc, char** argv, Options& options, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--show-engine") {
            options.replay.show_engine = true;
            continue;
        }
        if (i + 1 >= argc) {
            error = "missing value for " + name;
            return false;
        }
        const std::string value = argv[++i];
        double number = 0;
        const bool numeric = ParseNumber(value, number);
        if (name == "--plugin") {
            options.plugin = value;
        } else if (name == "--log") {
            options.logs.push_back(value);
        } else if (name == "--config") {
            options.config = value;
        } else if (name == "--set") {
            options.settings.push_back(value);
        } else if (name == "--backend") {
            options.backend = value;
        } else if (name == "--key-file") {
            options.key_file = value;
        } else if (name == "--game-dir") {
            options.game_dir = value;
        } else if (name == "--report-json") {
            options.report_json = value;
        } else if (name == "--finish" && (value == "unload" || value == "shutdown")) {
            options.unload = value == "unload";
        } else if (name == "--outage" && ParseOutage(value, options.replay)) {
        } else if (name == "--speed" && numeric && number >= 0) {
            options.replay.speed = number;
        } else if (name == "--fps" && numeric && number >= 1 && number <= 1000) {
            options.replay.frames_per_second = number;
        } else if (name == "--seed" && numeric && number >= 0) {
            options.replay.seed = static_cast<std::uint64_t>(number);
        } else if (name == "--buy-chance" && numeric && number >= 0 && number <= 1) {
            options.replay.buy_chance = number;
        } else if (name == "--max-players" && numeric && number >= 1 && number <= 32) {
            options.max_players = static_cast<int>(number);
        } else if (name == "--drain-seconds" && numeric && number >= 0) {
            options.replay.drain_seconds = number;
        } else {
            error = "unknown option or bad value: " + name + " " + value;
            return false;
        }
    }
    if (options.plugin.empty() || options.logs.empty()) {
        error = "--plugin and --log are required";
        return false;
    }
    return true;
}

// "reward_kill=200" or "ironpost_reward_kill 200" as a configuration line.
std::string SettingLine(const std::string& setting) {
    std::string line = setting;
    const std::size_t equals = line.find('=');
    if (equals != std::string::npos && line.find(' ') > equals) {
        line = line.substr(0, equals) + " \"" + line.substr(equals + 1) + "\"";
    }
    return line.rfind("ironpost_", 0) == 0 ? line : "ironpost_" + line;
}

std::string ReadFile(const std::string& path, bool& ok) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    ok = static_cast<bool>(file);
    return text.str();
}

}  // namespace

// The engine and the loader's records live as long as the process, as they
// do in a server: a plugin that stays loaded may still call them at exit.
// Visible outside this file, so that the stores stay and the leak checker
// finds the records from here and reports only what the plugin stranded.
SimEngine* g_engine = nullptr;
PluginLoader* g_loader = nullptr;

int main(int argc, char** argv) {
    Options options;
    std::string error;
    if (!ParseOptions(argc, argv, options, error)) {
        std::cerr << "ironpost-hlds-sim: " << error << "\n" << kUsage;
        return 2;
    }
    // Paths are taken before the simulator moves into the server's root.
    std::vector<std::string> log_paths;
    for (const std::string& log : options.logs) {
        log_paths.push_back(fs::absolute(log).string());
    }
    const std::vector<std::string> files = OrderedLogFiles(log_paths, error);
    if (files.empty()) {
        std::cerr << "ironpost-hlds-sim: " << error << "\n";
        return 2;
    }
    std::string config_text;
    if (!options.config.empty()) {
        bool ok = false;
        config_text = ReadFile(options.config, ok);
        if (!ok) {
            std::cerr << "ironpost-hlds-sim: cannot read " << options.config << "\n";
            return 2;
        }
        config_text += "\n";
    }
    for (const std::string& setting : options.settings) {
        config_text += SettingLine(setting) + "\n";
    }
    const ironpost::ConfigParseResult parsed = ironpost::ParseConfigText(config_text);
    // Frames wait for the plugin's backend work as long as its exchanges may take.
    options.replay.plugin_work_bound_ms =
        static_cast<double>(ironpost::kHttpExchangeTimeoutFactor * parsed.config.http_timeout_ms) +
        2000;
    const std::string upstream =
        options.backend.empty() ? parsed.config.backend_url : options.backend;

    // The server's layout: the game directory under a root the server runs from.
    std::error_code fs_error;
    TemporaryRoot temporary;
    fs::path game_dir;
    if (options.game_dir.empty()) {
        std::string pattern = (fs::temp_directory_path() / "ironpost-hlds-sim-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            std::cerr << "ironpost-hlds-sim: cannot make a temporary directory\n";
            return 2;
        }
        temporary.path = pattern;
        game_dir = temporary.path / "cstrike";
    } else {
        game_dir = fs::absolute(options.game_dir);
    }
    fs::create_directories(game_dir / "addons" / "ironpost", fs_error);
    const std::string plugin_path = fs::absolute(options.plugin).string();
    if (!options.key_file.empty()) {
        fs::copy_file(options.key_file, game_dir / "addons" / "ironpost" / "server.key",
                      fs::copy_options::overwrite_existing, fs_error);
        if (fs_error) {
            std::cerr << "ironpost-hlds-sim: cannot install the key file: " << fs_error.message()
                      << "\n";
            return 2;
        }
        config_text += "ironpost_server_key_file \"addons/ironpost/server.key\"\n";
    }

    BackendTap tap;
    if (!tap.Start(upstream, error)) {
        std::cerr << "ironpost-hlds-sim: " << error << "\n";
        return 2;
    }
    config_text += "// the simulator's relay to " + upstream + "\nironpost_backend_url \"" +
                   tap.Url() + "\"\n";
    std::ofstream(game_dir / "addons" / "ironpost" / "ironpost.cfg") << config_text;
    if (chdir(game_dir.parent_path().c_str()) != 0) {
        std::cerr << "ironpost-hlds-sim: cannot enter " << game_dir.parent_path() << "\n";
        return 2;
    }

    std::cout << "hlds-sim: " << files.size() << " log file(s), plugin " << plugin_path
              << ", backend " << upstream << " (relayed through " << tap.Url() << ")\n";
    CountNewThreads(true);
    g_engine = new SimEngine(options.max_players, game_dir.string(), options.replay.seed);
    g_loader = new PluginLoader(*g_engine);
    SimEngine& engine = *g_engine;
    PluginLoader& loader = *g_loader;
    if (!loader.Load(plugin_path)) {
        std::cout << "hlds-sim: FAILED: the plugin did not load: " << loader.Error() << "\n";
        for (const auto& output : engine.TakeOutputs()) {
            std::cout << "   engine> " << EngineOutputKindName(output.kind) << ": " << output.text
                      << "\n";
        }
        return 3;
    }
    loader.GameInit();
    SimReport report(std::cout);
    report.NoteUsage("the start");
    LogReplay replay(engine, loader, tap, report, options.replay, std::cout);
    if (!replay.Run(files, error)) {
        std::cerr << "ironpost-hlds-sim: " << error << "\n";
        return 2;
    }
    replay.Finish(options.unload);
    report.NoteLongestHook(loader.LongestHookMs(), loader.LongestHook());
    tap.Stop();
    for (const TapExchange& exchange : tap.TakeExchanges()) {
        report.NoteExchange(exchange);
    }

    const Tally refusals = replay.RefusalTotals();
    std::vector<std::string> notes = replay.EngineNotes();
    report.PrintSummary(refusals, notes);
    std::string json = report.Json(refusals);
    std::vector<std::string> failures;
    if (!replay.PluginBehaved()) {
        failures.push_back("the plugin misused the engine or the loader");
    }
    for (const SettlementRecord& settlement : report.Settlements()) {
        if (!settlement.accepted ||
            (settlement.status != "included" && settlement.status != "finalized")) {
            failures.push_back("settlement " + settlement.request_id + " is " + settlement.status);
        }
    }
    for (const std::string& problem : report.IdentityProblems()) {
        failures.push_back(problem);
    }
    for (const std::string& problem : report.Problems()) {
        failures.push_back(problem);
    }
    // The heap samples are the whole process's: what the simulator's own
    // records (every round and settlement, for this report) held at the end
    // lets a long run tell the plugin's share.
    const std::size_t settlement_count = report.Settlements().size();
    const std::uint64_t with_records = SampleProcessUsage().heap_bytes;
    report.ReleaseRecords();
    const std::uint64_t without_records = SampleProcessUsage().heap_bytes;
    const std::uint64_t own = with_records > without_records ? with_records - without_records : 0;
    std::cout << "== The simulator's own records held " << own / 1024 << " KiB of that heap\n";
    if (!options.report_json.empty()) {
        json.insert(json.rfind('}'), ",\"simulatorRecordsBytes\":" + std::to_string(own));
        std::ofstream(options.report_json) << json;
    }
    if (failures.empty()) {
        std::cout << "hlds-sim: OK: " << settlement_count
                  << " settlement(s) accepted and included; no player credited for play the log "
                     "does not show\n";
        return 0;
    }
    std::cout << "hlds-sim: FAILED: " << failures.front();
    if (failures.size() > 1) {
        std::cout << " (and " << failures.size() - 1 << " more)";
    }
    std::cout << "\n";
    return 1;
}
