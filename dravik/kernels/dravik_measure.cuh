// Computational-basis measurement of target qubits of a density matrix: outcome
// probabilities from the diagonal, a seeded draw on the host, collapse on the device.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "../state/dravik_device_state.cuh"

namespace quorra::dravik {

// Measures `targets` (endian "little": qubit t is index bit t; "big": bit n-1-t), collapses
// rho onto the drawn outcome renormalised by its probability, and returns one '0'/'1' per
// target, character j for targets[j].
std::string measure_density(const DeviceDensityState& state, const std::vector<int64_t>& targets,
                            const std::string& endian, uint64_t seed);

// The 2^k outcome probabilities measure_density draws from (entry o: the outcome whose bit
// string is o in binary), the same bits on every run for equal matrices and arguments.
// Refuses what measure_density refuses, with the same messages.
std::vector<double> density_measure_probabilities(const DeviceDensityState& state, const std::vector<int64_t>& targets,
                                                  const std::string& endian);

}  // namespace quorra::dravik
