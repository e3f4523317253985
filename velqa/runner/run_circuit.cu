// The circuit runner: record validation, the choice between per-gate launches and the fused
// path, and the device selection around a run.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#include <stdexcept>

#include "fusion/velqa_fusion.cuh"
#include "gates/velqa_gates.cuh"
#include "runner/run_circuit.cuh"
#include "runner/velqa_gate_checks.hpp"

namespace velqa {

void check_endian(const std::string& endian) {
    if (endian != "little" && endian != "big") {
        throw std::invalid_argument("endian must be 'little' or 'big'");
    }
}

template <typename T>
void run_gates(int64_t n, CuComplex<T>* state, const std::vector<GateRecord>& records, cudaStream_t stream,
               KernelMode mode) {
    validate_gate_records(n, records);
    if (mode == KernelMode::PairAutoFusion) {
        fusion::run_gates_fused<T>(n, state, records, stream);
        return;
    }
    for (const GateRecord& record : records) {
        apply_gate<T>(n, state, record, stream, mode);
    }
}

template <typename T>
void run_gates_on_device(int64_t n, CuComplex<T>* state, int64_t num_state, const std::vector<GateRecord>& records,
                         int32_t device_id, KernelMode mode) {
    if (n < 1 || n > 62 || num_state != (int64_t{1} << n)) {
        throw std::invalid_argument("state size does not match 2**n");
    }
    check_cuda(cudaSetDevice(device_id));
    run_gates<T>(n, state, records, cudaStream_t{}, mode);
}

void run_gates_on_state(const DeviceState& state, const std::vector<GateRecord>& records, KernelMode mode) {
    if (state.precision() == Precision::Complex64) {
        run_gates_on_device<float>(state.n(), state.amplitudes<float>(), state.num_state(), records, state.device_id(),
                                   mode);
    } else {
        run_gates_on_device<double>(state.n(), state.amplitudes<double>(), state.num_state(), records,
                                    state.device_id(), mode);
    }
}

template void run_gates<float>(int64_t, CuComplex<float>*, const std::vector<GateRecord>&, cudaStream_t, KernelMode);
template void run_gates<double>(int64_t, CuComplex<double>*, const std::vector<GateRecord>&, cudaStream_t, KernelMode);
template void run_gates_on_device<float>(int64_t, CuComplex<float>*, int64_t, const std::vector<GateRecord>&, int32_t,
                                         KernelMode);
template void run_gates_on_device<double>(int64_t, CuComplex<double>*, int64_t, const std::vector<GateRecord>&, int32_t,
                                          KernelMode);

}  // namespace velqa
