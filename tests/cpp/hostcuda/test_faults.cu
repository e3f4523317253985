// GPU faults the stand-in must turn into failures: each test commits one and checks that
// the mechanism built for it catches it. Pointer arguments a GPU cannot read, work read
// before its stream ran, accesses past an allocation, shared memory beyond a block's
// 48 KiB or left over from another block, and blocks that race.
#include <cublas_v2.h>
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "hostcuda_test_support.h"

namespace {

using hostcuda_test::all_bytes_are;
using hostcuda_test::DeviceBuffer;
using hostcuda_test::expect_execution_failure;
using hostcuda_test::RegisteredCounter;
using hostcuda_test::ScopedEnv;
using hostcuda_test::StandInTest;

constexpr const char* kIllegal = "an illegal memory access was encountered";

__global__ void fill_kernel(double* out, double value, unsigned count) {
    const unsigned i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i < count) {
        out[i] = value;
    }
}

__global__ void copy_kernel(const double* in, double* out, unsigned count) {
    const unsigned i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i < count) {
        out[i] = in[i];
    }
}

// ---- pointers a GPU cannot read ----------------------------------------------------------

class HostStandInPointerArguments : public StandInTest {};

TEST_F(HostStandInPointerArguments, HostPointerFailsAtTheNextSynchronisationAndNothingRuns) {
    std::vector<double> host(64, 1.0);  // pageable, never registered
    DeviceBuffer<double> out(64);
    quorra::launch_kernel(copy_kernel, dim3(1), dim3(64), 0, nullptr, static_cast<const double*>(host.data()),
                          out.get(), 64u);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess) << "an illegal address is an execution error, not a launch error";
    EXPECT_EQ(cudaDeviceSynchronize(), cudaErrorIllegalAddress);
    EXPECT_EQ(std::string(cudaGetErrorString(cudaGetLastError())), kIllegal);
    EXPECT_NE(hostcuda::last_execution_failure().find("kernel pointer argument 0"), std::string::npos)
        << hostcuda::last_execution_failure();
    EXPECT_TRUE(all_bytes_are(out.download().data(), out.bytes(), hostcuda::kPoisonByte)) << "the kernel ran";
}

TEST_F(HostStandInPointerArguments, FreedAndPastTheEndPointersFailEveryOtherPlaceIsReadable) {
    DeviceBuffer<double> out(64);
    double* freed = nullptr;
    ASSERT_EQ(cudaMalloc(&freed, 64 * sizeof(double)), cudaSuccess);
    ASSERT_EQ(cudaFree(freed), cudaSuccess);
    quorra::launch_kernel(fill_kernel, dim3(1), dim3(64), 0, nullptr, freed, 1.0, 64u);
    expect_execution_failure(cudaErrorIllegalAddress, "kernel pointer argument 0");
    quorra::launch_kernel(fill_kernel, dim3(1), dim3(1), 0, nullptr, out.get() + 64, 1.0, 0u);
    expect_execution_failure(cudaErrorIllegalAddress, "kernel pointer argument 0");

    // Null, an interior device pointer and registered host memory are fine.
    std::vector<double> pinned(64, 0.0);
    ASSERT_EQ(cudaHostRegister(pinned.data(), pinned.size() * sizeof(double), cudaHostRegisterDefault), cudaSuccess);
    quorra::launch_kernel(fill_kernel, dim3(1), dim3(32), 0, nullptr, static_cast<double*>(nullptr), 1.0, 0u);
    quorra::launch_kernel(fill_kernel, dim3(1), dim3(32), 0, nullptr, out.get() + 32, 2.0, 32u);
    quorra::launch_kernel(fill_kernel, dim3(1), dim3(64), 0, nullptr, pinned.data(), 3.0, 64u);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    EXPECT_EQ(out.download()[63], 2.0);
    EXPECT_EQ(pinned[63], 3.0);
    ASSERT_EQ(cudaHostUnregister(pinned.data()), cudaSuccess);
}

