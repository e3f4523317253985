// Measurement launcher: argument checks, probability pass geometry, drawing, collapse.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "measure/velqa_measure_kernels.cuh"
#include "quorra_launch.cuh"
#include "velqa_measure.cuh"

namespace velqa {

namespace {

constexpr uint32_t kCollapseBlock = 256;
constexpr uint64_t kMaxGridBlocks = 0x7fffffffULL;
#if QUORRA_HOST_BUILD
// The host stand-in runs the threads of a block that meets at barriers as fibers, at a cost
// per thread and barrier: few long items, and a grid of a few blocks for its workers.
constexpr uint64_t kMaxProbsBlocks = 8;
constexpr int kProbsItemsLog2 = 4;
#else
constexpr uint64_t kMaxProbsBlocks = uint64_t{1} << 16;
// Work items the probability pass aims for (log2): enough blocks to fill the largest GPUs
// several times over before threads take more amplitudes each.
constexpr int kProbsItemsLog2 = 13;
#endif
constexpr int kProbsMaxPerThreadLog2 = 8;

// Index bit of each target: qubit t is bit t ("little") or bit n-1-t ("big").
uint64_t target_bit(int64_t n, int64_t target, bool little_endian) {
    return uint64_t{1} << (little_endian ? target : n - 1 - target);
}

ProbsGeometry make_probs_geometry(int64_t n, const std::vector<int64_t>& targets, bool little_endian) {
    uint64_t target_mask = 0;
    for (const int64_t t : targets) {
        target_mask |= target_bit(n, t, little_endian);
    }
    ProbsGeometry g{};
    g.lane_bits = static_cast<int32_t>(std::min<int64_t>(n, kProbsLaneBits));
    const uint64_t lane_mask = (uint64_t{1} << g.lane_bits) - 1;
    const uint64_t index_mask = (uint64_t{1} << n) - 1;
    g.high_target_mask = target_mask & ~lane_mask;
    g.free_mask = index_mask & ~target_mask & ~lane_mask;
    g.lane_free_mask = lane_mask & ~target_mask;
    const int free_bits = std::popcount(g.free_mask);
    const int high_bits = std::popcount(g.high_target_mask);
    const int columns_log2 = static_cast<int>(n) - g.lane_bits;
    const int per_thread = std::clamp(columns_log2 - kProbsItemsLog2, 2, kProbsMaxPerThreadLog2);
    g.per_thread_log2 = std::min(per_thread, free_bits);
    g.chunks_log2 = free_bits - g.per_thread_log2;
    g.work_items = uint64_t{1} << (high_bits + g.chunks_log2);
    g.batch = 1;
    // Below four free-bit values (then chunks_log2 is 0) a thread takes 4 / per_thread
    // consecutive patterns instead.
    const uint32_t batch = 4U >> g.per_thread_log2;
    if (batch > 1 && g.work_items >= batch) {
        g.batch = batch;
    }
    return g;
}

// 2^(k + chunks_log2) doubles; a count no device could hold is reported as the allocator would.
size_t partial_bytes(const ProbsGeometry& g, size_t k) {
    const size_t log2_count = k + static_cast<size_t>(g.chunks_log2);
    if (log2_count > 56) {
        check_cuda(cudaErrorMemoryAllocation);
    }
    return sizeof(double) << log2_count;
}

// The device side of one measurement: the target buffer (k int64 in the caller's order), the
// 2^k probabilities and the per-chunk partial sums, allocated in that order and freed on every
// path. Both passes write every entry they own, so nothing is zeroed first.
class ProbabilityPass {
public:
    ProbabilityPass(int64_t n, const std::vector<int64_t>& targets, bool little_endian)
        : geometry_(make_probs_geometry(n, targets, little_endian)),
          outcomes_(size_t{1} << targets.size()),
          target_buffer_(allocate_call_buffer(targets.size() * sizeof(int64_t))),
          prob_buffer_(allocate_call_buffer(outcomes_ * sizeof(double))),
          partial_buffer_(allocate_call_buffer(partial_bytes(geometry_, targets.size()))) {
        check_cuda(cudaMemcpy(target_buffer_.as<void>(), targets.data(), targets.size() * sizeof(int64_t),
                              cudaMemcpyHostToDevice));
    }

