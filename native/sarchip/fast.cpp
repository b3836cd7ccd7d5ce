#include "sarchip/fast.hpp"

#include "frame/buffer.hpp"
#include "kernels/decode.hpp"
#include "sarchip/names.hpp"

#include <vector>

namespace sarchip::fast {

using frame::Buffer;
using frame::Call;
using frame::Object;
using frame::Scalar;
namespace n = names;
namespace decode = corvane::kernels::decode;

namespace {

// Held for the life of the process, like the module object itself.
PyObject* std_struct = nullptr;
PyObject* std_numpy = nullptr;

// numpy.empty(shape, dtype) for `count` values. Without values the array is
// made by reshaping an empty one: some NumPy versions (1.19) fail to
// allocate the zero bytes of shapes such as (2**40, 0).
Object empty(const Object& shape, const Object& dtype, Py_ssize_t count)
{
    Object make = Object::borrow(std_numpy).attr(n::empty);
    Object dims = count ? shape : Object(0);
    Object out = dtype.get() ? make(dims, dtype) : make(dims);
    return count ? out : out.attr(n::reshape)(shape);
}

// The sizes of a shape tuple.
std::vector<Py_ssize_t> sizes(const Object& shape)
{
    std::vector<Py_ssize_t> out;
    Object it = frame::iter(shape);
    for (Object d; frame::next(it, d);) {
        const Py_ssize_t v = PyNumber_AsSsize_t(d.get(), PyExc_OverflowError);
        if (v == -1 && PyErr_Occurred()) frame::raise();
        out.push_back(v);
    }
    return out;
}

// A writable view of an array made by numpy.empty, which may have been
// replaced: false unless it is a new array of `shape` holding elements of
// `type` in C order, which native code then fills.
bool acquire_result(Buffer& view, const Object& array, Scalar type, const Object& shape)
{
    const std::vector<Py_ssize_t> dims = sizes(shape);
    return view.try_acquire_result(array, Object::borrow(std_numpy).attr(n::ndarray), type, dims.data(),
                                   static_cast<int>(dims.size()));
}

}  // namespace

void remember(const Object& struct_module, const Object& numpy)
{
    Py_INCREF(struct_module.get());
    Py_XSETREF(std_struct, struct_module.get());
    Py_INCREF(numpy.get());
    Py_XSETREF(std_numpy, numpy.get());
}

bool standard(const Call& c, const Object& struct_module)
{
    return std_struct && struct_module.get() == std_struct && c.peek(n::np).get() == std_numpy;
}

Object unpack(const Object& struct_module, const Object& count, const Object& bytes, Block& block)
{
    // The checks of unpack_from, in its order: the format (a count below
    // zero puts a minus sign in it; a size beyond Py_ssize_t cannot exist),
    // then the buffer. All of them come before any allocation.
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(count.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) frame::raise();
    if (overflow < 0 || (overflow == 0 && value < 0))
        frame::raise(struct_module.attr(n::error).get(), "bad char in struct format");
    if (overflow > 0 || value > static_cast<long long>(PY_SSIZE_T_MAX / 4))
        frame::raise(struct_module.attr(n::error).get(), "total struct size too long");
    const Py_ssize_t values = static_cast<Py_ssize_t>(value);
    {
        Buffer buffer;
        buffer.acquire(bytes, false);
        if (buffer.bytes() < 4 * values)
            frame::raise(struct_module.attr(n::error).get(),
                         "unpack_from requires a buffer of at least %zd bytes for unpacking %zd bytes at offset 0 "
                         "(actual buffer size is %zd)",
                         4 * values, 4 * values, buffer.bytes());
    }
    block.bytes = bytes;
    block.count = values;
    // What stands for np.array(tuple) at line 190: a float64 array of
    // `values` elements that all share one zero, so that the reshape there
    // succeeds or fails exactly as it does on the generic route (NumPy's
    // checks depend on the item size) without memory of the block's size.
    Object zero = Object::steal(PyBytes_FromStringAndSize("\0\0\0\0\0\0\0\0", 8));
    Object float_type = Object::borrow(reinterpret_cast<PyObject*>(&PyFloat_Type));
    return Object::borrow(std_numpy).attr(n::ndarray)(frame::tuple({Object(static_cast<long long>(values))}),
                                                      float_type, zero, 0, frame::tuple({0}));
}

Object widen(const Block& block, const Object& data)
{
    Object shape = data.attr(n::shape);
    Buffer dst, src;
    src.acquire(block.bytes, false);
    const unsigned char* bytes = static_cast<const unsigned char*>(src.data());
    const std::size_t count = static_cast<std::size_t>(block.count);
    bool nan = false;
    frame::without_gil([&] { nan = decode::any_nan(bytes, count); });
    if (!nan) {
        Object out = empty(shape, Object(), block.count);
        if (acquire_result(dst, out, Scalar::float64, shape)) {
            frame::without_gil([&] { decode::widen(bytes, static_cast<double*>(dst.data()), count); });
            return out;
        }
    }
    // The generic route's statements: np.array(struct.unpack_from(
    // ">%df" % count, bytes, 0)).reshape(shape)
    Object format = Object::steal(PyUnicode_Format(Object(">%df").get(), Object(static_cast<long long>(count)).get()));
    Object values = Object::borrow(std_struct).attr(n::unpack_from)(format, block.bytes, 0);
    return Object::borrow(std_numpy).attr(n::array)(values).attr(n::reshape)(shape);
}

namespace {

// Shared by both layouts: checks, allocation of the result of `shape` and
// `dtype`, and the computation by `kernel` (decode::planes or decode::complex).
template <class Kernel>
bool polar(const Call& c, const Block& block, const Object& shape, const Object& dtype, Scalar type, Kernel kernel,
           Object& x)
{
    if (c.peek(n::np).get() != std_numpy) return false;
    Buffer src;
    src.acquire(block.bytes, false);
    const std::size_t half = static_cast<std::size_t>(block.count / 2);
    const unsigned char* mag = static_cast<const unsigned char*>(src.data());
    const unsigned char* pha = mag + 4 * half;
    decode::Values values = decode::Values::nonfinite;
    frame::without_gil([&] { values = decode::classify(mag, pha, half); });
    if (values == decode::Values::nonfinite) return false;

    Object out = empty(shape, dtype, block.count);
    Buffer dst;
    if (!acquire_result(dst, out, type, shape)) return false;
    frame::without_gil([&] { kernel(mag, pha, half, values, static_cast<double*>(dst.data())); });
    x = out;
    return true;
}

}  // namespace

bool planes(const Call& c, const Block& block, const Object& data, Object& x)
{
    Object shape = data.attr(n::shape);
    return polar(c, block, frame::tuple({shape[1], shape[2], 2}), Object(), Scalar::float64, decode::planes, x);
}

bool complex(const Call& c, const Block& block, const Object& data, Object& x)
{
    Object shape = data.attr(n::shape);
    Object complex_type = Object::borrow(reinterpret_cast<PyObject*>(&PyComplex_Type));
    return polar(c, block, frame::tuple({shape[1], shape[2]}), complex_type, Scalar::complex128, decode::complex, x);
}

}  // namespace sarchip::fast
