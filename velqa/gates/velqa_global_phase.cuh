// GLOBAL_PHASE launcher: multiplies the amplitudes that meet the controls by e^(i theta).
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#pragma once

#include <cuda_runtime.h>

#include <cstdint>
#include <vector>

#include "state/velqa_device_state.cuh"

namespace velqa {

// Enqueues one kernel on `stream` (no wait); the same kernel in every mode. Without controls
// every amplitude gets the phase; with controls it is a phase on the matching subspace.
// Throws std::invalid_argument for bad controls, std::runtime_error on a launch error.
template <typename T>
void cu_global_phase(int64_t n, CuComplex<T>* state, const std::vector<int64_t>& control,
                     const std::vector<int64_t>& control_state, T theta, cudaStream_t stream);

}  // namespace velqa
