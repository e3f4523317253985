// Device code of the density unitary kernels: rho <- U_c rho U_c^dagger in place.
// Kernels only; geometry, validation and error checks live in dravik_unitary.cu.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#pragma once

#include <cuda_runtime.h>

#include <cstdint>
#include <quorra_bits.cuh>
#include <quorra_dense_tile.cuh>

#include "../state/dravik_device_state.cuh"
#include "dravik_unitary.cuh"

namespace quorra::dravik {

// Row and column of the element owned by a thread of a (32, 8) two-dimensional launch.
__device__ __forceinline__ uint64_t element_column() {
    return static_cast<uint64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
}
__device__ __forceinline__ uint64_t element_row() {
    return static_cast<uint64_t>(blockIdx.y) * blockDim.y + threadIdx.y;
}

// The basis-index offset of local index j: bit b of j set -> qubit targets[b] set.
template <int K>
__host__ __device__ __forceinline__ uint64_t local_offset(const DeviceTargets& targets, uint64_t j) {
    uint64_t offset = 0;
    for (int b = 0; b < K; ++b) {
        offset |= ((j >> b) & 1) << targets.targets[b];
    }
    return offset;
}

template <int K>
__host__ __device__ __forceinline__ uint64_t target_mask_of(const DeviceTargets& targets) {
    return local_offset<K>(targets, (uint64_t{1} << K) - 1);
}

// B <- U_r B U_c^dagger for the 2x2 block B = [[b00, b01], [b10, b11]] and the row-major
// 2x2 U = [u0, u1; u2, u3]: U_r is U when the row side is on, else the identity; U_c
// likewise for the column side.
template <typename T>
__host__ __device__ __forceinline__ void conjugate_block(const CuComplex<T> (&u)[4], bool row_on, bool col_on,
                                                         CuComplex<T>& b00, CuComplex<T>& b01, CuComplex<T>& b10,
                                                         CuComplex<T>& b11) {
    const CuComplex<T> zero{T(0), T(0)};
    if (row_on) {  // B <- U B
        const CuComplex<T> n00 = mul_add(u[0] * b00, u[1], b10), n01 = mul_add(u[0] * b01, u[1], b11);
        const CuComplex<T> n10 = mul_add(u[2] * b00, u[3], b10), n11 = mul_add(u[2] * b01, u[3], b11);
        b00 = n00, b01 = n01, b10 = n10, b11 = n11;
    }
    if (col_on) {  // B <- B U^dagger: (B U^dagger)[i][j] = sum_l B[i][l] conj(U[j][l])
        const CuComplex<T> n00 = mul_add_conj(mul_add_conj(zero, b00, u[0]), b01, u[1]);
        const CuComplex<T> n01 = mul_add_conj(mul_add_conj(zero, b00, u[2]), b01, u[3]);
        const CuComplex<T> n10 = mul_add_conj(mul_add_conj(zero, b10, u[0]), b11, u[1]);
        const CuComplex<T> n11 = mul_add_conj(mul_add_conj(zero, b10, u[2]), b11, u[3]);
        b00 = n00, b01 = n01, b10 = n10, b11 = n11;
    }
}

// One target. Thread t owns the 2x2 block of row group t >> (n-1) and column group
// t & (R-1) (column groups fastest, so a warp reads along rows) and applies
// B <- U_r B U_c^dagger, where U_r (U_c) is U if the row (column) base satisfies the
// controls and the identity otherwise.
template <typename T, int K>
__global__ void unitary_merged_kernel(CuComplex<T>* data, int64_t dimension, DeviceTargets targets,
                                      uint64_t control_mask, uint64_t control_values, const CuComplex<T>* matrix) {
    static_assert(K == 1, "the merged kernel takes one target");
    const uint64_t t = global_thread_index();
    const int64_t rest_count = targets.rest_count;
    const uint64_t groups = uint64_t{1} << rest_count;
    if (t >= groups * groups) {
        return;
    }
    const uint64_t bit = uint64_t{1} << targets.targets[0];
    const uint64_t br = insert_zero_bits(t >> rest_count, bit);
    const uint64_t bc = insert_zero_bits(t & (groups - 1), bit);
    const bool row_on = (br & control_mask) == control_values;
    const bool col_on = (bc & control_mask) == control_values;
    if (!row_on && !col_on) {
        return;
    }
    const uint64_t d = static_cast<uint64_t>(dimension);
    CuComplex<T>* row0 = data + br * d + bc;
    CuComplex<T>* row1 = row0 + bit * d;
    CuComplex<T> b00 = row0[0], b01 = row0[bit], b10 = row1[0], b11 = row1[bit];
    const CuComplex<T> u[4] = {matrix[0], matrix[1], matrix[2], matrix[3]};
    conjugate_block(u, row_on, col_on, b00, b01, b10, b11);
    row0[0] = b00;
    row0[bit] = b01;
    row1[0] = b10;
    row1[bit] = b11;
}

// Two targets. Four neighbouring threads (t & 3 = their quarter) share one 4x4 block, and
// thread `quarter` writes row `quarter` of U_r B U_c^dagger. The four read the same
// addresses in the same instruction, which the hardware serves once; the next bits of t
// pick the column group, so a warp covers eight neighbouring column groups. Every thread
// reads what it needs, the block meets at the barrier, then threads write: no element is
// overwritten before all its readers are done.
template <typename T>
__global__ void unitary_merged_row2_kernel(CuComplex<T>* data, int64_t dimension, DeviceTargets targets,
                                           uint64_t control_mask, uint64_t control_values, const CuComplex<T>* matrix) {
    const uint64_t t = global_thread_index();
    const int64_t rest_count = targets.rest_count;
    const uint64_t groups = uint64_t{1} << rest_count;
    const uint64_t quarter = t & 3;
    const uint64_t gc = (t >> 2) & (groups - 1);
    const uint64_t gr = t >> (rest_count + 2);

    const uint64_t bit0 = uint64_t{1} << targets.targets[0];
    const uint64_t bit1 = uint64_t{1} << targets.targets[1];
    const uint64_t offsets[4] = {0, bit0, bit1, bit0 | bit1};
    // Computed rather than looked up, so `offsets` is only ever indexed by unrolled constants.
    const uint64_t own_row = ((quarter & 1) != 0 ? bit0 : 0) | ((quarter & 2) != 0 ? bit1 : 0);
    const uint64_t d = static_cast<uint64_t>(dimension);
    CuComplex<T> out[4];
    CuComplex<T>* corner = data;
    bool write = false;
    if (gr < groups) {
        const uint64_t br = insert_zero_bits(gr, bit0 | bit1);
        const uint64_t bc = insert_zero_bits(gc, bit0 | bit1);
        const bool row_on = (br & control_mask) == control_values;
        const bool col_on = (bc & control_mask) == control_values;
        write = row_on || col_on;
        corner = data + br * d + bc;
        if (write) {
            const CuComplex<T> zero{T(0), T(0)};
            // row `quarter` of U_r B
            CuComplex<T> left[4];
            if (row_on) {
                CuComplex<T> rows[4][4];
                for (int a = 0; a < 4; ++a) {
                    for (int b = 0; b < 4; ++b) {
                        rows[a][b] = corner[offsets[a] * d + offsets[b]];
                    }
                }
                for (int b = 0; b < 4; ++b) {
                    CuComplex<T> sum = zero;
                    for (int a = 0; a < 4; ++a) {
                        sum = mul_add(sum, matrix[quarter * 4 + a], rows[a][b]);
                    }
                    left[b] = sum;
                }
            } else {
                for (int b = 0; b < 4; ++b) {
                    left[b] = corner[own_row * d + offsets[b]];
                }
            }
            for (int l = 0; l < 4; ++l) {
                if (col_on) {
                    CuComplex<T> sum = zero;
                    for (int b = 0; b < 4; ++b) {
                        sum = mul_add_conj(sum, left[b], matrix[l * 4 + b]);
                    }
                    out[l] = sum;
                } else {
                    out[l] = left[l];
                }
            }
        }
    }
    __syncthreads();
    if (write) {
        for (int l = 0; l < 4; ++l) {
            corner[own_row * d + offsets[l]] = out[l];
        }
    }
}

// Three to six targets, left product rho <- U_c rho: U on the row bits of the index
// row * D + column, under the controls on the row. A tile spans the target rows and a run of
// neighbouring columns (quorra_dense_tile.cuh), so a warp reads and writes whole rows.
template <typename T, int K>
__global__ void QUORRA_DENSE_TILE_BOUNDS unitary_left_kernel(CuComplex<T>* data, const CuComplex<T>* matrix,
                                                             DenseTilePlan plan) {
    dense_tile_apply<CuComplex<T>, K, false>(data, plan, matrix);
}

// Three to six targets, right product rho <- rho U_c^dagger: row r of the result is
// conj(U) applied to row r on the column bits, under the controls on the column. A tile
// spans the target columns and the lowest other columns of one or more rows.
template <typename T, int K>
__global__ void QUORRA_DENSE_TILE_BOUNDS unitary_right_kernel(CuComplex<T>* data, const CuComplex<T>* matrix,
                                                              DenseTilePlan plan) {
    dense_tile_apply<CuComplex<T>, K, true>(data, plan, matrix);
}

// Uncontrolled diagonal: only the blocks whose row and column differ in the target bit
// change, by a = d1 conj(d0) (row bit set) or b = conj(a) (column bit set).
template <typename T>
__global__ void diagonal_free_kernel(CuComplex<T>* data, int64_t dimension, uint64_t target_mask, CuComplex<T> a,
                                     CuComplex<T> b) {
    const uint64_t r = element_row();
    const uint64_t c = element_column();
    const uint64_t d = static_cast<uint64_t>(dimension);
    if (r >= d || c >= d) {
        return;
    }
    const bool row_bit = (r & target_mask) != 0;
    const bool col_bit = (c & target_mask) != 0;
    if (row_bit == col_bit) {
        return;
    }
    CuComplex<T>& element = data[r * d + c];
    element = (row_bit ? a : b) * element;
}

// Controlled diagonal: rho[r][c] <- f(r) rho[r][c] conj(f(c)), f = 1 off the controls,
// d1 or d0 on them by the target bit.
template <typename T>
__global__ void diagonal_controlled_kernel(CuComplex<T>* data, int64_t dimension, uint64_t target_mask,
                                           uint64_t control_mask, uint64_t control_values, CuComplex<T> diag0,
                                           CuComplex<T> diag1) {
    const uint64_t r = element_row();
    const uint64_t c = element_column();
    const uint64_t d = static_cast<uint64_t>(dimension);
    if (r >= d || c >= d) {
        return;
    }
    const bool row_on = (r & control_mask) == control_values;
    const bool col_on = (c & control_mask) == control_values;
    if (!row_on && !col_on) {
        return;
    }
    CuComplex<T>& element = data[r * d + c];
    CuComplex<T> value = element;
    if (row_on) {
        value = ((r & target_mask) != 0 ? diag1 : diag0) * value;
    }
    if (col_on) {
        value = value * conj((c & target_mask) != 0 ? diag1 : diag0);
    }
    element = value;
}

// pi(x): x where the controls fail; otherwise x with the masked bit flipped (X), or with
// the two masked bits exchanged when they differ (SWAP). pi is its own inverse.
__host__ __device__ __forceinline__ uint64_t permuted_index(uint64_t x, uint64_t permutation_mask,
                                                            uint64_t control_mask, uint64_t control_values,
                                                            bool permutation_is_swap) {
    if ((x & control_mask) != control_values) {
        return x;
    }
    if (permutation_is_swap) {
        const uint64_t bits = x & permutation_mask;
        return (bits == 0 || bits == permutation_mask) ? x : x ^ permutation_mask;
    }
    return x ^ permutation_mask;
}

// rho'[r][c] = rho[pi(r)][pi(c)] in place: the thread of the smaller element index of each
// exchanged pair swaps the pair, so every pair moves exactly once.
template <typename T>
__global__ void permutation_kernel(CuComplex<T>* data, int64_t dimension, uint64_t permutation_mask,
                                   uint64_t control_mask, uint64_t control_values, bool permutation_is_swap) {
    const uint64_t r = element_row();
    const uint64_t c = element_column();
    const uint64_t d = static_cast<uint64_t>(dimension);
    if (r >= d || c >= d) {
        return;
    }
    const uint64_t pr = permuted_index(r, permutation_mask, control_mask, control_values, permutation_is_swap);
    const uint64_t pc = permuted_index(c, permutation_mask, control_mask, control_values, permutation_is_swap);
    const uint64_t self = r * d + c;
    const uint64_t other = pr * d + pc;
    if (other <= self) {
        return;  // a fixed element, or the partner's thread does the exchange
    }
    const CuComplex<T> mine = data[self];
    data[self] = data[other];
    data[other] = mine;
}

}  // namespace quorra::dravik
