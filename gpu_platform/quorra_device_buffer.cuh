// The owning device allocation both modules use for memory that lives for a call or a cache.
// Header only, compiled into each module. Read by nvcc (cuda build) and by g++ against the
// host stand-in (host build).
#pragma once

#include <cuda_runtime.h>

#include <cstddef>
#include <cstdint>
#include <utility>

namespace quorra {

// Frees its memory on its own device on every path. allocate() reports the runtime's status
// instead of throwing, so each module words the failure in its own message; free() reports
// the status of a checked release, while the destructor and reset() ignore it.
class DeviceBuffer {
public:
    DeviceBuffer() = default;
    ~DeviceBuffer() { reset(); }
    DeviceBuffer(const DeviceBuffer&) = delete;
    DeviceBuffer& operator=(const DeviceBuffer&) = delete;
    DeviceBuffer(DeviceBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), bytes_(std::exchange(other.bytes_, 0)), device_(other.device_) {}
    DeviceBuffer& operator=(DeviceBuffer&& other) noexcept {
        if (this != &other) {
            reset();
            data_ = std::exchange(other.data_, nullptr);
            bytes_ = std::exchange(other.bytes_, 0);
            device_ = other.device_;
        }
        return *this;
    }

    // `bytes` on `device`, which must be current. What the buffer held is freed first; on a
    // failure it stays empty.
    [[nodiscard]] cudaError_t allocate(int32_t device, size_t bytes) {
        reset();
        device_ = device;
        void* data = nullptr;
        const cudaError_t status = cudaMalloc(&data, bytes);
        if (status == cudaSuccess) {
            data_ = data;
            bytes_ = bytes;
        }
        return status;
    }

    // Frees on the owning device, leaving that device current (as every call of the modules
    // selects its device first anyway).
    [[nodiscard]] cudaError_t free() {
        if (data_ == nullptr) {
            return cudaSuccess;
        }
        void* data = std::exchange(data_, nullptr);
        bytes_ = 0;
        const cudaError_t selected = cudaSetDevice(device_);
        const cudaError_t freed = cudaFree(data);
        return selected != cudaSuccess ? selected : freed;
    }

    // For destructors and error paths: a failed free must not leave its code as the thread's
    // last error, where the next launch check would blame an innocent kernel for it.
    void reset() noexcept {
        if (free() != cudaSuccess) {
            (void)cudaGetLastError();
        }
    }

    template <typename T>
    T* as() const {
        return static_cast<T*>(data_);
    }
    bool empty() const { return data_ == nullptr; }
    size_t bytes() const { return bytes_; }
    int32_t device() const { return device_; }

private:
    void* data_ = nullptr;
    size_t bytes_ = 0;
    int32_t device_ = 0;
};

}  // namespace quorra
