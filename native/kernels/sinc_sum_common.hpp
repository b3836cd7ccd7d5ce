// Pieces shared by the two evaluations of the sinc interpolation sums (the
// direct one in sinc_sum_direct.cpp, the hierarchical one in
// sinc_sum_tree.cpp), so that both split the terms, check their inputs and
// use memory in the same way.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "kernels/exact.hpp"
#include "kernels/sinc_sum.hpp"

namespace corvane::kernels::detail {

constexpr double kEps = 1e-8;
// A term with |fl(v - u)| < kNear is evaluated like the element-wise sinc;
// every other term goes through the addition theorem.  Both evaluations
// decide by this one test on the rounded difference, so no term is dropped
// or counted twice.
constexpr double kNear = 1.0;
// The direct evaluation takes positions up to this magnitude (see
// sinc_sum_direct.cpp); beyond it only the hierarchical one can.
constexpr double kMaxDirectPosition = 0x1p22;

// Whether no value is an infinity or a NaN. A reduction over the bit
// patterns rather than a loop that stops early, so that it vectorises.
inline bool all_finite(const double* x, std::size_t n)
{
    constexpr std::uint64_t magnitude = ~std::uint64_t(0) >> 1, infinity = std::uint64_t(0x7ff) << 52;
    std::uint64_t worst = 0;
    for (std::size_t i = 0; i < n; ++i) {
        std::uint64_t b;
        std::memcpy(&b, x + i, sizeof b);
        worst = std::max(worst, b & magnitude);
    }
    return worst < infinity;
}

// Whether x is non-decreasing and within [lo, hi] (NaN is not).
inline bool sorted_within(const double* x, std::size_t n, double lo, double hi)
{
    bool ok = true;
    for (std::size_t i = 0; i < n; ++i) ok &= (x[i] >= lo) & (x[i] <= hi);
    for (std::size_t i = 1; i < n; ++i) ok &= x[i] >= x[i - 1];
    return ok;
}

// The checks both evaluations start with, for n samples of `channels`
// doubles each and m outputs.
enum class Start {
    done,    // m == 0, or n == 0 and the zeros are written
    refuse,  // pi outside [1, 4], or a sample that is not finite
    go,
};
inline Start start(std::size_t n, std::size_t m, const double* s, std::size_t channels, double pi, double* out)
{
    if (m == 0) return Start::done;
    if (n == 0) {
        for (std::size_t i = 0; i < channels * m; ++i) out[i] = 0.0;
        return Start::done;
    }
    if (!(pi >= 1.0 && pi <= 4.0)) return Start::refuse;
    return all_finite(s, channels * n) ? Start::go : Start::refuse;
}

// Uninitialised scratch of n doubles, 64-byte aligned.  From 4 MiB on it is
// 2 MiB aligned and asked to be backed by transparent huge pages, as NumPy
// does for its large arrays: every fresh 4 KiB page costs a fault and a clear,
// a sixth of the run time of a large hierarchical sum.
class Scratch {
public:
    explicit Scratch(std::size_t n)
    {
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

}  // namespace corvane::kernels::detail
