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
    else if (*f == '<') ++f;
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

}  // namespace frame
