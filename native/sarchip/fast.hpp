// Native route of sarchip_raw: the data block goes from the bytes read
// straight into the memory of the result, instead of through a tuple of
// Python floats and an array made from it. It is taken only while the
// module's `struct` and `np` are the modules that the body imported; the
// functions returning bool give false, having done nothing visible, when
// their conditions do not hold, and the caller then runs the generic
// statements.
#pragma once

#include "frame/function.hpp"

namespace sarchip::fast {

// Keeps the modules bound at lines 30 and 31 for the identity checks.
void remember(const frame::Object& struct_module, const frame::Object& numpy);

// True when `struct_module` (the module's `struct`) and the module's `np`
// are the modules remembered.
bool standard(const frame::Call& c, const frame::Object& struct_module);

// The data block of a native read: the bytes read and the number of values.
struct Block {
    frame::Object bytes;
    Py_ssize_t count = 0;
    explicit operator bool() const { return bytes.get() != nullptr; }
};

// `struct.unpack_from(">%df" % count, bytes, 0)` without the tuple: checks
// `count` and the size of `bytes` as struct does, raising the module's
// struct.error, and fills `block`. Returns what stands for the flat array of
// line 190 until the values are needed: a float64 array of `count`
// elements that takes no memory, good for reshaping only.
frame::Object unpack(const frame::Object& struct_module, const frame::Object& count, const frame::Object& bytes,
                     Block& block);

// The float64 array of the shape of `data` (the reshaped stand-in) holding
// the block's values: what the generic route makes with np.array.
frame::Object widen(const Block& block, const frame::Object& data);

// The real-imaginary and the complex layout straight from the block; false
// when `np` is no longer numpy, the block holds an infinity or a NaN (NumPy's
// own expressions then decide those values and their warnings), or
// numpy.empty gave no array fit to be written into.
bool planes(const frame::Call& c, const Block& block, const frame::Object& data, frame::Object& x);
bool complex(const frame::Call& c, const Block& block, const frame::Object& data, frame::Object& x);

}  // namespace sarchip::fast
