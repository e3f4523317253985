// The dense product's index paths on a 37-qubit state without its memory: the state is
// reserved as untouched address space, and single chunks whose column numbers pass 2^31 and
// 2^33 are gathered, multiplied by cuBLAS and scattered back. Active, column and control bits
// sit on both sides of bit 31, so a column number or index held in 32 bits moves the wrong
// amplitudes. Also the chunk sizing: defaults, the override and the INT_MAX bound of a GEMM.
#include <gtest/gtest.h>

#include <climits>
#include <complex>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "../large_index_tiles.h"
#include "fusion/velqa_densemm.cuh"
#include "hostcuda_block_select.h"
#include "state/velqa_device_state.cuh"

namespace {

using large_index::cd;
using large_index::deposit;
using velqa::CuComplex;

constexpr int64_t kQubits = 37;

template <typename T>
double tolerance() {
    return sizeof(T) == sizeof(float) ? 1e-5 : 1e-12;
}

template <typename T>
class DenseChunkLargeIndex : public ::testing::Test {};

using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(DenseChunkLargeIndex, Precisions);

TYPED_TEST(DenseChunkLargeIndex, ChunksPastTwoToTheThirtyOneColumns) {
    using T = TypeParam;
    hostcuda::SparseReservation memory((uint64_t{1} << kQubits) * sizeof(CuComplex<T>));
    ASSERT_TRUE(memory.valid()) << "the system refused to reserve the state's address space";
    auto* state = static_cast<CuComplex<T>*>(memory.data());

    // Active qubits 3, 33 and 36 (k = 3); a control on qubit 34 for the UNITARY-like layout.
    const uint64_t active = (uint64_t{1} << 3) | (uint64_t{1} << 33) | (uint64_t{1} << 36);
    const uint64_t all = (uint64_t{1} << kQubits) - 1;
    const uint64_t control = uint64_t{1} << 34;
    struct Layout {
        const char* name;
        velqa::fusion::DenseLayout layout;
    };
    const std::vector<Layout> layouts = {
        {"fused group", {active, all & ~active, 0, 3}},
        {"controlled UNITARY", {active, all & ~active & ~control, control, 3}},
    };
    constexpr int kDim = 8;
    std::mt19937_64 rng(31);
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    std::vector<cd> matrix(kDim * kDim);
    for (cd& m : matrix) {
        m = cd(uniform(rng), uniform(rng));
    }
    std::vector<CuComplex<T>> device_matrix(matrix.size());
    for (size_t e = 0; e < matrix.size(); ++e) {
        device_matrix[e] = CuComplex<T>{static_cast<T>(matrix[e].real()), static_cast<T>(matrix[e].imag())};
    }
    constexpr uint64_t kColumns = 3;
    quorra::DeviceBuffer matrix_buffer;
    quorra::DeviceBuffer gathered;
    quorra::DeviceBuffer product;
    ASSERT_EQ(matrix_buffer.allocate(0, matrix.size() * sizeof(CuComplex<T>)), cudaSuccess);
    ASSERT_EQ(gathered.allocate(0, kColumns * kDim * sizeof(CuComplex<T>)), cudaSuccess);
    ASSERT_EQ(product.allocate(0, kColumns * kDim * sizeof(CuComplex<T>)), cudaSuccess);
    ASSERT_EQ(cudaMemcpy(matrix_buffer.as<void>(), device_matrix.data(), matrix.size() * sizeof(CuComplex<T>),
                         cudaMemcpyHostToDevice),
              cudaSuccess);
    cublasHandle_t handle = nullptr;
    ASSERT_EQ(cublasCreate_v2(&handle), CUBLAS_STATUS_SUCCESS);
    ASSERT_EQ(cublasSetStream_v2(handle, cudaStream_t{}), CUBLAS_STATUS_SUCCESS);

    for (const Layout& l : layouts) {
        for (const uint64_t first : {(uint64_t{1} << 31) - 1, (uint64_t{1} << 33) + 7}) {
            SCOPED_TRACE(std::string(l.name) + " first column " + std::to_string(first));
            const auto index = [&](uint64_t column, uint64_t local) {
                return deposit(local, l.layout.active_mask) | deposit(column, l.layout.column_mask) |
                       l.layout.fixed_value;
            };
            // The chunk's columns and the neighbours on both sides, which must stay.
            std::vector<std::vector<cd>> before;
            for (uint64_t column = first - 1; column <= first + kColumns; ++column) {
                std::vector<cd> group(kDim);
                for (uint64_t local = 0; local < kDim; ++local) {
                    group[local] = cd(uniform(rng), uniform(rng));
                    state[index(column, local)] =
                        CuComplex<T>{static_cast<T>(group[local].real()), static_cast<T>(group[local].imag())};
                    group[local] = cd(state[index(column, local)].re, state[index(column, local)].im);
                }
                before.push_back(group);
            }
            velqa::fusion::launch_dense_chunk<T>(handle, state, l.layout, first, kColumns, gathered.as<CuComplex<T>>(),
                                                 product.as<CuComplex<T>>(), matrix_buffer.as<const CuComplex<T>>(),
                                                 cudaStream_t{});
            ASSERT_EQ(cudaGetLastError(), cudaSuccess);
            ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
            for (uint64_t c = 0; c < before.size(); ++c) {
                const uint64_t column = first - 1 + c;
                const bool inside = column >= first && column < first + kColumns;
                for (uint64_t r = 0; r < kDim; ++r) {
                    cd want = before[c][r];
                    if (inside) {
                        want = 0;
                        for (uint64_t s = 0; s < kDim; ++s) {
                            want += matrix[r * kDim + s] * before[c][s];
                        }
                    }
                    const CuComplex<T> got = state[index(column, r)];
                    EXPECT_NEAR(got.re, want.real(), 8 * tolerance<T>()) << "column " << column << " row " << r;
                    EXPECT_NEAR(got.im, want.imag(), 8 * tolerance<T>()) << "column " << column << " row " << r;
                }
            }
        }
    }
    ASSERT_EQ(cublasDestroy_v2(handle), CUBLAS_STATUS_SUCCESS);
}

// Sets or clears the chunk override for one scope.
class ChunkOverride {
public:
    explicit ChunkOverride(const char* value) {
        if (value != nullptr) {
            setenv(velqa::fusion::kDenseChunkBytesVariable, value, 1);
        } else {
            unsetenv(velqa::fusion::kDenseChunkBytesVariable);
        }
    }
    ~ChunkOverride() { unsetenv(velqa::fusion::kDenseChunkBytesVariable); }
    ChunkOverride(const ChunkOverride&) = delete;
    ChunkOverride& operator=(const ChunkOverride&) = delete;
};

TEST(DenseChunkColumns, DefaultsOverrideAndTheGemmBound) {
    using velqa::fusion::dense_chunk_columns;
    {
        const ChunkOverride none(nullptr);
        // n = 20, complex128: 1/16 of 16 MiB is 512 KiB a buffer, raised to 2^16 amplitudes.
        EXPECT_EQ(dense_chunk_columns(20, 7, 16), (uint64_t{1} << 16) >> 7);
        // complex64: 1/16 of 8 GiB is 256 MiB a buffer; from 16 GiB on, 1 GiB caps it.
        EXPECT_EQ(dense_chunk_columns(30, 7, 8), uint64_t{1} << 18);
        EXPECT_EQ(dense_chunk_columns(31, 7, 8), uint64_t{1} << 19);
        EXPECT_EQ(dense_chunk_columns(34, 7, 8), uint64_t{1} << 19);
        EXPECT_EQ(dense_chunk_columns(40, 1, 8), uint64_t{1} << 25);
        // 2^(62-1) columns do not fit one GEMM; the chunk is far below INT_MAX.
        EXPECT_EQ(dense_chunk_columns(62, 1, 16), uint64_t{1} << 24);
        // Small states: never more columns than the state has.
        EXPECT_EQ(dense_chunk_columns(3, 2, 16), 2u);
        EXPECT_EQ(dense_chunk_columns(8, 7, 8), 2u);
        EXPECT_EQ(dense_chunk_columns(6, 6, 8), 1u);
    }
    {
        const ChunkOverride three_columns("384");  // 2 buffers x 3 columns x 4 x 16 bytes
        EXPECT_EQ(dense_chunk_columns(20, 2, 16), 3u);
        EXPECT_EQ(dense_chunk_columns(20, 7, 16), 1u) << "at least one column";
    }
    {
        const ChunkOverride huge("4611686018427387904");  // 2^62 bytes
        EXPECT_EQ(dense_chunk_columns(62, 1, 8), static_cast<uint64_t>(INT_MAX));
        EXPECT_EQ(dense_chunk_columns(20, 1, 8), uint64_t{1} << 19);
    }
    for (const char* bad : {"", "0", "-64", "12x", "abc"}) {
        const ChunkOverride ignored(bad);
        EXPECT_EQ(dense_chunk_columns(20, 7, 16), (uint64_t{1} << 16) >> 7) << "'" << bad << "'";
    }
}

TEST(DenseChunkColumns, LauncherRefusesChunksOutsideOneGemm) {
    auto state = std::make_shared<velqa::DeviceState>(3, velqa::Precision::Complex128, 0);
    state->fill_zero_state();
    for (const uint64_t columns : {uint64_t{0}, uint64_t{INT_MAX} + 1}) {
        try {
            velqa::fusion::launch_densemm<double>(nullptr, 3, state->amplitudes<double>(), nullptr, nullptr, columns,
                                                  0b011, 2, nullptr, cudaStream_t{});
            ADD_FAILURE() << "no error for " << columns << " columns";
        } catch (const std::invalid_argument& error) {
            EXPECT_STREQ(error.what(), "DenseMM chunk must hold 1 to INT_MAX columns");
        }
    }
    // The qubit-count check comes first.
    try {
        velqa::fusion::launch_densemm<double>(nullptr, 3, state->amplitudes<double>(), nullptr, nullptr, 0, 0b111, 3,
                                              nullptr, cudaStream_t{});
        ADD_FAILURE() << "no error";
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), "DenseMM active qubits must be in [1, n-1]");
    }
}

}  // namespace
