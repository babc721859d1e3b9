// Python's float sum() in plain C++ (no Python.h), for numeric cores.
#pragma once

namespace pyhost {

// sum() over floats as Python 3.12 and later compute it (Neumaier's
// compensated summation, starting from 0.0, with its non-finite rules).
class CompensatedSum {
  public:
    void add(double x) noexcept {
        double t = s_ + x;
        if (__builtin_fabs(s_) >= __builtin_fabs(x))
            c_ += (s_ - t) + x;
        else
            c_ += (x - t) + s_;
        s_ = t;
    }
    double result() const noexcept {
        // Adding the compensation must not turn an infinite or overflowed
        // sum into NaN, nor lose the sign of a negative zero.
        if (c_ != 0.0 && __builtin_isfinite(c_)) return s_ + c_;
        return s_;
    }

  private:
    double s_ = 0.0;
    double c_ = 0.0;
};

}  // namespace pyhost
