// Expectation values Tr(rho P) of Pauli strings and outcome probabilities of a density
// matrix, computed on the device without copying the matrix out.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#pragma once

#include <complex>
#include <cstdint>
#include <string>
#include <vector>

#include "../state/dravik_device_state.cuh"

namespace quorra::dravik {

// One Pauli string: letters[m] (one of I, X, Y, Z in either case) acts on qubits[m].
struct DensityPauliString {
    std::string letters;
    std::vector<int64_t> qubits;
};

// A Hamiltonian term: coefficient times a Pauli string.
struct DensityPauliTerm {
    std::complex<double> coefficient;
    DensityPauliString paulis;
};

// The index bits of a string (qubit q is index bit q): `flip` holds the X and Y qubits, `sign`
// the Y and Z qubits. P maps basis index i to i ^ flip with the factor i^{#Y} (-1)^{popcount(i &
// sign)}.
struct DensityPauliMasks {
    uint64_t flip = 0;
    uint64_t sign = 0;
};

// The masks of every string, in order. Throws std::invalid_argument naming the string (by
// position) and what is wrong, checked per string in this order: "Pauli string i: L letters
// for Q qubits", then per letter "Pauli string i: letter 'c' is not one of I, X, Y, Z",
// "Pauli string i: qubit q out of range [0, n)", "Pauli string i: qubit q repeated".
std::vector<DensityPauliMasks> density_pauli_masks(uint64_t n, const std::vector<DensityPauliString>& strings);

// Re Tr(rho P) of every string, each from the 2^n elements rho[i][i ^ flip] it touches, summed
// in double in a fixed order (the trace of rho is not divided out). No strings: an empty result
// and no device work.
std::vector<double> density_pauli_expectations(const DeviceDensityState& state,
                                               const std::vector<DensityPauliString>& strings);

// sum_t coefficient_t Tr(rho P_t) in term order; strings, then coefficients ("term i:
// coefficient is not finite") are checked before any device work. No terms: 0.
std::complex<double> density_expectation(const DeviceDensityState& state, const std::vector<DensityPauliTerm>& terms);

// The 2^k outcome probabilities of the targets without collapsing: entry r has bit j equal to
// the value of targets[j]. The measurement's checks, messages and sums.
std::vector<double> density_probabilities(const DeviceDensityState& state, const std::vector<int64_t>& targets,
                                          const std::string& endian);

}  // namespace quorra::dravik
