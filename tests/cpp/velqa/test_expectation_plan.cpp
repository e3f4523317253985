// The host side of the Pauli expectation values: masks of a string in both endian orders, and
// the plan's invariants on random string sets (every string has a slot with its own masks, a
// pass holds slots of one flip mask only and at most kPauliMaxBatch, equal strings share a slot)
// with the phase factor written out once more from the letters.
#include <gtest/gtest.h>

#include <bit>
#include <complex>
#include <cstdint>
#include <random>
#include <set>
#include <vector>

#include "measure/velqa_expectation.hpp"

namespace {

using velqa::PauliMasks;
using velqa::PauliPlan;
using velqa::PauliString;

TEST(PauliMasks, FlipHoldsXAndYSignHoldsYAndZ) {
    const std::vector<PauliString> strings{{"XyZi", {0, 2, 5, 3}}};
    EXPECT_EQ(velqa::pauli_masks(6, strings, true)[0], (PauliMasks{0b000101, 0b100100}));
    // Big endian: qubit q is index bit n-1-q.
    EXPECT_EQ(velqa::pauli_masks(6, strings, false)[0], (PauliMasks{0b101000, 0b001001}));
}

// Re of i^y (c + (-1)^y conj(c)) per unit c = 1 (real part) or c = i (imaginary part), the
// pair sum the kernel forms, written out with complex arithmetic.
double expected_factor(int y, bool imag) {
    const std::complex<double> unit = imag ? std::complex<double>{0, 1} : std::complex<double>{1, 0};
    const std::complex<double> pair = unit + ((y % 2 == 0) ? 1.0 : -1.0) * std::conj(unit);
    return (std::pow(std::complex<double>{0, 1}, y) * pair).real();
}

TEST(PauliPlan, RandomSetsKeepTheInvariants) {
    std::mt19937_64 rng(17);
    for (int trial = 0; trial < 50; ++trial) {
        const int n = 1 + static_cast<int>(rng() % 8);
        std::vector<PauliMasks> strings;
        const size_t count = rng() % 80;
        for (size_t s = 0; s < count; ++s) {
            const uint64_t all = (uint64_t{1} << n) - 1;
            // Few flip masks, so that groups fill and split into several passes.
            strings.push_back(PauliMasks{(rng() % 3) & all, rng() & all});
            if (s % 7 == 3) {
                strings.push_back(strings.back());
            }
        }
        const PauliPlan plan = velqa::plan_pauli_passes(strings);
        ASSERT_EQ(plan.slot_of_string.size(), strings.size());
        for (size_t s = 0; s < strings.size(); ++s) {
            EXPECT_EQ(plan.slots.at(plan.slot_of_string[s]), strings[s]);
        }
        std::set<std::pair<uint64_t, uint64_t>> distinct;
        for (const PauliMasks& m : plan.slots) {
            EXPECT_TRUE(distinct.insert({m.flip, m.sign}).second) << "a slot is repeated";
        }
        size_t covered = 0;
        for (const PauliPlan::Pass& pass : plan.passes) {
            EXPECT_GE(pass.slot_count, 1U);
            EXPECT_LE(pass.slot_count, velqa::kPauliMaxBatch);
            EXPECT_EQ(pass.first_slot, covered);
            for (size_t j = pass.first_slot; j < pass.first_slot + pass.slot_count; ++j) {
                EXPECT_EQ(plan.slots[j].flip, pass.flip);
                const int y = std::popcount(plan.slots[j].flip & plan.slots[j].sign);
                if (pass.flip == 0) {
                    EXPECT_EQ(plan.factor[j], 1.0);
                    EXPECT_FALSE(plan.use_imag[j]);
                } else {
                    EXPECT_EQ(plan.use_imag[j], y % 2 == 1);
                    EXPECT_NEAR(plan.factor[j], expected_factor(y, y % 2 == 1), 1e-15) << "y = " << y;
                }
            }
            covered += pass.slot_count;
        }
        EXPECT_EQ(covered, plan.slots.size());
    }
}

}  // namespace
