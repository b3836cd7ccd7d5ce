// Hierarchical evaluation of the sinc interpolation sums in O((N + M) p^2)
// instead of O(N M).
//
// Method.  As in the direct sum (sinc_sum_direct.cpp), with x_k = pi v_k + eps and
// y_m = pi u_m carried as double-double phases,
//   out[m] = cos(y_m) A_m - sin(y_m) B_m + (terms with |fl(v_k - u_m)| < 1),
//   A_m = sum_k s_k sin(x_k) / den_km,  B_m = sum_k s_k cos(x_k) / den_km,
//   den_km = pi (v_k - u_m) + eps,
// and the near terms are evaluated like the element-wise sinc.  A and B are
// sums with the kernel 1 / (pi (v - u) + eps), smooth away from v = u, and
// are evaluated by a one-dimensional fast multipole method:
//   - a binary tree of intervals over [0, W], W a power of two, whose leaves
//     are at least kMinLeafWidth wide and hold a few dozen points;
//   - per box, the charges' moments q_i = sum w_k T_i(xi_k) in Chebyshev
//     polynomials of the box coordinate xi (degree < P = 16), gathered up the
//     tree by exact polynomial re-expansion;
//   - between well-separated boxes of a level (the children of the parent's
//     neighbours that are not neighbours themselves), the kernel interpolated
//     at P x P Chebyshev nodes, eps included, turned into a map from moments
//     to the target box's Chebyshev coefficients;
//   - local expansions pushed down the tree (again exact re-expansion) and
//     evaluated at the targets by Clenshaw's recurrence;
//   - the sources of the target's own leaf and its two neighbours (the near
//     field) summed directly through the same identity, with the terms
//     |fl(v - u)| < 1 taken out and evaluated by the element-wise sinc.
// The tree is the same for every box of a level, so the P x P transfer
// matrices are built once per call and level (from two matrices built once
// per process), and positions map to box coordinates exactly: W is a power of
// two, so x * 2^L / W and its distance to the box edge are exact.
//
// Accuracy.  Only the far-field transfer approximates: the moments and the
// re-expansions are exact polynomial identities, and each pair (k, m) is
// summed exactly once, at one level.  In box units (half width a) the
// kernel of a transfer is (1/(pi a)) / (sigma - tau + 2 o) with |o| >= 2, so
// seen from either box the pole is at least 3 half widths from its centre:
// the Chebyshev coefficients of 1/(c - x), c >= 3, are 2/sqrt(c^2 - 1) rho^-j
// with rho = 3 + sqrt 8, and interpolation at P = 16 nodes is off by at most
// 2 sum_{j>=16} of them = 9.6e-13.  Interpolating on both sides adds the
// Lebesgue constant (2.73 for 16 nodes): the kernel is off by at most
// 3.6e-12 / (pi a).  With leaves at least kMinLeafWidth = 32 wide (a >= 16)
// every entry of the error matrix (the result for a unit vector s against
// the exact sum) is at most 7.2e-14, so for any samples
//   |out[m] - exact| <= 7.2e-14 * sum_k |s_k| + rounding (~1e-16 * sum_k |s_k|).
// The measured worst entry, running every unit vector through the method,
// is 2e-14 (kernels_test.cpp holds it to the bound).  eps stays in the
// transfers: dropping it would move the far terms by eps / (pi d)^2, about
// 1e-12 for d = 32.
//
// Range.  Positions must lie in [0, kTreeMaxPosition = 2^30]; the phases use
// a second-order correction, good to 1e-19 there.  Positions only enter the
// far field as exact box coordinates, so the bound does not grow with N.
//
// Work is split into pieces of about kSumChunkTerms term-equivalents (leaf
// batches, box batches of one level), and the checkpoint is asked between
// them.
//
// Same bits in every variant: lanes run over targets (the outputs, the rows
// of the transfers) except in the leaf moments, whose sums over sources run
// over eight logical lanes in every variant (kernels/dispatch.hpp).

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "kernels/dispatch.hpp"
#include "kernels/sinc_sum_common.hpp"
#include "kernels/sincos.hpp"

namespace corvane::kernels {

template <Isa>
struct TreeSum {
    static bool run(bool complex_samples, const double* v, std::size_t n, const double* u, std::size_t m,
                    const double* s, double pi, double* out, Checkpoint* cp);
};

namespace detail {

constexpr int P = 16;
// Offsets of the interaction list: source box = target box + offset.
constexpr int kOffsets[4] = {-3, -2, 2, 3};

// Tables that depend only on P, built once per process and read-only
// afterwards.
struct TreeTables {
    // far[o][i][j]: moments i -> coefficients j for 1/D (o: kOffsets index)
    // and 1/D^2, D = 2 offset + node_i - node_l in units of the half width.
    double far0[4][P * P];
    double far1[4][P * P];
    // shift[h][j * P + i]: T_j((xi + 2h - 1) / 2) = sum_i shift[h][j][i] T_i(xi),
    // the re-expansion between a parent and its child h (0 left, 1 right).
    // shift_t is its transpose.
    double shift[2][P * P];
    double shift_t[2][P * P];
};
const TreeTables& tree_tables();

}  // namespace detail
}  // namespace corvane::kernels

CORVANE_VARIANT_BEGIN
#include "kernels/simd.hpp"

