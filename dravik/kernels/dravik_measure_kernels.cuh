// Device code of the density measurement: the outcome table over the diagonal and the
// collapse. Kernels only; validation, buffers and the draw live in dravik_measure.cu.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#pragma once

#include <cuda_runtime.h>

#include <cstdint>

#include "../state/dravik_device_state.cuh"

namespace quorra::dravik {

// Outcome index of basis index x: bit k-1-j is the value of qubit targets[j], which sits
// at index bit targets[j] (little endian) or n-1-targets[j] (big endian).
__host__ __device__ __forceinline__ uint64_t measure_outcome_of(uint64_t x, int64_t n, const int64_t* targets,
                                                                int64_t k, bool little) {
    uint64_t outcome = 0;
    for (int64_t j = 0; j < k; ++j) {
        const int64_t position = little ? targets[j] : n - 1 - targets[j];
        outcome = (outcome << 1) | ((x >> position) & 1);
    }
    return outcome;
}

// One thread per diagonal element: adds Re rho[i][i] to its outcome's entry.
template <typename T>
__global__ void density_measure_probs_kernel(int64_t n, const CuComplex<T>* data, const int64_t* targets, int64_t k,
                                             bool little, double* probabilities) {
    const uint64_t i = static_cast<uint64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
    const uint64_t d = uint64_t{1} << n;
    if (i >= d) {
        return;
    }
    const double value = static_cast<double>(data[i * d + i].re);
    atomicAdd(&probabilities[measure_outcome_of(i, n, targets, k, little)], value);
}

// One thread per element: keeps (scaled by 1/p) the elements whose row and column both
// belong to the outcome, zeroes every other element.
template <typename T>
__global__ void density_measure_collapse_kernel(int64_t n, CuComplex<T>* data, const int64_t* targets, int64_t k,
                                                bool little, uint64_t outcome, double inverse_probability) {
    const uint64_t c = static_cast<uint64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
    const uint64_t r = static_cast<uint64_t>(blockIdx.y) * blockDim.y + threadIdx.y;
    const uint64_t d = uint64_t{1} << n;
    if (r >= d || c >= d) {
        return;
    }
    CuComplex<T>& element = data[r * d + c];
    if (measure_outcome_of(r, n, targets, k, little) == outcome &&
        measure_outcome_of(c, n, targets, k, little) == outcome) {
        element = CuComplex<T>{static_cast<T>(static_cast<double>(element.re) * inverse_probability),
                               static_cast<T>(static_cast<double>(element.im) * inverse_probability)};
    } else {
        element = CuComplex<T>{T(0), T(0)};
    }
}

}  // namespace quorra::dravik
