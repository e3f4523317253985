// DenseMM permutation kernels: device code only; the launcher in velqa_densemm.cu owns
// validation, geometry and the GEMM. Read by nvcc (cuda build) and by g++ against the host
// stand-in.
//
// Launch contract: blocks of 256 threads, any grid size (a grid-stride loop covers `total`
// positions), no shared memory. Position p of the permuted array has low k bits = the active
// qubits' values (local bit b = b-th lowest active qubit) and high bits = the inactive ones.
#pragma once

#include <cuda_runtime.h>

#include <cstdint>

#include "gates/velqa_index_bits.cuh"
#include "state/velqa_device_state.cuh"

namespace velqa::fusion {

constexpr unsigned kTransposeThreads = 256;

__device__ __forceinline__ uint64_t state_index_of_position(uint64_t p, uint64_t active_mask, uint64_t inactive_mask,
                                                            int k) {
    const uint64_t low = p & ((uint64_t{1} << k) - 1);
    return deposit_bits(low, active_mask) | deposit_bits(p >> k, inactive_mask);
}

// dst[p] = src[state index of p]: the active qubits become the lowest index bits.
template <typename T>
__global__ void transpose_to_low_bits(unsigned long long total, const CuComplex<T>* src, CuComplex<T>* dst,
                                      unsigned long long active_mask, unsigned long long inactive_mask, int k) {
    const uint64_t stride = static_cast<uint64_t>(gridDim.x) * blockDim.x;
    for (uint64_t p = global_thread_index(); p < total; p += stride) {
        dst[p] = src[state_index_of_position(p, active_mask, inactive_mask, k)];
    }
}

// dst[state index of p] = src[p]: the inverse permutation.
template <typename T>
__global__ void transpose_from_low_bits(unsigned long long total, const CuComplex<T>* src, CuComplex<T>* dst,
                                        unsigned long long active_mask, unsigned long long inactive_mask, int k) {
    const uint64_t stride = static_cast<uint64_t>(gridDim.x) * blockDim.x;
    for (uint64_t p = global_thread_index(); p < total; p += stride) {
        dst[state_index_of_position(p, active_mask, inactive_mask, k)] = src[p];
    }
}

}  // namespace velqa::fusion
