// The monotonic clock over the engine's map time, and the wall clock.

#include "ironpost_clock.h"

#include <cmath>

#include "ironpost_plugin_envelope.h"

namespace ironpost {

namespace {

// A century of map time; larger readings are clamped rather than overflowing
// the conversion (the engine's float time never gets near it).
constexpr double kMaxEngineMs = 100.0 * 365 * 24 * 3600 * 1000;

std::uint64_t EngineMilliseconds(double seconds) {
    const double ms = seconds * 1000.0;
    if (ms <= 0.0) {
        return 0;
    }
    return static_cast<std::uint64_t>(std::floor(std::fmin(ms, kMaxEngineMs)));
}

}  // namespace

std::uint64_t MonotonicClock::Update(double engine_time_seconds) {
    // A garbled reading says nothing about a map change; keep the time.
    if (!std::isfinite(engine_time_seconds)) {
        return now_ms_;
    }
    const std::uint64_t engine_ms = EngineMilliseconds(engine_time_seconds);
    if (engine_ms < last_engine_ms_) {
        offset_ms_ += last_engine_ms_;
    }
    last_engine_ms_ = engine_ms;
    now_ms_ = offset_ms_ + engine_ms;
    return now_ms_;
}

std::uint64_t WallClockUnixMs() {
    return CurrentPluginEnvelopeTimestampMs();
}

}  // namespace ironpost
