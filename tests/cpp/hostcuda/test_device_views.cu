// Host memory registered as device memory (arrays imported from other libraries): copies
// and memsets accept it, the stand-in never frees it, views are counted, overlaps refused.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "hostcuda_test_support.h"

namespace {

using hostcuda_test::DeviceBuffer;
using hostcuda_test::StandInTest;

class HostStandInViews : public StandInTest {};

TEST_F(HostStandInViews, RegisteredHostRangeActsAsDeviceMemoryUntilReleased) {
    std::vector<double> caller(64, 2.0);
    const size_t before = hostcuda::allocation_count();
    const size_t bytes_before = hostcuda::allocated_bytes();
    ASSERT_EQ(hostcuda::register_device_view(caller.data(), 64 * sizeof(double), 0), cudaSuccess);
    EXPECT_EQ(hostcuda::allocation_count(), before + 1);
    EXPECT_EQ(hostcuda::allocated_bytes(), bytes_before);  // not the stand-in's memory

    std::vector<double> host(64, 5.0);
    ASSERT_EQ(cudaMemcpy(caller.data(), host.data(), 64 * sizeof(double), cudaMemcpyHostToDevice), cudaSuccess);
    EXPECT_EQ(caller[63], 5.0);
    ASSERT_EQ(cudaMemset(caller.data() + 8, 0, 8 * sizeof(double)), cudaSuccess);
    EXPECT_EQ(caller[8], 0.0);
    EXPECT_EQ(caller[16], 5.0);
    {
        DeviceBuffer<double> own(64);
        ASSERT_EQ(cudaMemcpy(own.get(), caller.data(), 64 * sizeof(double), cudaMemcpyDeviceToDevice), cudaSuccess);
        EXPECT_EQ(own.download()[63], 5.0);
    }
    // A copy that runs past the registered range is refused like one past an allocation.
    EXPECT_EQ(cudaMemcpy(host.data(), caller.data() + 1, 64 * sizeof(double), cudaMemcpyDeviceToHost),
              cudaErrorInvalidValue);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);

    // cudaFree never frees a caller's memory.
    EXPECT_EQ(cudaFree(caller.data()), cudaErrorInvalidValue);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
    EXPECT_EQ(hostcuda::allocation_count(), before + 1);

    ASSERT_EQ(hostcuda::release_device_view(caller.data()), cudaSuccess);
    EXPECT_EQ(hostcuda::allocation_count(), before);
    EXPECT_EQ(cudaMemset(caller.data(), 0, 8), cudaErrorInvalidValue);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
    EXPECT_EQ(hostcuda::release_device_view(caller.data()), cudaErrorHostMemoryNotRegistered);
    EXPECT_EQ(cudaGetLastError(), cudaErrorHostMemoryNotRegistered);
}

TEST_F(HostStandInViews, ViewsAreCountedAndViewsOfOwnMemoryFreeNothing) {
    std::vector<float> caller(32);
    const size_t before = hostcuda::allocation_count();
    ASSERT_EQ(hostcuda::register_device_view(caller.data(), 32 * sizeof(float), 0), cudaSuccess);
    ASSERT_EQ(hostcuda::register_device_view(caller.data(), 32 * sizeof(float), 0), cudaSuccess);
    ASSERT_EQ(hostcuda::release_device_view(caller.data()), cudaSuccess);
    EXPECT_EQ(hostcuda::allocation_count(), before + 1);  // the second view still holds it
    EXPECT_EQ(cudaMemset(caller.data(), 0, 4), cudaSuccess);
    ASSERT_EQ(hostcuda::release_device_view(caller.data()), cudaSuccess);
    EXPECT_EQ(hostcuda::allocation_count(), before);

    {
        DeviceBuffer<float> own(32);
        ASSERT_EQ(hostcuda::register_device_view(own.get() + 4, 8 * sizeof(float), 0), cudaSuccess);
        EXPECT_EQ(hostcuda::allocation_count(), before + 1);
        ASSERT_EQ(hostcuda::release_device_view(own.get() + 4), cudaSuccess);
        EXPECT_EQ(hostcuda::allocation_count(), before + 1);  // still the buffer's, freed by it
    }
    EXPECT_EQ(hostcuda::allocation_count(), before);
}

TEST_F(HostStandInViews, OverlapsAndBadArgumentsAreRefused) {
    std::vector<double> caller(64);
    const size_t before = hostcuda::allocation_count();
    ASSERT_EQ(hostcuda::register_device_view(caller.data() + 16, 16 * sizeof(double), 0), cudaSuccess);
    // Partly inside the registered range: one byte cannot be two kinds of memory.
    EXPECT_EQ(hostcuda::register_device_view(caller.data(), 32 * sizeof(double), 0),
              cudaErrorHostMemoryAlreadyRegistered);
    EXPECT_EQ(hostcuda::register_device_view(caller.data() + 24, 32 * sizeof(double), 0),
              cudaErrorHostMemoryAlreadyRegistered);
    EXPECT_EQ(cudaGetLastError(), cudaErrorHostMemoryAlreadyRegistered);
    ASSERT_EQ(hostcuda::release_device_view(caller.data() + 16), cudaSuccess);

    ASSERT_EQ(cudaHostRegister(caller.data(), 8 * sizeof(double), cudaHostRegisterDefault), cudaSuccess);
    EXPECT_EQ(hostcuda::register_device_view(caller.data(), 16 * sizeof(double), 0),
              cudaErrorHostMemoryAlreadyRegistered);
    EXPECT_EQ(cudaGetLastError(), cudaErrorHostMemoryAlreadyRegistered);
    ASSERT_EQ(cudaHostUnregister(caller.data()), cudaSuccess);

    EXPECT_EQ(hostcuda::register_device_view(nullptr, 8, 0), cudaErrorInvalidValue);
    EXPECT_EQ(hostcuda::register_device_view(caller.data(), 0, 0), cudaErrorInvalidValue);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
    EXPECT_EQ(hostcuda::register_device_view(caller.data(), 8, 7), cudaErrorInvalidDevice);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidDevice);
    EXPECT_EQ(hostcuda::allocation_count(), before);
}

}  // namespace
