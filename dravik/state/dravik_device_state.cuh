// dravik's device density matrix, its complex type, the CUDA error checks, the device and
// dtype parsers, and the owner of a call's temporary device buffers.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#pragma once

#include <cuda_runtime.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <quorra_complex.cuh>
#include <string>

#include "quorra_device_buffer.cuh"

namespace quorra::dravik {

// The shared complex element (quorra_complex.cuh) and its arithmetic, under dravik's name;
// the operators and mul_add are found through the enclosing namespace quorra.
template <typename T>
using CuComplex = quorra::CuComplex<T>;

constexpr uint64_t kMaxDensityQubits = 15;

// "CUDA error: " + the runtime's string.
[[noreturn]] void throw_cuda_error(cudaError_t status);
// Success returns without effect; anything else goes to throw_cuda_error.
void check_cuda(cudaError_t status);
// Reads and clears the last error after a launch: prefix + the runtime's string.
void check_launch(const char* prefix);

// "complex128" -> true (double precision), "complex64" -> false.
bool parse_dtype(const std::string& dtype);
// "cuda", "gpu" -> 0; "cuda:<id>" -> id; anything else refused.
int parse_device(const std::string& device);

// One n-qubit density matrix (n <= 15), row-major, in the memory of one device.
// Exclusively owns its allocation; held through shared ownership from Python.
class DeviceDensityState {
public:
    // Contents are undefined until upload_density or reset_to_zero_state.
    DeviceDensityState(uint64_t num_qubits, bool is_double, int32_t device_id);
    // A view of another library's matrix at `elements` on `device_id`, which this state
    // never frees: `keep_alive` keeps it valid and is dropped with the state.
    DeviceDensityState(uint64_t num_qubits, bool is_double, int32_t device_id, void* elements,
                       std::shared_ptr<void> keep_alive);
    ~DeviceDensityState();
    DeviceDensityState(const DeviceDensityState&) = delete;
    DeviceDensityState& operator=(const DeviceDensityState&) = delete;

    // Whole-matrix copies; `count` is the host buffer's element count.
    void upload_density(const void* host, int64_t count);
    void download_density(void* host, int64_t count) const;
    // rho = |0...0><0...0|: one memset and one element copy.
    void reset_to_zero_state();
    // A new state with its own buffer holding the same matrix.
    std::shared_ptr<DeviceDensityState> clone_density_state() const;
    // Returns when all work queued on the state's device has finished.
    void synchronize() const;

    const char* dtype_name() const { return is_double_ != 0 ? "complex128" : "complex64"; }
    uint64_t num_qubits() const { return num_qubits_; }
    int64_t dimension() const { return dimension_; }
    int64_t element_count() const { return element_count_; }
    bool is_double() const { return is_double_ != 0; }
    int32_t device_id() const { return device_id_; }
    size_t element_bytes() const { return is_double_ != 0 ? 16 : 8; }
    void* data() const { return data_; }

    template <typename T>
    CuComplex<T>* elements() const {
        return static_cast<CuComplex<T>*>(data_);
    }

private:
    void check_count(int64_t count) const;

    uint64_t num_qubits_ = 0;
    int64_t dimension_ = 0;
    int64_t element_count_ = 0;
    int32_t is_double_ = 0;
    int32_t device_id_ = 0;
    void* data_ = nullptr;
    std::shared_ptr<void> keep_alive_;  // set for a view only
};

std::shared_ptr<DeviceDensityState> create_density_state(uint64_t num_qubits, bool is_double, int32_t device_id);

// A device allocation that lives for one call (matrix pool, probability table, ...);
// freed on every exit path. Allocate with the owning device current; a failed allocation
// throws "CUDA error: " and the runtime's string.
class DeviceBuffer : public quorra::DeviceBuffer {
public:
    DeviceBuffer(int32_t device_id, size_t bytes) { check_cuda(allocate(device_id, bytes)); }
};

}  // namespace quorra::dravik
