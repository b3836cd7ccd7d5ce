// Sinc interpolation sums: out[m] = sum_k s[k] * sinc(v[k] - u[m]), the
// direct O(N*M) evaluation, and the entry that chooses between it and the
// hierarchical one (sinc_sum_tree.cpp) by size.
//
// Method.  With x_k = pi*v_k + eps and y_m = pi*u_m,
//   sin(pi*(v_k - u_m) + eps) = sin(x_k) cos(y_m) - cos(x_k) sin(y_m),
// so after O(N + M) sines and cosines each term needs only a reciprocal of
//   den = pi*(v_k - u_m) + eps
// and two multiply-adds per real channel:
//   out[m] = cos(y_m) * sum_k s_k sin(x_k) / den - sin(y_m) * sum_k s_k cos(x_k) / den.
//
// Accuracy.  x_k and y_m are carried as exact double-double values, so the
// numerator sin(x_k - y_m) is known to a few 1e-16 absolute.  That is only a
// good relative accuracy where |den| is not small; the terms with
// |fl(v_k - u_m)| < kNear (|den| < ~pi) are therefore evaluated directly, exactly
// like the element-wise kernel, and excluded from the identity sums.  The
// remaining terms carry an error of about 1e-15 |s_k| / |den| <= 4e-16 |s_k|,
// independent of N, which keeps the result well inside 1e-12 * sum |s|.
// The compiler may fuse pi*(v - u) + eps into one FMA in the AVX2/AVX-512
// variants; that moves den by at most an ulp (1e-16 relative per term) and
// is accepted for the speed of fused accumulation.
//
// Speed.  The reciprocals are taken eight at a time from one division
// (1/d0 = d1 d2 d3 / (d0 d1 d2 d3) for four, a few ulp), since division
// throughput is the bottleneck otherwise.  Terms are processed in blocks of eight
// vectors; |den| >= pi*kNear keeps the product far from underflow and
// |v|, |u| <= kMaxPosition keeps it far from overflow.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "resampler/kernels/isa.hpp"
#include "resampler/kernels/sinc_kernels.hpp"
#include "kernels/sincos.hpp"
#include "resampler/kernels/sinc_sum_common.hpp"

