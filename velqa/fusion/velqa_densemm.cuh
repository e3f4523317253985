// DenseMM executor: a group applied as one dense 2^k x 2^k matrix through a permutation of
// the state, one cuBLAS GEMM and the inverse permutation; and the per-thread cache of the
// cuBLAS handle and the two scratch buffers.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#pragma once

#include <cublas_v2.h>
#include <cuda_runtime.h>

#include <cstdint>

#include "state/velqa_device_state.cuh"

namespace velqa::fusion {

// One per host thread and precision (see for_this_thread); bound to one device at a time,
// rebuilt when the thread calls it while another device is current, released when the
// thread ends.
template <typename T>
class DenseMMCache {
public:
    DenseMMCache() = default;
    ~DenseMMCache() { release(); }
    DenseMMCache(const DenseMMCache&) = delete;
    DenseMMCache& operator=(const DenseMMCache&) = delete;

    static DenseMMCache& for_this_thread();

    // Binds the cache to the current device with a handle and buffers of at least
    // `elements` amplitudes each; buffers grow to exactly that size and never shrink.
    void ensure_capacity(uint64_t elements);

    int32_t device() const { return device_; }
    uint64_t capacity() const { return capacity_; }
    CuComplex<T>* transpose_buffer() const { return transpose_buffer_; }
    CuComplex<T>* gemm_buffer() const { return gemm_buffer_; }
    cublasHandle_t handle() const { return handle_; }

private:
    // Destroys the handle and frees both buffers on the owning device, ignoring results.
    void release() noexcept;
    void free_buffers() noexcept;

    int32_t device_ = -1;
    uint64_t capacity_ = 0;
    CuComplex<T>* transpose_buffer_ = nullptr;
    CuComplex<T>* gemm_buffer_ = nullptr;
    cublasHandle_t handle_ = nullptr;
};

// Checks k in [1, n-1], permutes the active qubits to the low bits, checks the column count
// against cuBLAS's int range, then GEMM and the inverse permutation, all on `stream`.
// Kernel launch errors are left for the caller's check after the group.
template <typename T>
void launch_densemm(cublasHandle_t handle, int64_t n, CuComplex<T>* state, CuComplex<T>* transpose_buffer,
                    CuComplex<T>* gemm_buffer, uint64_t active_mask, int64_t k, const CuComplex<T>* matrix,
                    cudaStream_t stream);

}  // namespace velqa::fusion
