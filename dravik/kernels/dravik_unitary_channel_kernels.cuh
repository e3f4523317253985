// Device code of the fused "one-qubit unitary, then a channel" pass, and the 2x2 block
// conjugation it shares with the fused tiles.
// Kernels only; geometry, validation and error checks live in dravik_unitary_channel.cu.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#pragma once

#include <cuda_runtime.h>

#include <cstdint>

#include "../state/dravik_device_state.cuh"
#include "dravik_kraus_kernels.cuh"
#include "dravik_unitary_channel.cuh"
#include "dravik_unitary_kernels.cuh"

namespace quorra::dravik {

// U then channel Kind on the single target. Launch: (D/2)^2 threads, 256 per block, no
// shared memory. Thread t owns the 2x2 block of row group t >> (n-1) and column group
// t & (R-1): it reads the block, conjugates it by U, applies the channel and writes it
// back, so the pair costs one pass over rho.
template <typename T, int Kind>
__global__ void unitary_channel_kernel(CuComplex<T>* data, int64_t dimension, DeviceTargets targets,
                                       const CuComplex<T>* matrix, T p) {
    const uint64_t t = global_thread_index();
    const int64_t rest_count = targets.rest_count;
    const uint64_t groups = uint64_t{1} << rest_count;
    if (t >= groups * groups) {
        return;
    }
    const uint64_t bit = uint64_t{1} << targets.targets[0];
    const uint64_t d = static_cast<uint64_t>(dimension);
    CuComplex<T>* top = data + insert_zero_bits(t >> rest_count, bit) * d + insert_zero_bits(t & (groups - 1), bit);
    CuComplex<T>* bottom = top + bit * d;
    CuComplex<T> a = top[0], b = top[bit], c = bottom[0], e = bottom[bit];
    const CuComplex<T> u[4] = {matrix[0], matrix[1], matrix[2], matrix[3]};
    conjugate_block(u, true, true, a, b, c, e);
    channel_block(channel_factors<T>(Kind, p), a, b, c, e);
    top[0] = a;
    top[bit] = b;
    bottom[0] = c;
    bottom[bit] = e;
}

}  // namespace quorra::dravik
