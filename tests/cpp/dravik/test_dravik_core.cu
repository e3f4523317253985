// dravik below the Python surface: index arithmetic, the launchers' own refusal of
// records the kernels cannot take, operation records the Python tests cannot reach, and
// the device buffers of a call on every exit path.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "kernels/dravik_measure.cuh"
#include "kernels/dravik_unitary.cuh"
#include "kernels/dravik_unitary_kernels.cuh"
#include "runner/density_operation.hpp"
#include "runner/run_density.hpp"
#include "state/dravik_device_state.cuh"

namespace {

using quorra::density::ChannelKind;
using quorra::density::DensityOperation;
using quorra::density::DensityOperationKind;
using quorra::dravik::CuComplex;
using quorra::dravik::DeviceDensityState;
using quorra::dravik::DeviceTargets;

TEST(DravikIndexBits, InsertZeroBitsEnumeratesGroupBasesInOrder) {
    const uint64_t mask = 0b100101;
    uint64_t g = 0;
    for (uint64_t i = 0; i < 128; ++i) {
        if ((i & mask) == 0) {
            EXPECT_EQ(quorra::insert_zero_bits(g, mask), i) << "g = " << g;
            ++g;
        }
    }
    EXPECT_EQ(g, 16u);
}

TEST(DravikDeviceTargets, TargetsInOrderAndTheRestAscending) {
    const DeviceTargets t = quorra::dravik::make_device_targets({4, 1}, 6);
    EXPECT_EQ(t.count, 2);
    EXPECT_EQ(t.rest_count, 4);
    EXPECT_EQ(t.targets[0], 4);
    EXPECT_EQ(t.targets[1], 1);
    EXPECT_EQ(t.targets[2], 0);
    const int64_t rest[] = {0, 2, 3, 5};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(t.rest[i], rest[i]);
    }
    EXPECT_EQ(t.rest[4], 0);
}

TEST(DravikDeviceTargets, RefusesListsTheKernelsCannotTake) {
    EXPECT_THROW(quorra::dravik::make_device_targets({}, 3), std::runtime_error);
    EXPECT_THROW(quorra::dravik::make_device_targets({0, 1, 2, 3, 4, 5, 6}, 8), std::runtime_error);
    EXPECT_THROW(quorra::dravik::make_device_targets({3}, 3), std::runtime_error);
    EXPECT_THROW(quorra::dravik::make_device_targets({1, 1}, 3), std::runtime_error);
    EXPECT_THROW(quorra::dravik::make_device_targets({-1}, 3), std::runtime_error);
    EXPECT_THROW(quorra::dravik::make_device_targets({0}, 16), std::invalid_argument);
}

class DensityLauncherTest : public ::testing::Test {
protected:
    static constexpr uint64_t kQubits = 3;

    void SetUp() override {
        state_ = quorra::dravik::create_density_state(kQubits, true, 0);
        initial_.resize(static_cast<size_t>(state_->element_count()));
        for (size_t i = 0; i < initial_.size(); ++i) {
            initial_[i] = CuComplex<double>{static_cast<double>(i), -0.25 * static_cast<double>(i)};
        }
        state_->upload_density(initial_.data(), state_->element_count());
        matrix_.emplace(0, 64 * 64 * sizeof(CuComplex<double>));  // never read: every launch is refused
    }
    void TearDown() override { unsetenv("QUORRA_HOSTCUDA_MEMORY_LIMIT"); }

    void expect_unchanged() const {
        std::vector<CuComplex<double>> now(initial_.size());
        state_->download_density(now.data(), state_->element_count());
        for (size_t i = 0; i < now.size(); ++i) {
            ASSERT_EQ(now[i].re, initial_[i].re) << i;
            ASSERT_EQ(now[i].im, initial_[i].im) << i;
        }
        EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    }

    CuComplex<double>* data() const { return state_->elements<double>(); }
    int64_t dimension() const { return state_->dimension(); }

    std::shared_ptr<DeviceDensityState> state_;
    std::vector<CuComplex<double>> initial_;
    std::optional<quorra::dravik::DeviceBuffer> matrix_;
};

