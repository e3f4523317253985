// SWAP launcher: exchanges two target qubits, optionally under controls.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#pragma once

#include <cuda_runtime.h>

#include <cstdint>
#include <vector>

#include "runner/velqa_kernel_mode.hpp"
#include "state/velqa_device_state.cuh"

namespace velqa {

// Enqueues one kernel on `stream` (no wait). mode: AllState, PairAuto, anything else Pair.
// Throws std::invalid_argument for bad controls or targets, std::runtime_error on a launch error.
template <typename T>
void cu_swap(int64_t n, CuComplex<T>* state, int32_t q0, int32_t q1, const std::vector<int64_t>& controls,
             const std::vector<int64_t>& control_state, cudaStream_t stream, KernelMode mode);

extern template void cu_swap<float>(int64_t, CuComplex<float>*, int32_t, int32_t, const std::vector<int64_t>&,
                                    const std::vector<int64_t>&, cudaStream_t, KernelMode);
extern template void cu_swap<double>(int64_t, CuComplex<double>*, int32_t, int32_t, const std::vector<int64_t>&,
                                     const std::vector<int64_t>&, cudaStream_t, KernelMode);

}  // namespace velqa
