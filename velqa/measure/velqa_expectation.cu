// Expectation-value launchers: argument checks, pass geometry, the per-block partials and the
// combining pass, and the probabilities of the measurement's pass in target order.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#include <algorithm>
#include <bit>
#include <cmath>
#include <stdexcept>

#include "measure/velqa_expectation.cuh"
#include "measure/velqa_expectation_kernels.cuh"
#include "measure/velqa_measure.cuh"
#include "quorra_launch.cuh"
#include "quorra_outcome_order.hpp"
#include "runner/run_circuit.cuh"

namespace velqa {

namespace {

#if QUORRA_HOST_BUILD
// The host stand-in runs blocks that meet at barriers as fibers: a few blocks of long runs. It
// runs a block's threads one after another, so from this many work bits on each thread of a
// Pauli pass reads a contiguous run; smaller passes keep the GPU's layout, which the tests thus
// cover too.
constexpr int32_t kMaxBlocksLog2 = 3;
constexpr int64_t kContiguousRunsFromBits = 16;
constexpr int32_t kContiguousRunLaneBits = 2;
#else
// 4096 blocks of 256 threads fill the largest GPUs several times over.
constexpr int32_t kMaxBlocksLog2 = 12;
constexpr int64_t kContiguousRunsFromBits = 64;  // never: a round reads consecutive amplitudes
constexpr int32_t kContiguousRunLaneBits = kExpectationLaneBits;
#endif
constexpr int64_t kMaxMatrixTargets = 6;
constexpr int kColumnsPerPass = 2 * kSignColumns;

// 2^index_bits work indices cut into lanes, blocks and rounds, lanes at the bottom (the matrix
// pass always: its rounds meet at a barrier, so a block's threads move through memory together).
ExpectationGeometry make_geometry(int64_t index_bits) {
    ExpectationGeometry g{};
    const auto bits = static_cast<int32_t>(index_bits);
    g.lane_bits = std::min(bits, kExpectationLaneBits);
    g.blocks_log2 = std::min(bits - g.lane_bits, kMaxBlocksLog2);
    g.rounds_log2 = bits - g.lane_bits - g.blocks_log2;
    g.lane_shift = 0;
    g.round_shift = g.lane_bits;
    return g;
}

// The Pauli pass's geometry: where each thread should read a contiguous run, a few lanes (each
// a fiber on the host stand-in, with a stack of its own) and the rounds at the bottom.
ExpectationGeometry make_pauli_geometry(int64_t index_bits) {
    ExpectationGeometry g = make_geometry(index_bits);
    if (index_bits >= kContiguousRunsFromBits) {
        const auto bits = static_cast<int32_t>(index_bits);
        g.lane_bits = kContiguousRunLaneBits;
        g.blocks_log2 = std::min(bits - g.lane_bits, kMaxBlocksLog2);
        g.rounds_log2 = bits - g.lane_bits - g.blocks_log2;
        g.round_shift = 0;
        g.lane_shift = g.rounds_log2;
    }
    return g;
}

// out[s] = the sum over blocks, in the measurement's fixed combining order, of partials[(s <<
// blocks_log2) | block] for s < slots.
void launch_combine(const double* partials, int32_t blocks_log2, size_t slots, double* out) {
    const int32_t group_log2 = std::min(blocks_log2, kProbsLaneBits);
    const uint64_t per_block = uint64_t{kProbsBlock} >> group_log2;
    const uint64_t blocks = (slots + per_block - 1) / per_block;
    quorra::launch_kernel(measure_probs_combine_kernel<double>, dim3(static_cast<uint32_t>(blocks)), dim3(kProbsBlock),
                          0, cudaStream_t{0}, partials, blocks_log2, group_log2, static_cast<uint64_t>(slots), out);
    check_cuda(cudaGetLastError());
}

// What one pass reads: pairs (i, i ^ flip) of one state with the pivot at the highest flip bit
// (pivot 0 for a flip-free pass), or a slice against another slice with the pivot above every
// work bit, for pairs that straddle two ranks of a distributed state. The flip is the pass's.
template <typename T>
struct PassInput {
    const CuComplex<T>* state;
    const CuComplex<T>* partner;
    uint64_t pivot;
    int64_t work_bits;
};

// For each work bit b of a pass: bit s is set where slot s's sign mask holds the index bit that
// work bit b lands on (b itself, or b + 1 at and above the pivot).
// Then the running XORs: entry kSignColumns + b holds the XOR of the words of work bits below b.
std::vector<uint32_t> sign_columns(const PauliPlan& plan, const PauliPlan::Pass& pass, uint64_t pivot) {
    std::vector<uint32_t> columns(kColumnsPerPass, 0);
    const int pivot_bit = pivot == 0 ? 64 : std::countr_zero(pivot);
    for (int b = 0; b + 1 < kSignColumns; ++b) {
        const int index_bit = b < pivot_bit ? b : b + 1;
        for (size_t s = 0; s < pass.slot_count; ++s) {
            if (((plan.slots[pass.first_slot + s].sign >> index_bit) & 1U) != 0) {
                columns[static_cast<size_t>(b)] |= uint32_t{1} << s;
            }
        }
    }
    for (int b = 1; b < kSignColumns; ++b) {
        columns[static_cast<size_t>(kSignColumns + b)] =
            columns[static_cast<size_t>(kSignColumns + b - 1)] ^ columns[static_cast<size_t>(b - 1)];
    }
    return columns;
}

template <typename T, int W>
void launch_pauli_batch(const PassInput<T>& input, const PauliPlan& plan, const PauliPlan::Pass& pass,
                        const uint32_t* columns, ExpectationGeometry g, double* partials) {
    PauliBatch<W> batch{};
    batch.flip = pass.flip;
    batch.pivot = input.pivot;
    for (size_t s = 0; s < static_cast<size_t>(W); ++s) {
        // Slots past the pass's count repeat its first one; their sums are never read.
        const size_t slot = pass.first_slot + (s < pass.slot_count ? s : 0);
        batch.sign[s] = plan.slots[slot].sign;
        if (plan.use_imag[slot]) {
            batch.imag_mask |= uint32_t{1} << s;
        }
    }
    quorra::spread_small_grids(pauli_expectation_kernel<T, W>);
    quorra::launch_kernel(pauli_expectation_kernel<T, W>, dim3(uint32_t{1} << g.blocks_log2),
                          dim3(uint32_t{1} << g.lane_bits), 0, cudaStream_t{0}, input.state, input.partner, batch,
                          columns, g, partials);
    check_cuda(cudaGetLastError());
}

// The narrowest instance that holds the pass's slots.
template <typename T>
void launch_pauli_pass(const PassInput<T>& input, const PauliPlan& plan, const PauliPlan::Pass& pass,
                       const uint32_t* columns, ExpectationGeometry g, double* partials) {
    const size_t count = pass.slot_count;
    if (count <= 1) {
        launch_pauli_batch<T, 1>(input, plan, pass, columns, g, partials);
    } else if (count <= 2) {
        launch_pauli_batch<T, 2>(input, plan, pass, columns, g, partials);
    } else if (count <= 4) {
        launch_pauli_batch<T, 4>(input, plan, pass, columns, g, partials);
    } else if (count <= 8) {
        launch_pauli_batch<T, 8>(input, plan, pass, columns, g, partials);
    } else if (count <= 12) {
        launch_pauli_batch<T, 12>(input, plan, pass, columns, g, partials);
    } else if (count <= kPauliMaxBatch) {
        launch_pauli_batch<T, static_cast<int>(kPauliMaxBatch)>(input, plan, pass, columns, g, partials);
    } else {
        throw std::logic_error("Pauli pass wider than its batch");
    }
}

// The raw sum of every slot of the plan, pass p reading inputs[p]. Waits for the device.
template <typename T>
std::vector<double> pauli_slot_sums(const PauliPlan& plan, const std::vector<PassInput<T>>& inputs, int32_t device_id) {
    check_cuda(cudaSetDevice(device_id));
    // One partial buffer serves every pass: stream order runs each pass's combine before the
    // next pass overwrites it.
    int32_t widest_blocks_log2 = 0;
    for (const PassInput<T>& input : inputs) {
        widest_blocks_log2 = std::max(widest_blocks_log2, make_pauli_geometry(input.work_bits).blocks_log2);
    }
    quorra::DeviceBuffer partial_buffer = allocate_call_buffer((kPauliMaxBatch * sizeof(double)) << widest_blocks_log2);
    quorra::DeviceBuffer slot_buffer = allocate_call_buffer(std::max<size_t>(plan.slots.size(), 1) * sizeof(double));
    std::vector<uint32_t> columns;
    columns.reserve(plan.passes.size() * kColumnsPerPass);
    for (size_t p = 0; p < plan.passes.size(); ++p) {
        const std::vector<uint32_t> pass_columns = sign_columns(plan, plan.passes[p], inputs[p].pivot);
        columns.insert(columns.end(), pass_columns.begin(), pass_columns.end());
    }
    quorra::DeviceBuffer column_buffer = allocate_call_buffer(columns.size() * sizeof(uint32_t));
    check_cuda(cudaMemcpy(column_buffer.as<void>(), columns.data(), columns.size() * sizeof(uint32_t),
                          cudaMemcpyHostToDevice));
    for (size_t p = 0; p < plan.passes.size(); ++p) {
        const PauliPlan::Pass& pass = plan.passes[p];
        const ExpectationGeometry g = make_pauli_geometry(inputs[p].work_bits);
        launch_pauli_pass(inputs[p], plan, pass, column_buffer.as<const uint32_t>() + p * kColumnsPerPass, g,
                          partial_buffer.as<double>());
        launch_combine(partial_buffer.as<const double>(), g.blocks_log2, pass.slot_count,
                       slot_buffer.as<double>() + pass.first_slot);
    }
    std::vector<double> sums(plan.slots.size());
    check_cuda(cudaMemcpy(sums.data(), slot_buffer.as<void>(), sums.size() * sizeof(double), cudaMemcpyDeviceToHost));
    check_cuda(column_buffer.free());
    check_cuda(slot_buffer.free());
    check_cuda(partial_buffer.free());
    return sums;
}

template <typename T>
std::complex<double> matrix_expectation(int64_t n, const CuComplex<T>* state,
                                        const std::vector<std::complex<double>>& matrix,
                                        const std::vector<int64_t>& targets, int32_t device_id) {
    const auto k = static_cast<int32_t>(targets.size());
    MatrixTargets t{};
    t.k = k;
    uint64_t target_mask = 0;
    for (int32_t j = 0; j < k; ++j) {
        t.target_bit[j] = uint64_t{1} << targets[static_cast<size_t>(j)];
        target_mask |= t.target_bit[j];
    }
    t.rest = ((uint64_t{1} << n) - 1) & ~target_mask;
    // Lanes cover at least one base: lane_bits = min(n, 8) >= k.
    const ExpectationGeometry g = make_geometry(n);
    check_cuda(cudaSetDevice(device_id));
    const size_t blocks = size_t{1} << g.blocks_log2;
    quorra::DeviceBuffer matrix_buffer = allocate_call_buffer(matrix.size() * sizeof(CuComplex<double>));
    quorra::DeviceBuffer partial_buffer = allocate_call_buffer(2 * blocks * sizeof(double));
    quorra::DeviceBuffer result_buffer = allocate_call_buffer(2 * sizeof(double));
    check_cuda(cudaMemcpy(matrix_buffer.as<void>(), matrix.data(), matrix.size() * sizeof(CuComplex<double>),
                          cudaMemcpyHostToDevice));
    quorra::spread_small_grids(matrix_expectation_kernel<T>);
    quorra::launch_kernel(matrix_expectation_kernel<T>, dim3(static_cast<uint32_t>(blocks)),
                          dim3(uint32_t{1} << g.lane_bits), 0, cudaStream_t{0}, state,
                          matrix_buffer.as<const CuComplex<double>>(), t, g, partial_buffer.as<double>());
    check_cuda(cudaGetLastError());
    launch_combine(partial_buffer.as<const double>(), g.blocks_log2, 2, result_buffer.as<double>());
    double parts[2] = {0.0, 0.0};
    check_cuda(cudaMemcpy(parts, result_buffer.as<void>(), sizeof(parts), cudaMemcpyDeviceToHost));
    check_cuda(result_buffer.free());
    check_cuda(partial_buffer.free());
    check_cuda(matrix_buffer.free());
    return {parts[0], parts[1]};
}

}  // namespace

template <typename T>
std::vector<double> pauli_expectations(int64_t n, const CuComplex<T>* state, const std::vector<PauliMasks>& strings,
                                       int32_t device_id) {
    const PauliPlan plan = plan_pauli_passes(strings);
    std::vector<PassInput<T>> inputs;
    inputs.reserve(plan.passes.size());
    for (const PauliPlan::Pass& pass : plan.passes) {
        inputs.push_back({state, state, std::bit_floor(pass.flip), pass.flip == 0 ? n : n - 1});
    }
    const std::vector<double> sums = pauli_slot_sums(plan, inputs, device_id);
    std::vector<double> values;
    values.reserve(strings.size());
    for (const size_t slot : plan.slot_of_string) {
        values.push_back(plan.factor[slot] * sums[slot]);
    }
    return values;
}

template <typename T>
std::vector<double> pauli_cross_sums(const CuComplex<T>* a, const CuComplex<T>* b, int64_t work_bits, uint64_t flip,
                                     const std::vector<uint64_t>& signs, const std::vector<bool>& use_imag,
                                     int32_t device_id) {
    if (signs.empty() || signs.size() > kPauliMaxBatch || use_imag.size() != signs.size() || work_bits < 0 ||
        work_bits >= 63 || (flip >> work_bits) != 0) {
        throw std::logic_error("pauli_cross_sums: malformed pass");
    }
    PauliPlan plan;
    for (size_t s = 0; s < signs.size(); ++s) {
        plan.slots.push_back(PauliMasks{flip, signs[s]});
        plan.use_imag.push_back(use_imag[s]);
        plan.factor.push_back(1.0);
    }
    plan.passes.push_back(PauliPlan::Pass{flip, 0, signs.size()});
    const uint64_t above_work = uint64_t{1} << work_bits;
    return pauli_slot_sums<T>(plan, {PassInput<T>{a, b, above_work, work_bits}}, device_id);
}

std::vector<double> pauli_expectations_state(const DeviceState& state, const std::vector<PauliString>& strings,
                                             const std::string& endian) {
    check_endian(endian);
    const std::vector<PauliMasks> masks = pauli_masks(state.n(), strings, endian == "little");
    if (masks.empty()) {
        return {};
    }
    if (state.precision() == Precision::Complex64) {
        return pauli_expectations(state.n(), state.amplitudes<float>(), masks, state.device_id());
    }
    return pauli_expectations(state.n(), state.amplitudes<double>(), masks, state.device_id());
}

std::complex<double> expectation_state(const DeviceState& state, const std::vector<PauliTerm>& terms,
                                       const std::string& endian) {
    check_endian(endian);
    std::vector<PauliString> strings;
    strings.reserve(terms.size());
    for (const PauliTerm& term : terms) {
        strings.push_back(term.paulis);
    }
    // Strings first, then coefficients: a term's string is what a caller most often gets wrong.
    (void)pauli_masks(state.n(), strings, endian == "little");
    check_coefficients(terms);
    if (terms.empty()) {
        return {0.0, 0.0};
    }
    return combine_terms(terms, pauli_expectations_state(state, strings, endian));
}

void validate_matrix_expectation_args(int64_t n, const std::vector<int64_t>& targets, int64_t rows, int64_t cols,
                                      const std::vector<std::complex<double>>& matrix) {
    if (targets.empty() || static_cast<int64_t>(targets.size()) > kMaxMatrixTargets) {
        throw std::invalid_argument("matrix targets size must be in [1, 6]");
    }
    uint64_t seen = 0;
    for (const int64_t t : targets) {
        if (t < 0 || t >= n) {
            throw std::invalid_argument("matrix target index out of range");
        }
        if (((seen >> t) & 1U) != 0) {
            throw std::invalid_argument("duplicate matrix target index");
        }
        seen |= uint64_t{1} << t;
    }
    const int64_t dim = int64_t{1} << targets.size();
    if (rows != dim || cols != dim) {
        throw std::invalid_argument("matrix must have shape (2**k, 2**k) for k targets");
    }
    for (const std::complex<double>& value : matrix) {
        if (!std::isfinite(value.real()) || !std::isfinite(value.imag())) {
            throw std::invalid_argument("matrix entries must be finite");
        }
    }
}

std::complex<double> matrix_expectation_state(const DeviceState& state, const std::vector<std::complex<double>>& matrix,
                                              int64_t rows, int64_t cols, const std::vector<int64_t>& targets) {
    validate_matrix_expectation_args(state.n(), targets, rows, cols, matrix);
    if (state.precision() == Precision::Complex64) {
        return matrix_expectation(state.n(), state.amplitudes<float>(), matrix, targets, state.device_id());
    }
    return matrix_expectation(state.n(), state.amplitudes<double>(), matrix, targets, state.device_id());
}

std::vector<double> probabilities_state(const DeviceState& state, const std::vector<int64_t>& targets,
                                        const std::string& endian) {
    validate_measure_args(state.n(), state.num_state(), targets, endian);
    const bool little_endian = endian == "little";
    const std::vector<double> by_outcome =
        state.precision() == Precision::Complex64
            ? measure_probabilities(state.n(), state.amplitudes<float>(), targets, little_endian, state.device_id())
            : measure_probabilities(state.n(), state.amplitudes<double>(), targets, little_endian, state.device_id());
    return quorra::lsb_first_outcomes(by_outcome, targets.size());
}

template std::vector<double> pauli_expectations<float>(int64_t, const CuComplex<float>*, const std::vector<PauliMasks>&,
                                                       int32_t);
template std::vector<double> pauli_expectations<double>(int64_t, const CuComplex<double>*,
                                                        const std::vector<PauliMasks>&, int32_t);
template std::vector<double> pauli_cross_sums<float>(const CuComplex<float>*, const CuComplex<float>*, int64_t,
                                                     uint64_t, const std::vector<uint64_t>&, const std::vector<bool>&,
                                                     int32_t);
template std::vector<double> pauli_cross_sums<double>(const CuComplex<double>*, const CuComplex<double>*, int64_t,
                                                      uint64_t, const std::vector<uint64_t>&, const std::vector<bool>&,
                                                      int32_t);

}  // namespace velqa