    // Launches the probability pass and the combining pass and copies the 2^k sums back; the
    // copy waits for them.
    template <typename T>
    std::vector<double> run(int64_t n, const CuComplex<T>* state, const std::vector<int64_t>& targets,
                            bool little_endian) {
        const ProbsGeometry& g = geometry_;
        const uint64_t blocks = std::min(g.work_items / g.batch, kMaxProbsBlocks);
        quorra::spread_small_grids(measure_probs_kernel<T>);
        quorra::launch_kernel(measure_probs_kernel<T>, dim3(static_cast<uint32_t>(blocks)),
                              dim3(uint32_t{1} << g.lane_bits), 0, cudaStream_t{0}, n, state,
                              target_buffer_.as<const int64_t>(), static_cast<int64_t>(targets.size()), little_endian,
                              g, partial_buffer_.as<double>());
        check_cuda(cudaGetLastError());
        const int32_t group_log2 = std::min(g.chunks_log2, kProbsLaneBits);
        const uint64_t per_block = uint64_t{kProbsBlock} >> group_log2;
        const uint64_t combine_blocks = std::min((outcomes_ + per_block - 1) / per_block, kMaxGridBlocks);
        quorra::launch_kernel(measure_probs_combine_kernel<double>, dim3(static_cast<uint32_t>(combine_blocks)),
                              dim3(kProbsBlock), 0, cudaStream_t{0}, partial_buffer_.as<const double>(), g.chunks_log2,
                              group_log2, static_cast<uint64_t>(outcomes_), prob_buffer_.as<double>());
        check_cuda(cudaGetLastError());
        std::vector<double> probs(outcomes_);
        check_cuda(
            cudaMemcpy(probs.data(), prob_buffer_.as<void>(), outcomes_ * sizeof(double), cudaMemcpyDeviceToHost));
        return probs;
    }

