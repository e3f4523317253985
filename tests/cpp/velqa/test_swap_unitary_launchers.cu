// The SWAP and UNITARY launchers below the Python surface: index arithmetic, their own refusal
// of records the kernels cannot take, and the UNITARY device buffers on every exit path.
#include <gtest/gtest.h>

#include <complex>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "gates/velqa_index_bits.cuh"
#include "gates/velqa_swap.cuh"
#include "gates/velqa_unitary.cuh"
#include "state/velqa_device_state.cuh"

namespace {

using velqa::CuComplex;
using velqa::DeviceState;

TEST(GateIndexBits, InsertZeroBitKeepsLowBitsAndShiftsHighBits) {
    EXPECT_EQ(velqa::insert_zero_bit(0b1011, 0b100), 0b10011u);
    EXPECT_EQ(velqa::insert_zero_bit(0b1011, 0b1), 0b10110u);
    EXPECT_EQ(velqa::insert_zero_at(0b111, 3), 0b0111u);
}

TEST(GateIndexBits, ExpandIndexEnumeratesTheFixedSubspaceInOrder) {
    const uint64_t fixed_mask = 0b1010010;
    const uint64_t fixed_value = 0b0010000 & fixed_mask;
    uint64_t k = 0;
    for (uint64_t i = 0; i < 256; ++i) {
        if ((i & fixed_mask) == (fixed_value & fixed_mask)) {
            EXPECT_EQ(velqa::expand_index(k, fixed_mask, fixed_value & fixed_mask), i) << "k = " << k;
            ++k;
        }
    }
    EXPECT_EQ(k, 32u);
}

TEST(GateIndexBits, GridBlocksRoundsUpAndRefusesOversizedGrids) {
    EXPECT_EQ(velqa::grid_blocks(1, 256), 1u);
    EXPECT_EQ(velqa::grid_blocks(256, 256), 1u);
    EXPECT_EQ(velqa::grid_blocks(257, 256), 2u);
    EXPECT_EQ(velqa::grid_blocks(uint64_t{1} << 39, 512), 1u << 30);
    // Past the device limit the count is never truncated into a small valid grid.
    EXPECT_EQ(velqa::grid_blocks((uint64_t{1} << 40) + 256, 256), 0x80000000u);
}

std::vector<CuComplex<double>> ramp(int64_t count) {
    std::vector<CuComplex<double>> v(static_cast<size_t>(count));
    for (int64_t i = 0; i < count; ++i) {
        v[static_cast<size_t>(i)] = CuComplex<double>{static_cast<double>(i), -0.5 * static_cast<double>(i)};
    }
    return v;
}

class LauncherTest : public ::testing::Test {
protected:
    void SetUp() override {
        state_ = std::make_unique<DeviceState>(kQubits, velqa::Precision::Complex128, 0);
        initial_ = ramp(state_->num_state());
        state_->upload(initial_.data(), state_->num_state(), false);
    }
    void TearDown() override { unsetenv("QUORRA_HOSTCUDA_MEMORY_LIMIT"); }

    void expect_state_unchanged() const {
        std::vector<CuComplex<double>> now(initial_.size());
        state_->download(now.data(), state_->num_state(), false);
        for (size_t i = 0; i < now.size(); ++i) {
            ASSERT_EQ(now[i].re, initial_[i].re) << i;
            ASSERT_EQ(now[i].im, initial_[i].im) << i;
        }
    }

    CuComplex<double>* amps() const { return state_->amplitudes<double>(); }

    static std::vector<std::complex<double>> identity(int64_t dim) {
        std::vector<std::complex<double>> m(static_cast<size_t>(dim * dim));
        for (int64_t i = 0; i < dim; ++i) {
            m[static_cast<size_t>(i * dim + i)] = 1.0;
        }
        return m;
    }

    static constexpr int64_t kQubits = 8;
    std::unique_ptr<DeviceState> state_;
    std::vector<CuComplex<double>> initial_;
};

template <typename Call>
void expect_invalid(Call call, const std::string& message) {
    try {
        call();
        FAIL() << "expected std::invalid_argument: " << message;
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()), message);
    }
}

