// Stand-alone checks of the kernels against a direct evaluation of the
// reference formula.  Not part of the CMake build (it has its own main); run
// from the repository root with, e.g.
//   g++ -std=c++17 -O2 -Inative -o /tmp/kernels_test
//       native/resampler/kernels/tests/kernels_test.cpp native/resampler/kernels/*.cpp
// Add -DCORVANE_NO_SIMD (portable variant) or -DCORVANE_NO_AVX512 to test the
// other variants on an AVX-512 machine.
#include <cmath>
#include <complex>
#include <cstdio>
#include <limits>
#include <random>
#include <vector>

#include "resampler/kernels/sinc_kernels.hpp"
#include "kernels/sincos.hpp"

namespace {

namespace k = corvane::kernels;
constexpr double kPi = 3.141592653589793;
int failures = 0;

void expect(bool ok, const char* what, double detail = 0.0) {
  if (!ok) {
    ++failures;
    std::printf("FAIL %s (%g)\n", what, detail);
  }
}

// The reference formula, with libm's sine.
double ref_sinc(double x) {
  const double t = kPi * x;
  if (std::fabs(t) < 1e-8) return 1.0;
  const double a = t + 1e-8;
  return a == 0.0 ? 1.0 : std::sin(a) / a;
}

double ulps(double got, double want) {
  if (got == want) return 0.0;
  return std::fabs(got - want) / (std::nextafter(std::fabs(want), INFINITY) - std::fabs(want));
}

std::vector<double> linspace(double stop, std::size_t n) {
  std::vector<double> x(n);
  for (std::size_t i = 0; i < n; ++i) x[i] = n > 1 ? stop * double(i) / double(n - 1) : 0.0;
  if (n > 1) x[n - 1] = stop;
  return x;
}

// The vectorised sine/cosine must stay faithful (within 1 ulp of glibc's,
// which is correctly rounded in practice), including next to multiples of
// pi/2 where the argument reduction cancels.
void test_sincos() {
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
}

void test_sinc() {
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
  for (double c : {g, -g, std::nextafter(g, 0.0), std::nextafter(-g, 0.0),
                   std::nextafter(-g, -1.0), 0.0, -0.0})
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
T ref_sum(const std::vector<double>& v, double u, const std::vector<T>& s) {
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

bool run_sum(const std::vector<double>& v, const std::vector<double>& u,
             const std::vector<double>& s, std::vector<double>& out, double pi = kPi) {
  out.assign(u.size(), NAN);
  return k::sinc_sum(v.data(), v.size(), u.data(), u.size(), s.data(), pi, out.data());
}

bool run_sum(const std::vector<double>& v, const std::vector<double>& u,
             const std::vector<std::complex<double>>& s, std::vector<std::complex<double>>& out) {
  out.assign(u.size(), NAN);
  return k::sinc_sum_complex(v.data(), v.size(), u.data(), u.size(),
                             reinterpret_cast<const double*>(s.data()), kPi,
                             reinterpret_cast<double*>(out.data()));
}

// Worst |out - reference| / (1e-12 * sum |s|), the promised bound.
template <class T>
double sum_error_ratio(std::size_t n, std::size_t m, const std::vector<T>& s) {
  const std::vector<double> v = linspace(double(n), n);
  std::vector<double> u = linspace(double(n), m);
  if (m > 2) u[1] = 1e-8 / kPi;  // pi*(v[0] - u) + 1e-8 == 0: the 0/0 point
  std::vector<T> out;
  if (!run_sum(v, u, s, out)) return INFINITY;
  double budget = 0.0;
  for (const T& x : s) budget += std::abs(x);
  budget *= 1e-12;
  double worst = 0.0;
  for (std::size_t i = 0; i < m; ++i) {
    const double err = std::abs(out[i] - ref_sum(v, u[i], s));
    if (budget == 0.0) {
      if (err != 0.0) return INFINITY;
    } else {
      worst = std::fmax(worst, err / budget);
    }
  }
  return worst;
}

void test_sums() {
  std::mt19937_64 rng(2);
  std::normal_distribution<double> normal;
  const std::size_t sizes[][2] = {{0, 4},   {3, 0},     {1, 1},     {1, 9},     {2, 2},
                                  {5, 17},  {63, 64},   {64, 63},   {65, 200},  {300, 301},
                                  {1000, 1999}, {2048, 4096}, {4097, 1000}};
  double worst = 0.0;
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
    for (double r : {sum_error_ratio(n, m, noise), sum_error_ratio(n, m, spikes),
                     sum_error_ratio(n, m, alternating), sum_error_ratio(n, m, cnoise)}) {
      // The method reaches ~1e-16 * sum|s|; a hundredth of the promised
      // bound catches a lost double-double correction long before the
      // bound itself is at risk at larger N.
      expect(r <= 1e-2, "sinc_sum error over 1e-14 * sum|s|", r);
      worst = std::fmax(worst, r);
    }
  }
  std::printf("sinc_sum: max error %.2e of the 1e-12*sum|s| budget\n", worst);

  // Inputs the fast method refuses, so the caller falls back.
  const std::vector<double> v = linspace(8.0, 8), u = linspace(8.0, 5), s(8, 1.0);
  std::vector<double> out, bad;
  bad = s;
  bad[3] = NAN;
  expect(!run_sum(v, u, bad, out), "sinc_sum accepted NaN samples");
  bad = u;
  bad[1] = INFINITY;
  expect(!run_sum(v, bad, s, out), "sinc_sum accepted an infinite position");
  expect(!run_sum(std::vector<double>(v.rbegin(), v.rend()), u, s, out),
         "sinc_sum accepted decreasing v");
  expect(!run_sum(v, u, s, out, 10.0), "sinc_sum accepted pi = 10");
  expect(!run_sum({0.0, 0.01}, {0.0}, {1.5e308, 1.5e308}, out), "sinc_sum hid an overflow");
}

// Counts the questions it is asked and says stop at the `stop_at`-th.
struct CountingCheckpoint final : k::Checkpoint {
  std::size_t calls = 0, stop_at;
  explicit CountingCheckpoint(std::size_t stop) : stop_at(stop) {}
  bool proceed() noexcept override { return ++calls < stop_at; }
};

// Chunked work asks between chunks (never before the first or after the
// last), gives the same values as unchunked work, and stops when told.
void test_checkpoints() {
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
  expect(k::sinc_sum_direct(v.data(), n, u.data(), m, s.data(), kPi, out1.data()),
         "sinc_sum without a checkpoint");
  expect(k::sinc_sum_direct(v.data(), n, u.data(), m, s.data(), kPi, out2.data(), &go2) &&
             go2.calls == 2 && out1 == out2,
         "sinc_sum asked its checkpoint the wrong number of times", double(go2.calls));
  expect(!k::sinc_sum_direct(v.data(), n, u.data(), m, s.data(), kPi, out2.data(), &stop2) &&
             stop2.calls == 1,
         "sinc_sum ignored stop");
}

}  // namespace

int main() {
  test_checkpoints();
  test_sincos();
  test_sinc();
  test_sums();
  std::printf(failures ? "%d FAILED\n" : "all passed\n", failures);
  return failures ? 1 : 0;
}
