// The swap planner of a distributed state on listed cases (victim choice, batching, the
// naive swap-back baseline, relabelled SWAPs, diagonal gates and global controls that need
// no exchange) and its invariants on random circuits; gate localisation for one rank.
#include <gtest/gtest.h>

#include <algorithm>
#include <complex>
#include <cstdint>
#include <numbers>
#include <random>
#include <stdexcept>
#include <vector>

#include "distributed/velqa_gate_localize.hpp"
#include "distributed/velqa_swap_planner.hpp"
#include "runner/velqa_gate_record.hpp"

namespace {

using velqa::GateId;
using velqa::GateRecord;
// The planner and its vocabulary are what this file tests.
using namespace velqa::distributed;
using Indices = std::vector<int64_t>;
using Layout = std::vector<int32_t>;

GateRecord make_gate(GateId id, Indices target, Indices control = {}, std::vector<double> parameter = {}) {
    GateRecord g;
    g.id = id;
    g.target = std::move(target);
    g.control = std::move(control);
    g.control_state = Indices(g.control.size(), 1);
    g.parameter = std::move(parameter);
    return g;
}

GateRecord make_unitary(Indices target, std::vector<std::complex<double>> matrix) {
    GateRecord g = make_gate(GateId::UNITARY, std::move(target));
    g.matrix_dim = int64_t{1} << g.target.size();
    g.matrix = std::move(matrix);
    g.has_matrix = true;
    return g;
}

Layout identity(int64_t n) {
    Layout layout(static_cast<size_t>(n));
    for (int64_t q = 0; q < n; ++q) {
        layout[static_cast<size_t>(q)] = static_cast<int32_t>(q);
    }
    return layout;
}

int64_t count_kind(const SwapPlan& plan, StepKind kind) {
    return std::count_if(plan.steps.begin(), plan.steps.end(), [kind](const PlanStep& s) { return s.kind == kind; });
}

// Walks the plan: each gate exactly once and in order, its mixed qubits local when it runs,
// each round of distinct global and local bits within the global bit count, the final layout
// as reported, and the round counters matching the steps.
void check_plan(int64_t n, int64_t local_bits, const std::vector<GateRecord>& records, const Layout& start,
                const SwapPlan& plan) {
    Layout layout = start;
    int64_t next_gate = 0;
    int64_t rounds = 0;
    int64_t swaps = 0;
    for (const PlanStep& step : plan.steps) {
        if (step.kind == StepKind::SwapRound) {
            ++rounds;
            swaps += static_cast<int64_t>(step.swaps.size());
            ASSERT_FALSE(step.swaps.empty());
            ASSERT_LE(static_cast<int64_t>(step.swaps.size()), n - local_bits);
            std::vector<int32_t> seen;
            for (const auto& swap : step.swaps) {
                ASSERT_GE(swap.global_bit, local_bits);
                ASSERT_LT(swap.global_bit, n);
                ASSERT_GE(swap.local_bit, 0);
                ASSERT_LT(swap.local_bit, local_bits);
                ASSERT_EQ(std::count(seen.begin(), seen.end(), swap.global_bit), 0);
                ASSERT_EQ(std::count(seen.begin(), seen.end(), swap.local_bit), 0);
                seen.push_back(swap.global_bit);
                seen.push_back(swap.local_bit);
            }
        } else {
            ASSERT_EQ(step.gate, next_gate);
            ++next_gate;
            for (const int64_t q : mixed_qubits(records[static_cast<size_t>(step.gate)])) {
                ASSERT_LT(layout[static_cast<size_t>(q)], local_bits) << "gate " << step.gate << " qubit " << q;
            }
        }
        apply_step_to_layout(step, records, layout);
    }
    EXPECT_EQ(next_gate, static_cast<int64_t>(records.size()));
    EXPECT_EQ(layout, plan.final_bit_of_qubit);
    EXPECT_EQ(rounds, plan.swap_rounds);
    EXPECT_EQ(swaps, plan.bit_swaps);
}

TEST(SwapPlanner, GlobalTargetIsSwappedWithTheLocalBitNeededLatest) {
    // 4 qubits, 3 local bits. H on global qubit 3 first; local qubit 0 is used next, qubit 1
    // after it, qubit 2 never: qubit 2's bit is the one to give up.
    const std::vector<GateRecord> records = {make_gate(GateId::H, {3}), make_gate(GateId::X, {0}),
                                             make_gate(GateId::X, {1})};
    const SwapPlan plan = plan_swaps(4, 3, records, identity(4));
    check_plan(4, 3, records, identity(4), plan);
    ASSERT_EQ(plan.steps.size(), 4U);
    ASSERT_EQ(plan.steps[0].kind, StepKind::SwapRound);
    ASSERT_EQ(plan.steps[0].swaps.size(), 1U);
    EXPECT_EQ(plan.steps[0].swaps[0].global_bit, 3);
    EXPECT_EQ(plan.steps[0].swaps[0].local_bit, 2);
    EXPECT_EQ(plan.final_bit_of_qubit, (Layout{0, 1, 3, 2}));
}

TEST(SwapPlanner, PermutationIsKeptSoARepeatedGlobalTargetNeedsOneRound) {
    std::vector<GateRecord> records;
    for (int i = 0; i < 5; ++i) {
        records.push_back(make_gate(GateId::H, {4}));
        records.push_back(make_gate(GateId::RX, {0}, {}, {0.3}));
    }
    const SwapPlan kept = plan_swaps(5, 3, records, identity(5));
    check_plan(5, 3, records, identity(5), kept);
    EXPECT_EQ(kept.swap_rounds, 1);
    SwapPlanOptions naive;
    naive.swap_back = true;
    const SwapPlan baseline = plan_swaps(5, 3, records, identity(5), naive);
    check_plan(5, 3, records, identity(5), baseline);
    EXPECT_EQ(baseline.swap_rounds, 10);  // in and back out for each of the five H gates
    EXPECT_EQ(baseline.final_bit_of_qubit, identity(5));
}

TEST(SwapPlanner, NaiveBaselineSwapsInDiagonalGatesAndPlainSwapsToo) {
    const std::vector<GateRecord> records = {make_gate(GateId::Z, {4}), make_gate(GateId::SWAP, {0, 4})};
    SwapPlanOptions naive;
    naive.swap_back = true;
    const SwapPlan baseline = plan_swaps(5, 3, records, identity(5), naive);
    check_plan(5, 3, records, identity(5), baseline);
    EXPECT_EQ(baseline.swap_rounds, 4);
    EXPECT_EQ(count_kind(baseline, StepKind::Relabel), 0);
    const SwapPlan kept = plan_swaps(5, 3, records, identity(5));
    EXPECT_EQ(kept.swap_rounds, 0);
}

TEST(SwapPlanner, FollowingGatesShareOneRound) {
    // Two global qubits (3 and 4) needed by consecutive gates: one round of two swaps.
    const std::vector<GateRecord> records = {make_gate(GateId::H, {3}), make_gate(GateId::H, {4}),
                                             make_gate(GateId::X, {0})};
    const SwapPlan plan = plan_swaps(5, 3, records, identity(5));
    check_plan(5, 3, records, identity(5), plan);
    EXPECT_EQ(plan.swap_rounds, 1);
    EXPECT_EQ(plan.bit_swaps, 2);
    ASSERT_EQ(plan.steps[0].kind, StepKind::SwapRound);
    // Qubit 0 is needed by the third gate, so neither swap gives up its bit.
    for (const auto& swap : plan.steps[0].swaps) {
        EXPECT_NE(swap.local_bit, 0);
    }
}

TEST(SwapPlanner, LookAheadNeverEvictsAQubitAGateInsideTheWindowMixes) {
    // 2 local bits. H(2) needs a swap; X(0) between it and H(3) pins qubit 0, so H(3) cannot
    // join the round (only qubit 1 could be given up, and H(2) already takes it).
    const std::vector<GateRecord> records = {make_gate(GateId::H, {2}), make_gate(GateId::X, {0}),
                                             make_gate(GateId::H, {3})};
    const SwapPlan plan = plan_swaps(4, 2, records, identity(4));
    check_plan(4, 2, records, identity(4), plan);
    EXPECT_EQ(plan.swap_rounds, 2);
}

TEST(SwapPlanner, DiagonalGatesAndGlobalControlsNeedNoExchange) {
    std::vector<std::complex<double>> diagonal(16, 0.0);
    for (int i = 0; i < 4; ++i) {
        diagonal[static_cast<size_t>(i * 5)] = std::polar(1.0, 0.1 * i);
    }
    const std::vector<GateRecord> records = {
        make_gate(GateId::Z, {4}),
        make_gate(GateId::S, {3}),
        make_gate(GateId::SDAG, {4}),
        make_gate(GateId::RZ, {3}, {}, {0.2}),
        make_gate(GateId::PHASE, {4}, {}, {0.4}),
        make_gate(GateId::GLOBAL_PHASE, {}, {4}, {0.5}),
        make_unitary({3, 4}, diagonal),
        make_gate(GateId::X, {0}, {3, 4}),
        make_gate(GateId::SWAP, {3, 4}),  // uncontrolled: a relabelling
    };
    const SwapPlan plan = plan_swaps(5, 3, records, identity(5));
    check_plan(5, 3, records, identity(5), plan);
    EXPECT_EQ(plan.swap_rounds, 0);
    EXPECT_EQ(count_kind(plan, StepKind::Relabel), 1);
    EXPECT_EQ(plan.final_bit_of_qubit, (Layout{0, 1, 2, 4, 3}));
}

TEST(SwapPlanner, NonDiagonalUnitaryAndControlledSwapAcrossTheBoundaryAreSwappedIn) {
    std::vector<std::complex<double>> dense(16, 0.5);
    const std::vector<GateRecord> records = {make_unitary({1, 4}, dense), make_gate(GateId::SWAP, {0, 3}, {2})};
    const SwapPlan plan = plan_swaps(5, 3, records, identity(5));
    check_plan(5, 3, records, identity(5), plan);
    EXPECT_GE(plan.swap_rounds, 1);
    EXPECT_LE(plan.swap_rounds, 2);
}

TEST(SwapPlanner, RefusesAGateThatMixesMoreQubitsThanASliceHolds) {
    std::vector<std::complex<double>> dense(64, 0.25);
    const std::vector<GateRecord> records = {make_unitary({0, 1, 4}, dense)};
    try {
        (void)plan_swaps(5, 2, records, identity(5));
        FAIL() << "no exception";
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), "UNITARY gate mixes 3 qubits but a rank holds only 2 local qubits");
    }
}

