// Device code of fused density groups: a whole group's gates applied to one 2^k x 2^k tile
// of rho held in shared memory.
// Kernels only; geometry, validation and error checks live in density_sparsesharemem.cu.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#pragma once

#include <cuda_runtime.h>

#include <cstdint>
#include <quorra_cube_run.cuh>
#include <quorra_launch.cuh>
#include <quorra_tile_runs.cuh>
#include <quorra_unroll.cuh>

#include "../state/dravik_device_state.cuh"
#include "density_sparsesharemem.cuh"
#include "dravik_kraus_kernels.cuh"
#include "dravik_unitary_channel_kernels.cuh"
#include "dravik_unitary_kernels.cuh"

namespace quorra::dravik {

// A thread's cube: the 2^C x 2^C elements of the tile whose rows, and whose columns,
// differ only in the C cube bits, held in registers while a run of gates is applied. Every
// index below is a compile-time constant after unrolling, so no array is placed in local
// memory.
template <typename T, int C>
struct DensityCube {
    static constexpr int kSide = 1 << C;
    CuComplex<T> v[kSide][kSide];
    uint32_t row[kSide];  // local row index of v[i][*]: row origin plus bit b of i at the b-th cube bit
    uint32_t col[kSide];  // local column index of v[*][j], likewise
};

// Sets the cube's local rows and columns: the origins plus every combination of the cube bits.
template <typename T, int C>
__device__ __forceinline__ void place_density_cube(DensityCube<T, C>& cube, uint32_t row_origin, uint32_t col_origin,
                                                   uint32_t cube_bits) {
    uint32_t offset[DensityCube<T, C>::kSide];
    quorra::cube_offsets<C>(cube_bits, offset);
    QUORRA_UNROLL
    for (int i = 0; i < DensityCube<T, C>::kSide; ++i) {
        cube.row[i] = row_origin | offset[i];
        cube.col[i] = col_origin | offset[i];
    }
}

// Where the cube's elements live: in the shared tile (row-major, side 2^k, each element at its
// tile_slot), or in rho itself. The first run of a tile loads its cubes straight from rho and
// the last run stores them there, so neither needs a barrier to stage the tile through shared
// memory.
template <typename T, int C>
struct CubePlace {
    CuComplex<T>* base;
    uint64_t row[1 << C];  // element offset of each cube row, and of each cube column
    uint64_t col[1 << C];
    bool in_tile;
    __device__ __forceinline__ CuComplex<T>& at(int i, int j) const {
        const uint64_t index = row[i] + col[j];
        return base[in_tile ? quorra::tile_slot(static_cast<uint32_t>(index)) : index];
    }
};

template <typename T, int C>
__device__ __forceinline__ CubePlace<T, C> in_tile(const DensityCube<T, C>& cube, CuComplex<T>* tile, uint32_t side) {
    CubePlace<T, C> place{tile, {}, {}, true};
    QUORRA_UNROLL
    for (int i = 0; i < DensityCube<T, C>::kSide; ++i) {
        place.row[i] = static_cast<uint64_t>(cube.row[i]) * side;
        place.col[i] = cube.col[i];
    }
    return place;
}

// Local index x of the tile is rho index base | deposit(x, active_mask); deposits of disjoint
// bits combine by OR, so the cube's corners need only small deposits beyond the origin's.
template <typename T, int C>
__device__ __forceinline__ CubePlace<T, C> in_rho(const DensityCube<T, C>& cube, CuComplex<T>* data, uint64_t d,
                                                  uint64_t row_base, uint64_t col_base, uint64_t active_mask) {
    CubePlace<T, C> place{data, {}, {}, false};
    const uint64_t row_origin = row_base | deposit_bits(cube.row[0], active_mask);
    const uint64_t col_origin = col_base | deposit_bits(cube.col[0], active_mask);
    QUORRA_UNROLL
    for (int i = 0; i < DensityCube<T, C>::kSide; ++i) {
        const uint64_t spread = i == 0 ? 0 : deposit_bits(cube.row[i] ^ cube.row[0], active_mask);
        place.row[i] = (row_origin | spread) * d;
        place.col[i] = col_origin | spread;
    }
    return place;
}

template <typename T, int C>
__device__ __forceinline__ void load_density_cube(DensityCube<T, C>& cube, const CubePlace<T, C>& place) {
    QUORRA_UNROLL
    for (int i = 0; i < DensityCube<T, C>::kSide; ++i) {
        QUORRA_UNROLL
        for (int j = 0; j < DensityCube<T, C>::kSide; ++j) {
            cube.v[i][j] = place.at(i, j);
        }
    }
}

template <typename T, int C>
__device__ __forceinline__ void store_density_cube(const DensityCube<T, C>& cube, const CubePlace<T, C>& place) {
    QUORRA_UNROLL
    for (int i = 0; i < DensityCube<T, C>::kSide; ++i) {
        QUORRA_UNROLL
        for (int j = 0; j < DensityCube<T, C>::kSide; ++j) {
            place.at(i, j) = cube.v[i][j];
        }
    }
}

// op(row_on, col_on, b00, b01, b10, b11) on every 2x2 block of the cube on cube bit R: rows
// (and columns) i and i | 2^R. row_on (col_on) says whether the block's rows (columns) meet
// the controls; control bits are never the target bit, so both rows of a block agree.
template <int R, typename T, int C, typename Op>
__device__ __forceinline__ void for_each_block(DensityCube<T, C>& cube, uint32_t control_mask, uint32_t control_values,
                                               Op op) {
    constexpr int kPartner = 1 << R;
    QUORRA_UNROLL
    for (int i = 0; i < DensityCube<T, C>::kSide; ++i) {
        if ((i & kPartner) == 0) {
            const bool row_on = (cube.row[i] & control_mask) == control_values;
            QUORRA_UNROLL
            for (int j = 0; j < DensityCube<T, C>::kSide; ++j) {
                if ((j & kPartner) == 0) {
                    const bool col_on = (cube.col[j] & control_mask) == control_values;
                    op(row_on, col_on, cube.v[i][j], cube.v[i][j | kPartner], cube.v[i | kPartner][j],
                       cube.v[i | kPartner][j | kPartner]);
                }
            }
        }
    }
}

// A Diagonal gate scales each element on its own: rho[r][c] <- f(r) rho[r][c] conj(f(c)),
// f(x) = 1 off the controls, else diag1 where x has the target bit and diag0 where not. It
// mixes no elements, so its target need not be a cube bit.
template <typename T, int C>
__device__ __forceinline__ void apply_density_diagonal(DensityCube<T, C>& cube, const DeviceDensityGate<T>& gate) {
    const uint32_t control_mask = static_cast<uint32_t>(gate.control_mask);
    const uint32_t control_values = static_cast<uint32_t>(gate.control_values);
    const uint32_t bit = uint32_t{1} << gate.target;
    const auto factor = [&](uint32_t x) {
        const CuComplex<T> one{T(1), T(0)};
        return (x & control_mask) != control_values ? one : (x & bit) != 0 ? gate.diag1 : gate.diag0;
    };
    QUORRA_UNROLL
    for (int i = 0; i < DensityCube<T, C>::kSide; ++i) {
        const CuComplex<T> row_factor = factor(cube.row[i]);
        QUORRA_UNROLL
        for (int j = 0; j < DensityCube<T, C>::kSide; ++j) {
            cube.v[i][j] = row_factor * cube.v[i][j] * conj(factor(cube.col[j]));
        }
    }
}

// Local bits a gate mixes: none for a Diagonal gate, its target otherwise.
template <typename T>
__device__ __forceinline__ uint32_t density_mixed_bits(const DeviceDensityGate<T>& gate) {
    return gate.kind == static_cast<int32_t>(DensityGateKind::Diagonal) ? 0 : uint32_t{1} << gate.target;
}

// One gate whose target is cube bit R.
template <int R, typename T, int C>
__device__ __forceinline__ void apply_density_gate(DensityCube<T, C>& cube, const DeviceDensityGate<T>& gate) {
    const uint32_t control_mask = static_cast<uint32_t>(gate.control_mask);
    const uint32_t control_values = static_cast<uint32_t>(gate.control_values);
    switch (static_cast<DensityGateKind>(gate.kind)) {
        case DensityGateKind::Matrix: {
            const CuComplex<T> u[4] = {gate.matrix[0], gate.matrix[1], gate.matrix[2], gate.matrix[3]};
            for_each_block<R>(cube, control_mask, control_values,
                              [&](bool row_on, bool col_on, CuComplex<T>& b00, CuComplex<T>& b01, CuComplex<T>& b10,
                                  CuComplex<T>& b11) { conjugate_block(u, row_on, col_on, b00, b01, b10, b11); });
            break;
        }
        case DensityGateKind::Flip:  // rows and/or columns exchanged where the controls hold
            for_each_block<R>(cube, control_mask, control_values,
                              [](bool row_on, bool col_on, CuComplex<T>& b00, CuComplex<T>& b01, CuComplex<T>& b10,
                                 CuComplex<T>& b11) {
                                  if (row_on) {
                                      const CuComplex<T> t0 = b00, t1 = b01;
                                      b00 = b10, b01 = b11, b10 = t0, b11 = t1;
                                  }
                                  if (col_on) {
                                      const CuComplex<T> t0 = b00, t1 = b10;
                                      b00 = b01, b10 = b11, b01 = t0, b11 = t1;
                                  }
                              });
            break;
        default: {
            const ChannelFactors<T> f = channel_factors<T>(gate.channel_kind, gate.channel_parameter);
            for_each_block<R>(cube, 0, 0,
                              [&](bool, bool, CuComplex<T>& b00, CuComplex<T>& b01, CuComplex<T>& b10,
                                  CuComplex<T>& b11) { channel_block(f, b00, b01, b10, b11); });
            break;
        }
    }
}

// One gate on a cube that holds the bit it mixes.
template <typename T, int C>
__device__ __forceinline__ void apply_density_record(DensityCube<T, C>& cube, uint32_t cube_bits,
                                                     const DeviceDensityGate<T>& gate) {
    if (gate.kind == static_cast<int32_t>(DensityGateKind::Diagonal)) {
        apply_density_diagonal(cube, gate);
        return;
    }
    quorra::with_constant<C>(__popc(cube_bits & ((uint32_t{1} << gate.target) - 1)),
                             [&](auto rank) { apply_density_gate<decltype(rank)::value>(cube, gate); });
}

// The hooks of quorra::run_tiles for the tiles of this block with cubes of C bits
// (C = min(k, 2)). Cube c has row part c / cube_cols and column part c % cube_cols, each
// spread over the other local bits, so neighbouring threads own neighbouring columns.
template <typename T, int C>
struct DensityTiles {
    CuComplex<T>* data;
    CuComplex<T>* tile;
    uint64_t d;
    uint64_t active_mask;
    uint64_t inactive_mask;
    int64_t rest_count;
    const DeviceDensityGate<T>* gates;
    uint32_t side;
    uint32_t cube_cols;
    uint64_t row_base;  // the tile's row and column parts, spread over the inactive bits
    uint64_t col_base;