TEST_F(LauncherTest, SwapRefusesIndicesTheKernelsCannotTake) {
    const std::vector<int64_t> none;
    for (const velqa::KernelMode mode :
         {velqa::KernelMode::AllState, velqa::KernelMode::Pair, velqa::KernelMode::PairAuto}) {
        expect_invalid([&] { velqa::cu_swap<double>(kQubits, amps(), 2, 2, none, none, 0, mode); },
                       "target qubits must be distinct");
        expect_invalid([&] { velqa::cu_swap<double>(kQubits, amps(), 1, kQubits, none, none, 0, mode); },
                       "target qubit index must be in [0, n)");
        expect_invalid([&] { velqa::cu_swap<double>(kQubits, amps(), -1, 3, none, none, 0, mode); },
                       "target qubit index must be in [0, 62]");
        expect_invalid([&] { velqa::cu_swap<double>(kQubits, amps(), 1, 3, {kQubits}, {1}, 0, mode); },
                       "control qubit index must be in [0, n)");
        expect_invalid([&] { velqa::cu_swap<double>(kQubits, amps(), 1, 3, {3}, {0}, 0, mode); },
                       "control qubit must not also be a target");
        expect_invalid(
            [&] {
                velqa::cu_swap<double>(kQubits, amps(), 1, 3, {4, 4}, {1, 1}, 0, mode);
            },
            "control qubits must be distinct");
        // The control-list checks come first, as for every launcher.
        expect_invalid([&] { velqa::cu_swap<double>(kQubits, amps(), 2, 2, {63}, {1}, 0, mode); },
                       "control qubit index must be in [0, 62]");
        expect_invalid([&] { velqa::cu_swap<double>(63, amps(), 1, 3, none, none, 0, mode); }, "n must be in [1, 62]");
    }
    expect_state_unchanged();
}

TEST_F(LauncherTest, UnitaryRefusesIndicesTheKernelsCannotTake) {
    const std::vector<int64_t> none;
    for (const int64_t k : {1, 2, 3, 6}) {
        const auto m = identity(int64_t{1} << k);
        std::vector<int64_t> targets;
        for (int64_t j = 0; j < k; ++j) {
            targets.push_back(j + 1);
        }
        if (k > 1) {
            std::vector<int64_t> repeated = targets;
            repeated.back() = targets.front();
            expect_invalid(
                [&] {
                    velqa::cu_unitary<double>(kQubits, amps(), repeated, none, none, m, 1 << k, 0,
                                              velqa::KernelMode::PairAuto);
                },
                "target qubits must be distinct");
        }
        std::vector<int64_t> high = targets;
        high.back() = kQubits;
        expect_invalid(
            [&] {
                velqa::cu_unitary<double>(kQubits, amps(), high, none, none, m, 1 << k, 0, velqa::KernelMode::PairAuto);
            },
            "target qubit index must be in [0, n)");
        expect_invalid(
            [&] {
                velqa::cu_unitary<double>(kQubits, amps(), targets, {1}, {1}, m, 1 << k, 0,
                                          velqa::KernelMode::PairAuto);
            },
            "control qubit must not also be a target");
    }
    expect_state_unchanged();
}

