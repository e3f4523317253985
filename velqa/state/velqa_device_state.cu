// DeviceState, the CUDA error checks and the device and dtype parsers.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#include <cctype>
#include <limits>
#include <quorra_device_text.hpp>
#include <quorra_state_memory.hpp>
#include <stdexcept>
#include <utility>

#include "velqa_device_state.cuh"

namespace velqa {

// A failed runtime call also leaves its status as the thread's last error; once it is
// reported here it is cleared, so the next launch check does not report it a second time.
void check_cuda(cudaError_t status) {
    if (status != cudaSuccess) {
        (void)cudaGetLastError();
        throw std::runtime_error(std::string("CUDA error: ") + cudaGetErrorString(status));
    }
}

void check_cuda_op(cudaError_t status, const char* operation) {
    if (status != cudaSuccess) {
        (void)cudaGetLastError();
        throw std::runtime_error(std::string(operation) + ": " + cudaGetErrorString(status));
    }
}

quorra::DeviceBuffer allocate_call_buffer(size_t bytes) {
    int device = 0;
    check_cuda(cudaGetDevice(&device));
    quorra::DeviceBuffer buffer;
    check_cuda(buffer.allocate(device, bytes));
    return buffer;
}

void check_cublas(int status, const char* operation) {
    if (status != 0) {
        throw std::runtime_error(std::string(operation) + " failed");
    }
}

void check_launch(const char* launch_name) {
    const cudaError_t status = cudaGetLastError();
    if (status != cudaSuccess) {
        throw std::runtime_error(std::string(launch_name) + " kernel launch failed: " + cudaGetErrorString(status));
    }
}

Precision parse_dtype(const std::string& dtype) {
    if (dtype == "complex64") {
        return Precision::Complex64;
    }
    if (dtype == "complex128") {
        return Precision::Complex128;
    }
    throw std::invalid_argument("dtype must be 'complex64' or 'complex128', got: " + dtype);
}

const char* dtype_name(Precision precision) { return precision == Precision::Complex128 ? "complex128" : "complex64"; }

int parse_device(const std::string& device) { return quorra::parse_device_text(device); }

DeviceState::DeviceState(int64_t n, Precision precision, int32_t device_id)
    : n_(n), precision_(precision), device_id_(device_id) {
    if (static_cast<uint64_t>(n) - 1 > 61) {
        throw std::invalid_argument("n must be in [1, 62]");
    }
    num_state_ = int64_t{1} << n;
    check_cuda(cudaSetDevice(device_id_));
    // 2^n amplitudes of 8 or 16 bytes overflow 64 bits from n = 61 (complex64) or
    // n = 60 (complex128); no device can hold them, so report what the allocator would.
    const int64_t width = bytes_per_amplitude(precision_);
    if (num_state_ > std::numeric_limits<int64_t>::max() / width) {
        check_cuda(cudaErrorMemoryAllocation);
    }
    check_cuda(cudaMalloc(&data_, static_cast<size_t>(num_state_ * width)));
}

DeviceState::DeviceState(int64_t n, Precision precision, int32_t device_id, void* amplitudes,
                         std::shared_ptr<void> keep_alive)
    : n_(n), precision_(precision), device_id_(device_id), keep_alive_(std::move(keep_alive)) {
    if (static_cast<uint64_t>(n) - 1 > 61) {
        throw std::invalid_argument("n must be in [1, 62]");
    }
    num_state_ = int64_t{1} << n;
    check_cuda(cudaSetDevice(device_id_));
    data_ = amplitudes;
}

DeviceState::~DeviceState() { release(); }

void DeviceState::release() noexcept { quorra::release_state_memory(data_, keep_alive_, device_id_); }

std::shared_ptr<DeviceState> DeviceState::clone() const {
    auto copy = std::make_shared<DeviceState>(n_, precision_, device_id_);
    check_cuda(cudaMemcpy(copy->data_, data_, static_cast<size_t>(num_state_ * bytes_per_amplitude(precision_)),
                          cudaMemcpyDeviceToDevice));
    return copy;
}

void DeviceState::synchronize() const {
    check_cuda(cudaSetDevice(device_id_));
    check_cuda(cudaDeviceSynchronize());
}

void DeviceState::upload(const void* host, int64_t count, bool use_pinned_host) {
    copy(const_cast<void*>(host), count, use_pinned_host, true);
}

void DeviceState::download(void* host, int64_t count, bool use_pinned_host) const {
    copy(host, count, use_pinned_host, false);
}

void DeviceState::copy(void* host, int64_t count, bool use_pinned_host, bool to_device) const {
    if (count != num_state_) {
        throw std::invalid_argument("state size does not match DeviceState size");
    }
    check_cuda(cudaSetDevice(device_id_));
    const size_t bytes = static_cast<size_t>(num_state_ * bytes_per_amplitude(precision_));
    bool registered = false;
    if (use_pinned_host) {
        // Page-locking only speeds the copy up; if it fails, copy from pageable memory.
        registered = cudaHostRegister(host, bytes, cudaHostRegisterDefault) == cudaSuccess;
        if (!registered) {
            (void)cudaGetLastError();
        }
    }
    const cudaError_t status = to_device ? cudaMemcpy(data_, host, bytes, cudaMemcpyHostToDevice)
                                         : cudaMemcpy(host, data_, bytes, cudaMemcpyDeviceToHost);
    if (status != cudaSuccess) {
        if (registered) {
            (void)cudaHostUnregister(host);
        }
        check_cuda(status);
    }
    if (registered) {
        check_cuda(cudaHostUnregister(host));
    }
}

void DeviceState::fill_zero_state() {
    check_cuda(cudaSetDevice(device_id_));
    const size_t width = static_cast<size_t>(bytes_per_amplitude(precision_));
    check_cuda(cudaMemset(data_, 0, static_cast<size_t>(num_state_) * width));
    if (precision_ == Precision::Complex64) {
        const CuComplex<float> one{1.0F, 0.0F};
        check_cuda(cudaMemcpy(data_, &one, width, cudaMemcpyHostToDevice));
    } else {
        const CuComplex<double> one{1.0, 0.0};
        check_cuda(cudaMemcpy(data_, &one, width, cudaMemcpyHostToDevice));
    }
}

}  // namespace velqa