    __device__ __forceinline__ uint32_t mixed(int64_t r) const { return density_mixed_bits(gates[r]); }

    __device__ __forceinline__ void enter_tile(uint64_t t) {
        row_base = deposit_bits(t >> rest_count, inactive_mask);
        col_base = deposit_bits(t & ((uint64_t{1} << rest_count) - 1), inactive_mask);
    }

    __device__ __forceinline__ void enter_run(const quorra::TileRun&) {}  // a cube finds its own places

    __device__ __forceinline__ DensityCube<T, C> place(uint32_t c, const quorra::TileRun& run) const {
        DensityCube<T, C> cube;
        place_density_cube(cube, static_cast<uint32_t>(deposit_bits(c / cube_cols, run.others)),
                           static_cast<uint32_t>(deposit_bits(c % cube_cols, run.others)), run.cube_bits);
        return cube;
    }

    __device__ __forceinline__ void load_state(DensityCube<T, C>& cube) const {
        load_density_cube(cube, in_rho(cube, data, d, row_base, col_base, active_mask));
    }
    __device__ __forceinline__ void load_tile(DensityCube<T, C>& cube) const {
        load_density_cube(cube, in_tile(cube, tile, side));
    }
    __device__ __forceinline__ void store_state(const DensityCube<T, C>& cube) const {
        store_density_cube(cube, in_rho(cube, data, d, row_base, col_base, active_mask));
    }
    __device__ __forceinline__ void store_tile(const DensityCube<T, C>& cube) const {
        store_density_cube(cube, in_tile(cube, tile, side));
    }

