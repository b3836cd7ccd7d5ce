// The sinc interpolation sums of corvane.dsp: plain C++, no Python. Every
// function here is safe to call with the GIL released and keeps no mutable
// global state.
#pragma once

#include <cstddef>

#include "kernels/checkpoint.hpp"
#include "kernels/sinc.hpp"

namespace corvane::kernels {

// out[m] = sum_k s[k] * sinc(v[k] - u[m]),  m < M, k < N.
//
// Meant for the resampling grids (v and u from np.linspace), but only needs
// v non-decreasing.  O(N + M) memory in a single allocation, which throws
// std::bad_alloc if it fails.  Two evaluations, chosen by size (see
// sinc_sum_prefers_tree) unless `method` names one:
//   - direct (sinc_sum_direct.cpp): O(N*M) work, every term summed;
//   - hierarchical (sinc_sum_tree.cpp): O((N + M) * 16^2) work, a fast
//     multipole method over the same identity, for u non-decreasing and all
//     positions in [0, 2^30].
//
// Accuracy: within 1e-13 * sum_k |s[k]| of the NumPy expression for either
// evaluation (the direct one reaches about 1e-16 * sum_k |s[k]|, the
// hierarchical one guarantees 7.2e-14 * sum_k |s[k]| from its far field plus
// rounding).  Near terms (|fl(v[k] - u[m])| < 1) are evaluated like sinc()
// by both; the rest use an addition theorem, see sinc_sum_direct.cpp.
// Every kernel variant gives the same bits (kernels/dispatch.hpp).
//
// Returns false, with out unspecified, when the inputs are outside the range
// the fast methods are valid for:
//   - any v, u or s not finite,
//   - |v|, |u| > 2^22 (4194304), unless the hierarchical evaluation applies
//     (u non-decreasing, positions in [0, 2^30]),
//   - v not non-decreasing,
//   - pi outside [1, 4],
//   - a result overflowed to inf/NaN,
//   - `cp` said stop (it is asked between chunks of about kSumChunkTerms
//     terms, or the equivalent work in the hierarchical evaluation).
// N == 0 gives all-zero output; M == 0 does nothing.
// A chunk is about 10 ms of direct terms on an x86-64 desktop core (0.25 ns
// a term). On ARM it is sized from the instructions counted on emulated
// cores (bench/bench_arm.py --crossover), for a few tens of milliseconds on
// an in-order core at about 1 GHz that retires well under one instruction a
// cycle: 64-bit ARM (Cortex-A53) some 9 instructions a term, so 2^22 terms
// are about 40 M instructions; 32-bit ARM (Cortex-A7) some 15, so 2^20 are
// about 16 M.
#if defined(__x86_64__)
constexpr std::size_t kSumChunkTerms = std::size_t(1) << 25;
#elif defined(__aarch64__)
constexpr std::size_t kSumChunkTerms = std::size_t(1) << 22;
#else
constexpr std::size_t kSumChunkTerms = std::size_t(1) << 20;
#endif
enum class SumMethod { by_size, direct, tree };
bool sinc_sum(const double* v, std::size_t N, const double* u, std::size_t M, const double* s, double pi, double* out,
              Checkpoint* cp = nullptr, SumMethod method = SumMethod::by_size);

// Complex-sample version of sinc_sum: s holds N interleaved (re, im) pairs,
// out receives M interleaved pairs.  Same accuracy bound (per component,
// with sum_k |s[k]| the sum of complex magnitudes) and failure modes.
bool sinc_sum_complex(const double* v, std::size_t N, const double* u, std::size_t M, const double* s, double pi,
                      double* out, Checkpoint* cp = nullptr, SumMethod method = SumMethod::by_size);

// Whether sinc_sum takes the hierarchical evaluation for N inputs and M
// outputs (when the positions allow it): from N*M = kTreeCrossoverTerms on
// (kTreeCrossoverTermsFewerOutputs when M < N).
// Measured here (x86-64, AVX-512, linspace grids, min of 20+ runs): the
// hierarchical sum is 1.4-2.2x faster than the direct one at N*M = 2^15 for
// r = M/N = 1 and 2, 1.06-1.2x for r = 1/3 (where it is 0.9x below 2^15),
// and at least as fast for skewed shapes (M = 1 ... 16 with N = 65536,
// N = 1 ... 16 with M = 65536).  The gap widens with size: about 9.5x at
// N = 2048, r = 2; about 300x at N = 65536.  (Since the near terms were
// vectorised the tree also wins from N*M = 2^13 on, by 1.0-1.5x, a few
// microseconds within a call's overhead; the rule was left where it is.)
// On ARM the rule depends on the shape, from instructions counted in our
// module on emulated cores (bench/bench_arm.py --crossover, linspace grids):
// for M >= N the tree is ahead from N*M = 2^14 (1.10-1.32x on a Cortex-A7
// and a Cortex-A53, 1.0-1.3x at 2^13); for M < N it loses up to 2^15 (0.93x
// at r = 1/3) and wins from 2^16 (1.3-1.46x): there the rule is 2^16.
#if defined(__arm__) || defined(__aarch64__)
constexpr double kTreeCrossoverTerms = 16384.0;
constexpr double kTreeCrossoverTermsFewerOutputs = 65536.0;
#else
constexpr double kTreeCrossoverTerms = 32768.0;
constexpr double kTreeCrossoverTermsFewerOutputs = kTreeCrossoverTerms;
#endif
bool sinc_sum_prefers_tree(std::size_t N, std::size_t M);

// The two evaluations by themselves, same contract as sinc_sum.  The
// hierarchical one hands inputs outside its domain (u not sorted, positions
// negative or beyond 2^30) to the direct one.
bool sinc_sum_direct(const double* v, std::size_t N, const double* u, std::size_t M, const double* s, double pi,
                     double* out, Checkpoint* cp = nullptr);
bool sinc_sum_direct_complex(const double* v, std::size_t N, const double* u, std::size_t M, const double* s, double pi,
                             double* out, Checkpoint* cp = nullptr);
bool sinc_sum_tree(const double* v, std::size_t N, const double* u, std::size_t M, const double* s, double pi,
                   double* out, Checkpoint* cp = nullptr);
bool sinc_sum_tree_complex(const double* v, std::size_t N, const double* u, std::size_t M, const double* s, double pi,
                           double* out, Checkpoint* cp = nullptr);

}  // namespace corvane::kernels
