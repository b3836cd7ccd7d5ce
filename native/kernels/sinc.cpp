// Element-wise sinc: one fused pass instead of the ~10 array passes of the
// equivalent NumPy expression.
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "kernels/dispatch.hpp"
#include "kernels/sinc.hpp"
#include "kernels/sincos.hpp"

namespace corvane::kernels {
// y[i] = sinc(x[i]) for one chunk; false when some pi * x[i] is not finite.
template <Isa>
struct SincChunk {
    static bool run(const double* x, std::size_t n, double pi, double* y) noexcept;
};
}  // namespace corvane::kernels

CORVANE_VARIANT_BEGIN
namespace corvane::kernels {
namespace {

constexpr double kEps = 1e-8;
// Small enough that the slow-path pass re-reads x and y from L1.
constexpr std::size_t kBlock = 1024;

// Vectorisable pass over one block. Returns whether some element needs the
// slow path (|pi*x| > kSinFastLimit, or NaN); those y values are garbage.
bool fast_pass(const double* x, std::size_t n, double pi, double* y)
{
    // OR of the bit patterns of 0.0 / 1.0 flags: the one reduction form that
    // also vectorises for plain SSE2 (a counter of bools does not).
    std::uint64_t slow = 0;
    const detail::Trig k = detail::pinned_if<Traits<kIsa>::pin_constants>(detail::kTrig);
    for (std::size_t i = 0; i < n; ++i) {
        const double t = pi * x[i];
        const double a = t + kEps;
        slow |= detail::to_bits(std::fabs(t) <= detail::kSinFastLimit ? 0.0 : 1.0);
        double s, c;
        detail::sincos_reduced(a, k, s, c);
        const double q = s / a;
        // Non-short-circuit | keeps the loop free of branches.
        const bool one = (std::fabs(t) < kEps) | (a == 0.0);
        y[i] = one ? 1.0 : q;
    }
    return slow != 0;
}

// One element at a time, for cores without double-precision SIMD: the common
// case (kEps < |t| <= kSinFastLimit) takes two tests and the sine alone; the
// rest branches off to the definition above.
template <int = 0>  // a template, so that variants that never call it do not warn
bool scalar_pass(const double* x, std::size_t n, double pi, double* y)
{
    const detail::Trig k = detail::pinned_if<Traits<kIsa>::pin_constants>(detail::kTrig);
    for (const double* end = x + n; x != end; ++x, ++y) {
        const double t = pi * *x;
        const double at = std::fabs(t);
        const double a = t + kEps;
        if (__builtin_expect(at > kEps, 1)) {
            if (__builtin_expect(at <= detail::kSinFastLimit, 1)) {
                *y = detail::sin_scalar(a, k) / a;
            } else {
                if (!std::isfinite(t)) return false;
                *y = std::sin(a) / a;  // |a| > 1e6, never 0
            }
        } else {
            if (std::isnan(t)) return false;
            *y = at < kEps || a == 0.0 ? 1.0 : detail::sin_scalar(a, k) / a;
        }
    }
    return true;
}

}  // namespace

template <>
bool SincChunk<kIsa>::run(const double* x, std::size_t n, double pi, double* y) noexcept
{
    if constexpr (Traits<kIsa>::lanes == 1) return scalar_pass<>(x, n, pi, y);
    for (std::size_t start = 0; start < n; start += kBlock) {
        const std::size_t len = n - start < kBlock ? n - start : kBlock;
        const double* xb = x + start;
        double* yb = y + start;
        if (!fast_pass(xb, len, pi, yb)) continue;
        for (std::size_t i = 0; i < len; ++i) {
            const double t = pi * xb[i];
            if (!std::isfinite(t)) return false;
            if (std::fabs(t) > detail::kSinFastLimit) {
                const double a = t + kEps;  // |a| > 1e6, never 0
                yb[i] = std::sin(a) / a;
            }
        }
    }
    return true;
}
}  // namespace corvane::kernels
CORVANE_VARIANT_END

#if CORVANE_ONCE
namespace corvane::kernels {
bool sinc(const double* x, std::size_t n, double pi, double* y, Checkpoint* cp) noexcept
{
    for (std::size_t start = 0; start < n; start += kSincChunk) {
        if (start > 0 && !proceed(cp)) return false;
        const std::size_t len = n - start < kSincChunk ? n - start : kSincChunk;
        if (!dispatch<SincChunk>(x + start, len, pi, y + start)) return false;
    }
    return true;
}
}  // namespace corvane::kernels
#endif
