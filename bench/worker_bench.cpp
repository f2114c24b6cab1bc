// What a backend post costs the game thread in worker mode: the client
// copies the request, starts a thread and updates its endpoint table, and
// answers at once. The network is not involved (the worker's post answers
// at once), and the worker's own run is not timed: the frame never waits
// for it.
//
//   BM_WorkerPostJson/<body bytes>: one post; 1 KiB is a telemetry document,
//     256 KiB a busy round's settlement envelope.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "ironpost_backend_worker.h"

namespace ironpost {
namespace {

std::unique_ptr<MetamodProcessBackendHttpClient> NewClient() {
    auto client = std::make_unique<MetamodProcessBackendHttpClient>(
        [](const BackendHttpPostRequest&, std::uint32_t, PluginThread*) {
            return BackendHttpResponse{200, "{\"accepted\":true}", ""};
        },
        [](std::function<void()> body) { return std::thread(std::move(body)); });
    client->SetWorkerOptions(true, 64);
    return client;
}

void BM_WorkerPostJson(benchmark::State& state) {
    BackendHttpPostRequest request;
    request.url = "http://127.0.0.1:9/v1/plugin/heartbeat";
    request.content_type = "application/json";
    request.headers = {{"X-IronPost-Server-Id", "srv-bench"},
                       {"X-IronPost-Request-Id", "heartbeat-bench-1"}};
    request.body = std::string(static_cast<std::size_t>(state.range(0)), 'x');

    // The client joins a finished thread only a second after it saw it
    // finish; a server posts a few times a second, this loop thousands of
    // times. A fresh client every few posts (its destructor joins them)
    // keeps the kept threads as few as a server has.
    constexpr std::size_t kPostsPerClient = 8;
    std::unique_ptr<MetamodProcessBackendHttpClient> client;
    std::size_t posts = 0;
    for (auto _ : state) {
        state.PauseTiming();
        if (posts++ % kPostsPerClient == 0) {
            client = NewClient();
        }
        state.ResumeTiming();
        const BackendHttpResponse response = client->PostJson(request);
        state.PauseTiming();
        if (response.status_code != 202) {
            state.SkipWithError("the post was not queued");
            return;
        }
        // Collect the worker before the next post, as the frame loop
        // would, so the queue bound is never reached.
        while (client->WorkerHealth().active_jobs != 0 || client->WorkerHealth().queued_jobs != 0) {
            client->DrainCompletedWorkers();
            std::this_thread::yield();
        }
        benchmark::DoNotOptimize(client->DrainCompletedResponses());
        state.ResumeTiming();
    }
}
BENCHMARK(BM_WorkerPostJson)->Arg(1024)->Arg(256 * 1024)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace ironpost

BENCHMARK_MAIN();
