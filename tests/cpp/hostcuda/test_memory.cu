// The stand-in's memory registry: poisoned allocations, copy and memset checks,
// frees, host registration, emulated devices and the emulated memory limit.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "hostcuda_test_support.h"

namespace {

using hostcuda_test::all_bytes_are;
using hostcuda_test::DeviceBuffer;
using hostcuda_test::ScopedEnv;
using hostcuda_test::StandInTest;

template <typename T>
class HostStandInPoison : public StandInTest {};

using FloatingTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(HostStandInPoison, FloatingTypes);

TYPED_TEST(HostStandInPoison, FreshAllocationsReadAsNaN) {
    constexpr size_t kCount = 1000;
    for (int round = 0; round < 2; ++round) {
        // The second round likely gets the first round's memory back: it must be
        // poisoned again, not hold what the first round wrote.
        DeviceBuffer<TypeParam> buffer(kCount);
        ASSERT_EQ(reinterpret_cast<uintptr_t>(buffer.get()) % 256, 0u) << "cudaMalloc alignment";
        const std::vector<TypeParam> values = buffer.download();
        ASSERT_TRUE(all_bytes_are(values.data(), kCount * sizeof(TypeParam), hostcuda::kPoisonByte));
        for (size_t i = 0; i < kCount; ++i) {
            ASSERT_TRUE(std::isnan(values[i])) << "element " << i << " round " << round;
        }
        ASSERT_EQ(cudaMemset(buffer.get(), 0, buffer.bytes()), cudaSuccess);
    }
}

class HostStandInMemory : public StandInTest {};

TEST_F(HostStandInMemory, ZeroSizedAllocationAndNullFreeSucceed) {
    void* ptr = reinterpret_cast<void*>(uintptr_t{0x1000});
    EXPECT_EQ(cudaMalloc(&ptr, 0), cudaSuccess);
    EXPECT_EQ(ptr, nullptr);
    EXPECT_EQ(cudaFree(nullptr), cudaSuccess);
    EXPECT_EQ(cudaMalloc(static_cast<void**>(nullptr), 16), cudaErrorInvalidValue);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
}

// Writes value + i into data[i] and counts the threads that ran.
__global__ void fill_and_count_kernel(int* data, int value, std::atomic<long long>* ran) {
    data[threadIdx.x] = value + static_cast<int>(threadIdx.x);
    ran->fetch_add(1, std::memory_order_relaxed);
}

// A device-to-device cudaMemcpy does not make the host wait, on a GPU: it is queued behind the
// work before it (which the copy then sees) and runs at the next synchronising call. Code that
// reads the copy without waiting would read stale memory on a GPU, and must here too.
TEST_F(HostStandInMemory, DeviceToDeviceCopyIsQueuedNotWaitedFor) {
    ScopedEnv immediate("QUORRA_HOSTCUDA_IMMEDIATE", nullptr);
    for (const cudaMemcpyKind kind : {cudaMemcpyDeviceToDevice, cudaMemcpyDefault}) {
        hostcuda_test::RegisteredCounter ran;
        DeviceBuffer<int> source(32);
        DeviceBuffer<int> target(32);
        ASSERT_EQ(cudaMemset(target.get(), 0, target.bytes()), cudaSuccess);
        quorra::launch_kernel(fill_and_count_kernel, dim3(1), dim3(32), 0, nullptr, source.get(), 100, ran.get());
        ASSERT_EQ(cudaMemcpy(target.get(), source.get(), source.bytes(), kind), cudaSuccess);
        EXPECT_EQ(ran.get()->load(), 0) << "the copy waited for the kernel before it";
        EXPECT_TRUE(all_bytes_are(target.get(), target.bytes(), 0)) << "the copy ran before the host waited";
        const std::vector<int> copied = target.download();  // a synchronous copy to the host waits
        EXPECT_EQ(ran.get()->load(), 32);
        for (int i = 0; i < 32; ++i) {
            EXPECT_EQ(copied[i], 100 + i) << "element " << i;
        }
    }
}

TEST_F(HostStandInMemory, CopiesInsideAllocationsRoundTrip) {
    std::vector<int> host(100);
    for (int i = 0; i < 100; ++i) {
        host[i] = i * i;
    }
    DeviceBuffer<int> a(100);
    DeviceBuffer<int> b(100);
    a.upload(host);
    // Interior pointers and partial ranges are fine as long as they stay inside.
    ASSERT_EQ(cudaMemcpy(b.get() + 10, a.get() + 20, 80 * sizeof(int), cudaMemcpyDeviceToDevice), cudaSuccess);
    ASSERT_EQ(cudaMemcpy(b.get(), a.get(), 10 * sizeof(int), cudaMemcpyDefault), cudaSuccess);
    ASSERT_EQ(cudaMemcpyAsync(b.get() + 90, host.data(), 10 * sizeof(int), cudaMemcpyHostToDevice, nullptr),
              cudaSuccess);
    ASSERT_EQ(cudaStreamSynchronize(nullptr), cudaSuccess);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    const std::vector<int> result = b.download();
    for (int i = 0; i < 100; ++i) {
        const int expected = i < 10 ? host[i] : (i < 90 ? host[i + 10] : host[i - 90]);
        EXPECT_EQ(result[i], expected) << "element " << i;
    }
}

// Which pointer of a copy is device memory, and whether the stated direction allows it.
struct DirectionCase {
    const char* name;
    cudaMemcpyKind kind;
    bool dst_device;
    bool src_device;
    cudaError_t expected;
};

class HostStandInCopyDirection : public StandInTest, public ::testing::WithParamInterface<DirectionCase> {};

TEST_P(HostStandInCopyDirection, WrongDirectionCopiesNothing) {
    const DirectionCase& c = GetParam();
    constexpr size_t kBytes = 64;
    DeviceBuffer<unsigned char> device_dst(kBytes);
    DeviceBuffer<unsigned char> device_src(kBytes);
    std::vector<unsigned char> host_dst(kBytes, 0x11);
    std::vector<unsigned char> host_src(kBytes, 0x22);
    ASSERT_EQ(cudaMemset(device_src.get(), 0x22, kBytes), cudaSuccess);
    void* dst = c.dst_device ? static_cast<void*>(device_dst.get()) : host_dst.data();
    const void* src = c.src_device ? static_cast<const void*>(device_src.get()) : host_src.data();

    EXPECT_EQ(cudaMemcpy(dst, src, kBytes, c.kind), c.expected);
    EXPECT_EQ(cudaGetLastError(), c.expected);
    std::vector<unsigned char> landed(kBytes);
    if (c.dst_device) {
        ASSERT_EQ(cudaMemcpy(landed.data(), dst, kBytes, cudaMemcpyDeviceToHost), cudaSuccess);
    } else {
        landed = host_dst;
    }
    const unsigned char untouched = c.dst_device ? hostcuda::kPoisonByte : 0x11;
    EXPECT_TRUE(all_bytes_are(landed.data(), kBytes, c.expected == cudaSuccess ? 0x22 : untouched));
}

std::vector<DirectionCase> direction_cases() {
    struct Kind {
        const char* name;
        cudaMemcpyKind kind;
    };
    const Kind kinds[] = {{"HostToHost", cudaMemcpyHostToHost},
                          {"HostToDevice", cudaMemcpyHostToDevice},
                          {"DeviceToHost", cudaMemcpyDeviceToHost},
                          {"DeviceToDevice", cudaMemcpyDeviceToDevice},
                          {"Default", cudaMemcpyDefault}};
    static std::vector<std::string> names;  // DirectionCase keeps a pointer to its name
    std::vector<DirectionCase> cases;
    names.reserve(20);
    for (const Kind& k : kinds) {
        for (const bool dst_device : {false, true}) {
            for (const bool src_device : {false, true}) {
                bool allowed = false;
                switch (k.kind) {
                    case cudaMemcpyHostToHost:
                        allowed = !dst_device && !src_device;
                        break;
                    case cudaMemcpyHostToDevice:
                        allowed = dst_device && !src_device;
                        break;
                    case cudaMemcpyDeviceToHost:
                        allowed = !dst_device && src_device;
                        break;
                    case cudaMemcpyDeviceToDevice:
                        allowed = dst_device && src_device;
                        break;
                    case cudaMemcpyDefault:
                        allowed = true;
                        break;
                }
                names.push_back(std::string(k.name) + (src_device ? "_FromDevice" : "_FromHost") +
                                (dst_device ? "_ToDevice" : "_ToHost"));
                cases.push_back(DirectionCase{names.back().c_str(), k.kind, dst_device, src_device,
                                              allowed ? cudaSuccess : cudaErrorInvalidValue});
            }
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Kinds, HostStandInCopyDirection, ::testing::ValuesIn(direction_cases()),
                         [](const ::testing::TestParamInfo<DirectionCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(HostStandInMemory, UnknownCopyKindIsRejected) {
    DeviceBuffer<char> a(16);
    DeviceBuffer<char> b(16);
    EXPECT_EQ(cudaMemcpy(a.get(), b.get(), 16, static_cast<cudaMemcpyKind>(7)), cudaErrorInvalidMemcpyDirection);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidMemcpyDirection);
    EXPECT_EQ(cudaMemcpy(nullptr, b.get(), 16, cudaMemcpyDeviceToHost), cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpy(a.get(), nullptr, 16, cudaMemcpyHostToDevice), cudaErrorInvalidValue);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
}

TEST_F(HostStandInMemory, CopiesAndMemsetsOutOfRangeAreRejected) {
    constexpr size_t kBytes = 100;
    DeviceBuffer<unsigned char> a(kBytes);
    DeviceBuffer<unsigned char> b(kBytes);
    std::vector<unsigned char> host(2 * kBytes, 0x5a);
    struct Copy {
        void* dst;
        const void* src;
        size_t count;
        cudaMemcpyKind kind;
    };
    const Copy copies[] = {
        {a.get(), host.data(), kBytes + 1, cudaMemcpyHostToDevice},   // one byte too many
        {a.get() + 50, host.data(), 51, cudaMemcpyHostToDevice},      // interior start, runs off the end
        {a.get() + kBytes, host.data(), 1, cudaMemcpyHostToDevice},   // one past the end is not device memory
        {host.data(), a.get(), kBytes + 1, cudaMemcpyDeviceToHost},   // source too short
        {host.data(), a.get() + 99, 2, cudaMemcpyDeviceToHost},       // source runs off the end
        {a.get(), b.get() + 1, kBytes, cudaMemcpyDeviceToDevice},     // source one short
        {a.get() + 1, b.get(), kBytes, cudaMemcpyDeviceToDevice},     // destination one short
        {a.get() + 60, host.data(), kBytes - 59, cudaMemcpyDefault},  // inferred direction, still too long
    };
    for (const Copy& copy : copies) {
        EXPECT_EQ(cudaMemcpy(copy.dst, copy.src, copy.count, copy.kind), cudaErrorInvalidValue)
            << "count " << copy.count << " kind " << copy.kind;
        EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
    }
    EXPECT_TRUE(all_bytes_are(a.download().data(), kBytes, hostcuda::kPoisonByte)) << "a rejected copy wrote";

    EXPECT_EQ(cudaMemset(a.get(), 0, kBytes + 1), cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemset(a.get() + 90, 0, 11), cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemset(host.data(), 0, 10), cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemset(nullptr, 0, 10), cudaErrorInvalidValue);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
    EXPECT_TRUE(all_bytes_are(a.download().data(), kBytes, hostcuda::kPoisonByte)) << "a rejected memset wrote";
    EXPECT_TRUE(all_bytes_are(host.data(), host.size(), 0x5a));

    ASSERT_EQ(cudaMemset(a.get() + 90, 7, 10), cudaSuccess);
    const std::vector<unsigned char> result = a.download();
    EXPECT_TRUE(all_bytes_are(result.data(), 90, hostcuda::kPoisonByte));
    EXPECT_TRUE(all_bytes_are(result.data() + 90, 10, 7));
}

TEST_F(HostStandInMemory, OnlyTheDefaultStreamExists) {
    DeviceBuffer<char> a(16);
    std::vector<char> host(16, 1);
    const auto stream = reinterpret_cast<cudaStream_t>(uintptr_t{0x40});
    EXPECT_EQ(cudaMemcpyAsync(a.get(), host.data(), 16, cudaMemcpyHostToDevice, stream),
              cudaErrorInvalidResourceHandle);
    EXPECT_EQ(cudaStreamSynchronize(stream), cudaErrorInvalidResourceHandle);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidResourceHandle);
    EXPECT_TRUE(all_bytes_are(a.download().data(), 16, hostcuda::kPoisonByte));
}

TEST_F(HostStandInMemory, FreeOfAnUnknownPointerOrTwiceFails) {
    int on_stack = 0;
    std::vector<double> heap(8);
    EXPECT_EQ(cudaFree(&on_stack), cudaErrorInvalidValue);
    EXPECT_EQ(cudaFree(heap.data()), cudaErrorInvalidValue);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);

    char* ptr = nullptr;
    ASSERT_EQ(cudaMalloc(&ptr, 128), cudaSuccess);
    EXPECT_EQ(cudaFree(ptr + 1), cudaErrorInvalidValue) << "interior pointer freed";
    ASSERT_EQ(cudaMemset(ptr, 0, 128), cudaSuccess) << "the allocation must survive the bad free";
    EXPECT_EQ(cudaFree(ptr), cudaSuccess);
    EXPECT_EQ(cudaFree(ptr), cudaErrorInvalidValue) << "double free accepted";
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemset(ptr, 0, 1), cudaErrorInvalidValue) << "freed memory still counts as device memory";
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
}

TEST_F(HostStandInMemory, HostRegistrationRefusesOverlapsAndUnknownRanges) {
    std::vector<char> host(4096);
    char* base = host.data();
    ASSERT_EQ(cudaHostRegister(base + 1024, 1024, cudaHostRegisterDefault), cudaSuccess);
    const std::string already = "part or all of the requested memory range is already mapped";
    struct Range {
        size_t offset;
        size_t size;
    };
    for (const Range r : {Range{1024, 1024}, Range{0, 1025}, Range{2047, 10}, Range{1500, 10}, Range{0, 4096}}) {
        EXPECT_EQ(cudaHostRegister(base + r.offset, r.size, cudaHostRegisterDefault),
                  cudaErrorHostMemoryAlreadyRegistered)
            << "offset " << r.offset << " size " << r.size;
        EXPECT_EQ(cudaGetErrorString(cudaGetLastError()), already);
    }
    // Neighbours that only touch the range are separate ranges.
    ASSERT_EQ(cudaHostRegister(base, 1024, cudaHostRegisterDefault), cudaSuccess);
    ASSERT_EQ(cudaHostRegister(base + 2048, 1024, cudaHostRegisterDefault), cudaSuccess);

    const std::string not_registered = "pointer does not correspond to a registered memory region";
    EXPECT_EQ(cudaHostUnregister(base + 3072), cudaErrorHostMemoryNotRegistered);
    EXPECT_EQ(cudaGetErrorString(cudaGetLastError()), not_registered);
    EXPECT_EQ(cudaHostUnregister(base + 1025), cudaErrorHostMemoryNotRegistered) << "interior pointer unregistered";
    EXPECT_EQ(cudaGetLastError(), cudaErrorHostMemoryNotRegistered);
    for (const size_t offset : {0, 1024, 2048}) {
        EXPECT_EQ(cudaHostUnregister(base + offset), cudaSuccess);
    }
    EXPECT_EQ(cudaHostUnregister(base + 1024), cudaErrorHostMemoryNotRegistered) << "unregistered twice";
    EXPECT_EQ(cudaGetLastError(), cudaErrorHostMemoryNotRegistered);
    // Once unregistered the range can be registered again.
    ASSERT_EQ(cudaHostRegister(base, 4096, cudaHostRegisterDefault), cudaSuccess);
    ASSERT_EQ(cudaHostUnregister(base), cudaSuccess);

    EXPECT_EQ(cudaHostRegister(nullptr, 16, cudaHostRegisterDefault), cudaErrorInvalidValue);
    EXPECT_EQ(cudaHostRegister(base, 0, cudaHostRegisterDefault), cudaErrorInvalidValue);
    DeviceBuffer<char> device(64);
    EXPECT_EQ(cudaHostRegister(device.get(), 64, cudaHostRegisterDefault), cudaErrorInvalidValue);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
}

class HostStandInDevices : public StandInTest {};

TEST_F(HostStandInDevices, CountAndOrdinalsFollowTheEnvironment) {
    int count = -1;
    {
        ScopedEnv devices("QUORRA_HOSTCUDA_DEVICES", nullptr);
        ASSERT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
        EXPECT_EQ(count, 1);
        EXPECT_EQ(cudaSetDevice(1), cudaErrorInvalidDevice);
        EXPECT_EQ(cudaGetErrorString(cudaGetLastError()), std::string("invalid device ordinal"));
    }
    {
        ScopedEnv devices("QUORRA_HOSTCUDA_DEVICES", "3");
        ASSERT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
        EXPECT_EQ(count, 3);
        ASSERT_EQ(cudaSetDevice(2), cudaSuccess);
        int current = -1;
        ASSERT_EQ(cudaGetDevice(&current), cudaSuccess);
        EXPECT_EQ(current, 2);
        // The current device belongs to the host thread.
        int other_thread_device = -1;
        std::thread([&] { cudaGetDevice(&other_thread_device); }).join();
        EXPECT_EQ(other_thread_device, 0);

        for (const int bad : {3, -1, 1 << 30}) {
            EXPECT_EQ(cudaSetDevice(bad), cudaErrorInvalidDevice) << bad;
            EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidDevice);
        }
        ASSERT_EQ(cudaGetDevice(&current), cudaSuccess);
        EXPECT_EQ(current, 2) << "a refused cudaSetDevice changed the device";
        ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
    }
    {
        ScopedEnv devices("QUORRA_HOSTCUDA_DEVICES", "0");
        EXPECT_EQ(cudaGetDeviceCount(&count), cudaErrorNoDevice);
        EXPECT_EQ(count, 0);
        EXPECT_EQ(cudaSetDevice(0), cudaErrorNoDevice);
        EXPECT_EQ(cudaGetErrorString(cudaGetLastError()), std::string("no CUDA-capable device is detected"));
    }
    EXPECT_EQ(cudaGetDeviceCount(nullptr), cudaErrorInvalidValue);
    EXPECT_EQ(cudaGetDevice(nullptr), cudaErrorInvalidValue);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
}

