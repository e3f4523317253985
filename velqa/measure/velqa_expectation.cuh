// Expectation values and outcome probabilities of a device state vector, computed on the
// device without copying the state out: Pauli strings grouped by the bits they flip, a dense
// matrix on a few targets, and the marginal probabilities of the measurement's pass.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#pragma once

#include <complex>
#include <cstdint>
#include <string>
#include <vector>

#include "measure/velqa_expectation.hpp"
#include "state/velqa_device_state.cuh"

namespace velqa {

// <psi|P|psi> of every string (unnormalised: the state's norm is not divided out), one
// read-only pass per group of up to kPauliMaxBatch strings with one flip mask. Masks must come
// from pauli_masks for this n; sets the device; waits for the device.
template <typename T>
std::vector<double> pauli_expectations(int64_t n, const CuComplex<T>* state, const std::vector<PauliMasks>& strings,
                                       int32_t device_id);

// For pairs that straddle two slices of a distributed state: slot s's raw sum over k <
// 2^work_bits of (-1)^{popcount(k & signs[s])} times Re (Im where use_imag[s]) of
// conj(b[k ^ flip]) a[k]; flip < 2^work_bits, at most kPauliMaxBatch slots. Sets the device;
// waits for the device.
template <typename T>
std::vector<double> pauli_cross_sums(const CuComplex<T>* a, const CuComplex<T>* b, int64_t work_bits, uint64_t flip,
                                     const std::vector<uint64_t>& signs, const std::vector<bool>& use_imag,
                                     int32_t device_id);

// pauli_expectations on a DeviceState: endian text checked, strings validated, then the
// instance of the state's precision. No strings: an empty result and no device work.
std::vector<double> pauli_expectations_state(const DeviceState& state, const std::vector<PauliString>& strings,
                                             const std::string& endian);

// sum_t coefficient_t <psi|P_t|psi>: every check (endian, strings, coefficients) before any
// device work; distinct strings are computed once. No terms: 0 and no device work.
std::complex<double> expectation_state(const DeviceState& state, const std::vector<PauliTerm>& terms,
                                       const std::string& endian);

// Throws std::invalid_argument, in this order: "matrix targets size must be in [1, 6]", per
// target "matrix target index out of range" / "duplicate matrix target index", "matrix must
// have shape (2**k, 2**k) for k targets", "matrix entries must be finite".
void validate_matrix_expectation_args(int64_t n, const std::vector<int64_t>& targets, int64_t rows, int64_t cols,
                                      const std::vector<std::complex<double>>& matrix);

// <psi|M|psi> for a row-major 2^k x 2^k matrix whose index bit j is the value of qubit
// targets[j] (qubit q is index bit q). No Hermiticity assumed.
std::complex<double> matrix_expectation_state(const DeviceState& state, const std::vector<std::complex<double>>& matrix,
                                              int64_t rows, int64_t cols, const std::vector<int64_t>& targets);

// The 2^k outcome probabilities of the targets (unnormalised) without collapsing: entry r has
// bit j equal to the value of targets[j]. The measurement's checks and messages, and its
// pass, so the sums are bit for bit those a measurement draws from.
std::vector<double> probabilities_state(const DeviceState& state, const std::vector<int64_t>& targets,
                                        const std::string& endian);

}  // namespace velqa
