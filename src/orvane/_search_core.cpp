// The search index's scans (see _search_core.hpp).
#include "_search_core.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace orvane_search {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Rows scored per block: the block's running totals stay in the L1 cache
// while every query channel adds to them.
constexpr std::size_t kBlock = 2048;

// The part one channel adds to a row's total: the squared difference in
// units of the spread, at most cap2; NaN (a missing value) fails the
// comparison and counts as cap2.
inline double capped(double x, double v, double inv, double cap2) noexcept {
    double z = (x - v) * inv;
    double z2 = z * z;
    return z2 < cap2 ? z2 : cap2;
}

// Keeps the k best (score, position) pairs seen; better means a higher
// score, or an equal score at a later position (newer).
class TopK {
  public:
    struct Entry {
        double score;
        std::size_t pos;
        double total;  // the episode scan's sum of squares behind the score
    };
    explicit TopK(std::size_t k) : k_(k) { heap_.reserve(k); }
    bool full() const noexcept { return heap_.size() == k_; }
    const Entry& worst() const noexcept { return heap_.front(); }

    static bool better(const Entry& a, const Entry& b) noexcept {
        return a.score > b.score || (a.score == b.score && a.pos > b.pos);
    }
    // The heap's front is its worst entry.
    // True when the entry was kept.
    bool offer(double score, std::size_t pos, double total = 0.0) {
        Entry e{score, pos, total};
        if (heap_.size() < k_) {
            heap_.push_back(e);
            std::push_heap(heap_.begin(), heap_.end(), better);
            return true;
        }
        if (!better(e, heap_.front())) return false;
        std::pop_heap(heap_.begin(), heap_.end(), better);
        heap_.back() = e;
        std::push_heap(heap_.begin(), heap_.end(), better);
        return true;
    }
    std::vector<Entry> best_first() {
        std::sort(heap_.begin(), heap_.end(), better);
        return std::move(heap_);
    }

  private:
    std::size_t k_;
    std::vector<Entry> heap_;
};

inline double score_of(double total, double m) noexcept { return 1.0 / (1.0 + std::sqrt(total / m)); }

// A total from which on every score is below `worst` (which the total
// `from` reaches). Each step of score_of is monotone, so the score never
// rises with the total: the first total found whose score is below `worst`
// bounds every larger one. Rows at or above it need no score at all.
double total_bound(double from, double worst, double m) noexcept {
    double t = from;
    // A first step near the total's last place, and never below where a
    // score near 1.0 starts to move, so that few steps are taken.
    double step = std::max(std::fabs(from) * 0x1p-52, m * 0x1p-110);
    while (score_of(t, m) >= worst) {
        t += step;
        step *= 2.0;
        if (!std::isfinite(t)) return std::numeric_limits<double>::infinity();
    }
    return t;
}

std::uint32_t read_u32(const unsigned char* p) noexcept {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

double read_f64(const unsigned char* p) noexcept {
    std::uint64_t bits = 0;
    for (int i = 7; i >= 0; --i) bits = bits << 8 | p[i];
    return std::bit_cast<double>(bits);
}

}  // namespace

// ---------------------------------------------------------------------------
// Spread
// ---------------------------------------------------------------------------

void Spread::add(double x) noexcept {
    n += 1;
    double d = x - mean;
    mean += d / static_cast<double>(n);
    m2 += d * (x - mean);
}

double Spread::inverse_scale() const noexcept {
    if (n < 2) return 1.0;
    double sd = std::sqrt(m2 / static_cast<double>(n - 1));
    return sd > 1e-12 ? 1.0 / sd : 1.0;
}

// ---------------------------------------------------------------------------
// Column
// ---------------------------------------------------------------------------

