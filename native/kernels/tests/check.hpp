// What the kernels' test files share: a failure counter and a few inputs.
#pragma once

#include <cstddef>
#include <cstdio>
#include <vector>

namespace kernels_test {

constexpr double kPi = 3.141592653589793;

extern int failures;

inline void expect(bool ok, const char* what, double detail = 0.0)
{
    if (!ok) {
        ++failures;
        std::printf("FAIL %s (%g)\n", what, detail);
    }
}

// n points evenly over [0, stop], both ends included, as np.linspace.
inline std::vector<double> linspace(double stop, std::size_t n)
{
    std::vector<double> x(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = n > 1 ? stop * double(i) / double(n - 1) : 0.0;
    if (n > 1) x[n - 1] = stop;
    return x;
}

void test_decode();
void test_variants();

}  // namespace kernels_test
