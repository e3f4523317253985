// Device side of the tiled dense product (plan: quorra_dense_tile_plan.hpp): every vector of
// 2^K elements that shares its non-target index bits is replaced by M times it (or conj(M)
// times it, the right-hand factor of rho U^dagger), in place.
//
// A block of kDenseTileThreads threads takes tiles one after another. It reads a tile with
// consecutive threads on consecutive elements, keeps it in shared memory as 2^K rows of
// 2^(L-K) vectors, and each thread forms `Outputs` rows of one vector from the shared tile
// and the matrix; the results go back through shared memory and are written in the order
// they were read. The matrix sits in shared memory too: whole when it fits its share, else
// in chunks of columns that each tile walks through. Every element is read and written once
// per pass at the element's full width, and no thread holds a 2^K vector in registers.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#pragma once

#include <cuda_runtime.h>

#include <cstddef>
#include <cstdint>

#include "quorra_bits.cuh"
#include "quorra_complex.cuh"
#include "quorra_dense_tile_plan.hpp"
#include "quorra_launch.cuh"

#if QUORRA_HOST_BUILD
#define QUORRA_DENSE_UNROLL _Pragma("GCC unroll 8")
#define QUORRA_DENSE_UNROLL_PAIRS _Pragma("GCC unroll 2")
#else
#define QUORRA_DENSE_UNROLL _Pragma("unroll")
#define QUORRA_DENSE_UNROLL_PAIRS _Pragma("unroll 2")
#endif

// For the kernels built on dense_tile_apply: their block size, and enough blocks per SM in
// registers that loading one tile overlaps the products of others (four: 1024 threads, the
// most an SM of compute capability 7.5 holds).
#if QUORRA_HOST_BUILD
#define QUORRA_DENSE_TILE_BOUNDS
#else
#define QUORRA_DENSE_TILE_BOUNDS __launch_bounds__(::quorra::kDenseTileThreads, 4)
#endif

