// Z gate launcher: the phase flip diag(1, -1), optionally under controls.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#pragma once

#include <cuda_runtime.h>

#include <cstdint>
#include <vector>

#include "state/velqa_device_state.cuh"

namespace velqa {

// Enqueues one kernel on `stream` (no wait). mode: 0 AllState, 2 PairAuto, anything else Pair.
// Throws std::invalid_argument for bad controls or target, std::runtime_error on a launch error.
template <typename T>
void cu_z(int64_t n, CuComplex<T>* state, int32_t target, const std::vector<int64_t>& controls,
          const std::vector<int64_t>& control_state, cudaStream_t stream, int32_t mode);

}  // namespace velqa
