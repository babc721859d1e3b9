// The profiler's numeric core, free of the interpreter: the windows of
// values, the periodicity tables and kernel, the correlation arithmetic and
// the record formulas. Every result is the double that the same formula
// gives when Python evaluates it (see profiler.cpp); turning results into
// Python objects, errors included, is the adapter's work.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

#include "csum.hpp"

namespace orvane_profiler {

using Index = std::ptrdiff_t;  // Py_ssize_t

// The fixed number of values a window needs before it takes part in the
// correlation pass.
constexpr Index kMinCorrelationValues = 10;

// Integers up to this magnitude convert to double exactly, so comparisons
// and true divisions of such ints can be done in doubles.
constexpr long long kExactIntLimit = 1LL << 53;

// ---------------------------------------------------------------------------
// libm, called as Python calls it
// ---------------------------------------------------------------------------

// Python's math.cos, math.sin and float.__pow__ call libm. GCC would fold
// pow(x, 2.0) into x * x and merge cos/sin of one angle into sincos, either
// of which can differ from libm in the last bit; calling through volatile
// pointers keeps each call a plain libm call.
struct LibmCalls {
    double (*volatile cos)(double) = ::cos;
    double (*volatile sin)(double) = ::sin;
    double (*volatile pow)(double, double) = ::pow;
};
const LibmCalls libm;

// ---------------------------------------------------------------------------
// Periodicity tables
// ---------------------------------------------------------------------------

// cos and sin of ang = ((2.0 * pi) * k) * t / n for every t < n and every
// used bin k = 1 .. K-1, laid out by t so that one pass over the window
// updates every bin.
struct PeriodicityTable {
    std::vector<double> cos;  // [t * bins + (k - 1)], bins = K - 1
    std::vector<double> sin;
};

inline Index periodicity_bins(Index n) {
    Index K = n / 2 > 2 ? n / 2 : 2;
    return K - 1;
}

inline double periodicity_angle(Index k, Index t, Index n) {
    // Python evaluates 2.0 * math.pi * k * t / n left to right.
    return ((2.0 * M_PI) * static_cast<double>(k)) * static_cast<double>(t) / static_cast<double>(n);
}

// The tables of the window lengths in use, bounded in memory: a table costs
// about 8 n^2 bytes, so the default windows (n <= 100) all fit easily while a
// very long window is computed directly instead of being cached.
class PeriodicityCache {
  public:
    static constexpr std::size_t kBudgetBytes = std::size_t{48} << 20;

    // The table for windows of n values, or nullptr when it is too large to
    // keep (or to allocate): the caller then evaluates the angles directly.
    std::shared_ptr<const PeriodicityTable> get(Index n) noexcept try {
        auto it = tables_.find(n);
        if (it != tables_.end()) return it->second;
        std::size_t cost = table_bytes(n);
        if (cost > kBudgetBytes / 2) return nullptr;
        if (bytes_ + cost > kBudgetBytes) {
            // Window lengths in use change rarely; starting over is simpler
            // than tracking recency, and tables in use stay alive by their
            // shared pointers.
            tables_.clear();
            bytes_ = 0;
        }
        auto table = std::make_shared<PeriodicityTable>();
        const Index bins = periodicity_bins(n);
        table->cos.resize(static_cast<std::size_t>(n * bins));
        table->sin.resize(static_cast<std::size_t>(n * bins));
        for (Index t = 0; t < n; ++t) {
            for (Index j = 0; j < bins; ++j) {
                double ang = periodicity_angle(j + 1, t, n);
                table->cos[t * bins + j] = libm.cos(ang);
                table->sin[t * bins + j] = libm.sin(ang);
            }
        }
        tables_.emplace(n, table);
        bytes_ += cost;
        return table;
    } catch (const std::exception&) {
        return nullptr;
    }

  private:
    static std::size_t table_bytes(Index n) {
        return 2 * sizeof(double) * static_cast<std::size_t>(n) * static_cast<std::size_t>(periodicity_bins(n));
    }
    std::unordered_map<Index, std::shared_ptr<const PeriodicityTable>> tables_;
    std::size_t bytes_ = 0;
};

// ---------------------------------------------------------------------------
// ChannelWindow: the most recent values of one channel
// ---------------------------------------------------------------------------

// A FIFO of doubles with a fixed capacity (or none), oldest first. Storage
// grows with the values actually seen, so a large configured capacity costs
// nothing up front; once full it becomes a ring.
class ChannelWindow {
  public:
    static constexpr Index kUnbounded = -1;

