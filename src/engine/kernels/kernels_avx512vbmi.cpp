// The kernels in AVX-512 with VBMI's byte permutes (beside F and BW, and
// the population-count instruction), which look up the words' letters in
// tables of 128 bytes: kernels_avx512.cpp's otherwise. Only this file's own
// code takes the instruction set, as there.
#if defined(__x86_64__)
#include <immintrin.h>

#include <cstring>
#include <string_view>

#include "kernels/byte_scan.hpp"
#include "kernels/kernels.hpp"

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f,avx512bw,avx512vbmi,popcnt"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx512vbmi,popcnt")
#endif

namespace scanner_core::kernel_detail {
namespace {

#define SCANNER_KERNELS_VBMI 1
#include "kernels/avx512_vector.inc"
#include "kernels/block_kernels.inc"

}  // namespace

extern const Kernels kAvx512Vbmi = make_table(InstructionSet::avx512vbmi, sha256_blocks_portable);
extern const Kernels kAvx512VbmiSha = make_table(InstructionSet::avx512vbmi, sha256_blocks_sha);

}  // namespace scanner_core::kernel_detail

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif
