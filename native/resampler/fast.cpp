// When the native kernels stand in for the NumPy evaluation, and how their
// inputs and outputs cross over. A fast path applies only when nobody could
// tell it from the generic one: the module's `np` is NumPy itself, `PI` is a
// plain float, the interpolators' `sinc` is this module's own function, and
// the data is numeric and finite (non-finite input keeps NumPy's own NaN
// propagation and floating-point warnings), and samples are small enough
// that NumPy's own summation cannot overflow. The kernels write only into a
// result that np.empty made exactly as asked: a replaced np.empty sends the
// call down the generic route.
#include "resampler/fast.hpp"

#include "frame/buffer.hpp"
#include "frame/interrupt.hpp"
#include "kernels/sinc.hpp"
#include "kernels/sinc_sum.hpp"
#include "resampler/functions.hpp"
#include "resampler/names.hpp"

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace resampler::fast {

using frame::Buffer;
using frame::Call;
using frame::Object;
using frame::Scalar;
namespace n = names;

namespace {

frame::Name numpy("numpy"), empty("empty"), ndarray("ndarray"), shape("shape"), float64("float64"),
    complex128("complex128");

bool is_numpy(const Object& np)
{
    PyObject* module = PyImport_GetModule(numpy.get());
    if (!module) {
        PyErr_Clear();
        return false;
    }
    Py_DECREF(module);  // only its identity is needed; sys.modules keeps it alive
    return np.get() == module;
}

// NumPy itself as `np` and a plain float `PI` (whose value the kernels use).
bool plain_numpy(const Call& c, Object& np, double& pi)
{
    np = c.peek(n::np);
    Object PI = c.peek(n::PI);
    if (!np.get() || !PI.get() || !PyFloat_CheckExact(PI.get()) || !is_numpy(np)) return false;
    pi = PyFloat_AS_DOUBLE(PI.get());
    return true;
}

// Widens `count` elements of a real buffer to double, exactly as NumPy casts.
template <class T>
void widen(const void* data, std::size_t count, double* out)
{
    const T* in = static_cast<const T*>(data);
    for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<double>(in[i]);
}

// Copies a numeric buffer into doubles (interleaved re, im for complex),
// into memory not zeroed first; null for element types the kernels do not
// take.
std::unique_ptr<double[]> to_doubles(const Buffer& b)
{
    const std::size_t count = static_cast<std::size_t>(b.size());
    const Scalar t = b.scalar();
    if (t == Scalar::other) return nullptr;
    std::unique_ptr<double[]> out(new double[frame::is_complex(t) ? 2 * count : count]);
    double* o = out.get();
    switch (t) {
    case Scalar::boolean: widen<std::uint8_t>(b.data(), count, o); return out;
    case Scalar::int8: widen<std::int8_t>(b.data(), count, o); return out;
    case Scalar::uint8: widen<std::uint8_t>(b.data(), count, o); return out;
    case Scalar::int16: widen<std::int16_t>(b.data(), count, o); return out;
    case Scalar::uint16: widen<std::uint16_t>(b.data(), count, o); return out;
    case Scalar::int32: widen<std::int32_t>(b.data(), count, o); return out;
    case Scalar::uint32: widen<std::uint32_t>(b.data(), count, o); return out;
    case Scalar::int64: widen<std::int64_t>(b.data(), count, o); return out;
    case Scalar::uint64: widen<std::uint64_t>(b.data(), count, o); return out;
    case Scalar::float32: widen<float>(b.data(), count, o); return out;
    case Scalar::float64: widen<double>(b.data(), count, o); return out;
    case Scalar::complex64: widen<float>(b.data(), 2 * count, o); return out;
    case Scalar::complex128: widen<double>(b.data(), 2 * count, o); return out;
    default: return nullptr;
    }
}

// `s * kernel` with an N-element kernel broadcasts to N elements exactly
// when s is a scalar or all its elements lie along its last axis.
bool vector_like(const Py_buffer& s, Py_ssize_t N)
{
    if (s.ndim == 0) return N == 1;
    for (int d = 0; d + 1 < s.ndim; ++d)
        if (s.shape[d] != 1) return false;
    return s.shape[s.ndim - 1] == N;
}

// The testing hook CORVANE_SINC_SUM ("direct" or "tree") forces one
// evaluation of the sums. Read here, under the interpreter lock, which
// Python's own changes to os.environ also hold: the kernels run without it.
corvane::kernels::SumMethod sum_method()
{
    const char* forced = std::getenv("CORVANE_SINC_SUM");
    if (forced && std::strcmp(forced, "direct") == 0) return corvane::kernels::SumMethod::direct;
    if (forced && std::strcmp(forced, "tree") == 0) return corvane::kernels::SumMethod::tree;
    return corvane::kernels::SumMethod::by_size;
}

bool is_float64_vector(const Buffer& b) { return b.view().ndim == 1 && b.scalar() == Scalar::float64; }

// NumPy adds the terms s[k] * sinc(...) one after another, and a partial sum
// can overflow to inf although the whole sum would not; the kernels would
// then return the finite sum. Every partial sum is at most sum |s| (|sinc|
// <= 1), so below a quarter of the largest double no order of summation
// overflows, and both routes agree.
bool sums_cannot_overflow(const double* samples, std::size_t count, bool complex_samples)
{
    const std::size_t step = complex_samples ? 2 : 1;
    for (std::size_t part = 0; part < step; ++part) {
        double total = 0.0;
        for (std::size_t k = part; k < count; k += step) total += std::fabs(samples[k]);
        if (!(total <= 0x1p1022)) return false;
    }
    return true;
}

}  // namespace

bool sinc(Call& c, const Object& x, Object& y)
{
    Object np;
    double pi;
    Buffer in;
    if (!plain_numpy(c, np, pi) || !in.try_acquire(x, false)) return false;
    // NumPy computes in float64 only for these; float32 and float16 stay in
    // their own precision, complex takes the complex sine.
    const Scalar t = in.scalar();
    if (t == Scalar::other || t == Scalar::float32 || frame::is_complex(t)) return false;
    std::unique_ptr<double[]> widened;
    if (t != Scalar::float64 && !(widened = to_doubles(in))) return false;

    // np.empty may have been replaced: write only into what fits exactly.
    Object result = np.attr(empty)(x.attr(shape));
    Buffer out;
    if (!out.try_acquire_result(result, np.attr(ndarray), Scalar::float64, in.view().shape, in.view().ndim))
        return false;
    const double* src = t == Scalar::float64 ? static_cast<const double*>(in.data()) : widened.get();
    bool ok = false;
    frame::interruptible([&](corvane::kernels::Checkpoint* cp) {
        ok = corvane::kernels::sinc(src, static_cast<std::size_t>(in.size()), pi, static_cast<double*>(out.data()), cp);
    });
    if (!ok) return false;
    y = result;
    return true;
}

bool interpolate(Call& c, const Object& s, const Object& v, const Object& u, Object& out)
{
    Object np;
    double pi;
    Buffer sb, vb, ub;
    if (!plain_numpy(c, np, pi)) return false;
    Object kernel = c.peek(n::sinc);
    if (!kernel.get() || !frame::is_function(kernel.get(), sinc_def)) return false;
    if (!sb.try_acquire(s, false) || !vb.try_acquire(v, false) || !ub.try_acquire(u, false)) return false;
    if (!is_float64_vector(vb) || !is_float64_vector(ub)) return false;
    const Py_ssize_t N = vb.size(), M = ub.size();
    // With no output the generic loop is already free, and it alone knows
    // the dtype of an empty result.
    if (M == 0 || sb.size() != N || !vector_like(sb.view(), N)) return false;
    // Samples of doubles are read in place, as sinc reads its input; others
    // are widened first.
    const Scalar st = sb.scalar();
    std::unique_ptr<double[]> widened;
    if (st != Scalar::float64 && st != Scalar::complex128 && !(widened = to_doubles(sb))) return false;
    const double* samples = widened ? widened.get() : static_cast<const double*>(sb.data());
    const bool complex_samples = frame::is_complex(st);
    if (!sums_cannot_overflow(samples, (complex_samples ? 2 : 1) * static_cast<std::size_t>(N), complex_samples))
        return false;

    Object result = np.attr(empty)(M, np.attr(complex_samples ? complex128 : float64));
    Buffer rb;
    const Py_ssize_t result_shape[] = {M};
    if (!rb.try_acquire_result(result, np.attr(ndarray), complex_samples ? Scalar::complex128 : Scalar::float64,
                               result_shape, 1))
        return false;
    const double* vp = static_cast<const double*>(vb.data());
    const double* up = static_cast<const double*>(ub.data());
    double* rp = static_cast<double*>(rb.data());
    const corvane::kernels::SumMethod method = sum_method();
    bool ok = false;
    frame::interruptible([&](corvane::kernels::Checkpoint* cp) {
        ok = complex_samples ? corvane::kernels::sinc_sum_complex(vp, N, up, M, samples, pi, rp, cp, method)
                             : corvane::kernels::sinc_sum(vp, N, up, M, samples, pi, rp, cp, method);
    });
    if (!ok) return false;
    out = result;
    return true;
}

}  // namespace resampler::fast
