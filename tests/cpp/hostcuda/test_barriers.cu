// The stand-in's barrier scheduling: kernels that meet at __syncthreads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "hostcuda_test_support.h"

namespace {

using hostcuda_test::DeviceBuffer;
using hostcuda_test::expect_execution_failure;
using hostcuda_test::StandInTest;

class HostStandInBarriers : public StandInTest {};

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

TEST_F(HostStandInBarriers, BlockReductionOverSharedMemory) {
    constexpr unsigned kBlock = 256;
    constexpr unsigned kBlocks = 300;  // enough blocks for the worker pool to share them
    std::vector<double> host(kBlock * kBlocks);
    for (size_t i = 0; i < host.size(); ++i) {
        host[i] = static_cast<double>(i % 97) - 3.5;
    }
    DeviceBuffer<double> in(host.size());
    DeviceBuffer<double> out(kBlocks);
    ASSERT_EQ(cudaMemcpy(in.get(), host.data(), host.size() * sizeof(double), cudaMemcpyHostToDevice), cudaSuccess);
    quorra::launch_kernel(block_sum_kernel, dim3(kBlocks), dim3(kBlock), kBlock * sizeof(double), nullptr,
                          static_cast<const double*>(in.get()), out.get());
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    std::vector<double> sums(kBlocks);
    ASSERT_EQ(cudaMemcpy(sums.data(), out.get(), kBlocks * sizeof(double), cudaMemcpyDeviceToHost), cudaSuccess);
    for (unsigned b = 0; b < kBlocks; ++b) {
        double expected = 0;
        for (unsigned t = 0; t < kBlock; ++t) {
            expected += host[b * kBlock + t];
        }
        EXPECT_DOUBLE_EQ(sums[b], expected) << "block " << b;
    }
}

TEST_F(HostStandInBarriers, NeighbourReadsAfterBarrierSeeWrites) {
    constexpr unsigned kBlock = 128;
    constexpr unsigned kBlocks = 4;
    std::vector<int> host(kBlock * kBlocks);
    for (size_t i = 0; i < host.size(); ++i) {
        host[i] = static_cast<int>(i);
    }
    DeviceBuffer<int> in(host.size());
    DeviceBuffer<int> out(host.size());
    ASSERT_EQ(cudaMemcpy(in.get(), host.data(), host.size() * sizeof(int), cudaMemcpyHostToDevice), cudaSuccess);

    std::vector<int> result(host.size());
    quorra::launch_kernel(rotate_kernel, dim3(kBlocks), dim3(kBlock), 0, nullptr, static_cast<const int*>(in.get()),
                          out.get());
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    ASSERT_EQ(cudaMemcpy(result.data(), out.get(), result.size() * sizeof(int), cudaMemcpyDeviceToHost), cudaSuccess);
    for (unsigned b = 0; b < kBlocks; ++b) {
        for (unsigned t = 0; t < kBlock; ++t) {
            EXPECT_EQ(result[b * kBlock + t], host[b * kBlock + (t + kBlock - 1) % kBlock]);
        }
    }

    quorra::launch_kernel(rotate_without_barrier_kernel, dim3(kBlocks), dim3(kBlock), 0, nullptr,
                          static_cast<const int*>(in.get()), out.get());
    ASSERT_EQ(cudaMemcpy(result.data(), out.get(), result.size() * sizeof(int), cudaMemcpyDeviceToHost), cudaSuccess);
    int wrong = 0;
    for (unsigned b = 0; b < kBlocks; ++b) {
        for (unsigned t = 0; t < kBlock; ++t) {
            wrong += result[b * kBlock + t] != host[b * kBlock + (t + kBlock - 1) % kBlock] ? 1 : 0;
        }
    }
    EXPECT_GT(wrong, 0) << "a missing barrier went unnoticed";
}

TEST_F(HostStandInBarriers, DivergentBarrierIsReported) {
    DeviceBuffer<int> out(64);
    quorra::launch_kernel(divergent_barrier_kernel, dim3(1), dim3(64), 0, nullptr, out.get());
    EXPECT_EQ(cudaGetLastError(), cudaSuccess) << "an execution error is not a launch error";
    expect_execution_failure(cudaErrorLaunchFailure, "divergent barrier");
}

// Inclusive prefix sum over a block of any shape (Hillis-Steele): two barriers per
// step, one between the reads and the writes and one before the next reads. Every
// thread also records its built-ins so the index mapping of 2-D/3-D blocks and grids
// is checked against the linear order.
__global__ void block_scan_kernel(const long long* in, long long* out, unsigned* coords) {
    QUORRA_DYNAMIC_SHARED(long long, scratch);
    const unsigned threads = blockDim.x * blockDim.y * blockDim.z;
    const unsigned t = threadIdx.x + blockDim.x * (threadIdx.y + blockDim.y * threadIdx.z);
    const unsigned long long block =
        blockIdx.x + gridDim.x * (blockIdx.y + static_cast<unsigned long long>(gridDim.y) * blockIdx.z);
    const unsigned long long global = block * threads + t;
    scratch[t] = in[global];
    __syncthreads();
    for (unsigned offset = 1; offset < threads; offset *= 2) {
        const long long add = t >= offset ? scratch[t - offset] : 0;
        __syncthreads();
        scratch[t] += add;
        __syncthreads();
    }
    out[global] = scratch[t];
    unsigned* mine = coords + global * 6;
    mine[0] = threadIdx.x;
    mine[1] = threadIdx.y;
    mine[2] = threadIdx.z;
    mine[3] = blockIdx.x;
    mine[4] = blockIdx.y;
    mine[5] = blockIdx.z;
}

struct ScanShape {
    dim3 grid;
    dim3 block;
};

class HostStandInBlockShapes : public StandInTest, public ::testing::WithParamInterface<ScanShape> {};

TEST_P(HostStandInBlockShapes, PrefixSumAcrossManyBarriers) {
    const dim3 grid = GetParam().grid;
    const dim3 block = GetParam().block;
    const size_t threads = static_cast<size_t>(block.x) * block.y * block.z;
    const size_t blocks = static_cast<size_t>(grid.x) * grid.y * grid.z;
    std::vector<long long> host(threads * blocks);
    for (size_t i = 0; i < host.size(); ++i) {
        host[i] = static_cast<long long>((i * 7919) % 1001) - 500;
    }
    DeviceBuffer<long long> in(host.size());
    DeviceBuffer<long long> out(host.size());
    DeviceBuffer<unsigned> coords(host.size() * 6);
    in.upload(host);
    quorra::launch_kernel(block_scan_kernel, grid, block, threads * sizeof(long long), nullptr,
                          static_cast<const long long*>(in.get()), out.get(), coords.get());
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);

