// The test-only facilities for huge index paths: a launch that runs only chosen blocks, and
// a sparse reservation that kernels may address at offsets far beyond physical memory.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "hostcuda_block_select.h"
#include "hostcuda_test_support.h"

namespace {

using hostcuda_test::DeviceBuffer;
using hostcuda_test::StandInTest;

// Each thread writes its block's linear number (x fastest) into out[linear block].
__global__ void mark_block(uint64_t* out) {
    const uint64_t linear = (static_cast<uint64_t>(blockIdx.z) * gridDim.y + blockIdx.y) * gridDim.x + blockIdx.x;
    out[linear] = linear + 1;
}

// Writes `value` at element `index` from the thread whose global number is `index >> shift`.
__global__ void write_far(double* base, uint64_t index, unsigned shift, double value) {
    const uint64_t thread = static_cast<uint64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
    if (thread == (index >> shift)) {
        base[index] = value;
    }
}

using HostStandInBlockSelection = StandInTest;

TEST_F(HostStandInBlockSelection, RunsOnlyTheChosenBlocksOfAMultiDimensionalGrid) {
    DeviceBuffer<uint64_t> out(24);
    ASSERT_EQ(cudaMemset(out.get(), 0, out.bytes()), cudaSuccess);
    {
        // Block 13 is (x 1, y 0, z 1) in a (4, 3, 2) grid; 24 and beyond are outside it.
        hostcuda::BlockSelection selection({13, 0, 23, 24, 1000});
        quorra::launch_kernel(mark_block, dim3(4, 3, 2), dim3(8, 2), 0, cudaStream_t{0}, out.get());
        ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
        EXPECT_EQ(selection.blocks_run(), 3U);
    }
    const std::vector<uint64_t> got = out.download();
    for (uint64_t b = 0; b < got.size(); ++b) {
        const bool chosen = b == 0 || b == 13 || b == 23;
        EXPECT_EQ(got[b], chosen ? b + 1 : 0) << "block " << b;
    }
}

TEST_F(HostStandInBlockSelection, EndsWithItsScopeAndRestoresAnOuterSelection) {
    DeviceBuffer<uint64_t> out(8);
    ASSERT_EQ(cudaMemset(out.get(), 0, out.bytes()), cudaSuccess);
    {
        hostcuda::BlockSelection outer({1});
        {
            hostcuda::BlockSelection inner({2, 3});
            quorra::launch_kernel(mark_block, dim3(8), dim3(1), 0, cudaStream_t{0}, out.get());
            ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
            EXPECT_EQ(inner.blocks_run(), 2U);
        }
        quorra::launch_kernel(mark_block, dim3(8), dim3(1), 0, cudaStream_t{0}, out.get());
        ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
        EXPECT_EQ(outer.blocks_run(), 1U);
    }
    EXPECT_EQ(out.download(), (std::vector<uint64_t>{0, 2, 3, 4, 0, 0, 0, 0}));
    // Without a selection the whole grid runs again.
    quorra::launch_kernel(mark_block, dim3(8), dim3(1), 0, cudaStream_t{0}, out.get());
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    EXPECT_EQ(out.download(), (std::vector<uint64_t>{1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST_F(HostStandInBlockSelection, ABadConfigurationStillFailsTheLaunch) {
    hostcuda::BlockSelection selection({0});
    quorra::launch_kernel(mark_block, dim3(1), dim3(2048), 0, cudaStream_t{0}, static_cast<uint64_t*>(nullptr));
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidConfiguration);
    EXPECT_EQ(selection.blocks_run(), 0U);
}

TEST_F(HostStandInBlockSelection, ASparseReservationIsAddressableAtItsTopAndReadsAsZero) {
    // 2^36 bytes: beyond this machine's memory, and element indices beyond 32 bits; only the
    // pages written are backed. (A terabyte does not always fit ThreadSanitizer's application
    // address ranges.)
    const uint64_t bytes = uint64_t{1} << 36;
    hostcuda::SparseReservation memory(bytes);
    ASSERT_TRUE(memory.valid());
    EXPECT_EQ(memory.size(), bytes);
    auto* base = static_cast<double*>(memory.data());
    const uint64_t last = bytes / sizeof(double) - 1;
    EXPECT_EQ(base[last / 2], 0.0);
    // The thread that writes is number last >> 8, in block 2^17 - 1; only its block runs.
    const unsigned shift = 8;
    const uint64_t block = (last >> shift) / 256;
    hostcuda::BlockSelection selection({block});
    quorra::launch_kernel(write_far, dim3(static_cast<uint32_t>(block + 1)), dim3(256), 0, cudaStream_t{0}, base, last,
                          shift, 2.5);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    EXPECT_EQ(selection.blocks_run(), 1U);
    EXPECT_EQ(base[last], 2.5);
    EXPECT_EQ(base[last - 1], 0.0);
}

}  // namespace
