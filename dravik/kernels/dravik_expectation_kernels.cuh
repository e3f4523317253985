// Device code of the density expectation values: one block per Pauli string. Kernels only;
// validation and buffers live in dravik_expectation.cu.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#pragma once

#include <cuda_runtime.h>

#include <cstdint>
#include <quorra_launch.cuh>

#include "../state/dravik_device_state.cuh"

namespace quorra::dravik {

constexpr unsigned kExpectationBlock = 256;

// A string as the kernel reads it: element rho[i][i ^ flip] with the sign of i & sign, its real
// part or (use_imag) its imaginary part. Aligned so the two masks arrive in one 16-byte load.
struct alignas(16) DensityPauliSlot {
    uint64_t flip;
    uint64_t sign;
    uint32_t use_imag;
};

// sums[s] = sum over i in [0, 2^n) of (-1)^{popcount(i & sign)} times Re or Im rho[i][i ^ flip]
// for slot s = blockIdx.x, in a fixed order: thread t adds i = t, t + blockDim, ... ascending,
// then the block adds the threads' sums in a fixed tree. Launch: one block per slot of
// min(kExpectationBlock, 2^n) threads (a power of two).
template <typename T>
__global__ void density_pauli_expectation_kernel(int64_t n, const CuComplex<T>* data, const DensityPauliSlot* slots,
                                                 double* sums) {
    QUORRA_SHARED_ARRAY(double, tree, kExpectationBlock);
    const uint32_t tid = threadIdx.x;
    const uint32_t threads = blockDim.x;
    const DensityPauliSlot slot = slots[blockIdx.x];
    const uint64_t d = uint64_t{1} << n;
    double sum = 0.0;
    for (uint64_t i = tid; i < d; i += threads) {
        // Only the part the string needs: one scalar read (re at +0, im at +1).
        const T* parts = reinterpret_cast<const T*>(data + (i * d + (i ^ slot.flip)));
        const double v = static_cast<double>(parts[slot.use_imag]);
        const uint64_t bits = i & slot.sign;
        sum += (__popc(static_cast<uint32_t>(bits ^ (bits >> 32))) & 1) != 0 ? -v : v;
    }
    tree[tid] = sum;
    for (uint32_t width = threads >> 1; width > 0; width >>= 1) {
        __syncthreads();
        if (tid < width) {
            tree[tid] += tree[tid + width];
        }
    }
    if (tid == 0) {
        sums[blockIdx.x] = tree[0];
    }
}

}  // namespace quorra::dravik
