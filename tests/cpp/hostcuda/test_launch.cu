// The stand-in's launch checks, last-error handling, error strings and atomics.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "hostcuda_test_support.h"

namespace {

using hostcuda_test::DeviceBuffer;
using hostcuda_test::RegisteredCounter;
using hostcuda_test::StandInTest;

// Several worker threads even on a one-core machine, so the atomics below really race.
// Set before main, before the worker pool is first used; an explicit setting wins.
const bool kWorkersRequested = setenv("QUORRA_HOSTCUDA_THREADS", "4", 0) == 0;

__global__ void count_threads_kernel(std::atomic<long long>* ran) { ran->fetch_add(1, std::memory_order_relaxed); }

struct LaunchCase {
    const char* name;
    dim3 grid;
    dim3 block;
    size_t shared_bytes;
    bool default_stream;
    cudaError_t expected;
};

std::string launch_case_name(const ::testing::TestParamInfo<LaunchCase>& info) { return info.param.name; }

class HostStandInLaunchLimits : public StandInTest, public ::testing::WithParamInterface<LaunchCase> {};

TEST_P(HostStandInLaunchLimits, BadConfigurationRunsNothingAndSetsTheLastError) {
    const LaunchCase& c = GetParam();
    RegisteredCounter ran;
    // Any non-null handle is a stream the stand-in does not have.
    const cudaStream_t stream = c.default_stream ? nullptr : reinterpret_cast<cudaStream_t>(uintptr_t{0x40});
    quorra::launch_kernel(count_threads_kernel, c.grid, c.block, c.shared_bytes, stream, ran.get());
    EXPECT_EQ(ran.load(), 0) << "a rejected launch ran threads";
    EXPECT_EQ(cudaPeekAtLastError(), c.expected);
    EXPECT_EQ(cudaPeekAtLastError(), c.expected) << "peeking cleared the error";
    EXPECT_EQ(cudaGetLastError(), c.expected);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess) << "reading the error did not clear it";
}

constexpr unsigned kGridXLimit = 0x80000000u;  // 2^31: one past the largest grid x

INSTANTIATE_TEST_SUITE_P(
    Configurations, HostStandInLaunchLimits,
    ::testing::Values(LaunchCase{"Block1025Threads", dim3(1), dim3(1025), 0, true, cudaErrorInvalidConfiguration},
                      LaunchCase{"BlockY1025", dim3(1), dim3(1, 1025), 0, true, cudaErrorInvalidConfiguration},
                      LaunchCase{"Block33x32", dim3(1), dim3(33, 32), 0, true, cudaErrorInvalidConfiguration},
                      LaunchCase{"BlockZ65", dim3(1), dim3(1, 1, 65), 0, true, cudaErrorInvalidConfiguration},
                      LaunchCase{"BlockX0", dim3(1), dim3(0, 1, 1), 0, true, cudaErrorInvalidConfiguration},
                      LaunchCase{"BlockY0", dim3(1), dim3(1, 0, 1), 0, true, cudaErrorInvalidConfiguration},
                      LaunchCase{"BlockZ0", dim3(1), dim3(1, 1, 0), 0, true, cudaErrorInvalidConfiguration},
                      LaunchCase{"GridX0", dim3(0, 1, 1), dim3(32), 0, true, cudaErrorInvalidConfiguration},
                      LaunchCase{"GridY0", dim3(1, 0, 1), dim3(32), 0, true, cudaErrorInvalidConfiguration},
                      LaunchCase{"GridZ0", dim3(1, 1, 0), dim3(32), 0, true, cudaErrorInvalidConfiguration},
                      LaunchCase{"GridX2Pow31", dim3(kGridXLimit), dim3(32), 0, true, cudaErrorInvalidConfiguration},
                      LaunchCase{"GridY65536", dim3(1, 65536), dim3(32), 0, true, cudaErrorInvalidConfiguration},
                      LaunchCase{"GridZ65536", dim3(1, 1, 65536), dim3(32), 0, true, cudaErrorInvalidConfiguration},
                      LaunchCase{"SharedOver48KiB", dim3(1), dim3(32), 48 * 1024 + 1, true, cudaErrorInvalidValue},
                      LaunchCase{"SharedOneMiB", dim3(4), dim3(32), 1 << 20, true, cudaErrorInvalidValue},
                      LaunchCase{"NonDefaultStream", dim3(1), dim3(32), 0, false, cudaErrorInvalidResourceHandle}),
    launch_case_name);

