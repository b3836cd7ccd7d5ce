// The kernels' own test: the sine/cosine, sinc and the sums against direct
// evaluations of the reference formula, in the widest variant this machine
// has (variants_test.cpp holds the others to its bits), plus the decoder
// (decode_test.cpp).  Built by native/kernels/CMakeLists.txt with
// -DBUILD_TESTING=ON, run by tests/test_kernels_native.py.
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "kernels/dispatch.hpp"
#include "kernels/sinc.hpp"
#include "kernels/sinc_sum.hpp"
#include "kernels/sincos.hpp"
#include "kernels/tests/check.hpp"

namespace kernels_test {
int failures = 0;
}

namespace {

namespace k = corvane::kernels;
using kernels_test::expect;
using kernels_test::kPi;
using kernels_test::linspace;

// The reference formula, with libm's sine.
double ref_sinc(double x)
{
    const double t = kPi * x;
    if (std::fabs(t) < 1e-8) return 1.0;
    const double a = t + 1e-8;
    return a == 0.0 ? 1.0 : std::sin(a) / a;
}

double ulps(double got, double want)
{
    if (got == want) return 0.0;
    return std::fabs(got - want) / (std::nextafter(std::fabs(want), INFINITY) - std::fabs(want));
}

// The vectorised sine/cosine must stay faithful (within 1 ulp of glibc's,
// which is correctly rounded in practice), including next to multiples of
// pi/2 where the argument reduction cancels.
void test_sincos()
{
    std::mt19937_64 rng(3);
    std::vector<double> a;
    for (double range : {1e-6, 1.0, 1e3, 1e6}) {
        std::uniform_real_distribution<double> d(-range, range);
        for (int i = 0; i < 100000; ++i) a.push_back(d(rng));
    }
    for (int q = -600000; q <= 600000; q += 7) {
        const double x = q * (kPi / 2);
        for (double y = std::nextafter(x, -INFINITY), i = 0; i < 3; ++i, y = std::nextafter(y, INFINITY))
            a.push_back(y);
    }
    double worst = 0.0;
    for (double x : a) {
        double s, c;
        corvane::kernels::detail::sincos_fast(x, s, c);
        worst = std::fmax(worst, std::fmax(ulps(s, std::sin(x)), ulps(c, std::cos(x))));
    }
    expect(worst <= 1.0, "sincos_fast ulp error", worst);
    std::printf("sincos_fast: max %.2f ulp from libm over %zu points\n", worst, a.size());

    // The vector form must give the scalar's bits in every lane (the near
    // terms of the hierarchical sum rely on it to round like sinc).
    typedef double V4 __attribute__((vector_size(32)));
    a.insert(a.begin(), {0.0, -0.0, 1e-300, -1e-300, -0.0, 0.5, -0.0, 0.0});
    std::size_t differ = 0;
    for (std::size_t i = 0; i + 4 <= a.size(); i += 4) {
        const V4 x = {a[i], a[i + 1], a[i + 2], a[i + 3]};
        V4 vs, vc;
        corvane::kernels::detail::sincos_reduced_vec(x, corvane::kernels::detail::kPio2A,
                                                     corvane::kernels::detail::kPio2B, corvane::kernels::detail::kPio2C,
                                                     corvane::kernels::detail::kPio2D, vs, vc);
        for (int l = 0; l < 4; ++l) {
            double s, c;
            corvane::kernels::detail::sincos_fast(a[i + l], s, c);
            const double sl = vs[l], cl = vc[l];
            differ += std::memcmp(&s, &sl, sizeof s) != 0 || std::memcmp(&c, &cl, sizeof c) != 0;
        }
    }
    expect(differ == 0, "sincos_reduced_vec differs from sincos_fast", double(differ));
}

void test_sinc()
{
    std::mt19937_64 rng(1);
    std::vector<double> x;
    for (double range : {1e-9, 1e-3, 1.0, 1e3, 3e5, 1e9}) {  // 1e9 reaches the std::sin path
        std::uniform_real_distribution<double> d(-range, range);
        for (int i = 0; i < 50000; ++i) x.push_back(d(rng));
    }
    for (int n = -20000; n <= 20000; ++n) {  // zeros of sin(pi x) and their neighbours
        x.push_back(n);
        x.push_back(std::nextafter(double(n), INFINITY));
        x.push_back(std::nextafter(double(n), -INFINITY));
    }
    const double g = 1e-8 / kPi;  // the guard threshold and the 0/0 point
    for (double c : {g, -g, std::nextafter(g, 0.0), std::nextafter(-g, 0.0), std::nextafter(-g, -1.0), 0.0, -0.0})
        x.push_back(c);

    std::vector<double> y(x.size());
    expect(k::sinc(x.data(), x.size(), kPi, y.data()), "sinc returned false on finite input");
    double worst = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) worst = std::fmax(worst, ulps(y[i], ref_sinc(x[i])));
    expect(worst <= 2.0, "sinc ulp error", worst);
    std::printf("sinc: max %.2f ulp over %zu points\n", worst, x.size());

