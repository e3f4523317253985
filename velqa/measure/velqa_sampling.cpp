// Host drawing of measurement outcomes: the table, sorted and search methods and the two
// histograms. Plain C++.
#include "velqa_sampling.hpp"

#include <algorithm>
#include <bit>
#include <optional>
#include <random>
#include <stdexcept>
#include <unordered_map>

namespace velqa {

namespace {

constexpr int kKeyBits = 53;
constexpr uint64_t kMaxReservedEntries = uint64_t{1} << 20;
constexpr uint64_t kTableMaxOutcomes = uint64_t{1} << 16;
constexpr uint64_t kShortRange = 8;

// r of a key; u = key * 2^-53 is exact, so r carries the one rounding of u * total.
inline double key_to_r(uint64_t key, double total) { return static_cast<double>(key) * 0x1p-53 * total; }

// The smallest o in [lo, hi) with cumulative[o] > r, or hi. Running sums never decrease,
// so this is a search for the first entry above r.
inline uint64_t first_above(const double* cumulative, uint64_t lo, uint64_t hi, double r) {
    if (hi - lo <= kShortRange) {
        while (lo < hi && !(cumulative[lo] > r)) {
            ++lo;
        }
        return lo;
    }
    return static_cast<uint64_t>(std::upper_bound(cumulative + lo, cumulative + hi, r) - cumulative);
}

// Outcome of r when the outcome is known to be at least `from`: gallops forward, so a
// walk over sorted draws costs O(log gap) per draw and touches the sums in order.
inline uint64_t advance(const double* cumulative, uint64_t last, uint64_t from, double r) {
    if (from >= last || cumulative[from] > r) {
        return from;
    }
    uint64_t lo = from;  // cumulative[lo] <= r
    uint64_t step = 1;
    uint64_t hi = 0;
    while (true) {
        hi = lo + step;
        if (hi >= last) {
            hi = last;
            break;
        }
        if (cumulative[hi] > r) {
            break;
        }
        lo = hi;
        step <<= 1;
    }
    return first_above(cumulative, lo + 1, hi, r);
}

// Dense counters when there are more draws than outcomes, a map otherwise, so memory
// follows the smaller of the two.
class Histogram {
public:
    Histogram(uint64_t outcomes, uint64_t shots) : dense_(shots > outcomes) {
        if (dense_) {
            counters_.assign(outcomes, 0);
        } else {
            map_.reserve(std::min(shots, kMaxReservedEntries));
        }
    }

    void add(uint64_t outcome, uint64_t shots) {
        if (dense_) {
            counters_[outcome] += shots;
        } else {
            map_[outcome] += shots;
        }
    }

