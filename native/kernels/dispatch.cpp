// Which variant of the kernels runs: the widest the CPU supports among those
// built. Compiled once, for the baseline.
#include "kernels/dispatch.hpp"

#include <atomic>

#if CORVANE_HAVE_VFPV4
#include <sys/auxv.h>
#endif

namespace corvane::kernels {
namespace {

bool cpu_supports(Isa isa) noexcept
{
    switch (isa) {
    case Isa::baseline: return true;
#if CORVANE_HAVE_AVX2
    // GCC's and Clang's runtime checks also ask the OS whether it saves the
    // wide registers.
    case Isa::avx2: return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#endif
#if CORVANE_HAVE_AVX512
    case Isa::avx512: return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("fma");
#endif
#if CORVANE_HAVE_VFPV4
    // The kernel's word on what the core has: VFPv4, its 32 double registers
    // and NEON (the bits of <asm/hwcap.h>, which not every libc exports).
    case Isa::vfpv4: {
        constexpr unsigned long kNeon = 1ul << 12, kVfpv4 = 1ul << 16, kVfpD32 = 1ul << 19;
        constexpr unsigned long kAll = kNeon | kVfpv4 | kVfpD32;
        return (getauxval(AT_HWCAP) & kAll) == kAll;
    }
#endif
#if CORVANE_HAVE_SCALAR
    case Isa::scalar: return true;
#endif
    default: return false;
    }
}

// Narrowest first; scalar last, as it is only ever chosen by select_isa.
constexpr Isa kAll[] = {Isa::baseline, Isa::avx2, Isa::avx512, Isa::vfpv4, Isa::scalar};

Isa widest() noexcept
{
    Isa best = Isa::baseline;
    for (Isa isa : kAll)
        if (isa != Isa::scalar && cpu_supports(isa)) best = isa;
    return best;
}

// Relaxed: every value it holds is a valid choice, and select_isa is for
// tests that call it while no kernel runs.
std::atomic<int> chosen{-1};

}  // namespace

Isa active_isa() noexcept
{
    int isa = chosen.load(std::memory_order_relaxed);
    if (isa < 0) {
        isa = static_cast<int>(widest());
        chosen.store(isa, std::memory_order_relaxed);
    }
    return static_cast<Isa>(isa);
}

bool select_isa(Isa isa) noexcept
{
    if (!cpu_supports(isa)) return false;
    chosen.store(static_cast<int>(isa), std::memory_order_relaxed);
    return true;
}

IsaList supported_isas() noexcept
{
    IsaList list{};
    for (Isa isa : kAll)
        if (cpu_supports(isa)) list.isa[list.count++] = isa;
    return list;
}

const char* isa_name(Isa isa) noexcept
{
    switch (isa) {
    case Isa::baseline: return "baseline";
    case Isa::avx2: return "avx2";
    case Isa::avx512: return "avx512";
    case Isa::vfpv4: return "vfpv4";
    case Isa::scalar: return "scalar";
    }
    return "?";
}

}  // namespace corvane::kernels
