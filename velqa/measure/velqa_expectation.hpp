// Pauli strings and Hamiltonians on the host: validation, the bit masks of each string and
// the plan that groups strings by the bits they flip, so that one read-only pass over the
// state serves every string of a group. Plain C++, no CUDA.
#pragma once

#include <complex>
#include <cstdint>
#include <string>
#include <vector>

namespace velqa {

// One Pauli string: letters[m] (one of I, X, Y, Z in either case) acts on qubits[m].
struct PauliString {
    std::string letters;
    std::vector<int64_t> qubits;
};

// The index bits of a string: `flip` holds the X and Y qubits, `sign` the Y and Z qubits.
// P maps basis index i to i ^ flip with the factor i^{#Y} (-1)^{popcount(i & sign)}.
struct PauliMasks {
    uint64_t flip = 0;
    uint64_t sign = 0;
    bool operator==(const PauliMasks&) const = default;
};

// The masks of every string, in order. Qubit q is index bit q ("little") or n-1-q ("big").
// Throws std::invalid_argument naming the string (by position) and what is wrong, checked per
// string in this order: "Pauli string i: L letters for Q qubits", then per letter "Pauli string
// i: letter 'c' is not one of I, X, Y, Z", "Pauli string i: qubit q out of range [0, n)",
// "Pauli string i: qubit q repeated".
std::vector<PauliMasks> pauli_masks(int64_t n, const std::vector<PauliString>& strings, bool little_endian);

// The most strings one pass sums at once; a group with more takes several passes.
constexpr size_t kPauliMaxBatch = 16;

// The device work of a set of strings. Distinct masks are "slots"; a pass reads the state once
// and sums up to kPauliMaxBatch slots that share one flip mask. The kernel's raw sum of slot s
// times factor[s] is the expectation value; strings with equal masks share a slot.
struct PauliPlan {
    struct Pass {
        uint64_t flip = 0;
        size_t first_slot = 0;  // the pass's slots are first_slot, first_slot + 1, ...
        size_t slot_count = 0;
    };
    std::vector<PauliMasks> slots;  // ordered by flip mask, then by first appearance
    std::vector<bool> use_imag;     // the slot sums Im conj(psi_{i^x}) psi_i rather than Re
    std::vector<double> factor;     // +-2 for a pair sum, 1 for a flip-free slot
    std::vector<size_t> slot_of_string;
    std::vector<Pass> passes;
};

PauliPlan plan_pauli_passes(const std::vector<PauliMasks>& strings);

// A Hamiltonian term: coefficient times a Pauli string.
struct PauliTerm {
    std::complex<double> coefficient;
    PauliString paulis;
};

// Throws std::invalid_argument "term i: coefficient is not finite" for the first term whose
// coefficient has a NaN or infinite part.
void check_coefficients(const std::vector<PauliTerm>& terms);

// sum_t coefficient_t * values[t] in term order.
std::complex<double> combine_terms(const std::vector<PauliTerm>& terms, const std::vector<double>& values);

}  // namespace velqa
