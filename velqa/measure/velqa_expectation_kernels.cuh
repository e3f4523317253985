// Expectation-value kernels: Pauli strings that share one flip mask, and a dense matrix on a
// few targets. Device code only; the launcher unit velqa_expectation.cu owns validation,
// geometry and error checks. Every sum is formed in double in a fixed order: per thread in
// index order, then a fixed tree over the block, one partial per block, and the measurement's
// combining pass over the blocks, so equal states give equal bits however blocks are run.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#pragma once

#include <cuda_runtime.h>

#include <cstdint>

#include "gates/velqa_index_bits.cuh"
#include "measure/velqa_expectation.hpp"
#include "measure/velqa_measure_kernels.cuh"
#include "quorra_launch.cuh"
#include "quorra_unroll.cuh"
#include "state/velqa_device_state.cuh"

namespace velqa {

constexpr uint32_t kExpectationBlock = 256;
constexpr int32_t kExpectationLaneBits = 8;  // log2(kExpectationBlock)

// How a pass cuts its 2^(lane_bits + blocks_log2 + rounds_log2) work indices: block b takes
// the rounds_log2-long run of rounds starting at b << rounds_log2; in each round its threads
// take consecutive indices, so a block reads consecutive amplitudes.
struct ExpectationGeometry {
    int32_t lane_bits;
    int32_t blocks_log2;
    int32_t rounds_log2;
};

// Up to W strings that flip the same bits. flip == 0: every index i adds |psi_i|^2 with its
// sign; otherwise pair p is i = p with a 0 inserted at `pivot` (a bit of flip) and j = i ^ flip,
// and adds Re or Im (bit s of imag_mask) of conj(psi_j) psi_i with the sign of i.
template <int W>
struct PauliBatch {
    uint64_t flip;
    uint64_t pivot;
    uint32_t imag_mask;
    uint64_t sign[W];
};

// (-1)^{popcount(v)} as a test: parity of the 64 bits folded into 32.
__host__ __device__ __forceinline__ bool odd_parity(uint64_t v) {
    return (__popc(static_cast<uint32_t>(v ^ (v >> 32))) & 1) != 0;
}

// Sums of W strings. Launch: kExpectationBlock (or 2^lane_bits when smaller) threads,
// 2^blocks_log2 blocks, no dynamic shared memory; partials[(s << blocks_log2) | block] gets
// the block's sum of slot s, every entry written once.
template <typename T, int W>
__global__ void pauli_expectation_kernel(const CuComplex<T>* state, PauliBatch<W> batch, ExpectationGeometry g,
                                         double* partials) {
    QUORRA_SHARED_ARRAY(double, tree, W* kExpectationBlock);
    const uint64_t lane = threadIdx.x;
    const uint64_t first = (static_cast<uint64_t>(blockIdx.x) << (g.rounds_log2 + g.lane_bits)) | lane;
    const uint64_t rounds = uint64_t{1} << g.rounds_log2;
    double acc[W];
    QUORRA_UNROLL
    for (int s = 0; s < W; ++s) {
        acc[s] = 0.0;
    }
    if (batch.flip == 0) {
        for (uint64_t r = 0; r < rounds; ++r) {
            const uint64_t i = first + (r << g.lane_bits);
            const double v = norm2_wide(state[i]);
            QUORRA_UNROLL
            for (int s = 0; s < W; ++s) {
                acc[s] += odd_parity(i & batch.sign[s]) ? -v : v;
            }
        }
    } else {
        for (uint64_t r = 0; r < rounds; ++r) {
            const uint64_t i = insert_zero_bit(first + (r << g.lane_bits), batch.pivot);
            const CuComplex<T> a = state[i];
            const CuComplex<T> b = state[i ^ batch.flip];
            const double ar = static_cast<double>(a.re);
            const double ai = static_cast<double>(a.im);
            const double br = static_cast<double>(b.re);
            const double bi = static_cast<double>(b.im);
            // conj(b) a
            const double re = br * ar + bi * ai;
            const double im = br * ai - bi * ar;
            QUORRA_UNROLL
            for (int s = 0; s < W; ++s) {
                const double v = ((batch.imag_mask >> s) & 1U) != 0 ? im : re;
                acc[s] += odd_parity(i & batch.sign[s]) ? -v : v;
            }
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
    const int32_t bases_log2 = g.lane_bits - t.k;
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
        const uint64_t base_number =
            ((((static_cast<uint64_t>(blockIdx.x) << g.rounds_log2) | r) << bases_log2) | (lane >> t.k));
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
