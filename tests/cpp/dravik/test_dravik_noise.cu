// dravik's noise launchers below the Python surface: the channel factors against the
// Kraus sums they stand for, and the launchers' own refusals of what the kernels cannot take.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <complex>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "kernels/dravik_kraus.cuh"
#include "kernels/dravik_kraus_kernels.cuh"
#include "kernels/dravik_unitary_channel.cuh"
#include "runner/density_operation.hpp"
#include "runner/run_density.hpp"
#include "state/dravik_device_state.cuh"

namespace {

using quorra::dravik::CuComplex;
using quorra::dravik::DeviceTargets;
using Matrix2 = std::array<std::complex<double>, 4>;  // row-major

Matrix2 product(const Matrix2& a, const Matrix2& b) {
    return {a[0] * b[0] + a[1] * b[2], a[0] * b[1] + a[1] * b[3], a[2] * b[0] + a[3] * b[2], a[2] * b[1] + a[3] * b[3]};
}
Matrix2 dagger(const Matrix2& a) { return {std::conj(a[0]), std::conj(a[2]), std::conj(a[1]), std::conj(a[3])}; }

// The textbook Kraus matrices of each channel, written out independently of the factors.
std::vector<Matrix2> textbook_kraus(int32_t kind, double p) {
    const std::complex<double> i{0.0, 1.0};
    const double s0 = std::sqrt(1 - p);
    const double s1 = std::sqrt(p);
    switch (kind) {
        case quorra::dravik::kChannelBitFlip:
            return {{s0, 0, 0, s0}, {0, s1, s1, 0}};
        case quorra::dravik::kChannelPhaseFlip:
            return {{s0, 0, 0, s0}, {s1, 0, 0, -s1}};
        case quorra::dravik::kChannelDepolarizing: {
            const double a = std::sqrt(1 - 3 * p / 4);
            const double b = std::sqrt(p / 4);
            return {{a, 0, 0, a}, {0, b, b, 0}, {0, -i * b, i * b, 0}, {b, 0, 0, -b}};
        }
        case quorra::dravik::kChannelAmplitudeDamping:
            return {{1, 0, 0, s0}, {0, s1, 0, 0}};
        default:
            return {{s0, 0, 0, s0}, {s1, 0, 0, 0}, {0, 0, 0, s1}};
    }
}

TEST(DravikChannelFactors, EqualTheKrausSumOfEveryChannel) {
    using C = std::complex<double>;
    const Matrix2 block = {C{0.4, 0.0}, C{0.1, -0.3}, C{0.1, 0.3}, C{0.6, 0.0}};
    for (int32_t kind = 1; kind <= 5; ++kind) {
        for (const double p : {0.0, 0.2, 0.7, 1.0}) {
            Matrix2 expected{};
            for (const Matrix2& k : textbook_kraus(kind, p)) {
                const Matrix2 term = product(product(k, block), dagger(k));
                for (int e = 0; e < 4; ++e) {
                    expected[e] += term[e];
                }
            }
            CuComplex<double> v[4];
            for (int e = 0; e < 4; ++e) {
                v[e] = {block[e].real(), block[e].imag()};
            }
            quorra::dravik::channel_block(quorra::dravik::channel_factors<double>(kind, p), v[0], v[1], v[2], v[3]);
            for (int e = 0; e < 4; ++e) {
                EXPECT_NEAR(v[e].re, expected[e].real(), 1e-15) << "kind " << kind << " p " << p << " element " << e;
                EXPECT_NEAR(v[e].im, expected[e].imag(), 1e-15) << "kind " << kind << " p " << p << " element " << e;
            }
        }
    }
}

class NoiseLauncherTest : public ::testing::Test {
protected:
    static constexpr uint64_t kQubits = 3;

    void SetUp() override {
        state_ = quorra::dravik::create_density_state(kQubits, true, 0);
        state_->reset_to_zero_state();
        matrix_.emplace(0, 64 * 4 * sizeof(CuComplex<double>));  // never read: every launch is refused
    }

