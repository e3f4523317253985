// RY gate: RY(theta) = exp(-i theta Y / 2) = [[c, -s], [s, c]].
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#include "gates/velqa_ry.cuh"
#include "gates/velqa_single_qubit.cuh"

namespace velqa {

// M = [[a, -b], [b, a]] with a = (c, 0) and b = (s, 0), c = cos(theta/2), s = sin(theta/2).
template <typename T>
struct RyOp {
    CuComplex<T> a;
    CuComplex<T> b;
    __device__ __forceinline__ void operator()(CuComplex<T>* lo, CuComplex<T>* hi) const {
        const CuComplex<T> x = *lo;
        const CuComplex<T> y = *hi;
        *lo = a * x - b * y;
        *hi = b * x + a * y;
    }
};

template <typename T>
__host__ __device__ __forceinline__ RyOp<T> ry_op(T theta) {
    const T half = theta * T(0.5);
    return RyOp<T>{CuComplex<T>{gate_cos(half), T(0)}, CuComplex<T>{gate_sin(half), T(0)}};
}

// The pair and all-state kernels take the raw angle and build the matrix on the device; the
// AutoPair kernels take the values the launcher prepared once on the host.
VELQA_PAIR_KERNELS(cu_ry_kernel_pair, cu_ry_kernel_all_state, (, T theta), (ry_op(theta)))
namespace ry_autopair {
VELQA_AUTOPAIR_KERNELS(compact, target0_compact, no_control, target0_no_control, (, CuComplex<T> a, CuComplex<T> b),
                       (RyOp<T>{a, b}))
}  // namespace ry_autopair

template <typename T>
void cu_ry(int64_t n, CuComplex<T>* state, int32_t target, const std::vector<int64_t>& controls,
           const std::vector<int64_t>& control_state, T theta, cudaStream_t stream, int32_t mode) {
    launch_rotation<T>("cu_ry", n, state, target, controls, control_state, theta, stream, mode,
                       {cu_ry_kernel_pair<T>, cu_ry_kernel_all_state<T>},
                       {ry_autopair::compact<T>, ry_autopair::target0_compact<T>, ry_autopair::no_control<T>,
                        ry_autopair::target0_no_control<T>, nullptr},
                       ry_op<T>);
}

VELQA_INSTANTIATE_ONE_ANGLE_GATE(cu_ry)

}  // namespace velqa
