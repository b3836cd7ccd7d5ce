// Every instruction-set variant this machine runs gives the baseline's bits,
// for every kernel, on inputs chosen to separate them: vector tails, the
// sine's range limits, subnormals, NaN, the 0/0 point of sinc, huge and tiny
// samples, clustered positions. And the hierarchical sum computes nothing
// from memory it did not write (a poisoned stack raises no stray
// floating-point flags).
#include <cfenv>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "kernels/decode.hpp"
#include "kernels/dispatch.hpp"
#include "kernels/sinc.hpp"
#include "kernels/sinc_sum.hpp"
#include "kernels/tests/check.hpp"

namespace kernels_test {
namespace {

namespace k = corvane::kernels;

// A kernel's whole result: its return value and the bits it wrote.
using Result = std::vector<std::uint64_t>;

void append(Result& r, const std::vector<double>& x)
{
    for (double d : x) {
        std::uint64_t b;
        std::memcpy(&b, &d, sizeof b);
        r.push_back(b);
    }
}

std::size_t cases = 0;

// Runs `compute` under the baseline and under every other variant, and
// expects the same result from each.
void agree(const std::string& what, const std::function<Result()>& compute)
{
    const k::IsaList isas = k::supported_isas();
    const k::Isa widest = k::active_isa();
    k::select_isa(k::Isa::baseline);
    const Result want = compute();
    for (int i = 1; i < isas.count; ++i) {
        k::select_isa(isas.isa[i]);
        const bool same = compute() == want;
        if (!same) std::printf("  %s differs from the baseline in %s\n", k::isa_name(isas.isa[i]), what.c_str());
        expect(same, "variants disagree");
    }
    k::select_isa(widest);
    ++cases;
}

std::vector<double> sinc_inputs()
{
    std::vector<double> x;
    const double g = 1e-8 / kPi, limit = 1e6 / kPi;
    for (double c : {0.0, -0.0, 0x1p-1074, -0x1p-1074, 0x1p-1022, 1e-300, g, -g, std::nextafter(g, 0.0),
                     std::nextafter(-g, 0.0), std::nextafter(-g, -1.0), limit, -limit, std::nextafter(limit, 0.0),
                     std::nextafter(limit, 1e9), 1e9, -1e15, 0.5, -0.5})
        x.push_back(c);
    // Where pi * x rounds to exactly -1e-8 (the 0/0 point, a == 0) or +1e-8
    // (|t| == 1e-8, which is not below it): the edges of sinc's special cases.
    for (double t : {1e-8, -1e-8}) {
        double near = t / kPi;
        for (int i = 0; i < 64 && kPi * near != t; ++i) near = std::nextafter(near, kPi * near < t ? 1.0 : -1.0);
        expect(kPi * near == t, "no x with pi * x == +-1e-8 exactly", near);
        x.push_back(near);
    }
    for (int n = -300; n <= 300; ++n)  // zeros of the sine and their neighbours
        for (double y : {double(n), std::nextafter(double(n), 1e9), std::nextafter(double(n), -1e9)}) x.push_back(y);
    std::mt19937_64 rng(21);
    for (double range : {1e-6, 1.0, 1e3, 4e5}) {
        std::uniform_real_distribution<double> d(-range, range);
        for (int i = 0; i < 3001; ++i) x.push_back(d(rng));
    }
    return x;
}

void sinc_agrees()
{
    const std::vector<double> x = sinc_inputs();
    agree("sinc", [&] {
        std::vector<double> y(x.size());
        Result r{k::sinc(x.data(), x.size(), kPi, y.data())};
        append(r, y);
        return r;
    });
    std::vector<double> bad = x;
    bad[bad.size() - 7] = NAN;
    agree("sinc of NaN", [&] {
        std::vector<double> y(bad.size());
        return Result{k::sinc(bad.data(), bad.size(), kPi, y.data())};
    });
}

template <class T>
void sums_agree(const std::string& name, const std::vector<double>& v, const std::vector<double>& u,
                const std::vector<T>& s)
{
    constexpr bool kComplex = !std::is_same<T, double>::value;
    for (k::SumMethod method : {k::SumMethod::direct, k::SumMethod::tree}) {
        const std::string what = name + (method == k::SumMethod::direct ? " (direct)" : " (tree)");
        agree(what, [&] {
            std::vector<double> out((kComplex ? 2 : 1) * u.size());
            const double* sp = reinterpret_cast<const double*>(s.data());
            const bool ok =
                kComplex
                    ? k::sinc_sum_complex(v.data(), v.size(), u.data(), u.size(), sp, kPi, out.data(), nullptr, method)
                    : k::sinc_sum(v.data(), v.size(), u.data(), u.size(), sp, kPi, out.data(), nullptr, method);
            Result r{ok};
            append(r, out);
            return r;
        });
    }
}

void sums_agree_all()
{
    std::mt19937_64 rng(22);
    std::normal_distribution<double> normal;
    const std::size_t shapes[][2] = {{1, 1},    {2, 9},     {7, 13},      {63, 64},
                                     {65, 130}, {200, 601}, {1000, 1999}, {3001, 6002}};
    for (const auto& nm : shapes) {
        const std::size_t n = nm[0], m = nm[1];
        const std::vector<double> v = linspace(double(n), n);
        std::vector<double> u = linspace(double(n), m);
        if (m > 2) u[1] = 1e-8 / kPi;  // the 0/0 point against v[0]
        std::vector<double> noise(n), spikes(n, 0.0), huge(n), tiny(n), zeros(n);
        std::vector<std::complex<double>> c(n), czeros(n);
        for (std::size_t i = 0; i < n; ++i) {
            noise[i] = normal(rng);
            huge[i] = 1e300 * normal(rng);
            tiny[i] = 0x1p-1060 * normal(rng);  // subnormal samples
            zeros[i] = i % 3 ? 0.0 : -0.0;      // the signs of zero sums
            czeros[i] = {i % 2 ? -0.0 : 0.0, i % 3 ? 0.0 : -0.0};
            c[i] = {normal(rng), normal(rng)};
        }
        spikes[0] = 1e3;
        spikes[n - 1] = -1e3;
        const std::string size = " n=" + std::to_string(n) + " m=" + std::to_string(m);
        sums_agree("noise" + size, v, u, noise);
        sums_agree("spikes at the ends" + size, v, u, spikes);
        sums_agree("huge samples" + size, v, u, huge);
        sums_agree("subnormal samples" + size, v, u, tiny);
        sums_agree("signed zero samples" + size, v, u, zeros);
        sums_agree("complex signed zero samples" + size, v, u, czeros);
        sums_agree("complex" + size, v, u, c);
    }
    // Clustered positions (crowded leaves next to empty ones), and positions
    // near the largest the direct sum takes.
    std::vector<double> vc, uc, sc, vb, ub;
    for (std::size_t i = 0; i < 900; ++i) vc.push_back(0.005 * double(i));
    for (std::size_t i = 0; i < 900; ++i) vc.push_back(10.0 + double(i) * double(i) * 0.01);
    for (std::size_t i = 0; i < 1300; ++i) uc.push_back(double(i) * double(i) * 0.005);
    for (std::size_t i = 0; i < vc.size(); ++i) sc.push_back(normal(rng));
    sums_agree("clustered", vc, uc, sc);
    for (std::size_t i = 0; i < 300; ++i) vb.push_back(0x1p22 - 300.0 + double(i));
    for (std::size_t i = 0; i < 700; ++i) ub.push_back(0x1p22 - 300.0 + 0.43 * double(i));
    sums_agree("near 2^22", vb, ub, std::vector<double>(sc.begin(), sc.begin() + 300));
}

std::vector<unsigned char> be32(const std::vector<std::uint32_t>& bits)
{
    std::vector<unsigned char> b(4 * bits.size());
    for (std::size_t k = 0; k < bits.size(); ++k)
        for (int i = 0; i < 4; ++i) b[4 * k + i] = static_cast<unsigned char>(bits[k] >> (24 - 8 * i));
    return b;
}

std::uint32_t bits_of(float f)
{
    std::uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}

void decode_agrees()
{
    std::mt19937 rng(23);
    const std::size_t n = 1031;
    std::vector<std::uint32_t> any(n), mag(n), small(n), wide(n);
    std::uniform_real_distribution<float> m(0.0f, 2.0f), p(-1e6f, 1e6f), q(-1e9f, 1e9f);
    for (std::size_t i = 0; i < n; ++i) {
        any[i] = rng();
        mag[i] = bits_of(m(rng));
        small[i] = bits_of(p(rng));
        wide[i] = bits_of(i % 2 ? q(rng) : p(rng));
    }
    mag[3] = 0x80000000u;    // -0
    mag[4] = 0x00000003u;    // subnormal
    small[5] = 0x4973ffffu;  // just below 1e6
    small[6] = 0x80000000u;
    const auto a = be32(any), mb = be32(mag), ps = be32(small), pw = be32(wide);
    agree("decode::widen", [&] {
        std::vector<double> out(n);
        corvane::kernels::decode::widen(a.data(), out.data(), n);
        Result r;
        append(r, out);
        return r;
    });
    agree("decode::any_nan and classify", [&] {
        namespace d = corvane::kernels::decode;
        return Result{
            d::any_nan(a.data(), n), d::any_nan(mb.data(), n), std::uint64_t(d::classify(mb.data(), ps.data(), n)),
            std::uint64_t(d::classify(mb.data(), pw.data(), n)), std::uint64_t(d::classify(a.data(), ps.data(), n))};
    });
    for (const auto* pha : {&ps, &pw}) {
        agree("decode::planes and complex", [&] {
            namespace d = corvane::kernels::decode;
            const d::Values values = d::classify(mb.data(), pha->data(), n);
            std::vector<double> planes(2 * n), complex(2 * n);
            d::planes(mb.data(), pha->data(), n, values, planes.data());
            d::complex(mb.data(), pha->data(), n, values, complex.data());
            Result r;
            append(r, planes);
            append(r, complex);
            return r;
        });
    }
}

// Fills the stack below the caller with signalling NaNs, so that a kernel
// computing with memory it did not write raises the invalid flag.
__attribute__((noinline)) void poison_stack()
{
    volatile std::uint64_t junk[1 << 14];
    for (std::size_t i = 0; i < sizeof junk / sizeof junk[0]; ++i) junk[i] = 0x7ff4000000000000u;
}

void tree_reads_only_what_it_wrote()
{
    // Leaves whose outputs end mid-group, so that groups have unused lanes,
    // the first one included (later leaves reuse the stack it wrote).
    const std::size_t n = 4000;
    for (std::size_t m : {13, 8003}) {
        const std::vector<double> v = linspace(double(n), n), u = linspace(double(n), m);
        std::vector<double> s(n), out(m);
        for (std::size_t i = 0; i < n; ++i) s[i] = std::cos(0.37 * double(i));
        poison_stack();
        std::feclearexcept(FE_ALL_EXCEPT);
        const bool ok = k::sinc_sum_tree(v.data(), n, u.data(), m, s.data(), kPi, out.data());
        const int raised = std::fetestexcept(FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW);
        expect(ok && raised == 0, "the tree raised floating-point flags on a friendly input", raised);
    }
}

// The same bits on every machine, not only in every variant here: a digest
// of results that call no libm function (every |pi x| <= 1e6, positions far
// below the direct sum's limit, phases that classify as small), from inputs
// made with integer arithmetic and exact scalings only (mt19937_64 is
// specified bit for bit), against the digest stored below. x86-64 checks it
// in CI; tools/check-armhf runs this test on 32-bit ARM.
constexpr std::uint64_t kDigest = 0x23a651776e82f871;

std::uint64_t digest_of_kernels()
{
    std::mt19937_64 rng(24);
    auto unit = [&rng] { return double(rng() >> 11) * 0x1p-53; };  // [0, 1), exact
    std::uint64_t h = 14695981039346656037ull;                     // FNV-1a
    auto mix = [&h](const std::vector<double>& x) {
        for (double d : x) {
            std::uint64_t b;
            std::memcpy(&b, &d, sizeof b);
            for (int i = 0; i < 8; ++i, b >>= 8) h = (h ^ (b & 0xff)) * 1099511628211ull;
        }
    };
    std::vector<double> x = {0.0, -0.0, 1e-8 / kPi, -1e-8 / kPi, 0.5, -2.0};
    for (int i = 0; i < 4000; ++i) x.push_back((2.0 * unit() - 1.0) * std::ldexp(1.0, i % 19 - 2));
    std::vector<double> y(x.size());
    expect(k::sinc(x.data(), x.size(), kPi, y.data()), "digest: sinc refused");
    mix(y);

    const std::size_t shapes[][2] = {{200, 601}, {1000, 1999}, {3001, 1100}};
    for (const auto& nm : shapes) {
        const std::size_t n = nm[0], m = nm[1];
        const std::vector<double> v = linspace(double(n), n), u = linspace(double(n), m);
        std::vector<double> s(2 * n), out(2 * m);
        for (double& e : s) e = 2.0 * unit() - 1.0;
        for (k::SumMethod method : {k::SumMethod::direct, k::SumMethod::tree}) {
            out.assign(m, 0.0);
            expect(k::sinc_sum(v.data(), n, u.data(), m, s.data(), kPi, out.data(), nullptr, method),
                   "digest: sum refused");
            mix(out);
            out.assign(2 * m, 0.0);
            expect(k::sinc_sum_complex(v.data(), n, u.data(), m, s.data(), kPi, out.data(), nullptr, method),
                   "digest: complex sum refused");
            mix(out);
        }
    }

    const std::size_t n = 1031;
    std::vector<std::uint32_t> mag(n), pha(n);
    for (std::size_t i = 0; i < n; ++i) {
        mag[i] = bits_of(static_cast<float>(4.0 * unit()));
        pha[i] = bits_of(static_cast<float>((2.0 * unit() - 1.0) * 9e5));
    }
    namespace d = corvane::kernels::decode;
    const auto mb = be32(mag), pb = be32(pha);
    const d::Values values = d::classify(mb.data(), pb.data(), n);
    expect(values == d::Values::small, "digest: the phases are not small");
    std::vector<double> planes(2 * n), complex(2 * n);
    d::planes(mb.data(), pb.data(), n, values, planes.data());
    d::complex(mb.data(), pb.data(), n, values, complex.data());
    mix(planes);
    mix(complex);
    return h;
}

void digest_matches()
{
    const k::IsaList isas = k::supported_isas();
    const k::Isa widest = k::active_isa();
    for (int i = 0; i < isas.count; ++i) {
        k::select_isa(isas.isa[i]);
        const std::uint64_t h = digest_of_kernels();
        std::printf("digest of the kernels' results (%s): %016llx\n", k::isa_name(isas.isa[i]),
                    static_cast<unsigned long long>(h));
        expect(h == kDigest, "the kernels' results differ from those of other machines (digest)");
    }
    k::select_isa(widest);
}

}  // namespace

void test_variants()
{
    sinc_agrees();
    sums_agree_all();
    decode_agrees();
    const k::IsaList isas = k::supported_isas();
    std::printf("variants:");
    for (int i = 0; i < isas.count; ++i) std::printf(" %s", k::isa_name(isas.isa[i]));
    std::printf(" give the same bits in %zu cases\n", cases);
    digest_matches();
    tree_reads_only_what_it_wrote();
}

}  // namespace kernels_test