namespace corvane::kernels {
namespace {

using detail::kEps;
using detail::kNear;
using detail::kLanes;
using detail::VecBase;
#if CORVANE_X86_DISPATCH
using detail::Vec4;
using detail::Vec8;
#endif
using detail::two_prod;
using detail::sincos_dd;
// Position bound: keeps |pi*v| < 2^24, where ulp(pi*v) <= 2^-28 and the
// first-order correction in sincos_dd is good to 1e-17; it also keeps the
// product of eight denominators far from overflow.
constexpr double kMaxPosition = 0x1p22;
// Offset given to masked and padding positions: |den| >= pi * 1024 with
// zero weight, so they add exactly 0.
constexpr double kFar = 1024.0;
// Padding unit: one block of the widest variant (8 vectors of 8 doubles).
constexpr std::size_t kBlock = 64;

// p must be sizeof(V)-aligned: only used on the 64-byte aligned scratch, at
// multiples of the vector length.  References rather than values avoid
// passing vectors wider than the baseline target knows (-Wpsabi).
template <class V>
CORVANE_INLINE const V& load(const double* p) {
  return *reinterpret_cast<const V*>(p);
}

template <class V>
CORVANE_INLINE double hsum(const V& x) {
  double s = 0.0;
  for (int i = 0; i < kLanes<V>; ++i) s += x[i];
  return s;
}

// One term of the reference sum, evaluated as the element-wise kernel does.
// Only called for |d| < kNear, well inside sincos_fast's range.
CORVANE_INLINE double sinc_direct(double d, double pi) {
  const double t = pi * d;
  if (std::fabs(t) < kEps) return 1.0;
  const double a = t + kEps;
  if (a == 0.0) return 1.0;
  double s, c;
  detail::sincos_fast(a, s, c);
  return s / a;
}

struct Problem {
  const double* v;   // input positions, non-decreasing
  std::size_t n;
  std::size_t npad;  // n rounded up to kBlock
  const double* u;
  std::size_t m;
  const double* s;   // samples, interleaved when complex
  double pi;
  double* vs;        // padded copy of v; near positions are moved away per output
  double* w[4];      // identity weights: s*sin(x), s*cos(x) (re, then im)
  double* sin_x;     // sin(pi v + eps), cos(pi v + eps)
  double* cos_x;
  double* sin_y;     // sin(pi u), cos(pi u)
  double* cos_y;
  double* out;
};

// [lo, hi) = indices with |fl(v[k] - u)| < kNear (rounding is monotone, so
// they are contiguous for sorted v).  Starts from the uniform-grid estimate
// and walks, so it is exact for any sorted v and O(1) for the linspace grids.
CORVANE_INLINE void near_window(const double* v, std::size_t n, double inv_step, double u,
                                std::size_t& lo, std::size_t& hi) {
  double g = (u - v[0]) * inv_step;
  std::size_t k = 0;
  if (g > 0.0) k = g >= static_cast<double>(n - 1) ? n - 1 : static_cast<std::size_t>(g);
  lo = k;
  while (lo > 0 && v[lo - 1] - u > -kNear) --lo;
  while (lo < n && v[lo] - u <= -kNear) ++lo;
  hi = k > lo ? k : lo;
  while (hi < n && v[hi] - u < kNear) ++hi;
  while (hi > lo && v[hi - 1] - u >= kNear) --hi;
}

CORVANE_INLINE void set_weights(const Problem& p, bool complex_samples, std::size_t k) {
  if (complex_samples) {
    const double re = p.s[2 * k], im = p.s[2 * k + 1];
    p.w[0][k] = re * p.sin_x[k];
    p.w[1][k] = re * p.cos_x[k];
    p.w[2][k] = im * p.sin_x[k];
    p.w[3][k] = im * p.cos_x[k];
  } else {
    p.w[0][k] = p.s[k] * p.sin_x[k];
    p.w[1][k] = p.s[k] * p.cos_x[k];
  }
}

// The O(N*M) part for the outputs [m_begin, m_end), instantiated once per
// vector width.
template <class V, bool kComplex>
CORVANE_INLINE void sum_terms(const Problem& p, std::size_t m_begin, std::size_t m_end) {
  constexpr std::size_t L = kLanes<V>;
  constexpr int kW = kComplex ? 4 : 2;
  const double inv_step =
      p.n > 1 && p.v[p.n - 1] > p.v[0] ? static_cast<double>(p.n - 1) / (p.v[p.n - 1] - p.v[0])
                                       : 0.0;
  const V vpi = V{} + p.pi;
  const V veps = V{} + kEps;

  for (std::size_t m = m_begin; m < m_end; ++m) {
    const double um = p.u[m];
    std::size_t lo, hi;
    near_window(p.v, p.n, inv_step, um, lo, hi);

    // Drop the near terms from the identity sums (zero weight, safe den).
    for (std::size_t k = lo; k < hi; ++k) {
      p.vs[k] = um + kFar;
      for (int c = 0; c < kW; ++c) p.w[c][k] = 0.0;
    }

    const V vu = V{} + um;
    V acc[kW];
    for (int c = 0; c < kW; ++c) acc[c] = V{};
    for (std::size_t k = 0; k < p.npad; k += 8 * L) {
      V d[8];
      for (int j = 0; j < 8; ++j) d[j] = vpi * (load<V>(p.vs + k + j * L) - vu) + veps;
      // 1/d[j] for eight vectors from one division: products up a binary
      // tree, one reciprocal at the root, then back down.
      const V p01 = d[0] * d[1], p23 = d[2] * d[3], p45 = d[4] * d[5], p67 = d[6] * d[7];
      const V p03 = p01 * p23, p47 = p45 * p67;
      const V r07 = 1.0 / (p03 * p47);
      const V r03 = r07 * p47, r47 = r07 * p03;
      const V r01 = r03 * p23, r23 = r03 * p01, r45 = r47 * p67, r67 = r47 * p45;
      const V inv[8] = {r01 * d[1], r01 * d[0], r23 * d[3], r23 * d[2],
                        r45 * d[5], r45 * d[4], r67 * d[7], r67 * d[6]};
      for (int c = 0; c < kW; ++c) {
        const double* w = p.w[c] + k;
        acc[c] += ((load<V>(w) * inv[0] + load<V>(w + L) * inv[1]) +
                   (load<V>(w + 2 * L) * inv[2] + load<V>(w + 3 * L) * inv[3])) +
                  ((load<V>(w + 4 * L) * inv[4] + load<V>(w + 5 * L) * inv[5]) +
                   (load<V>(w + 6 * L) * inv[6] + load<V>(w + 7 * L) * inv[7]));
      }
    }

    double near_re = 0.0, near_im = 0.0;
    for (std::size_t k = lo; k < hi; ++k) {
      p.vs[k] = p.v[k];
      set_weights(p, kComplex, k);
      const double sk = sinc_direct(p.v[k] - um, p.pi);
      if (kComplex) {
        near_re += p.s[2 * k] * sk;
        near_im += p.s[2 * k + 1] * sk;
      } else {
        near_re += p.s[k] * sk;
      }
    }

    const double cy = p.cos_y[m], sy = p.sin_y[m];
    if (kComplex) {
      p.out[2 * m] = (cy * hsum(acc[0]) - sy * hsum(acc[1])) + near_re;
      p.out[2 * m + 1] = (cy * hsum(acc[2]) - sy * hsum(acc[3])) + near_im;
    } else {
      p.out[m] = (cy * hsum(acc[0]) - sy * hsum(acc[1])) + near_re;
    }
  }
}

template <bool kComplex>
void sum_baseline(const Problem& p, std::size_t m_begin, std::size_t m_end) {
  sum_terms<VecBase, kComplex>(p, m_begin, m_end);
}

#if CORVANE_X86_DISPATCH
template <bool kComplex>
CORVANE_TARGET_AVX2 void sum_avx2(const Problem& p, std::size_t m_begin, std::size_t m_end) {
  sum_terms<Vec4, kComplex>(p, m_begin, m_end);
}

template <bool kComplex>
CORVANE_TARGET_AVX512 void sum_avx512(const Problem& p, std::size_t m_begin, std::size_t m_end) {
  sum_terms<Vec8, kComplex>(p, m_begin, m_end);
}
#endif

bool positions_ok(const double* x, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    if (!(std::fabs(x[i]) <= kMaxPosition)) return false;  // also rejects NaN
  }
  return true;
}

template <bool kComplex>
bool sum_impl(const double* v, std::size_t n, const double* u, std::size_t m, const double* s,
              double pi, double* out, Checkpoint* cp) {
  constexpr std::size_t kChannels = kComplex ? 2 : 1;
  if (m == 0) return true;
  if (n == 0) {
    for (std::size_t i = 0; i < kChannels * m; ++i) out[i] = 0.0;
    return true;
  }
  if (!(pi >= 1.0 && pi <= 4.0)) return false;
  if (!positions_ok(v, n) || !positions_ok(u, m)) return false;
  for (std::size_t k = 1; k < n; ++k) {
    if (v[k] < v[k - 1]) return false;
  }
  for (std::size_t i = 0; i < kChannels * n; ++i) {
    if (!std::isfinite(s[i])) return false;
  }

  // One allocation, 64-byte aligned blocks: vs | w[0..] | sin_x cos_x | sin_y cos_y.
  constexpr std::size_t kAlignDoubles = 8;
  constexpr int kW = kComplex ? 4 : 2;
  const std::size_t npad = (n + kBlock - 1) / kBlock * kBlock;
  const std::size_t mpad = (m + kAlignDoubles - 1) / kAlignDoubles * kAlignDoubles;
  std::vector<double> scratch((1 + kW + 2) * npad + 2 * mpad + kAlignDoubles);
  double* base = scratch.data();
  while (reinterpret_cast<std::uintptr_t>(base) % (kAlignDoubles * sizeof(double)) != 0) ++base;

  Problem p;
  p.v = v;
  p.n = n;
  p.npad = npad;
  p.u = u;
  p.m = m;
  p.s = s;
  p.pi = pi;
  p.vs = base;
  for (int c = 0; c < kW; ++c) p.w[c] = base + (1 + c) * npad;
  for (int c = kW; c < 4; ++c) p.w[c] = nullptr;
  p.sin_x = base + (1 + kW) * npad;
  p.cos_x = p.sin_x + npad;
  p.sin_y = p.cos_x + npad;
  p.cos_y = p.sin_y + mpad;
  p.out = out;

  double umax = 0.0;
  for (std::size_t i = 0; i < m; ++i) umax = std::fmax(umax, std::fabs(u[i]));
  for (std::size_t k = 0; k < n; ++k) {
    double ph, pl, xh, xl;
    two_prod(pi, v[k], ph, pl);
    detail::two_sum(ph, kEps, xh, xl);
    sincos_dd(xh, xl + pl, p.sin_x[k], p.cos_x[k]);
    p.vs[k] = v[k];
    set_weights(p, kComplex, k);
  }
  for (std::size_t k = n; k < npad; ++k) p.vs[k] = umax + kFar;  // weights stay 0
  for (std::size_t i = 0; i < m; ++i) {
    double yh, yl;
    two_prod(pi, u[i], yh, yl);
    sincos_dd(yh, yl, p.sin_y[i], p.cos_y[i]);
  }

  auto variant = sum_baseline<kComplex>;
  switch (detail::best_isa()) {
#if CORVANE_X86_DISPATCH
    case detail::Isa::avx512:
      variant = sum_avx512<kComplex>;
      break;
    case detail::Isa::avx2:
      variant = sum_avx2<kComplex>;
      break;
#endif
    default:
      break;
  }
  // Whole outputs per chunk, about kSumChunkTerms terms each.
  const std::size_t chunk = npad >= kSumChunkTerms ? 1 : kSumChunkTerms / npad;
  for (std::size_t begin = 0; begin < m; begin += chunk) {
    if (begin > 0 && !proceed(cp)) return false;
    variant(p, begin, m - begin < chunk ? m : begin + chunk);
  }

  for (std::size_t i = 0; i < kChannels * m; ++i) {
    if (!std::isfinite(out[i])) return false;
  }
  return true;
}

}  // namespace

