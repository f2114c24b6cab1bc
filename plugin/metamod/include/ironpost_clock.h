#pragma once

// The plugin's two clocks, one place each. Every due time and interval the
// runtime, session, host and telemetry compare is on the monotonic clock,
// derived from the engine's map time so that a simulated engine drives it and
// it never goes back across a map change. The wall clock only makes values
// that leave the process: identifiers, "unix-ms:" texts, envelope time stamps.

#include <cstdint>

namespace ironpost {

// Main thread only; one instance per process, fed once per server frame.
class MonotonicClock {
  public:
    // Takes the engine's map time in seconds, which restarts near 1.0 at every
    // map change, and returns the monotonic milliseconds. A time below the
    // last one seen is a new map: the last map's time joins the running
    // offset, so the result never decreases. A negative time counts as 0;
    // a non-finite one is ignored.
    std::uint64_t Update(double engine_time_seconds);
    // The value the last Update returned; 0 before the first.
    [[nodiscard]] std::uint64_t NowMs() const { return now_ms_; }

  private:
    std::uint64_t offset_ms_ = 0;
    std::uint64_t last_engine_ms_ = 0;
    std::uint64_t now_ms_ = 0;
};

// Milliseconds since the Unix epoch, from the same reading the envelope time
// stamps use (0 when the clock is set before the epoch).
[[nodiscard]] std::uint64_t WallClockUnixMs();

}  // namespace ironpost