    __device__ __forceinline__ void apply(DensityCube<T, C>& cube, uint32_t cube_bits, int64_t r) const {
        apply_density_record(cube, cube_bits, gates[r]);
    }
};

// The tiles of this block with cubes of C bits. Gates are taken in runs whose mixed bits fit
// in C local bits; within a run each thread applies every gate of the run to its own cubes in
// registers, so a barrier is needed only between runs.
template <typename T, int C>
__device__ __forceinline__ void density_tiles(CuComplex<T>* data, CuComplex<T>* tile, uint64_t d, uint64_t tiles,
                                              uint64_t active_mask, uint64_t inactive_mask, int64_t k,
                                              int64_t rest_count, const DeviceDensityGate<T>* gates,
                                              int64_t gate_count) {
    const uint32_t side = uint32_t{1} << k;
    const uint32_t cube_cols = side >> C;
    DensityTiles<T, C> hooks{data, tile, d, active_mask, inactive_mask, rest_count, gates, side, cube_cols, 0, 0};
    quorra::run_tiles<C>(hooks, tiles, gate_count, side, cube_cols * cube_cols);
}

// A fused group. Launch: min(tiles, 65535) blocks of any size, 4^k x sizeof(CuComplex<T>)
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
    // k is the same for the whole launch, so every thread takes the same branch.
    if (k >= 2) {
        density_tiles<T, 2>(data, tile, d, tiles, active_mask, inactive_mask, k, rest_count, gates, gate_count);
    } else {
        density_tiles<T, 1>(data, tile, d, tiles, active_mask, inactive_mask, k, rest_count, gates, gate_count);
    }
}

}  // namespace quorra::dravik
