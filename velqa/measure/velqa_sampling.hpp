// Drawing measurement outcomes on the host from the running sums of the outcome
// probabilities. Plain C++ (no CUDA); read by nvcc and g++ alike.
//
// The rule for one draw: take x, the next output of std::mt19937_64; key = x >> 11;
// r = (key * 2^-53) * total; the outcome is the smallest o with cumulative[o] > r, or the
// last outcome when none is. Every method below gives exactly the outcomes of that rule,
// draw for draw; they differ only in how many cache misses a draw costs.
#pragma once

#include <cstdint>
#include <vector>

namespace velqa {

struct OutcomeCount {
    uint64_t outcome;
    uint64_t shots;
};

struct DrawResult {
    // Outcomes drawn at least once, each once; the order is not part of the result.
    std::vector<OutcomeCount> counts;
    // Outcome of the final draw.
    uint64_t last = 0;
};

enum class DrawMethod {
    // Table for few outcomes and many draws, Sorted otherwise.
    Automatic,
    // A bucket table over the 53-bit key range finds each draw's outcome in O(1) expected
    // steps; for running sums that stay in cache.
    Table,
    // The draws of a chunk are sorted and matched against the running sums in one forward
    // walk; for running sums too large for the cache.
    Sorted,
    // One binary search per draw: the plain rule, kept as the reference for the others.
    Search,
};

// Draws per chunk of the sorted method: bounds its buffers (two arrays of 8-byte keys).
constexpr uint64_t kDefaultDrawChunk = uint64_t{1} << 21;

// The outcome of one key (x >> 11) under the rule above, by binary search.
uint64_t outcome_for_key(const std::vector<double>& cumulative, uint64_t key);

// `shots` (>= 1) draws from std::mt19937_64 seeded with `seed`. `cumulative` holds the
// running sums of the outcome probabilities in outcome order (non-decreasing, the last
// entry is the total, 0 < total < infinity). Counts go to a dense array of counters when
// there are more draws than outcomes, otherwise to a map sized by the draws.
DrawResult draw_outcomes(const std::vector<double>& cumulative, uint64_t shots, uint64_t seed,
                         DrawMethod method = DrawMethod::Automatic, uint64_t chunk = kDefaultDrawChunk);

}  // namespace velqa
