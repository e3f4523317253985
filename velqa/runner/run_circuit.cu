// The circuit runner: parameter checks, dispatch of each record to its launch operation,
// and the device selection around a run.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#include <stdexcept>

#include "fusion/velqa_fusion.cuh"
#include "gates/velqa_global_phase.cuh"
#include "gates/velqa_h.cuh"
#include "gates/velqa_phase.cuh"
#include "gates/velqa_rx.cuh"
#include "gates/velqa_ry.cuh"
#include "gates/velqa_rz.cuh"
#include "gates/velqa_s.cuh"
#include "gates/velqa_sdag.cuh"
#include "gates/velqa_sqrtx.cuh"
#include "gates/velqa_sqrtxdag.cuh"
#include "gates/velqa_sqrty.cuh"
#include "gates/velqa_sqrtydag.cuh"
#include "gates/velqa_swap.cuh"
#include "gates/velqa_u.cuh"
#include "gates/velqa_unitary.cuh"
#include "gates/velqa_x.cuh"
#include "gates/velqa_y.cuh"
#include "gates/velqa_z.cuh"
#include "runner/run_circuit.cuh"
#include "runner/velqa_gate_checks.hpp"

namespace velqa {

void check_endian(const std::string& endian) {
    if (endian != "little" && endian != "big") {
        throw std::invalid_argument("endian must be 'little' or 'big'");
    }
}

template <typename T>
void apply_gate(int64_t n, CuComplex<T>* state, const GateRecord& record, cudaStream_t stream, int32_t mode) {
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

template <typename T>
void run_gates(int64_t n, CuComplex<T>* state, const std::vector<GateRecord>& records, const std::string& endian,
               cudaStream_t stream, KernelMode mode) {
    (void)endian;  // qubit q means bit q of the index for either text
    validate_gate_records(n, records);
    if (mode == KernelMode::PairAutoFusion) {
        fusion::run_gates_fused<T>(n, state, records, stream);
        return;
    }
    for (const GateRecord& record : records) {
        apply_gate<T>(n, state, record, stream, static_cast<int32_t>(mode));
    }
}

template <typename T>
void run_gates_on_device(int64_t n, CuComplex<T>* state, int64_t num_state, const std::vector<GateRecord>& records,
                         const std::string& endian, int32_t device_id, KernelMode mode) {
    if (n < 1 || n > 62 || num_state != (int64_t{1} << n)) {
        throw std::invalid_argument("state size does not match 2**n");
    }
    check_cuda(cudaSetDevice(device_id));
    run_gates<T>(n, state, records, endian, cudaStream_t{}, mode);
}

void run_gates_on_state(const DeviceState& state, const std::vector<GateRecord>& records, const std::string& endian,
                        KernelMode mode) {
    if (state.precision() == Precision::Complex64) {
        run_gates_on_device<float>(state.n(), state.amplitudes<float>(), state.num_state(), records, endian,
                                   state.device_id(), mode);
    } else {
        run_gates_on_device<double>(state.n(), state.amplitudes<double>(), state.num_state(), records, endian,
                                    state.device_id(), mode);
    }
}

template void apply_gate<float>(int64_t, CuComplex<float>*, const GateRecord&, cudaStream_t, int32_t);
template void apply_gate<double>(int64_t, CuComplex<double>*, const GateRecord&, cudaStream_t, int32_t);
template void run_gates<float>(int64_t, CuComplex<float>*, const std::vector<GateRecord>&, const std::string&,
                               cudaStream_t, KernelMode);
template void run_gates<double>(int64_t, CuComplex<double>*, const std::vector<GateRecord>&, const std::string&,
                                cudaStream_t, KernelMode);
template void run_gates_on_device<float>(int64_t, CuComplex<float>*, int64_t, const std::vector<GateRecord>&,
                                         const std::string&, int32_t, KernelMode);
template void run_gates_on_device<double>(int64_t, CuComplex<double>*, int64_t, const std::vector<GateRecord>&,
                                          const std::string&, int32_t, KernelMode);

}  // namespace velqa
