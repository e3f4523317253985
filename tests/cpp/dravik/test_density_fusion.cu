// The density fusion planner and the fused launcher below the Python surface: group kinds,
// the grouping and blocking rules, invariants on random circuits, gate records, the
// launcher's checks in order, the fusion switch, and device memory on failure paths.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "kernels/density_sparsesharemem.cuh"
#if QUORRA_HOST_BUILD
#include "hostcuda_block_select.h"
#endif
#include "runner/density_fusion.hpp"
#include "runner/density_operation.hpp"
#include "runner/run_density.hpp"
#include "state/dravik_device_state.cuh"

namespace {

using quorra::density::DensityFusionGroup;
using quorra::density::DensityGroupKind;
using quorra::density::DensityOperation;
using quorra::density::DensityOperationKind;
using quorra::dravik::DensityGateKind;

DensityOperation gate(const std::string& name, int64_t target, std::vector<int64_t> controls = {},
                      std::vector<int64_t> states = {}, std::vector<double> parameters = {}) {
    DensityOperation op;
    quorra::density::set_operation_name(op, name);
    op.targets = {target};
    op.controls = std::move(controls);
    op.control_state = states.empty() ? std::vector<int64_t>(op.controls.size(), 1) : std::move(states);
    op.parameters = std::move(parameters);
    return op;
}

DensityOperation two_target(const std::string& name, int64_t a, int64_t b) {
    DensityOperation op;
    quorra::density::set_operation_name(op, name);
    op.targets = {a, b};
    return op;
}

// A built-in channel record (the textbook K1 carries the parameter), or a general map.
DensityOperation channel(const std::string& name, int64_t target, double p, int64_t count = 2) {
    DensityOperation op;
    op.kind = DensityOperationKind::Kraus;
    quorra::density::set_channel_name(op, name);
    op.targets = {target};
    op.kraus_dimension = 2;
    op.kraus_count = count;
    op.kraus_matrices.assign(static_cast<size_t>(4 * count), 0.0);
    op.kraus_matrices[0] = op.kraus_matrices[3] = std::sqrt(1 - p);
    op.kraus_matrices[5] = op.kraus_matrices[6] = std::sqrt(p);  // K1 = sqrt(p) X
    return op;
}

std::vector<DensityFusionGroup> plan(int64_t n, const std::vector<DensityOperation>& ops) {
    return quorra::density::plan_density_fusion(n, ops, quorra::density::density_fusion_options(n));
}

std::vector<size_t> indices(std::initializer_list<size_t> list) { return list; }

TEST(DensityFusionOptions, ActiveQubitsFollowTheRegister) {
    EXPECT_LT(quorra::density::density_fusion_options(4).max_active_qubits, 1);
    EXPECT_EQ(quorra::density::density_fusion_options(5).max_active_qubits, 1);
    EXPECT_EQ(quorra::density::density_fusion_options(8).max_active_qubits, 4);
    EXPECT_EQ(quorra::density::density_fusion_options(9).max_active_qubits, 5);
    EXPECT_EQ(quorra::density::density_fusion_options(15).max_active_qubits, 5);
    EXPECT_EQ(quorra::density::density_fusion_options(15).min_fused_qubits, 4);
    EXPECT_EQ(quorra::density::density_fusion_options(15).max_ops_per_group, 1024);
}

TEST(DensityFusionPlanner, UnitaryThenChannelOnOneQubitIsAOneQubitGroup) {
    const auto groups = plan(6, {gate("h", 0), channel("amplitude_damping", 0, 0.3)});
    ASSERT_EQ(groups.size(), 1u);
    EXPECT_EQ(groups[0].kind, DensityGroupKind::OneQubit);
    EXPECT_EQ(groups[0].op_indices, indices({0, 1}));
    EXPECT_EQ(groups[0].active_qubits, std::vector<int64_t>{0});
    EXPECT_TRUE(groups[0].gates.empty());
}

TEST(DensityFusionPlanner, TenGatesOnFiveQubitsAreOneFusedGroup) {
    std::vector<DensityOperation> ops;
    for (int64_t i = 0; i < 10; ++i) {
        ops.push_back(i % 3 == 0 ? channel("bit_flip", i % 5, 0.1) : gate("rx", i % 5, {}, {}, {0.1 * i}));
    }
    const auto groups = plan(9, ops);
    ASSERT_EQ(groups.size(), 1u);
    EXPECT_EQ(groups[0].kind, DensityGroupKind::Fused);
    EXPECT_EQ(groups[0].op_indices.size(), 10u);
    EXPECT_EQ(groups[0].active_qubits, (std::vector<int64_t>{0, 1, 2, 3, 4}));
    ASSERT_EQ(groups[0].gates.size(), 10u);
    EXPECT_EQ(groups[0].gates[0].kind, static_cast<int32_t>(DensityGateKind::Channel));
    EXPECT_EQ(groups[0].gates[1].kind, static_cast<int32_t>(DensityGateKind::Matrix));
    EXPECT_EQ(groups[0].gates[1].target, 1);
}

TEST(DensityFusionPlanner, WideOperationsAreSingleAndTheScanStopsAtThem) {
    // n = 7 allows three active qubits. The X on qubit 4 would fit beside the H on qubit 2,
    // but the general Kraus map before it (three matrices named bit_flip) ends the scan.
    const std::vector<DensityOperation> ops = {two_target("swap", 0, 1), gate("h", 2), channel("bit_flip", 3, 0.5, 3),
                                               gate("x", 4)};
    const auto groups = plan(7, ops);
    ASSERT_EQ(groups.size(), 4u);
    for (size_t i = 0; i < groups.size(); ++i) {
        EXPECT_EQ(groups[i].kind, DensityGroupKind::Single) << i;
        EXPECT_EQ(groups[i].op_indices, std::vector<size_t>{i});
    }
    EXPECT_TRUE(quorra::density::select_density_group(7, ops, {0, 1, 2, 3}, 3, 1024).empty());
    EXPECT_EQ(quorra::density::select_density_group(7, ops, {1, 2, 3}, 3, 1024), indices({1}));
    EXPECT_EQ(quorra::density::select_density_group(7, ops, {1, 3}, 3, 1024), indices({1, 3}));
}

TEST(DensityFusionPlanner, SequentialGroupsHaveTwoOrThreeActiveQubits) {
    // n = 7 allows three active qubits, so nothing can be Fused.
    const auto groups = plan(7, {gate("h", 0), gate("cx", 1, {0}), gate("rz", 2, {}, {}, {0.2}), gate("cz", 2, {1})});
    ASSERT_EQ(groups.size(), 1u);
    EXPECT_EQ(groups[0].kind, DensityGroupKind::Sequential);
    EXPECT_EQ(groups[0].active_qubits, (std::vector<int64_t>{0, 1, 2}));
}

TEST(DensityFusionPlanner, AnOperationLeftOutBlocksItsQubitsForTheRestOfTheScan) {
    // A chain of CX joins qubits 0..4 (five active qubits, the limit at n = 9); CX 4 -> 5
    // would make six, so it is left out and blocks qubits 4 and 5: the H on qubit 4 after
    // it must wait too, while the H on qubit 0 still joins the group.
    const std::vector<DensityOperation> ops = {gate("cx", 1, {0}), gate("cx", 2, {1}), gate("cx", 3, {2}),
                                               gate("cx", 4, {3}), gate("cx", 5, {4}), gate("h", 4),
                                               gate("h", 0),       gate("h", 5)};
    const auto group = quorra::density::select_density_group(9, ops, {0, 1, 2, 3, 4, 5, 6, 7}, 5, 1024);
    EXPECT_EQ(group, indices({0, 1, 2, 3, 6}));
    const auto groups = plan(9, ops);
    ASSERT_GE(groups.size(), 2u);
    EXPECT_EQ(groups[0].kind, DensityGroupKind::Fused);
    EXPECT_EQ(groups[0].op_indices, indices({0, 1, 2, 3, 6}));
    EXPECT_EQ(groups[1].op_indices.front(), 4u);
}

TEST(DensityFusionPlanner, PackingPrefersTheLargestComponentAndTakesWhatItCovers) {
    // Components {0,1} (3 operations), {2,3} (1), {4} (2) with at most 3 active qubits:
    // {0,1} first, then {4} fits (3 qubits) and {2,3} does not.
    const std::vector<DensityOperation> ops = {gate("h", 0),       gate("cx", 1, {0}), gate("h", 1),
                                               gate("cz", 3, {2}), gate("x", 4),       gate("t", 4)};
    const auto group = quorra::density::select_density_group(8, ops, {0, 1, 2, 3, 4, 5}, 3, 1024);
    EXPECT_EQ(group, indices({0, 1, 2, 4, 5}));
}

TEST(DensityFusionPlanner, ScansAtMostMaxOpsPerGroup) {
    std::vector<DensityOperation> ops;
    for (int i = 0; i < 12; ++i) {
        ops.push_back(gate("h", i % 2));
    }
    std::set<size_t> remaining;
    for (size_t i = 0; i < ops.size(); ++i) {
        remaining.insert(i);
    }
    EXPECT_EQ(quorra::density::select_density_group(6, ops, remaining, 2, 5).size(), 5u);
}

// Every operation in exactly one group, each qubit's operations in their order, groups
// within the width limit, kinds as their sizes say, one record per fused operation.
void check_invariants(int64_t n, const std::vector<DensityOperation>& ops,
                      const std::vector<DensityFusionGroup>& groups) {
    const auto options = quorra::density::density_fusion_options(n);
    std::vector<int> seen(ops.size(), 0);
    std::map<int64_t, std::vector<size_t>> executed;  // qubit -> operations in execution order
    for (const DensityFusionGroup& g : groups) {
        ASSERT_FALSE(g.op_indices.empty());
        ASSERT_TRUE(std::is_sorted(g.op_indices.begin(), g.op_indices.end()));
        std::set<int64_t> active;
        for (const size_t i : g.op_indices) {
            ++seen[i];
            std::vector<int64_t> touched(ops[i].targets);
            touched.insert(touched.end(), ops[i].controls.begin(), ops[i].controls.end());
            for (const int64_t q : touched) {
                active.insert(q);
                executed[q].push_back(i);
            }
        }
        EXPECT_EQ(g.active_qubits, std::vector<int64_t>(active.begin(), active.end()));
        const auto width = static_cast<int64_t>(active.size());
        if (g.op_indices.size() == 1) {
            EXPECT_EQ(g.kind, DensityGroupKind::Single);
            continue;
        }
        EXPECT_LE(width, options.max_active_qubits);
        const DensityGroupKind expected = width == 1                         ? DensityGroupKind::OneQubit
                                          : width < options.min_fused_qubits ? DensityGroupKind::Sequential
                                                                             : DensityGroupKind::Fused;
        EXPECT_EQ(g.kind, expected);
        EXPECT_EQ(g.gates.size(), expected == DensityGroupKind::Fused ? g.op_indices.size() : 0u);
    }
    for (size_t i = 0; i < ops.size(); ++i) {
        EXPECT_EQ(seen[i], 1) << "operation " << i;
    }
    for (const auto& [q, order] : executed) {
        EXPECT_TRUE(std::is_sorted(order.begin(), order.end())) << "qubit " << q;
    }
}

std::vector<DensityOperation> random_circuit(int64_t n, size_t length, std::mt19937_64& rng) {
    std::vector<DensityOperation> ops;
    std::uniform_int_distribution<int64_t> qubit(0, n - 1);
    std::uniform_int_distribution<int> pick(0, 9);
    while (ops.size() < length) {
        const int64_t q = qubit(rng);
        int64_t other = qubit(rng);
        if (other == q) {
            other = (q + 1) % n;
        }
        switch (pick(rng)) {
            case 0:
            case 1:
                ops.push_back(gate("ry", q, {}, {}, {0.3}));
                break;
            case 2:
                ops.push_back(channel("depolarizing", q, 0.1, 4));
                break;
            case 3:
                ops.push_back(channel("bit_flip", q, 0.2));
                break;
            case 4:
                ops.push_back(gate("cx", q, {other}, {0}));
                break;
            case 5:
                ops.push_back(gate("rz", q, {other}, {1}, {0.4}));
                break;
            case 6:
                ops.push_back(two_target("swap", q, other));
                break;
            case 7:
                ops.push_back(channel("bit_flip", q, 0.2, 3));  // a general map
                break;
            default:
                ops.push_back(gate("h", q));
                break;
        }
    }
    return ops;
}

TEST(DensityFusionPlanner, InvariantsHoldOnRandomCircuits) {
    std::mt19937_64 rng(7);
    std::set<DensityGroupKind> kinds;
    for (const int64_t n : {5, 6, 7, 8, 9, 10, 12, 15}) {
        for (int round = 0; round < 20; ++round) {
            const auto ops = random_circuit(n, 60, rng);
            const auto groups = plan(n, ops);
            check_invariants(n, ops, groups);
            for (const auto& g : groups) {
                kinds.insert(g.kind);
            }
        }
    }
    EXPECT_EQ(kinds.size(), 4u);  // every kind arises
}

TEST(DensityFusionGates, RecordsOnLocalBits) {
    const std::vector<int64_t> active = {1, 3, 4, 6};
    auto g = quorra::density::make_density_gate(gate("crz", 4, {1, 6}, {1, 0}, {0.5}), active);
    EXPECT_EQ(g.kind, static_cast<int32_t>(DensityGateKind::Diagonal));
    EXPECT_EQ(g.target, 2);
    EXPECT_EQ(g.control_mask, 0b1001);
    EXPECT_EQ(g.control_values, 0b0001);
    EXPECT_DOUBLE_EQ(g.diag0.re, std::cos(0.25));
    EXPECT_DOUBLE_EQ(g.diag1.im, std::sin(0.25));

    g = quorra::density::make_density_gate(gate("cnot", 6, {3}), active);
    EXPECT_EQ(g.kind, static_cast<int32_t>(DensityGateKind::Flip));
    EXPECT_EQ(g.flip_mask, 0b1000);
    EXPECT_EQ(g.control_mask, 0b0010);

    g = quorra::density::make_density_gate(gate("gp", 1, {}, {}, {0.7}), active);  // a no-op: identity factors
    EXPECT_EQ(g.kind, static_cast<int32_t>(DensityGateKind::Diagonal));
    EXPECT_EQ(g.diag0.re, 1.0);
    EXPECT_EQ(g.diag1.im, 0.0);

    g = quorra::density::make_density_gate(gate("h", 3), active);
    EXPECT_EQ(g.kind, static_cast<int32_t>(DensityGateKind::Matrix));
    EXPECT_EQ(g.target, 1);
    EXPECT_DOUBLE_EQ(g.matrix[3].re, -std::sqrt(0.5));

    g = quorra::density::make_density_gate(channel("bit_flip", 1, 0.36), active);
    EXPECT_EQ(g.kind, static_cast<int32_t>(DensityGateKind::Channel));
    EXPECT_EQ(g.channel_kind, 1);
    EXPECT_DOUBLE_EQ(g.channel_parameter, 0.36);

    const auto single = quorra::dravik::convert_density_gate<float>(g);
    EXPECT_EQ(single.channel_parameter, 0.36F);
    EXPECT_EQ(single.kind, g.kind);
}

TEST(DensityFusionGates, RefusesWhatCannotBeFused) {
    const std::vector<int64_t> active = {0, 1, 2, 3};
    const auto expect_message = [&](const DensityOperation& op, const std::string& message) {
        try {
            quorra::density::make_density_gate(op, active);
            FAIL() << "expected: " << message;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), message);
        }
    };
    expect_message(channel("bit_flip", 1, 0.3, 3), "fused Kraus is not a built-in channel");
    DensityOperation wide = gate("m", 1);
    wide.has_stored_matrix = true;
    wide.stored_matrix.assign(16, 0.0);
    expect_message(wide, "fused unitary must be 2x2");
    expect_message(two_target("swap", 0, 1), "fused unitary must be 2x2");
    expect_message(gate("cx", 1, {5}), "control qubit outside active set");
}