namespace quorra {

// Shared memory of one block: at most 16 KiB of tile and 32 KiB of matrix, within the 48 KiB
// a block gets without opting in.
constexpr size_t kDenseTileBytes = 16384;
constexpr size_t kDenseMatrixBytes = 32768;

// The unit the dynamic shared memory is declared in: one type for every instantiation, with
// the alignment of the widest element.
struct alignas(16) DenseTileWord {
    double a;
    double b;
};

template <typename C>
__host__ __device__ constexpr int dense_tile_max_bits() {
    return sizeof(C) == 16 ? 10 : 11;  // 2^L elements fill kDenseTileBytes
}

// Rows of the result each thread forms: a full tile keeps all threads busy.
template <typename C>
__host__ __device__ constexpr int dense_tile_outputs() {
    return (1 << dense_tile_max_bits<C>()) / kDenseTileThreads;
}

// Matrix columns staged at a time.
template <typename C, int K>
__host__ __device__ constexpr int dense_matrix_chunk() {
    constexpr size_t whole = size_t{1} << K;
    constexpr size_t fit = kDenseMatrixBytes / (whole * sizeof(C));
    return static_cast<int>(fit < whole ? fit : whole);
}

template <typename C, int K>
inline size_t dense_tile_shared_bytes(const DenseTilePlan& plan) {
    return (size_t{sizeof(C)} << plan.tile_bits) + (size_t{1} << K) * dense_matrix_chunk<C, K>() * sizeof(C);
}

// Spreads bits [from, to) of e to the index (or slot) bits the table names. The loop runs
// over every possible tile bit so that, unrolled by the compiler, it reads the plan's tables at fixed offsets
// in the kernel's parameter space instead of copying them to local memory.
__host__ __device__ __forceinline__ uint64_t dense_spread(uint64_t e, const int8_t* table, int from, int to) {
    uint64_t result = 0;
    for (int b = 0; b < kDenseTileMaxBits; ++b) {
        if (b >= from && b < to) {
            result |= ((e >> b) & 1) << table[b];
        }
    }
    return result;
}

// Where slot (row i, vector w) lives in the shared tile: w is XORed with the low bits of i, so
// that threads which load neighbouring elements of different rows (targets among the lowest
// index bits) hit different banks, while a warp reading one row still reads a permutation of
// one aligned run of vectors.
__host__ __device__ __forceinline__ uint32_t dense_tile_place(uint32_t slot, int vector_bits) {
    return slot ^ ((slot >> vector_bits) & ((uint32_t{1} << vector_bits) - 1));
}

// Columns [first, first + Chunk) of the row-major 2^K x 2^K matrix into `staged`, row-major.
template <typename C, int K, int Chunk>
__device__ __forceinline__ void dense_stage_matrix(const C* matrix, C* staged, int first) {
    for (int e = static_cast<int>(threadIdx.x); e < (1 << K) * Chunk; e += kDenseTileThreads) {
        staged[e] = matrix[(e / Chunk) * (1 << K) + first + e % Chunk];
    }
}

// data[i] for every index i whose target bits form a vector: v <- M v (Conjugate: conj(M) v).
// Launch with kDenseTileThreads threads and dense_tile_shared_bytes<C, K>(plan) bytes of
// dynamic shared memory; any grid size (blocks stride over the tiles).
template <typename C, int K, bool Conjugate>
__device__ __forceinline__ void dense_tile_apply(C* data, const DenseTilePlan& plan, const C* matrix) {
    constexpr int kSize = 1 << K;
    constexpr int kOutputs = dense_tile_outputs<C>();
    constexpr int kChunk = dense_matrix_chunk<C, K>();
    constexpr bool kWholeMatrix = kChunk == kSize;
    static_assert(kOutputs <= kSize && kSize % kChunk == 0, "tile geometry");
    QUORRA_DYNAMIC_SHARED(DenseTileWord, dense_shared);
    C* tile = reinterpret_cast<C*>(dense_shared);
    C* staged = tile + (size_t{1} << plan.tile_bits);

    const int tile_bits = plan.tile_bits;
    const int vector_bits = plan.vector_bits;
    const uint32_t elements = uint32_t{1} << tile_bits;
    const uint32_t vectors = uint32_t{1} << vector_bits;
    const uint32_t tid = threadIdx.x;
    const int low_bits = tile_bits < 8 ? tile_bits : 8;  // the bits of tid that index a tile
    const uint64_t own_offset = dense_spread(tid, plan.position, 0, low_bits);
    const uint32_t own_slot = static_cast<uint32_t>(dense_spread(tid, plan.slot, 0, low_bits));
    // Thread roles in the product: vector `column`, rows first_row .. first_row + kOutputs - 1.
    const bool computes = tid < elements / kOutputs;
    const uint32_t column = tid % vectors;
    const uint32_t first_row = (tid / vectors) * kOutputs;

    if (kWholeMatrix) {
        dense_stage_matrix<C, K, kChunk>(matrix, staged, 0);
    }
    for (uint64_t t = blockIdx.x; t < plan.tiles; t += gridDim.x) {
        C* base = data + (deposit_bits(t, plan.outer_mask) | plan.control_value);
        for (uint32_t e = tid; e < elements; e += kDenseTileThreads) {
            tile[dense_tile_place(own_slot | static_cast<uint32_t>(dense_spread(e, plan.slot, 8, tile_bits)),
                                  vector_bits)] = base[own_offset | dense_spread(e, plan.position, 8, tile_bits)];
        }
        __syncthreads();  // the tile (and, on the first pass, the matrix) is in place
        C acc[kOutputs];
        for (int r = 0; r < kOutputs; ++r) {
            acc[r] = C{0, 0};
        }
        for (int first = 0; first < kSize; first += kChunk) {
            if (!kWholeMatrix) {
                dense_stage_matrix<C, K, kChunk>(matrix, staged, first);
                __syncthreads();
            }
            if (computes) {
                QUORRA_DENSE_UNROLL_PAIRS
                for (int i = 0; i < kChunk; ++i) {
                    const uint32_t row = static_cast<uint32_t>(first + i);
                    const C x = tile[row * vectors + (column ^ (row & (vectors - 1)))];
                    QUORRA_DENSE_UNROLL
                    for (int r = 0; r < kOutputs; ++r) {
                        const C m = staged[(first_row + r) * kChunk + i];
                        acc[r] = Conjugate ? mul_add_conj(acc[r], x, m) : mul_add(acc[r], m, x);
                    }
                }
            }
            if (!kWholeMatrix) {
                __syncthreads();  // the next chunk overwrites the staged columns
            }
        }
        if (kWholeMatrix) {
            __syncthreads();  // every thread has read the tile
        }
        if (computes) {
            for (int r = 0; r < kOutputs; ++r) {
                const uint32_t row = first_row + r;
                tile[row * vectors + (column ^ (row & (vectors - 1)))] = acc[r];
            }
        }
        __syncthreads();
        for (uint32_t e = tid; e < elements; e += kDenseTileThreads) {
            base[own_offset | dense_spread(e, plan.position, 8, tile_bits)] = tile[dense_tile_place(
                own_slot | static_cast<uint32_t>(dense_spread(e, plan.slot, 8, tile_bits)), vector_bits)];
        }
        __syncthreads();  // the next tile overwrites this one
    }
}

}  // namespace quorra
