// PHASE gate: PHASE(theta) = diag(1, e^(i theta)).
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#include "gates/velqa_phase.cuh"
#include "gates/velqa_single_qubit.cuh"

namespace velqa {

// The pair and all-state kernels take the raw angle and build the matrix on the device; the
// AutoPair kernels take the values the launcher prepared once on the host.
VELQA_PAIR_KERNELS(cu_phase_kernel_pair, cu_phase_kernel_all_state, (, T theta), (PhaseOp<T>{unit_phase(theta)}))
namespace phase_autopair {
VELQA_AUTOPAIR_KERNELS(compact, target0_compact, no_control, target0_no_control, (, CuComplex<T> phase),
                       (PhaseOp<T>{phase}))
}  // namespace phase_autopair

template <typename T>
void cu_phase(int64_t n, CuComplex<T>* state, int32_t target, const std::vector<int64_t>& controls,
              const std::vector<int64_t>& control_state, T theta, cudaStream_t stream, int32_t mode) {
    launch_single_qubit(
        "cu_phase", n, state, target, controls, control_state, stream, mode,
        PairKernels<T, T>{cu_phase_kernel_pair<T>, cu_phase_kernel_all_state<T>}, std::make_tuple(theta),
        AutoPairKernels<T, CuComplex<T>>{phase_autopair::compact<T>, phase_autopair::target0_compact<T>,
                                         phase_autopair::no_control<T>, phase_autopair::target0_no_control<T>, nullptr},
        [theta] { return std::make_tuple(unit_phase(theta)); });
}

VELQA_INSTANTIATE_ONE_ANGLE_GATE(cu_phase)

}  // namespace velqa
