// The worker client against real loopback peers and stand-in posts: what the
// caller sees at once, what the drain hands back later, and what is left
// running when the plugin is about to be unmapped.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "ironpost_backend_worker.h"
#include "loopback_server.h"

namespace ironpost {
namespace {

using ironpost_test::LoopbackServer;

BackendHttpPostRequest Post(const std::string& url, const std::string& id = "r1") {
    return {url, "application/json", {{"X-IronPost-Request-Id", id}}, "{}", nullptr};
}

// Polls the drain like the frame loop does, for at most 10 s.
std::vector<BackendWorkerCompletion> DrainSoon(MetamodProcessBackendHttpClient& client) {
    std::vector<BackendWorkerCompletion> drained;
    for (int i = 0; i < 1000 && drained.empty(); ++i) {
        drained = client.DrainCompletedResponses();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return drained;
}

std::string Status(const BackendWorkerHealth& health, std::size_t i) {
    const BackendWorkerEndpointStatus& e = health.endpoints.at(i);
    return e.endpoint + " " + e.last_status + " " + std::to_string(e.last_status_code);
}

TEST(BackendWorker, QueuesRefusesAndDrainsAgainstRealPeers) {
    std::promise<void> release;
    std::shared_future<void> gate = release.get_future().share();
    LoopbackServer slow([gate](int fd) {
        const std::string request = ironpost_test::ReadRequest(fd);
        gate.wait_for(std::chrono::seconds(5));
        ironpost_test::SendAll(fd, "HTTP/1.1 404 Not Found\r\n\r\nnope");
        return request;
    });
    LoopbackServer fine(ironpost_test::Answer("HTTP/1.1 204 No Content\r\n\r\n"));
    MetamodProcessBackendHttpClient client;
    client.SetTimeoutMs(5000);
    client.SetWorkerOptions(true, 0);  // a limit of one worker

    // The slow peer has not answered (it cannot before `release`), yet the
    // caller already holds the placeholder.
    const BackendHttpResponse queued = client.PostJson(Post(slow.Url("/v1/plugin/heartbeat")));
    EXPECT_EQ(queued.status_code, 202);
    EXPECT_EQ(queued.body, kBackendWorkerQueuedBody);
    const BackendHttpResponse full = client.PostJson(Post(slow.Url("/v1/plugin/heartbeat"), "r2"));
    EXPECT_EQ(full.status_code, 503);
    EXPECT_EQ(full.error, "backend_worker_queue_full");
    BackendWorkerHealth health = client.WorkerHealth();
    EXPECT_EQ(health.queued_jobs, 1u);
    EXPECT_EQ(health.dropped_jobs, 1u);
    EXPECT_EQ(Status(health, 0), "/v1/plugin/heartbeat dropped 503");
    EXPECT_TRUE(client.DrainCompletedResponses().empty());

    release.set_value();
    const std::vector<BackendWorkerCompletion> first = DrainSoon(client);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].request.headers.at(0).value, "r1");
    EXPECT_EQ(first[0].response.status_code, 404);
    EXPECT_EQ(client.PostJson(Post(fine.Url("/v1/plugin/game-state"))).status_code, 202);
    ASSERT_EQ(DrainSoon(client).size(), 1u);