    void expect_unchanged() const {
        std::vector<CuComplex<double>> now(static_cast<size_t>(state_->element_count()));
        state_->download_density(now.data(), state_->element_count());
        for (size_t i = 0; i < now.size(); ++i) {
            ASSERT_EQ(now[i].re, i == 0 ? 1.0 : 0.0) << i;
            ASSERT_EQ(now[i].im, 0.0) << i;
        }
        EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    }

    template <typename Call>
    static void expect_message(Call&& call, const std::string& message) {
        try {
            call();
            FAIL() << "expected: " << message;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), message);
        }
    }

    CuComplex<double>* data() const { return state_->elements<double>(); }
    const CuComplex<double>* matrix() const { return matrix_->as<CuComplex<double>>(); }
    int64_t dimension() const { return state_->dimension(); }

    std::shared_ptr<quorra::dravik::DeviceDensityState> state_;
    std::optional<quorra::dravik::DeviceBuffer> matrix_;
};

TEST_F(NoiseLauncherTest, ChannelRefusesUnknownKindsBeforeAnythingElse) {
    for (const int32_t kind : {0, 6, -1}) {
        expect_message([&] { quorra::dravik::launch_channel<double>(data(), 6, 0b11, kind, 0.5, cudaStream_t{}); },
                       "unknown noise channel kind");
        const DeviceTargets t = quorra::dravik::make_device_targets({1}, kQubits);
        expect_message(
            [&] {
                quorra::dravik::launch_unitary_channel<double>(data(), dimension(), t, matrix(), kind, 0.5,
                                                               cudaStream_t{});
            },
            "unknown noise channel kind");
    }
    expect_unchanged();
}

TEST_F(NoiseLauncherTest, ChannelRefusesTargetsOutsideTheMatrix) {
    const cudaStream_t s{};
    for (const uint64_t mask : {uint64_t{0}, uint64_t{0b1000}, uint64_t{0b011}}) {
        EXPECT_THROW(quorra::dravik::launch_channel<double>(data(), dimension(), mask, 1, 0.5, s),
                     std::invalid_argument)
            << mask;
    }
    EXPECT_THROW(quorra::dravik::launch_channel<double>(data(), 12, 0b1, 1, 0.5, s), std::invalid_argument);
    DeviceTargets t = quorra::dravik::make_device_targets({1}, kQubits);
    t.targets[0] = 3;
    EXPECT_THROW(quorra::dravik::launch_unitary_channel<double>(data(), dimension(), t, matrix(), 1, 0.5, s),
                 std::invalid_argument);
    t = quorra::dravik::make_device_targets({1, 2}, kQubits);
    EXPECT_THROW(quorra::dravik::launch_unitary_channel<double>(data(), dimension(), t, matrix(), 1, 0.5, s),
                 std::invalid_argument);
    t = quorra::dravik::make_device_targets({1}, kQubits);
    t.rest_count = 1;  // claims a 2-qubit register
    EXPECT_THROW(quorra::dravik::launch_unitary_channel<double>(data(), dimension(), t, matrix(), 1, 0.5, s),
                 std::invalid_argument);
    EXPECT_THROW(quorra::dravik::launch_unitary_channel<double>(data(), dimension(), t, nullptr, 1, 0.5, s),
                 std::invalid_argument);
    expect_unchanged();
}

