// Numeric kernels behind corvane.dsp's sinc interpolation.  Plain C++, no
// Python: every function here is safe to call with the GIL released and keeps
// no mutable global state.
//
// The kernel is the eps-shifted sinc used throughout the resampler:
//
//   t = pi * x                                  (one rounded multiply)
//   sinc(x) = 1                                 if |t| < 1e-8
//           = 1                                 if t + 1e-8 == 0  (the 0/0 point)
//           = sin(a) / a,  a = t + 1e-8         otherwise
//
// `pi` is passed in (normally 3.141592653589793) so the kernels round exactly
// like the NumPy expression they replace.
#pragma once

#include <cstddef>

#include "kernels/checkpoint.hpp"

namespace corvane::kernels {

// y[i] = sinc(x[i]) for i < n.
//
// Accuracy: a is rounded exactly as above (multiply, then add, never fused);
// the sine is faithful (< 1 ulp, measured max 0.74 ulp), so y is within
// 2 ulp of NumPy's result (one sine ulp can span two ulps of the quotient).
// |pi*x| <= 1e6 uses a vectorised sine, larger finite arguments std::sin.
// Returns false as soon as some pi*x[i] is NaN or infinite; y is then
// partially written and must be ignored.  x and y must not overlap (the
// slow path re-reads x after y was written).  No alignment requirement.
// Asks `cp` between chunks of kSincChunk elements and returns false when it
// says stop.  A chunk takes about 2.5 ms in the vectorised range and under
// 40 ms where every element needs std::sin of a huge argument.
constexpr std::size_t kSincChunk = std::size_t(1) << 19;
bool sinc(const double* x, std::size_t n, double pi, double* y, Checkpoint* cp = nullptr) noexcept;

// out[m] = sum_k s[k] * sinc(v[k] - u[m]),  m < M, k < N.
//
// Meant for the resampling grids (v and u from np.linspace), but only needs
// v non-decreasing.  Cost O(N*M) with no N*M storage: O(N + M) scratch in a
// single allocation, which throws std::bad_alloc if it fails.
//
// Accuracy: differs from the NumPy expression by about 1e-16 * sum_k |s[k]|,
// independent of N (measured < 2e-4 of the 1e-12 * sum|s| budget for N, M <= 16384).
// Near terms (|v[k] - u[m]| < 1) are evaluated like sinc(); the rest use an
// addition theorem, see sinc_sum.cpp.
//
// Returns false, with out unspecified, when the inputs are outside the range
// the fast method is valid for:
//   - any v, u or s not finite, or |v|, |u| > 2^22 (4194304),
//   - v not non-decreasing,
//   - pi outside [1, 4],
//   - a result overflowed to inf/NaN,
//   - `cp` said stop (it is asked between chunks of about kSumChunkTerms terms).
// N == 0 gives all-zero output; M == 0 does nothing.
constexpr std::size_t kSumChunkTerms = std::size_t(1) << 25;
bool sinc_sum(const double* v, std::size_t N, const double* u, std::size_t M,
              const double* s, double pi, double* out, Checkpoint* cp = nullptr);

// Complex-sample version of sinc_sum: s holds N interleaved (re, im) pairs,
// out receives M interleaved pairs.  Same accuracy bound (per component,
// with sum_k |s[k]| the sum of complex magnitudes) and failure modes.
bool sinc_sum_complex(const double* v, std::size_t N, const double* u,
                      std::size_t M, const double* s, double pi, double* out,
                      Checkpoint* cp = nullptr);

}  // namespace corvane::kernels
