// Expectation-value kernels: Pauli strings that share one flip mask, and a dense matrix on a
// few targets. Device code only; the launcher unit velqa_expectation.cu owns validation,
// geometry and error checks. Every sum is formed in double in a fixed order: per thread in
// index order, then a fixed tree over the block, one partial per block, and the measurement's
// combining pass over the blocks, so equal states give equal bits however blocks are run.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#pragma once

#include <cuda_runtime.h>

#include <cstdint>
#include <cstring>

#include "gates/velqa_index_bits.cuh"
#include "measure/velqa_expectation.hpp"
#include "measure/velqa_measure_kernels.cuh"
#include "quorra_launch.cuh"
#include "quorra_unroll.cuh"
#include "state/velqa_device_state.cuh"

namespace velqa {

constexpr uint32_t kExpectationBlock = 256;
constexpr int32_t kExpectationLaneBits = 8;  // log2(kExpectationBlock)
// Sign columns of a pass: one word per work bit, then the running XORs of those words.
constexpr int32_t kSignColumns = 64;

// How a pass cuts its 2^(lane_bits + blocks_log2 + rounds_log2) work indices: block b owns the
// indices whose top blocks_log2 bits are b; below them, a thread's lane sits at lane_shift and
// its round at round_shift (one is 0, the other the width of the other field). Lanes at 0 make a
// round read consecutive amplitudes across the block (a GPU's coalescing); rounds at 0 make each
// thread read a contiguous run (the host stand-in, which runs a block's threads one by one).
struct ExpectationGeometry {
    int32_t lane_bits;
    int32_t blocks_log2;
    int32_t rounds_log2;
    int32_t lane_shift;
    int32_t round_shift;
};

// The work index of a thread's round `position` (already in visiting order).
__host__ __device__ __forceinline__ uint64_t work_index(const ExpectationGeometry& g, uint64_t block, uint64_t lane,
                                                        uint64_t position) {
    return (block << (g.lane_bits + g.rounds_log2)) | (lane << g.lane_shift) | (position << g.round_shift);
}

// Up to W strings that flip the same bits. pivot == 0: every index i adds |psi_i|^2 with its
// sign; otherwise pair p is i = p with a 0 inserted at `pivot` and j = i ^ flip, and adds Re or
// Im (bit s of imag_mask) of conj(partner_j) psi_i with the sign of i. On one state the pivot is
// a bit of flip and the partner is the state itself; for pairs that straddle two slices of a
// distributed state the pivot lies above every work bit (so i is the work index) and the
// partner is the other slice.
template <int W>
struct PauliBatch {
    uint64_t flip;
    uint64_t pivot;
    uint32_t imag_mask;
    uint64_t sign[W];
};

// (-1)^{popcount(v)} as a test: parity of the 64 bits folded into 32.
__device__ __forceinline__ bool odd_parity(uint64_t v) {
    return (__popc(static_cast<uint32_t>(v ^ (v >> 32))) & 1) != 0;
}

// Index of the lowest set bit of a non-zero value.
__device__ __forceinline__ int32_t lowest_bit(uint64_t v) {
    const uint64_t below = v ^ (v - 1);  // the lowest set bit and every bit under it
    return __popc(static_cast<uint32_t>(below)) + __popc(static_cast<uint32_t>(below >> 32)) - 1;
}

// v with its sign bit flipped when `bit` is 1: the signs follow the index bits with no pattern
// a branch predictor could learn, so the host build must not branch on them either.
__host__ __device__ __forceinline__ double negate_if(double v, uint32_t bit) {
    uint64_t raw = 0;
    memcpy(&raw, &v, sizeof(raw));
    raw ^= static_cast<uint64_t>(bit) << 63;
    memcpy(&v, &raw, sizeof(v));
    return v;
}

// The terms of one work index: |psi_i|^2 (pivot 0; no imaginary part), or conj(partner_j)
// psi_i of the pair i = work with a 0 inserted at the pivot, j = i ^ flip.
template <typename T, int W>
__device__ __forceinline__ void pauli_terms(const CuComplex<T>* state, const CuComplex<T>* partner,
                                            const PauliBatch<W>& batch, uint64_t work, double& re, double& im) {
    if (batch.pivot == 0) {
        re = norm2_wide(state[work]);
        im = 0.0;
        return;
    }
    const uint64_t i = insert_zero_bit(work, batch.pivot);
    const CuComplex<T> a = state[i];
    const CuComplex<T> b = partner[i ^ batch.flip];
    const double ar = static_cast<double>(a.re);
    const double ai = static_cast<double>(a.im);
    const double br = static_cast<double>(b.re);
    const double bi = static_cast<double>(b.im);
    re = br * ar + bi * ai;
    im = br * ai - bi * ar;
}

// Rounds a thread takes together: their terms are combined once into Walsh-Hadamard sums, and
// each string then adds one of those sums.
constexpr int32_t kGroupBits = 2;
constexpr int32_t kGroup = 1 << kGroupBits;

// In place: h[u] = sum_lo (-1)^{popcount(lo & u)} v[lo], by butterflies in a fixed order.
__device__ __forceinline__ void hadamard_group(double (&h)[kGroup]) {
    QUORRA_UNROLL
    for (int32_t width = 1; width < kGroup; width <<= 1) {
        QUORRA_UNROLL
        for (int32_t lo = 0; lo < kGroup; ++lo) {
            if ((lo & width) == 0) {
                const double a = h[lo];
                const double b = h[lo | width];
                h[lo] = a + b;
                h[lo | width] = a - b;
            }
        }
    }
}

// re[u] or (bit kGroupBits of `which`) im[u], u the low bits of `which`: on a GPU by selections
// on its bits, so the arrays stay in registers; a CPU reads the sum from the stack, one load
// instead of a chain of selects for every string of every group.
__device__ __forceinline__ double pick_group(const double (&re)[kGroup], const double (&im)[kGroup], uint32_t which) {
#if QUORRA_HOST_BUILD
    return (((which >> kGroupBits) & 1U) != 0 ? im : re)[which & (kGroup - 1)];
#else
    static_assert(kGroup == 4, "pick_group selects among four sums");
    const bool odd = (which & 1U) != 0;
    const bool high = (which & 2U) != 0;
    const double r = high ? (odd ? re[3] : re[2]) : (odd ? re[1] : re[0]);
    const double i = high ? (odd ? im[3] : im[2]) : (odd ? im[1] : im[0]);
    return (which & 4U) != 0 ? i : r;
#endif
}

// Sums of W strings. A thread takes its rounds in groups of kGroup: within a group the lowest round
// bits (lo) run in order, and a string's signs over the group are the group's sign times
// (-1)^{popcount(lo & u)}, u the string's sign bits at those positions, so the string adds one
// Walsh-Hadamard sum of the group's terms instead of kGroup signed terms. The groups run in
// ascending order (a stream the memory system can prefetch), and the signs of all W strings change
// together from one group to the next: columns[b] has bit s set when string s's sign mask holds
// the index bit of work bit b, and columns[kSignColumns + b] is the XOR of columns[0 ... b - 1],
// so one XOR of two of those words per group replaces W bit counts. Launch: 2^lane_bits threads
// (at most kExpectationBlock), 2^blocks_log2 blocks, no dynamic shared memory; partials[(s <<
// blocks_log2) | block] gets the block's sum of slot s, every entry written once.
template <typename T, int W>
__global__ void pauli_expectation_kernel(const CuComplex<T>* state, const CuComplex<T>* partner, PauliBatch<W> batch,
                                         const uint32_t* columns, ExpectationGeometry g, double* partials) {
    QUORRA_SHARED_ARRAY(double, tree, W* kExpectationBlock);
    const uint64_t lane = threadIdx.x;
    const uint64_t first = work_index(g, blockIdx.x, lane, 0);
    const uint64_t rounds = uint64_t{1} << g.rounds_log2;
    const uint64_t groups = rounds >= kGroup ? rounds >> kGroupBits : 1;
    const uint64_t first_index = batch.pivot == 0 ? first : insert_zero_bit(first, batch.pivot);
    // The bits of u for every string; with fewer rounds than a group the missing terms are 0 and
    // the bits that would weigh them do not matter.
    // Which sum each string adds: u, and the imaginary part above it. Fixed for the thread.
    uint32_t which[W];
    QUORRA_UNROLL
    for (int s = 0; s < W; ++s) {
        which[s] = ((batch.imag_mask >> s) & 1U) << kGroupBits;
        QUORRA_UNROLL
        for (int32_t b = 0; b < kGroupBits; ++b) {
            which[s] |= ((columns[g.round_shift + b] >> s) & 1U) << b;
        }
    }
    const uint32_t* flips_below = columns + kSignColumns;
    uint32_t negate = 0;
    QUORRA_UNROLL
    for (int s = 0; s < W; ++s) {
        negate |= odd_parity(first_index & batch.sign[s]) ? uint32_t{1} << s : 0U;
    }
    double acc[W];
    QUORRA_UNROLL
    for (int s = 0; s < W; ++s) {
        acc[s] = 0.0;
    }
    for (uint64_t q = 0; q < groups; ++q) {
        const uint64_t base = first | (q << (g.round_shift + kGroupBits));
        double hre[kGroup];
        double him[kGroup];
        QUORRA_UNROLL
        for (int32_t lo = 0; lo < kGroup; ++lo) {
            hre[lo] = 0.0;
            him[lo] = 0.0;
            if (static_cast<uint64_t>(lo) < rounds) {
                pauli_terms(state, partner, batch, base | (static_cast<uint64_t>(lo) << g.round_shift), hre[lo],
                            him[lo]);
            }
        }
        hadamard_group(hre);
        hadamard_group(him);
        QUORRA_UNROLL
        for (int s = 0; s < W; ++s) {
            acc[s] += negate_if(pick_group(hre, him, which[s]), (negate >> s) & 1U);
        }
        if (q + 1 < groups) {
            // q + 1 flips the group bits 0 ... lowest_bit(q + 1): work bits from round_shift + kGroupBits up.
            const int32_t low = g.round_shift + kGroupBits;
            negate ^= flips_below[low + lowest_bit(q + 1) + 1] ^ flips_below[low];
        }
    }
    const uint32_t lanes = blockDim.x;
    QUORRA_UNROLL
    for (int s = 0; s < W; ++s) {
        tree[s * kExpectationBlock + lane] = acc[s];
    }
    for (uint32_t width = lanes >> 1; width > 0; width >>= 1) {
        __syncthreads();
        if (lane < width) {
            QUORRA_UNROLL
            for (int s = 0; s < W; ++s) {
                tree[s * kExpectationBlock + lane] += tree[s * kExpectationBlock + lane + width];
            }
        }
    }
    // Lane 0 finishes every slot's last step; the lanes that store the slots wait for it.
    __syncthreads();
    if (lane < W) {
        // One lane writes each slot; a block of one thread writes them all.
        for (uint32_t s = static_cast<uint32_t>(lane); s < W; s += lanes) {
            partials[(uint64_t{s} << g.blocks_log2) | blockIdx.x] = tree[s * kExpectationBlock];
        }
    }
}

// The targets of a dense matrix: target_bit[j] is the index bit of targets[j]; `rest` the
// other bits of the state.
struct MatrixTargets {
    uint64_t target_bit[6];
    uint64_t rest;
    int32_t k;
};

// Real and imaginary parts of <psi|M|psi> for a 2^k x 2^k matrix (row-major, complex double).
// A round of a block takes kExpectationBlock >> k bases (indices with every target bit 0),
// one thread per (base, row): the thread's amplitude goes to shared memory, then it forms
// conj(psi_row) (M v)_row from its base's 2^k amplitudes. Launch: 2^lane_bits threads (at
// least 2^k), 2^blocks_log2 blocks; partials[(part << blocks_log2) | block], part 0 real and
// 1 imaginary.
template <typename T>
__global__ void matrix_expectation_kernel(const CuComplex<T>* state, const CuComplex<double>* matrix, MatrixTargets t,
                                          ExpectationGeometry g, double* partials) {
    QUORRA_SHARED_ARRAY(double, local_re, kExpectationBlock);
    QUORRA_SHARED_ARRAY(double, local_im, kExpectationBlock);
    QUORRA_SHARED_ARRAY(double, tree, 2 * kExpectationBlock);
    const uint32_t lane = threadIdx.x;
    const uint32_t lanes = blockDim.x;
    const uint32_t dim = uint32_t{1} << t.k;
    const uint32_t row = lane & (dim - 1);
    const uint32_t group = lane - row;  // first lane of the thread's base
    uint64_t row_bits = 0;
    // Fixed trip count, so the target bits are read as constants rather than through an index.
    QUORRA_UNROLL
    for (int32_t j = 0; j < 6; ++j) {
        row_bits |= (j < t.k && ((row >> j) & 1U) != 0) ? t.target_bit[j] : 0;
    }
    const uint64_t rounds = uint64_t{1} << g.rounds_log2;
    double sum_re = 0.0;
    double sum_im = 0.0;
    for (uint64_t r = 0; r < rounds; ++r) {
        const uint64_t base_number = work_index(g, blockIdx.x, lane, r) >> t.k;
        const uint64_t index = deposit_bits(base_number, t.rest) | row_bits;
        const CuComplex<T> a = state[index];
        local_re[lane] = static_cast<double>(a.re);
        local_im[lane] = static_cast<double>(a.im);
        __syncthreads();
        double mv_re = 0.0;
        double mv_im = 0.0;
        const CuComplex<double>* m_row = matrix + static_cast<uint64_t>(row) * dim;
        for (uint32_t c = 0; c < dim; ++c) {
            const CuComplex<double> m = m_row[c];
            const double vr = local_re[group + c];
            const double vi = local_im[group + c];
            mv_re += m.re * vr - m.im * vi;
            mv_im += m.re * vi + m.im * vr;
        }
        // conj(psi_row) (M v)_row
        sum_re += local_re[lane] * mv_re + local_im[lane] * mv_im;
        sum_im += local_re[lane] * mv_im - local_im[lane] * mv_re;
        __syncthreads();  // the next round overwrites local_re / local_im
    }
    tree[lane] = sum_re;
    tree[kExpectationBlock + lane] = sum_im;
    for (uint32_t width = lanes >> 1; width > 0; width >>= 1) {
        __syncthreads();
        if (lane < width) {
            tree[lane] += tree[lane + width];
            tree[kExpectationBlock + lane] += tree[kExpectationBlock + lane + width];
        }
    }
    if (lane == 0) {
        partials[blockIdx.x] = tree[0];
        partials[(uint64_t{1} << g.blocks_log2) | blockIdx.x] = tree[kExpectationBlock];
    }
}

}  // namespace velqa
