// The parts of the hierarchical sinc sums that must round in a prescribed
// way: the phases (sin and cos of pi*x + shift, with pi*x + shift carried as
// an exact double-double, for |x| <= 2^30) and the near terms (rounded like
// the element-wise sinc).
//
// GCC options for this file:
// - fp-contract=off: two_prod's Veltkamp split (the baseline build has no
//   FMA) is exact only if nothing is fused, and the instruction-set variants
//   below would otherwise fuse it.
// - no-trapping-math, vect-cost-model=dynamic: let the loop vectorise
//   (as in sinc.cpp).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("fp-contract=off", "no-trapping-math", "vect-cost-model=dynamic")
#endif

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "resampler/kernels/isa.hpp"
#include "resampler/kernels/sinc_sum_common.hpp"
#include "kernels/sincos.hpp"

namespace corvane::kernels::detail {
namespace {

// pi/2 = kWideA + kWideB + kWideC + kWideD to about 1e-36; the first three
// have 21 significant bits, so q times each is exact for |q| < 2^32.
constexpr double kWideA = 0x1.921fbp+0;
constexpr double kWideB = 0x1.5110bp-22;
constexpr double kWideC = 0x1.18469p-44;
constexpr double kWideD = 0x1.13198a2e03707p-65;

// sin and cos of a to within about 1 ulp absolute for |a| < 2^32: the
// reduction of sincos_fast with shorter pieces of pi/2.  r1 = a - q*A is
// exact (Sterbenz), the next two steps are error-free, and the neglected
// q * (pi/2 - A - B - C - D) is below 1e-26.
CORVANE_INLINE void sincos_wide(double a, double& sin_a, double& cos_a) {
  sincos_reduced(a, kWideA, kWideB, kWideC, kWideD, sin_a, cos_a);
}

CORVANE_INLINE void phases_impl(const double* x, std::size_t n, double pi, double shift,
                                double* s, double* c) {
  for (std::size_t i = 0; i < n; ++i) {
    double ph, pl, xh, xl, sh, ch;
    two_prod(pi, x[i], ph, pl);
    two_sum(ph, shift, xh, xl);
    const double lo = xl + pl;  // |lo| <= ulp(xh) <= 2^-20
    sincos_wide(xh, sh, ch);
    // Second order in lo: the neglected lo^3/6 is below 1e-19.
    const double h = 0.5 * lo * lo;
    s[i] = sh + (ch * lo - sh * h);
    c[i] = ch - (sh * lo + ch * h);
  }
}

// Near terms for eight outputs (sorted u), lanes over outputs: each output's
// near inputs are a short run of indices, found with the one test on
// fl(v - u); round j takes the j-th input of every run.
template <bool kComplex>
CORVANE_INLINE void near8_impl(const double* v, const double* s, std::size_t ka, std::size_t kb,
                               const double* u, double pi, double* re, double* im) {
  std::size_t first[8], count[8], rounds = 0, k = ka;
  for (int l = 0; l < 8; ++l) {
    while (k < kb && v[k] - u[l] <= -kNear) ++k;
    std::size_t c = 0;
    while (k + c < kb && v[k + c] - u[l] < kNear) ++c;
    first[l] = k;
    count[l] = c;
    rounds = c > rounds ? c : rounds;
  }
  for (std::size_t j = 0; j < rounds; ++j) {
    double d[8], sr[8], si[8], keep[8];
    for (int l = 0; l < 8; ++l) {
      const bool in = j < count[l];
      const std::size_t i = in ? first[l] + j : first[0];  // a valid index when masked
      d[l] = v[i] - u[l];
      sr[l] = kComplex ? s[2 * i] : s[i];
      si[l] = kComplex ? s[2 * i + 1] : 0.0;
      keep[l] = in ? 1.0 : 0.0;
    }
    for (int l = 0; l < 8; ++l) {
      const double t = pi * d[l];
      const double a = t + kEps;
      double sn, cs;
      sincos_fast(a, sn, cs);
      const double q = sn / a;
      const bool one = (std::fabs(t) < kEps) | (a == 0.0);
      const double y = (one ? 1.0 : q) * keep[l];
      re[l] += sr[l] * y;
      if (kComplex) im[l] += si[l] * y;
    }
  }
}

void near8_baseline(bool complex_samples, const double* v, const double* s, std::size_t ka,
                    std::size_t kb, const double* u, double pi, double* re, double* im) {
  if (complex_samples) near8_impl<true>(v, s, ka, kb, u, pi, re, im);
  else near8_impl<false>(v, s, ka, kb, u, pi, re, im);
}

#if CORVANE_X86_DISPATCH
CORVANE_TARGET_AVX2 void near8_avx2(bool complex_samples, const double* v, const double* s,
                                    std::size_t ka, std::size_t kb, const double* u, double pi,
                                    double* re, double* im) {
  if (complex_samples) near8_impl<true>(v, s, ka, kb, u, pi, re, im);
  else near8_impl<false>(v, s, ka, kb, u, pi, re, im);
}

CORVANE_TARGET_AVX512 void near8_avx512(bool complex_samples, const double* v, const double* s,
                                        std::size_t ka, std::size_t kb, const double* u,
                                        double pi, double* re, double* im) {
  if (complex_samples) near8_impl<true>(v, s, ka, kb, u, pi, re, im);
  else near8_impl<false>(v, s, ka, kb, u, pi, re, im);
}
#endif

void phases_baseline(const double* x, std::size_t n, double pi, double shift, double* s,
                     double* c) {
  phases_impl(x, n, pi, shift, s, c);
}

#if CORVANE_X86_DISPATCH
CORVANE_TARGET_AVX2 void phases_avx2(const double* x, std::size_t n, double pi, double shift,
                                     double* s, double* c) {
  phases_impl(x, n, pi, shift, s, c);
}

CORVANE_TARGET_AVX512 void phases_avx512(const double* x, std::size_t n, double pi,
                                         double shift, double* s, double* c) {
  phases_impl(x, n, pi, shift, s, c);
}
#endif

}  // namespace

void wide_phases(const double* x, std::size_t n, double pi, double shift, double* s, double* c) {
  auto variant = phases_baseline;
  switch (best_isa()) {
#if CORVANE_X86_DISPATCH
    case Isa::avx512:
      variant = phases_avx512;
      break;
    case Isa::avx2:
      variant = phases_avx2;
      break;
#endif
    default:
      break;
  }
  variant(x, n, pi, shift, s, c);
}

void near_terms8(bool complex_samples, const double* v, const double* s, std::size_t ka,
                 std::size_t kb, const double* u, double pi, double* re, double* im) {
  auto variant = near8_baseline;
  switch (best_isa()) {
#if CORVANE_X86_DISPATCH
    case Isa::avx512:
      variant = near8_avx512;
      break;
    case Isa::avx2:
      variant = near8_avx2;
      break;
#endif
    default:
      break;
  }
  variant(complex_samples, v, s, ka, kb, u, pi, re, im);
}

}  // namespace corvane::kernels::detail
