// Measurement internals that Python cannot see: every drawing method against the plain
// one-search-per-draw rule, and the full probability vector of the device pass against a
// reference sum, over target layouts that take each of the pass's paths.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "measure/velqa_measure.cuh"
#include "measure/velqa_sampling.hpp"
#include "state/velqa_device_state.cuh"

namespace {

using velqa::DrawMethod;
using velqa::DrawResult;
using velqa::OutcomeCount;

// The draw rule written out once more, independently of the library: smallest o with
// cumulative[o] > r, else the last outcome.
uint64_t reference_outcome(const std::vector<double>& cumulative, uint64_t x) {
    const double r = static_cast<double>(x >> 11) * 0x1p-53 * cumulative.back();
    const auto above = std::upper_bound(cumulative.begin(), cumulative.end(), r);
    return above == cumulative.end() ? cumulative.size() - 1 : static_cast<uint64_t>(above - cumulative.begin());
}

std::vector<double> running_sums(std::vector<double> p) {
    for (size_t i = 1; i < p.size(); ++i) {
        p[i] += p[i - 1];
    }
    return p;
}

std::vector<std::pair<uint64_t, uint64_t>> sorted_counts(const std::vector<OutcomeCount>& counts) {
    std::vector<std::pair<uint64_t, uint64_t>> out;
    for (const OutcomeCount& c : counts) {
        out.emplace_back(c.outcome, c.shots);
    }
    std::sort(out.begin(), out.end());
    return out;
}

// Probability tables that stress the drawing: uniform, random, many zero outcomes, one
// dominant outcome with a crowd of tiny ones, and zeros at both ends.
std::vector<std::vector<double>> probability_tables() {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<std::vector<double>> tables;
    tables.push_back(std::vector<double>(2, 0.5));
    tables.push_back(std::vector<double>(1024, 3.0));
    for (const size_t size : {8U, 1024U, 1U << 17}) {
        std::vector<double> p(size);
        for (double& v : p) {
            v = unit(rng);
        }
        tables.push_back(p);
    }
    std::vector<double> sparse(4096, 0.0);
    for (size_t i = 0; i < sparse.size(); i += 97) {
        sparse[i] = unit(rng);
    }
    tables.push_back(sparse);
    std::vector<double> skewed(1 << 12, 1e-12);
    skewed[1000] = 1.0;
    tables.push_back(skewed);
    std::vector<double> ends(64, 1.0);
    ends.front() = ends.back() = 0.0;
    ends[1] = 0.0;
    tables.push_back(ends);
    return tables;
}

TEST(MeasureDraw, EveryMethodMatchesTheOneDrawRule) {
    const std::vector<DrawMethod> methods = {DrawMethod::Automatic, DrawMethod::Table, DrawMethod::Sorted};
    for (const std::vector<double>& p : probability_tables()) {
        const std::vector<double> cumulative = running_sums(p);
        for (const uint64_t shots : {uint64_t{1}, uint64_t{5}, uint64_t{100}, uint64_t{3000}, uint64_t{70000}}) {
            const uint64_t seed = 11 + shots;
            std::mt19937_64 engine(seed);
            std::vector<uint64_t> expected(cumulative.size(), 0);
            uint64_t expected_last = 0;
            for (uint64_t s = 0; s < shots; ++s) {
                expected_last = reference_outcome(cumulative, engine());
                ++expected[expected_last];
            }
            std::vector<std::pair<uint64_t, uint64_t>> expected_counts;
            for (uint64_t o = 0; o < expected.size(); ++o) {
                if (expected[o] != 0) {
                    expected_counts.emplace_back(o, expected[o]);
                }
                if (p[o] == 0.0) {
                    ASSERT_EQ(expected[o], 0U) << "reference drew an impossible outcome";
                }
            }
            for (const DrawMethod method : methods) {
                // A small chunk makes the sorted method merge several chunks.
                for (const uint64_t chunk : {velqa::kDefaultDrawChunk, uint64_t{37}}) {
                    const DrawResult result = velqa::draw_outcomes(cumulative, shots, seed, method, chunk);
                    EXPECT_EQ(sorted_counts(result.counts), expected_counts)
                        << "method " << static_cast<int>(method) << " outcomes " << p.size() << " shots " << shots
                        << " chunk " << chunk;
                    EXPECT_EQ(result.last, expected_last);
                }
            }
        }
    }
}

TEST(MeasureDraw, SearchMethodAndSingleKeys) {
    const std::vector<double> cumulative = running_sums({0.0, 1.0, 0.0, 2.0, 1.0, 0.0});
    // r = 0 falls below the first non-zero sum: outcome 1; r at a sum boundary moves on.
    EXPECT_EQ(velqa::outcome_for_key(cumulative, 0), 1U);
    const uint64_t quarter = uint64_t{1} << 51;  // u = 0.25, r = 1.0 = cumulative[1]
    EXPECT_EQ(velqa::outcome_for_key(cumulative, quarter), 3U);
    EXPECT_EQ(velqa::outcome_for_key(cumulative, (uint64_t{1} << 53) - 1), 4U);
    const DrawResult a = velqa::draw_outcomes(cumulative, 500, 3, DrawMethod::Search);
    const DrawResult b = velqa::draw_outcomes(cumulative, 500, 3, DrawMethod::Table);
    EXPECT_EQ(sorted_counts(a.counts), sorted_counts(b.counts));
    EXPECT_EQ(a.last, b.last);
}

// Dense counters list outcomes in ascending order; a single sorted chunk does too.
TEST(MeasureDraw, DenseAndSingleChunkCountsAscend) {
    const std::vector<double> cumulative = running_sums(std::vector<double>(16, 1.0));
    for (const DrawMethod method : {DrawMethod::Table, DrawMethod::Sorted}) {
        const DrawResult result = velqa::draw_outcomes(cumulative, 1000, 9, method);
        ASSERT_EQ(result.counts.size(), 16U);
        for (size_t i = 0; i < result.counts.size(); ++i) {
            EXPECT_EQ(result.counts[i].outcome, i);
        }
    }
}

TEST(MeasureBitString, MostSignificantOutcomeBitFirst) {
    EXPECT_EQ(velqa::outcome_bit_string(0b110, 3), "110");
    EXPECT_EQ(velqa::outcome_bit_string(1, 5), "00001");
    EXPECT_EQ(velqa::outcome_bit_string(0, 1), "0");
}

// Reference: outcome bit k-1-j is the bit of the index at qubit targets[j]'s position.
template <typename T>
std::vector<double> reference_probabilities(int64_t n, const std::vector<velqa::CuComplex<T>>& state,
                                            const std::vector<int64_t>& targets, bool little_endian) {
    const size_t k = targets.size();
    std::vector<double> probs(size_t{1} << k, 0.0);
    for (uint64_t i = 0; i < state.size(); ++i) {
        uint64_t outcome = 0;
        for (size_t j = 0; j < k; ++j) {
            const int64_t position = little_endian ? targets[j] : n - 1 - targets[j];
            outcome |= ((i >> position) & 1U) << (k - 1 - j);
        }
        const double re = state[i].re;
        const double im = state[i].im;
        probs[outcome] += re * re + im * im;
    }
    return probs;
}

template <typename T>
class MeasureProbabilities : public ::testing::Test {};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(MeasureProbabilities, Precisions);

TYPED_TEST(MeasureProbabilities, MatchReferenceForEveryLayout) {
    using T = TypeParam;
    const velqa::Precision precision = sizeof(T) == 4 ? velqa::Precision::Complex64 : velqa::Precision::Complex128;
    struct Case {
        int64_t n;
        std::vector<int64_t> targets;
    };
    // n < 8 (a block smaller than 256); targets only in the lane bits; all lane bits targets
    // (no block reduction); all high bits targets (four patterns per thread); one free high
    // bit (two patterns per thread); mixed layouts in caller order.
    const std::vector<Case> cases = {
        {1, {0}},
        {3, {2, 0}},
        {5, {1, 3, 4}},
        {8, {7, 0, 3}},
        {10, {0, 1, 2, 3, 4, 5, 6, 7}},
        {10, {9, 8}},
        {10, {3, 9}},
        {11, {8, 9, 10, 2}},
        {11, {9, 10}},
        {12, {0, 5, 11, 7, 2, 9}},
        {12, {11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0}},
        {12, {4}},
    };
    std::mt19937_64 rng(21);
    std::normal_distribution<double> normal(0.0, 1.0);
    for (const Case& c : cases) {
        std::vector<velqa::CuComplex<T>> host(size_t{1} << c.n);
        for (auto& a : host) {
            a = {static_cast<T>(normal(rng)), static_cast<T>(normal(rng))};
        }
        velqa::DeviceState state(c.n, precision, 0);
        state.upload(host.data(), state.num_state(), false);
        for (const bool little : {true, false}) {
            const std::vector<double> expected = reference_probabilities<T>(c.n, host, c.targets, little);
            const std::vector<double> got =
                velqa::measure_probabilities<T>(c.n, state.amplitudes<T>(), c.targets, little, 0);
            ASSERT_EQ(got.size(), expected.size());
            for (size_t o = 0; o < got.size(); ++o) {
                EXPECT_NEAR(got[o], expected[o], 1e-12 * (1.0 + expected[o]))
                    << "n " << c.n << " outcome " << o << " little " << little;
            }
        }
    }
}

}  // namespace

