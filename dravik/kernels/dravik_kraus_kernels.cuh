// Device code of the built-in noise channels and of general Kraus maps, and the 2x2 block
// step every channel kernel shares (plain, after a unitary, or inside a fused tile).
// Kernels only; geometry, validation and error checks live in dravik_kraus.cu.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#pragma once

#include <cuda_runtime.h>

#include <cstdint>

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

// General Kraus map on K targets. Launch: R^2 threads (R = D >> K), 256 per block, no
// shared memory. Thread t owns row group t >> (n-K) and column group t & (R-1): it keeps
// the 2^K x 2^K block B and the sum of K_m B K_m^dagger in registers (or local memory)
// and writes the sum over B. Blocks are disjoint, so no thread reads another's elements.
template <typename T, int K>
__global__ void kraus_kernel(CuComplex<T>* data, int64_t dimension, DeviceTargets targets, int64_t kraus_count,
                             const CuComplex<T>* matrices) {
    constexpr int kSize = 1 << K;
    const uint64_t t = linear_thread_index();
    const int64_t rest_count = targets.rest_count;
    const uint64_t groups = uint64_t{1} << rest_count;
    if (t >= groups * groups) {
        return;
    }
    const uint64_t d = static_cast<uint64_t>(dimension);
    const uint64_t mask = target_mask_of<K>(targets);
    CuComplex<T>* corner =
        data + insert_zero_bits(t >> rest_count, mask) * d + insert_zero_bits(t & (groups - 1), mask);
    uint64_t offset[kSize];
    for (int j = 0; j < kSize; ++j) {
        offset[j] = local_offset<K>(targets, static_cast<uint64_t>(j));
    }
    const CuComplex<T> zero{T(0), T(0)};
    CuComplex<T> block[kSize][kSize];
    CuComplex<T> sum[kSize][kSize];
    for (int j = 0; j < kSize; ++j) {
        for (int i = 0; i < kSize; ++i) {
            block[j][i] = corner[offset[j] * d + offset[i]];
            sum[j][i] = zero;
        }
    }
    for (int64_t m = 0; m < kraus_count; ++m) {
        const CuComplex<T>* k = matrices + m * kSize * kSize;
        for (int j = 0; j < kSize; ++j) {
            CuComplex<T> left[kSize];  // row j of K_m B
            for (int i = 0; i < kSize; ++i) {
                CuComplex<T> acc = zero;
                for (int l = 0; l < kSize; ++l) {
                    acc = mul_add(acc, k[j * kSize + l], block[l][i]);
                }
                left[i] = acc;
            }
            for (int c = 0; c < kSize; ++c) {  // (K_m B K_m^dagger)[j][c] = sum_i left[i] conj(K_m[c][i])
                CuComplex<T> acc = sum[j][c];
                for (int i = 0; i < kSize; ++i) {
                    acc = mul_add_conj(acc, left[i], k[c * kSize + i]);
                }
                sum[j][c] = acc;
            }
        }
    }
    for (int j = 0; j < kSize; ++j) {
        for (int i = 0; i < kSize; ++i) {
            corner[offset[j] * d + offset[i]] = sum[j][i];
        }
    }
}

}  // namespace quorra::dravik