// A struct passed by value that carries device pointers lists them for the launch check.
struct CopyArguments {
    const double* in;
    double* out;
    unsigned count;
};

std::array<const void*, 2> quorra_device_pointers(const CopyArguments& arguments) {
    return {arguments.in, arguments.out};
}

__global__ void copy_struct_kernel(CopyArguments arguments) {
    const unsigned i = threadIdx.x;
    if (i < arguments.count) {
        arguments.out[i] = arguments.in[i];
    }
}

TEST_F(HostStandInPointerArguments, StructsListTheirPointersThroughTheHook) {
    DeviceBuffer<double> in(32);
    DeviceBuffer<double> out(32);
    in.upload(std::vector<double>(32, 5.0));
    quorra::launch_kernel(copy_struct_kernel, dim3(1), dim3(32), 0, nullptr, CopyArguments{in.get(), out.get(), 32u});
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    EXPECT_EQ(out.download(), std::vector<double>(32, 5.0));

    std::vector<double> host(32, 7.0);
    quorra::launch_kernel(copy_struct_kernel, dim3(1), dim3(32), 0, nullptr,
                          CopyArguments{host.data(), out.get(), 32u});
    expect_execution_failure(cudaErrorIllegalAddress, "kernel pointer argument 0");
    EXPECT_EQ(out.download(), std::vector<double>(32, 5.0));
}

TEST_F(HostStandInPointerArguments, WorkAfterAFailureIsDroppedUntilTheErrorIsReported) {
    DeviceBuffer<double> out(32);
    int on_stack = 0;
    quorra::launch_kernel(fill_kernel, dim3(1), dim3(32), 0, nullptr, reinterpret_cast<double*>(&on_stack), 1.0, 0u);
    quorra::launch_kernel(fill_kernel, dim3(1), dim3(32), 0, nullptr, out.get(), 1.0, 32u);
    expect_execution_failure(cudaErrorIllegalAddress, "kernel pointer argument 0");
    EXPECT_TRUE(all_bytes_are(out.download().data(), out.bytes(), hostcuda::kPoisonByte));
    // A synchronous copy reports a pending failure instead of copying.
    quorra::launch_kernel(fill_kernel, dim3(1), dim3(32), 0, nullptr, reinterpret_cast<double*>(&on_stack), 1.0, 0u);
    std::vector<double> host(32, 0.0);
    EXPECT_EQ(cudaMemcpy(host.data(), out.get(), out.bytes(), cudaMemcpyDeviceToHost), cudaErrorIllegalAddress);
    EXPECT_EQ(cudaGetLastError(), cudaErrorIllegalAddress);
    EXPECT_EQ(host, std::vector<double>(32, 0.0));
}

TEST_F(HostStandInPointerArguments, GemmOperandsAreChecked) {
    cublasHandle_t handle = nullptr;
    ASSERT_EQ(cublasCreate_v2(&handle), CUBLAS_STATUS_SUCCESS);
    DeviceBuffer<cuDoubleComplex> a(4);
    DeviceBuffer<cuDoubleComplex> c(4);
    std::vector<cuDoubleComplex> host_b(4, cuDoubleComplex{1.0, 0.0});
    const cuDoubleComplex one{1.0, 0.0};
    const cuDoubleComplex zero{0.0, 0.0};
    ASSERT_EQ(cublasZgemm_v2(handle, CUBLAS_OP_N, CUBLAS_OP_N, 2, 2, 2, &one, a.get(), 2, host_b.data(), 2, &zero,
                             c.get(), 2),
              CUBLAS_STATUS_SUCCESS);
    expect_execution_failure(cudaErrorIllegalAddress, "gemm operand");
    ASSERT_EQ(cublasDestroy_v2(handle), CUBLAS_STATUS_SUCCESS);
}

// ---- stream order -----------------------------------------------------------------------

class HostStandInStreamOrder : public StandInTest {};

