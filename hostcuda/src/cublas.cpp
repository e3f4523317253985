// Host stand-in for the cuBLAS GEMM calls: column-major, op N/T/C, leading
// dimensions and status codes as cuBLAS has them. Read by g++ only.
#include <cublas_v2.h>

#include <algorithm>
#include <complex>
#include <new>

struct cublasContext {
    cudaStream_t stream = nullptr;
    cublasPointerMode_t pointer_mode = CUBLAS_POINTER_MODE_HOST;
};

namespace {

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
    // Device pointer mode reads the scalars from "device" memory, which is host memory here.
    const Complex alpha(alpha_ptr->x, alpha_ptr->y);
    const Complex beta(beta_ptr->x, beta_ptr->y);
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
    return CUBLAS_STATUS_SUCCESS;
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
