// The swap planner of a distributed state. Plain C++ (no CUDA, no MPI).
#include "distributed/velqa_swap_planner.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>

#include "runner/velqa_gate_checks.hpp"

namespace velqa::distributed {

namespace {

constexpr int64_t kNever = std::numeric_limits<int64_t>::max();

bool matrix_is_diagonal(const GateRecord& record) {
    const auto dim = static_cast<size_t>(record.matrix_dim);
    if (dim == 0 || record.matrix.size() != dim * dim) {
        return false;
    }
    for (size_t row = 0; row < dim; ++row) {
        for (size_t col = 0; col < dim; ++col) {
            if (row != col && record.matrix[row * dim + col] != std::complex<double>(0.0, 0.0)) {
                return false;
            }
        }
    }
    return true;
}

bool contains(const std::vector<int64_t>& values, int64_t value) {
    return std::find(values.begin(), values.end(), value) != values.end();
}

// For each qubit, the ascending indices of the gates that mix it.
class NeedIndex {
public:
    NeedIndex(int64_t n, const std::vector<std::vector<int64_t>>& needs) : uses_(static_cast<size_t>(n)) {
        for (size_t i = 0; i < needs.size(); ++i) {
            for (const int64_t q : needs[i]) {
                uses_[static_cast<size_t>(q)].push_back(static_cast<int64_t>(i));
            }
        }
    }
    // The first gate at or after `from` that mixes q, or kNever.
    int64_t next(int64_t q, int64_t from) const {
        const std::vector<int64_t>& uses = uses_[static_cast<size_t>(q)];
        const auto it = std::lower_bound(uses.begin(), uses.end(), from);
        return it == uses.end() ? kNever : *it;
    }

private:
    std::vector<std::vector<int64_t>> uses_;
};

struct Layout {
    std::vector<int32_t> bit_of_qubit;
    std::vector<int64_t> qubit_at_bit;

