// Host stand-in for the cuBLAS GEMM calls: column-major, op N/T/C, leading
// dimensions and status codes as cuBLAS has them. Read by g++ only.
#include <cublas_v2.h>

#include <algorithm>
#include <complex>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "internal.h"

struct cublasContext {
    cudaStream_t stream = nullptr;
    cublasPointerMode_t pointer_mode = CUBLAS_POINTER_MODE_HOST;
};

namespace {

template <typename C, typename Complex>
void multiply(cublasOperation_t transa, cublasOperation_t transb, int m, int n, int k, Complex alpha, const C* A,
              int lda, const C* B, int ldb, Complex beta, C* C_out, int ldc);

template <typename C>
cublasStatus_t gemm(cublasHandle_t handle, cublasOperation_t transa, cublasOperation_t transb, int m, int n, int k,
                    const C* alpha_ptr, const C* A, int lda, const C* B, int ldb, const C* beta_ptr, C* C_out,
                    int ldc) {
    using Complex = std::complex<decltype(C{}.x)>;
    if (handle == nullptr) {
        return CUBLAS_STATUS_NOT_INITIALIZED;
    }
    const auto valid_op = [](cublasOperation_t op) {
        return op == CUBLAS_OP_N || op == CUBLAS_OP_T || op == CUBLAS_OP_C;
    };
    const int rows_a = transa == CUBLAS_OP_N ? m : k;
    const int rows_b = transb == CUBLAS_OP_N ? k : n;
    if (!valid_op(transa) || !valid_op(transb) || m < 0 || n < 0 || k < 0 || lda < std::max(1, rows_a) ||
        ldb < std::max(1, rows_b) || ldc < std::max(1, m) || alpha_ptr == nullptr || beta_ptr == nullptr) {
        return CUBLAS_STATUS_INVALID_VALUE;
    }
    if (m == 0 || n == 0) {
        return CUBLAS_STATUS_SUCCESS;
    }
    if (handle->stream != nullptr) {
        return CUBLAS_STATUS_EXECUTION_FAILED;  // only the default stream exists here
    }
    // Host scalars are read now, as cuBLAS does; device scalars when the product runs.
    const bool device_scalars = handle->pointer_mode == CUBLAS_POINTER_MODE_DEVICE;
    const Complex host_alpha = device_scalars ? Complex() : Complex(alpha_ptr->x, alpha_ptr->y);
    const Complex host_beta = device_scalars ? Complex() : Complex(beta_ptr->x, beta_ptr->y);
    std::vector<const void*> pointers{A, B, C_out};
    if (device_scalars) {
        pointers.push_back(alpha_ptr);
        pointers.push_back(beta_ptr);
    }
    std::vector<hostcuda::detail::Range> uses;
    for (const void* pointer : pointers) {
        uses.push_back(hostcuda::detail::Range{reinterpret_cast<uintptr_t>(pointer), 1});
    }
    // Queued on the handle's stream like the kernels cuBLAS launches.
    hostcuda::detail::enqueue(hostcuda::detail::Work{
        "cuBLAS gemm",
        [=] {
            for (const void* pointer : pointers) {
                if (!hostcuda::detail::device_can_access(pointer)) {
                    char address[32];
                    std::snprintf(address, sizeof address, "%p", pointer);
                    throw hostcuda::detail::ExecutionError(
                        cudaErrorIllegalAddress, std::string("gemm operand ") + address +
                                                     " is not inside a live device allocation or a registered host "
                                                     "range: an illegal memory access was encountered");
                }
            }
            const Complex alpha = device_scalars ? Complex(alpha_ptr->x, alpha_ptr->y) : host_alpha;
            const Complex beta = device_scalars ? Complex(beta_ptr->x, beta_ptr->y) : host_beta;
            multiply(transa, transb, m, n, k, alpha, A, lda, B, ldb, beta, C_out, ldc);
        },
        std::move(uses)});
    return CUBLAS_STATUS_SUCCESS;
}

// C = alpha op(A) op(B) + beta C, run when the stream reaches it.
template <typename C, typename Complex>
void multiply(cublasOperation_t transa, cublasOperation_t transb, int m, int n, int k, Complex alpha, const C* A,
              int lda, const C* B, int ldb, Complex beta, C* C_out, int ldc) {
    const auto element = [](const C* base, int ld, int row, int col, cublasOperation_t op) {
        // op(X)[row, col] from the column-major X.
        const C value = op == CUBLAS_OP_N ? base[row + static_cast<long long>(col) * ld]
                                          : base[col + static_cast<long long>(row) * ld];
        const Complex z(value.x, value.y);
        return op == CUBLAS_OP_C ? std::conj(z) : z;
    };
    for (int col = 0; col < n; ++col) {
        for (int row = 0; row < m; ++row) {
            Complex sum(0, 0);
            for (int p = 0; p < k; ++p) {
                sum += element(A, lda, row, p, transa) * element(B, ldb, p, col, transb);
            }
            C& out = C_out[row + static_cast<long long>(col) * ldc];
            // With beta = 0, C is never read, so NaN there cannot leak into the result.
            Complex result = alpha * sum;
            if (beta != Complex(0, 0)) {
                result += beta * Complex(out.x, out.y);
            }
            out.x = result.real();
            out.y = result.imag();
        }
    }
}

}  // namespace

