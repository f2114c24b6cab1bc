#pragma once

// Counts the threads the loaded plugin starts, so that a replay run as fast
// as the machine allows can let the plugin's backend work finish before
// simulated time moves on: the backend then looks infinitely fast next to the
// game, and a replay gives the same result on a fast and a slow machine.
//
// The simulator defines pthread_create itself and exports it, so the plugin's
// calls bind to it ahead of the C library's; it forwards to the next
// definition and wraps the thread's start routine to count its end.

#include <chrono>

namespace ironpost::sim {

// Counts threads created from now on (or stops counting new ones).
void CountNewThreads(bool on);
// Threads created while counting that have not returned yet.
[[nodiscard]] int LiveCountedThreads();
// Threads created from now on by the calling thread are the simulator's own:
// waited for like the others, but not counted among the plugin's.
void ThreadsFromHereAreOwn();
// Threads the plugin (any thread not marked as the simulator's) created while counting.
[[nodiscard]] long CountedThreadsStarted();
// Waits until at most `at_most` counted threads run; false when `limit`
// passed first.
bool WaitForCountedThreads(int at_most, std::chrono::milliseconds limit);

}  // namespace ironpost::sim
