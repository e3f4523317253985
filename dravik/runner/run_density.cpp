// The density runner: preparation, the matrix pool, dispatch and completion.
// Host C++; reaches the device through the kernel launchers.
#include "run_density.hpp"

#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>

#include "../kernels/density_sparsesharemem.cuh"
#include "../kernels/dravik_kraus.cuh"
#include "../kernels/dravik_unitary_channel.cuh"
#include "density_fusion.hpp"

namespace quorra::density {

using dravik::CuComplex;

namespace {

template <typename T>
CuComplex<T> narrow(std::complex<double> value) {
    return CuComplex<T>{static_cast<T>(value.real()), static_cast<T>(value.imag())};
}

template <typename T>
void append_matrix(std::vector<CuComplex<T>>& pool, const std::vector<std::complex<double>>& matrix) {
    for (const auto& value : matrix) {
        pool.push_back(narrow<T>(value));
    }
}

// The device address of an operation's first matrix element.
template <typename T>
const CuComplex<T>* pool_entry(const CuComplex<T>* device_pool, const PreparedDensityOp& op) {
    if (device_pool == nullptr) {
        throw std::invalid_argument("dense density operation without a device matrix pool");
    }
    return device_pool + op.matrix_offset;
}

// One host-to-device copy of a run's records; nothing when there are none. The buffer is
// freed on every path, including a failed launch.
template <typename Record>
void upload(std::optional<dravik::DeviceBuffer>& buffer, int32_t device_id, const std::vector<Record>& records) {
    if (!records.empty()) {
        buffer.emplace(device_id, records.size() * sizeof(Record));
        dravik::check_cuda(
            cudaMemcpy(buffer->as<Record>(), records.data(), records.size() * sizeof(Record), cudaMemcpyHostToDevice));
    }
}

template <typename Record>
const Record* device_records(const std::optional<dravik::DeviceBuffer>& buffer) {
    return buffer ? buffer->as<Record>() : nullptr;
}

// A dense uncontrolled unitary on one target: the first half of a unitary-plus-channel pair.
bool pairs_with_channel(const PreparedDensityOp& op, const PreparedDensityOp& next) {
    return op.pass == DensityPass::Unitary && op.targets.count == 1 && op.control_mask == 0 &&
           next.pass == DensityPass::Channel && next.target_mask == (uint64_t{1} << op.targets.targets[0]);
}

// A one-qubit group: operation by operation, except that a dense unitary immediately
// followed by a channel on its qubit runs as one unitary_channel pass.
template <typename T>
void run_one_qubit_group(const DensityFusionGroup& group, const std::vector<PreparedDensityOp>& prepared,
                         dravik::DeviceDensityState& state, const CuComplex<T>* device_pool) {
    const std::vector<size_t>& indices = group.op_indices;
    for (size_t i = 0; i < indices.size(); ++i) {
        const PreparedDensityOp& op = prepared[indices[i]];
        if (i + 1 < indices.size() && pairs_with_channel(op, prepared[indices[i + 1]])) {
            const PreparedDensityOp& channel = prepared[indices[++i]];
            dravik::launch_unitary_channel<T>(state.elements<T>(), state.dimension(), op.targets,
                                              pool_entry(device_pool, op), channel.channel_kind,
                                              static_cast<T>(channel.channel_parameter), cudaStream_t{});
        } else {
            dispatch_prepared_op<T>(op, state, device_pool);
        }
    }
}

// Runs the plan's groups in order. The records of every fused group were gathered into
// one array in plan order, so the group's records start at the running offset.
template <typename T>
void run_groups(const std::vector<DensityFusionGroup>& groups, const std::vector<PreparedDensityOp>& prepared,
                dravik::DeviceDensityState& state, const CuComplex<T>* device_pool,
                const dravik::DeviceDensityGate<T>* device_gates) {
    size_t gate_offset = 0;
    for (const DensityFusionGroup& group : groups) {
        switch (group.kind) {
            case DensityGroupKind::Fused: {
                uint64_t active_mask = 0;
                for (const int64_t q : group.active_qubits) {
                    active_mask |= uint64_t{1} << q;
                }
                const auto count = static_cast<int64_t>(group.gates.size());
                dravik::launch_density_sparsesharemem<T>(state.dimension(), state.elements<T>(), active_mask,
                                                         static_cast<int64_t>(group.active_qubits.size()),
                                                         device_gates + gate_offset, count, cudaStream_t{});
                gate_offset += group.gates.size();
                break;
            }
            case DensityGroupKind::OneQubit:
                run_one_qubit_group<T>(group, prepared, state, device_pool);
                break;
            default:
                for (const size_t index : group.op_indices) {
                    dispatch_prepared_op<T>(prepared[index], state, device_pool);
                }
                break;
        }
    }
}

template <typename T>
void run_typed(dravik::DeviceDensityState& state, const std::vector<DensityOperation>& operations, bool fusion) {
    const auto n = static_cast<int64_t>(state.num_qubits());
    std::vector<CuComplex<T>> pool;
    std::vector<PreparedDensityOp> prepared;
    prepared.reserve(operations.size());
    for (const DensityOperation& op : operations) {
        prepared.push_back(prepare_density_operation<T>(op, n, pool));
    }
    // Planned before the device is touched: every host-side refusal leaves rho and the
    // device memory as they were. Fewer than five qubits leave no room for a fused tile.
    const DensityFusionOptions options = density_fusion_options(n);
    const bool fused = fusion && options.max_active_qubits >= 1;
    std::vector<DensityFusionGroup> groups;
    std::vector<dravik::DeviceDensityGate<T>> gates;
    if (fused) {
        groups = plan_density_fusion(n, operations, options);
        for (const DensityFusionGroup& group : groups) {
            for (const auto& gate : group.gates) {
                dravik::check_density_gate(gate, static_cast<int64_t>(group.active_qubits.size()));
                gates.push_back(dravik::convert_density_gate<T>(gate));
            }
        }
    }

    std::optional<dravik::DeviceBuffer> device_pool;
    std::optional<dravik::DeviceBuffer> device_gates;
    upload(device_pool, state.device_id(), pool);
    upload(device_gates, state.device_id(), gates);
    if (fused) {
        run_groups<T>(groups, prepared, state, device_records<CuComplex<T>>(device_pool),
                      device_records<dravik::DeviceDensityGate<T>>(device_gates));
    } else {
        for (const PreparedDensityOp& op : prepared) {
            dispatch_prepared_op<T>(op, state, device_records<CuComplex<T>>(device_pool));
        }
    }
    dravik::check_cuda(cudaDeviceSynchronize());
}

}  // namespace

bool density_fusion_enabled() {
    const char* value = std::getenv("QUORRA_DENSITY_FUSION");
    return value != nullptr && value[0] != '\0' && value[0] != '0';
}

template <typename T>
PreparedDensityOp prepare_density_operation(const DensityOperation& op, int64_t num_qubits,
                                            std::vector<CuComplex<T>>& matrix_pool) {
    constexpr bool is_double = sizeof(T) == sizeof(double);
    const auto n = static_cast<uint64_t>(num_qubits);
    PreparedDensityOp prepared;
    prepared.kind = op.kind;
    if (op.kind == DensityOperationKind::Kraus) {
        validate_kraus_operation(op, num_qubits);
        if (const auto channel = classify_channel(op)) {
            prepared.pass = DensityPass::Channel;
            prepared.channel_kind = static_cast<int32_t>(channel->kind);
            prepared.channel_parameter = channel->parameter;
            prepared.target_mask = uint64_t{1} << op.targets[0];
            return prepared;
        }
        if (op.targets.size() > kMaxKrausTargets) {
            throw std::runtime_error("GPU density Kraus supports at most 3 targets");
        }
        prepared.pass = DensityPass::Kraus;
        prepared.targets = dravik::make_device_targets(op.targets, n);
        prepared.kraus_count = op.kraus_count;
        prepared.matrix_offset = static_cast<int64_t>(matrix_pool.size());
        append_matrix<T>(matrix_pool, op.kraus_matrices);
        return prepared;
    }

    validate_unitary_operation(op, num_qubits);
    const ControlMasks masks = build_control_masks(op);
    if (!op.has_stored_matrix) {
        if (const auto diagonal = classify_diagonal(op, is_double)) {
            if (diagonal->is_noop) {
                prepared.pass = DensityPass::Noop;
                return prepared;
            }
            prepared.pass = DensityPass::Diagonal;
            prepared.target_mask = uint64_t{1} << op.targets[0];
            prepared.diag0 = diagonal->diag0;
            prepared.diag1 = diagonal->diag1;
            prepared.control_mask = masks.control_mask;
            prepared.control_values = masks.control_values;
            return prepared;
        }
        if (const auto permutation = classify_permutation(op)) {
            prepared.pass = DensityPass::Permutation;
            prepared.permutation_mask = permutation->permutation_mask;
            prepared.permutation_is_swap = permutation->permutation_is_swap;
            prepared.control_mask = masks.control_mask;
            prepared.control_values = masks.control_values;
            return prepared;
        }
    }
    std::vector<std::complex<double>> named;
    if (op.has_stored_matrix) {
        validate_stored_matrix(op);
    } else {
        named = named_operation_matrix(op, is_double);
        const uint64_t side = uint64_t{1} << op.targets.size();
        if (named.size() != side * side) {
            throw std::runtime_error("unitary matrix size does not match targets");
        }
    }
    prepared.control_mask = masks.control_mask;
    prepared.control_values = masks.control_values;
    prepared.targets = dravik::make_device_targets(op.targets, n);
    prepared.matrix_offset = static_cast<int64_t>(matrix_pool.size());
    append_matrix<T>(matrix_pool, op.has_stored_matrix ? op.stored_matrix : named);
    return prepared;
}

template <typename T>
void dispatch_prepared_op(const PreparedDensityOp& op, dravik::DeviceDensityState& state,
                          const CuComplex<T>* device_pool) {
    CuComplex<T>* data = state.elements<T>();
    const int64_t dimension = state.dimension();
    const cudaStream_t stream{};
    switch (op.pass) {
        case DensityPass::Noop:
            break;
        case DensityPass::Permutation:
            dravik::launch_permutation<T>(data, dimension, op.permutation_mask, op.control_mask, op.control_values,
                                          op.permutation_is_swap, stream);
            break;
        case DensityPass::Diagonal:
            dravik::launch_diagonal<T>(data, dimension, op.target_mask, op.control_mask, op.control_values,
                                       narrow<T>(op.diag0), narrow<T>(op.diag1), stream);
            break;
        case DensityPass::Channel:
            dravik::launch_channel<T>(data, dimension, op.target_mask, op.channel_kind,
                                      static_cast<T>(op.channel_parameter), stream);
            break;
        case DensityPass::Kraus:
            dravik::launch_kraus<T>(data, dimension, op.targets, op.kraus_count, pool_entry(device_pool, op), stream);
            break;
        case DensityPass::Unitary:
            dravik::launch_unitary<T>(data, dimension, op.targets, op.control_mask, op.control_values,
                                      pool_entry(device_pool, op), stream);
            break;
    }
}

void run_density_operations(dravik::DeviceDensityState& state, int64_t num_qubits,
                            const std::vector<DensityOperation>& operations) {
    if (num_qubits != static_cast<int64_t>(state.num_qubits())) {
        throw std::invalid_argument("num_qubits does not match DeviceDensityState");
    }
    dravik::check_cuda(cudaSetDevice(state.device_id()));
    const bool fusion = density_fusion_enabled();
    if (state.is_double()) {
        run_typed<double>(state, operations, fusion);
    } else {
        run_typed<float>(state, operations, fusion);
    }
}

template PreparedDensityOp prepare_density_operation<float>(const DensityOperation&, int64_t,
                                                            std::vector<CuComplex<float>>&);
template PreparedDensityOp prepare_density_operation<double>(const DensityOperation&, int64_t,
                                                             std::vector<CuComplex<double>>&);
template void dispatch_prepared_op<float>(const PreparedDensityOp&, dravik::DeviceDensityState&,
                                          const CuComplex<float>*);
template void dispatch_prepared_op<double>(const PreparedDensityOp&, dravik::DeviceDensityState&,
                                           const CuComplex<double>*);

}  // namespace quorra::density
