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

#include <algorithm>
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

// base[i[l]] in every lane l, i holding 64-bit indices (the type of a
// comparison of V).
template <class V>
using Index = decltype(V{} < V{});

template <class V>
CORVANE_INLINE V gather(const double* base, const Index<V>& i) {
  V r;
  for (int l = 0; l < kLanes<V>; ++l) r[l] = base[i[l]];
  return r;
}


// Near terms for eight outputs (sorted u), lanes over outputs: each output's
// near inputs are a short run of indices, found with the one test on
// fl(v - u); round j takes the j-th input of every run.  The arithmetic is
// that of the element-wise sinc, on vectors (sincos_reduced_vec is
// bit-identical to sincos_fast).
template <class V, bool kComplex>
CORVANE_INLINE void near8_impl(const double* v, const double* s, std::size_t ka, std::size_t kb,
                               const double* u, double pi, double* re, double* im) {
  constexpr int Ln = kLanes<V>;
  constexpr int kGroups = 8 / Ln;
  typedef Index<V> Mask;  // lanes of 64-bit integers, true = -1
  // Per output, the inputs of [ka, kb) before its run (a prefix: v is sorted
  // and fl(v - u) is monotone in v) and the run's length, counted without
  // branches: a search per output mispredicts at every step.
  Mask before[kGroups] = {}, length[kGroups] = {};
  V uv[kGroups];
  for (int g = 0; g < kGroups; ++g) uv[g] = loadu<V>(u + g * Ln);
  for (std::size_t k = ka; k < kb; ++k) {
    for (int g = 0; g < kGroups; ++g) {
      const V d = v[k] - uv[g];
      before[g] -= d <= -kNear;
      length[g] -= d < kNear;
    }
  }
  for (int g = 0; g < kGroups; ++g) length[g] -= before[g];
  std::int64_t rounds = 0;
  for (int g = 0; g < kGroups; ++g)
    for (int l = 0; l < Ln; ++l) rounds = std::max<std::int64_t>(rounds, length[g][l]);
  const V vpi = V{} + pi, veps = V{} + kEps, one = V{} + 1.0;
  for (std::int64_t j = 0; j < rounds; ++j) {
    for (int g = 0; g < kGroups; ++g) {
      // Lanes whose run is shorter read input ka (valid: the runs are not
      // all empty) and add exactly zero.
      const Mask take = Mask{} + j < length[g];
      const Mask i = ((before[g] + j) & take) + static_cast<std::int64_t>(ka);
      const V vi = gather<V>(v, i), s_re = kComplex ? gather<V>(s, i + i) : gather<V>(s, i);
      V sn, cs;
      const V t = vpi * (vi - uv[g]);
      const V a = t + veps;
      sincos_reduced_vec(a, kPio2A, kPio2B, kPio2C, kPio2D, sn, cs);
      const V q = sn / a;
      const Mask unit = ((V)((Mask)t & ~(Mask)(-V{})) < veps) | (a == V{});
      // Selects as bit operations.
      const V y = (V)((((Mask)one & unit) | ((Mask)q & ~unit)) & take);
      storeu(re + g * Ln, loadu<V>(re + g * Ln) + s_re * y);
      if (kComplex) {
        const V s_im = gather<V>(s + 1, i + i);
        storeu(im + g * Ln, loadu<V>(im + g * Ln) + s_im * y);
      }
    }
  }
}

void near8_baseline(bool complex_samples, const double* v, const double* s, std::size_t ka,
                    std::size_t kb, const double* u, double pi, double* re, double* im) {
  if (complex_samples) near8_impl<VecBase, true>(v, s, ka, kb, u, pi, re, im);
  else near8_impl<VecBase, false>(v, s, ka, kb, u, pi, re, im);
}

#if CORVANE_X86_DISPATCH
CORVANE_TARGET_AVX2 void near8_avx2(bool complex_samples, const double* v, const double* s,
                                    std::size_t ka, std::size_t kb, const double* u, double pi,
                                    double* re, double* im) {
  if (complex_samples) near8_impl<Vec4, true>(v, s, ka, kb, u, pi, re, im);
  else near8_impl<Vec4, false>(v, s, ka, kb, u, pi, re, im);
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
    // 256-bit vectors on AVX-512 machines too: eight outputs are two of
    // them, and GCC 12 turns the AVX-512 form of these compares (mask
    // registers, then vectors) into scalar code.
    case Isa::avx512:
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
