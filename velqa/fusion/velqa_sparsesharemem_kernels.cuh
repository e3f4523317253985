// SparseShareMem kernel: device code only; the launcher in velqa_sparsesharemem.cu owns
// validation and geometry. Read by nvcc (cuda build) and by g++ against the host stand-in.
//
// Launch contract: blocks of sparsesharemem_block_threads(k) threads (one per register cube),
// 2^k * sizeof(CuComplex<T>) bytes of dynamic shared memory (the tile), any grid size; block b
// handles the tiles b, b + gridDim.x, ... so every block runs the same number of barriers per
// tile.
#pragma once

#include <cuda_runtime.h>

#include <cstdint>

#include "fusion/velqa_matrix_gate.hpp"
#include "gates/velqa_index_bits.cuh"
#include "quorra_cube_run.cuh"
#include "quorra_launch.cuh"
#include "quorra_tile_runs.cuh"
#include "quorra_unroll.cuh"
#include "state/velqa_device_state.cuh"

namespace velqa::fusion {

// Cubes span up to four local bits: sixteen amplitudes a thread, few enough for the registers
// in complex128, and a run of records covers four qubits before the threads meet again.
constexpr int kMaxCubeBits = 4;

// One thread per register cube of a tile (2^(k-4) cubes of sixteen amplitudes), at least a
// warp: 64 threads for k = 10, the largest tile.
__host__ __forceinline__ unsigned sparsesharemem_block_threads(int64_t k) {
    const int64_t cube_bits = k < kMaxCubeBits ? k : kMaxCubeBits;
    const unsigned cubes = 1U << (k - cube_bits);
    return cubes > 32 ? cubes : 32;
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

// A thread's cube: the 2^C tile positions that differ only in the C cube bits, held in
// registers while a run of records is applied. Every index below is a compile-time constant
// after unrolling, so neither array is placed in local memory.
template <typename T, int C>
struct Cube {
    static constexpr int kSize = 1 << C;
    CuComplex<T> v[kSize];
    uint32_t at[kSize];     // tile position of v[m]: origin plus bit i of m at the i-th cube bit
    uint64_t state_origin;  // state index of at[0], for a run that reaches the state
};

// Sets the cube's tile positions: origin plus every combination of the cube bits.
template <typename T, int C>
__device__ __forceinline__ void place_cube(Cube<T, C>& cube, uint32_t origin, uint32_t cube_bits) {
    quorra::cube_offsets<C>(cube_bits, cube.at);
    QUORRA_UNROLL
    for (int m = 0; m < Cube<T, C>::kSize; ++m) {
        cube.at[m] |= origin;
    }
}

// Where the cube's amplitudes live: in the shared tile (each element at its tile_slot), or in
// the state itself. The first run of a tile loads its cubes straight from the state and the
// last run stores them there, so neither needs a barrier to stage the tile through shared
// memory.
template <typename T, int C>
struct CubePlace {
    CuComplex<T>* base;
    uint64_t at[1 << C];
    __device__ __forceinline__ CuComplex<T>& operator[](int m) const { return base[at[m]]; }
};

template <typename T, int C>
__device__ __forceinline__ CubePlace<T, C> in_tile(const Cube<T, C>& cube, CuComplex<T>* tile) {
    CubePlace<T, C> place{tile, {}};
    QUORRA_UNROLL
    for (int m = 0; m < Cube<T, C>::kSize; ++m) {
        place.at[m] = quorra::tile_slot(cube.at[m]);
    }
    return place;
}

// The cube's state indices: its origin's, then every combination of the cube bits as state
// bits (state_cube_bits: the run's cube bits deposited into the active qubits).
template <typename T, int C>
__device__ __forceinline__ CubePlace<T, C> in_state(CuComplex<T>* state, uint64_t origin, uint64_t state_cube_bits) {
    CubePlace<T, C> place{state, {}};
    quorra::cube_offsets<C>(state_cube_bits, place.at);
    QUORRA_UNROLL
    for (int m = 0; m < Cube<T, C>::kSize; ++m) {
        place.at[m] |= origin;
    }
    return place;
}

template <typename T, int C>
__device__ __forceinline__ void load_cube(Cube<T, C>& cube, const CubePlace<T, C>& place) {
    QUORRA_UNROLL
    for (int m = 0; m < Cube<T, C>::kSize; ++m) {
        cube.v[m] = place[m];
    }
}

template <typename T, int C>
__device__ __forceinline__ void store_cube(const Cube<T, C>& cube, const CubePlace<T, C>& place) {
    QUORRA_UNROLL
    for (int m = 0; m < Cube<T, C>::kSize; ++m) {
        place[m] = cube.v[m];
    }
}

// op(a0, a1) on every pair (m, m | 2^R) of the cube whose lower position meets the controls.
template <int R, typename T, int C, typename Op>
__device__ __forceinline__ void for_each_pair(Cube<T, C>& cube, uint32_t control_mask, uint32_t control_value, Op op) {
    QUORRA_UNROLL
    for (int m = 0; m < Cube<T, C>::kSize; ++m) {
        if (((m >> R) & 1) == 0 && (cube.at[m] & control_mask) == control_value) {
            op(cube.v[m], cube.v[m | (1 << R)]);
        }
    }
}

// i * (x, y) for a real x: the product with a purely imaginary matrix entry.
template <typename T>
__device__ __forceinline__ CuComplex<T> times_i(T x, CuComplex<T> a) {
    return CuComplex<T>{-x * a.im, x * a.re};
}

// A one-target record whose target is cube bit R. The shortcuts give the same amplitudes as
// the general product with the record's matrix.
template <int R, typename T, int C>
__device__ __forceinline__ void apply_mixing(Cube<T, C>& cube, const DeviceMatrixGate<T>& g) {
    const uint32_t mask = static_cast<uint32_t>(g.control_mask);
    const uint32_t value = static_cast<uint32_t>(g.control_value);
    const CuComplex<T> m00 = g.m[0];
    const CuComplex<T> m01 = g.m[1];
    const CuComplex<T> m10 = g.m[2];
    const CuComplex<T> m11 = g.m[3];
    switch (static_cast<MatrixGateKind>(g.kind)) {
        case MatrixGateKind::PauliX:
            for_each_pair<R>(cube, mask, value, [](CuComplex<T>& a0, CuComplex<T>& a1) {
                const CuComplex<T> t = a0;
                a0 = a1;
                a1 = t;
            });
            break;
        case MatrixGateKind::PauliY:
            for_each_pair<R>(cube, mask, value, [](CuComplex<T>& a0, CuComplex<T>& a1) {
                const CuComplex<T> t = a0;
                a0 = CuComplex<T>{a1.im, -a1.re};
                a1 = CuComplex<T>{-t.im, t.re};
            });
            break;
        case MatrixGateKind::Hadamard:
            for_each_pair<R>(cube, mask, value, [r = m00.re](CuComplex<T>& a0, CuComplex<T>& a1) {
                const CuComplex<T> t = a0;
                a0 = r * (t + a1);
                a1 = r * (t - a1);
            });
            break;
        case MatrixGateKind::RotX:
            for_each_pair<R>(cube, mask, value, [=](CuComplex<T>& a0, CuComplex<T>& a1) {
                const CuComplex<T> t = a0;
                a0 = m00.re * t + times_i(m01.im, a1);
                a1 = times_i(m10.im, t) + m11.re * a1;
            });
            break;
        case MatrixGateKind::RotY:
            for_each_pair<R>(cube, mask, value, [=](CuComplex<T>& a0, CuComplex<T>& a1) {
                const CuComplex<T> t = a0;
                a0 = m00.re * t + m01.re * a1;
                a1 = m10.re * t + m11.re * a1;
            });
            break;
        default:
            for_each_pair<R>(cube, mask, value, [=](CuComplex<T>& a0, CuComplex<T>& a1) {
                const CuComplex<T> t = a0;
                a0 = m00 * t + m01 * a1;
                a1 = m10 * t + m11 * a1;
            });
            break;
    }
}

// A SWAP record on cube bits R0 (target0) and R1 (target1): positions with bits (0, 1) there
// exchange with their (1, 0) partners.
template <int R0, int R1, typename T, int C>
__device__ __forceinline__ void apply_swap(Cube<T, C>& cube, const DeviceMatrixGate<T>& g) {
    if constexpr (R0 != R1) {
        const uint32_t mask = static_cast<uint32_t>(g.control_mask);
        const uint32_t value = static_cast<uint32_t>(g.control_value);
        QUORRA_UNROLL
        for (int m = 0; m < Cube<T, C>::kSize; ++m) {
            if (((m >> R0) & 1) == 0 && ((m >> R1) & 1) == 1 && (cube.at[m] & mask) == value) {
                const CuComplex<T> t = cube.v[m];
                cube.v[m] = cube.v[m ^ (1 << R0) ^ (1 << R1)];
                cube.v[m ^ (1 << R0) ^ (1 << R1)] = t;
            }
        }
    }
}

// One record on a cube that holds every bit the record mixes.
template <typename T, int C>
__device__ __forceinline__ void apply_record(Cube<T, C>& cube, uint32_t cube_bits, const DeviceMatrixGate<T>& g) {
    const uint32_t b0 = uint32_t{1} << g.target0;
    if (g.kind == static_cast<int32_t>(MatrixGateKind::Diagonal)) {
        const uint32_t mask = static_cast<uint32_t>(g.control_mask);
        const uint32_t value = static_cast<uint32_t>(g.control_value);
        QUORRA_UNROLL
        for (int m = 0; m < Cube<T, C>::kSize; ++m) {
            const uint32_t j = cube.at[m];
            if (((j & ~b0) & mask) == value) {
                cube.v[m] = ((j & b0) != 0 ? g.m[3] : g.m[0]) * cube.v[m];
            }
        }
        return;
    }
    const int r0 = __popc(cube_bits & (b0 - 1));
    if (g.kind == static_cast<int32_t>(MatrixGateKind::Swap)) {
        const int r1 = __popc(cube_bits & ((uint32_t{1} << g.target1) - 1));
        quorra::with_constant<C>(r0, [&](auto R0) {
            quorra::with_constant<C>(r1,
                                     [&](auto R1) { apply_swap<decltype(R0)::value, decltype(R1)::value>(cube, g); });
        });
        return;
    }
    quorra::with_constant<C>(r0, [&](auto R) { apply_mixing<decltype(R)::value>(cube, g); });
}

// The hooks of quorra::run_tiles for the tiles of this block with cubes of C bits
// (C = min(k, 4)). Tile position p is state index base | deposit(p, active_mask), base being
// the tile's setting of the inactive qubits.
template <typename T, int C>
struct StateTiles {
    CuComplex<T>* state;
    CuComplex<T>* tile;
    uint64_t active_mask;
    uint64_t inactive_mask;
    const DeviceMatrixGate<T>* gates;
    // Deposits are additive under masked_add, so the next tile's base follows from a
    // per-launch step instead of a bit loop.
    uint64_t tile_step;
    uint64_t base;  // of the tile entered last
    // Deposits of disjoint bits combine by OR, so cube c's origin in the state is base plus c
    // deposited into the other local bits' state bits. Set only for runs that reach the state.
    uint64_t state_others;
    uint64_t state_cube_bits;

    __device__ __forceinline__ uint32_t mixed(int r) const { return mixed_bits(gates[r]); }

    // The block's tiles come gridDim.x apart: one step each.
    __device__ __forceinline__ void enter_tile(uint64_t) { base = masked_add(base, tile_step, inactive_mask); }

    __device__ __forceinline__ void enter_run(const quorra::TileRun& run) {
        state_others = run.in_state ? deposit_bits(run.others, active_mask) : 0;
        state_cube_bits = run.in_state ? deposit_bits(run.cube_bits, active_mask) : 0;
    }

    __device__ __forceinline__ Cube<T, C> place(uint32_t c, const quorra::TileRun& run) const {
        Cube<T, C> cube;
        place_cube(cube, static_cast<uint32_t>(deposit_bits(c, run.others)), run.cube_bits);
        cube.state_origin = run.in_state ? base | deposit_bits(c, state_others) : 0;
        return cube;
    }

    __device__ __forceinline__ void load_state(Cube<T, C>& cube) const {
        load_cube(cube, in_state<T, C>(state, cube.state_origin, state_cube_bits));
    }
    __device__ __forceinline__ void load_tile(Cube<T, C>& cube) const { load_cube(cube, in_tile(cube, tile)); }
    __device__ __forceinline__ void store_state(const Cube<T, C>& cube) const {
        store_cube(cube, in_state<T, C>(state, cube.state_origin, state_cube_bits));
    }
    __device__ __forceinline__ void store_tile(const Cube<T, C>& cube) const { store_cube(cube, in_tile(cube, tile)); }

    __device__ __forceinline__ void apply(Cube<T, C>& cube, uint32_t cube_bits, int r) const {
        apply_record(cube, cube_bits, gates[r]);
    }
};

// The tiles of this block with cubes of C bits. Records are taken in runs whose mixed bits
// fit in C local bits; within a run each thread applies every record of the run to its own
// cubes in registers, so a barrier is needed only between runs, not between records.
template <typename T, int C>
__device__ __forceinline__ void sparsesharemem_tiles(CuComplex<T>* state, CuComplex<T>* tile,
                                                     unsigned long long num_tiles, unsigned long long active_mask,
                                                     unsigned long long inactive_mask, int k,
                                                     const DeviceMatrixGate<T>* gates, int gate_count) {
    const uint32_t size = uint32_t{1} << k;
    const uint64_t tile_step = deposit_bits(gridDim.x, inactive_mask);
    // One step before the block's first tile (modulo the tile count): enter_tile steps onto it.
    const uint64_t before_first = masked_sub(deposit_bits(blockIdx.x, inactive_mask), tile_step, inactive_mask);
    StateTiles<T, C> tiles{state, tile, active_mask, inactive_mask, gates, tile_step, before_first, 0, 0};
    quorra::run_tiles<C>(tiles, num_tiles, gate_count, size, size >> C);
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
    // k is the same for the whole launch, so every thread takes the same branch.
    if (k >= kMaxCubeBits) {
        sparsesharemem_tiles<T, kMaxCubeBits>(state, tile, num_tiles, active_mask, inactive_mask, k, gates, gate_count);
    } else if (k == 3) {
        sparsesharemem_tiles<T, 3>(state, tile, num_tiles, active_mask, inactive_mask, k, gates, gate_count);
    } else if (k == 2) {
        sparsesharemem_tiles<T, 2>(state, tile, num_tiles, active_mask, inactive_mask, k, gates, gate_count);
    } else {
        sparsesharemem_tiles<T, 1>(state, tile, num_tiles, active_mask, inactive_mask, k, gates, gate_count);
    }
}

}  // namespace velqa::fusion