    double one;
    const double bad[] = {NAN, INFINITY, -INFINITY, 1e308};  // 1e308 * pi overflows
    for (double b : bad) {
        std::vector<double> xb(3000, 0.25);
        xb[2500] = b;
        std::vector<double> yb(xb.size());
        expect(!k::sinc(xb.data(), xb.size(), kPi, yb.data()), "sinc accepted non-finite pi*x", b);
    }
    const double point = -1e-8 / kPi;
    expect(k::sinc(&point, 1, kPi, &one) && one == 1.0, "sinc at the 0/0 point", one);
}

// Sum of s[k] * sinc(v[k] - u), Neumaier-compensated so that the reference
// itself is accurate well below the tolerance.
template <class T>
T ref_sum(const std::vector<double>& v, double u, const std::vector<T>& s)
{
    T sum{}, comp{};
    for (std::size_t i = 0; i < v.size(); ++i) {
        const T term = s[i] * ref_sinc(v[i] - u);
        const T t = sum + term;
        const bool big = std::abs(sum) >= std::abs(term);
        comp += big ? (sum - t) + term : (term - t) + sum;
        sum = t;
    }
    return sum + comp;
}

// Which evaluation a test asks for: the size rule, or one of the two.
enum class Method { chosen, direct, tree };
const char* name(Method m) { return m == Method::chosen ? "sinc_sum" : m == Method::direct ? "direct" : "tree"; }
k::SumMethod sum_method(Method m)
{
    return m == Method::chosen   ? k::SumMethod::by_size
           : m == Method::direct ? k::SumMethod::direct
                                 : k::SumMethod::tree;
}

bool run_sum(const std::vector<double>& v, const std::vector<double>& u, const std::vector<double>& s,
             std::vector<double>& out, double pi = kPi, Method method = Method::chosen)
{
    out.assign(u.size(), NAN);
    return k::sinc_sum(v.data(), v.size(), u.data(), u.size(), s.data(), pi, out.data(), nullptr, sum_method(method));
}

bool run_sum(const std::vector<double>& v, const std::vector<double>& u, const std::vector<std::complex<double>>& s,
             std::vector<std::complex<double>>& out, double pi = kPi, Method method = Method::chosen)
{
    out.assign(u.size(), NAN);
    return k::sinc_sum_complex(v.data(), v.size(), u.data(), u.size(), reinterpret_cast<const double*>(s.data()), pi,
                               reinterpret_cast<double*>(out.data()), nullptr, sum_method(method));
}

template <class T>
double budget_of(const std::vector<T>& s)
{
    double b = 0.0;
    for (const T& x : s) b += std::abs(x);
    return 1e-12 * b;
}

