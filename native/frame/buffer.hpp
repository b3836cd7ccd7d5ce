// Raw memory of Python objects through the buffer protocol (no NumPy headers
// needed), and releasing the interpreter lock around native work.
#pragma once

#include "frame/object.hpp"

#include <cstddef>
#include <exception>
#include <new>

namespace frame {

// The element type of a native-order buffer, from its struct format.
enum class Scalar {
    other,
    boolean,
    int8,
    uint8,
    int16,
    uint16,
    int32,
    uint32,
    int64,
    uint64,
    float32,
    float64,
    complex64,
    complex128
};

Scalar scalar_of(const Py_buffer& view);
inline bool is_complex(Scalar s) { return s == Scalar::complex64 || s == Scalar::complex128; }

// A C-contiguous view of an object's memory, released on scope exit.
class Buffer {
public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer()
    {
        if (held_) PyBuffer_Release(&view_);
    }

    // False, with no exception left set, when `o` has no such buffer.
    bool try_acquire(const Object& o, bool writable);
    // The same, raising the exporter's exception instead.
    void acquire(const Object& o, bool writable);
    // For the array that a Python call (np.empty) made for native code to
    // fill, which native code cannot trust: true only when `o` is of exactly
    // `type`, referred to by nobody else, a view of no other object (no
    // `base`), and its memory is writable, C-contiguous and holds elements
    // of `scalar` in exactly `shape` (`ndim` sizes). Otherwise false, with no
    // exception set and nothing held: the caller must not write, and takes
    // its generic route.
    bool try_acquire_result(const Object& o, const Object& type, Scalar scalar, const Py_ssize_t* shape, int ndim);

    const Py_buffer& view() const { return view_; }
    void* data() const { return view_.buf; }
    Py_ssize_t bytes() const { return view_.len; }
    Py_ssize_t size() const { return view_.itemsize ? view_.len / view_.itemsize : 0; }
    Scalar scalar() const { return scalar_of(view_); }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// Runs `work` without the interpreter lock. `work` must touch no Python
// object; a C++ exception it throws is rethrown once the lock is back.
template <class Work>
void without_gil(Work&& work)
{
    std::exception_ptr failure;
    Py_BEGIN_ALLOW_THREADS
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
    Py_END_ALLOW_THREADS
    if (failure) std::rethrow_exception(failure);
}

}  // namespace frame
