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

// Local bits a record mixes: none for a diagonal record, both targets of a SWAP, otherwise
// its target.
template <typename T>
__device__ __forceinline__ uint32_t mixed_bits(const DeviceMatrixGate<T>& g) {
    if (g.kind == static_cast<int32_t>(MatrixGateKind::Diagonal)) {
        return 0;
    }
    const uint32_t bits = uint32_t{1} << g.target0;
    return g.kind == static_cast<int32_t>(MatrixGateKind::Swap) ? bits | (uint32_t{1} << g.target1) : bits;
}

// Set bits of a local mask (at most 10 of them).
__device__ __forceinline__ int local_bit_count(uint32_t mask) {
    int count = 0;
    for (; mask != 0; mask &= mask - 1) {
        ++count;
    }
    return count;
}

// Position of the single set bit `bit` among the set bits of `mask`.
__device__ __forceinline__ uint32_t rank_in(uint32_t mask, uint32_t bit) {
    return static_cast<uint32_t>(local_bit_count(mask & (bit - 1)));
}

// Tile position m of a cube: origin with the bits of m deposited into cube_bits (at most
// three). Worked out on the fly: an indexed array of positions would live in local memory.
__device__ __forceinline__ uint32_t cube_position(uint32_t origin, uint32_t cube_bits, uint32_t m) {
    uint32_t position = origin;
    for (uint32_t bits = cube_bits; bits != 0 && m != 0; bits &= bits - 1, m >>= 1) {
        if ((m & 1) != 0) {
            position |= bits & (~bits + 1);
        }
    }
    return position;
}

// One record on a cube: the 2^c tile positions cube_position(origin, S, m) that differ only in
// the bits of S. Every bit the record mixes lies in S, so the cube's owner needs no other
// thread's data.
template <typename T>
__device__ __forceinline__ void apply_to_cube(CuComplex<T>* tile, uint32_t origin, uint32_t cube_size,
                                              uint32_t cube_bits, const DeviceMatrixGate<T>& g) {
    const uint32_t control_mask = static_cast<uint32_t>(g.control_mask);
    const uint32_t control_value = static_cast<uint32_t>(g.control_value);
    const uint32_t b0 = uint32_t{1} << g.target0;
    if (g.kind == static_cast<int32_t>(MatrixGateKind::Diagonal)) {
        for (uint32_t m = 0; m < cube_size; ++m) {
            const uint32_t j = cube_position(origin, cube_bits, m);
            if (((j & ~b0) & control_mask) == control_value) {
                tile[j] = ((j & b0) != 0 ? g.m[3] : g.m[0]) * tile[j];
            }
        }
        return;
    }
    const uint32_t p0 = uint32_t{1} << rank_in(cube_bits, b0);
    if (g.kind == static_cast<int32_t>(MatrixGateKind::Swap)) {
        const uint32_t p1 = uint32_t{1} << rank_in(cube_bits, uint32_t{1} << g.target1);
        for (uint32_t m = 0; m < cube_size; ++m) {
            // Position m has target0 bit 0 and target1 bit 1; its partner the other way round.
            const uint32_t j = cube_position(origin, cube_bits, m);
            if ((m & p0) == 0 && (m & p1) != 0 && (j & control_mask) == control_value) {
                const uint32_t partner = cube_position(origin, cube_bits, m ^ p0 ^ p1);
                const CuComplex<T> a = tile[j];
                tile[j] = tile[partner];
                tile[partner] = a;
            }
        }
        return;
    }
    for (uint32_t m = 0; m < cube_size; ++m) {
        const uint32_t j = cube_position(origin, cube_bits, m);
        if ((m & p0) == 0 && (j & control_mask) == control_value) {
            apply_pair(tile, j, cube_position(origin, cube_bits, m | p0), g);
        }
    }
}

// Applies the records in order to every tile: the 2^k amplitudes that share one setting of
// the inactive qubits, with local bit b at the b-th lowest set bit of active_mask.
//
// Records are taken in runs whose mixed bits S span at most kMaxCubeBits local bits. Within a
// run each thread owns whole cubes (positions that differ only in S) and applies every record
// of the run to them, so a barrier is needed only between runs, not between records.
template <typename T>
__global__ void sparsesharemem_kernel(CuComplex<T>* state, unsigned long long num_tiles, unsigned long long active_mask,
                                      unsigned long long inactive_mask, int k, const DeviceMatrixGate<T>* gates,
                                      int gate_count) {
    // One shared declaration for both precisions; double2 keeps either element aligned.
    QUORRA_DYNAMIC_SHARED(double2, shared_words);
    CuComplex<T>* tile = reinterpret_cast<CuComplex<T>*>(shared_words);
    constexpr int kMaxCubeBits = 3;
    const uint32_t lane = threadIdx.x;
    const uint32_t size = uint32_t{1} << k;
    const int cube_limit = k < kMaxCubeBits ? k : kMaxCubeBits;
    // Deposits are additive under masked_add, so the positions of a thread's amplitudes and
    // the next tile's base follow from a few per-launch constants instead of bit loops.
    const uint64_t lane_offset = deposit_bits(lane, active_mask);
    const uint64_t lane_step = deposit_bits(kSparseShareMemThreads, active_mask);
    const uint64_t tile_step = deposit_bits(gridDim.x, inactive_mask);
    uint64_t base = deposit_bits(blockIdx.x, inactive_mask);
    for (unsigned long long t = blockIdx.x; t < num_tiles;
         t += gridDim.x, base = masked_add(base, tile_step, inactive_mask)) {
        uint64_t offset = lane_offset;
        for (uint32_t j = lane; j < size;
             j += kSparseShareMemThreads, offset = masked_add(offset, lane_step, active_mask)) {
            tile[j] = state[base | offset];
        }
        int first = 0;
        while (first < gate_count) {
            // Every thread finds the same run, so all of them meet the same barriers.
            uint32_t cube_bits = mixed_bits(gates[first]);
            int end = first + 1;
            while (end < gate_count && local_bit_count(cube_bits | mixed_bits(gates[end])) <= cube_limit) {
                cube_bits |= mixed_bits(gates[end]);
                ++end;
            }
            const uint32_t cube_size = uint32_t{1} << local_bit_count(cube_bits);
            const uint32_t cubes = size / cube_size;
            const uint32_t others = (size - 1) & ~cube_bits;
            __syncthreads();
            for (uint32_t c = lane; c < cubes; c += kSparseShareMemThreads) {
                const uint32_t origin = static_cast<uint32_t>(deposit_bits(c, others));
                for (int r = first; r < end; ++r) {
                    const DeviceMatrixGate<T> g = gates[r];
                    apply_to_cube(tile, origin, cube_size, cube_bits, g);
                }
            }
            first = end;
        }
        __syncthreads();
        offset = lane_offset;
        for (uint32_t j = lane; j < size;
             j += kSparseShareMemThreads, offset = masked_add(offset, lane_step, active_mask)) {
            state[base | offset] = tile[j];
        }
        // The next tile's loads must not overwrite amplitudes other threads still store.
        __syncthreads();
    }
}

}  // namespace velqa::fusion
