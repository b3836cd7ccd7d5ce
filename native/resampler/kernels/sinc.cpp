// Element-wise sinc: one fused pass instead of the ~10 array passes of the
// equivalent NumPy expression.

// GCC options for this file:
// - fp-contract=off: a = pi*x + eps must be rounded exactly like NumPy
//   (multiply, then add).  A fused multiply-add would move a by an ulp, which
//   is a large relative change of sin(a)/a next to its zeros.  (Clang only
//   contracts within one expression, and a is built from two.)
// - no-trapping-math: lets the selects below become vector blends.  FP traps
//   are never enabled, so values are unaffected.
// - vect-cost-model=dynamic: vectorise at -O2 as well as -O3.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("fp-contract=off", "no-trapping-math", "vect-cost-model=dynamic")
#endif

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "resampler/kernels/isa.hpp"
#include "resampler/kernels/sinc_kernels.hpp"
#include "kernels/sincos.hpp"

namespace corvane::kernels {
namespace {

constexpr double kEps = 1e-8;
// Small enough that the slow-path pass re-reads x and y from L1.
constexpr std::size_t kChunk = 1024;

// Vectorisable pass over one chunk.  Returns whether some element needs the
// slow path (|pi*x| > kSinFastLimit, or NaN); those y values are garbage.
CORVANE_INLINE bool sinc_fast_pass(const double* x, std::size_t n, double pi, double* y) {
  // OR of the bit patterns of 0.0 / 1.0 flags: the one reduction form that
  // also vectorises for plain SSE2 (a counter of bools does not).
  std::uint64_t slow = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double t = pi * x[i];
    const double a = t + kEps;
    slow |= detail::to_bits(std::fabs(t) <= detail::kSinFastLimit ? 0.0 : 1.0);
    double s, c;
    detail::sincos_fast(a, s, c);
    const double q = s / a;
    // Non-short-circuit | keeps the loop free of branches.
    const bool one = (std::fabs(t) < kEps) | (a == 0.0);
    y[i] = one ? 1.0 : q;
  }
  return slow != 0;
}

CORVANE_INLINE bool sinc_impl(const double* x, std::size_t n, double pi, double* y) {
  for (std::size_t start = 0; start < n; start += kChunk) {
    const std::size_t len = n - start < kChunk ? n - start : kChunk;
    const double* xc = x + start;
    double* yc = y + start;
    if (!sinc_fast_pass(xc, len, pi, yc)) continue;
    for (std::size_t i = 0; i < len; ++i) {
      const double t = pi * xc[i];
      if (!std::isfinite(t)) return false;
      if (std::fabs(t) > detail::kSinFastLimit) {
        const double a = t + kEps;  // |a| > 1e6, never 0
        yc[i] = std::sin(a) / a;
      }
    }
  }
  return true;
}

bool sinc_baseline(const double* x, std::size_t n, double pi, double* y) {
  return sinc_impl(x, n, pi, y);
}

#if CORVANE_X86_DISPATCH
CORVANE_TARGET_AVX2 bool sinc_avx2(const double* x, std::size_t n, double pi, double* y) {
  return sinc_impl(x, n, pi, y);
}

CORVANE_TARGET_AVX512 bool sinc_avx512(const double* x, std::size_t n, double pi,
                                       double* y) {
  return sinc_impl(x, n, pi, y);
}
#endif

}  // namespace

bool sinc(const double* x, std::size_t n, double pi, double* y, Checkpoint* cp) noexcept {
  auto variant = sinc_baseline;
  switch (detail::best_isa()) {
#if CORVANE_X86_DISPATCH
    case detail::Isa::avx512:
      variant = sinc_avx512;
      break;
    case detail::Isa::avx2:
      variant = sinc_avx2;
      break;
#endif
    default:
      break;
  }
  for (std::size_t start = 0; start < n; start += kSincChunk) {
    if (start > 0 && !proceed(cp)) return false;
    const std::size_t len = n - start < kSincChunk ? n - start : kSincChunk;
    if (!variant(x + start, len, pi, y + start)) return false;
  }
  return true;
}

}  // namespace corvane::kernels
