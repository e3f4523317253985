// DenseMM launcher, the chunked dense product and the per-thread cuBLAS cache.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#include <algorithm>
#include <bit>
#include <climits>
#include <cstdlib>
#include <stdexcept>

#include "fusion/velqa_densemm.cuh"
#include "fusion/velqa_densemm_kernels.cuh"
#include "quorra_launch.cuh"

namespace velqa::fusion {

namespace {

constexpr uint64_t kMaxGrid = 65535;

cublasStatus_t gemm(cublasHandle_t handle, int dim, int columns, const CuComplex<float>* matrix,
                    const CuComplex<float>* b, CuComplex<float>* c) {
    const cuComplex alpha{1.0f, 0.0f};
    const cuComplex beta{0.0f, 0.0f};
    return cublasCgemm_v2(handle, CUBLAS_OP_T, CUBLAS_OP_N, dim, columns, dim, &alpha,
                          reinterpret_cast<const cuComplex*>(matrix), dim, reinterpret_cast<const cuComplex*>(b), dim,
                          &beta, reinterpret_cast<cuComplex*>(c), dim);
}

cublasStatus_t gemm(cublasHandle_t handle, int dim, int columns, const CuComplex<double>* matrix,
                    const CuComplex<double>* b, CuComplex<double>* c) {
    const cuDoubleComplex alpha{1.0, 0.0};
    const cuDoubleComplex beta{0.0, 0.0};
    return cublasZgemm_v2(
        handle, CUBLAS_OP_T, CUBLAS_OP_N, dim, columns, dim, &alpha, reinterpret_cast<const cuDoubleComplex*>(matrix),
        dim, reinterpret_cast<const cuDoubleComplex*>(b), dim, &beta, reinterpret_cast<cuDoubleComplex*>(c), dim);
}

template <typename T>
constexpr const char* gemm_label() {
    return sizeof(T) == sizeof(float) ? "cublasCgemm DenseMM" : "cublasZgemm DenseMM";
}

dim3 transpose_grid(uint64_t total) {
    return dim3(static_cast<unsigned>(std::min((total + kTransposeThreads - 1) / kTransposeThreads, kMaxGrid)));
}

// The override in bytes, or 0 when the variable is unset or not a positive integer.
uint64_t chunk_bytes_override() {
    const char* text = std::getenv(kDenseChunkBytesVariable);
    if (text == nullptr || *text == '\0') {
        return 0;
    }
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    return (*end == '\0' && text[0] != '-') ? value : 0;
}

constexpr uint64_t kMaxScratchBytes = uint64_t{1} << 30;
constexpr uint64_t kMinBufferAmplitudes = uint64_t{1} << 16;

}  // namespace

uint64_t dense_chunk_columns(int64_t n, int64_t k, size_t element_bytes) {
    const uint64_t state_columns = uint64_t{1} << (n - k);
    uint64_t buffer_amplitudes = 0;
    if (const uint64_t forced = chunk_bytes_override(); forced != 0) {
        buffer_amplitudes = forced / 2 / element_bytes;
    } else {
        // 1/16 of the state, in bytes, without forming 2^n x element_bytes (beyond 64 bits
        // for the largest n).
        const uint64_t sixteenth = n >= 4 ? (uint64_t{1} << (n - 4)) : 0;
        const uint64_t scratch_bytes =
            sixteenth > kMaxScratchBytes / element_bytes ? kMaxScratchBytes : sixteenth * element_bytes;
        buffer_amplitudes = std::max(scratch_bytes / 2 / element_bytes, kMinBufferAmplitudes);
    }
    const uint64_t columns = std::max<uint64_t>(buffer_amplitudes >> k, 1);
    return std::min({columns, state_columns, static_cast<uint64_t>(INT_MAX)});
}

template <typename T>
void launch_dense_chunk(cublasHandle_t handle, CuComplex<T>* state, const DenseLayout& layout, uint64_t first_column,
                        uint64_t columns, CuComplex<T>* transpose_buffer, CuComplex<T>* gemm_buffer,
                        const CuComplex<T>* matrix, cudaStream_t stream) {
    const uint64_t total = columns << layout.k;
    const dim3 grid = transpose_grid(total);
    quorra::launch_kernel(transpose_to_low_bits<T>, grid, dim3(kTransposeThreads), 0, stream, total,
                          static_cast<const CuComplex<T>*>(state), transpose_buffer, layout.active_mask,
                          layout.column_mask, layout.k, first_column, layout.fixed_value);
    const int dim = 1 << layout.k;
    check_cublas(static_cast<int>(gemm(handle, dim, static_cast<int>(columns), matrix, transpose_buffer, gemm_buffer)),
                 gemm_label<T>());
    quorra::launch_kernel(transpose_from_low_bits<T>, grid, dim3(kTransposeThreads), 0, stream, total,
                          static_cast<const CuComplex<T>*>(gemm_buffer), state, layout.active_mask, layout.column_mask,
                          layout.k, first_column, layout.fixed_value);
}

template <typename T>
void launch_dense_product(cublasHandle_t handle, CuComplex<T>* state, const DenseLayout& layout, uint64_t chunk_columns,
                          CuComplex<T>* transpose_buffer, CuComplex<T>* gemm_buffer, const CuComplex<T>* matrix,
                          cudaStream_t stream) {
    check_cublas(static_cast<int>(cublasSetStream_v2(handle, stream)), "cublasSetStream DenseMM");
    const uint64_t columns = uint64_t{1} << std::popcount(layout.column_mask);
    for (uint64_t first = 0; first < columns; first += chunk_columns) {
        launch_dense_chunk<T>(handle, state, layout, first, std::min(chunk_columns, columns - first), transpose_buffer,
                              gemm_buffer, matrix, stream);
    }
}

template <typename T>
DenseMMCache<T>& DenseMMCache<T>::for_this_thread() {
    thread_local DenseMMCache<T> cache;
    return cache;
}

template <typename T>
void DenseMMCache<T>::free_buffers() noexcept {
    transpose_buffer_.reset();
    gemm_buffer_.reset();
    capacity_ = 0;
}

template <typename T>
void DenseMMCache<T>::release() noexcept {
    if (device_ >= 0) {
        (void)cudaSetDevice(device_);
    }
    if (handle_ != nullptr) {
        (void)cublasDestroy_v2(handle_);
        handle_ = nullptr;
    }
    free_buffers();
    device_ = -1;
}

template <typename T>
void DenseMMCache<T>::ensure_capacity(uint64_t elements) {
    int current = -1;
    check_cuda_op(cudaGetDevice(&current), "cudaGetDevice DenseMM cache");
    if (device_ != current) {
        release();
        check_cuda_op(cudaSetDevice(current), "cudaSetDevice DenseMM cache");
        device_ = current;
    }
    if (handle_ == nullptr) {
        check_cublas(static_cast<int>(cublasCreate_v2(&handle_)), "cublasCreate DenseMM cache");
    }
    if (capacity_ >= elements) {
        return;
    }
    free_buffers();
    const size_t bytes = static_cast<size_t>(elements) * sizeof(CuComplex<T>);
    // After a failure the cache holds no buffer, so the next call allocates both again.
    check_cuda_op(transpose_buffer_.allocate(current, bytes), "cudaMalloc cached DenseMM transpose buffer");
    if (const cudaError_t status = gemm_buffer_.allocate(current, bytes); status != cudaSuccess) {
        free_buffers();
        check_cuda_op(status, "cudaMalloc cached DenseMM GEMM buffer");
    }
    capacity_ = elements;
}

template <typename T>
void launch_densemm(cublasHandle_t handle, int64_t n, CuComplex<T>* state, CuComplex<T>* transpose_buffer,
                    CuComplex<T>* gemm_buffer, uint64_t chunk_columns, uint64_t active_mask, int64_t k,
                    const CuComplex<T>* matrix, cudaStream_t stream) {
    if (k <= 0 || k >= n) {
        throw std::invalid_argument("DenseMM active qubits must be in [1, n-1]");
    }
    const uint64_t total = uint64_t{1} << n;
    // The mask comes from the plan; one outside the state would permute out of bounds.
    if (std::popcount(active_mask) != k || (active_mask & ~(total - 1)) != 0) {
        throw std::invalid_argument("DenseMM active mask does not match its qubits");
    }
    // One GEMM takes at most INT_MAX columns; the caller's buffers hold the chunk.
    if (chunk_columns == 0 || chunk_columns > static_cast<uint64_t>(INT_MAX)) {
        throw std::invalid_argument("DenseMM chunk must hold 1 to INT_MAX columns");
    }
    const DenseLayout layout{active_mask, active_mask ^ (total - 1), 0, static_cast<int>(k)};
    launch_dense_product<T>(handle, state, layout, chunk_columns, transpose_buffer, gemm_buffer, matrix, stream);
}

template class DenseMMCache<float>;
template class DenseMMCache<double>;
#define VELQA_DENSEMM_INSTANCES(T)                                                                                    \
    template void launch_densemm<T>(cublasHandle_t, int64_t, CuComplex<T>*, CuComplex<T>*, CuComplex<T>*, uint64_t,   \
                                    uint64_t, int64_t, const CuComplex<T>*, cudaStream_t);                            \
    template void launch_dense_product<T>(cublasHandle_t, CuComplex<T>*, const DenseLayout&, uint64_t, CuComplex<T>*, \
                                          CuComplex<T>*, const CuComplex<T>*, cudaStream_t);                          \
    template void launch_dense_chunk<T>(cublasHandle_t, CuComplex<T>*, const DenseLayout&, uint64_t, uint64_t,        \
                                        CuComplex<T>*, CuComplex<T>*, const CuComplex<T>*, cudaStream_t);

VELQA_DENSEMM_INSTANCES(float)
VELQA_DENSEMM_INSTANCES(double)

#undef VELQA_DENSEMM_INSTANCES

}  // namespace velqa::fusion
