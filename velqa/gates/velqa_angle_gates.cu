// The gates with angles: RX, RY, RZ, PHASE, U, and GLOBAL_PHASE.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#include "gates/velqa_gates.cuh"
#include "gates/velqa_single_qubit.cuh"

namespace velqa {

// RX and RY: M = [[a, Sign b], [b, a]] with a = (c, 0), c = cos(theta/2), s = sin(theta/2).
// RX(theta) = exp(-i theta X / 2) = [[c, -i s], [-i s, c]]: Sign +1, b = (0, -s).
// RY(theta) = exp(-i theta Y / 2) = [[c, -s], [s, c]]: Sign -1, b = (s, 0).
template <typename T, int Sign>
struct XYRotationOp {
    CuComplex<T> a;
    CuComplex<T> b;
    __device__ __forceinline__ void operator()(CuComplex<T>* lo, CuComplex<T>* hi) const {
        const CuComplex<T> x = *lo;
        const CuComplex<T> y = *hi;
        if constexpr (Sign > 0) {
            *lo = a * x + b * y;
        } else {
            *lo = a * x - b * y;
        }
        *hi = b * x + a * y;
    }
};
template <typename T>
using RxOp = XYRotationOp<T, 1>;
template <typename T>
using RyOp = XYRotationOp<T, -1>;

template <typename T>
__host__ __device__ __forceinline__ RxOp<T> rx_op(T theta) {
    const T half = theta * T(0.5);
    return RxOp<T>{CuComplex<T>{gate_cos(half), T(0)}, CuComplex<T>{T(0), -gate_sin(half)}};
}

template <typename T>
__host__ __device__ __forceinline__ RyOp<T> ry_op(T theta) {
    const T half = theta * T(0.5);
    return RyOp<T>{CuComplex<T>{gate_cos(half), T(0)}, CuComplex<T>{gate_sin(half), T(0)}};
}

VELQA_ROTATION_GATE(rx, RxOp, rx_op)
VELQA_ROTATION_GATE(ry, RyOp, ry_op)

// RZ(theta) = exp(-i theta Z / 2) = diag(a, b) with a = e^(-i theta/2) and b = e^(i theta/2).
template <typename T>
struct RzOp {
    CuComplex<T> a;
    CuComplex<T> b;
    __device__ __forceinline__ void operator()(CuComplex<T>* lo, CuComplex<T>* hi) const {
        *lo = a * *lo;
        *hi = b * *hi;
    }
};

template <typename T>
__host__ __device__ __forceinline__ RzOp<T> rz_op(T theta) {
    const T half = theta * T(0.5);
    return RzOp<T>{unit_phase(-half), unit_phase(half)};
}

VELQA_ROTATION_GATE(rz, RzOp, rz_op)

// PHASE(theta) = diag(1, e^(i theta)). The pair and all-state kernels take the raw angle and
// form the phase on the device; the AutoPair kernels take it formed once on the host.
VELQA_PAIR_KERNELS(cu_phase_kernel_pair, cu_phase_kernel_all_state, (, T theta), (PhaseOp<T>{unit_phase(theta)}))
namespace phase_autopair {
VELQA_AUTOPAIR_KERNELS(compact, target0_compact, no_control, target0_no_control, (, CuComplex<T> phase),
                       (PhaseOp<T>{phase}))
}  // namespace phase_autopair

template <typename T>
void cu_phase(int64_t n, CuComplex<T>* state, int32_t target, const std::vector<int64_t>& controls,
              const std::vector<int64_t>& control_state, T theta, cudaStream_t stream, KernelMode mode) {
    launch_single_qubit(
        "cu_phase", n, state, target, controls, control_state, stream, mode,
        PairKernels<T, T>{cu_phase_kernel_pair<T>, cu_phase_kernel_all_state<T>}, std::make_tuple(theta),
        AutoPairKernels<T, CuComplex<T>>{phase_autopair::compact<T>, phase_autopair::target0_compact<T>,
                                         phase_autopair::no_control<T>, phase_autopair::target0_no_control<T>, nullptr},
        [theta] { return std::make_tuple(unit_phase(theta)); });
}

VELQA_INSTANTIATE_ONE_ANGLE_GATE(cu_phase)

// U(theta, phi, lambda) in precision T; the same arithmetic on the host (AutoPair) and on the device.
template <typename T>
__host__ __device__ __forceinline__ GateMatrix2x2<T> u_matrix(T theta, T phi, T lambda) {
    const T half = theta * T(0.5);
    const T c = gate_cos(half);
    const T s = gate_sin(half);
    const T cos_phi = gate_cos(phi);
    const T sin_phi = gate_sin(phi);
    const T cos_lambda = gate_cos(lambda);
    const T sin_lambda = gate_sin(lambda);
    return GateMatrix2x2<T>{
        CuComplex<T>{c, T(0)},
        CuComplex<T>{-s * cos_lambda, -s * sin_lambda},
        CuComplex<T>{s * cos_phi, s * sin_phi},
        CuComplex<T>{(cos_lambda * cos_phi - sin_lambda * sin_phi) * c,
                     (cos_lambda * sin_phi + sin_lambda * cos_phi) * c},
    };
}

// The pair and all-state kernels take the raw angles and build the matrix on the device; the
// AutoPair kernels take the matrix the launcher prepared once on the host.
VELQA_PAIR_KERNELS(cu_u_kernel_pair, cu_u_kernel_all_state, (, T theta, T phi, T lambda),
                   (MatrixOp<T>{u_matrix(theta, phi, lambda)}))
namespace u_autopair {
VELQA_AUTOPAIR_KERNELS(compact, target0_compact, no_control, target0_no_control, (, GateMatrix2x2<T> m), MatrixOp<T>{m})
}  // namespace u_autopair

template <typename T>
void cu_u(int64_t n, CuComplex<T>* state, int32_t target, const std::vector<int64_t>& controls,
          const std::vector<int64_t>& control_state, T theta, T phi, T lambda, cudaStream_t stream, KernelMode mode) {
    launch_single_qubit(
        "cu_u", n, state, target, controls, control_state, stream, mode,
        PairKernels<T, T, T, T>{cu_u_kernel_pair<T>, cu_u_kernel_all_state<T>}, std::make_tuple(theta, phi, lambda),
        AutoPairKernels<T, GateMatrix2x2<T>>{u_autopair::compact<T>, u_autopair::target0_compact<T>,
                                             u_autopair::no_control<T>, u_autopair::target0_no_control<T>, nullptr},
        [=] { return std::make_tuple(u_matrix(theta, phi, lambda)); });
}

template void cu_u<float>(int64_t, CuComplex<float>*, int32_t, const std::vector<int64_t>&, const std::vector<int64_t>&,
                          float, float, float, cudaStream_t, KernelMode);
template void cu_u<double>(int64_t, CuComplex<double>*, int32_t, const std::vector<int64_t>&,
                           const std::vector<int64_t>&, double, double, double, cudaStream_t, KernelMode);

// GLOBAL_PHASE: one thread per amplitude index. The phase e^(i theta) arrives formed: a sine
// and cosine per amplitude would cost far more than the memory traffic of the pass.
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
