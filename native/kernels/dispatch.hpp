// One run-time choice of instruction set for every numeric kernel.
//
// A kernel with variants is written once, as the static `run` of a class
// template over Isa declared beside it:
//
//     template <Isa> struct SincPass { static bool run(const double* x, ...); };
//
// Its source file is compiled once per variant this compiler can make
// (CMakeLists.txt finds out at configure time, and leaves the others out).
// Each compilation defines CORVANE_VARIANT, and the code between
// CORVANE_VARIANT_BEGIN and CORVANE_VARIANT_END is compiled for that
// variant's instruction set; there the source defines `SincPass<kIsa>::run`.
// The region uses target pragmas rather than -m flags, so the inline
// functions of headers included before it stay baseline code and whichever
// copy of them the linker keeps runs on every CPU; what the region calls
// from headers is always_inline and takes the region's instruction set.
// The entry points are compiled once, in the baseline compilation
// (CORVANE_ONCE), and call dispatch<SincPass>(x, ...), which runs the
// variant of the widest instruction set this CPU has.
//
// The variants (one entry each in Isa, Traits, the detection in dispatch.cpp
// and dispatch() below):
//   baseline  the target's own flags: SSE2 on x86-64, VFPv3-D16 on armhf,
//             ASIMD on aarch64
//   avx2      x86-64 with AVX2 and FMA
//   avx512    x86-64 with AVX-512F
//   vfpv4     32-bit ARM with VFPv4 (fused multiply-add, 32 double
//             registers) and NEON, as on every Cortex-A7
//   scalar    x86-64 and aarch64: the one-double-at-a-time code of the 32-bit
//             ARM variants, built for the target's baseline; never chosen by
//             itself, so that the variant test holds that code to the vector
//             variants' bits on every machine CI runs on
// -DCORVANE_NO_SIMD=ON builds the baseline only, -DCORVANE_NO_AVX512=ON
// leaves out avx512.
//
// Every variant gives the same bits on the same input, so a result does not
// depend on the machine that computed it:
// - the kernels are built with -ffp-contract=off: a multiply and an add are
//   fused only where the code calls fma(), and then in every variant;
// - reductions run over kLogicalLanes logical lanes in a fixed order, each
//   variant holding them in as many vectors as its width needs (a width of
//   one: one lane at a time, on cores without double-precision SIMD);
// - error-free transformations (two_prod) use a hardware fma where the
//   variant has one and Veltkamp's split where not: both are exact.
#pragma once

#include <cstddef>
#include <utility>

namespace corvane::kernels {

enum class Isa : int { baseline, avx2, avx512, vfpv4, scalar };

// Logical lanes of the vectorised reductions, whatever a variant's width.
constexpr int kLogicalLanes = 8;

// What the code of a variant may assume: the doubles in one hardware vector
// (what the loops are shaped for; 1 where doubles are scalar only), whether
// fma() is an instruction, and whether its loops keep the sine/cosine
// constants in registers (pin_constants: where counted instructions and
// timings showed it pays; on x86-64 AVX-512 the compiler's broadcasts from
// memory cost nothing, and the pinned copies take registers a loop needs).
template <Isa>
struct Traits;
template <>
struct Traits<Isa::baseline> {
#if defined(__aarch64__)
    static constexpr int lanes = 2;
    static constexpr bool fma = true;
    static constexpr bool pin_constants = true;
#elif defined(__arm__)
    static constexpr int lanes = 1;
    static constexpr bool fma = false;
    static constexpr bool pin_constants = false;  // 16 double registers
#else
    static constexpr int lanes = 2;
    static constexpr bool fma = false;
    static constexpr bool pin_constants = false;
#endif
};
template <>
struct Traits<Isa::avx2> {
    static constexpr int lanes = 4;
    static constexpr bool fma = true;
    static constexpr bool pin_constants = false;
};
template <>
struct Traits<Isa::avx512> {
    static constexpr int lanes = 8;
    static constexpr bool fma = true;
    static constexpr bool pin_constants = false;
};
template <>
struct Traits<Isa::vfpv4> {
    static constexpr int lanes = 1;
    static constexpr bool fma = true;
    static constexpr bool pin_constants = true;
};
template <>
struct Traits<Isa::scalar> {
    static constexpr int lanes = 1;
    static constexpr bool fma = Traits<Isa::baseline>::fma;
    static constexpr bool pin_constants = Traits<Isa::baseline>::pin_constants;
};

// The variant dispatch() runs: the widest one this CPU supports among those
// built, decided once.
Isa active_isa() noexcept;

// For tests: run `isa` from now on, if this build has it and the CPU
// supports it; returns whether it does. Not for use while kernels run.
bool select_isa(Isa isa) noexcept;

// The variants this build has and this CPU supports, the baseline first.
struct IsaList {
    Isa isa[5];
    int count;
};
IsaList supported_isas() noexcept;

const char* isa_name(Isa isa) noexcept;

template <template <Isa> class K, class... A>
inline auto dispatch(A&&... a)
{
    switch (active_isa()) {
#if CORVANE_HAVE_VFPV4
    case Isa::vfpv4: return K<Isa::vfpv4>::run(std::forward<A>(a)...);
#endif
#if CORVANE_HAVE_SCALAR
    case Isa::scalar: return K<Isa::scalar>::run(std::forward<A>(a)...);
#endif
#if CORVANE_HAVE_AVX512
    case Isa::avx512: return K<Isa::avx512>::run(std::forward<A>(a)...);
#endif
#if CORVANE_HAVE_AVX2
    case Isa::avx2: return K<Isa::avx2>::run(std::forward<A>(a)...);
#endif
    default: return K<Isa::baseline>::run(std::forward<A>(a)...);
    }
}

}  // namespace corvane::kernels

