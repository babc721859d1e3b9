// The resolver's search index: plain C++, no interpreter.
//
// One EpisodeIndex per device holds every stored episode's channel values as
// double columns (float32 would merge nearby values into false ties) and
// scans them for the episodes nearest a query; one VectorIndex per device
// holds unit vectors as float32 rows grouped by length. Rows are kept in the
// order the resolver stored them, so a row's position is its arrival order.
//
// Threads: each index carries a shared mutex. Scans take it shared, appends
// exclusive; the caller decides how to wait for it (the extension module
// never waits while holding the interpreter's lock).
#pragma once

#include <cstddef>
#include <cstdint>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace orvane_search {

// One chosen row: its score and the store's row id.
struct Hit {
    double score;
    std::int64_t rowid;
};

// Running mean and variance (Welford) of one channel; the same operations,
// in the same order, as the resolver's Python code, so the scale is equal
// to the last bit.
struct Spread {
    std::int64_t n = 0;
    double mean = 0.0;
    double m2 = 0.0;
    void add(double x) noexcept;
    // 1/std over the channel's values; 1.0 below two values or when the
    // spread is (near) zero or not a number.
    double inverse_scale() const noexcept;
};

// The values one channel has taken, by row. Rows before the first value
// and after the last hold nothing. A channel present in most rows is dense
// (NaN marks a gap); one present in few is kept as (row, value) pairs, so a
// device with many rarely used names does not pay a full column for each.
class Column {
  public:
    explicit Column(std::string name) : name_(std::move(name)) {}
    const std::string& name() const noexcept { return name_; }
    std::size_t count() const noexcept { return count_; }
    const Spread& spread() const noexcept { return spread_; }
    bool sparse() const noexcept { return sparse_; }
    std::size_t slots() const noexcept { return sparse_ ? values_.size() : dense_.size(); }

    // Appends the value of row `row`, which is after every row held.
    void append(std::size_t row, double value);
    // Takes back the value of row `row` when it is the last one held (an
    // append that failed half-way).
    void drop_last(std::size_t row) noexcept;
    // True when row `row` has a value here.
    bool holds(std::size_t row) const noexcept;
    void add_to_spread(double value) noexcept { spread_.add(value); }

    // totals[i - lo] += this channel's capped squared difference for each
    // row i in [lo, hi) (the cap when the row has no value).
    void accumulate(double x, double inv, double cap2, std::size_t lo, std::size_t hi, double* totals) const noexcept;

  private:
    void to_sparse();
    void to_dense();

    std::string name_;
    Spread spread_;
    std::size_t count_ = 0;
    std::size_t first_ = 0;  // dense: the row of dense_[0]
    bool sparse_ = false;
    std::vector<double> dense_;
    std::vector<std::uint32_t> rows_;  // sparse
    std::vector<double> values_;       // sparse
};

// A query channel: its name and value.
struct Probe {
    std::string_view name;
    double value;
};

class EpisodeIndex {
  public:
    std::shared_mutex& mutex() const noexcept { return mutex_; }
    std::size_t size() const noexcept { return rowids_.size(); }
    std::size_t channel_count() const noexcept { return columns_.size(); }
    // Value slots held over all columns (gaps included), for checking that
    // sparse names stay cheap.
    std::size_t slots_held() const noexcept;

    // Appends one episode from its packed channel values: repeated
    // [u32 name length][name bytes][f64 value], little-endian. Non-finite
    // values and repeated names (after the first) are skipped. Returns
    // false, changing nothing, when `packed` is malformed. Call with the
    // mutex held exclusively.
    bool append(std::int64_t rowid, const unsigned char* packed, std::size_t size);

    // The k best of the newest `limit` rows for `probe` (best first, equal
    // scores newest first). The score is 1 / (1 + RMS) of the channels'
    // differences in units of their spread, each capped at `cap`, a channel
    // the row lacks counting as the cap; no channels score 0. Call with the
    // mutex held (shared is enough).
    std::vector<Hit> search(const std::vector<Probe>& probe, std::size_t k, std::size_t limit, double cap) const;

  private:
    Column* column_for(std::string_view name, std::size_t position, bool* created);

    static constexpr std::uint32_t kNoSlot = UINT32_MAX;
    struct Pair {
        std::string_view name;
        double value;
        std::uint32_t slot = kNoSlot;  // the column it went to; kNoSlot when skipped
    };

    mutable std::shared_mutex mutex_;
    std::vector<std::int64_t> rowids_;
    std::vector<Column> columns_;
    std::unordered_map<std::string, std::uint32_t> by_name_;
    std::vector<std::uint32_t> last_slots_;  // the previous row's columns, by position
    std::vector<Pair> pairs_;                // scratch of append()
    std::vector<std::uint32_t> slots_;       // scratch of append()
};

class VectorIndex {
  public:
    std::shared_mutex& mutex() const noexcept { return mutex_; }
    std::size_t size() const noexcept { return count_; }

    // Appends one unit vector (already scaled) of `dim` values. Call with
    // the mutex held exclusively.
    void append(std::int64_t rowid, const double* unit, std::size_t dim);

    // Cosine against the k best stored vectors of the probe's length (the
    // probe already unit length; each row measured against its own float32
    // length, the result kept within [-1, 1]): best first, equal scores
    // newest first.
    std::vector<Hit> search(const double* probe, std::size_t dim, std::size_t k) const;

  private:
    struct Matrix {
        std::vector<float> data;  // rows of dim values
        std::vector<std::int64_t> rowids;
        std::vector<double> inverse_norms;  // 1 / length of each float32 row (0 for a zero row)
    };
    mutable std::shared_mutex mutex_;
    std::unordered_map<std::size_t, Matrix> by_dim_;
    std::size_t count_ = 0;
};

}  // namespace orvane_search
