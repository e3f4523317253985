// Device code of the built-in noise channels and of general Kraus maps, and the 2x2 block
// step every channel kernel shares (plain, after a unitary, or inside a fused tile).
// Kernels only; geometry, validation and error checks live in dravik_kraus.cu.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#pragma once

#include <cuda_runtime.h>

#include <cstdint>
#include <quorra_unroll.cuh>

#include "../state/dravik_device_state.cuh"
#include "dravik_kraus.cuh"
#include "dravik_unitary_kernels.cuh"

namespace quorra::dravik {

// One channel on the block [[a, b], [c, d]] (rows and columns with the qubit 0, 1): every
// value is read before any is replaced.
template <typename T>
__host__ __device__ __forceinline__ void channel_block(const ChannelFactors<T>& f, CuComplex<T>& a, CuComplex<T>& b,
                                                       CuComplex<T>& c, CuComplex<T>& d) {
    const CuComplex<T> a2 = f.stay0 * a + f.into0 * d;
    const CuComplex<T> d2 = f.stay1 * d + f.into1 * a;
    const CuComplex<T> b2 = f.keep * b + f.cross * c;
    const CuComplex<T> c2 = f.keep * c + f.cross * b;
    a = a2;
    b = b2;
    c = c2;
    d = d2;
}

// Built-in channel Kind on the qubit of `target_mask`. Launch: block (32, 8), grid
// (ceil(D/32), ceil(D/8)), no shared memory. The thread at (row, column) of the upper-left
// D/2 x D/2 quarter owns the whole 2x2 block whose row and column bases spread row and
// column around the target bit; the other threads return at once, so a block is read
// completely by one thread before any of its elements is written.
template <typename T, int Kind>
__global__ void channel_kernel(CuComplex<T>* data, int64_t dimension, uint64_t target_mask, T p) {
    const uint64_t d = static_cast<uint64_t>(dimension);
    const uint64_t row = element_row();
    const uint64_t column = element_column();
    if (row >= (d >> 1) || column >= (d >> 1)) {
        return;
    }
    CuComplex<T>* top = data + insert_zero_bits(row, target_mask) * d + insert_zero_bits(column, target_mask);
    CuComplex<T>* bottom = top + target_mask * d;
    const ChannelFactors<T> f = channel_factors<T>(Kind, p);
    if constexpr (channel_only_scales_coherences(Kind)) {
        // a and d stay: only the two coherences are read and written
        top[target_mask] = f.keep * top[target_mask];
        bottom[0] = f.keep * bottom[0];
    } else {
        CuComplex<T> a = top[0], b = top[target_mask], c = bottom[0], e = bottom[target_mask];
        channel_block(f, a, b, c, e);
        top[0] = a;
        top[target_mask] = b;
        bottom[0] = c;
        bottom[target_mask] = e;
    }
}

// Threads that work on one block of rho: one for K = 1 and 2, which keep the block in
// registers; one per row for K = 3, whose 8 x 8 block and accumulator do not fit one thread.
template <int K>
inline constexpr unsigned kKrausThreadsPerBlockOfRho = K == 3 ? 8 : 1;

// (K_m B K_m^dagger)[j][*] added to `row` for every Kraus matrix, B read through block(l, i).
template <typename T, int K, typename Block>
__device__ __forceinline__ void add_kraus_row(CuComplex<T> (&row)[1 << K], int j, int64_t kraus_count,
                                              const CuComplex<T>* matrices, Block block) {
    constexpr int kSize = 1 << K;
    const CuComplex<T> zero{T(0), T(0)};
    for (int64_t m = 0; m < kraus_count; ++m) {
        const CuComplex<T>* k = matrices + m * kSize * kSize;
        CuComplex<T> left[kSize];  // row j of K_m B
        QUORRA_UNROLL
        for (int i = 0; i < kSize; ++i) {
            CuComplex<T> acc = zero;
            QUORRA_UNROLL
            for (int l = 0; l < kSize; ++l) {
                acc = mul_add(acc, k[j * kSize + l], block(l, i));
            }
            left[i] = acc;
        }
        QUORRA_UNROLL
        for (int c = 0; c < kSize; ++c) {  // (K_m B K_m^dagger)[j][c] = sum_i left[i] conj(K_m[c][i])
            CuComplex<T> acc = row[c];
            QUORRA_UNROLL
            for (int i = 0; i < kSize; ++i) {
                acc = mul_add_conj(acc, left[i], k[c * kSize + i]);
            }
            row[c] = acc;
        }
    }
}

// General Kraus map on K targets: B <- sum_m K_m B K_m^dagger on every 2^K x 2^K block B of
// rho (one row group and one column group). Launch: R^2 * kKrausThreadsPerBlockOfRho<K>
// threads (R = D >> K), 256 per block. Blocks of rho are disjoint, so no two groups of threads
// touch the same elements.
// K = 1, 2: one thread keeps B in registers (every index a constant after unrolling) and
// writes each row of the sum as it is done; B stays in registers, so no later row reads it
// back from rho.
// K = 3: eight neighbouring threads share B, staged in shared memory; thread j works out and
// writes row j. The threads meet at one barrier, so none returns early.
template <typename T, int K>
__global__ void kraus_kernel(CuComplex<T>* data, int64_t dimension, DeviceTargets targets, int64_t kraus_count,
                             const CuComplex<T>* matrices) {
    constexpr int kSize = 1 << K;
    constexpr unsigned kShare = kKrausThreadsPerBlockOfRho<K>;
    const uint64_t t = global_thread_index();
    const uint64_t item = t / kShare;
    const int64_t rest_count = targets.rest_count;
    const uint64_t groups = uint64_t{1} << rest_count;
    const bool active = item < groups * groups;
    const uint64_t d = static_cast<uint64_t>(dimension);
    const uint64_t mask = target_mask_of<K>(targets);
    CuComplex<T>* corner =
        active ? data + insert_zero_bits(item >> rest_count, mask) * d + insert_zero_bits(item & (groups - 1), mask)
               : data;
    uint64_t offset[kSize];
    QUORRA_UNROLL
    for (int j = 0; j < kSize; ++j) {
        offset[j] = local_offset<K>(targets, static_cast<uint64_t>(j));
    }
    const CuComplex<T> zero{T(0), T(0)};
    if constexpr (kShare == 1) {
        if (!active) {
            return;
        }
        CuComplex<T> block[kSize][kSize];
        QUORRA_UNROLL
        for (int j = 0; j < kSize; ++j) {
            QUORRA_UNROLL
            for (int i = 0; i < kSize; ++i) {
                block[j][i] = corner[offset[j] * d + offset[i]];
            }
        }
        QUORRA_UNROLL
        for (int j = 0; j < kSize; ++j) {
            CuComplex<T> row[kSize];
            QUORRA_UNROLL
            for (int c = 0; c < kSize; ++c) {
                row[c] = zero;
            }
            add_kraus_row<T, K>(row, j, kraus_count, matrices, [&](int l, int i) { return block[l][i]; });
            QUORRA_UNROLL
            for (int c = 0; c < kSize; ++c) {
                corner[offset[j] * d + offset[c]] = row[c];
            }
        }
    } else {
        // One shared declaration for both precisions; double2 keeps either element aligned.
        constexpr unsigned kBlocksPerLaunchBlock = 256 / kShare;
        QUORRA_SHARED_ARRAY(double2, shared_words, kBlocksPerLaunchBlock * kSize * kSize * sizeof(CuComplex<T>) / 16);
        CuComplex<T>* mine = reinterpret_cast<CuComplex<T>*>(shared_words) + (threadIdx.x / kShare) * kSize * kSize;
        const int j = static_cast<int>(t % kShare);
        if (active) {
            const uint64_t row_offset = local_offset<K>(targets, static_cast<uint64_t>(j)) * d;
            QUORRA_UNROLL
            for (int i = 0; i < kSize; ++i) {
                mine[j * kSize + i] = corner[row_offset + offset[i]];
            }
        }
        __syncthreads();
        if (active) {
            CuComplex<T> row[kSize];
            QUORRA_UNROLL
            for (int c = 0; c < kSize; ++c) {
                row[c] = zero;
            }
            // Read through volatile: otherwise the compiler keeps all of B (invariant over the
            // Kraus matrices) in registers, which is what does not fit.
            const volatile T* shared_b = reinterpret_cast<const volatile T*>(mine);
            add_kraus_row<T, K>(row, j, kraus_count, matrices, [&](int l, int i) {
                return CuComplex<T>{shared_b[2 * (l * kSize + i)], shared_b[2 * (l * kSize + i) + 1]};
            });
            const uint64_t row_offset = local_offset<K>(targets, static_cast<uint64_t>(j)) * d;
            QUORRA_UNROLL
            for (int c = 0; c < kSize; ++c) {
                corner[row_offset + offset[c]] = row[c];
            }
        }
    }
}

}  // namespace quorra::dravik