// "Device" memory is host memory, so the test can look at it without waiting: nothing
// has run before a call waits for the stream.
TEST_F(HostStandInStreamOrder, LaunchesRunAtTheNextWaitingPointWithTheArgumentsOfTheLaunch) {
    DeviceBuffer<double> out(64);
    double value = 1.5;
    unsigned count = 64;
    quorra::launch_kernel(fill_kernel, dim3(1), dim3(64), 0, nullptr, out.get(), value, count);
    value = -1.0;  // the launch copied its arguments
    count = 0;
    EXPECT_GE(hostcuda::queued_work_count(), 1u);
    EXPECT_TRUE(all_bytes_are(out.get(), out.bytes(), hostcuda::kPoisonByte)) << "ran before a synchronisation";
    ASSERT_EQ(cudaStreamSynchronize(nullptr), cudaSuccess);
    EXPECT_EQ(hostcuda::queued_work_count(), 0u);
    EXPECT_EQ(out.get()[0], 1.5);
    EXPECT_EQ(out.get()[63], 1.5);
}

// Each waiting point runs the queue: synchronous copies and sets, cudaFree and both
// synchronisations.
TEST_F(HostStandInStreamOrder, EveryWaitingPointRunsTheQueue) {
    DeviceBuffer<double> out(8);
    std::vector<double> host(8, 0.0);
    const std::vector<std::pair<const char*, std::function<cudaError_t()>>> waits = {
        {"cudaStreamSynchronize", [] { return cudaStreamSynchronize(nullptr); }},
        {"cudaDeviceSynchronize", [] { return cudaDeviceSynchronize(); }},
        {"cudaMemcpy", [&] { return cudaMemcpy(host.data(), out.get(), 8, cudaMemcpyDeviceToHost); }},
        {"cudaFree",
         [] {
             void* other = nullptr;
             const cudaError_t status = cudaMalloc(&other, 16);
             return status != cudaSuccess ? status : cudaFree(other);
         }},
    };
    double value = 1.0;
    for (const auto& [name, wait] : waits) {
        quorra::launch_kernel(fill_kernel, dim3(1), dim3(8), 0, nullptr, out.get(), value, 8u);
        EXPECT_NE(out.get()[7], value) << name;
        ASSERT_EQ(wait(), cudaSuccess) << name;
        EXPECT_EQ(out.get()[7], value) << name << " did not wait for the queued launch";
        value += 1.0;
    }
    // A synchronous memset waits for the launch before it and then overwrites it.
    DeviceBuffer<double> other(8);
    quorra::launch_kernel(fill_kernel, dim3(1), dim3(8), 0, nullptr, other.get(), 9.0, 8u);
    ASSERT_EQ(cudaMemset(other.get(), 0, 4 * sizeof(double)), cudaSuccess);
    EXPECT_EQ(other.get()[0], 0.0);
    EXPECT_EQ(other.get()[7], 9.0);
}

TEST_F(HostStandInStreamOrder, AsyncCopiesAndSetsRunInOrderAndPoisonHostDestinations) {
    DeviceBuffer<double> device(16);
    std::vector<double> source(16, 4.0);
    std::vector<double> pinned(16, 0.0);
    ASSERT_EQ(cudaHostRegister(pinned.data(), pinned.size() * sizeof(double), cudaHostRegisterDefault), cudaSuccess);
    ASSERT_EQ(cudaMemcpyAsync(device.get(), source.data(), device.bytes(), cudaMemcpyHostToDevice, nullptr),
              cudaSuccess);
    ASSERT_EQ(cudaMemsetAsync(device.get(), 0, 8 * sizeof(double), nullptr), cudaSuccess);
    ASSERT_EQ(cudaMemcpyAsync(pinned.data(), device.get(), device.bytes(), cudaMemcpyDeviceToHost, nullptr),
              cudaSuccess);
    EXPECT_TRUE(all_bytes_are(device.get(), device.bytes(), hostcuda::kPoisonByte));
    EXPECT_TRUE(std::isnan(pinned[0]) && std::isnan(pinned[15])) << "the destination must be poisoned until it ran";
    // Unregistering memory that queued work still uses is refused.
    EXPECT_EQ(cudaHostUnregister(pinned.data()), cudaErrorInvalidValue);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
    ASSERT_EQ(cudaStreamSynchronize(nullptr), cudaSuccess);
    EXPECT_EQ(pinned[0], 0.0);
    EXPECT_EQ(pinned[7], 0.0);
    EXPECT_EQ(pinned[8], 4.0);
    EXPECT_EQ(pinned[15], 4.0);
    EXPECT_EQ(cudaHostUnregister(pinned.data()), cudaSuccess);
    EXPECT_EQ(cudaMemsetAsync(pinned.data(), 0, 8, nullptr), cudaErrorInvalidValue) << "host memory is no target";
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
}

