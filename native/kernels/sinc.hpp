// The element-wise sinc kernel of corvane.dsp. Plain C++, no Python: safe to
// call with the GIL released, and it keeps no mutable global state.
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
// Every variant gives the same bits (kernels/dispatch.hpp).
// Returns false as soon as some pi*x[i] is NaN or infinite; y is then
// partially written and must be ignored.  x and y must not overlap (the
// slow path re-reads x after y was written).  No alignment requirement.
// Asks `cp` between chunks of kSincChunk elements and returns false when it
// says stop.  A chunk takes about 2.5 ms in the vectorised range and under
// 40 ms where every element needs std::sin of a huge argument (x86-64); on
// 32-bit ARM, at some 65 instructions an element, 2^18 elements are about
// 17 M instructions, a few tens of milliseconds on a Cortex-A7.
#if defined(__arm__)
constexpr std::size_t kSincChunk = std::size_t(1) << 18;
#else
constexpr std::size_t kSincChunk = std::size_t(1) << 19;
#endif
bool sinc(const double* x, std::size_t n, double pi, double* y, Checkpoint* cp = nullptr) noexcept;

}  // namespace corvane::kernels
