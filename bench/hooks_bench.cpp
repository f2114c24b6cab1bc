// The two hooks the engine calls most, driven the way the loader and the
// engine drive them (the entry points, the installed hook tables and a fake
// engine table): the frame hook every server frame, and the alert hook for
// every line of the server's log. At sys_ticrate 1000 a whole frame is
// 1,000 us. Targets: frame hook idle <= 1 us; ignored line <= 1 us; kill
// line <= 5 us and no slower than a std::regex parse of that line alone
// (BM_RegexOneLine/1 in hlds_log_bench).
//
//   BM_FrameHookIdle/0: attached, 32 players, nothing due.
//   BM_FrameHookIdle/1: the same after a round whose posts failed.
//   BM_FrameHookAfterKill: the same, in the frame after a kill was logged.
//   BM_FrameHookTelemetryDue: a heartbeat and a balance request due in
//     every timed frame (worker mode: posted, not waited for).
//   BM_AlertHookLine/<form>: one log line through the hook, with 32
//     players in a running round: ignored, kill, attack, chat.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "metamod_glue_support.h"

namespace ironpost {
namespace {

using glue_test::LoadedPlugin;

constexpr int kPlayers = 32;

int UserId(int slot) {
    return 100 + slot;
}

std::string Team(int slot) {
    return slot % 2 == 0 ? "CT" : "TERRORIST";
}

// The log's player token for `slot`.
std::string Token(int slot) {
    return "\"player" + std::to_string(slot) + "<" + std::to_string(UserId(slot)) +
           "><STEAM_0:1:" + std::to_string(100000 + slot) + "><" + Team(slot) + ">\"";
}

// An attached plugin with a full server in a running round, its map time
// advanced one millisecond a frame.
class FullServer {
  public:
    explicit FullServer(const std::string& extra_config = "") : plugin_(extra_config) {
        if (plugin_.Load() != 1) {
            return;
        }
        Frame();
        for (int slot = 1; slot <= kPlayers; ++slot) {
            const std::string steam_id = "STEAM_0:1:" + std::to_string(100000 + slot);
            const std::string name = "player" + std::to_string(slot);
            plugin_.Connect(slot, UserId(slot), steam_id.c_str(), name.c_str());
            Log("\"" + name + "<" + std::to_string(UserId(slot)) + "><" + steam_id +
                "><>\" joined team \"" + Team(slot) + "\"");
        }
        Log("World triggered \"Round_Start\"");
        Frame();
        ready_ = true;
    }
    ~FullServer() {
        // The plugin detaches inside LoadedPlugin's destructor; answers still
        // owed are waited for there.
    }

    [[nodiscard]] bool Ready() const { return ready_; }

    void Frame() {
        now_seconds_ += 0.001;
        plugin_.fake.globals.time = static_cast<float>(now_seconds_);
        plugin_.dll.pfnStartFrame();
    }
    // Jumps the map time forward, as a long pause between frames would.
    void Advance(double seconds) { now_seconds_ += seconds; }

    void Log(const std::string& line) {
        plugin_.hooks.pfnAlertMessage(at_logged, "%s", (line + "\n").c_str());
    }
    void LogRaw(const char* line) { plugin_.hooks.pfnAlertMessage(at_logged, "%s", line); }

    // Settles the running round and starts the next, through the log.
    void NextRound() {
        Log("World triggered \"Round_End\"");
        Advance(5.0);
        Frame();
        Log("World triggered \"Round_Start\"");
        Frame();
    }

    // Waits until the workers answered and the frame loop took the answers.
    void SettleWorkers() {
        MetamodProcessBackendHttpClient& client =
            IronpostMetamodProcessEntrypoint().BackendClient();
        while (client.WorkerHealth().active_jobs != 0) {
            std::this_thread::yield();
            client.DrainCompletedWorkers();
        }
        Frame();
        client.Clear();  // the request log would keep every body
    }

