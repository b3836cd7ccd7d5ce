// Vectors of doubles for the code of one kernel variant.
//
// Include this between CORVANE_VARIANT_BEGIN and CORVANE_VARIANT_END: its
// functions are private to the compilation (an unnamed namespace) and are
// compiled for the variant being built, so passing and returning vectors of
// the variant's width is an ordinary call within one instruction set.
//
// GCC and Clang vector extensions: element-wise code whose width is fixed per
// variant. A variant of width one (32-bit ARM, which has no double-precision
// SIMD) uses plain doubles and bools instead, with the same operations: the
// compiler would otherwise split each vector into scalars, spill them and
// move the masks through integer registers.
#pragma once

#if !defined(CORVANE_VARIANT)
#error "kernels/simd.hpp belongs inside a kernel variant (see kernels/dispatch.hpp)"
#endif

#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "kernels/dispatch.hpp"

// Full unrolling of the short fixed loops keeps their vectors in registers
// (at -O2 GCC leaves them as loops over arrays on the stack).
#if defined(__GNUC__)
#define CORVANE_UNROLL _Pragma("GCC unroll 16")
#else
#define CORVANE_UNROLL
#endif

// For scalar code short of registers: p is hidden behind x, so that loads
// through p are not scheduled before x is computed, into registers that
// would then spill while the values x depends on are still live. No
// instruction; the compiler sees a dependence.
#if defined(__GNUC__) && (defined(__arm__) || defined(__aarch64__))
#define CORVANE_AFTER(p, x) __asm__("" : "+r"(p) : "w"(x))
#elif defined(__GNUC__) && defined(__x86_64__)
#define CORVANE_AFTER(p, x) __asm__("" : "+r"(p) : "x"(x))
#else
#define CORVANE_AFTER(p, x) (void)(x)
#endif

namespace corvane::kernels {
namespace {

typedef double Vec2 __attribute__((vector_size(16)));
typedef double Vec4 __attribute__((vector_size(32)));
typedef double Vec8 __attribute__((vector_size(64)));

template <int L>
struct VecOf;
template <>
struct VecOf<1> {
    using type = double;
};
template <>
struct VecOf<2> {
    using type = Vec2;
};
template <>
struct VecOf<4> {
    using type = Vec4;
};
template <>
struct VecOf<8> {
    using type = Vec8;
};

// The vector of this variant's hardware width.
using Vec = typename VecOf<Traits<kIsa>::lanes>::type;

template <class V>
constexpr int kLanes = sizeof(V) / sizeof(double);

// Lanes of 64-bit integers: what a comparison of V gives (true = all ones);
// bool for double.
template <class V>
using Mask = decltype(V{} < V{});

template <class V>
constexpr bool kScalar = std::is_same<V, double>::value;

template <class V>
inline V loadu(const double* p)
{
    V x;
    std::memcpy(&x, p, sizeof x);
    return x;
}

template <class V>
inline void storeu(double* p, const V& x)
{
    std::memcpy(p, &x, sizeof x);
}

template <class V>
inline V broadcast(double x)
{
    return V{} + x;
}

// yes where m, else no; as bit operations (GCC turns vector ?: on doubles
// into scalar code).
template <class V>
inline V select(const Mask<V>& m, const V& yes, const V& no)
{
    if constexpr (kScalar<V>)
        return m ? yes : no;
    else
        return (V)(((Mask<V>)yes & m) | ((Mask<V>)no & ~m));
}

// x where m, else +0.
template <class V>
inline V keep(const Mask<V>& m, const V& x)
{
    if constexpr (kScalar<V>)
        return m ? x : 0.0;
    else
        return (V)((Mask<V>)x & m);
}

template <class V>
inline V abs(const V& x)
{
    if constexpr (kScalar<V>)
        return std::fabs(x);
    else
        return (V)((Mask<V>)x & ~(Mask<V>)(-V{}));
}

// base[i[l]] in every lane l.
template <class V>
inline V gather(const double* base, const Mask<V>& i)
{
    V r;
    for (int l = 0; l < kLanes<V>; ++l) r[l] = base[i[l]];
    return r;
}

// The sum of the logical lanes of a reduction, in one fixed order: pairs,
// then pairs of pairs.
inline double lane_sum(const double (&l)[kLogicalLanes])
{
    static_assert(kLogicalLanes == 8, "the order below is written for eight lanes");
    return ((l[0] + l[1]) + (l[2] + l[3])) + ((l[4] + l[5]) + (l[6] + l[7]));
}

// 1/d[j] for eight vectors from one division: products up a binary tree,
// one reciprocal at the root, then back down. Each result is within a few
// ulp of 1/d[j] while the products neither overflow nor underflow (callers
// keep |d| in [pi, 2^26]).
template <class V>
inline void reciprocals8(const V (&d)[8], V (&inv)[8])
{
    const V p01 = d[0] * d[1], p23 = d[2] * d[3], p45 = d[4] * d[5], p67 = d[6] * d[7];
    const V p03 = p01 * p23, p47 = p45 * p67;
    const V r07 = 1.0 / (p03 * p47);
    const V r03 = r07 * p47, r47 = r07 * p03;
    const V r01 = r03 * p23, r23 = r03 * p01, r45 = r47 * p67, r67 = r47 * p45;
    inv[0] = r01 * d[1];
    inv[1] = r01 * d[0];
    inv[2] = r23 * d[3];
    inv[3] = r23 * d[2];
    inv[4] = r45 * d[5];
    inv[5] = r45 * d[4];
    inv[6] = r67 * d[7];
    inv[7] = r67 * d[6];
}

// sum_j w[j] * inv[j] for eight terms, in one fixed order.
template <class V>
inline V dot8(const V (&w)[8], const V (&inv)[8])
{
    return ((w[0] * inv[0] + w[1] * inv[1]) + (w[2] * inv[2] + w[3] * inv[3])) +
           ((w[4] * inv[4] + w[5] * inv[5]) + (w[6] * inv[6] + w[7] * inv[7]));
}

}  // namespace
}  // namespace corvane::kernels
