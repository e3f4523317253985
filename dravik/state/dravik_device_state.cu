// DeviceDensityState, the CUDA error checks and the device and dtype parsers.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#include <algorithm>
#include <cctype>
#include <limits>
#include <quorra_device_text.hpp>
#include <quorra_state_memory.hpp>
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

int parse_device(const std::string& device) { return quorra::parse_device_text(device); }

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

DeviceDensityState::~DeviceDensityState() { quorra::release_state_memory(data_, keep_alive_, device_id_); }

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
