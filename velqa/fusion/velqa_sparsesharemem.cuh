// SparseShareMem launcher: one kernel pass applies a whole group of fused single-target
// gates and SWAPs to tiles of 2^k amplitudes held in shared memory.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#pragma once

#include <cuda_runtime.h>

#include <cstdint>

#include "fusion/velqa_matrix_gate.hpp"
#include "state/velqa_device_state.cuh"

namespace velqa::fusion {

// Checks, in this order: k in [1, 10], k <= n, at least one record; then launches on
// `stream`. `gates` is the device address of the group's first record. Launch errors are
// left for the caller's check after the group.
template <typename T>
void launch_sparsesharemem(int64_t n, CuComplex<T>* state, uint64_t active_mask, int64_t k,
                           const DeviceMatrixGate<T>* gates, int64_t gate_count, cudaStream_t stream);

}  // namespace velqa::fusion
