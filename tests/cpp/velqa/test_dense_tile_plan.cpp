// The tile plan of the dense products (velqa's UNITARY on three to five targets, dravik's
// density passes): every index bit is a tile bit, a tile-numbering bit or a control bit;
// the tile spans the targets and the lowest free bits; and the shared-memory slot of every
// tile element holds the element's local index (the target values in the caller's order)
// above its vector number (the free tile bits in ascending order).
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "quorra_dense_tile.cuh"
#include "quorra_dense_tile_plan.hpp"

namespace {

struct PlanCase {
    int index_bits;
    std::vector<int> positions;
    uint64_t control_mask;
    uint64_t control_value;
    int max_tile_bits;
};

TEST(DenseTilePlan, SlotsHoldLocalIndexAboveVectorNumber) {
    const std::vector<PlanCase> cases = {
        {12, {3, 0, 7}, 0b10, 0b10, 10},      {6, {5, 4, 3, 2, 1, 0}, 0, 0, 11},
        {28, {20, 15, 14}, 0b111, 0b101, 11}, {16, {9, 0, 12, 1, 8}, 0x4010, 0x10, 10},
        {4, {0, 3, 1}, 0b100, 0, 10},
    };
    for (const PlanCase& c : cases) {
        const quorra::DenseTilePlan plan =
            quorra::make_dense_tile_plan(c.index_bits, c.positions, c.control_mask, c.control_value, c.max_tile_bits);
        const int k = static_cast<int>(c.positions.size());
        uint64_t target_mask = 0;
        for (const int p : c.positions) {
            target_mask |= uint64_t{1} << p;
        }
        const uint64_t all = (uint64_t{1} << c.index_bits) - 1;
        const int free_count = std::popcount(all & ~target_mask & ~c.control_mask);
        EXPECT_EQ(plan.tile_bits, k + std::min(free_count, c.max_tile_bits - k));
        EXPECT_EQ(plan.vector_bits, plan.tile_bits - k);
        EXPECT_EQ(plan.control_value, c.control_value);
        EXPECT_EQ(plan.tiles, uint64_t{1} << std::popcount(plan.outer_mask));
        uint64_t tile_mask = 0;
        for (int b = 0; b < plan.tile_bits; ++b) {
            tile_mask |= uint64_t{1} << plan.position[b];
            if (b > 0) {
                EXPECT_LT(plan.position[b - 1], plan.position[b]);  // ascending index order
            }
        }
        EXPECT_EQ(tile_mask & plan.outer_mask, 0u);
        EXPECT_EQ(tile_mask & c.control_mask, 0u);
        EXPECT_EQ(plan.outer_mask & c.control_mask, 0u);
        EXPECT_EQ(tile_mask | plan.outer_mask | c.control_mask, all);
        EXPECT_EQ(tile_mask & target_mask, target_mask);
        // No free bit outside the tile lies below a free bit inside it.
        const uint64_t free_in_tile = tile_mask & ~target_mask;
        if (plan.outer_mask != 0 && free_in_tile != 0) {
            EXPECT_GT(std::countr_zero(plan.outer_mask), 63 - std::countl_zero(free_in_tile));
        }
        std::vector<int> seen(size_t{1} << plan.tile_bits, 0);
        for (uint64_t e = 0; e < (uint64_t{1} << plan.tile_bits); ++e) {
            const uint64_t index = quorra::dense_spread(e, plan.position, 0, plan.tile_bits);
            const uint64_t slot = quorra::dense_spread(e, plan.slot, 0, plan.tile_bits);
            ++seen[slot];
            uint64_t local = 0;
            for (int j = 0; j < k; ++j) {
                local |= ((index >> c.positions[static_cast<size_t>(j)]) & 1) << j;
            }
            EXPECT_EQ(slot >> plan.vector_bits, local);
            uint64_t vector = 0;
            int rank = 0;
            for (int p = 0; p < c.index_bits; ++p) {
                if (((free_in_tile >> p) & 1) != 0) {
                    vector |= ((index >> p) & 1) << rank++;
                }
            }
            EXPECT_EQ(slot & ((uint64_t{1} << plan.vector_bits) - 1), vector);
        }
        for (const int count : seen) {
            EXPECT_EQ(count, 1);  // a bijection of tile elements onto slots
        }
    }
}

TEST(DenseTilePlan, RefusesWhatTheKernelsCannotTake) {
    EXPECT_THROW(quorra::make_dense_tile_plan(8, {}, 0, 0, 10), std::invalid_argument);
    EXPECT_THROW(quorra::make_dense_tile_plan(8, {8}, 0, 0, 10), std::invalid_argument);
    EXPECT_THROW(quorra::make_dense_tile_plan(8, {2, 2}, 0, 0, 10), std::invalid_argument);
    EXPECT_THROW(quorra::make_dense_tile_plan(8, {2}, 0b100, 0b100, 10), std::invalid_argument);
    EXPECT_THROW(quorra::make_dense_tile_plan(8, {2}, 0b1, 0b10, 10), std::invalid_argument);
    EXPECT_THROW(quorra::make_dense_tile_plan(8, {2}, 0, 0, 12), std::invalid_argument);
}

}  // namespace
