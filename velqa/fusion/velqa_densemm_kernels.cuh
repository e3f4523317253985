// DenseMM permutation kernels: device code only; the launcher in velqa_densemm.cu owns
// validation, geometry and the GEMM. Read by nvcc (cuda build) and by g++ against the host
// stand-in.
//
// Launch contract: blocks of 256 threads, any grid size (a grid-stride loop covers `total`
// positions), no shared memory. The kernels move one chunk of columns: position p of the
// chunk has low k bits = the active qubits' values (local bit b = b-th lowest active qubit)
// and high bits = the column's offset from `first_column`; a column's bits fill the free
// positions (`column_mask`), lowest first; `fixed_value` sets the bits outside both masks
// (the controls of a UNITARY, 0 for a fused group). Columns are disjoint groups of
// amplitudes, so a chunk can be gathered, multiplied and scattered back in place.
#pragma once

#include <cuda_runtime.h>

#include <cstdint>

#include "gates/velqa_index_bits.cuh"
#include "state/velqa_device_state.cuh"

namespace velqa::fusion {

constexpr unsigned kTransposeThreads = 256;

__device__ __forceinline__ uint64_t state_index_of_position(uint64_t p, uint64_t active_mask, uint64_t column_mask,
                                                            int k, uint64_t first_column, uint64_t fixed_value) {
    const uint64_t low = p & ((uint64_t{1} << k) - 1);
    return deposit_bits(low, active_mask) | deposit_bits((p >> k) + first_column, column_mask) | fixed_value;
}

// dst[p] = src[state index of p]: the chunk's columns, active qubits lowest.
template <typename T>
__global__ void transpose_to_low_bits(unsigned long long total, const CuComplex<T>* src, CuComplex<T>* dst,
                                      unsigned long long active_mask, unsigned long long column_mask, int k,
                                      unsigned long long first_column, unsigned long long fixed_value) {
    const uint64_t stride = static_cast<uint64_t>(gridDim.x) * blockDim.x;
    for (uint64_t p = global_thread_index(); p < total; p += stride) {
        dst[p] = src[state_index_of_position(p, active_mask, column_mask, k, first_column, fixed_value)];
    }
}

// dst[state index of p] = src[p]: the inverse permutation.
template <typename T>
__global__ void transpose_from_low_bits(unsigned long long total, const CuComplex<T>* src, CuComplex<T>* dst,
                                        unsigned long long active_mask, unsigned long long column_mask, int k,
                                        unsigned long long first_column, unsigned long long fixed_value) {
    const uint64_t stride = static_cast<uint64_t>(gridDim.x) * blockDim.x;
    for (uint64_t p = global_thread_index(); p < total; p += stride) {
        dst[state_index_of_position(p, active_mask, column_mask, k, first_column, fixed_value)] = src[p];
    }
}

}  // namespace velqa::fusion
