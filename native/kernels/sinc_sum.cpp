// Which evaluation of the sinc interpolation sums runs: the size rule, the
// caller's choice, and positions only the hierarchical one can take.
#include <cmath>
#include <cstddef>

#include "kernels/sinc_sum.hpp"
#include "kernels/sinc_sum_common.hpp"

namespace corvane::kernels {

bool sinc_sum_prefers_tree(std::size_t N, std::size_t M)
{
    return static_cast<double>(N) * static_cast<double>(M) >=
           (M < N ? kTreeCrossoverTermsFewerOutputs : kTreeCrossoverTerms);
}

namespace {

bool within_direct_range(const double* x, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i)
        if (!(std::fabs(x[i]) <= detail::kMaxDirectPosition)) return false;  // also rejects NaN
    return true;
}

bool take_tree(const double* v, std::size_t N, const double* u, std::size_t M, SumMethod method)
{
    switch (method) {
    case SumMethod::direct: return false;
    case SumMethod::tree: return true;
    case SumMethod::by_size: break;
    }
    return sinc_sum_prefers_tree(N, M) || !within_direct_range(v, N) || !within_direct_range(u, M);
}

}  // namespace

bool sinc_sum(const double* v, std::size_t N, const double* u, std::size_t M, const double* s, double pi, double* out,
              Checkpoint* cp, SumMethod method)
{
    return take_tree(v, N, u, M, method) ? sinc_sum_tree(v, N, u, M, s, pi, out, cp)
                                         : sinc_sum_direct(v, N, u, M, s, pi, out, cp);
}

bool sinc_sum_complex(const double* v, std::size_t N, const double* u, std::size_t M, const double* s, double pi,
                      double* out, Checkpoint* cp, SumMethod method)
{
    return take_tree(v, N, u, M, method) ? sinc_sum_tree_complex(v, N, u, M, s, pi, out, cp)
                                         : sinc_sum_direct_complex(v, N, u, M, s, pi, out, cp);
}

}  // namespace corvane::kernels
