// The backend HTTP client of the process: worker threads that keep the game's
// frame off the network, the bounded bookkeeping around them, and the stop
// that makes it safe for the loader to unmap the plugin's code.

#include "ironpost_backend_worker.h"

#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <memory>
#include <utility>

#include "ironpost_settlement_outbox.h"

namespace ironpost {
namespace {

constexpr char kQueueFull[] = "backend_worker_queue_full";
constexpr char kStopped[] = "backend_worker_stopped";

BackendHttpResponse ExceptionResponse(const char* message) {
    BackendHttpResponse response;
    response.error = "backend_worker_exception";
    if (message != nullptr && *message != '\0') {
        response.error += std::string(": ") + message;
    }
    return response;
}

// The post with any exception turned into a failed answer: it runs on worker
// threads, where an escaping exception would end the whole server.
BackendHttpResponse RunPost(const BackendPostFunction& post, const BackendHttpPostRequest& request,
                            std::uint32_t timeout_ms, PluginThread* unfinished) {
    try {
        return post(request, timeout_ms, unfinished);
    } catch (const std::exception& error) {
        return ExceptionResponse(error.what());
    } catch (...) {
        return ExceptionResponse(nullptr);
    }
}

// The request's journal write, on the calling thread; it never throws.
void PersistBeforeSend(const BackendHttpPostRequest& request) {
    if (request.persist_before_send) {
        request.persist_before_send->Perform();
    }
}

bool Finished(const PluginThread& thread) {
    return thread.finished == nullptr || thread.finished->load(std::memory_order_acquire);
}

// Takes a reference to the object file holding this code that is never given
// back, so the loader's dlclose after a detach cannot unmap code that a
// thread still runs. Code in the main program is never unmapped.
bool PinThisModule() {
    Dl_info info{};
    link_map* module = nullptr;
    if (::dladdr1(reinterpret_cast<void*>(&PinThisModule), &info, reinterpret_cast<void**>(&module),
                  RTLD_DL_LINKMAP) == 0 ||
        module == nullptr) {
        return false;
    }
    if (module->l_name == nullptr || module->l_name[0] == '\0') {
        return true;
    }
    return ::dlopen(module->l_name, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;
}

}  // namespace

std::uint64_t NowSteadyMs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

std::string EndpointPathFromUrl(const std::string& url) {
    const std::size_t scheme = url.find("://");
    const std::size_t slash = url.find('/', scheme == std::string::npos ? 0 : scheme + 3);
    return slash == std::string::npos ? url : url.substr(slash);
}

MetamodProcessBackendHttpClient::MetamodProcessBackendHttpClient()
    : MetamodProcessBackendHttpClient(
          [](const BackendHttpPostRequest& request, std::uint32_t timeout_ms,
             PluginThread* unfinished) {
              return SubmitPlainHttpPost(request, timeout_ms, unfinished);
          },
          [](std::function<void()> body) { return std::thread(std::move(body)); }) {}

MetamodProcessBackendHttpClient::MetamodProcessBackendHttpClient(BackendPostFunction post,
                                                                 BackendThreadStarter start)
    : post_(std::move(post)), start_(std::move(start)) {}

MetamodProcessBackendHttpClient::~MetamodProcessBackendHttpClient() {
    for (KeptThread& kept : threads_) {
        if (kept.thread.thread.joinable()) {
            kept.thread.thread.join();
        }
    }
}

BackendHttpResponse MetamodProcessBackendHttpClient::PostJson(
    const BackendHttpPostRequest& request) {
    ++call_count_;
    if (requests_.size() >= kBackendWorkerRequestLogSize) {
        requests_.pop_front();
    }
    requests_.push_back(request);
    DrainCompletedWorkers();
    if (!queued_responses_.empty()) {
        PersistBeforeSend(request);
        BackendHttpResponse scripted = std::move(queued_responses_.front());
        queued_responses_.pop_front();
        return scripted;
    }
    if (!accepting_) {
        return Refuse(request, kStopped);
    }
    if (!worker_enabled_) {
        PersistBeforeSend(request);
        PluginThread lookup;
        BackendHttpResponse response = RunPost(post_, request, timeout_ms_, &lookup);
        KeepThread(std::move(lookup));
        return response;
    }
    if (workers_.size() >= worker_queue_size_) {
        return Refuse(request, kQueueFull);
    }
    std::string error;
    if (!StartWorker(request, error)) {
        return Refuse(request, error);
    }
    RecordEndpointStatus(request, "queued", 202, "");
    return BackendHttpResponse{202, kBackendWorkerQueuedBody, ""};
}

BackendHttpResponse MetamodProcessBackendHttpClient::Refuse(const BackendHttpPostRequest& request,
                                                            const std::string& error) {
    // What the post would have made durable is written even so, here on the
    // caller's thread: only a refused post (a full worker set) pays for it
    // on the frame, and the settlement must outlast this refusal.
    PersistBeforeSend(request);
    last_error_ = error;
    ++dropped_jobs_;
    RecordEndpointStatus(request, "dropped", 503, error);
    return BackendHttpResponse{503, "", error};
}

bool MetamodProcessBackendHttpClient::StartWorker(const BackendHttpPostRequest& request,
                                                  std::string& error) {
    auto answer = std::make_shared<std::promise<BackendHttpResponse>>();
    auto finished = std::make_shared<std::atomic<bool>>(false);
    std::future<BackendHttpResponse> response = answer->get_future();
    // The thread owns copies of everything it touches: the request, the
    // time-out of this moment and the post function. The journal write comes
    // first, so the backend never holds a settlement the journal lacks. Its
    // copy of the request is shared with the completion, which takes it once
    // the answer is set (the worker reads it no more): a settlement's body is
    // large, and each copy of it is a good part of a post's cost on the frame.
    auto shared_request = std::make_shared<BackendHttpPostRequest>(request);
    std::function<void()> body = [post = post_, request = shared_request, timeout_ms = timeout_ms_,
                                  answer, finished] {
        PersistBeforeSend(*request);
        PluginThread lookup;
        answer->set_value(RunPost(post, *request, timeout_ms, &lookup));
        // The answer is out; a lookup that outlived the exchange still runs
        // plugin code, so this thread counts as running until it returns.
        if (lookup.thread.joinable()) {
            lookup.thread.join();
        }
        finished->store(true, std::memory_order_release);
    };
    std::thread thread;
    try {
        thread = start_(std::move(body));
    } catch (const std::exception& failure) {
        error = std::string("backend_worker_start_failed: ") + failure.what();
        return false;
    }
    KeepThread(PluginThread{std::move(thread), std::move(finished)});
    workers_.push_back(ActiveWorker{std::move(shared_request), std::move(response), NowSteadyMs()});
    return true;
}

void MetamodProcessBackendHttpClient::KeepThread(PluginThread thread) {
    if (thread.thread.joinable()) {
        threads_.push_back(KeptThread{std::move(thread), 0});
    }
}

void MetamodProcessBackendHttpClient::JoinFinishedThreads(std::uint64_t grace_ms) {
    const std::uint64_t now_ms = std::max<std::uint64_t>(NowSteadyMs(), 1);
    // Newest first, so the threads kept waiting past the limit are the ones
    // that finished longest ago.
    std::size_t waiting = 0;
    for (std::size_t i = threads_.size(); i-- > 0;) {
        KeptThread& kept = threads_[i];
        if (!Finished(kept.thread)) {
            continue;
        }
        if (kept.seen_finished_ms == 0) {
            kept.seen_finished_ms = now_ms;
        }
        if (now_ms - kept.seen_finished_ms < grace_ms && waiting < kFinishedThreadsKeptLimit) {
            ++waiting;
            continue;
        }
        kept.thread.thread.join();
        threads_.erase(threads_.begin() + static_cast<std::ptrdiff_t>(i));
    }
}

void MetamodProcessBackendHttpClient::AddCompletion(BackendWorkerCompletion completion) {
    if (completed_responses_.size() >= kBackendWorkerCompletionLimit) {
        completed_responses_.pop_front();
        ++dropped_completions_;
    }
    completed_responses_.push_back(std::move(completion));
}

void MetamodProcessBackendHttpClient::SetTimeoutMs(std::uint32_t timeout_ms) {
    timeout_ms_ = timeout_ms == 0 ? kDefaultHttpTimeoutMs : timeout_ms;
}

void MetamodProcessBackendHttpClient::SetWorkerOptions(bool enabled, std::uint32_t queue_size) {
    worker_enabled_ = enabled;
    worker_queue_size_ = queue_size == 0 ? 1 : queue_size;
    accepting_ = true;
}

std::size_t MetamodProcessBackendHttpClient::StopAndWait(std::uint32_t max_wait_ms) {
    accepting_ = false;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(max_wait_ms);
    while (std::any_of(threads_.begin(), threads_.end(),
                       [](const KeptThread& kept) { return !Finished(kept.thread); }) &&
           std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    JoinFinishedThreads(0);
    DrainCompletedWorkers();
    if (!threads_.empty() && !module_pinned_) {
        module_pinned_ = PinThisModule();
    }
    return threads_.size();
}

void MetamodProcessBackendHttpClient::DrainCompletedWorkers() {
    JoinFinishedThreads(kFinishedThreadJoinGraceMs);
    for (auto it = workers_.begin(); it != workers_.end();) {
        if (it->response.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
            ++it;
            continue;
        }
        BackendWorkerCompletion completion;
        try {
            completion.response = it->response.get();
        } catch (const std::exception& error) {
            completion.response = ExceptionResponse(error.what());
        }
        completion.request = std::move(*it->request);
        completion.queued_at_ms = it->queued_at_ms;
        completion.completed_at_ms = NowSteadyMs();
        const BackendHttpResponse& response = completion.response;
        if (!response.error.empty()) {
            last_error_ = response.error;
        }
        const bool succeeded =
            response.status_code >= 200 && response.status_code <= 299 && response.error.empty();
        RecordEndpointStatus(completion.request, succeeded ? "succeeded" : "failed",
                             response.status_code, response.error);
        AddCompletion(std::move(completion));
        ++completed_total_;
        it = workers_.erase(it);
    }
}

std::vector<BackendWorkerCompletion> MetamodProcessBackendHttpClient::DrainCompletedResponses() {
    DrainCompletedWorkers();
    std::vector<BackendWorkerCompletion> drained(
        std::make_move_iterator(completed_responses_.begin()),
        std::make_move_iterator(completed_responses_.end()));
    completed_responses_.clear();
    return drained;
}

void MetamodProcessBackendHttpClient::QueueResponse(BackendHttpResponse response) {
    queued_responses_.push_back(std::move(response));
}

void MetamodProcessBackendHttpClient::RecordEndpointStatus(const BackendHttpPostRequest& request,
                                                           const std::string& status,
                                                           std::int32_t status_code,
                                                           const std::string& error) {
    const std::string path = EndpointPathFromUrl(request.url);
    auto entry = std::find_if(
        endpoint_statuses_.begin(), endpoint_statuses_.end(),
        [&](const BackendWorkerEndpointStatus& known) { return known.endpoint == path; });
    if (entry == endpoint_statuses_.end()) {
        endpoint_statuses_.push_back(BackendWorkerEndpointStatus{path, "never", 0, 0, ""});
        entry = endpoint_statuses_.end() - 1;
    }
    entry->last_status = status;
    entry->last_status_code = status_code;
    entry->updated_at_ms = NowSteadyMs();
    entry->last_error = error;
}

BackendWorkerHealth MetamodProcessBackendHttpClient::WorkerHealth() const {
    BackendWorkerHealth health;
    health.enabled = worker_enabled_;
    health.queued_jobs = workers_.size();
    health.active_jobs = workers_.size();
    health.completed_jobs = completed_responses_.size();
    health.dropped_jobs = dropped_jobs_;
    health.completed_total = completed_total_;
    health.last_error = last_error_;
    health.endpoints = endpoint_statuses_;
    health.dropped_completions = dropped_completions_;
    const std::uint64_t now = NowSteadyMs();
    for (const ActiveWorker& worker : workers_) {
        if (worker.queued_at_ms >= 1 && worker.queued_at_ms <= now) {
            health.oldest_queued_age_ms =
                std::max(health.oldest_queued_age_ms, now - worker.queued_at_ms);
        }
    }
    return health;
}

void MetamodProcessBackendHttpClient::Clear() {
    DrainCompletedWorkers();
    queued_responses_.clear();
    requests_.clear();
    call_count_ = 0;
    completed_responses_.clear();
    endpoint_statuses_.clear();
}

}  // namespace ironpost
