// Index arithmetic of the kernels of both modules: a thread's number, and fixed bits inserted
// into it or spread over a mask.
// Device and host code; read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#pragma once

#include <cuda_runtime.h>

#include <cstdint>

namespace quorra {

// Global index of the calling thread in a one-dimensional grid, in 64 bits.
__device__ __forceinline__ uint64_t global_thread_index() {
    return static_cast<uint64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
}

// Inserts a 0 bit at the position of the single set bit of `bit`: the bits of k below it
// stay, the bits from it upward move up by one.
__host__ __device__ __forceinline__ uint64_t insert_zero_bit(uint64_t k, uint64_t bit) {
    const uint64_t low = k & (bit - 1);
    return ((k ^ low) << 1) | low;
}

// Same, with the position given as a qubit index.
__host__ __device__ __forceinline__ uint64_t insert_zero_at(uint64_t k, int32_t position) {
    return insert_zero_bit(k, uint64_t{1} << position);
}

// Zeros inserted at two distinct positions given in either order: the base index of the
// group of four indices that the two bits span.
__host__ __device__ __forceinline__ uint64_t insert_zero_pair(uint64_t k, int32_t q0, int32_t q1) {
    const int32_t lo = q0 < q1 ? q0 : q1;
    const int32_t hi = q0 < q1 ? q1 : q0;
    return insert_zero_at(insert_zero_at(k, lo), hi);
}

// Spreads the bits of g over the positions that are clear in `mask`, lowest first: the
// base index of group g, with every masked (target) bit 0. Inserting at the lowest
// masked position first keeps the later positions final.
__host__ __device__ __forceinline__ uint64_t insert_zero_bits(uint64_t g, uint64_t mask) {
    while (mask != 0) {
        const uint64_t bit = mask & (~mask + 1);
        g = insert_zero_bit(g, bit);
        mask ^= bit;
    }
    return g;
}

// The k-th smallest index whose bits under fixed_mask equal fixed_value: the bits of k fill
// the free positions from the lowest upward.
__host__ __device__ __forceinline__ uint64_t expand_index(uint64_t k, uint64_t fixed_mask, uint64_t fixed_value) {
    return insert_zero_bits(k, fixed_mask) | fixed_value;
}

// Spreads the low bits of `value` over the set bits of `mask`, lowest first.
__host__ __device__ __forceinline__ uint64_t deposit_bits(uint64_t value, uint64_t mask) {
    uint64_t result = 0;
    for (uint64_t rest = mask; rest != 0; rest &= rest - 1) {
        if ((value & 1U) != 0) {
            result |= rest & (~rest + 1);
        }
        value >>= 1;
    }
    return result;
}

// deposit_bits(a + b, mask) from x = deposit_bits(a, mask) and y = deposit_bits(b, mask): the
// bits outside the mask are set so that carries pass over them.
__host__ __device__ __forceinline__ uint64_t masked_add(uint64_t x, uint64_t y, uint64_t mask) {
    return ((x | ~mask) + y) & mask;
}

// deposit_bits(a - b, mask), modulo 2^popcount(mask), from x = deposit_bits(a, mask) and
// y = deposit_bits(b, mask): the bits outside the mask are clear in both, so borrows pass
// over them.
__host__ __device__ __forceinline__ uint64_t masked_sub(uint64_t x, uint64_t y, uint64_t mask) {
    return (x - y) & mask;
}

// Blocks of `block` threads covering `items` work items. A count beyond the device's grid
// limit gives one block past the limit, so the launch fails with the runtime's configuration
// error instead of running a grid truncated to 32 bits.
__host__ __forceinline__ uint32_t grid_blocks(uint64_t items, uint32_t block) {
    constexpr uint64_t kMaxBlocks = 0x7fffffffULL;
    const uint64_t blocks = items / block + (items % block != 0 ? 1 : 0);
    return static_cast<uint32_t>(blocks > kMaxBlocks ? kMaxBlocks + 1 : blocks);
}

}  // namespace quorra