    std::vector<OutcomeCount> take() {
        std::vector<OutcomeCount> counts;
        if (dense_) {
            for (uint64_t o = 0; o < counters_.size(); ++o) {
                if (counters_[o] != 0) {
                    counts.push_back({o, counters_[o]});
                }
            }
        } else {
            counts.reserve(map_.size());
            for (const auto& [outcome, shots] : map_) {
                counts.push_back({outcome, shots});
            }
        }
        return counts;
    }

private:
    bool dense_;
    std::vector<uint64_t> counters_;
    std::unordered_map<uint64_t, uint64_t> map_;
};

DrawResult draw_search(const std::vector<double>& cumulative, uint64_t shots, uint64_t seed) {
    std::mt19937_64 engine(seed);
    Histogram histogram(cumulative.size(), shots);
    DrawResult result;
    for (uint64_t s = 0; s < shots; ++s) {
        result.last = outcome_for_key(cumulative, engine() >> 11);
        histogram.add(result.last, 1);
    }
    result.counts = histogram.take();
    return result;
}

// bounds[b] is the outcome of the smallest key of bucket b (the top `bits` bits of the key);
// r grows with the key, so every key of bucket b has its outcome in [bounds[b], bounds[b+1]].
// The buckets are equally likely, so a draw scans about 1 + outcomes / 2^bits entries.
DrawResult draw_table(const std::vector<double>& cumulative, uint64_t shots, uint64_t seed) {
    const uint64_t outcomes = cumulative.size();
    const uint64_t last = outcomes - 1;
    const double total = cumulative.back();
    const double* cum = cumulative.data();
    const int bits = std::min(static_cast<int>(std::bit_width(last)) + 1, kKeyBits);
    const int shift = kKeyBits - bits;
    const uint64_t buckets = uint64_t{1} << bits;

    std::vector<uint32_t> bounds(buckets + 1);
    uint64_t o = 0;
    for (uint64_t b = 0; b < buckets; ++b) {
        const double r = key_to_r(b << shift, total);
        while (o < last && !(cum[o] > r)) {
            ++o;
        }
        bounds[b] = static_cast<uint32_t>(o);
    }
    bounds[buckets] = static_cast<uint32_t>(last);

    std::mt19937_64 engine(seed);
    Histogram histogram(outcomes, shots);
    uint64_t outcome = 0;
    for (uint64_t s = 0; s < shots; ++s) {
        const uint64_t key = engine() >> 11;
        const uint64_t b = key >> shift;
        outcome = first_above(cum, bounds[b], bounds[b + 1], key_to_r(key, total));
        histogram.add(outcome, 1);
    }
    DrawResult result;
    result.counts = histogram.take();
    result.last = outcome;
    return result;
}

// Sorts keys[0, count) by distributing them on their top bits, then sorting each small
// bucket; `scratch` receives the sorted keys.
void sort_keys(std::vector<uint64_t>& keys, std::vector<uint64_t>& scratch, uint64_t count) {
    const int bits = std::clamp(static_cast<int>(std::bit_width(count)) - 4, 1, 16);
    const int shift = kKeyBits - bits;
    std::vector<uint32_t> starts((size_t{1} << bits) + 1, 0);
    for (uint64_t i = 0; i < count; ++i) {
        ++starts[(keys[i] >> shift) + 1];
    }
    for (size_t b = 1; b < starts.size(); ++b) {
        starts[b] += starts[b - 1];
    }
    std::vector<uint32_t> fill(starts.begin(), starts.end() - 1);
    for (uint64_t i = 0; i < count; ++i) {
        scratch[fill[keys[i] >> shift]++] = keys[i];
    }
    for (size_t b = 0; b + 1 < starts.size(); ++b) {
        std::sort(scratch.begin() + starts[b], scratch.begin() + starts[b + 1]);
    }
}

// Draws chunk by chunk; the sorted draws of a chunk meet the running sums in one forward
// walk, and equal outcomes arrive as runs.
DrawResult draw_sorted(const std::vector<double>& cumulative, uint64_t shots, uint64_t seed, uint64_t chunk) {
    const uint64_t last = cumulative.size() - 1;
    const double total = cumulative.back();
    const double* cum = cumulative.data();
    const uint64_t capacity = std::min(shots, chunk);
    // With one chunk the runs already form the histogram, in outcome order.
    const bool one_chunk = shots <= chunk;
    std::optional<Histogram> histogram;
    if (!one_chunk) {
        histogram.emplace(cumulative.size(), shots);
    }

    std::mt19937_64 engine(seed);
    std::vector<uint64_t> keys(capacity);
    std::vector<uint64_t> sorted(capacity);
    DrawResult result;
    uint64_t final_key = 0;
    uint64_t remaining = shots;
    while (remaining != 0) {
        const uint64_t count = std::min(remaining, capacity);
        for (uint64_t i = 0; i < count; ++i) {
            keys[i] = engine() >> 11;
        }
        remaining -= count;
        if (remaining == 0) {
            final_key = keys[count - 1];
        }
        sort_keys(keys, sorted, count);

        uint64_t outcome = 0;
        uint64_t i = 0;
        while (i < count) {
            outcome = advance(cum, last, outcome, key_to_r(sorted[i], total));
            uint64_t j = i + 1;
            // Later keys are no smaller, so they keep this outcome while its sum stays above r.
            while (j < count && (outcome == last || cum[outcome] > key_to_r(sorted[j], total))) {
                ++j;
            }
            if (one_chunk) {
                result.counts.push_back({outcome, j - i});
            } else {
                histogram->add(outcome, j - i);
            }
            i = j;
        }
    }
    if (!one_chunk) {
        result.counts = histogram->take();
    }
    result.last = outcome_for_key(cumulative, final_key);
    return result;
}

}  // namespace

uint64_t outcome_for_key(const std::vector<double>& cumulative, uint64_t key) {
    const uint64_t last = cumulative.size() - 1;
    return first_above(cumulative.data(), 0, last, key_to_r(key, cumulative.back()));
}

DrawResult draw_outcomes(const std::vector<double>& cumulative, uint64_t shots, uint64_t seed, DrawMethod method,
                         uint64_t chunk) {
    if (cumulative.empty() || shots == 0 || chunk == 0) {
        throw std::invalid_argument("draw_outcomes needs outcomes, shots and a chunk size");
    }
    const uint64_t outcomes = cumulative.size();
    // The sorted method indexes a chunk with 32-bit offsets.
    chunk = std::min(chunk, uint64_t{1} << 31);
    if (method == DrawMethod::Automatic) {
        method = (outcomes <= kTableMaxOutcomes && shots >= outcomes / 16) ? DrawMethod::Table : DrawMethod::Sorted;
    }
    // The table stores outcomes in 32 bits.
    if (method == DrawMethod::Table && outcomes > (uint64_t{1} << 32)) {
        method = DrawMethod::Sorted;
    }
    switch (method) {
        case DrawMethod::Table:
            return draw_table(cumulative, shots, seed);
        case DrawMethod::Search:
            return draw_search(cumulative, shots, seed);
        default:
            return draw_sorted(cumulative, shots, seed, chunk);
    }
}

}  // namespace velqa