TEST_F(NoiseLauncherTest, KrausRefusesWidthsCountsAndTargetsTheKernelCannotTake) {
    const cudaStream_t s{};
    DeviceTargets t = quorra::dravik::make_device_targets({0, 1, 2}, kQubits);
    for (const int64_t count : {int64_t{0}, int64_t{4}, int64_t{6}}) {
        t.count = count;
        expect_message([&] { quorra::dravik::launch_kraus<double>(data(), dimension(), t, 1, matrix(), s); },
                       "GPU density Kraus supports at most 3 targets");
    }
    t = quorra::dravik::make_device_targets({2, 0}, kQubits);
    EXPECT_THROW(quorra::dravik::launch_kraus<double>(data(), dimension(), t, 0, matrix(), s), std::invalid_argument);
    EXPECT_THROW(quorra::dravik::launch_kraus<double>(data(), dimension(), t, 1, nullptr, s), std::invalid_argument);
    t.targets[1] = 2;  // repeated
    EXPECT_THROW(quorra::dravik::launch_kraus<double>(data(), dimension(), t, 1, matrix(), s), std::invalid_argument);
    t = quorra::dravik::make_device_targets({2, 0}, kQubits);
    t.targets[0] = 5;
    EXPECT_THROW(quorra::dravik::launch_kraus<double>(data(), dimension(), t, 1, matrix(), s), std::invalid_argument);
    expect_unchanged();
}

// Every noise path end to end on a small register, fused and not: H then amplitude damping
// on qubit 0 (a unitary-plus-channel pair when fused), a one-matrix Kraus map on three
// targets that flips qubit 1, and a certain bit flip on qubit 4.
TEST(DravikNoiseRuns, ChannelsPairsAndKrausMapsGiveTheHandComputedMatrix) {
    constexpr double p = 0.36;
    using quorra::density::DensityOperation;
    using quorra::density::DensityOperationKind;
    DensityOperation h;
    quorra::density::set_operation_name(h, "h");
    h.targets = {0};
    const auto channel = [](const char* name, int64_t target, double k1_01) {
        DensityOperation op;
        op.kind = DensityOperationKind::Kraus;
        quorra::density::set_channel_name(op, name);
        op.targets = {target};
        op.kraus_dimension = 2;
        op.kraus_count = 2;
        op.kraus_matrices.assign(8, 0.0);
        op.kraus_matrices[5] = k1_01;
        return op;
    };
    DensityOperation flip;
    flip.kind = DensityOperationKind::Kraus;
    flip.targets = {1, 2, 3};
    flip.kraus_dimension = 8;
    flip.kraus_count = 1;
    flip.kraus_matrices.assign(64, 0.0);
    for (int j = 0; j < 8; ++j) {
        flip.kraus_matrices[static_cast<size_t>((j ^ 1) * 8 + j)] = 1.0;  // local bit 0 = qubit 1
    }
    const std::vector<DensityOperation> ops = {h, channel("amplitude_damping", 0, std::sqrt(p)), flip,
                                               channel("bit_flip", 4, 1.0)};
    for (const char* fusion : {"1", "0"}) {
        setenv("QUORRA_DENSITY_FUSION", fusion, 1);
        for (const bool is_double : {true, false}) {
            const auto state = quorra::dravik::create_density_state(5, is_double, 0);
            state->reset_to_zero_state();
            quorra::density::run_density_operations(*state, 5, ops);
            std::vector<std::complex<double>> rho(1024);
            if (is_double) {
                state->download_density(rho.data(), 1024);
            } else {
                std::vector<std::complex<float>> single(1024);
                state->download_density(single.data(), 1024);
                std::copy(single.begin(), single.end(), rho.begin());
            }
            std::vector<std::complex<double>> expected(1024, 0.0);
            const size_t base = 0b10010;  // qubits 1 and 4 set
            expected[base * 32 + base] = 0.5 + 0.5 * p;
            expected[base * 32 + base + 1] = expected[(base + 1) * 32 + base] = 0.5 * std::sqrt(1 - p);
            expected[(base + 1) * 32 + base + 1] = 0.5 * (1 - p);
            const double tolerance = is_double ? 1e-15 : 1e-7;
            for (size_t e = 0; e < rho.size(); ++e) {
                ASSERT_NEAR(std::abs(rho[e] - expected[e]), 0.0, tolerance) << "element " << e << " fusion " << fusion;
            }
        }
    }
    unsetenv("QUORRA_DENSITY_FUSION");
}

}  // namespace