TEST_F(HostStandInStreamOrder, GemmRunsOnTheStream) {
    cublasHandle_t handle = nullptr;
    ASSERT_EQ(cublasCreate_v2(&handle), CUBLAS_STATUS_SUCCESS);
    DeviceBuffer<cuDoubleComplex> a(1);
    DeviceBuffer<cuDoubleComplex> b(1);
    DeviceBuffer<cuDoubleComplex> c(1);
    a.upload({cuDoubleComplex{2.0, 0.0}});
    b.upload({cuDoubleComplex{3.0, 0.0}});
    cuDoubleComplex alpha{1.0, 0.0};
    const cuDoubleComplex beta{0.0, 0.0};
    ASSERT_EQ(
        cublasZgemm_v2(handle, CUBLAS_OP_N, CUBLAS_OP_N, 1, 1, 1, &alpha, a.get(), 1, b.get(), 1, &beta, c.get(), 1),
        CUBLAS_STATUS_SUCCESS);
    alpha.x = 100.0;  // host scalars are read at the call
    EXPECT_TRUE(all_bytes_are(c.get(), c.bytes(), hostcuda::kPoisonByte));
    EXPECT_EQ(c.download()[0].x, 6.0);
    ASSERT_EQ(cublasDestroy_v2(handle), CUBLAS_STATUS_SUCCESS);
}

TEST_F(HostStandInStreamOrder, ImmediateModeRunsAtOnceAndStillReportsAtTheNextSynchronisation) {
    ScopedEnv immediate("QUORRA_HOSTCUDA_IMMEDIATE", "1");
    DeviceBuffer<double> out(8);
    quorra::launch_kernel(fill_kernel, dim3(1), dim3(8), 0, nullptr, out.get(), 2.5, 8u);
    EXPECT_EQ(out.get()[7], 2.5);
    int on_stack = 0;
    quorra::launch_kernel(fill_kernel, dim3(1), dim3(1), 0, nullptr, reinterpret_cast<double*>(&on_stack), 1.0, 0u);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    expect_execution_failure(cudaErrorIllegalAddress, "kernel pointer argument 0");
}

// ---- memory bounds ----------------------------------------------------------------------

class HostStandInBoundsDeathTest : public StandInTest {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        StandInTest::SetUp();
    }
};

__global__ void write_at_kernel(unsigned char* base, size_t offset) { base[offset] = 0; }

TEST_F(HostStandInBoundsDeathTest, EveryAllocationIsAlignedAndEndsAtAGuardPage) {
    for (const size_t bytes : {size_t{1}, size_t{8}, size_t{100}, size_t{256}, size_t{4096}, size_t{1} << 20}) {
        DeviceBuffer<unsigned char> buffer(bytes);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer.get()) % 256, 0u) << bytes;
        const size_t rounded = (bytes + 255) / 256 * 256;
        EXPECT_TRUE(all_bytes_are(buffer.get() + bytes, rounded - bytes, hostcuda::kPoisonByte)) << bytes;
        EXPECT_DEATH(
            {
                quorra::launch_kernel(write_at_kernel, dim3(1), dim3(1), 0, nullptr, buffer.get(), rounded);
                (void)cudaDeviceSynchronize();
            },
            "access past the end of a device allocation")
            << "a write at the guard page after " << bytes << " bytes did not fault";
    }
}