    health = client.WorkerHealth();
    ASSERT_EQ(health.endpoints.size(), 2u);
    EXPECT_EQ(Status(health, 0), "/v1/plugin/heartbeat failed 404");
    EXPECT_EQ(Status(health, 1), "/v1/plugin/game-state succeeded 204");
    EXPECT_EQ(health.completed_total, 2u);
}

// Whatever the stand-in does, the caller gets an answer and nothing throws.
TEST(BackendWorker, ExceptionsAndRefusedThreadsBecomeAnswers) {
    const auto throwing = [](const BackendHttpPostRequest& request, std::uint32_t,
                             PluginThread*) -> BackendHttpResponse {
        if (request.url == "http://h/boom") {
            throw std::runtime_error("boom");
        }
        throw 7;
    };
    const auto start = [](std::function<void()> body) { return std::thread(std::move(body)); };
    MetamodProcessBackendHttpClient direct(throwing, start);
    EXPECT_EQ(direct.PostJson(Post("http://h/boom")).error, "backend_worker_exception: boom");

    MetamodProcessBackendHttpClient worker(throwing, start);
    worker.SetWorkerOptions(true, 4);
    EXPECT_EQ(worker.PostJson(Post("http://h/boom")).status_code, 202);
    EXPECT_EQ(worker.PostJson(Post("http://h/seven")).status_code, 202);
    EXPECT_EQ(worker.StopAndWait(10000), 0u);
    const std::vector<BackendWorkerCompletion> drained = worker.DrainCompletedResponses();
    ASSERT_EQ(drained.size(), 2u);
    EXPECT_EQ(drained[0].response.error, "backend_worker_exception: boom");
    EXPECT_EQ(drained[1].response.error, "backend_worker_exception");
    EXPECT_EQ(worker.WorkerHealth().endpoints.at(0).last_status, "failed");

    MetamodProcessBackendHttpClient refused(throwing, [](std::function<void()>) -> std::thread {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    });
    refused.SetWorkerOptions(true, 4);
    const BackendHttpResponse answer = refused.PostJson(Post("http://h/x"));
    EXPECT_EQ(answer.status_code, 503);
    EXPECT_EQ(answer.error.rfind("backend_worker_start_failed: ", 0), 0u) << answer.error;
}

// A worker blocked in its post, then only in a name lookup that outlived the
// exchange: both are plugin code still running, so the stop reports them and
// keeps the module mapped, while the answer itself is not held back.
TEST(BackendWorker, StopReportsWhatStillRunsAndPinsTheModule) {
    std::promise<void> post_gate;
    std::promise<void> lookup_gate;
    const std::shared_future<void> post_open = post_gate.get_future().share();
    const std::shared_future<void> lookup_open = lookup_gate.get_future().share();
    MetamodProcessBackendHttpClient client(
        [&](const BackendHttpPostRequest&, std::uint32_t, PluginThread* unfinished) {
            auto finished = std::make_shared<std::atomic<bool>>(false);
            unfinished->finished = finished;
            unfinished->thread = std::thread([lookup_open, finished] {
                lookup_open.wait_for(std::chrono::seconds(10));
                finished->store(true);
            });
            post_open.wait_for(std::chrono::seconds(10));
            return BackendHttpResponse{0, "", "resolve timed out"};
        },
        [](std::function<void()> body) { return std::thread(std::move(body)); });
    client.SetWorkerOptions(true, 4);
    ASSERT_EQ(client.PostJson(Post("http://h/v1/plugin/settlements")).status_code, 202);

    EXPECT_EQ(client.StopAndWait(20), 1u);
    EXPECT_TRUE(client.ModulePinned());
    EXPECT_EQ(client.PostJson(Post("http://h/x")).error, "backend_worker_stopped");

    post_gate.set_value();
    EXPECT_EQ(DrainSoon(client).at(0).response.error, "resolve timed out");
    EXPECT_EQ(client.StopAndWait(20), 1u);
    lookup_gate.set_value();
    EXPECT_EQ(client.StopAndWait(10000), 0u);

    client.SetWorkerOptions(true, 4);  // the next attach
    EXPECT_TRUE(client.Accepting());
}

// A worker that has answered and marked itself finished may not run again
// for a while on a loaded host; the frame must not wait for it to return.
TEST(BackendWorker, TheFrameNeverWaitsForAFinishedWorkerToReturn) {
    std::promise<void> exit_gate;
    const std::shared_future<void> exit_open = exit_gate.get_future().share();
    std::atomic<bool> body_returned{false};
    MetamodProcessBackendHttpClient client(
        [](const BackendHttpPostRequest&, std::uint32_t, PluginThread*) {
            return BackendHttpResponse{200, "{}", ""};
        },
        [&body_returned, exit_open](std::function<void()> body) {
            return std::thread([body = std::move(body), &body_returned, exit_open] {
                body();
                body_returned = true;
                exit_open.wait();
            });
        });
    client.SetWorkerOptions(true, 4);
    ASSERT_EQ(client.PostJson(Post("http://h/v1/plugin/settlements")).status_code, 202);
    for (int i = 0; i < 1000 && !body_returned; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::promise<void> drain_returned;
    std::atomic<bool> released_by_watchdog{false};
    std::thread watchdog([&] {
        if (drain_returned.get_future().wait_for(std::chrono::seconds(3)) !=
            std::future_status::ready) {
            released_by_watchdog = true;
        }
        exit_gate.set_value();
    });
    const std::vector<BackendWorkerCompletion> drained = client.DrainCompletedResponses();
    drain_returned.set_value();
    watchdog.join();
    EXPECT_FALSE(released_by_watchdog);
    EXPECT_EQ(drained.size(), 1u);
    EXPECT_EQ(client.StopAndWait(10000), 0u);  // detach still joins it
}

TEST(BackendWorker, KeepsBoundedLogsAndExactCounts) {
    std::atomic<std::size_t> returned{0};
    MetamodProcessBackendHttpClient client(
        [](const BackendHttpPostRequest&, std::uint32_t, PluginThread*) {
            return BackendHttpResponse{200, "{}", ""};
        },
        [&returned](std::function<void()> body) {
            return std::thread([body = std::move(body), &returned] {
                body();
                ++returned;
            });
        });
    client.SetWorkerOptions(true, 1000);
    const std::size_t posts = kBackendWorkerRequestLogSize + 44;
    for (std::size_t i = 0; i < posts; ++i) {
        ASSERT_EQ(client.PostJson(Post("http://h/p", std::to_string(i))).status_code, 202);
    }
    for (int i = 0; i < 1000 && returned < posts; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    client.DrainCompletedWorkers();  // a burst leaves no pile of finished threads
    EXPECT_LE(client.UnjoinedThreadCount(), kFinishedThreadsKeptLimit);
    ASSERT_EQ(client.StopAndWait(10000), 0u);
    EXPECT_EQ(client.CallCount(), posts);
    ASSERT_EQ(client.Requests().size(), kBackendWorkerRequestLogSize);
    EXPECT_EQ(client.Requests().front().headers.at(0).value, "44");
    const BackendWorkerHealth health = client.WorkerHealth();
    EXPECT_EQ(health.completed_total, posts);
    EXPECT_EQ(health.completed_jobs, kBackendWorkerCompletionLimit);
    EXPECT_EQ(health.dropped_completions, posts - kBackendWorkerCompletionLimit);
}

}  // namespace
}  // namespace ironpost
