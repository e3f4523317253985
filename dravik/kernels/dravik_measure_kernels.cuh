// Device code of the density measurement: the outcome table over the diagonal and the
// collapse. Kernels only; validation, buffers and the draw live in dravik_measure.cu.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#pragma once

#include <cuda_runtime.h>

#include <cstdint>
#include <quorra_launch.cuh>

#include "../state/dravik_device_state.cuh"

namespace quorra::dravik {

// Outcome index of basis index x: bit k-1-j is the value of qubit targets[j], which sits
// at index bit targets[j] (little endian) or n-1-targets[j] (big endian).
__host__ __device__ __forceinline__ uint64_t measure_outcome_of(uint64_t x, int64_t n, const int64_t* targets,
                                                                int64_t k, bool little) {
    uint64_t outcome = 0;
    for (int64_t j = 0; j < k; ++j) {
        const int64_t position = little ? targets[j] : n - 1 - targets[j];
        outcome = (outcome << 1) | ((x >> position) & 1);
    }
    return outcome;
}

constexpr unsigned kMeasureBlock = 256;
constexpr int kMeasureGroupMaxLog2 = 8;  // log2(kMeasureBlock)

// Threads that sum one outcome: up to a block, and no more than its 2^(n-k) diagonal elements.
__host__ __device__ __forceinline__ int measure_group_log2(int64_t n, int64_t k) {
    return n - k < kMeasureGroupMaxLog2 ? static_cast<int>(n - k) : kMeasureGroupMaxLog2;
}

// probabilities[o] = the sum of Re rho[i][i] over the basis indices i of outcome o, in a fixed
// order: a group of 2^measure_group_log2 neighbouring threads takes one outcome, each adds the
// free-bit values congruent to its place in ascending order, then the group adds those sums in
// a fixed tree. Equal matrices give equal bits however the blocks are scheduled.
// Launch with kMeasureBlock threads and enough blocks for 2^k outcomes.
template <typename T>
__global__ void density_measure_probs_kernel(int64_t n, const CuComplex<T>* data, const int64_t* targets, int64_t k,
                                             bool little, double* probabilities) {
    QUORRA_SHARED_ARRAY(double, tree, kMeasureBlock);
    const uint32_t tid = threadIdx.x;
    const int group_log2 = measure_group_log2(n, k);
    const uint32_t group = uint32_t{1} << group_log2;
    const uint32_t place = tid & (group - 1);
    const uint64_t outcome = static_cast<uint64_t>(blockIdx.x) * (kMeasureBlock >> group_log2) + (tid >> group_log2);
    const uint64_t d = uint64_t{1} << n;
    double sum = 0.0;
    if (outcome < (uint64_t{1} << k)) {
        // The outcome's target bits, and the index bits left free by the targets.
        uint64_t fixed = 0;
        uint64_t target_mask = 0;
        for (int64_t j = 0; j < k; ++j) {
            const int64_t position = little ? targets[j] : n - 1 - targets[j];
            target_mask |= uint64_t{1} << position;
            fixed |= ((outcome >> (k - 1 - j)) & 1) << position;
        }
        const uint64_t free_mask = (d - 1) & ~target_mask;
        // Free-bit values place, place + group, ... in ascending order, each spread over the
        // free index bits.
        for (uint64_t f = place; f < (uint64_t{1} << (n - k)); f += group) {
            uint64_t i = fixed;
            uint64_t value = f;
            for (uint64_t rest = free_mask; rest != 0; rest &= rest - 1) {
                i |= (value & 1) != 0 ? (rest & (~rest + 1)) : 0;
                value >>= 1;
            }
            sum += static_cast<double>(data[i * d + i].re);
        }
    }
    tree[tid] = sum;
    for (uint32_t width = group >> 1; width > 0; width >>= 1) {
        __syncthreads();
        if (place < width) {
            tree[tid] += tree[tid + width];
        }
    }
    if (place == 0 && outcome < (uint64_t{1} << k)) {
        probabilities[outcome] = tree[tid];
    }
}

// One thread per element: keeps (scaled by 1/p) the elements whose row and column both
// belong to the outcome, zeroes every other element.
template <typename T>
__global__ void density_measure_collapse_kernel(int64_t n, CuComplex<T>* data, const int64_t* targets, int64_t k,
                                                bool little, uint64_t outcome, double inverse_probability) {
    const uint64_t c = static_cast<uint64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
    const uint64_t r = static_cast<uint64_t>(blockIdx.y) * blockDim.y + threadIdx.y;
    const uint64_t d = uint64_t{1} << n;
    if (r >= d || c >= d) {
        return;
    }
    CuComplex<T>& element = data[r * d + c];
    if (measure_outcome_of(r, n, targets, k, little) == outcome &&
        measure_outcome_of(c, n, targets, k, little) == outcome) {
        element = CuComplex<T>{static_cast<T>(static_cast<double>(element.re) * inverse_probability),
                               static_cast<T>(static_cast<double>(element.im) * inverse_probability)};
    } else {
        element = CuComplex<T>{T(0), T(0)};
    }
}

}  // namespace quorra::dravik
