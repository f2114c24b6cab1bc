// Built only in the ThreadSanitizer flavour: the worker client with 64
// requests in flight against a loopback backend that serves every connection
// on a thread of its own, and a worker-mode session followed by a frame loop
// that drains the workers' answers, polls and retries until every settlement
// is final. The assertions keep the scenarios honest; the sanitizer is the
// real check.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ironpost_backend_worker.h"
#include "ironpost_plugin_session.h"
#include "loopback_server.h"
#include "scripted_http_client.h"

namespace ironpost::session_test {
namespace {

constexpr int kConcurrentRequests = 64;

std::string HeaderValue(const std::string& request, const std::string& name) {
    const std::size_t at = request.find("\r\n" + name + ": ");
    if (at == std::string::npos) {
        return "";
    }
    const std::size_t start = at + name.size() + 4;
    return request.substr(start, request.find("\r\n", start) - start);
}

std::string RequestPath(const std::string& request) {
    const std::size_t start = request.find(' ') + 1;
    return request.substr(start, request.find(' ', start) - start);
}

// Serves every connection on its own thread through `answer`. The first
// answers wait until kConcurrentRequests connections are open at once (or
// 10 s pass), so the workers really run side by side however slow the
// machine. Bounded: it stops accepting after 60 s and joins every thread on
// destruction.
class ConcurrentBackend {
  public:
    using Answer = std::function<std::string(const std::string& request)>;
    explicit ConcurrentBackend(Answer answer) {
        listener_ = ironpost_test::ListenOnLoopback(kConcurrentRequests * 2, port_);
        accept_ = std::thread([this, answer] {
            std::vector<std::thread> connections;
            for (int waited = 0; !stop_ && waited < 60000; waited += 10) {
                if (!ironpost_test::WaitFor(listener_, POLLIN, 10)) {
                    continue;
                }
                const int fd = ::accept(listener_, nullptr, nullptr);
                connections.emplace_back([this, fd, answer] {
                    const std::string request = ironpost_test::ReadRequest(fd);
                    const int open = ++open_;
                    for (int seen = most_open_; open > seen;) {
                        most_open_.compare_exchange_weak(seen, open);
                    }
                    released_ = released_ || open >= kConcurrentRequests;
                    for (int waited = 0; !released_ && waited < 10000; ++waited) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    }
                    const std::string body = answer(request);
                    --open_;
                    ironpost_test::SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: " +
                                                   std::to_string(body.size()) + "\r\n\r\n" + body);
                    ::close(fd);
                });
            }
            for (std::thread& connection : connections) {
                connection.join();
            }
        });
    }
    ~ConcurrentBackend() {
        stop_ = true;
        accept_.join();
        ::close(listener_);
    }
    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    // The most requests the backend held open at once.
    int MostOpen() const { return most_open_; }

  private:
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<bool> released_{false};
    std::atomic<int> open_{0};
    std::atomic<int> most_open_{0};
    std::thread accept_;
};

