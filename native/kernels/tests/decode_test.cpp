// The chip decoder against direct evaluations: exact widening of big-endian
// binary32 values, the classification of blocks, and the two layouts within
// two ulps of the cosine and sine of libm.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "kernels/decode.hpp"
#include "kernels/tests/check.hpp"

namespace kernels_test {
namespace {

namespace decode = corvane::kernels::decode;

// The big-endian bytes of n binary32 values.
std::vector<unsigned char> big_endian(const std::vector<float>& x)
{
    std::vector<unsigned char> b(4 * x.size());
    for (std::size_t k = 0; k < x.size(); ++k) {
        std::uint32_t u;
        std::memcpy(&u, &x[k], 4);
        for (int i = 0; i < 4; ++i) b[4 * k + i] = static_cast<unsigned char>(u >> (24 - 8 * i));
    }
    return b;
}

float from_bits(std::uint32_t u)
{
    float f;
    std::memcpy(&f, &u, 4);
    return f;
}

double ulps(double got, double want)
{
    if (got == want) return 0.0;
    const double unit = std::nextafter(std::fabs(want), INFINITY) - std::fabs(want);
    return std::fabs(got - want) / std::fmax(unit, 0x1p-1074);
}

}  // namespace

void test_decode()
{
    std::mt19937 rng(11);
    // Every kind of binary32: random bit patterns (subnormals, zeros of both
    // signs, huge values), then infinities and NaNs.
    const std::size_t n = 4099;  // not a multiple of any chunk or vector width
    std::vector<float> any(n);
    for (float& f : any) f = from_bits(rng());
    any[1] = from_bits(0x00000001u);  // the smallest subnormal
    any[2] = -0.0f;
    any[3] = from_bits(0x7f800000u);  // inf
    any[4] = from_bits(0x7fc00001u);  // a quiet NaN with a payload
    const auto bytes = big_endian(any);
    std::vector<double> wide(n);
    decode::widen(bytes.data(), wide.data(), n);
    std::size_t differ = 0;
    for (std::size_t k = 0; k < n; ++k) {
        const double want = static_cast<double>(any[k]);
        differ += !(std::memcmp(&want, &wide[k], 8) == 0 || (std::isnan(want) && std::isnan(wide[k])));
    }
    expect(differ == 0, "widen is not the exact widening", double(differ));

    // Blocks of finite values: magnitudes, and phases within or beyond the
    // range of the vector sine/cosine.
    std::uniform_real_distribution<float> mag(0.0f, 3.0f), small(-1e6f, 1e6f), wide_phase(-3e9f, 3e9f);
    std::vector<float> m(n), p_small(n), p_wide(n);
    for (std::size_t k = 0; k < n; ++k) {
        m[k] = mag(rng);
        p_small[k] = small(rng);
        p_wide[k] = k % 3 ? small(rng) : wide_phase(rng);
    }
    p_small[0] = 0.0f;
    p_small[1] = -0.0f;
    p_small[2] = from_bits(0x4973ffffu);  // just below 1e6
    m[5] = 0.0f;
    const auto mb = big_endian(m), ps = big_endian(p_small), pw = big_endian(p_wide), ab = big_endian(any);
    expect(decode::classify(mb.data(), ps.data(), n) == decode::Values::small, "classify: small phases");
    expect(decode::classify(mb.data(), pw.data(), n) == decode::Values::finite, "classify: phases beyond 1e6");
    expect(decode::classify(ab.data(), ps.data(), n) == decode::Values::nonfinite, "classify: inf magnitude");
    expect(decode::classify(mb.data(), ab.data(), n) == decode::Values::nonfinite, "classify: NaN phase");
    expect(!decode::any_nan(mb.data(), n) && decode::any_nan(ab.data(), n), "any_nan");
    const std::vector<float> inf_only = {1.0f, from_bits(0xff800000u)};
    expect(!decode::any_nan(big_endian(inf_only).data(), 2), "any_nan took -inf for a NaN");

    double worst = 0.0;
    for (const auto* pha : {&ps, &pw}) {
        const decode::Values values = decode::classify(mb.data(), pha->data(), n);
        std::vector<double> planes(2 * n), complex(2 * n);
        decode::planes(mb.data(), pha->data(), n, values, planes.data());
        decode::complex(mb.data(), pha->data(), n, values, complex.data());
        const std::vector<float>& ph = pha == &ps ? p_small : p_wide;
        for (std::size_t k = 0; k < n; ++k) {
            const double mk = m[k], pk = ph[k];
            const double re = mk * std::cos(pk), im = mk * std::sin(pk);
            for (double e : {ulps(planes[2 * k], re), ulps(planes[2 * k + 1], im), ulps(complex[2 * k], re),
                             ulps(complex[2 * k + 1], im)})
                worst = std::fmax(worst, e);
        }
    }
    expect(worst <= 2.0, "decoded layouts off m cos p, m sin p", worst);
    std::printf("decode: exact widening of %zu values, layouts within %.2f ulp\n", n, worst);
}

}  // namespace kernels_test
