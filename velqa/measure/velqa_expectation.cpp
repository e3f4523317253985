// Pauli strings on the host: validation, masks and the grouping of strings into passes.
// Plain C++, no CUDA.
#include "measure/velqa_expectation.hpp"

#include <bit>
#include <cmath>
#include <map>
#include <stdexcept>

namespace velqa {

namespace {

[[noreturn]] void refuse_string(size_t index, const std::string& what) {
    throw std::invalid_argument("Pauli string " + std::to_string(index) + ": " + what);
}

}  // namespace

std::vector<PauliMasks> pauli_masks(int64_t n, const std::vector<PauliString>& strings, bool little_endian) {
    std::vector<PauliMasks> result;
    result.reserve(strings.size());
    for (size_t s = 0; s < strings.size(); ++s) {
        const PauliString& string = strings[s];
        if (string.letters.size() != string.qubits.size()) {
            refuse_string(s, std::to_string(string.letters.size()) + " letters for " +
                                 std::to_string(string.qubits.size()) + " qubits");
        }
        PauliMasks masks;
        uint64_t seen = 0;
        for (size_t m = 0; m < string.letters.size(); ++m) {
            const char letter = string.letters[m];
            const int64_t q = string.qubits[m];
            const bool known = letter == 'I' || letter == 'X' || letter == 'Y' || letter == 'Z' || letter == 'i' ||
                               letter == 'x' || letter == 'y' || letter == 'z';
            if (!known) {
                refuse_string(s, std::string("letter '") + letter + "' is not one of I, X, Y, Z");
            }
            if (q < 0 || q >= n) {
                refuse_string(s, "qubit " + std::to_string(q) + " out of range [0, " + std::to_string(n) + ")");
            }
            if (((seen >> q) & 1U) != 0) {
                refuse_string(s, "qubit " + std::to_string(q) + " repeated");
            }
            seen |= uint64_t{1} << q;
            const uint64_t bit = uint64_t{1} << (little_endian ? q : n - 1 - q);
            const char upper = letter >= 'a' ? static_cast<char>(letter - 'a' + 'A') : letter;
            if (upper == 'X' || upper == 'Y') {
                masks.flip |= bit;
            }
            if (upper == 'Y' || upper == 'Z') {
                masks.sign |= bit;
            }
        }
        result.push_back(masks);
    }
    return result;
}

PauliPlan plan_pauli_passes(const std::vector<PauliMasks>& strings) {
    PauliPlan plan;
    // Distinct masks grouped by flip mask, each group in order of first appearance.
    std::map<uint64_t, std::vector<uint64_t>> groups;
    for (const PauliMasks& m : strings) {
        std::vector<uint64_t>& signs = groups[m.flip];
        bool known = false;
        for (const uint64_t s : signs) {
            known = known || s == m.sign;
        }
        if (!known) {
            signs.push_back(m.sign);
        }
    }
    std::map<std::pair<uint64_t, uint64_t>, size_t> slot_index;
    for (const auto& [flip, signs] : groups) {
        for (size_t first = 0; first < signs.size(); first += kPauliMaxBatch) {
            PauliPlan::Pass pass;
            pass.flip = flip;
            pass.first_slot = plan.slots.size();
            pass.slot_count = std::min(kPauliMaxBatch, signs.size() - first);
            for (size_t j = first; j < first + pass.slot_count; ++j) {
                slot_index[{flip, signs[j]}] = plan.slots.size();
                plan.slots.push_back(PauliMasks{flip, signs[j]});
                // The pair (i, i ^ flip) adds s(i) (c + (-1)^y conj(c)) i^y with c = conj(psi_{i^x})
                // psi_i, s(i) = (-1)^{popcount(i & sign)} and y = #Y = popcount(flip & sign):
                // 2 s(i) Re c (-1)^{y/2} for even y, 2 s(i) Im c (-1)^{(y+1)/2} for odd y.
                const int y = std::popcount(flip & signs[j]);
                const bool odd = (y & 1) != 0;
                const int quarter_turns = odd ? (y + 1) / 2 : y / 2;
                plan.use_imag.push_back(odd);
                plan.factor.push_back(flip == 0 ? 1.0 : (quarter_turns % 2 == 0 ? 2.0 : -2.0));
            }
            plan.passes.push_back(pass);
        }
    }
    plan.slot_of_string.reserve(strings.size());
    for (const PauliMasks& m : strings) {
        plan.slot_of_string.push_back(slot_index.at({m.flip, m.sign}));
    }
    return plan;
}

void check_coefficients(const std::vector<PauliTerm>& terms) {
    for (size_t t = 0; t < terms.size(); ++t) {
        const std::complex<double> c = terms[t].coefficient;
        if (!std::isfinite(c.real()) || !std::isfinite(c.imag())) {
            throw std::invalid_argument("term " + std::to_string(t) + ": coefficient is not finite");
        }
    }
}

std::complex<double> combine_terms(const std::vector<PauliTerm>& terms, const std::vector<double>& values) {
    std::complex<double> total{0.0, 0.0};
    for (size_t t = 0; t < terms.size(); ++t) {
        total += terms[t].coefficient * values[t];
    }
    return total;
}

}  // namespace velqa
