#include "sarchip/decode.hpp"

#include "kernels/sincos.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

// The loops below are plain scalar code written for the auto-vectoriser. On
// x86-64 with glibc they are also built for AVX2+FMA and AVX-512 and the best
// copy is picked when the library loads, where the build found that the
// compiler can clone per x86-64 level (CORVANE_LEVEL_CLONES: GCC 12 and newer);
// elsewhere (32-bit ARM among others) the baseline build is all there is.
#if defined(CORVANE_LEVEL_CLONES) && defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && \
    defined(__GLIBC__)
#define SARCHIP_CLONES __attribute__((target_clones("default", "arch=x86-64-v3", "arch=x86-64-v4")))
#else
#define SARCHIP_CLONES
#endif

namespace sarchip::decode {

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

// Sine and cosine of a chunk, for any finite values.
// Inlined so that it is compiled for each instruction set of its callers.
CORVANE_INLINE void trig(const double* p, double* s, double* c, std::size_t n, Values values)
{
    for (std::size_t k = 0; k < n; ++k) corvane::kernels::detail::sincos_fast(p[k], s[k], c[k]);
    if (values == Values::small) return;
    for (std::size_t k = 0; k < n; ++k) {
        if (!(std::fabs(p[k]) <= corvane::kernels::detail::kSinFastLimit)) {
            s[k] = std::sin(p[k]);
            c[k] = std::cos(p[k]);
        }
    }
}

constexpr std::size_t chunk = 256;

}  // namespace

SARCHIP_CLONES void widen(const unsigned char* src, double* dst, std::size_t n)
{
    for (std::size_t k = 0; k < n; ++k) dst[k] = load(src + 4 * k);
}

SARCHIP_CLONES bool any_nan(const unsigned char* src, std::size_t n)
{
    std::uint32_t max = 0;
    for (std::size_t k = 0; k < n; ++k) max = std::max(max, bits(src + 4 * k) & magnitude_bits);
    return max > infinity_bits;
}

SARCHIP_CLONES Values classify(const unsigned char* mag, const unsigned char* pha, std::size_t n)
{
    std::uint32_t mag_max = 0, pha_max = 0;
    for (std::size_t k = 0; k < n; ++k) mag_max = std::max(mag_max, bits(mag + 4 * k) & magnitude_bits);
    for (std::size_t k = 0; k < n; ++k) pha_max = std::max(pha_max, bits(pha + 4 * k) & magnitude_bits);
    if (mag_max >= infinity_bits || pha_max >= infinity_bits) return Values::nonfinite;
    return pha_max < small_bits ? Values::small : Values::finite;
}

// Widens the blocks chunk by chunk, takes sine and cosine of the phases and
// hands each pixel's (m, cos p, sin p) to `store`, which writes out[2k], out[2k + 1].
template <class Store>
CORVANE_INLINE void polar(const unsigned char* mag, const unsigned char* pha, std::size_t n, Values values, double* out,
                  Store store)
{
    double m[chunk], p[chunk], s[chunk], c[chunk];
    for (std::size_t base = 0; base < n; base += chunk) {
        const std::size_t len = std::min(chunk, n - base);
        widen(mag + 4 * base, m, len);
        widen(pha + 4 * base, p, len);
        trig(p, s, c, len, values);
        double* o = out + 2 * base;
        for (std::size_t k = 0; k < len; ++k) store(m[k], c[k], s[k], o + 2 * k);
    }
}

SARCHIP_CLONES void planes(const unsigned char* mag, const unsigned char* pha, std::size_t n, Values values,
                           double* out)
{
    polar(mag, pha, n, values, out, [](double m, double c, double s, double* o) {
        o[0] = m * c;
        o[1] = m * s;
    });
}

SARCHIP_CLONES void complex(const unsigned char* mag, const unsigned char* pha, std::size_t n, Values values,
                            double* out)
{
    polar(mag, pha, n, values, out, [](double m, double c, double s, double* o) {
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

}  // namespace sarchip::decode
