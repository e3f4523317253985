// Density expectation values and probabilities: validation, the string slots, buffers and the
// launch. Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#include <bit>
#include <cmath>
#include <map>
#include <quorra_launch.cuh>
#include <stdexcept>

#include "dravik_expectation.cuh"
#include "dravik_expectation_kernels.cuh"
#include "dravik_measure.cuh"

namespace quorra::dravik {

namespace {

[[noreturn]] void refuse_string(size_t index, const std::string& what) {
    throw std::invalid_argument("Pauli string " + std::to_string(index) + ": " + what);
}

bool is_pauli_letter(char letter) {
    switch (letter) {
        case 'I':
        case 'X':
        case 'Y':
        case 'Z':
        case 'i':
        case 'x':
        case 'y':
        case 'z':
            return true;
        default:
            return false;
    }
}

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
    std::vector<DensityPauliMasks> result;
    result.reserve(strings.size());
    for (size_t s = 0; s < strings.size(); ++s) {
        const DensityPauliString& string = strings[s];
        if (string.letters.size() != string.qubits.size()) {
            refuse_string(s, std::to_string(string.letters.size()) + " letters for " +
                                 std::to_string(string.qubits.size()) + " qubits");
        }
        DensityPauliMasks masks;
        uint64_t seen = 0;
        for (size_t m = 0; m < string.letters.size(); ++m) {
            const char letter = string.letters[m];
            const int64_t q = string.qubits[m];
            if (!is_pauli_letter(letter)) {
                refuse_string(s, std::string("letter '") + letter + "' is not one of I, X, Y, Z");
            }
            if (q < 0 || static_cast<uint64_t>(q) >= n) {
                refuse_string(s, "qubit " + std::to_string(q) + " out of range [0, " + std::to_string(n) + ")");
            }
            if (((seen >> q) & 1U) != 0) {
                refuse_string(s, "qubit " + std::to_string(q) + " repeated");
            }
            const uint64_t bit = uint64_t{1} << q;
            seen |= bit;
            const char upper = letter >= 'a' ? static_cast<char>(letter - 'a' + 'A') : letter;
            masks.flip |= (upper == 'X' || upper == 'Y') ? bit : 0;
            masks.sign |= (upper == 'Y' || upper == 'Z') ? bit : 0;
        }
        result.push_back(masks);
    }
    return result;
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
    // The measurement's outcome has targets[0] as its most significant bit; here it is bit 0.
    const size_t k = targets.size();
    std::vector<double> probs(by_outcome.size());
    for (size_t o = 0; o < by_outcome.size(); ++o) {
        size_t r = 0;
        for (size_t j = 0; j < k; ++j) {
            r |= ((o >> (k - 1 - j)) & 1U) << j;
        }
        probs[r] = by_outcome[o];
    }
    return probs;
}

}  // namespace quorra::dravik
