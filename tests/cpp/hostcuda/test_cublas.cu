// The cuBLAS stand-in's complex GEMM against a naive column-major reference, its
// status codes and pointer mode.
#include <cublas_v2.h>
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "hostcuda_test_support.h"

namespace {

using hostcuda_test::DeviceBuffer;
using hostcuda_test::StandInTest;

template <typename Real>
struct Gemm;

template <>
struct Gemm<float> {
    using Element = cuComplex;
    static cublasStatus_t call(cublasHandle_t h, cublasOperation_t ta, cublasOperation_t tb, int m, int n, int k,
                               const Element* alpha, const Element* A, int lda, const Element* B, int ldb,
                               const Element* beta, Element* C, int ldc) {
        return cublasCgemm_v2(h, ta, tb, m, n, k, alpha, A, lda, B, ldb, beta, C, ldc);
    }
    static constexpr double kTolerance = 2e-5;
};

template <>
struct Gemm<double> {
    using Element = cuDoubleComplex;
    static cublasStatus_t call(cublasHandle_t h, cublasOperation_t ta, cublasOperation_t tb, int m, int n, int k,
                               const Element* alpha, const Element* A, int lda, const Element* B, int ldb,
                               const Element* beta, Element* C, int ldc) {
        return cublasZgemm_v2(h, ta, tb, m, n, k, alpha, A, lda, B, ldb, beta, C, ldc);
    }
    static constexpr double kTolerance = 1e-13;
};

template <typename Element>
std::complex<double> as_complex(const Element& e) {
    return {static_cast<double>(e.x), static_cast<double>(e.y)};
}

template <typename Element>
Element make(double re, double im) {
    Element e;
    e.x = static_cast<decltype(e.x)>(re);
    e.y = static_cast<decltype(e.y)>(im);
    return e;
}

// op(X)[row, col] for a column-major X with leading dimension ld.
template <typename Element>
std::complex<double> op_element(const std::vector<Element>& x, int ld, int row, int col, cublasOperation_t op) {
    if (op == CUBLAS_OP_N) {
        return as_complex(x[row + static_cast<size_t>(col) * ld]);
    }
    const std::complex<double> value = as_complex(x[col + static_cast<size_t>(row) * ld]);
    return op == CUBLAS_OP_C ? std::conj(value) : value;
}

const char* op_name(cublasOperation_t op) { return op == CUBLAS_OP_N ? "N" : (op == CUBLAS_OP_T ? "T" : "C"); }

struct Handle {
    Handle() { EXPECT_EQ(cublasCreate_v2(&handle), CUBLAS_STATUS_SUCCESS); }
    ~Handle() { EXPECT_EQ(cublasDestroy_v2(handle), CUBLAS_STATUS_SUCCESS); }
    cublasHandle_t handle = nullptr;
};

// C = alpha op(A) op(B) + beta C with m x k times k x n, every leading dimension
// larger than needed. The padding of A and B holds NaN (it must never be read) and
// the padding of C a sentinel (it must never be written). With beta = 0, C starts as
// NaN, which must not reach the result.
template <typename Real>
void check_gemm(cublasOperation_t transa, cublasOperation_t transb, bool beta_zero) {
    using Element = typename Gemm<Real>::Element;
    constexpr int m = 5;
    constexpr int n = 3;
    constexpr int k = 4;
    const int rows_a = transa == CUBLAS_OP_N ? m : k;
    const int cols_a = transa == CUBLAS_OP_N ? k : m;
    const int rows_b = transb == CUBLAS_OP_N ? k : n;
    const int cols_b = transb == CUBLAS_OP_N ? n : k;
    const int lda = rows_a + 2;
    const int ldb = rows_b + 3;
    const int ldc = m + 1;
    const double nan = std::numeric_limits<double>::quiet_NaN();

    std::mt19937 rng(1234 + 7 * transa + 3 * transb);
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    const auto fill = [&](std::vector<Element>& x, int rows, int ld) {
        for (size_t i = 0; i < x.size(); ++i) {
            x[i] =
                static_cast<int>(i % ld) < rows ? make<Element>(uniform(rng), uniform(rng)) : make<Element>(nan, nan);
        }
    };
    std::vector<Element> a(static_cast<size_t>(lda) * cols_a);
    std::vector<Element> b(static_cast<size_t>(ldb) * cols_b);
    std::vector<Element> c(static_cast<size_t>(ldc) * n);
    fill(a, rows_a, lda);
    fill(b, rows_b, ldb);
    for (size_t i = 0; i < c.size(); ++i) {
        const bool padding = static_cast<int>(i % ldc) >= m;
        c[i] = padding ? make<Element>(777.0, -777.0)
                       : (beta_zero ? make<Element>(nan, nan) : make<Element>(uniform(rng), uniform(rng)));
    }
    const Element alpha = make<Element>(0.75, -0.5);
    const Element beta = beta_zero ? make<Element>(0.0, 0.0) : make<Element>(-1.25, 0.5);

    std::vector<std::complex<double>> expected(static_cast<size_t>(m) * n);
    for (int col = 0; col < n; ++col) {
        for (int row = 0; row < m; ++row) {
            std::complex<double> sum = 0;
            for (int p = 0; p < k; ++p) {
                sum += op_element(a, lda, row, p, transa) * op_element(b, ldb, p, col, transb);
            }
            std::complex<double> value = as_complex(alpha) * sum;
            if (!beta_zero) {
                value += as_complex(beta) * as_complex(c[row + static_cast<size_t>(col) * ldc]);
            }
            expected[row + static_cast<size_t>(col) * m] = value;
        }
    }

    DeviceBuffer<Element> da(a.size());
    DeviceBuffer<Element> db(b.size());
    DeviceBuffer<Element> dc(c.size());
    da.upload(a);
    db.upload(b);
    dc.upload(c);
    Handle h;
    ASSERT_EQ(
        Gemm<Real>::call(h.handle, transa, transb, m, n, k, &alpha, da.get(), lda, db.get(), ldb, &beta, dc.get(), ldc),
        CUBLAS_STATUS_SUCCESS);
    const std::vector<Element> result = dc.download();
    for (int col = 0; col < n; ++col) {
        for (int row = 0; row < ldc; ++row) {
            const std::complex<double> got = as_complex(result[row + static_cast<size_t>(col) * ldc]);
            if (row >= m) {
                EXPECT_EQ(got, std::complex<double>(777.0, -777.0)) << "padding of C written at " << row << "," << col;
                continue;
            }
            const std::complex<double> want = expected[row + static_cast<size_t>(col) * m];
            EXPECT_LE(std::abs(got - want), Gemm<Real>::kTolerance * (1 + std::abs(want)))
                << "C[" << row << "," << col << "] = " << got << ", expected " << want;
        }
    }
}

using GemmCase = std::tuple<cublasOperation_t, cublasOperation_t, bool>;

std::string gemm_case_name(const ::testing::TestParamInfo<GemmCase>& info) {
    return std::string(op_name(std::get<0>(info.param))) + op_name(std::get<1>(info.param)) +
           (std::get<2>(info.param) ? "_BetaZero" : "_BetaNonZero");
}

class HostStandInCgemm : public StandInTest, public ::testing::WithParamInterface<GemmCase> {};
class HostStandInZgemm : public StandInTest, public ::testing::WithParamInterface<GemmCase> {};

TEST_P(HostStandInCgemm, MatchesNaiveReference) {
    check_gemm<float>(std::get<0>(GetParam()), std::get<1>(GetParam()), std::get<2>(GetParam()));
}

TEST_P(HostStandInZgemm, MatchesNaiveReference) {
    check_gemm<double>(std::get<0>(GetParam()), std::get<1>(GetParam()), std::get<2>(GetParam()));
}

const auto kAllOps = ::testing::Values(CUBLAS_OP_N, CUBLAS_OP_T, CUBLAS_OP_C);
INSTANTIATE_TEST_SUITE_P(Ops, HostStandInCgemm, ::testing::Combine(kAllOps, kAllOps, ::testing::Bool()),
                         gemm_case_name);
INSTANTIATE_TEST_SUITE_P(Ops, HostStandInZgemm, ::testing::Combine(kAllOps, kAllOps, ::testing::Bool()),
                         gemm_case_name);

template <typename Real>
class HostStandInGemmStatus : public StandInTest {};

using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(HostStandInGemmStatus, Precisions);

TYPED_TEST(HostStandInGemmStatus, InvalidArgumentsAreRejectedWithoutTouchingC) {
    using Element = typename Gemm<TypeParam>::Element;
    constexpr int m = 5;
    constexpr int n = 3;
    constexpr int k = 4;
    DeviceBuffer<Element> a(64);
    DeviceBuffer<Element> b(64);
    DeviceBuffer<Element> c(64);
    a.upload(std::vector<Element>(64, make<Element>(1.0, 0.0)));
    b.upload(std::vector<Element>(64, make<Element>(1.0, 0.0)));
    const std::vector<Element> c_before(64, make<Element>(3.0, -3.0));
    c.upload(c_before);
    const Element one = make<Element>(1.0, 0.0);
    Handle h;
    const auto call = [&](cublasHandle_t handle, cublasOperation_t ta, cublasOperation_t tb, int mm, int nn, int kk,
                          int lda, int ldb, int ldc) {
        return Gemm<TypeParam>::call(handle, ta, tb, mm, nn, kk, &one, a.get(), lda, b.get(), ldb, &one, c.get(), ldc);
    };
    const auto bad_op = static_cast<cublasOperation_t>(7);

    EXPECT_EQ(call(nullptr, CUBLAS_OP_N, CUBLAS_OP_N, m, n, k, m, k, m), CUBLAS_STATUS_NOT_INITIALIZED);
    EXPECT_EQ(call(h.handle, CUBLAS_OP_N, CUBLAS_OP_N, -1, n, k, m, k, m), CUBLAS_STATUS_INVALID_VALUE);
    EXPECT_EQ(call(h.handle, CUBLAS_OP_N, CUBLAS_OP_N, m, -1, k, m, k, m), CUBLAS_STATUS_INVALID_VALUE);
    EXPECT_EQ(call(h.handle, CUBLAS_OP_N, CUBLAS_OP_N, m, n, -1, m, k, m), CUBLAS_STATUS_INVALID_VALUE);
    EXPECT_EQ(call(h.handle, bad_op, CUBLAS_OP_N, m, n, k, m, k, m), CUBLAS_STATUS_INVALID_VALUE);
    EXPECT_EQ(call(h.handle, CUBLAS_OP_N, bad_op, m, n, k, m, k, m), CUBLAS_STATUS_INVALID_VALUE);
    // lda must hold the rows of A as stored: m for op N, k for op T and C.
    EXPECT_EQ(call(h.handle, CUBLAS_OP_N, CUBLAS_OP_N, m, n, k, m - 1, k, m), CUBLAS_STATUS_INVALID_VALUE);
    EXPECT_EQ(call(h.handle, CUBLAS_OP_T, CUBLAS_OP_N, m, n, k, k - 1, k, m), CUBLAS_STATUS_INVALID_VALUE);
    EXPECT_EQ(call(h.handle, CUBLAS_OP_C, CUBLAS_OP_N, m, n, k, k - 1, k, m), CUBLAS_STATUS_INVALID_VALUE);
    // ldb: k for op N, n for op T and C.
    EXPECT_EQ(call(h.handle, CUBLAS_OP_N, CUBLAS_OP_N, m, n, k, m, k - 1, m), CUBLAS_STATUS_INVALID_VALUE);
    EXPECT_EQ(call(h.handle, CUBLAS_OP_N, CUBLAS_OP_T, m, n, k, m, n - 1, m), CUBLAS_STATUS_INVALID_VALUE);
    EXPECT_EQ(call(h.handle, CUBLAS_OP_N, CUBLAS_OP_C, m, n, k, m, n - 1, m), CUBLAS_STATUS_INVALID_VALUE);
    EXPECT_EQ(call(h.handle, CUBLAS_OP_N, CUBLAS_OP_N, m, n, k, m, k, m - 1), CUBLAS_STATUS_INVALID_VALUE);
    // Leading dimensions are at least 1 even for empty matrices.
    EXPECT_EQ(call(h.handle, CUBLAS_OP_N, CUBLAS_OP_N, 0, n, k, 0, k, 1), CUBLAS_STATUS_INVALID_VALUE);
    const std::vector<Element> c_after = c.download();
    for (size_t i = 0; i < c_after.size(); ++i) {
        ASSERT_EQ(as_complex(c_after[i]), as_complex(c_before[i])) << "a rejected call wrote C at " << i;
    }

    // The smallest legal leading dimensions: op T/C reads A as k x m, B as n x k.
    EXPECT_EQ(call(h.handle, CUBLAS_OP_T, CUBLAS_OP_C, m, n, k, k, n, m), CUBLAS_STATUS_SUCCESS);
    // An empty product is a successful no-op; k = 0 leaves beta C.
    c.upload(c_before);
    EXPECT_EQ(call(h.handle, CUBLAS_OP_N, CUBLAS_OP_N, 0, n, k, 1, k, 1), CUBLAS_STATUS_SUCCESS);
    EXPECT_EQ(call(h.handle, CUBLAS_OP_N, CUBLAS_OP_N, m, 0, k, m, k, m), CUBLAS_STATUS_SUCCESS);
    const Element half = make<Element>(0.5, 0.0);
    EXPECT_EQ(Gemm<TypeParam>::call(h.handle, CUBLAS_OP_N, CUBLAS_OP_N, m, n, 0, &one, a.get(), m, b.get(), 1, &half,
                                    c.get(), m),
              CUBLAS_STATUS_SUCCESS);
    const std::vector<Element> scaled = c.download();
    for (size_t i = 0; i < scaled.size(); ++i) {
        const std::complex<double> expected =
            i < static_cast<size_t>(m) * n ? std::complex<double>(1.5, -1.5) : std::complex<double>(3.0, -3.0);
        ASSERT_EQ(as_complex(scaled[i]), expected) << "element " << i;
    }
}

TYPED_TEST(HostStandInGemmStatus, DevicePointerModeReadsScalarsFromDeviceMemory) {
    using Element = typename Gemm<TypeParam>::Element;
    Handle h;
    cublasPointerMode_t mode = CUBLAS_POINTER_MODE_DEVICE;
    ASSERT_EQ(cublasGetPointerMode_v2(h.handle, &mode), CUBLAS_STATUS_SUCCESS);
    EXPECT_EQ(mode, CUBLAS_POINTER_MODE_HOST) << "host pointer mode is the default";
    ASSERT_EQ(cublasSetPointerMode_v2(h.handle, CUBLAS_POINTER_MODE_DEVICE), CUBLAS_STATUS_SUCCESS);
    ASSERT_EQ(cublasGetPointerMode_v2(h.handle, &mode), CUBLAS_STATUS_SUCCESS);
    EXPECT_EQ(mode, CUBLAS_POINTER_MODE_DEVICE);

    // 2x2 times 2x1 with alpha = i and beta = 2 kept in device memory.
    DeviceBuffer<Element> scalars(2);
    scalars.upload({make<Element>(0.0, 1.0), make<Element>(2.0, 0.0)});
    DeviceBuffer<Element> a(4);
    DeviceBuffer<Element> x(2);
    DeviceBuffer<Element> y(2);
    a.upload({make<Element>(1, 0), make<Element>(3, 0), make<Element>(2, 0), make<Element>(4, 0)});  // [[1,2],[3,4]]
    x.upload({make<Element>(1, 0), make<Element>(1, 0)});
    y.upload({make<Element>(10, 0), make<Element>(20, 0)});
    ASSERT_EQ(Gemm<TypeParam>::call(h.handle, CUBLAS_OP_N, CUBLAS_OP_N, 2, 1, 2, scalars.get(), a.get(), 2, x.get(), 2,
                                    scalars.get() + 1, y.get(), 2),
              CUBLAS_STATUS_SUCCESS);
    const std::vector<Element> result = y.download();
    EXPECT_EQ(as_complex(result[0]), std::complex<double>(20, 3));
    EXPECT_EQ(as_complex(result[1]), std::complex<double>(40, 7));

    ASSERT_EQ(cublasSetPointerMode_v2(h.handle, CUBLAS_POINTER_MODE_HOST), CUBLAS_STATUS_SUCCESS);
    ASSERT_EQ(cublasGetPointerMode_v2(h.handle, &mode), CUBLAS_STATUS_SUCCESS);
    EXPECT_EQ(mode, CUBLAS_POINTER_MODE_HOST);
}

class HostStandInCublasHandle : public StandInTest {};

TEST_F(HostStandInCublasHandle, NullAndInvalidArgumentsHaveCublasStatusCodes) {
    EXPECT_EQ(cublasCreate_v2(nullptr), CUBLAS_STATUS_INVALID_VALUE);
    EXPECT_EQ(cublasDestroy_v2(nullptr), CUBLAS_STATUS_NOT_INITIALIZED);
    EXPECT_EQ(cublasSetStream_v2(nullptr, nullptr), CUBLAS_STATUS_NOT_INITIALIZED);
    EXPECT_EQ(cublasSetPointerMode_v2(nullptr, CUBLAS_POINTER_MODE_HOST), CUBLAS_STATUS_NOT_INITIALIZED);
    cublasPointerMode_t mode = CUBLAS_POINTER_MODE_HOST;
    EXPECT_EQ(cublasGetPointerMode_v2(nullptr, &mode), CUBLAS_STATUS_NOT_INITIALIZED);

    Handle h;
    EXPECT_EQ(cublasSetStream_v2(h.handle, nullptr), CUBLAS_STATUS_SUCCESS);
    EXPECT_EQ(cublasGetPointerMode_v2(h.handle, nullptr), CUBLAS_STATUS_INVALID_VALUE);
    EXPECT_EQ(cublasSetPointerMode_v2(h.handle, static_cast<cublasPointerMode_t>(5)), CUBLAS_STATUS_INVALID_VALUE);
    ASSERT_EQ(cublasGetPointerMode_v2(h.handle, &mode), CUBLAS_STATUS_SUCCESS);
    EXPECT_EQ(mode, CUBLAS_POINTER_MODE_HOST) << "a refused mode was applied";
    // The stand-in is not a CUDA runtime call: it leaves the runtime's last error alone.
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

}  // namespace
