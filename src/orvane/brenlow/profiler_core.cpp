// The profiler's numeric kernels (no Python.h): periodicity and correlation.
#include "profiler_core.hpp"

namespace orvane_profiler {

// re[j] = sum over t of centered[t] * cos, im[j] = -(sum of centered[t] * sin),
// each accumulated over t in order exactly as a per-bin loop would. Bins are
// independent sums, so with a table they run side by side in vector lanes,
// four at a time with the accumulators held in registers; every lane performs
// the same IEEE operations in the same order as the scalar code (no
// contraction). Without a table (a window too long to keep one for) each
// angle is evaluated where it is used.
void accumulate_bins(const PeriodicityTable* table, Index n, Index bins, const double* centered, double* re,
                     double* im) {
    Index j = 0;
#if defined(__GNUC__)
    typedef double Lanes __attribute__((vector_size(16)));
    auto load = [](const double* p) {
        Lanes v;
        std::memcpy(&v, p, sizeof v);
        return v;
    };
    for (; table && j + 4 <= bins; j += 4) {
        Lanes r0 = {0.0, 0.0}, r1 = {0.0, 0.0}, m0 = {0.0, 0.0}, m1 = {0.0, 0.0};
        for (Index t = 0; t < n; ++t) {
            const Lanes c = {centered[t], centered[t]};
            const double* cs = table->cos.data() + t * bins + j;
            const double* sn = table->sin.data() + t * bins + j;
            r0 = r0 + c * load(cs);
            r1 = r1 + c * load(cs + 2);
            m0 = m0 - c * load(sn);
            m1 = m1 - c * load(sn + 2);
        }
        std::memcpy(re + j, &r0, sizeof r0);
        std::memcpy(re + j + 2, &r1, sizeof r1);
        std::memcpy(im + j, &m0, sizeof m0);
        std::memcpy(im + j + 2, &m1, sizeof m1);
    }
#endif
    for (; j < bins; ++j) {
        double r = 0.0, m = 0.0;
        for (Index t = 0; t < n; ++t) {
            const double ang = table ? 0.0 : periodicity_angle(j + 1, t, n);
            r = r + centered[t] * (table ? table->cos[t * bins + j] : libm.cos(ang));
            m = m - centered[t] * (table ? table->sin[t * bins + j] : libm.sin(ang));
        }
        re[j] = r;
        im[j] = m;
    }
}

// The largest bin amplitude over the sum of them all (0.0 when they are all
// zero), before rounding.
double periodicity_ratio(const double* vals, Index n, PeriodicityCache& cache) {
    pyhost::CompensatedSum total_vals;
    for (Index t = 0; t < n; ++t) total_vals.add(vals[t]);
    const double mean_v = total_vals.result() / static_cast<double>(n);

    const Index bins = periodicity_bins(n);
    std::vector<double> centered(static_cast<std::size_t>(n));
    for (Index t = 0; t < n; ++t) centered[t] = vals[t] - mean_v;
    std::vector<double> re(static_cast<std::size_t>(bins), 0.0), im(static_cast<std::size_t>(bins), 0.0);

    accumulate_bins(cache.get(n).get(), n, bins, centered.data(), re.data(), im.data());

    pyhost::CompensatedSum total;
    double best = 0.0;
    for (Index j = 0; j < bins; ++j) {
        double amp = std::sqrt(re[j] * re[j] + im[j] * im[j]);
        total.add(amp);
        // max() keeps the first item unless a later one compares greater.
        if (j == 0 || amp > best) best = amp;
    }
    double sum = total.result();
    if (sum == 0.0) return 0.0;
    return best / sum;
}

const CorrelationWindow::Tail& CorrelationWindow::tail(Index n) {
    for (const Tail& t : tails)
        if (t.n == n) return t;
    const double* h = values.data() + (values.size() - static_cast<std::size_t>(n));
    pyhost::CompensatedSum s;
    for (Index i = 0; i < n; ++i) s.add(h[i]);
    double m = s.result() / static_cast<double>(n);
    Tail t{n, std::vector<double>(static_cast<std::size_t>(n)), 0.0};
    pyhost::CompensatedSum sq;
    for (Index i = 0; i < n; ++i) {
        t.centered[i] = h[i] - m;
        // x ** 2 as float.__pow__ computes it: libm pow of |x|. Where
        // Python would raise OverflowError (|x| above ~1.3e154) the
        // square is left infinite, so that one extreme channel yields a
        // 0.0 or NaN correlation instead of failing the whole snapshot.
        sq.add(libm.pow(std::fabs(t.centered[i]), 2.0));
    }
    t.spread = std::sqrt(sq.result());
    tails.push_back(std::move(t));
    return tails.back();
}

double correlation_of(const CorrelationWindow::Tail& a, const CorrelationWindow::Tail& b) {
    if (!(a.spread != 0.0 && b.spread != 0.0)) return 0.0;
    pyhost::CompensatedSum num;
    for (Index i = 0; i < a.n; ++i) num.add(a.centered[i] * b.centered[i]);
    const double den = a.spread * b.spread;
    // Both spreads are non-zero; should their product underflow, dividing by
    // each in turn still gives the correlation instead of failing.
    return den == 0.0 ? num.result() / a.spread / b.spread : num.result() / den;
}

}  // namespace orvane_profiler
