// Branch-free sine/cosine for the kernels: written as straight-line scalar
// code so loops calling it auto-vectorise in any kernel variant, plus a form
// on GCC/Clang vectors for the loops the compiler does not vectorise itself.
// Neither fuses a multiply and an add (the kernels are built with
// -ffp-contract=off): a fused polynomial step would round differently, and
// the baseline variants have no fused multiply-add to give the same bits.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "kernels/exact.hpp"

// The round-to-integer trick below relies on every double operation being
// rounded to double; x87 excess precision would break it.
#if defined(FLT_EVAL_METHOD) && FLT_EVAL_METHOD != 0
#error "corvane kernels need double evaluation (on 32-bit x86 use -msse2 -mfpmath=sse)"
#endif

namespace corvane::kernels::detail {

// sincos_fast is accurate for |a| <= kSinFastLimit.  There the quadrant
// q = round(a * 2/pi) stays below 2^20, so q times each 33-bit piece of pi/2
// is exact and the reduced argument keeps its relative accuracy even right
// next to a multiple of pi/2.
constexpr double kSinFastLimit = 1.0e6;

constexpr double kTwoOverPi = 0x1.45f306dc9c883p-1;
// pi/2 = kPio2A + kPio2B + kPio2C + kPio2D to about 2^-152; the first three
// have at most 33 significant bits.
constexpr double kPio2A = 0x1.921fb544p+0;
constexpr double kPio2B = 0x1.0b4611a6p-34;
constexpr double kPio2C = 0x1.3198a2ep-69;
constexpr double kPio2D = 0x1.b839a252049c1p-104;

// Near-minimax fits on |r| <= 1.01 * pi/4 (relative error < 0.06 ulp):
//   sin r ~ r + r^3 * S(r^2),   cos r ~ 1 - r^2/2 + r^4 * C(r^2).
constexpr double kS0 = -0x1.5555555555555p-3;
constexpr double kS1 = 0x1.1111111111110p-7;
constexpr double kS2 = -0x1.a01a01a019880p-13;
constexpr double kS3 = 0x1.71de3a544a6cep-19;
constexpr double kS4 = -0x1.ae6453ecab5c4p-26;
constexpr double kS5 = 0x1.612161267019ep-33;
constexpr double kS6 = -0x1.ab066192d3e8fp-41;
constexpr double kC0 = 0x1.5555555555555p-5;
constexpr double kC1 = -0x1.6c16c16c1691fp-10;
constexpr double kC2 = 0x1.a01a019f3dde1p-16;
constexpr double kC3 = -0x1.27e4fa0241f7cp-22;
constexpr double kC4 = 0x1.1eeb52a201da3p-29;
constexpr double kC5 = -0x1.906dbf4fda044p-37;

CORVANE_INLINE std::uint64_t to_bits(double x)
{
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

CORVANE_INLINE double from_bits(std::uint64_t b)
{
    double x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

// The constants of the scalar sine and cosine below as one value, which a
// loop can keep in registers (pinned) instead of loading them from memory for
// every element, as compilers otherwise do.
struct Trig {
    double two_over_pi, shift, half, one, pA, pB, pC, pD;
    double s0, s1, s2, s3, s4, s5, s6, c0, c1, c2, c3, c4, c5;
};
// Adding shift = 1.5 * 2^52 rounds to an integer.
constexpr Trig kTrig = {kTwoOverPi, 0x1.8p52, 0.5, 1.0, kPio2A, kPio2B, kPio2C, kPio2D, kS0, kS1, kS2,
                        kS3,        kS4,      kS5, kS6, kC0,    kC1,    kC2,    kC3,    kC4, kC5};

// k with every member hidden from the optimiser in a register, so that a loop
// using the copy keeps them there: for cores with registers to spare.
CORVANE_INLINE Trig pinned(Trig k)
{
#if defined(__GNUC__) && (defined(__arm__) || defined(__aarch64__))
#define CORVANE_PIN(x) __asm__("" : "+w"(x))
#elif defined(__GNUC__) && defined(__x86_64__)
#define CORVANE_PIN(x) __asm__("" : "+x"(x))
#else
#define CORVANE_PIN(x) (void)(x)
#endif
    CORVANE_PIN(k.two_over_pi); CORVANE_PIN(k.shift); CORVANE_PIN(k.half); CORVANE_PIN(k.one);
    CORVANE_PIN(k.pA); CORVANE_PIN(k.pB); CORVANE_PIN(k.pC); CORVANE_PIN(k.pD);
    CORVANE_PIN(k.s0); CORVANE_PIN(k.s1); CORVANE_PIN(k.s2); CORVANE_PIN(k.s3); CORVANE_PIN(k.s4);
    CORVANE_PIN(k.s5); CORVANE_PIN(k.s6); CORVANE_PIN(k.c0); CORVANE_PIN(k.c1); CORVANE_PIN(k.c2);
    CORVANE_PIN(k.c3); CORVANE_PIN(k.c4); CORVANE_PIN(k.c5);
#undef CORVANE_PIN
    return k;
}

// k pinned where the variant's loops gain from it (kPin).
template <bool kPin>
CORVANE_INLINE Trig pinned_if(const Trig& k)
{
    if constexpr (kPin)
        return pinned(k);
    else
        return k;
}

// The reduction of a by pi/2 = pA + pB + pC + pD (pA, pB, pC short enough
// that q times each is exact for the a the caller allows): r + lo = a - q pi/2
// with q = round(a * 2/pi), and `shifted`, whose low mantissa bits are q mod 4
// (also for negative q).
CORVANE_INLINE void reduce(double a, const Trig& k, double& shifted, double& r, double& lo)
{
    shifted = a * k.two_over_pi + k.shift;
    const double q = shifted - k.shift;

    // The first step is exact; the next two are done error-free and their
    // rounding errors kept in lo, so the reduction adds well under 0.1 ulp
    // whether r is tiny or not.
    // (-q) * p is -(q * p), bit for bit; one negation instead of two.
    const double nq = -q;
    const double r1 = a + nq * k.pA;
    double r2, e2, e3;
    two_sum(r1, nq * k.pB, r2, e2);
    two_sum(r2, nq * k.pC, r, e3);
    lo = (e2 + e3) + nq * k.pD;
}

// sin(r + lo) ~ sin r + lo (1 - r^2/2) and cos(r + lo) ~ cos r - lo r, from
// z = r^2, hz = z/2, w = 1 - hz.
template <bool kScalarCode>
CORVANE_INLINE double sin_poly(double r, double lo, double z, double w, const Trig& k)
{
    // The sign of r, so that sin(-0) is -0 (the sum alone would round it to +0);
    // for r != 0 the sum has that sign already, so a scalar core tests r
    // instead (the same bits, in fewer instructions).
    const double sum =
        r + ((r * z) * (k.s0 + z * (k.s1 + z * (k.s2 + z * (k.s3 + z * (k.s4 + z * (k.s5 + z * k.s6)))))) + lo * w);
    if constexpr (kScalarCode)
        return r == 0.0 ? std::copysign(sum, r) : sum;
    else
        return std::copysign(sum, r);
}

CORVANE_INLINE double cos_poly(double r, double lo, double z, double hz, double w, const Trig& k)
{
    // 1 - z/2 is split so the rounding error of the subtraction is added back.
    return w + ((((k.one - w) - hz) + (z * z) * (k.c0 + z * (k.c1 + z * (k.c2 + z * (k.c3 + z * (k.c4 + z * k.c5)))))) -
                r * lo);
}

// sin(a) and cos(a) with the constants k (kTrig, or pieces of pi/2 for a
// wider range): the reduction and polynomials shared by sincos_fast and
// wider-range variants, branch-free for loops the compiler vectorises.
CORVANE_INLINE void sincos_reduced(double a, const Trig& k, double& sin_a, double& cos_a)
{
    double shifted, r, lo;
    reduce(a, k, shifted, r, lo);
    const double z = r * r;
    const double hz = 0.5 * z;
    const double w = 1.0 - hz;
    const double ps = sin_poly<false>(r, lo, z, w, k);
    const double pc = cos_poly(r, lo, z, hz, w, k);

    // Quadrant n = q mod 4: (sin, cos) = (ps, pc), (pc, -ps), (-ps, -pc), (-pc, ps).
    const std::uint64_t n = to_bits(shifted);
    const std::uint64_t swap = std::uint64_t{0} - (n & 1);
    const std::uint64_t bs = to_bits(ps);
    const std::uint64_t bc = to_bits(pc);
    const std::uint64_t rs = ((bs & ~swap) | (bc & swap)) ^ ((n & 2) << 62);
    const std::uint64_t rc = ((bc & ~swap) | (bs & swap)) ^ (((n + 1) & 2) << 62);
    sin_a = from_bits(rs);
    cos_a = from_bits(rc);
}

// sincos_reduced for code that takes one value at a time (no SIMD), with the
// constants k (kTrig, its pieces of pi/2 replaced for a wider range, perhaps
// pinned): the quadrant picks and negates by branches, which cost a scalar
// core less than the bit operations on 64-bit integers. Negation flips the
// sign bit, as the exclusive or above does: the same bits.
CORVANE_INLINE void sincos_scalar(double a, const Trig& k, double& sin_a, double& cos_a)
{
    double shifted, r, lo;
    reduce(a, k, shifted, r, lo);
    const double z = r * r;
    const double hz = k.half * z;
    const double w = k.one - hz;
    double s = sin_poly<true>(r, lo, z, w, k);
    double c = cos_poly(r, lo, z, hz, w, k);
    const unsigned n = static_cast<unsigned>(to_bits(shifted));
    if (n & 1) {
        const double t = s;
        s = c;
        c = -t;
    }
    if (n & 2) {
        s = -s;
        c = -c;
    }
    sin_a = s;
    cos_a = c;
}

// The sine of sincos_scalar alone, to the bit: the same reduction and the one
// polynomial the quadrant needs (the other is not computed).
CORVANE_INLINE double sin_scalar(double a, const Trig& k)
{
    double shifted, r, lo;
    reduce(a, k, shifted, r, lo);
    const double z = r * r;
    const double hz = k.half * z;
    const double w = k.one - hz;
    const unsigned n = static_cast<unsigned>(to_bits(shifted));
    const double y = (n & 1) ? cos_poly(r, lo, z, hz, w, k) : sin_poly<true>(r, lo, z, w, k);
    return (n & 2) ? -y : y;
}

// sincos_reduced on GCC/Clang vectors: the same operations in the same
// order, lane by lane, so every lane is bit-identical to the scalar result.  For loops the compiler does not
// vectorise by itself (gathers, masks).
template <class V>
CORVANE_INLINE void sincos_reduced_vec(const V& a, double pA, double pB, double pC, double pD, V& sin_a, V& cos_a)
{
    typedef std::uint64_t U __attribute__((vector_size(sizeof(V))));
    constexpr double kShift = 0x1.8p52;
    const V shifted = a * kTwoOverPi + kShift;
    const V q = shifted - kShift;
    const V r1 = a - q * pA;
    // two_sum, twice.
    const V b2 = -(q * pB);
    const V r2 = r1 + b2;
    const V bb2 = r2 - r1;
    const V e2 = (r1 - (r2 - bb2)) + (b2 - bb2);
    const V b3 = -(q * pC);
    const V r = r2 + b3;
    const V bb3 = r - r2;
    const V e3 = (r2 - (r - bb3)) + (b3 - bb3);
    const V lo = (e2 + e3) - q * pD;

    const V z = r * r;
    const V hz = 0.5 * z;
    const V w = 1.0 - hz;
    const U sign = (U)(-V{});  // -0.0: the sign bit alone
    const V sum = r + ((r * z) * (kS0 + z * (kS1 + z * (kS2 + z * (kS3 + z * (kS4 + z * (kS5 + z * kS6)))))) + lo * w);
    const U bs = ((U)sum & ~sign) | ((U)r & sign);
    const V pc =
        w + ((((1.0 - w) - hz) + (z * z) * (kC0 + z * (kC1 + z * (kC2 + z * (kC3 + z * (kC4 + z * kC5)))))) - r * lo);
    const U n = (U)shifted;
    const U swap = U{} - (n & 1);
    const U bc = (U)pc;
    sin_a = (V)(((bs & ~swap) | (bc & swap)) ^ ((n & 2) << 62));
    cos_a = (V)(((bc & ~swap) | (bs & swap)) ^ (((n + 1) & 2) << 62));
}

// sin(a) and cos(a) to within 1 ulp for |a| <= kSinFastLimit.  Outside that
// range (or for NaN) the results are meaningless but computing them is
// harmless; callers redo those elements with std::sin / std::cos.
CORVANE_INLINE void sincos_fast(double a, double& sin_a, double& cos_a)
{
    sincos_reduced(a, kTrig, sin_a, cos_a);
}

// pi/2 = kWideA + kWideB + kWideC + kWideD to about 1e-36; the first three
// have 21 significant bits, so q times each is exact for |q| < 2^32.
constexpr double kWideA = 0x1.921fbp+0;
constexpr double kWideB = 0x1.5110bp-22;
constexpr double kWideC = 0x1.18469p-44;
constexpr double kWideD = 0x1.13198a2e03707p-65;

// sincos_wide's constants.
constexpr Trig kTrigWide = {kTwoOverPi, 0x1.8p52, 0.5, 1.0, kWideA, kWideB, kWideC, kWideD, kS0, kS1, kS2,
                            kS3,        kS4,      kS5, kS6, kC0,    kC1,    kC2,    kC3,    kC4, kC5};

// sin and cos of a to within about 1 ulp absolute for |a| < 2^32: the
// reduction of sincos_fast with shorter pieces of pi/2.  r1 = a - q*A is
// exact (Sterbenz), the next two steps are error-free, and the neglected
// q * (pi/2 - A - B - C - D) is below 1e-26.
CORVANE_INLINE void sincos_wide(double a, double& sin_a, double& cos_a)
{
    sincos_reduced(a, kTrigWide, sin_a, cos_a);
}


}  // namespace corvane::kernels::detail
