// Device code of fused density groups: a whole group's gates applied to one 2^k x 2^k tile
// of rho held in shared memory.
// Kernels only; geometry, validation and error checks live in density_sparsesharemem.cu.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#pragma once

#include <cuda_runtime.h>

#include <cstdint>
#include <quorra_launch.cuh>

#include "../state/dravik_device_state.cuh"
#include "density_sparsesharemem.cuh"
#include "dravik_kraus_kernels.cuh"
#include "dravik_unitary_channel_kernels.cuh"
#include "dravik_unitary_kernels.cuh"

namespace quorra::dravik {

// The bits of `value` placed, lowest first, at the set positions of `mask`.
__host__ __device__ __forceinline__ uint64_t deposit_bits(uint64_t value, uint64_t mask) {
    uint64_t out = 0;
    for (uint64_t b = 1; mask != 0; b <<= 1) {
        const uint64_t lowest = mask & (~mask + 1);
        if ((value & b) != 0) {
            out |= lowest;
        }
        mask ^= lowest;
    }
    return out;
}

// The gates [first, last), all on one target bit, on the whole tile (side 2^k, row-major
// in shared memory). The threads share the 4^(k-1) 2x2 blocks on that bit; each thread
// reads its block once, applies every gate of the range to it and writes it back, so no
// barrier is needed between gates on the same bit. Control bits are never the target
// bit, so the two rows (columns) of a block agree on the controls.
template <typename T>
__device__ __forceinline__ void apply_density_gates(CuComplex<T>* tile, int64_t k, const DeviceDensityGate<T>* first,
                                                    const DeviceDensityGate<T>* last) {
    const uint64_t side = uint64_t{1} << k;
    const uint64_t half = side >> 1;
    const uint64_t bit = uint64_t{1} << first->target;
    const CuComplex<T> one{T(1), T(0)};
    for (uint64_t item = threadIdx.x; item < half * half; item += blockDim.x) {
        const uint64_t r0 = insert_zero_bits(item >> (k - 1), bit);
        const uint64_t c0 = insert_zero_bits(item & (half - 1), bit);
        CuComplex<T>* top = tile + r0 * side + c0;
        CuComplex<T>* bottom = top + bit * side;
        CuComplex<T> b00 = top[0], b01 = top[bit], b10 = bottom[0], b11 = bottom[bit];
        for (const DeviceDensityGate<T>* gate = first; gate != last; ++gate) {
            const uint64_t control_mask = static_cast<uint32_t>(gate->control_mask);
            const uint64_t control_values = static_cast<uint32_t>(gate->control_values);
            const bool row_on = (r0 & control_mask) == control_values;
            const bool col_on = (c0 & control_mask) == control_values;
            switch (static_cast<DensityGateKind>(gate->kind)) {
                case DensityGateKind::Matrix:
                    conjugate_block(gate->matrix, row_on, col_on, b00, b01, b10, b11);
                    break;
                case DensityGateKind::Diagonal: {  // f(r) B conj(f(c)), f = 1 off the controls
                    const CuComplex<T> r0f = row_on ? gate->diag0 : one, r1f = row_on ? gate->diag1 : one;
                    const CuComplex<T> c0f = conj(col_on ? gate->diag0 : one), c1f = conj(col_on ? gate->diag1 : one);
                    b00 = r0f * b00 * c0f, b01 = r0f * b01 * c1f, b10 = r1f * b10 * c0f, b11 = r1f * b11 * c1f;
                    break;
                }
                case DensityGateKind::Flip: {  // rows and/or columns exchanged where the controls hold
                    if (row_on) {
                        const CuComplex<T> t0 = b00, t1 = b01;
                        b00 = b10, b01 = b11, b10 = t0, b11 = t1;
                    }
                    if (col_on) {
                        const CuComplex<T> t0 = b00, t1 = b10;
                        b00 = b01, b10 = b11, b01 = t0, b11 = t1;
                    }
                    break;
                }
                default:
                    channel_block(channel_factors<T>(gate->channel_kind, gate->channel_parameter), b00, b01, b10, b11);
                    break;
            }
        }
        top[0] = b00;
        top[bit] = b01;
        bottom[0] = b10;
        bottom[bit] = b11;
    }
}

// A fused group. Launch: min(tiles, 65535) blocks of 128 threads, 4^k x sizeof(CuComplex<T>)
// bytes of dynamic shared memory. Tile t takes row part t >> (n-k) and column part
// t & (2^(n-k) - 1), each spread over the inactive bits; its local indices run over the
// active bits. Each block loops over tiles blockIdx.x, + gridDim.x, ...: the loop bound is
// the same for all threads of a block, so every thread meets every barrier.
template <typename T>
__global__ void density_sparsesharemem_kernel(CuComplex<T>* data, int64_t dimension, uint64_t tiles,
                                              uint64_t active_mask, uint64_t inactive_mask, int64_t k,
                                              int64_t rest_count, const DeviceDensityGate<T>* gates,
                                              int64_t gate_count) {
    QUORRA_DYNAMIC_SHARED(double2, shared_words);  // one non-template type for every T
    CuComplex<T>* tile = reinterpret_cast<CuComplex<T>*>(shared_words);
    const uint64_t d = static_cast<uint64_t>(dimension);
    const uint64_t side = uint64_t{1} << k;
    const uint64_t elements = side * side;
    for (uint64_t t = blockIdx.x; t < tiles; t += gridDim.x) {
        const uint64_t row_base = deposit_bits(t >> rest_count, inactive_mask);
        const uint64_t col_base = deposit_bits(t & ((uint64_t{1} << rest_count) - 1), inactive_mask);
        for (uint64_t e = threadIdx.x; e < elements; e += blockDim.x) {
            const uint64_t row = row_base | deposit_bits(e >> k, active_mask);
            tile[e] = data[row * d + (col_base | deposit_bits(e & (side - 1), active_mask))];
        }
        __syncthreads();
        // Consecutive gates on one target bit form one phase; the bound of every loop
        // depends on the records only, so all threads meet the same barriers.
        for (int64_t g = 0; g < gate_count;) {
            int64_t end = g + 1;
            while (end < gate_count && gates[end].target == gates[g].target) {
                ++end;
            }
            apply_density_gates(tile, k, gates + g, gates + end);
            __syncthreads();  // the next phase sees this one's complete result
            g = end;
        }
        for (uint64_t e = threadIdx.x; e < elements; e += blockDim.x) {
            const uint64_t row = row_base | deposit_bits(e >> k, active_mask);
            data[row * d + (col_base | deposit_bits(e & (side - 1), active_mask))] = tile[e];
        }
        __syncthreads();  // the tile is written back before the next one is loaded
    }
}

}  // namespace quorra::dravik