// Worst |out - reference| / (1e-12 * sum |s|), the promised bound, for each
// of the three methods (one reference evaluation for all).
template <class T>
std::vector<double> sum_error_ratios(std::size_t n, std::size_t m, const std::vector<T>& s)
{
    const std::vector<double> v = linspace(double(n), n);
    std::vector<double> u = linspace(double(n), m);
    if (m > 2) u[1] = 1e-8 / kPi;  // pi*(v[0] - u) + 1e-8 == 0: the 0/0 point
    std::vector<T> ref(m);
    for (std::size_t i = 0; i < m; ++i) ref[i] = ref_sum(v, u[i], s);
    const double budget = budget_of(s);
    std::vector<double> ratios;
    for (Method method : {Method::chosen, Method::direct, Method::tree}) {
        std::vector<T> out;
        double worst = run_sum(v, u, s, out, kPi, method) ? 0.0 : INFINITY;
        for (std::size_t i = 0; i < m && worst < INFINITY; ++i) {
            const double err = std::abs(out[i] - ref[i]);
            if (budget == 0.0) {
                if (err != 0.0) worst = INFINITY;
            } else {
                worst = std::fmax(worst, err / budget);
            }
        }
        ratios.push_back(worst);
    }
    return ratios;
}

void test_sums()
{
    std::mt19937_64 rng(2);
    std::normal_distribution<double> normal;
    // Small shapes, the crossover (N*M around 2^15) and tree-level boundaries
    // (the tree over [0, 2^k] deepens when N passes a power of two).
    const std::size_t sizes[][2] = {{0, 4},      {3, 0},       {1, 1},      {1, 9},      {2, 2},       {5, 17},
                                    {63, 64},    {64, 63},     {65, 200},   {181, 181},  {127, 258},   {128, 256},
                                    {129, 254},  {300, 301},   {511, 1022}, {513, 1026}, {1000, 1999}, {1023, 370},
                                    {1025, 600}, {2048, 4096}, {4097, 1000}};
    double worst[3] = {0.0, 0.0, 0.0};
    for (const auto& nm : sizes) {
        const std::size_t n = nm[0], m = nm[1];
        std::vector<double> noise(n), spikes(n, 0.0), alternating(n);
        std::vector<std::complex<double>> cnoise(n);
        for (std::size_t i = 0; i < n; ++i) {
            noise[i] = normal(rng);
            alternating[i] = i % 2 ? -1.0 : 1.0;
            cnoise[i] = {normal(rng), normal(rng)};
        }
        if (n) spikes[n / 3] = 1e3;  // all weight on one sample: worst case for relative error
        for (const auto& ratios : {sum_error_ratios(n, m, noise), sum_error_ratios(n, m, spikes),
                                   sum_error_ratios(n, m, alternating), sum_error_ratios(n, m, cnoise)}) {
            // The direct method reaches ~1e-16 * sum|s|; a hundredth of the
            // promised bound catches a lost double-double correction long before
            // the bound itself is at risk at larger N.  The tree's own bound is a
            // tenth of the promise (7.2e-14 * sum|s| from its far field).
            for (int i = 0; i < 3; ++i) {
                expect(ratios[i] <= (i == 2 ? 0.1 : 1e-2), name(Method(i)), ratios[i]);
                worst[i] = std::fmax(worst[i], ratios[i]);
            }
        }
    }
    std::printf("sinc_sum: max error %.2e (chosen), %.2e (direct), %.2e (tree) of the 1e-12*sum|s| budget\n", worst[0],
                worst[1], worst[2]);

    // Inputs the fast methods refuse, so the caller falls back.
    for (Method method : {Method::chosen, Method::direct, Method::tree}) {
        const std::vector<double> v = linspace(8.0, 8), u = linspace(8.0, 5), s(8, 1.0);
        std::vector<double> out, bad;
        bad = s;
        bad[3] = NAN;
        expect(!run_sum(v, u, bad, out, kPi, method), "accepted NaN samples");
        bad = u;
        bad[1] = INFINITY;
        expect(!run_sum(v, bad, s, out, kPi, method), "accepted an infinite position");
        expect(!run_sum(std::vector<double>(v.rbegin(), v.rend()), u, s, out, kPi, method), "accepted decreasing v");
        expect(!run_sum(v, u, s, out, 10.0, method), "accepted pi = 10");
        expect(!run_sum({0.0, 0.01}, {0.0}, {1.5e308, 1.5e308}, out, kPi, method), "hid an overflow");
        expect(!run_sum({0.0, 0x1p31}, {0.0, 1.0}, {1.0, 1.0}, out, kPi, method), "accepted a position beyond 2^30");
    }
}

