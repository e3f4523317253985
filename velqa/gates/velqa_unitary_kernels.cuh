// UNITARY kernels: device code only; the launcher in velqa_unitary.cu owns validation,
// buffers and geometry. Read by nvcc (cuda build) and by g++ against the host stand-in.
//
// Local basis index: bit j of a matrix row or column index is the value of targets[j], so
// targets[0] is the least significant bit. Every kernel replaces each group of 2^k amplitudes
// that share their non-target bits (and satisfy the controls) by M times the group.
#pragma once

#include <cuda_runtime.h>

#include <cstdint>

#include "gates/velqa_index_bits.cuh"
#include "quorra_dense_tile.cuh"
#include "state/velqa_device_state.cuh"

// Full unrolling keeps the per-thread amplitude groups in registers.
#if QUORRA_HOST_BUILD
#define VELQA_UNROLL _Pragma("GCC unroll 32")
#else
#define VELQA_UNROLL _Pragma("unroll")
#endif

namespace velqa {

// Row-major, passed by value so that no device copy precedes the launch.
template <typename T>
struct Unitary2x2 {
    CuComplex<T> m00, m01, m10, m11;
};

template <typename T>
struct Unitary4x4 {
    CuComplex<T> m[16];
};

template <typename T>
__device__ __forceinline__ void apply_unitary_2x2(CuComplex<T>* state, uint64_t i0, uint64_t i1,
                                                  const Unitary2x2<T>& u) {
    const CuComplex<T> a0 = state[i0];
    const CuComplex<T> a1 = state[i1];
    state[i0] = u.m00 * a0 + u.m01 * a1;
    state[i1] = u.m10 * a0 + u.m11 * a1;
}

// Group (i, i|b0, i|b1, i|b0|b1): local index = value of q0 + 2 * value of q1.
template <typename T>
__device__ __forceinline__ void apply_unitary_4x4(CuComplex<T>* state, uint64_t i, uint64_t b0, uint64_t b1,
                                                  const Unitary4x4<T>& u) {
    const uint64_t index[4] = {i, i | b0, i | b1, i | b0 | b1};
    CuComplex<T> a[4];
    VELQA_UNROLL
    for (int c = 0; c < 4; ++c) {
        a[c] = state[index[c]];
    }
    VELQA_UNROLL
    for (int r = 0; r < 4; ++r) {
        CuComplex<T> acc = u.m[4 * r] * a[0];
        VELQA_UNROLL
        for (int c = 1; c < 4; ++c) {
            acc = acc + u.m[4 * r + c] * a[c];
        }
        state[index[r]] = acc;
    }
}

// ---- one target ----

// Pair shape: 2^(n-1) threads, a 0 inserted at the target, controls tested.
template <typename T>
__global__ void cu_unitary_1q_inplace_kernel(int64_t n, CuComplex<T>* state, int32_t target, uint64_t control_mask,
                                             uint64_t control_value, Unitary2x2<T> u) {
    const uint64_t k = global_thread_index();
    if (k >= (uint64_t{1} << (n - 1))) {
        return;
    }
    const uint64_t i0 = insert_zero_at(k, target);
    if ((i0 & control_mask) == control_value) {
        apply_unitary_2x2(state, i0, i0 | (uint64_t{1} << target), u);
    }
}

template <typename T>
__global__ void unitary_1q_compact(uint64_t count, CuComplex<T>* state, uint64_t fixed_mask, uint64_t fixed_value,
                                   uint64_t target_bit, Unitary2x2<T> u) {
    const uint64_t k = global_thread_index();
    if (k >= count) {
        return;
    }
    const uint64_t i0 = expand_index(k, fixed_mask, fixed_value);
    apply_unitary_2x2(state, i0, i0 | target_bit, u);
}

template <typename T>
__global__ void unitary_1q_target0_compact(uint64_t count, CuComplex<T>* state, uint64_t fixed_mask,
                                           uint64_t fixed_value, Unitary2x2<T> u) {
    const uint64_t k = global_thread_index();
    if (k >= count) {
        return;
    }
    const uint64_t i0 = expand_index(k, fixed_mask, fixed_value);
    apply_unitary_2x2(state, i0, i0 + 1, u);
}

template <typename T>
__global__ void unitary_1q_no_control(uint64_t count, CuComplex<T>* state, uint64_t target_bit, Unitary2x2<T> u) {
    const uint64_t k = global_thread_index();
    if (k >= count) {
        return;
    }
    const uint64_t i0 = insert_zero_bit(k, target_bit);
    apply_unitary_2x2(state, i0, i0 | target_bit, u);
}

template <typename T>
__global__ void unitary_1q_target0_no_control(uint64_t count, CuComplex<T>* state, Unitary2x2<T> u) {
    const uint64_t k = global_thread_index();
    if (k >= count) {
        return;
    }
    apply_unitary_2x2(state, 2 * k, 2 * k + 1, u);
}

// ---- two targets ----

// 2^(n-2) threads, zeros inserted at both targets, controls tested.
template <typename T>
__global__ void cu_unitary_2q_inplace_kernel(int64_t n, CuComplex<T>* state, int32_t q0, int32_t q1,
                                             uint64_t control_mask, uint64_t control_value, Unitary4x4<T> u) {
    const uint64_t k = global_thread_index();
    if (k >= (uint64_t{1} << (n - 2))) {
        return;
    }
    const uint64_t i = insert_zero_pair(k, q0, q1);
    if ((i & control_mask) == control_value) {
        apply_unitary_4x4(state, i, uint64_t{1} << q0, uint64_t{1} << q1, u);
    }
}

template <typename T>
__global__ void unitary_2q_compact(uint64_t count, CuComplex<T>* state, uint64_t fixed_mask, uint64_t fixed_value,
                                   uint64_t b0, uint64_t b1, Unitary4x4<T> u) {
    const uint64_t k = global_thread_index();
    if (k >= count) {
        return;
    }
    apply_unitary_4x4(state, expand_index(k, fixed_mask, fixed_value), b0, b1, u);
}

template <typename T>
__global__ void unitary_2q_no_control(uint64_t count, CuComplex<T>* state, int32_t lo, int32_t hi, uint64_t b0,
                                      uint64_t b1, Unitary4x4<T> u) {
    const uint64_t k = global_thread_index();
    if (k >= count) {
        return;
    }
    apply_unitary_4x4(state, insert_zero_at(insert_zero_at(k, lo), hi), b0, b1, u);
}

// One target is qubit 0; Q0IsZero says which. Uncontrolled launches pass zero masks.
template <typename T, bool Q0IsZero, bool Controlled>
__global__ void unitary_2q_target0(uint64_t count, CuComplex<T>* state, uint64_t other_bit, uint64_t fixed_mask,
                                   uint64_t fixed_value, Unitary4x4<T> u) {
    const uint64_t k = global_thread_index();
    if (k >= count) {
        return;
    }
    const uint64_t i = Controlled ? expand_index(k, fixed_mask, fixed_value) : insert_zero_bit(k << 1, other_bit);
    const uint64_t b0 = Q0IsZero ? uint64_t{1} : other_bit;
    const uint64_t b1 = Q0IsZero ? other_bit : uint64_t{1};
    apply_unitary_4x4(state, i, b0, b1, u);
}

// ---- three to five targets, matrix in device memory ----

// In place, a block per tile of groups (quorra_dense_tile.cuh): the group's 2^K amplitudes
// are spread over several threads and the matrix is staged in shared memory, so no thread
// holds a group in registers and every read of the state or the matrix is at full width.
// The plan carries the targets (which tile bit holds each local index bit), the low bits a
// tile spans and the controls; the device target lists the launcher uploads keep the launch
// signature but are not read here.
template <typename T, int K>
__global__ void QUORRA_DENSE_TILE_BOUNDS
cu_unitary_inplace_kernel(int64_t /*n*/, CuComplex<T>* state, const int64_t* /*targets*/,
                          const int64_t* /*sorted_targets*/, uint64_t /*target_mask*/, uint64_t /*control_mask*/,
                          uint64_t /*control_value*/, const CuComplex<T>* matrix, quorra::DenseTilePlan plan) {
    quorra::dense_tile_apply<CuComplex<T>, K, false>(state, plan, matrix);
}

}  // namespace velqa