    Index capacity() const noexcept { return capacity_; }
    Index size() const noexcept { return static_cast<Index>(values_.size()); }

    // Makes sure the next push cannot fail (call before changing anything
    // else, so that running out of memory leaves no half-applied update);
    // false when memory ran out.
    bool reserve_next() {
        if (capacity_ == 0 || is_full() || values_.size() < values_.capacity()) return true;
        try {
            std::size_t want = values_.capacity() ? values_.capacity() * 2 : 16;
            if (capacity_ != kUnbounded && want > static_cast<std::size_t>(capacity_))
                want = static_cast<std::size_t>(capacity_);
            values_.reserve(want);
        } catch (const std::exception&) {
            return false;
        }
        return true;
    }

    // Appends, dropping the oldest value when full. Never allocates after
    // reserve_next().
    void push(double v) noexcept {
        if (capacity_ == 0) return;
        if (!is_full()) {
            values_.push_back(v);
            return;
        }
        values_[head_] = v;
        head_ = head_ + 1 == values_.size() ? 0 : head_ + 1;
    }

    // The values, oldest first.
    std::vector<double> to_vector() const {
        const std::size_t len = values_.size();
        std::vector<double> out(len);
        if (len) std::memcpy(out.data(), values_.data() + head_, (len - head_) * sizeof(double));
        if (head_) std::memcpy(out.data() + (len - head_), values_.data(), head_ * sizeof(double));
        return out;
    }

    // Replaces the contents (keeping the last values that fit). Throws
    // std::bad_alloc before changing anything.
    void assign(const std::vector<double>& values, Index capacity) {
        std::size_t from = 0;
        if (capacity != kUnbounded && values.size() > static_cast<std::size_t>(capacity))
            from = values.size() - static_cast<std::size_t>(capacity);
        std::vector<double> kept(values.begin() + static_cast<std::ptrdiff_t>(from), values.end());
        values_.swap(kept);
        head_ = 0;
        capacity_ = capacity;
    }

  private:
    bool is_full() const noexcept {
        return capacity_ != kUnbounded && values_.size() == static_cast<std::size_t>(capacity_);
    }
    std::vector<double> values_;
    std::size_t head_ = 0;  // index of the oldest value once the ring is full
    Index capacity_ = 0;
};

// The values a channel derives from its fields, read from anything that
// names them as a channel does (its native state or its Python object).
template <class S>
double variance_of(const S& s) {
    return s.count < 2 ? 0.0 : s.M2 / static_cast<double>(s.count - 1);
}
template <class S>
double value_range_of(const S& s) {
    return s.count == 0 ? 0.0 : s.max_val - s.min_val;
}
template <class S>
double mean_rate_of_change_of(const S& s) {
    return s.delta_count == 0 ? 0.0 : s.delta_sum / static_cast<double>(s.delta_count);
}
template <class S>
double outlier_frequency_of(const S& s) {
    return s.count == 0 ? 0.0 : static_cast<double>(s.outlier_count) / static_cast<double>(s.count);
}

// A channel's window, with the mean, centred values and spread
// of its latest n values memoised per n (a pair recomputes them for the
// shorter window's length; the results are the same doubles every time).
struct CorrelationWindow {
    std::vector<double> values;  // whole window, oldest first

    struct Tail {
        Index n;
        std::vector<double> centered;
        double spread;  // sqrt(sum((x - m) ** 2))
    };
    std::vector<Tail> tails;

    const Tail& tail(Index n);
};

// Pearson correlation of two centred windows of equal length (0.0 when
// either has no spread), before rounding.
double correlation_of(const CorrelationWindow::Tail& a, const CorrelationWindow::Tail& b);

// The periodicity kernel of a window of n values (oldest first): the
// largest bin amplitude over the sum of them all, 0.0 when that sum is
// zero, before rounding. `cache` supplies the angle tables.
double periodicity_ratio(const double* vals, Index n, PeriodicityCache& cache);

}  // namespace orvane_profiler
