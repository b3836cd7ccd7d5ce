// Cost of answering Ctrl-C: the interpolation sums and the element-wise sinc
// run with and without the frame's signal checkpoint, alternately in one
// process, and the time spent inside the checkpoints is summed. With any
// argument a Python thread spins meanwhile, so that every check has to wait
// for the interpreter lock. Built and run by bench_checkpoint.py.
#include "frame/interrupt.hpp"
#include "kernels/sinc.hpp"
#include "kernels/sinc_sum.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>

namespace k = corvane::kernels;
using Clock = std::chrono::steady_clock;

namespace {

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// Forwards to the frame's checkpoint, timing each question.
struct Timed final : k::Checkpoint {
    k::Checkpoint* inner = nullptr;
    int asked = 0;
    double spent = 0, longest = 0;
    bool proceed() noexcept override
    {
        const Clock::time_point t = Clock::now();
        const bool go_on = inner->proceed();
        const double d = since(t);
        ++asked;
        spent += d;
        longest = std::max(longest, d);
        return go_on;
    }
};

}  // namespace

int main(int argc, char**)
{
    Py_Initialize();
    if (argc > 1)
        PyRun_SimpleString(
            "import threading\n"
            "def spin():\n"
            "    while True: pass\n"
            "threading.Thread(target=spin, daemon=True).start()\n");
    // sinc_interp(np.cos(np.linspace(0, 30, 20000)), 4.0) and sinc of 2**24 values.
    const std::size_t N = 20000, M = 80000, n = std::size_t(1) << 24;
    std::vector<double> v(N), u(M), s(N), out(M), x(n), y(n);
    for (std::size_t i = 0; i < N; ++i) {
        v[i] = double(N) * i / (N - 1);
        s[i] = std::cos(30.0 * i / (N - 1));
    }
    for (std::size_t i = 0; i < M; ++i) u[i] = double(N) * i / (M - 1);
    for (std::size_t i = 0; i < n; ++i) x[i] = -100 + 200.0 * i / n;
    const double pi = 3.141592653589793;

    double best[2][2] = {{1e9, 1e9}, {1e9, 1e9}};  // [checked][sums, sinc]
    double checked_total = 0;
    Timed timed;
    const int rounds = 5;
    for (int round = 0; round < rounds; ++round) {
        for (int checked = 0; checked < 2; ++checked) {
            double sums = 0, sinc = 0;
            frame::interruptible([&](k::Checkpoint* cp) {
                timed.inner = cp;
                k::Checkpoint* use = checked ? &timed : nullptr;
                Clock::time_point t = Clock::now();
                k::sinc_sum(v.data(), N, u.data(), M, s.data(), pi, out.data(), use);
                sums = since(t);
                t = Clock::now();
                k::sinc(x.data(), n, pi, y.data(), use);
                sinc = since(t);
            });
            best[checked][0] = std::min(best[checked][0], sums);
            best[checked][1] = std::min(best[checked][1], sinc);
            if (checked) checked_total += sums + sinc;
        }
    }
    std::printf("%s\n", argc > 1 ? "beside a Python thread that keeps the lock busy" : "alone");
    std::printf("  sums %.3f s unchecked, %.3f s checked (ratio %.3f); sinc %.3f s, %.3f s (ratio %.3f)\n", best[0][0],
                best[1][0], best[1][0] / best[0][0], best[0][1], best[1][1], best[1][1] / best[0][1]);
    std::printf("  %d checks, %.1f us each on average, %.2f ms the longest: %.3f %% of the checked runs\n", timed.asked,
                1e6 * timed.spent / timed.asked, 1e3 * timed.longest, 100 * timed.spent / checked_total);
    return 0;
}
