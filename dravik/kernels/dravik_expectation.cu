// Density expectation values and probabilities: validation, the string slots, buffers and the
// launch. Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#include <bit>
#include <cmath>
#include <map>
#include <quorra_launch.cuh>
#include <quorra_outcome_order.hpp>
#include <quorra_pauli_masks.hpp>
#include <stdexcept>

#include "dravik_expectation.cuh"
#include "dravik_expectation_kernels.cuh"
#include "dravik_measure.cuh"

namespace quorra::dravik {

namespace {

template <typename T>
void launch_strings(const DeviceDensityState& state, const DeviceBuffer& slots, size_t count,
                    const DeviceBuffer& sums) {
    const auto n = static_cast<int64_t>(state.num_qubits());
    const unsigned threads = n >= 8 ? kExpectationBlock : (1U << n);
    launch_kernel(density_pauli_expectation_kernel<T>, dim3(static_cast<unsigned>(count)), dim3(threads), 0,
                  cudaStream_t{}, n, state.elements<T>(), slots.as<const DensityPauliSlot>(), sums.as<double>());
    check_launch("CUDA error: ");
}

}  // namespace

std::vector<DensityPauliMasks> density_pauli_masks(uint64_t n, const std::vector<DensityPauliString>& strings) {
    return quorra::pauli_string_masks<DensityPauliMasks>(n, strings, true);
}

std::vector<double> density_pauli_expectations(const DeviceDensityState& state,
                                               const std::vector<DensityPauliString>& strings) {
    const std::vector<DensityPauliMasks> masks = density_pauli_masks(state.num_qubits(), strings);
    if (masks.empty()) {
        return {};
    }
    // Equal strings share a slot. Tr(rho P) = i^y sum_i rho[i][i ^ flip] (-1)^{popcount(i & sign)}
    // with y = #Y: its real part is the sum's Re (y = 0 mod 4), -Im (1), -Re (2) or Im (3).
    std::map<std::pair<uint64_t, uint64_t>, size_t> slot_index;
    std::vector<DensityPauliSlot> slots;
    std::vector<double> factor;
    std::vector<size_t> slot_of_string;
    for (const DensityPauliMasks& m : masks) {
        const auto [it, added] = slot_index.try_emplace({m.flip, m.sign}, slots.size());
        if (added) {
            const int y = std::popcount(m.flip & m.sign) % 4;
            slots.push_back(DensityPauliSlot{m.flip, m.sign, static_cast<uint32_t>(y % 2)});
            factor.push_back(y == 0 || y == 3 ? 1.0 : -1.0);
        }
        slot_of_string.push_back(it->second);
    }
    check_cuda(cudaSetDevice(state.device_id()));
    const DeviceBuffer slot_buffer(state.device_id(), slots.size() * sizeof(DensityPauliSlot));
    const DeviceBuffer sum_buffer(state.device_id(), slots.size() * sizeof(double));
    check_cuda(cudaMemcpy(slot_buffer.as<void>(), slots.data(), slots.size() * sizeof(DensityPauliSlot),
                          cudaMemcpyHostToDevice));
    if (state.is_double()) {
        launch_strings<double>(state, slot_buffer, slots.size(), sum_buffer);
    } else {
        launch_strings<float>(state, slot_buffer, slots.size(), sum_buffer);
    }
    std::vector<double> sums(slots.size());
    check_cuda(cudaMemcpy(sums.data(), sum_buffer.as<void>(), sums.size() * sizeof(double), cudaMemcpyDeviceToHost));
    std::vector<double> values;
    values.reserve(strings.size());
    for (const size_t slot : slot_of_string) {
        values.push_back(factor[slot] * sums[slot]);
    }
    return values;
}

std::complex<double> density_expectation(const DeviceDensityState& state, const std::vector<DensityPauliTerm>& terms) {
    std::vector<DensityPauliString> strings;
    strings.reserve(terms.size());
    for (const DensityPauliTerm& term : terms) {
        strings.push_back(term.paulis);
    }
    (void)density_pauli_masks(state.num_qubits(), strings);
    for (size_t t = 0; t < terms.size(); ++t) {
        const std::complex<double> c = terms[t].coefficient;
        if (!std::isfinite(c.real()) || !std::isfinite(c.imag())) {
            throw std::invalid_argument("term " + std::to_string(t) + ": coefficient is not finite");
        }
    }
    if (terms.empty()) {
        return {0.0, 0.0};
    }
    const std::vector<double> values = density_pauli_expectations(state, strings);
    std::complex<double> total{0.0, 0.0};
    for (size_t t = 0; t < terms.size(); ++t) {
        total += terms[t].coefficient * values[t];
    }
    return total;
}

std::vector<double> density_probabilities(const DeviceDensityState& state, const std::vector<int64_t>& targets,
                                          const std::string& endian) {
    const std::vector<double> by_outcome = density_measure_probabilities(state, targets, endian);
    return quorra::lsb_first_outcomes(by_outcome, targets.size());
}

}  // namespace quorra::dravik
