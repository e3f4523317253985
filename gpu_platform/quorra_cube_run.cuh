// Runs of fused records for the shared-memory tile kernels of both modules: consecutive
// records whose mixed bits fit together in a cube of C local bits, so that each thread can
// apply the whole run to the cubes it owns without meeting the other threads.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#pragma once

#include <cuda_runtime.h>

#include <cstdint>

#include "quorra_unroll.cuh"

namespace quorra {

struct CubeRun {
    int64_t end;         // one past the run's last record
    uint32_t cube_bits;  // exactly C local bits, holding every bit the run's records mix
};

// Set bits of a mask with at most two of them (the bits one record mixes).
__device__ __forceinline__ int small_bit_count(uint32_t bits) {
    return (bits != 0 ? 1 : 0) + ((bits & (bits - 1)) != 0 ? 1 : 0);
}

// The run starting at record `first` of `count`: as many records as fit, at least one.
// mixed(r) gives the local bits record r mixes (at most two, never more than C together).
// The cube is padded with the highest free local bits below `size` = 2^k (k >= C), so that
// the lowest local bits, which neighbouring threads walk, stay outside the cube where they can.
// Every thread of a block computes the same run, so all meet the same barriers.
template <int C, typename Mixed>
__device__ __forceinline__ CubeRun next_cube_run(int64_t first, int64_t count, uint32_t size, Mixed mixed) {
    uint32_t cube_bits = mixed(first);
    int bits = small_bit_count(cube_bits);
    int64_t end = first + 1;
    for (; end < count; ++end) {
        const uint32_t added = mixed(end) & ~cube_bits;
        const int more = small_bit_count(added);
        if (bits + more > C) {
            break;
        }
        cube_bits |= added;
        bits += more;
    }
    for (; bits < C; ++bits) {
        cube_bits |= uint32_t{1} << (31 - __clz(static_cast<int>(~cube_bits & (size - 1))));
    }
    return CubeRun{end, cube_bits};
}

// Where tile element j sits in shared memory: bits 4 to 11 of j folded into its low four
// bits (a bijection on any power-of-two tile, and the identity below 16 elements). Threads
// whose cubes start 8 or 16 elements apart would otherwise meet in the same few banks.
__device__ __forceinline__ uint32_t tile_slot(uint32_t j) { return j ^ (((j >> 4) ^ (j >> 8)) & 15U); }

// The 2^C corners of a cube relative to its origin: offset[m] has bit i of m at the i-th
// lowest set bit of `bits` (which has C of them). Unrolled, every index is a constant.
template <int C, typename U>
__device__ __forceinline__ void cube_offsets(U bits, U (&offset)[1 << C]) {
    U bit[C];
    QUORRA_UNROLL
    for (int i = 0; i < C; ++i) {
        bit[i] = bits & (~bits + 1);
        bits &= bits - 1;
    }
    QUORRA_UNROLL
    for (int m = 0; m < (1 << C); ++m) {
        U sum = 0;
        QUORRA_UNROLL
        for (int i = 0; i < C; ++i) {
            if (((m >> i) & 1) != 0) {
                sum |= bit[i];
            }
        }
        offset[m] = sum;
    }
}

}  // namespace quorra
