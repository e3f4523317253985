// SparseShareMem kernel: device code only; the launcher in velqa_sparsesharemem.cu owns
// validation and geometry. Read by nvcc (cuda build) and by g++ against the host stand-in.
//
// Launch contract: blocks of kSparseShareMemThreads threads, 2^k * sizeof(CuComplex<T>)
// bytes of dynamic shared memory (the tile), any grid size; block b handles the tiles
// b, b + gridDim.x, ... so every block runs the same number of barriers per tile.
#pragma once

#include <cuda_runtime.h>

#include <cstdint>

#include "fusion/velqa_matrix_gate.hpp"
#include "gates/velqa_index_bits.cuh"
#include "quorra_launch.cuh"
#include "state/velqa_device_state.cuh"

namespace velqa::fusion {

constexpr unsigned kSparseShareMemThreads = 128;

// i * (x, y) for a real x: the product with a purely imaginary matrix entry.
template <typename T>
__device__ __forceinline__ CuComplex<T> times_i(T x, CuComplex<T> a) {
    return CuComplex<T>{-x * a.im, x * a.re};
}

// One 2x2 record on the pair (j0, j0 | target bit) of the tile; the shortcuts give the same
// amplitudes as the general product with the record's matrix.
template <typename T>
__device__ __forceinline__ void apply_pair(CuComplex<T>* tile, uint32_t j0, uint32_t j1, const DeviceMatrixGate<T>& g) {
    const CuComplex<T> a0 = tile[j0];
    const CuComplex<T> a1 = tile[j1];
    switch (static_cast<MatrixGateKind>(g.kind)) {
        case MatrixGateKind::PauliX:
            tile[j0] = a1;
            tile[j1] = a0;
            break;
        case MatrixGateKind::PauliY:
            tile[j0] = CuComplex<T>{a1.im, -a1.re};
            tile[j1] = CuComplex<T>{-a0.im, a0.re};
            break;
        case MatrixGateKind::Hadamard:
            tile[j0] = g.m[0].re * (a0 + a1);
            tile[j1] = g.m[0].re * (a0 - a1);
            break;
        case MatrixGateKind::Diagonal:
            tile[j0] = g.m[0] * a0;
            tile[j1] = g.m[3] * a1;
            break;
        case MatrixGateKind::RotX:
            tile[j0] = g.m[0].re * a0 + times_i(g.m[1].im, a1);
            tile[j1] = times_i(g.m[2].im, a0) + g.m[3].re * a1;
            break;
        case MatrixGateKind::RotY:
            tile[j0] = g.m[0].re * a0 + g.m[1].re * a1;
            tile[j1] = g.m[2].re * a0 + g.m[3].re * a1;
            break;
        default:
            tile[j0] = g.m[0] * a0 + g.m[1] * a1;
            tile[j1] = g.m[2] * a0 + g.m[3] * a1;
            break;
    }
}

// One record on the whole tile of 2^k amplitudes; `lane` strides over the block's threads.
template <typename T>
__device__ __forceinline__ void apply_record(CuComplex<T>* tile, int k, const DeviceMatrixGate<T>& g, uint32_t lane) {
    const uint32_t control_mask = static_cast<uint32_t>(g.control_mask);
    const uint32_t control_value = static_cast<uint32_t>(g.control_value);
    const uint32_t b0 = uint32_t{1} << g.target0;
    if (g.kind == static_cast<int32_t>(MatrixGateKind::Swap)) {
        const uint32_t b1 = uint32_t{1} << g.target1;
        const int32_t lo = g.target0 < g.target1 ? g.target0 : g.target1;
        const int32_t hi = g.target0 < g.target1 ? g.target1 : g.target0;
        const uint32_t quarter = (uint32_t{1} << k) >> 2;
        for (uint32_t p = lane; p < quarter; p += kSparseShareMemThreads) {
            // j01: target0 bit 0 and target1 bit 1; its partner has them the other way round.
            const uint32_t j01 = static_cast<uint32_t>(insert_zero_at(insert_zero_at(p, lo), hi)) | b1;
            if ((j01 & control_mask) == control_value) {
                const uint32_t j10 = j01 ^ b0 ^ b1;
                const CuComplex<T> a = tile[j01];
                tile[j01] = tile[j10];
                tile[j10] = a;
            }
        }
        return;
    }
    const uint32_t half = (uint32_t{1} << k) >> 1;
    for (uint32_t p = lane; p < half; p += kSparseShareMemThreads) {
        const uint32_t j0 = static_cast<uint32_t>(insert_zero_at(p, g.target0));
        if ((j0 & control_mask) == control_value) {
            apply_pair(tile, j0, j0 | b0, g);
        }
    }
}

// Applies the records in order to every tile: the 2^k amplitudes that share one setting of
// the inactive qubits, with local bit b at the b-th lowest set bit of active_mask.
template <typename T>
__global__ void sparsesharemem_kernel(CuComplex<T>* state, unsigned long long num_tiles, unsigned long long active_mask,
                                      unsigned long long inactive_mask, int k, const DeviceMatrixGate<T>* gates,
                                      int gate_count) {
    // One shared declaration for both precisions; double2 keeps either element aligned.
    QUORRA_DYNAMIC_SHARED(double2, shared_words);
    CuComplex<T>* tile = reinterpret_cast<CuComplex<T>*>(shared_words);
    const uint32_t lane = threadIdx.x;
    const uint32_t size = uint32_t{1} << k;
    for (unsigned long long t = blockIdx.x; t < num_tiles; t += gridDim.x) {
        const uint64_t base = deposit_bits(t, inactive_mask);
        for (uint32_t j = lane; j < size; j += kSparseShareMemThreads) {
            tile[j] = state[base | deposit_bits(j, active_mask)];
        }
        for (int r = 0; r < gate_count; ++r) {
            __syncthreads();
            const DeviceMatrixGate<T> g = gates[r];
            apply_record(tile, k, g, lane);
        }
        __syncthreads();
        for (uint32_t j = lane; j < size; j += kSparseShareMemThreads) {
            state[base | deposit_bits(j, active_mask)] = tile[j];
        }
        // The next tile's loads must not overwrite amplitudes other threads still store.
        __syncthreads();
    }
}

}  // namespace velqa::fusion
