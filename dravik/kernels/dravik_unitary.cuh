// Host launchers that apply a (controlled) unitary to a density matrix in place,
// rho <- U_c rho U_c^dagger, and the target description their kernels receive.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#pragma once

#include <cuda_runtime.h>

#include <cstdint>
#include <vector>

#include "../state/dravik_device_state.cuh"

namespace quorra::dravik {

// Targets of a dense operation and the remaining qubits, passed to kernels by value.
// Local index bit b is the value of targets[b]; group index bit i is the value of rest[i].
struct DeviceTargets {
    int64_t count = 0;       // k, 1 to 6
    int64_t rest_count = 0;  // n - k
    int64_t targets[6] = {};
    int64_t rest[15] = {};
};

constexpr int64_t kMaxDenseTargets = 6;

// Targets in the given order, then every other qubit of the n-qubit register ascending.
// Refuses target lists the kernels cannot take (empty, wider than 6, out of range, repeated).
DeviceTargets make_device_targets(const std::vector<int64_t>& targets, uint64_t num_qubits);

// Dense path: one pass for one or two targets, a left and a right pass for three to six.
// `matrix` is the 2^k x 2^k row-major U in device memory.
template <typename T>
void launch_unitary(CuComplex<T>* data, int64_t dimension, const DeviceTargets& targets, uint64_t control_mask,
                    uint64_t control_values, const CuComplex<T>* matrix, cudaStream_t stream);

// Diagonal path: diag(diag0, diag1) on the target where the controls hold.
template <typename T>
void launch_diagonal(CuComplex<T>* data, int64_t dimension, uint64_t target_mask, uint64_t control_mask,
                     uint64_t control_values, CuComplex<T> diag0, CuComplex<T> diag1, cudaStream_t stream);

// Permutation path: X (flip the masked bit) or SWAP (exchange the two masked bits).
template <typename T>
void launch_permutation(CuComplex<T>* data, int64_t dimension, uint64_t permutation_mask, uint64_t control_mask,
                        uint64_t control_values, bool permutation_is_swap, cudaStream_t stream);

}  // namespace quorra::dravik