// 64 posts in flight at once, each answered with its own request id, drained
// by a frame loop that also reads the client's health while workers run: every
// answer comes back exactly once, to its own request, and nothing is dropped.
TEST(TsanWorkerClient, SixtyFourConcurrentPostsComeBackToTheirOwnRequests) {
    ConcurrentBackend backend([](const std::string& request) {
        return "{\"echo\":\"" + HeaderValue(request, "X-IronPost-Request-Id") + "\"}";
    });
    TempDir dir;
    MetamodProcessBackendHttpClient client;
    client.SetTimeoutMs(20000);
    client.SetWorkerOptions(true, kConcurrentRequests);
    for (int i = 0; i < kConcurrentRequests; ++i) {
        const std::string id = "req-" + std::to_string(i);
        BackendHttpPostRequest post{backend.Url("/v1/plugin/settlements"),
                                    "application/json",
                                    {{"X-IronPost-Request-Id", id}},
                                    "{}",
                                    nullptr};
        if (i % 8 == 0) {
            post.persist_before_send =
                std::make_shared<DurableFileWrite>(dir.Path(id + ".entry"), id);
        }
        ASSERT_EQ(client.PostJson(post).status_code, 202) << id;
    }
    std::set<std::string> answered;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (answered.size() < kConcurrentRequests && std::chrono::steady_clock::now() < deadline) {
        (void)client.WorkerHealth();
        for (const BackendWorkerCompletion& done : client.DrainCompletedResponses()) {
            const std::string id = done.request.headers.at(0).value;
            EXPECT_EQ(done.response.body, "{\"echo\":\"" + id + "\"}") << done.response.error;
            EXPECT_TRUE(answered.insert(id).second) << id << " answered twice";
            if (done.request.persist_before_send) {
                EXPECT_TRUE(std::filesystem::exists(dir.Path(id + ".entry"))) << id;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(answered.size(), std::size_t{kConcurrentRequests});
    EXPECT_EQ(backend.MostOpen(), kConcurrentRequests);
    const BackendWorkerHealth health = client.WorkerHealth();
    EXPECT_EQ(health.dropped_jobs + health.dropped_completions, 0u);
    EXPECT_EQ(client.StopAndWait(5000), 0u);
}

// A worker-mode session with 64 rounds settled in quick succession: each
// post carries its journal write to a worker, the backend answers posts with
// "inBlock" and polls with "finalized", and the frame loop applies the
// answers and sends due polls until nothing is followed and the journal is
// empty.
TEST(TsanWorkerClient, FrameLoopFollowsSixtyFourSettlementsToTheEnd) {
    ConcurrentBackend backend([](const std::string& request) {
        const std::string id = HeaderValue(request, "X-IronPost-Request-Id");
        const bool poll = RequestPath(request) == "/v1/plugin/submission-status";
        return SettlementReplyBody(id, poll ? "finalized" : "inBlock");
    });
    TempDir dir;
    dir.Write("server.key", std::string(kServerKey) + "\n");
    const std::string config = dir.Write(
        "ironpost.cfg", "ironpost_server_key_file \"" + dir.Path("server.key") +
                            "\"\nironpost_backend_url \"" + backend.Url("") +
                            "\"\nironpost_server_id srv-1\nironpost_backend_worker_enabled 1\n"
                            "ironpost_backend_worker_queue_size 64\n"
                            "ironpost_backend_retry_base_delay_ms 100\n");
    MetamodProcessBackendHttpClient client;
    client.SetTimeoutMs(20000);
    client.SetWorkerOptions(true, kConcurrentRequests);
    RecordingCvarRegistry cvars;
    MetamodPluginSession session(client);
    ASSERT_TRUE(session.LoadFromConfigFile(config, cvars).loaded);
    ASSERT_TRUE(session.OnClientAuthorized(1, "alice", "STEAM_0:1:1001", false));
    ASSERT_TRUE(session.OnClientAuthorized(2, "bob", "STEAM_0:0:2002", false));
    ASSERT_TRUE(session.OnClientTeamChanged(1, "TERRORIST"));
    ASSERT_TRUE(session.OnClientTeamChanged(2, "CT"));
    for (std::uint32_t round = 1; round <= kConcurrentRequests; ++round) {
        ASSERT_TRUE(session.OnRoundStart(round));
        ASSERT_TRUE(
            session.OnRoundEnd(RoundContext("round-" + std::to_string(round)), NowSteadyMs())
                .submitted);
    }
    ASSERT_EQ(session.FollowedSettlementIds().size(), std::size_t{kConcurrentRequests});

    // Entries are written by the workers and removed once final.
    const auto journaled = [&] {
        std::size_t count = 0;
        for (const auto& entry : std::filesystem::directory_iterator(dir.Path("outbox"))) {
            count += entry.path().extension() == ".entry";
        }
        return count;
    };
    std::size_t most_journaled = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while (!session.FollowedSettlementIds().empty() &&
           std::chrono::steady_clock::now() < deadline) {
        const std::uint64_t now_ms = NowSteadyMs();
        for (const BackendWorkerCompletion& done : client.DrainCompletedResponses()) {
            (void)session.ApplyBackendSettlementCompletion(done.request, done.response, now_ms);
        }
        (void)session.SubmitDueSettlementRetries(now_ms);
        (void)session.PollDueSettlementStatuses(now_ms);
        (void)session.TakeSessionLogLines();
        most_journaled = std::max(most_journaled, journaled());
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(session.FollowedSettlementIds().empty());
    EXPECT_EQ(backend.MostOpen(), kConcurrentRequests);
    EXPECT_GE(most_journaled, std::size_t{kConcurrentRequests / 2});
    EXPECT_EQ(journaled(), 0u);
    EXPECT_EQ(client.StopAndWait(5000), 0u);
}

}  // namespace
}  // namespace ironpost::session_test
