// Outcome ordering shared by both modules' probability calls.
// Host C++, compiled into each module.
#pragma once

#include <cstddef>
#include <vector>

namespace quorra {

// The measurement's outcome has targets[0] as its most significant bit; a probabilities
// call reports targets[0] as bit 0. Reverses the k bits of every outcome index.
inline std::vector<double> lsb_first_outcomes(const std::vector<double>& by_outcome, size_t k) {
    std::vector<double> probs(by_outcome.size());
    for (size_t o = 0; o < by_outcome.size(); ++o) {
        size_t r = 0;
        for (size_t j = 0; j < k; ++j) {
            r |= ((o >> (k - 1 - j)) & 1U) << j;
        }
        probs[r] = by_outcome[o];
    }
    return probs;
}

}  // namespace quorra
