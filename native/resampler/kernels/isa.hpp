// Run-time choice between the instruction-set variants of a kernel.
//
// On x86-64 (GCC or Clang) each kernel is compiled three times: baseline
// SSE2, AVX2+FMA and AVX-512F, and the widest one the CPU and OS support is
// used.  Everywhere else, or when built with -DCORVANE_NO_SIMD, only the
// baseline variant exists.  -DCORVANE_NO_AVX512 caps x86-64 at AVX2 (to
// exercise that variant on AVX-512 machines).
#pragma once

#if defined(__x86_64__) && defined(__GNUC__) && !defined(CORVANE_NO_SIMD)
#define CORVANE_X86_DISPATCH 1
#define CORVANE_TARGET_AVX2 __attribute__((target("avx2,fma")))
#if defined(__clang__)
#define CORVANE_TARGET_AVX512 __attribute__((target("avx512f")))
#else
// Without the width hint generic tuning would keep the loops at 256 bits.
#define CORVANE_TARGET_AVX512 __attribute__((target("avx512f,prefer-vector-width=512")))
#endif
#else
#define CORVANE_X86_DISPATCH 0
#endif

namespace corvane::kernels::detail {

enum class Isa { baseline, avx2, avx512 };

// Decided once; the function-local static makes that thread-safe.
inline Isa best_isa() noexcept {
  static const Isa isa = [] {
#if CORVANE_X86_DISPATCH
#if !defined(CORVANE_NO_AVX512)
    if (__builtin_cpu_supports("avx512f")) return Isa::avx512;
#endif
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return Isa::avx2;
#endif
    return Isa::baseline;
  }();
  return isa;
}

}  // namespace corvane::kernels::detail
