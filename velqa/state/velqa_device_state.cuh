// velqa's device state vector, its complex type, precisions and the CUDA error checks.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#pragma once

#include <cuda_runtime.h>

#include <cstdint>
#include <memory>
#include <quorra_complex.cuh>
#include <string>

#include "quorra_device_buffer.cuh"

namespace velqa {

// The shared complex element (quorra_complex.cuh) and its arithmetic, under velqa's name.
template <typename T>
using CuComplex = quorra::CuComplex<T>;
using quorra::conj;
using quorra::make_complex;
using quorra::mul_add;
using quorra::norm2;

enum class Precision : int32_t { Complex64 = 0, Complex128 = 1 };

inline int64_t bytes_per_amplitude(Precision precision) { return precision == Precision::Complex64 ? 8 : 16; }

// "CUDA error: " + the runtime's string; success returns without effect.
void check_cuda(cudaError_t status);
// operation + ": " + the runtime's string.
void check_cuda_op(cudaError_t status, const char* operation);
// operation + " failed" for a non-success cuBLAS status (passed as its integer value).
void check_cublas(int status, const char* operation);
// Reads and clears the last error after a launch: name + " kernel launch failed: " + string.
void check_launch(const char* launch_name);

// `bytes` of device memory on the current device for one call, freed on every path; a failed
// allocation throws through check_cuda.
quorra::DeviceBuffer allocate_call_buffer(size_t bytes);

Precision parse_dtype(const std::string& dtype);
int parse_device(const std::string& device);
const char* dtype_name(Precision precision);

// The n-qubit state vector on one device. Exclusively owns its allocation, or is a view of
// another library's device array; shared by reference counting from Python. All work goes
// to the legacy default stream.
class DeviceState {
public:
    DeviceState(int64_t n, Precision precision, int32_t device_id);
    // A view of `amplitudes` (2^n of them on `device_id`), which this state never frees:
    // `keep_alive` holds whatever keeps them valid and is dropped when the state is released.
    DeviceState(int64_t n, Precision precision, int32_t device_id, void* amplitudes, std::shared_ptr<void> keep_alive);
    ~DeviceState();
    DeviceState(const DeviceState&) = delete;
    DeviceState& operator=(const DeviceState&) = delete;

    void upload(const void* host, int64_t count, bool use_pinned_host);
    void download(void* host, int64_t count, bool use_pinned_host) const;
    void fill_zero_state();
    // A new state with its own allocation holding the same amplitudes.
    std::shared_ptr<DeviceState> clone() const;
    // Returns when all work queued on the state's device has finished.
    void synchronize() const;
    void release() noexcept;

    int64_t n() const { return n_; }
    int64_t num_state() const { return num_state_; }
    Precision precision() const { return precision_; }
    int32_t device_id() const { return device_id_; }
    void* data() const { return data_; }

    template <typename T>
    CuComplex<T>* amplitudes() const {
        return static_cast<CuComplex<T>*>(data_);
    }

private:
    void copy(void* host, int64_t count, bool use_pinned_host, bool to_device) const;

    int64_t n_ = 0;
    int64_t num_state_ = 0;
    Precision precision_ = Precision::Complex128;
    int32_t device_id_ = 0;
    void* data_ = nullptr;
    std::shared_ptr<void> keep_alive_;  // set for a view only
};

}  // namespace velqa
