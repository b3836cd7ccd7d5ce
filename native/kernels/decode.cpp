// The chip decoder's loops: plain scalar code written for the
// auto-vectoriser, compiled per kernel variant.
#include "kernels/decode.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "kernels/dispatch.hpp"
#include "kernels/sincos.hpp"

namespace corvane::kernels::decode {
template <Isa>
struct Widen {
    static void run(const unsigned char* src, double* dst, std::size_t n);
};
template <Isa>
struct AnyNan {
    static bool run(const unsigned char* src, std::size_t n);
};
template <Isa>
struct Classify {
    static Values run(const unsigned char* mag, const unsigned char* pha, std::size_t n);
};
template <Isa>
struct Planes {
    static void run(const unsigned char* mag, const unsigned char* pha, std::size_t n, Values values, double* out);
};
template <Isa>
struct Complex {
    static void run(const unsigned char* mag, const unsigned char* pha, std::size_t n, Values values, double* out);
};
}  // namespace corvane::kernels::decode

CORVANE_VARIANT_BEGIN
namespace corvane::kernels::decode {
namespace {

// The stored bit pattern of the big-endian binary32 value at p, on any host.
inline std::uint32_t bits(const unsigned char* p)
{
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | std::uint32_t(p[3]);
}

inline double load(const unsigned char* p)
{
    const std::uint32_t u = bits(p);
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}

// |x| of a binary32 bit pattern compares like the pattern without its sign.
constexpr std::uint32_t magnitude_bits = 0x7fffffffu;
constexpr std::uint32_t infinity_bits = 0x7f800000u;  // exponent all ones: inf or NaN
constexpr std::uint32_t small_bits = 0x49742400u;     // 1e6, the range of the vector sine/cosine

void widen_values(const unsigned char* src, double* dst, std::size_t n)
{
    for (std::size_t k = 0; k < n; ++k) dst[k] = load(src + 4 * k);
}

// Sine and cosine of a chunk, for any finite values. (A template, so that
// variants that never call it do not warn.)
template <int = 0>
void trig(const double* p, double* s, double* c, std::size_t n, Values values)
{
    const detail::Trig t = detail::pinned_if<Traits<kIsa>::pin_constants>(detail::kTrig);
    for (std::size_t k = 0; k < n; ++k) detail::sincos_reduced(p[k], t, s[k], c[k]);
    if (values == Values::small) return;
    for (std::size_t k = 0; k < n; ++k) {
        if (!(std::fabs(p[k]) <= detail::kSinFastLimit)) {
            s[k] = std::sin(p[k]);
            c[k] = std::cos(p[k]);
        }
    }
}

constexpr std::size_t chunk = 256;

// Widens the blocks chunk by chunk, takes sine and cosine of the phases and
// hands each pixel's (m, cos p, sin p) to `store`, which writes out[2k], out[2k + 1].
template <class Store>
void polar(const unsigned char* mag, const unsigned char* pha, std::size_t n, Values values, double* out, Store store)
{
    double m[chunk], p[chunk], s[chunk], c[chunk];
    for (std::size_t base = 0; base < n; base += chunk) {
        const std::size_t len = std::min(chunk, n - base);
        widen_values(mag + 4 * base, m, len);
        widen_values(pha + 4 * base, p, len);
        trig<>(p, s, c, len, values);
        double* o = out + 2 * base;
        for (std::size_t k = 0; k < len; ++k) store(m[k], c[k], s[k], o + 2 * k);
    }
}

// polar() one pixel at a time, for cores without double-precision SIMD:
// no intermediate arrays, the scalar sine and cosine (the same bits).
template <bool kSmall, class Store>
void polar_scalar(const unsigned char* mag, const unsigned char* pha, std::size_t n, double* out, Store store)
{
    const detail::Trig k = detail::pinned_if<Traits<kIsa>::pin_constants>(detail::kTrig);
    for (std::size_t i = 0; i < n; ++i) {
        const double m = load(mag + 4 * i), p = load(pha + 4 * i);
        double s, c;
        if (kSmall || std::fabs(p) <= detail::kSinFastLimit) {
            detail::sincos_scalar(p, k, s, c);
        } else {
            s = std::sin(p);
            c = std::cos(p);
        }
        store(m, c, s, out + 2 * i);
    }
}

// One pixel at a time also on 64-bit ARM: counted on a Cortex-A53, 56
// instructions a pixel against 61 for two-lane vectors through arrays.
template <class Store>
void polar_any(const unsigned char* mag, const unsigned char* pha, std::size_t n, Values values, double* out,
               Store store)
{
#if defined(__aarch64__)
    constexpr bool kOneAtATime = true;
#else
    constexpr bool kOneAtATime = Traits<kIsa>::lanes == 1;
#endif
    if constexpr (kOneAtATime) {
        if (values == Values::small)
            polar_scalar<true>(mag, pha, n, out, store);
        else
            polar_scalar<false>(mag, pha, n, out, store);
    } else
        polar(mag, pha, n, values, out, store);
}

}  // namespace

template <>
void Widen<kIsa>::run(const unsigned char* src, double* dst, std::size_t n)
{
    widen_values(src, dst, n);
}

template <>
bool AnyNan<kIsa>::run(const unsigned char* src, std::size_t n)
{
    std::uint32_t max = 0;
    for (std::size_t k = 0; k < n; ++k) max = std::max(max, bits(src + 4 * k) & magnitude_bits);
    return max > infinity_bits;
}

template <>
Values Classify<kIsa>::run(const unsigned char* mag, const unsigned char* pha, std::size_t n)
{
    std::uint32_t mag_max = 0, pha_max = 0;
    for (std::size_t k = 0; k < n; ++k) mag_max = std::max(mag_max, bits(mag + 4 * k) & magnitude_bits);
    for (std::size_t k = 0; k < n; ++k) pha_max = std::max(pha_max, bits(pha + 4 * k) & magnitude_bits);
    if (mag_max >= infinity_bits || pha_max >= infinity_bits) return Values::nonfinite;
    return pha_max < small_bits ? Values::small : Values::finite;
}

template <>
void Planes<kIsa>::run(const unsigned char* mag, const unsigned char* pha, std::size_t n, Values values, double* out)
{
    polar_any(mag, pha, n, values, out, [](double m, double c, double s, double* o) {
        o[0] = m * c;
        o[1] = m * s;
    });
}

template <>
void Complex<kIsa>::run(const unsigned char* mag, const unsigned char* pha, std::size_t n, Values values, double* out)
{
    polar_any(mag, pha, n, values, out, [](double m, double c, double s, double* o) {
        // 1j * sin: (0 + 1j) * (s + 0j)
        const double t_re = 0.0 * s - 1.0 * 0.0;
        const double t_im = 0.0 * 0.0 + 1.0 * s;
        // cos + that: (c + 0j) + t
        const double u_re = c + t_re;
        const double u_im = 0.0 + t_im;
        // times the magnitude: u * (m + 0j)
        o[0] = u_re * m - u_im * 0.0;
        o[1] = u_re * 0.0 + u_im * m;
    });
}
}  // namespace corvane::kernels::decode
CORVANE_VARIANT_END

#if CORVANE_ONCE
namespace corvane::kernels::decode {

void widen(const unsigned char* src, double* dst, std::size_t n) { dispatch<Widen>(src, dst, n); }

bool any_nan(const unsigned char* src, std::size_t n) { return dispatch<AnyNan>(src, n); }

Values classify(const unsigned char* mag, const unsigned char* pha, std::size_t n)
{
    return dispatch<Classify>(mag, pha, n);
}

void planes(const unsigned char* mag, const unsigned char* pha, std::size_t n, Values values, double* out)
{
    dispatch<Planes>(mag, pha, n, values, out);
}

void complex(const unsigned char* mag, const unsigned char* pha, std::size_t n, Values values, double* out)
{
    dispatch<Complex>(mag, pha, n, values, out);
}

}  // namespace corvane::kernels::decode
#endif
