#pragma once

// The process's backend HTTP client. In worker mode a post is handed to a
// thread of its own and answered at once with a queued placeholder; the real
// answers are drained on the main thread each frame. In direct mode a post
// blocks the caller for at most the exchange bound. Everything here but the
// worker threads' own job runs on the main thread.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ironpost_backend_transport.h"

namespace ironpost {

// The placeholder a worker-mode post answers with (status 202).
inline constexpr char kBackendWorkerQueuedBody[] =
    "{\"accepted\":true,\"relay\":{\"accepted\":true,\"errors\":[],\"extrinsicStatus\":\"queued\"}"
    "}";
// Bounds on what the client keeps: the last requests posted, and answers the
// frame loop has not drained yet (they only pile up while detached).
inline constexpr std::size_t kBackendWorkerRequestLogSize = 256;
inline constexpr std::size_t kBackendWorkerCompletionLimit = 256;
// A worker marks itself finished just before it returns, but joining it then
// waits until the scheduler runs its last instructions, which on a loaded
// host can take a good part of a second. The frame joins a finished thread
// only this long after it first saw it finished; detach joins at once.
inline constexpr std::uint64_t kFinishedThreadJoinGraceMs = 1000;
// At most this many finished threads wait for their join; older ones are
// joined at once, so a burst of posts cannot pile up thread stacks.
inline constexpr std::size_t kFinishedThreadsKeptLimit = 8;

// A finished worker job with the request it answers.
struct BackendWorkerCompletion {
    BackendHttpPostRequest request;
    BackendHttpResponse response;
    std::uint64_t queued_at_ms = 0;     // steady clock
    std::uint64_t completed_at_ms = 0;  // steady clock
};

struct BackendWorkerEndpointStatus {
    std::string endpoint;     // the URL's path
    std::string last_status;  // "never", "queued", "dropped", "succeeded", "failed"
    std::int32_t last_status_code = 0;
    std::uint64_t updated_at_ms = 0;  // steady clock
    std::string last_error;
};

struct BackendWorkerHealth {
    bool enabled = false;
    std::size_t queued_jobs = 0;
    std::size_t active_jobs = 0;
    std::size_t completed_jobs = 0;     // waiting to be drained
    std::uint64_t dropped_jobs = 0;     // posts refused without being sent
    std::uint64_t completed_total = 0;  // worker jobs collected
    std::uint64_t oldest_queued_age_ms = 0;
    std::string last_error;
    std::vector<BackendWorkerEndpointStatus> endpoints;  // first-use order
    std::uint64_t dropped_completions = 0;               // answers lost to the undrained bound
};

// How a job's request is sent; SubmitPlainHttpPost outside tests.
using BackendPostFunction = std::function<BackendHttpResponse(
    const BackendHttpPostRequest& request, std::uint32_t timeout_ms, PluginThread* unfinished)>;
// How a job's thread is started; may throw std::system_error.
using BackendThreadStarter = std::function<std::thread(std::function<void()> body)>;

// Monotonic milliseconds, for the client's own ages and time stamps.
[[nodiscard]] std::uint64_t NowSteadyMs();

// The path of an absolute or relative URL; the whole text when it has none.
[[nodiscard]] std::string EndpointPathFromUrl(const std::string& url);

class MetamodProcessBackendHttpClient final : public BackendHttpClient {
  public:
    MetamodProcessBackendHttpClient();
    // Test seam: stand-ins for the network call and the thread start.
    MetamodProcessBackendHttpClient(BackendPostFunction post, BackendThreadStarter start);
    // Waits for every thread the client started (at process exit).
    ~MetamodProcessBackendHttpClient() override;
    MetamodProcessBackendHttpClient(const MetamodProcessBackendHttpClient&) = delete;
    MetamodProcessBackendHttpClient& operator=(const MetamodProcessBackendHttpClient&) = delete;

    // Worker mode: starts a worker and answers 202 with kBackendWorkerQueuedBody,
    // or refuses with 503 ("backend_worker_queue_full", "backend_worker_stopped",
    // "backend_worker_start_failed: ..."). Direct mode: the answer itself.
    // A request's `persist_before_send` runs on its worker before the post,
    // and otherwise (direct mode, a refusal, a scripted answer) on the caller.
    [[nodiscard]] BackendHttpResponse PostJson(const BackendHttpPostRequest& request) override;