  private:
    LoadedPlugin plugin_;
    double now_seconds_ = 1.0;
    bool ready_ = false;
};

void BM_FrameHookIdle(benchmark::State& state) {
    FullServer server;
    if (!server.Ready()) {
        state.SkipWithError("the plugin did not attach");
        return;
    }
    if (state.range(0) == 1) {
        // A settled round whose posts failed (the backend's port is closed):
        // its round events wait for their back-off.
        server.Log(Token(1) + " killed " + Token(2) + " with \"ak47\"");
        server.NextRound();
    }
    server.SettleWorkers();
    for (auto _ : state) {
        server.Frame();
    }
    state.SetLabel(state.range(0) == 0 ? "backend idle" : "backend down, backing off");
}
BENCHMARK(BM_FrameHookIdle)->Arg(0)->Arg(1);

// A frame after a kill was logged: the round's event buffer has changed, but
// nothing is due to be sent.
void BM_FrameHookAfterKill(benchmark::State& state) {
    FullServer server;
    if (!server.Ready()) {
        state.SkipWithError("the plugin did not attach");
        return;
    }
    server.SettleWorkers();
    const std::string kill = Token(1) + " killed " + Token(2) + " with \"ak47\"";
    for (auto _ : state) {
        state.PauseTiming();
        server.Log(kill);
        state.ResumeTiming();
        server.Frame();
    }
}
BENCHMARK(BM_FrameHookAfterKill);

void BM_FrameHookTelemetryDue(benchmark::State& state) {
    FullServer server("ironpost_heartbeat_interval_seconds 1\n");
    if (!server.Ready()) {
        state.SkipWithError("the plugin did not attach");
        return;
    }
    server.SettleWorkers();
    for (auto _ : state) {
        state.PauseTiming();
        server.Advance(1.0);  // the heartbeat is due again
        state.ResumeTiming();
        server.Frame();
        state.PauseTiming();
        server.SettleWorkers();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_FrameHookTelemetryDue)->Unit(benchmark::kMicrosecond);

void BM_AlertHookLine(benchmark::State& state) {
    FullServer server;
    if (!server.Ready()) {
        state.SkipWithError("the plugin did not attach");
        return;
    }
    // Lines for every pair of opponents, so that the anti-farm cap on kills
    // of one victim is not what the kill line measures.
    std::vector<std::string> lines;
    for (int killer = 1; killer <= kPlayers; ++killer) {
        for (int victim = 2 - killer % 2; victim <= kPlayers; victim += 2) {
            switch (state.range(0)) {
                case 0:
                    lines.push_back("Server cvar \"mp_logdetail\" = \"3\"\n");
                    break;
                case 1:
                    lines.push_back(Token(killer) + " killed " + Token(victim) +
                                    " with \"ak47\"\n");
                    break;
                case 2:
                    lines.push_back(Token(killer) + " attacked " + Token(victim) +
                                    " with \"m4a1\" (damage \"33\") (damage_armor \"4\") "
                                    "(health \"67\") (armor \"96\")\n");
                    break;
                default:
                    lines.push_back(Token(killer) + " say \"gg wp\"\n");
                    break;
            }
        }
    }
    // A new round after as many lines as a busy round holds: anti-farm
    // caps and the round's statistics stay those of a real round.
    constexpr std::size_t kLinesPerRound = 512;
    std::size_t next = 0;
    for (auto _ : state) {
        server.LogRaw(lines[next % lines.size()].c_str());
        if (++next % kLinesPerRound == 0) {
            state.PauseTiming();
            server.NextRound();
            server.SettleWorkers();
            state.ResumeTiming();
        }
    }
    static const char* const kForms[] = {"ignored", "kill", "attack", "chat"};
    state.SetLabel(kForms[state.range(0)]);
}
BENCHMARK(BM_AlertHookLine)->DenseRange(0, 3);

}  // namespace
}  // namespace ironpost

BENCHMARK_MAIN();
