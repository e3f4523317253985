// UNITARY launcher: applies a 2^k x 2^k matrix to k target qubits, optionally under controls.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#pragma once

#include <cuda_runtime.h>

#include <complex>
#include <cstdint>
#include <vector>

#include "runner/velqa_kernel_mode.hpp"
#include "state/velqa_device_state.cuh"

namespace velqa {

// matrix: row-major, matrix_dim x matrix_dim; bit j of a row/column index is the value of
// targets[j]. Unlike the other launchers this one waits for `stream` before it returns.
// Throws std::invalid_argument for a bad record, std::runtime_error on a CUDA error.
template <typename T>
void cu_unitary(int64_t n, CuComplex<T>* state, const std::vector<int64_t>& targets,
                const std::vector<int64_t>& controls, const std::vector<int64_t>& control_state,
                const std::vector<std::complex<double>>& matrix, int64_t matrix_dim, cudaStream_t stream,
                KernelMode mode);

extern template void cu_unitary<float>(int64_t, CuComplex<float>*, const std::vector<int64_t>&,
                                       const std::vector<int64_t>&, const std::vector<int64_t>&,
                                       const std::vector<std::complex<double>>&, int64_t, cudaStream_t, KernelMode);
extern template void cu_unitary<double>(int64_t, CuComplex<double>*, const std::vector<int64_t>&,
                                        const std::vector<int64_t>&, const std::vector<int64_t>&,
                                        const std::vector<std::complex<double>>&, int64_t, cudaStream_t, KernelMode);

}  // namespace velqa