bool sinc_sum_direct(const double* v, std::size_t N, const double* u, std::size_t M,
                     const double* s, double pi, double* out, Checkpoint* cp) {
  return sum_impl<false>(v, N, u, M, s, pi, out, cp);
}

bool sinc_sum_direct_complex(const double* v, std::size_t N, const double* u, std::size_t M,
                             const double* s, double pi, double* out, Checkpoint* cp) {
  return sum_impl<true>(v, N, u, M, s, pi, out, cp);
}

bool sinc_sum_prefers_tree(std::size_t N, std::size_t M) {
  return static_cast<double>(N) * static_cast<double>(M) >= kTreeCrossoverTerms;
}

namespace {

enum class Method { direct, tree };

// The size rule, the testing hook, and positions only the tree can take.
Method choose(const double* v, std::size_t N, const double* u, std::size_t M) {
  if (const char* forced = std::getenv("CORVANE_SINC_SUM")) {
    if (std::strcmp(forced, "direct") == 0) return Method::direct;
    if (std::strcmp(forced, "tree") == 0) return Method::tree;
  }
  if (sinc_sum_prefers_tree(N, M)) return Method::tree;
  return positions_ok(v, N) && positions_ok(u, M) ? Method::direct : Method::tree;
}

}  // namespace

bool sinc_sum(const double* v, std::size_t N, const double* u, std::size_t M, const double* s,
              double pi, double* out, Checkpoint* cp) {
  return choose(v, N, u, M) == Method::tree ? sinc_sum_tree(v, N, u, M, s, pi, out, cp)
                                             : sinc_sum_direct(v, N, u, M, s, pi, out, cp);
}

bool sinc_sum_complex(const double* v, std::size_t N, const double* u, std::size_t M,
                      const double* s, double pi, double* out, Checkpoint* cp) {
  return choose(v, N, u, M) == Method::tree
             ? sinc_sum_tree_complex(v, N, u, M, s, pi, out, cp)
             : sinc_sum_direct_complex(v, N, u, M, s, pi, out, cp);
}

}  // namespace corvane::kernels
