// The fusion group selection of both modules' planners: which of the operations not yet
// planned run next as one fused group. Plain C++ with no CUDA in it.
//
// The walk takes the remaining operations in list order and grows, for every qubit, the
// cone of that qubit: its last accepted operation and everything accepted before it that
// the operation depends on, with the qubits they touch. An operation that cannot join
// (unfusable, a qubit out of range, a blocked qubit, or a cone wider than the limit) ends
// the walk when it is unfusable, and otherwise blocks its qubits, so nothing later on them
// is pulled ahead of it. Then the largest cones that fit together are taken greedily (ties
// to the lowest qubit), each with every other cone it now covers; the rest lose what was
// taken. The result keeps every qubit's order, since a cone holds all it depends on.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorra {

// A set of accepted operations by their position in the walk (ascending positions are
// ascending indices). Words past a vector's end are zero.
using FusionCone = std::vector<uint64_t>;

inline void cone_or(FusionCone& into, const FusionCone& from) {
    if (into.size() < from.size()) {
        into.resize(from.size(), 0);
    }
    for (size_t w = 0; w < from.size(); ++w) {
        into[w] |= from[w];
    }
}

inline void cone_remove(FusionCone& from, const FusionCone& removed) {
    const size_t words = std::min(from.size(), removed.size());
    for (size_t w = 0; w < words; ++w) {
        from[w] &= ~removed[w];
    }
}

inline size_t cone_size(const FusionCone& cone) {
    size_t count = 0;
    for (const uint64_t word : cone) {
        count += static_cast<size_t>(std::popcount(word));
    }
    return count;
}

// The targets and controls of an operation, ascending, without repeats.
inline std::vector<int64_t> operation_qubits(const std::vector<int64_t>& targets,
                                             const std::vector<int64_t>& controls) {
    std::vector<int64_t> qubits(targets);
    qubits.insert(qubits.end(), controls.begin(), controls.end());
    std::sort(qubits.begin(), qubits.end());
    qubits.erase(std::unique(qubits.begin(), qubits.end()), qubits.end());
    return qubits;
}

// The next group of an n-qubit list (n <= 64), as ascending operation indices, possibly none.
// walk(visit) calls visit(index) for the remaining operations in ascending order until visit
// returns false. view.fusable(index) says whether the operation may join a group at all;
// view.qubits(index, mask) sets the mask of its targets and controls that lie in [0, n) and
// returns false when one does not (such an operation blocks the qubits it has). At most
// max_operations operations are examined; a group touches at most max_qubits qubits.
template <typename Walk, typename View>
std::vector<int64_t> select_fusion_group(int64_t n, Walk&& walk, View&& view, int64_t max_qubits,
                                         int64_t max_operations) {
    const auto qubit_count = static_cast<size_t>(n);
    const uint64_t all_qubits = n >= 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1;
    std::vector<uint64_t> cone_mask(qubit_count, 0);
    std::vector<FusionCone> cone_ops(qubit_count);
    std::vector<int64_t> accepted;  // operation index of each cone position
    uint64_t blocked = 0;

    // Phase 1: the cone of each qubit is its last accepted operation and everything before it.
    int64_t examined = 0;
    FusionCone cone;
    walk([&](int64_t index) {
        if (examined >= max_operations) {
            return false;
        }
        ++examined;
        if (!view.fusable(index)) {
            return false;  // a barrier: nothing after it joins this group
        }
        uint64_t qubits = 0;
        bool rejected = !view.qubits(index, qubits);
        rejected = rejected || (qubits & blocked) != 0;
        uint64_t mask = qubits;
        for (uint64_t rest = qubits; !rejected && rest != 0; rest &= rest - 1) {
            mask |= cone_mask[static_cast<size_t>(std::countr_zero(rest))];
        }
        if (rejected || std::popcount(mask) > max_qubits) {
            blocked |= qubits;
            // With every qubit blocked no later operation can be accepted: the walk is over.
            return blocked != all_qubits;
        }
        const size_t position = accepted.size();
        accepted.push_back(index);
        cone.assign(position / 64 + 1, 0);
        for (uint64_t rest = qubits; rest != 0; rest &= rest - 1) {
            cone_or(cone, cone_ops[static_cast<size_t>(std::countr_zero(rest))]);
        }
        cone[position / 64] |= uint64_t{1} << (position % 64);
        for (uint64_t rest = qubits; rest != 0; rest &= rest - 1) {
            const auto q = static_cast<size_t>(std::countr_zero(rest));
            cone_mask[q] = mask;
            cone_ops[q] = cone;
        }
        return true;
    });

    // Phase 2: greedily merge the largest cones that fit; ties go to the lowest qubit.
    std::vector<char> taken(qubit_count, 0);
    std::vector<size_t> sizes(qubit_count);
    for (size_t q = 0; q < qubit_count; ++q) {
        sizes[q] = cone_size(cone_ops[q]);
    }
    FusionCone selected;
    uint64_t covered = 0;
    for (;;) {
        int64_t best = -1;
        size_t best_size = 0;
        for (size_t q = 0; q < qubit_count; ++q) {
            if (taken[q] != 0 || sizes[q] <= best_size || std::popcount(covered | cone_mask[q]) > max_qubits) {
                continue;
            }
            best = static_cast<int64_t>(q);
            best_size = sizes[q];
        }
        if (best < 0) {
            break;
        }
        const FusionCone chosen = cone_ops[static_cast<size_t>(best)];
        cone_or(selected, chosen);
        covered |= cone_mask[static_cast<size_t>(best)];
        taken[static_cast<size_t>(best)] = 1;
        for (size_t q = 0; q < qubit_count; ++q) {
            if (taken[q] != 0) {
                continue;
            }
            if ((covered | cone_mask[q]) == covered) {
                cone_or(selected, cone_ops[q]);
                taken[q] = 1;
            } else {
                cone_remove(cone_ops[q], chosen);
                sizes[q] = cone_size(cone_ops[q]);
            }
        }
    }
    std::vector<int64_t> result;
    for (size_t w = 0; w < selected.size(); ++w) {
        for (uint64_t rest = selected[w]; rest != 0; rest &= rest - 1) {
            result.push_back(accepted[w * 64 + static_cast<size_t>(std::countr_zero(rest))]);
        }
    }
    return result;
}

}  // namespace quorra