void Column::append(std::size_t row, double value) {
    if (count_ == 0) {
        // A column emptied by drop_last starts afresh.
        sparse_ = false;
        first_ = row;
        dense_.clear();
        rows_.clear();
        values_.clear();
    }
    if (!sparse_) {
        std::size_t span = row - first_ + 1;
        if (span >= 64 && (count_ + 1) * 2 < span && row <= UINT32_MAX) {
            to_sparse();
        } else {
            dense_.resize(row - first_, kNaN);
            dense_.push_back(value);
            ++count_;
            return;
        }
    }
    rows_.push_back(static_cast<std::uint32_t>(row));
    try {
        values_.push_back(value);
    } catch (...) {
        rows_.pop_back();
        throw;
    }
    ++count_;
    std::size_t span = row - rows_.front() + 1;
    if (count_ * 4 >= span * 3) {
        try {
            to_dense();
        } catch (...) {
            // Still whole as pairs: stay sparse.
        }
    }
}

void Column::to_sparse() {
    std::vector<std::uint32_t> rows;
    std::vector<double> values;
    rows.reserve(count_ + 1);
    values.reserve(count_ + 1);
    for (std::size_t j = 0; j < dense_.size(); ++j) {
        if (!std::isnan(dense_[j])) {
            rows.push_back(static_cast<std::uint32_t>(first_ + j));
            values.push_back(dense_[j]);
        }
    }
    rows_ = std::move(rows);
    values_ = std::move(values);
    std::vector<double>().swap(dense_);
    sparse_ = true;
}

void Column::to_dense() {
    std::size_t first = rows_.front();
    std::vector<double> dense(rows_.back() - first + 1, kNaN);
    for (std::size_t j = 0; j < rows_.size(); ++j) dense[rows_[j] - first] = values_[j];
    dense_ = std::move(dense);
    first_ = first;
    std::vector<std::uint32_t>().swap(rows_);
    std::vector<double>().swap(values_);
    sparse_ = false;
}

bool Column::holds(std::size_t row) const noexcept {
    if (count_ == 0) return false;
    return sparse_ ? rows_.back() == row : first_ + dense_.size() == row + 1;
}

void Column::drop_last(std::size_t row) noexcept {
    if (count_ == 0) return;
    if (sparse_) {
        if (rows_.back() != row) return;
        rows_.pop_back();
        values_.pop_back();
    } else {
        if (first_ + dense_.size() != row + 1) return;
        dense_.pop_back();
        while (!dense_.empty() && std::isnan(dense_.back())) dense_.pop_back();
    }
    --count_;
}

void Column::accumulate(double x, double inv, double cap2, std::size_t lo, std::size_t hi,
                        double* totals) const noexcept {
    if (sparse_) {
        std::size_t p = std::lower_bound(rows_.begin(), rows_.end(), lo) - rows_.begin();
        const std::size_t end = rows_.size();
        for (std::size_t i = lo; i < hi; ++i) {
            if (p < end && rows_[p] == i)
                totals[i - lo] += capped(x, values_[p++], inv, cap2);
            else
                totals[i - lo] += cap2;
        }
        return;
    }
    const std::size_t dense_end = count_ == 0 ? 0 : first_ + dense_.size();
    const std::size_t dense_begin = count_ == 0 ? 0 : first_;
    std::size_t i = lo;
    for (; i < hi && i < dense_begin; ++i) totals[i - lo] += cap2;
    const std::size_t stop = std::min(hi, dense_end);
    if (i < stop) {
        double* __restrict t = totals + (i - lo);
        const double* __restrict v = dense_.data() + (i - first_);
        const std::size_t m = stop - i;
        for (std::size_t j = 0; j < m; ++j) t[j] += capped(x, v[j], inv, cap2);
        i = stop;
    }
    for (; i < hi; ++i) totals[i - lo] += cap2;
}

// ---------------------------------------------------------------------------
// EpisodeIndex
// ---------------------------------------------------------------------------

std::size_t EpisodeIndex::slots_held() const noexcept {
    std::size_t n = 0;
    for (const Column& c : columns_) n += c.slots();
    return n;
}