TEST_F(HostStandInBoundsDeathTest, AWriteIntoTheSlackIsReportedAtFree) {
    EXPECT_DEATH(
        {
            unsigned char* buffer = nullptr;
            (void)cudaMalloc(&buffer, 100);
            quorra::launch_kernel(write_at_kernel, dim3(1), dim3(1), 0, nullptr, buffer, size_t{100});
            (void)cudaFree(buffer);
        },
        "write past the end of a device allocation");
}

// A read one element past the end finds NaN, never a plausible value.
__global__ void read_past_end_kernel(const float* in, unsigned count, float* out) { out[0] = in[count]; }

TEST_F(HostStandInBoundsDeathTest, AReadIntoTheSlackSeesPoison) {
    DeviceBuffer<float> in(10);
    DeviceBuffer<float> out(1);
    in.upload(std::vector<float>(10, 1.0F));
    quorra::launch_kernel(read_past_end_kernel, dim3(1), dim3(1), 0, nullptr, static_cast<const float*>(in.get()), 10u,
                          out.get());
    EXPECT_TRUE(std::isnan(out.download()[0]));
}

// ---- shared memory ----------------------------------------------------------------------

// Reads its slot of a static shared array before writing it: it must hold the poison
// pattern at every block start, also when the blocks run on one OS thread in a row.
template <bool kBarrier>
__global__ void static_shared_probe_kernel(unsigned char* fresh) {
    QUORRA_SHARED_ARRAY(double, slots, 64);
    const unsigned t = threadIdx.x;
    fresh[blockIdx.x * blockDim.x + t] = all_bytes_are(&slots[t], sizeof(double), hostcuda::kPoisonByte) ? 1 : 0;
    slots[t] = blockIdx.x;
    if (kBarrier) {
        __syncthreads();
    }
}

class HostStandInSharedMemory : public StandInTest {};

TEST_F(HostStandInSharedMemory, StaticArraysArePoisonedAtEveryBlockStart) {
    constexpr unsigned kBlocks = 4;
    constexpr unsigned kBlock = 64;
    DeviceBuffer<unsigned char> fresh(kBlocks * kBlock);
    quorra::launch_kernel(static_shared_probe_kernel<false>, dim3(kBlocks), dim3(kBlock), 0, nullptr, fresh.get());
    EXPECT_EQ(fresh.download(), std::vector<unsigned char>(kBlocks * kBlock, 1)) << "plain loop";
    quorra::launch_kernel(static_shared_probe_kernel<true>, dim3(kBlocks), dim3(kBlock), 0, nullptr, fresh.get());
    EXPECT_EQ(fresh.download(), std::vector<unsigned char>(kBlocks * kBlock, 1)) << "fibers";
}

// Threads of a block see one another's writes to the static array after a barrier.
__global__ void static_shared_rotate_kernel(int* out) {
    QUORRA_SHARED_ARRAY(int, values, 128);
    values[threadIdx.x] = static_cast<int>(blockIdx.x * 1000 + threadIdx.x);
    __syncthreads();
    out[blockIdx.x * blockDim.x + threadIdx.x] = values[(threadIdx.x + 1) % blockDim.x];
}

TEST_F(HostStandInSharedMemory, StaticArraysAreSharedByTheBlock) {
    constexpr unsigned kBlocks = 3;
    constexpr unsigned kBlock = 128;
    DeviceBuffer<int> out(kBlocks * kBlock);
    quorra::launch_kernel(static_shared_rotate_kernel, dim3(kBlocks), dim3(kBlock), 0, nullptr, out.get());
    const std::vector<int> result = out.download();
    for (unsigned b = 0; b < kBlocks; ++b) {
        for (unsigned t = 0; t < kBlock; ++t) {
            ASSERT_EQ(result[b * kBlock + t], static_cast<int>(b * 1000 + (t + 1) % kBlock));
        }
    }
}

