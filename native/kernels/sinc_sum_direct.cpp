// The direct evaluation of the sinc interpolation sums,
// out[m] = sum_k s[k] * sinc(v[k] - u[m]), in O(N*M).
//
// Method.  With x_k = pi*v_k + eps and y_m = pi*u_m,
//   sin(pi*(v_k - u_m) + eps) = sin(x_k) cos(y_m) - cos(x_k) sin(y_m),
// so after O(N + M) sines and cosines each term needs only a reciprocal of
//   den = pi*(v_k - u_m) + eps
// and two multiplications and additions per real channel:
//   out[m] = cos(y_m) * sum_k s_k sin(x_k) / den - sin(y_m) * sum_k s_k cos(x_k) / den.
//
// Accuracy.  x_k and y_m are carried as exact double-double values, so the
// numerator sin(x_k - y_m) is known to a few 1e-16 absolute.  That is only a
// good relative accuracy where |den| is not small; the terms with
// |fl(v_k - u_m)| < kNear (|den| < ~pi) are therefore evaluated directly,
// exactly like the element-wise kernel, and excluded from the identity sums.
// The remaining terms carry an error of about 1e-15 |s_k| / |den| <=
// 4e-16 |s_k|, independent of N, which keeps the result well inside
// 1e-12 * sum |s|.
//
// Speed.  The reciprocals are taken eight at a time from one division
// (1/d0 = d1 d2 d3 / (d0 d1 d2 d3) for four, a few ulp), since division
// throughput is the bottleneck otherwise.  |den| >= pi*kNear keeps the
// product far from underflow and |v|, |u| <= kMaxPosition keeps it far from
// overflow.  Terms go in blocks of 64: eight logical vectors of eight lanes,
// each variant taking the lanes as many at a time as its vectors hold, so
// every lane sums the same terms in the same order in every variant.

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "kernels/dispatch.hpp"
#include "kernels/sinc_sum_common.hpp"
#include "kernels/sincos.hpp"

namespace corvane::kernels {
template <Isa>
struct DirectSum {
    static bool run(bool complex_samples, const double* v, std::size_t n, const double* u, std::size_t m,
                    const double* s, double pi, double* out, Checkpoint* cp);
};
}  // namespace corvane::kernels

CORVANE_VARIANT_BEGIN
#include "kernels/simd.hpp"