TEST(SwapPlanner, RefusesALayoutThatIsNotAPermutation) {
    EXPECT_THROW((void)plan_swaps(4, 2, {}, Layout{0, 1, 1, 3}), std::invalid_argument);
    EXPECT_THROW((void)plan_swaps(4, 2, {}, Layout{0, 1, 2}), std::invalid_argument);
}

// Random circuits of every gate kind on 6 to 12 qubits with 2 to 4 local bits, from a
// permuted start: the invariants hold, the kept permutation never needs more rounds or more
// swapped bits than the naive baseline, and planning twice gives the same plan.
TEST(SwapPlanner, RandomCircuitsKeepTheInvariants) {
    std::mt19937_64 rng(1234);
    const GateId kinds[] = {
        GateId::X,  GateId::Y,     GateId::Z, GateId::H,    GateId::S,       GateId::RX,           GateId::RY,
        GateId::RZ, GateId::PHASE, GateId::U, GateId::SWAP, GateId::UNITARY, GateId::GLOBAL_PHASE, GateId::SQRTX};
    for (int trial = 0; trial < 60; ++trial) {
        const int64_t n = 6 + static_cast<int64_t>(rng() % 7);
        const int64_t local_bits = 2 + static_cast<int64_t>(rng() % 3);
        Layout start = identity(n);
        std::shuffle(start.begin(), start.end(), rng);
        std::vector<GateRecord> records;
        for (int i = 0; i < 40; ++i) {
            Indices qubits(static_cast<size_t>(n));
            for (int64_t q = 0; q < n; ++q) {
                qubits[static_cast<size_t>(q)] = q;
            }
            std::shuffle(qubits.begin(), qubits.end(), rng);
            const GateId id = kinds[rng() % std::size(kinds)];
            const size_t ncontrols = rng() % 3;
            Indices controls(qubits.begin() + 2, qubits.begin() + 2 + static_cast<int64_t>(ncontrols));
            if (id == GateId::SWAP) {
                records.push_back(make_gate(id, {qubits[0], qubits[1]}, rng() % 2 ? controls : Indices{}));
            } else if (id == GateId::UNITARY) {
                records.push_back(make_unitary({qubits[0], qubits[1]}, std::vector<std::complex<double>>(16, 0.5)));
            } else if (id == GateId::GLOBAL_PHASE) {
                records.push_back(make_gate(id, {}, controls, {0.1}));
            } else {
                records.push_back(make_gate(id, {qubits[0]}, controls, {0.1, 0.2, 0.3}));
            }
        }
        const SwapPlan kept = plan_swaps(n, local_bits, records, start);
        check_plan(n, local_bits, records, start, kept);
        SwapPlanOptions naive;
        naive.swap_back = true;
        const SwapPlan baseline = plan_swaps(n, local_bits, records, start, naive);
        check_plan(n, local_bits, records, start, baseline);
        EXPECT_LE(kept.swap_rounds, baseline.swap_rounds);
        EXPECT_LE(kept.bit_swaps, baseline.bit_swaps);
        const SwapPlan again = plan_swaps(n, local_bits, records, start);
        EXPECT_EQ(again.final_bit_of_qubit, kept.final_bit_of_qubit);
        EXPECT_EQ(again.steps.size(), kept.steps.size());
    }
}