TEST(DensityFusionSwitch, ValuesThatSwitchFusionOnAndOff) {
    const std::map<std::string, bool> values = {{"1", true},  {"yes", true}, {"true", true}, {"false", true},
                                                {"0", false}, {"", false},   {"00", false},  {"0yes", false}};
    for (const auto& [value, on] : values) {
        setenv("QUORRA_DENSITY_FUSION", value.c_str(), 1);
        EXPECT_EQ(quorra::density::density_fusion_enabled(), on) << "'" << value << "'";
    }
    unsetenv("QUORRA_DENSITY_FUSION");
    EXPECT_FALSE(quorra::density::density_fusion_enabled());
}

class FusedLauncherTest : public ::testing::Test {
protected:
    void SetUp() override {
        state_ = quorra::dravik::create_density_state(5, true, 0);
        state_->reset_to_zero_state();
        gates_.emplace(0, sizeof(quorra::dravik::DeviceDensityGate<double>));
    }
    void TearDown() override {
        unsetenv("QUORRA_HOSTCUDA_MEMORY_LIMIT");
        unsetenv("QUORRA_DENSITY_FUSION");
    }

    void expect_invalid(int64_t dimension, uint64_t mask, int64_t k, int64_t count, const std::string& message) {
        try {
            quorra::dravik::launch_density_sparsesharemem<double>(
                dimension, state_->elements<double>(), mask, k, gates_->as<quorra::dravik::DeviceDensityGate<double>>(),
                count, cudaStream_t{});
            FAIL() << "expected: " << message;
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()), message);
        }
    }

    void expect_zero_state() const {
        std::vector<quorra::dravik::CuComplex<double>> now(static_cast<size_t>(state_->element_count()));
        state_->download_density(now.data(), state_->element_count());
        for (size_t i = 0; i < now.size(); ++i) {
            ASSERT_EQ(now[i].re, i == 0 ? 1.0 : 0.0) << i;
            ASSERT_EQ(now[i].im, 0.0) << i;
        }
        EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    }

    std::shared_ptr<quorra::dravik::DeviceDensityState> state_;
    std::optional<quorra::dravik::DeviceBuffer> gates_;
};

