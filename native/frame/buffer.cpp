#include "frame/buffer.hpp"

#include <cstring>

namespace frame {

Scalar scalar_of(const Py_buffer& view)
{
    const char* f = view.format ? view.format : "B";
    // Native byte order only: '@' and '=' mean native, and so does '<' on a
    // little-endian host; anything else is left to the generic path.
    if (*f == '@' || *f == '=') ++f;
#if PY_LITTLE_ENDIAN
    else if (*f == '<')
        ++f;
#endif
    const Py_ssize_t n = view.itemsize;
    if (std::strcmp(f, "?") == 0 && n == 1) return Scalar::boolean;
    if (std::strcmp(f, "d") == 0 && n == 8) return Scalar::float64;
    if (std::strcmp(f, "f") == 0 && n == 4) return Scalar::float32;
    if (std::strcmp(f, "Zd") == 0 && n == 16) return Scalar::complex128;
    if (std::strcmp(f, "Zf") == 0 && n == 8) return Scalar::complex64;
    if (f[0] == '\0' || f[1] != '\0') return Scalar::other;
    const bool is_signed = f[0] == 'b' || f[0] == 'h' || f[0] == 'i' || f[0] == 'l' || f[0] == 'q';
    if (!is_signed && f[0] != 'B' && f[0] != 'H' && f[0] != 'I' && f[0] != 'L' && f[0] != 'Q') return Scalar::other;
    switch (n) {
    case 1: return is_signed ? Scalar::int8 : Scalar::uint8;
    case 2: return is_signed ? Scalar::int16 : Scalar::uint16;
    case 4: return is_signed ? Scalar::int32 : Scalar::uint32;
    case 8: return is_signed ? Scalar::int64 : Scalar::uint64;
    default: return Scalar::other;
    }
}

void Buffer::acquire(const Object& o, bool writable)
{
    const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
    check(PyObject_GetBuffer(o.get(), &view_, flags));
    held_ = true;
}

bool Buffer::try_acquire(const Object& o, bool writable)
{
    const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
    if (PyObject_GetBuffer(o.get(), &view_, flags) < 0) {
        PyErr_Clear();
        return false;
    }
    held_ = true;
    return true;
}

bool Buffer::try_acquire_result(const Object& o, const Object& type, Scalar scalar, const Py_ssize_t* shape, int ndim)
{
    Py_ssize_t count = 1;
    for (int d = 0; d < ndim; ++d) {
        if (shape[d] < 0 || (shape[d] > 0 && count > PY_SSIZE_T_MAX / shape[d])) return false;
        count *= shape[d];
    }
    PyObject* p = o.get();
    if (reinterpret_cast<PyObject*>(Py_TYPE(p)) != type.get()) return false;
    // Memory that someone else can see would show what is written; without
    // elements there is nothing to write.
    if (count > 0) {
        static Name base("base");
        if (Py_REFCNT(p) != 1) return false;
        PyObject* b = PyObject_GetAttr(p, base.get());
        if (!b) {
            PyErr_Clear();
            return false;
        }
        Py_DECREF(b);
        if (b != Py_None) return false;
    }
    if (!try_acquire(o, true)) return false;
    bool fits = !view_.readonly && PyBuffer_IsContiguous(&view_, 'C') && scalar_of(view_) == scalar &&
                view_.ndim == ndim && view_.len == count * view_.itemsize;
    for (int d = 0; fits && d < ndim; ++d) fits = view_.shape && view_.shape[d] == shape[d];
    if (fits) return true;
    PyBuffer_Release(&view_);
    held_ = false;
    return false;
}

}  // namespace frame
