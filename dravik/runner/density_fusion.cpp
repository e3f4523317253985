// Density fusion planning: grouping and gate records. Plain C++.
#include "density_fusion.hpp"

#include <algorithm>
#include <quorra_fusion_select.hpp>
#include <stdexcept>

namespace quorra::density {

namespace {

using dravik::CuComplex;
using dravik::DensityGateKind;
using dravik::DeviceDensityGate;

// A built-in channel, or a unitary on one target (controls and explicit matrices allowed).
bool is_fusable(const DensityOperation& op) {
    if (op.kind == DensityOperationKind::Kraus) {
        return classify_channel(op).has_value();
    }
    return op.targets.size() == 1;
}

// Sorted union of the operation's targets and controls.
std::vector<int64_t> qubits_of(const DensityOperation& op) { return quorra::operation_qubits(op.targets, op.controls); }

// Position of qubit q in the ascending active list, or -1.
int32_t local_bit(const std::vector<int64_t>& active_qubits, int64_t q) {
    const auto it = std::lower_bound(active_qubits.begin(), active_qubits.end(), q);
    if (it == active_qubits.end() || *it != q) {
        return -1;
    }
    return static_cast<int32_t>(it - active_qubits.begin());
}

CuComplex<double> to_device(std::complex<double> z) { return CuComplex<double>{z.real(), z.imag()}; }

void set_matrix(DeviceDensityGate<double>& gate, const std::vector<std::complex<double>>& matrix) {
    if (matrix.size() != 4) {
        throw std::runtime_error("fused unitary must be 2x2");
    }
    gate.kind = static_cast<int32_t>(DensityGateKind::Matrix);
    for (int e = 0; e < 4; ++e) {
        gate.matrix[e] = to_device(matrix[static_cast<size_t>(e)]);
    }
}

}  // namespace

DensityFusionOptions density_fusion_options(int64_t num_qubits) {
    DensityFusionOptions options;
    options.max_active_qubits = std::min<int64_t>(num_qubits - 4, dravik::kMaxFusedQubits);
    return options;
}

std::vector<size_t> select_density_group(int64_t num_qubits, const std::vector<DensityOperation>& operations,
                                         const std::set<size_t>& remaining, int64_t max_active_qubits,
                                         int64_t max_ops_per_group) {
    if (num_qubits < 0 || num_qubits > 64) {
        throw std::invalid_argument("density fusion needs a register of at most 64 qubits");
    }
    // The planner's view of its operations for quorra::select_fusion_group.
    struct OperationView {
        int64_t n;
        const std::vector<DensityOperation>& operations;
        bool fusable(int64_t index) const { return is_fusable(operations.at(static_cast<size_t>(index))); }
        bool qubits(int64_t index, uint64_t& mask) const {
            for (const int64_t q : qubits_of(operations[static_cast<size_t>(index)])) {
                if (q < 0 || q >= n) {
                    throw std::invalid_argument("density fusion operation outside the register");
                }
                mask |= uint64_t{1} << q;
            }
            return true;
        }
    };
    const auto walk = [&remaining](auto&& visit) {
        for (const size_t index : remaining) {
            if (!visit(static_cast<int64_t>(index))) {
                return;
            }
        }
    };
    const std::vector<int64_t> group = quorra::select_fusion_group(
        num_qubits, walk, OperationView{num_qubits, operations}, max_active_qubits, max_ops_per_group);
    return std::vector<size_t>(group.begin(), group.end());
}

dravik::DeviceDensityGate<double> make_density_gate(const DensityOperation& operation,
                                                    const std::vector<int64_t>& active_qubits) {
    DeviceDensityGate<double> gate;
    const int32_t target = operation.targets.empty() ? -1 : local_bit(active_qubits, operation.targets[0]);
    if (target < 0) {
        throw std::runtime_error("target qubit outside active set");
    }
    gate.target = target;
    if (operation.kind == DensityOperationKind::Kraus) {
        const auto channel = classify_channel(operation);
        if (!channel) {
            throw std::runtime_error("fused Kraus is not a built-in channel");
        }
        gate.kind = static_cast<int32_t>(DensityGateKind::Channel);
        gate.channel_kind = static_cast<int32_t>(channel->kind);
        gate.channel_parameter = channel->parameter;
    } else if (operation.has_stored_matrix) {
        set_matrix(gate, operation.stored_matrix);
    } else if (const auto diagonal = classify_diagonal(operation, true)) {
        // an uncontrolled global phase keeps the identity factors
        gate.kind = static_cast<int32_t>(DensityGateKind::Diagonal);
        gate.diag0 = to_device(diagonal->diag0);
        gate.diag1 = to_device(diagonal->diag1);
    } else if (const auto permutation = classify_permutation(operation)) {
        if (permutation->permutation_is_swap) {
            throw std::runtime_error("fused unitary must be 2x2");
        }
        gate.kind = static_cast<int32_t>(DensityGateKind::Flip);
        gate.flip_mask = int32_t{1} << target;
    } else {
        set_matrix(gate, named_operation_matrix(operation, true));
    }
    for (size_t c = 0; c < operation.controls.size(); ++c) {
        const int32_t bit = local_bit(active_qubits, operation.controls[c]);
        if (bit < 0) {
            throw std::runtime_error("control qubit outside active set");
        }
        gate.control_mask |= int32_t{1} << bit;
        if (c < operation.control_state.size() && operation.control_state[c] == 1) {
            gate.control_values |= int32_t{1} << bit;
        }
    }
    return gate;
}

std::vector<DensityFusionGroup> plan_density_fusion(int64_t num_qubits, const std::vector<DensityOperation>& operations,
                                                    const DensityFusionOptions& options) {
    std::set<size_t> remaining;
    for (size_t i = 0; i < operations.size(); ++i) {
        remaining.insert(remaining.end(), i);
    }
    std::vector<DensityFusionGroup> groups;
    while (!remaining.empty()) {
        DensityFusionGroup group;
        group.op_indices = select_density_group(num_qubits, operations, remaining, options.max_active_qubits,
                                                options.max_ops_per_group);
        if (group.op_indices.empty()) {
            group.op_indices = {*remaining.begin()};
        }
        for (const size_t index : group.op_indices) {
            const std::vector<int64_t> touched = qubits_of(operations[index]);
            group.active_qubits.insert(group.active_qubits.end(), touched.begin(), touched.end());
        }
        std::sort(group.active_qubits.begin(), group.active_qubits.end());
        group.active_qubits.erase(std::unique(group.active_qubits.begin(), group.active_qubits.end()),
                                  group.active_qubits.end());
        const auto active = static_cast<int64_t>(group.active_qubits.size());
        if (group.op_indices.size() == 1) {
            group.kind = DensityGroupKind::Single;
        } else if (active == 1) {
            group.kind = DensityGroupKind::OneQubit;
        } else if (active < options.min_fused_qubits) {
            group.kind = DensityGroupKind::Sequential;
        } else {
            group.kind = DensityGroupKind::Fused;
            for (const size_t index : group.op_indices) {
                group.gates.push_back(make_density_gate(operations[index], group.active_qubits));
            }
        }
        for (const size_t index : group.op_indices) {
            remaining.erase(index);
        }
        groups.push_back(std::move(group));
    }
    return groups;
}

}  // namespace quorra::density