struct LimitCase {
    const char* name;
    dim3 grid;
    dim3 block;
    size_t shared_bytes;
};

class HostStandInLaunchBoundaries : public StandInTest, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(HostStandInLaunchBoundaries, ConfigurationAtTheLimitRunsEveryThread) {
    const LimitCase& c = GetParam();
    RegisteredCounter ran;
    quorra::launch_kernel(count_threads_kernel, c.grid, c.block, c.shared_bytes, nullptr, ran.get());
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    const long long expected =
        static_cast<long long>(c.grid.x) * c.grid.y * c.grid.z * c.block.x * c.block.y * c.block.z;
    EXPECT_EQ(ran.load(), expected);
}

INSTANTIATE_TEST_SUITE_P(Configurations, HostStandInLaunchBoundaries,
                         ::testing::Values(LimitCase{"Block1024", dim3(2), dim3(1024), 0},
                                           LimitCase{"BlockY1024", dim3(2), dim3(1, 1024), 0},
                                           LimitCase{"BlockZ64", dim3(2), dim3(16, 1, 64), 0},
                                           LimitCase{"GridY65535", dim3(1, 65535), dim3(1), 0},
                                           LimitCase{"GridZ65535", dim3(1, 1, 65535), dim3(2), 0},
                                           LimitCase{"Shared48KiB", dim3(3), dim3(64), 48 * 1024}),
                         [](const ::testing::TestParamInfo<LimitCase>& info) { return std::string(info.param.name); });

class HostStandInLastError : public StandInTest {};

TEST_F(HostStandInLastError, SuccessfulCallsKeepItAndALaterErrorReplacesIt) {
    RegisteredCounter ran;
    quorra::launch_kernel(count_threads_kernel, dim3(1), dim3(2048), 0, nullptr, ran.get());
    // Successful calls in between leave the error in place, as on a GPU.
    void* ptr = nullptr;
    ASSERT_EQ(cudaMalloc(&ptr, 64), cudaSuccess);
    ASSERT_EQ(cudaFree(ptr), cudaSuccess);
    quorra::launch_kernel(count_threads_kernel, dim3(1), dim3(8), 0, nullptr, ran.get());
    EXPECT_EQ(ran.load(), 8);
    EXPECT_EQ(cudaPeekAtLastError(), cudaErrorInvalidConfiguration);
    // A newer failure replaces it.
    EXPECT_EQ(cudaSetDevice(1000), cudaErrorInvalidDevice);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidDevice);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

TEST_F(HostStandInLastError, IsKeptPerHostThread) {
    RegisteredCounter ran;
    quorra::launch_kernel(count_threads_kernel, dim3(1), dim3(1, 1, 65), 0, nullptr, ran.get());
    cudaError_t other_initial = cudaErrorLaunchFailure;
    cudaError_t other_own = cudaSuccess;
    cudaError_t other_after_read = cudaErrorLaunchFailure;
    std::thread other([&] {
        other_initial = cudaGetLastError();
        quorra::launch_kernel(count_threads_kernel, dim3(1), dim3(32), 1 << 20, nullptr, ran.get());
        other_own = cudaGetLastError();
        other_after_read = cudaGetLastError();
    });
    other.join();
    EXPECT_EQ(other_initial, cudaSuccess) << "another thread saw this thread's error";
    EXPECT_EQ(other_own, cudaErrorInvalidValue);
    EXPECT_EQ(other_after_read, cudaSuccess);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidConfiguration) << "another thread's error or read leaked here";
    EXPECT_EQ(ran.load(), 0);
}

