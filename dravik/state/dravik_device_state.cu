// DeviceDensityState, the CUDA error checks and the device and dtype parsers.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#include <algorithm>
#include <cctype>
#include <limits>
#include <stdexcept>
#include <utility>

#include "dravik_device_state.cuh"

namespace quorra::dravik {

void throw_cuda_error(cudaError_t status) {
    // The runtime also keeps a failed call's code as the thread's last error; it is reported
    // here, so clear it, or the next launch check would blame an innocent kernel for it.
    (void)cudaGetLastError();
    throw std::runtime_error(std::string("CUDA error: ") + cudaGetErrorString(status));
}

void check_cuda(cudaError_t status) {
    if (status != cudaSuccess) {
        throw_cuda_error(status);
    }
}

void check_launch(const char* prefix) {
    const cudaError_t status = cudaGetLastError();
    if (status != cudaSuccess) {
        throw std::runtime_error(std::string(prefix) + cudaGetErrorString(status));
    }
}

bool parse_dtype(const std::string& dtype) {
    if (dtype == "complex64") {
        return false;
    }
    if (dtype == "complex128") {
        return true;
    }
    throw std::invalid_argument("dtype must be 'complex64' or 'complex128', got: " + dtype);
}

namespace {

// Reads a base-10 int as the standard string-to-int conversion does: leading white space
// and one sign accepted, reading stops at the first non-digit.
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
    // Accumulate the magnitude, saturating once it is past any int.
    constexpr long long kPastInt = static_cast<long long>(std::numeric_limits<int>::max()) + 2;
    long long magnitude = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) != 0; ++i) {
        magnitude = std::min(magnitude * 10 + (text[i] - '0'), kPastInt);
    }
    const long long value = negative ? -magnitude : magnitude;
    if (value > std::numeric_limits<int>::max() || value < std::numeric_limits<int>::min()) {
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

DeviceDensityState::DeviceDensityState(uint64_t num_qubits, bool is_double, int32_t device_id)
    : num_qubits_(num_qubits), is_double_(is_double ? 1 : 0), device_id_(device_id) {
    if (num_qubits > kMaxDensityQubits) {
        throw std::invalid_argument("num_qubits must be in [0, 15] for the GPU density backend");
    }
    dimension_ = int64_t{1} << num_qubits;
    element_count_ = dimension_ * dimension_;
    check_cuda(cudaSetDevice(device_id_));
    check_cuda(cudaMalloc(&data_, static_cast<size_t>(element_count_) * element_bytes()));
}

DeviceDensityState::DeviceDensityState(uint64_t num_qubits, bool is_double, int32_t device_id, void* elements,
                                       std::shared_ptr<void> keep_alive)
    : num_qubits_(num_qubits),
      is_double_(is_double ? 1 : 0),
      device_id_(device_id),
      keep_alive_(std::move(keep_alive)) {
    if (num_qubits > kMaxDensityQubits) {
        throw std::invalid_argument("num_qubits must be in [0, 15] for the GPU density backend");
    }
    dimension_ = int64_t{1} << num_qubits;
    element_count_ = dimension_ * dimension_;
    check_cuda(cudaSetDevice(device_id_));
    data_ = elements;
}

DeviceDensityState::~DeviceDensityState() {
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

void DeviceDensityState::check_count(int64_t count) const {
    if (count != element_count_) {
        throw std::invalid_argument("state size does not match DeviceDensityState size");
    }
}

void DeviceDensityState::upload_density(const void* host, int64_t count) {
    check_count(count);
    check_cuda(cudaSetDevice(device_id_));
    check_cuda(cudaMemcpy(data_, host, static_cast<size_t>(element_count_) * element_bytes(), cudaMemcpyHostToDevice));
}

void DeviceDensityState::download_density(void* host, int64_t count) const {
    check_count(count);
    check_cuda(cudaSetDevice(device_id_));
    check_cuda(cudaMemcpy(host, data_, static_cast<size_t>(element_count_) * element_bytes(), cudaMemcpyDeviceToHost));
}

void DeviceDensityState::reset_to_zero_state() {
    check_cuda(cudaSetDevice(device_id_));
    check_cuda(cudaMemset(data_, 0, static_cast<size_t>(element_count_) * element_bytes()));
    if (is_double_ != 0) {
        const CuComplex<double> one{1.0, 0.0};
        check_cuda(cudaMemcpy(data_, &one, sizeof(one), cudaMemcpyHostToDevice));
    } else {
        const CuComplex<float> one{1.0F, 0.0F};
        check_cuda(cudaMemcpy(data_, &one, sizeof(one), cudaMemcpyHostToDevice));
    }
}

std::shared_ptr<DeviceDensityState> DeviceDensityState::clone_density_state() const {
    // The new owner releases the copy if the transfer fails.
    auto copy = create_density_state(num_qubits_, is_double_ != 0, device_id_);
    check_cuda(cudaSetDevice(device_id_));
    check_cuda(cudaMemcpy(copy->data_, data_, static_cast<size_t>(element_count_) * element_bytes(),
                          cudaMemcpyDeviceToDevice));
    return copy;
}

void DeviceDensityState::synchronize() const {
    check_cuda(cudaSetDevice(device_id_));
    check_cuda(cudaDeviceSynchronize());
}

std::shared_ptr<DeviceDensityState> create_density_state(uint64_t num_qubits, bool is_double, int32_t device_id) {
    return std::make_shared<DeviceDensityState>(num_qubits, is_double, device_id);
}

}  // namespace quorra::dravik