// Every entry of the tree's error matrix, found by running each unit vector
// through it: the worst case over all samples, held to the bound the method
// states (7.2e-14).  Friendly signals pass with far less accurate transfers.
void test_tree_unit_vectors()
{
    const double shapes[][2] = {{600, 2.0}, {600, 1.0}, {700, 0.37}, {500, 2.5}, {500, kPi}, {900, 1.0 / 3.0}};
    double worst = 0.0;
    for (const auto& shape : shapes) {
        const std::size_t n = std::size_t(shape[0]), m = std::size_t(double(n) * shape[1]);
        const std::vector<double> v = linspace(double(n), n), u = linspace(double(n), m);
        std::vector<double> e(n, 0.0), out;
        double shape_worst = 0.0;
        for (std::size_t k = 0; k < n; ++k) {
            e[k] = 1.0;
            if (!run_sum(v, u, e, out, kPi, Method::tree)) shape_worst = INFINITY;
            for (std::size_t i = 0; i < m; ++i)
                shape_worst = std::fmax(shape_worst, std::fabs(out[i] - ref_sinc(v[k] - u[i])));
            e[k] = 0.0;
        }
        expect(shape_worst <= 7.2e-14, "tree error matrix entry over 7.2e-14", shape_worst);
        worst = std::fmax(worst, shape_worst);
    }
    std::printf("tree: largest error matrix entry %.2e\n", worst);
}

// Signals chosen to break the tree, against the direct sum (itself held to
// the reference above): spikes next to leaf boundaries and at both ends,
// alternating signs, huge and tiny magnitudes, complex values.
void test_tree_adversarial()
{
    std::mt19937_64 rng(5);
    std::normal_distribution<double> normal;
    double worst = 0.0;
    for (double r : {2.0, 0.37}) {
        const std::size_t n = 3001, m = std::size_t(double(n) * r);
        const std::vector<double> v = linspace(double(n), n), u = linspace(double(n), m);
        std::vector<std::vector<double>> signals;
        std::vector<double> x(n, 0.0);
        // Leaves here are 32 wide: spikes on both sides of the boundaries at 32j.
        for (std::size_t j = 1; 32 * j < n; j += 7) {
            const std::size_t k = std::size_t(std::ceil(32.0 * j * double(n - 1) / double(n)));
            x[k - 1] = 1.0;
            x[k] = -1.0;
        }
        signals.push_back(x);
        x.assign(n, 0.0);
        x[0] = 1.0;
        x[n - 1] = -1.0;
        signals.push_back(x);
        for (std::size_t i = 0; i < n; ++i) x[i] = i % 2 ? -1.0 : 1.0;
        signals.push_back(x);
        for (double scale : {1e300, 1e-300}) {
            for (double& xi : x) xi = scale * normal(rng);
            signals.push_back(x);
        }
        for (const auto& sig : signals) {
            std::vector<double> a, b;
            expect(run_sum(v, u, sig, a, kPi, Method::tree) && run_sum(v, u, sig, b, kPi, Method::direct),
                   "tree or direct refused a finite signal");
            const double budget = budget_of(sig);
            for (std::size_t i = 0; i < m; ++i) worst = std::fmax(worst, std::fabs(a[i] - b[i]) / budget);
        }
        std::vector<std::complex<double>> c(n), a, b;
        for (auto& ci : c) ci = {normal(rng), normal(rng)};
        c[0] = {1e3, -1e3};
        expect(run_sum(v, u, c, a, kPi, Method::tree) && run_sum(v, u, c, b, kPi, Method::direct),
               "complex tree or direct refused");
        for (std::size_t i = 0; i < m; ++i) worst = std::fmax(worst, std::abs(a[i] - b[i]) / budget_of(c));
    }
    expect(worst <= 0.1, "tree against direct over 1e-13 * sum|s|", worst);
    std::printf("tree: adversarial signals within %.2e of the 1e-12*sum|s| budget\n", worst);
}

