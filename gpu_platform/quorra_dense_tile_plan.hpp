// How a dense 2^K x 2^K matrix product on K index bits is cut into tiles that one block
// moves through shared memory. Plain C++, shared by velqa's UNITARY and dravik's two
// density passes; the device side is quorra_dense_tile.cuh.
//
// The index space has `index_bits` bits (a state vector's index, or row * D + column of a
// density matrix). A tile holds every value of the target bits and of the lowest free bits
// (neither target nor control), so consecutive tile elements are consecutive in memory
// wherever the low index bits are free or targets; the control bits are fixed to their
// required values, and the remaining bits number the tiles.
#pragma once

#include <bit>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace quorra {

constexpr int kDenseTileThreads = 256;
constexpr int kDenseTileMaxBits = 11;

struct DenseTilePlan {
    uint64_t outer_mask = 0;     // index bits that number the tiles
    uint64_t control_value = 0;  // the control bits every tile carries
    uint64_t tiles = 0;          // 2^popcount(outer_mask)
    int32_t tile_bits = 0;       // L: a tile holds 2^L elements
    int32_t vector_bits = 0;     // L - K: a tile holds 2^(L-K) vectors of 2^K elements
    // Tile bit b (its elements counted in ascending index order) is index bit position[b]
    // and bit slot[b] of the element's shared-memory slot, slot = local * 2^(L-K) + vector.
    int8_t position[kDenseTileMaxBits] = {};
    int8_t slot[kDenseTileMaxBits] = {};
};

// positions[j]: the index bit that carries bit j of the matrix's row and column index.
// Refuses plans the kernels cannot take; callers validate their records first.
inline DenseTilePlan make_dense_tile_plan(int index_bits, const std::vector<int>& positions, uint64_t control_mask,
                                          uint64_t control_value, int max_tile_bits) {
    const int k = static_cast<int>(positions.size());
    if (index_bits < 1 || index_bits > 63 || k < 1 || k > max_tile_bits || max_tile_bits > kDenseTileMaxBits) {
        throw std::invalid_argument("dense tile plan: bad index or target count");
    }
    const uint64_t all = (uint64_t{1} << index_bits) - 1;
    uint64_t target_mask = 0;
    for (const int p : positions) {
        if (p < 0 || p >= index_bits || ((target_mask >> p) & 1) != 0) {
            throw std::invalid_argument("dense tile plan: bad target position");
        }
        target_mask |= uint64_t{1} << p;
    }
    if ((control_mask & ~all) != 0 || (control_mask & target_mask) != 0 || (control_value & ~control_mask) != 0) {
        throw std::invalid_argument("dense tile plan: bad controls");
    }
    uint64_t tile_mask = target_mask;
    int free_bits = 0;
    for (int p = 0; p < index_bits && k + free_bits < max_tile_bits; ++p) {
        const uint64_t bit = uint64_t{1} << p;
        if (((target_mask | control_mask) & bit) == 0) {
            tile_mask |= bit;
            ++free_bits;
        }
    }
    DenseTilePlan plan;
    plan.tile_bits = k + free_bits;
    plan.vector_bits = free_bits;
    plan.outer_mask = all & ~tile_mask & ~control_mask;
    plan.control_value = control_value;
    plan.tiles = uint64_t{1} << std::popcount(plan.outer_mask);
    int b = 0;
    int free_rank = 0;
    for (int p = 0; p < index_bits; ++p) {
        if (((tile_mask >> p) & 1) == 0) {
            continue;
        }
        plan.position[b] = static_cast<int8_t>(p);
        int local = -1;
        for (int j = 0; j < k; ++j) {
            local = positions[static_cast<size_t>(j)] == p ? j : local;
        }
        plan.slot[b] = static_cast<int8_t>(local >= 0 ? free_bits + local : free_rank++);
        ++b;
    }
    return plan;
}

}  // namespace quorra