cublasStatus_t cublasCreate_v2(cublasHandle_t* handle) {
    if (handle == nullptr) {
        return CUBLAS_STATUS_INVALID_VALUE;
    }
    *handle = new (std::nothrow) cublasContext();
    return *handle == nullptr ? CUBLAS_STATUS_ALLOC_FAILED : CUBLAS_STATUS_SUCCESS;
}

cublasStatus_t cublasDestroy_v2(cublasHandle_t handle) {
    if (handle == nullptr) {
        return CUBLAS_STATUS_NOT_INITIALIZED;
    }
    delete handle;
    return CUBLAS_STATUS_SUCCESS;
}

cublasStatus_t cublasSetStream_v2(cublasHandle_t handle, cudaStream_t stream) {
    if (handle == nullptr) {
        return CUBLAS_STATUS_NOT_INITIALIZED;
    }
    handle->stream = stream;
    return CUBLAS_STATUS_SUCCESS;
}

cublasStatus_t cublasSetPointerMode_v2(cublasHandle_t handle, cublasPointerMode_t mode) {
    if (handle == nullptr) {
        return CUBLAS_STATUS_NOT_INITIALIZED;
    }
    if (mode != CUBLAS_POINTER_MODE_HOST && mode != CUBLAS_POINTER_MODE_DEVICE) {
        return CUBLAS_STATUS_INVALID_VALUE;
    }
    handle->pointer_mode = mode;
    return CUBLAS_STATUS_SUCCESS;
}

cublasStatus_t cublasGetPointerMode_v2(cublasHandle_t handle, cublasPointerMode_t* mode) {
    if (handle == nullptr) {
        return CUBLAS_STATUS_NOT_INITIALIZED;
    }
    if (mode == nullptr) {
        return CUBLAS_STATUS_INVALID_VALUE;
    }
    *mode = handle->pointer_mode;
    return CUBLAS_STATUS_SUCCESS;
}

cublasStatus_t cublasCgemm_v2(cublasHandle_t handle, cublasOperation_t transa, cublasOperation_t transb, int m, int n,
                              int k, const cuComplex* alpha, const cuComplex* A, int lda, const cuComplex* B, int ldb,
                              const cuComplex* beta, cuComplex* C, int ldc) {
    return gemm(handle, transa, transb, m, n, k, alpha, A, lda, B, ldb, beta, C, ldc);
}

cublasStatus_t cublasZgemm_v2(cublasHandle_t handle, cublasOperation_t transa, cublasOperation_t transb, int m, int n,
                              int k, const cuDoubleComplex* alpha, const cuDoubleComplex* A, int lda,
                              const cuDoubleComplex* B, int ldb, const cuDoubleComplex* beta, cuDoubleComplex* C,
                              int ldc) {
    return gemm(handle, transa, transb, m, n, k, alpha, A, lda, B, ldb, beta, C, ldc);
}