TEST_F(DensityLauncherTest, UnitaryRefusesMoreThanSixTargets) {
    DeviceTargets seven;
    seven.count = 7;
    for (const int64_t count : {int64_t{7}, int64_t{0}}) {
        seven.count = count;
        try {
            quorra::dravik::launch_unitary<double>(data(), dimension(), seven, 0, 0, matrix_->as<CuComplex<double>>(),
                                                   cudaStream_t{});
            FAIL() << "expected a refusal";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), "GPU density unitary supports at most 6 targets");
        }
    }
    expect_unchanged();
}

TEST_F(DensityLauncherTest, UnitaryRefusesTargetsAndControlsOutsideTheMatrix) {
    const auto* matrix = matrix_->as<CuComplex<double>>();
    DeviceTargets t = quorra::dravik::make_device_targets({0}, kQubits);
    t.targets[0] = 3;  // past the 3-qubit register
    EXPECT_THROW(quorra::dravik::launch_unitary<double>(data(), dimension(), t, 0, 0, matrix, cudaStream_t{}),
                 std::invalid_argument);
    t = quorra::dravik::make_device_targets({0, 1}, kQubits);
    t.targets[1] = 0;  // repeated
    EXPECT_THROW(quorra::dravik::launch_unitary<double>(data(), dimension(), t, 0, 0, matrix, cudaStream_t{}),
                 std::invalid_argument);
    t = quorra::dravik::make_device_targets({1}, kQubits);
    EXPECT_THROW(quorra::dravik::launch_unitary<double>(data(), dimension(), t, 0b010, 0b010, matrix, cudaStream_t{}),
                 std::invalid_argument);  // control on the target
    EXPECT_THROW(quorra::dravik::launch_unitary<double>(data(), dimension(), t, 0b1000, 0, matrix, cudaStream_t{}),
                 std::invalid_argument);  // control past the register
    EXPECT_THROW(quorra::dravik::launch_unitary<double>(data(), dimension(), t, 0b001, 0b100, matrix, cudaStream_t{}),
                 std::invalid_argument);  // value outside the control mask
    EXPECT_THROW(quorra::dravik::launch_unitary<double>(data(), 6, t, 0, 0, matrix, cudaStream_t{}),
                 std::invalid_argument);  // not a power of two
    expect_unchanged();
}

TEST_F(DensityLauncherTest, DiagonalAndPermutationRefuseMasksOutsideTheMatrix) {
    const CuComplex<double> one{1.0, 0.0};
    const cudaStream_t stream{};
    EXPECT_THROW(quorra::dravik::launch_diagonal<double>(data(), dimension(), 0b1000, 0, 0, one, one, stream),
                 std::invalid_argument);
    EXPECT_THROW(quorra::dravik::launch_diagonal<double>(data(), dimension(), 0b011, 0, 0, one, one, stream),
                 std::invalid_argument);
    EXPECT_THROW(quorra::dravik::launch_diagonal<double>(data(), dimension(), 0, 0, 0, one, one, stream),
                 std::invalid_argument);
    EXPECT_THROW(quorra::dravik::launch_diagonal<double>(data(), dimension(), 0b01, 0b01, 0, one, one, stream),
                 std::invalid_argument);
    EXPECT_THROW(quorra::dravik::launch_permutation<double>(data(), dimension(), 0b001, 0, 0, true, stream),
                 std::invalid_argument);  // a swap needs two bits
    EXPECT_THROW(quorra::dravik::launch_permutation<double>(data(), dimension(), 0b011, 0, 0, false, stream),
                 std::invalid_argument);  // an X flips one
    EXPECT_THROW(quorra::dravik::launch_permutation<double>(data(), dimension(), 0b1001, 0, 0, true, stream),
                 std::invalid_argument);
    EXPECT_THROW(quorra::dravik::launch_permutation<double>(data(), dimension(), 0b001, 0b1000, 0b1000, false, stream),
                 std::invalid_argument);
    expect_unchanged();
}

