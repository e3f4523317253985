// The fusion group selection both planners share (quorra_fusion_select.hpp), on random
// operation lists through a plain view: what either planner relies on, checked once.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <quorra_fusion_select.hpp>
#include <random>
#include <vector>

namespace {

struct Operation {
    std::vector<int64_t> qubits;  // targets and controls; may hold one outside the register
    bool fusable = true;
};

struct View {
    int64_t n;
    const std::vector<Operation>& ops;
    bool fusable(int64_t index) const { return ops[static_cast<size_t>(index)].fusable; }
    bool qubits(int64_t index, uint64_t& mask) const {
        bool inside = true;
        for (const int64_t q : ops[static_cast<size_t>(index)].qubits) {
            if (q < 0 || q >= n) {
                inside = false;
            } else {
                mask |= uint64_t{1} << q;
            }
        }
        return inside;
    }
};

uint64_t mask_of(const Operation& op, int64_t n) {
    uint64_t mask = 0;
    for (const int64_t q : op.qubits) {
        if (q >= 0 && q < n) {
            mask |= uint64_t{1} << q;
        }
    }
    return mask;
}

std::vector<Operation> random_operations(int64_t n, size_t count, std::mt19937_64& rng) {
    std::uniform_int_distribution<int64_t> qubit(0, n - 1);
    std::uniform_int_distribution<int> roll(0, 99);
    std::vector<Operation> ops(count);
    for (Operation& op : ops) {
        const int width = 1 + roll(rng) % 3;
        while (static_cast<int>(op.qubits.size()) < width) {
            const int64_t q = qubit(rng);
            if (std::find(op.qubits.begin(), op.qubits.end(), q) == op.qubits.end()) {
                op.qubits.push_back(q);
            }
        }
        const int kind = roll(rng);
        op.fusable = kind >= 3;  // a rare barrier
        if (kind >= 3 && kind < 6) {
            op.qubits.push_back(n + kind);  // a rare qubit outside the register
        }
    }
    return ops;
}

TEST(FusionSelect, GroupsKeepEveryQubitsOrderAndTheLimits) {
    std::mt19937_64 rng(11);
    for (int trial = 0; trial < 400; ++trial) {
        const int64_t n = 3 + trial % 10;
        const auto ops = random_operations(n, 5 + static_cast<size_t>(trial % 60), rng);
        // A random ascending subset stands for the operations not yet planned.
        std::vector<int64_t> remaining;
        for (size_t i = 0; i < ops.size(); ++i) {
            if (rng() % 4 != 0) {
                remaining.push_back(static_cast<int64_t>(i));
            }
        }
        const int64_t max_qubits = 1 + trial % 5;
        const int64_t max_operations = trial % 7 == 0 ? 3 : 1000;
        const auto walk = [&remaining](auto&& visit) {
            for (const int64_t index : remaining) {
                if (!visit(index)) {
                    return;
                }
            }
        };
        const std::vector<int64_t> group =
            quorra::select_fusion_group(n, walk, View{n, ops}, max_qubits, max_operations);
        SCOPED_TRACE(testing::Message() << "trial " << trial);

        ASSERT_TRUE(std::is_sorted(group.begin(), group.end()));
        ASSERT_EQ(std::adjacent_find(group.begin(), group.end()), group.end());
        uint64_t covered = 0;
        for (const int64_t index : group) {
            const auto at = std::find(remaining.begin(), remaining.end(), index);
            ASSERT_NE(at, remaining.end()) << index << " was not remaining";
            // Within the examined prefix, before any barrier, wholly inside the register.
            ASSERT_LT(at - remaining.begin(), max_operations);
            ASSERT_TRUE(
                std::all_of(remaining.begin(), at, [&](int64_t i) { return ops[static_cast<size_t>(i)].fusable; }));
            ASSERT_TRUE(ops[static_cast<size_t>(index)].fusable);
            const Operation& op = ops[static_cast<size_t>(index)];
            ASSERT_TRUE(std::all_of(op.qubits.begin(), op.qubits.end(), [n](int64_t q) { return q < n; }));
            covered |= mask_of(op, n);
            // Nothing left behind that must run before it: an earlier remaining operation
            // that shares a qubit with it is in the group too.
            for (auto earlier = remaining.begin(); earlier != at; ++earlier) {
                if ((mask_of(ops[static_cast<size_t>(*earlier)], n) & mask_of(op, n)) != 0) {
                    ASSERT_TRUE(std::binary_search(group.begin(), group.end(), *earlier))
                        << *earlier << " left behind before " << index;
                }
            }
        }
        ASSERT_LE(std::popcount(covered), max_qubits);
        // The first remaining operation makes progress when it can join at all; when it is a
        // barrier, nothing joins.
        if (!remaining.empty()) {
            const Operation& first = ops[static_cast<size_t>(remaining.front())];
            const bool joins =
                first.fusable &&
                std::all_of(first.qubits.begin(), first.qubits.end(), [n](int64_t q) { return q < n; }) &&
                std::popcount(mask_of(first, n)) <= max_qubits;
            if (joins) {
                EXPECT_FALSE(group.empty());
            }
            if (!first.fusable) {
                EXPECT_TRUE(group.empty());
            }
        }
    }
}

TEST(FusionSelect, TiesGoToTheLowestQubitAndTheOtherConeFollowsWhenItFits) {
    // Two chains of equal length on qubits {0} and {1}, a limit of one qubit: qubit 0 wins.
    const std::vector<Operation> ops = {{{1}}, {{0}}, {{1}}, {{0}}};
    const std::vector<int64_t> remaining = {0, 1, 2, 3};
    const auto walk = [&remaining](auto&& visit) {
        for (const int64_t index : remaining) {
            if (!visit(index)) {
                return;
            }
        }
    };
    EXPECT_EQ(quorra::select_fusion_group(2, walk, View{2, ops}, 1, 100), (std::vector<int64_t>{1, 3}));
    // With room for both, the other cone is taken in the next round.
    EXPECT_EQ(quorra::select_fusion_group(2, walk, View{2, ops}, 2, 100), (std::vector<int64_t>{0, 1, 2, 3}));
}

}  // namespace