TEST_F(HostStandInDevices, MemoryLimitAppliesPerDevice) {
    ScopedEnv devices("QUORRA_HOSTCUDA_DEVICES", "2");
    ScopedEnv limit("QUORRA_HOSTCUDA_MEMORY_LIMIT", "4096");
    void* first = nullptr;
    ASSERT_EQ(cudaMalloc(&first, 4000), cudaSuccess);
    void* second = reinterpret_cast<void*>(uintptr_t{0x1000});
    EXPECT_EQ(cudaMalloc(&second, 97), cudaErrorMemoryAllocation);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(cudaGetErrorString(cudaGetLastError()), std::string("out of memory"));
    EXPECT_EQ(cudaMalloc(&second, 96), cudaSuccess) << "exactly at the limit";
    ASSERT_EQ(cudaFree(second), cudaSuccess);

    // Device 1 has its own budget; a free on another device's memory still works.
    ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
    void* other = nullptr;
    ASSERT_EQ(cudaMalloc(&other, 4096), cudaSuccess);
    EXPECT_EQ(cudaFree(first), cudaSuccess);
    ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
    EXPECT_EQ(cudaMalloc(&first, 4097), cudaErrorMemoryAllocation);
    EXPECT_EQ(cudaGetLastError(), cudaErrorMemoryAllocation);
    ASSERT_EQ(cudaMalloc(&first, 4096), cudaSuccess);
    ASSERT_EQ(cudaFree(first), cudaSuccess);
    ASSERT_EQ(cudaFree(other), cudaSuccess);

    // The limit is read at every call.
    {
        ScopedEnv larger("QUORRA_HOSTCUDA_MEMORY_LIMIT", "1000000");
        ASSERT_EQ(cudaMalloc(&first, 500000), cudaSuccess);
        ASSERT_EQ(cudaFree(first), cudaSuccess);
    }
    EXPECT_EQ(cudaMalloc(&first, SIZE_MAX), cudaErrorMemoryAllocation) << "size overflow";
    EXPECT_EQ(cudaGetLastError(), cudaErrorMemoryAllocation);
}

