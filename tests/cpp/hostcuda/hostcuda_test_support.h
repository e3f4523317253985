// Helpers shared by the host stand-in's tests: owned device buffers, scoped
// environment variables and a fixture that checks every test leaves no device
// allocation and no pending error behind. Host build only.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "quorra_launch.cuh"

namespace hostcuda_test {

template <typename T>
class DeviceBuffer {
public:
    explicit DeviceBuffer(size_t count) : count_(count) {
        EXPECT_EQ(cudaMalloc(&ptr_, count * sizeof(T)), cudaSuccess);
    }
    ~DeviceBuffer() { EXPECT_EQ(cudaFree(ptr_), cudaSuccess); }
    DeviceBuffer(const DeviceBuffer&) = delete;
    DeviceBuffer& operator=(const DeviceBuffer&) = delete;

    T* get() const { return ptr_; }
    size_t count() const { return count_; }
    size_t bytes() const { return count_ * sizeof(T); }

    void upload(const std::vector<T>& values) {
        ASSERT_EQ(values.size(), count_);
        ASSERT_EQ(cudaMemcpy(ptr_, values.data(), bytes(), cudaMemcpyHostToDevice), cudaSuccess);
    }
    std::vector<T> download() const {
        std::vector<T> values(count_);
        EXPECT_EQ(cudaMemcpy(values.data(), ptr_, bytes(), cudaMemcpyDeviceToHost), cudaSuccess);
        return values;
    }

private:
    T* ptr_ = nullptr;
    size_t count_ = 0;
};

// A counter in registered host memory, which a kernel may reach as on a GPU. Reading it
// first waits for the queued work that adds to it.
class RegisteredCounter {
public:
    RegisteredCounter() { EXPECT_EQ(cudaHostRegister(&value_, sizeof value_, cudaHostRegisterDefault), cudaSuccess); }
    ~RegisteredCounter() {
        EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
        EXPECT_EQ(cudaHostUnregister(&value_), cudaSuccess);
    }
    RegisteredCounter(const RegisteredCounter&) = delete;
    RegisteredCounter& operator=(const RegisteredCounter&) = delete;

    std::atomic<long long>* get() { return &value_; }
    long long load() {
        EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
        return value_.load();
    }

private:
    std::atomic<long long> value_{0};
};

// Sets (or unsets) an environment variable for one scope; the stand-in reads its
// variables at every call, so this changes its behaviour at once.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = getenv(name)) {
            old_ = old;
        }
        if (value != nullptr) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (old_) {
            setenv(name_.c_str(), old_->c_str(), 1);
        } else {
            unsetenv(name_.c_str());
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

// Every test starts on device 0 with no pending error and must leave no device
// memory and no unread error behind.
class StandInTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
        ASSERT_EQ(cudaGetLastError(), cudaSuccess) << "a previous test left an error pending";
        live_bytes_ = hostcuda::allocated_bytes();
        live_count_ = hostcuda::allocation_count();
    }
    void TearDown() override {
        EXPECT_EQ(hostcuda::allocated_bytes(), live_bytes_) << "device memory leaked";
        EXPECT_EQ(hostcuda::allocation_count(), live_count_) << "device allocation leaked";
        EXPECT_EQ(cudaGetLastError(), cudaSuccess) << "test left an error pending";
    }

private:
    size_t live_bytes_ = 0;
    size_t live_count_ = 0;
};

// Waits for the queued work, which must have failed with `code` (reported by the
// synchronising call and left as the last error) for a reason whose message holds `text`.
inline void expect_execution_failure(cudaError_t code, const std::string& text) {
    EXPECT_EQ(cudaDeviceSynchronize(), code);
    EXPECT_EQ(cudaGetLastError(), code);
    const std::string message = hostcuda::last_execution_failure();
    EXPECT_NE(message.find(text), std::string::npos) << "message: " << message;
    // Reported once: the device works again.
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
}

inline bool all_bytes_are(const void* data, size_t bytes, unsigned char value) {
    const auto* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < bytes; ++i) {
        if (p[i] != value) {
            return false;
        }
    }
    return true;
}

}  // namespace hostcuda_test
