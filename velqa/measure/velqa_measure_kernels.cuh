// Measurement kernels: outcome probabilities and collapse. Device code only; the launcher
// unit velqa_measure.cu owns validation, geometry and error checks.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#pragma once

#include <cuda_runtime.h>

#include <cstdint>

#include "gates/velqa_index_bits.cuh"
#include "quorra_launch.cuh"
#include "state/velqa_device_state.cuh"

namespace velqa {

constexpr uint32_t kProbsBlock = 256;
constexpr int32_t kProbsLaneBits = 8;  // log2(kProbsBlock)
constexpr uint32_t kProbsMaxBatch = 4;

// outcome(i): bit k-1-j is the bit of i at the position of qubit targets[j], so targets[0]
// is the most significant outcome bit. The endian decision is taken once, outside the loop.
__host__ __device__ __forceinline__ uint64_t measure_outcome(uint64_t index, int64_t n, const int64_t* targets,
                                                             int64_t k, bool little_endian) {
    uint64_t outcome = 0;
    if (little_endian) {
        for (int64_t j = 0; j < k; ++j) {
            outcome = (outcome << 1) | ((index >> targets[j]) & 1U);
        }
    } else {
        for (int64_t j = 0; j < k; ++j) {
            outcome = (outcome << 1) | ((index >> (n - 1 - targets[j])) & 1U);
        }
    }
    return outcome;
}

// The next value, in increasing order, whose bits all lie in `mask`.
__host__ __device__ __forceinline__ uint64_t next_in_mask(uint64_t value, uint64_t mask) {
    return ((value | ~mask) + 1) & mask;
}

__host__ __device__ __forceinline__ double pick4(uint32_t i, double a, double b, double c, double d) {
    return i == 0 ? a : (i == 1 ? b : (i == 2 ? c : d));
}

template <typename T>
__host__ __device__ __forceinline__ double norm2_wide(CuComplex<T> a) {
    const double re = static_cast<double>(a.re);
    const double im = static_cast<double>(a.im);
    return re * re + im * im;
}

// How the probability pass cuts the index bits. The low `lane_bits` bits are the thread's
// lane, so a block reads consecutive amplitudes. Above them, `high_target_mask` holds the
// target positions and `free_mask` the others. A work item fixes the high target bits
// (its pattern) and a chunk of free-bit values; every amplitude a thread reads in an item
// then has the same outcome, so the thread sums them in a register. The block then adds up
// lanes that differ only in non-target bits (`lane_free_mask`) in a fixed tree and stores one
// partial sum per (outcome, chunk). A second pass adds each outcome's chunks in chunk order.
// No sum depends on which block ran first, so equal states give equal bits on every run.
struct ProbsGeometry {
    uint64_t high_target_mask;
    uint64_t free_mask;
    uint64_t lane_free_mask;
    int32_t lane_bits;
    int32_t per_thread_log2;  // free-bit values each thread sums per item
    int32_t chunks_log2;      // chunks of free-bit values per pattern
    uint32_t batch;           // consecutive items per thread (1, or 4 / per_thread when it is below 4)
    uint64_t work_items;      // patterns << chunks_log2, a multiple of batch
};

// Reads every amplitude once; partials[(outcome << chunks_log2) | chunk] receives the sum of
// |psi_i|^2 over the item's amplitudes, formed in double; every entry is written exactly once.
// All loops that hold a barrier run the same number of times in the whole block.
template <typename T>
__global__ void measure_probs_kernel(int64_t n, const CuComplex<T>* state, const int64_t* targets, int64_t k,
                                     bool little_endian, ProbsGeometry g, double* partials) {
    QUORRA_SHARED_ARRAY(double, partial, kProbsMaxBatch* kProbsBlock);
    QUORRA_SHARED_ARRAY(uint64_t, item_outcome, kProbsMaxBatch);
    const uint64_t lane = threadIdx.x;
    const uint64_t lanes = blockDim.x;
    // Outcome bits come from disjoint index bits, so outcome(high | lane) is
    // outcome(high) | outcome(lane): the lane's part is found once per thread, the item's
    // part once per item by one lane.
    const uint64_t lane_outcome = measure_outcome(lane, n, targets, k, little_endian);
    const uint64_t per_thread = uint64_t{1} << g.per_thread_log2;
    const uint64_t chunk_mask = (uint64_t{1} << g.chunks_log2) - 1;
    const uint64_t step = static_cast<uint64_t>(gridDim.x) * g.batch;

    for (uint64_t first = static_cast<uint64_t>(blockIdx.x) * g.batch; first < g.work_items; first += step) {
        // Several items per thread only when there is one chunk per pattern (chunk 0).
        const uint64_t chunk = first & chunk_mask;
        // Item i of the batch has the high target bits of high0 advanced i times; its sum is
        // sum_i. Plain scalars rather than arrays keep everything in registers.
        const uint64_t high0 = deposit_bits(first >> g.chunks_log2, g.high_target_mask);
        double sum0 = 0.0;
        double sum1 = 0.0;
        double sum2 = 0.0;
        double sum3 = 0.0;
        if (g.batch == 1) {
            const uint64_t base = high0 | lane;
            uint64_t sweep = deposit_bits((first & chunk_mask) << g.per_thread_log2, g.free_mask);
            uint64_t c = 0;
            // Four independent loads in flight per thread.
            for (; c + 4 <= per_thread; c += 4) {
                const uint64_t s0 = sweep;
                const uint64_t s1 = next_in_mask(s0, g.free_mask);
                const uint64_t s2 = next_in_mask(s1, g.free_mask);
                const uint64_t s3 = next_in_mask(s2, g.free_mask);
                sweep = next_in_mask(s3, g.free_mask);
                const CuComplex<T> a0 = state[base | s0];
                const CuComplex<T> a1 = state[base | s1];
                const CuComplex<T> a2 = state[base | s2];
                const CuComplex<T> a3 = state[base | s3];
                sum0 += (norm2_wide(a0) + norm2_wide(a1)) + (norm2_wide(a2) + norm2_wide(a3));
            }
            for (; c < per_thread; ++c) {
                sum0 += norm2_wide(state[base | sweep]);
                sweep = next_in_mask(sweep, g.free_mask);
            }
        } else {
            // Fewer than four free-bit values: the thread takes several consecutive patterns
            // (one item each, chunks_log2 = 0) so that it still has four loads in flight.
            const uint64_t high1 = next_in_mask(high0, g.high_target_mask);
            if (per_thread == 1) {
                const uint64_t high2 = next_in_mask(high1, g.high_target_mask);
                const uint64_t high3 = next_in_mask(high2, g.high_target_mask);
                const CuComplex<T> a0 = state[high0 | lane];
                const CuComplex<T> a1 = state[high1 | lane];
                const CuComplex<T> a2 = state[high2 | lane];
                const CuComplex<T> a3 = state[high3 | lane];
                sum0 = norm2_wide(a0);
                sum1 = norm2_wide(a1);
                sum2 = norm2_wide(a2);
                sum3 = norm2_wide(a3);
            } else {
                const uint64_t free_bit = g.free_mask;  // exactly one bit
                const CuComplex<T> a0 = state[high0 | lane];
                const CuComplex<T> a1 = state[high0 | lane | free_bit];
                const CuComplex<T> a2 = state[high1 | lane];
                const CuComplex<T> a3 = state[high1 | lane | free_bit];
                sum0 = norm2_wide(a0) + norm2_wide(a1);
                sum1 = norm2_wide(a2) + norm2_wide(a3);
            }
        }

        if (g.lane_free_mask == 0) {
            // Every lane bit is a target bit: each lane has an outcome of its own.
            uint64_t high = high0;
            for (uint32_t i = 0; i < g.batch; ++i) {
                const uint64_t outcome = measure_outcome(high | lane, n, targets, k, little_endian);
                partials[(outcome << g.chunks_log2) | chunk] = pick4(i, sum0, sum1, sum2, sum3);
                high = next_in_mask(high, g.high_target_mask);
            }
            continue;
        }

        for (uint32_t i = 0; i < g.batch; ++i) {
            partial[i * lanes + lane] = pick4(i, sum0, sum1, sum2, sum3);
        }
        if (lane < g.batch) {
            uint64_t high = high0;
            for (uint64_t i = 0; i < lane; ++i) {
                high = next_in_mask(high, g.high_target_mask);
            }
            item_outcome[lane] = measure_outcome(high, n, targets, k, little_endian);
        }
        // Tree over the non-target lane bits: after the step for bit b, a lane with all
        // reduced bits clear holds the sum over every lane that differs from it only there.
        // There is at least one step, so its barrier also publishes item_outcome[].
        uint64_t reduced = 0;
        for (int32_t b = 0; b < g.lane_bits; ++b) {
            const uint64_t bit = uint64_t{1} << b;
            if ((g.lane_free_mask & bit) == 0) {
                continue;
            }
            __syncthreads();
            reduced |= bit;
            if ((lane & reduced) == 0) {
                for (uint32_t i = 0; i < g.batch; ++i) {
                    partial[i * lanes + lane] += partial[i * lanes + (lane | bit)];
                }
            }
        }
        if ((lane & g.lane_free_mask) == 0) {
            for (uint32_t i = 0; i < g.batch; ++i) {
                partials[((item_outcome[i] | lane_outcome) << g.chunks_log2) | chunk] = partial[i * lanes + lane];
            }
        }
        // The next item overwrites partial[] and item_outcome[].
        __syncthreads();
    }
}

// probs[o] = sum over chunks c, in a fixed order, of partials[(o << chunks_log2) | c]. A group
// of 2^group_log2 neighbouring threads takes one outcome: each adds the chunks congruent to
// its place in the group in ascending order, then the group adds those sums in a fixed tree.
// Launch with kProbsBlock threads; group_log2 <= kProbsLaneBits; any grid size. A template
// (over the probability type) so that every unit including this file may hold an instance.
template <typename P>
__global__ void measure_probs_combine_kernel(const P* partials, int32_t chunks_log2, int32_t group_log2,
                                             uint64_t outcomes, P* probs) {
    QUORRA_SHARED_ARRAY(P, tree, kProbsBlock);
    const uint32_t tid = threadIdx.x;
    const uint32_t group = uint32_t{1} << group_log2;
    const uint32_t place = tid & (group - 1);
    const uint64_t chunks = uint64_t{1} << chunks_log2;
    const uint64_t per_block = kProbsBlock >> group_log2;
    // The bound is the same for every thread of a block, so all meet at the same barriers.
    for (uint64_t first = static_cast<uint64_t>(blockIdx.x) * per_block; first < outcomes;
         first += static_cast<uint64_t>(gridDim.x) * per_block) {
        const uint64_t outcome = first + (tid >> group_log2);
        double sum = 0.0;
        if (outcome < outcomes) {
            const double* row = partials + (outcome << chunks_log2);
            for (uint64_t c = place; c < chunks; c += group) {
                sum += row[c];
            }
        }
        tree[tid] = sum;
        for (uint32_t width = group >> 1; width > 0; width >>= 1) {
            __syncthreads();
            if (place < width) {
                tree[tid] += tree[tid + width];
            }
        }
        __syncthreads();
        if (place == 0 && outcome < outcomes) {
            probs[outcome] = tree[tid];
        }
        __syncthreads();  // the next round overwrites tree[]
    }
}

// Keeps the amplitudes whose target bits spell the chosen outcome and scales them; sets all
// others to 0. An index matches when (i & match_mask) == match_value, the chosen outcome's
// bits placed at the target positions by the host with measure_outcome's rule. The scale is
// applied as two factors so that a float state of tiny norm, whose 1/sqrt(p) exceeds the
// float range, is still scaled to norm 1 (scale_b is 1 otherwise).
template <typename T>
__global__ void measure_collapse_kernel(int64_t n, CuComplex<T>* state, uint64_t match_mask, uint64_t match_value,
                                        T scale_a, T scale_b) {
    const uint64_t size = uint64_t{1} << n;
    const uint64_t stride = static_cast<uint64_t>(gridDim.x) * blockDim.x;
    for (uint64_t i = static_cast<uint64_t>(blockIdx.x) * blockDim.x + threadIdx.x; i < size; i += stride) {
        if ((i & match_mask) == match_value) {
            const CuComplex<T> a = state[i];
            state[i] = CuComplex<T>{(a.re * scale_a) * scale_b, (a.im * scale_a) * scale_b};
        } else {
            state[i] = CuComplex<T>{T(0), T(0)};
        }
    }
}

}  // namespace velqa
