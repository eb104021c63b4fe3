#include "kernels/kernels.hpp"

#include <cstdio>
#include <cstdlib>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace scanner_core {
namespace kernel_detail {

namespace {
const Kernels* table_of(InstructionSet set) noexcept {
#if defined(__x86_64__)
    const bool sha = sha_instructions_available();
    switch (set) {
        case InstructionSet::plain: return &kPlain;
        case InstructionSet::sse2: return sha ? &kSse2Sha : &kSse2;
        case InstructionSet::avx2: return sha ? &kAvx2Sha : &kAvx2;
        case InstructionSet::avx512: return sha ? &kAvx512Sha : &kAvx512;
        case InstructionSet::avx512vbmi: return sha ? &kAvx512VbmiSha : &kAvx512Vbmi;
    }
#endif
    (void)set;
    return &kPlain;
}

#if defined(__x86_64__)
constexpr const Kernels* kBaseline = &kSse2;
#else
constexpr const Kernels* kBaseline = &kPlain;
#endif
}  // namespace

std::atomic<const Kernels*> active{kBaseline};

namespace {
// Chosen as the library loads, before any scan can start.
const bool chosen = [] {
    active.store(table_of(instruction_set_at_load()), std::memory_order_relaxed);
    return true;
}();
}  // namespace

}  // namespace kernel_detail

bool instruction_set_available(InstructionSet set) noexcept {
#if defined(__x86_64__)
    __builtin_cpu_init();
    switch (set) {
        case InstructionSet::plain:
        case InstructionSet::sse2: return true;
        case InstructionSet::avx2: return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
        case InstructionSet::avx512:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                   __builtin_cpu_supports("popcnt");
        case InstructionSet::avx512vbmi:
            return instruction_set_available(InstructionSet::avx512) && __builtin_cpu_supports("avx512vbmi");
    }
    return false;
#else
    return set == InstructionSet::plain;
#endif
}

InstructionSet best_instruction_set() noexcept {
    InstructionSet best = InstructionSet::plain;
    for (const InstructionSet set : kInstructionSets) {
        if (instruction_set_available(set)) best = set;
    }
    return best;
}

InstructionSet active_instruction_set() noexcept { return kernels().set; }

bool sha_instructions_available() noexcept {
#if defined(__x86_64__)
    // Asked of the processor itself: not every compiler's
    // __builtin_cpu_supports knows the SHA extensions.
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
    const bool ssse3 = (ecx & (1u << 9)) != 0;
    const bool sse41 = (ecx & (1u << 19)) != 0;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
    return ssse3 && sse41 && (ebx & (1u << 29)) != 0;
#else
    return false;
#endif
}

bool sha_instructions_active() noexcept {
    return kernels().sha256_blocks != &kernel_detail::sha256_blocks_portable;
}

bool force_instruction_set(InstructionSet set) noexcept {
    if (!instruction_set_available(set)) return false;
    kernel_detail::active.store(kernel_detail::table_of(set), std::memory_order_relaxed);
    return true;
}

const char* instruction_set_name(InstructionSet set) noexcept {
    switch (set) {
        case InstructionSet::plain: return "plain";
        case InstructionSet::sse2: return "sse2";
        case InstructionSet::avx2: return "avx2";
        case InstructionSet::avx512: return "avx512";
        case InstructionSet::avx512vbmi: return "avx512vbmi";
    }
    return "plain";
}

std::optional<InstructionSet> instruction_set_named(std::string_view name) noexcept {
    for (const InstructionSet set : kInstructionSets) {
        if (name == instruction_set_name(set)) return set;
    }
    return std::nullopt;
}

InstructionSet instruction_set_at_load() noexcept {
#if defined(SCANNER_CORE_BASELINE_SIMD)
    // Builds whose whole run takes the baseline unless told otherwise.
    const InstructionSet best = kernel_detail::kBaseline->set;
#else
    const InstructionSet best = best_instruction_set();
#endif
    const char* const value = std::getenv("SCANNER_CORE_ISA");
    if (value == nullptr || *value == '\0') return best;
    const std::optional<InstructionSet> named = instruction_set_named(value);
    if (named && instruction_set_available(*named)) return *named;
    std::fprintf(stderr, "scanner_core: SCANNER_CORE_ISA=%s %s; using %s\n", value,
                 named ? "is not available on this processor" : "names none of plain, sse2, avx2, avx512, avx512vbmi",
                 instruction_set_name(best));
    return best;
}

}  // namespace scanner_core
