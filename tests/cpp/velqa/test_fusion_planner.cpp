// The fusion planner on the listed planning cases (group kinds, cost table, barriers, tie
// rules, blocked qubits) and its invariants on random circuits: every gate in exactly one
// group, per-qubit order kept, group width within the limit, identical plans on repeat.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdint>
#include <random>
#include <vector>

#include "fusion/velqa_fusion_planner.hpp"
#include "fusion/velqa_matrix_gate.hpp"
#include "runner/velqa_gate_record.hpp"

namespace {

using velqa::GateId;
using velqa::GateRecord;
using velqa::fusion::DenseMMCostRow;
using velqa::fusion::FusionGroup;
using velqa::fusion::FusionGroupKind;
using velqa::fusion::FusionOptions;
using velqa::fusion::FusionPlan;
using velqa::fusion::plan_fusion_chunk;
using velqa::fusion::select_fusion_gates;
using Indices = std::vector<int64_t>;

GateRecord make_gate(GateId id, Indices target, Indices control = {}, Indices control_state = {},
                     std::vector<double> parameter = {}) {
    GateRecord g;
    g.id = id;
    g.target = std::move(target);
    g.control = std::move(control);
    g.control_state = control_state.empty() ? Indices(g.control.size(), 1) : std::move(control_state);
    g.parameter = std::move(parameter);
    return g;
}

Indices range(int64_t count) {
    Indices out(static_cast<size_t>(count));
    for (int64_t i = 0; i < count; ++i) {
        out[static_cast<size_t>(i)] = i;
    }
    return out;
}

std::vector<Indices> group_indices(const FusionPlan& plan) {
    std::vector<Indices> out;
    for (const FusionGroup& g : plan.groups) {
        out.push_back(g.gate_indices);
    }
    return out;
}

// ---- cost table ----

TEST(DenseMMCost, BreakpointRowsAndFixedColumns) {
    const DenseMMCostRow row = velqa::fusion::densemm_cost(14, 1);
    EXPECT_DOUBLE_EQ(row.base, 0.2267309915);
    EXPECT_DOUBLE_EQ(row.weight_h, 0.4663068114);
    EXPECT_DOUBLE_EQ(row.weight_diagonal, 0.4305625079);
    EXPECT_DOUBLE_EQ(row.weight_rxy, 0.4126543972);
    EXPECT_DOUBLE_EQ(row.dense, 19.2041906135);
    EXPECT_EQ(row.weight_x, 0.0);
    EXPECT_EQ(row.weight_y, 0.0);
    EXPECT_EQ(row.weight_swap, 0.0);
    EXPECT_EQ(row.weight_generic, 1.0);
    const DenseMMCostRow r20 = velqa::fusion::densemm_cost(20, 5);
    EXPECT_DOUBLE_EQ(r20.base, 0.0355785774);
    EXPECT_DOUBLE_EQ(r20.dense, 8.5296332301);
    const DenseMMCostRow r22 = velqa::fusion::densemm_cost(22, 7);
    EXPECT_DOUBLE_EQ(r22.weight_rxy, 0.3377141553);
    EXPECT_DOUBLE_EQ(r22.dense, 48.1268758089);
}

TEST(DenseMMCost, InterpolatesBetweenBreakpointsAndClampsOutside) {
    const DenseMMCostRow mid = velqa::fusion::densemm_cost(19, 4);
    EXPECT_DOUBLE_EQ(mid.base, (0.0273214964 + 0.035598456) / 2);
    EXPECT_DOUBLE_EQ(mid.weight_h, (0.3805148485 + 0.4557457366) / 2);
    EXPECT_DOUBLE_EQ(mid.dense, (4.1132001103 + 5.361101005) / 2);
    EXPECT_EQ(mid.weight_generic, 1.0);
    const DenseMMCostRow low = velqa::fusion::densemm_cost(3, 2);
    EXPECT_DOUBLE_EQ(low.dense, 8.5737386278);
    const DenseMMCostRow high = velqa::fusion::densemm_cost(40, 3);
    EXPECT_DOUBLE_EQ(high.dense, 12.7023134529);
    EXPECT_DOUBLE_EQ(high.base, 0.041750792);
    const DenseMMCostRow wide = velqa::fusion::densemm_cost(24, 9);
    EXPECT_DOUBLE_EQ(wide.dense, 45.1368155348);
    const DenseMMCostRow narrow = velqa::fusion::densemm_cost(16, 0);
    EXPECT_DOUBLE_EQ(narrow.dense, 57.6349677667);
    const DenseMMCostRow quarter = velqa::fusion::densemm_cost(21, 1);
    EXPECT_DOUBLE_EQ(quarter.dense, 64.7908634594 + 0.5 * (65.187438734 - 64.7908634594));
}

// ---- kinds, padding, the score ----

TEST(FusionPlanner, EmptyAndSingleGateChunks) {
    const FusionPlan empty = plan_fusion_chunk(5, {}, FusionOptions{});
    EXPECT_TRUE(empty.groups.empty());
    EXPECT_EQ(empty.total_matrix_gates, 0u);
    EXPECT_EQ(empty.total_dense_elements, 0u);
    for (const GateRecord& g : {make_gate(GateId::H, {0}), make_gate(GateId::GLOBAL_PHASE, {}, {}, {}, {0.3}),
                                make_gate(GateId::SWAP, {0, 3})}) {
        const FusionPlan plan = plan_fusion_chunk(5, {g}, FusionOptions{});
        ASSERT_EQ(plan.groups.size(), 1u);
        EXPECT_EQ(plan.groups[0].kind, FusionGroupKind::AutoPair);
        EXPECT_EQ(plan.groups[0].gate_indices, Indices{0});
        EXPECT_TRUE(plan.groups[0].matrix_gates.empty());
        EXPECT_EQ(plan.total_matrix_gates, 0u);
    }
}

TEST(FusionPlanner, TwoHadamardsFormAPaddedSparseShareMemGroup) {
    const std::vector<GateRecord> gates = {make_gate(GateId::H, {0}), make_gate(GateId::H, {0})};
    const FusionPlan plan = plan_fusion_chunk(14, gates, FusionOptions{});
    ASSERT_EQ(plan.groups.size(), 1u);
    const FusionGroup& g = plan.groups[0];
    EXPECT_EQ(g.kind, FusionGroupKind::SparseShareMem);
    EXPECT_EQ(g.active_qubits, range(10));
    ASSERT_EQ(g.matrix_gates.size(), 2u);
    EXPECT_EQ(g.matrix_gates[0].kind, static_cast<int32_t>(velqa::fusion::MatrixGateKind::Hadamard));
    EXPECT_EQ(g.matrix_gates[0].target0, 0);
    EXPECT_EQ(plan.total_matrix_gates, 2u);
    FusionOptions unpadded;
    unpadded.pad_sparsesharemem = false;
    EXPECT_EQ(plan_fusion_chunk(14, gates, unpadded).groups[0].active_qubits, Indices{0});
    // Padding never goes beyond the state.
    EXPECT_EQ(plan_fusion_chunk(3, gates, FusionOptions{}).groups[0].active_qubits, range(3));
}

std::vector<GateRecord> rx_on_five_qubits(int count) {
    std::vector<GateRecord> gates;
    for (int i = 0; i < count; ++i) {
        gates.push_back(make_gate(GateId::RX, {i % 5}, {}, {}, {0.1 * (i + 1)}));
    }
    return gates;
}

TEST(FusionPlanner, TwentyRotationsStayInSharedMemoryTwentyOneGoDense) {
    const FusionPlan twenty = plan_fusion_chunk(20, rx_on_five_qubits(20), FusionOptions{});
    ASSERT_EQ(twenty.groups.size(), 1u);
    EXPECT_EQ(twenty.groups[0].kind, FusionGroupKind::SparseShareMem);
    EXPECT_EQ(twenty.groups[0].active_qubits.size(), 10u);

    const FusionPlan twenty_one = plan_fusion_chunk(20, rx_on_five_qubits(21), FusionOptions{});
    ASSERT_EQ(twenty_one.groups.size(), 1u);
    const FusionGroup& g = twenty_one.groups[0];
    EXPECT_EQ(g.kind, FusionGroupKind::DenseMM);
    EXPECT_EQ(g.active_qubits, range(5));
    EXPECT_EQ(g.dense_matrix.size(), 1024u);
    EXPECT_EQ(g.matrix_gates.size(), 21u);
    EXPECT_EQ(twenty_one.total_dense_elements, 1024u);
    EXPECT_EQ(twenty_one.total_matrix_gates, 0u);

    // k < n fails on five qubits; a threshold scale of 0 sends any eligible group to DenseMM.
    EXPECT_EQ(plan_fusion_chunk(5, rx_on_five_qubits(40), FusionOptions{}).groups[0].kind,
              FusionGroupKind::SparseShareMem);
    FusionOptions eager;
    eager.densemm_gate_threshold_scale = 0.0;
    EXPECT_EQ(plan_fusion_chunk(20, rx_on_five_qubits(2), eager).groups[0].kind, FusionGroupKind::DenseMM);
    FusionOptions narrow;
    narrow.densemm_max_qubits = 4;
    EXPECT_EQ(plan_fusion_chunk(20, rx_on_five_qubits(40), narrow).groups[0].kind, FusionGroupKind::SparseShareMem);
}

TEST(FusionPlanner, ControlsHalveAGateWeight) {
    // n = 14, k = 2: dense 8.5737386278. Generic gates weigh base + 2^-c.
    const auto sqrtx_group = [](int count, int controls) {
        std::vector<GateRecord> gates;
        for (int i = 0; i < count; ++i) {
            gates.push_back(controls == 0 ? make_gate(GateId::SQRTX, {0}) : make_gate(GateId::SQRTX, {0}, {1}));
        }
        if (controls == 0) {
            gates.push_back(make_gate(GateId::SQRTX, {1}));
        }
        return plan_fusion_chunk(14, gates, FusionOptions{}).groups[0].kind;
    };
    // 7 uncontrolled + 1: 8 x 1.19 = 9.5 > 8.57; controlled: 7 x 0.69 = 4.9 and 13 x 0.69 = 9.0.
    EXPECT_EQ(sqrtx_group(7, 0), FusionGroupKind::DenseMM);
    EXPECT_EQ(sqrtx_group(7, 1), FusionGroupKind::SparseShareMem);
    EXPECT_EQ(sqrtx_group(13, 1), FusionGroupKind::DenseMM);
}

// ---- barriers ----

TEST(FusionPlanner, GlobalPhaseAndWideUnitaryAreBarriers) {
    GateRecord wide = make_gate(GateId::UNITARY, {0, 1});
    wide.matrix_dim = 4;
    wide.matrix.assign(16, 0.0);
    for (const GateRecord& barrier : {make_gate(GateId::GLOBAL_PHASE, {}, {}, {}, {0.5}), wide}) {
        const std::vector<GateRecord> gates = {make_gate(GateId::H, {0}), make_gate(GateId::X, {1}), barrier,
                                               make_gate(GateId::H, {0}), make_gate(GateId::Z, {2})};
        const FusionPlan plan = plan_fusion_chunk(6, gates, FusionOptions{});
        EXPECT_EQ(group_indices(plan), (std::vector<Indices>{{0, 1}, {2}, {3, 4}}));
        EXPECT_EQ(plan.groups[1].kind, FusionGroupKind::AutoPair);
        EXPECT_EQ(plan.groups[2].matrix_gate_offset, 2u);
        EXPECT_EQ(plan.total_matrix_gates, 4u);
    }
}

TEST(FusionPlanner, SwapFusesOnlyWhenAllowedAndOnDistinctQubits) {
    const std::vector<GateRecord> gates = {make_gate(GateId::H, {0}), make_gate(GateId::SWAP, {0, 2}),
                                           make_gate(GateId::H, {2})};
    const FusionPlan fused = plan_fusion_chunk(6, gates, FusionOptions{});
    EXPECT_EQ(group_indices(fused), (std::vector<Indices>{{0, 1, 2}}));
    EXPECT_EQ(fused.groups[0].matrix_gates[1].kind, static_cast<int32_t>(velqa::fusion::MatrixGateKind::Swap));
    EXPECT_EQ(fused.groups[0].matrix_gates[1].target1, 2);
    FusionOptions no_swap;
    no_swap.fuse_swap = false;
    const FusionPlan barred = plan_fusion_chunk(6, gates, no_swap);
    EXPECT_EQ(group_indices(barred), (std::vector<Indices>{{0}, {1}, {2}}));
    for (const FusionGroup& g : barred.groups) {
        EXPECT_EQ(g.kind, FusionGroupKind::AutoPair);
    }
    const std::vector<GateRecord> same = {make_gate(GateId::H, {0}), make_gate(GateId::SWAP, {1, 1}),
                                          make_gate(GateId::H, {1})};
    EXPECT_EQ(group_indices(plan_fusion_chunk(6, same, FusionOptions{})), (std::vector<Indices>{{0}, {1}, {2}}));
}

TEST(FusionPlanner, FusabilityOfGates) {
    using velqa::fusion::is_fusable;
    EXPECT_TRUE(is_fusable(make_gate(GateId::X, {0}, {1, 2}), false));
    EXPECT_FALSE(is_fusable(make_gate(GateId::X, {0}, {1}, {1, 0}), true));  // control lists differ
    EXPECT_FALSE(is_fusable(make_gate(GateId::X, {0, 1}), true));            // two targets
    EXPECT_FALSE(is_fusable(make_gate(GateId::RX, {0}), true));              // missing angle
    EXPECT_FALSE(is_fusable(make_gate(GateId::U, {0}, {}, {}, {0.1, 0.2}), true));
    EXPECT_TRUE(is_fusable(make_gate(GateId::U, {0}, {}, {}, {0.1, 0.2, 0.3}), true));
    EXPECT_FALSE(is_fusable(make_gate(GateId::GLOBAL_PHASE, {0}, {}, {}, {0.1}), true));
    EXPECT_TRUE(is_fusable(make_gate(GateId::SWAP, {0, 1}), true));
    EXPECT_FALSE(is_fusable(make_gate(GateId::SWAP, {0, 1}), false));
    GateRecord one = make_gate(GateId::UNITARY, {3});
    one.matrix_dim = 2;
    one.matrix = {0.0, 1.0, 1.0, 0.0};
    EXPECT_TRUE(is_fusable(one, true));
    one.matrix.pop_back();
    EXPECT_FALSE(is_fusable(one, true));
}

// ---- blocking and tie rules ----

TEST(FusionPlanner, RejectedControlledGateBlocksItsQubits) {
    FusionOptions one_qubit;
    one_qubit.sparsesharemem_qubits = 1;
    const std::vector<GateRecord> gates = {make_gate(GateId::X, {0}), make_gate(GateId::X, {1}, {0}),
                                           make_gate(GateId::X, {2})};
    const FusionPlan plan = plan_fusion_chunk(5, gates, one_qubit);
    EXPECT_EQ(group_indices(plan), (std::vector<Indices>{{0}, {2}, {1}}));
    for (const FusionGroup& g : plan.groups) {
        EXPECT_EQ(g.kind, FusionGroupKind::AutoPair);
    }
}

TEST(FusionPlanner, TwoQubitLimitSplitsTheChainAndTiesGoToTheLowerQubit) {
    const std::vector<GateRecord> gates = {make_gate(GateId::H, {0}), make_gate(GateId::X, {1}, {0}),
                                           make_gate(GateId::H, {2}), make_gate(GateId::X, {2}, {1})};
    EXPECT_EQ(select_fusion_gates(20, gates, range(4), 2, 512, true), (Indices{0, 1}));
    FusionOptions two;
    two.sparsesharemem_qubits = 2;
    const FusionPlan plan = plan_fusion_chunk(20, gates, two);
    ASSERT_EQ(group_indices(plan), (std::vector<Indices>{{0, 1}, {2, 3}}));
    EXPECT_EQ(plan.groups[0].kind, FusionGroupKind::SparseShareMem);
    EXPECT_EQ(plan.groups[0].active_qubits, (Indices{0, 1}));
    EXPECT_EQ(plan.groups[1].active_qubits, (Indices{1, 2}));
    EXPECT_EQ(select_fusion_gates(20, gates, Indices{2, 3}, 2, 512, true), (Indices{2, 3}));
}

TEST(FusionPlanner, EqualConesPickTheLowerQubitFirst) {
    // Cones of two gates on qubits 3 and 5 cannot share a one-qubit group: qubit 3 wins.
    const std::vector<GateRecord> gates = {make_gate(GateId::H, {5}), make_gate(GateId::H, {3}),
                                           make_gate(GateId::Z, {5}), make_gate(GateId::Z, {3})};
    EXPECT_EQ(select_fusion_gates(8, gates, range(4), 1, 512, true), (Indices{1, 3}));
    // A larger cone beats a lower qubit.
    const std::vector<GateRecord> more = {make_gate(GateId::H, {5}), make_gate(GateId::H, {3}),
                                          make_gate(GateId::Z, {5}), make_gate(GateId::Z, {3}),
                                          make_gate(GateId::X, {5})};
    EXPECT_EQ(select_fusion_gates(8, more, range(5), 1, 512, true), (Indices{0, 2, 4}));
}

TEST(FusionPlanner, DisjointGatesMayPassARejectedGateButSharingOnesNever) {
    FusionOptions two;
    two.sparsesharemem_qubits = 2;
    // g2 touches three qubits and is rejected; g3 (qubit 4) is disjoint, g4 shares qubit 1.
    const std::vector<GateRecord> gates = {make_gate(GateId::H, {0}), make_gate(GateId::H, {1}),
                                           make_gate(GateId::X, {2}, {0, 1}), make_gate(GateId::H, {4}),
                                           make_gate(GateId::H, {1})};
    const FusionPlan plan = plan_fusion_chunk(6, gates, two);
    ASSERT_FALSE(plan.groups.empty());
    EXPECT_EQ(plan.groups[0].gate_indices, (Indices{0, 1}));
    Indices order;
    for (const FusionGroup& g : plan.groups) {
        order.insert(order.end(), g.gate_indices.begin(), g.gate_indices.end());
    }
    const auto at = [&order](int64_t i) { return std::find(order.begin(), order.end(), i) - order.begin(); };
    EXPECT_LT(at(3), at(2));
    EXPECT_GT(at(4), at(2));
}

TEST(FusionPlanner, OutOfRangeQubitsAreNeverFused) {
    const std::vector<GateRecord> gates = {make_gate(GateId::H, {0}), make_gate(GateId::H, {7}),
                                           make_gate(GateId::H, {0}), make_gate(GateId::X, {-1})};
    const FusionPlan plan = plan_fusion_chunk(4, gates, FusionOptions{});
    for (const FusionGroup& g : plan.groups) {
        if (g.kind != FusionGroupKind::AutoPair) {
            EXPECT_EQ(std::count(g.gate_indices.begin(), g.gate_indices.end(), 1), 0);
            EXPECT_EQ(std::count(g.gate_indices.begin(), g.gate_indices.end(), 3), 0);
        }
    }
}

TEST(FusionPlanner, NoExaminedGatesMeansOneGateGroups) {
    for (int32_t limit : {0, -3}) {
        FusionOptions none;
        none.max_gates_per_group = limit;
        const FusionPlan plan = plan_fusion_chunk(4, rx_on_five_qubits(6), none);
        EXPECT_EQ(group_indices(plan), (std::vector<Indices>{{0}, {1}, {2}, {3}, {4}, {5}}));
    }
    FusionOptions three;
    three.max_gates_per_group = 3;
    const FusionPlan plan = plan_fusion_chunk(8, rx_on_five_qubits(7), three);
    EXPECT_EQ(group_indices(plan), (std::vector<Indices>{{0, 1, 2}, {3, 4, 5}, {6}}));
}

TEST(FusionPlanner, RaisedLimitsPlanWideGroupsWithoutOverflow) {
    // Options are not checked when planning: a 40-qubit group is planned (and refused later,
    // when it is executed); its control bits beyond 31 must not overflow.
    FusionOptions wide;
    wide.sparsesharemem_qubits = 40;
    const std::vector<GateRecord> gates = {make_gate(GateId::X, {0}, {39}), make_gate(GateId::H, {38})};
    const FusionPlan plan = plan_fusion_chunk(40, gates, wide);
    ASSERT_EQ(plan.groups.size(), 1u);
    EXPECT_EQ(plan.groups[0].kind, FusionGroupKind::SparseShareMem);
    EXPECT_EQ(plan.groups[0].active_qubits, range(40));
    EXPECT_EQ(plan.groups[0].matrix_gates[0].control_mask, 0);
}

// ---- matrices ----

TEST(FusionMatrices, DenseMatrixIsTheProductInGateOrder) {
    // X then H on local bit 0 gives H x X.
    const Indices active = {0};
    const std::vector<velqa::fusion::DeviceMatrixGate<double>> records = {
        velqa::fusion::make_matrix_gate(make_gate(GateId::X, {0}), active),
        velqa::fusion::make_matrix_gate(make_gate(GateId::H, {0}), active)};
    const std::vector<std::complex<double>> m = velqa::fusion::build_dense_matrix(records, 1);
    const double r = 0.7071067811865475;
    EXPECT_DOUBLE_EQ(m[0].real(), r);
    EXPECT_DOUBLE_EQ(m[1].real(), r);
    EXPECT_DOUBLE_EQ(m[2].real(), -r);
    EXPECT_DOUBLE_EQ(m[3].real(), r);
}

TEST(FusionMatrices, ControlledSwapExchangesOnlyMatchingRows) {
    const Indices active = {1, 4, 6};
    const auto record = velqa::fusion::make_matrix_gate(make_gate(GateId::SWAP, {1, 4}, {6}, {0}), active);
    EXPECT_EQ(record.target0, 0);
    EXPECT_EQ(record.target1, 1);
    EXPECT_EQ(record.control_mask, 4);
    EXPECT_EQ(record.control_value, 0);
    const std::vector<std::complex<double>> m = velqa::fusion::build_dense_matrix({record}, 3);
    const auto expected_row = [](int i) { return (i & 4) == 0 && ((i & 1) != ((i >> 1) & 1)) ? i ^ 3 : i; };
    for (int i = 0; i < 8; ++i) {
        for (int c = 0; c < 8; ++c) {
            EXPECT_EQ(m[static_cast<size_t>(i * 8 + c)], std::complex<double>(c == expected_row(i) ? 1.0 : 0.0))
                << i << "," << c;
        }
    }
    EXPECT_THROW(velqa::fusion::make_matrix_gate(make_gate(GateId::SWAP, {1, 1}), active), std::invalid_argument);
    EXPECT_THROW(velqa::fusion::make_matrix_gate(make_gate(GateId::GLOBAL_PHASE, {1}, {}, {}, {0.1}), active),
                 std::invalid_argument);
}

// ---- invariants on random circuits ----

std::vector<GateRecord> random_circuit(std::mt19937_64& rng, int64_t n, int count) {
    std::uniform_int_distribution<int64_t> qubit(0, n - 1);
    std::uniform_int_distribution<int> kind(0, 9);
    std::uniform_real_distribution<double> angle(-3.0, 3.0);
    std::vector<GateRecord> gates;
    while (static_cast<int>(gates.size()) < count) {
        const int64_t a = qubit(rng);
        const int64_t b = qubit(rng);
        switch (kind(rng)) {
            case 0:
                gates.push_back(make_gate(GateId::H, {a}));
                break;
            case 1:
                gates.push_back(make_gate(GateId::RX, {a}, {}, {}, {angle(rng)}));
                break;
            case 2:
                gates.push_back(make_gate(GateId::RZ, {a}, {}, {}, {angle(rng)}));
                break;
            case 3:
                if (a != b) gates.push_back(make_gate(GateId::X, {a}, {b}, {static_cast<int64_t>(rng() & 1)}));
                break;
            case 4:
                if (a != b) gates.push_back(make_gate(GateId::SWAP, {a, b}));
                break;
            case 5:
                gates.push_back(make_gate(GateId::GLOBAL_PHASE, {}, {}, {}, {angle(rng)}));
                break;
            case 6:
                gates.push_back(make_gate(GateId::U, {a}, {}, {}, {angle(rng), angle(rng), angle(rng)}));
                break;
            default:
                gates.push_back(make_gate(GateId::SQRTY, {a}));
                break;
        }
    }
    return gates;
}

void expect_plan_invariants(int64_t n, const std::vector<GateRecord>& gates, const FusionPlan& plan,
                            const FusionOptions& options) {
    std::vector<int64_t> position(gates.size(), -1);
    int64_t next = 0;
    uint64_t records = 0;
    uint64_t elements = 0;
    for (const FusionGroup& g : plan.groups) {
        ASSERT_FALSE(g.gate_indices.empty());
        EXPECT_TRUE(std::is_sorted(g.gate_indices.begin(), g.gate_indices.end()));
        EXPECT_TRUE(std::is_sorted(g.active_qubits.begin(), g.active_qubits.end()));
        for (const int64_t i : g.gate_indices) {
            ASSERT_EQ(position[static_cast<size_t>(i)], -1) << "gate " << i << " planned twice";
            position[static_cast<size_t>(i)] = next++;
        }
        if (g.kind == FusionGroupKind::AutoPair) {
            EXPECT_EQ(g.gate_indices.size(), 1u);
            continue;
        }
        EXPECT_LE(static_cast<int64_t>(g.gate_indices.size()), options.max_gates_per_group);
        EXPECT_LE(static_cast<int64_t>(g.active_qubits.size()), std::max<int64_t>(options.sparsesharemem_qubits, 0));
        EXPECT_EQ(g.matrix_gates.size(), g.gate_indices.size());
        if (g.kind == FusionGroupKind::SparseShareMem) {
            EXPECT_EQ(g.matrix_gate_offset, records);
            records += g.matrix_gates.size();
        } else {
            EXPECT_EQ(g.dense_matrix_offset, elements);
            EXPECT_EQ(g.dense_matrix.size(), uint64_t{1} << (2 * g.active_qubits.size()));
            elements += g.dense_matrix.size();
        }
    }
    EXPECT_EQ(plan.total_matrix_gates, records);
    EXPECT_EQ(plan.total_dense_elements, elements);
    for (const int64_t p : position) {
        ASSERT_GE(p, 0) << "a gate was not planned";
    }
    // Two gates sharing a qubit (or two barriers) keep their input order.
    std::vector<int64_t> last_on_qubit(static_cast<size_t>(n), -1);
    int64_t last_barrier = -1;
    for (size_t i = 0; i < gates.size(); ++i) {
        const GateRecord& g = gates[i];
        const bool barrier = g.id == GateId::GLOBAL_PHASE;
        Indices qubits(g.target);
        qubits.insert(qubits.end(), g.control.begin(), g.control.end());
        if (barrier) {
            for (const int64_t j : last_on_qubit) {
                if (j >= 0) {
                    EXPECT_LT(position[static_cast<size_t>(j)], position[i]);
                }
            }
            last_barrier = static_cast<int64_t>(i);
        } else if (last_barrier >= 0) {
            EXPECT_GT(position[i], position[static_cast<size_t>(last_barrier)]);
        }
        for (const int64_t q : qubits) {
            const int64_t before = last_on_qubit[static_cast<size_t>(q)];
            if (before >= 0) {
                EXPECT_LT(position[static_cast<size_t>(before)], position[i]) << "gates " << before << ", " << i;
            }
            last_on_qubit[static_cast<size_t>(q)] = static_cast<int64_t>(i);
        }
    }
}

TEST(FusionPlanner, RandomCircuitsKeepEveryGateOnceAndPerQubitOrder) {
    std::mt19937_64 rng(2024);
    for (int trial = 0; trial < 30; ++trial) {
        const int64_t n = 2 + trial % 14;
        const std::vector<GateRecord> gates = random_circuit(rng, n, 120);
        FusionOptions options;
        options.sparsesharemem_qubits = 1 + trial % 10;
        options.max_gates_per_group = 5 + trial * 7;
        options.fuse_swap = trial % 3 != 0;
        options.densemm_gate_threshold_scale = trial % 2 == 0 ? 1.0 : 0.0;
        const FusionPlan plan = plan_fusion_chunk(n, gates, options);
        expect_plan_invariants(n, gates, plan, options);
        const FusionPlan again = plan_fusion_chunk(n, gates, options);
        ASSERT_EQ(group_indices(again), group_indices(plan));
        for (size_t g = 0; g < plan.groups.size(); ++g) {
            EXPECT_EQ(again.groups[g].kind, plan.groups[g].kind);
            EXPECT_EQ(again.groups[g].active_qubits, plan.groups[g].active_qubits);
            EXPECT_EQ(again.groups[g].dense_matrix, plan.groups[g].dense_matrix);
        }
    }
}

}  // namespace
