// The kernels in AVX-512 (its F and BW parts), with the population-count
// instruction: a block is one register (avx512_vector.inc). Only this
// file's own code takes the instruction set (the standard headers come
// before it), as in kernels_avx2.cpp.
#if defined(__x86_64__)
#include <immintrin.h>

#include <cstring>
#include <string_view>

#include "kernels/byte_scan.hpp"
#include "kernels/kernels.hpp"

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f,avx512bw,popcnt"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,popcnt")
#endif

namespace scanner_core::kernel_detail {
namespace {

#include "kernels/avx512_vector.inc"
#include "kernels/block_kernels.inc"

}  // namespace

extern const Kernels kAvx512 = make_table(InstructionSet::avx512, sha256_blocks_portable);
extern const Kernels kAvx512Sha = make_table(InstructionSet::avx512, sha256_blocks_sha);

}  // namespace scanner_core::kernel_detail

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif
