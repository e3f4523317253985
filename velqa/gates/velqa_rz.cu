// RZ gate: RZ(theta) = exp(-i theta Z / 2) = diag(e^(-i theta/2), e^(i theta/2)).
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#include "gates/velqa_rz.cuh"
#include "gates/velqa_single_qubit.cuh"

namespace velqa {

// M = diag(a, b) with a = e^(-i theta/2) and b = e^(i theta/2).
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

// The pair and all-state kernels take the raw angle and build the matrix on the device; the
// AutoPair kernels take the values the launcher prepared once on the host.
VELQA_PAIR_KERNELS(cu_rz_kernel_pair, cu_rz_kernel_all_state, (, T theta), (rz_op(theta)))
namespace rz_autopair {
VELQA_AUTOPAIR_KERNELS(compact, target0_compact, no_control, target0_no_control, (, CuComplex<T> a, CuComplex<T> b),
                       (RzOp<T>{a, b}))
}  // namespace rz_autopair

template <typename T>
void cu_rz(int64_t n, CuComplex<T>* state, int32_t target, const std::vector<int64_t>& controls,
           const std::vector<int64_t>& control_state, T theta, cudaStream_t stream, int32_t mode) {
    launch_rotation<T>("cu_rz", n, state, target, controls, control_state, theta, stream, mode,
                       {cu_rz_kernel_pair<T>, cu_rz_kernel_all_state<T>},
                       {rz_autopair::compact<T>, rz_autopair::target0_compact<T>, rz_autopair::no_control<T>,
                        rz_autopair::target0_no_control<T>, nullptr},
                       rz_op<T>);
}

VELQA_INSTANTIATE_ONE_ANGLE_GATE(cu_rz)

}  // namespace velqa
