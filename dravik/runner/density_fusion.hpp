// Density fusion planning: cuts a run's operation list into ordered groups, and builds the
// gate records of the groups that run fused in shared memory.
// Plain C++ (no CUDA calls); the gate record type is shared with the fused kernel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <vector>

#include "../kernels/density_sparsesharemem.cuh"
#include "density_operation.hpp"

namespace quorra::density {

// Fixed by the runner from the register size; not configurable by callers.
struct DensityFusionOptions {
    int64_t max_active_qubits = 0;  // min(n - 4, 5); below 1 fusion is not used
    int64_t min_fused_qubits = 4;   // fewer active qubits run operation by operation
    int64_t max_ops_per_group = 1024;
};

DensityFusionOptions density_fusion_options(int64_t num_qubits);

enum class DensityGroupKind : int32_t { Single = 0, OneQubit = 1, Fused = 2, Sequential = 3 };

// One group of the plan. Groups hold indices into the operation list, never pointers.
struct DensityFusionGroup {
    DensityGroupKind kind = DensityGroupKind::Single;
    std::vector<size_t> op_indices;      // ascending
    std::vector<int64_t> active_qubits;  // ascending union of targets and controls; local bit b = entry b
    std::vector<dravik::DeviceDensityGate<double>> gates;  // one per operation (Fused only)
};

// Plans validated operations of an n-qubit run. Invariants: every operation lies in
// exactly one group; running the groups in order keeps the order of the operations on
// every qubit; a group of several operations has at most max_active_qubits active qubits.
std::vector<DensityFusionGroup> plan_density_fusion(int64_t num_qubits, const std::vector<DensityOperation>& operations,
                                                    const DensityFusionOptions& options);

// The next group taken from `remaining` (ascending indices), possibly empty: scans at most
// max_ops_per_group operations up to the first one that cannot be fused, grows per-qubit
// components within max_active_qubits (an operation left out blocks its qubits for the
// rest of the scan), then packs the largest components that fit together.
std::vector<size_t> select_density_group(int64_t num_qubits, const std::vector<DensityOperation>& operations,
                                         const std::set<size_t>& remaining, int64_t max_active_qubits,
                                         int64_t max_ops_per_group);

// The record of one fusable operation, in double precision, on the local bits of
// `active_qubits` (ascending).
dravik::DeviceDensityGate<double> make_density_gate(const DensityOperation& operation,
                                                    const std::vector<int64_t>& active_qubits);

}  // namespace quorra::density
