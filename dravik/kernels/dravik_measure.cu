// Density measurement: validation, device buffers, the seeded draw and the two launches.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#include <cmath>
#include <limits>
#include <quorra_launch.cuh>
#include <random>
#include <stdexcept>

#include "dravik_measure.cuh"
#include "dravik_measure_kernels.cuh"

namespace quorra::dravik {

namespace {

void validate_measurement(uint64_t n, const std::vector<int64_t>& targets, const std::string& endian) {
    if (n < 1 || n > kMaxDensityQubits) {
        throw std::invalid_argument("num_qubits must be in [1, 15]");
    }
    if (targets.empty()) {
        throw std::invalid_argument("measure targets must not be empty");
    }
    if (endian != "little" && endian != "big") {
        throw std::invalid_argument("endian must be 'little' or 'big'");
    }
    uint64_t seen = 0;
    for (const int64_t t : targets) {
        if (t < 0 || static_cast<uint64_t>(t) >= n) {
            throw std::invalid_argument("measure target index out of range");
        }
        if (((seen >> t) & 1) != 0) {
            throw std::invalid_argument("duplicate measure target index");
        }
        seen |= uint64_t{1} << t;
    }
}

// The first outcome whose running sum reaches u, with u uniform in [0, next double above
// the total); the last outcome if rounding leaves none.
uint64_t draw_outcome(const std::vector<double>& table, uint64_t seed) {
    double total = 0.0;
    for (const double p : table) {
        total += p;
    }
    if (!(std::isfinite(total) && total > 0.0)) {
        throw std::runtime_error("density matrix has zero or invalid trace.");
    }
    std::mt19937_64 engine(seed);
    const double high = std::nextafter(total, std::numeric_limits<double>::max());
    const double u = static_cast<double>(engine() >> 11) * 0x1p-53 * high;
    double running = 0.0;
    for (size_t o = 0; o < table.size(); ++o) {
        running += table[o];
        if (running >= u) {
            return o;
        }
    }
    return table.size() - 1;
}

// Makes the state's device current and returns its ordinal.
int32_t select_device(const DeviceDensityState& state) {
    check_cuda(cudaSetDevice(state.device_id()));
    return state.device_id();
}

// The device side of one measurement: the k targets and the 2^k probabilities, allocated on
// the state's device in that order and released on every path.
class OutcomeTable {
public:
    OutcomeTable(const DeviceDensityState& state, const std::vector<int64_t>& targets)
        : k_(static_cast<int64_t>(targets.size())),
          device_targets_(select_device(state), targets.size() * sizeof(int64_t)),
          device_table_(state.device_id(), (size_t{1} << targets.size()) * sizeof(double)) {
        check_cuda(cudaMemcpy(device_targets_.as<int64_t>(), targets.data(), targets.size() * sizeof(int64_t),
                              cudaMemcpyHostToDevice));
    }

    // The table from the diagonal; the kernel writes every entry.
    template <typename T>
    std::vector<double> compute(const DeviceDensityState& state, bool little) const {
        const auto n = static_cast<int64_t>(state.num_qubits());
        const uint64_t outcomes = uint64_t{1} << k_;
        const uint64_t per_block = kMeasureBlock >> measure_group_log2(n, k_);
        launch_kernel(density_measure_probs_kernel<T>,
                      dim3(static_cast<unsigned>((outcomes + per_block - 1) / per_block)), dim3(kMeasureBlock), 0,
                      cudaStream_t{}, n, state.elements<T>(), device_targets_.as<const int64_t>(), k_, little,
                      device_table_.as<double>());
        check_launch("CUDA error: ");
        std::vector<double> table(outcomes);
        check_cuda(
            cudaMemcpy(table.data(), device_table_.as<double>(), outcomes * sizeof(double), cudaMemcpyDeviceToHost));
        return table;
    }

    const int64_t* targets() const { return device_targets_.as<const int64_t>(); }

private:
    int64_t k_;
    DeviceBuffer device_targets_;
    DeviceBuffer device_table_;
};

template <typename T>
uint64_t measure_typed(const DeviceDensityState& state, const std::vector<int64_t>& targets, bool little,
                       uint64_t seed) {
    const auto n = static_cast<int64_t>(state.num_qubits());
    const auto k = static_cast<int64_t>(targets.size());
    const OutcomeTable buffers(state, targets);
    const std::vector<double> table = buffers.compute<T>(state, little);
    const uint64_t outcome = draw_outcome(table, seed);
    const double p = table[outcome];
    if (!(p > 0.0)) {
        throw std::runtime_error("Selected measurement probability is zero.");
    }

    const auto d = static_cast<uint64_t>(state.dimension());
    const dim3 block(32, 8, 1);
    const dim3 grid(static_cast<unsigned>((d + 31) / 32), static_cast<unsigned>((d + 7) / 8), 1);
    launch_kernel(density_measure_collapse_kernel<T>, grid, block, 0, cudaStream_t{}, n, state.elements<T>(),
                  buffers.targets(), k, little, outcome, 1.0 / p);
    check_launch("CUDA error: ");
    return outcome;
}

}  // namespace

std::vector<double> density_measure_probabilities(const DeviceDensityState& state, const std::vector<int64_t>& targets,
                                                  const std::string& endian) {
    validate_measurement(state.num_qubits(), targets, endian);
    const bool little = endian == "little";
    const OutcomeTable buffers(state, targets);
    return state.is_double() ? buffers.compute<double>(state, little) : buffers.compute<float>(state, little);
}

std::string measure_density(const DeviceDensityState& state, const std::vector<int64_t>& targets,
                            const std::string& endian, uint64_t seed) {
    validate_measurement(state.num_qubits(), targets, endian);
    const bool little = endian == "little";
    const uint64_t outcome = state.is_double() ? measure_typed<double>(state, targets, little, seed)
                                               : measure_typed<float>(state, targets, little, seed);
    const size_t k = targets.size();
    std::string bits(k, '0');
    for (size_t i = 0; i < k; ++i) {
        bits[i] = static_cast<char>('0' + ((outcome >> (k - 1 - i)) & 1));
    }
    return bits;
}

}  // namespace quorra::dravik