// 40 KiB of static shared memory: fine alone, too much with 16 KiB of dynamic memory.
__global__ void large_static_shared_kernel(double* out) {
    QUORRA_SHARED_ARRAY(double, big, 5 * 1024);
    big[threadIdx.x] = 1.0;
    out[threadIdx.x] = big[threadIdx.x];
}

TEST_F(HostStandInSharedMemory, StaticPlusDynamicAbove48KiBFails) {
    DeviceBuffer<double> out(32);
    // The stand-in learns a kernel's static size when it first runs: the first launch fails
    // when it runs, later ones at launch, as every launch does on a GPU.
    quorra::launch_kernel(large_static_shared_kernel, dim3(1), dim3(32), 16 * 1024, nullptr, out.get());
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    expect_execution_failure(cudaErrorInvalidValue, "exceeds the 48 KiB");
    EXPECT_TRUE(all_bytes_are(out.download().data(), out.bytes(), hostcuda::kPoisonByte));
    quorra::launch_kernel(large_static_shared_kernel, dim3(1), dim3(32), 16 * 1024, nullptr, out.get());
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);

    quorra::launch_kernel(large_static_shared_kernel, dim3(1), dim3(32), 0, nullptr, out.get());
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_EQ(out.download(), std::vector<double>(32, 1.0));
    quorra::launch_kernel(large_static_shared_kernel, dim3(1), dim3(32), 8 * 1024 + 1, nullptr, out.get());
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
    quorra::launch_kernel(large_static_shared_kernel, dim3(1), dim3(32), 8 * 1024, nullptr, out.get());
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
}

// ---- races ------------------------------------------------------------------------------

// Records which OS thread ran each block.
__global__ void record_os_thread_kernel(size_t* owners) {
    if (threadIdx.x == 0) {
        owners[blockIdx.x] = std::hash<std::thread::id>{}(std::this_thread::get_id());
    }
}

class HostStandInRaces : public StandInTest {};

TEST_F(HostStandInRaces, SpreadSwitchRunsNeighbouringBlocksOnDifferentOsThreads) {
    ScopedEnv spread("QUORRA_HOSTCUDA_SPREAD", "1");
    constexpr unsigned kBlocks = 8;  // 256 threads: far below the pool's usual threshold
    DeviceBuffer<size_t> owners(kBlocks);
    quorra::launch_kernel(record_os_thread_kernel, dim3(kBlocks), dim3(32), 0, nullptr, owners.get());
    const std::vector<size_t> seen = owners.download();
    for (unsigned b = 1; b < kBlocks; ++b) {
        EXPECT_NE(seen[b], seen[b - 1]) << "blocks " << b - 1 << " and " << b << " ran on one OS thread";
    }
}

// Takes a few milliseconds a block and records which OS thread ran it.
__global__ void slow_record_os_thread_kernel(size_t* owners) {
    if (threadIdx.x == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
        owners[blockIdx.x] = std::hash<std::thread::id>{}(std::this_thread::get_id());
    }
}

std::set<size_t> os_threads_of_a_small_grid() {
    constexpr unsigned kBlocks = 8;  // 64 threads: far below the pool's threshold by size
    DeviceBuffer<size_t> owners(kBlocks);
    quorra::launch_kernel(slow_record_os_thread_kernel, dim3(kBlocks), dim3(8), 0, nullptr, owners.get());
    const std::vector<size_t> seen = owners.download();
    return {seen.begin(), seen.end()};
}

// Reductions shaped for the stand-in launch a few threads with long runs each; unless they
// reach the workers, a many-core machine runs them on one core.
TEST_F(HostStandInRaces, SmallGridsOfAMarkedKernelGoToTheWorkers) {
    ScopedEnv plain("QUORRA_HOSTCUDA_SPREAD", nullptr);
    const char* threads = std::getenv("QUORRA_HOSTCUDA_THREADS");
    if (std::thread::hardware_concurrency() < 2 || (threads != nullptr && std::atoi(threads) < 2)) {
        GTEST_SKIP() << "the stand-in has no worker threads here";
    }
    EXPECT_EQ(os_threads_of_a_small_grid().size(), 1u) << "a small grid runs on the launching thread";
    quorra::spread_small_grids(slow_record_os_thread_kernel);
    EXPECT_GT(os_threads_of_a_small_grid().size(), 1u) << "a marked kernel's small grid stayed on one thread";
}

