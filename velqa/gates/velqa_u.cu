// U gate: U(theta, phi, lambda) = [[c, -e^(i lambda) s], [e^(i phi) s, e^(i (phi + lambda)) c]],
// c = cos(theta/2), s = sin(theta/2).
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#include "gates/velqa_single_qubit.cuh"
#include "gates/velqa_u.cuh"

namespace velqa {

// The matrix in precision T; the same arithmetic on the host (AutoPair) and on the device.
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
VELQA_AUTOPAIR_KERNELS(u_compact, u_target0_compact, u_no_control, u_target0_no_control, (, GateMatrix2x2<T> m),
                       MatrixOp<T>{m})

template <typename T>
void cu_u(int64_t n, CuComplex<T>* state, int32_t target, const std::vector<int64_t>& controls,
          const std::vector<int64_t>& control_state, T theta, T phi, T lambda, cudaStream_t stream, int32_t mode) {
    launch_single_qubit("cu_u", n, state, target, controls, control_state, stream, mode,
                        PairKernels<T, T, T, T>{cu_u_kernel_pair<T>, cu_u_kernel_all_state<T>},
                        std::make_tuple(theta, phi, lambda),
                        AutoPairKernels<T, GateMatrix2x2<T>>{u_compact<T>, u_target0_compact<T>, u_no_control<T>,
                                                             u_target0_no_control<T>, nullptr},
                        [=] { return std::make_tuple(u_matrix(theta, phi, lambda)); });
}

template void cu_u<float>(int64_t, CuComplex<float>*, int32_t, const std::vector<int64_t>&, const std::vector<int64_t>&,
                          float, float, float, cudaStream_t, int32_t);
template void cu_u<double>(int64_t, CuComplex<double>*, int32_t, const std::vector<int64_t>&,
                           const std::vector<int64_t>&, double, double, double, cudaStream_t, int32_t);

}  // namespace velqa