// ---------------------------------------------------------------------------
// The variant being compiled.

#if defined(CORVANE_VARIANT)
namespace corvane::kernels {
constexpr Isa kIsa = Isa::CORVANE_VARIANT;
}

#define CORVANE_VARIANT_IS_baseline_baseline 1
#define CORVANE_VARIANT_IS_avx2_avx2 1
#define CORVANE_VARIANT_IS_avx512_avx512 1
#define CORVANE_VARIANT_IS_vfpv4_vfpv4 1
#define CORVANE_VARIANT_IS_scalar_scalar 1
#define CORVANE_VARIANT_CAT(a, b) CORVANE_VARIANT_IS_##a##_##b
#define CORVANE_VARIANT_IS(a, b) CORVANE_VARIANT_CAT(a, b)

#if CORVANE_VARIANT_IS(CORVANE_VARIANT, avx2)
#define CORVANE_VARIANT_TARGET "avx2,fma"
#elif CORVANE_VARIANT_IS(CORVANE_VARIANT, avx512)
#if defined(__clang__)
#define CORVANE_VARIANT_TARGET "avx512f,fma"
#else
// Without the width hint GCC's generic tuning keeps the loops at 256 bits.
#define CORVANE_VARIANT_TARGET "avx512f,fma,prefer-vector-width=512"
#endif
#elif CORVANE_VARIANT_IS(CORVANE_VARIANT, vfpv4)
#if defined(__clang__)
#define CORVANE_VARIANT_TARGET "neon,vfp4,d32"
#else
#define CORVANE_VARIANT_TARGET "fpu=neon-vfpv4"
#endif
#endif

#if defined(CORVANE_VARIANT_TARGET)
// Two levels, so that the target string is expanded before it is quoted.
#define CORVANE_PRAGMA_TEXT(x) _Pragma(#x)
#define CORVANE_PRAGMA(x) CORVANE_PRAGMA_TEXT(x)
#if defined(__clang__)
#define CORVANE_VARIANT_BEGIN \
    CORVANE_PRAGMA(clang attribute push(__attribute__((target(CORVANE_VARIANT_TARGET))), apply_to = function))
#define CORVANE_VARIANT_END _Pragma("clang attribute pop")
#else
#define CORVANE_VARIANT_BEGIN _Pragma("GCC push_options") CORVANE_PRAGMA(GCC target(CORVANE_VARIANT_TARGET))
#define CORVANE_VARIANT_END _Pragma("GCC pop_options")
#endif
#else
#define CORVANE_VARIANT_BEGIN
#define CORVANE_VARIANT_END
#endif
#endif  // CORVANE_VARIANT
