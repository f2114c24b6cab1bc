#include "sim_threads.h"

#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <new>
#include <thread>

namespace ironpost::sim {

namespace {

std::atomic<bool> g_counting{false};
std::atomic<int> g_live{0};
std::atomic<long> g_started{0};
thread_local bool t_own = false;

using CreateFunction = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

struct CountedStart {
    void* (*routine)(void*);
    void* argument;
};

void* RunCounted(void* raw) {
    const CountedStart start = *static_cast<CountedStart*>(raw);
    delete static_cast<CountedStart*>(raw);
    // A destructor, so that pthread_exit's unwinding counts the end as well.
    struct Leave {
        ~Leave() { g_live.fetch_sub(1); }
    } leave;
    return start.routine(start.argument);
}

}  // namespace

void CountNewThreads(bool on) {
    g_counting = on;
}

int LiveCountedThreads() {
    return g_live.load();
}

void ThreadsFromHereAreOwn() {
    t_own = true;
}

long CountedThreadsStarted() {
    return g_started.load();
}

bool WaitForCountedThreads(int at_most, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (g_live.load() > at_most) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    return true;
}

}  // namespace ironpost::sim

extern "C" __attribute__((visibility("default"))) int pthread_create(
    pthread_t* thread, const pthread_attr_t* attributes, void* (*routine)(void*), void* argument) {
    using namespace ironpost::sim;
    static const CreateFunction next =
        reinterpret_cast<CreateFunction>(dlsym(RTLD_NEXT, "pthread_create"));
    if (next == nullptr) {
        return EAGAIN;
    }
    if (!g_counting.load()) {
        return next(thread, attributes, routine, argument);
    }
    auto* start = new (std::nothrow) CountedStart{routine, argument};
    if (start == nullptr) {
        return EAGAIN;
    }
    g_live.fetch_add(1);
    const int result = next(thread, attributes, &RunCounted, start);
    if (result != 0) {
        g_live.fetch_sub(1);
        delete start;
    } else if (!t_own) {
        g_started.fetch_add(1);
    }
    return result;
}
