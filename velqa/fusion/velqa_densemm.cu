// DenseMM launcher and the per-thread cuBLAS cache.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#include <algorithm>
#include <bit>
#include <climits>
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

}  // namespace

template <typename T>
DenseMMCache<T>& DenseMMCache<T>::for_this_thread() {
    thread_local DenseMMCache<T> cache;
    return cache;
}

template <typename T>
void DenseMMCache<T>::free_buffers() noexcept {
    (void)cudaFree(transpose_buffer_);
    (void)cudaFree(gemm_buffer_);
    transpose_buffer_ = nullptr;
    gemm_buffer_ = nullptr;
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
    if (const cudaError_t status = cudaMalloc(&transpose_buffer_, bytes); status != cudaSuccess) {
        transpose_buffer_ = nullptr;
        check_cuda_op(status, "cudaMalloc cached DenseMM transpose buffer");
    }
    if (const cudaError_t status = cudaMalloc(&gemm_buffer_, bytes); status != cudaSuccess) {
        gemm_buffer_ = nullptr;
        free_buffers();
        check_cuda_op(status, "cudaMalloc cached DenseMM GEMM buffer");
    }
    capacity_ = elements;
}

template <typename T>
void launch_densemm(cublasHandle_t handle, int64_t n, CuComplex<T>* state, CuComplex<T>* transpose_buffer,
                    CuComplex<T>* gemm_buffer, uint64_t active_mask, int64_t k, const CuComplex<T>* matrix,
                    cudaStream_t stream) {
    if (k <= 0 || k >= n) {
        throw std::invalid_argument("DenseMM active qubits must be in [1, n-1]");
    }
    const uint64_t total = uint64_t{1} << n;
    // The mask comes from the plan; one outside the state would permute out of bounds.
    if (std::popcount(active_mask) != k || (active_mask & ~(total - 1)) != 0) {
        throw std::invalid_argument("DenseMM active mask does not match its qubits");
    }
    const uint64_t inactive_mask = active_mask ^ (total - 1);
    const int ki = static_cast<int>(k);
    quorra::launch_kernel(transpose_to_low_bits<T>, transpose_grid(total), dim3(kTransposeThreads), 0, stream, total,
                          state, transpose_buffer, active_mask, inactive_mask, ki);
    const uint64_t columns = uint64_t{1} << (n - k);
    if (columns > static_cast<uint64_t>(INT_MAX)) {
        throw std::invalid_argument("DenseMM column count exceeds cuBLAS int range");
    }
    check_cublas(static_cast<int>(cublasSetStream_v2(handle, stream)), "cublasSetStream DenseMM");
    const int dim = 1 << ki;
    check_cublas(static_cast<int>(gemm(handle, dim, static_cast<int>(columns), matrix, transpose_buffer, gemm_buffer)),
                 gemm_label<T>());
    quorra::launch_kernel(transpose_from_low_bits<T>, transpose_grid(total), dim3(kTransposeThreads), 0, stream, total,
                          gemm_buffer, state, active_mask, inactive_mask, ki);
}

template class DenseMMCache<float>;
template class DenseMMCache<double>;
template void launch_densemm<float>(cublasHandle_t, int64_t, CuComplex<float>*, CuComplex<float>*, CuComplex<float>*,
                                    uint64_t, int64_t, const CuComplex<float>*, cudaStream_t);
template void launch_densemm<double>(cublasHandle_t, int64_t, CuComplex<double>*, CuComplex<double>*,
                                     CuComplex<double>*, uint64_t, int64_t, const CuComplex<double>*, cudaStream_t);

}  // namespace velqa::fusion