TEST_F(HostStandInMemory, PeakCountsTheMostLiveBytesSinceTheReset) {
    const size_t base = hostcuda::allocated_bytes();
    hostcuda::reset_peak_allocated_bytes();
    EXPECT_EQ(hostcuda::peak_allocated_bytes(), base);
    void* a = nullptr;
    void* b = nullptr;
    ASSERT_EQ(cudaMalloc(&a, 3000), cudaSuccess);
    ASSERT_EQ(cudaMalloc(&b, 5000), cudaSuccess);
    ASSERT_EQ(cudaFree(a), cudaSuccess);
    // The requested bytes count, not the rounded mapping; a later smaller high stays below.
    EXPECT_EQ(hostcuda::peak_allocated_bytes(), base + 8000);
    ASSERT_EQ(cudaMalloc(&a, 1000), cudaSuccess);
    EXPECT_EQ(hostcuda::peak_allocated_bytes(), base + 8000);
    ASSERT_EQ(cudaFree(a), cudaSuccess);
    {
        // A refused allocation is no use of memory.
        ScopedEnv limit("QUORRA_HOSTCUDA_MEMORY_LIMIT", std::to_string(base + 6000).c_str());
        EXPECT_EQ(cudaMalloc(&a, 4000), cudaErrorMemoryAllocation);
        EXPECT_EQ(cudaGetLastError(), cudaErrorMemoryAllocation);
    }
    EXPECT_EQ(hostcuda::peak_allocated_bytes(), base + 8000);
    // A reset starts again from what is live now, and caller ranges never count.
    hostcuda::reset_peak_allocated_bytes();
    EXPECT_EQ(hostcuda::peak_allocated_bytes(), base + 5000);
    std::vector<double> caller(512);
    ASSERT_EQ(hostcuda::register_device_view(caller.data(), caller.size() * sizeof(double), 0), cudaSuccess);
    EXPECT_EQ(hostcuda::peak_allocated_bytes(), base + 5000);
    ASSERT_EQ(hostcuda::release_device_view(caller.data()), cudaSuccess);
    ASSERT_EQ(cudaFree(b), cudaSuccess);
    EXPECT_EQ(hostcuda::peak_allocated_bytes(), base + 5000);
    hostcuda::reset_peak_allocated_bytes();
    EXPECT_EQ(hostcuda::peak_allocated_bytes(), base);
}