TEST(DensityNamedMatrices, SinglePrecisionRunsComputeInFloat) {
    DensityOperation op;
    quorra::density::set_operation_name(op, "h");
    op.targets = {0};
    const auto h = quorra::density::named_operation_matrix(op, false);
    EXPECT_EQ(h[0].real(), static_cast<double>(static_cast<float>(0.70710678118654752440)));
    EXPECT_EQ(h[3].real(), -h[0].real());
    quorra::density::set_operation_name(op, "crx");
    op.parameters = {0.3};
    const auto rx32 = quorra::density::named_operation_matrix(op, false);
    EXPECT_EQ(rx32[0].real(), static_cast<double>(std::cos(0.3F / 2.0F)));
    EXPECT_EQ(rx32[1].imag(), -static_cast<double>(std::sin(0.3F / 2.0F)));
    const auto rx64 = quorra::density::named_operation_matrix(op, true);
    EXPECT_EQ(rx64[0].real(), std::cos(0.15));
    EXPECT_NE(rx32[0].real(), rx64[0].real());
}

DensityOperation kraus_record(const std::string& name, int64_t count, double k1_01, double k1_00) {
    DensityOperation op;
    op.kind = DensityOperationKind::Kraus;
    quorra::density::set_channel_name(op, name);
    op.targets = {1};
    op.kraus_dimension = 2;
    op.kraus_count = count;
    op.kraus_matrices.assign(static_cast<size_t>(4 * count), 0.0);
    op.kraus_matrices[4] = k1_00;
    op.kraus_matrices[5] = std::complex<double>(k1_01, 0.7);  // only the real part is read
    return op;
}

TEST(DensityChannels, TheNameCountAndShapeDecide) {
    struct Case {
        const char* name;
        int64_t count;
        ChannelKind kind;
        double parameter;
    };
    const Case cases[] = {
        {"bit_flip", 2, ChannelKind::BitFlip, 0.25 * 0.25},
        {"phase_flip", 2, ChannelKind::PhaseFlip, 0.5 * 0.5},
        {"depolarizing", 4, ChannelKind::Depolarizing, 0.25},
        {"amplitude_damping", 2, ChannelKind::AmplitudeDamping, 0.25 * 0.25},
        {"phase_damping", 3, ChannelKind::PhaseDamping, 0.5 * 0.5},
    };
    for (const Case& c : cases) {
        const auto channel = quorra::density::classify_channel(kraus_record(c.name, c.count, 0.25, 0.5));
        ASSERT_TRUE(channel.has_value()) << c.name;
        EXPECT_EQ(channel->kind, c.kind) << c.name;
        EXPECT_DOUBLE_EQ(channel->parameter, c.parameter) << c.name;
    }
    EXPECT_FALSE(quorra::density::classify_channel(kraus_record("bit_flip", 3, 0.5, 0.0)));
    EXPECT_FALSE(quorra::density::classify_channel(kraus_record("Bit_flip", 2, 0.5, 0.0)));
    EXPECT_FALSE(quorra::density::classify_channel(kraus_record("", 2, 0.5, 0.0)));
    DensityOperation two_targets = kraus_record("bit_flip", 2, 0.5, 0.0);
    two_targets.targets = {0, 1};
    EXPECT_FALSE(quorra::density::classify_channel(two_targets));
}