    const std::vector<long long> sums = out.download();
    const std::vector<unsigned> seen = coords.download();
    for (size_t b = 0; b < blocks; ++b) {
        long long running = 0;
        for (size_t t = 0; t < threads; ++t) {
            const size_t i = b * threads + t;
            running += host[i];
            ASSERT_EQ(sums[i], running) << "block " << b << " thread " << t;
            const unsigned expected[6] = {
                static_cast<unsigned>(t % block.x),
                static_cast<unsigned>(t / block.x % block.y),
                static_cast<unsigned>(t / (block.x * block.y)),
                static_cast<unsigned>(b % grid.x),
                static_cast<unsigned>(b / grid.x % grid.y),
                static_cast<unsigned>(b / (static_cast<size_t>(grid.x) * grid.y)),
            };
            for (int c = 0; c < 6; ++c) {
                ASSERT_EQ(seen[i * 6 + c], expected[c]) << "block " << b << " thread " << t << " coordinate " << c;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, HostStandInBlockShapes,
                         ::testing::Values(ScanShape{dim3(3), dim3(1)},               // one thread a block
                                           ScanShape{dim3(2), dim3(1024)},            // the largest block
                                           ScanShape{dim3(2), dim3(32, 32)},          // 2-D, 1024 threads
                                           ScanShape{dim3(1), dim3(4, 4, 64)},        // deepest z
                                           ScanShape{dim3(2, 3), dim3(7, 5, 3)},      // odd sizes, 2-D grid
                                           ScanShape{dim3(2, 2, 3), dim3(16, 2, 2)},  // 3-D grid
                                           // Same thread count and x, other y and z, one after the
                                           // other: the fibers' thread indices must follow the shape.
                                           ScanShape{dim3(2), dim3(4, 2, 4)}, ScanShape{dim3(2), dim3(4, 4, 2)},
                                           ScanShape{dim3(2), dim3(4, 2, 4)}));

// Throws from one thread, either before any barrier or between two barriers.
__global__ void throwing_kernel(unsigned thrower, bool after_barrier, int* out) {
    const unsigned t = threadIdx.x;
    if (!after_barrier && t == thrower) {
        throw std::out_of_range("thrown by thread " + std::to_string(t));
    }
    out[t] = 1;
    __syncthreads();
    if (after_barrier && t == thrower) {
        throw std::out_of_range("thrown by thread " + std::to_string(t));
    }
    __syncthreads();
    out[t] = 2;
}

class HostStandInFiberExceptions : public StandInTest,
                                   public ::testing::WithParamInterface<std::tuple<unsigned, bool>> {};

TEST_P(HostStandInFiberExceptions, ReportedAsALaunchFailureWithItsMessage) {
    const auto [thrower, after_barrier] = GetParam();
    constexpr unsigned kBlock = 64;
    DeviceBuffer<int> out(kBlock);
    quorra::launch_kernel(throwing_kernel, dim3(1), dim3(kBlock), 0, nullptr, thrower, after_barrier, out.get());
    expect_execution_failure(cudaErrorLaunchFailure, "thrown by thread " + std::to_string(thrower));
    // The scheduler is usable again: a barrier kernel on the same fibers runs correctly.
    std::vector<long long> ones(kBlock, 1);
    DeviceBuffer<long long> in(kBlock);
    DeviceBuffer<long long> sums(kBlock);
    DeviceBuffer<unsigned> coords(kBlock * 6);
    in.upload(ones);
    quorra::launch_kernel(block_scan_kernel, dim3(1), dim3(kBlock), kBlock * sizeof(long long), nullptr,
                          static_cast<const long long*>(in.get()), sums.get(), coords.get());
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    const std::vector<long long> result = sums.download();
    for (unsigned t = 0; t < kBlock; ++t) {
        EXPECT_EQ(result[t], t + 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Throwers, HostStandInFiberExceptions,
                         ::testing::Combine(::testing::Values(0u, 17u, 63u), ::testing::Bool()));

// A kernel without barriers, whose threads run as a plain loop, throwing from one block
// of a grid large enough to be spread over the worker threads.
__global__ void throw_in_block_kernel(unsigned block, double* out) {
    if (blockIdx.x == block && threadIdx.x == 3) {
        throw std::invalid_argument("block " + std::to_string(block));
    }
    out[blockIdx.x * blockDim.x + threadIdx.x] = 1.0;
}

TEST_F(HostStandInBarriers, ExceptionFromAWorkerThreadIsReportedAtTheNextSynchronisation) {
    constexpr unsigned kBlocks = 256;
    constexpr unsigned kBlock = 256;
    DeviceBuffer<double> out(kBlocks * kBlock);
    for (const unsigned block : {0u, 200u, kBlocks - 1}) {
        quorra::launch_kernel(throw_in_block_kernel, dim3(kBlocks), dim3(kBlock), 0, nullptr, block, out.get());
        expect_execution_failure(cudaErrorLaunchFailure, "block " + std::to_string(block));
    }
    // The pool keeps working after a failed launch.
    quorra::launch_kernel(throw_in_block_kernel, dim3(kBlocks), dim3(kBlock), 0, nullptr, kBlocks, out.get());
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    for (const double value : out.download()) {
        ASSERT_EQ(value, 1.0);
    }
}

// Records where each thread's frame lives. With a barrier every thread runs in a fiber.
__global__ void frame_address_kernel(uintptr_t* frames) {
    frames[blockIdx.x * blockDim.x + threadIdx.x] = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    __syncthreads();
}

TEST_F(HostStandInBarriers, FiberStacksAreReusedAcrossBlocksAndLaunches) {
    constexpr unsigned kBlocks = 3;  // a small grid runs on the launching thread alone
    constexpr unsigned kBlock = 48;
    const hostcuda_test::ScopedEnv one_thread("QUORRA_HOSTCUDA_SPREAD", nullptr);
    DeviceBuffer<uintptr_t> first(kBlocks * kBlock);
    DeviceBuffer<uintptr_t> second(kBlocks * kBlock);
    quorra::launch_kernel(frame_address_kernel, dim3(kBlocks), dim3(kBlock), 0, nullptr, first.get());
    quorra::launch_kernel(frame_address_kernel, dim3(kBlocks), dim3(kBlock), 0, nullptr, second.get());
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    const std::vector<uintptr_t> a = first.download();
    const std::vector<uintptr_t> b = second.download();
    for (unsigned block = 0; block < kBlocks; ++block) {
        for (unsigned t = 0; t < kBlock; ++t) {
            EXPECT_EQ(a[block * kBlock + t], a[t]) << "thread " << t << " of block " << block << " got a new stack";
            EXPECT_EQ(b[block * kBlock + t], a[t]) << "thread " << t << " got a new stack in the second launch";
        }
    }
    // Distinct threads have distinct stacks of at least 64 KiB each.
    std::vector<uintptr_t> frames(a.begin(), a.begin() + kBlock);
    std::sort(frames.begin(), frames.end());
    for (size_t i = 1; i < frames.size(); ++i) {
        EXPECT_GE(frames[i] - frames[i - 1], 64u * 1024u);
    }
}

// Keeps a 60 KiB array on each fiber's stack across a barrier: the wide kernels hold
// 64-element complex vectors per thread.
__global__ void large_frame_kernel(unsigned long long* out) {
    volatile unsigned char scratch[60 * 1024];
    for (size_t i = 0; i < sizeof(scratch); ++i) {
        scratch[i] = static_cast<unsigned char>(i + threadIdx.x);
    }
    __syncthreads();
    unsigned long long sum = 0;
    for (size_t i = 0; i < sizeof(scratch); ++i) {
        sum += scratch[i];
    }
    out[threadIdx.x] = sum;
}

TEST_F(HostStandInBarriers, FibersHoldLargeLocalArraysAcrossABarrier) {
    constexpr unsigned kBlock = 32;
    DeviceBuffer<unsigned long long> out(kBlock);
    quorra::launch_kernel(large_frame_kernel, dim3(1), dim3(kBlock), 0, nullptr, out.get());
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    const std::vector<unsigned long long> sums = out.download();
    for (unsigned t = 0; t < kBlock; ++t) {
        unsigned long long expected = 0;
        for (size_t i = 0; i < 60 * 1024; ++i) {
            expected += static_cast<unsigned char>(i + t);
        }
        EXPECT_EQ(sums[t], expected) << "thread " << t;
    }
}

// Each thread reads its own shared slot before writing it; the slot must hold the
// poison pattern at the start of every block, not what the previous block left.
__global__ void shared_poison_probe_kernel(bool with_barrier, unsigned char* fresh) {
    QUORRA_DYNAMIC_SHARED(double, slots);
    const unsigned t = threadIdx.x;
    unsigned char bytes[sizeof(double)];
    std::memcpy(bytes, &slots[t], sizeof(bytes));
    float as_float = 0;
    std::memcpy(&as_float, &slots[t], sizeof(float));
    const bool poisoned = hostcuda_test::all_bytes_are(bytes, sizeof(bytes), hostcuda::kPoisonByte) &&
                          std::isnan(slots[t]) && std::isnan(as_float);
    fresh[blockIdx.x * blockDim.x + t] = poisoned ? 1 : 0;
    slots[t] = blockIdx.x;
    if (with_barrier) {
        __syncthreads();
    }
}

TEST_F(HostStandInBarriers, DynamicSharedMemoryIsPoisonedAtEveryBlockStart) {
    constexpr unsigned kBlocks = 4;
    constexpr unsigned kBlock = 64;
    for (const bool with_barrier : {false, true}) {
        DeviceBuffer<unsigned char> fresh(kBlocks * kBlock);
        quorra::launch_kernel(shared_poison_probe_kernel, dim3(kBlocks), dim3(kBlock), kBlock * sizeof(double), nullptr,
                              with_barrier, fresh.get());
        ASSERT_EQ(cudaGetLastError(), cudaSuccess);
        const std::vector<unsigned char> flags = fresh.download();
        for (size_t i = 0; i < flags.size(); ++i) {
            EXPECT_EQ(flags[i], 1) << "block " << i / kBlock << " thread " << i % kBlock
                                   << (with_barrier ? " (fibers)" : " (plain loop)");
        }
    }
}

// Thread 0 never waits, the others do: detected when the plain loop meets the barrier.
__global__ void thread_zero_skips_barrier_kernel(int* out) {
    if (threadIdx.x != 0) {
        __syncthreads();
    }
    out[threadIdx.x] = 1;
}

// All threads pass the first barrier; only some reach the second.
__global__ void divergent_second_barrier_kernel(int* out) {
    __syncthreads();
    if (threadIdx.x < 3) {
        __syncthreads();
    }
    out[threadIdx.x] = 1;
}

TEST_F(HostStandInBarriers, EveryKindOfDivergentBarrierIsReported) {
    DeviceBuffer<int> out(64);
    quorra::launch_kernel(thread_zero_skips_barrier_kernel, dim3(1), dim3(64), 0, nullptr, out.get());
    expect_execution_failure(cudaErrorLaunchFailure, "divergent barrier");
    quorra::launch_kernel(divergent_second_barrier_kernel, dim3(1), dim3(64), 0, nullptr, out.get());
    expect_execution_failure(cudaErrorLaunchFailure, "divergent barrier");
    // A block of one thread cannot diverge.
    quorra::launch_kernel(divergent_second_barrier_kernel, dim3(1), dim3(1), 0, nullptr, out.get());
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

}  // namespace