TEST_F(HostStandInDevices, ConcurrentAllocationsNeverExceedTheLimit) {
    // Room for one allocation; several threads compete for it. Each winner uses its
    // memory for a while, so two threads that both passed the limit check would be
    // seen holding memory at once.
    constexpr size_t kChunk = 1 << 20;
    ScopedEnv limit("QUORRA_HOSTCUDA_MEMORY_LIMIT", std::to_string(kChunk).c_str());
    constexpr int kThreads = 4;
    constexpr int kRounds = 300;
    std::atomic<int> waiting{kThreads};
    std::atomic<int> holders{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> granted{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            waiting.fetch_sub(1);
            while (waiting.load() > 0) {
            }
            for (int r = 0; r < kRounds; ++r) {
                void* ptr = nullptr;
                if (cudaMalloc(&ptr, kChunk) != cudaSuccess) {
                    cudaGetLastError();
                    continue;
                }
                granted.fetch_add(1);
                if (holders.fetch_add(1) != 0) {
                    overlaps.fetch_add(1);
                }
                cudaMemset(ptr, r & 0xff, kChunk);
                holders.fetch_sub(1);
                cudaFree(ptr);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(overlaps.load(), 0) << "two allocations of a full device were live at once";
    EXPECT_GT(granted.load(), 0);
}

}  // namespace
