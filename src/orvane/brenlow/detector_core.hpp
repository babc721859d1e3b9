// The detector's numeric core, free of the interpreter: the reading
// counter, the query cadence and the consensus threshold, each the value
// Python's own arithmetic gives for native operands. The adapter
// (detector.cpp) falls back to the interpreter for anything else.
#pragma once

#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdint>

namespace orvane_detector {

constexpr std::ptrdiff_t kMaxChannels = 20;  // channels in a query text and a snapshot
constexpr int kScoreDigits = 4;              // decimal places of query_score and query values
constexpr double kThresholdFloor = 0.4;      // lowest consensus share that can count

// Counts one confident reading and returns the new count; false, leaving
// the counter as it is, when it already holds its largest value (the caller
// refuses the reading rather than wrap to a negative count). Concurrent
// observe() calls must never lose an increment. With the GIL every caller
// holds it from the load to the store (nothing in between can release it),
// so the plain load and store are already one indivisible step, and they
// avoid a locked instruction that would cost more than the rest of a
// non-query reading. Without the GIL (FreeThreaded) the increment is a
// read-modify-write of its own.
template <bool FreeThreaded>
inline bool count_reading(std::atomic<long long>& counter, long long* out) {
    long long cur = counter.load(std::memory_order_relaxed);
    if constexpr (FreeThreaded) {
        do {
            if (cur == LLONG_MAX) break;
        } while (!counter.compare_exchange_weak(cur, cur + 1, std::memory_order_relaxed));
    } else {
        if (cur != LLONG_MAX) counter.store(cur + 1, std::memory_order_relaxed);
    }
    if (cur == LLONG_MAX) return false;
    *out = cur + 1;
    return true;
}

// `counter % every != 0` for a non-zero native `every`. Floor and truncated
// remainders are zero together. The common small operands take the much
// cheaper 32-bit division.
inline bool off_cadence(long long counter, long long every) {
    if (every > 0 && every <= 0xFFFFFFFFLL && counter >= 0 && counter <= 0xFFFFFFFFLL)
        return static_cast<std::uint32_t>(counter) % static_cast<std::uint32_t>(every) != 0;
    return counter % every != 0;
}

// ratio < max(kThresholdFloor, factor * confidence), all floats.
inline bool below_threshold(double ratio, double factor, double confidence) {
    double product = factor * confidence;
    // max() keeps its first argument unless a later one is greater.
    double threshold = kThresholdFloor > product ? kThresholdFloor : product;
    return ratio < threshold;
}

}  // namespace orvane_detector