    explicit Layout(const std::vector<int32_t>& bits) : bit_of_qubit(bits), qubit_at_bit(bits.size()) {
        for (size_t q = 0; q < bits.size(); ++q) {
            qubit_at_bit[static_cast<size_t>(bits[q])] = static_cast<int64_t>(q);
        }
    }
    void swap_bits(int32_t a, int32_t b) {
        const int64_t qa = qubit_at_bit[static_cast<size_t>(a)];
        const int64_t qb = qubit_at_bit[static_cast<size_t>(b)];
        qubit_at_bit[static_cast<size_t>(a)] = qb;
        qubit_at_bit[static_cast<size_t>(b)] = qa;
        bit_of_qubit[static_cast<size_t>(qa)] = b;
        bit_of_qubit[static_cast<size_t>(qb)] = a;
    }
};

void check_layout(int64_t n, int64_t local_bits, const std::vector<int32_t>& bit_of_qubit) {
    if (local_bits < 1 || local_bits > n || static_cast<int64_t>(bit_of_qubit.size()) != n) {
        throw std::invalid_argument("swap planner: layout does not fit the qubit count");
    }
    std::vector<bool> seen(static_cast<size_t>(n), false);
    for (const int32_t bit : bit_of_qubit) {
        if (bit < 0 || bit >= n || seen[static_cast<size_t>(bit)]) {
            throw std::invalid_argument("swap planner: layout is not a permutation of the index bits");
        }
        seen[static_cast<size_t>(bit)] = true;
    }
}

// Local bits to give up for `count` incoming qubits: those whose qubits are not pinned, the
// one needed again latest first, the higher bit first among equals (a swap of a high bit
// moves longer contiguous runs).
std::vector<int32_t> pick_victims(const Layout& layout, int64_t local_bits, const std::vector<int64_t>& pinned,
                                  const NeedIndex& needs, int64_t from, size_t count) {
    struct Candidate {
        int64_t next_use;
        int32_t bit;
    };
    std::vector<Candidate> candidates;
    for (int32_t bit = static_cast<int32_t>(local_bits) - 1; bit >= 0; --bit) {
        const int64_t q = layout.qubit_at_bit[static_cast<size_t>(bit)];
        if (!contains(pinned, q)) {
            candidates.push_back({needs.next(q, from), bit});
        }
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate& a, const Candidate& b) { return a.next_use > b.next_use; });
    std::vector<int32_t> victims;
    for (size_t i = 0; i < count && i < candidates.size(); ++i) {
        victims.push_back(candidates[i].bit);
    }
    return victims;
}

std::vector<int64_t> missing_qubits(const Layout& layout, int64_t local_bits, const std::vector<int64_t>& need,
                                    const std::vector<int64_t>& already) {
    std::vector<int64_t> missing;
    for (const int64_t q : need) {
        if (layout.bit_of_qubit[static_cast<size_t>(q)] >= local_bits && !contains(already, q)) {
            missing.push_back(q);
        }
    }
    return missing;
}

size_t free_local_count(const Layout& layout, int64_t local_bits, const std::vector<int64_t>& pinned) {
    size_t count = 0;
    for (int64_t bit = 0; bit < local_bits; ++bit) {
        if (!contains(pinned, layout.qubit_at_bit[static_cast<size_t>(bit)])) {
            ++count;
        }
    }
    return count;
}

PlanStep make_round(Layout& layout, const std::vector<int64_t>& incoming, const std::vector<int32_t>& victims) {
    PlanStep step;
    step.kind = StepKind::SwapRound;
    for (size_t k = 0; k < incoming.size(); ++k) {
        step.swaps.push_back({layout.bit_of_qubit[static_cast<size_t>(incoming[k])], victims[k]});
    }
    for (const BitSwap& swap : step.swaps) {
        layout.swap_bits(swap.global_bit, swap.local_bit);
    }
    return step;
}

// Every qubit a gate targets (the first one of a single-target gate).
std::vector<int64_t> swapped_in_targets(const GateRecord& record) {
    if (record.id == GateId::GLOBAL_PHASE || record.target.empty()) {
        return {};
    }
    if (record.id == GateId::SWAP || record.id == GateId::UNITARY) {
        return record.target;
    }
    return {record.target.front()};
}

}  // namespace

bool is_diagonal_gate(const GateRecord& record) {
    switch (record.id) {
        case GateId::Z:
        case GateId::S:
        case GateId::SDAG:
        case GateId::RZ:
        case GateId::PHASE:
        case GateId::GLOBAL_PHASE:
            return true;
        case GateId::UNITARY:
            return matrix_is_diagonal(record);
        default:
            return false;
    }
}

bool is_relabel_swap(const GateRecord& record) {
    return record.id == GateId::SWAP && record.control.empty() && record.target.size() == 2 &&
           record.target[0] != record.target[1];
}

std::vector<int64_t> mixed_qubits(const GateRecord& record) {
    if (is_diagonal_gate(record) || is_relabel_swap(record)) {
        return {};
    }
    return swapped_in_targets(record);
}

void apply_step_to_layout(const PlanStep& step, const std::vector<GateRecord>& records,
                          std::vector<int32_t>& bit_of_qubit) {
    if (step.kind == StepKind::SwapRound) {
        Layout layout(bit_of_qubit);
        for (const BitSwap& swap : step.swaps) {
            layout.swap_bits(swap.global_bit, swap.local_bit);
        }
        bit_of_qubit = layout.bit_of_qubit;
    } else if (step.kind == StepKind::Relabel) {
        const GateRecord& record = records[static_cast<size_t>(step.gate)];
        std::swap(bit_of_qubit[static_cast<size_t>(record.target[0])],
                  bit_of_qubit[static_cast<size_t>(record.target[1])]);
    }
}