// Positions the direct sum refuses (beyond 2^22) go to the tree, which is
// exact in its box coordinates there; negative or unsorted positions go
// from the tree to the direct sum.
void test_tree_range()
{
    std::mt19937_64 rng(6);
    std::normal_distribution<double> normal;
    const std::size_t n = 4096, m = 8192;
    std::vector<double> v(n), u(m), s(n), out;
    for (std::size_t k = 0; k < n; ++k) v[k] = 2048.0 * double(k) + 0.25;  // up to 2^23
    for (std::size_t i = 0; i < m; ++i) u[i] = 1024.0 * double(i) + 0.5;
    for (double& x : s) x = normal(rng);
    expect(run_sum(v, u, s, out), "sinc_sum refused positions beyond 2^22");
    double worst = 0.0;
    for (std::size_t i = 0; i < m; i += 61) worst = std::fmax(worst, std::fabs(out[i] - ref_sum(v, u[i], s)));
    expect(worst <= 0.1 * budget_of(s), "tree beyond 2^22 off the reference", worst);

    // Clustered, non-uniform positions: crowded leaves next to empty ones.
    std::vector<double> vc, uc, sc, a1, b1;
    for (std::size_t k = 0; k < 2000; ++k) vc.push_back(0.005 * double(k));
    for (std::size_t k = 0; k < 2000; ++k) vc.push_back(10.0 + double(k) * double(k) * 0.01);
    for (std::size_t i = 0; i < 3000; ++i) uc.push_back(double(i) * double(i) * 0.005);
    for (std::size_t k = 0; k < vc.size(); ++k) sc.push_back(normal(rng));
    expect(run_sum(vc, uc, sc, a1, kPi, Method::tree) && run_sum(vc, uc, sc, b1, kPi, Method::direct),
           "clustered positions refused");
    double cworst = 0.0;
    for (std::size_t i = 0; i < uc.size(); ++i) cworst = std::fmax(cworst, std::fabs(a1[i] - b1[i]));
    expect(cworst <= 0.1 * budget_of(sc), "tree off the direct sum on clustered positions", cworst);

    const std::vector<double> vn = linspace(200.0, 400), un = linspace(200.0, 300);
    std::vector<double> sn(400), unsorted = un, a, b;
    for (std::size_t i = 0; i < 400; ++i) sn[i] = normal(rng);
    std::vector<double> vneg = vn;
    for (double& x : vneg) x -= 100.0;
    std::swap(unsorted[3], unsorted[200]);
    const std::vector<double>* targets[] = {&un, &unsorted};
    for (const auto* uu : targets) {
        const auto& vv = uu == &un ? vneg : vn;
        expect(run_sum(vv, *uu, sn, a, kPi, Method::tree) && run_sum(vv, *uu, sn, b, kPi, Method::direct) && a == b,
               "tree did not hand its foreign inputs to the direct sum");
    }
}

// Counts the questions it is asked and says stop at the `stop_at`-th.
struct CountingCheckpoint final : k::Checkpoint {
    std::size_t calls = 0, stop_at;
    explicit CountingCheckpoint(std::size_t stop) : stop_at(stop) {}
    bool proceed() noexcept override { return ++calls < stop_at; }
};

