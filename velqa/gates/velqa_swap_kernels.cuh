// SWAP kernels: device code only; the launcher in velqa_swap.cu owns validation and geometry.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
//
// Every kernel exchanges psi[i | b0] and psi[i | b1] for the indices i with both target bits
// clear that satisfy the controls; each exchanged pair belongs to exactly one thread.
#pragma once

#include <cuda_runtime.h>

#include <cstdint>

#include "gates/velqa_index_bits.cuh"
#include "state/velqa_device_state.cuh"

namespace velqa {

template <typename T>
__device__ __forceinline__ void swap_amplitudes(CuComplex<T>* state, uint64_t a, uint64_t b) {
    const CuComplex<T> va = state[a];
    const CuComplex<T> vb = state[b];
    state[a] = vb;
    state[b] = va;
}

// One thread per state index; the index with bit q0 set and bit q1 clear acts for its pair.
template <typename T>
__global__ void cu_swap_kernel_all_state(int64_t n, CuComplex<T>* state, int32_t q0, int32_t q1, uint64_t control_mask,
                                         uint64_t control_value) {
    const uint64_t i = global_thread_index();
    if (i >= (uint64_t{1} << n)) {
        return;
    }
    const uint64_t b0 = uint64_t{1} << q0;
    const uint64_t b1 = uint64_t{1} << q1;
    if ((i & b0) != 0 && (i & b1) == 0 && (i & control_mask) == control_value) {
        swap_amplitudes(state, i, i ^ b0 ^ b1);
    }
}

// One thread per index with bit q1 clear (a 0 inserted at q1); those with bit q0 set act.
template <typename T>
__global__ void cu_swap_kernel_pair(int64_t n, CuComplex<T>* state, int32_t q0, int32_t q1, uint64_t control_mask,
                                    uint64_t control_value) {
    const uint64_t k = global_thread_index();
    if (k >= (uint64_t{1} << (n - 1))) {
        return;
    }
    const uint64_t b0 = uint64_t{1} << q0;
    const uint64_t b1 = uint64_t{1} << q1;
    const uint64_t i = insert_zero_at(k, q1);
    if ((i & b0) != 0 && (i & control_mask) == control_value) {
        swap_amplitudes(state, i, i ^ b0 ^ b1);
    }
}

// One thread per quadruple (both target bits cleared); tests the controls. Blocks of 512.
template <typename T>
__global__ void swap_control_scan(int64_t n, CuComplex<T>* state, int32_t q0, int32_t q1, uint64_t control_mask,
                                  uint64_t control_value) {
    const uint64_t k = global_thread_index();
    if (k >= (uint64_t{1} << (n - 2))) {
        return;
    }
    const uint64_t i = insert_zero_pair(k, q0, q1);
    if ((i & control_mask) == control_value) {
        swap_amplitudes(state, i | (uint64_t{1} << q0), i | (uint64_t{1} << q1));
    }
}

// Uncontrolled: consecutive threads touch consecutive amplitudes when lo is not tiny.
template <typename T>
__global__ void swap_no_control(uint64_t count, CuComplex<T>* state, int32_t lo, int32_t hi, uint64_t b0, uint64_t b1) {
    const uint64_t k = global_thread_index();
    if (k >= count) {
        return;
    }
    const uint64_t i = insert_zero_at(insert_zero_at(k, lo), hi);
    swap_amplitudes(state, i | b0, i | b1);
}

// A target is qubit 0, with controls: i = k-th index with the targets clear and the controls
// at their values, so every thread acts.
template <typename T>
__global__ void swap_target0_compact(uint64_t count, CuComplex<T>* state, uint64_t fixed_mask, uint64_t fixed_value,
                                     uint64_t other_bit) {
    const uint64_t k = global_thread_index();
    if (k >= count) {
        return;
    }
    const uint64_t i = expand_index(k, fixed_mask, fixed_value);
    swap_amplitudes(state, i | 1, i | other_bit);
}

// A target is qubit 0, no controls: zeros inserted at bit 0 and at the other target.
template <typename T>
__global__ void swap_target0_no_control(uint64_t count, CuComplex<T>* state, uint64_t other_bit) {
    const uint64_t k = global_thread_index();
    if (k >= count) {
        return;
    }
    const uint64_t i = insert_zero_bit(k << 1, other_bit);
    swap_amplitudes(state, i | 1, i | other_bit);
}

}  // namespace velqa
