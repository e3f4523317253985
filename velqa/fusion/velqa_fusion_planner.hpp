// The fusion planner: turns an ordered gate list into groups that run as one shared-memory
// pass, one dense matrix product, or a single ordinary gate. Plain C++ with no CUDA call;
// groups refer to gates by index, so a plan owns nothing that must outlive it.
#pragma once

#include <complex>
#include <cstdint>
#include <vector>

#include "fusion/velqa_matrix_gate.hpp"
#include "runner/velqa_gate_record.hpp"

namespace velqa::fusion {

// Not validated when planning: the executors enforce their limits when a group runs.
struct FusionOptions {
    int32_t sparsesharemem_qubits = 10;
    int32_t densemm_min_qubits = 1;
    int32_t densemm_max_qubits = 7;
    double densemm_gate_threshold_scale = 1.0;
    int32_t max_gates_per_group = 512;
    bool pad_sparsesharemem = true;
    bool fuse_swap = true;
};

enum class FusionGroupKind : int32_t { AutoPair = 0, SparseShareMem = 1, DenseMM = 2 };

struct FusionGroup {
    FusionGroupKind kind = FusionGroupKind::AutoPair;
    std::vector<int64_t> gate_indices;   // ascending; exactly one for AutoPair
    std::vector<int64_t> active_qubits;  // ascending; local bit b is active_qubits[b]
    std::vector<DeviceMatrixGate<double>> matrix_gates;
    std::vector<std::complex<double>> dense_matrix;  // DenseMM only, 4^k entries
    uint64_t matrix_gate_offset = 0;                 // SparseShareMem only
    uint64_t dense_matrix_offset = 0;                // DenseMM only
};

struct FusionPlan {
    std::vector<FusionGroup> groups;
    uint64_t total_matrix_gates = 0;
    uint64_t total_dense_elements = 0;
};

// One planned chunk: its gates and their plan. Read-only once planned, so it may be
// executed any number of times.
struct PreparedFusionChunk : FusionPlan {
    int64_t n = 0;
    std::vector<GateRecord> gates;
    FusionOptions options;  // what the plan was made with; a distributed state replans its slices with it
};

// Relative time estimates of the two fused strategies for a k-qubit group on n qubits.
struct DenseMMCostRow {
    double base;
    double weight_x;
    double weight_y;
    double weight_h;
    double weight_diagonal;
    double weight_rxy;
    double weight_generic;
    double weight_swap;
    double dense;
};

// Whether a gate may join a fused group: matching control lists, and a SWAP of two distinct
// qubits (when fuse_swap is set) or a gate with a 2x2 matrix.
bool is_fusable(const GateRecord& gate, bool fuse_swap);

// The ascending indices of the next fused group among `remaining` (ascending indices of the
// gates not yet planned), possibly none.
std::vector<int64_t> select_fusion_gates(int64_t n, const std::vector<GateRecord>& gates,
                                         const std::vector<int64_t>& remaining, int32_t sparsesharemem_qubits,
                                         int32_t max_gates_per_group, bool fuse_swap);

// k is clamped to [1, 7]; n below 14 and above 24 use the rows of those sizes, sizes between
// two breakpoints interpolate linearly.
DenseMMCostRow densemm_cost(int64_t n, int64_t k);

FusionPlan plan_fusion_chunk(int64_t n, const std::vector<GateRecord>& gates, const FusionOptions& options);

}  // namespace velqa::fusion