Column* EpisodeIndex::column_for(std::string_view name, std::size_t position, bool* created) {
    *created = false;
    if (position < last_slots_.size()) {
        Column& c = columns_[last_slots_[position]];
        if (c.name() == name) return &c;
    }
    auto it = by_name_.find(std::string(name));
    if (it != by_name_.end()) return &columns_[it->second];
    if (columns_.size() >= UINT32_MAX) throw std::length_error("too many channels");
    columns_.emplace_back(std::string(name));
    try {
        by_name_.emplace(columns_.back().name(), static_cast<std::uint32_t>(columns_.size() - 1));
    } catch (...) {
        columns_.pop_back();
        throw;
    }
    *created = true;
    return &columns_.back();
}

bool EpisodeIndex::append(std::int64_t rowid, const unsigned char* packed, std::size_t size) {
    // The scratch lists live in the index (appends hold it exclusively), so
    // that loading a store makes no allocation per row.
    std::vector<Pair>& pairs = pairs_;
    pairs.clear();
    for (std::size_t at = 0; at < size;) {
        if (size - at < 4) return false;
        std::size_t len = read_u32(packed + at);
        at += 4;
        if (size - at < len || size - at - len < 8) return false;
        std::string_view name(reinterpret_cast<const char*>(packed + at), len);
        double value = read_f64(packed + at + len);
        at += len + 8;
        if (std::isfinite(value)) pairs.push_back({name, value});
    }

    const std::size_t row = rowids_.size();
    rowids_.push_back(rowid);
    // Columns are reached by index: columns_ may move while new ones are made.
    std::vector<std::uint32_t>& slots = slots_;
    slots.clear();
    try {
        for (std::size_t j = 0; j < pairs.size(); ++j) {
            bool created;
            Column* c = column_for(pairs[j].name, j, &created);
            if (c->holds(row)) continue;  // a repeated name: the first value stands
            c->append(row, pairs[j].value);
            slots.push_back(static_cast<std::uint32_t>(c - columns_.data()));
            pairs[j].slot = slots.back();
        }
    } catch (...) {
        for (std::uint32_t slot : slots) columns_[slot].drop_last(row);
        rowids_.pop_back();
        last_slots_.clear();
        throw;
    }
    for (const Pair& p : pairs) {
        if (p.slot != kNoSlot) columns_[p.slot].add_to_spread(p.value);
    }
    // This row's columns, in order, are the next row's first guess.
    last_slots_.swap(slots);
    return true;
}