TEST_F(LauncherTest, UnitaryRecordChecksComeInOrder) {
    const std::vector<int64_t> bad_controls{0, 1};
    const std::vector<int64_t> one_state{1};
    const auto m2 = identity(2);
    const auto m4 = identity(4);
    auto call = [&](const std::vector<int64_t>& targets, const std::vector<int64_t>& controls,
                    const std::vector<int64_t>& states, const std::vector<std::complex<double>>& m, int64_t dim) {
        return [&, targets, controls, states, dim] {
            velqa::cu_unitary<double>(kQubits, amps(), targets, controls, states, m, dim, 0,
                                      velqa::KernelMode::PairAuto);
        };
    };
    expect_invalid(call({}, bad_controls, one_state, m4, 3), "UNITARY gate requires at least one target.");
    expect_invalid(call({0}, bad_controls, one_state, m4, 4), "UNITARY matrix dimension must be 2**num_targets.");
    // The entry count is only looked at once the dimension is right, and before the controls.
    expect_invalid(call({0, 1}, bad_controls, one_state, m2, 4), "UNITARY matrix size mismatch.");
    expect_invalid(call({0}, {}, {}, m4, 2), "UNITARY matrix size mismatch.");
    expect_invalid(call({70}, bad_controls, one_state, m2, 2), "controls.size() != control_state.size()");
    expect_invalid(call({70}, {}, {}, m2, 2), "target qubit index must be in [0, 62]");
    // 2^k is never formed for k >= 63, and matrix_dim squared never overflows.
    const std::vector<int64_t> many(64, 1);
    expect_invalid(call(many, {}, {}, m2, 0), "UNITARY matrix dimension must be 2**num_targets.");
    const std::vector<int64_t> thirty_two(32, 1);
    expect_invalid(call(thirty_two, {}, {}, m2, int64_t{1} << 32), "UNITARY matrix size mismatch.");
    expect_state_unchanged();
}

TEST_F(LauncherTest, OversizedGridIsReportedAsLaunchFailure) {
    // 2^40 pairs need 2^32 blocks: refused by the runtime before anything runs.
    try {
        velqa::cu_swap<double>(41, amps(), 3, 7, {}, {}, 0, velqa::KernelMode::Pair);
        FAIL() << "expected a launch failure";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "cu_swap kernel launch failed: invalid configuration argument");
    }
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    expect_state_unchanged();
}

#if QUORRA_HOST_BUILD
// These read the stand-in's allocation registry and its emulated memory limit.

TEST_F(LauncherTest, UnitaryFreesItsBuffersAfterSuccess) {
    const size_t before = hostcuda::allocation_count();
    for (const int64_t k : {3, 5, 6, 7}) {
        std::vector<int64_t> targets;
        for (int64_t j = 0; j < k; ++j) {
            targets.push_back(k - 1 - j);
        }
        velqa::cu_unitary<double>(kQubits, amps(), targets, {7}, {1}, identity(int64_t{1} << k), 1 << k, 0,
                                  velqa::KernelMode::PairAuto);
        EXPECT_EQ(hostcuda::allocation_count(), before) << "k = " << k;
    }
    expect_state_unchanged();
}

// The emulated limit lets exactly the buffers before the named one fit, so that one fails.
void limit_device_memory(size_t extra_bytes) {
    const std::string limit = std::to_string(hostcuda::allocated_bytes() + extra_bytes);
    setenv("QUORRA_HOSTCUDA_MEMORY_LIMIT", limit.c_str(), 1);
}

TEST_F(LauncherTest, UnitaryFreesItsBuffersWhenAnAllocationFails) {
    struct Case {
        int64_t k;
        size_t fitting_bytes;  // matrix and target list fit; the next buffer does not
    };
    const Case cases[] = {
        {4, 16 * 16 * 16 + 4 * 8},  // the sorted target list fails
        {6, 64 * 64 * 16 + 6 * 8},  // the scratch copy of the state fails
        {3, 8 * 8 * 16 - 1},        // the matrix itself fails
    };
    for (const Case& c : cases) {
        const size_t before = hostcuda::allocation_count();
        std::vector<int64_t> targets;
        for (int64_t j = 0; j < c.k; ++j) {
            targets.push_back(j);
        }
        limit_device_memory(c.fitting_bytes);
        try {
            velqa::cu_unitary<double>(kQubits, amps(), targets, {}, {}, identity(int64_t{1} << c.k), 1 << c.k, 0,
                                      velqa::KernelMode::PairAuto);
            FAIL() << "expected an allocation failure, k = " << c.k;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), "CUDA error: out of memory");
        }
        unsetenv("QUORRA_HOSTCUDA_MEMORY_LIMIT");
        EXPECT_EQ(hostcuda::allocation_count(), before) << "k = " << c.k;
        // Reported once: the next gate's launch check must not see it again.
        EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    }
    expect_state_unchanged();
}

#endif

}  // namespace
