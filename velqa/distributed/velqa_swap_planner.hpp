// The swap planner of a distributed state: which global qubits to bring into the local
// slice, and when, so that every gate of a chunk finds the qubits it mixes in local index
// bits. Plain C++ with no CUDA and no MPI; the plan refers to gates by index.
//
// Vocabulary: a state of n qubits over 2^g ranks keeps index bits [0, L) in each rank's slice
// (L = n - g local bits) and bits [L, n) in the rank number. `bit_of_qubit[q]` is the index
// bit that logical qubit q occupies now; the planner tracks how swaps permute it.
#pragma once

#include <cstdint>
#include <vector>

#include "runner/velqa_gate_record.hpp"

namespace velqa::distributed {

// One exchange of a global index bit with a local one.
struct BitSwap {
    int32_t global_bit = 0;
    int32_t local_bit = 0;
};

enum class StepKind : int32_t {
    SwapRound = 0,  // all swaps of `swaps` at once: one pairwise exchange per partner rank
    Gate = 1,       // gate `gate` of the chunk, its mixed qubits all local
    Relabel = 2,    // gate `gate` is an uncontrolled SWAP: the two qubits trade index bits, no data moves
};

struct PlanStep {
    StepKind kind = StepKind::Gate;
    int64_t gate = -1;           // Gate and Relabel
    std::vector<BitSwap> swaps;  // SwapRound: distinct global bits, distinct local bits
};

struct SwapPlanOptions {
    // The naive textbook baseline: every global target of a gate (diagonal gates and plain
    // SWAPs included) swapped in right before it and back right after, one gate at a time.
    // Off: the permutation is kept, swaps are batched, diagonal gates and SWAPs move nothing.
    bool swap_back = false;
};

struct SwapPlan {
    std::vector<PlanStep> steps;
    std::vector<int32_t> final_bit_of_qubit;
    int64_t swap_rounds = 0;
    int64_t bit_swaps = 0;  // sum of the rounds' swap counts
};

// True for gates that multiply every amplitude by a factor and so never mix amplitudes:
// Z, S, SDAG, RZ, PHASE, GLOBAL_PHASE, and a UNITARY whose matrix is diagonal.
bool is_diagonal_gate(const GateRecord& record);

// An uncontrolled SWAP of two qubits, which the planner turns into a relabelling.
bool is_relabel_swap(const GateRecord& record);

// The qubits a gate mixes, which must sit in local bits when it runs: the targets of a
// non-diagonal gate (the first one of a single-target gate), none otherwise.
std::vector<int64_t> mixed_qubits(const GateRecord& record);

// Plans `records` (already validated against n qubits) from the layout `bit_of_qubit`
// (a permutation of [0, n)) with `local_bits` local bits. Before a gate whose mixed qubits
// are not all local, one swap round brings them in, each in exchange for the local bit
// whose qubit is needed again latest in the chunk (or never); the same round also brings
// in the qubits of the following gates while that needs no bit that a gate in between uses.
// Throws std::invalid_argument when a gate mixes more qubits than there are local bits.
SwapPlan plan_swaps(int64_t n, int64_t local_bits, const std::vector<GateRecord>& records,
                    const std::vector<int32_t>& bit_of_qubit, const SwapPlanOptions& options = {});

// Applies one step's permutation to `bit_of_qubit` (a SwapRound or a Relabel; a Gate
// changes nothing).
void apply_step_to_layout(const PlanStep& step, const std::vector<GateRecord>& records,
                          std::vector<int32_t>& bit_of_qubit);

}  // namespace velqa::distributed