// Layout of 4 qubits with 2 local bits where qubit 2 holds global bit 2 (rank bit 0) and
// qubit 3 holds global bit 3 (rank bit 1).
TEST(GateLocalize, GlobalControlIsARankPredicate) {
    const GateRecord cx = make_gate(GateId::X, {0}, {3, 1});
    EXPECT_FALSE(localize_gate(cx, identity(4), 2, 0b01).has_value());
    const auto on = localize_gate(cx, identity(4), 2, 0b10);
    ASSERT_TRUE(on.has_value());
    EXPECT_EQ(on->control, (Indices{1}));
    EXPECT_EQ(on->control_state, (Indices{1}));
    EXPECT_EQ(on->target, (Indices{0}));
    GateRecord zero_control = cx;
    zero_control.control_state = {0, 1};
    EXPECT_TRUE(localize_gate(zero_control, identity(4), 2, 0b01).has_value());
    EXPECT_FALSE(localize_gate(zero_control, identity(4), 2, 0b10).has_value());
}

TEST(GateLocalize, DiagonalGateOnAGlobalTargetIsARankPhase) {
    constexpr double pi = std::numbers::pi;
    struct Case {
        GateRecord gate;
        double on_zero;  // NaN: nothing to run
        double on_one;
    };
    const double none = std::nan("");
    const Case cases[] = {
        {make_gate(GateId::Z, {2}), none, pi},
        {make_gate(GateId::S, {2}), none, pi / 2},
        {make_gate(GateId::SDAG, {2}), none, -pi / 2},
        {make_gate(GateId::PHASE, {2}, {}, {0.7}), none, 0.7},
        {make_gate(GateId::RZ, {2}, {}, {0.6}), -0.3, 0.3},
    };
    for (const Case& c : cases) {
        for (uint64_t rank = 0; rank < 2; ++rank) {
            const double expected = rank == 0 ? c.on_zero : c.on_one;
            const auto local = localize_gate(c.gate, identity(3), 2, rank);
            if (std::isnan(expected)) {
                EXPECT_FALSE(local.has_value());
                continue;
            }
            ASSERT_TRUE(local.has_value());
            EXPECT_EQ(local->id, GateId::GLOBAL_PHASE);
            ASSERT_EQ(local->parameter.size(), 1U);
            EXPECT_DOUBLE_EQ(local->parameter[0], expected);
        }
    }
}

