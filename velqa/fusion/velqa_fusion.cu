// Execution of fusion plans: workspace upload, group dispatch, prepared chunks and the
// runner's fused mode. Read by nvcc (cuda build) and by g++ against the host stand-in.
#include <algorithm>
#include <stdexcept>

#include "fusion/velqa_densemm.cuh"
#include "fusion/velqa_fusion.cuh"
#include "fusion/velqa_sparsesharemem.cuh"
#include "gates/velqa_gates.cuh"
#include "runner/velqa_gate_checks.hpp"
#include "runner/velqa_kernel_mode.hpp"

namespace velqa::fusion {

namespace {

template <typename T>
CuComplex<T> narrow(CuComplex<double> z) {
    return CuComplex<T>{static_cast<T>(z.re), static_cast<T>(z.im)};
}

template <typename T>
DeviceMatrixGate<T> narrow(const DeviceMatrixGate<double>& g) {
    DeviceMatrixGate<T> out;
    out.kind = g.kind;
    out.target0 = g.target0;
    out.target1 = g.target1;
    out.control_mask = g.control_mask;
    out.control_value = g.control_value;
    for (int e = 0; e < 4; ++e) {
        out.m[e] = narrow<T>(g.m[e]);
    }
    return out;
}

// One device allocation holding `staged`, copied synchronously; `target` owns it even when
// the copy fails, so it is freed with the workspace.
template <typename E>
void upload_array(const std::vector<E>& staged, quorra::DeviceBuffer& target, int32_t device, const char* malloc_label,
                  const char* copy_label) {
    if (staged.empty()) {
        return;
    }
    const size_t bytes = staged.size() * sizeof(E);
    check_cuda_op(target.allocate(device, bytes), malloc_label);
    check_cuda_op(cudaMemcpy(target.as<E>(), staged.data(), bytes, cudaMemcpyHostToDevice), copy_label);
}

uint64_t mask_of(const std::vector<int64_t>& qubits) {
    uint64_t mask = 0;
    for (const int64_t q : qubits) {
        mask |= uint64_t{1} << q;
    }
    return mask;
}

// The groups of a plan in order on `stream`; single gates take the ordinary PairAuto path.
template <typename T>
void run_plan(int64_t n, CuComplex<T>* state, const std::vector<GateRecord>& gates, const FusionPlan& plan,
              const FusionWorkspace<T>& workspace, cudaStream_t stream) {
    for (const FusionGroup& group : plan.groups) {
        if (group.kind == FusionGroupKind::AutoPair) {
            apply_gate<T>(n, state, gates[static_cast<size_t>(group.gate_indices.front())], stream,
                          KernelMode::PairAuto);
        } else {
            run_fusion_group<T>(workspace, state, group, stream);
            check_cuda(cudaGetLastError());
        }
    }
}

// A group's own chunk, within what the workspace's buffers hold; 0 (refused by the launcher
// after its qubit-count check) for a k outside [1, n-1].
template <typename T>
uint64_t group_chunk_columns(const FusionWorkspace<T>& workspace, int64_t k) {
    if (k < 1 || k >= workspace.n) {
        return 0;
    }
    return std::min(dense_chunk_columns(workspace.n, k, sizeof(CuComplex<T>)), workspace.chunk_elements >> k);
}

}  // namespace

template <typename T>
FusionWorkspace<T> upload_fusion_workspace(int64_t n, const FusionPlan& plan) {
    FusionWorkspace<T> workspace;
    workspace.n = n;
    std::vector<DeviceMatrixGate<T>> records(plan.total_matrix_gates);
    std::vector<CuComplex<T>> elements(plan.total_dense_elements, CuComplex<T>{T(0), T(0)});
    uint64_t chunk_elements = 0;  // the largest chunk of the plan's DenseMM groups
    for (const FusionGroup& group : plan.groups) {
        if (group.kind == FusionGroupKind::SparseShareMem) {
            for (size_t j = 0; j < group.matrix_gates.size(); ++j) {
                records[group.matrix_gate_offset + j] = narrow<T>(group.matrix_gates[j]);
            }
        } else if (group.kind == FusionGroupKind::DenseMM) {
            const auto k = static_cast<int64_t>(group.active_qubits.size());
            // k outside [1, n-1] is refused when the group runs, after the groups before it.
            if (k >= 1 && k < n) {
                chunk_elements = std::max(chunk_elements, dense_chunk_columns(n, k, sizeof(CuComplex<T>)) << k);
            }
            for (size_t j = 0; j < group.dense_matrix.size(); ++j) {
                const std::complex<double> z = group.dense_matrix[j];
                elements[group.dense_matrix_offset + j] =
                    CuComplex<T>{static_cast<T>(z.real()), static_cast<T>(z.imag())};
            }
        }
    }
    int32_t device = 0;
    if (!records.empty() || !elements.empty()) {
        check_cuda(cudaGetDevice(&device));
    }
    upload_array(records, workspace.gates_buffer, device, "cudaMalloc SparseShareMem gates",
                 "cudaMemcpy SparseShareMem gates");
    upload_array(elements, workspace.matrices_buffer, device, "cudaMalloc DenseMM matrices",
                 "cudaMemcpy DenseMM matrices");
    if (chunk_elements != 0) {
        DenseMMCache<T>& cache = DenseMMCache<T>::for_this_thread();
        cache.ensure_capacity(chunk_elements);
        workspace.handle = cache.handle();
        workspace.transpose_buffer = cache.transpose_buffer();
        workspace.gemm_buffer = cache.gemm_buffer();
        workspace.chunk_elements = chunk_elements;
    }
    return workspace;
}

template <typename T>
void run_fusion_group(const FusionWorkspace<T>& workspace, CuComplex<T>* state, const FusionGroup& group,
                      cudaStream_t stream) {
    const uint64_t active_mask = mask_of(group.active_qubits);
    const auto k = static_cast<int64_t>(group.active_qubits.size());
    switch (group.kind) {
        case FusionGroupKind::SparseShareMem:
            launch_sparsesharemem<T>(workspace.n, state, active_mask, k, workspace.gates() + group.matrix_gate_offset,
                                     static_cast<int64_t>(group.matrix_gates.size()), stream);
            return;
        case FusionGroupKind::DenseMM:
            launch_densemm<T>(workspace.handle, workspace.n, state, workspace.transpose_buffer, workspace.gemm_buffer,
                              group_chunk_columns(workspace, k), active_mask, k,
                              workspace.matrices() + group.dense_matrix_offset, stream);
            return;
        case FusionGroupKind::AutoPair:
            break;
    }
    throw std::invalid_argument("AutoPair group cannot use fusion workspace");
}

template <typename T>
void run_gates_fused(int64_t n, CuComplex<T>* state, const std::vector<GateRecord>& records, cudaStream_t stream) {
    const FusionPlan plan = plan_fusion_chunk(n, records, FusionOptions{});
    const FusionWorkspace<T> workspace = upload_fusion_workspace<T>(n, plan);
    run_plan<T>(n, state, records, plan, workspace, stream);
}

template <typename T>
void execute_prepared(CuComplex<T>* state_data, int64_t state_size, int32_t device, const PreparedFusionChunk& chunk) {
    if (chunk.n < 1 || chunk.n > 62 || state_size != (int64_t{1} << chunk.n)) {
        throw std::invalid_argument("state size does not match prepared chunk");
    }
    check_cuda(cudaSetDevice(device));
    // A gate whose qubits do not fit the state is refused here, before anything is launched.
    validate_gate_records(chunk.n, chunk.gates);
    const FusionWorkspace<T> workspace = upload_fusion_workspace<T>(chunk.n, chunk);
    const cudaStream_t stream{};
    run_plan<T>(chunk.n, state_data, chunk.gates, chunk, workspace, stream);
    check_cuda(cudaStreamSynchronize(stream));
}

#define VELQA_FUSION_INSTANCES(T)                                                                                  \
    template FusionWorkspace<T> upload_fusion_workspace<T>(int64_t, const FusionPlan&);                            \
    template void run_fusion_group<T>(const FusionWorkspace<T>&, CuComplex<T>*, const FusionGroup&, cudaStream_t); \
    template void run_gates_fused<T>(int64_t, CuComplex<T>*, const std::vector<GateRecord>&, cudaStream_t);        \
    template void execute_prepared<T>(CuComplex<T>*, int64_t, int32_t, const PreparedFusionChunk&);

VELQA_FUSION_INSTANCES(float)
VELQA_FUSION_INSTANCES(double)

#undef VELQA_FUSION_INSTANCES

}  // namespace velqa::fusion