namespace corvane::kernels {
namespace {

using detail::kEps;
using detail::kNear;
using detail::kOffsets;
using detail::P;

// Leaves are at least this wide: terms of non-neighbouring leaves are then
// at least 32 apart (never near), and the transfers accurate to 7.2e-14.
constexpr double kMinLeafWidth = 32.0;
// Sources plus targets aimed at per leaf: balances the near field (grows
// with it) against the transfers (shrink with it).
constexpr double kLeafPoints = 40.0;
constexpr double kTreeMaxPosition = 0x1p30;

// --- The problem ----------------------------------------------------------

struct Problem {
    std::size_t n, m;
    const double* s;  // samples, interleaved when complex
    double pi;
    int levels;       // leaves are the 2^levels boxes of the last level
    double width;     // W, a power of two: the tree covers [0, W]
    double scale;     // 2^levels / W, a power of two
    const double* v;  // positions
    const double* u;
    const double* w[4];                 // s sin(x), s cos(x) (re, then im)
    std::vector<std::size_t> src, tgt;  // leaf b: sources [src[b], src[b+1]), targets alike
    double* mom;                        // per box (heap numbering 2^l + b): kw x P moments
    double* loc;                        // per box: kw x P local coefficients
    const double* far;                  // per level l >= 2: 4 transfer matrices [i][j]
    double* out;
};

// Leaf of a position: floor(x * scale), the top end folded into the last leaf.
std::size_t leaf_of(double x, double scale, std::size_t nleaf)
{
    const double t = x * scale;
    return t >= static_cast<double>(nleaf) ? nleaf - 1 : static_cast<std::size_t>(t);
}

// Leaf boundaries of sorted positions.
void leaf_bounds(const double* x, std::size_t n, double scale, std::size_t nleaf, std::vector<std::size_t>& first)
{
    first.assign(nleaf + 1, n);
    // leaf_of is non-decreasing along sorted x: a galloping search from the
    // previous boundary, which stays in cache (a binary search over the rest of
    // x misses it at every step; a scan costs a test per position).
    std::size_t at = 0;
    for (std::size_t b = 0; b < nleaf; ++b) {
        auto before = [&](double xi) { return leaf_of(xi, scale, nleaf) < b; };
        std::size_t lo = at, step = 1;
        while (step <= n - lo && before(x[lo + step - 1])) {  // [at, lo + step) all before leaf b
            lo += step;
            step *= 2;
        }
        const std::size_t hi = step <= n - lo ? lo + step : n;
        at = static_cast<std::size_t>(std::partition_point(x + lo, x + hi, before) - x);
        first[b] = at;
    }
}

// Counts work and asks the checkpoint once about kSumChunkTerms of it has
// been done since the last question; never before the first piece.
struct Work {
    Checkpoint* cp;
    std::size_t done = 0;
    bool before(std::size_t units)
    {
        if (done >= kSumChunkTerms) {
            done = 0;
            if (!proceed(cp)) return false;
        }
        done += units;
        return true;
    }
};

// --- Phases and near terms -------------------------------------------------

// s[i], c[i] = sin and cos of pi*x[i] + shift, the argument taken exactly
// (double-double), to within about 2e-16 absolute for |pi*x[i]| < 2^32 and
// |shift| <= 1e-8.  Vectorised.
void wide_phases(const double* x, std::size_t n, double pi, double shift, double* s, double* c)
{
    const detail::Trig k = detail::pinned_if<Traits<kIsa>::pin_constants>(detail::kTrigWide);
    for (std::size_t i = 0; i < n; ++i) {
        double ph, pl, xh, xl, sh, ch;
        detail::two_prod<Traits<kIsa>::fma>(pi, x[i], ph, pl);
        detail::two_sum(ph, shift, xh, xl);
        const double lo = xl + pl;  // |lo| <= ulp(xh) <= 2^-20
        if constexpr (Traits<kIsa>::lanes == 1)
            detail::sincos_scalar(xh, k, sh, ch);
        else
            detail::sincos_reduced(xh, k, sh, ch);
        // Second order in lo: the neglected lo^3/6 is below 1e-19.
        const double h = 0.5 * lo * lo;
        s[i] = sh + (ch * lo - sh * h);
        c[i] = ch - (sh * lo + ch * h);
    }
}

// Near terms for eight outputs at u[0..8) (sorted): re[l] (and im[l] for
// complex samples) += s[k] * sinc(v[k] - u[l]) over k in [ka, kb) with
// |fl(v[k] - u[l])| < kNear, each term rounded like the element-wise sinc.
// Lanes over outputs: each output's near inputs are a short run of indices,
// found with the one test on fl(v - u); round j takes the j-th input of every
// run.  The arithmetic is that of the element-wise sinc, on vectors
// (sincos_reduced_vec is bit-identical to sincos_fast).
template <bool kComplex, class V = Vec>
void near_terms_vec(const double* v, const double* s, std::size_t ka, std::size_t kb, const double* u, double pi,
                    double* re, double* im)
{
    constexpr int Ln = kLanes<V>;
    constexpr int kGroups = 8 / Ln;
    typedef Mask<V> Index;  // lanes of 64-bit integers, true = -1
    // Per output, the inputs of [ka, kb) before its run (a prefix: v is sorted
    // and fl(v - u) is monotone in v) and the run's length, counted without
    // branches: a search per output mispredicts at every step.
    Index before[kGroups] = {}, length[kGroups] = {};
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
    const V vpi = broadcast<V>(pi), veps = broadcast<V>(kEps), one = broadcast<V>(1.0);
    for (std::int64_t j = 0; j < rounds; ++j) {
        for (int g = 0; g < kGroups; ++g) {
            // Lanes whose run is shorter read input ka (valid: the runs are not
            // all empty) and add exactly zero.
            const Index take = Index{} + j < length[g];
            const Index i = ((before[g] + j) & take) + static_cast<std::int64_t>(ka);
            const V vi = gather<V>(v, i), s_re = kComplex ? gather<V>(s, i + i) : gather<V>(s, i);
            V sn, cs;
            const V t = vpi * (vi - uv[g]);
            const V a = t + veps;
            detail::sincos_reduced_vec(a, detail::kPio2A, detail::kPio2B, detail::kPio2C, detail::kPio2D, sn, cs);
            const V q = sn / a;
            const Index unit = (abs(t) < veps) | (a == V{});
            const V y = keep(take, select(unit, one, q));
            storeu(re + g * Ln, loadu<V>(re + g * Ln) + s_re * y);
            if (kComplex) {
                const V s_im = gather<V>(s + 1, i + i);
                storeu(im + g * Ln, loadu<V>(im + g * Ln) + s_im * y);
            }
        }
    }
}

// near_terms_vec one output at a time, for cores without double-precision SIMD,
// with the same operations: output l adds the terms of its run in order. In
// the rounds past the end of its run the vector code adds s[ka] * +0 to it,
// which can only turn a -0 sum into +0; one such addition does the same.
// Outputs from `count` on are copies of the last one: the vector form's
// rounds do not depend on them, and they are not computed.
template <bool kComplex>
void near_terms_scalar(const double* v, const double* s, std::size_t ka, std::size_t kb, const double* u, int count,
                       double pi, double* re, double* im)
{
    std::size_t first[8], length[8], rounds = 0;
    for (int l = 0; l < count; ++l) {
        std::size_t k = ka;
        while (k < kb && v[k] - u[l] <= -kNear) ++k;
        first[l] = k;
        while (k < kb && v[k] - u[l] < kNear) ++k;
        length[l] = k - first[l];
        rounds = std::max(rounds, length[l]);
    }
    if (rounds == 0) return;
    const detail::Trig trig = detail::pinned_if<Traits<kIsa>::pin_constants>(detail::kTrig);
    for (int l = 0; l < count; ++l) {
        for (std::size_t k = first[l]; k < first[l] + length[l]; ++k) {
            const double t = pi * (v[k] - u[l]);
            const double a = t + kEps;
            const double y = std::fabs(t) < kEps || a == 0.0 ? 1.0 : detail::sin_scalar(a, trig) / a;
            if (kComplex) {
                re[l] += s[2 * k] * y;
                im[l] += s[2 * k + 1] * y;
            } else {
                re[l] += s[k] * y;
            }
        }
        if (length[l] < rounds) {
            if (kComplex) {
                re[l] += s[2 * ka] * 0.0;
                im[l] += s[2 * ka + 1] * 0.0;
            } else {
                re[l] += s[ka] * 0.0;
            }
        }
    }
}

// --- Expansions ------------------------------------------------------------

enum class Shape { full, lower, upper };

template <class F, int... I>
CORVANE_INLINE void unroll(F& f, std::integer_sequence<int, I...>)
{
    (f(std::integral_constant<int, I>{}), ...);
}

// acc[c] += K src[c] for kW channels of P values; kt holds K transposed
// (kt[i * P + j] = K[j][i]) so that the columns are contiguous.  The
// re-expansions are triangular: column i of a lower one is zero above row i,
// of an upper one below row i, and those vectors are skipped.  Lanes run
// over rows, each row summed over the columns in order.
//
// With one lane (plain doubles) the matrix comes as K itself, row-major, and
// each row is summed on its own, over the columns in the same order; the
// zero entries a vector form adds (a triangle's partial vectors) change
// nothing, since these sums start from +0 and so are never -0.
template <Shape kShape, int kW>
CORVANE_INLINE void apply_rows(const double* k, const double* src, double (&acc)[kW][P])
{
    for (int c = 0; c < kW; ++c) {
        double q[P];
        CORVANE_UNROLL
        for (int i = 0; i < P; ++i) q[i] = src[c * P + i];
        CORVANE_UNROLL
        for (int r = 0; r < P; ++r) {
            const int i0 = kShape == Shape::upper ? r : 0;
            const int i1 = kShape == Shape::lower ? r + 1 : P;
            double a = acc[c][r];
            CORVANE_UNROLL
            for (int i = i0; i < i1; ++i) a += k[r * P + i] * q[i];
            acc[c][r] = a;
        }
    }
}

template <Shape kShape, class V, int kW>
CORVANE_INLINE void apply(const double* kt, const double* src, V (&acc)[kW][P / kLanes<V>])
{
    constexpr int NV = P / kLanes<V>;
    // Unrolled with constant bounds, so that acc stays in registers.
    auto column = [&](auto i_const) {
        constexpr int i = decltype(i_const)::value;
        constexpr int r0 = kShape == Shape::lower ? i / kLanes<V> : 0;
        constexpr int r1 = kShape == Shape::upper ? i / kLanes<V> + 1 : NV;
        for (int c = 0; c < kW; ++c) {
            const V q = broadcast<V>(src[c * P + i]);
            for (int r = r0; r < r1; ++r) acc[c][r] += loadu<V>(kt + i * P + r * kLanes<V>) * q;
        }
    };
    unroll(column, std::make_integer_sequence<int, P>{});
}

// apply() or, for one lane, apply_rows() (K itself, row-major).
template <Shape kShape, class V, int kW>
CORVANE_INLINE void apply_any(const double* k, const double* src, V (&acc)[kW][P / kLanes<V>])
{
    if constexpr (kScalar<V>)
        apply_rows<kShape, kW>(k, src, acc);
    else
        apply<kShape, V, kW>(k, src, acc);
}

template <class V, int kW>
CORVANE_INLINE void load_box(const double* box, V (&acc)[kW][P / kLanes<V>])
{
    for (int c = 0; c < kW; ++c)
        for (int r = 0; r < P / kLanes<V>; ++r) acc[c][r] = loadu<V>(box + c * P + r * kLanes<V>);
}

template <class V, int kW>
CORVANE_INLINE void store_box(double* box, const V (&acc)[kW][P / kLanes<V>])
{
    for (int c = 0; c < kW; ++c)
        for (int r = 0; r < P / kLanes<V>; ++r) storeu(box + c * P + r * kLanes<V>, acc[c][r]);
}

// Moments of the sources [k0, k1) of leaf b: q[c * P + j] = sum_k w_c[k]
// T_j(xi_k).  Logical lane l sums the sources k0 + l, k0 + 8 + l, ...; the
// last group is padded with zero weights at the last position.
// Moments J0 <= j < J0 + kJ of logical lane l (sources k0 + l, k0 + l + 8,
// ... below `full`, then the padded group's lane l), for one lane at a time:
// the operations of the vector form below, kW * kJ accumulators in registers.
template <int kW, int J0, int kJ>
CORVANE_INLINE void lane_moments(const Problem& p, std::size_t k0, std::size_t full, double fb, int l,
                                 bool padded, const double (&xt)[kLogicalLanes],
                                 const double (&wt)[kW][kLogicalLanes], double (&lanes)[kW][P][kLogicalLanes])
{
    double acc[kW][kJ] = {};
    const double scale = p.scale;
    auto add = [&](double x, const double(&wc)[kW]) {
        const double xi = (x * scale - fb) * 2.0 - 1.0;
        const double x2 = xi + xi;
        double t0 = 1.0, t1 = xi;
        CORVANE_UNROLL
        for (int j = 0; j < J0 + kJ; ++j) {
            if (j >= 2) {
                const double t2 = x2 * t1 - t0;
                t0 = t1;
                t1 = t2;
            }
            if (j < J0) continue;
            CORVANE_UNROLL
            for (int c = 0; c < kW; ++c) acc[c][j - J0] += j == 0 ? wc[c] : wc[c] * t1;
        }
    };
    double wc[kW];
    for (std::size_t k = k0 + l; k < full; k += kLogicalLanes) {
        for (int c = 0; c < kW; ++c) wc[c] = p.w[c][k];
        add(p.v[k], wc);
    }
    if (padded) {
        for (int c = 0; c < kW; ++c) wc[c] = wt[c][l];
        add(xt[l], wc);
    }
    for (int c = 0; c < kW; ++c)
        for (int j = 0; j < kJ; ++j) lanes[c][J0 + j][l] = acc[c][j];
}

template <int kW>
void leaf_moments(const Problem& p, std::size_t b, double* q)
{
    using V = Vec;
    constexpr int L = kLanes<V>;
    const std::size_t k0 = p.src[b], k1 = p.src[b + 1];
    const std::size_t full = k0 + (k1 - k0) / kLogicalLanes * kLogicalLanes;
    const double fb = static_cast<double>(b);
    double lanes[kW][P][kLogicalLanes];
    // The padded last group: positions and weights of eight sources.
    double xt[kLogicalLanes], wt[kW][kLogicalLanes];
    if (full < k1) {
        for (int l = 0; l < kLogicalLanes; ++l) {
            const bool in = full + l < k1;
            const std::size_t i = in ? full + l : k1 - 1;
            xt[l] = p.v[i];
            for (int c = 0; c < kW; ++c) wt[c][l] = in ? p.w[c][i] : 0.0;
        }
    }
    if constexpr (L == 1) {
        // Passes of kJ moments, so that the accumulators fit in registers.
        constexpr int kJ = 16 / kW;
        auto pass = [&](auto j0) {
            for (int l = 0; l < kLogicalLanes; ++l)
                lane_moments<kW, decltype(j0)::value * kJ, kJ>(p, k0, full, fb, l, full < k1, xt, wt, lanes);
        };
        unroll(pass, std::make_integer_sequence<int, P / kJ>{});
    }
    for (int first = 0; L > 1 && first < kLogicalLanes; first += L) {
        V acc[kW][P];
        for (int c = 0; c < kW; ++c)
            for (int j = 0; j < P; ++j) acc[c][j] = V{};
        auto add = [&](const V& x, const V(&wc)[kW]) {
            const V xi = (x * p.scale - fb) * 2.0 - 1.0;
            const V x2 = xi + xi;
            for (int c = 0; c < kW; ++c) {
                acc[c][0] += wc[c];
                acc[c][1] += wc[c] * xi;
            }
            V t0 = broadcast<V>(1.0), t1 = xi;
            for (int j = 2; j < P; ++j) {
                const V t2 = x2 * t1 - t0;
                for (int c = 0; c < kW; ++c) acc[c][j] += wc[c] * t2;
                t0 = t1;
                t1 = t2;
            }
        };
        V wc[kW];
        for (std::size_t k = k0 + first; k < full; k += kLogicalLanes) {
            for (int c = 0; c < kW; ++c) wc[c] = loadu<V>(p.w[c] + k);
            add(loadu<V>(p.v + k), wc);
        }
        if (full < k1) {
            for (int c = 0; c < kW; ++c) wc[c] = loadu<V>(wt[c] + first);
            add(loadu<V>(xt + first), wc);
        }
        for (int c = 0; c < kW; ++c)
            for (int j = 0; j < P; ++j) storeu(lanes[c][j] + first, acc[c][j]);
    }
    for (int c = 0; c < kW; ++c)
        for (int j = 0; j < P; ++j) q[c * P + j] = lane_sum(lanes[c][j]);
}

// Identity sums of one vector of targets over eight sources: positions
// v[0..8), weights w[c][0..8).  With kMasked, pairs with |fl(v - u)| < kNear
// are left out (zero weight, harmless denominator); without, the caller
// guarantees there are none.
template <bool kMasked, class V, int kW>
CORVANE_INLINE void identity8(const Problem& p, const double* v, const double* const (&w)[kW], const V& um,
                              V (&acc)[kW])
{
    const V vpi = broadcast<V>(p.pi), veps = broadcast<V>(kEps), safe = broadcast<V>(p.pi), near = broadcast<V>(kNear);
    // e = fl(u - v) = -fl(v - u) (rounding is symmetric), written this way round
    // so that v can be a broadcast memory operand.
    auto den = [&](double vk, Mask<V>& kept) {
        const V e = um - vk;
        if (!kMasked) return veps - vpi * e;
        kept = abs(e) >= near;
        return select(kept, veps - vpi * e, safe);
    };
    V d[8], inv[8];
    Mask<V> kept[8];
    CORVANE_UNROLL
    for (int j = 0; j < 8; ++j) d[j] = den(v[j], kept[j]);
    reciprocals8(d, inv);
    if (kMasked) {
        CORVANE_UNROLL
        for (int j = 0; j < 8; ++j) inv[j] = keep(kept[j], inv[j]);
    }
#if defined(__aarch64__)
    // Two targets a vector: the weights loaded in pairs and multiplied by
    // lane (one instruction each) rather than broadcast one by one into
    // registers that spill; loaded after the reciprocals, as they are used.
    if constexpr (kLanes<V> == 2) {
        CORVANE_UNROLL
        for (int c = 0; c < kW; ++c) {
            const double* wc = w[c];
            CORVANE_AFTER(wc, inv[7]);
            const V w01 = loadu<V>(wc), w23 = loadu<V>(wc + 2), w45 = loadu<V>(wc + 4), w67 = loadu<V>(wc + 6);
            acc[c] += ((inv[0] * w01[0] + inv[1] * w01[1]) + (inv[2] * w23[0] + inv[3] * w23[1])) +
                      ((inv[4] * w45[0] + inv[5] * w45[1]) + (inv[6] * w67[0] + inv[7] * w67[1]));
        }
        return;
    }
#endif
    CORVANE_UNROLL
    for (int c = 0; c < kW; ++c) {
        const double* wc = w[c];
        acc[c] += ((wc[0] * inv[0] + wc[1] * inv[1]) + (wc[2] * inv[2] + wc[3] * inv[3])) +
                  ((wc[4] * inv[4] + wc[5] * inv[5]) + (wc[6] * inv[6] + wc[7] * inv[7]));
    }
}

// identity8 for one target on a core without double SIMD: the same
// operations on plain doubles, every input a value or a pointer the function
// holds (not the Problem), so that nothing is reloaded after the barrier that
// keeps the weights' loads behind the reciprocals.
template <bool kMasked, int kW>
CORVANE_INLINE void identity8_scalar(double pi, double um, const double* v, const double* const (&wk)[kW],
                                     double (&acc)[kW])
{
    double d[8], inv[8];
    bool kept[8];
    CORVANE_UNROLL
    for (int j = 0; j < 8; ++j) {
        const double e = um - v[j];
        kept[j] = !kMasked || std::fabs(e) >= kNear;
        d[j] = kept[j] ? kEps - pi * e : pi;
    }
    reciprocals8(d, inv);
    if (kMasked) {
        CORVANE_UNROLL
        for (int j = 0; j < 8; ++j) inv[j] = kept[j] ? inv[j] : 0.0;
    }
    CORVANE_UNROLL
    for (int c = 0; c < kW; ++c) {
        const double* wc = wk[c];
        CORVANE_AFTER(wc, inv[7]);  // the weights are loaded as they are used
        acc[c] += ((wc[0] * inv[0] + wc[1] * inv[1]) + (wc[2] * inv[2] + wc[3] * inv[3])) +
                  ((wc[4] * inv[4] + wc[5] * inv[5]) + (wc[6] * inv[6] + wc[7] * inv[7]));
    }
}

// identity_sums for one target on a core without double SIMD: the blocks
// before and after those that meet [ka, kb) in loops of their own.
template <int kW>
CORVANE_INLINE void identity_sums_scalar(const Problem& p, std::size_t k0, std::size_t k1, std::size_t ka,
                                         std::size_t kb, double um_in, double (&acc_in)[kW])
{
    const double pi = broadcast<double>(p.pi), um = um_in;
    const double* const v = p.v;
    const double* pw[kW];
    for (int c = 0; c < kW; ++c) pw[c] = p.w[c];
    double acc[kW];
    for (int c = 0; c < kW; ++c) acc[c] = acc_in[c];
    auto block = [&](auto masked, std::size_t k) {
        const double* w[kW];
        for (int c = 0; c < kW; ++c) w[c] = pw[c] + k;
        identity8_scalar<decltype(masked)::value, kW>(pi, um, v + k, w, acc);
    };
    // Whole blocks k0 + 8 i: masked where k < kb && k + 8 > ka.
    const std::size_t whole = k0 + (k1 - k0) / 8 * 8;
    std::size_t k = k0;
    for (; k < whole && k + 8 <= ka; k += 8) block(std::false_type{}, k);
    for (; k < whole && k < kb; k += 8) block(std::true_type{}, k);
    for (; k < whole; k += 8) block(std::false_type{}, k);
    if (k < k1) {
        double vt[8], wt[kW][8];
        for (int j = 0; j < 8; ++j) {
            const bool in = k + j < k1;
            const std::size_t i = in ? k + j : k1 - 1;
            vt[j] = v[i];
            for (int c = 0; c < kW; ++c) wt[c][j] = in ? pw[c][i] : 0.0;
        }
        const double* w[kW];
        for (int c = 0; c < kW; ++c) w[c] = wt[c];
        identity8_scalar<true, kW>(pi, um, vt, w, acc);
    }
    for (int c = 0; c < kW; ++c) acc_in[c] = acc[c];
}

// Identity sums of one vector of targets over the sources [k0, k1), whose
// pairs with |fl(v - u)| < kNear all have sources in [ka, kb).  Blocks of
// eight, masked only where they meet [ka, kb); the last few sources are
// padded to a block (a copy of the last position, zero weight) rather than
// taken one by one, since each block costs one division.
template <class V, int kW>
CORVANE_INLINE void identity_sums(const Problem& p, std::size_t k0, std::size_t k1, std::size_t ka, std::size_t kb,
                                  const V& um, V (&acc)[kW])
{
    std::size_t k = k0;
    for (; k + 8 <= k1; k += 8) {
        const double* w[kW];
        for (int c = 0; c < kW; ++c) w[c] = p.w[c] + k;
        if (k < kb && k + 8 > ka)
            identity8<true, V, kW>(p, p.v + k, w, um, acc);
        else
            identity8<false, V, kW>(p, p.v + k, w, um, acc);
    }
    if (k == k1) return;
    double vt[8], wt[kW][8];
    const double* w[kW];
    for (int j = 0; j < 8; ++j) {
        const bool in = k + j < k1;
        const std::size_t i = in ? k + j : k1 - 1;
        vt[j] = p.v[i];
        for (int c = 0; c < kW; ++c) wt[c][j] = in ? p.w[c][i] : 0.0;
    }
    for (int c = 0; c < kW; ++c) w[c] = wt[c];
    identity8<true, V, kW>(p, vt, w, um, acc);
}

// Outputs of leaf b: far field from the leaf's local expansion, near field
// over the sources [k0, k1) of leaves b-1 .. b+1.  Targets are taken in
// groups of eight (lanes over targets); for each group, the sources that are
// near some of its targets form a short range [ka, kb), the only one that
// needs the near test.
// Returns false when the checkpoint, asked between chunks of targets (a
// leaf of clustered positions can hold much work), says stop.
template <bool kComplex>
bool leaf_outputs(const Problem& p, std::size_t b, Work& work)
{
    using V = Vec;
    constexpr int Ln = kLanes<V>;
    constexpr int kW = kComplex ? 4 : 2;
    constexpr std::size_t kChunk = 64;  // targets whose phases are held at once
    const std::size_t nleaf = p.src.size() - 1;
    const std::size_t m0 = p.tgt[b], m1 = p.tgt[b + 1];
    const std::size_t k0 = p.src[b > 0 ? b - 1 : 0], k1 = p.src[std::min(b + 2, nleaf)];
    const double fb = static_cast<double>(b);
    const double* lc = p.levels >= 2 ? p.loc + ((std::size_t(1) << p.levels) + b) * kW * P : nullptr;
    double ub[kChunk + 8], sy[kChunk + 8], cy[kChunk + 8];
    std::size_t ka = k0, kb = k0;

    for (std::size_t c0 = m0; c0 < m1; c0 += kChunk) {
        const std::size_t cn = std::min(kChunk, m1 - c0);
        if (!work.before(cn * (k1 - k0 + 2 * P))) return false;
        wide_phases(p.u + c0, cn, p.pi, 0.0, sy, cy);
        // Lanes past the last target hold copies of it, with zero phases:
        // computed, never written out.
        for (std::size_t i = 0; i < kChunk + 8; ++i) ub[i] = p.u[c0 + std::min(i, cn - 1)];
        for (std::size_t i = cn; i < kChunk + 8; ++i) sy[i] = cy[i] = 0.0;
        for (std::size_t g = 0; g < cn; g += 8) {
            const double ulo = ub[g], uhi = ub[g + 7];
            while (ka < k1 && p.v[ka] - ulo <= -kNear) ++ka;
            if (kb < ka) kb = ka;
            while (kb < k1 && p.v[kb] - uhi < kNear) ++kb;
            double re[8], im[8];
            // One lane at a time, the copies past the last target are skipped.
            const int count = Ln == 1 ? static_cast<int>(std::min<std::size_t>(8, cn - g)) : 8;
            for (int i = 0; i < count; i += Ln) {
                const V um = loadu<V>(ub + g + i);
                V acc[kW];
                for (int c = 0; c < kW; ++c) acc[c] = V{};
                if (lc) {  // Clenshaw: sum_j a_j T_j(xi)
                    const V xi = (um * p.scale - fb) * 2.0 - 1.0;
                    const V x2 = xi + xi;
                    CORVANE_UNROLL
                    for (int c = 0; c < kW; ++c) {
                        V b1 = V{}, b2 = V{};
                        CORVANE_UNROLL
                        for (int j = P - 1; j >= 1; --j) {
                            const V bj = (x2 * b1 - b2) + lc[c * P + j];
                            b2 = b1;
                            b1 = bj;
                        }
                        acc[c] = (xi * b1 - b2) + lc[c * P];
                    }
                }
                if constexpr (Ln == 1)
                    identity_sums_scalar<kW>(p, k0, k1, ka, kb, um, acc);
                else
                    identity_sums<V, kW>(p, k0, k1, ka, kb, um, acc);
                const V vc = loadu<V>(cy + g + i), vs = loadu<V>(sy + g + i);
                storeu(re + i, vc * acc[0] - vs * acc[1]);
                if constexpr (kComplex) storeu(im + i, vc * acc[2] - vs * acc[3]);
            }
            if constexpr (Ln == 1)
                near_terms_scalar<kComplex>(p.v, p.s, ka, kb, ub + g, count, p.pi, re, im);
            else
                near_terms_vec<kComplex>(p.v, p.s, ka, kb, ub + g, p.pi, re, im);
            const std::size_t lanes = std::min<std::size_t>(8, cn - g);
            for (std::size_t l = 0; l < lanes; ++l) {
                if (kComplex) {
                    p.out[2 * (c0 + g + l)] = re[l];
                    p.out[2 * (c0 + g + l) + 1] = im[l];
                } else {
                    p.out[c0 + g + l] = re[l];
                }
            }
        }
    }
    return true;
}

// The whole evaluation.
template <bool kComplex>
bool run_tree(const Problem& p, Checkpoint* cp)
{
    using V = Vec;
    constexpr int NV = P / kLanes<V>;
    constexpr int kW = kComplex ? 4 : 2;
    constexpr std::size_t kBox = kW * P;
    const detail::TreeTables& tb = detail::tree_tables();
    const int L = p.levels;
    const std::size_t nleaf = std::size_t(1) << L;
    Work work{cp};
    // Rough costs in terms of the direct sum (about 4 flops a term a channel pair).
    const std::size_t transfer_units = P * P * kW / 4;
    // The re-expansions as apply() takes them: transposed, or K itself for
    // one lane (see also the transfers in tree()).
    constexpr bool kRows = kLanes<V> == 1;
    const double* const up[2] = {kRows ? tb.shift[0] : tb.shift_t[0], kRows ? tb.shift[1] : tb.shift_t[1]};
    const double* const down[2] = {kRows ? tb.shift_t[0] : tb.shift[0], kRows ? tb.shift_t[1] : tb.shift[1]};

    if (L >= 2) {
        for (std::size_t b = 0; b < nleaf; ++b) {
            if (!work.before((p.src[b + 1] - p.src[b]) * P * (kW + 1) / 4)) return false;
            leaf_moments<kW>(p, b, p.mom + (nleaf + b) * kBox);
        }
        // Up: parent moments from the children's, by exact re-expansion.
        for (int l = L - 1; l >= 2; --l) {
            const std::size_t base = std::size_t(1) << l;
            for (std::size_t b = 0; b < base; ++b) {
                if (!work.before(2 * transfer_units)) return false;
                V acc[kW][NV] = {};
                apply_any<Shape::lower, V, kW>(up[0], p.mom + (2 * base + 2 * b) * kBox, acc);
                apply_any<Shape::lower, V, kW>(up[1], p.mom + (2 * base + 2 * b + 1) * kBox, acc);
                store_box<V, kW>(p.mom + (base + b) * kBox, acc);
            }
        }
        // Down: transfers into each box, then its expansion into its children.
        for (int l = 2; l <= L; ++l) {
            const std::size_t base = std::size_t(1) << l;
            const double* far = p.far + (l - 2) * 4 * P * P;
            for (std::size_t b = 0; b < base; ++b) {
                if (!work.before(5 * transfer_units)) return false;
                V acc[kW][NV];
                load_box<V, kW>(p.loc + (base + b) * kBox, acc);
                for (int o = 0; o < 4; ++o) {
                    const std::ptrdiff_t src = static_cast<std::ptrdiff_t>(b) + kOffsets[o];
                    if (src < 0 || src >= static_cast<std::ptrdiff_t>(base)) continue;
                    if ((kOffsets[o] == -3 && b % 2 == 0) || (kOffsets[o] == 3 && b % 2 == 1)) continue;
                    apply_any<Shape::full, V, kW>(far + o * P * P, p.mom + (base + src) * kBox, acc);
                }
                if (l == L) {
                    store_box<V, kW>(p.loc + (base + b) * kBox, acc);
                    continue;
                }
                double parent[kBox];
                store_box<V, kW>(parent, acc);
                for (int h = 0; h < 2; ++h) {
                    V child[kW][NV] = {};
                    apply_any<Shape::upper, V, kW>(down[h], parent, child);
                    store_box<V, kW>(p.loc + (2 * base + 2 * b + h) * kBox, child);
                }
            }
        }
    }
    for (std::size_t b = 0; b < nleaf; ++b)
        if (!leaf_outputs<kComplex>(p, b, work)) return false;
    return true;
}

// Levels of the tree over [0, W] for n + m points spread over [0, hi]:
// leaves as wide as kLeafPoints points need, but at least kMinLeafWidth.
void choose_tree(std::size_t n, std::size_t m, double hi, int& levels, double& width)
{
    width = kMinLeafWidth;
    while (width < hi) width *= 2.0;
    const double want = kLeafPoints * (hi > 0.0 ? hi : 1.0) / static_cast<double>(n + m);
    double leaf = kMinLeafWidth;
    while (leaf < want && leaf < width) leaf *= 2.0;
    levels = 0;
    for (double w = width; w > leaf; w *= 0.5) ++levels;
}

template <bool kComplex>
bool tree(const double* v, std::size_t n, const double* u, std::size_t m, const double* s, double pi, double* out,
          Checkpoint* cp)
{
    constexpr std::size_t kChannels = kComplex ? 2 : 1;
    constexpr int kW = kComplex ? 4 : 2;
    switch (detail::start(n, m, s, kChannels, pi, out)) {
    case detail::Start::done: return true;
    case detail::Start::refuse: return false;
    case detail::Start::go: break;
    }
    if (!detail::sorted_within(v, n, 0.0, kTreeMaxPosition) || !detail::sorted_within(u, m, 0.0, kTreeMaxPosition)) {
        // Outside the tree's domain (negative, unsorted or huge positions): the
        // direct sum decides, and refuses what it cannot do either.
        return kComplex ? sinc_sum_direct_complex(v, n, u, m, s, pi, out, cp)
                        : sinc_sum_direct(v, n, u, m, s, pi, out, cp);
    }

    Problem p;
    p.n = n;
    p.m = m;
    p.s = s;
    p.pi = pi;
    p.out = out;
    choose_tree(n, m, std::max(v[n - 1], u[m - 1]), p.levels, p.width);
    const std::size_t nleaf = std::size_t(1) << p.levels;
    p.scale = static_cast<double>(nleaf) / p.width;

    // One allocation, not initialised (every value is written before it is
    // read): w[0..kW) | moments | locals | transfers.
    const std::size_t nbox = p.levels >= 2 ? 2 * nleaf : 0;
    const std::size_t nfar = p.levels >= 2 ? static_cast<std::size_t>(p.levels - 1) * 4 * P * P : 0;
    const double doubles = double(kW) * double(n) + 2.0 * double(nbox) * kW * P + double(nfar);
    if (doubles > double(SIZE_MAX / sizeof(double))) throw std::bad_alloc();
    detail::Scratch scratch(static_cast<std::size_t>(doubles));
    double* at = scratch.get();
    auto take = [&at](std::size_t count) {
        double* r = at;
        at += count;
        return r;
    };
    double* w[4] = {nullptr, nullptr, nullptr, nullptr};
    for (int c = 0; c < kW; ++c) w[c] = take(n);
    p.mom = take(nbox * kW * P);
    p.loc = take(nbox * kW * P);
    double* far = take(nfar);
    // The transfers of level 2 add into zeros; deeper levels start from their
    // parent's expansion.
    if (nbox) std::fill(p.loc + 4 * kW * P, p.loc + 8 * kW * P, 0.0);

    // Weights s sin(x), s cos(x), from the phases written into w[0], w[1].
    wide_phases(v, n, pi, kEps, w[0], w[1]);
    for (std::size_t k = 0; k < n; ++k) {
        if (kComplex) {
            w[2][k] = s[2 * k + 1] * w[0][k];
            w[3][k] = s[2 * k + 1] * w[1][k];
            w[0][k] *= s[2 * k];
            w[1][k] *= s[2 * k];
        } else {
            w[0][k] *= s[k];
            w[1][k] *= s[k];
        }
    }
    p.v = v;
    p.u = u;
    for (int c = 0; c < 4; ++c) p.w[c] = w[c];
    leaf_bounds(v, n, p.scale, nleaf, p.src);
    leaf_bounds(u, m, p.scale, nleaf, p.tgt);

    // Transfers of level l: boxes of half width a, kernel
    //   1 / (pi a D + eps) = (1 / (pi a)) (1/D - e/D^2 + O(e^2)),  e = eps / (pi a),
    // with e < 1e-9 and |D| >= 2, so the dropped terms are below 1e-19 relative.
    if (p.levels >= 2) {
        const detail::TreeTables& tb = detail::tree_tables();
        for (int l = 2; l <= p.levels; ++l) {
            const double a = p.width / static_cast<double>(std::size_t(1) << (l + 1));
            const double inv = 1.0 / (pi * a), e = kEps / (pi * a);
            double* f = far + (l - 2) * 4 * P * P;
            // Laid out as apply() takes them: transposed ([i][j]), or for one
            // lane K itself ([j][i]).
            if constexpr (kLanes<Vec> == 1) {
                for (int o = 0; o < 4; ++o)
                    for (int i = 0; i < P; ++i)
                        for (int j = 0; j < P; ++j)
                            f[o * P * P + j * P + i] = inv * (tb.far0[o][i * P + j] - e * tb.far1[o][i * P + j]);
            } else {
                for (int o = 0; o < 4; ++o)
                    for (int i = 0; i < P * P; ++i) f[o * P * P + i] = inv * (tb.far0[o][i] - e * tb.far1[o][i]);
            }
        }
    }
    p.far = far;

    if (!run_tree<kComplex>(p, cp)) return false;
    return detail::all_finite(out, kChannels * m);
}

}  // namespace

template <>
bool TreeSum<kIsa>::run(bool complex_samples, const double* v, std::size_t n, const double* u, std::size_t m,
                        const double* s, double pi, double* out, Checkpoint* cp)
{
    return complex_samples ? tree<true>(v, n, u, m, s, pi, out, cp) : tree<false>(v, n, u, m, s, pi, out, cp);
}
}  // namespace corvane::kernels
CORVANE_VARIANT_END

