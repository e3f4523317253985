// Index bits under a mask: deposits, and the sums and differences of deposits by which the
// shared-memory tile kernels step from one tile's base to the next, against a reference that
// places the bits one at a time.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <random>
#include <vector>

#include "gates/velqa_index_bits.cuh"

namespace {

// Bit i of value at the i-th lowest set bit of mask.
uint64_t reference_deposit(uint64_t value, uint64_t mask) {
    uint64_t result = 0;
    int i = 0;
    for (int b = 0; b < 64; ++b) {
        if (((mask >> b) & 1) != 0) {
            if (((value >> i) & 1) != 0) {
                result |= uint64_t{1} << b;
            }
            ++i;
        }
    }
    return result;
}

// The values a deposit under `mask` can carry: popcount(mask) low bits.
uint64_t width_mask(uint64_t mask) {
    const int width = std::popcount(mask);
    return width == 64 ? ~uint64_t{0} : (uint64_t{1} << width) - 1;
}

class MaskedArithmetic : public ::testing::TestWithParam<uint64_t> {};

// Sums and differences wrap modulo 2^popcount(mask), as the tile numbers of a launch do.
TEST_P(MaskedArithmetic, SumsAndDifferencesAreDepositsOfTheWrappedResult) {
    const uint64_t mask = GetParam();
    const uint64_t wrap = width_mask(mask);
    std::vector<uint64_t> values{0, 1, 2, wrap, wrap - 1, wrap >> 1, (wrap >> 1) + 1};
    std::mt19937_64 random(mask);
    for (int i = 0; i < 24; ++i) {
        values.push_back(random());
    }
    for (uint64_t& value : values) {
        value &= wrap;
    }
    for (const uint64_t a : values) {
        const uint64_t x = quorra::deposit_bits(a, mask);
        ASSERT_EQ(x, reference_deposit(a, mask)) << "a = " << a;
        for (const uint64_t b : values) {
            const uint64_t y = reference_deposit(b, mask);
            EXPECT_EQ(quorra::masked_add(x, y, mask), reference_deposit((a + b) & wrap, mask))
                << "a = " << a << ", b = " << b;
            EXPECT_EQ(quorra::masked_sub(x, y, mask), reference_deposit((a - b) & wrap, mask))
                << "a = " << a << ", b = " << b;
        }
    }
}

// A block starts one grid step before its first tile and steps onto each of its tiles in turn.
TEST_P(MaskedArithmetic, BlocksStepOntoEachOfTheirTiles) {
    const uint64_t mask = GetParam();
    const uint64_t wrap = width_mask(mask);
    const uint64_t tiles = std::popcount(mask) > 12 ? 4096 : wrap + 1;  // enough to walk
    for (const uint64_t grid : {uint64_t{1}, uint64_t{3}, uint64_t{64}, uint64_t{65535}}) {
        const uint64_t step = reference_deposit(grid, mask);
        for (const uint64_t block : {uint64_t{0}, uint64_t{1}, grid - 1, grid / 2}) {
            if (block >= tiles || block >= grid) {
                continue;
            }
            uint64_t base = quorra::masked_sub(reference_deposit(block, mask), step, mask);
            for (uint64_t t = block; t < tiles; t += grid) {
                base = quorra::masked_add(base, step, mask);
                ASSERT_EQ(base, reference_deposit(t, mask)) << "grid = " << grid << ", tile = " << t;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Masks, MaskedArithmetic,
                         ::testing::Values(uint64_t{0}, uint64_t{1}, uint64_t{0b101101}, ~uint64_t{0x3ff},
                                           uint64_t{0x8000000000000001}, uint64_t{0xaaaaaaaaaaaaaaaa},
                                           uint64_t{0x7ffffffffffffffe}, ~uint64_t{0}));

}  // namespace
