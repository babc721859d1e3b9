// The interpreter's numeric conversions: round(x, n), repr() of a float and
// the compensated sum().
#include "pyhost.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace pyhost {

bool round_half_even(double x, int ndigits, double* out) {
    if (!std::isfinite(x)) {
        *out = x;
        return true;
    }
    if (ndigits < 0) {
        // Negative places are rare; the interpreter's own float.__round__ is
        // the reference for them, overflow included.
        Ref f = Ref::steal(PyFloat_FromDouble(x));
        if (!f) return false;
        Ref r = Ref::steal(PyObject_CallMethod(f.get(), "__round__", "i", ndigits));
        if (!r) return false;
        *out = PyFloat_AsDouble(r.get());
        return !PyErr_Occurred();
    }
    // Fast path, same result: scale by an exact power of ten. The product y
    // is within half an ulp of the exact x * 10^n, so when y lies more than
    // a few ulps from every half-integer, the exact value rounds to the same
    // integer r as y does; r and 10^n are exact doubles, so one correctly
    // rounded division yields the double nearest to r / 10^n, which is what
    // reading the rounded decimal text back gives.
    if (ndigits <= 22) {
        static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                            1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
        const double p10 = kPow10[ndigits];
        const double y = x * p10;
        const double ay = std::fabs(y);
        if (ay < 0x1p52) {
            const double frac = ay - std::trunc(ay);        // exact below 2^52
            const double from_tie = std::fabs(frac - 0.5);  // exact where it matters
            if (from_tie > ay * 0x1p-48) {
                // rint: ties to even in the default rounding mode, sign of zero
                // kept, and compiled inline where nearbyint is a library call.
                *out = std::rint(y) / p10;
                return true;
            }
        }
    }
    // Beyond this many places every double is already exact.
    if (ndigits > 323) {
        *out = x;
        return true;
    }
    // The fixed-point text of the exact binary value, correctly rounded to
    // ndigits places with ties to even, read back as the nearest double. It
    // cannot overflow: the rounded value never exceeds |x| by more than half
    // a unit of the last place.
    char buf[340 + 330];
    auto res = std::to_chars(buf, buf + sizeof buf - 1, x, std::chars_format::fixed, ndigits);
    *res.ptr = '\0';
    *out = std::strtod(buf, nullptr);
    return true;
}

// Fast path of repr() for short decimals (values rounded to a few places,
// the common case), same text. If x * 10^k is an integer M below 2^53 and
// M / 10^k reads back as x, the decimal D = M * 10^-k reads back as x. If in
// addition x's spacing to the next double is below 10^-k, D is the shortest
// such decimal: every decimal that reads back as x lies within that spacing
// of D, so one with at most k places equals D, and one with more places but
// fewer digits would sit just below a power of ten that D equals. Returns
// false, writing nothing, when the value is not such a decimal.
static bool append_short_decimal(std::string& out, double x) {
    static constexpr double kPow10[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9};
    const double ax = std::fabs(x);
    const double spacing = std::nextafter(ax, HUGE_VAL) - ax;  // a power of two
    unsigned long long m = 0;
    int k = 0;
    for (;; ++k) {
        if (k == 10 || spacing * kPow10[k] >= 1.0) return false;  // exact products
        const double scaled = ax * kPow10[k];
        if (scaled >= 0x1p53) return false;
        if (scaled == std::trunc(scaled) && scaled / kPow10[k] == ax) {
            m = static_cast<unsigned long long>(scaled);
            break;
        }
    }
    if (m == 0) return false;
    while (k > 0 && m % 10 == 0) {
        m /= 10;
        --k;
    }
    char digits[24];
    const auto res = std::to_chars(digits, digits + sizeof digits, m);
    const int n = static_cast<int>(res.ptr - digits);
    const int exp10 = n - 1 - k;  // position of the leading digit
    if (x < 0) out += '-';
    if (exp10 < -4) {
        out += digits[0];
        if (n > 1) {
            out += '.';
            out.append(digits + 1, static_cast<std::size_t>(n - 1));
        }
        out += "e-";
        if (-exp10 < 10) out += '0';
        char eb[8];
        const auto er = std::to_chars(eb, eb + sizeof eb, -exp10);
        out.append(eb, er.ptr);
    } else if (k == 0) {
        out.append(digits, static_cast<std::size_t>(n));
        out += ".0";
    } else if (n > k) {
        out.append(digits, static_cast<std::size_t>(n - k));
        out += '.';
        out.append(digits + (n - k), static_cast<std::size_t>(k));
    } else {
        out += "0.";
        out.append(static_cast<std::size_t>(k - n), '0');
        out.append(digits, static_cast<std::size_t>(n));
    }
    return true;
}

void append_float_repr(std::string& out, double x) {
    if (std::isnan(x)) {
        out += "nan";
        return;
    }
    if (std::isinf(x)) {
        out += x > 0 ? "inf" : "-inf";
        return;
    }
    if (x == 0.0) {
        out += std::signbit(x) ? "-0.0" : "0.0";
        return;
    }
    if (append_short_decimal(out, x)) return;
    // Shortest round-trip digits in scientific form ("-1.2345e-05"), then
    // laid out the way the interpreter lays out repr().
    char sci[40];
    auto res = std::to_chars(sci, sci + sizeof sci, x, std::chars_format::scientific);
    const char* p = sci;
    const char* end = res.ptr;
    if (*p == '-') {
        out += '-';
        ++p;
    }
    char digits[24];
    int nd = 0;
    while (p < end && *p != 'e') {
        if (*p != '.') digits[nd++] = *p;
        ++p;
    }
    int exp10 = 0;
    std::from_chars(p + 1 + (p[1] == '+'), end, exp10);

    if (exp10 < -4 || exp10 >= 16) {
        out += digits[0];
        if (nd > 1) {
            out += '.';
            out.append(digits + 1, nd - 1);
        }
        out += 'e';
        out += exp10 < 0 ? '-' : '+';
        int a = exp10 < 0 ? -exp10 : exp10;
        if (a < 10) out += '0';
        char eb[8];
        auto er = std::to_chars(eb, eb + sizeof eb, a);
        out.append(eb, er.ptr);
        return;
    }
    if (exp10 < 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-exp10 - 1), '0');
        out.append(digits, nd);
        return;
    }
    int int_digits = exp10 + 1;
    if (nd <= int_digits) {
        out.append(digits, nd);
        out.append(static_cast<std::size_t>(int_digits - nd), '0');
        out += ".0";
    } else {
        out.append(digits, int_digits);
        out += '.';
        out.append(digits + int_digits, nd - int_digits);
    }
}

std::string float_repr(double x) {
    std::string s;
    append_float_repr(s, x);
    return s;
}

PyObject* float_repr_object(double x) {
    std::string s;
    append_float_repr(s, x);
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

double compensated_sum(const double* values, std::size_t n) noexcept {
    CompensatedSum s;
    for (std::size_t i = 0; i < n; ++i) s.add(values[i]);
    return s.result();
}

}  // namespace pyhost