#if CORVANE_ONCE
namespace corvane::kernels {
namespace detail {
namespace {

// cos(k pi / 32) for k = 0 ... 16, correctly rounded (tests/test_kernel_constants.py
// recomputes them): the Chebyshev nodes cos((2l + 1) pi / 32) and the values
// of the Chebyshev polynomials there, T_j(node_l) = cos(j (2l + 1) pi / 32).
constexpr double kCosPi32[17] = {
    0x1.0000000000000p+0,
    0x1.fd88da3d12526p-1,
    0x1.f6297cff75cb0p-1,
    0x1.e9f4156c62ddap-1,
    0x1.d906bcf328d46p-1,
    0x1.c38b2f180bdb1p-1,
    0x1.a9b66290ea1a3p-1,
    0x1.8bc806b151741p-1,
    0x1.6a09e667f3bcdp-1,
    0x1.44cf325091dd6p-1,
    0x1.1c73b39ae68c8p-1,
    0x1.e2b5d3806f63bp-2,
    0x1.87de2a6aea963p-2,
    0x1.294062ed59f06p-2,
    0x1.8f8b83c69a60bp-3,
    0x1.917a6bc29b42cp-4,
    0.0,
};

// cos(m pi / 32) for m >= 0, from the table by symmetry.
double cos_pi32(int m)
{
    m %= 64;
    if (m <= 16) return kCosPi32[m];
    if (m <= 32) return -kCosPi32[32 - m];
    if (m <= 48) return -kCosPi32[m - 32];
    return kCosPi32[64 - m];
}

// The tables in double arithmetic, every sum in one fixed order and nothing
// fused, from the constants above: the same bits on every machine (the
// libm's cosine and long double, once used here, differ between
// architectures, and long double is a slow software type on aarch64). Their
// rounding errors, a few 1e-16 relative, are far below the interpolation
// error of the transfers (the bound above).
TreeTables make_tables()
{
    TreeTables t;
    double node[P], cheb[P][P];  // cheb[j][l] = T_j(node_l)
    for (int l = 0; l < P; ++l) node[l] = cos_pi32(2 * l + 1);
    for (int j = 0; j < P; ++j)
        for (int l = 0; l < P; ++l) cheb[j][l] = cos_pi32(j * (2 * l + 1));
    // Values at the nodes -> Chebyshev coefficients, and moments -> node weights.
    auto to_coef = [&](int j, int l) { return (j == 0 ? 1.0 : 2.0) / P * cheb[j][l]; };
    auto to_weight = [&](int l, int i) { return (i == 0 ? 1.0 : 2.0) / P * cheb[i][l]; };

    for (int h = 0; h < 2; ++h) {
        double f[P][P];  // f[j][l] = T_j((node_l + 2h - 1) / 2)
        for (int l = 0; l < P; ++l) {
            const double y = (node[l] + (2 * h - 1)) / 2;
            f[0][l] = 1;
            f[1][l] = y;
            for (int j = 2; j < P; ++j) f[j][l] = 2 * y * f[j - 1][l] - f[j - 2][l];
        }
        for (int j = 0; j < P; ++j)
            for (int i = 0; i < P; ++i) {
                double c = 0;
                for (int l = 0; l < P; ++l) c += to_coef(i, l) * f[j][l];
                if (i > j) c = 0;  // exactly: the polynomial has degree j
                t.shift[h][j * P + i] = c;
                t.shift_t[h][i * P + j] = c;
            }
    }

    for (int o = 0; o < 4; ++o) {
        for (int power = 1; power <= 2; ++power) {
            double kw[P][P];  // kernel at (target node l, source node i') times weights
            for (int l = 0; l < P; ++l)
                for (int i = 0; i < P; ++i) {
                    double acc = 0;
                    for (int q = 0; q < P; ++q) {
                        const double d = 2.0 * kOffsets[o] + node[q] - node[l];
                        acc += (power == 1 ? 1 / d : 1 / (d * d)) * to_weight(q, i);
                    }
                    kw[l][i] = acc;
                }
            double* dst = power == 1 ? t.far0[o] : t.far1[o];
            for (int j = 0; j < P; ++j)
                for (int i = 0; i < P; ++i) {
                    double acc = 0;
                    for (int l = 0; l < P; ++l) acc += to_coef(j, l) * kw[l][i];
                    dst[i * P + j] = acc;
                }
        }
    }
    return t;
}

}  // namespace

// Thread-safe static initialisation.
const TreeTables& tree_tables()
{
    static const TreeTables t = make_tables();
    return t;
}

}  // namespace detail

bool sinc_sum_tree(const double* v, std::size_t N, const double* u, std::size_t M, const double* s, double pi,
                   double* out, Checkpoint* cp)
{
    return dispatch<TreeSum>(false, v, N, u, M, s, pi, out, cp);
}

bool sinc_sum_tree_complex(const double* v, std::size_t N, const double* u, std::size_t M, const double* s, double pi,
                           double* out, Checkpoint* cp)
{
    return dispatch<TreeSum>(true, v, N, u, M, s, pi, out, cp);
}
}  // namespace corvane::kernels
#endif