TEST(HostStandInErrorStrings, MatchTheCudaRuntime) {
    const std::vector<std::pair<cudaError_t, std::string>> expected = {
        {cudaSuccess, "no error"},
        {cudaErrorInvalidValue, "invalid argument"},
        {cudaErrorMemoryAllocation, "out of memory"},
        {cudaErrorInvalidConfiguration, "invalid configuration argument"},
        {cudaErrorInvalidDevicePointer, "invalid device pointer"},
        {cudaErrorInvalidMemcpyDirection, "invalid copy direction for memcpy"},
        {cudaErrorNoDevice, "no CUDA-capable device is detected"},
        {cudaErrorInvalidDevice, "invalid device ordinal"},
        {cudaErrorInvalidResourceHandle, "invalid resource handle"},
        {cudaErrorHostMemoryAlreadyRegistered, "part or all of the requested memory range is already mapped"},
        {cudaErrorHostMemoryNotRegistered, "pointer does not correspond to a registered memory region"},
        {cudaErrorLaunchFailure, "unspecified launch failure"},
        {static_cast<cudaError_t>(12345), "unrecognized error code"},
    };
    for (const auto& [code, text] : expected) {
        EXPECT_EQ(std::string(cudaGetErrorString(code)), text) << "code " << static_cast<int>(code);
    }
    // The numeric codes are the runtime's own, since callers may print or compare them.
    EXPECT_EQ(cudaErrorInvalidConfiguration, 9);
    EXPECT_EQ(cudaErrorInvalidDevice, 101);
    EXPECT_EQ(cudaErrorInvalidResourceHandle, 400);
    EXPECT_EQ(cudaErrorHostMemoryAlreadyRegistered, 712);
    EXPECT_EQ(cudaErrorHostMemoryNotRegistered, 713);
}

// Each thread adds 1 and keeps the value it replaced: with a correct atomic the old
// values are exactly 0 .. N-1, each once, whatever the order.
__global__ void atomic_count_kernel(double* total, double* olds) {
    const unsigned long long i = static_cast<unsigned long long>(blockIdx.x) * blockDim.x + threadIdx.x;
    olds[i] = atomicAdd(total, 1.0);
}

// Spreads exactly representable quarters over a few accumulators.
__global__ void atomic_buckets_kernel(double* buckets, unsigned bucket_count) {
    const unsigned long long i = static_cast<unsigned long long>(blockIdx.x) * blockDim.x + threadIdx.x;
    atomicAdd(&buckets[i % bucket_count], 0.25 * static_cast<double>(i % 13));
}

class HostStandInAtomics : public StandInTest {};

TEST_F(HostStandInAtomics, AddOnDoubleFromManyBlocksLosesNothing) {
    ASSERT_TRUE(kWorkersRequested);
    constexpr unsigned kBlocks = 96;  // large enough to be spread over the worker threads
    constexpr unsigned kBlock = 512;
    constexpr size_t kThreads = size_t{kBlocks} * kBlock;
    DeviceBuffer<double> total(1);
    DeviceBuffer<double> olds(kThreads);
    ASSERT_EQ(cudaMemset(total.get(), 0, sizeof(double)), cudaSuccess);
    quorra::launch_kernel(atomic_count_kernel, dim3(kBlocks), dim3(kBlock), 0, nullptr, total.get(), olds.get());
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_EQ(total.download()[0], static_cast<double>(kThreads));
    std::vector<double> seen = olds.download();
    std::sort(seen.begin(), seen.end());
    for (size_t i = 0; i < kThreads; ++i) {
        ASSERT_EQ(seen[i], static_cast<double>(i)) << "two threads saw the same old value";
    }

    constexpr unsigned kBuckets = 7;
    DeviceBuffer<double> buckets(kBuckets);
    ASSERT_EQ(cudaMemset(buckets.get(), 0, kBuckets * sizeof(double)), cudaSuccess);
    quorra::launch_kernel(atomic_buckets_kernel, dim3(kBlocks), dim3(kBlock), 0, nullptr, buckets.get(), kBuckets);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    std::vector<double> expected(kBuckets, 0.0);
    for (size_t i = 0; i < kThreads; ++i) {
        expected[i % kBuckets] += 0.25 * static_cast<double>(i % 13);
    }
    EXPECT_EQ(buckets.download(), expected);
}

// The integer intrinsics kernels use give the device's results.
TEST(HostStandInIntrinsics, BitCountAndLeadingZerosMatchTheDevice) {
    std::mt19937 rng(3);
    std::vector<unsigned> values = {0U, 1U, 0x80000000U, 0xffffffffU, 0x7fffffffU, 0x55555555U};
    for (int i = 0; i < 1000; ++i) {
        values.push_back(static_cast<unsigned>(rng()));
    }
    for (const unsigned x : values) {
        ASSERT_EQ(__popc(x), std::popcount(x)) << x;
        ASSERT_EQ(__clz(static_cast<int>(x)), std::countl_zero(x)) << x;
    }
}

}  // namespace