SwapPlan plan_swaps(int64_t n, int64_t local_bits, const std::vector<GateRecord>& records,
                    const std::vector<int32_t>& bit_of_qubit, const SwapPlanOptions& options) {
    check_layout(n, local_bits, bit_of_qubit);
    const auto count = static_cast<int64_t>(records.size());
    // The baseline is the textbook one: it knows neither diagonal gates nor relabelled
    // SWAPs, so every target of every gate is swapped in.
    const auto relabels = [&options](const GateRecord& record) {
        return !options.swap_back && is_relabel_swap(record);
    };
    std::vector<std::vector<int64_t>> needs(records.size());
    for (size_t i = 0; i < records.size(); ++i) {
        needs[i] = options.swap_back ? swapped_in_targets(records[i]) : mixed_qubits(records[i]);
        if (static_cast<int64_t>(needs[i].size()) > local_bits) {
            throw std::invalid_argument(std::string(gate_id_name(records[i].id)) + " gate mixes " +
                                        std::to_string(needs[i].size()) + " qubits but a rank holds only " +
                                        std::to_string(local_bits) + " local qubits");
        }
    }
    const NeedIndex index(n, needs);
    const int64_t global_bits = n - local_bits;
    Layout layout(bit_of_qubit);
    SwapPlan plan;
    const auto add_round = [&plan](PlanStep step) {
        plan.bit_swaps += static_cast<int64_t>(step.swaps.size());
        ++plan.swap_rounds;
        plan.steps.push_back(std::move(step));
    };
    for (int64_t i = 0; i < count; ++i) {
        const GateRecord& record = records[static_cast<size_t>(i)];
        if (relabels(record)) {
            layout.swap_bits(layout.bit_of_qubit[static_cast<size_t>(record.target[0])],
                             layout.bit_of_qubit[static_cast<size_t>(record.target[1])]);
            plan.steps.push_back({StepKind::Relabel, i, {}});
            continue;
        }
        const std::vector<int64_t>& need = needs[static_cast<size_t>(i)];
        std::vector<int64_t> incoming = missing_qubits(layout, local_bits, need, {});
        if (incoming.empty()) {
            plan.steps.push_back({StepKind::Gate, i, {}});
            continue;
        }
        std::vector<int64_t> pinned = need;
        if (!options.swap_back) {
            // Bring the following gates' qubits in the same round while there is room: fewer
            // rounds, and a batched round of k swaps moves 1 - 2^-k of a slice, not k halves.
            // Every gate up to the last one served stays pinned, so no victim is a qubit that
            // a gate inside the window mixes.
            std::vector<int64_t> widened = pinned;
            for (int64_t j = i + 1; j < count && static_cast<int64_t>(incoming.size()) < global_bits; ++j) {
                const GateRecord& next = records[static_cast<size_t>(j)];
                if (relabels(next)) {
                    break;
                }
                const std::vector<int64_t>& next_need = needs[static_cast<size_t>(j)];
                const std::vector<int64_t> extra = missing_qubits(layout, local_bits, next_need, incoming);
                for (const int64_t q : next_need) {
                    if (!contains(widened, q)) {
                        widened.push_back(q);
                    }
                }
                const size_t wanted = incoming.size() + extra.size();
                if (static_cast<int64_t>(wanted) > global_bits ||
                    free_local_count(layout, local_bits, widened) < wanted) {
                    break;
                }
                if (!extra.empty()) {
                    incoming.insert(incoming.end(), extra.begin(), extra.end());
                    pinned = widened;
                }
            }
        }
        const std::vector<int32_t> victims = pick_victims(layout, local_bits, pinned, index, i, incoming.size());
        PlanStep round = make_round(layout, incoming, victims);
        const PlanStep undo = round;
        add_round(std::move(round));
        plan.steps.push_back({StepKind::Gate, i, {}});
        if (options.swap_back) {
            for (const BitSwap& swap : undo.swaps) {
                layout.swap_bits(swap.global_bit, swap.local_bit);
            }
            add_round(undo);
        }
    }
    plan.final_bit_of_qubit = layout.bit_of_qubit;
    return plan;
}

}  // namespace velqa::distributed
