// Decoding of a chip's data block: big-endian binary32 magnitude and phase
// values, widened to double. Plain C++ on raw memory, no Python, so that the
// callers can run it without the interpreter lock. Every kernel variant gives
// the same bits (kernels/dispatch.hpp).
#pragma once

#include <cstddef>

namespace corvane::kernels::decode {

// dst[k] = the k-th big-endian binary32 value of src, widened exactly.
void widen(const unsigned char* src, double* dst, std::size_t n);

// Whether one of the n big-endian binary32 values at src is a NaN. Widening
// a NaN is where interpreters differ (struct keeps a signalling NaN
// signalling from 3.14 on, older ones quiet it, and NumPy warns only for the
// signalling kind), so blocks with NaNs are left to struct itself.
bool any_nan(const unsigned char* src, std::size_t n);

// What the values of a magnitude block and a phase block of n values allow.
enum class Values {
    small,      // all finite, every |phase| < 1e6: the vector sine/cosine applies throughout
    finite,     // all finite, some phases beyond that range
    nonfinite,  // an infinity or a NaN somewhere
};
Values classify(const unsigned char* mag, const unsigned char* pha, std::size_t n);

// For finite values only (see classify). out[2k] = m cos p, out[2k + 1] = m sin p.
void planes(const unsigned char* mag, const unsigned char* pha, std::size_t n, Values values, double* out);

// For finite values only: out[2k], out[2k + 1] = real and imaginary part of
// (cos p + 1j * sin p) * m, with the operations NumPy performs for that
// expression, down to the signs of zeros.
void complex(const unsigned char* mag, const unsigned char* pha, std::size_t n, Values values, double* out);

}  // namespace corvane::kernels::decode