std::vector<Hit> EpisodeIndex::search(const std::vector<Probe>& probe, std::size_t k, std::size_t limit,
                                      double cap) const {
    const std::size_t n = rowids_.size();
    const std::size_t from = limit < n ? n - limit : 0;
    std::vector<Hit> out;
    if (k == 0 || from == n) return out;
    const double cap2 = cap * cap;

    struct Channel {
        const Column* column;  // nullptr: never seen here, every row counts the cap
        double x;
        double inv;
    };
    std::vector<Channel> channels;
    channels.reserve(probe.size());
    bool any_known = false;
    for (const Probe& p : probe) {
        const Column* c = nullptr;
        auto it = by_name_.find(std::string(p.name));
        if (it != by_name_.end() && columns_[it->second].count() > 0) c = &columns_[it->second];
        channels.push_back({c, p.value, c ? c->spread().inverse_scale() : 1.0});
        any_known = any_known || c != nullptr;
    }

    if (!any_known) {
        // Every row scores the same: the newest k are the answer.
        double score = 0.0;
        if (!channels.empty()) {
            double total = 0.0;
            for (std::size_t j = 0; j < channels.size(); ++j) total += cap2;
            score = score_of(total, static_cast<double>(channels.size()));
        }
        std::size_t take = std::min(k, n - from);
        out.reserve(take);
        for (std::size_t i = n; i > n - take; --i) out.push_back({score, rowids_[i - 1]});
        return out;
    }

    const double m = static_cast<double>(channels.size());
    TopK top(std::min(k, n - from));
    double bound = std::numeric_limits<double>::infinity();
    double bound_score = std::numeric_limits<double>::quiet_NaN();  // compares unequal to every score
    double totals[kBlock];
    for (std::size_t lo = from; lo < n; lo += kBlock) {
        const std::size_t hi = std::min(n, lo + kBlock);
        const std::size_t len = hi - lo;
        std::fill(totals, totals + len, 0.0);
        for (const Channel& ch : channels) {
            if (ch.column == nullptr) {
                for (std::size_t j = 0; j < len; ++j) totals[j] += cap2;
            } else {
                ch.column->accumulate(ch.x, ch.inv, cap2, lo, hi, totals);
            }
        }
        for (std::size_t j = 0; j < len; ++j) {
            if (totals[j] >= bound) continue;  // scores below the k-th best: cannot be chosen
            if (top.offer(score_of(totals[j], m), lo + j, totals[j]) && top.full() &&
                top.worst().score != bound_score) {
                // The bound depends only on the k-th best score: among ties it stays.
                bound_score = top.worst().score;
                bound = total_bound(top.worst().total, bound_score, m);
            }
        }
    }
    auto best = top.best_first();
    out.reserve(best.size());
    for (const auto& e : best) out.push_back({e.score, rowids_[e.pos]});
    return out;
}

// ---------------------------------------------------------------------------
// VectorIndex
// ---------------------------------------------------------------------------

void VectorIndex::append(std::int64_t rowid, const double* unit, std::size_t dim) {
    Matrix& m = by_dim_[dim];
    const std::size_t before = m.data.size();
    m.rowids.push_back(rowid);
    try {
        m.data.resize(before + dim);
    } catch (...) {
        m.rowids.pop_back();
        throw;
    }
    try {
        m.inverse_norms.push_back(0.0);
    } catch (...) {
        m.data.resize(before);
        m.rowids.pop_back();
        throw;
    }
    // The row is scored against its own length after rounding to float32,
    // so a stored vector scores as the cosine of what is held.
    float* row = m.data.data() + before;
    double sum = 0.0;
    for (std::size_t j = 0; j < dim; ++j) {
        row[j] = static_cast<float>(unit[j]);
        sum += static_cast<double>(row[j]) * row[j];
    }
    m.inverse_norms.back() = sum > 0.0 ? 1.0 / std::sqrt(sum) : 0.0;
    ++count_;
}

std::vector<Hit> VectorIndex::search(const double* probe, std::size_t dim, std::size_t k) const {
    std::vector<Hit> out;
    auto it = by_dim_.find(dim);
    if (k == 0 || it == by_dim_.end() || it->second.rowids.empty()) return out;
    const Matrix& m = it->second;
    const std::size_t n = m.rowids.size();
    TopK top(std::min(k, n));
    const float* row = m.data.data();
    for (std::size_t i = 0; i < n; ++i, row += dim) {
        // Four running sums keep the adds independent of one another.
        double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
        std::size_t j = 0;
        for (; j + 4 <= dim; j += 4) {
            s0 += probe[j] * row[j];
            s1 += probe[j + 1] * row[j + 1];
            s2 += probe[j + 2] * row[j + 2];
            s3 += probe[j + 3] * row[j + 3];
        }
        for (; j < dim; ++j) s0 += probe[j] * row[j];
        double score = ((s0 + s1) + (s2 + s3)) * m.inverse_norms[i];
        top.offer(score > 1.0 ? 1.0 : score < -1.0 ? -1.0 : score, i);
    }
    auto best = top.best_first();
    out.reserve(best.size());
    for (const auto& e : best) out.push_back({e.score, m.rowids[e.pos]});
    return out;
}

}  // namespace orvane_search
