// DenseMM executor: a group applied as one dense 2^k x 2^k matrix, a chunk of columns at a
// time: the chunk is gathered with the active qubits lowest into a bounded scratch buffer,
// multiplied by one cuBLAS GEMM and scattered back in place; and the per-thread cache of the
// cuBLAS handle and the two scratch buffers. UNITARY gates on six or more targets use the
// same chunked product.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#pragma once

#include <cublas_v2.h>
#include <cuda_runtime.h>

#include <cstddef>
#include <cstdint>

#include "quorra_device_buffer.cuh"
#include "state/velqa_device_state.cuh"

namespace velqa::fusion {

// Overrides the scratch bytes of a dense product (both buffers together); for tests that
// need chunk boundaries on small states.
inline constexpr const char* kDenseChunkBytesVariable = "QUORRA_DENSEMM_CHUNK_BYTES";

// Columns (groups of 2^k amplitudes) per chunk for a product on k of n qubits: the scratch
// is the smaller of 1/16 of the state and 1 GiB, raised to at least 2^16 amplitudes a buffer
// so the GEMM stays efficient on small states, unless the variable above sets it; always at
// least one column, at most the state's 2^(n-k) columns and at most INT_MAX (cuBLAS's int).
uint64_t dense_chunk_columns(int64_t n, int64_t k, size_t element_bytes);

// Where a dense product finds its amplitudes: local bit b of a group is the b-th lowest bit
// of `active_mask`; the column number fills the bits of `column_mask`, lowest first;
// `fixed_value` sets the bits outside both (the controls of a UNITARY, 0 for a fused group).
struct DenseLayout {
    uint64_t active_mask = 0;
    uint64_t column_mask = 0;
    uint64_t fixed_value = 0;
    int k = 0;
};

// The product over every column of `layout`, `chunk_columns` (1 to INT_MAX, validated by the
// caller) at a time through the two buffers of chunk_columns x 2^k amplitudes each. `matrix`
// is row-major in local-index order. Everything is queued on `stream` and nothing is checked
// after the first launch; launch errors are left for the caller.
template <typename T>
void launch_dense_product(cublasHandle_t handle, CuComplex<T>* state, const DenseLayout& layout, uint64_t chunk_columns,
                          CuComplex<T>* transpose_buffer, CuComplex<T>* gemm_buffer, const CuComplex<T>* matrix,
                          cudaStream_t stream);

// One chunk of columns [first_column, first_column + columns) of the product; the handle
// is already bound to `stream`. Exposed for the index tests of huge states.
template <typename T>
void launch_dense_chunk(cublasHandle_t handle, CuComplex<T>* state, const DenseLayout& layout, uint64_t first_column,
                        uint64_t columns, CuComplex<T>* transpose_buffer, CuComplex<T>* gemm_buffer,
                        const CuComplex<T>* matrix, cudaStream_t stream);

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
    CuComplex<T>* transpose_buffer() const { return transpose_buffer_.as<CuComplex<T>>(); }
    CuComplex<T>* gemm_buffer() const { return gemm_buffer_.as<CuComplex<T>>(); }
    cublasHandle_t handle() const { return handle_; }

private:
    // Destroys the handle and frees both buffers on the owning device, ignoring results.
    void release() noexcept;
    void free_buffers() noexcept;

    int32_t device_ = -1;
    uint64_t capacity_ = 0;
    quorra::DeviceBuffer transpose_buffer_;
    quorra::DeviceBuffer gemm_buffer_;
    cublasHandle_t handle_ = nullptr;
};

// Checks k in [1, n-1], the mask and the chunk size, binds the handle to `stream`, then runs
// the chunked product of the group, all before or on `stream`. Kernel launch errors are left
// for the caller's check after the group.
template <typename T>
void launch_densemm(cublasHandle_t handle, int64_t n, CuComplex<T>* state, CuComplex<T>* transpose_buffer,
                    CuComplex<T>* gemm_buffer, uint64_t chunk_columns, uint64_t active_mask, int64_t k,
                    const CuComplex<T>* matrix, cudaStream_t stream);

}  // namespace velqa::fusion
