// Bodies of sinc_table, sinc_interp, interp and sinc. Each statement carries
// the source line that a traceback reports for it, and names the Python
// statement it implements.
#include "resampler/functions.hpp"

#include "resampler/fast.hpp"
#include "resampler/names.hpp"

namespace resampler {

using frame::Call;
using frame::Def;
using frame::Object;
namespace n = names;

frame::Builtin print("print");

namespace {

// `zero.any()` for arrays and NumPy scalars, `bool(zero)` for anything else.
bool any(const Object& zero)
{
    if (PyObject_HasAttr(zero.get(), n::any.get())) return frame::truth(zero.attr(n::any)());
    return frame::truth(zero);
}

// The loop shared by sinc_interp and interp, the `for` statement on `line`
// and its body on the next line (the natively computed sums when the fast
// path applies):
//     out = []
//     for i in u:
//         out.append(np.sum(s * sinc(v - i)))
Object sums(Call& c, int line, const Object& s, const Object& v, const Object& u)
{
    Object out;
    c.at(line + 1);  // the native sums stand in for the loop body
    if (fast::interpolate(c, s, v, u, out)) return out;
    out = frame::list();
    c.at(line);  // for i in u:
    Object it = frame::iter(u);
    for (Object i; c.at(line), frame::next(it, i);) {
        c.at(line + 1);  //     out.append(np.sum(s * sinc(v - i)))
        Object append = out.attr(n::append);
        Object sum = c.global(n::np).attr(n::sum);
        append(sum(s * c.global(n::sinc)(v - i)));
    }
    return out;
}

// def sinc_table(Nq, Ns):
Object sinc_table(Call& c, Object Nq, Object Ns)
{
    c.at(54);  // X = np.zeros((Nq, Ns))
    Object X = c.global(n::np).attr(n::zeros)(frame::tuple({Nq, Ns}));
    c.at(59);  // for q in range(Nq, 0, -1):
    Object rows = frame::iter(c.global(n::range)(Nq, 0, -1));
    for (Object q; c.at(59), frame::next(rows, q);) {
        c.at(60);  // X[q - 1, :] = np.linspace(0, Ns, Ns * q, endpoint=True)[0::q] - Ns / 2.0
        Object positions = c.global(n::np).attr(n::linspace).call({0, Ns, Ns * q}, {{n::endpoint, true}});
        Object row = positions[frame::slice(0, Object::none(), q)] - Ns / Object(2.0);
        Object all = frame::slice(Object::none(), Object::none(), Object::none());
        X.set_item(frame::tuple({q - Object(1), all}), row);
        c.at(62);  // print(X[q - 1, :])
        print.get()(X[frame::tuple({q - Object(1), all})]);
    }
    c.at(66);  // return sinc(X)
    return c.global(n::sinc)(X);
}

// def sinc_interp(xin, r=1.0):
Object sinc_interp(Call& c, Object xin, Object r)
{
    c.at(70);  // xin = np.array(xin)
    xin = c.global(n::np).attr(n::array)(xin);
    c.at(71);  // N = xin.size
    Object N = xin.attr(n::size);
    c.at(72);  // M = int(N * r)
    Object M = frame::to_int(N * r);
    c.at(74);  // u = np.linspace(0, N, M)
    Object u = c.global(n::np).attr(n::linspace)(0, N, M);
    c.at(75);  // v = np.linspace(0, N, N)
    Object v = c.global(n::np).attr(n::linspace)(0, N, N);
    c.at(76);  // xout = []
    Object xout = sums(c, 77, xin, v, u);
    c.at(79);  // return (np.array(xout), np.array(u))
    Object np = c.global(n::np);
    return frame::tuple({np.attr(n::array)(xout), np.attr(n::array)(u)});
}

// def interp(x, xp, yp, mod='sinc'):
Object interp(Call& c, Object x, Object xp, Object yp, Object /*mod*/)
{
    c.at(110);  // xp = np.array(xp)
    xp = c.global(n::np).attr(n::array)(xp);
    c.at(111);  // yp = np.array(yp)
    yp = c.global(n::np).attr(n::array)(yp);
    c.at(112);  // N = yp.size
    Object N = yp.attr(n::size);
    c.at(113);  // M = x.size
    Object M = x.attr(n::size);
    c.at(115);  // x = np.linspace(0.0, N, M)
    x = c.global(n::np).attr(n::linspace)(0.0, N, M);
    c.at(116);  // xp = np.linspace(0.0, N, N)
    xp = c.global(n::np).attr(n::linspace)(0.0, N, N);
    c.at(118);  // y = []
    Object y = sums(c, 119, yp, xp, x);
    c.at(121);  // return np.array(y)
    return c.global(n::np).attr(n::array)(y);
}

// def sinc(x):
Object sinc(Call& c, Object x)
{
    c.at(125);  // x = np.array(x)
    x = c.global(n::np).attr(n::array)(x);
    const Object eps = 1e-8;  // eps = 1e-8

    c.at(127);  // y = np.where(np.abs(PI * x) < eps, 1.0,
    if (Object y; fast::sinc(c, x, y)) return y;
    Object where = c.global(n::np).attr(n::where);
    Object guard = frame::lt(c.global(n::np).attr(n::abs)(c.global(n::PI) * x), eps);
    c.at(128);  //               np.sin(PI * x + eps) / (PI * x + eps))
    Object num = c.global(n::np).attr(n::sin)(c.global(n::PI) * x + eps);
    Object den = c.global(n::PI) * x + eps;
    // Where PI * x is exactly -eps the quotient is 0/0; the kernel's limit
    // there is 1, so take it (without the invalid-value warning) instead.
    if (Object zero = frame::eq(den, 0.0); any(zero)) {
        guard = guard | zero;
        den = den + zero;
    }
    Object q = num / den;
    c.at(127);                    // y = np.where(...): the selection itself
    return where(guard, 1.0, q);  // return y
}

constexpr const char* interp_doc =
    "interpolation\n"
    "\n"
    "    interpolation\n"
    "\n"
    "    Parameters\n"
    "    ----------\n"
    "    x : array_like\n"
    "        The x-coordinates of the interpolated values.\n"
    "\n"
    "    xp : 1-D sequence of floats\n"
    "        The x-coordinates of the data points, must be increasing if argument\n"
    "        `period` is not specified. Otherwise, `xp` is internally sorted after\n"
    "        normalizing the periodic boundaries with ``xp = xp % period``.\n"
    "\n"
    "    yp : 1-D sequence of float or complex\n"
    "        The y-coordinates of the data points, same length as `xp`.\n"
    "\n"
    "    mod : str, optional\n"
    "        ``'sinc'`` : sinc interpolation (the default is 'sinc')\n"
    "\n"
    "    Returns\n"
    "    -------\n"
    "    y : float or complex (corresponding to fp) or ndarray\n"
    "        The interpolated values, same shape as `x`.\n"
    "\n"
    "    ";

}  // namespace

// clang-format off: a declaration's parts on lines of their own read best
constexpr Def sinc_table_def{
    "sinc_table", 52, {"Nq", "Ns"}, {}, {"Nq", "Ns", "X", "q", "kasier_window"}, nullptr, frame::body<sinc_table>};
constexpr Def sinc_interp_def{
    "sinc_interp",           69, {"xin", "r"}, {1.0}, {"xin", "r", "N", "M", "u", "v", "xout", "i"}, nullptr,
    frame::body<sinc_interp>};
constexpr Def interp_def{"interp",
                         82,
                         {"x", "xp", "yp", "mod"},
                         {"sinc"},
                         {"x", "xp", "yp", "mod", "N", "M", "y", "i"},
                         interp_doc,
                         frame::body<interp>};
constexpr Def sinc_def{"sinc", 124, {"x"}, {}, {"x", "eps", "y"}, nullptr, frame::body<sinc>};
// clang-format on

}  // namespace resampler