namespace {

// The probability pass adds per-chunk partial sums in a fixed order, so repeated runs give
// the same bits however the stand-in's worker threads pick up the blocks: the tests run with
// several workers (QUORRA_HOSTCUDA_THREADS), and QUORRA_HOSTCUDA_SPREAD sends even these small
// grids to them. Layouts: one high target (many chunks per
// outcome), lane targets with free high bits, many outcomes with one chunk each.
TYPED_TEST(MeasureProbabilities, RepeatedRunsGiveTheSameBits) {
    using T = TypeParam;
    const velqa::Precision precision = sizeof(T) == 4 ? velqa::Precision::Complex64 : velqa::Precision::Complex128;
    setenv("QUORRA_HOSTCUDA_SPREAD", "1", 1);
    constexpr int64_t kN = 16;
    const std::vector<std::vector<int64_t>> layouts = {{15}, {2, 0, 5}, {4, 9, 12, 15, 8, 11, 13, 10, 14, 3}};
    std::mt19937_64 rng(5);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::vector<velqa::CuComplex<T>> host(size_t{1} << kN);
    for (auto& a : host) {
        a = {static_cast<T>(normal(rng)), static_cast<T>(normal(rng))};
    }
    velqa::DeviceState state(kN, precision, 0);
    state.upload(host.data(), state.num_state(), false);
    for (const auto& targets : layouts) {
        for (const bool little : {true, false}) {
            const std::vector<double> first =
                velqa::measure_probabilities<T>(kN, state.amplitudes<T>(), targets, little, 0);
            const std::vector<double> expected = reference_probabilities<T>(kN, host, targets, little);
            ASSERT_EQ(first.size(), expected.size());
            for (size_t o = 0; o < first.size(); ++o) {
                EXPECT_NEAR(first[o], expected[o], 1e-11 * (1.0 + expected[o])) << "outcome " << o;
            }
            for (int run = 0; run < 4; ++run) {
                const std::vector<double> again =
                    velqa::measure_probabilities<T>(kN, state.amplitudes<T>(), targets, little, 0);
                ASSERT_EQ(again.size(), first.size());
                EXPECT_EQ(std::memcmp(again.data(), first.data(), first.size() * sizeof(double)), 0)
                    << "run " << run << ", k " << targets.size() << ", little " << little;
            }
        }
    }
    unsetenv("QUORRA_HOSTCUDA_SPREAD");
}

}  // namespace