TEST_F(FusedLauncherTest, ChecksComeInOrder) {
    const int64_t d = state_->dimension();
    expect_invalid(d, 0, 0, 0, "density fusion active qubits must be in [1,5]");
    expect_invalid(d, 0x3f, 6, 0, "density fusion active qubits must be in [1,5]");
    expect_invalid(4, 0xf, 4, 0, "fusion group cannot be empty");
    expect_invalid(8, 0xf, 4, 1, "active qubits exceed circuit size");
    expect_invalid(d, 0b10111, 3, 1, "fused group does not fit the density matrix");   // four bits for k = 3
    expect_invalid(d, 0b100011, 3, 1, "fused group does not fit the density matrix");  // a qubit past n
    expect_zero_state();
}

TEST(DensityFusionGates, CheckRefusesRecordsOutsideTheTile) {
    quorra::dravik::DeviceDensityGate<double> g;
    EXPECT_NO_THROW(quorra::dravik::check_density_gate(g, 1));
    g.target = 4;
    EXPECT_THROW(quorra::dravik::check_density_gate(g, 4), std::invalid_argument);
    g.target = 1;
    g.control_mask = 0b10;  // a control on the target
    EXPECT_THROW(quorra::dravik::check_density_gate(g, 4), std::invalid_argument);
    g.control_mask = 0b1;
    g.control_values = 0b100;
    EXPECT_THROW(quorra::dravik::check_density_gate(g, 4), std::invalid_argument);
    g.control_values = 0;
    g.kind = static_cast<int32_t>(DensityGateKind::Channel);
    g.control_mask = 0;
    g.channel_kind = 6;
    EXPECT_THROW(quorra::dravik::check_density_gate(g, 4), std::invalid_argument);
    g.kind = 7;
    EXPECT_THROW(quorra::dravik::check_density_gate(g, 4), std::invalid_argument);
}

