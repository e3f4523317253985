// Pauli strings on the host: validation, masks and the grouping of strings into passes.
// Plain C++, no CUDA.
#include "measure/velqa_expectation.hpp"

#include <bit>
#include <cmath>
#include <map>
#include <stdexcept>

#include "quorra_pauli_masks.hpp"

namespace velqa {

std::vector<PauliMasks> pauli_masks(int64_t n, const std::vector<PauliString>& strings, bool little_endian) {
    return quorra::pauli_string_masks<PauliMasks>(static_cast<uint64_t>(n), strings, little_endian);
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
