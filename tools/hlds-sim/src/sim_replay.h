#pragma once

// Replays HLDS log files against a loaded plugin. The game DLL's lines go to
// the plugin's alert hooks; the engine's own lines (connected, STEAM USERID
// validated, kicked, map loading and start, cvars) never do and only drive
// the simulated engine: the client table, the connect, command and
// disconnect hooks, and map changes with the time restarting at 1.0. Time is
// the log's: each map's time counts from its start, lines of one second are
// spread across it, and frames run in between at a fixed rate. Purchases,
// which logs do not carry, are simulated from a seed through the plugin's
// direct purchase function.

#include <chrono>
#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "ironpost_hlds_log.h"
#include "sim_engine.h"
#include "sim_loader.h"
#include "sim_report.h"
#include "sim_tap.h"

namespace ironpost::sim {

struct ReplayOptions {
    double frames_per_second = 50;
    double speed = 0;  // 0: as fast as possible; 1: real time; 2: twice as fast
    std::uint64_t seed = 1;
    double buy_chance = 0.5;
    bool show_engine = false;
    double drain_seconds = 300;           // simulated time allowed for settlements after the log
    double reconnect_grace_seconds = 90;  // humans not back this long after a map change leave
    // A backend outage in simulated seconds since the first frame: the tap
    // resets every connection from `outage_from` until `outage_until`.
    // How long a frame waits for the plugin's backend work (its exchange bound and a margin).
    double plugin_work_bound_ms = 8000;
    double outage_from = 0;
    double outage_until = 0;
};

// The log files named by `paths` (files, or folders of *.log files), in time
// order: by the first time stamp in each, then by name.
[[nodiscard]] std::vector<std::string> OrderedLogFiles(const std::vector<std::string>& paths,
                                                       std::string& error);

class LogReplay {
  public:
    LogReplay(SimEngine& engine, PluginLoader& loader, BackendTap& tap, SimReport& report,
              const ReplayOptions& options, std::ostream& out);

    // Plays the files one after another; false when one cannot be read.
    bool Run(const std::vector<std::string>& files, std::string& error);
    // Runs frames after the log until every settlement is final or the
    // drain time is used up; then unloads (or shuts the server down).
    void Finish(bool unload);

    // The plugin's refusal counts by rule, and notes on how it behaved as a
    // Metamod-P plugin (hooks without a result code, engine misuse, ...).
    [[nodiscard]] Tally RefusalTotals() const;
    [[nodiscard]] std::vector<std::string> EngineNotes() const;
    [[nodiscard]] bool PluginBehaved() const;

  private:
    struct Line {
        std::int64_t second = 0;  // the log's clock, seconds
        std::string clock;        // "hh:mm:ss"
        std::string text;         // without the engine's prefix
    };

    void PlaySecond(const std::vector<Line>& lines);
    void Handle(const Line& line, double map_time);
    void StartMap(const std::string& map, std::int64_t second);
    void EndMap();
    void AdvanceTo(double map_time);
    void NextFrame();
    void RunFrame();
    void Collect();
    void DropStragglers();

    void OnConnected(const HldsLogPlayer& player, const std::string& address);
    void OnValidated(const HldsLogPlayer& player);
    void OnGameLine(const HldsLogLine& parsed, const std::string& text);
    SimClient* EnsureClient(const HldsLogPlayer& player, bool entering);
    bool ConnectClient(SimClient& client);
    void ClientCommand(SimClient& client, std::vector<std::string> argv, std::string args);
    void Disconnect(SimClient& client);
    void JudgeCombatLine(const HldsLogLine& parsed, const Tally& refusals_before,
                         const std::string& rule_before);
    void SimulateBuys();
    [[nodiscard]] Tally RefusalCountsNow() const;
    [[nodiscard]] std::string Describe(const EngineOutput& output);

    SimEngine& engine_;
    PluginLoader& loader_;
    BackendTap& tap_;
    SimReport& report_;
    ReplayOptions options_;
    std::ostream& out_;
    std::mt19937_64 random_;

    bool map_active_ = false;
    std::string map_;
    std::int64_t map_base_second_ = 0;
    long frame_index_ = 0;        // frames since the map started
    double map_time_ = 1.0;       // the engine's time of the current frame
    double simulated_total_ = 0;  // simulated seconds over all maps, for real-time pacing
    double map_started_at_ = 0;   // simulated_total_ when the map started
    std::chrono::steady_clock::time_point wall_start_ = std::chrono::steady_clock::now();
    int stuck_threads_ = 0;
    std::vector<int> refused_user_ids_;
    std::vector<std::string> notes_;
    long unreadable_lines_ = 0;
    long exchanges_ = 0;
    Tally final_refusals_;  // read before the plugin is unloaded
};

}  // namespace ironpost::sim
