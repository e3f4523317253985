// GLOBAL_PHASE gate: e^(i theta) on every amplitude whose index meets the controls.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#include "gates/velqa_global_phase.cuh"
#include "gates/velqa_single_qubit.cuh"

namespace velqa {

// One thread per amplitude index. The phase e^(i theta) arrives formed: a sine and cosine per
// amplitude would cost far more than the memory traffic of the pass.
template <typename T>
__global__ void cu_global_phase_kernel(int64_t n, CuComplex<T>* state, uint64_t control_mask, uint64_t control_value,
                                       CuComplex<T> phase) {
    const uint64_t k = gate_thread_index();
    if (k >= (uint64_t{1} << n) || (k & control_mask) != control_value) {
        return;
    }
    state[k] = phase * state[k];
}

template <typename T>
void cu_global_phase(int64_t n, CuComplex<T>* state, const std::vector<int64_t>& control,
                     const std::vector<int64_t>& control_state, T theta, cudaStream_t stream) {
    const ControlMasks masks = build_control_masks(control, control_state);
    check_gate_qubits(n, {}, control);
    const uint64_t items = uint64_t{1} << n;
    // Once per launch, in the state's precision, by the same formula the kernels of the
    // other phase gates use.
    const CuComplex<T> phase = unit_phase(theta);
    quorra::launch_kernel(cu_global_phase_kernel<T>, gate_grid(items), dim3(kGateBlockThreads), 0, stream, n, state,
                          masks.control_mask, masks.control_value, phase);
    check_launch("cu_global_phase");
}

template void cu_global_phase<float>(int64_t, CuComplex<float>*, const std::vector<int64_t>&,
                                     const std::vector<int64_t>&, float, cudaStream_t);
template void cu_global_phase<double>(int64_t, CuComplex<double>*, const std::vector<int64_t>&,
                                      const std::vector<int64_t>&, double, cudaStream_t);

}  // namespace velqa
