// DeviceState, the CUDA error checks and the device and dtype parsers.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#include <cctype>
#include <limits>
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

namespace {

// Reads a base-10 int the way the device texts have always been read: leading white
// space and a sign accepted, reading stops at the first non-digit.
int read_ordinal(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])) != 0) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i >= text.size() || std::isdigit(static_cast<unsigned char>(text[i])) == 0) {
        throw std::invalid_argument("invalid stoi argument");
    }
    long long value = 0;
    bool overflow = false;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) != 0; ++i) {
        if (!overflow) {
            value = value * 10 + (text[i] - '0');
            overflow = value > (1LL << 32);
        }
    }
    if (negative) {
        value = -value;
    }
    if (overflow || value > std::numeric_limits<int>::max() || value < std::numeric_limits<int>::min()) {
        throw std::out_of_range("stoi argument out of range");
    }
    return static_cast<int>(value);
}

}  // namespace

int parse_device(const std::string& device) {
    if (device == "cuda" || device == "gpu") {
        return 0;
    }
    if (device.size() > 4 && device.compare(0, 5, "cuda:") == 0) {
        return read_ordinal(device.substr(5));
    }
    throw std::invalid_argument("device must be 'cuda', 'gpu', or 'cuda:<id>', got: " + device);
}

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

void DeviceState::release() noexcept {
    if (keep_alive_) {
        // The producer may free its memory as soon as it is let go; queued kernels that
        // still use it must finish first (cudaFree waits the same way for owned memory).
        (void)cudaSetDevice(device_id_);
        (void)cudaDeviceSynchronize();
        data_ = nullptr;
        keep_alive_.reset();
    } else if (data_ != nullptr) {
        (void)cudaSetDevice(device_id_);
        (void)cudaFree(data_);
        data_ = nullptr;
    }
}

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