// Records which OS thread ran each warp of a one-block grid.
__global__ void record_warp_os_thread_kernel(size_t* owners) {
    if (threadIdx.x % 32 == 0) {
        owners[threadIdx.x / 32] = std::hash<std::thread::id>{}(std::this_thread::get_id());
    }
}

TEST_F(HostStandInRaces, SpreadSwitchCutsIndependentBlocksIntoWarpsOnDifferentOsThreads) {
    ScopedEnv spread("QUORRA_HOSTCUDA_SPREAD", "1");
    constexpr unsigned kWarps = 8;
    DeviceBuffer<size_t> owners(kWarps);
    // The first launch shows the kernel needs no barrier and no shared memory.
    quorra::launch_kernel(record_warp_os_thread_kernel, dim3(1), dim3(kWarps * 32), 0, nullptr, owners.get());
    const std::vector<size_t> first = owners.download();
    EXPECT_EQ(std::set<size_t>(first.begin(), first.end()).size(), 1u) << "one block runs on one thread at first";
    quorra::launch_kernel(record_warp_os_thread_kernel, dim3(1), dim3(kWarps * 32), 0, nullptr, owners.get());
    const std::vector<size_t> seen = owners.download();
    for (unsigned w = 1; w < kWarps; ++w) {
        EXPECT_NE(seen[w], seen[w - 1]) << "warps " << w - 1 << " and " << w << " ran on one OS thread";
    }
    // A kernel with a barrier keeps its blocks whole.
    DeviceBuffer<unsigned char> fresh(2 * 64);
    for (int i = 0; i < 2; ++i) {
        quorra::launch_kernel(static_shared_probe_kernel<true>, dim3(2), dim3(64), 0, nullptr, fresh.get());
        EXPECT_EQ(fresh.download(), std::vector<unsigned char>(2 * 64, 1));
    }
}

#if defined(__SANITIZE_THREAD__)
// Every thread adds to one total without atomicAdd.
__global__ void racy_sum_kernel(double* total) { *total += 1.0; }

// Threads t and t + 32 of one block write the same element.
__global__ void overlapping_writes_kernel(double* out) { out[threadIdx.x % 32] = threadIdx.x; }

class HostStandInRacesDeathTest : public HostStandInBoundsDeathTest {};

TEST_F(HostStandInRacesDeathTest, APlainAddWhereAnAtomicIsNeededIsReported) {
    ScopedEnv spread("QUORRA_HOSTCUDA_SPREAD", "1");
    ScopedEnv stop_at_report("TSAN_OPTIONS", "halt_on_error=1");  // read by the re-executed child
    DeviceBuffer<double> total(1);
    ASSERT_EQ(cudaMemset(total.get(), 0, sizeof(double)), cudaSuccess);
    EXPECT_DEATH(
        {
            quorra::launch_kernel(racy_sum_kernel, dim3(4), dim3(32), 0, nullptr, total.get());
            (void)cudaDeviceSynchronize();
        },
        "ThreadSanitizer: data race");
}

TEST_F(HostStandInRacesDeathTest, TwoThreadsOfOneBlockWritingOneElementAreReported) {
    ScopedEnv spread("QUORRA_HOSTCUDA_SPREAD", "1");
    ScopedEnv stop_at_report("TSAN_OPTIONS", "halt_on_error=1");
    DeviceBuffer<double> out(32);
    EXPECT_DEATH(
        {
            for (int i = 0; i < 2; ++i) {  // the second launch runs the warps apart
                quorra::launch_kernel(overlapping_writes_kernel, dim3(1), dim3(64), 0, nullptr, out.get());
                (void)cudaDeviceSynchronize();
            }
        },
        "ThreadSanitizer: data race");
}
#endif

}  // namespace