TEST(DensityPreparation, KrausMapsAndDenseUnitariesAppendToOnePool) {
    std::vector<CuComplex<float>> pool;
    DensityOperation general = kraus_record("bit_flip", 3, 0.5, 0.0);
    const auto first = quorra::density::prepare_density_operation<float>(general, 3, pool);
    EXPECT_EQ(first.pass, quorra::density::DensityPass::Kraus);
    EXPECT_EQ(first.kind, DensityOperationKind::Kraus);
    EXPECT_EQ(first.kraus_count, 3);
    EXPECT_EQ(first.matrix_offset, 0);
    EXPECT_EQ(first.targets.count, 1);
    EXPECT_EQ(pool.size(), 12u);
    EXPECT_EQ(pool[5].re, 0.5F);
    EXPECT_EQ(pool[5].im, 0.7F);

    DensityOperation hadamard;
    quorra::density::set_operation_name(hadamard, "mch");
    hadamard.targets = {2};
    hadamard.controls = {0};
    hadamard.control_state = {1};
    const auto second = quorra::density::prepare_density_operation<float>(hadamard, 3, pool);
    EXPECT_EQ(second.pass, quorra::density::DensityPass::Unitary);
    EXPECT_EQ(second.matrix_offset, 12);
    EXPECT_EQ(second.control_mask, 1u);
    EXPECT_EQ(second.control_values, 1u);
    EXPECT_EQ(pool.size(), 16u);

    const auto channel =
        quorra::density::prepare_density_operation<float>(kraus_record("depolarizing", 4, 0.5, 0), 3, pool);
    EXPECT_EQ(channel.pass, quorra::density::DensityPass::Channel);
    EXPECT_EQ(channel.channel_kind, 3);
    EXPECT_EQ(channel.target_mask, 0b10u);
    EXPECT_EQ(pool.size(), 16u);  // built-in channels need no matrices
}

TEST(DensityPreparation, FastPathsNeedNoMatrix) {
    constexpr double kQuarterPi = 0.78539816339744830962;
    std::vector<CuComplex<double>> pool;
    DensityOperation op;
    quorra::density::set_operation_name(op, "cnot");
    op.targets = {2};
    op.controls = {1};
    op.control_state = {0};
    const auto x = quorra::density::prepare_density_operation<double>(op, 3, pool);
    EXPECT_EQ(x.pass, quorra::density::DensityPass::Permutation);
    EXPECT_FALSE(x.permutation_is_swap);
    EXPECT_EQ(x.permutation_mask, 0b100u);
    EXPECT_EQ(x.control_mask, 0b010u);
    EXPECT_EQ(x.control_values, 0u);
    quorra::density::set_operation_name(op, "t_dag");
    const auto t = quorra::density::prepare_density_operation<double>(op, 3, pool);
    EXPECT_EQ(t.pass, quorra::density::DensityPass::Diagonal);
    EXPECT_EQ(t.target_mask, 0b100u);
    EXPECT_DOUBLE_EQ(t.diag1.real(), std::cos(kQuarterPi));
    EXPECT_DOUBLE_EQ(t.diag1.imag(), -std::sin(kQuarterPi));
    quorra::density::set_operation_name(op, "gp");
    op.controls.clear();
    op.control_state.clear();
    EXPECT_EQ(quorra::density::prepare_density_operation<double>(op, 3, pool).pass, quorra::density::DensityPass::Noop);
    EXPECT_TRUE(pool.empty());
}

#if QUORRA_HOST_BUILD
// These read the stand-in's allocation registry and set its emulated memory limit.

void limit_device_memory(size_t extra_bytes) {
    const std::string limit = std::to_string(hostcuda::allocated_bytes() + extra_bytes);
    setenv("QUORRA_HOSTCUDA_MEMORY_LIMIT", limit.c_str(), 1);
}

TEST_F(DensityLauncherTest, MeasurementFreesItsBuffersOnEveryPath) {
    const size_t before = hostcuda::allocation_count();
    // A zero trace is found only after both buffers exist.
    std::vector<CuComplex<double>> zero(initial_.size(), CuComplex<double>{0.0, 0.0});
    state_->upload_density(zero.data(), state_->element_count());
    try {
        quorra::dravik::measure_density(*state_, {0, 2}, "little", 1);
        FAIL() << "expected a refusal";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "density matrix has zero or invalid trace.");
    }
    EXPECT_EQ(hostcuda::allocation_count(), before);

    // The target list fits, the probability table does not.
    state_->upload_density(initial_.data(), state_->element_count());
    limit_device_memory(2 * sizeof(int64_t));
    try {
        quorra::dravik::measure_density(*state_, {0, 2}, "big", 1);
        FAIL() << "expected an allocation failure";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "CUDA error: out of memory");
    }
    unsetenv("QUORRA_HOSTCUDA_MEMORY_LIMIT");
    EXPECT_EQ(hostcuda::allocation_count(), before);
    expect_unchanged();  // also: the failure is not left behind for the next launch check
}