TEST(GateLocalize, DiagonalUnitaryKeepsTheRanksPartOfItsDiagonal) {
    // targets [0, 2] with qubit 2 global (rank bit 0): rank 1 keeps entries 2 and 3.
    std::vector<std::complex<double>> matrix(16, 0.0);
    const std::complex<double> d[] = {{1, 0}, {0, 1}, {-1, 0}, {0, -1}};
    for (int i = 0; i < 4; ++i) {
        matrix[static_cast<size_t>(i * 5)] = d[i];
    }
    const auto local = localize_gate(make_unitary({0, 2}, matrix), identity(3), 2, 1);
    ASSERT_TRUE(local.has_value());
    EXPECT_EQ(local->target, (Indices{0}));
    ASSERT_EQ(local->matrix.size(), 4U);
    EXPECT_EQ(local->matrix[0], d[2]);
    EXPECT_EQ(local->matrix[3], d[3]);
    EXPECT_EQ(local->matrix[1], std::complex<double>(0.0, 0.0));
    // All targets global: one factor on a free local bit, or nothing when it is 1.
    std::vector<std::complex<double>> one_target = {{1, 0}, 0.0, 0.0, {0, 1}};
    const auto factor = localize_gate(make_unitary({2}, one_target), identity(3), 2, 1);
    ASSERT_TRUE(factor.has_value());
    EXPECT_EQ(factor->matrix[0], std::complex<double>(0, 1));
    EXPECT_EQ(factor->matrix[3], std::complex<double>(0, 1));
    EXPECT_FALSE(localize_gate(make_unitary({2}, one_target), identity(3), 2, 0).has_value());
    // Every local bit a control: the factor goes on the last control, which becomes the target.
    GateRecord all_controls = make_unitary({2}, one_target);
    all_controls.control = {0, 1};
    all_controls.control_state = {1, 0};
    const auto folded = localize_gate(all_controls, identity(3), 2, 1);
    ASSERT_TRUE(folded.has_value());
    EXPECT_EQ(folded->target, (Indices{1}));
    EXPECT_EQ(folded->control, (Indices{0}));
    EXPECT_EQ(folded->matrix[0], std::complex<double>(0, 1));  // control value 0: the 0 entry
    EXPECT_EQ(folded->matrix[3], std::complex<double>(1, 0));
}

