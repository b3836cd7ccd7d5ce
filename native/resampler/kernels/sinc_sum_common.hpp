// Pieces shared by the two evaluations of the sinc interpolation sums (the
// direct one in sinc_sum.cpp, the hierarchical one in sinc_sum_tree.cpp), so
// that both split the terms, round the phases and treat the near terms in
// exactly the same way.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "kernels/sincos.hpp"
#include "resampler/kernels/isa.hpp"

namespace corvane::kernels::detail {

constexpr double kEps = 1e-8;
// A term with |fl(v - u)| < kNear is evaluated like the element-wise sinc;
// every other term goes through the addition theorem.  Both evaluations
// decide by this one test on the rounded difference, so no term is dropped
// or counted twice.
constexpr double kNear = 1.0;

// GCC/Clang vector extensions: portable element-wise code whose width is
// fixed per variant.  Where there is no double-precision SIMD (32-bit ARM)
// the compiler lowers VecBase to pairs of scalar operations.
typedef double VecBase __attribute__((vector_size(16)));
#if CORVANE_X86_DISPATCH
typedef double Vec4 __attribute__((vector_size(32)));
typedef double Vec8 __attribute__((vector_size(64)));
#endif

template <class V>
constexpr int kLanes = sizeof(V) / sizeof(double);

// Uninitialised scratch of n doubles, 64-byte aligned.  From 4 MiB on it is
// 2 MiB aligned and asked to be backed by transparent huge pages, as NumPy
// does for its large arrays: every fresh 4 KiB page costs a fault and a clear,
// a sixth of the run time of a large hierarchical sum.
class Scratch {
 public:
  explicit Scratch(std::size_t n) {
    constexpr std::size_t kHuge = std::size_t(1) << 21;
    if (n > (SIZE_MAX - kHuge) / sizeof(double)) throw std::bad_alloc();
    const std::size_t bytes = n * sizeof(double);
    const std::size_t align = bytes >= 2 * kHuge ? kHuge : 64;
    void* p = nullptr;
    if (posix_memalign(&p, align, bytes > 0 ? bytes : 1) != 0) throw std::bad_alloc();
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (align == kHuge) madvise(p, bytes, MADV_HUGEPAGE);  // a hint: failure is harmless
#endif
    data_ = static_cast<double*>(p);
  }
  ~Scratch() { std::free(data_); }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  double* get() const { return data_; }

 private:
  double* data_;
};

// Unaligned vector load and store.
template <class V>
CORVANE_INLINE V loadu(const double* p) {
  V x;
  std::memcpy(&x, p, sizeof x);
  return x;
}

template <class V>
CORVANE_INLINE void storeu(double* p, const V& x) {
  std::memcpy(p, &x, sizeof x);
}

// hi + lo == a * b exactly (no overflow assumed).
CORVANE_INLINE void two_prod(double a, double b, double& hi, double& lo) {
  hi = a * b;
#if defined(__FP_FAST_FMA)
  lo = std::fma(a, b, -hi);
#else
  // Veltkamp split; correct because without hardware FMA nothing is fused.
  constexpr double kSplit = 134217729.0;  // 2^27 + 1
  const double ca = kSplit * a, cb = kSplit * b;
  const double ah = ca - (ca - a), al = a - ah;
  const double bh = cb - (cb - b), bl = b - bh;
  lo = ((ah * bh - hi) + ah * bl + al * bh) + al * bl;
#endif
}

// sin and cos of hi + lo, |lo| <= ulp(hi) <= 2^-28: first order in lo is
// enough (lo^2 / 2 < 2e-18).
CORVANE_INLINE void sincos_dd(double hi, double lo, double& s, double& c) {
  double sh, ch;
  if (std::fabs(hi) <= kSinFastLimit) {
    sincos_fast(hi, sh, ch);
  } else {
    sh = std::sin(hi);
    ch = std::cos(hi);
  }
  s = sh + ch * lo;
  c = ch - sh * lo;
}

// s[i], c[i] = sin and cos of pi*x[i] + shift, the argument taken exactly
// (double-double), to within about 2e-16 absolute for |pi*x[i]| < 2^32 and
// |shift| <= 1e-8 (sinc_sum_exact.cpp).  Vectorised.
void wide_phases(const double* x, std::size_t n, double pi, double shift, double* s, double* c);

// For the eight outputs at u[0..8): re[l] (and im[l] for complex samples)
// += s[k] * sinc(v[k] - u[l]) over k in [ka, kb) with |fl(v[k] - u[l])| <
// kNear, each term rounded like the element-wise sinc (sinc_sum_exact.cpp).
void near_terms8(bool complex_samples, const double* v, const double* s, std::size_t ka,
                 std::size_t kb, const double* u, double pi, double* re, double* im);

}  // namespace corvane::kernels::detail