#if QUORRA_HOST_BUILD
// These read the stand-in's allocation registry and set its emulated memory limit.

TEST_F(FusedLauncherTest, RunnerFreesPoolAndRecordsWhenTheRecordUploadFails) {
    setenv("QUORRA_DENSITY_FUSION", "1", 1);
    const auto state = quorra::dravik::create_density_state(8, true, 0);  // room for a fused group
    state->reset_to_zero_state();
    const size_t before = hostcuda::allocation_count();
    std::vector<DensityOperation> ops;
    for (int64_t q = 0; q < 4; ++q) {
        DensityOperation explicit_matrix = gate("m", q);
        explicit_matrix.has_stored_matrix = true;
        explicit_matrix.stored_matrix = {0.0, 1.0, 1.0, 0.0};
        ops.push_back(explicit_matrix);
        ops.push_back(channel("phase_flip", q, 0.5));
    }
    ASSERT_EQ(plan(8, ops).front().kind, DensityGroupKind::Fused);
    // Room for the pool (four 2x2 matrices) but not for the records.
    const size_t pool_bytes = 4 * 4 * sizeof(quorra::dravik::CuComplex<double>);
    setenv("QUORRA_HOSTCUDA_MEMORY_LIMIT", std::to_string(hostcuda::allocated_bytes() + pool_bytes).c_str(), 1);
    try {
        quorra::density::run_density_operations(*state, 8, ops);
        FAIL() << "expected an allocation failure";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "CUDA error: out of memory");
    }
    unsetenv("QUORRA_HOSTCUDA_MEMORY_LIMIT");
    EXPECT_EQ(hostcuda::allocation_count(), before);
    std::vector<quorra::dravik::CuComplex<double>> now(static_cast<size_t>(state->element_count()));
    state->download_density(now.data(), state->element_count());
    for (size_t i = 0; i < now.size(); ++i) {
        ASSERT_EQ(now[i].re, i == 0 ? 1.0 : 0.0) << i;
    }
    quorra::density::run_density_operations(*state, 8, ops);  // and the next run works
    EXPECT_EQ(hostcuda::allocation_count(), before);
}

TEST_F(FusedLauncherTest, RunnerReleasesPoolAndRecordsAfterAFusedRun) {
    setenv("QUORRA_DENSITY_FUSION", "1", 1);
    const size_t before = hostcuda::allocation_count();
    std::vector<DensityOperation> ops;
    for (int64_t q = 0; q < 5; ++q) {
        ops.push_back(gate("h", q));
    }
    const auto groups = plan(5, ops);
    ASSERT_EQ(groups.size(), 5u);  // n = 5 allows one active qubit
    quorra::density::run_density_operations(*state_, 5, ops);
    EXPECT_EQ(hostcuda::allocation_count(), before);
    std::vector<quorra::dravik::CuComplex<double>> now(static_cast<size_t>(state_->element_count()));
    state_->download_density(now.data(), state_->element_count());
    for (const auto& value : now) {  // |+><+| on every qubit: every element 1/32
        ASSERT_NEAR(value.re, 1.0 / 32, 1e-15);
    }
}

#endif

}  // namespace