    // 0 means kDefaultHttpTimeoutMs; applies to posts made afterwards.
    void SetTimeoutMs(std::uint32_t timeout_ms);
    // Applied at every attach; a queue size of 0 means 1. Also reopens a
    // client that StopAndWait closed.
    void SetWorkerOptions(bool enabled, std::uint32_t queue_size);

    // Before the plugin's code may be unmapped: refuses further posts, waits
    // at most `max_wait_ms` for every thread the client started, collects the
    // answers that arrived, and returns how many threads still run. If any do,
    // the module is kept mapped for good (see ModulePinned).
    [[nodiscard]] std::size_t StopAndWait(std::uint32_t max_wait_ms);
    // True once an extra reference to the module was taken because threads
    // outlived StopAndWait; it is never released.
    [[nodiscard]] bool ModulePinned() const { return module_pinned_; }
    [[nodiscard]] bool Accepting() const { return accepting_; }
    // Threads started and not yet joined, running or finished.
    [[nodiscard]] std::size_t UnjoinedThreadCount() const { return threads_.size(); }

    // Moves finished workers' answers to the undrained completions.
    void DrainCompletedWorkers();
    // Collects finished workers, then returns and forgets every undrained
    // completion, oldest first.
    [[nodiscard]] std::vector<BackendWorkerCompletion> DrainCompletedResponses();
    // The next post returns `response` without sending anything.
    void QueueResponse(BackendHttpResponse response);
    // Records the latest outcome for the request's endpoint.
    void RecordEndpointStatus(const BackendHttpPostRequest& request, const std::string& status,
                              std::int32_t status_code, const std::string& error);
    [[nodiscard]] BackendWorkerHealth WorkerHealth() const;
    // Posts since construction or the last Clear (not bounded by the log).
    [[nodiscard]] std::size_t CallCount() const { return call_count_; }
    // The last kBackendWorkerRequestLogSize requests posted, oldest first.
    [[nodiscard]] const std::deque<BackendHttpPostRequest>& Requests() const { return requests_; }
    // Forgets scripted answers, the request log, undrained completions and the
    // endpoint table; the health counters stay.
    void Clear();

  private:
    struct ActiveWorker {
        // Shared with the worker, which reads it only until its answer is
        // set; once the answer is ready the main thread moves it out.
        std::shared_ptr<BackendHttpPostRequest> request;
        std::future<BackendHttpResponse> response;
        std::uint64_t queued_at_ms = 0;
    };

    [[nodiscard]] BackendHttpResponse Refuse(const BackendHttpPostRequest& request,
                                             const std::string& error);
    [[nodiscard]] bool StartWorker(const BackendHttpPostRequest& request, std::string& error);
    void KeepThread(PluginThread thread);
    // Joins threads whose finish was first seen at least `grace_ms` ago.
    void JoinFinishedThreads(std::uint64_t grace_ms);
    void AddCompletion(BackendWorkerCompletion completion);

    BackendPostFunction post_;
    BackendThreadStarter start_;
    std::deque<BackendHttpResponse> queued_responses_;
    std::deque<BackendHttpPostRequest> requests_;
    std::vector<ActiveWorker> workers_;
    std::deque<BackendWorkerCompletion> completed_responses_;
    std::vector<BackendWorkerEndpointStatus> endpoint_statuses_;
    struct KeptThread {
        PluginThread thread;
        std::uint64_t seen_finished_ms = 0;  // steady time its finish was first seen; 0 not yet
    };
    std::vector<KeptThread> threads_;  // workers and lookups not yet joined
    std::uint32_t timeout_ms_ = kDefaultHttpTimeoutMs;
    bool worker_enabled_ = false;
    std::uint32_t worker_queue_size_ = 64;
    bool accepting_ = true;
    bool module_pinned_ = false;
    std::size_t call_count_ = 0;
    std::uint64_t dropped_jobs_ = 0;
    std::uint64_t completed_total_ = 0;
    std::uint64_t dropped_completions_ = 0;
    std::string last_error_;
};

}  // namespace ironpost
