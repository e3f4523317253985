// The stand-in's barrier scheduling: kernels that meet at __syncthreads.
#include <gtest/gtest.h>

#include <vector>

#include "quorra_launch.cuh"

namespace {

// Tree reduction over shared memory: log2(block) barriers, each phase reading what
// other threads wrote in the phase before.
__global__ void block_sum_kernel(const double* in, double* out) {
    QUORRA_DYNAMIC_SHARED(double, partial);
    const unsigned t = threadIdx.x;
    partial[t] = in[blockIdx.x * blockDim.x + t];
    __syncthreads();
    for (unsigned stride = blockDim.x / 2; stride > 0; stride /= 2) {
        if (t < stride) {
            partial[t] += partial[t + stride];
        }
        __syncthreads();
    }
    if (t == 0) {
        out[blockIdx.x] = partial[0];
    }
}

// Each thread reads its left neighbour's value after a barrier.
__global__ void rotate_kernel(const int* in, int* out) {
    QUORRA_SHARED_ARRAY(int, slots, 1024);
    const unsigned t = threadIdx.x;
    slots[t] = in[blockIdx.x * blockDim.x + t];
    __syncthreads();
    out[blockIdx.x * blockDim.x + t] = slots[(t + blockDim.x - 1) % blockDim.x];
}

// Same without the barrier: must give a wrong answer in the stand-in, proving the
// scheduler does not hide a missing barrier.
__global__ void rotate_without_barrier_kernel(const int* in, int* out) {
    QUORRA_SHARED_ARRAY(int, slots, 1024);
    const unsigned t = threadIdx.x;
    slots[t] = in[blockIdx.x * blockDim.x + t];
    out[blockIdx.x * blockDim.x + t] = slots[(t + blockDim.x - 1) % blockDim.x];
}

__global__ void divergent_barrier_kernel(int* out) {
    if (threadIdx.x % 2 == 0) {
        __syncthreads();
    }
    out[threadIdx.x] = 1;
}

template <typename T>
struct DeviceBuffer {
    explicit DeviceBuffer(size_t count) { EXPECT_EQ(cudaMalloc(&ptr, count * sizeof(T)), cudaSuccess); }
    ~DeviceBuffer() { cudaFree(ptr); }
    T* ptr = nullptr;
};

TEST(HostStandInBarriers, BlockReductionOverSharedMemory) {
    constexpr unsigned kBlock = 256;
    constexpr unsigned kBlocks = 300;  // enough blocks for the worker pool to share them
    std::vector<double> host(kBlock * kBlocks);
    for (size_t i = 0; i < host.size(); ++i) {
        host[i] = static_cast<double>(i % 97) - 3.5;
    }
    DeviceBuffer<double> in(host.size());
    DeviceBuffer<double> out(kBlocks);
    ASSERT_EQ(cudaMemcpy(in.ptr, host.data(), host.size() * sizeof(double), cudaMemcpyHostToDevice), cudaSuccess);
    quorra::launch_kernel(block_sum_kernel, dim3(kBlocks), dim3(kBlock), kBlock * sizeof(double), nullptr,
                          static_cast<const double*>(in.ptr), out.ptr);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    std::vector<double> sums(kBlocks);
    ASSERT_EQ(cudaMemcpy(sums.data(), out.ptr, kBlocks * sizeof(double), cudaMemcpyDeviceToHost), cudaSuccess);
    for (unsigned b = 0; b < kBlocks; ++b) {
        double expected = 0;
        for (unsigned t = 0; t < kBlock; ++t) {
            expected += host[b * kBlock + t];
        }
        EXPECT_DOUBLE_EQ(sums[b], expected) << "block " << b;
    }
}

TEST(HostStandInBarriers, NeighbourReadsAfterBarrierSeeWrites) {
    constexpr unsigned kBlock = 128;
    constexpr unsigned kBlocks = 4;
    std::vector<int> host(kBlock * kBlocks);
    for (size_t i = 0; i < host.size(); ++i) {
        host[i] = static_cast<int>(i);
    }
    DeviceBuffer<int> in(host.size());
    DeviceBuffer<int> out(host.size());
    ASSERT_EQ(cudaMemcpy(in.ptr, host.data(), host.size() * sizeof(int), cudaMemcpyHostToDevice), cudaSuccess);

    std::vector<int> result(host.size());
    quorra::launch_kernel(rotate_kernel, dim3(kBlocks), dim3(kBlock), 0, nullptr, static_cast<const int*>(in.ptr),
                          out.ptr);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    ASSERT_EQ(cudaMemcpy(result.data(), out.ptr, result.size() * sizeof(int), cudaMemcpyDeviceToHost), cudaSuccess);
    for (unsigned b = 0; b < kBlocks; ++b) {
        for (unsigned t = 0; t < kBlock; ++t) {
            EXPECT_EQ(result[b * kBlock + t], host[b * kBlock + (t + kBlock - 1) % kBlock]);
        }
    }

    quorra::launch_kernel(rotate_without_barrier_kernel, dim3(kBlocks), dim3(kBlock), 0, nullptr,
                          static_cast<const int*>(in.ptr), out.ptr);
    ASSERT_EQ(cudaMemcpy(result.data(), out.ptr, result.size() * sizeof(int), cudaMemcpyDeviceToHost), cudaSuccess);
    int wrong = 0;
    for (unsigned b = 0; b < kBlocks; ++b) {
        wrong += result[b * kBlock] != host[b * kBlock + kBlock - 1] ? 1 : 0;
    }
    EXPECT_GT(wrong, 0) << "a missing barrier went unnoticed";
}

TEST(HostStandInBarriers, DivergentBarrierIsReported) {
    DeviceBuffer<int> out(64);
    EXPECT_THROW(quorra::launch_kernel(divergent_barrier_kernel, dim3(1), dim3(64), 0, nullptr, out.ptr),
                 std::runtime_error);
}

}  // namespace