// Chunked work asks between chunks (never before the first or after the
// last), gives the same values as unchunked work, and stops when told.
void test_checkpoints()
{
    const std::size_t n_sinc = 2 * k::kSincChunk + 5;
    std::vector<double> x(n_sinc), y1(n_sinc), y2(n_sinc);
    for (std::size_t i = 0; i < n_sinc; ++i) x[i] = double(i % 1000) * 0.37 - 185.0;
    CountingCheckpoint go(1000), stop(2);
    expect(k::sinc(x.data(), n_sinc, kPi, y1.data()), "sinc without a checkpoint");
    expect(k::sinc(x.data(), n_sinc, kPi, y2.data(), &go) && go.calls == 2 && y1 == y2,
           "sinc asked its checkpoint the wrong number of times", double(go.calls));
    expect(!k::sinc(x.data(), n_sinc, kPi, y2.data(), &stop) && stop.calls == 2, "sinc ignored stop");

    // 512 padded inputs: kSumChunkTerms / 512 outputs a chunk, three chunks.
    const std::size_t n = 500, per_chunk = k::kSumChunkTerms / 512, m = 2 * per_chunk + 1;
    const std::vector<double> v = linspace(double(n), n), u = linspace(double(n), m);
    std::vector<double> s(n), out1(m), out2(m);
    for (std::size_t i = 0; i < n; ++i) s[i] = std::cos(0.1 * double(i));
    CountingCheckpoint go2(1000), stop2(1);
    expect(k::sinc_sum_direct(v.data(), n, u.data(), m, s.data(), kPi, out1.data()), "sinc_sum without a checkpoint");
    expect(k::sinc_sum_direct(v.data(), n, u.data(), m, s.data(), kPi, out2.data(), &go2) && go2.calls == 2 &&
               out1 == out2,
           "sinc_sum asked its checkpoint the wrong number of times", double(go2.calls));
    expect(!k::sinc_sum_direct(v.data(), n, u.data(), m, s.data(), kPi, out2.data(), &stop2) && stop2.calls == 1,
           "sinc_sum ignored stop");

    // The tree asks between leaves and boxes: about 1.3 * kSumChunkTerms of
    // work here, so one question, and stopping there abandons the call.
    const std::size_t nt = std::size_t(1) << 17, mt = 2 * nt;
    const std::vector<double> vt = linspace(double(nt), nt), ut = linspace(double(nt), mt);
    std::vector<double> st(nt), t1(mt), t2(mt);
    for (std::size_t i = 0; i < nt; ++i) st[i] = std::sin(0.01 * double(i));
    CountingCheckpoint go3(1000), stop3(1);
    expect(k::sinc_sum_tree(vt.data(), nt, ut.data(), mt, st.data(), kPi, t1.data()), "tree without a checkpoint");
    expect(
        k::sinc_sum_tree(vt.data(), nt, ut.data(), mt, st.data(), kPi, t2.data(), &go3) && go3.calls >= 1 && t1 == t2,
        "tree asked its checkpoint no question or changed its result", double(go3.calls));
    expect(!k::sinc_sum_tree(vt.data(), nt, ut.data(), mt, st.data(), kPi, t2.data(), &stop3) && stop3.calls == 1,
           "tree ignored stop");
}

}  // namespace

// With the argument "variants", only the comparison of the variants and the
// stored digest: the whole check of a CPU's choice of variant, quick enough
// for a second emulated core.
int main(int argc, char** argv)
{
    const bool variants_only = argc > 1 && std::strcmp(argv[1], "variants") == 0;
    const k::IsaList isas = k::supported_isas();
    std::printf("variants on this machine:");
    for (int i = 0; i < isas.count; ++i) std::printf(" %s", k::isa_name(isas.isa[i]));
    std::printf("; running %s\n", k::isa_name(k::active_isa()));
    if (!variants_only) {
        test_checkpoints();
        test_sincos();
        test_sinc();
        test_sums();
        test_tree_unit_vectors();
        test_tree_adversarial();
        test_tree_range();
        kernels_test::test_decode();
    }
    kernels_test::test_variants();
    const int failures = kernels_test::failures;
    std::printf(failures ? "%d FAILED\n" : "all passed\n", failures);
    return failures ? 1 : 0;
}