TEST(GateLocalize, TargetsAreRenamedThroughTheLayout) {
    const Layout layout = {2, 0, 1};  // qubit 0 in bit 2 (global), qubit 1 in bit 0, qubit 2 in bit 1
    const auto h = localize_gate(make_gate(GateId::H, {2}, {1}), layout, 2, 0);
    ASSERT_TRUE(h.has_value());
    EXPECT_EQ(h->target, (Indices{1}));
    EXPECT_EQ(h->control, (Indices{0}));
    EXPECT_THROW((void)localize_gate(make_gate(GateId::H, {0}), layout, 2, 0), std::logic_error);
    EXPECT_THROW((void)localize_gate(make_gate(GateId::SWAP, {0, 1}), layout, 2, 0), std::logic_error);
    const auto swap = localize_gate(make_gate(GateId::SWAP, {2, 1}), layout, 2, 0);
    ASSERT_TRUE(swap.has_value());
    EXPECT_EQ(swap->target, (Indices{1, 0}));
}

TEST(GateLocalize, HashSeesEveryFieldThatChangesARun) {
    const std::vector<GateRecord> base = {make_gate(GateId::RX, {0}, {1}, {0.5})};
    auto changed = [&base](auto edit) {
        std::vector<GateRecord> copy = base;
        edit(copy[0]);
        return hash_gate_records(copy);
    };
    const uint64_t h = hash_gate_records(base);
    EXPECT_EQ(h, hash_gate_records(base));
    EXPECT_NE(h, changed([](GateRecord& g) { g.parameter[0] = 0.5000001; }));
    EXPECT_NE(h, changed([](GateRecord& g) { g.target[0] = 2; }));
    EXPECT_NE(h, changed([](GateRecord& g) { g.control_state[0] = 0; }));
    EXPECT_NE(h, changed([](GateRecord& g) { g.id = GateId::RY; }));
    EXPECT_NE(h, hash_gate_records({}));
}

}  // namespace