namespace corvane::kernels {
namespace {

using detail::kEps;
using detail::kNear;
// Position bound: keeps |pi*v| < 2^24, where ulp(pi*v) <= 2^-28 and the
// first-order correction in sincos_dd is good to 1e-17; it also keeps the
// product of eight denominators far from overflow.
constexpr double kMaxPosition = detail::kMaxDirectPosition;
// Offset given to masked and padding positions: |den| >= pi * 1024 with
// zero weight, so they add exactly 0.
constexpr double kFar = 1024.0;
// Terms of one block: eight logical vectors.
constexpr std::size_t kBlock = 8 * kLogicalLanes;

// sin and cos of hi + lo, |lo| <= ulp(hi) <= 2^-28: first order in lo is
// enough (lo^2 / 2 < 2e-18).
void sincos_dd(double hi, double lo, double& s, double& c)
{
    double sh, ch;
    if (std::fabs(hi) <= detail::kSinFastLimit) {
        if constexpr (Traits<kIsa>::lanes == 1)
            detail::sincos_scalar(hi, detail::kTrig, sh, ch);
        else
            detail::sincos_fast(hi, sh, ch);
    } else {
        sh = std::sin(hi);
        ch = std::cos(hi);
    }
    s = sh + ch * lo;
    c = ch - sh * lo;
}

// sin and cos of pi * x + shift, the argument taken as an exact
// double-double.
void phase(double pi, double x, double shift, double& s, double& c)
{
    double ph, pl, xh, xl;
    detail::two_prod<Traits<kIsa>::fma>(pi, x, ph, pl);
    detail::two_sum(ph, shift, xh, xl);
    sincos_dd(xh, xl + pl, s, c);
}

// One term of the reference sum, evaluated as the element-wise kernel does.
// Only called for |d| < kNear, well inside sincos_fast's range.
double sinc_direct(double d, double pi)
{
    const double t = pi * d;
    if (std::fabs(t) < kEps) return 1.0;
    const double a = t + kEps;
    if (a == 0.0) return 1.0;
    if constexpr (Traits<kIsa>::lanes == 1) return detail::sin_scalar(a, detail::kTrig) / a;
    double s, c;
    detail::sincos_fast(a, s, c);
    return s / a;
}

struct Problem {
    const double* v;  // input positions, non-decreasing
    std::size_t n;
    std::size_t npad;  // n rounded up to kBlock
    const double* u;
    const double* s;  // samples, interleaved when complex
    double pi;
    double* vs;     // padded copy of v; near positions are moved away per output
    double* w[4];   // identity weights: s*sin(x), s*cos(x) (re, then im)
    double* sin_x;  // sin(pi v + eps), cos(pi v + eps)
    double* cos_x;
    double* sin_y;  // sin(pi u), cos(pi u)
    double* cos_y;
    double* out;
};

// [lo, hi) = indices with |fl(v[k] - u)| < kNear (rounding is monotone, so
// they are contiguous for sorted v).  Starts from the uniform-grid estimate
// and walks, so it is exact for any sorted v and O(1) for the linspace grids.
void near_window(const double* v, std::size_t n, double inv_step, double u, std::size_t& lo, std::size_t& hi)
{
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

void set_weights(const Problem& p, bool complex_samples, std::size_t k)
{
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

// The identity sums of one output in the logical lanes, for a core without
// double SIMD: lane by lane, with the operations of the vector form below
// written out for plain doubles, so that they stay in registers.
template <int kW>
CORVANE_INLINE void lanes_scalar(const Problem& p, double um, double (&lanes)[kW][kLogicalLanes])
{
    const double pi = broadcast<double>(p.pi), eps = broadcast<double>(kEps), u = broadcast<double>(um);
    const double* vs = p.vs;
    const double* w[kW];
    for (int c = 0; c < kW; ++c) w[c] = p.w[c];
    for (int l = 0; l < kLogicalLanes; ++l) {
        double acc[kW] = {};
        for (std::size_t k = l; k < p.npad; k += kBlock) {
            double d[8], inv[8];
            CORVANE_UNROLL
            for (int j = 0; j < 8; ++j) d[j] = pi * (vs[k + 8 * j] - u) + eps;
            reciprocals8(d, inv);
            CORVANE_UNROLL
            for (int c = 0; c < kW; ++c) {
                const double* wk = w[c] + k;
                double wc[8];
                CORVANE_UNROLL
                for (int j = 0; j < 8; ++j) wc[j] = wk[8 * j];
                acc[c] += dot8(wc, inv);
            }
        }
        for (int c = 0; c < kW; ++c) lanes[c][l] = acc[c];
    }
}

// The O(N*M) part for the outputs [m_begin, m_end).
template <bool kComplex>
void sum_terms(const Problem& p, std::size_t m_begin, std::size_t m_end)
{
    using V = Vec;
    constexpr int L = kLanes<V>;
    constexpr int kW = kComplex ? 4 : 2;
    const double inv_step =
        p.n > 1 && p.v[p.n - 1] > p.v[0] ? static_cast<double>(p.n - 1) / (p.v[p.n - 1] - p.v[0]) : 0.0;
    const V vpi = broadcast<V>(p.pi);
    const V veps = broadcast<V>(kEps);

    for (std::size_t m = m_begin; m < m_end; ++m) {
        const double um = p.u[m];
        std::size_t lo, hi;
        near_window(p.v, p.n, inv_step, um, lo, hi);

        // Drop the near terms from the identity sums (zero weight, safe den).
        for (std::size_t k = lo; k < hi; ++k) {
            p.vs[k] = um + kFar;
            for (int c = 0; c < kW; ++c) p.w[c][k] = 0.0;
        }

        // Logical lane l of block b holds the terms 64 b + 8 j + l, j < 8;
        // this variant takes L lanes at a time.
        const V vu = broadcast<V>(um);
        double lanes[kW][kLogicalLanes];
        if constexpr (L == 1) lanes_scalar<kW>(p, um, lanes);
        for (int first = 0; L > 1 && first < kLogicalLanes; first += L) {
            V acc[kW] = {};
            for (std::size_t k = first; k < p.npad; k += kBlock) {
                V d[8], inv[8];
                for (int j = 0; j < 8; ++j) d[j] = vpi * (loadu<V>(p.vs + k + 8 * j) - vu) + veps;
                reciprocals8(d, inv);
                for (int c = 0; c < kW; ++c) {
                    V w[8];
                    for (int j = 0; j < 8; ++j) w[j] = loadu<V>(p.w[c] + k + 8 * j);
                    acc[c] += dot8(w, inv);
                }
            }
            for (int c = 0; c < kW; ++c) storeu(lanes[c] + first, acc[c]);
        }
        double sum[kW];
        for (int c = 0; c < kW; ++c) sum[c] = lane_sum(lanes[c]);

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
            p.out[2 * m] = (cy * sum[0] - sy * sum[1]) + near_re;
            p.out[2 * m + 1] = (cy * sum[2] - sy * sum[3]) + near_im;
        } else {
            p.out[m] = (cy * sum[0] - sy * sum[1]) + near_re;
        }
    }
}

// Whether every |x[i]| <= kMaxPosition (NaN is not).
bool positions_ok(const double* x, std::size_t n)
{
    bool ok = true;
    for (std::size_t i = 0; i < n; ++i) ok &= std::fabs(x[i]) <= kMaxPosition;
    return ok;
}

template <bool kComplex>
bool direct(const double* v, std::size_t n, const double* u, std::size_t m, const double* s, double pi, double* out,
            Checkpoint* cp)
{
    constexpr std::size_t kChannels = kComplex ? 2 : 1;
    switch (detail::start(n, m, s, kChannels, pi, out)) {
    case detail::Start::done: return true;
    case detail::Start::refuse: return false;
    case detail::Start::go: break;
    }
    if (!detail::sorted_within(v, n, -kMaxPosition, kMaxPosition) || !positions_ok(u, m)) return false;

    // One allocation, 64-byte aligned blocks: vs | w[0..] | sin_x cos_x | sin_y cos_y.
    constexpr std::size_t kAlignDoubles = 8;
    constexpr int kW = kComplex ? 4 : 2;
    const std::size_t npad = (n + kBlock - 1) / kBlock * kBlock;
    const std::size_t mpad = (m + kAlignDoubles - 1) / kAlignDoubles * kAlignDoubles;
    detail::Scratch scratch((1 + kW + 2) * npad + 2 * mpad);
    double* base = scratch.get();

    Problem p;
    p.v = v;
    p.n = n;
    p.npad = npad;
    p.u = u;
    p.s = s;
    p.pi = pi;
    p.vs = base;
    for (int c = 0; c < 4; ++c) p.w[c] = c < kW ? base + (1 + c) * npad : nullptr;
    p.sin_x = base + (1 + kW) * npad;
    p.cos_x = p.sin_x + npad;
    p.sin_y = p.cos_x + npad;
    p.cos_y = p.sin_y + mpad;
    p.out = out;

    double umax = 0.0;
    for (std::size_t i = 0; i < m; ++i) umax = std::fmax(umax, std::fabs(u[i]));
    for (std::size_t k = 0; k < n; ++k) {
        phase(pi, v[k], kEps, p.sin_x[k], p.cos_x[k]);
        p.vs[k] = v[k];
        set_weights(p, kComplex, k);
    }
    for (std::size_t k = n; k < npad; ++k) {  // far away, with zero weight
        p.vs[k] = umax + kFar;
        for (int c = 0; c < kW; ++c) p.w[c][k] = 0.0;
    }
    for (std::size_t i = 0; i < m; ++i) phase(pi, u[i], 0.0, p.sin_y[i], p.cos_y[i]);

    // Whole outputs per chunk, about kSumChunkTerms terms each.
    const std::size_t chunk = npad >= kSumChunkTerms ? 1 : kSumChunkTerms / npad;
    for (std::size_t begin = 0; begin < m; begin += chunk) {
        if (begin > 0 && !proceed(cp)) return false;
        sum_terms<kComplex>(p, begin, m - begin < chunk ? m : begin + chunk);
    }
    return detail::all_finite(out, kChannels * m);
}

}  // namespace

template <>
bool DirectSum<kIsa>::run(bool complex_samples, const double* v, std::size_t n, const double* u, std::size_t m,
                          const double* s, double pi, double* out, Checkpoint* cp)
{
    return complex_samples ? direct<true>(v, n, u, m, s, pi, out, cp) : direct<false>(v, n, u, m, s, pi, out, cp);
}
}  // namespace corvane::kernels
CORVANE_VARIANT_END

#if CORVANE_ONCE
namespace corvane::kernels {
bool sinc_sum_direct(const double* v, std::size_t N, const double* u, std::size_t M, const double* s, double pi,
                     double* out, Checkpoint* cp)
{
    return dispatch<DirectSum>(false, v, N, u, M, s, pi, out, cp);
}

bool sinc_sum_direct_complex(const double* v, std::size_t N, const double* u, std::size_t M, const double* s, double pi,
                             double* out, Checkpoint* cp)
{
    return dispatch<DirectSum>(true, v, N, u, M, s, pi, out, cp);
}
}  // namespace corvane::kernels
#endif
