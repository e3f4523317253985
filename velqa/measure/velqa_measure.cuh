// Measurement and sampling of target qubits of a device state vector: outcome
// probabilities on the device, seeded drawing on the host, collapse on the device.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "measure/velqa_sampling.hpp"
#include "state/velqa_device_state.cuh"

namespace velqa {

struct MeasureResult {
    // Outcomes drawn at least once with their shot counts; the order is not part of the result.
    std::vector<OutcomeCount> counts;
    // The final shot's outcome and its bit string.
    uint64_t last_outcome = 0;
    std::string last;
};

// k characters '0'/'1', the most significant outcome bit first: character j is the measured
// value of targets[j].
std::string outcome_bit_string(uint64_t outcome, int64_t k);

// Writes the bit string of `outcome` into out[0, k).
void write_bit_string(uint64_t outcome, int64_t k, char* out);

// Throws std::invalid_argument, checked in this order: "n must be in [1, 62]", "state size
// does not match 2**n", "measure targets size must be in [1, 62]", "endian must be 'little'
// or 'big'", then per target "measure target index out of range" or "duplicate measure
// target index".
void validate_measure_args(int64_t n, int64_t num_state, const std::vector<int64_t>& targets,
                           const std::string& endian);

// The 2^k outcome probabilities (unnormalised) of the targets, computed on the device in one
// pass over the state. Arguments must have passed validate_measure_args; sets the device.
template <typename T>
std::vector<double> measure_probabilities(int64_t n, const CuComplex<T>* state, const std::vector<int64_t>& targets,
                                          bool little_endian, int32_t device_id);

// Keeps the amplitudes whose index bits under match_mask equal match_value, scaled by
// 1/sqrt(probability), and zeroes the others (n-qubit state, stream 0). Does not wait.
template <typename T>
void collapse_onto(int64_t n, CuComplex<T>* state, uint64_t match_mask, uint64_t match_value, double probability);

// `shots` draws of the targets from std::mt19937_64 seeded with `seed`; with collapse_last
// the state is collapsed onto the final draw's outcome and renormalised. Waits for the
// device. Before the collapse the state is never written, so every failure up to the norm
// check ("Quantum state has zero or invalid norm.") leaves it unchanged.
template <typename T>
MeasureResult sample_measure(int64_t n, CuComplex<T>* state, int64_t num_state, const std::vector<int64_t>& targets,
                             const std::string& endian, int32_t device_id, uint64_t shots, uint64_t seed,
                             bool collapse_last);

// sample_measure on a DeviceState, in the instance of its precision.
MeasureResult sample_measure_state(const DeviceState& state, const std::vector<int64_t>& targets,
                                   const std::string& endian, uint64_t shots, uint64_t seed, bool collapse_last);

extern template std::vector<double> measure_probabilities<float>(int64_t, const CuComplex<float>*,
                                                                 const std::vector<int64_t>&, bool, int32_t);
extern template std::vector<double> measure_probabilities<double>(int64_t, const CuComplex<double>*,
                                                                  const std::vector<int64_t>&, bool, int32_t);
extern template void collapse_onto<float>(int64_t, CuComplex<float>*, uint64_t, uint64_t, double);
extern template void collapse_onto<double>(int64_t, CuComplex<double>*, uint64_t, uint64_t, double);
extern template MeasureResult sample_measure<float>(int64_t, CuComplex<float>*, int64_t, const std::vector<int64_t>&,
                                                    const std::string&, int32_t, uint64_t, uint64_t, bool);
extern template MeasureResult sample_measure<double>(int64_t, CuComplex<double>*, int64_t, const std::vector<int64_t>&,
                                                     const std::string&, int32_t, uint64_t, uint64_t, bool);

}  // namespace velqa
