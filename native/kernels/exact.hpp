// Error-free transformations: a rounded operation and its exact error, so
// that hi + lo is the exact result. Plain scalar code, always inlined into
// the kernel variant that calls it.
#pragma once

#include <cmath>

#if defined(__GNUC__)
#define CORVANE_INLINE inline __attribute__((always_inline))
#else
#define CORVANE_INLINE inline
#endif

namespace corvane::kernels::detail {

// hi + lo == a + b exactly (for any finite a, b without overflow).
CORVANE_INLINE void two_sum(double a, double b, double& hi, double& lo)
{
    hi = a + b;
    const double bb = hi - a;
    lo = (a - (hi - bb)) + (b - bb);
}

// hi + lo == a * b exactly (no overflow, and a * b not below 2^-969). Both
// forms give the same bits: with a hardware fused multiply-add (kFma) the
// error is one fma; without, Veltkamp's split computes it exactly, which
// needs every product and sum rounded on its own (the kernels are built
// with -ffp-contract=off).
template <bool kFma>
CORVANE_INLINE void two_prod(double a, double b, double& hi, double& lo)
{
    hi = a * b;
    if constexpr (kFma) {
        lo = __builtin_fma(a, b, -hi);
    } else {
        constexpr double kSplit = 134217729.0;  // 2^27 + 1
        const double ca = kSplit * a, cb = kSplit * b;
        const double ah = ca - (ca - a), al = a - ah;
        const double bh = cb - (cb - b), bl = b - bh;
        lo = ((ah * bh - hi) + ah * bl + al * bh) + al * bl;
    }
}

}  // namespace corvane::kernels::detail