TEST_F(DensityLauncherTest, RunnerFreesItsPoolAndLeavesTheStateWhenTheUploadFails) {
    const size_t before = hostcuda::allocation_count();
    DensityOperation op;
    quorra::density::set_operation_name(op, "h");
    op.targets = {1};
    limit_device_memory(8);
    try {
        quorra::density::run_density_operations(*state_, kQubits, {op});
        FAIL() << "expected an allocation failure";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "CUDA error: out of memory");
    }
    unsetenv("QUORRA_HOSTCUDA_MEMORY_LIMIT");
    EXPECT_EQ(hostcuda::allocation_count(), before);
    expect_unchanged();
    quorra::density::run_density_operations(*state_, kQubits, {op});  // and the next run works
    EXPECT_EQ(hostcuda::allocation_count(), before);
}

#endif

}  // namespace

namespace {

// Re rho[i][i] summed by outcome, written out once more: bit k-1-j of the outcome is the
// value of qubit targets[j] (index bit targets[j], or n-1-targets[j] for "big").
std::vector<double> reference_table(const std::vector<CuComplex<double>>& rho, uint64_t n,
                                    const std::vector<int64_t>& targets, bool little) {
    const uint64_t d = uint64_t{1} << n;
    std::vector<double> table(size_t{1} << targets.size(), 0.0);
    for (uint64_t i = 0; i < d; ++i) {
        uint64_t outcome = 0;
        for (const int64_t t : targets) {
            const int64_t position = little ? t : static_cast<int64_t>(n) - 1 - t;
            outcome = (outcome << 1) | ((i >> position) & 1);
        }
        table[outcome] += rho[i * d + i].re;
    }
    return table;
}

// Each outcome is summed by one group of threads in a fixed order, so repeated runs give the
// same bits however the blocks are spread over the stand-in's worker threads (several, and
// QUORRA_HOSTCUDA_SPREAD sends even small grids to them); the layouts
// give one outcome many diagonal elements, many outcomes few, and every outcome one.
TEST(DensityMeasureProbabilities, MatchTheReferenceAndRepeatBitForBit) {
    setenv("QUORRA_HOSTCUDA_SPREAD", "1", 1);
    constexpr uint64_t kN = 10;
    const uint64_t d = uint64_t{1} << kN;
    std::vector<CuComplex<double>> rho(d * d, CuComplex<double>{0.0, 0.0});
    std::mt19937_64 rng(9);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    for (uint64_t i = 0; i < d; ++i) {
        rho[i * d + i] = CuComplex<double>{uniform(rng), 0.0};
    }
    const auto state = quorra::dravik::create_density_state(kN, true, 0);
    state->upload_density(rho.data(), state->element_count());
    const std::vector<std::vector<int64_t>> layouts = {{9}, {3, 0, 8, 6}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}};
    for (const auto& targets : layouts) {
        for (const bool little : {true, false}) {
            const std::string endian = little ? "little" : "big";
            const std::vector<double> first = quorra::dravik::density_measure_probabilities(*state, targets, endian);
            const std::vector<double> expected = reference_table(rho, kN, targets, little);
            ASSERT_EQ(first.size(), expected.size());
            for (size_t o = 0; o < first.size(); ++o) {
                EXPECT_NEAR(first[o], expected[o], 1e-12 * (1.0 + expected[o])) << "outcome " << o;
            }
            for (int run = 0; run < 4; ++run) {
                const std::vector<double> again =
                    quorra::dravik::density_measure_probabilities(*state, targets, endian);
                EXPECT_EQ(std::memcmp(again.data(), first.data(), first.size() * sizeof(double)), 0)
                    << "run " << run << ", k " << targets.size() << ", " << endian;
            }
        }
    }
    EXPECT_THROW(quorra::dravik::density_measure_probabilities(*state, {10}, "little"), std::invalid_argument);
    unsetenv("QUORRA_HOSTCUDA_SPREAD");
}

}  // namespace
