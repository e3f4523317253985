// Host launcher of the fused pair "one-qubit unitary, then a built-in channel on the same
// qubit", applied in one pass over the density matrix.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#pragma once

#include <cuda_runtime.h>

#include <cstdint>

#include "../state/dravik_device_state.cuh"
#include "dravik_unitary.cuh"

namespace quorra::dravik {

// rho <- C(U rho U^dagger) for the uncontrolled 2x2 row-major U in device memory on the
// single target of `targets`, and channel C = `channel_kind` (1 to 5) with probability p.
// (D/2)^2 threads, one per 2x2 block, 256 per block.
template <typename T>
void launch_unitary_channel(CuComplex<T>* data, int64_t dimension, const DeviceTargets& targets,
                            const CuComplex<T>* matrix, int32_t channel_kind, T p, cudaStream_t stream);

}  // namespace quorra::dravik
