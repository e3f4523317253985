// The dispatch of one gate record onto its launcher.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#include <stdexcept>

#include "gates/velqa_gates.cuh"
#include "gates/velqa_swap.cuh"
#include "gates/velqa_unitary.cuh"
#include "runner/velqa_gate_checks.hpp"

namespace velqa {

template <typename T>
void apply_gate(int64_t n, CuComplex<T>* state, const GateRecord& record, cudaStream_t stream, KernelMode mode) {
    const int32_t target = record.target.empty() ? -1 : static_cast<int32_t>(record.target[0]);
    if (const char* message = parameter_count_error(record)) {
        throw std::invalid_argument(message);
    }
    const auto& c = record.control;
    const auto& cs = record.control_state;
    const auto angle = [&record](size_t i) { return static_cast<T>(record.parameter[i]); };
    switch (record.id) {
        case GateId::X:
            cu_x<T>(n, state, target, c, cs, stream, mode);
            break;
        case GateId::Y:
            cu_y<T>(n, state, target, c, cs, stream, mode);
            break;
        case GateId::Z:
            cu_z<T>(n, state, target, c, cs, stream, mode);
            break;
        case GateId::H:
            cu_h<T>(n, state, target, c, cs, stream, mode);
            break;
        case GateId::S:
            cu_s<T>(n, state, target, c, cs, stream, mode);
            break;
        case GateId::SDAG:
            cu_sdag<T>(n, state, target, c, cs, stream, mode);
            break;
        case GateId::SQRTX:
            cu_sqrtx<T>(n, state, target, c, cs, stream, mode);
            break;
        case GateId::SQRTXDAG:
            cu_sqrtxdag<T>(n, state, target, c, cs, stream, mode);
            break;
        case GateId::SQRTY:
            cu_sqrty<T>(n, state, target, c, cs, stream, mode);
            break;
        case GateId::SQRTYDAG:
            cu_sqrtydag<T>(n, state, target, c, cs, stream, mode);
            break;
        case GateId::SWAP:
            cu_swap<T>(n, state, static_cast<int32_t>(record.target[0]), static_cast<int32_t>(record.target[1]), c, cs,
                       stream, mode);
            break;
        case GateId::RX:
            cu_rx<T>(n, state, target, c, cs, angle(0), stream, mode);
            break;
        case GateId::RY:
            cu_ry<T>(n, state, target, c, cs, angle(0), stream, mode);
            break;
        case GateId::RZ:
            cu_rz<T>(n, state, target, c, cs, angle(0), stream, mode);
            break;
        case GateId::PHASE:
            cu_phase<T>(n, state, target, c, cs, angle(0), stream, mode);
            break;
        case GateId::GLOBAL_PHASE:
            cu_global_phase<T>(n, state, c, cs, angle(0), stream);
            break;
        case GateId::U:
            cu_u<T>(n, state, target, c, cs, angle(0), angle(1), angle(2), stream, mode);
            break;
        case GateId::UNITARY:
            cu_unitary<T>(n, state, record.target, c, cs, record.matrix, record.matrix_dim, stream, mode);
            break;
    }
    check_cuda(cudaGetLastError());
}

template void apply_gate<float>(int64_t, CuComplex<float>*, const GateRecord&, cudaStream_t, KernelMode);
template void apply_gate<double>(int64_t, CuComplex<double>*, const GateRecord&, cudaStream_t, KernelMode);

}  // namespace velqa