    // Checked release, partial sums and probabilities first.
    void release() {
        check_cuda(partial_buffer_.free());
        check_cuda(prob_buffer_.free());
        check_cuda(target_buffer_.free());
    }

private:
    ProbsGeometry geometry_;
    size_t outcomes_;
    quorra::DeviceBuffer target_buffer_;
    quorra::DeviceBuffer prob_buffer_;
    quorra::DeviceBuffer partial_buffer_;
};

// Buffers of 2^k doubles: k <= n, and a state of 2^n amplitudes exists, so this only trips
// on sizes no device can hold; report them as the allocator would.
void check_outcome_count(size_t k) {
    if (k > 60) {
        check_cuda(cudaErrorMemoryAllocation);
    }
}

}  // namespace

void write_bit_string(uint64_t outcome, int64_t k, char* out) {
    for (int64_t t = 0; t < k; ++t) {
        out[t] = ((outcome >> (k - 1 - t)) & 1U) != 0 ? '1' : '0';
    }
}

std::string outcome_bit_string(uint64_t outcome, int64_t k) {
    std::string text(static_cast<size_t>(k), '0');
    write_bit_string(outcome, k, text.data());
    return text;
}

void validate_measure_args(int64_t n, int64_t num_state, const std::vector<int64_t>& targets,
                           const std::string& endian) {
    if (n < 1 || n > 62) {
        throw std::invalid_argument("n must be in [1, 62]");
    }
    if (num_state != (int64_t{1} << n)) {
        throw std::invalid_argument("state size does not match 2**n");
    }
    if (targets.empty() || targets.size() > 62) {
        throw std::invalid_argument("measure targets size must be in [1, 62]");
    }
    if (endian != "little" && endian != "big") {
        throw std::invalid_argument("endian must be 'little' or 'big'");
    }
    uint64_t seen = 0;
    for (const int64_t t : targets) {
        if (t < 0 || t >= n) {
            throw std::invalid_argument("measure target index out of range");
        }
        const uint64_t bit = uint64_t{1} << t;
        if ((seen & bit) != 0) {
            throw std::invalid_argument("duplicate measure target index");
        }
        seen |= bit;
    }
}

template <typename T>
std::vector<double> measure_probabilities(int64_t n, const CuComplex<T>* state, const std::vector<int64_t>& targets,
                                          bool little_endian, int32_t device_id) {
    check_outcome_count(targets.size());
    check_cuda(cudaSetDevice(device_id));
    ProbabilityPass pass(n, targets, little_endian);
    std::vector<double> probs = pass.run(n, state, targets, little_endian);
    pass.release();
    return probs;
}

template <typename T>
void collapse_onto(int64_t n, CuComplex<T>* state, uint64_t match_mask, uint64_t match_value, double probability) {
    const double scale = 1.0 / std::sqrt(probability);
    T scale_a = static_cast<T>(scale);
    T scale_b = T(1);
    if (!std::isfinite(scale_a)) {
        // Only a float state of subnormal amplitudes gets here; the square root of the
        // scale fits the float range for any of them.
        scale_a = static_cast<T>(std::sqrt(scale));
        scale_b = scale_a;
    }
    const uint64_t blocks = std::min(((uint64_t{1} << n) + kCollapseBlock - 1) / kCollapseBlock, kMaxGridBlocks);
    quorra::launch_kernel(measure_collapse_kernel<T>, dim3(static_cast<uint32_t>(blocks)), dim3(kCollapseBlock), 0,
                          cudaStream_t{0}, n, state, match_mask, match_value, scale_a, scale_b);
    check_cuda(cudaGetLastError());
}

template <typename T>
MeasureResult sample_measure(int64_t n, CuComplex<T>* state, int64_t num_state, const std::vector<int64_t>& targets,
                             const std::string& endian, int32_t device_id, uint64_t shots, uint64_t seed,
                             bool collapse_last) {
    validate_measure_args(n, num_state, targets, endian);
    if (shots == 0) {
        throw std::invalid_argument("shots must be positive");
    }
    const bool little_endian = endian == "little";
    const auto k = static_cast<int64_t>(targets.size());
    check_outcome_count(targets.size());
    check_cuda(cudaSetDevice(device_id));

    ProbabilityPass pass(n, targets, little_endian);
    // Only the 2^k probabilities cross to the host, and become their running sums in place.
    std::vector<double> cumulative = pass.run(n, state, targets, little_endian);
    const size_t outcomes = cumulative.size();
    for (size_t o = 1; o < outcomes; ++o) {
        cumulative[o] += cumulative[o - 1];
    }
    const double total = cumulative.back();
    if (!(total > 0.0 && total < std::numeric_limits<double>::infinity())) {
        throw std::runtime_error("Quantum state has zero or invalid norm.");
    }

    const DrawResult drawn = draw_outcomes(cumulative, shots, seed);
    MeasureResult result;
    result.counts = drawn.counts;
    result.last_outcome = drawn.last;
    result.last = outcome_bit_string(drawn.last, k);

    if (collapse_last) {
        const uint64_t chosen = drawn.last;
        const double p = cumulative[chosen] - (chosen == 0 ? 0.0 : cumulative[chosen - 1]);
        if (!(p > 0.0)) {
            throw std::runtime_error("Selected measurement probability is zero.");
        }
        uint64_t match_mask = 0;
        uint64_t match_value = 0;
        for (int64_t j = 0; j < k; ++j) {
            const uint64_t bit = target_bit(n, targets[static_cast<size_t>(j)], little_endian);
            match_mask |= bit;
            if (((chosen >> (k - 1 - j)) & 1U) != 0) {
                match_value |= bit;
            }
        }
        collapse_onto(n, state, match_mask, match_value, p);
    }

    pass.release();
    return result;
}

MeasureResult sample_measure_state(const DeviceState& state, const std::vector<int64_t>& targets,
                                   const std::string& endian, uint64_t shots, uint64_t seed, bool collapse_last) {
    if (state.precision() == Precision::Complex64) {
        return sample_measure(state.n(), state.amplitudes<float>(), state.num_state(), targets, endian,
                              state.device_id(), shots, seed, collapse_last);
    }
    return sample_measure(state.n(), state.amplitudes<double>(), state.num_state(), targets, endian, state.device_id(),
                          shots, seed, collapse_last);
}

template std::vector<double> measure_probabilities<float>(int64_t, const CuComplex<float>*, const std::vector<int64_t>&,
                                                          bool, int32_t);
template std::vector<double> measure_probabilities<double>(int64_t, const CuComplex<double>*,
                                                           const std::vector<int64_t>&, bool, int32_t);
template void collapse_onto<float>(int64_t, CuComplex<float>*, uint64_t, uint64_t, double);
template void collapse_onto<double>(int64_t, CuComplex<double>*, uint64_t, uint64_t, double);
template MeasureResult sample_measure<float>(int64_t, CuComplex<float>*, int64_t, const std::vector<int64_t>&,
                                             const std::string&, int32_t, uint64_t, uint64_t, bool);
template MeasureResult sample_measure<double>(int64_t, CuComplex<double>*, int64_t, const std::vector<int64_t>&,
                                              const std::string&, int32_t, uint64_t, uint64_t, bool);

}  // namespace velqa
